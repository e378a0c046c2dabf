#pragma once
// File paths on the driver's side. Names between the host's UTF-16 text and the
// 8-bit names the engine opens are framework/system_names.h's.

#include <filesystem>
#include <string>

#include "framework/system_names.h"

// The same names for the file-system library (directory listings, directory
// tests): an 8-bit name as a path of it, and an entry's name as the host's text.
std::filesystem::path filesystem_path(const std::string& system_name);
std::u16string wide_name_of(const std::filesystem::path& path);

// Names compare as Windows compares them: where the system's names have a case and
// `path` names no file, the one file of its directory whose name differs from it
// only in the case of ASCII letters (PEOPLE.DBF for people.dbf), else `path` as
// given.
std::string path_matching_case(const std::string& path);
// One spelling per file, whatever path names it: absolute, links and dot segments
// resolved; on Windows also the system's separators and one case (its file names
// ignore case).
std::string path_identity(const std::string& path);

// Names (of items, tables, connections) compare as the host compares them: ASCII
// letters in either case.
bool same_name_ignoring_case(const std::u16string& a, const std::u16string& b);

// The parts of a file path, with the separators of either system ('/', '\\', ':'),
// for 8-bit and UTF-16 paths alike. The extension is what follows the last dot of
// the file name, unless that dot starts the name.
template <class S>
size_t path_name_start(const S& path) {
    for (size_t i = path.size(); i > 0; i--)
        if (path[i - 1] == '/' || path[i - 1] == '\\' || path[i - 1] == ':') return i;
    return 0;
}
template <class S>
size_t path_extension_start(const S& path) {  // the dot, or path.size()
    size_t start = path_name_start(path);
    for (size_t i = path.size(); i > start + 1; i--)
        if (path[i - 1] == '.') return i - 1;
    return path.size();
}
template <class S>
S path_directory(const S& path) {  // up to and including the last separator
    return path.substr(0, path_name_start(path));
}
template <class S>
S path_without_extension(const S& path) {
    return path.substr(0, path_extension_start(path));
}
template <class S>
S path_stem(const S& path) {  // the file name without its extension
    size_t start = path_name_start(path);
    return path.substr(start, path_extension_start(path) - start);
}
template <class S>
S path_extension(const S& path) {  // with its dot, or empty
    return path.substr(path_extension_start(path));
}
