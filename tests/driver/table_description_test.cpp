// Tables through the driver: descriptions read from DBF files (every fixture the
// engine opens), index files found and associated as keys, and the errors of the
// association, with the exports linked in.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "driver/field_types.h"
#include "driver/index_association.h"
#include "driver/library.h"
#include "driver/library_state.h"
#include "driver/xbase_objects.h"
#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/ndx/ndx.h"
#include "framework/codepage.h"
#include "framework/error.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/wide.h"

namespace fs = std::filesystem;

namespace {

class TableDescriptionTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir("describe");
        bExternalInitLibrary();
        driver_ = piQueryInterface(0);
        ASSERT_NE(driver_, nullptr);
        items_before_ = XbaseItemDescription::Live();
        descriptions_before_ = XbaseTableDescription::Live();
    }
    void TearDown() override {
        if (connection_) connection_->Release();
        driver_->Release();
        // Every description and item handed out went away with its last reference.
        EXPECT_EQ(XbaseItemDescription::Live(), items_before_);
        EXPECT_EQ(XbaseTableDescription::Live(), descriptions_before_);
        while (library().start_count > 0) ExternalTermLibrary();
        remove_temp_dir(dir_);
    }
    IXbaseConnection* connect(const std::string& dir) {
        if (connection_) connection_->Release();
        source_ = w(dir);
        HostConnectionDescription cd{u"c", source_.c_str(), u""};
        connection_ = driver_->CreateConnection(&cd);
        EXPECT_EQ(connection_->Open(), 1);
        return connection_;
    }
    // A description of the file at `path`, described; null (and a failure) if not.
    IXbaseTableDescription* describe(const std::string& path) {
        IXbaseTableDescription* d = driver_->CreateTableDescription();
        std::u16string p = w(path);
        d->SetPhysicalPath(p.c_str());
        if (!d->Describe()) {
            ADD_FAILURE() << path << ": " << u8(d->GetErrorHolder()->CurrentMessage());
            d->Release();
            return nullptr;
        }
        return d;
    }
    std::string copy_people() {
        const fs::path from = fs::path(QXDB_TEST_DATA) / "peers/xbase64/dbase3";
        for (const char* f : {"PEOPLE.DBF", "PEOPLE.DBT", "PEOPLE_NAME.NDX", "PEOPLE_AGE.NDX", "PEOPLE_UCITY.NDX",
                              "PEOPLE_CITYBORN.NDX"})
            fs::copy_file(from / f, fs::path(dir_) / f);
        return dir_ + "/PEOPLE.DBF";
    }

    std::string dir_;
    IXbaseDriver* driver_ = nullptr;
    IXbaseConnection* connection_ = nullptr;
    std::u16string source_;
    int items_before_ = 0, descriptions_before_ = 0;
};

bool is_dbf(const fs::path& p) {
    std::string ext = p.extension().string();
    for (char& c : ext) c = (char)tolower((unsigned char)c);
    return ext == ".dbf";
}

