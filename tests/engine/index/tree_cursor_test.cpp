// Entries of compressed pages (a key stored as the bytes it shares with the key
// before it and the rest) read through the frame: a page is decoded once however
// many of its entries are read, again when its bytes change, and a damaged
// encoding shows no entries instead of bytes from outside the page.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/index/tree_cursor.h"
#include "tests/support/engine_test.h"

namespace {

const uint16_t kKey = 4;
const uint32_t kPageSize = 64;
int g_decodes = 0;

// count, then per entry: shared bytes, the other bytes, the record.
std::vector<uint8_t> page_of(const std::vector<std::pair<std::string, uint8_t>>& entries) {
    std::vector<uint8_t> p(kPageSize, 0);
    size_t at = 1;
    std::string before;
    p[0] = (uint8_t)entries.size();
    for (const auto& [key, record] : entries) {
        size_t same = 0;
        while (same < before.size() && before[same] == key[same]) same++;
        p[at++] = (uint8_t)same;
        for (size_t i = same; i < kKey; i++) p[at++] = (uint8_t)key[i];
        p[at++] = record;
        before = key;
    }
    return p;
}

bool decode(const TreeCursor*, const uint8_t* page, int count, uint8_t* keys, uint32_t* records) {
    g_decodes++;
    size_t at = 1;
    for (int i = 0; i < count; i++) {
        if (at >= kPageSize) return false;
        size_t same = page[at++];
        if (same > kKey || (i == 0 && same > 0) || at + (kKey - same) + 1 > kPageSize) return false;
        if (same) memcpy(keys + i * kKey, keys + (i - 1) * kKey, same);
        memcpy(keys + i * kKey + same, page + at, kKey - same);
        at += kKey - same;
        records[i] = page[at++];
    }
    return true;
}

class TreeCursorTest : public EngineTest {};

TEST_F(TreeCursorTest, CompressedPagesAreDecodedOnceAndOnlyWhole) {
    TreeFormat format{};
    format.count = [](const TreeCursor*, const uint8_t* page) { return (int)page[0]; };
    format.decode = decode;
    IndexFile file{};
    file.page_size = kPageSize;
    TreeCursor c{};
    c.key_length = kKey;
    ASSERT_EQ(tree_cursor_init(&c, &format, &file), XD_OK);
    std::vector<uint8_t> page = page_of({{"ABCD", 1}, {"ABCE", 2}, {"ABXY", 3}, {"QRST", 4}});
    g_decodes = 0;
    std::vector<std::string> keys;
    ASSERT_EQ(tree_count(&c, page.data()), 4);
    for (int i = 0; i < 4; i++) {
        keys.emplace_back((const char*)tree_key(&c, page.data(), i), kKey);
        EXPECT_EQ(tree_record(&c, page.data(), i), (uint32_t)i + 1);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"ABCD", "ABCE", "ABXY", "QRST"}));
    EXPECT_EQ(g_decodes, 1);
    // The same buffer with other bytes (another page read into it): decoded again.
    const std::vector<uint8_t> first = page;
    page = page_of({{"ABCD", 1}, {"ZZZZ", 9}});
    tree_page_filled(&c);
    EXPECT_EQ(tree_count(&c, page.data()), 2);
    EXPECT_EQ(std::string((const char*)tree_key(&c, page.data(), 1), kKey), "ZZZZ");
    EXPECT_EQ(g_decodes, 2);
    // The first page read again: still decoded (a search's upper levels).
    page = first;
    tree_page_filled(&c);
    EXPECT_EQ(tree_count(&c, page.data()), 4);
    EXPECT_EQ(std::string((const char*)tree_key(&c, page.data(), 3), kKey), "QRST");
    EXPECT_EQ(g_decodes, 2);
    // A count past what the bytes hold: no entries.
    page[0] = 40;
    tree_page_filled(&c);
    EXPECT_EQ(tree_count(&c, page.data()), 0);
    // Pages decoded differently from now on: decoded again.
    page = first;
    tree_page_filled(&c);
    tree_forget_decoded(&c);
    EXPECT_EQ(tree_count(&c, page.data()), 4);
    EXPECT_EQ(g_decodes, 4);
    tree_cursor_free(&c);
}

}  // namespace
