// Index files by name (see index_names.h).

#include "driver/index_names.h"

#include <strings.h>

#include "driver/paths.h"


int index_type_of_path(const std::string& path) {
    std::string ext = path_extension(path);
    if (!strcasecmp(ext.c_str(), ".ndx")) return kIndexNdx;
    if (!strcasecmp(ext.c_str(), ".mdx")) return kIndexMdx;
    if (!strcasecmp(ext.c_str(), ".ntx")) return kIndexNtx;
    if (!strcasecmp(ext.c_str(), ".idx")) return kIndexIdx;
    if (!strcasecmp(ext.c_str(), ".cdx")) return kIndexCdx;
    return kIndexUnsupported;
}

std::string index_path_from_name(const std::string& name, const std::string& table_path) {
    std::string path = path_name_start(name) > 0 ? name : path_directory(table_path) + name;
    if (path_extension(path).empty()) path += ".ndx";
    return path;
}
