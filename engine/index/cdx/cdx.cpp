// CDX compound index files (FoxPro 2, Visual FoxPro).
//
// The file is a sequence of 512-byte blocks; offsets are byte offsets. Every tree
// of the file (the tag directory and each tag) has a two-block header laid out as
// a compact IDX header (see fox_tree.h): root at 0, key length at 12, options at
// 14 (0x01 unique, 0x04 candidate, 0x08 FOR condition, 0x20 compact, 0x40
// compound, 0x80 the directory), order at 502, expression lengths at 504..510, the
// key expression and the FOR condition from 512.
//   0     the directory's header: its word at 4 is the head of the file's free list
//         (0 or -1: empty); its keys are the tag names (10 bytes, upper case, blank
//         padded), each with its tag header's offset as record number
//   1024  the directory's root in a new file (1536 bytes in all)
// Tag headers and nodes lie anywhere after; free blocks hold the next free block's
// offset in their first 4 bytes. Nodes: see fox_node.h. A full node splits into
// itself (the lower keys) and a new right neighbour.
//
// An empty tag is made (or replaced) in one change: its header at the end of the
// file, its root from the free list, its name in the directory, the old tag's
// blocks freed. A tag filled from a table is written first in blocks no tree uses
// and switched in by the directory's one change: a stop before that leaves the file
// as it was, with unused blocks at most. A tag's removal takes its name out and
// puts its blocks on the free list in one change.

#include "engine/index/cdx/cdx.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/change_journal.h"
#include "engine/index/idx/fox_tree.h"
#include "engine/index/idx/idx.h"
#include "engine/index/index_format.h"
#include "engine/index/page_cache.h"
#include "engine/index/rebuild.h"

namespace {

const uint32_t kBlock = kFoxNode;
const int kSlots = 20;  // the directory and 19 open tags
const size_t kTagName = 10;

// A directory as listed last (see list_tags).
const int kListedTags = 64;
struct ListedTag {
    char name[kTagName + 1];
    uint32_t header;
};

struct CdxFile {
    FoxFile fox;
    FoxTree* trees[kSlots];  // 0 the directory; 1..19 open tags
    int16_t tags[kSlots];    // the engine handles of the open tags
    int16_t self;
    // The directory's tags as listed last, and the root leaf they came from
    // (listed_root 0: nothing kept).
    uint32_t listed_root;
    uint8_t listed_page[kBlock];
    int listed_count;
    ListedTag listed[kListedTags];
};
static_assert(sizeof(CdxFile) <= 4096, "a CDX handle's block fits the engine's control block");

// An open tag's engine handle: its file and slot.
struct TagSlot {
    int16_t file;
    int16_t slot;
};

XDSTATUS enter(int16_t handle, CdxFile** f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_CDX, &block))) return s;
    *f = (CdxFile*)block;
    return XD_OK;
}

XDSTATUS enter_tag(int32_t tag, CdxFile** f, FoxTree** t, int16_t* slot = nullptr) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if (tag < 0 || tag > 0x7FFF || xdb_select((int16_t)tag, XDB_KIND_INDEX_TAG, &block) != XD_OK)
        return xdb_report(XD_BADTAGID);
    const TagSlot ts = *(const TagSlot*)block;
    if ((s = enter(ts.file, f))) return xdb_report(XD_BADTAGID);
    if (ts.slot < 1 || ts.slot >= kSlots || !(*f)->trees[ts.slot]) return xdb_report(XD_BADTAGID);
    *t = (*f)->trees[ts.slot];
    if (slot) *slot = ts.slot;
    return XD_OK;
}

// A tag name as the directory holds it: upper case, blank padded to 10.
std::string directory_key(const char* name) {
    std::string k;
    for (const char* p = name; *p && k.size() < kTagName; p++) k += (char)toupper((unsigned char)*p);
    k.resize(kTagName, ' ');
    return k;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == 0)) s.pop_back();
    return s;
}

void free_tree(FoxTree* t) {
    if (!t) return;
    fox_tree_free(t);
    xdb_free(t);
}

