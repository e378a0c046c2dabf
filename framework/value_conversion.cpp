// Values read by a driver, made into host item values (see value_conversion.h).

#include "framework/value_conversion.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/core/dates.h"
#include "framework/host_item_types.h"

namespace {

HostItemValue null_value() { return HostItemValue{}; }

bool all_blank(const char* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != ' ' && p[i] != 0) return false;
    return true;
}

bool is_text_form(uint8_t t) { return t == HV_TEXT || t == HV_DECIMAL || t == HV_CURRENCY || t == HV_BYTES; }

// The shortest text that reads back as the same double.
std::string double_text(double d) {
    char b[40];
    for (int precision = 15; precision <= 17; precision++) {
        snprintf(b, sizeof b, "%.*g", precision, d);
        if (strtod(b, nullptr) == d) break;
    }
    return b;
}

// Integer part of plain decimal text, truncated toward zero; false when it does
// not fit in [min, max].
bool decimal_to_integer(const DecimalView& plain, int64_t min, int64_t max, int64_t* out) {
    size_t i = 0;
    const bool negative = plain.text[0] == '-';
    if (negative) i = 1;
    uint64_t v = 0;
    const uint64_t limit = negative ? (uint64_t)0 - (uint64_t)min : (uint64_t)max;
    for (; i < plain.length && plain.text[i] != '.'; i++) {
        uint64_t digit = (uint64_t)(plain.text[i] - '0');
        if (v > (limit - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (negative) {
        if (min >= 0 && v > 0) return false;
        *out = v == 0 ? 0 : (int64_t)(0 - v);
    } else {
        *out = (int64_t)v;
    }
    return true;
}

void range_of(int item_type, int64_t* min, int64_t* max) {
    switch (item_type) {
    case kItemInt8: *min = -128, *max = 127; break;
    case kItemInt16: *min = -32768, *max = 32767; break;
    case kItemInt32:
    case kItemAutoId4: *min = INT32_MIN, *max = INT32_MAX; break;
    default: *min = INT64_MIN, *max = INT64_MAX; break;
    }
}

// A calendar date at p[0..8) in yyyymmdd.
bool valid_date(const char* p) {
    for (int i = 0; i < 8; i++)
        if (p[i] < '0' || p[i] > '9') return false;
    int y = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
    int m = (p[4] - '0') * 10 + (p[5] - '0');
    int d = (p[6] - '0') * 10 + (p[7] - '0');
    return y >= 1 && m >= 1 && m <= 12 && d >= 1 && d <= xdb_days_in_month(y, m);
}

bool all_digits(const char* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] < '0' || p[i] > '9') return false;
    return true;
}

// The value as plain decimal text; *empty for a blank text or a null.
bool as_decimal(const HostItemValue& from, std::string* scratch, DecimalView* out, bool* empty) {
    *empty = false;
    switch (from.type) {
    case HV_NULL: *empty = true; return false;
    case HV_INT32:
    case HV_INT64:
    case HV_BOOLEAN: *scratch = std::to_string(from.integer); break;
    case HV_REAL:
        if (!std::isfinite(from.real)) return false;
        *scratch = double_text(from.real);
        // A double's text may carry an exponent: written out in full digits.
        if (scratch->find_first_of("eE") != std::string::npos) {
            char b[400];
            snprintf(b, sizeof b, "%.0f", from.real);
            *scratch = b;
        }
        break;
    default:
        if (!is_text_form(from.type)) return false;
        return plain_decimal(from.bytes, from.length, scratch, out, empty);
    }
    *out = DecimalView{scratch->data(), scratch->size()};
    return true;
}

// The value's decimal text in *d: 1. A blank text or a null, made null in *out: 0.
// No number at all: -1.
int decimal_or_null(const HostItemValue& from, std::string* scratch, DecimalView* d, HostItemValue* out) {
    bool empty;
    if (as_decimal(from, scratch, d, &empty)) return 1;
    if (!empty) return -1;
    *out = null_value();
    return 0;
}

}  // namespace

bool plain_decimal(const char* text, size_t length, std::string* scratch, DecimalView* out, bool* empty) {
    *empty = false;
    size_t b = 0, e = length;
    // A byte 0 ends stored text.
    if (const void* z = memchr(text, 0, length)) e = (size_t)((const char*)z - text);
    while (b < e && text[b] == ' ') b++;
    while (e > b && text[e - 1] == ' ') e--;
    if (b == e) {
        *empty = true;
        return false;
    }
    const bool negative = text[b] == '-', plus = text[b] == '+';
    const size_t digits_start = negative || plus ? b + 1 : b;
    // One pass checks the form: digits with at most one point, at least one digit.
    size_t point = std::string::npos;
    bool digits = false, nonzero = false;
    for (size_t i = digits_start; i < e; i++) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            nonzero |= c != '0';
        } else if (c == '.' && point == std::string::npos) {
            point = i;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    // Most stored numbers are plain already: they are used where they lie.
    if (!plus && !(negative && !nonzero) && point != digits_start && point != e - 1) {
        *out = DecimalView{text + b, e - b};
        return true;
    }
    scratch->clear();
    if (negative && nonzero) scratch->push_back('-');  // -0 is 0
    if (point == digits_start) scratch->push_back('0');  // ".5" is 0.5
    scratch->append(text + digits_start, e - digits_start);
    if (point == e - 1) scratch->pop_back();             // "5." is 5
    *out = DecimalView{scratch->data(), scratch->size()};
    return true;
}

