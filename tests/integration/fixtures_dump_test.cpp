// Tables written by other programs: `qxdb dump` of every DBF in tests/data must
// give what an independent reader recorded beside it (BASE.records.jsonl), field
// for field, and no file may crash or hang the command.
//
// Where the engine's rules and the other reader differ, the engine's rules win; each
// such file is listed in kDifferences with the reason, and the list is checked both
// ways (a listed file that no longer differs fails too).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "host/json_line.h"
#include "tests/support/programs.h"

namespace fs = std::filesystem;

namespace {

// Files whose dump differs from the other reader's record, and why.
const std::map<std::string, std::string> kDifferences = {
    // Files the engine refuses by its rules (the command reports the status).
    {"real/dbase-rs/contain_none_float.dbf", "F fields of length 50: XD_BADFIELDSIZE"},
    {"real/dbd-xbase/types.dbf", "T and Y fields in a 0x03 table: XD_BADVERSION"},
    {"real/dbffile-node/dbase_currency.dbf", "Visual FoxPro N field longer than 19: XD_BADFIELDSIZE"},
    {"real/php-xbase/foxpro/Foxpro2.dbf", "G field outside Visual FoxPro: refused in every variant"},
    {"real/sci-clipper/emp0001/lista.dbf", "'+' (autoincrement) field outside Visual FoxPro: XD_BADFIELDTYPE"},
    {"real/sci-clipper/emp0001/nota.dbf", "'+' (autoincrement) field outside Visual FoxPro: XD_BADFIELDTYPE"},
    {"real/dbase-rs/stations_with_deleted.dbf", "header record length 1016, fields sum to 1017: XD_BADRECSIZE"},
    // The header counts 15 records, the file holds 10: record 11 is a read error.
    {"real/infused-dbf/dbase_8b_incorrect_record_count.dbf", "record 11 beyond the file: XD_READERR"},
    // Varchar values: the engine honours the length byte that _NullFlags marks; the
    // other reader shows the whole field.
    {"real/infused-dbf/dbase_32.dbf", "V length byte honoured"},
    {"real/xtet2008-foxpro/VF9_Table.dbf", "V length byte honoured"},
    {"real/javadbf/bug-56-index-out-of-bounds/56-testdata.dbf", "V length byte honoured"},
    // Field names are upper-cased byte by byte (ASCII letters only); the other reader
    // upper-cases the decoded characters, accented ones included.
    {"real/dbffile-node/dbase_not_latin1.dbf", "names upper-cased as bytes"},
    {"real/infused-dbf/dbase_03_cyrillic.dbf", "names upper-cased as bytes"},
    // Bytes a code page leaves unassigned read as the platform reads them (0x81 in
    // 1252 is U+0081), so they survive a round trip; the other reader gives U+FFFD.
    {"real/dbase-rs/cp850.dbf", "unassigned code page bytes kept as C1 controls"},
    // The memo file is missing from the set: the memo values cannot be read, the
    // dump says so and ends with exit status 1.
    {"real/buh62/key.DBF", "memo file missing: exit 1"},
    {"real/javadbf/books.dbf", "memo file missing: exit 1"},
    {"real/javadbf/bug-49/student.dbf", "memo file missing: exit 1"},
    // A C value is text up to its first byte 0; the other reader keeps the NULs.
    {"real/fortuna/pdv_pend.dbf", "C fields of NUL bytes read as empty text"},
    // A memo field without a block (blank or 0) has no memo: null in the dump; the
    // other reader shows "" for these DBT and FPT files.
    {"peers/harbour/clipper/people.dbf", "memo fields without a block: null, not \"\""},
    {"peers/harbour/foxpro/people.dbf", "memo fields without a block: null, not \"\""},
    {"peers/xbase64/dbase3/PEOPLE.DBF", "memo fields without a block: null, not \"\""},
    {"peers/xbase64/dbase4/PEOPLE.DBF", "memo fields without a block: null, not \"\""},
    // A dBASE IV memo's length word counts its 8-byte block header; the other reader
    // reads that many bytes after the header (padding included).
    {"real/infused-dbf/dbase_8b.dbf", "dBASE IV memo length includes the block header"},
    {"real/php-xbase/dBase/dBaseIV.dbf", "dBASE IV memo length includes the block header"},
    // A dBASE III memo ends within 128 blocks (64 KiB); this one is 86142 bytes long
    // and reads as XD_BADFIELDSIZE.
    {"real/xharbour/xHDN/language_articles.dbf", "memo beyond 128 blocks: XD_BADFIELDSIZE"},
    // The record of the other reader does not match the file: POINT_ID holds
    // " 0507121" in its bytes, the record says 401.
    {"real/infused-dbf/dbase_03.dbf", "recorded values differ from the file's bytes"},
};

struct RunResult {
    int exit_code = -1;  // -1: killed by a signal
    std::vector<std::string> lines;
};

RunResult run_dump(const fs::path& file) {
    ProgramResult run = run_program({QXDB_CLI, "dump", "--format", "jsonl", file.string()}, "", ProgramErrors::kDropped);
    RunResult r;
    r.exit_code = run.code;
    for (std::string& line : lines_of(run.out))
        if (!line.empty()) r.lines.push_back(std::move(line));
    return r;
}

std::vector<std::string> read_lines(const fs::path& p) {
    std::vector<std::string> out;
    std::ifstream in(p);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

// Field name -> type letter, as the engine opens the file.
std::map<std::string, char> field_types(const fs::path& file) {
    std::map<std::string, char> types;
    xdbinit();
    for (int row = 0; row < kXbaseVariantCount; row++) {
        xdb_set_status(XD_OK);
        int16_t h;
        if (dbf_open(&h, file.string().c_str(), (uint16_t)(XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | kXbaseVariants[row].code)) < 0)
            continue;
        uint16_t n = 0, largest = 0;
        dbf_field_count(h, &n);
        std::vector<DbfFieldInfo> f(n);
        dbf_describe_fields(h, &largest, f.data());
        for (const auto& fi : f) types[fi.name] = fi.type;
        break;
    }
    xdbterm();
    return types;
}

bool same(const JsonValue& a, const JsonValue& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case JsonValue::kNull: return true;
    case JsonValue::kBool: return a.flag == b.flag;
    case JsonValue::kNumber: return std::fabs(a.number - b.number) <= 1e-9 * std::max(1.0, std::fabs(b.number));
    case JsonValue::kString: return a.text == b.text;
    }
    return false;
}

std::string show(const JsonValue& v) {
    switch (v.kind) {
    case JsonValue::kNull: return "null";
    case JsonValue::kBool: return v.flag ? "true" : "false";
    case JsonValue::kNumber: return std::to_string(v.number);
    case JsonValue::kString: return "\"" + v.text + "\"";
    }
    return "";
}

// Differences between our dump and the recorded records; empty when they agree.
std::vector<std::string> compare(const fs::path& file, const RunResult& ours, const std::vector<std::string>& want) {
    std::vector<std::string> diffs;
    if (ours.exit_code != 0) {
        diffs.push_back("dump failed with exit code " + std::to_string(ours.exit_code));
        return diffs;
    }
    if (ours.lines.size() != want.size())
        diffs.push_back("record count " + std::to_string(ours.lines.size()) + " instead of " + std::to_string(want.size()));
    // Names in the dump are decoded from the file's code page; map by the
    // engine's names in the same order.
    std::map<std::string, char> types = field_types(file);
    for (size_t i = 0; i < ours.lines.size() && i < want.size() && diffs.size() < 8; i++) {
        JsonObject a, b;
        if (!parse_json_object(ours.lines[i], &a) || !parse_json_object(want[i], &b)) {
            diffs.push_back("line " + std::to_string(i + 1) + " is not a JSON object");
            continue;
        }
        size_t column = 0;
        for (const auto& kv : b) {
            const JsonValue* mine = json_find(a, kv.first);
            column++;
            // Binary memos (P, G, W) are left out of the records.
            auto t = types.find(kv.first);
            if (t != types.end() && (t->second == 'P' || t->second == 'G' || t->second == 'W')) continue;
            if (!mine) {
                diffs.push_back("record " + std::to_string(i + 1) + ": no field " + kv.first);
                continue;
            }
            if (!same(*mine, kv.second))
                diffs.push_back("record " + std::to_string(i + 1) + " " + kv.first + ": " + show(*mine) +
                                " instead of " + show(kv.second));
        }
    }
    return diffs;
}

bool is_dbf(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    return ext == ".dbf";
}

TEST(FixturesDump, EveryTableDumpsAsItsWriterRecorded) {
    fs::path root = QXDB_TEST_DATA;
    std::vector<fs::path> files;
    for (const char* sub : {"real", "peers"})
        for (const auto& e : fs::recursive_directory_iterator(root / sub))
            if (e.is_regular_file() && is_dbf(e.path())) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_GT(files.size(), 200u);

    std::set<std::string> differing;
    int compared = 0;
    for (const fs::path& file : files) {
        std::string rel = fs::relative(file, root).generic_string();
        RunResult ours = run_dump(file);
        // Whatever the file holds, the command answers: a dump, a status, or that
        // the file is damaged.
        ASSERT_TRUE(ours.exit_code == 0 || ours.exit_code == 1 || ours.exit_code == 5) << rel << " exit " << ours.exit_code;
        fs::path records = file.parent_path() / (file.stem().string() + ".records.jsonl");
        if (!fs::exists(records)) continue;
        std::vector<std::string> want = read_lines(records);
        if (want.empty()) continue;  // the other reader could not read it either
        compared++;
        std::vector<std::string> diffs = compare(file, ours, want);
        if (diffs.empty()) continue;
        differing.insert(rel);
        if (!kDifferences.count(rel)) {
            std::string text;
            for (const auto& d : diffs) text += "\n  " + d;
            ADD_FAILURE() << rel << text;
        }
    }
    for (const auto& d : kDifferences)
        EXPECT_TRUE(differing.count(d.first)) << d.first << " no longer differs; remove it from the list";
    EXPECT_GT(compared, 150);
}

// The whole-record conversion gives, field for field, what one call per field
// gives, on every record of every table the engine opens.
TEST(FixturesDump, RecordCallAgreesWithFieldCalls) {
    fs::path root = QXDB_TEST_DATA;
    int tables = 0;
    xdbinit();
    xdb_set_date_format(4);
    for (const char* sub : {"real", "peers"}) {
        for (const auto& e : fs::recursive_directory_iterator(root / sub)) {
            if (!e.is_regular_file() || !is_dbf(e.path())) continue;
            std::string rel = fs::relative(e.path(), root).generic_string();
            int16_t h = -1;
            for (int row = 0; row < kXbaseVariantCount && h < 0; row++) {
                xdb_set_status(XD_OK);
                if (dbf_open(&h, e.path().string().c_str(),
                             (uint16_t)(XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | kXbaseVariants[row].code)) < 0)
                    h = -1;
            }
            if (h < 0) continue;
            tables++;
            uint16_t n = 0, largest = 0;
            uint32_t count = 0;
            dbf_field_count(h, &n);
            dbf_record_count(h, &count);
            std::vector<DbfFieldInfo> info(n);
            dbf_describe_fields(h, &largest, info.data());
            std::vector<DbfValue> values(n);
            std::vector<char> one(largest + 64u);
            for (uint32_t r = 1; r <= count && r <= 2000; r++) {
                xdb_set_status(XD_OK);
                if (dbf_read_record(h, r) < 0) break;
                xdb_set_status(XD_OK);
                XDSTATUS whole = dbf_get_record(h, values.data(), n);
                bool any_failed = false;
                for (uint16_t i = 0; i < n; i++) {
                    const DbfValue& v = values[i];
                    ASSERT_EQ(v.type, info[i].type) << rel;
                    std::fill(one.begin(), one.end(), 0);
                    int undefined = 0;
                    xdb_set_status(XD_OK);
                    XDSTATUS s = dbf_get_field(h, (int16_t)i, one.data(), &undefined);
                    any_failed |= s < 0;
                    if (s < 0) continue;
                    ASSERT_EQ(dbf_field_empty(h, (int16_t)i) != 0, (v.state & (DBF_VALUE_EMPTY | DBF_VALUE_NULL)) != 0)
                        << rel << " record " << r << " field " << info[i].name;
                    const char* p = one.data();
                    std::string where = rel + " record " + std::to_string(r) + " field " + info[i].name;
                    switch (v.type) {
                    case 'C':
                    case 'V':
                    case 'D':
                        EXPECT_EQ(std::string(v.text, v.length), std::string(p, v.length)) << where;
                        EXPECT_EQ(p[v.length], 0) << where;
                        break;
                    case 'Q':
                        EXPECT_EQ(memcmp(p, &v.length, 2), 0) << where;
                        EXPECT_EQ(memcmp(p + 2, v.text, v.length), 0) << where;
                        break;
                    case 'N':
                    case 'F':
                    case 'Y':
                        EXPECT_EQ(memcmp(p, &v.number, 8), 0) << where;
                        break;
                    case 'L':
                        EXPECT_EQ((uint8_t)p[0], v.logical) << where;
                        EXPECT_EQ(undefined != 0, (v.state & DBF_VALUE_UNDEFINED) != 0) << where;
                        break;
                    case 'M':
                    case 'P':
                        EXPECT_EQ(memcmp(p, &v.block, 4), 0) << where;
                        break;
                    case 'I':
                        EXPECT_EQ(memcmp(p, &v.integer, 4), 0) << where;
                        break;
                    case 'T':
                        EXPECT_EQ(memcmp(p, &v.datetime, sizeof v.datetime), 0) << where;
                        break;
                    default:
                        break;
                    }
                }
                EXPECT_EQ(whole < 0, any_failed) << rel << " record " << r;
            }
            xdb_set_status(XD_OK);
            dbf_close(h);
        }
    }
    xdbterm();
    EXPECT_GT(tables, 150);
}

}  // namespace
