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
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/os.h"
#include "engine/index/build_writer.h"
#include "engine/index/free_pages.h"
#include "engine/index/index_format.h"
#include "engine/index/key_sort.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"
#include "engine/index/rebuild.h"
#include "engine/index/tree_check.h"
#include "engine/index/tree_cursor.h"
#include "engine/index/tree_walk.h"

namespace {

const uint32_t kBlock = 512;
const int kMaxDepth = kMaxTreeDepth;

struct NdxFile : SingleTreeFile {  // the shared frame turns its cursor back into the file
    uint8_t header[248];
    uint32_t root, block_count;
    uint16_t key_length, keys_per_block, key_type, entry_size;
    uint8_t unique;
    uint32_t free_head;
    // Root and block count as this handle left them: when the file says otherwise,
    // another handle has changed the tree (a compaction may have moved blocks), and
    // the blocks this handle freed are no longer known to be free.
    uint32_t known_root, known_count;
    uint8_t header_modified;
    // Root and block count when the entry handed out last was (see tree_walk.h).
    uint32_t saved_root, saved_count;
};
static_assert(sizeof(NdxFile) <= 4096, "an NDX handle's block fits the engine's control block");


struct Block {
    uint8_t bytes[kBlock];
};

XDSTATUS enter(int16_t handle, NdxFile** f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_NDX, &block))) return s;
    *f = (NdxFile*)block;
    return XD_OK;
}

// The header's root and block count, re-read at the start of every operation as
// the rules ask, unless nothing can have changed them since the handle's last
// operation (see page_cache.h); the cache is forgotten when something may have.
XDSTATUS refresh_header(NdxFile* f) {
    if (tree_begin_operation(&f->tree)) return XD_OK;
    uint8_t head[8];
    XDSTATUS s = xdb_fread_at(f->file.sh, 0, head, 8);
    if (s) return s;
    f->root = get_le32(head);
    f->block_count = get_le32(head + 4);
    if (f->root != f->saved_root || f->block_count != f->saved_count) tree_header_changed(&f->tree);
    if (f->free_head && (f->root != f->known_root || f->block_count != f->known_count)) f->free_head = 0;
    return XD_OK;
}

// Notes the header as this handle leaves it (see known_root).
void note_header(NdxFile* f) {
    f->known_root = f->root;
    f->known_count = f->block_count;
}

// The end of an operation: what it read and wrote stays cached when it succeeded.
// `position` says whether the path now leads to the entry handed out.
void end_operation(NdxFile* f, XDSTATUS s, bool position = false) {
    f->saved_root = f->root;
    f->saved_count = f->block_count;
    tree_end_operation(&f->tree, s, position);
}

// The blocks an add or a delete changes, held until the change is complete and
// then written in an order that survives a stop (see ordered_commit.h). One at a
// time: the engine is entered by one thread at a time.
BlockChanges g_changes;

XDSTATUS read_block(NdxFile* f, uint32_t b, Block* out) {
    if (b < 1 || b >= f->block_count || (uint64_t)b * kBlock > 0xFFFFFFFFull) return xdb_report(XD_SEEKERR);
    return tree_read_page(&f->tree, g_changes, b, out->bytes, nullptr);
}

int key_count(const Block& b) { return b.bytes[0]; }
const uint8_t* entry(const NdxFile* f, const Block& b, int i) { return b.bytes + 4 + i * f->entry_size; }
uint32_t child(const NdxFile* f, const Block& b, int i) { return get_le32(entry(f, b, i)); }
uint32_t record_of(const NdxFile* f, const Block& b, int i) { return get_le32(entry(f, b, i) + 4); }
const uint8_t* key_of(const NdxFile* f, const Block& b, int i) { return entry(f, b, i) + 8; }
bool is_leaf(const NdxFile* f, const Block& b) { return child(f, b, 0) == 0; }
// A block whose entries would run past its end is not an NDX block.
bool sane(const NdxFile* f, const Block& b) { return 4 + key_count(b) * f->entry_size + 4 <= (int)kBlock; }

// Compares a search key with an entry key: character keys over `length` bytes (by
// the collation, or with '?' matching any byte), numeric keys as doubles by sign,
// then magnitude from the last byte down.
// Numeric keys are doubles: compared as sign and magnitude of their bytes, so
// every key orders by its value.
int compare_numbers(const uint8_t* search, const uint8_t* key) {
    bool sn = search[7] & 0x80, kn = key[7] & 0x80;
    if (sn != kn) return sn ? -1 : 1;
    for (int i = 7; i >= 0; i--) {
        uint8_t a = i == 7 ? search[i] & 0x7F : search[i], b = i == 7 ? key[i] & 0x7F : key[i];
        if (a != b) return (a < b) != sn ? -1 : 1;
    }
    return 0;
}

int compare(const NdxFile* f, const uint8_t* search, const uint8_t* key, uint16_t length, bool wildcard) {
    if (f->key_type == 0) {
        if (!wildcard) return xdb_compare_keys(search, key, length);
        for (uint16_t i = 0; i < length; i++) {
            if (search[i] == '?' || search[i] == key[i]) continue;
            return search[i] < key[i] ? -1 : 1;
        }
        return 0;
    }
    return compare_numbers(search, key);
}

// A numeric key of -0.0 becomes +0.0: the two compare unequal byte by byte, but
// mean one number.
void plain_zero(uint8_t* key) {
    double d;
    memcpy(&d, key, 8);
    if (d == 0) {
        d = 0.0;
        memcpy(key, &d, 8);
    }
}

// Descends from `b` (at path level `level`) to a leaf, always through the first
// child (leftmost) or the last (rightmost); the leaf's entry is left in `leaf`.
XDSTATUS descend(NdxFile* f, uint32_t b, int level, bool rightmost, Block* leaf) {
    for (;;) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_block(f, b, leaf);
        if (s) return s;
        if (!sane(f, *leaf)) return xdb_report(XD_CORRUPT);
        int kc = key_count(*leaf);
        f->tree.path.page[level] = b;
        f->tree.path.depth = level;
        if (is_leaf(f, *leaf)) {
            f->tree.path.index[level] = rightmost ? kc - 1 : 0;
            return XD_OK;
        }
        f->tree.path.index[level] = rightmost ? kc : 0;
        b = child(f, *leaf, f->tree.path.index[level]);
        level++;
    }
}

// One entry forward or back along the path, over empty leaves (deletions may
// leave some); XD_NOMOREKEYS at either end, the path then undefined.
XDSTATUS advance(NdxFile* f, Block* leaf, bool forward) {
    for (uint32_t guard = 0;; guard++) {
        if (guard > f->block_count) return xdb_report(XD_CORRUPT);
        int level = f->tree.path.depth;
        int& idx = f->tree.path.index[level];
        if (forward ? ++idx < key_count(*leaf) : --idx >= 0) return XD_OK;
        Block b;
        bool moved = false;
        for (level--; level >= 0 && !moved; level--) {
            XDSTATUS s = read_block(f, f->tree.path.page[level], &b);
            if (s) return s;
            int& up = f->tree.path.index[level];
            if (forward ? ++up <= key_count(b) : --up >= 0) {
                if ((s = descend(f, child(f, b, up), level + 1, !forward, leaf))) return s;
                moved = true;
            }
        }
        if (!moved) return XD_NOMOREKEYS;
        if (key_count(*leaf) > 0) return XD_OK;
    }
}

// The first or last entry: down the leftmost or rightmost path, over empty leaves.
XDSTATUS end_entry(NdxFile* f, Block* leaf, bool last) {
    XDSTATUS s = descend(f, f->root, 0, last, leaf);
    if (s) return s;
    if (key_count(*leaf) == 0) {
        if (f->tree.path.depth == 0 || (s = advance(f, leaf, !last)) == XD_NOMOREKEYS) {
            f->tree.path.depth = -1;
            return XD_EMPTYFILE;
        }
        return s;
    }
    return XD_OK;
}

