#include "host/json_line.h"

#include <cstdlib>

namespace {

struct Reader {
    const std::string& s;
    size_t i = 0;
    void blanks() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) i++;
    }
    bool eat(char c) {
        blanks();
        if (i < s.size() && s[i] == c) {
            i++;
            return true;
        }
        return false;
    }
    static void utf8(std::string& out, unsigned c) {
        if (c < 0x80) out += (char)c;
        else if (c < 0x800) { out += (char)(0xC0 | c >> 6); out += (char)(0x80 | (c & 0x3F)); }
        else if (c < 0x10000) { out += (char)(0xE0 | c >> 12); out += (char)(0x80 | (c >> 6 & 0x3F)); out += (char)(0x80 | (c & 0x3F)); }
        else { out += (char)(0xF0 | c >> 18); out += (char)(0x80 | (c >> 12 & 0x3F)); out += (char)(0x80 | (c >> 6 & 0x3F)); out += (char)(0x80 | (c & 0x3F)); }
    }
    bool hex4(unsigned* v) {
        if (i + 4 > s.size()) return false;
        *v = (unsigned)strtoul(s.substr(i, 4).c_str(), nullptr, 16);
        i += 4;
        return true;
    }
    bool string(std::string* out) {
        if (!eat('"')) return false;
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if (c != '\\') { *out += c; continue; }
            if (i >= s.size()) return false;
            char e = s[i++];
            switch (e) {
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'u': {
                unsigned v;
                if (!hex4(&v)) return false;
                if (v >= 0xD800 && v <= 0xDBFF && i + 6 <= s.size() && s[i] == '\\' && s[i + 1] == 'u') {
                    i += 2;
                    unsigned lo;
                    if (!hex4(&lo)) return false;
                    v = 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
                }
                utf8(*out, v);
                break;
            }
            default: *out += e;
            }
        }
        return eat('"');
    }
    bool value(JsonValue* v) {
        blanks();
        if (i >= s.size()) return false;
        if (s[i] == '"') { v->kind = JsonValue::kString; return string(&v->text); }
        if (s.compare(i, 4, "null") == 0) { i += 4; v->kind = JsonValue::kNull; return true; }
        if (s.compare(i, 4, "true") == 0) { i += 4; v->kind = JsonValue::kBool; v->flag = true; return true; }
        if (s.compare(i, 5, "false") == 0) { i += 5; v->kind = JsonValue::kBool; return true; }
        const char* start = s.c_str() + i;
        char* end = nullptr;
        v->number = strtod(start, &end);
        if (end == start) return false;
        i += (size_t)(end - start);
        v->kind = JsonValue::kNumber;
        return true;
    }
};

}  // namespace

bool parse_json_object(const std::string& line, JsonObject* out) {
    Reader r{line};
    if (!r.eat('{')) return false;
    if (r.eat('}')) return true;
    do {
        std::string key;
        JsonValue v;
        if (!r.string(&key) || !r.eat(':') || !r.value(&v)) return false;
        out->emplace_back(std::move(key), std::move(v));
    } while (r.eat(','));
    return r.eat('}');
}

const JsonValue* json_find(const JsonObject& o, const std::string& key) {
    for (const auto& kv : o)
        if (kv.first == key) return &kv.second;
    return nullptr;
}
