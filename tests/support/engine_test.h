#pragma once
// The frame most engine tests stand in: the engine started and a fresh temporary
// directory named after the test suite, both gone again when the test ends.

#include <gtest/gtest.h>

#include <string>

#include "engine/core/engine.h"
#include "tests/support/dbf_builder.h"

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name());
        ASSERT_EQ(xdbinit(), XD_OK);
    }
    void TearDown() override {
        xdbterm();
        remove_temp_dir(dir_);
    }
    std::string dir_;
};