XDSTATUS first_entry(NdxFile* f, Block* leaf) { return end_entry(f, leaf, false); }
XDSTATUS last_entry(NdxFile* f, Block* leaf) { return end_entry(f, leaf, true); }

// One entry forward; XD_NOMOREKEYS (positioned on the last entry) at the end.
XDSTATUS step_next(NdxFile* f, Block* leaf) {
    if (f->tree.path.depth < 0) return first_entry(f, leaf);
    XDSTATUS s = advance(f, leaf, true);
    if (s != XD_NOMOREKEYS) return s;
    s = last_entry(f, leaf);
    return s < 0 ? s : XD_NOMOREKEYS;
}

XDSTATUS step_previous(NdxFile* f, Block* leaf) {
    if (f->tree.path.depth < 0) return last_entry(f, leaf);
    XDSTATUS s = advance(f, leaf, false);
    if (s != XD_NOMOREKEYS) return s;
    s = first_entry(f, leaf);
    return s < 0 ? s : XD_NOMOREKEYS;
}

// The search of seek, resynchronise, add and delete. On return the position is on
// the entry found or reached; *no_smaller is set when the search key lies before
// every key.
XDSTATUS search(NdxFile* f, const uint8_t* search_key, uint16_t length, uint32_t recno, uint16_t mode, Block* leaf,
                bool* no_smaller) {
    *no_smaller = false;
    bool exact = mode & NDX_EXACT;
    bool wildcard = f->key_type == 0 && (mode & NDX_WILDCARD) && memchr(search_key, '?', length);
    uint32_t b = f->root;
    int level = 0;
    for (;;) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_block(f, b, leaf);
        if (s) return s;
        if (!sane(f, *leaf)) return xdb_report(XD_CORRUPT);
        int kc = key_count(*leaf);
        if (level == 0 && kc == 0 && is_leaf(f, *leaf)) return XD_EMPTYFILE;
        bool leaf_block = is_leaf(f, *leaf);
        int low = 0, high = kc - 1, found = -1;
        while (low <= high) {
            int mid = (low + high) / 2;
            int c = compare(f, search_key, key_of(f, *leaf, mid), length, wildcard);
            if (c == 0 && !leaf_block) {
                high = mid - 1;
            } else if (c == 0 && exact) {
                uint32_t r = record_of(f, *leaf, mid);
                if (recno > r) low = mid + 1;
                else if (recno < r) high = mid - 1;
                else {
                    found = mid;
                    break;
                }
            } else if (c == 0) {
                if (mid == low) {
                    found = mid;
                    break;
                }
                high = mid;
            } else if (c > 0) {
                low = mid + 1;
            } else {
                high = mid - 1;
            }
        }
        f->tree.path.page[level] = b;
        f->tree.path.depth = level;
        if (!leaf_block) {
            f->tree.path.index[level] = low;
            b = child(f, *leaf, low);
            level++;
            continue;
        }
        if (found >= 0) {
            f->tree.path.index[level] = found;
            return XD_OK;
        }
        if (low >= kc) {
            // Past this leaf: the key may begin the next one.
            f->tree.path.index[level] = kc - 1;
            s = step_next(f, leaf);
            if (s < 0) return s;
            if (s == XD_NOMOREKEYS) return XD_KEYNOTFOUND;
            b = f->tree.path.page[f->tree.path.depth];
            level = f->tree.path.depth;
            continue;
        }
        if (high >= 0) {
            f->tree.path.index[level] = high;
            return XD_KEYNOTFOUND;
        }
        f->tree.path.index[level] = 0;
        s = step_previous(f, leaf);
        if (s < 0) return s;
        if (s == XD_NOMOREKEYS) *no_smaller = true;
        return XD_KEYNOTFOUND;
    }
}

// The entry (key, record) itself. Equal keys of a unique index stand in the order
// they were added (a repeated key goes before its equals), not by record: there
// they are looked through one by one. An entry that is not there is placed among
// its equals by record number, as in an index that is not unique.
XDSTATUS find_entry_of(NdxFile* f, const uint8_t* key, uint32_t recno, Block* leaf, bool* no_smaller) {
    if (!f->unique) return search(f, key, f->key_length, recno, NDX_EXACT, leaf, no_smaller);
    XDSTATUS s = search(f, key, f->key_length, recno, 0, leaf, no_smaller);
    const uint16_t kl = f->key_type == 0 ? f->key_length : 8;
    for (uint32_t guard = 0; s == XD_OK && guard < 0x7FFFFFFF; guard++) {
        const int i = f->tree.path.index[f->tree.path.depth];
        if (compare(f, key, key_of(f, *leaf, i), kl, false) != 0) s = XD_KEYNOTFOUND;
        else if (record_of(f, *leaf, i) == recno) return XD_OK;
        else s = step_next(f, leaf);
    }
    if (s < 0) return s;
    return search(f, key, f->key_length, recno, NDX_EXACT, leaf, no_smaller) == XD_OK ? XD_OK : XD_KEYNOTFOUND;
}

