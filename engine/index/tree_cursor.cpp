// One tree of an index file (see tree_cursor.h).

#include "engine/index/tree_cursor.h"

#include <cstring>
#include <new>
#include <vector>

#include "engine/core/os.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"

// The pages decoded last: a search down the tree and back finds its upper
// levels still decoded. Each is known by its bytes.
struct DecodedSlot {
    std::vector<uint8_t> source;  // the page's bytes as decoded
    std::vector<uint8_t> keys;
    std::vector<uint32_t> records;
    int count = 0;
    uint32_t used = 0;
};
struct DecodedPage {
    static const int kSlots = 8;
    DecodedSlot slots[kSlots];
    int last = 0;
    uint32_t clock = 0;
};

XDSTATUS tree_cursor_init(TreeCursor* c, const TreeFormat* format, IndexFile* file) {
    c->format = format;
    c->file = file;
    c->path.depth = -1;
    c->saved_depth = -1;
    c->decoded = nullptr;
    c->fills = 0;
    c->decoded_for = nullptr;
    c->decoded_at_fill = 0;
    c->held_number = 0;
    c->held_at_fill = 0;
    c->held = false;
    c->walk_page = nullptr;
    if (xdb_alloc((void**)&c->saved_leaf, file->page_size) != XD_OK ||
        xdb_alloc((void**)&c->walk_page, file->page_size) != XD_OK) {
        tree_cursor_free(c);
        return xdb_report(XD_MEMERR);
    }
    if (format->decode && !(c->decoded = new (std::nothrow) DecodedPage)) {
        tree_cursor_free(c);
        return xdb_report(XD_MEMERR);
    }
    return XD_OK;
}

void tree_cursor_free(TreeCursor* c) {
    xdb_free(c->saved_leaf);
    c->saved_leaf = nullptr;
    xdb_free(c->walk_page);
    c->walk_page = nullptr;
    delete c->decoded;
    c->decoded = nullptr;
}

namespace {

// The slot holding `page` decoded (*found), or else the one to decode it into;
// either becomes the one used last, for `page`.
DecodedSlot& slot_for(TreeCursor* c, const uint8_t* page, bool* found) {
    DecodedPage& d = *c->decoded;
    c->decoded_for = page;
    c->decoded_at_fill = c->fills;
    const uint32_t size = c->file->page_size;
    int at = 0;
    *found = false;
    for (int i = 0; i < DecodedPage::kSlots; i++) {
        const int slot = (d.last + i) % DecodedPage::kSlots;  // the one used last first
        DecodedSlot& s = d.slots[slot];
        if (s.source.size() == size && memcmp(s.source.data(), page, size) == 0) {
            at = slot;
            *found = true;
            break;
        }
        if (s.used < d.slots[at].used) at = slot;
    }
    d.last = at;
    d.slots[at].used = ++d.clock;
    return d.slots[at];
}

// The page decoded, unless it is the one decoded last. A damaged encoding counts
// no entries: the frame then finds the entry it wants missing (XD_CORRUPT).
const DecodedSlot& decoded(TreeCursor* c, const uint8_t* page) {
    DecodedPage& d = *c->decoded;
    if (tree_decoded_current(c, page)) return d.slots[d.last];
    bool found;
    DecodedSlot& s = slot_for(c, page, &found);
    if (found) return s;
    const uint32_t size = c->file->page_size;
    s.source.assign(page, page + size);
    int n = c->format->count(c, page);
    if (n < 0) n = 0;
    s.keys.resize((size_t)n * c->key_length);
    s.records.resize((size_t)n);
    s.count = n > 0 && !c->format->decode(c, page, n, s.keys.data(), s.records.data()) ? 0 : n;
    return s;
}

}  // namespace

void tree_forget_decoded(TreeCursor* c) {
    tree_page_filled(c);
    if (c->decoded)
        for (DecodedSlot& s : c->decoded->slots) s.source.clear();
}

void tree_decoded_keep(TreeCursor* c, const uint8_t* page, int count, const uint8_t* keys, const uint32_t* records) {
    if (!c->decoded) return;
    bool found;
    DecodedSlot& s = slot_for(c, page, &found);
    if (found) return;
    s.source.assign(page, page + c->file->page_size);
    s.keys.assign(keys, keys + (size_t)count * c->key_length);
    s.records.assign(records, records + count);
    s.count = count;
}

int tree_decoded_count(TreeCursor* c, const uint8_t* page) { return decoded(c, page).count; }

