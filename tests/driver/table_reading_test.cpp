// Reading through the driver as a host reads: key orders against the orders other
// programs recorded, records against the engine's dump, ranges and searches
// against a model, positions kept across other work and another process's
// appends, and the corners of reading (deleted records, OEM text, empty memos,
// counts, record numbers, the errors of a browse).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "driver/library.h"
#include "driver/library_state.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/index.h"
#include "engine/memo/memo.h"
#include "framework/codepage.h"
#include "framework/host_item_types.h"
#include "host/host_record.h"
#include "host/json_line.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/programs.h"
#include "tests/support/wide.h"

namespace {

const std::string kPeers = std::string(QXDB_TEST_DATA) + "/peers/";

HostItemValue text_value(const std::string& s) { return host_bytes_value(HV_TEXT, s.data(), s.size()); }
HostItemValue real_value(double d) { return host_real_value(d); }

// A table opened through the driver, with a host record bound to every field and
// a cursor on it.
struct Opened {
    IXbaseConnection* connection = nullptr;
    IXbaseTable* table = nullptr;
    HostRecordObject* record = nullptr;
    IXbaseCursor* cursor = nullptr;
    ~Opened() {
        if (cursor) cursor->Release();
        if (table) table->Release();
        if (record) record->Release();
        if (connection) connection->Release();
    }
    const HostRecordObject::Item& item(const std::string& name) const {
        for (const auto& i : record->Items())
            if (i.name == w(name)) return i;
        throw std::runtime_error("no item " + name);
    }
    std::string text(const std::string& name) const { return item(name).bytes; }
    uint32_t error() { return cursor->GetErrorHolder()->CurrentErrorId(); }
};

class ReadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        bExternalInitLibrary();
        driver_ = piQueryInterface(0);
        // The first connection that opens starts the engine, which the tests also
        // use directly to build their files.
        HostConnectionDescription cd{u"start", u".", u""};
        starter_ = driver_->CreateConnection(&cd);
        ASSERT_EQ(starter_->Open(), 1);
    }
    void TearDown() override {
        starter_->Release();
        driver_->Release();
        while (library().start_count > 0) ExternalTermLibrary();
        for (const std::string& d : dirs_) remove_temp_dir(d);
    }
    std::string temp_dir() {
        dirs_.push_back(make_temp_dir("reading"));
        return dirs_.back();
    }
    // Table `table` of `dir` opened through the library, with a record and a
    // cursor; false when the library refuses it.
    bool try_open(Opened* o, const std::string& dir, const std::string& table, bool oem_to_ansi = false) {
        std::u16string source = w(dir);
        HostConnectionDescription cd{u"main", source.c_str(), oem_to_ansi ? u"OEMTOANSI=WINDOWS" : u""};
        o->connection = driver_->CreateConnection(&cd);
        if (o->connection->Open() != 1) return false;
        o->table = driver_->OpenTableByName(o->connection, w(table).c_str());
        if (!o->table || o->table->Open() != 1) return false;
        o->record = new HostRecordObject();
        o->record->BindFields(o->table->GetDescription());
        o->table->AttachHostRecord(o->record);
        o->cursor = driver_->CreateCursor(o->table);
        return true;
    }
    void open(Opened* o, const std::string& dir, const std::string& table, bool oem_to_ansi = false) {
        ASSERT_TRUE(try_open(o, dir, table, oem_to_ansi)) << table;
    }
    // The same, with index file `index` attached as HDBIndex attaches it (`key`:
    // its key's name; empty for a CDX, whose tags name themselves).
    void open_attached(Opened* o, const std::string& dir, const std::string& table, const char16_t* index,
                       const char16_t* key) {
        open(o, dir, table);
        if (HasFatalFailure()) return;
        IXDriverProxy* proxy = pQueryProxy(191);
        EXPECT_EQ(proxy->AssociateIndex(u"main", w(table).c_str(), index, key), 1)
            << wide_to_utf8(proxy->GetDriverErrorHolder()->DumpText());
        proxy->Release();
    }
    // The record numbers of a whole browse.
    std::vector<int64_t> walk(Opened& o, const std::u16string& key, bool forward, const HostItemValue* from = nullptr,
                              const HostItemValue* to = nullptr) {
        std::vector<int64_t> out;
        int ok = o.cursor->BrowseRange(key.c_str(), forward ? kBrowseFirst : kBrowseLast, from, to, 0);
        if (key.empty()) ok = o.cursor->Browse(nullptr, forward ? kBrowseFirst : kBrowseLast, 0);
        while (ok && !o.cursor->IsEndOfData()) {
            out.push_back(o.cursor->GetRecordNumber());
            ok = o.cursor->Browse(key.c_str(), forward ? kBrowseNext : kBrowsePrevious, 0);
        }
        EXPECT_EQ(ok, 1) << wide_to_utf8(o.cursor->GetErrorHolder()->DumpText());
        return out;
    }
    IXbaseDriver* driver_ = nullptr;
    IXbaseConnection* starter_ = nullptr;
    std::vector<std::string> dirs_;
};

std::vector<int64_t> recorded_records(const std::string& listing) {
    std::vector<int64_t> out;
    std::ifstream in(listing);
    std::string line;
    while (std::getline(in, line)) out.push_back(strtoll(line.c_str(), nullptr, 10));
    return out;
}

TEST_F(ReadingTest, KeyOrderBothWaysIsTheOrderTheWriterRecorded) {
    const std::string dir = kPeers + "xbase64/dbase3";
    Opened o;
    open(&o, dir, "PEOPLE");
    // Plain-field keys carry the field's name; the others the index file's.
    const std::pair<const char*, const char*> keys[] = {{"NAME", "NAME"},       {"AGE", "AGE"},
                                                        {"BALANCE", "BALANCE"}, {"BORN", "BORN"},
                                                        {"SALARY", "SALARY"},   {"PEOPLE_CIT", "CITYBORN"},
                                                        {"PEOPLE_UCI", "UCITY"}};
    for (const auto& [key, tag] : keys) {
        std::vector<int64_t> expected = recorded_records(dir + "/PEOPLE." + tag + ".keys.tsv");
        ASSERT_FALSE(expected.empty()) << tag;
        EXPECT_EQ(walk(o, w(key), true), expected) << key;
        std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(walk(o, w(key), false), expected) << key;
    }
}

