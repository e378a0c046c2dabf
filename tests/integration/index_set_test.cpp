// The table's index set, written through the library as a host writes: in a
// directory of several tables whose indexes share field names and expressions
// (after a real Clipper application's layout), random writes to one table keep
// every index of that table in step (a second index on a field, a descending one,
// conditional ones, an expression no key names) and leave every other table's
// index files byte for byte as they were; tables with an index the engine cannot
// write are refused before any byte changes.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver/library.h"
#include "driver/library_state.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/memo/memo.h"
#include "engine/index/cdx/cdx.h"
#include "engine/index/idx/idx.h"
#include "engine/index/index.h"
#include "engine/index/table_check.h"
#include "framework/codepage.h"
#include "host/host_record.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/programs.h"

namespace fs = std::filesystem;

namespace {

// An index on `expression` over the table, built from its records; an NTX may be
// made descending or conditional first (header byte 280; the condition at 282,
// signature 7), as other Clipper-family writers make them.
void make_index(const std::string& dbf, const std::string& path, const char* expression, char type, uint16_t length,
                bool descending = false, const char* condition = nullptr) {
    IndexCreateRequest r{path.c_str(), expression, type, length, 0, nullptr};
    if (type == 'N') r.key_width = length, r.key_decimals = 2;
    xdb_set_status(XD_OK);
    ASSERT_EQ(IndexCreate(&r), XD_OK) << path;
    if (descending || condition) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        if (descending) {
            f.seekp(280);
            f.put(1);
        }
        if (condition) {
            f.seekp(282);
            f.write(condition, (std::streamsize)strlen(condition) + 1);
            f.seekp(0);
            f.put(7);
        }
    }
    int16_t h = -1;
    ASSERT_EQ(dbf_open(&h, dbf.c_str(), XDB_OPEN_SHORTHAND | 5), XD_OK);
    ASSERT_GE(IndexRebuild(index_type_of_file(path.c_str()), h, path.c_str(), expression, (uint8_t)type,
                           type == 'C' ? length : 8, type == 'N' ? 2 : 0, nullptr), XD_OK)
        << path << ": " << xdb_fault_text(nullptr);
    dbf_close(h);
    xdb_set_status(XD_OK);
}

// A tag of `file` (in the table's directory) built from the table.
void make_tag(const std::string& dbf, const char* file, const char* tag, const char* expression, const char* condition,
              char type, uint16_t length, bool descending) {
    const std::string path = dbf.substr(0, dbf.find_last_of('/') + 1) + file;
    int16_t h = -1;
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_open(&h, dbf.c_str(), XDB_OPEN_SHORTHAND | 5), XD_OK);
    IndexTagBuild b{path.c_str(), tag, expression, condition, type, length, false, descending};
    ASSERT_EQ(IndexBuildTag(10, h, &b), XD_OK) << tag << ": " << xdb_fault_text(nullptr);
    dbf_close(h);
    xdb_set_status(XD_OK);
}

// Faults of an index (every tag of a multi-tag file) against its table, in words
// (empty: none).
std::string faults_of(const std::string& dbf, const std::string& path) {
    std::string found;
    int16_t t = -1, h = -1;
    xdb_set_status(XD_OK);
    if (dbf_open(&t, dbf.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1) != XD_OK) return "table does not open";
    const int32_t type = index_type_of_file(path.c_str());
    if (IndexOpen(type, path.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &h) != XD_OK) {
        dbf_close(t);
        return "index does not open";
    }
    int16_t tags = 1;
    if (index_is_multitag(type)) {
        char fault[256] = "";
        uint32_t none = 0;
        if (IndexCheck(type, h, &none, fault, sizeof fault) < 0) found = std::string("the file: ") + fault;
        TagCount(type, h, &tags);
    }
    for (int16_t tag = 0; tag < tags && found.empty(); tag++) {
        IndexAccess a{};
        a.type = type;
        a.file_handle = (uint16_t)h;
        xdb_set_status(XD_OK);
        TagOpenNumber(type, h, tag, &a.tag_handle);
        // An IDX or CDX does not say what its keys are: the table does.
        uint32_t records = 0;
        dbf_record_count(t, &records);
        if (records > 0) dbf_read_record(t, 1);
        xdb_set_status(XD_OK);
        IndexLearnKeyType(type, IndexTreeHandle(&a), t);
        IndexDescription d;
        IndexDescribe(type, IndexTreeHandle(&a), &d);
        uint32_t entries = 0;
        char fault[256] = "";
        if (IndexCheck(type, IndexTreeHandle(&a), &entries, fault, sizeof fault) < 0) found = fault;
        xdb_set_status(XD_OK);
        a.key_length = (uint32_t)d.key_length;
        a.key_type = d.key_type;
        a.single_field = -1;
        IndexTableCheck check;
        check.context = &found;
        check.fault = [](void* c, const char* what) { *(std::string*)c += std::string(what) + "; "; };
        if (found.empty() && IndexCheckAgainstTable(&a, t, (d.flags & 128) != 0, &check) < 0) found = "check failed";
        if (check.beyond) found += "expression " + d.key_expression + " beyond the engine: " + xdb_fault_text(nullptr);
        if (!found.empty() && tags > 1) found = std::string("tag ") + d.name + ": " + found;
    }
    IndexClose(type, h);
    dbf_close(t);
    xdb_set_status(XD_OK);
    return found;
}

