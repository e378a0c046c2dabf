// The NTX file's own rules: the header a creation writes, the checks of an open in
// their order, the key forms, the update count after a rebuild, pages freed and
// taken again, and damaged files answered with a status.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/ntx/ntx.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class NtxFormatTest : public EngineTest {
protected:
    std::string path(const char* name) { return dir_ + "/" + name; }
    std::vector<uint8_t> bytes(const std::string& file) { return file_byte_vector(file); }
    void write(const std::string& file, const std::vector<uint8_t>& b) {
        std::ofstream(file, std::ios::binary).write((const char*)b.data(), (std::streamsize)b.size());
    }
    XDSTATUS open_status(const std::string& file) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        XDSTATUS s = ntx_open(&h, file.c_str(), 0);
        if (h >= 0) ntx_close(h);
        xdb_set_status(XD_OK);
        return s;
    }
};

TEST_F(NtxFormatTest, CreateWritesTheHeaderAndAnEmptyRoot) {
    struct Case {
        uint16_t key_length;
        uint16_t max_items, half;
    };
    for (Case c : {Case{10, 50, 25}, Case{100, 8, 4}, Case{1, 90, 45}}) {
        std::string f = path("c.ntx");
        ASSERT_EQ(ntx_create(f.c_str(), 'C' | 0x80, "upper( name )", c.key_length, 0), XD_OK);
        std::vector<uint8_t> b = bytes(f);
        ASSERT_EQ(b.size(), 2048u);
        EXPECT_EQ(get_le16(&b[0]), 6);
        EXPECT_EQ(get_le16(&b[2]), 1);
        EXPECT_EQ(get_le32(&b[4]), 1024u);
        EXPECT_EQ(get_le32(&b[8]), 0u);
        EXPECT_EQ(get_le16(&b[12]), c.key_length + 8);
        EXPECT_EQ(get_le16(&b[14]), c.key_length);
        EXPECT_EQ(get_le16(&b[18]), c.max_items) << c.key_length;
        EXPECT_EQ(get_le16(&b[20]), c.half);
        EXPECT_STREQ((const char*)&b[22], "UPPER(NAME)");
        EXPECT_EQ(b[278], 1);
        EXPECT_EQ(get_le16(&b[1024]), 0);  // no entries; slots in their first places
        for (int i = 0; i <= c.max_items; i++)
            EXPECT_EQ(get_le16(&b[1024 + 2 + 2 * i]), 2 + 2 * (c.max_items + 1) + i * (c.key_length + 8));
        int16_t h;
        ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
        uint8_t key[128];
        uint32_t recno = 0;
        EXPECT_EQ(ntx_first(h, key, &recno), XD_EMPTYFILE);
        xdb_set_status(XD_OK);
        EXPECT_EQ(ntx_seek(h, key, 1, &recno, 0), XD_EMPTYFILE);
        xdb_set_status(XD_OK);
        NtxInfo info;
        ASSERT_EQ(ntx_info(h, &info), XD_OK);
        EXPECT_EQ(info.flags, 128);
        ntx_close(h);
    }
}