// A Clipper table with its NTX indexes (Harbour's): every key the directory gives
// browses in the order its writer recorded, both ways.
TEST_F(ReadingTest, NtxKeyOrderIsTheOrderTheWriterRecorded) {
    const std::string dir = kPeers + "harbour/clipper";
    Opened o;
    open(&o, dir, "people");
    const std::pair<const char*, const char*> keys[] = {{"NAME", "name"},       {"AGE", "age"},   {"SALARY", "salary"},
                                                        {"BALANCE", "balance"}, {"BORN", "born"}, {"CITY", "ucity"},
                                                        {"citybrn", "citybrn"}, {"agename", "agename"}};
    for (const auto& [key, bag] : keys) {
        std::vector<int64_t> expected = recorded_records(dir + "/" + bag + ".ntx.order.txt");
        ASSERT_FALSE(expected.empty()) << bag;
        EXPECT_EQ(walk(o, w(key), true), expected) << key;
        std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(walk(o, w(key), false), expected) << key;
    }
}

// Answers the seeks Harbour recorded in `seeks` (one JSON line each) through the
// library's search of `key`: numbers, dates, logicals and text, the first and the
// last of equal keys (the last is a backward range of one value). Soft seeks are
// left out: the host's searches are not soft. A number finer than the key's
// field (`decimals`, -1 for any) is left out too: the library seeks it as the
// field would store it, a program with binary keys seeks the number itself.
// Returns the seeks answered.
int answer_recorded_seeks(Opened& o, const char* key, const std::string& seeks, int decimals = -1) {
    std::ifstream in(seeks);
    std::string line;
    int checked = 0;
    while (std::getline(in, line)) {
        JsonObject j;
        EXPECT_TRUE(parse_json_object(line, &j)) << line;
        if (json_find(j, "soft")->flag) continue;
        const std::string type = json_find(j, "type")->text;
        const JsonValue* value = json_find(j, "value");
        const bool last = json_find(j, "last")->flag, found = json_find(j, "found")->flag;
        const int64_t recno = (int64_t)json_find(j, "recno")->number;
        std::string digits;
        HostItemValue v;
        if (type == "N") {
            if (decimals >= 0) {
                const double scaled = value->number * std::pow(10.0, decimals);
                if (std::fabs(scaled - std::round(scaled)) > 1e-6) continue;
            }
            v = real_value(value->number);
        } else if (type == "L") {
            v = host_integer_value(HV_BOOLEAN, value->flag ? 1 : 0);
        } else if (type == "D") {
            for (char c : value->text)
                if (c != '-') digits += c;
            if (digits.empty()) continue;  // the blank date is no host date
            v = host_bytes_value(HV_DATE, digits.data(), 8);
        } else {
            bool ascii = true;
            for (unsigned char c : value->text) ascii = ascii && c < 0x80;
            if (!ascii) continue;
            v = text_value(value->text);
        }
        SCOPED_TRACE(std::string(key) + ": " + line);
        // Text is sought as the program sought it: as a prefix of the key.
        const int options = type == "C" ? kSearchGeneric : 0;
        if (!last) {
            int outcome = -1;
            EXPECT_EQ(o.cursor->Search(w(key).c_str(), &v, options, &outcome), 1)
                << wide_to_utf8(o.cursor->GetErrorHolder()->DumpText());
            EXPECT_EQ(outcome == kSearchFound, found);
            if (found && outcome == kSearchFound) {
                EXPECT_EQ(o.cursor->GetRecordNumber(), recno);
            }
        } else {
            EXPECT_EQ(o.cursor->BrowseRange(w(key).c_str(), kBrowseLast, &v, &v, 0), 1);
            EXPECT_EQ(o.cursor->IsEndOfData() == 0, found);
            if (found && !o.cursor->IsEndOfData()) {
                EXPECT_EQ(o.cursor->GetRecordNumber(), recno);
            }
        }
        checked++;
    }
    return checked;
}

// Every recorded exact seek of Harbour's NTX files, answered through the library,
// the descending file attached by HDBIndex among them.
TEST_F(ReadingTest, NtxRecordedSeeksAreAnsweredThroughTheLibrary) {
    const std::string dir = kPeers + "harbour/clipper";
    Opened o;
    open_attached(&o, dir, "people", u"namedesc.ntx", u"NAMEDESC");
    if (HasFailure()) return;
    const std::pair<const char*, const char*> keys[] = {
        {"NAME", "name"}, {"AGE", "age"},         {"SALARY", "salary"},   {"BALANCE", "balance"},  {"BORN", "born"},
        {"CITY", "ucity"}, {"citybrn", "citybrn"}, {"agename", "agename"}, {"NAMEDESC", "namedesc"}};
    int checked = 0;
    for (const auto& [key, bag] : keys) checked += answer_recorded_seeks(o, key, dir + "/" + bag + ".ntx.seek.jsonl");
    EXPECT_GT(checked, 500);
}

// Harbour's FoxPro table with its structural CDX (found by the library) and a
// second CDX attached by HDBIndex: every tag is a key that browses both ways in
// the order Harbour recorded and answers Harbour's recorded seeks, the
// descending tag and the FOR tag among them.
TEST_F(ReadingTest, CdxTagsBrowseAndSeekAsHarbourRecordedThroughTheLibrary) {
    const std::string dir = kPeers + "harbour/foxpro";
    Opened o;
    open_attached(&o, dir, "people", u"extra.cdx", u"");
    if (HasFailure()) return;
    struct Tag {
        const char* tag;
        const char* bag;
        int decimals;  // of a numeric key's field
    };
    const Tag tags[] = {{"NAME", "people", -1},   {"CITYBORN", "people", -1}, {"AGE", "people", 0},
                        {"SALARY", "people", 2},  {"BALANCE", "people", 2},   {"BORN", "people", -1},
                        {"ACTIVE", "people", -1}, {"UCITY", "people", -1},    {"NAMEDESC", "extra", -1},
                        {"AGEACT", "extra", 0},   {"AGENAME", "extra", -1},   {"LNAME", "extra", -1}};
    int checked = 0;
    for (const auto& [tag, bag, decimals] : tags) {
        const std::string prefix = dir + "/" + bag + ".cdx." + tag;
        std::vector<int64_t> expected = recorded_records(prefix + ".order.txt");
        ASSERT_FALSE(expected.empty()) << tag;
        EXPECT_EQ(walk(o, w(tag), true), expected) << tag;
        std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(walk(o, w(tag), false), expected) << tag;
        checked += answer_recorded_seeks(o, tag, prefix + ".seek.jsonl", decimals);
    }
    EXPECT_GT(checked, 800);
}

