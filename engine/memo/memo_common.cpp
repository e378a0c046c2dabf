#include "engine/memo/memo_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/file_switch.h"
#include "engine/core/os.h"
#include "engine/memo/memo.h"

namespace {

std::vector<char> g_read_buffer;

}  // namespace

char* memo_read_buffer(size_t size) {
    if (g_read_buffer.size() < size) g_read_buffer.resize(size);
    return g_read_buffer.data();
}

XDSTATUS memo_open(int16_t* handle, const char* name, uint16_t open_mode, uint8_t kind, XdbCloseFn closer,
                   MemoHeaderCheck check) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    xdb_register_closer(kind, closer);
    void* block;
    if ((s = xdb_alloc_slot(kind, handle, &block))) return s;
    MemoFile* m = (MemoFile*)block;
    open_mode = xdb_expand_open_mode(open_mode);
    if ((s = xdb_fopen(&m->sh, name, open_mode, &m->file_mode))) {
        xdb_release_slot(*handle);
        *handle = -1;
        return s;
    }
    m->commit = 1;
    m->dialect = (uint8_t)(open_mode & 0xFF);
    s = check(m);
    if (s == XD_OK) {
        size_t n = strlen(name);
        if ((s = xdb_alloc((void**)&m->name, n + 1)) == XD_OK) memcpy(m->name, name, n + 1);
    }
    if (s != XD_OK) {
        xdb_report(s);
        xdb_fclose(m->sh);
        xdb_set_status(s);
        xdb_free(m->name);
        xdb_release_slot(*handle);
        *handle = -1;
        return s;
    }
    return xdb_status();
}

XDSTATUS memo_close(int16_t handle, uint8_t kind) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, kind, &m);
    if (s) return s;
    s = xdb_fclose(m->sh);
    xdb_free(m->name);
    xdb_release_slot(handle);
    return s ? s : xdb_status();
}

XDSTATUS memo_block_size(int16_t handle, uint8_t kind, uint32_t* size) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, kind, &m);
    if (s) return s;
    if (!size) return xdb_report(XD_NULLPARAM);
    *size = m->block_size;
    return xdb_status();
}

void memo_split_path(const char* path, std::string* dir, std::string* base) {
    const char* cut = path;
    for (const char* p = path; *p; p++)
        if (*p == ':' || *p == '\\' || *p == '/') cut = p + 1;
    dir->assign(path, (size_t)(cut - path));
    base->assign(cut);
}

XDSTATUS memo_describe(int16_t handle, const char** name, uint8_t* dialect) {
    const uint8_t kind = xdb_slot_kind(handle);
    if (kind != XDB_KIND_DBT && kind != XDB_KIND_FPT) return xdb_report(XD_BADHANDLE);
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, kind, &m);
    if (s) return s;
    if (!name || !dialect) return xdb_report(XD_NULLPARAM);
    *name = m->name;
    *dialect = m->dialect;
    return xdb_status();
}

std::string memo_backup_name(const char* memo_path) {
    std::string dir, base;
    memo_split_path(memo_path, &dir, &base);
    size_t dot = base.rfind('.');
    return dir + (dot == std::string::npos ? base : base.substr(0, dot)) + ".BKT";
}

XDSTATUS memo_rebuild_into(int16_t table, int16_t memo_handle, const MemoFormat& f, const char* temp) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!temp) return xdb_report(XD_NULLPARAM);
    void* block;
    if ((s = xdb_select(memo_handle, f.kind, &block))) return s;
    MemoFile* old = (MemoFile*)block;
    int16_t fresh = -1;
    s = f.create_like(old, temp);
    if (s == XD_OK) s = f.open(&fresh, temp, old->dialect);
    // Copy the memos of the live records, giving each its new block in the table.
    uint32_t count = 0;
    uint16_t field_count = 0, largest = 0;
    std::vector<DbfFieldInfo> fields;
    if (s == XD_OK) s = dbf_record_count(table, &count);
    if (s == XD_OK) s = dbf_field_count(table, &field_count);
    if (s == XD_OK) {
        fields.resize(field_count);
        s = dbf_describe_fields(table, &largest, fields.data());
    }
    for (uint32_t n = 1; s >= 0 && n <= count; n++) {
        XDSTATUS r = dbf_read_record(table, n);
        if (r < 0) {
            s = r;
            break;
        }
        xdb_set_status(XD_OK);
        if (r == XD_DELETEDREC) continue;
        bool changed = false;
        for (int16_t i = 0; s >= 0 && i < (int16_t)field_count; i++) {
            if (fields[(size_t)i].type != 'M') continue;
            uint32_t from = 0, to = 0;
            if ((s = dbf_get_field(table, i, &from, nullptr)) < 0 || from == 0) continue;
            const char* text;
            uint32_t length;
            if ((s = f.read(memo_handle, from, &text, &length)) < 0) break;
            if ((s = f.append(fresh, text, length, &to)) < 0) break;
            if ((s = dbf_put_field(table, i, &to)) < 0) break;
            changed = true;
        }
        if (s >= 0 && changed) {
            uint32_t at = n;
            s = dbf_write_record(table, &at, DBF_WRITE_REWRITE);
        }
    }
    // The table's header is marked changed (its update date is stamped), and the
    // new memo file goes to the disk whole before it takes any name.
    if (s >= 0) s = dbf_mark_changed(table);
    if (fresh >= 0) {
        xdb_set_status(XD_OK);
        XDSTATUS c = f.close(fresh);
        if (s >= 0 && c < 0) s = c;
    }
    if (s < 0) {
        XDSTATUS failure = s;
        xdb_set_status(XD_OK);
        xdb_fdelete(temp);
        xdb_set_status(XD_OK);
        return xdb_report(failure);
    }
    return xdb_status();
}

