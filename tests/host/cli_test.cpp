// The qxdb command as a user runs it: outputs and exit codes.

#include <gtest/gtest.h>

#include <sys/stat.h>


#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <functional>
#include <string>
#include <thread>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/other_programs.h"
#include "tests/support/programs.h"

namespace {

using CliRun = ProgramResult;

CliRun qxdb(const std::string& args) { return run_command_line(QXDB_CLI, args); }

// Whether the output names `text`: on Windows a path may come back with the
// system's separators and in another case, which name the same file there.
bool says(const std::string& out, const std::string& text) {
#ifdef _WIN32
    auto plain = [](std::string s, bool json) {
        for (size_t at; json && (at = s.find("\\\\")) != std::string::npos;) s.replace(at, 2, "/");
        for (char& c : s) c = c == '\\' ? '/' : (char)tolower((unsigned char)c);
        return s;
    };
    return plain(out, true).find(plain(text, false)) != std::string::npos;
#else
    return out.find(text) != std::string::npos;
#endif
}

TEST(Cli, MessageAndStatus) {
    CliRun r = qxdb("message 2659 42 '/data/T.DBF' -17");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Impossible de lire l'enregistrement numéro <42> dans le fichier de données '/data/T.DBF'.\n"
                     "Code d'erreur : <-17>\n");
    EXPECT_EQ(qxdb("message 1").code, 1);
    EXPECT_EQ(qxdb("message").code, 2);
    r = qxdb("status -37");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("XD_LOCKVIOLATION (-37)\nERREUR - Violation du blocage fichier.\n", 0), 0u);
    EXPECT_EQ(qxdb("status 0x7FFF").code, 1);
    EXPECT_EQ(qxdb("status abc").code, 2);
    // Numbers are read whole and within range, or the command stops at its usage.
    EXPECT_EQ(qxdb("status 0xA5B").out, qxdb("status 2651").out);
    for (const char* bad : {"status 65536", "status ' 1'", "status 1x", "message -1", "message 99999999999999999999",
                            "eval t.dbf 0 NAME", "eval t.dbf 1 NAME --terms many", "delete --raw t.dbf 4294967296",
                            "create t.dbf --dialect 1 A:C:65536"})
        EXPECT_EQ(qxdb(bad).code, 2) << bad;
}

TEST(Cli, DumpFormatsAndErrors) {
    std::string dir = make_temp_dir("cli");
    std::string path = dir + "/t.dbf";
    DbfImage img = build_dbf(0x03, {{"NAME", 'C', 6}, {"N", 'N', 5, 1}, {"D", 'D', 8}, {"L", 'L', 1}},
                             {"a,\"b\" " "  1.5" "20240229" "T", "*\x82t\x82   " " 20.0" "        " "?"});
    img.bytes[29] = 0x02;  // code page 850
    img.write(path);
    CliRun r = qxdb("dump '" + path + "'");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "{\"recno\":1,\"deleted\":false,\"NAME\":\"a,\\\"b\\\"\",\"N\":1.5,\"D\":\"2024-02-29\",\"L\":true}\n"
              "{\"recno\":2,\"deleted\":true,\"NAME\":\"\xC3\xA9t\xC3\xA9\",\"N\":20,\"D\":null,\"L\":null}\n");
    r = qxdb("dump --format csv --no-deleted '" + path + "'");
    EXPECT_EQ(r.out, "recno,deleted,NAME,N,D,L\n1,false,\"a,\"\"b\"\"\",1.5,2024-02-29,true\n");
    r = qxdb("dump --format table --codepage 1252 '" + path + "'");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\xE2\x80\x9At\xE2\x80\x9A"), std::string::npos);  // 0x82 in 1252
    EXPECT_EQ(qxdb("dump --format xml '" + path + "'").code, 2);
    EXPECT_EQ(qxdb("dump --codepage 12345 '" + path + "'").code, 2);
    r = qxdb("dump '" + dir + "/missing.dbf'");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("XD_OPENERR"), std::string::npos);
    r = qxdb("info '" + path + "'");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Dialect:           dBASE III (code 1, variant row 0)"), std::string::npos);
    EXPECT_EQ(qxdb("nosuchcommand").code, 2);
    remove_temp_dir(dir);
}

TEST(Cli, MemoTablesFromCreateToPack) {
    std::string dir = make_temp_dir("climemo");
    for (const char* dialect : {"1", "2", "8"}) {
        std::string t = dir + "/m" + dialect + ".dbf";
        ASSERT_EQ(qxdb("create '" + t + "' --dialect " + dialect + " NAME:C:8 NOTE:M").code, 0) << dialect;
        std::string long_text(40000, 'x');
        std::string input = "{\"NAME\":\"a\",\"NOTE\":\"first \\u00e9\"}\n{\"NAME\":\"b\",\"NOTE\":\"" +
                            long_text + "\"}\n{\"NAME\":\"c\",\"NOTE\":\"third\"}\n";
        std::ofstream(dir + "/in.jsonl") << input;
        EXPECT_EQ(qxdb("append '" + t + "' < '" + dir + "/in.jsonl'").code, 0) << dialect;
        EXPECT_EQ(qxdb("delete --raw '" + t + "' 1").code, 0);
        EXPECT_EQ(qxdb("pack '" + t + "'").code, 0) << dialect;
        CliRun r = qxdb("dump '" + t + "'");
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "{\"recno\":1,\"deleted\":false,\"NAME\":\"b\",\"NOTE\":\"" + long_text +
                             "\"}\n{\"recno\":2,\"deleted\":false,\"NAME\":\"c\",\"NOTE\":\"third\"}\n")
            << dialect;
    }
    remove_temp_dir(dir);
}

// Input is taken exactly or refused with its line and reason: the command stops at
// the first refused line (exit 1) unless told to skip, cut or replace.
TEST(Cli, AppendTakesInputExactlyOrRefusesIt) {
    std::string dir = make_temp_dir("cliappend");
    std::string t = dir + "/t.dbf";
    ASSERT_EQ(qxdb("create '" + t + "' --dialect 1 NAME:C:5 N:N:6:2 OK:L").code, 0);
    struct Case {
        const char* input;
        const char* options;
        int code;
        const char* message;  // in the output; "" for none
        int appended;
    } cases[] = {
        {"{\"NAME\":\"ab\",\"N\":1.5}\n", "", 0, "1 record appended", 1},
        {"{\"NAME\":\"abcdefg\"}\n", "", 1, "line 1: field NAME: 7 bytes for a field of 5", 0},
        {"{\"NAME\":\"abcdefg\"}\n", "--truncate", 0, "", 1},
        {"{\"NAME\":\"ab\"} x\n", "", 1, "text after the object", 0},
        {"{\"NAME\":\"\\ud800\"}\n", "", 1, "lone high surrogate", 0},
        {"{\"NAME\":\"\\udc00\"}\n", "", 1, "lone low surrogate", 0},
        {"{\"NAME\":\"a\xff\"}\n", "", 1, "not UTF-8", 0},
        {"{\"NAME\":\"a\\u0000b\"}\n", "", 1, "cannot hold", 0},
        {"{\"NAME\":\"\xe2\x82\xac\"}\n", "--codepage 437", 1, "code page 437 cannot hold", 0},
        {"{\"NAME\":\"\xe2\x82\xac\"}\n", "--codepage 437 --replace", 0, "", 1},
        {"{\"NAME\":\"a\",\"deleted\":\"yes\"}\n", "", 1, "\"deleted\" must be true or false", 0},
        {"{\"N\":0.125}\n", "", 1, "would be rounded", 0},
        {"{\"N\":0.125}\n", "--truncate", 0, "", 1},
        {"{\"N\":1000}\n", "", 1, "does not fit N(6,2)", 0},
        {"{\"N\":0x10}\n", "", 1, "expected at column 7", 0},
        {"{\"OK\":\"maybe\"}\n", "", 1, "logicals are", 0},
        {"{\"NOPE\":1}\n", "", 1, "no field NOPE", 0},
        {"{\"NAME\":\"a\"}\n{bad\n{\"NAME\":\"c\"}\n", "", 1, "line 2:", 1},
        {"{\"NAME\":\"a\"}\n{bad\n{\"NAME\":\"c\"}\n", "--skip-bad", 1, "1 line refused", 2},
        {"NAME,N\n\"ab\"c,1\n", "--format csv", 1, "text after a closing quote", 0},
        {"NAME,N\nab,1,2\n", "--format csv", 1, "3 values for 2 columns", 0},
        {"NAME,N\na\"b,1\n", "--format csv", 1, "a quote inside an unquoted field", 0},
        {"NAME,N\n\"ab,1\n", "--format csv", 1, "never closed", 0},
        {"NAME,N,deleted\nab,1,true\n", "--format csv", 0, "", 1},
    };
    uint32_t expected = 0;
    for (const Case& c : cases) {
        std::ofstream(dir + "/in.txt", std::ios::binary) << c.input;
        CliRun r = qxdb("append '" + t + "' " + c.options + " < '" + dir + "/in.txt'");
        EXPECT_EQ(r.code, c.code) << c.input << r.out;
        if (*c.message) {
            EXPECT_NE(r.out.find(c.message), std::string::npos) << c.input << r.out;
        }
        expected += (uint32_t)c.appended;
        CliRun info = qxdb("info '" + t + "'");
        EXPECT_NE(info.out.find("Records:           " + std::to_string(expected) + "\n"), std::string::npos) << c.input << info.out;
    }
    // A header counting far more records than the file holds: no append.
    std::string bytes;
    {
        bytes = file_bytes(t);
    }
    bytes[4] = 0;
    bytes[5] = 0;
    bytes[6] = 0x10;
    std::ofstream(t, std::ios::binary) << bytes;
    std::ofstream(dir + "/in.txt") << "{\"NAME\":\"x\"}\n";
    CliRun r = qxdb("append '" + t + "' < '" + dir + "/in.txt'");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("damaged"), std::string::npos) << r.out;
    remove_temp_dir(dir);
}

