// NTX index files (Clipper, Clipper 5.0).
//
// The file is a sequence of 1024-byte pages at offsets that are multiples of 1024;
// page 0 is the header. All integers are little-endian; tree pointers are byte
// offsets of pages.
//   header (bytes 0..1023)
//     0   u16 signature (6; other writers use 7 when a condition follows)
//     2   u16 update count (1 when created; + 1 when a rebuilt index is closed)
//     4   u32 root page offset           8   u32 first free page offset (0: none)
//     12  u16 item size (key length + 8) 14  u16 key length (1..100)
//     16  u16 decimals of numeric keys   18  u16 max items: ((1020 / (item size + 2)) - 1), even
//     20  u16 half page (max items / 2)  22  key expression, zero-terminated (<= 255)
//     278 u8  unique
//     280 u8  descending (written by other Clipper-family programs; 0 here)
//     282 the condition of a conditional index, zero-terminated (other writers)
//   page
//     0   u16 count of entries
//     2   u16 slot offsets x (max items + 1): where in the page each item slot is;
//         the first `count` give the entries in key order, the one at `count`
//         holds the page's rightmost child, the others are free
//     then item slots of item size: u32 child page offset (0 in a leaf; its keys
//         are smaller than this entry's), u32 record number, the key text
//   free page: its first 4 bytes are the offset of the next free page.
// Keys are text compared in byte order: characters as they are, dates YYYYMMDD,
// numbers in the form of ntx_numeric_key. Inner entries are index entries too:
// the walk is in order (child 0, entry 0, child 1, ..., rightmost child).
//
// Nothing read from the file is trusted across two operations unless the handle
// alone can change the file (see page_cache.h): every operation re-reads the
// update count, root and free page; the file size is measured again when a page
// lies past the size known, or before the file grows.

#include "engine/index/ntx/ntx.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/condexpr.h"
#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/numbers.h"
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

const uint32_t kPage = 1024;
const int kMaxDepth = kMaxTreeDepth;
// Header bytes kept: the rules' 280, the descending flag and the condition.
const size_t kHeaderKept = 538;

struct NtxFile : SingleTreeFile {  // the shared frame turns its cursor back into the file
    uint8_t header[kHeaderKept];
    uint16_t update_count;
    uint32_t root, free_page, file_size;  // root and free page as page numbers
    // Whether file_size is the file's size now, or only what it held at least (a
    // file only grows while it is shared; another process may have added pages).
    bool size_exact;
    uint16_t key_length, item_size, decimals, max_items, half_page;
    bool unique, descending, rebuilt;
    // The header words when the entry handed out last was (see tree_walk.h).
    uint32_t saved_root, saved_free;
    uint16_t saved_update;
};
static_assert(sizeof(NtxFile) <= 4096, "an NTX handle's block fits the engine's control block");

struct Page {
    uint8_t bytes[kPage];
};

// The pages an add or a delete changes, written in an order that survives a stop
// (see ordered_commit.h). One change at a time: the engine is entered by one
// thread at a time.
BlockChanges g_changes;

XDSTATUS enter(int16_t handle, NtxFile** f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_NTX, &block))) return s;
    *f = (NtxFile*)block;
    return XD_OK;
}

uint16_t max_items_for(uint16_t item_size) {
    int m = 1020 / (item_size + 2) - 1;
    return (uint16_t)(m & ~1);
}

// A page offset from the file as a page number; offsets that are no page's give
// a number no page has.
uint32_t page_of(uint32_t offset) { return offset % kPage ? 0xFFFFFFFFu : offset / kPage; }

// The header words other processes change, read again at the start of every
// operation unless nothing can have changed them. The size known stands as a
// floor: a page past it has the size measured again before it counts as outside
// the file, and a page is added at the end only once the size is measured.
XDSTATUS refresh_header(NtxFile* f) {
    if (tree_begin_operation(&f->tree)) return XD_OK;
    uint8_t head[10];
    XDSTATUS s = xdb_fread_at(f->file.sh, 2, head, 10);
    if (s) return s;
    f->size_exact = false;
    f->update_count = get_le16(head);
    f->root = page_of(get_le32(head + 2));
    f->free_page = page_of(get_le32(head + 6));
    if (f->root != f->saved_root || f->free_page != f->saved_free || f->update_count != f->saved_update)
        tree_header_changed(&f->tree);
    return XD_OK;
}

// The file's size as it is now.
XDSTATUS measure_size(NtxFile* f) {
    if (f->size_exact) return XD_OK;
    uint32_t size = 0;
    XDSTATUS s = xdb_fsize(f->file.sh, &size);
    if (s) return s;
    f->file_size = size;
    f->size_exact = true;
    return XD_OK;
}

// The end of an operation: what it read and wrote stays cached when it succeeded.
void end_operation(NtxFile* f, XDSTATUS s, bool position = false) {
    f->saved_root = f->root;
    f->saved_free = f->free_page;
    f->saved_update = f->update_count;
    tree_end_operation(&f->tree, s, position);
}

bool page_in_file(const NtxFile* f, uint32_t p) { return p >= 1 && (uint64_t)p * kPage < f->file_size; }

// A page of the file, the size measured again when the page lies past the size
// known (another process may have grown the file since).
bool page_reachable(NtxFile* f, uint32_t p) {
    if (page_in_file(f, p)) return true;
    if (p < 1 || p == 0xFFFFFFFFu || (g_changes.active && f->size_exact)) return false;
    XDSTATUS before = xdb_status();
    f->size_exact = false;
    if (measure_size(f) != XD_OK) {
        xdb_set_status(before);
        return false;
    }
    return page_in_file(f, p);
}

int count_of(const Page& p) { return get_le16(p.bytes); }

// The next page of the free chain, from a free page. This engine writes the
// next page's offset in the first 4 bytes and zeros after; other Clipper-family
// programs leave a free page as an empty page whose first slot's child is the
// next one. That form is taken first wherever the page has it, since reading it
// the other way could hand out a page still in use; a link that leads outside the
// file ends the chain (the pages after it are lost to reuse, never used twice).
// An offset that is a multiple of 64 KiB has a zero low half, like that form's
// item count: the slot table after it (zeros in this engine's form) tells.
uint32_t free_next(const NtxFile* f, const uint8_t* bytes) {
    uint16_t first_slot = get_le16(bytes + 2);
    const bool laid_out = get_le16(bytes + 4) != 0;  // a second slot offset: a slot table
    if (get_le16(bytes) == 0 && laid_out && first_slot >= 2 + 2 * (f->max_items + 1) && (uint32_t)first_slot + 4 <= kPage) {
        uint32_t next = get_le32(bytes + first_slot), p = page_of(next);
        if (next == 0 || ((uint64_t)p * kPage < f->file_size && p >= 1)) return next ? p : 0;
    }
    uint32_t next = get_le32(bytes), p = page_of(next);
    return next != 0 && p >= 1 && (uint64_t)p * kPage < f->file_size ? p : 0;
}
uint16_t slot(const Page& p, int i) { return get_le16(p.bytes + 2 + 2 * i); }
uint8_t* item(Page& p, int i) { return p.bytes + slot(p, i); }
const uint8_t* item(const Page& p, int i) { return p.bytes + slot(p, i); }
uint32_t child(const Page& p, int i) {
    uint32_t offset = get_le32(item(p, i));
    return offset == 0 ? 0 : page_of(offset);
}
uint32_t record_of(const Page& p, int i) { return get_le32(item(p, i) + 4); }
const uint8_t* key_of(const Page& p, int i) { return item(p, i) + 8; }

// A page whose count or slots lie outside it is not an NTX page. Every slot is
// looked at, the free ones too: an insertion writes into the last of them.
bool sane(const NtxFile* f, const Page& p) {
    int n = count_of(p);
    if (n > f->max_items) return false;
    for (int i = 0; i <= f->max_items; i++) {
        uint16_t o = slot(p, i);
        if (o < 2 || o + f->item_size > kPage) return false;
    }
    return true;
}

XDSTATUS read_page(NtxFile* f, uint32_t p, Page* out) {
    if (!page_reachable(f, p)) return xdb_report(XD_SEEKERR);
    return tree_read_page(&f->tree, g_changes, p, out->bytes, [](const TreeCursor* c, const uint8_t* bytes) {
        return sane((const NtxFile*)c, *(const Page*)bytes);
    });
}