// The rebuild. The rules rewrite the table's memo fields in place and swap the memo
// files afterwards, so that a stop in between leaves records pointing into the
// wrong file. Here nothing the table's name holds changes until both new files are
// complete: the records with their new memo block numbers go to a copy of the
// table, the memos to a new memo file. Then the memo file takes its name (the old
// one kept as the backup ".BKT") and the table copy the table's, as one switch
// under a mark (file_switch.h): a stop between the two renames is finished by the
// table's next open, so the pair is always both old or both new. The bytes left
// at the end are the rules' bytes.
XDSTATUS memo_rebuild(int16_t data_handle, int16_t* memo_handle, const MemoFormat& f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!memo_handle) return xdb_report(XD_NULLPARAM);
    void* block;
    if ((s = xdb_select(*memo_handle, f.kind, &block))) return s;
    MemoFile* old = (MemoFile*)block;
    if (old->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    // Both files are replaced under their names: a handle elsewhere would go on
    // with the old ones and lose what it writes.
    int data_elsewhere = 0;
    if ((s = dbf_open_elsewhere(data_handle, &data_elsewhere))) return s;
    if (data_elsewhere || osl_open_elsewhere(old->sh)) return xdb_report(XD_ACCESSDENIED);
    const char* data_name = nullptr;
    if ((s = dbf_file_name(data_handle, &data_name))) return s;
    DbfHeaderInfo info;
    if ((s = dbf_header_info(data_handle, &info))) return s;
    if ((s = dbf_lock_file(data_handle, 2))) return s;

    std::string dir, base, path = old->name, backup = memo_backup_name(old->name);
    memo_split_path(old->name, &dir, &base);
    std::string temp = xdb_free_temp_name(dir, f.temp_extension);
    std::string data_dir, data_base;
    memo_split_path(data_name, &data_dir, &data_base);
    std::string temp_data = xdb_free_temp_name(data_dir, ".DBF");
    uint8_t dialect = old->dialect;
    int16_t copy = -1;
    s = dbf_copy_file(data_handle, temp_data.c_str());
    if (s == XD_OK) s = dbf_open(&copy, temp_data.c_str(), (uint16_t)(info.dialect & 0x7F));
    if (s == XD_OK) s = memo_rebuild_into(copy, *memo_handle, f, temp.c_str());
    if (copy >= 0) {
        xdb_set_status(XD_OK);  // a pending failure would keep the close from closing
        XDSTATUS c = dbf_close(copy);
        if (s >= 0 && c < 0) s = c;
    }
    XDSTATUS built = s;
    xdb_set_status(XD_OK);
    dbf_unlock_file(data_handle, 2);
    xdb_set_status(XD_OK);
    if (built < 0) {
        // The old pair stays as it was; the new files go.
        xdb_fdelete(temp.c_str());
        xdb_set_status(XD_OK);
        xdb_fdelete(temp_data.c_str());
        xdb_set_status(XD_OK);
        return xdb_report(built);
    }
    XdbSwitchStep memo_step{temp, path, backup};
    std::string mark = xdb_switch_mark_name(data_name);  // the name goes if the handle does
    XDSTATUS switched = f.close(*memo_handle);
    if (switched >= 0) {
        *memo_handle = -1;
        switched = dbf_switch_files(data_handle, temp_data.c_str(), &memo_step, 1);
    }
    xdb_set_status(XD_OK);
    if (switched < 0 && !xdb_fexists(mark.c_str())) {
        // Refused or undone whole: the new files go. (A mark left behind keeps
        // them for the next open, which finishes the switch.)
        for (const std::string* name : {&temp, &temp_data})
            if (xdb_fexists(name->c_str())) xdb_fdelete(name->c_str());
        xdb_set_status(XD_OK);
    }
    if (*memo_handle < 0) s = f.open(memo_handle, path.c_str(), (uint16_t)(dialect | XDB_OPEN_SHARED));
    if (switched < 0) return xdb_report(switched);
    return s;
}
