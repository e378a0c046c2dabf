// CDX files written by other programs: Harbour's FoxPro-style compound indexes
// over a known table (the key order and the seeks it recorded for each tag, a
// descending tag, a FOR tag, a unique tag among them) and the CDX files of real
// FoxPro and Visual FoxPro applications. Every tag opens, checks clean, walks in
// its writer's order, answers the recorded seeks and holds the key of every
// record; changes through the engine keep the files clean, and the engine's
// rebuild gives the writer's entries.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/cdx/cdx.h"
#include "engine/index/index.h"
#include "framework/codepage.h"
#include "tests/support/engine_test.h"
#include "tests/support/recorded.h"

namespace fs = std::filesystem;

namespace {

const std::string kFox = std::string(QXDB_TEST_DATA) + "/peers/harbour/foxpro/";

struct Bag {
    const char* file;
    const char* tag;
};
const Bag kRecordedTags[] = {{"people", "NAME"},    {"people", "CITYBORN"}, {"people", "AGE"},   {"people", "SALARY"},
                     {"people", "BALANCE"}, {"people", "BORN"},     {"people", "ACTIVE"}, {"people", "UCITY"},
                     {"extra", "NAMEDESC"}, {"extra", "AGEACT"},    {"extra", "AGENAME"}, {"extra", "LNAME"}};

class CdxFixturesTest : public EngineTest {
protected:
    void TearDown() override {
        for (int16_t h : files_) IndexClose(10, h);
        EngineTest::TearDown();
    }
    // Tag `tag` of `path`, its key type learnt from the table open as `table`.
    IndexAccess open(const std::string& path, const char* tag, int16_t table,
                     uint16_t mode = XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND) {
        int16_t h = -1;
        EXPECT_GE(IndexOpen(10, path.c_str(), mode, &h), 0) << path;
        files_.push_back(h);
        int32_t t = -1;
        EXPECT_EQ(TagOpen(10, tag, h, &t), XD_OK) << tag;
        if (table >= 0) {
            dbf_read_record(table, 1);
            xdb_set_status(XD_OK);
            EXPECT_EQ(IndexLearnKeyType(10, (int16_t)t, table), XD_OK) << tag;
        }
        IndexDescription d;
        EXPECT_EQ(IndexDescribe(10, (int16_t)t, &d), XD_OK) << tag;
        IndexAccess a{};
        a.type = 10;
        a.file_handle = (uint16_t)h;
        a.tag_handle = t;
        a.key_length = (uint32_t)d.key_length;
        a.key_type = d.key_type;
        a.single_field = -1;
        return a;
    }
    std::vector<uint32_t> walk(IndexAccess& a, bool back = false) {
        std::vector<uint32_t> out;
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        for (XDSTATUS s = back ? IndexLast(&a, key, &recno) : IndexFirst(&a, key, &recno);
             s == XD_OK && out.size() < 100000; s = back ? IndexPrevious(&a, key, &recno) : IndexNext(&a, key, &recno))
            out.push_back(recno);
        if (back) std::reverse(out.begin(), out.end());
        return out;
    }
    std::vector<std::pair<uint32_t, std::string>> entries(IndexAccess& a) {
        std::vector<std::pair<uint32_t, std::string>> out;
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        const uint32_t size = IndexKeySize(&a);
        for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK && out.size() < 100000; s = IndexNext(&a, key, &recno))
            out.push_back({recno, std::string((const char*)key, size)});
        return out;
    }
    std::string check(IndexAccess& a, uint32_t* entries) {
        char fault[200] = {0};
        XDSTATUS s = IndexCheck(10, (int16_t)a.tag_handle, entries, fault, sizeof fault);
        return s == XD_OK ? "" : fault;
    }
    // Every record the tag's condition takes in has its key, found by key and
    // record; the others have none. The records compared.
    uint32_t expect_every_record_keyed(IndexAccess& a, int16_t table, bool unique, const std::string& what) {
        uint32_t count = 0, keyed = 0;
        dbf_record_count(table, &count);
        for (uint32_t n = 1; n <= count; n++) {
            xdb_set_status(XD_OK);
            EXPECT_GE(dbf_read_record(table, n), 0);
            bool included = true;
            EXPECT_EQ(IndexRecordIncluded(&a, table, &included), XD_OK) << what;
            uint8_t key[kIndexKeyBuffer + 8] = {0};
            EXPECT_EQ(IndexKeyFromRecord(&a, table, key), XD_OK) << what << " record " << n;
            if (a.key_type == 'C') {
                size_t have = strlen((char*)key);
                memset(key + have, ' ', a.key_length - 1 - have);
            }
            uint32_t recno = n;
            XDSTATUS s = IndexSeek(&a, key, 0, &recno, unique ? 0 : 2);
            if (!included) {
                EXPECT_FALSE(s == XD_OK && recno == n) << what << ": record " << n << " is left out by the condition";
                continue;
            }
            keyed++;
            EXPECT_EQ(s, XD_OK) << what << ": the key of record " << n;
        }
        return keyed;
    }
    std::vector<int16_t> files_;
};

