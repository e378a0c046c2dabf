// The file tools that change tables:
//   qxdb create FILE.dbf --dialect N NAME:TYPE[:LEN[:DEC]]...
//   qxdb delete DIR TABLE RECNO... (through the library) or --raw FILE.dbf RECNO...
//   qxdb recall FILE.dbf RECNO...
//   qxdb pack FILE.dbf

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "framework/codepage.h"
#include "host/cli.h"
#include "host/progress.h"
#include "host/library_cli.h"
#include "host/index_guard.h"
#include "host/library_table.h"
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

// qxdb delete DIR TABLE RECNO...: the host's delete, indexes kept in step.
int delete_through_library(const CliArgs& args, const char* usage) {
    if (args.positional.size() < 3) return cli_usage(usage);
    std::vector<long long> recnos;
    for (size_t i = 2; i < args.positional.size(); i++) {
        long long n;
        if (!cli_parse_number(args.positional[i], 1, 0x7FFFFFFE, &n)) {
            fprintf(stderr, "qxdb: '%s' is not a record number\n", args.positional[i].c_str());
            return kExitUsage;
        }
        recnos.push_back(n);
    }
    LibraryTable t;
    if (int code = t.Open(args, true)) return code;
    int failed = 0;
    IXbaseTable* table = t.Table();
    // Every number is checked before the first delete: a bad one refuses them all.
    int64_t count = 0;
    if (!table->CountRecords(&count)) return cli_fail_holder(table->GetErrorHolder(), "cannot count the records");
    for (long long n : recnos) {
        if (n > count) {
            fprintf(stderr, "qxdb: record %lld is past the table's %lld records; nothing was deleted\n", n, (long long)count);
            return kExitFailed;
        }
    }
    for (long long n : recnos)
        if (!retry_while_locked(args, table->GetErrorHolder(), [&] { return table->DeleteRecord(n, 5); }))
            if (int code = cli_fail_holder(t.Table()->GetErrorHolder(), "record " + std::to_string(n) + " was not deleted");
                !failed)
                failed = code;  // the first failure's exit status
    return failed;
}

int change_flags(int argc, char** argv, bool deleting) {
    const char* usage =
        deleting ? "usage: qxdb delete DIR TABLE RECNO... [--wait SECONDS]   or   qxdb delete --raw FILE.dbf RECNO...\n"
                   "Marks records deleted through the library: each record is tested free of other\n"
                   "programs' locks (--wait retries that long), and with DELETEINDEX=1 in qxdbins.ini\n"
                   "its keys leave the indexes.\n"
                   "--raw marks them in the file itself, indexes untouched: refused while index files\n"
                   "of the table lie beside it, unless --ignore-indexes (--wait as above).\n"
                 : "usage: qxdb recall FILE.dbf RECNO... [--dialect N] [--ignore-indexes] [--wait SECONDS]\n"
                   "Marks deleted records live again (refused while index files of the table lie\n"
                   "beside it, unless --ignore-indexes; --wait retries a record another program\n"
                   "has locked that long).\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect", "wait"}, {"raw", "ignore-indexes"}, usage, &args); done >= 0)
        return done;
    if (deleting && !args.has("raw")) return delete_through_library(args, usage);
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
    if (forced == -2) return kExitUsage;
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[0], forced, &t, XDB_OPEN_SHORTHAND);
    if (s < 0) return cli_fail("cannot open " + args.positional[0], s);
    if (int refused = refuse_stale_indexes(args.positional[0], t.handle, args.has("ignore-indexes"),
                                           deleting ? "delete --raw" : "recall")) {
        dbf_close(t.handle);
        return refused;
    }
    int failed = 0;
    for (uint32_t n : recnos) {
        const long long wait = cli_wait_seconds(args, 0);
        if ((s = cli_retry_locked(wait, [&] { return dbf_lock_record(t.handle, DBF_RECORD_LOCK, n); })) != XD_OK) {
            failed = cli_fail("record " + std::to_string(n) + " is not available", s);
            continue;
        }
        s = deleting ? dbf_delete_record(t.handle, n) : dbf_recall_record(t.handle, n);
        if (s < 0) failed = cli_fail("record " + std::to_string(n), s);
        xdb_set_status(XD_OK);
        dbf_lock_record(t.handle, DBF_RECORD_UNLOCK, n);
    }
    xdb_set_status(XD_OK);
    if ((s = dbf_close(t.handle)) < 0) return cli_fail("closing " + args.positional[0], s);
    return failed;  // the exit code of the last failure, if any
}

}  // namespace

