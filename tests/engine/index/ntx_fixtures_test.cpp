// NTX files written by other programs: Harbour's Clipper-style indexes over a
// known table (with the key order and the seeks that writer recorded) and NTX files
// of real Clipper applications. Each opens, checks clean, walks in its writer's
// order, answers the recorded seeks, and holds the key of every record; the
// engine's rebuild of each gives the same keys; adds and deletes through the
// engine leave them checking clean.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/ntx/ntx.h"
#include "framework/codepage.h"
#include "tests/support/engine_test.h"
#include "tests/support/recorded.h"

namespace fs = std::filesystem;

namespace {

const std::string kClipper = std::string(QXDB_TEST_DATA) + "/peers/harbour/clipper/";
const char* kBags[] = {"name", "citybrn", "age", "salary", "balance", "born", "ucity", "namedesc", "agename", "actage"};

class NtxFixturesTest : public EngineTest {
protected:
    IndexAccess open(const std::string& path, uint16_t mode = XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND) {
        int16_t h = -1;
        XDSTATUS s = IndexOpen(5, path.c_str(), mode, &h);
        EXPECT_GE(s, 0) << path;
        IndexDescription d;
        EXPECT_EQ(IndexDescribe(5, h, &d), XD_OK) << path;
        IndexAccess a{};
        a.type = 5;
        a.file_handle = (uint16_t)h;
        a.key_length = (uint32_t)d.key_length;
        a.key_type = d.key_type;
        a.single_field = -1;
        return a;
    }
    void close(IndexAccess& a) { IndexClose(5, (int16_t)a.file_handle); }
    std::vector<std::pair<uint32_t, std::string>> walk(IndexAccess& a) {
        std::vector<std::pair<uint32_t, std::string>> out;
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK && out.size() < 100000;
             s = IndexNext(&a, key, &recno))
            out.push_back({recno, (const char*)key});
        return out;
    }
    std::string check(IndexAccess& a, uint32_t* entries) {
        char fault[200] = {0};
        XDSTATUS s = IndexCheck(a.type, (int16_t)a.file_handle, entries, fault, sizeof fault);
        return s == XD_OK ? "" : fault;
    }
    // Every record's key is in the index, found exactly by key and record; records
    // the index's condition leaves out are not. Returns the records compared.
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
            size_t have = strlen((char*)key);
            memset(key + have, ' ', a.key_length - 1 - have);
            uint32_t recno = n;
            XDSTATUS s = IndexSeek(&a, key, 0, &recno, unique ? 0 : 2);
            if (!included) {
                EXPECT_FALSE(s == XD_OK && recno == n) << what << ": record " << n << " is left out by the condition";
                continue;
            }
            keyed++;
            EXPECT_EQ(s, XD_OK) << what << ": the key of record " << n << " (" << key << ")";
        }
        return keyed;
    }
};

std::vector<std::pair<uint32_t, std::string>> recorded_entries(const std::string& bag) {
    std::vector<std::pair<uint32_t, std::string>> out;
    std::ifstream in(kClipper + bag + ".ntx.order.txt");
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        out.push_back({(uint32_t)std::stoul(line.substr(0, tab)), line.substr(tab + 1)});
    }
    return out;
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

TEST_F(NtxFixturesTest, HarbourIndexesWalkInTheirWritersOrderAndCheckClean) {
    int16_t table = -1;
    ASSERT_GE(dbf_open(&table, (kClipper + "people.dbf").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), 0);
    for (const char* bag : kBags) {
        SCOPED_TRACE(bag);
        IndexAccess a = open(kClipper + bag + ".ntx");
        uint32_t entries = 0;
        EXPECT_EQ(check(a, &entries), "");
        std::vector<std::pair<uint32_t, std::string>> want = recorded_entries(bag), got = walk(a);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_EQ(entries, want.size());
        IndexDescription d;
        IndexDescribe(5, (int16_t)a.file_handle, &d);
        const bool text = d.decimals == 0 && std::string(bag) != "age" && std::string(bag) != "actage";
        for (size_t i = 0; i < want.size(); i++) {
            ASSERT_EQ(got[i].first, want[i].first) << "entry " << i;
            if (text && std::string(bag) != "born") {
                EXPECT_EQ(codepage_to_utf8(850, got[i].second.data(), trimmed(got[i].second).size()), want[i].second)
                    << "entry " << i;
            }
        }
        // The walk back gives the same entries.
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        size_t n = want.size();
        for (XDSTATUS s = IndexLast(&a, key, &recno); s == XD_OK && n > 0; s = IndexPrevious(&a, key, &recno))
            EXPECT_EQ(recno, want[--n].first);
        EXPECT_EQ(n, 0u);
        uint32_t keyed = expect_every_record_keyed(a, table, d.flags & 128, bag);
        // A unique index holds the first record of each key only; a conditional
        // one the records its condition takes in.
        if (!(d.flags & 128)) {
            EXPECT_EQ(keyed, entries);
        }
        EXPECT_EQ(d.for_expression.empty(), std::string(bag) != "actage");
        EXPECT_EQ((d.flags & 256) != 0, std::string(bag) == "namedesc");
        close(a);
    }
    dbf_close(table);
}

