// An index holding the same (key, record) entry twice, as a damaged file or a
// careless writer leaves it: walks both ways hand each entry out once and end,
// the check names the repeat, and adding an entry that is there adds nothing.
// The same check names the other kinds of damage of a tree of separators.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/table_check.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class RepeatedEntryTest : public EngineTest {
protected:
    // A table of NAME C(4) with the records given, and an NDX on NAME built from it.
    int16_t build(const char* base, const std::vector<std::string>& records, std::string* index) {
        build_dbf(0x03, {{"NAME", 'C', 4}}, records).write(dir_ + "/" + base + ".dbf");
        *index = dir_ + "/" + base + ".ndx";
        IndexCreateRequest r{index->c_str(), "NAME", 'C', 4, 0, nullptr};
        EXPECT_EQ(IndexCreate(&r), XD_OK);
        int16_t t = -1;
        EXPECT_EQ(dbf_open(&t, (dir_ + "/" + base + ".dbf").c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
        EXPECT_EQ(IndexRebuild(1, t, index->c_str(), "NAME", 'C', 4, 0, nullptr), XD_OK);
        return t;
    }
    IndexAccess open(const std::string& index, uint16_t mode) {
        int16_t h = -1;
        EXPECT_EQ(IndexOpen(1, index.c_str(), mode, &h), XD_OK);
        IndexAccess a{};
        a.type = 1;
        a.file_handle = (uint16_t)h;
        a.key_length = 5;
        a.key_type = 'C';
        a.single_field = -1;
        return a;
    }
};

TEST_F(RepeatedEntryTest, WalksEndAndTheCheckNamesIt) {
    std::string path;
    dbf_close(build("t", {"AAAA", "AAAA", "BBBB"}, &path));
    {
        // The second entry of the root leaf (block 1) is made to name record 1 too.
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        char head[24];
        f.read(head, sizeof head);
        const int entry_size = (unsigned char)head[18] | ((unsigned char)head[19] << 8);
        f.seekp(512 + 4 + entry_size + 4);
        const char one[4] = {1, 0, 0, 0};
        f.write(one, 4);
    }
    for (uint16_t mode : {(uint16_t)(XDB_OPEN_SHORTHAND), (uint16_t)0}) {
        IndexAccess a = open(path, mode);
        const int16_t h = (int16_t)a.file_handle;
        uint8_t key[kIndexKeyBuffer] = {0};
        uint32_t recno = 0;
        std::string forward, backward;
        for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK && forward.size() < 20; s = IndexNext(&a, key, &recno))
            forward += std::to_string(recno);
        for (XDSTATUS s = IndexLast(&a, key, &recno); s == XD_OK && backward.size() < 20; s = IndexPrevious(&a, key, &recno))
            backward += std::to_string(recno);
        EXPECT_EQ(forward, "13") << "mode " << mode;
        EXPECT_EQ(backward, "31") << "mode " << mode;
        uint32_t entries = 0;
        char fault[256] = "";
        xdb_set_status(XD_OK);
        EXPECT_EQ(IndexCheck(1, h, &entries, fault, sizeof fault), XD_CORRUPT);
        EXPECT_NE(std::string(fault).find("repeated entry"), std::string::npos) << fault;
        // The check against the table walks the tree with it, and says the same.
        int16_t t = -1;
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_open(&t, (dir_ + "/t.dbf").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1), XD_OK);
        IndexTableCheck check;
        EXPECT_EQ(IndexCheckAgainstTable(&a, t, false, &check), XD_CORRUPT);
        EXPECT_NE(std::string(check.structure).find("repeated entry"), std::string::npos) << check.structure;
        xdb_set_status(XD_OK);
        dbf_close(t);
        xdb_set_status(XD_OK);
        IndexClose(1, h);
    }
    // Adding an entry that is there changes nothing.
    IndexAccess a = open(path, XDB_OPEN_SHORTHAND);
    const int16_t h = (int16_t)a.file_handle;
    const std::string before = [&] {
        return file_bytes(path);
    }();
    EXPECT_EQ(IndexAddKey(&a, "BBBB", 3), XD_EXISTS);
    xdb_set_status(XD_OK);
    IndexClose(1, h);
    EXPECT_EQ(file_bytes(path), before);
}

// The check against the table finds an entry whose record's key changed behind
// the index's back, and a record the index lacks, whatever the table's size
// (a hash of each record's key in memory, or each entry's record read).
TEST_F(RepeatedEntryTest, TheCheckAgainstTheTableFindsStaleEntries) {
    std::string path;
    const int16_t t = build("s", {"AAAA", "BBBB", "CCCC"}, &path);
    IndexAccess a = open(path, XDB_OPEN_SHORTHAND);
    const int16_t h = (int16_t)a.file_handle;
    std::string faults;
    IndexTableCheck check;
    check.context = &faults;
    check.fault = [](void* c, const char* what) { *(std::string*)c += std::string(what) + "\n"; };
    ASSERT_EQ(IndexCheckAgainstTable(&a, t, false, &check), XD_OK);
    EXPECT_EQ(faults, "");
    EXPECT_EQ(check.entries, 3u);
    // Record 2 rewritten and record 4 appended through the table alone.
    xdb_set_status(XD_OK);
    ASSERT_GE(dbf_read_record(t, 2), XD_OK);
    ASSERT_GE(dbf_put_field(t, 0, "ZZZZ"), XD_OK);
    uint32_t n = 2;
    ASSERT_EQ(dbf_write_record(t, &n, DBF_WRITE_REWRITE), XD_OK);
    ASSERT_GE(dbf_put_field(t, 0, "DDDD"), XD_OK);
    n = 0;
    ASSERT_EQ(dbf_write_record(t, &n, DBF_WRITE_APPEND), XD_OK);
    xdb_set_status(XD_OK);
    ASSERT_EQ(IndexCheckAgainstTable(&a, t, false, &check), XD_OK);
    EXPECT_EQ(check.faults, 2u) << faults;
    EXPECT_NE(faults.find("the entry of record 2 does not hold the record's key"), std::string::npos) << faults;
    EXPECT_NE(faults.find("the key of record 4 is not in the index"), std::string::npos) << faults;
    xdb_set_status(XD_OK);
    IndexClose(1, h);
    dbf_close(t);
}

