// The trees of the FoxPro family's index files (see fox_tree.h).

#include "engine/index/idx/fox_tree.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/condexpr.h"
#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/numbers.h"
#include "engine/core/keyexpr.h"
#include "engine/core/os.h"
#include "engine/index/build_writer.h"
#include "engine/index/change_journal.h"
#include "engine/index/free_pages.h"
#include "engine/index/idx/idx.h"
#include "engine/index/index_format.h"
#include "engine/index/key_sort.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"
#include "engine/index/rebuild.h"
#include "engine/index/tree_check.h"
#include "engine/index/tree_walk.h"

bool fox_node_in_file(const FoxFile* f, uint32_t offset) {
    return offset >= f->first_node && offset < f->next_block && offset % kFoxNode == 0;
}

// The file's first bytes a write bracket reads at once (see FoxFile::head).
const uint32_t kFoxHead = 8192;

XDSTATUS fox_update_lock(FoxFile* f) {
    if (!f->update_lock || !f->file.shared || f->update_locked) return XD_OK;
    XDSTATUS s = xdb_flock(f->file.sh, 0, f->update_lock, 1);
    if (s) return s < 0 ? s : xdb_report(XD_LOCKVIOLATION);
    f->update_locked = true;
    return XD_OK;
}

void fox_update_unlock(FoxFile* f) {
    if (!f->update_locked || f->write_bracket) return;
    const XDSTATUS pending = xdb_get_status();
    xdb_flock(f->file.sh, 1, f->update_lock, 1);
    xdb_set_status(pending);
    f->update_locked = false;
}

XDSTATUS fox_write_begin(FoxFile* f) {
    if (f->write_bracket) return XD_OK;
    if (!f->file.shared || index_file_alone(&f->file)) return XD_OK;  // no other writer: nothing to share
    XDSTATUS s = fox_update_lock(f);
    if (s) return s;
    if ((s = index_journal_recover(f->file.name, f->file.sh, f->file.journal)) < 0) {
        fox_update_unlock(f);
        return s;
    }
    f->write_bracket = true;
    // Others may have written before the lock was taken: what the cache holds is
    // read again once, then trusted until the bracket ends.
    if (f->file.cache) page_cache_forget(f->file.cache);
    f->file.update_bracket = true;
    f->file.brackets++;
    // The file's first bytes, under the lock: its words and the root words of the
    // trees whose headers lie there in one read (without them, a read each).
    f->head_bracket = 0;
    if (f->head || xdb_alloc((void**)&f->head, kFoxHead) == XD_OK) {
        uint32_t got = 0;
        if (xdb_fread_some_at(f->file.sh, 0, f->head, kFoxHead, &got) == XD_OK) {
            f->head_bytes = got;
            f->head_bracket = f->file.brackets;
        }
    }
    xdb_set_status(XD_OK);
    return XD_OK;
}

void fox_write_end(FoxFile* f) {
    if (!f->write_bracket) return;
    f->write_bracket = false;
    f->head_bracket = 0;
    f->file.update_bracket = false;
    fox_update_unlock(f);
}

XDSTATUS fox_file_open(FoxFile* f, const char* name, uint16_t open_mode, uint32_t* size) {
    XDSTATUS s = index_file_open(&f->file, name, open_mode, size);
    if (s) return s;
    if ((s = index_file_set_pages(&f->file, kFoxNode, 1, 0))) index_file_close(&f->file);
    return s;
}

XDSTATUS fox_file_close(FoxFile* f) {
    xdb_free(f->head);
    f->head = nullptr;
    f->head_bracket = 0;
    return index_file_close(&f->file);
}

XDSTATUS fox_tree_init(FoxTree* t, FoxFile* f) {
    t->fox = f;
    t->tree.file = &f->file;
    t->tree.key_length = t->keys.key_length;
    t->tree.zero_after_key = true;
    return tree_cursor_init(&t->tree, &kFoxTreeFormat, &f->file);
}

void fox_tree_free(FoxTree* t) { tree_cursor_free(&t->tree); }

XDSTATUS fox_parse_header(FoxTree* t, const uint8_t* head, uint32_t bytes, uint16_t max_key, const char* what,
                          bool directory) {
    t->root = get_le32(head);
    t->keys.key_length = get_le16(head + 12);
    t->options = head[14];
    t->keys.compact = (t->options & 0xE0) != 0;
    t->keys.pad = ' ';
    t->key_type = 'C';
    t->unique = (t->options & 0x05) != 0;  // 0x04: a candidate key, unique too
    t->descending = false;
    t->expression[0] = t->condition[0] = t->collation[0] = 0;
    const uint16_t kl = t->keys.key_length;
    if (kl < 1 || kl > max_key)
        return xdb_fault(XD_BADKEYSIZE, true, "the %s's key length %u is outside 1..%u", what, kl, max_key);
    std::string expr, cond;
    if (t->keys.compact) {
        if (bytes < 1024) return xdb_fault(XD_CORRUPT, true, "the %s has no expression block", what);
        size_t n = 0;
        for (; n < 8 && isalnum(head[494 + n]); n++) t->collation[n] = (char)head[494 + n];
        t->collation[n] = 0;
        if (!strcmp(t->collation, "MACHINE")) t->collation[0] = 0;
        if (t->collation[0]) t->keys.pad = 0;
        t->descending = get_le16(head + 502) == 1;
        // The key expression at 512, its length + 1 at 504 (and 510); the
        // condition right after it, its length + 1 at 506.
        uint16_t expr_length = get_le16(head + 504);
        if (expr_length == 0) expr_length = get_le16(head + 510);
        const uint16_t for_length = get_le16(head + 506);
        if ((!directory && expr_length < 2) || 512u + expr_length + (for_length ? for_length : 1) > 1024)
            return xdb_fault(XD_BADKEYEXPR, true, "the %s's expression lengths (%u, %u) leave its block", what,
                             expr_length, for_length);
        expr.assign((const char*)head + 512, strnlen((const char*)head + 512, expr_length));
        if (for_length > 1)
            cond.assign((const char*)head + 512 + expr_length, strnlen((const char*)head + 512 + expr_length, for_length));
    } else {
        expr.assign((const char*)head + 16, strnlen((const char*)head + 16, 220));
        if (t->options & 0x08) cond.assign((const char*)head + 236, strnlen((const char*)head + 236, 220));
    }
    if ((expr.empty() && !directory) || expr.size() >= 220)
        return xdb_fault(XD_BADKEYEXPR, true, "the %s's key expression is %s", what, expr.empty() ? "empty" : "too long");
    index_normal_expression(expr.c_str(), t->expression, sizeof t->expression);
    snprintf(t->condition, sizeof t->condition, "%s", cond.c_str());
    return XD_OK;
}

bool fox_compact_header(uint8_t* head, uint32_t root, uint16_t key_length, uint8_t options, bool descending,
                        const char* expression, const char* condition) {
    char expr[224], cond[224];
    index_normal_expression(expression, expr, sizeof expr);
    snprintf(cond, sizeof cond, "%s", condition ? condition : "");
    const size_t e = strlen(expr), c = strlen(cond);
    if (e + 1 + c + 1 > 512) return false;
    memset(head, 0, 1024);
    put_le32(head, root);
    put_le16(head + 12, key_length);
    head[14] = (uint8_t)(options | (c ? 0x08 : 0));
    put_le16(head + 502, descending ? 1 : 0);
    put_le16(head + 504, (uint16_t)(e + 1));
    put_le16(head + 506, (uint16_t)(c + 1));
    put_le16(head + 510, (uint16_t)(e + 1));
    memcpy(head + 512, expr, e);
    memcpy(head + 512 + e + 1, cond, c);
    return true;
}

