// Changes that other readers of the same file must see, and values that must come
// back as written: a write through one handle seen by the read-ahead, the pack and
// the rebuild of the same and of another handle; a deletion mark written alone,
// keeping what another handle wrote to the record; files held open elsewhere are not
// packed or re-created from under their holder; the code page byte survives a pack;
// empty date-times and rounding ties are written as other xBase programs write them.

#include <gtest/gtest.h>

#include <filesystem>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/numbers.h"
#include "engine/index/ndx/ndx.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class SharedChangesTest : public EngineTest {
protected:
    // NAME C(8), five records "r1".."r5".
    std::string make_table(const std::string& name = "t.dbf", uint8_t code_page = 0) {
        std::string path = dir_ + "/" + name;
        DbfImage img = build_dbf(0x03, {{"NAME", 'C', 8}}, {"r1", "r2", "r3", "r4", "r5"});
        img.bytes[29] = code_page;
        img.write(path);
        return path;
    }
    int16_t open(const std::string& path, uint16_t mode = (uint16_t)(XDB_OPEN_SHORTHAND | (uint16_t)DBF_DBASE3)) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        EXPECT_GE(dbf_open(&h, path.c_str(), mode), 0) << path;
        xdb_set_status(XD_OK);
        return h;
    }
    std::string name_of(int16_t h, uint32_t recno, bool ahead) {
        xdb_set_status(XD_OK);
        XDSTATUS s = ahead ? dbf_read_ahead(h, recno) : dbf_read_record(h, recno);
        EXPECT_GE(s, 0);
        char value[16] = {0};
        xdb_set_status(XD_OK);
        dbf_get_field(h, 0, value, nullptr);
        xdb_set_status(XD_OK);
        std::string text(value);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return (s == XD_DELETEDREC ? "*" : "") + text;
    }
    void rewrite(int16_t h, uint32_t recno, const char* value) {
        xdb_set_status(XD_OK);
        ASSERT_GE(dbf_read_record(h, recno), 0);
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_put_field(h, 0, value), XD_OK);
        ASSERT_EQ(dbf_write_record(h, &recno, DBF_WRITE_REWRITE), XD_OK);
    }
    std::vector<std::string> scan(int16_t h) {
        uint32_t count = 0;
        xdb_set_status(XD_OK);
        dbf_record_count(h, &count);
        std::vector<std::string> out;
        for (uint32_t n = 1; n <= count; n++) out.push_back(name_of(h, n, true));
        return out;
    }
};

TEST_F(SharedChangesTest, ReadAheadSeesWritesThroughTheSameAndOtherHandles) {
    std::string path = make_table();
    int16_t a = open(path), b = open(path);
    EXPECT_EQ(scan(a), (std::vector<std::string>{"r1", "r2", "r3", "r4", "r5"}));
    // Same handle: a rewrite and a delete after the scan.
    rewrite(a, 2, "R2");
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_delete_record(a, 3), XD_OK);
    EXPECT_EQ(scan(a), (std::vector<std::string>{"r1", "R2", "*r3", "r4", "r5"}));
    // Another handle of this process: a rewrite and an append.
    rewrite(b, 4, "B4");
    uint32_t n = 0;
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_lock_file(b, 1), XD_OK);
    ASSERT_EQ(dbf_put_field(b, 0, "b6"), XD_OK);
    ASSERT_EQ(dbf_write_record(b, &n, DBF_WRITE_APPEND), XD_OK);
    ASSERT_EQ(dbf_unlock_file(b, 1), XD_OK);
    EXPECT_EQ(name_of(a, 4, true), "B4");
    EXPECT_EQ(name_of(a, 6, true), "b6");
    // A rebuild through the first handle, after the other's next rewrite, has it.
    rewrite(b, 1, "B1");
    std::string ndx = dir_ + "/t.ndx";
    xdb_set_status(XD_OK);
    ASSERT_GE(ndx_rebuild(a, ndx.c_str(), 'C', "NAME", 8), 0);
    xdb_set_status(XD_OK);
    int16_t x = -1;
    ASSERT_GE(ndx_open(&x, ndx.c_str(), 0), 0);
    char key[16] = {0};
    uint32_t recno = 0;
    std::vector<std::string> keys;
    xdb_set_status(XD_OK);
    for (XDSTATUS s = ndx_first(x, key, &recno); s == XD_OK; s = ndx_next(x, key, &recno))
        keys.push_back(std::string(key, 2));
    EXPECT_EQ(keys, (std::vector<std::string>{"B1", "B4", "R2", "b6", "r3", "r5"}));
    xdb_set_status(XD_OK);
    ndx_close(x);
    dbf_close(b);
    dbf_close(a);
}

