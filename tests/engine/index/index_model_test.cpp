// Every single-key index format against one model, through the uniform index
// operations: long random sequences of adds and deletes (duplicates, prefixes,
// blank keys, negative numbers) on trees several levels deep, checked after every
// batch by walks both ways, seeks, resynchronisation and the format's own check;
// again after a close and reopen; two handles on one file see each other's
// changes, and a walk through one goes on right while the other changes the
// tree between its steps; unique indexes holding repeated keys lose only the entry
// asked for. Each format's rule for equal keys is part of the model: in record
// order (NDX), or in the order they were added (NTX). Every format of the
// engine's format table must be one of the formats here.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/idx/idx.h"
#include "engine/index/index.h"
#include "engine/index/page_cache.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/programs.h"

namespace {

struct Format {
    int32_t type;
    const char* extension;
    bool equal_keys_in_record_order;
    const char* name;
    bool standard_idx;  // IDX in the standard layout (the uniform layer creates compact ones)
};

const Format kFormats[] = {{1, "ndx", true, "ndx", false},
                           {5, "ntx", false, "ntx", false},
                           {3, "idx", true, "idxCompact", false},
                           {3, "idx", true, "idxStandard", true},
                           {10, "cdx", true, "cdx", false},
                           {2, "mdx", true, "mdx", false}};

struct Entry {
    std::string key;  // character keys: the text; numbers: the value's text
    double number;
    uint32_t recno;
};

// Parameters: the format, and how the file is opened: shared (every operation
// reads the file afresh), exclusively (pages stay cached across operations),
// exclusively with cached pages dropped at random between operations, or shared
// but held for a table locked whole (pages cached as when exclusive, dropped at
// random too; two handles of the file see each other's changes all the same).
class IndexModelTest : public EngineTest, public ::testing::WithParamInterface<std::tuple<int, int>> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        format_ = kFormats[std::get<0>(GetParam())];
        int way = std::get<1>(GetParam());
        open_mode_ = way == 0 || way == 3 ? XDB_OPEN_SHORTHAND : 0;
        page_cache_set_random_drops(way >= 2 ? 4321u : 0u);
        xdb_collation(1, 1);  // byte order: the model compares bytes
        if (way == 3) {
            const std::string table = dir_ + "/held.dbf";
            DbfCreateField field = create_field("K", 'C', 8);
            ASSERT_EQ(dbf_create(table.c_str(), 1, &field, DBF_DBASE3), XD_OK);
            ASSERT_EQ(dbf_open(&held_table_, table.c_str(), (uint16_t)XDB_OPEN_SHORTHAND | DBF_DBASE3), XD_OK);
            ASSERT_EQ(dbf_lock_file(held_table_, 2), XD_OK);
        }
    }
    void TearDown() override {
        if (held_table_ >= 0) {
            xdb_set_status(XD_OK);
            EXPECT_EQ(dbf_unlock_file(held_table_, 2), XD_OK);
            dbf_close(held_table_);
        }
        page_cache_set_random_drops(0);
        xdb_collation(0, 1);
        EngineTest::TearDown();
    }
    std::string path(const char* base) { return dir_ + "/" + base + "." + format_.extension; }

    // A multi-tag file's model is its tag "K".
    IndexAccess open(const std::string& file) {
        int16_t h = -1;
        EXPECT_GE(IndexOpen(format_.type, file.c_str(), open_mode_, &h), 0);
        if (held_table_ >= 0) {
            EXPECT_EQ(IndexHold(format_.type, h, held_table_), XD_OK);
        }
        int32_t tag = -1;
        if (index_is_multitag(format_.type)) {
            EXPECT_EQ(TagOpen(format_.type, "K", h, &tag), XD_OK);
        }
        const int16_t described = tag >= 0 ? (int16_t)tag : h;
        IndexAccess a{};
        a.type = format_.type;
        a.file_handle = (uint16_t)h;
        a.tag_handle = tag;
        // The FoxPro family's files do not say their key type: the caller does.
        if (numeric_ && (format_.type == 3 || index_is_multitag(format_.type))) {
            EXPECT_EQ(IndexLearnKeyTypeAs(a, 'N'), XD_OK);
        }
        IndexDescription d;
        EXPECT_EQ(IndexDescribe(format_.type, described, &d), XD_OK);
        a.key_length = (uint32_t)d.key_length;
        a.key_type = d.key_type;
        a.single_field = -1;
        return a;
    }
    // Sets the key type of a FoxPro-family tree through a key operation.
    static XDSTATUS IndexLearnKeyTypeAs(IndexAccess a, char type) {
        a.key_type = type;
        a.key_length = 8;
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        return IndexFirst(&a, key, &recno) < 0 ? xdb_get_status() : XD_OK;
    }
    int16_t tree_handle(const IndexAccess& a) const {
        return a.tag_handle >= 0 && index_is_multitag(a.type) ? (int16_t)a.tag_handle : (int16_t)a.file_handle;
    }
    void create(const IndexCreateRequest& given) {
        IndexCreateRequest r = given;
        if (index_is_multitag(format_.type)) r.tag_name = "K";
        if (!format_.standard_idx) {
            ASSERT_EQ(IndexCreate(&r), XD_OK);
            return;
        }
        uint16_t type_word = (uint16_t)((uint8_t)r.key_type | (r.unique ? IDX_UNIQUE : 0));
        ASSERT_EQ(idx_create(r.file_name, type_word, r.expression, r.key_length), XD_OK);
    }
    // Two shared handles of one new index of 8-byte text keys.
    void open_two_shared(const char* base, IndexAccess* one, IndexAccess* two) {
        const std::string file = path(base);
        IndexCreateRequest r{file.c_str(), "K", 'C', 8, 0, nullptr};
        ASSERT_NO_FATAL_FAILURE(create(r));
        uint16_t mode = open_mode_;
        open_mode_ = XDB_OPEN_SHORTHAND;
        *one = open(file);
        *two = open(file);
        open_mode_ = mode;
    }
    void close(IndexAccess& a) { EXPECT_EQ(IndexClose(a.type, (int16_t)a.file_handle), XD_OK); }

    // The key bytes of an entry, as the format takes them.
    std::vector<uint8_t> key_of(const IndexAccess& a, const Entry& e) {
        std::vector<uint8_t> k(kIndexKeyBuffer + 8, 0);
        if (numeric_) EXPECT_EQ(MakeNumericKey(&a, e.number, k.data()), XD_OK);
        else memcpy(k.data(), e.key.data(), e.key.size());
        return k;
    }
    // Model order: by key (bytes, or value), then by the format's rule for
    // equal keys.
    bool before(const Entry& x, const Entry& y) const {
        if (numeric_ ? x.number != y.number : x.key != y.key) return numeric_ ? x.number < y.number : x.key < y.key;
        return format_.equal_keys_in_record_order && x.recno < y.recno;
    }
    void add(IndexAccess& a, const Entry& e) {
        std::vector<uint8_t> k = key_of(a, e);
        // A unique CDX tag keeps the first record of a key and refuses the others.
        if (unique_ && format_.type == 10 &&
            std::any_of(model_.begin(), model_.end(), [&](const Entry& x) { return x.key == e.key; })) {
            ASSERT_EQ(IndexAddKey(&a, k.data(), e.recno), XD_EXISTS) << e.key;
            return;
        }
        ASSERT_EQ(IndexAddKey(&a, k.data(), e.recno), XD_OK) << e.key << " " << e.number;
        // A unique index's add searches by key alone and puts a repeated key
        // before its equals.
        auto at = unique_ ? std::lower_bound(model_.begin(), model_.end(), e,
                                             [&](const Entry& x, const Entry& y) { return x.key < y.key; })
                          : std::upper_bound(model_.begin(), model_.end(), e,
                                             [&](const Entry& x, const Entry& y) { return before(x, y); });
        model_.insert(at, e);
    }
    void remove(IndexAccess& a, size_t i) {
        std::vector<uint8_t> k = key_of(a, model_[i]);
        ASSERT_EQ(IndexDeleteKey(&a, k.data(), model_[i].recno), XD_OK) << i;
        model_.erase(model_.begin() + (long)i);
    }
    bool same_key(const IndexAccess& a, const uint8_t* got, const Entry& e) {
        if (numeric_) {
            double v = 0;
            IndexKeyNumber(&a, got, &v);
            return v == e.number;
        }
        std::string text((const char*)got);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text == e.key;
    }
    void walk(IndexAccess& a, bool reverse, const char* when) {
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        XDSTATUS s = reverse ? IndexLast(&a, key, &recno) : IndexFirst(&a, key, &recno);
        size_t n = 0;
        for (; s == XD_OK && n < model_.size(); n++) {
            const Entry& e = model_[reverse ? model_.size() - 1 - n : n];
            ASSERT_EQ(recno, e.recno) << when << (reverse ? " backwards" : "") << " at " << n;
            ASSERT_TRUE(same_key(a, key, e)) << when << " at " << n << ": " << key;
            s = reverse ? IndexPrevious(&a, key, &recno) : IndexNext(&a, key, &recno);
        }
        ASSERT_EQ(n, model_.size()) << when << ": status " << s;
        ASSERT_TRUE(s == XD_NOMOREKEYS || (s == XD_EMPTYFILE && model_.empty())) << when << ": " << s;
    }
    void check(IndexAccess& a, const char* when) {
        char fault[200] = {0};
        uint32_t entries = 0;
        ASSERT_EQ(IndexCheck(a.type, tree_handle(a), &entries, fault, sizeof fault), XD_OK) << when << ": " << fault;
        ASSERT_EQ(entries, model_.size()) << when;
        walk(a, false, when);
        walk(a, true, when);
        // Seeks of some keys land on their first entry; resynchronising on an
        // entry finds it.
        for (size_t i = 0; i < model_.size(); i += 1 + model_.size() / 40) {
            size_t first = i;
            while (first > 0 && (numeric_ ? model_[first - 1].number == model_[i].number
                                          : model_[first - 1].key == model_[i].key))
                first--;
            std::vector<uint8_t> k = key_of(a, model_[i]);
            if (!numeric_) memset(k.data() + model_[i].key.size(), ' ', a.key_length - 1 - model_[i].key.size());
            const std::vector<uint8_t> whole = k;  // the whole key, as a walk hands it out
            uint32_t recno = 0;
            ASSERT_EQ(IndexSeek(&a, k.data(), 0, &recno, 0), XD_OK) << when << " seeking " << i;
            ASSERT_EQ(recno, model_[first].recno) << when << " seeking " << i;
            k = whole;
            recno = model_[i].recno;
            ASSERT_EQ(IndexResync(&a, k.data(), &recno), XD_OK) << when << " resync " << i;
            ASSERT_EQ(recno, model_[i].recno);
        }
    }

    Format format_{};
    uint16_t open_mode_ = 0;
    int16_t held_table_ = -1;  // the table locked whole that the files are held for
    bool numeric_ = false, unique_ = false;
    std::vector<Entry> model_;
};

