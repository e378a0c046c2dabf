// Index files by name (see index_names.h).

#include "driver/index_names.h"

#include <strings.h>

namespace {

// Where the file name starts: after the last separator of either system.
size_t name_start(const std::string& path) {
    size_t cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? 0 : cut + 1;
}

// The extension with its dot, or "" (a leading dot is part of the name).
std::string extension(const std::string& path) {
    size_t start = name_start(path), dot = path.rfind('.');
    if (dot == std::string::npos || dot <= start) return "";
    return path.substr(dot);
}

}  // namespace

int index_type_of_path(const std::string& path) {
    std::string ext = extension(path);
    if (!strcasecmp(ext.c_str(), ".ndx")) return kIndexNdx;
    if (!strcasecmp(ext.c_str(), ".mdx")) return kIndexMdx;
    if (!strcasecmp(ext.c_str(), ".ntx")) return kIndexNtx;
    if (!strcasecmp(ext.c_str(), ".idx")) return kIndexIdx;
    if (!strcasecmp(ext.c_str(), ".cdx")) return kIndexCdx;
    return kIndexUnsupported;
}

std::string index_path_from_name(const std::string& name, const std::string& table_path) {
    std::string path = name_start(name) > 0 ? name : table_path.substr(0, name_start(table_path)) + name;
    if (extension(path).empty()) path += ".ndx";
    return path;
}
