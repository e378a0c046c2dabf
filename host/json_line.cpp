#include "host/json_line.h"

#include <cstdlib>
#include <cstring>

#include "framework/codepage.h"

namespace {

struct Reader {
    const std::string& s;
    size_t i = 0;
    std::string why;

    bool fail(const std::string& reason) {
        if (why.empty()) why = reason + " at column " + std::to_string(i + 1);
        return false;
    }
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
        if (i + 4 > s.size()) return fail("a cut \\u escape");
        *v = 0;
        for (int k = 0; k < 4; k++) {
            char c = s[i + k];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return fail("a bad \\u escape");
            *v = *v * 16 + (unsigned)d;
        }
        i += 4;
        return true;
    }
    bool string(std::string* out) {
        blanks();
        if (i >= s.size() || s[i] != '"') return fail("a string expected");
        i++;
        while (i < s.size() && s[i] != '"') {
            unsigned char c = (unsigned char)s[i++];
            if (c < 0x20) return fail("a control character in a string");
            if (c != '\\') {
                *out += (char)c;
                continue;
            }
            if (i >= s.size()) return fail("a cut escape");
            char e = s[i++];
            switch (e) {
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case '"':
            case '\\':
            case '/': *out += e; break;
            case 'u': {
                unsigned v = 0;
                if (!hex4(&v)) return false;
                if (v >= 0xDC00 && v <= 0xDFFF) return fail("a lone low surrogate");
                if (v >= 0xD800 && v <= 0xDBFF) {
                    unsigned lo = 0;
                    if (i + 2 > s.size() || s[i] != '\\' || s[i + 1] != 'u') return fail("a lone high surrogate");
                    i += 2;
                    if (!hex4(&lo)) return false;
                    if (lo < 0xDC00 || lo > 0xDFFF) return fail("a lone high surrogate");
                    v = 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
                }
                utf8(*out, v);
                break;
            }
            default: return fail(std::string("a bad escape \\") + e);
            }
        }
        if (i >= s.size()) return fail("an unterminated string");
        i++;
        if (!valid_utf8(*out)) return fail("bytes that are not UTF-8");
        return true;
    }
    // A number in the JSON grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number(JsonValue* v) {
        size_t start = i;
        if (i < s.size() && s[i] == '-') i++;
        if (i < s.size() && s[i] == '0') {
            i++;
        } else if (i < s.size() && s[i] >= '1' && s[i] <= '9') {
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') i++;
        } else {
            return fail("a value expected");
        }
        if (i < s.size() && s[i] == '.') {
            size_t d = ++i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') i++;
            if (i == d) return fail("a number without digits after its point");
        }
        if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            i++;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
            size_t d = i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') i++;
            if (i == d) return fail("a number without digits in its exponent");
        }
        v->text = s.substr(start, i - start);
        v->number = strtod(v->text.c_str(), nullptr);
        v->kind = JsonValue::kNumber;
        return true;
    }
    bool value(JsonValue* v) {
        blanks();
        if (i >= s.size()) return fail("a value expected");
        if (s[i] == '"') {
            v->kind = JsonValue::kString;
            return string(&v->text);
        }
        if (s.compare(i, 4, "null") == 0) { i += 4; v->kind = JsonValue::kNull; return true; }
        if (s.compare(i, 4, "true") == 0) { i += 4; v->kind = JsonValue::kBool; v->flag = true; return true; }
        if (s.compare(i, 5, "false") == 0) { i += 5; v->kind = JsonValue::kBool; return true; }
        if (s[i] == '{' || s[i] == '[') return fail("a nested object or array");
        return number(v);
    }
};

}  // namespace

bool valid_utf8(const std::string& text) {
    const unsigned char* p = (const unsigned char*)text.data();
    uint32_t c;
    for (size_t i = 0, len; i < text.size(); i += len)
        if ((len = utf8_sequence(p + i, text.size() - i, &c)) == 0) return false;
    return true;
}

bool parse_json_object(const std::string& line, JsonObject* out, std::string* why) {
    Reader r{line, 0, {}};
    bool ok = [&]() {
        if (!r.eat('{')) return r.fail("not a JSON object");
        if (!r.eat('}')) {
            do {
                std::string key;
                JsonValue v;
                if (!r.string(&key)) return false;
                if (!r.eat(':')) return r.fail("':' expected");
                if (!r.value(&v)) return false;
                for (const auto& kv : *out)
                    if (kv.first == key) return r.fail("\"" + key + "\" given twice");
                out->emplace_back(std::move(key), std::move(v));
            } while (r.eat(','));
            if (!r.eat('}')) return r.fail("',' or '}' expected");
        }
        r.blanks();
        if (r.i != line.size()) return r.fail("text after the object");
        return true;
    }();
    if (!ok && why) *why = r.why;
    return ok;
}

bool parse_json_number(const std::string& text, double* value) {
    Reader r{text, 0, {}};
    JsonValue v;
    if (!r.number(&v) || r.i != text.size()) return false;
    *value = v.number;
    return true;
}

const JsonValue* json_find(const JsonObject& o, const std::string& key) {
    for (const auto& kv : o)
        if (kv.first == key) return &kv.second;
    return nullptr;
}