// What the index set report says of the file named `file` (the directory is
// joined with the platform's separator, in any case): "taken", "not writable", "passed over",
// or "" when the file is not named.
std::string verdict_of(const std::string& report, const std::string& file) {
    std::stringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        const size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        if (tab1 == std::string::npos || tab2 == std::string::npos) continue;
        const std::string path = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const size_t cut = path.find_last_of("/\\");
        std::string name = path.substr(cut == std::string::npos ? 0 : cut + 1), wanted = file;
        // Windows names a file in any case.
        for (std::string* t : {&name, &wanted})
            for (char& c : *t) c = (char)toupper((unsigned char)c);
        if (name == wanted) return line.substr(0, tab1);
    }
    return "";
}

std::string row(const std::string& code, const std::string& name, bool active, double amount) {
    char text[64];
    std::string c = code, n = name;
    c.resize(6, ' ');
    n.resize(20, ' ');
    snprintf(text, sizeof text, "%s%s%c%8.2f", c.c_str(), n.c_str(), active ? 'T' : 'F', amount);
    return text;
}

class IndexSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir("indexset");
        bExternalInitLibrary();
        driver_ = piQueryInterface(0);
        source_ = utf8_to_wide(dir_);
        HostConnectionDescription cd{u"s", source_.c_str(), u""};
        connection_ = driver_->CreateConnection(&cd);
        ASSERT_EQ(connection_->Open(), 1);
        saved_delete_index_ = library().delete_index;
        ASSERT_EQ(xdbinit(), XD_OK);
    }
    void TearDown() override {
        library().delete_index = saved_delete_index_;
        if (table_) table_->Release();
        if (record_) record_->Release();
        connection_->Release();
        driver_->Release();
        while (library().start_count > 0) ExternalTermLibrary();
        xdbterm();
        remove_temp_dir(dir_);
    }
    // CLIENTES and PROVEEDO both have CODIGO: each has its own NTX on it, and
    // PROVEEDO an NDX too; CLIENTES has five more indexes of kinds the host's keys
    // do not all name.
    void MakeDirectory() {
        std::vector<std::string> clients, suppliers;
        for (int i = 1; i <= 20; i++)
            clients.push_back(row("C" + std::to_string(i % 7), "client " + std::to_string(i), i % 3 != 0, i * 1.5 - 8));
        for (int i = 1; i <= 15; i++) suppliers.push_back(row("P" + std::to_string(i), "supplier", true, i));
        build_dbf(0x03, {{"CODIGO", 'C', 6}, {"NOMBRE", 'C', 20}, {"ACTIVO", 'L', 1}, {"MONTO", 'N', 8, 2}}, clients)
            .write(dir_ + "/CLIENTES.dbf");
        build_dbf(0x03, {{"CODIGO", 'C', 6}, {"NOMBRE", 'C', 20}, {"ACTIVO", 'L', 1}, {"MONTO", 'N', 8, 2}}, suppliers)
            .write(dir_ + "/PROVEEDO.dbf");
        const std::string c = dir_ + "/CLIENTES.dbf", p = dir_ + "/PROVEEDO.dbf";
        make_index(c, dir_ + "/CLIENTES.NTX", "CODIGO", 'C', 6);
        make_index(c, dir_ + "/CLICOD2.NTX", "CODIGO", 'C', 6);
        make_index(c, dir_ + "/CLIDESC.NTX", "CODIGO", 'C', 6, true);
        make_index(c, dir_ + "/CLIFOR.NTX", "NOMBRE", 'C', 20, false, "MONTO > 0 .AND. !DELETED()");
        make_index(c, dir_ + "/CLIACT.NTX", "CODIGO", 'C', 6, false, ".NOT. ACTIVO");
        make_index(c, dir_ + "/CLIEXPR.NTX", "SUBS(NOMBRE,1,3)+STR(MONTO,8,2)", 'C', 11);
        make_index(c, dir_ + "/CLIMONTO.NTX", "MONTO", 'N', 8);
        // FoxPro's single-key files beside them: compact (as created), and standard
        // (a rebuild keeps the layout of the file it replaces).
        make_index(c, dir_ + "/CLIMON.IDX", "MONTO", 'N', 8);
        ASSERT_EQ(idx_create((dir_ + "/CLINOM.IDX").c_str(), 'C', "UPPER(NOMBRE)", 20), XD_OK);
        make_index(c, dir_ + "/CLINOM.IDX", "UPPER(NOMBRE)", 'C', 20);
        // A compound file of several tags: text, a number, a logical, a
        // descending one and one with a condition.
        make_tag(c, "CLITAGS.CDX", "CODIGO", "CODIGO", "", 'C', 6, false);
        make_tag(c, "CLITAGS.CDX", "MONTO", "MONTO", "", 'N', 8, false);
        make_tag(c, "CLITAGS.CDX", "ACTIVO", "ACTIVO", "", 'L', 1, false);
        make_tag(c, "CLITAGS.CDX", "NOMDESC", "UPPER(NOMBRE)", "", 'C', 20, true);
        make_tag(c, "CLITAGS.CDX", "ACTIVOS", "CODIGO+NOMBRE", "ACTIVO", 'C', 26, false);
        make_index(p, dir_ + "/PROVEEDO.NTX", "CODIGO", 'C', 6);
        make_index(p, dir_ + "/PROVNOM.NDX", "NOMBRE", 'C', 20);
        own_ = {"CLIENTES.NTX", "CLICOD2.NTX", "CLIDESC.NTX", "CLIFOR.NTX", "CLIACT.NTX",
                "CLIEXPR.NTX",  "CLIMONTO.NTX", "CLIMON.IDX",  "CLINOM.IDX",  "CLITAGS.CDX"};
        others_ = {"PROVEEDO.NTX", "PROVNOM.NDX", "PROVEEDO.dbf"};
    }
    IXbaseTable* Open(const char16_t* name) {
        table_ = driver_->OpenTableByName(connection_, name);
        EXPECT_NE(table_, nullptr);
        if (!table_) return nullptr;
        table_->SetOpenMode(3);
        EXPECT_EQ(table_->Open(), 1);
        record_ = new HostRecordObject();
        record_->BindFields(table_->GetDescription());
        table_->AttachHostRecord(record_);
        return table_;
    }
    std::map<std::string, std::string> Snapshot() {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(dir_)) files[entry.path().filename().string()] = file_bytes(entry.path().string());
        return files;
    }
    IXbaseDriver* driver_ = nullptr;
    IXbaseConnection* connection_ = nullptr;
    IXbaseTable* table_ = nullptr;
    HostRecordObject* record_ = nullptr;
    std::string dir_;
    std::u16string source_;
    std::vector<std::string> own_, others_;
    int saved_delete_index_ = 0;
};

