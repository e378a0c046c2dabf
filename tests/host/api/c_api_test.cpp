// The C interface (include/qxdb.h) as programs use it: what it reads agrees with
// what the command line shows through the same library, its writes keep every
// index and the memo in step (checked by qxdb check and by python3-dbfread), two
// processes write at once under its locks, wrong arguments get the status and the
// message they should, and the installed files build the C example.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "host/json_line.h"
#include "include/qxdb.h"
#include "tests/support/dbf_builder.h"
#include "tests/support/other_programs.h"
#include "tests/support/programs.h"

namespace {

std::string api_copy_fixture(const std::string& dir, const std::string& from) {
    for (const auto& e : std::filesystem::directory_iterator(std::string(QXDB_TEST_DATA) + "/" + from))
        std::filesystem::copy_file(e.path(), dir + "/" + e.path().filename().string());
    return dir;
}

// Every record of a walk as JSON objects (with "recno" and "deleted" first, as
// qxdb browse --format jsonl writes them).
std::vector<std::string> api_walk(qxdb_table* t, qxdb_status first) {
    std::vector<std::string> out;
    qxdb_status s = first;
    for (; s == QXDB_OK; s = qxdb_next(t)) {
        std::string line = qxdb_record_json(t);
        out.push_back("{\"recno\":" + std::to_string(qxdb_recno(t)) +
                      ",\"deleted\":" + (qxdb_deleted(t) ? "true" : "false") + "," + line.substr(1));
    }
    EXPECT_EQ(s, QXDB_END) << qxdb_message();
    return out;
}

std::vector<std::string> api_browse(const std::vector<std::string>& args) {
    std::vector<std::string> argv{QXDB_CLI, "browse"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--format");
    argv.push_back("jsonl");
    ProgramResult r = run_program(argv, "", ProgramErrors::kDropped);
    EXPECT_EQ(r.code, 0) << r.out;
    return lines_of(r.out);
}

class CApi : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir("capi"); }
    void TearDown() override { remove_temp_dir(dir_); }
    std::string dir_;
};

// The C interface keeps the library started for the life of the process, which
// the library's own start and stop tests must not see: the tests that call it
// here run in a process of their own (CApi.CallsInAProcessOfTheirOwn).
class CApiInProcess : public CApi {
protected:
    void SetUp() override {
        if (!getenv("QXDB_CAPI_PROCESS")) GTEST_SKIP() << "run by CApi.CallsInAProcessOfTheirOwn";
        CApi::SetUp();
    }
    void TearDown() override {
        if (getenv("QXDB_CAPI_PROCESS")) CApi::TearDown();
    }
};