std::vector<uint32_t> recorded_order(const std::string& file, const std::string& tag) {
    std::vector<uint32_t> out;
    std::ifstream in(kFox + file + ".cdx." + tag + ".order.txt");
    std::string line;
    while (std::getline(in, line)) out.push_back((uint32_t)std::stoul(line.substr(0, line.find('\t'))));
    return out;
}

TEST_F(CdxFixturesTest, HarbourTagsWalkInTheirWritersOrderAndHoldEveryRecordsKey) {
    int16_t table = -1;
    ASSERT_GE(dbf_open(&table, (kFox + "people.dbf").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 8), 0);
    for (const Bag& b : kRecordedTags) {
        SCOPED_TRACE(b.tag);
        IndexAccess a = open(kFox + b.file + ".cdx", b.tag, table);
        uint32_t count = 0;
        EXPECT_EQ(check(a, &count), "");
        const std::vector<uint32_t> want = recorded_order(b.file, b.tag);
        EXPECT_EQ(walk(a), want);
        EXPECT_EQ(walk(a, true), want);
        EXPECT_EQ(count, want.size());
        IndexDescription d;
        IndexDescribe(10, (int16_t)a.tag_handle, &d);
        EXPECT_EQ((d.flags & 0x100) != 0, std::string(b.tag) == "NAMEDESC");
        EXPECT_EQ((d.flags & 0x80) != 0, std::string(b.tag) == "UCITY");
        EXPECT_EQ(d.for_expression, std::string(b.tag) == "AGEACT" ? "ACTIVE" : "");
        const uint32_t keyed = expect_every_record_keyed(a, table, d.flags & 0x80, b.tag);
        if (!(d.flags & 0x80)) {
            EXPECT_EQ(keyed, count);
        }
    }
    dbf_close(table);
}

// Soft seek on: a key not found lands on the next key in the tag's order (the end
// of the file when there is none); "last" asks for the last entry of a key.
TEST_F(CdxFixturesTest, HarbourTagsAnswerTheRecordedSeeks) {
    int16_t table = -1;
    ASSERT_GE(dbf_open(&table, (kFox + "people.dbf").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 8), 0);
    int seeks = 0;
    for (const Bag& b : kRecordedTags) {
        SCOPED_TRACE(b.tag);
        IndexAccess a = open(kFox + b.file + ".cdx", b.tag, table);
        seeks += answer_recorded_seeks(a, kFox + b.file + ".cdx." + b.tag + ".seek.jsonl", 301, 850);
    }
    EXPECT_GT(seeks, 2000);
    dbf_close(table);
}

// Every tag of the real applications' files opens and checks clean; beside its
// table (where the key expression is of this table and computed here), it holds
// the key of every record.
TEST_F(CdxFixturesTest, RealApplicationsTagsCheckClean) {
    int files = 0, tags = 0, keyed_tags = 0;
    for (const auto& e : fs::recursive_directory_iterator(kReal)) {
        std::string ext = e.path().extension().string();
        for (char& c : ext) c = (char)tolower((unsigned char)c);
        if (ext != ".cdx") continue;
        const std::string path = e.path().string();
        SCOPED_TRACE(path);
        files++;
        int16_t h = -1;
        ASSERT_GE(IndexOpen(10, path.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &h), 0);
        char fault[200] = "";
        uint32_t none = 0;
        EXPECT_EQ(IndexCheck(10, h, &none, fault, sizeof fault), XD_OK) << fault;
        int16_t count = 0;
        ASSERT_EQ(TagCount(10, h, &count), XD_OK);
        // The table beside it, of the same name.
        int16_t table = -1;
        for (const char* dbf : {".dbf", ".DBF"}) {
            const std::string t = (e.path().parent_path() / e.path().stem()).string() + dbf;
            xdb_set_status(XD_OK);
            if (table < 0 && fs::exists(t) && dbf_open(&table, t.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND) < 0)
                table = -1;
        }
        xdb_set_status(XD_OK);
        for (int16_t i = 0; i < count; i++) {
            int32_t t = -1;
            ASSERT_EQ(TagOpenNumber(10, h, i, &t), XD_OK);
            tags++;
            IndexAccess a{};
            a.type = 10;
            a.file_handle = (uint16_t)h;
            a.tag_handle = t;
            a.single_field = -1;
            CdxTagInfo info;
            ASSERT_EQ(cdx_tag_info(t, &info), XD_OK);
            fault[0] = 0;
            uint32_t entries = 0;
            EXPECT_EQ(IndexCheck(10, (int16_t)t, &entries, fault, sizeof fault), XD_OK) << info.name << ": " << fault;
            // Keys this engine makes: of this table's fields, in byte order, and
            // not of the writing program's date format (DTOC). A tag that holds
            // fewer entries than the table has records is stale (the table was
            // written without it): its records are not all there to find.
            std::string upper = info.expression;
            for (char& c : upper) c = (char)toupper((unsigned char)c);
            uint32_t records = 0;
            if (table >= 0) dbf_record_count(table, &records);
            const bool in_step = entries == records || info.condition[0] || (info.flags & 0x80);
            const bool computed = table >= 0 && !info.collation[0] && in_step &&
                                  upper.find("DTOC(") == std::string::npos &&
                                  IndexLearnKeyType(10, (int16_t)t, table) == XD_OK;
            xdb_set_status(XD_OK);
            if (computed) {
                IndexDescription d;
                IndexDescribe(10, (int16_t)t, &d);
                a.key_length = (uint32_t)d.key_length;
                a.key_type = d.key_type;
                uint8_t key[kIndexKeyBuffer + 8] = {0};
                dbf_read_record(table, 1);
                xdb_set_status(XD_OK);
                if (IndexKeyFromRecord(&a, table, key) == XD_OK) {
                    keyed_tags++;
                    expect_every_record_keyed(a, table, d.flags & 0x80, info.name);
                }
                xdb_set_status(XD_OK);
            }
            TagClose(10, t);
        }
        if (table >= 0) dbf_close(table);
        xdb_set_status(XD_OK);
        IndexClose(10, h);
    }
    EXPECT_GE(files, 50);
    EXPECT_GE(tags, 150);
    EXPECT_GE(keyed_tags, 20);
}

