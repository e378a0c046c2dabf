// Reading records and converting fields, for every field type.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/programs.h"

namespace {

class DbfReadTest : public EngineTest {
protected:
    int16_t open(const DbfImage& img, uint8_t dialect, const char* name = "t.dbf") {
        std::string path = dir_ + "/" + name;
        img.write(path);
        int16_t h = -1;
        xdb_set_status(XD_OK);
        EXPECT_GE(dbf_open(&h, path.c_str(), (uint16_t)(XDB_OPEN_SHORTHAND | dialect)), 0);
        xdb_set_status(XD_OK);
        return h;
    }
    template <class T>
    XDSTATUS get(int16_t h, int16_t i, T* v, int* undefined = nullptr) {
        xdb_set_status(XD_OK);
        return dbf_get_field(h, i, v, undefined);
    }
    XDSTATUS put(int16_t h, int16_t i, const void* v) {
        xdb_set_status(XD_OK);
        return dbf_put_field(h, i, v);
    }
    std::string text(int16_t h, int16_t i) {
        char buf[300];
        get(h, i, buf);
        return buf;
    }
};

TEST_F(DbfReadTest, RecordsDeletedAndOutOfRange) {
    int16_t h = open(build_dbf(0x03, {{"NAME", 'C', 8}}, {"ONE", "*TWO", "THREE"}), 1);
    EXPECT_EQ(dbf_read_record(h, 1), XD_OK);
    EXPECT_EQ(text(h, 0), "ONE     ");  // trailing blanks are kept
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_read_record(h, 2), XD_DELETEDREC);
    EXPECT_EQ(text(h, 0), "TWO     ");  // the deleted record is loaded
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_is_deleted(h), XD_DELETEDREC);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_read_record(h, 4), XD_SEEKERR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_read_record(h, 0), XD_SEEKERR);
    xdb_set_status(XD_OK);
    uint32_t cur = 0;
    dbf_current_record(h, &cur);
    EXPECT_EQ(cur, 2u);  // unchanged by the failed reads
    EXPECT_EQ(text(h, 0), "TWO     ");
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_is_deleted(h), XD_DELETEDREC);
}