std::string random_text(std::mt19937& rng, size_t max_length) {
    static const char kLetters[] = "AB C";
    std::string s(1 + rng() % max_length, ' ');
    for (char& c : s) c = kLetters[rng() % 4];
    while (!s.empty() && s.back() == ' ') s.pop_back();  // trailing blanks are no part of a key
    return s;
}

TEST_P(IndexModelTest, RandomAddsAndDeletesOfCharacterKeys) {
    // Long keys make few per page: several levels deep with a few thousand keys.
    for (uint16_t length : {(uint16_t)100, (uint16_t)6}) {
        model_.clear();
        const std::string file = path(length == 100 ? "long" : "short");
        IndexCreateRequest r{file.c_str(), "K", 'C', length, 0, nullptr};
        ASSERT_NO_FATAL_FAILURE(create(r));
        IndexAccess a = open(file);
        std::mt19937 rng(length);
        uint32_t next_record = 1;
        for (int batch = 0; batch < 8; batch++) {
            int adds = batch < 5 ? 400 : 60, deletes = batch < 5 ? 120 : 500;
            for (int i = 0; i < adds; i++) add(a, Entry{random_text(rng, length == 100 ? 12 : 6), 0, next_record++});
            for (int i = 0; i < deletes && !model_.empty(); i++) remove(a, rng() % model_.size());
            std::string when = "length " + std::to_string(length) + " batch " + std::to_string(batch);
            check(a, when.c_str());
            if (HasFatalFailure()) return;
        }
        close(a);
        a = open(file);
        check(a, "after reopening");
        // Emptied to the last key, then filled again.
        while (!model_.empty()) remove(a, model_.size() / 2);
        check(a, "emptied");
        for (int i = 0; i < 300; i++) add(a, Entry{random_text(rng, 4), 0, next_record++});
        check(a, "filled again");
        close(a);
    }
}