namespace {

const uint32_t kBlock = kFoxNode;
const int kMaxDepth = kMaxTreeDepth;

// A node's bytes as read. Not copied by assignment: a copy goes through
// copy_node, which tells the tree its decoded entries may belong to other bytes.
struct Node {
    uint8_t bytes[kBlock];
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
};

void copy_node(FoxTree* f, Node* to, const Node& from) {
    memcpy(to->bytes, from.bytes, kBlock);
    tree_page_filled(&f->tree);
}

// The blocks a change collects (see ordered_commit.h); the engine is entered by
// one thread at a time.
BlockChanges g_changes;

// The header words other processes change, read again unless nothing can have
// changed them: the tree's root, the file's free list head (at 4 of the file) and
// end (a standard IDX's header word 8, else the file's size).
XDSTATUS refresh_header(FoxTree* f) {
    FoxFile* x = f->fox;
    // Within a write bracket the cache is trusted once read again, but each tree's
    // own words are read once in the bracket.
    const bool in_bracket = x->file.update_bracket;
    if (tree_begin_operation(&f->tree) && (!in_bracket || f->bracket_seen == x->file.brackets)) return XD_OK;
    if (in_bracket) f->bracket_seen = x->file.brackets;
    uint8_t head[12], root[4];
    XDSTATUS s;
    // The file's own words (free list, end) once in a bracket, whichever tree reads
    // them: only this writer changes them until it ends.
    const bool file_words = !in_bracket || x->words_bracket != x->file.brackets || f->header == 0;
    const bool from_head = in_bracket && x->head_bracket == x->file.brackets;
    auto read = [&](uint32_t offset, uint8_t* out, uint32_t count) {
        if (from_head && offset + count <= x->head_bytes) {
            memcpy(out, x->head + offset, count);
            return XD_OK;
        }
        return xdb_fread_at(x->file.sh, offset, out, count);
    };
    if (file_words && (s = read(0, head, 12))) return s;
    if (f->header != 0 && (s = read(f->header, root, 4))) return s;
    f->root = get_le32(f->header ? root : head);
    if (file_words) {
        const uint32_t free_word = get_le32(head + 4);
        x->free_head = free_word == kFoxNone ? 0 : free_word;
        uint32_t end = x->end_in_header ? get_le32(head + 8) : 0;
        if (end == 0) {
            if ((s = xdb_fsize(x->file.sh, &end))) return s;
            end &= ~(kBlock - 1);
        }
        x->next_block = end;
        if (in_bracket) x->words_bracket = x->file.brackets;
    }
    if (f->root != f->saved_root || x->free_head != f->saved_free || x->next_block != f->saved_next)
        tree_header_changed(&f->tree);
    return XD_OK;
}

void end_operation(FoxTree* f, XDSTATUS s, bool position = false) {
    f->saved_root = f->root;
    f->saved_free = f->fox->free_head;
    f->saved_next = f->fox->next_block;
    tree_end_operation(&f->tree, s, position);
}

XDSTATUS read_bytes(FoxTree* f, uint32_t offset, Node* out) {
    if (!fox_node_in_file(f->fox, offset)) return xdb_fault(XD_CORRUPT, true, "node offset %u outside the file", offset);
    return tree_read_page(&f->tree, g_changes, offset, out->bytes, nullptr);
}

// The node whose bytes `raw` holds (read from `offset`).
XDSTATUS node_of(FoxTree* f, uint32_t offset, const Node& raw, FoxNode* node) {
    // A compact leaf is taken from the walk's decoded copy of its bytes: the search
    // before a change has just decoded it.
    if (f->keys.compact && (fox_attributes(raw.bytes) & 2) && fox_attributes(raw.bytes) <= 7 && f->tree.decoded) {
        const uint8_t* keys = nullptr;
        const uint32_t* records = nullptr;
        const int n = tree_decoded_entries(&f->tree, raw.bytes, &keys, &records);
        if (n > 0 && n == fox_count(raw.bytes)) {
            node->attributes = fox_attributes(raw.bytes);
            node->count = n;
            node->left = get_le32(raw.bytes + 4);
            node->right = get_le32(raw.bytes + 8);
            node->keys.assign(keys, keys + (size_t)n * f->keys.key_length);
            node->records.assign(records, records + n);
            node->children.clear();
            return XD_OK;
        }
    }
    if (const char* why = fox_node_decode(f->keys, raw.bytes, node))
        return xdb_fault(XD_CORRUPT, true, "node at %u: %s", offset, why);
    return XD_OK;
}

XDSTATUS read_node(FoxTree* f, uint32_t offset, FoxNode* node) {
    Node raw;
    XDSTATUS s = read_bytes(f, offset, &raw);
    return s ? s : node_of(f, offset, raw, node);
}

int count_of(const Node& n) { return fox_count(n.bytes); }
bool is_leaf(const Node& n) { return fox_attributes(n.bytes) & 2; }

// A node the walk may read: its count inside the node (a compact leaf's entries are
// checked when they are decoded).
bool sane(const FoxTree* f, const Node& n) {
    if (fox_attributes(n.bytes) > 7) return false;
    const int c = fox_count(n.bytes);
    if (!is_leaf(n) || !f->keys.compact) return 12 + c * (f->keys.key_length + (f->keys.compact ? 8 : 4)) <= (int)kBlock;
    return 24 + c <= (int)kBlock;
}

// Compares a search key with an entry key over `length` bytes (unsigned bytes).
int compare(const uint8_t* search, const uint8_t* key, uint16_t length) { return memcmp(search, key, length); }

// ---- The walk ----

// Descends from `offset` (path level `level`) along first or last entries to a
// leaf, left in `leaf`.
XDSTATUS descend(FoxTree* f, uint32_t offset, int level, bool last, Node* leaf) {
    for (;;) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_bytes(f, offset, leaf);
        if (s) return s;
        if (!sane(f, *leaf)) return xdb_report(XD_CORRUPT);
        const int n = count_of(*leaf);
        if (n == 0 && level > 0) return xdb_fault(XD_CORRUPT, true, "an empty node at %u below the root", offset);
        if (tree_count(&f->tree, leaf->bytes) != n)
            return xdb_fault(XD_CORRUPT, true, "the node at %u does not decode", offset);
        f->tree.path.page[level] = offset;
        f->tree.path.depth = level;
        f->tree.path.index[level] = last ? n - 1 : 0;
        if (is_leaf(*leaf)) return XD_OK;
        if (n == 0) return xdb_report(XD_CORRUPT);
        offset = fox_child(f->keys, leaf->bytes, f->tree.path.index[level]);
        level++;
    }
}

// One entry on along the path: XD_NOMOREKEYS at either end (the path then
// undefined).
XDSTATUS advance(FoxTree* f, Node* leaf, bool forward) {
    const int level = f->tree.path.depth;
    int& idx = f->tree.path.index[level];
    if (forward ? ++idx < tree_count(&f->tree, leaf->bytes) : --idx >= 0) return XD_OK;
    for (int l = level - 1; l >= 0; l--) {
        Node up;
        XDSTATUS s = read_bytes(f, f->tree.path.page[l], &up);
        if (s) return s;
        int& i = f->tree.path.index[l];
        if (forward ? ++i < count_of(up) : --i >= 0)
            return descend(f, fox_child(f->keys, up.bytes, i), l + 1, !forward, leaf);
    }
    return XD_NOMOREKEYS;
}

XDSTATUS end_entry(FoxTree* f, Node* leaf, bool last) {
    XDSTATUS s = descend(f, f->root, 0, last, leaf);
    if (s) return s;
    if (count_of(*leaf) == 0) {
        f->tree.path.depth = -1;
        return XD_EMPTYFILE;
    }
    return XD_OK;
}

XDSTATUS step_or_end(FoxTree* f, Node* leaf, bool forward) {
    if (f->tree.path.depth < 0) return end_entry(f, leaf, !forward);
    XDSTATUS s = advance(f, leaf, forward);
    if (s != XD_NOMOREKEYS) return s;
    s = end_entry(f, leaf, forward);
    return s < 0 ? s : XD_NOMOREKEYS;
}

// The order of the search: the key over `length` bytes, then (with `pair`) the
// record number.
// With `after`, an entry equal over the length counts as before the target: the
// search goes past every entry beginning with the key.
struct Target {
    const uint8_t* key;
    uint16_t length;
    bool pair;
    uint32_t record;
    bool after = false;
    // A compact leaf is searched entry by entry, none decoded past the place (an
    // add's search, which hands out no entry).
    bool scan = false;
};

int compare_key(const Target& t, const uint8_t* key, uint32_t record, bool has_record) {
    int c = compare(t.key, key, t.length);
    if (c == 0 && t.after) return 1;
    if (c || !t.pair || !has_record) return c;
    return t.record < record ? -1 : t.record > record ? 1 : 0;
}

int compare_entry(FoxTree* f, const Target& t, const Node& n, int i, bool has_record) {
    const uint8_t* key = tree_key(&f->tree, n.bytes, i);
    return compare_key(t, key, has_record ? tree_record(&f->tree, n.bytes, i) : 0, has_record);
}

// The first entry of compact leaf `n` not before the target, found entry by
// entry: its index (the count when there is none), with *equal when it equals
// the target; -1 when the leaf's encoding is damaged.
// `x` is left on that entry.
//
// `match` counts the bytes the key read last shares with the target's: a key
// sharing more than that with the one before it (its duplicate count) differs
// from the target where that one did, and so is before it too, with no compare.
int scan_leaf(FoxTree* f, const Target& t, const Node& n, bool* equal, FoxLeafReader* x) {
    *equal = false;
    if (!fox_leaf_reader_start(x, f->keys, n.bytes)) return -1;
    uint32_t match = 0;
    const bool plain = t.length == f->keys.key_length && !t.after;
    while (fox_leaf_reader_next(x)) {
        if (plain && x->i > 0 && x->dup > match) continue;
        int c;
        if (plain) {
            match = fox_same_bytes(t.key, x->key, t.length);
            c = match == t.length ? 0 : t.key[match] < x->key[match] ? -1 : 1;
            if (c == 0 && t.pair) c = t.record < x->record ? -1 : t.record > x->record ? 1 : 0;
        } else {
            c = compare_key(t, x->key, x->record, true);
        }
        if (c <= 0) {
            *equal = c == 0;
            return x->i;
        }
    }
    return x->i + 1 == x->count ? x->count : -1;
}

// Positions on the first entry not before the target: XD_OK; XD_NOMOREKEYS when
// every entry is before it (the path then past the last entry of the last leaf,
// its index the leaf's count); XD_EMPTYFILE (the path on the empty root leaf).
// *equal (when asked) says whether the entry found (XD_OK) equals the target;
// `scanned` (t.scan) is left on it when a scan of its leaf found it, else its
// page is null.
XDSTATUS lower_bound(FoxTree* f, const Target& t, Node* at, bool* equal = nullptr, FoxLeafReader* scanned = nullptr) {
    FoxLeafReader own;
    FoxLeafReader* x = scanned ? scanned : &own;
    x->page = nullptr;
    uint32_t offset = f->root;
    for (int level = 0;; level++) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_bytes(f, offset, at);
        if (s) return s;
        if (!sane(f, *at)) return xdb_fault(XD_CORRUPT, true, "the node at %u overflows", offset);
        const bool leaf = is_leaf(*at);
        if (t.scan && leaf && f->keys.compact && count_of(*at) > 0) {
            bool same = false;
            const int place = scan_leaf(f, t, *at, &same, x);
            if (place < 0) return xdb_fault(XD_CORRUPT, true, "the node at %u does not decode", offset);
            f->tree.path.page[level] = offset;
            f->tree.path.depth = level;
            if (place < count_of(*at)) {
                f->tree.path.index[level] = place;
                if (equal) *equal = same;
                return XD_OK;
            }
            // Past the leaf: the search below goes on from its last entry.
            x->page = nullptr;
        }
        const int n = tree_count(&f->tree, at->bytes);
        if (n != count_of(*at)) return xdb_fault(XD_CORRUPT, true, "the node at %u does not decode", offset);
        f->tree.path.page[level] = offset;
        f->tree.path.depth = level;
        if (n == 0) {
            f->tree.path.index[level] = 0;
            if (level == 0 && leaf) return XD_EMPTYFILE;
            return xdb_fault(XD_CORRUPT, true, "a node at %u without keys", offset);
        }
        // Standard interior entries carry no record: the search goes down at the
        // first subtree whose greatest key is not below the key.
        const bool records = leaf || f->keys.compact;
        int low = 0, high = n;
        while (low < high) {
            int mid = (low + high) / 2;
            if (compare_entry(f, t, *at, mid, records) > 0) low = mid + 1;
            else high = mid;
        }
        if (!leaf) {
            f->tree.path.index[level] = low < n ? low : n - 1;
            offset = fox_child(f->keys, at->bytes, f->tree.path.index[level]);
            continue;
        }
        f->tree.path.index[level] = low;
        if (low < n) {
            if (equal) *equal = compare_entry(f, t, *at, low, true) == 0;
            return XD_OK;
        }
        // Past this leaf: the place may be further on (equal keys below a standard
        // interior entry stand in record order across leaves).
        TreePath before = f->tree.path;
        f->tree.path.index[level] = n - 1;
        for (;;) {
            s = advance(f, at, true);
            if (s == XD_NOMOREKEYS) {
                f->tree.path = before;
                if ((s = read_bytes(f, before.page[before.depth], at))) return s;
                return XD_NOMOREKEYS;
            }
            if (s) return s;
            const int c = compare_entry(f, t, *at, f->tree.path.index[f->tree.path.depth], true);
            if (c <= 0) {
                if (equal) *equal = c == 0;
                return XD_OK;
            }
            before = f->tree.path;
            before.index[before.depth] = tree_count(&f->tree, at->bytes);
        }
    }
}

