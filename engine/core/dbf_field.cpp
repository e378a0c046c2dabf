// Field contents to and from the caller's values (see dbf.h for the value forms).

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "engine/core/dates.h"
#include "engine/core/dbf_internal.h"
#include "engine/core/numbers.h"

namespace {

const int32_t kJulian1970 = 2440588;

bool all_blank(const char* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != ' ') return false;
    return true;
}

// An empty date-time: other programs write 8 zero bytes, older files 8 blanks.
bool empty_datetime(const char* p) {
    static const char kZeros[8] = {0};
    return memcmp(p, kZeros, 8) == 0 || all_blank(p, 8);
}

const double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The decimal number at the start of p[0..n) (after blanks), stopping at the first
// character that does not belong to it, as atof would read it. A mantissa below 2^53
// with at most 22 decimals is exact in one division, which is correctly rounded;
// anything else (exponents, very long numbers) goes to strtod.
double parse_number(const char* p, size_t n) {
    size_t i = 0;
    while (i < n && p[i] == ' ') i++;
    size_t start = i;
    bool neg = false;
    if (i < n && (p[i] == '-' || p[i] == '+')) neg = p[i++] == '-';
    uint64_t mant = 0;
    size_t first_digit = i;
    while (i < n && (unsigned)(p[i] - '0') < 10) mant = mant * 10 + (uint64_t)(p[i++] - '0');
    size_t int_digits = i - first_digit;
    size_t frac = 0;
    if (i < n && p[i] == '.') {
        size_t f0 = ++i;
        while (i < n && (unsigned)(p[i] - '0') < 10) mant = mant * 10 + (uint64_t)(p[i++] - '0');
        frac = i - f0;
    }
    if (int_digits + frac == 0) return 0.0;
    bool exponent = i < n && (p[i] == 'e' || p[i] == 'E');
    if (!exponent && int_digits + frac <= 19 && mant <= (1ull << 53) && frac <= 22) {
        double v = (double)mant / kPow10[frac];
        return neg ? -v : v;
    }
    // Only the decimal number itself goes to strtod (which would also read
    // hexadecimal, "inf" and "nan", none of which a numeric field holds).
    if (exponent) {
        size_t e = i + 1;
        if (e < n && (p[e] == '-' || p[e] == '+')) e++;
        if (e < n && (unsigned)(p[e] - '0') < 10) {
            i = e;
            while (i < n && (unsigned)(p[i] - '0') < 10) i++;
        }
    }
    char buf[80];
    size_t len = i - start < sizeof buf - 1 ? i - start : sizeof buf - 1;
    memcpy(buf, p + start, len);
    buf[len] = 0;
    return strtod(buf, nullptr);
}

uint32_t parse_unsigned(const char* p, size_t n) {
    size_t i = 0;
    while (i < n && p[i] == ' ') i++;
    uint64_t v = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9') {
        v = v * 10 + (uint64_t)(p[i++] - '0');
        if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
    }
    return (uint32_t)v;
}

// Truth value of a logical byte: 1, 0, or -1 when it holds none. A table, because
// scans meet a random mix of values and a chain of branches mispredicts.
struct LogicalTable {
    signed char value[256];
    LogicalTable() {
        for (int i = 0; i < 256; i++) value[i] = -1;
        for (unsigned char c : {'T', 't', 'Y', 'y', '1', '\x01'}) value[c] = 1;
        for (unsigned char c : {'F', 'f', 'N', 'n', '0', '\0'}) value[c] = 0;
    }
};
const LogicalTable kLogical;

int logical_value(unsigned char c) { return kLogical.value[c]; }

bool two_digits(const char* p, int* v) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return false;
    *v = (p[0] - '0') * 10 + (p[1] - '0');
    return true;
}

// Stored yyyymmdd to the current date format.
XDSTATUS get_date(const char* p, char* out) {
    int hi, lo, month, day;
    int code = xdb_date_format();
    if (two_digits(p, &hi) && two_digits(p + 2, &lo) && two_digits(p + 4, &month) && two_digits(p + 6, &day)) {
        if (code == 4 && month >= 1 && month <= 12 && day >= 1 && day <= xdb_days_in_month(hi * 100 + lo, month)) {
            // Already in the stored form: nothing to format.
            memcpy(out, p, 8);
            out[8] = 0;
            return XD_OK;
        }
        return xdb_format_date(out, code, hi * 100 + lo, month, day) < 0 ? xdb_status() : XD_OK;
    }
    char text[9];
    memcpy(text, p, 8);
    text[8] = 0;
    int y, m, d;
    XDSTATUS s = xdb_read_date(&y, &m, &d, text, 4);
    if (s < 0) return s;
    return xdb_format_date(out, code, y, m, d) < 0 ? xdb_status() : XD_OK;
}