// Files that are not tables, and indexes whose header does not fit their file.
TEST(Cli, NotFilesAndDamagedHeadersAreReported) {
    std::string dir = make_temp_dir("clinot");
#ifdef _WIN32
    const std::string fifo = dir + "/NUL";  // a device in every directory
#else
    const std::string fifo = dir + "/x.dbf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
#endif
    CliRun r = qxdb("info '" + fifo + "'");  // must not wait for a writer
    EXPECT_EQ(r.code, 1);
    std::string t = dir + "/t.dbf", x = dir + "/t.ndx";
    ASSERT_EQ(qxdb("create '" + t + "' --dialect 1 NAME:C:5").code, 0);
    std::ofstream(dir + "/in.csv") << "NAME\nab\ncd\n";
    ASSERT_EQ(qxdb("append '" + t + "' < '" + dir + "/in.csv'").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --expr NAME").code, 0);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
    std::fstream f(x, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4);
    f.write("\xff\xff\xff\xff", 4);
    f.close();
    r = qxdb("index check '" + t + "' '" + x + "'");
    EXPECT_EQ(r.code, 5) << r.out;  // damaged
    // A table another program holds: the pack says it is in use, and changes nothing.
    ASSERT_EQ(xdbinit(), XD_OK);
    for (uint16_t mode : {(uint16_t)1, (uint16_t)(XDB_OPEN_SHORTHAND | 1)}) {  // exclusive, then shared
        int16_t h = -1;
        ASSERT_EQ(dbf_open(&h, t.c_str(), mode), XD_OK);
        r = qxdb("pack '" + t + "'");
        EXPECT_EQ(r.code, 4);
        EXPECT_NE(r.out.find("in use by another program"), std::string::npos) << r.out;
        xdb_set_status(XD_OK);
        dbf_close(h);
    }
    xdbterm();
    // The index beside it would go stale: refused, unless asked.
    r = qxdb("pack '" + t + "'");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("would leave these index files"), std::string::npos) << r.out;
    EXPECT_EQ(qxdb("pack --ignore-indexes '" + t + "'").code, 0);
    remove_temp_dir(dir);
}

// Help for one command, dialects by name, and the exit status of a listing of a
// directory that is not there.
TEST(Cli, HelpDialectNamesAndListings) {
    CliRun r = qxdb("help dump");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("usage: qxdb dump", 0), 0u) << r.out;
    EXPECT_EQ(qxdb("help nothing").code, 2);
    std::string dir = make_temp_dir("clihelp");
    struct {
        const char* dialect;
        int code;
        const char* shown;  // in qxdb info
    } cases[] = {{"foxpro", 0, "FoxPro 1.0"}, {"dBASE IV", 0, "dBASE IV"}, {"clipper5", 0, "dBASE III"},
                 {"3", 0, "dBASE III"}, {"vfp", 1, ""}, {"foxpro9", 2, ""}, {"", 2, ""}};
    for (const auto& c : cases) {
        std::string t = dir + "/d.dbf";
        std::remove(t.c_str());
        r = qxdb("create '" + t + "' --dialect '" + c.dialect + "' NAME:C:5 NOTE:M");
        EXPECT_EQ(r.code, c.code) << c.dialect << r.out;
        // (the info shows the first variant a file opens under, as every reader would)
        if (c.code == 0) {
            EXPECT_NE(qxdb("info '" + t + "'").out.find(c.shown), std::string::npos) << c.dialect;
        }
    }
    r = qxdb("tables '" + dir + "/missing'");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("is not a directory"), std::string::npos) << r.out;
    ASSERT_EQ(qxdb("create '" + dir + "/b.dbf' --dialect dbase3 A:C:1").code, 0);
    r = qxdb("tables '" + dir + "' --details");
    EXPECT_EQ(r.code, 0) << r.out;
    size_t b = r.out.find("\nb "), d = r.out.find("\nd ");
    EXPECT_NE(b, std::string::npos) << r.out;
    EXPECT_LT(b, d) << r.out;  // sorted
    EXPECT_NE(r.out.find("Records"), std::string::npos);
    remove_temp_dir(dir);
}

