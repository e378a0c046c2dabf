// Index files a file tool's write would leave stale (see index_guard.h).

#include "host/index_guard.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/index.h"
#include "host/cli.h"

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// Whether a single-key index file's key expression is one of this table's: it
// evaluates on the table's current record to a key of the index's type and length.
bool index_fits_table(const std::string& path, int16_t table) {
    const int32_t type = index_type_of_file(path.c_str());
    int16_t h = -1;
    xdb_set_status(XD_OK);
    if (IndexOpen(type, path.c_str(), 0x0100 | 0x0800, &h) < 0) {
        xdb_set_status(XD_OK);
        return false;
    }
    IndexDescription desc;
    bool described = IndexDescribe(type, h, &desc) >= 0;
    IndexClose(type, h);
    xdb_set_status(XD_OK);
    if (!described) return false;
    std::string expression = desc.key_expression;
    XdbKeyValue value{};
    // A word that names no field evaluates as text: the key's type and length tell
    // an expression of this table's fields from one of another table's. Keys kept
    // as text (NTX) hold numbers and dates too.
    const bool text_keys = type == 5 || type == 6;
    const int length = desc.key_type == 'C' ? desc.key_length - 1 : desc.key_length;
    bool fits = xdb_eval_key(table, &expression[0], 0, &value) >= 0 &&
                (value.type == 'C' ? desc.key_type == 'C' && value.length == length
                 : value.type == 'D' ? (text_keys ? length == 8 : desc.key_type != 'C')
                 : (value.type == 'N' || value.type == 'F') && (text_keys || desc.key_type != 'C'));
    xdb_set_status(XD_OK);
    return fits;
}

}  // namespace

std::vector<std::string> index_files_of_table(const std::string& dbf_path, int16_t handle) {
    std::vector<std::string> found;
    const fs::path table(dbf_path);
    const std::string stem = lower(table.stem().string());
    std::error_code ec;
    fs::path dir = table.parent_path().empty() ? fs::path(".") : table.parent_path();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string name = it->path().filename().string();
        const std::string ext = lower(it->path().extension().string());
        const std::string file_stem = lower(it->path().stem().string());
        bool belongs = false;
        if (ext == ".ndx" || ext == ".ntx") belongs = index_fits_table(it->path().string(), handle);
        else if (ext == ".mdx" || ext == ".cdx" || ext == ".idx")
            belongs = file_stem.compare(0, stem.size(), stem) == 0;
        if (belongs) found.push_back((dir / name).string());
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
          "      DIR TABLE, qxdb compact); --ignore-indexes writes anyway (qxdb reindex repairs an NDX or NTX after).\n",
          stderr);
    return kExitFailed;
}
