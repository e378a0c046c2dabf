// The nodes of the FoxPro family's trees (see fox_node.h).

#include "engine/index/idx/fox_node.h"

#include <cstring>

#include "engine/core/byteorder.h"

namespace {

uint32_t get_be32(const uint8_t* p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }
void put_be32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// Bits needed to count 0..n.
int bits_for(uint32_t n) {
    int b = 0;
    while (n >> b) b++;
    return b ? b : 1;
}

uint32_t entry_size(const FoxKeys& k) { return k.key_length + (k.compact ? 8u : 4u); }

struct LeafLayout {
    int r, d, t, n;
};

// The layout of a new compact leaf: duplicate and trailing counts as wide as the
// key length needs, the record number in the rest of n bytes. A record number too
// large for it widens the entry by whole bytes (the node's head says how wide its
// entries are, so every reader follows).
LeafLayout leaf_layout(const FoxKeys& k, uint32_t largest_record) {
    LeafLayout l;
    l.d = l.t = bits_for(k.key_length);
    l.n = l.d == 1 ? 2 : l.d <= 5 ? 3 : 4;
    for (;;) {
        l.r = 8 * l.n - 2 * l.d;
        if (l.r > 32) l.r = 32;
        if (l.r >= 32 || largest_record <= ((1u << l.r) - 1)) return l;
        l.n++;
    }
}

// The bytes at which two runs of `n` bytes first differ (n when they do not),
// eight at a time: every leaf encoding counts them for each of its entries.
uint32_t same_bytes(const uint8_t* a, const uint8_t* b, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) i++;
    return i;
}

// The duplicate and trailing counts of `key` after `prev` (null: pad bytes).
void counts(const FoxKeys& k, const uint8_t* prev, const uint8_t* key, uint32_t dmask, uint32_t tmask, uint32_t* dup,
            uint32_t* trail) {
    const uint16_t kl = k.key_length;
    const uint32_t most = kl < dmask ? kl : dmask;
    uint32_t d;
    if (prev) {
        d = same_bytes(key, prev, most);
    } else {
        d = 0;
        while (d < most && key[d] == k.pad) d++;
    }
    uint32_t t = 0;
    while (t < tmask && d + t < kl && key[kl - 1 - t] == k.pad) t++;
    *dup = d;
    *trail = t;
}

const char* decode_compact_leaf(const FoxKeys& k, const uint8_t* page, int count, uint8_t* keys, uint32_t* records) {
    FoxLeafReader x;
    if (!fox_leaf_reader_start(&x, k, page)) return x.fault;
    if (count != x.count) return "compact leaf whose count is not its head's";
    while (fox_leaf_reader_next(&x)) {
        memcpy(keys + (size_t)x.i * k.key_length, x.key, k.key_length);
        records[x.i] = x.record;
    }
    return x.i + 1 == x.count ? nullptr : x.fault;
}

}  // namespace

uint32_t fox_child(const FoxKeys& k, const uint8_t* page, int i) {
    return get_be32(page + 12 + i * entry_size(k) + k.key_length + (k.compact ? 4 : 0));
}

const uint8_t* fox_key_in_place(const FoxKeys& k, const uint8_t* page, int i) { return page + 12 + i * entry_size(k); }

uint32_t fox_record_in_place(const FoxKeys& k, const uint8_t* page, int i) {
    return k.compact || (fox_attributes(page) & 2) ? get_be32(page + 12 + i * entry_size(k) + k.key_length) : 0;
}

int fox_interior_capacity(const FoxKeys& k) { return (int)(500 / entry_size(k)); }

void FoxNode::insert(const FoxKeys& k, int i, const uint8_t* key, uint32_t record, uint32_t child) {
    keys.insert(keys.begin() + (size_t)i * k.key_length, key, key + k.key_length);
    records.insert(records.begin() + i, record);
    if (!leaf()) children.insert(children.begin() + i, child);
    count++;
}

