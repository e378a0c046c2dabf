// Sorting the keys of an index rebuild (see key_sort.h).

#include "engine/index/key_sort.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <queue>
#include <vector>

#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/os.h"

namespace {

const size_t kDefaultBudget = 96u << 20;
size_t g_budget = kDefaultBudget;

// One item of the run in memory: the 8 bytes of its key after the run's common
// prefix (as a number whose order is the keys' order there), its record number and
// where its whole key lies.
struct Entry {
    uint64_t prefix;
    uint32_t recno;
    uint32_t index;
};

// A fixed array in large work memory (see osl_large_alloc).
template <class T>
struct LargeArray {
    T* data = nullptr;
    size_t size = 0;
    bool allocate(size_t n) {
        data = (T*)osl_large_alloc(n * sizeof(T));
        size = data ? n : 0;
        return data != nullptr;
    }
    ~LargeArray() { osl_large_free(data, size * sizeof(T)); }
};

struct RunCursor {
    uint32_t offset = 0, left = 0;  // position in the work file, items left
    std::vector<uint8_t> buffer;
    size_t at = 0, held = 0;
};

}  // namespace

struct KeySorter {
    uint16_t key_length;
    bool national;
    const uint8_t* weights;  // national order, or null for byte order
    size_t per_run;                   // items a run holds
    size_t held = 0;                  // items of the run in memory
    LargeArray<uint8_t> keys;         // the run's keys, in the order they came
    LargeArray<Entry> entries, scratch;
    uint16_t work = 0;
    bool work_open = false;
    uint32_t work_size = 0;
    std::vector<std::pair<uint32_t, uint32_t>> runs;  // work-file offset, items
    bool unique = false;  // only the first item of each key comes out
    bool descending = false;  // greater keys first (equal keys still by record)

    // Order of whole keys from byte `from` on (the bytes before it are equal).
    int compare_keys(const uint8_t* a, const uint8_t* b, size_t from) const {
        if (from >= key_length) return 0;
        const int c = national ? xdb_compare_keys(a + from, b + from, key_length - from)
                               : memcmp(a + from, b + from, key_length - from);
        return descending ? -c : c;
    }
    const uint8_t* key_of(const Entry& e) const { return &keys.data[(size_t)e.index * key_length]; }

    struct Span {
        const Entry *b, *e;
        const Entry* begin() const { return b; }
        const Entry* end() const { return e; }
    };
    Span entries_in_order() const { return Span{entries.data, entries.data + held}; }

    void sort_run();
    XDSTATUS spill();
};

namespace {

// Stable LSD radix sort of entries by prefix; bytes every entry shares cost one
// counting pass and no move.
void radix_sort(Entry* entries, Entry* scratch, size_t n) {
    Entry* from = entries;
    Entry* to = scratch;
    for (int shift = 0; shift < 64; shift += 8) {
        size_t count[256] = {0};
        for (size_t i = 0; i < n; i++) count[(from[i].prefix >> shift) & 0xFF]++;
        if (count[(from[0].prefix >> shift) & 0xFF] == n) continue;
        size_t at = 0;
        for (size_t& c : count) {
            size_t k = c;
            c = at;
            at += k;
        }
        for (size_t i = 0; i < n; i++) to[count[(from[i].prefix >> shift) & 0xFF]++] = from[i];
        std::swap(from, to);
    }
    if (from != entries) memcpy(entries, from, n * sizeof(Entry));
}

}  // namespace