TEST_P(IndexModelTest, NumericKeysWithNegativesAndDuplicates) {
    if (held_table_ >= 0) GTEST_SKIP() << "the keys' forms do not depend on how the file is kept: the shared and exclusive runs tell";
    numeric_ = true;
    const std::string file = path("num");
    IndexCreateRequest r{file.c_str(), "AMOUNT", 'N', 8, 0, nullptr, 10, 2};
    ASSERT_NO_FATAL_FAILURE(create(r));
    IndexAccess a = open(file);
    std::mt19937 rng(7);
    uint32_t next_record = 1;
    for (int batch = 0; batch < 6; batch++) {
        for (int i = 0; i < 700; i++) {
            // Cents from -99999.99 to 99999.99, many repeated, zero among them.
            double v = (double)((int)(rng() % 4001) - 2000) * (rng() % 3 == 0 ? 1.0 : 37.25);
            v = std::round(v * 100) / 100;
            add(a, Entry{"", v, next_record++});
        }
        for (int i = 0; i < 350 && !model_.empty(); i++) remove(a, rng() % model_.size());
        check(a, ("numeric batch " + std::to_string(batch)).c_str());
        if (HasFatalFailure()) return;
    }
    close(a);
    a = open(file);
    check(a, "numeric, reopened");
    close(a);
}