TEST_F(CApiInProcess, ReadsWhatTheCommandShowsInRecordAndKeyOrder) {
    api_copy_fixture(dir_, "peers/xbase64/dbase3");
    qxdb_table* t = nullptr;
    ASSERT_EQ(qxdb_open((dir_ + "/PEOPLE").c_str(), QXDB_READ, &t), QXDB_OK) << qxdb_message();
    EXPECT_EQ(api_walk(t, qxdb_first(t, nullptr)), api_browse({dir_, "PEOPLE"}));
    // Read seven at a time, the records and their numbers are the same.
    std::vector<std::string> batched;
    qxdb_status status = qxdb_first(t, "NAME");
    while (status == QXDB_OK) {
        const char* json = nullptr;
        int count = 0, deleted[7];
        int64_t recnos[7];
        status = qxdb_read_json(t, 7, &json, &count, recnos, deleted);
        std::string array = json;
        ASSERT_EQ(array.front(), '[');
        size_t from = 1;
        for (int i = 0; i < count; i++) {
            const size_t end = array.find("}", from);  // the fixture's texts hold no braces
            batched.push_back("{\"recno\":" + std::to_string(recnos[i]) + ",\"deleted\":" +
                              (deleted[i] ? "true" : "false") + "," + array.substr(from + 1, end - from));
            from = end + 2;
        }
    }
    EXPECT_EQ(status, QXDB_END);
    EXPECT_EQ(batched, api_browse({dir_, "PEOPLE", "--key", "NAME"}));
    ASSERT_GE(qxdb_key_count(t), 7);
    for (int k = 0; k < qxdb_key_count(t); k++) {
        qxdb_key_info key;
        ASSERT_EQ(qxdb_key(t, k, &key), QXDB_OK);
        const std::string name = key.name;
        EXPECT_EQ(api_walk(t, qxdb_first(t, name.c_str())), api_browse({dir_, "PEOPLE", "--key", name})) << name;
        std::vector<std::string> reversed;
        for (qxdb_status s = qxdb_last(t, name.c_str()); s == QXDB_OK; s = qxdb_prev(t))
            reversed.push_back(std::string("{\"recno\":") + std::to_string(qxdb_recno(t)) + ",");
        std::vector<std::string> shown = api_browse({dir_, "PEOPLE", "--key", name, "--reverse"});
        for (std::string& line : shown) line = line.substr(0, line.find(',') + 1);
        EXPECT_EQ(reversed, shown) << name;
    }
    // A range, a seek and counts, against the command's answers.
    EXPECT_EQ(api_walk(t, qxdb_range(t, "NAME", "B", "D")), api_browse({dir_, "PEOPLE", "--key", "NAME", "--from", "B", "--to", "D"}));
    int64_t n = 0;
    ASSERT_EQ(qxdb_count(t, "NAME", "B", "D", &n), QXDB_OK);
    EXPECT_EQ((size_t)n, api_browse({dir_, "PEOPLE", "--key", "NAME", "--from", "B", "--to", "D"}).size());
    ASSERT_EQ(qxdb_count(t, nullptr, nullptr, nullptr, &n), QXDB_OK);
    ASSERT_EQ(qxdb_goto(t, 7), QXDB_OK);
    const std::string seventh = qxdb_value(t, qxdb_field_index(t, "NAME"));
    ASSERT_EQ(qxdb_seek(t, "NAME", seventh.c_str(), 0), QXDB_OK) << qxdb_message();
    EXPECT_EQ(qxdb_value(t, qxdb_field_index(t, "NAME")), seventh);
    // The walk goes on from the record sought, in the key's order.
    const std::vector<std::string> from_seek = api_walk(t, QXDB_OK);
    const std::vector<std::string> by_name = api_browse({dir_, "PEOPLE", "--key", "NAME"});
    ASSERT_FALSE(from_seek.empty());
    EXPECT_TRUE(std::equal(from_seek.begin(), from_seek.end(), by_name.end() - (long)from_seek.size()));
    // A filter keeps walks to the records meeting it, as --where does.
    ASSERT_EQ(qxdb_filter(t, "AGE > 40"), QXDB_OK) << qxdb_message();
    EXPECT_EQ(api_walk(t, qxdb_first(t, nullptr)), api_browse({dir_, "PEOPLE", "--where", "AGE > 40"}));
    EXPECT_EQ(api_walk(t, qxdb_first(t, "NAME")), api_browse({dir_, "PEOPLE", "--key", "NAME", "--where", "AGE > 40"}));
    ASSERT_EQ(qxdb_filter(t, nullptr), QXDB_OK);
    EXPECT_EQ(api_walk(t, qxdb_first(t, nullptr)).size(), api_browse({dir_, "PEOPLE"}).size());
    qxdb_close(t);
}