// Compares a search key with an entry key over `length` bytes: byte order, with
// '?' matching any byte when wildcards are on; a descending index the other way.
int compare(const NtxFile* f, const uint8_t* search, const uint8_t* key, uint16_t length, bool wildcard) {
    int c = 0;
    if (!wildcard) {
        c = memcmp(search, key, length);
    } else {
        for (uint16_t i = 0; i < length && c == 0; i++)
            if (search[i] != '?' && search[i] != key[i]) c = search[i] < key[i] ? -1 : 1;
    }
    if (f->descending) c = -c;
    return c;
}

// Descends from page `p` at path level `level` to a leaf through the first or the
// rightmost child; the leaf is left in `at`, the path on its first or last entry
// (an empty leaf has none: its index is then outside it).
XDSTATUS descend(NtxFile* f, uint32_t p, int level, bool rightmost, Page* at) {
    for (;;) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_page(f, p, at);
        if (s) return s;
        int n = count_of(*at), i = rightmost ? n : 0;
        f->tree.path.page[level] = p;
        f->tree.path.depth = level;
        uint32_t c = child(*at, i);
        if (c == 0) {
            f->tree.path.index[level] = rightmost ? n - 1 : 0;
            return XD_OK;
        }
        f->tree.path.index[level] = i;
        p = c;
        level++;
    }
}

// From the page at path level f->tree.path.depth, whose entries (before or after the path's
// index) are used up, up to the first ancestor with an entry left in that
// direction; XD_NOMOREKEYS when there is none.
XDSTATUS climb(NtxFile* f, Page* at, bool forward) {
    for (int l = f->tree.path.depth - 1; l >= 0; l--) {
        XDSTATUS s = read_page(f, f->tree.path.page[l], at);
        if (s) return s;
        int i = f->tree.path.index[l];
        if (forward ? i < count_of(*at) : i > 0) {
            if (!forward) f->tree.path.index[l] = i - 1;
            f->tree.path.depth = l;
            return XD_OK;
        }
    }
    return XD_NOMOREKEYS;
}

// One entry forward or back in key order from the path's entry (its page in `at`).
XDSTATUS step(NtxFile* f, Page* at, bool forward) {
    int d = f->tree.path.depth, i = f->tree.path.index[d], n = count_of(*at);
    XDSTATUS s;
    if (forward) {
        uint32_t c = i + 1 <= n ? child(*at, i + 1) : 0;
        if (c) {
            f->tree.path.index[d] = i + 1;
            if ((s = descend(f, c, d + 1, false, at))) return s;
            if (count_of(*at) > 0) return XD_OK;
        } else if (i + 1 < n) {
            f->tree.path.index[d] = i + 1;
            return XD_OK;
        }
        return climb(f, at, true);
    }
    uint32_t c = i >= 0 && i <= n ? child(*at, i) : 0;
    if (c) {
        if ((s = descend(f, c, d + 1, true, at))) return s;
        if (count_of(*at) > 0) return XD_OK;
    } else if (i - 1 >= 0) {
        f->tree.path.index[d] = i - 1;
        return XD_OK;
    }
    return climb(f, at, false);
}

// The first or last entry; XD_EMPTYFILE when the tree holds none.
XDSTATUS end_entry(NtxFile* f, Page* at, bool last) {
    XDSTATUS s = descend(f, f->root, 0, last, at);
    if (s) return s;
    if (count_of(*at) > 0) return XD_OK;
    if (f->tree.path.depth > 0 && (s = climb(f, at, !last)) != XD_NOMOREKEYS) return s;
    f->tree.path.depth = -1;
    return XD_EMPTYFILE;
}

XDSTATUS first_entry(NtxFile* f, Page* at) { return end_entry(f, at, false); }

// One entry forward or back; at either end XD_NOMOREKEYS, positioned on the last
// (first) entry. Without a position, the first (last) entry.
XDSTATUS step_or_end(NtxFile* f, Page* at, bool forward) {
    if (f->tree.path.depth < 0) return end_entry(f, at, !forward);
    XDSTATUS s = step(f, at, forward);
    if (s != XD_NOMOREKEYS) return s;
    s = end_entry(f, at, forward);
    return s < 0 ? s : XD_NOMOREKEYS;
}

// Where a search is going: the key over `length` bytes, and with `exact` the
// record number after it.
struct Target {
    const uint8_t* key;
    uint16_t length;
    bool exact, wildcard;
    uint32_t recno;
};

int compare_target(const NtxFile* f, const Target& t, const Page& p, int i) {
    int c = compare(f, t.key, key_of(p, i), t.length, t.wildcard);
    if (c == 0 && t.exact) {
        uint32_t r = record_of(p, i);
        c = t.recno < r ? -1 : t.recno > r ? 1 : 0;
    }
    return c;
}

// The first index of a page whose entry is not before the target (with `after`:
// whose entry is after it).
int lower_bound(const NtxFile* f, const Target& t, const Page& p, bool after = false) {
    int low = 0, high = count_of(p);
    while (low < high) {
        int mid = (low + high) / 2;
        int c = compare_target(f, t, p, mid);
        if (c > 0 || (after && c == 0)) low = mid + 1;
        else high = mid;
    }
    return low;
}

// Positions on the entry before the place where the path ends (a leaf, before
// slot `i`). *no_smaller when no entry lies before it.
XDSTATUS before_place(NtxFile* f, Page* at, int i, bool* no_smaller) {
    if (i > 0) {
        f->tree.path.index[f->tree.path.depth] = i - 1;
        return XD_KEYNOTFOUND;
    }
    f->tree.path.index[f->tree.path.depth] = 0;
    XDSTATUS s = climb(f, at, false);
    if (s == XD_NOMOREKEYS) {
        *no_smaller = true;
        f->tree.path.depth = -1;
        return XD_KEYNOTFOUND;
    }
    return s < 0 ? s : XD_KEYNOTFOUND;
}

// Finds the first entry equal to the target: XD_OK positioned on it; else
// XD_KEYNOTFOUND positioned on the entry before its place (*no_smaller, and no
// position, when there is none); XD_EMPTYFILE.
XDSTATUS descend_search(NtxFile* f, const Target& t, Page* at, bool* no_smaller) {
    *no_smaller = false;
    uint32_t p = f->root;
    int found_level = -1;  // an inner entry equal to the target; the subtree before it may hold an earlier one
    for (int level = 0;; level++) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_page(f, p, at);
        if (s) return s;
        int n = count_of(*at);
        if (level == 0 && n == 0 && child(*at, 0) == 0) return XD_EMPTYFILE;
        int i = lower_bound(f, t, *at);
        f->tree.path.page[level] = p;
        f->tree.path.index[level] = i;
        f->tree.path.depth = level;
        bool equal = i < n && compare_target(f, t, *at, i) == 0;
        if (equal && t.exact) return XD_OK;  // (key, record) is one entry
        if (equal) found_level = level;
        uint32_t c = child(*at, i);
        if (c == 0) {
            if (equal) return XD_OK;
            if (found_level >= 0) {
                f->tree.path.depth = found_level;
                return read_page(f, f->tree.path.page[found_level], at);
            }
            return before_place(f, at, i, no_smaller);
        }
        p = c;
    }
}

// The search of seek, resynchronise and delete. Equal keys stand in the order they
// were added, which is record order after a rebuild and for records added at the
// end: the entry is first looked for by key and record, and where the equal keys
// stand in another order, among them one by one.
XDSTATUS search(NtxFile* f, const Target& t, Page* at, bool* no_smaller) {
    XDSTATUS s = descend_search(f, t, at, no_smaller);
    if (s != XD_KEYNOTFOUND || !t.exact) return s;
    Target key_only = t;
    key_only.exact = false;
    bool none = false;
    XDSTATUS k = descend_search(f, key_only, at, &none);
    for (uint32_t guard = 0; k == XD_OK && guard < 0x7FFFFFFF; guard++) {
        int i = f->tree.path.index[f->tree.path.depth];
        if (compare(f, t.key, key_of(*at, i), t.length, false) != 0) break;
        if (record_of(*at, i) == t.recno) return XD_OK;
        k = step(f, at, true);
    }
    if (k < 0) return k;
    return descend_search(f, t, at, no_smaller);
}

