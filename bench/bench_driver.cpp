// Reading through the driver as a host does, against the engine doing the same
// work under the same conditions (the table shared, so every record is read from
// the file; an NDX on NAME): a physical browse reading every item, a browse in
// NAME order, 100,000 searches of existing names. Each driver figure is also given
// as a multiple of its engine figure: the driver's own cost.

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sys/stat.h>

#include "bench/bench_common.h"
#include "driver/library.h"
#include "driver/library_state.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "framework/codepage.h"
#include "host/host_record.h"

namespace {

const uint16_t kShared = XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND;

// What both sides read, to check that they read the same: the records, and the
// amounts of every 64th (the host's parsing of every amount is not the driver's
// cost).
struct Sums {
    double amount = 0;
    uint64_t records = 0;
};
const uint64_t kSampleEvery = 64;

// The engine: every field of the record converted, as the driver has them converted.
void engine_record(int16_t h, uint32_t recno, DbfValue* values, Sums* sums) {
    xdb_set_status(XD_OK);
    dbf_read_record(h, recno);
    xdb_set_status(XD_OK);
    dbf_get_record(h, values, 5);
    if (sums->records++ % kSampleEvery == 0) sums->amount += values[1].number;
}

double engine_physical(const std::string& table, Sums* sums) {
    int16_t h;
    xdb_set_status(XD_OK);
    bench_check(dbf_open(&h, table.c_str(), kShared | DBF_DBASE3), "open");
    uint32_t count = 0;
    dbf_record_count(h, &count);
    DbfValue values[5];
    double t0 = bench_now();
    for (uint32_t n = 1; n <= count; n++) engine_record(h, n, values, sums);
    double t = bench_now() - t0;
    dbf_close(h);
    return t;
}

IndexAccess name_access(int16_t index) {
    IndexAccess a{};
    a.type = 1;
    a.file_handle = (uint16_t)index;
    a.key_length = 31;
    a.key_type = 'C';
    a.key_host_type = HV_TEXT;
    a.value_host_type = HV_TEXT;
    a.single_field = -1;
    return a;
}

// The table and its NAME index, shared.
void open_both(const std::string& table, const std::string& index_file, int16_t* h, int16_t* x) {
    xdb_set_status(XD_OK);
    bench_check(dbf_open(h, table.c_str(), kShared | DBF_DBASE3), "open");
    bench_check(IndexOpen(1, index_file.c_str(), 0x0E00, x), "open index");
}

void close_both(int16_t h, int16_t x) {
    xdb_set_status(XD_OK);
    IndexClose(1, x);
    dbf_close(h);
}

double engine_walk(const std::string& table, const std::string& index_file, Sums* sums) {
    int16_t h, x;
    open_both(table, index_file, &h, &x);
    IndexAccess a = name_access(x);
    DbfValue values[5];
    uint8_t key[kIndexKeyBuffer];
    uint32_t recno = 0;
    double t0 = bench_now();
    for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK; s = IndexNext(&a, key, &recno))
        engine_record(h, recno, values, sums);
    double t = bench_now() - t0;
    close_both(h, x);
    return t;
}

double engine_searches(const std::string& table, const std::string& index_file, const std::vector<std::string>& names,
                       Sums* sums) {
    int16_t h, x;
    open_both(table, index_file, &h, &x);
    IndexAccess a = name_access(x);
    DbfValue values[5];
    uint8_t key[kIndexKeyBuffer];
    double t0 = bench_now();
    for (const std::string& name : names) {
        uint32_t recno = 0;
        MakeCharacterKey(&a, name.c_str(), key);
        if (IndexSeek(&a, key, 1, &recno, 0) == XD_OK) engine_record(h, recno, values, sums);
    }
    double t = bench_now() - t0;
    close_both(h, x);
    return t;
}

// The driver: a table opened by name from its directory, every field bound.
struct DriverTable {
    IXbaseDriver* driver = nullptr;
    IXbaseConnection* connection = nullptr;
    IXbaseTable* table = nullptr;
    HostRecordObject* record = nullptr;
    IXbaseCursor* cursor = nullptr;
    int amount_item = -1;

