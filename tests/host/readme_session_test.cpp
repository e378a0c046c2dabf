// The README's first-five-minutes session, run as written: every command in a
// fresh directory with qxdb on the PATH, its output (standard output and error)
// compared with the README's. The README cannot drift from the program.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/dbf_builder.h"
#include "tests/support/other_programs.h"

namespace {

#ifndef _WIN32
struct Step {
    std::string command;
    std::string output;
};

std::vector<Step> readme_session() {
    std::ifstream in(std::string(QXDB_TEST_DATA) + "/../../README.md");
    std::vector<Step> steps;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line == "<!-- session -->") inside = true;
        else if (line == "<!-- /session -->") break;
        else if (inside && line.rfind("    $ ", 0) == 0) steps.push_back({line.substr(6), ""});
        else if (inside && !steps.empty() && line.rfind("    ", 0) == 0) steps.back().output += line.substr(4) + "\n";
    }
    return steps;
}

std::string run(const std::string& dir, const std::string& command) {
    std::string cli = QXDB_CLI;
    std::string bin = cli.substr(0, cli.rfind('/'));
    std::string script = "cd '" + dir + "' && PATH='" + bin + "':\"$PATH\" && " + command;
    std::ofstream(dir + "/.step.sh") << script << "\n";
    return shell_output("sh '" + dir + "/.step.sh' 2>&1");
}
#endif

TEST(ReadmeSession, RunsAsWritten) {
#ifdef _WIN32
    QXDB_LINUX_ONLY("the README's session is a POSIX shell's");
#else
    std::vector<Step> steps = readme_session();
    ASSERT_GT(steps.size(), 5u) << "the README's session was not found";
    const std::string dir = make_temp_dir("readme");
    for (const Step& step : steps) EXPECT_EQ(run(dir, step.command), step.output) << "$ " << step.command;
    remove_temp_dir(dir);
#endif
}

}  // namespace
