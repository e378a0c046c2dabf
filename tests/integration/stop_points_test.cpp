// A stop at every moment: each operation that changes several places of a file,
// or several files, is run once to count its changes to the file system, then once
// per change with the fault switch of the OS layer ending the process just before
// that change (as a kill would), or failing it (as a full disk would). After every
// stop the files must open, the index must check clean, nothing committed may be
// lost (at most the change in flight), and every memo must belong to its record.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/os.h"
#include "engine/index/idx/idx.h"
#include "engine/index/index.h"
#include "engine/index/key_sort.h"
#include "engine/index/ndx/ndx.h"
#include "engine/index/ntx/ntx.h"
#include "engine/memo/memo.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/ndx_reader.h"
#include "tests/support/stop_points.h"

namespace fs = std::filesystem;

namespace {

std::string key_of(int i) {
    char k[16];
    snprintf(k, sizeof k, "K%05d", i);
    std::string s = k;
    s.resize(10, ' ');
    return s;
}

// The keys of an index as another reader walks it, after checking it as the
// engine does.
std::vector<std::string> checked_keys(const std::string& path, const std::string& when) {
    int16_t h = -1;
    xdb_set_status(XD_OK);
    XDSTATUS s = ndx_open(&h, path.c_str(), 0);
    EXPECT_GE(s, 0) << when;
    if (s < 0) return {};
    char fault[200];
    uint32_t entries = 0;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_check(h, &entries, fault, sizeof fault), XD_OK) << when << ": " << fault;
    xdb_set_status(XD_OK);
    ndx_close(h);
    xdb_set_status(XD_OK);
    NdxReader reader(path);
    EXPECT_TRUE(reader.ok()) << when << ": " << reader.fault();
    std::vector<std::string> keys;
    for (const auto& e : reader.entries()) keys.push_back(e.key);
    return keys;
}

// The keys of an index of any format, walked through the uniform operations after
// the format's own check.
std::vector<std::string> checked_keys_of(int32_t type, const std::string& path, const std::string& when) {
    int16_t h = -1;
    xdb_set_status(XD_OK);
    XDSTATUS s = IndexOpen(type, path.c_str(), 0, &h);
    EXPECT_GE(s, 0) << when;
    if (s < 0) return {};
    char fault[200];
    uint32_t entries = 0;
    IndexAccess a{};
    a.type = type;
    a.file_handle = (uint16_t)h;
    if (index_is_multitag(type)) {
        EXPECT_EQ(IndexCheck(type, h, &entries, fault, sizeof fault), XD_OK) << when << ": the file: " << fault;
        EXPECT_EQ(TagOpen(type, "K", h, &a.tag_handle), XD_OK) << when;
    }
    EXPECT_EQ(IndexCheck(type, IndexTreeHandle(&a), &entries, fault, sizeof fault), XD_OK) << when << ": " << fault;
    IndexDescription d;
    IndexDescribe(type, IndexTreeHandle(&a), &d);
    a.key_length = (uint32_t)d.key_length;
    a.key_type = d.key_type;
    std::vector<std::string> keys;
    uint8_t key[kIndexKeyBuffer + 8] = {0};
    uint32_t recno = 0;
    for (XDSTATUS w = IndexFirst(&a, key, &recno); w == XD_OK; w = IndexNext(&a, key, &recno))
        keys.push_back((const char*)key);
    EXPECT_EQ(keys.size(), entries) << when;
    IndexClose(type, h);
    xdb_set_status(XD_OK);
    return keys;
}

// `got` must be `base` with a prefix of `changes` applied (adds when `adding`, else
// deletes): what was done before the stop, and nothing of what came after but
// possibly the change in flight.
void expect_prefix(std::vector<std::string> got, std::vector<std::string> base, const std::vector<std::string>& changes,
                   bool adding, const std::string& when) {
    std::sort(got.begin(), got.end());
    std::multiset<std::string> state(base.begin(), base.end());
    for (size_t p = 0;; p++) {
        if (std::vector<std::string>(state.begin(), state.end()) == got) return;
        if (p == changes.size()) break;
        if (adding) state.insert(changes[p]);
        else state.erase(state.find(changes[p]));
    }
    ADD_FAILURE() << when << ": the index holds " << got.size() << " keys, no prefix of the changes gives them";
}

