// The library driven as the 32-bit host drives it, knowing nothing of this
// library's C++ declarations: the exports taken by name and called through
// cdecl pointers, every object reached through its interface table slot by slot
// (thiscall on 32-bit Windows), the host's record handed in for the library to
// call back. Then a table whose records lie past 2 GiB, read and written
// through that path, and a table past 4 GiB refused.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/os_platform.h"
#include "framework/codepage.h"
#include "framework/host_value.h"
#include "framework/host_item_types.h"
#include "host/host_platform.h"
#include "host/host_record.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/host_calls.h"

namespace {

// ---- The exports, as the host declares them ----
typedef int32_t(HOST_CDECL* CheckVersionFn)();
typedef int32_t(HOST_CDECL* InitLibraryFn)();
typedef void(HOST_CDECL* TermLibraryFn)();
typedef void*(HOST_CDECL* QueryInterfaceFn)(int32_t unused);
typedef int32_t(HOST_CDECL* CompatibleFn)(int32_t kind, int32_t version, int32_t* out);
typedef int32_t(HOST_CDECL* InitRoutinesFn)(void* module, int32_t low, int32_t high);

// ---- Slots of the interface tables, in the rules' order ----
enum DriverSlot { kDrvFirstId = 0, kDrvSecondId = 1, kDrvRelease = 3, kDrvErrors = 4, kDrvOpenTableByName = 6,
                  kDrvCreateConnection = 13 };
enum ObjectSlot { kAddRef = 0, kRelease = 1, kErrors = 2 };
enum ConnectionSlot { kConnOpen = 4 };
enum TableSlot { kTabOpen = 7, kTabClose = 8, kTabAdd = 9, kTabDelete = 11, kTabModify = 12, kTabGoTo = 14,
                 kTabLockRecord = 21, kTabUnlockRecord = 22, kTabCount = 24, kTabAttachRecord = 35,
                 kTabSetOpenMode = 44 };
enum HolderSlot { kHolderErrorId = 0, kHolderDump = 4 };

// The connection record as the host lays it out.
struct ConnectionRecord {
    const char16_t* name;
    const char16_t* source;
    const char16_t* extended_info;
};

// The host's record is the stand-in host's own object: the library calls it back
// through its interface table (thiscall on 32-bit Windows, as a host's compiler
// lays out its classes).
void set_text(HostRecordObject* r, int i, const std::string& text) {
    r->Set(i, host_bytes_value(HV_TEXT, text.data(), text.size()));
}
void set_real(HostRecordObject* r, int i, double value) { r->Set(i, host_real_value(value)); }
std::string text_of(HostRecordObject* r, int i) {
    std::string t = r->Items()[(size_t)i].bytes;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}
double real_of(HostRecordObject* r, int i) { return r->Items()[(size_t)i].real; }

// The host: loads the library and the host module and drives them by hand.
class RawHost {
public:
    bool Start(std::string* why) {
        library_ = host_load_library(QXDB_LIBRARY_FILE, why);
        if (!library_) return false;
        auto check = (CheckVersionFn)host_library_entry(library_, "CheckVersion");
        auto init = (InitLibraryFn)host_library_entry(library_, "bExternalInitLibrary");
        term_ = (TermLibraryFn)host_library_entry(library_, "ExternalTermLibrary");
        auto compatible = (CompatibleFn)host_library_entry(library_, "bDLLCompatible");
        auto calc = (InitRoutinesFn)host_library_entry(library_, "bInitVLCalcFromVM");
        auto conv = (InitRoutinesFn)host_library_entry(library_, "bInitVLConvFromVM");
        auto query = (QueryInterfaceFn)host_library_entry(library_, "piQueryInterface");
        if (!check || !init || !term_ || !compatible || !calc || !conv || !query) return (*why = "an export is missing"), false;
        if (check() != 23) return (*why = "CheckVersion did not answer 23"), false;
        init();
        started_ = true;
        int32_t wanted = -1;
        if (!compatible(28, 36, &wanted)) return (*why = "bDLLCompatible refused"), false;
        module_ = host_load_library(QXDB_HOST_MODULE_FILE, why);
        if (!module_) return false;
        if (!calc(module_, 2, 2) || !conv(module_, 2, 2)) return (*why = "the host routines were refused"), false;
        driver_ = query(0);
        return driver_ ? true : ((*why = "no driver object"), false);
    }
    ~RawHost() {
        if (driver_) call_slot<uint32_t>(driver_, kDrvRelease);
        if (started_) term_();
        host_unload_library(module_);
        host_unload_library(library_);
    }
    void* Driver() { return driver_; }

private:
    void* library_ = nullptr;
    void* module_ = nullptr;
    void* driver_ = nullptr;
    TermLibraryFn term_ = nullptr;
    bool started_ = false;
};

uint32_t error_id(void* object) { return call_slot<uint32_t>(call_slot<void*>(object, kErrors), kHolderErrorId); }
// The engine status an error carries, as its dump shows it.
int engine_status_in(void* holder) {
    const std::string dump = wide_to_utf8(call_slot<const char16_t*>(holder, kHolderDump));
    const size_t at = dump.find("EIT_BASECODE : <");
    return at == std::string::npos ? 0 : atoi(dump.c_str() + at + 16);
}

// A record of NAME C(40) and AMOUNT N(12,2), without its deletion flag.
std::string row(const std::string& name, const std::string& amount) {
    std::string r = name;
    r.resize(40, ' ');
    return r + std::string(12 - amount.size(), ' ') + amount;
}

class HostAbiTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(host_.Start(&why)) << why;
        dir_ = make_temp_dir("abi");
        source_ = utf8_to_wide(dir_);
        record_ = new HostRecordObject();
        record_->Bind(u"NAME", kItemText, 40);
        record_->Bind(u"AMOUNT", kItemReal8, 0);
    }
    void TearDown() override {
        if (table_) call_slot<uint32_t>(table_, kRelease);
        if (connection_) call_slot<uint32_t>(connection_, kRelease);
        if (record_) record_->Release();
        remove_temp_dir(dir_);
    }
    // Opens table `name` of the directory for writing; false with the table's
    // error left for the test to read.
    bool OpenTable(const char16_t* name) {
        void* d = host_.Driver();
        ConnectionRecord desc{u"c", source_.c_str(), u""};
        connection_ = call_slot<void*>(d, kDrvCreateConnection, (const ConnectionRecord*)&desc);
        if (!connection_ || call_slot<int>(connection_, kConnOpen) != 1) return false;
        table_ = call_slot<void*>(d, kDrvOpenTableByName, connection_, name);
        if (!table_) return false;
        call_slot<int>(table_, kTabSetOpenMode, 3);
        if (call_slot<int>(table_, kTabOpen) != 1) return false;
        return call_slot<int>(table_, kTabAttachRecord, (void*)record_) == 1;
    }
    int64_t Count() {
        int64_t n = -1;
        EXPECT_EQ(call_slot<int>(table_, kTabCount, &n), 1);
        return n;
    }

    RawHost host_;
    std::string dir_;
    std::u16string source_;
    HostRecordObject* record_ = nullptr;
    void* connection_ = nullptr;
    void* table_ = nullptr;
};

