#pragma once
// An NDX reader for tests, written from the file layout alone (it shares no code
// with the engine): it walks a file as another dBASE-family program would, checks
// the tree strictly (every separator equal to the greatest key of its subtree, no
// block below the root without entries, leaves at one depth, keys in order) and
// seeks by descending through the separators.

#include <cstdint>
#include <string>
#include <vector>

struct NdxReaderEntry {
    std::string key;  // key length bytes
    uint32_t recno;
};

class NdxReader {
public:
    // Reads the whole file; `numeric` keys compare as doubles, character keys as
    // bytes (the default collation).
    explicit NdxReader(const std::string& path);
    bool ok() const { return fault_.empty(); }
    const std::string& fault() const { return fault_; }
    uint16_t key_length() const { return key_length_; }
    bool numeric() const { return key_type_ == 1; }
    // Every entry in key order (empty when the tree is faulty).
    const std::vector<NdxReaderEntry>& entries() const { return entries_; }
    // Descends by the separators to the first entry whose key is at least `key`
    // (padded to the key length): its record number, or 0 when every key is smaller.
    // *equal tells whether its key is `key`.
    uint32_t seek(const std::string& key, bool* equal) const;

private:
    int compare(const uint8_t* a, const uint8_t* b) const;
    const uint8_t* block(uint32_t n) const;
    bool walk(uint32_t n, int depth, std::string* greatest);
    std::vector<uint8_t> bytes_;
    uint32_t root_ = 0, blocks_ = 0;
    uint16_t key_length_ = 0, entry_size_ = 0, key_type_ = 0, keys_per_block_ = 0;
    int leaf_depth_ = -1;
    std::vector<uint8_t> seen_;
    std::vector<NdxReaderEntry> entries_;
    std::string fault_;
};
