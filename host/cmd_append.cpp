// qxdb append FILE.dbf [--format jsonl|csv] [--codepage N] [--skip-bad] [--truncate] [--replace]
//
// Input is taken exactly or not at all: a line that is not well formed, a value
// that does not suit its field, a text longer than its field, a number that the
// field would round, a character the table's code page cannot hold: the line is
// refused with its number and the reason, and the command stops (exit 1) with what
// came before appended. --skip-bad refuses such lines and goes on (they are counted
// at the end); --truncate lets texts be cut and numbers be rounded to their
// field; --replace lets unknown characters become '?'.


#include <chrono>
#include <filesystem>
#include <thread>
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
#include "host/progress.h"
#include "host/index_guard.h"
#include "host/record_input.h"
#include "host/table_memo.h"

namespace {

struct Target {
    int16_t handle;
    std::vector<DbfFieldInfo> fields;
    int code_page;
    char* record;
    uint16_t record_length;
    TableMemo* memo;
    bool truncate, replace;
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

// Text in the table's code page, exactly (or with '?' for what it cannot hold when
// the user allowed it).
bool table_text(const Target& t, const std::string& utf8, std::string* bytes, std::string* why) {
    size_t missing = codepage_from_utf8_counted(t.code_page, utf8, bytes);
    if (missing && !t.replace) {
        *why = std::to_string(missing) + " character" + (missing == 1 ? "" : "s") + " that code page " +
               std::to_string(t.code_page) + " cannot hold (--replace stores '?')";
        return false;
    }
    return true;
}

bool parse_logical(const JsonValue& v, char* out) {
    if (v.kind == JsonValue::kBool) {
        *out = v.flag ? 'T' : 'F';
        return true;
    }
    if (v.kind != JsonValue::kString) return false;
    std::string t;
    for (char c : v.text) t += (char)toupper((unsigned char)c);
    if (t == "T" || t == "Y" || t == "TRUE" || t == "1") *out = 'T';
    else if (t == "F" || t == "N" || t == "FALSE" || t == "0") *out = 'F';
    else return false;
    return true;
}

// Puts one value into field `index`: XD_OK (or a warning the user allowed), or
// XD_BADDATA / the put's error with the reason.
XDSTATUS put_value(Target& t, int16_t index, const JsonValue& v, std::string* why) {
    const DbfFieldInfo& f = t.fields[(size_t)index];
    if (v.kind == JsonValue::kNull) return XD_OK;  // the field stays blank
    bool is_text = v.kind == JsonValue::kString;
    if (is_text && v.text.empty() && f.type != 'C' && f.type != 'V') return XD_OK;
    xdb_set_status(XD_OK);
    switch (f.type) {
    case 'C':
    case 'V': {
        if (v.kind == JsonValue::kBool) {
            *why = "text expected";
            return XD_BADDATA;
        }
        std::string bytes;
        if (!table_text(t, v.text, &bytes, why)) return XD_BADDATA;  // numbers: their digits as written
        if (bytes.size() > f.length && !t.truncate) {
            *why = std::to_string(bytes.size()) + " bytes for a field of " + std::to_string(f.length) +
                   " (--truncate cuts it)";
            return XD_BADDATA;
        }
        XDSTATUS s = dbf_put_field(t.handle, index, bytes.c_str());
        return s == XD_TRUNCATED && t.truncate ? XD_OK : s;
    }
    case 'N':
    case 'F':
    case 'B':
    case 'Y': {
        double d = v.number;
        if (is_text) {
            // A number in text form must be a number as JSON writes them.
            if (!parse_json_number(v.text, &d)) {
                *why = "not a number";
                return XD_BADDATA;
            }
        } else if (v.kind != JsonValue::kNumber) {
            *why = "not a number";
            return XD_BADDATA;
        }
        XDSTATUS s = dbf_put_field(t.handle, index, &d);
        if (s == XD_ROUNDED && !t.truncate) {
            *why = v.text + " would be rounded to " + std::to_string(f.decimals) +
                   " decimals (--truncate allows it)";
            return XD_BADDATA;
        }
        if (s == XD_BADDATA) *why = "does not fit N(" + std::to_string(f.length) + "," + std::to_string(f.decimals) + ")";
        return s == XD_ROUNDED ? XD_OK : s;
    }
    case 'I': {
        double d = v.number;
        if (is_text) {
            char* end = nullptr;
            d = strtod(v.text.c_str(), &end);
            if (*end || v.text.empty()) d = 0.5;  // refused below
        } else if (v.kind != JsonValue::kNumber) {
            d = 0.5;
        }
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
        XDSTATUS s = dbf_put_field(t.handle, index, stored.c_str());  // the engine's format is yyyymmdd
        if (s < 0) *why = "no such date";
        return s;
    }
    case 'L': {
        char c;
        if (!parse_logical(v, &c)) {
            *why = "logicals are true, false, T, F, Y, N, 1 or 0";
            return XD_BADDATA;
        }
        return dbf_put_field(t.handle, index, &c);
    }
    case 'T': {
        int y, mo, d, h = 0, mi = 0, s = 0;
        char tail = 0;
        int n = is_text ? sscanf(v.text.c_str(), "%d-%d-%dT%d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) : 0;
        if (n != 3 && n != 6) {
            *why = "date-times are written YYYY-MM-DDTHH:MM:SS";
            return XD_BADDATA;
        }
        DbfDateTime dt = {(int16_t)y, (int16_t)mo, (int16_t)d, (int16_t)h, (int16_t)mi, (int16_t)s, 0};
        XDSTATUS r = dbf_put_field(t.handle, index, &dt);
        if (r < 0) *why = "no such date-time";
        return r;
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
        std::string bytes;
        if (!table_text(t, v.text, &bytes, why)) return XD_BADDATA;
        uint32_t block = 0;
        XDSTATUS s = t.memo->Append(bytes, &block);
        if (s < 0) return s;
        xdb_set_status(XD_OK);
        return dbf_put_field(t.handle, index, &block);
    }
    default:
        *why = std::string("fields of type ") + f.type + " are not written";
        return XD_BADDATA;
    }
}

// Takes the file lock of appends, waiting a while (2 s, or --wait) while another
// holds it.
XDSTATUS lock_for_append(int16_t h, long long seconds) {
    return cli_retry_locked(seconds, [&] { return dbf_lock_file(h, 1); });
}

// Fills the record buffer from one input record: true, or false with the reason.
bool fill_record(Target& t, const InputRecord& r, bool* deleted, std::string* why) {
    // Each field's empty form: blanks, and zeros where Visual FoxPro keeps binary
    // values (with the null flags of nullable fields set).
    xdb_set_status(XD_OK);
    dbf_blank_record(t.handle);
    xdb_set_status(XD_OK);
    *deleted = false;
    for (const auto& kv : r.fields) {
        const JsonValue& v = kv.second;
        if (kv.first == "recno") continue;
        if (kv.first == "deleted") {
            char flag = 'F';
            if (v.kind != JsonValue::kNull && !parse_logical(v, &flag)) {
                *why = "\"deleted\" must be true or false";
                return false;
            }
            *deleted = flag == 'T';
            continue;
        }
        std::string name;
        int16_t index = -1;
        xdb_set_status(XD_OK);
        // The name as written, else as a field name is made from it (upper case,
        // other characters as '_', ten at most): a header "first name" fills the
        // field FIRST_NAME.
        if (codepage_from_utf8_counted(t.code_page, kv.first, &name) ||
            dbf_find_field(t.handle, &index, name.c_str()) != XD_OK) {
            xdb_set_status(XD_OK);
            if (dbf_find_field(t.handle, &index, cli_field_name_of(kv.first).c_str()) != XD_OK) {
                xdb_set_status(XD_OK);
                *why = "no field " + kv.first;
                return false;
            }
        }
        std::string reason;
        XDSTATUS s = put_value(t, index, v, &reason);
        if (s < 0) {
            *why = "field " + kv.first + ": " + (reason.empty() ? cli_status_text(s) : reason);
            return false;
        }
    }
    return true;
}

}  // namespace

int cmd_append(int argc, char** argv) {
    const char* usage =
        "usage: qxdb append FILE.dbf [--format jsonl|csv] [--codepage N] [--dialect N]\n"
        "                   [--skip-bad] [--truncate] [--replace] [--ignore-indexes] [--wait SECONDS] < records\n"
        "Appends records read from standard input: JSON objects one per line (as qxdb dump\n"
        "writes them; recno is ignored, \"deleted\": true appends the record deleted) or CSV\n"
        "with a header row of field names. Without --format, input starting with '{' is\n"
        "JSON, anything else CSV. Missing fields and nulls stay blank.\n"
        "A line that is not well formed or holds a value its field cannot take exactly is\n"
        "refused with its line number, and the command stops there (exit 1).\n"
        "  --skip-bad   refuse such lines and go on; they are counted at the end (exit 1)\n"
        "  --truncate   cut texts longer than their field, round numbers to its decimals\n"
        "  --replace    store '?' for characters the table's code page cannot hold\n"
        "Refused while index files of the table lie beside it (qxdb add keeps them in step),\n"
        "unless --ignore-indexes. Another program's append lock is waited for 2 s (--wait).\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"format", "codepage", "dialect", "wait"},
                             {"skip-bad", "truncate", "replace", "ignore-indexes"}, usage, &args);
        done >= 0)
        return done;
    std::string format = args.get("format", "");
    long long code_page = 0;
    if (args.positional.size() != 1 || (!format.empty() && format != "jsonl" && format != "csv") ||
        (args.has("codepage") && (!cli_parse_number(args.get("codepage"), 1, 65535, &code_page) ||
                                  !codepage_supported((int)code_page))))
        return cli_usage(usage);
    int forced = args.has("dialect") ? cli_row_for_dialect(args.get("dialect")) : -1;
    if (forced == -2) return kExitUsage;
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable opened;
    const std::string& path = args.positional[0];
    XDSTATUS s = cli_open_table(path, forced, &opened, XDB_OPEN_SHORTHAND);
    if (s < 0) return cli_fail("cannot open " + path, s);
    TableMemo memo;
    Target t{opened.handle, {}, cli_table_code_page(opened.handle, args), nullptr, 0, &memo,
             args.has("truncate"), args.has("replace")};
    uint16_t count = 0, largest = 0;
    dbf_field_count(t.handle, &count);
    t.fields.resize(count);
    dbf_describe_fields(t.handle, &largest, t.fields.data());
    dbf_record_layout(t.handle, &t.record, &t.record_length, &count);
    DbfHeaderInfo hi;
    dbf_header_info(t.handle, &hi);
    // A header that counts more records than the file holds is damaged: appending
    // would put the new records far past the real ones, behind phantom records.
    std::error_code size_error;
    const uint64_t file_size = std::filesystem::file_size(path, size_error);
    if (!size_error && file_size < (uint64_t)hi.header_length + (uint64_t)hi.record_count * hi.record_length) {
        fprintf(stderr, "qxdb: %s: the header counts %u records, the file holds %llu; not appending to a damaged table\n",
                path.c_str(), hi.record_count,
                (unsigned long long)(hi.record_length ? (file_size > hi.header_length
                                                             ? (file_size - hi.header_length) / hi.record_length
                                                             : 0)
                                                      : 0));
        return kExitFailed;
    }
    bool has_memo = false;
    for (const DbfFieldInfo& f : t.fields) has_memo |= f.type == 'M';
    if (has_memo && (s = memo.Open(path, hi.dialect, hi.version, true)) < 0 && s != XD_NOFILE)
        return cli_fail("cannot open " + memo.Path(), s);

