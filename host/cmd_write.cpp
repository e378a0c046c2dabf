// The file tools that change tables:
//   qxdb create FILE.dbf --dialect N NAME:TYPE[:LEN[:DEC]]...
//   qxdb append FILE.dbf [--format jsonl|csv] [--codepage N] < records
//   qxdb delete FILE.dbf RECNO...    qxdb recall FILE.dbf RECNO...
//   qxdb pack FILE.dbf

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"
#include "host/cli.h"
#include "host/json_line.h"
#include "host/table_memo.h"

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// One CSV record (RFC 4180), reading further lines while a quoted field is open.
bool read_csv_record(std::istream& in, std::vector<std::string>* fields) {
    std::string line;
    if (!std::getline(in, line)) return false;
    fields->clear();
    std::string cur;
    bool quoted = false;
    for (size_t i = 0;; i++) {
        if (i == line.size()) {
            if (quoted && std::getline(in, line)) {
                cur += '\n';
                i = (size_t)-1;
                continue;
            }
            break;
        }
        char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cur += '"';
                i++;
            } else if (c == '"') {
                quoted = false;
            } else {
                cur += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields->push_back(cur);
            cur.clear();
        } else if (c != '\r' || i + 1 != line.size()) {
            cur += c;
        }
    }
    fields->push_back(cur);
    return true;
}

struct Target {
    int16_t handle;
    std::vector<DbfFieldInfo> fields;
    int code_page;
    char* record;
    uint16_t record_length;
    TableMemo* memo;
};

// "YYYY-MM-DD" (or yyyymmdd) to yyyymmdd.
bool stored_date(const std::string& text, std::string* out) {
    if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        *out = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
        return true;
    }
    if (text.size() == 8) {
        *out = text;
        return true;
    }
    return false;
}

// Puts one value into field `index`. Returns the put's status, or XD_BADDATA with
// a reason when the value does not suit the field.
XDSTATUS put_value(Target& t, int16_t index, const JsonValue& v, std::string* why) {
    const DbfFieldInfo& f = t.fields[(size_t)index];
    if (v.kind == JsonValue::kNull) return XD_OK;  // the field stays blank
    bool is_text = v.kind == JsonValue::kString;
    if (is_text && v.text.empty() && f.type != 'C' && f.type != 'V') return XD_OK;
    xdb_set_status(XD_OK);
    switch (f.type) {
    case 'C':
    case 'V': {
        std::string text = is_text ? v.text : v.kind == JsonValue::kNumber ? std::to_string(v.number) : (v.flag ? "T" : "F");
        std::string bytes = codepage_from_utf8(t.code_page, text);
        return dbf_put_field(t.handle, index, bytes.c_str());
    }
    case 'N':
    case 'F':
    case 'B':
    case 'Y': {
        double d = v.number;
        if (is_text) {
            char* end = nullptr;
            d = strtod(v.text.c_str(), &end);
            if (*end) {
                *why = "not a number";
                return XD_BADDATA;
            }
        } else if (v.kind != JsonValue::kNumber) {
            *why = "not a number";
            return XD_BADDATA;
        }
        return dbf_put_field(t.handle, index, &d);
    }
    case 'I': {
        double d = is_text ? strtod(v.text.c_str(), nullptr) : v.number;
        if (d != std::floor(d) || d < -2147483648.0 || d > 2147483647.0) {
            *why = "not a 32-bit integer";
            return XD_BADDATA;
        }
        int32_t i = (int32_t)d;
        return dbf_put_field(t.handle, index, &i);
    }
    case 'D': {
        std::string stored;
        if (!is_text || !stored_date(v.text, &stored)) {
            *why = "dates are written YYYY-MM-DD";
            return XD_BADDATA;
        }
        return dbf_put_field(t.handle, index, stored.c_str());  // the engine's format is yyyymmdd
    }
    case 'L': {
        char c = v.kind == JsonValue::kBool ? (v.flag ? 'T' : 'F') : is_text ? v.text[0] : '?';
        return dbf_put_field(t.handle, index, &c);
    }
    case 'T': {
        DbfDateTime dt{};
        int y, mo, d, h = 0, mi = 0, s = 0;
        if (!is_text || sscanf(v.text.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) < 3) {
            *why = "date-times are written YYYY-MM-DDTHH:MM:SS";
            return XD_BADDATA;
        }
        dt = {(int16_t)y, (int16_t)mo, (int16_t)d, (int16_t)h, (int16_t)mi, (int16_t)s, 0};
        return dbf_put_field(t.handle, index, &dt);
    }
    case 'M': {
        if (!is_text) {
            *why = "memo fields take text";
            return XD_BADDATA;
        }
        if (!t.memo->IsOpen()) {
            *why = "the table's memo file is missing";
            return XD_BADDATA;
        }
        uint32_t block = 0;
        XDSTATUS s = t.memo->Append(codepage_from_utf8(t.code_page, v.text), &block);
        if (s < 0) return s;
        xdb_set_status(XD_OK);
        return dbf_put_field(t.handle, index, &block);
    }
    default:
        *why = std::string("fields of type ") + f.type + " are not written";
        return XD_BADDATA;
    }
}

