// The library as a host sees it: the exports' answers, start and stop, the options
// of qxdbins.ini, connections, listings and path resolution. The loader tests load
// the built shared library; the others call the same exports linked in.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "driver/interfaces.h"
#include "driver/library.h"
#include "driver/library_state.h"
#include "driver/xbase_driver.h"
#include "framework/codepage.h"
#include "framework/error.h"
#include "host/host_values.h"
#include "host/host_platform.h"
#include "host/loader.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/programs.h"
#include "tests/support/wide.h"

namespace {

// The library joins a directory and a file name with the system's separator.
#ifdef _WIN32
const std::string kSep = "\\";
#else
const std::string kSep = "/";
#endif

void* load_host_module() {
    std::string error;
    void* module = host_load_library(QXDB_HOST_MODULE_FILE, &error);
    EXPECT_NE(module, nullptr) << error;
    return module;
}

// A listing's result, its state word all ones to see which bits the library clears.
struct ListResult : HostTextResult {
    ListResult() : HostTextResult(0xFFFF) {}
};

TEST(LibraryLoader, FullStartStopSequenceThroughTheSharedLibrary) {
    HostSession session;
    ASSERT_TRUE(session.Start(QXDB_LIBRARY_FILE, QXDB_HOST_MODULE_FILE)) << session.Error();
    EXPECT_EQ(session.Version(), 23);
    IXbaseDriver* d = session.Driver();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->FirstInterfaceId(), 18);
    EXPECT_EQ(d->SecondInterfaceId(), 17);
    EXPECT_EQ(d->AnswersZero(), 0);
    EXPECT_EQ(d->AnswersOne(), 1);

    std::string dir = make_temp_dir("lib");
    build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir + "/A.dbf");
    build_dbf(0x30, {{"B", 'I', 4}}, {std::string(4, '\0')}, true).write(dir + "/b.DBF");
    std::u16string source = w(dir);
    HostConnectionDescription desc{u"c", source.c_str(), u"oemtoansi=windows"};
    IXbaseConnection* c = d->CreateConnection(&desc);
    EXPECT_EQ(c->GetOemToAnsi(), 1);
    EXPECT_EQ(c->IsEngineStarted(), 0);
    ASSERT_EQ(c->Open(), 1);
    EXPECT_EQ(c->IsEngineStarted(), 1);
    ListResult r;
    EXPECT_EQ(d->ListTables(&r, c, kListNames), 1);
    std::string listed = wide_to_utf8(r.text);
    EXPECT_TRUE(listed == "A\r\nb" || listed == "b\r\nA") << listed;
    EXPECT_EQ(r.state, 0xFFFF & ~0x0500);

    // An execution component still open at unload is announced to the host.
    struct {
        int32_t size;
        void* module;
        int32_t a, b;
        int32_t quiet;
    } open_record{20, session.HostModule(), 0, 0, 1};
    EXPECT_EQ(session.Exports().execution(3985, (intptr_t)&open_record), 1);
    void* keep = load_host_module();  // stays loaded after the session
    auto going_away = (int (*)())host_library_entry(keep, "qxdbhost_going_away_count");
    auto facilities = (int (*)())host_library_entry(session.HostModule(), "qxdbhost_facility_requests");
    ASSERT_NE(going_away, nullptr);
    EXPECT_EQ(facilities(), 13);  // 9, 10, 12, 13, 15, 14, 17 and (quiet: no 7) 1, 5, 2, 3, 4, 8
    int before = going_away();
    c->Release();
    session.Stop();  // release, ExternalTermLibrary, unload
    EXPECT_EQ(going_away(), before + 1);  // the teardown told the host
    host_unload_library(keep);
    remove_temp_dir(dir);
}

TEST(LibraryLoader, MissingLibraryOrHostModule) {
    HostSession session;
    EXPECT_FALSE(session.Start("/nonexistent/libqxdb.so", QXDB_HOST_MODULE_FILE));
    EXPECT_NE(session.Error().find("cannot load the library"), std::string::npos);
    HostSession other;
    EXPECT_FALSE(other.Start(QXDB_LIBRARY_FILE, "/nonexistent/libqxdbhost.so"));
    EXPECT_NE(other.Error().find("host module"), std::string::npos);
}

// The exports linked in, for what only the library's state shows.
class LibraryExports : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir("exports"); }
    void TearDown() override {
        while (library().start_count > 0) ExternalTermLibrary();
        set_test_env("QXDB_INI_DIR", "");
        remove_temp_dir(dir_);
    }
    std::string dir_;
};