// The real applications' FoxPro tables with their structural CDX: every tag the
// library offers as a key browses the table in the order the engine walks the tag
// (which the fixture tests hold to the writers' orders).
TEST_F(ReadingTest, RealApplicationsCdxTagsBrowseInTheTagsOrder) {
    namespace fs = std::filesystem;
    int tables = 0, keys = 0, long_keys = 0;
    for (const auto& e : fs::recursive_directory_iterator(std::string(QXDB_TEST_DATA) + "/real")) {
        std::string ext = e.path().extension().string();
        for (char& c : ext) c = (char)tolower((unsigned char)c);
        if (ext != ".cdx") continue;
        const fs::path dir = e.path().parent_path();
        const std::string stem = e.path().stem().string();
        if (!fs::exists(dir / (stem + ".dbf")) && !fs::exists(dir / (stem + ".DBF"))) continue;
        SCOPED_TRACE(e.path().string());
        // Tables the library refuses (a field type of no dialect its header
        // names, say) are other tests' business.
        Opened o;
        if (!try_open(&o, dir.string(), stem)) continue;
        tables++;
        IXbaseTableDescription* d = o.table->GetDescription();
        for (int i = 1; i <= d->GetItemCount(); i++) {  // items count from 1
            IXbaseItemDescription* item = d->GetItem(i);
            if (!item || item->GetKeyNumber() <= 0 || !item->GetIndexPath()) continue;
            const std::string index = wide_to_utf8(item->GetIndexPath());
            std::string lower = index;
            for (char& c : lower) c = (char)tolower((unsigned char)c);
            if (lower.size() < 4 || lower.substr(lower.size() - 4) != ".cdx") continue;
            const std::u16string key = item->GetName();
            SCOPED_TRACE(wide_to_utf8(key));
            // The engine's walk of the tag.
            std::vector<int64_t> engine_order;
            int16_t h = -1;
            xdb_set_status(XD_OK);
            ASSERT_EQ(IndexOpen(10, index.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &h), XD_OK);
            int32_t tag = -1;
            ASSERT_EQ(TagOpenNumber(10, h, (int16_t)item->GetTagNumber(), &tag), XD_OK);
            IndexAccess a{};
            a.type = 10;
            a.file_handle = (uint16_t)h;
            a.tag_handle = tag;
            IndexDescription desc;
            IndexDescribe(10, (int16_t)tag, &desc);
            a.key_length = (uint32_t)desc.key_length;
            a.key_type = desc.key_type;
            uint8_t k[kIndexKeyBuffer + 8] = {0};
            uint32_t recno = 0;
            for (XDSTATUS s = IndexFirst(&a, k, &recno); s == XD_OK; s = IndexNext(&a, k, &recno)) engine_order.push_back(recno);
            xdb_set_status(XD_OK);
            TagClose(10, tag);
            IndexClose(10, h);
            xdb_set_status(XD_OK);
            EXPECT_EQ(walk(o, key, true), engine_order);
            keys++;
            if (desc.key_length <= 100 || engine_order.size() < 10) continue;
            // A key longer than the host's saved position holds: the position is
            // found again from the record, and the browse goes on as it would have.
            long_keys++;
            ASSERT_EQ(o.cursor->Browse(key.c_str(), kBrowseFirst, 0), 1);
            for (int i = 0; i < 5; i++) ASSERT_EQ(o.cursor->Browse(key.c_str(), kBrowseNext, 0), 1);
            HostCursorPosition saved;
            ASSERT_EQ(o.cursor->SavePosition(&saved), 1);
            ASSERT_EQ(o.cursor->Browse(key.c_str(), kBrowseNext, 0), 1);
            const int64_t next = o.cursor->GetRecordNumber();
            ASSERT_EQ(o.cursor->Browse(key.c_str(), kBrowseLast, 0), 1);
            ASSERT_EQ(o.cursor->RestorePosition(&saved), 1) << wide_to_utf8(o.cursor->GetErrorHolder()->DumpText());
            EXPECT_EQ(o.cursor->GetRecordNumber(), engine_order[5]);
            ASSERT_EQ(o.cursor->Browse(key.c_str(), kBrowseNext, 0), 1) << wide_to_utf8(o.cursor->GetErrorHolder()->DumpText());
            EXPECT_EQ(o.cursor->GetRecordNumber(), next);
            EXPECT_EQ(next, engine_order[6]);
        }
    }
    EXPECT_GE(tables, 20);
    EXPECT_GE(keys, 40);
    EXPECT_GE(long_keys, 1);
}

// Every key value the other program listed for its NDX files, searched through the
// library: text, numbers and dates find the first record listed with that value,
// and a backward range of the one value its last.
TEST_F(ReadingTest, NdxRecordedKeysAreFoundThroughTheLibrary) {
    const std::string dir = kPeers + "xbase64/dbase3";
    Opened o;
    open(&o, dir, "PEOPLE");
    int checked = 0;
    for (const char* key : {"NAME", "AGE", "BALANCE", "BORN", "SALARY"}) {
        std::ifstream in(dir + "/PEOPLE." + key + ".keys.tsv");
        std::vector<std::pair<std::string, int64_t>> listed;  // value, record
        std::string line;
        while (std::getline(in, line)) {
            const size_t tab = line.find('\t');
            ASSERT_NE(tab, std::string::npos) << line;
            listed.emplace_back(line.substr(tab + 1), strtoll(line.c_str(), nullptr, 10));
        }
        ASSERT_FALSE(listed.empty()) << key;
        for (size_t i = 0; i < listed.size();) {
            size_t end = i;
            while (end < listed.size() && listed[end].first == listed[i].first) end++;
            const std::string& value = listed[i].first;
            const int64_t first = listed[i].second, last = listed[end - 1].second;
            i = end;
            bool ascii = !value.empty();
            for (unsigned char c : value) ascii = ascii && c < 0x80;
            if (!ascii) continue;  // the blank key and other code pages' letters
            HostItemValue v = std::string(key) == "NAME" ? text_value(value)
                              : std::string(key) == "BORN" ? host_bytes_value(HV_DATE, value.data(), 8)
                                                           : real_value(strtod(value.c_str(), nullptr));
            SCOPED_TRACE(std::string(key) + ": " + value);
            int outcome = -1;
            ASSERT_EQ(o.cursor->Search(w(key).c_str(), &v, std::string(key) == "NAME" ? kSearchGeneric : 0, &outcome), 1)
                << wide_to_utf8(o.cursor->GetErrorHolder()->DumpText());
            ASSERT_EQ(outcome, kSearchFound);
            EXPECT_EQ(o.cursor->GetRecordNumber(), first);
            ASSERT_EQ(o.cursor->BrowseRange(w(key).c_str(), kBrowseLast, &v, &v, 0), 1);
            ASSERT_FALSE(o.cursor->IsEndOfData());
            EXPECT_EQ(o.cursor->GetRecordNumber(), last);
            checked++;
        }
    }
    EXPECT_GT(checked, 800);
}

