// DBT memo files, in two layouts. All numbers are little-endian; block n starts at
// byte n × block size and block 0 holds the header.
//
// dBASE III layout (dialects 1, 3, 5, 6, 7, 66; 512-byte blocks):
//   header   0 u32 next free block (where the next appended memo goes), then zeros
//   memo     the text from the first byte of its block, ended by 0x1A 0x1A, running
//            on through consecutive blocks; line wrapping may have put soft breaks
//            (0x8D 0x0A) in it
// dBASE IV layout (dialect 2; block size 512 × k, k = 1..32):
//   header   0 u32 next available block: head of the free-run chain, or the first
//            block after the used area; 4 u32 0; 8 base name of the table (8 bytes,
//            upper case); 16 u16 0; 18 u8 2; 19 u8 1; 20 u16 block size; 22 u16 0.
//            That is the layout of the files dBASE IV writes and other programs
//            read; a layout with 2, 1 at 20 and the block size at 22 is read too.
//   memo     FF FF 08 00, u32 length (text + these 8 bytes), the text, padding
//   free run 8 bytes at its first block: u32 next run, u32 blocks in this run; the
//            chain ends at a block at or beyond the end of the file
// A new file of either layout is one block long plus one byte 0x1A.

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/memo/memo.h"
#include "engine/memo/memo_common.h"

