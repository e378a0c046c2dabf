// DBT and FPT memo files: the bytes of new files, reads, writes in place and
// appended, line wrapping, the dBASE IV free runs, rebuilds, long memos, and a
// random sequence of writes checked against a model.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/memo/memo.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

std::vector<uint8_t> bytes_of(const std::string& path) { return file_byte_vector(path); }

class MemoTest : public EngineTest {
protected:
    std::string path(const char* name) { return dir_ + "/" + name; }
    std::string read_dbt(int16_t h, uint32_t block, XDSTATUS* status = nullptr) {
        const char* t = nullptr;
        uint32_t n = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = dbt_read(h, block, &t, &n);
        if (status) *status = s;
        xdb_set_status(XD_OK);
        return s >= 0 ? std::string(t, n) : std::string();
    }
    std::string read_fpt(int16_t h, uint32_t block, XDSTATUS* status = nullptr) {
        const char* t = nullptr;
        uint32_t n = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = fpt_read(h, block, &t, &n);
        if (status) *status = s;
        xdb_set_status(XD_OK);
        return s >= 0 ? std::string(t, n) : std::string();
    }
    uint32_t write_dbt(int16_t h, const std::string& text, uint32_t block = 0, uint16_t options = 0) {
        xdb_set_status(XD_OK);
        EXPECT_EQ(dbt_write(h, text.data(), (uint32_t)text.size(), &block, options), XD_OK);
        return block;
    }
};

TEST_F(MemoTest, DbaseThreeLayout) {
    ASSERT_EQ(dbt_create(path("a.dbt").c_str(), 2, 1), XD_OK);
    std::vector<uint8_t> b = bytes_of(path("a.dbt"));
    ASSERT_EQ(b.size(), 513u);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[512], 0x1A);
    int16_t h;
    ASSERT_EQ(dbt_open(&h, path("a.dbt").c_str(), XDB_OPEN_SHORTHAND), XD_OK);
    EXPECT_EQ(write_dbt(h, "hello"), 1u);
    EXPECT_EQ(bytes_of(path("a.dbt"))[0], 2);
    EXPECT_EQ(read_dbt(h, 1), "hello");
    EXPECT_EQ(write_dbt(h, std::string(510, 'x')), 2u);
    EXPECT_EQ(bytes_of(path("a.dbt"))[0], 4);  // 510 + 2 + 512 over 512: two blocks
    // Replacing: a short text stays, a longer one moves to the end.
    EXPECT_EQ(write_dbt(h, std::string(100, 'y'), 1, DBT_REPLACE), 1u);
    EXPECT_EQ(read_dbt(h, 1), std::string(100, 'y'));
    EXPECT_EQ(write_dbt(h, std::string(600, 'z'), 1, DBT_REPLACE), 4u);
    EXPECT_EQ(read_dbt(h, 4), std::string(600, 'z'));
    EXPECT_EQ(write_dbt(h, std::string(700, 'w'), 4, DBT_REPLACE), 4u);  // still two blocks
    XDSTATUS s;
    read_dbt(h, 0, &s);
    EXPECT_EQ(s, XD_SEEKERR);
    read_dbt(h, 99, &s);
    EXPECT_EQ(s, XD_SEEKERR);
    uint32_t block = 0;
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbt_write(h, "x", 1, &block, 5), XD_BADMEMOLINE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbt_write(h, "x", 1, &block, 133), XD_BADMEMOLINE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbt_write(h, nullptr, 1, &block, 0), XD_NULLPARAM);
    xdb_set_status(XD_OK);
    dbt_close(h);
}

