#pragma once
// The B-tree of the dBASE family: an NDX file's one tree, and each tag of an MDX
// file. Both are trees of fixed-size entries whose inner keys are the greatest key
// of the child before them; they differ in where things lie:
//
//                       NDX                         MDX tag
//   page                one 512-byte block          blocks per page x 512 bytes
//   count               u32 at 0 (its low byte)     u16 at 0
//   entries from        4                           8
//   entry               child, record, key          pointer, key (the pointer is
//                                                   the record in a leaf, the
//                                                   child inside)
//   leaf                entry 0 has no child        no pointer after the last entry
//   numbers             8-byte doubles              12 bytes of packed decimal digits
//
// An inner page with n entries has n + 1 children: the pointer of the slot after
// its last entry is its rightmost child. The file around the tree (where its root
// and end are kept, how pages are freed) comes in through DbaseFileOps.
//
// Every change is collected and written in an order that survives a stop
// (ordered_commit.h).

#include <cstddef>
#include <cstdint>

#include "engine/core/byteorder.h"
#include "engine/core/status.h"
#include "engine/index/free_pages.h"
#include "engine/index/index.h"
#include "engine/index/key_sort.h"
#include "engine/index/rebuild.h"
#include "engine/index/tree_check.h"
#include "engine/index/tree_cursor.h"

struct BlockChanges;

// How keys compare: character keys by the collation, dates and NDX numbers as
// doubles, MDX numbers as packed decimals.
enum DbaseKeyKind : uint8_t { kDbaseText, kDbaseDouble, kDbasePacked };

struct DbaseTree;

// What the file around a tree does its own way.
struct DbaseFileOps {
    // Reads and checks the header of a file of `size` bytes (single-tree files
    // opened through the frame; null for the tags of a multi-tag file).
    XDSTATUS (*read_header)(DbaseTree* t, uint32_t size);
    // The words the file keeps for all its trees (its end), taken at the start of
    // every operation: another tree of the file may have moved them. Null: none.
    void (*sync)(DbaseTree* t);
    // The words another handle may have changed (root, end, free list), read
    // again at the start of an operation that cannot trust its cache.
    XDSTATUS (*refresh)(DbaseTree* t);
    // The root word written at once (outside a change).
    XDSTATUS (*write_root)(DbaseTree* t, uint32_t root);
    // A page added at the end of the file, its end word written; and the last
    // `count` pages cut off again.
    XDSTATUS (*append)(DbaseTree* t, uint32_t* page);
    XDSTATUS (*drop_last)(DbaseTree* t, uint32_t count);
    // The file's free pages.
    FreePages (*free_pages)(DbaseTree* t);
    // Header words a change writes after its switch (added to `changes`); null:
    // none.
    void (*before_commit)(DbaseTree* t, BlockChanges& changes);
    // The end of an add or a delete (the file notes its header words).
    void (*after_change)(DbaseTree* t, XDSTATUS s);
    // A freed page told by its bytes; null: freed pages look like any other.
    bool (*is_freed)(const uint8_t* page);
};

struct DbaseTree {
    TreeCursor cursor;  // first: the frame's cursor turns back into its tree
    const DbaseFileOps* ops;
    void* owner;  // the file's control block
    uint32_t page_size;
    uint16_t blocks_per_page;  // pages are numbered in 512-byte blocks
    uint32_t first_page;       // the first page a tree may use
    uint8_t head;              // where entries begin
    uint8_t record_at;         // the record number's offset in an entry
    uint8_t key_at;            // the key's offset in an entry
    bool wide_count;           // a 16-bit count (else its low byte)
    bool leaf_by_last;         // a leaf: no pointer after the last entry (else none in entry 0)
    uint16_t key_length, entry_size, max_keys;
    DbaseKeyKind kind;
    bool unique, descending;
    bool dates;  // a date tree whose keys are doubles but take no numbers (MDX 'D')
    uint32_t root, end;  // the root page; the blocks of the file
    // Root and end when the entry handed out last was (see tree_walk.h).
    uint32_t saved_root, saved_end;
};

// ---- Pages ----

inline int dbase_count(const DbaseTree* t, const uint8_t* p) { return t->wide_count ? get_le16(p) : p[0]; }
inline void dbase_set_count(const DbaseTree* t, uint8_t* p, int n) {
    if (t->wide_count) put_le16(p, (uint16_t)n);
    else p[0] = (uint8_t)n;
}
inline uint8_t* dbase_entry(const DbaseTree* t, uint8_t* p, int i) { return p + t->head + i * t->entry_size; }
inline const uint8_t* dbase_entry(const DbaseTree* t, const uint8_t* p, int i) {
    return p + t->head + i * t->entry_size;
}
inline uint32_t dbase_child(const DbaseTree* t, const uint8_t* p, int i) { return get_le32(dbase_entry(t, p, i)); }
inline uint32_t dbase_record(const DbaseTree* t, const uint8_t* p, int i) {
    return get_le32(dbase_entry(t, p, i) + t->record_at);
}
inline const uint8_t* dbase_key(const DbaseTree* t, const uint8_t* p, int i) {
    return dbase_entry(t, p, i) + t->key_at;
}
// Writes entry i: its child (0 in a leaf), its record (0 inside), its key.
void dbase_put_entry(const DbaseTree* t, uint8_t* p, int i, uint32_t child, uint32_t record, const uint8_t* key);
bool dbase_is_leaf(const DbaseTree* t, const uint8_t* p);
// Whether the page's entries and last pointer lie inside it.
bool dbase_sane(const DbaseTree* t, const uint8_t* p);
bool dbase_page_in_file(const DbaseTree* t, uint32_t page);

