// Conditions (see condexpr.h): a tokenizer and a recursive descent that evaluates
// as it parses, over the typed values of the record buffer's fields.

#include "engine/core/condexpr.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/numbers.h"

namespace {

// A value: text (C), number (N), date as its stored "yyyymmdd" or blanks (D),
// logical (L).
struct Value {
    char type = 'L';
    std::string text;
    double number = 0;
    bool truth = false;
    static Value Text(std::string t) { Value v; v.type = 'C'; v.text = std::move(t); return v; }
    static Value Number(double n) { Value v; v.type = 'N'; v.number = n; return v; }
    static Value Date(std::string d) { Value v; v.type = 'D'; v.text = std::move(d); return v; }
    static Value Logical(bool b) { Value v; v.type = 'L'; v.truth = b; return v; }
};

enum TokenKind { kEnd, kName, kText, kNumber, kOp };
struct Token {
    TokenKind kind;
    std::string text;  // names upper-cased; operators as written (".AND." upper-cased)
};

struct Field {
    DbfFieldInfo info;
    DbfValue value;
};

class Evaluator {
public:
    Evaluator(int16_t handle, const char* text) : handle_(handle), source_(text) {}

    bool Run(bool* result) {
        if (!Tokenize() || !LoadRecord()) return false;
        Value v;
        if (!Condition(&v)) return false;
        if (Peek().kind != kEnd) return Fail("unexpected '" + Peek().text + "'");
        if (v.type != 'L') return Fail("the condition gives no logical value");
        *result = v.truth;
        return true;
    }
    const std::string& Why() const { return why_; }

private:
    bool Fail(const std::string& why) {
        if (why_.empty()) why_ = why;
        return false;
    }

    // ---- Tokens ----
    bool Tokenize() {
        const char* p = source_;
        while (*p) {
            const unsigned char c = (unsigned char)*p;
            if (isspace(c)) { p++; continue; }
            if (c == '\'' || c == '"' || c == '[') {
                const char close = c == '[' ? ']' : (char)c;
                const char* end = strchr(p + 1, close);
                if (!end) return Fail(std::string("a text is not closed: ") + p);
                tokens_.push_back({kText, std::string(p + 1, (size_t)(end - p - 1))});
                p = end + 1;
                continue;
            }
            if (isdigit(c) || (c == '.' && isdigit((unsigned char)p[1]))) {
                const char* s = p;
                // A point belongs to the number when a digit follows it: 0.AND. is
                // the number 0 and the operator.
                while (isdigit((unsigned char)*p) || (*p == '.' && isdigit((unsigned char)p[1]))) p++;
                tokens_.push_back({kNumber, std::string(s, (size_t)(p - s))});
                continue;
            }
            if (c == '.') {
                // .T. .F. .Y. .N. .AND. .OR. .NOT.
                const char* end = strchr(p + 1, '.');
                std::string word = end ? std::string(p + 1, (size_t)(end - p - 1)) : "";
                for (char& ch : word) ch = (char)toupper((unsigned char)ch);
                if (word == "T" || word == "F" || word == "Y" || word == "N" || word == "AND" || word == "OR" ||
                    word == "NOT") {
                    tokens_.push_back({kOp, "." + word + "."});
                    p = end + 1;
                    continue;
                }
                return Fail(std::string("unknown operator near '") + p + "'");
            }
            if (isalpha(c) || c == '_') {
                const char* s = p;
                while (isalnum((unsigned char)*p) || *p == '_') p++;
                std::string name(s, (size_t)(p - s));
                for (char& ch : name) ch = (char)toupper((unsigned char)ch);
                tokens_.push_back({kName, name});
                continue;
            }
            static const char* const kOps[] = {"==", "<>", "!=", "<=", ">=", "->", "=", "#", "<", ">", "$", "+",
                                               "-",  "*",  "/",  "(",  ")",  ",",  "!"};
            bool matched = false;
            for (const char* op : kOps) {
                const size_t n = strlen(op);
                if (strncmp(p, op, n) == 0) {
                    tokens_.push_back({kOp, op});
                    p += n;
                    matched = true;
                    break;
                }
            }
            if (!matched) return Fail(std::string("unexpected character '") + (char)c + "'");
        }
        tokens_.push_back({kEnd, "the end"});
        return true;
    }
    const Token& Peek() const { return tokens_[at_]; }
    bool IsOp(const char* op) const { return Peek().kind == kOp && Peek().text == op; }
    bool Accept(const char* op) {
        if (!IsOp(op)) return false;
        at_++;
        return true;
    }
    bool Expect(const char* op) {
        if (Accept(op)) return true;
        return Fail(std::string("'") + op + "' expected before " + Peek().text);
    }