TEST_F(MemoTest, LineWrapping) {
    ASSERT_EQ(dbt_create(path("w.dbt").c_str(), 1, 1), XD_OK);
    int16_t h;
    ASSERT_EQ(dbt_open(&h, path("w.dbt").c_str(), XDB_OPEN_SHORTHAND), XD_OK);
    EXPECT_EQ(read_dbt(h, write_dbt(h, "aaaa bbbb cccc", 0, 10)), "aaaa bbbb \x8D\x0A" "cccc");
    // A blank right at the width keeps the word before it whole.
    EXPECT_EQ(read_dbt(h, write_dbt(h, "aaaa bbbbb cccc", 0, 10)), "aaaa bbbbb \x8D\x0A" "cccc");
    EXPECT_EQ(read_dbt(h, write_dbt(h, "abcdefghijklmnop", 0, 10)), "abcdefghij\x8D\x0A" "klmnop");
    EXPECT_EQ(read_dbt(h, write_dbt(h, "ab\r\ncdefghijklmnop", 0, 10)), "ab\r\ncdefghijkl\x8D\x0A" "mnop");
    dbt_close(h);
    // Clipper 5 never wraps.
    ASSERT_EQ(dbt_create(path("c.dbt").c_str(), 1, 6), XD_OK);
    ASSERT_EQ(dbt_open(&h, path("c.dbt").c_str(), XDB_OPEN_SHORTHAND | 6), XD_OK);
    EXPECT_EQ(read_dbt(h, write_dbt(h, "aaaa bbbb cccc", 0, 10)), "aaaa bbbb cccc");
}

TEST_F(MemoTest, OpenChecks) {
    ASSERT_EQ(dbt_create(path("d.dbt").c_str(), 4, 2), XD_OK);
    std::vector<uint8_t> b = bytes_of(path("d.dbt"));
    ASSERT_EQ(b.size(), 2049u);
    EXPECT_EQ(std::string((char*)&b[8], 1), "D");
    // The layout of dBASE IV's own files: 2, 1 at 18, the block size at 20.
    EXPECT_EQ(b[18], 2);
    EXPECT_EQ(b[19], 1);
    EXPECT_EQ(b[20] | b[21] << 8, 2048);
    EXPECT_EQ(b[22] | b[23] << 8, 0);
    int16_t h;
    EXPECT_EQ(dbt_create(path("x.dbt").c_str(), 33, 1), XD_BADBLOCKSIZE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbt_create(path("toolongname.dbt").c_str(), 1, 2), XD_BADFILENAME);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbt_create(path("v.dbt").c_str(), 1, 4), XD_BADVERSION);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbt_open(&h, path("d.dbt").c_str(), 4), XD_BADVERSION);
    EXPECT_EQ(h, -1);
    xdb_set_status(XD_OK);
    std::ofstream(path("short.dbt")) << "abc";
    EXPECT_EQ(dbt_open(&h, path("short.dbt").c_str(), 1), XD_NOTMEMO);
    xdb_set_status(XD_OK);
    b[20] = 0;
    b[21] = 0x80;  // 32768
    std::ofstream(path("big.dbt"), std::ios::binary).write((char*)b.data(), (long)b.size());
    EXPECT_EQ(dbt_open(&h, path("big.dbt").c_str(), 2), XD_BADBLOCKSIZE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(xdb_slots_in_use(), 0);
    ASSERT_EQ(dbt_open(&h, path("d.dbt").c_str(), XDB_OPEN_READONLY | 2), XD_OK);
    uint32_t block = 0;
    EXPECT_EQ(dbt_write(h, "x", 1, &block, 0), XD_READONLY);
    xdb_set_status(XD_OK);

    ASSERT_EQ(fpt_create(path("f.fpt").c_str(), 2), XD_OK);
    b = bytes_of(path("f.fpt"));
    ASSERT_EQ(b.size(), 1024u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 8), (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 4, 0}));
    ASSERT_EQ(fpt_create(path("g.fpt").c_str(), 64), XD_OK);
    b = bytes_of(path("g.fpt"));
    ASSERT_EQ(b.size(), 512u);
    EXPECT_EQ(b[3], 8);
    EXPECT_EQ(fpt_create(path("h.fpt").c_str(), 512), XD_BADBLOCKSIZE);
    xdb_set_status(XD_OK);
    EXPECT_EQ(fpt_open(&h, path("f.fpt").c_str(), 1), XD_BADVERSION);
    xdb_set_status(XD_OK);
    EXPECT_EQ(fpt_open(&h, path("short.dbt").c_str(), 0), XD_NOTMEMO);
    xdb_set_status(XD_OK);
}