    explicit DriverTable(const std::string& dir) {
        bExternalInitLibrary();
        driver = piQueryInterface(0);
        std::u16string source = utf8_to_wide(dir);
        HostConnectionDescription cd{u"bench", source.c_str(), u""};
        connection = driver->CreateConnection(&cd);
        if (!connection->Open()) bench_check(-1, "connection");
        table = driver->OpenTableByName(connection, u"BENCH");
        if (!table || !table->Open()) bench_check(-1, "open through the driver");
        record = new HostRecordObject();
        record->BindFields(table->GetDescription());
        for (size_t i = 0; i < record->Items().size(); i++)
            if (record->Items()[i].name == u"AMOUNT") amount_item = (int)i;
        table->AttachHostRecord(record);
        cursor = driver->CreateCursor(table);
    }
    ~DriverTable() {
        cursor->Release();
        table->Release();
        record->Release();
        connection->Release();
        driver->Release();
        while (library().start_count > 0) ExternalTermLibrary();
    }
    void count(Sums* sums) {
        if (sums->records++ % kSampleEvery == 0)
            sums->amount += strtod(record->Items()[(size_t)amount_item].bytes.c_str(), nullptr);
    }
    double browse(const char16_t* key, Sums* sums) {
        double t0 = bench_now();
        for (int ok = cursor->Browse(key, kBrowseFirst, 0); ok && !cursor->IsEndOfData();
             ok = cursor->Browse(key, kBrowseNext, 0))
            count(sums);
        return bench_now() - t0;
    }
    double searches(const std::vector<std::string>& names, Sums* sums) {
        double t0 = bench_now();
        for (const std::string& name : names) {
            HostItemValue v;
            v.type = HV_TEXT;
            v.bytes = name.data();
            v.length = (uint32_t)name.size();
            int outcome = 0;
            if (cursor->Search(u"NAME", &v, 0, &outcome) && outcome == kSearchFound) count(sums);
        }
        return bench_now() - t0;
    }
};

// The engine's figure, then the driver's with the table shared and locked whole;
// the records each read must be the engine's.
void report_pair(const std::string& what, uint64_t items, double engine, const double driver[2],
                 const BenchSetup& setup, const Sums& engine_sums, const Sums& shared_sums, const Sums& locked_sums) {
    for (const Sums* driver_sums : {&shared_sums, &locked_sums})
        if (engine_sums.records != driver_sums->records ||
            std::abs(engine_sums.amount - driver_sums->amount) > 1e-6 * (1 + std::abs(engine_sums.amount))) {
            fprintf(stderr, "%s: the driver read %llu records (sum %.2f), the engine %llu (sum %.2f)\n", what.c_str(),
                    (unsigned long long)driver_sums->records, driver_sums->amount,
                    (unsigned long long)engine_sums.records, engine_sums.amount);
            exit(1);
        }
    bench_report("engine: " + what, "ndx", items, engine, setup.raw_read);
    for (int locked = 0; locked < 2; locked++) {
        char label[160];
        snprintf(label, sizeof label, "driver: %s, %s (%.2fx the engine)", what.c_str(),
                 locked ? "table locked" : "shared", driver[locked] / engine);
        bench_report(label, "ndx", items, driver[locked], setup.raw_read);
    }
}

// A table of `dir` opened by name for writing through the driver, with a host
// record bound to it; the engine is left started again when it goes.
struct WritableTable {
    IXbaseDriver* driver = nullptr;
    IXbaseConnection* connection = nullptr;
    IXbaseTable* table = nullptr;
    HostRecordObject* record = nullptr;

    WritableTable(const std::string& dir, const char16_t* name) {
        bExternalInitLibrary();
        driver = piQueryInterface(0);
        std::u16string source = utf8_to_wide(dir);
        HostConnectionDescription cd{u"bench", source.c_str(), u""};
        connection = driver->CreateConnection(&cd);
        connection->Open();
        table = driver->OpenTableByName(connection, name);
        if (!table) bench_check(-1, "open for writing");
        table->SetOpenMode(3);
        if (!table->Open()) bench_check(-1, "open for writing");
        record = new HostRecordObject();
        record->BindFields(table->GetDescription());
        table->AttachHostRecord(record);
    }
    ~WritableTable() {
        table->Release();
        record->Release();
        connection->Release();
        driver->Release();
        while (library().start_count > 0) ExternalTermLibrary();
        xdbinit();
        xdb_set_date_format(4);
    }
};

}  // namespace

