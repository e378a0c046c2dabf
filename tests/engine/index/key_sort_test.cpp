// The rebuild's key sort against a plain comparison sort, and the gathered block
// writes of a build against one write per block.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/build_writer.h"
#include "engine/index/key_sort.h"
#include "tests/support/engine_test.h"
#include "tests/support/dbf_builder.h"

namespace {

struct Item {
    std::string key;
    uint32_t recno;
};

class KeySortTest : public EngineTest {
protected:
    void TearDown() override {
        key_sort_set_budget(0);
        xdb_collation(1, 1);
        EngineTest::TearDown();
    }

    // Sorts `items` with the sorter and with std::sort over the reference order,
    // and compares the two sequences.
    void check(std::vector<Item> items, uint16_t length, bool national) {
        KeySorter* sorter = key_sort_new(length, national, (uint32_t)items.size());
        ASSERT_NE(sorter, nullptr);
        for (const Item& it : items) ASSERT_EQ(key_sort_add(sorter, (const uint8_t*)it.key.data(), it.recno), XD_OK);
        struct Out {
            uint16_t length;
            std::vector<Item> items;
            static XDSTATUS take(void* context, const uint8_t* key, uint32_t recno) {
                Out* o = (Out*)context;
                o->items.push_back(Item{std::string((const char*)key, o->length), recno});
                return XD_OK;
            }
        } out{length, {}};
        ASSERT_EQ(key_sort_finish(sorter, Out::take, &out), XD_OK);
        key_sort_free(sorter);
        std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
            int c = national ? xdb_compare_keys(a.key.data(), b.key.data(), length)
                             : memcmp(a.key.data(), b.key.data(), length);
            return c ? c < 0 : a.recno < b.recno;
        });
        ASSERT_EQ(out.items.size(), items.size());
        for (size_t i = 0; i < items.size(); i++) {
            ASSERT_EQ(out.items[i].recno, items[i].recno) << "item " << i;
            ASSERT_EQ(out.items[i].key, items[i].key) << "item " << i;
        }
    }
};

// Keys with a long shared prefix, many ties, bytes outside the national order and
// bytes the national order ranks differently from their codes; in memory and in
// runs through the work file; records given out of order too.
TEST_F(KeySortTest, SameOrderAsAComparisonSort) {
    std::mt19937 rng(5);
    const char alphabet[] = " 0AZaz\xC4\xE1\xE9~\x01\xFF\x80";
    for (bool national : {false, true}) {
        for (size_t budget : {size_t(0), size_t(4096)}) {
            for (uint16_t length : {uint16_t(4), uint16_t(12), uint16_t(30)}) {
                key_sort_set_budget(budget);
                xdb_collation(national ? 0 : 1, 1);  // the national order is compared under its flag
                std::vector<Item> items;
                for (uint32_t n = 1; n <= 3000; n++) {
                    std::string key(length, ' ');
                    size_t shared = rng() % 2 ? length / 2 : 0;  // half share a prefix
                    for (size_t i = 0; i < length; i++)
                        key[i] = i < shared ? 'P' : alphabet[rng() % (sizeof alphabet - 1)];
                    if (n > 1 && rng() % 4 == 0) key = items[rng() % items.size()].key;  // ties
                    items.push_back(Item{key, rng() % 3 == 0 ? 100000 - n : n});
                }
                SCOPED_TRACE(testing::Message() << "national " << national << " budget " << budget << " length " << length);
                check(items, length, national);
            }
        }
    }
}

TEST_F(KeySortTest, EveryKeyEqualAndOneItem) {
    std::vector<Item> same;
    for (uint32_t n = 1; n <= 500; n++) same.push_back(Item{"SAMESAMESAMESAME", 501 - n});
    check(same, 16, false);
    xdb_collation(0, 1);
    check({Item{"ONLY", 7}}, 4, true);
    check({}, 8, false);
}

// Blocks put in any order through a small window give the bytes of writing each
// block where it belongs, and block 0 (a header) is never touched.
TEST_F(KeySortTest, GatheredBlockWritesLandWhereOneWriteEachWould) {
    std::mt19937 rng(11);
    const uint32_t kSize = 64;
    for (int round = 0; round < 20; round++) {
        uint32_t blocks = 1 + rng() % 200, window = 1 + rng() % 16;
        std::vector<uint32_t> order;
        for (uint32_t b = 1; b <= blocks; b++) order.push_back(b);
        // Mostly in order, with blocks held back as a build holds its upper levels.
        for (uint32_t i = 0; i < blocks; i++)
            if (rng() % 5 == 0) std::swap(order[i], order[rng() % blocks]);
        std::string path = dir_ + "/blocks" + std::to_string(round);
        uint16_t file;
        ASSERT_EQ(xdb_fcreate(&file, path.c_str()), XD_OK);
        std::vector<uint8_t> header(kSize, 0xEE);
        ASSERT_EQ(xdb_fwrite_at(file, 0, header.data(), kSize, 0), XD_OK);
        BuildWriter* w = build_writer_new(file, kSize, 1, window);
        ASSERT_NE(w, nullptr);
        for (uint32_t b : order) {
            std::vector<uint8_t> bytes(kSize, (uint8_t)b);
            ASSERT_EQ(build_writer_put(w, b, bytes.data()), XD_OK);
        }
        ASSERT_EQ(build_writer_finish(w), XD_OK);
        xdb_fclose(file);
        std::vector<uint8_t> got = file_byte_vector(path);
        ASSERT_EQ(got.size(), (size_t)(blocks + 1) * kSize);
        for (uint32_t b = 0; b <= blocks; b++)
            for (uint32_t i = 0; i < kSize; i++)
                ASSERT_EQ(got[b * kSize + i], b == 0 ? 0xEE : (uint8_t)b) << "round " << round << " block " << b;
    }
}

}  // namespace
