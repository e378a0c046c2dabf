// Adds and a modify through the driver, stopped (killed, or failed as a full disk
// fails) at every change they make: the table, its memo file and both indexes still
// open and check clean, every index entry names a record of the table, every memo
// of a live record reads back as one of the texts written, and the record that was
// there before is whole.

#include <gtest/gtest.h>

#include <set>

#include "driver/library.h"
#include "driver/library_state.h"
#include "engine/core/dbf.h"
#include "engine/index/index.h"
#include "engine/index/ndx/ndx.h"
#include "engine/memo/memo.h"
#include "framework/codepage.h"
#include "host/host_record.h"
#include "tests/support/stop_points.h"

namespace {

class DriverStopPointsTest : public StopPointsTest {
protected:
    void StartInChild() override { bExternalInitLibrary(); }
    void StopInChild() override {
        while (library().start_count > 0) ExternalTermLibrary();
    }
};

// Table T of `dir` opened for writing through the driver, with a host record of
// every field, for `work_on`.
void in_session(const std::string& dir, const std::function<void(IXbaseTable*, HostRecordObject*)>& work_on) {
    IXbaseDriver* driver = piQueryInterface(0);
    std::u16string source = utf8_to_wide(dir);
    HostConnectionDescription cd{u"s", source.c_str(), u""};
    IXbaseConnection* connection = driver->CreateConnection(&cd);
    connection->Open();
    IXbaseTable* t = driver->OpenTableByName(connection, u"T");
    if (t) {
        t->SetOpenMode(3);
        if (t->Open()) {
            auto* record = new HostRecordObject();
            record->BindFields(t->GetDescription());
            t->AttachHostRecord(record);
            work_on(t, record);
            record->Release();
        }
        t->Release();
    }
    connection->Release();
    driver->Release();
}

// The entries (record, key) of an NDX in key order, once its tree checked clean.
std::vector<std::pair<uint32_t, std::string>> checked_entries(const std::string& index, const std::string& when) {
    std::vector<std::pair<uint32_t, std::string>> out;
    int16_t x = -1;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_open(&x, index.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), XD_OK) << when;
    if (x < 0) return out;
    uint32_t entries = 0;
    char fault[200] = "";
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_check(x, &entries, fault, sizeof fault), XD_OK) << when << ": " << fault;
    uint8_t key[kIndexKeyBuffer];
    uint32_t recno = 0;
    for (XDSTATUS s = ndx_first(x, key, &recno); s == XD_OK; s = ndx_next(x, key, &recno))
        out.push_back({recno, std::string((const char*)key, 10)});
    xdb_set_status(XD_OK);
    ndx_close(x);
    return out;
}

const char* const kTexts[] = {"first memo", "a second, longer memo text\r\nwith two lines", "third"};