TEST_F(LibraryExports, StartsNestAndTheOptionsComeFromQxdbinsIni) {
    set_test_env("QXDB_INI_DIR", dir_);
    EXPECT_EQ(CheckVersion(), 23);
    EXPECT_EQ(bExternalInitLibrary(), 1);
    EXPECT_EQ(library().delete_index, 0);  // no file: both 0
    EXPECT_EQ(library().duplicates_on, 0);
    ExternalTermLibrary();
    std::ofstream(dir_ + "/qxdbins.ini") << "[option]\nDeleteIndex=1\nDUPLICATESON = 1\n";
    EXPECT_EQ(bExternalInitLibrary(), 1);
    EXPECT_EQ(bExternalInitLibrary(), 1);
    EXPECT_EQ(library().delete_index, 1);
    EXPECT_EQ(library().duplicates_on, 1);
    EXPECT_EQ(library().start_count, 2);
    EXPECT_EQ(library_start_engine(), 0);
    ExternalTermLibrary();
    EXPECT_TRUE(library().engine_started);  // still started: one stop of two
    ExternalTermLibrary();
    EXPECT_FALSE(library().engine_started);
    EXPECT_EQ(library().start_count, 0);
    ExternalTermLibrary();  // a stop too many changes nothing
    EXPECT_EQ(library().start_count, 0);
    EXPECT_EQ(CheckVersion(), 23);
}

TEST_F(LibraryExports, TabledAnswers) {
    bExternalInitLibrary();
    EXPECT_EQ(pQueryProxy(102), nullptr);
    IXbaseDriver* d = piQueryInterface(0);
    IXDriverProxy* p = pQueryProxy(191);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->AnswersTwoA(), 2);
    EXPECT_EQ(p->AnswersMinusOneB(), -1);
    EXPECT_EQ(p->MarkDeclared(u"c", u"t"), 1);
    EXPECT_EQ(p->AsciiSort(-1), 1);  // byte order by default
    EXPECT_EQ(p->AsciiSort(0), 1);   // clears, was set
    EXPECT_EQ(p->AsciiSort(-1), 0);
    EXPECT_EQ(p->AsciiSort(1), 0);   // sets, was clear
    EXPECT_EQ(p->GetDriverErrorHolder(), d->GetErrorHolder());
    EXPECT_EQ(p->OpenTable(u"c", u"t", u"p", 0), 0);  // no connection of that name
    EXPECT_EQ(p->GetDriverErrorHolder()->CurrentErrorId(), 1004u);
    EXPECT_EQ(wide_to_utf8(p->GetDriverErrorHolder()->CurrentMessage()), "Echec lors de l'ouverture de la connexion 'c'.");
    EXPECT_EQ(p->Release(), 0u);

    int32_t a = 7, c = 7;
    char16_t b[2] = {u'x', u'x'}, e[2] = {u'x', u'x'};
    DeclareProxy(&a, b, &c, e);
    EXPECT_EQ(a + c, 0);
    EXPECT_EQ(b[0] + e[0], 0);

    int32_t out = 0;
    EXPECT_EQ(bDLLCompatible(7, 35, &out), 0);
    EXPECT_EQ(out, 36);
    out = 0;
    EXPECT_EQ(bDLLCompatible(28, 36, &out), 1);
    EXPECT_EQ(library().compatibility_version, 36);
    out = 0;
    EXPECT_EQ(bDLLCompatible(5, 99, &out), 0);
    EXPECT_EQ(out, 0);

    void* self = this_program_module();
    EXPECT_EQ(bInitVLCalcFromVM(self, 1, 2), 0);
    EXPECT_EQ(bInitVLCalcFromVM(self, 2, 3), 0);
    EXPECT_EQ(bInitVLCalcFromVM(self, 2, 2), 0);  // this program exports no routine
    EXPECT_EQ(bInitVLConvFromVM(self, 2, 2), 0);
    void* host = load_host_module();
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(bInitVLCalcFromVM(host, 2, 2), 1);
    EXPECT_EQ(library().calc[29], host_library_entry(host, "nModuloEx"));
    EXPECT_EQ(bInitVLConvFromVM(host, 2, 2), 1);
    EXPECT_NE(library().conversion_proxy, nullptr);

    EXPECT_EQ(Execution(4875, 0), 1);  // a close without an open does nothing
    EXPECT_EQ(Execution(5238, 0), 0);
    EXPECT_EQ(Execution(4878, 42), 1);
    EXPECT_EQ(Execution(1, 0), 0);
    struct {
        int32_t size;
        void* module;
        int32_t a, b;
    } record{8, host, 0, 0};
    EXPECT_EQ(Execution(3985, (intptr_t)&record), 1);
    EXPECT_EQ(Execution(3985, (intptr_t)&record), 1);
    EXPECT_EQ(Execution(4963, 5), 1);  // the host's level (2) lets the query through
    auto set_level = (void (*)(int32_t))host_library_entry(host, "qxdbhost_set_level");
    ASSERT_NE(set_level, nullptr);
    set_level(1);  // the level is asked of the host's object each time
    EXPECT_EQ(Execution(4963, 5), 2);
    set_level(2);
    EXPECT_EQ(Execution(4875, 0), 1);
    EXPECT_EQ(Execution(4875, 0), 1);
    EXPECT_EQ(Execution(4963, 5), 2);  // no component any more

    ComponentCommand cmd{0, 2963, nullptr, 0, 0};
    char16_t buf[64];
    cmd.buffer = buf;
    cmd.capacity = 64;
    EXPECT_EQ(CommandeComposante(3, &cmd), 32);  // the characters written
    EXPECT_EQ(wide_to_utf8(buf), "Le fichier '%1!s!' n'existe pas.");
    cmd.capacity = 5;
    EXPECT_EQ(CommandeComposante(3, &cmd), 4);  // cut, the last place holds the terminator
    EXPECT_EQ(wide_to_utf8(buf), "Le f");
    cmd.message_id = 1;
    EXPECT_EQ(CommandeComposante(3, &cmd), 0);
    EXPECT_EQ(cmd.result, 0);
    EXPECT_EQ(CommandeComposante(4, &cmd), -1);
    cmd.message_id = 28437;
    EXPECT_EQ(CommandeComposante(4, &cmd), 24);
    auto handler = [](ComponentCommand* c) -> int32_t { return c->message_id == 28437 ? 99 : 0; };
    EXPECT_EQ(CommandeComposante(2, (void*)+handler), 1);
    EXPECT_EQ(CommandeComposante(3, &cmd), 99);
    CommandeComposante(2, nullptr);
    EXPECT_EQ(CommandeComposante(9, &cmd), 0);
    d->Release();
    EXPECT_EQ(library().current_driver, nullptr);  // destroyed at count 0
    ExternalTermLibrary();
    host_unload_library(host);
}

