// The engine frame: status convention, handle table, initialise/terminate, the
// engine configuration file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/os.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class FrameTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        path_ = dir_ + "/T.DBF";
        build_dbf(0x03, {{"NAME", 'C', 10}}, {"ALPHA", "BETA"}).write(path_);
    }
    int16_t open() {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        EXPECT_GE(dbf_open(&h, path_.c_str(), XDB_OPEN_SHORTHAND | 1), 0);
        return h;
    }
    std::string path_;
};

TEST_F(FrameTest, PendingErrorBlocksEveryOperationUntilReset) {
    int16_t h = open();
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_read_record(h, 99), XD_SEEKERR);
    // Nothing runs while the error is pending, not even a valid read.
    EXPECT_EQ(dbf_read_record(h, 1), XD_SEEKERR);
    uint32_t recno = 7;
    EXPECT_EQ(dbf_current_record(h, &recno), XD_SEEKERR);
    EXPECT_EQ(recno, 7u);
    EXPECT_EQ(xdb_set_status(XD_OK), XD_OK);
    EXPECT_EQ(dbf_read_record(h, 1), XD_OK);
    EXPECT_EQ(dbf_current_record(h, &recno), XD_OK);
    EXPECT_EQ(recno, 1u);
}

TEST_F(FrameTest, WarningsDoNotBlock) {
    int16_t h = open();
    xdb_set_status(XD_DELETEDREC);
    EXPECT_EQ(dbf_read_record(h, 2), XD_DELETEDREC);  // ran, and reports the warning still set
    uint32_t recno = 0;
    dbf_current_record(h, &recno);
    EXPECT_EQ(recno, 2u);
}

TEST_F(FrameTest, NoContextAnswersNotask) {
    xdbterm();
    int16_t h;
    EXPECT_EQ(dbf_open(&h, path_.c_str(), 1), XD_NOTASK);
    EXPECT_EQ(xdb_get_status(), XD_NOTASK);
    EXPECT_EQ(xdb_set_status(0), XD_NOTASK);
    EXPECT_EQ(xdb_set_date_format(4), XD_NOTASK);
    ASSERT_EQ(xdbinit(), XD_OK);
}

TEST_F(FrameTest, InitialiseTwiceClosesEveryHandle) {
    int16_t a = open(), b = open();
    EXPECT_EQ(xdb_slots_in_use(), 2);
    EXPECT_EQ(osl_handles_in_use(), 2);
    ASSERT_EQ(xdbinit(), XD_OK);
    EXPECT_EQ(xdb_slots_in_use(), 0);
    EXPECT_EQ(osl_handles_in_use(), 0);
    EXPECT_EQ(dbf_read_record(a, 1), XD_BADHANDLE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_close(b), XD_BADHANDLE);
}

TEST_F(FrameTest, HandleTableFillsAtSlot1019AndReusesTheLowestFreeSlot) {
    // Slots are shared by every kind; allocate them directly so the test does not
    // need a thousand open files.
    std::vector<int16_t> handles;
    for (int i = 0; i < XDB_HANDLE_SLOTS; i++) {
        int16_t h;
        void* block;
        ASSERT_EQ(xdb_alloc_slot(XDB_KIND_NDX, &h, &block), XD_OK);
        ASSERT_EQ(h, i);
        handles.push_back(h);
    }
    int16_t h = 5;
    void* block = nullptr;
    EXPECT_EQ(xdb_alloc_slot(XDB_KIND_NDX, &h, &block), XD_NOHANDLE);
    EXPECT_EQ(h, -1);
    xdb_set_status(XD_OK);
    xdb_release_slot(700);
    xdb_release_slot(300);
    EXPECT_EQ(xdb_alloc_slot(XDB_KIND_NDX, &h, &block), XD_OK);
    EXPECT_EQ(h, 300);
    for (int16_t k : handles) xdb_release_slot(k);
    EXPECT_EQ(xdb_slots_in_use(), 0);
}

TEST_F(FrameTest, SelectingAWrongHandleIsBadHandle) {
    int16_t h = open();
    void* block;
    for (int16_t bad : {(int16_t)-1, (int16_t)1019, (int16_t)(h + 1)}) {
        xdb_set_status(XD_OK);
        EXPECT_EQ(xdb_select(bad, XDB_KIND_DBF, &block), XD_BADHANDLE) << bad;
    }
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_select(h, XDB_KIND_NDX, &block), XD_BADHANDLE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_alloc_slot(11, &h, &block), XD_BADPARAM);
}

TEST_F(FrameTest, DateFormatGetAndSet) {
    int16_t code = 0;
    char name[64];
    EXPECT_EQ(xdb_get_date_format(&code, name, sizeof name), XD_OK);
    EXPECT_EQ(code, 4);
    EXPECT_STREQ(name, "dBASE (yyyymmdd)");
    EXPECT_EQ(xdb_set_date_format(16), XD_BADCOMMAND);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_set_date_format(11), XD_OK);
    xdb_get_date_format(&code, name, sizeof name);
    EXPECT_STREQ(name, "French (dd/mm/yyyy)");
    EXPECT_EQ(xdb_get_date_format(nullptr, name, sizeof name), XD_NULLPARAM);
}

TEST_F(FrameTest, CollationFlagComesFromTheEngineConfigurationFile) {
    EXPECT_EQ(xdb_collation_flag(), 1);  // default: byte order
    set_test_env("QXDB_INI_DIR", dir_);
    std::ofstream(dir_ + "/QXDB4XX.INI") << "; engine settings\n[Other]\nasciisort=1\n[ SORT ]\n AsciiSort = 0 \n";
    ASSERT_EQ(xdbinit(), XD_OK);
    EXPECT_EQ(xdb_collation_flag(), 0);
    std::ofstream(dir_ + "/QXDB4XX.INI") << "[sort]\nasciisort=7\n";
    ASSERT_EQ(xdbinit(), XD_OK);
    EXPECT_EQ(xdb_collation_flag(), 1);  // any non-zero value is byte order
    set_test_env("QXDB_INI_DIR", "");
}

}  // namespace
