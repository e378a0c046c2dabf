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
//     compact: 494 the name of the collation sequence (8 bytes; empty or MACHINE:
//         byte order), 502 u16 order (1 descending), 504 u16 expression length + 1,
//         506 u16 FOR length + 1, 510 u16 expression length + 1; block 1 holds the
//         key expression, then the FOR condition (as the files of FoxPro hold them)
//   nodes: see fox_node.h. The first node of a new standard file is block 1, of a
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
#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/idx/fox_tree.h"
#include "engine/index/index_format.h"
#include "engine/index/page_cache.h"
#include "engine/index/rebuild.h"

namespace {

const uint32_t kBlock = kFoxNode;

// An open IDX file: its one tree and the file.
struct IdxFile {
    FoxTree tree;
    FoxFile fox;
};
static_assert(sizeof(IdxFile) <= 4096, "an IDX handle's block fits the engine's control block");

XDSTATUS enter(int16_t handle, IdxFile** f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_IDX, &block))) return s;
    *f = (IdxFile*)block;
    return XD_OK;
}

// Reads and checks the header of a file of `size` bytes.
XDSTATUS read_header(IdxFile* f, uint32_t size) {
    uint8_t head[1024] = {0};
    XDSTATUS s = xdb_fread_at(f->fox.file.sh, 0, head, size < 1024 ? (size < 512 ? 16 : 512) : 1024);
    if (s) return s;
    FoxTree* t = &f->tree;
    t->header = 0;
    t->split_right = false;
    if ((s = fox_parse_header(t, head, size < 1024 ? 512 : 1024, 100, "IDX header"))) return s;
    const uint32_t free_word = get_le32(head + 4), end = get_le32(head + 8);
    FoxFile* x = &f->fox;
    x->free_head = free_word == kFoxNone ? 0 : free_word;
    x->end_in_header = !t->keys.compact;
    x->first_node = t->keys.compact ? 2 * kBlock : kBlock;
    x->empty_head = t->keys.compact ? 0 : kFoxNone;
    x->one_tree = true;
    x->next_block = !x->end_in_header || end == 0 ? (size & ~(kBlock - 1)) : end;
    if (!fox_node_in_file(x, t->root))
        return xdb_fault(XD_BADROOT, true, "the IDX root %u is outside the file's nodes (%u..%u)", t->root, x->first_node,
                         x->next_block);
    return XD_OK;
}

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
        if (!fox_compact_header(h, 2 * kBlock, kl, (uint8_t)(h[14] | 0x20), type_word & IDX_DESCENDING, expr.c_str(),
                                condition))
            return xdb_report(XD_BADKEYEXPR);
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
    void* block;
    if ((s = xdb_alloc_slot(XDB_KIND_IDX, &h, &block))) return s;
    xdb_register_closer(XDB_KIND_IDX, idx_close);
    IdxFile* f = (IdxFile*)block;
    uint32_t size = 0;
    if ((s = fox_file_open(&f->fox, name, xdb_expand_open_mode(open_mode), &size))) {
        xdb_release_slot(h);
        return s;
    }
    s = read_header(f, size);
    if (s == XD_OK) s = fox_tree_init(&f->tree, &f->fox);
    if (s != XD_OK) {
        xdb_report(s);
        fox_tree_free(&f->tree);
        fox_file_close(&f->fox);
        xdb_set_status(s);
        xdb_release_slot(h);
        return s;
    }
    fox_guess_pad(&f->tree);
    fox_tree_opened(&f->tree);
    *handle = h;
    if (f->fox.end_in_header && f->fox.next_block != size) xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

XDSTATUS idx_close(int16_t handle) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    fox_tree_free(&f->tree);
    s = fox_file_close(&f->fox);
    xdb_release_slot(handle);
    return s ? s : xdb_status();
}

XDSTATUS idx_info(int16_t handle, IdxInfo* info) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    const FoxTree* t = &f->tree;
    info->key_length = t->keys.key_length;
    info->key_type = t->key_type == 'C' || t->key_type == 'D' || t->key_type == 'L' || t->key_type == 'N' ? (char)t->key_type : 'N';
    info->flags = (uint16_t)((t->unique ? 0x80 : 0) | (t->descending ? 0x100 : 0) | (t->keys.compact ? 0x400 : 0));
    snprintf(info->expression, sizeof info->expression, "%s", t->expression);
    snprintf(info->condition, sizeof info->condition, "%s", t->condition);
    snprintf(info->collation, sizeof info->collation, "%s", t->collation);
    info->root = t->root;
    info->free_head = f->fox.free_head;
    info->next_block = f->fox.next_block;
    info->file_name = f->fox.file.name;
    return xdb_status();
}

