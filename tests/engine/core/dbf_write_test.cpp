// Creating and changing DBF files: limits of create per dialect, the bytes of new
// files, append, rewrite, delete, recall, close stamps, pack; a random sequence of
// changes checked against a simple model.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"

namespace {

class DbfWriteTest : public EngineTest {
protected:
    XDSTATUS create(std::vector<DbfCreateField> fields, uint16_t mode, const std::string& name = "t.dbf") {
        xdb_set_status(XD_OK);
        XDSTATUS s = dbf_create((dir_ + "/" + name).c_str(), (int16_t)fields.size(), fields.data(), mode);
        xdb_set_status(XD_OK);
        return s;
    }
    int16_t open(uint16_t mode, const std::string& name = "t.dbf") {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        EXPECT_GE(dbf_open(&h, (dir_ + "/" + name).c_str(), mode), 0);
        xdb_set_status(XD_OK);
        return h;
    }
    uint32_t append(int16_t h, const std::vector<std::string>& values) {
        for (size_t i = 0; i < values.size(); i++) {
            xdb_set_status(XD_OK);
            EXPECT_GE(dbf_put_field(h, (int16_t)i, values[i].c_str()), 0) << "field " << i << ": " << values[i];
        }
        uint32_t n = 0;
        xdb_set_status(XD_OK);
        EXPECT_EQ(dbf_write_record(h, &n, DBF_WRITE_APPEND), XD_OK);
        return n;
    }
};

TEST_F(DbfWriteTest, CreateLimitsByDialect) {
    std::vector<DbfCreateField> many;
    for (int i = 0; i < 1024; i++) many.push_back(create_field(("F" + std::to_string(i)).c_str(), 'C', 1));
    auto first = [&](int n) { return std::vector<DbfCreateField>(many.begin(), many.begin() + n); };
    EXPECT_EQ(create(first(128), 1), XD_OK);
    EXPECT_EQ(create(first(129), 1), XD_BADFIELDCOUNT);
    EXPECT_EQ(create(first(1023), 5), XD_OK);
    EXPECT_EQ(create(first(1024), 5), XD_BADFIELDCOUNT);
    EXPECT_EQ(create(first(255), 8), XD_OK);
    EXPECT_EQ(create(first(513), 7), XD_BADFIELDCOUNT);
    DbfCreateField one = create_field("C", 'C', 1);
    EXPECT_EQ(dbf_create((dir_ + "/z.dbf").c_str(), 0, &one, 1), XD_BADFIELDCOUNT);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_create((dir_ + "/z.dbf").c_str(), 1, nullptr, 1), XD_NULLPARAM);
    xdb_set_status(XD_OK);
    EXPECT_EQ(create({create_field("C", 'C', 255)}, 1), XD_BADFIELDSIZE);
    EXPECT_EQ(create({create_field("C", 'C', 0)}, 1), XD_BADFIELDSIZE);
    EXPECT_EQ(create({create_field("N", 'N', 10, 8)}, 2), XD_OK);
    EXPECT_EQ(create({create_field("N", 'N', 10, 9)}, 2), XD_BADDECIMALS);
    EXPECT_EQ(create({create_field("N", 'N', 19, 15)}, 1), XD_OK);
    EXPECT_EQ(create({create_field("N", 'N', 19, 16)}, 1), XD_BADDECIMALS);
    EXPECT_EQ(create({create_field("N", 'N', 20, 16)}, 2), XD_OK);  // no 15 limit in dBASE IV
    EXPECT_EQ(create({create_field("N", 'N', 20)}, 1), XD_BADFIELDSIZE);
    EXPECT_EQ(create({create_field("N", 'N', 1)}, 1), XD_OK);
    EXPECT_EQ(create({create_field("F", 'F', 10, 2)}, 1), XD_BADFIELDTYPE);
    EXPECT_EQ(create({create_field("F", 'F', 10, 2)}, 4), XD_OK);
    EXPECT_EQ(create({create_field("I", 'I', 4)}, 1), XD_BADFIELDTYPE);
    DbfCreateField eleven = create_field("X", 'C', 1);
    memcpy(eleven.name, "ABCDEFGHIJK", 11);  // no terminator within the name
    EXPECT_EQ(create({eleven}, 1), XD_BADFIELDNAME);
    EXPECT_EQ(create({create_field("", 'C', 1)}, 1), XD_BADFIELDNAME);
    EXPECT_EQ(create({create_field("C", 'C', 1)}, 10), XD_BADVERSION);
    EXPECT_EQ(create({create_field("C", 'C', 1)}, 0), XD_BADVERSION);
    std::vector<DbfCreateField> wide(17, create_field("C", 'C', 250));
    EXPECT_EQ(create(wide, 1), XD_BADRECSIZE);  // 4251 bytes
    std::vector<DbfCreateField> largest(3, create_field("C", 'C', 2048));
    largest.push_back(create_field("D", 'C', 2047));
    EXPECT_EQ(create(largest, 6), XD_OK);  // 8192 with the deletion flag
    largest.back().length = 2048;
    EXPECT_EQ(create(largest, 6), XD_BADRECSIZE);
}