// Soft seek on: a key not found lands on the next key (the end of the file when
// there is none); "last" asks for the last entry of a key, and with soft seek on a
// key not found lands on the entry before its place.
TEST_F(NtxFixturesTest, HarbourIndexesAnswerTheRecordedSeeks) {
    const uint32_t end_of_file = 301;
    int seeks = 0;
    for (const char* bag : kBags) {
        SCOPED_TRACE(bag);
        IndexAccess a = open(kClipper + bag + ".ntx");
        seeks += answer_recorded_seeks(a, kClipper + bag + ".ntx.seek.jsonl", end_of_file, 850);
        close(a);
    }
    EXPECT_EQ(seeks, 2452);
}

// The engine's rebuild of each index from the table gives the writer's keys in
// the writer's order, but where the rules decide otherwise: equal keys come in
// record order (the writer leaves a rewritten record after the others of its key),
// and a unique index keeps a key for every record (the unique flag only chooses
// how adds search). The descending order and the condition of the file rebuilt
// are kept.
TEST_F(NtxFixturesTest, RebuildGivesTheWritersKeys) {
    fs::copy_file(kClipper + "people.dbf", dir_ + "/people.dbf");
    fs::copy_file(kClipper + "people.dbt", dir_ + "/people.dbt");
    int16_t table = -1;
    ASSERT_GE(dbf_open(&table, (dir_ + "/people.dbf").c_str(), 0), 0);
    for (const char* bag : kBags) {
        SCOPED_TRACE(bag);
        const std::string copy = dir_ + "/" + bag + ".ntx";
        fs::copy_file(kClipper + bag + ".ntx", copy);
        IndexAccess a = open(copy);
        IndexDescription d;
        IndexDescribe(5, (int16_t)a.file_handle, &d);
        std::vector<std::pair<uint32_t, std::string>> before = walk(a);
        close(a);
        uint8_t letter = std::string(bag) == "born" ? 'D' : d.decimals || !strcmp(bag, "age") || !strcmp(bag, "actage") ? 'N' : 'C';
        ASSERT_EQ(IndexRebuild(5, table, copy.c_str(), d.key_expression.c_str(), (uint8_t)(letter | (d.flags & 128)),
                               (uint16_t)(d.key_length - 1), (uint16_t)d.decimals, nullptr),
                  XD_OK);
        a = open(copy);
        uint32_t entries = 0;
        EXPECT_EQ(check(a, &entries), "");
        std::vector<std::pair<uint32_t, std::string>> after = walk(a);
        IndexDescription again;
        IndexDescribe(5, (int16_t)a.file_handle, &again);
        EXPECT_EQ(again.flags & 256, d.flags & 256);
        EXPECT_EQ(again.for_expression, d.for_expression);
        close(a);
        if (d.flags & 128) {
            // One entry a key, the first record's: the writer's entry came from a
            // record holding the key then, never an earlier one than ours.
            ASSERT_EQ(after.size(), before.size());
            for (size_t i = 0; i < before.size(); i++) {
                EXPECT_EQ(after[i].second, before[i].second);
                EXPECT_LE(after[i].first, before[i].first) << before[i].second;
            }
            continue;
        }
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < before.size(); i++) EXPECT_EQ(after[i].second, before[i].second) << "key " << i;
        // Within each run of equal keys: the same records, in record order.
        for (size_t i = 0; i < before.size();) {
            size_t j = i;
            while (j < before.size() && before[j].second == before[i].second) j++;
            std::vector<uint32_t> want, got;
            for (size_t k = i; k < j; k++) want.push_back(before[k].first), got.push_back(after[k].first);
            std::sort(want.begin(), want.end());
            EXPECT_EQ(got, want) << "the records of key " << before[i].second;
            i = j;
        }
    }
    dbf_close(table);
}

