// A switch of rebuilt files left behind by a stop: the table's next open finishes
// it (or undoes it) from the mark, and leaves it alone while another program holds
// the mark.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/file_switch.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

namespace fs = std::filesystem;

class FileSwitchTest : public EngineTest {
protected:
    // The old table (1 record) and memo, their new forms (2 records) beside them,
    // and the mark a stopped switch leaves, with the memo switched already when asked.
    void StopHalfway(bool memo_switched) {
        build_dbf(0x83, {{"N", 'N', 2}}, {" 1"}).write(dir_ + "/T.dbf");
        build_dbf(0x83, {{"N", 'N', 2}}, {" 1", " 2"}).write(dir_ + "/0.DBF");
        std::ofstream(dir_ + "/T.dbt") << "old memo file";
        std::ofstream(dir_ + "/0.DBT") << "new memo file";
        std::ofstream(dir_ + "/T.SWT") << "QXDB file switch\n0.DBT\tT.dbt\tT.BKT\t0\n0.DBF\tT.dbf\t\t0\n";
        if (memo_switched) {
            fs::copy_file(dir_ + "/T.dbt", dir_ + "/T.BKT");
            fs::rename(dir_ + "/0.DBT", dir_ + "/T.dbt");
        }
    }
    uint32_t records_on_open(XDSTATUS* status) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        *status = dbf_open(&h, (dir_ + "/T.dbf").c_str(), XDB_OPEN_SHORTHAND | 1);
        uint32_t count = 0;
        if (h >= 0) {
            dbf_record_count(h, &count);
            dbf_close(h);
        }
        xdb_set_status(XD_OK);
        return count;
    }
    std::string text(const std::string& name) { return file_bytes(dir_ + "/" + name); }
};

TEST_F(FileSwitchTest, AnOpenFinishesASwitchCutAfterTheMemoFile) {
    StopHalfway(true);
    XDSTATUS s;
    EXPECT_EQ(records_on_open(&s), 2u);  // the new table, to go with the new memo file
    EXPECT_GE(s, 0);
    EXPECT_EQ(text("T.dbt"), "new memo file");
    EXPECT_EQ(text("T.BKT"), "old memo file");
    EXPECT_FALSE(fs::exists(dir_ + "/T.SWT"));
    EXPECT_FALSE(fs::exists(dir_ + "/0.DBF"));
}

TEST_F(FileSwitchTest, AnOpenUndoesASwitchCutBeforeItsFirstRename) {
    StopHalfway(false);
    XDSTATUS s;
    EXPECT_EQ(records_on_open(&s), 1u);
    EXPECT_EQ(text("T.dbt"), "old memo file");
    EXPECT_FALSE(fs::exists(dir_ + "/T.SWT"));
    EXPECT_FALSE(fs::exists(dir_ + "/0.DBF"));
    EXPECT_FALSE(fs::exists(dir_ + "/0.DBT"));
}

TEST_F(FileSwitchTest, AMarkCutShortIsNoSwitch) {
    StopHalfway(false);
    std::ofstream(dir_ + "/T.SWT") << "QXDB file switch\n0.DBT\tT.dbt";  // the write of the mark stopped
    XDSTATUS s;
    EXPECT_EQ(records_on_open(&s), 1u);
    EXPECT_EQ(text("T.dbt"), "old memo file");
    EXPECT_FALSE(fs::exists(dir_ + "/T.SWT"));
}

// While another program holds the mark (it is switching the files now), an open
// is refused as a lock is, and touches nothing; once it lets go, the open goes on.
TEST_F(FileSwitchTest, AnOpenLeavesAHeldMarkAlone) {
    StopHalfway(true);
    uint16_t holder = 0, mode = 0;
    ASSERT_EQ(xdb_fopen(&holder, (dir_ + "/T.SWT").c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode), XD_OK);
    ASSERT_EQ(xdb_flock(holder, 0, 0, 1), XD_OK);
    XDSTATUS s;
    records_on_open(&s);
    EXPECT_EQ(s, XD_LOCKVIOLATION);
    EXPECT_TRUE(fs::exists(dir_ + "/0.DBF"));
    EXPECT_TRUE(fs::exists(dir_ + "/T.SWT"));
    xdb_flock(holder, 1, 0, 1);
    xdb_fclose(holder);
    EXPECT_EQ(records_on_open(&s), 2u);
    EXPECT_FALSE(fs::exists(dir_ + "/T.SWT"));
}

}  // namespace