// A delete or recall writes the record's mark alone: another handle's change to
// the record, made after this handle read it, stays.
TEST_F(SharedChangesTest, AMarkIsWrittenAloneAndKeepsAnotherHandlesChange) {
    std::string path = make_table();
    int16_t a = open(path), b = open(path);
    EXPECT_EQ(name_of(a, 2, false), "r2");  // current on a
    rewrite(b, 2, "B2");
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_delete_record(a, 2), XD_OK);
    EXPECT_EQ(name_of(b, 2, false), "*B2");
    ASSERT_EQ(dbf_recall_record(a, 2), XD_OK);
    ASSERT_EQ(dbf_delete_record(a, 4), XD_OK);  // not current: read first
    EXPECT_EQ(scan(b), (std::vector<std::string>{"r1", "B2", "r3", "*r4", "r5"}));
    dbf_close(b);
    dbf_close(a);
}

TEST_F(SharedChangesTest, PackAndRebuildReadWhatWasWrittenAfterAScan) {
    std::string path = make_table();
    int16_t h = open(path);
    scan(h);
    rewrite(h, 2, "R2");
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_delete_record(h, 3), XD_OK);
    ASSERT_EQ(dbf_delete_record(h, 5), XD_OK);
    // The rebuild reads the rewritten record.
    std::string ndx = dir_ + "/t.ndx";
    ASSERT_GE(ndx_rebuild(h, ndx.c_str(), 'C', "NAME", 8), 0);
    xdb_set_status(XD_OK);
    int16_t x = -1;
    ASSERT_GE(ndx_open(&x, ndx.c_str(), 0), 0);
    xdb_set_status(XD_OK);
    char key[16] = {0};
    uint32_t recno = 0;
    std::vector<std::string> keys;
    for (XDSTATUS s = ndx_first(x, key, &recno); s == XD_OK; s = ndx_next(x, key, &recno))
        keys.push_back(std::string(key, 2));
    EXPECT_EQ(keys, (std::vector<std::string>{"R2", "r1", "r3", "r4", "r5"}));
    xdb_set_status(XD_OK);
    ndx_close(x);
    // The pack keeps the rewrite and drops the deleted records.
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_pack(&h), XD_OK);
    EXPECT_EQ(scan(h), (std::vector<std::string>{"r1", "R2", "r4"}));
    xdb_set_status(XD_OK);
    dbf_close(h);
}

TEST_F(SharedChangesTest, PackRefusedWhileAnotherHandleHoldsTheTable) {
    std::string path = make_table();
    int16_t a = open(path), b = open(path);
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_delete_record(a, 1), XD_OK);
    std::vector<uint8_t> before = file_byte_vector(path);
    int16_t h = a;
    EXPECT_EQ(dbf_pack(&h), XD_ACCESSDENIED);
    EXPECT_EQ(h, a);  // still open, still the same handle
    EXPECT_EQ(file_byte_vector(path), before);
    EXPECT_FALSE(xdb_fexists((dir_ + "/0.DBF").c_str()));
    // The other handle's append still reaches the table.
    xdb_set_status(XD_OK);
    uint32_t n = 0;
    ASSERT_EQ(dbf_lock_file(b, 1), XD_OK);
    ASSERT_EQ(dbf_put_field(b, 0, "b6"), XD_OK);
    ASSERT_EQ(dbf_write_record(b, &n, DBF_WRITE_APPEND), XD_OK);
    ASSERT_EQ(dbf_unlock_file(b, 1), XD_OK);
    dbf_close(b);
    // Alone now: the pack goes through and keeps that append.
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_pack(&h), XD_OK);
    EXPECT_EQ(scan(h), (std::vector<std::string>{"r2", "r3", "r4", "r5", "b6"}));
    xdb_set_status(XD_OK);
    dbf_close(h);
}

TEST_F(SharedChangesTest, FilesHeldOpenAreNeitherReplacedNorRenamedNorDeleted) {
    std::string path = make_table();
    std::vector<uint8_t> before = file_byte_vector(path);
    DbfCreateField f = create_field("X", 'C', 4);
    for (uint16_t mode : {(uint16_t)DBF_DBASE3, (uint16_t)((uint16_t)(XDB_OPEN_SHORTHAND | (uint16_t)DBF_DBASE3))}) {
        int16_t h = open(path, mode);  // exclusive, then shared
        xdb_set_status(XD_OK);
        EXPECT_EQ(dbf_create(path.c_str(), 1, &f, 1), XD_OPENERR) << mode;
        xdb_set_status(XD_OK);
#ifdef _WIN32
        // A file held exclusively cannot be read by anybody else there: its size tells.
        if (mode == (uint16_t)DBF_DBASE3) {
            EXPECT_EQ(std::filesystem::file_size(path), before.size());
        } else {
            EXPECT_EQ(file_byte_vector(path), before) << mode;
        }
#else
        EXPECT_EQ(file_byte_vector(path), before) << mode;
#endif
        EXPECT_EQ(xdb_frename(path.c_str(), (dir_ + "/moved.dbf").c_str()), XD_ACCESSDENIED);
        xdb_set_status(XD_OK);
        EXPECT_EQ(xdb_fdelete(path.c_str()), XD_KEYNOTFOUND);  // a sharing violation reads as "missing"
        xdb_set_status(XD_OK);
        EXPECT_EQ(scan(h).size(), 5u);
        dbf_close(h);
    }
    // Closed: all three work.
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_frename(path.c_str(), (dir_ + "/moved.dbf").c_str()), XD_OK);
    EXPECT_EQ(dbf_create(path.c_str(), 1, &f, 1), XD_OK);
    EXPECT_EQ(xdb_fdelete(path.c_str()), XD_OK);
}