// A unique index holding repeated keys (the engine adds a second entry of a key
// when asked; the table's rule decides whether to ask; a CDX tag keeps the first
// record's and refuses the others, as FoxPro does): each delete, and each
// modify (the old key deleted, the new added), takes out its own record's entry
// and no other, in whatever order the repeats come and go.
TEST_P(IndexModelTest, UniqueIndexesHoldingRepeatsLoseOnlyTheEntryAsked) {
    if (held_table_ >= 0) GTEST_SKIP() << "the keys' forms do not depend on how the file is kept: the shared and exclusive runs tell";
    unique_ = true;
    const std::string file = path("uniq");
    IndexCreateRequest r{file.c_str(), "K", 'C', 4, 1, nullptr};
    ASSERT_NO_FATAL_FAILURE(create(r));
    IndexAccess a = open(file);
    IndexDescription d;
    ASSERT_EQ(IndexDescribe(a.type, tree_handle(a), &d), XD_OK);
    ASSERT_EQ(d.flags & 128, 128);
    std::mt19937 rng(5);
    static const char* kKeys[] = {"AA", "AB", "B", "BA"};
    uint32_t next_record = 1;
    for (int batch = 0; batch < 6; batch++) {
        for (int i = 0; i < 250; i++) add(a, Entry{kKeys[rng() % 4], 0, next_record++});
        for (int i = 0; i < 150 && !model_.empty(); i++) {
            size_t at = rng() % model_.size();
            if (rng() % 2) {
                remove(a, at);
            } else {  // a modify: the record's key changes
                Entry e = model_[at];
                remove(a, at);
                e.key = kKeys[rng() % 4];
                add(a, e);
            }
        }
        check(a, ("unique batch " + std::to_string(batch)).c_str());
        if (HasFatalFailure()) return;
    }
    close(a);
    a = open(file);
    check(a, "unique, reopened");
    close(a);
}