// The start and end of every positioning operation.
XDSTATUS begin_positioning(int16_t handle, void* key, uint32_t* recno, NtxFile** f) {
    XDSTATUS s = enter(handle, f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    return refresh_header(*f);
}

XDSTATUS end_positioning(NtxFile* f, const Page& at, XDSTATUS s, void* key, uint32_t* recno) {
    return tree_end_positioning(&f->tree, at.bytes, s, key, recno);
}

// ---- NTX pages as the positioning frame sees them ----

NtxFile* file_of(TreeCursor* c) { return static_cast<NtxFile*>((SingleTreeFile*)c); }
Page* as_page(uint8_t* bytes) { return (Page*)bytes; }
const Page& as_page(const uint8_t* bytes) { return *(const Page*)bytes; }

// The header, read and checked when the file is opened.
XDSTATUS read_header(TreeCursor* c, uint32_t size) {
    NtxFile* f = file_of(c);
    XDSTATUS s = XD_OK;
    // A short file reads as zeros past its end: its checks fail below.
    size_t want = size < kHeaderKept ? size : kHeaderKept;
    if (want > 0) s = xdb_fread_at(f->file.sh, 0, f->header, want);
    if (s == XD_OK) {
        f->update_count = get_le16(f->header + 2);
        uint32_t root = get_le32(f->header + 4);
        f->root = page_of(root);
        f->free_page = page_of(get_le32(f->header + 8));
        f->item_size = get_le16(f->header + 12);
        f->key_length = get_le16(f->header + 14);
        f->decimals = get_le16(f->header + 16);
        f->max_items = get_le16(f->header + 18);
        f->half_page = get_le16(f->header + 20);
        f->unique = f->header[278] != 0;
        f->descending = f->header[280] != 0;
        f->file_size = size;
        f->size_exact = true;
        if (f->key_length < 1 || f->key_length > 100)
            s = xdb_fault(XD_BADKEYSIZE, true, "the NTX header's key length %u is outside 1..100", f->key_length);
        else if (f->item_size != f->key_length + 8)
            s = xdb_fault(XD_BADITEMSIZE, true, "the NTX header's item size %u is not the key length %u + 8", f->item_size,
                          f->key_length);
        else if (root < kPage || root >= size || root % kPage)
            s = xdb_fault(XD_BADROOT, true, "the NTX root page offset %u is no page of the %u-byte file", root, size);
        else if (f->max_items != max_items_for(f->item_size) || f->max_items < 2)
            s = xdb_fault(XD_BADMAXKEYS, true, "the NTX header says %u entries a page; items of %u bytes make %u",
                          f->max_items, f->item_size, max_items_for(f->item_size));
        else if (f->half_page != f->max_items / 2)
            s = xdb_fault(XD_BADMINKEYS, true, "the NTX header's half page %u is not %u", f->half_page, f->max_items / 2);
        else if (strnlen((const char*)f->header + 22, 256) > 255)
            s = xdb_fault(XD_BADKEYEXPR, true, "the NTX key expression does not end within 255 characters");
    }
    c->key_length = f->key_length;
    c->zero_after_key = true;
    return s ? s : index_file_set_pages(c->file, kPage, kPage, 0);
}

const TreeFormat kNtxTree = {
    read_header,
    [](const TreeCursor*, const uint8_t* page) { return count_of(as_page(page)); },
    [](const TreeCursor*, const uint8_t* page, int i) { return key_of(as_page(page), i); },
    [](const TreeCursor*, const uint8_t* page, int i) { return record_of(as_page(page), i); },
    nullptr,  // entries are read in place
    [](const TreeCursor*, const uint8_t* page) { return child(as_page(page), 0) == 0; },
    [](TreeCursor* c, uint32_t number, uint8_t* page) { return read_page(file_of(c), number, as_page(page)); },
    [](TreeCursor* c, uint32_t p, uint8_t* page) {
        NtxFile* f = file_of(c);
        return page_reachable(f, p) && index_file_read_raw(&f->file, p, page);
    },
    [](TreeCursor* c, uint8_t* page, bool last) { return end_entry(file_of(c), as_page(page), last); },
    [](TreeCursor* c, uint8_t* page, bool forward) { return step_or_end(file_of(c), as_page(page), forward); },
    [](TreeCursor* c, const uint8_t* key, uint32_t recno, uint8_t* page, bool* no_smaller) {
        NtxFile* f = file_of(c);
        Target t{key, f->key_length, true, false, recno};
        return search(f, t, as_page(page), no_smaller);
    },
    [](TreeCursor* c, XDSTATUS s, bool handed) { end_operation(file_of(c), s, handed); },
    nullptr,  // pages are read in place
};

XDSTATUS moved_from(int16_t handle, void* key, uint32_t* recno, bool forward) {
    NtxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    return tree_moved_from(&f->tree, f->tree.walk_page, forward, key, recno);
}

}  // namespace

// ---- Key forms ----

void ntx_numeric_key(double value, uint16_t key_length, uint16_t decimals, uint8_t* out) {
    char text[400];
    int n = std::isfinite(value) ? xdb_format_fixed(text, sizeof text, std::fabs(value), 0, decimals) : 400;
    bool negative = false;
    if (value < 0 && n < (int)sizeof text)
        for (int i = 0; i < n; i++) negative |= text[i] >= '1' && text[i] <= '9';
    if (n > key_length) {
        // Too wide for the key: asterisks, as STR() shows such a number; they sort
        // below every number, as in the files of other Clipper-family programs.
        memset(out, '*', key_length);
        return;
    } else {
        memset(out, '0', key_length);
        memcpy(out + (key_length - n), text, (size_t)n);
    }
    if (negative)
        for (uint16_t i = 0; i < key_length; i++)
            if (out[i] != '.') out[i] = (uint8_t)(92 - out[i]);
}

void ntx_date_key(int year, int month, int day, uint8_t* out) {
    char text[16];
    if (year <= 0 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) {
        memset(out, ' ', 8);
        return;
    }
    snprintf(text, sizeof text, "%04d%02d%02d", year, month, day);
    memcpy(out, text, 8);
}

// ---- Create, open, close, info ----

XDSTATUS ntx_create(const char* name, uint8_t key_type, const char* expression, uint16_t key_length,
                    uint16_t decimals) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name || !expression) return xdb_report(XD_NULLPARAM);
    char expr[256];
    size_t n = 0;
    for (const char* p = expression; *p; p++) {
        if (*p == ' ') continue;
        if (n >= 255) return xdb_report(XD_BADKEYEXPR);
        expr[n++] = (char)toupper((unsigned char)*p);
    }
    expr[n] = 0;
    bool unique = key_type & 0x80;
    char type = (char)toupper(key_type & 0x7F);
    if (type == 'C') {
        if (key_length < 1 || key_length > 100) return xdb_report(XD_BADKEYSIZE);
        decimals = 0;
    } else if (type == 'D') {
        key_length = 8;
        decimals = 0;
    } else if (type == 'N') {
        if (key_length < 1 || key_length > 19) return xdb_report(XD_BADKEYSIZE);
        if (decimals > 15 || decimals + 2 > key_length) return xdb_report(XD_BADDECIMALS);
    } else {
        return xdb_report(XD_BADKEYTYPE);
    }
    uint8_t file[2 * kPage] = {0};
    uint16_t item_size = (uint16_t)(key_length + 8), max_items = max_items_for(item_size);
    put_le16(file, 6);
    put_le16(file + 2, 1);
    put_le32(file + 4, kPage);
    put_le32(file + 8, 0);
    put_le16(file + 12, item_size);
    put_le16(file + 14, key_length);
    put_le16(file + 16, decimals);
    put_le16(file + 18, max_items);
    put_le16(file + 20, (uint16_t)(max_items / 2));
    memcpy(file + 22, expr, n);
    file[278] = unique ? 1 : 0;
    // The empty root: no entries, the slots in their first places.
    uint8_t* root = file + kPage;
    for (int i = 0; i <= max_items; i++) put_le16(root + 2 + 2 * i, (uint16_t)(2 + 2 * (max_items + 1) + i * item_size));
    uint16_t sh;
    if ((s = xdb_fcreate(&sh, name))) return s;
    s = xdb_fwrite(sh, file, sizeof file, 1);
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

