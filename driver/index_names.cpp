// Index files by name (see index_names.h).

#include "driver/index_names.h"


#include "driver/paths.h"
#include "engine/index/index.h"


int index_type_of_path(const std::string& path) {
    std::string ext = path_extension(path);
    return ext.empty() ? kIndexUnsupported : (int)index_type_of_file(ext.c_str());
}

std::string index_path_from_name(const std::string& name, const std::string& table_path) {
    std::string path = path_name_start(name) > 0 ? name : path_directory(table_path) + name;
    if (path_extension(path).empty()) path += ".ndx";
    return path;
}
