// The check of an index tree (see tree_check.h).

#include "engine/index/tree_check.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/core/engine.h"
#include "engine/index/tree_cursor.h"

namespace {

struct Walk {
    const TreeCheckPages& t;
    std::vector<uint8_t> seen;
    int leaf_depth = -1;
    uint32_t entries = 0;
    std::vector<uint8_t> last_key;
    bool have_last = false;
    uint32_t last_record = 0;
    char* fault;
    size_t cap;
    void (*entry)(void*, const uint8_t*, uint32_t);
    void* context;

    bool fail(const char* what, uint32_t page) {
        snprintf(fault, cap, "%s %u: %s", t.page_word, t.named(t.context, page), what);
        return false;
    }
    // Each entry in key order: keys never go down, and no entry comes twice.
    bool visit(uint32_t page, const uint8_t* bytes, int i) {
        const uint8_t* k = t.key(t.context, bytes, i);
        const uint32_t r = t.record(t.context, bytes, i);
        if (have_last && t.compare(t.context, last_key.data(), k) > 0) return fail("keys out of order", page);
        if (have_last && r == last_record && memcmp(last_key.data(), k, t.key_length) == 0) {
            snprintf(fault, cap, "%s %u: a repeated entry (the same key and record %u twice)", t.page_word,
                     t.named(t.context, page), r);
            return false;
        }
        memcpy(last_key.data(), k, t.key_length);
        last_record = r;
        have_last = true;
        entries++;
        if (entry) entry(context, k, r);
        return true;
    }
    // The subtree of `page`; its greatest key into `max` (when it has keys).
    bool walk(uint32_t page, int depth, std::vector<uint8_t>* max, bool* has_max) {
        if (page < t.first_page || page >= t.end_page || page >= seen.size()) return fail("child outside the file", page);
        if (seen[page]) return fail("reached twice", page);
        seen[page] = 1;
        if (depth >= kMaxTreeDepth) return fail("tree too deep", page);
        std::vector<uint8_t> bytes(t.page_size);
        if (const char* why = t.read(t.context, page, bytes.data())) return fail(why, page);
        const int n = t.count(t.context, bytes.data());
        if (n == 0 && page != t.root && !t.empty_below_root_allowed) return fail("empty below the root", page);
        if (t.is_leaf(t.context, bytes.data())) {
            if (leaf_depth < 0) leaf_depth = depth;
            if (depth != leaf_depth) return fail("leaves at different depths", page);
            for (int i = 0; i < n; i++) {
                if (t.leaf_entry_has_child(t.context, bytes.data(), i)) return fail("leaf entry with a child", page);
                if (!visit(page, bytes.data(), i)) return false;
            }
            if (n > 0) {
                memcpy(max->data(), t.key(t.context, bytes.data(), n - 1), t.key_length);
                *has_max = true;
            }
            return true;
        }
        const int kids = t.children(t.context, bytes.data());
        std::vector<uint8_t> sub(t.key_length);
        for (int i = 0; i < kids; i++) {
            bool sub_has = false;
            if (!walk(t.child(t.context, bytes.data(), i), depth + 1, &sub, &sub_has)) return false;
            if (sub_has) {
                *max = sub;
                *has_max = true;
            }
            if (i >= n) continue;
            if (t.inner_entries) {
                if (!visit(page, bytes.data(), i)) return false;
                memcpy(max->data(), t.key(t.context, bytes.data(), i), t.key_length);
                *has_max = true;
            } else if (!sub_has || memcmp(sub.data(), t.key(t.context, bytes.data(), i), t.key_length) != 0) {
                return fail("separator differs from the greatest key below it", page);
            }
        }
        return true;
    }
};

}  // namespace

XDSTATUS tree_check(const TreeCheckPages& t, uint32_t* entries, char* fault, size_t cap,
                    void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    Walk w{t, std::vector<uint8_t>(t.end_page, 0), -1, 0, std::vector<uint8_t>(t.key_length), false, 0, fault, cap,
           entry, context};
    std::vector<uint8_t> max(t.key_length);
    bool has_max = false;
    bool ok = w.walk(t.root, 0, &max, &has_max);
    // The free chain: pages of the file, none in the tree, and it ends.
    for (uint32_t p = t.free_head, steps = 0; ok && p; steps++) {
        uint32_t next = 0;
        if (steps > t.end_page || p < t.first_page || p >= t.end_page || w.seen[p] || !t.next_free(t.context, p, &next)) {
            ok = w.fail("a bad free chain", p);
            break;
        }
        w.seen[p] = 1;
        p = next;
    }
    uint32_t orphans = 0;
    for (uint32_t p = t.first_page; ok && p < t.end_page; p++)
        orphans += !w.seen[p] && (!t.unused || t.unused(t.context, p));
    if (ok && orphans) snprintf(fault, cap, "%u %s neither in the tree nor free (unused space)", orphans, orphans == 1 ? "page" : "pages");
    if (entries) *entries = w.entries;
    return ok ? XD_OK : XD_CORRUPT;
}
