// The CDX format's own rules: the seek modes on the keys 10, 20, 30;
// a tag opened by the beginning of its name; a tag opened twice; entries added
// twice, and a unique tag's repeated key; a tag replaced (its blocks taken again,
// its header at the end); a new file's bytes; a tag of Visual FoxPro date-times
// built and kept from the records.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <filesystem>
#include <string>

#include "engine/core/byteorder.h"
#include "engine/core/engine.h"
#include "engine/index/cdx/cdx.h"
#include "engine/index/index.h"
#include "engine/index/table_check.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/programs.h"

namespace fs = std::filesystem;

namespace {

class CdxFormatTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        path_ = dir_ + "/t.cdx";
        ASSERT_EQ(cdx_create_file(path_.c_str()), XD_OK);
        ASSERT_GE(cdx_open(&file_, path_.c_str(), 0), 0);
    }
    void TearDown() override {
        xdb_set_status(XD_OK);
        if (file_ >= 0) cdx_close(file_);
        EngineTest::TearDown();
    }
    int32_t make(const char* name, char type, uint16_t length, bool unique = false) {
        xdb_set_status(XD_OK);
        CdxTagRequest r{name, "K", "", type, length, unique, false};
        EXPECT_EQ(cdx_create_tag(file_, &r, -1), XD_OK) << name;
        int32_t tag = -1;
        EXPECT_EQ(cdx_tag_open(file_, name, 0, &tag), XD_OK) << name;
        EXPECT_EQ(cdx_set_key_type(tag, type), XD_OK);
        return tag;
    }
    // Tag `name` of the file open as `file`, through the uniform layer; keys from
    // the record go through the tag's expression.
    static IndexAccess tag_access(int16_t file, const char* name, int16_t key_type, uint32_t key_length) {
        IndexAccess a{};
        a.type = index_type_of_file("t.cdx");
        a.file_handle = (uint16_t)file;
        EXPECT_EQ(TagOpen(a.type, name, file, &a.tag_handle), XD_OK) << name;
        a.key_type = key_type;
        a.key_length = key_length;
        a.single_field = -1;
        return a;
    }
    std::string path_;
    int16_t file_ = -1;
};

TEST_F(CdxFormatTest, ANewFileIsAnEmptyDirectory) {
    EXPECT_EQ(fs::file_size(path_), 1536u);
    int16_t count = -1;
    EXPECT_EQ(cdx_tag_count(file_, &count), XD_OK);
    EXPECT_EQ(count, 0);
    char fault[200] = "";
    EXPECT_EQ(cdx_check_file(file_, fault, sizeof fault), XD_OK) << fault;
}

// Modes 11, 12 and 14 on the keys 10, 20, 30: with 20 they land on 10, 20 and 20;
// with 25 on 20, 20 and 30. Mode 15 goes past the key, mode 3 stays on it.
TEST_F(CdxFormatTest, SeekModes) {
    const int32_t t = make("NUMS", 'C', 2);
    for (uint32_t i = 1; i <= 3; i++) {
        const std::string k = std::to_string(i * 10);
        ASSERT_EQ(cdx_add_key((int16_t)t, k.data(), 2, i), XD_OK);
    }
    struct Case {
        const char* sought;
        uint16_t mode;
        XDSTATUS status;
        uint32_t recno;
    } cases[] = {{"20", 11, XD_OK, 1}, {"20", 12, XD_OK, 2}, {"20", 14, XD_OK, 2}, {"25", 11, XD_OK, 2},
                 {"25", 12, XD_OK, 2}, {"25", 14, XD_OK, 3}, {"20", 1, XD_OK, 2},  {"25", 1, XD_KEYNOTFOUND, 2},
                 {"05", 12, XD_KEYNOTFOUND, 1}, {"05", 14, XD_OK, 1}, {"35", 14, XD_KEYNOTFOUND, 3},
                 {"20", 15, XD_OK, 3}, {"20", 3, XD_OK, 2}, {"30", 15, XD_OK, 3}};
    for (const Case& c : cases) {
        char key[8] = {0};
        memcpy(key, c.sought, 2);
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        EXPECT_EQ(cdx_seek((int16_t)t, key, 2, &recno, c.mode), c.status) << c.sought << " mode " << c.mode;
        EXPECT_EQ(recno, c.recno) << c.sought << " mode " << c.mode;
    }
}