TEST_F(DbfWriteTest, CreatedFileBytes) {
    std::vector<DbfCreateField> f = {create_field("name", 'c', 2048), create_field("born", 'd', 3, 2)};
    ASSERT_EQ(dbf_create((dir_ + "/c.dbf").c_str(), 2, f.data(), 6 | DBF_CREATE_PRODUCTION_INDEX), XD_OK);
    EXPECT_STREQ(f[0].name, "NAME");  // the caller's list is upper-cased in place
    EXPECT_EQ(f[0].type, 'C');
    EXPECT_EQ(f[1].length, 8);  // D is always 8 long
    EXPECT_EQ(f[1].decimals, 0);
    std::vector<uint8_t> b = file_byte_vector(dir_ + "/c.dbf");
    ASSERT_EQ(b.size(), 32u + 64 + 2);
    EXPECT_EQ(b[0], 0x03);
    int y, m, d;
    xdb_today(&y, &m, &d, nullptr);
    EXPECT_EQ(b[1], y - 1900);
    EXPECT_EQ(b[2], m);
    EXPECT_EQ(b[3], d);
    EXPECT_EQ(b[8] | b[9] << 8, 97);
    EXPECT_EQ(b[10] | b[11] << 8, 1 + 2048 + 8);
    EXPECT_EQ(b[28], 1);
    EXPECT_EQ(std::string((char*)&b[32], 4), "NAME");
    EXPECT_EQ(b[32 + 16], 0x00);  // 2048 = 0x0800: low byte, then high byte
    EXPECT_EQ(b[32 + 17], 0x08);
    EXPECT_EQ(b[96], 0x0D);
    EXPECT_EQ(b[97], 0x1A);

    f = {create_field("A", 'C', 3), create_field("B", 'N', 5, 2)};
    ASSERT_EQ(dbf_create((dir_ + "/o.dbf").c_str(), 2, f.data(), 9), XD_OK);
    b = file_byte_vector(dir_ + "/o.dbf");
    ASSERT_EQ(b.size(), 32u + 64 + 32 + 1);
    EXPECT_EQ(b[8] | b[9] << 8, 128);
    EXPECT_EQ(b[32 + 32 + 17], 2);  // the decimal count
    EXPECT_EQ(b[96], 0x0D);
    EXPECT_EQ(b[128], 0x1A);
    int16_t h = open(9, "o.dbf");
    uint16_t n = 0;
    dbf_field_count(h, &n);
    EXPECT_EQ(n, 2);
}

TEST_F(DbfWriteTest, MemoVersionBytes) {
    struct Case {
        uint16_t dialect;
        uint8_t version;
    } cases[] = {{1, 0x83}, {2, 0x8B}, {3, 0x83}, {4, 0xF5}, {5, 0x83}, {6, 0x83}, {7, 0x83}, {8, 0xF5}, {9, 0x83}};
    for (const Case& c : cases) {
        ASSERT_EQ(create({create_field("M", 'M', 1), create_field("C", 'C', 4)}, c.dialect), XD_OK);
        EXPECT_EQ(file_byte_vector(dir_ + "/t.dbf")[0], c.version) << c.dialect;
        int16_t h = open(c.dialect);  // and it opens again in its dialect
        xdb_set_status(XD_OK);
        dbf_close(h);
        ASSERT_EQ(create({create_field("C", 'C', 4)}, c.dialect), XD_OK);
        EXPECT_EQ(file_byte_vector(dir_ + "/t.dbf")[0], 0x03) << c.dialect;
    }
}