// Moves to the entry before the path's place: XD_KEYNOTFOUND on it, or with
// *no_smaller (no position) when there is none.
XDSTATUS before_place(FoxTree* f, Node* at, XDSTATUS found, bool* no_smaller) {
    if (found == XD_NOMOREKEYS) {
        f->tree.path.index[f->tree.path.depth]--;
        return XD_KEYNOTFOUND;
    }
    XDSTATUS s = advance(f, at, false);
    if (s == XD_NOMOREKEYS) {
        *no_smaller = true;
        f->tree.path.depth = -1;
        return XD_KEYNOTFOUND;
    }
    return s ? s : XD_KEYNOTFOUND;
}

// The entry (key, record) itself: XD_OK on it; else XD_KEYNOTFOUND on the entry
// before its place (see TreeFormat::find_entry). Equal keys stand in record order
// when this engine or a rebuild wrote them; a unique index's repeated keys, or
// another program's, may not: those are looked through one by one.
XDSTATUS find_entry_of(FoxTree* f, const uint8_t* key, uint32_t record, Node* at, bool* no_smaller) {
    *no_smaller = false;
    const uint16_t kl = f->keys.key_length;
    Target t{key, kl, true, record};
    XDSTATUS s = lower_bound(f, t, at);
    if (s == XD_EMPTYFILE) {
        *no_smaller = true;
        f->tree.path.depth = -1;
        return XD_KEYNOTFOUND;
    }
    if (s < 0) return s;
    if (s == XD_OK && compare_entry(f, t, *at, f->tree.path.index[f->tree.path.depth], true) == 0) return XD_OK;
    Target by_key{key, kl, false, 0};
    Node run;
    XDSTATUS r = lower_bound(f, by_key, &run);
    for (uint32_t guard = 0; r == XD_OK && guard < 0x7FFFFFFF; guard++) {
        const int i = f->tree.path.index[f->tree.path.depth];
        if (compare(key, tree_key(&f->tree, run.bytes, i), kl) != 0) break;
        if (tree_record(&f->tree, run.bytes, i) == record) {
            copy_node(f, at, run);
            return XD_OK;
        }
        r = advance(f, &run, true);
    }
    if (r < 0 && r != XD_NOMOREKEYS) return r;
    s = lower_bound(f, t, at);
    if (s < 0) return s;
    return before_place(f, at, s, no_smaller);
}

// ---- FoxPro nodes as the positioning frame sees them ----

FoxTree* tree_of(TreeCursor* c) { return (FoxTree*)c; }
Node* as_node(uint8_t* bytes) { return (Node*)bytes; }

}  // namespace

const TreeFormat kFoxTreeFormat = {
    nullptr,  // the headers are read by the format files
    [](const TreeCursor*, const uint8_t* page) { return fox_count(page); },
    // Compact leaves are decoded; every other node is read in place.
    [](const TreeCursor* c, const uint8_t* page, int i) { return fox_key_in_place(((const FoxTree*)c)->keys, page, i); },
    [](const TreeCursor* c, const uint8_t* page, int i) { return fox_record_in_place(((const FoxTree*)c)->keys, page, i); },
    [](const TreeCursor* c, const uint8_t* page, int count, uint8_t* keys, uint32_t* records) {
        return fox_node_decode_entries(((const FoxTree*)c)->keys, page, count, keys, records);
    },
    [](const TreeCursor*, const uint8_t* page) { return (fox_attributes(page) & 2) != 0; },
    [](TreeCursor* c, uint32_t number, uint8_t* page) { return read_bytes(tree_of(c), number, as_node(page)); },
    [](TreeCursor* c, uint32_t number, uint8_t* page) {
        FoxTree* f = tree_of(c);
        return fox_node_in_file(f->fox, number) && index_file_read_raw(&f->fox->file, number, page);
    },
    [](TreeCursor* c, uint8_t* page, bool last) { return end_entry(tree_of(c), as_node(page), last); },
    [](TreeCursor* c, uint8_t* page, bool forward) { return step_or_end(tree_of(c), as_node(page), forward); },
    [](TreeCursor* c, const uint8_t* key, uint32_t recno, uint8_t* page, bool* no_smaller) {
        return find_entry_of(tree_of(c), key, recno, as_node(page), no_smaller);
    },
    [](TreeCursor* c, XDSTATUS s, bool handed) { end_operation(tree_of(c), s, handed); },
    [](const TreeCursor* c, const uint8_t* page) { return fox_in_place(((const FoxTree*)c)->keys, page); },
};

XDSTATUS fox_refresh(FoxTree* t) { return refresh_header(t); }
void fox_end(FoxTree* t, XDSTATUS s) {
    t->tree.path.depth = -1;
    end_operation(t, s);
}

void fox_tree_opened(FoxTree* t) {
    t->saved_root = t->root;
    t->saved_free = t->fox->free_head;
    t->saved_next = t->fox->next_block;
}

void fox_guess_pad(FoxTree* t) {
    uint8_t page[kFoxNode];
    const uint16_t kl = t->keys.key_length;
    if (t->collation[0] || !fox_node_in_file(t->fox, t->root) || !index_file_read_raw(&t->fox->file, t->root, page)) {
        xdb_set_status(XD_OK);
        return;
    }
    const int n = fox_count(page);
    uint8_t pad = ' ';
    if (!(fox_attributes(page) & 2)) {
        // Separators are whole keys: the first that ends in a pad byte tells.
        const int stride = kl + (t->keys.compact ? 8 : 4);
        for (int i = 0; i < n && 12 + (i + 1) * stride <= (int)kFoxNode; i++) {
            const uint8_t last = page[12 + i * stride + kl - 1];
            if (last == 0 || last == ' ') {
                pad = last;
                break;
            }
        }
    } else if (n > 0 && !t->keys.compact) {
        // A standard root leaf holds its keys whole.
        const uint8_t* k = page + 12;
        bool binary = kl == 8 && (k[0] >= 0x80 || k[0] < 0x20);
        for (int i = 0; i < kl && !binary; i++) binary = k[i] < 0x20 && k[i] != 0;
        if (binary || (kl == 8 && k[kl - 1] == 0)) pad = 0;
    } else if (n > 0 && page[23] >= 1 && page[23] <= 8 && 24 + page[23] <= (int)kFoxNode) {
        // A root leaf: its first key's stored bytes. Numbers and dates (8 bytes)
        // begin with a byte no text key does, or hold control bytes.
        const int stored_at = (int)kFoxNode;
        uint64_t v = 0;
        for (int b = page[23] - 1; b >= 0; b--) v = v << 8 | page[24 + b];
        const int r = page[20], d = page[21], tb = page[22];
        if (r + d + tb <= 64 && r < 64 && d < 32 && tb < 32) {
            const uint32_t dup = (uint32_t)((v >> r) & ((1ull << d) - 1)), trail = (uint32_t)((v >> (r + d)) & ((1ull << tb) - 1));
            if (dup == 0 && dup + trail < kl) {
                const int stored = kl - (int)trail;
                const uint8_t* k = page + stored_at - stored;
                bool binary = kl == 8 && (k[0] >= 0x80 || k[0] < 0x20);
                for (int i = 0; i < stored && !binary; i++) binary = k[i] < 0x20;
                if (binary) pad = 0;
            }
        }
    }
    if (pad == 0 && t->key_type == 'C') t->key_type = kl == 8 ? 'N' : kl == 4 ? 11 : 'C';
    t->keys.pad = pad;
    tree_forget_decoded(&t->tree);
}

XDSTATUS fox_set_key_type(FoxTree* t, int key_type) {
    if (key_type >= 'a' && key_type <= 'z') key_type -= 32;
    // Visual FoxPro's field letters name its key types too.
    key_type = key_type == 'Y' ? 10 : key_type == 'I' ? 11 : key_type == 'T' ? 12 : key_type;
    if (key_type != 'C' && key_type != 'D' && key_type != 'L' && key_type != 'N' && key_type != 10 && key_type != 11 &&
        key_type != 12)
        return xdb_report(XD_BADKEYTYPE);
    const uint8_t pad = key_type == 'C' && !t->collation[0] ? ' ' : 0;
    t->key_type = key_type;
    if (pad != t->keys.pad) {
        // The pad byte changes how compact leaves decode: nothing decoded stays.
        t->keys.pad = pad;
        tree_forget_decoded(&t->tree);
        page_cache_forget(t->fox->file.cache);
        t->tree.saved_depth = -1;
    }
    return XD_OK;
}

// ---- Positioning ----

namespace {

XDSTATUS begin_positioning(FoxTree* f, void* key, uint32_t* recno) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    return refresh_header(f);
}

// The caller's key as the file holds it: padded to the key length.
void full_key(const FoxTree* f, const void* key, uint16_t key_size, uint8_t* out) {
    const uint16_t kl = f->keys.key_length;
    memset(out, f->keys.pad, kl);
    memcpy(out, key, key_size < kl ? key_size : kl);
}

}  // namespace

XDSTATUS fox_first(FoxTree* f, void* key, uint32_t* recno, bool last) {
    XDSTATUS s = begin_positioning(f, key, recno);
    if (s) return s;
    return tree_first_or_last(&f->tree, f->tree.walk_page, last != f->descending, key, recno);
}

