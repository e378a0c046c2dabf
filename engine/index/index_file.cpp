// An index file and its pages (see index_file.h).

#include "engine/index/index_file.h"

#include <cstring>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/os.h"
#include "engine/index/change_journal.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"

namespace {

// Pages cached per file, in bytes, whatever their size.
const size_t kCacheBytes = 32u << 20;

}  // namespace

XDSTATUS index_file_open(IndexFile* f, const char* name, uint16_t open_mode, uint32_t* size) {
    *f = IndexFile{};
    *size = 0;
    // A change a stop cut in two goes in first. One another program is writing
    // (its journal locked) is its own to finish: the open goes on.
    if (index_journal_recover(name, 0) < 0) xdb_set_status(XD_OK);
    XDSTATUS s = xdb_fopen(&f->sh, name, open_mode, &f->file_mode);
    if (s) return s;
    f->shared = (f->file_mode & XDB_FILE_SHARED) != 0;
    f->was_alone = !f->shared;
    size_t n = strlen(name);
    if ((s = xdb_fsize(f->sh, size)) == XD_OK && (s = xdb_alloc((void**)&f->name, n + 1)) == XD_OK)
        memcpy(f->name, name, n + 1);
    if (s) {
        xdb_fclose(f->sh);
        return s;
    }
    return XD_OK;
}

XDSTATUS index_file_set_pages(IndexFile* f, uint32_t size, uint32_t unit, uint32_t base) {
    if (size == 0 || unit == 0) return xdb_report(XD_CORRUPT);
    f->page_size = size;
    f->page_unit = unit;
    f->page_base = base;
    page_cache_free(f->cache);
    f->cache = page_cache_new(size, kCacheBytes / size);
    return f->cache ? XD_OK : xdb_report(XD_MEMERR);
}

void index_file_hold(IndexFile* f, int16_t data_handle) {
    if (!f->shared) return;
    dbf_on_whole_lock_end(index_journals_let_go);  // journals kept under a lock go with it
    f->hold_table = data_handle;
    f->hold_lock = data_handle >= 0 ? dbf_whole_lock(data_handle) : 0;
}

bool index_file_alone(IndexFile* f) {
    const bool alone = !f->shared || (f->hold_lock && dbf_whole_lock(f->hold_table) == f->hold_lock);
    if (alone != f->was_alone) {
        if (f->cache) page_cache_forget(f->cache);
        f->was_alone = alone;
        f->hold_began = alone;
    }
    return alone;
}

XDSTATUS index_file_close(IndexFile* f) {
    index_journal_release(f->name, &f->journal);
    XDSTATUS s = xdb_fclose(f->sh);
    xdb_free(f->name);
    f->name = nullptr;
    page_cache_free(f->cache);
    f->cache = nullptr;
    return s;
}

bool index_file_read_raw(IndexFile* f, uint32_t number, uint8_t* out) {
    return index_file_read_raw_bytes(f, index_page_offset(f, number), out, f->page_size);
}

bool index_file_read_raw_bytes(IndexFile* f, uint32_t offset, uint8_t* out, uint32_t count) {
    if (xdb_fread_at(f->sh, offset, out, count) != XD_OK) {
        xdb_set_status(XD_OK);
        return false;
    }
    return true;
}

void index_file_keep(IndexFile* f, uint32_t number, const uint8_t* page) { page_cache_put(f->cache, number, page); }

XDSTATUS index_file_write(IndexFile* f, BlockChanges& changes, uint32_t number, const uint8_t* bytes) {
    if (f->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if (changes.active) {
        changes.put(number, bytes, f->page_size);
        return XD_OK;
    }
    XDSTATUS s = xdb_fwrite_at(f->sh, index_page_offset(f, number), bytes, f->page_size, 1);
    if (s == XD_OK) page_cache_put(f->cache, number, bytes);
    else page_cache_forget(f->cache);
    return s;
}