// The tree whose header is at `offset`: the directory's, or a tag's.
XDSTATUS load_tree(CdxFile* f, uint32_t offset, bool directory, FoxTree** out) {
    *out = nullptr;
    uint8_t head[1024];
    if (offset % kBlock || (uint64_t)offset + 1024 > f->fox.next_block)
        return xdb_fault(XD_CORRUPT, true, "a CDX tag header at %u outside the file", offset);
    XDSTATUS s = xdb_fread_at(f->fox.file.sh, offset, head, 1024);
    if (s) return s;
    FoxTree* t = nullptr;
    if ((s = xdb_alloc((void**)&t, sizeof(FoxTree)))) return s;
    t->header = offset;
    t->split_right = true;
    t->unique_refuses = true;
    s = fox_parse_header(t, head, 1024, 240, directory ? "CDX directory" : "CDX tag header", directory);
    if (s == XD_OK && !fox_node_in_file(&f->fox, t->root))
        s = xdb_fault(XD_BADROOT, true, "the CDX %s root %u is outside the file", directory ? "directory's" : "tag's", t->root);
    if (s == XD_OK && directory && t->keys.key_length != kTagName)
        s = xdb_fault(XD_BADKEYSIZE, true, "the CDX directory's keys are %u bytes, not 10", t->keys.key_length);
    if (s == XD_OK) s = fox_tree_init(t, &f->fox);
    if (s != XD_OK) {
        free_tree(t);
        return s;
    }
    if (directory) {
        t->collation[0] = 0;
        t->keys.pad = ' ';
    } else {
        fox_guess_pad(t);
    }
    fox_tree_opened(t);
    *out = t;
    return XD_OK;
}

struct TagEntry {
    std::string name;
    uint32_t header;
};

// The directory's entries, in name order. A table's every write asks for them,
// and a walk of the directory reads a shared file again at every step: the list is
// kept with the directory's root it came from, and stands while that root is a
// leaf whose bytes are unchanged (one read, where a walk takes one per tag).
const uint32_t kNearRoot = 4096;

XDSTATUS list_tags(CdxFile* f, std::vector<TagEntry>* out) {
    out->clear();
    FoxTree* dir = f->trees[0];
    uint8_t page[kBlock];
    // The listing kept stands when the directory's root is the same leaf with the
    // same bytes: its word at the file's start and the leaf are read (a read past
    // the file's end fails), or taken from a cache trusted now, which holds them
    // as the file has them (this handle's own changes included).
    if (f->listed_root) {
        const bool trusted = tree_begin_operation(&dir->tree);
        const uint8_t* cached = trusted ? page_cache_get(f->fox.file.cache, f->listed_root) : nullptr;
        bool same_root = trusted && dir->root == f->listed_root;
        if (cached) {
            memcpy(page, cached, kBlock);
        } else if (!trusted && f->listed_root < kNearRoot) {
            // The root leaf close after the header (where the FoxPro-family
            // programs put it): the word and the leaf in one read.
            uint8_t head[kNearRoot + kBlock];
            same_root = index_file_read_raw_bytes(&f->fox.file, 0, head, f->listed_root + kBlock) &&
                        get_le32(head) == f->listed_root;
            memcpy(page, head + f->listed_root, kBlock);
            cached = page;
        } else if (!trusted) {
            uint8_t word[4];
            same_root = index_file_read_raw_bytes(&f->fox.file, 0, word, 4) && get_le32(word) == f->listed_root;
        }
        const bool same = same_root && (cached || index_file_read_raw(&f->fox.file, f->listed_root, page)) &&
                          memcmp(page, f->listed_page, kBlock) == 0;
        tree_end_operation(&dir->tree, XD_OK, false);
        if (same) {
            for (int i = 0; i < f->listed_count; i++) out->push_back(TagEntry{f->listed[i].name, f->listed[i].header});
            return XD_OK;
        }
    }
    XDSTATUS s = fox_refresh(dir);
    fox_end(dir, s);
    if (s) return s;
    const uint32_t root = dir->root;
    const bool leaf_root = fox_node_in_file(&f->fox, root) && index_file_read_raw(&f->fox.file, root, page) &&
                           (fox_attributes(page) & 2);
    f->listed_root = 0;
    uint8_t key[kMaxTreeKey + 1] = {0};
    uint32_t recno = 0;
    s = fox_first(dir, key, &recno, false);
    for (uint32_t guard = 0; s == XD_OK && guard < 65536; guard++) {
        out->push_back(TagEntry{trimmed(std::string((const char*)key, kTagName)), recno});
        s = fox_step(dir, key, &recno, true);
    }
    if (s != XD_EMPTYFILE && s != XD_NOMOREKEYS) return s;
    xdb_set_status(XD_OK);
    // Kept when read from that root leaf: a change of the directory since the read
    // of the leaf above makes the next call list it again.
    if (leaf_root && dir->root == root && out->size() <= (size_t)kListedTags) {
        f->listed_count = (int)out->size();
        for (int i = 0; i < f->listed_count; i++) {
            snprintf(f->listed[i].name, sizeof f->listed[i].name, "%s", (*out)[(size_t)i].name.c_str());
            f->listed[i].header = (*out)[(size_t)i].header;
        }
        memcpy(f->listed_page, page, kBlock);
        f->listed_root = root;
    }
    return XD_OK;
}

