// NDX index files (dBASE III).
//
// The file is a sequence of 512-byte blocks; block n starts at byte n × 512; all
// integers are little-endian.
//   header (block 0)
//     0   u32 root block            4   u32 block count (the next block to append)
//     8   u32 reserved              12  u16 key length (1..100; 8 for numbers, dates)
//     14  u16 keys per block        16  u16 key type: 0 character, 1 numeric/date
//     18  u16 entry size (8 + key length, rounded up to a multiple of 4)
//     23  u8  unique                24  key expression, zero-terminated (<= 220)
//   B-tree block (1 and up)
//     0   u32 key count (only the low byte is used; 255 marks a freed block)
//     4   entries of entry size: u32 child (0 in a leaf), u32 record number (0 in
//         an inner block), the key; an inner block with n entries has its rightmost
//         child in the child field of slot n. The child of entry i holds the keys up
//         to and including key i.
// Keys: character keys blank-padded; numeric keys little-endian doubles; date keys
// the day number as a double (ndx_date_key), 1.0E100 for the blank date.
//
// Nothing read from the file is trusted across two operations: each positioning
// operation re-reads the root and the block count, and forgets its path at the end.

#include "engine/index/ndx/ndx.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/core/byteorder.h"
#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/os.h"
#include "engine/index/free_pages.h"
#include "engine/index/index_format.h"
#include "engine/index/ndx/dbase_tree.h"
#include "engine/index/page_cache.h"
#include "engine/index/rebuild.h"
#include "engine/index/tree_check.h"

namespace {

const uint32_t kBlock = 512;

struct NdxFile {
    DbaseTree tree;  // first: the tree turns back into its file
    IndexFile file;
    uint8_t header[248];
    uint16_t key_type;
    uint32_t free_head;
    // Root and block count as this handle left them: when the file says otherwise,
    // another handle has changed the tree (a compaction may have moved blocks), and
    // the blocks this handle freed are no longer known to be free.
    uint32_t known_root, known_count;
    uint8_t header_modified;
};
static_assert(sizeof(NdxFile) <= 4096, "an NDX handle's block fits the engine's control block");

struct Block {
    uint8_t bytes[kBlock];
};

NdxFile* file_of(DbaseTree* t) { return (NdxFile*)t; }

XDSTATUS enter(int16_t handle, NdxFile** f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_NDX, &block))) return s;
    *f = (NdxFile*)block;
    return XD_OK;
}

// Notes the header as this handle leaves it (see known_root).
void note_header(NdxFile* f) {
    f->known_root = f->tree.root;
    f->known_count = f->tree.end;
}

XDSTATUS write_word(NdxFile* f, uint32_t offset, uint32_t value) {
    uint8_t word[4];
    put_le32(word, value);
    return xdb_fwrite_at(f->file.sh, offset, word, 4, 1);
}

// The header, read and checked when the file is opened.
XDSTATUS read_header(DbaseTree* t, uint32_t size) {
    NdxFile* f = file_of(t);
    XDSTATUS s = xdb_fread_at(f->file.sh, 0, f->header, size < 248 ? (size < 24 ? 24 : size) : 248);
    if (s == XD_OK) {
        t->root = get_le32(f->header);
        t->end = get_le32(f->header + 4);
        t->key_length = get_le16(f->header + 12);
        t->max_keys = get_le16(f->header + 14);
        f->key_type = get_le16(f->header + 16);
        t->entry_size = get_le16(f->header + 18);
        t->unique = f->header[23] != 0;
        uint16_t kl = t->key_length, es = t->entry_size;
        size_t expr_length = strnlen((const char*)f->header + 24, 224);
        if (kl < 1 || kl > 100)
            s = xdb_fault(XD_BADKEYSIZE, true, "the NDX header's key length %u is outside 1..100", kl);
        else if (es != (((kl + 1) & ~1) + 8) && es != (((kl + 3) & ~1) + 8) && es != kl + 8)
            s = xdb_fault(XD_BADITEMSIZE, true, "the NDX header's entry size %u does not fit a key of %u bytes", es, kl);
        else if (t->root < 1 || t->root > t->end)
            s = xdb_fault(XD_BADROOT, true, "the NDX root block %u is outside the %u blocks", t->root, t->end);
        else if (t->max_keys * es > 508 || t->max_keys < 1)
            s = xdb_fault(XD_BADMAXKEYS, true, "%u keys of %u bytes do not fit an NDX block", t->max_keys, es);
        else if (expr_length > 220)
            s = xdb_fault(XD_BADKEYEXPR, true, "the NDX key expression does not end within 220 characters");
        else if (f->key_type > 1)
            s = xdb_fault(XD_BADKEYTYPE, true, "the NDX key type %u is neither 0 (text) nor 1 (numbers, dates)", f->key_type);
    }
    t->kind = f->key_type == 0 ? kDbaseText : kDbaseDouble;
    return s ? s : index_file_set_pages(&f->file, kBlock, kBlock, 0);
}

