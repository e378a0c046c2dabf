#include "tests/support/ndx_reader.h"
#include "tests/support/dbf_builder.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint16_t le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

}  // namespace

NdxReader::NdxReader(const std::string& path) {
    bytes_ = file_byte_vector(path);
    if (bytes_.size() < 512) {
        fault_ = "shorter than a header";
        return;
    }
    root_ = le32(&bytes_[0]);
    blocks_ = le32(&bytes_[4]);
    key_length_ = le16(&bytes_[12]);
    keys_per_block_ = le16(&bytes_[14]);
    key_type_ = le16(&bytes_[16]);
    entry_size_ = le16(&bytes_[18]);
    // Blocks past the count (a stop after the file grew, before the count did) are
    // dead space, not a fault; a count past the file is.
    if ((uint64_t)blocks_ * 512 > bytes_.size()) fault_ = "block count beyond the file";
    else if (key_length_ < 1 || key_length_ > 100 || entry_size_ < key_length_ + 8) fault_ = "bad key length";
    if (!fault_.empty()) return;
    seen_.assign(blocks_, 0);
    std::string greatest;
    if (!walk(root_, 0, &greatest)) entries_.clear();
}

const uint8_t* NdxReader::block(uint32_t n) const { return &bytes_[(size_t)n * 512]; }

int NdxReader::compare(const uint8_t* a, const uint8_t* b) const {
    if (key_type_ == 1) {
        double x, y;
        memcpy(&x, a, 8);
        memcpy(&y, b, 8);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    return memcmp(a, b, key_length_);
}

bool NdxReader::walk(uint32_t n, int depth, std::string* greatest) {
    auto fail = [&](const std::string& what) {
        if (fault_.empty()) fault_ = "block " + std::to_string(n) + ": " + what;
        return false;
    };
    if (n < 1 || n >= blocks_) return fail("outside the file");
    if (seen_[n]++) return fail("reached twice");
    if (depth > 30) return fail("too deep");
    const uint8_t* b = block(n);
    int count = le32(b) & 0xFF;
    if (count > keys_per_block_) return fail("too many entries");
    auto entry = [&](int i) { return b + 4 + i * entry_size_; };
    bool leaf = le32(entry(0)) == 0;
    if (count == 0 && n != root_) return fail("empty block below the root");
    for (int i = 1; i < count; i++)
        if (compare(entry(i - 1) + 8, entry(i) + 8) > 0) return fail("keys out of order");
    if (leaf) {
        if (leaf_depth_ < 0) leaf_depth_ = depth;
        if (depth != leaf_depth_) return fail("leaves at different depths");
        for (int i = 0; i < count; i++)
            entries_.push_back({std::string((const char*)entry(i) + 8, key_length_), le32(entry(i) + 4)});
        if (count) *greatest = std::string((const char*)entry(count - 1) + 8, key_length_);
        return true;
    }
    for (int i = 0; i <= count; i++) {
        std::string below;
        if (!walk(le32(entry(i)), depth + 1, &below)) return false;
        if (i < count && below != std::string((const char*)entry(i) + 8, key_length_))
            return fail("separator " + std::to_string(i) + " is not the greatest key of its subtree");
        if (i == count) *greatest = below;
    }
    return true;
}

uint32_t NdxReader::seek(const std::string& wanted, bool* equal) const {
    *equal = false;
    if (!ok()) return 0;
    std::string key = wanted;
    key.resize(key_length_, ' ');
    const uint8_t* k = (const uint8_t*)key.data();
    uint32_t n = root_;
    for (int depth = 0; depth <= 30; depth++) {
        const uint8_t* b = block(n);
        int count = le32(b) & 0xFF;
        auto entry = [&](int i) { return b + 4 + i * entry_size_; };
        int i = 0;
        while (i < count && compare(entry(i) + 8, k) < 0) i++;
        if (le32(entry(0)) != 0) {  // inner: the first separator at least the key
            n = le32(entry(i));
            continue;
        }
        if (i == count) return 0;  // a dBASE reader stops here: every key is smaller
        *equal = compare(entry(i) + 8, k) == 0;
        return le32(entry(i) + 4);
    }
    return 0;
}
