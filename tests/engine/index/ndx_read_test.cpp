// NDX indexes written by other programs: walks in both directions give the order
// their writer recorded; seeks land where they should; the header checks of open.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/key_sort.h"
#include "engine/index/ndx/ndx.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/ndx_reader.h"

namespace {

const std::string kPeople = std::string(QXDB_TEST_DATA) + "/peers/xbase64/dbase3/";

class NdxReadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(xdbinit(), XD_OK); }
    void TearDown() override { xdbterm(); }
    int16_t open(const std::string& path) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        EXPECT_GE(ndx_open(&h, path.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), 0) << path;
        xdb_set_status(XD_OK);
        return h;
    }
    // (recno, key bytes) in index order, forward or backward.
    std::vector<std::pair<uint32_t, std::string>> walk(int16_t h, bool reverse, uint16_t key_length) {
        std::vector<std::pair<uint32_t, std::string>> out;
        uint8_t key[128] = {0};
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = reverse ? ndx_last(h, key, &recno) : ndx_first(h, key, &recno);
        while (s == XD_OK && out.size() < 100000) {
            out.push_back({recno, std::string((char*)key, key_length)});
            xdb_set_status(XD_OK);
            s = reverse ? ndx_previous(h, key, &recno) : ndx_next(h, key, &recno);
        }
        EXPECT_EQ(s, XD_NOMOREKEYS);
        return out;
    }
};

std::vector<uint32_t> recorded_tag_order(const std::string& tag) {
    std::vector<uint32_t> out;
    std::ifstream in(kPeople + "PEOPLE." + tag + ".keys.tsv");
    std::string line;
    while (std::getline(in, line)) out.push_back((uint32_t)strtoul(line.c_str(), nullptr, 10));
    return out;
}

TEST_F(NdxReadTest, WalksFollowTheWritersOrderBothWays) {
    for (const char* tag : {"NAME", "AGE", "BALANCE", "BORN", "CITYBORN", "SALARY", "UCITY"}) {
        int16_t h = open(kPeople + "PEOPLE_" + tag + ".NDX");
        NdxInfo info;
        ndx_info(h, &info);
        auto forward = walk(h, false, info.key_length);
        auto backward = walk(h, true, info.key_length);
        std::vector<uint32_t> order;
        for (const auto& e : forward) order.push_back(e.first);
        EXPECT_EQ(order, recorded_tag_order(tag)) << tag;
        std::reverse(backward.begin(), backward.end());
        EXPECT_EQ(backward, forward) << tag;
        xdb_set_status(XD_OK);
        ndx_close(h);
    }
}

// A key as the writers' listings show it: character keys trimmed, dates as
// yyyymmdd (blank: empty), numbers in short decimal form.
std::string key_text(const std::string& key, bool numeric, bool date) {
    if (!numeric) {
        size_t end = key.find_last_not_of(' ');
        return end == std::string::npos ? "" : key.substr(0, end + 1);
    }
    double v;
    memcpy(&v, key.data(), 8);
    char buf[40];
    int y, m, d;
    if (date) {
        if (!ndx_date_from_key(v, &y, &m, &d)) return "";
        snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
    } else {
        snprintf(buf, sizeof buf, "%.15g", v);
    }
    return buf;
}