XDSTATUS ntx_open(int16_t* handle, const char* name, uint16_t open_mode) {
    xdb_clear_fault();
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    *handle = -1;
    uint8_t dialect = (uint8_t)(open_mode & 0xFF);
    if (dialect != 0 && dialect != 5 && dialect != 6) return xdb_report(XD_BADVERSION);
    int16_t h;
    TreeCursor* c;
    uint32_t size = 0;
    if ((s = tree_open(&h, &c, name, xdb_expand_open_mode(open_mode), XDB_KIND_NTX, ntx_close, &kNtxTree, &size)))
        return s;
    NtxFile* f = file_of(c);
    // The key expression without blanks, upper-cased. The condition stays as
    // written: its text literals keep their blanks and case.
    {
        char* e = (char*)f->header + 22;
        size_t w = 0;
        for (size_t r = 0; r < 255 && e[r]; r++)
            if (e[r] != ' ') e[w++] = (char)toupper((unsigned char)e[r]);
        e[w] = 0;
    }
    if (get_le16(f->header) == 6) f->header[282] = 0;  // no condition in files without its flag
    f->saved_root = f->root;
    f->saved_free = f->free_page;
    f->saved_update = f->update_count;
    *handle = h;
    if (size % kPage) xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

XDSTATUS ntx_close(int16_t handle) {
    NtxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (f->rebuilt && !(f->file.file_mode & XDB_FILE_READONLY)) {
        // A rebuilt index tells other programs so by its update count.
        uint8_t head[10];
        if ((s = xdb_fread_at(f->file.sh, 2, head, 10)) == XD_OK) {
            put_le16(head, (uint16_t)(get_le16(head) + 1));
            s = xdb_fwrite_at(f->file.sh, 2, head, 10, 1);
        }
        if (s) {
            xdb_set_status(XD_OK);
            tree_close(handle, &f->tree);
            return xdb_report(s);
        }
    }
    s = tree_close(handle, &f->tree);
    return s ? s : xdb_status();
}

XDSTATUS ntx_info(int16_t handle, NtxInfo* info) {
    NtxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    if (!index_file_alone(&f->file)) f->size_exact = false;  // the size as it is now
    if ((s = measure_size(f))) return s;
    const char* e = (const char*)f->header + 22;
    info->key_length = f->key_length;
    info->decimals = f->decimals;
    info->max_items = f->max_items;
    info->half_page = f->half_page;
    info->update_count = f->update_count;
    info->flags = (uint16_t)((f->unique ? 128 : 0) | (f->descending || !strncmp(e, "DESCEND", 7) ? 256 : 0));
    info->expression_length = (uint16_t)strlen(e);
    snprintf(info->expression, sizeof info->expression, "%s", e);
    snprintf(info->for_expression, sizeof info->for_expression, "%s", (const char*)f->header + 282);
    info->root = f->root * kPage;
    info->free_page = f->free_page * kPage;
    info->file_size = f->file_size;
    info->file_name = f->file.name;
    return xdb_status();
}

// ---- Positioning ----

namespace {

XDSTATUS positioned(int16_t handle, void* key, uint32_t* recno, bool last) {
    NtxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    return tree_first_or_last(&f->tree, f->tree.walk_page, last, key, recno);
}

}  // namespace

XDSTATUS ntx_first(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, false); }
XDSTATUS ntx_last(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, true); }
XDSTATUS ntx_next(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, true); }
XDSTATUS ntx_previous(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, false); }

XDSTATUS ntx_resync(int16_t handle, void* key, uint32_t* recno) {
    NtxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    if (*recno == 0) return xdb_report(XD_KEYNOTFOUND);
    uint8_t k[101] = {0};
    memcpy(k, key, f->key_length);
    Target t{k, f->key_length, true, false, *recno};
    Page at;
    bool no_smaller = false;
    s = search(f, t, &at, &no_smaller);
    if (s == XD_KEYNOTFOUND && no_smaller) {
        *recno = 0xFFFFFFFFu;
        end_operation(f, XD_OK);
        return xdb_report(XD_KEYNOTFOUND);
    }
    return end_positioning(f, at, s, key, recno);
}

XDSTATUS ntx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    NtxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    uint8_t k[101];
    memset(k, ' ', sizeof k);
    uint16_t length = key_size < f->key_length ? key_size : f->key_length;
    memcpy(k, key, length);
    bool exact = mode & NTX_EXACT;
    if (exact) length = f->key_length;  // the whole key, blank-padded, and the record
    Target t{k, length, exact, (mode & NTX_WILDCARD) && memchr(k, '?', length), *recno};
    Page at;
    bool no_smaller = false;
    s = search(f, t, &at, &no_smaller);
    if (s == XD_KEYNOTFOUND && no_smaller) {
        s = first_entry(f, &at);
        if (s == XD_OK) s = XD_KEYNOTFOUNDEND;
    }
    return end_positioning(f, at, s, key, recno);
}

int ntx_compare_keys(int16_t handle, const void* a, const void* b, uint16_t length) {
    // Looking the handle up must not touch a status the caller has pending.
    const XDSTATUS pending = xdb_get_status();
    void* block = nullptr;
    bool descending = xdb_select(handle, XDB_KIND_NTX, &block) == XD_OK && ((NtxFile*)block)->descending;
    xdb_set_status(pending);
    int c = memcmp(a, b, length);
    return descending ? -c : c;
}

// ---- Changes ----

