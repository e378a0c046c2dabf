// qxdb index create TABLE.dbf FILE.ndx --expr EXPR [--unique]
// qxdb index keys FILE.ndx [--table TABLE.dbf] [--reverse]
// qxdb index seek FILE.ndx VALUE [--table TABLE.dbf]
// qxdb index check TABLE.dbf FILE.ndx
// qxdb reindex TABLE.dbf FILE.ndx
//
// NDX files do not tell date keys from numbers; with --table the key expression is
// evaluated on the table to find its type, and date keys print as yyyymmdd.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/ndx/ndx.h"
#include "framework/codepage.h"
#include "host/cli.h"
#include "host/progress.h"
#include "host/record_writer.h"

namespace {

// 0 for an NDX file; else says which format it is and that it is not read yet (exit 1).
int refuse_unsupported_index(const std::string& file) {
    size_t dot = file.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : file.substr(dot + 1);
    for (char& c : ext) c = (char)toupper((unsigned char)c);
    if (ext == "NDX") return 0;
    const char* family = ext == "NTX" ? "Clipper" : ext == "MDX" ? "dBASE IV" : ext == "IDX" ? "FoxPro" : ext == "CDX" ? "FoxPro and Visual FoxPro" : nullptr;
    if (!family) {
        fprintf(stderr, "qxdb: %s is no index file this program knows (NDX, NTX, MDX, IDX, CDX)\n", file.c_str());
        return kExitUsage;
    }
    fprintf(stderr, "qxdb: %s: %s indexes (%s) are not supported yet; only NDX files are read and written\n",
            file.c_str(), ext.c_str(), family);
    return kExitFailed;
}


const char kUsage[] =
    "usage: qxdb index create TABLE.dbf FILE.ndx --expr EXPR [--unique]\n"
    "       qxdb index keys FILE.ndx [--table TABLE.dbf] [--reverse]\n"
    "       qxdb index seek FILE.ndx VALUE [--table TABLE.dbf]\n"
    "       qxdb index check TABLE.dbf FILE.ndx\n"
    "       qxdb reindex TABLE.dbf FILE.ndx\n"
    "keys prints one line per entry in index order: recno<TAB>key. seek searches a key\n"
    "(a prefix for character keys) and prints the status and the entry it lands on.\n";

struct OpenIndex {
    int16_t handle = -1;
    NdxInfo info{};
    bool dates = false;
    int code_page = 850;
};

// Opens the index and, with a table, finds whether its numeric keys are dates.
int open_index(const CliArgs& args, OpenIndex* ix) {
    XDSTATUS s = ndx_open(&ix->handle, args.positional[1].c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND);
    if (s < 0) return cli_fail("cannot open " + args.positional[1], s);
    xdb_set_status(XD_OK);
    ndx_info(ix->handle, &ix->info);
    if (!args.has("table")) return -1;
    OpenedTable t;
    if ((s = cli_open_table(args.get("table"), -1, &t)) < 0) return cli_fail("cannot open " + args.get("table"), s);
    ix->code_page = cli_table_code_page(t.handle, args);
    uint32_t count = 0;
    dbf_record_count(t.handle, &count);
    if (count > 0 && ix->info.type == 'N') {
        xdb_set_status(XD_OK);
        dbf_read_record(t.handle, 1);
        xdb_set_status(XD_OK);
        std::string expr = ix->info.expression;
        XdbKeyValue v{};
        if (xdb_eval_key(t.handle, &expr[0], 0, &v) >= 0) ix->dates = v.type == 'D';
    }
    xdb_set_status(XD_OK);
    dbf_close(t.handle);
    return -1;
}

std::string key_text(const OpenIndex& ix, const uint8_t* key) {
    if (ix.info.type == 'C') {
        size_t n = ix.info.key_length;
        while (n > 0 && key[n - 1] == ' ') n--;
        return codepage_to_utf8(ix.code_page, (const char*)key, n);
    }
    double d;
    memcpy(&d, key, 8);
    if (ix.dates) {
        int y, m, day;
        if (!ndx_date_from_key(d, &y, &m, &day)) return "";
        char buf[16];
        snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, day);
        return buf;
    }
    return format_double(d);
}

int keys(const CliArgs& args) {
    OpenIndex ix;
    if (int done = open_index(args, &ix); done >= 0) return done;
    bool reverse = args.has("reverse");
    uint8_t key[128] = {0};
    uint32_t recno = 0;
    xdb_set_status(XD_OK);
    XDSTATUS s = reverse ? ndx_last(ix.handle, key, &recno) : ndx_first(ix.handle, key, &recno);
    uint64_t guard = 0;
    // The keys go to standard output; the progress (a terminal only) to standard error.
    Progress progress("walking " + args.positional[1], 0);
    while (s == XD_OK) {
        progress.Step(guard);
        printf("%u\t%s\n", recno, key_text(ix, key).c_str());
        xdb_set_status(XD_OK);
        s = reverse ? ndx_previous(ix.handle, key, &recno) : ndx_next(ix.handle, key, &recno);
        if (++guard > 0x7FFFFFFFull) break;  // a tree that loops
    }
    if (s < 0) return cli_fail("walking " + args.positional[1], s);
    return kExitOk;
}