// The header's root and block count, read again when the cache cannot be
// trusted; the blocks this handle freed are forgotten when another handle has
// changed the tree.
XDSTATUS refresh(DbaseTree* t) {
    NdxFile* f = file_of(t);
    uint8_t head[8];
    XDSTATUS s = xdb_fread_at(f->file.sh, 0, head, 8);
    if (s) return s;
    t->root = get_le32(head);
    t->end = get_le32(head + 4);
    if (f->free_head && (t->root != f->known_root || t->end != f->known_count)) f->free_head = 0;
    return XD_OK;
}

// A block at the end: the count (offset 4) is written at once, since it must
// cover every block written.
XDSTATUS append(DbaseTree* t, uint32_t* b) {
    NdxFile* f = file_of(t);
    if ((uint64_t)(t->end + 1) * kBlock > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);
    // A block count far beyond the file is a damaged header: growing the file to
    // it would blow it up.
    uint32_t size = 0;
    XDSTATUS s = xdb_fsize(f->file.sh, &size);
    if (s) return s;
    if ((uint64_t)t->end * kBlock > (uint64_t)size + kBlock) return xdb_report(XD_CORRUPT);
    *b = t->end++;
    xdb_fset_size(f->file.sh, t->end * kBlock);
    return write_word(f, 4, t->end);
}

XDSTATUS drop_last(DbaseTree* t, uint32_t count) {
    NdxFile* f = file_of(t);
    t->end -= count;
    XDSTATUS s = write_word(f, 4, t->end);
    if (s) return s;
    xdb_fset_size(f->file.sh, t->end * kBlock);
    page_cache_drop_range(f->file.cache, t->end, t->end + count);
    return XD_OK;
}

bool is_freed(const uint8_t* block) { return block[0] == 255; }

// The freed blocks: marked 255, chained through their word at 4 from a head this
// handle keeps (the file has no list). A block is taken only while it is still
// inside the file and still marked freed; otherwise the list is stale (see
// known_root) and forgotten (see free_pages.h).
FreePages free_blocks(DbaseTree* t) {
    FreePages fp{};
    fp.context = t;
    fp.head = &file_of(t)->free_head;
    fp.next_of = [](void* c, uint32_t b, uint32_t* next) {
        DbaseTree* t = (DbaseTree*)c;
        Block blk;
        if (!dbase_page_in_file(t, b) || dbase_read_page(t, b, blk.bytes) != XD_OK || !is_freed(blk.bytes)) return false;
        *next = get_le32(blk.bytes + 4);
        return true;
    };
    fp.write_freed = [](void* c, uint32_t b, uint32_t next) {
        Block block;
        memset(block.bytes, 0, kBlock);
        block.bytes[0] = 255;
        put_le32(block.bytes + 4, next);
        return dbase_write_page((DbaseTree*)c, b, block.bytes);
    };
    fp.append = [](void* c, uint32_t* b) { return append((DbaseTree*)c, b); };
    fp.stale_head_forgotten = true;
    return fp;
}

