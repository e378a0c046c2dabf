#pragma once
// A handle of a B-tree index file, as every tree format holds it: the file, its
// name, its page cache (see page_cache.h), the bracket around each operation, and
// the position the walk keeps (see tree_walk.h). The TreeHandle is the first
// member of the format's own control block, so a format turns a handle back into
// its file with a cast; what differs between formats (the header, the bytes of a
// page, how a step crosses pages, the search) comes in through a TreeFormat.

#include <cstddef>
#include <cstdint>

#include "engine/core/engine.h"
#include "engine/core/status.h"

struct BlockChanges;
struct PageCache;

// Deeper than any tree a file of 4 GiB can hold: a path that goes deeper is a loop.
const int kMaxTreeDepth = 40;
// The largest page of the formats that use the frame.
const uint32_t kMaxTreePage = 1024;
// The longest key of those formats (a key is handed out with a zero after it).
const uint16_t kMaxTreeKey = 100;

// Pages and entry indexes from the root down. At the level of the entry reached
// the index is that entry; above it, the entry (or child slot) that led down.
struct TreePath {
    int depth;  // the level of the entry reached; -1 when there is none
    uint32_t page[kMaxTreeDepth];
    int index[kMaxTreeDepth];
};

struct TreeHandle;

// A format's pages and moves, as the frame calls them. Pages are the format's own
// page buffers, passed as their bytes.
struct TreeFormat {
    uint32_t page_size;
    size_t cached_pages;  // the most pages a handle keeps cached
    // Reads and checks the header of a file of `size` bytes when it is opened: the
    // format's own fields, the handle's key length and key form. A failed check
    // leaves its reason (xdb_fault) and gives its status.
    XDSTATUS (*read_header)(TreeHandle* c, uint32_t size);
    int (*count)(const TreeHandle* c, const uint8_t* page);
    const uint8_t* (*key_of)(const TreeHandle* c, const uint8_t* page, int i);
    uint32_t (*record_of)(const TreeHandle* c, const uint8_t* page, int i);
    bool (*is_leaf)(const TreeHandle* c, const uint8_t* page);
    // A page through the handle's cache, and one read from the file around it (no
    // status left behind when it cannot be read: the caller then searches).
    XDSTATUS (*read_page)(TreeHandle* c, uint32_t number, uint8_t* page);
    bool (*read_page_from_file)(TreeHandle* c, uint32_t number, uint8_t* page);
    // The first (last) entry: XD_EMPTYFILE when there is none.
    XDSTATUS (*end_entry)(TreeHandle* c, uint8_t* page, bool last);
    // One entry on from the path's entry; at either end XD_NOMOREKEYS, positioned
    // on the last (first) entry. Without a position, the first (last) entry.
    XDSTATUS (*step_or_end)(TreeHandle* c, uint8_t* page, bool forward);
    // The entry (key, record): XD_OK on it; XD_KEYNOTFOUND on the entry before its
    // place, or with *no_smaller when no entry is before it.
    XDSTATUS (*find_entry)(TreeHandle* c, const uint8_t* key, uint32_t record, uint8_t* page, bool* no_smaller);
    // The end of an operation (the format notes its header words, then calls
    // tree_end_operation).
    void (*end_operation)(TreeHandle* c, XDSTATUS s, bool handed);
};

struct TreeHandle {
    const TreeFormat* format;
    uint16_t sh;  // the file
    uint16_t file_mode;
    bool shared;
    char* name;
    PageCache* cache;
    uint16_t key_length;
    bool zero_after_key;  // keys are handed out as text, a zero after them
    TreePath path;
    // The entry handed out last, and whether `path` still leads to it (its depth,
    // -1 when it may not).
    uint8_t key[kMaxTreeKey + 1];
    uint32_t record;
    int saved_depth;
    bool trusted_now;                  // this operation began with a trusted cache
    uint8_t saved_leaf[kMaxTreePage];  // (shared files) its leaf as handed out
};

// Opens index file `name` as a handle of `kind` (open_mode already expanded): a
// slot, the file, its header read and checked by the format, a copy of the name
// and a page cache. *handle and *c on success, with the file's size in *size; on
// failure nothing is left open.
XDSTATUS tree_open(int16_t* handle, TreeHandle** c, const char* name, uint16_t open_mode, uint8_t kind,
                   XdbCloseFn close, const TreeFormat* format, uint32_t* size);
// Closes the file and gives back everything the handle held, its slot too; the
// status of closing the file.
XDSTATUS tree_close(int16_t handle, TreeHandle* c);

// Reads page `number` (already known to lie in the file) as this handle sees it:
// from the change being collected, the cache, or else the file; a page read from
// the file is cached once `check` (when given) finds it sound, else XD_CORRUPT.
typedef bool (*TreePageCheck)(const TreeHandle* c, const uint8_t* page);
XDSTATUS tree_read_page(TreeHandle* c, BlockChanges& changes, uint32_t number, uint8_t* out, TreePageCheck check);
// Writes page `number`: into the change being collected, or to the file and the
// cache (a failed write forgets the cache: what the file holds is not known).
XDSTATUS tree_write_page(TreeHandle* c, BlockChanges& changes, uint32_t number, const uint8_t* bytes);

// The start of an operation: no position; whether the cache may be trusted (when
// not, the format reads its header words again and calls tree_header_changed
// when they differ from the last operation's).
bool tree_begin_operation(TreeHandle* c);
void tree_header_changed(TreeHandle* c);
// The end of an operation: what it read and wrote stays cached when it succeeded;
// `handed` says the path leads to the entry handed out.
void tree_end_operation(TreeHandle* c, XDSTATUS s, bool handed);
