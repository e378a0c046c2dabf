// Locks between handles and between processes, at the byte offsets other xBase
// programs use.

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/programs.h"

namespace {

class LocksTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        path_ = dir_ + "/t.dbf";
        build_dbf(0x03, {{"NAME", 'C', 8}, {"N", 'N', 6}}, {"A", "B", "C"}).write(path_);
    }
    int16_t open() {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        EXPECT_GE(dbf_open(&h, path_.c_str(), XDB_OPEN_SHORTHAND | 1), 0);
        xdb_set_status(XD_OK);
        return h;
    }
    XDSTATUS rec(int16_t h, int16_t mode, uint32_t n) {
        xdb_set_status(XD_OK);
        return dbf_lock_record(h, mode, n);
    }
    XDSTATUS file(int16_t h, int16_t mode, bool unlock = false) {
        xdb_set_status(XD_OK);
        return unlock ? dbf_unlock_file(h, mode) : dbf_lock_file(h, mode);
    }
    std::string path_;
};

// The other processes of these tests: this program again, each with its own engine.

// Tries to lock record N of the table: exit 0 when it got it, 1 on a lock violation.
QXDB_TEST_ROLE(lock_one_record) {
    xdbinit();
    int16_t h;
    if (dbf_open(&h, args.at(0).c_str(), XDB_OPEN_SHORTHAND | 1) < 0) return 9;
    xdb_set_status(XD_OK);
    XDSTATUS s = dbf_lock_record(h, DBF_RECORD_LOCK, (uint32_t)std::stoul(args.at(1)));
    return s == XD_OK ? 0 : s == XD_LOCKVIOLATION ? 1 : 2;
}

// Takes a shared file lock, says "k" (or "v" when refused) and holds it until its
// input closes.
QXDB_TEST_ROLE(hold_shared_lock) {
    xdbinit();
    int16_t h;
    char r = 'x';
    if (dbf_open(&h, args.at(0).c_str(), XDB_OPEN_SHORTHAND | 1) >= 0) {
        // Readers test the record area at the same moment and may meet each other's
        // test lock: like any caller, a reader tries again.
        XDSTATUS s = XD_LOCKVIOLATION;
        for (int attempt = 0; attempt < 2000 && s == XD_LOCKVIOLATION; attempt++) {
            if (attempt) sleep_microseconds(200);
            xdb_set_status(XD_OK);
            s = dbf_lock_file(h, 4);
        }
        r = s == XD_OK ? 'k' : 'v';
    }
    printf("%c\n", r);
    fflush(stdout);
    while (getchar() != EOF) {
    }
    return r == 'k' ? 0 : 1;
}

// Appends COUNT records named TAG0, TAG1, ..., each under the file lock.
QXDB_TEST_ROLE(append_under_file_lock) {
    xdbinit();
    const char tag = args.at(1)[0];
    const int count = std::stoi(args.at(2));
    int16_t h;
    if (dbf_open(&h, args.at(0).c_str(), XDB_OPEN_SHORTHAND | 1) < 0) return 9;
    for (int i = 0; i < count; i++) {
        for (;;) {
            xdb_set_status(XD_OK);
            XDSTATUS s = dbf_lock_file(h, 1);
            if (s == XD_OK) break;
            if (s != XD_LOCKVIOLATION) return 2;
            sleep_microseconds(50);
        }
        char name[16];
        snprintf(name, sizeof name, "%c%d", tag, i);
        double n = i;
        xdb_set_status(XD_OK);
        dbf_put_field(h, 0, name);
        dbf_put_field(h, 1, &n);
        uint32_t recno = 0;
        if (dbf_write_record(h, &recno, DBF_WRITE_APPEND) != XD_OK) return 3;
        if (dbf_unlock_file(h, 1) != XD_OK) return 4;
    }
    xdb_set_status(XD_OK);
    return dbf_close(h) == XD_OK ? 0 : 5;
}