TEST_F(HostAbiTest, ReadsAddsModifiesAndDeletesThroughTheTables) {
    build_dbf(0x03, {{"NAME", 'C', 40}, {"AMOUNT", 'N', 12, 2}}, {row("Ada", "12.50"), row("Grace", "-3.25")})
        .write(dir_ + "/people.dbf");
    void* d = host_.Driver();
    EXPECT_EQ(call_slot<int>(d, kDrvFirstId), 18);
    EXPECT_EQ(call_slot<int>(d, kDrvSecondId), 17);
    ASSERT_TRUE(OpenTable(u"people")) << (table_ ? error_id(table_) : 0u);
    EXPECT_EQ(Count(), 2);
    // A 64-bit record number passed by value, the host record called back.
    ASSERT_EQ(call_slot<int>(table_, kTabGoTo, (int64_t)2), 1) << error_id(table_);
    EXPECT_EQ(text_of(record_, 0), "Grace");
    EXPECT_DOUBLE_EQ(real_of(record_, 1), -3.25);
    set_text(record_, 0, "Alan");
    set_real(record_, 1, 7.75);
    ASSERT_EQ(call_slot<int>(table_, kTabAdd), 1) << error_id(table_);
    EXPECT_EQ(Count(), 3);
    ASSERT_EQ(call_slot<int>(table_, kTabGoTo, (int64_t)1), 1);
    set_text(record_, 0, "Ada Lovelace");
    ASSERT_EQ(call_slot<int>(table_, kTabModify, (int64_t)1), 1) << error_id(table_);
    ASSERT_EQ(call_slot<int>(table_, kTabLockRecord, (int64_t)2, 2), 1) << error_id(table_);
    ASSERT_EQ(call_slot<int>(table_, kTabUnlockRecord, (int64_t)2), 1) << error_id(table_);
    ASSERT_EQ(call_slot<int>(table_, kTabDelete, (int64_t)2, 2), 1) << error_id(table_);
    ASSERT_EQ(call_slot<int>(table_, kTabGoTo, (int64_t)3), 1);
    EXPECT_EQ(text_of(record_, 0), "Alan");
    EXPECT_DOUBLE_EQ(real_of(record_, 1), 7.75);
    ASSERT_EQ(call_slot<int>(table_, kTabGoTo, (int64_t)1), 1);
    EXPECT_EQ(text_of(record_, 0), "Ada Lovelace");
    ASSERT_EQ(call_slot<int>(table_, kTabGoTo, (int64_t)2), 1);
    EXPECT_TRUE(record_->GetStateWord() & 0x40);  // deleted
    EXPECT_EQ(call_slot<int>(table_, kTabClose), 1);
}