const DbaseFileOps kNdxFile = {
    read_header,
    nullptr,
    refresh,
    [](DbaseTree* t, uint32_t root) { return write_word(file_of(t), 0, root); },
    append,
    drop_last,
    free_blocks,
    nullptr,
    [](DbaseTree* t, XDSTATUS s) {
        if (s < 0) file_of(t)->free_head = 0;  // what it freed may not be marked in the file
        note_header(file_of(t));
    },
    is_freed,
};

// Where an NDX tree's things lie (see dbase_tree.h).
void lay_out(NdxFile* f) {
    DbaseTree* t = &f->tree;
    t->ops = &kNdxFile;
    t->owner = f;
    t->page_size = kBlock;
    t->blocks_per_page = 1;
    t->first_page = 1;
    t->head = 4;
    t->record_at = 4;
    t->key_at = 8;
    t->wide_count = false;
    t->leaf_by_last = false;
}

const DbaseBlankDates kBlankDates = {kNdxBlankDate, kNdxBlankDateOld};

void number_form(double value, uint8_t* key) { memcpy(key, &value, 8); }
void date_form(int year, int month, int day, uint8_t* key) {
    const double k = year == 0 ? kNdxBlankDate : ndx_date_key(year, month, day);
    memcpy(key, &k, 8);
}
const DbaseKeyForms kForms = {number_form, date_form};

XDSTATUS compact(NdxFile* f);

}  // namespace

// Date keys are the true Julian day number of the date, as the NDX files of dBASE
// and of other dBASE-family programs hold them (1900-01-01 is 2415021; a formula
// that counts every fourth year as a leap year gives one or two days less before
// 1900-03-01, and those dates could not be found in other programs' files).
double ndx_date_key(int y, int m, int d) { return (double)xdb_julian_day(y, m, d); }

bool ndx_date_from_key(double key, int* year, int* month, int* day) {
    if (!std::isfinite(key) || key < ndx_date_key(1, 1, 1) || key > ndx_date_key(9999, 12, 31) ||
        key != std::trunc(key))
        return false;  // the blank date (either form), or no date
    xdb_from_julian_day((int32_t)key, year, month, day);
    return true;
}

bool ndx_is_blank_date_key(double key) { return key == kNdxBlankDate || key == kNdxBlankDateOld; }

XDSTATUS ndx_create(const char* name, uint8_t key_type, const char* expression, uint16_t key_length) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name || !expression) return xdb_report(XD_NULLPARAM);
    char expr[256];
    index_normal_expression(expression, expr, sizeof expr);
    const size_t n = strlen(expr);
    if (n > 220) return xdb_report(XD_BADKEYEXPR);
    uint8_t header[kBlock] = {0};
    if (key_type & 0x80) {
        key_type &= 0x7F;
        header[23] = 1;
    }
    key_type = (uint8_t)toupper(key_type);
    uint16_t type;
    if (key_type == 'C') {
        if (key_length < 1 || key_length > 100) return xdb_report(XD_BADKEYSIZE);
        type = 0;
    } else if (key_type == 'D' || key_type == 'N') {
        type = 1;
        key_length = 8;
    } else {
        return xdb_report(XD_BADKEYTYPE);
    }
    uint16_t entry_size = (uint16_t)((8 + key_length + 3) & ~3);
    put_le32(header, 1);
    put_le32(header + 4, 2);
    put_le16(header + 12, key_length);
    put_le16(header + 14, (uint16_t)(504 / entry_size));
    put_le16(header + 16, type);
    put_le16(header + 18, entry_size);
    memcpy(header + 24, expr, n);
    uint8_t root[kBlock] = {0};
    uint16_t sh;
    if ((s = xdb_fcreate(&sh, name))) return s;
    s = xdb_fwrite(sh, header, kBlock, 1);
    if (s == XD_OK) s = xdb_fwrite(sh, root, kBlock, 1);
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

