// Date formats and calendar rules; ANSI/OEM conversion; code pages to Unicode.

#include <gtest/gtest.h>

#include <random>

#include "engine/core/byteorder.h"
#include "engine/core/codepage.h"
#include "engine/core/dates.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"

namespace {

class DatesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(xdbinit(), XD_OK); }
    void TearDown() override { xdbterm(); }
    XDSTATUS read(const char* text, int code, int* y, int* m, int* d) {
        xdb_set_status(XD_OK);
        return xdb_read_date(y, m, d, text, code);
    }
};

TEST_F(DatesTest, LeapYearsAndFebruary) {
    EXPECT_FALSE(xdb_is_leap_year(1900));
    EXPECT_TRUE(xdb_is_leap_year(2000));
    EXPECT_TRUE(xdb_is_leap_year(2024));
    EXPECT_FALSE(xdb_is_leap_year(2023));
    char out[16];
    EXPECT_EQ(xdb_format_date(out, 4, 2024, 2, 29), XD_OK);
    EXPECT_STREQ(out, "20240229");
    EXPECT_EQ(xdb_format_date(out, 4, 2023, 2, 29), XD_BADDATE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_format_date(out, 16, 2023, 2, 1), XD_BADCOMMAND);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_format_date(nullptr, 4, 2023, 2, 1), XD_NULLPARAM);
}

TEST_F(DatesTest, EveryFormatWritesItsPattern) {
    const char* expected[16] = {"",         "03/01/24",   "03/01/2024", "2024/061",   "20240301",   "010324",
                                "01.03.24", "01.03.2024", "01/03/24",   "01/03/2024", "01/03/24",   "01/03/2024",
                                "01-03-24", "01-03-2024", "24.03.01",   "2024.03.01"};
    for (int code = 1; code <= 15; code++) {
        char out[16];
        ASSERT_EQ(xdb_format_date(out, code, 2024, 3, 1), XD_OK);
        EXPECT_STREQ(out, expected[code]) << code;
        EXPECT_EQ((int)strlen(out), xdb_date_width(code));
    }
}

TEST_F(DatesTest, DayOfYearFormat) {
    int y, m, d;
    EXPECT_EQ(read("2024/061", 3, &y, &m, &d), XD_OK);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20240301);
    EXPECT_EQ(read("2023/060", 3, &y, &m, &d), XD_OK);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20230301);
    EXPECT_EQ(read("2023\\365", 3, &y, &m, &d), XD_OK);  // backslashes read as slashes
    EXPECT_EQ(y * 10000 + m * 100 + d, 20231231);
    EXPECT_EQ(read("2023/366", 3, &y, &m, &d), XD_BADDATE);
    EXPECT_EQ(read("    /   ", 3, &y, &m, &d), XD_EMPTYFILE);
}

TEST_F(DatesTest, ReadingRulesAndTheirQuirks) {
    int y, m, d;
    EXPECT_EQ(read("  /  /  ", 1, &y, &m, &d), XD_EMPTYFILE);
    EXPECT_EQ(y + m + d, 0);
    EXPECT_EQ(read("12/31/99", 1, &y, &m, &d), XD_OK);
    EXPECT_EQ(y * 10000 + m * 100 + d, 19991231);
    // Six characters: the month is read from "1/" and the day from "/9".
    EXPECT_EQ(read("1/2/99", 1, &y, &m, &d), XD_BADDATE);
    EXPECT_EQ(read("31.12.2023", 7, &y, &m, &d), XD_OK);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20231231);
    EXPECT_EQ(read("31.12.23", 7, &y, &m, &d), XD_OK);  // four-digit formats add no century
    EXPECT_EQ(y * 10000 + m * 100 + d, 231231);
    EXPECT_EQ(read("12\\31\\99", 1, &y, &m, &d), XD_OK);
    EXPECT_EQ(read("12\\31\\99", 8, &y, &m, &d), XD_BADDATE);  // backslashes only in 1 to 3
    EXPECT_EQ(read("2024 0301", 4, &y, &m, &d), XD_OK);  // format 4 counts without blanks
    EXPECT_EQ(y * 10000 + m * 100 + d, 20240301);
    EXPECT_EQ(read("202403011", 4, &y, &m, &d), XD_BADDATE);
    EXPECT_EQ(read("", 4, &y, &m, &d), XD_EMPTYFILE);
    EXPECT_EQ(read("..", 6, &y, &m, &d), XD_BADDATE);  // too short to be a date at all
    EXPECT_EQ(read("  .  .  ", 6, &y, &m, &d), XD_EMPTYFILE);
    EXPECT_EQ(read("01/01/2024", 17, &y, &m, &d), XD_BADCOMMAND);
    EXPECT_EQ(read("30/02/2024", 11, &y, &m, &d), XD_BADDATE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_read_date(nullptr, &m, &d, "x", 4), XD_NULLPARAM);
}

