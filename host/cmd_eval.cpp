// qxdb eval FILE.dbf RECNO EXPR: a key expression evaluated against one record.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "framework/codepage.h"
#include "host/cli.h"
#include "host/record_writer.h"

int cmd_eval(int argc, char** argv) {
    const char* usage =
        "usage: qxdb eval FILE.dbf RECNO EXPR [--terms N] [--codepage N] [--dialect N] [--literal]\n"
        "Evaluates a key expression against record RECNO and prints its type, length and value.\n"
        "A name that is no field of the table is refused; --literal takes it as text, as xBase\n"
        "key expressions do.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"terms", "codepage", "dialect"}, {"literal"}, usage, &args); done >= 0) return done;
    long long recno = 0, terms = 0;
    if (args.positional.size() != 3 || !cli_parse_number(args.positional[1], 1, 0xFFFFFFFFll, &recno) ||
        !cli_parse_number(args.get("terms", "0"), 0, 32767, &terms))
        return cli_usage(usage);
    int forced = args.has("dialect") ? cli_row_for_dialect(args.get("dialect")) : -1;
    if (forced == -2) return kExitUsage;
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[0], forced, &t);
    if (s < 0) return cli_fail("cannot open " + args.positional[0], s);
    xdb_set_status(XD_OK);
    if ((s = dbf_read_record(t.handle, (uint32_t)recno)) < 0) return cli_fail("record " + args.positional[1], s);
    if (int refused = cli_check_key_expression(t.handle, args.positional[2], args)) return refused;
    std::string expr = args.positional[2];
    XdbKeyValue v{};
    xdb_set_status(XD_OK);
    s = xdb_eval_key(t.handle, &expr[0], (int)terms, &v);
    if (s < 0) return cli_fail("cannot evaluate " + args.positional[2], s);
    std::string value;
    const unsigned char* p = (const unsigned char*)v.value;
    switch (v.type) {
    case 'C':
    case 'D':
        value.assign(1, '"');
        value += codepage_to_utf8(cli_table_code_page(t.handle, args), (const char*)p, v.length);
        value += '"';
        break;
    case 'N':
    case 'F':
    case 'B':
    case 'Y': {
        double d;
        memcpy(&d, p, 8);
        value = format_double(d);
        break;
    }
    case 'L': value = *p ? "true" : "false"; break;
    case 'I': {
        int32_t i;
        memcpy(&i, p, 4);
        value = std::to_string(i);
        break;
    }
    default: {
        static const char kHex[] = "0123456789ABCDEF";
        for (uint16_t i = 0; i < v.length; i++) {
            value += kHex[p[i] >> 4];
            value += kHex[p[i] & 15];
        }
    }
    }
    printf("type %c, length %u: %s\n", v.type == ' ' ? '-' : (char)v.type, v.length, value.c_str());
    xdb_set_status(XD_OK);
    dbf_close(t.handle);
    return kExitOk;
}