TEST_F(DriverStopPointsTest, AddsAndAModifyKeepFilesWhole) {
    std::filesystem::create_directories(work());
    const std::string table = work() + "/T.dbf";
    std::vector<DbfCreateField> fields = {create_field("NAME", 'C', 10), create_field("NOTES", 'M')};
    ASSERT_EQ(dbf_create(table.c_str(), 2, fields.data(), 1), XD_OK);
    ASSERT_EQ(dbt_create((work() + "/T.dbt").c_str(), 1, 1), XD_OK);
    const std::string a = work() + "/NAME.ndx", b = work() + "/UNAME.ndx";
    IndexCreateRequest ra{a.c_str(), "NAME", 'C', 10, 0, nullptr}, rb{b.c_str(), "UPPER(NAME)", 'C', 10, 0, nullptr};
    ASSERT_EQ(IndexCreate(&ra), XD_OK);
    ASSERT_EQ(IndexCreate(&rb), XD_OK);
    // One record before the stops, written through the driver too.
    auto session = [&](const std::function<void(IXbaseTable*, HostRecordObject*)>& work_on) { in_session(work(), work_on); };
    xdbterm();
    bExternalInitLibrary();
    session([](IXbaseTable* t, HostRecordObject* r) {
        r->SetText(u"NAME", "KEEP");
        r->SetText(u"NOTES", "kept memo");
        EXPECT_EQ(t->AddRecord(), 1);
    });
    while (library().start_count > 0) ExternalTermLibrary();
    xdbinit();
    save_pristine();

    auto operation = [&] {
        session([](IXbaseTable* t, HostRecordObject* r) {
            for (int i = 0; i < 3; i++) {
                r->SetText(u"NAME", "N" + std::to_string(i));
                r->SetText(u"NOTES", kTexts[i]);
                if (!t->AddRecord()) return;
            }
            r->SetText(u"NAME", "MOVED");
            r->SetText(u"NOTES", "moved memo");
            t->ModifyRecord(2);
        });
    };
    auto verify = [&](const std::string& when) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        ASSERT_GE(dbf_open(&h, table.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1), 0) << when;
        uint32_t count = 0;
        dbf_refresh_count(h, &count);
        ASSERT_GE(count, 1u) << when;
        ASSERT_LE(count, 4u) << when;
        int16_t m = -1;
        // A memo written beyond the header's next free block by a stopped write is unused
        // space: the file opens, with at most a warning.
        ASSERT_GE(dbt_open(&m, (work() + "/T.dbt").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1), 0) << when;
        std::set<std::string> texts(std::begin(kTexts), std::end(kTexts));
        std::set<uint32_t> live;
        for (uint32_t n = 1; n <= count; n++) {
            xdb_set_status(XD_OK);
            XDSTATUS s = dbf_read_record(h, n);
            ASSERT_TRUE(s == XD_OK || s == XD_DELETEDREC) << when;
            DbfValue v[2];
            xdb_set_status(XD_OK);
            dbf_get_record_forms(h, v, 2);
            if (n == 1) {
                EXPECT_EQ(std::string(v[0].field_text, 10), "KEEP      ") << when;
            }
            if (s != XD_DELETEDREC) live.insert(n);
            if (s == XD_DELETEDREC || v[1].block == 0) continue;
            const char* text = nullptr;
            uint32_t length = 0;
            xdb_set_status(XD_OK);
            ASSERT_EQ(dbt_read(m, v[1].block, &text, &length), XD_OK) << when << " record " << n;
            std::string memo(text, length);
            EXPECT_TRUE(n == 1 ? memo == "kept memo" : texts.count(memo) == 1 || memo == "moved memo")
                << when << " record " << n << ": " << memo;
            // The modified record's fields and memo go together: old with old, new
            // with new (its memo is never written over the only copy of the old).
            if (n == 2) {
                const std::string name(v[0].field_text, 5);
                EXPECT_EQ(memo, name == "MOVED" ? std::string("moved memo") : std::string(kTexts[0]))
                    << when << ": record 2 is " << name;
            }
        }
        dbt_close(m);
        for (const std::string& index : {a, b}) {
            std::set<uint32_t> keyed;
            for (const auto& e : checked_entries(index, when)) {
                EXPECT_LE(e.first, count) << when << ": an entry names no record";
                keyed.insert(e.first);
            }
            // An add becomes live only with its keys in (record 2's modify may stop
            // between the record and its keys: the window a reindex closes).
            for (uint32_t n : live) {
                if (n == 2) continue;
                EXPECT_EQ(keyed.count(n), 1u) << when << ": live record " << n << " has no key in " << index;
            }
        }
        dbf_close(h);
        xdb_set_status(XD_OK);
    };
    Tally tally;
    at_every_stop(operation, verify, &tally);
    printf("driver add and modify stop points: %d (%d killed, %d failed)\n", tally.points, tally.killed, tally.failed);
}

