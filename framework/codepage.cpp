#include "framework/codepage.h"

#include "framework/codepage_tables.h"

namespace {

const uint16_t* upper_half_of(int code_page) {
    for (int i = 0; i < kSingleByteCodePageCount; i++)
        if (kSingleByteCodePages[i].code_page == code_page) return kSingleByteCodePages[i].upper;
    return nullptr;
}

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += (char)c;
    } else if (c < 0x800) {
        out += (char)(0xC0 | c >> 6);
        out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += (char)(0xE0 | c >> 12);
        out += (char)(0x80 | (c >> 6 & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    } else {
        out += (char)(0xF0 | c >> 18);
        out += (char)(0x80 | (c >> 12 & 0x3F));
        out += (char)(0x80 | (c >> 6 & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    }
}

}  // namespace

int codepage_of_language_driver(uint8_t b) {
    switch (b) {
    case 0x01: case 0x09: case 0x0B: case 0x0D: case 0x0F: case 0x11: case 0x15: case 0x18: case 0x19:
    case 0x1B: return 437;
    case 0x02: case 0x0A: case 0x0E: case 0x10: case 0x12: case 0x14: case 0x16: case 0x1A: case 0x1D:
    case 0x25: case 0x37: return 850;
    case 0x03: case 0x57: case 0x58: case 0x59: return 1252;
    case 0x04: return 10000;
    case 0x08: case 0x17: case 0x66: return 865;
    case 0x13: case 0x7B: return 932;
    case 0x1C: case 0x6C: return 863;
    case 0x1F: case 0x22: case 0x23: case 0x40: case 0x64: case 0x87: return 852;
    case 0x24: return 860;
    case 0x26: case 0x65: return 866;
    case 0x4D: case 0x7A: return 936;
    case 0x4E: case 0x79: return 949;
    case 0x4F: case 0x78: return 950;
    case 0x50: case 0x7C: return 874;
    case 0x67: return 861;
    case 0x6A: case 0x86: return 737;
    case 0x6B: case 0x88: return 857;
    case 0x7D: return 1255;
    case 0x7E: return 1256;
    case 0x96: return 10007;
    case 0x97: return 10029;
    case 0x98: return 10006;
    case 0xC8: return 1250;
    case 0xC9: return 1251;
    case 0xCA: return 1254;
    case 0xCB: return 1253;
    case 0xCC: return 1257;
    default: return 0;
    }
}

bool codepage_supported(int code_page) { return code_page == 936 || upper_half_of(code_page) != nullptr; }

std::u16string codepage_to_wide(int code_page, const char* text, size_t length) {
    std::u16string out;
    out.reserve(length);
    const unsigned char* p = (const unsigned char*)text;
    if (code_page == 936) {
        for (size_t i = 0; i < length; i++) {
            unsigned char c = p[i];
            if (c < 0x80) {
                out += (char16_t)c;
            } else if (c >= 0x81 && c <= 0xFE && i + 1 < length && p[i + 1] >= 0x40 && p[i + 1] <= 0xFE &&
                       kGbkTable[(c - 0x81) * 191 + (p[i + 1] - 0x40)]) {
                out += (char16_t)kGbkTable[(c - 0x81) * 191 + (p[i + 1] - 0x40)];
                i++;
            } else {
                out += u'\uFFFD';
            }
        }
        return out;
    }
    const uint16_t* upper = upper_half_of(code_page);
    if (!upper) upper = upper_half_of(850);
    for (size_t i = 0; i < length; i++) out += (char16_t)(p[i] < 0x80 ? p[i] : upper[p[i] - 0x80]);
    return out;
}

std::string wide_to_utf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::string codepage_to_utf8(int code_page, const char* text, size_t length) {
    if (code_page != 936) {
        // The common case: one byte, one character; skip the UTF-16 detour.
        const uint16_t* upper = upper_half_of(code_page);
        if (!upper) upper = upper_half_of(850);
        std::string out;
        out.reserve(length);
        const unsigned char* p = (const unsigned char*)text;
        for (size_t i = 0; i < length; i++) append_utf8(out, p[i] < 0x80 ? p[i] : upper[p[i] - 0x80]);
        return out;
    }
    return wide_to_utf8(codepage_to_wide(code_page, text, length));
}

std::u16string utf8_to_wide(const std::string& text) {
    std::u16string out;
    const unsigned char* p = (const unsigned char*)text.data();
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        uint32_t c = p[i];
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + (size_t)extra >= n + (extra ? 0 : 1)) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        c = extra == 0 ? c : extra == 1 ? c & 0x1F : extra == 2 ? c & 0x0F : c & 0x07;
        bool bad = false;
        for (int k = 1; k <= extra; k++) {
            if (i + (size_t)k >= n || (p[i + k] & 0xC0) != 0x80) {
                bad = true;
                break;
            }
            c = c << 6 | (p[i + k] & 0x3F);
        }
        if (bad) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        i += (size_t)extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += (char16_t)(0xD800 + (c >> 10));
            out += (char16_t)(0xDC00 + (c & 0x3FF));
        } else {
            out += (char16_t)c;
        }
    }
    return out;
}