XDSTATUS fox_step(FoxTree* f, void* key, uint32_t* recno, bool forward) {
    XDSTATUS s = begin_positioning(f, key, recno);
    if (s) return s;
    return tree_moved_from(&f->tree, f->tree.walk_page, forward != f->descending, key, recno);
}

XDSTATUS fox_resync(FoxTree* f, void* key, uint32_t* recno) {
    XDSTATUS s = begin_positioning(f, key, recno);
    if (s) return s;
    if (*recno == 0) return xdb_report(XD_KEYNOTFOUND);
    uint8_t k[kMaxTreeKey + 1];
    memcpy(k, key, f->keys.key_length);
    Node leaf;
    bool no_smaller = false;
    s = find_entry_of(f, k, *recno, &leaf, &no_smaller);
    if (s == XD_KEYNOTFOUND && f->descending) {
        // The entry before its place in a descending walk: the one after it in key order.
        s = no_smaller ? end_entry(f, &leaf, false) : advance(f, &leaf, true);
        no_smaller = s == XD_NOMOREKEYS || s == XD_EMPTYFILE;
        if (s == XD_OK) s = XD_KEYNOTFOUND;
    }
    if (s == XD_KEYNOTFOUND && no_smaller) {
        *recno = 0xFFFFFFFFu;
        f->tree.path.depth = -1;
        end_operation(f, XD_OK);
        return xdb_report(XD_KEYNOTFOUND);
    }
    return tree_end_positioning(&f->tree, leaf.bytes, s, key, recno);
}

XDSTATUS fox_seek(FoxTree* f, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    XDSTATUS s = begin_positioning(f, key, recno);
    if (s) return s;
    const uint16_t kl = f->keys.key_length;
    uint8_t k[kMaxTreeKey + 1];
    uint16_t length = f->key_type == 'C' ? (key_size < kl ? key_size : kl) : kl;
    full_key(f, key, f->key_type == 'C' ? length : kl, k);
    const bool exact = mode & IDX_EXACT;
    if (exact) length = kl;
    Node leaf;
    if (!f->descending) {
        Target t{k, length, exact, *recno, false};
        s = lower_bound(f, t, &leaf);
        if (s == XD_OK && compare_entry(f, t, leaf, f->tree.path.index[f->tree.path.depth], true) == 0) {
            // found
        } else if (s == XD_OK || s == XD_NOMOREKEYS) {
            bool no_smaller = false;
            s = before_place(f, &leaf, s, &no_smaller);
            if (s == XD_KEYNOTFOUND && no_smaller) {
                s = end_entry(f, &leaf, false);
                if (s == XD_OK) s = XD_KEYNOTFOUNDEND;
            }
        } else if (s == XD_EMPTYFILE) {
            f->tree.path.depth = -1;
        }
        return tree_end_positioning(&f->tree, leaf.bytes, s, key, recno);
    }
    // Descending: the first entry of the key in the walk's order is its last in key
    // order; not found, the entry before its place in the walk is the first one
    // after it in key order.
    Target after{k, length, exact, *recno, !exact};
    s = lower_bound(f, after, &leaf);
    if (s == XD_OK || s == XD_NOMOREKEYS) {
        TreePath place = f->tree.path;
        Node at_place;
        copy_node(f, &at_place, leaf);
        const bool past_end = s == XD_NOMOREKEYS;
        bool before_found = false;
        if (!exact) {
            bool none = false;
            XDSTATUS b = before_place(f, &leaf, s, &none);
            if (b < 0) return tree_end_positioning(&f->tree, leaf.bytes, b, key, recno);
            Target t{k, length, false, 0, false};
            before_found = !none && compare_entry(f, t, leaf, f->tree.path.index[f->tree.path.depth], true) == 0;
        } else {
            Target t{k, length, true, *recno, false};
            before_found = !past_end && compare_entry(f, t, leaf, f->tree.path.index[f->tree.path.depth], true) == 0;
        }
        if (before_found) {
            s = XD_OK;
        } else if (!past_end) {
            f->tree.path = place;
            copy_node(f, &leaf, at_place);
            s = XD_KEYNOTFOUND;
        } else {
            s = end_entry(f, &leaf, true);
            if (s == XD_OK) s = XD_KEYNOTFOUNDEND;
        }
    } else if (s == XD_EMPTYFILE) {
        f->tree.path.depth = -1;
    }
    return tree_end_positioning(&f->tree, leaf.bytes, s, key, recno);
}

XDSTATUS fox_seek_mode(FoxTree* f, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    const bool part = mode == 1 || mode == 3 || (mode >= 11 && mode <= 15);
    if (!part) return fox_seek(f, key, key_size, recno, mode);
    XDSTATUS s = begin_positioning(f, key, recno);
    if (s) return s;
    const uint16_t kl = f->keys.key_length;
    uint8_t k[kMaxTreeKey + 1];
    const uint16_t length = f->key_type == 'C' ? (key_size < kl ? key_size : kl) : kl;
    full_key(f, key, f->key_type == 'C' ? length : kl, k);
    const bool after = mode == 3 || mode == 15;
    Target t{k, length, false, 0, after};
    Node leaf;
    // The search: XD_OK on an equal key (key mode); else XD_KEYNOTFOUND on the
    // greatest key below (after mode: XD_OK on it), or XD_NOMOREKEYS, on the first
    // key, when none is below.
    s = lower_bound(f, t, &leaf);
    if (s == XD_OK && !after && compare_entry(f, t, leaf, f->tree.path.index[f->tree.path.depth], true) == 0) {
        // found
    } else if (s == XD_OK || s == XD_NOMOREKEYS) {
        bool none = false;
        s = before_place(f, &leaf, s, &none);
        if (s == XD_KEYNOTFOUND && none) {
            s = end_entry(f, &leaf, false);
            if (s == XD_OK) s = XD_NOMOREKEYS;
        } else if (s == XD_KEYNOTFOUND && after) {
            s = XD_OK;
        }
    }
    if (s < 0 || s == XD_EMPTYFILE) {
        if (s == XD_EMPTYFILE) f->tree.path.depth = -1;
        return tree_end_positioning(&f->tree, leaf.bytes, s, key, recno);
    }
    // What each mode makes of it.
    auto step = [&](bool forward) {
        XDSTATUS r = advance(f, &leaf, forward);
        if (r == XD_NOMOREKEYS) {
            XDSTATUS e = end_entry(f, &leaf, forward);  // stays on the end it ran off
            return e < 0 ? e : XD_NOMOREKEYS;
        }
        return r;
    };
    switch (mode) {
    case 11:
        if (s == XD_OK) s = step(false);
        s = s == XD_KEYNOTFOUND ? XD_OK : s == XD_NOMOREKEYS ? XD_KEYNOTFOUND : s;
        break;
    case 12: s = s == XD_KEYNOTFOUND ? XD_OK : s == XD_NOMOREKEYS ? XD_KEYNOTFOUND : s; break;
    case 13: s = s == XD_NOMOREKEYS ? XD_KEYNOTFOUND : s; break;
    case 14:
        if (s == XD_NOMOREKEYS) s = XD_OK;
        else if (s == XD_KEYNOTFOUND) s = step(true) == XD_OK ? XD_OK : XD_KEYNOTFOUND;
        break;
    case 15:
        if (s == XD_OK) s = step(true);
        if (s == XD_NOMOREKEYS) s = XD_OK;
        break;
    default: break;
    }
    return tree_end_positioning(&f->tree, leaf.bytes, s, key, recno);
}

int fox_compare(const FoxTree* t, const void* left, const void* right, uint16_t length) {
    const int c = memcmp(left, right, length);
    return t->descending ? -c : c;
}

// ---- Changes ----

XDSTATUS fox_write_word(FoxFile* f, uint32_t offset, uint32_t value) {
    uint8_t word[4];
    put_le32(word, value);
    return xdb_fwrite_at(f->file.sh, offset, word, 4, 1);
}