namespace {

XDSTATUS write_page(NtxFile* f, uint32_t p, const Page& page) {
    if (!page_in_file(f, p)) return xdb_report(XD_SEEKERR);
    return tree_write_page(&f->tree, g_changes, p, page.bytes);
}

XDSTATUS write_header_offset(NtxFile* f, uint32_t at, uint32_t page) {
    uint8_t word[4];
    put_le32(word, page * kPage);
    return xdb_fwrite_at(f->file.sh, at, word, 4, 1);
}

// ---- The commit's view of NTX pages ----

std::vector<uint32_t> shape_children(void* context, const uint8_t* bytes) {
    const NtxFile* f = (const NtxFile*)context;
    std::vector<uint32_t> out;
    Page p;
    memcpy(p.bytes, bytes, kPage);
    if (!sane(f, p) || child(p, 0) == 0) return out;
    for (int i = 0; i <= count_of(p); i++) out.push_back(child(p, i));
    return out;
}

void shape_set_child(void*, uint8_t* bytes, size_t i, uint32_t number) {
    Page p;
    memcpy(p.bytes, bytes, kPage);
    put_le32(bytes + slot(p, (int)i), number * kPage);
}

XDSTATUS shape_write_block(void* context, uint32_t number, const uint8_t* bytes) {
    NtxFile* f = (NtxFile*)context;
    XDSTATUS s = xdb_fwrite_at(f->file.sh, number * kPage, bytes, kPage, 1);
    if (s == XD_OK) page_cache_put(f->file.cache, number, bytes);
    return s;
}

XDSTATUS shape_write_root(void* context, uint32_t root) { return write_header_offset((NtxFile*)context, 4, root); }

XDSTATUS shape_append_block(void* context, uint32_t* number) {
    NtxFile* f = (NtxFile*)context;
    XDSTATUS s = measure_size(f);
    if (s) return s;
    if ((uint64_t)f->file_size + kPage > 0xFFFFFC00ull) return xdb_report(XD_WRITEERR);
    *number = f->file_size / kPage;
    f->file_size += kPage;
    xdb_fset_size(f->file.sh, f->file_size);
    return XD_OK;
}

XDSTATUS shape_drop_last_blocks(void* context, uint32_t count) {
    NtxFile* f = (NtxFile*)context;
    uint32_t end = f->file_size / kPage;
    f->file_size -= count * kPage;
    xdb_fset_size(f->file.sh, f->file_size);
    page_cache_drop_range(f->file.cache, end - count, end);
    return XD_OK;
}

// Writes the change; the free page word last, since pages freed by the change
// are free only once the tree no longer uses them.
XDSTATUS commit_changes(NtxFile* f, uint32_t free_before) {
    TreeShape shape{f,       shape_children,     shape_set_child,       nullptr, shape_write_block,
                    shape_write_root, shape_append_block, shape_drop_last_blocks};
    shape.write_bytes = [](void* context, const FileWrite& w) {
        return xdb_fwrite_at(((NtxFile*)context)->file.sh, w.offset, w.bytes.data(), (uint32_t)w.bytes.size(), 1);
    };
    if (f->free_page != free_before) {
        FileWrite word{8, std::vector<uint8_t>(4)};
        put_le32(word.bytes.data(), f->free_page * kPage);
        g_changes.after_switch.push_back(word);
    }
    return commit_block_changes(g_changes, shape);
}

// The layout of a page written whole: slots in their first places.
void lay_out(const NtxFile* f, Page& p) {
    memset(p.bytes, 0, kPage);
    for (int i = 0; i <= f->max_items; i++)
        put_le16(p.bytes + 2 + 2 * i, (uint16_t)(2 + 2 * (f->max_items + 1) + i * f->item_size));
}

// The free pages: a chain from the header's free page word (see free_pages.h).
FreePages free_pages(NtxFile* f) {
    FreePages fp{};
    fp.context = f;
    fp.head = &f->free_page;
    fp.next_of = [](void* c, uint32_t p, uint32_t* next) {
        NtxFile* f = (NtxFile*)c;
        uint8_t bytes[kPage];
        // A link past the size known ends the chain: measured first, so that only
        // a link outside the file does.
        if (measure_size(f) != XD_OK || !page_in_file(f, p) || xdb_fread_at(f->file.sh, p * kPage, bytes, kPage) != XD_OK)
            return false;
        *next = free_next(f, bytes);
        return true;
    };
    fp.write_freed = [](void* c, uint32_t p, uint32_t next) {
        Page page;
        memset(page.bytes, 0, kPage);
        put_le32(page.bytes, next * kPage);
        return write_page((NtxFile*)c, p, page);
    };
    fp.write_head = [](void* c, uint32_t head) { return write_header_offset((NtxFile*)c, 8, head); };
    fp.append = [](void* c, uint32_t* p) {
        NtxFile* f = (NtxFile*)c;
        XDSTATUS s = measure_size(f);
        if (s) return s;
        if ((uint64_t)f->file_size + kPage > 0xFFFFFC00ull) return xdb_report(XD_WRITEERR);
        *p = f->file_size / kPage;
        f->file_size += kPage;
        xdb_fset_size(f->file.sh, f->file_size);
        return XDSTATUS(XD_OK);
    };
    fp.stale_head_forgotten = false;
    return fp;
}

// A page for new entries, laid out empty.
XDSTATUS allocate_page(NtxFile* f, uint32_t* p, Page* out) {
    XDSTATUS s = free_pages_take(free_pages(f), g_changes, p);
    if (s) return s;
    lay_out(f, *out);
    return XD_OK;
}

XDSTATUS free_page(NtxFile* f, uint32_t p) { return free_pages_release(free_pages(f), g_changes, p); }

// An entry in transit between pages.
struct Entry {
    uint32_t child;  // page number
    uint32_t recno;
    uint8_t key[100];
};

Entry entry_of(const NtxFile* f, const Page& p, int i) {
    Entry e;
    e.child = child(p, i);
    e.recno = record_of(p, i);
    memcpy(e.key, key_of(p, i), f->key_length);
    return e;
}

void put_item(const NtxFile* f, Page& p, int i, const Entry& e) {
    uint8_t* it = item(p, i);
    put_le32(it, e.child * kPage);
    put_le32(it + 4, e.recno);
    memcpy(it + 8, e.key, f->key_length);
}

// A page written whole from its entries and rightmost child.
void fill_page(const NtxFile* f, Page& p, const Entry* entries, int n, uint32_t rightmost) {
    lay_out(f, p);
    put_le16(p.bytes, (uint16_t)n);
    for (int i = 0; i < n; i++) put_item(f, p, i, entries[i]);
    put_le32(item(p, n), rightmost * kPage);
}

// Inserts `e` before slot `i` of a page with room: the last free slot moves to
// `i`, the slots after it one place on.
void insert_in_page(const NtxFile* f, Page& p, int i, const Entry& e) {
    uint16_t taken = slot(p, f->max_items);
    for (int k = f->max_items; k > i; k--) put_le16(p.bytes + 2 + 2 * k, slot(p, k - 1));
    put_le16(p.bytes + 2 + 2 * i, taken);
    memset(p.bytes + taken, 0, f->item_size);
    put_item(f, p, i, e);
    put_le16(p.bytes, (uint16_t)(count_of(p) + 1));
}

// Removes entry `i`: its slot goes to the last place, the slots after it one
// place back (the rightmost child's slot among them).
void remove_from_page(const NtxFile* f, Page& p, int i) {
    uint16_t gone = slot(p, i);
    for (int k = i; k < f->max_items; k++) put_le16(p.bytes + 2 + 2 * k, slot(p, k + 1));
    put_le16(p.bytes + 2 + 2 * f->max_items, gone);
    put_le16(p.bytes, (uint16_t)(count_of(p) - 1));
}

// Inserts `e` at the path's place (before slot path_index of the page at
// path level depth, a leaf), splitting full pages upward.
XDSTATUS insert_entry(NtxFile* f, Entry e) {
    XDSTATUS s;
    std::vector<Entry> all((size_t)f->max_items + 1);
    for (int level = f->tree.path.depth; level >= 0; level--) {
        uint32_t pno = f->tree.path.page[level];
        int i = f->tree.path.index[level];
        Page p;
        if ((s = read_page(f, pno, &p))) return s;
        int n = count_of(p);
        if (i < 0 || i > n) return xdb_report(XD_CORRUPT);
        if (n < f->max_items) {
            insert_in_page(f, p, i, e);
            return write_page(f, pno, p);
        }
        // Full: the smaller half goes to a new page, the middle entry up with the
        // new page as its child, the larger half stays.
        for (int k = 0, m = 0; k <= n; k++) all[(size_t)k] = k == i ? e : entry_of(f, p, m++);
        uint32_t rightmost = child(p, n);
        int half = f->max_items / 2;
        uint32_t nno;
        Page fresh;
        if ((s = allocate_page(f, &nno, &fresh))) return s;
        fill_page(f, fresh, all.data(), half, all[(size_t)half].child);
        fill_page(f, p, all.data() + half + 1, n - half, rightmost);
        if ((s = write_page(f, nno, fresh)) || (s = write_page(f, pno, p))) return s;
        e = all[(size_t)half];
        e.child = nno;
    }
    // The root split: a new root with the middle entry, the old root to its right.
    uint32_t rno;
    Page root;
    if ((s = allocate_page(f, &rno, &root))) return s;
    fill_page(f, root, &e, 1, f->root);
    if ((s = write_page(f, rno, root))) return s;
    f->root = rno;
    g_changes.root_changed = true;
    g_changes.new_root = rno;
    return XD_OK;
}

// After a removal the page at path level `level` may hold too few entries: it
// takes entries from a sibling through the parent, or merges with it.
XDSTATUS rebalance(NtxFile* f, int level) {
    XDSTATUS s;
    for (; level > 0; level--) {
        Page x;
        if ((s = read_page(f, f->tree.path.page[level], &x))) return s;
        if (count_of(x) >= f->half_page) return XD_OK;
        uint32_t pno = f->tree.path.page[level - 1];
        Page p;
        if ((s = read_page(f, pno, &p))) return s;
        int pn = count_of(p), j = f->tree.path.index[level - 1];
        if (j < 0 || j > pn || pn == 0) return xdb_report(XD_CORRUPT);
        int sep = j == pn ? j - 1 : j;  // the parent's entry between the two pages
        uint32_t lno = child(p, sep), rno = child(p, sep + 1);
        Page lp, rp;
        if ((s = read_page(f, lno, &lp)) || (s = read_page(f, rno, &rp))) return s;
        int ln = count_of(lp), rn = count_of(rp);
        std::vector<Entry> all((size_t)(ln + rn + 1));
        for (int k = 0; k < ln; k++) all[(size_t)k] = entry_of(f, lp, k);
        all[(size_t)ln] = entry_of(f, p, sep);
        all[(size_t)ln].child = child(lp, ln);
        for (int k = 0; k < rn; k++) all[(size_t)(ln + 1 + k)] = entry_of(f, rp, k);
        uint32_t right_rightmost = child(rp, rn);
        if (ln + rn >= f->max_items) {
            // Enough for two pages: shared out, a new separator in the parent.
            int total = ln + rn + 1, left = total / 2;
            fill_page(f, lp, all.data(), left, all[(size_t)left].child);
            fill_page(f, rp, all.data() + left + 1, total - left - 1, right_rightmost);
            uint8_t* it = item(p, sep);
            put_le32(it + 4, all[(size_t)left].recno);
            memcpy(it + 8, all[(size_t)left].key, f->key_length);
            if ((s = write_page(f, lno, lp)) || (s = write_page(f, rno, rp))) return s;
            return write_page(f, pno, p);
        }
        // One page: everything goes into the right page, the left one is freed
        // and the separator leaves the parent.
        fill_page(f, rp, all.data(), ln + rn + 1, right_rightmost);
        remove_from_page(f, p, sep);
        if ((s = write_page(f, rno, rp)) || (s = write_page(f, pno, p)) || (s = free_page(f, lno))) return s;
    }
    // A root left without entries hands over to its only child.
    Page r;
    if ((s = read_page(f, f->root, &r))) return s;
    if (count_of(r) == 0 && child(r, 0) != 0) {
        uint32_t old = f->root;
        f->root = child(r, 0);
        g_changes.root_changed = true;
        g_changes.new_root = f->root;
        if ((s = free_page(f, old))) return s;
    }
    return XD_OK;
}

// Removes the path's entry. An inner entry takes its predecessor's key and record
// (the last entry of the subtree before it), and that leaf entry goes instead.
XDSTATUS remove_entry(NtxFile* f) {
    XDSTATUS s;
    int level = f->tree.path.depth;
    uint32_t pno = f->tree.path.page[level];
    Page p;
    if ((s = read_page(f, pno, &p))) return s;
    int i = f->tree.path.index[level];
    if (i < 0 || i >= count_of(p)) return xdb_report(XD_CORRUPT);
    uint32_t c = child(p, i);
    if (c != 0) {
        Page leaf;
        if ((s = descend(f, c, level + 1, true, &leaf))) return s;
        int last = count_of(leaf) - 1;
        if (last < 0) return xdb_report(XD_CORRUPT);  // an empty leaf has no predecessor to give
        uint8_t* it = item(p, i);
        put_le32(it + 4, record_of(leaf, last));
        memcpy(it + 8, key_of(leaf, last), f->key_length);
        if ((s = write_page(f, pno, p))) return s;
        // Unchanged, but part of the change: the pages between the inner entry and
        // the leaf switch together with both (one subtree for the ordered commit).
        for (int l = level + 1; l < f->tree.path.depth; l++) {
            Page between;
            if ((s = read_page(f, f->tree.path.page[l], &between)) || (s = write_page(f, f->tree.path.page[l], between)))
                return s;
        }
        level = f->tree.path.depth;
        pno = f->tree.path.page[level];
        p = leaf;
        i = last;
    }
    remove_from_page(f, p, i);
    if ((s = write_page(f, pno, p))) return s;
    return rebalance(f, level);
}

// The key of add and delete: the caller's key, blank-padded.
void full_key(const NtxFile* f, const void* key, uint16_t key_size, uint8_t* out) {
    memset(out, ' ', f->key_length);
    memcpy(out, key, key_size < f->key_length ? key_size : f->key_length);
}

// The place of a new entry: a leaf slot after every entry of an equal key, so
// that equal keys stand in the order they came (the order other Clipper-family
// programs give them); in a unique index before the first equal key.
XDSTATUS insertion_place(NtxFile* f, const Target& t) {
    uint32_t p = f->root;
    for (int level = 0;; level++) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        Page at;
        XDSTATUS s = read_page(f, p, &at);
        if (s) return s;
        int i = lower_bound(f, t, at, !f->unique);
        f->tree.path.page[level] = p;
        f->tree.path.index[level] = i;
        f->tree.path.depth = level;
        uint32_t c = child(at, i);
        if (c == 0) return XD_OK;
        p = c;
    }
}

