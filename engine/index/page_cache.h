#pragma once
// The blocks of an index file, cached per handle.
//
// Within one operation every block read is kept, so that a walk or a search reads
// each block once. Across operations the cache is kept only while nothing else
// can change the file: the file opened without sharing (no other handle, of this
// process or another, can write it), and the write generation of the OS layer
// unchanged since the handle's last operation (no write through any other handle
// of this process either). Otherwise, as on shared files, each operation starts
// from the file, as the formats' rules ask. The handle's own writes go through the
// cache. The cache is bounded: past its limit, a cached block makes room.
//
// Every tree format uses it the same way: begin at the start of an operation (it
// says whether the header read last time may be trusted), get before reading a
// block, put after reading or writing one, end when the operation succeeded,
// forget when it failed.

#include <cstddef>
#include <cstdint>

struct PageCache;

PageCache* page_cache_new(uint32_t block_size, size_t max_blocks);
void page_cache_free(PageCache* cache);
// Start of an operation. True when everything cached, the header included, is
// still the file's; false after forgetting it all.
bool page_cache_begin(PageCache* cache, bool exclusive, uint32_t generation);
// End of an operation that succeeded: the generation its writes left.
void page_cache_end(PageCache* cache, uint32_t generation);
void page_cache_forget(PageCache* cache);
// The cached bytes of `block`, or null.
const uint8_t* page_cache_get(PageCache* cache, uint32_t block);
void page_cache_put(PageCache* cache, uint32_t block, const uint8_t* bytes);
// Blocks first .. end - 1 no longer exist (the file was cut).
void page_cache_drop_range(PageCache* cache, uint32_t first, uint32_t end);

// Test switch: at the start of every operation, drop cached blocks at random
// (seed 0 turns it off), so that tests find any place that relies on a block
// being cached rather than on the file.
void page_cache_set_random_drops(unsigned seed);