    // ---- The record ----
    bool LoadRecord() {
        uint16_t count = 0, largest = 0;
        XDSTATUS before = xdb_status();
        char* record = nullptr;
        uint16_t length = 0, fields = 0;
        if (dbf_field_count(handle_, &count) < 0 || dbf_record_layout(handle_, &record, &length, &fields) < 0) {
            xdb_set_status(before);
            return Fail("the table cannot be read");
        }
        std::vector<DbfFieldInfo> infos(count);
        std::vector<DbfValue> values(count);
        if (count && (dbf_describe_fields(handle_, &largest, infos.data()) < 0 ||
                      dbf_get_record_forms(handle_, values.data(), count) < 0)) {
            xdb_set_status(before);
            return Fail("the record cannot be read");
        }
        xdb_set_status(before);
        deleted_ = record && record[0] == '*';
        for (uint16_t i = 0; i < count; i++) fields_.push_back({infos[i], values[i]});
        return true;
    }
    bool FieldValue(const std::string& name, Value* v) {
        for (const Field& f : fields_) {
            if (strncmp(f.info.name, name.c_str(), sizeof f.info.name) != 0 || name.size() > 10) continue;
            const DbfValue& d = f.value;
            const std::string stored(d.field_text ? d.field_text : "", d.field_text ? d.field_length : 0);
            switch (f.info.type) {
            case 'C':
            case 'V': *v = Value::Text(std::string(d.text ? d.text : "", d.length)); return true;
            case 'N':
            case 'F': *v = Value::Number(strtod(stored.c_str(), nullptr)); return true;
            case 'B': *v = Value::Number(d.number); return true;
            case 'Y': *v = Value::Number((double)d.currency / 10000.0); return true;
            case 'I': *v = Value::Number(d.integer); return true;
            case 'D': *v = Value::Date(stored); return true;
            case 'L': {
                const char c = stored.empty() ? ' ' : stored[0];
                *v = Value::Logical(c == 'T' || c == 't' || c == 'Y' || c == 'y');
                return true;
            }
            default: return Fail("field " + name + " (type " + f.info.type + ") cannot be used in a condition");
            }
        }
        return Fail(name + " is no field of the table");
    }

