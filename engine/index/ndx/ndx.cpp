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
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"

namespace {

const uint32_t kBlock = 512;
const int kMaxDepth = 40;

struct NdxFile {
    uint16_t sh;
    uint16_t file_mode;
    char* name;
    uint8_t header[248];
    uint32_t root, block_count;
    uint16_t key_length, keys_per_block, key_type, entry_size;
    uint8_t unique;
    uint32_t free_head;
    uint8_t header_modified;
    // Position: blocks and entry indexes from the root down; depth -1 when none.
    int depth;
    uint32_t path_block[kMaxDepth];
    int path_index[kMaxDepth];
    uint8_t current_key[101];
    uint32_t current_record;
};

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

XDSTATUS refresh_header(NdxFile* f) {
    uint8_t head[8];
    XDSTATUS s = xdb_fread_at(f->sh, 0, head, 8);
    if (s) return s;
    f->root = get_le32(head);
    f->block_count = get_le32(head + 4);
    f->depth = -1;
    return XD_OK;
}

XDSTATUS read_block(NdxFile* f, uint32_t b, Block* out) {
    if (b < 1 || b >= f->block_count || (uint64_t)b * kBlock > 0xFFFFFFFFull) return xdb_report(XD_SEEKERR);
    return xdb_fread_at(f->sh, b * kBlock, out->bytes, kBlock);
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
int compare(const NdxFile* f, const uint8_t* search, const uint8_t* key, uint16_t length, bool wildcard) {
    if (f->key_type == 0) {
        if (!wildcard) return xdb_compare_keys(search, key, length);
        for (uint16_t i = 0; i < length; i++) {
            if (search[i] == '?' || search[i] == key[i]) continue;
            return search[i] < key[i] ? -1 : 1;
        }
        return 0;
    }
    bool sn = search[7] & 0x80, kn = key[7] & 0x80;
    if (sn != kn) return sn ? -1 : 1;
    for (int i = 7; i >= 0; i--) {
        uint8_t a = i == 7 ? search[i] & 0x7F : search[i], b = i == 7 ? key[i] & 0x7F : key[i];
        if (a != b) return (a < b) != sn ? -1 : 1;
    }
    return 0;
}

// Hands out entry i of a leaf. An index outside the leaf (an empty leaf below the
// root, a damaged tree) is XD_CORRUPT.
XDSTATUS give_entry(NdxFile* f, const Block& b, int i, void* key, uint32_t* recno) {
    if (i < 0 || i >= key_count(b)) return xdb_report(XD_CORRUPT);
    memcpy(f->current_key, key_of(f, b, i), f->key_length);
    f->current_record = record_of(f, b, i);
    if (key) {
        memcpy(key, f->current_key, f->key_length);
        if (f->key_type == 0) ((uint8_t*)key)[f->key_length] = 0;
    }
    if (recno) *recno = f->current_record;
    return XD_OK;
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
        f->path_block[level] = b;
        f->depth = level;
        if (is_leaf(f, *leaf)) {
            f->path_index[level] = rightmost ? kc - 1 : 0;
            return XD_OK;
        }
        f->path_index[level] = rightmost ? kc : 0;
        b = child(f, *leaf, f->path_index[level]);
        level++;
    }
}

XDSTATUS first_entry(NdxFile* f, Block* leaf) {
    XDSTATUS s = descend(f, f->root, 0, false, leaf);
    if (s) return s;
    if (key_count(*leaf) == 0) {
        f->depth = -1;
        return XD_EMPTYFILE;
    }
    return XD_OK;
}

XDSTATUS last_entry(NdxFile* f, Block* leaf) {
    XDSTATUS s = descend(f, f->root, 0, true, leaf);
    if (s) return s;
    if (key_count(*leaf) == 0) {
        f->depth = -1;
        return XD_EMPTYFILE;
    }
    return XD_OK;
}

// One entry forward along the path; XD_NOMOREKEYS (positioned on the last entry)
// at the end.
XDSTATUS step_next(NdxFile* f, Block* leaf) {
    if (f->depth < 0) return first_entry(f, leaf);
    int level = f->depth;
    if (++f->path_index[level] < key_count(*leaf)) return XD_OK;
    Block b;
    for (level--; level >= 0; level--) {
        XDSTATUS s = read_block(f, f->path_block[level], &b);
        if (s) return s;
        if (++f->path_index[level] <= key_count(b))
            return descend(f, child(f, b, f->path_index[level]), level + 1, false, leaf);
    }
    XDSTATUS s = last_entry(f, leaf);
    return s < 0 ? s : XD_NOMOREKEYS;
}

XDSTATUS step_previous(NdxFile* f, Block* leaf) {
    if (f->depth < 0) return last_entry(f, leaf);
    int level = f->depth;
    if (--f->path_index[level] >= 0) return XD_OK;
    Block b;
    for (level--; level >= 0; level--) {
        XDSTATUS s = read_block(f, f->path_block[level], &b);
        if (s) return s;
        if (--f->path_index[level] >= 0)
            return descend(f, child(f, b, f->path_index[level]), level + 1, true, leaf);
    }
    XDSTATUS s = first_entry(f, leaf);
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
        f->path_block[level] = b;
        f->depth = level;
        if (!leaf_block) {
            f->path_index[level] = low;
            b = child(f, *leaf, low);
            level++;
            continue;
        }
        if (found >= 0) {
            f->path_index[level] = found;
            return XD_OK;
        }
        if (low >= kc) {
            // Past this leaf: the key may begin the next one.
            f->path_index[level] = kc - 1;
            s = step_next(f, leaf);
            if (s < 0) return s;
            if (s == XD_NOMOREKEYS) return XD_KEYNOTFOUND;
            b = f->path_block[f->depth];
            level = f->depth;
            continue;
        }
        if (high >= 0) {
            f->path_index[level] = high;
            return XD_KEYNOTFOUND;
        }
        f->path_index[level] = 0;
        s = step_previous(f, leaf);
        if (s < 0) return s;
        if (s == XD_NOMOREKEYS) *no_smaller = true;
        return XD_KEYNOTFOUND;
    }
}