TEST(Cli, IndexCommands) {
    std::string people = std::string(QXDB_TEST_DATA) + "/peers/xbase64/dbase3/";
    // Indexes written by another program pass the check, the date index with its
    // dates before 1900-03-01 and its blank dates included.
    for (const char* tag : {"NAME", "AGE", "BALANCE", "BORN", "CITYBORN", "SALARY", "UCITY"})
        EXPECT_EQ(qxdb("index check '" + people + "PEOPLE.DBF' '" + people + "PEOPLE_" + tag + ".NDX'").code, 0) << tag;
    std::string dbd = std::string(QXDB_TEST_DATA) + "/real/dbd-xbase/";
    for (const char* name : {"ndx-char", "ndx-date", "ndx-num"})
        EXPECT_EQ(qxdb("index check '" + dbd + name + ".dbf' '" + dbd + name + ".ndx'").code, 0) << name;

    // The same commands on every format the engine writes, no format named in them
    // (a file of several keys names the one it makes: --tag).
    for (const std::string ext : {".ndx", ".ntx", ".idx", ".cdx"}) {
        SCOPED_TRACE(ext);
        const std::string tag = ext == ".cdx" ? " --tag K" : "";
        std::string dir = make_temp_dir("cliindex");
        std::string t = dir + "/t.dbf", x = dir + "/t" + ext;
        ASSERT_EQ(qxdb("create '" + t + "' --dialect 1 NAME:C:10 AMOUNT:N:8:2 BORN:D").code, 0);
        std::ofstream(dir + "/in.csv") << "NAME,AMOUNT,BORN\nsmith,12.5,2000-01-01\nJones,-3,1999-12-31\nadams,7,\n";
        ASSERT_EQ(qxdb("append '" + t + "' < '" + dir + "/in.csv'").code, 0);
        ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --expr 'upper(name)'" + tag).code, 0);
        CliRun r = qxdb("index keys '" + x + "'");
        EXPECT_EQ(r.out, "3\tADAMS\n2\tJONES\n1\tSMITH\n");
        EXPECT_EQ(qxdb("index keys '" + x + "' --reverse").out, "1\tSMITH\n2\tJONES\n3\tADAMS\n");
        r = qxdb("index seek '" + x + "' JO");
        EXPECT_EQ(r.out.rfind("found (XD_OK", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\t2\tJONES"), std::string::npos);
        EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
        const std::string b = dir + "/b" + ext, a = dir + "/a" + ext;
        ASSERT_EQ(qxdb("index create '" + t + "' '" + b + "' --expr born" + tag).code, 0);
        const std::string dates = qxdb("index keys '" + b + "' --table '" + t + "'").out;
        // Blank dates: last in NDX (the day number of the blank date is the
        // greatest), first in the others (blanks before digits in NTX, the blank
        // date's zero before every day number in IDX and CDX).
        EXPECT_EQ(dates, ext == ".ndx" ? "2\t19991231\n1\t20000101\n3\t\n" : "3\t\n2\t19991231\n1\t20000101\n");
        ASSERT_EQ(qxdb("index create '" + t + "' '" + a + "' --expr amount" + tag).code, 0);
        EXPECT_EQ(qxdb("index keys '" + a + "' --table '" + t + "'").out, "2\t-3\n3\t7\n1\t12.5\n");
        r = qxdb("index seek '" + a + "' -3 --table '" + t + "'");
        EXPECT_EQ(r.out.rfind("found (XD_OK", 0), 0u) << r.out;
        EXPECT_EQ(qxdb("reindex '" + t + "' '" + b + "'").code, 0);
        EXPECT_EQ(qxdb("index check '" + t + "' '" + b + "'").code, 0);
        EXPECT_EQ(qxdb("reindex '" + t + "' '" + a + "'").code, 0);
        EXPECT_EQ(qxdb("index check '" + t + "' '" + a + "'").code, 0);
        EXPECT_EQ(qxdb("index create '" + t + "' '" + dir + "/z" + ext + "' --expr 'name+amount'" + tag).code, 2);  // text and a number
        EXPECT_EQ(qxdb("index keys '" + dir + "/none" + ext + "'").code, 3);
        remove_temp_dir(dir);
    }
}

// A FoxPro table made with its structural CDX: the header names it, tags added to
// it by qxdb index create become the table's keys through the library, whose
// writes keep every tag in step, and a compaction builds them all again; tags are
// listed, and one removed.
TEST(Cli, AFoxProTableWithItsStructuralIndex) {
    std::string dir = make_temp_dir("clicdx");
    const std::string t = dir + "/people.dbf", x = dir + "/people.cdx";
    ASSERT_EQ(qxdb("create '" + t + "' --dialect foxpro --production-index NAME:C:20 AGE:N:3:0 ACTIVE:L").code, 0);
    ASSERT_TRUE(std::ifstream(x).good());
    EXPECT_NE(qxdb("info '" + t + "'").out.find("Production index:  1"), std::string::npos);
    EXPECT_EQ(qxdb("index tags '" + x + "'").out, "tag\tkey length\texpression\tcondition\tflags\n");
    std::ofstream(dir + "/in.csv") << "NAME,AGE,ACTIVE\nsmith,40,true\nJones,20,false\nadams,31,true\n";
    ASSERT_EQ(qxdb("append '" + t + "' --ignore-indexes < '" + dir + "/in.csv'").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag NAME --expr 'upper(name)'").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag AGE --expr age --descending").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag ACT --expr name --for active").code, 0);
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag AGE --table '" + t + "'").out, "1\t40\n3\t31\n2\t20\n");
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag ACT").out, "3\tadams\n1\tsmith\n");
    CliRun r = qxdb("index keys '" + x + "'");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("holds 3 tags (ACT, AGE, NAME)"), std::string::npos) << r.out;
    std::ofstream(dir + "/more.jsonl") << "{\"NAME\":\"zed\",\"AGE\":5,\"ACTIVE\":true}\n{\"NAME\":\"amy\",\"AGE\":99}\n";
    ASSERT_EQ(qxdb("add '" + dir + "' people < '" + dir + "/more.jsonl'").code, 0);
    ASSERT_EQ(qxdb("modify '" + dir + "' people 2 AGE=77 ACTIVE=true").code, 0);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag ACT").out, "2\tJones\n3\tadams\n1\tsmith\n4\tzed\n");
    ASSERT_EQ(qxdb("delete '" + dir + "' people 1").code, 0);
    ASSERT_EQ(qxdb("compact '" + dir + "' people").code, 0);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag AGE --table '" + t + "'").out, "4\t99\n1\t77\n2\t31\n3\t5\n");
    ASSERT_EQ(qxdb("index drop '" + x + "' --tag ACT").code, 0);
    EXPECT_EQ(qxdb("index drop '" + x + "' --tag ACT").code, 3);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
    remove_temp_dir(dir);
}

// A dBASE IV table made with its production MDX: the header names it, tags added
// by qxdb index create (text, a descending number, a FOR tag, a date) become the
// table's keys through the library, whose writes keep every tag in step; a
// compaction builds them all again; a tag is removed.
TEST(Cli, ADbaseIvTableWithItsProductionIndex) {
    std::string dir = make_temp_dir("climdx");
    const std::string t = dir + "/people.dbf", x = dir + "/people.mdx";
    ASSERT_EQ(qxdb("create '" + t + "' --dialect dbase4 --production-index NAME:C:20 AGE:N:5:1 BORN:D ACTIVE:L").code, 0);
    ASSERT_TRUE(std::ifstream(x).good());
    EXPECT_NE(qxdb("info '" + t + "'").out.find("Production index:  1"), std::string::npos);
    std::ofstream(dir + "/in.csv") << "NAME,AGE,BORN,ACTIVE\nsmith,40,1980-02-29,true\nJones,-2.5,,false\nadams,0,1899-12-31,true\n";
    ASSERT_EQ(qxdb("append '" + t + "' --ignore-indexes < '" + dir + "/in.csv'").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag UNAME --expr 'upper(name)'").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag AGE --expr age --descending").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag ACT --expr name --for active").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag BORN --expr born").code, 0);
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag AGE --table '" + t + "'").out, "1\t40\n3\t0\n2\t-2.5\n");
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag ACT").out, "3\tadams\n1\tsmith\n");
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag BORN --table '" + t + "'").out, "3\t18991231\n1\t19800229\n2\t\n");
    std::ofstream(dir + "/more.jsonl") << "{\"NAME\":\"zed\",\"AGE\":5,\"ACTIVE\":true}\n{\"NAME\":\"amy\",\"AGE\":99.5,\"BORN\":\"2000-01-01\"}\n";
    ASSERT_EQ(qxdb("add '" + dir + "' people < '" + dir + "/more.jsonl'").code, 0);
    ASSERT_EQ(qxdb("modify '" + dir + "' people 2 AGE=77 ACTIVE=true BORN=1950-06-01").code, 0);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag ACT").out, "2\tJones\n3\tadams\n1\tsmith\n4\tzed\n");
    CliRun r = qxdb("seek '" + dir + "' people AGE 77 --format csv");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("2,false,Jones"), std::string::npos) << r.out;
    EXPECT_EQ(qxdb("count '" + dir + "' people --key BORN --from 1900-01-01 --to 1999-12-31").out, "2\n");
    ASSERT_EQ(qxdb("delete '" + dir + "' people 1").code, 0);
    ASSERT_EQ(qxdb("compact '" + dir + "' people").code, 0);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
    EXPECT_EQ(qxdb("index keys '" + x + "' --tag AGE --table '" + t + "'").out, "4\t99.5\n1\t77\n3\t5\n2\t0\n");
    ASSERT_EQ(qxdb("index drop '" + x + "' --tag ACT").code, 0);
    EXPECT_EQ(qxdb("index drop '" + x + "' --tag ACT").code, 3);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + x + "'").code, 0);
    EXPECT_EQ(qxdb("index tags '" + x + "'").out.find("ACT\t"), std::string::npos);
    remove_temp_dir(dir);
}

// Two programs adding to one table of several tags at once (a dBASE IV table's
// production MDX, a FoxPro table's structural CDX): every record in every tag.
TEST(Cli, TwoProgramsAddingToAMultiTagTableAtOnce) {
    for (const char* kind : {"mdx", "cdx"}) {
        const bool cdx = std::string(kind) == "cdx";
        std::string dir = make_temp_dir("climulti2");
        const std::string t = dir + "/two.dbf", x = dir + "/two." + kind;
        ASSERT_EQ(qxdb("create '" + t + "' --dialect " + (cdx ? "foxpro" : "dbase4") +
                       " --production-index NAME:C:12 N:N:8:2 D:D").code, 0);
        ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag NAME --expr NAME").code, 0);
        ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag N --expr N --descending").code, 0);
        ASSERT_EQ(qxdb("index create '" + t + "' '" + x + "' --tag D --expr D --for 'N > 0'").code, 0);
        for (int p = 0; p < 2; p++) {
            std::ofstream out(dir + "/in" + std::to_string(p) + ".jsonl");
            for (int i = 0; i < 6000; i++)
                out << "{\"NAME\":\"P" << p << "-" << (i * 37) % 15000 << "\",\"N\":" << (i * 7 % 101) - 50
                    << ".25,\"D\":\"19" << 10 + i % 90 << "-0" << 1 + i % 9 << "-1" << i % 10 << "\"}\n";
        }
        CliRun runs[2];
        std::thread one([&] { runs[0] = qxdb("add '" + dir + "' two --wait 60 < '" + dir + "/in0.jsonl'"); });
        std::thread two([&] { runs[1] = qxdb("add '" + dir + "' two --wait 60 < '" + dir + "/in1.jsonl'"); });
        one.join();
        two.join();
        EXPECT_EQ(runs[0].code, 0) << kind << runs[0].out;
        EXPECT_EQ(runs[1].code, 0) << kind << runs[1].out;
        EXPECT_EQ(qxdb("count '" + dir + "' two").out, "12000\n") << kind;
        CliRun r = qxdb("index check '" + t + "' '" + x + "'");
        EXPECT_EQ(r.code, 0) << kind << r.out;
        EXPECT_NE(r.out.find("tag NAME: 12000 entries"), std::string::npos) << kind << r.out;
        EXPECT_EQ(qxdb("count '" + dir + "' two --key NAME --from P1- --to P1-").out, "6000\n") << kind;
        remove_temp_dir(dir);
    }
}