void get_datetime(const uint8_t* p, DbfDateTime* t) {
    int32_t jdn = (int32_t)get_le32(p);
    uint32_t ms = get_le32(p + 4);
    int64_t days = (int64_t)jdn - kJulian1970;
    int64_t seconds = ms / 1000 + (ms % 1000 > 500 ? 1 : 0);
    days += seconds / 86400;
    seconds %= 86400;
    int y, m, d;
    xdb_from_julian_day((int32_t)(days + kJulian1970), &y, &m, &d);
    t->year = (int16_t)y;
    t->month = (int16_t)m;
    t->day = (int16_t)d;
    t->hour = (int16_t)(seconds / 3600);
    t->minute = (int16_t)(seconds / 60 % 60);
    t->second = (int16_t)(seconds % 60);
    t->millisecond = 0;
}

void put_varying(DbfBlock* b, int index, char* p, int flen, const char* data, size_t n) {
    memset(p, ' ', (size_t)flen);
    memcpy(p, data, n);
    int length_bit, null_bit;
    dbf_field_null_bits(b, index, &length_bit, &null_bit);
    if (length_bit >= 0) {
        if ((int)n < flen) {
            p[flen - 1] = (char)n;
            dbf_set_null_bit(b, length_bit, true);
        } else {
            dbf_set_null_bit(b, length_bit, false);
        }
    }
    if (null_bit >= 0) dbf_set_null_bit(b, null_bit, false);
}

XDSTATUS put_number(char* p, int flen, int decimals, double largest, double v) {
    if (!std::isfinite(v)) return xdb_report(XD_BADDATA);
    char text[21];
    int n = xdb_format_fixed(text, sizeof text, v, flen, decimals);
    if (n < 0 || n >= (int)sizeof text) return xdb_report(XD_BADDATA);
    double back = strtod(text, nullptr);
    if (back != v) xdb_report(XD_ROUNDED);
    if (back > largest || n > flen) return xdb_report(XD_BADDATA);
    memset(p, ' ', (size_t)flen);
    memcpy(p + flen - n, text, (size_t)n);
    return XD_OK;
}

}  // namespace

void dbf_field_null_bits(const DbfBlock* b, int index, int* length_bit, int* null_bit) {
    *length_bit = *null_bit = -1;
    if (dbf_code(b) != DBF_VFP || b->null_flags < 0) return;
    int bit = 0;
    for (int i = 0; i <= index && i < b->field_count; i++) {
        const uint8_t* d = dbf_desc(b, i);
        char t = dbf_ftype(d);
        bool varying = t == 'V' || t == 'Q';
        bool nullable = dbf_fflags(d) & 0x02;
        if (i == index) {
            if (varying) *length_bit = bit++;
            if (nullable) *null_bit = bit;
            return;
        }
        bit += (varying ? 1 : 0) + (nullable ? 1 : 0);
    }
}

bool dbf_null_bit(const DbfBlock* b, int bit) {
    const uint8_t* d = dbf_desc(b, b->null_flags);
    if (bit / 8 >= dbf_flength(d)) return false;
    return (b->record[dbf_foffset(d) + bit / 8] >> (bit % 8)) & 1;
}

void dbf_set_null_bit(DbfBlock* b, int bit, bool on) {
    const uint8_t* d = dbf_desc(b, b->null_flags);
    if (bit / 8 >= dbf_flength(d)) return;
    char& c = b->record[dbf_foffset(d) + bit / 8];
    c = (char)(on ? c | (1 << (bit % 8)) : c & ~(1 << (bit % 8)));
}