// Runs one change: `work` collects the pages, the commit writes them in order.
template <typename Work>
XDSTATUS change(NtxFile* f, Work work) {
    uint32_t free_before = f->free_page;
    g_changes.begin();
    XDSTATUS s = work();
    if (s >= 0) s = commit_changes(f, free_before);
    g_changes.active = false;  // a failed change writes nothing the tree uses
    f->tree.path.depth = -1;
    if (s < 0) {
        // What the file says stands; the header is read again next time.
        page_cache_forget(f->file.cache);
        f->tree.saved_depth = -1;
    }
    end_operation(f, s);
    return s;
}

XDSTATUS begin_change(int16_t handle, const void* key, NtxFile** f) {
    XDSTATUS s = enter(handle, f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if ((*f)->file.file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    return refresh_header(*f);
}

}  // namespace

XDSTATUS ntx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    NtxFile* f = nullptr;
    XDSTATUS s = begin_change(handle, key, &f);
    if (s) return s;
    Entry e;
    e.child = 0;
    e.recno = recno;
    full_key(f, key, key_size, e.key);
    Target t{e.key, f->key_length, false, false, recno};
    bool repeated = false;
    s = change(f, [&] {
        // The entry is there already (a repeated add, or another writer's): adding
        // it again would make a walk hand it out twice.
        Target exact = t;
        exact.exact = true;
        Page at;
        bool no_smaller = false;
        XDSTATUS r = descend_search(f, exact, &at, &no_smaller);
        if (r < 0) return r;
        if ((repeated = r == XD_OK)) return XD_OK;
        r = insertion_place(f, t);
        return r < 0 ? r : insert_entry(f, e);
    });
    if (s >= 0 && repeated) return xdb_report(XD_EXISTS);
    return s < 0 ? xdb_report(s) : xdb_status();
}

XDSTATUS ntx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    NtxFile* f = nullptr;
    XDSTATUS s = begin_change(handle, key, &f);
    if (s) return s;
    uint8_t k[100];
    full_key(f, key, key_size, k);
    // An entry goes by its key and record: in a unique index with equal keys (adds
    // with duplicates allowed), the key alone would find another record's entry.
    Target t{k, f->key_length, true, false, recno};
    XDSTATUS found = XD_OK;
    s = change(f, [&] {
        Page at;
        bool no_smaller = false;
        found = search(f, t, &at, &no_smaller);
        if (found != XD_OK) return found < 0 ? found : XD_OK;
        return remove_entry(f);
    });
    if (s >= 0 && found != XD_OK) s = found;
    return xdb_report(s);
}

// ---- Check ----

namespace {

// NTX pages as the shared check reads them (see tree_check.h).
TreeCheckPages check_pages(NtxFile* f) {
    TreeCheckPages t{};
    t.context = f;
    t.page_size = kPage;
    t.first_page = 1;
    t.end_page = f->file_size / kPage;
    t.root = f->root;
    t.key_length = f->key_length;
    t.inner_entries = true;
    t.empty_below_root_allowed = true;
    t.page_word = "page at";
    t.named = [](void*, uint32_t p) { return p * kPage; };
    t.read = [](void* c, uint32_t p, uint8_t* out) -> const char* {
        NtxFile* f = (NtxFile*)c;
        Page* page = (Page*)out;
        XDSTATUS s = read_page(f, p, page);
        if (s) {
            xdb_set_status(XD_OK);
            return s == XD_CORRUPT ? "count or slot offsets outside the page" : "unreadable";
        }
        // The slots in use must not overlap: each item has its own place.
        const int n = count_of(*page);
        std::vector<uint16_t> places;
        for (int i = 0; i <= n; i++) places.push_back(slot(*page, i));
        std::sort(places.begin(), places.end());
        for (size_t i = 1; i < places.size(); i++)
            if (places[i] - places[i - 1] < f->item_size) return "item slots overlap";
        // Every child or none.
        const bool leaf = child(*page, 0) == 0;
        for (int i = 1; i <= n; i++)
            if (leaf != (child(*page, i) == 0)) return leaf ? "leaf entry with a child" : "inner entry without a child";
        return nullptr;
    };
    t.count = [](void*, const uint8_t* b) { return count_of(as_page(b)); };
    t.key = [](void*, const uint8_t* b, int i) { return key_of(as_page(b), i); };
    t.record = [](void*, const uint8_t* b, int i) { return record_of(as_page(b), i); };
    t.is_leaf = [](void*, const uint8_t* b) { return child(as_page(b), 0) == 0; };
    t.children = [](void*, const uint8_t* b) { return count_of(as_page(b)) + 1; };
    t.child = [](void*, const uint8_t* b, int i) { return child(as_page(b), i); };
    t.leaf_entry_has_child = [](void*, const uint8_t*, int) { return false; };  // read() has looked
    t.compare = [](void* c, const uint8_t* a, const uint8_t* b) {
        NtxFile* f = (NtxFile*)c;
        return compare(f, a, b, f->key_length, false);
    };
    t.free_head = f->free_page;
    t.next_free = [](void* c, uint32_t p, uint32_t* next) {
        NtxFile* f = (NtxFile*)c;
        uint8_t bytes[kPage];
        if (xdb_fread_at(f->file.sh, p * kPage, bytes, kPage) != XD_OK) {
            xdb_set_status(XD_OK);
            return false;
        }
        *next = free_next(f, bytes);
        return true;
    };
    return t;
}

}  // namespace