TEST_F(CApiInProcess, RefusesWrongArgumentsWithTheirStatusAndLeavesFilesAlone) {
    qxdb_table* t = nullptr;
    EXPECT_EQ(qxdb_open(nullptr, 0, &t), QXDB_INVALID);
    EXPECT_EQ(qxdb_open((dir_ + "/NOSUCH").c_str(), 0, &t), QXDB_NOT_FOUND);
    EXPECT_NE(std::string(qxdb_message()).find("cannot open NOSUCH"), std::string::npos) << qxdb_message();
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(qxdb_next(nullptr), QXDB_INVALID);
    EXPECT_EQ(qxdb_append(nullptr, nullptr), QXDB_INVALID);
    qxdb_close(nullptr);

    const qxdb_field_def fields[] = {{"NAME", QXDB_TEXT, 10, 0}, {"BORN", QXDB_DATE, 0, 0}, {"N", QXDB_NUMBER, 5, 1}};
    const qxdb_key_def keys[] = {{"NAME", "NAME", "TNAME.NTX"}};
    ASSERT_EQ(qxdb_create(dir_.c_str(), "T", QXDB_CLIPPER, fields, 3, keys, 1), QXDB_OK) << qxdb_message();
    EXPECT_EQ(qxdb_create(dir_.c_str(), "T", QXDB_CLIPPER, fields, 3, keys, 1), QXDB_INVALID);
    EXPECT_NE(std::string(qxdb_message()).find("exists already"), std::string::npos) << qxdb_message();
    EXPECT_EQ(qxdb_create(dir_.c_str(), "U", 9, fields, 3, keys, 1), QXDB_INVALID);
    EXPECT_EQ(qxdb_create(dir_.c_str(), "U", QXDB_CLIPPER, fields, 0, keys, 1), QXDB_INVALID);

    ASSERT_EQ(qxdb_open_in(dir_.c_str(), "T", QXDB_READ, &t), QXDB_OK) << qxdb_message();
    EXPECT_EQ(qxdb_first(t, nullptr), QXDB_END);
    EXPECT_EQ(qxdb_value(t, 0), nullptr);
    EXPECT_EQ(qxdb_set(t, "NAME", "x"), QXDB_OK);
    // Open for reading: the library refuses the write and says why in its own words.
    EXPECT_EQ(qxdb_append(t, nullptr), QXDB_REFUSED);
    EXPECT_NE(qxdb_library_error(), 0);
    EXPECT_STRNE(qxdb_library_message(), "");
    qxdb_close(t);

    ASSERT_EQ(qxdb_open_in(dir_.c_str(), "T", QXDB_WRITE, &t), QXDB_OK);
    EXPECT_EQ(qxdb_set(t, "NOSUCH", "x"), QXDB_INVALID);
    EXPECT_EQ(qxdb_set(t, "BORN", "yesterday"), QXDB_INVALID);
    EXPECT_NE(std::string(qxdb_message()).find("not a date"), std::string::npos) << qxdb_message();
    EXPECT_EQ(qxdb_set(t, "N", "twelve"), QXDB_INVALID);
    // A character the table's code page (850) cannot hold is refused, not replaced.
    EXPECT_EQ(qxdb_set(t, "NAME", "\xe2\x82\xac"), QXDB_INVALID);
    EXPECT_EQ(qxdb_set(t, "NAME", "Zoë"), QXDB_OK);
    EXPECT_EQ(qxdb_set(t, "N", "12.5"), QXDB_OK);
    int64_t recno = 0;
    ASSERT_EQ(qxdb_append(t, &recno), QXDB_OK) << qxdb_message();
    EXPECT_EQ(recno, 1);
    EXPECT_EQ(qxdb_goto(t, 2), QXDB_NOT_FOUND);
    EXPECT_EQ(qxdb_goto(t, 0), QXDB_NOT_FOUND);
    EXPECT_EQ(qxdb_update(t, 5), QXDB_NOT_FOUND);
    EXPECT_EQ(qxdb_seek(t, "NAME", "Zz", 0), QXDB_NOT_FOUND);
    EXPECT_EQ(qxdb_seek(t, "NOSUCH", "Zz", 0), QXDB_INVALID);
    EXPECT_EQ(qxdb_first(t, "NOSUCH"), QXDB_INVALID);
    EXPECT_EQ(qxdb_filter(t, "NOSUCH > 1"), QXDB_INVALID);
    EXPECT_NE(std::string(qxdb_message()).find("NOSUCH is no field"), std::string::npos) << qxdb_message();
    EXPECT_EQ(qxdb_field(t, 3, nullptr), QXDB_INVALID);
    ASSERT_EQ(qxdb_seek(t, "NAME", "Zo", 1), QXDB_OK);
    EXPECT_STREQ(qxdb_value(t, 0), "Zoë");
    EXPECT_STREQ(qxdb_value(t, 2), "12.5");
    EXPECT_EQ(qxdb_value(t, 1), nullptr);  // a blank date
    qxdb_close(t);
    ProgramResult check = run_program({QXDB_CLI, "check", dir_ + "/T.dbf"});
    EXPECT_EQ(check.code, 0) << check.out;
}