    // ---- Grammar ----
    bool Condition(Value* v) {
        if (!And(v)) return false;
        while (Accept(".OR.")) {
            Value r;
            if (!And(&r)) return false;
            if (v->type != 'L' || r.type != 'L') return Fail(".OR. joins logical values only");
            v->truth = v->truth || r.truth;
        }
        return true;
    }
    bool And(Value* v) {
        if (!Not(v)) return false;
        while (Accept(".AND.")) {
            Value r;
            if (!Not(&r)) return false;
            if (v->type != 'L' || r.type != 'L') return Fail(".AND. joins logical values only");
            v->truth = v->truth && r.truth;
        }
        return true;
    }
    bool Not(Value* v) {
        if (Accept(".NOT.") || Accept("!")) {
            if (!Not(v)) return false;
            if (v->type != 'L') return Fail(".NOT. takes a logical value");
            v->truth = !v->truth;
            return true;
        }
        return Compare(v);
    }
    bool Compare(Value* v) {
        if (!Sum(v)) return false;
        static const char* const kCompare[] = {"==", "<>", "!=", "<=", ">=", "=", "#", "<", ">", "$"};
        for (const char* op : kCompare) {
            if (!Accept(op)) continue;
            Value r;
            if (!Sum(&r)) return false;
            return Comparison(op, *v, r, v);
        }
        return true;
    }
    bool Comparison(const std::string& op, const Value& l, const Value& r, Value* out) {
        if (l.type != r.type) return Fail("'" + op + "' compares values of two types");
        if (op == "$") {
            if (l.type != 'C') return Fail("'$' looks for text in text");
            *out = Value::Logical(r.text.find(l.text) != std::string::npos);
            return true;
        }
        int order = 0;      // <0, 0, >0
        bool equal = false;  // as '=' sees it
        switch (l.type) {
        case 'C': {
            const size_t n = std::min(l.text.size(), r.text.size());
            order = memcmp(l.text.data(), r.text.data(), n);
            if (order == 0 && l.text.size() < r.text.size()) order = -1;
            equal = order == 0;  // the right text is a prefix of the left
            if (op == "==") equal = l.text == r.text;
            break;
        }
        case 'D': order = l.text.compare(r.text); equal = order == 0; break;
        case 'N': order = l.number < r.number ? -1 : l.number > r.number ? 1 : 0; equal = order == 0; break;
        case 'L':
            if (op != "=" && op != "==" && op != "<>" && op != "#" && op != "!=")
                return Fail("logical values compare by = and <> only");
            equal = l.truth == r.truth;
            break;
        }
        bool t = false;
        if (op == "=" || op == "==") t = equal;
        else if (op == "<>" || op == "#" || op == "!=") t = !equal;
        else if (op == "<") t = !equal && order < 0;
        else if (op == ">") t = !equal && order > 0;
        else if (op == "<=") t = equal || order < 0;
        else if (op == ">=") t = equal || order > 0;
        *out = Value::Logical(t);
        return true;
    }
    bool Sum(Value* v) {
        if (!Product(v)) return false;
        for (;;) {
            const bool plus = IsOp("+");
            if (!plus && !IsOp("-")) return true;
            at_++;
            Value r;
            if (!Product(&r)) return false;
            if (plus && v->type == 'C' && r.type == 'C') v->text += r.text;
            else if (v->type == 'N' && r.type == 'N') v->number = plus ? v->number + r.number : v->number - r.number;
            else return Fail(std::string("'") + (plus ? "+" : "-") + "' between values of these types");
        }
    }
    bool Product(Value* v) {
        if (!Unary(v)) return false;
        for (;;) {
            const bool times = IsOp("*");
            if (!times && !IsOp("/")) return true;
            at_++;
            Value r;
            if (!Unary(&r)) return false;
            if (v->type != 'N' || r.type != 'N') return Fail("'*' and '/' take numbers");
            if (!times && r.number == 0) return Fail("division by zero");
            v->number = times ? v->number * r.number : v->number / r.number;
        }
    }
    bool Unary(Value* v) {
        if (Accept("-")) {
            if (!Unary(v)) return false;
            if (v->type != 'N') return Fail("'-' takes a number");
            v->number = -v->number;
            return true;
        }
        return Primary(v);
    }
    bool Primary(Value* v) {
        const Token t = Peek();
        if (t.kind == kEnd) return Fail("the condition ends too soon");
        at_++;
        if (t.kind == kText) return (*v = Value::Text(t.text)), true;
        if (t.kind == kNumber) return (*v = Value::Number(strtod(t.text.c_str(), nullptr))), true;
        if (t.kind == kOp) {
            if (t.text == ".T." || t.text == ".Y.") return (*v = Value::Logical(true)), true;
            if (t.text == ".F." || t.text == ".N.") return (*v = Value::Logical(false)), true;
            if (t.text == "(") return Condition(v) && Expect(")");
            return Fail("unexpected '" + t.text + "'");
        }
        // A name: a function, the table's own alias before a field, or a field.
        if (Accept("(")) return Function(t.text, v);
        if (Accept("->")) {
            char alias[64] = {0};
            xdb_table_alias(handle_, alias, sizeof alias);
            if (t.text != alias) return Fail("alias " + t.text + " is not this table's (" + alias + ")");
            if (Peek().kind != kName) return Fail("a field is expected after ->");
            return FieldValue(tokens_[at_++].text, v);
        }
        return FieldValue(t.text, v);
    }
    bool Arguments(std::vector<Value>* args) {
        if (Accept(")")) return true;
        for (;;) {
            Value a;
            if (!Condition(&a)) return false;
            args->push_back(a);
            if (Accept(")")) return true;
            if (!Expect(",")) return false;
        }
    }
    bool Function(const std::string& name, Value* v) {
        std::vector<Value> a;
        if (!Arguments(&a)) return false;
        auto want = [&](size_t low, size_t high, const char* types) {
            if (a.size() < low || a.size() > high) return Fail(name + "() takes " + std::to_string(low) +
                                                               (high > low ? " to " + std::to_string(high) : "") +
                                                               " arguments");
            for (size_t i = 0; i < a.size() && types[i]; i++)
                if (types[i] != '?' && a[i].type != types[i]) return Fail(name + "(): argument " +
                                                                          std::to_string(i + 1) + " has the wrong type");
            return true;
        };
        auto cut = [](const std::string& s, long from, long count) {
            const long size = (long)s.size();
            from = std::max(0L, std::min(from, size));
            count = std::max(0L, std::min(count, size - from));
            return s.substr((size_t)from, (size_t)count);
        };
        if (name == "DELETED") return want(0, 0, "") && ((*v = Value::Logical(deleted_)), true);
        if (name == "RECNO") {
            if (!want(0, 0, "")) return false;
            uint32_t recno = 0;
            XDSTATUS before = xdb_status();
            dbf_current_record(handle_, &recno);
            xdb_set_status(before);
            *v = Value::Number(recno);
            return true;
        }
        if (name == "EMPTY") {
            if (!want(1, 1, "?")) return false;
            const Value& x = a[0];
            bool empty = x.type == 'N' ? x.number == 0
                         : x.type == 'L' ? !x.truth
                                         : x.text.find_first_not_of(" \t\r\n") == std::string::npos;
            *v = Value::Logical(empty);
            return true;
        }
        if (name == "UPPER" || name == "LOWER") {
            if (!want(1, 1, "C")) return false;
            *v = a[0];
            for (char& c : v->text) c = (char)(name == "UPPER" ? toupper((unsigned char)c) : tolower((unsigned char)c));
            return true;
        }
        if (name == "SUBSTR" || name == "SUBS") {
            if (!want(2, 3, "CNN")) return false;
            const long from = (long)a[1].number - 1;
            *v = Value::Text(cut(a[0].text, from, a.size() == 3 ? (long)a[2].number : (long)a[0].text.size()));
            return true;
        }
        if (name == "LEFT" || name == "RIGHT") {
            if (!want(2, 2, "CN")) return false;
            const long n = std::max(0L, (long)a[1].number), size = (long)a[0].text.size();
            *v = Value::Text(name == "LEFT" ? cut(a[0].text, 0, n) : cut(a[0].text, size - std::min(n, size), n));
            return true;
        }
        if (name == "ALLTRIM" || name == "LTRIM" || name == "RTRIM" || name == "TRIM") {
            if (!want(1, 1, "C")) return false;
            std::string s = a[0].text;
            if (name != "LTRIM") s.erase(s.find_last_not_of(' ') + 1);
            if (name == "ALLTRIM" || name == "LTRIM") s.erase(0, std::min(s.size(), s.find_first_not_of(' ')));
            *v = Value::Text(s);
            return true;
        }
        if (name == "LEN") return want(1, 1, "C") && ((*v = Value::Number((double)a[0].text.size())), true);
        if (name == "STR") {
            if (!want(1, 3, "NNN")) return false;
            const long len = a.size() > 1 ? (long)a[1].number : 10, dec = a.size() > 2 ? (long)a[2].number : 0;
            if (len < 1 || len > 255 || dec < 0 || dec > 255) return Fail("STR(): width or decimals out of range");
            char text[600];
            const int n = xdb_format_fixed(text, sizeof text, a[0].number, (int)len, (int)dec);
            *v = Value::Text(n > len || n < 0 ? std::string((size_t)len, '*') : std::string(text, (size_t)n));
            return true;
        }
        if (name == "VAL") return want(1, 1, "C") && ((*v = Value::Number(strtod(a[0].text.c_str(), nullptr))), true);
        if (name == "DTOS") return want(1, 1, "D") && ((*v = Value::Text(a[0].text)), true);
        if (name == "DTOC") {
            if (!want(1, 1, "D")) return false;
            const std::string& d = a[0].text;  // MM/DD/YY, as the programs' default shows dates
            *v = Value::Text(d.find_first_not_of(' ') == std::string::npos || d.size() < 8
                                 ? std::string("  /  /  ")
                                 : d.substr(4, 2) + "/" + d.substr(6, 2) + "/" + d.substr(2, 2));
            return true;
        }
        if (name == "IIF" || name == "IF") {
            if (!want(3, 3, "L??")) return false;
            *v = a[0].truth ? a[1] : a[2];
            return true;
        }
        return Fail(name + "() is not a function conditions can use here");
    }

    int16_t handle_;
    const char* source_;
    std::vector<Token> tokens_;
    size_t at_ = 0;
    std::vector<Field> fields_;
    bool deleted_ = false;
    std::string why_;
};

XDSTATUS run(int16_t handle, const char* condition, bool* result, char* why, size_t why_cap) {
    XDSTATUS s = xdb_pending();
    if (s < 0) return s;
    xdb_set_status(XD_OK);  // a warning of an earlier operation is not this one's
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_DBF, &block))) return s;
    if (!condition || !result) return xdb_report(XD_NULLPARAM);
    Evaluator e(handle, condition);
    if (!e.Run(result)) {
        if (why && why_cap) snprintf(why, why_cap, "%s", e.Why().c_str());
        return xdb_report(XD_BADKEYEXPR);
    }
    if (why && why_cap) why[0] = 0;
    return xdb_status();
}

}  // namespace

XDSTATUS xdb_eval_condition(int16_t handle, const char* condition, bool* result, char* why, size_t why_cap) {
    return run(handle, condition, result, why, why_cap);
}

XDSTATUS xdb_check_condition(int16_t handle, const char* condition, char* why, size_t why_cap) {
    bool ignored = false;
    return run(handle, condition, &ignored, why, why_cap);
}
