// The FoxPro family's nodes round-trip through their encoding: compact leaves of
// keys with leading pad bytes, all-equal keys, keys differing only in their last
// byte, record numbers at each bit width's limit, every key length; standard and
// compact interior nodes; a node too full for its entries is refused, not cut.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/index/idx/fox_node.h"

namespace {

FoxNode leaf_of(const FoxKeys& k, const std::vector<std::string>& keys, const std::vector<uint32_t>& records) {
    FoxNode n;
    n.attributes = 2;
    for (size_t i = 0; i < keys.size(); i++) {
        std::string key = keys[i];
        key.resize(k.key_length, (char)k.pad);
        n.insert(k, (int)i, (const uint8_t*)key.data(), records[i], 0);
    }
    return n;
}

void expect_round_trip(const FoxKeys& k, const FoxNode& n, const char* what) {
    uint8_t page[kFoxNode];
    ASSERT_TRUE(fox_node_encode(k, n, page)) << what;
    FoxNode back;
    ASSERT_EQ(fox_node_decode(k, page, &back), nullptr) << what;
    EXPECT_EQ(back.count, n.count) << what;
    EXPECT_EQ(back.keys, n.keys) << what;
    EXPECT_EQ(back.records, n.records) << what;
    EXPECT_EQ(back.children, n.children) << what;
    EXPECT_EQ(back.attributes, n.attributes) << what;
}

TEST(FoxNodeTest, CompactLeavesRoundTrip) {
    std::mt19937 rng(17);
    for (uint16_t length : {(uint16_t)1, (uint16_t)2, (uint16_t)7, (uint16_t)8, (uint16_t)10, (uint16_t)31,
                            (uint16_t)64, (uint16_t)100, (uint16_t)240}) {
        for (uint8_t pad : {(uint8_t)' ', (uint8_t)0}) {
            const FoxKeys k{true, length, pad};
            const std::string p(1, (char)pad);
            // Leading pad bytes, all-equal keys, keys differing in their last byte.
            std::vector<std::string> keys = {p + p + "A", p + "B", "A", "A", "A", std::string(length, 'Z').substr(0, length - 1) + "Y",
                                             std::string(length, 'Z')};
            std::sort(keys.begin(), keys.end());
            std::vector<uint32_t> records;
            for (size_t i = 0; i < keys.size(); i++) records.push_back((uint32_t)i + 1);
            FoxNode n = leaf_of(k, keys, records);
            uint8_t page[kFoxNode];
            if (!fox_node_encode(k, n, page)) {
                EXPECT_GE(length, 64) << "only long keys may overflow a leaf of 7";
                continue;
            }
            expect_round_trip(k, n, ("length " + std::to_string(length)).c_str());
            // Record numbers at each width's limit: the entry widens where needed.
            for (int bits = 1; bits <= 32; bits++) {
                const uint32_t limit = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
                std::vector<uint32_t> edge = {limit, limit > 0 ? limit - 1 : 0, 1, limit};
                FoxNode e = leaf_of(k, {"A", "A", "B", "C"}, edge);
                expect_round_trip(k, e, ("bits " + std::to_string(bits)).c_str());
            }
            // Random sorted keys up to what fits: every count that encodes decodes.
            std::vector<std::string> random;
            for (int i = 0; i < 300; i++) {
                std::string key(1 + rng() % length, ' ');
                for (char& c : key) c = "AB "[rng() % 3];
                random.push_back(key);
            }
            std::sort(random.begin(), random.end());
            std::vector<uint32_t> numbers;
            for (size_t i = 0; i < random.size(); i++) numbers.push_back((uint32_t)(rng() % 2000000));
            for (size_t count = 1; count <= random.size(); count += 7) {
                FoxNode r = leaf_of(k, std::vector<std::string>(random.begin(), random.begin() + (long)count),
                                    std::vector<uint32_t>(numbers.begin(), numbers.begin() + (long)count));
                if (!fox_node_encode(k, r, page)) break;  // full
                expect_round_trip(k, r, "random keys");
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

// An entry inserted into an encoded leaf, only the entries from it on encoded
// again, gives the bytes of the whole leaf encoded afresh; where it declines (the
// layout changes, the entries no longer fit) the whole encoding decides.
TEST(FoxNodeTest, AnInsertEncodedFromItsPlaceGivesTheWholeEncodingsBytes) {
    std::mt19937 rng(29);
    int incremental = 0, declined = 0;
    for (uint16_t length : {(uint16_t)1, (uint16_t)8, (uint16_t)10, (uint16_t)30, (uint16_t)100}) {
        for (uint8_t pad : {(uint8_t)' ', (uint8_t)0}) {
            const FoxKeys k{true, length, pad};
            for (int round = 0; round < 60; round++) {
                // A leaf of sorted keys from a small alphabet (shared prefixes, pads).
                std::vector<std::string> keys;
                const int count = 1 + (int)(rng() % 40);
                for (int i = 0; i < count; i++) {
                    std::string key(1 + rng() % length, ' ');
                    for (char& c : key) c = "AB \x01"[rng() % 4];
                    keys.push_back(key);
                }
                std::sort(keys.begin(), keys.end());
                std::vector<uint32_t> records;
                for (int i = 0; i < count; i++) records.push_back(1 + (uint32_t)(rng() % (round % 3 ? 200 : 70000)));
                FoxNode node = leaf_of(k, keys, records);
                node.left = (uint32_t)rng();
                node.right = (uint32_t)rng();
                uint8_t page[kFoxNode];
                if (!fox_node_encode(k, node, page)) continue;
                // Read entry by entry, the leaf gives the keys and records it encodes.
                FoxLeafReader reader;
                ASSERT_TRUE(fox_leaf_reader_start(&reader, k, page));
                for (int i = 0; i < node.count; i++) {
                    ASSERT_TRUE(fox_leaf_reader_next(&reader)) << i;
                    ASSERT_EQ(memcmp(reader.key, node.key(k, i), length), 0) << "length " << length << " entry " << i;
                    ASSERT_EQ(reader.record, node.records[(size_t)i]);
                }
                EXPECT_FALSE(fox_leaf_reader_next(&reader));
                uint8_t kept[kFoxNode];
                memcpy(kept, page, kFoxNode);
                // A key at its place, with a record that may widen the layout.
                std::string key(1 + rng() % length, ' ');
                for (char& c : key) c = "AB \x01"[rng() % 4];
                key.resize(length, (char)pad);
                int place = 0;
                while (place < node.count && memcmp(node.key(k, place), key.data(), length) <= 0) place++;
                node.insert(k, place, (const uint8_t*)key.data(), 1 + (uint32_t)(rng() % (round % 5 ? 300 : 5000000)), 0);
                uint8_t whole[kFoxNode];
                const bool fits = fox_node_encode(k, node, whole);
                // The same insert from a reader standing on the place (an add's
                // search): the same bytes, or declined with the leaf untouched.
                if (place < node.count - 1) {
                    uint8_t direct[kFoxNode];
                    memcpy(direct, kept, kFoxNode);
                    ASSERT_TRUE(fox_leaf_reader_start(&reader, k, direct));
                    while (reader.i < place) ASSERT_TRUE(fox_leaf_reader_next(&reader));
                    const uint8_t* inserted = node.key(k, place);
                    if (fox_leaf_insert(k, direct, place, inserted, node.records[(size_t)place], &reader)) {
                        ASSERT_TRUE(fits);
                        ASSERT_EQ(memcmp(direct, whole, kFoxNode), 0) << "length " << length << " round " << round;
                    } else {
                        ASSERT_EQ(memcmp(direct, kept, kFoxNode), 0) << "a declined insert changed the leaf";
                    }
                }
                if (fox_node_encode_after(k, node, place, page)) {
                    ASSERT_TRUE(fits) << "length " << length << " round " << round;
                    ASSERT_EQ(memcmp(page, whole, kFoxNode), 0) << "length " << length << " round " << round;
                    incremental++;
                } else {
                    declined++;
                }
            }
        }
    }
    EXPECT_GT(incremental, 300);
    EXPECT_GT(declined, 10);
}

TEST(FoxNodeTest, InteriorNodesRoundTripAndRefuseOverflow) {
    for (bool compact : {false, true}) {
        const FoxKeys k{compact, 10, ' '};
        const int capacity = fox_interior_capacity(k);
        EXPECT_EQ(capacity, compact ? 500 / 18 : 500 / 14);
        FoxNode n;
        n.attributes = 1;
        n.left = 1024;
        n.right = 2048;
        for (int i = 0; i < capacity; i++) {
            std::string key = "K" + std::to_string(100 + i);
            key.resize(10, ' ');
            n.insert(k, i, (const uint8_t*)key.data(), compact ? 1000u + (uint32_t)i : 0, 512u * (uint32_t)(i + 3));
        }
        expect_round_trip(k, n, compact ? "compact interior" : "standard interior");
        uint8_t page[kFoxNode];
        EXPECT_EQ(fox_child(k, (fox_node_encode(k, n, page), page), capacity - 1), 512u * (uint32_t)(capacity + 2));
        n.insert(k, 0, (const uint8_t*)"K000      ", 7, 512);
        EXPECT_FALSE(fox_node_encode(k, n, page));
    }
}

TEST(FoxNodeTest, DamagedCompactLeavesAreNamed) {
    const FoxKeys k{true, 10, ' '};
    FoxNode n = leaf_of(k, {"A", "B", "C"}, {1, 2, 3});
    uint8_t page[kFoxNode];
    ASSERT_TRUE(fox_node_encode(k, n, page));
    FoxNode out;
    uint8_t bad[kFoxNode];
    memcpy(bad, page, kFoxNode);
    bad[23] = 0;  // no bytes per entry
    EXPECT_NE(fox_node_decode(k, bad, &out), nullptr);
    memcpy(bad, page, kFoxNode);
    bad[2] = 200;  // more entries than the node holds
    EXPECT_NE(fox_node_decode(k, bad, &out), nullptr);
    memcpy(bad, page, kFoxNode);
    bad[24 + 2] = 0xFF;  // duplicate and trailing counts beyond the key
    EXPECT_NE(fox_node_decode(k, bad, &out), nullptr);
    memcpy(bad, page, kFoxNode);
    bad[0] = 9;  // no such attributes
    EXPECT_NE(fox_node_decode(k, bad, &out), nullptr);
}

}  // namespace

// A leaf whose entry counts are damaged is declined by the insert from its bytes
// and left as it was; the reader stops at the damage.
TEST(FoxNodeTest, AnInsertIntoADamagedLeafIsDeclinedAndChangesNothing) {
    const FoxKeys k{true, 10, ' '};
    FoxNode node = leaf_of(k, {"ALPHA", "BETA", "DELTA", "GAMMA"}, {1, 2, 3, 4});
    uint8_t page[kFoxNode];
    ASSERT_TRUE(fox_node_encode(k, node, page));
    const int n = page[23];
    for (int victim = 0; victim < 4; victim++) {
        uint8_t bad[kFoxNode];
        memcpy(bad, page, kFoxNode);
        // Duplicate and trailing counts all ones: more than the key holds.
        for (int b = 0; b < n; b++) bad[24 + victim * n + b] |= (uint8_t)(b == 0 ? 0 : 0xFF);
        uint8_t before[kFoxNode];
        memcpy(before, bad, kFoxNode);
        std::string key = "CHARLIE";
        key.resize(10, ' ');
        EXPECT_FALSE(fox_leaf_insert(k, bad, 2, (const uint8_t*)key.data(), 9)) << victim;
        EXPECT_EQ(memcmp(bad, before, kFoxNode), 0) << victim;
        FoxLeafReader reader;
        ASSERT_TRUE(fox_leaf_reader_start(&reader, k, bad));
        int read = 0;
        while (fox_leaf_reader_next(&reader)) read++;
        EXPECT_EQ(read, victim) << "the reader stops at the damaged entry";
    }
}
