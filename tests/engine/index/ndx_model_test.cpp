// NDX changes against a model, beyond what the model test of every format covers:
// after every batch another dBASE-family reader's strict walk and seeks agree too;
// deep numeric trees, long keys, unique indexes, range deletes, freed blocks after
// another handle's compaction, the national order, and numeric corner cases.

#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/ndx/ndx.h"
#include "engine/index/page_cache.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/ndx_reader.h"

namespace {

struct NdxEntry {
    std::string key;  // key bytes (character: blank-padded; numeric: the double's bytes)
    uint32_t recno;
};

// The random model tests run three ways: the index shared (every operation reads
// the file afresh), opened exclusively (blocks stay cached across operations), and
// exclusively with cached blocks dropped at random between operations.
class NdxModelTest : public EngineTest, public ::testing::WithParamInterface<int> {
protected:
    void TearDown() override {
        page_cache_set_random_drops(0);
        EngineTest::TearDown();
    }
    void configure(int way) {
        open_mode_ = way == 0 ? XDB_OPEN_SHORTHAND : 0;
        page_cache_set_random_drops(way == 2 ? 12345u : 0u);
    }
    int16_t open(const std::string& path) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        EXPECT_GE(ndx_open(&h, path.c_str(), open_mode_), 0);
        xdb_set_status(XD_OK);
        return h;
    }
    std::vector<NdxEntry> walk(int16_t h, uint16_t kl, bool reverse) {
        std::vector<NdxEntry> out;
        uint8_t key[128] = {0};
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = reverse ? ndx_last(h, key, &recno) : ndx_first(h, key, &recno);
        while (s == XD_OK && out.size() < 1000000) {
            out.push_back({std::string((char*)key, kl), recno});
            xdb_set_status(XD_OK);
            s = reverse ? ndx_previous(h, key, &recno) : ndx_next(h, key, &recno);
        }
        EXPECT_TRUE(s == XD_NOMOREKEYS || (s == XD_EMPTYFILE && out.empty())) << s;
        if (reverse) std::reverse(out.begin(), out.end());
        return out;
    }
    void check(int16_t h, const std::vector<NdxEntry>& model, uint16_t kl, const char* when) {
        char fault[200];
        uint32_t entries = 0;
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_check(h, &entries, fault, sizeof fault), XD_OK) << when << ": " << fault;
        ASSERT_EQ(entries, model.size()) << when;
        auto forward = walk(h, kl, false);
        ASSERT_EQ(forward.size(), model.size()) << when;
        for (size_t i = 0; i < model.size(); i++) {
            ASSERT_EQ(forward[i].key, model[i].key) << when << " at " << i;
            ASSERT_EQ(forward[i].recno, model[i].recno) << when << " at " << i;
        }
        auto backward = walk(h, kl, true);
        ASSERT_EQ(backward.size(), model.size()) << when;
        for (size_t i = 0; i < model.size(); i++) ASSERT_EQ(backward[i].recno, model[i].recno) << when;
    }
    // What another dBASE-family program makes of the file: a strict walk, and a
    // seek by the separators of every key, landing on its first entry.
    void check_as_others_read(const std::string& path, const std::vector<NdxEntry>& model, const char* when) {
#ifdef _WIN32
        // An index held exclusively cannot be opened by another program there.
        if (open_mode_ == 0) return;
#endif
        NdxReader reader(path);
        ASSERT_TRUE(reader.ok()) << when << ": " << reader.fault();
        const auto& got = reader.entries();
        ASSERT_EQ(got.size(), model.size()) << when;
        for (size_t i = 0; i < model.size(); i++) {
            ASSERT_EQ(got[i].key, model[i].key) << when << " at " << i;
            ASSERT_EQ(got[i].recno, model[i].recno) << when << " at " << i;
        }
        for (size_t i = 0; i < model.size(); i++) {
            if (i > 0 && model[i].key == model[i - 1].key) continue;
            bool equal = false;
            ASSERT_EQ(reader.seek(model[i].key, &equal), model[i].recno) << when << " seeking entry " << i;
            ASSERT_TRUE(equal) << when;
        }
    }
    void add(int16_t h, std::vector<NdxEntry>& model, const std::string& key, uint32_t recno) {
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_add_key(h, key.data(), (uint16_t)key.size(), recno), XD_OK) << key;
        NdxEntry e{key, recno};
        model.insert(std::upper_bound(model.begin(), model.end(), e, by_key_then_record), e);
    }
    void remove(int16_t h, std::vector<NdxEntry>& model, size_t i) {
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_delete_key(h, model[i].key.data(), (uint16_t)model[i].key.size(), model[i].recno), XD_OK);
        model.erase(model.begin() + (long)i);
    }
    static bool by_key_then_record(const NdxEntry& a, const NdxEntry& b) {
        return a.key != b.key ? a.key < b.key : a.recno < b.recno;
    }
    uint16_t open_mode_ = XDB_OPEN_SHORTHAND;
};