// A compaction through the driver (pack, memo file, both indexes), stopped at every
// change: the table's next open finds the table, its memo file and its indexes
// all old or all new, each memo with its own record, each index clean and naming
// the records of the table it goes with.
TEST_F(DriverStopPointsTest, ACompactionLeavesTableMemoAndIndexesOfOneAge) {
    for (bool fox : {false, true}) {
        std::filesystem::remove_all(work());
        std::filesystem::remove_all(pristine());
        std::filesystem::create_directories(work());
        const std::string table = work() + "/T.dbf", memo = work() + (fox ? "/T.fpt" : "/T.dbt");
        std::vector<DbfCreateField> fields = {create_field("NAME", 'C', 10), create_field("NOTES", 'M')};
        ASSERT_EQ(dbf_create(table.c_str(), 2, fields.data(), fox ? DBF_FOXPRO2 : 1), XD_OK);
        ASSERT_EQ(fox ? fpt_create(memo.c_str(), 1) : dbt_create(memo.c_str(), 1, 1), XD_OK);
        const std::string a = work() + "/NAME.ndx", b = work() + "/UNAME.ndx";
        IndexCreateRequest ra{a.c_str(), "NAME", 'C', 10, 0, nullptr}, rb{b.c_str(), "UPPER(NAME)", 'C', 10, 0, nullptr};
        ASSERT_EQ(IndexCreate(&ra), XD_OK);
        ASSERT_EQ(IndexCreate(&rb), XD_OK);
        auto memo_of = [](const std::string& name) { return "memo of " + name + std::string(name.size() * 150, '.'); };
        xdbterm();
        bExternalInitLibrary();
        in_session(work(), [&](IXbaseTable* t, HostRecordObject* r) {
            for (int i = 0; i < 6; i++) {
                r->SetText(u"NAME", "N" + std::to_string(i) + std::string((size_t)i, 'x'));
                r->SetText(u"NOTES", memo_of("N" + std::to_string(i) + std::string((size_t)i, 'x')));
                EXPECT_EQ(t->AddRecord(), 1);
            }
            EXPECT_EQ(t->DeleteRecord(2, 5), 1);
            EXPECT_EQ(t->DeleteRecord(4, 5), 1);
        });
        while (library().start_count > 0) ExternalTermLibrary();
        xdbinit();
        save_pristine();
        auto operation = [&] { in_session(work(), [](IXbaseTable* t, HostRecordObject*) { t->Compact(1); }); };
        auto verify = [&](const std::string& when) {
            int16_t h = -1, m = -1;
            xdb_set_status(XD_OK);
            ASSERT_GE(dbf_open(&h, table.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | (fox ? DBF_FOXPRO2 : 1)), 0) << when;
            EXPECT_FALSE(std::filesystem::exists(work() + "/T.SWT")) << when;
            uint32_t count = 0;
            dbf_record_count(h, &count);
            ASSERT_TRUE(count == 6 || count == 4) << when << ": " << count << " records";
            const uint16_t mode = XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | (fox ? 0 : 1);  // FPT: its own layout
            XDSTATUS opened = fox ? fpt_open(&m, memo.c_str(), mode) : dbt_open(&m, memo.c_str(), mode);
            ASSERT_GE(opened, 0) << when << ": the memo file does not open (" << opened << ")";
            std::vector<std::string> names(count + 1);
            for (uint32_t n = 1; n <= count; n++) {
                xdb_set_status(XD_OK);
                XDSTATUS s = dbf_read_record(h, n);
                EXPECT_EQ(s == XD_DELETEDREC, count == 6 && (n == 2 || n == 4)) << when << " record " << n;
                DbfValue v[2];
                xdb_set_status(XD_OK);
                dbf_get_record_forms(h, v, 2);
                names[n] = std::string(v[0].field_text, 10);
                if (s == XD_DELETEDREC) continue;
                const std::string name = names[n].substr(0, names[n].find(' '));
                const char* text = nullptr;
                uint32_t length = 0;
                xdb_set_status(XD_OK);
                s = fox ? fpt_read(m, v[1].block, &text, &length) : dbt_read(m, v[1].block, &text, &length);
                EXPECT_TRUE(s >= 0 && std::string(text, length) == memo_of(name)) << when << ": record " << n << " (" << name
                                                                                   << ") shows another memo";
            }
            fox ? fpt_close(m) : dbt_close(m);
            for (const std::string& index : {a, b}) {
                const auto entries = checked_entries(index, when);
                EXPECT_EQ(entries.size(), count) << when << ": " << index;
                for (const auto& [recno, key] : entries) {
                    ASSERT_LE(recno, count) << when << ": an entry names no record";
                    std::string want = names[recno];
                    if (index == b)
                        for (char& c : want) c = (char)toupper((unsigned char)c);
                    EXPECT_EQ(key, want) << when << ": " << index << " entry of " << recno;
                }
            }
            dbf_close(h);
            xdb_set_status(XD_OK);
        };
        Tally tally;
        at_every_stop(operation, verify, &tally);
        printf("driver compaction (%s) stop points: %d (%d killed, %d failed)\n", fox ? "FPT" : "DBT", tally.points,
               tally.killed, tally.failed);
    }
}

}  // namespace