// The tag named exactly `name` (upper-cased): its header, or 0.
XDSTATUS find_exact(CdxFile* f, const char* name, uint32_t* header) {
    *header = 0;
    std::vector<TagEntry> tags;
    XDSTATUS s = list_tags(f, &tags);
    if (s < 0) return s;
    const std::string wanted = trimmed(directory_key(name));
    for (const TagEntry& t : tags)
        if (t.name == wanted) *header = t.header;
    return XD_OK;
}

XDSTATUS close_tag_handle(int16_t handle) { return cdx_tag_close(handle); }

// A new tag handle of slot `slot` of the file.
XDSTATUS give_handle(CdxFile* f, int slot, int32_t* tag) {
    int16_t h;
    void* block;
    XDSTATUS s = xdb_alloc_slot(XDB_KIND_INDEX_TAG, &h, &block);
    if (s) return s;
    xdb_register_closer(XDB_KIND_INDEX_TAG, close_tag_handle);
    *(TagSlot*)block = TagSlot{f->self, (int16_t)slot};
    f->tags[slot] = h;
    *tag = h;
    return XD_OK;
}

// The file's shared state read again, and a change another program left half
// written finished, before a change of the directory.
XDSTATUS begin_directory_change(CdxFile* f) {
    if (f->fox.file.file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    XDSTATUS s;
    if ((s = fox_update_lock(&f->fox))) return s;
    if (f->fox.file.shared && (s = index_journal_recover(f->fox.file.name, f->fox.file.sh, f->fox.file.journal)) < 0)
        return s;
    return fox_refresh(f->trees[0]);
}

struct BlockList {
    std::vector<uint32_t> blocks;
    static void add(void* context, uint32_t block) { ((BlockList*)context)->blocks.push_back(block); }
};

// Inside a change: the tag whose header is at `header` leaves the directory (its
// entry `key`) and its blocks go to the free list.
XDSTATUS drop_tag_in_change(CdxFile* f, const std::string& key, uint32_t header) {
    FoxTree* old = nullptr;
    XDSTATUS s = load_tree(f, header, false, &old);
    BlockList list;
    if (s == XD_OK) s = fox_tree_blocks(old, old->root, 0, BlockList::add, &list);
    free_tree(old);
    if (s) return s;
    FoxTree* dir = f->trees[0];
    if ((s = fox_delete_in_change(dir, (const uint8_t*)key.data(), header))) return s < 0 ? s : xdb_report(XD_CORRUPT);
    list.blocks.push_back(header);
    list.blocks.push_back(header + kBlock);
    for (uint32_t b : list.blocks)
        if ((s = fox_free_block(dir, b))) return s;
    return XD_OK;
}

}  // namespace

XDSTATUS cdx_create_file(const char* name) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    if (!name[0]) return xdb_report(XD_BADFILENAME);
    std::vector<uint8_t> bytes(3 * kBlock, 0);
    fox_compact_header(bytes.data(), 2 * kBlock, (uint16_t)kTagName, 0xE0, false, "", "");
    FoxNode root;
    root.attributes = 3;
    fox_node_encode(FoxKeys{true, (uint16_t)kTagName, ' '}, root, bytes.data() + 2 * kBlock);
    uint16_t sh;
    if ((s = xdb_fcreate(&sh, name))) return s;
    s = xdb_fwrite_at(sh, 0, bytes.data(), (uint32_t)bytes.size(), 1);
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

