// A table opened through the library for the commands that read and write it
// (see library_table.h).

#include "host/library_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/codepage.h"
#include "framework/host_item_types.h"
#include "host/item_values.h"
#include "host/library_cli.h"
#include "host/lock_wait.h"

int retry_while_locked(const CliArgs& args, IXErrorHolder* holder, const std::function<int()>& operation) {
    long long seconds = 0;
    if (args.has("wait")) cli_parse_number(args.get("wait"), 0, 86400, &seconds);
    return retry_while_locked_for(holder, (double)seconds, operation);
}

namespace {

// The code page of a table's text: --codepage, else its header's (read here as
// any program reads a file's first bytes; the library is not asked). 0 after a
// message when --codepage names no page this program converts.
int text_page_of(const CliArgs& args, const char16_t* path) {
    if (args.has("codepage")) {
        long long cp = 0;
        if (!cli_parse_number(args.get("codepage"), 1, 65535, &cp) || !codepage_supported((int)cp)) {
            fprintf(stderr, "qxdb: --codepage %s is no code page this program converts (for example 850, 437, 1252)\n",
                    args.get("codepage").c_str());
            return 0;
        }
        return (int)cp;
    }
    return code_page_of_table_file(wide_to_utf8(path ? path : u""));
}

}  // namespace

LibraryTable::~LibraryTable() {
    if (cursor_) cursor_->Release();
    if (table_) table_->Release();
    if (record_) record_->Release();
    if (connection_) connection_->Release();
}

int LibraryTable::Open(const CliArgs& args, bool writing) {
    if (!cli_start_session(&session_)) return kExitFailed;
    IXbaseDriver* driver = session_.Driver();
    std::u16string source = utf8_to_wide(args.positional[0]);
    const bool host_text = args.has("host-text") || args.has("oemtoansi");
    const char16_t* info = args.has("oemtoansi") ? u"OEMTOANSI=WINDOWS" : u"";
    HostConnectionDescription cd{u"qxdb", source.c_str(), info};
    connection_ = driver->CreateConnection(&cd);
    if (!connection_ || !connection_->Open())
        return cli_fail_holder(connection_ ? connection_->GetErrorHolder() : driver->GetErrorHolder(),
                               "cannot open the directory " + args.positional[0]);
    std::u16string name = utf8_to_wide(args.positional[1]);
    table_ = driver->OpenTableByName(connection_, name.c_str());
    if (!table_) return cli_fail_holder(driver->GetErrorHolder(), "cannot open " + args.positional[1]);
    if (!host_text && !(text_page_ = text_page_of(args, table_->GetDescription()->GetPhysicalPath()))) return kExitUsage;
    table_->SetOpenMode(writing ? 3 : 0);
    if (!table_->Open()) return cli_fail_holder(table_->GetErrorHolder(), "cannot open " + args.positional[1]);
    const std::string report = wide_to_utf8(table_->GetDescription()->GetAssociationReport());
    if (!report.empty()) fprintf(stderr, "qxdb: index files that give no key:\n%s\n", report.c_str());
    if (writing) print_index_set(table_->GetDescription(), stderr, false);
    record_ = new HostRecordObject();
    record_->BindFields(table_->GetDescription(), text_page_);
    table_->AttachHostRecord(record_);
    cursor_ = driver->CreateCursor(table_);
    return 0;
}

bool print_index_set(IXbaseTableDescription* d, FILE* out, bool all) {
    const std::string report = wide_to_utf8(d->GetIndexSetReport());
    bool blocked = false;
    std::string lines;
    size_t from = 0;
    while (from < report.size()) {
        size_t end = report.find('\n', from);
        if (end == std::string::npos) end = report.size();
        const std::string line = report.substr(from, end - from);
        from = end + 1;
        const size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        if (tab1 == std::string::npos || tab2 == std::string::npos) continue;
        const std::string what = line.substr(0, tab1), file = line.substr(tab1 + 1, tab2 - tab1 - 1),
                          why = line.substr(tab2 + 1);
        const bool stops = what == "not writable";
        blocked |= stops;
        if (all || stops) lines += "  " + what + ": " + file + " (" + why + ")\n";
    }
    if (all && !lines.empty()) fprintf(out, "index set:\n%s", lines.c_str());
    if (!all && blocked)
        fprintf(out,
                "qxdb: writes to this table are refused: an index file of the table cannot be kept in step\n%s"
                "qxdb: nothing is written. Rebuild a damaged NDX or NTX with qxdb reindex; a format not written yet\n"
                "      (MDX, IDX, CDX) can only be bypassed through the engine's tools with --ignore-indexes.\n",
                lines.c_str());
    return blocked;
}

std::vector<std::string> LibraryTable::Columns(std::vector<size_t>* widths) {
    std::vector<std::string> names = {"recno", "deleted"};
    *widths = {7, 5};
    for (const auto& item : record_->Items()) {
        names.push_back(wide_to_utf8(item.name));
        size_t w = 12;
        if (item.type == kItemText || (item.type == kItemBinary && item.text_page)) w = (size_t)item.size;
        if (item.type == kItemDate) w = 10;
        if (item.type == kItemDateTime) w = 19;
        if (item.type == kItemBoolean) w = 5;
        if (item.type == kItemTextMemo || (item.type == kItemBinaryMemo && item.text_page)) w = 30;
        widths->push_back(w > 60 ? 60 : w);
    }
    return names;
}

void LibraryTable::Write(RecordWriter& writer) {
    std::vector<Cell> cells;
    cells.push_back(Cell::number(std::to_string(cursor_->GetRecordNumber())));
    cells.push_back(Cell::boolean(record_->GetStateWord() & 0x40));
    for (const auto& item : record_->Items()) cells.push_back(cell_of_item(item));
    writer.write(cells);
}

bool value_for_item(IXbaseTableDescription* d, const std::string& key, const std::string& text, std::string* storage,
                    HostItemValue* out, int text_page) {
    std::string why;
    if (item_value_from_text(d, key, text, storage, out, text_page, &why)) return true;
    fprintf(stderr, "qxdb: %s\n", why.c_str());
    return false;
}