// ---- Records as the engine dumps them ----

std::vector<std::string> dump_lines(const std::string& file) {
    return lines_of(run_program({QXDB_CLI, "dump", "--format", "jsonl", file}, "", ProgramErrors::kDropped).out);
}

// The record as the command's writer puts it in a line (through a scratch file).
std::string jsonl_of(Opened& o, const std::string& scratch) {
    FILE* f = fopen(scratch.c_str(), "w+b");
    std::vector<std::string> names = {"recno", "deleted"};
    for (const auto& i : o.record->Items()) names.push_back(wide_to_utf8(i.name));
    {
        RecordWriter writer(f, RecordFormat::kJsonl, names, std::vector<size_t>(names.size(), 10));
        std::vector<Cell> cells = {Cell::number(std::to_string(o.cursor->GetRecordNumber())),
                                   Cell::boolean(o.record->GetStateWord() & 0x40)};
        for (const auto& i : o.record->Items()) cells.push_back(cell_of_item(i));
        writer.write(cells);
        writer.finish();
    }
    std::string line;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) line.append(buf, n);
    fclose(f);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

TEST_F(ReadingTest, EveryRecordReadsAsTheEngineDumpsIt) {
    struct Case {
        const char* dir;
        const char* table;
        const char* file;
        bool memos;
    };
    const Case cases[] = {{"xbase64/dbase3", "PEOPLE", "PEOPLE.DBF", true},
                          {"xbase64/dbase4", "PEOPLE", "PEOPLE.DBF", true},
                          {"harbour/clipper", "people", "people.dbf", true},
                          {"harbour/foxpro", "people", "people.dbf", true},
                          {"harbour/dbase3", "plain", "plain.dbf", false}};
    const std::string scratch = temp_dir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        Opened o;
        // The files' text is in code page 850: the system's OEM table makes it the
        // host's text as the dump decodes it.
        open(&o, kPeers + c.dir, c.table, true);
        std::vector<std::string> dump = dump_lines(kPeers + c.dir + "/" + c.file);
        ASSERT_FALSE(dump.empty());
        int deleted_seen = 0, memos_seen = 0;
        for (size_t n = 1; n <= dump.size(); n++) {
            int deleted = -1;
            ASSERT_EQ(o.cursor->Read((int64_t)n, 0, &deleted), 1) << n;
            JsonObject mine, theirs;
            ASSERT_TRUE(parse_json_object(jsonl_of(o, scratch + "/line.jsonl"), &mine));
            ASSERT_TRUE(parse_json_object(dump[n - 1], &theirs));
            ASSERT_EQ(mine.size(), theirs.size()) << dump[n - 1];
            deleted_seen += deleted;
            EXPECT_EQ(deleted == 1, json_find(theirs, "deleted")->flag) << n;
            for (size_t i = 2; i < mine.size(); i++) {
                const JsonValue& a = mine[i].second;
                const JsonValue& b = theirs[i].second;
                EXPECT_EQ(mine[i].first, theirs[i].first);
                // A memo field without a block: the dump shows no memo, the host an empty one.
                if (a.kind == JsonValue::kString && a.text.empty() && b.kind == JsonValue::kNull &&
                    o.item(mine[i].first).type == kItemTextMemo)
                    continue;
                if (o.item(mine[i].first).type == kItemTextMemo && !a.text.empty()) memos_seen++;
                EXPECT_EQ(a.kind, b.kind) << n << " " << mine[i].first;
                if (a.kind == JsonValue::kNumber) EXPECT_EQ(a.number, b.number) << n << " " << mine[i].first;
                else EXPECT_EQ(a.text, b.text) << n << " " << mine[i].first;
            }
        }
        EXPECT_GT(deleted_seen, 0);
        EXPECT_EQ(memos_seen > 0, c.memos);
    }
}

// ---- Ranges and searches against a model ----

struct ModelRow {
    std::string key;  // 6 characters, blank-padded
    double num;
    std::string day;  // yyyymmdd or blanks
    int64_t recno;
};