// ---- Tables past 2 GiB ----

// A sparse table: the header says `count` records of `length` bytes; only the
// records given are written, at their places, the rest is a hole. Written through
// the platform seam, whose offsets are 64-bit on every build.
void write_sparse_table(const std::string& path, uint32_t count, const std::vector<std::pair<uint32_t, std::string>>& records) {
    DbfImage head = build_dbf(0x03, {{"NAME", 'C', 40}, {"AMOUNT", 'N', 12, 2}});
    head.bytes.pop_back();  // the end mark goes after the last record
    head.set32(4, count);
    const uint16_t header = (uint16_t)head.bytes.size();
    const uint16_t length = 53;
    uint32_t error = 0;
    PlatFile f = plat_open(path.c_str(), kPlatRead | kPlatWrite, true, &error);
    ASSERT_NE(f, kPlatInvalidFile) << error;
    uint32_t put = 0;
    ASSERT_TRUE(plat_write_at(f, head.bytes.data(), (uint32_t)head.bytes.size(), 0, &put, &error)) << error;
    for (const auto& [recno, text] : records) {
        std::string rec = " " + row(text, "0.00");
        ASSERT_TRUE(plat_write_at(f, rec.data(), length, header + (int64_t)(recno - 1) * length, &put, &error)) << error;
    }
    const int64_t end = header + (int64_t)count * length;
    ASSERT_TRUE(plat_write_at(f, "\x1A", 1, end, &put, &error)) << error;
    plat_close(f, &error);
}

std::string read_at(const std::string& path, int64_t offset, uint32_t count) {
    uint32_t error = 0, got = 0;
    PlatFile f = plat_open(path.c_str(), kPlatRead | kPlatShareRead | kPlatShareWrite, false, &error);
    std::string out(count, '\0');
    if (f == kPlatInvalidFile || !plat_read_at(f, out.data(), count, offset, &got, &error)) out.clear();
    out.resize(got);
    plat_close(f, &error);
    return out;
}

