// Opening DBF files: every header and descriptor check, in order, on files built
// byte by byte; a failed open leaves nothing behind.

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/os.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class DbfOpenTest : public EngineTest {
protected:
    void TearDown() override {
        EXPECT_EQ(xdb_slots_in_use(), 0) << "a handle was left open";
        EngineTest::TearDown();
    }
    // Opens the image as `dialect`; closes it again on success. Returns the status.
    XDSTATUS try_open(const DbfImage& img, uint8_t dialect, uint16_t* fields = nullptr) {
        std::string path = dir_ + "/t.dbf";
        img.write(path);
        xdb_set_status(XD_OK);
        int16_t h = -1;
        XDSTATUS s = dbf_open(&h, path.c_str(), (uint16_t)(XDB_OPEN_SHORTHAND | dialect));
        if (s >= 0) {
            if (fields) {
                xdb_set_status(XD_OK);
                dbf_field_count(h, fields);
            }
            xdb_set_status(XD_OK);
            EXPECT_EQ(dbf_close(h), XD_OK);
            xdb_set_status(XD_OK);
        } else {
            EXPECT_EQ(h, -1);
            EXPECT_EQ(xdb_slots_in_use(), 0);
            EXPECT_EQ(osl_handles_in_use(), 0);
            xdb_set_status(XD_OK);
        }
        return s;
    }
};

DbfImage two_fields(uint8_t version = 0x03) {
    return build_dbf(version, {{"NAME", 'C', 10}, {"QTY", 'N', 5, 1}}, {"ALPHA     123.4", "*BETA       2.0"});
}

TEST_F(DbfOpenTest, HeaderLengthRules) {
    uint16_t n = 0;
    EXPECT_EQ(try_open(two_fields(), 1, &n), XD_OK);  // 33 + 32n
    EXPECT_EQ(n, 2);
    // 34 + 32n: a pad byte after the terminator.
    DbfImage pad = two_fields();
    pad.bytes.insert(pad.bytes.begin() + 97, 0);
    pad.set16(8, 98);
    EXPECT_EQ(try_open(pad, 1, &n), XD_OK);
    EXPECT_EQ(n, 2);
    // 35 + 32n is refused.
    DbfImage bad = pad;
    bad.bytes.insert(bad.bytes.begin() + 98, 0);
    bad.set16(8, 99);
    EXPECT_EQ(try_open(bad, 1), XD_BADHEADERSIZE);
    // 32 + 32n with the terminator inside the last descriptor: n - 1 fields, Omnis.
    DbfImage omnis = build_dbf(0x03, {{"NAME", 'C', 10}, {"QTY", 'N', 5, 1}}, {"ALPHA     123.4"});
    omnis.bytes.erase(omnis.bytes.begin() + 96);  // drop the terminator...
    omnis.bytes.insert(omnis.bytes.begin() + 96, 32, 0);
    omnis.bytes[96] = 0x0D;  // ...and put a descriptor that starts with it
    omnis.set16(8, 128);
    std::string path = dir_ + "/o.dbf";
    omnis.write(path);
    int16_t h;
    ASSERT_EQ(dbf_open(&h, path.c_str(), 1), XD_OK);
    DbfHeaderInfo info;
    dbf_header_info(h, &info);
    EXPECT_EQ(info.dialect, DBF_OMNIS);
    dbf_field_count(h, &n);
    EXPECT_EQ(n, 2);
    dbf_close(h);
    // A header shorter than a header.
    DbfImage tiny = two_fields();
    tiny.set16(8, 2);
    EXPECT_EQ(try_open(tiny, 1), XD_BADHEADERSIZE);
}

TEST_F(DbfOpenTest, VersionByteByDialect) {
    EXPECT_EQ(try_open(two_fields(0x03), 4), XD_OK);  // dBASE III file as FoxPro 1.0
    EXPECT_EQ(try_open(two_fields(0x8B), 1), XD_BADVERSION);
    EXPECT_EQ(try_open(two_fields(0x8B), 2), XD_OK);
    EXPECT_EQ(try_open(two_fields(0xF5), 8), XD_OK);
    EXPECT_EQ(try_open(two_fields(0xF5), 5), XD_BADVERSION);
    EXPECT_EQ(try_open(two_fields(0x83), 0), XD_OK);  // code 0 is dBASE III
    EXPECT_EQ(try_open(two_fields(0x03), 11), XD_BADCOMMAND);
    EXPECT_EQ(try_open(two_fields(0x30), 10), XD_BADVERSION);  // no 263-byte area: header too short
    DbfImage vfp = build_dbf(0x30, {{"NAME", 'C', 10}, {"N", 'I', 4}}, {"ALPHA     \x01\x00\x00\x00"}, true);
    uint16_t n = 0;
    EXPECT_EQ(try_open(vfp, 10, &n), XD_OK);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(try_open(vfp, 1), XD_BADVERSION);
}