std::string padded(std::string k, size_t n) {
    k.resize(n, ' ');
    return k;
}

double as_double(const std::string& k) {
    double d;
    memcpy(&d, k.data(), 8);
    return d;
}

TEST_P(NdxModelTest, NumericKeysWithNegativesAndDeepTrees) {
    configure(GetParam());
    std::string path = dir_ + "/n.ndx";
    ASSERT_EQ(ndx_create(path.c_str(), 'N', "AMOUNT", 8), XD_OK);
    int16_t h = open(path);
    std::vector<NdxEntry> model;
    auto less = [](const NdxEntry& a, const NdxEntry& b) {
        double x = as_double(a.key), y = as_double(b.key);
        return x != y ? x < y : a.recno < b.recno;
    };
    std::mt19937 rng(5);
    for (uint32_t r = 1; r <= 6000; r++) {
        double v = ((int)(rng() % 20001) - 10000) / 4.0;
        std::string k((char*)&v, 8);
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_add_key(h, k.data(), 8, r), XD_OK);
        model.insert(std::upper_bound(model.begin(), model.end(), NdxEntry{k, r}, less), NdxEntry{k, r});
    }
    check(h, model, 8, "filled");
    NdxInfo info;
    ndx_info(h, &info);
    EXPECT_GT(info.block_count, 300u);  // several levels of 31-entry blocks
    for (int i = 0; i < 5000; i++) {
        size_t at = rng() % model.size();
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_delete_key(h, model[at].key.data(), 8, model[at].recno), XD_OK);
        model.erase(model.begin() + (long)at);
        if (i % 1000 == 999) check(h, model, 8, "deleting");
        if (i % 1000 == 999) check_as_others_read(path, model, "deleting");
    }
    // A key not there: not found, nothing changes.
    double absent = 99999;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_delete_key(h, &absent, 8, 1), XD_KEYNOTFOUND);
    xdb_set_status(XD_OK);
    ASSERT_EQ(ndx_close(h), XD_OK);
    h = open(path);
    check(h, model, 8, "reopened");
    while (!model.empty()) {
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_delete_key(h, model.back().key.data(), 8, model.back().recno), XD_OK);
        model.pop_back();
    }
    check(h, model, 8, "emptied");
    uint8_t key[16];
    uint32_t recno;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_first(h, key, &recno), XD_EMPTYFILE);
}

// Freed blocks belong to the handle that freed them only while nobody else changes
// the tree: another handle's compaction at close moves blocks and cuts the file,
// and the first handle must not reuse what it freed before.
TEST_F(NdxModelTest, FreedBlocksAreNotReusedAfterAnotherHandleCompacted) {
    std::string path = dir_ + "/two.ndx";
    const uint16_t kl = 10;
    ASSERT_EQ(ndx_create(path.c_str(), 'C', "K", kl), XD_OK);
    int16_t a = open(path), b = open(path);
    std::vector<NdxEntry> model;
    char k[16];
    for (uint32_t i = 1; i <= 400; i++) snprintf(k, sizeof k, "K%04u", i), add(a, model, padded(k, kl), i);
    // a frees blocks; b frees others and closes, compacting.
    for (int n = 0; n < 120; n++) remove(a, model, model.size() / 3);
    for (int n = 0; n < 120; n++) remove(b, model, 0);
    xdb_set_status(XD_OK);
    ASSERT_EQ(ndx_close(b), XD_OK);
    // a goes on adding: its list of freed blocks is stale now.
    for (uint32_t i = 1; i <= 300; i++) snprintf(k, sizeof k, "N%04u", i), add(a, model, padded(k, kl), 1000 + i);
    check(a, model, kl, "after the other handle compacted");
    check_as_others_read(path, model, "after the other handle compacted");
    xdb_set_status(XD_OK);
    ASSERT_EQ(ndx_close(a), XD_OK);
    check_as_others_read(path, model, "closed");
}