XDSTATUS idx_set_key_type(int16_t handle, char letter) {
    IdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    letter = (char)toupper((unsigned char)letter);
    if (letter != 'C' && letter != 'D' && letter != 'L' && letter != 'N') return xdb_report(XD_BADKEYTYPE);
    return fox_set_key_type(&f->tree, letter);
}

// ---- Keys, positioning, changes, check: the tree's ----

#define IDX_TREE(handle, f)            \
    IdxFile* f = nullptr;              \
    if (XDSTATUS e = enter(handle, &f)) return e

XDSTATUS idx_first(int16_t handle, void* key, uint32_t* recno) {
    IDX_TREE(handle, f);
    return fox_first(&f->tree, key, recno, false);
}
XDSTATUS idx_last(int16_t handle, void* key, uint32_t* recno) {
    IDX_TREE(handle, f);
    return fox_first(&f->tree, key, recno, true);
}
XDSTATUS idx_next(int16_t handle, void* key, uint32_t* recno) {
    IDX_TREE(handle, f);
    return fox_step(&f->tree, key, recno, true);
}
XDSTATUS idx_previous(int16_t handle, void* key, uint32_t* recno) {
    IDX_TREE(handle, f);
    return fox_step(&f->tree, key, recno, false);
}
XDSTATUS idx_resync(int16_t handle, void* key, uint32_t* recno) {
    IDX_TREE(handle, f);
    return fox_resync(&f->tree, key, recno);
}
XDSTATUS idx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    IDX_TREE(handle, f);
    return fox_seek(&f->tree, key, key_size, recno, mode);
}
XDSTATUS idx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    IDX_TREE(handle, f);
    return fox_add(&f->tree, key, key_size, recno);
}
XDSTATUS idx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno) {
    IDX_TREE(handle, f);
    return fox_delete(&f->tree, key, key_size, recno);
}
XDSTATUS idx_key_from_record(int16_t handle, int16_t data_handle, void* key) {
    IDX_TREE(handle, f);
    return fox_key_from_record(&f->tree, data_handle, (uint8_t*)key);
}
XDSTATUS idx_record_included(int16_t handle, int16_t data_handle, bool* included) {
    IDX_TREE(handle, f);
    return fox_record_included(&f->tree, data_handle, included);
}
XDSTATUS idx_check(int16_t handle, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    IDX_TREE(handle, f);
    return fox_check(&f->tree, entries, fault, cap, entry, context);
}

// ---- The rebuild ----

namespace {

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
    if ((s = idx_set_key_type(h, letter)) >= 0) s = fox_build(&f->tree, q.data);
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
    index_describe(out, info.key_type, info.key_length, info.flags, 0, info.expression, info.condition, nullptr,
                   info.file_name);
    return XD_OK;
}

// Byte order, turned round in a descending index (its walk's order).
int compare_keys(int16_t handle, bool, const void* left, const void* right, uint16_t length) {
    IdxFile* f = nullptr;
    const XDSTATUS pending = xdb_get_status();
    const bool ok = enter(handle, &f) == XD_OK;
    xdb_set_status(pending);
    return ok ? fox_compare(&f->tree, left, right, length) : memcmp(left, right, length);
}

// A descending index's walk ends with its lowest bytes.
int last_byte(int16_t handle) {
    IdxFile* f = nullptr;
    const XDSTATUS pending = xdb_get_status();
    const bool descending = enter(handle, &f) == XD_OK && f->tree.descending;
    xdb_set_status(pending);
    return descending ? 0x00 : 0xFF;
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
    idx_key_date, last_byte,
    nullptr,      nullptr,        nullptr,             idx_set_key_type,
    nullptr,      nullptr,        nullptr,
    [](int16_t h, int16_t data) {
        IdxFile* f;
        XDSTATUS s = enter(h, &f);
        if (s == XD_OK) index_file_hold(&f->fox.file, data);
        return s;
    },
};
