// Tables through the driver, from the host's side: files created from a host
// description and described again (and read by another program), the errors of
// creation, HDBOuvre and HDBIndex, and two tables sharing one data file.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "driver/library.h"
#include "driver/library_state.h"
#include "driver/paths.h"
#include "driver/xbase_objects.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/ntx/ntx.h"
#include "framework/codepage.h"
#include "framework/host_item_types.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/other_programs.h"
#include "tests/support/programs.h"
#include "tests/support/wide.h"

namespace {

// What python3-dbfread makes of a file's fields: "NAME:T:LEN:DEC" per field.
std::vector<std::string> fields_by_dbfread(const std::string& path) {
    ProgramResult r = run_program({"/usr/bin/python3", "-c",
                                   "import dbfread,sys\nfor f in dbfread.DBF(sys.argv[1], load=True).fields: "
                                   "print('%s:%s:%d:%d' % (f.name, f.type, f.length, f.decimal_count))",
                                   path});
    return lines_of(r.out);
}

// The python reader is a Linux program: the Windows suite leaves its check out.
bool have_dbfread() {
#ifdef _WIN32
    return false;
#else
    return run_program({"/usr/bin/python3", "-c", "import dbfread"}).code == 0;
#endif
}

class TableFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir("tablefiles");
        bExternalInitLibrary();
        driver_ = piQueryInterface(0);
        source_ = w(dir_);
        HostConnectionDescription cd{u"main", source_.c_str(), u""};
        connection_ = driver_->CreateConnection(&cd);
        ASSERT_EQ(connection_->Open(), 1);
    }
    void TearDown() override {
        connection_->Release();
        driver_->Release();
        while (library().start_count > 0) ExternalTermLibrary();
        remove_temp_dir(dir_);
    }
    struct Item {
        const char* name;
        int type, size, digits, decimals;
    };
    // A new table's description; its files are made by the table it is given to.
    IXbaseTableDescription* describe_new(const std::string& file, int format, const std::vector<Item>& items) {
        IXbaseTableDescription* d = driver_->CreateTableDescription();
        d->SetPhysicalPath(w(dir_ + "/" + file).c_str());
        d->SetHostFormatCode(format);
        for (const Item& i : items) EXPECT_EQ(d->AddField(w(i.name).c_str(), i.type, i.size, i.digits, i.decimals), 1);
        return d;
    }
    // CreateFiles' answer; the error id (0 on success) in *error.
    int create(IXbaseTableDescription* d, uint32_t* error = nullptr) {
        IXbaseTable* t = driver_->CreateTable();
        EXPECT_EQ(t->SetTableDescription(d), 1);
        int ok = t->CreateFiles();
        if (error) *error = ok ? 0 : t->GetErrorHolder()->CurrentErrorId();
        last_message_ = u8(t->GetErrorHolder()->CurrentMessage());
        t->Release();
        d->Release();
        return ok;
    }
    std::string dir_, last_message_;
    std::u16string source_;
    IXbaseDriver* driver_ = nullptr;
    IXbaseConnection* connection_ = nullptr;
};

