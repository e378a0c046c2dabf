// qxdb check DIR|TABLE.dbf: a health check of a directory's tables (or of one),
// each with its memo file and every index file that belongs to it, in one pass
// and one line per file; exit 5 when any file is damaged.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "host/cli.h"
#include "host/error_words.h"
#include "host/index_guard.h"
#include "host/progress.h"
#include "host/table_memo.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: qxdb check DIR|TABLE.dbf\n"
    "Checks every table of DIR (or the one table): each record readable with its fields,\n"
    "each memo the records name readable from the memo file, and every index file that\n"
    "belongs to the table (every tag of a compound file) against the table, as qxdb index\n"
    "check does. One line per file (per tag); the faults, at most ten a file, on standard\n"
    "error. Exit 5 when any file is damaged, else the first other failure's status.\n"
    "example: qxdb check examples/data\n";

std::string lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// The worse of two exit statuses: a damaged file above every other failure.
int worse(int a, int b) {
    if (a == kExitDamaged || b == kExitDamaged) return kExitDamaged;
    return a != kExitOk ? a : b;
}

struct Faults {
    std::string file;
    uint32_t count = 0;
    void add(const std::string& what) {
        if (count++ < 10) fprintf(stderr, "qxdb: %s: %s\n", file.c_str(), what.c_str());
    }
    void close() const {
        if (count > 10) fprintf(stderr, "qxdb: %s: ... %u faults in all\n", file.c_str(), count);
    }
};

std::string words_of(XDSTATUS s) {
    const char* w = cli_status_words(s);
    return w ? w : cli_status_engine_text(s);
}

// One table with its memo file and its index files.
int check_table(const std::string& path, std::set<std::string>* claimed) {
    const std::string& name = path;  // as the index lines name their files
    OpenedTable t;
    XDSTATUS s = cli_open_table(path, -1, &t);
    if (s < 0) {
        const int code = cli_fail("cannot open " + path, s);
        printf("%s: %s\n", name.c_str(), code == kExitDamaged ? "FAULTY" : "not checked");
        return code;
    }
    DbfHeaderInfo hi{};
    uint16_t field_count = 0, largest = 0;
    dbf_header_info(t.handle, &hi);
    dbf_field_count(t.handle, &field_count);
    std::vector<DbfFieldInfo> fields(field_count);
    dbf_describe_fields(t.handle, &largest, fields.data());
    Faults table{name}, memos{name};
    if (t.open_status == XD_BADFILESIZE) table.add(words_of(t.open_status));
    bool has_memo = false;
    for (const DbfFieldInfo& f : fields) has_memo |= f.type == 'M';
    TableMemo memo;
    XDSTATUS memo_status = XD_NOFILE;
    if (has_memo) {
        memo_status = memo.Open(path, hi.dialect, hi.version, false);
        memos.file = memo.Path();
    }
    std::vector<DbfValue> values(field_count);
    uint32_t deleted = 0, memo_count = 0, unread_memos = 0;
    Progress progress("checking " + path, hi.record_count);
    for (uint32_t recno = 1; recno <= hi.record_count; recno++) {
        xdb_set_status(XD_OK);
        s = dbf_read_ahead(t.handle, recno);
        if (s < 0) {
            table.add("record " + std::to_string(recno) + " cannot be read: " + words_of(s));
            continue;
        }
        deleted += s == XD_DELETEDREC;
        xdb_set_status(XD_OK);
        s = dbf_get_record(t.handle, values.data(), field_count);
        if (s < 0) table.add("record " + std::to_string(recno) + ": " + words_of(s));
        for (uint16_t i = 0; i < field_count; i++) {
            const DbfValue& v = values[i];
            if (fields[i].type != 'M' || (v.state & (DBF_VALUE_EMPTY | DBF_VALUE_NULL)) || !v.block) continue;
            memo_count++;
            if (!memo.IsOpen()) {
                unread_memos++;
                continue;
            }
            std::string text;
            xdb_set_status(XD_OK);
            if ((s = memo.Read(v.block, &text)) < 0)
                memos.add("record " + std::to_string(recno) + " field " + fields[i].name + " (block " +
                          std::to_string(v.block) + "): " + words_of(s));
        }
        progress.Step(recno);
    }
    progress.Finish();
    xdb_set_status(XD_OK);
    table.close();
    memos.close();
    printf("%s: %u record%s (%u deleted), %s\n", name.c_str(), hi.record_count, hi.record_count == 1 ? "" : "s", deleted,
           table.count ? "FAULTY" : "no fault");
    int code = table.count ? kExitDamaged : kExitOk;
    if (has_memo) {
        if (!memo.IsOpen()) {
            // Memos named by records and no memo file to read them from: damage.
            const std::string why = memo_status == XD_NOFILE ? "missing" : words_of(memo_status);
            printf("%s: %s, %u memos named by the records%s\n", memos.file.c_str(), why.c_str(), memo_count,
                   unread_memos ? ", FAULTY" : "");
            if (unread_memos) code = kExitDamaged;
        } else {
            printf("%s: %u memos, %s\n", memos.file.c_str(), memo_count, memos.count ? "FAULTY" : "no fault");
            if (memos.count) code = kExitDamaged;
        }
    }
    const std::vector<std::string> indexes = index_files_of_table(path, t.handle);
    dbf_close(t.handle);
    xdb_set_status(XD_OK);
    for (const std::string& index : indexes) {
        claimed->insert(index);
        code = worse(code, cli_index_check(path, index));
    }
    return code;
}

}  // namespace

int cmd_check(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {}, {}, kUsage, &args); done >= 0) return done;
    if (args.positional.size() != 1) return cli_usage(kUsage);
    const std::string& target = args.positional[0];
    std::error_code ec;
    std::vector<std::string> tables;
    if (fs::is_directory(target, ec)) {
        for (fs::directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec) && lower(it->path().extension().string()) == ".dbf")
                tables.push_back(it->path().string());
        std::sort(tables.begin(), tables.end(), [](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
        if (tables.empty()) {
            fprintf(stderr, "qxdb: %s holds no table (.dbf)\n", target.c_str());
            return kExitNotFound;
        }
    } else if (fs::exists(target, ec)) {
        tables.push_back(target);
    } else {
        fprintf(stderr, "qxdb: %s: no such file or directory\n", target.c_str());
        return kExitNotFound;
    }
    if (!cli_start_engine()) return kExitFailed;
    int code = kExitOk;
    std::set<std::string> claimed;
    for (const std::string& t : tables) code = worse(code, check_table(t, &claimed));
    // Index files no table claimed. A table's index whose sampled entries are
    // damaged is judged no table's: one named after a table is checked against it.
    const fs::path dir = fs::path(tables.front()).parent_path();
    std::vector<std::string> left;
    for (fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && is_index_file_name(it->path().filename().string()) &&
            !claimed.count(it->path().string()))
            left.push_back(it->path().string());
    std::sort(left.begin(), left.end());
    for (const std::string& index : left) {
        const std::string stem = lower(fs::path(index).stem().string());
        auto named = std::find_if(tables.begin(), tables.end(),
                                  [&](const std::string& t) { return lower(fs::path(t).stem().string()) == stem; });
        if (named != tables.end()) {
            fprintf(stderr, "qxdb: %s: its sampled entries are no records of %s, whose name it bears; checked against it\n",
                    index.c_str(), named->c_str());
            code = worse(code, cli_index_check(*named, index));
        } else if (tables.size() > 1) {
            printf("%s: holds the keys of no table here; not checked\n", index.c_str());
        }
    }
    return code;
}
