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
// What differs between formats comes in through the handle's TreeFormat (see
// tree_cursor.h).

#include <cstdint>

#include "engine/core/status.h"
#include "engine/index/tree_cursor.h"

// Ends a positioning operation whose move gave `s` with the path on an entry of
// `page`: hands that entry out (unless there is none) and forgets the path.
XDSTATUS tree_end_positioning(TreeCursor* c, const uint8_t* page, XDSTATUS s, void* key, uint32_t* record);
// The first or last entry, handed out.
XDSTATUS tree_first_or_last(TreeCursor* c, uint8_t* page, bool last, void* key, uint32_t* record);
// The entry after (before) `key`/`*record` (record 0: none yet, the first or last),
// handed out. When that entry itself is gone, the move still lands on its
// neighbour.
XDSTATUS tree_moved_from(TreeCursor* c, uint8_t* page, bool forward, void* key, uint32_t* record);