XDSTATUS ntx_check(int16_t handle, uint32_t* entries, char* fault, size_t cap) {
    return ntx_check_entries(handle, entries, fault, cap, nullptr, nullptr);
}

XDSTATUS ntx_check_entries(int16_t handle, uint32_t* entries, char* fault, size_t cap,
                           void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    NtxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!fault || cap == 0) return xdb_report(XD_NULLPARAM);
    fault[0] = 0;
    if (entries) *entries = 0;
    if ((s = refresh_header(f)) || (s = measure_size(f))) return s;
    if (f->file_size % kPage) {
        snprintf(fault, cap, "header: file size %u is not a multiple of %u", f->file_size, kPage);
        s = XD_CORRUPT;
    } else if (!page_in_file(f, f->root)) {
        snprintf(fault, cap, "header: root page outside the %u-byte file", f->file_size);
        s = XD_CORRUPT;
    } else {
        s = tree_check(check_pages(f), entries, fault, cap, entry, context);
    }
    end_operation(f, s);
    return s == XD_OK ? xdb_status() : xdb_report(s);
}

// ---- Keys from records, and the rebuild ----

namespace {

// A key from a value of the evaluator: text as it is, dates as YYYYMMDD, numbers
// in the numeric key form, logicals as T or F.
XDSTATUS key_from_value(const NtxFile* f, const XdbKeyValue& v, uint8_t* key) {
    memset(key, ' ', f->key_length);
    if (v.type == 'C') {
        memcpy(key, v.value, v.length < f->key_length ? v.length : f->key_length);
        return XD_OK;
    }
    if (v.type == 'N' || v.type == 'F') {
        double d;
        memcpy(&d, v.value, 8);
        ntx_numeric_key(d, f->key_length, f->decimals, key);
        return XD_OK;
    }
    if (v.type == 'D') {
        int y = 0, m = 0, day = 0;
        XDSTATUS before = xdb_status();
        XDSTATUS r = xdb_read_date(&y, &m, &day, (const char*)v.value, xdb_date_format());
        if (r < 0) return r;
        xdb_set_status(before);
        uint8_t date[8];
        ntx_date_key(r == XD_EMPTYFILE ? 0 : y, m, day, date);
        memcpy(key, date, f->key_length < 8 ? f->key_length : 8);
        return XD_OK;
    }
    if (v.type == 'L') {
        key[0] = *(const uint8_t*)v.value ? 'T' : 'F';
        return XD_OK;
    }
    return xdb_report(XD_BADKEYEXPR);
}

XDSTATUS evaluate_key(const NtxFile* f, int16_t data_handle, uint8_t* key) {
    char expr[256];
    snprintf(expr, sizeof expr, "%s", (const char*)f->header + 22);
    XdbKeyValue v{};
    XDSTATUS s = xdb_eval_key(data_handle, expr, 0, &v);
    if (s < 0) return s;
    return key_from_value(f, v, key);
}

XDSTATUS evaluate_condition(const NtxFile* f, int16_t data_handle, bool* included) {
    *included = true;
    const char* condition = (const char*)f->header + 282;
    if (!condition[0]) return XD_OK;
    char why[160];
    XDSTATUS s = xdb_eval_condition(data_handle, condition, included, why, sizeof why);
    if (s < 0) xdb_fault(s, true, "the condition %s of the index: %s", condition, why);
    return s;
}

}  // namespace

XDSTATUS ntx_key_from_record(int16_t handle, int16_t data_handle, void* key) {
    NtxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if ((s = evaluate_key(f, data_handle, (uint8_t*)key)) < 0) return s;
    ((uint8_t*)key)[f->key_length] = 0;
    return xdb_status();
}

XDSTATUS ntx_record_included(int16_t handle, int16_t data_handle, bool* included) {
    NtxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!included) return xdb_report(XD_NULLPARAM);
    if ((s = evaluate_condition(f, data_handle, included)) < 0) return s;
    return xdb_status();
}

namespace {

// Builds the tree bottom-up from entries in order: each level fills a page; when
// it is full, the arriving entry goes up a level with the page as its child, and
// the level starts a new page at the end of the file.
struct TreeBuilder {
    NtxFile* f;
    BuildWriter* writer;
    struct Level {
        Page page;
        uint32_t number;
        int count;
    };
    std::vector<Level> levels;
    XDSTATUS status = XD_OK;

    explicit TreeBuilder(NtxFile* file) : f(file), writer(build_writer_new(file->file.sh, kPage, 1, 1024)) {
        levels.push_back(Level{});
        levels[0].number = 1;  // the empty root of the new file
        lay_out(f, levels[0].page);
        levels[0].count = 0;
        if (!writer) status = xdb_report(XD_MEMERR);
    }
    ~TreeBuilder() {
        if (writer) build_writer_finish(writer);
    }
    void start(size_t level) {
        lay_out(f, levels[level].page);
        levels[level].number = f->file_size / kPage;
        f->file_size += kPage;
        levels[level].count = 0;
    }
    XDSTATUS write(size_t level) {
        Level& l = levels[level];
        put_le16(l.page.bytes, (uint16_t)l.count);
        return build_writer_put(writer, l.number, l.page.bytes);
    }
    void add(size_t level, const uint8_t* key, uint32_t recno, uint32_t child_page) {
        if (status < 0) return;
        if (level >= levels.size()) {
            if (level >= (size_t)kMaxDepth) {
                status = xdb_report(XD_CORRUPT);
                return;
            }
            levels.push_back(Level{});
            start(level);
        }
        Level& l = levels[level];
        if (l.count == f->max_items) {
            put_le32(item(l.page, l.count), child_page * kPage);
            uint32_t number = l.number;
            if ((status = write(level)) < 0) return;
            add(level + 1, key, recno, number);
            start(level);
            return;
        }
        uint8_t* it = item(l.page, l.count);
        put_le32(it, child_page * kPage);
        put_le32(it + 4, recno);
        memcpy(it + 8, key, f->key_length);
        l.count++;
    }
    XDSTATUS finish() {
        if (status < 0) return status;
        for (size_t level = 0; level < levels.size(); level++) {
            uint32_t below = level == 0 ? 0 : levels[level - 1].number;
            put_le32(item(levels[level].page, levels[level].count), below * kPage);
            if ((status = write(level)) < 0) return status;
        }
        status = build_writer_finish(writer);
        writer = nullptr;
        if (status < 0) return status;
        xdb_fset_size(f->file.sh, f->file_size);
        f->root = levels.back().number;
        return write_header_offset(f, 4, f->root);
    }
};

XDSTATUS record_key(NtxFile* f, int16_t data, const RecordKeySource& src, uint8_t* key) {
    if (src.field < 0) return evaluate_key(f, data, key);
    const char* p = src.record + src.offset;
    if (src.field_type == 'C') {
        memset(key, ' ', f->key_length);
        memcpy(key, p, src.length < f->key_length ? src.length : f->key_length);
        return XD_OK;
    }
    if (src.field_type == 'D') {
        bool digits = true;
        for (int i = 0; i < 8; i++) digits &= isdigit((unsigned char)p[i]) != 0;
        memset(key, ' ', f->key_length);
        if (digits) memcpy(key, p, f->key_length < 8 ? f->key_length : 8);
        return XD_OK;
    }
    // A number: the field's text when it already is the key's form (no sign, as
    // wide as the key, right-aligned: leading blanks become zeros), else through
    // its value (a number written "12   " is 12, not 12000).
    bool plain = src.length == f->key_length && !memchr(p, '-', src.length);
    bool begun = false;
    for (uint16_t i = 0; plain && i < src.length; i++) {
        plain = (p[i] == ' ' && !begun) || p[i] == '.' || isdigit((unsigned char)p[i]);
        begun = begun || p[i] != ' ';
    }
    if (plain) {
        uint16_t point = 0;
        for (uint16_t i = 0; i < src.length; i++)
            if (p[i] == '.') point = (uint16_t)(src.length - i - 1);
        plain = f->decimals == point && (point > 0 || !memchr(p, '.', src.length));
    }
    if (plain) {
        for (uint16_t i = 0; i < src.length; i++) key[i] = p[i] == ' ' ? '0' : (uint8_t)p[i];
        return XD_OK;
    }
    char text[32] = {0};
    memcpy(text, p, src.length < 31 ? src.length : 31);
    double d = strtod(text, nullptr);
    ntx_numeric_key(d, f->key_length, f->decimals, key);
    return XD_OK;
}

// What a rebuild keeps of the index it replaces, when that index has the same
// expression: the order (descending) and the condition, which other
// Clipper-family programs write and the creation request does not carry.
struct Kept {
    bool descending = false;
    char condition[256] = {0};
};

Kept kept_from(const char* name, const char* expression) {
    Kept k;
    int16_t h = -1;
    XDSTATUS before = xdb_status();
    if (xdb_fexists(name) && ntx_open(&h, name, XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND) >= 0) {
        NtxFile* f = nullptr;
        if (enter(h, &f) == XD_OK) {
            std::string wanted;
            for (const char* p = expression; *p; p++)
                if (*p != ' ') wanted += (char)toupper((unsigned char)*p);
            if (wanted == (const char*)f->header + 22) {
                k.descending = f->descending;
                memcpy(k.condition, f->header + 282, sizeof k.condition);
                k.condition[255] = 0;
            }
        }
        ntx_close(h);
    }
    xdb_set_status(before);
    return k;
}

XDSTATUS build_index(int16_t data, const char* name, uint8_t key_type, const char* expression, uint16_t key_length,
                     uint16_t decimals, const Kept& kept);

}  // namespace