// Every fixture NDX: its keys, byte for byte, are the writer's; every record's key,
// made by the engine from the record, is found at that record's entry; and the
// tree is one that a strict reader accepts.
TEST_F(NdxReadTest, KeysOfEveryRecordAreFoundInEveryFixture) {
    struct Fixture {
        std::string table, index, listing;
        bool date;
    };
    std::vector<Fixture> fixtures;
    for (const char* tag : {"NAME", "AGE", "BALANCE", "BORN", "CITYBORN", "SALARY", "UCITY"})
        fixtures.push_back({kPeople + "PEOPLE.DBF", kPeople + "PEOPLE_" + tag + ".NDX",
                            kPeople + "PEOPLE." + tag + ".keys.tsv", std::string(tag) == "BORN"});
    std::string dbd = std::string(QXDB_TEST_DATA) + "/real/dbd-xbase/";
    for (const char* name : {"ndx-char", "ndx-date", "ndx-num"})
        fixtures.push_back({dbd + name + ".dbf", dbd + name + ".ndx", "", std::string(name) == "ndx-date"});
    for (const Fixture& fx : fixtures) {
        NdxReader strict(fx.index);
        EXPECT_TRUE(strict.ok()) << fx.index << ": " << strict.fault();
        int16_t h = open(fx.index);
        NdxInfo info;
        ndx_info(h, &info);
        bool numeric = info.type == 'N';
        auto entries = walk(h, false, info.key_length);
        if (!fx.listing.empty()) {
            std::ifstream in(fx.listing);
            std::string line;
            size_t i = 0;
            for (; std::getline(in, line) && i < entries.size(); i++) {
                std::string text = key_text(entries[i].second, numeric, fx.date);
                EXPECT_EQ(std::to_string(entries[i].first) + "\t" + text, line) << fx.index << " entry " << i;
            }
            EXPECT_EQ(i, entries.size()) << fx.index;
        }
        int16_t t = -1;
        xdb_set_status(XD_OK);
        ASSERT_GE(dbf_open(&t, fx.table.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), 0) << fx.table;
        uint32_t count = 0;
        dbf_record_count(t, &count);
        // A unique index holds one entry per key: there the key alone is sought.
        bool unique = info.unique != 0;
        if (!unique) {
            EXPECT_EQ(count, entries.size()) << fx.index;
        }
        for (uint32_t n = 1; n <= count; n++) {
            xdb_set_status(XD_OK);
            ASSERT_GE(dbf_read_record(t, n), 0);
            uint8_t key[128] = {0};
            xdb_set_status(XD_OK);
            ASSERT_EQ(ndx_key_from_record(h, t, key), XD_OK) << fx.index << " record " << n;
            uint32_t recno = n;
            uint8_t sought[128];
            memcpy(sought, key, sizeof key);
            xdb_set_status(XD_OK);
            EXPECT_EQ(ndx_seek(h, key, info.key_length, &recno, unique ? 0 : NDX_EXACT), XD_OK) << fx.index << " record " << n;
            if (unique) EXPECT_EQ(memcmp(key, sought, info.key_length), 0) << fx.index << " record " << n;
            else EXPECT_EQ(recno, n) << fx.index;
        }
        xdb_set_status(XD_OK);
        dbf_close(t);
        ndx_close(h);
    }
}

TEST_F(NdxReadTest, SeeksAndTheirStatuses) {
    int16_t h = open(kPeople + "PEOPLE_NAME.NDX");
    uint8_t key[64] = {0};
    uint32_t recno = 0;
    auto seek = [&](const char* text) {
        memset(key, 0, sizeof key);
        memcpy(key, text, strlen(text));
        xdb_set_status(XD_OK);
        return ndx_seek(h, key, (uint16_t)strlen(text), &recno, 0);
    };
    EXPECT_EQ(seek("Brown, K"), XD_OK);  // a prefix finds the first key that begins with it
    EXPECT_EQ(recno, 265u);
    EXPECT_EQ(std::string((char*)key, 10), "Brown, Kim");
    EXPECT_EQ(seek("zz"), XD_KEYNOTFOUND);  // after every key: on the last entry
    EXPECT_EQ(recno, 25u);
    EXPECT_EQ(seek("Brown, Kz"), XD_KEYNOTFOUND);  // on the entry before its place
    EXPECT_EQ(std::string((char*)key, 9), "Brown, Ki");
    EXPECT_EQ(seek("B?own"), XD_KEYNOTFOUND);  // '?' is a character unless asked for
    xdb_set_status(XD_OK);
    memcpy(key, "B?own, K", 8);
    EXPECT_EQ(ndx_seek(h, key, 8, &recno, NDX_WILDCARD), XD_OK);
    EXPECT_EQ(recno, 265u);
    // Resynchronise on an entry, then step on from it.
    memset(key, ' ', 30);
    memcpy(key, "Brown, Kim", 10);
    recno = 265;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_resync(h, key, &recno), XD_OK);
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_next(h, key, &recno), XD_OK);
    EXPECT_EQ(recno, 67u);
    recno = 0;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_resync(h, key, &recno), XD_KEYNOTFOUND);
    xdb_set_status(XD_OK);
    ndx_close(h);

    // Numbers: the first key is smaller than anything sought here.
    h = open(kPeople + "PEOPLE_BALANCE.NDX");
    double v = -1e9;
    memcpy(key, &v, 8);
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_seek(h, key, 8, &recno, 0), XD_KEYNOTFOUNDEND);
    memcpy(&v, key, 8);
    EXPECT_DOUBLE_EQ(v, -9999.99);  // the first entry
    EXPECT_EQ(recno, 4u);
    v = -9931.69;
    memcpy(key, &v, 8);
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_seek(h, key, 8, &recno, 0), XD_OK);
    EXPECT_EQ(recno, 97u);
}