namespace {

// Converts field `index` of the record buffer into *v. `length_bit` and `null_bit`
// are the field's bits in the Visual FoxPro null flags (-1: none); the whole-record
// path counts them as it goes instead of looking them up field by field.
XDSTATUS convert_field(const DbfBlock* b, int index, int length_bit, int null_bit, int date_code, DbfValue* v) {
    const uint8_t* d = dbf_desc(b, index);
    const char* p = b->record + dbf_foffset(d);
    int flen = dbf_flength(d);
    bool vfp = dbf_code(b) == DBF_VFP;
    char type = dbf_ftype(d);
    v->type = type;
    v->state = 0;
    v->text = p;
    v->length = 0;
    v->number = 0;
    v->integer = 0;
    v->block = 0;
    v->logical = 0;
    v->currency = 0;
    v->field_text = p;
    v->field_length = (uint16_t)flen;
    if (null_bit >= 0 && dbf_null_bit(b, null_bit)) v->state |= DBF_VALUE_NULL;
    switch (type) {
    case 'C':
        v->length = (uint16_t)flen;
        if (all_blank(p, (size_t)flen)) v->state |= DBF_VALUE_EMPTY;
        break;
    case 'V':
    case 'Q': {
        int n = flen;
        if (type == 'Q' || vfp) {
            if (length_bit >= 0 && dbf_null_bit(b, length_bit)) {
                int stored = (unsigned char)p[flen - 1];
                if (stored < flen) n = stored;
            }
            if (v->state & DBF_VALUE_NULL) n = 0;
        }
        v->length = (uint16_t)n;
        if (all_blank(p, (size_t)flen)) v->state |= DBF_VALUE_EMPTY;
        break;
    }
    case 'N':
    case 'F':
        if (all_blank(p, (size_t)flen)) v->state |= DBF_VALUE_EMPTY;
        else if (date_code >= 0) v->number = parse_number(p, (size_t)flen);
        break;
    case 'D':
        if (date_code < 0) {  // the stored text only
            v->length = (uint16_t)flen;
            v->date[0] = 0;
            if (flen < 8 || all_blank(p, 8)) v->state |= DBF_VALUE_EMPTY;
            break;
        }
        v->text = v->date;
        if (flen < 8 || all_blank(p, 8)) {
            int w = xdb_date_width(date_code);
            memset(v->date, ' ', (size_t)w);
            v->date[w] = 0;
            v->length = (uint16_t)w;
            v->state |= DBF_VALUE_EMPTY;
            break;
        }
        if (XDSTATUS s = get_date(p, v->date); s < 0) {
            v->date[0] = 0;
            return xdb_report(s);
        }
        v->length = (uint16_t)strlen(v->date);
        break;
    case 'L': {
        int t = flen > 0 ? logical_value((unsigned char)p[0]) : -1;
        v->logical = t == 1 ? 1 : 0;
        if (t < 0) v->state |= DBF_VALUE_UNDEFINED;
        break;
    }
    case 'M':
    case 'P':
    case 'G':
    case 'W':
        if (vfp) {
            v->block = flen >= 4 ? get_le32((const uint8_t*)p) : 0;
        } else if (all_blank(p, (size_t)flen)) {
            v->state |= DBF_VALUE_EMPTY;
        } else {
            v->block = parse_unsigned(p, (size_t)flen);
        }
        break;
    case 'I':
        if (flen >= 4) v->integer = (int32_t)get_le32((const uint8_t*)p);
        break;
    case 'B':
        if (flen >= 8) memcpy(&v->number, p, 8);
        if (all_blank(p, (size_t)flen)) v->state |= DBF_VALUE_EMPTY;
        break;
    case 'Y':
        if (flen >= 8 && !all_blank(p, 8)) {
            v->currency = (int64_t)get_le64((const uint8_t*)p);
            v->number = (double)v->currency / 10000.0;
        }
        if (all_blank(p, (size_t)flen)) v->state |= DBF_VALUE_EMPTY;
        break;
    case 'T':
        if (flen >= 8 && !empty_datetime(p)) get_datetime((const uint8_t*)p, &v->datetime);
        else memset(&v->datetime, 0, sizeof v->datetime), v->state |= DBF_VALUE_EMPTY;
        break;
    default:
        if (all_blank(p, (size_t)flen)) v->state |= DBF_VALUE_EMPTY;
        break;
    }
    return XD_OK;
}

}  // namespace