// xbase64's dBASE IV table through the library: each tag (a descending one, a FOR
// one, dates with blanks) browses in the writer's recorded order; after the
// library's adds, modifies and deletes every tag still checks clean.
TEST(Cli, XbaseMdxTagsThroughTheLibrary) {
    const std::string from = std::string(QXDB_TEST_DATA) + "/peers/xbase64/dbase4/";
    const std::string dir = make_temp_dir("clixbmdx");
    for (const char* f : {"PEOPLE.DBF", "PEOPLE.DBT", "PEOPLE.MDX"}) {
        std::ifstream in(from + f, std::ios::binary);
        std::ofstream(dir + "/" + f, std::ios::binary) << in.rdbuf();
    }
    auto browsed = [&](const std::string& key) {
        const std::string out = qxdb("browse '" + dir + "' PEOPLE --key " + key + " --format jsonl").out;
        std::string recnos;
        for (size_t at = out.find("\"recno\":"); at != std::string::npos; at = out.find("\"recno\":", at + 1))
            recnos += out.substr(at + 8, out.find(',', at) - at - 8) + "\n";
        return recnos;
    };
    auto recorded = [&](const std::string& tag) {
        std::ifstream in(from + "PEOPLE." + tag + ".keys.tsv");
        std::string line, recnos;
        while (std::getline(in, line)) recnos += line.substr(0, line.find('\t')) + "\n";
        return recnos;
    };
    for (const char* tag : {"DBALANCE", "ACTNAME", "BORN", "AGE", "CITYBORN"}) EXPECT_EQ(browsed(tag), recorded(tag)) << tag;
    // Seeks through the library land on the first record of each key, as recorded.
    int seeks = 0;
    for (const char* tag : {"NAME", "AGE", "BALANCE", "BORN"}) {
        std::ifstream in(from + "PEOPLE." + tag + ".keys.tsv");
        std::string line, last = "\x01";
        for (int n = 0; std::getline(in, line); n++) {
            const std::string recno = line.substr(0, line.find('\t')), key = line.substr(line.find('\t') + 1);
            if (key == last || key.empty() || key.find('\'') != std::string::npos) continue;
            last = key;
            if (n % 23) continue;
            CliRun r = qxdb("seek '" + dir + "' PEOPLE " + tag + " '" + key + "' --format csv");
            EXPECT_EQ(r.code, 0) << tag << " " << key << r.out;
            EXPECT_EQ(r.out.substr(r.out.find('\n') + 1, recno.size() + 1), recno + ",") << tag << " " << key << r.out;
            seeks++;
        }
    }
    EXPECT_GT(seeks, 30);
    std::ofstream(dir + "/more.jsonl") << "{\"NAME\":\"ZOE\",\"AGE\":33,\"BALANCE\":-12.5,\"ACTIVE\":true}\n"
                                          "{\"NAME\":\"AL\",\"AGE\":3,\"CITY\":\"Zagreb\"}\n";
    ASSERT_EQ(qxdb("add '" + dir + "' PEOPLE < '" + dir + "/more.jsonl'").code, 0);
    ASSERT_EQ(qxdb("modify '" + dir + "' PEOPLE 7 NAME=MIDDLE AGE=50 BALANCE=0 ACTIVE=false BORN=1901-01-01").code, 0);
    ASSERT_EQ(qxdb("delete '" + dir + "' PEOPLE 12 40").code, 0);
    CliRun r = qxdb("index check '" + dir + "/PEOPLE.DBF' '" + dir + "/PEOPLE.MDX'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(qxdb("count '" + dir + "' PEOPLE --key UCITY --from ZAGREB --to ZAGREB").out, "1\n");
    const std::string keys = qxdb("index keys '" + dir + "/PEOPLE.MDX' --tag DBALANCE").out;
    std::string walked;
    for (size_t at = 0; at < keys.size(); at = keys.find('\n', at) + 1) walked += keys.substr(at, keys.find('\t', at) - at) + "\n";
    EXPECT_EQ(browsed("DBALANCE"), walked);
    remove_temp_dir(dir);
    // Real applications' MDX files check clean with their tables, and a tag browses.
    for (const char* real : {"kv-mdx", "sci-clipper/mdx"}) {
        r = qxdb("check '" + std::string(QXDB_TEST_DATA) + "/real/" + real + "'");
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_NE(r.out.find(std::string(real) == "kv-mdx" ? "kv_tarif.MDX tag DEF: 43 entries, 43 records, no fault"
                                                           : "test3.mdx tag LNAME: 5 entries, 5 records, no fault"),
                  std::string::npos)
            << r.out;
    }
    r = qxdb("browse '" + std::string(QXDB_TEST_DATA) + "/real/kv-mdx' temp --key INDEX --format csv");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 6) << r.out;
}

// The host-path table commands: a table created from a host description, then
// described and declared as the host sees it; their errors in the library's words.
TEST(Cli, CreateDescribeAndOpenThroughTheLibrary) {
    std::string dir = make_temp_dir("clitables");
    CliRun r = qxdb("create-table '" + dir + "' PEOPLE --format 2 NAME:text:30 AGE:int16:3 SALARY:currency:7.2 "
                    "BORN:date NOTES:'text memo' --key NAME:NAME:PNAME.NDX --key CB:'UPPER(NAME)+DTOS(BORN)':PCB.NDX");
    ASSERT_EQ(r.code, 0) << r.out;
    r = qxdb("describe '" + dir + "' people --format jsonl");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("{\"item\":\"AGE\",\"kind\":\"field\",\"host_type\":3,\"type_name\":\"int16\",\"size\":2"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"expression\":\"UPPER(NAME)+DTOS(BORN)\",\"components\":\"NAME+BORN\""), std::string::npos)
        << r.out;
    EXPECT_TRUE(says(r.out, "\"memo\":\"" + dir + "/PEOPLE.dbt\"")) << r.out;
    r = qxdb("open '" + dir + "' PEOPLE --index PNAME.NDX --key NAME --format csv");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("NAME,field,2,text,30,,,C,1,0x2800"), std::string::npos) << r.out;
    r = qxdb("open '" + dir + "' PEOPLE --index PNAME.NDX");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("impose de préciser ce paramètre"), std::string::npos) << r.out;
    // An index whose key the table cannot give is not attached, and said so.
    ASSERT_EQ(qxdb("create-table '" + dir + "' OTHER --format 2 CODE:text:8").code, 0);
    r = qxdb("open '" + dir + "' OTHER --index PCB.NDX --key CB");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_TRUE(says(r.out, "HDBIndex attached no key of PCB.NDX")) << r.out;
    EXPECT_TRUE(says(r.out, "La rubrique <NAME> n'appartient pas au fichier")) << r.out;
    r = qxdb("describe '" + dir + "' nosuch");
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(says(r.out, "Le fichier '" + dir + "/nosuch.dbf' n'existe pas.")) << r.out;
    r = qxdb("create-table '" + dir + "' BAD --format 2 AVERYLONGNAME:text:5 --strict-names");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("est trop long (<10> caractères maximum)"), std::string::npos) << r.out;
    EXPECT_EQ(qxdb("create-table '" + dir + "' BAD --format 2 X:nosuchtype").code, 2);
    remove_temp_dir(dir);
}

}  // namespace

namespace {

// The record numbers of the JSON lines of an output, in order.
std::vector<long> recnos_of(const std::string& out) {
    std::vector<long> r;
    size_t at = 0;
    while ((at = out.find("{\"recno\":", at)) != std::string::npos) {
        at += 9;
        r.push_back(strtol(out.c_str() + at, nullptr, 10));
    }
    return r;
}

std::vector<long> listed_recnos(const std::string& listing, bool reverse = false) {
    std::vector<long> r;
    std::ifstream in(listing);
    std::string line;
    while (std::getline(in, line)) r.push_back(strtol(line.c_str(), nullptr, 10));
    if (reverse) std::reverse(r.begin(), r.end());
    return r;
}

}  // namespace