TEST_F(NdxReadTest, NewIndexAndHeaderChecks) {
    std::string dir = make_temp_dir("ndx");
    std::string path = dir + "/n.ndx";
    ASSERT_EQ(ndx_create(path.c_str(), 'C', "upper( name )", 10), XD_OK);
    std::vector<uint8_t> b = file_byte_vector(path);
    ASSERT_EQ(b.size(), 1024u);
    EXPECT_EQ(b[0], 1);                      // root
    EXPECT_EQ(b[4], 2);                      // blocks
    EXPECT_EQ(b[18], 20);                    // entry size
    EXPECT_EQ(b[14], 25);                    // keys per block
    EXPECT_STREQ((char*)&b[24], "UPPER(NAME)");
    int16_t h = open(path);
    uint8_t key[16];
    uint32_t recno;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_first(h, key, &recno), XD_EMPTYFILE);
    xdb_set_status(XD_OK);
    ndx_close(h);
    ASSERT_EQ(ndx_create(path.c_str(), 'N', "AMOUNT", 0), XD_OK);
    h = open(path);
    NdxInfo info;
    ndx_info(h, &info);
    EXPECT_EQ(info.key_length, 8);
    EXPECT_EQ(info.keys_per_block, 31);
    xdb_set_status(XD_OK);
    ndx_close(h);
    EXPECT_EQ(ndx_create(path.c_str(), 'C', "X", 101), XD_BADKEYSIZE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_create(path.c_str(), 'L', "X", 1), XD_BADKEYTYPE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(ndx_create(path.c_str(), 'C', std::string(221, 'A').c_str(), 10), XD_BADKEYEXPR);
    xdb_set_status(XD_OK);

    // Header checks at open, in order.
    ASSERT_EQ(ndx_create(path.c_str(), 'C', "NAME", 10), XD_OK);
    auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp((long)at);
        f.write((char*)bytes.data(), (long)bytes.size());
    };
    auto try_open = [&]() {
        int16_t x;
        xdb_set_status(XD_OK);
        XDSTATUS s = ndx_open(&x, path.c_str(), XDB_OPEN_SHORTHAND);
        if (s >= 0) ndx_close(x);
        xdb_set_status(XD_OK);
        return s;
    };
    patched(18, {18, 0});  // entry size key length + 8 is accepted
    EXPECT_EQ(try_open(), XD_OK);
    patched(18, {22, 0});
    EXPECT_EQ(try_open(), XD_BADITEMSIZE);
    patched(18, {20, 0});
    patched(0, {3, 0, 0, 0});
    EXPECT_EQ(try_open(), XD_BADROOT);
    patched(0, {1, 0, 0, 0});
    patched(14, {26, 0});
    EXPECT_EQ(try_open(), XD_BADMAXKEYS);
    patched(14, {25, 0});
    patched(12, {0, 0});
    EXPECT_EQ(try_open(), XD_BADKEYSIZE);
    patched(12, {10, 0});
    patched(16, {2, 0});
    EXPECT_EQ(try_open(), XD_BADKEYTYPE);
    patched(16, {0, 0});
    int16_t x;
    EXPECT_EQ(ndx_open(&x, path.c_str(), 4), XD_BADVERSION);
    xdb_set_status(XD_OK);
    std::ofstream(path, std::ios::app) << "x";
    EXPECT_EQ(try_open(), XD_BADFILESIZE);  // a warning: the index opens
    EXPECT_EQ(xdb_slots_in_use(), 0);
    remove_temp_dir(dir);
}