TEST_F(StopPointsTest, NdxAddsWithSplitsAndDeletesWithMerges) {
    fs::create_directories(work());
    std::string path = work() + "/t.ndx";
    // 80 keys in blocks of 25: two levels. Adds split leaves and the root; deletes
    // merge leaves, empty some, and shrink the tree.
    ASSERT_EQ(ndx_create(path.c_str(), 'C', "K", 10), XD_OK);
    int16_t h;
    ASSERT_GE(ndx_open(&h, path.c_str(), 0), 0);
    std::vector<std::string> base;
    for (int i = 0; i < 80; i++) {
        base.push_back(key_of(i * 10));
        ASSERT_EQ(ndx_add_key(h, base.back().data(), 10, (uint32_t)i + 1), XD_OK);
    }
    ASSERT_EQ(ndx_close(h), XD_OK);
    save_pristine();
    Tally tally;

    std::vector<std::string> adds;
    for (int i = 0; i < 60; i++) adds.push_back(key_of(i * 7 % 400 * 2 + 1));
    auto add_all = [&]() {
        int16_t x;
        xdb_set_status(XD_OK);
        if (ndx_open(&x, path.c_str(), 0) < 0) return;
        for (size_t i = 0; i < adds.size(); i++) {
            xdb_set_status(XD_OK);
            if (ndx_add_key(x, adds[i].data(), 10, 1000 + (uint32_t)i) < 0) return;  // a failure ends the run
        }
        xdb_set_status(XD_OK);
        ndx_close(x);
    };
    at_every_stop(add_all, [&](const std::string& when) { expect_prefix(checked_keys(path, when), base, adds, true, when); },
                  &tally);

    std::vector<std::string> deletes;
    for (int i = 0; i < 70; i++) deletes.push_back(base[(size_t)(i * 37 % 80)]);
    std::sort(deletes.begin(), deletes.end());
    deletes.erase(std::unique(deletes.begin(), deletes.end()), deletes.end());
    std::reverse(deletes.begin(), deletes.end());  // from the top: rightmost leaves empty first
    auto delete_all = [&]() {
        int16_t x;
        xdb_set_status(XD_OK);
        if (ndx_open(&x, path.c_str(), 0) < 0) return;
        for (const std::string& k : deletes) {
            uint32_t recno = (uint32_t)(std::find(base.begin(), base.end(), k) - base.begin()) + 1;
            xdb_set_status(XD_OK);
            if (ndx_delete_key(x, k.data(), 10, recno) < 0) return;
        }
        xdb_set_status(XD_OK);
        ndx_close(x);
    };
    at_every_stop(delete_all,
                  [&](const std::string& when) { expect_prefix(checked_keys(path, when), base, deletes, false, when); },
                  &tally);
    RecordProperty("stop_points", tally.points);
    printf("NDX stop points: %d (%d killed, %d failed)\n", tally.points, tally.killed, tally.failed);
}

