// The IDX format's own rules: the new files' bytes, the edge positions of seeks,
// the key forms' byte order, the shape of a first split and of an emptied tree,
// the free list taken before the file grows, the longest expression, and record
// numbers too large for a compact leaf's usual bit layout.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/engine.h"
#include "engine/index/idx/idx.h"
#include "engine/index/idx/fox_node.h"
#include "tests/support/engine_test.h"
#include "tests/support/dbf_builder.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bytes_of(const std::string& name) { return file_byte_vector(name); }

uint32_t be32(const uint8_t* p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }

class IdxFormatTest : public EngineTest {
protected:
    std::string path(const char* name) { return dir_ + "/" + name; }
    int16_t open(const std::string& name, char type = 'C') {
        int16_t h = -1;
        EXPECT_GE(idx_open(&h, name.c_str(), 0), 0);
        EXPECT_EQ(idx_set_key_type(h, type), XD_OK);
        return h;
    }
    std::string text(const char* s, size_t length) {
        std::string k = s;
        k.resize(length, ' ');
        return k;
    }
    uint32_t check(int16_t h) {
        xdb_set_status(XD_OK);  // a warning or refusal before it is no part of the check
        char fault[200] = {0};
        uint32_t entries = 0;
        EXPECT_EQ(idx_check(h, &entries, fault, sizeof fault, nullptr, nullptr), XD_OK) << fault;
        return entries;
    }
};

TEST_F(IdxFormatTest, NewFilesAreEmptyRootLeaves) {
    ASSERT_EQ(idx_create(path("s.idx").c_str(), 'C', "upper( name )", 10), XD_OK);
    ASSERT_EQ(idx_create(path("c.idx").c_str(), 'C' | IDX_COMPACT | IDX_DESCENDING, "NAME", 10), XD_OK);
    std::vector<uint8_t> s = bytes_of(path("s.idx")), c = bytes_of(path("c.idx"));
    ASSERT_EQ(s.size(), 1024u);
    ASSERT_EQ(c.size(), 1536u);
    EXPECT_EQ(get_le32(s.data()), 512u);
    EXPECT_EQ(get_le32(s.data() + 4), 0xFFFFFFFFu);
    EXPECT_EQ(get_le32(s.data() + 8), 1024u);
    EXPECT_EQ(get_le16(s.data() + 12), 10);
    EXPECT_STREQ((const char*)s.data() + 16, "UPPER(NAME)");
    EXPECT_EQ(get_le16(s.data() + 512), 3);      // root and leaf
    EXPECT_EQ(get_le32(s.data() + 516), 0xFFFFFFFFu);
    EXPECT_EQ(get_le32(c.data()), 1024u);
    EXPECT_EQ(c[14], 0x20);
    EXPECT_EQ(get_le16(c.data() + 502), 1);
    EXPECT_EQ(get_le16(c.data() + 504), 5);
    EXPECT_EQ(get_le16(c.data() + 506), 1);
    EXPECT_EQ(get_le16(c.data() + 510), 5);
    EXPECT_STREQ((const char*)c.data() + 512, "NAME");
    const uint8_t* leaf = c.data() + 1024;
    EXPECT_EQ(get_le16(leaf), 3);
    EXPECT_EQ(get_le16(leaf + 12), 488);  // free bytes
    EXPECT_EQ(leaf[20] + leaf[21] + leaf[22], 8 * leaf[23]);  // key length 10: d = t = 4, n = 3, r = 16
    EXPECT_EQ(leaf[21], 4);
    EXPECT_EQ(leaf[23], 3);
    for (const char* name : {"s.idx", "c.idx"}) {
        int16_t h = open(path(name));
        uint8_t key[16];
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_first(h, key, &recno), XD_EMPTYFILE);
        EXPECT_EQ(idx_seek(h, key, 1, &recno, 0), XD_EMPTYFILE);
        IdxInfo info;
        xdb_set_status(XD_OK);
        ASSERT_EQ(idx_info(h, &info), XD_OK);
        EXPECT_EQ(info.flags, std::string(name) == "c.idx" ? 0x500 : 0);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_close(h), XD_OK);
    }
}