TEST_F(NdxModelTest, NationalOrderWhenTheCollationFlagIsZero) {
    xdb_collation(0, 1);
    std::string path = dir_ + "/fr.ndx";
    ASSERT_EQ(ndx_create(path.c_str(), 'C', "NAME", 4), XD_OK);
    int16_t h = open(path);
    const char* words[] = {"a", "Z", "\xC9", "F", "E", "(", "0"};
    for (uint32_t i = 0; i < 7; i++) {
        xdb_set_status(XD_OK);
        ASSERT_EQ(ndx_add_key(h, words[i], (uint16_t)strlen(words[i]), i + 1), XD_OK);
    }
    std::vector<uint32_t> order;
    for (const NdxEntry& e : walk(h, 4, false)) order.push_back(e.recno);
    // Digits, then upper case (with É after E), lower case, then the signs.
    EXPECT_EQ(order, (std::vector<uint32_t>{7, 5, 3, 4, 2, 1, 6}));
    xdb_set_status(XD_OK);
    ndx_close(h);
    xdb_collation(1, 1);
}

// The rightmost leaf emptied by deletes, then a key above all others: it belongs
// in the rightmost leaf, where a reader that follows the separators finds it.
TEST_F(NdxModelTest, KeyAboveAllAfterTheTopLeafWasEmptied) {
    std::string path = dir_ + "/top.ndx";
    const uint16_t kl = 10;
    ASSERT_EQ(ndx_create(path.c_str(), 'C', "K", kl), XD_OK);
    int16_t h = open(path);
    std::vector<NdxEntry> model;
    uint32_t r = 1;
    char k[16];
    for (int i = 1; i <= 26; i++, r++) snprintf(k, sizeof k, "A%02d", i), add(h, model, padded(k, kl), r);
    for (int i = 1; i <= 12; i++, r++) snprintf(k, sizeof k, "A%02dX", i), add(h, model, padded(k, kl), r);
    for (int i = 14; i <= 26; i++) {
        snprintf(k, sizeof k, "A%02d", i);
        auto it = std::find_if(model.begin(), model.end(), [&](const NdxEntry& e) { return e.key == padded(k, kl); });
        remove(h, model, (size_t)(it - model.begin()));
    }
    add(h, model, padded("B", kl), r++);
    check(h, model, kl, "after the high key");
    check_as_others_read(path, model, "after the high key");
    uint8_t key[16] = {'B'};
    uint32_t recno = 0;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_seek(h, key, 1, &recno, 0), XD_OK);
    EXPECT_EQ(recno, r - 1);
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_close(h), XD_OK);
}

// A range of keys deleted from the middle, then some of it added again: no empty
// leaf stays behind, every re-added key is found by separators, and close gives
// every freed block back.
TEST_F(NdxModelTest, RangeDeletedAndPartlyAddedAgain) {
    std::string path = dir_ + "/range.ndx";
    const uint16_t kl = 6;
    ASSERT_EQ(ndx_create(path.c_str(), 'C', "K", kl), XD_OK);
    int16_t h = open(path);
    std::vector<NdxEntry> model;
    char k[16];
    for (uint32_t i = 1; i <= 1000; i++) snprintf(k, sizeof k, "K%04u", i), add(h, model, padded(k, kl), i);
    for (uint32_t i = 300; i <= 700; i++) {
        snprintf(k, sizeof k, "K%04u", i);
        auto it = std::lower_bound(model.begin(), model.end(), NdxEntry{padded(k, kl), 0}, by_key_then_record);
        remove(h, model, (size_t)(it - model.begin()));
    }
    check_as_others_read(path, model, "range deleted");
    for (uint32_t i = 450; i <= 460; i++) snprintf(k, sizeof k, "K%04u", i), add(h, model, padded(k, kl), 5000 + i);
    check(h, model, kl, "re-added");
    check_as_others_read(path, model, "re-added");
    xdb_set_status(XD_OK);
    ASSERT_EQ(ndx_close(h), XD_OK);
    check_as_others_read(path, model, "closed");
    h = open(path);
    check(h, model, kl, "reopened");
    xdb_set_status(XD_OK);
    ndx_close(h);
}