XDSTATUS cdx_open(int16_t* handle, const char* name, uint16_t open_mode) {
    xdb_clear_fault();
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    *handle = -1;
    const uint8_t dialect = (uint8_t)(open_mode & 0xFF);
    if (dialect != 0 && dialect != 3 && dialect != 4 && dialect != 8 && dialect != 10) return xdb_report(XD_BADVERSION);
    int16_t h;
    void* block;
    if ((s = xdb_alloc_slot(XDB_KIND_CDX, &h, &block))) return s;
    xdb_register_closer(XDB_KIND_CDX, cdx_close);
    CdxFile* f = (CdxFile*)block;
    f->self = h;
    uint32_t size = 0;
    if ((s = fox_file_open(&f->fox, name, xdb_expand_open_mode(open_mode), &size))) {
        xdb_release_slot(h);
        return s;
    }
    FoxFile* x = &f->fox;
    x->end_in_header = false;
    x->first_node = kBlock;
    x->empty_head = 0;
    x->one_tree = false;
    // Updates of a shared file take turns by this byte, as the FoxPro-family
    // engines lock it.
    x->update_lock = 0x7FFFFFFE;
    x->next_block = size & ~(kBlock - 1);
    uint8_t word[4] = {0};
    if (size < 1024) s = xdb_fault(XD_CORRUPT, true, "a CDX file of %u bytes holds no directory", size);
    else s = xdb_fread_at(x->file.sh, 4, word, 4);
    const uint32_t free_word = get_le32(word);
    x->free_head = free_word == kFoxNone ? 0 : free_word;
    if (s == XD_OK) s = load_tree(f, 0, true, &f->trees[0]);
    if (s != XD_OK) {
        xdb_report(s);
        fox_file_close(x);
        xdb_set_status(s);
        xdb_release_slot(h);
        return s;
    }
    *handle = h;
    if (size % kBlock) xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

XDSTATUS cdx_close(int16_t handle) {
    CdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    for (int slot = kSlots - 1; slot >= 0; slot--) {
        if (!f->trees[slot]) continue;
        free_tree(f->trees[slot]);
        f->trees[slot] = nullptr;
        if (slot > 0) xdb_release_slot(f->tags[slot]);
    }
    s = fox_file_close(&f->fox);
    xdb_release_slot(handle);
    return s ? s : xdb_status();
}

XDSTATUS cdx_tag_list(int16_t handle, int16_t* count, uint64_t* stamp) {
    CdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!count) return xdb_report(XD_NULLPARAM);
    std::vector<TagEntry> tags;
    if ((s = list_tags(f, &tags)) < 0) return s;
    *count = (int16_t)tags.size();
    if (stamp) {
        uint64_t h = kXdbDigestStart;
        for (const TagEntry& t : tags) {
            h = xdb_digest(h, t.name.c_str(), t.name.size() + 1);
            h = xdb_digest(h, &t.header, sizeof t.header);
        }
        *stamp = h;
    }
    return xdb_status();
}

XDSTATUS cdx_tag_count(int16_t handle, int16_t* count) { return cdx_tag_list(handle, count, nullptr); }

XDSTATUS cdx_tag_open(int16_t handle, const char* name, int16_t number, int32_t* tag) {
    CdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!tag) return xdb_report(XD_NULLPARAM);
    *tag = -1;
    uint32_t header = 0;
    std::string found;
    if (name) {
        if (!index_valid_tag_name(name)) return xdb_report(XD_BADTAGNAME);
        // A name compares over its own length: one that begins a longer tag's name
        // opens that tag when no tag has the name itself.
        std::string key = directory_key(name);
        const uint16_t length = (uint16_t)strlen(name);
        uint8_t k[kMaxTreeKey + 1] = {0};
        memcpy(k, key.data(), kTagName);
        uint32_t recno = 0;
        s = fox_seek(f->trees[0], k, length, &recno, 0);
        if (s < 0) return s;
        if (s != XD_OK) {
            xdb_set_status(XD_OK);
            return xdb_fault(XD_BADTAGNAME, true, "no tag %s in %s", name, f->fox.file.name);
        }
        found = trimmed(std::string((const char*)k, kTagName));
        header = recno;
        for (int slot = 1; slot < kSlots; slot++)
            if (f->trees[slot] && found == f->trees[slot]->name) return xdb_report(XD_TAGINUSE);
    } else {
        std::vector<TagEntry> tags;
        if ((s = list_tags(f, &tags)) < 0) return s;
        if (number < 0 || (size_t)number >= tags.size()) return xdb_report(XD_BADTAGCOUNT);
        found = tags[(size_t)number].name;
        header = tags[(size_t)number].header;
    }
    int slot = 1;
    while (slot < kSlots && f->trees[slot]) slot++;
    if (slot == kSlots) return xdb_report(XD_BADTAGTABLEMAX);
    FoxTree* t = nullptr;
    if ((s = load_tree(f, header, false, &t))) return s;
    snprintf(t->name, sizeof t->name, "%s", found.c_str());
    f->trees[slot] = t;
    if ((s = give_handle(f, slot, tag))) {
        f->trees[slot] = nullptr;
        free_tree(t);
        return s;
    }
    return xdb_status();
}

XDSTATUS cdx_tag_close(int32_t tag) {
    CdxFile* f = nullptr;
    FoxTree* t = nullptr;
    int16_t slot = 0;
    XDSTATUS s = enter_tag(tag, &f, &t, &slot);
    if (s) return s;
    free_tree(t);
    f->trees[slot] = nullptr;
    xdb_release_slot((int16_t)tag);
    return xdb_status();
}

