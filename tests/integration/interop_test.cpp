// Interoperation with independent xBase readers and writers (Debian's python3-dbf
// and python3-dbfread): what the engine creates and appends they read back field for
// field, and what python3-dbf writes the engine reads.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/memo/memo.h"
#include "host/json_line.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/engine_test.h"
#include "tests/support/other_programs.h"
#include "tests/support/programs.h"

namespace {

const char kPython[] = "/usr/bin/python3";

// The python readers are Linux programs: in the Windows suite these tests skip.
bool have_module(const char* module) {
#ifdef _WIN32
    (void)module;
    return false;
#else
    return run_program({kPython, "-c", std::string("import ") + module}).code == 0;
#endif
}

// Runs a Python script; returns its standard output lines.
std::vector<std::string> python(const std::string& dir, const std::string& script) {
    std::string path = dir + "/script.py";
    std::ofstream(path) << script;
    ProgramResult r = run_program({kPython, path}, "", ProgramErrors::kDropped);
    EXPECT_EQ(r.code, 0) << "python failed: " << script;
    return lines_of(r.out);
}

struct Row {
    std::string name;
    double qty;
    double ratio;
    std::string born;  // yyyymmdd or empty
    bool ok;
};

class InteropTest : public EngineTest {
protected:
    void SetUp() override {
#ifdef _WIN32
        QXDB_LINUX_ONLY("reads and writes with the python readers");
#endif
        if (!have_module("dbfread") || !have_module("dbf"))
            GTEST_SKIP() << "python3-dbf and python3-dbfread are not installed (make test installs them as root)";
        EngineTest::SetUp();
    }
};

TEST_F(InteropTest, WhatTheEngineWritesDbfreadReads) {
    for (uint16_t dialect : {1, 4, 5, 8}) {
        bool with_f = dialect == 4 || dialect == 8;
        std::vector<DbfCreateField> fields(with_f ? 5 : 4);
        auto set = [&](int i, const char* n, char t, uint16_t len, uint16_t dec) {
            snprintf(fields[i].name, sizeof fields[i].name, "%s", n);
            fields[i].type = (uint16_t)t;
            fields[i].length = len;
            fields[i].decimals = dec;
        };
        set(0, "NAME", 'C', 24, 0);
        set(1, "QTY", 'N', 9, 2);
        set(2, "BORN", 'D', 8, 0);
        set(3, "OK", 'L', 1, 0);
        if (with_f) set(4, "RATIO", 'F', 12, 4);
        std::string path = dir_ + "/d" + std::to_string(dialect) + ".dbf";
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_create(path.c_str(), (int16_t)fields.size(), fields.data(), dialect), XD_OK);
        int16_t h;
        ASSERT_EQ(dbf_open(&h, path.c_str(), XDB_OPEN_SHORTHAND | dialect), XD_OK);
        std::vector<Row> rows;
        std::mt19937 rng(dialect);
        for (int i = 0; i < 200; i++) {
            Row r;
            for (unsigned k = 0, n = 1 + rng() % 20; k < n; k++) r.name += (char)("abcdefghij KLMNOP-'.,0123"[rng() % 25]);
            r.name.erase(r.name.find_last_not_of(' ') + 1);
            r.qty = ((double)(rng() % 20000000) - 10000000) / 100.0;
            r.ratio = ((double)(rng() % 2000000) - 1000000) / 10000.0;
            if (rng() % 5) {
                char d[9];
                snprintf(d, sizeof d, "%04u%02u%02u", 1900 + (unsigned)(rng() % 200), 1 + (unsigned)(rng() % 12), 1 + (unsigned)(rng() % 28));
                r.born = d;
            }
            r.ok = rng() % 2;
            xdb_set_status(XD_OK);
            ASSERT_EQ(dbf_put_field(h, 0, r.name.c_str()), XD_OK);
            ASSERT_EQ(dbf_put_field(h, 1, &r.qty), XD_OK);
            ASSERT_EQ(dbf_put_field(h, 2, r.born.empty() ? "" : r.born.c_str()), XD_OK);
            uint8_t ok = r.ok;
            ASSERT_EQ(dbf_put_field(h, 3, &ok), XD_OK);
            if (with_f) {
                ASSERT_EQ(dbf_put_field(h, 4, &r.ratio), XD_OK);
            }
            uint32_t n = 0;
            ASSERT_EQ(dbf_write_record(h, &n, DBF_WRITE_APPEND), XD_OK);
            rows.push_back(r);
        }
        ASSERT_EQ(dbf_close(h), XD_OK);

        std::vector<std::string> lines = python(dir_,
            "import dbfread, json\n"
            "for r in dbfread.DBF('" + path + "', encoding='cp850'):\n"
            "    d = dict(r)\n"
            "    d['BORN'] = d['BORN'].strftime('%Y%m%d') if d['BORN'] else ''\n"
            "    print(json.dumps(d))\n");
        ASSERT_EQ(lines.size(), rows.size()) << dialect;
        for (size_t i = 0; i < rows.size(); i++) {
            JsonObject o;
            ASSERT_TRUE(parse_json_object(lines[i], &o)) << lines[i];
            EXPECT_EQ(json_find(o, "NAME")->text, rows[i].name) << dialect << " " << i;
            EXPECT_NEAR(json_find(o, "QTY")->number, rows[i].qty, 1e-9) << dialect << " " << i;
            EXPECT_EQ(json_find(o, "BORN")->text, rows[i].born) << dialect << " " << i;
            EXPECT_EQ(json_find(o, "OK")->flag, rows[i].ok) << dialect << " " << i;
            if (with_f) {
                EXPECT_NEAR(json_find(o, "RATIO")->number, rows[i].ratio, 1e-9) << dialect << " " << i;
            }
        }
    }
}