namespace {

const uint32_t kBlock3 = 512;
const uint32_t kMaxBlocks3 = 128;  // a dBASE III memo ends within 128 blocks

bool layout_known(uint8_t dialect) {
    return dialect == 1 || dialect == 2 || dialect == 3 || dialect == 5 || dialect == 6 || dialect == 7 ||
           dialect == 66;
}

bool dbase4(const MemoFile* m) { return m->dialect == 2; }

XDSTATUS refresh(MemoFile* m) {
    uint8_t word[4];
    XDSTATUS s = xdb_fread_at(m->sh, 0, word, 4);
    if (s) return s;
    m->next_free = get_le32(word);
    return xdb_fsize(m->sh, &m->file_size);
}

XDSTATUS write_next_free(MemoFile* m) {
    uint8_t word[4];
    put_le32(word, m->next_free);
    memcpy(m->header, word, 4);
    return xdb_fwrite_at(m->sh, 0, word, 4, m->commit);
}

bool block_offset(const MemoFile* m, uint32_t block, uint32_t* offset) {
    uint64_t off = (uint64_t)block * m->block_size;
    if (off > 0xFFFFFFFFull) return false;
    *offset = (uint32_t)off;
    return true;
}

// Text with soft line breaks (0x8D 0x0A) so that no line runs over `width`: a
// carriage return within the width ends the line with its line feed; otherwise the
// line ends after its last blank within the width (a blank right at the width
// counts, so the word before it stays whole), or at the width when it has none.
std::string wrap(const char* text, uint32_t length, unsigned width) {
    std::string out;
    uint32_t i = 0;
    while (i < length) {
        uint32_t end = i + width < length ? i + width : length;
        uint32_t cr = i;
        while (cr < end && text[cr] != '\r') cr++;
        if (cr < end) {
            uint32_t stop = cr + 1;
            if (stop < length && text[stop] == '\n') stop++;
            out.append(text + i, stop - i);
            i = stop;
            continue;
        }
        if (end == length) {
            out.append(text + i, end - i);
            break;
        }
        uint32_t cut = end;  // no blank: at the width
        for (uint32_t j = end + 1; j-- > i;) {
            if (text[j] == ' ') {
                cut = j + 1;
                break;
            }
        }
        out.append(text + i, cut - i);
        if (cut < length) out += "\x8D\x0A";
        i = cut;
    }
    return out;
}

// Length of the dBASE III memo at `offset`: bytes before its first 0x1A.
XDSTATUS measure3(MemoFile* m, uint32_t offset, uint32_t* length) {
    char piece[kBlock3];
    for (uint32_t n = 0; n < kMaxBlocks3; n++) {
        uint32_t got = 0;
        XDSTATUS s = xdb_fread_some_at(m->sh, offset + n * kBlock3, piece, kBlock3, &got);
        if (s) return s;
        void* end = memchr(piece, 0x1A, got);
        if (end) {
            *length = n * kBlock3 + (uint32_t)((char*)end - piece);
            return XD_OK;
        }
        if (got < kBlock3) return xdb_report(XD_CORRUPT);
    }
    return xdb_report(XD_BADFIELDSIZE);
}

XDSTATUS write3(MemoFile* m, const char* text, uint32_t length, uint32_t* block, uint16_t options) {
    unsigned width = options & 0xFF;
    std::string body = width && m->dialect != 6 ? wrap(text, length, width) : std::string(text, length);
    // A memo ends at its first 0x1A, and readers look for it within 128 blocks:
    // text holding one, or longer than that with its two end marks, could never be
    // read back as written.
    if (body.find('\x1A') != std::string::npos || body.size() + 2 > kMaxBlocks3 * kBlock3) {
        xdb_fault(XD_BADDATA, true, "a dBASE III memo holds at most %u bytes and no byte 0x1A",
                  kMaxBlocks3 * kBlock3 - 2);
        return xdb_report(XD_BADDATA);
    }
    body += "\x1A\x1A";
    uint32_t at = 0;
    bool in_place = false;
    if ((options & DBT_REPLACE) && *block > 0 && block_offset(m, *block, &at) && at < m->file_size) {
        if (body.size() <= kBlock3) {
            in_place = true;
        } else {
            uint32_t old = 0;
            XDSTATUS s = measure3(m, at, &old);
            if (s < 0) return s;
            in_place = (body.size() + kBlock3 - 1) / kBlock3 <= (old + 2 + kBlock3 - 1) / kBlock3;
        }
    }
    // A next-free block far beyond the end of the file is a damaged header: writing
    // there would blow the file up.
    if (!in_place && (m->next_free == 0 || (uint64_t)m->next_free * kBlock3 > (uint64_t)m->file_size + kBlock3))
        return xdb_report(XD_CORRUPT);
    uint32_t target = in_place ? *block : m->next_free;
    if (!block_offset(m, target, &at)) return xdb_report(XD_SEEKERR);
    XDSTATUS s = xdb_fwrite_at(m->sh, at, body.data(), (uint32_t)body.size(), m->commit);
    if (s) return s;
    if (!in_place) m->next_free += (uint32_t)((body.size() + kBlock3) / kBlock3);
    *block = target;
    return write_next_free(m);
}

// ---- dBASE IV free runs ----

struct Run {
    uint32_t next, count;
};

XDSTATUS read_run(MemoFile* m, uint32_t block, Run* r) {
    uint32_t at;
    uint8_t b[8];
    if (!block_offset(m, block, &at)) return xdb_report(XD_CORRUPT);
    XDSTATUS s = xdb_fread_at(m->sh, at, b, 8);
    if (s) return s;
    r->next = get_le32(b);
    r->count = get_le32(b + 4);
    return XD_OK;
}

XDSTATUS write_run(MemoFile* m, uint32_t block, Run r) {
    uint32_t at;
    uint8_t b[8];
    if (!block_offset(m, block, &at)) return xdb_report(XD_CORRUPT);
    put_le32(b, r.next);
    put_le32(b + 4, r.count);
    return xdb_fwrite_at(m->sh, at, b, 8, m->commit);
}

// Points the link at `prev` (0: the header's word) to `to`.
XDSTATUS relink(MemoFile* m, uint32_t prev, uint32_t to) {
    if (prev == 0) {
        m->next_free = to;
        return XD_OK;
    }
    Run r{};
    XDSTATUS s = read_run(m, prev, &r);
    if (s) return s;
    r.next = to;
    return write_run(m, prev, r);
}

// Gives blocks [block, block + count) back: merged with the free runs that touch
// them (so that freed space does not crumble into runs too small to reuse), then put
// at the head of the chain.
XDSTATUS free_blocks(MemoFile* m, uint32_t block, uint32_t count) {
    uint32_t end = m->file_size / m->block_size;
    bool merged = true;
    XDSTATUS s;
    while (merged) {
        merged = false;
        uint32_t prev = 0, cur = m->next_free, steps = 0;
        while (cur < end && cur > 0) {
            if (++steps > end) return xdb_report(XD_CORRUPT);
            Run r{};
            if ((s = read_run(m, cur, &r))) return s;
            if (cur + r.count == block || block + count == cur) {
                if ((s = relink(m, prev, r.next))) return s;  // out of the chain, into ours
                if (cur < block) block = cur;
                count += r.count;
                merged = true;
                break;
            }
            prev = cur;
            cur = r.next;
        }
    }
    if ((s = write_run(m, block, {m->next_free, count}))) return s;
    m->next_free = block;
    return XD_OK;
}

// A place for `n` blocks: the first free run large enough (the rest of a larger run
// stays in the chain where the run was), else where the chain ends: the first block
// after the used area, as the header says. (Not the file size rounded down to a
// block: another program's last memo need not fill its last block, and its tail
// would be overwritten.)
XDSTATUS take_blocks(MemoFile* m, uint32_t n, uint32_t* block) {
    uint32_t end = m->file_size / m->block_size;
    if (end < 1) end = 1;
    uint32_t prev = 0, cur = m->next_free, last = 0, steps = 0;
    XDSTATUS s;
    while (cur < end && cur > 0) {
        if (++steps > end) return xdb_report(XD_CORRUPT);  // a chain that loops
        Run r{};
        if ((s = read_run(m, cur, &r))) return s;
        if (r.count >= n && r.count > 0) {
            if (r.count > n) {
                if ((s = write_run(m, cur + n, {r.next, r.count - n}))) return s;
                if ((s = relink(m, prev, cur + n))) return s;
            } else if ((s = relink(m, prev, r.next))) {
                return s;
            }
            *block = cur;
            return XD_OK;
        }
        prev = last = cur;
        cur = r.next;
    }
    // At the end: the chain's end mark moves past the new memo. An end mark far
    // beyond the file is a damaged header: writing there would blow the file up.
    uint32_t at_end = cur >= end ? cur : end;
    if ((uint64_t)at_end * m->block_size > (uint64_t)m->file_size + m->block_size) return xdb_report(XD_CORRUPT);
    *block = at_end;
    return relink(m, last, at_end + n);
}

XDSTATUS write4(MemoFile* m, const char* text, uint32_t length, uint32_t* block, uint16_t options) {
    uint32_t bs = m->block_size;
    uint64_t total = (uint64_t)length + 8;
    if (total > 0xFFFFFFFFull) return xdb_report(XD_BADDATA);
    uint32_t n = (uint32_t)((total + bs - 1) / bs);
    uint32_t target = 0, at;
    XDSTATUS s;
    if ((options & DBT_REPLACE) && *block > 0 && block_offset(m, *block, &at) && at < m->file_size) {
        uint8_t head[8];
        if ((s = xdb_fread_at(m->sh, at, head, 8))) return s;
        uint32_t old_blocks = (get_le32(head + 4) + bs - 1) / bs;
        if (head[0] == 0xFF && head[1] == 0xFF && n <= old_blocks) {
            target = *block;
            // The blocks the shorter memo no longer needs are given back.
            if (n < old_blocks && (s = free_blocks(m, *block + n, old_blocks - n))) return s;
        } else if (head[0] == 0xFF && head[1] == 0xFF && old_blocks > 0) {
            // The old blocks become a free run at the head of the chain.
            if ((s = free_blocks(m, *block, old_blocks))) return s;
        }
    }
    if (target == 0 && (s = take_blocks(m, n, &target))) return s;
    std::vector<char> out((size_t)n * bs, 0);
    out[0] = (char)0xFF;
    out[1] = (char)0xFF;
    out[2] = 0x08;
    out[3] = 0x00;
    put_le32((uint8_t*)out.data() + 4, (uint32_t)total);
    memcpy(out.data() + 8, text, length);
    if (!block_offset(m, target, &at)) return xdb_report(XD_SEEKERR);
    if ((s = xdb_fwrite_at(m->sh, at, out.data(), (uint32_t)out.size(), m->commit))) return s;
    *block = target;
    return write_next_free(m);
}

// The new file of a rebuild: same layout and block size, and in the dBASE IV
// layout the name of the table the old one carries (not the temporary file's).
XDSTATUS create_like(const MemoFile* old, const char* name) {
    XDSTATUS s = dbt_create(name, (int16_t)(old->block_size / 512), old->dialect);
    if (s < 0 || old->dialect != 2) return s;
    uint16_t sh;
    uint16_t mode = 0;
    if ((s = xdb_fopen(&sh, name, 0, &mode))) return s;
    s = xdb_fwrite_at(sh, 8, old->header + 8, 8, 1);
    XDSTATUS c = xdb_fclose(sh);
    return s ? s : c;
}

XDSTATUS append(int16_t handle, const char* text, uint32_t length, uint32_t* block) {
    *block = 0;
    return dbt_write(handle, text, length, block, 0);
}

}  // namespace