TEST_F(DbfWriteTest, AppendRewriteDeleteRecallAndTheCloseStamp) {
    ASSERT_EQ(create({create_field("NAME", 'C', 5), create_field("QTY", 'N', 4, 1)}, 1), XD_OK);
    std::string path = dir_ + "/t.dbf";
    // Make the header date old, to see close write today's.
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1);
        f.write("\x50\x01\x01", 3);
    }
    int16_t h = open(XDB_OPEN_SHORTHAND | 1);
    EXPECT_EQ(append(h, {"ALPHA"}), 1u);
    std::vector<uint8_t> b = file_byte_vector(path);
    ASSERT_EQ(b.size(), 97u + 10 + 1);
    EXPECT_EQ(b[4], 1);
    EXPECT_EQ(std::string((char*)&b[97], 10), " ALPHA    ");
    EXPECT_EQ(b[107], 0x1A);
    EXPECT_EQ(append(h, {"BETA"}), 2u);
    EXPECT_EQ(append(h, {"GAMMA"}), 3u);
    uint32_t cur = 0;
    dbf_current_record(h, &cur);
    EXPECT_EQ(cur, 3u);

    EXPECT_EQ(dbf_delete_record(h, 2), XD_OK);
    EXPECT_EQ(file_byte_vector(path)[97 + 10], '*');
    struct stat before, after;
    stat(path.c_str(), &before);
    EXPECT_EQ(dbf_delete_record(h, 2), XD_OK);  // already deleted: nothing written
    EXPECT_EQ(dbf_delete_record(h, 4), XD_SEEKERR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_delete_record(h, 0), XD_SEEKERR);
    xdb_set_status(XD_OK);
    // A rewrite makes the record live.
    EXPECT_EQ(dbf_read_record(h, 2), XD_DELETEDREC);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_put_field(h, 0, "DELTA"), XD_OK);
    uint32_t n = 2;
    EXPECT_EQ(dbf_write_record(h, &n, DBF_WRITE_REWRITE), XD_OK);
    EXPECT_EQ(std::string((char*)&file_byte_vector(path)[107], 10), " DELTA    ");
    n = 0;
    EXPECT_EQ(dbf_write_record(h, &n, DBF_WRITE_REWRITE), XD_SEEKERR);
    xdb_set_status(XD_OK);
    n = 9;
    EXPECT_EQ(dbf_write_record(h, &n, DBF_WRITE_REWRITE), XD_SEEKERR);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_write_record(h, &n, 0x0200), XD_BADCOMMAND);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_delete_record(h, 3), XD_OK);
    EXPECT_EQ(dbf_recall_record(h, 3), XD_OK);
    EXPECT_EQ(file_byte_vector(path)[117], ' ');
    EXPECT_EQ(file_byte_vector(path)[1], 0x50);  // not stamped before the close
    ASSERT_EQ(dbf_close(h), XD_OK);
    b = file_byte_vector(path);
    int y, m, d;
    xdb_today(&y, &m, &d, nullptr);
    EXPECT_EQ(b[1], y - 1900);
    EXPECT_EQ(b[2], m);
    EXPECT_EQ(b[3], d);
    (void)before;
    (void)after;
}

TEST_F(DbfWriteTest, ReadOnlyRefusesEveryChange) {
    ASSERT_EQ(create({create_field("NAME", 'C', 5)}, 1), XD_OK);
    int16_t w = open(XDB_OPEN_SHORTHAND | 1);
    append(w, {"A"});
    dbf_close(w);
    int16_t h = open(XDB_OPEN_READONLY | XDB_OPEN_SHARED | 1);
    uint32_t n = 0;
    EXPECT_EQ(dbf_write_record(h, &n, DBF_WRITE_APPEND), XD_READONLY);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_delete_record(h, 1), XD_READONLY);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_pack(&h), XD_READONLY);
}

