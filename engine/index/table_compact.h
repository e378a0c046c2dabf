#pragma once
// A table compacted with its memo file and indexes as one change. The deleted
// records go, the memo file keeps only the live records' memos, and every index is
// built again over the records kept. Done file by file, a stop between the table's
// switch and an index's would leave the index naming records that moved; so every
// new file is built first under a free name beside the one it replaces, from a
// new copy of the table, and then all switch in as one step (file_switch.h): the
// memo file (its old one kept as ".BKT"), the indexes, the table last. After a stop
// the table's next open finishes or undoes the switch: the files are all old or
// all new.

#include <cstdint>

#include "engine/core/status.h"

struct CompactIndex {
    int32_t type;  // the index type code (IndexRebuild)
    const char* path;
    const char* expression;
    uint8_t key_type;
    uint16_t key_length, decimals;
};

// `*data_handle`: the table, open for writing and nowhere else; `*memo_handle`: its
// memo file open (-1 for none), `fpt` telling the layout. The index files must be
// closed. Both handles go on with the new files (the table's header read again).
XDSTATUS table_compact(int16_t* data_handle, int16_t* memo_handle, int fpt, const CompactIndex* indexes, int count);