namespace {

XDSTATUS write_node(FoxTree* f, uint32_t offset, const FoxNode& node) {
    if (!fox_node_in_file(f->fox, offset)) return xdb_report(XD_SEEKERR);
    Node raw;
    if (!fox_node_encode(f->keys, node, raw.bytes)) return xdb_fault(XD_CORRUPT, false, "a node overflowed");
    return tree_write_page(&f->tree, g_changes, offset, raw.bytes);
}

// The free blocks: a chain from the header's word at 4, each free block's first
// word naming the next.
FreePages free_blocks(FoxTree* f) {
    FreePages fp{};
    fp.context = f;
    fp.head = &f->fox->free_head;
    fp.next_of = [](void* c, uint32_t b, uint32_t* next) {
        FoxTree* f = (FoxTree*)c;
        // Through the change: a block it freed holds its link there.
        Node raw;
        if (!fox_node_in_file(f->fox, b) || read_bytes(f, b, &raw) != XD_OK) {
            xdb_set_status(XD_OK);
            return false;
        }
        uint32_t n = get_le32(raw.bytes);
        *next = n == kFoxNone ? 0 : n;
        return true;
    };
    fp.write_freed = [](void* c, uint32_t b, uint32_t next) {
        FoxTree* f = (FoxTree*)c;
        Node raw;
        memset(raw.bytes, 0, kBlock);
        put_le32(raw.bytes, next ? next : f->fox->empty_head);
        if (!fox_node_in_file(f->fox, b)) return xdb_report(XD_SEEKERR);
        return tree_write_page(&f->tree, g_changes, b, raw.bytes);
    };
    fp.write_head = [](void* c, uint32_t head) {
        FoxTree* f = (FoxTree*)c;
        return fox_write_word(f->fox, 4, head ? head : f->fox->empty_head);
    };
    fp.append = [](void* c, uint32_t* b) {
        FoxTree* f = (FoxTree*)c;
        if ((uint64_t)f->fox->next_block + kBlock > 0xFFFFFE00ull) return xdb_report(XD_WRITEERR);
        uint32_t size = 0;
        XDSTATUS s = xdb_fsize(f->fox->file.sh, &size);
        if (s) return s;
        // An end of file far beyond the file is a damaged header.
        if ((uint64_t)f->fox->next_block > (uint64_t)size + kBlock) return xdb_report(XD_CORRUPT);
        *b = f->fox->next_block;
        f->fox->next_block += kBlock;
        xdb_fset_size(f->fox->file.sh, f->fox->next_block);
        return f->fox->end_in_header ? fox_write_word(f->fox, 8, f->fox->next_block) : XDSTATUS(XD_OK);
    };
    fp.stale_head_forgotten = false;
    return fp;
}

XDSTATUS take_block(FoxTree* f, uint32_t* b) { return free_pages_take(free_blocks(f), g_changes, b); }
XDSTATUS free_block(FoxTree* f, uint32_t b) { return free_pages_release(free_blocks(f), g_changes, b); }

// Sets the sibling link of the node at `offset` (`right`: its right link).
XDSTATUS relink(FoxTree* f, uint32_t offset, bool right, uint32_t to) {
    if (offset == kFoxNone) return XD_OK;
    Node raw;
    XDSTATUS s = read_bytes(f, offset, &raw);
    if (s) return s;
    put_le32(raw.bytes + (right ? 8 : 4), to);
    return tree_write_page(&f->tree, g_changes, offset, raw.bytes);
}

XDSTATUS store(FoxTree* f, int level, FoxNode& node);

// The parent's entry for the node at `level` says its greatest key (and record):
// brought in line after the node's last entry changed.
XDSTATUS fix_parent(FoxTree* f, int level, const FoxNode& node) {
    if (level == 0 || node.count == 0) return XD_OK;
    FoxNode parent;
    XDSTATUS s = read_node(f, f->tree.path.page[level - 1], &parent);
    if (s) return s;
    const int i = f->tree.path.index[level - 1];
    if (i < 0 || i >= parent.count) return xdb_report(XD_CORRUPT);
    const uint16_t kl = f->keys.key_length;
    const uint8_t* last = node.key(f->keys, node.count - 1);
    const uint32_t last_record = node.records[(size_t)node.count - 1];
    const uint32_t wanted_record = f->keys.compact ? last_record : 0;
    if (memcmp(parent.key(f->keys, i), last, kl) == 0 && parent.records[(size_t)i] == wanted_record) return XD_OK;
    memcpy(parent.keys.data() + (size_t)i * kl, last, kl);
    parent.records[(size_t)i] = wanted_record;
    return store(f, level - 1, parent);
}

// How many entries the left part of a split of n entries takes. IDX (the new node
// on the left): as the FoxPro-family programs divide M + 1 entries, M - floor(M/2)
// + 1 to the left. CDX (the new node on the right): floor(M/2) of an interior
// node's M + 1 entries move right, and half of a leaf's. Moved until both parts
// fit (compact leaves hold keys of different sizes).
bool split_point(FoxTree* f, const FoxNode& node, int* left) {
    const int n = node.count;
    const int want = !f->split_right ? n - (n - 1) / 2 : node.leaf() ? n - n / 2 : n - (n - 1) / 2;
    Node scratch;
    for (int delta = 0; delta < n; delta++) {
        for (int sign = 0; sign < 2; sign++) {
            int l = sign ? want - delta : want + delta;
            if (l < 1 || l >= n || (delta == 0 && sign)) continue;
            FoxNode a = node.slice(f->keys, 0, l), b = node.slice(f->keys, l, n);
            if (fox_node_encode(f->keys, a, scratch.bytes) && fox_node_encode(f->keys, b, scratch.bytes)) {
                *left = l;
                return true;
            }
        }
    }
    return false;
}

// Writes the node at path level `level` (its offset the path's), split when its
// entries no longer fit; parents follow.
XDSTATUS store(FoxTree* f, int level, FoxNode& node) {
    const uint32_t offset = f->tree.path.page[level];
    Node scratch;
    XDSTATUS s;
    if (fox_node_encode(f->keys, node, scratch.bytes)) {
        if ((s = tree_write_page(&f->tree, g_changes, offset, scratch.bytes))) return s;
        if (node.leaf() && f->keys.compact)
            tree_decoded_keep(&f->tree, scratch.bytes, node.count, node.keys.data(), node.records.data());
        return fix_parent(f, level, node);
    }
    int l;
    if (!split_point(f, node, &l)) return xdb_fault(XD_CORRUPT, false, "a node cannot be split");
    uint32_t fresh;
    if ((s = take_block(f, &fresh))) return s;
    FoxNode left = node.slice(f->keys, 0, l), right = node.slice(f->keys, l, node.count);
    left.attributes = right.attributes = (uint16_t)(node.attributes & ~1);
    const uint32_t left_at = f->split_right ? offset : fresh, right_at = f->split_right ? fresh : offset;
    left.left = node.left;
    left.right = right_at;
    right.left = left_at;
    right.right = node.right;
    // The old node first: a change of one used node and new ones writes the new
    // ones first (see ordered_commit.h).
    if (f->split_right) {
        if ((s = write_node(f, offset, left)) || (s = write_node(f, fresh, right))) return s;
        if ((s = relink(f, node.right, false, fresh))) return s;
    } else {
        if ((s = write_node(f, offset, right)) || (s = write_node(f, fresh, left))) return s;
        if ((s = relink(f, node.left, true, fresh))) return s;
    }
    const uint16_t kl = f->keys.key_length;
    auto greatest = [&](const FoxNode& n, uint32_t* record) {
        *record = f->keys.compact ? n.records[(size_t)n.count - 1] : 0;
        return n.key(f->keys, n.count - 1);
    };
    uint32_t lr, rr;
    const uint8_t* lk = greatest(left, &lr);
    const uint8_t* rk = greatest(right, &rr);
    if (level == 0) {
        uint32_t top;
        if ((s = take_block(f, &top))) return s;
        FoxNode root;
        root.attributes = 1;
        root.insert(f->keys, 0, lk, lr, left_at);
        root.insert(f->keys, 1, rk, rr, right_at);
        if ((s = write_node(f, top, root))) return s;
        g_changes.root_changed = true;
        g_changes.new_root = top;
        f->root = top;
        return XD_OK;
    }
    FoxNode parent;
    if ((s = read_node(f, f->tree.path.page[level - 1], &parent))) return s;
    const int i = f->tree.path.index[level - 1];
    if (i < 0 || i >= parent.count || parent.children[(size_t)i] != offset) return xdb_report(XD_CORRUPT);
    // The entry that pointed to the old node stands for the right part; the left
    // part's goes before it.
    memcpy(parent.keys.data() + (size_t)i * kl, rk, kl);
    parent.records[(size_t)i] = rr;
    parent.children[(size_t)i] = right_at;
    parent.insert(f->keys, i, lk, lr, left_at);
    if (!f->split_right) f->tree.path.index[level - 1] = i + 1;  // the path still leads to the old node
    return store(f, level - 1, parent);
}

// Removes the path's leaf entry; an emptied node leaves the tree (its neighbours
// linked past it, its block freed) and so, level by level, does an emptied parent.
// A root left with one child hands over to it; an emptied root becomes a leaf
// without keys, as after creation.
XDSTATUS remove_entry(FoxTree* f) {
    XDSTATUS s;
    int level = f->tree.path.depth;
    FoxNode node;
    if ((s = read_node(f, f->tree.path.page[level], &node))) return s;
    int i = f->tree.path.index[level];
    if (i < 0 || i >= node.count) return xdb_report(XD_CORRUPT);
    node.erase(f->keys, i);
    while (node.count == 0 && level > 0) {
        const uint32_t gone = f->tree.path.page[level];
        if ((s = relink(f, node.left, true, node.right)) || (s = relink(f, node.right, false, node.left))) return s;
        if ((s = free_block(f, gone))) return s;
        level--;
        if ((s = read_node(f, f->tree.path.page[level], &node))) return s;
        i = f->tree.path.index[level];
        if (i < 0 || i >= node.count) return xdb_report(XD_CORRUPT);
        node.erase(f->keys, i);
    }
    if (node.count == 0) {  // the root emptied
        node = FoxNode();
        node.attributes = 3;
        return write_node(f, f->tree.path.page[0], node);
    }
    if ((s = store(f, level, node))) return s;
    // A root with one child hands over to it.
    for (int guard = 0; guard < kMaxDepth; guard++) {
        FoxNode root;
        if ((s = read_node(f, f->root, &root))) return s;
        if (root.leaf() || root.count != 1) break;
        const uint32_t old = f->root, child = root.children[0];
        FoxNode c;
        if ((s = read_node(f, child, &c))) return s;
        c.attributes |= 1;
        c.left = c.right = kFoxNone;
        f->tree.path.page[0] = child;
        if ((s = write_node(f, child, c))) return s;
        if ((s = free_block(f, old))) return s;
        g_changes.root_changed = true;
        g_changes.new_root = child;
        f->root = child;
    }
    return XD_OK;
}

XDSTATUS insert_entry(FoxTree* f, const uint8_t* key, uint32_t record) {
    const int level = f->tree.path.depth;
    const uint32_t offset = f->tree.path.page[level];
    Node raw;
    FoxNode leaf;
    XDSTATUS s = read_bytes(f, offset, &raw);
    if (s || (s = node_of(f, offset, raw, &leaf))) return s;
    int i = f->tree.path.index[level];
    if (i < 0 || i > leaf.count || !leaf.leaf()) return xdb_report(XD_CORRUPT);
    leaf.insert(f->keys, i, key, record, 0);
    // The entries before the new one keep their bytes: only those from it on are
    // encoded again, when the leaf's layout stays and they fit.
    if (fox_node_encode_after(f->keys, leaf, i, raw.bytes)) {
        if ((s = tree_write_page(&f->tree, g_changes, offset, raw.bytes))) return s;
        tree_decoded_keep(&f->tree, raw.bytes, leaf.count, leaf.keys.data(), leaf.records.data());
        // Only a new last entry changes what the parent says of the leaf.
        return i + 1 == leaf.count ? fix_parent(f, level, leaf) : XD_OK;
    }
    return store(f, level, leaf);
}

// ---- The commit's view of FoxPro nodes ----

TreeShape shape_of(FoxTree* f, uint32_t free_before) {
    TreeShape t{};
    t.context = f;
    t.children = [](void* c, const uint8_t* bytes) {
        FoxTree* f = (FoxTree*)c;
        std::vector<uint32_t> out;
        if (fox_attributes(bytes) & 2 || fox_attributes(bytes) > 7) return out;
        for (int i = 0; i < fox_count(bytes) && 12 + (i + 1) * (f->keys.key_length + 8) <= (int)kBlock; i++)
            out.push_back(fox_child(f->keys, bytes, i));
        return out;
    };
    t.set_child = [](void* c, uint8_t* bytes, size_t i, uint32_t number) {
        FoxTree* f = (FoxTree*)c;
        uint8_t* p = bytes + 12 + i * (f->keys.key_length + (f->keys.compact ? 8 : 4)) + f->keys.key_length + (f->keys.compact ? 4 : 0);
        p[0] = (uint8_t)(number >> 24);
        p[1] = (uint8_t)(number >> 16);
        p[2] = (uint8_t)(number >> 8);
        p[3] = (uint8_t)number;
    };
    t.write_block = [](void* c, uint32_t number, const uint8_t* bytes) {
        FoxTree* f = (FoxTree*)c;
        XDSTATUS s = xdb_fwrite_at(f->fox->file.sh, number, bytes, kBlock, 1);
        if (s == XD_OK) page_cache_put(f->fox->file.cache, number, bytes);
        return s;
    };
    t.write_root = [](void* c, uint32_t root) { return fox_write_word(((FoxTree*)c)->fox, ((FoxTree*)c)->header, root); };
    t.append_block = [](void*, uint32_t*) { return xdb_report(XD_CORRUPT); };  // never: changes go by the journal
    t.drop_last_blocks = [](void*, uint32_t) { return xdb_report(XD_CORRUPT); };
    t.write_bytes = [](void* c, const FileWrite& w) {
        return xdb_fwrite_at(((FoxTree*)c)->fox->file.sh, w.offset, w.bytes.data(), (uint32_t)w.bytes.size(), 1);
    };
    t.sibling_links = true;
    t.journal_for = f->fox->file.name;
    IndexFile* file = &f->fox->file;
    if (!file->shared) {
        t.kept_journal = &file->journal;
    } else if (index_file_alone(file)) {
        t.kept_journal = index_journal_held(file->name, file->hold_lock);
    } else {
        t.kept_journal = &file->journal;
        t.journal_shared = true;
    }
    t.file = f->fox->file.sh;
    t.block_size = kBlock;
    t.offset_of = [](void*, uint32_t number) { return number; };
    t.root_bytes = [](void* c, uint32_t root) {
        FileWrite w{((FoxTree*)c)->header, std::vector<uint8_t>(4)};
        put_le32(w.bytes.data(), root);
        return w;
    };
    t.keep_written = [](void* c, uint32_t number, const uint8_t* bytes) {
        page_cache_put(((FoxTree*)c)->fox->file.cache, number, bytes);
    };
    t.forget_cached = [](void* c) { page_cache_forget(((FoxTree*)c)->fox->file.cache); };
    if (f->fox->free_head != free_before) {
        FileWrite word{4, std::vector<uint8_t>(4)};
        put_le32(word.bytes.data(), f->fox->free_head ? f->fox->free_head : f->fox->empty_head);
        g_changes.after_switch.push_back(word);
    }
    return t;
}

template <typename Work>
XDSTATUS change(FoxTree* f, Work work) {
    const uint32_t free_before = f->fox->free_head;
    g_changes.begin();
    XDSTATUS s = work();
    if (s >= 0) s = commit_block_changes(g_changes, shape_of(f, free_before));
    g_changes.active = false;  // a failed change writes nothing the tree uses
    f->tree.path.depth = -1;
    if (s < 0) {
        page_cache_forget(f->fox->file.cache);
        f->tree.saved_depth = -1;
    }
    end_operation(f, s);
    return s;
}

XDSTATUS begin_change(FoxTree* f, const void* key) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if (f->fox->file.file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if (f->collation[0])
        return xdb_fault(XD_READONLY, true, "the index is ordered by the %s collation sequence, whose keys this engine does not make",
                         f->collation);
    // Updates of a shared file take turns by its update lock; another program's
    // change that a stop left half written is finished first. A file held for its
    // table's whole lock has no other writer while it lasts: a stopped change is
    // looked for once, as the hold begins.
    IndexFile* file = &f->fox->file;
    const bool held = file->shared && index_file_alone(file);
    if (!held && (s = fox_update_lock(f->fox))) return s;
    if (file->shared && (!held || file->hold_began) && !f->fox->write_bracket &&
        (s = index_journal_recover(file->name, file->sh, held ? 0 : file->journal)) < 0) {
        fox_update_unlock(f->fox);
        return s;
    }
    file->hold_began = false;
    if ((s = refresh_header(f))) fox_update_unlock(f->fox);
    return s;
}

}  // namespace