TEST(NdxDateKeys, DayNumbersBothWays) {
    EXPECT_EQ(ndx_date_key(2000, 1, 1), 2451545.0);
    EXPECT_EQ(ndx_date_key(2024, 3, 1) - ndx_date_key(2024, 2, 28), 2.0);
    EXPECT_EQ(ndx_date_key(2023, 3, 1) - ndx_date_key(2023, 2, 28), 1.0);
    for (int y : {1, 1600, 1899, 1900, 1999, 2000, 2024, 9999})
        for (int m = 1; m <= 12; m++)
            for (int d : {1, 15, 28}) {
                int yy, mm, dd;
                ASSERT_TRUE(ndx_date_from_key(ndx_date_key(y, m, d), &yy, &mm, &dd)) << y << m << d;
                EXPECT_EQ(yy * 10000 + mm * 100 + dd, y * 10000 + m * 100 + d);
            }
    int y, m, d;
    EXPECT_FALSE(ndx_date_from_key(1.0e100, &y, &m, &d));  // the blank date
}

}  // namespace

namespace {

class NdxRebuildTest : public EngineTest {
protected:
    void TearDown() override {
        key_sort_set_budget(0);
        EngineTest::TearDown();
    }
};

// The engine's rebuild of the writer's table and expressions gives the writer's
// key order, sorting in memory and in runs through the work file alike.
TEST_F(NdxRebuildTest, SameOrderAsTheWriter) {
    struct Case {
        const char* tag;
        const char* expr;
        char type;
        uint16_t length;
    } cases[] = {{"NAME", "NAME", 'C', 30},         {"AGE", "AGE", 'N', 8},        {"BALANCE", "BALANCE", 'N', 8},
                 {"BORN", "BORN", 'D', 8},          {"SALARY", "SALARY", 'N', 8},  {"CITYBORN", "UPPER(CITY)+DTOS(BORN)", 'C', 28},
                 {"CITY", "CITY", 'C', 20},         {"UCITY", "CITY", (char)('C' | 0x80), 20}};
    int16_t data;
    ASSERT_GE(dbf_open(&data, (kPeople + "PEOPLE.DBF").c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1), 0);
    for (size_t budget : {size_t(64) << 20, size_t(4096)}) {
        key_sort_set_budget(budget);
        std::vector<std::pair<std::string, uint32_t>> by_city;  // the CITY entries, for UCITY
        for (const Case& c : cases) {
            std::string path = dir_ + "/" + c.tag + ".ndx";
            xdb_set_status(XD_OK);
            ASSERT_EQ(ndx_rebuild(data, path.c_str(), (uint8_t)c.type, c.expr, c.length), XD_OK) << c.tag;
            int16_t h;
            ASSERT_EQ(ndx_open(&h, path.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND), XD_OK);
            char fault[200];
            uint32_t entries = 0;
            ASSERT_EQ(ndx_check(h, &entries, fault, sizeof fault), XD_OK) << fault;
            std::vector<uint32_t> order;
            std::vector<std::pair<std::string, uint32_t>> walked;
            uint8_t key[64];
            uint32_t recno;
            XDSTATUS s = ndx_first(h, key, &recno);
            while (s == XD_OK) {
                order.push_back(recno);
                walked.push_back({std::string((const char*)key, c.length), recno});
                xdb_set_status(XD_OK);
                s = ndx_next(h, key, &recno);
            }
            if (!strcmp(c.tag, "CITY")) {
                by_city = walked;  // no file of the writer's to compare with
            } else if (c.type & 0x80) {
                // Unique: one entry a key, the first record's (the writer's file
                // holds its history of adds and changes, not the records now).
                std::vector<std::pair<std::string, uint32_t>> first;
                for (const auto& e : by_city)
                    if (first.empty() || first.back().first != e.first) first.push_back(e);
                EXPECT_EQ(walked, first) << "budget " << budget;
                EXPECT_LT(walked.size(), 300u);
            } else {
                EXPECT_EQ(entries, 300u);
                EXPECT_EQ(order, recorded_tag_order(c.tag)) << c.tag << " budget " << budget;
            }
            xdb_set_status(XD_OK);
            ndx_close(h);
        }
    }
    EXPECT_FALSE(xdb_fexists("stacks.tmp"));  // the work file goes away
}

}  // namespace