// Every format of the engine's format table is one of this test's formats.
TEST(IndexModelFormats, EveryFormatOfTheTableIsModelled) {
    for (int32_t type = 1; type <= 10; type++) {
        if (!index_format_available(type)) continue;
        bool modelled = false;
        for (const Format& f : kFormats) modelled = modelled || index_type_of_file((std::string("x.") + f.extension).c_str()) == index_type_of_file((std::string("x") + index_extension(type)).c_str());
        EXPECT_TRUE(modelled) << "index type " << type << " has a format and no model here";
    }
}

TEST_P(IndexModelTest, TwoHandlesSeeEachOthersChanges) {
    if (std::get<1>(GetParam()) % 3 != 0) GTEST_SKIP() << "two handles of one file: shared files only";
    IndexAccess one{}, two{};
    ASSERT_NO_FATAL_FAILURE(open_two_shared("two", &one, &two));
    std::mt19937 rng(11);
    uint32_t next_record = 1;
    for (int round = 0; round < 30; round++) {
        IndexAccess& writer = round % 2 ? one : two;
        for (int i = 0; i < 40; i++) add(writer, Entry{random_text(rng, 8), 0, next_record++});
        for (int i = 0; i < 15; i++) remove(writer, rng() % model_.size());
        check(round % 2 ? two : one, ("round " + std::to_string(round)).c_str());
        if (HasFatalFailure()) return;
    }
    close(one);
    close(two);
}

// Two handles of one file in one process, their changes and closes interleaved at
// Another program adds key args[2] for record args[3] to the 8-byte text keys of
// index file args[0] of type args[1] (a multi-tag file's tag K), shared.
QXDB_TEST_ROLE(add_one_index_key) {
    xdbinit();
    const int32_t type = std::stoi(args.at(1));
    int16_t h = -1;
    if (IndexOpen(type, args.at(0).c_str(), XDB_OPEN_SHORTHAND, &h) < 0) return 1;
    IndexAccess a{};
    a.type = type;
    a.file_handle = (uint16_t)h;
    a.tag_handle = -1;
    if (index_is_multitag(type) && TagOpen(type, "K", h, &a.tag_handle) != XD_OK) return 2;
    a.key_type = 'C';
    a.key_length = 9;
    a.single_field = -1;
    uint8_t key[kIndexKeyBuffer] = {0};
    memcpy(key, args.at(2).data(), 8);
    if (IndexAddKey(&a, key, (uint32_t)std::stoul(args.at(3))) != XD_OK) return 3;
    return IndexClose(type, h) == XD_OK ? 0 : 4;
}