namespace {

// Whether the place `lower_bound` left for key `k` is its place among entries of
// other keys only: the entries on both sides of it hold other keys. Then the key
// is not in the tree at all, and the add goes there with no further search.
// Beside an equal key, the caller searches whole.
bool place_among_other_keys(FoxTree* f, const Node& at, const uint8_t* k) {
    const int depth = f->tree.path.depth, i = f->tree.path.index[depth];
    const int n = tree_count(&f->tree, at.bytes);
    const uint16_t kl = f->keys.key_length;
    if (i < 0 || i >= n || memcmp(tree_key(&f->tree, at.bytes, i), k, kl) == 0) return false;
    if (i > 0) return memcmp(tree_key(&f->tree, at.bytes, i - 1), k, kl) != 0;
    // A leaf's first entry: the key before it is the greatest of the subtree to
    // the left, which the entry before the path's says, at the deepest level
    // where the path does not go down a first entry (none: the tree's first key).
    for (int level = depth - 1; level >= 0; level--) {
        const int j = f->tree.path.index[level];
        if (j <= 0) continue;
        Node up;
        if (read_bytes(f, f->tree.path.page[level], &up) || j - 1 >= tree_count(&f->tree, up.bytes)) return false;
        return memcmp(tree_key(&f->tree, up.bytes, j - 1), k, kl) != 0;
    }
    return true;
}

}  // namespace

XDSTATUS fox_add_in_change(FoxTree* f, const uint8_t* k, uint32_t recno) {
    Node at;
    // Record order among equal keys; in a unique index before the first equal key.
    Target t{k, f->keys.key_length, !f->unique, recno};
    t.scan = !f->unique;
    bool equal = false;
    FoxLeafReader scanned;
    XDSTATUS r = lower_bound(f, t, &at, &equal, &scanned);
    if (r < 0) return r;
    if (!f->unique) {
        // Equal keys stand in record order when this engine or a rebuild wrote
        // them: an entry already there stands at its place, where the other
        // formats look for it too. (Looking through every equal key would make
        // each add to a tag of few values walk a large part of the tag.)
        if (r == XD_OK && equal) return XD_EXISTS;
        // Before another entry of a compact leaf, the common case: the leaf's
        // bytes change in place, from where the search stopped, and its last
        // entry (what the parent says of it) stays.
        const int level = f->tree.path.depth;
        if (r == XD_OK && scanned.page == at.bytes &&
            fox_leaf_insert(f->keys, at.bytes, f->tree.path.index[level], k, recno, &scanned)) {
            tree_page_filled(&f->tree);
            return tree_write_page(&f->tree, g_changes, f->tree.path.page[level], at.bytes);
        }
        return insert_entry(f, k, recno);
    }
    if (r == XD_OK && place_among_other_keys(f, at, k)) return insert_entry(f, k, recno);
    bool no_smaller = false;
    r = find_entry_of(f, k, recno, &at, &no_smaller);
    if (r < 0) return r;
    if (r == XD_OK) return XD_EXISTS;
    r = lower_bound(f, t, &at);
    if (r < 0) return r;
    if (r == XD_OK && f->unique && f->unique_refuses &&
        compare_entry(f, t, at, f->tree.path.index[f->tree.path.depth], false) == 0)
        return XD_EXISTS;
    return insert_entry(f, k, recno);
}

XDSTATUS fox_delete_in_change(FoxTree* f, const uint8_t* k, uint32_t recno) {
    Node at;
    bool no_smaller = false;
    XDSTATUS found = find_entry_of(f, k, recno, &at, &no_smaller);
    if (found != XD_OK) return found < 0 ? found : XD_KEYNOTFOUND;
    return remove_entry(f);
}

XDSTATUS fox_add(FoxTree* f, const void* key, uint16_t key_size, uint32_t recno) {
    XDSTATUS s = begin_change(f, key);
    if (s) return s;
    uint8_t k[kMaxTreeKey + 1];
    full_key(f, key, key_size, k);
    XDSTATUS outcome = XD_OK;
    s = change(f, [&] {
        outcome = fox_add_in_change(f, k, recno);
        return outcome == XD_EXISTS ? XD_OK : outcome;
    });
    fox_update_unlock(f->fox);
    if (s >= 0 && outcome == XD_EXISTS) return xdb_report(XD_EXISTS);
    return s < 0 ? xdb_report(s) : xdb_status();
}

XDSTATUS fox_delete(FoxTree* f, const void* key, uint16_t key_size, uint32_t recno) {
    XDSTATUS s = begin_change(f, key);
    if (s) return s;
    uint8_t k[kMaxTreeKey + 1];
    full_key(f, key, key_size, k);
    XDSTATUS outcome = XD_OK;
    s = change(f, [&] {
        outcome = fox_delete_in_change(f, k, recno);
        return outcome == XD_KEYNOTFOUND ? XD_OK : outcome;
    });
    fox_update_unlock(f->fox);
    if (s >= 0 && outcome == XD_KEYNOTFOUND) s = XD_KEYNOTFOUND;
    return xdb_report(s);
}

// ---- Changes of several trees at once (CDX tags and their directory) ----

void fox_change_begin() { g_changes.begin(); }

XDSTATUS fox_take_block(FoxTree* through, uint32_t* block) { return take_block(through, block); }
XDSTATUS fox_free_block(FoxTree* through, uint32_t block) { return free_block(through, block); }

