// The test program's entry: a second process of a test starts this program with
// `--role NAME ...` and runs only that role; otherwise the tests run.

#include <gtest/gtest.h>

#include "tests/support/programs.h"

int main(int argc, char** argv) {
    int code = 0;
    if (run_role_from_command_line(argc, argv, &code)) return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