TEST(Cli, BrowseSeekAndCountThroughTheLibrary) {
    const std::string d = std::string(QXDB_TEST_DATA) + "/peers/xbase64/dbase3";
    // Key orders as the writer recorded them, both ways.
    for (auto [key, tag] : {std::pair<const char*, const char*>{"NAME", "NAME"}, {"BORN", "BORN"},
                            {"SALARY", "SALARY"}, {"PEOPLE_CIT", "CITYBORN"}, {"PEOPLE_UCI", "UCITY"}}) {
        const std::string listing = d + "/PEOPLE." + tag + ".keys.tsv";
        CliRun r = qxdb("browse '" + d + "' PEOPLE --key " + key + " --format jsonl");
        ASSERT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(recnos_of(r.out), listed_recnos(listing)) << key;
        r = qxdb("browse '" + d + "' PEOPLE --key " + key + " --reverse --format jsonl");
        EXPECT_EQ(recnos_of(r.out), listed_recnos(listing, true)) << key;
    }
    // The other program's NDX files: the order the index itself lists.
    const std::string dbd = std::string(QXDB_TEST_DATA) + "/real/dbd-xbase";
    for (auto [table, key] : {std::pair<const char*, const char*>{"ndx-char", "V1"}, {"ndx-date", "FIELD1"},
                              {"ndx-num", "FIELD1"}}) {
        CliRun keys = qxdb("index keys '" + dbd + "/" + table + ".ndx'");
        std::vector<long> expected;
        size_t at = 0;
        while (at < keys.out.size()) {
            expected.push_back(strtol(keys.out.c_str() + at, nullptr, 10));
            at = keys.out.find('\n', at);
            if (at == std::string::npos) break;
            at++;
        }
        CliRun r = qxdb("browse '" + dbd + "' " + table + " --key " + key + " --format jsonl");
        EXPECT_EQ(recnos_of(r.out), expected) << table;
    }
    // Physical order skips the deleted records; --limit stops early.
    CliRun r = qxdb("browse '" + d + "' PEOPLE --format jsonl --limit 3");
    EXPECT_EQ(recnos_of(r.out), (std::vector<long>{2, 3, 4}));
    // Ranges: text bounds are prefixes.
    r = qxdb("browse '" + d + "' PEOPLE --key NAME --from A --to B --format csv");
    EXPECT_EQ(r.code, 0);
    r = qxdb("count '" + d + "' PEOPLE --key NAME --from A --to B");
    EXPECT_EQ(r.out, "37\n");
    r = qxdb("count '" + d + "' PEOPLE");
    EXPECT_EQ(r.out, "300\n");
    r = qxdb("count '" + d + "' PEOPLE --deleted");
    EXPECT_EQ(r.code, 0);
    EXPECT_GT(atoi(r.out.c_str()), 0);
    // Searches: found, a prefix, not found (exit 1), a date.
    r = qxdb("seek '" + d + "' PEOPLE NAME 'Abbott, Ann-Marie' --format jsonl");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(recnos_of(r.out), (std::vector<long>{164}));
    r = qxdb("seek '" + d + "' PEOPLE NAME Abb --prefix --format jsonl");
    EXPECT_EQ(recnos_of(r.out), (std::vector<long>{164}));
    r = qxdb("seek '" + d + "' PEOPLE NAME Abb");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("not found"), std::string::npos);
    r = qxdb("seek '" + d + "' PEOPLE BORN 2000-02-29 --format jsonl");
    EXPECT_EQ(recnos_of(r.out), (std::vector<long>{2}));
    // Usage errors.
    EXPECT_EQ(qxdb("browse '" + d + "' PEOPLE --from A").code, 2);
    EXPECT_EQ(qxdb("seek '" + d + "' PEOPLE BORN notadate").code, 2);
    EXPECT_EQ(qxdb("browse '" + d + "' PEOPLE --key CITY").code, 1);  // CITY is no key
}

// Text through the library commands is the table's own, in a DOS code page (850,
// which a dBASE III table without a mark is taken to hold) and a Windows one (a
// FoxPro table whose header names 1252): added, shown, searched and rewritten as itself, read back alike
// by dump and by an independent reader; a character the page lacks is refused.
TEST(Cli, TextIsTheTablesOwnThroughTheLibrary) {
    const std::string d = make_temp_dir("clitext");
    struct Case {
        const char* dialect;
        const char* index;  // made on NAME
        const char* python_encoding;
        uint8_t mark;  // the header's code page byte
        std::vector<std::string> names;
        std::string foreign;  // a name the page cannot hold
    } cases[] = {
        {"dbase3", "D3.ndx", "cp850", 0, {"Élodie Novák", "Ñandú Müller", "Øre Åsa ½"}, "Œuvre €"},
        {"foxpro", "FP.cdx", "cp1252", 0x03, {"Œuvre Zoë", "€uro Straße", "Ñandú „x“"}, "Ωmega"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dialect);
        const std::string table = c.mark ? "FP" : "D3";
        const std::string t = d + "/" + table + ".dbf";
        ASSERT_EQ(qxdb("create '" + t + "' --dialect " + c.dialect + " NAME:C:20 NOTES:M").code, 0);
        if (c.mark) {
            std::fstream f(t, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(29);
            f.put((char)c.mark);
        }
        const std::string tag = std::string(c.index).find(".cdx") != std::string::npos ? " --tag NAME" : "";
        ASSERT_EQ(qxdb("index create '" + t + "' '" + d + "/" + c.index + "' --expr NAME" + tag).code, 0);
        {
            std::ofstream in(d + "/in.jsonl", std::ios::binary);
            for (const std::string& n : c.names) in << "{\"NAME\":\"" << n << "\",\"NOTES\":\"note of " << n << "\"}\n";
        }
        CliRun r = qxdb("add '" + d + "' " + table + " < '" + d + "/in.jsonl'");
        ASSERT_EQ(r.code, 0) << r.out;
        std::ofstream(d + "/bad.jsonl", std::ios::binary) << "{\"NAME\":\"" << c.foreign << "\"}\n";
        r = qxdb("add '" + d + "' " + table + " < '" + d + "/bad.jsonl'");
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_TRUE(says(r.out, "cannot hold")) << r.out;
        EXPECT_EQ(qxdb("count '" + d + "' " + table).out, "3\n");
        // Every name shows as typed, through the library and through the engine.
        const std::string browsed = qxdb("browse '" + d + "' " + table + " --key NAME --format jsonl").out;
        const std::string dumped = qxdb("dump '" + t + "' --format jsonl").out;
        for (const std::string& n : c.names) {
            EXPECT_TRUE(says(browsed, "\"NAME\":\"" + n + "\"")) << n << "\n" << browsed;
            EXPECT_TRUE(says(browsed, "\"NOTES\":\"note of " + n + "\"")) << n << "\n" << browsed;
            EXPECT_TRUE(says(dumped, "\"NAME\":\"" + n + "\"")) << n << "\n" << dumped;
        }
        // Searched by the text itself, then rewritten and searched again.
        r = qxdb("seek '" + d + "' " + table + " NAME '" + c.names[0] + "' --format jsonl");
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(recnos_of(r.out), (std::vector<long>{1}));
        ASSERT_EQ(qxdb("modify '" + d + "' " + table + " 2 'NAME=" + c.names[2] + " bis'").code, 0);
        r = qxdb("seek '" + d + "' " + table + " NAME '" + c.names[2] + " bis' --format jsonl");
        EXPECT_EQ(recnos_of(r.out), (std::vector<long>{2})) << r.out;
        EXPECT_EQ(qxdb("index check '" + t + "' '" + d + "/" + c.index + "'").code, 0);
#ifndef _WIN32
        if (python_has("dbfread")) {
            const std::string out = run_python("import dbfread\nfor r in dbfread.DBF('" + t + "', encoding='" +
                                               c.python_encoding + "'):\n    print(r['NAME'])\n");
            EXPECT_EQ(out, c.names[0] + "\n" + c.names[2] + " bis\n" + c.names[2] + "\n");
        }
#endif
    }
    // What a host gets instead: the library's own conversion to its 1252 text. É is
    // not among the fifteen letters it converts by default; the system's OEM table
    // (OEMTOANSI=WINDOWS) converts it.
    EXPECT_FALSE(says(qxdb("browse '" + d + "' D3 --format jsonl --host-text").out, "Élodie"));
    EXPECT_TRUE(says(qxdb("browse '" + d + "' D3 --format jsonl --oemtoansi").out, "Élodie"));
    // --codepage reads the bytes in another page.
    EXPECT_FALSE(says(qxdb("browse '" + d + "' D3 --format jsonl --codepage 1252").out, "Élodie"));
    EXPECT_EQ(qxdb("browse '" + d + "' D3 --codepage 99999").code, 2);
    remove_temp_dir(d);
}

TEST(Cli, AddModifyDeleteAndCompactThroughTheLibrary) {
    const std::string d = make_temp_dir("cliwrite");
    ASSERT_EQ(qxdb("create '" + d + "/T.dbf' --dialect dbase3 NAME:C:12 AMOUNT:N:9:2 DAY:D NOTES:M").code, 0);
    ASSERT_EQ(qxdb("index create '" + d + "/T.dbf' '" + d + "/NAME.ndx' --expr NAME").code, 0);
    ASSERT_EQ(qxdb("index create '" + d + "/T.dbf' '" + d + "/ND.ndx' --expr 'UPPER(NAME)+DTOS(DAY)'").code, 0);
    {
        std::ofstream in(d + "/in.jsonl");
        for (int i = 0; i < 2000; i++)
            in << "{\"NAME\":\"n" << (i * 7919) % 2000 << "\",\"AMOUNT\":" << i << ".25,\"DAY\":\"2001-02-"
               << 10 + i % 18 << "\",\"NOTES\":" << (i % 3 ? "null" : "\"memo " + std::to_string(i) + "\"") << "}\n";
    }
    CliRun r = qxdb("add '" + d + "' T < '" + d + "/in.jsonl'");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("2000 records added"), std::string::npos);
    auto clean = [&](const char* index, const std::string& entries) {
        CliRun c = qxdb("index check '" + d + "/T.dbf' '" + d + "/" + index + "'");
        EXPECT_EQ(c.code, 0) << c.out;
        EXPECT_NE(c.out.find(entries + " entries"), std::string::npos) << c.out;
        EXPECT_NE(c.out.find("no fault"), std::string::npos) << c.out;
    };
    clean("NAME.ndx", "2000");
    clean("ND.ndx", "2000");
    // A modify moves the record's keys.
    ASSERT_EQ(qxdb("modify '" + d + "' T 5 NAME=zz AMOUNT=1.5").code, 0);
    r = qxdb("seek '" + d + "' T NAME zz --format jsonl");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\"recno\":5,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"AMOUNT\":1.5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"NOTES\":\"\""), std::string::npos) << r.out;  // record 5 has no memo
    r = qxdb("seek '" + d + "' T NAME n1757 --format jsonl");
    EXPECT_NE(r.out.find("\"NOTES\":\"memo 3\""), std::string::npos) << r.out;  // i = 3 is named n1
    clean("NAME.ndx", "2000");
    // A record that is not there, a value that is no number.
    EXPECT_EQ(qxdb("modify '" + d + "' T 2001 NAME=x").code, 3);
    EXPECT_EQ(qxdb("modify '" + d + "' T 1 AMOUNT=abc").code, 2);
    // Deletes through the library, then compact. A number past the table refuses
    // the whole command before anything is deleted.
    r = qxdb("delete '" + d + "' T 1 2001");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("nothing was deleted"), std::string::npos) << r.out;
    EXPECT_EQ(qxdb("count '" + d + "' T --deleted").out, "0\n");
    ASSERT_EQ(qxdb("delete '" + d + "' T 1 2 3").code, 0);
    EXPECT_EQ(qxdb("count '" + d + "' T --deleted").out, "3\n");
    r = qxdb("compact '" + d + "' T");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(qxdb("count '" + d + "' T").out, "1997\n");
    clean("NAME.ndx", "1997");
    clean("ND.ndx", "1997");
    r = qxdb("seek '" + d + "' T NAME zz --format jsonl");
    EXPECT_NE(r.out.find("\"recno\":2,"), std::string::npos) << r.out;  // record 5 is now 2
    remove_temp_dir(d);
}