void FoxNode::erase(const FoxKeys& k, int i) {
    keys.erase(keys.begin() + (size_t)i * k.key_length, keys.begin() + (size_t)(i + 1) * k.key_length);
    records.erase(records.begin() + i);
    if (!leaf()) children.erase(children.begin() + i);
    count--;
}

FoxNode FoxNode::slice(const FoxKeys& k, int from, int to) const {
    FoxNode s;
    s.attributes = attributes;
    s.left = left;
    s.right = right;
    s.count = to - from;
    s.keys.assign(keys.begin() + (size_t)from * k.key_length, keys.begin() + (size_t)to * k.key_length);
    s.records.assign(records.begin() + from, records.begin() + to);
    if (!leaf()) s.children.assign(children.begin() + from, children.begin() + to);
    return s;
}

int fox_leaf_entry_bytes(const FoxKeys& k, uint32_t largest_record) { return leaf_layout(k, largest_record).n; }

int fox_leaf_stored_bytes(const FoxKeys& k, const uint8_t* prev, const uint8_t* key) {
    const LeafLayout l = leaf_layout(k, 0);
    uint32_t dup, trail;
    counts(k, prev, key, (1u << l.d) - 1, (1u << l.t) - 1, &dup, &trail);
    return k.key_length - (int)dup - (int)trail;
}

bool fox_node_decode_entries(const FoxKeys& k, const uint8_t* page, int count, uint8_t* keys, uint32_t* records) {
    const uint16_t kl = k.key_length;
    if (k.compact && (fox_attributes(page) & 2)) return decode_compact_leaf(k, page, count, keys, records) == nullptr;
    const uint32_t es = entry_size(k);
    if (12 + count * es > kFoxNode) return false;
    const bool leaf = fox_attributes(page) & 2;
    for (int i = 0; i < count; i++) {
        const uint8_t* e = page + 12 + i * es;
        memcpy(keys + (size_t)i * kl, e, kl);
        records[i] = k.compact || leaf ? get_be32(e + kl) : 0;
    }
    return true;
}

const char* fox_node_decode(const FoxKeys& k, const uint8_t* page, FoxNode* out) {
    out->attributes = fox_attributes(page);
    out->count = fox_count(page);
    out->left = get_le32(page + 4);
    out->right = get_le32(page + 8);
    if (out->attributes > 7) return "node attributes other than root, leaf and FoxPro's mark 4";
    const int count = out->count;
    if (!out->leaf() || !k.compact) {
        if (12 + count * entry_size(k) > kFoxNode) return "node whose key count overflows it";
    }
    out->keys.resize((size_t)count * k.key_length);
    out->records.resize((size_t)count);
    out->children.clear();
    if (k.compact && out->leaf()) {
        if (const char* why = decode_compact_leaf(k, page, count, out->keys.data(), out->records.data())) return why;
        return nullptr;
    }
    fox_node_decode_entries(k, page, count, out->keys.data(), out->records.data());
    if (!out->leaf())
        for (int i = 0; i < count; i++) out->children.push_back(fox_child(k, page, i));
    return nullptr;
}