XDSTATUS cdx_tag_info(int32_t tag, CdxTagInfo* info) {
    CdxFile* f = nullptr;
    FoxTree* t = nullptr;
    XDSTATUS s = enter_tag(tag, &f, &t);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    xdb_copy_text(info->name, sizeof info->name, t->name);
    info->key_length = t->keys.key_length;
    info->key_type = t->key_type;
    info->flags = (uint16_t)((t->unique ? 0x80 : 0) | (t->keys.compact ? 0x400 : 0) | (t->descending ? 0x100 : 0));
    xdb_copy_text(info->expression, sizeof info->expression, t->expression);
    xdb_copy_text(info->condition, sizeof info->condition, t->condition);
    xdb_copy_text(info->collation, sizeof info->collation, t->collation);
    info->header = t->header;
    info->root = t->root;
    info->file_name = f->fox.file.name;
    return xdb_status();
}

XDSTATUS cdx_set_key_type(int32_t tag, int key_type) {
    CdxFile* f = nullptr;
    FoxTree* t = nullptr;
    XDSTATUS s = enter_tag(tag, &f, &t);
    if (s) return s;
    return fox_set_key_type(t, key_type);
}

namespace {
XDSTATUS create_tag(CdxFile* f, const CdxTagRequest* r, int16_t data);
XDSTATUS remove_tag(CdxFile* f, const char* name);
}  // namespace

// Both under the shared file's update lock, let go at their end.
XDSTATUS cdx_create_tag(int16_t handle, const CdxTagRequest* r, int16_t data) {
    CdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    s = create_tag(f, r, data);
    fox_update_unlock(&f->fox);
    return s;
}

XDSTATUS cdx_remove_tag(int16_t handle, const char* name) {
    CdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    s = remove_tag(f, name);
    fox_update_unlock(&f->fox);
    return s;
}

namespace {

XDSTATUS create_tag(CdxFile* f, const CdxTagRequest* r, int16_t data) {
    XDSTATUS s;
    if (!r || !r->name || !r->expression) return xdb_report(XD_NULLPARAM);
    if (!index_valid_tag_name(r->name)) return xdb_report(XD_BADTAGNAME);
    char expr[224];
    index_normal_expression(r->expression, expr, sizeof expr);
    if (!expr[0] || strlen(r->expression) > 219) return xdb_report(XD_BADKEYEXPR);
    const char type = (char)toupper((unsigned char)r->key_type);
    uint16_t kl;
    if (type == 'C') {
        if (r->key_length < 1 || r->key_length > 240) return xdb_report(XD_BADKEYSIZE);
        kl = r->key_length;
    } else if (type == 'D' || type == 'N' || type == 'T' || type == 'Y') {
        kl = 8;  // Visual FoxPro's date-times and currency too
    } else if (type == 'I') {
        kl = 4;
    } else if (type == 'L') {
        kl = 1;
    } else {
        return xdb_report(XD_BADKEYTYPE);
    }
    const std::string key = directory_key(r->name);
    for (int slot = 1; slot < kSlots; slot++)
        if (f->trees[slot] && trimmed(key) == f->trees[slot]->name) return xdb_report(XD_TAGINUSE);
    if ((s = begin_directory_change(f))) return s;
    FoxTree* dir = f->trees[0];
    uint32_t old = 0;
    if ((s = find_exact(f, r->name, &old)) < 0) return s;
    if ((s = fox_refresh(dir))) return s;
    // The new tag's header and root: blocks no tree uses, written directly.
    uint8_t head[1024];
    uint32_t header = 0, root = 0;
    const uint32_t free_before = f->fox.free_head;
    const uint8_t options = (uint8_t)(0x60 | (r->unique ? 0x01 : 0));
    uint8_t leaf[kBlock];
    FoxNode empty;
    empty.attributes = 3;
    fox_node_encode(FoxKeys{true, kl, (uint8_t)(type == 'C' ? ' ' : 0)}, empty, leaf);
    if (data < 0) {
        // An empty tag, in one change: the old tag's blocks freed, the header at
        // the end of the file, the root taken from the free list (a block of the
        // old tag's), the name in the directory.
        fox_change_begin();
        s = old ? drop_tag_in_change(f, key, old) : XD_OK;
        if (s == XD_OK) s = fox_append_blocks(dir, 2, &header);
        if (s == XD_OK) s = fox_take_block(dir, &root);
        if (s == XD_OK && !fox_compact_header(head, root, kl, options, r->descending, expr, r->condition ? r->condition : ""))
            s = xdb_report(XD_BADKEYEXPR);
        if (s == XD_OK) s = fox_put_block(dir, header, head);
        if (s == XD_OK) s = fox_put_block(dir, header + kBlock, head + kBlock);
        if (s == XD_OK) s = fox_put_block(dir, root, leaf);
        if (s == XD_OK) s = fox_add_in_change(dir, (const uint8_t*)key.data(), header);
        s = fox_change_commit(dir, free_before, s == XD_OK);
        fox_end(dir, s);
        return s < 0 ? xdb_report(s) : xdb_status();
    }
    // A tag filled from the table: its header and tree in blocks no tree uses,
    // written directly, then switched in by the directory's one change (which
    // frees the old tag's blocks).
    if ((s = fox_append_blocks(dir, 2, &header)) || (s = fox_take_block(dir, &root))) {
        fox_end(dir, s);
        return s;
    }
    if (!fox_compact_header(head, root, kl, options, r->descending, expr, r->condition ? r->condition : "")) {
        fox_end(dir, XD_BADKEYEXPR);
        return xdb_report(XD_BADKEYEXPR);
    }
    s = xdb_fwrite_at(f->fox.file.sh, header, head, 1024, 1);
    if (s == XD_OK) s = xdb_fwrite_at(f->fox.file.sh, root, leaf, kBlock, 1);
    if (s == XD_OK) {
        FoxTree* t = nullptr;
        if ((s = load_tree(f, header, false, &t)) == XD_OK) {
            s = fox_set_key_type(t, type);
            if (s == XD_OK) s = fox_build(t, data);
            free_tree(t);
        }
    }
    if (s < 0) {
        fox_end(dir, s);
        return s;
    }
    fox_change_begin();
    if (old) s = drop_tag_in_change(f, key, old);
    if (s == XD_OK) s = fox_add_in_change(dir, (const uint8_t*)key.data(), header);
    s = fox_change_commit(dir, free_before, s == XD_OK);
    fox_end(dir, s);
    return s < 0 ? xdb_report(s) : xdb_status();
}

XDSTATUS remove_tag(CdxFile* f, const char* name) {
    XDSTATUS s;
    if (!index_valid_tag_name(name)) return xdb_report(XD_BADTAGNAME);
    const std::string key = directory_key(name);
    for (int slot = 1; slot < kSlots; slot++)
        if (f->trees[slot] && trimmed(key) == f->trees[slot]->name) return xdb_report(XD_TAGINUSE);
    if ((s = begin_directory_change(f))) return s;
    uint32_t old = 0;
    if ((s = find_exact(f, name, &old)) < 0 || old == 0) return s < 0 ? s : xdb_status();
    FoxTree* dir = f->trees[0];
    if ((s = fox_refresh(dir))) return s;
    const uint32_t free_before = f->fox.free_head;
    fox_change_begin();
    s = drop_tag_in_change(f, key, old);
    s = fox_change_commit(dir, free_before, s == XD_OK);
    fox_end(dir, s);
    return s < 0 ? xdb_report(s) : xdb_status();
}

}  // namespace