// Adds then deletes through the uniform operations on the index `path` of `type`
// (already created, keys of 100 bytes), at every stop point.
void AddsAndDeletesAtEveryStop(StopPointsTest* test, int32_t type, const std::string& path, int add_count,
                               int delete_count, const char* label) {
    auto open = [&](IndexAccess* a) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        if (IndexOpen(type, path.c_str(), 0, &h) < 0) return false;
        *a = IndexAccess{};
        a->type = type;
        a->file_handle = (uint16_t)h;
        a->key_length = 101;
        a->key_type = 'C';
        // A multi-tag file's keys are its tag K's.
        if (index_is_multitag(type) && TagOpen(type, "K", h, &a->tag_handle) < 0) {
            IndexClose(type, h);
            return false;
        }
        return true;
    };
    IndexAccess a;
    ASSERT_TRUE(open(&a));
    std::vector<std::string> base;
    for (int i = 0; i < 80; i++) {
        base.push_back(key_of(i * 10));
        ASSERT_EQ(IndexAddKey(&a, base.back().c_str(), (uint32_t)i + 1), XD_OK);
    }
    IndexClose(type, (int16_t)a.file_handle);
    test->save_pristine();
    Tally tally;
    auto trimmed = [](std::vector<std::string> keys) {
        for (std::string& k : keys) k.resize(10, ' ');
        return keys;
    };
    std::vector<std::string> adds;
    for (int i = 0; i < add_count; i++) adds.push_back(key_of(i * 7 % 400 * 2 + 1));
    auto add_all = [&]() {
        IndexAccess x;
        if (!open(&x)) return;
        for (size_t i = 0; i < adds.size(); i++)
            if (IndexAddKey(&x, adds[i].c_str(), 1000 + (uint32_t)i) < 0) return;
        IndexClose(type, (int16_t)x.file_handle);
    };
    test->at_every_stop(
        add_all,
        [&](const std::string& when) { expect_prefix(trimmed(checked_keys_of(type, path, when)), base, adds, true, when); },
        &tally);
    std::vector<std::string> deletes;
    for (int i = 0; i < delete_count; i++) deletes.push_back(base[(size_t)(i * 37 % 80)]);
    std::sort(deletes.begin(), deletes.end());
    deletes.erase(std::unique(deletes.begin(), deletes.end()), deletes.end());
    std::reverse(deletes.begin(), deletes.end());
    auto delete_all = [&]() {
        IndexAccess x;
        if (!open(&x)) return;
        for (const std::string& k : deletes) {
            uint32_t recno = (uint32_t)(std::find(base.begin(), base.end(), k) - base.begin()) + 1;
            if (IndexDeleteKey(&x, k.c_str(), recno) < 0) return;
        }
        IndexClose(type, (int16_t)x.file_handle);
    };
    test->at_every_stop(
        delete_all,
        [&](const std::string& when) {
            expect_prefix(trimmed(checked_keys_of(type, path, when)), base, deletes, false, when);
        },
        &tally);
    printf("%s stop points: %d (%d killed, %d failed)\n", label, tally.points, tally.killed, tally.failed);
}

// The same adds and deletes on an NTX file (8 keys a page: three levels), through
// the uniform operations: its splits, merges, root changes and freed pages.
TEST_F(StopPointsTest, NtxAddsWithSplitsAndDeletesWithMerges) {
    fs::create_directories(work());
    std::string path = work() + "/t.ntx";
    IndexCreateRequest r{path.c_str(), "K", 'C', 100, 0, nullptr};
    ASSERT_EQ(IndexCreate(&r), XD_OK);
    AddsAndDeletesAtEveryStop(this, 5, path, 40, 30, "NTX");
}

// IDX files in both layouts (4 keys a standard node: four levels; compact leaves
// of many keys over interior nodes of 4) and a CDX tag: splits, emptied nodes
// unlinked from their neighbours, root changes and the free list, all of them
// changes of several nodes written through the journal.
TEST_F(StopPointsTest, IdxAddsWithSplitsAndDeletesEmptyingNodes) {
    fs::create_directories(work());
    std::string path = work() + "/t.idx";
    ASSERT_EQ(idx_create(path.c_str(), 'C', "K", 100), XD_OK);
    AddsAndDeletesAtEveryStop(this, 3, path, 12, 20, "IDX standard");
    fs::remove_all(work());
    fs::remove_all(pristine());
    fs::create_directories(work());
    IndexCreateRequest r{path.c_str(), "K", 'C', 100, 0, nullptr};
    ASSERT_EQ(IndexCreate(&r), XD_OK);
    AddsAndDeletesAtEveryStop(this, 3, path, 40, 30, "IDX compact");
    // A CDX tag: its new nodes on the right of a split.
    fs::remove_all(work());
    fs::remove_all(pristine());
    fs::create_directories(work());
    const std::string cdx = work() + "/t.cdx";
    IndexCreateRequest t{cdx.c_str(), "K", 'C', 100, 0, "K"};
    ASSERT_EQ(IndexCreate(&t), XD_OK);
    AddsAndDeletesAtEveryStop(this, 10, cdx, 40, 30, "CDX tag");
}

