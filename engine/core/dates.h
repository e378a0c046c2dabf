#pragma once
// Dates as the engine shows and accepts them: fifteen date formats (code 1..15,
// default 4 yyyymmdd), the calendar rules, today's date, and the day numbers used
// by date-time fields. D fields always store yyyymmdd.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

bool xdb_is_leap_year(int year);
int xdb_days_in_month(int year, int month);

// Characters a date takes in format `code` (6, 8 or 10; 0 for an unknown code).
int xdb_date_width(int code);

// Writes the date in format `code` into `out` (at least 11 bytes).
XDSTATUS xdb_format_date(char* out, int code, int year, int month, int day);
// Reads a date text in format `code`. An empty date gives XD_EMPTYFILE with the
// three parts 0.
XDSTATUS xdb_read_date(int* year, int* month, int* day, const char* text, int code);
// Reads `text` in the current format and writes yyyymmdd plus a terminator.
XDSTATUS xdb_date_to_stored(char out[9], const char* text);
void xdb_today(int* year, int* month, int* day, int* weekday);

// Julian day number of a Gregorian date and back (2440588 is 1970-01-01).
int32_t xdb_julian_day(int year, int month, int day);
void xdb_from_julian_day(int32_t jdn, int* year, int* month, int* day);
