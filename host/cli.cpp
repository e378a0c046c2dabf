#include "host/cli.h"
#include "host/item_values.h"
#include "host/error_words.h"
#include "engine/core/condexpr.h"

#include <chrono>
#include <filesystem>
#include <fstream>

#include "host/host_platform.h"


#include "engine/core/os.h"


#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"
#include "resources/messages.h"

bool CliArgs::has(const std::string& name) const {
    for (const auto& o : options)
        if (o.first == name) return true;
    return false;
}

std::vector<std::string> CliArgs::all(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& o : options)
        if (o.first == name) values.push_back(o.second);
    return values;
}

std::string CliArgs::get(const std::string& name, const std::string& def) const {
    for (const auto& o : options)
        if (o.first == name) return o.second;
    return def;
}

static bool listed(const std::vector<std::string>& v, const std::string& s) {
    for (const auto& x : v)
        if (x == s) return true;
    return false;
}

bool g_verbose = false;
CliTableStyle g_table_style = kTableNone;

namespace {

bool ends_with_dbf(const std::string& s) {
    if (s.size() < 4) return false;
    std::string ext = s.substr(s.size() - 4);
    for (char& c : ext) c = (char)tolower((unsigned char)c);
    return ext == ".dbf";
}

// The other form of naming a table, in the command's own.
void table_in_own_form(CliArgs* out) {
    std::vector<std::string>& p = out->positional;
    if (p.empty()) return;
    std::error_code ec;
    const CliTableStyle style = g_table_style == kTableDir && out->has("raw") ? kTableFile : g_table_style;
    if (style == kTableDir && !std::filesystem::is_directory(p[0], ec) &&
        (ends_with_dbf(p[0]) || std::filesystem::is_regular_file(p[0], ec))) {
        // FILE.dbf: its directory and its name.
        const std::filesystem::path file(p[0]);
        const std::string dir = file.parent_path().empty() ? "." : file.parent_path().string();
        p[0] = file.stem().string();
        p.insert(p.begin(), dir);
    } else if (style == kTableFile && p.size() >= 2 && std::filesystem::is_directory(p[0], ec)) {
        // DIR TABLE: the table's file in the directory.
        std::filesystem::path file = std::filesystem::path(p[0]) / p[1];
        if (!std::filesystem::exists(file, ec) && !file.has_extension()) {
            std::filesystem::path upper = file;
            upper += ".DBF";
            file += std::filesystem::exists(upper, ec) ? ".DBF" : ".dbf";
        }
        p[1] = file.string();
        p.erase(p.begin());
    }
}

}  // namespace

bool cli_parse(int argc, char** argv, const std::vector<std::string>& with_value,
               const std::vector<std::string>& flags, CliArgs* out) {
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::string name = a.substr(2), value;
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                if (!listed(with_value, name)) {
                    fprintf(stderr, "qxdb: option --%s takes no value\n", name.c_str());
                    return false;
                }
            } else if (listed(with_value, name)) {
                if (i + 1 >= argc) {
                    fprintf(stderr, "qxdb: option --%s needs a value\n", name.c_str());
                    return false;
                }
                value = argv[++i];
            } else if (!listed(flags, name)) {
                fprintf(stderr, "qxdb: unknown option --%s\n", name.c_str());
                return false;
            }
            out->options.emplace_back(name, value);
        } else {
            out->positional.push_back(a);
        }
    }
    return true;
}

int cli_begin(int argc, char** argv, const std::vector<std::string>& with_value,
              const std::vector<std::string>& flags, const char* usage, CliArgs* out) {
    std::vector<std::string> all_flags = flags;
    all_flags.push_back("help");
    all_flags.push_back("verbose");
    if (!cli_parse(argc, argv, with_value, all_flags, out)) return cli_usage(usage);
    g_verbose = out->has("verbose");
    table_in_own_form(out);
    if (out->has("help")) {
        fputs(usage, stdout);
        return kExitOk;
    }
    return -1;
}

int cli_usage(const char* usage) {
    fputs(usage, stderr);
    return kExitUsage;
}