// Takes the file lock of appends, waiting a little while another holds it.
XDSTATUS lock_for_append(int16_t h) {
    for (int attempt = 0;; attempt++) {
        xdb_set_status(XD_OK);
        XDSTATUS s = dbf_lock_file(h, 1);
        if (s != XD_LOCKVIOLATION || attempt == 200) return s;
        usleep(10000);
    }
}

int change_flags(int argc, char** argv, bool deleting) {
    const char* usage = deleting ? "usage: qxdb delete FILE.dbf RECNO...\nMarks records deleted.\n"
                                 : "usage: qxdb recall FILE.dbf RECNO...\nMarks deleted records live again.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect"}, {}, usage, &args); done >= 0) return done;
    if (args.positional.size() < 2) return cli_usage(usage);
    std::vector<uint32_t> recnos;
    for (size_t i = 1; i < args.positional.size(); i++) {
        long long n;
        if (!cli_parse_number(args.positional[i], 1, 0xFFFFFFFFll, &n)) {
            fprintf(stderr, "qxdb: '%s' is not a record number\n", args.positional[i].c_str());
            return kExitUsage;
        }
        recnos.push_back((uint32_t)n);
    }
    int forced = args.has("dialect") ? cli_row_for_dialect(args.get("dialect")) : -1;
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[0], forced, &t, XDB_OPEN_SHORTHAND);
    if (s < 0) return cli_fail("cannot open " + args.positional[0], s);
    int failed = 0;
    for (uint32_t n : recnos) {
        xdb_set_status(XD_OK);
        if ((s = dbf_lock_record(t.handle, DBF_RECORD_LOCK, n)) != XD_OK) {
            failed |= cli_fail("record " + std::to_string(n) + " is not available", s);
            continue;
        }
        s = deleting ? dbf_delete_record(t.handle, n) : dbf_recall_record(t.handle, n);
        if (s < 0) failed |= cli_fail("record " + std::to_string(n), s);
        xdb_set_status(XD_OK);
        dbf_lock_record(t.handle, DBF_RECORD_UNLOCK, n);
    }
    xdb_set_status(XD_OK);
    if ((s = dbf_close(t.handle)) < 0) return cli_fail("closing " + args.positional[0], s);
    return failed ? kExitFailed : kExitOk;
}

}  // namespace

