#include "host/record_writer.h"

#include <charconv>
#include <cmath>

bool parse_record_format(const std::string& name, RecordFormat* out) {
    if (name == "jsonl") *out = RecordFormat::kJsonl;
    else if (name == "csv") *out = RecordFormat::kCsv;
    else if (name == "table") *out = RecordFormat::kTable;
    else return false;
    return true;
}

std::string format_double(double v) {
    if (!std::isfinite(v)) return "null";
    if (v == 0) return "0";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

void append_json_string(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += (char)c;
            }
        }
    }
    out += '"';
}

size_t utf8_length(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) n++;
    return n;
}

RecordWriter::RecordWriter(FILE* out, RecordFormat format, std::vector<std::string> columns, std::vector<size_t> widths)
    : out_(out), format_(format), columns_(std::move(columns)), widths_(std::move(widths)) {
    widths_.resize(columns_.size(), 0);
    for (size_t i = 0; i < columns_.size(); i++)
        if (widths_[i] < utf8_length(columns_[i])) widths_[i] = utf8_length(columns_[i]);
}

static void append_csv(std::string& line, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        line += text;
        return;
    }
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

// Table cells show control characters as spaces so a row stays on its line.
static std::string table_text(const Cell& c) {
    std::string t;
    switch (c.kind) {
    case Cell::kNull: return "";
    case Cell::kBool: return c.flag ? "T" : "F";
    default: t = c.text;
    }
    for (char& ch : t)
        if ((unsigned char)ch < 0x20) ch = ' ';
    return t;
}

void RecordWriter::header() {
    header_done_ = true;
    if (format_ == RecordFormat::kJsonl) return;
    line_.clear();
    for (size_t i = 0; i < columns_.size(); i++) {
        if (format_ == RecordFormat::kCsv) {
            if (i) line_ += ',';
            append_csv(line_, columns_[i]);
        } else {
            if (i) line_ += "  ";
            line_ += columns_[i];
            if (i + 1 < columns_.size()) line_.append(widths_[i] - utf8_length(columns_[i]), ' ');
        }
    }
    line_ += '\n';
    if (format_ == RecordFormat::kTable) {
        for (size_t i = 0; i < columns_.size(); i++) {
            if (i) line_ += "  ";
            line_.append(widths_[i], '-');
        }
        line_ += '\n';
    }
    fwrite(line_.data(), 1, line_.size(), out_);
}

void append_json_cell(std::string& out, const Cell& c) {
    switch (c.kind) {
    case Cell::kNull: out += "null"; break;
    case Cell::kBool: out += c.flag ? "true" : "false"; break;
    case Cell::kNumber: out += c.text; break;
    case Cell::kText: append_json_string(out, c.text); break;
    }
}

void RecordWriter::write(const std::vector<Cell>& cells) {
    if (!header_done_) header();
    line_.clear();
    if (format_ == RecordFormat::kJsonl) {
        line_ += '{';
        for (size_t i = 0; i < cells.size() && i < columns_.size(); i++) {
            if (i) line_ += ',';
            append_json_string(line_, columns_[i]);
            line_ += ':';
            append_json_cell(line_, cells[i]);
        }
        line_ += "}\n";
    } else if (format_ == RecordFormat::kCsv) {
        for (size_t i = 0; i < cells.size(); i++) {
            if (i) line_ += ',';
            const Cell& c = cells[i];
            if (c.kind == Cell::kBool) line_ += c.flag ? "true" : "false";
            else if (c.kind != Cell::kNull) append_csv(line_, c.text);
        }
        line_ += '\n';
    } else {
        for (size_t i = 0; i < cells.size() && i < widths_.size(); i++) {
            if (i) line_ += "  ";
            std::string t = table_text(cells[i]);
            size_t w = utf8_length(t);
            if (w > widths_[i] && widths_[i] > 1) {
                // Cut to the column, ending in an ellipsis, so the row stays aligned.
                size_t keep = 0, chars = 0;
                while (keep < t.size() && chars < widths_[i] - 1) {
                    keep++;
                    while (keep < t.size() && ((unsigned char)t[keep] & 0xC0) == 0x80) keep++;
                    chars++;
                }
                t = t.substr(0, keep) + "\u2026";
                w = widths_[i];
            }
            bool right = cells[i].kind == Cell::kNumber;
            if (right && w < widths_[i]) line_.append(widths_[i] - w, ' ');
            line_ += t;
            if (!right && w < widths_[i] && i + 1 < cells.size()) line_.append(widths_[i] - w, ' ');
        }
        line_ += '\n';
    }
    fwrite(line_.data(), 1, line_.size(), out_);
}

void RecordWriter::finish() {
    if (!header_done_) header();
    fflush(out_);
}