XDSTATUS ndx_open(int16_t* handle, const char* name, uint16_t open_mode) {
    xdb_clear_fault();
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    *handle = -1;
    uint8_t dialect = (uint8_t)(open_mode & 0xFF);
    if (dialect != 0 && dialect != 1 && dialect != 2 && dialect != 7) return xdb_report(XD_BADVERSION);
    int16_t h;
    void* block;
    if ((s = xdb_alloc_slot(XDB_KIND_NDX, &h, &block))) return s;
    xdb_register_closer(XDB_KIND_NDX, ndx_close);
    NdxFile* f = (NdxFile*)block;
    uint32_t size = 0;
    if ((s = index_file_open(&f->file, name, xdb_expand_open_mode(open_mode), &size))) {
        xdb_release_slot(h);
        return s;
    }
    lay_out(f);
    f->tree.cursor.file = &f->file;
    s = read_header(&f->tree, size);
    if (s == XD_OK) s = dbase_tree_init(&f->tree, &f->file);
    if (s != XD_OK) {
        xdb_report(s);
        tree_cursor_free(&f->tree.cursor);
        index_file_close(&f->file);
        xdb_set_status(s);
        xdb_release_slot(h);
        return s;
    }
    // The expression without blanks, upper-cased.
    index_normal_expression((const char*)f->header + 24, (char*)f->header + 24, 222);
    note_header(f);
    *handle = h;
    if ((uint64_t)f->tree.end * kBlock != size) xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

XDSTATUS ndx_close(int16_t handle) {
    NdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    // Compaction moves blocks and rewrites the header's root and count: only a
    // handle that has the file to itself may do it. On a shared file another
    // handle may have changed both since this one's last operation, and the
    // blocks this handle freed stay as unused space. A damaged tree that cannot
    // be compacted is still closed: the status tells.
    XDSTATUS compacted = XD_OK;
    if (f->free_head && !(f->file.file_mode & XDB_FILE_SHARED)) compacted = compact(f);
    if (compacted < 0) xdb_set_status(XD_OK);
    if (f->header_modified) {
        uint8_t head[8];
        put_le32(head, f->tree.root);
        put_le32(head + 4, f->tree.end);
        if ((s = xdb_fwrite_at(f->file.sh, 0, head, 8, 1))) {
            // The handle goes all the same: kept, it would hold the file open for
            // good (nothing could delete a failed build) with no way to finish.
            xdb_set_status(XD_OK);
            tree_close(handle, &f->tree.cursor);
            return xdb_report(s);
        }
        f->header_modified = 0;
    }
    s = tree_close(handle, &f->tree.cursor);
    if (compacted < 0) return xdb_report(compacted);
    return s ? s : xdb_status();
}

XDSTATUS ndx_info(int16_t handle, NdxInfo* info) {
    NdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    info->type = f->key_type == 0 ? 'C' : 'N';
    info->key_length = f->tree.key_length;
    info->unique = f->tree.unique ? 128 : 0;
    const char* e = (const char*)f->header + 24;
    info->expression_length = (uint16_t)strlen(e);
    snprintf(info->expression, sizeof info->expression, "%s", e);
    info->keys_per_block = f->tree.max_keys;
    info->root = f->tree.root;
    info->block_count = f->tree.end;
    info->file_name = f->file.name;
    return xdb_status();
}

#define NDX_TREE(handle, t)                              \
    NdxFile* f_ = nullptr;                               \
    if (XDSTATUS e_ = enter(handle, &f_)) return e_;     \
    DbaseTree* t = &f_->tree

XDSTATUS ndx_first(int16_t handle, void* key, uint32_t* recno) {
    NDX_TREE(handle, t);
    return dbase_first_or_last(t, key, recno, false);
}
XDSTATUS ndx_last(int16_t handle, void* key, uint32_t* recno) {
    NDX_TREE(handle, t);
    return dbase_first_or_last(t, key, recno, true);
}
XDSTATUS ndx_next(int16_t handle, void* key, uint32_t* recno) {
    NDX_TREE(handle, t);
    return dbase_step(t, key, recno, true);
}
XDSTATUS ndx_previous(int16_t handle, void* key, uint32_t* recno) {
    NDX_TREE(handle, t);
    return dbase_step(t, key, recno, false);
}
XDSTATUS ndx_resync(int16_t handle, void* key, uint32_t* recno) {
    NDX_TREE(handle, t);
    return dbase_resync(t, key, recno);
}
XDSTATUS ndx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    NDX_TREE(handle, t);
    return dbase_seek(t, key, key_size, recno, mode, f_->key_type == 1 ? &kBlankDates : nullptr);
}
XDSTATUS ndx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    NDX_TREE(handle, t);
    return dbase_add(t, key, key_size, recno);
}
XDSTATUS ndx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    NDX_TREE(handle, t);
    return dbase_delete(t, key, key_size, recno);
}

