// The driver frame as a host compiled elsewhere sees it: interface tables called
// slot by slot through plain function pointers (not through this library's C++
// header), objects that outlive their driver, and several threads creating,
// using and releasing objects under the host's own lock discipline.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/interfaces.h"
#include "framework/codepage.h"
#include "host/host_values.h"
#include "host/loader.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/host_calls.h"

namespace {

class HostFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.Start(QXDB_LIBRARY_FILE, QXDB_HOST_MODULE_FILE)) << session_.Error();
        dir_ = make_temp_dir("frame");
        build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir_ + "/a.dbf");
        source_ = utf8_to_wide(dir_);
    }
    void TearDown() override {
        session_.Stop();
        remove_temp_dir(dir_);
    }
    HostSession session_;
    std::string dir_;
    std::u16string source_;
};

TEST_F(HostFrameTest, InterfaceTablesInTheRulesOrder) {
    void* d = session_.Driver();
    ASSERT_NE(d, nullptr);
    // The driver: its two interface ids, then AddRef, Release, GetErrorHolder, ...
    EXPECT_EQ(call_slot<int>(d, 0), 18);
    EXPECT_EQ(call_slot<int>(d, 1), 17);
    uint32_t refs = call_slot<uint32_t>(d, 2);
    EXPECT_EQ(call_slot<uint32_t>(d, 3), refs - 1);
    void* holder = call_slot<void*>(d, 4);
    EXPECT_NE(holder, nullptr);
    EXPECT_EQ(call_slot<int>(d, 12), 0);  // AnswersZero
    EXPECT_EQ(call_slot<int>(d, 17), 1);  // AnswersOne
    HostConnectionDescription desc{u"c", source_.c_str(), u""};
    void* c = call_slot<void*>(d, 13, &desc);  // CreateConnection
    ASSERT_NE(c, nullptr);
    // The connection: AddRef, Release, GetErrorHolder, Destroy, Open, IsEngineStarted.
    EXPECT_EQ(call_slot<uint32_t>(c, 0), 2u);
    EXPECT_EQ(call_slot<uint32_t>(c, 1), 1u);
    EXPECT_NE(call_slot<void*>(c, 2), nullptr);
    EXPECT_EQ(call_slot<int>(c, 4), 1);  // Open
    EXPECT_EQ(call_slot<int>(c, 5), 1);  // IsEngineStarted
    HostTextResult listing;
    EXPECT_EQ(call_slot<int>(d, 15, (IHostResultValue*)&listing, c, (uint32_t)kListNames), 1);  // ListTables
    EXPECT_EQ(wide_to_utf8(listing.text), "a");
    int exists = -1;
    EXPECT_EQ(call_slot<int>(d, 16, c, u"a", &exists), 1);  // TableExists
    EXPECT_EQ(exists, 1);
    // A table: ..., Destroy (3), HasKey (4), CreateFiles (5), Refused (6).
    void* t = call_slot<void*>(d, 9);  // CreateTable
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(call_slot<int>(t, 4), 0);
    EXPECT_EQ(call_slot<int>(t, 6), 0);
    IXErrorHolder* th = call_slot<IXErrorHolder*>(t, 2);
    EXPECT_EQ(th->CurrentErrorId(), 8u);  // "Opération non supportée."
    // A table context: ..., FreeText (3), four lookups, Destroy; ContextLockIfOpen
    // answers 1 while no table of the context is open.
    void* x = call_slot<void*>(d, 14);  // CreateTableContext
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(call_slot<int>(x, 6, u"T"), 1);
    call_slot<uint32_t>(x, 1);
    call_slot<uint32_t>(t, 1);
    call_slot<uint32_t>(c, 1);
    // The proxy: 2, 2, -1, -1, nothing, AddRef, Release, GetDriverErrorHolder, ...
    void* p = session_.Exports().query_proxy(191);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(call_slot<int>(p, 0), 2);
    EXPECT_EQ(call_slot<int>(p, 1), 2);
    EXPECT_EQ(call_slot<int>(p, 2), -1);
    EXPECT_EQ(call_slot<int>(p, 3), -1);
    uint32_t prefs = call_slot<uint32_t>(p, 5);
    EXPECT_EQ(call_slot<uint32_t>(p, 6), prefs - 1);
    EXPECT_EQ(call_slot<void*>(p, 7), holder);  // the driver's holder
    EXPECT_GE(call_slot<int>(p, 11, -1), 0);    // AsciiSort, asking only
    call_slot<uint32_t>(p, 6);                  // the last reference
}

// File names beyond plain ASCII are listed and found again exactly: on Linux names
// that are not UTF-8 or hold a ':'; on Windows names in its ANSI code page, which
// its 8-bit file calls take (a name outside it is listed but reaches no file).
TEST_F(HostFrameTest, OddFileNamesRoundTrip) {
#ifdef _WIN32
    build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir_ + "/t 1;x.dbf");
    build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir_ + "/caf\xe9.dbf");  // é in code page 1252
    std::ofstream(std::filesystem::path(dir_) / std::filesystem::path(L"\u03a9mega.dbf")) << "x";  // Ω: no 1252 byte