typedef XDSTATUS (*Move)(NdxFile*, Block*);

XDSTATUS positioned(int16_t handle, void* key, uint32_t* recno, Move move) {
    NdxFile* f;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    if ((s = refresh_header(f))) return s;
    Block leaf;
    s = move(f, &leaf);
    if (s >= 0 && s != XD_EMPTYFILE) {
        XDSTATUS g = f->depth < 0 ? xdb_report(XD_CORRUPT) : give_entry(f, leaf, f->path_index[f->depth], key, recno);
        if (g < 0) s = g;
    }
    f->depth = -1;
    return xdb_report(s);
}

// Resynchronises on (key, recno), then moves one entry. When the entry itself is
// gone, the search stops just before its place, so the move still lands on its
// neighbour.
XDSTATUS moved_from(int16_t handle, void* key, uint32_t* recno, bool forward) {
    NdxFile* f;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    if ((s = refresh_header(f))) return s;
    Block leaf;
    if (*recno == 0) {
        s = forward ? first_entry(f, &leaf) : last_entry(f, &leaf);
    } else {
        uint8_t search_key[101] = {0};
        memcpy(search_key, key, f->key_length);
        bool no_smaller = false;
        s = search(f, search_key, f->key_length, *recno, NDX_EXACT, &leaf, &no_smaller);
        if (s == XD_OK) {
            s = forward ? step_next(f, &leaf) : step_previous(f, &leaf);
        } else if (s == XD_KEYNOTFOUND) {
            // Positioned before the place of the entry, or on the first entry when
            // nothing is smaller.
            if (forward) s = no_smaller ? XD_OK : step_next(f, &leaf);
            else s = no_smaller ? XD_NOMOREKEYS : XD_OK;
        }
    }
    if (s >= 0 && s != XD_EMPTYFILE) {
        XDSTATUS g = f->depth < 0 ? xdb_report(XD_CORRUPT) : give_entry(f, leaf, f->path_index[f->depth], key, recno);
        if (g < 0) s = g;
    }
    f->depth = -1;
    return xdb_report(s);
}

const int kDaysBefore[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

}  // namespace

double ndx_date_key(int y, int m, int d) {
    double days = d + std::trunc((y - 1) * 365.25) + kDaysBefore[m] + 1721410;
    if (m > 2 && xdb_is_leap_year(y)) days += 1;
    return days;
}

