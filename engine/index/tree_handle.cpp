// A handle of a B-tree index file (see tree_handle.h).

#include "engine/index/tree_handle.h"

#include <cstring>

#include "engine/core/os.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"

XDSTATUS tree_open(int16_t* handle, TreeHandle** c, const char* name, uint16_t open_mode, uint8_t kind,
                   XdbCloseFn close, const TreeFormat* format, uint32_t* size) {
    int16_t h;
    void* block;
    XDSTATUS s = xdb_alloc_slot(kind, &h, &block);
    if (s) return s;
    xdb_register_closer(kind, close);
    TreeHandle* t = (TreeHandle*)block;
    if ((s = xdb_fopen(&t->sh, name, open_mode, &t->file_mode))) {
        xdb_release_slot(h);
        return s;
    }
    t->format = format;
    t->shared = (t->file_mode & XDB_FILE_SHARED) != 0;
    t->path.depth = -1;
    t->saved_depth = -1;
    *size = 0;
    s = xdb_fsize(t->sh, size);
    if (s == XD_OK) s = format->read_header(t, *size);
    if (s == XD_OK) {
        size_t n = strlen(name);
        if ((s = xdb_alloc((void**)&t->name, n + 1)) == XD_OK) memcpy(t->name, name, n + 1);
    }
    if (s == XD_OK && !(t->cache = page_cache_new(format->page_size, format->cached_pages))) s = XD_MEMERR;
    if (s != XD_OK) {
        xdb_report(s);
        xdb_fclose(t->sh);
        xdb_set_status(s);
        xdb_free(t->name);
        xdb_release_slot(h);
        return s;
    }
    *handle = h;
    *c = t;
    return XD_OK;
}

XDSTATUS tree_close(int16_t handle, TreeHandle* c) {
    XDSTATUS s = xdb_fclose(c->sh);
    xdb_free(c->name);
    page_cache_free(c->cache);
    xdb_release_slot(handle);
    return s;
}

XDSTATUS tree_read_page(TreeHandle* c, BlockChanges& changes, uint32_t number, uint8_t* out, TreePageCheck check) {
    const uint32_t size = c->format->page_size;
    if (changes.active) {
        if (ChangedBlock* changed = changes.find(number)) {
            memcpy(out, changed->bytes.data(), size);
            return XD_OK;
        }
    }
    if (const uint8_t* cached = page_cache_get(c->cache, number)) {
        memcpy(out, cached, size);
        return XD_OK;
    }
    XDSTATUS s = xdb_fread_at(c->sh, number * size, out, size);
    if (s) return s;
    if (check && !check(c, out)) return xdb_report(XD_CORRUPT);
    page_cache_put(c->cache, number, out);
    return XD_OK;
}

XDSTATUS tree_write_page(TreeHandle* c, BlockChanges& changes, uint32_t number, const uint8_t* bytes) {
    const uint32_t size = c->format->page_size;
    if (c->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if (changes.active) {
        changes.put(number, bytes, size);
        return XD_OK;
    }
    XDSTATUS s = xdb_fwrite_at(c->sh, number * size, bytes, size, 1);
    if (s == XD_OK) page_cache_put(c->cache, number, bytes);
    else page_cache_forget(c->cache);
    return s;
}

bool tree_begin_operation(TreeHandle* c) {
    c->trusted_now = page_cache_begin(c->cache, !c->shared, osl_write_generation(c->sh));
    c->path.depth = -1;
    return c->trusted_now;
}

void tree_header_changed(TreeHandle* c) { c->saved_depth = -1; }

void tree_end_operation(TreeHandle* c, XDSTATUS s, bool handed) {
    c->saved_depth = s >= 0 && handed ? c->path.depth : -1;
    if (s < 0) page_cache_forget(c->cache);
    else page_cache_end(c->cache, osl_write_generation(c->sh));
}