int seek(const CliArgs& args) {
    if (args.positional.size() != 3) return cli_usage(kUsage);
    OpenIndex ix;
    if (int done = open_index(args, &ix); done >= 0) return done;
    uint8_t key[128] = {0};
    uint16_t size = 8;
    const std::string& value = args.positional[2];
    if (ix.info.type == 'C') {
        std::string bytes = codepage_from_utf8(ix.code_page, value);
        size = (uint16_t)(bytes.size() < 100 ? bytes.size() : 100);
        memcpy(key, bytes.data(), size);
    } else if (ix.dates) {
        int y = 0, m = 0, d = 0;
        std::string digits;
        for (char c : value)
            if (c != '-') digits += c;
        if (digits.size() != 8 || sscanf(digits.c_str(), "%4d%2d%2d", &y, &m, &d) != 3) {
            fprintf(stderr, "qxdb: dates are written YYYY-MM-DD\n");
            return kExitUsage;
        }
        double k = ndx_date_key(y, m, d);
        memcpy(key, &k, 8);
    } else {
        double k = strtod(value.c_str(), nullptr);
        memcpy(key, &k, 8);
    }
    uint32_t recno = 0;
    xdb_set_status(XD_OK);
    XDSTATUS s = ndx_seek(ix.handle, key, size, &recno, 0);
    if (s < 0) return cli_fail("seeking in " + args.positional[1], s);
    const char* what = s == XD_OK ? "found" : s == XD_KEYNOTFOUND ? "not found, on the entry before"
                     : s == XD_KEYNOTFOUNDEND ? "not found, on the first entry" : "empty index";
    printf("%s (%s)", what, cli_status_text(s).c_str());
    if (s != XD_EMPTYFILE) printf("\t%u\t%s", recno, key_text(ix, key).c_str());
    printf("\n");
    return kExitOk;
}

// Builds an index of `expr` over the table: its key type and length come from the
// expression's value on the first record (or on a blank record).
int create(const CliArgs& args) {
    if (args.positional.size() != 3 || !args.has("expr")) return cli_usage(kUsage);
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[1], -1, &t);
    if (s < 0) return cli_fail("cannot open " + args.positional[1], s);
    uint32_t count = 0;
    dbf_record_count(t.handle, &count);
    if (count > 0) {
        xdb_set_status(XD_OK);
        dbf_read_record(t.handle, 1);
    }
    std::string expr = args.get("expr");
    XdbKeyValue v{};
    xdb_set_status(XD_OK);
    if ((s = xdb_eval_key(t.handle, &expr[0], 0, &v)) < 0) return cli_fail("cannot evaluate " + args.get("expr"), s);
    char type = v.type == 'C' ? 'C' : v.type == 'D' ? 'D' : (v.type == 'N' || v.type == 'F') ? 'N' : 0;
    if (!type) {
        fprintf(stderr, "qxdb: an index key is text, a number or a date; %s is of type %c\n", args.get("expr").c_str(), v.type);
        return kExitFailed;
    }
    uint8_t key_type = (uint8_t)(type | (args.has("unique") ? 0x80 : 0));
    xdb_set_status(XD_OK);
    s = ndx_rebuild(t.handle, args.positional[2].c_str(), key_type, args.get("expr").c_str(), type == 'C' ? v.length : 8);
    if (s < 0) return cli_fail("cannot build " + args.positional[2], s);
    xdb_set_status(XD_OK);
    dbf_close(t.handle);
    fprintf(stderr, "qxdb: %s: %u keys\n", args.positional[2].c_str(), count);
    return kExitOk;
}