// The start every positioning operation shares: the handle selected, the root
// and block count read again (the end is the frame's, tree_end_positioning).
XDSTATUS begin_positioning(int16_t handle, void* key, uint32_t* recno, NdxFile** f) {
    XDSTATUS s = enter(handle, f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    return refresh_header(*f);
}

XDSTATUS end_positioning(NdxFile* f, const Block& leaf, XDSTATUS s, void* key, uint32_t* recno) {
    return tree_end_positioning(&f->tree, leaf.bytes, s, key, recno);
}

// ---- NDX blocks as the positioning frame sees them ----

NdxFile* file_of(TreeCursor* c) { return static_cast<NdxFile*>((SingleTreeFile*)c); }
const NdxFile* file_of(const TreeCursor* c) { return static_cast<const NdxFile*>((const SingleTreeFile*)c); }
Block* as_block(uint8_t* bytes) { return (Block*)bytes; }
const Block& as_block(const uint8_t* bytes) { return *(const Block*)bytes; }

// The header, read and checked when the file is opened.
XDSTATUS read_header(TreeCursor* c, uint32_t size) {
    NdxFile* f = file_of(c);
    XDSTATUS s = xdb_fread_at(f->file.sh, 0, f->header, size < 248 ? (size < 24 ? 24 : size) : 248);
    if (s == XD_OK) {
        f->root = get_le32(f->header);
        f->block_count = get_le32(f->header + 4);
        f->key_length = get_le16(f->header + 12);
        f->keys_per_block = get_le16(f->header + 14);
        f->key_type = get_le16(f->header + 16);
        f->entry_size = get_le16(f->header + 18);
        f->unique = f->header[23];
        uint16_t kl = f->key_length, es = f->entry_size;
        size_t expr_length = strnlen((const char*)f->header + 24, 224);
        if (kl < 1 || kl > 100)
            s = xdb_fault(XD_BADKEYSIZE, true, "the NDX header's key length %u is outside 1..100", kl);
        else if (es != (((kl + 1) & ~1) + 8) && es != (((kl + 3) & ~1) + 8) && es != kl + 8)
            s = xdb_fault(XD_BADITEMSIZE, true, "the NDX header's entry size %u does not fit a key of %u bytes", es, kl);
        else if (f->root < 1 || f->root > f->block_count)
            s = xdb_fault(XD_BADROOT, true, "the NDX root block %u is outside the %u blocks", f->root, f->block_count);
        else if (f->keys_per_block * es > 508 || f->keys_per_block < 1)
            s = xdb_fault(XD_BADMAXKEYS, true, "%u keys of %u bytes do not fit an NDX block", f->keys_per_block, es);
        else if (expr_length > 220)
            s = xdb_fault(XD_BADKEYEXPR, true, "the NDX key expression does not end within 220 characters");
        else if (f->key_type > 1)
            s = xdb_fault(XD_BADKEYTYPE, true, "the NDX key type %u is neither 0 (text) nor 1 (numbers, dates)", f->key_type);
    }
    c->key_length = f->key_length;
    c->zero_after_key = f->key_type == 0;
    return s ? s : index_file_set_pages(c->file, kBlock, kBlock, 0);
}

const TreeFormat kNdxTree = {
    read_header,
    [](const TreeCursor*, const uint8_t* page) { return key_count(as_block(page)); },
    [](const TreeCursor* c, const uint8_t* page, int i) { return key_of(file_of(c), as_block(page), i); },
    [](const TreeCursor* c, const uint8_t* page, int i) { return record_of(file_of(c), as_block(page), i); },
    nullptr,  // entries are read in place
    [](const TreeCursor* c, const uint8_t* page) { return is_leaf(file_of(c), as_block(page)); },
    [](TreeCursor* c, uint32_t number, uint8_t* page) { return read_block(file_of(c), number, as_block(page)); },
    [](TreeCursor* c, uint32_t b, uint8_t* page) {
        NdxFile* f = file_of(c);
        return b >= 1 && b < f->block_count && index_file_read_raw(&f->file, b, page);
    },
    [](TreeCursor* c, uint8_t* page, bool last) { return end_entry(file_of(c), as_block(page), last); },
    [](TreeCursor* c, uint8_t* page, bool forward) {
        return forward ? step_next(file_of(c), as_block(page)) : step_previous(file_of(c), as_block(page));
    },
    [](TreeCursor* c, const uint8_t* key, uint32_t recno, uint8_t* page, bool* no_smaller) {
        return find_entry_of(file_of(c), key, recno, as_block(page), no_smaller);
    },
    [](TreeCursor* c, XDSTATUS s, bool handed) { end_operation(file_of(c), s, handed); },
};

XDSTATUS positioned(int16_t handle, void* key, uint32_t* recno, bool last) {
    NdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    Block leaf;
    return tree_first_or_last(&f->tree, leaf.bytes, last, key, recno);
}

XDSTATUS moved_from(int16_t handle, void* key, uint32_t* recno, bool forward) {
    NdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    Block leaf;
    return tree_moved_from(&f->tree, leaf.bytes, forward, key, recno);
}

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
    size_t n = 0;
    for (const char* p = expression; *p; p++) {
        if (*p == ' ') continue;
        if (n >= 220) return xdb_report(XD_BADKEYEXPR);
        expr[n++] = (char)toupper((unsigned char)*p);
    }
    expr[n] = 0;
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
    TreeCursor* c;
    uint32_t size = 0;
    if ((s = tree_open(&h, &c, name, xdb_expand_open_mode(open_mode), XDB_KIND_NDX, ndx_close, &kNdxTree, &size)))
        return s;
    NdxFile* f = file_of(c);
    // The expression without blanks, upper-cased.
    char* e = (char*)f->header + 24;
    size_t w = 0;
    for (size_t r = 0; e[r] && r < 221; r++)
        if (e[r] != ' ') e[w++] = (char)toupper((unsigned char)e[r]);
    e[w] = 0;
    note_header(f);
    f->saved_root = f->root;
    f->saved_count = f->block_count;
    *handle = h;
    if ((uint64_t)f->block_count * kBlock != size) xdb_report(XD_BADFILESIZE);
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
        put_le32(head, f->root);
        put_le32(head + 4, f->block_count);
        if ((s = xdb_fwrite_at(f->file.sh, 0, head, 8, 1))) {
            // The handle goes all the same: kept, it would hold the file open for
            // good (nothing could delete a failed build) with no way to finish.
            xdb_set_status(XD_OK);
            tree_close(handle, &f->tree);
            return xdb_report(s);
        }
        f->header_modified = 0;
    }
    s = tree_close(handle, &f->tree);
    if (compacted < 0) return xdb_report(compacted);
    return s ? s : xdb_status();
}

XDSTATUS ndx_info(int16_t handle, NdxInfo* info) {
    NdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    info->type = f->key_type == 0 ? 'C' : 'N';
    info->key_length = f->key_length;
    info->unique = f->unique ? 128 : 0;
    const char* e = (const char*)f->header + 24;
    info->expression_length = (uint16_t)strlen(e);
    snprintf(info->expression, sizeof info->expression, "%s", e);
    info->keys_per_block = f->keys_per_block;
    info->root = f->root;
    info->block_count = f->block_count;
    info->file_name = f->file.name;
    return xdb_status();
}

XDSTATUS ndx_first(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, false); }
XDSTATUS ndx_last(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, true); }
XDSTATUS ndx_next(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, true); }
XDSTATUS ndx_previous(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, false); }

XDSTATUS ndx_resync(int16_t handle, void* key, uint32_t* recno) {
    NdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    if (*recno == 0) return xdb_report(XD_KEYNOTFOUND);
    uint8_t search_key[101] = {0};
    memcpy(search_key, key, f->key_length);
    Block leaf;
    bool no_smaller = false;
    s = find_entry_of(f, search_key, *recno, &leaf, &no_smaller);
    if (s == XD_KEYNOTFOUND && no_smaller) {
        // No entry at or before the place of the one asked for: no record.
        *recno = 0xFFFFFFFFu;
        f->tree.path.depth = -1;
        end_operation(f, XD_OK);
        return xdb_report(XD_KEYNOTFOUND);
    }
    return end_positioning(f, leaf, s, key, recno);
}

XDSTATUS ndx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    NdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    uint8_t search_key[101] = {0};
    uint16_t length = f->key_type == 0 ? (key_size < f->key_length ? key_size : f->key_length) : 8;
    if (f->key_type == 0 && (mode & NDX_EXACT)) {
        memset(search_key, ' ', f->key_length);
        length = f->key_length;
    }
    memcpy(search_key, key, f->key_type == 0 ? (key_size < f->key_length ? key_size : f->key_length) : 8);
    if (f->key_type == 1) plain_zero(search_key);
    Block leaf;
    bool no_smaller = false;
    s = search(f, search_key, length, *recno, mode, &leaf, &no_smaller);
    double wanted;
    memcpy(&wanted, search_key, 8);
    if (f->key_type == 1 && s == XD_KEYNOTFOUND && ndx_is_blank_date_key(wanted)) {
        // Blank dates come in two forms: a file written in the other one still
        // answers a seek of the blank date.
        double other = wanted == kNdxBlankDate ? kNdxBlankDateOld : kNdxBlankDate;
        memcpy(search_key, &other, 8);
        Block again;
        bool none_smaller = false;
        XDSTATUS r = search(f, search_key, length, *recno, mode, &again, &none_smaller);
        if (r < 0) {
            s = r;
        } else if (r == XD_OK) {
            leaf = again;
            no_smaller = false;
            s = XD_OK;
        } else {
            memcpy(search_key, &wanted, 8);
            s = search(f, search_key, length, *recno, mode, &leaf, &no_smaller);
        }
    }
    if (s == XD_KEYNOTFOUND && no_smaller) {
        s = first_entry(f, &leaf);
        if (s == XD_OK) s = XD_KEYNOTFOUNDEND;
    }
    return end_positioning(f, leaf, s, key, recno);
}

int ndx_compare_keys(int character, const void* a, const void* b, uint16_t length) {
    if (character) return xdb_compare_keys(a, b, length);
    return compare_numbers((const uint8_t*)a, (const uint8_t*)b);
}

// ---- Changes ----

