// Key expressions against records, and the character collation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class KeyExprTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        build_dbf(0x03,
                  {{"NAME", 'C', 10}, {"BIRTH", 'D', 8}, {"AMOUNT", 'N', 8, 2}, {"TAX", 'N', 6, 2}, {"CODE", 'C', 5},
                   {"OK", 'L', 1}},
                  {"Smith     19690420  123.45  4.55ABCDET", "jones     2024 229    0.00  0.00     F"})
            .write(dir_ + "/t.dbf");
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_open(&h_, (dir_ + "/t.dbf").c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
        ASSERT_EQ(dbf_read_record(h_, 1), XD_OK);
    }
    XDSTATUS eval(const char* text, XdbKeyValue* out, int limit = 0) {
        buf_ = text;
        xdb_set_status(XD_OK);
        return xdb_eval_key(h_, &buf_[0], limit, out);
    }
    std::string text_of(const char* expr) {
        XdbKeyValue v{};
        EXPECT_EQ(eval(expr, &v), XD_OK) << expr;
        EXPECT_EQ(v.type, 'C') << expr;
        return std::string((const char*)v.value, v.length);
    }
    double number_of(const char* expr) {
        XdbKeyValue v{};
        EXPECT_EQ(eval(expr, &v), XD_OK) << expr;
        EXPECT_TRUE(v.type == 'N' || v.type == 'F') << expr;
        EXPECT_EQ(v.length, 8);
        double d = 0;
        memcpy(&d, v.value, 8);
        return d;
    }
    std::string buf_;
    int16_t h_ = -1;
};

TEST_F(KeyExprTest, BlanksAndCaseDoNotMatter) {
    EXPECT_EQ(text_of("upper( name ) + dtos( birth )"), "SMITH     19690420");
    EXPECT_EQ(text_of("UPPER(NAME)+DTOS(BIRTH)").size(), 18u);
    EXPECT_EQ(buf_, "UPPER(NAME)+DTOS(BIRTH)");  // the text is rewritten in place
}

