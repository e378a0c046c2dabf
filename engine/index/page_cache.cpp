// The per-handle block cache of index files (see page_cache.h).

#include "engine/index/page_cache.h"

#include <cstring>
#include <iterator>
#include <new>
#include <random>
#include <unordered_map>
#include <vector>

struct PageCache {
    uint32_t block_size;
    size_t max_blocks;
    std::unordered_map<uint32_t, uint32_t> slot_of;  // block number -> slot in the pool
    std::vector<uint8_t> pool;                        // slots of block_size bytes
    std::vector<uint32_t> free_slots;
    bool trusted = false;  // kept from the last operation
    uint32_t generation = 0;
    // The block found last: a walk asks for its leaf again at every step.
    uint32_t last_block = 0, last_slot = 0;
    bool last_valid = false;
};

namespace {

unsigned g_drop_seed = 0;
std::mt19937 g_drop_rng;

void drop(PageCache* c, std::unordered_map<uint32_t, uint32_t>::iterator it) {
    if (c->last_valid && c->last_block == it->first) c->last_valid = false;
    c->free_slots.push_back(it->second);
    c->slot_of.erase(it);
}

}  // namespace

PageCache* page_cache_new(uint32_t block_size, size_t max_blocks) {
    PageCache* c = new (std::nothrow) PageCache;
    if (!c) return nullptr;
    c->block_size = block_size;
    c->max_blocks = max_blocks;
    return c;
}

void page_cache_free(PageCache* cache) { delete cache; }

// Forgetting costs what is held, not what the file has: an operation on a shared
// file holds a few blocks.
void page_cache_forget(PageCache* c) {
    // Entry by entry: clear() would zero every bucket the map ever grew to, on
    // every operation of a shared file once the cache was full.
    for (auto it = c->slot_of.begin(); it != c->slot_of.end();) {
        c->free_slots.push_back(it->second);
        it = c->slot_of.erase(it);
    }
    c->trusted = false;
    c->last_valid = false;
}

bool page_cache_begin(PageCache* c, bool exclusive, uint32_t generation) {
    if (!exclusive || !c->trusted || generation != c->generation) {
        page_cache_forget(c);
        return false;
    }
    if (g_drop_seed) {
        for (auto it = c->slot_of.begin(); it != c->slot_of.end();) {
            auto next = std::next(it);
            if (g_drop_rng() % 2) drop(c, it);
            it = next;
        }
    }
    return true;
}

void page_cache_end(PageCache* c, uint32_t generation) {
    c->generation = generation;
    c->trusted = true;
}

const uint8_t* page_cache_get(PageCache* c, uint32_t block) {
    if (c->last_valid && c->last_block == block) return &c->pool[(size_t)c->last_slot * c->block_size];
    auto it = c->slot_of.find(block);
    if (it == c->slot_of.end()) return nullptr;
    c->last_block = block;
    c->last_slot = it->second;
    c->last_valid = true;
    return &c->pool[(size_t)it->second * c->block_size];
}

void page_cache_put(PageCache* c, uint32_t block, const uint8_t* bytes) {
    auto it = c->slot_of.find(block);
    uint32_t slot;
    if (it != c->slot_of.end()) {
        slot = it->second;
    } else {
        // Full: one block goes, whichever the table gives first (what stays
        // cached is still the file's).
        if (c->slot_of.size() >= c->max_blocks) drop(c, c->slot_of.begin());
        if (!c->free_slots.empty()) {
            slot = c->free_slots.back();
            c->free_slots.pop_back();
        } else {
            slot = (uint32_t)(c->pool.size() / c->block_size);
            c->pool.resize(c->pool.size() + c->block_size);
        }
        c->slot_of[block] = slot;
    }
    memcpy(&c->pool[(size_t)slot * c->block_size], bytes, c->block_size);
}

void page_cache_drop_range(PageCache* c, uint32_t first, uint32_t end) {
    if (end - first > c->slot_of.size()) {
        for (auto it = c->slot_of.begin(); it != c->slot_of.end();) {
            auto next = std::next(it);
            if (it->first >= first && it->first < end) drop(c, it);
            it = next;
        }
        return;
    }
    for (uint32_t b = first; b < end; b++) {
        auto it = c->slot_of.find(b);
        if (it != c->slot_of.end()) drop(c, it);
    }
}

void page_cache_set_random_drops(unsigned seed) {
    g_drop_seed = seed;
    g_drop_rng.seed(seed);
}
