// qxdb browse / seek / count: a table read through the library as a host reads it,
// with a cursor: physical or key order, ranges, searches, counts.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"
#include "framework/host_item_types.h"
#include "host/cli.h"
#include "host/host_record.h"
#include "host/library_cli.h"
#include "host/library_table.h"
#include "host/loader.h"
#include "host/progress.h"
#include "host/record_writer.h"
#include "host/where_filter.h"

namespace {

const char kBrowseUsage[] =
    "usage: qxdb browse DIR TABLE [--key ITEM] [--from VALUE] [--to VALUE] [--reverse] [--limit N]\n"
    "                   [--format table|csv|jsonl] [--where CONDITION] [--codepage N]\n"
    "                   [--host-text [--oemtoansi]]\n"
    "Reads TABLE through the library as a host does: in physical order (deleted records\n"
    "skipped), or in the order of the key ITEM (deleted records shown as such), optionally\n"
    "between --from and --to (text bounds are prefixes: --from B --to C takes every key\n"
    "from B to C...). --where shows only the records that meet an xBase condition, as\n"
    "qxdb dump --where does (qxdb help dump).\n"
    "Text is shown and taken in the table's code page (its header's; --codepage N\n"
    "overrides). --host-text shows what a host gets instead: the library's conversion to\n"
    "the host's 1252 text, fifteen accented letters, or with --oemtoansi the system's OEM\n"
    "table (the connection option OEMTOANSI=WINDOWS). The same holds for seek, count, add\n"
    "and modify.\n"
    "example: qxdb browse tests/data/peers/xbase64/dbase3 PEOPLE --key NAME --from A --to B\n";

const char kSeekUsage[] =
    "usage: qxdb seek DIR TABLE ITEM VALUE [--prefix] [--format table|csv|jsonl]\n"
    "                 [--codepage N] [--host-text [--oemtoansi]]\n"
    "Searches VALUE in the key ITEM and prints the record found (the first of equal keys).\n"
    "--prefix finds the first key that begins with VALUE. Dates are YYYY-MM-DD or YYYYMMDD.\n"
    "Exit status 3 when no key matches (browse --from V --to V lists every match). Text\n"
    "as for browse (qxdb help browse).\n"
    "example: qxdb seek tests/data/peers/xbase64/dbase3 PEOPLE NAME \"Abbott, Ann-Marie\"\n";

const char kCountUsage[] =
    "usage: qxdb count DIR TABLE [--deleted | --key ITEM [--from VALUE] [--to VALUE]]\n"
    "                  [--where CONDITION] [--codepage N] [--host-text [--oemtoansi]]\n"
    "Prints the table's record count (deleted records included); with --deleted the number\n"
    "of deleted records; with --key the number of keys of ITEM within the bounds. --where\n"
    "counts only the records among these that meet an xBase condition (qxdb help dump).\n"
    "example: qxdb count tests/data/peers/xbase64/dbase3 PEOPLE --key NAME --from A --to B\n";

int begin(int argc, char** argv, const std::vector<std::string>& with_value, const std::vector<std::string>& flags,
          const char* usage, size_t positional, CliArgs* args, RecordFormat* format) {
    if (int done = cli_begin(argc, argv, with_value, flags, usage, args); done >= 0) return done;
    if (args->positional.size() != positional) return cli_usage(usage);
    if (format && !cli_record_format(*args, "table", format)) return kExitUsage;
    return -1;
}

}  // namespace

int cmd_browse(int argc, char** argv) {
    CliArgs args;
    RecordFormat format;
    if (int done = begin(argc, argv, {"key", "from", "to", "limit", "format", "codepage", "where"}, {"reverse", "oemtoansi", "host-text"}, kBrowseUsage,
                         2, &args, &format);
        done >= 0)
        return done;
    long long limit = -1;
    if (args.has("limit") && !cli_parse_number(args.get("limit"), 0, 1LL << 40, &limit))
        return cli_bad_argument("--limit " + args.get("limit"), "a number of records is needed", "--limit 10");
    const std::string key = args.get("key");
    if (key.empty() && (args.has("from") || args.has("to"))) {
        fputs("qxdb: --from and --to need --key\n", stderr);
        return kExitUsage;
    }
    LibraryTable t;
    if (int code = t.Open(args, false)) return code;
    std::string from_text, to_text;
    HostItemValue from, to;
    if (args.has("from") && !value_for_item(t.Description(), key, args.get("from"), &from_text, &from, t.TextPage())) return kExitUsage;
    if (args.has("to") && !value_for_item(t.Description(), key, args.get("to"), &to_text, &to, t.TextPage())) return kExitUsage;
    WhereFilter where;
    if (int code = where.Open(args, -1, wide_to_utf8(t.Description()->GetPhysicalPath()))) return code;
    std::vector<size_t> widths;
    std::vector<std::string> columns = t.Columns(&widths);
    RecordWriter writer(stdout, format, columns, widths);
    IXbaseCursor* c = t.Cursor();
    const bool reverse = args.has("reverse");
    const std::u16string wkey = utf8_to_wide(key);
    const int start = reverse ? kBrowseLast : kBrowseFirst;
    int ok = key.empty() ? c->Browse(nullptr, start, 0)
                         : c->BrowseRange(wkey.c_str(), start, args.has("from") ? &from : nullptr,
                                          args.has("to") ? &to : nullptr, 0);
    Progress progress("browsing " + args.positional[1], 0);
    uint64_t met = 0;
    for (long long n = 0; ok && !c->IsEndOfData() && (limit < 0 || n < limit);) {
        progress.Step(++met);
        const int taken = where.TakesRecord((uint32_t)c->GetRecordNumber());
        if (taken < 0) {
            writer.finish();
            return kExitFailed;
        }
        if (taken) {
            t.Write(writer);
            n++;
        }
        ok = c->Browse(wkey.c_str(), reverse ? kBrowsePrevious : kBrowseNext, 0);
    }
    progress.Finish();
    writer.finish();
    if (!ok) return cli_fail_holder(c->GetErrorHolder(), "browse of " + args.positional[1] + " failed");
    return kExitOk;
}