TEST_F(MemoTest, FptBlocksAndBounds) {
    ASSERT_EQ(fpt_create(path("g.fpt").c_str(), 64), XD_OK);
    int16_t h;
    ASSERT_EQ(fpt_open(&h, path("g.fpt").c_str(), XDB_OPEN_SHORTHAND), XD_OK);
    uint32_t a = 0, b = 0;
    ASSERT_EQ(fpt_write(h, std::string(100, 'q').data(), 100, &a), XD_OK);
    EXPECT_EQ(a, 8u);
    ASSERT_EQ(fpt_write(h, "x", 1, &b), XD_OK);
    EXPECT_EQ(b, 10u);  // 108 bytes took two 64-byte blocks
    EXPECT_EQ(read_fpt(h, 8), std::string(100, 'q'));
    EXPECT_EQ(read_fpt(h, 10), "x");
    XDSTATUS s;
    read_fpt(h, 0, &s);
    EXPECT_EQ(s, XD_SEEKERR);
    read_fpt(h, 11, &s);  // the next free block
    EXPECT_EQ(s, XD_SEEKERR);
    // Binary memos go through whole, NUL bytes included.
    std::string binary("\0\1\2\0\xFF", 5);
    ASSERT_EQ(fpt_write(h, binary.data(), 5, &a), XD_OK);
    EXPECT_EQ(read_fpt(h, a), binary);
}