// Every creatable variant, every host item type that has a field: created,
// described again, the host types and sizes are those the mapping promises both
// ways, and another program reads the file's fields.
TEST_F(TableFilesTest, CreatedTablesDescribeAsTheHostDescribedThem) {
    const std::vector<Item> items = {
        {"NAME", kItemText, 12, 0, 0},      {"TINY", kItemInt8, 1, 2, 0},        {"SMALL", kItemInt16, 2, 4, 0},
        {"MIDDLE", kItemInt32, 4, 9, 0},    {"LARGE", kItemInt64, 8, 15, 0},     {"MONEY", kItemCurrency, 10, 7, 2},
        {"REAL", kItemReal8, 8, -1, -1},    {"BORN", kItemDate, 0, 0, 0},        {"STAMP", kItemDateTime, 0, 0, 0},
        {"OK", kItemBoolean, 0, 0, 0},      {"NOTES", kItemTextMemo, 0, 0, 0},
    };
    struct Back {
        int type, size;
        char letter;
        int length;
    };
    // By item: what describing the created file gives, and the field's letter and
    // length, on variants with numbers of up to 19 characters and up to 20.
    auto expected = [](const Item& i, bool long_numbers, bool f_fields) -> Back {
        switch (i.type) {
        case kItemText: return {kItemText, 12, 'C', 12};
        case kItemInt8: return {kItemInt8, 1, 'N', 2};
        case kItemInt16: return {kItemInt16, 2, 'N', 4};
        case kItemInt32: return {kItemInt32, 4, 'N', 9};
        case kItemInt64: return {kItemInt64, 8, 'N', 15};
        case kItemCurrency: return {kItemCurrency, 10, f_fields ? 'F' : 'N', 10};
        case kItemReal8: return {kItemDecimal, 9, f_fields ? 'F' : 'N', long_numbers ? 20 : 19};  // 5 decimals
        case kItemDate: return {kItemDate, 0, 'D', 8};
        case kItemDateTime: return {kItemText, 18, 'C', 18};
        case kItemBoolean: return {kItemBoolean, 0, 'L', 1};
        default: return {kItemTextMemo, 0, 'M', 10};
        }
    };
    bool dbfread = have_dbfread();
    for (int format : {2, 3, 4, 5, 6}) {
        const std::string file = "made" + std::to_string(format) + ".dbf";
        ASSERT_EQ(create(describe_new(file, format, items)), 1) << format << ": " << last_message_;
        const bool dbase4 = format == 3;
        IXbaseTable* t = driver_->OpenTableByName(connection_, w(file).c_str());
        ASSERT_NE(t, nullptr) << format << ": " << u8(driver_->GetErrorHolder()->CurrentMessage());
        IXbaseTableDescription* d = t->GetDescription();
        ASSERT_EQ(d->GetItemCount(), (int)items.size()) << format;
        std::vector<std::string> theirs = dbfread ? fields_by_dbfread(dir_ + "/" + file) : std::vector<std::string>{};
        for (size_t i = 0; i < items.size(); i++) {
            Back b = expected(items[i], dbase4, dbase4);
            IXbaseItemDescription* it = d->GetItem((int)i + 1);
            EXPECT_EQ(u8(it->GetName()), items[i].name) << format;
            EXPECT_EQ(it->GetHostType(), b.type) << format << " " << items[i].name;
            EXPECT_EQ(it->GetSize(), b.size) << format << " " << items[i].name;
            EXPECT_EQ(it->GetTypeLetter(), b.letter) << format << " " << items[i].name;
            if (dbfread) {
                ASSERT_EQ(theirs.size(), items.size()) << format << ": " << (theirs.empty() ? "" : theirs[0]);
                std::string want = std::string(items[i].name) + ":" + b.letter + ":" + std::to_string(b.length) + ":";
                EXPECT_EQ(theirs[i].substr(0, want.size()), want) << format;
            }
        }
        EXPECT_NE(u8(d->FindItem(u"NOTES")->GetMemoPath()), "") << format;  // the memo file was made
        t->Release();
    }
#ifdef _WIN32
    QXDB_LINUX_ONLY("the python reader's check of these files");
#endif
    if (!dbfread) GTEST_SKIP() << "python3-dbfread is not installed: the other reader's check was left out";
}

