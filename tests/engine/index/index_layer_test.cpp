// The uniform index operations over NDX: dispatch by type code, the key post-
// processing for text hosts, the pad step of seeks, creation by extension, the
// display name, keys from records and from host values; the stamp of a
// compound file's tag list.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/cdx/cdx.h"
#include "engine/index/index.h"
#include "engine/index/mdx/mdx.h"
#include "engine/index/ndx/ndx.h"
#include "framework/index_keys.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class IndexLayerTest : public EngineTest {
protected:
    IndexAccess access(int32_t type, char key_type, uint32_t key_length) {
        IndexAccess a{};
        a.type = type;
        a.key_type = key_type;
        a.key_length = key_length;
        a.key_host_type = 19;
        a.value_host_type = 19;
        a.single_field = -1;
        return a;
    }
};

TEST_F(IndexLayerTest, TypesWithoutAFormat) {
    IndexAccess a = access(7, 'C', 11);
    char key[kIndexKeyBuffer];
    uint32_t recno;
    EXPECT_EQ(IndexFirst(&a, key, &recno), XD_CORRUPT);
    EXPECT_EQ(IndexClose(9, 3), XD_OK);
    int16_t count = 5;
    EXPECT_EQ(TagCount(7, 0, &count), XD_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(TagCount(1, 0, &count), XD_OK);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(index_extension(5), ".ntx");
    EXPECT_STREQ(index_extension(7), "");
    EXPECT_TRUE(index_is_multitag(8));
    EXPECT_TRUE(index_is_multitag(2));
    EXPECT_FALSE(index_is_multitag(1));
}

TEST_F(IndexLayerTest, CreateByExtensionDescribeAndUse) {
    std::string upper = dir_ + "/NAMES.NDX";
    IndexCreateRequest r{upper.c_str(), "NAME", 'C', 10, 0, nullptr};
    EXPECT_EQ(IndexCreate(&r), XD_OK);  // .NDX in capitals is an NDX
    std::string cdx = dir_ + "/T.CDX";
    r.file_name = cdx.c_str();
    EXPECT_EQ(IndexCreate(&r), XD_BADFILENAME);  // .cdx only in lower case
    std::string other = dir_ + "/t.idx2";
    r.file_name = other.c_str();
    EXPECT_EQ(IndexCreate(&r), XD_BADFILENAME);

    int16_t h;
    ASSERT_EQ(IndexOpen(1, upper.c_str(), XDB_OPEN_SHORTHAND, &h), XD_OK);
    IndexDescription d;
    ASSERT_EQ(IndexDescribe(1, h, &d), XD_OK);
    EXPECT_EQ(d.key_length, 11);
    EXPECT_EQ(d.key_type, 'C');
    EXPECT_EQ(d.key_expression, "NAME");
    EXPECT_STREQ(d.name, "NAME");  // a plain field name names the index
    // The file is its one tag: described by number 0, no other; opening a tag
    // does nothing.
    IndexDescription by_tag;
    ASSERT_EQ(IndexDescribeTag(1, h, 0, &by_tag), XD_OK);
    EXPECT_EQ(by_tag.key_expression, "NAME");
    EXPECT_EQ(IndexDescribeTag(1, h, 1, &by_tag), XD_BADTAGID);
    int32_t tag = 7;
    EXPECT_EQ(TagOpen(1, "NAME", h, &tag), XD_OK);
    EXPECT_EQ(tag, -1);
    IndexAccess a = access(1, 'C', 11);
    a.file_handle = (uint16_t)h;
    for (uint32_t n = 1; n <= 3; n++) {
        const char* names[] = {"", "SMITH", "SMYTH", "ADAMS"};
        ASSERT_EQ(IndexAddKey(&a, names[n], n), XD_OK);
    }
    // Text keys of a text host end at key_length - 1.
    char key[kIndexKeyBuffer];
    memset(key, 'x', sizeof key);
    uint32_t recno = 0;
    EXPECT_EQ(IndexFirst(&a, key, &recno), XD_OK);
    EXPECT_EQ(recno, 3u);
    EXPECT_EQ(key[10], 0);
    // First and last clear the whole key area (101 bytes) first, not only the key.
    for (size_t i = 11; i < kIndexKeyBuffer; i++) EXPECT_EQ(key[i], 0) << i;
    memset(key, 'x', sizeof key);
    EXPECT_EQ(IndexLast(&a, key, &recno), XD_OK);
    for (size_t i = 11; i < kIndexKeyBuffer; i++) EXPECT_EQ(key[i], 0) << i;
    // The pad step: "SM" padded to ten characters finds no key ("SM" + 8 blanks).
    strcpy(key, "SM");
    EXPECT_EQ(IndexSeek(&a, key, 1, &recno, 0), XD_KEYNOTFOUND);
    strcpy(key, "SM");
    EXPECT_EQ(IndexSeek(&a, key, 0, &recno, 0), XD_OK);  // without it, a prefix search
    EXPECT_EQ(recno, 1u);
    EXPECT_EQ(IndexDeleteKey(&a, "SMITH", 1), XD_OK);
    strcpy(key, "SM");
    EXPECT_EQ(IndexSeek(&a, key, 0, &recno, 0), XD_OK);
    EXPECT_EQ(recno, 2u);
    EXPECT_EQ(IndexClose(1, h), XD_OK);

    std::string expr_index = dir_ + "/byexpr.ndx";
    r = IndexCreateRequest{expr_index.c_str(), "UPPER(NAME)+CITY", 'C', 30, 1, nullptr};
    ASSERT_EQ(IndexCreate(&r), XD_OK);
    ASSERT_EQ(IndexOpen(1, expr_index.c_str(), XDB_OPEN_SHORTHAND, &h), XD_OK);
    ASSERT_EQ(IndexDescribe(1, h, &d), XD_OK);
    EXPECT_STREQ(d.name, "byexpr");  // an expression: the file's base name
    EXPECT_EQ(d.flags, 128);
    IndexClose(1, h);
}

TEST_F(IndexLayerTest, KeysFromRecordsAndValues) {
    std::string table = dir_ + "/t.dbf";
    build_dbf(0x03, {{"NAME", 'C', 8}, {"AMOUNT", 'N', 7, 2}, {"BORN", 'D', 8}}, {"ab      1234.5620000101"}).write(table);
    int16_t d;
    ASSERT_EQ(dbf_open(&d, table.c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
    ASSERT_EQ(dbf_read_record(d, 1), XD_OK);
    std::string x = dir_ + "/k.ndx";
    ASSERT_EQ(ndx_create(x.c_str(), 'C', "NAME+NAME", 16), XD_OK);
    int16_t h;
    ASSERT_EQ(ndx_open(&h, x.c_str(), XDB_OPEN_SHORTHAND), XD_OK);
    IndexAccess a = access(1, 'C', 17);
    a.file_handle = (uint16_t)h;
    char key[kIndexKeyBuffer];
    ASSERT_EQ(IndexKeyFromRecord(&a, d, key), XD_OK);
    EXPECT_STREQ(key, "ab      ab");  // trailing blanks trimmed
    a.single_field = 0;               // one field's value
    a.single_field_type = 'C';
    ASSERT_EQ(IndexKeyFromRecord(&a, d, key), XD_OK);
    EXPECT_STREQ(key, "ab      ");

    IndexAccess n = access(1, 'N', 8);
    n.key_width = 7;
    n.key_decimals = 2;
    double v = 0;
    ASSERT_EQ(MakeNumericKey(&n, 1234.567, &v), XD_OK);
    EXPECT_DOUBLE_EQ(v, 1234.57);  // rounded as the field stores it
    IndexAccess dt = access(1, 'D', 8);
    ASSERT_EQ(MakeDateKey(&dt, "20000101", &v), XD_OK);
    EXPECT_EQ(v, 2451545.0);
    ASSERT_EQ(MakeDateKey(&dt, "19000101", &v), XD_OK);
    EXPECT_EQ(v, 2415021.0);  // the Julian day, before 1900-03-01 too
    ASSERT_EQ(MakeDateKey(&dt, "        ", &v), XD_OK);
    EXPECT_EQ(v, 21474835648.0);

    uint8_t k[8];
    IndexAccess i = access(4, 11, 4);
    MakeIntegerKey(&i, -1, k);
    EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{0x7F, 0xFF, 0xFF, 0xFF}));
    MakeIntegerKey(&i, 0, k);
    EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{0x80, 0, 0, 0}));
    MakeIntegerKey(&i, 1, k);
    EXPECT_EQ(std::vector<uint8_t>(k, k + 4), (std::vector<uint8_t>{0x80, 0, 0, 1}));
    IndexAccess c = access(4, 10, 8);
    MakeCurrencyKey(&c, 1.5, k);
    EXPECT_EQ(std::vector<uint8_t>(k, k + 8), (std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 0x3A, 0x98}));  // 15000
    EXPECT_EQ(MakeDateTimeKey(&c, "2024", k), XD_BADDATE);
    xdb_set_status(XD_OK);
    // A date-time: the date key's first four bytes, then the time of day in units
    // of 2^-31 day (noon is 12 x 89478485), big-endian.
    uint8_t day[8], noon[8];
    IndexAccess cd = access(4, 'D', 8);
    ASSERT_EQ(MakeDateKey(&cd, "20000101", day), XD_OK);
    ASSERT_EQ(MakeDateTimeKey(&c, "20000101120000", noon), XD_OK);
    EXPECT_EQ(std::vector<uint8_t>(noon, noon + 4), std::vector<uint8_t>(day, day + 4));
    EXPECT_EQ(std::vector<uint8_t>(noon + 4, noon + 8), (std::vector<uint8_t>{0x3F, 0xFF, 0xFF, 0xFC}));
    ASSERT_EQ(MakeDateTimeKey(&c, "20000101000001", noon), XD_OK);
    EXPECT_EQ(std::vector<uint8_t>(noon + 4, noon + 8), (std::vector<uint8_t>{0, 0, 0x61, 0x17}));  // 24855
    EXPECT_EQ(MakeDateTimeKey(&c, "2000010112x000", noon), XD_BADDATE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(MakeKeyFromField(&c, 'G', k, k), XD_EMPTYFILE);
    xdb_set_status(XD_OK);

    // From host values: a number made into a text key of a text host is padded.
    IndexAccess t = access(1, 'C', 11);
    t.value_host_type = HV_REAL;
    char text[11];
    ASSERT_EQ(MakeKeyFromValue(&t, FxValue::Real(42), text), XD_OK);
    EXPECT_STREQ(text, "42        ");
    t.raw_character_key = 1;
    ASSERT_EQ(MakeKeyFromValue(&t, FxValue::Real(42), text), XD_OK);
    EXPECT_STREQ(text, "42");
    ASSERT_EQ(MakeKeyFromValue(&n, FxValue::Text("12.345"), &v), XD_OK);
    EXPECT_DOUBLE_EQ(v, 12.35);
    IndexAccess other = access(1, 'X', 8);
    EXPECT_EQ(MakeKeyFromValue(&other, FxValue::Real(1), &v), XD_EMPTYFILE);
    ndx_close(h);
}