namespace {

XDSTATUS write_block(NdxFile* f, uint32_t b, const Block& block) {
    if (b < 1 || b >= f->block_count) return xdb_report(XD_SEEKERR);
    return tree_write_page(&f->tree, g_changes, b, block.bytes);
}

// Header words: the root (offset 0) is part of a change; the block count
// (offset 4) is written at once, since it must cover every block written.
XDSTATUS write_header_word(NdxFile* f, uint32_t offset, uint32_t value) {
    if (offset == 0 && g_changes.active) {
        g_changes.root_changed = true;
        g_changes.new_root = value;
        return XD_OK;
    }
    uint8_t word[4];
    put_le32(word, value);
    return xdb_fwrite_at(f->file.sh, offset, word, 4, 1);
}

// ---- The commit's view of NDX blocks ----

std::vector<uint32_t> shape_children(void* context, const uint8_t* bytes) {
    const NdxFile* f = (const NdxFile*)context;
    std::vector<uint32_t> out;
    int kc = bytes[0];
    // The last child has a pointer and no key: a full block's lies in its last bytes.
    if (kc == 255 || get_le32(bytes + 4) == 0 || 4 + kc * f->entry_size + 4 > (int)kBlock) return out;
    for (int i = 0; i <= kc; i++) out.push_back(get_le32(bytes + 4 + i * f->entry_size));
    return out;
}

void shape_set_child(void* context, uint8_t* bytes, size_t i, uint32_t number) {
    const NdxFile* f = (const NdxFile*)context;
    put_le32(bytes + 4 + i * f->entry_size, number);
}

bool shape_is_freed(void*, const uint8_t* bytes) { return bytes[0] == 255; }

XDSTATUS shape_write_block(void* context, uint32_t number, const uint8_t* bytes) {
    NdxFile* f = (NdxFile*)context;
    XDSTATUS s = xdb_fwrite_at(f->file.sh, number * kBlock, bytes, kBlock, 1);
    if (s == XD_OK) page_cache_put(f->file.cache, number, bytes);
    return s;
}

XDSTATUS shape_write_root(void* context, uint32_t root) {
    NdxFile* f = (NdxFile*)context;
    uint8_t word[4];
    put_le32(word, root);
    return xdb_fwrite_at(f->file.sh, 0, word, 4, 1);
}

XDSTATUS shape_append_block(void* context, uint32_t* number) {
    NdxFile* f = (NdxFile*)context;
    if ((uint64_t)(f->block_count + 1) * kBlock > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);
    *number = f->block_count++;
    xdb_fset_size(f->file.sh, f->block_count * kBlock);
    return write_header_word(f, 4, f->block_count);
}

XDSTATUS shape_drop_last_blocks(void* context, uint32_t count) {
    NdxFile* f = (NdxFile*)context;
    f->block_count -= count;
    XDSTATUS s = write_header_word(f, 4, f->block_count);
    if (s) return s;
    xdb_fset_size(f->file.sh, f->block_count * kBlock);
    page_cache_drop_range(f->file.cache, f->block_count, f->block_count + count);
    return XD_OK;
}

XDSTATUS commit_changes(NdxFile* f) {
    TreeShape shape{f,
                    shape_children,
                    shape_set_child,
                    shape_is_freed,
                    shape_write_block,
                    shape_write_root,
                    shape_append_block,
                    shape_drop_last_blocks};
    return commit_block_changes(g_changes, shape);
}

// The freed blocks: marked 255, chained through their word at 4 from a head this
// handle keeps (the file has no list). A block is taken only while it is still
// inside the file and still marked freed; otherwise the list is stale (see
// known_root) and forgotten (see free_pages.h).
FreePages free_blocks(NdxFile* f) {
    FreePages fp{};
    fp.context = f;
    fp.head = &f->free_head;
    fp.next_of = [](void* c, uint32_t b, uint32_t* next) {
        NdxFile* f = (NdxFile*)c;
        Block blk;
        if (b >= f->block_count || read_block(f, b, &blk) != XD_OK || blk.bytes[0] != 255) return false;
        *next = get_le32(blk.bytes + 4);
        return true;
    };
    fp.write_freed = [](void* c, uint32_t b, uint32_t next) {
        Block block;
        memset(block.bytes, 0, kBlock);
        block.bytes[0] = 255;
        put_le32(block.bytes + 4, next);
        return write_block((NdxFile*)c, b, block);
    };
    fp.append = [](void* c, uint32_t* b) {
        NdxFile* f = (NdxFile*)c;
        if ((uint64_t)(f->block_count + 1) * kBlock > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);
        // A block count far beyond the file is a damaged header: growing the file
        // to it would blow it up.
        uint32_t size = 0;
        XDSTATUS s = xdb_fsize(f->file.sh, &size);
        if (s) return s;
        if ((uint64_t)f->block_count * kBlock > (uint64_t)size + kBlock) return xdb_report(XD_CORRUPT);
        *b = f->block_count++;
        xdb_fset_size(f->file.sh, f->block_count * kBlock);
        return write_header_word(f, 4, f->block_count);
    };
    fp.stale_head_forgotten = true;
    return fp;
}

// A block for new entries, cleared.
XDSTATUS allocate_block(NdxFile* f, uint32_t* b, Block* out) {
    XDSTATUS s = free_pages_take(free_blocks(f), g_changes, b);
    if (s) return s;
    memset(out->bytes, 0, kBlock);
    return XD_OK;
}

XDSTATUS free_block(NdxFile* f, uint32_t b) { return free_pages_release(free_blocks(f), g_changes, b); }

uint8_t* entry_at(NdxFile* f, uint8_t* base, int i) { return base + i * f->entry_size; }

// Inserts (key, recno) at the position of the path, splitting full blocks on the
// way up and growing a new root when the split reaches the top.
XDSTATUS insert_entry(NdxFile* f, const uint8_t* key, uint32_t recno) {
    const int es = f->entry_size, kpb = f->keys_per_block;
    uint8_t pending_key[100];
    memcpy(pending_key, key, f->key_length);
    uint32_t pending_recno = recno, left = 0, right = 0;
    // Room for keysPerBlock + 1 entries and a trailing child.
    uint8_t combined[kBlock + 128];
    XDSTATUS s;
    for (int level = f->tree.path.depth; level >= -1; level--) {
        if (level < 0) {
            uint32_t nb;
            Block root;
            if ((s = allocate_block(f, &nb, &root))) return s;
            root.bytes[0] = 1;
            uint8_t* e = root.bytes + 4;
            put_le32(e, left);
            memcpy(e + 8, pending_key, f->key_length);
            put_le32(e + es, right);
            if ((s = write_block(f, nb, root))) return s;
            f->root = nb;
            return write_header_word(f, 0, nb);
        }
        uint32_t bno = f->tree.path.page[level];
        int idx = f->tree.path.index[level];
        Block b;
        if ((s = read_block(f, bno, &b))) return s;
        int kc = key_count(b);
        if (kc > kpb || idx < 0 || idx > kc) return xdb_report(XD_CORRUPT);
        memset(combined, 0, sizeof combined);
        memcpy(combined, b.bytes + 4, (size_t)idx * es);
        uint8_t* e = entry_at(f, combined, idx);
        put_le32(e, left);
        put_le32(e + 4, pending_recno);
        memcpy(e + 8, pending_key, f->key_length);
        memcpy(entry_at(f, combined, idx + 1), b.bytes + 4 + idx * es, (size_t)(kc - idx) * es + 4);
        put_le32(entry_at(f, combined, idx + 1), right);  // the child after the new entry
        bool leaf = left == 0 && is_leaf(f, b);
        if (kc < kpb) {
            memcpy(b.bytes + 4, combined, (size_t)(kc + 1) * es + 4);
            b.bytes[0] = (uint8_t)(kc + 1);
            return write_block(f, bno, b);
        }
        // Split: the new block takes the first half (rounded up), the old keeps the rest.
        int total = kpb + 1, first = total - total / 2;
        uint32_t nb;
        Block fresh;
        if ((s = allocate_block(f, &nb, &fresh))) return s;
        memcpy(fresh.bytes + 4, combined, (size_t)first * es);
        fresh.bytes[0] = (uint8_t)(leaf ? first : first - 1);
        memset(b.bytes, 0, kBlock);
        memcpy(b.bytes + 4, entry_at(f, combined, first), (size_t)(total - first) * es + 4);
        b.bytes[0] = (uint8_t)(total - first);
        memcpy(pending_key, entry_at(f, combined, first - 1) + 8, f->key_length);
        pending_recno = 0;
        left = nb;
        right = bno;
        if ((s = write_block(f, nb, fresh)) || (s = write_block(f, bno, b))) return s;
    }
    return XD_OK;
}

// The greatest key of the subtree at path level `level` changed to `key`: the
// separator that stands for it changes too, in the first ancestor where the subtree
// is not the rightmost child (above a rightmost child, the ancestor's own separator
// stands for it).
XDSTATUS update_separator(NdxFile* f, int level, const uint8_t* key) {
    for (int l = level - 1; l >= 0; l--) {
        Block a;
        XDSTATUS s = read_block(f, f->tree.path.page[l], &a);
        if (s) return s;
        if (f->tree.path.index[l] < key_count(a)) {
            memcpy(a.bytes + 4 + f->tree.path.index[l] * f->entry_size + 8, key, f->key_length);
            return write_block(f, f->tree.path.page[l], a);
        }
        // Unchanged, but part of the change: the blocks between the leaf and the
        // separator switch together with them.
        if ((s = write_block(f, f->tree.path.page[l], a))) return s;
    }
    return XD_OK;
}

// The leaf at path level `level` has no entries left: it leaves the tree, and so
// does every ancestor that had it as its only child. Returns in *changed the level
// of the block that lost a child (-1 when the whole tree emptied). The parent is
// written before the block is freed, so a stop in between leaves only a dead block.
XDSTATUS detach_empty(NdxFile* f, int level, int* changed) {
    const int es = f->entry_size;
    uint32_t gone = f->tree.path.page[level];
    XDSTATUS s;
    for (int l = level - 1; l >= 0; l--) {
        uint32_t pno = f->tree.path.page[l];
        Block p;
        if ((s = read_block(f, pno, &p))) return s;
        int pkc = key_count(p), i = f->tree.path.index[l];
        if (i < 0 || i > pkc) return xdb_report(XD_CORRUPT);
        if (pkc == 0) {
            if (l == 0) {
                // The root's only child emptied: the root becomes the empty leaf.
                memset(p.bytes, 0, kBlock);
                if ((s = write_block(f, pno, p)) || (s = free_block(f, gone))) return s;
                *changed = -1;
                return XD_OK;
            }
            if ((s = free_block(f, gone))) return s;
            gone = pno;
            continue;
        }
        uint8_t new_last[100];
        bool rightmost = i == pkc;
        if (rightmost) {
            // The child of the last entry becomes the rightmost child; that entry's
            // key, the greatest left, is the block's new greatest key.
            memcpy(new_last, key_of(f, p, pkc - 1), f->key_length);
        } else {
            memmove(p.bytes + 4 + i * es, p.bytes + 4 + (i + 1) * es, (size_t)(pkc - i - 1) * es + 4);
        }
        p.bytes[0] = (uint8_t)(pkc - 1);
        memset(p.bytes + 4 + (pkc - 1) * es + 4, 0, (size_t)es);  // the slot left behind
        if ((s = write_block(f, pno, p)) || (s = free_block(f, gone))) return s;
        if (rightmost && (s = update_separator(f, l, new_last))) return s;
        *changed = l;
        return XD_OK;
    }
    return xdb_report(XD_CORRUPT);
}

// An inner block without entries (one child) next to a sibling too full to merge
// with takes one child over through the parent, so that no block below the root is
// left without a key.
XDSTATUS borrow_child(NdxFile* f, uint32_t pno, Block& p, int sep, uint32_t lno, Block& lb, uint32_t rno, Block& rb,
                      bool left_is_empty) {
    const int es = f->entry_size;
    int lk = key_count(lb), rk = key_count(rb);
    uint8_t* parent_key = p.bytes + 4 + sep * es + 8;
    XDSTATUS s;
    if (left_is_empty) {
        // Rotate left: the separator comes down into the left block, the right
        // block's first key goes up, its first child moves over.
        uint8_t* e = lb.bytes + 4 + lk * es;  // holds the left block's only child
        memcpy(e + 8, parent_key, f->key_length);
        put_le32(e + es, child(f, rb, 0));
        lb.bytes[0] = (uint8_t)(lk + 1);
        memcpy(parent_key, key_of(f, rb, 0), f->key_length);
        memmove(rb.bytes + 4, rb.bytes + 4 + es, (size_t)(rk - 1) * es + 4);
        rb.bytes[0] = (uint8_t)(rk - 1);
    } else {
        // Rotate right: the left block's rightmost child moves over under the
        // separator, the left block's last key goes up.
        memmove(rb.bytes + 4 + es, rb.bytes + 4, (size_t)rk * es + 4);
        uint8_t* e = rb.bytes + 4;
        memset(e, 0, (size_t)es);
        put_le32(e, child(f, lb, lk));
        memcpy(e + 8, parent_key, f->key_length);
        rb.bytes[0] = (uint8_t)(rk + 1);
        memcpy(parent_key, key_of(f, lb, lk - 1), f->key_length);
        lb.bytes[0] = (uint8_t)(lk - 1);
    }
    // Children before the parent: the parent's new separator never points above
    // keys that are not yet below it.
    if ((s = write_block(f, lno, lb)) || (s = write_block(f, rno, rb))) return s;
    return write_block(f, pno, p);
}

// Removes the entry of the path's leaf and rebalances upward. The tree stays one
// that every dBASE-family reader follows: no empty block below the root, every
// separator equal to the greatest key of its subtree.
XDSTATUS remove_entry(NdxFile* f) {
    const int es = f->entry_size, half = f->keys_per_block / 2;
    XDSTATUS s;
    int level = f->tree.path.depth;
    Block b;
    if ((s = read_block(f, f->tree.path.page[level], &b))) return s;
    int kc = key_count(b), idx = f->tree.path.index[level];
    if (idx < 0 || idx >= kc) return xdb_report(XD_CORRUPT);
    memmove(b.bytes + 4 + idx * es, b.bytes + 4 + (idx + 1) * es, (size_t)(kc - idx - 1) * es + 4);
    b.bytes[0] = (uint8_t)--kc;
    if (kc == 0 && level > 0) {
        int changed = -1;
        if ((s = detach_empty(f, level, &changed))) return s;
        if (changed < 0) return XD_OK;
        level = changed;
    } else {
        if ((s = write_block(f, f->tree.path.page[level], b))) return s;
        // The leaf's greatest key changed: so does the separator that stands for it.
        if (idx == kc && kc > 0 && (s = update_separator(f, level, key_of(f, b, kc - 1)))) return s;
    }
    // Merge under-full blocks with a sibling when the two fit in one.
    for (; level > 0; level--) {
        uint32_t xno = f->tree.path.page[level];
        Block x;
        if ((s = read_block(f, xno, &x))) return s;
        if (key_count(x) >= half) break;
        uint32_t pno = f->tree.path.page[level - 1];
        Block p;
        if ((s = read_block(f, pno, &p))) return s;
        int pkc = key_count(p), i = f->tree.path.index[level - 1];
        int sep = i < pkc ? i : i - 1;  // separator between the left and the right block
        if (sep < 0) break;
        uint32_t lno = child(f, p, sep), rno = child(f, p, sep + 1);
        Block lb, rb;
        if ((s = read_block(f, lno, &lb)) || (s = read_block(f, rno, &rb))) return s;
        int lk = key_count(lb), rk = key_count(rb);
        bool leaf = is_leaf(f, lb);
        int merged = lk + rk + (leaf ? 0 : 1);
        if (merged >= f->keys_per_block) {
            if (key_count(x) == 0 && !leaf) {
                if ((s = borrow_child(f, pno, p, sep, lno, lb, rno, rb, xno == lno))) return s;
            }
            break;
        }
        // Everything goes into the right block; the left one is freed.
        uint8_t all[kBlock + 128];
        memset(all, 0, sizeof all);
        memcpy(all, lb.bytes + 4, (size_t)lk * es);
        int n = lk;
        if (!leaf) {
            uint8_t* e = entry_at(f, all, n++);
            put_le32(e, child(f, lb, lk));
            memcpy(e + 8, key_of(f, p, sep), f->key_length);
        }
        memcpy(entry_at(f, all, n), rb.bytes + 4, (size_t)rk * es + 4);
        memset(rb.bytes, 0, kBlock);
        memcpy(rb.bytes + 4, all, (size_t)merged * es + 4);
        rb.bytes[0] = (uint8_t)merged;
        if ((s = write_block(f, rno, rb))) return s;
        memmove(p.bytes + 4 + sep * es, p.bytes + 4 + (sep + 1) * es, (size_t)(pkc - sep - 1) * es + 4);
        p.bytes[0] = (uint8_t)(pkc - 1);
        memset(p.bytes + 4 + (pkc - 1) * es + 4, 0, (size_t)es);
        if ((s = write_block(f, pno, p))) return s;
        if ((s = free_block(f, lno))) return s;
    }
    // A root left without entries hands over to its only child.
    Block r;
    if ((s = read_block(f, f->root, &r))) return s;
    if (key_count(r) == 0 && child(f, r, 0) != 0) {
        uint32_t old = f->root;
        f->root = child(f, r, 0);
        if ((s = write_header_word(f, 0, f->root)) || (s = free_block(f, old))) return s;
    }
    return XD_OK;
}

// The search key of add and delete: the caller's key, blank-padded when character.
void full_key(const NdxFile* f, const void* key, uint16_t key_size, uint8_t* out) {
    if (f->key_type == 0) {
        memset(out, ' ', f->key_length);
        memcpy(out, key, key_size < f->key_length ? key_size : f->key_length);
    } else {
        memcpy(out, key, 8);
        plain_zero(out);
    }
}

// Finds the parent of block `u` by walking the tree (for blocks that have no key
// to search by, as empty leaves left by older writers).
bool find_parent(NdxFile* f, uint32_t at, uint32_t u, int depth, uint32_t* parent, int* index) {
    if (depth >= kMaxDepth) return false;
    Block b;
    if (read_block(f, at, &b) != XD_OK || !sane(f, b) || is_leaf(f, b)) return false;
    for (int i = 0; i <= key_count(b); i++) {
        uint32_t c = child(f, b, i);
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
    Block ub, leaf;
    XDSTATUS s = read_block(f, u, &ub);
    if (s) return s;
    if ((s = write_block(f, to, ub))) return s;
    if (u == f->root) {
        f->root = to;
        return write_header_word(f, 0, to);
    }
    uint32_t pno = 0;
    int pidx = -1;
    if ((s = descend(f, u, 0, false, &leaf))) return s;
    if (key_count(leaf) > 0) {
        uint8_t k[100];
        memcpy(k, key_of(f, leaf, 0), f->key_length);
        uint32_t r = record_of(f, leaf, 0);
        bool no_smaller;
        if (search(f, k, f->key_length, r, NDX_EXACT, &leaf, &no_smaller) == XD_OK) {
            for (int l = 1; l <= f->tree.path.depth; l++)
                if (f->tree.path.page[l] == u) {
                    pno = f->tree.path.page[l - 1];
                    pidx = f->tree.path.index[l - 1];
                }
        }
        xdb_set_status(XD_OK);
    }
    if (pidx < 0 && !find_parent(f, f->root, u, 0, &pno, &pidx)) return xdb_report(XD_CORRUPT);
    Block p;
    if ((s = read_block(f, pno, &p))) return s;
    put_le32(p.bytes + 4 + pidx * f->entry_size, to);
    return write_block(f, pno, p);
}

// Fills the freed blocks with the last used ones and cuts the file after them.
XDSTATUS compact(NdxFile* f) {
    const uint32_t blocks_before = f->block_count;
    uint32_t end = f->block_count;
    XDSTATUS s;
    for (uint32_t fb = f->free_head, steps = 0; fb != 0; steps++) {
        if (steps > f->block_count) return xdb_report(XD_CORRUPT);
        Block freed;
        if ((s = read_block(f, fb, &freed))) return xdb_report(XD_CORRUPT);
        // A block on the list that the file does not show freed (its write failed,
        // or another handle changed the tree) ends the compaction: moving a block
        // into it could overwrite a live one.
        if (freed.bytes[0] != 255) break;
        uint32_t next = get_le32(freed.bytes + 4);
        // Trailing freed blocks just go.
        while (end - 1 > fb) {
            Block last;
            if ((s = read_block(f, end - 1, &last))) return xdb_report(XD_CORRUPT);
            if (last.bytes[0] != 255) break;
            end--;
        }
        if (end - 1 > fb) {
            f->tree.path.depth = -1;
            if (move_block(f, end - 1, fb) < 0) return xdb_report(XD_CORRUPT);
            end--;
        } else if (end - 1 == fb) {
            end--;
        }
        fb = next;
    }
    f->free_head = 0;
    f->block_count = end;
    // The header's count shrinks before the file does: a stop in between leaves
    // dead blocks past the count, never a count past the file.
    uint8_t head[8];
    put_le32(head, f->root);
    put_le32(head + 4, f->block_count);
    if ((s = xdb_fwrite_at(f->file.sh, 0, head, 8, 1))) return s;
    xdb_fset_size(f->file.sh, end * kBlock);
    page_cache_drop_range(f->file.cache, end, blocks_before);
    return XD_OK;
}

}  // namespace

namespace {

// The search that add and delete start with: the entry, or the place for it, of the
// caller's key (blank-padded) and record number.
struct Change {
    NdxFile* f = nullptr;
    uint8_t key[100];
    Block leaf;
    bool no_smaller = false;
};

XDSTATUS locate(int16_t handle, const void* key, uint16_t key_size, uint32_t recno, Change* c) {
    XDSTATUS s = enter(handle, &c->f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if (c->f->file.file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if ((s = refresh_header(c->f))) return s;
    full_key(c->f, key, key_size, c->key);
    // A unique index looks for the key alone, the others for the exact entry.
    return search(c->f, c->key, c->f->key_length, recno, c->f->unique ? 0 : NDX_EXACT, &c->leaf, &c->no_smaller);
}

}  // namespace

XDSTATUS ndx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    Change c;
    XDSTATUS s = locate(handle, key, key_size, recno, &c);
    if (s < 0 || !c.f) return s;
    NdxFile* f = c.f;
    // The entry is there already (a repeated add, or another writer's): adding it
    // again would make a walk hand it out twice.
    if (s == XD_OK && record_of(f, c.leaf, f->tree.path.index[f->tree.path.depth]) == recno) {
        f->tree.path.depth = -1;
        end_operation(f, XD_OK);
        return xdb_report(XD_EXISTS);
    }
    if (s == XD_EMPTYFILE) {
        f->tree.path.depth = 0;
        f->tree.path.page[0] = f->root;
        f->tree.path.index[0] = 0;
        s = XD_OK;
    } else if (s == XD_KEYNOTFOUND && !c.no_smaller) {
        s = step_next(f, &c.leaf);
        if (s == XD_NOMOREKEYS) {
            f->tree.path.index[f->tree.path.depth]++;
            s = XD_OK;
        }
    } else if (s == XD_KEYNOTFOUND) {
        s = XD_OK;  // before the first entry
    }
    if (s == XD_OK) {
        g_changes.begin();
        s = insert_entry(f, c.key, recno);
        if (s >= 0) s = commit_changes(f);
        g_changes.active = false;  // a failed change writes nothing but new blocks
        if (s < 0) f->free_head = 0;  // what it freed may not be marked in the file
    }
    f->tree.path.depth = -1;
    note_header(f);
    end_operation(f, s);
    return s < 0 ? xdb_report(s) : xdb_status();
}

XDSTATUS ndx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    Change c;
    XDSTATUS s = locate(handle, key, key_size, recno, &c);
    if (s < 0 || !c.f) return s;
    // An entry goes by its key and record: in a unique index with equal keys (adds
    // with duplicates allowed), the key alone would find another record's entry.
    if (s == XD_OK && c.f->unique) s = find_entry_of(c.f, c.key, recno, &c.leaf, &c.no_smaller);
    if (s == XD_OK) {
        g_changes.begin();
        s = remove_entry(c.f);
        if (s >= 0) s = commit_changes(c.f);
        g_changes.active = false;
        if (s < 0) c.f->free_head = 0;
    }
    c.f->tree.path.depth = -1;
    note_header(c.f);
    end_operation(c.f, s);
    return xdb_report(s);
}

namespace {

// NDX blocks as the shared check reads them (see tree_check.h).
TreeCheckPages check_pages(NdxFile* f, uint32_t blocks) {
    TreeCheckPages t{};
    t.context = f;
    t.page_size = kBlock;
    t.first_page = 1;
    t.end_page = blocks;
    t.root = f->root;
    t.key_length = f->key_length;
    t.inner_entries = false;
    t.empty_below_root_allowed = false;  // other dBASE programs stop at an empty leaf
    t.page_word = "block";
    t.named = [](void*, uint32_t b) { return b; };
    t.read = [](void* c, uint32_t b, uint8_t* out) -> const char* {
        NdxFile* f = (NdxFile*)c;
        Block* blk = (Block*)out;
        if (read_block(f, b, blk)) {
            xdb_set_status(XD_OK);
            return "unreadable";
        }
        if (blk->bytes[0] == 255) return "freed block in the tree";
        if (!sane(f, *blk) || key_count(*blk) > f->keys_per_block) return "key count too large";
        return nullptr;
    };
    t.count = [](void*, const uint8_t* b) { return key_count(as_block(b)); };
    t.key = [](void* c, const uint8_t* b, int i) { return key_of((NdxFile*)c, as_block(b), i); };
    t.record = [](void* c, const uint8_t* b, int i) { return record_of((NdxFile*)c, as_block(b), i); };
    t.is_leaf = [](void* c, const uint8_t* b) { return is_leaf((NdxFile*)c, as_block(b)); };
    t.children = [](void*, const uint8_t* b) { return key_count(as_block(b)) + 1; };
    t.child = [](void* c, const uint8_t* b, int i) { return child((NdxFile*)c, as_block(b), i); };
    t.leaf_entry_has_child = [](void* c, const uint8_t* b, int i) { return child((NdxFile*)c, as_block(b), i) != 0; };
    t.compare = [](void* c, const uint8_t* a, const uint8_t* b) {
        NdxFile* f = (NdxFile*)c;
        return compare(f, a, b, f->key_type == 0 ? f->key_length : 8, false);
    };
    t.free_head = f->free_head;
    t.next_free = [](void* c, uint32_t b, uint32_t* next) {
        Block blk;
        if (read_block((NdxFile*)c, b, &blk) || blk.bytes[0] != 255) {
            xdb_set_status(XD_OK);
            return false;
        }
        *next = get_le32(blk.bytes + 4);
        return true;
    };
    // Blocks this or another handle freed (marked, off any chain this handle
    // knows) are not unused space.
    t.unused = [](void* c, uint32_t b) {
        Block blk;
        if (read_block((NdxFile*)c, b, &blk) != XD_OK) {
            xdb_set_status(XD_OK);
            return true;
        }
        return blk.bytes[0] != 255;
    };
    return t;
}

}  // namespace

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
    if ((s = refresh_header(f))) return s;
    // The header against the file first: the walk trusts it.
    uint32_t size = 0;
    if ((s = xdb_fsize(f->file.sh, &size))) return s;
    s = XD_CORRUPT;
    if ((uint64_t)f->block_count * kBlock > size)
        snprintf(fault, cap, "header: %u blocks counted, the file holds %u", f->block_count, size / kBlock);
    else if (f->block_count < 2 || f->root < 1 || f->root >= f->block_count)
        snprintf(fault, cap, "header: root block %u outside the %u blocks", f->root, f->block_count);
    else if (f->keys_per_block < 1 || f->keys_per_block * f->entry_size > 508)
        snprintf(fault, cap, "header: %u keys of %u bytes do not fit a block", f->keys_per_block, f->entry_size);
    else
        s = tree_check(check_pages(f, f->block_count), entries, fault, cap, entry, context);
    end_operation(f, s);
    return s == XD_OK ? xdb_status() : xdb_report(s);
}

