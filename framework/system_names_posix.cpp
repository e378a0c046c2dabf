#include "framework/system_names.h"

#include "framework/codepage.h"

std::u16string system_name_to_wide(const std::string& s) {
    std::u16string out;
    const unsigned char* p = (const unsigned char*)s.data();
    for (size_t i = 0; i < s.size();) {
        uint32_t c;
        size_t len = utf8_sequence(p + i, s.size() - i, &c);
        if (len == 0) {
            out += (char16_t)(0xDC00 + p[i]);  // p[i] >= 0x80 here: U+DC80..U+DCFF
            i++;
            continue;
        }
        append_utf16(out, c);
        i += len;
    }
    return out;
}

std::string system_name_from_wide(const std::u16string& w) {
    std::string out;
    for (size_t i = 0; i < w.size(); i++) {
        char16_t c = w[i];
        bool lone_low = c >= 0xDC80 && c <= 0xDCFF && (i == 0 || w[i - 1] < 0xD800 || w[i - 1] > 0xDBFF);
        if (lone_low) {
            out += (char)(c - 0xDC00);
            continue;
        }
        size_t len = c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() ? 2 : 1;
        out += wide_to_utf8(w.substr(i, len));
        i += len - 1;
    }
    return out;
}

std::string system_name_one_case(const std::string& name) { return name; }