// Every other entry deleted through the engine, then added back under new record
// numbers: the writer's files still check clean, tag and file, and walk as before.
TEST_F(CdxFixturesTest, ChangesKeepTheWritersFilesClean) {
    const std::string copy = dir_ + "/people.cdx";
    fs::copy_file(kFox + "people.cdx", copy);
    int16_t table = -1;
    ASSERT_GE(dbf_open(&table, (kFox + "people.dbf").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 8), 0);
    for (const char* tag : {"NAME", "BORN", "SALARY", "CITYBORN"}) {
        SCOPED_TRACE(tag);
        IndexAccess a = open(copy, tag, table, 0);
        std::vector<std::pair<uint32_t, std::string>> before = entries(a);
        ASSERT_FALSE(before.empty());
        for (size_t i = 0; i < before.size(); i += 2)
            ASSERT_EQ(IndexDeleteKey(&a, before[i].second.data(), before[i].first), XD_OK) << i;
        uint32_t count = 0;
        EXPECT_EQ(check(a, &count), "");
        EXPECT_EQ(count, before.size() / 2);
        for (size_t i = 0; i < before.size(); i += 2)
            ASSERT_EQ(IndexAddKey(&a, before[i].second.data(), 1000 + (uint32_t)i), XD_OK) << i;
        EXPECT_EQ(check(a, &count), "");
        std::vector<std::pair<uint32_t, std::string>> after = entries(a);
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); i++) EXPECT_EQ(after[i].second, before[i].second) << i;
        char fault[200] = "";
        EXPECT_EQ(IndexCheck(10, (int16_t)a.file_handle, &count, fault, sizeof fault), XD_OK) << fault;
        IndexClose(10, (int16_t)a.file_handle);
        files_.pop_back();
    }
    dbf_close(table);
}

// The engine's rebuild of the whole file from the table: every tag again, with
// the writer's entries (the descending, FOR and unique tags too).
TEST_F(CdxFixturesTest, RebuildGivesTheWritersEntries) {
    for (const char* file : {"people", "extra"}) {
        SCOPED_TRACE(file);
        const std::string copy = dir_ + "/" + file + ".cdx";
        fs::copy_file(kFox + file + ".cdx", copy, fs::copy_options::overwrite_existing);
        fs::copy_file(kFox + "people.dbf", dir_ + "/people.dbf", fs::copy_options::overwrite_existing);
        int16_t table = -1;
        ASSERT_GE(dbf_open(&table, (dir_ + "/people.dbf").c_str(), 8), 0);
        ASSERT_EQ(IndexRebuild(10, table, copy.c_str(), "", 'C', 0, 0, nullptr), XD_OK) << xdb_fault_text(nullptr);
        for (const Bag& b : kRecordedTags) {
            if (strcmp(b.file, file)) continue;
            SCOPED_TRACE(b.tag);
            IndexAccess a = open(copy, b.tag, table);
            uint32_t count = 0;
            EXPECT_EQ(check(a, &count), "");
            EXPECT_EQ(walk(a), recorded_order(b.file, b.tag));
            IndexClose(10, (int16_t)a.file_handle);
            files_.pop_back();
        }
        dbf_close(table);
    }
}

}  // namespace