int cmd_create(int argc, char** argv) {
    const char* usage =
        "usage: qxdb create FILE.dbf --dialect N [--production-index] NAME:TYPE[:LEN[:DEC]]...\n"
        "Creates an empty table. Dialects by code or name: 1 dbase3, 2 dbase4, 3 foxbase,\n"
        "4 foxpro1, 5 clipper, 6 clipper5, 7 dbxl, 8 foxpro (2.0), 9 omnis (10 vfp cannot be\n"
        "created). Types C, N, F, D, L, M (D, L and M need no length). --production-index\n"
        "marks the table's own index in its header: a FoxPro table gets its structural\n"
        "FILE.cdx, a dBASE IV table its production FILE.mdx (without tags: qxdb index\n"
        "create ... --tag adds them).\n"
        "example: qxdb create people.dbf --dialect dbase3 NAME:C:30 BORN:D SALARY:N:10:2\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect"}, {"production-index"}, usage, &args); done >= 0) return done;
    long long dialect = 0;
    if (args.positional.size() < 2) return cli_usage(usage);
    if (!args.has("dialect")) return cli_bad_argument("create", std::string("needs --dialect: ") + kCliDialects, "--dialect dbase3");
    if (!cli_dialect_code(args.get("dialect"), &dialect))
        return cli_bad_argument("--dialect " + args.get("dialect"), kCliDialects, "--dialect dbase3");
    std::vector<DbfCreateField> fields;
    for (size_t i = 1; i < args.positional.size(); i++) {
        std::vector<std::string> p = split(args.positional[i], ':');
        DbfCreateField f{};
        long long length = 0, decimals = 0;
        if (p.size() < 2 || p.size() > 4 || p[1].size() != 1 || (p.size() > 2 && !cli_parse_number(p[2], 0, 65535, &length)) ||
            (p.size() > 3 && !cli_parse_number(p[3], 0, 65535, &decimals))) {
            return cli_bad_argument("field " + args.positional[i], "a field is NAME:TYPE[:LEN[:DEC]], types C N F D L M",
                                    "NAME:C:30 BORN:D SALARY:N:10:2");
        }
        if (p[0].size() > 10)
            return cli_bad_argument("field " + args.positional[i],
                                    "a field name has at most 10 characters (" + p[0] + " has " + std::to_string(p[0].size()) + ")",
                                    p[0].substr(0, 10) + args.positional[i].substr(p[0].size()));
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
    // A FoxPro table's structural index, a dBASE IV table's production index: made
    // before the header that names it, so that no instant has a table naming a file
    // that is not there.
    const std::string& table = args.positional[0];
    const std::string structural = table.substr(0, table.find_last_of('.')) + (dialect == 2 ? ".mdx" : ".cdx");
    const bool fox_structural = args.has("production-index") && (dialect == 8 || dialect == 2);
    XDSTATUS s;
    if (fox_structural && (s = IndexCreateEmpty(index_type_of_file(structural.c_str()), structural.c_str())) < 0)
        return cli_fail("cannot create " + structural, s);
    s = dbf_create(table.c_str(), (int16_t)fields.size(), fields.data(), mode);
    if (s < 0) {
        if (fox_structural) xdb_fdelete(structural.c_str());
        return cli_fail("cannot create " + table, s);
    }
    bool has_memo = false;
    for (const DbfCreateField& f : fields) has_memo |= f.type == 'M';
    if (has_memo && (s = TableMemo::Create(args.positional[0], (uint8_t)dialect)) < 0)
        return cli_fail("cannot create the memo file of " + args.positional[0], s);
    return kExitOk;
}

int cmd_delete(int argc, char** argv) { return change_flags(argc, argv, true); }
int cmd_recall(int argc, char** argv) { return change_flags(argc, argv, false); }

int cmd_pack(int argc, char** argv) {
    const char* usage =
        "usage: qxdb pack FILE.dbf [--dialect N] [--ignore-indexes] [--wait SECONDS]\n"
        "Removes the deleted records. The table must not be open elsewhere (--wait waits\n"
        "that long for the others to close it). Refused while index files of the table lie\n"
        "beside it (qxdb compact keeps them in step), unless --ignore-indexes.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"dialect", "wait"}, {"ignore-indexes"}, usage, &args); done >= 0) return done;
    if (args.positional.size() != 1) return cli_usage(usage);
    int forced = args.has("dialect") ? cli_row_for_dialect(args.get("dialect")) : -1;
    if (forced == -2) return kExitUsage;
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable t;
    XDSTATUS s = cli_open_table_waiting(cli_wait_seconds(args, 0), args.positional[0], forced, &t, 0);  // exclusive
    if (s < 0) return cli_fail("cannot open " + args.positional[0], s);
    if (int refused = refuse_stale_indexes(args.positional[0], t.handle, args.has("ignore-indexes"), "pack")) {
        dbf_close(t.handle);
        return refused;
    }
    uint32_t before = 0, after = 0;
    dbf_record_count(t.handle, &before);
    xdb_set_status(XD_OK);
    {
        EngineProgress progress("packing " + args.positional[0]);
        s = dbf_pack(&t.handle);
    }
    if (s < 0) return cli_fail("cannot pack " + args.positional[0], s);
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