std::string cli_status_engine_text(XDSTATUS status) {
    char buf[512];
    const XdbStatusInfo* info = xdb_status_info(status);
    if (!info) {
        snprintf(buf, sizeof buf, "system error %u (status %d)", (unsigned)(uint16_t)status & 0x3FFFu, status);
        return buf;
    }
    const char* text = qxdb_message_text(info->message_id);
    snprintf(buf, sizeof buf, "%s (%d): %s", info->name, status, text ? text : "");
    return buf;
}

std::string cli_status_text(XDSTATUS status) {
    const char* words = cli_status_words(status);
    if (!words) return cli_status_engine_text(status);
    return std::string(words) + " [" + cli_status_engine_text(status) + "]";
}

// The system's reason for the last failed call (a Win32 error number, as the
// operating-system layer keeps it on every platform), in words; empty when none.
static std::string system_reason() {
    switch (uint32_t e = osl_last_error()) {
    case 0: return "";
    case 2: return "no such file";
    case 3: return "no such directory";
    case 5: return "access denied";
    case 32: return "the file is in use by another program";
    case 33: return "a region of the file is locked by another program";
    case 39:
    case 112: return "the disk is full";
    case 80:
    case 183: return "the file exists already";
    default: return "system error " + std::to_string(e);
    }
}

int cli_exit_for(XDSTATUS status, bool file_fault) {
    // A file that would not open: the system's reason tells which.
    if (status == XD_OPENERR || status == XD_NOFILE || status == XD_ACCESSDENIED) {
        switch (osl_last_error()) {
        case 2: case 3: return kExitNotFound;  // no such file, no such directory
        case 32: case 33: return kExitLocked;  // in use, a region locked
        default: break;
        }
    }
    switch (status) {
    case XD_NOFILE: case XD_NOPATH: case XD_KEYNOTFOUND: case XD_KEYNOTFOUNDEND:
        return kExitNotFound;
    case XD_LOCKVIOLATION: case XD_FILESOPEN: case XD_TAGINUSE:
        return kExitLocked;
    // Statuses only a file's own bytes give (the others also refuse what a caller
    // asked for, as a bad field of a table to create).
    case XD_CORRUPT: case XD_BADFILESIZE: case XD_BADHEADERSIZE: case XD_BADROOT: case XD_BADITEMSIZE:
    case XD_BADMAXKEYS: case XD_BADMINKEYS: case XD_BADRECSIZE: case XD_BADMEMOLINE: case XD_BADBLOCKSIZE:
    case XD_BADOFFSET: case XD_BADTAGTABLEMAX: case XD_BADTAGITEMSIZE: case XD_BADTAGCOUNT: case XD_BADKEYFORMAT:
        return kExitDamaged;
    default:
        // A file of the kind asked for whose bytes an open found wrong.
        return status < 0 && file_fault ? kExitDamaged : kExitFailed;
    }
}

int cli_fail(const std::string& what, XDSTATUS status) {
    // An index open's reason in words (a table's is told by cli_open_table).
    bool specific = false;
    const std::string fault = xdb_fault_text(&specific);
    const int code = cli_exit_for(status, specific && !fault.empty());
    if (!fault.empty() && what.compare(0, 12, "cannot open ") == 0 && specific) {
        fprintf(stderr, "qxdb: %s: %s\n", what.substr(12).c_str(), fault.c_str());
        xdb_clear_fault();
    }
    const std::string reason = system_reason();
    const char* words = cli_status_words(status);
    // What failed and why in a line, then the engine's own words beneath it.
    fprintf(stderr, "qxdb: %s: %s%s\n    %s\n", what.c_str(), words ? words : "failed",
            reason.empty() ? "" : (" (" + reason + ")").c_str(), cli_status_engine_text(status).c_str());
    return code;
}

static void stop_engine() { xdbterm(); }

bool cli_start_engine() {
    XDSTATUS s = xdbinit();
    if (s != XD_OK) {
        cli_fail("engine start", s);
        return false;
    }
    atexit(stop_engine);
    return true;
}

// While a tool retries an open, the reasons of the attempts before the last are
// not told.
static bool g_quiet_open = false;

long long cli_wait_seconds(const CliArgs& args, long long default_seconds) {
    long long seconds = default_seconds;
    if (args.has("wait")) cli_parse_number(args.get("wait"), 0, 86400, &seconds);
    return seconds;
}

