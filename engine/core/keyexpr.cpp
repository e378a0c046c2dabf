#include "engine/core/keyexpr.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/numbers.h"

namespace {

// A term or the accumulated result: bytes, type letter, length.
struct Value {
    std::string bytes;  // text, or the binary value of a number (double) or field
    char type = ' ';
    double number() const {
        double v = 0;
        if (bytes.size() >= sizeof v) memcpy(&v, bytes.data(), sizeof v);
        return v;
    }
    void set_number(double v) {
        bytes.assign((const char*)&v, sizeof v);
        type = 'N';
    }
};

// The evaluator's state lives from one evaluation to the next: the result handed
// out stays valid until then.
struct Evaluator {
    const char* text = nullptr;
    size_t pos = 0, end = 0;
    int16_t handle = -1;
    Value result;
};
Evaluator g_eval;

bool is_delimiter(char c) { return c == ',' || c == ')' || c == '+' || c == '-'; }

bool starts(const char* name) {
    size_t n = strlen(name);
    return g_eval.end - g_eval.pos >= n && memcmp(g_eval.text + g_eval.pos, name, n) == 0;
}

// A numeric argument: the text after the current character up to the next ',' or
// ')', read as a decimal integer; the cursor lands on that delimiter.
XDSTATUS number_argument(long* out) {
    size_t from = g_eval.pos + 1, to = from;
    while (to < g_eval.end && g_eval.text[to] != ',' && g_eval.text[to] != ')') to++;
    if (to >= g_eval.end || to == from) return XD_BADKEYEXPR;
    std::string digits(g_eval.text + from, to - from);
    *out = atol(digits.c_str());
    g_eval.pos = to;
    return XD_OK;
}

void step_over_close() {
    if (g_eval.pos < g_eval.end) g_eval.pos++;
}

// The bytes of field `index` of the current record as the field get gives them.
XDSTATUS field_value(int16_t index, const DbfFieldInfo& f, Value* v) {
    std::string buf((size_t)f.length + 64, '\0');
    XDSTATUS before = xdb_status();
    XDSTATUS s = dbf_get_field(g_eval.handle, index, &buf[0], nullptr);
    if (s < 0) return s;
    xdb_set_status(before);
    v->type = f.type;
    size_t n = 0;  // the bytes of the value as the field get gives it
    switch (f.type) {
    case 'C': n = f.length; break;
    case 'V':
    case 'D': n = strnlen(buf.data(), buf.size()); break;
    case 'N': case 'F': case 'B': case 'Y': n = 8; break;
    case 'L': n = 1; break;
    case 'I': case 'M': case 'P': n = 4; break;
    case 'T': n = sizeof(DbfDateTime); break;
    case 'Q': {
        uint16_t q;
        memcpy(&q, buf.data(), 2);
        n = (size_t)q + 2;
        break;
    }
    default: break;
    }
    if (n > buf.size()) n = buf.size();
    v->bytes.assign(buf.begin(), buf.begin() + (long)n);
    return XD_OK;
}

XDSTATUS token(Value* v) {
    size_t start = g_eval.pos, stop = start;
    while (stop < g_eval.end && !is_delimiter(g_eval.text[stop])) stop++;
    size_t n = stop - start;
    if (n == 0) return XD_BADKEYEXPR;
    if (n > 10) {
        if (stop < g_eval.end) return XD_BADKEYEXPR;
        n = 10;  // a token that runs to the end is cut
    }
    g_eval.pos = stop;
    std::string name(g_eval.text + start, n);
    int16_t index = -1;
    XDSTATUS before = xdb_status();
    if (dbf_find_field(g_eval.handle, &index, name.c_str()) == XD_OK) {
        uint16_t count = 0, largest = 0;
        dbf_field_count(g_eval.handle, &count);
        std::string fields(sizeof(DbfFieldInfo) * count, '\0');
        dbf_describe_fields(g_eval.handle, &largest, (DbfFieldInfo*)&fields[0]);
        return field_value(index, ((DbfFieldInfo*)&fields[0])[index], v);
    }
    xdb_set_status(before);  // not a field: a literal
    if (name.find_first_not_of("0123456789.") == std::string::npos) {
        v->set_number(strtod(name.c_str(), nullptr));
        return XD_OK;
    }
    v->bytes = name;
    v->type = 'C';
    return XD_OK;
}

XDSTATUS term(Value* v);
XDSTATUS combine_into(Value& r, const Value& t, char op);

// Terms joined by '+' (text joined, numbers added) and '-' (numbers subtracted),
// as a function's argument may be.
XDSTATUS sum(Value* v) {
    XDSTATUS s = term(v);
    while (s == XD_OK && g_eval.pos < g_eval.end && (g_eval.text[g_eval.pos] == '+' || g_eval.text[g_eval.pos] == '-')) {
        char op = g_eval.text[g_eval.pos++];
        Value t;
        if ((s = term(&t)) == XD_OK) s = combine_into(*v, t, op);
    }
    return s;
}

// NAME( argument , n ... ): evaluates the argument and checks its type.
XDSTATUS argument(size_t name_length, const char* types, Value* v) {
    g_eval.pos += name_length;
    XDSTATUS s = sum(v);
    if (s) return s;
    if (!strchr(types, v->type)) return XD_BADKEYEXPR;
    return XD_OK;
}

// Characters [from, from + count) of a text, kept inside it.
void cut(Value* v, long from, long count) {
    long size = (long)v->bytes.size();
    if (from < 0) from = 0;
    if (from > size) from = size;
    if (count < 0) count = 0;
    if (count > size - from) count = size - from;
    v->bytes = v->bytes.substr((size_t)from, (size_t)count);
}

// The alias a program gives the table: its file's base name, upper-cased, with
// characters a name cannot hold as '_'.
std::string own_alias() {
    char alias[64];
    xdb_table_alias(g_eval.handle, alias, sizeof alias);
    return alias;
}

// "ALIAS->" before a field: the table's own alias is the table; another table's
// fields cannot be reached from an index of this one.
XDSTATUS skip_alias() {
    const char* at = g_eval.text + g_eval.pos;
    size_t n = 0;
    while (g_eval.pos + n < g_eval.end && (isalnum((unsigned char)at[n]) || at[n] == '_')) n++;
    if (n == 0 || g_eval.pos + n + 2 > g_eval.end || at[n] != '-' || at[n + 1] != '>') return XD_OK;
    if (std::string(at, n) != own_alias()) return XD_BADKEYEXPR;
    g_eval.pos += n + 2;
    return XD_OK;
}

XDSTATUS term(Value* v) {
    XDSTATUS s;
    long a = 0, b = 0;
    if ((s = skip_alias())) return s;
    if (starts("RECNO()")) {
        // The record's number, as a number.
        g_eval.pos += 7;
        uint32_t recno = 0;
        XDSTATUS before = xdb_status();
        if (dbf_current_record(g_eval.handle, &recno) < 0) return XD_BADKEYEXPR;
        xdb_set_status(before);
        v->set_number((double)recno);
        return XD_OK;
    }
    if (starts("SUBSTR(") || starts("SUBS(")) {
        // Clipper programs write functions by their first four letters too.
        if ((s = argument(starts("SUBS(") ? 5 : 7, "C", v)) || (s = number_argument(&a))) return s;
        bool with_count = g_eval.pos < g_eval.end && g_eval.text[g_eval.pos] == ',';
        if (with_count && (s = number_argument(&b))) return s;
        step_over_close();
        cut(v, a - 1, with_count ? b : (long)v->bytes.size());
    } else if (starts("RIGHT(")) {
        if ((s = argument(6, "C", v)) || (s = number_argument(&a))) return s;
        step_over_close();
        cut(v, (long)v->bytes.size() - (a < 0 ? 0 : a), a);
    } else if (starts("LEFT(")) {
        if ((s = argument(5, "C", v)) || (s = number_argument(&a))) return s;
        step_over_close();
        cut(v, 0, a);
    } else if (starts("STR(")) {
        if ((s = argument(4, "NF", v))) return s;
        long len = 10, dec = 0;
        if (g_eval.pos < g_eval.end && g_eval.text[g_eval.pos] == ',' && (s = number_argument(&len))) return s;
        if (g_eval.pos < g_eval.end && g_eval.text[g_eval.pos] == ',' && (s = number_argument(&dec))) return s;
        if (g_eval.pos >= g_eval.end || g_eval.text[g_eval.pos] != ')') return XD_BADKEYEXPR;
        g_eval.pos++;
        // STR gives exactly len characters, as the index files of other xBase
        // programs expect (not len + 1 ending in 'f'); a number too wide for them
        // is shown as asterisks, as xBase does.
        if (len < 1 || len > 255 || dec < 0 || dec > 255) return XD_BADKEYEXPR;
        char text[600];
        int n = xdb_format_fixed(text, sizeof text, v->number(), (int)len, (int)dec);
        v->bytes = n > len || n < 0 ? std::string((size_t)len, '*') : std::string(text, (size_t)n);
        v->type = 'C';
    } else if (starts("ALLTRIM(") || starts("LTRIM(") || starts("RTRIM(") || starts("TRIM(")) {
        // Blanks off the text: both ends, the left, or the right.
        const bool left = starts("ALLTRIM(") || starts("LTRIM("), right = !starts("LTRIM(");
        size_t n = starts("ALLTRIM(") ? 8 : starts("TRIM(") ? 5 : 6;
        if ((s = argument(n, "C", v))) return s;
        step_over_close();
        size_t from = 0, to = v->bytes.size();
        while (left && from < to && v->bytes[from] == ' ') from++;
        while (right && to > from && v->bytes[to - 1] == ' ') to--;
        v->bytes = v->bytes.substr(from, to - from);
    } else if (starts("LEN(")) {
        if ((s = argument(4, "C", v))) return s;
        step_over_close();
        v->set_number((double)v->bytes.size());
    } else if (starts("DTOC(")) {
        if ((s = argument(5, "D", v))) return s;
        step_over_close();
        v->type = 'C';
    } else if (starts("UPPER(") || starts("LOWER(")) {
        bool upper = starts("UPPER(");
        if ((s = argument(6, "C", v))) return s;
        step_over_close();
        for (char& c : v->bytes) {
            if (upper && c >= 'a' && c <= 'z') c = (char)(c - 32);
            if (!upper && c >= 'A' && c <= 'Z') c = (char)(c + 32);
        }
    } else if (starts("DTOS(")) {
        int16_t old = xdb_swap_date_format(4);
        s = argument(5, "D", v);
        xdb_swap_date_format(old);
        if (s) return s;
        step_over_close();
        v->type = 'C';
    } else {
        return token(v);
    }
    return XD_OK;
}

// Joins a term to the value so far: '+' joins text or adds numbers, '-'
// subtracts numbers.
XDSTATUS combine_into(Value& r, const Value& t, char op) {
    if (op == '-') {
        if ((r.type != 'N' && r.type != 'F') || (t.type != 'N' && t.type != 'F')) return XD_BADKEYEXPR;
        r.set_number(r.number() - t.number());
        return XD_OK;
    }
    if (t.type == 'C' && r.type == 'C') {
        r.bytes += t.bytes;
        return XD_OK;
    }
    if ((t.type == 'N' || t.type == 'F') && (r.type == 'N' || r.type == 'F')) {
        r.set_number(r.number() + t.number());
        return XD_OK;
    }
    return XD_BADKEYEXPR;
}

XDSTATUS combine(const Value& t, bool plus) {
    Value& r = g_eval.result;
    if (t.type == 'C') {
        if (r.type != ' ' && r.type != 'C') return XD_BADKEYEXPR;
        r.bytes += t.bytes;
        r.type = 'C';
        return XD_OK;
    }
    if (r.type == ' ') {
        r = t;
        return XD_OK;
    }
    if (t.type == 'N' || t.type == 'F') {
        if (r.type != 'N' && r.type != 'F') return XD_BADKEYEXPR;
        if (plus) r.set_number(r.number() + t.number());
        return XD_OK;
    }
    return plus ? XD_BADKEYEXPR : XD_OK;  // another type: dropped, unless added
}

// The national order of characters (code page 1252): rank of each byte, -1 when
// it is not in the table.
struct NationalOrder {
    int rank[256];
    uint8_t weight[256];
    NationalOrder() {
        static const char kOrder[] =
            " 0123456789"
            "A\xC4\xC5" "BC\xC7" "DE\xC9" "FGHIJKLMN\xD1" "O\xD6" "PQRSTU\xDC" "VWXYZ"
            "a\xE1\xE0\xE2\xE4\xE5" "bc\xE7" "de\xE9\xE8\xEA\xEB" "fghi\xED\xEC\xEE\xEF" "jklmn\xF1"
            "o\xF3\xF2\xF4\xF6" "pqrstu\xFA\xF9\xFB\xFC" "vwxy\xFF" "z"
            "()[]{}<>=+-%*.,;:?!/\\|@&#$\xA3\"`'^~_\xB5\xB0\xA8";
        static_assert(sizeof kOrder - 1 == 130, "the national order has 130 characters");
        for (int& r : rank) r = -1;
        for (int i = 0; i < 130; i++) rank[(unsigned char)kOrder[i]] = i;
        for (int i = 0; i < 256; i++) weight[i] = rank[i] < 0 ? 255 : (uint8_t)rank[i];
    }
};
const NationalOrder kNational;

}  // namespace

