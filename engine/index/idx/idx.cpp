// IDX index files (FoxBASE+, FoxPro).
//
// The file is a sequence of 512-byte blocks; nodes are named by their byte offset.
// Numbers are little-endian unless said otherwise.
//   header (block 0)
//     0   u32 root offset         4   u32 free list head (-1 or 0: empty)
//     8   u32 end of file (standard layout; 0 in the compact one, whose end is the
//         file's size)
//     12  u16 key length (1..100) 14  u8 options: 0x01 unique, 0x08 a FOR condition,
//                                     0x20 compact (any of 0xE0 on reading)
//     15  u8  signature
//     standard: 16 the key expression (220 bytes, zero-terminated), 236 the FOR
//         condition when option 0x08 is set
//     compact: 502 u16 order (1 descending), 504 u16 expression length + 1,
//         506 u16 FOR length + 1, 510 u16 expression length + 1, 494 the name of
//         the collation sequence (8 bytes; empty or MACHINE: byte order); block 1 holds the
//         FOR condition's text, then the key expression from 511 + the word at 506
//   nodes: see idx_node.h. The first node of a new standard file is block 1, of a
//   new compact file block 2.
//   free blocks: the next free block's offset in their first 4 bytes.
// Keys compare as unsigned bytes. Character keys are padded with blanks, the other
// kinds with zeros (numbers and dates as idx_number_key makes them, logicals "T"
// or "F").
//
// Every operation re-reads the root, the free list head and the end of the file,
// unless nothing can have changed them since this handle's last operation (see
// page_cache.h). A change of one node is one write; a change of several (nodes
// point to their neighbours) goes through the index's journal, so that a stop
// leaves the old tree or the new one (see change_journal.h).

#include "engine/index/idx/idx.h"

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
#include "engine/core/keyexpr.h"
#include "engine/core/os.h"
#include "engine/index/build_writer.h"
#include "engine/index/change_journal.h"
#include "engine/index/free_pages.h"
#include "engine/index/idx/idx_node.h"
#include "engine/index/index_format.h"
#include "engine/index/key_sort.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"
#include "engine/index/rebuild.h"
#include "engine/index/tree_check.h"
#include "engine/index/tree_cursor.h"
#include "engine/index/tree_walk.h"

namespace {

const uint32_t kBlock = kFoxNode;
const int kMaxDepth = kMaxTreeDepth;

struct IdxFile : SingleTreeFile {  // the shared frame turns its cursor back into the file
    FoxKeys keys;
    char key_type;
    uint8_t options;
    bool unique, descending;
    uint32_t root, free_head, next_block;  // free_head 0: none
    uint32_t first_node;                   // 512 standard, 1024 compact
    uint32_t empty_head;                   // how this file writes an empty free list
    char expression[224];
    char condition[224];
    // A collation sequence other than the machine's (FoxPro's SET COLLATE): the
    // keys are that sequence's weights, zero-padded, which this engine does not
    // compute; such an index is read, never written.
    char collation[9];
    // The header words when the entry handed out last was (see tree_walk.h).
    uint32_t saved_root, saved_free, saved_next;
    bool header_modified;  // a rebuild's root, written at close
};
static_assert(sizeof(IdxFile) <= 4096, "an IDX handle's block fits the engine's control block");

struct Node {
    uint8_t bytes[kBlock];
};

// The blocks a change collects (see ordered_commit.h); the engine is entered by
// one thread at a time.
BlockChanges g_changes;

XDSTATUS enter(int16_t handle, IdxFile** f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_IDX, &block))) return s;
    *f = (IdxFile*)block;
    return XD_OK;
}

bool compact(const IdxFile* f) { return f->keys.compact; }

// The header words other processes change, read again unless nothing can have
// changed them. A compact file's end is its size.
XDSTATUS refresh_header(IdxFile* f) {
    if (tree_begin_operation(&f->tree)) return XD_OK;
    uint8_t head[12];
    XDSTATUS s = xdb_fread_at(f->file.sh, 0, head, 12);
    if (s) return s;
    f->root = get_le32(head);
    uint32_t free_word = get_le32(head + 4);
    f->free_head = free_word == kFoxNone ? 0 : free_word;
    uint32_t end = get_le32(head + 8);
    if (compact(f) || end == 0) {
        if ((s = xdb_fsize(f->file.sh, &end))) return s;
        end &= ~(kBlock - 1);
    }
    f->next_block = end;
    if (f->root != f->saved_root || f->free_head != f->saved_free || f->next_block != f->saved_next)
        tree_header_changed(&f->tree);
    return XD_OK;
}

void end_operation(IdxFile* f, XDSTATUS s, bool position = false) {
    f->saved_root = f->root;
    f->saved_free = f->free_head;
    f->saved_next = f->next_block;
    tree_end_operation(&f->tree, s, position);
}

bool node_in_file(const IdxFile* f, uint32_t offset) {
    return offset >= f->first_node && offset < f->next_block && offset % kBlock == 0;
}

XDSTATUS read_bytes(IdxFile* f, uint32_t offset, Node* out) {
    if (!node_in_file(f, offset)) return xdb_fault(XD_CORRUPT, true, "IDX node offset %u outside the file", offset);
    return tree_read_page(&f->tree, g_changes, offset, out->bytes, nullptr);
}

XDSTATUS read_node(IdxFile* f, uint32_t offset, FoxNode* node) {
    Node raw;
    XDSTATUS s = read_bytes(f, offset, &raw);
    if (s) return s;
    if (const char* why = fox_node_decode(f->keys, raw.bytes, node))
        return xdb_fault(XD_CORRUPT, true, "IDX node at %u: %s", offset, why);
    return XD_OK;
}

int count_of(const Node& n) { return fox_count(n.bytes); }
bool is_leaf(const Node& n) { return fox_attributes(n.bytes) & 2; }

// A node the walk may read: its count inside the node (a compact leaf's entries are
// checked when they are decoded).
bool sane(const IdxFile* f, const Node& n) {
    if (fox_attributes(n.bytes) > 3) return false;
    const int c = fox_count(n.bytes);
    if (!is_leaf(n) || !compact(f)) return 12 + c * (f->keys.key_length + (compact(f) ? 8 : 4)) <= (int)kBlock;
    return 24 + c <= (int)kBlock;
}

// Compares a search key with an entry key over `length` bytes (unsigned bytes).
int compare(const uint8_t* search, const uint8_t* key, uint16_t length) { return memcmp(search, key, length); }

// ---- The walk ----