// A file held for its table's whole lock trusts what it read only while that lock
// lasts: once it goes, another program's change is seen at the next operation,
// with no word from the holder, and the journal kept for its changes is gone.
TEST_P(IndexModelTest, AHoldEndsWithTheTablesWholeLock) {
    if (held_table_ < 0) GTEST_SKIP() << "a hold: shared files held for a table's lock only";
    page_cache_set_random_drops(0);  // every page stays cached: nothing is read again by chance
    const std::string file = path("held");
    IndexCreateRequest r{file.c_str(), "K", 'C', 8, 0, nullptr};
    ASSERT_NO_FATAL_FAILURE(create(r));
    IndexAccess a = open(file);
    std::mt19937 rng(41);
    for (uint32_t i = 1; i <= 400; i++) {
        std::string k(8, ' ');
        for (char& c : k) c = (char)('A' + rng() % 26);
        if (k.compare(0, 4, "MMMM") == 0) continue;
        ASSERT_NO_FATAL_FAILURE(add(a, Entry{k, 0, i}));
    }
    ASSERT_NO_FATAL_FAILURE(check(a, "held"));
    ASSERT_EQ(dbf_unlock_file(held_table_, 2), XD_OK);
    // The change journal kept for the held file's splits went with the lock: the
    // other program's add is not kept out by it.
    EXPECT_FALSE(xdb_fexists((file + ".QXJ").c_str()));
    ProgramResult child = run_role("add_one_index_key", {file, std::to_string(format_.type), "MMMMMMMM", "401"});
    ASSERT_EQ(child.code, 0) << child.out;
    model_.insert(std::upper_bound(model_.begin(), model_.end(), Entry{"MMMMMMMM", 0, 401},
                                   [&](const Entry& x, const Entry& y) { return before(x, y); }),
                  Entry{"MMMMMMMM", 0, 401});
    ASSERT_NO_FATAL_FAILURE(check(a, "after the lock went and another program added a key"));
    // Locked again: a new lock, for which the file was not held; still read afresh.
    ASSERT_EQ(dbf_lock_file(held_table_, 2), XD_OK);
    ASSERT_NO_FATAL_FAILURE(check(a, "locked again"));
    close(a);
}

// random: a close must rest on nothing read before the other handle's last change
// (an NDX close once compacted its freed blocks with a root and block count the
// other handle had changed, cutting its blocks and writing its old root back).
TEST_P(IndexModelTest, TwoHandlesChangingAndClosingInTurn) {
    if (std::get<1>(GetParam()) % 3 != 0) GTEST_SKIP() << "two handles of one file: shared files only";
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        model_.clear();
        IndexAccess handles[2];
        const std::string base = "turns" + std::to_string(seed);
        ASSERT_NO_FATAL_FAILURE(open_two_shared(base.c_str(), &handles[0], &handles[1]));
        const std::string file = path(base.c_str());
        std::mt19937 rng(seed);
        uint32_t next_record = 1;
        for (int round = 0; round < 12; round++) {
            // One handle frees blocks, the other changes the tree after it, then the
            // first closes (and opens again), in a random order of the three.
            const int first = (int)(rng() % 2);
            IndexAccess& freer = handles[first];
            IndexAccess& other = handles[1 - first];
            for (int i = 0; i < 120; i++) add(rng() % 3 ? freer : other, Entry{random_text(rng, 8), 0, next_record++});
            for (int i = 0; i < 90 && !model_.empty(); i++) remove(freer, rng() % model_.size());
            for (int i = 0; i < (int)(rng() % 60); i++) add(other, Entry{random_text(rng, 8), 0, next_record++});
            if (rng() % 2)
                for (int i = 0; i < 20 && !model_.empty(); i++) remove(other, rng() % model_.size());
            close(freer);
            uint16_t mode = open_mode_;
            open_mode_ = XDB_OPEN_SHORTHAND;
            freer = open(file);
            open_mode_ = mode;
            check(other, ("seed " + std::to_string(seed) + ", round " + std::to_string(round)).c_str());
            if (HasFatalFailure()) return;
        }
        close(handles[0]);
        close(handles[1]);
        IndexAccess again = open(file);
        check(again, ("seed " + std::to_string(seed) + ", both closed").c_str());
        close(again);
        if (HasFatalFailure()) return;
    }
}

