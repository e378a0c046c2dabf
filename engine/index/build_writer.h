#pragma once
// The block writes of a bottom-up index build, gathered into large sequential
// writes.
//
// A build numbers each block when it starts it and writes it when it is full, so
// blocks arrive nearly in order: the leaves in order, and now and then an upper
// block that was started earlier. Blocks at or past the window's start are held
// in the window; when a block lies beyond it, the window goes to the file in one
// write (blocks not yet written in it as zeros, written for real when they come)
// and moves on. Blocks before the window are written as they come. The file's
// final bytes are the same as with one write per block.

#include <cstdint>

#include "engine/core/status.h"

struct BuildWriter;

// `first_block`: the build's first block (those before it, the header, are never
// touched).
BuildWriter* build_writer_new(uint16_t file, uint32_t block_size, uint32_t first_block, uint32_t window_blocks);
// Writes what the window holds and frees the writer (the status of that write).
XDSTATUS build_writer_finish(BuildWriter* writer);
XDSTATUS build_writer_put(BuildWriter* writer, uint32_t number, const uint8_t* bytes);