// Long keys (four to a block), a unique index, range deletes, the top keys
// deleted and higher ones added: after every batch the engine's walks, its check
// and another reader's strict walk and seeks agree with the model.
TEST_P(NdxModelTest, RandomBatchesWithRangeDeletesLongKeysAndUniqueIndexes) {
    configure(GetParam());
    for (uint16_t kl : {100, 30}) {
        for (bool unique : {false, true}) {
            std::string path = dir_ + "/r" + std::to_string(kl) + (unique ? "u" : "") + ".ndx";
            ASSERT_EQ(ndx_create(path.c_str(), (uint8_t)('C' | (unique ? 0x80 : 0)), "K", kl), XD_OK);
            int16_t h = open(path);
            std::vector<NdxEntry> model;
            std::mt19937 rng(kl * 2 + unique);
            uint32_t next = 1;
            auto random_key = [&]() {
                std::string key(1, (char)('A' + rng() % 6));
                for (unsigned n = rng() % 6; n > 0; n--) key += (char)('A' + rng() % 4);
                return padded(key, kl);
            };
            auto present = [&](const std::string& key) {
                return std::any_of(model.begin(), model.end(), [&](const NdxEntry& e) { return e.key == key; });
            };
            for (int batch = 0; batch < 24; batch++) {
                std::string when = "kl " + std::to_string(kl) + (unique ? " unique" : "") + " batch " + std::to_string(batch);
                int kind = batch % 4;
                if (kind == 0 || model.size() < 20) {
                    for (int n = 0; n < 120; n++) {
                        std::string key = random_key();
                        if (unique && present(key)) continue;
                        add(h, model, key, next++);
                    }
                } else if (kind == 1) {
                    for (int n = 0; n < 40 && !model.empty(); n++) remove(h, model, rng() % model.size());
                } else if (kind == 2) {
                    // A range of keys, from a random entry on.
                    size_t from = rng() % model.size(), count = 1 + rng() % (model.size() - from);
                    if (count > 60) count = 60;
                    for (size_t n = 0; n < count; n++) remove(h, model, from);
                } else {
                    // The top keys, then keys above every other.
                    for (int n = 0; n < 25 && !model.empty(); n++) remove(h, model, model.size() - 1);
                    for (int n = 0; n < 5; n++) add(h, model, padded("Z" + std::string(1, (char)('A' + batch)) + std::to_string(n), kl), next++);
                }
                check(h, model, kl, when.c_str());
                check_as_others_read(path, model, when.c_str());
                if (HasFatalFailure()) return;
            }
            xdb_set_status(XD_OK);
            ASSERT_EQ(ndx_close(h), XD_OK);
            check_as_others_read(path, model, "closed");
            // The close compacted the freed blocks: none is left inside the file.
            h = open(path);
            NdxInfo info;
            ndx_info(h, &info);
            EXPECT_EQ((uintmax_t)info.block_count * 512, std::filesystem::file_size(path));
            ndx_close(h);
        }
    }
}

// Numeric keys: -0.0 is the zero key; a resynchronise on an absent entry with
// nothing smaller gives record number -1.
TEST_F(NdxModelTest, NegativeZeroAndResynchroniseBeforeTheFirstEntry) {
    std::string path = dir_ + "/z.ndx";
    ASSERT_EQ(ndx_create(path.c_str(), 'N', "AMOUNT", 8), XD_OK);
    int16_t h = open(path);
    double minus_zero = -0.0, one = 1, two = 2;
    xdb_set_status(XD_OK);
    ASSERT_EQ(ndx_add_key(h, &minus_zero, 8, 1), XD_OK);
    ASSERT_EQ(ndx_add_key(h, &one, 8, 2), XD_OK);
    ASSERT_EQ(ndx_add_key(h, &two, 8, 3), XD_OK);
    double zero = 0.0, key = -0.0;
    uint32_t recno = 0;
    EXPECT_EQ(ndx_seek(h, &key, 8, &recno, 0), XD_OK);
    EXPECT_EQ(recno, 1u);
    EXPECT_EQ(memcmp(&key, &zero, 8), 0);  // the stored key is +0.0
    key = -5;
    recno = 7;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_resync(h, &key, &recno), XD_KEYNOTFOUND);
    EXPECT_EQ(recno, 0xFFFFFFFFu);
    xdb_set_status(XD_OK);
    ASSERT_EQ(ndx_delete_key(h, &minus_zero, 8, 1), XD_OK);
    ndx_close(h);
}

INSTANTIATE_TEST_SUITE_P(SharedExclusiveAndDropped, NdxModelTest, ::testing::Values(0, 1, 2));

}  // namespace