int cmd_create(int argc, char** argv) {
    const char* usage =
        "usage: qxdb create FILE.dbf --dialect N [--production-index] NAME:TYPE[:LEN[:DEC]]...\n"
        "Creates an empty table. Dialects 1 to 9; types C, N, F, D, L, M (D, L and M need no length).\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect"}, {"production-index"}, usage, &args); done >= 0) return done;
    long long dialect = 0;
    if (args.positional.size() < 2 || !args.has("dialect") || !cli_parse_number(args.get("dialect"), 0, 65535, &dialect))
        return cli_usage(usage);
    std::vector<DbfCreateField> fields;
    for (size_t i = 1; i < args.positional.size(); i++) {
        std::vector<std::string> p = split(args.positional[i], ':');
        DbfCreateField f{};
        long long length = 0, decimals = 0;
        if (p.size() < 2 || p.size() > 4 || p[1].size() != 1 || (p.size() > 2 && !cli_parse_number(p[2], 0, 65535, &length)) ||
            (p.size() > 3 && !cli_parse_number(p[3], 0, 65535, &decimals))) {
            fprintf(stderr, "qxdb: bad field '%s' (NAME:TYPE[:LEN[:DEC]])\n", args.positional[i].c_str());
            return kExitUsage;
        }
        // An overlong name is passed on whole enough for the engine to refuse it.
        memcpy(f.name, p[0].data(), p[0].size() < sizeof f.name ? p[0].size() : sizeof f.name);
        f.type = (uint16_t)(unsigned char)p[1][0];
        f.length = (uint16_t)length;
        f.decimals = (uint16_t)decimals;
        fields.push_back(f);
    }
    if (fields.size() > 32767) {
        fputs("qxdb: too many fields\n", stderr);
        return kExitUsage;
    }
    if (!cli_start_engine()) return kExitFailed;
    uint16_t mode = (uint16_t)(dialect & 0xFF) | (args.has("production-index") ? DBF_CREATE_PRODUCTION_INDEX : 0);
    if (dialect > 255) mode = 0;
    XDSTATUS s = dbf_create(args.positional[0].c_str(), (int16_t)fields.size(), fields.data(), mode);
    if (s < 0) return cli_fail("cannot create " + args.positional[0], s);
    bool has_memo = false;
    for (const DbfCreateField& f : fields) has_memo |= f.type == 'M';
    if (has_memo && (s = TableMemo::Create(args.positional[0], (uint8_t)dialect)) < 0)
        return cli_fail("cannot create the memo file of " + args.positional[0], s);
    return kExitOk;
}

int cmd_append(int argc, char** argv) {
    const char* usage =
        "usage: qxdb append FILE.dbf [--format jsonl|csv] [--codepage N] [--dialect N] < records\n"
        "Appends records read from standard input: JSON objects one per line (as qxdb dump\n"
        "writes them; recno is ignored, \"deleted\": true appends the record deleted) or CSV\n"
        "with a header row of field names. Missing fields and nulls stay blank.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"format", "codepage", "dialect"}, {}, usage, &args); done >= 0) return done;
    std::string format = args.get("format", "");
    if (args.positional.size() != 1 || (!format.empty() && format != "jsonl" && format != "csv") ||
        (args.has("codepage") && !codepage_supported(atoi(args.get("codepage").c_str())))) return cli_usage(usage);
    int forced = args.has("dialect") ? cli_row_for_dialect(args.get("dialect")) : -1;
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable opened;
    const std::string& path = args.positional[0];
    XDSTATUS s = cli_open_table(path, forced, &opened, XDB_OPEN_SHORTHAND);
    if (s < 0) return cli_fail("cannot open " + path, s);
    TableMemo memo;
    Target t{opened.handle, {}, cli_table_code_page(opened.handle, args), nullptr, 0, &memo};
    uint16_t count = 0, largest = 0;
    dbf_field_count(t.handle, &count);
    t.fields.resize(count);
    dbf_describe_fields(t.handle, &largest, t.fields.data());
    dbf_record_layout(t.handle, &t.record, &t.record_length, &count);
    bool has_memo = false;
    for (const DbfFieldInfo& f : t.fields) has_memo |= f.type == 'M';
    if (has_memo) {
        DbfHeaderInfo hi;
        dbf_header_info(t.handle, &hi);
        if ((s = memo.Open(path, hi.dialect, hi.version, true)) < 0 && s != XD_NOFILE)
            return cli_fail("cannot open " + memo.Path(), s);
    }

    if ((s = lock_for_append(t.handle)) != XD_OK) return cli_fail("cannot lock " + path, s);
    std::vector<std::string> header;
    int line = 0, appended = 0, failed = 0;
    bool csv = format == "csv";
    if (format.empty()) {
        int c = std::cin.peek();
        while (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            std::cin.get();
            c = std::cin.peek();
        }
        csv = c != '{';
    }
    if (csv && !read_csv_record(std::cin, &header)) header.clear();
    if (csv) line++;
    for (;;) {
        JsonObject o;
        if (csv) {
            std::vector<std::string> values;
            if (!read_csv_record(std::cin, &values)) break;
            line++;
            if (values.size() == 1 && values[0].empty()) continue;
            for (size_t i = 0; i < values.size() && i < header.size(); i++) {
                JsonValue v;
                v.kind = values[i].empty() ? JsonValue::kNull : JsonValue::kString;
                v.text = values[i];
                if (header[i] == "deleted") {
                    v.kind = JsonValue::kBool;
                    v.flag = values[i] == "true" || values[i] == "T" || values[i] == "1";
                }
                o.emplace_back(header[i], v);
            }
        } else {
            std::string text;
            if (!std::getline(std::cin, text)) break;
            line++;
            if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
            if (!parse_json_object(text, &o)) {
                fprintf(stderr, "qxdb: line %d: not a JSON object\n", line);
                failed++;
                continue;
            }
        }
        memset(t.record, ' ', t.record_length);
        bool ok = true, deleted = false;
        for (const auto& kv : o) {
            if (kv.first == "recno") continue;
            if (kv.first == "deleted") {
                deleted = kv.second.kind == JsonValue::kBool && kv.second.flag;
                continue;
            }
            std::string name = codepage_from_utf8(t.code_page, kv.first);
            int16_t index = -1;
            xdb_set_status(XD_OK);
            if (dbf_find_field(t.handle, &index, name.c_str()) != XD_OK) {
                fprintf(stderr, "qxdb: line %d: no field %s in %s\n", line, kv.first.c_str(), path.c_str());
                ok = false;
                break;
            }
            std::string why;
            s = put_value(t, index, kv.second, &why);
            if (s < 0) {
                fprintf(stderr, "qxdb: line %d field %s: %s%s%s\n", line, kv.first.c_str(), cli_status_text(s).c_str(),
                        why.empty() ? "" : " - ", why.c_str());
                ok = false;
                break;
            }
            if (s > 0) fprintf(stderr, "qxdb: line %d field %s: %s\n", line, kv.first.c_str(), cli_status_text(s).c_str());
        }
        if (!ok) {
            failed++;
            continue;
        }
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        if ((s = dbf_write_record(t.handle, &recno, DBF_WRITE_APPEND)) < 0) {
            cli_fail("appending line " + std::to_string(line), s);
            failed++;
            break;  // a failed write leaves the count to the next lock: stop here
        }
        if (deleted) {
            xdb_set_status(XD_OK);
            dbf_delete_record(t.handle, recno);
        }
        appended++;
    }
    xdb_set_status(XD_OK);
    dbf_unlock_file(t.handle, 1);
    xdb_set_status(XD_OK);
    if ((s = dbf_close(t.handle)) < 0) return cli_fail("closing " + path, s);
    fprintf(stderr, "qxdb: %d record%s appended to %s%s\n", appended, appended == 1 ? "" : "s", path.c_str(),
            failed ? (", " + std::to_string(failed) + " refused").c_str() : "");
    return failed ? kExitFailed : kExitOk;
}