// Descends from `offset` (path level `level`) along first or last entries to a
// leaf, left in `leaf`.
XDSTATUS descend(IdxFile* f, uint32_t offset, int level, bool last, Node* leaf) {
    for (;;) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_bytes(f, offset, leaf);
        if (s) return s;
        if (!sane(f, *leaf)) return xdb_report(XD_CORRUPT);
        const int n = count_of(*leaf);
        if (n == 0 && level > 0) return xdb_fault(XD_CORRUPT, true, "empty IDX node at %u below the root", offset);
        if (tree_count(&f->tree, leaf->bytes) != n)
            return xdb_fault(XD_CORRUPT, true, "IDX node at %u does not decode", offset);
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
XDSTATUS advance(IdxFile* f, Node* leaf, bool forward) {
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

XDSTATUS end_entry(IdxFile* f, Node* leaf, bool last) {
    XDSTATUS s = descend(f, f->root, 0, last, leaf);
    if (s) return s;
    if (count_of(*leaf) == 0) {
        f->tree.path.depth = -1;
        return XD_EMPTYFILE;
    }
    return XD_OK;
}

XDSTATUS step_or_end(IdxFile* f, Node* leaf, bool forward) {
    if (f->tree.path.depth < 0) return end_entry(f, leaf, !forward);
    XDSTATUS s = advance(f, leaf, forward);
    if (s != XD_NOMOREKEYS) return s;
    s = end_entry(f, leaf, forward);
    return s < 0 ? s : XD_NOMOREKEYS;
}

// The order of the search: the key over `length` bytes, then (with `pair`) the
// record number.
struct Target {
    const uint8_t* key;
    uint16_t length;
    bool pair;
    uint32_t record;
};

int compare_entry(IdxFile* f, const Target& t, const Node& n, int i, bool has_record) {
    int c = compare(t.key, tree_key(&f->tree, n.bytes, i), t.length);
    if (c || !t.pair || !has_record) return c;
    uint32_t r = tree_record(&f->tree, n.bytes, i);
    return t.record < r ? -1 : t.record > r ? 1 : 0;
}

// Positions on the first entry not before the target: XD_OK; XD_NOMOREKEYS when
// every entry is before it (the path then past the last entry of the last leaf,
// its index the leaf's count); XD_EMPTYFILE (the path on the empty root leaf).
XDSTATUS lower_bound(IdxFile* f, const Target& t, Node* at) {
    uint32_t offset = f->root;
    for (int level = 0;; level++) {
        if (level >= kMaxDepth) return xdb_report(XD_CORRUPT);
        XDSTATUS s = read_bytes(f, offset, at);
        if (s) return s;
        if (!sane(f, *at)) return xdb_fault(XD_CORRUPT, true, "IDX node at %u overflows", offset);
        const bool leaf = is_leaf(*at);
        const int n = tree_count(&f->tree, at->bytes);
        if (n != count_of(*at)) return xdb_fault(XD_CORRUPT, true, "IDX node at %u does not decode", offset);
        f->tree.path.page[level] = offset;
        f->tree.path.depth = level;
        if (n == 0) {
            f->tree.path.index[level] = 0;
            if (level == 0 && leaf) return XD_EMPTYFILE;
            return xdb_fault(XD_CORRUPT, true, "IDX node at %u without keys", offset);
        }
        // Standard interior entries carry no record: the search goes down at the
        // first subtree whose greatest key is not below the key.
        const bool records = leaf || compact(f);
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
        if (low < n) return XD_OK;
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
            if (compare_entry(f, t, *at, f->tree.path.index[f->tree.path.depth], true) <= 0) return XD_OK;
            before = f->tree.path;
            before.index[before.depth] = tree_count(&f->tree, at->bytes);
        }
    }
}

// Moves to the entry before the path's place: XD_KEYNOTFOUND on it, or with
// *no_smaller (no position) when there is none.
XDSTATUS before_place(IdxFile* f, Node* at, XDSTATUS found, bool* no_smaller) {
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
XDSTATUS find_entry_of(IdxFile* f, const uint8_t* key, uint32_t record, Node* at, bool* no_smaller) {
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
            *at = run;
            return XD_OK;
        }
        r = advance(f, &run, true);
    }
    if (r < 0 && r != XD_NOMOREKEYS) return r;
    s = lower_bound(f, t, at);
    if (s < 0) return s;
    return before_place(f, at, s, no_smaller);
}