bool convert_to_item(const HostItemValue& from, int item_type, int item_size, std::string* scratch,
                     HostItemValue* out) {
    if (from.type == HV_NULL) {
        *out = null_value();
        return true;
    }
    switch (item_type) {
    case kItemText:
    case kItemTextMemo: {
        if (from.type == HV_TEXT || from.type == HV_BYTES) {
            // Stored text ends at its first byte 0 and is cut to what the item keeps.
            size_t n = from.length;
            if (const void* z = memchr(from.bytes, 0, n)) n = (size_t)((const char*)z - from.bytes);
            if (item_type == kItemText && item_size > 0 && n > (size_t)item_size) n = (size_t)item_size;
            *out = host_bytes_value(HV_TEXT, from.bytes, n);
            return true;
        }
        if (from.type == HV_DATE || from.type == HV_DATETIME) {
            *out = host_bytes_value(HV_TEXT, from.bytes, from.length);
            return true;
        }
        DecimalView d;
        if (int r = decimal_or_null(from, scratch, &d, out); r <= 0) return r == 0;
        *out = host_bytes_value(HV_TEXT, d.text, d.length);
        return true;
    }
    case kItemInt8:
    case kItemInt16:
    case kItemInt32:
    case kItemInt64:
    case kItemAutoId4:
    case kItemAutoId8: {
        int64_t min, max, v;
        range_of(item_type, &min, &max);
        if (from.type == HV_REAL) {
            if (!std::isfinite(from.real) || std::trunc(from.real) < (double)min || std::trunc(from.real) > (double)max)
                return false;
            *out = host_integer_value(item_type == kItemInt64 || item_type == kItemAutoId8 ? HV_INT64 : HV_INT32, (int64_t)std::trunc(from.real));
            return true;
        }
        DecimalView d;
        if (int r = decimal_or_null(from, scratch, &d, out); r <= 0) return r == 0;
        if (!decimal_to_integer(d, min, max, &v)) return false;
        *out = host_integer_value(item_type == kItemInt64 || item_type == kItemAutoId8 ? HV_INT64 : HV_INT32, v);
        return true;
    }
    case kItemReal8: {
        if (from.type == HV_REAL) {
            *out = from;
            return true;
        }
        if (from.type == HV_INT32 || from.type == HV_INT64 || from.type == HV_BOOLEAN) {
            *out = host_real_value((double)from.integer);
            return true;
        }
        DecimalView d;
        if (int r = decimal_or_null(from, scratch, &d, out); r <= 0) return r == 0;
        std::string digits(d.text, d.length);
        errno = 0;
        double r = strtod(digits.c_str(), nullptr);
        if (errno == ERANGE && !std::isfinite(r)) return false;
        *out = host_real_value(r);
        return true;
    }
    case kItemDecimal:
    case kItemCurrency: {
        DecimalView d;
        if (int r = decimal_or_null(from, scratch, &d, out); r <= 0) return r == 0;
        if (item_type == kItemCurrency) {
            // The host's currency keeps six decimals: more that are not zeros would be lost.
            const char* point = (const char*)memchr(d.text, '.', d.length);
            if (point && d.length - (size_t)(point - d.text) - 1 > 6) {
                for (const char* p = point + 7; p < d.text + d.length; p++)
                    if (*p != '0') return false;
                d.length = (size_t)(point - d.text) + 7;
            }
        }
        *out = host_bytes_value(item_type == kItemCurrency ? HV_CURRENCY : HV_DECIMAL, d.text, d.length);
        return true;
    }
    case kItemDate: {
        if (from.type != HV_TEXT && from.type != HV_DATE && from.type != HV_DATETIME) return false;
        if (all_blank(from.bytes, from.length)) {
            *out = null_value();
            return true;
        }
        if (from.length < 8 || !valid_date(from.bytes) || !all_blank(from.bytes + 8, from.type == HV_TEXT ? from.length - 8 : 0))
            return false;
        *out = host_bytes_value(HV_DATE, from.bytes, 8);
        return true;
    }
    case kItemDateTime: {
        if (from.type != HV_TEXT && from.type != HV_DATE && from.type != HV_DATETIME) return false;
        if (all_blank(from.bytes, from.length)) {
            *out = null_value();
            return true;
        }
        size_t n = from.length;
        if ((n != 8 && n != 14 && n != 17) || !all_digits(from.bytes, n) || !valid_date(from.bytes)) return false;
        scratch->assign(from.bytes, n);
        scratch->append(17 - n, '0');
        *out = host_bytes_value(HV_DATETIME, scratch->data(), 17);
        return true;
    }
    case kItemBoolean: {
        if (from.type == HV_BOOLEAN || from.type == HV_INT32 || from.type == HV_INT64) {
            *out = host_integer_value(HV_BOOLEAN, from.integer != 0);
            return true;
        }
        if (from.type == HV_REAL) {
            *out = host_integer_value(HV_BOOLEAN, from.real != 0);
            return true;
        }
        if (from.type != HV_TEXT) return false;
        if (all_blank(from.bytes, from.length)) {
            *out = null_value();
            return true;
        }
        size_t b = 0;
        while (from.bytes[b] == ' ') b++;
        char c = from.bytes[b];
        if (strchr("TtYy1", c) && c) *out = host_integer_value(HV_BOOLEAN, 1);
        else if (strchr("FfNn0", c) && c) *out = host_integer_value(HV_BOOLEAN, 0);
        else return false;
        return true;
    }
    case kItemBinary:
    case kItemBinaryMemo:
        if (from.type != HV_TEXT && from.type != HV_BYTES) return false;
        *out = host_bytes_value(HV_BYTES, from.bytes, from.length);
        return true;
    default:
        return false;
    }
}