const uint8_t* tree_decoded_key(TreeCursor* c, const uint8_t* page, int i) {
    return decoded(c, page).keys.data() + (size_t)i * c->key_length;
}

uint32_t tree_decoded_record(TreeCursor* c, const uint8_t* page, int i) { return decoded(c, page).records[(size_t)i]; }

int tree_decoded_entries(TreeCursor* c, const uint8_t* page, const uint8_t** keys, const uint32_t** records) {
    const DecodedSlot& s = decoded(c, page);
    *keys = s.keys.data();
    *records = s.records.data();
    return s.count;
}

XDSTATUS tree_open(int16_t* handle, TreeCursor** c, const char* name, uint16_t open_mode, uint8_t kind,
                   XdbCloseFn close, const TreeFormat* format, uint32_t* size) {
    int16_t h;
    void* block;
    XDSTATUS s = xdb_alloc_slot(kind, &h, &block);
    if (s) return s;
    xdb_register_closer(kind, close);
    SingleTreeFile* t = (SingleTreeFile*)block;
    if ((s = index_file_open(&t->file, name, open_mode, size))) {
        xdb_release_slot(h);
        return s;
    }
    t->tree.file = &t->file;
    s = format->read_header(&t->tree, *size);
    if (s == XD_OK) s = tree_cursor_init(&t->tree, format, &t->file);
    if (s != XD_OK) {
        xdb_report(s);
        tree_cursor_free(&t->tree);
        index_file_close(&t->file);
        xdb_set_status(s);
        xdb_release_slot(h);
        return s;
    }
    *handle = h;
    *c = &t->tree;
    return XD_OK;
}

XDSTATUS tree_hold(int16_t handle, uint8_t kind, int16_t data_handle) {
    void* block;
    XDSTATUS s = xdb_select(handle, kind, &block);
    if (s) return s;
    index_file_hold(&((SingleTreeFile*)block)->file, data_handle);
    return XD_OK;
}

XDSTATUS tree_close(int16_t handle, TreeCursor* c) {
    IndexFile* file = c->file;
    tree_cursor_free(c);
    XDSTATUS s = index_file_close(file);
    xdb_release_slot(handle);
    return s;
}

XDSTATUS tree_read_page(TreeCursor* c, BlockChanges& changes, uint32_t number, uint8_t* out, TreePageCheck check) {
    IndexFile* f = c->file;
    // Nothing can have changed the page since it was read into this buffer: no
    // other fill or write through this cursor, and the file trusted as cached.
    const bool steady = out == c->walk_page;
    if (steady && c->held && c->trusted_now && !changes.active && number == c->held_number && c->fills == c->held_at_fill)
        return XD_OK;
    tree_page_filled(c);
    c->held = false;
    if (changes.active) {
        if (ChangedBlock* changed = changes.find(number)) {
            memcpy(out, changed->bytes.data(), f->page_size);
            return XD_OK;
        }
    }
    if (const uint8_t* cached = page_cache_get(f->cache, number)) {
        memcpy(out, cached, f->page_size);
    } else {
        XDSTATUS s = xdb_fread_at(f->sh, index_page_offset(f, number), out, f->page_size);
        if (s) return s;
        if (check && !check(c, out)) return xdb_report(XD_CORRUPT);
        index_file_keep(f, number, out);
    }
    c->held = steady;
    c->held_number = number;
    c->held_at_fill = c->fills;
    return XD_OK;
}

XDSTATUS tree_write_page(TreeCursor* c, BlockChanges& changes, uint32_t number, const uint8_t* bytes) {
    tree_page_filled(c);  // the bytes written were changed in place
    return index_file_write(c->file, changes, number, bytes);
}

bool tree_begin_operation(TreeCursor* c) {
    const bool alone = index_file_alone(c->file) || c->file->update_bracket;
    c->trusted_now = page_cache_begin(c->file->cache, alone, osl_write_generation(c->file->sh));
    c->path.depth = -1;
    return c->trusted_now;
}

void tree_header_changed(TreeCursor* c) { c->saved_depth = -1; }

void tree_end_operation(TreeCursor* c, XDSTATUS s, bool handed) {
    c->saved_depth = s >= 0 && handed ? c->path.depth : -1;
    if (s < 0) page_cache_forget(c->file->cache);
    else page_cache_end(c->file->cache, osl_write_generation(c->file->sh));
}