TEST_F(SharedChangesTest, PackKeepsTheCodePageByte) {
    std::string path = make_table("t.dbf", 0x57);
    int16_t h = open(path);
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_delete_record(h, 2), XD_OK);
    ASSERT_EQ(dbf_pack(&h), XD_OK);
    xdb_set_status(XD_OK);
    dbf_close(h);
    std::vector<uint8_t> bytes = file_byte_vector(path);
    ASSERT_GT(bytes.size(), 32u);
    EXPECT_EQ(bytes[29], 0x57);
    EXPECT_EQ(bytes[28], 0);
}

TEST_F(SharedChangesTest, EmptyDateTimeIsWrittenAsZerosAndReadInBothForms) {
    std::string path = dir_ + "/v.dbf";
    DbfImage img = build_dbf(0x30, {{"AT", 'T', 8}}, {std::string(8, ' '), std::string(8, '\0')}, true);
    img.write(path);
    int16_t h = open(path, DBF_VFP);
    for (uint32_t n : {1u, 2u}) {
        xdb_set_status(XD_OK);
        ASSERT_GE(dbf_read_record(h, n), 0);
        DbfDateTime t;
        memset(&t, 0x55, sizeof t);
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_get_field(h, 0, &t, nullptr), XD_OK);
        EXPECT_EQ(t.year, 0) << n;
        EXPECT_EQ(t.month, 0) << n;
        EXPECT_EQ(dbf_field_empty(h, 0), 1) << n;
    }
    DbfDateTime empty{};
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_put_field(h, 0, &empty), XD_OK);
    uint32_t n = 1;
    ASSERT_EQ(dbf_write_record(h, &n, DBF_WRITE_REWRITE), XD_OK);
    dbf_close(h);
    std::vector<uint8_t> bytes = file_byte_vector(path);
    uint16_t header = (uint16_t)(bytes[8] | bytes[9] << 8);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + header + 1, bytes.begin() + header + 9), std::vector<uint8_t>(8, 0));
}

TEST(Numbers, TiesRoundAwayFromZeroOnTheDigitsAsWritten) {
    struct Case {
        double value;
        int width, decimals;
        const char* text;
    } cases[] = {
        {0.125, 6, 2, "  0.13"},  {-0.125, 6, 2, " -0.13"}, {12.5, 10, 0, "        13"},
        {-12.5, 4, 0, " -13"},    {2.5, 1, 0, "3"},         {2.675, 4, 2, "2.68"},
        {1.005, 4, 2, "1.01"},    {0.045, 4, 2, "0.05"},    {3.14159, 6, 2, "  3.14"},
        {-0.001, 5, 2, " 0.00"},  {0.0, 3, 0, "  0"},       {-0.0, 4, 1, " 0.0"},
        {999.995, 6, 2, "1000.00"}, {0.5, 1, 0, "1"},       {0.49999999999999994, 1, 0, "0"},
        {0.06, 3, 1, "0.1"},      {0.006, 3, 1, "0.0"},     {123456789012345678.0, 1, 0, "123456789012345680"},
        {1e-7, 8, 7, "0.0000001"}, {0.30000000000000004, 4, 2, "0.30"}, {7, 5, 3, "7.000"},
    };
    for (const Case& c : cases) {
        char out[64];
        int n = xdb_format_fixed(out, sizeof out, c.value, c.width, c.decimals);
        EXPECT_STREQ(out, c.text) << c.value;
        EXPECT_EQ(n, (int)strlen(c.text));
    }
}

TEST_F(SharedChangesTest, NumericFieldsAndStrKeysRoundTiesAwayFromZero) {
    std::string path = dir_ + "/n.dbf";
    build_dbf(0x03, {{"AMOUNT", 'N', 6, 2}}, {"  0.00"}).write(path);
    int16_t h = open(path);
    xdb_set_status(XD_OK);
    ASSERT_GE(dbf_read_record(h, 1), 0);
    double v = 0.125;
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_put_field(h, 0, &v), XD_ROUNDED);
    char* record;
    uint16_t length, fields;
    dbf_record_layout(h, &record, &length, &fields);
    EXPECT_EQ(std::string(record + 1, 6), "  0.13");
    v = 12.5;
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_put_field(h, 0, &v), XD_OK);
    char expr[] = "STR(AMOUNT,4)";
    XdbKeyValue key;
    xdb_set_status(XD_OK);
    ASSERT_EQ(xdb_eval_key(h, expr, 0, &key), XD_OK);
    EXPECT_EQ(std::string((const char*)key.value, key.length), "  13");
    xdb_set_status(XD_OK);
    dbf_close(h);
}

}  // namespace