// ---- Key operations on a tag ----

#define CDX_TAG(tag, t)                          \
    CdxFile* f_ = nullptr;                       \
    FoxTree* t = nullptr;                        \
    if (XDSTATUS e = enter_tag(tag, &f_, &t)) return e

XDSTATUS cdx_first(int16_t tag, void* key, uint32_t* recno) {
    CDX_TAG(tag, t);
    return fox_first(t, key, recno, false);
}
XDSTATUS cdx_last(int16_t tag, void* key, uint32_t* recno) {
    CDX_TAG(tag, t);
    return fox_first(t, key, recno, true);
}
XDSTATUS cdx_next(int16_t tag, void* key, uint32_t* recno) {
    CDX_TAG(tag, t);
    return fox_step(t, key, recno, true);
}
XDSTATUS cdx_previous(int16_t tag, void* key, uint32_t* recno) {
    CDX_TAG(tag, t);
    return fox_step(t, key, recno, false);
}
XDSTATUS cdx_resync(int16_t tag, void* key, uint32_t* recno) {
    CDX_TAG(tag, t);
    return fox_resync(t, key, recno);
}
XDSTATUS cdx_seek(int16_t tag, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    CDX_TAG(tag, t);
    return fox_seek_mode(t, key, key_size, recno, mode);
}
XDSTATUS cdx_add_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno) {
    CDX_TAG(tag, t);
    return fox_add(t, key, key_size, recno);
}
XDSTATUS cdx_delete_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno) {
    CDX_TAG(tag, t);
    return fox_delete(t, key, key_size, recno);
}
XDSTATUS cdx_key_from_record(int16_t tag, int16_t data_handle, void* key) {
    CDX_TAG(tag, t);
    return fox_key_from_record(t, data_handle, (uint8_t*)key);
}
XDSTATUS cdx_record_included(int16_t tag, int16_t data_handle, bool* included) {
    CDX_TAG(tag, t);
    return fox_record_included(t, data_handle, included);
}
XDSTATUS cdx_check(int16_t tag, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    CDX_TAG(tag, t);
    return fox_check(t, entries, fault, cap, entry, context);
}