XDSTATUS cli_retry_locked(long long seconds, const std::function<XDSTATUS()>& operation) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        xdb_set_status(XD_OK);
        XDSTATUS s = operation();
        if (s != XD_LOCKVIOLATION || std::chrono::steady_clock::now() >= deadline) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

XDSTATUS cli_open_table_waiting(long long seconds, const std::string& path, int forced_row, OpenedTable* out,
                                uint16_t open_bits) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const bool last = std::chrono::steady_clock::now() >= deadline;
        g_quiet_open = !last;
        XDSTATUS s = cli_open_table(path, forced_row, out, open_bits);
        g_quiet_open = false;
        // In use elsewhere: refused with the file there and readable.
        const bool in_use = s == XD_LOCKVIOLATION && host_may_read(path);
        if (s >= 0 || !in_use || last) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool cli_parse_number(const std::string& text, long long min, long long max, long long* out, int base) {
    if (text.empty() || isspace((unsigned char)text[0])) return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, base);
    if (*end || errno == ERANGE || v < min || v > max) return false;
    *out = v;
    return true;
}

const char kCliDialects[] =
    "the dialects are 1 dbase3, 2 dbase4, 3 foxbase, 4 foxpro1, 5 clipper, 6 clipper5, 7 dbxl, 8 foxpro, 9 omnis, 10 vfp";

int cli_bad_argument(const std::string& argument, const std::string& accepted, const std::string& example) {
    fprintf(stderr, "qxdb: %s: %s (example: %s)\n", argument.c_str(), accepted.c_str(), example.c_str());
    return kExitUsage;
}

bool cli_record_format(const CliArgs& args, const char* def, RecordFormat* out) {
    const std::string name = args.get("format", def);
    if (parse_record_format(name, out)) return true;
    cli_bad_argument("--format " + name, "the formats are table, csv and jsonl", "--format csv");
    return false;
}

bool cli_dialect_code(const std::string& text, long long* code) {
    if (cli_parse_number(text, 0, 65535, code)) return true;
    // Names, in any case, without blanks or punctuation.
    std::string key;
    for (char c : text)
        if (isalnum((unsigned char)c)) key += (char)tolower((unsigned char)c);
    static const struct {
        const char* name;
        int code;
    } kNames[] = {{"dbase3", 1},  {"dbaseiii", 1}, {"dbase4", 2},      {"dbaseiv", 2},  {"foxbase", 3},
                  {"foxpro1", 4}, {"foxpro10", 4}, {"clipper", 5},     {"clipper5", 6}, {"clipper50", 6},
                  {"dbxl", 7},    {"quicksilver", 7}, {"foxpro", 8},   {"foxpro2", 8},  {"foxpro20", 8},
                  {"omnis", 9},   {"vfp", 10},     {"visualfoxpro", 10}};
    for (const auto& n : kNames)
        if (key == n.name) {
            *code = n.code;
            return true;
        }
    return false;
}

int cli_row_for_dialect(const std::string& text) {
    long long code = 0;
    if (cli_dialect_code(text, &code))
        for (int r = 0; r < kXbaseVariantCount; r++)
            if (kXbaseVariants[r].code == code) return r;
    cli_bad_argument("--dialect " + text, kCliDialects, "--dialect foxpro");
    return -2;
}

std::string cli_field_name_of(const std::string& column) {
    std::string name;
    for (size_t i = 0; i < column.size() && name.size() < 10; i++) {
        const unsigned char c = (unsigned char)column[i];
        if (c >= 0x80) {  // one '_' for the whole UTF-8 character
            while (i + 1 < column.size() && ((unsigned char)column[i + 1] & 0xC0) == 0x80) i++;
            name += '_';
        } else {
            name += isalnum(c) || c == '_' ? (char)toupper(c) : '_';
        }
    }
    return name;
}

