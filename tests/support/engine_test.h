#pragma once
// The frame most engine tests stand in: the engine started and a fresh temporary
// directory named after the test suite, both gone again when the test ends. The
// directory is the current one meanwhile: the engine's work file ("stacks.tmp",
// made in the current directory by rebuilds that sort in runs) is then the
// test's own, and tests running at once in other processes never share it.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/core/engine.h"
#include "tests/support/dbf_builder.h"

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name());
        before_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        ASSERT_EQ(xdbinit(), XD_OK);
    }
    void TearDown() override {
        xdbterm();
        std::error_code ignored;
        std::filesystem::current_path(before_, ignored);
        remove_temp_dir(dir_);
    }
    std::string dir_;
    std::filesystem::path before_;
};
