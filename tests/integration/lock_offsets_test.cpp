// The lock offsets are part of the file format: other xBase programs lock the same
// bytes. These tests take and probe locks with raw system calls, not through the
// engine, at the offsets the rules give, so that moving any offset fails them; and
// they hold the engine to its exclusion on files it may only read.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstring>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "tests/support/as_other_user.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

const uint32_t kModeOneByte = 0x7FFFFFFE;
const uint32_t kAreaStart = 0x5FFFFFC0;
const uint32_t kAreaLast = 0x7FFFFFFE;
uint32_t record_byte(uint32_t n) { return 0x7FFFFFBF - n; }
uint32_t reader_byte(uint32_t r) { return 0x7FFFFFFF - r; }

// Another program's handle on the file: locks by plain system calls.
#ifdef _WIN32
class RawHandle {
public:
    explicit RawHandle(const std::string& path) {
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)  // a probe needs no write rights
            handle_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~RawHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    bool lock(uint32_t offset, uint32_t length = 1) { return LockFile(handle_, offset, 0, length, 0) != 0; }
    bool unlock(uint32_t offset, uint32_t length = 1) { return UnlockFile(handle_, offset, 0, length, 0) != 0; }
    // Whether any other handle holds a byte of the range: the range is taken and
    // let go again when it is free.
    bool held_elsewhere(uint32_t offset, uint32_t length = 1) {
        if (!lock(offset, length)) return true;
        unlock(offset, length);
        return false;
    }

private:
    HANDLE handle_;
};
#else
class RawHandle {
public:
    explicit RawHandle(const std::string& path) : fd_(::open(path.c_str(), O_RDWR)) {
        if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY);  // a probe needs no write rights
    }
    ~RawHandle() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool lock(uint32_t offset, uint32_t length = 1) { return set(F_WRLCK, offset, length); }
    bool unlock(uint32_t offset, uint32_t length = 1) { return set(F_UNLCK, offset, length); }
    // Whether any other handle holds a byte of the range.
    bool held_elsewhere(uint32_t offset, uint32_t length = 1) {
        struct flock fl = range(F_WRLCK, offset, length);
        if (fcntl(fd_, F_OFD_GETLK, &fl) != 0) {
            ADD_FAILURE() << "F_OFD_GETLK failed";
            return false;
        }
        return fl.l_type != F_UNLCK;
    }

private:
    static struct flock range(short type, uint32_t offset, uint32_t length) {
        struct flock fl;
        memset(&fl, 0, sizeof fl);
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = offset;
        fl.l_len = length;
        return fl;
    }
    bool set(short type, uint32_t offset, uint32_t length) {
        struct flock fl = range(type, offset, length);
        return fcntl(fd_, F_OFD_SETLK, &fl) == 0;
    }
    int fd_;
};

#endif

class LockOffsetsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        path_ = dir_ + "/t.dbf";
        build_dbf(0x03, {{"NAME", 'C', 8}}, {"A", "B", "C"}).write(path_);
        xdb_set_status(XD_OK);
        ASSERT_GE(dbf_open(&h_, path_.c_str(), XDB_OPEN_SHORTHAND | 1), 0);
        xdb_set_status(XD_OK);
    }
    XDSTATUS rec(int16_t mode, uint32_t n) {
        xdb_set_status(XD_OK);
        return dbf_lock_record(h_, mode, n);
    }
    XDSTATUS file(int16_t mode, bool unlock = false) {
        xdb_set_status(XD_OK);
        return unlock ? dbf_unlock_file(h_, mode) : dbf_lock_file(h_, mode);
    }
    std::string path_;
    int16_t h_ = -1;
};

TEST_F(LockOffsetsTest, RecordLocksSitAtTheirBytes) {
    RawHandle other(path_);
    ASSERT_EQ(rec(DBF_RECORD_LOCK, 5), XD_OK);
    EXPECT_TRUE(other.held_elsewhere(record_byte(5)));
    EXPECT_FALSE(other.held_elsewhere(record_byte(4)));
    EXPECT_FALSE(other.held_elsewhere(record_byte(6)));
    ASSERT_EQ(rec(DBF_RECORD_UNLOCK, 5), XD_OK);
    EXPECT_FALSE(other.held_elsewhere(record_byte(5)));
    // The other program holds record 7: the engine is refused exactly there.
    ASSERT_TRUE(other.lock(record_byte(7)));
    EXPECT_EQ(rec(DBF_RECORD_LOCK, 7), XD_LOCKVIOLATION);
    EXPECT_EQ(rec(DBF_RECORD_TEST, 7), XD_LOCKVIOLATION);
    EXPECT_EQ(rec(DBF_RECORD_LOCK, 6), XD_OK);
    EXPECT_EQ(rec(DBF_RECORD_LOCK, 8), XD_OK);
    // The last record with a byte in the area.
    EXPECT_EQ(rec(DBF_RECORD_LOCK, 0x1FFFFFFF), XD_OK);
    EXPECT_TRUE(other.held_elsewhere(kAreaStart));
}