TEST_F(TableFilesTest, CreationErrors) {
    uint32_t error = 0;
    IXbaseTableDescription* d = describe_new("long.dbf", 2, {{"ABCDEFGHIJKLM", kItemText, 5, 0, 0}});
    d->SetCreationOptions(kCreateStrictNames);
    EXPECT_EQ(create(d, &error), 0);
    EXPECT_EQ(error, 1059u);
    EXPECT_EQ(last_message_, "Le nom de la rubrique 'ABCDEFGHIJKLM' est trop long (<10> caractères maximum).");
    // Without strict names the name is cut.
    EXPECT_EQ(create(describe_new("cut.dbf", 2, {{"ABCDEFGHIJKLM", kItemText, 5, 0, 0}})), 1) << last_message_;
    IXbaseTable* t = driver_->OpenTableByName(connection_, u"cut");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(u8(t->GetDescription()->GetItem(1)->GetName()), "ABCDEFGHIJ");
    t->Release();

    EXPECT_EQ(create(describe_new("bin.dbf", 2, {{"RAW", kItemBinary, 8, 0, 0}}), &error), 0);
    EXPECT_EQ(error, 1035u);
    EXPECT_EQ(create(describe_new("pic.dbf", 2, {{"PIC", kItemBinaryMemo, 0, 0, 0}}), &error), 0);
    EXPECT_EQ(error, 1035u);

    d = describe_new("badkey.dbf", 2, {{"NAME", kItemText, 10, 0, 0}, {"AGE", kItemInt16, 2, 3, 0}});
    EXPECT_EQ(d->AddKey(u"MIX", u"NAME+AGE", u"MIX.NDX", 0x2800), 1);
    EXPECT_EQ(create(d, &error), 0);
    EXPECT_EQ(error, 1069u);
    d = describe_new("nodir.dbf", 2, {{"NAME", kItemText, 10, 0, 0}});
    EXPECT_EQ(d->AddKey(u"NAME", u"NAME", w(dir_ + "/no/such/dir/N.NDX").c_str(), 0x2800), 1);
    EXPECT_EQ(create(d, &error), 0);
    EXPECT_EQ(error, 1062u);
    d = describe_new("", 2, {{"NAME", kItemText, 10, 0, 0}});
    d->SetPhysicalPath(w(dir_ + "/no/such/dir/T.dbf").c_str());
    EXPECT_EQ(create(d, &error), 0);
    EXPECT_EQ(error, 1034u);

    // An index file of the same name is made anew.
    std::ofstream(dir_ + "/OLD.NDX") << "not an index";
    d = describe_new("renew.dbf", 2, {{"NAME", kItemText, 10, 0, 0}});
    EXPECT_EQ(d->AddKey(u"NAME", u"NAME", u"OLD.NDX", 0x2800), 1);
    EXPECT_EQ(create(d, &error), 1) << last_message_;
    t = driver_->OpenTableByName(connection_, u"renew");
    ASSERT_NE(t, nullptr);
    EXPECT_GT(t->GetDescription()->FindItem(u"NAME")->GetKeyNumber(), 0);
    t->Release();
}

// NTX files keep numbers as text: a key on a numeric field takes the field's width
// and decimals, as the Clipper-family programs make it, and a key on a computed
// number 10 and 0.
TEST_F(TableFilesTest, NtxKeysOnNumbersTakeTheFieldsWidthAndDecimals) {
    IXbaseTableDescription* d = describe_new("NUMS.dbf", 5, {{"AMT", kItemReal8, 8, 8, 2}, {"QTY", kItemInt16, 4, 4, 0}});
    d->AddKey(u"AMT", u"AMT", u"AMT.ntx", 0x2800);
    d->AddKey(u"QTY", u"QTY", u"QTY.ntx", 0x2800);
    d->AddKey(u"SUM", u"AMT+QTY", u"SUM.ntx", 0x2800);
    ASSERT_EQ(create(d), 1) << last_message_;
    struct Want {
        const char* file;
        uint16_t width, decimals;
    };
    for (Want want : {Want{"AMT.ntx", 11, 2}, Want{"QTY.ntx", 4, 0}, Want{"SUM.ntx", 10, 0}}) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        ASSERT_EQ(ntx_open(&h, (dir_ + "/" + want.file).c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), XD_OK) << want.file;
        NtxInfo info;
        ntx_info(h, &info);
        EXPECT_EQ(info.key_length, want.width) << want.file;
        EXPECT_EQ(info.decimals, want.decimals) << want.file;
        ntx_close(h);
    }
}