XDSTATUS dbt_create(const char* name, int16_t factor, uint8_t dialect) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    if (factor < 1 || factor > 32) return xdb_report(XD_BADBLOCKSIZE);
    if (dialect == 0) dialect = 1;
    std::vector<uint8_t> head;
    if (dialect == 2) {
        std::string dir, base;
        memo_split_path(name, &dir, &base);
        size_t dot = base.rfind('.');
        if (dot != std::string::npos) base = base.substr(0, dot);
        if (base.size() > 8) return xdb_report(XD_BADFILENAME);
        uint32_t bs = 512u * (uint32_t)factor;
        head.assign(bs, 0);
        put_le32(head.data(), 1);
        for (size_t i = 0; i < base.size(); i++) head[8 + i] = (uint8_t)toupper((unsigned char)base[i]);
        head[18] = 2;
        head[19] = 1;
        put_le16(head.data() + 20, (uint16_t)bs);
    } else if (layout_known(dialect)) {
        head.assign(kBlock3, 0);
        put_le32(head.data(), 1);
    }
    uint16_t sh;
    if ((s = xdb_fcreate(&sh, name))) return s;
    if (head.empty()) {
        xdb_fclose(sh);
        return xdb_report(XD_BADVERSION);
    }
    head.push_back(0x1A);
    s = xdb_fwrite_big(sh, head.data(), (uint32_t)head.size(), 1);
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