#else
    build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir_ + "/t:1.dbf");
    build_dbf(0x03, {{"A", 'C', 2}}, {"x"}).write(dir_ + "/caf\xe9.dbf");  // Latin-1, not UTF-8
#endif
    IXbaseDriver* d = session_.Driver();
    HostConnectionDescription desc{u"c", source_.c_str(), u""};
    IXbaseConnection* c = d->CreateConnection(&desc);
    ASSERT_EQ(c->Open(), 1);
    HostTextResult listing;
    ASSERT_EQ(d->ListTables(&listing, c, kListNames), 1);
    std::vector<std::u16string> names;
    std::u16string rest = listing.text;
    for (size_t at; (at = rest.find(u"\r\n")) != std::u16string::npos; rest = rest.substr(at + 2)) names.push_back(rest.substr(0, at));
    names.push_back(rest);
#ifdef _WIN32
    EXPECT_EQ(names.size(), 4u) << wide_to_utf8(listing.text);  // a.dbf of every test and the three
#else
    EXPECT_EQ(names.size(), 3u) << wide_to_utf8(listing.text);  // a.dbf of every test and the two
#endif
    for (const std::u16string& name : names) {
        int exists = 0;
#ifdef _WIN32
        if (name == u"\u03a9mega") {
            EXPECT_EQ(d->TableExists(c, name.c_str(), &exists), 0);
            EXPECT_EQ(exists, 0);
            continue;
        }
#endif
        EXPECT_EQ(d->TableExists(c, name.c_str(), &exists), 1) << wide_to_utf8(name);
        EXPECT_EQ(exists, 1);
    }
#ifdef _WIN32
    EXPECT_NE(std::find(names.begin(), names.end(), u"caf\u00e9"), names.end());
#endif
    c->Release();
}

// A connection opened before a complete stop of the library is closed after it.
TEST_F(HostFrameTest, ConnectionsOfAnEarlierStartAreClosed) {
    IXbaseDriver* d = session_.Driver();
    HostConnectionDescription desc{u"c", source_.c_str(), u""};
    IXbaseConnection* c = d->CreateConnection(&desc);
    ASSERT_EQ(c->Open(), 1);
    EXPECT_EQ(c->IsOpen(), 1);
    const LibraryExports& x = session_.Exports();
    // The host's outermost stop, then a new start: the engine starts anew.
    x.term();
    ASSERT_EQ(x.init(), 1);
    EXPECT_EQ(c->IsOpen(), 0);
    ASSERT_EQ(c->Open(), 1);
    EXPECT_EQ(c->IsOpen(), 1);
    c->Release();
}

// A proxy kept after its driver is released answers, without touching it.
TEST_F(HostFrameTest, ProxyOutlivesItsDriver) {
    IXDriverProxy* p = session_.Exports().query_proxy(191);  // comes with one reference
    ASSERT_NE(p, nullptr);
    IXbaseDriver* d = session_.Driver();
    uint32_t left = d->Release();  // the session's reference
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(p->OpenTable(u"c", u"t", u"/nowhere/t.dbf", 0), 0);
    IXErrorHolder* h = p->GetDriverErrorHolder();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->CurrentErrorId(), 8u);
    EXPECT_EQ(p->AssociateIndex(u"c", u"t", u"i.ndx", u"K"), 0);
    p->Release();
    session_.ForgetDriver();
}

// Eight threads on one driver: each opens its own connections, lists, raises
// errors and releases them, the host locking every call on the driver (as the
// rules ask) but releasing its own objects without that lock.
TEST_F(HostFrameTest, ThreadsCreatingUsingAndReleasing) {
    IXbaseDriver* d = session_.Driver();
    std::mutex host_lock;
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int n = 0; n < 8; n++) {
        threads.emplace_back([&, n]() {
            for (int round = 0; round < 40; round++) {
                IXbaseConnection* c;
                IXbaseTable* t;
                IXbaseTableDescription* desc;
                {
                    std::lock_guard<std::mutex> g(host_lock);
                    HostConnectionDescription hd{u"c", source_.c_str(), u""};
                    c = d->CreateConnection(&hd);
                    t = d->CreateTable();
                    desc = d->CreateTableDescription();
                    HostTextResult r;
                    int exists = 0;
                    if (!c || !c->Open() || d->ListTables(&r, c, kListNames) != 1) failures[(size_t)n]++;
                    if (d->TableExists(c, u"missing", &exists) != 0 || d->GetErrorHolder()->CurrentErrorId() != 1032)
                        failures[(size_t)n]++;
                }
                // Released on this thread, as the host pleases.
                desc->Release();
                t->Release();
                c->Release();
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