// The standard header holds the expression and its terminator in 220 bytes: the
// longest expression both create and open accept is 219 characters.
TEST_F(IdxFormatTest, CreateRefusesWhatTheFormatCannotHold) {
    EXPECT_EQ(idx_create(path("a.idx").c_str(), 'C', std::string(219, 'A').c_str(), 10), XD_OK);
    xdb_set_status(XD_OK);
    EXPECT_EQ(idx_create(path("b.idx").c_str(), 'C', (std::string(220, 'A') + "  ").c_str(), 10), XD_BADKEYEXPR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(idx_create(path("b.idx").c_str(), 'C', std::string(221, 'A').c_str(), 10), XD_BADKEYEXPR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(idx_create(path("b.idx").c_str(), 'C', "K", 101), XD_BADKEYSIZE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(idx_create(path("b.idx").c_str(), 'C', "K", 0), XD_BADKEYSIZE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(idx_create(path("b.idx").c_str(), 'X', "K", 8), XD_BADKEYTYPE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(idx_create("", 'C', "K", 8), XD_BADFILENAME);
    xdb_set_status(XD_OK);
    EXPECT_FALSE(fs::exists(path("b.idx")));
    int16_t h = open(path("a.idx"));
    EXPECT_EQ(idx_close(h), XD_OK);
}

// Seeks: a prefix finds the first key beginning with it; past every key the last
// key and XD_KEYNOTFOUND; before every key the first and XD_KEYNOTFOUNDEND;
// resynchronising needs the whole key and the record.
TEST_F(IdxFormatTest, SeeksAtTheEdges) {
    for (uint16_t layout : {(uint16_t)0, IDX_COMPACT}) {
        const std::string name = path(layout ? "c.idx" : "s.idx");
        ASSERT_EQ(idx_create(name.c_str(), (uint16_t)('C' | layout), "K", 6), XD_OK);
        int16_t h = open(name);
        const char* keys[] = {"AA", "ABC", "ABD", "B"};
        for (uint32_t i = 0; i < 4; i++) ASSERT_EQ(idx_add_key(h, keys[i], (uint16_t)strlen(keys[i]), i + 1), XD_OK);
        uint8_t key[16] = {0};
        uint32_t recno = 0;
        memcpy(key, "AB", 2);
        EXPECT_EQ(idx_seek(h, key, 2, &recno, 0), XD_OK);
        EXPECT_EQ(recno, 2u);
        EXPECT_EQ(std::string((char*)key), text("ABC", 6));
        memcpy(key, "C", 2);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_seek(h, key, 1, &recno, 0), XD_KEYNOTFOUND);
        EXPECT_EQ(recno, 4u);
        memcpy(key, "A", 2);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_seek(h, key, 1, &recno, 0), XD_OK);
        EXPECT_EQ(recno, 1u);
        memcpy(key, "0", 2);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_seek(h, key, 1, &recno, 0), XD_KEYNOTFOUNDEND);
        EXPECT_EQ(recno, 1u);
        std::string whole = text("ABD", 6);
        memcpy(key, whole.data(), 6);
        recno = 3;
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_resync(h, key, &recno), XD_OK);
        memcpy(key, "AB    ", 6);
        recno = 3;
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_resync(h, key, &recno), XD_KEYNOTFOUND);
        memcpy(key, whole.data(), 6);
        recno = 2;
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_resync(h, key, &recno), XD_KEYNOTFOUND);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_delete_key(h, "ZZ", 2, 9), XD_KEYNOTFOUND);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_add_key(h, "B", 1, 4), XD_EXISTS);
        EXPECT_EQ(check(h), 4u);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_close(h), XD_OK);
    }
}