// A rebuild, NTX and NDX alike, sorting in runs through the work file too: a stop
// at any write leaves the old index (empty here) or the new one, whole.
TEST_F(StopPointsTest, RebuildLeavesTheOldIndexOrTheNew) {
    fs::create_directories(work());
    std::string table = work() + "/t.dbf";
    std::vector<std::string> records;
    for (int i = 0; i < 300; i++) records.push_back(key_of((i * 7919) % 1000));
    build_dbf(0x03, {{"K", 'C', 10}}, records).write(table);
    ASSERT_EQ(ntx_create((work() + "/t.ntx").c_str(), 'C', "K", 10, 0), XD_OK);
    ASSERT_EQ(ndx_create((work() + "/t.ndx").c_str(), 'C', "K", 10), XD_OK);
    save_pristine();
    std::vector<std::string> all = records;
    std::sort(all.begin(), all.end());
    for (int32_t type : {5, 1}) {
        const std::string path = work() + (type == 5 ? "/t.ntx" : "/t.ndx");
        Tally tally;
        auto rebuild = [&]() {
            int16_t d;
            xdb_set_status(XD_OK);
            if (dbf_open(&d, table.c_str(), 1) < 0) return;
            key_sort_set_budget(4096);
            xdb_set_status(XD_OK);
            IndexRebuild(type, d, path.c_str(), "K", 'C', 10, 0, nullptr);
            key_sort_set_budget(0);  // failures run in this process: the next test sorts as usual
            xdb_set_status(XD_OK);
            dbf_close(d);
        };
        at_every_stop(rebuild,
                      [&](const std::string& when) {
                          // NDX files are read by the independent reader too.
                          std::vector<std::string> keys = type == 1 ? checked_keys(path, when) : checked_keys_of(type, path, when);
                          EXPECT_TRUE(keys.empty() || keys == all) << when << ": " << keys.size() << " keys";
                          // A rebuild that failed (a full disk) takes its work file with it.
                          if (when.rfind("failure", 0) == 0) {
                              for (const auto& e : fs::directory_iterator(work())) {
                                  EXPECT_EQ(e.path().stem().string(), "t") << when << ": " << e.path().filename() << " left behind";
                              }
                          }
                      },
                      &tally);
        printf("%s rebuild stop points: %d\n", type == 5 ? "NTX" : "NDX", tally.points);
    }
}

// Records appended many per call, shared and exclusive: a stop at any write leaves
// a table that opens, counts only whole records, and holds every record it counts
// as written; the batches reported done before the stop are all there.
TEST_F(StopPointsTest, BatchedAppendsCountOnlyWholeRecords) {
    for (uint16_t share : {(uint16_t)0, (uint16_t)XDB_OPEN_SHORTHAND}) {
        fs::remove_all(work());
        fs::remove_all(pristine());
        fs::create_directories(work());
        const std::string table = work() + "/t.dbf", done = work() + "/done";
        std::vector<std::string> base;
        for (int i = 0; i < 10; i++) base.push_back(key_of(i));
        build_dbf(0x03, {{"K", 'C', 10}}, base).write(table);
        save_pristine();
        // Ten batches of 40 records (more than the exclusive count's interval); the
        // number of batches reported written goes to a side file after each.
        auto append = [&]() {
            int16_t d;
            xdb_set_status(XD_OK);
            if (dbf_open(&d, table.c_str(), (uint16_t)(share | 1)) < 0) return;
            for (int batch = 0; batch < 10; batch++) {
                std::string records;
                for (int i = 0; i < 40; i++) records += " " + key_of(100 + batch * 40 + i);
                uint32_t first = 0;
                xdb_set_status(XD_OK);
                if (dbf_append_records(d, records.data(), 40, &first) < 0) break;
                std::ofstream(done) << batch + 1;
            }
            xdb_set_status(XD_OK);
            dbf_close(d);
        };
        Tally tally;
        at_every_stop(append,
                      [&](const std::string& when) {
                          int reported = 0;
                          std::ifstream(done) >> reported;
                          int16_t d;
                          xdb_set_status(XD_OK);
                          ASSERT_GE(dbf_open(&d, table.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1), 0) << when;
                          uint32_t count = 0;
                          dbf_record_count(d, &count);
                          EXPECT_GE(count, 10u + 40u * (uint32_t)reported) << when;
                          EXPECT_LE(count, 410u) << when;
                          for (uint32_t n = 1; n <= count; n++) {
                              xdb_set_status(XD_OK);
                              ASSERT_EQ(dbf_read_record(d, n), XD_OK) << when << " record " << n;
                              char k[16];
                              dbf_get_field(d, 0, k, nullptr);
                              ASSERT_EQ(std::string(k), n <= 10 ? key_of((int)n - 1) : key_of(100 + (int)n - 11))
                                  << when << " record " << n;
                          }
                          xdb_set_status(XD_OK);
                          dbf_close(d);
                          fs::remove(done);
                      },
                      &tally);
        printf("batched append stop points (%s): %d\n", share ? "shared" : "exclusive", tally.points);
    }
}