int ndx_compare_keys(int character, const void* a, const void* b, uint16_t length) {
    if (character) return xdb_compare_keys(a, b, length);
    return dbase_compare_doubles((const uint8_t*)a, (const uint8_t*)b);
}

// ---- Compaction at close ----

namespace {

// Finds the parent of block `u` by walking the tree (for blocks that have no key
// to search by, as empty leaves left by older writers).
bool find_parent(NdxFile* f, uint32_t at, uint32_t u, int depth, uint32_t* parent, int* index) {
    DbaseTree* t = &f->tree;
    if (depth >= kMaxTreeDepth) return false;
    Block b;
    if (dbase_read_page(t, at, b.bytes) != XD_OK || !dbase_sane(t, b.bytes) || dbase_is_leaf(t, b.bytes)) return false;
    for (int i = 0; i <= dbase_count(t, b.bytes); i++) {
        uint32_t c = dbase_child(t, b.bytes, i);
        if (c == u) {
            *parent = at;
            *index = i;
            return true;
        }
        if (find_parent(f, c, u, depth + 1, parent, index)) return true;
    }
    return false;
}

// Moves block u to block f's place: its parent (found by searching u's first entry)
// points to the new place. The copy is written first, the parent's pointer after:
// a stop in between leaves the tree as it was.
XDSTATUS move_block(NdxFile* f, uint32_t u, uint32_t to) {
    DbaseTree* t = &f->tree;
    TreePath& path = t->cursor.path;
    Block ub, leaf;
    XDSTATUS s = dbase_read_page(t, u, ub.bytes);
    if (s) return s;
    if ((s = dbase_write_page(t, to, ub.bytes))) return s;
    if (u == t->root) return dbase_set_root(t, to);
    uint32_t pno = 0;
    int pidx = -1;
    if ((s = dbase_descend(t, u, 0, false, leaf.bytes))) return s;
    if (dbase_count(t, leaf.bytes) > 0) {
        uint8_t k[100];
        memcpy(k, dbase_key(t, leaf.bytes, 0), t->key_length);
        uint32_t r = dbase_record(t, leaf.bytes, 0);
        bool no_smaller;
        if (dbase_search(t, k, t->key_length, r, NDX_EXACT, leaf.bytes, &no_smaller) == XD_OK) {
            for (int l = 1; l <= path.depth; l++)
                if (path.page[l] == u) {
                    pno = path.page[l - 1];
                    pidx = path.index[l - 1];
                }
        }
        xdb_set_status(XD_OK);
    }
    if (pidx < 0 && !find_parent(f, t->root, u, 0, &pno, &pidx)) return xdb_report(XD_CORRUPT);
    Block p;
    if ((s = dbase_read_page(t, pno, p.bytes))) return s;
    put_le32(dbase_entry(t, p.bytes, pidx), to);
    return dbase_write_page(t, pno, p.bytes);
}

// Fills the freed blocks with the last used ones and cuts the file after them.
XDSTATUS compact(NdxFile* f) {
    DbaseTree* t = &f->tree;
    const uint32_t blocks_before = t->end;
    uint32_t end = t->end;
    XDSTATUS s;
    for (uint32_t fb = f->free_head, steps = 0; fb != 0; steps++) {
        if (steps > t->end) return xdb_report(XD_CORRUPT);
        Block freed;
        if ((s = dbase_read_page(t, fb, freed.bytes))) return xdb_report(XD_CORRUPT);
        // A block on the list that the file does not show freed (its write failed,
        // or another handle changed the tree) ends the compaction: moving a block
        // into it could overwrite a live one.
        if (!is_freed(freed.bytes)) break;
        uint32_t next = get_le32(freed.bytes + 4);
        // Trailing freed blocks just go.
        while (end - 1 > fb) {
            Block last;
            if ((s = dbase_read_page(t, end - 1, last.bytes))) return xdb_report(XD_CORRUPT);
            if (!is_freed(last.bytes)) break;
            end--;
        }
        if (end - 1 > fb) {
            t->cursor.path.depth = -1;
            if (move_block(f, end - 1, fb) < 0) return xdb_report(XD_CORRUPT);
            end--;
        } else if (end - 1 == fb) {
            end--;
        }
        fb = next;
    }
    f->free_head = 0;
    t->end = end;
    // The header's count shrinks before the file does: a stop in between leaves
    // dead blocks past the count, never a count past the file.
    uint8_t head[8];
    put_le32(head, t->root);
    put_le32(head + 4, t->end);
    if ((s = xdb_fwrite_at(f->file.sh, 0, head, 8, 1))) return s;
    xdb_fset_size(f->file.sh, end * kBlock);
    page_cache_drop_range(f->file.cache, end, blocks_before);
    return XD_OK;
}

}  // namespace

