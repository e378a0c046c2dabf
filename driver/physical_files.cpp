// Shared records of data files (see physical_files.h). Guarded by the driver lock.

#include "driver/physical_files.h"

#include <map>
#include <memory>

#include "driver/paths.h"

namespace {

std::map<std::string, std::unique_ptr<PhysicalFile>>& records() {
    static std::map<std::string, std::unique_ptr<PhysicalFile>> all;
    return all;
}

// One key per file whatever path names it.
std::string key_of(const std::string& path) { return path_identity(path); }

}  // namespace

PhysicalFile* physical_file_take(const std::string& path) {
    std::string key = key_of(path);
    auto& all = records();
    auto it = all.find(key);
    if (it == all.end()) {
        auto record = std::make_unique<PhysicalFile>();
        record->key = key;
        it = all.emplace(key, std::move(record)).first;
    }
    it->second->users++;
    return it->second.get();
}

void physical_file_give_back(PhysicalFile* file) {
    if (!file || --file->users > 0) return;
    records().erase(file->key);
}