XDSTATUS dbf_get_field(int16_t handle, int16_t index, void* value, int* undefined) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (index < 0 || index >= b->field_count) return xdb_report(XD_BADFIELDCOUNT);
    if (!value) return xdb_report(XD_NULLPARAM);
    if (undefined) *undefined = 0;
    int length_bit, null_bit;
    dbf_field_null_bits(b, index, &length_bit, &null_bit);
    DbfValue v;
    if ((s = convert_field(b, index, length_bit, null_bit, xdb_date_format(), &v)) < 0) {
        ((char*)value)[0] = 0;
        return s;
    }
    switch (v.type) {
    case 'C':
    case 'V':
    case 'D':
        memcpy(value, v.text, v.length);
        ((char*)value)[v.length] = 0;
        break;
    case 'Q':
        memcpy(value, &v.length, 2);
        memcpy((char*)value + 2, v.text, v.length);
        break;
    case 'N':
    case 'F':
    case 'B':
    case 'Y':
        if (v.type == 'N' || v.type == 'F' || dbf_flength(dbf_desc(b, index)) >= 8) memcpy(value, &v.number, 8);
        break;
    case 'L':
        *(uint8_t*)value = v.logical;
        if ((v.state & DBF_VALUE_UNDEFINED) && undefined) *undefined = 1;
        break;
    case 'M':
    case 'P':
        *(uint32_t*)value = v.block;
        break;
    case 'I':
        if (dbf_flength(dbf_desc(b, index)) >= 4) *(int32_t*)value = v.integer;
        break;
    case 'T':
        if (dbf_flength(dbf_desc(b, index)) >= 8) memcpy(value, &v.datetime, sizeof v.datetime);
        break;
    default:
        break;
    }
    return xdb_status();
}

namespace {

// Every field of the current record; a date code below 0 leaves N, F and D fields
// in their stored text.
XDSTATUS get_record(int16_t handle, DbfValue* values, uint16_t count, int date_code) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!values && count) return xdb_report(XD_NULLPARAM);
    if (count > b->field_count) count = (uint16_t)b->field_count;
    // The null-flag bits are numbered over the fields in order: counted here once.
    bool flags = dbf_code(b) == DBF_VFP && b->null_flags >= 0;
    int bit = 0;
    XDSTATUS worst = XD_OK;
    for (int i = 0; i < count; i++) {
        int length_bit = -1, null_bit = -1;
        if (flags) {
            const uint8_t* d = dbf_desc(b, i);
            char t = dbf_ftype(d);
            if (t == 'V' || t == 'Q') length_bit = bit++;
            if (dbf_fflags(d) & 0x02) null_bit = bit++;
        }
        // A field that does not convert is reported; the others are still given.
        if ((s = convert_field(b, i, length_bit, null_bit, date_code, &values[i])) < 0 && worst == XD_OK) worst = s;
    }
    if (worst < 0) return xdb_report(worst);
    return xdb_status();
}

}  // namespace

XDSTATUS dbf_get_record(int16_t handle, DbfValue* values, uint16_t count) {
    return get_record(handle, values, count, xdb_date_format());
}

XDSTATUS dbf_get_record_forms(int16_t handle, DbfValue* values, uint16_t count) {
    return get_record(handle, values, count, -1);
}

int dbf_field_empty(int16_t handle, int16_t index) {
    if (xdb_pending()) return 0;
    void* block;
    if (xdb_select(handle, XDB_KIND_DBF, &block)) return 0;
    DbfBlock* b = (DbfBlock*)block;
    if (index < 0 || index >= b->field_count) return 0;
    const uint8_t* d = dbf_desc(b, index);
    const char* p = b->record + dbf_foffset(d);
    int flen = dbf_flength(d);
    int length_bit, null_bit;
    dbf_field_null_bits(b, index, &length_bit, &null_bit);
    if (null_bit >= 0 && dbf_null_bit(b, null_bit)) return 1;
    char type = dbf_ftype(d);
    bool vfp = dbf_code(b) == DBF_VFP;
    switch (type) {
    case 'D': return flen < 8 || all_blank(p, 8);
    case 'T': return flen < 8 || empty_datetime(p);
    case 'I':
    case 'L': return 0;
    case 'M':
    case 'P': return vfp ? 0 : all_blank(p, (size_t)flen);
    default: return all_blank(p, (size_t)flen);
    }
}