// ---- The check ----

XDSTATUS ndx_check(int16_t handle, uint32_t* entries, char* fault, size_t cap) {
    return ndx_check_entries(handle, entries, fault, cap, nullptr, nullptr);
}

XDSTATUS ndx_check_entries(int16_t handle, uint32_t* entries, char* fault, size_t cap,
                           void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    NdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!fault || cap == 0) return xdb_report(XD_NULLPARAM);
    fault[0] = 0;
    if (entries) *entries = 0;
    DbaseTree* t = &f->tree;
    if ((s = dbase_begin(t))) return s;
    // The header against the file first: the walk trusts it.
    uint32_t size = 0;
    if ((s = xdb_fsize(f->file.sh, &size))) return s;
    s = XD_CORRUPT;
    if ((uint64_t)t->end * kBlock > size) {
        snprintf(fault, cap, "header: %u blocks counted, the file holds %u", t->end, size / kBlock);
    } else if (t->end < 2 || t->root < 1 || t->root >= t->end) {
        snprintf(fault, cap, "header: root block %u outside the %u blocks", t->root, t->end);
    } else if (t->max_keys < 1 || t->max_keys * t->entry_size > 508) {
        snprintf(fault, cap, "header: %u keys of %u bytes do not fit a block", t->max_keys, t->entry_size);
    } else {
        TreeCheckPages pages = dbase_check_pages(t);
        pages.free_head = f->free_head;
        pages.next_free = [](void* c, uint32_t b, uint32_t* next) {
            Block blk;
            if (dbase_read_page((DbaseTree*)c, b, blk.bytes) || !is_freed(blk.bytes)) {
                xdb_set_status(XD_OK);
                return false;
            }
            *next = get_le32(blk.bytes + 4);
            return true;
        };
        // Blocks this or another handle freed (marked, off any chain this handle
        // knows) are not unused space.
        pages.unused = [](void* c, uint32_t b) {
            Block blk;
            if (dbase_read_page((DbaseTree*)c, b, blk.bytes) != XD_OK) {
                xdb_set_status(XD_OK);
                return true;
            }
            return !is_freed(blk.bytes);
        };
        s = tree_check(pages, entries, fault, cap, entry, context);
    }
    dbase_end(t, s);
    return s == XD_OK ? xdb_status() : xdb_report(s);
}

// ---- Keys from records, and the rebuild ----

XDSTATUS ndx_key_from_record(int16_t handle, int16_t data_handle, void* key) {
    NdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if ((s = dbase_key_of_record(&f->tree, kForms, data_handle, (const char*)f->header + 24, (uint8_t*)key)) < 0)
        return s;
    return xdb_status();
}