TEST_F(DatesTest, FormatThenReadRoundTripsInEveryFormat) {
    std::mt19937 rng(42);
    for (int i = 0; i < 3000; i++) {
        int year = 1900 + (int)(rng() % 200), month = 1 + (int)(rng() % 12);
        int day = 1 + (int)(rng() % (unsigned)xdb_days_in_month(year, month));
        for (int code = 1; code <= 15; code++) {
            char text[16];
            ASSERT_EQ(xdb_format_date(text, code, year, month, day), XD_OK);
            int y, m, d;
            ASSERT_EQ(read(text, code, &y, &m, &d), XD_OK) << text << " code " << code;
            int want_year = year;
            if (code == 1 || code == 5 || code == 6 || code == 8 || code == 10 || code == 12 || code == 14)
                want_year = 1900 + year % 100;
            EXPECT_EQ(y, want_year) << text;
            EXPECT_EQ(m, month) << text;
            EXPECT_EQ(d, day) << text;
        }
    }
}

TEST_F(DatesTest, TextToStoredFormUsesTheCurrentFormat) {
    char out[9];
    xdb_set_date_format(11);
    EXPECT_EQ(xdb_date_to_stored(out, "14/07/1789"), XD_OK);
    EXPECT_STREQ(out, "17890714");
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_date_to_stored(out, "  /  /    "), XD_BADDATE);
}

TEST_F(DatesTest, JulianDays) {
    EXPECT_EQ(xdb_julian_day(1970, 1, 1), 2440588);
    EXPECT_EQ(xdb_julian_day(2000, 1, 1), 2451545);
    std::mt19937 rng(7);
    for (int i = 0; i < 10000; i++) {
        int32_t j = 1721426 + (int32_t)(rng() % 3000000);  // year 1 onward
        int y, m, d;
        xdb_from_julian_day(j, &y, &m, &d);
        ASSERT_EQ(xdb_julian_day(y, m, d), j);
        ASSERT_GE(d, 1);
        ASSERT_LE(d, xdb_days_in_month(y, m));
    }
    int y, m, d, w;
    xdb_today(&y, &m, &d, &w);
    EXPECT_GE(y, 2024);
    EXPECT_LE(w, 6);
}

TEST(ByteOrder, Helpers) {
    EXPECT_EQ(xdb_swap32(0x11223344u), 0x44332211u);
    EXPECT_EQ(xdb_swap32(xdb_swap32(0xDEADBEEFu)), 0xDEADBEEFu);
    uint8_t b[8];
    xdb_put_be64(b, 0x0102030405060708ull);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[7], 8);
    EXPECT_EQ(xdb_get_be64(b), 0x0102030405060708ull);
}

TEST(AnsiOem, FifteenPairsOnlyAndStopAtZero) {
    char t[] = "\xE9t\xE9 \xF1\xE0";
    xdb_ansi_to_oem(t, sizeof t - 1, 0);
    EXPECT_EQ((unsigned char)t[0], 0x82);
    EXPECT_EQ((unsigned char)t[4], 0xF1);  // not one of the fifteen
    EXPECT_EQ((unsigned char)t[5], 0x85);
    xdb_oem_to_ansi(t, sizeof t - 1, 0);
    EXPECT_STREQ(t, "\xE9t\xE9 \xF1\xE0");
    char z[] = "\xE9\0\xE9";
    xdb_ansi_to_oem(z, 3, 0);
    EXPECT_EQ((unsigned char)z[2], 0xE9);  // after the byte 0: untouched
    // Every pair goes both ways.
    for (int c = 0; c < 256; c++) {
        char x = (char)c;
        xdb_ansi_to_oem(&x, 1, 0);
        char y = x;
        xdb_oem_to_ansi(&y, 1, 0);
        if ((unsigned char)x != c) {
            EXPECT_EQ((unsigned char)y, c);
        }
    }
}