// A table of ID N(4) and NOTE M, the memo of record ID being memo_text(ID).
std::string memo_text(int id) {
    std::string t = "memo of " + std::to_string(id) + ":";
    t.append((size_t)(id % 3) * 300, (char)('a' + id % 26));  // some run over several blocks
    return t;
}

struct MemoTable {
    std::string table, memo, backup;
    bool fox;
};

// Every record's memo, read through `memo_path`: true when each is its own.
bool memos_belong(const MemoTable& t, const std::string& memo_path, std::set<int>* ids, std::string* why) {
    int16_t d = -1, m = -1;
    xdb_set_status(XD_OK);
    if (dbf_open(&d, t.table.c_str(), t.fox ? DBF_FOXPRO2 : DBF_DBASE3) < 0) {
        *why = "the table does not open";
        return false;
    }
    xdb_set_status(XD_OK);
    XDSTATUS s = t.fox ? fpt_open(&m, memo_path.c_str(), 0) : dbt_open(&m, memo_path.c_str(), 1);
    bool ok = s >= 0;
    if (!ok) *why = "the memo file does not open";
    uint32_t count = 0;
    dbf_record_count(d, &count);
    for (uint32_t n = 1; ok && n <= count; n++) {
        xdb_set_status(XD_OK);
        if (dbf_read_record(d, n) < 0) {
            ok = false;
            *why = "record " + std::to_string(n) + " unreadable";
            break;
        }
        bool deleted = xdb_get_status() == XD_DELETEDREC;
        double id = 0;
        uint32_t block = 0;
        xdb_set_status(XD_OK);
        dbf_get_field(d, 0, &id, nullptr);
        dbf_get_field(d, 1, &block, nullptr);
        if (!deleted) ids->insert((int)id);
        if (deleted) continue;  // a deleted record's memo may be gone (rebuilds drop it)
        const char* text = nullptr;
        uint32_t length = 0;
        xdb_set_status(XD_OK);
        s = t.fox ? fpt_read(m, block, &text, &length) : dbt_read(m, block, &text, &length);
        if (s < 0 || std::string(text, length) != memo_text((int)id)) {
            ok = false;
            *why = "record " + std::to_string(n) + " (ID " + std::to_string((int)id) + ") shows another memo";
        }
    }
    xdb_set_status(XD_OK);
    if (m >= 0) t.fox ? fpt_close(m) : dbt_close(m);
    xdb_set_status(XD_OK);
    dbf_close(d);
    xdb_set_status(XD_OK);
    return ok;
}