TEST_F(LibraryExports, ConnectionsPathsAndListings) {
    bExternalInitLibrary();
    IXbaseDriver* d = piQueryInterface(0);
    build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir_ + "/A.dbf");
    build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir_ + "/B.DBF");
    std::ofstream(dir_ + "/notes.txt") << "x";
    std::u16string source = w(dir_);
    HostConnectionDescription desc{u"c", source.c_str(), u"OEMTOANSI=DOS"};
    IXbaseConnection* c = d->CreateConnection(&desc);
    EXPECT_EQ(c->GetOemToAnsi(), 0);
    EXPECT_EQ(c->IsOpen(), 0);

    // Listing opens the connection for its duration.
    ListResult names, details;
    EXPECT_EQ(d->ListTables(&names, c, kListNames), 1);
    EXPECT_EQ(c->IsOpen(), 0);
    EXPECT_EQ(d->ListTables(&details, c, kListNames | kListDetails), 1);
    std::string n = wide_to_utf8(names.text), t = wide_to_utf8(details.text);
    std::string a = "A\tA\t\t" + dir_ + kSep + "A.dbf", b = "B\tB\t\t" + dir_ + kSep + "B.DBF";
    EXPECT_TRUE(n == "A\r\nB" || n == "B\r\nA") << n;
    EXPECT_TRUE(t == a + "\r\n" + b || t == b + "\r\n" + a) << t;
    ListResult none;
    EXPECT_EQ(d->ListTables(&none, c, 0), 1);  // found, but nothing asked to be listed
    EXPECT_TRUE(none.text.empty());

    // A source naming a file lists that file's directory.
    std::u16string file_source = w(dir_ + "/notes.txt");
    HostConnectionDescription fd{u"f", file_source.c_str(), u""};
    IXbaseConnection* fc = d->CreateConnection(&fd);
    ListResult from_file;
    EXPECT_EQ(d->ListTables(&from_file, fc, kListNames), 1);
    EXPECT_EQ(from_file.text.size(), 4u);
    fc->Release();

    // An empty directory, or a missing one: an empty list, answer 0, no error.
    std::string empty = dir_ + "/empty";
    std::filesystem::create_directory(empty);
    std::u16string es = w(empty), missing = w(dir_ + "/missing");
    for (const std::u16string* src : {&es, &missing}) {
        HostConnectionDescription ed{u"e", src->c_str(), u""};
        IXbaseConnection* ec = d->CreateConnection(&ed);
        ListResult r;
        EXPECT_EQ(d->ListTables(&r, ec, kListNames | kListDetails), 0);
        EXPECT_TRUE(r.text.empty());
        EXPECT_EQ(ec->GetErrorHolder()->CurrentErrorId(), 0u);
        ec->Release();
    }

    // Path resolution.
    char16_t out[512];
    ASSERT_EQ(c->ResolveTablePath(u"clients", nullptr, out, 512, nullptr), 1);
    EXPECT_EQ(wide_to_utf8(out), dir_ + kSep + "clients.dbf");
    std::u16string own = w(dir_ + "/x.DAT");
    ASSERT_EQ(c->ResolveTablePath(own.c_str(), u".dbf", out, 512, nullptr), 1);
    EXPECT_EQ(wide_to_utf8(out), dir_ + kSep + "x.DAT");  // its own directory and extension
    ASSERT_EQ(c->ResolveTablePath(u"clients", u".tab", out, 512, nullptr), 1);
    EXPECT_EQ(wide_to_utf8(out), dir_ + kSep + "clients.tab");
    HostConnectionDescription nd{u"n", u"", u""};
    IXbaseConnection* nc = d->CreateConnection(&nd);
    ASSERT_EQ(nc->ResolveTablePath(u"clients", nullptr, out, 512, nullptr), 1);
    EXPECT_EQ(wide_to_utf8(out), "." + kSep + "clients.dbf");
    nc->Release();
    std::u16string nowhere = w(dir_ + "/missing/t");
    EXPECT_EQ(c->ResolveTablePath(nowhere.c_str(), nullptr, out, 512, nullptr), 0);
    EXPECT_EQ(c->GetErrorHolder()->CurrentErrorId(), 1031u);
    EXPECT_EQ(wide_to_utf8(c->GetErrorHolder()->CurrentMessage()),
              "Le répertoire '" + dir_ + "/missing' fourni dans la connexion n'existe pas.");

    int exists = -1;
    EXPECT_EQ(d->TableExists(c, u"A", &exists), 1);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(d->TableExists(c, u"nope", &exists), 0);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(d->GetErrorHolder()->CurrentErrorId(), 1032u);
    EXPECT_EQ(d->GetErrorHolder()->CurrentCode(), 2963u);
    EXPECT_EQ(d->GetErrorHolder()->CurrentLevel(), 3u);
    EXPECT_EQ(d->TableExists(c, nowhere.c_str(), &exists), 0);
    EXPECT_EQ(d->GetErrorHolder()->CurrentErrorId(), 1031u);

    // Two connections start the engine once.
    IXbaseConnection* c2 = d->CreateConnection(&desc);
    EXPECT_EQ(c->Open(), 1);
    EXPECT_EQ(c2->Open(), 1);
    EXPECT_EQ(c2->IsEngineStarted(), 1);

    // Objects the driver hands out, and the operations still to come.
    IXbaseTable* table = d->CreateTable();
    EXPECT_EQ(table->Open(), 0);  // a table without a description
    EXPECT_EQ(table->GetErrorHolder()->CurrentErrorId(), 1005u);
    IXbaseCursor* cursor = d->CreateCursor(table);
    IXbaseTableDescription* td = d->CreateTableDescription();
    IXbaseTableContext* ctx = d->CreateTableContext();
    EXPECT_EQ(ctx->ContextLockIfOpen(u"t"), 1);
    IXbaseTable* opened = d->OpenTableByName(c, u"A");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->GetDescription()->GetItemCount(), 1);
    EXPECT_EQ(d->CreateRequest(1), nullptr);
    for (IXObject* o : std::initializer_list<IXObject*>{ctx, td, cursor, table, opened, c2, c})
        EXPECT_EQ(o->Release(), 0u);
    d->Release();
    ExternalTermLibrary();
}

TEST_F(LibraryExports, RegistriesFollowTheLiveObjects) {
    bExternalInitLibrary();
    IXbaseDriver* d = piQueryInterface(0);
    auto* driver = static_cast<XbaseDriver*>(d);
    HostConnectionDescription desc{u"c", u".", u""};
    IXbaseConnection* c1 = d->CreateConnection(&desc);
    IXbaseConnection* c2 = d->CreateConnection(&desc);
    IXbaseTable* t = d->CreateTable();
    EXPECT_EQ(driver->LiveConnections(), 2u);
    EXPECT_EQ(driver->LiveTables(), 1u);
    c1->AddRef();
    EXPECT_EQ(c1->Release(), 1u);  // still referenced
    EXPECT_EQ(c1->Release(), 0u);
    EXPECT_EQ(driver->LiveConnections(), 1u);
    // A connection and a table that outlive their driver are destroyed safely.
    d->Release();
    EXPECT_EQ(c2->Release(), 0u);
    EXPECT_EQ(t->Release(), 0u);
    ExternalTermLibrary();
}

}  // namespace
