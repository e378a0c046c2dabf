// The B-tree of the dBASE family (see dbase_tree.h).

#include "engine/index/ndx/dbase_tree.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/condexpr.h"
#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/os.h"
#include "engine/index/build_writer.h"
#include "engine/index/ndx/ndx.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"
#include "engine/index/tree_walk.h"

namespace {

const int kMaxDepth = kMaxTreeDepth;
const uint32_t kBlock = 512;

// A page buffer of the largest page; only page_size bytes of it are used.
struct Page {
    uint8_t bytes[kMaxTreePage];
};

// The pages an add or a delete changes, held until the change is complete and
// then written in an order that survives a stop (see ordered_commit.h). One at a
// time: the engine is entered by one thread at a time.
BlockChanges g_changes;

DbaseTree* tree_of(TreeCursor* c) { return (DbaseTree*)c; }
const DbaseTree* tree_of(const TreeCursor* c) { return (const DbaseTree*)c; }

}  // namespace

void dbase_put_entry(const DbaseTree* t, uint8_t* p, int i, uint32_t child, uint32_t record, const uint8_t* key) {
    uint8_t* e = dbase_entry(t, p, i);
    put_le32(e, child);
    if (t->record_at != 0 || child == 0) put_le32(e + t->record_at, record);
    memcpy(e + t->key_at, key, t->key_length);
}

bool dbase_is_leaf(const DbaseTree* t, const uint8_t* p) {
    return dbase_child(t, p, t->leaf_by_last ? dbase_count(t, p) : 0) == 0;
}

bool dbase_sane(const DbaseTree* t, const uint8_t* p) {
    return t->head + dbase_count(t, p) * (uint32_t)t->entry_size + 4 <= t->page_size;
}

bool dbase_page_in_file(const DbaseTree* t, uint32_t page) {
    return page >= t->first_page && (uint64_t)page + t->blocks_per_page <= t->end &&
           (uint64_t)(page + t->blocks_per_page) * kBlock <= 0xFFFFFFFFull;
}

XDSTATUS dbase_read_page(DbaseTree* t, uint32_t page, uint8_t* out) {
    if (!dbase_page_in_file(t, page)) return xdb_report(XD_SEEKERR);
    return tree_read_page(&t->cursor, g_changes, page, out, nullptr);
}

XDSTATUS dbase_write_page(DbaseTree* t, uint32_t page, const uint8_t* bytes) {
    if (!dbase_page_in_file(t, page)) return xdb_report(XD_SEEKERR);
    return tree_write_page(&t->cursor, g_changes, page, bytes);
}

bool dbase_in_change() { return g_changes.active; }

// ---- Keys ----

int dbase_compare_doubles(const uint8_t* search, const uint8_t* key) {
    bool sn = search[7] & 0x80, kn = key[7] & 0x80;
    if (sn != kn) return sn ? -1 : 1;
    for (int i = 7; i >= 0; i--) {
        uint8_t a = i == 7 ? search[i] & 0x7F : search[i], b = i == 7 ? key[i] & 0x7F : key[i];
        if (a != b) return (a < b) != sn ? -1 : 1;
    }
    return 0;
}

// Packed decimals: the exponent byte, then the digits; a negative number (bit 128
// of byte 1) below every positive one, two negatives the other way round. Zero
// (no digit) lies between the negatives and the positives: its exponent byte (52,
// as 0.1's) would otherwise place it among the fractions, where the dBASE-family
// programs do not look for it (their files hold it before 0.01).
int dbase_compare_packed(const uint8_t* a, const uint8_t* b) {
    static const uint8_t kNoDigits[10] = {0};
    const bool az = memcmp(a + 2, kNoDigits, 10) == 0, bz = memcmp(b + 2, kNoDigits, 10) == 0;
    const int as = az ? 0 : (a[1] & 0x80) ? -1 : 1, bs = bz ? 0 : (b[1] & 0x80) ? -1 : 1;
    if (as != bs || as == 0) return as < bs ? -1 : as > bs ? 1 : 0;
    int c = (int)a[0] - (int)b[0];
    if (c == 0) c = memcmp(a + 2, b + 2, 10);
    c = c < 0 ? -1 : c > 0 ? 1 : 0;
    return as < 0 ? -c : c;
}

int dbase_compare(const DbaseTree* t, const uint8_t* search, const uint8_t* key, uint16_t length, bool wildcard) {
    int c;
    if (t->kind == kDbaseText) {
        if (!wildcard) {
            c = xdb_compare_keys(search, key, length);
        } else {
            c = 0;
            for (uint16_t i = 0; i < length && c == 0; i++)
                if (search[i] != '?' && search[i] != key[i]) c = search[i] < key[i] ? -1 : 1;
        }
    } else if (t->kind == kDbasePacked) {
        c = dbase_compare_packed(search, key);
    } else if (t->dates) {
        // Blank dates come in two forms (1.0E100, and 21474835648 from other
        // dBASE-family writers): one key, above every date.
        double a, b;
        memcpy(&a, search, 8);
        memcpy(&b, key, 8);
        const bool ab = a == kNdxBlankDate || a == kNdxBlankDateOld, bb = b == kNdxBlankDate || b == kNdxBlankDateOld;
        c = ab || bb ? (ab && bb ? 0 : ab ? 1 : -1) : dbase_compare_doubles(search, key);
    } else {
        c = dbase_compare_doubles(search, key);
    }
    return t->descending ? -c : c;
}

namespace {

// A numeric key of -0.0 becomes +0.0: the two compare unequal byte by byte, but
// mean one number.
void plain_zero(const DbaseTree* t, uint8_t* key) {
    if (t->kind != kDbaseDouble) return;
    double d;
    memcpy(&d, key, 8);
    if (d == 0) {
        d = 0.0;
        memcpy(key, &d, 8);
    }
}

// The search key of add and delete: the caller's key, blank-padded when character.
void full_key(const DbaseTree* t, const void* key, uint16_t key_size, uint8_t* out) {
    if (t->kind == kDbaseText) {
        memset(out, ' ', t->key_length);
        memcpy(out, key, key_size < t->key_length ? key_size : t->key_length);
    } else {
        memcpy(out, key, t->key_length);
        plain_zero(t, out);
    }
}

}  // namespace

// ---- Moves ----

XDSTATUS dbase_descend(DbaseTree* t, uint32_t b, int level, bool rightmost, uint8_t* leaf) {
    TreePath& path = t->cursor.path;
    for (;;) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = dbase_read_page(t, b, leaf);
        if (s) return s;
        if (!dbase_sane(t, leaf)) return xdb_report(XD_CORRUPT);
        int kc = dbase_count(t, leaf);
        path.page[level] = b;
        path.depth = level;
        if (dbase_is_leaf(t, leaf)) {
            path.index[level] = rightmost ? kc - 1 : 0;
            return XD_OK;
        }
        path.index[level] = rightmost ? kc : 0;
        b = dbase_child(t, leaf, path.index[level]);
        level++;
    }
}