TEST_F(DbfOpenTest, MdxFlagOnlyInDbase4AndFoxPro2) {
    DbfImage img = two_fields();
    img.bytes[28] = 2;
    EXPECT_EQ(try_open(img, 2), XD_BADMDXFLAG);
    EXPECT_EQ(try_open(img, 8), XD_BADMDXFLAG);
    EXPECT_EQ(try_open(img, 1), XD_OK);
    img.bytes[28] = 0xFF;  // -1 as a signed byte
    EXPECT_EQ(try_open(img, 2), XD_BADMDXFLAG);
    img.bytes[28] = 1;
    EXPECT_EQ(try_open(img, 2), XD_OK);
}

TEST_F(DbfOpenTest, CharacterLengthExtension) {
    // C length 0x10 with decimals byte 1: 272 bytes in Clipper, 16 in dBASE III.
    DbfImage img = build_dbf(0x03, {{"NOTE", 'C', 0x10, 1}});
    img.set16(10, 273);
    img.bytes.pop_back();
    img.bytes.insert(img.bytes.end(), 273, ' ');
    img.set32(4, 1);
    img.bytes.push_back(0x1A);
    EXPECT_EQ(try_open(img, 5), XD_OK);
    EXPECT_EQ(try_open(img, 8), XD_OK);
    EXPECT_EQ(try_open(img, 1), XD_BADRECSIZE);
    EXPECT_EQ(try_open(img, 10), XD_BADVERSION);
}

TEST_F(DbfOpenTest, NumericLengthLimits) {
    EXPECT_EQ(try_open(build_dbf(0x03, {{"N", 'N', 19}}), 1), XD_OK);
    EXPECT_EQ(try_open(build_dbf(0x03, {{"N", 'N', 20}}), 1), XD_BADFIELDSIZE);
    EXPECT_EQ(try_open(build_dbf(0x03, {{"N", 'N', 20}}), 2), XD_OK);
    EXPECT_EQ(try_open(build_dbf(0x03, {{"F", 'F', 20}}), 4), XD_OK);
    EXPECT_EQ(try_open(build_dbf(0x03, {{"F", 'F', 21}}), 8), XD_BADFIELDSIZE);
}

TEST_F(DbfOpenTest, MemoFieldRules) {
    std::vector<FieldSpec> memo = {{"TEXT", 'M', 10}};
    EXPECT_EQ(try_open(build_dbf(0x03, memo), 1), XD_BADVERSION);  // needs bit 0x80
    EXPECT_EQ(try_open(build_dbf(0x83, memo), 1), XD_OK);
    EXPECT_EQ(try_open(build_dbf(0x83, memo), 4), XD_BADVERSION);  // FoxPro needs 0xF5
    EXPECT_EQ(try_open(build_dbf(0xF5, memo), 8), XD_OK);
    std::string path = dir_ + "/m.dbf";
    build_dbf(0x83, {{"A", 'C', 2}, {"TEXT", 'M', 10}, {"B", 'N', 20}}).write(path);
    int16_t h;
    // The memo flag does not change the dialect tests that follow the M field: N 20
    // is still refused in dBASE III.
    EXPECT_EQ(dbf_open(&h, path.c_str(), 1), XD_BADFIELDSIZE);
    xdb_set_status(XD_OK);
    build_dbf(0x83, {{"TEXT", 'M', 10}}).write(path);
    ASSERT_EQ(dbf_open(&h, path.c_str(), 1), XD_OK);
    DbfHeaderInfo info;
    dbf_header_info(h, &info);
    EXPECT_EQ(info.dialect, DBF_DBASE3 | DBF_MEMO_FLAG);
    dbf_close(h);
}

