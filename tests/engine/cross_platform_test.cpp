// Files written on one platform are the bytes written on the other. The same
// fixed sequence of writes (tables of two dialects with DBT and FPT memos,
// records rewritten, deleted and packed away, NDX and NTX indexes built and then
// changed key by key) runs on Linux and as a Windows program; with
// QXDB_CROSS_DIR set, each platform writes its files into a directory of its own
// name there and compares them, byte for byte, with the other platform's when
// they are present (make test-windows runs Linux, Windows, then Linux again).
// Without it, the sequence runs twice and must give the same bytes both times.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/memo/memo.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char* kPlatform = "windows";
const char* kOther = "linux";
#else
const char* kPlatform = "linux";
const char* kOther = "windows";
#endif

class CrossPlatformTest : public EngineTest {};

// One table with its memo file and indexes, written through the engine.
void write_table(const std::string& dir, const char* base, uint16_t dialect, bool fpt) {
    const std::string table = dir + "/" + base + ".dbf", memo = dir + "/" + base + (fpt ? ".fpt" : ".dbt");
    std::vector<DbfCreateField> fields = {create_field("NAME", 'C', 20), create_field("AMOUNT", 'N', 10, 2),
                                          create_field("BORN", 'D'), create_field("ACTIVE", 'L'),
                                          create_field("NOTES", 'M')};
    ASSERT_EQ(dbf_create(table.c_str(), (int16_t)fields.size(), fields.data(), dialect), XD_OK);
    ASSERT_EQ(fpt ? fpt_create(memo.c_str(), 1) : dbt_create(memo.c_str(), 1, 1), XD_OK);
    int16_t d = -1, m = -1;
    ASSERT_EQ(dbf_open(&d, table.c_str(), dialect), XD_OK);
    ASSERT_EQ(fpt ? fpt_open(&m, memo.c_str(), 0) : dbt_open(&m, memo.c_str(), 0), XD_OK);
    const int16_t old = xdb_swap_date_format(4);
    for (uint32_t i = 0; i < 120; i++) {
        ASSERT_EQ(dbf_blank_record(d), XD_OK);
        char name[32], born[16];
        snprintf(name, sizeof name, "N%03u %s", (i * 37) % 101, i % 3 ? "SMITH" : "JONES");
        snprintf(born, sizeof born, "%04u%02u%02u", 1950 + i % 60, 1 + i % 12, 1 + i % 28);
        double amount = ((double)(i * 7919 % 20001) - 10000) / 100;
        uint8_t active = i % 2;
        ASSERT_EQ(dbf_put_field(d, 0, name), XD_OK);
        ASSERT_EQ(dbf_put_field(d, 1, &amount), XD_OK);
        if (i % 9) {
            ASSERT_EQ(dbf_put_field(d, 2, born), XD_OK);
        }
        ASSERT_EQ(dbf_put_field(d, 3, &active), XD_OK);
        if (i % 4 == 0) {
            std::string text(50 + i * 13 % 700, (char)('a' + i % 26));
            uint32_t block = 0;
            ASSERT_EQ(fpt ? fpt_write(m, text.data(), (uint32_t)text.size(), &block)
                          : dbt_write(m, text.data(), (uint32_t)text.size(), &block, 0),
                      XD_OK);
            ASSERT_EQ(dbf_put_field(d, 4, &block), XD_OK);
        }
        uint32_t n = 0;
        ASSERT_EQ(dbf_write_record(d, &n, DBF_WRITE_APPEND), XD_OK);
    }
    xdb_swap_date_format(old);
    // Rewrites and deletions, then a pack.
    for (uint32_t n = 3; n <= 120; n += 11) {
        ASSERT_GE(dbf_read_record(d, n), 0);
        xdb_set_status(XD_OK);
        double amount = -(double)n;
        ASSERT_EQ(dbf_put_field(d, 1, &amount), XD_OK);
        ASSERT_EQ(dbf_write_record(d, &n, DBF_WRITE_REWRITE), XD_OK);
    }
    for (uint32_t n = 5; n <= 120; n += 17) ASSERT_EQ(dbf_delete_record(d, n), XD_OK);
    ASSERT_EQ(fpt ? fpt_close(m) : dbt_close(m), XD_OK);
    ASSERT_EQ(dbf_pack(&d), XD_OK);
    // Indexes of both formats: built, then changed key by key.
    for (const char* ext : {".ndx", ".ntx"}) {
        const int32_t type = index_type_of_file(ext);
        for (const auto& [expression, letter] : std::map<std::string, char>{{"NAME", 'C'}, {"AMOUNT", 'N'}, {"BORN", 'D'}}) {
            const std::string file = dir + "/" + base + "_" + expression + ext;
            ASSERT_EQ(IndexRebuild(type, d, file.c_str(), expression.c_str(), (uint8_t)letter,
                                   letter == 'C' ? 20 : letter == 'N' ? 10 : 8, letter == 'N' ? 2 : 0, nullptr),
                      XD_OK)
                << file;
        }
        const std::string file = dir + "/" + base + "_NAME" + ext;
        int16_t h = -1;
        ASSERT_EQ(IndexOpen(type, file.c_str(), 0, &h), XD_OK);
        IndexAccess a{};
        a.type = type;
        a.file_handle = (uint16_t)h;
        a.key_length = 21;
        a.key_type = 'C';
        for (uint32_t i = 0; i < 300; i++) {
            char key[32];
            snprintf(key, sizeof key, "ADDED %05u", i * 7 % 1000);
            ASSERT_EQ(IndexAddKey(&a, key, 1000 + i), XD_OK);
        }
        for (uint32_t i = 0; i < 300; i += 3) {
            char key[32];
            snprintf(key, sizeof key, "ADDED %05u", i * 7 % 1000);
            ASSERT_EQ(IndexDeleteKey(&a, key, 1000 + i), XD_OK);
        }
        ASSERT_EQ(IndexClose(type, h), XD_OK);
    }
    ASSERT_EQ(dbf_close(d), XD_OK);
}