// A unique index whose writers added a key again (duplicates not refused): the
// check tells the repeats apart from faults.
TEST_F(RepeatedEntryTest, TheCheckCountsTheRepeatedKeysOfAUniqueIndex) {
    build_dbf(0x03, {{"NAME", 'C', 4}}, {"AAAA", "BBBB", "AAAA", "CCCC", "BBBB"}).write(dir_ + "/u.dbf");
    const std::string path = dir_ + "/u.ndx";
    IndexCreateRequest r{path.c_str(), "NAME", 'C', 4, 1, nullptr};
    ASSERT_EQ(IndexCreate(&r), XD_OK);
    int16_t t = -1;
    ASSERT_EQ(dbf_open(&t, (dir_ + "/u.dbf").c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
    IndexAccess a = open(path, XDB_OPEN_SHORTHAND);
    for (uint32_t n = 1; n <= 5; n++) {
        uint8_t key[kIndexKeyBuffer] = {0};
        dbf_read_record(t, n);
        xdb_set_status(XD_OK);
        ASSERT_EQ(IndexKeyFromRecord(&a, t, key), XD_OK);
        ASSERT_EQ(IndexAddKey(&a, key, n), XD_OK);
    }
    IndexTableCheck check;
    ASSERT_EQ(IndexCheckAgainstTable(&a, t, true, &check), XD_OK) << check.structure;
    EXPECT_EQ(check.faults, 0u);
    EXPECT_EQ(check.entries, 5u);
    EXPECT_EQ(check.repeated_keys, 2u);
    xdb_set_status(XD_OK);
    IndexClose(1, (int16_t)a.file_handle);
    // Built again, it holds the first record of each key.
    ASSERT_EQ(IndexRebuild(1, t, path.c_str(), "NAME", (uint8_t)('C' | 0x80), 4, 0, nullptr), XD_OK);
    a = open(path, XDB_OPEN_SHORTHAND);
    ASSERT_EQ(IndexCheckAgainstTable(&a, t, true, &check), XD_OK) << check.structure;
    EXPECT_EQ(check.entries, 3u);
    EXPECT_EQ(check.repeated_keys, 0u);
    EXPECT_EQ(check.faults, 0u);
    xdb_set_status(XD_OK);
    IndexClose(1, (int16_t)a.file_handle);
    dbf_close(t);
}

// The same check over a tree of separators names each kind of damage a reader
// would trip over, on a file that checked clean before: a separator that is not
// the greatest key below it, a leaf reached twice, keys out of order, a child
// outside the file.
TEST_F(RepeatedEntryTest, EachKindOfDamageIsNamed) {
    std::vector<std::string> records;
    for (int n = 1; n <= 300; n++) records.push_back(std::to_string(1000 + n));  // a root over several leaves
    std::string path;
    dbf_close(build("d", records, &path));
    const std::string pristine = file_bytes(path);
    const uint32_t root = (uint8_t)pristine[0] | (uint8_t)pristine[1] << 8;
    const int size = (uint8_t)pristine[18];
    const uint32_t leaf = (uint8_t)pristine[root * 512 + 4] | (uint8_t)pristine[root * 512 + 5] << 8;
    struct Damage {
        uint32_t at;
        std::string bytes;
        const char* named;
    };
    const Damage damages[] = {
        {root * 512 + 4 + 8, "0000", "separator differs"},
        {root * 512 + 4 + (uint32_t)size, std::string(pristine, root * 512 + 4, 4), "reached twice"},
        {leaf * 512 + 4 + 8, "1003", "keys out of order"},
        {root * 512 + 4, std::string("\xff\xff\x00\x00", 4), "outside the file"},
    };
    for (const Damage& d : damages) {
        std::string bytes = pristine;
        bytes.replace(d.at, d.bytes.size(), d.bytes);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        IndexAccess a = open(path, 0);
        uint32_t entries = 0;
        char fault[256] = "";
        xdb_set_status(XD_OK);
        EXPECT_EQ(IndexCheck(1, (int16_t)a.file_handle, &entries, fault, sizeof fault), XD_CORRUPT) << d.named;
        EXPECT_NE(std::string(fault).find(d.named), std::string::npos) << fault;
        xdb_set_status(XD_OK);
        IndexClose(1, (int16_t)a.file_handle);
    }
}

}  // namespace