void KeySorter::sort_run() {
    size_t n = held;
    if (n == 0) return;
    // The bytes every key of the run shares say nothing about its order.
    size_t common = key_length;
    const uint8_t* first = keys.data;
    for (size_t i = 1; i < n && common > 0; i++) {
        const uint8_t* k = &keys.data[i * key_length];
        size_t c = 0;
        while (c < common && k[c] == first[c]) c++;
        common = c;
    }
    for (Entry* e = entries.data; e != entries.data + n; e++) {
        const uint8_t* k = key_of(*e);
        uint64_t p = 0;
        for (size_t i = common; i < common + 8; i++) {
            uint8_t byte = i < key_length ? (weights ? weights[k[i]] : k[i]) : 0;
            p = (p << 8) | (descending ? (uint8_t)~byte : byte);
        }
        e->prefix = p;
    }
    radix_sort(entries.data, scratch.data, n);
    // Equal prefixes: the rest of the keys decides, then the record number.
    size_t from = common + 8;
    auto less = [&](const Entry& a, const Entry& b) {
        int c = compare_keys(key_of(a), key_of(b), from);
        return c ? c < 0 : a.recno < b.recno;
    };
    for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && entries.data[j].prefix == entries.data[i].prefix) j++;
        if (j - i > 1 && !std::is_sorted(entries.data + i, entries.data + j, less))
            std::sort(entries.data + i, entries.data + j, less);
        i = j;
    }
}

// A full run goes to the work file, sorted, as key + big-endian record number.
XDSTATUS KeySorter::spill() {
    if (!work_open) {
        if (xdb_fcreate(&work, "stacks.tmp")) return xdb_report(XD_OPENERR);
        work_open = true;
    }
    sort_run();
    size_t item = key_length + 4u;
    std::vector<uint8_t> out(held * item);
    uint8_t* o = out.data();
    for (const Entry& e : entries_in_order()) {
        memcpy(o, key_of(e), key_length);
        o[key_length] = (uint8_t)(e.recno >> 24);
        o[key_length + 1] = (uint8_t)(e.recno >> 16);
        o[key_length + 2] = (uint8_t)(e.recno >> 8);
        o[key_length + 3] = (uint8_t)e.recno;
        o += item;
    }
    if ((uint64_t)work_size + out.size() > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);
    if (xdb_fwrite_at(work, work_size, out.data(), (uint32_t)out.size(), 0)) return xdb_report(XD_WRITEERR);
    runs.push_back({work_size, (uint32_t)held});
    work_size += (uint32_t)out.size();
    held = 0;
    return XD_OK;
}

KeySorter* key_sort_new(uint16_t key_length, bool national, uint32_t expected_items) {
    KeySorter* s = new (std::nothrow) KeySorter();
    if (!s) return nullptr;
    s->key_length = key_length;
    s->national = national;
    s->weights = national ? xdb_national_weights() : nullptr;
    // Per item: the key, its entry and the radix sort's second copy. A run holds
    // what the budget allows, or the items expected when they are fewer.
    size_t per_run = g_budget / (key_length + 2 * sizeof(Entry));
    if (per_run < 16) per_run = 16;
    if (expected_items > 0 && expected_items < per_run) per_run = expected_items;
    s->per_run = per_run;
    if (!s->keys.allocate(per_run * key_length) || !s->entries.allocate(per_run) || !s->scratch.allocate(per_run)) {
        delete s;
        return nullptr;
    }
    return s;
}

void key_sort_free(KeySorter* s) {
    if (!s) return;
    if (s->work_open) {
        xdb_fclose(s->work);
        xdb_fdelete("stacks.tmp");
    }
    delete s;
}

XDSTATUS key_sort_add(KeySorter* s, const uint8_t* key, uint32_t recno) {
    if (s->held == s->per_run) {
        XDSTATUS r = s->spill();
        if (r < 0) return r;
    }
    s->entries.data[s->held] = Entry{0, recno, (uint32_t)s->held};
    memcpy(&s->keys.data[s->held * s->key_length], key, s->key_length);
    s->held++;
    return XD_OK;
}

void key_sort_set_descending(KeySorter* sorter, bool descending) {
    if (sorter) sorter->descending = descending;
}

void key_sort_set_unique(KeySorter* sorter, bool unique) {
    if (sorter) sorter->unique = unique;
}

