// qxdb describe DIR TABLE [--format table|jsonl|csv]: the table's description as
// the host receives it from the library (items with host types and sizes, keys
// with their expressions, components, options and index files).

#include <cstdio>
#include <string>

#include "framework/codepage.h"
#include "host/cli.h"
#include "host/host_values.h"
#include "host/library_cli.h"
#include "host/library_table.h"
#include "host/loader.h"
#include "host/record_writer.h"

namespace {

const char kUsage[] =
    "usage: qxdb describe DIR TABLE [--format table|jsonl|csv]\n"
    "Opens TABLE (a name in DIR, or a path) through the library as a host does and prints\n"
    "its description: one row per item (field) and per key, with the host item type and\n"
    "size; keys with their number, options, expression, components and index file. Index\n"
    "files found beside the table are judged by what they hold: the table's own join its\n"
    "index set (every write keeps them in step), another table's are passed over; the set\n"
    "follows the description, with why each file was taken or passed over.\n"
    "example: qxdb describe examples/data customers\n";

const char* host_type_name(int type) {
    switch (type) {
    case kItemText: return "text";
    case kItemInt16: return "int16";
    case kItemInt8: return "int8";
    case kItemInt32: return "int32";
    case kItemReal8: return "real8";
    case kItemDate: return "date";
    case kItemTextMemo: return "text memo";
    case kItemCurrency: return "currency";
    case kItemBinaryMemo: return "binary memo";
    case kItemInt64: return "int64";
    case kItemBinary: return "binary";
    case kItemDateTime: return "datetime";
    case kItemBoolean: return "boolean";
    case kItemDecimal: return "decimal";
    default: return "none";
    }
}

const int kNamedTypes[] = {kItemText, kItemInt16, kItemInt8, kItemInt32, kItemReal8, kItemDate, kItemTextMemo,
                           kItemCurrency, kItemBinaryMemo, kItemInt64, kItemBinary, kItemDateTime, kItemBoolean,
                           kItemDecimal};

std::string hex(int v) {
    char b[16];
    snprintf(b, sizeof b, "0x%04X", (unsigned)v);
    return b;
}

}  // namespace

int host_type_from_name(const std::string& name) {
    for (int t : kNamedTypes)
        if (name == host_type_name(t)) return t;
    long long n = 0;
    return cli_parse_number(name, 1, 255, &n) ? (int)n : -1;
}

void print_description(IXbaseTableDescription* d, RecordFormat format) {
    RecordWriter writer(stdout, format,
                        {"item", "kind", "host_type", "type_name", "size", "digits", "decimals", "xbase", "key",
                         "options", "expression", "components", "index", "memo"},
                        {10, 5, 4, 11, 5, 6, 8, 5, 3, 6, 24, 16, 24, 24});
    for (int i = 1; i <= d->GetItemCount(); i++) {
        IXbaseItemDescription* item = d->GetItem(i);
        bool field = item->IsField() != 0;
        int key = item->GetKeyNumber();
        char letter[2] = {(char)item->GetTypeLetter(), 0};
        std::string components;
        for (int c = 1; c <= item->GetComponentCount(); c++) {
            IXbaseItemDescription* part = item->GetComponent(c);
            if (!components.empty()) components += "+";
            components += part ? wide_to_utf8(part->GetName()) : "?";
        }
        auto text_or_null = [](const char16_t* t) {
            return t && *t ? Cell::string(wide_to_utf8(t)) : Cell::null();
        };
        bool numeric = letter[0] == 'N' || letter[0] == 'F';
        writer.write({Cell::string(wide_to_utf8(item->GetName())), Cell::string(field ? "field" : "key"),
                      Cell::number(std::to_string(item->GetHostType())), Cell::string(host_type_name(item->GetHostType())),
                      Cell::number(std::to_string(item->GetSize())),
                      numeric ? Cell::number(std::to_string(item->GetDigits())) : Cell::null(),
                      numeric ? Cell::number(std::to_string(item->GetDecimals())) : Cell::null(),
                      Cell::string(letter), key ? Cell::number(std::to_string(key)) : Cell::null(),
                      key ? Cell::string(hex(item->GetKeyOptions())) : Cell::null(),
                      text_or_null(item->GetKeyExpression()),
                      components.empty() ? Cell::null() : Cell::string(components),
                      key ? text_or_null(item->GetIndexPath()) : Cell::null(), text_or_null(item->GetMemoPath())});
    }
    writer.finish();
}

int cmd_describe(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"format"}, {}, kUsage, &args); done >= 0) return done;
    RecordFormat format = RecordFormat::kTable;
    if (args.positional.size() != 2 || !cli_record_format(args, "table", &format))
        return cli_usage(kUsage);
    HostSession session;
    if (!cli_start_session(&session)) return kExitFailed;
    IXbaseDriver* driver = session.Driver();
    std::u16string source = utf8_to_wide(args.positional[0]), name = utf8_to_wide(args.positional[1]);
    HostConnectionDescription cd{u"qxdb", source.c_str(), u""};
    IXbaseConnection* connection = driver->CreateConnection(&cd);
    IXbaseTable* table = driver->OpenTableByName(connection, name.c_str());
    if (!table) {
        int code = cli_fail_holder(driver->GetErrorHolder(), "cannot open " + args.positional[1]);
        connection->Release();
        return code;
    }
    IXbaseTableDescription* d = table->GetDescription();
    std::string report = wide_to_utf8(d->GetAssociationReport());
    if (!report.empty()) fprintf(stderr, "qxdb: index files that give no key:\n%s\n", report.c_str());
    print_description(d, format);
    // Which index files the writes keep in step, and which were passed over: after
    // the table on standard output, on standard error beside machine formats.
    print_index_set(d, format == RecordFormat::kTable ? stdout : stderr, true);
    table->Release();
    connection->Release();
    return kExitOk;
}
