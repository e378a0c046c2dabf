#pragma once
// The 512-byte nodes of the FoxPro family's trees (IDX files, and every tag of a
// CDX file), decoded into plain entries and encoded back.
//
// Node head (12 bytes, little-endian): u16 attributes (bit 0 root, bit 1 leaf; bit 2
// is set in the compact leaves of some FoxPro files and kept as found),
// u16 number of keys, u32 left sibling, u32 right sibling (-1: none). Then:
//   - standard layout, leaf and interior: entries of key length + 4 bytes, the key
//     then a big-endian u32 (record number in a leaf, child offset inside);
//   - compact layout, interior: entries of key length + 8 bytes, the key, the
//     big-endian record number of that key, the big-endian child offset;
//   - compact layout, leaf: at 12 u16 free bytes, u32 record mask, u8 duplicate
//     mask, u8 trailing mask, u8 r, u8 d, u8 t (their bit widths), u8 n (bytes per
//     entry); from 24 one n-byte little-endian integer per key (record number in
//     the low r bits, then the duplicate count in d bits, the trailing count in t
//     bits); the stored bytes of the keys from the end of the node downwards, the
//     first key's ending at 512.
// A compact key is its first `duplicate` bytes taken from the key before it (a key
// of pad bytes before the first), its stored bytes, then `trailing` pad bytes. The
// trailing bytes are pad bytes and not the key before's: the files FoxPro-family
// programs write show it ("LNAME" stored after "AGENAME" with 5 trailing blanks).
// In every interior node an entry's key (and record) is the greatest of the
// subtree it points to.

#include <cstddef>
#include <cstdint>
#include <vector>

struct FoxKeys {
    bool compact;
    uint16_t key_length;  // 1..240
    uint8_t pad;          // blank for character keys, 0 for the binary ones
};

const uint32_t kFoxNode = 512;
const uint32_t kFoxNone = 0xFFFFFFFFu;  // no sibling

struct FoxNode {
    uint16_t attributes = 0;
    uint32_t left = kFoxNone, right = kFoxNone;
    int count = 0;
    std::vector<uint8_t> keys;       // count x key length
    std::vector<uint32_t> records;   // 0 in standard interior nodes
    std::vector<uint32_t> children;  // interior nodes

    bool leaf() const { return attributes & 2; }
    const uint8_t* key(const FoxKeys& k, int i) const { return keys.data() + (size_t)i * k.key_length; }
    void insert(const FoxKeys& k, int i, const uint8_t* key, uint32_t record, uint32_t child);
    void erase(const FoxKeys& k, int i);
    // Entries [from, to) as a node of their own (head fields copied).
    FoxNode slice(const FoxKeys& k, int from, int to) const;
};

// The entries one interior node holds.
int fox_interior_capacity(const FoxKeys& k);

// Decodes a node: null, or what is wrong with it.
const char* fox_node_decode(const FoxKeys& k, const uint8_t* page, FoxNode* out);
// Only the keys and records (the walk's view): false when damaged.
bool fox_node_decode_entries(const FoxKeys& k, const uint8_t* page, int count, uint8_t* keys, uint32_t* records);
// Encodes a node into 512 bytes: false when its entries do not fit.
bool fox_node_encode(const FoxKeys& k, const FoxNode& node, uint8_t* page);
// The same bytes for a compact leaf whose entries before `from` are those `page`
// already encodes (an entry inserted at `from`): only the entries from there on
// are encoded again. False, the page then undefined, when the leaf's bit layout
// changes or its entries do not fit (fox_node_encode decides then).
bool fox_node_encode_after(const FoxKeys& k, const FoxNode& node, int from, uint8_t* page);

// A compact leaf's entries read one after another, each key rebuilt whole (the
// one before kept too): a search stops at its place with nothing past it
// decoded, and an insert there needs no more.
struct FoxLeafReader {
    const FoxKeys* k;
    const uint8_t* page;
    int r, d, t, n, count;
    uint64_t rmask, dmask, tmask, pad_word;
    int floor;  // where the entry words end: no key byte below
    int i;        // the entry read last (-1: none yet)
    int end;      // where the stored bytes of the entries read so far begin
    int end_before;  // and where those before it begin
    uint32_t record;
    uint32_t dup;  // entry i's bytes shared with the key before it
    const uint8_t* key;     // entry i's key
    const uint8_t* before;  // entry i - 1's (pad bytes before the first)
    uint8_t keys[2][256 + 8];  // the two, taking turns (8 bytes to spare: copies go by words)
    const char* fault;         // what is damaged, when a step or the start failed on it
};
// False when the leaf's layout is damaged (fox_node_decode says how).
bool fox_leaf_reader_start(FoxLeafReader* reader, const FoxKeys& k, const uint8_t* page);
// The next entry: false past the last, or when its counts are damaged.
bool fox_leaf_reader_next(FoxLeafReader* reader);

// Inserts (key, record) into the compact leaf `page` before its entry `at`
// (which it has: an insert at the end changes what the parent says, and goes
// through a FoxNode), as fox_node_encode would encode the leaf with it: false,
// the page unchanged, when the leaf's bit layout changes, the entries no longer
// fit or the leaf is damaged.
// `read`, when given, is a reader of the page standing on entry `at`.
bool fox_leaf_insert(const FoxKeys& k, uint8_t* page, int at, const uint8_t* key, uint32_t record,
                     const FoxLeafReader* read = nullptr);

// The bytes at which two keys first differ (n when they do not).
uint32_t fox_same_bytes(const uint8_t* a, const uint8_t* b, uint32_t n);

// Building compact leaves in order: the bytes an entry of a leaf takes (its n, for
// record numbers up to `largest_record`), and the bytes `key` stores after `prev`
// (null: the leaf's first key), as fox_node_encode encodes them.
int fox_leaf_entry_bytes(const FoxKeys& k, uint32_t largest_record);
int fox_leaf_stored_bytes(const FoxKeys& k, const uint8_t* prev, const uint8_t* key);
// The room of a compact leaf for entries and key bytes.
const int kFoxLeafRoom = 488;

inline uint16_t fox_attributes(const uint8_t* page) { return (uint16_t)(page[0] | page[1] << 8); }
inline int fox_count(const uint8_t* page) { return page[2] | page[3] << 8; }
// Child i of an interior node, read in place.
uint32_t fox_child(const FoxKeys& k, const uint8_t* page, int i);
// Whether a node's entries are read in place (all but compact leaves), and
// entry i's key and record so read (0: a standard interior entry's).
inline bool fox_in_place(const FoxKeys& k, const uint8_t* page) { return !(k.compact && (fox_attributes(page) & 2)); }
const uint8_t* fox_key_in_place(const FoxKeys& k, const uint8_t* page, int i);
uint32_t fox_record_in_place(const FoxKeys& k, const uint8_t* page, int i);
