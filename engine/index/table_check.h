#pragma once
// An index against its table: every entry names a record of the table, once, with
// that record's key, and a record the index's condition takes in; every live
// record the condition takes in has its entry. A deleted record may have its entry
// or not (DELETEINDEX, an add that did not stand). A unique index is not held to
// have every record's key: its writers let a key go with the entry of the record
// that held it, though other records have the key too, until it is built again.
//
// Entries are checked by one walk of the index that checks its tree too (each page
// read once, each record read where its entry points), records by one pass over
// the table against the marks the walk left.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"
#include "engine/index/index.h"

struct IndexTableCheck {
    uint32_t entries = 0;  // entries walked
    uint32_t records = 0;  // records of the table
    uint32_t faults = 0;
    // The key expression is beyond what this engine computes (another table's
    // fields, functions it lacks): the keys were not compared.
    bool beyond = false;
    // The tree's own check, walked at the same time: its fault (the answer is
    // then XD_CORRUPT), or a note such as unused pages; empty when neither.
    char structure[256] = {0};
    // A unique index: entries whose key the entry before holds too (writers add
    // them when duplicates are not refused; a rebuild keeps the first of each).
    uint32_t repeated_keys = 0;
    // Called with each fault in words (may be null), and with the work done of
    // entries + records (may be null).
    void (*fault)(void* context, const char* what) = nullptr;
    void (*progress)(void* context, uint64_t done) = nullptr;
    void* context = nullptr;
};

// `a` is the open index (its single tag), `data_handle` the table. XD_OK with the
// findings in *check; an error when the table or the index cannot be read.
XDSTATUS IndexCheckAgainstTable(IndexAccess* a, int16_t data_handle, bool unique, IndexTableCheck* check);