namespace {

// One entry forward or back along the path, over empty leaves (deletions may
// leave some); XD_NOMOREKEYS at either end, the path then undefined.
XDSTATUS advance(DbaseTree* t, uint8_t* leaf, bool forward) {
    TreePath& path = t->cursor.path;
    for (uint32_t guard = 0;; guard++) {
        if (guard > t->end) return xdb_report(XD_CORRUPT);
        int level = path.depth;
        int& idx = path.index[level];
        if (forward ? ++idx < dbase_count(t, leaf) : --idx >= 0) return XD_OK;
        Page b;
        bool moved = false;
        for (level--; level >= 0 && !moved; level--) {
            XDSTATUS s = dbase_read_page(t, path.page[level], b.bytes);
            if (s) return s;
            int& up = path.index[level];
            if (forward ? ++up <= dbase_count(t, b.bytes) : --up >= 0) {
                if ((s = dbase_descend(t, dbase_child(t, b.bytes, up), level + 1, !forward, leaf))) return s;
                moved = true;
            }
        }
        if (!moved) return XD_NOMOREKEYS;
        if (dbase_count(t, leaf) > 0) return XD_OK;
    }
}

// The first or last entry: down the leftmost or rightmost path, over empty leaves.
XDSTATUS end_entry(DbaseTree* t, uint8_t* leaf, bool last) {
    XDSTATUS s = dbase_descend(t, t->root, 0, last, leaf);
    if (s) return s;
    if (dbase_count(t, leaf) == 0) {
        if (t->cursor.path.depth == 0 || (s = advance(t, leaf, !last)) == XD_NOMOREKEYS) {
            t->cursor.path.depth = -1;
            return XD_EMPTYFILE;
        }
        return s;
    }
    return XD_OK;
}

// One entry on; XD_NOMOREKEYS (positioned on the last entry) at the end.
XDSTATUS step(DbaseTree* t, uint8_t* leaf, bool forward) {
    if (t->cursor.path.depth < 0) return end_entry(t, leaf, !forward);
    XDSTATUS s = advance(t, leaf, forward);
    if (s != XD_NOMOREKEYS) return s;
    s = end_entry(t, leaf, forward);
    return s < 0 ? s : XD_NOMOREKEYS;
}

}  // namespace