// Keys whose index file is one compound file become its tags: the file is made
// once, each key adds its tag, and the table described again finds them.
TEST_F(TableFilesTest, KeysInOneCompoundFileAreItsTags) {
    IXbaseTableDescription* d =
        describe_new("TAGS.dbf", 2, {{"NAME", kItemText, 10, 0, 0}, {"AGE", kItemInt16, 2, 3, 0}});
    d->AddKey(u"NAME", u"NAME", u"KEYS.cdx", 0x2800);
    d->AddKey(u"AGE", u"AGE", u"KEYS.cdx", 0x2800);
    ASSERT_EQ(create(d), 1) << last_message_;
    int16_t h = -1;
    xdb_set_status(XD_OK);
    ASSERT_EQ(IndexOpen(10, (dir_ + "/KEYS.cdx").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &h), XD_OK);
    int16_t tags = 0;
    EXPECT_EQ(TagCount(10, h, &tags), XD_OK);
    EXPECT_EQ(tags, 2);
    IndexClose(10, h);
    xdb_set_status(XD_OK);
    IXbaseTable* t = driver_->OpenTableByName(connection_, u"TAGS");
    ASSERT_NE(t, nullptr);
    IXbaseTableDescription* again = t->GetDescription();
    for (const char16_t* key : {u"NAME", u"AGE"}) EXPECT_GT(again->FindItem(key)->GetKeyNumber(), 0);
    EXPECT_NE(u8(again->GetIndexSetReport()).find("taken"), std::string::npos) << u8(again->GetIndexSetReport());
    t->Release();
}

TEST_F(TableFilesTest, HdbOuvreAndHdbIndex) {
    build_dbf(0x03, {{"NAME", 'C', 10}, {"CITY", 'C', 10}}, {"ANNE      PARIS"}).write(dir_ + "/T.DBF");
    IXbaseTableDescription* d = describe_new("MADE.dbf", 2, {{"NAME", kItemText, 10, 0, 0}});
    d->AddKey(u"NAME", u"NAME", u"BYNAME.NDX", 0x2800);
    ASSERT_EQ(create(d), 1) << last_message_;
    IXDriverProxy* proxy = pQueryProxy(191);
    ASSERT_NE(proxy, nullptr);
    auto error = [&] { return proxy->GetDriverErrorHolder()->CurrentErrorId(); };

    EXPECT_EQ(proxy->OpenTable(u"elsewhere", u"T", u"", 0), 0);
    EXPECT_EQ(error(), 1004u);
    EXPECT_EQ(proxy->AssociateIndex(u"MAIN", u"T", u"BYNAME.NDX", u"NAME"), 0);
    EXPECT_EQ(error(), 1067u);
    ASSERT_EQ(proxy->OpenTable(u"MAIN", u"T", u"", 0), 1) << u8(proxy->GetDriverErrorHolder()->CurrentMessage());
    IXbaseTable* t = driver_->RegisteredTable(u"t");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->IsOpen(), 1);
    EXPECT_EQ(proxy->AssociateIndex(u"MAIN", u"T", u"BYNAME.NDX", u""), 0);
    EXPECT_EQ(error(), 1068u);
    EXPECT_EQ(u8(proxy->GetDriverErrorHolder()->CurrentMessage()),
              "Vous n'avez pas spécifié le paramètre <nom de la clé> dans la fonction HDBIndex.\n"
              "Le type de l'index 'BYNAME.NDX' impose de préciser ce paramètre.");
    // A multi-tag file names its keys itself: no 1068 (one that is not there).
    EXPECT_EQ(proxy->AssociateIndex(u"MAIN", u"T", u"NONE.cdx", u""), 0);
    EXPECT_EQ(error(), 1001u);
    // The index of MADE, on NAME, joined to T under the key name given.
    EXPECT_EQ(proxy->AssociateIndex(u"MAIN", u"T", u"BYNAME", u"NAME"), 1) << u8(proxy->GetDriverErrorHolder()->CurrentMessage());
    IXbaseItemDescription* name = t->GetDescription()->FindItem(u"NAME");
    EXPECT_GT(name->GetKeyNumber(), 0);