// A walk through one handle goes on from the entry it was handed while another
// handle adds and deletes keys between its steps: in the walk's leaf (the header
// unchanged, so only the leaf itself tells), elsewhere, and the entry just handed
// out. Each step lands on the model's neighbour of that entry. Keys are distinct,
// so that the neighbour of a deleted entry is the same under every format's rule.
TEST_P(IndexModelTest, WalksGoOnRightWhileAnotherHandleChangesTheTree) {
    if (std::get<1>(GetParam()) % 3 != 0) GTEST_SKIP() << "two handles of one file: shared files only";
    IndexAccess walker{}, writer{};
    ASSERT_NO_FATAL_FAILURE(open_two_shared("walk", &walker, &writer));
    std::mt19937 rng(29);
    uint32_t next_record = 1;
    auto fresh_key = [&] {
        for (;;) {
            std::string k(8, ' ');
            for (char& c : k) c = (char)('A' + rng() % 26);
            if (std::none_of(model_.begin(), model_.end(), [&](const Entry& e) { return e.key == k; })) return k;
        }
    };
    for (int i = 0; i < 300; i++) add(writer, Entry{fresh_key(), 0, next_record++});
    for (int round = 0; round < 8; round++) {
        bool forward = round % 2 == 0;
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        uint32_t recno = 0;
        XDSTATUS s = forward ? IndexFirst(&walker, key, &recno) : IndexLast(&walker, key, &recno);
        ASSERT_EQ(s, XD_OK);
        Entry at = forward ? model_.front() : model_.back();
        ASSERT_EQ(recno, at.recno);
        for (int step = 0;; step++) {
            std::string when = "round " + std::to_string(round) + " step " + std::to_string(step);
            int change = (int)(rng() % 6);
            if (change == 0) {
                // A key next to the walk's entry: most often into its leaf.
                std::string k = at.key;
                k[7] = (char)(k[7] == 'Z' ? 'A' : k[7] + 1);
                if (std::none_of(model_.begin(), model_.end(), [&](const Entry& e) { return e.key == k; }))
                    add(writer, Entry{k, 0, next_record++});
            } else if (change == 1) {
                add(writer, Entry{fresh_key(), 0, next_record++});
            } else if (change == 2 && model_.size() > 50) {
                remove(writer, rng() % model_.size());
            } else if (change == 3) {
                auto it = std::find_if(model_.begin(), model_.end(), [&](const Entry& e) { return e.recno == at.recno; });
                if (it != model_.end()) remove(writer, (size_t)(it - model_.begin()));
            }
            if (HasFatalFailure()) return;
            s = forward ? IndexNext(&walker, key, &recno) : IndexPrevious(&walker, key, &recno);
            // The model's neighbour of the entry handed out last (gone or not).
            const Entry* expected = nullptr;
            if (forward) {
                auto it = std::upper_bound(model_.begin(), model_.end(), at,
                                           [&](const Entry& x, const Entry& y) { return x.key < y.key; });
                if (it != model_.end()) expected = &*it;
            } else {
                auto it = std::lower_bound(model_.begin(), model_.end(), at,
                                           [&](const Entry& x, const Entry& y) { return x.key < y.key; });
                if (it != model_.begin()) expected = &*(it - 1);
            }
            if (!expected) {
                ASSERT_EQ(s, XD_NOMOREKEYS) << when;
                break;
            }
            ASSERT_EQ(s, XD_OK) << when;
            ASSERT_EQ(recno, expected->recno) << when;
            ASSERT_TRUE(same_key(walker, key, *expected)) << when << ": " << key;
            at = *expected;
        }
    }
    check(walker, "after the walks");
    close(walker);
    close(writer);
}

std::string name_of(const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
    static const char* ways[] = {"Shared", "Exclusive", "ExclusiveDroppingPages", "HeldForTheTablesLock"};
    return std::string(kFormats[std::get<0>(info.param)].name) + ways[std::get<1>(info.param)];
}

// Every format each way, the formats varying fastest: test shards take every other
// test, and the runs of one way (the shared ones are the slowest) then fall to
// both shards alike.
std::vector<std::tuple<int, int>> formats_each_way() {
    std::vector<std::tuple<int, int>> all;
    for (int way = 0; way < 4; way++)
        for (int format = 0; format < (int)(sizeof kFormats / sizeof kFormats[0]); format++) all.emplace_back(format, way);
    return all;
}

INSTANTIATE_TEST_SUITE_P(Formats, IndexModelTest, ::testing::ValuesIn(formats_each_way()),
                         name_of);

}  // namespace