int cmd_seek(int argc, char** argv) {
    CliArgs args;
    RecordFormat format;
    if (int done = begin(argc, argv, {"format", "codepage"}, {"prefix", "oemtoansi", "host-text"}, kSeekUsage, 4, &args, &format); done >= 0)
        return done;
    LibraryTable t;
    if (int code = t.Open(args, false)) return code;
    const std::string& key = args.positional[2];
    std::string text;
    HostItemValue value;
    if (!value_for_item(t.Description(), key, args.positional[3], &text, &value, t.TextPage())) return kExitUsage;
    std::vector<size_t> widths;
    std::vector<std::string> columns = t.Columns(&widths);
    IXbaseCursor* c = t.Cursor();
    int outcome = kSearchNotFound;
    const std::u16string wkey = utf8_to_wide(key);
    if (!c->Search(wkey.c_str(), &value, args.has("prefix") ? kSearchGeneric : 0, &outcome))
        return cli_fail_holder(c->GetErrorHolder(), "search in " + key + " failed");
    if (outcome != kSearchFound) {
        fprintf(stderr, "qxdb: %s not found in %s\n", args.positional[3].c_str(), key.c_str());
        return kExitNotFound;
    }
    RecordWriter writer(stdout, format, columns, widths);
    t.Write(writer);
    writer.finish();
    return kExitOk;
}

int cmd_count(int argc, char** argv) {
    CliArgs args;
    if (int done = begin(argc, argv, {"key", "from", "to", "codepage", "where"}, {"deleted", "oemtoansi", "host-text"}, kCountUsage, 2, &args, nullptr);
        done >= 0)
        return done;
    const std::string key = args.get("key");
    if ((key.empty() && (args.has("from") || args.has("to"))) || (!key.empty() && args.has("deleted")))
        return cli_usage(kCountUsage);
    LibraryTable t;
    if (int code = t.Open(args, false)) return code;
    IXbaseCursor* c = t.Cursor();
    WhereFilter where;
    if (int code = where.Open(args, -1, wide_to_utf8(t.Description()->GetPhysicalPath()))) return code;
    int64_t count = 0;
    int ok;
    if (where.Active()) {
        // The records meeting the condition among those the count would count.
        if (!key.empty()) {
            std::string from_text, to_text;
            HostItemValue from, to;
            if (args.has("from") && !value_for_item(t.Description(), key, args.get("from"), &from_text, &from, t.TextPage()))
                return kExitUsage;
            if (args.has("to") && !value_for_item(t.Description(), key, args.get("to"), &to_text, &to, t.TextPage()))
                return kExitUsage;
            const std::u16string wkey = utf8_to_wide(key);
            ok = c->BrowseRange(wkey.c_str(), kBrowseFirst, args.has("from") ? &from : nullptr,
                                args.has("to") ? &to : nullptr, 0);
            for (; ok && !c->IsEndOfData(); ok = c->Browse(wkey.c_str(), kBrowseNext, 0)) {
                const int taken = where.TakesRecord((uint32_t)c->GetRecordNumber());
                if (taken < 0) return kExitFailed;
                count += taken;
            }
        } else {
            ok = 1;
            uint32_t records = 0;
            xdb_set_status(XD_OK);
            dbf_record_count(where.Handle(), &records);
            for (uint32_t recno = 1; recno <= records; recno++) {
                bool deleted = false;
                const int taken = where.TakesRecord(recno, &deleted);
                if (taken < 0) return kExitFailed;
                count += taken && (!args.has("deleted") || deleted);
            }
        }
    } else if (!key.empty()) {
        std::string from_text, to_text;
        HostItemValue from, to;
        if (args.has("from") && !value_for_item(t.Description(), key, args.get("from"), &from_text, &from, t.TextPage()))
            return kExitUsage;
        if (args.has("to") && !value_for_item(t.Description(), key, args.get("to"), &to_text, &to, t.TextPage())) return kExitUsage;
        const std::u16string wkey = utf8_to_wide(key);
        ok = c->BrowseRange(wkey.c_str(), kBrowseFirst, args.has("from") ? &from : nullptr,
                            args.has("to") ? &to : nullptr, 0) &&
             c->Count(&count, kCountRange);
    } else {
        ok = c->Count(&count, args.has("deleted") ? 0 : kCountAll);
    }
    if (!ok) return cli_fail_holder(c->GetErrorHolder(), "count of " + args.positional[1] + " failed");
    printf("%lld\n", (long long)count);
    return kExitOk;
}