#ifdef _WIN32
    // Windows names the file in any case, with its own separators.
    EXPECT_EQ(path_identity(u8(name->GetIndexPath())), path_identity(dir_ + "/BYNAME.NDX"));
#else
    EXPECT_EQ(u8(name->GetIndexPath()), dir_ + "/BYNAME.NDX");  // the file, whatever case it was named in
#endif
    // Declared again: the new registration replaces the old.
    ASSERT_EQ(proxy->OpenTable(u"main", u"T", w(dir_ + "/T.DBF").c_str(), 0), 1);
    EXPECT_NE(driver_->RegisteredTable(u"T"), nullptr);
    EXPECT_EQ(driver_->RegisteredTable(u"T")->GetDescription()->FindItem(u"NAME")->GetKeyNumber(), 0);
    // Exclusive use: the whole file is locked at the declaration and again at each
    // later open of the table (the close of the file's last user let it go).
    ASSERT_EQ(proxy->OpenTable(u"MAIN", u"T", u"", kDeclareExclusive), 1) << u8(proxy->GetDriverErrorHolder()->CurrentMessage());
    IXbaseTable* x = driver_->RegisteredTable(u"T");
    EXPECT_EQ(x->FileLockState(), 3);
    int16_t other = -1;
    auto other_can_lock = [&]() {
        xdb_set_status(XD_OK);
        if (other < 0 && dbf_open(&other, (dir_ + "/T.DBF").c_str(), 0x0E00 | 1) < 0) return false;
        xdb_set_status(XD_OK);
        bool got = dbf_lock_file(other, 2) >= 0;
        if (got) dbf_unlock_file(other, 2);
        xdb_set_status(XD_OK);
        return got;
    };
    EXPECT_FALSE(other_can_lock());
    ASSERT_EQ(x->Close(), 1);
    EXPECT_TRUE(other_can_lock());
    ASSERT_EQ(x->Open(), 1) << u8(x->GetErrorHolder()->CurrentMessage());
    EXPECT_EQ(x->FileLockState(), 3);
    EXPECT_FALSE(other_can_lock());
    ASSERT_EQ(x->Close(), 1);
    // Held elsewhere, the open is refused rather than the file used without it.
    ASSERT_EQ(dbf_lock_file(other, 2), XD_OK);
    EXPECT_EQ(x->Open(), 0);
    EXPECT_EQ(x->GetErrorHolder()->CurrentErrorId(), 1054u);
    EXPECT_EQ(x->IsOpen(), 0);
    dbf_unlock_file(other, 2);
    dbf_close(other);
    xdb_set_status(XD_OK);
    // HDBIndex names its connection, which must open.
    EXPECT_EQ(proxy->AssociateIndex(u"elsewhere", u"T", u"BYNAME", u"NAME"), 0);
    EXPECT_EQ(error(), 1004u);
    // A table the host opened itself, never declared by HDBOuvre, takes the index.
    build_dbf(0x03, {{"NAME", 'C', 10}}, {"ANNE"}).write(dir_ + "/U.DBF");
    IXbaseTable* u = driver_->OpenTableByName(connection_, u"U");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->GetDescription()->FindItem(u"NAME")->GetKeyNumber(), 0);
    EXPECT_EQ(proxy->AssociateIndex(u"MAIN", u"U", u"BYNAME", u"NAME"), 1) << u8(proxy->GetDriverErrorHolder()->CurrentMessage());
    EXPECT_GT(u->GetDescription()->FindItem(u"NAME")->GetKeyNumber(), 0);
    u->Release();
    proxy->Release();
}

