// qxdb dump FILE.dbf [--format jsonl|csv|table] [--codepage N] [--dialect N] [--no-deleted]

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "driver/xbase_variants.h"
#include "engine/core/byteorder.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"
#include "host/cli.h"
#include "host/progress.h"
#include "host/record_writer.h"
#include "host/table_memo.h"
#include "host/where_filter.h"

namespace {

const char kUsage[] =
    "usage: qxdb dump FILE.dbf [--format jsonl|csv|table] [--codepage N] [--dialect N] [--no-deleted]\n"
    "                 [--where CONDITION]\n"
    "Prints every record of a table. Text is converted to UTF-8 from the table's code page\n"
    "(its header's language-driver byte, else 1252 for Visual FoxPro and 850 for the others;\n"
    "--codepage overrides). --dialect opens the file as that dialect code (1..10) instead of\n"
    "trying the variants in order. --where prints only the records that meet an xBase\n"
    "condition: CITY = \"Lyon\" .AND. AMOUNT > 1000, !DELETED(), EMPTY(BORN), NAME $ \"son\"\n"
    "(= on text compares the beginning, == the whole text; .AND. .OR. .NOT. and parentheses).\n"
    "A value that cannot be read (a damaged date, a memo whose file is missing) prints as\n"
    "null with a message; the dump goes on and ends with exit status 1.\n";

struct Column {
    int16_t index;
    DbfFieldInfo info;
};

// Turns the converted values of a record (one dbf_get_record call) into cells.
class Dumper {
public:
    Dumper(int16_t handle, int code_page, TableMemo* memo) : h_(handle), code_page_(code_page), memo_(memo) {}

    Cell cell(const Column& c, const DbfValue& v, uint32_t recno, bool* warned) {
        const DbfFieldInfo& f = c.info;
        bool empty = v.state & (DBF_VALUE_EMPTY | DBF_VALUE_NULL);
        switch (f.type) {
        case 'C':
        case 'V': {
            if (empty && f.type == 'V') return Cell::null();
            // A C value is text up to its first byte 0; character fields are
            // blank-padded, a varchar value is exact as stored.
            size_t n = strnlen(v.text, v.length);
            if (f.type == 'C')
                while (n > 0 && v.text[n - 1] == ' ') n--;
            return Cell::string(codepage_to_utf8(code_page_, v.text, n));
        }
        case 'Q': {
            if (empty) return Cell::null();
            static const char kHex[] = "0123456789ABCDEF";
            std::string hex;
            for (uint16_t i = 0; i < v.length; i++) {
                unsigned char b = (unsigned char)v.text[i];
                hex += kHex[b >> 4];
                hex += kHex[b & 15];
            }
            return Cell::string(hex);
        }
        case 'N':
        case 'F':
        case 'B':
        case 'Y':
            if (empty) return Cell::null();
            return std::isfinite(v.number) ? Cell::number(format_double(v.number)) : Cell::null();
        case 'I':
            if (empty) return Cell::null();
            return Cell::number(std::to_string(v.integer));
        case 'D': {
            if (empty) return Cell::null();
            if (v.date[0] == 0) {  // did not convert: the field's own read says why
                std::vector<char> value(c.info.length + 64);
                xdb_set_status(XD_OK);
                warn(c, recno, dbf_get_field(h_, c.index, value.data(), nullptr), warned);
                return Cell::null();
            }
            // The engine gives the date in format 4 (yyyymmdd).
            const char* d = v.date;
            return Cell::string(std::string(d, 4) + "-" + std::string(d + 4, 2) + "-" + std::string(d + 6, 2));
        }
        case 'T': {
            if (empty) return Cell::null();
            const DbfDateTime& t = v.datetime;
            if (t.year <= 0) return Cell::null();
            char b[64];
            snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                     t.second);
            return Cell::string(b);
        }
        case 'L':
            if (v.state & (DBF_VALUE_UNDEFINED | DBF_VALUE_NULL)) return Cell::null();
            return Cell::boolean(v.logical != 0);
        case 'M':
        case 'P': {
            // A memo field without a block has no memo (null); picture memos
            // (binary) show their block number.
            uint32_t block = empty ? 0 : v.block;
            if (f.type == 'P') return block ? Cell::number(std::to_string(block)) : Cell::null();
            if (!memo_->IsOpen()) {
                if (block) *warned = true;  // a memo that cannot be read (the open said why)
                return Cell::null();
            }
            if (!block) return Cell::null();
            std::string text;
            XDSTATUS s = memo_->Read(block, &text);
            if (s < 0) {
                warn(c, recno, s, warned);
                return Cell::null();
            }
            return Cell::string(codepage_to_utf8(code_page_, text.data(), text.size()));
        }
        case 'G':
        case 'W': {
            // No value conversion in the engine: the 4-byte block number as stored.
            if (f.length < 4) return Cell::null();
            uint32_t block = get_le32((const uint8_t*)v.text);
            return block ? Cell::number(std::to_string(block)) : Cell::null();
        }
        default:
            return Cell::null();
        }
    }

private:
    void warn(const Column& c, uint32_t recno, XDSTATUS s, bool* warned) {
        fprintf(stderr, "qxdb: record %u field %s: %s\n", recno, c.info.name, cli_status_text(s).c_str());
        *warned = true;
        xdb_set_status(XD_OK);
    }