// ---- Keys from records, and the rebuild ----

namespace {

// The key of the current record by the index's expression (see ndx_key_from_record).
XDSTATUS evaluate_key(const NdxFile* f, int16_t data_handle, const char* expression, uint8_t* key, char* type) {
    char expr[256];
    snprintf(expr, sizeof expr, "%s", expression);
    XdbKeyValue v{};
    XDSTATUS s = xdb_eval_key(data_handle, expr, 0, &v);
    if (s < 0) return s;
    *type = (char)v.type;
    if (v.type == 'C') {
        memset(key, ' ', f->key_length);
        memcpy(key, v.value, v.length < f->key_length ? v.length : f->key_length);
        return XD_OK;
    }
    double d;
    if (v.type == 'N' || v.type == 'F') {
        memcpy(&d, v.value, 8);
    } else if (v.type == 'D') {
        int y = 0, m = 0, day = 0;
        XDSTATUS before = xdb_status();
        XDSTATUS r = xdb_read_date(&y, &m, &day, (const char*)v.value, xdb_date_format());
        if (r < 0) return r;
        xdb_set_status(before);
        d = r == XD_EMPTYFILE ? kNdxBlankDate : ndx_date_key(y, m, day);
    } else {
        return xdb_report(XD_BADKEYEXPR);
    }
    if (d == 0) d = 0.0;  // -0.0 is stored as +0.0: one zero, one key
    memcpy(key, &d, 8);
    return XD_OK;
}

// Numbers in sortable form: big-endian, a negative value inverted, a positive one
// with its top bit set. And back.
void to_sortable(const uint8_t* le, uint8_t* out) {
    for (int i = 0; i < 8; i++) out[i] = le[7 - i];
    if (out[0] & 0x80) {
        for (int i = 0; i < 8; i++) out[i] = (uint8_t)~out[i];
    } else {
        out[0] |= 0x80;
    }
}

void from_sortable(const uint8_t* in, uint8_t* le) {
    uint8_t b[8];
    memcpy(b, in, 8);
    if (b[0] & 0x80) {
        b[0] &= 0x7F;
    } else {
        for (int i = 0; i < 8; i++) b[i] = (uint8_t)~b[i];
    }
    for (int i = 0; i < 8; i++) le[i] = b[7 - i];
}

// Builds the tree bottom-up from items in order (see the rebuild below).
struct TreeBuilder {
    NdxFile* f = nullptr;
    BuildWriter* writer;
    struct Level {
        Block block;
        uint32_t number;
        int count;
    };
    std::vector<Level> levels;
    XDSTATUS status = XD_OK;

