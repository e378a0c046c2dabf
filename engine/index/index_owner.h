#pragma once
// Which table an index file belongs to. An index file does not name its table, and
// a directory of xBase files often holds the indexes of many tables, several on
// fields of one name. A write that put a key into another table's index would
// damage that table; a write that left one of its own indexes out would leave it
// stale. So an index found beside a table is judged by what it holds:
//   - NDX, NTX, IDX, and each tag of a CDX: its key expression (and condition)
//     must evaluate on the table to a key of the index's type and length, and a
//     sample of its entries spread over the tree (the first and last ones) must
//     name records of the table that have those keys, and a sample of the table's
//     live records spread over the file must have their entries. An index and a
//     table both empty agree. A multi-tag file is the table's when its tags are,
//     or when it is the table's structural or production index; it is written only
//     when every tag can be kept in step.
//   - A format the engine has no operations for: a production index (the table's
//     own name) is the table's; another name is another table's.
//   - A file that cannot be opened or read cannot be judged.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

enum IndexOwnership : int {
    INDEX_FOREIGN = 0,      // another table's, or no index of this one: never written for it
    INDEX_OWNED = 1,        // the table's: kept in step by every write
    INDEX_UNJUDGED = 2,     // cannot be opened or read: whose it is cannot be told
};

struct IndexOwnerVerdict {
    int ownership;
    bool writable;  // owned, and the engine can keep it in step
    char reason[240];  // in words, for the user
};

// Judges the index file `path` against the table of data handle `data_handle`
// (the table's current record changes). `production`: the table's header names a
// production or structural index and this is its file. Answers XD_OK with the
// verdict; an error only for a null argument or a pending status.
XDSTATUS IndexJudgeOwner(int16_t data_handle, const char* path, bool production, IndexOwnerVerdict* out);

// Whether the key expression evaluates on the table's current record to a key of
// the index's type and `length` (without the terminator); `text_keys`: the format
// stores numbers and dates as text (NTX).
bool index_expression_fits_table(int16_t data_handle, const char* expression, char key_type, int length,
                                 bool text_keys);