const uint16_t kBigHeader = 32 + 2 * 32 + 1;
const uint16_t kBigLength = 53;
int64_t offset_of(uint32_t recno) { return kBigHeader + (int64_t)(recno - 1) * kBigLength; }

TEST_F(HostAbiTest, TablePastTwoGiBIsReadAndWritten) {
    // The last records lie past 2 GiB (and past the lock area below it).
    const uint32_t count = (uint32_t)((0x80100000ull - kBigHeader) / kBigLength) + 3;
    const std::string path = dir_ + "/big.dbf";
    write_sparse_table(path, count, {{count - 2, "Far"}, {count - 1, "Farther"}, {count, "Last"}});
    ASSERT_GT(offset_of(count - 2), 0x80000000ll);
    ASSERT_TRUE(OpenTable(u"big")) << (table_ ? error_id(table_) : 0u);
    EXPECT_EQ(Count(), count);
    ASSERT_EQ(call_slot<int>(table_, kTabGoTo, (int64_t)count - 1), 1) << error_id(table_);
    EXPECT_EQ(text_of(record_, 0), "Farther");
    set_text(record_, 0, "Modified");
    set_real(record_, 1, 1.5);
    ASSERT_EQ(call_slot<int>(table_, kTabModify, (int64_t)count - 1), 1) << error_id(table_);
    set_text(record_, 0, "Appended");
    set_real(record_, 1, 2.25);
    ASSERT_EQ(call_slot<int>(table_, kTabAdd), 1) << error_id(table_);
    EXPECT_EQ(Count(), (int64_t)count + 1);
    ASSERT_EQ(call_slot<int>(table_, kTabDelete, (int64_t)count, 5), 1) << error_id(table_);
    ASSERT_EQ(call_slot<int>(table_, kTabGoTo, (int64_t)count - 2), 1);
    EXPECT_EQ(text_of(record_, 0), "Far");
    EXPECT_EQ(call_slot<int>(table_, kTabClose), 1);

    // The bytes at their 64-bit places, as another program reads them.
    EXPECT_EQ(read_at(path, offset_of(count - 1), 9), " Modified");
    EXPECT_EQ(read_at(path, offset_of(count - 1) + 41, 12), "        1.50");
    EXPECT_EQ(read_at(path, offset_of(count), 5), "*Last");
    EXPECT_EQ(read_at(path, offset_of(count + 1), 9), " Appended");
    EXPECT_EQ(read_at(path, offset_of(count + 2), 2), "\x1A");
    std::string header = read_at(path, 4, 4);
    ASSERT_EQ(header.size(), 4u);
    uint32_t stored = 0;
    memcpy(&stored, header.data(), 4);
    EXPECT_EQ(stored, count + 1);
}

TEST_F(HostAbiTest, TablePastFourGiBIsRefused) {
    // A header count whose records end past 4 GiB, and a file that long.
    const uint32_t count = (uint32_t)((0x100100000ull - kBigHeader) / kBigLength);
    const std::string path = dir_ + "/huge.dbf";
    write_sparse_table(path, count, {{1, "First"}});
    EXPECT_FALSE(OpenTable(u"huge"));
    // Refused where the host learns the file's size: finding the table, or opening it.
    void* holder = call_slot<void*>(table_ ? table_ : host_.Driver(), table_ ? (int)kErrors : (int)kDrvErrors);
    EXPECT_EQ(call_slot<uint32_t>(holder, kHolderErrorId), 1001u);  // the data file cannot be opened
    EXPECT_EQ(engine_status_in(holder), XD_SEEKERR);

    // The engine refuses it the same way, with the reason in words.
    ASSERT_EQ(xdbinit(), XD_OK);
    int16_t h = -1;
    EXPECT_EQ(dbf_open(&h, path.c_str(), 0x0100 | 1), XD_SEEKERR);
    bool specific = false;
    EXPECT_NE(std::string(xdb_fault_text(&specific)).find("4 GiB"), std::string::npos) << xdb_fault_text(&specific);
    xdb_set_status(XD_OK);
    xdbterm();
}

}  // namespace