    // Blocks go out 1 MiB at a time.
    explicit TreeBuilder(NdxFile* file) : f(file), writer(build_writer_new(file->file.sh, kBlock, 1, 2048)) {
        levels.push_back(Level{});
        levels[0].number = 1;
        if (!writer) status = xdb_report(XD_MEMERR);
    }
    ~TreeBuilder() {
        if (writer) build_writer_finish(writer);
    }
    void start(size_t level) {
        memset(levels[level].block.bytes, 0, kBlock);
        levels[level].number = f->block_count++;
        levels[level].count = 0;
    }
    XDSTATUS write(size_t level) {
        Level& l = levels[level];
        l.block.bytes[0] = (uint8_t)l.count;
        return build_writer_put(writer, l.number, l.block.bytes);
    }
    void put(Level& l, uint32_t child_block, uint32_t recno, const uint8_t* key) {
        uint8_t* e = l.block.bytes + 4 + l.count * f->entry_size;
        put_le32(e, child_block);
        put_le32(e + 4, recno);
        memcpy(e + 8, key, f->key_length);
        l.count++;
    }
    void pass_up(size_t level, const uint8_t* key, uint32_t child_block) {
        if (status < 0) return;
        if (level >= levels.size()) {
            if (level >= (size_t)kMaxDepth) {
                status = XD_CORRUPT;
                return;
            }
            levels.push_back(Level{});
            start(level);
        }
        Level& l = levels[level];
        if (l.count == f->keys_per_block) {
            // Full: the child becomes the rightmost one, the block goes up a level.
            put_le32(l.block.bytes + 4 + l.count * f->entry_size, child_block);
            uint8_t k[100];
            memcpy(k, key, f->key_length);
            uint32_t number = l.number;
            if ((status = write(level)) < 0) return;
            pass_up(level + 1, k, number);
            start(level);
            return;
        }
        put(l, child_block, 0, key);
    }
    void add(const uint8_t* key, uint32_t recno) {
        if (status < 0) return;
        Level& leaf = levels[0];
        if (leaf.count == f->keys_per_block) {
            uint8_t last[100];
            memcpy(last, leaf.block.bytes + 4 + (leaf.count - 1) * f->entry_size + 8, f->key_length);
            uint32_t number = leaf.number;
            if ((status = write(0)) < 0) return;
            pass_up(1, last, number);
            start(0);
        }
        put(levels[0], 0, recno, key);
    }
    XDSTATUS finish() {
        if (status < 0) return status;
        for (size_t level = 0; level < levels.size(); level++) {
            uint32_t below = level == 0 ? 0 : levels[level - 1].number;
            put_le32(levels[level].block.bytes + 4 + levels[level].count * f->entry_size, below);
            if ((status = write(level)) < 0) return status;
        }
        status = build_writer_finish(writer);
        writer = nullptr;
        if (status < 0) return status;
        f->root = levels.back().number;
        f->header_modified = 1;
        xdb_fset_size(f->file.sh, f->block_count * kBlock);
        return XD_OK;
    }
};

}  // namespace

