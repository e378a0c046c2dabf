#pragma once
// Index files by name: the index type an extension stands for, and the path an
// index name given by the host resolves to beside a table.

#include <string>

// Index type codes the driver hands to the index layer.
enum IndexTypeCode : int {
    kIndexNdx = 1,
    kIndexMdx = 2,
    kIndexIdx = 3,
    kIndexNtx = 5,
    kIndexCdx = 10,
    kIndexUnsupported = 11,
};

// By the extension, in any case: .ndx, .mdx, .ntx, .idx, .cdx; anything else, or
// no name, is unsupported.
int index_type_of_path(const std::string& path);

// The name's directory, or else the table's; the name's extension, or else
// ".ndx". `table_path` is the data file's path.
std::string index_path_from_name(const std::string& name, const std::string& table_path);