XDSTATUS begin_positioning(int16_t handle, void* key, uint32_t* recno, IdxFile** f) {
    XDSTATUS s = enter(handle, f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    return refresh_header(*f);
}

// ---- IDX nodes as the positioning frame sees them ----

IdxFile* file_of(TreeCursor* c) { return static_cast<IdxFile*>((SingleTreeFile*)c); }
const IdxFile* file_of(const TreeCursor* c) { return static_cast<const IdxFile*>((const SingleTreeFile*)c); }
Node* as_node(uint8_t* bytes) { return (Node*)bytes; }

// Reads and checks the header when the file is opened.
XDSTATUS read_header(TreeCursor* c, uint32_t size) {
    IdxFile* f = file_of(c);
    uint8_t head[1024] = {0};
    XDSTATUS s = xdb_fread_at(f->file.sh, 0, head, size < 1024 ? (size < 512 ? 16 : 512) : 1024);
    if (s) return s;
    f->root = get_le32(head);
    uint32_t free_word = get_le32(head + 4);
    f->free_head = free_word == kFoxNone ? 0 : free_word;
    const uint32_t end = get_le32(head + 8);
    f->keys.key_length = get_le16(head + 12);
    f->options = head[14];
    f->keys.compact = (f->options & 0xE0) != 0;
    f->keys.pad = ' ';
    f->key_type = 'C';
    f->unique = f->options & 0x01;
    f->first_node = compact(f) ? 2 * kBlock : kBlock;
    f->empty_head = compact(f) ? 0 : kFoxNone;
    f->next_block = compact(f) || end == 0 ? (size & ~(kBlock - 1)) : end;
    f->expression[0] = f->condition[0] = 0;
    f->descending = false;
    const uint16_t kl = f->keys.key_length;
    if (kl < 1 || kl > 100)
        return xdb_fault(XD_BADKEYSIZE, true, "the IDX header's key length %u is outside 1..100", kl);
    std::string expr, cond;
    f->collation[0] = 0;
    if (compact(f)) {
        if (size < 1024) return xdb_fault(XD_CORRUPT, true, "a compact IDX file of %u bytes has no expression block", size);
        size_t n = 0;
        for (; n < 8 && isalnum(head[494 + n]); n++) f->collation[n] = (char)head[494 + n];
        f->collation[n] = 0;
        if (!strcmp(f->collation, "MACHINE")) f->collation[0] = 0;
        if (f->collation[0]) f->keys.pad = 0;
        f->descending = get_le16(head + 502) == 1;
        const uint16_t for_length = get_le16(head + 506), expr_length = get_le16(head + 510);
        if (for_length < 1 || 511u + for_length + expr_length > 1024)
            return xdb_fault(XD_BADKEYEXPR, true, "the compact IDX expression lengths (%u, %u) leave block 1",
                             for_length, expr_length);
        cond.assign((const char*)head + 512, strnlen((const char*)head + 512, for_length - 1u));
        expr.assign((const char*)head + 511 + for_length, strnlen((const char*)head + 511 + for_length, expr_length));
    } else {
        expr.assign((const char*)head + 16, strnlen((const char*)head + 16, 220));
        if (expr.size() >= 220) return xdb_fault(XD_BADKEYEXPR, true, "the IDX key expression does not end within 220 bytes");
        if (f->options & 0x08) cond.assign((const char*)head + 236, strnlen((const char*)head + 236, 220));
    }
    if (expr.empty() || expr.size() >= 220)
        return xdb_fault(XD_BADKEYEXPR, true, "the IDX key expression is %s", expr.empty() ? "empty" : "too long");
    size_t w = 0;
    for (char ch : expr)
        if (ch != ' ') f->expression[w++] = (char)toupper((unsigned char)ch);
    f->expression[w] = 0;
    snprintf(f->condition, sizeof f->condition, "%s", cond.c_str());
    if (!node_in_file(f, f->root))
        return xdb_fault(XD_BADROOT, true, "the IDX root %u is outside the file's nodes (%u..%u)", f->root,
                         f->first_node, f->next_block);
    c->key_length = kl;
    c->zero_after_key = true;
    return index_file_set_pages(c->file, kBlock, 1, 0);
}

const TreeFormat kIdxTree = {
    read_header,
    [](const TreeCursor*, const uint8_t* page) { return fox_count(page); },
    nullptr,  // entries are decoded
    nullptr,
    [](const TreeCursor* c, const uint8_t* page, int count, uint8_t* keys, uint32_t* records) {
        return fox_node_decode_entries(file_of(c)->keys, page, count, keys, records);
    },
    [](const TreeCursor*, const uint8_t* page) { return (fox_attributes(page) & 2) != 0; },
    [](TreeCursor* c, uint32_t number, uint8_t* page) { return read_bytes(file_of(c), number, as_node(page)); },
    [](TreeCursor* c, uint32_t number, uint8_t* page) {
        IdxFile* f = file_of(c);
        return node_in_file(f, number) && index_file_read_raw(&f->file, number, page);
    },
    [](TreeCursor* c, uint8_t* page, bool last) { return end_entry(file_of(c), as_node(page), last); },
    [](TreeCursor* c, uint8_t* page, bool forward) { return step_or_end(file_of(c), as_node(page), forward); },
    [](TreeCursor* c, const uint8_t* key, uint32_t recno, uint8_t* page, bool* no_smaller) {
        return find_entry_of(file_of(c), key, recno, as_node(page), no_smaller);
    },
    [](TreeCursor* c, XDSTATUS s, bool handed) { end_operation(file_of(c), s, handed); },
};

}  // namespace

// ---- Key forms ----

void idx_number_key(double value, uint8_t* out) {
    if (value == 0) value = 0.0;  // one zero, one key
    uint64_t bits;
    memcpy(&bits, &value, 8);
    bits = bits >> 63 ? ~bits : bits | (1ull << 63);
    xdb_put_be64(out, bits);
}

double idx_key_number(const uint8_t* key) {
    uint64_t bits = xdb_get_be64(key);
    bits = bits >> 63 ? bits & ~(1ull << 63) : ~bits;
    double d;
    memcpy(&d, &bits, 8);
    return d;
}

// Dates are the true Julian day number, as for NDX: other programs' files hold it
// (a day count that makes every fourth year a leap year differs before 1900-03-01).
void idx_date_key(int year, int month, int day, uint8_t* out) {
    if (year == 0) {
        memset(out, 0, 8);
        out[0] = 0x80;
        return;
    }
    idx_number_key((double)xdb_julian_day(year, month, day), out);
}

bool idx_key_date(const uint8_t* key, int* year, int* month, int* day) {
    double d = idx_key_number(key);
    if (!std::isfinite(d) || d < xdb_julian_day(1, 1, 1) || d > xdb_julian_day(9999, 12, 31) || d != std::trunc(d))
        return false;
    xdb_from_julian_day((int32_t)d, year, month, day);
    return true;
}

// ---- Create, open, close, info ----

namespace {

// A new file: header, expression (and condition, when not empty) and an empty
// root leaf.
XDSTATUS create_file(const char* name, uint16_t type_word, const char* expression, uint16_t key_length,
                     const char* condition) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name || !expression) return xdb_report(XD_NULLPARAM);
    if (!name[0]) return xdb_report(XD_BADFILENAME);
    std::string expr;
    for (const char* p = expression; *p; p++)
        if (*p != ' ') expr += (char)toupper((unsigned char)*p);
    // The standard header holds the expression and its terminator in 220 bytes.
    if (expr.empty() || expr.size() > 219) return xdb_report(XD_BADKEYEXPR);
    const char type = (char)toupper(type_word & 0x7F);
    uint16_t kl;
    if (type == 'C') {
        if (key_length < 1 || key_length > 100) return xdb_report(XD_BADKEYSIZE);
        kl = key_length;
    } else if (type == 'D' || type == 'N') {
        kl = 8;
    } else if (type == 'L') {
        kl = 1;
    } else {
        return xdb_report(XD_BADKEYTYPE);
    }
    const bool is_compact = type_word & IDX_COMPACT;
    FoxKeys keys{is_compact, kl, (uint8_t)(type == 'C' ? ' ' : 0)};
    std::vector<uint8_t> bytes((is_compact ? 3 : 2) * kBlock, 0);
    uint8_t* h = bytes.data();
    put_le16(h + 12, kl);
    h[14] = (uint8_t)((type_word & IDX_UNIQUE ? 0x01 : 0) | (is_compact ? 0x20 : 0));
    const size_t cond_length = condition ? strlen(condition) : 0;
    if (cond_length > 219 || (is_compact && cond_length + expr.size() + 2 > kBlock)) return xdb_report(XD_BADKEYEXPR);
    FoxNode root;
    root.attributes = 3;
    if (is_compact) {
        put_le32(h, 2 * kBlock);
        put_le16(h + 502, type_word & IDX_DESCENDING ? 1 : 0);
        put_le16(h + 504, (uint16_t)(expr.size() + 1));
        put_le16(h + 506, (uint16_t)(cond_length + 1));
        put_le16(h + 510, (uint16_t)(expr.size() + 1));
        if (cond_length) memcpy(h + 512, condition, cond_length);
        memcpy(h + 512 + cond_length, expr.data(), expr.size());  // right after the condition's text
        fox_node_encode(keys, root, h + 2 * kBlock);
    } else {
        put_le32(h, kBlock);
        put_le32(h + 4, kFoxNone);
        put_le32(h + 8, 2 * kBlock);
        memcpy(h + 16, expr.data(), expr.size());
        if (cond_length) {
            h[14] |= 0x08;
            memcpy(h + 236, condition, cond_length);
        }
        fox_node_encode(keys, root, h + kBlock);
    }
    uint16_t sh;
    if ((s = xdb_fcreate(&sh, name))) return s;
    s = xdb_fwrite_at(sh, 0, bytes.data(), (uint32_t)bytes.size(), 1);
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

}  // namespace