    if (int refused = refuse_stale_indexes(path, t.handle, args.has("ignore-indexes"), "append")) return refused;
    if ((s = lock_for_append(t.handle, cli_wait_seconds(args, 2))) != XD_OK) return cli_fail("cannot lock " + path, s);
    RecordReader reader(std::cin, input_is_csv(std::cin, format));
    bool skip_bad = args.has("skip-bad");
    int appended = 0, refused = 0;
    bool stopped = false;
    Progress progress("appending to " + path, 0);
    for (;;) {
        InputRecord r;
        std::string why;
        int got = reader.Next(&r, &why);
        if (got == 0) break;
        bool deleted = false;
        if (got > 0 && !fill_record(t, r, &deleted, &why)) got = -1;
        if (got < 0) {
            fprintf(stderr, "qxdb: line %d: %s\n", r.line, why.c_str());
            refused++;
            if (got == -2 || !skip_bad) {
                stopped = true;
                break;
            }
            continue;
        }
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        if ((s = dbf_write_record(t.handle, &recno, DBF_WRITE_APPEND)) < 0) {
            cli_fail("appending line " + std::to_string(r.line), s);
            refused++;
            stopped = true;
            break;  // a failed write leaves the count to the next lock: stop here
        }
        if (deleted) {
            xdb_set_status(XD_OK);
            if ((s = dbf_delete_record(t.handle, recno)) < 0) {
                cli_fail("marking line " + std::to_string(r.line) + " deleted", s);
                stopped = true;
                break;
            }
        }
        progress.Step((uint64_t)++appended);
    }
    progress.Finish();
    xdb_set_status(XD_OK);
    dbf_unlock_file(t.handle, 1);
    xdb_set_status(XD_OK);
    if ((s = dbf_close(t.handle)) < 0) return cli_fail("closing " + path, s);
    fprintf(stderr, "qxdb: %d record%s appended to %s", appended, appended == 1 ? "" : "s", path.c_str());
    if (refused) fprintf(stderr, ", %d line%s refused%s", refused, refused == 1 ? "" : "s", stopped ? ", stopped" : "");
    fputc('\n', stderr);
    return refused ? kExitFailed : kExitOk;
}
