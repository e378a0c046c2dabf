#pragma once
// Changes to a B-tree index file that survive a stop between any two writes.
//
// An operation (an add with its splits, a delete with its merges) collects the
// blocks it changes in a BlockChanges instead of writing them; the commit then
// writes them in an order where every instant leaves a whole tree, the old one or
// the new one:
//   1. every changed block that the old tree still uses gets a temporary copy at
//      the end of the file, and new blocks are written; inside these, pointers to
//      changed blocks point to the copies;
//   2. one write switches the tree: the topmost changed block (which points to the
//      copies), or the header's root word when the root moves;
//   3. the changed blocks, no longer used, receive their final contents;
//   4. each block that points to a copy is written again pointing to the final
//      block (both hold the same subtree, so every single write keeps a whole
//      tree);
//   5. the copies are cut off the end of the file.
// A stop loses at most the change being made; the bytes left at the end are those
// the format's rules give. A change of one block alone is one write.
//
// Header words other than the root's go around the switch: those that allocate
// (the next free block, a free list's head moving past blocks taken off it) before
// anything else, since a stop after them only leaves unused space; those that
// release (blocks put on a free list) after everything else, since a block is free
// only once no tree uses it.
//
// A change no one write can switch, because its blocks hang from more than one top
// or because blocks point to their neighbours (sibling links, which a copy cannot
// take over while the unchanged neighbours still point to the old block), goes
// through the journal of change_journal.h when the format names one, and is
// refused before its first write otherwise.
//
// Shared by every tree format: the format says how its blocks point to each other.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/core/status.h"
#include "engine/index/change_journal.h"

struct ChangedBlock {
    uint32_t number;
    bool fresh;                  // allocated by this change: the old tree does not use it
    std::vector<uint8_t> bytes;  // final contents
};

struct BlockChanges {
    bool active = false;
    std::vector<ChangedBlock> blocks;
    // Block numbers allocated by this change, and freed by it (formats whose freed
    // blocks look like any other). A change that drops a large tree frees tens of
    // thousands: they are looked up by hash.
    std::unordered_set<uint32_t> fresh;
    std::unordered_set<uint32_t> freed;
    bool root_changed = false;
    uint32_t new_root = 0;
    // Header words written before everything else (allocations) and after (releases).
    std::vector<FileWrite> before_switch, after_switch;

    void begin() {
        active = true;
        blocks.clear();
        reset(where);
        reset(fresh);
        reset(freed);
        root_changed = false;
        new_root = 0;
        before_switch.clear();
        after_switch.clear();
    }
    ChangedBlock* find(uint32_t number);
    // Records `bytes` as the new contents of block `number`.
    void put(uint32_t number, const uint8_t* bytes, size_t size);
    bool is_fresh(uint32_t number) const { return fresh.count(number) != 0; }
    bool is_freed(uint32_t number) const { return freed.count(number) != 0; }

private:
    std::unordered_map<uint32_t, size_t> where;  // block number -> index in `blocks`

    // Clearing a hash container clears its whole bucket array. After a change as
    // large as a tag's build, that array is large, and every one-key change after it
    // would pay for it: a large one is given back instead.
    template <typename Hashed>
    static void reset(Hashed& h) {
        if (h.bucket_count() > 256)
            Hashed().swap(h);
        else if (!h.empty())
            h.clear();
    }
};

// What the commit needs to know of a format.
struct TreeShape {
    void* context;
    // Child block numbers of a block (none for a leaf or a freed block).
    std::vector<uint32_t> (*children)(void* context, const uint8_t* block);
    // Sets child `i` (in the order children() gives them) to `number`.
    void (*set_child)(void* context, uint8_t* block, size_t i, uint32_t number);
    // Whether a block is freed (on the free chain, used by no tree), by its bytes;
    // null when the format tells freed blocks only by BlockChanges::freed.
    bool (*is_freed)(void* context, const uint8_t* block);
    XDSTATUS (*write_block)(void* context, uint32_t number, const uint8_t* bytes);
    XDSTATUS (*write_root)(void* context, uint32_t root);
    // A block at the end of the file for a temporary copy, and cutting `count` of
    // them off again.
    XDSTATUS (*append_block)(void* context, uint32_t* number);
    XDSTATUS (*drop_last_blocks)(void* context, uint32_t count);
    // Header words (BlockChanges::before_switch and after_switch); null when the
    // format has none to write that way.
    XDSTATUS (*write_bytes)(void* context, const FileWrite& bytes) = nullptr;
    // Blocks point to their neighbours on the same level.
    bool sibling_links = false;
    // The journal, for formats that have one: the index's file and name, where
    // block `number` lies, a block's size, the root word as bytes; the journal
    // writes around the handle's cache, which then keeps the blocks written, or
    // forgets everything when the change failed.
    const char* journal_for = nullptr;
    uint16_t file = 0;
    uint32_t block_size = 0;
    uint32_t (*offset_of)(void* context, uint32_t number) = nullptr;
    FileWrite (*root_bytes)(void* context, uint32_t root) = nullptr;
    void (*keep_written)(void* context, uint32_t number, const uint8_t* bytes) = nullptr;
    void (*forget_cached)(void* context) = nullptr;
    // The journal kept open between changes (change_journal.h); null: made and
    // removed for each change. `journal_shared`: other programs share the file,
    // so the kept journal is let go of between changes.
    uint16_t* kept_journal = nullptr;
    bool journal_shared = false;
};

// Writes the collected changes in the order above and ends the change. A change
// no one write switches goes through the format's journal; without one it is
// refused with XD_CORRUPT and nothing written.
XDSTATUS commit_block_changes(BlockChanges& changes, const TreeShape& shape);