// A page through the handle's cache (or the change being collected).
XDSTATUS dbase_read_page(DbaseTree* t, uint32_t page, uint8_t* out);
// A page written: into the change being collected, or to the file.
XDSTATUS dbase_write_page(DbaseTree* t, uint32_t page, const uint8_t* bytes);
// Whether a change is being collected.
bool dbase_in_change();

// ---- Keys ----

// Compares a search key with an entry key over `length` bytes (character keys),
// in the tree's order (a descending tree reversed); `wildcard`: '?' in the search
// key matches any byte.
int dbase_compare(const DbaseTree* t, const uint8_t* search, const uint8_t* key, uint16_t length, bool wildcard);
// Doubles by sign, then magnitude from the last byte down; packed decimals by
// their rule; both in ascending order.
int dbase_compare_doubles(const uint8_t* a, const uint8_t* b);
int dbase_compare_packed(const uint8_t* a, const uint8_t* b);
// The bytes a key of this tree compares over (a number's whole key).
inline uint16_t dbase_whole_key(const DbaseTree* t) {
    return t->kind == kDbaseText ? t->key_length : t->kind == kDbaseDouble ? 8 : 12;
}
// The blank date as keys hold it, and the older form a seek of it also finds.
struct DbaseBlankDates {
    double written, other;
};

// ---- The tree ----

// The cursor's format: the walk of tree_walk.h over dBASE pages.
extern const TreeFormat kDbaseTreeFormat;
// Makes the cursor of a tree whose file and geometry are set.
XDSTATUS dbase_tree_init(DbaseTree* t, IndexFile* file);

// The start of an operation: the header words read again unless the cache may
// be trusted; and its end.
XDSTATUS dbase_begin(DbaseTree* t);
void dbase_end(DbaseTree* t, XDSTATUS s, bool handed = false);

// The positioning operations of the uniform layer. `blank` gives the blank date
// forms of a date tree (null: numbers).
XDSTATUS dbase_first_or_last(DbaseTree* t, void* key, uint32_t* recno, bool last);
XDSTATUS dbase_step(DbaseTree* t, void* key, uint32_t* recno, bool forward);
XDSTATUS dbase_resync(DbaseTree* t, void* key, uint32_t* recno);
XDSTATUS dbase_seek(DbaseTree* t, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode,
                    const DbaseBlankDates* blank);
// Inserts and removes an entry: the change collected and committed whole.
XDSTATUS dbase_add(DbaseTree* t, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS dbase_delete(DbaseTree* t, const void* key, uint16_t key_size, uint32_t recno);

// The search of seek, resynchronise, add and delete (mode: NDX_EXACT, NDX_WILDCARD);
// the path on the entry found or reached; *no_smaller when the key lies before
// every key.
XDSTATUS dbase_search(DbaseTree* t, const uint8_t* key, uint16_t length, uint32_t recno, uint16_t mode,
                      uint8_t* leaf, bool* no_smaller);
// Down from page `b` at path level `level` to a leaf, always leftmost or rightmost.
XDSTATUS dbase_descend(DbaseTree* t, uint32_t b, int level, bool rightmost, uint8_t* leaf);
// The root word: part of the change being collected, or written at once.
XDSTATUS dbase_set_root(DbaseTree* t, uint32_t root);

// The tree as the shared check reads it (tree_check.h), without its free chain
// and with no page called unused: the file adds those.
TreeCheckPages dbase_check_pages(DbaseTree* t);
// Every page of the tree under `page` (inner pages after their children), for
// freeing it or counting its pages; XD_CORRUPT when a page is reached twice.
XDSTATUS dbase_tree_pages(DbaseTree* t, uint32_t page, void (*visit)(void* context, uint32_t page), void* context);

// ---- Keys from records, and building a tree ----

// Key forms the file gives: a number as its key (dBASE double or packed digits),
// a date as its key (year 0: blank).
struct DbaseKeyForms {
    void (*number)(double value, uint8_t* key);
    void (*date)(int year, int month, int day, uint8_t* key);
};
// The key of the table's current record by `expression`: text blank-padded to the
// key length, numbers and dates in the file's forms. XD_BADKEYEXPR when the
// expression's type is not the tree's.
XDSTATUS dbase_key_of_record(const DbaseTree* t, const DbaseKeyForms& forms, int16_t data, const char* expression,
                             uint8_t* key);
// Fills an empty tree from the table (the records `condition` takes; null or
// empty: every one): keys sorted, pages written full from the leaves up, the
// first leaf at page `first` (the empty root), the others from the tree's end;
// the root and end left in the tree.
XDSTATUS dbase_build(DbaseTree* t, const DbaseKeyForms& forms, int16_t data, const char* expression,
                     const char* condition, uint32_t first);