XDSTATUS xdb_eval_key(int16_t handle, char* expression, int term_limit, XdbKeyValue* out) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_DBF, &block))) return s;
    if (!expression || !out) return xdb_report(XD_NULLPARAM);
    size_t w = 0;
    for (size_t r = 0; expression[r]; r++)
        if (expression[r] != ' ') expression[w++] = (char)toupper((unsigned char)expression[r]);
    expression[w] = 0;
    g_eval.text = expression;
    g_eval.pos = 0;
    g_eval.end = w;
    g_eval.handle = handle;
    g_eval.result = Value();
    int terms = 0;
    while (g_eval.pos < g_eval.end) {
        if (term_limit > 0 && ++terms > term_limit) break;
        const char op = expression[g_eval.pos];
        bool plus = op == '+';
        if (plus || op == '-') g_eval.pos++;
        Value t;
        if ((s = term(&t)) || (s = op == '-' && g_eval.result.type != ' ' ? combine_into(g_eval.result, t, '-')
                                                                         : combine(t, plus))) {
            g_eval.result = Value();
            return xdb_report(s);
        }
    }
    Value& r = g_eval.result;
    out->value = r.bytes.c_str();
    out->type = (uint16_t)r.type;
    out->length = (uint16_t)r.bytes.size();
    return xdb_status();
}