void write_all(const std::string& dir) {
    fs::create_directories(dir);
    write_table(dir, "clipper", 5, false);
    if (::testing::Test::HasFatalFailure()) return;
    write_table(dir, "foxpro", 8, true);
}

std::string bytes_of(const fs::path& file) { return file_bytes(file.string()); }

// Every file of `mine` equals the one of the same name in `theirs`; a table's
// date of last update (header bytes 1..3) may differ.
void expect_same_files(const fs::path& mine, const fs::path& theirs) {
    size_t compared = 0;
    for (const auto& e : fs::directory_iterator(mine)) {
        const fs::path other = theirs / e.path().filename();
        ASSERT_TRUE(fs::exists(other)) << other;
        std::string a = bytes_of(e.path()), b = bytes_of(other);
        ASSERT_EQ(a.size(), b.size()) << e.path().filename();
        if (e.path().extension() == ".dbf" && a.size() > 4) {
            a.replace(1, 3, "---");
            b.replace(1, 3, "---");
        }
        size_t at = 0;
        while (at < a.size() && a[at] == b[at]) at++;
        EXPECT_EQ(at, a.size()) << e.path().filename() << " differs first at byte " << at;
        compared++;
    }
    EXPECT_EQ(compared, 16u);  // 2 tables, 2 memo files, 12 indexes
}

TEST_F(CrossPlatformTest, FilesAreTheSameBytesOnEveryPlatform) {
    const char* cross = getenv("QXDB_CROSS_DIR");
    if (!cross || !*cross) {
        // One platform: the same writes give the same bytes again (nothing left
        // to chance: no uninitialised bytes, no time but the header's date).
        write_all(dir_ + "/first");
        if (HasFatalFailure()) return;
        write_all(dir_ + "/second");
        if (HasFatalFailure()) return;
        expect_same_files(dir_ + "/first", dir_ + "/second");
        return;
    }
    const fs::path mine = fs::path(cross) / kPlatform, theirs = fs::path(cross) / kOther;
    fs::remove_all(mine);
    write_all(mine.string());
    if (HasFatalFailure()) return;
    if (fs::exists(theirs)) {
        expect_same_files(mine, theirs);
        printf("%s files compared with the %s ones\n", kPlatform, kOther);
    } else {
        printf("%s files written; no %s files to compare with yet\n", kPlatform, kOther);
    }
}

}  // namespace
