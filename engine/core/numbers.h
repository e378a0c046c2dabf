#pragma once
// Numbers as xBase writes them: fixed-point text for N and F fields, STR() and
// numeric keys.

#include <cstddef>

// Writes `value` with `decimals` digits after the point, right-aligned in at least
// `width` characters, into `out` (capacity `cap`, always terminated), and returns
// the length of the whole text as snprintf does (it may exceed `width` or `cap`).
//
// The value is rounded as xBase programs round: the number is taken as its
// shortest decimal form (the digits a user typed, 2.675 rather than the binary
// 2.67499999...), and a tie goes away from zero (0.125 to 2 places is 0.13,
// -12.5 to 0 places is -13). A result of zero has no minus sign. Infinities and
// NaN are written as the C library writes them.
int xdb_format_fixed(char* out, size_t cap, double value, int width, int decimals);

// The value of an N or F field's text p[0..n) as the field get gives it: the
// decimal number after leading blanks, read as atof reads it (0 for blanks).
double xdb_field_number(const char* p, size_t n);
