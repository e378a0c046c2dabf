#pragma once
// Host text and 8-bit text: the code page seam (MultiByteToWideChar on Windows;
// our own tables elsewhere). Covers the OEM and ANSI pages xBase files use and
// the double-byte page 936.

#include <cstddef>
#include <cstdint>
#include <string>

// The code page a DBF header's language-driver byte (offset 29) names, or 0 when
// it names none.
int codepage_of_language_driver(uint8_t byte);
// Whether text in `code_page` can be converted here.
bool codepage_supported(int code_page);
// 8-bit text to UTF-16 / UTF-8. A byte or pair the page leaves undefined becomes
// U+FFFD, or the private-use character Windows gives it where its tables give one
// (a pair that means nothing gives one U+FFFD and the second byte is read again).
// An unsupported page reads as code page 850.
std::u16string codepage_to_wide(int code_page, const char* text, size_t length);
std::string codepage_to_utf8(int code_page, const char* text, size_t length);
// UTF-16 / UTF-8 text to 8-bit text in `code_page`; a character the page lacks
// becomes '?'.
std::string codepage_from_wide(int code_page, const std::u16string& text);
std::string codepage_from_utf8(int code_page, const std::string& text);
// The same, counting the characters the page cannot hold (each became '?'; a NUL
// counts too, since stored text ends at it).
size_t codepage_from_utf8_counted(int code_page, const std::string& text, std::string* out);
// The well-formed UTF-8 sequence at p[0..n): its length, with the character in
// *code_point; 0 when the bytes there begin no character (overlong forms and
// surrogates included).
size_t utf8_sequence(const unsigned char* p, size_t n, uint32_t* code_point);
// Appends one character as UTF-16 (a surrogate pair above U+FFFF).
void append_utf16(std::u16string& out, uint32_t code_point);
// UTF-16 to UTF-8 and back.
std::string wide_to_utf8(const std::u16string& text);
std::u16string utf8_to_wide(const std::string& text);