// Writes through the driver: every record added to a new table with an NDX on
// NAME, 100,000 modifies of random records (NAME changed, so its key moves), and a
// compact after a tenth is deleted.
static void bench_driver_writes(BenchSetup& setup, const std::string& dir) {
    const std::string table = dir + "/WRITE.dbf", index_file = dir + "/WNAME.ndx";
    std::vector<DbfCreateField> fields = {bench_field("NAME", 'C', 30), bench_field("AMOUNT", 'N', 10, 2),
                                          bench_field("QTY", 'N', 3), bench_field("BORN", 'D', 8),
                                          bench_field("ACTIVE", 'L', 1)};
    double adds = 0, modifies = 0, compact = 0;
    const uint32_t n = setup.records;
    {
        unlink(table.c_str());
        unlink(index_file.c_str());
        xdbinit();
        bench_check(dbf_create(table.c_str(), 5, fields.data(), DBF_DBASE3), "create");
        IndexCreateRequest r{index_file.c_str(), "NAME", 'C', 30, 0, nullptr};
        bench_check(IndexCreate(&r), "index");
        xdbterm();
        WritableTable w(dir, u"WRITE");
        IXbaseTable* t = w.table;
        HostRecordObject* record = w.record;
        double t0 = bench_now();
        for (const BenchRecord& b : setup.data) {
            record->SetText(u"NAME", b.name);
            record->SetNumber(u"AMOUNT", b.amount);
            record->SetNumber(u"QTY", b.qty);
            record->Set(3, host_bytes_value(HV_DATE, b.born, 8));
            record->Set(4, host_integer_value(HV_BOOLEAN, b.active));
            if (!t->AddRecord()) bench_check(-1, "add");
        }
        adds = bench_now() - t0;
        std::mt19937 rng(3);
        t0 = bench_now();
        for (int i = 0; i < 100000; i++) {
            record->SetText(u"NAME", setup.data[rng() % n].name);
            if (!t->ModifyRecord(1 + rng() % n)) bench_check(-1, "modify");
        }
        modifies = bench_now() - t0;
        for (uint32_t r = 7; r <= n; r += 10)
            if (!t->DeleteRecord(r, 5)) bench_check(-1, "delete");
        t0 = bench_now();
        if (!t->Compact(1)) bench_check(-1, "compact");
        compact = bench_now() - t0;
    }
    bench_report("driver: add, one NDX index", "ndx", n, adds, setup.raw_read);
    bench_report("driver: 100,000 modifies, the key moving", "ndx", 100000, modifies, setup.raw_read);
    bench_report("driver: compact (pack, index built again), 10% deleted", "ndx", n, compact, setup.raw_read);
    unlink(table.c_str());
    unlink(index_file.c_str());
    unlink((dir + "/WRITE.BAK").c_str());
}

// 100,000 records added through the driver to a new table with three keys kept in
// step (NAME, AMOUNT, BORN): the three NTX files of a Clipper table against the
// three tags of a FoxPro table's structural CDX and of a dBASE IV table's
// production MDX. The table shared, as a host opens it, and then locked whole by
// the host first (LockFile), as a batch job does.
enum AddsFamily { kAddsNtx, kAddsCdx, kAddsMdx };
static double driver_adds_three_keys(const BenchSetup& setup, const std::string& dir, AddsFamily family, bool locked) {
    const std::string table = dir + "/ADDS.dbf";
    const char* files[] = {"ADDS.cdx", "ADDS.mdx", "ANAME.ntx", "AAMOUNT.ntx", "ABORN.ntx"};
    auto remove_all = [&] {
        unlink(table.c_str());
        for (const char* f : files) unlink((dir + "/" + f).c_str());
    };
    remove_all();
    std::vector<DbfCreateField> fields = {bench_field("NAME", 'C', 30), bench_field("AMOUNT", 'N', 10, 2),
                                          bench_field("BORN", 'D', 8)};
    xdbinit();
    xdb_set_date_format(4);
    struct Key {
        const char* name;
        char type;
        uint16_t length, decimals;
    } keys[] = {{"NAME", 'C', 30, 0}, {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 8, 0}};
    if (family != kAddsNtx) {
        const std::string own = dir + (family == kAddsCdx ? "/ADDS.cdx" : "/ADDS.mdx");
        const uint16_t dialect = family == kAddsCdx ? DBF_FOXPRO2 : DBF_DBASE4;
        bench_check(IndexCreateEmpty(index_type_of_file(own.c_str()), own.c_str()), "structural index");
        bench_check(dbf_create(table.c_str(), 3, fields.data(), dialect | DBF_CREATE_PRODUCTION_INDEX), "create");
        int16_t h;
        bench_check(dbf_open(&h, table.c_str(), dialect), "open");
        for (const Key& k : keys) {
            IndexTagBuild b{own.c_str(), k.name, k.name, nullptr, k.type, k.length, false, false};
            bench_check(IndexBuildTag(index_type_of_file(own.c_str()), h, &b), "tag");
        }
        dbf_close(h);
    } else {
        bench_check(dbf_create(table.c_str(), 3, fields.data(), DBF_CLIPPER), "create");
        for (const Key& k : keys) {
            const std::string file = dir + "/A" + k.name + ".ntx";
            IndexCreateRequest r{file.c_str(), k.name, k.type, k.length, 0, nullptr, k.length, k.decimals};
            bench_check(IndexCreate(&r), "index");
        }
    }
    xdbterm();
    double adds = 0;
    {
        WritableTable w(dir, u"ADDS");
        int with_index = 0;
        IXbaseTableDescription* d = w.table->GetDescription();
        for (int i = 1; i <= d->GetItemCount(); i++) with_index += d->GetItem(i)->GetKeyNumber() > 0;
        if (with_index != 3) bench_check(-1, "the three keys found");
        if (locked && !w.table->LockFile(3)) bench_check(-1, "lock the table");
        double t0 = bench_now();
        for (uint32_t i = 0; i < 100000; i++) {
            const BenchRecord& b = setup.data[i % setup.data.size()];
            w.record->SetText(u"NAME", b.name);
            w.record->SetNumber(u"AMOUNT", b.amount);
            w.record->Set(2, host_bytes_value(HV_DATE, b.born, 8));
            if (!w.table->AddRecord()) bench_check(-1, "add");
        }
        adds = bench_now() - t0;
    }
    remove_all();
    return adds;
}