XDSTATUS idx_create(const char* name, uint16_t type_word, const char* expression, uint16_t key_length) {
    return create_file(name, type_word, expression, key_length, "");
}

XDSTATUS idx_open(int16_t* handle, const char* name, uint16_t open_mode) {
    xdb_clear_fault();
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    *handle = -1;
    uint8_t dialect = (uint8_t)(open_mode & 0xFF);
    if (dialect != 0 && dialect != 3 && dialect != 4 && dialect != 8) return xdb_report(XD_BADVERSION);
    int16_t h;
    TreeCursor* c;
    uint32_t size = 0;
    if ((s = tree_open(&h, &c, name, xdb_expand_open_mode(open_mode), XDB_KIND_IDX, idx_close, &kIdxTree, &size)))
        return s;
    IdxFile* f = file_of(c);
    f->saved_root = f->root;
    f->saved_free = f->free_head;
    f->saved_next = f->next_block;
    f->header_modified = false;
    *handle = h;
    if (!compact(f) && f->next_block != size) xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

XDSTATUS idx_close(int16_t handle) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    XDSTATUS w = XD_OK;
    if (f->header_modified) {
        uint8_t head[12];
        put_le32(head, f->root);
        put_le32(head + 4, f->free_head ? f->free_head : f->empty_head);
        put_le32(head + 8, compact(f) ? 0 : f->next_block);
        w = xdb_fwrite_at(f->file.sh, 0, head, 12, 1);
        if (w) xdb_set_status(XD_OK);  // the handle goes all the same (see ndx_close)
    }
    s = tree_close(handle, &f->tree);
    if (w) return xdb_report(w);
    return s ? s : xdb_status();
}

XDSTATUS idx_info(int16_t handle, IdxInfo* info) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    info->key_length = f->keys.key_length;
    info->key_type = f->key_type;
    info->flags = (uint16_t)((f->unique ? 0x80 : 0) | (f->descending ? 0x100 : 0) | (compact(f) ? 0x400 : 0));
    snprintf(info->expression, sizeof info->expression, "%s", f->expression);
    snprintf(info->condition, sizeof info->condition, "%s", f->condition);
    snprintf(info->collation, sizeof info->collation, "%s", f->collation);
    info->root = f->root;
    info->free_head = f->free_head;
    info->next_block = f->next_block;
    info->file_name = f->file.name;
    return xdb_status();
}

XDSTATUS idx_set_key_type(int16_t handle, char letter) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    letter = (char)toupper((unsigned char)letter);
    if (letter != 'C' && letter != 'D' && letter != 'L' && letter != 'N') return xdb_report(XD_BADKEYTYPE);
    if (letter != f->key_type) {
        // The pad byte changes how compact leaves decode: nothing decoded stays.
        f->key_type = letter;
        f->keys.pad = letter == 'C' && !f->collation[0] ? ' ' : 0;
        page_cache_forget(f->file.cache);
        f->tree.saved_depth = -1;
    }
    return XD_OK;
}

// ---- Positioning ----

namespace {

XDSTATUS positioned(int16_t handle, void* key, uint32_t* recno, bool last) {
    IdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    Node leaf;
    return tree_first_or_last(&f->tree, leaf.bytes, last, key, recno);
}

XDSTATUS moved_from(int16_t handle, void* key, uint32_t* recno, bool forward) {
    IdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    Node leaf;
    return tree_moved_from(&f->tree, leaf.bytes, forward, key, recno);
}

// The caller's key as the file holds it: padded to the key length.
void full_key(const IdxFile* f, const void* key, uint16_t key_size, uint8_t* out) {
    const uint16_t kl = f->keys.key_length;
    memset(out, f->keys.pad, kl);
    memcpy(out, key, key_size < kl ? key_size : kl);
}

}  // namespace

XDSTATUS idx_first(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, false); }
XDSTATUS idx_last(int16_t handle, void* key, uint32_t* recno) { return positioned(handle, key, recno, true); }
XDSTATUS idx_next(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, true); }
XDSTATUS idx_previous(int16_t handle, void* key, uint32_t* recno) { return moved_from(handle, key, recno, false); }

XDSTATUS idx_resync(int16_t handle, void* key, uint32_t* recno) {
    IdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    if (*recno == 0) return xdb_report(XD_KEYNOTFOUND);
    uint8_t k[kMaxTreeKey + 1];
    memcpy(k, key, f->keys.key_length);
    Node leaf;
    bool no_smaller = false;
    s = find_entry_of(f, k, *recno, &leaf, &no_smaller);
    if (s == XD_KEYNOTFOUND && no_smaller) {
        *recno = 0xFFFFFFFFu;
        f->tree.path.depth = -1;
        end_operation(f, XD_OK);
        return xdb_report(XD_KEYNOTFOUND);
    }
    return tree_end_positioning(&f->tree, leaf.bytes, s, key, recno);
}

