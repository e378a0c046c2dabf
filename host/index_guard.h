#pragma once
// The file tools that change a table through the engine alone (append, delete
// --raw, recall, pack) leave the table's index files as they were, so stale. They
// look for such files first and refuse, naming them, unless the user says to go on.

#include <string>
#include <vector>

// Whether a file's name is an index file's (.ndx, .ntx, .mdx, .idx, .cdx, any case).
bool is_index_file_name(const std::string& name);

// The index files beside `dbf_path` that belong to the open table `handle` (see
// engine/index/index_owner.h), and those whose table cannot be told.
std::vector<std::string> index_files_of_table(const std::string& dbf_path, int16_t handle);

// 0 when the write may go on (no such files, or `ignore`); else prints why on
// standard error (`what` names the command) and answers the exit status 1.
int refuse_stale_indexes(const std::string& dbf_path, int16_t handle, bool ignore, const std::string& what);
