#pragma once
// A reader for flat JSON objects, one per line, as `qxdb dump --format jsonl` writes
// them and `qxdb append` reads them: string keys, values null / true / false /
// number / string. Keys keep their order. The reader is strict: text after the
// object, numbers outside the JSON grammar, control characters in strings, bad
// escapes, lone surrogates and bytes that are not UTF-8 are refused with a reason.

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum Kind { kNull, kBool, kNumber, kString } kind = kNull;
    bool flag = false;
    double number = 0;
    std::string text;  // strings: UTF-8; numbers: the digits as written
};

using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

// False when the line is not such an object; *why (when given) says what is wrong.
bool parse_json_object(const std::string& line, JsonObject* out, std::string* why = nullptr);
const JsonValue* json_find(const JsonObject& o, const std::string& key);
// Reads `text`, whole, as a number in the JSON grammar.
bool parse_json_number(const std::string& text, double* value);
// Whether `text` is well-formed UTF-8 (no surrogates, no overlong forms).
bool valid_utf8(const std::string& text);