XDSTATUS ndx_key_from_record(int16_t handle, int16_t data_handle, void* key) {
    NdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    char type;
    if ((s = evaluate_key(f, data_handle, (const char*)f->header + 24, (uint8_t*)key, &type)) < 0) return s;
    if ((type == 'C') != (f->key_type == 0)) return xdb_report(XD_BADKEYEXPR);
    return xdb_status();
}


namespace {

XDSTATUS record_key(NdxFile* f, int16_t data, const RecordKeySource& src, const char* expression, uint8_t* key) {
    if (src.field < 0) {
        char type;
        XDSTATUS s = evaluate_key(f, data, expression, key, &type);
        if (s < 0) return s;
        if ((type == 'C') != (f->key_type == 0)) return xdb_report(XD_BADKEYEXPR);
        return XD_OK;
    }
    const char* p = src.record + src.offset;
    if (src.field_type == 'C') {
        memset(key, ' ', f->key_length);
        memcpy(key, p, src.length < f->key_length ? src.length : f->key_length);
        return XD_OK;
    }
    double d = 0;
    if (src.field_type == 'D') {
        bool blank = true;
        for (int i = 0; i < 8; i++) blank &= p[i] == ' ';
        int y = 0, m = 0, day = 0;
        if (blank || sscanf(std::string(p, 8).c_str(), "%4d%2d%2d", &y, &m, &day) != 3 || m < 1 || m > 12)
            d = kNdxBlankDate;
        else
            d = ndx_date_key(y, m, day);
    } else {
        char text[32] = {0};
        memcpy(text, p, src.length < 31 ? src.length : 31);
        if (sscanf(text, "%lf", &d) != 1 || d == 0) d = 0.0;
    }
    memcpy(key, &d, 8);
    return XD_OK;
}


}  // namespace