TEST_F(MemoTest, LongMemosAreNeitherCutNorCorrupted) {
    std::mt19937 rng(9);
    std::string text(100000, ' ');
    for (char& c : text) c = (char)('a' + rng() % 26);
    ASSERT_EQ(fpt_create(path("l.fpt").c_str(), 1), XD_OK);
    int16_t f;
    ASSERT_EQ(fpt_open(&f, path("l.fpt").c_str(), XDB_OPEN_SHORTHAND), XD_OK);
    uint32_t block = 0;
    ASSERT_EQ(fpt_write(f, text.data(), (uint32_t)text.size(), &block), XD_OK);
    EXPECT_EQ(read_fpt(f, block), text);
    ASSERT_EQ(dbt_create(path("l.dbt").c_str(), 1, 2), XD_OK);
    int16_t d;
    ASSERT_EQ(dbt_open(&d, path("l.dbt").c_str(), XDB_OPEN_SHORTHAND | 2), XD_OK);
    EXPECT_EQ(read_dbt(d, write_dbt(d, text)), text);
    ASSERT_EQ(dbt_create(path("m.dbt").c_str(), 1, 1), XD_OK);
    ASSERT_EQ(dbt_open(&d, path("m.dbt").c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
    std::string within = text.substr(0, 60000);  // within 128 blocks
    EXPECT_EQ(read_dbt(d, write_dbt(d, within)), within);
    // A dBASE III memo ends within 128 blocks, at its first 0x1A: the longest one
    // (65,534 bytes and its two end marks) reads back; one byte more, or a text
    // holding 0x1A, is refused and the file left as it was.
    const std::string longest = text.substr(0, 65534);
    EXPECT_EQ(read_dbt(d, write_dbt(d, longest)), longest);
    const std::vector<uint8_t> before = bytes_of(path("m.dbt"));
    for (const std::string& refused : {text.substr(0, 65535), text, std::string("ab\x1A" "cd")}) {
        uint32_t block = 0;
        xdb_set_status(XD_OK);
        EXPECT_EQ(dbt_write(d, refused.data(), (uint32_t)refused.size(), &block, 0), XD_BADDATA) << refused.size();
        xdb_set_status(XD_OK);
    }
    EXPECT_EQ(bytes_of(path("m.dbt")), before);
}

// Random writes and rewrites against a map of block to text, in the dBASE IV
// layout (free runs reused) and the FPT (append only).
TEST_F(MemoTest, RandomRewritesMatchAModelAndTheDbaseFourFileStaysBounded) {
    ASSERT_EQ(dbt_create(path("r.dbt").c_str(), 1, 2), XD_OK);
    int16_t h;
    ASSERT_EQ(dbt_open(&h, path("r.dbt").c_str(), XDB_OPEN_SHORTHAND | 2), XD_OK);
    std::mt19937 rng(4);
    std::vector<std::pair<uint32_t, std::string>> memos;  // record -> (block, text)
    for (int i = 0; i < 40; i++) {
        std::string t(rng() % 3000, (char)('A' + i % 26));
        memos.push_back({write_dbt(h, t), t});
    }
    size_t size_after_fill = bytes_of(path("r.dbt")).size();
    for (int step = 0; step < 3000; step++) {
        auto& m = memos[rng() % memos.size()];
        std::string t(rng() % 3000, (char)('a' + step % 26));
        m.first = write_dbt(h, t, m.first, DBT_REPLACE);
        m.second = t;
        if (step % 100 == 99) {
            // No two live memos share a block, and each reads back.
            std::map<uint32_t, size_t> used;
            for (size_t k = 0; k < memos.size(); k++) {
                ASSERT_EQ(read_dbt(h, memos[k].first), memos[k].second) << step << " " << k;
                uint32_t blocks = (uint32_t)(memos[k].second.size() + 8 + 511) / 512;
                for (uint32_t b = 0; b < blocks; b++) ASSERT_TRUE(used.emplace(memos[k].first + b, k).second);
            }
        }
    }
    // Rewrites reuse the runs they free: the file grows far less than the writes.
    size_t size_end = bytes_of(path("r.dbt")).size();
    EXPECT_LT(size_end, size_after_fill * 3);
}

TEST_F(MemoTest, RebuildKeepsTheMemosOfLiveRecordsOnly) {
    for (bool fox : {false, true}) {
        std::string table = path(fox ? "t.dbf" : "u.dbf"), memo = path(fox ? "t.fpt" : "u.dbt");
        uint8_t dialect = fox ? 8 : 1;
        std::vector<DbfCreateField> fields = {create_field("NAME", 'C', 5), create_field("NOTE", 'M')};
        ASSERT_EQ(dbf_create(table.c_str(), 2, fields.data(), dialect), XD_OK);
        ASSERT_EQ(fox ? fpt_create(memo.c_str(), 64) : dbt_create(memo.c_str(), 1, 1), XD_OK);
        int16_t d, m;
        ASSERT_EQ(dbf_open(&d, table.c_str(), XDB_OPEN_SHORTHAND | dialect), XD_OK);
        ASSERT_EQ(fox ? fpt_open(&m, memo.c_str(), XDB_OPEN_SHORTHAND) : dbt_open(&m, memo.c_str(), XDB_OPEN_SHORTHAND | 1), XD_OK);
        for (int i = 0; i < 5; i++) {
            std::string text = "memo " + std::to_string(i) + std::string((size_t)i * 300, '.');
            uint32_t block = 0, recno = 0;
            xdb_set_status(XD_OK);
            ASSERT_EQ(fox ? fpt_write(m, text.data(), (uint32_t)text.size(), &block)
                          : dbt_write(m, text.data(), (uint32_t)text.size(), &block, 0),
                      XD_OK);
            dbf_put_field(d, 0, "x");
            dbf_put_field(d, 1, &block);
            ASSERT_EQ(dbf_write_record(d, &recno, DBF_WRITE_APPEND), XD_OK);
        }
        dbf_delete_record(d, 2);
        dbf_delete_record(d, 4);
        ASSERT_EQ(fox ? fpt_rebuild(d, &m) : dbt_rebuild(d, &m), XD_OK);
        EXPECT_TRUE(xdb_fexists(path(fox ? "t.BKT" : "u.BKT").c_str()));
        uint32_t expect_block = fox ? 8 : 1, bs = fox ? 64 : 512;
        for (uint32_t n : {1u, 3u, 5u}) {
            xdb_set_status(XD_OK);
            dbf_read_record(d, n);
            uint32_t block = 0;
            dbf_get_field(d, 1, &block, nullptr);
            EXPECT_EQ(block, expect_block) << fox << " record " << n;  // consecutive from the first block
            std::string want = "memo " + std::to_string(n - 1) + std::string((size_t)(n - 1) * 300, '.');
            EXPECT_EQ(fox ? read_fpt(m, block) : read_dbt(m, block), want);
            expect_block += fox ? (uint32_t)(want.size() + 8 + bs - 1) / bs : (uint32_t)(want.size() + 2 + 512) / 512;
        }
        xdb_set_status(XD_OK);
        fox ? fpt_close(m) : dbt_close(m);
        dbf_close(d);
    }
}

TEST_F(MemoTest, OtherProgramsDbaseFourHeadersAreRead) {
    // dBASE IV itself keeps the block size at byte 20.
    std::vector<uint8_t> b(1025, 0);
    b[0] = 1;
    b[18] = 2;
    b[19] = 1;
    b[20] = 0x00;
    b[21] = 0x02;
    b[1024] = 0x1A;
    std::ofstream(path("o.dbt"), std::ios::binary).write((char*)b.data(), (long)b.size());
    int16_t h;
    ASSERT_EQ(dbt_open(&h, path("o.dbt").c_str(), XDB_OPEN_SHORTHAND | 2), XD_OK);
    uint32_t bs = 0;
    dbt_block_size(h, &bs);
    EXPECT_EQ(bs, 512u);
    EXPECT_EQ(read_dbt(h, write_dbt(h, "text")), "text");
}

// A dBASE IV memo file read as another program reads it, from the layout: the
// block size at byte 20, a memo at block × block size with FF FF 08 00 and its
// length (the 8 bytes included).
std::string read_as_others_do(const std::vector<uint8_t>& file, uint32_t block) {
    uint32_t bs = file[20] | file[21] << 8;
    size_t at = (size_t)block * bs;
    if (at + 8 > file.size() || file[at] != 0xFF || file[at + 1] != 0xFF || file[at + 2] != 0x08) return "<no memo>";
    uint32_t length = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | (uint32_t)file[at + 7] << 24;
    if (length < 8 || at + length > file.size()) return "<bad length>";
    return std::string((const char*)&file[at + 8], length - 8);
}

TEST_F(MemoTest, DbaseFourFilesAreReadByTheirLayoutAndAppendsKeepOtherProgramsTails) {
    // Written by the engine with 1024-byte blocks, read from the layout.
    ASSERT_EQ(dbt_create(path("e.dbt").c_str(), 2, 2), XD_OK);
    int16_t h;
    ASSERT_EQ(dbt_open(&h, path("e.dbt").c_str(), XDB_OPEN_SHORTHAND | 2), XD_OK);
    std::string long_text(1500, 'q');
    uint32_t a = write_dbt(h, "first"), b = write_dbt(h, long_text), c = write_dbt(h, "third");
    xdb_set_status(XD_OK);
    dbt_close(h);
    std::vector<uint8_t> file = bytes_of(path("e.dbt"));
    EXPECT_EQ(read_as_others_do(file, a), "first");
    EXPECT_EQ(read_as_others_do(file, b), long_text);
    EXPECT_EQ(read_as_others_do(file, c), "third");

    // Another program's file whose last memo does not fill its block: the header
    // says the next memo goes to block 3, the file ends 100 bytes into block 2.
    std::vector<uint8_t> other(512 * 2 + 100, 0);
    other[0] = 3;
    other[18] = 2;
    other[19] = 1;
    other[21] = 0x02;  // 512
    other[512] = 0xFF;
    other[513] = 0xFF;
    other[514] = 0x08;
    uint32_t total = 8 + 600;
    other[516] = (uint8_t)total;
    other[517] = (uint8_t)(total >> 8);
    for (uint32_t i = 0; i < 600 && 520 + i < other.size(); i++) other[520 + i] = (uint8_t)('a' + i % 26);
    std::ofstream(path("o4.dbt"), std::ios::binary).write((char*)other.data(), (long)other.size());
    ASSERT_EQ(dbt_open(&h, path("o4.dbt").c_str(), XDB_OPEN_SHORTHAND | 2), XD_OK);
    std::string before = read_dbt(h, 1);
    ASSERT_EQ(before.size(), 600u);
    EXPECT_EQ(write_dbt(h, "appended"), 3u);
    EXPECT_EQ(read_dbt(h, 1), before);
    EXPECT_EQ(read_dbt(h, 3), "appended");
    xdb_set_status(XD_OK);
    dbt_close(h);
    file = bytes_of(path("o4.dbt"));
    EXPECT_EQ(file[0], 4);  // the next memo after the new one
    EXPECT_EQ(read_as_others_do(file, 1), before);
}

}  // namespace

namespace {

// The next free block of a memo file (header word 0: little-endian in DBT files,
// big-endian in FPT files).
uint32_t next_free_of(const std::vector<uint8_t>& b, bool fpt) {
    return fpt ? (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3]
               : (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

TEST_F(MemoTest, MemosThatDidNotStandAreGivenBack) {
    const std::string text(700, 'x');
    for (int kind = 0; kind < 3; kind++) {  // dBASE III, dBASE IV, FPT
        SCOPED_TRACE(kind);
        const bool fpt = kind == 2;
        const std::string file = path(fpt ? "g.fpt" : kind == 0 ? "g3.dbt" : "g4.dbt");
        ASSERT_EQ(fpt ? fpt_create(file.c_str(), 1) : dbt_create(file.c_str(), 1, kind == 0 ? 1 : 2), XD_OK);
        int16_t h = -1;
        ASSERT_EQ(fpt ? fpt_open(&h, file.c_str(), XDB_OPEN_SHORTHAND)
                      : dbt_open(&h, file.c_str(), (uint16_t)(XDB_OPEN_SHORTHAND | (kind == 0 ? 1 : 2))),
                  XD_OK);
        auto write = [&](uint32_t* block) {
            *block = 0;
            return fpt ? fpt_write(h, text.data(), (uint32_t)text.size(), block)
                       : dbt_write(h, text.data(), (uint32_t)text.size(), block, 0);
        };
        auto give_back = [&](uint32_t block) { return fpt ? fpt_free(h, block) : dbt_free(h, block); };
        uint32_t first = 0, second = 0, third = 0;
        ASSERT_EQ(write(&first), XD_OK);
        const uint32_t after_first = next_free_of(bytes_of(file), fpt);
        ASSERT_EQ(write(&second), XD_OK);
        // The last memo of the file: the next free block moves back to it.
        ASSERT_EQ(give_back(second), XD_OK);
        if (kind != 1) {
            EXPECT_EQ(next_free_of(bytes_of(file), fpt), after_first);
        }
        ASSERT_EQ(write(&third), XD_OK);
        EXPECT_EQ(third, second);  // the space is taken again
        // A memo before others: dBASE IV puts it on its free chain (the next memo of
        // its size goes there); the others keep it unused until a pack.
        ASSERT_EQ(give_back(first), XD_OK);
        uint32_t fourth = 0;
        ASSERT_EQ(write(&fourth), XD_OK);
        if (kind == 1) {
            EXPECT_EQ(fourth, first);
        } else {
            EXPECT_GT(fourth, third);
        }
        // The memos kept read back whole.
        const char* back = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(fpt ? fpt_read(h, third, &back, &length) : dbt_read(h, third, &back, &length), XD_OK);
        EXPECT_EQ(std::string(back, length), text);
        EXPECT_EQ(give_back(0), XD_SEEKERR);
        xdb_set_status(XD_OK);
        fpt ? fpt_close(h) : dbt_close(h);
    }
}

}  // namespace