TEST_F(NtxFormatTest, CreateRefusesWhatTheFormatCannotHold) {
    std::string f = path("r.ntx");
    auto create = [&](uint8_t type, const char* expression, uint16_t length, uint16_t decimals) {
        xdb_set_status(XD_OK);  // a refusal stays the engine's status until cleared
        return ntx_create(f.c_str(), type, expression, length, decimals);
    };
    EXPECT_EQ(create('N', "A", 1, 0), XD_BADDECIMALS);  // no room for decimals at length 1
    EXPECT_EQ(create('N', "A", 20, 0), XD_BADKEYSIZE);
    EXPECT_EQ(create('N', "A", 10, 9), XD_BADDECIMALS);
    EXPECT_EQ(create('N', "A", 19, 16), XD_BADDECIMALS);
    EXPECT_EQ(create('C', "A", 0, 0), XD_BADKEYSIZE);
    EXPECT_EQ(create('C', "A", 101, 0), XD_BADKEYSIZE);
    EXPECT_EQ(create('X', "A", 10, 0), XD_BADKEYTYPE);
    EXPECT_EQ(create('C', std::string(256, 'A').c_str(), 10, 0), XD_BADKEYEXPR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(ntx_create(nullptr, 'C', "A", 10, 0), XD_NULLPARAM);
    EXPECT_EQ(create('d', "BORN", 3, 0), XD_OK);  // dates: always 8
    EXPECT_EQ(get_le16(&bytes(f)[14]), 8);
    xdb_set_status(XD_OK);
    const std::string upper_cdx = dir_ + "/w.CDX";
    IndexCreateRequest wrong{upper_cdx.c_str(), "A", 'C', 10, 0, nullptr};
    EXPECT_EQ(IndexCreate(&wrong), XD_BADFILENAME);  // ".cdx" compares exactly
}

// The checks of an open, in their order, each on a header broken only there.
TEST_F(NtxFormatTest, OpenChecksTheHeaderInOrder) {
    std::string f = path("h.ntx");
    ASSERT_EQ(ntx_create(f.c_str(), 'C', "NAME", 10, 0), XD_OK);
    const std::vector<uint8_t> good = bytes(f);
    struct Case {
        size_t at;
        uint16_t value;
        XDSTATUS status;
    };
    for (Case c : {Case{14, 0, XD_BADKEYSIZE}, Case{14, 101, XD_BADKEYSIZE}, Case{12, 19, XD_BADITEMSIZE},
                   Case{4, 1000, XD_BADROOT}, Case{5, 0x08, XD_BADROOT}, Case{18, 48, XD_BADMAXKEYS},
                   Case{20, 24, XD_BADMINKEYS}}) {
        std::vector<uint8_t> b = good;
        if (c.at == 5) b[5] = (uint8_t)c.value;  // root 0x0800 + 0x0400: past the file
        else put_le16(&b[c.at], c.value);
        write(f, b);
        EXPECT_EQ(open_status(f), c.status) << "byte " << c.at;
    }
    std::vector<uint8_t> b = good;
    memset(&b[22], 'A', 256);  // no terminator within 255 characters
    write(f, b);
    EXPECT_EQ(open_status(f), XD_BADKEYEXPR);
    b = good;
    b.resize(2048 + 100);
    write(f, b);
    EXPECT_EQ(open_status(f), XD_BADFILESIZE);  // a warning: the file opens
    write(f, std::vector<uint8_t>(10, 0));
    EXPECT_EQ(open_status(f), XD_BADKEYSIZE);  // a short file reads as zeros
    int16_t h;
    xdb_set_status(XD_OK);
    EXPECT_EQ(ntx_open(&h, f.c_str(), 0x0001), XD_BADVERSION);  // a dBASE dialect
    EXPECT_EQ(h, -1);
}

TEST_F(NtxFormatTest, KeyForms) {
    uint8_t k[32] = {0};
    ntx_numeric_key(-12.5, 8, 2, k);
    // |value| zero-padded to the key, every character but the point as 92 - c.
    EXPECT_EQ(std::string((char*)k, 8), std::string(",,,+*.',"));
    ntx_numeric_key(12.5, 8, 2, k);
    EXPECT_EQ(std::string((char*)k, 8), "00012.50");
    ntx_numeric_key(-0.001, 8, 2, k);  // rounds to zero: no sign
    EXPECT_EQ(std::string((char*)k, 8), "00000.00");
    ntx_numeric_key(123456.7, 8, 2, k);  // too wide
    EXPECT_EQ(std::string((char*)k, 8), "********");
    ntx_numeric_key(-5, 3, 0, k);
    EXPECT_EQ(std::string((char*)k, 3), ",,'");
    // Negatives below zero, a greater magnitude lower.
    uint8_t a[8], b[8], c[8];
    ntx_numeric_key(-9999.99, 8, 2, a);
    ntx_numeric_key(-0.01, 8, 2, b);
    ntx_numeric_key(0, 8, 2, c);
    EXPECT_LT(memcmp(a, b, 8), 0);
    EXPECT_LT(memcmp(b, c, 8), 0);
    ntx_date_key(1999, 12, 31, k);
    EXPECT_EQ(std::string((char*)k, 8), "19991231");
    ntx_date_key(0, 0, 0, k);
    EXPECT_EQ(std::string((char*)k, 8), "        ");
    // Comparing two keys leaves a status the caller has pending as it was.
    ASSERT_EQ(ntx_create(path("k.ntx").c_str(), 'C', "NAME", 10, 0), XD_OK);
    int16_t h = -1;
    ASSERT_EQ(ntx_open(&h, path("k.ntx").c_str(), 0), XD_OK);
    xdb_set_status(XD_KEYNOTFOUND);
    EXPECT_LT(ntx_compare_keys(h, "A", "B", 1), 0);
    EXPECT_EQ(xdb_get_status(), XD_KEYNOTFOUND);
    xdb_set_status(XD_OK);
    ntx_close(h);
}

// A table's keys from its records and the rebuild: character, numeric (negatives
// included) and date keys; the update count goes up when the rebuilt file closes.
TEST_F(NtxFormatTest, RebuildFromRecordsAndUpdateCount) {
    const std::string table = path("t.dbf");
    std::vector<std::string> records;
    const double amounts[] = {-12.5, 3, -0.25, 99999.99, 0, -99999.99, 7.1, -3};
    for (int i = 0; i < 8; i++) {
        char rec[64];
        snprintf(rec, sizeof rec, "%-6s%9.2f%04d01%02d", i % 2 ? "B" : "A", amounts[i], 1990 + i, 10 + i);
        records.push_back(rec);
    }
    records.push_back("C     " + std::string(9, ' ') + "        ");  // blank number and date
    build_dbf(0x03, {{"NAME", 'C', 6}, {"AMOUNT", 'N', 9, 2}, {"BORN", 'D', 8}}, records).write(table);
    int16_t d;
    ASSERT_GE(dbf_open(&d, table.c_str(), 0), 0);
    struct Case {
        const char* expression;
        char type;
        uint16_t length, decimals;
    };
    for (Case c : {Case{"AMOUNT", 'N', 9, 2}, Case{"NAME+DTOS(BORN)", 'C', 14, 0}, Case{"BORN", 'D', 8, 0},
                   Case{"STR(AMOUNT,9,2)", 'C', 9, 0}}) {
        SCOPED_TRACE(c.expression);
        std::string f = path("k.ntx");
        ASSERT_EQ(ntx_rebuild(d, f.c_str(), (uint8_t)c.type, c.expression, c.length, c.decimals), XD_OK);
        EXPECT_EQ(get_le16(&bytes(f)[2]), 2);  // created at 1, closed after the rebuild
        int16_t h;
        ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
        // Keys in order, and each record's key from the expression is in the index.
        std::vector<std::string> keys;
        uint8_t key[128] = {0};
        uint32_t recno = 0;
        for (XDSTATUS s = ntx_first(h, key, &recno); s == XD_OK; s = ntx_next(h, key, &recno))
            keys.push_back((char*)key);
        ASSERT_EQ(keys.size(), records.size());
        for (size_t i = 1; i < keys.size(); i++) EXPECT_LE(keys[i - 1], keys[i]);
        for (uint32_t n = 1; n <= records.size(); n++) {
            dbf_read_record(d, n);
            xdb_set_status(XD_OK);
            uint8_t want[128] = {0};
            ASSERT_EQ(ntx_key_from_record(h, d, want), XD_OK);
            uint32_t r = n;
            EXPECT_EQ(ntx_seek(h, want, c.length, &r, NTX_EXACT), XD_OK) << n << " " << want;
        }
        if (c.type == 'N') {
            // By value: -99999.99 first, 99999.99 last, the blank number as zero.
            uint32_t first = 0, last = 0;
            ntx_first(h, key, &first);
            ntx_last(h, key, &last);
            EXPECT_EQ(first, 6u);
            EXPECT_EQ(last, 4u);
        }
        ntx_close(h);
    }
    dbf_close(d);
    // Numbers written left-aligned by another program are their value, not their
    // text with the blanks made zeros (12 is not 12000).
    const std::string loose = path("l.dbf"), f = path("l.ntx");
    build_dbf(0x03, {{"N", 'N', 5}}, {"12   ", "  100", "   12", "7    "}).write(loose);
    ASSERT_GE(dbf_open(&d, loose.c_str(), 0), 0);
    ASSERT_EQ(ntx_rebuild(d, f.c_str(), 'N', "N", 5, 0), XD_OK);
    int16_t h;
    ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
    std::vector<std::string> keys;
    uint8_t key[128] = {0};
    uint32_t recno = 0;
    for (XDSTATUS s = ntx_first(h, key, &recno); s == XD_OK; s = ntx_next(h, key, &recno)) keys.push_back((char*)key);
    EXPECT_EQ(keys, (std::vector<std::string>{"00007", "00012", "00012", "00100"}));
    for (uint32_t n = 1; n <= 4; n++) {  // each record's key, as the writers make it, is there
        dbf_read_record(d, n);
        xdb_set_status(XD_OK);
        uint8_t want[128] = {0};
        ASSERT_EQ(ntx_key_from_record(h, d, want), XD_OK);
        uint32_t r = n;
        EXPECT_EQ(ntx_seek(h, want, 5, &r, NTX_EXACT), XD_OK) << n << " " << want;
    }
    ntx_close(h);
    dbf_close(d);
}

// Deletes free pages; adds take them again: the file does not grow while free pages
// are left, no freed page is lost to the chain, and a page freed is never in the
// tree. Twice: some keys of a small index freed, and every key of one large enough
// that free pages are linked by offsets that are multiples of 64 KiB (the link's
// low half zero, like the item count of the laid-out empty page other programs
// leave; the rest of the page tells the two apart).
TEST_F(NtxFormatTest, FreedPagesAreTakenAgain) {
    auto key = [](int i) {
        char k[16];
        snprintf(k, sizeof k, "K%06d", i);
        return std::string(k);
    };
    for (int n : {400, 12000}) {
        SCOPED_TRACE(n);
        const int step = n == 400 ? 2 : 1;  // the small index keeps every other key
        std::string f = path(n == 400 ? "p.ntx" : "w.ntx");
        ASSERT_EQ(ntx_create(f.c_str(), 'C', "K", 100, 0), XD_OK);  // 8 items a page
        int16_t h;
        ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
        // The size through the handle: Windows keeps others out of a file opened alone.
        auto size = [&] {
            NtxInfo info;
            ntx_info(h, &info);
            return (size_t)info.file_size;
        };
        for (int i = 0; i < n; i++) ASSERT_EQ(ntx_add_key(h, key(i).c_str(), 7, (uint32_t)i + 1), XD_OK);
        const size_t full = size();
        ASSERT_GT(full, n > 400 ? 24u * 65536 : 0u);  // the large one has pages at offsets 64 KiB x 20 and beyond
        for (int i = 0; i < n; i += step) ASSERT_EQ(ntx_delete_key(h, key(i).c_str(), 7, (uint32_t)i + 1), XD_OK);
        char fault[200] = "";
        uint32_t entries = 0;
        EXPECT_EQ(ntx_check(h, &entries, fault, sizeof fault), XD_OK) << fault;
        EXPECT_STREQ(fault, "") << "freed pages lost from the chain";
        for (int i = 0; i < n; i += step) ASSERT_EQ(ntx_add_key(h, key(i).c_str(), 7, (uint32_t)i + 1), XD_OK);
        EXPECT_EQ(ntx_check(h, &entries, fault, sizeof fault), XD_OK) << fault;
        EXPECT_EQ(entries, (uint32_t)n);
        EXPECT_LE(size(), full + 2 * 1024);
        ntx_close(h);
    }
}

// A free slot of a page (the one an insertion takes) pointing outside the page:
// the page is refused as damaged, nothing is written past it.
TEST_F(NtxFormatTest, AFreeSlotOutsideThePageIsDamage) {
    std::string f = path("s.ntx");
    ASSERT_EQ(ntx_create(f.c_str(), 'C', "K", 10, 0), XD_OK);
    int16_t h;
    ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
    ASSERT_EQ(ntx_add_key(h, "B", 1, 1), XD_OK);
    ntx_close(h);
    std::vector<uint8_t> b = bytes(f);
    put_le16(&b[1024 + 2 + 2 * 50], 0xFFF0);  // slot 50 of 51: free
    write(f, b);
    xdb_set_status(XD_OK);
    ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
    EXPECT_EQ(ntx_add_key(h, "A", 1, 2), XD_CORRUPT);
    xdb_set_status(XD_OK);
    ntx_close(h);
    EXPECT_EQ(bytes(f), b);
}

// Pages that lie: a child outside the file, a count past the slots, a loop, slots
// outside the page. Every operation answers with a status; the check names the
// fault.
TEST_F(NtxFormatTest, DamagedPagesGiveAStatus) {
    std::string f = path("d.ntx");
    ASSERT_EQ(ntx_create(f.c_str(), 'C', "K", 10, 0), XD_OK);
    int16_t h;
    ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
    for (int i = 0; i < 200; i++) {
        char k[16];
        snprintf(k, sizeof k, "%010d", i * 7919 % 1000);
        ASSERT_EQ(ntx_add_key(h, k, 10, (uint32_t)i + 1), XD_OK);
    }
    ntx_close(h);
    const std::vector<uint8_t> good = bytes(f);
    const uint32_t root = get_le32(&good[4]);
    struct Damage {
        const char* what;
        void (*apply)(std::vector<uint8_t>&, uint32_t);
    };
    const Damage damages[] = {
        {"child past the end", [](std::vector<uint8_t>& b, uint32_t r) {
             put_le32(&b[r + get_le16(&b[r + 2])], 0x100000);
         }},
        {"child is its own page", [](std::vector<uint8_t>& b, uint32_t r) { put_le32(&b[r + get_le16(&b[r + 2])], r); }},
        {"count past the slots", [](std::vector<uint8_t>& b, uint32_t r) { put_le16(&b[r], 500); }},
        {"slot outside the page", [](std::vector<uint8_t>& b, uint32_t r) { put_le16(&b[r + 2], 1020); }},
        {"child not on a page boundary", [](std::vector<uint8_t>& b, uint32_t r) {
             put_le32(&b[r + get_le16(&b[r + 2])], 1500);
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> b = good;
        d.apply(b, root);
        write(f, b);
        ASSERT_EQ(ntx_open(&h, f.c_str(), 0), XD_OK);
        char fault[200] = {0};
        uint32_t entries = 0;
        EXPECT_EQ(ntx_check(h, &entries, fault, sizeof fault), XD_CORRUPT);
        EXPECT_NE(fault[0], 0);
        xdb_set_status(XD_OK);
        uint8_t key[128] = {0};
        uint32_t recno = 0;
        int steps = 0;
        XDSTATUS s = ntx_first(h, key, &recno);
        while (s == XD_OK && steps++ < 100000) {
            xdb_set_status(XD_OK);
            s = ntx_next(h, key, &recno);
        }
        EXPECT_LT(steps, 100000);
        xdb_set_status(XD_OK);
        memcpy(key, "0000000500", 10);
        ntx_seek(h, key, 10, &recno, 0);
        xdb_set_status(XD_OK);
        ntx_add_key(h, "0000000777", 10, 999);  // refused or done, never a crash
        xdb_set_status(XD_OK);
        ntx_close(h);
        xdb_set_status(XD_OK);
    }
}

}  // namespace
