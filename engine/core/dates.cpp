#include "engine/core/dates.h"
#include "engine/core/os_platform.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/core/engine.h"

namespace {

const unsigned char kDaysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Where each part sits in a date text with its blanks removed, per format code:
// accepted lengths, the text that means an empty date, year/month/day positions.
struct ReadLayout {
    int min_len, max_len;
    const char* empty;  // nullptr: no empty form
    int year_pos, year_len;
    int month_pos, day_pos;
};

const ReadLayout kLayouts[16] = {
    {0, 0, nullptr, 0, 0, 0, 0},
    {6, 8, "//", 6, 2, 0, 3},    // 1 mm/dd/yy
    {8, 10, "//", 6, 4, 0, 3},   // 2 mm/dd/yyyy
    {8, 8, "/", 0, 4, -1, 5},    // 3 yyyy/ddd (day of year)
    {8, 8, nullptr, 0, 4, 4, 6}, // 4 yyyymmdd
    {6, 6, nullptr, 4, 2, 2, 0}, // 5 ddmmyy
    {6, 8, "..", 6, 2, 3, 0},    // 6 dd.mm.yy
    {8, 10, "..", 6, 4, 3, 0},   // 7 dd.mm.yyyy
    {6, 8, "//", 6, 2, 3, 0},    // 8 dd/mm/yy
    {8, 10, "//", 6, 4, 3, 0},   // 9 dd/mm/yyyy
    {6, 8, "//", 6, 2, 3, 0},    // 10 dd/mm/yy
    {8, 10, "//", 6, 4, 3, 0},   // 11 dd/mm/yyyy
    {6, 8, "--", 6, 2, 3, 0},    // 12 dd-mm-yy
    {8, 10, "--", 6, 4, 3, 0},   // 13 dd-mm-yyyy
    {6, 8, "..", 0, 2, 3, 6},    // 14 yy.mm.dd
    {8, 10, "..", 0, 4, 5, 8},   // 15 yyyy.mm.dd
};

// Reads `len` characters at `pos` as a decimal integer, the way atoi reads a
// substring: leading blanks and a sign allowed, stops at the first non-digit.
int read_part(const char* s, size_t slen, int pos, int len) {
    char buf[8] = {0};
    for (int i = 0; i < len && (size_t)(pos + i) < slen; i++) buf[i] = s[pos + i];
    const char* p = buf;
    bool neg = false;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    int v = 0;
    while (*p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
    return neg ? -v : v;
}

}  // namespace

bool xdb_is_leap_year(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int xdb_days_in_month(int year, int month) {
    if (month < 1 || month > 12) return 0;
    if (month == 2) return xdb_is_leap_year(year) ? 29 : 28;
    return kDaysInMonth[month];
}

int xdb_date_width(int code) {
    switch (code) {
    case 1: case 3: case 4: case 6: case 8: case 10: case 12: case 14: return 8;
    case 2: case 7: case 9: case 11: case 13: case 15: return 10;
    case 5: return 6;
    default: return 0;
    }
}

XDSTATUS xdb_format_date(char* out, int code, int year, int month, int day) {
    if (!out) return xdb_report(XD_NULLPARAM);
    if (year < 0 || year >= 10000 || month < 1 || month > 12 || day < 1 || day > xdb_days_in_month(year, month))
        return xdb_report(XD_BADDATE);
    if (code < 1 || code > 15) return xdb_report(XD_BADCOMMAND);
    // The parts are in range (checked above); as unsigned values bounded so that
    // the compiler sees every text fit its 11 bytes too.
    const unsigned y = (unsigned)year % 10000u, m = (unsigned)month % 100u, d = (unsigned)day % 100u, yy = y % 100u;
    switch (code) {
    case 1: snprintf(out, 11, "%02u/%02u/%02u", m, d, yy); break;
    case 2: snprintf(out, 11, "%02u/%02u/%04u", m, d, y); break;
    case 3: {
        unsigned ddd = d;
        for (int k = 1; k < month; k++) ddd += (unsigned)xdb_days_in_month(year, k);
        snprintf(out, 11, "%04u/%03u", y, ddd % 1000u);
        break;
    }
    case 4:
        // The stored form; written by hand because it is on every scan's path.
        out[0] = (char)('0' + y / 1000);
        out[1] = (char)('0' + y / 100 % 10);
        out[2] = (char)('0' + y / 10 % 10);
        out[3] = (char)('0' + y % 10);
        out[4] = (char)('0' + m / 10);
        out[5] = (char)('0' + m % 10);
        out[6] = (char)('0' + d / 10);
        out[7] = (char)('0' + d % 10);
        out[8] = 0;
        break;
    case 5: snprintf(out, 11, "%02u%02u%02u", d, m, yy); break;
    case 6: snprintf(out, 11, "%02u.%02u.%02u", d, m, yy); break;
    case 7: snprintf(out, 11, "%02u.%02u.%04u", d, m, y); break;
    case 8: case 10: snprintf(out, 11, "%02u/%02u/%02u", d, m, yy); break;
    case 9: case 11: snprintf(out, 11, "%02u/%02u/%04u", d, m, y); break;
    case 12: snprintf(out, 11, "%02u-%02u-%02u", d, m, yy); break;
    case 13: snprintf(out, 11, "%02u-%02u-%04u", d, m, y); break;
    case 14: snprintf(out, 11, "%02u.%02u.%02u", yy, m, d); break;
    case 15: snprintf(out, 11, "%04u.%02u.%02u", y, m, d); break;
    }
    return XD_OK;
}

XDSTATUS xdb_read_date(int* year, int* month, int* day, const char* text, int code) {
    if (!year || !month || !day || !text) return xdb_report(XD_NULLPARAM);
    size_t n = strlen(text);
    char s[64];
    size_t len = 0;
    for (size_t i = 0; i < n && len < sizeof s - 1; i++)
        if (text[i] != ' ') s[len++] = text[i];
    s[len] = 0;
    if (len == 0) {
        *year = *month = *day = 0;
        return xdb_report(XD_EMPTYFILE);
    }
    if (code < 1 || code > 15) return xdb_report(XD_BADCOMMAND);
    const ReadLayout& L = kLayouts[code];
    // Format 4 counts its length without blanks; the others count the text as given.
    size_t counted = code == 4 ? len : n;
    if ((int)counted < L.min_len || (int)counted > L.max_len) return xdb_report(XD_BADDATE);
    if (code <= 3)
        for (size_t i = 0; i < len; i++)
            if (s[i] == '\\') s[i] = '/';
    if (L.empty && strcmp(s, L.empty) == 0) {
        *year = *month = *day = 0;
        return xdb_report(XD_EMPTYFILE);
    }
    int y = read_part(s, len, L.year_pos, L.year_len);
    if (L.year_len == 2 && y < 100) y += 1900;
    int m, d;
    if (code == 3) {
        int ddd = read_part(s, len, L.day_pos, 3);
        m = 1;
        d = ddd;
        while (m <= 12 && d > xdb_days_in_month(y, m)) {
            d -= xdb_days_in_month(y, m);
            m++;
        }
    } else {
        m = read_part(s, len, L.month_pos, 2);
        d = read_part(s, len, L.day_pos, 2);
    }
    if (y < 0 || y > 9999 || m < 1 || m > 12 || d < 1 || d > xdb_days_in_month(y, m)) return xdb_report(XD_BADDATE);
    *year = y;
    *month = m;
    *day = d;
    return XD_OK;
}

XDSTATUS xdb_date_to_stored(char out[9], const char* text) {
    if (!out || !text) return xdb_report(XD_NULLPARAM);
    int y = 0, m = 0, d = 0;
    XDSTATUS s = xdb_read_date(&y, &m, &d, text, xdb_date_format());
    if (s < 0) return s;
    // An empty text has month 0, which formatting refuses.
    return xdb_format_date(out, 4, y, m, d);
}

void xdb_today(int* year, int* month, int* day, int* weekday) {
    int y, m, d, w;
    plat_local_date(&y, &m, &d, &w);
    if (year) *year = y;
    if (month) *month = m;
    if (day) *day = d;
    if (weekday) *weekday = w;
}

int32_t xdb_julian_day(int year, int month, int day) {
    // Gregorian calendar to Julian day number (Fliegel and Van Flandern).
    int a = (14 - month) / 12;
    int y = year + 4800 - a;
    int m = month + 12 * a - 3;
    return day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
}

void xdb_from_julian_day(int32_t jdn, int* year, int* month, int* day) {
    int64_t a = (int64_t)jdn + 32044;
    int64_t b = (4 * a + 3) / 146097;
    int64_t c = a - 146097 * b / 4;
    int64_t d = (4 * c + 3) / 1461;
    int64_t e = c - 1461 * d / 4;
    int64_t m = (5 * e + 2) / 153;
    *day = (int)(e - (153 * m + 2) / 5 + 1);
    *month = (int)(m + 3 - 12 * (m / 10));
    *year = (int)(100 * b + d - 4800 + m / 10);
}