namespace {

XDSTATUS build_index(int16_t data, const char* name, uint8_t key_type, const char* expression, uint16_t key_length) {
    XDSTATUS s;
    if ((s = ndx_create(name, key_type, expression, key_length))) return s;
    uint32_t count = 0;
    if ((s = dbf_record_count(data, &count))) return s;
    if (count == 0) return xdb_status();
    int16_t h;
    if ((s = ndx_open(&h, name, 0)) < 0) return s;
    NdxFile* f = nullptr;
    enter(h, &f);
    // The first leaf is block 1, the empty root of the new file.
    s = dbase_build(&f->tree, kForms, data, (const char*)f->header + 24, nullptr, 1);
    if (s >= 0) f->header_modified = 1;
    return close_built_index(h, ndx_close, name, s);
}

}  // namespace

XDSTATUS ndx_rebuild(int16_t data, const char* name, uint8_t key_type, const char* expression, uint16_t key_length) {
    if (!expression) return xdb_report(XD_NULLPARAM);
    struct Request {
        int16_t data;
        uint8_t key_type;
        const char* expression;
        uint16_t key_length;
    } r{data, key_type, expression, key_length};
    auto build = [](void* context, const char* temporary) {
        const Request* q = (const Request*)context;
        return build_index(q->data, temporary, q->key_type, q->expression, q->key_length);
    };
    return rebuild_beside(name, ".NDX", build, &r);
}

// ---- The format's table for the uniform layer ----

namespace {

XDSTATUS ndx_create_request(const IndexCreateRequest* r) {
    return ndx_create(r->file_name, (uint8_t)(r->key_type | (r->unique ? 0x80 : 0)), r->expression, r->key_length);
}

XDSTATUS ndx_describe(int16_t handle, IndexDescription* out) {
    NdxInfo info;
    XDSTATUS s = ndx_info(handle, &info);
    if (s < 0) return s;
    index_describe(out, info.type, info.key_length, info.unique, 0, info.expression_length >= 1 ? info.expression : "",
                   "", nullptr, info.file_name);
    return XD_OK;
}

XDSTATUS ndx_every_record(int16_t, int16_t, bool* included) {
    *included = true;  // NDX files have no condition
    return XD_OK;
}

int ndx_compare(int16_t, bool text, const void* left, const void* right, uint16_t length) {
    return ndx_compare_keys(text, left, right, length);
}

XDSTATUS ndx_rebuild_request(int16_t data, const char* name, uint8_t key_type, const char* expression,
                             uint16_t key_length, uint16_t) {
    return ndx_rebuild(data, name, key_type, expression, key_length);
}

XDSTATUS ndx_number_key(int16_t, double value, uint16_t, uint8_t* key) {
    memcpy(key, &value, 8);
    return XD_OK;
}


double ndx_key_number(const uint8_t* key, uint16_t) {
    double value;
    memcpy(&value, key, 8);
    return value;
}

bool ndx_key_date(const uint8_t* key, int* year, int* month, int* day) {
    double d;
    memcpy(&d, key, 8);
    return ndx_date_from_key(d, year, month, day);
}

int ndx_last_byte(int16_t) { return -1; }  // by the collation: the national order's heaviest, or 0xFF

}  // namespace

const IndexFormat kNdxFormat = {
    ".ndx",         false,          ndx_create_request, ndx_open,          ndx_close,           ndx_describe,
    ndx_first,      ndx_last,       ndx_next,           ndx_previous,      ndx_resync,          ndx_seek,
    ndx_add_key,    ndx_delete_key, ndx_key_from_record, ndx_every_record, ndx_compare,         ndx_rebuild_request,
    ndx_check_entries, ndx_number_key, date_form, ndx_key_number, ndx_key_date,        ndx_last_byte,
    nullptr,        nullptr,        nullptr,            nullptr,           nullptr,             nullptr,
    nullptr,        [](int16_t h, int16_t data) {
        NdxFile* f;
        XDSTATUS s = enter(h, &f);
        if (s == XD_OK) index_file_hold(&f->file, data);
        return s;
    },
};