// Adds and deletes through the engine on copies of the writer's files: they still
// check clean, and a new key equal to others goes after them, as the writer puts
// them.
TEST_F(NtxFixturesTest, ChangesKeepTheWritersFilesClean) {
    for (const char* bag : {"name", "balance", "born", "agename"}) {
        SCOPED_TRACE(bag);
        const std::string copy = dir_ + "/" + bag + ".ntx";
        fs::copy_file(kClipper + bag + ".ntx", copy, fs::copy_options::overwrite_existing);
        IndexAccess a = open(copy, 0);
        std::vector<std::pair<uint32_t, std::string>> entries = walk(a);
        // Every other entry out, then back in with record numbers past the table.
        for (size_t i = 0; i < entries.size(); i += 2)
            ASSERT_EQ(IndexDeleteKey(&a, entries[i].second.data(), entries[i].first), XD_OK) << i;
        uint32_t count = 0;
        EXPECT_EQ(check(a, &count), "");
        EXPECT_EQ(count, entries.size() / 2);
        for (size_t i = 0; i < entries.size(); i += 2)
            ASSERT_EQ(IndexAddKey(&a, entries[i].second.data(), 1000 + (uint32_t)i), XD_OK) << i;
        EXPECT_EQ(check(a, &count), "");
        EXPECT_EQ(count, entries.size());
        // The first key's entries: the ones left, then the ones added again.
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        strcpy((char*)key, entries[0].second.c_str());
        uint32_t recno = 0;
        ASSERT_EQ(IndexSeek(&a, key, 0, &recno, 0), XD_OK);
        std::vector<uint32_t> run{recno};
        while (IndexNext(&a, key, &recno) == XD_OK && std::string((char*)key) == entries[0].second) run.push_back(recno);
        std::vector<uint32_t> want;
        for (size_t i = 0; i < entries.size() && entries[i].second == entries[0].second; i++)
            if (i % 2) want.push_back(entries[i].first);
        for (size_t i = 0; i < entries.size() && entries[i].second == entries[0].second; i++)
            if (i % 2 == 0) want.push_back(1000 + (uint32_t)i);
        EXPECT_EQ(run, want);
        close(a);
    }
}

// NTX files of real Clipper applications: each opens, checks clean, and, beside
// its table, holds the key of every record (where its expression can be computed
// from its own table).
TEST_F(NtxFixturesTest, RealApplicationsIndexesCheckClean) {
    struct Real {
        const char* table;  // "" when the table is not in the collection
        const char* index;
    };
    const Real reals[] = {
        {"pwotds/Clientes.dbf", "pwotds/CLIENTES.NTX"},   {"pwotds/Deposito.dbf", "pwotds/DEPOSITO.NTX"},
        {"pwotds/Proveedo.dbf", "pwotds/EMPROVE.NTX"},    {"pwotds/Proveedo.dbf", "pwotds/PROVEEDO.NTX"},
        {"pwotds/Producto.dbf", "pwotds/INTERNO.NTX"},    {"pwotds/Producto.dbf", "pwotds/INTPROV.NTX"},
        {"pwotds/Producto.dbf", "pwotds/NOMBREPR.NTX"},   {"pwotds/Producto.dbf", "pwotds/PROMETRO.NTX"},
        {"pwotds/Marcas.dbf", "pwotds/MARCAS.NTX"},       {"pwotds/Marcas.dbf", "pwotds/MARCASD.NTX"},
        {"pwotds/Pla_cuen.dbf", "pwotds/PLA_CUEN.NTX"},   {"pwotds/Pro_leye.dbf", "pwotds/PRO_LEYE.NTX"},
        {"pwotds/Pro_part.dbf", "pwotds/PRO_PART.NTX"},   {"pwotds/Pro_part.dbf", "pwotds/PRO_PORD.NTX"},
        {"pwotds/Stock.dbf", "pwotds/STOCK_D.NTX"},       {"pwotds/Stock.dbf", "pwotds/STOCK_P.NTX"},
        {"pwotds/Tipo_iva.dbf", "pwotds/TIPO_IVA.NTX"},   {"pwotds/Vendedor.dbf", "pwotds/VENDEDOR.NTX"},
        {"starttotvsip/CLIENTES.DBF", "starttotvsip/CLI00001.ntx"},
        {"starttotvsip/CLIENTES.DBF", "starttotvsip/CLI00002.ntx"},
        {"dbd-xbase/ntx-char.dbf", "dbd-xbase/ntx-char.ntx"},
        // Its expression reaches another table's field (PRODUCTO->TITULO), which
        // an index of this table cannot compute: the tree only.
        {"", "pwotds/STK_OAUX.NTX"},
        // No table beside it in its repository.
        {"", "fortuna/indice.ntx"},
    };
    for (const Real& r : reals) {
        SCOPED_TRACE(r.index);
        IndexAccess a = open(kReal + r.index);
        uint32_t entries = 0;
        EXPECT_EQ(check(a, &entries), "");
        EXPECT_EQ(walk(a).size(), entries);
        if (r.table[0]) {
            int16_t table = -1;
            ASSERT_GE(dbf_open(&table, (kReal + r.table).c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), 0);
            IndexDescription d;
            IndexDescribe(5, (int16_t)a.file_handle, &d);
            EXPECT_EQ(expect_every_record_keyed(a, table, d.flags & 128, r.index), entries);
            dbf_close(table);
        }
        close(a);
    }
}

}  // namespace
