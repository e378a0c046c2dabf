// qxdb info FILE.dbf [--dialect N]

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"
#include "host/cli.h"

namespace {

const char kUsage[] =
    "usage: qxdb info FILE.dbf [--dialect N]\n"
    "Shows the dialect a table opens as (trying the variants in order), its header and its fields.\n";

}  // namespace

int cmd_info(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect"}, {}, kUsage, &args); done >= 0) return done;
    if (args.positional.size() != 1) return cli_usage(kUsage);
    int forced_row = -1;
    if (args.has("dialect")) {
        forced_row = cli_row_for_dialect(args.get("dialect"));
        if (forced_row < 0) return kExitUsage;
    }
    const std::string& path = args.positional[0];
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable t;
    XDSTATUS s = cli_open_table(path, forced_row, &t);
    if (s < 0) return cli_fail("cannot open " + path, s);

    DbfHeaderInfo hi;
    uint16_t count = 0, largest = 0;
    dbf_header_info(t.handle, &hi);
    dbf_field_count(t.handle, &count);
    std::vector<DbfFieldInfo> fields(count);
    dbf_describe_fields(t.handle, &largest, fields.data());
    int cp = codepage_of_language_driver(hi.code_page);

    printf("File:              %s\n", path.c_str());
    printf("Dialect:           %s (code %d, variant row %d%s)\n", kXbaseVariants[t.variant_row].name,
           hi.dialect & 0x7F, t.variant_row, hi.dialect & DBF_MEMO_FLAG ? ", memo fields" : "");
    printf("Version byte:      0x%02X\n", hi.version);
    printf("Last update:       %04d-%02d-%02d\n", 1900 + hi.year, hi.month, hi.day);
    printf("Records:           %u\n", hi.record_count);
    printf("Header length:     %u\n", hi.header_length);
    printf("Record length:     %u\n", hi.record_length);
    printf("Production index:  %u\n", hi.mdx_flag);
    if (cp)
        printf("Code page byte:    0x%02X (code page %d)\n", hi.code_page, cp);
    else
        printf("Code page byte:    0x%02X (none named; 850 assumed)\n", hi.code_page);
    printf("Access:            %s%s\n", hi.file_mode & XDB_FILE_READONLY ? "read-only" : "read-write",
           hi.file_mode & XDB_FILE_SHARED ? ", shared" : "");
    if (t.open_status > 0) printf("Warning:           %s\n", cli_status_text(t.open_status).c_str());
    printf("Fields:            %u\n", count);
    printf("  %3s  %-10s  %-4s  %5s  %3s  %s\n", "#", "Name", "Type", "Len", "Dec", "Flags");
    int display_cp = cp && codepage_supported(cp) ? cp : 850;
    for (uint16_t i = 0; i < count; i++) {
        const DbfFieldInfo& f = fields[i];
        std::string name = codepage_to_utf8(display_cp, f.name, strlen(f.name));
        std::string flags;
        bool vfp = (hi.dialect & 0x7F) == DBF_VFP;  // the flags byte is reserved elsewhere
        if (vfp && (f.flags & 0x01)) flags += "system ";
        if (vfp && (f.flags & 0x02)) flags += "nullable ";
        if (vfp && (f.flags & 0x04)) flags += "binary ";
        if (vfp && (f.flags & 0x0C) == 0x0C) flags += "autoincrement ";
        printf("  %3u  %-10s  %-4c  %5u  %3u  %s\n", i + 1, name.c_str(), f.type, f.length, f.decimals, flags.c_str());
    }
    xdb_set_status(XD_OK);
    dbf_close(t.handle);
    return kExitOk;
}