XDSTATUS fox_append_blocks(FoxTree* through, uint32_t count, uint32_t* first) {
    FoxFile* x = through->fox;
    if ((uint64_t)x->next_block + (uint64_t)count * kBlock > 0xFFFFFE00ull) return xdb_report(XD_WRITEERR);
    *first = x->next_block;
    x->next_block += count * kBlock;
    xdb_fset_size(x->file.sh, x->next_block);
    for (uint32_t i = 0; i < count; i++) g_changes.fresh.insert(*first + i * kBlock);
    return x->end_in_header ? fox_write_word(x, 8, x->next_block) : XD_OK;
}

XDSTATUS fox_put_block(FoxTree* through, uint32_t offset, const uint8_t* bytes) {
    return tree_write_page(&through->tree, g_changes, offset, bytes);
}

XDSTATUS fox_change_commit(FoxTree* through, uint32_t free_before, bool ok) {
    XDSTATUS s = ok ? commit_block_changes(g_changes, shape_of(through, free_before)) : XD_OK;
    g_changes.active = false;
    page_cache_forget(through->fox->file.cache);
    through->tree.saved_depth = -1;
    return s;
}

XDSTATUS fox_tree_blocks(FoxTree* f, uint32_t offset, int depth, void (*visit)(void* context, uint32_t block), void* context) {
    if (depth >= kMaxDepth) return xdb_report(XD_CORRUPT);
    Node n;
    XDSTATUS s = read_bytes(f, offset, &n);
    if (s) return s;
    if (!sane(f, n)) return xdb_fault(XD_CORRUPT, true, "the node at %u overflows", offset);
    if (!is_leaf(n)) {
        const int count = count_of(n);
        std::vector<uint32_t> children((size_t)count);
        for (int i = 0; i < count; i++) children[(size_t)i] = fox_child(f->keys, n.bytes, i);
        // Leaves all stand on one level: once the first child is a leaf, its
        // siblings are only counted, not read (a tree of a million keys has
        // tens of thousands of them).
        Node first;
        if (count > 0 && (s = read_bytes(f, children[0], &first))) return s;
        const bool leaves = count > 0 && is_leaf(first);
        for (uint32_t child : children) {
            if (!leaves) {
                if ((s = fox_tree_blocks(f, child, depth + 1, visit, context))) return s;
            } else if (!fox_node_in_file(f->fox, child)) {
                return xdb_fault(XD_CORRUPT, true, "node offset %u outside the file", child);
            } else {
                visit(context, child);
            }
        }
    }
    visit(context, offset);
    return XD_OK;
}

// ---- Check ----

namespace {

// What the check reads of a node: its bytes, then its entries decoded.
const uint32_t kCheckEntries = 256;
struct CheckedNode {
    uint8_t raw[kBlock];
    int32_t count;
    uint32_t records[kCheckEntries];
    // then kCheckEntries keys
};
uint8_t* keys_of(CheckedNode* n) { return (uint8_t*)n + sizeof(CheckedNode); }
const uint8_t* keys_of(const CheckedNode* n) { return (const uint8_t*)n + sizeof(CheckedNode); }

uint32_t checked_size(const FoxTree* f) { return (uint32_t)(sizeof(CheckedNode) + kCheckEntries * f->keys.key_length); }

TreeCheckPages check_pages(FoxTree* f) {
    TreeCheckPages t{};
    t.context = f;
    t.page_size = checked_size(f);
    t.first_page = f->fox->first_node / kBlock;
    t.end_page = f->fox->next_block / kBlock;
    t.root = f->root / kBlock;
    t.key_length = f->keys.key_length;
    t.inner_entries = false;
    t.empty_below_root_allowed = false;
    t.page_word = "node at";
    t.named = [](void*, uint32_t p) { return p * kBlock; };
    t.read = [](void* c, uint32_t p, uint8_t* out) -> const char* {
        FoxTree* f = (FoxTree*)c;
        CheckedNode* n = (CheckedNode*)out;
        if (xdb_fread_at(f->fox->file.sh, p * kBlock, n->raw, kBlock) != XD_OK) {
            xdb_set_status(XD_OK);
            return "unreadable";
        }
        FoxNode node;
        if (const char* why = fox_node_decode(f->keys, n->raw, &node)) return why;
        if ((uint32_t)node.count > kCheckEntries) return "more keys than a node holds";
        if (p * kBlock == f->root && !(node.attributes & 1)) return "the root without its root mark";
        if (p * kBlock != f->root && (node.attributes & 1)) return "a root mark below the root";
        n->count = node.count;
        if (node.count > 0) {
            memcpy(keys_of(n), node.keys.data(), node.keys.size());
            memcpy(n->records, node.records.data(), node.records.size() * 4);
        }
        if (!node.leaf())
            for (int i = 0; i < node.count; i++)
                if (node.children[(size_t)i] % kBlock) return "a child offset that is no node's";
        return nullptr;
    };
    t.count = [](void*, const uint8_t* b) { return (int)((const CheckedNode*)b)->count; };
    t.key = [](void* c, const uint8_t* b, int i) {
        return keys_of((const CheckedNode*)b) + (size_t)i * ((FoxTree*)c)->keys.key_length;
    };
    t.record = [](void*, const uint8_t* b, int i) { return ((const CheckedNode*)b)->records[i]; };
    t.is_leaf = [](void*, const uint8_t* b) { return (fox_attributes(((const CheckedNode*)b)->raw) & 2) != 0; };
    t.children = [](void*, const uint8_t* b) { return (int)((const CheckedNode*)b)->count; };
    t.child = [](void* c, const uint8_t* b, int i) {
        return fox_child(((FoxTree*)c)->keys, ((const CheckedNode*)b)->raw, i) / kBlock;
    };
    t.leaf_entry_has_child = [](void*, const uint8_t*, int) { return false; };
    t.compare = [](void* c, const uint8_t* a, const uint8_t* b) {
        return compare(a, b, ((FoxTree*)c)->keys.key_length);
    };
    if (!f->fox->one_tree) t.unused = [](void*, uint32_t) { return false; };  // other trees' blocks
    t.free_head = f->fox->free_head / kBlock;
    t.next_free = [](void* c, uint32_t p, uint32_t* next) {
        FoxTree* f = (FoxTree*)c;
        uint8_t word[4];
        if (xdb_fread_at(f->fox->file.sh, p * kBlock, word, 4) != XD_OK) {
            xdb_set_status(XD_OK);
            return false;
        }
        uint32_t n = get_le32(word);
        if (n != kFoxNone && n % kBlock) return false;
        *next = n == kFoxNone ? 0 : n / kBlock;
        return true;
    };
    return t;
}

// The sibling links of every level: each level's nodes chained left to right in
// key order, the ends without neighbours.
const char* check_links(FoxTree* f, char* fault, size_t cap) {
    uint32_t first = f->root;
    for (int depth = 0; depth < kMaxDepth; depth++) {
        FoxNode n;
        if (read_node(f, first, &n)) return "unreadable";
        if (n.left != kFoxNone) {
            snprintf(fault, cap, "node at %u: the first node of its level has a left neighbour", first);
            return fault;
        }
        uint32_t prev = kFoxNone, at = first;
        for (uint32_t steps = 0; at != kFoxNone; steps++) {
            FoxNode m;
            if (steps > f->fox->next_block / kBlock || !fox_node_in_file(f->fox, at) || read_node(f, at, &m) || m.left != prev) {
                xdb_set_status(XD_OK);
                snprintf(fault, cap, "node at %u: sibling links that do not chain its level", at);
                return fault;
            }
            prev = at;
            at = m.right;
        }
        if (n.leaf()) return nullptr;
        first = n.children[0];
    }
    return "tree too deep";
}

}  // namespace

XDSTATUS fox_check(FoxTree* f, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!fault || cap == 0) return xdb_report(XD_NULLPARAM);
    fault[0] = 0;
    if (entries) *entries = 0;
    if ((s = refresh_header(f))) return s;
    uint32_t size = 0;
    if ((s = xdb_fsize(f->fox->file.sh, &size))) return s;
    if (!fox_node_in_file(f->fox, f->root)) {
        snprintf(fault, cap, "header: root %u outside the file's nodes", f->root);
        s = XD_CORRUPT;
    } else if (f->fox->end_in_header && f->fox->next_block > size) {
        snprintf(fault, cap, "header: end of file %u beyond the file's %u bytes", f->fox->next_block, size);
        s = XD_CORRUPT;
    } else {
        s = tree_check(check_pages(f), entries, fault, cap, entry, context);
        if (s == XD_OK) {
            char links[160];
            if (check_links(f, links, sizeof links)) {
                snprintf(fault, cap, "%s", links);
                s = XD_CORRUPT;
            }
        }
    }
    end_operation(f, s);
    return s == XD_OK ? xdb_status() : xdb_report(s);
}

// ---- Keys from records, and the rebuild ----