TEST_F(DbfReadTest, ReadBeyondTheCountReReadsTheHeader) {
    DbfImage img = build_dbf(0x03, {{"NAME", 'C', 4}}, {"AAAA"});
    int16_t h = open(img, 1);
    // Another program appends a record and updates the count.
    FILE* f = fopen((dir_ + "/t.dbf").c_str(), "r+b");
    fseek(f, 4, SEEK_SET);
    fputc(2, f);
    fseek(f, 33 + 32 + 5, SEEK_SET);
    fputs(" BBBB\x1A", f);
    fclose(f);
    uint32_t count = 0;
    dbf_record_count(h, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(dbf_read_record(h, 2), XD_OK);
    EXPECT_EQ(text(h, 0), "BBBB");
    dbf_record_count(h, &count);
    EXPECT_EQ(count, 2u);
}

TEST_F(DbfReadTest, ShortReadKeepsThePreviousRecord) {
    DbfImage img = build_dbf(0x03, {{"NAME", 'C', 4}}, {"AAAA", "BBBB"});
    img.bytes.resize(img.bytes.size() - 4);  // the last record is cut
    int16_t h = open(img, 1);
    EXPECT_EQ(dbf_read_record(h, 1), XD_OK);
    EXPECT_EQ(dbf_read_record(h, 2), XD_READERR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(text(h, 0), "AAAA");
    uint32_t cur = 0;
    dbf_current_record(h, &cur);
    EXPECT_EQ(cur, 1u);
}

TEST_F(DbfReadTest, ReadAheadSeesWhatReadRecordSees) {
    std::vector<std::string> records;
    std::mt19937 rng(3);
    for (int i = 0; i < 5000; i++) {
        std::string r = rng() % 7 == 0 ? std::string(1, '*') : std::string();
        r += std::to_string(i * 37);
        records.push_back(r);
    }
    int16_t a = open(build_dbf(0x03, {{"K", 'C', 200}}, records), 1, "a.dbf");
    int16_t b = open(build_dbf(0x03, {{"K", 'C', 200}}, records), 1, "b.dbf");
    char va[201], vb[201];
    // Forward, backward and jumping.
    std::vector<uint32_t> order;
    for (uint32_t n = 1; n <= 5000; n++) order.push_back(n);
    for (uint32_t n = 5000; n >= 1; n--) order.push_back(n);
    for (int i = 0; i < 2000; i++) order.push_back(1 + rng() % 5000);
    for (uint32_t n : order) {
        xdb_set_status(XD_OK);
        XDSTATUS sa = dbf_read_ahead(a, n);
        xdb_set_status(XD_OK);
        XDSTATUS sb = dbf_read_record(b, n);
        ASSERT_EQ(sa, sb) << n;
        get(a, 0, va);
        get(b, 0, vb);
        ASSERT_STREQ(va, vb) << n;
    }
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_read_ahead(a, 5001), XD_SEEKERR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_read_ahead_release(a), XD_OK);
    EXPECT_EQ(dbf_read_ahead(a, 17), XD_OK);  // sets itself up again
}

TEST_F(DbfReadTest, NumbersDatesLogicalsMemos) {
    int16_t h = open(build_dbf(0x83,
                               {{"N", 'N', 8, 2}, {"F", 'F', 10, 3}, {"D", 'D', 8}, {"L", 'L', 1}, {"M", 'M', 10}},
                               {"   12.50  -3.125e220240229T         7",
                                "            1.5xyz20230229?          ",
                                "  -0.001 00.1     2024 229F  00000012"}),
                     1);
    double n = -1, f = -1;
    char d[16];
    uint8_t l = 9;
    uint32_t m = 9;
    int undefined = -1;
    dbf_read_record(h, 1);
    get(h, 0, &n);
    get(h, 1, &f);
    EXPECT_DOUBLE_EQ(n, 12.5);
    EXPECT_DOUBLE_EQ(f, -312.5);  // "-3.125e2": the exponent belongs to the number
    EXPECT_EQ(get(h, 2, d), XD_OK);
    EXPECT_STREQ(d, "20240229");
    get(h, 3, &l, &undefined);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(undefined, 0);
    get(h, 4, &m);
    EXPECT_EQ(m, 7u);

    xdb_set_status(XD_OK);
    dbf_read_record(h, 2);
    get(h, 0, &n);
    EXPECT_EQ(n, 0.0);  // blanks
    EXPECT_EQ(dbf_field_empty(h, 0), 1);
    get(h, 1, &f);
    EXPECT_DOUBLE_EQ(f, 1.5);  // stops at "xyz"
    EXPECT_EQ(get(h, 2, d), XD_BADDATE);
    get(h, 3, &l, &undefined);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(undefined, 1);  // '?'
    get(h, 4, &m);
    EXPECT_EQ(m, 0u);
    EXPECT_EQ(dbf_field_empty(h, 4), 1);

    xdb_set_status(XD_OK);
    dbf_read_record(h, 3);
    get(h, 0, &n);
    EXPECT_DOUBLE_EQ(n, -0.001);
    get(h, 1, &f);
    EXPECT_DOUBLE_EQ(f, 0.1);
    EXPECT_EQ(get(h, 2, d), XD_BADDATE);  // a blank inside a stored date
    get(h, 4, &m);
    EXPECT_EQ(m, 12u);

    // Empty dates are blanks as wide as the current format.
    int16_t e = open(build_dbf(0x03, {{"D", 'D', 8}}, {"        ", "17890714"}), 1, "e.dbf");
    dbf_read_record(e, 1);
    xdb_set_date_format(11);
    EXPECT_EQ(text(e, 0), "          ");
    xdb_set_date_format(5);
    EXPECT_EQ(text(e, 0), "      ");
    xdb_set_status(XD_OK);
    dbf_read_record(e, 2);
    EXPECT_EQ(text(e, 0), "140789");
    xdb_set_date_format(3);
    EXPECT_EQ(text(e, 0), "1789/195");
}

// The longest prefix (after blanks) that is a decimal number with an optional
// exponent, read by strtod: what a numeric field's text means.
double reference_number(const std::string& text) {
    size_t i = 0, n = text.size();
    while (i < n && text[i] == ' ') i++;
    size_t start = i;
    if (i < n && (text[i] == '-' || text[i] == '+')) i++;
    size_t digits = 0;
    while (i < n && isdigit((unsigned char)text[i])) i++, digits++;
    if (i < n && text[i] == '.') {
        i++;
        while (i < n && isdigit((unsigned char)text[i])) i++, digits++;
    }
    if (digits == 0) return 0.0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        size_t e = i + 1;
        if (e < n && (text[e] == '-' || text[e] == '+')) e++;
        if (e < n && isdigit((unsigned char)text[e])) {
            i = e;
            while (i < n && isdigit((unsigned char)text[i])) i++;
        }
    }
    return strtod(text.substr(start, i - start).c_str(), nullptr);
}