XDSTATUS dbf_put_field(int16_t handle, int16_t index, const void* value) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (index < 0 || index >= b->field_count) return xdb_report(XD_BADFIELDCOUNT);
    if (!value) return xdb_report(XD_NULLPARAM);
    const uint8_t* d = dbf_desc(b, index);
    char* p = b->record + dbf_foffset(d);
    int flen = dbf_flength(d);
    bool vfp = dbf_code(b) == DBF_VFP;
    switch (dbf_ftype(d)) {
    case 'C':
    case 'V': {
        const char* text = (const char*)value;
        size_t n = strlen(text);
        if (n > (size_t)flen) {
            n = (size_t)flen;
            xdb_report(XD_TRUNCATED);
        }
        if (dbf_ftype(d) == 'V' && vfp) {
            put_varying(b, index, p, flen, text, n);
        } else {
            memset(p, ' ', (size_t)flen);
            memcpy(p, text, n);
        }
        break;
    }
    case 'Q': {
        uint16_t n;
        memcpy(&n, value, 2);
        if (n > flen) {
            n = (uint16_t)flen;
            xdb_report(XD_TRUNCATED);
        }
        put_varying(b, index, p, flen, (const char*)value + 2, n);
        break;
    }
    case 'N':
    case 'F':
        if ((s = put_number(p, flen, dbf_fdecimals(d), dbf_flargest(d), *(const double*)value)) < 0) return s;
        break;
    case 'D': {
        const char* text = (const char*)value;
        if (flen < 8) return xdb_report(XD_BADDATA);
        if (all_blank(text, strlen(text))) {
            memset(p, ' ', 8);
            break;
        }
        int y, m, dd;
        s = xdb_read_date(&y, &m, &dd, text, xdb_date_format());
        if (s == XD_EMPTYFILE) {
            memset(p, ' ', 8);
            return xdb_report(XD_OK);
        }
        if (s < 0) return s;
        char stored[11];
        if ((s = xdb_format_date(stored, 4, y, m, dd)) < 0) return s;
        memcpy(p, stored, 8);
        break;
    }
    case 'L': {
        int v = logical_value(*(const unsigned char*)value);
        if (v < 0) return xdb_report(XD_BADDATA);
        if (flen > 0) p[0] = v ? 'T' : 'F';
        break;
    }
    case 'M':
    case 'P': {
        uint32_t block = *(const uint32_t*)value;
        if (vfp) {
            if (flen >= 4) put_le32((uint8_t*)p, block);
            break;
        }
        char text[16];
        snprintf(text, sizeof text, "%10lu", (unsigned long)block);
        if (strtoul(text, nullptr, 10) != block || flen < 10) return xdb_report(XD_BADDATA);
        memcpy(p, text, 10);
        break;
    }
    case 'I':
        if (flen >= 4) put_le32((uint8_t*)p, (uint32_t) * (const int32_t*)value);
        break;
    case 'B':
        if (flen >= 8) memcpy(p, value, 8);
        break;
    case 'Y': {
        double v = *(const double*)value * 10000.0;
        if (!std::isfinite(v) || v >= 9.2233720368547758e18 || v <= -9.2233720368547758e18)
            return xdb_report(XD_BADDATA);
        if (flen >= 8) put_le64((uint8_t*)p, (uint64_t)(int64_t)v);
        break;
    }
    case 'T': {
        const DbfDateTime* t = (const DbfDateTime*)value;
        if (flen < 8) return xdb_report(XD_BADDATA);
        if (t->year == 0 && t->month == 0 && t->day == 0) {
            // The empty date-time, in the form other programs write and expect
            // (they fail on the blank form, which is still read).
            memset(p, 0, 8);
            break;
        }
        if (t->year < 1 || t->year > 9999 || t->month < 1 || t->month > 12 || t->day < 1 ||
            t->day > xdb_days_in_month(t->year, t->month))
            return xdb_report(XD_BADDATE);
        if (t->hour < 0 || t->hour > 23 || t->minute < 0 || t->minute > 59 || t->second < 0 || t->second > 59)
            return xdb_report(XD_BADTIME);
        put_le32((uint8_t*)p, (uint32_t)xdb_julian_day(t->year, t->month, t->day));
        put_le32((uint8_t*)p + 4, (uint32_t)(((t->hour * 60 + t->minute) * 60 + t->second) * 1000));
        break;
    }
    default:
        break;
    }
    // A nullable field given a value is null no more.
    int length_bit = -1, null_bit = -1;
    dbf_field_null_bits(b, index, &length_bit, &null_bit);
    if (null_bit >= 0) dbf_set_null_bit(b, null_bit, false);
    return xdb_status();
}

double xdb_field_number(const char* p, size_t n) { return parse_number(p, n); }