int cli_check_key_expression(int16_t handle, const std::string& expression, const CliArgs& args) {
    if (args.has("literal")) return 0;
    int depth = 0;
    char quote = 0;
    for (char c : expression) {
        if (quote) quote = c == quote ? 0 : quote;
        else if (c == '"' || c == '\'') quote = c;
        else if (c == '(') depth++;
        else if (c == ')' && --depth < 0) break;
    }
    char why[200] = "";
    if (depth != 0 || quote) {
        snprintf(why, sizeof why, "%s", quote ? "a text is not closed" : "its parentheses do not pair");
    } else {
        // The condition grammar is the key grammar's strict form: a name that is no
        // field is an error there, not a text.
        xdb_set_status(XD_OK);
        XDSTATUS s = xdb_check_condition(handle, ("EMPTY(" + expression + ")").c_str(), why, sizeof why);
        xdb_set_status(XD_OK);
        if (s >= 0) return 0;
    }
    fprintf(stderr,
            "qxdb: key expression '%s': %s\n"
            "      a key expression computes a key from the fields, as NAME, UPPER(NAME)+DTOS(BORN) or\n"
            "      STR(AMOUNT,10,2); --literal takes it as written (a name that is no field is then text)\n",
            expression.c_str(), why[0] ? why : "it cannot be evaluated");
    return kExitUsage;
}

int cli_code_page_of_header(uint8_t version, uint8_t language_driver) {
    return code_page_of_header(version, language_driver);
}

int cli_table_code_page(int16_t handle, const CliArgs& args) {
    if (args.has("codepage")) return atoi(args.get("codepage").c_str());
    DbfHeaderInfo hi;
    xdb_set_status(XD_OK);
    dbf_header_info(handle, &hi);
    return cli_code_page_of_header(hi.version, hi.code_page);
}

XDSTATUS cli_open_table(const std::string& path, int forced_row, OpenedTable* out, uint16_t open_bits) {
    XDSTATUS best = XD_BADVERSION, specific_status = XD_OK;
    bool have_best = false;
    std::string specific_fault;
    for (int row = 0; row < kXbaseVariantCount; row++) {
        if (forced_row >= 0 && row != forced_row) continue;
        xdb_set_status(XD_OK);
        int16_t h = -1;
        XDSTATUS s = dbf_open(&h, path.c_str(), (uint16_t)(open_bits | kXbaseVariants[row].code));
        if (s >= 0 && !(open_bits & XDB_OPEN_READONLY)) {
            // Asked for writing, given reading only: the engine falls back so when
            // the file cannot be opened as asked. When the file itself may be
            // written, another program holds it; say so rather than "read-only".
            DbfHeaderInfo hi;
            dbf_header_info(h, &hi);
            if ((hi.file_mode & XDB_FILE_READONLY) && host_may_write(path)) {
                xdb_set_status(XD_OK);
                dbf_close(h);
                xdb_set_status(XD_OK);
                if (!g_quiet_open) fprintf(stderr, "qxdb: %s is in use by another program\n", path.c_str());
                return XD_LOCKVIOLATION;
            }
        }
        if (s >= 0) {
            out->handle = h;
            out->variant_row = row;
            out->open_status = s;
            xdb_set_status(XD_OK);
            return XD_OK;
        }
        if (s == XD_OPENERR) {
            // The file is there and may be read, yet cannot be opened: another
            // program holds it for itself.
            std::error_code ec;
            if (std::filesystem::is_directory(path, ec))
                fprintf(stderr, "qxdb: %s is a directory, not a table\n", path.c_str());
            else if (std::filesystem::is_regular_file(path, ec) && host_may_read(path)) {
                if (!g_quiet_open) fprintf(stderr, "qxdb: %s is in use by another program\n", path.c_str());
                return XD_LOCKVIOLATION;
            }
            return s;  // no other variant will do better
        }
        // The fault of a dialect whose version byte the file has is the file's own:
        // it is the one worth telling.
        bool specific = false;
        const char* fault = xdb_fault_text(&specific);
        if (specific && fault[0] && specific_fault.empty()) {
            specific_fault = fault;
            specific_status = s;
        }
        if (!have_best && s != XD_BADVERSION) {
            best = s;
            have_best = true;
        }
    }
    xdb_set_status(XD_OK);
    if (!specific_fault.empty()) {
        fprintf(stderr, "qxdb: %s: %s\n", path.c_str(), specific_fault.c_str());
        return specific_status;
    }
    if (!have_best && forced_row < 0) {
        std::ifstream in(path, std::ios::binary);
        int version = in.get();
        if (version != EOF)
            fprintf(stderr, "qxdb: %s: version byte 0x%02X is of no dialect this program reads (--dialect forces one)\n",
                    path.c_str(), version);
    }
    return best;
}