// A name compares over its own length: NAMED opens NAMEDESC; NAME opens NAME
// itself when both are there. A tag open already is XD_TAGINUSE by name.
TEST_F(CdxFormatTest, TagsOpenByTheBeginningOfTheirNameAndOnce) {
    const int32_t desc = make("NAMEDESC", 'C', 4);
    int32_t other = -1;
    xdb_set_status(XD_OK);
    EXPECT_EQ(cdx_tag_open(file_, "NAMEDESC", 0, &other), XD_TAGINUSE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(cdx_tag_close(desc), XD_OK);
    xdb_set_status(XD_OK);
    ASSERT_EQ(cdx_tag_open(file_, "named", 0, &other), XD_OK);
    CdxTagInfo info;
    ASSERT_EQ(cdx_tag_info(other, &info), XD_OK);
    EXPECT_STREQ(info.name, "NAMEDESC");
    EXPECT_EQ(cdx_tag_close(other), XD_OK);
    const int32_t name = make("NAME", 'C', 4);
    ASSERT_EQ(cdx_tag_info(name, &info), XD_OK);
    EXPECT_STREQ(info.name, "NAME");
    xdb_set_status(XD_OK);
    EXPECT_EQ(cdx_tag_open(file_, "NOSUCH", 0, &other), XD_BADTAGNAME);
    xdb_set_status(XD_OK);
    EXPECT_EQ(cdx_tag_open(file_, "TOOLONGNAME1", 0, &other), XD_BADTAGNAME);
    xdb_set_status(XD_OK);
    EXPECT_EQ(cdx_remove_tag(file_, "NAME"), XD_TAGINUSE);
}

// Two handles of one shared file: the tags one makes and removes are the other's
// at its next count, and in its list by number.
TEST_F(CdxFormatTest, EveryHandleCountsTheTagsAnotherMakesAndRemoves) {
    cdx_close(file_);
    file_ = -1;
    int16_t one = -1, two = -1;
    ASSERT_GE(cdx_open(&one, path_.c_str(), XDB_OPEN_SHORTHAND), 0);
    ASSERT_GE(cdx_open(&two, path_.c_str(), XDB_OPEN_SHORTHAND), 0);
    auto count = [&](int16_t h) {
        int16_t n = -1;
        xdb_set_status(XD_OK);
        EXPECT_EQ(cdx_tag_count(h, &n), XD_OK);
        return n;
    };
    auto name_of = [&](int16_t h, int16_t number) {
        int32_t tag = -1;
        CdxTagInfo info{};
        xdb_set_status(XD_OK);
        if (cdx_tag_open(h, nullptr, number, &tag) != XD_OK || cdx_tag_info(tag, &info) != XD_OK) return std::string("?");
        cdx_tag_close(tag);
        return std::string(info.name);
    };
    EXPECT_EQ(count(one), 0);
    const char* names[] = {"B", "D", "A", "C"};
    for (int i = 0; i < 4; i++) {
        CdxTagRequest r{names[i], "K", "", 'C', 4, false, false};
        xdb_set_status(XD_OK);
        ASSERT_EQ(cdx_create_tag(two, &r, -1), XD_OK);
        EXPECT_EQ(count(one), i + 1) << names[i];
    }
    EXPECT_EQ(name_of(one, 0), "A");
    EXPECT_EQ(name_of(one, 3), "D");
    xdb_set_status(XD_OK);
    ASSERT_EQ(cdx_remove_tag(two, "A"), XD_OK);
    EXPECT_EQ(count(one), 3);
    EXPECT_EQ(name_of(one, 0), "B");
    cdx_close(two);
    cdx_close(one);
}

// The same entry twice is XD_EXISTS; a unique tag keeps a key's first record and
// refuses the others. A key that begins with blanks encodes them as shared with
// the leaf's blank first key.
TEST_F(CdxFormatTest, RepeatedEntriesAndUniqueTags) {
    const int32_t plain = make("PLAIN", 'C', 6), unique = make("UNIQ", 'C', 6, true);
    for (int32_t t : {plain, unique}) {
        xdb_set_status(XD_OK);
        EXPECT_EQ(cdx_add_key((int16_t)t, "  AB", 4, 1), XD_OK);
        xdb_set_status(XD_OK);
        EXPECT_EQ(cdx_add_key((int16_t)t, "  AB", 4, 1), XD_EXISTS);
        xdb_set_status(XD_OK);
        EXPECT_EQ(cdx_add_key((int16_t)t, "  AB", 4, 2), t == unique ? XD_EXISTS : XD_OK);
        uint32_t entries = 0;
        char fault[200] = "";
        xdb_set_status(XD_OK);
        EXPECT_EQ(cdx_check((int16_t)t, &entries, fault, sizeof fault, nullptr, nullptr), XD_OK) << fault;
        EXPECT_EQ(entries, t == unique ? 1u : 2u);
    }
    CdxTagInfo info;
    ASSERT_EQ(cdx_tag_info(plain, &info), XD_OK);
    // The file is read as another program would: closed here first (Windows keeps
    // a file opened for this handle alone from any other open).
    xdb_set_status(XD_OK);
    ASSERT_EQ(cdx_close(file_), XD_OK);
    file_ = -1;
    uint8_t leaf[512];
    FILE* f = fopen(path_.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, (long)info.root, SEEK_SET);
    ASSERT_EQ(fread(leaf, 1, 512, f), 512u);
    fclose(f);
    const int r = leaf[20], d = leaf[21];
    uint32_t v = 0;
    for (int b = leaf[23] - 1; b >= 0; b--) v = v << 8 | leaf[24 + b];
    EXPECT_EQ((v >> r) & ((1u << d) - 1), 2u) << "the first key's two leading blanks are shared";
}

// A tag made again under its name: the old tag's blocks go to the free list, the
// new root is taken from it, the new header goes at the end of the file.
TEST_F(CdxFormatTest, ATagReplacedGivesItsBlocksToTheNext) {
    int32_t t = make("KEYS", 'C', 8);
    for (uint32_t i = 1; i <= 200; i++) {
        const std::string k = "K" + std::to_string(i * 7919 % 1000);
        ASSERT_EQ(cdx_add_key((int16_t)t, k.data(), (uint16_t)k.size(), i), XD_OK);
    }
    CdxTagInfo before;
    ASSERT_EQ(cdx_tag_info(t, &before), XD_OK);
    ASSERT_EQ(cdx_tag_close(t), XD_OK);
    const uintmax_t size = fs::file_size(path_);
    t = make("KEYS", 'C', 8);
    CdxTagInfo after;
    ASSERT_EQ(cdx_tag_info(t, &after), XD_OK);
    EXPECT_EQ(after.header, size);
    EXPECT_LT(after.root, size);  // a block of the old tag's
    EXPECT_EQ(fs::file_size(path_), size + 1024);
    char fault[200] = "";
    xdb_set_status(XD_OK);
    EXPECT_EQ(cdx_check_file(file_, fault, sizeof fault), XD_OK) << fault;
}

// A tag on a Visual FoxPro date-time field: built from the records, kept as they
// are added, in date-time order; each key is the one a search value of that
// date-time makes, so that searches find their records.
TEST_F(CdxFormatTest, DateTimeTagsAreBuiltAndKeptFromTheRecords) {
    const std::string table = dir_ + "/times.dbf", file = dir_ + "/times.cdx";
    build_dbf(0x30, {{"AT", 'T', 8}}, {}, true).write(table);
    int16_t h = -1;
    ASSERT_EQ(dbf_open(&h, table.c_str(), DBF_VFP), XD_OK);
    const DbfDateTime times[] = {{2024, 5, 1, 12, 0, 0, 0},   {2024, 5, 1, 0, 0, 1, 0},  {},
                                 {1999, 12, 31, 23, 59, 59, 0}, {2024, 5, 1, 11, 59, 59, 0}, {2024, 4, 30, 23, 0, 0, 0}};
    auto append = [&](const DbfDateTime& t) {
        ASSERT_EQ(dbf_blank_record(h), XD_OK);
        ASSERT_EQ(dbf_put_field(h, 0, &t), XD_OK);
        uint32_t recno = 0;
        ASSERT_EQ(dbf_write_record(h, &recno, DBF_WRITE_APPEND), XD_OK);
    };
    for (int i = 0; i < 3; i++) ASSERT_NO_FATAL_FAILURE(append(times[i]));
    const int32_t type = index_type_of_file(file.c_str());
    IndexTagBuild b{file.c_str(), "AT", "AT", nullptr, 'T', 8, false, false};
    ASSERT_EQ(IndexBuildTag(type, h, &b), XD_OK);
    int16_t x = -1;
    ASSERT_EQ(IndexOpen(type, file.c_str(), 0, &x), XD_OK);
    IndexAccess a = tag_access(x, "AT", 12, 8);
    // The others added as a writer does: the record, then its key from the record.
    for (uint32_t n = 4; n <= 6; n++) {
        ASSERT_NO_FATAL_FAILURE(append(times[n - 1]));
        uint8_t key[kIndexKeyBuffer] = {0};
        ASSERT_EQ(IndexKeyFromRecord(&a, h, key), XD_OK);
        ASSERT_EQ(IndexAddKey(&a, key, n), XD_OK);
    }
    // Date-time order: blank first, then by date and time of day.
    const uint32_t order[] = {3, 4, 6, 2, 5, 1};
    uint8_t key[kIndexKeyBuffer] = {0};
    uint32_t recno = 0;
    int at = 0;
    for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK; s = IndexNext(&a, key, &recno)) {
        ASSERT_LT(at, 6);
        EXPECT_EQ(recno, order[at]) << at;
        // The key a search value of the record's date-time makes.
        const DbfDateTime& t = times[recno - 1];
        char text[48];
        snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
        uint8_t made[kIndexKeyBuffer] = {0};
        ASSERT_EQ(MakeDateTimeKey(&a, t.year ? text : "        ", made), XD_OK);
        EXPECT_EQ(memcmp(made, key, 8), 0) << recno;
        uint32_t found = 0;
        EXPECT_EQ(IndexSeek(&a, made, 8, &found, 0), XD_OK) << recno;
        EXPECT_EQ(found, recno);
        at++;
    }
    EXPECT_EQ(at, 6);
    uint32_t entries = 0;
    char fault[160] = {0};
    EXPECT_EQ(IndexCheck(type, (int16_t)a.tag_handle, &entries, fault, sizeof fault), XD_OK) << fault;
    EXPECT_EQ(entries, 6u);
    IndexClose(type, x);
    dbf_close(h);
}