TEST_F(DbfReadTest, NumericTextReadsLikeADecimalNumber) {
    std::vector<std::string> texts = {"  -.5", "+5", "-", ".", "0x1A", " inf", "nan", "1e5", "1e", "1e+",
                                      "12345678901234567890", "9007199254740993", "0.1234567890123456789",
                                      std::string("12\0\0", 4), "  1 2", "--1", "1.2.3"};
    std::mt19937 rng(5);
    const char alphabet[] = "0123456789     ..--+eEx";
    for (int k = 0; k < 20000; k++) {
        std::string t;
        for (int j = 0; j < 20; j++) t += alphabet[rng() % (sizeof alphabet - 1)];
        texts.push_back(t);
    }
    std::vector<std::string> fields;
    for (const std::string& t : texts) {
        std::string field = t.substr(0, 20);
        field.resize(20, ' ');
        fields.push_back(field);
    }
    int16_t h = open(build_dbf(0x03, {{"N", 'N', 20}}, fields), 2);
    for (size_t k = 0; k < fields.size(); k++) {
        xdb_set_status(XD_OK);
        // Records that start with '*' are written deleted; they read all the same.
        ASSERT_GE(dbf_read_ahead(h, (uint32_t)k + 1), 0);
        double v = -1;
        get(h, 0, &v);
        const std::string& field = fields[k];
        std::string text = field[0] == '*' ? " " + field.substr(1) : field;
        double want = text.find_first_not_of(' ') == std::string::npos ? 0.0 : reference_number(text);
        ASSERT_EQ(v, want) << "'" << field << "'";
    }
}

TEST_F(DbfReadTest, PutNumberRoundsRefusesAndAligns) {
    int16_t h = open(build_dbf(0x03, {{"N", 'N', 6, 2}, {"I", 'N', 3}}, {"  1.00  1"}), 1);
    dbf_read_record(h, 1);
    char* record;
    uint16_t length, count;
    dbf_record_layout(h, &record, &length, &count);
    double v = 3.14159;
    EXPECT_EQ(put(h, 0, &v), XD_ROUNDED);
    EXPECT_EQ(std::string(record + 1, 6), "  3.14");
    v = 1000;
    EXPECT_EQ(put(h, 0, &v), XD_BADDATA);  // the largest value is 999.99
    EXPECT_EQ(std::string(record + 1, 6), "  3.14");
    v = -999.99;
    EXPECT_EQ(put(h, 0, &v), XD_BADDATA);  // seven characters do not fit in six
    v = -99.99;
    EXPECT_EQ(put(h, 0, &v), XD_OK);
    EXPECT_EQ(std::string(record + 1, 6), "-99.99");
    v = 999.99;
    EXPECT_EQ(put(h, 0, &v), XD_OK);
    v = 999;
    EXPECT_EQ(put(h, 1, &v), XD_OK);
    EXPECT_EQ(std::string(record + 7, 3), "999");
    v = 2.5;
    EXPECT_EQ(put(h, 1, &v), XD_ROUNDED);
    v = NAN;
    EXPECT_EQ(put(h, 1, &v), XD_BADDATA);
    v = INFINITY;
    EXPECT_EQ(put(h, 1, &v), XD_BADDATA);
}

TEST_F(DbfReadTest, PutTextDateLogicalMemo) {
    int16_t h = open(build_dbf(0x83, {{"C", 'C', 5}, {"D", 'D', 8}, {"L", 'L', 1}, {"M", 'M', 10}}, {""}), 1);
    dbf_read_record(h, 1);
    char* r;
    uint16_t length, count;
    dbf_record_layout(h, &r, &length, &count);
    EXPECT_EQ(put(h, 0, "abcdefg"), XD_TRUNCATED);
    EXPECT_EQ(std::string(r + 1, 5), "abcde");
    EXPECT_EQ(put(h, 0, "ab"), XD_OK);
    EXPECT_EQ(std::string(r + 1, 5), "ab   ");
    xdb_set_date_format(7);
    EXPECT_EQ(put(h, 1, "31.12.2023"), XD_OK);
    EXPECT_EQ(std::string(r + 6, 8), "20231231");
    EXPECT_EQ(put(h, 1, "  .  .    "), XD_OK);  // the empty date
    EXPECT_EQ(std::string(r + 6, 8), "        ");
    EXPECT_EQ(put(h, 1, "31.02.2023"), XD_BADDATE);
    EXPECT_EQ(put(h, 1, ""), XD_OK);
    EXPECT_EQ(put(h, 2, "y"), XD_OK);
    EXPECT_EQ(r[14], 'T');
    uint8_t zero = 0;
    EXPECT_EQ(put(h, 2, &zero), XD_OK);
    EXPECT_EQ(r[14], 'F');
    EXPECT_EQ(put(h, 2, "?"), XD_BADDATA);
    EXPECT_EQ(r[14], 'F');
    uint32_t block = 1234;
    EXPECT_EQ(put(h, 3, &block), XD_OK);
    EXPECT_EQ(std::string(r + 15, 10), "      1234");
    EXPECT_EQ(put(h, 4, &block), XD_BADFIELDCOUNT);
    EXPECT_EQ(put(h, 0, nullptr), XD_NULLPARAM);
}

