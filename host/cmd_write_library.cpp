// qxdb add / modify / lock: changes through the library as a host makes them, with
// every index of the table kept in step and memos written beside.

#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "framework/codepage.h"
#include "framework/host_item_types.h"
#include "host/cli.h"
#include "host/library_cli.h"
#include "host/library_table.h"
#include "host/progress.h"
#include "host/record_input.h"

namespace {

const char kAddUsage[] =
    "usage: qxdb add DIR TABLE [--format jsonl|csv] [--wait SECONDS] [--codepage N]\n"
    "                [--host-text [--oemtoansi]] < records\n"
    "Adds each input record (JSON objects one per line, or CSV with a header of item\n"
    "names) through the library's add: memos written, every index of the table kept in\n"
    "step. An item left out, or null, stays blank. A record the library refuses (a value\n"
    "its field cannot take, a duplicate of a unique key under DUPLICATESON) stops the\n"
    "command with the reason; the records before it are added. --wait retries a record\n"
    "another program's lock refuses for that long. Text is stored in the table's code\n"
    "page; a character it cannot hold refuses the record (qxdb help browse).\n"
    "example: qxdb add examples/data customers < new-customers.jsonl\n";

const char kModifyUsage[] =
    "usage: qxdb modify DIR TABLE RECNO ITEM=VALUE... [--wait SECONDS] [--codepage N]\n"
    "                   [--host-text [--oemtoansi]]\n"
    "Changes items of record RECNO through the library (indexes kept in step). VALUE is\n"
    "text, a number, a date (YYYY-MM-DD) or a truth value as the item's type asks.\n"
    "example: qxdb modify examples/data customers 3 CITY=Lyon\n";

const char kLockUsage[] =
    "usage: qxdb lock DIR TABLE [--file 2|3] [--record N]... [--hold SECONDS]\n"
    "Takes locks through the library (a whole-file lock of host request 2 or 3, records)\n"
    "and holds them SECONDS (default 10) before releasing them, so that another program's\n"
    "conflict can be seen. Prints \"locked\" once every lock is held.\n"
    "example: qxdb lock examples/data customers --record 1 --hold 30\n";

// One input record into the host record: every item set (null when missing).
bool fill_host_record(LibraryTable& t, const InputRecord& in, std::vector<std::string>& storage, std::string* why) {
    HostRecordObject* record = t.Record();
    for (const auto& [name, value] : in.fields)
        if (record->Find(utf8_to_wide(name)) < 0) {
            *why = "no item " + name + " in the table";
            return false;
        }
    storage.assign(record->Items().size(), std::string());
    for (size_t i = 0; i < record->Items().size(); i++) {
        const std::string name = wide_to_utf8(record->Items()[i].name);
        const JsonValue* v = json_find(in.fields, name);
        HostItemValue value;
        if (!v || v->kind == JsonValue::kNull || (v->kind == JsonValue::kString && v->text.empty() &&
                                                  record->Items()[i].type != kItemText &&
                                                  !record->Items()[i].text_page)) {
            record->Set((int)i, HostItemValue{});
            continue;
        }
        std::string text = v->kind == JsonValue::kBool ? (v->flag ? "T" : "F") : v->text;
        if (!value_for_item(t.Description(), name, text, &storage[i], &value, t.TextPage())) {
            *why = "the value of " + name + " does not suit its item";
            return false;
        }
        record->Set((int)i, value);
    }
    return true;
}

}  // namespace

int cmd_add(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"format", "wait", "codepage"}, {"oemtoansi", "host-text"}, kAddUsage, &args); done >= 0) return done;
    if (args.positional.size() != 2) return cli_usage(kAddUsage);
    const std::string format = args.get("format");
    if (!format.empty() && format != "jsonl" && format != "csv") return cli_usage(kAddUsage);
    LibraryTable t;
    if (int code = t.Open(args, true)) return code;
    RecordReader reader(std::cin, input_is_csv(std::cin, format));
    std::vector<std::string> storage;
    long added = 0;
    Progress progress("adding to " + args.positional[1], 0);
    int code = kExitOk;
    for (;;) {
        InputRecord in;
        std::string why;
        int got = reader.Next(&in, &why);
        if (got == 0) break;
        if (got < 0 || !fill_host_record(t, in, storage, &why)) {
            fprintf(stderr, "qxdb: line %d: %s\n", in.line, why.c_str());
            code = kExitFailed;
            break;
        }
        progress.Step((uint64_t)added);
        IXbaseTable* table = t.Table();
        if (!retry_while_locked(args, table->GetErrorHolder(), [&] { return table->AddRecord(); })) {
            code = cli_fail_holder(t.Table()->GetErrorHolder(), "line " + std::to_string(in.line) + " was not added");
            break;
        }
        added++;
    }
    progress.Finish();
    fprintf(stderr, "qxdb: %ld record%s added\n", added, added == 1 ? "" : "s");
    return code;
}

