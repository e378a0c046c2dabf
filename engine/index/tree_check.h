#pragma once
// The check of an index tree that every format shares: one walk from the root that
// reads each page once and finds
//   - pages outside the file, reached twice, or deeper than any tree goes;
//   - pages the format calls damaged (its own reason: counts, slots, marks);
//   - leaves at different depths, empty pages below the root (where the format's
//     readers stop at them), leaf entries with children;
//   - keys out of the index's order across the whole walk, and one entry (the same
//     key and record) twice;
//   - a separator that is not the greatest key below it (trees whose inner keys
//     are separators: NDX, MDX, IDX, CDX; NTX inner entries are index entries);
//   - a free chain that leaves the file, loops, or meets the tree;
// and counts the entries, handing each in key order to a visitor. Pages in neither
// the tree nor the free chain are unused space (a stop between a change and the
// freeing of what it left): a note, not a fault.
//
// A format describes its pages through TreeCheckPages.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

struct TreeCheckPages {
    void* context;
    uint32_t page_size;
    uint32_t first_page, end_page;  // page numbers that may hold tree pages
    uint32_t root;
    uint16_t key_length;  // the bytes of a key, as entries hold it
    bool inner_entries;   // inner pages hold index entries between their children
    bool empty_below_root_allowed;
    const char* page_word;  // "block", "page at"
    // The number a fault names a page by (its number, or its offset).
    uint32_t (*named)(void* context, uint32_t page);
    // Reads page `page` into `out`: null when it is sound, else what is wrong.
    const char* (*read)(void* context, uint32_t page, uint8_t* out);
    int (*count)(void* context, const uint8_t* page);
    const uint8_t* (*key)(void* context, const uint8_t* page, int i);
    uint32_t (*record)(void* context, const uint8_t* page, int i);
    bool (*is_leaf)(void* context, const uint8_t* page);
    // Children of an inner page, and whether a leaf's entry i has one (a fault).
    int (*children)(void* context, const uint8_t* page);
    uint32_t (*child)(void* context, const uint8_t* page, int i);
    bool (*leaf_entry_has_child)(void* context, const uint8_t* page, int i);
    // The index's order of two whole keys.
    int (*compare)(void* context, const uint8_t* a, const uint8_t* b);
    // The free chain from `free_head` (0: empty): the page after `page`, or false
    // when `page` is no free page.
    uint32_t free_head;
    bool (*next_free)(void* context, uint32_t page, uint32_t* next);
    // Whether a page in neither the tree nor the chain is unused space (null: all
    // are; a format may tell freed pages by their own mark).
    bool (*unused)(void* context, uint32_t page);
};

// XD_OK (a note about unused space in `fault`, else empty), or XD_CORRUPT with the
// first fault in `fault`. *entries: the entries walked.
XDSTATUS tree_check(const TreeCheckPages& pages, uint32_t* entries, char* fault, size_t cap,
                    void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context);