namespace {

uint32_t largest_record(const FoxNode& node) {
    uint32_t largest = 0;
    for (uint32_t r : node.records) largest = r > largest ? r : largest;
    return largest;
}

// A compact leaf's entries from `from` on, their key bytes below `end` (where the
// entries before leave off), then the free bytes zeroed and the leaf's head
// after its first 12 bytes: false when they do not fit.
bool encode_leaf_entries(const FoxKeys& k, const FoxNode& node, const LeafLayout& l, int from, int end, uint8_t* page) {
    const uint16_t kl = k.key_length;
    const uint32_t dmask = (1u << l.d) - 1, tmask = (1u << l.t) - 1;
    const uint8_t* prev = from > 0 ? node.key(k, from - 1) : nullptr;
    for (int i = from; i < node.count; i++) {
        const uint8_t* key = node.key(k, i);
        uint32_t dup, trail;
        counts(k, prev, key, dmask, tmask, &dup, &trail);
        const int stored = kl - (int)dup - (int)trail;
        end -= stored;
        if (end < 24 + (i + 1) * l.n) return false;
        memcpy(page + end, key + dup, (size_t)stored);
        uint64_t v = (uint64_t)node.records[(size_t)i] | (uint64_t)dup << l.r | (uint64_t)trail << (l.r + l.d);
        for (int b = 0; b < l.n; b++) page[24 + i * l.n + b] = (uint8_t)(v >> (8 * b));
        prev = key;
    }
    const int entries_end = 24 + node.count * l.n, free_bytes = end - entries_end;
    if (free_bytes < 0) return false;
    memset(page + entries_end, 0, (size_t)free_bytes);
    put_le16(page + 12, (uint16_t)free_bytes);
    put_le32(page + 14, l.r >= 32 ? 0xFFFFFFFFu : (1u << l.r) - 1);
    page[18] = (uint8_t)dmask;
    page[19] = (uint8_t)tmask;
    page[20] = (uint8_t)l.r;
    page[21] = (uint8_t)l.d;
    page[22] = (uint8_t)l.t;
    page[23] = (uint8_t)l.n;
    return true;
}

}  // namespace

bool fox_node_encode(const FoxKeys& k, const FoxNode& node, uint8_t* page) {
    memset(page, 0, kFoxNode);
    put_le16(page, node.attributes);
    put_le16(page + 2, (uint16_t)node.count);
    put_le32(page + 4, node.left);
    put_le32(page + 8, node.right);
    const uint16_t kl = k.key_length;
    if (!(k.compact && node.leaf())) {
        const uint32_t es = entry_size(k);
        if (12 + node.count * es > kFoxNode) return false;
        for (int i = 0; i < node.count; i++) {
            uint8_t* e = page + 12 + i * es;
            memcpy(e, node.key(k, i), kl);
            if (!node.leaf()) {
                if (k.compact) put_be32(e + kl, node.records[(size_t)i]);
                put_be32(e + kl + (k.compact ? 4 : 0), node.children[(size_t)i]);
            } else {
                put_be32(e + kl, node.records[(size_t)i]);
            }
        }
        return true;
    }
    return encode_leaf_entries(k, node, leaf_layout(k, largest_record(node)), 0, kFoxNode, page);
}

namespace {

uint64_t leaf_entry_value(const uint8_t* page, const LeafLayout& l, int i) {
    uint64_t v = 0;
    for (int b = l.n - 1; b >= 0; b--) v = v << 8 | page[24 + i * l.n + b];
    return v;
}

void put_leaf_entry_value(uint8_t* page, const LeafLayout& l, int i, uint64_t v) {
    for (int b = 0; b < l.n; b++) page[24 + i * l.n + b] = (uint8_t)(v >> (8 * b));
}

int stored_of(const FoxKeys& k, const LeafLayout& l, uint64_t v) {
    return k.key_length - (int)((v >> l.r) & ((1ull << l.d) - 1)) - (int)((v >> (l.r + l.d)) & ((1ull << l.t) - 1));
}

}  // namespace

namespace {

void put_head(const FoxNode& node, uint8_t* page) {
    put_le16(page, node.attributes);
    put_le16(page + 2, (uint16_t)node.count);
    put_le32(page + 4, node.left);
    put_le32(page + 8, node.right);
}

}  // namespace

bool fox_node_encode_after(const FoxKeys& k, const FoxNode& node, int from, uint8_t* page) {
    if (!k.compact || !node.leaf() || !(fox_attributes(page) & 2) || from < 0 || from > node.count ||
        from > fox_count(page))
        return false;
    // An entry inserted before others: those after it move as they are.
    if (node.count == fox_count(page) + 1 && from + 1 < node.count) {
        if (!fox_leaf_insert(k, page, from, node.key(k, from), node.records[(size_t)from])) return false;
        put_head(node, page);
        return true;
    }
    const LeafLayout l = leaf_layout(k, largest_record(node));
    if (page[20] != l.r || page[21] != l.d || page[22] != l.t || page[23] != l.n) return false;
    // Where the key bytes of the entries kept end: each entry's stored bytes, from
    // its counts.
    int end = kFoxNode;
    for (int i = 0; i < from; i++) end -= stored_of(k, l, leaf_entry_value(page, l, i));
    if (end < 24 + from * l.n || end > (int)kFoxNode) return false;
    put_head(node, page);
    return encode_leaf_entries(k, node, l, from, end, page);
}

