// IDX files of real FoxBASE+ and FoxPro applications, in both layouts: each opens
// (or, damaged, is refused with the header's fault), checks clean, walks in byte
// order both ways, and beside its table holds the key of every record; adds and
// deletes through the engine keep them clean; the engine's rebuild gives the same
// entries.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/idx/idx.h"
#include "engine/index/index.h"
#include "tests/support/engine_test.h"
#include "tests/support/recorded.h"

namespace fs = std::filesystem;

namespace {


struct Real {
    const char* table;  // "" when the table is not in the collection
    const char* index;
};

const Real kReals[] = {
    {"oilpayroll-fpd/IPNFACTO.DBF", "oilpayroll-fpd/IPNFACTO.IDX"},
    {"oilpayroll-fpd/IPNOMINA.DBF", "oilpayroll-fpd/IPNOMINA.IDX"},
    {"oilpayroll-fpd/IPNSHIT.DBF", "oilpayroll-fpd/IPNSHIT.IDX"},
    {"oilpayroll-fpd/IPNCOREM.DBF", "oilpayroll-fpd/IPNCOREM.IDX"},
    {"oilpayroll-fpd/IPNCARGO.DBF", "oilpayroll-fpd/IPNCARGO.IDX"},
    {"oilpayroll-fpd/IPNPROCO.DBF", "oilpayroll-fpd/IPNPROCO.IDX"},
    {"oilpayroll-fpd/IPNVALF.DBF", "oilpayroll-fpd/IPNVALF.IDX"},
    {"oilpayroll-fpd/IPNARC.DBF", "oilpayroll-fpd/IPNARC.IDX"},
    {"oilpayroll-fpd/IPNPARR.DBF", "oilpayroll-fpd/IPNPARR.IDX"},
    {"oilpayroll-fpd/IPNPREF.DBF", "oilpayroll-fpd/IPNPREF.IDX"},
    {"oilpayroll-fpd/IPNAXP.DBF", "oilpayroll-fpd/IPNAXP.IDX"},
    {"oilpayroll-fpd/IPNOTCON.DBF", "oilpayroll-fpd/IPNOTCON.IDX"},
    {"oilpayroll-fpd/IPNPARF.DBF", "oilpayroll-fpd/IPNPARF.IDX"},
    {"oilpayroll-fpd/IPNPRER.DBF", "oilpayroll-fpd/IPNPRER.IDX"},
    {"oilpayroll-fpd/IPNPERSO.DBF", "oilpayroll-fpd/IPNPERSO.IDX"},
    // No table beside them in their repositories.
    {"", "oilpayroll-fpd/HISTORY.IDX"},
    {"", "oilpayroll-fpd/IPNHISTO.IDX"},
    {"", "oilpayroll-fpd/IPNTEMP9.IDX"},
    {"", "xtet2008-foxpro/xx.IDX"},
    {"", "xtet2008-foxpro/SetPath/_tmp_ath.IDX"},
    {"", "egpit-fpd/FILT.IDX"},  // a FOR condition
    {"", "sisconot-fpd/ASIGNATC.IDX"},
    {"", "sisconot-fpd/I.IDX"},      // compact
    {"", "xtet2008-foxpro/tmp.IDX"},  // compact, three levels
};

class IdxFixturesTest : public EngineTest {
protected:
    IndexAccess open(const std::string& path, uint16_t mode = XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND) {
        int16_t h = -1;
        EXPECT_GE(IndexOpen(3, path.c_str(), mode, &h), 0) << path;
        IndexDescription d;
        EXPECT_EQ(IndexDescribe(3, h, &d), XD_OK) << path;
        IndexAccess a{};
        a.type = 3;
        a.file_handle = (uint16_t)h;
        a.key_length = (uint32_t)d.key_length;
        a.key_type = 'C';
        a.single_field = -1;
        return a;
    }
    void close(IndexAccess& a) { EXPECT_EQ(IndexClose(3, (int16_t)a.file_handle), XD_OK); }
    std::vector<std::pair<uint32_t, std::string>> walk(IndexAccess& a, bool back = false) {
        std::vector<std::pair<uint32_t, std::string>> out;
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        for (XDSTATUS s = back ? IndexLast(&a, key, &recno) : IndexFirst(&a, key, &recno);
             s == XD_OK && out.size() < 100000; s = back ? IndexPrevious(&a, key, &recno) : IndexNext(&a, key, &recno))
            out.push_back({recno, std::string((const char*)key, a.key_length - 1)});
        if (back) std::reverse(out.begin(), out.end());
        return out;
    }
    std::string check(IndexAccess& a, uint32_t* entries) {
        char fault[200] = {0};
        XDSTATUS s = IndexCheck(a.type, (int16_t)a.file_handle, entries, fault, sizeof fault);
        return s == XD_OK ? "" : fault;
    }
};

TEST_F(IdxFixturesTest, RealApplicationsIndexesCheckCleanAndHoldEveryRecordsKey) {
    // The payroll application shows dates as dd/mm/yyyy (its keys take DTOC apart).
    const int16_t old_format = xdb_swap_date_format(9);
    for (const Real& r : kReals) {
        SCOPED_TRACE(r.index);
        IndexAccess a = open(kReal + r.index);
        uint32_t entries = 0;
        EXPECT_EQ(check(a, &entries), "");
        std::vector<std::pair<uint32_t, std::string>> forward = walk(a), back = walk(a, true);
        EXPECT_EQ(forward.size(), entries);
        EXPECT_EQ(forward, back);
        EXPECT_TRUE(std::is_sorted(forward.begin(), forward.end(),
                                   [](const auto& x, const auto& y) { return x.second < y.second; }));
        // Seeks land on the first entry of each key.
        for (size_t i = 0; i < forward.size(); i += 1 + forward.size() / 50) {
            size_t first = i;
            while (first > 0 && forward[first - 1].second == forward[i].second) first--;
            uint8_t key[kIndexKeyBuffer + 8] = {0};
            memcpy(key, forward[i].second.data(), forward[i].second.size());
            uint32_t recno = 0;
            EXPECT_EQ(IndexSeek(&a, key, 0, &recno, 0), XD_OK) << forward[i].second;
            EXPECT_EQ(recno, forward[first].first) << forward[i].second;
        }
        if (r.table[0]) {
            int16_t table = -1;
            ASSERT_GE(dbf_open(&table, (kReal + r.table).c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), 0);
            uint32_t count = 0;
            dbf_record_count(table, &count);
            EXPECT_EQ(count, entries);  // FoxPro keys every record, deleted ones too
            for (uint32_t n = 1; n <= count; n++) {
                xdb_set_status(XD_OK);
                ASSERT_GE(dbf_read_record(table, n), 0);
                uint8_t key[kIndexKeyBuffer + 8] = {0};
                ASSERT_EQ(IndexKeyFromRecord(&a, table, key), XD_OK) << "record " << n;
                size_t have = strlen((char*)key);
                memset(key + have, ' ', a.key_length - 1 - have);
                uint32_t recno = n;
                EXPECT_EQ(IndexSeek(&a, key, 0, &recno, IDX_EXACT), XD_OK) << "the key of record " << n << ": " << key;
            }
            dbf_close(table);
        }
        close(a);
    }
    xdb_swap_date_format(old_format);
}

// Indexes ordered by a FoxPro collation sequence (SPANISH, PINYIN) hold that
// sequence's weights: they read and check, and refuse changes, since this engine
// would write keys of another order into them.
TEST_F(IdxFixturesTest, CollatedIndexesAreReadNotWritten) {
    for (const char* name : {"sisconot-fpd/I.IDX", "xtet2008-foxpro/tmp.IDX"}) {
        SCOPED_TRACE(name);
        const std::string copy = dir_ + "/" + fs::path(name).filename().string();
        fs::copy_file(kReal + name, copy, fs::copy_options::overwrite_existing);
        IndexAccess a = open(copy, 0);
        IdxInfo info;
        ASSERT_EQ(idx_info((int16_t)a.file_handle, &info), XD_OK);
        EXPECT_STREQ(info.collation, std::string(name) == "sisconot-fpd/I.IDX" ? "SPANISH" : "PINYIN");
        std::vector<std::pair<uint32_t, std::string>> entries = walk(a);
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(IndexDeleteKey(&a, entries[0].second.data(), entries[0].first), XD_READONLY);
        EXPECT_EQ(IndexAddKey(&a, entries[0].second.data(), 99999), XD_READONLY);
        EXPECT_EQ(walk(a), entries);
        close(a);
        EXPECT_EQ(fs::file_size(copy), fs::file_size(kReal + name));
    }
}

// An index of zeros (a real application's file) is refused by its header.
TEST_F(IdxFixturesTest, AZeroedIndexIsRefusedByItsHeader) {
    int16_t h = -1;
    EXPECT_EQ(IndexOpen(3, (kReal + "egpit-fpd/SPIS.IDX").c_str(), XDB_OPEN_READONLY, &h), XD_BADKEYSIZE);
    EXPECT_EQ(h, -1);
}

// Every other entry deleted through the engine, then added back under new record
// numbers: the files still check clean and walk in order.
TEST_F(IdxFixturesTest, ChangesKeepTheWritersFilesClean) {
    for (const char* name : {"oilpayroll-fpd/IPNHISTO.IDX", "oilpayroll-fpd/IPNPERSO.IDX"}) {
        SCOPED_TRACE(name);
        const std::string copy = dir_ + "/" + fs::path(name).filename().string();
        fs::copy_file(kReal + name, copy, fs::copy_options::overwrite_existing);
        IndexAccess a = open(copy, 0);
        std::vector<std::pair<uint32_t, std::string>> entries = walk(a);
        ASSERT_FALSE(entries.empty());
        for (size_t i = 0; i < entries.size(); i += 2)
            ASSERT_EQ(IndexDeleteKey(&a, entries[i].second.data(), entries[i].first), XD_OK) << i;
        uint32_t count = 0;
        EXPECT_EQ(check(a, &count), "");
        EXPECT_EQ(count, entries.size() / 2);
        for (size_t i = 0; i < entries.size(); i += 2)
            ASSERT_EQ(IndexAddKey(&a, entries[i].second.data(), 100000 + (uint32_t)i), XD_OK) << i;
        EXPECT_EQ(check(a, &count), "");
        EXPECT_EQ(count, entries.size());
        std::vector<std::pair<uint32_t, std::string>> after = walk(a);
        ASSERT_EQ(after.size(), entries.size());
        for (size_t i = 0; i < after.size(); i++) EXPECT_EQ(after[i].second, entries[i].second) << i;
        close(a);
    }
}

// The rebuild from the table gives the writer's entries (equal keys in record
// order, as the writer has them) and keeps the file's layout.
TEST_F(IdxFixturesTest, RebuildGivesTheWritersEntries) {
    for (const char* base : {"IPNPERSO", "IPNPARF", "IPNARC"}) {
        SCOPED_TRACE(base);
        const std::string table_copy = dir_ + "/" + base + ".DBF", copy = dir_ + "/" + base + ".IDX";
        fs::copy_file(kReal + "oilpayroll-fpd/" + base + ".DBF", table_copy, fs::copy_options::overwrite_existing);
        fs::copy_file(kReal + "oilpayroll-fpd/" + base + ".IDX", copy, fs::copy_options::overwrite_existing);
        IndexAccess a = open(copy);
        IndexDescription d;
        IndexDescribe(3, (int16_t)a.file_handle, &d);
        std::vector<std::pair<uint32_t, std::string>> before = walk(a);
        close(a);
        int16_t table = -1;
        ASSERT_GE(dbf_open(&table, table_copy.c_str(), 0), 0);
        ASSERT_EQ(IndexRebuild(3, table, copy.c_str(), d.key_expression.c_str(), 'C', (uint16_t)(d.key_length - 1), 0,
                               nullptr),
                  XD_OK);
        dbf_close(table);
        a = open(copy);
        IndexDescription again;
        IndexDescribe(3, (int16_t)a.file_handle, &again);
        EXPECT_EQ(again.flags, d.flags);
        uint32_t entries = 0;
        EXPECT_EQ(check(a, &entries), "");
        EXPECT_EQ(walk(a), before);
        close(a);
        EXPECT_EQ(fs::file_size(copy), fs::file_size(kReal + "oilpayroll-fpd/" + base + ".IDX"));
    }
}

}  // namespace