TEST_F(IndexSetTest, WritesKeepEveryOwnIndexAndNoOtherTables) {
    MakeDirectory();
    for (const std::string& f : own_) ASSERT_EQ(faults_of(dir_ + "/CLIENTES.dbf", dir_ + "/" + f), "") << f << " as built";
    const auto before = Snapshot();
    IXbaseTable* t = Open(u"CLIENTES");
    ASSERT_NE(t, nullptr);
    const std::string set = wide_to_utf8(t->GetDescription()->GetIndexSetReport());
    for (const std::string& f : own_) EXPECT_EQ(verdict_of(set, f), "taken") << set;
    EXPECT_EQ(verdict_of(set, "PROVEEDO.NTX"), "passed over") << set;
    EXPECT_EQ(verdict_of(set, "PROVNOM.NDX"), "passed over") << set;

    std::mt19937 rng(28);
    int64_t count = 20;
    for (int op = 0; op < 120; op++) {
        library().delete_index = (int)(rng() % 2);
        const int kind = (int)(rng() % 4);
        record_->SetText(u"CODIGO", "C" + std::to_string(rng() % 9));
        record_->SetText(u"NOMBRE", std::string("n") + "abc"[rng() % 3] + std::to_string(rng() % 50));
        record_->SetNumber(u"MONTO", (double)((int)(rng() % 4000) - 2000) / 100);
        record_->Set(record_->Find(u"ACTIVO"), host_integer_value(HV_BOOLEAN, (int64_t)(rng() % 2)));
        const int64_t n = 1 + (int64_t)(rng() % (uint64_t)count);
        if (kind <= 1) {
            ASSERT_EQ(t->AddRecord(), 1) << op;
            count++;
        } else if (kind == 2) {
            ASSERT_EQ(t->ModifyRecord(n), 1) << op;
        } else {
            ASSERT_EQ(t->DeleteRecord(n, 5), 1) << op;
        }
    }
    t->Close();
    for (const std::string& f : own_) EXPECT_EQ(faults_of(dir_ + "/CLIENTES.dbf", dir_ + "/" + f), "") << f;
    const auto after = Snapshot();
    for (const std::string& f : others_) EXPECT_TRUE(before.at(f) == after.at(f)) << f << " was written";
    EXPECT_EQ(faults_of(dir_ + "/PROVEEDO.dbf", dir_ + "/PROVEEDO.NTX"), "");
}