// A write of several tags of a shared file holds the file's update lock from its
// begin to its end: another program's change is kept out until the end, and
// nothing of the lock is left after it.
TEST_F(CdxFormatTest, AWriteOfSeveralTagsHoldsTheUpdateLockToItsEnd) {
    for (const char* name : {"K", "L"}) cdx_tag_close(make(name, 'C', 8));
    cdx_close(file_);
    file_ = -1;
    const int32_t type = index_type_of_file(path_.c_str());
    int16_t h = -1;
    ASSERT_EQ(IndexOpen(type, path_.c_str(), XDB_OPEN_SHORTHAND, &h), XD_OK);
    IndexAccess tags[2] = {tag_access(h, "K", 'C', 9), tag_access(h, "L", 'C', 9)};
    auto other_program_adds = [&](const char* key, uint32_t recno) {
        return run_role("add_one_index_key", {path_, std::to_string(type), key, std::to_string(recno)}).code;
    };
    ASSERT_EQ(IndexWriteBegin(type, h), XD_OK);
    uint8_t key[kIndexKeyBuffer] = {0};
    for (uint32_t n = 1; n <= 50; n++) {
        snprintf((char*)key, sizeof key, "KEY%05u", n);
        for (IndexAccess& a : tags) {
            ASSERT_EQ(IndexAddKey(&a, key, n), XD_OK) << n;
        }
        if (n == 25) {
            EXPECT_EQ(other_program_adds("OTHER001", 101), 3);  // its add refused: the lock is held
        }
    }
    IndexWriteEnd(type, h);
    EXPECT_EQ(other_program_adds("OTHER002", 102), 0);
    // Every key is there, the other program's second one in K; the file checks clean.
    uint32_t counts[2] = {0, 0};
    for (int i = 0; i < 2; i++) {
        uint32_t recno = 0;
        for (XDSTATUS s = IndexFirst(&tags[i], key, &recno); s == XD_OK; s = IndexNext(&tags[i], key, &recno)) {
            counts[i]++;
        }
        xdb_set_status(XD_OK);
    }
    EXPECT_EQ(counts[0], 51u);
    EXPECT_EQ(counts[1], 50u);
    IndexClose(type, h);
    ASSERT_GE(cdx_open(&file_, path_.c_str(), 0), 0);
    char fault[200] = "";
    EXPECT_EQ(cdx_check_file(file_, fault, sizeof fault), XD_OK) << fault;
}