// Opens a file trying the variants as the driver does.
int16_t open_any(const std::string& path) {
    for (int row = 0; row < kXbaseVariantCount; row++) {
        xdb_set_status(XD_OK);
        int16_t h;
        if (dbf_open(&h, path.c_str(), (uint16_t)(XDB_OPEN_SHORTHAND | kXbaseVariants[row].code)) >= 0) {
            xdb_set_status(XD_OK);
            return h;
        }
    }
    return -1;
}

TEST_F(InteropTest, WhatPythonDbfWritesTheEngineReads) {
    python(dir_,
           "import dbf, datetime\n"
           "t = dbf.Table('" + dir_ + "/p3.dbf', 'name C(20); qty N(7,2); born D; ok L', dbf_type='db3', codepage='cp850')\n"
           "t.open(dbf.READ_WRITE)\n"
           "t.append(('Zo\\u00eb', 12.5, dbf.Date(2024, 2, 29), True))\n"
           "t.append(('x', -3.25, None, False))\n"
           "t.close()\n"
           "t = dbf.Table('" + dir_ + "/pv.dbf', 'name C(10); n I; at T; cash Y; born D', dbf_type='vfp', codepage='cp1252')\n"
           "t.open(dbf.READ_WRITE)\n"
           "t.append(('abc', -7, datetime.datetime(2003, 4, 4, 16, 13, 11), 12.5, dbf.Date(1999, 12, 31)))\n"
           "t.close()\n");
    int16_t h = open_any(dir_ + "/p3.dbf");
    ASSERT_GE(h, 0);
    char name[32], born[16];
    double qty = 0;
    uint8_t ok = 9;
    ASSERT_EQ(dbf_read_record(h, 1), XD_OK);
    dbf_get_field(h, 0, name, nullptr);
    dbf_get_field(h, 1, &qty, nullptr);
    dbf_get_field(h, 2, born, nullptr);
    dbf_get_field(h, 3, &ok, nullptr);
    EXPECT_EQ(std::string(name), std::string("Zo\x89") + std::string(17, ' '));  // ë in code page 850
    EXPECT_EQ(qty, 12.5);
    EXPECT_STREQ(born, "20240229");
    EXPECT_EQ(ok, 1);
    ASSERT_EQ(dbf_read_record(h, 2), XD_OK);
    dbf_get_field(h, 1, &qty, nullptr);
    EXPECT_EQ(qty, -3.25);
    EXPECT_EQ(dbf_field_empty(h, 2), 1);

    int16_t v = open_any(dir_ + "/pv.dbf");
    ASSERT_GE(v, 0);
    DbfHeaderInfo info;
    dbf_header_info(v, &info);
    EXPECT_EQ(info.dialect, DBF_VFP);
    ASSERT_EQ(dbf_read_record(v, 1), XD_OK);
    int32_t n = 0;
    DbfDateTime at{};
    double cash = 0;
    dbf_get_field(v, 1, &n, nullptr);
    dbf_get_field(v, 2, &at, nullptr);
    dbf_get_field(v, 3, &cash, nullptr);
    dbf_get_field(v, 4, born, nullptr);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(at.year * 10000 + at.month * 100 + at.day, 20030404);
    EXPECT_EQ(at.hour * 10000 + at.minute * 100 + at.second, 161311);
    EXPECT_EQ(cash, 12.5);
    EXPECT_STREQ(born, "19991231");
}

