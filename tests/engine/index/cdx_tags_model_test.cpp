// Several tags of one CDX file kept together against a model: a text tag, a
// number tag, a date tag and a descending one, every record's keys added, moved
// and removed in random batches; between batches a tag is made and filled, or
// removed, and the file closed and opened again. After every batch each tag walks
// as the model orders it, and the file and every tag check clean.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/core/engine.h"
#include "engine/index/idx/idx.h"
#include "engine/index/index.h"
#include "tests/support/engine_test.h"

namespace {

struct Row {
    std::string name;  // 10 characters
    double amount;
    int year, month, day;  // year 0: blank
};

struct TagModel {
    const char* name;
    char type;
    uint16_t length;
    bool descending;
    std::vector<uint8_t> (*key)(const Row& r);
};

std::vector<uint8_t> name_key(const Row& r) { return std::vector<uint8_t>(r.name.begin(), r.name.end()); }
std::vector<uint8_t> amount_key(const Row& r) {
    std::vector<uint8_t> k(8);
    idx_number_key(r.amount, k.data());
    return k;
}
std::vector<uint8_t> born_key(const Row& r) {
    std::vector<uint8_t> k(8);
    idx_date_key(r.year, r.month, r.day, k.data());
    return k;
}
std::vector<uint8_t> initial_key(const Row& r) { return std::vector<uint8_t>(r.name.begin(), r.name.begin() + 3); }

const TagModel kTags[] = {{"NAME", 'C', 10, false, name_key},
                          {"AMOUNT", 'N', 8, false, amount_key},
                          {"BORN", 'D', 8, false, born_key},
                          {"NAMEDESC", 'C', 10, true, name_key}};
const TagModel kExtra = {"INITIAL", 'C', 3, false, initial_key};

class CdxTagsModelTest : public EngineTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        path_ = dir_ + "/tags.cdx";
        mode_ = GetParam() ? XDB_OPEN_SHORTHAND : 0;
    }
    void TearDown() override {
        if (file_ >= 0) IndexClose(10, file_);
        EngineTest::TearDown();
    }
    // Creates the tag in the file (made when missing), empty.
    void create_tag(const TagModel& t) {
        if (file_ >= 0) close_file();
        IndexCreateRequest r{path_.c_str(), t.name, t.type, t.length, 0, t.name};
        ASSERT_EQ(IndexCreate(&r), XD_OK) << t.name;
        if (t.descending) {
            // The request makes ascending tags: the tag is made again through the
            // build, with no table, empty.
            IndexTagBuild b{path_.c_str(), t.name, t.name, "", t.type, t.length, false, true};
            ASSERT_EQ(IndexBuildTag(10, -1, &b), XD_OK);
        }
    }
    void open_file() {
        ASSERT_EQ(IndexOpen(10, path_.c_str(), mode_, &file_), XD_OK);
        for (auto& [name, open] : open_) {
            open.a = IndexAccess{};
            open.a.type = 10;
            open.a.file_handle = (uint16_t)file_;
            ASSERT_EQ(TagOpen(10, name.c_str(), file_, &open.a.tag_handle), XD_OK) << name;
            open.a.key_type = open.model.type;
            open.a.key_length = open.model.type == 'C' ? open.model.length + 1u : 8u;
            open.a.single_field = -1;
        }
    }
    void close_file() {
        EXPECT_EQ(IndexClose(10, file_), XD_OK);
        file_ = -1;
    }
    void add_entry(const TagModel& t, IndexAccess& a, uint32_t recno) {
        std::vector<uint8_t> k = t.key(rows_[recno]);
        k.resize(kIndexKeyBuffer + 8, 0);
        ASSERT_EQ(IndexAddKey(&a, k.data(), recno), XD_OK) << t.name << " " << recno;
    }
    void remove_entry(const TagModel& t, IndexAccess& a, uint32_t recno) {
        std::vector<uint8_t> k = t.key(rows_[recno]);
        k.resize(kIndexKeyBuffer + 8, 0);
        ASSERT_EQ(IndexDeleteKey(&a, k.data(), recno), XD_OK) << t.name << " " << recno;
    }
    Row random_row() {
        Row r;
        r.name = std::string(10, ' ');
        for (size_t i = 0; i < 1 + rng_() % 9; i++) r.name[i] = "ABCDE "[rng_() % 6];
        r.amount = (double)((int)(rng_() % 2001) - 1000) / 4;
        r.year = rng_() % 8 ? 1890 + (int)(rng_() % 150) : 0;
        r.month = 1 + (int)(rng_() % 12);
        r.day = 1 + (int)(rng_() % 28);
        return r;
    }
    void check(const char* when) {
        char fault[200] = "";
        uint32_t none = 0;
        ASSERT_EQ(IndexCheck(10, file_, &none, fault, sizeof fault), XD_OK) << when << ": " << fault;
        for (auto& [name, open] : open_) {
            // The model's order: key bytes, then record number; turned round for a
            // descending tag.
            std::vector<std::pair<std::vector<uint8_t>, uint32_t>> want;
            for (const auto& [recno, row] : rows_) want.push_back({open.model.key(row), recno});
            std::sort(want.begin(), want.end());
            if (open.model.descending) std::reverse(want.begin(), want.end());
            uint32_t entries = 0;
            ASSERT_EQ(IndexCheck(10, (int16_t)open.a.tag_handle, &entries, fault, sizeof fault), XD_OK)
                << when << " " << name << ": " << fault;
            ASSERT_EQ(entries, want.size()) << when << " " << name;
            uint8_t key[kIndexKeyBuffer + 8] = {0};
            uint32_t recno = 0;
            size_t n = 0;
            for (XDSTATUS s = IndexFirst(&open.a, key, &recno); s == XD_OK; s = IndexNext(&open.a, key, &recno), n++) {
                ASSERT_LT(n, want.size()) << when << " " << name;
                ASSERT_EQ(recno, want[n].second) << when << " " << name << " at " << n;
                ASSERT_EQ(memcmp(key, want[n].first.data(), want[n].first.size()), 0) << when << " " << name << " at " << n;
            }
            ASSERT_EQ(n, want.size()) << when << " " << name;
        }
    }
    struct OpenTag {
        TagModel model;
        IndexAccess a;
    };
    std::string path_;
    uint16_t mode_ = 0;
    int16_t file_ = -1;
    std::map<std::string, OpenTag> open_;
    std::map<uint32_t, Row> rows_;
    std::mt19937 rng_{20261207};
};

