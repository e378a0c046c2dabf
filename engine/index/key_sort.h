#pragma once
// Sorting the keys of an index rebuild, for every format.
//
// Items are (key, record number); keys are given in a form whose byte order (or
// national order, for character keys under that collation) is the index's order:
// numeric formats turn their numbers into such a form first and back when the
// items come out. Equal keys come out in record-number order.
//
// Items are held in memory up to a budget. Within it they sort as (8-byte prefix,
// position) pairs by radix, the prefix taken after the bytes every key of the run
// shares, so that keys are compared whole only where their prefixes tie. A table
// larger than the budget sorts in runs through the work file "stacks.tmp" (in the
// current directory) and the runs merge with a heap.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

struct KeySorter;

// `national`: character keys compare by the national order (xdb_compare_keys)
// instead of byte order.
KeySorter* key_sort_new(uint16_t key_length, bool national, uint32_t expected_items);
void key_sort_free(KeySorter* sorter);
XDSTATUS key_sort_add(KeySorter* sorter, const uint8_t* key, uint32_t recno);
// A unique index keeps one entry a key: the first record's (the lowest number),
// as the Clipper- and dBASE-family programs build them.
void key_sort_set_unique(KeySorter* sorter, bool unique);
// Greater keys first (equal keys still in record-number order): trees stored in
// descending order (a descending MDX tag).
void key_sort_set_descending(KeySorter* sorter, bool descending);
// Gives every item in order; `emit` returning a negative status stops the sort
// with that status.
typedef XDSTATUS (*KeySortEmit)(void* context, const uint8_t* key, uint32_t recno);
XDSTATUS key_sort_finish(KeySorter* sorter, KeySortEmit emit, void* context);

// Test switch: the in-memory budget in bytes (0 restores the default), so that
// tests sort through the work file with few items.
void key_sort_set_budget(size_t bytes);