// Keys walked, sought, ranged and counted against a model, through adds,
// updates that move keys, deletes and recalls.
TEST_F(CApiInProcess, KeyOperationsFollowAModelThroughWrites) {
    const qxdb_field_def fields[] = {{"NAME", QXDB_TEXT, 8, 0}, {"QTY", QXDB_NUMBER, 6, 0}};
    const qxdb_key_def keys[] = {{"NAME", "NAME", "MNAME.NTX"}, {"QTY", "QTY", "QQTY.NTX"}};
    ASSERT_EQ(qxdb_create(dir_.c_str(), "M", QXDB_CLIPPER, fields, 2, keys, 2), QXDB_OK) << qxdb_message();
    qxdb_table* t = nullptr;
    ASSERT_EQ(qxdb_open_in(dir_.c_str(), "M", QXDB_WRITE, &t), QXDB_OK);
    std::mt19937 random(7);
    std::map<int64_t, std::pair<std::string, int>> live;
    std::set<int64_t> deleted;
    auto name_of = [&](int i) {
        std::string s;
        for (int k = 0; k < 3; k++) s += (char)('A' + (i >> (k * 2)) % 4);
        return s;
    };
    for (int round = 0; round < 400; round++) {
        const int op = (int)(random() % 10);
        const int value = (int)(random() % 64);
        const std::string name = name_of(value);
        const std::string qty = std::to_string(value * 3);
        if (op < 5 || live.empty()) {
            qxdb_set(t, "NAME", name.c_str());
            qxdb_set(t, "QTY", qty.c_str());
            int64_t n = 0;
            ASSERT_EQ(qxdb_append(t, &n), QXDB_OK) << qxdb_message();
            live[n] = {name, value * 3};
            continue;
        }
        auto it = live.begin();
        std::advance(it, (long)(random() % live.size()));
        const int64_t n = it->first;
        if (op < 8) {
            ASSERT_EQ(qxdb_set(t, "NAME", name.c_str()), QXDB_OK);
            ASSERT_EQ(qxdb_update(t, n), QXDB_OK) << qxdb_message();
            it->second.first = name;
        } else if (op == 8) {
            ASSERT_EQ(qxdb_delete(t, n), QXDB_OK) << qxdb_message();
            deleted.insert(n);
            live.erase(it);
        } else if (!deleted.empty()) {
            const int64_t back = *deleted.begin();
            ASSERT_EQ(qxdb_recall(t, back), QXDB_OK) << qxdb_message();
            deleted.erase(deleted.begin());
            ASSERT_EQ(qxdb_goto(t, back), QXDB_OK);
            live[back] = {qxdb_value(t, 0), atoi(qxdb_value(t, 1))};
        }
    }
    // Record order: the live records.
    std::vector<int64_t> seen;
    for (qxdb_status s = qxdb_first(t, nullptr); s == QXDB_OK; s = qxdb_next(t)) {
        seen.push_back(qxdb_recno(t));
        EXPECT_EQ(qxdb_value(t, 0), live[qxdb_recno(t)].first);
    }
    std::vector<int64_t> expected;
    for (const auto& [n, v] : live) expected.push_back(n);
    EXPECT_EQ(seen, expected);
    // Key order: the live records by name (deleted ones are still keys: their keys
    // stay in a Clipper index, shown as deleted). Equal keys come in no set order.
    std::vector<std::pair<std::string, int64_t>> by_name;
    for (qxdb_status s = qxdb_first(t, "NAME"); s == QXDB_OK; s = qxdb_next(t))
        if (!qxdb_deleted(t)) by_name.push_back({qxdb_value(t, 0), qxdb_recno(t)});
    EXPECT_TRUE(std::is_sorted(by_name.begin(), by_name.end(),
                               [](const auto& a, const auto& b) { return a.first < b.first; }));
    std::sort(by_name.begin(), by_name.end());
    std::vector<std::pair<std::string, int64_t>> model;
    for (const auto& [n, v] : live) model.push_back({v.first, n});
    std::sort(model.begin(), model.end());
    EXPECT_EQ(by_name, model);
    for (int value = 0; value < 64; value += 5) {
        const std::string name = name_of(value);
        const bool present = std::any_of(live.begin(), live.end(), [&](const auto& e) { return e.second.first == name; });
        const qxdb_status s = qxdb_seek(t, "NAME", name.c_str(), 0);
        if (present) {
            EXPECT_EQ(s, QXDB_OK) << name;
            EXPECT_EQ(qxdb_value(t, 0), name);
        } else if (s == QXDB_OK) {
            EXPECT_TRUE(qxdb_deleted(t)) << name;  // only a deleted record's key
        }
        // Counted by the quantity key, between two bounds.
        const std::string lo = std::to_string(value), hi = std::to_string(value + 40);
        int64_t counted = 0;
        ASSERT_EQ(qxdb_count(t, "QTY", lo.c_str(), hi.c_str(), &counted), QXDB_OK) << qxdb_message();
        int64_t in_model = 0;
        for (qxdb_status r = qxdb_range(t, "QTY", lo.c_str(), hi.c_str()); r == QXDB_OK; r = qxdb_next(t)) {
            const int q = atoi(qxdb_value(t, 1));
            EXPECT_GE(q, value);
            EXPECT_LE(q, value + 40);
            in_model++;
        }
        EXPECT_EQ(counted, in_model);
    }
    qxdb_close(t);
    ProgramResult check = run_program({QXDB_CLI, "check", dir_ + "/M.dbf"});
    EXPECT_EQ(check.code, 0) << check.out;
}