class ModelTable : public ReadingTest {
protected:
    void Build(unsigned seed, int count) {
        dir_ = temp_dir();
        std::mt19937 rng(seed);
        std::vector<std::string> records;
        for (int i = 0; i < count; i++) {
            ModelRow r;
            int length = (int)(rng() % 7);
            for (int k = 0; k < length; k++) r.key += "ABC"[rng() % 3];
            r.key.resize(6, ' ');
            r.num = (double)((int)(rng() % 41) - 20) / 2;
            char num[16];
            snprintf(num, sizeof num, "%6.1f", r.num);
            if (rng() % 5) {
                char day[16];
                snprintf(day, sizeof day, "%04d%02d%02d", 1990 + (int)(rng() % 40), 1 + (int)(rng() % 12),
                         1 + (int)(rng() % 28));
                r.day = day;
            } else {
                r.day = "        ";
            }
            r.recno = i + 1;
            rows_.push_back(r);
            records.push_back(r.key + num + r.day);
        }
        build_dbf(0x03, {{"KEY", 'C', 6}, {"NUM", 'N', 6, 1}, {"DAY", 'D', 8}}, records).write(dir_ + "/T.dbf");
        int16_t h = -1;
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_open(&h, (dir_ + "/T.dbf").c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
        ASSERT_EQ(IndexRebuild(1, h, (dir_ + "/KEY.ndx").c_str(), "KEY", 'C', 6, 0, nullptr), XD_OK);
        ASSERT_EQ(IndexRebuild(1, h, (dir_ + "/NUM.ndx").c_str(), "NUM", 'N', 8, 0, nullptr), XD_OK);
        ASSERT_EQ(IndexRebuild(1, h, (dir_ + "/DAY.ndx").c_str(), "DAY", 'D', 8, 0, nullptr), XD_OK);
        dbf_close(h);
        xdb_set_status(XD_OK);
    }
    // The model's rows in the order of the text key (equal keys by record number).
    std::vector<ModelRow> by_key() const {
        std::vector<ModelRow> v = rows_;
        std::stable_sort(v.begin(), v.end(), [](const ModelRow& a, const ModelRow& b) {
            int c = xdb_compare_keys(a.key.data(), b.key.data(), 6);
            return c != 0 ? c < 0 : a.recno < b.recno;
        });
        return v;
    }
    // A browse's rows as (key, record) with equal keys' records sorted, so that
    // the order among equal keys (the index's business) does not matter.
    static std::vector<std::pair<std::string, int64_t>> keyed(const std::vector<int64_t>& recnos,
                                                              const std::vector<ModelRow>& rows) {
        std::vector<std::pair<std::string, int64_t>> out;
        for (int64_t r : recnos) out.push_back({rows[(size_t)r - 1].key, r});
        for (size_t i = 0; i < out.size();) {
            size_t j = i;
            while (j < out.size() && out[j].first == out[i].first) j++;
            std::sort(out.begin() + (long)i, out.begin() + (long)j);
            i = j;
        }
        return out;
    }
    std::string dir_;
    std::vector<ModelRow> rows_;
};

std::string random_text(std::mt19937& rng, const char* alphabet, int max_length) {
    std::string s;
    int n = (int)(rng() % (unsigned)(max_length + 1));
    for (int i = 0; i < n; i++) s += alphabet[rng() % strlen(alphabet)];
    return s;
}

TEST_F(ModelTable, TextRangesBothWaysAndTheirCounts) {
    Build(7, 400);
    Opened o;
    open(&o, dir_, "T");
    std::mt19937 rng(11);
    const std::vector<ModelRow> sorted = by_key();
    for (int round = 0; round < 60; round++) {
        // Bounds: prefixes that exist, that do not, before every key ("0"), after
        // every key ("D"), or none.
        std::string from = random_text(rng, "ABC0D", 3), to = random_text(rng, "ABCD", 3);
        bool has_from = rng() % 4 != 0, has_to = rng() % 4 != 0;
        if (from.empty()) has_from = false;
        if (to.empty()) has_to = false;
        SCOPED_TRACE((has_from ? from : "-") + " .. " + (has_to ? to : "-"));
        std::vector<std::pair<std::string, int64_t>> expected;
        for (const ModelRow& r : sorted) {
            if (has_from && xdb_compare_keys(r.key.data(), from.data(), from.size()) < 0) continue;
            if (has_to && xdb_compare_keys(r.key.data(), to.data(), to.size()) > 0) continue;
            expected.push_back({r.key, r.recno});
        }
        HostItemValue f = text_value(from), t = text_value(to);
        std::vector<int64_t> forward = walk(o, u"KEY", true, has_from ? &f : nullptr, has_to ? &t : nullptr);
        std::vector<int64_t> expected_records;
        for (const auto& e : expected) expected_records.push_back(e.second);
        EXPECT_EQ(keyed(forward, rows_), keyed(expected_records, rows_));
        std::vector<int64_t> backward = walk(o, u"KEY", false, has_from ? &f : nullptr, has_to ? &t : nullptr);
        std::reverse(backward.begin(), backward.end());
        EXPECT_EQ(backward, forward);
        int64_t count = -1;
        ASSERT_EQ(o.cursor->BrowseRange(u"KEY", kBrowseFirst, has_from ? &f : nullptr, has_to ? &t : nullptr, 0), 1);
        ASSERT_EQ(o.cursor->Count(&count, kCountRange), 1);
        EXPECT_EQ(count, (int64_t)expected.size());
    }
}

TEST_F(ModelTable, NumericAndDateRanges) {
    Build(3, 300);
    Opened o;
    open(&o, dir_, "T");
    std::mt19937 rng(5);
    for (int round = 0; round < 40; round++) {
        double a = (double)((int)(rng() % 50) - 25) / 2, b = (double)((int)(rng() % 50) - 25) / 2;
        std::vector<int64_t> expected;
        for (const ModelRow& r : rows_)
            if (r.num >= a && r.num <= b) expected.push_back(r.recno);
        HostItemValue f = real_value(a), t = real_value(b);
        std::vector<int64_t> got = walk(o, u"NUM", true, &f, &t);
        double last = -1e9;
        for (int64_t r : got) {
            EXPECT_GE(rows_[(size_t)r - 1].num, last);
            last = rows_[(size_t)r - 1].num;
        }
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, expected) << a << " .. " << b;
    }
    // Dates: from 2000-01-01 to 2009-12-31, blank dates outside.
    std::string from = "20000101", to = "20091231";
    HostItemValue f, t;
    f.type = t.type = HV_DATE;
    f.bytes = from.data(), f.length = 8;
    t.bytes = to.data(), t.length = 8;
    std::vector<int64_t> got = walk(o, u"DAY", true, &f, &t), expected;
    for (const ModelRow& r : rows_)
        if (r.day >= from && r.day <= to && r.day[0] != ' ') expected.push_back(r.recno);
    std::string previous;
    for (int64_t r : got) {
        EXPECT_GE(rows_[(size_t)r - 1].day, previous);
        previous = rows_[(size_t)r - 1].day;
        EXPECT_EQ(o.record->Items().size(), 3u);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
}

TEST_F(ModelTable, SearchesExactAndGenericAgainstTheModel) {
    Build(21, 300);
    Opened o;
    open(&o, dir_, "T");
    const std::vector<ModelRow> sorted = by_key();
    std::mt19937 rng(9);
    for (int round = 0; round < 200; round++) {
        const bool generic = round % 2;
        std::string value = random_text(rng, round % 7 == 0 ? "0D" : "ABC", 5);
        if (value.empty()) value = "A";
        SCOPED_TRACE(value + (generic ? " (generic)" : ""));
        // The model's answer: the first key (in key order) that equals the value,
        // or begins with it.
        std::string padded = value;
        padded.resize(6, ' ');
        const ModelRow* first_match = nullptr;
        const ModelRow* first_after = nullptr;
        for (const ModelRow& r : sorted) {
            bool match = generic ? xdb_compare_keys(r.key.data(), value.data(), value.size()) == 0
                                 : xdb_compare_keys(r.key.data(), padded.data(), 6) == 0;
            if (match && !first_match) first_match = &r;
            if (!first_after && xdb_compare_keys(r.key.data(), padded.data(), generic ? value.size() : 6) > 0)
                first_after = &r;
        }
        HostItemValue v = text_value(value);
        int outcome = -1;
        ASSERT_EQ(o.cursor->Search(u"KEY", &v, generic ? kSearchGeneric : 0, &outcome), 1);
        if (first_match) {
            ASSERT_EQ(outcome, kSearchFound);
            EXPECT_EQ(o.text("KEY"), first_match->key.substr(0, 6));
            EXPECT_EQ(xdb_compare_keys(o.text("KEY").data(), first_match->key.data(), 6), 0);
            continue;
        }
        ASSERT_NE(outcome, kSearchFound);
        // Not found: the browse goes on from the value's place.
        if (outcome == kSearchNotFoundAtFirst) {
            ASSERT_EQ(o.cursor->Browse(u"KEY", kBrowseCurrent, 0), 1);
            ASSERT_EQ(first_after, &sorted.front());
        } else {
            ASSERT_EQ(outcome, kSearchNotFound);
            ASSERT_EQ(o.cursor->Browse(u"KEY", kBrowseNext, 0), 1);
        }
        if (!first_after) {
            EXPECT_EQ(o.cursor->IsEndOfData(), 1);
        } else {
            ASSERT_EQ(o.cursor->IsEndOfData(), 0);
            EXPECT_EQ(o.text("KEY"), first_after->key);
        }
    }
    // Numbers and dates are found by value.
    for (int i = 0; i < 30; i++) {
        const ModelRow& r = rows_[(size_t)(rng() % rows_.size())];
        HostItemValue v = real_value(r.num);
        int outcome = -1;
        ASSERT_EQ(o.cursor->Search(u"NUM", &v, 0, &outcome), 1);
        ASSERT_EQ(outcome, kSearchFound);
        EXPECT_EQ(o.item("NUM").bytes, [&] {
            char b[16];
            snprintf(b, sizeof b, "%.1f", r.num);
            return std::string(b);
        }());
        if (r.day[0] == ' ') continue;
        HostItemValue d;
        d.type = HV_DATE;
        d.bytes = r.day.data();
        d.length = 8;
        ASSERT_EQ(o.cursor->Search(u"DAY", &d, 0, &outcome), 1);
        ASSERT_EQ(outcome, kSearchFound);
        EXPECT_EQ(o.item("DAY").bytes, r.day);
    }
}

TEST_F(ModelTable, SavedPositionSurvivesOtherWorkAndAnotherProcesssAppends) {
    Build(4, 120);
    Opened o;
    open(&o, dir_, "T");
    const std::vector<ModelRow> sorted = by_key();
    ASSERT_EQ(o.cursor->Browse(u"KEY", kBrowseFirst, 0), 1);
    for (int i = 0; i < 40; i++) ASSERT_EQ(o.cursor->Browse(u"KEY", kBrowseNext, 0), 1);
    const int64_t saved_record = o.cursor->GetRecordNumber();
    const std::string saved_key = o.text("KEY");
    HostCursorPosition position;
    ASSERT_EQ(o.cursor->SavePosition(&position), 1);

    // Other browses and reads on the same cursor, another cursor on the table.
    ASSERT_EQ(o.cursor->Browse(nullptr, kBrowseLast, 0), 1);
    int outcome;
    HostItemValue v = real_value(3);
    ASSERT_EQ(o.cursor->Search(u"NUM", &v, 0, &outcome), 1);
    ASSERT_EQ(o.cursor->Read(7, 0, nullptr), 1);
    ASSERT_EQ(o.cursor->Browse(u"KEY", kBrowseLast, 0), 1);
    IXbaseCursor* other = driver_->CreateCursor(o.table);
    ASSERT_EQ(other->Browse(u"DAY", kBrowseFirst, 0), 1);
    other->Release();

    // Another process appends to the table.
    {
        std::ofstream in(dir_ + "/five.jsonl", std::ios::binary);
        for (int i = 0; i < 5; i++) in << "{\"KEY\": \"AB\", \"NUM\": 1.5, \"DAY\": null}\n";
    }
    ProgramResult appended = run_program({QXDB_CLI, "append", "--ignore-indexes", dir_ + "/T.dbf"}, dir_ + "/five.jsonl");
    ASSERT_EQ(appended.code, 0) << appended.out;
    int64_t count = 0;
    ASSERT_EQ(o.cursor->Count(&count, kCountAll), 1);
    EXPECT_EQ(count, 125);  // the count is read from the file again

    ASSERT_EQ(o.cursor->RestorePosition(&position), 1);
    EXPECT_EQ(o.cursor->GetRecordNumber(), saved_record);
    EXPECT_EQ(o.text("KEY"), saved_key);
    // The browse goes on after the saved key.
    ASSERT_EQ(o.cursor->Browse(u"KEY", kBrowseNext, 0), 1);
    size_t at = 0;
    while (sorted[at].recno != saved_record) at++;
    ASSERT_LT(at + 1, sorted.size());
    EXPECT_EQ(xdb_compare_keys(o.text("KEY").data(), saved_key.data(), 6) >= 0, true);
    EXPECT_NE(o.cursor->GetRecordNumber(), saved_record);
    // Walking on from there visits exactly the keys after the saved one.
    std::vector<int64_t> rest = {o.cursor->GetRecordNumber()};
    while (o.cursor->Browse(u"KEY", kBrowseNext, 0) && !o.cursor->IsEndOfData()) rest.push_back(o.cursor->GetRecordNumber());
    EXPECT_EQ(rest.size(), sorted.size() - at - 1);
}

// ---- The corners of reading ----

class ReadingCorners : public ReadingTest {
protected:
    // Ten records, 1, 2 and 7 deleted; NAME holds the OEM bytes 0x82 and 0xE1.
    void SetUp() override {
        ReadingTest::SetUp();
        dir_ = temp_dir();
        std::vector<std::string> records;
        for (int i = 1; i <= 10; i++) {
            char r[64];
            snprintf(r, sizeof r, "%sN%02d\x82\xE1     %3d          ", (i == 1 || i == 2 || i == 7) ? "*" : "", i, i);
            records.push_back(r);
        }
        build_dbf(0x83, {{"NAME", 'C', 10}, {"N", 'N', 3}, {"NOTES", 'M', 10}}, records).write(dir_ + "/C.dbf");
        int16_t h = -1;
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_open(&h, (dir_ + "/C.dbf").c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
        ASSERT_EQ(IndexRebuild(1, h, (dir_ + "/N.ndx").c_str(), "N", 'N', 8, 0, nullptr), XD_OK);
        // One key for every record: the record number alone orders them.
        ASSERT_EQ(IndexRebuild(1, h, (dir_ + "/SAME.ndx").c_str(), "LEFT(NAME,1)", 'C', 1, 0, nullptr), XD_OK);
        dbf_close(h);
        build_dbf(0x03, {{"NAME", 'C', 10}}).write(dir_ + "/E.dbf");
    }
    std::string dir_;
};

TEST_F(ReadingCorners, DeletedRecordsAndPhysicalBrowse) {
    Opened o;
    open(&o, dir_, "C");
    int deleted = -1;
    ASSERT_EQ(o.cursor->Read(1, 0, &deleted), 1);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(o.record->GetStateWord(), 0x40);
    // Records 1 and 2 are deleted: the browse starts at 3.
    ASSERT_EQ(o.cursor->Browse(nullptr, kBrowseFirst, 0), 1);
    EXPECT_EQ(o.cursor->GetRecordNumber(), 3);
    EXPECT_EQ(o.record->GetStateWord(), 0);
    EXPECT_EQ(walk(o, u"", true), (std::vector<int64_t>{3, 4, 5, 6, 8, 9, 10}));
    EXPECT_EQ(walk(o, u"", false), (std::vector<int64_t>{10, 9, 8, 6, 5, 4, 3}));
    // Previous from record 1 ends at once.
    ASSERT_EQ(o.cursor->Read(1, 0, nullptr), 1);
    ASSERT_EQ(o.cursor->Browse(nullptr, kBrowsePrevious, 0), 1);
    EXPECT_EQ(o.cursor->IsEndOfData(), 1);
    // Current re-reads the current record, deleted or not.
    ASSERT_EQ(o.cursor->Read(7, 0, nullptr), 1);
    ASSERT_EQ(o.cursor->Browse(nullptr, kBrowseCurrent, 0), 1);
    EXPECT_EQ(o.cursor->GetRecordNumber(), 7);
    EXPECT_EQ(o.record->GetStateWord(), 0x40);
    // The key order shows deleted records as such.
    std::vector<int64_t> by_n = walk(o, u"N", true);
    EXPECT_EQ(by_n.size(), 10u);
    // Counts: the deleted records, or the whole table.
    int64_t count = -1;
    ASSERT_EQ(o.cursor->Count(&count, 0), 1);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(o.cursor->Count(&count, kCountAll), 1);
    EXPECT_EQ(count, 10);
    ASSERT_EQ(o.table->CountRecords(&count), 1);
    EXPECT_EQ(count, 10);
}

TEST_F(ReadingCorners, OemTextEmptyMemosAndRecordNumbers) {
    {
        Opened o;
        open(&o, dir_, "C");
        ASSERT_EQ(o.cursor->Read(3, 0, nullptr), 1);
        // Without OEMTOANSI only the fifteen letters change: 0x82 is é, 0xE1 stays.
        EXPECT_EQ(o.text("NAME"), std::string("N03\xE9\xE1     "));
        // A memo field without a block is an empty memo.
        EXPECT_EQ(o.item("NOTES").value_type, HV_TEXT);
        EXPECT_EQ(o.text("NOTES"), "");
        EXPECT_EQ(o.item("N").value_type, HV_INT32);
        EXPECT_EQ(o.item("N").integer, 3);
        EXPECT_EQ(o.table->ValidateRecordNumber(2147483646), 1);
        EXPECT_EQ(o.table->ValidateRecordNumber(2147483647), 0);
        EXPECT_EQ(o.table->GetErrorHolder()->CurrentErrorId(), 1060u);
        EXPECT_EQ(o.table->ValidateRecordNumber(0), 0);
        // Beyond the last record: no record, end of data, no error.
        ASSERT_EQ(o.cursor->Read(11, 0, nullptr), 1);
        EXPECT_EQ(o.cursor->IsEndOfData(), 1);
        EXPECT_EQ(o.cursor->GetRecordNumber(), 3);
    }
    {
        // With it, the system's whole table: 0xE1 is ß.
        Opened o;
        open(&o, dir_, "C", true);
        ASSERT_EQ(o.cursor->Read(3, 0, nullptr), 1);
        EXPECT_EQ(o.text("NAME"), std::string("N03\xE9\xDF     "));
    }
    {
        // Record 0 of an empty file: no record, end of data.
        Opened o;
        open(&o, dir_, "E");
        ASSERT_EQ(o.cursor->Read(0, 0, nullptr), 1);
        EXPECT_EQ(o.cursor->IsEndOfData(), 1);
        ASSERT_EQ(o.cursor->Browse(nullptr, kBrowseFirst, 0), 1);
        EXPECT_EQ(o.cursor->IsEndOfData(), 1);
        ASSERT_EQ(o.cursor->Browse(nullptr, kBrowseLast, 0), 1);
        EXPECT_EQ(o.cursor->IsEndOfData(), 1);
    }
}

TEST_F(ReadingCorners, BrowseErrorsFiltersAndChangingTheKey) {
    Opened o;
    open(&o, dir_, "C");
    // Next on a key before any browse of it started.
    EXPECT_EQ(o.cursor->Browse(u"N", kBrowseNext, 0), 0);
    EXPECT_EQ(o.error(), 1042u);
    EXPECT_EQ(o.cursor->Browse(u"NAME", kBrowseFirst, 0), 0);  // a field, but no key
    EXPECT_EQ(o.error(), 1018u);
    EXPECT_EQ(o.cursor->Browse(u"NOPE", kBrowseFirst, 0), 0);
    EXPECT_EQ(o.error(), 1023u);
    EXPECT_EQ(o.cursor->ChangeBrowseKey(u"N"), 0);  // no current record yet
    EXPECT_EQ(o.error(), 1029u);

    // Changing the key positions its index on the current record.
    ASSERT_EQ(o.cursor->Read(5, 0, nullptr), 1);
    ASSERT_EQ(o.cursor->ChangeBrowseKey(u"N"), 1);
    ASSERT_EQ(o.cursor->Browse(u"N", kBrowseNext, 0), 1);
    EXPECT_EQ(o.cursor->GetRecordNumber(), 6);
    ASSERT_EQ(o.cursor->Browse(u"N", kBrowsePrevious, 0), 1);
    ASSERT_EQ(o.cursor->Browse(u"N", kBrowsePrevious, 0), 1);
    EXPECT_EQ(o.cursor->GetRecordNumber(), 4);
    // Among equal keys, on the current record itself (not the first of its key).
    for (int64_t at : {5, 8, 10}) {
        ASSERT_EQ(o.cursor->Read(at, 0, nullptr), 1);
        ASSERT_EQ(o.cursor->ChangeBrowseKey(u"SAME"), 1) << o.error();
        ASSERT_EQ(o.cursor->Browse(u"SAME", kBrowseNext, 0), 1);
        EXPECT_EQ(o.cursor->IsEndOfData() ? 0 : o.cursor->GetRecordNumber(), at == 10 ? 0 : at == 5 ? 6 : 9) << at;
        ASSERT_EQ(o.cursor->Read(at, 0, nullptr), 1);
        ASSERT_EQ(o.cursor->ChangeBrowseKey(u"SAME"), 1);
        ASSERT_EQ(o.cursor->Browse(u"SAME", kBrowsePrevious, 0), 1);
        EXPECT_EQ(o.cursor->GetRecordNumber(), at - 1) << at;  // the key order shows deleted records too
    }

    // The host's filter: skipped in physical order, the end of a key browse.
    struct EvenOnly : IHostRecordFilter {
        HostRecordObject* record;
        int Accepts(IHostRecord*) override {
            for (const auto& i : record->Items())
                if (i.name == u"N") return i.integer % 2 == 0;
            return 0;
        }
    } even;
    even.record = o.record;
    o.cursor->SetFilter(&even);
    EXPECT_EQ(walk(o, u"", true), (std::vector<int64_t>{4, 6, 8, 10}));
    EXPECT_EQ(walk(o, u"N", true), (std::vector<int64_t>{}));  // key 1 is rejected: the browse ends there
    o.cursor->SetFilter(nullptr);

    // A closed table is not readable.
    ASSERT_EQ(o.table->Close(), 1);
    EXPECT_EQ(o.cursor->Read(1, 0, nullptr), 0);
    EXPECT_EQ(o.error(), 1014u);
}

}  // namespace

namespace {

TEST_F(ReadingTest, MemosReadAsTextOrAsBytesAndTheTablesOwnOperations) {
    const std::string dir = temp_dir();
    // A FoxPro table whose memo holds bytes with zeros and OEM letters.
    const std::string memo_bytes("ab\0\x82\x01z", 6);
    ASSERT_EQ(fpt_create((dir + "/M.fpt").c_str(), 64), XD_OK);
    int16_t m = -1;
    ASSERT_EQ(fpt_open(&m, (dir + "/M.fpt").c_str(), XDB_OPEN_SHORTHAND), XD_OK);
    uint32_t block = 0;
    ASSERT_EQ(fpt_write(m, memo_bytes.data(), (uint32_t)memo_bytes.size(), &block), XD_OK);
    fpt_close(m);
    char record[32];
    snprintf(record, sizeof record, "one %10u", block);
    build_dbf(0xF5, {{"NAME", 'C', 4}, {"NOTES", 'M', 10}}, {record, "two           "}).write(dir + "/M.dbf");
    Opened o;
    std::u16string source = w(dir);
    HostConnectionDescription cd{u"m", source.c_str(), u""};
    o.connection = driver_->CreateConnection(&cd);
    ASSERT_EQ(o.connection->Open(), 1);
    o.table = driver_->OpenTableByName(o.connection, u"M");
    ASSERT_NE(o.table, nullptr);
    ASSERT_EQ(o.table->Open(), 1);
    // The host binds the memo twice: as text and as bytes.
    o.record = new HostRecordObject();
    o.record->Bind(u"NAME", kItemText, 4);
    o.record->Bind(u"NOTES", kItemTextMemo, 0);
    o.record->Bind(u"NOTES", kItemBinaryMemo, 0);
    o.table->AttachHostRecord(o.record);
    o.cursor = driver_->CreateCursor(o.table);
    ASSERT_EQ(o.cursor->Read(1, 0, nullptr), 1);
    EXPECT_EQ(o.record->Items()[1].value_type, HV_TEXT);
    EXPECT_EQ(o.record->Items()[1].bytes, "ab");  // text ends at its first zero
    EXPECT_EQ(o.record->Items()[2].value_type, HV_BYTES);
    EXPECT_EQ(o.record->Items()[2].bytes, memo_bytes);  // bytes stay as stored
    ASSERT_EQ(o.cursor->Read(2, 0, nullptr), 1);
    EXPECT_EQ(o.record->Items()[1].bytes, "");
    EXPECT_EQ(o.record->Items()[2].bytes, "");

    // The table's own operations: by number, the current record, counts, a
    // browse for a cursor of another table refused.
    ASSERT_EQ(o.table->GoToRecord(1), 1);
    int64_t current = 0, count = 0;
    ASSERT_EQ(o.table->CurrentRecordNumber(&current), 1);
    EXPECT_EQ(current, 1);
    EXPECT_EQ(o.record->Items()[0].bytes, "one ");
    ASSERT_EQ(o.table->ReadCurrentRecord(), 1);
    ASSERT_EQ(o.table->CountRecords(&count), 1);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(o.table->Browse(o.cursor, nullptr, kBrowseLast, 0), 1);
    EXPECT_EQ(o.cursor->GetRecordNumber(), 2);
    IXbaseCursor* stray = driver_->CreateCursor(nullptr);
    EXPECT_EQ(o.table->Browse(stray, nullptr, kBrowseFirst, 0), 0);
    EXPECT_EQ(stray->Browse(nullptr, kBrowseFirst, 0), 0);
    EXPECT_EQ(stray->GetErrorHolder()->CurrentErrorId(), 1005u);
    stray->Release();
    // A memo file that is gone: error 1019 for the record, the others still read.
    o.table->Close();
    ASSERT_EQ(remove((dir + "/M.fpt").c_str()), 0);
    ASSERT_EQ(o.table->Open(), 1);
    EXPECT_EQ(o.cursor->Read(1, 0, nullptr), 0);
    EXPECT_EQ(o.error(), 1019u);
    EXPECT_EQ(o.cursor->Read(2, 0, nullptr), 1);
}

}  // namespace
