#pragma once
// One tree of an index file, as the positioning frame holds it: the format's
// operations, its key form, the path an operation reaches and the entry handed
// out last (see tree_walk.h). The file it lies in, shared by every tree of that
// file, is an IndexFile (index_file.h). A single-key format's control block
// begins with a SingleTreeFile, so that the format turns a cursor back into its
// file with a cast; a multi-tag format keeps one cursor per open tag. What differs
// between formats (the header, the bytes of a page, how a step crosses pages, the
// search) comes in through a TreeFormat.

#include <cstddef>
#include <cstdint>

#include "engine/core/engine.h"
#include "engine/core/status.h"
#include "engine/index/index_file.h"

struct BlockChanges;
struct PageCache;

// Deeper than any tree a file of 4 GiB can hold: a path that goes deeper is a loop.
const int kMaxTreeDepth = 40;
// The largest page of any format (MDX: 32 blocks of 512 bytes).
const uint32_t kMaxTreePage = 16384;
// The longest key of the formats that use the frame (a key is handed out with a
// zero after it).
const uint16_t kMaxTreeKey = 240;

// Pages and entry indexes from the root down. At the level of the entry reached
// the index is that entry; above it, the entry (or child slot) that led down.
struct TreePath {
    int depth;  // the level of the entry reached; -1 when there is none
    uint32_t page[kMaxTreeDepth];
    int index[kMaxTreeDepth];
};

struct TreeCursor;

// A page's entries decoded whole, for formats that store a key against the key
// before it (CDX and compact IDX leaves): entry i is then read from here.
struct DecodedPage;

// A format's pages and moves, as the frame calls them. Pages are the format's own
// page buffers, passed as their bytes.
struct TreeFormat {
    // Reads and checks the header of a file of `size` bytes when it is opened: the
    // format's own fields, how pages lie in the file (index_file_set_pages), the
    // cursor's key length and key form. A failed check leaves its reason
    // (xdb_fault) and gives its status.
    XDSTATUS (*read_header)(TreeCursor* c, uint32_t size);
    int (*count)(const TreeCursor* c, const uint8_t* page);
    // Entry i read in place; null when entries are only decoded (decode below).
    // A format that decodes may read some pages in place (in_place below).
    const uint8_t* (*key_of)(const TreeCursor* c, const uint8_t* page, int i);
    uint32_t (*record_of)(const TreeCursor* c, const uint8_t* page, int i);
    // Decodes every entry of a page into `keys` (key_length bytes each) and
    // `records`; false when the page's encoding is damaged. Null for formats read
    // in place.
    bool (*decode)(const TreeCursor* c, const uint8_t* page, int count, uint8_t* keys, uint32_t* records);
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
    // For formats that decode: whether this page's entries are read in place all
    // the same (through key_of and record_of); null: none is.
    bool (*in_place)(const TreeCursor* c, const uint8_t* page);
};

struct TreeCursor {
    const TreeFormat* format;
    IndexFile* file;
    uint16_t key_length;
    bool zero_after_key;  // keys are handed out as text, a zero after them
    TreePath path;
    // The entry handed out last, and whether `path` still leads to it (its depth,
    // -1 when it may not).
    uint8_t key[kMaxTreeKey + 1];
    uint32_t record;
    int saved_depth;
    bool trusted_now;     // this operation began with a trusted cache
    uint8_t* saved_leaf;  // (shared files) its leaf as handed out: a page's bytes
    DecodedPage* decoded;  // the page decoded last (formats that decode)
    // Page buffers are filled only through the frame's reads, each counted: a
    // buffer found equal to the decoded page is not compared again until the
    // next fill (a walk asks several times for the same leaf's entries).
    uint32_t fills;
    const uint8_t* decoded_for;
    uint32_t decoded_at_fill;
    // A buffer of the cursor's own (a page's bytes) that only the frame's reads
    // fill: the leaf of a walk or a search, kept between steps. Read again from a
    // trusted cache with no fill since, it is left as it is (no copy of the page).
    uint8_t* walk_page;
    uint32_t held_number;
    uint32_t held_at_fill;
    bool held;
};

// A page buffer of `c` filled (read) or changed in place: its entries are
// decoded again if they differ.
inline void tree_page_filled(TreeCursor* c) { c->fills++; }
// The way pages decode changed (a format's pad byte): nothing decoded stays.
void tree_forget_decoded(TreeCursor* c);