// A compound file's tag list as another handle changes it: a tag removed and
// another made leaves the count but not the stamp; keys added change neither.
TEST_F(IndexLayerTest, TheTagListStampTellsATagSwapFromKeysAdded) {
    const std::string table = dir_ + "/t.dbf";
    build_dbf(0x03, {{"NAME", 'C', 8}, {"CITY", 'C', 8}}, {"ab      rome    ", "cd      oslo    "}).write(table);
    for (const int32_t type : {2, 10}) {
        SCOPED_TRACE(type);
        const std::string file = dir_ + (type == 2 ? "/t.mdx" : "/t.cdx");
        int16_t data = -1;
        ASSERT_EQ(dbf_open(&data, table.c_str(), XDB_OPEN_SHORTHAND | 5), XD_OK);
        for (const char* name : {"NAME", "CITY", "BOTH"}) {
            IndexTagBuild b{file.c_str(), name, strcmp(name, "BOTH") ? name : "NAME+CITY", "", 'C', 16, false, false};
            ASSERT_EQ(IndexBuildTag(type, data, &b), XD_OK) << name;
        }
        int16_t mine = -1, theirs = -1, count = 0;
        uint64_t before = 0, after = 0;
        ASSERT_EQ(IndexOpen(type, file.c_str(), XDB_OPEN_SHORTHAND, &mine), XD_OK);
        ASSERT_EQ(TagListStamp(type, mine, &count, &before), XD_OK);
        EXPECT_EQ(count, 3);
        IndexAccess a = access(type, 'C', 9);
        a.file_handle = (uint16_t)mine;
        ASSERT_EQ(TagOpen(type, "NAME", mine, &a.tag_handle), XD_OK);
        ASSERT_EQ(IndexAddKey(&a, "ef      ", 3), XD_OK);
        ASSERT_EQ(TagListStamp(type, mine, &count, &after), XD_OK);
        EXPECT_EQ(after, before) << "keys added";
        ASSERT_EQ(IndexOpen(type, file.c_str(), XDB_OPEN_SHORTHAND, &theirs), XD_OK);
        ASSERT_EQ(IndexRemoveTag(type, theirs, "CITY"), XD_OK);
        const CdxTagRequest area{"AREA", "CITY", "", 'C', 8, false, false};
        ASSERT_EQ(type == 2 ? mdx_create_tag(theirs, "AREA", 'C', "CITY", nullptr, 8, data)
                            : cdx_create_tag(theirs, &area, data),
                  XD_OK);
        ASSERT_EQ(TagListStamp(type, mine, &count, &after), XD_OK);
        EXPECT_EQ(count, 3);
        EXPECT_NE(after, before) << "a tag removed and another made";
        // The tag made again under its name, on another expression.
        before = after;
        const CdxTagRequest again{"AREA", "NAME", "", 'C', 8, false, false};
        ASSERT_EQ(IndexRemoveTag(type, theirs, "AREA"), XD_OK);
        ASSERT_EQ(type == 2 ? mdx_create_tag(theirs, "AREA", 'C', "NAME", nullptr, 8, data)
                            : cdx_create_tag(theirs, &again, data),
                  XD_OK);
        ASSERT_EQ(TagListStamp(type, mine, &count, &after), XD_OK);
        EXPECT_NE(after, before) << "a tag made again";
        IndexClose(type, theirs);
        TagClose(type, a.tag_handle);
        IndexClose(type, mine);
        dbf_close(data);
        xdb_set_status(XD_OK);
    }
}

}  // namespace