struct ProgressSeen {
    int calls = 0;
    bool ordered = true;
};

void api_progress(void* context, uint64_t done, uint64_t total) {
    auto* seen = (ProgressSeen*)context;
    seen->calls++;
    if (done > total) seen->ordered = false;
}

TEST_F(CApiInProcess, PackAndReindexKeepEveryFileInStepAndTellTheirProgress) {
    const qxdb_field_def fields[] = {{"NAME", QXDB_TEXT, 8, 0}, {"NOTE", QXDB_MEMO, 0, 0}};
    const qxdb_key_def keys[] = {{"NAME", "NAME", "PNAME.NTX"}};
    ASSERT_EQ(qxdb_create(dir_.c_str(), "P", QXDB_CLIPPER, fields, 2, keys, 1), QXDB_OK) << qxdb_message();
    qxdb_table* t = nullptr;
    ASSERT_EQ(qxdb_open_in(dir_.c_str(), "P", QXDB_WRITE, &t), QXDB_OK);
    for (int i = 1; i <= 3000; i++) {
        const std::string name = "N" + std::to_string(i), note = "note " + std::to_string(i);
        qxdb_set(t, "NAME", name.c_str());
        qxdb_set(t, "NOTE", note.c_str());
        ASSERT_EQ(qxdb_append(t, nullptr), QXDB_OK) << qxdb_message();
    }
    for (int i = 2; i <= 3000; i += 2) ASSERT_EQ(qxdb_delete(t, i), QXDB_OK);
    ProgressSeen seen;
    ASSERT_EQ(qxdb_pack(t, api_progress, &seen), QXDB_OK) << qxdb_message();
    EXPECT_GT(seen.calls, 0);
    EXPECT_TRUE(seen.ordered);
    int64_t n = 0;
    ASSERT_EQ(qxdb_count(t, nullptr, nullptr, nullptr, &n), QXDB_OK);
    EXPECT_EQ(n, 1500);
    ASSERT_EQ(qxdb_goto(t, 750), QXDB_OK);
    EXPECT_STREQ(qxdb_value(t, 0), "N1499");
    EXPECT_STREQ(qxdb_value(t, 1), "note 1499");
    ProgressSeen again;
    ASSERT_EQ(qxdb_reindex(t, nullptr, nullptr), QXDB_OK) << qxdb_message();
    ASSERT_EQ(qxdb_reindex(t, api_progress, &again), QXDB_OK) << qxdb_message();
    EXPECT_GT(again.calls, 0);
    ASSERT_EQ(qxdb_seek(t, "NAME", "N2999", 0), QXDB_OK);
    qxdb_close(t);
    ProgramResult check = run_program({QXDB_CLI, "check", dir_ + "/P.dbf"});
    EXPECT_EQ(check.code, 0) << check.out;
}

// ---- Programs of their own: the calls above, the C scenario, Python, the installed files ----

TEST_F(CApi, CallsInAProcessOfTheirOwn) {
    const std::string out = shell_output("env -u GTEST_TOTAL_SHARDS -u GTEST_SHARD_INDEX QXDB_CAPI_PROCESS=1 '" +
                                         this_program() + "' --gtest_filter='CApiInProcess.*' 2>&1; echo \"exit $?\"");
    EXPECT_NE(out.find("[  PASSED  ] 4 tests."), std::string::npos) << out;
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
}

