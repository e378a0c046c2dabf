#pragma once
// The host value layer: typed run-time values with the host's value type codes,
// and their conversions to the forms the engine's key makers take (8-bit text,
// double, 32-bit integer, date text).

#include <cstddef>
#include <cstdint>
#include <string>

// Host value type codes (a numbering of the host's own). 17, 18, 19, 21, 22, 23
// and 134 are single-byte text; 128 and 129 bytes.
enum HostValueCode : uint8_t {
    HV_NULL = 0,        // no value
    HV_INT32 = 1,
    HV_INT64 = 2,
    HV_REAL = 4,
    HV_CURRENCY = 5,    // decimal text, at most 6 decimals
    HV_DECIMAL = 6,     // decimal text
    HV_BOOLEAN = 8,
    HV_DATE = 10,       // yyyymmdd
    HV_DATETIME = 11,   // yyyymmddhhmmss, and milliseconds mmm when known
    HV_WIDE_TEXT = 16,
    HV_TEXT = 19,
    HV_BYTES = 128,
};

inline bool host_value_single_byte_text(uint8_t c) {
    return c == 17 || c == 18 || c == 19 || c == 21 || c == 22 || c == 23 || c == 134;
}

// A value between the library and an item of the host record: a host value type
// code (above) and the value in the form that code says. Text is
// in the host's 8-bit (ANSI) character set. Decimal amounts travel as text
// ("-1234.5678") so that no digit is lost on the way.
struct HostItemValue {
    uint8_t type = 0;             // HV_NULL: the item holds no value
    int64_t integer = 0;          // HV_INT32, HV_INT64, HV_BOOLEAN (0 or 1)
    double real = 0;              // HV_REAL
    const char* bytes = nullptr;  // HV_TEXT, HV_BYTES, HV_DATE ("yyyymmdd"), HV_DATETIME
                                  // ("yyyymmddhhmmssmmm"), HV_CURRENCY and HV_DECIMAL (digits)
    uint32_t length = 0;          // bytes at `bytes`
};

// Host values of the three kinds: bytes (text, dates, decimals), an integer, a double.
inline HostItemValue host_bytes_value(uint8_t type, const char* bytes, size_t length) {
    HostItemValue v;
    v.type = type;
    v.bytes = bytes;
    v.length = (uint32_t)length;
    return v;
}
inline HostItemValue host_integer_value(uint8_t type, int64_t i) {
    HostItemValue v;
    v.type = type;
    v.integer = i;
    return v;
}
inline HostItemValue host_real_value(double d) {
    HostItemValue v;
    v.type = HV_REAL;
    v.real = d;
    return v;
}

struct FxValue {
    uint8_t type = HV_TEXT;
    double real = 0;
    int64_t integer = 0;
    std::string text;  // single-byte text (or the UTF-8 of wide text)

    static FxValue Text(const std::string& t);
    static FxValue Real(double v);
    static FxValue Integer(int64_t v);
    static FxValue Date(const std::string& yyyymmdd);

    std::string ToText() const;
    double ToDouble() const;
    int32_t ToInt32() const;
    // Date text: a date value's own text, else the text form.
    std::string ToDateText() const;
};
