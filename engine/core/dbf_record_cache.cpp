// Records of a file opened exclusively, kept in pages between reads.
//
// A walk in key order reads records all over the file, one system call each. When
// the handle opened its file without sharing, nothing but this process can change
// it, and the OS layer's write generation says when this process did: pages of
// records read then stay valid until the generation moves, and a read of a record
// in a kept page costs a copy. Pages are 4 KiB (a miss costs what a one-record
// read costs), kept direct-mapped by page number in kSlots slots per handle,
// allocated as they are first used, within one budget for the whole process
// (kBudgetBytes): past it, records are read as before.

#include "engine/core/dbf_internal.h"
#include "engine/core/os.h"

namespace {

const uint32_t kPageBytes = 4 * 1024;
const uint32_t kSlots = 16384;
const size_t kBudgetBytes = 64u << 20;
size_t g_page_bytes = 0;  // page memory of every handle (the engine is entered by one thread at a time)

struct Slot {
    char* bytes;
    uint32_t page;   // page number held
    uint32_t held;   // whole records held
    uint32_t epoch;  // valid while equal to the cache's
};

}  // namespace

struct DbfRecordCache {
    uint16_t record_length;  // of the file the pages were made for
    uint32_t per_page;     // records per page
    uint32_t generation;   // the file's write generation the pages belong to
    uint32_t epoch;        // starts at 1; a drop moves it on
    Slot slots[kSlots];
};

void dbf_record_cache_free(DbfBlock* b) {
    if (!b->record_cache) return;
    for (Slot& s : b->record_cache->slots) {
        if (s.bytes) g_page_bytes -= (size_t)b->record_cache->per_page * b->record_cache->record_length;
        xdb_free(s.bytes);
    }
    xdb_free(b->record_cache);
    b->record_cache = nullptr;
}

void dbf_record_cache_drop(DbfBlock* b) {
    if (b->record_cache) b->record_cache->epoch++;
}

// Copies record `recno` (already checked against the count) into the record
// buffer from a kept page, reading the page first when it is not kept. False
// when the handle does not keep pages or the page cannot be read whole enough:
// the caller then reads the record itself.
bool dbf_record_from_cache(DbfBlock* b, uint32_t recno) {
    if (b->file_mode & XDB_FILE_SHARED) return false;
    const uint16_t length = dbf_record_length(b);
    if (length == 0 || length > kPageBytes) return false;
    // A file put in this one's place may have records of another length.
    if (b->record_cache && b->record_cache->record_length != length) dbf_record_cache_free(b);
    DbfRecordCache* c = b->record_cache;
    if (!c) {
        if (xdb_alloc((void**)&c, sizeof(DbfRecordCache))) {
            xdb_set_status(XD_OK);
            return false;
        }
        memset(c, 0, sizeof *c);
        c->record_length = length;
        c->per_page = kPageBytes / length;
        c->epoch = 1;
        b->record_cache = c;
    }
    uint32_t generation = osl_write_generation(b->sh);
    if (generation != c->generation) {
        c->epoch++;
        c->generation = generation;
    }
    const uint32_t page = (recno - 1) / c->per_page, at = (recno - 1) % c->per_page;
    Slot& s = c->slots[page % kSlots];
    if (s.epoch != c->epoch || s.page != page || at >= s.held) {
        const size_t page_size = (size_t)c->per_page * length;
        if (!s.bytes) {
            if (g_page_bytes + page_size > kBudgetBytes) return false;
            if (xdb_alloc((void**)&s.bytes, page_size)) {
                xdb_set_status(XD_OK);
                return false;
            }
            g_page_bytes += page_size;
        }
        s.epoch = 0;
        uint32_t first = page * c->per_page + 1, want = dbf_count(b) - first + 1;
        if (want > c->per_page) want = c->per_page;
        uint64_t offset = dbf_header_length(b) + (uint64_t)(first - 1) * length;
        uint32_t got = 0;
        if (offset > 0xFFFFFFFFull || xdb_fread_some_at(b->sh, (uint32_t)offset, s.bytes, want * length, &got)) {
            xdb_set_status(XD_OK);
            return false;
        }
        s.page = page;
        s.held = got / length;
        s.epoch = c->epoch;
        if (at >= s.held) return false;  // a file cut short: the caller reports it
    }
    memcpy(b->record, s.bytes + (size_t)at * length, length);
    return true;
}