TEST_F(DbfWriteTest, DbxlFillsAWholeRecordWithEndOfFileBytes) {
    ASSERT_EQ(create({create_field("NAME", 'C', 5)}, 7), XD_OK);
    int16_t h = open(XDB_OPEN_SHORTHAND | 7);
    append(h, {"A"});
    std::vector<uint8_t> b = file_byte_vector(dir_ + "/t.dbf");
    ASSERT_EQ(b.size(), 65u + 6 + 6);
    for (size_t i = 71; i < 77; i++) EXPECT_EQ(b[i], 0x1A);
}

TEST_F(DbfWriteTest, PackRemovesDeletedRecords) {
    ASSERT_EQ(create({create_field("NAME", 'C', 5), create_field("N", 'N', 3)}, 1), XD_OK);
    int16_t h = open(XDB_OPEN_SHORTHAND | 1);
    for (const char* name : {"ONE", "TWO", "THREE", "FOUR", "FIVE"}) append(h, {name});
    dbf_delete_record(h, 2);
    dbf_delete_record(h, 4);
    int16_t before = h;
    ASSERT_EQ(dbf_pack(&h), XD_OK);
    EXPECT_GE(h, 0);
    (void)before;
    uint32_t count = 0;
    dbf_record_count(h, &count);
    EXPECT_EQ(count, 3u);
    char name[8];
    std::vector<std::string> names;
    for (uint32_t n = 1; n <= count; n++) {
        ASSERT_EQ(dbf_read_record(h, n), XD_OK);
        dbf_get_field(h, 0, name, nullptr);
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"ONE  ", "THREE", "FIVE "}));
    std::vector<uint8_t> b = file_byte_vector(dir_ + "/t.dbf");
    EXPECT_EQ(b.size(), 97u + 3 * 9);  // no trailing 0x1A
    EXPECT_FALSE(xdb_fexists((dir_ + "/t.BAK").c_str()));
    EXPECT_FALSE(xdb_fexists((dir_ + "/0.DBF").c_str()));
    DbfHeaderInfo info;
    dbf_header_info(h, &info);
    EXPECT_EQ(info.file_mode & XDB_FILE_SHARED, XDB_FILE_SHARED);  // reopened shared
    // A new record goes after the packed ones.
    EXPECT_EQ(append(h, {"SIX"}), 4u);
}

TEST_F(DbfWriteTest, PackOfVisualFoxProIsRefusedAndLeavesTheFile) {
    std::string path = dir_ + "/v.dbf";
    DbfImage img = build_dbf(0x30, {{"ID", 'I', 4}}, {"\x01\x00\x00\x00", "*\x02\x00\x00\x00"}, true);
    img.write(path);
    std::vector<uint8_t> original = file_byte_vector(path);
    int16_t h = open(XDB_OPEN_SHORTHAND | 10, "v.dbf");
    int16_t before = h;
    EXPECT_EQ(dbf_pack(&h), XD_BADVERSION);
    EXPECT_EQ(h, before);
    xdb_set_status(XD_OK);
    dbf_close(h);
    EXPECT_EQ(file_byte_vector(path), original);
    EXPECT_FALSE(xdb_fexists((dir_ + "/0.DBF").c_str()));
}