// Every fixture the engine opens describes as its fields, one item per field in
// order (Visual FoxPro's system fields left out), each with the host type and size
// of its type letter; the variant is the first row that opens the file.
TEST_F(TableDescriptionTest, EveryFixtureDescribesAsItsFields) {
    ASSERT_EQ(library_start_engine(), 0);
    int described = 0;
    for (const char* sub : {"real", "peers"}) {
        for (const auto& e : fs::recursive_directory_iterator(fs::path(QXDB_TEST_DATA) / sub)) {
            if (!e.is_regular_file() || !is_dbf(e.path())) continue;
            const std::string path = e.path().string();
            int16_t h = -1;
            int row = -1;
            for (int r = 0; r < kXbaseVariantCount && row < 0; r++) {
                xdb_set_status(XD_OK);
                if (dbf_open(&h, path.c_str(), (uint16_t)(kXbaseVariants[r].code | XDB_OPEN_READONLY | XDB_OPEN_SHARED)) >= 0)
                    row = r;
            }
            xdb_set_status(XD_OK);
            IXbaseTableDescription* d = driver_->CreateTableDescription();
            std::u16string p = w(path);
            d->SetPhysicalPath(p.c_str());
            int answer = d->Describe();
            if (row < 0) {
                EXPECT_EQ(answer, 0) << path;
                EXPECT_EQ(d->GetErrorHolder()->CurrentErrorId(), 1001u) << path;
                d->Release();
                continue;
            }
            ASSERT_EQ(answer, 1) << path << ": " << u8(d->GetErrorHolder()->CurrentMessage());
            described++;
            uint16_t count = 0, largest = 0;
            dbf_field_count(h, &count);
            std::vector<DbfFieldInfo> fields(count);
            if (count) dbf_describe_fields(h, &largest, fields.data());
            const int code = kXbaseVariants[row].code;
            EXPECT_EQ(d->GetHostFormatCode(), host_format_of_variant(code)) << path;
            int item = 0;
            for (const DbfFieldInfo& f : fields) {
                if (code == 10 && (f.flags & 1)) continue;
                IXbaseItemDescription* it = d->GetItem(++item);
                ASSERT_NE(it, nullptr) << path << " field " << f.name;
                EXPECT_EQ(u8(it->GetName()), wide_to_utf8(codepage_to_wide(1252, f.name, strlen(f.name)))) << path;
                EXPECT_EQ(it->GetTypeLetter(), (unsigned char)f.type) << path << " " << f.name;
                HostItemShape shape = host_item_of_field(f.type, f.length, f.decimals);
                EXPECT_EQ(it->GetHostType(), shape.type) << path << " " << f.name;
                EXPECT_EQ(it->GetSize(), shape.size) << path << " " << f.name;
                EXPECT_EQ(it->IsField(), 1);
                EXPECT_EQ(it->GetKeyNumber(), 0);
            }
            EXPECT_EQ(d->GetItemCount(), item) << path;
            xdb_set_status(XD_OK);
            dbf_close(h);
            d->Release();
        }
    }
    EXPECT_GT(described, 150);
}

TEST_F(TableDescriptionTest, TheExampleTableAndVisualFoxProSystemFields) {
    build_dbf(0x83, {{"NAME", 'C', 30}, {"AGE", 'N', 3}, {"SALARY", 'N', 10, 2}, {"BORN", 'D', 8}, {"ACTIVE", 'L', 1},
                     {"NOTES", 'M', 10}})
        .write(dir_ + "/people.dbf");
    IXbaseTableDescription* d = describe(dir_ + "/people.dbf");
    ASSERT_NE(d, nullptr);
    struct {
        const char* name;
        int type, size;
    } want[] = {{"NAME", kItemText, 30}, {"AGE", kItemInt16, 2}, {"SALARY", kItemCurrency, 10},
                {"BORN", kItemDate, 0},  {"ACTIVE", kItemBoolean, 0}, {"NOTES", kItemTextMemo, 0}};
    ASSERT_EQ(d->GetItemCount(), 6);
    for (int i = 0; i < 6; i++) {
        IXbaseItemDescription* it = d->GetItem(i + 1);
        EXPECT_EQ(u8(it->GetName()), want[i].name);
        EXPECT_EQ(it->GetHostType(), want[i].type) << want[i].name;
        EXPECT_EQ(it->GetSize(), want[i].size) << want[i].name;
    }
    EXPECT_EQ(u8(d->GetItem(6)->GetMemoPath()), "");  // no memo file beside it
    EXPECT_EQ(u8(d->GetTableName()), "people");
    EXPECT_EQ(d->FindItem(u"salary"), d->GetItem(3));
    EXPECT_EQ(d->CheckItemExists(u"AGE"), 1);
    EXPECT_EQ(d->CheckItemExists(u"WAGE"), 0);
    EXPECT_EQ(d->GetErrorHolder()->CurrentErrorId(), 1064u);
    d->Release();

    std::ofstream(dir_ + "/people.dbt") << std::string(512, '\0');
    d = describe(dir_ + "/people.dbf");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(u8(d->GetItem(6)->GetMemoPath()), dir_ + "/people.dbt");
    d->Release();

    build_dbf(0x30, {{"ID", 'I', 4}, {"NOTE", 'C', 5, 0, 0x02}, {"_NullFlags", '0', 1, 0, 0x05}}, {}, true)
        .write(dir_ + "/vfp.dbf");
    d = describe(dir_ + "/vfp.dbf");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->GetItemCount(), 2);
    EXPECT_EQ(u8(d->GetItem(1)->GetName()), "ID");
    EXPECT_EQ(u8(d->GetItem(2)->GetName()), "NOTE");
    EXPECT_EQ(d->GetHostFormatCode(), 4);
    d->Release();
}

