#pragma once
// File names between the host's UTF-16 text and the 8-bit names the engine gives
// the system's file calls. On Windows these calls are the ANSI ones (CreateFileA
// and its kind), so names are in the system's ANSI code page. Elsewhere names are
// bytes, usually UTF-8 but not always: a byte that is not part of valid UTF-8 is
// carried as the lone surrogate U+DC80 + byte and given back as that byte, so
// that every name the directory holds lists and opens again exactly.

#include <string>

std::u16string system_name_to_wide(const std::string& name);
// A character the ANSI code page cannot hold becomes '?', which no Windows file
// name may hold: such a name reaches no file at all rather than another file
// (the system's "best fit" look-alikes are not taken).
std::string system_name_from_wide(const std::u16string& name);

// One case for names the system does not tell apart by case: on Windows every
// letter upper-cased as its file names compare (é and É name one file); elsewhere
// the name as it is, since case makes another file there.
std::string system_name_one_case(const std::string& name);