// A tag on a number field is built from the field's text where it lies; its keys
// are those the expression gives, whatever form other programs wrote the numbers
// in (left-aligned, signed, blank, without decimals, past the field's decimals).
TEST_F(CdxFormatTest, NumberTagsBuiltFromTheFieldHoldTheExpressionsKeys) {
    const std::string table = dir_ + "/numbers.dbf", file = dir_ + "/numbers.cdx";
    const std::vector<std::string> texts = {"   12.50", "12      ", "   -0.50", "        ", "  -12.5 ", "99999.99",
                                            "0       ", "   +3.25", "   1.125", " 1000   ", "  -0.00 ", "   12.5 "};
    std::vector<std::string> records;
    for (const std::string& t : texts) records.push_back(t.substr(0, 8));
    build_dbf(0xF5, {{"AMOUNT", 'N', 8, 2}}, records).write(table);
    int16_t h = -1;
    ASSERT_EQ(dbf_open(&h, table.c_str(), DBF_FOXPRO2), XD_OK);
    const int32_t type = index_type_of_file(file.c_str());
    IndexTagBuild b{file.c_str(), "AMOUNT", "AMOUNT", nullptr, 'N', 8, false, false};
    ASSERT_EQ(IndexBuildTag(type, h, &b), XD_OK);
    int16_t x = -1;
    ASSERT_EQ(IndexOpen(type, file.c_str(), 0, &x), XD_OK);
    IndexAccess a = tag_access(x, "AMOUNT", 'N', 8);
    // Every entry's key, by record, then each record's key through the expression.
    std::map<uint32_t, std::string> entry_of;
    uint8_t key[kIndexKeyBuffer] = {0};
    uint32_t recno = 0;
    for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK; s = IndexNext(&a, key, &recno))
        entry_of[recno] = std::string((const char*)key, 8);
    xdb_set_status(XD_OK);
    ASSERT_EQ(entry_of.size(), texts.size());
    for (uint32_t n = 1; n <= texts.size(); n++) {
        ASSERT_GE(dbf_read_record(h, n), 0);
        xdb_set_status(XD_OK);
        uint8_t made[kIndexKeyBuffer] = {0};
        ASSERT_EQ(IndexKeyFromRecord(&a, h, made), XD_OK);
        EXPECT_EQ(entry_of[n], std::string((const char*)made, 8)) << "record " << n << " '" << texts[n - 1] << "'";
    }
    IndexTableCheck check;
    xdb_set_status(XD_OK);
    EXPECT_EQ(IndexCheckAgainstTable(&a, h, false, &check), XD_OK) << check.structure;
    EXPECT_EQ(check.faults, 0u);
    EXPECT_EQ(check.entries, texts.size());
    IndexClose(type, x);
    dbf_close(h);
}

}  // namespace