// A Visual FoxPro record: I, B, Y, T, V (with and without a length byte), Q, a
// nullable N, and the hidden _NullFlags field.
DbfImage vfp_table() {
    return build_dbf(0x30,
                     {{"I", 'I', 4},
                      {"B", 'B', 8, 2},
                      {"Y", 'Y', 8, 4},
                      {"T", 'T', 8},
                      {"V", 'V', 6, 0, 0x02},
                      {"Q", 'Q', 4},
                      {"N", 'N', 5, 0, 0x02},
                      {"M", 'M', 4},
                      {"_NullFlags", '0', 1, 0, 0x05}},
                     {std::string(48, '\0')}, true);
}

// A new record takes each field type's empty form: binary fields zero, the memo
// pointer empty, and the null flags of the nullable fields set; the file tool's
// append of an empty input record gives the same.
TEST_F(DbfReadTest, ABlankVisualFoxProRecordHoldsEmptyForms) {
    int16_t h = open(vfp_table(), 10);
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_blank_record(h), XD_OK);
    int32_t i = -1;
    double b = -1, y = -1;
    uint32_t block = 99;
    char v[8] = "x";
    get(h, 0, &i);
    get(h, 1, &b);
    get(h, 2, &y);
    get(h, 7, &block);
    get(h, 4, v);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(block, 0u);
    EXPECT_STREQ(v, "");
    char* r;
    uint16_t length, count;
    dbf_record_layout(h, &r, &length, &count);
    EXPECT_EQ((unsigned char)r[length - 1], 0x0A);  // V (bit 1) and N (bit 3) null
    EXPECT_EQ(dbf_field_empty(h, 6), 1);
    dbf_close(h);

    const std::string input = dir_ + "/empty.jsonl";
    FILE* f = fopen(input.c_str(), "w");
    fputs("{}\n{\"N\": 12, \"I\": 7}\n", f);
    fclose(f);
    ProgramResult r2 = run_program({QXDB_CLI, "append", dir_ + "/t.dbf"}, input);
    ASSERT_EQ(r2.code, 0) << r2.out;
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_open(&h, (dir_ + "/t.dbf").c_str(), (uint16_t)(XDB_OPEN_SHORTHAND | 10)), XD_OK);
    xdb_set_status(XD_OK);
    ASSERT_GE(dbf_read_record(h, 2), XD_OK);
    get(h, 0, &i);
    get(h, 7, &block);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(block, 0u);
    dbf_record_layout(h, &r, &length, &count);
    EXPECT_EQ((unsigned char)r[length - 1], 0x0A);
    xdb_set_status(XD_OK);
    ASSERT_GE(dbf_read_record(h, 3), XD_OK);
    double n = 0;
    get(h, 0, &i);
    get(h, 6, &n);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(n, 12);
    dbf_record_layout(h, &r, &length, &count);
    EXPECT_EQ((unsigned char)r[length - 1], 0x02);  // N has a value now; V stays null
    dbf_close(h);
}

