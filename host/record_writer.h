#pragma once
// Prints records as JSON lines, CSV or an aligned table. A record is a list of
// cells; each cell is null, a boolean, a number (already formatted) or text
// (UTF-8).

#include <cstdio>
#include <string>
#include <vector>

struct Cell {
    enum Kind { kNull, kBool, kNumber, kText } kind = kNull;
    std::string text;  // number or text
    bool flag = false;

    static Cell null() { return Cell(); }
    static Cell boolean(bool v) {
        Cell c;
        c.kind = kBool;
        c.flag = v;
        return c;
    }
    static Cell number(std::string v) {
        Cell c;
        c.kind = kNumber;
        c.text = std::move(v);
        return c;
    }
    static Cell string(std::string v) {
        Cell c;
        c.kind = kText;
        c.text = std::move(v);
        return c;
    }
};

enum class RecordFormat { kJsonl, kCsv, kTable };

bool parse_record_format(const std::string& name, RecordFormat* out);

class RecordWriter {
public:
    // `columns` are the column names; `widths` the display width wanted for each
    // (used by the table format only).
    RecordWriter(FILE* out, RecordFormat format, std::vector<std::string> columns, std::vector<size_t> widths);
    void write(const std::vector<Cell>& cells);
    void finish();

private:
    void header();
    FILE* out_;
    RecordFormat format_;
    std::vector<std::string> columns_;
    std::vector<size_t> widths_;
    bool header_done_ = false;
    std::string line_;
};

// Shortest text that reads back as the same double ("12.5", "4", "1e+20").
std::string format_double(double v);
// JSON string literal of UTF-8 text.
void append_json_string(std::string& out, const std::string& text);
// A cell as a JSON value: null, true/false, the number as it is, or a string.
void append_json_cell(std::string& out, const Cell& cell);
// Number of characters (code points) of UTF-8 text.
size_t utf8_length(const std::string& text);
