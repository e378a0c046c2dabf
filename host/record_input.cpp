#include "host/record_input.h"

bool input_is_csv(std::istream& in, const std::string& format) {
    if (!format.empty()) return format == "csv";
    int c = in.peek();
    while (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
        in.get();
        c = in.peek();
    }
    return c != '{';
}

int RecordReader::Next(InputRecord* record, std::string* why) {
    record->fields.clear();
    why->clear();
    return csv_ ? NextCsv(record, why) : NextJson(record, why);
}

int RecordReader::NextJson(InputRecord* record, std::string* why) {
    std::string text;
    for (;;) {
        if (!std::getline(in_, text)) return 0;
        line_++;
        if (text.find_first_not_of(" \t\r") != std::string::npos) break;
    }
    record->line = line_;
    if (!parse_json_object(text, &record->fields, why)) return -1;
    return 1;
}

int RecordReader::ReadCsvRow(std::vector<std::string>* fields, std::string* why) {
    std::string line;
    if (!std::getline(in_, line)) return 0;
    line_++;
    fields->clear();
    std::string cur;
    // in_quotes: inside a quoted field; after_quotes: a quoted field just closed,
    // where only a comma or the end of the line may follow.
    bool in_quotes = false, after_quotes = false;
    for (size_t i = 0;; i++) {
        if (i == line.size()) {
            if (in_quotes) {
                if (!std::getline(in_, line)) {
                    *why = "a quoted field is never closed";
                    return -1;
                }
                line_++;
                cur += '\n';
                i = (size_t)-1;
                continue;
            }
            break;
        }
        char c = line[i];
        if (in_quotes) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cur += '"';
                i++;
            } else if (c == '"') {
                in_quotes = false;
                after_quotes = true;
            } else {
                cur += c;
            }
        } else if (c == ',') {
            fields->push_back(cur);
            cur.clear();
            after_quotes = false;
        } else if (c == '\r' && i + 1 == line.size()) {
            // the end of a CRLF line
        } else if (after_quotes) {
            *why = "text after a closing quote in column " + std::to_string(fields->size() + 1);
            return -1;
        } else if (c == '"') {
            if (!cur.empty()) {
                *why = "a quote inside an unquoted field in column " + std::to_string(fields->size() + 1);
                return -1;
            }
            in_quotes = true;
        } else {
            cur += c;
        }
    }
    fields->push_back(cur);
    for (const std::string& f : *fields)
        if (!valid_utf8(f)) {
            *why = "bytes that are not UTF-8";
            return -1;
        }
    return 1;
}

int RecordReader::NextCsv(InputRecord* record, std::string* why) {
    std::vector<std::string> values;
    if (!have_header_) {
        record->line = line_ + 1;
        int r = ReadCsvRow(&header_, why);
        if (r == 0) return 0;
        if (r < 0) return -2;
        have_header_ = true;
        for (size_t i = 0; i < header_.size(); i++)
            for (size_t k = 0; k < i; k++)
                if (header_[i] == header_[k]) {
                    *why = "the header names " + header_[i] + " twice";
                    return -2;
                }
    }
    int r;
    do {
        record->line = line_ + 1;
        r = ReadCsvRow(&values, why);
    } while (r == 1 && values.size() == 1 && values[0].empty() && header_.size() != 1);  // blank lines
    if (r <= 0) return r;
    if (values.size() != header_.size()) {
        *why = std::to_string(values.size()) + " values for " + std::to_string(header_.size()) + " columns";
        return -1;
    }
    for (size_t i = 0; i < values.size(); i++) {
        JsonValue v;
        v.kind = values[i].empty() ? JsonValue::kNull : JsonValue::kString;
        v.text = values[i];
        record->fields.emplace_back(header_[i], v);
    }
    return 1;
}