TEST_F(DbfReadTest, VisualFoxProTypesRoundTrip) {
    int16_t h = open(vfp_table(), 10);
    dbf_read_record(h, 1);
    int32_t i = -123456;
    double b = 2.718281828, y = 12345.6789, n = 0;
    DbfDateTime t{2003, 4, 4, 16, 13, 11, 0};
    EXPECT_EQ(put(h, 0, &i), XD_OK);
    EXPECT_EQ(put(h, 1, &b), XD_OK);
    EXPECT_EQ(put(h, 2, &y), XD_OK);
    EXPECT_EQ(put(h, 3, &t), XD_OK);
    EXPECT_EQ(put(h, 4, "abc"), XD_OK);
    char q[6] = {2, 0, 'x', 'y'};
    EXPECT_EQ(put(h, 5, q), XD_OK);
    uint32_t block = 77;
    EXPECT_EQ(put(h, 7, &block), XD_OK);

    int32_t i2 = 0;
    double b2 = 0, y2 = 0;
    DbfDateTime t2{};
    char v[8];
    char q2[8] = {0};
    uint32_t block2 = 0;
    get(h, 0, &i2);
    get(h, 1, &b2);
    get(h, 2, &y2);
    get(h, 3, &t2);
    get(h, 4, v);
    get(h, 5, q2);
    get(h, 7, &block2);
    EXPECT_EQ(i2, i);
    EXPECT_EQ(b2, b);
    EXPECT_DOUBLE_EQ(y2, 12345.6789);
    EXPECT_EQ(t2.year * 10000 + t2.month * 100 + t2.day, 20030404);
    EXPECT_EQ(t2.hour * 3600 + t2.minute * 60 + t2.second, 16 * 3600 + 13 * 60 + 11);
    EXPECT_STREQ(v, "abc");  // the length byte, not the padding
    EXPECT_EQ(q2[0], 2);
    EXPECT_EQ(std::string(q2 + 2, 2), "xy");
    EXPECT_EQ(block2, 77u);
    // Bits of _NullFlags: V takes bit 0 (length) and 1 (null), Q bit 2, N bit 3.
    char* r;
    uint16_t length, count;
    dbf_record_layout(h, &r, &length, &count);
    EXPECT_EQ((unsigned char)r[length - 1], 0x05);
    r[length - 1] |= 0x0A;  // V and N null
    EXPECT_EQ(dbf_field_empty(h, 4), 1);
    EXPECT_EQ(dbf_field_empty(h, 6), 1);
    get(h, 4, v);
    EXPECT_STREQ(v, "");
    EXPECT_EQ(put(h, 4, "abcdef"), XD_OK);  // fills the field: no length byte, not null
    EXPECT_EQ((unsigned char)r[length - 1] & 0x03, 0);
    get(h, 4, v);
    EXPECT_STREQ(v, "abcdef");
    get(h, 6, &n);
    EXPECT_EQ(n, 0.0);
    // Currency truncates toward zero; date-times round to the nearest second.
    y = -0.00019;
    put(h, 2, &y);
    get(h, 2, &y2);
    EXPECT_DOUBLE_EQ(y2, -0.0001);
    memcpy(r + 1 + 4 + 8 + 8 + 4, "\xF4\x01\x00\x00", 4);  // 500 ms: rounds down
    get(h, 3, &t2);
    EXPECT_EQ(t2.second, 0);
    memcpy(r + 1 + 4 + 8 + 8 + 4, "\xF5\x01\x00\x00", 4);  // 501 ms: up
    get(h, 3, &t2);
    EXPECT_EQ(t2.second, 1);
    memcpy(r + 1 + 4 + 8 + 8 + 4, "\xFF\x5B\x26\x05", 4);  // 86399999 ms: the next day
    get(h, 3, &t2);
    EXPECT_EQ(t2.day, 5);
    EXPECT_EQ(t2.hour, 0);
}

// Random values put and read back against what they should read as.
TEST_F(DbfReadTest, RandomPutGetRoundTrips) {
    int16_t h = open(build_dbf(0x03, {{"C", 'C', 12}, {"N", 'N', 12, 3}, {"D", 'D', 8}, {"L", 'L', 1}}, {""}), 1);
    dbf_read_record(h, 1);
    std::mt19937_64 rng(11);
    for (int k = 0; k < 20000; k++) {
        std::string c;
        for (unsigned j = 0, n = (unsigned)(rng() % 13); j < n; j++) c += (char)('A' + rng() % 26);
        double value = (double)((int64_t)(rng() % 2000000000000ull) - 1000000000000ll) / 1000.0;
        if (rng() % 3 == 0) value = std::round(value);
        int year = 1 + (int)(rng() % 9999), month = 1 + (int)(rng() % 12), day = 1 + (int)(rng() % 28);
        char date[16];
        snprintf(date, sizeof date, "%04d%02d%02d", year, month, day);
        uint8_t logical = (uint8_t)(rng() % 2);
        ASSERT_EQ(put(h, 0, c.c_str()), XD_OK);
        XDSTATUS ns = put(h, 1, &value);
        bool fits = std::fabs(value) < (value < 0 ? 9999999.9995 : 99999999.9995);
        ASSERT_EQ(ns == XD_OK, fits) << value;
        ASSERT_EQ(put(h, 2, date), XD_OK);
        ASSERT_EQ(put(h, 3, &logical), XD_OK);
        char cb[16], db[16];
        double nb = 0;
        uint8_t lb = 9;
        get(h, 0, cb);
        get(h, 2, db);
        get(h, 3, &lb);
        c.resize(12, ' ');
        ASSERT_EQ(std::string(cb), c);
        ASSERT_STREQ(db, date);
        ASSERT_EQ(lb, logical);
        if (fits) {
            get(h, 1, &nb);
            ASSERT_DOUBLE_EQ(nb, value);
        }
    }
}

