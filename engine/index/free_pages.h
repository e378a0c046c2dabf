#pragma once
// The free pages of an index file: pages a change freed are chained from a head
// (a header word, or the handle's own memory where the format keeps no list in
// the file) and taken again before the file grows. A page taken leaves the chain
// at once, before the change that uses it is written: a stop in between loses the
// page (unused space, which the tree check reports), never hands it out twice.
// A page freed joins the chain in the change being collected; the head word is
// written after the change (ordered_commit.h), since a page is free only once no
// tree uses it.
//
// The format says how a free page links to the next and how pages are added at
// the end; which pages lie in neither the tree nor the chain the tree check lists
// (tree_check.h).

#include <cstdint>

#include "engine/core/status.h"

struct BlockChanges;

struct FreePages {
    void* context;
    uint32_t* head;  // the chain's first page, 0: none
    // The page after `page` on the chain (0: the end); false when `page` is no free
    // page of the file.
    bool (*next_of)(void* context, uint32_t page, uint32_t* next);
    // Writes `page` as a free page followed by `next`.
    XDSTATUS (*write_freed)(void* context, uint32_t page, uint32_t next);
    // Writes the head word when a page is taken (null: the handle alone keeps it).
    XDSTATUS (*write_head)(void* context, uint32_t head);
    // A new page at the end of the file.
    XDSTATUS (*append)(void* context, uint32_t* page);
    // The file's count of free pages changes by `change` (null: it keeps none).
    void (*counted)(void* context, int change);
    // A head that is no free page: the list is stale and forgotten (a list kept in
    // memory that another handle's changes overtook), or the file is damaged.
    bool stale_head_forgotten;
};

// A page for new entries, recorded as fresh in the change. A page the change freed
// may be taken again; its head word then waits for the change's end.
XDSTATUS free_pages_take(const FreePages& f, BlockChanges& changes, uint32_t* page);
// Puts `page` on the chain, recorded as freed in the change.
XDSTATUS free_pages_release(const FreePages& f, BlockChanges& changes, uint32_t page);