// Another program makes a tag of the table's compound file between the library's
// writes (its name among the others', so that the tags after it move up by
// one), later removes one, and then removes one and makes another (the count
// stays): every write keeps in step the tags the file has as it writes.
TEST_F(IndexSetTest, TagsAnotherProgramMakesOrRemovesBetweenWritesAreKeptInStep) {
    MakeDirectory();
    IXbaseTable* t = Open(u"CLIENTES");
    ASSERT_NE(t, nullptr);
    int added = 0;
    auto add = [&] {
        added++;
        record_->SetText(u"CODIGO", "X" + std::to_string(added));
        record_->SetText(u"NOMBRE", "added " + std::to_string(added));
        record_->SetNumber(u"MONTO", added * 2.5);
        record_->Set(record_->Find(u"ACTIVO"), host_integer_value(HV_BOOLEAN, added % 2));
        ASSERT_EQ(t->AddRecord(), 1) << added;
    };
    const std::string table = dir_ + "/CLIENTES.dbf", tags = dir_ + "/CLITAGS.CDX";
    // The other program's changes: a tag removed (when named), then one made.
    auto change = [&](const char* removed, CdxTagRequest made) {
        int16_t h = -1, data = -1;
        xdb_set_status(XD_OK);
        ASSERT_EQ(IndexOpen(10, tags.c_str(), XDB_OPEN_SHORTHAND, &h), XD_OK);
        if (removed) {
            EXPECT_EQ(IndexRemoveTag(10, h, removed), XD_OK);
        }
        if (made.name) {
            ASSERT_EQ(dbf_open(&data, table.c_str(), XDB_OPEN_SHORTHAND | 5), XD_OK);
            EXPECT_EQ(cdx_create_tag(h, &made, data), XD_OK);
            dbf_close(data);
        }
        IndexClose(10, h);
        xdb_set_status(XD_OK);
    };
    add();
    add();
    change(nullptr, CdxTagRequest{"BYNAME", "NOMBRE", "", 'C', 20, false, false});
    add();
    add();
    EXPECT_EQ(faults_of(table, tags), "") << "after a tag was made";
    change("ACTIVOS", CdxTagRequest{});
    add();
    add();
    EXPECT_EQ(faults_of(table, tags), "") << "after a tag was removed";
    change("NOMDESC", CdxTagRequest{"AMOUNT", "MONTO", "", 'N', 8, false, false});
    add();
    add();
    t->Close();
    EXPECT_EQ(faults_of(table, tags), "") << "after a tag was removed and another made";
}