int cmd_delete(int argc, char** argv) { return change_flags(argc, argv, true); }
int cmd_recall(int argc, char** argv) { return change_flags(argc, argv, false); }

int cmd_pack(int argc, char** argv) {
    const char* usage =
        "usage: qxdb pack FILE.dbf [--dialect N]\n"
        "Removes the deleted records. The table must not be open elsewhere.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect"}, {}, usage, &args); done >= 0) return done;
    if (args.positional.size() != 1) return cli_usage(usage);
    int forced = args.has("dialect") ? cli_row_for_dialect(args.get("dialect")) : -1;
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[0], forced, &t, 0);  // exclusive
    if (s < 0) return cli_fail("cannot open " + args.positional[0], s);
    uint32_t before = 0, after = 0;
    dbf_record_count(t.handle, &before);
    xdb_set_status(XD_OK);
    if ((s = dbf_pack(&t.handle)) < 0) return cli_fail("cannot pack " + args.positional[0], s);
    xdb_set_status(XD_OK);
    dbf_record_count(t.handle, &after);
    // The memo file keeps only the memos of the records that are left.
    DbfHeaderInfo hi;
    dbf_header_info(t.handle, &hi);
    TableMemo memo;
    if (hi.dialect & DBF_MEMO_FLAG || (hi.dialect & 0x7F) == DBF_VFP) {
        s = memo.Open(args.positional[0], hi.dialect, hi.version, true);
        if (s >= 0 && (s = memo.Rebuild(t.handle)) < 0) return cli_fail("cannot rebuild " + memo.Path(), s);
    }
    dbf_close(t.handle);
    fprintf(stderr, "qxdb: %u records kept, %u removed\n", after, before - after);
    return kExitOk;
}