// Numbers and dates sort byte by byte: -1, 0, 1; the blank date before every date.
TEST_F(IdxFormatTest, KeyFormsSortAsBytes) {
    uint8_t minus[8], zero[8], negative_zero[8], one[8], big[8];
    idx_number_key(-1, minus);
    idx_number_key(0, zero);
    idx_number_key(-0.0, negative_zero);
    idx_number_key(1, one);
    idx_number_key(1e300, big);
    EXPECT_LT(memcmp(minus, zero, 8), 0);
    EXPECT_LT(memcmp(zero, one, 8), 0);
    EXPECT_LT(memcmp(one, big, 8), 0);
    EXPECT_EQ(memcmp(zero, negative_zero, 8), 0);
    EXPECT_EQ(idx_key_number(minus), -1.0);
    EXPECT_EQ(idx_key_number(big), 1e300);
    uint8_t blank[8], early[8], later[8];
    idx_date_key(0, 0, 0, blank);
    idx_date_key(1, 1, 1, early);
    idx_date_key(2024, 2, 29, later);
    const uint8_t want_blank[8] = {0x80, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(blank, want_blank, 8), 0);
    EXPECT_LT(memcmp(blank, early, 8), 0);
    EXPECT_LT(memcmp(early, later, 8), 0);
    int y = 0, m = 0, d = 0;
    ASSERT_TRUE(idx_key_date(later, &y, &m, &d));
    EXPECT_EQ(y * 10000 + m * 100 + d, 20240229);
    EXPECT_FALSE(idx_key_date(blank, &y, &m, &d));
    EXPECT_EQ(idx_key_number(later), 2460370.0);  // the day's Julian day number
}

// The (M + 1)-th key of a full root leaf: a new left leaf of M - M/2 + 1 keys, the
// old leaf keeping M/2, and a new root of two entries; the leaves linked.
TEST_F(IdxFormatTest, TheFirstSplitOfAStandardRoot) {
    const std::string name = path("s.idx");
    ASSERT_EQ(idx_create(name.c_str(), 'C', "K", 96), XD_OK);  // entries of 100 bytes: M = 5
    int16_t h = open(name);
    for (uint32_t i = 1; i <= 6; i++) {
        std::string k = text(("K" + std::to_string(i)).c_str(), 96);
        ASSERT_EQ(idx_add_key(h, k.data(), 96, i), XD_OK);
    }
    EXPECT_EQ(idx_close(h), XD_OK);
    std::vector<uint8_t> b = bytes_of(name);
    ASSERT_EQ(b.size(), 2048u);
    const uint32_t root = get_le32(b.data());
    ASSERT_EQ(root, 1536u);
    const uint8_t* r = b.data() + root;
    EXPECT_EQ(get_le16(r), 1);
    ASSERT_EQ(get_le16(r + 2), 2);
    const uint32_t left = be32(r + 12 + 96), right = be32(r + 12 + 100 + 96);
    EXPECT_EQ(left, 1024u);
    EXPECT_EQ(right, 512u);
    EXPECT_EQ(get_le16(b.data() + left + 2), 4);   // M - floor(M / 2) + 1
    EXPECT_EQ(get_le16(b.data() + right + 2), 2);  // floor(M / 2)
    EXPECT_EQ(get_le16(b.data() + left), 2);
    EXPECT_EQ(get_le32(b.data() + left + 8), 512u);
    EXPECT_EQ(get_le32(b.data() + right + 4), 1024u);
}

// Deleting every key of a tree of several levels frees its nodes and leaves an
// empty root leaf; the next adds take the freed blocks before the file grows.
TEST_F(IdxFormatTest, AnEmptiedTreeFreesItsNodesAndTakesThemAgain) {
    for (uint16_t layout : {(uint16_t)0, IDX_COMPACT}) {
        const std::string name = path(layout ? "c.idx" : "s.idx");
        ASSERT_EQ(idx_create(name.c_str(), (uint16_t)('C' | layout), "K", 100), XD_OK);
        int16_t h = open(name);
        std::vector<std::string> keys;
        for (uint32_t i = 0; i < 60; i++) {
            char k[64];  // 40 bytes that differ early: a few keys a compact leaf
            snprintf(k, sizeof k, "%c%04u%08x%08x%08x%07u", 'A' + i % 7, i * 37 % 1000, i * 2654435761u, i * 40503u,
                     i * 2246822519u, i);
            keys.push_back(text(k, 100));
            ASSERT_EQ(idx_add_key(h, keys.back().data(), 100, i + 1), XD_OK);
        }
        EXPECT_EQ(check(h), 60u);
        const uintmax_t grown = fs::file_size(name);
        for (uint32_t i = 0; i < 60; i++) ASSERT_EQ(idx_delete_key(h, keys[i].data(), 100, i + 1), XD_OK) << i;
        EXPECT_EQ(check(h), 0u);
        IdxInfo info;
        ASSERT_EQ(idx_info(h, &info), XD_OK);
        EXPECT_NE(info.free_head, 0u);
        uint8_t key[128];
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_first(h, key, &recno), XD_EMPTYFILE);
        xdb_set_status(XD_OK);
        for (uint32_t i = 0; i < 60; i++) ASSERT_EQ(idx_add_key(h, keys[i].data(), 100, i + 1), XD_OK);
        EXPECT_EQ(check(h), 60u);
        EXPECT_EQ(fs::file_size(name), grown);
        xdb_set_status(XD_OK);
        EXPECT_EQ(idx_close(h), XD_OK);
    }
}