// The file tools that write through the engine alone refuse to leave a table's
// indexes stale, name them, and write only when told to.
TEST(Cli, EngineWritesRefuseToLeaveIndexesStale) {
    const std::string d = make_temp_dir("staleguard");
    const std::string t = d + "/T.dbf";
    ASSERT_EQ(qxdb("create '" + t + "' --dialect dbase3 NAME:C:10").code, 0);
    ASSERT_EQ(qxdb("create '" + d + "/OTHER.dbf' --dialect dbase3 CODE:N:5").code, 0);
    // An index of another table in the directory is no index of this one.
    ASSERT_EQ(qxdb("index create '" + d + "/OTHER.dbf' '" + d + "/CODE.ndx' --expr CODE").code, 0);
    const std::string in = d + "/in.jsonl";
    std::ofstream(in) << "{\"NAME\":\"a\"}\n";
    EXPECT_EQ(qxdb("append '" + t + "' < '" + in + "'").code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + d + "/BYNAME.ndx' --expr NAME").code, 0);
    for (const std::string& command :
         {"append '" + t + "' < '" + in + "'", "delete --raw '" + t + "' 1", "recall '" + t + "' 1",
          "pack '" + t + "'"}) {
        CliRun r = qxdb(command);
        EXPECT_EQ(r.code, 1) << command;
        EXPECT_NE(r.out.find("BYNAME.ndx"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("CODE.ndx"), std::string::npos) << r.out;
    }
    EXPECT_EQ(qxdb("count '" + d + "' T").out, "1\n");  // nothing was written
    EXPECT_EQ(qxdb("append --ignore-indexes '" + t + "' < '" + in + "'").code, 0);
    EXPECT_EQ(qxdb("index check '" + t + "' '" + d + "/BYNAME.ndx'").code, 5);  // stale, as warned
    remove_temp_dir(d);
}

TEST(Cli, DamagedIndexFilesNameTheirHeadersFault) {
    const std::string d = make_temp_dir("formats");
    // A file of zeros is damaged in every format, and its header's fault is named.
    const std::pair<const char*, const char*> files[] = {
        {"x.MDX", "the MDX version is 0, not 2"}, {"x.idx", "key length 0 is outside"}, {"x.cdx", "key length 0 is outside"}};
    for (const auto& [name, says] : files) {
        std::ofstream(d + "/" + name) << std::string(1024, '\0');
        CliRun r = qxdb(std::string("index keys '") + d + "/" + name + "'");
        EXPECT_EQ(r.code, 5) << name;
        EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
    }
    EXPECT_EQ(qxdb("index keys '" + d + "/x.txt'").code, 2);
    remove_temp_dir(d);
}

// A write that another program's lock refuses fails at once, or waits with --wait.
TEST(Cli, WritesWaitForAnotherProgramsLockWhenAsked) {
    const std::string d = make_temp_dir("clilockwait");
    ASSERT_EQ(qxdb("create '" + d + "/T.dbf' --dialect dbase3 NAME:C:10").code, 0);
    std::ofstream(d + "/in.jsonl") << "{\"NAME\":\"a\"}\n{\"NAME\":\"b\"}\n";
    ASSERT_EQ(qxdb("append '" + d + "/T.dbf' < '" + d + "/in.jsonl'").code, 0);
    auto hold = [&](int seconds) {
        RunningProgram p({QXDB_CLI, "lock", d, "T", "--record", "1", "--hold", std::to_string(seconds)});
        EXPECT_EQ(p.read_line(), "locked");
        return p;
    };
    RunningProgram holder = hold(2);
    CliRun r = qxdb("delete '" + d + "' T 1");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.out.find("the record is locked by another program"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bloqué par une autre application"), std::string::npos) << r.out;  // message 3038
    r = qxdb("modify '" + d + "' T 1 NAME=changed");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.out.find("bloqué par une autre application"), std::string::npos) << r.out;
    EXPECT_EQ(qxdb("modify '" + d + "' T 1 NAME=changed --wait 20").code, 0);  // goes on once the lock is gone
    holder.wait();
    holder = hold(2);
    EXPECT_EQ(qxdb("delete '" + d + "' T 1 --wait 20").code, 0);
    holder.wait();
    EXPECT_NE(qxdb("dump '" + d + "/T.dbf' --format csv").out.find("changed"), std::string::npos);
    EXPECT_EQ(qxdb("count '" + d + "' T --deleted").out, "1\n");
    // The file tools wait as well: a record lock for delete --raw and recall, the
    // file held open for pack.
    holder = hold(2);
    EXPECT_EQ(qxdb("recall '" + d + "/T.dbf' 1").code, 4);
    EXPECT_EQ(qxdb("recall '" + d + "/T.dbf' 1 --wait 20").code, 0);
    holder.wait();
    holder = hold(2);
    r = qxdb("pack '" + d + "/T.dbf'");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.out.find("in use by another program"), std::string::npos) << r.out;
    EXPECT_EQ(qxdb("delete --raw '" + d + "/T.dbf' 2").code, 0);  // another record: free
    r = qxdb("pack '" + d + "/T.dbf' --wait 20");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;  // the attempts before are not told
    holder.wait();
    EXPECT_EQ(qxdb("count '" + d + "' T").out, "1\n");
    remove_temp_dir(d);
}