// Random appends, rewrites, deletes, recalls, packs and reopenings against a
// model of the table: a list of (text, number, deleted).
TEST_F(DbfWriteTest, RandomChangesMatchAModel) {
    struct Row {
        std::string text;
        double number;
        bool deleted;
    };
    for (uint16_t dialect : {1, 5, 8}) {
        ASSERT_EQ(create({create_field("T", 'C', 12), create_field("N", 'N', 9, 2)}, dialect), XD_OK);
        int16_t h = open(XDB_OPEN_SHORTHAND | dialect);
        std::vector<Row> model;
        std::mt19937 rng(dialect);
        auto put_row = [&](const Row& r) {
            xdb_set_status(XD_OK);
            ASSERT_EQ(dbf_put_field(h, 0, r.text.c_str()), XD_OK);
            ASSERT_EQ(dbf_put_field(h, 1, &r.number), XD_OK);
        };
        for (int step = 0; step < 1500; step++) {
            int op = (int)(rng() % 100);
            Row r{std::string(1 + rng() % 12, (char)('A' + rng() % 26)), ((double)(rng() % 2000000) - 500000) / 100.0,
                  false};
            uint32_t n = model.empty() ? 0 : 1 + (uint32_t)(rng() % model.size());
            xdb_set_status(XD_OK);
            if (op < 45 || model.empty()) {
                put_row(r);
                uint32_t got = 0;
                ASSERT_EQ(dbf_write_record(h, &got, DBF_WRITE_APPEND), XD_OK);
                model.push_back(r);
                ASSERT_EQ(got, model.size());
            } else if (op < 60) {
                put_row(r);
                ASSERT_EQ(dbf_write_record(h, &n, DBF_WRITE_REWRITE), XD_OK);
                model[n - 1] = r;
            } else if (op < 75) {
                ASSERT_EQ(dbf_delete_record(h, n), XD_OK);
                model[n - 1].deleted = true;
            } else if (op < 88) {
                ASSERT_EQ(dbf_recall_record(h, n), XD_OK);
                model[n - 1].deleted = false;
            } else if (op < 92) {
                ASSERT_EQ(dbf_pack(&h), XD_OK);
                std::vector<Row> kept;
                for (const Row& m : model)
                    if (!m.deleted) kept.push_back(m);
                model = kept;
            } else {
                ASSERT_EQ(dbf_close(h), XD_OK);
                h = open(XDB_OPEN_SHORTHAND | dialect);
            }
            if (step % 50 != 49) continue;
            uint32_t count = 0;
            dbf_record_count(h, &count);
            ASSERT_EQ(count, model.size());
            for (uint32_t k = 1; k <= count; k++) {
                xdb_set_status(XD_OK);
                XDSTATUS s = dbf_read_record(h, k);
                ASSERT_EQ(s == XD_DELETEDREC, model[k - 1].deleted) << k;
                char text[16];
                double number = 0;
                dbf_get_field(h, 0, text, nullptr);
                dbf_get_field(h, 1, &number, nullptr);
                std::string want = model[k - 1].text;
                want.resize(12, ' ');
                ASSERT_EQ(text, want);
                ASSERT_DOUBLE_EQ(number, model[k - 1].number);
            }
        }
        xdb_set_status(XD_OK);
        dbf_close(h);
    }
}

// Appends to a file opened exclusively write the count in batches: what the file
// says counts only whole records, and the count is complete once the header is
// needed (a lock, a close). A shared file gets its count with every append.
// Every append is counted on disk before it is reported, shared or exclusive, and
// the count never covers a record that is not whole in the file.
TEST_F(DbfWriteTest, AppendsAreCountedOnDiskBeforeTheyAreReported) {
#ifdef _WIN32
    // Windows keeps every reader away from a file held exclusively: shared only.
    for (uint16_t mode : {(uint16_t)(XDB_OPEN_SHORTHAND | 1)}) {
#else
    for (uint16_t mode : {(uint16_t)1, (uint16_t)(XDB_OPEN_SHORTHAND | 1)}) {
#endif
        std::string name = "b" + std::to_string(mode) + ".dbf";
        ASSERT_EQ(create({create_field("NAME", 'C', 8)}, 1, name), XD_OK);
        int16_t h = open(mode, name);
        std::string path = dir_ + "/" + name;
        for (int i = 0; i < 300; i++) {
            append(h, {"r" + std::to_string(i)});
            std::vector<uint8_t> b = file_byte_vector(path);
            ASSERT_GE(b.size(), 8u) << "the file could not be read";
            uint32_t on_disk = b[4] | b[5] << 8 | b[6] << 16 | (uint32_t)b[7] << 24;
            ASSERT_EQ(on_disk, (uint32_t)i + 1) << i;
            ASSERT_EQ(b.size(), 65u + 9u * (i + 1) + 1) << i;
        }
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_close(h), XD_OK);
    }
}