void xdb_table_alias(int16_t handle, char* out, size_t cap) {
    if (!out || !cap) return;
    out[0] = 0;
    const char* name = nullptr;
    XDSTATUS before = xdb_status();
    if (dbf_file_name(handle, &name) != XD_OK || !name) {
        xdb_set_status(before);
        return;
    }
    std::string base = name;
    size_t cut = base.find_last_of("/\\:");
    if (cut != std::string::npos) base = base.substr(cut + 1);
    base = base.substr(0, base.find('.'));
    for (char& c : base) c = isalnum((unsigned char)c) ? (char)toupper((unsigned char)c) : '_';
    snprintf(out, cap, "%s", base.c_str());
}

int xdb_collation(int value, int set) {
    int was = xdb_collation_flag() == 1;
    if (set) xdb_set_collation_flag(value & 1);
    return was;
}

const uint8_t* xdb_national_weights() { return kNational.weight; }

int xdb_compare_keys(const void* a, const void* b, size_t length) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    if (xdb_collation_flag() == 1) return memcmp(x, y, length);
    for (size_t i = 0; i < length; i++) {
        if (x[i] == y[i]) continue;
        int rx = kNational.rank[x[i]], ry = kNational.rank[y[i]];
        if (rx < 0 && ry < 0) continue;  // neither is in the table: equal
        if (rx < 0) return 1;
        if (ry < 0) return -1;
        return rx - ry;
    }
    return 0;
}
