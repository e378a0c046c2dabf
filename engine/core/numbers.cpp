// Fixed-point text of numbers, rounded as xBase programs round.
//
// The C library's "%.*f" rounds the exact binary value, ties to even: 0.125 to two
// places gives 0.12, and 2.675 (stored as 2.67499999...) gives 2.67. dBASE, Clipper
// and FoxPro give 0.13 and 2.68, and index keys built with STR() by those programs
// hold those digits; a key of ours must equal theirs byte for byte or a seek
// misses. So the rounding is done here on the shortest decimal form of the value.

#include "engine/core/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

int xdb_format_fixed(char* out, size_t cap, double value, int width, int decimals) {
    if (!std::isfinite(value)) return snprintf(out, cap, "%*.*f", width, decimals, value);
    if (decimals < 0) decimals = 0;
    // Shortest digits that read back as the value: d[0] has weight 10^p.
    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    *r.ptr = 0;
    const char* q = sci;
    bool negative = *q == '-';
    if (negative) q++;
    std::string d;
    for (; *q && *q != 'e'; q++)
        if (*q != '.') d += *q;
    int p = *q == 'e' ? atoi(q + 1) : 0;
    if (d.find_first_not_of('0') == std::string::npos) d.clear();  // zero

    // Keep the digits down to weight 10^-decimals; the first digit dropped decides,
    // and since the digits are exact, 5 or more is a half or more: away from zero.
    long keep = (long)p + decimals + 1;
    if (keep < (long)d.size()) {
        bool up = keep >= 0 && d[(size_t)keep] >= '5';
        d.resize(keep > 0 ? (size_t)keep : 0);
        if (up) {
            long i = (long)d.size() - 1;
            while (i >= 0 && d[(size_t)i] == '9') d[(size_t)i--] = '0';
            if (i >= 0) {
                d[(size_t)i]++;
            } else {
                d.insert(d.begin(), '1');
                p++;
                if (keep <= 0) p = -decimals;  // the carry is one unit of the last place
            }
        }
        if (d.find_first_not_of('0') == std::string::npos) d.clear();
    }

    std::string text;
    if (negative && !d.empty()) text += '-';
    int top = p > 0 ? p : 0;
    if (d.empty()) top = 0;
    for (long w = top; w >= -(long)decimals; w--) {
        if (w == -1) text += '.';
        long i = d.empty() ? -1 : (long)p - w;
        text += i >= 0 && i < (long)d.size() ? d[(size_t)i] : '0';
    }
    if ((long)text.size() < width) text.insert(0, (size_t)(width - (long)text.size()), ' ');
    if (cap) {
        size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
        memcpy(out, text.data(), n);
        out[n] = 0;
    }
    return (int)text.size();
}