TEST_F(IndexSetTest, AnIndexTheEngineCannotWriteRefusesEveryWrite) {
    MakeDirectory();
    // A production CDX beside a FoxPro table (the header says it has one), and a
    // conditional index whose condition names a program's variable.
    DbfImage fox = build_dbf(0xF5, {{"CODIGO", 'C', 6}}, {"A1", "B2"});
    fox.bytes[28] = 1;
    fox.write(dir_ + "/FOXTAB.dbf");
    std::ofstream(dir_ + "/FOXTAB.CDX", std::ios::binary) << std::string(1024, '\0');
    // A dBASE IV table with its production MDX.
    DbfImage dbase4 = build_dbf(0x03, {{"CODIGO", 'C', 6}}, {"A1", "B2"});
    dbase4.bytes[28] = 1;
    dbase4.write(dir_ + "/DB4TAB.dbf");
    std::ofstream(dir_ + "/DB4TAB.MDX", std::ios::binary) << std::string(2048, '\0');
    make_index(dir_ + "/PROVEEDO.dbf", dir_ + "/PROVVAR.NTX", "CODIGO", 'C', 6, false, "MONTO > 0");
    {
        // The condition is changed afterwards to one only the writing program knew.
        std::fstream f(dir_ + "/PROVVAR.NTX", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(282);
        const char variable[] = "MONTO > nMinimo";
        f.write(variable, sizeof variable);
    }
    for (const char16_t* name : {u"FOXTAB", u"DB4TAB", u"PROVEEDO"}) {
        const auto before = Snapshot();
        IXbaseTable* t = Open(name);
        ASSERT_NE(t, nullptr);
        const std::string set = wide_to_utf8(t->GetDescription()->GetIndexSetReport());
        EXPECT_NE(set.find("not writable"), std::string::npos) << set;
        record_->SetText(u"CODIGO", "Z9");
        EXPECT_EQ(t->AddRecord(), 0);
        EXPECT_EQ(t->GetErrorHolder()->CurrentErrorId(), 1058u);
        EXPECT_EQ(t->ModifyRecord(1), 0);
        EXPECT_EQ(t->DeleteRecord(1, 5), 0);
        EXPECT_EQ(t->Compact(1), 0);
        t->Close();
        table_->Release();
        record_->Release();
        table_ = nullptr;
        record_ = nullptr;
        EXPECT_TRUE(before == Snapshot()) << "a byte changed";
    }
    // Declared by HDBOuvre (no index files are looked for): the production index
    // the header names is the table's all the same.
    const auto before = Snapshot();
    IXDriverProxy* proxy = pQueryProxy(191);
    ASSERT_NE(proxy, nullptr);
    ASSERT_EQ(proxy->OpenTable(u"s", u"FOXTAB", u"", kDeclareWrite), 1);
    IXbaseTable* t = driver_->RegisteredTable(u"FOXTAB");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(verdict_of(wide_to_utf8(t->GetDescription()->GetIndexSetReport()), "FOXTAB.CDX"), "not writable");
    auto* record = new HostRecordObject();
    record->BindFields(t->GetDescription());
    t->AttachHostRecord(record);
    record->SetText(u"CODIGO", "Z9");
    EXPECT_EQ(t->AddRecord(), 0);
    EXPECT_EQ(t->DeleteRecord(1, 5), 0);
    record->Release();
    proxy->Release();
    EXPECT_TRUE(before == Snapshot()) << "a byte changed";
}

// ---- Several processes writing through the library at once ----

// W.dbf: NAME C(12), AMOUNT N(8,2), NOTES M with its DBT; an NTX on NAME, an NDX
// on AMOUNT, a compact IDX on both, and a CDX of a tag on each.
void make_shared_table(const std::string& dir) {
    std::vector<DbfCreateField> fields = {create_field("NAME", 'C', 12), create_field("AMOUNT", 'N', 8, 2),
                                          create_field("NOTES", 'M')};
    ASSERT_EQ(dbf_create((dir + "/W.dbf").c_str(), 3, fields.data(), 1), XD_OK);
    ASSERT_EQ(dbt_create((dir + "/W.dbt").c_str(), 1, 1), XD_OK);
    const std::string names = dir + "/W_NAME.ntx", amounts = dir + "/W_AMT.ndx";
    IndexCreateRequest a{names.c_str(), "NAME", 'C', 12, 0, nullptr};
    ASSERT_EQ(IndexCreate(&a), XD_OK);
    IndexCreateRequest b{amounts.c_str(), "AMOUNT", 'N', 8, 0, nullptr};
    ASSERT_EQ(IndexCreate(&b), XD_OK);
    const std::string foxpro = dir + "/W_AMT.idx";
    IndexCreateRequest c{foxpro.c_str(), "STR(AMOUNT,8,2)+NAME", 'C', 20, 0, nullptr};
    ASSERT_EQ(IndexCreate(&c), XD_OK);
    const std::string tags = dir + "/W.cdx";
    IndexCreateRequest n{tags.c_str(), "NAME", 'C', 12, 0, "NAME"};
    ASSERT_EQ(IndexCreate(&n), XD_OK);
    IndexCreateRequest m{tags.c_str(), "AMOUNT", 'N', 8, 0, "AMOUNT"};
    ASSERT_EQ(IndexCreate(&m), XD_OK);
}

// Adds, modifies and deletes through the library on W.dbf of DIR, from seed SEED,
// OPS operations: prints "+NAME" for each record whose add was reported done and
// "-NAME" for each of its own records whose delete was (every name is unique).
QXDB_TEST_ROLE(index_set_writer) {
    bExternalInitLibrary();
    IXbaseDriver* driver = piQueryInterface(0);
    const std::u16string source = utf8_to_wide(args.at(0));
    HostConnectionDescription cd{u"w", source.c_str(), u""};
    IXbaseConnection* connection = driver->CreateConnection(&cd);
    if (!connection->Open()) return 9;
    IXbaseTable* t = driver->OpenTableByName(connection, u"W");
    if (!t) return 8;
    t->SetOpenMode(3);
    if (!t->Open()) return 7;
    auto* record = new HostRecordObject();
    record->BindFields(t->GetDescription());
    t->AttachHostRecord(record);
    const std::string seed = args.at(1);
    std::mt19937 rng((unsigned)std::stoul(seed));
    std::vector<std::pair<int64_t, std::string>> mine;
    // Another program's lock on a record, or the append lock held a long while,
    // refuses a write for a moment: it is tried again.
    auto retry = [&](const std::function<int()>& write) {
        for (int attempt = 0; attempt < 400; attempt++) {
            if (write()) return true;
            const uint32_t id = t->GetErrorHolder()->CurrentErrorId();
            if (id != 1041 && id != 1054) return false;
            sleep_microseconds(5000);
        }
        return false;
    };
    const int ops = std::stoi(args.at(2));
    for (int i = 0; i < ops; i++) {
        const int kind = (int)(rng() % 5);
        record->SetNumber(u"AMOUNT", (double)((int)(rng() % 20000) - 10000) / 100);
        record->SetText(u"NOTES", "note " + seed + " " + std::to_string(i) + std::string(rng() % 600, 'x'));
        if (kind <= 2 || mine.empty()) {
            const std::string name = "p" + seed + "_" + std::to_string(i);
            record->SetText(u"NAME", name);
            if (!retry([&] { return t->AddRecord(); })) return 3;
            int64_t n = 0;
            t->CurrentRecordNumber(&n);
            mine.push_back({n, name});
            printf("+%s\n", name.c_str());
        } else if (kind == 3) {
            // A modify keeps the name (its writer's record), changes the rest.
            const auto& [n, name] = mine[rng() % mine.size()];
            record->SetText(u"NAME", name);
            if (!retry([&] { return t->ModifyRecord(n); })) return 4;
        } else {
            const size_t at = rng() % mine.size();
            if (!retry([&] { return t->DeleteRecord(mine[at].first, 5); })) return 5;
            printf("-%s\n", mine[at].second.c_str());
            mine.erase(mine.begin() + (long)at);
        }
        fflush(stdout);
    }
    t->Close();
    t->Release();
    record->Release();
    connection->Release();
    driver->Release();
    ExternalTermLibrary();
    return 0;
}

TEST_F(IndexSetTest, SeveralProcessesWritingAtOnce) {
    make_shared_table(dir_);
    const int kProcesses = 4, kOps = 60;
    std::vector<RunningProgram> writers;
    for (int p = 0; p < kProcesses; p++)
        writers.push_back(start_role("index_set_writer", {dir_, std::to_string(p + 1), std::to_string(kOps)}));
    std::map<std::string, int> live;
    for (RunningProgram& w : writers) {
        ASSERT_TRUE(w.started());
        for (std::string line = w.read_line(); !line.empty(); line = w.read_line()) {
            if (line[0] == '+') live[line.substr(1)]++;
            if (line[0] == '-') live[line.substr(1)]--;
        }
        ASSERT_EQ(w.wait(), 0) << w.failure() << w.rest();
    }
    // Every index checks clean against the records: it holds exactly the live
    // records' keys (and, with DELETEINDEX 0, perhaps deleted ones').
    EXPECT_EQ(faults_of(dir_ + "/W.dbf", dir_ + "/W_NAME.ntx"), "");
    EXPECT_EQ(faults_of(dir_ + "/W.dbf", dir_ + "/W_AMT.ndx"), "");
    EXPECT_EQ(faults_of(dir_ + "/W.dbf", dir_ + "/W_AMT.idx"), "");
    EXPECT_EQ(faults_of(dir_ + "/W.dbf", dir_ + "/W.cdx"), "");
    // Nothing reported written is missing; nothing else is live.
    int16_t h = -1;
    ASSERT_EQ(dbf_open(&h, (dir_ + "/W.dbf").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1), XD_OK);
    uint32_t count = 0;
    dbf_record_count(h, &count);
    std::map<std::string, int> found;
    for (uint32_t n = 1; n <= count; n++) {
        xdb_set_status(XD_OK);
        if (dbf_read_record(h, n) != XD_OK) continue;
        char name[16] = "";
        dbf_get_field(h, 0, name, nullptr);
        std::string text = name;
        while (!text.empty() && text.back() == ' ') text.pop_back();
        found[text]++;
    }
    dbf_close(h);
    for (const auto& [name, n] : live) {
        if (n > 0) {
            EXPECT_EQ(found[name], 1) << name << " was reported added and is not live once";
        }
    }
    for (const auto& [name, n] : found) EXPECT_EQ(live[name], 1) << name << " is live but was not reported added";
    printf("%d processes x %d operations through the library: %zu live records\n", kProcesses, kOps, found.size());
}

// Harbour's own index files of one table (a descending one, a unique one, a
// conditional one FOR ACTIVE, expressions over several fields): every one is in
// the table's set and stays in step through random writes.
TEST_F(IndexSetTest, HarbourIndexesOfATableStayInStep) {
    const fs::path from = fs::path(QXDB_TEST_DATA) / "peers" / "harbour" / "clipper";
    std::vector<std::string> ntx;
    for (const auto& entry : fs::directory_iterator(from)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("people.", 0) != 0 && entry.path().extension() != ".ntx") continue;
        if (name.find(".ntx.") != std::string::npos) continue;
        fs::copy_file(entry.path(), fs::path(dir_) / name);
        if (entry.path().extension() == ".ntx") ntx.push_back(name);
    }
    ASSERT_EQ(ntx.size(), 10u);
    IXbaseTable* t = Open(u"people");
    ASSERT_NE(t, nullptr);
    const std::string set = wide_to_utf8(t->GetDescription()->GetIndexSetReport());
    for (const std::string& f : ntx) EXPECT_EQ(verdict_of(set, f), "taken") << set;
    std::mt19937 rng(6);
    int64_t count = 0;
    t->CountRecords(&count);
    const char* cities[] = {"Lyon", "Oslo", "Cairo", "Lima", "Quito"};
    for (int op = 0; op < 150; op++) {
        library().delete_index = (int)(rng() % 2);
        record_->SetText(u"NAME", "Name " + std::to_string(rng() % 500));
        record_->SetText(u"CITY", cities[rng() % 5]);
        record_->SetNumber(u"AGE", (double)(rng() % 100));
        record_->SetNumber(u"SALARY", (double)(rng() % 1000000) / 100);
        record_->SetNumber(u"BALANCE", (double)((int)(rng() % 200000) - 100000) / 100);
        char born[9];
        snprintf(born, sizeof born, "%04d%02d%02d", 1900 + (int)(rng() % 120), 1 + (int)(rng() % 12), 1 + (int)(rng() % 28));
        record_->Set(record_->Find(u"BORN"), host_bytes_value(HV_DATE, born, 8));
        record_->Set(record_->Find(u"ACTIVE"), host_integer_value(HV_BOOLEAN, (int64_t)(rng() % 2)));
        record_->SetText(u"NOTES", std::string(rng() % 100, 'n'));
        const int64_t n = 1 + (int64_t)(rng() % (uint64_t)count);
        switch (rng() % 3) {
        case 0: ASSERT_EQ(t->AddRecord(), 1) << op; count++; break;
        case 1: ASSERT_EQ(t->ModifyRecord(n), 1) << op; break;
        default: ASSERT_EQ(t->DeleteRecord(n, 5), 1) << op; break;
        }
    }
    t->Close();
    for (const std::string& f : ntx) EXPECT_EQ(faults_of(dir_ + "/people.dbf", dir_ + "/" + f), "") << f;
}

}  // namespace