namespace {
int modify_locked(LibraryTable& t, const CliArgs& args, long long recno);
}  // namespace

int cmd_modify(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"wait", "codepage"}, {"oemtoansi", "host-text"}, kModifyUsage, &args); done >= 0) return done;
    long long recno = 0;
    if (args.positional.size() < 4 || !cli_parse_number(args.positional[2], 1, 0x7FFFFFFE, &recno))
        return cli_usage(kModifyUsage);
    LibraryTable t;
    if (int code = t.Open(args, true)) return code;
    IXbaseTable* table = t.Table();
    int64_t count = 0;
    if (!table->CountRecords(&count)) return cli_fail_holder(table->GetErrorHolder(), "cannot count the records");
    if (recno > count) {
        fprintf(stderr, "qxdb: no record %lld: the table holds %lld\n", recno, (long long)count);
        return kExitNotFound;
    }
    // The record is locked before it is read: the items not named keep what the
    // record holds at the change, not what it held before another program's.
    if (!retry_while_locked(args, table->GetErrorHolder(), [&] { return table->LockRecord(recno, 2); }))
        return cli_fail_holder(table->GetErrorHolder(), "record " + args.positional[2] + " was not changed");
    int code = modify_locked(t, args, recno);
    table->UnlockRecord(recno);
    return code;
}

namespace {

int modify_locked(LibraryTable& t, const CliArgs& args, long long recno) {
    IXbaseCursor* c = t.Cursor();
    int deleted = 0;
    if (!c->Read(recno, 0, &deleted)) return cli_fail_holder(c->GetErrorHolder(), "cannot read record " + args.positional[2]);
    std::vector<std::string> storage(args.positional.size());
    for (size_t i = 3; i < args.positional.size(); i++) {
        const std::string& a = args.positional[i];
        size_t eq = a.find('=');
        if (eq == std::string::npos) return cli_usage(kModifyUsage);
        const std::string name = a.substr(0, eq);
        int at = t.Record()->Find(utf8_to_wide(name));
        HostItemValue value;
        if (at < 0) {
            fprintf(stderr, "qxdb: %s is no item of the table\n", name.c_str());
            return kExitUsage;
        }
        if (!value_for_item(t.Description(), name, a.substr(eq + 1), &storage[i], &value, t.TextPage())) return kExitUsage;
        t.Record()->Set(at, value);
    }
    IXbaseTable* table = t.Table();
    if (!table->ModifyRecord(recno))
        return cli_fail_holder(table->GetErrorHolder(), "record " + args.positional[2] + " was not changed");
    return kExitOk;
}

}  // namespace

int cmd_lock(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"file", "record", "hold"}, {}, kLockUsage, &args); done >= 0) return done;
    long long hold = 10, file = 0;
    if (args.positional.size() != 2 || (args.has("hold") && !cli_parse_number(args.get("hold"), 0, 86400, &hold)) ||
        (args.has("file") && !cli_parse_number(args.get("file"), 2, 3, &file)))
        return cli_usage(kLockUsage);
    LibraryTable t;
    if (int code = t.Open(args, false)) return code;
    IXbaseTable* table = t.Table();
    if (file && !table->LockFile((int)file)) return cli_fail_holder(table->GetErrorHolder(), "cannot lock the file");
    for (const std::string& r : args.all("record")) {
        long long n = 0;
        if (!cli_parse_number(r, 0, 0x7FFFFFFF, &n)) return cli_usage(kLockUsage);
        if (!table->LockRecord(n, 2)) return cli_fail_holder(table->GetErrorHolder(), "cannot lock record " + r);
    }
    printf("locked\n");
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(hold));
    table->UnlockFile();
    return kExitOk;
}

int cmd_compact(int argc, char** argv) {
    static const char kUsage[] =
        "usage: qxdb compact DIR TABLE [--keep-deleted]\n"
        "Compacts TABLE through the library: the deleted records removed from the data file\n"
        "and its memos from the memo file (the old files kept as .BAK and .BKT), then every\n"
        "index of the table built again. --keep-deleted only builds the indexes again.\n"
        "Refused while another program has the table open.\n"
        "example: qxdb compact examples/data customers\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {}, {"keep-deleted"}, kUsage, &args); done >= 0) return done;
    if (args.positional.size() != 2) return cli_usage(kUsage);
    LibraryTable t;
    if (int code = t.Open(args, true)) return code;
    int compacted;
    {
        ElapsedLine elapsed("compacting " + args.positional[1]);
        compacted = t.Table()->Compact(args.has("keep-deleted") ? 0 : 1);
    }
    if (!compacted) return cli_fail_holder(t.Table()->GetErrorHolder(), "cannot compact " + args.positional[1]);
    int64_t count = 0;
    t.Table()->CountRecords(&count);
    fprintf(stderr, "qxdb: %s compacted, %lld records\n", args.positional[1].c_str(), (long long)count);
    return kExitOk;
}