XDSTATUS cdx_check_file(int16_t handle, char* fault, size_t cap) {
    CdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!fault || cap == 0) return xdb_report(XD_NULLPARAM);
    fault[0] = 0;
    uint32_t entries = 0;
    char why[200] = "";
    if ((s = fox_check(f->trees[0], &entries, why, sizeof why, nullptr, nullptr)) < 0) {
        snprintf(fault, cap, "the tag directory: %s", why);
        return s;
    }
    std::vector<TagEntry> tags;
    if ((s = list_tags(f, &tags)) < 0) return s;
    // Every block once: headers, the trees' nodes, the free list.
    std::vector<uint8_t> owner(f->fox.next_block / kBlock, 0);
    BlockList used;
    used.blocks = {0, kBlock};
    if ((s = fox_tree_blocks(f->trees[0], f->trees[0]->root, 0, BlockList::add, &used))) return s;
    for (const TagEntry& e : tags) {
        FoxTree* t = nullptr;
        if ((s = load_tree(f, e.header, false, &t)) < 0) {
            xdb_set_status(XD_OK);
            snprintf(fault, cap, "tag %s: its header at %u cannot be read", e.name.c_str(), e.header);
            return xdb_report(XD_CORRUPT);
        }
        snprintf(t->name, sizeof t->name, "%s", e.name.c_str());
        s = fox_check(t, &entries, why, sizeof why, nullptr, nullptr);
        if (s == XD_OK) {
            used.blocks.push_back(e.header);
            used.blocks.push_back(e.header + kBlock);
            s = fox_tree_blocks(t, t->root, 0, BlockList::add, &used);
        }
        free_tree(t);
        if (s < 0) {
            xdb_set_status(XD_OK);
            snprintf(fault, cap, "tag %s: %s", e.name.c_str(), why[0] ? why : "unreadable");
            return xdb_report(XD_CORRUPT);
        }
    }
    for (uint32_t b : used.blocks) {
        if (b / kBlock >= owner.size() || owner[b / kBlock]) {
            snprintf(fault, cap, "block at %u belongs to two trees", b);
            return xdb_report(XD_CORRUPT);
        }
        owner[b / kBlock] = 1;
    }
    uint32_t steps = 0;
    for (uint32_t b = f->fox.free_head; b && b != kFoxNone; steps++) {
        uint8_t word[4];
        if (b % kBlock || b / kBlock >= owner.size() || owner[b / kBlock] || steps > owner.size() ||
            xdb_fread_at(f->fox.file.sh, b, word, 4) != XD_OK) {
            xdb_set_status(XD_OK);
            snprintf(fault, cap, "a bad free list at %u", b);
            return xdb_report(XD_CORRUPT);
        }
        owner[b / kBlock] = 2;
        b = get_le32(word);
    }
    uint32_t unused = 0;
    for (uint8_t o : owner) unused += o == 0;
    if (unused) snprintf(fault, cap, "%u blocks neither in a tree nor free (unused space)", unused);
    return xdb_status();
}

// ---- The rebuild ----

namespace {

struct TagPlan {
    std::string name, expression, condition;
    uint16_t key_length;
    bool unique, descending;
};

struct RebuildPlan {
    int16_t data;
    std::vector<TagPlan> tags;
};

XDSTATUS build_file(void* context, const char* temporary) {
    const RebuildPlan* plan = (const RebuildPlan*)context;
    XDSTATUS s = cdx_create_file(temporary);
    if (s) return s;
    int16_t h = -1;
    if ((s = cdx_open(&h, temporary, 0)) < 0) return s;
    for (const TagPlan& p : plan->tags) {
        // The key's kind from the expression's value on the table.
        std::string expr = p.expression;
        XdbKeyValue v{};
        char type = 'C';
        uint32_t count = 0;
        dbf_record_count(plan->data, &count);
        if (count > 0) dbf_read_record(plan->data, 1);
        xdb_set_status(XD_OK);
        if ((s = xdb_eval_key(plan->data, &expr[0], 0, &v)) < 0) break;
        xdb_set_status(XD_OK);
        type = v.type == 'F' ? 'N' : (char)v.type;
        CdxTagRequest r{p.name.c_str(), p.expression.c_str(), p.condition.c_str(), type, p.key_length, p.unique,
                        p.descending};
        if ((s = cdx_create_tag(h, &r, plan->data)) < 0) break;
    }
    return close_built_index(h, cdx_close, temporary, s < 0 ? s : XD_OK);
}

}  // namespace