TEST_F(StopPointsTest, AppendsAndPackWithMemosKeepEveryMemoWithItsRecord) {
    for (bool fox : {false, true}) {
        fs::remove_all(work());
        fs::remove_all(pristine());
        fs::create_directories(work());
        MemoTable t{work() + "/t.dbf", work() + (fox ? "/t.fpt" : "/t.dbt"), work() + "/t.BKT", fox};
        std::vector<DbfCreateField> fields = {create_field("ID", 'N', 4), create_field("NOTE", 'M')};
        uint8_t dialect = fox ? DBF_FOXPRO2 : DBF_DBASE3;
        ASSERT_EQ(dbf_create(t.table.c_str(), 2, fields.data(), dialect), XD_OK);
        ASSERT_EQ(fox ? fpt_create(t.memo.c_str(), 1) : dbt_create(t.memo.c_str(), 1, 1), XD_OK);
        // Twelve records, every third deleted.
        auto append = [&](int from, int to, bool delete_some) {
            int16_t d, m;
            xdb_set_status(XD_OK);
            if (dbf_open(&d, t.table.c_str(), dialect) < 0) return;
            if ((fox ? fpt_open(&m, t.memo.c_str(), 0) : dbt_open(&m, t.memo.c_str(), 1)) < 0) return;
            for (int id = from; id < to; id++) {
                std::string text = memo_text(id);
                uint32_t block = 0, recno = 0;
                double v = id;
                xdb_set_status(XD_OK);
                if ((fox ? fpt_write(m, text.data(), (uint32_t)text.size(), &block)
                         : dbt_write(m, text.data(), (uint32_t)text.size(), &block, 0)) < 0)
                    return;
                dbf_put_field(d, 0, &v);
                dbf_put_field(d, 1, &block);
                if (dbf_write_record(d, &recno, DBF_WRITE_APPEND) < 0) return;
                if (delete_some && id % 3 == 0 && dbf_delete_record(d, recno) < 0) return;
            }
            xdb_set_status(XD_OK);
            fox ? fpt_close(m) : dbt_close(m);
            xdb_set_status(XD_OK);
            dbf_close(d);
        };
        append(0, 12, true);
        xdb_set_status(XD_OK);
        save_pristine();
        std::set<int> live;
        for (int id = 0; id < 12; id++)
            if (id % 3) live.insert(id);
        Tally tally;

        // Appends: what was appended stays, with its memo.
        at_every_stop([&]() { append(12, 18, false); },
                      [&](const std::string& when) {
                          std::set<int> ids;
                          std::string why;
                          EXPECT_TRUE(memos_belong(t, t.memo, &ids, &why)) << when << ": " << why;
                          for (int id : live) EXPECT_TRUE(ids.count(id)) << when << ": record " << id << " lost";
                      },
                      &tally);

        // Pack, then the memo rebuild: the live records stay, and their memos are
        // theirs through the names; a stop between the two file switches is made
        // whole by the table's next open.
        auto pack = [&]() {
            int16_t d, m;
            xdb_set_status(XD_OK);
            if (dbf_open(&d, t.table.c_str(), dialect) < 0) return;
            if (dbf_pack(&d) < 0) return;
            xdb_set_status(XD_OK);
            if ((fox ? fpt_open(&m, t.memo.c_str(), 0) : dbt_open(&m, t.memo.c_str(), 1)) < 0) return;
            xdb_set_status(XD_OK);
            if ((fox ? fpt_rebuild(d, &m) : dbt_rebuild(d, &m)) < 0) return;
            xdb_set_status(XD_OK);
            fox ? fpt_close(m) : dbt_close(m);
            xdb_set_status(XD_OK);
            dbf_close(d);
        };
        at_every_stop(pack,
                      [&](const std::string& when) {
                          std::set<int> ids;
                          std::string why;
                          EXPECT_TRUE(memos_belong(t, t.memo, &ids, &why)) << when << ": " << why;
                          for (int id : live) EXPECT_TRUE(ids.count(id)) << when << ": record " << id << " lost";
                          EXPECT_FALSE(fs::exists(work() + "/t.SWT")) << when;
                      },
                      &tally);
        // Without a stop: the pack leaves the rules' files, the memo backup included.
        restore_pristine();
        pack();
        std::set<int> ids;
        std::string why;
        EXPECT_TRUE(memos_belong(t, t.memo, &ids, &why)) << why;
        EXPECT_EQ(ids, live);
        EXPECT_TRUE(fs::exists(t.backup));
        EXPECT_FALSE(fs::exists(work() + "/t.BAK"));
        printf("%s append and pack stop points: %d (%d killed, %d failed)\n", fox ? "FPT" : "DBT", tally.points,
               tally.killed, tally.failed);
    }
}

}  // namespace

