#include "driver/paths.h"

#include "framework/codepage.h"

std::u16string path_to_wide(const std::string& s) {
    std::u16string out;
    const unsigned char* p = (const unsigned char*)s.data();
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned c = p[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        unsigned cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            else cp = cp << 6 | (p[i + k] & 0x3F);
        }
        static const unsigned kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            out += (char16_t)(0xDC00 + c);  // c >= 0x80 here: U+DC80..U+DCFF
            i++;
            continue;
        }
        if (cp >= 0x10000) {
            out += (char16_t)(0xD800 + ((cp - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
        i += len;
    }
    return out;
}

std::string path_from_wide(const std::u16string& w) {
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