XDSTATUS idx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    IdxFile* f = nullptr;
    XDSTATUS s = begin_positioning(handle, key, recno, &f);
    if (s) return s;
    const uint16_t kl = f->keys.key_length;
    uint8_t k[kMaxTreeKey + 1];
    uint16_t length = f->key_type == 'C' ? (key_size < kl ? key_size : kl) : kl;
    full_key(f, key, f->key_type == 'C' ? length : kl, k);
    const bool exact = mode & IDX_EXACT;
    if (exact) length = kl;
    Target t{k, length, exact, *recno};
    Node leaf;
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

// ---- Changes ----

namespace {

XDSTATUS write_word(IdxFile* f, uint32_t offset, uint32_t value) {
    uint8_t word[4];
    put_le32(word, value);
    return xdb_fwrite_at(f->file.sh, offset, word, 4, 1);
}

XDSTATUS write_node(IdxFile* f, uint32_t offset, const FoxNode& node) {
    if (!node_in_file(f, offset)) return xdb_report(XD_SEEKERR);
    Node raw;
    if (!fox_node_encode(f->keys, node, raw.bytes)) return xdb_fault(XD_CORRUPT, false, "an IDX node overflowed");
    return tree_write_page(&f->tree, g_changes, offset, raw.bytes);
}

// The free blocks: a chain from the header's word at 4, each free block's first
// word naming the next.
FreePages free_blocks(IdxFile* f) {
    FreePages fp{};
    fp.context = f;
    fp.head = &f->free_head;
    fp.next_of = [](void* c, uint32_t b, uint32_t* next) {
        IdxFile* f = (IdxFile*)c;
        uint8_t word[4];
        if (!node_in_file(f, b) || xdb_fread_at(f->file.sh, b, word, 4) != XD_OK) return false;
        uint32_t n = get_le32(word);
        *next = n == kFoxNone ? 0 : n;
        return true;
    };
    fp.write_freed = [](void* c, uint32_t b, uint32_t next) {
        IdxFile* f = (IdxFile*)c;
        Node raw;
        memset(raw.bytes, 0, kBlock);
        put_le32(raw.bytes, next ? next : f->empty_head);
        if (!node_in_file(f, b)) return xdb_report(XD_SEEKERR);
        return tree_write_page(&f->tree, g_changes, b, raw.bytes);
    };
    fp.write_head = [](void* c, uint32_t head) {
        IdxFile* f = (IdxFile*)c;
        return write_word(f, 4, head ? head : f->empty_head);
    };
    fp.append = [](void* c, uint32_t* b) {
        IdxFile* f = (IdxFile*)c;
        if ((uint64_t)f->next_block + kBlock > 0xFFFFFE00ull) return xdb_report(XD_WRITEERR);
        uint32_t size = 0;
        XDSTATUS s = xdb_fsize(f->file.sh, &size);
        if (s) return s;
        // An end of file far beyond the file is a damaged header.
        if ((uint64_t)f->next_block > (uint64_t)size + kBlock) return xdb_report(XD_CORRUPT);
        *b = f->next_block;
        f->next_block += kBlock;
        xdb_fset_size(f->file.sh, f->next_block);
        return compact(f) ? XDSTATUS(XD_OK) : write_word(f, 8, f->next_block);
    };
    fp.stale_head_forgotten = false;
    return fp;
}

XDSTATUS take_block(IdxFile* f, uint32_t* b) { return free_pages_take(free_blocks(f), g_changes, b); }
XDSTATUS free_block(IdxFile* f, uint32_t b) { return free_pages_release(free_blocks(f), g_changes, b); }

// Sets the sibling link of the node at `offset` (`right`: its right link).
XDSTATUS relink(IdxFile* f, uint32_t offset, bool right, uint32_t to) {
    if (offset == kFoxNone) return XD_OK;
    Node raw;
    XDSTATUS s = read_bytes(f, offset, &raw);
    if (s) return s;
    put_le32(raw.bytes + (right ? 8 : 4), to);
    return tree_write_page(&f->tree, g_changes, offset, raw.bytes);
}

XDSTATUS store(IdxFile* f, int level, FoxNode& node);

// The parent's entry for the node at `level` says its greatest key (and record):
// brought in line after the node's last entry changed.
XDSTATUS fix_parent(IdxFile* f, int level, const FoxNode& node) {
    if (level == 0 || node.count == 0) return XD_OK;
    FoxNode parent;
    XDSTATUS s = read_node(f, f->tree.path.page[level - 1], &parent);
    if (s) return s;
    const int i = f->tree.path.index[level - 1];
    if (i < 0 || i >= parent.count) return xdb_report(XD_CORRUPT);
    const uint16_t kl = f->keys.key_length;
    const uint8_t* last = node.key(f->keys, node.count - 1);
    const uint32_t last_record = node.records[(size_t)node.count - 1];
    const uint32_t wanted_record = compact(f) ? last_record : 0;
    if (memcmp(parent.key(f->keys, i), last, kl) == 0 && parent.records[(size_t)i] == wanted_record) return XD_OK;
    memcpy(parent.keys.data() + (size_t)i * kl, last, kl);
    parent.records[(size_t)i] = wanted_record;
    return store(f, level - 1, parent);
}

// How many entries the left part of a split takes: as the FoxPro-family programs
// divide M + 1 entries, M - floor(M / 2) + 1 to the left; for compact leaves half
// their count the same way, moved until both parts fit.
bool split_point(IdxFile* f, const FoxNode& node, int* left) {
    const int n = node.count;
    int want = n - (n - 1) / 2;
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
XDSTATUS store(IdxFile* f, int level, FoxNode& node) {
    const uint32_t offset = f->tree.path.page[level];
    Node scratch;
    XDSTATUS s;
    if (fox_node_encode(f->keys, node, scratch.bytes)) {
        if ((s = tree_write_page(&f->tree, g_changes, offset, scratch.bytes))) return s;
        return fix_parent(f, level, node);
    }
    int l;
    if (!split_point(f, node, &l)) return xdb_fault(XD_CORRUPT, false, "an IDX node cannot be split");
    uint32_t fresh;
    if ((s = take_block(f, &fresh))) return s;
    FoxNode left = node.slice(f->keys, 0, l), right = node.slice(f->keys, l, node.count);
    left.attributes = right.attributes = (uint16_t)(node.attributes & ~1);
    left.left = node.left;
    left.right = offset;
    right.left = fresh;
    right.right = node.right;
    // The old node first: a change of one used node and new ones is written new
    // ones first (see ordered_commit.h).
    if ((s = write_node(f, offset, right)) || (s = write_node(f, fresh, left))) return s;
    if ((s = relink(f, node.left, true, fresh))) return s;
    const uint16_t kl = f->keys.key_length;
    auto greatest = [&](const FoxNode& n, uint32_t* record) {
        *record = compact(f) ? n.records[(size_t)n.count - 1] : 0;
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
        root.insert(f->keys, 0, lk, lr, fresh);
        root.insert(f->keys, 1, rk, rr, offset);
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
    memcpy(parent.keys.data() + (size_t)i * kl, rk, kl);
    parent.records[(size_t)i] = rr;
    parent.insert(f->keys, i, lk, lr, fresh);
    f->tree.path.index[level - 1] = i + 1;  // the path still leads to the old node
    return store(f, level - 1, parent);
}

// Removes the path's leaf entry; an emptied node leaves the tree (its neighbours
// linked past it, its block freed) and so, level by level, does an emptied parent.
// A root left with one child hands over to it; an emptied root becomes a leaf
// without keys, as after creation.
XDSTATUS remove_entry(IdxFile* f) {
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

XDSTATUS insert_entry(IdxFile* f, const uint8_t* key, uint32_t record) {
    const int level = f->tree.path.depth;
    FoxNode leaf;
    XDSTATUS s = read_node(f, f->tree.path.page[level], &leaf);
    if (s) return s;
    int i = f->tree.path.index[level];
    if (i < 0 || i > leaf.count || !leaf.leaf()) return xdb_report(XD_CORRUPT);
    leaf.insert(f->keys, i, key, record, 0);
    return store(f, level, leaf);
}

// ---- The commit's view of IDX nodes ----

TreeShape shape_of(IdxFile* f, uint32_t free_before) {
    TreeShape t{};
    t.context = f;
    t.children = [](void* c, const uint8_t* bytes) {
        IdxFile* f = (IdxFile*)c;
        std::vector<uint32_t> out;
        if (fox_attributes(bytes) & 2 || fox_attributes(bytes) > 3) return out;
        for (int i = 0; i < fox_count(bytes) && 12 + (i + 1) * (f->keys.key_length + 8) <= (int)kBlock; i++)
            out.push_back(fox_child(f->keys, bytes, i));
        return out;
    };
    t.set_child = [](void* c, uint8_t* bytes, size_t i, uint32_t number) {
        IdxFile* f = (IdxFile*)c;
        uint8_t* p = bytes + 12 + i * (f->keys.key_length + (compact(f) ? 8 : 4)) + f->keys.key_length + (compact(f) ? 4 : 0);
        p[0] = (uint8_t)(number >> 24);
        p[1] = (uint8_t)(number >> 16);
        p[2] = (uint8_t)(number >> 8);
        p[3] = (uint8_t)number;
    };
    t.write_block = [](void* c, uint32_t number, const uint8_t* bytes) {
        IdxFile* f = (IdxFile*)c;
        XDSTATUS s = xdb_fwrite_at(f->file.sh, number, bytes, kBlock, 1);
        if (s == XD_OK) page_cache_put(f->file.cache, number, bytes);
        return s;
    };
    t.write_root = [](void* c, uint32_t root) { return write_word((IdxFile*)c, 0, root); };
    t.append_block = [](void*, uint32_t*) { return xdb_report(XD_CORRUPT); };  // never: changes go by the journal
    t.drop_last_blocks = [](void*, uint32_t) { return xdb_report(XD_CORRUPT); };
    t.write_bytes = [](void* c, const FileWrite& w) {
        return xdb_fwrite_at(((IdxFile*)c)->file.sh, w.offset, w.bytes.data(), (uint32_t)w.bytes.size(), 1);
    };
    t.sibling_links = true;
    t.journal_for = f->file.name;
    t.file = f->file.sh;
    t.block_size = kBlock;
    t.offset_of = [](void*, uint32_t number) { return number; };
    t.root_bytes = [](void*, uint32_t root) {
        FileWrite w{0, std::vector<uint8_t>(4)};
        put_le32(w.bytes.data(), root);
        return w;
    };
    t.forget_cached = [](void* c) { page_cache_forget(((IdxFile*)c)->file.cache); };
    if (f->free_head != free_before) {
        FileWrite word{4, std::vector<uint8_t>(4)};
        put_le32(word.bytes.data(), f->free_head ? f->free_head : f->empty_head);
        g_changes.after_switch.push_back(word);
    }
    return t;
}

template <typename Work>
XDSTATUS change(IdxFile* f, Work work) {
    const uint32_t free_before = f->free_head;
    g_changes.begin();
    XDSTATUS s = work();
    if (s >= 0) s = commit_block_changes(g_changes, shape_of(f, free_before));
    g_changes.active = false;  // a failed change writes nothing the tree uses
    f->tree.path.depth = -1;
    if (s < 0) {
        page_cache_forget(f->file.cache);
        f->tree.saved_depth = -1;
    }
    end_operation(f, s);
    return s;
}

XDSTATUS begin_change(int16_t handle, const void* key, IdxFile** f) {
    XDSTATUS s = enter(handle, f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if ((*f)->file.file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if ((*f)->collation[0])
        return xdb_fault(XD_READONLY, true, "the index is ordered by the %s collation sequence, whose keys this engine does not make",
                         (*f)->collation);
    // Another program's change that a stop left half written is finished first.
    if ((*f)->file.shared && (s = index_journal_recover((*f)->file.name, (*f)->file.sh)) < 0) return s;
    return refresh_header(*f);
}

}  // namespace

XDSTATUS idx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    IdxFile* f = nullptr;
    XDSTATUS s = begin_change(handle, key, &f);
    if (s) return s;
    uint8_t k[kMaxTreeKey + 1];
    full_key(f, key, key_size, k);
    bool repeated = false;
    s = change(f, [&] {
        Node at;
        bool no_smaller = false;
        XDSTATUS r = find_entry_of(f, k, recno, &at, &no_smaller);
        if (r < 0) return r;
        if ((repeated = r == XD_OK)) return XD_OK;
        // Record order among equal keys; in a unique index before the first equal key.
        Target t{k, f->keys.key_length, !f->unique, recno};
        r = lower_bound(f, t, &at);
        if (r < 0) return r;
        return insert_entry(f, k, recno);
    });
    if (s >= 0 && repeated) return xdb_report(XD_EXISTS);
    return s < 0 ? xdb_report(s) : xdb_status();
}

XDSTATUS idx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    IdxFile* f = nullptr;
    XDSTATUS s = begin_change(handle, key, &f);
    if (s) return s;
    uint8_t k[kMaxTreeKey + 1];
    full_key(f, key, key_size, k);
    XDSTATUS found = XD_OK;
    s = change(f, [&] {
        Node at;
        bool no_smaller = false;
        found = find_entry_of(f, k, recno, &at, &no_smaller);
        if (found != XD_OK) return found < 0 ? found : XD_OK;
        return remove_entry(f);
    });
    if (s >= 0 && found != XD_OK) s = found;
    return xdb_report(s);
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

uint32_t checked_size(const IdxFile* f) { return (uint32_t)(sizeof(CheckedNode) + kCheckEntries * f->keys.key_length); }

TreeCheckPages check_pages(IdxFile* f) {
    TreeCheckPages t{};
    t.context = f;
    t.page_size = checked_size(f);
    t.first_page = f->first_node / kBlock;
    t.end_page = f->next_block / kBlock;
    t.root = f->root / kBlock;
    t.key_length = f->keys.key_length;
    t.inner_entries = false;
    t.empty_below_root_allowed = false;
    t.page_word = "node at";
    t.named = [](void*, uint32_t p) { return p * kBlock; };
    t.read = [](void* c, uint32_t p, uint8_t* out) -> const char* {
        IdxFile* f = (IdxFile*)c;
        CheckedNode* n = (CheckedNode*)out;
        if (xdb_fread_at(f->file.sh, p * kBlock, n->raw, kBlock) != XD_OK) {
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
        return keys_of((const CheckedNode*)b) + (size_t)i * ((IdxFile*)c)->keys.key_length;
    };
    t.record = [](void*, const uint8_t* b, int i) { return ((const CheckedNode*)b)->records[i]; };
    t.is_leaf = [](void*, const uint8_t* b) { return (fox_attributes(((const CheckedNode*)b)->raw) & 2) != 0; };
    t.children = [](void*, const uint8_t* b) { return (int)((const CheckedNode*)b)->count; };
    t.child = [](void* c, const uint8_t* b, int i) {
        return fox_child(((IdxFile*)c)->keys, ((const CheckedNode*)b)->raw, i) / kBlock;
    };
    t.leaf_entry_has_child = [](void*, const uint8_t*, int) { return false; };
    t.compare = [](void* c, const uint8_t* a, const uint8_t* b) {
        return compare(a, b, ((IdxFile*)c)->keys.key_length);
    };
    t.free_head = f->free_head / kBlock;
    t.next_free = [](void* c, uint32_t p, uint32_t* next) {
        IdxFile* f = (IdxFile*)c;
        uint8_t word[4];
        if (xdb_fread_at(f->file.sh, p * kBlock, word, 4) != XD_OK) {
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
const char* check_links(IdxFile* f, char* fault, size_t cap) {
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
            if (steps > f->next_block / kBlock || !node_in_file(f, at) || read_node(f, at, &m) || m.left != prev) {
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

XDSTATUS idx_check(int16_t handle, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!fault || cap == 0) return xdb_report(XD_NULLPARAM);
    fault[0] = 0;
    if (entries) *entries = 0;
    if ((s = refresh_header(f))) return s;
    uint32_t size = 0;
    if ((s = xdb_fsize(f->file.sh, &size))) return s;
    if (!node_in_file(f, f->root)) {
        snprintf(fault, cap, "header: root %u outside the file's nodes", f->root);
        s = XD_CORRUPT;
    } else if (!compact(f) && f->next_block > size) {
        snprintf(fault, cap, "header: end of file %u beyond the file's %u bytes", f->next_block, size);
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
// numbers and dates in their 8-byte forms, logicals T or F. The value's type is the
// index's key type from then on.
XDSTATUS key_from_value(IdxFile* f, const XdbKeyValue& v, uint8_t* key) {
    const uint16_t kl = f->keys.key_length;
    char type = v.type == 'F' ? 'N' : (char)v.type;
    if (type != 'C' && type != 'N' && type != 'D' && type != 'L') return xdb_report(XD_BADKEYEXPR);
    if (f->collation[0])
        return xdb_fault(XD_READONLY, true, "the index is ordered by the %s collation sequence, whose keys this engine does not make",
                         f->collation);
    if ((type == 'C') != (f->key_type == 'C') || (type != 'C' && type != f->key_type)) {
        f->key_type = type;
        f->keys.pad = type == 'C' ? ' ' : 0;
        page_cache_forget(f->file.cache);
        f->tree.saved_depth = -1;
    }
    memset(key, f->keys.pad, kl);
    if (type == 'C') {
        memcpy(key, v.value, v.length < kl ? v.length : kl);
        return XD_OK;
    }
    if (type == 'L') {
        key[0] = *(const uint8_t*)v.value ? 'T' : 'F';
        return XD_OK;
    }
    if (kl != 8) return xdb_report(XD_BADKEYEXPR);
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

XDSTATUS evaluate_key(IdxFile* f, int16_t data_handle, uint8_t* key) {
    char expr[256];
    snprintf(expr, sizeof expr, "%s", f->expression);
    XdbKeyValue v{};
    XDSTATUS s = xdb_eval_key(data_handle, expr, 0, &v);
    if (s < 0) return s;
    return key_from_value(f, v, key);
}

XDSTATUS evaluate_condition(const IdxFile* f, int16_t data_handle, bool* included) {
    *included = true;
    if (!f->condition[0]) return XD_OK;
    char why[160];
    XDSTATUS s = xdb_eval_condition(data_handle, f->condition, included, why, sizeof why);
    if (s < 0) xdb_fault(s, true, "the FOR condition %s of the index: %s", f->condition, why);
    return s;
}

}  // namespace

XDSTATUS idx_key_from_record(int16_t handle, int16_t data_handle, void* key) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    if ((s = evaluate_key(f, data_handle, (uint8_t*)key)) < 0) return s;
    ((uint8_t*)key)[f->keys.key_length] = 0;
    return xdb_status();
}

XDSTATUS idx_record_included(int16_t handle, int16_t data_handle, bool* included) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
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
    IdxFile* f;
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

    FoxBuilder(IdxFile* file, uint32_t largest_record)
        : f(file), writer(build_writer_new(file->file.sh, kBlock, file->first_node / kBlock, 256)),
          leaf_entry_bytes(fox_leaf_entry_bytes(file->keys, largest_record)) {
        levels.push_back(Level{FoxNode(), f->root, 0, false});
        levels[0].node.attributes = 2;
        if (!writer) status = xdb_report(XD_MEMERR);
    }
    ~FoxBuilder() {
        if (writer) build_writer_finish(writer);
    }
    bool full(const Level& l, const uint8_t* key, size_t level) const {
        if (level > 0 || !compact(f)) return l.node.count >= fox_interior_capacity(f->keys);
        const uint8_t* prev = l.node.count ? l.node.key(f->keys, l.node.count - 1) : nullptr;
        return l.used + leaf_entry_bytes + fox_leaf_stored_bytes(f->keys, prev, key) > kFoxLeafRoom;
    }
    XDSTATUS put(const FoxNode& node, uint32_t offset) {
        Node raw;
        if (!fox_node_encode(f->keys, node, raw.bytes)) return xdb_fault(XD_CORRUPT, false, "a built IDX node overflowed");
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
        if (full(levels[level], key, level)) {
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
        }
        Level& l = levels[level];
        if (level == 0 && compact(f)) {
            const uint8_t* prev = l.node.count ? l.node.key(f->keys, l.node.count - 1) : nullptr;
            l.used += leaf_entry_bytes + fox_leaf_stored_bytes(f->keys, prev, key);
        }
        l.node.insert(f->keys, l.node.count, key, level > 0 && !compact(f) ? 0 : record, child);
    }
    uint32_t next_block() {
        uint32_t b = f->next_block;
        f->next_block += kBlock;
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
        xdb_fset_size(f->file.sh, f->next_block);
        uint8_t head[12];
        put_le32(head, f->root);
        put_le32(head + 4, f->empty_head);
        put_le32(head + 8, compact(f) ? 0 : f->next_block);
        return xdb_fwrite_at(f->file.sh, 0, head, 12, 1);
    }
};

// What a rebuild keeps of the file it replaces: its layout, order, uniqueness and
// condition, which the request does not carry.
struct Kept {
    bool exists = false;
    uint16_t type_word = IDX_COMPACT;
    char condition[224] = {0};
};

Kept kept_from(const char* name) {
    Kept k;
    int16_t h = -1;
    XDSTATUS before = xdb_status();
    if (xdb_fexists(name) && idx_open(&h, name, XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND) >= 0) {
        IdxInfo info;
        if (idx_info(h, &info) == XD_OK) {
            k.exists = true;
            k.type_word = (uint16_t)(info.flags & (IDX_UNIQUE | IDX_DESCENDING | IDX_COMPACT));
            snprintf(k.condition, sizeof k.condition, "%s", info.condition);
        }
        idx_close(h);
    }
    xdb_set_status(before);
    return k;
}

struct RebuildRequest {
    int16_t data;
    uint8_t key_type;
    const char* expression;
    uint16_t key_length;
    Kept kept;
};

XDSTATUS build_index(const RebuildRequest& q, const char* name) {
    const char letter = (char)toupper(q.key_type & 0x7F);
    const uint16_t type_word = (uint16_t)(letter | q.kept.type_word | (q.key_type & 0x80 ? IDX_UNIQUE : 0));
    XDSTATUS s = create_file(name, type_word, q.expression, q.key_length, q.kept.condition);
    if (s) return s;
    int16_t h;
    if ((s = idx_open(&h, name, 0)) < 0) return s;
    IdxFile* f = nullptr;
    enter(h, &f);
    if ((s = idx_set_key_type(h, letter)) < 0) return close_built_index(h, idx_close, name, s);
    uint32_t count = 0;
    s = dbf_record_count(q.data, &count);
    const RecordKeySource src = s < 0 ? RecordKeySource{} : record_key_source(q.data, f->expression);
    KeySorter* sorter = s < 0 ? nullptr : key_sort_new(f->keys.key_length, false, count);
    if (s >= 0 && !sorter) s = xdb_report(XD_MEMERR);
    if (sorter) key_sort_set_unique(sorter, f->unique);
    FoxBuilder builder(f, count);
    struct Keys {
        IdxFile* f;
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
            return evaluate_key(k->f, data, key);
        }
    } keys{f, src};
    if (s >= 0) s = sort_record_keys(q.data, count, sorter, Keys::of, &keys);
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
    return close_built_index(h, idx_close, name, s);
}

}  // namespace

XDSTATUS idx_rebuild(int16_t data, const char* name, uint8_t key_type, const char* expression, uint16_t key_length,
                     uint16_t) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name || !expression) return xdb_report(XD_NULLPARAM);
    RebuildRequest r{data, key_type, expression, key_length, kept_from(name)};
    auto build = [](void* context, const char* temporary) {
        return build_index(*(const RebuildRequest*)context, temporary);
    };
    return rebuild_beside(name, ".IDX", build, &r);
}

// ---- The format's table for the uniform layer ----

namespace {

// New files take the compact layout, which FoxPro 2 and Visual FoxPro write by
// choice; a rebuild keeps the layout of the file it replaces.
XDSTATUS create_request(const IndexCreateRequest* r) {
    uint16_t type_word = (uint16_t)((uint8_t)r->key_type | (r->unique ? IDX_UNIQUE : 0) | IDX_COMPACT);
    return idx_create(r->file_name, type_word, r->expression, r->key_length);
}

XDSTATUS describe(int16_t handle, IndexDescription* out) {
    IdxInfo info;
    XDSTATUS s = idx_info(handle, &info);
    if (s < 0) return s;
    out->key_type = info.key_type;
    out->key_length = (int16_t)(info.key_length + (info.key_type == 'C' ? 1 : 0));
    out->flags = (int16_t)info.flags;
    out->decimals = 0;
    out->key_expression = info.expression;
    out->for_expression = info.condition;
    index_describe_name(out, info.file_name);
    return XD_OK;
}

int compare_keys(int16_t, bool, const void* left, const void* right, uint16_t length) {
    return memcmp(left, right, length);
}

XDSTATUS number_key(int16_t, double value, uint16_t, uint8_t* key) {
    idx_number_key(value, key);
    return XD_OK;
}

}  // namespace

const IndexFormat kIdxFormat = {
    ".idx",       false,          create_request,      idx_open,            idx_close,    describe,
    idx_first,    idx_last,       idx_next,            idx_previous,        idx_resync,   idx_seek,
    idx_add_key,  idx_delete_key, idx_key_from_record, idx_record_included, compare_keys, idx_rebuild,
    idx_check,    number_key,     idx_date_key,
    [](const uint8_t* key, uint16_t) { return idx_key_number(key); },
    idx_key_date, [](int16_t) { return 0xFF; },
    nullptr,      nullptr,        nullptr,             idx_set_key_type,
};