namespace {
XDSTATUS build_index(int16_t data, const char* name, uint8_t key_type, const char* expression, uint16_t key_length);
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
    const char* expr = (const char*)f->header + 24;
    const uint16_t kl = f->key_length;
    const bool numeric = f->key_type == 1;

    const RecordKeySource src = record_key_source(data, expr);
    const bool from_field = src.field >= 0 && (src.field_type == 'C') == !numeric;
    KeySorter* sorter = key_sort_new(kl, !numeric && xdb_collation_flag() == 0, count);
    key_sort_set_unique(sorter, f->unique != 0);
    TreeBuilder builder(f);
    if (!sorter) s = xdb_report(XD_MEMERR);
    struct Keys {
        NdxFile* f;
        RecordKeySource src;
        const char* expression;
        bool numeric;
        static XDSTATUS of(void* context, int16_t data, uint32_t, uint8_t* key, bool* has_key) {
            Keys* k = (Keys*)context;
            *has_key = true;
            uint8_t raw[100];
            XDSTATUS r = record_key(k->f, data, k->src, k->expression, k->numeric ? raw : key);
            if (r >= 0 && k->numeric) to_sortable(raw, key);
            return r;
        }
    } keys{f, from_field ? src : RecordKeySource{}, expr, numeric};
    if (s >= 0) s = sort_record_keys(data, count, sorter, Keys::of, &keys);
    if (s >= 0) {
        struct Emit {
            TreeBuilder* builder;
            bool numeric;
            static XDSTATUS item(void* context, const uint8_t* key, uint32_t recno) {
                Emit* e = (Emit*)context;
                uint8_t k[100];
                if (e->numeric) from_sortable(key, k);
                e->builder->add(e->numeric ? k : key, recno);
                return e->builder->status;
            }
        } emit{&builder, numeric};
        s = key_sort_finish(sorter, Emit::item, &emit);
    }
    key_sort_free(sorter);
    if (s >= 0) s = builder.finish();
    return close_built_index(h, ndx_close, name, s);
}

}  // namespace


// ---- The format's table for the uniform layer ----

namespace {

XDSTATUS ndx_create_request(const IndexCreateRequest* r) {
    return ndx_create(r->file_name, (uint8_t)(r->key_type | (r->unique ? 0x80 : 0)), r->expression, r->key_length);
}

XDSTATUS ndx_describe(int16_t handle, IndexDescription* out) {
    NdxInfo info;
    XDSTATUS s = ndx_info(handle, &info);
    if (s < 0) return s;
    out->key_type = info.type;
    out->key_length = (int16_t)(info.key_length + (info.type == 'C' ? 1 : 0));
    out->flags = (int16_t)info.unique;
    out->decimals = 0;
    out->key_expression = info.expression_length >= 1 ? info.expression : "";
    out->for_expression.clear();
    index_describe_name(out, info.file_name);
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

void ndx_date_key_bytes(int year, int month, int day, uint8_t* key) {
    const double k = year == 0 ? kNdxBlankDate : ndx_date_key(year, month, day);
    memcpy(key, &k, 8);
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
    ndx_check_entries, ndx_number_key, ndx_date_key_bytes, ndx_key_number, ndx_key_date,        ndx_last_byte,
    nullptr,        nullptr,        nullptr,            nullptr,           nullptr,             nullptr,
    nullptr,        [](int16_t h, int16_t data) { return tree_hold(h, XDB_KIND_NDX, data); },
};
