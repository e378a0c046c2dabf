#pragma once
// The positioning frame every B-tree index format shares: the path from the root
// to the entry an operation reaches, the entry handed out last, and the walk that
// steps on from it instead of searching again.
//
// The positioning calls (first, last, next, previous, resynchronise, seek) hand out
// one entry each: its key and record number. The caller hands that entry back to
// step on; the format searches for it unless nothing can have moved it:
//   - the cache may be trusted (see page_cache.h): the saved path still leads to it;
//   - on a shared file, when the format's header words read again are what they
//     were and the entry's leaf, read again, is byte for byte the leaf it came
//     from: the entry is then there and nowhere else, and a step that stays inside
//     that leaf is taken without a search.
// What differs between formats (the bytes of a page, how a step crosses pages,
// the search) comes in through TreeFormat; the handle's TreeCursor is the first
// member of the format's own control block, so a format turns a cursor back into
// its file with a cast.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

struct PageCache;

// Deeper than any tree a file of 4 GiB can hold: a path that goes deeper is a loop.
const int kMaxTreeDepth = 40;
// The largest page of the formats that use the frame.
const uint32_t kMaxTreePage = 1024;
// The longest key of those formats, and the key as handed out (a zero after it).
const uint16_t kMaxTreeKey = 100;

// Pages and entry indexes from the root down. At the level of the entry reached
// the index is that entry; above it, the entry (or child slot) that led down.
struct TreePath {
    int depth;  // the level of the entry reached; -1 when there is none
    uint32_t page[kMaxTreeDepth];
    int index[kMaxTreeDepth];
};

struct TreeCursor;

// A format's pages and moves, as the frame calls them. Pages are the format's own
// page buffers, passed as their bytes.
struct TreeFormat {
    uint32_t page_size;
    int (*count)(const TreeCursor* c, const uint8_t* page);
    const uint8_t* (*key_of)(const TreeCursor* c, const uint8_t* page, int i);
    uint32_t (*record_of)(const TreeCursor* c, const uint8_t* page, int i);
    bool (*is_leaf)(const TreeCursor* c, const uint8_t* page);
    // A page through the handle's cache, and one read from the file around it (no
    // status left behind when it cannot be read: the caller then searches).
    XDSTATUS (*read_page)(TreeCursor* c, uint32_t number, uint8_t* page);
    bool (*read_page_from_file)(TreeCursor* c, uint32_t number, uint8_t* page);
    // The first (last) entry: XD_EMPTYFILE when there is none.
    XDSTATUS (*end_entry)(TreeCursor* c, uint8_t* page, bool last);
    // One entry on from the path's entry; at either end XD_NOMOREKEYS, positioned
    // on the last (first) entry. Without a position, the first (last) entry.
    XDSTATUS (*step_or_end)(TreeCursor* c, uint8_t* page, bool forward);
    // The entry (key, record): XD_OK on it; XD_KEYNOTFOUND on the entry before its
    // place, or with *no_smaller when no entry is before it.
    XDSTATUS (*find_entry)(TreeCursor* c, const uint8_t* key, uint32_t record, uint8_t* page, bool* no_smaller);
    // The end of an operation (the format notes its header words, then calls
    // tree_end_operation).
    void (*end_operation)(TreeCursor* c, XDSTATUS s, bool handed);
};

struct TreeCursor {
    const TreeFormat* format;
    uint16_t sh;  // the file: its write generation, reads around the cache
    bool shared;
    uint16_t key_length;
    bool zero_after_key;  // keys are handed out as text, a zero after them
    PageCache* cache;
    TreePath path;
    // The entry handed out last, and whether `path` still leads to it (its depth,
    // -1 when it may not).
    uint8_t key[kMaxTreeKey + 1];
    uint32_t record;
    int saved_depth;
    bool trusted_now;                 // this operation began with a trusted cache
    uint8_t saved_leaf[kMaxTreePage];  // (shared files) its leaf as handed out
};

void tree_cursor_init(TreeCursor* c, const TreeFormat* format, uint16_t sh, bool shared, uint16_t key_length,
                      bool zero_after_key, PageCache* cache);

// The start of an operation: no position; whether the cache may be trusted (when
// not, the format reads its header words again and calls tree_header_changed
// when they differ from the last operation's).
bool tree_begin_operation(TreeCursor* c);
void tree_header_changed(TreeCursor* c);
// The end of an operation: what it read and wrote stays cached when it succeeded;
// `handed` says the path leads to the entry handed out.
void tree_end_operation(TreeCursor* c, XDSTATUS s, bool handed);

// Ends a positioning operation whose move gave `s` with the path on an entry of
// `page`: hands that entry out (unless there is none) and forgets the path.
XDSTATUS tree_end_positioning(TreeCursor* c, const uint8_t* page, XDSTATUS s, void* key, uint32_t* record);
// The first or last entry, handed out.
XDSTATUS tree_first_or_last(TreeCursor* c, uint8_t* page, bool last, void* key, uint32_t* record);
// The entry after (before) `key`/`*record` (record 0: none yet, the first or last),
// handed out. When that entry itself is gone, the move still lands on its
// neighbour.
XDSTATUS tree_moved_from(TreeCursor* c, uint8_t* page, bool forward, void* key, uint32_t* record);