XDSTATUS ntx_rebuild(int16_t data, const char* name, uint8_t key_type, const char* expression, uint16_t key_length,
                     uint16_t decimals) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name || !expression) return xdb_report(XD_NULLPARAM);
    struct Request {
        int16_t data;
        uint8_t key_type;
        const char* expression;
        uint16_t key_length, decimals;
        Kept kept;
    } r{data, key_type, expression, key_length, decimals, kept_from(name, expression)};
    auto build = [](void* context, const char* temporary) {
        const Request* q = (const Request*)context;
        return build_index(q->data, temporary, q->key_type, q->expression, q->key_length, q->decimals, q->kept);
    };
    return rebuild_beside(name, ".NTX", build, &r);
}

namespace {

XDSTATUS build_index(int16_t data, const char* name, uint8_t key_type, const char* expression, uint16_t key_length,
                     uint16_t decimals, const Kept& kept) {
    XDSTATUS s;
    if ((s = ntx_create(name, key_type, expression, key_length, decimals))) return s;
    int16_t h;
    if ((s = ntx_open(&h, name, 0)) < 0) return s;
    NtxFile* f = nullptr;
    enter(h, &f);
    if (kept.descending || kept.condition[0]) {
        // Signature 7 says a condition follows the header's first part.
        f->descending = kept.descending;
        f->header[280] = kept.descending ? 1 : 0;
        memcpy(f->header + 282, kept.condition, sizeof kept.condition);
        uint8_t signature[2];
        put_le16(signature, kept.condition[0] ? 7 : 6);
        if ((s = xdb_fwrite_at(f->file.sh, 0, signature, 2, 1)) == XD_OK)
            s = xdb_fwrite_at(f->file.sh, 280, f->header + 280, kHeaderKept - 280, 1);
    }
    uint32_t count = 0;
    if (s >= 0) s = dbf_record_count(data, &count);

    const RecordKeySource src = s < 0 ? RecordKeySource{} : record_key_source(data, (const char*)f->header + 22);
    KeySorter* sorter = s < 0 ? nullptr : key_sort_new(f->key_length, false, count);
    key_sort_set_unique(sorter, f->unique);
    TreeBuilder builder(f);
    if (s >= 0 && !sorter) s = xdb_report(XD_MEMERR);
    struct Keys {
        NtxFile* f;
        RecordKeySource src;
        static XDSTATUS of(void* context, int16_t data, uint32_t, uint8_t* key, bool* has_key) {
            Keys* k = (Keys*)context;
            XDSTATUS r = evaluate_condition(k->f, data, has_key);
            if (r < 0 || !*has_key) return r;
            if ((r = record_key(k->f, data, k->src, key)) < 0) return r;
            // A descending index sorts the keys' complements: greater keys first,
            // equal keys still in record order.
            if (k->f->descending)
                for (uint16_t i = 0; i < k->f->key_length; i++) key[i] = (uint8_t)~key[i];
            return XD_OK;
        }
    } keys{f, src};
    if (s >= 0) s = sort_record_keys(data, count, sorter, Keys::of, &keys);
    if (s >= 0) {
        struct Emit {
            static XDSTATUS item(void* context, const uint8_t* key, uint32_t recno) {
                TreeBuilder* b = (TreeBuilder*)context;
                if (!b->f->descending) {
                    b->add(0, key, recno, 0);
                    return b->status;
                }
                uint8_t k[101];
                for (uint16_t i = 0; i < b->f->key_length; i++) k[i] = (uint8_t)~key[i];
                b->add(0, k, recno, 0);
                return b->status;
            }
        };
        s = key_sort_finish(sorter, Emit::item, &builder);
    }
    key_sort_free(sorter);
    if (s >= 0) s = builder.finish();
    if (s >= 0) f->rebuilt = true;
    return close_built_index(h, ntx_close, name, s);
}

}  // namespace

// ---- The format's table for the uniform layer ----

namespace {

XDSTATUS ntx_create_request(const IndexCreateRequest* r) {
    uint16_t length = r->key_length, decimals = 0;
    if (toupper((unsigned char)r->key_type) == 'N') {  // numbers are text of the field's width
        length = r->key_width ? r->key_width : r->key_length;
        decimals = r->key_decimals;
    }
    return ntx_create(r->file_name, (uint8_t)(r->key_type | (r->unique ? 0x80 : 0)), r->expression, length, decimals);
}

XDSTATUS ntx_describe(int16_t handle, IndexDescription* out) {
    NtxInfo info;
    XDSTATUS s = ntx_info(handle, &info);
    if (s < 0) return s;
    // The file does not say what its keys stand for: every key is text.
    index_describe(out, 'C', info.key_length, info.flags, info.decimals, info.expression, info.for_expression, nullptr,
                   info.file_name);
    return XD_OK;
}

int ntx_compare(int16_t handle, bool, const void* left, const void* right, uint16_t length) {
    return ntx_compare_keys(handle, left, right, length);
}

XDSTATUS ntx_number_key(int16_t handle, double value, uint16_t size, uint8_t* key) {
    NtxInfo info;
    XDSTATUS s = ntx_info(handle, &info);  // the index's own decimals
    if (s < 0) return s;
    if (size < 1) return xdb_report(XD_BADKEYSIZE);
    ntx_numeric_key(value, size, info.decimals, key);
    return XD_OK;
}

// The text form: a negative number has its characters turned into 92 - c.
double ntx_key_number(const uint8_t* key, uint16_t size) {
    bool negative = size > 0 && key[0] < '0';
    std::string text = negative ? "-" : "";
    for (size_t i = 0; i < size && key[i]; i++) text += (char)(negative && key[i] != '.' ? 92 - key[i] : key[i]);
    return strtod(text.c_str(), nullptr);
}

bool ntx_key_date(const uint8_t* key, int* year, int* month, int* day) {
    char text[9] = {0};
    memcpy(text, key, 8);
    return sscanf(text, "%4d%2d%2d", year, month, day) == 3;
}

// Byte order, turned round in a descending index.
int ntx_last_byte(int16_t handle) {
    NtxInfo info;
    const XDSTATUS pending = xdb_get_status();
    const bool descending = ntx_info(handle, &info) == XD_OK && (info.flags & 256);
    xdb_set_status(pending);
    return descending ? 0x00 : 0xFF;
}

}  // namespace

const IndexFormat kNtxFormat = {
    ".ntx",         true,           ntx_create_request, ntx_open,            ntx_close,     ntx_describe,
    ntx_first,      ntx_last,       ntx_next,           ntx_previous,        ntx_resync,    ntx_seek,
    ntx_add_key,    ntx_delete_key, ntx_key_from_record, ntx_record_included, ntx_compare,   ntx_rebuild,
    ntx_check_entries, ntx_number_key, ntx_date_key,    ntx_key_number,      ntx_key_date,  ntx_last_byte,
    nullptr,        nullptr,        nullptr,            nullptr,             nullptr,       nullptr,
    nullptr,        [](int16_t h, int16_t data) { return tree_hold(h, XDB_KIND_NTX, data); },
};