uint32_t fox_same_bytes(const uint8_t* a, const uint8_t* b, uint32_t n) { return same_bytes(a, b, n); }

bool fox_leaf_reader_start(FoxLeafReader* reader, const FoxKeys& k, const uint8_t* page) {
    FoxLeafReader& x = *reader;
    x.k = &k;
    x.page = page;
    x.r = page[20];
    x.d = page[21];
    x.t = page[22];
    x.n = page[23];
    x.count = fox_count(page);
    x.i = -1;
    x.end = x.end_before = kFoxNode;
    x.record = 0;
    memset(x.keys[1], k.pad, k.key_length);  // the first key shares pad bytes
    x.key = x.keys[1];
    x.before = x.keys[0];
    x.dup = 0;
    x.fault = nullptr;
    if (x.n < 1 || x.n > 8 || x.r < 1 || x.r > 32 || x.d < 1 || x.t < 1 || x.r + x.d + x.t > 8 * x.n) {
        x.fault = "compact leaf with an impossible bit layout";
        return false;
    }
    x.rmask = (1ull << x.r) - 1;
    x.dmask = (1ull << x.d) - 1;
    x.tmask = (1ull << x.t) - 1;
    x.pad_word = 0x0101010101010101ull * k.pad;
    x.floor = 24 + x.count * x.n;
    if (x.floor > (int)kFoxNode) x.fault = "compact leaf whose entries overflow the node";
    return !x.fault;
}

bool fox_leaf_reader_next(FoxLeafReader* reader) {
    FoxLeafReader& x = *reader;
    if (x.i + 1 >= x.count) return false;
    const uint16_t kl = x.k->key_length;
    const uint8_t* e = x.page + 24 + (x.i + 1) * x.n;
    // The entry word by one load where 8 bytes stay inside the node (its upper
    // bytes, another entry's, fall outside the three fields).
    const uint64_t v = e + 8 <= x.page + kFoxNode ? get_le64(e) : leaf_entry_value(x.page, LeafLayout{x.r, x.d, x.t, x.n}, x.i + 1);
    const uint32_t dup = (uint32_t)((v >> x.r) & x.dmask), trail = (uint32_t)((v >> (x.r + x.d)) & x.tmask);
    if (dup + trail > kl) {
        x.fault = "compact leaf entry with more shared and trailing bytes than the key";
        return false;
    }
    const int stored = kl - (int)dup - (int)trail;
    if (x.end - stored < x.floor) {
        x.fault = "compact leaf whose key bytes run into its entries";
        return false;
    }
    x.i++;
    x.end_before = x.end;
    x.end -= stored;
    const uint8_t* prev = x.key;
    uint8_t* out = prev == x.keys[0] ? x.keys[1] : x.keys[0];
    // By words: the buffers have 8 bytes to spare, and the page's bytes are read
    // by words only where they stay inside it.
    for (uint32_t j = 0; j < dup; j += 8) memcpy(out + j, prev + j, 8);
    if (x.end + stored + 7 < (int)kFoxNode) {
        for (int j = 0; j < stored; j += 8) memcpy(out + dup + j, x.page + x.end + j, 8);
    } else {
        memcpy(out + dup, x.page + x.end, (size_t)stored);
    }
    for (uint32_t j = 0; j < trail; j += 8) memcpy(out + dup + stored + j, &x.pad_word, 8);
    x.before = prev;
    x.key = out;
    x.record = (uint32_t)(v & x.rmask);
    x.dup = dup;
    return true;
}