TEST_F(LockOffsetsTest, FileLockModesCoverTheirRegions) {
    RawHandle other(path_);
    ASSERT_EQ(file(1), XD_OK);
    EXPECT_TRUE(other.held_elsewhere(kModeOneByte));
    EXPECT_FALSE(other.held_elsewhere(kModeOneByte - 1));
    EXPECT_FALSE(other.held_elsewhere(kModeOneByte + 1));
    ASSERT_EQ(file(1, true), XD_OK);

    ASSERT_EQ(file(2), XD_OK);
    EXPECT_TRUE(other.held_elsewhere(kAreaStart));
    EXPECT_TRUE(other.held_elsewhere(kAreaLast));
    EXPECT_TRUE(other.held_elsewhere(record_byte(1)));
    EXPECT_FALSE(other.held_elsewhere(kAreaStart - 1));
    EXPECT_FALSE(other.held_elsewhere(kAreaLast + 1));
    ASSERT_EQ(file(2, true), XD_OK);

    ASSERT_EQ(file(3), XD_OK);
    EXPECT_TRUE(other.held_elsewhere(kAreaStart));
    EXPECT_TRUE(other.held_elsewhere(kAreaLast - 1));
    EXPECT_FALSE(other.held_elsewhere(kAreaLast));
    ASSERT_EQ(file(3, true), XD_OK);

    // The other program holds the mode-1 byte: modes 1 and 2 are refused, 3 is not.
    ASSERT_TRUE(other.lock(kModeOneByte));
    EXPECT_EQ(file(1), XD_LOCKVIOLATION);
    EXPECT_EQ(file(2), XD_LOCKVIOLATION);
    EXPECT_EQ(file(3), XD_OK);
    ASSERT_EQ(file(3, true), XD_OK);
    ASSERT_TRUE(other.unlock(kModeOneByte));
    // ...one record byte: a shared lock tests the record area and is refused.
    ASSERT_TRUE(other.lock(record_byte(1)));
    EXPECT_EQ(file(4), XD_LOCKVIOLATION);
    EXPECT_EQ(file(1), XD_OK);
    ASSERT_EQ(file(1, true), XD_OK);
}

TEST_F(LockOffsetsTest, SharedLocksTakeTheNextFreeReaderByte) {
    RawHandle other(path_);
    ASSERT_EQ(file(4), XD_OK);
    EXPECT_TRUE(other.held_elsewhere(reader_byte(3)));
    EXPECT_FALSE(other.held_elsewhere(reader_byte(4)));
    EXPECT_FALSE(other.held_elsewhere(kAreaStart, 0x1FFFFFFF));  // the test lock was let go
    ASSERT_EQ(file(4, true), XD_OK);
    EXPECT_FALSE(other.held_elsewhere(reader_byte(3)));
    // Another reader has byte 3 (0x7FFFFFFC): the engine takes reader 4.
    ASSERT_TRUE(other.lock(reader_byte(3)));
    ASSERT_EQ(file(4), XD_OK);
    EXPECT_TRUE(other.held_elsewhere(reader_byte(4)));
    ASSERT_EQ(file(4, true), XD_OK);
    EXPECT_FALSE(other.held_elsewhere(reader_byte(4)));
    // Every reader byte taken (3 .. 64, down to 0x7FFFFFBF): refused.
    for (uint32_t r = 4; r <= 64; r++) ASSERT_TRUE(other.lock(reader_byte(r))) << r;
    EXPECT_EQ(reader_byte(64), 0x7FFFFFBFu);
    EXPECT_EQ(file(4), XD_LOCKVIOLATION);
}

// A file that may only be read (mode 0444, opened by a user who is not its owner):
// two handles still never hold one record at once.
TEST_F(LockOffsetsTest, HandlesOnAReadOnlyFileExcludeEachOther) {
    dbf_close(h_);
    h_ = -1;
    share_read_only(dir_, {path_});
    if (writes_read_only_files(path_)) GTEST_SKIP() << kWritesReadOnlyFiles;
    std::string path = path_;
    int code = run_without_write_rights([&]() {
        xdbinit();
        if (file_is_writable(path)) return 10;  // the test would prove nothing
        int16_t a = -1, b = -1;
        if (dbf_open(&a, path.c_str(), 1) < 0) return 11;
        xdb_set_status(XD_OK);
        if (dbf_open(&b, path.c_str(), 1) < 0) return 12;
        xdb_set_status(XD_OK);
        if (dbf_lock_record(a, DBF_RECORD_LOCK, 2) != XD_OK) return 13;
        if (dbf_lock_record(b, DBF_RECORD_LOCK, 2) != XD_LOCKVIOLATION) return 14;
        xdb_set_status(XD_OK);
        if (dbf_lock_file(b, 1) != XD_OK) return 15;
        if (dbf_lock_file(a, 1) != XD_LOCKVIOLATION) return 16;
        xdb_set_status(XD_OK);
        if (dbf_lock_record(a, DBF_RECORD_UNLOCK, 2) != XD_OK) return 17;
        if (dbf_lock_record(b, DBF_RECORD_LOCK, 2) != XD_OK) return 18;
        // A writer of the file (another program) is kept out as well.
        RawHandle reader(path);
        if (!reader.held_elsewhere(record_byte(2))) return 19;
        return 0;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