namespace {

XDSTATUS check_header(MemoFile* m) {
    if (m->dialect == 0) m->dialect = 1;
    m->block_size = kBlock3;
    if (!layout_known(m->dialect)) return XD_BADVERSION;
    XDSTATUS s = xdb_fsize(m->sh, &m->file_size);
    if (s == XD_OK && m->file_size < 28) s = XD_NOTMEMO;
    if (s == XD_OK) s = xdb_fread_at(m->sh, 0, m->header, 28);
    if (s == XD_OK && m->dialect == 2) {
        // Files made by dBASE IV itself (and most other programs, and this engine)
        // keep the block size at 20, with 2, 1 or zeros at 18 and 19; a layout with
        // 2, 1 at 20 and 21 and the block size at 22 is read as well.
        uint16_t at20 = get_le16(m->header + 20);
        bool own_layout = m->header[20] == 2 && m->header[21] == 1;
        uint16_t bs = own_layout ? get_le16(m->header + 22) : at20;
        if (bs < 512 || bs > 16384) s = XD_BADBLOCKSIZE;
        else if (own_layout && get_le16(m->header + 24) != 0) s = XD_BADPARAM;
        m->block_size = bs;
    }
    if (s == XD_OK) m->next_free = get_le32(m->header);
    return s;
}

}  // namespace

XDSTATUS dbt_open(int16_t* handle, const char* name, uint16_t open_mode) {
    return memo_open(handle, name, open_mode, XDB_KIND_DBT, dbt_close, check_header);
}

XDSTATUS dbt_close(int16_t handle) { return memo_close(handle, XDB_KIND_DBT); }

XDSTATUS dbt_block_size(int16_t handle, uint32_t* size) { return memo_block_size(handle, XDB_KIND_DBT, size); }