// Opened by name, the table's index files become its keys: an index on a field is
// that field's key, an index on an expression a composite key of its fields.
TEST_F(TableDescriptionTest, IndexFilesBesideTheTableBecomeItsKeys) {
    copy_people();
    IXbaseConnection* c = connect(dir_);
    IXbaseTable* t = driver_->OpenTableByName(c, u"people");
    ASSERT_NE(t, nullptr) << u8(driver_->GetErrorHolder()->CurrentMessage());
    IXbaseTableDescription* d = t->GetDescription();
    EXPECT_EQ(u8(d->GetAssociationReport()), "");
    IXbaseItemDescription* name = d->FindItem(u"NAME");
    IXbaseItemDescription* age = d->FindItem(u"AGE");
    ASSERT_TRUE(name && age);
    EXPECT_GT(name->GetKeyNumber(), 0);
    EXPECT_EQ(name->GetKeyOptions(), 0x0800 | 0x2000);
    std::string index_path = u8(name->GetIndexPath());
    for (char& ch : index_path)
        if (ch == '\\') ch = '/';  // Windows joins with its own separator
    EXPECT_EQ(index_path, dir_ + "/PEOPLE_NAME.NDX");
    EXPECT_EQ(name->IsField(), 1);
    EXPECT_NE(age->GetKeyNumber(), name->GetKeyNumber());
    EXPECT_EQ(d->FindItem(u"CITY")->GetKeyNumber(), 0);  // no index of its own

    IXbaseItemDescription* cityborn = d->FindItem(u"PEOPLE_CIT");
    ASSERT_NE(cityborn, nullptr);
    EXPECT_EQ(cityborn->IsField(), 0);
    EXPECT_EQ(cityborn->GetHostType(), kItemBinary);
    EXPECT_EQ(cityborn->GetTypeLetter(), 'C');
    EXPECT_EQ(u8(cityborn->GetKeyExpression()), "UPPER(CITY)+DTOS(BORN)");
    ASSERT_EQ(cityborn->GetComponentCount(), 2);
    EXPECT_EQ(cityborn->GetComponent(1), d->FindItem(u"CITY"));
    EXPECT_EQ(cityborn->GetComponent(2), d->FindItem(u"BORN"));
    EXPECT_EQ(cityborn->GetKeyOptions(), 0x1000 | 0x0800 | 0x2000);
    IXbaseItemDescription* ucity = d->FindItem(u"PEOPLE_UCI");
    ASSERT_NE(ucity, nullptr);
    EXPECT_EQ(ucity->GetKeyOptions(), 0x1000 | 0x0800 | 0x4000);  // unique
    // Key numbers are distinct.
    std::set<int> numbers;
    int keys = 0;
    for (int i = 1; i <= d->GetItemCount(); i++)
        if (int k = d->GetItem(i)->GetKeyNumber()) numbers.insert(k), keys++;
    EXPECT_EQ(keys, 4);  // the four index files copied
    EXPECT_EQ(numbers.size(), 4u);

    // A key's index opens on its first use; the walk goes in the writer's order.
    auto* table = static_cast<XbaseTable*>(t);
    ASSERT_EQ(t->Open(), 1);
    IndexAccess access;
    ASSERT_EQ(table->UseKey(u"NAME", &access), 1) << u8(t->GetErrorHolder()->CurrentMessage());
    EXPECT_EQ(access.key_type, 'C');
    EXPECT_EQ(access.single_field, 0);
    std::ifstream recorded(std::string(QXDB_TEST_DATA) + "/peers/xbase64/dbase3/PEOPLE.NAME.keys.tsv");
    std::string line;
    char key[kIndexKeyBuffer];
    uint32_t recno = 0;
    XDSTATUS st = IndexFirst(&access, key, &recno);
    int walked = 0;
    while (st == XD_OK && std::getline(recorded, line)) {
        ASSERT_EQ(std::to_string(recno), line.substr(0, line.find('\t'))) << "entry " << walked;
        walked++;
        st = IndexNext(&access, key, &recno);
    }
    EXPECT_GT(walked, 100);
    ASSERT_EQ(table->UseKey(u"PEOPLE_CIT", &access), 1);
    EXPECT_EQ(access.single_field, -1);
    EXPECT_EQ(IndexFirst(&access, key, &recno), XD_OK);
    EXPECT_EQ(recno, 5u);
    EXPECT_EQ(table->UseKey(u"CITY", &access), 0);  // no key
    EXPECT_EQ(t->GetErrorHolder()->CurrentErrorId(), 1023u);
    fs::remove(fs::path(dir_) / "PEOPLE_AGE.NDX");
    EXPECT_EQ(table->UseKey(u"AGE", &access), 0);  // its file has gone
    EXPECT_EQ(t->GetErrorHolder()->CurrentErrorId(), 1001u);
    EXPECT_EQ(t->Close(), 1);
    t->Release();

    xdb_set_status(XD_OK);
    EXPECT_EQ(driver_->OpenTableByName(c, u"nosuch"), nullptr);
    EXPECT_EQ(driver_->GetErrorHolder()->CurrentErrorId(), 1032u);
}

