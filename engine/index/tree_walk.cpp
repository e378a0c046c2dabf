// The positioning frame every B-tree index format shares (see tree_walk.h).

#include "engine/index/tree_walk.h"

#include <cstring>

#include "engine/core/engine.h"
#include "engine/index/page_cache.h"

namespace {

// Hands out the path's entry, in `page`. An index outside the page (an empty leaf
// below the root, a damaged tree) is XD_CORRUPT.
XDSTATUS hand_out(TreeCursor* c, const uint8_t* page, void* key, uint32_t* record) {
    int i = c->path.depth < 0 ? -1 : c->path.index[c->path.depth];
    if (i < 0 || i >= tree_count(c, page)) return xdb_report(XD_CORRUPT);
    memcpy(c->key, tree_key(c, page, i), c->key_length);
    c->record = tree_record(c, page, i);
    if (key) {
        memcpy(key, c->key, c->key_length);
        if (c->zero_after_key) ((uint8_t*)key)[c->key_length] = 0;
    }
    if (record) *record = c->record;
    return XD_OK;
}

// Whether the path's entry, in `page`, is (key, record).
bool at_entry(TreeCursor* c, const uint8_t* page, const void* key, uint32_t record) {
    int i = c->path.depth < 0 ? -1 : c->path.index[c->path.depth];
    if (i < 0 || i >= tree_count(c, page)) return false;
    return tree_record(c, page, i) == record && memcmp(tree_key(c, page, i), key, c->key_length) == 0;
}

// On a shared file: the step from the entry handed out last, taken inside its
// leaf when the leaf read again is the one it came from (see tree_walk.h).
bool step_in_saved_leaf(TreeCursor* c, bool forward, uint8_t* page) {
    const TreeFormat* t = c->format;
    int d = c->saved_depth;
    uint32_t number = c->path.page[d];
    tree_page_filled(c);
    if (!t->read_page_from_file(c, number, page)) return false;
    if (memcmp(page, c->saved_leaf, c->file->page_size) != 0 || !t->is_leaf(c, page)) return false;
    int next = c->path.index[d] + (forward ? 1 : -1);
    if (next < 0 || next >= tree_count(c, page)) return false;
    index_file_keep(c->file, number, page);
    c->path.depth = d;
    c->path.index[d] = next;
    return true;
}

}  // namespace

XDSTATUS tree_end_positioning(TreeCursor* c, const uint8_t* page, XDSTATUS s, void* key, uint32_t* record) {
    bool handed = false;
    if (s >= 0 && s != XD_EMPTYFILE) {
        XDSTATUS g = hand_out(c, page, key, record);
        if (g < 0) s = g;
        handed = g >= 0;
        // A shared file's next step compares its leaf with this copy; an exclusive
        // file's steps come from the cache.
        if (handed && c->file->shared) memcpy(c->saved_leaf, page, c->file->page_size);
    }
    c->format->end_operation(c, s, handed);
    c->path.depth = -1;
    return xdb_report(s);
}

XDSTATUS tree_first_or_last(TreeCursor* c, uint8_t* page, bool last, void* key, uint32_t* record) {
    return tree_end_positioning(c, page, c->format->end_entry(c, page, last), key, record);
}

XDSTATUS tree_moved_from(TreeCursor* c, uint8_t* page, bool forward, void* key, uint32_t* record) {
    const TreeFormat* t = c->format;
    XDSTATUS s = XD_OK;
    bool same = *record != 0 && c->saved_depth >= 0 && *record == c->record && memcmp(key, c->key, c->key_length) == 0;
    if (same && c->trusted_now && (s = t->read_page(c, c->path.page[c->saved_depth], page)) < 0)
        xdb_set_status(XD_OK);  // a saved page that cannot be read: the search reads again
    if (*record == 0) {
        s = t->end_entry(c, page, !forward);
    } else if (same && c->trusted_now && s == XD_OK) {
        // Nothing has changed since this entry was handed out: step on from it.
        c->path.depth = c->saved_depth;
        s = t->step_or_end(c, page, forward);
    } else if (same && !c->trusted_now && c->file->shared && step_in_saved_leaf(c, forward, page)) {
        s = XD_OK;  // the leaf is as it was and holds the next entry: no search needed
    } else {
        uint8_t k[kMaxTreeKey + 1] = {0};
        memcpy(k, key, c->key_length);
        bool no_smaller = false;
        s = t->find_entry(c, k, *record, page, &no_smaller);
        if (s == XD_OK) {
            s = t->step_or_end(c, page, forward);
        } else if (s == XD_KEYNOTFOUND && no_smaller) {
            // The entry is gone and nothing was before it: its neighbour after is
            // the first entry; before it there is none.
            s = t->end_entry(c, page, false);
            if (!forward && s == XD_OK) s = XD_NOMOREKEYS;
        } else if (s == XD_KEYNOTFOUND) {
            // The entry is gone: the search stopped on the entry before its place.
            s = forward ? t->step_or_end(c, page, true) : XD_OK;
        }
    }
    // A repeated entry (the same key and record twice, as a damaged file or
    // another writer may hold) is stepped over: a walk hands every entry out once,
    // and ends.
    if (*record != 0) {
        for (uint32_t guard = 0; s == XD_OK && guard < 0x7FFFFFFF && at_entry(c, page, key, *record); guard++)
            s = t->step_or_end(c, page, forward);
    }
    return tree_end_positioning(c, page, s, key, record);
}