namespace {

// Memos given back (a failed add's undo), stopped at every change, in the three
// layouts: the memos kept read back whole, and the file takes a new memo after.
TEST_F(StopPointsTest, MemosGivenBackKeepTheOthersWhole) {
    const std::string kept(700, 'k'), gone(900, 'g');
    for (int kind = 0; kind < 3; kind++) {  // dBASE III, dBASE IV, FPT
        SCOPED_TRACE(kind);
        const bool fpt = kind == 2;
        fs::remove_all(work());
        fs::remove_all(pristine());
        fs::create_directories(work());
        const std::string memo = work() + (fpt ? "/m.fpt" : "/m.dbt");
        const uint16_t layout = kind == 1 ? 2 : 1;
        auto open = [&](int16_t* m) {
            xdb_set_status(XD_OK);
            return fpt ? fpt_open(m, memo.c_str(), 0) : dbt_open(m, memo.c_str(), layout);
        };
        auto write = [&](int16_t m, const std::string& text, uint32_t* block) {
            *block = 0;
            return fpt ? fpt_write(m, text.data(), (uint32_t)text.size(), block)
                       : dbt_write(m, text.data(), (uint32_t)text.size(), block, 0);
        };
        ASSERT_EQ(fpt ? fpt_create(memo.c_str(), 1) : dbt_create(memo.c_str(), 1, (uint8_t)layout), XD_OK);
        uint32_t first = 0, middle = 0, last = 0;
        {
            int16_t m = -1;
            ASSERT_EQ(open(&m), XD_OK);
            ASSERT_EQ(write(m, kept, &first), XD_OK);
            ASSERT_EQ(write(m, gone, &middle), XD_OK);
            ASSERT_EQ(write(m, gone, &last), XD_OK);
            fpt ? fpt_close(m) : dbt_close(m);
        }
        save_pristine();
        auto operation = [&] {
            int16_t m = -1;
            if (open(&m) < 0) return;
            xdb_set_status(XD_OK);
            if ((fpt ? fpt_free(m, last) : dbt_free(m, last)) >= 0) {
                xdb_set_status(XD_OK);
                fpt ? fpt_free(m, middle) : dbt_free(m, middle);
            }
            xdb_set_status(XD_OK);
            fpt ? fpt_close(m) : dbt_close(m);
        };
        auto verify = [&](const std::string& when) {
            int16_t m = -1;
            ASSERT_GE(open(&m), 0) << when;
            const char* text = nullptr;
            uint32_t length = 0;
            xdb_set_status(XD_OK);
            ASSERT_EQ(fpt ? fpt_read(m, first, &text, &length) : dbt_read(m, first, &text, &length), XD_OK) << when;
            EXPECT_EQ(std::string(text, length), kept) << when;
            uint32_t block = 0;
            xdb_set_status(XD_OK);
            ASSERT_EQ(write(m, kept, &block), XD_OK) << when;
            EXPECT_NE(block, first) << when;  // the space of a memo kept is never taken
            xdb_set_status(XD_OK);
            ASSERT_EQ(fpt ? fpt_read(m, block, &text, &length) : dbt_read(m, block, &text, &length), XD_OK) << when;
            EXPECT_EQ(std::string(text, length), kept) << when;
            xdb_set_status(XD_OK);
            fpt ? fpt_close(m) : dbt_close(m);
        };
        Tally tally;
        at_every_stop(operation, verify, &tally);
        printf("memo give-back stop points (layout %d): %d\n", kind, tally.points);
    }
}

}  // namespace

