#pragma once
// A reader for flat JSON objects, one per line, as `qxdb dump --format jsonl` writes
// them and `qxdb append` reads them: string keys, values null / true / false /
// number / string. Keys keep their order.

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum Kind { kNull, kBool, kNumber, kString } kind = kNull;
    bool flag = false;
    double number = 0;
    std::string text;
};

using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

// False when the line is not such an object.
bool parse_json_object(const std::string& line, JsonObject* out);
const JsonValue* json_find(const JsonObject& o, const std::string& key);