// Visual FoxPro tables cannot be created by the engine, but it appends to them and
// rewrites them: python3-dbf must read every value back, the empty date-time
// included (it refuses the blank form).
TEST_F(InteropTest, PythonDbfReadsTheVisualFoxProRecordsTheEngineWrites) {
    python(dir_,
           "import dbf, datetime\n"
           "t = dbf.Table('" + dir_ + "/ev.dbf', 'name C(10); n I; at T; cash Y; born D; qty N(8,3)', dbf_type='vfp', codepage='cp1252')\n"
           "t.open(dbf.READ_WRITE)\n"
           "t.append(('seed', 1, datetime.datetime(2001, 1, 1, 1, 1, 1), 1.5, dbf.Date(2001, 1, 1), 1.5))\n"
           "t.close()\n");
    int16_t h = open_any(dir_ + "/ev.dbf");
    ASSERT_GE(h, 0);
    DbfDateTime at{2024, 2, 29, 23, 59, 58, 0}, empty{};
    struct Row {
        const char* name;
        int32_t n;
        const DbfDateTime* at;
        double cash;
        const char* born;
        double qty;
    } rows[] = {{"caf\xE9", -2147483647, &at, -922337203685.4775, "20240229", -999.125},
                {"", 0, &empty, 0, "        ", 0.0005}};
    for (const Row& r : rows) {
        xdb_set_status(XD_OK);
        dbf_put_field(h, 0, r.name);
        dbf_put_field(h, 1, &r.n);
        dbf_put_field(h, 2, r.at);
        dbf_put_field(h, 3, &r.cash);
        dbf_put_field(h, 4, r.born);
        dbf_put_field(h, 5, &r.qty);
        ASSERT_GE(xdb_status(), 0);  // 0.0005 comes back rounded: a warning
        xdb_set_status(XD_OK);
        uint32_t recno = 0;
        ASSERT_EQ(dbf_write_record(h, &recno, DBF_WRITE_APPEND), XD_OK);
    }
    // A rewrite of the seed record empties its date-time.
    xdb_set_status(XD_OK);
    ASSERT_GE(dbf_read_record(h, 1), 0);
    dbf_put_field(h, 2, &empty);
    uint32_t one = 1;
    ASSERT_EQ(dbf_write_record(h, &one, DBF_WRITE_REWRITE), XD_OK);
    ASSERT_EQ(dbf_close(h), XD_OK);
    std::vector<std::string> lines = python(dir_,
           "import dbf\n"
           "t = dbf.Table('" + dir_ + "/ev.dbf')\n"
           "t.open(dbf.READ_ONLY)\n"
           "for r in t:\n"
           "    print(repr((r.name.rstrip(), r.n, str(r.at), float(r.cash), str(r.born), float(r.qty))))\n"
           "t.close()\n");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "('seed', 1, 'None', 1.5, '2001-01-01', 1.5)",
                         "('caf\u00e9', -2147483647, '2024-02-29 23:59:58', -922337203685.4775, '2024-02-29', -999.125)",
                         "('', 0, 'None', 0.0, 'None', 0.001)"}));
}

