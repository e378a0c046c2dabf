#pragma once
// An index file as every tree in it shares it: the open file, its name as opened,
// how its pages lie in it, and their cache (see page_cache.h). A single-key file
// (NDX, NTX, IDX) holds one tree; a multi-tag file (MDX, CDX) holds one per tag and
// its tag directory, every one reading pages through this one part, so that what
// one tag writes the others see.
//
// Pages: page number n lies at byte base + n * unit and is `size` bytes long. The
// formats differ: NDX 512-byte blocks (unit 512), NTX 1024-byte pages named by
// their offset / 1024, MDX pages of 1 to 32 blocks of 512 bytes numbered in
// blocks (unit 512, size a multiple of it, set by the file's header), CDX and IDX
// 512-byte nodes named by their byte offset (unit 1).

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

struct PageCache;
struct BlockChanges;

struct IndexFile {
    uint16_t sh;  // the file
    uint16_t file_mode;
    bool shared;
    char* name;
    PageCache* cache;  // made once the pages are known
    uint32_t page_size, page_unit, page_base;
    uint16_t journal;  // the change journal kept open by an exclusive handle (0: none)
    // A shared file held for its table's whole lock (index_file_hold): the table's
    // data handle and that lock's number (0: no hold). Whether the last operation
    // found the handle alone with the file, and whether a hold began since a
    // format last finished other programs' stopped changes.
    int16_t hold_table;
    uint32_t hold_lock;
    bool was_alone, hold_began;
    // A writer holds the file's update lock across several changes (a FoxPro
    // file's write bracket): no other program writes it meanwhile, so what the
    // cache read since the bracket began stays true until it ends.
    bool update_bracket;
    uint32_t brackets;  // counts them: each tree reads its header words once in each
};

// The byte offset of page `number` (files end below 4 GiB: the caller has checked
// that the page lies in the file).
inline uint32_t index_page_offset(const IndexFile* f, uint32_t number) {
    return f->page_base + number * f->page_unit;
}

// Opens `name` (open_mode already expanded) and keeps a copy of the name; the
// file's size in *size. A change that a stop left in the file's journal is
// written first (change_journal.h). On failure nothing is left open.
XDSTATUS index_file_open(IndexFile* f, const char* name, uint16_t open_mode, uint32_t* size);
// Sets how pages lie in the file, once its header has said (see above), and makes
// the cache, bounded in bytes whatever the page size.
XDSTATUS index_file_set_pages(IndexFile* f, uint32_t size, uint32_t unit, uint32_t base);
// The table the index belongs to is locked whole through `data_handle` (see
// dbf_whole_lock): while that lock lasts, no other program changes the table's
// records, nor therefore this file, and the handle keeps what it reads across
// operations as one that has the file to itself. A table not so locked (or a
// negative handle): no hold. Nothing to do for a handle opened exclusively.
void index_file_hold(IndexFile* f, int16_t data_handle);
// Whether the handle may trust what it read in earlier operations: it has the file
// to itself, or holds it for its table's whole lock and that lock is still the
// same. A change of answer forgets the cache: what was read under the other
// answer is not trusted.
bool index_file_alone(IndexFile* f);
// Closes the file and gives back the name and the cache; the status of closing.
XDSTATUS index_file_close(IndexFile* f);

// Page `number` as the file holds it now, bypassing the cache (false, no status
// left behind, when it cannot be read).
bool index_file_read_raw(IndexFile* f, uint32_t number, uint8_t* out);
// `count` bytes at byte `offset` as the file holds them now (false, no status
// left behind, when they cannot be read).
bool index_file_read_raw_bytes(IndexFile* f, uint32_t offset, uint8_t* out, uint32_t count);
// Keeps a page read from the file, found sound, in the cache.
void index_file_keep(IndexFile* f, uint32_t number, const uint8_t* page);
// Writes page `number`: into the change being collected, or to the file and the
// cache (a failed write forgets the cache: what the file holds is not known).
XDSTATUS index_file_write(IndexFile* f, BlockChanges& changes, uint32_t number, const uint8_t* bytes);
