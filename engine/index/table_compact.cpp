#include "engine/index/table_compact.h"

#include <set>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/file_switch.h"
#include "engine/index/index.h"
#include "engine/index/rebuild.h"
#include "engine/memo/memo.h"

namespace {

std::string directory_of(const std::string& path) {
    size_t cut = path.find_last_of(":\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string extension_of(const std::string& path) {
    size_t dot = path.rfind('.');
    return dot == std::string::npos || dot < directory_of(path).size() ? std::string() : path.substr(dot);
}

// A free name no other file of this compaction has taken either.
std::string reserve_name(const std::string& dir, const std::string& extension, std::set<std::string>* taken) {
    for (int k = 0;; k++) {
        std::string name = dir + std::to_string(k) + extension;
        if (!xdb_fexists(name.c_str()) && taken->insert(name).second) return name;
    }
}

void delete_if_there(const std::string& name) {
    if (!name.empty() && xdb_fexists(name.c_str())) xdb_fdelete(name.c_str());
    xdb_set_status(XD_OK);
}

// The new files: the packed copy of the table, its memo file, the indexes.
XDSTATUS build_new_files(int16_t data, int16_t memo, int fpt, const CompactIndex* indexes, int count,
                         const std::string& temp_data, const std::string& temp_memo, std::vector<XdbSwitchStep>* built) {
    DbfHeaderInfo info;
    XDSTATUS s = dbf_header_info(data, &info);
    if (s == XD_OK) s = dbf_pack_copy(data, temp_data.c_str(), 1);
    if (s < 0) return s;
    int16_t copy = -1;
    if ((s = dbf_open(&copy, temp_data.c_str(), (uint16_t)(info.dialect & 0x7F))) < 0) return s;
    if (memo >= 0) s = fpt ? fpt_rebuild_into(copy, memo, temp_memo.c_str()) : dbt_rebuild_into(copy, memo, temp_memo.c_str());
    rebuild_defer_switches(built);
    for (int i = 0; s >= 0 && i < count; i++) {
        const CompactIndex& x = indexes[i];
        s = IndexRebuild(x.type, copy, x.path, x.expression, x.key_type, x.key_length, x.decimals, nullptr);
    }
    rebuild_defer_switches(nullptr);
    XDSTATUS failure = s;
    xdb_set_status(XD_OK);
    XDSTATUS c = dbf_close(copy);
    if (failure >= 0 && c < 0) failure = c;
    return failure;
}

}  // namespace

XDSTATUS table_compact(int16_t* data_handle, int16_t* memo_handle, int fpt, const CompactIndex* indexes, int count) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!data_handle || !memo_handle || (count > 0 && !indexes)) return xdb_report(XD_NULLPARAM);
    // Every file is replaced under its name: a handle elsewhere would go on with
    // the old one and lose what it writes.
    int elsewhere = 0;
    if ((s = dbf_open_elsewhere(*data_handle, &elsewhere))) return s;
    if (elsewhere) return xdb_report(XD_ACCESSDENIED);
    const char* name = nullptr;
    if ((s = dbf_file_name(*data_handle, &name))) return s;
    const std::string table = name, mark = xdb_switch_mark_name(name);
    std::string memo_path;
    uint8_t memo_dialect = 0;
    if (*memo_handle >= 0) {
        const char* m = nullptr;
        if ((s = memo_describe(*memo_handle, &m, &memo_dialect))) return s;
        memo_path = m;
    }
    // The lock keeps other writers out from the copy to the switch: what they
    // wrote in between would be lost with the old file.
    if ((s = dbf_lock_file(*data_handle, 2))) return s;
    std::set<std::string> taken;
    const std::string temp_data = reserve_name(directory_of(table), ".DBF", &taken);
    const std::string temp_memo =
        memo_path.empty() ? std::string() : reserve_name(directory_of(memo_path), fpt ? ".FPT" : ".DBT", &taken);
    std::vector<XdbSwitchStep> index_steps;
    s = build_new_files(*data_handle, *memo_handle, fpt, indexes, count, temp_data, temp_memo, &index_steps);
    auto drop_new_files = [&]() {
        delete_if_there(temp_data);
        delete_if_there(temp_memo);
        for (const XdbSwitchStep& st : index_steps) delete_if_there(st.source);
    };
    // Before the switch: the old files stay as they are, the new ones go.
    auto give_up = [&](XDSTATUS failure) {
        xdb_set_status(XD_OK);
        dbf_unlock_file(*data_handle, 2);
        drop_new_files();
        return xdb_report(failure);
    };
    if (s < 0) return give_up(s);
    // Every step before the table's keeps a backup, so that a failure can undo it.
    std::vector<XdbSwitchStep> steps;
    if (!memo_path.empty()) steps.push_back(XdbSwitchStep{temp_memo, memo_path, memo_backup_name(memo_path.c_str()), false});
    for (XdbSwitchStep st : index_steps) {
        st.backup = reserve_name(directory_of(st.target), extension_of(st.target), &taken);
        st.discard_backup = true;
        steps.push_back(st);
    }
    if (*memo_handle >= 0) {
        xdb_set_status(XD_OK);
        s = fpt ? fpt_close(*memo_handle) : dbt_close(*memo_handle);
        if (s < 0) return give_up(s);
        *memo_handle = -1;
    }
    xdb_set_status(XD_OK);
    XDSTATUS switched = dbf_switch_files(*data_handle, temp_data.c_str(), steps.data(), (int)steps.size());
    xdb_set_status(XD_OK);
    if (switched < 0) {
        // Refused or undone whole: the new files go. A mark left behind keeps
        // them for the next open, which finishes the switch.
        if (!xdb_fexists(mark.c_str())) drop_new_files();
        if (xdb_slot_kind(*data_handle) == XDB_KIND_DBF) dbf_unlock_file(*data_handle, 2);
        xdb_set_status(XD_OK);
    }
    if (!memo_path.empty()) {
        const uint16_t mode = (uint16_t)(memo_dialect | XDB_OPEN_SHARED);
        s = fpt ? fpt_open(memo_handle, memo_path.c_str(), mode) : dbt_open(memo_handle, memo_path.c_str(), mode);
        if (switched >= 0 && s < 0) return s;
        xdb_set_status(XD_OK);
    }
    if (switched < 0) return xdb_report(switched);
    return xdb_status();
}