XDSTATUS dbase_search(DbaseTree* t, const uint8_t* search_key, uint16_t length, uint32_t recno, uint16_t mode,
                      uint8_t* leaf, bool* no_smaller) {
    *no_smaller = false;
    TreePath& path = t->cursor.path;
    const bool exact = mode & NDX_EXACT;
    const bool wildcard = t->kind == kDbaseText && (mode & NDX_WILDCARD) && memchr(search_key, '?', length);
    uint32_t b = t->root;
    int level = 0;
    for (;;) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = dbase_read_page(t, b, leaf);
        if (s) return s;
        if (!dbase_sane(t, leaf)) return xdb_report(XD_CORRUPT);
        int kc = dbase_count(t, leaf);
        const bool leaf_page = dbase_is_leaf(t, leaf);
        if (level == 0 && kc == 0 && leaf_page) return XD_EMPTYFILE;
        int low = 0, high = kc - 1, found = -1;
        while (low <= high) {
            int mid = (low + high) / 2;
            int c = dbase_compare(t, search_key, dbase_key(t, leaf, mid), length, wildcard);
            if (c == 0 && !leaf_page) {
                high = mid - 1;
            } else if (c == 0 && exact) {
                uint32_t r = dbase_record(t, leaf, mid);
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
        path.page[level] = b;
        path.depth = level;
        if (!leaf_page) {
            path.index[level] = low;
            b = dbase_child(t, leaf, low);
            level++;
            continue;
        }
        if (found >= 0) {
            path.index[level] = found;
            return XD_OK;
        }
        if (low >= kc) {
            // Past this leaf: the key may begin the next one.
            path.index[level] = kc - 1;
            s = step(t, leaf, true);
            if (s < 0) return s;
            if (s == XD_NOMOREKEYS) return XD_KEYNOTFOUND;
            b = path.page[path.depth];
            level = path.depth;
            continue;
        }
        if (high >= 0) {
            path.index[level] = high;
            return XD_KEYNOTFOUND;
        }
        path.index[level] = 0;
        s = step(t, leaf, false);
        if (s < 0) return s;
        if (s == XD_NOMOREKEYS) *no_smaller = true;
        return XD_KEYNOTFOUND;
    }
}

namespace {

// The entry (key, record) itself. Equal keys of a unique tree stand in the order
// they were added (a repeated key goes before its equals), not by record: there
// they are looked through one by one. An entry that is not there is placed among
// its equals by record number, as in a tree that is not unique.
XDSTATUS find_entry_of(DbaseTree* t, const uint8_t* key, uint32_t recno, uint8_t* leaf, bool* no_smaller) {
    if (!t->unique) return dbase_search(t, key, t->key_length, recno, NDX_EXACT, leaf, no_smaller);
    XDSTATUS s = dbase_search(t, key, t->key_length, recno, 0, leaf, no_smaller);
    const uint16_t kl = dbase_whole_key(t);
    for (uint32_t guard = 0; s == XD_OK && guard < 0x7FFFFFFF; guard++) {
        const int i = t->cursor.path.index[t->cursor.path.depth];
        if (dbase_compare(t, key, dbase_key(t, leaf, i), kl, false) != 0) s = XD_KEYNOTFOUND;
        else if (dbase_record(t, leaf, i) == recno) return XD_OK;
        else s = step(t, leaf, true);
    }
    if (s < 0) return s;
    return dbase_search(t, key, t->key_length, recno, NDX_EXACT, leaf, no_smaller) == XD_OK ? XD_OK : XD_KEYNOTFOUND;
}

}  // namespace

XDSTATUS dbase_begin(DbaseTree* t) {
    if (t->ops->sync) t->ops->sync(t);
    if (tree_begin_operation(&t->cursor)) return XD_OK;
    XDSTATUS s = t->ops->refresh(t);
    if (s) return s;
    if (t->root != t->saved_root || t->end != t->saved_end) tree_header_changed(&t->cursor);
    return XD_OK;
}

void dbase_end(DbaseTree* t, XDSTATUS s, bool handed) {
    t->saved_root = t->root;
    t->saved_end = t->end;
    tree_end_operation(&t->cursor, s, handed);
}

const TreeFormat kDbaseTreeFormat = {
    [](TreeCursor* c, uint32_t size) { return tree_of(c)->ops->read_header(tree_of(c), size); },
    [](const TreeCursor* c, const uint8_t* page) { return dbase_count(tree_of(c), page); },
    [](const TreeCursor* c, const uint8_t* page, int i) { return dbase_key(tree_of(c), page, i); },
    [](const TreeCursor* c, const uint8_t* page, int i) { return dbase_record(tree_of(c), page, i); },
    nullptr,  // entries are read in place
    [](const TreeCursor* c, const uint8_t* page) { return dbase_is_leaf(tree_of(c), page); },
    [](TreeCursor* c, uint32_t number, uint8_t* page) { return dbase_read_page(tree_of(c), number, page); },
    [](TreeCursor* c, uint32_t b, uint8_t* page) {
        DbaseTree* t = tree_of(c);
        return dbase_page_in_file(t, b) && index_file_read_raw(c->file, b, page);
    },
    [](TreeCursor* c, uint8_t* page, bool last) { return end_entry(tree_of(c), page, last); },
    [](TreeCursor* c, uint8_t* page, bool forward) { return step(tree_of(c), page, forward); },
    [](TreeCursor* c, const uint8_t* key, uint32_t recno, uint8_t* page, bool* no_smaller) {
        return find_entry_of(tree_of(c), key, recno, page, no_smaller);
    },
    [](TreeCursor* c, XDSTATUS s, bool handed) { dbase_end(tree_of(c), s, handed); },
    nullptr,  // pages are read in place
};

XDSTATUS dbase_tree_init(DbaseTree* t, IndexFile* file) {
    t->cursor.key_length = t->key_length;
    t->cursor.zero_after_key = t->kind == kDbaseText;
    t->saved_root = t->root;
    t->saved_end = t->end;
    return tree_cursor_init(&t->cursor, &kDbaseTreeFormat, file);
}

// ---- Positioning ----

namespace {

XDSTATUS begin_positioning(DbaseTree* t, void* key, uint32_t* recno) {
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    return dbase_begin(t);
}

}  // namespace

XDSTATUS dbase_first_or_last(DbaseTree* t, void* key, uint32_t* recno, bool last) {
    XDSTATUS s = begin_positioning(t, key, recno);
    if (s) return s;
    return tree_first_or_last(&t->cursor, t->cursor.walk_page, last, key, recno);
}

XDSTATUS dbase_step(DbaseTree* t, void* key, uint32_t* recno, bool forward) {
    XDSTATUS s = begin_positioning(t, key, recno);
    if (s) return s;
    return tree_moved_from(&t->cursor, t->cursor.walk_page, forward, key, recno);
}

XDSTATUS dbase_resync(DbaseTree* t, void* key, uint32_t* recno) {
    XDSTATUS s = begin_positioning(t, key, recno);
    if (s) return s;
    if (*recno == 0) return xdb_report(XD_KEYNOTFOUND);
    uint8_t search_key[kMaxTreeKey + 1] = {0};
    memcpy(search_key, key, t->key_length);
    Page leaf;
    bool no_smaller = false;
    s = find_entry_of(t, search_key, *recno, leaf.bytes, &no_smaller);
    if (s == XD_KEYNOTFOUND && no_smaller) {
        // No entry at or before the place of the one asked for: no record.
        *recno = 0xFFFFFFFFu;
        t->cursor.path.depth = -1;
        dbase_end(t, XD_OK);
        return xdb_report(XD_KEYNOTFOUND);
    }
    return tree_end_positioning(&t->cursor, leaf.bytes, s, key, recno);
}

XDSTATUS dbase_seek(DbaseTree* t, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode,
                    const DbaseBlankDates* blank) {
    XDSTATUS s = begin_positioning(t, key, recno);
    if (s) return s;
    const bool text = t->kind == kDbaseText;
    uint8_t search_key[kMaxTreeKey + 1] = {0};
    const uint16_t given = text ? (key_size < t->key_length ? key_size : t->key_length) : t->key_length;
    uint16_t length = text ? given : t->key_length;
    if (text && (mode & NDX_EXACT)) {
        memset(search_key, ' ', t->key_length);
        length = t->key_length;
    }
    memcpy(search_key, key, given);
    plain_zero(t, search_key);
    Page leaf;
    bool no_smaller = false;
    s = dbase_search(t, search_key, length, *recno, mode, leaf.bytes, &no_smaller);
    double wanted = 0;
    if (blank) memcpy(&wanted, search_key, 8);
    if (blank && s == XD_KEYNOTFOUND && (wanted == blank->written || wanted == blank->other)) {
        // Blank dates come in two forms: a file written in the other one still
        // answers a seek of the blank date.
        const double other = wanted == blank->written ? blank->other : blank->written;
        memcpy(search_key, &other, 8);
        Page again;
        bool none_smaller = false;
        XDSTATUS r = dbase_search(t, search_key, length, *recno, mode, again.bytes, &none_smaller);
        if (r < 0) {
            s = r;
        } else if (r == XD_OK) {
            memcpy(leaf.bytes, again.bytes, t->page_size);
            no_smaller = false;
            s = XD_OK;
        } else {
            memcpy(search_key, &wanted, 8);
            s = dbase_search(t, search_key, length, *recno, mode, leaf.bytes, &no_smaller);
        }
    }
    if (s == XD_KEYNOTFOUND && no_smaller) {
        s = end_entry(t, leaf.bytes, false);
        if (s == XD_OK) s = XD_KEYNOTFOUNDEND;
    }
    return tree_end_positioning(&t->cursor, leaf.bytes, s, key, recno);
}

// ---- Changes ----

XDSTATUS dbase_set_root(DbaseTree* t, uint32_t root) {
    t->root = root;
    if (g_changes.active) {
        g_changes.root_changed = true;
        g_changes.new_root = root;
        return XD_OK;
    }
    return t->ops->write_root(t, root);
}

namespace {

// ---- The commit's view of dBASE pages ----

std::vector<uint32_t> shape_children(void* context, const uint8_t* bytes) {
    const DbaseTree* t = (const DbaseTree*)context;
    std::vector<uint32_t> out;
    if ((t->ops->is_freed && t->ops->is_freed(bytes)) || !dbase_sane(t, bytes) || dbase_is_leaf(t, bytes)) return out;
    const int kc = dbase_count(t, bytes);
    for (int i = 0; i <= kc; i++) out.push_back(dbase_child(t, bytes, i));
    return out;
}

void shape_set_child(void* context, uint8_t* bytes, size_t i, uint32_t number) {
    const DbaseTree* t = (const DbaseTree*)context;
    put_le32(dbase_entry(t, bytes, (int)i), number);
}

XDSTATUS shape_write_block(void* context, uint32_t number, const uint8_t* bytes) {
    DbaseTree* t = (DbaseTree*)context;
    IndexFile* f = t->cursor.file;
    XDSTATUS s = xdb_fwrite_at(f->sh, number * kBlock, bytes, t->page_size, 1);
    if (s == XD_OK) page_cache_put(f->cache, number, bytes);
    return s;
}

XDSTATUS commit_changes(DbaseTree* t) {
    TreeShape shape{t,
                    shape_children,
                    shape_set_child,
                    nullptr,
                    shape_write_block,
                    [](void* c, uint32_t root) { return ((DbaseTree*)c)->ops->write_root((DbaseTree*)c, root); },
                    [](void* c, uint32_t* number) { return ((DbaseTree*)c)->ops->append((DbaseTree*)c, number); },
                    [](void* c, uint32_t count) { return ((DbaseTree*)c)->ops->drop_last((DbaseTree*)c, count); }};
    if (t->ops->is_freed) shape.is_freed = [](void* c, const uint8_t* b) { return ((DbaseTree*)c)->ops->is_freed(b); };
    shape.write_bytes = [](void* c, const FileWrite& w) {
        return xdb_fwrite_at(((DbaseTree*)c)->cursor.file->sh, w.offset, w.bytes.data(), (uint32_t)w.bytes.size(), 1);
    };
    if (t->ops->before_commit) t->ops->before_commit(t, g_changes);
    return commit_block_changes(g_changes, shape);
}

// A page for new entries, cleared.
XDSTATUS allocate_page(DbaseTree* t, uint32_t* b, uint8_t* out) {
    XDSTATUS s = free_pages_take(t->ops->free_pages(t), g_changes, b);
    if (s) return s;
    memset(out, 0, t->page_size);
    return XD_OK;
}

XDSTATUS free_page(DbaseTree* t, uint32_t b) { return free_pages_release(t->ops->free_pages(t), g_changes, b); }

// Moves entries from..count-1 (and the pointer after them) by `by` slots.
void shift_entries(const DbaseTree* t, uint8_t* p, int from, int count, int by) {
    uint8_t* e = dbase_entry(t, p, from);
    memmove(e + by * t->entry_size, e, (size_t)(count - from) * t->entry_size + 4);
}

// Inserts (key, recno) at the position of the path, splitting full pages on the
// way up and growing a new root when the split reaches the top.
XDSTATUS insert_entry(DbaseTree* t, const uint8_t* key, uint32_t recno) {
    const int es = t->entry_size, kpb = t->max_keys;
    TreePath& path = t->cursor.path;
    uint8_t pending_key[kMaxTreeKey];
    memcpy(pending_key, key, t->key_length);
    uint32_t pending_recno = recno, left = 0, right = 0;
    // Room for max_keys + 1 entries and a trailing pointer, laid out as a page.
    std::vector<uint8_t> combined((size_t)t->head + (size_t)(kpb + 2) * es + 4);
    XDSTATUS s;
    for (int level = path.depth; level >= -1; level--) {
        if (level < 0) {
            uint32_t nb;
            Page root;
            if ((s = allocate_page(t, &nb, root.bytes))) return s;
            dbase_set_count(t, root.bytes, 1);
            dbase_put_entry(t, root.bytes, 0, left, 0, pending_key);
            put_le32(dbase_entry(t, root.bytes, 1), right);
            if ((s = dbase_write_page(t, nb, root.bytes))) return s;
            return dbase_set_root(t, nb);
        }
        uint32_t bno = path.page[level];
        int idx = path.index[level];
        Page b;
        if ((s = dbase_read_page(t, bno, b.bytes))) return s;
        int kc = dbase_count(t, b.bytes);
        if (kc > kpb || idx < 0 || idx > kc) return xdb_report(XD_CORRUPT);
        const bool leaf = left == 0 && dbase_is_leaf(t, b.bytes);
        uint8_t* all = combined.data();
        memset(all, 0, combined.size());
        memcpy(dbase_entry(t, all, 0), dbase_entry(t, b.bytes, 0), (size_t)idx * es);
        memcpy(dbase_entry(t, all, idx + 1), dbase_entry(t, b.bytes, idx), (size_t)(kc - idx) * es + 4);
        dbase_put_entry(t, all, idx, left, pending_recno, pending_key);
        if (!leaf) put_le32(dbase_entry(t, all, idx + 1), right);  // the child after the new entry
        if (kc < kpb) {
            memcpy(dbase_entry(t, b.bytes, 0), dbase_entry(t, all, 0), (size_t)(kc + 1) * es + 4);
            dbase_set_count(t, b.bytes, kc + 1);
            return dbase_write_page(t, bno, b.bytes);
        }
        // Split: the new page takes the first half (rounded up), the old keeps the rest.
        int total = kpb + 1, first = total - total / 2;
        uint32_t nb;
        Page fresh;
        if ((s = allocate_page(t, &nb, fresh.bytes))) return s;
        memcpy(dbase_entry(t, fresh.bytes, 0), dbase_entry(t, all, 0), (size_t)first * es);
        dbase_set_count(t, fresh.bytes, leaf ? first : first - 1);
        memset(b.bytes, 0, t->page_size);
        memcpy(dbase_entry(t, b.bytes, 0), dbase_entry(t, all, first), (size_t)(total - first) * es + 4);
        dbase_set_count(t, b.bytes, total - first);
        memcpy(pending_key, dbase_key(t, all, first - 1), t->key_length);
        pending_recno = 0;
        left = nb;
        right = bno;
        if ((s = dbase_write_page(t, nb, fresh.bytes)) || (s = dbase_write_page(t, bno, b.bytes))) return s;
    }
    return XD_OK;
}

// The greatest key of the subtree at path level `level` changed to `key`: the
// separator that stands for it changes too, in the first ancestor where the subtree
// is not the rightmost child (above a rightmost child, the ancestor's own separator
// stands for it).
XDSTATUS update_separator(DbaseTree* t, int level, const uint8_t* key) {
    TreePath& path = t->cursor.path;
    for (int l = level - 1; l >= 0; l--) {
        Page a;
        XDSTATUS s = dbase_read_page(t, path.page[l], a.bytes);
        if (s) return s;
        if (path.index[l] < dbase_count(t, a.bytes)) {
            memcpy(dbase_entry(t, a.bytes, path.index[l]) + t->key_at, key, t->key_length);
            return dbase_write_page(t, path.page[l], a.bytes);
        }
        // Unchanged, but part of the change: the pages between the leaf and the
        // separator switch together with them.
        if ((s = dbase_write_page(t, path.page[l], a.bytes))) return s;
    }
    return XD_OK;
}

// Takes entry i out of page p (of `count` entries): the following ones, and the
// pointer after them, move down; the slot left behind is cleared.
void drop_slot(const DbaseTree* t, uint8_t* p, int i, int count) {
    memmove(dbase_entry(t, p, i), dbase_entry(t, p, i + 1), (size_t)(count - i - 1) * t->entry_size + 4);
    dbase_set_count(t, p, count - 1);
    memset(dbase_entry(t, p, count - 1) + 4, 0, (size_t)t->entry_size);
}

// The leaf at path level `level` has no entries left: it leaves the tree, and so
// does every ancestor that had it as its only child. Returns in *changed the level
// of the page that lost a child (-1 when the whole tree emptied). The parent is
// written before the page is freed, so a stop in between leaves only a dead page.
XDSTATUS detach_empty(DbaseTree* t, int level, int* changed) {
    TreePath& path = t->cursor.path;
    uint32_t gone = path.page[level];
    XDSTATUS s;
    for (int l = level - 1; l >= 0; l--) {
        uint32_t pno = path.page[l];
        Page p;
        if ((s = dbase_read_page(t, pno, p.bytes))) return s;
        int pkc = dbase_count(t, p.bytes), i = path.index[l];
        if (i < 0 || i > pkc) return xdb_report(XD_CORRUPT);
        if (pkc == 0) {
            if (l == 0) {
                // The root's only child emptied: the root becomes the empty leaf.
                memset(p.bytes, 0, t->page_size);
                if ((s = dbase_write_page(t, pno, p.bytes)) || (s = free_page(t, gone))) return s;
                *changed = -1;
                return XD_OK;
            }
            if ((s = free_page(t, gone))) return s;
            gone = pno;
            continue;
        }
        uint8_t new_last[kMaxTreeKey];
        const bool rightmost = i == pkc;
        if (rightmost) {
            // The child of the last entry becomes the rightmost child; that entry's
            // key, the greatest left, is the page's new greatest key.
            memcpy(new_last, dbase_key(t, p.bytes, pkc - 1), t->key_length);
            dbase_set_count(t, p.bytes, pkc - 1);
            memset(dbase_entry(t, p.bytes, pkc - 1) + 4, 0, (size_t)t->entry_size);
        } else {
            drop_slot(t, p.bytes, i, pkc);
        }
        if ((s = dbase_write_page(t, pno, p.bytes)) || (s = free_page(t, gone))) return s;
        if (rightmost && (s = update_separator(t, l, new_last))) return s;
        *changed = l;
        return XD_OK;
    }
    return xdb_report(XD_CORRUPT);
}

// An inner page without entries (one child) next to a sibling too full to merge
// with takes one child over through the parent, so that no page below the root is
// left without a key.
XDSTATUS borrow_child(DbaseTree* t, uint32_t pno, uint8_t* p, int sep, uint32_t lno, uint8_t* lb, uint32_t rno,
                      uint8_t* rb, bool left_is_empty) {
    const int es = t->entry_size;
    int lk = dbase_count(t, lb), rk = dbase_count(t, rb);
    uint8_t* parent_key = dbase_entry(t, p, sep) + t->key_at;
    if (left_is_empty) {
        // Rotate left: the separator comes down into the left page, the right
        // page's first key goes up, its first child moves over.
        memcpy(dbase_entry(t, lb, lk) + t->key_at, parent_key, t->key_length);
        put_le32(dbase_entry(t, lb, lk + 1), dbase_child(t, rb, 0));
        dbase_set_count(t, lb, lk + 1);
        memcpy(parent_key, dbase_key(t, rb, 0), t->key_length);
        shift_entries(t, rb, 1, rk, -1);
        dbase_set_count(t, rb, rk - 1);
    } else {
        // Rotate right: the left page's rightmost child moves over under the
        // separator, the left page's last key goes up.
        shift_entries(t, rb, 0, rk, 1);
        memset(dbase_entry(t, rb, 0), 0, (size_t)es);
        dbase_put_entry(t, rb, 0, dbase_child(t, lb, lk), 0, parent_key);
        dbase_set_count(t, rb, rk + 1);
        memcpy(parent_key, dbase_key(t, lb, lk - 1), t->key_length);
        dbase_set_count(t, lb, lk - 1);
    }
    // Children before the parent: the parent's new separator never points above
    // keys that are not yet below it.
    XDSTATUS s;
    if ((s = dbase_write_page(t, lno, lb)) || (s = dbase_write_page(t, rno, rb))) return s;
    return dbase_write_page(t, pno, p);
}

// Removes the entry of the path's leaf and rebalances upward. The tree stays one
// that every dBASE-family reader follows: no empty page below the root, every
// separator equal to the greatest key of its subtree.
XDSTATUS remove_entry(DbaseTree* t) {
    const int es = t->entry_size, half = t->max_keys / 2;
    TreePath& path = t->cursor.path;
    XDSTATUS s;
    int level = path.depth;
    Page b;
    if ((s = dbase_read_page(t, path.page[level], b.bytes))) return s;
    int kc = dbase_count(t, b.bytes), idx = path.index[level];
    if (idx < 0 || idx >= kc) return xdb_report(XD_CORRUPT);
    shift_entries(t, b.bytes, idx + 1, kc, -1);
    dbase_set_count(t, b.bytes, --kc);
    if (kc == 0 && level > 0) {
        int changed = -1;
        if ((s = detach_empty(t, level, &changed))) return s;
        if (changed < 0) return XD_OK;
        level = changed;
    } else {
        if ((s = dbase_write_page(t, path.page[level], b.bytes))) return s;
        // The leaf's greatest key changed: so does the separator that stands for it.
        if (idx == kc && kc > 0 && (s = update_separator(t, level, dbase_key(t, b.bytes, kc - 1)))) return s;
    }
    // Merge under-full pages with a sibling when the two fit in one.
    std::vector<uint8_t> all((size_t)t->head + (size_t)(t->max_keys + 2) * es + 4);
    for (; level > 0; level--) {
        uint32_t xno = path.page[level];
        Page x;
        if ((s = dbase_read_page(t, xno, x.bytes))) return s;
        if (dbase_count(t, x.bytes) >= half) break;
        uint32_t pno = path.page[level - 1];
        Page p;
        if ((s = dbase_read_page(t, pno, p.bytes))) return s;
        int pkc = dbase_count(t, p.bytes), i = path.index[level - 1];
        int sep = i < pkc ? i : i - 1;  // separator between the left and the right page
        if (sep < 0) break;
        uint32_t lno = dbase_child(t, p.bytes, sep), rno = dbase_child(t, p.bytes, sep + 1);
        Page lb, rb;
        if ((s = dbase_read_page(t, lno, lb.bytes)) || (s = dbase_read_page(t, rno, rb.bytes))) return s;
        int lk = dbase_count(t, lb.bytes), rk = dbase_count(t, rb.bytes);
        const bool leaf = dbase_is_leaf(t, lb.bytes);
        int merged = lk + rk + (leaf ? 0 : 1);
        if (merged >= t->max_keys) {
            if (dbase_count(t, x.bytes) == 0 && !leaf) {
                if ((s = borrow_child(t, pno, p.bytes, sep, lno, lb.bytes, rno, rb.bytes, xno == lno))) return s;
            }
            break;
        }
        // Everything goes into the right page; the left one is freed.
        uint8_t* a = all.data();
        memset(a, 0, all.size());
        memcpy(dbase_entry(t, a, 0), dbase_entry(t, lb.bytes, 0), (size_t)lk * es);
        int n = lk;
        if (!leaf) dbase_put_entry(t, a, n++, dbase_child(t, lb.bytes, lk), 0, dbase_key(t, p.bytes, sep));
        memcpy(dbase_entry(t, a, n), dbase_entry(t, rb.bytes, 0), (size_t)rk * es + 4);
        memset(rb.bytes, 0, t->page_size);
        memcpy(dbase_entry(t, rb.bytes, 0), dbase_entry(t, a, 0), (size_t)merged * es + 4);
        dbase_set_count(t, rb.bytes, merged);
        if ((s = dbase_write_page(t, rno, rb.bytes))) return s;
        drop_slot(t, p.bytes, sep, pkc);
        if ((s = dbase_write_page(t, pno, p.bytes))) return s;
        if ((s = free_page(t, lno))) return s;
    }
    // A root left without entries hands over to its only child.
    Page r;
    if ((s = dbase_read_page(t, t->root, r.bytes))) return s;
    if (dbase_count(t, r.bytes) == 0 && !dbase_is_leaf(t, r.bytes)) {
        uint32_t old = t->root;
        if ((s = dbase_set_root(t, dbase_child(t, r.bytes, 0))) || (s = free_page(t, old))) return s;
    }
    return XD_OK;
}

// The search that add and delete start with: the entry, or the place for it, of the
// caller's key (blank-padded) and record number.
XDSTATUS locate(DbaseTree* t, const void* key, uint16_t key_size, uint32_t recno, uint8_t* full, uint8_t* leaf,
                bool* no_smaller) {
    if (!key) return xdb_report(XD_NULLPARAM);
    if (t->cursor.file->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    XDSTATUS s = dbase_begin(t);
    if (s) return s;
    full_key(t, key, key_size, full);
    // A unique tree looks for the key alone, the others for the exact entry.
    return dbase_search(t, full, t->key_length, recno, t->unique ? 0 : NDX_EXACT, leaf, no_smaller);
}

// Collects a change made by `make`, commits it, and ends the operation.
template <typename Make>
XDSTATUS change(DbaseTree* t, XDSTATUS s, Make make) {
    if (s == XD_OK) {
        g_changes.begin();
        s = make();
        if (s >= 0) s = commit_changes(t);
        g_changes.active = false;  // a failed change writes nothing but new pages
    }
    t->cursor.path.depth = -1;
    t->ops->after_change(t, s);
    dbase_end(t, s);
    return s;
}

}  // namespace

XDSTATUS dbase_add(DbaseTree* t, const void* key, uint16_t key_size, uint32_t recno) {
    uint8_t full[kMaxTreeKey];
    Page leaf;
    bool no_smaller = false;
    XDSTATUS s = locate(t, key, key_size, recno, full, leaf.bytes, &no_smaller);
    if (s < 0) return s;
    TreePath& path = t->cursor.path;
    // The entry is there already (a repeated add, or another writer's): adding it
    // again would make a walk hand it out twice.
    if (s == XD_OK && dbase_record(t, leaf.bytes, path.index[path.depth]) == recno) {
        path.depth = -1;
        dbase_end(t, XD_OK);
        return xdb_report(XD_EXISTS);
    }
    if (s == XD_EMPTYFILE) {
        path.depth = 0;
        path.page[0] = t->root;
        path.index[0] = 0;
        s = XD_OK;
    } else if (s == XD_KEYNOTFOUND && !no_smaller) {
        s = step(t, leaf.bytes, true);
        if (s == XD_NOMOREKEYS) {
            path.index[path.depth]++;
            s = XD_OK;
        }
    } else if (s == XD_KEYNOTFOUND) {
        s = XD_OK;  // before the first entry
    }
    s = change(t, s, [&] { return insert_entry(t, full, recno); });
    return s < 0 ? xdb_report(s) : xdb_status();
}

XDSTATUS dbase_delete(DbaseTree* t, const void* key, uint16_t key_size, uint32_t recno) {
    uint8_t full[kMaxTreeKey];
    Page leaf;
    bool no_smaller = false;
    XDSTATUS s = locate(t, key, key_size, recno, full, leaf.bytes, &no_smaller);
    if (s < 0) return s;
    // An entry goes by its key and record: in a unique tree with equal keys (adds
    // with duplicates allowed), the key alone would find another record's entry.
    if (s == XD_OK && t->unique) s = find_entry_of(t, full, recno, leaf.bytes, &no_smaller);
    s = change(t, s, [&] { return remove_entry(t); });
    return xdb_report(s);
}

// ---- The check ----

TreeCheckPages dbase_check_pages(DbaseTree* t) {
    TreeCheckPages c{};
    c.context = t;
    c.page_size = t->page_size;
    c.first_page = t->first_page;
    c.end_page = t->end;
    c.root = t->root;
    c.key_length = t->key_length;
    c.inner_entries = false;
    c.empty_below_root_allowed = false;  // other dBASE programs stop at an empty leaf
    c.page_word = "block";
    c.named = [](void*, uint32_t b) { return b; };
    c.read = [](void* context, uint32_t b, uint8_t* out) -> const char* {
        DbaseTree* t = (DbaseTree*)context;
        if (dbase_read_page(t, b, out)) {
            xdb_set_status(XD_OK);
            return "unreadable";
        }
        if (t->ops->is_freed && t->ops->is_freed(out)) return "freed block in the tree";
        if (!dbase_sane(t, out) || dbase_count(t, out) > t->max_keys) return "key count too large";
        return nullptr;
    };
    c.count = [](void* context, const uint8_t* b) { return dbase_count((DbaseTree*)context, b); };
    c.key = [](void* context, const uint8_t* b, int i) { return dbase_key((DbaseTree*)context, b, i); };
    c.record = [](void* context, const uint8_t* b, int i) { return dbase_record((DbaseTree*)context, b, i); };
    c.is_leaf = [](void* context, const uint8_t* b) { return dbase_is_leaf((DbaseTree*)context, b); };
    c.children = [](void* context, const uint8_t* b) { return dbase_count((DbaseTree*)context, b) + 1; };
    c.child = [](void* context, const uint8_t* b, int i) { return dbase_child((DbaseTree*)context, b, i); };
    c.leaf_entry_has_child = [](void* context, const uint8_t* b, int i) {
        const DbaseTree* t = (const DbaseTree*)context;
        return t->record_at != 0 && dbase_child(t, b, i) != 0;
    };
    c.compare = [](void* context, const uint8_t* a, const uint8_t* b) {
        const DbaseTree* t = (const DbaseTree*)context;
        return dbase_compare(t, a, b, dbase_whole_key(t), false);
    };
    c.unused = [](void*, uint32_t) { return false; };
    return c;
}

namespace {

// Every page under `page`, each once: a page reached again is a damaged tree (a
// loop, or two parents), which would otherwise be walked again and again.
XDSTATUS tree_pages(DbaseTree* t, uint32_t page, int depth, std::vector<bool>& seen,
                    void (*visit)(void* context, uint32_t page), void* context) {
    if (depth >= kMaxDepth || page >= seen.size() || seen[page]) return xdb_report(XD_CORRUPT);
    seen[page] = true;
    Page p;
    XDSTATUS s = dbase_read_page(t, page, p.bytes);
    if (s) return s;
    if (!dbase_sane(t, p.bytes)) return xdb_report(XD_CORRUPT);
    if (!dbase_is_leaf(t, p.bytes)) {
        std::vector<uint32_t> children;
        for (int i = 0; i <= dbase_count(t, p.bytes); i++) children.push_back(dbase_child(t, p.bytes, i));
        for (uint32_t c : children)
            if ((s = tree_pages(t, c, depth + 1, seen, visit, context))) return s;
    }
    visit(context, page);
    return XD_OK;
}

}  // namespace

XDSTATUS dbase_tree_pages(DbaseTree* t, uint32_t page, void (*visit)(void* context, uint32_t page), void* context) {
    std::vector<bool> seen(t->end, false);
    return tree_pages(t, page, 0, seen, visit, context);
}

// ---- Keys from records, and the build ----

XDSTATUS dbase_key_of_record(const DbaseTree* t, const DbaseKeyForms& forms, int16_t data, const char* expression,
                             uint8_t* key) {
    char expr[256];
    snprintf(expr, sizeof expr, "%s", expression);
    XdbKeyValue v{};
    XDSTATUS s = xdb_eval_key(data, expr, 0, &v);
    if (s < 0) return s;
    if (v.type == 'C') {
        if (t->kind != kDbaseText) return xdb_report(XD_BADKEYEXPR);
        memset(key, ' ', t->key_length);
        memcpy(key, v.value, v.length < t->key_length ? v.length : t->key_length);
        return XD_OK;
    }
    if (t->kind == kDbaseText) return xdb_report(XD_BADKEYEXPR);
    if (v.type == 'N' || v.type == 'F') {
        if (t->dates) return xdb_report(XD_BADKEYEXPR);
        double d;
        memcpy(&d, v.value, 8);
        forms.number(d == 0 ? 0.0 : d, key);  // -0.0 is stored as +0.0: one zero, one key
        return XD_OK;
    }
    if (v.type != 'D' || t->kind == kDbasePacked) return xdb_report(XD_BADKEYEXPR);
    int y = 0, m = 0, day = 0;
    const XDSTATUS before = xdb_status();
    const XDSTATUS r = xdb_read_date(&y, &m, &day, (const char*)v.value, xdb_date_format());
    if (r < 0) return r;
    xdb_set_status(before);
    forms.date(r == XD_EMPTYFILE ? 0 : y, m, day, key);
    return XD_OK;
}

namespace {

// Keys in sortable form (byte order is the tree's ascending order) and back.
// Doubles: big-endian, a negative value inverted, a positive one with its top bit
// set. Packed decimals: a sign byte (0 negative, 1 zero, 2 positive), then the
// exponent and the digits (inverted for
// a negative number); byte 1 of the key is given back from the sign.
void to_sortable(DbaseKeyKind kind, const uint8_t* key, uint8_t* out) {
    if (kind == kDbaseDouble) {
        for (int i = 0; i < 8; i++) out[i] = key[7 - i];
        if (out[0] & 0x80) {
            for (int i = 0; i < 8; i++) out[i] = (uint8_t)~out[i];
        } else {
            out[0] |= 0x80;
        }
        return;
    }
    static const uint8_t kNoDigits[10] = {0};
    const bool zero = memcmp(key + 2, kNoDigits, 10) == 0;
    const bool negative = !zero && (key[1] & 0x80);
    out[0] = negative ? 0 : zero ? 1 : 2;
    out[1] = zero ? 0 : key[0];
    memcpy(out + 2, key + 2, 10);
    if (negative)
        for (int i = 1; i < 12; i++) out[i] = (uint8_t)~out[i];
}

void from_sortable(DbaseKeyKind kind, const uint8_t* in, uint8_t* key) {
    if (kind == kDbaseDouble) {
        uint8_t b[8];
        memcpy(b, in, 8);
        if (b[0] & 0x80) {
            b[0] &= 0x7F;
        } else {
            for (int i = 0; i < 8; i++) b[i] = (uint8_t)~b[i];
        }
        for (int i = 0; i < 8; i++) key[i] = b[7 - i];
        return;
    }
    const bool negative = in[0] == 0;
    uint8_t b[12];
    memcpy(b, in, 12);
    if (negative)
        for (int i = 1; i < 12; i++) b[i] = (uint8_t)~b[i];
    key[0] = in[0] == 1 ? 52 : b[1];
    key[1] = negative ? 0x85 : 0x05;
    memcpy(key + 2, b + 2, 10);
}

// Builds the tree bottom-up from entries in order: each level one page being
// filled; a full page goes to the file and its last key (with its number) up a level.
struct TreeBuilder {
    DbaseTree* t;
    BuildWriter* writer;
    struct Level {
        Page page;
        uint32_t number;
        int count;
    };
    std::vector<Level> levels;
    XDSTATUS status = XD_OK;

    // Pages go out 1 MiB at a time.
    TreeBuilder(DbaseTree* tree, uint32_t first)
        : t(tree), writer(build_writer_new(tree->cursor.file->sh, kBlock, first, 2048)) {
        levels.emplace_back();
        memset(levels[0].page.bytes, 0, t->page_size);
        levels[0].number = first;
        levels[0].count = 0;
        if (!writer) status = xdb_report(XD_MEMERR);
    }
    ~TreeBuilder() {
        if (writer) build_writer_finish(writer);
    }
    void start(size_t level) {
        memset(levels[level].page.bytes, 0, t->page_size);
        levels[level].number = t->end;
        t->end += t->blocks_per_page;
        levels[level].count = 0;
    }
    XDSTATUS write(size_t level) {
        Level& l = levels[level];
        dbase_set_count(t, l.page.bytes, l.count);
        for (uint32_t b = 0; b < t->blocks_per_page; b++) {
            XDSTATUS s = build_writer_put(writer, l.number + b, l.page.bytes + b * kBlock);
            if (s) return s;
        }
        return XD_OK;
    }
    void pass_up(size_t level, const uint8_t* key, uint32_t child_page) {
        if (status < 0) return;
        if (level >= levels.size()) {
            if (level >= (size_t)kMaxDepth) {
                status = XD_CORRUPT;
                return;
            }
            levels.emplace_back();
            start(level);
        }
        Level& l = levels[level];
        if (l.count == t->max_keys) {
            // Full: the child becomes the rightmost one, the page goes up a level.
            put_le32(dbase_entry(t, l.page.bytes, l.count), child_page);
            uint8_t k[kMaxTreeKey];
            memcpy(k, key, t->key_length);
            const uint32_t number = l.number;
            if ((status = write(level)) < 0) return;
            pass_up(level + 1, k, number);
            start(level);
            return;
        }
        dbase_put_entry(t, l.page.bytes, l.count++, child_page, 0, key);
    }
    void add(const uint8_t* key, uint32_t recno) {
        if (status < 0) return;
        Level& leaf = levels[0];
        if (leaf.count == t->max_keys) {
            uint8_t last[kMaxTreeKey];
            memcpy(last, dbase_key(t, leaf.page.bytes, leaf.count - 1), t->key_length);
            const uint32_t number = leaf.number;
            if ((status = write(0)) < 0) return;
            pass_up(1, last, number);
            start(0);
        }
        Level& l = levels[0];
        dbase_put_entry(t, l.page.bytes, l.count++, 0, recno, key);
    }
    XDSTATUS finish() {
        if (status < 0) return status;
        for (size_t level = 0; level < levels.size(); level++) {
            const uint32_t below = level == 0 ? 0 : levels[level - 1].number;
            put_le32(dbase_entry(t, levels[level].page.bytes, levels[level].count), below);
            if ((status = write(level)) < 0) return status;
        }
        status = build_writer_finish(writer);
        writer = nullptr;
        if (status < 0) return status;
        t->root = levels.back().number;
        xdb_fset_size(t->cursor.file->sh, t->end * kBlock);
        return XD_OK;
    }
};

// The key of a record from its field's bytes (see record_key_source), or by the
// expression.
XDSTATUS record_key(const DbaseTree* t, const DbaseKeyForms& forms, int16_t data, const RecordKeySource& src,
                    const char* expression, uint8_t* key) {
    if (src.field < 0) return dbase_key_of_record(t, forms, data, expression, key);
    const char* p = src.record + src.offset;
    if (src.field_type == 'C') {
        memset(key, ' ', t->key_length);
        memcpy(key, p, src.length < t->key_length ? src.length : t->key_length);
        return XD_OK;
    }
    if (src.field_type == 'D') {
        bool blank = true;
        for (int i = 0; i < 8; i++) blank &= p[i] == ' ';
        int y = 0, m = 0, day = 0;
        if (blank || sscanf(std::string(p, 8).c_str(), "%4d%2d%2d", &y, &m, &day) != 3 || m < 1 || m > 12) y = 0;
        forms.date(y, m, day, key);
        return XD_OK;
    }
    char text[32] = {0};
    memcpy(text, p, src.length < 31 ? src.length : 31);
    double d = 0;
    if (sscanf(text, "%lf", &d) != 1 || d == 0) d = 0.0;
    forms.number(d, key);
    return XD_OK;
}

}  // namespace

XDSTATUS dbase_build(DbaseTree* t, const DbaseKeyForms& forms, int16_t data, const char* expression,
                     const char* condition, uint32_t first) {
    uint32_t count = 0;
    XDSTATUS s = dbf_record_count(data, &count);
    if (s) return s;
    if (count == 0) return XD_OK;
    const bool text = t->kind == kDbaseText;
    const RecordKeySource src = record_key_source(data, expression);
    // A field of the key's kind gives its bytes; a date field feeds date trees only.
    const bool from_field = src.field >= 0 && (src.field_type == 'C') == text;
    KeySorter* sorter = key_sort_new(t->key_length, text && xdb_collation_flag() == 0, count);
    if (!sorter) return xdb_report(XD_MEMERR);
    key_sort_set_unique(sorter, t->unique);
    key_sort_set_descending(sorter, t->descending);
    TreeBuilder builder(t, first);
    struct Keys {
        const DbaseTree* t;
        const DbaseKeyForms* forms;
        RecordKeySource src;
        const char* expression;
        const char* condition;
        static XDSTATUS of(void* context, int16_t data, uint32_t, uint8_t* key, bool* has_key) {
            Keys* k = (Keys*)context;
            *has_key = true;
            if (k->condition && k->condition[0]) {
                char why[160];
                XDSTATUS c = xdb_eval_condition(data, k->condition, has_key, why, sizeof why);
                if (c < 0) return xdb_fault(c, true, "the FOR condition %s of the index: %s", k->condition, why);
                if (!*has_key) return XD_OK;
            }
            uint8_t raw[kMaxTreeKey];
            const bool text = k->t->kind == kDbaseText;
            XDSTATUS r = record_key(k->t, *k->forms, data, k->src, k->expression, text ? key : raw);
            if (r >= 0 && !text) to_sortable(k->t->kind, raw, key);
            return r;
        }
    } keys{t, &forms, from_field ? src : RecordKeySource{}, expression, condition};
    s = builder.status;
    if (s >= 0) s = sort_record_keys(data, count, sorter, Keys::of, &keys);
    if (s >= 0) {
        struct Emit {
            TreeBuilder* builder;
            DbaseKeyKind kind;
            static XDSTATUS item(void* context, const uint8_t* key, uint32_t recno) {
                Emit* e = (Emit*)context;
                uint8_t k[kMaxTreeKey];
                if (e->kind != kDbaseText) from_sortable(e->kind, key, k);
                e->builder->add(e->kind != kDbaseText ? k : key, recno);
                return e->builder->status;
            }
        } emit{&builder, t->kind};
        s = key_sort_finish(sorter, Emit::item, &emit);
    }
    key_sort_free(sorter);
    if (s >= 0) s = builder.finish();
    return s;
}
