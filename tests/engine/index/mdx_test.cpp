// MDX files: the layout of new files and tags, the packed number keys, the files
// other dBASE-family programs wrote (xbase64's production index with the key
// order of each tag recorded, and real applications' files), a model of several
// tags of different key types changed together, and a stop at every write of a
// tag's creation, removal and page splits.

#include <gtest/gtest.h>

#include <functional>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/mdx/mdx.h"
#include "engine/index/ndx/dbase_tree.h"
#include "engine/index/ndx/ndx.h"
#include "engine/index/table_check.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/recorded.h"
#include "tests/support/stop_points.h"

namespace fs = std::filesystem;

namespace {

const std::string kDbase4 = std::string(QXDB_TEST_DATA) + "/peers/xbase64/dbase4/";

class MdxTest : public StopPointsTest {
protected:
    void TearDown() override {
        for (int16_t h : files_) {
            xdb_set_status(XD_OK);
            mdx_close(h);
        }
        StopPointsTest::TearDown();
    }
    int16_t open(const std::string& path, uint16_t mode = 0) {
        int16_t h = -1;
        EXPECT_GE(mdx_open(&h, path.c_str(), mode), 0) << path;
        xdb_set_status(XD_OK);
        if (h >= 0) files_.push_back(h);
        return h;
    }
    void close(int16_t h) {
        files_.erase(std::remove(files_.begin(), files_.end(), h), files_.end());
        EXPECT_EQ(mdx_close(h), XD_OK);
    }
    int32_t tag(int16_t h, const char* name) {
        int32_t t = -1;
        EXPECT_EQ(mdx_tag_open(h, name, 0, &t), XD_OK) << name;
        return t;
    }
    std::vector<std::pair<std::string, uint32_t>> walk(int32_t t, size_t size, bool back = false) {
        std::vector<std::pair<std::string, uint32_t>> out;
        uint8_t key[128] = {0};
        uint32_t recno = 0;
        for (XDSTATUS s = back ? mdx_last((int16_t)t, key, &recno) : mdx_first((int16_t)t, key, &recno);
             s == XD_OK && out.size() < 100000;
             s = back ? mdx_previous((int16_t)t, key, &recno) : mdx_next((int16_t)t, key, &recno))
            out.push_back({std::string((const char*)key, size), recno});
        xdb_set_status(XD_OK);
        if (back) std::reverse(out.begin(), out.end());
        return out;
    }
    std::string check_file(int16_t h) {
        char fault[240] = "";
        XDSTATUS s = mdx_check_file(h, fault, sizeof fault);
        xdb_set_status(XD_OK);
        // Unused space is a note, not a fault.
        return s == XD_OK ? "" : fault;
    }
    // Tag `t` of file `h` against the table: every record's key, FOR condition and all.
    IndexTableCheck check_against(int16_t h, int32_t t, int16_t table) {
        IndexDescription d;
        EXPECT_EQ(IndexDescribe(2, (int16_t)t, &d), XD_OK);
        IndexAccess a{};
        a.type = 2;
        a.file_handle = (uint16_t)h;
        a.tag_handle = t;
        a.key_length = (uint32_t)d.key_length;
        a.key_type = d.key_type;
        a.single_field = -1;
        IndexTableCheck c;
        EXPECT_EQ(IndexCheckAgainstTable(&a, table, (d.flags & MDX_UNIQUE) != 0, &c), XD_OK);
        return c;
    }
    std::vector<int16_t> files_;
};

std::string number_key(double v) {
    uint8_t k[12];
    mdx_number_key(v, k);
    return std::string((const char*)k, 12);
}

// A number key made the long way, as the rules give it: "%lf", then its digits
// packed after the sign, leading zeros and the point.
std::string packed_as_written(double v) {
    char text[400];
    snprintf(text, sizeof text, "%lf", v);
    std::string t = text, digits;
    const bool negative = t[0] == '-';
    size_t at = negative ? 1 : 0;
    while (at < t.size() && t[at] == '0') at++;
    const size_t point = t.find('.');
    int integer_digits = (int)(point - at), zeros = 0;
    digits = t.substr(at, point - at);
    std::string fraction = t.substr(point + 1);
    if (integer_digits == 0)
        while (zeros < (int)fraction.size() && fraction[(size_t)zeros] == '0') zeros++;
    digits += fraction.substr(integer_digits == 0 ? (size_t)zeros : 0);
    uint8_t k[12] = {52, 5};
    if (digits.find_first_not_of('0') != std::string::npos) {
        k[0] = (uint8_t)(integer_digits > 0 ? 52 + integer_digits : 52 - zeros);
        k[1] = negative ? 133 : 5;
        for (size_t i = 0; i < digits.size() && i < 20; i++) k[2 + i / 2] |= (uint8_t)((digits[i] - '0') << (i % 2 ? 0 : 4));
    }
    return std::string((const char*)k, 12);
}

std::string date_key(int y, int m, int d) {
    const double v = y == 0 ? kMdxBlankDate : ndx_date_key(y, m, d);
    return std::string((const char*)&v, 8);
}

TEST_F(MdxTest, NewFilesAndTagsAreLaidOutAsDbaseLaysThemOut) {
    ASSERT_EQ(mdx_create_file("people.mdx"), XD_OK);
    const std::vector<uint8_t> made = file_byte_vector("people.mdx");
    ASSERT_EQ(made.size(), 2048u);
    EXPECT_EQ(made[0], 2);
    EXPECT_EQ(std::string((const char*)&made[4], 6), "PEOPLE");
    EXPECT_EQ(get_le16(&made[20]), 2);
    EXPECT_EQ(get_le16(&made[22]), 1024);
    EXPECT_EQ(made[25], 48);
    EXPECT_EQ(made[26], 32);
    EXPECT_EQ(get_le32(&made[32]), 4u);
    EXPECT_EQ(mdx_create_file("toolongname.mdx"), XD_BADFILENAME);
    xdb_set_status(XD_OK);

    int16_t h = open("people.mdx");
    ASSERT_EQ(mdx_create_tag(h, "name", 'C', "upper( name )", nullptr, 10, -1), XD_OK);
    close(h);  // read by another handle: a file open without sharing is its handle's alone
    const std::vector<uint8_t> one = file_byte_vector("people.mdx");
    h = open("people.mdx");
    ASSERT_EQ(one.size(), 8u * 512);
    EXPECT_EQ(get_le32(&one[32]), 8u);
    EXPECT_EQ(get_le16(&one[28]), 1);
    EXPECT_EQ(get_le32(&one[512 + 32]), 4u);  // entry 1: the header at block 4
    EXPECT_EQ(std::string((const char*)&one[512 + 36], 5), std::string("NAME\0", 5));
    EXPECT_EQ(one[512 + 32 + 18], 0);  // previous: the head
    EXPECT_EQ(one[512 + 32 + 19], 2);
    EXPECT_EQ(one[512 + 32 + 20], 'C');
    const uint8_t* header = &one[4 * 512];
    EXPECT_EQ(get_le32(header), 6u);  // the root at block 6
    EXPECT_EQ(header[8], 16);
    EXPECT_EQ(get_le16(header + 12), 10);
    EXPECT_EQ(get_le16(header + 14), 63);
    EXPECT_EQ(get_le16(header + 18), 16);
    EXPECT_EQ(std::string((const char*)header + 24), "UPPER(NAME)");
    EXPECT_EQ(check_file(h), "");

    // The tag names and types the rules refuse.
    EXPECT_EQ(mdx_create_tag(h, "ELEVENCHARS", 'C', "NAME", nullptr, 10, -1), XD_BADTAGNAME);
    xdb_set_status(XD_OK);
    EXPECT_EQ(mdx_create_tag(h, "X", 'L', "NAME", nullptr, 10, -1), XD_BADKEYTYPE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(mdx_create_tag(h, "X", 'C', "NAME", nullptr, 101, -1), XD_BADKEYSIZE);
    xdb_set_status(XD_OK);
    int32_t none = -1;
    EXPECT_EQ(mdx_tag_open(h, "NOSUCH", 0, &none), XD_BADTAGNAME);
    xdb_set_status(XD_OK);
    close(h);

    // A tag header with a key format bit the rules do not know is refused.
    std::vector<uint8_t> bad = one;
    bad[4 * 512 + 8] |= 1;
    { std::ofstream("bad.mdx", std::ios::binary).write((const char*)bad.data(), (std::streamsize)bad.size()); }
    int16_t b = open("bad.mdx");
    int32_t t = -1;
    EXPECT_EQ(mdx_tag_open(b, "NAME", 0, &t), XD_BADKEYFORMAT);
    xdb_set_status(XD_OK);
    // Header checks.
    for (auto [at, value, status] : {std::tuple<int, int, XDSTATUS>{0, 3, XD_BADVERSION}, {20, 33, XD_BADBLOCKSIZE},
                                    {22, 7, XD_BADOFFSET}, {25, 47, XD_BADTAGTABLEMAX}, {26, 16, XD_BADTAGITEMSIZE},
                                    {28, 48, XD_BADTAGCOUNT}}) {
        std::vector<uint8_t> damaged = one;
        damaged[(size_t)at] = (uint8_t)value;
        std::ofstream("damaged.mdx", std::ios::binary).write((const char*)damaged.data(), (std::streamsize)damaged.size());
        int16_t d = -1;
        EXPECT_EQ(mdx_open(&d, "damaged.mdx", 0), status) << at;
        EXPECT_EQ(d, -1);
        xdb_set_status(XD_OK);
    }
}

TEST_F(MdxTest, NumberKeysArePackedDigitsInTheOrderOfTheirValues) {
    const uint8_t twelve_and_a_half[12] = {0x36, 0x05, 0x12, 0x50};
    EXPECT_EQ(number_key(12.5), std::string((const char*)twelve_and_a_half, 12));
    const uint8_t zero[12] = {52, 5};
    EXPECT_EQ(number_key(0), std::string((const char*)zero, 12));
    EXPECT_EQ(number_key(-0.0), std::string((const char*)zero, 12));
    std::vector<double> values = {-1e15, -123456.789, -100, -99.99, -1, -0.5, -0.05, -0.001, 0, 0.001, 0.01, 0.05,
                                  0.1,   0.5,         1,    9.99,   10, 99,   100,  12345.678, 1e15, 31415926.5};
    std::mt19937 random(7);
    for (int i = 0; i < 300; i++) values.push_back(std::round(std::uniform_real_distribution<double>(-1e6, 1e6)(random) * 100) / 100);
    const std::vector<double> ordered = values;  // exact to the key's six decimals
    for (int i = 0; i < 2000; i++) {
        const int scale = (int)(random() % 9);
        values.push_back(std::round(std::uniform_real_distribution<double>(-1e9, 1e9)(random)) / std::pow(10.0, scale));
    }
    values.push_back(0.0000005);
    values.push_back(-2.5e-7);
    values.push_back(123456789.1234565);
    values.push_back(1e300);
    for (double v : values) {
        uint8_t k[12];
        mdx_number_key(v, k);
        EXPECT_EQ(std::string((const char*)k, 12), packed_as_written(v)) << v;
        if (std::fabs(v) < 1e15 && v == std::round(v * 1e6) / 1e6) {
            EXPECT_DOUBLE_EQ(mdx_key_number(k), v) << v;
        }
    }
    for (double a : ordered)
        for (double b : ordered) {
            const std::string ka = number_key(a), kb = number_key(b);
            const int c = dbase_compare_packed((const uint8_t*)ka.data(), (const uint8_t*)kb.data());
            ASSERT_EQ(c < 0, a < b) << a << " " << b;
            ASSERT_EQ(c == 0, a == b) << a << " " << b;
        }
}

// xbase64's production index of a dBASE IV table, with the key order of each tag
// recorded: every tag walks in that order both ways, checks clean against its
// table, and finds every key it holds. xbase64 writes zero with 1 in its second
// byte (5 here) and the blank date as 21474835648 (1.0E100 here): its keys are
// read as those values.
TEST_F(MdxTest, XbaseTagsWalkInTheirWritersOrderAndCheckClean) {
    int16_t table = -1;
    ASSERT_GE(dbf_open(&table, (kDbase4 + "PEOPLE.DBF").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 2), 0);
    xdb_set_status(XD_OK);
    int16_t h = open(kDbase4 + "PEOPLE.MDX", XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND);
    EXPECT_EQ(check_file(h), "");
    int16_t count = 0;
    ASSERT_EQ(mdx_tag_count(h, &count), XD_OK);
    ASSERT_EQ(count, 9);
    int found = 0;
    for (const char* name : {"NAME", "AGE", "BALANCE", "BORN", "CITYBORN", "SALARY", "UCITY", "DBALANCE", "ACTNAME"}) {
        SCOPED_TRACE(name);
        int32_t t = tag(h, name);
        MdxTagInfo info;
        ASSERT_EQ(mdx_tag_info(t, &info), XD_OK);
        EXPECT_EQ((info.flags & MDX_DESCENDING) != 0, std::string(name) == "DBALANCE");
        EXPECT_EQ((info.flags & MDX_UNIQUE) != 0, std::string(name) == "UCITY");
        EXPECT_EQ(std::string(info.condition), std::string(name) == "ACTNAME" ? "ACTIVE" : "");
        std::vector<uint32_t> want;
        std::vector<std::string> recorded_keys;
        std::ifstream in(kDbase4 + "PEOPLE." + name + ".keys.tsv");
        for (std::string line; std::getline(in, line);) {
            want.push_back((uint32_t)std::stoul(line.substr(0, line.find('\t'))));
            recorded_keys.push_back(line.substr(line.find('\t') + 1));
        }
        const auto forward = walk(t, info.key_length), back = walk(t, info.key_length, true);
        std::vector<uint32_t> order;
        for (const auto& e : forward) order.push_back(e.second);
        EXPECT_EQ(order, want);
        EXPECT_EQ(forward, back);
        // The first entry of every key is where a seek of it lands.
        for (size_t i = 0; i < forward.size(); i++) {
            if (i > 0 && forward[i].first == forward[i - 1].first) continue;
            if (info.key_type == 'N') {
                EXPECT_DOUBLE_EQ(mdx_key_number((const uint8_t*)forward[i].first.data()), std::stod(recorded_keys[i]));
            }
            uint8_t key[128] = {0};
            memcpy(key, forward[i].first.data(), info.key_length);
            uint32_t recno = 0;
            ASSERT_EQ(mdx_seek((int16_t)t, key, info.key_length, &recno, 0), XD_OK) << i;
            EXPECT_EQ(recno, forward[i].second) << i;
            found++;
        }
        // Against the table: every record's key, FOR condition and all.
        const IndexTableCheck c = check_against(h, t, table);
        EXPECT_EQ(c.faults, 0u) << c.structure;
        EXPECT_EQ(c.entries, want.size());
        EXPECT_EQ(mdx_tag_close(t), XD_OK);
    }
    EXPECT_GT(found, 1000);
    dbf_close(table);
}

// The MDX files of real applications: every tag opens and checks clean, and the
// file's blocks are each a tree's, a header's or free.
TEST_F(MdxTest, RealApplicationsFilesCheckClean) {
    int files = 0, tags = 0;
    for (const auto& e : fs::recursive_directory_iterator(kReal)) {
        std::string ext = e.path().extension().string();
        for (char& c : ext) c = (char)tolower((unsigned char)c);
        if (ext != ".mdx") continue;
        SCOPED_TRACE(e.path().string());
        files++;
        int16_t h = open(e.path().string(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND);
        EXPECT_EQ(check_file(h), "");
        int16_t count = 0;
        ASSERT_EQ(mdx_tag_count(h, &count), XD_OK);
        for (int16_t i = 1; i <= count; i++) {
            int32_t t = -1;
            ASSERT_EQ(mdx_tag_open(h, nullptr, i, &t), XD_OK);
            char fault[200] = "";
            uint32_t entries = 0;
            EXPECT_EQ(mdx_check((int16_t)t, &entries, fault, sizeof fault, nullptr, nullptr), XD_OK) << fault;
            EXPECT_GT(entries, 0u);
            mdx_tag_close(t);
            tags++;
        }
    }
    EXPECT_GE(files, 4);
    EXPECT_GE(tags, 4);
}

// Three tags of different key types (text, packed numbers descending, dates) in
// one file, changed together at random against a model; tags removed and made
// again between batches; closed and opened again. Pages split and merge.
TEST_F(MdxTest, SeveralTagsChangedTogetherFollowAModel) {
    ASSERT_EQ(mdx_create_file("model.mdx"), XD_OK);
    int16_t h = open("model.mdx");
    struct Model {
        const char* name;
        char type;
        uint16_t flags;
        std::multiset<std::pair<std::string, uint32_t>> entries;
    };
    std::vector<Model> models = {{"TEXT", 'C', 0, {}}, {"NUMBER", 'N', MDX_DESCENDING, {}}, {"BORN", 'D', 0, {}}};
    auto make = [&](Model& m) {
        ASSERT_EQ(mdx_create_tag(h, m.name, (uint16_t)(m.type | m.flags), "X", nullptr, 12, -1), XD_OK);
        m.entries.clear();
    };
    for (Model& m : models) make(m);
    std::mt19937 random(11);
    auto key_of = [&](const Model& m, uint32_t n) {
        if (m.type == 'C') {
            char text[13];
            snprintf(text, sizeof text, "K%05u%-6s", (n * 7919u) % 3000, n % 3 ? "A" : "");
            return std::string(text, 12);
        }
        if (m.type == 'N') return number_key(((double)((n * 104729u) % 20000) - 10000) / 8);
        return n % 17 == 0 ? date_key(0, 0, 0) : date_key(1900 + (int)(n % 150), 1 + (int)(n % 12), 1 + (int)(n % 28));
    };
    auto compare_all = [&](const std::string& where) {
        for (Model& m : models) {
            int32_t t = tag(h, m.name);
            const size_t size = m.type == 'C' ? 12 : m.type == 'N' ? 12 : 8;
            auto got = walk(t, size);
            std::vector<std::pair<std::string, uint32_t>> want(m.entries.begin(), m.entries.end());
            // The model in the tag's order: by value (descending for NUMBER), then record.
            DbaseTree probe{};
            probe.kind = m.type == 'C' ? kDbaseText : m.type == 'N' ? kDbasePacked : kDbaseDouble;
            probe.dates = m.type == 'D';
            probe.descending = m.flags & MDX_DESCENDING;
            probe.key_length = (uint16_t)size;
            std::sort(want.begin(), want.end(), [&](const auto& a, const auto& b) {
                int c = dbase_compare(&probe, (const uint8_t*)a.first.data(), (const uint8_t*)b.first.data(), (uint16_t)size, false);
                return c != 0 ? c < 0 : a.second < b.second;
            });
            ASSERT_EQ(got, want) << where << " " << m.name;
            char fault[200] = "";
            uint32_t entries = 0;
            ASSERT_EQ(mdx_check((int16_t)t, &entries, fault, sizeof fault, nullptr, nullptr), XD_OK) << where << fault;
            mdx_tag_close(t);
        }
        ASSERT_EQ(check_file(h), "") << where;
    };
    std::map<uint32_t, bool> live;
    for (int batch = 0; batch < 8; batch++) {
        std::vector<int32_t> open_tags;
        for (Model& m : models) open_tags.push_back(tag(h, m.name));
        for (int op = 0; op < 700; op++) {
            const uint32_t n = 1 + random() % 2500;
            const bool add = !live[n];
            for (size_t i = 0; i < models.size(); i++) {
                const std::string k = key_of(models[i], n);
                XDSTATUS s = add ? mdx_add_key((int16_t)open_tags[i], k.data(), (uint16_t)k.size(), n)
                                 : mdx_delete_key((int16_t)open_tags[i], k.data(), (uint16_t)k.size(), n);
                ASSERT_EQ(s, XD_OK) << batch << " " << op << " " << models[i].name;
                if (add) models[i].entries.insert({k, n});
                else models[i].entries.erase(models[i].entries.find({k, n}));
            }
            live[n] = add;
        }
        for (int32_t t : open_tags) mdx_tag_close(t);
        compare_all("batch " + std::to_string(batch));
        if (HasFatalFailure()) return;
        // A tag removed and made again (empty): its pages go to the free list and
        // come back from it; the records it held are added again.
        Model& again = models[(size_t)batch % models.size()];
        ASSERT_EQ(mdx_remove_tag(h, again.name), XD_OK);
        make(again);
        int32_t t = tag(h, again.name);
        for (const auto& [n, is_live] : live)
            if (is_live) {
                const std::string k = key_of(again, n);
                ASSERT_EQ(mdx_add_key((int16_t)t, k.data(), (uint16_t)k.size(), n), XD_OK);
                again.entries.insert({k, n});
            }
        mdx_tag_close(t);
        if (batch % 2) {
            close(h);
            h = open("model.mdx");
        }
        compare_all("after batch " + std::to_string(batch));
        if (HasFatalFailure()) return;
    }
    MdxFileInfo info;
    ASSERT_EQ(mdx_file_info(h, &info), XD_OK);
    EXPECT_GT(info.free_count, 0u);  // pages freed by merges and removals, kept for reuse
}

// A tag made from a table, a tag removed, and keys added until pages split: a stop
// at any write leaves a file whose tags all check clean and hold the old set of
// tags or the new one.
TEST_F(MdxTest, AStopAnywhereLeavesCleanTags) {
    fs::create_directories(work());
    std::vector<std::string> rows;
    for (int i = 0; i < 120; i++) {
        char row[64];
        snprintf(row, sizeof row, "NAME%04d  %6d", (i * 37) % 120, i * 3 - 100);
        rows.push_back(row);
    }
    build_dbf(0x03, {{"NAME", 'C', 10}, {"AMOUNT", 'N', 6}}, rows).write(work() + "/t.dbf");
    const std::string file = work() + "/t.mdx";
    ASSERT_EQ(mdx_create_file(file.c_str()), XD_OK);
    int16_t h = open(file);
    ASSERT_EQ(mdx_create_tag(h, "NAME", 'C', "NAME", nullptr, 10, -1), XD_OK);
    ASSERT_EQ(mdx_create_tag(h, "AMOUNT", 'N', "AMOUNT", nullptr, 12, -1), XD_OK);
    int32_t t = tag(h, "NAME");
    for (uint32_t n = 1; n <= 100; n++) {  // two leaves under a root
        char k[11];
        snprintf(k, sizeof k, "NAME%04u", n * 2);
        ASSERT_EQ(mdx_add_key((int16_t)t, k, 8, n), XD_OK);
    }
    mdx_tag_close(t);
    close(h);
    save_pristine();

    // What every stop must leave: a file that opens, with clean tags, NAME among them.
    auto verify = [&](const std::string& where, const std::vector<std::string>& old_set,
                      const std::vector<std::string>& new_set) {
        int16_t v = -1;
        ASSERT_GE(mdx_open(&v, file.c_str(), 0), 0) << where;
        xdb_set_status(XD_OK);
        char fault[240] = "";
        XDSTATUS s = mdx_check_file(v, fault, sizeof fault);
        EXPECT_EQ(s, XD_OK) << where << ": " << fault;
        xdb_set_status(XD_OK);
        int16_t count = 0;
        mdx_tag_count(v, &count);
        std::vector<std::string> names;
        for (int16_t i = 1; i <= count; i++) {
            int32_t g = -1;
            ASSERT_EQ(mdx_tag_open(v, nullptr, i, &g), XD_OK) << where;
            MdxTagInfo info;
            mdx_tag_info(g, &info);
            names.push_back(info.name);
            mdx_tag_close(g);
        }
        std::sort(names.begin(), names.end());
        EXPECT_TRUE(names == old_set || names == new_set) << where;
        mdx_close(v);
        xdb_set_status(XD_OK);
    };
    Tally tally;
    // A tag filled from the table.
    at_every_stop(
        [&] {
            int16_t table = -1, m = -1;
            if (dbf_open(&table, (work() + "/t.dbf").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND) < 0) return;
            if (mdx_open(&m, file.c_str(), 0) >= 0) {
                mdx_create_tag(m, "UPNAME", 'C', "UPPER(NAME)", "AMOUNT > 0", 10, table);
                mdx_close(m);
            }
            dbf_close(table);
            xdb_set_status(XD_OK);
        },
        [&](const std::string& where) { verify(where, {"AMOUNT", "NAME"}, {"AMOUNT", "NAME", "UPNAME"}); }, &tally);
    // A tag removed.
    at_every_stop(
        [&] {
            int16_t m = -1;
            if (mdx_open(&m, file.c_str(), 0) >= 0) {
                mdx_remove_tag(m, "NAME");
                mdx_close(m);
            }
            xdb_set_status(XD_OK);
        },
        [&](const std::string& where) { verify(where, {"AMOUNT", "NAME"}, {"AMOUNT"}); }, &tally);
    // Keys added until the leaves split and the root grows.
    // Runs `change` on the NAME tag of the file opened alone.
    auto on_name_tag = [&](const std::function<void(int16_t)>& change) {
        int16_t m = -1;
        if (mdx_open(&m, file.c_str(), 0) < 0) return;
        int32_t g = -1;
        if (mdx_tag_open(m, "NAME", 0, &g) == XD_OK) change((int16_t)g);
        mdx_close(m);
        xdb_set_status(XD_OK);
    };
    at_every_stop(
        [&] {
            on_name_tag([](int16_t g) {
                for (uint32_t n = 101; n <= 110; n++) {
                    char k[11];
                    snprintf(k, sizeof k, "NAME%04u", n * 2 - 199);
                    if (mdx_add_key(g, k, 8, n) < 0) break;
                }
            });
        },
        [&](const std::string& where) { verify(where, {"AMOUNT", "NAME"}, {"AMOUNT", "NAME"}); }, &tally);
    // Keys deleted until the leaves merge: the freed page joins the free list, its
    // words written after the switch.
    at_every_stop(
        [&] {
            on_name_tag([](int16_t g) {
                for (uint32_t n = 1; n <= 45; n++) {
                    char k[11];
                    snprintf(k, sizeof k, "NAME%04u", n * 2);
                    if (mdx_delete_key(g, k, 8, n) < 0) break;
                }
            });
        },
        [&](const std::string& where) { verify(where, {"AMOUNT", "NAME"}, {"AMOUNT", "NAME"}); }, &tally);
    EXPECT_GT(tally.killed, 20);
    // The deletes' last stop has the free list: the merge freed a page.
    restore_pristine();
    int16_t m = open(file);
    int32_t g = tag(m, "NAME");
    for (uint32_t n = 1; n <= 45; n++) {
        char k[11];
        snprintf(k, sizeof k, "NAME%04u", n * 2);
        ASSERT_EQ(mdx_delete_key((int16_t)g, k, 8, n), XD_OK);
    }
    MdxFileInfo info;
    ASSERT_EQ(mdx_file_info(m, &info), XD_OK);
    EXPECT_GT(info.free_count, 0u);
    EXPECT_EQ(check_file(m), "");
}

// Tags filled from a table (descending ones too, a FOR tag, a unique tag), and the
// whole file built again: each walks in its order and holds every record's key.
TEST_F(MdxTest, TagsBuiltFromATableAndRebuiltHoldEveryRecordsKey) {
    std::vector<std::string> rows;
    std::mt19937 random(5);
    std::vector<double> amounts;
    for (int i = 0; i < 900; i++) {
        const double amount = (double)((int)(random() % 200001) - 100000) / 100;
        amounts.push_back(amount);
        char row[64];
        snprintf(row, sizeof row, "N%05u%9.2f%s", (unsigned)(random() % 400), amount, i % 7 ? "19990101" : "        ");
        rows.push_back(row);
    }
    build_dbf(0x03, {{"NAME", 'C', 6}, {"AMOUNT", 'N', 9, 2}, {"BORN", 'D', 8}}, rows).write("t.dbf");
    int16_t table = -1;
    ASSERT_GE(dbf_open(&table, "t.dbf", XDB_OPEN_SHORTHAND), 0);
    ASSERT_EQ(mdx_create_file("t.mdx"), XD_OK);
    int16_t h = open("t.mdx");
    ASSERT_EQ(mdx_create_tag(h, "AMOUNT", 'N' | MDX_DESCENDING, "AMOUNT", nullptr, 12, table), XD_OK);
    ASSERT_EQ(mdx_create_tag(h, "NAME", 'C' | MDX_DESCENDING, "NAME", nullptr, 6, table), XD_OK);
    ASSERT_EQ(mdx_create_tag(h, "UNAME", 'C' | MDX_UNIQUE, "NAME", nullptr, 6, table), XD_OK);
    ASSERT_EQ(mdx_create_tag(h, "BORN", 'D', "BORN", "AMOUNT > 0", 8, table), XD_OK);
    auto verify = [&](const std::string& where) {
        EXPECT_EQ(check_file(h), "") << where;
        for (const char* name : {"AMOUNT", "NAME", "UNAME", "BORN"}) {
            int32_t t = tag(h, name);
            MdxTagInfo info;
            ASSERT_EQ(mdx_tag_info(t, &info), XD_OK);
            const IndexTableCheck c = check_against(h, t, table);
            EXPECT_EQ(c.faults, 0u) << where << " " << name << " " << c.structure;
            const auto entries = walk(t, info.key_length);
            if (std::string(name) == "AMOUNT") {
                ASSERT_EQ(entries.size(), amounts.size());
                std::vector<double> sorted = amounts;
                std::sort(sorted.rbegin(), sorted.rend());
                for (size_t i = 0; i < entries.size(); i++)
                    ASSERT_DOUBLE_EQ(mdx_key_number((const uint8_t*)entries[i].first.data()), sorted[i]) << where << i;
            }
            if (std::string(name) == "NAME") {
                EXPECT_GT(entries.front().first, entries.back().first);
            }
            if (std::string(name) == "UNAME") {
                EXPECT_LE(entries.size(), 400u);
            }
            if (std::string(name) == "BORN") {
                EXPECT_EQ(entries.size(), (size_t)std::count_if(amounts.begin(), amounts.end(), [](double v) { return v > 0; }));
            }
            mdx_tag_close(t);
        }
    };
    verify("built");
    close(h);
    ASSERT_EQ(mdx_rebuild(table, "t.mdx"), XD_OK);
    h = open("t.mdx");
    int16_t count = 0;
    ASSERT_EQ(mdx_tag_count(h, &count), XD_OK);
    EXPECT_EQ(count, 4);
    verify("rebuilt");
    dbf_close(table);
}

}  // namespace
