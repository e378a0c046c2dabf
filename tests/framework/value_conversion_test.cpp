// The framework's value conversion: read values into host items, exactly or not
// at all.

#include <gtest/gtest.h>

#include "framework/host_item_types.h"
#include "framework/value_conversion.h"

namespace {

HostItemValue form(uint8_t type, const std::string& text) {
    static std::vector<std::string> keep;  // the views below point into these
    keep.push_back(text);
    HostItemValue v;
    v.type = type;
    v.bytes = keep.back().data();
    v.length = (uint32_t)keep.back().size();
    return v;
}

// The converted value as text ("null", "int:5", "real:2.5", "text:...").
std::string convert(const HostItemValue& from, int item_type, int size = 0) {
    std::string scratch;
    HostItemValue out;
    if (!convert_to_item(from, item_type, size, &scratch, &out)) return "refused";
    switch (out.type) {
    case HV_NULL: return "null";
    case HV_INT32:
    case HV_INT64: return "int:" + std::to_string(out.integer);
    case HV_BOOLEAN: return "bool:" + std::to_string(out.integer);
    case HV_REAL: {
        char b[40];
        snprintf(b, sizeof b, "real:%g", out.real);
        return b;
    }
    default: return std::to_string(out.type) + ":" + std::string(out.bytes, out.length);
    }
}

TEST(ValueConversion, StoredNumbersIntoEveryNumericItem) {
    const HostItemValue n = form(HV_DECIMAL, "  -12.50");
    EXPECT_EQ(convert(n, kItemDecimal), "6:-12.50");
    EXPECT_EQ(convert(n, kItemCurrency), "5:-12.50");
    EXPECT_EQ(convert(n, kItemReal8), "real:-12.5");
    EXPECT_EQ(convert(n, kItemInt32), "int:-12");  // the integer part
    EXPECT_EQ(convert(n, kItemText, 20), "19:-12.50");
    // Plain forms: a lone point, a plus sign, a negative zero.
    EXPECT_EQ(convert(form(HV_DECIMAL, " .5"), kItemDecimal), "6:0.5");
    EXPECT_EQ(convert(form(HV_DECIMAL, "-.5"), kItemDecimal), "6:-0.5");
    EXPECT_EQ(convert(form(HV_DECIMAL, "+7."), kItemDecimal), "6:7");
    EXPECT_EQ(convert(form(HV_DECIMAL, " -0.00"), kItemDecimal), "6:0.00");
    // Blank is no value; text that is no number is refused, never read as 0.
    EXPECT_EQ(convert(form(HV_DECIMAL, "     "), kItemInt32), "null");
    EXPECT_EQ(convert(form(HV_DECIMAL, " 1-2"), kItemInt32), "refused");
    EXPECT_EQ(convert(form(HV_DECIMAL, "1.2.3"), kItemReal8), "refused");
    EXPECT_EQ(convert(form(HV_DECIMAL, "***"), kItemDecimal), "refused");
    // Ranges of the integer items.
    EXPECT_EQ(convert(form(HV_DECIMAL, "127"), kItemInt8), "int:127");
    EXPECT_EQ(convert(form(HV_DECIMAL, "128"), kItemInt8), "refused");
    EXPECT_EQ(convert(form(HV_DECIMAL, "-32768"), kItemInt16), "int:-32768");
    EXPECT_EQ(convert(form(HV_DECIMAL, "-32769"), kItemInt16), "refused");
    EXPECT_EQ(convert(form(HV_DECIMAL, "9223372036854775807"), kItemInt64), "int:9223372036854775807");
    EXPECT_EQ(convert(form(HV_DECIMAL, "-9223372036854775808"), kItemInt64), "int:-9223372036854775808");
    EXPECT_EQ(convert(form(HV_DECIMAL, "9223372036854775808"), kItemInt64), "refused");
    // Digits beyond what a double holds stay exact in a decimal item.
    EXPECT_EQ(convert(form(HV_DECIMAL, "12345678901234567.89"), kItemDecimal), "6:12345678901234567.89");
    // The host's currency keeps six decimals: more only when they are zeros.
    EXPECT_EQ(convert(form(HV_DECIMAL, "1.1234560"), kItemCurrency), "5:1.123456");
    EXPECT_EQ(convert(form(HV_DECIMAL, "1.1234567"), kItemCurrency), "refused");
    // Integers and doubles go the other way.
    HostItemValue i;
    i.type = HV_INT32;
    i.integer = -40000;
    EXPECT_EQ(convert(i, kItemInt16), "refused");
    EXPECT_EQ(convert(i, kItemDecimal), "6:-40000");
    HostItemValue r;
    r.type = HV_REAL;
    r.real = 0.1;
    EXPECT_EQ(convert(r, kItemDecimal), "6:0.1");
    r.real = 1e300;
    EXPECT_EQ(convert(r, kItemInt64), "refused");
}

TEST(ValueConversion, TextDatesAndTruthValues) {
    // Text ends at its first byte 0 and keeps at most the item's size.
    EXPECT_EQ(convert(form(HV_TEXT, std::string("ab\0cd", 5)), kItemText, 10), "19:ab");
    EXPECT_EQ(convert(form(HV_TEXT, "abcdef"), kItemText, 4), "19:abcd");
    EXPECT_EQ(convert(form(HV_TEXT, "abcdef"), kItemTextMemo, 4), "19:abcdef");
    // Dates: calendar dates only; blanks are no date.
    EXPECT_EQ(convert(form(HV_TEXT, "20000229"), kItemDate), "10:20000229");
    EXPECT_EQ(convert(form(HV_TEXT, "19000229"), kItemDate), "refused");
    EXPECT_EQ(convert(form(HV_TEXT, "2000-1-1"), kItemDate), "refused");
    EXPECT_EQ(convert(form(HV_TEXT, "        "), kItemDate), "null");
    EXPECT_EQ(convert(form(HV_DATETIME, "20240131235959123"), kItemDate), "10:20240131");
    EXPECT_EQ(convert(form(HV_TEXT, "20240131"), kItemDateTime), "11:20240131000000000");
    EXPECT_EQ(convert(form(HV_TEXT, "2024013123"), kItemDateTime), "refused");
    // Truth values from their letters.
    EXPECT_EQ(convert(form(HV_TEXT, "T"), kItemBoolean), "bool:1");
    EXPECT_EQ(convert(form(HV_TEXT, "n"), kItemBoolean), "bool:0");
    EXPECT_EQ(convert(form(HV_TEXT, " "), kItemBoolean), "null");
    EXPECT_EQ(convert(form(HV_TEXT, "X"), kItemBoolean), "refused");
    // Bytes stay bytes; a text is no date-time item's value.
    EXPECT_EQ(convert(form(HV_BYTES, std::string("\x01\0\x02", 3)), kItemBinary), std::string("128:\x01\0\x02", 7));
    EXPECT_EQ(convert(form(HV_BYTES, "x"), kItemDate), "refused");
}

}  // namespace