TEST_P(CdxTagsModelTest, TagsKeptTogetherMadeAndRemovedBetweenBatches) {
    for (const TagModel& t : kTags) {
        ASSERT_NO_FATAL_FAILURE(create_tag(t));
        open_[t.name] = OpenTag{t, IndexAccess{}};
    }
    ASSERT_NO_FATAL_FAILURE(open_file());
    uint32_t next = 1;
    for (int batch = 0; batch < 10; batch++) {
        for (int op = 0; op < 150; op++) {
            const int kind = (int)(rng_() % 4);
            if (kind <= 1 || rows_.empty()) {
                const uint32_t recno = next++;
                rows_[recno] = random_row();
                for (auto& [name, open] : open_) ASSERT_NO_FATAL_FAILURE(add_entry(open.model, open.a, recno));
            } else {
                auto it = rows_.begin();
                std::advance(it, (long)(rng_() % rows_.size()));
                const uint32_t recno = it->first;
                for (auto& [name, open] : open_) ASSERT_NO_FATAL_FAILURE(remove_entry(open.model, open.a, recno));
                if (kind == 2) {
                    rows_.erase(it);  // deleted
                } else {
                    rows_[recno] = random_row();  // modified: every key moves
                    for (auto& [name, open] : open_) ASSERT_NO_FATAL_FAILURE(add_entry(open.model, open.a, recno));
                }
            }
        }
        const std::string when = "batch " + std::to_string(batch);
        ASSERT_NO_FATAL_FAILURE(check(when.c_str()));
        // Between batches: the extra tag made (and filled) or removed, or the file
        // closed and opened again.
        if (batch % 3 == 0) {
            ASSERT_NO_FATAL_FAILURE(create_tag(kExtra));
            open_[kExtra.name] = OpenTag{kExtra, IndexAccess{}};
            ASSERT_NO_FATAL_FAILURE(open_file());
            for (const auto& [recno, row] : rows_)
                ASSERT_NO_FATAL_FAILURE(add_entry(kExtra, open_[kExtra.name].a, recno));
        } else if (batch % 3 == 1) {
            ASSERT_EQ(TagClose(10, open_[kExtra.name].a.tag_handle), XD_OK);
            open_.erase(kExtra.name);
            ASSERT_EQ(IndexRemoveTag(10, file_, kExtra.name), XD_OK);
            int32_t gone = -1;
            EXPECT_LT(TagOpen(10, kExtra.name, file_, &gone), 0);
            xdb_set_status(XD_OK);
        } else {
            close_file();
            ASSERT_NO_FATAL_FAILURE(open_file());
        }
        ASSERT_NO_FATAL_FAILURE(check((when + ", after the tags changed").c_str()));
    }
}

INSTANTIATE_TEST_SUITE_P(Sharing, CdxTagsModelTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Shared" : "Exclusive"; });

}  // namespace