// Two tables of one data file share one engine handle; the first closed leaves the
// file open for the second; the last closes it.
TEST_F(TableFilesTest, TwoTablesShareOneDataFile) {
    build_dbf(0x03, {{"NAME", 'C', 10}}, {"ANNE", "BOB"}).write(dir_ + "/S.DBF");
    IXbaseTable* a = driver_->OpenTableByName(connection_, u"S");
    IXbaseTable* b = driver_->OpenTableByName(connection_, w(dir_ + "/./S.DBF").c_str());
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->Open(), 1);
    ASSERT_EQ(b->Open(), 1);
    int16_t h = static_cast<XbaseTable*>(a)->DataHandle();
    EXPECT_GE(h, 0);
    EXPECT_EQ(static_cast<XbaseTable*>(b)->DataHandle(), h);
    EXPECT_EQ(a->Close(), 1);
    EXPECT_EQ(a->Close(), 1);  // a second close does not count twice
    uint32_t count = 0;
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_record_count(static_cast<XbaseTable*>(b)->DataHandle(), &count), XD_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(b->Close(), 1);
    EXPECT_EQ(static_cast<XbaseTable*>(b)->DataHandle(), -1);
    // Nobody holds the file now: it opens exclusively.
    int16_t x = -1;
    xdb_set_status(XD_OK);
    EXPECT_GE(dbf_open(&x, (dir_ + "/S.DBF").c_str(), DBF_DBASE3), 0);
    xdb_set_status(XD_OK);
    dbf_close(x);
    // A table opened again after the file closed opens it anew.
    ASSERT_EQ(a->Open(), 1);
    EXPECT_GE(static_cast<XbaseTable*>(a)->DataHandle(), 0);
    a->Release();  // releasing an open table closes it
    b->Release();
#ifdef _WIN32
    // Windows names one file in any case of its letters, accented ones too.
    build_dbf(0x03, {{"NAME", 'C', 10}}, {"ANNE"}).write(dir_ + "/caf\xe9.dbf");  // é in code page 1252
    IXbaseTable* lower = driver_->OpenTableByName(connection_, u"caf\u00e9");
    IXbaseTable* upper = driver_->OpenTableByName(connection_, u"CAF\u00c9");
    ASSERT_TRUE(lower && upper);
    ASSERT_EQ(lower->Open(), 1);
    ASSERT_EQ(upper->Open(), 1);
    EXPECT_EQ(static_cast<XbaseTable*>(upper)->DataHandle(), static_cast<XbaseTable*>(lower)->DataHandle());
    lower->Release();
    upper->Release();
#endif
}

// A composite key the host declares by its components gets its expression from
// PrepareDescription, and its index file orders as the components do.
TEST_F(TableFilesTest, CompositeKeysByComponents) {
    IXbaseTableDescription* d =
        describe_new("parts.dbf", 2, {{"NAME", kItemText, 10, 0, 0}, {"BORN", kItemDate, 0, 0, 0}, {"AGE", kItemInt16, 2, 3, 0}});
    ASSERT_EQ(d->AddKey(u"NBA", u"", u"NBA.NDX", 0x1000 | 0x2800), 1);
    IXbaseItemDescription* key = d->FindItem(u"NBA");
    ASSERT_EQ(key->SetComponentCount(3), 1);
    key->SetComponent(1, d->FindItem(u"NAME"));
    key->SetComponent(2, d->FindItem(u"BORN"));
    key->SetComponent(3, d->FindItem(u"AGE"));
    ASSERT_EQ(driver_->PrepareDescription(d), 1);
    EXPECT_EQ(u8(key->GetKeyExpression()), "NAME+DTOS(BORN)+STR(AGE,3,0)");
    ASSERT_EQ(create(d), 1) << last_message_;
    IXbaseTable* t = driver_->OpenTableByName(connection_, u"parts");
    ASSERT_NE(t, nullptr);
    IXbaseItemDescription* found = t->GetDescription()->FindItem(u"NBA");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(u8(found->GetKeyExpression()), "NAME+DTOS(BORN)+STR(AGE,3,0)");
    EXPECT_EQ(found->GetComponentCount(), 3);
    t->Release();
    EXPECT_EQ(driver_->PrepareDescription(nullptr), 0);
}

}  // namespace