XDSTATUS dbt_read(int16_t handle, uint32_t block, const char** text, uint32_t* length) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, XDB_KIND_DBT, &m);
    if (s) return s;
    if (!text || !length) return xdb_report(XD_NULLPARAM);
    if ((s = refresh(m))) return s;
    uint32_t at;
    if (block < 1 || !block_offset(m, block, &at) || at >= m->file_size) return xdb_report(XD_SEEKERR);
    if (dbase4(m)) {
        uint8_t head[8];
        if ((s = xdb_fread_at(m->sh, at, head, 8))) return s;
        uint32_t total = get_le32(head + 4);
        if (total < 8 || (uint64_t)at + total > m->file_size + 1ull) return xdb_report(XD_CORRUPT);
        char* buf = memo_read_buffer(total - 8 + 1);
        if ((s = xdb_fread_at(m->sh, at + 8, buf, total - 8))) return s;
        buf[total - 8] = 0;
        *text = buf;
        *length = total - 8;
        return xdb_status();
    }
    // dBASE III: block after block until the first 0x1A.
    for (uint32_t n = 0; n < kMaxBlocks3; n++) {
        char* buf = memo_read_buffer((size_t)(n + 1) * kBlock3 + 1);
        uint32_t got = 0;
        if ((s = xdb_fread_some_at(m->sh, at + n * kBlock3, buf + n * kBlock3, kBlock3, &got))) return s;
        void* end = memchr(buf + n * kBlock3, 0x1A, got);
        if (end) {
            *length = (uint32_t)((char*)end - buf);
            buf[*length] = 0;
            *text = buf;
            return xdb_status();
        }
        if (got < kBlock3) return xdb_report(XD_CORRUPT);
    }
    return xdb_report(XD_BADFIELDSIZE);
}

XDSTATUS dbt_write(int16_t handle, const char* text, uint32_t length, uint32_t* block, uint16_t options) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, XDB_KIND_DBT, &m);
    if (s) return s;
    if (m->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    unsigned width = options & 0xFF;
    if (width != 0 && (width < 10 || width > 132)) return xdb_report(XD_BADMEMOLINE);
    if (!text || !block) return xdb_report(XD_NULLPARAM);
    if (!layout_known(m->dialect)) return xdb_report(XD_BADCOMMAND);
    if ((s = refresh(m))) return s;
    s = dbase4(m) ? write4(m, text, length, block, options) : write3(m, text, length, block, options);
    return s ? s : xdb_status();
}

XDSTATUS dbt_free(int16_t handle, uint32_t block) {
    MemoFile* m;
    XDSTATUS s = memo_enter(handle, XDB_KIND_DBT, &m);
    if (s) return s;
    if (m->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if (!layout_known(m->dialect)) return xdb_report(XD_BADCOMMAND);
    if ((s = refresh(m))) return s;
    uint32_t at = 0;
    if (block == 0 || !block_offset(m, block, &at) || at >= m->file_size) return xdb_report(XD_SEEKERR);
    if (dbase4(m)) {
        // The memo's blocks join the free runs.
        uint8_t head[8];
        if ((s = xdb_fread_at(m->sh, at, head, 8))) return s;
        if (head[0] != 0xFF || head[1] != 0xFF) return xdb_report(XD_CORRUPT);
        const uint32_t blocks = (get_le32(head + 4) + m->block_size - 1) / m->block_size;
        if ((s = free_blocks(m, block, blocks))) return s;
        if ((s = write_next_free(m))) return s;
        return xdb_status();
    }
    // dBASE III keeps no free list: only the last memo of the file can be given
    // back, by moving the next free block back to it.
    uint32_t length = 0;
    if ((s = measure3(m, at, &length)) < 0) return s;
    if (block + (length + 2 + kBlock3) / kBlock3 != m->next_free) return xdb_status();
    m->next_free = block;
    if ((s = write_next_free(m))) return s;
    return xdb_status();
}

namespace {
const MemoFormat kDbt = {".DBT", XDB_KIND_DBT, create_like, dbt_open, dbt_read, append, dbt_close};
}  // namespace

XDSTATUS dbt_rebuild(int16_t data_handle, int16_t* memo_handle) { return memo_rebuild(data_handle, memo_handle, kDbt); }

XDSTATUS dbt_rebuild_into(int16_t table, int16_t memo_handle, const char* temp) {
    return memo_rebuild_into(table, memo_handle, kDbt, temp);
}
