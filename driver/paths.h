#pragma once
// File names between the host's UTF-16 text and the system's names. On Windows the
// system's names are UTF-16 already. Elsewhere they are bytes, usually UTF-8 but
// not always: a byte that is not part of valid UTF-8 is carried as the lone
// surrogate U+DC80 + byte and given back as that byte, so that every name the
// directory holds lists and opens again exactly.

#include <string>

std::u16string path_to_wide(const std::string& system_name);
std::string path_from_wide(const std::u16string& name);

// Names compare as Windows compares them: where the system's names have a case and
// `path` names no file, the one file of its directory whose name differs from it
// only in the case of ASCII letters (PEOPLE.DBF for people.dbf), else `path` as
// given.
std::string path_matching_case(const std::string& path);

// Names (of items, tables, connections) compare as the host compares them: ASCII
// letters in either case.
bool same_name_ignoring_case(const std::u16string& a, const std::u16string& b);