bool ndx_date_from_key(double key, int* year, int* month, int* day) {
    if (key >= 1.0e99 || !std::isfinite(key) || key < ndx_date_key(1, 1, 1) || key > ndx_date_key(9999, 12, 31))
        return false;
    int y = (int)((key - 1721410) / 365.25) + 1;
    for (int guess = y + 1; guess >= y - 1; guess--) {
        if (guess < 1 || guess > 9999) continue;
        double start = ndx_date_key(guess, 1, 1);
        if (key < start) continue;
        int rest = (int)(key - start);
        for (int m = 12; m >= 1; m--) {
            int before = kDaysBefore[m] + (m > 2 && xdb_is_leap_year(guess) ? 1 : 0);
            if (rest >= before) {
                int d = rest - before + 1;
                if (d > xdb_days_in_month(guess, m)) return false;
                *year = guess;
                *month = m;
                *day = d;
                return true;
            }
        }
    }
    return false;
}

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
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    *handle = -1;
    uint8_t dialect = (uint8_t)(open_mode & 0xFF);
    if (dialect != 0 && dialect != 1 && dialect != 2 && dialect != 7) return xdb_report(XD_BADVERSION);
    open_mode = xdb_expand_open_mode(open_mode);
    int16_t h;
    void* block;
    if ((s = xdb_alloc_slot(XDB_KIND_NDX, &h, &block))) return s;
    xdb_register_closer(XDB_KIND_NDX, ndx_close);
    NdxFile* f = (NdxFile*)block;
    if ((s = xdb_fopen(&f->sh, name, open_mode, &f->file_mode))) {
        xdb_release_slot(h);
        return s;
    }
    uint32_t size = 0;
    s = xdb_fsize(f->sh, &size);
    if (s == XD_OK) s = xdb_fread_at(f->sh, 0, f->header, size < 248 ? (size < 24 ? 24 : size) : 248);
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
        if (kl < 1 || kl > 100) s = XD_BADKEYSIZE;
        else if (es != (((kl + 1) & ~1) + 8) && es != (((kl + 3) & ~1) + 8) && es != kl + 8) s = XD_BADITEMSIZE;
        else if (f->root < 1 || f->root > f->block_count) s = XD_BADROOT;
        else if (f->keys_per_block * es > 508 || f->keys_per_block < 1) s = XD_BADMAXKEYS;
        else if (expr_length > 220) s = XD_BADKEYEXPR;
        else if (f->key_type > 1) s = XD_BADKEYTYPE;
    }
    if (s == XD_OK) {
        size_t n = strlen(name);
        if ((s = xdb_alloc((void**)&f->name, n + 1)) == XD_OK) memcpy(f->name, name, n + 1);
    }
    if (s != XD_OK) {
        xdb_report(s);
        xdb_fclose(f->sh);
        xdb_set_status(s);
        xdb_free(f->name);
        xdb_release_slot(h);
        return s;
    }
    // The expression without blanks, upper-cased.
    char* e = (char*)f->header + 24;
    size_t w = 0;
    for (size_t r = 0; e[r] && r < 221; r++)
        if (e[r] != ' ') e[w++] = (char)toupper((unsigned char)e[r]);
    e[w] = 0;
    f->depth = -1;
    *handle = h;
    if ((uint64_t)f->block_count * kBlock != size) xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

XDSTATUS ndx_close(int16_t handle) {
    NdxFile* f;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (f->header_modified) {
        uint8_t head[8];
        put_le32(head, f->root);
        put_le32(head + 4, f->block_count);
        if ((s = xdb_fwrite_at(f->sh, 0, head, 8, 1))) return s;
        f->header_modified = 0;
    }
    s = xdb_fclose(f->sh);
    xdb_free(f->name);
    xdb_release_slot(handle);
    return s ? s : xdb_status();
}

XDSTATUS ndx_info(int16_t handle, NdxInfo* info) {
    NdxFile* f;
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
    return xdb_status();
}

XDSTATUS ndx_first(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, first_entry); }
XDSTATUS ndx_last(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, last_entry); }
XDSTATUS ndx_next(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, true); }
XDSTATUS ndx_previous(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, false); }

XDSTATUS ndx_resync(int16_t handle, void* key, uint32_t* recno) {
    NdxFile* f;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    if (*recno == 0) return xdb_report(XD_KEYNOTFOUND);
    if ((s = refresh_header(f))) return s;
    uint8_t search_key[101] = {0};
    memcpy(search_key, key, f->key_length);
    Block leaf;
    bool no_smaller;
    s = search(f, search_key, f->key_length, *recno, NDX_EXACT, &leaf, &no_smaller);
    if (s >= 0 && s != XD_EMPTYFILE) {
        XDSTATUS g = f->depth < 0 ? xdb_report(XD_CORRUPT) : give_entry(f, leaf, f->path_index[f->depth], key, recno);
        if (g < 0) s = g;
    }
    f->depth = -1;
    return xdb_report(s);
}

XDSTATUS ndx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    NdxFile* f;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    if ((s = refresh_header(f))) return s;
    uint8_t search_key[101] = {0};
    uint16_t length = f->key_type == 0 ? (key_size < f->key_length ? key_size : f->key_length) : 8;
    if (f->key_type == 0 && (mode & NDX_EXACT)) {
        memset(search_key, ' ', f->key_length);
        length = f->key_length;
    }
    memcpy(search_key, key, f->key_type == 0 ? (key_size < f->key_length ? key_size : f->key_length) : 8);
    Block leaf;
    bool no_smaller = false;
    s = search(f, search_key, length, *recno, mode, &leaf, &no_smaller);
    if (s == XD_KEYNOTFOUND && no_smaller) {
        s = first_entry(f, &leaf);
        if (s == XD_OK) s = XD_KEYNOTFOUNDEND;
    }
    if (s >= 0 && s != XD_EMPTYFILE) {
        XDSTATUS g = f->depth < 0 ? xdb_report(XD_CORRUPT) : give_entry(f, leaf, f->path_index[f->depth], key, recno);
        if (g < 0) s = g;
    }
    f->depth = -1;
    return xdb_report(s);
}
