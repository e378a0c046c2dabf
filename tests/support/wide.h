#pragma once
// The host's strings are UTF-16; the tests write theirs in UTF-8.

#include <string>

#include "framework/codepage.h"

inline std::u16string w(const std::string& s) { return utf8_to_wide(s); }
inline std::string u8(const char16_t* s) { return s ? wide_to_utf8(s) : std::string(); }