// Record numbers beyond what a compact leaf's usual layout holds (16 bits for keys
// of 8 bytes) widen its entries by whole bytes; the leaf's head says so.
TEST_F(IdxFormatTest, LargeRecordNumbersWidenCompactEntries) {
    const std::string name = path("c.idx");
    ASSERT_EQ(idx_create(name.c_str(), 'C' | IDX_COMPACT, "K", 8), XD_OK);
    int16_t h = open(name);
    const uint32_t records[] = {1, 65535, 65536, 16777216, 0xFFFFFFFEu};
    for (uint32_t r : records) ASSERT_EQ(idx_add_key(h, "SAME", 4, r), XD_OK);
    EXPECT_EQ(check(h), 5u);
    uint8_t key[16] = {0};
    uint32_t recno = 0;
    size_t n = 0;
    for (XDSTATUS s = idx_first(h, key, &recno); s == XD_OK; s = idx_next(h, key, &recno)) EXPECT_EQ(recno, records[n++]);
    EXPECT_EQ(n, 5u);
    xdb_set_status(XD_OK);
    EXPECT_EQ(idx_close(h), XD_OK);
    std::vector<uint8_t> b = bytes_of(name);
    EXPECT_EQ(b[1024 + 23], 5);  // 32 bits of record and 4 + 4 of counts
    EXPECT_EQ(b[1024 + 20], 32);
}

// Damaged nodes give a status, never a crash: counts past the node, impossible bit
// layouts, children outside the file.
TEST_F(IdxFormatTest, DamagedNodesGiveAStatus) {
    const std::string name = path("c.idx");
    ASSERT_EQ(idx_create(name.c_str(), 'C' | IDX_COMPACT, "K", 10), XD_OK);
    int16_t h = open(name);
    for (uint32_t i = 1; i <= 200; i++) {
        std::string k = text(std::to_string(i * 7919 % 1000).c_str(), 10);
        ASSERT_EQ(idx_add_key(h, k.data(), 10, i), XD_OK);
    }
    EXPECT_EQ(idx_close(h), XD_OK);
    const std::vector<uint8_t> good = bytes_of(name);
    const uint32_t root = get_le32(good.data());
    struct Damage {
        uint32_t offset;
        uint8_t value;
    };
    const uint32_t leaf = be32(good.data() + root + 12 + 10 + 4);
    const Damage damages[] = {{root + 2, 0xFF}, {leaf + 2, 0xFF}, {leaf + 23, 9}, {leaf + 20, 40},
                              {root + 12 + 10 + 4, 0x7F}, {leaf + 24 + 2, 0xFF}, {leaf, 7}};
    for (const Damage& d : damages) {
        std::vector<uint8_t> bad = good;
        bad[d.offset] = d.value;
        std::ofstream(name, std::ios::binary | std::ios::trunc).write((const char*)bad.data(), (std::streamsize)bad.size());
        h = open(name);
        char fault[200] = {0};
        uint32_t entries = 0;
        EXPECT_EQ(idx_check(h, &entries, fault, sizeof fault, nullptr, nullptr), XD_CORRUPT) << d.offset;
        uint8_t key[16] = {0};
        uint32_t recno = 0;
        XDSTATUS s = idx_first(h, key, &recno);
        for (int i = 0; s == XD_OK && i < 300; i++) s = idx_next(h, key, &recno);
        memcpy(key, "5", 2);
        idx_seek(h, key, 1, &recno, 0);
        idx_add_key(h, "123", 3, 999);
        xdb_set_status(XD_OK);
        idx_close(h);
        xdb_set_status(XD_OK);
    }
}

}  // namespace