TEST(AnsiOem, SystemConversionCoversTheWholePage) {
    char t[] = "\xF1\xD1\xDF\xA9\x00z";
    xdb_ansi_to_oem(t, 6, 1);
    EXPECT_EQ((unsigned char)t[0], 0xA4);  // n tilde
    EXPECT_EQ((unsigned char)t[1], 0xA5);
    EXPECT_EQ((unsigned char)t[2], 0xE1);  // sharp s
    EXPECT_EQ((unsigned char)t[3], 0xB8);  // copyright
    EXPECT_EQ(t[5], 'z');                  // a byte 0 does not stop it
    xdb_oem_to_ansi(t, 6, 1);
    EXPECT_STREQ(t, "\xF1\xD1\xDF\xA9");
    // Letters that both pages have survive the round trip.
    int kept = 0;
    for (int c = 0xC0; c < 0x100; c++) {
        char x = (char)c;
        xdb_ansi_to_oem(&x, 1, 1);
        xdb_oem_to_ansi(&x, 1, 1);
        kept += (unsigned char)x == c;
    }
    EXPECT_GE(kept, 60);
}

TEST(CodePages, ToUnicode) {
    EXPECT_EQ(codepage_of_language_driver(0x03), 1252);
    EXPECT_EQ(codepage_of_language_driver(0x65), 866);
    EXPECT_EQ(codepage_of_language_driver(0x7A), 936);
    EXPECT_EQ(codepage_of_language_driver(0x00), 0);
    EXPECT_EQ(codepage_to_utf8(850, "\x82t\x82", 3), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(codepage_to_utf8(1251, "\xCD\xC8\xC8", 3), "\xD0\x9D\xD0\x98\xD0\x98");
    // Bytes 1252 leaves unassigned are C1 controls, as the platform converts them.
    EXPECT_EQ(codepage_to_utf8(1252, "\x81\x8D\x8F\x90\x9D", 5), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
    // 936: a pair, an ASCII byte, a lead byte whose pair means nothing (one U+FFFD,
    // then the second byte read again), a lone lead byte at the end.
    EXPECT_EQ(codepage_to_utf8(936, "\xB0\xA1" "a" "\xA1\x40" "\x81", 6),
              "\xE5\x95\x8A" "a" "\xEF\xBF\xBD@" "\xEF\xBF\xBD");
    std::u16string w = codepage_to_wide(936, "\xB0\xA1", 2);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], 0x554A);
    EXPECT_EQ(wide_to_utf8(utf8_to_wide("h\xC3\xA9llo \xF0\x9F\x98\x80")), "h\xC3\xA9llo \xF0\x9F\x98\x80");
    EXPECT_EQ(utf8_to_wide("\xC3").size(), 1u);  // a cut sequence is one U+FFFD
}

// Every byte of every 8-bit page goes to a character and back to itself: text read
// from a file and written again is never changed, "?" never appears.
TEST(CodePages, EveryBytePassesThroughUnicodeAndBack) {
    const int pages[] = {437,  737,  775,  850,  852,  855,  857,  860,  861,   862,   863,   865,   866,   869,  874,
                         1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 10000, 10006, 10007, 10029, 10079, 10081};
    for (int page : pages) {
        ASSERT_TRUE(codepage_supported(page)) << page;
        std::string all;
        for (int b = 1; b < 256; b++) all += (char)b;
        std::u16string wide = codepage_to_wide(page, all.data(), all.size());
        ASSERT_EQ(wide.size(), all.size()) << page;
        for (size_t i = 0; i < wide.size(); i++) EXPECT_NE(wide[i], u'\uFFFD') << page << " byte " << i + 1;
        EXPECT_EQ(codepage_from_wide(page, wide), all) << page;
        EXPECT_EQ(codepage_from_utf8(page, codepage_to_utf8(page, all.data(), all.size())), all) << page;
    }
    // A few of the platform's assignments that a generic table gets wrong.
    EXPECT_EQ(codepage_to_wide(1253, "\xAA", 1), std::u16string(1, u'\uF8F9'));
    EXPECT_EQ(codepage_to_wide(1255, "\xCA", 1), std::u16string(1, u'\u05BA'));
    EXPECT_EQ(codepage_to_wide(874, "\xDB", 1), std::u16string(1, u'\uF8C1'));
    EXPECT_EQ(codepage_to_wide(10000, "\xBD", 1), std::u16string(1, u'\u2126'));
}

}  // namespace