namespace {

// A key from a value of the evaluator, by its type: text padded with blanks,
// numbers, dates and date-times in their 8-byte forms, logicals T or F. The value's
// type is the index's key type from then on.
XDSTATUS key_from_value(FoxTree* f, const XdbKeyValue& v, uint8_t* key) {
    const uint16_t kl = f->keys.key_length;
    int type = v.type == 'F' ? 'N' : v.type == 'I' ? 11 : v.type == 'Y' ? 10 : v.type == 'T' ? 12 : (int)v.type;
    if (type != 'C' && type != 'N' && type != 'D' && type != 'L' && type != 10 && type != 11 && type != 12)
        return xdb_fault(XD_BADKEYEXPR, true, "keys of a %c value are not made here", (char)v.type);
    if (f->collation[0])
        return xdb_fault(XD_READONLY, true, "the index is ordered by the %s collation sequence, whose keys this engine does not make",
                         f->collation);
    if (type != f->key_type) fox_set_key_type(f, type);
    memset(key, f->keys.pad, kl);
    if (type == 'C') {
        memcpy(key, v.value, v.length < kl ? v.length : kl);
        return XD_OK;
    }
    if (type == 'L') {
        key[0] = *(const uint8_t*)v.value ? 'T' : 'F';
        return XD_OK;
    }
    if (type == 11) {
        // Visual FoxPro's integers: 4 bytes big-endian, the sign bit turned round.
        if (kl != 4) return xdb_fault(XD_BADKEYEXPR, true, "an integer key is 4 bytes; the index's are %u", kl);
        int32_t i;
        memcpy(&i, v.value, 4);
        const uint32_t u = (uint32_t)i ^ 0x80000000u;
        for (int b = 0; b < 4; b++) key[b] = (uint8_t)(u >> (24 - 8 * b));
        return XD_OK;
    }
    if (type == 10) {
        // Currency: ten-thousandths as 8 bytes big-endian, the sign bit turned round.
        if (kl != 8) return xdb_fault(XD_BADKEYEXPR, true, "a currency key is 8 bytes; the index's are %u", kl);
        double d;
        memcpy(&d, v.value, 8);
        const uint64_t u = (uint64_t)(int64_t)llround(d * 10000.0) ^ (1ull << 63);
        for (int b = 0; b < 8; b++) key[b] = (uint8_t)(u >> (56 - 8 * b));
        return XD_OK;
    }
    if (kl != 8)
        return xdb_fault(XD_BADKEYEXPR, true, "a %s key is 8 bytes; the index's are %u",
                         type == 'N' ? "number" : type == 12 ? "date-time" : "date", kl);
    if (type == 12) {
        DbfDateTime t{};
        if (v.length != sizeof t) return xdb_fault(XD_BADKEYEXPR, true, "a date-time value of %u bytes", v.length);
        memcpy(&t, v.value, sizeof t);
        // The blank date-time is the blank date's key, at midnight.
        idx_date_key(t.year, t.month, t.day, key);
        index_time_of_day_key(t.year ? t.hour : 0, t.year ? t.minute : 0, t.year ? t.second : 0, key + 4);
        return XD_OK;
    }
    if (type == 'N') {
        double d;
        memcpy(&d, v.value, 8);
        idx_number_key(d, key);
        return XD_OK;
    }
    int y = 0, m = 0, day = 0;
    XDSTATUS before = xdb_status();
    XDSTATUS r = xdb_read_date(&y, &m, &day, (const char*)v.value, xdb_date_format());
    if (r < 0) return r;
    xdb_set_status(before);
    idx_date_key(r == XD_EMPTYFILE ? 0 : y, m, day, key);
    return XD_OK;
}

XDSTATUS evaluate_key(FoxTree* f, int16_t data_handle, uint8_t* key) {
    char expr[256];
    snprintf(expr, sizeof expr, "%s", f->expression);
    XdbKeyValue v{};
    XDSTATUS s = xdb_eval_key(data_handle, expr, 0, &v);
    if (s < 0) return s;
    return key_from_value(f, v, key);
}

XDSTATUS evaluate_condition(const FoxTree* f, int16_t data_handle, bool* included) {
    *included = true;
    if (!f->condition[0]) return XD_OK;
    char why[160];
    XDSTATUS s = xdb_eval_condition(data_handle, f->condition, included, why, sizeof why);
    if (s < 0) xdb_fault(s, true, "the FOR condition %s of the index: %s", f->condition, why);
    return s;
}

}  // namespace

XDSTATUS fox_key_from_record(FoxTree* f, int16_t data_handle, uint8_t* key) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if ((s = evaluate_key(f, data_handle, key)) < 0) return s;
    key[f->keys.key_length] = 0;
    return xdb_status();
}

XDSTATUS fox_record_included(FoxTree* f, int16_t data_handle, bool* included) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!included) return xdb_report(XD_NULLPARAM);
    if ((s = evaluate_condition(f, data_handle, included)) < 0) return s;
    return xdb_status();
}

namespace {

// Builds the tree bottom-up from entries in order. Each level fills a node; a full
// node gets the next block as its right neighbour, goes to the file, and hands its
// greatest entry up a level; the level goes on in that next block.
struct FoxBuilder {
    FoxTree* f;
    BuildWriter* writer;
    int leaf_entry_bytes;
    struct Level {
        FoxNode node;
        uint32_t offset;
        int used;  // compact leaves: bytes of entries and keys
        bool wrote_one;
    };
    std::vector<Level> levels;
    XDSTATUS status = XD_OK;

    FoxBuilder(FoxTree* file, uint32_t largest_record)
        : f(file), writer(build_writer_new(file->fox->file.sh, kBlock, file->fox->next_block / kBlock, 256)),
          leaf_entry_bytes(fox_leaf_entry_bytes(file->keys, largest_record)) {
        levels.push_back(Level{FoxNode(), f->root, 0, false});
        levels[0].node.attributes = 2;
        if (!writer) status = xdb_report(XD_MEMERR);
    }
    ~FoxBuilder() {
        if (writer) build_writer_finish(writer);
    }
    // The bytes `key` takes in a compact leaf after the level's last key (0 for
    // other nodes, which count entries).
    int stored_bytes(const Level& l, const uint8_t* key, size_t level) const {
        if (level > 0 || !f->keys.compact) return 0;
        const uint8_t* prev = l.node.count ? l.node.key(f->keys, l.node.count - 1) : nullptr;
        return leaf_entry_bytes + fox_leaf_stored_bytes(f->keys, prev, key);
    }
    bool full(const Level& l, int stored, size_t level) const {
        if (level > 0 || !f->keys.compact) return l.node.count >= fox_interior_capacity(f->keys);
        return l.used + stored > kFoxLeafRoom;
    }
    XDSTATUS put(const FoxNode& node, uint32_t offset) {
        Node raw;
        if (!fox_node_encode(f->keys, node, raw.bytes)) return xdb_fault(XD_CORRUPT, false, "a built node overflowed");
        return build_writer_put(writer, offset / kBlock, raw.bytes);
    }
    void add(size_t level, const uint8_t* key, uint32_t record, uint32_t child) {
        if (status < 0) return;
        if (level >= levels.size()) {
            if (level >= (size_t)kMaxDepth) {
                status = xdb_report(XD_CORRUPT);
                return;
            }
            levels.push_back(Level{FoxNode(), next_block(), 0, false});
            levels[level].node.attributes = 0;
        }
        int stored = stored_bytes(levels[level], key, level);
        if (full(levels[level], stored, level)) {
            Level& l = levels[level];
            const uint32_t next = next_block();
            l.node.right = next;
            if ((status = put(l.node, l.offset)) < 0) return;
            const int last = l.node.count - 1;
            uint8_t top[kMaxTreeKey];
            memcpy(top, l.node.key(f->keys, last), f->keys.key_length);
            const uint32_t top_record = l.node.records[(size_t)last], written = l.offset;
            FoxNode fresh;
            fresh.attributes = l.node.attributes;
            fresh.left = written;
            l.node = fresh;
            l.offset = next;
            l.used = 0;
            l.wrote_one = true;
            add(level + 1, top, top_record, written);
            if (status < 0) return;
            stored = stored_bytes(levels[level], key, level);  // first in a fresh node
        }
        Level& l = levels[level];
        l.used += stored;
        l.node.insert(f->keys, l.node.count, key, level > 0 && !f->keys.compact ? 0 : record, child);
    }
    uint32_t next_block() {
        uint32_t b = f->fox->next_block;
        f->fox->next_block += kBlock;
        return b;
    }
    XDSTATUS finish() {
        if (status < 0) return status;
        for (size_t level = 0; level < levels.size(); level++) {
            Level& l = levels[level];
            const bool top = level + 1 == levels.size() && !l.wrote_one;
            if (top) {
                l.node.attributes |= 1;
                f->root = l.offset;
            } else if (l.node.count > 0) {
                const int last = l.node.count - 1;
                uint8_t k[kMaxTreeKey];
                memcpy(k, l.node.key(f->keys, last), f->keys.key_length);
                add(level + 1, k, levels[level].node.records[(size_t)last], l.offset);
                if (status < 0) return status;
            }
            if ((status = put(levels[level].node, levels[level].offset)) < 0) return status;
        }
        status = build_writer_finish(writer);
        writer = nullptr;
        if (status < 0) return status;
        xdb_fset_size(f->fox->file.sh, f->fox->next_block);
        XDSTATUS s = fox_write_word(f->fox, f->header, f->root);
        if (s == XD_OK && f->fox->end_in_header) s = fox_write_word(f->fox, 8, f->fox->next_block);
        return s;
    }
};

}  // namespace

XDSTATUS fox_build(FoxTree* f, int16_t data) {
    uint32_t count = 0;
    XDSTATUS s = dbf_record_count(data, &count);
    if (s < 0) return s;
    const RecordKeySource src = record_key_source(data, f->expression);
    KeySorter* sorter = key_sort_new(f->keys.key_length, false, count);
    if (!sorter) return xdb_report(XD_MEMERR);
    key_sort_set_unique(sorter, f->unique);
    FoxBuilder builder(f, count);
    struct Keys {
        FoxTree* f;
        RecordKeySource src;
        static XDSTATUS of(void* context, int16_t data, uint32_t, uint8_t* key, bool* has_key) {
            Keys* k = (Keys*)context;
            XDSTATUS r = evaluate_condition(k->f, data, has_key);
            if (r < 0 || !*has_key) return r;
            const uint16_t kl = k->f->keys.key_length;
            if (k->src.field >= 0 && k->src.field_type == 'C' && k->f->key_type == 'C') {
                memset(key, ' ', kl);
                memcpy(key, k->src.record + k->src.offset, k->src.length < kl ? k->src.length : kl);
                return XD_OK;
            }
            // A number field's value read where it lies, as the expression would.
            if (k->src.field >= 0 && k->src.field_type == 'N' && k->f->key_type == 'N' && kl == 8) {
                idx_number_key(xdb_field_number(k->src.record + k->src.offset, k->src.length), key);
                return XD_OK;
            }
            return evaluate_key(k->f, data, key);
        }
    } keys{f, src};
    s = sort_record_keys(data, count, sorter, Keys::of, &keys);
    if (s >= 0) {
        auto emit = [](void* context, const uint8_t* key, uint32_t recno) {
            FoxBuilder* b = (FoxBuilder*)context;
            b->add(0, key, recno, 0);
            return b->status;
        };
        s = key_sort_finish(sorter, emit, &builder);
    }
    key_sort_free(sorter);
    if (s >= 0) s = builder.finish();
    page_cache_forget(f->fox->file.cache);
    return s;
}

// What a rebuild keeps of the file it replaces: its layout, order, uniqueness and
// condition, which the request does not carry.