static void bench_driver_adds(const BenchSetup& setup, const std::string& dir) {
    for (int locked = 0; locked < 2; locked++) {
        const std::string how = locked ? ", table locked" : ", shared";
        if (!setup.wanted("driver adds" + how)) continue;
        const double ntx = driver_adds_three_keys(setup, dir, kAddsNtx, locked);
        const double cdx = driver_adds_three_keys(setup, dir, kAddsCdx, locked);
        const double mdx = driver_adds_three_keys(setup, dir, kAddsMdx, locked);
        bench_report("driver: 100,000 adds, 3 NTX" + how, "ntx", 100000, ntx, 0);
        char label[96];
        snprintf(label, sizeof label, "driver: 100,000 adds, 3 CDX tags%s (%.2fx)", how.c_str(), cdx / ntx);
        bench_report(label, "cdx", 100000, cdx, 0);
        snprintf(label, sizeof label, "driver: 100,000 adds, 3 MDX tags%s (%.2fx)", how.c_str(), mdx / ntx);
        bench_report(label, "mdx", 100000, mdx, 0);
    }
}

void bench_driver_operations(BenchSetup& setup) {
    const bool adds = (setup.wanted("driver adds, shared") || setup.wanted("driver adds, table locked")) &&
                      index_format_available(index_type_of_file("x.cdx"));
    if (!setup.wanted("driver") && !adds) return;
    const std::string dir = setup.dir + "/qxdb-bench-driver";
    mkdir(dir.c_str(), 0755);
    if (!setup.wanted("driver")) {  // the adds alone
        bench_driver_adds(setup, dir);
        rmdir(dir.c_str());
        return;
    }
    const std::string table = dir + "/BENCH.dbf", index_file = dir + "/NAME.ndx";
    unlink(table.c_str());
    if (link(setup.table.c_str(), table.c_str()) != 0) bench_check(-1, "link the table");
    {
        int16_t h;
        xdb_set_status(XD_OK);
        bench_check(dbf_open(&h, table.c_str(), DBF_DBASE3), "open");
        bench_check(IndexRebuild(1, h, index_file.c_str(), "NAME", 'C', 30, 0, nullptr), "index NAME");
        dbf_close(h);
    }
    std::mt19937 rng(7);
    std::vector<std::string> names;
    for (int i = 0; i < 100000; i++) names.push_back(setup.data[rng() % setup.data.size()].name);
    const uint32_t n = setup.records;

    // The engine figures first, then the driver's (which starts the engine itself).
    Sums e1, e2, e3;
    double physical = best_of(3, [&] { return e1 = Sums{}, engine_physical(table, &e1); });
    double walk = best_of(3, [&] { return e2 = Sums{}, engine_walk(table, index_file, &e2); });
    double search = best_of(3, [&] { return e3 = Sums{}, engine_searches(table, index_file, names, &e3); });
    xdbterm();
    // The driver's, with the table shared as a host opens it, then locked whole by
    // the host first (as a batch job does).
    Sums d[2][3];
    double browse[2], key_browse[2], searches[2];
    {
        DriverTable t(dir);
        for (int locked = 0; locked < 2; locked++) {
            if (locked && !t.table->LockFile(3)) bench_check(-1, "lock the table");
            Sums* m = d[locked];
            browse[locked] = best_of(3, [&] { return m[0] = Sums{}, t.browse(nullptr, &m[0]); });
            key_browse[locked] = best_of(3, [&] { return m[1] = Sums{}, t.browse(u"NAME", &m[1]); });
            searches[locked] = best_of(3, [&] { return m[2] = Sums{}, t.searches(names, &m[2]); });
        }
        t.table->UnlockFile();
    }
    xdbinit();
    xdb_set_date_format(4);
    report_pair("physical browse, every item", n, physical, browse, setup, e1, d[0][0], d[1][0]);
    report_pair("browse in NAME order, every item", n, walk, key_browse, setup, e2, d[0][1], d[1][1]);
    report_pair("100,000 searches of NAME, every item", names.size(), search, searches, setup, e3, d[0][2], d[1][2]);
    bench_driver_writes(setup, dir);
    if (adds) bench_driver_adds(setup, dir);
    unlink(index_file.c_str());
    unlink(table.c_str());
    rmdir(dir.c_str());
}
