// Index files a file tool's write would leave stale (see index_guard.h).

#include "host/index_guard.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/index_owner.h"
#include "host/cli.h"

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

}  // namespace

bool is_index_file_name(const std::string& name) {
    const std::string ext = lower(fs::path(name).extension().string());
    return ext.size() == 4 && ext[3] == 'x' && index_type_of_file(name.c_str()) != 11;
}

std::vector<std::string> index_files_of_table(const std::string& dbf_path, int16_t handle) {
    std::vector<std::string> found;
    const fs::path table(dbf_path);
    const std::string stem = lower(table.stem().string());
    DbfHeaderInfo info{};
    xdb_set_status(XD_OK);
    dbf_header_info(handle, &info);
    xdb_set_status(XD_OK);
    std::error_code ec;
    fs::path dir = table.parent_path().empty() ? fs::path(".") : table.parent_path();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string name = it->path().filename().string();
        if (!is_index_file_name(name)) continue;
        const bool production = info.mdx_flag == 1 && lower(it->path().stem().string()) == stem;
        IndexOwnerVerdict verdict;
        xdb_set_status(XD_OK);
        // A file whose table cannot be told is counted in: a write must not risk it.
        if (IndexJudgeOwner(handle, (dir / name).string().c_str(), production, &verdict) >= 0 &&
            verdict.ownership != INDEX_FOREIGN)
            found.push_back((dir / name).string());
        xdb_set_status(XD_OK);
    }
    std::sort(found.begin(), found.end());
    return found;
}

int refuse_stale_indexes(const std::string& dbf_path, int16_t handle, bool ignore, const std::string& what) {
    if (ignore) return 0;
    std::vector<std::string> files = index_files_of_table(dbf_path, handle);
    if (files.empty()) return 0;
    fprintf(stderr, "qxdb: %s would leave these index files of %s stale:\n", what.c_str(), dbf_path.c_str());
    for (const std::string& f : files) fprintf(stderr, "  %s\n", f.c_str());
    fputs("qxdb: nothing was written. Through the library the indexes are kept in step (qxdb add, qxdb delete\n"
          "      DIR TABLE, qxdb compact); --ignore-indexes writes anyway (qxdb reindex builds the indexes again after).\n",
          stderr);
    return kExitFailed;
}