// --where on dump, browse and count against a model of random records: text
// compared by its beginning (EXACT off), containment, numbers, dates through
// DTOS, emptiness, deletion marks, accented text in the table's code page.
TEST(Cli, WhereChoosesTheRecordsAModelChooses) {
    const std::string d = make_temp_dir("cliwhere");
    const std::string t = d + "/W.dbf";
    ASSERT_EQ(qxdb("create '" + t + "' --dialect dbase3 NAME:C:12 CITY:C:10 AMOUNT:N:8:2 BORN:D").code, 0);
    struct Row {
        std::string name, city, born;
        long cents;
        bool deleted;
    };
    std::vector<Row> rows;
    std::mt19937 rng(33);
    const char* names[] = {"Anna", "Jan", "Bob", "Dana", "Eve", "Hans", "Ola"};
    const char* cities[] = {"Lyon", "Lyonnais", "Köln", "Paris", "Oslo"};
    {
        std::ofstream in(d + "/in.jsonl", std::ios::binary);
        for (int i = 0; i < 300; i++) {
            Row r{names[rng() % 7], cities[rng() % 5], "", (long)(rng() % 100000), rng() % 7 == 0};
            if (rng() % 3) r.born = std::to_string(1950 + rng() % 70) + "0" + std::to_string(1 + rng() % 9) + "1" + std::to_string(rng() % 9);
            in << "{\"NAME\":\"" << r.name << "\",\"CITY\":\"" << r.city << "\",\"AMOUNT\":" << r.cents / 100 << "."
               << (r.cents % 100 < 10 ? "0" : "") << r.cents % 100 << ",\"BORN\":" << (r.born.empty() ? "null" : "\"" + r.born + "\"") << "}\n";
            rows.push_back(r);
        }
    }
    ASSERT_EQ(qxdb("append '" + t + "' < '" + d + "/in.jsonl'").code, 0);
    std::string doomed;
    for (size_t i = 0; i < rows.size(); i++)
        if (rows[i].deleted) doomed += " " + std::to_string(i + 1);
    ASSERT_EQ(qxdb("delete '" + d + "' W" + doomed).code, 0);
    ASSERT_EQ(qxdb("index create '" + t + "' '" + d + "/WN.ndx' --expr NAME").code, 0);
    struct Condition {
        const char* text;
        std::function<bool(const Row&)> holds;
    } conditions[] = {
        {"CITY = \"Lyon\" .AND. AMOUNT > 500", [](const Row& r) { return r.city.rfind("Lyon", 0) == 0 && r.cents > 50000; }},
        {"!DELETED() .AND. EMPTY(BORN)", [](const Row& r) { return !r.deleted && r.born.empty(); }},
        {"\"an\" $ NAME .OR. AMOUNT <= 10", [](const Row& r) { return r.name.find("an") != std::string::npos || r.cents <= 1000; }},
        {".NOT. CITY = \"Köln\" .AND. DTOS(BORN) >= \"1990\"", [](const Row& r) { return r.city != "Köln" && r.born >= "1990"; }},
        {"DELETED() .OR. (NAME = \"Ola\" .AND. CITY = \"Oslo\")",
         [](const Row& r) { return r.deleted || (r.name == "Ola" && r.city == "Oslo"); }},
    };
    for (const Condition& c : conditions) {
        SCOPED_TRACE(c.text);
        std::vector<long> all, live;
        for (size_t i = 0; i < rows.size(); i++)
            if (c.holds(rows[i])) {
                all.push_back((long)i + 1);
                if (!rows[i].deleted) live.push_back((long)i + 1);
            }
        ASSERT_FALSE(all.empty());
        const std::string where = " --where '" + std::string(c.text) + "'";
        EXPECT_EQ(recnos_of(qxdb("dump '" + t + "' --format jsonl" + where).out), all);
        EXPECT_EQ(recnos_of(qxdb("browse '" + d + "' W --format jsonl" + where).out), live);  // live records only
        std::vector<long> by_name = recnos_of(qxdb("browse '" + d + "' W --key NAME --format jsonl" + where).out);
        std::sort(by_name.begin(), by_name.end());
        EXPECT_EQ(by_name, all);
        EXPECT_EQ(qxdb("count '" + d + "' W" + where).out, std::to_string(all.size()) + "\n");
    }
    CliRun r = qxdb("dump '" + t + "' --where 'NOSUCH > 1'");
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(says(r.out, "NOSUCH is no field of the table")) << r.out;
    EXPECT_EQ(qxdb("count '" + d + "' W --where 'AMOUNT >'").code, 2);
    remove_temp_dir(d);
}