// Records appended many per call give the file that one call per record gives
// (shared and exclusive, dBASE III and dBXL's end-of-file record), and the count on
// disk never covers a record that is not whole in the file.
TEST_F(DbfWriteTest, BatchedAppendsWriteWhatSingleAppendsWrite) {
    std::mt19937 rng(3);
    for (uint16_t dialect : {(uint16_t)DBF_DBASE3, (uint16_t)DBF_DBXL}) {
        for (uint16_t share : {(uint16_t)0, (uint16_t)XDB_OPEN_SHORTHAND}) {
            std::string one = "one.dbf", many = "many.dbf";
            ASSERT_EQ(create({create_field("NAME", 'C', 8), create_field("N", 'N', 4)}, dialect, one), XD_OK);
            ASSERT_EQ(create({create_field("NAME", 'C', 8), create_field("N", 'N', 4)}, dialect, many), XD_OK);
            int16_t a = open(share | dialect, one), b = open(share | dialect, many);
            char* record;
            uint16_t length, fields;
            dbf_record_layout(b, &record, &length, &fields);
            int next = 0;
            for (int round = 0; round < 40; round++) {
                uint32_t batch = rng() % 20;
                std::vector<char> staged;
                for (uint32_t i = 0; i < batch; i++, next++) {
                    // A numeric field takes a number (a double), a character field text.
                    const std::string name = "r" + std::to_string(next);
                    const double number = next % 1000;
                    for (int16_t h : {a, b}) {
                        xdb_set_status(XD_OK);
                        ASSERT_GE(dbf_put_field(h, 0, name.c_str()), 0);
                        ASSERT_GE(dbf_put_field(h, 1, &number), 0);
                    }
                    uint32_t n = 0;
                    xdb_set_status(XD_OK);
                    ASSERT_EQ(dbf_write_record(a, &n, DBF_WRITE_APPEND), XD_OK);
                    if (next % 7 == 0) {
                        ASSERT_EQ(dbf_delete_record(a, (uint32_t)next + 1), XD_OK);
                    }
                    record[0] = next % 7 == 0 ? '*' : ' ';
                    staged.insert(staged.end(), record, record + length);
                }
                uint32_t first = 0;
                xdb_set_status(XD_OK);
                ASSERT_EQ(dbf_append_records(b, staged.data(), batch, &first), XD_OK);
                if (batch) {
                    EXPECT_EQ(first, (uint32_t)(next - batch + 1));
                }
#ifdef _WIN32
                if (!share) continue;  // Windows keeps every reader away from a file held exclusively
#endif
                std::vector<uint8_t> bytes = file_byte_vector(dir_ + "/" + many);
                ASSERT_GE(bytes.size(), 8u) << "the file could not be read";
                uint32_t on_disk = bytes[4] | bytes[5] << 8;
                ASSERT_LE((uint64_t)on_disk * length + 97, bytes.size());
                if (share) {
                    ASSERT_EQ(on_disk, (uint32_t)next);
                }
            }
            xdb_set_status(XD_OK);
            ASSERT_EQ(dbf_close(a), XD_OK);
            ASSERT_EQ(dbf_close(b), XD_OK);
            std::vector<uint8_t> x = file_byte_vector(dir_ + "/" + one), y = file_byte_vector(dir_ + "/" + many);
            ASSERT_EQ(x.size(), y.size());
            EXPECT_TRUE(std::equal(x.begin() + 4, x.end(), y.begin() + 4)) << "dialect " << dialect << " share " << share;
        }
    }
}

TEST_F(DbfWriteTest, BatchedAppendsRefuseWhatWouldBeStoredChanged) {
    ASSERT_EQ(create({create_field("NAME", 'C', 4)}, 1), XD_OK);
    int16_t h = open(1);
    std::string records = " abc?abcd";  // the second record's deletion byte is neither mark
    uint32_t first = 0;
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_append_records(h, records.data(), 2, &first), XD_BADDATA);
    uint32_t count = 9;
    xdb_set_status(XD_OK);
    dbf_record_count(h, &count);
    EXPECT_EQ(count, 0u);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_append_records(h, nullptr, 0, &first), XD_OK);
    dbf_close(h);
    h = open(XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | 1);
    xdb_set_status(XD_OK);
    EXPECT_EQ(dbf_append_records(h, " abcd", 1, &first), XD_READONLY);
    dbf_close(h);
    EXPECT_EQ(file_byte_vector(dir_ + "/t.dbf").size(), 32u + 32 + 1 + 1);
}

}  // namespace