TEST_F(KeyExprTest, DatesThroughDtocAndDtos) {
    EXPECT_EQ(text_of("DTOC(BIRTH)"), "19690420");
    xdb_set_date_format(2);
    EXPECT_EQ(text_of("DTOC(BIRTH)"), "04/20/1969");
    EXPECT_EQ(text_of("DTOS(BIRTH)"), "19690420");
    EXPECT_EQ(xdb_date_format(), 2);  // restored after DTOS
    XdbKeyValue v{};
    ASSERT_EQ(eval("BIRTH", &v), XD_OK);  // a date alone stays a date
    EXPECT_EQ(v.type, 'D');
    EXPECT_EQ(v.length, 10);
    EXPECT_EQ(eval("BIRTH+NAME", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("NAME+BIRTH", &v), XD_BADKEYEXPR);
    // A stored date that is no date is passed on.
    xdb_set_status(XD_OK);
    dbf_read_record(h_, 2);
    EXPECT_EQ(eval("DTOC(BIRTH)", &v), XD_BADDATE);
}

TEST_F(KeyExprTest, TextFunctions) {
    EXPECT_EQ(text_of("SUBSTR(CODE,2,3)"), "BCD");
    EXPECT_EQ(text_of("SUBSTR(CODE,2)"), "BCDE");
    EXPECT_EQ(text_of("LEFT(CODE,2)"), "AB");
    EXPECT_EQ(text_of("RIGHT(CODE,2)"), "DE");
    EXPECT_EQ(text_of("LOWER(NAME)"), "smith     ");
    EXPECT_EQ(text_of("UPPER(SUBSTR(NAME,2,3))"), "MIT");
    // Beyond the text: cut to what is there.
    EXPECT_EQ(text_of("LEFT(CODE,99)"), "ABCDE");
    EXPECT_EQ(text_of("RIGHT(CODE,99)"), "ABCDE");
    EXPECT_EQ(text_of("SUBSTR(CODE,9,2)"), "");
    EXPECT_EQ(text_of("SUBSTR(CODE,0,2)"), "AB");
    EXPECT_EQ(text_of("LEFT(CODE,-3)"), "");
    XdbKeyValue v{};
    EXPECT_EQ(eval("LEFT(NAME)", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("SUBSTR(CODE,)", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("UPPER(AMOUNT)", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("STR(NAME)", &v), XD_BADKEYEXPR);
}

TEST_F(KeyExprTest, NumbersAndStr) {
    EXPECT_DOUBLE_EQ(number_of("AMOUNT+TAX"), 128.0);
    EXPECT_DOUBLE_EQ(number_of("12.5"), 12.5);
    EXPECT_DOUBLE_EQ(number_of("AMOUNT+1"), 124.45);
    XdbKeyValue v{};
    EXPECT_EQ(eval("NAME+AMOUNT", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("AMOUNT+NAME", &v), XD_BADKEYEXPR);
    // STR gives exactly len characters (10 and 0 decimals by default).
    EXPECT_EQ(text_of("STR(AMOUNT)"), "       123");
    EXPECT_EQ(text_of("STR(AMOUNT,8,2)"), "  123.45");
    EXPECT_EQ(text_of("STR(AMOUNT,2)"), "**");  // does not fit
    EXPECT_EQ(text_of("STR(AMOUNT,8,2)+NAME"), "  123.45Smith     ");
    EXPECT_EQ(eval("STR(AMOUNT,8,2", &v), XD_BADKEYEXPR);
}

TEST_F(KeyExprTest, TokensLiteralsAndTermLimits) {
    EXPECT_EQ(text_of("XYZ"), "XYZ");  // not a field: the text itself
    EXPECT_EQ(text_of("NAME+XYZ"), "Smith     XYZ");
    EXPECT_EQ(text_of("ABCDEFGHIJKLM"), "ABCDEFGHIJ");  // running to the end: cut to 10
    XdbKeyValue v{};
    EXPECT_EQ(eval("ABCDEFGHIJKLM+NAME", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("NAME++CODE", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("", &v), XD_OK);
    EXPECT_EQ(v.type, ' ');
    EXPECT_EQ(v.length, 0);
    // Partial keys: the first terms only.
    ASSERT_EQ(eval("NAME+CODE+DTOS(BIRTH)", &v, 2), XD_OK);
    EXPECT_EQ(std::string((const char*)v.value, v.length), "Smith     ABCDE");
    ASSERT_EQ(eval("NAME+CODE", &v, 1), XD_OK);
    EXPECT_EQ(v.length, 10);
    // Other field types: the field's letter, its value as the field get gives it.
    ASSERT_EQ(eval("OK", &v), XD_OK);
    EXPECT_EQ(v.type, 'L');
    EXPECT_EQ(v.length, 1);
    EXPECT_EQ(*(const uint8_t*)v.value, 1);
    EXPECT_EQ(eval("NAME+OK", &v), XD_BADKEYEXPR);
    ASSERT_EQ(eval("AMOUNT+OK", &v), XD_BADKEYEXPR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_eval_key(h_ + 1, &buf_[0], 0, &v), XD_BADHANDLE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_eval_key(h_, nullptr, 0, &v), XD_NULLPARAM);
}

// What the indexes of Clipper applications use beyond the dBASE functions: four-
// letter names, trims, LEN, subtraction, the record number and the table's own
// alias; another table's alias is refused.
TEST_F(KeyExprTest, ClipperFunctionsAliasesAndRecordNumbers) {
    EXPECT_EQ(text_of("SUBS(NAME,2,3)"), "mit");
    EXPECT_EQ(text_of("ALLTRIM(NAME)+CODE"), "SmithABCDE");
    EXPECT_EQ(text_of("LTRIM(STR(AMOUNT,10,2))"), "123.45");
    EXPECT_EQ(text_of("TRIM(NAME)+X"), "SmithX");  // a literal is the token itself
    EXPECT_EQ(number_of("LEN(ALLTRIM(NAME))"), 5);
    EXPECT_EQ(text_of("STR(40-LEN(ALLTRIM(NAME)),2,0)"), "35");
    EXPECT_EQ(number_of("AMOUNT-TAX"), 123.45 - 4.55);
    EXPECT_EQ(text_of("STR(RECNO(),6,0)"), "     1");
    EXPECT_EQ(text_of("T->NAME"), "Smith     ");
    XdbKeyValue v{};
    EXPECT_EQ(eval("OTHER->NAME", &v), XD_BADKEYEXPR);
    EXPECT_EQ(eval("NAME-CODE", &v), XD_BADKEYEXPR);  // text is not subtracted
}

TEST(Collation, ByteOrderAndNationalOrder) {
    ASSERT_EQ(xdbinit(), XD_OK);
    EXPECT_EQ(xdb_collation(0, 0), 1);  // the default is byte order
    EXPECT_LT(xdb_compare_keys("E", "\xC9", 1), 0);
    EXPECT_GT(xdb_compare_keys("\xC9", "F", 1), 0);  // byte order: 0xC9 after F
    EXPECT_EQ(xdb_collation(0, 1), 1);
    EXPECT_EQ(xdb_collation(0, 0), 0);
    EXPECT_LT(xdb_compare_keys("E", "\xC9", 1), 0);
    EXPECT_LT(xdb_compare_keys("\xC9", "F", 1), 0);  // É between E and F
    EXPECT_GT(xdb_compare_keys("a", "Z", 1), 0);     // lower case after upper case
    EXPECT_LT(xdb_compare_keys(" ", "0", 1), 0);
    EXPECT_LT(xdb_compare_keys("z", "(", 1), 0);     // letters before the signs
    EXPECT_EQ(xdb_compare_keys("\x01x", "\x02x", 2), 0);  // neither in the table: equal
    EXPECT_LT(xdb_compare_keys("\x01" "a", "\x02" "b", 2), 0);  // ...and the next decides
    EXPECT_LT(xdb_compare_keys("A", "\x01", 1), 0);  // a byte in the table comes first
    // Sorting with the national order keeps accented letters by their base.
    std::vector<std::string> words = {"Zoe", "\xC9tienne", "Eve", "abel", "Fran\xE7ois", "\xC5sa", "Bob"};
    std::sort(words.begin(), words.end(), [](const std::string& x, const std::string& y) {
        std::string a = x, b = y;
        a.resize(10, ' ');
        b.resize(10, ' ');
        return xdb_compare_keys(a.data(), b.data(), 10) < 0;
    });
    EXPECT_EQ(words, (std::vector<std::string>{"\xC5sa", "Bob", "Eve", "\xC9tienne", "Fran\xE7ois", "Zoe", "abel"}));
    EXPECT_EQ(xdb_collation(7, 1), 0);  // stores 7 & 1
    EXPECT_EQ(xdb_collation(0, 0), 1);
    xdbterm();
}

// The national order, entry by entry as the rules list it: each entry sorts
// strictly after the one before, so swapping any two of them fails here.
TEST(Collation, NationalOrderEntryByEntry) {
    std::vector<unsigned char> order = {' '};
    for (char c = '0'; c <= '9'; c++) order.push_back((unsigned char)c);
    auto add = [&](std::initializer_list<int> bytes) {
        for (int b : bytes) order.push_back((unsigned char)b);
    };
    add({'A', 0xC4, 0xC5, 'B', 'C', 0xC7, 'D', 'E', 0xC9, 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 0xD1,
         'O', 0xD6, 'P', 'Q', 'R', 'S', 'T', 'U', 0xDC, 'V', 'W', 'X', 'Y', 'Z'});
    add({'a', 0xE1, 0xE0, 0xE2, 0xE4, 0xE5, 'b', 'c', 0xE7, 'd', 'e', 0xE9, 0xE8, 0xEA, 0xEB, 'f', 'g', 'h',
         'i', 0xED, 0xEC, 0xEE, 0xEF, 'j', 'k', 'l', 'm', 'n', 0xF1, 'o', 0xF3, 0xF2, 0xF4, 0xF6, 'p', 'q',
         'r', 's', 't', 'u', 0xFA, 0xF9, 0xFB, 0xFC, 'v', 'w', 'x', 'y', 0xFF, 'z'});
    add({'(', ')', '[', ']', '{', '}', '<', '>', '=', '+', '-', '%', '*', '.', ',', ';', ':', '?', '!', '/',
         '\\', '|', 0x40, '&', '#', '$', 0xA3, '"', '`', '\'', '^', '~', '_', 0xB5, 0xB0, 0xA8});
    ASSERT_EQ(order.size(), 130u);
    ASSERT_EQ(xdbinit(), XD_OK);
    xdb_collation(0, 1);
    for (size_t i = 0; i < order.size(); i++) {
        EXPECT_EQ(xdb_compare_keys(&order[i], &order[i], 1), 0);
        for (size_t j = i + 1; j < order.size(); j++) {
            EXPECT_LT(xdb_compare_keys(&order[i], &order[j], 1), 0) << i << " " << j;
            EXPECT_GT(xdb_compare_keys(&order[j], &order[i], 1), 0) << i << " " << j;
        }
        // Any byte outside the table sorts after every byte in it.
        unsigned char outside = 0x01;
        EXPECT_LT(xdb_compare_keys(&order[i], &outside, 1), 0);
    }
    xdbterm();
}

}  // namespace
