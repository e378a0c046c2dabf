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
// Shared by every tree format: the format says how its blocks point to each other.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/core/status.h"

struct ChangedBlock {
    uint32_t number;
    bool fresh;                  // allocated by this change: the old tree does not use it
    std::vector<uint8_t> bytes;  // final contents
};

struct BlockChanges {
    bool active = false;
    std::vector<ChangedBlock> blocks;
    std::vector<uint32_t> fresh;  // numbers allocated by this change
    std::vector<uint32_t> freed;  // numbers freed by this change (formats whose freed blocks look like any other)
    bool root_changed = false;
    uint32_t new_root = 0;

    void begin() {
        active = true;
        blocks.clear();
        fresh.clear();
        freed.clear();
        root_changed = false;
        new_root = 0;
    }
    ChangedBlock* find(uint32_t number);
    // Records `bytes` as the new contents of block `number`.
    void put(uint32_t number, const uint8_t* bytes, size_t size);
    bool is_fresh(uint32_t number) const;
    bool is_freed(uint32_t number) const;
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
};

// Writes the collected changes in the order above and ends the change. A change
// whose used blocks do not hang from one of them (more than one top), the root
// unchanged, is refused with XD_CORRUPT and nothing written: no one write
// switches it.
XDSTATUS commit_block_changes(BlockChanges& changes, const TreeShape& shape);
