#include "engine/memo/memo_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/core/dbf.h"

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

XDSTATUS memo_rebuild(int16_t data_handle, int16_t* memo_handle, const MemoFormat& f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!memo_handle) return xdb_report(XD_NULLPARAM);
    void* block;
    if ((s = xdb_select(*memo_handle, f.kind, &block))) return s;
    MemoFile* old = (MemoFile*)block;
    if (old->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if ((s = dbf_lock_file(data_handle, 2))) return s;

    std::string dir, base, path = old->name;
    memo_split_path(old->name, &dir, &base);
    size_t dot = base.rfind('.');
    std::string backup = dir + (dot == std::string::npos ? base : base.substr(0, dot)) + ".BKT";
    std::string temp;
    for (int k = 0;; k++) {
        temp = dir + std::to_string(k) + f.temp_extension;
        if (!xdb_fexists(temp.c_str())) break;
    }
    uint8_t dialect = old->dialect;
    int16_t fresh = -1;
    s = f.create_like(old, temp.c_str());
    if (s == XD_OK) s = f.open(&fresh, temp.c_str(), dialect);

    // Copy the memos of the live records, giving each its new block.
    uint32_t count = 0;
    uint16_t field_count = 0, largest = 0;
    std::vector<DbfFieldInfo> fields;
    if (s == XD_OK) s = dbf_record_count(data_handle, &count);
    if (s == XD_OK) s = dbf_field_count(data_handle, &field_count);
    if (s == XD_OK) {
        fields.resize(field_count);
        s = dbf_describe_fields(data_handle, &largest, fields.data());
    }
    for (uint32_t n = 1; s >= 0 && n <= count; n++) {
        XDSTATUS r = dbf_read_record(data_handle, n);
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
            if ((s = dbf_get_field(data_handle, i, &from, nullptr)) < 0 || from == 0) continue;
            const char* text;
            uint32_t length;
            if ((s = f.read(*memo_handle, from, &text, &length)) < 0) break;
            if ((s = f.append(fresh, text, length, &to)) < 0) break;
            if ((s = dbf_put_field(data_handle, i, &to)) < 0) break;
            changed = true;
        }
        if (s >= 0 && changed) {
            uint32_t at = n;
            s = dbf_write_record(data_handle, &at, DBF_WRITE_REWRITE);
        }
    }
    XDSTATUS copy = s;
    xdb_set_status(XD_OK);
    dbf_unlock_file(data_handle, 2);
    xdb_set_status(XD_OK);
    if (copy < 0) {
        // The old memo file stays as it was; the new one goes.
        if (fresh >= 0) f.close(fresh);
        xdb_set_status(XD_OK);
        xdb_fdelete(temp.c_str());
        return xdb_report(copy);
    }
    xdb_fdelete(backup.c_str());  // usually none: status 4
    xdb_set_status(XD_OK);
    dbf_mark_changed(data_handle);
    if ((s = f.close(fresh)) < 0) return s;
    if ((s = f.close(*memo_handle)) < 0) return s;
    *memo_handle = -1;
    if ((s = xdb_frename(path.c_str(), backup.c_str()))) return s;
    if ((s = xdb_frename(temp.c_str(), path.c_str()))) return s;
    return f.open(memo_handle, path.c_str(), (uint16_t)(dialect | XDB_OPEN_SHARED));
}