namespace {

// Between the sort and the caller of a unique index: items whose key equals the
// one before (in the index's order) stay behind.
struct FirstOfEachKey {
    const KeySorter* sorter;
    KeySortEmit emit;
    void* context;
    std::vector<uint8_t> last;
    bool any = false;
    static XDSTATUS item(void* c, const uint8_t* key, uint32_t recno) {
        FirstOfEachKey* f = (FirstOfEachKey*)c;
        if (f->any && f->sorter->compare_keys(f->last.data(), key, 0) == 0) return XD_OK;
        f->last.assign(key, key + f->sorter->key_length);
        f->any = true;
        return f->emit(f->context, key, recno);
    }
};

}  // namespace

XDSTATUS key_sort_finish(KeySorter* s, KeySortEmit emit, void* context) {
    FirstOfEachKey first{s, emit, context, {}, false};
    if (s->unique) {
        emit = FirstOfEachKey::item;
        context = &first;
    }
    s->sort_run();
    XDSTATUS r = XD_OK;
    if (s->runs.empty()) {
        // Sorted keys lie scattered over the key store: each is fetched a few
        // items ahead of its turn, so that the build does not wait on memory.
        const size_t ahead = 16;
        const Entry* order = s->entries.data;
        for (size_t i = 0; i < s->held; i++) {
            if (i + ahead < s->held) __builtin_prefetch(s->key_of(order[i + ahead]));
            if ((r = emit(context, s->key_of(order[i]), order[i].recno)) < 0) return r;
        }
        return XD_OK;
    }
    // Merge the runs of the work file and the last one, in memory, with a heap.
    const size_t runs = s->runs.size(), item = s->key_length + 4u;
    std::vector<RunCursor> cursors(runs);
    size_t share = s->per_run * (s->key_length + 2 * sizeof(Entry)) / 2 / (runs + 1) / item;
    if (share < 64) share = 64;
    for (size_t i = 0; i < runs; i++) {
        cursors[i].offset = s->runs[i].first;
        cursors[i].left = s->runs[i].second;
        cursors[i].buffer.resize(share * item);
    }
    size_t memory_at = 0;
    struct Head {
        const uint8_t* key;
        uint32_t recno;
        size_t run;
    };
    // The current item of run `i` (runs == the one in memory); false at its end.
    auto current = [&](size_t i, Head* h) {
        h->run = i;
        if (i == runs) {
            if (memory_at == s->held) return false;
            h->key = s->key_of(s->entries.data[memory_at]);
            h->recno = s->entries.data[memory_at].recno;
            return true;
        }
        RunCursor& c = cursors[i];
        if (c.at == c.held) {
            if (c.left == 0) return false;
            uint32_t n = c.left < share ? c.left : (uint32_t)share;
            if (xdb_fread_at(s->work, c.offset, c.buffer.data(), n * (uint32_t)item)) {
                r = xdb_report(XD_READERR);
                return false;
            }
            c.offset += n * (uint32_t)item;
            c.left -= n;
            c.at = 0;
            c.held = n;
        }
        const uint8_t* p = &c.buffer[c.at * item];
        h->key = p;
        p += s->key_length;
        h->recno = ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
        return true;
    };
    auto after = [&](const Head& a, const Head& b) {
        int c = s->compare_keys(a.key, b.key, 0);
        return c ? c > 0 : a.recno > b.recno;
    };
    std::priority_queue<Head, std::vector<Head>, decltype(after)> heap(after);
    Head h;
    for (size_t i = 0; i <= runs; i++)
        if (current(i, &h)) heap.push(h);
    while (!heap.empty() && r >= 0) {
        Head top = heap.top();
        heap.pop();
        if ((r = emit(context, top.key, top.recno)) < 0) break;
        if (top.run == runs) memory_at++;
        else cursors[top.run].at++;
        if (current(top.run, &h)) heap.push(h);
    }
    return r;
}

void key_sort_set_budget(size_t bytes) { g_budget = bytes ? bytes : kDefaultBudget; }