// dBASE III and IV DBT and FPT memos, appended, rewritten in place and moved, then
// the memo file rebuilt and the table packed: dbfread reads every live memo.
TEST_F(InteropTest, DbfreadReadsTheMemosTheEngineWrites) {
    for (uint16_t dialect : {1, 2, 8}) {
        bool fox = dialect == 8, dbase4 = dialect == 2;
        std::string base = dir_ + (fox ? "/fm" : dbase4 ? "/d4" : "/dm");
        std::vector<DbfCreateField> fields = {create_field("ID", 'N', 4), create_field("NOTE", 'M')};
        xdb_set_status(XD_OK);
        ASSERT_EQ(dbf_create((base + ".dbf").c_str(), 2, fields.data(), dialect), XD_OK);
        // dbfread takes dBASE IV blocks to be 512 bytes: factor 1 there.
        ASSERT_EQ(fox ? fpt_create((base + ".fpt").c_str(), 2)
                      : dbt_create((base + ".dbt").c_str(), dbase4 ? 1 : 2, dbase4 ? 2 : 1),
                  XD_OK);
        int16_t d, m;
        ASSERT_EQ(dbf_open(&d, (base + ".dbf").c_str(), XDB_OPEN_SHORTHAND | dialect), XD_OK);
        ASSERT_EQ(fox ? fpt_open(&m, (base + ".fpt").c_str(), XDB_OPEN_SHORTHAND)
                      : dbt_open(&m, (base + ".dbt").c_str(), XDB_OPEN_SHORTHAND | (dbase4 ? 2 : 1)),
                  XD_OK);
        std::vector<std::string> texts;
        std::vector<uint32_t> blocks;
        std::mt19937 rng(dialect);
        auto random_text = [&]() {
            std::string t;
            for (unsigned k = 0, n = rng() % 2000; k < n; k++) t += "abc def\r\n"[rng() % 9];
            return t;
        };
        for (int i = 0; i < 30; i++) {
            std::string t = i == 7 ? std::string(40000, 'L') : random_text();  // longer than the 16-bit pieces
            texts.push_back(t);
            uint32_t block = 0, recno = 0;
            double id = i;
            xdb_set_status(XD_OK);
            ASSERT_EQ(fox ? fpt_write(m, t.data(), (uint32_t)t.size(), &block)
                          : dbt_write(m, t.data(), (uint32_t)t.size(), &block, 0),
                      XD_OK);
            blocks.push_back(block);
            dbf_put_field(d, 0, &id);
            dbf_put_field(d, 1, &block);
            ASSERT_EQ(dbf_write_record(d, &recno, DBF_WRITE_APPEND), XD_OK);
        }
        // Rewrites: shorter ones stay in place, longer ones move (DBT).
        for (uint32_t i = 0; i < 30 && !fox; i += 3) {
            texts[i] = i % 2 ? random_text() + random_text() : texts[i].substr(0, texts[i].size() / 3);
            xdb_set_status(XD_OK);
            ASSERT_EQ(dbt_write(m, texts[i].data(), (uint32_t)texts[i].size(), &blocks[i], DBT_REPLACE), XD_OK);
            ASSERT_GE(dbf_read_record(d, i + 1), 0);
            dbf_put_field(d, 1, &blocks[i]);
            uint32_t recno = i + 1;
            ASSERT_EQ(dbf_write_record(d, &recno, DBF_WRITE_REWRITE), XD_OK);
        }
        // Deleted records' memos leave with the rebuild and the pack.
        std::vector<std::string> live;
        for (uint32_t i = 0; i < 30; i++) {
            if (i % 5 == 4) {
                xdb_set_status(XD_OK);
                ASSERT_EQ(dbf_delete_record(d, i + 1), XD_OK);
            } else {
                live.push_back(texts[i]);
            }
        }
        xdb_set_status(XD_OK);
        ASSERT_EQ(fox ? fpt_rebuild(d, &m) : dbt_rebuild(d, &m), XD_OK);
        ASSERT_EQ(dbf_pack(&d), XD_OK);
        xdb_set_status(XD_OK);
        fox ? fpt_close(m) : dbt_close(m);
        dbf_close(d);
        // dbfread reads the 8 bytes of a dBASE IV memo's header as text length:
        // it returns 8 bytes more, cut here.
        std::vector<std::string> lines = python(dir_,
            "import dbfread, json\n"
            "for r in dbfread.DBF('" + base + ".dbf', encoding='latin-1'):\n"
            "    t = r['NOTE']\n"
            "    print(json.dumps(t[:-8] if " + (dbase4 ? "True" : "False") + " else t))\n");
        ASSERT_EQ(lines.size(), live.size()) << dialect;
        for (size_t i = 0; i < live.size(); i++) {
            JsonObject o;
            ASSERT_TRUE(parse_json_object("{\"t\":" + lines[i] + "}", &o));
            EXPECT_EQ(json_find(o, "t")->text, live[i]) << dialect << " " << i;
        }
        if (dbase4) {
            std::ifstream in(base + ".dbt", std::ios::binary);
            char head[24];
            in.read(head, sizeof head);
            EXPECT_EQ(std::string(head + 8, 2), "D4");  // the table's name, not the temporary file's
            EXPECT_EQ(head[18], 2);
            EXPECT_EQ(head[19], 1);
        }
    }
}

}  // namespace