// Walks the tree and checks that every live record of the table has its key in it
// and that every entry names a record of the table.
int check(const CliArgs& args) {
    if (args.positional.size() != 3) return cli_usage(kUsage);
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[1], -1, &t);
    if (s < 0) return cli_fail("cannot open " + args.positional[1], s);
    int16_t h;
    xdb_set_status(XD_OK);
    if ((s = ndx_open(&h, args.positional[2].c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND)) < 0)
        return cli_fail("cannot open " + args.positional[2], s);
    char fault[256];
    uint32_t entries = 0, count = 0, missing = 0;
    xdb_set_status(XD_OK);
    if ((s = ndx_check(h, &entries, fault, sizeof fault)) < 0) {
        fprintf(stderr, "qxdb: %s: %s\n", args.positional[2].c_str(), fault);
        return kExitFailed;
    }
    dbf_record_count(t.handle, &count);
    NdxInfo info;
    ndx_info(h, &info);
    bool unique = info.unique != 0;  // one entry per key value, not per record
    Progress progress("checking " + args.positional[2], count);
    for (uint32_t n = 1; n <= count; n++) {
        progress.Step(n);
        xdb_set_status(XD_OK);
        const XDSTATUS read = dbf_read_ahead(t.handle, n);
        if (read < 0) return cli_fail("reading record " + std::to_string(n), xdb_status());
        const bool deleted = read == XD_DELETEDREC;
        uint8_t key[128] = {0};
        xdb_set_status(XD_OK);
        if ((s = ndx_key_from_record(h, t.handle, key)) < 0) return cli_fail("key of record " + std::to_string(n), s);
        uint8_t want[128];
        memcpy(want, key, sizeof want);
        uint32_t recno = n;
        xdb_set_status(XD_OK);
        s = ndx_seek(h, key, 100, &recno, unique ? 0 : NDX_EXACT);
        bool found = s == XD_OK && (unique ? memcmp(want, key, info.key_length) == 0 : recno == n);
        // A deleted record may have its key or not (DELETEINDEX, an add that did
        // not stand); a live record must.
        if (!found && !deleted) {
            if (missing++ < 10) fprintf(stderr, "qxdb: the key of record %u is not in the index\n", n);
        }
    }
    // Every entry names a record of the table.
    uint32_t strays = 0;
    {
        uint8_t key[128] = {0};
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        for (XDSTATUS w = ndx_first(h, key, &recno); w == XD_OK; w = ndx_next(h, key, &recno))
            if ((recno < 1 || recno > count) && strays++ < 10)
                fprintf(stderr, "qxdb: an entry names record %u, which the table does not hold\n", recno);
        xdb_set_status(XD_OK);
    }
    bool ok = missing == 0 && strays == 0 && entries <= count;
    if (!ok && entries > count) fprintf(stderr, "qxdb: %u entries for %u records\n", entries, count);
    printf("%s: %u entries, %u records, %s\n", args.positional[2].c_str(), entries, count, ok ? "no fault" : "FAULTY");
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

// Builds an index again from its table, with its own expression and key.
int cmd_reindex(int argc, char** argv) {
    const char* usage = "usage: qxdb reindex TABLE.dbf FILE.ndx\nBuilds an index again from its table.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {}, {}, usage, &args); done >= 0) return done;
    if (args.positional.size() != 2) return cli_usage(usage);
    if (int refused = refuse_unsupported_index(args.positional[1])) return refused;
    if (!cli_start_engine()) return kExitFailed;
    int16_t h;
    XDSTATUS s = ndx_open(&h, args.positional[1].c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND);
    if (s < 0) return cli_fail("cannot open " + args.positional[1], s);
    NdxInfo info;
    ndx_info(h, &info);
    xdb_set_status(XD_OK);
    ndx_close(h);
    OpenedTable t;
    if ((s = cli_open_table(args.positional[0], -1, &t)) < 0) return cli_fail("cannot open " + args.positional[0], s);
    // Numeric NDX keys may be dates: the expression's value tells.
    char type = info.type;
    if (type == 'N') {
        std::string expr = info.expression;
        XdbKeyValue v{};
        xdb_set_status(XD_OK);
        if (xdb_eval_key(t.handle, &expr[0], 0, &v) >= 0 && v.type == 'D') type = 'D';
    }
    xdb_set_status(XD_OK);
    s = ndx_rebuild(t.handle, args.positional[1].c_str(), (uint8_t)(type | (info.unique ? 0x80 : 0)), info.expression,
                    info.key_length);
    if (s < 0) return cli_fail("cannot rebuild " + args.positional[1], s);
    return kExitOk;
}

int cmd_index(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"table", "codepage", "expr"}, {"reverse", "unique"}, kUsage, &args); done >= 0)
        return done;
    if (args.positional.size() < 2) return cli_usage(kUsage);
    // The index file is the last argument of check and create's second; the other
    // formats are named as such rather than failing as damaged NDX files.
    const std::string& file = args.positional[0] == "check" && args.positional.size() > 2 ? args.positional[2]
                              : args.positional[0] == "create" && args.positional.size() > 2 ? args.positional[2]
                                                                                              : args.positional[1];
    if (int refused = refuse_unsupported_index(file)) return refused;
    if (!cli_start_engine()) return kExitFailed;
    if (args.positional[0] == "keys" && args.positional.size() == 2) return keys(args);
    if (args.positional[0] == "seek") return seek(args);
    if (args.positional[0] == "create") return create(args);
    if (args.positional[0] == "check") return check(args);
    return cli_usage(kUsage);
}