namespace {

// The tags of a CDX file and each one's keys, after the file's whole check.
std::map<std::string, std::vector<std::string>> cdx_tags(const std::string& path, const std::string& when) {
    std::map<std::string, std::vector<std::string>> out;
    int16_t h = -1;
    xdb_set_status(XD_OK);
    if (IndexOpen(10, path.c_str(), 0, &h) < 0) {
        ADD_FAILURE() << when << ": the file does not open";
        return out;
    }
    char fault[200] = "";
    uint32_t none = 0;
    EXPECT_EQ(IndexCheck(10, h, &none, fault, sizeof fault), XD_OK) << when << ": " << fault;
    int16_t count = 0;
    EXPECT_EQ(TagCount(10, h, &count), XD_OK) << when;
    for (int16_t i = 0; i < count; i++) {
        int32_t t = -1;
        xdb_set_status(XD_OK);
        if (TagOpenNumber(10, h, i, &t) < 0) {
            ADD_FAILURE() << when << ": tag " << i << " does not open";
            continue;
        }
        IndexDescription d;
        IndexDescribe(10, (int16_t)t, &d);
        IndexAccess a{};
        a.type = 10;
        a.file_handle = (uint16_t)h;
        a.tag_handle = t;
        a.key_length = (uint32_t)d.key_length;
        a.key_type = 'C';
        std::vector<std::string>& keys = out[d.name];
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        for (XDSTATUS w = IndexFirst(&a, key, &recno); w == XD_OK; w = IndexNext(&a, key, &recno))
            keys.push_back(std::string((const char*)key) + "#" + std::to_string(recno));
    }
    IndexClose(10, h);
    xdb_set_status(XD_OK);
    return out;
}

}  // namespace

// A CDX tag made from a table, one replaced by another expression or by an empty
// tag (its root a block of the old one's, in one change), and one removed:
// a stop at any write leaves the file with its old tags or its new ones, every
// tag whole (at most unused blocks).
TEST_F(StopPointsTest, CdxTagsMadeReplacedAndRemoved) {
    fs::create_directories(work());
    const std::string table = work() + "/t.dbf", path = work() + "/t.cdx";
    std::vector<std::string> records;
    // Enough keys that a tag replaced or removed frees blocks in runs (written together).
    for (int i = 0; i < 3000; i++) records.push_back(key_of((i * 7919) % 1000));
    build_dbf(0x03, {{"K", 'C', 10}}, records).write(table);
    auto build = [&](const char* tag, const char* expression, uint16_t length) {
        int16_t d;
        xdb_set_status(XD_OK);
        if (dbf_open(&d, table.c_str(), 1) < 0) return;
        IndexTagBuild b{path.c_str(), tag, expression, "", 'C', length, false, false};
        xdb_set_status(XD_OK);
        IndexBuildTag(10, d, &b);
        xdb_set_status(XD_OK);
        dbf_close(d);
    };
    build("KEYS", "K", 10);
    build("GONE", "SUBSTR(K,2,3)", 3);
    save_pristine();
    const auto before = cdx_tags(path, "pristine");
    ASSERT_EQ(before.size(), 2u);
    Tally tally;
    struct Step {
        const char* what;
        std::function<void()> run;
    };
    const std::vector<Step> steps = {
        {"made", [&] { build("NEW", "SUBSTR(K,3,4)+K", 14); }},
        {"replaced", [&] { build("KEYS", "SUBSTR(K,4,3)", 3); }},
        {"replaced by an empty tag",
         [&] {
             IndexCreateRequest r{path.c_str(), "K", 'C', 10, 0, "KEYS"};
             xdb_set_status(XD_OK);
             IndexCreate(&r);
             xdb_set_status(XD_OK);
         }},
        {"removed",
         [&] {
             int16_t h = -1;
             xdb_set_status(XD_OK);
             if (IndexOpen(10, path.c_str(), 0, &h) < 0) return;
             xdb_set_status(XD_OK);
             IndexRemoveTag(10, h, "GONE");
             xdb_set_status(XD_OK);
             IndexClose(10, h);
         }},
    };
    for (const Step& step : steps) {
        restore_pristine();
        step.run();
        const auto after = cdx_tags(path, step.what);
        ASSERT_NE(after, before) << step.what;
        at_every_stop(step.run,
                      [&](const std::string& when) {
                          const auto got = cdx_tags(path, std::string(step.what) + ", " + when);
                          EXPECT_TRUE(got == before || got == after) << step.what << ", " << when;
                      },
                      &tally);
    }
    printf("CDX tag stop points: %d\n", tally.points);
}