// The control block of a single-key format begins with this.
struct SingleTreeFile {
    TreeCursor tree;
    IndexFile file;
};

// Makes a cursor of `format` over `file` (its pages already set): what it holds
// is sized from the file's pages. tree_cursor_free gives it back.
XDSTATUS tree_cursor_init(TreeCursor* c, const TreeFormat* format, IndexFile* file);
void tree_cursor_free(TreeCursor* c);

// Entry i of a page, and the page's count, through the format: in place, or from
// the page decoded once (decoded again only when its bytes differ).
int tree_decoded_count(TreeCursor* c, const uint8_t* page);
const uint8_t* tree_decoded_key(TreeCursor* c, const uint8_t* page, int i);
uint32_t tree_decoded_record(TreeCursor* c, const uint8_t* page, int i);
// Every entry of a decoded page at once: its count, *keys (count x key length) and
// *records, valid until the cursor decodes another page.
int tree_decoded_entries(TreeCursor* c, const uint8_t* page, const uint8_t** keys, const uint32_t** records);
// A page the format changed and encoded again into `page`, whose entries it
// holds decoded: kept as decoded, so that the next search through the page does
// not decode it again.
void tree_decoded_keep(TreeCursor* c, const uint8_t* page, int count, const uint8_t* keys, const uint32_t* records);
inline bool tree_decoded_current(const TreeCursor* c, const uint8_t* page) {
    return page == c->decoded_for && c->fills == c->decoded_at_fill;
}
// (The page decoded last is asked for first: a walk asks for its leaf's entries
// one after another.)
inline bool tree_reads_decoded(const TreeCursor* c, const uint8_t* page) {
    return c->decoded && (tree_decoded_current(c, page) || !(c->format->in_place && c->format->in_place(c, page)));
}
inline int tree_count(TreeCursor* c, const uint8_t* page) {
    return tree_reads_decoded(c, page) ? tree_decoded_count(c, page) : c->format->count(c, page);
}
inline const uint8_t* tree_key(TreeCursor* c, const uint8_t* page, int i) {
    return tree_reads_decoded(c, page) ? tree_decoded_key(c, page, i) : c->format->key_of(c, page, i);
}
inline uint32_t tree_record(TreeCursor* c, const uint8_t* page, int i) {
    return tree_reads_decoded(c, page) ? tree_decoded_record(c, page, i) : c->format->record_of(c, page, i);
}

// Opens index file `name` as a single-tree handle of `kind` (open_mode already
// expanded): a slot beginning with a SingleTreeFile, the file, its header read and
// checked by the format, and the cursor. *handle and *c on success, with the
// file's size in *size; on failure nothing is left open.
XDSTATUS tree_open(int16_t* handle, TreeCursor** c, const char* name, uint16_t open_mode, uint8_t kind,
                   XdbCloseFn close, const TreeFormat* format, uint32_t* size);
// Holds the file of single-tree handle `handle` of `kind` for its table's whole
// lock (index_file_hold).
XDSTATUS tree_hold(int16_t handle, uint8_t kind, int16_t data_handle);
// Closes the file and gives back everything the handle held, its slot too; the
// status of closing the file.
XDSTATUS tree_close(int16_t handle, TreeCursor* c);

// Reads page `number` (already known to lie in the file) as this handle sees it:
// from the change being collected, the cache, or else the file; a page read from
// the file is cached once `check` (when given) finds it sound, else XD_CORRUPT.
typedef bool (*TreePageCheck)(const TreeCursor* c, const uint8_t* page);
XDSTATUS tree_read_page(TreeCursor* c, BlockChanges& changes, uint32_t number, uint8_t* out, TreePageCheck check);
// Writes page `number`: into the change being collected, or to the file and the
// cache (a failed write forgets the cache: what the file holds is not known).
XDSTATUS tree_write_page(TreeCursor* c, BlockChanges& changes, uint32_t number, const uint8_t* bytes);

// The start of an operation: no position; whether the cache may be trusted (when
// not, the format reads its header words again and calls tree_header_changed
// when they differ from the last operation's).
bool tree_begin_operation(TreeCursor* c);
void tree_header_changed(TreeCursor* c);
// The end of an operation: what it read and wrote stays cached when it succeeded;
// `handed` says the path leads to the entry handed out.
void tree_end_operation(TreeCursor* c, XDSTATUS s, bool handed);