    int16_t h_;
    int code_page_;
    TableMemo* memo_;
};

}  // namespace

int cmd_dump(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"format", "codepage", "dialect", "where"}, {"no-deleted"}, kUsage, &args); done >= 0)
        return done;
    RecordFormat format = RecordFormat::kJsonl;
    if (args.positional.size() != 1) return cli_usage(kUsage);
    if (!cli_record_format(args, "jsonl", &format)) return kExitUsage;
    int forced_row = -1;
    if (args.has("dialect") && (forced_row = cli_row_for_dialect(args.get("dialect"))) < 0) return kExitUsage;
    int code_page = 0;
    if (args.has("codepage")) {
        code_page = atoi(args.get("codepage").c_str());
        if (!codepage_supported(code_page)) {
            fprintf(stderr, "qxdb: code page %s is not one this program converts\n", args.get("codepage").c_str());
            return kExitUsage;
        }
    }
    const std::string& path = args.positional[0];
    if (!cli_start_engine()) return kExitFailed;
    OpenedTable t;
    XDSTATUS s = cli_open_table(path, forced_row, &t);
    if (s < 0) return cli_fail("cannot open " + path, s);
    if (t.open_status > 0) fprintf(stderr, "qxdb: %s: %s\n", path.c_str(), cli_status_text(t.open_status).c_str());

    DbfHeaderInfo hi;
    uint16_t field_count = 0, largest = 0;
    dbf_header_info(t.handle, &hi);
    dbf_field_count(t.handle, &field_count);
    std::vector<DbfFieldInfo> fields(field_count);
    dbf_describe_fields(t.handle, &largest, fields.data());
    code_page = cli_table_code_page(t.handle, args);
    WhereFilter where;
    if (int code = where.Open(args, t.handle, path)) return code;

    std::vector<Column> columns;
    std::vector<std::string> names = {"recno", "deleted"};
    std::vector<size_t> widths = {7, 5};
    for (uint16_t i = 0; i < field_count; i++) {
        const DbfFieldInfo& f = fields[i];
        // Visual FoxPro system fields (such as _NullFlags) are not data; other
        // dialects leave that byte reserved, and some writers fill it with garbage.
        bool system_field = (hi.dialect & 0x7F) == DBF_VFP && (f.flags & 0x01);
        if (!system_field) {
            columns.push_back({(int16_t)i, f});
            names.push_back(codepage_to_utf8(code_page, f.name, strlen(f.name)));
            size_t w = f.length;
            if (f.type == 'D') w = 10;
            if (f.type == 'T') w = 19;
            if (f.type == 'L') w = 5;
            if (f.type == 'M' || f.type == 'P' || f.type == 'G' || f.type == 'W') w = 10;
            if (f.type == 'B' || f.type == 'Y' || f.type == 'I') w = 12;
            widths.push_back(w > 60 ? 60 : w);
        }
    }

    // Memo texts come from the memo file beside the table.
    TableMemo memo;
    bool has_memo = false;
    for (const auto& c : columns) has_memo |= c.info.type == 'M';
    if (has_memo) {
        XDSTATUS ms = memo.Open(path, hi.dialect, hi.version, false);
        if (ms < 0)
            fprintf(stderr, "qxdb: %s: %s; memo fields show as null\n", memo.Path().c_str(),
                    ms == XD_NOFILE ? "no memo file" : cli_status_text(ms).c_str());
    }
    RecordWriter writer(stdout, format, names, widths);
    Dumper dumper(t.handle, code_page, &memo);
    std::vector<DbfValue> values(field_count);
    bool warned = false;
    std::vector<Cell> cells(columns.size() + 2);
    Progress progress("dumping " + path, hi.record_count);
    for (uint32_t recno = 1; recno <= hi.record_count; recno++) {
        xdb_set_status(XD_OK);
        s = dbf_read_ahead(t.handle, recno);
        if (s < 0) {
            writer.finish();
            return cli_fail("reading record " + std::to_string(recno) + " of " + path, s);
        }
        bool deleted = s == XD_DELETEDREC;
        if (deleted && args.has("no-deleted")) continue;
        const int taken = where.Takes();
        if (taken < 0) {
            writer.finish();
            return kExitFailed;
        }
        if (!taken) continue;
        cells[0] = Cell::number(std::to_string(recno));
        cells[1] = Cell::boolean(deleted);
        xdb_set_status(XD_OK);
        dbf_get_record(t.handle, values.data(), field_count);  // a field that fails is told by its cell
        for (size_t i = 0; i < columns.size(); i++)
            cells[i + 2] = dumper.cell(columns[i], values[(size_t)columns[i].index], recno, &warned);
        writer.write(cells);
        progress.Step(recno);
    }
    progress.Finish();
    writer.finish();
    xdb_set_status(XD_OK);
    dbf_close(t.handle);
    // Every record was printed; values that could not be read showed as null and
    // were reported: the dump is not whole, so it does not end as a success.
    return warned ? kExitFailed : kExitOk;
}