// What every record of the scenario holds once both workers are done (dbfread's
// view: live records only, text as it reads it).
std::string api_scenario_expected(int records) {
    static const char* const cities[7] = {"Lyon", "Paris", "Zürich", "Köln", "Oslo", "Bern", "Nice"};
    std::string out;
    char line[200];
    for (int r = 1; r <= records; r++) {
        if (r % 10 == 0) continue;
        const bool changed = r % 3 == 0;
        const double amount = changed ? r : r / 2 + (r % 2 ? 0.5 : 0);
        snprintf(line, sizeof line, "R%05d|%s|%.2f|%s %d\n", r, changed ? "Changed" : cities[r % 7], amount,
                 r % 10 == 5 ? "w0" : "memo", r);
        out += line;
    }
    return out;
}

TEST_F(CApi, TwoProcessesUpdateAndDeleteUnderLocksWithIndexesInStep) {
    const int kRecords = 10000;
    ProgramResult r = run_program({QXDB_C_SCENARIO, dir_, "create"});
    ASSERT_EQ(r.code, 0) << r.out;
    r = run_program({QXDB_C_SCENARIO, dir_, "add", std::to_string(kRecords)});
    ASSERT_EQ(r.code, 0) << r.out;
    {
        RunningProgram w0({QXDB_C_SCENARIO, dir_, "work", "0"});
        RunningProgram w1({QXDB_C_SCENARIO, dir_, "work", "1"});
        ASSERT_TRUE(w0.started() && w1.started());
        EXPECT_EQ(w0.wait(), 0) << w0.rest() << w0.failure();
        EXPECT_EQ(w1.wait(), 0) << w1.rest() << w1.failure();
    }
    ProgramResult check = run_program({QXDB_CLI, "check", dir_ + "/SCEN.dbf"});
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_NE(check.out.find("SNAME.NTX: " + std::to_string(kRecords) + " entries"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("SCITY.NTX: " + std::to_string(kRecords) + " entries"), std::string::npos) << check.out;
    for (const char* index : {"SNAME.NTX", "SCITY.NTX"}) {
        check = run_program({QXDB_CLI, "index", "check", dir_ + "/SCEN.dbf", dir_ + "/" + index});
        EXPECT_EQ(check.code, 0) << index << ": " << check.out;
    }
    // The name key's order is every record's, deleted ones marked.
    r = run_program({QXDB_C_SCENARIO, dir_, "walk", "NAME"});
    ASSERT_EQ(r.code, 0) << r.out;
    const std::vector<std::string> walked = lines_of(r.out);
    ASSERT_EQ(walked.size(), (size_t)kRecords);
    for (int i = 1; i <= kRecords; i += 997) {
        char want[40];
        snprintf(want, sizeof want, "%d R%05d%s", i, i, i % 10 == 0 ? " *" : "");
        EXPECT_EQ(walked[(size_t)i - 1], want);
    }
#ifndef _WIN32
    if (!python_has("dbfread")) GTEST_SKIP() << "python3-dbfread is not installed: the other reader's check was left out";
    const std::string script = "import dbfread\n"
                               "for r in dbfread.DBF('" + dir_ + "/SCEN.dbf', encoding='cp850'):\n"
                               "    print('%s|%s|%.2f|%s' % (r['NAME'], r['CITY'], r['AMOUNT'], r['NOTES']))\n";
    EXPECT_EQ(run_python(script), api_scenario_expected(kRecords));
#endif
}

// The sanitizers' run-time libraries, for a program (python3, a C program built
// here) that loads the sanitized C library: they must come first.
std::string api_sanitizer_preload() {
#ifdef QXDB_SANITIZED
    std::string out;
    for (const char* lib : {"libasan.so", "libubsan.so"}) {
        const std::string found = shell_output("gcc -print-file-name=" + std::string(lib));
        const std::string path = found.substr(0, found.find('\n'));
        if (!out.empty()) out += ":";
        out += path;
    }
    return out;
#else
    return "";
#endif
}

// Runs a command line through the shell with the sanitizers' libraries preloaded
// where the build has them (leaks of the interpreter are not ours).
std::string api_shell(const std::string& command) {
    const std::string preload = api_sanitizer_preload();
    return shell_output((preload.empty() ? "" : "export ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD=" + preload + "; ") +
                        command + " 2>&1; echo \"exit $?\"");
}

TEST_F(CApi, PythonPackageRunsItsScenario) {
    if (!python_has("dbfread")) GTEST_SKIP() << "python3 with python3-dbfread is not installed";
    const std::string out = api_shell("cd '" + dir_ + "' && QXDB_CLI='" + QXDB_CLI + "' QXDB_C_LIBRARY='" + QXDB_C_LIBRARY_FILE +
                                      "' PYTHONPATH='" + QXDB_SOURCE_DIR + "/python' /usr/bin/python3 '" +
                                      QXDB_SOURCE_DIR + "/python/tests/test_qxdb.py' -v");
    EXPECT_NE(out.find("\nOK"), std::string::npos) << out;
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
}

TEST_F(CApi, PipInstallsThePackage) {
    if (shell_output("/usr/bin/python3 -m pip --version >/dev/null 2>&1 && echo yes") != "yes\n")
        GTEST_SKIP() << "pip is not installed (python3-pip)";
    // Installed from a copy: a build leaves its own files beside the package.
    std::filesystem::copy(std::string(QXDB_SOURCE_DIR) + "/python", dir_ + "/package",
                          std::filesystem::copy_options::recursive);
    // The package builds itself: nothing is fetched, nothing else is needed.
    const std::string out = shell_output("/usr/bin/python3 -m pip install --no-deps --no-index "
                                         "--disable-pip-version-check --quiet --target '" + dir_ + "/site' '" + dir_ +
                                         "/package' 2>&1; echo \"exit $?\"");
    ASSERT_NE(out.find("exit 0"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/site/qxdb/__init__.py")) << out;
    const std::string use = api_shell("cd '" + dir_ + "' && QXDB_C_LIBRARY='" + QXDB_C_LIBRARY_FILE + "' PYTHONPATH='" +
                                      dir_ + "/site' /usr/bin/python3 -c 'import qxdb; print(qxdb.__file__)'");
    EXPECT_NE(use.find(dir_ + "/site/qxdb/__init__.py"), std::string::npos) << use;
}

TEST_F(CApi, InstalledFilesBuildAndRunTheCExample) {
    const std::string prefix = dir_ + "/prefix";
    std::string out = shell_output("cmake --install '" + std::string(QXDB_BINARY_DIR) + "' --prefix '" + prefix +
                                   "' >/dev/null 2>&1; echo \"exit $?\"");
    ASSERT_EQ(out, "exit 0\n") << out;
    out = shell_output("find '" + prefix + "' -name pkgconfig");
    const std::string pc_dir = out.substr(0, out.find('\n'));
    ASSERT_FALSE(pc_dir.empty());
    const std::string pkg = "PKG_CONFIG_PATH='" + pc_dir + "' pkg-config";
    const std::string libdir = shell_output(pkg + " --variable=libdir qxdb");
    ASSERT_FALSE(libdir.empty());
    const std::string lib = libdir.substr(0, libdir.find('\n'));
    EXPECT_TRUE(std::filesystem::exists(lib + "/libqxdbc.so.1")) << lib;
    EXPECT_TRUE(std::filesystem::exists(lib + "/libqxdb.so.1")) << lib;
    // Built against the installed header and library only: the example is copied
    // away from the source tree.
    std::filesystem::copy_file(std::string(QXDB_SOURCE_DIR) + "/examples/c/example.c", dir_ + "/example.c");
#ifdef QXDB_SANITIZED
    const std::string flags = " -fsanitize=address,undefined";
#else
    const std::string flags;
#endif
    out = shell_output("cd '" + dir_ + "' && cc -std=c99 -Wall -Wextra -pedantic -Werror" + flags +
                       " example.c $(" + pkg + " --cflags --libs qxdb) -o example 2>&1; echo \"exit $?\"");
    ASSERT_NE(out.find("exit 0"), std::string::npos) << out;
    std::filesystem::create_directory(dir_ + "/data");
    out = shell_output("cd '" + dir_ + "' && ASAN_OPTIONS=detect_leaks=0 LD_LIBRARY_PATH='" + lib + "' ./example '" + dir_ +
                       "/data' 2>&1; echo \"exit $?\"");
    EXPECT_NE(out.find("3 Lyon Maria"), std::string::npos) << out;
    EXPECT_NE(out.find("found: {\"NAME\":\"Maria\""), std::string::npos) << out;
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
    // The installed command finds the installed library from its own directory.
    out = shell_output("'" + prefix + "/bin/qxdb' check '" + dir_ + "/data/EXAMPLE.dbf' 2>&1; echo \"exit $?\"");
    EXPECT_NE(out.find("EXCITY.NTX: 3 entries"), std::string::npos) << out;
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
}

}  // namespace
