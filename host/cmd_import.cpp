// qxdb import FILE.csv|FILE.jsonl TABLE.dbf: a new table whose fields are read off
// the data (or given), filled with its records. One pass over the input finds each
// column's type and width; then the table is created and the input appended as
// qxdb append does, with its checks: every refusal names its line and field.

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "framework/codepage.h"
#include "host/cli.h"
#include "host/record_input.h"

namespace {

const char kUsage[] =
    "usage: qxdb import FILE.csv|FILE.jsonl TABLE.dbf [--dialect D] [--format csv|jsonl]\n"
    "                   [--field NAME:TYPE[:LEN[:DEC]]]... [--codepage N]\n"
    "Creates TABLE.dbf (which must not exist) with a field for each column of the input,\n"
    "then adds every record. A column's type is read off its values: L when all are\n"
    "true/false (T, F, Y, N), D when all are dates YYYY-MM-DD, N when all are numbers (as\n"
    "wide as the widest, with the most decimals met), else C as wide as the longest text,\n"
    "or M beyond 254 bytes; empty values and nulls count for any type. Field names are\n"
    "the column names upper-cased, other characters as '_', cut to ten; --field gives a\n"
    "column's field outright. Text is stored in the dialect's code page (850; --codepage).\n"
    "The dialect is dbase3 unless --dialect names another (qxdb help create).\n"
    "example: qxdb import people.csv people.dbf --field BORN:D --dialect foxpro\n";

// What the values of one column allow.
struct Column {
    std::string header;  // as the input names it
    std::string field;   // the field it fills
    bool logical = true, date = true, number = true;
    bool seen = false;      // a value that is neither empty nor null
    size_t longest = 0;     // bytes in the code page
    int int_digits = 1, decimals = 0;
    bool negative = false;
    std::string given;      // --field NAME:TYPE... for it
    int unstorable_line = 0;  // the first line whose text the code page cannot hold
};

bool is_logical(const std::string& t) {
    std::string u;
    for (char c : t) u += (char)toupper((unsigned char)c);
    return u == "T" || u == "F" || u == "Y" || u == "N" || u == "TRUE" || u == "FALSE";
}

bool is_date(const std::string& t) {
    if (t.size() != 10 || t[4] != '-' || t[7] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!isdigit((unsigned char)t[(size_t)i])) return false;
    const int month = atoi(t.substr(5, 2).c_str()), day = atoi(t.substr(8, 2).c_str());
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// Plain decimal text: -?digits[.digits]; its integer and decimal digit counts.
bool is_number(const std::string& t, int* int_digits, int* decimals, bool* negative) {
    size_t i = 0;
    *negative = !t.empty() && t[0] == '-';
    if (*negative) i++;
    size_t start = i;
    while (i < t.size() && isdigit((unsigned char)t[i])) i++;
    *int_digits = (int)(i - start);
    *decimals = 0;
    if (i < t.size() && t[i] == '.') {
        size_t d = ++i;
        while (i < t.size() && isdigit((unsigned char)t[i])) i++;
        *decimals = (int)(i - d);
        if (*decimals == 0) return false;
    }
    return i == t.size() && *int_digits > 0;
}

void see(Column& c, const JsonValue& v, int code_page, int line) {
    if (v.kind == JsonValue::kNull || (v.kind == JsonValue::kString && v.text.empty())) return;
    c.seen = true;
    const std::string text = v.kind == JsonValue::kBool ? (v.flag ? "T" : "F") : v.text;
    std::string bytes;
    if (codepage_from_utf8_counted(code_page, text, &bytes) && !c.unstorable_line) c.unstorable_line = line;
    if (bytes.size() > c.longest) c.longest = bytes.size();
    if (v.kind != JsonValue::kBool && !(v.kind == JsonValue::kString && is_logical(text))) c.logical = false;
    if (v.kind != JsonValue::kString || !is_date(text)) c.date = false;
    int int_digits = 0, decimals = 0;
    bool negative = false;
    if (v.kind == JsonValue::kBool || !is_number(text, &int_digits, &decimals, &negative)) {
        c.number = false;
    } else {
        c.int_digits = std::max(c.int_digits, int_digits);
        c.decimals = std::max(c.decimals, decimals);
        c.negative |= negative;
    }
}

// The field a column's values call for, as NAME:TYPE[:LEN[:DEC]].
std::string field_of(const Column& c) {
    if (!c.given.empty()) return c.given;
    const std::string& n = c.field;
    if (!c.seen) return n + ":C:1";
    if (c.logical) return n + ":L";
    if (c.date) return n + ":D";
    if (c.number) {
        const int width = (c.negative ? 1 : 0) + c.int_digits + (c.decimals ? c.decimals + 1 : 0);
        if (width <= 19) return n + ":N:" + std::to_string(width) + ":" + std::to_string(c.decimals);
    }
    if (c.longest > 254) return n + ":M";
    return n + ":C:" + std::to_string(c.longest);
}

// Runs the command `words[0]` with the arguments after it, as main does.
int run(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (size_t i = 1; i < words.size(); i++) argv.push_back(const_cast<char*>(words[i].c_str()));
    argv.push_back(nullptr);
    const int argc = (int)words.size() - 1;
    return words[0] == "create" ? cmd_create(argc, argv.data()) : cmd_append(argc, argv.data());
}

}  // namespace

int cmd_import(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect", "format", "field", "codepage"}, {}, kUsage, &args); done >= 0)
        return done;
    if (args.positional.size() != 2) return cli_usage(kUsage);
    const std::string &input = args.positional[0], &table = args.positional[1];
    std::string format = args.get("format", "");
    if (!format.empty() && format != "csv" && format != "jsonl") {
        fprintf(stderr, "qxdb: --format %s: the input formats are csv and jsonl (example: --format csv)\n", format.c_str());
        return kExitUsage;
    }
    long long code_page = 850;
    if (args.has("codepage") && (!cli_parse_number(args.get("codepage"), 1, 65535, &code_page) ||
                                 !codepage_supported((int)code_page))) {
        fprintf(stderr, "qxdb: --codepage %s is no code page this program converts (for example 850, 437)\n",
                args.get("codepage").c_str());
        return kExitUsage;
    }
    std::error_code ec;
    if (std::filesystem::exists(table, ec)) {
        fprintf(stderr, "qxdb: %s exists already: import makes a new table (qxdb append adds to one)\n", table.c_str());
        return kExitFailed;
    }
    std::ifstream in(input, std::ios::binary);
    if (!in) {
        fprintf(stderr, "qxdb: %s: no such file\n", input.c_str());
        return kExitNotFound;
    }
    if (format.empty()) {
        const std::string ext = std::filesystem::path(input).extension().string();
        format = ext == ".csv" || ext == ".CSV" ? "csv" : ext == ".jsonl" || ext == ".JSONL" ? "jsonl" : "";
    }
    // One pass: every column, in the order the input first names them.
    std::vector<Column> columns;
    const bool csv = input_is_csv(in, format);
    RecordReader reader(in, csv);
    uint64_t records = 0;
    for (;;) {
        InputRecord r;
        std::string why;
        const int got = reader.Next(&r, &why);
        if (got == 0) break;
        if (got < 0) {
            fprintf(stderr, "qxdb: %s line %d: %s; nothing was created\n", input.c_str(), r.line, why.c_str());
            return kExitFailed;
        }
        records++;
        for (const auto& [name, value] : r.fields) {
            if (name == "recno" || name == "deleted") continue;  // what qxdb dump adds
            Column* c = nullptr;
            for (Column& x : columns)
                if (x.header == name) c = &x;
            if (!c) {
                columns.push_back(Column{});
                c = &columns.back();
                c->header = name;
                c->field = cli_field_name_of(name);
            }
            see(*c, value, (int)code_page, r.line);
        }
    }
    if (columns.empty()) {
        fprintf(stderr, "qxdb: %s names no column\n", input.c_str());
        return kExitFailed;
    }
    for (const std::string& wanted : args.all("field")) {
        const std::string name = wanted.substr(0, wanted.find(':'));
        bool found = false;
        for (Column& c : columns)
            if (c.field == cli_field_name_of(name)) {
                c.given = wanted;
                found = true;
            }
        if (!found) {
            fprintf(stderr, "qxdb: --field %s: the input has no column %s\n", wanted.c_str(), name.c_str());
            return kExitUsage;
        }
    }
    for (const Column& c : columns)
        if (c.unstorable_line) {
            fprintf(stderr, "qxdb: %s line %d, column %s: a character that code page %lld cannot hold; nothing was created\n",
                    input.c_str(), c.unstorable_line, c.header.c_str(), code_page);
            return kExitFailed;
        }
    for (size_t i = 0; i < columns.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (columns[i].field == columns[j].field) {
                fprintf(stderr, "qxdb: the columns '%s' and '%s' would both fill the field %s; rename one\n",
                        columns[j].header.c_str(), columns[i].header.c_str(), columns[i].field.c_str());
                return kExitFailed;
            }
    std::vector<std::string> create = {"create", table, "--dialect", args.get("dialect", "dbase3")};
    for (const Column& c : columns) create.push_back(field_of(c));
    fprintf(stderr, "qxdb: %s: %llu record%s, fields", input.c_str(), (unsigned long long)records, records == 1 ? "" : "s");
    for (size_t i = 4; i < create.size(); i++) fprintf(stderr, " %s", create[i].c_str());
    fprintf(stderr, "\n");
    namespace fs = std::filesystem;
    const fs::path dbt = fs::path(table).replace_extension(".dbt"), fpt = fs::path(table).replace_extension(".fpt");
    const bool had_dbt = fs::exists(dbt, ec), had_fpt = fs::exists(fpt, ec);
    if (int code = run(create)) return code;
    // The records go in as qxdb append takes them, the input as its standard input.
    in.clear();
    in.seekg(0);
    std::streambuf* standard = std::cin.rdbuf(in.rdbuf());
    std::vector<std::string> append = {"append", table, "--format", csv ? "csv" : "jsonl"};
    if (args.has("codepage")) append.insert(append.end(), {"--codepage", args.get("codepage")});
    const int code = run(append);
    std::cin.rdbuf(standard);
    if (code != kExitOk) {
        // A table half filled is no import: it goes, and the input says what to fix.
        std::error_code gone;
        fs::remove(table, gone);
        if (!had_dbt) fs::remove(dbt, gone);
        if (!had_fpt) fs::remove(fpt, gone);
        fprintf(stderr, "qxdb: nothing was imported; %s was removed\n", table.c_str());
    }
    return code;
}