// A handle that opened its file exclusively keeps pages of records between reads:
// random reads, rewrites, deletes and appends through it, checked against a model,
// always see the file's bytes; a file cut short still reports its missing records.
TEST_F(DbfReadTest, ExclusiveReadsFromKeptPagesSeeEveryChange) {
    std::vector<std::string> rows;
    for (int i = 0; i < 7000; i++) rows.push_back("R" + std::to_string(i));
    build_dbf(0x03, {{"NAME", 'C', 12}}, rows).write(dir_ + "/x.dbf");
    int16_t h = -1;
    xdb_set_status(XD_OK);
    ASSERT_GE(dbf_open(&h, (dir_ + "/x.dbf").c_str(), DBF_DBASE3), 0);  // exclusive
    std::vector<std::string> model = rows;
    std::vector<bool> deleted(rows.size(), false);
    std::mt19937 rng(9);
    for (int step = 0; step < 20000; step++) {
        uint32_t n = 1 + rng() % (uint32_t)model.size();
        int what = (int)(rng() % 20);
        xdb_set_status(XD_OK);
        if (what == 0) {  // rewrite
            model[n - 1] = "W" + std::to_string(step);
            ASSERT_GE(dbf_read_record(h, n), 0);
            ASSERT_EQ(put(h, 0, model[n - 1].c_str()), XD_OK);
            xdb_set_status(XD_OK);
            ASSERT_EQ(dbf_write_record(h, &n, DBF_WRITE_REWRITE), XD_OK);
            deleted[n - 1] = false;
        } else if (what == 1) {  // delete
            ASSERT_EQ(dbf_delete_record(h, n), XD_OK);
            deleted[n - 1] = true;
        } else if (what == 2) {  // append
            model.push_back("A" + std::to_string(step));
            deleted.push_back(false);
            ASSERT_EQ(put(h, 0, model.back().c_str()), XD_OK);
            uint32_t recno = 0;
            xdb_set_status(XD_OK);
            ASSERT_EQ(dbf_write_record(h, &recno, DBF_WRITE_APPEND), XD_OK);
            ASSERT_EQ(recno, (uint32_t)model.size());
        } else {  // read
            XDSTATUS s = dbf_read_record(h, n);
            ASSERT_EQ(s, deleted[n - 1] ? XD_DELETEDREC : XD_OK) << "record " << n << " step " << step;
            std::string got = text(h, 0);
            got.erase(got.find_last_not_of(' ') + 1);
            ASSERT_EQ(got, model[n - 1]) << "record " << n << " step " << step;
        }
    }
    xdb_set_status(XD_OK);
    ASSERT_EQ(dbf_close(h), XD_OK);

    // Cut short: the header counts records the file does not hold whole.
    DbfImage img = build_dbf(0x03, {{"NAME", 'C', 12}}, rows);
    img.bytes.resize(img.bytes.size() - 30);
    img.write(dir_ + "/cut.dbf");
    xdb_set_status(XD_OK);
    ASSERT_GE(dbf_open(&h, (dir_ + "/cut.dbf").c_str(), DBF_DBASE3), 0);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_read_record(h, 6990), XD_OK);
    EXPECT_EQ(text(h, 0).substr(0, 5), "R6989");
    xdb_set_status(XD_OK);
    EXPECT_LT(dbf_read_record(h, 7000), 0);
    EXPECT_EQ(text(h, 0).substr(0, 5), "R6989");  // the failed read kept the record
    xdb_set_status(XD_OK);
    dbf_close(h);
}

}  // namespace
