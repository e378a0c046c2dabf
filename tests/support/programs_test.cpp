// The tests' way of running other programs: a program that has no exit code says
// why (it could not start, or it was ended).

#include "tests/support/programs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/dbf_builder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// Ends as a crash would, before writing anything: every time, or only when the
// marker file (the first argument) does not exist yet, which it then makes.
QXDB_TEST_ROLE(ended_from_outside) {
    bool again = args.size() > 1 && args[1] == "once" && std::filesystem::exists(args[0]);
    if (again) {
        printf("second run\n");
        return 0;
    }
    std::ofstream(args[0]) << "x";
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 0xC0000142);  // as a start the system failed ends
#else
    kill(getpid(), SIGKILL);
#endif
    return 0;
}

TEST(Programs, NoExitCodeSaysWhy) {
    const std::string dir = make_temp_dir("programs");
    ProgramResult r = run_program(role_command("ended_from_outside", {dir + "/never"}), dir + "/no-such-input");
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.out.rfind("[could not start: ", 0), 0u) << r.out;
    // A program ended from outside every time has no exit code, on every platform.
    r = run_role("ended_from_outside", {dir + "/always"});
    EXPECT_EQ(r.code, -1);
#ifdef _WIN32
    EXPECT_EQ(r.out, "[ended by exception 0xC0000142]\n");
#else
    EXPECT_EQ(r.out, "[ended by signal 9]\n");
#endif
#ifdef _WIN32
    // On Windows an end by an exception before any output is run once more.
    r = run_role("ended_from_outside", {dir + "/once", "once"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "second run\n");
#endif
    remove_temp_dir(dir);
}

}  // namespace