TEST_F(DbfOpenTest, FieldTypesAndNames) {
    EXPECT_EQ(try_open(build_dbf(0x03, {{"I", 'I', 4}}), 1), XD_BADVERSION);
    EXPECT_EQ(try_open(build_dbf(0x03, {{"X", 'X', 4}}), 1), XD_BADFIELDTYPE);
    EXPECT_EQ(try_open(build_dbf(0x30, {{"X", 'X', 4}}, {}, true), 10), XD_BADFIELDTYPE);
    EXPECT_EQ(try_open(build_dbf(0x30, {{"_NullFlags", '0', 1, 0, 0x05}}, {}, true), 10), XD_OK);
    DbfImage longname = build_dbf(0x03, {{"ABCDEFGHIJ", 'C', 4}});
    longname.descriptor(0)[10] = 'K';  // no NUL within 11 bytes
    EXPECT_EQ(try_open(longname, 1), XD_BADFIELDNAME);
    // Names and type letters are upper-cased; lookups are exact.
    std::string path = dir_ + "/n.dbf";
    build_dbf(0x03, {{"name", 'c', 4}, {"qty", 'n', 3}}).write(path);
    int16_t h, index = -1;
    ASSERT_EQ(dbf_open(&h, path.c_str(), 1), XD_OK);
    EXPECT_EQ(dbf_find_field(h, &index, "QTY"), XD_OK);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(dbf_find_field(h, &index, "qty"), XD_BADFIELDNAME);
    EXPECT_EQ(index, 2);
    xdb_set_status(XD_OK);
    DbfFieldInfo info[2];
    uint16_t largest = 0;
    EXPECT_EQ(dbf_describe_fields(h, &largest, info), XD_OK);
    EXPECT_STREQ(info[0].name, "NAME");
    EXPECT_EQ(info[0].type, 'C');
    EXPECT_EQ(info[1].type, 'N');
    EXPECT_EQ(largest, 4);
    EXPECT_EQ(dbf_check_field_index(h, 2), XD_BADFIELDCOUNT);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_check_field_index(h, -1), XD_BADFIELDCOUNT);
    xdb_set_status(XD_OK);
    dbf_close(h);
}

TEST_F(DbfOpenTest, RecordLengthAndFileSize) {
    DbfImage img = two_fields();
    img.set16(10, 17);
    EXPECT_EQ(try_open(img, 1), XD_BADRECSIZE);
    img = two_fields();
    EXPECT_EQ(try_open(img, 1), XD_OK);  // records and the 0x1A
    img.bytes.pop_back();
    EXPECT_EQ(try_open(img, 1), XD_OK);  // no 0x1A
    img.bytes.pop_back();
    EXPECT_EQ(try_open(img, 1), XD_BADFILESIZE);  // one byte short: opens with a warning
    img = two_fields();
    img.bytes.insert(img.bytes.end(), 15, ' ');
    EXPECT_EQ(try_open(img, 1), XD_OK);  // one record length longer
    img.bytes.push_back(' ');
    EXPECT_EQ(try_open(img, 1), XD_BADFILESIZE);
}

TEST_F(DbfOpenTest, TruncatedAndMissingFiles) {
    DbfImage img = two_fields();
    // Cut inside the header or the descriptors: a read error. Cut in the records:
    // the file opens with the size warning.
    for (size_t cut : {0, 10, 31, 32, 60, 95, 96, 100}) {
        DbfImage t = img;
        t.bytes.resize(cut);
        XDSTATUS s = try_open(t, 1);
        EXPECT_EQ(s, cut < 96 ? XD_READERR : XD_BADFILESIZE) << cut;
    }
    int16_t h;
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_open(&h, (dir_ + "/none.dbf").c_str(), 1), XD_OPENERR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_open(nullptr, "x", 1), XD_NULLPARAM);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_open(&h, nullptr, 1), XD_NULLPARAM);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_open(&h, "", 1), XD_BADFILENAME);
    xdb_set_status(XD_OK);
}

TEST_F(DbfOpenTest, CloseStampsTheDateOnlyWhenChanged) {
    std::string path = dir_ + "/c.dbf";
    two_fields().write(path);
    int16_t h;
    ASSERT_EQ(dbf_open(&h, path.c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
    ASSERT_EQ(dbf_close(h), XD_OK);
    FILE* f = fopen(path.c_str(), "rb");
    unsigned char head[4];
    ASSERT_EQ(fread(head, 1, 4, f), 4u);
    fclose(f);
    EXPECT_EQ(head[1], 124);  // untouched
    EXPECT_EQ(head[2], 1);
    EXPECT_EQ(head[3], 2);
}

}  // namespace