bool fox_leaf_insert(const FoxKeys& k, uint8_t* page, int at, const uint8_t* key, uint32_t record,
                     const FoxLeafReader* read) {
    const uint16_t kl = k.key_length;
    FoxLeafReader x;
    if (read && read->page == page && read->i == at) {
        x = *read;
        // The copy's key pointers are to be its own buffers.
        x.key = x.keys[read->key == read->keys[0] ? 0 : 1];
        x.before = x.keys[read->key == read->keys[0] ? 1 : 0];
    } else {
        if (!k.compact || !(fox_attributes(page) & 2) || !fox_leaf_reader_start(&x, k, page) || at < 0 || at >= x.count)
            return false;
        while (x.i < at)
            if (!fox_leaf_reader_next(&x)) return false;
    }
    if (at < 0 || at >= x.count) return false;
    // The layout the leaf takes with the new record must be the one it has: the
    // layout the largest record needs. When the new record alone needs it, so
    // does the largest (the others fit in it).
    const LeafLayout l{x.r, x.d, x.t, x.n};
    const auto same_layout = [&](const LeafLayout& w) { return w.r == l.r && w.d == l.d && w.t == l.t && w.n == l.n; };
    const bool known = same_layout(leaf_layout(k, record));
    uint32_t largest = record;
    // The entries after the place keep their stored bytes, which end at `tail_low`.
    const int end = x.end_before, next_end = x.end;
    int tail_low = next_end;
    const uint64_t rmask = (1ull << l.r) - 1, dmask64 = (1ull << l.d) - 1, tmask64 = (1ull << l.t) - 1;
    const uint64_t nmask = l.n == 8 ? ~0ull : (1ull << (8 * l.n)) - 1;
    for (int i = known ? at + 1 : 0; i < x.count; i++) {
        const uint8_t* e = page + 24 + i * l.n;
        const uint64_t v = e + 8 <= page + kFoxNode ? get_le64(e) & nmask : leaf_entry_value(page, l, i);
        const uint32_t r = (uint32_t)(v & rmask);
        largest = r > largest ? r : largest;
        if (i <= at) continue;
        const int shared = (int)((v >> l.r) & dmask64) + (int)((v >> (l.r + l.d)) & tmask64);
        if (shared > k.key_length) return false;  // damaged: the full decode says so
        tail_low -= k.key_length - shared;
    }
    if (!known && !same_layout(leaf_layout(k, largest))) return false;
    if (tail_low < 24 + x.count * l.n) return false;
    const uint32_t dmask = (1u << l.d) - 1, tmask = (1u << l.t) - 1;
    uint32_t dup[2], trail[2];
    counts(k, at > 0 ? x.before : nullptr, key, dmask, tmask, &dup[0], &trail[0]);
    counts(k, key, x.key, dmask, tmask, &dup[1], &trail[1]);
    const int stored[2] = {kl - (int)dup[0] - (int)trail[0], kl - (int)dup[1] - (int)trail[1]};
    const int new_next_end = end - stored[0] - stored[1];
    const int new_low = tail_low - (next_end - new_next_end);
    const int entries_end = 24 + (x.count + 1) * l.n;
    if (new_low < entries_end) return false;
    // The key bytes after the place first: moved down they stay above the entry
    // words as those grow; moved up they leave the entry words' new place free.
    memmove(page + new_low, page + tail_low, (size_t)(next_end - tail_low));
    memmove(page + 24 + (at + 2) * l.n, page + 24 + (at + 1) * l.n, (size_t)(x.count - at - 1) * l.n);
    const uint8_t* keys[2] = {key, x.key};
    const uint32_t records[2] = {record, x.record};
    int place = end;
    for (int j = 0; j < 2; j++) {
        place -= stored[j];
        memcpy(page + place, keys[j] + dup[j], (size_t)stored[j]);
        put_leaf_entry_value(page, l, at + j, (uint64_t)records[j] | (uint64_t)dup[j] << l.r | (uint64_t)trail[j] << (l.r + l.d));
    }
    memset(page + entries_end, 0, (size_t)(new_low - entries_end));
    put_le16(page + 2, (uint16_t)(x.count + 1));
    put_le16(page + 12, (uint16_t)(new_low - entries_end));
    return true;
}