// The association's error paths, each leaving the description as it was.
TEST_F(TableDescriptionTest, AssociationErrors) {
    copy_people();
    ASSERT_EQ(library_start_engine(), 0);
    // Index files with expressions a composite key cannot take.
    for (const auto& made : std::vector<std::pair<std::string, std::string>>{
             {"MIXED.NDX", "NAME+AGE"}, {"GONE.NDX", "UPPER(NOSUCH)"}, {"BAD.NDX", "UPPER(NAME"}}) {
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_create((dir_ + "/" + made.first).c_str(), 'C', made.second.c_str(), 30), XD_OK) << made.first;
    }
    std::ofstream(dir_ + "/PEOPLE.TXT") << "x";
    std::ofstream(dir_ + "/NOTNDX.ndx") << "not an index";
    IXbaseTableDescription* d = describe(dir_ + "/PEOPLE.DBF");
    ASSERT_NE(d, nullptr);
    auto* xd = static_cast<XbaseTableDescription*>(d);
    const int items = d->GetItemCount();
    struct Case {
        const char* file;
        const char* key;
        int options;
        uint32_t error;  // 0: succeeds
        int items_added;
    } cases[] = {
        {"PEOPLE.TXT", "", 0, 1058, 0},
        {"PEOPLE.cdx", "", 0, 1001, 0},  // a CDX by its extension, which is not there
        {"MISSING.NDX", "", 0, 1001, 0},
        {"NOTNDX.ndx", "", 0, 1001, 0},
        {"PEOPLE_UCITY.NDX", "CITY", 0, 1071, 0},  // an expression is no plain field
        {"MIXED.NDX", "", kAssociateAllTags, 1069, 0},
        {"GONE.NDX", "", kAssociateAllTags, 1070, 0},
        {"BAD.NDX", "", kAssociateAllTags, 1069, 0},
        {"GONE.NDX", "", 0, 0, 0},  // the tag is dropped, the file still associates
        {"PEOPLE_NAME.NDX", "", 0, 0, 0},
        {"PEOPLE_UCITY.NDX", "BYCITY", 0, 0, 1},
    };
    for (const Case& c : cases) {
        CXErrorHolder holder;
        int answer = associate_index(xd, w(dir_ + "/" + c.file), w(c.key), c.options, &holder);
        EXPECT_EQ(answer, c.error == 0 ? 1 : 0) << c.file;
        if (c.error) {
            EXPECT_EQ(holder.CurrentErrorId(), c.error) << c.file << ": " << u8(holder.CurrentMessage());
        }
        EXPECT_EQ(d->GetItemCount(), items + c.items_added) << c.file;
        if (c.items_added) {
            EXPECT_EQ(u8(d->GetItem(d->GetItemCount())->GetName()), "BYCITY");
        }
    }
    CXErrorHolder holder;
    associate_index(xd, w(dir_ + "/BAD.NDX"), u"", kAssociateAllTags, &holder);
    EXPECT_NE(u8(holder.CurrentMessage()).find("Il manque la parenthèse de droite"), std::string::npos)
        << u8(holder.CurrentMessage());
    associate_index(xd, w(dir_ + "/PEOPLE.TXT"), u"", 0, &holder);
    EXPECT_EQ(u8(holder.CurrentMessage()), "Le type du fichier index '" + dir_ + "/PEOPLE.TXT' n'est pas supporté.");
    d->Release();
}

}  // namespace