// qxdb import: fields read off CSV and JSON lines data (every type, a memo past
// 254 bytes, accented text, empty values), the table as an independent reader sees
// it; refusals before anything is created; append matches columns by field name.
TEST(Cli, ImportReadsTheFieldsOffTheData) {
    const std::string d = make_temp_dir("cliimport");
    const std::string long_note(300, 'x');
    std::ofstream(d + "/in.csv", std::ios::binary)
        << "Name,amount,count,born,active,notes\n"
        << "\"Müller, Jürgen\",12.5,7,1980-02-29,true,short\n"
        << "Ann,-3,12,,false,\n"
        << "\"O\"\"Neil\",100.25,0,2001-12-31,T," << long_note << "\n";
    CliRun r = qxdb("import '" + d + "/in.csv' '" + d + "/C.dbf'");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(says(r.out, "fields NAME:C:14 AMOUNT:N:7:2 COUNT:N:2:0 BORN:D ACTIVE:L NOTES:M")) << r.out;
    std::ofstream(d + "/in.jsonl", std::ios::binary)
        << "{\"first name\":\"Zoë\",\"n\":1,\"ok\":true,\"day\":\"2020-01-02\"}\n"
        << "{\"first name\":null,\"n\":2.75,\"ok\":null,\"extra\":\"late column\"}\n";
    r = qxdb("import '" + d + "/in.jsonl' '" + d + "/J.dbf' --dialect foxpro");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(says(r.out, "fields FIRST_NAME:C:3 N:N:4:2 OK:L DAY:D EXTRA:C:11")) << r.out;
#ifndef _WIN32
    if (python_has("dbfread")) {
        auto read = [&](const std::string& table) {
            return run_python("import dbfread\nt = dbfread.DBF('" + d + "/" + table + "', encoding='cp850')\n"
                              "print(' '.join('%s:%s:%d:%d' % (f.name, f.type, f.length, f.decimal_count) for f in t.fields))\n"
                              "for r in t:\n    print('|'.join(repr(v) if not isinstance(v, str) or len(v) < 40 else 'len%d' % len(v) for v in r.values()))\n");
        };
        EXPECT_EQ(read("C.dbf"),
                  "NAME:C:14:0 AMOUNT:N:7:2 COUNT:N:2:0 BORN:D:8:0 ACTIVE:L:1:0 NOTES:M:10:0\n"
                  "'Müller, Jürgen'|12.5|7|datetime.date(1980, 2, 29)|True|'short'\n"
                  "'Ann'|-3.0|12|None|False|None\n"
                  "'O\"Neil'|100.25|0|datetime.date(2001, 12, 31)|True|len300\n");
        EXPECT_EQ(read("J.dbf"),
                  "FIRST_NAME:C:3:0 N:N:4:2 OK:L:1:0 DAY:D:8:0 EXTRA:C:11:0\n"
                  "'Zoë'|1.0|True|datetime.date(2020, 1, 2)|''\n"
                  "''|2.75|None|None|'late column'\n");
    }
#endif
    // Refused before anything is made: a table that is there, a line that is not
    // well formed, a character the code page lacks, a --field for no column.
    EXPECT_EQ(qxdb("import '" + d + "/in.csv' '" + d + "/C.dbf'").code, 1);
    std::ofstream(d + "/bad.csv") << "a,b\n1,x\n2\n";
    r = qxdb("import '" + d + "/bad.csv' '" + d + "/B.dbf'");
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(says(r.out, "line 3")) << r.out;
    std::ofstream(d + "/euro.csv", std::ios::binary) << "a,b\n1,x\n2,€\n";
    r = qxdb("import '" + d + "/euro.csv' '" + d + "/B.dbf'");
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(says(r.out, "line 3, column b: a character that code page 850 cannot hold")) << r.out;
    EXPECT_EQ(qxdb("import '" + d + "/euro.csv' '" + d + "/B.dbf' --field Z:C:3").code, 2);
    EXPECT_FALSE(std::ifstream(d + "/B.dbf").good());
    // --field gives a column's field outright; a value it cannot take undoes the import.
    r = qxdb("import '" + d + "/in.csv' '" + d + "/F.dbf' --field count:C:5 --field born:C:10");
    EXPECT_EQ(r.code, 0) << r.out;
    r = qxdb("import '" + d + "/in.csv' '" + d + "/G.dbf' --field amount:N:3:0");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_FALSE(std::ifstream(d + "/G.dbf").good());
    EXPECT_FALSE(std::ifstream(d + "/G.dbt").good());
    // Append matches a column to its field without regard to case or blanks.
    std::ofstream(d + "/more.csv") << "name,AMOUNT,Count\nZed,1,2\n";
    r = qxdb("append '" + d + "/C.dbf' < '" + d + "/more.csv'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(says(qxdb("dump '" + d + "/C.dbf' --format csv").out, "4,false,Zed,1,2,,,")) << r.out;
    remove_temp_dir(d);
}

// One health check of a directory: a healthy table with its index and memos, a
// table cut short, a table whose index holds a wrong key, and a memo a record
// names past its memo file's end; a line per file, exit 5 for the damage.
TEST(Cli, CheckTellsEveryDamagedFileOfADirectory) {
    const std::string d = make_temp_dir("clicheck");
    for (const char* t : {"GOOD", "CUT", "BADKEY", "BADMEMO"}) {
        const std::string table = d + "/" + t + ".dbf";
        ASSERT_EQ(qxdb("create '" + table + "' --dialect dbase3 NAME:C:10 NOTES:M").code, 0);
        std::ofstream in(d + "/in.jsonl");
        for (int i = 0; i < 20; i++) in << "{\"NAME\":\"" << t << i << "\",\"NOTES\":\"note " << i << "\"}\n";
        in.close();
        ASSERT_EQ(qxdb("append '" + table + "' < '" + d + "/in.jsonl'").code, 0);
        ASSERT_EQ(qxdb("index create '" + table + "' '" + d + "/" + t + ".ndx' --expr NAME").code, 0);
    }
    CliRun r = qxdb("check '" + d + "'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(says(r.out, d + "/GOOD.dbf: 20 records (0 deleted), no fault")) << r.out;
    EXPECT_TRUE(says(r.out, "GOOD.dbt: 20 memos, no fault")) << r.out;
    EXPECT_TRUE(says(r.out, "GOOD.ndx: 20 entries, 20 records, no fault")) << r.out;
    // The damage: five records cut off one table; a key of another's index made
    // another; a memo pointer past the memo file's end.
    auto patch = [&](const std::string& file, long at, const std::string& bytes) {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(at);
        f.write(bytes.data(), (std::streamsize)bytes.size());
    };
    const long header = 32 * 3 + 1, record = 1 + 10 + 10;
    std::filesystem::resize_file(d + "/CUT.dbf", (uintmax_t)(header + record * 15));
    patch(d + "/BADKEY.ndx", 512 + 4 + 8, "zz");
    patch(d + "/BADMEMO.dbf", header + record * 3 + 11, "     99999");
    r = qxdb("check '" + d + "'");
    EXPECT_EQ(r.code, 5) << r.out;
    for (const char* fine : {"/GOOD.dbf: 20 records (0 deleted), no fault", "GOOD.ndx: 20 entries, 20 records, no fault",
                             "/BADKEY.dbf: 20 records (0 deleted), no fault", "/BADMEMO.dbf: 20 records (0 deleted), no fault",
                             "BADMEMO.ndx: 20 entries, 20 records, no fault"})
        EXPECT_TRUE(says(r.out, fine)) << fine << "\n" << r.out;
    for (const char* faulty : {"/CUT.dbf: 20 records (0 deleted), FAULTY", "BADKEY.ndx: FAULTY",
                               "BADMEMO.dbt: 20 memos, FAULTY", "record 4 field NOTES (block 99999)"})
        EXPECT_TRUE(says(r.out, faulty)) << faulty << "\n" << r.out;
    // One table alone; nothing there.
    r = qxdb("check '" + d + "/GOOD.dbf'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_FALSE(says(r.out, "CUT")) << r.out;
    EXPECT_EQ(qxdb("check '" + d + "/nowhere'").code, 3);
    remove_temp_dir(d);
}

// What a user meets first when something is wrong: one table of commands, their
// exit status and a piece of what they say.
TEST(Cli, ExitCodesAndMessagesAUserCanActOn) {
    const std::string d = make_temp_dir("cliexits");
    ASSERT_EQ(qxdb("create '" + d + "/T.dbf' --dialect dbase3 NAME:C:10").code, 0);
    ASSERT_EQ(qxdb("index create '" + d + "/T.dbf' '" + d + "/N.ndx' --expr NAME").code, 0);
    std::ofstream(d + "/x.mdx") << std::string(1024, '\0');
    std::ofstream(d + "/x.ntx") << std::string(1024, '\0');
    std::ofstream(d + "/v2.dbf") << std::string(1, '\2') + std::string(100, '\0');
    struct Case {
        std::string args;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {"dump '" + d + "/missing.dbf'", 3, "no such file"},
        {"dump '" + d + "'", 1, "is a directory"},
        {"tables '" + d + "/nowhere'", 1, "not a directory"},
        {"index keys '" + d + "/x.mdx'", 5, "the MDX version is 0, not 2"},
        {"index keys '" + d + "/x.ntx'", 5, "key length 0 is outside 1..100"},
        {"info '" + std::string(QXDB_TEST_DATA) + "/real/php-xbase/foxpro/Foxpro2.dbf'", 5,
         "field GENERAL: type G belongs to Visual FoxPro tables only"},
        {"info '" + std::string(QXDB_TEST_DATA) + "/real/dbase-rs/stations_with_deleted.dbf'", 5,
         "the fields add up to 1017 bytes a record, the header says 1016"},
        {"info '" + d + "/v2.dbf'", 1, "version byte 0x02 is of no dialect"},
        {"pack '" + d + "/T.dbf'", 1, "would leave these index files"},
        {"index seek '" + d + "/N.ndx' ZZZ --table '" + d + "/T.dbf'", 3, "empty index"},
        {"help", 0, "exit codes: 0 done, 1 failed, 2 usage, 3 not found"},
        // Usage errors name the argument, what it takes and an example.
        {"create '" + d + "/U.dbf' --dialect dbase9 A:C:1", 2, "--dialect dbase9: the dialects are 1 dbase3"},
        {"create '" + d + "/U.dbf' A:C:1", 2, "create: needs --dialect"},
        {"create '" + d + "/U.dbf' --dialect dbase3 VERYLONGFIELDNAME:C:3", 2, "at most 10 characters (VERYLONGFIELDNAME has 17) (example: VERYLONGFI:C:3)"},
        {"browse '" + d + "' T --format xml", 2, "--format xml: the formats are table, csv and jsonl (example: --format csv)"},
        {"browse '" + d + "' T --limit abc", 2, "--limit abc: a number of records is needed"},
        // Either way of naming a table, in every command.
        {"count '" + d + "/T.dbf'", 0, "0\n"},
        {"dump '" + d + "' T --format csv", 0, "recno,deleted,NAME"},
        {"create '" + d + "/U.dbf' --dialect foxpro A:C:1", 0, ""},
        {"browse '" + d + "' T --from A", 2, "--from and --to need --key"},
        {"seek '" + d + "' T NAME", 2, "usage"},
        // The library's failures: what and why in English, its own message under it,
        // the whole dump only with --verbose.
        {"count '" + d + "' NOSUCH", 3, "cannot open NOSUCH: the file does not exist\n    Le fichier"},
        {"count '" + d + "' NOSUCH --verbose", 3, "Code erreur QX55 : 1032"},
        {"count '" + d + "/nowhere' T", 3, "the connection's directory does not exist"},
        {"modify '" + d + "' T 99 NAME=x", 3, "no record 99: the table holds 0"},
        // Key expressions with typos, which xBase would take as texts.
        {"index create '" + d + "/T.dbf' '" + d + "/K.ndx' --expr NAMES", 2, "NAMES is no field of the table"},
        {"index create '" + d + "/T.dbf' '" + d + "/K.ndx' --expr 'UPPER(NAME'", 2, "its parentheses do not pair"},
        {"index create '" + d + "/T.dbf' '" + d + "/K.ndx' --expr 'LOWER(NAME)'", 0, "built from 0 records"},
        {"index create '" + d + "/T.dbf' '" + d + "/L.ndx' --expr NAMES --literal", 0, "built from 0 records"},
        {"help dump", 0, "usage: qxdb dump"},
        {"frobnicate", 2, "unknown command"},
    };
    for (const Case& c : cases) {
        CliRun r = qxdb(c.args);
        EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
    }
    remove_temp_dir(d);
}
