// FPT memo files (FoxPro). All numbers are big-endian; block n starts at byte
// n × block size.
//
//   header   0 u32 next free block (where the next memo is appended); 4 u32 block
//            size (1, or 33..16384; created as 512 × k for k <= 32, else k); the
//            header area is the first ceil(512 / block size) blocks, zeros beyond
//   memo     u32 block type (1 text), u32 text length, the text; it takes
//            ceil((length + 8) / block size) consecutive blocks
// Memos are only ever appended; a replaced memo's blocks stay until a rebuild.

#include <cstring>
#include <vector>

#include "engine/memo/memo.h"
#include "engine/memo/memo_common.h"

namespace {

uint32_t be32(const uint8_t* p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }
void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (24 - 8 * i));
}

XDSTATUS refresh(MemoFile* m) {
    uint8_t word[4];
    XDSTATUS s = xdb_fread_at(m->sh, 0, word, 4);
    if (s) return s;
    m->next_free = be32(word);
    return xdb_fsize(m->sh, &m->file_size);
}

XDSTATUS create_like(const MemoFile* old, const char* name) {
    return fpt_create(name, (int16_t)(old->block_size >= 512 ? old->block_size / 512 : old->block_size));
}

XDSTATUS append(int16_t handle, const char* text, uint32_t length, uint32_t* block) {
    return fpt_write(handle, text, length, block);
}

}  // namespace

XDSTATUS fpt_create(const char* name, int16_t factor) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    if (factor < 1 || factor > 511) return xdb_report(XD_BADBLOCKSIZE);
    uint32_t bs = factor <= 32 ? 512u * (uint32_t)factor : (uint32_t)factor;
    uint32_t header_blocks = (bs + 511) / bs;
    uint8_t head[8];
    put_be32(head, header_blocks);
    put_be32(head + 4, bs);
    uint16_t sh;
    if ((s = xdb_fcreate(&sh, name))) return s;
    s = xdb_fwrite(sh, head, 8, 1);
    if (s == XD_OK) xdb_fset_size(sh, bs * header_blocks);
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

namespace {

XDSTATUS check_header(MemoFile* m) {
    if (m->dialect != 0 && m->dialect != 4) return XD_BADVERSION;
    XDSTATUS s = xdb_fsize(m->sh, &m->file_size);
    if (s == XD_OK && m->file_size < 512) s = XD_NOTMEMO;
    if (s == XD_OK) s = xdb_fread_at(m->sh, 0, m->header, 8);
    if (s == XD_OK) {
        m->next_free = be32(m->header);
        m->block_size = be32(m->header + 4);
        if (m->block_size != 1 && (m->block_size < 33 || m->block_size > 16384)) s = XD_BADBLOCKSIZE;
    }
    return s;
}

}  // namespace

XDSTATUS fpt_open(int16_t* handle, const char* name, uint16_t open_mode) {
    return memo_open(handle, name, open_mode, XDB_KIND_FPT, fpt_close, check_header);
}

XDSTATUS fpt_close(int16_t handle) { return memo_close(handle, XDB_KIND_FPT); }

XDSTATUS fpt_block_size(int16_t handle, uint32_t* size) { return memo_block_size(handle, XDB_KIND_FPT, size); }

XDSTATUS fpt_read(int16_t handle, uint32_t block, const char** text, uint32_t* length) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, XDB_KIND_FPT, &m);
    if (s) return s;
    if (!text || !length) return xdb_report(XD_NULLPARAM);
    if ((s = refresh(m))) return s;
    if (block < 1 || block >= m->next_free) return xdb_report(XD_SEEKERR);
    uint64_t at = (uint64_t)block * m->block_size;
    uint8_t head[8];
    if (at + 8 > m->file_size) return xdb_report(XD_CORRUPT);
    if ((s = xdb_fread_at(m->sh, (uint32_t)at, head, 8))) return s;
    uint32_t n = be32(head + 4);
    if (at + 8 + n > m->file_size) return xdb_report(XD_CORRUPT);  // a length beyond the file
    char* buf = memo_read_buffer((size_t)n + 1);
    if ((s = xdb_fread_at(m->sh, (uint32_t)at + 8, buf, n))) return s;
    buf[n] = 0;
    *text = buf;
    *length = n;
    return xdb_status();
}

XDSTATUS fpt_write(int16_t handle, const char* text, uint32_t length, uint32_t* block) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, XDB_KIND_FPT, &m);
    if (s) return s;
    if (m->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if (!text || !block) return xdb_report(XD_NULLPARAM);
    if ((s = refresh(m))) return s;
    uint32_t bs = m->block_size;
    uint64_t at = (uint64_t)m->next_free * bs;
    // A next-free block far beyond the end of the file is a damaged header.
    if (m->next_free == 0 || at > (uint64_t)m->file_size + bs) return xdb_report(XD_CORRUPT);
    uint64_t used = ((uint64_t)length + 8 + bs - 1) / bs;
    if (at + used * bs > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);  // 32-bit files
    xdb_fset_size(m->sh, (uint32_t)at);
    std::vector<uint8_t> out(8 + (size_t)length);
    put_be32(out.data(), 1);
    put_be32(out.data() + 4, length);
    memcpy(out.data() + 8, text, length);
    if ((s = xdb_fwrite_at(m->sh, (uint32_t)at, out.data(), (uint32_t)out.size(), m->commit))) return s;
    *block = m->next_free;
    m->next_free += (uint32_t)used;
    uint8_t word[4];
    put_be32(word, m->next_free);
    if ((s = xdb_fwrite_at(m->sh, 0, word, 4, m->commit))) return s;
    return xdb_status();
}

XDSTATUS fpt_free(int16_t handle, uint32_t block) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, XDB_KIND_FPT, &m);
    if (s) return s;
    if (m->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if ((s = refresh(m))) return s;
    const uint32_t bs = m->block_size;
    const uint64_t at = (uint64_t)block * bs;
    if (block == 0 || at + 8 > m->file_size) return xdb_report(XD_SEEKERR);
    uint8_t head[8];
    if ((s = xdb_fread_at(m->sh, (uint32_t)at, head, 8))) return s;
    const uint64_t used = ((uint64_t)be32(head + 4) + 8 + bs - 1) / bs;
    // Only the last memo of the file can be given back: the next free block moves
    // back to it (one write of the header word).
    if ((uint64_t)block + used != m->next_free) return xdb_status();
    m->next_free = block;
    uint8_t word[4];
    put_be32(word, m->next_free);
    if ((s = xdb_fwrite_at(m->sh, 0, word, 4, m->commit))) return s;
    return xdb_status();
}

namespace {
const MemoFormat kFpt = {".FPT", XDB_KIND_FPT, create_like, fpt_open, fpt_read, append, fpt_close};
}  // namespace

XDSTATUS fpt_rebuild(int16_t data_handle, int16_t* memo_handle) { return memo_rebuild(data_handle, memo_handle, kFpt); }

XDSTATUS fpt_rebuild_into(int16_t table, int16_t memo_handle, const char* temp) {
    return memo_rebuild_into(table, memo_handle, kFpt, temp);
}