TEST_F(LocksTest, RecordLocksBetweenHandles) {
    int16_t a = open(), b = open();
    EXPECT_EQ(rec(a, DBF_RECORD_LOCK, 2), XD_OK);
    EXPECT_EQ(rec(a, DBF_RECORD_LOCK, 2), XD_OK);  // already held: kept once
    const uint32_t* list;
    uint32_t count;
    dbf_locked_records(a, &list, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(rec(b, DBF_RECORD_LOCK, 2), XD_LOCKVIOLATION);
    EXPECT_EQ(rec(b, DBF_RECORD_TEST, 2), XD_LOCKVIOLATION);
    EXPECT_EQ(rec(a, DBF_RECORD_TEST, 2), XD_OK);  // the holder's own test succeeds
    EXPECT_EQ(rec(b, DBF_RECORD_LOCK, 3), XD_OK);
    // A shared file lock tests the record area: refused while a record is locked.
    EXPECT_EQ(file(b, 4), XD_LOCKVIOLATION);
    EXPECT_EQ(rec(a, DBF_RECORD_UNLOCK, 2), XD_OK);
    EXPECT_EQ(rec(b, DBF_RECORD_LOCK, 2), XD_OK);
    EXPECT_EQ(rec(b, DBF_RECORD_UNLOCK, 0), XD_OK);  // all of b's
    dbf_locked_records(b, &list, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(rec(a, DBF_RECORD_LOCK, 3), XD_OK);
    EXPECT_EQ(rec(a, DBF_RECORD_UNLOCK, 9), XD_OK);  // not held: nothing to do
    EXPECT_EQ(rec(a, 8, 1), XD_BADCOMMAND);
    EXPECT_EQ(rec(a, DBF_RECORD_LOCK, 0), XD_BADPARAM);
    // Closing a handle releases its locks.
    xdb_set_status(XD_OK);
    dbf_close(a);
    EXPECT_EQ(rec(b, DBF_RECORD_LOCK, 3), XD_OK);
}

TEST_F(LocksTest, LockListGrowsBeyondItsFirstRoom) {
    int16_t a = open(), b = open();
    for (uint32_t n = 1; n <= 1000; n++) ASSERT_EQ(rec(a, DBF_RECORD_LOCK, n), XD_OK);
    const uint32_t* list;
    uint32_t count;
    dbf_locked_records(a, &list, &count);
    EXPECT_EQ(count, 1000u);
    EXPECT_EQ(rec(b, DBF_RECORD_LOCK, 777), XD_LOCKVIOLATION);
    EXPECT_EQ(rec(a, DBF_RECORD_UNLOCK, 0), XD_OK);
    for (uint32_t n = 1; n <= 1000; n += 111) EXPECT_EQ(rec(b, DBF_RECORD_LOCK, n), XD_OK) << n;
}

TEST_F(LocksTest, FileLockModesAndTheCountReRead) {
    int16_t a = open(), b = open();
    EXPECT_EQ(file(a, 1), XD_OK);
    EXPECT_EQ(file(b, 1), XD_LOCKVIOLATION);
    EXPECT_EQ(file(b, 3), XD_OK);  // mode 3 leaves out the byte of mode 1
    EXPECT_EQ(file(b, 3, true), XD_OK);
    EXPECT_EQ(file(b, 2), XD_LOCKVIOLATION);
    EXPECT_EQ(file(a, 1, true), XD_OK);
    EXPECT_EQ(file(b, 2), XD_OK);
    EXPECT_EQ(file(a, 4), XD_LOCKVIOLATION);  // mode 2 keeps readers out
    EXPECT_EQ(file(a, 5), XD_LOCKVIOLATION);
    EXPECT_EQ(rec(a, DBF_RECORD_LOCK, 1), XD_LOCKVIOLATION);
    EXPECT_EQ(file(b, 2, true), XD_OK);
    EXPECT_EQ(file(a, 4), XD_OK);
    EXPECT_EQ(file(b, 4), XD_OK);  // readers share
    EXPECT_EQ(file(b, 2), XD_LOCKVIOLATION);
    EXPECT_EQ(file(b, 5), XD_LOCKVIOLATION);
    EXPECT_EQ(file(a, 4, true), XD_OK);
    EXPECT_EQ(file(b, 4, true), XD_OK);
    EXPECT_EQ(file(b, 5), XD_OK);
    EXPECT_EQ(file(b, 9), XD_BADCOMMAND);

    // Another handle appends; a lock re-reads the count.
    uint32_t n = 0, count = 0;
    xdb_set_status(XD_OK);
    dbf_write_record(b, &n, DBF_WRITE_APPEND);
    dbf_record_count(a, &count);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(file(a, 1), XD_OK);
    dbf_record_count(a, &count);
    EXPECT_EQ(count, 4u);
}

TEST_F(LocksTest, RecordLockAcrossProcessesReleasedByUnlockAndByClose) {
    int16_t a = open();
    ASSERT_EQ(rec(a, DBF_RECORD_LOCK, 2), XD_OK);
    auto child_try = [&](uint32_t n) { return run_role("lock_one_record", {path_, std::to_string(n)}).code; };
    EXPECT_EQ((child_try(2)), 1);
    EXPECT_EQ((child_try(1)), 0);
    rec(a, DBF_RECORD_UNLOCK, 2);
    EXPECT_EQ((child_try(2)), 0);
    rec(a, DBF_RECORD_LOCK, 2);
    EXPECT_EQ((child_try(2)), 1);
    xdb_set_status(XD_OK);
    dbf_close(a);
    EXPECT_EQ((child_try(2)), 0);
}

TEST_F(LocksTest, SixtyTwoReadersAndNoMore) {
    // 62 processes hold a shared lock each, then wait to be told to stop.
    std::vector<RunningProgram> readers;
    std::string answers;
    for (int i = 0; i < 62; i++) {
        std::string line;
        readers.push_back(start_role_until_ready("hold_shared_lock", {path_}, &line));
        answers += line;
    }
    EXPECT_EQ(answers, std::string(62, 'k'));
    int16_t h = open();
    EXPECT_EQ(file(h, 4), XD_LOCKVIOLATION);  // the 63rd reader
    EXPECT_EQ(file(h, 2), XD_LOCKVIOLATION);
    for (RunningProgram& r : readers) EXPECT_EQ(r.wait(), 0);
    EXPECT_EQ(file(h, 4), XD_OK);
}

TEST_F(LocksTest, TwoProcessesAppendingUnderAFileLockLoseNothing) {
    const int kEach = 300;
    RunningProgram p1 = start_role("append_under_file_lock", {path_, "P", std::to_string(kEach)});
    RunningProgram p2 = start_role("append_under_file_lock", {path_, "Q", std::to_string(kEach)});
    EXPECT_EQ(p1.wait(), 0) << p1.rest();
    EXPECT_EQ(p2.wait(), 0) << p2.rest();
    int16_t h = open();
    uint32_t count = 0;
    dbf_record_count(h, &count);
    ASSERT_EQ(count, 3u + 2 * kEach);
    std::set<std::string> seen;
    int last_p = -1, last_q = -1;
    for (uint32_t n = 4; n <= count; n++) {
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_read_record(h, n), XD_OK);
        char name[9];
        double num;
        dbf_get_field(h, 0, name, nullptr);
        dbf_get_field(h, 1, &num, nullptr);
        std::string s(name);
        s.erase(s.find_last_not_of(' ') + 1);
        seen.insert(s);
        // Each writer's records keep their order.
        int& last = s[0] == 'P' ? last_p : last_q;
        EXPECT_EQ((int)num, last + 1) << s;
        last = (int)num;
        EXPECT_EQ(s.substr(1), std::to_string((int)num));
    }
    EXPECT_EQ(seen.size(), 2u * kEach);
}

}  // namespace