XDSTATUS cdx_rebuild(int16_t data, const char* name) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    RebuildPlan plan{data, {}};
    int16_t h = -1;
    if ((s = cdx_open(&h, name, XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND)) < 0) return s;
    CdxFile* f = nullptr;
    enter(h, &f);
    std::vector<TagEntry> tags;
    s = list_tags(f, &tags);
    for (size_t i = 0; s >= 0 && i < tags.size(); i++) {
        FoxTree* t = nullptr;
        if ((s = load_tree(f, tags[i].header, false, &t)) < 0) break;
        plan.tags.push_back(TagPlan{tags[i].name, t->expression, t->condition, t->keys.key_length, t->unique, t->descending});
        free_tree(t);
    }
    XDSTATUS c = cdx_close(h);
    if (s < 0) return s;
    if (c < 0) return c;
    return rebuild_beside(name, ".CDX", build_file, &plan);
}

// ---- The format's table for the uniform layer ----

namespace {

XDSTATUS describe(int16_t tag, IndexDescription* out) {
    CdxTagInfo info;
    XDSTATUS s = cdx_tag_info(tag, &info);
    if (s < 0) return s;
    // Key types 'C', 'D', 'L', 'N', or Visual FoxPro's 10, 11, 12.
    index_describe(out, info.key_type, info.key_length, info.flags, 0, info.expression, info.condition, info.name, nullptr);
    return XD_OK;
}

int compare_keys(int16_t tag, bool, const void* left, const void* right, uint16_t length) {
    CdxFile* f = nullptr;
    FoxTree* t = nullptr;
    const XDSTATUS pending = xdb_get_status();
    const bool ok = enter_tag(tag, &f, &t) == XD_OK;
    xdb_set_status(pending);
    return ok ? fox_compare(t, left, right, length) : memcmp(left, right, length);
}

XDSTATUS number_key(int16_t, double value, uint16_t, uint8_t* key) {
    idx_number_key(value, key);
    return XD_OK;
}

// A descending tag's walk ends with its lowest bytes.
int last_byte(int16_t tag) {
    CdxFile* f = nullptr;
    FoxTree* t = nullptr;
    const XDSTATUS pending = xdb_get_status();
    const bool descending = enter_tag(tag, &f, &t) == XD_OK && t->descending;
    xdb_set_status(pending);
    return descending ? 0x00 : 0xFF;
}

XDSTATUS check(int16_t handle, uint32_t* entries, char* fault, size_t cap, IndexEntryFn entry, void* context) {
    if (xdb_slot_kind(handle) == XDB_KIND_CDX) {
        if (entries) *entries = 0;
        return cdx_check_file(handle, fault, cap);
    }
    return cdx_check(handle, entries, fault, cap, entry, context);
}

XDSTATUS rebuild(int16_t data, const char* name, uint8_t, const char*, uint16_t, uint16_t) { return cdx_rebuild(data, name); }

XDSTATUS tag_open(int16_t file, const char* name, int16_t number, int32_t* tag) {
    return cdx_tag_open(file, name, number, tag);
}

XDSTATUS set_key_type(int16_t tag, char letter) { return cdx_set_key_type(tag, letter); }

XDSTATUS make_tag(int16_t h, int16_t data, const IndexTagBuild* b) {
    CdxTagRequest t{b->tag_name, b->expression, b->condition, b->key_type, b->key_length, b->unique, b->descending};
    return cdx_create_tag(h, &t, data);
}

}  // namespace

const IndexFormat kCdxFormat = {
    ".cdx",        false,          [](const IndexCreateRequest* r) { return index_create_tag_request(kCdxFormat, r); },      cdx_open,            cdx_close,    describe,
    cdx_first,     cdx_last,       cdx_next,            cdx_previous,        cdx_resync,   cdx_seek,
    cdx_add_key,   cdx_delete_key, cdx_key_from_record, cdx_record_included, compare_keys, rebuild,
    check,         number_key,     idx_date_key,
    [](const uint8_t* key, uint16_t) { return idx_key_number(key); },
    idx_key_date,  last_byte,
    cdx_tag_list,  tag_open,       cdx_tag_close,       set_key_type,
    [](int16_t data, const IndexTagBuild* b) { return index_build_tag_in_file(kCdxFormat, data, b, make_tag); },
    cdx_remove_tag, cdx_create_file,
    [](int16_t h, int16_t data) {
        CdxFile* f;
        XDSTATUS s = enter(h, &f);
        if (s == XD_OK) index_file_hold(&f->fox.file, data);
        return s;
    },
    [](int16_t h) {
        CdxFile* f;
        XDSTATUS s = enter(h, &f);
        return s == XD_OK ? fox_write_begin(&f->fox) : s;
    },
    [](int16_t h) {
        CdxFile* f;
        if (enter(h, &f) == XD_OK) fox_write_end(&f->fox);
    },
};
