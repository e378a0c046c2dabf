// Gathered block writes of a bottom-up index build (see build_writer.h).

#include "engine/index/build_writer.h"

#include <cstring>
#include <new>
#include <vector>

#include "engine/core/engine.h"

struct BuildWriter {
    uint16_t file;
    uint32_t block_size, window_blocks;
    uint32_t base = 0;  // the window's first block
    uint32_t end = 0;   // one past the highest block held (0: none held)
    std::vector<uint8_t> window;
};

namespace {

XDSTATUS flush(BuildWriter* w) {
    if (w->end > w->base) {
        uint64_t offset = (uint64_t)w->base * w->block_size, size = (uint64_t)(w->end - w->base) * w->block_size;
        if (offset + size > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);
        XDSTATUS s = xdb_fwrite_at(w->file, (uint32_t)offset, w->window.data(), (uint32_t)size, 0);
        if (s) return s;
        w->base = w->end;
    }
    memset(w->window.data(), 0, w->window.size());
    return XD_OK;
}

}  // namespace

BuildWriter* build_writer_new(uint16_t file, uint32_t block_size, uint32_t first_block, uint32_t window_blocks) {
    BuildWriter* w = new (std::nothrow) BuildWriter();
    if (!w) return nullptr;
    w->file = file;
    w->block_size = block_size;
    w->base = w->end = first_block;
    w->window_blocks = window_blocks ? window_blocks : 1;
    try {
        w->window.assign((size_t)w->window_blocks * block_size, 0);
    } catch (...) {
        delete w;
        return nullptr;
    }
    return w;
}

XDSTATUS build_writer_put(BuildWriter* w, uint32_t number, const uint8_t* bytes) {
    if (number < w->base) {
        uint64_t offset = (uint64_t)number * w->block_size;
        if (offset + w->block_size > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);
        return xdb_fwrite_at(w->file, (uint32_t)offset, bytes, w->block_size, 0);
    }
    if (number - w->base >= w->window_blocks) {
        XDSTATUS s = flush(w);
        if (s) return s;
        // A jump past the window: the blocks skipped are written as they come.
        if (number - w->base >= w->window_blocks) w->base = number;
        w->end = w->base;
    }
    memcpy(&w->window[(size_t)(number - w->base) * w->block_size], bytes, w->block_size);
    if (number + 1 > w->end) w->end = number + 1;
    return XD_OK;
}

XDSTATUS build_writer_finish(BuildWriter* w) {
    XDSTATUS s = flush(w);
    delete w;
    return s;
}
