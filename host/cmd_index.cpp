// qxdb index keys FILE.ndx [--table TABLE.dbf] [--reverse]
// qxdb index seek FILE.ndx VALUE [--table TABLE.dbf]
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
#include "host/record_writer.h"

namespace {

const char kUsage[] =
    "usage: qxdb index keys FILE.ndx [--table TABLE.dbf] [--reverse]\n"
    "       qxdb index seek FILE.ndx VALUE [--table TABLE.dbf]\n"
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
    while (s == XD_OK) {
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

}  // namespace

int cmd_index(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"table", "codepage"}, {"reverse"}, kUsage, &args); done >= 0) return done;
    if (args.positional.size() < 2) return cli_usage(kUsage);
    if (!cli_start_engine()) return kExitFailed;
    if (args.positional[0] == "keys" && args.positional.size() == 2) return keys(args);
    if (args.positional[0] == "seek") return seek(args);
    return cli_usage(kUsage);
}
