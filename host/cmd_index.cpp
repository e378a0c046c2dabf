// qxdb index create TABLE.dbf FILE --expr EXPR [--tag NAME] [--for EXPR] [--unique] [--descending]
// qxdb index keys FILE [--tag NAME] [--table TABLE.dbf] [--reverse]
// qxdb index seek FILE VALUE [--tag NAME] [--table TABLE.dbf]
// qxdb index check TABLE.dbf FILE [--tag NAME]
// qxdb index tags FILE
// qxdb index drop FILE --tag NAME
// qxdb reindex TABLE.dbf FILE [--tag NAME]
//
// A multi-tag file (CDX) holds several keys, its tags: --tag names one (a file of
// one tag needs none); the commands are the same for every format.
//
// Every index format goes through the uniform index operations. Index files do not
// always tell what their keys stand for (NDX numbers or dates, NTX text of numbers
// or dates); with --table the key expression is evaluated on the table to find
// out, and keys print as the value (dates as yyyymmdd).

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/index.h"
#include "engine/index/table_check.h"
#include "framework/codepage.h"
#include "host/cli.h"
#include "host/progress.h"
#include "host/record_writer.h"

namespace {

// 0 for an index file of a format the engine has; else says which format it is and
// that it is not read yet (exit 1).
int refuse_unsupported_index(const std::string& file) {
    int32_t type = index_type_of_file(file.c_str());
    if (index_format_available(type)) return 0;
    size_t dot = file.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : file.substr(dot + 1);
    for (char& c : ext) c = (char)toupper((unsigned char)c);
    const char* family = type == 5 ? "Clipper" : type == 2 ? "dBASE IV" : type == 3 ? "FoxPro" : type == 10 ? "FoxPro and Visual FoxPro" : nullptr;
    if (!family) {
        fprintf(stderr, "qxdb: %s is no index file this program knows (NDX, NTX, MDX, IDX, CDX)\n", file.c_str());
        return kExitUsage;
    }
    fprintf(stderr, "qxdb: %s: %s indexes (%s) are not supported yet; NDX, NTX, IDX and CDX files are read and written\n",
            file.c_str(), ext.c_str(), family);
    return kExitFailed;
}

const char kUsage[] =
    "usage: qxdb index create TABLE.dbf FILE --expr EXPR [--tag NAME] [--for EXPR] [--unique] [--descending]\n"
    "       qxdb index keys FILE [--tag NAME] [--table TABLE.dbf] [--reverse]\n"
    "       qxdb index seek FILE VALUE [--tag NAME] [--table TABLE.dbf]\n"
    "       qxdb index check TABLE.dbf FILE [--tag NAME]\n"
    "       qxdb index tags FILE\n"
    "       qxdb index drop FILE --tag NAME\n"
    "       qxdb reindex TABLE.dbf FILE [--tag NAME]\n"
    "FILE is an .ndx, .ntx, .idx, .mdx or .cdx file; an .mdx or a .cdx holds several keys,\n"
    "its tags, and --tag names one (create makes or replaces it; --for and --descending\n"
    "are for tags).\n"
    "create refuses an expression naming something that is no field of the table, or whose\n"
    "parentheses do not pair; --literal takes such names as text, as xBase keys do.\n"
    "keys prints one line per entry in index order: recno<TAB>key. seek searches a key\n"
    "(a prefix for character keys) and prints the status and the entry it lands on.\n"
    "example: qxdb index create people.dbf people.cdx --tag CITY --expr \"UPPER(CITY)\" --for \"!DELETED()\"\n";

// What kind of value an index's keys stand for: text, a number or a date.
enum class KeyKind { Text, Number, Date };

struct OpenIndex {
    int32_t type = 0;
    int16_t handle = -1;
    int32_t tag = -1;  // the open tag of a multi-tag file
    IndexAccess access{};
    IndexDescription desc;
    KeyKind kind = KeyKind::Text;
    int code_page = 850;
    ~OpenIndex() {
        if (handle >= 0) IndexClose(type, handle);
        xdb_set_status(XD_OK);
    }
};

// The kind of value `expression` gives on the table's current record; the
// format's own key type when there is no table to ask.
KeyKind kind_of_expression(int16_t table, const std::string& expression, char key_type) {
    if (table >= 0) {
        std::string expr = expression;
        XdbKeyValue v{};
        xdb_set_status(XD_OK);
        if (xdb_eval_key(table, &expr[0], 0, &v) >= 0) {
            xdb_set_status(XD_OK);
            if (v.type == 'D') return KeyKind::Date;
            if (v.type == 'N' || v.type == 'F') return KeyKind::Number;
            return KeyKind::Text;
        }
        xdb_set_status(XD_OK);
    }
    return key_type == 'C' ? KeyKind::Text : KeyKind::Number;
}

// Describes the open index into `ix` (its access too).
XDSTATUS describe_index(OpenIndex* ix) {
    xdb_set_status(XD_OK);
    XDSTATUS s = IndexDescribe(ix->type, ix->tag >= 0 ? (int16_t)ix->tag : ix->handle, &ix->desc);
    if (s < 0) return s;
    ix->access.type = ix->type;
    ix->access.file_handle = (uint16_t)ix->handle;
    ix->access.tag_handle = ix->tag;
    ix->access.key_length = (uint32_t)ix->desc.key_length;
    ix->access.key_type = ix->desc.key_type;
    ix->access.single_field = -1;
    return XD_OK;
}

// The tags of an open multi-tag file, in its order.
std::vector<std::string> tag_names(const OpenIndex& ix) {
    std::vector<std::string> names;
    int16_t count = 0;
    xdb_set_status(XD_OK);
    if (TagCount(ix.type, ix.handle, &count) < 0) count = 0;
    for (int16_t i = 0; i < count; i++) {
        IndexDescription d;
        xdb_set_status(XD_OK);
        if (IndexDescribeTag(ix.type, ix.handle, i, &d) >= 0) names.push_back(d.name);
    }
    xdb_set_status(XD_OK);
    return names;
}

// The tag a command works on: the one named, or a file's only one. A file of
// several tags without --tag names them (exit 2).
int choose_tag(const std::string& path, const std::string& name, OpenIndex* ix) {
    if (!index_is_multitag(ix->type)) {
        if (name.empty()) return -1;
        fprintf(stderr, "qxdb: --tag is for a file of several keys (.mdx, .cdx); %s holds one\n", path.c_str());
        return kExitUsage;
    }
    XDSTATUS s;
    if (name.empty()) {
        const std::vector<std::string> names = tag_names(*ix);
        if (names.size() != 1) {
            std::string list;
            for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
            fprintf(stderr, "qxdb: %s holds %u tags (%s): say which with --tag NAME\n", path.c_str(),
                    (unsigned)names.size(), list.empty() ? "none" : list.c_str());
            return kExitUsage;
        }
        xdb_set_status(XD_OK);
        s = TagOpenNumber(ix->type, ix->handle, 0, &ix->tag);
    } else {
        xdb_set_status(XD_OK);
        s = TagOpen(ix->type, name.c_str(), ix->handle, &ix->tag);
    }
    if (s < 0) return cli_fail("no tag " + name + " in " + path + " (qxdb index tags " + path + " lists them)", s);
    return -1;
}

// Opens an index file of any format the engine has, and its tag (see choose_tag);
// with a table (`table` >= 0, its current record read), what kind of keys it holds
// is learnt from it where the file does not say. -1 when open, else the exit.
int open_index_file(const std::string& path, uint16_t mode, OpenIndex* ix, int16_t table = -1,
                    const std::string& tag = "") {
    ix->type = index_type_of_file(path.c_str());
    xdb_set_status(XD_OK);
    XDSTATUS s = IndexOpen(ix->type, path.c_str(), mode, &ix->handle);
    if (s < 0) return cli_fail("cannot open " + path, s);
    if (int done = choose_tag(path, tag, ix); done >= 0) return done;
    const int16_t tree = ix->tag >= 0 ? (int16_t)ix->tag : ix->handle;
    if (table >= 0 && (s = IndexLearnKeyType(ix->type, tree, table)) < 0)
        return cli_fail("cannot tell the keys of " + path + " from its table", s);
    if ((s = describe_index(ix)) < 0) return cli_fail("cannot describe " + path, s);
    return -1;
}

// The first record of the table read (a blank record when it has none), for
// what an expression's value tells.
void read_first_record(int16_t table) {
    uint32_t count = 0;
    xdb_set_status(XD_OK);
    dbf_record_count(table, &count);
    if (count > 0) {
        xdb_set_status(XD_OK);
        dbf_read_record(table, 1);
    }
    xdb_set_status(XD_OK);
}

// Opens the index and, with a table, finds what its keys stand for.
int open_index(const CliArgs& args, OpenIndex* ix) {
    if (int done = open_index_file(args.positional[1], XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, ix, -1, args.get("tag"));
        done >= 0)
        return done;
    XDSTATUS s;
    ix->kind = kind_of_expression(-1, "", (char)ix->desc.key_type);
    if (!args.has("table")) return -1;
    OpenedTable t;
    if ((s = cli_open_table(args.get("table"), -1, &t)) < 0) return cli_fail("cannot open " + args.get("table"), s);
    ix->code_page = cli_table_code_page(t.handle, args);
    read_first_record(t.handle);
    if ((s = IndexLearnKeyType(ix->type, ix->tag >= 0 ? (int16_t)ix->tag : ix->handle, t.handle)) < 0 ||
        (s = describe_index(ix)) < 0)
        return cli_fail("cannot tell the keys of " + args.positional[1] + " from " + args.get("table"), s);
    ix->kind = kind_of_expression(t.handle, ix->desc.key_expression, (char)ix->desc.key_type);
    xdb_set_status(XD_OK);
    dbf_close(t.handle);
    return -1;
}

std::string key_text(const OpenIndex& ix, const uint8_t* key) {
    if (ix.kind == KeyKind::Date) {
        int y, m, day;
        if (!IndexKeyDate(&ix.access, key, &y, &m, &day)) return "";
        char buf[16];
        snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, day);
        return buf;
    }
    if (ix.kind == KeyKind::Number) {
        double d = 0;
        IndexKeyNumber(&ix.access, key, &d);
        return format_double(d);
    }
    size_t n = strnlen((const char*)key, ix.access.key_length > 0 ? ix.access.key_length - 1 : 0);
    while (n > 0 && key[n - 1] == ' ') n--;
    return codepage_to_utf8(ix.code_page, (const char*)key, n);
}

int keys(const CliArgs& args) {
    OpenIndex ix;
    if (int done = open_index(args, &ix); done >= 0) return done;
    bool reverse = args.has("reverse");
    uint8_t key[kIndexKeyBuffer + 27] = {0};
    uint32_t recno = 0;
    XDSTATUS s = reverse ? IndexLast(&ix.access, key, &recno) : IndexFirst(&ix.access, key, &recno);
    uint64_t guard = 0;
    // The keys go to standard output; the progress (a terminal only) to standard error.
    Progress progress("walking " + args.positional[1], 0);
    while (s == XD_OK) {
        progress.Step(guard);
        printf("%u\t%s\n", recno, key_text(ix, key).c_str());
        s = reverse ? IndexPrevious(&ix.access, key, &recno) : IndexNext(&ix.access, key, &recno);
        if (++guard > 0x7FFFFFFFull) break;  // a tree that loops
    }
    if (s < 0) return cli_fail("walking " + args.positional[1], s);
    return kExitOk;
}

int seek(const CliArgs& args) {
    if (args.positional.size() != 3) return cli_usage(kUsage);
    OpenIndex ix;
    if (int done = open_index(args, &ix); done >= 0) return done;
    uint8_t key[kIndexKeyBuffer + 27] = {0};
    const std::string& value = args.positional[2];
    XDSTATUS s = XD_OK;
    if (ix.kind == KeyKind::Date) {
        std::string digits;
        for (char c : value)
            if (c != '-') digits += c;
        int y = 0, m = 0, d = 0;
        if (digits.size() != 8 || sscanf(digits.c_str(), "%4d%2d%2d", &y, &m, &d) != 3) {
            fprintf(stderr, "qxdb: dates are written YYYY-MM-DD\n");
            return kExitUsage;
        }
        // The engine's date text of the default format, MM/DD/YY with the century.
        char text[16];
        snprintf(text, sizeof text, "%02d/%02d/%04d", m, d, y);
        s = xdb_date_format() == 4 ? MakeDateKey(&ix.access, digits.c_str(), key) : MakeDateKey(&ix.access, text, key);
    } else if (ix.kind == KeyKind::Number) {
        s = MakeNumericKey(&ix.access, strtod(value.c_str(), nullptr), key);
    } else {
        std::string bytes = codepage_from_utf8(ix.code_page, value);
        s = MakeCharacterKey(&ix.access, bytes.c_str(), key);
    }
    if (s < 0) return cli_fail("cannot make a key of " + value, s);
    uint32_t recno = 0;
    s = IndexSeek(&ix.access, key, 0, &recno, 0);
    if (s < 0) return cli_fail("seeking in " + args.positional[1], s);
    const char* what = s == XD_OK ? "found" : s == XD_KEYNOTFOUND ? "not found, on the entry before"
                     : s == XD_KEYNOTFOUNDEND ? "not found, on the first entry" : "empty index";
    printf("%s (%s)", what, cli_status_text(s).c_str());
    if (s != XD_EMPTYFILE) printf("\t%u\t%s", recno, key_text(ix, key).c_str());
    printf("\n");
    return s == XD_OK ? kExitOk : kExitNotFound;
}

// Builds an index of `expr` over the table: its key type and length come from the
// expression's value on the first record (or on a blank record).
int create(const CliArgs& args) {
    if (args.positional.size() != 3 || !args.has("expr")) return cli_usage(kUsage);
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[1], -1, &t);
    if (s < 0) return cli_fail("cannot open " + args.positional[1], s);
    uint32_t count = 0;
    dbf_record_count(t.handle, &count);
    if (count > 0) {
        xdb_set_status(XD_OK);
        dbf_read_record(t.handle, 1);
    }
    if (int refused = cli_check_key_expression(t.handle, args.get("expr"), args)) return refused;
    IndexKeyShape k;
    xdb_set_status(XD_OK);
    IndexShapeOf(t.handle, args.get("expr").c_str(), &k);
    if (!k.type) {
        std::string expr = args.get("expr");
        XdbKeyValue v{};
        xdb_set_status(XD_OK);
        if ((s = xdb_eval_key(t.handle, &expr[0], 0, &v)) < 0) return cli_fail("cannot evaluate " + args.get("expr"), s);
        fprintf(stderr, "qxdb: an index key is text, a number or a date; %s is of type %c\n", args.get("expr").c_str(), v.type);
        return kExitFailed;
    }
    uint8_t key_type = (uint8_t)(k.type | (args.has("unique") ? 0x80 : 0));
    const std::string& file = args.positional[2];
    const int32_t type = index_type_of_file(file.c_str());
    xdb_set_status(XD_OK);
    if (index_is_multitag(type)) {
        if (!args.has("tag")) {
            fprintf(stderr, "qxdb: %s holds its keys as tags: name the one to make with --tag NAME\n", file.c_str());
            return kExitUsage;
        }
        const std::string tag = args.get("tag"), expression = args.get("expr"), condition = args.get("for");
        IndexTagBuild b{file.c_str(), tag.c_str(), expression.c_str(), condition.c_str(), k.type,
                        k.length, args.has("unique"), args.has("descending")};
        {
            EngineProgress progress("building tag " + tag + " of " + file);
            s = IndexBuildTag(type, t.handle, &b);
        }
        if (s < 0) return cli_fail("cannot build tag " + args.get("tag") + " of " + file, s);
        fprintf(stderr, "qxdb: %s: tag %s built from %u records\n", file.c_str(), args.get("tag").c_str(), count);
        return kExitOk;
    }
    for (const char* only_tags : {"tag", "for", "descending"}) {
        if (!args.has(only_tags)) continue;
        fprintf(stderr, "qxdb: --%s is for a tag of a file of several keys (.mdx, .cdx); %s holds one key\n", only_tags,
                file.c_str());
        return kExitUsage;
    }
    {
        EngineProgress progress("building " + file);
        s = IndexRebuild(type, t.handle, file.c_str(), args.get("expr").c_str(), key_type,
                         k.type == 'N' ? k.width : k.length, k.decimals, nullptr);
    }
    if (s < 0) return cli_fail("cannot build " + file, s);
    xdb_set_status(XD_OK);
    dbf_close(t.handle);
    fprintf(stderr, "qxdb: %s: built from %u records\n", file.c_str(), count);
    return kExitOk;
}

int check(const CliArgs& args);

// A multi-tag file checked whole (every block once), then each tag as one index.
int check_every_tag(const CliArgs& args, int16_t table) {
    const std::string& file = args.positional[2];
    OpenIndex ix;
    ix.type = index_type_of_file(file.c_str());
    xdb_set_status(XD_OK);
    XDSTATUS s = IndexOpen(ix.type, file.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &ix.handle);
    if (s < 0) return cli_fail("cannot open " + file, s);
    char fault[200] = "";
    uint32_t none = 0;
    xdb_set_status(XD_OK);
    s = IndexCheck(ix.type, ix.handle, &none, fault, sizeof fault);
    if (fault[0]) fprintf(stderr, "qxdb: %s: %s\n", file.c_str(), fault);
    if (s < 0) {
        printf("%s: FAULTY\n", file.c_str());
        return s == XD_CORRUPT ? kExitDamaged : cli_fail("checking " + file, s);
    }
    const std::vector<std::string> names = tag_names(ix);
    int worst = kExitOk;
    (void)table;
    for (const std::string& name : names) {
        CliArgs one = args;
        one.options.push_back({"tag", name});
        const int done = check(one);
        if (done != kExitOk && (worst == kExitOk || done == kExitDamaged)) worst = done;
    }
    return worst;
}

// Lists a multi-tag file's tags (a single-key file: its one key).
int tags(const CliArgs& args) {
    if (args.positional.size() != 2) return cli_usage(kUsage);
    const std::string& file = args.positional[1];
    OpenIndex ix;
    ix.type = index_type_of_file(file.c_str());
    xdb_set_status(XD_OK);
    XDSTATUS s = IndexOpen(ix.type, file.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &ix.handle);
    if (s < 0) return cli_fail("cannot open " + file, s);
    int16_t count = 0;
    xdb_set_status(XD_OK);
    if ((s = TagCount(ix.type, ix.handle, &count)) < 0) return cli_fail("reading the tags of " + file, s);
    printf("tag\tkey length\texpression\tcondition\tflags\n");
    for (int16_t i = 0; i < count; i++) {
        IndexDescription d;
        xdb_set_status(XD_OK);
        if ((s = IndexDescribeTag(ix.type, ix.handle, i, &d)) < 0) return cli_fail("reading the tags of " + file, s);
        std::string flags;
        if (d.flags & 0x80) flags += "unique ";
        if (d.flags & 0x100) flags += "descending ";
        if (!flags.empty()) flags.pop_back();
        printf("%s\t%d\t%s\t%s\t%s\n", d.name, d.key_type == 'C' ? d.key_length - 1 : d.key_length,
               d.key_expression.c_str(), d.for_expression.c_str(), flags.c_str());
    }
    return kExitOk;
}

// Removes a tag of a multi-tag file.
int drop(const CliArgs& args) {
    if (args.positional.size() != 2 || !args.has("tag")) return cli_usage(kUsage);
    const std::string& file = args.positional[1];
    OpenIndex ix;
    ix.type = index_type_of_file(file.c_str());
    if (!index_is_multitag(ix.type)) {
        fprintf(stderr, "qxdb: %s holds one key, no tags: delete the file itself\n", file.c_str());
        return kExitUsage;
    }
    xdb_set_status(XD_OK);
    XDSTATUS s = IndexOpen(ix.type, file.c_str(), 0, &ix.handle);
    if (s < 0) return cli_fail("cannot open " + file, s);
    const std::vector<std::string> names = tag_names(ix);
    std::string wanted = args.get("tag");
    for (char& c : wanted) c = (char)toupper((unsigned char)c);
    bool there = false;
    for (const std::string& n : names) there = there || n == wanted;
    if (!there) {
        fprintf(stderr, "qxdb: %s has no tag %s\n", file.c_str(), wanted.c_str());
        return kExitNotFound;
    }
    xdb_set_status(XD_OK);
    if ((s = IndexRemoveTag(ix.type, ix.handle, wanted.c_str())) < 0) return cli_fail("cannot remove tag " + wanted, s);
    fprintf(stderr, "qxdb: %s: tag %s removed\n", file.c_str(), wanted.c_str());
    return kExitOk;
}

// Checks the tree, then the entries against the records: every entry names a
// record of the table, once, with that record's key, and a record its condition
// takes in; every live record the condition takes in has its entry (a unique
// index: its key).
int check(const CliArgs& args) {
    if (args.positional.size() != 3) return cli_usage(kUsage);
    OpenedTable t;
    XDSTATUS s = cli_open_table(args.positional[1], -1, &t);
    if (s < 0) return cli_fail("cannot open " + args.positional[1], s);
    OpenIndex ix;
    const std::string& file = args.positional[2];
    read_first_record(t.handle);
    if (index_is_multitag(index_type_of_file(file.c_str())) && !args.has("tag")) return check_every_tag(args, t.handle);
    const std::string label = args.has("tag") ? file + " tag " + args.get("tag") : file;
    if (int done = open_index_file(file, XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &ix, t.handle, args.get("tag"));
        done >= 0)
        return done;
    uint32_t count = 0;
    const bool unique = ix.desc.flags & 128;  // one entry per key value, not per record
    dbf_record_count(t.handle, &count);
    struct Context {
        Progress progress;
        uint32_t shown = 0;
    } context{Progress("checking " + file, (uint64_t)count * 2)};
    IndexTableCheck check;
    check.context = &context;
    check.fault = [](void* c, const char* what) {
        if (((Context*)c)->shown++ < 10) fprintf(stderr, "qxdb: %s\n", what);
    };
    check.progress = [](void* c, uint64_t done) { ((Context*)c)->progress.Step(done); };
    xdb_set_status(XD_OK);
    s = IndexCheckAgainstTable(&ix.access, t.handle, unique, &check);
    context.progress.Finish();
    if (s == XD_CORRUPT && check.structure[0]) {
        fprintf(stderr, "qxdb: %s: %s\n", label.c_str(), check.structure);
        printf("%s: FAULTY\n", label.c_str());
        return kExitDamaged;
    }
    if (s < 0) return cli_fail("checking " + file + " against " + args.positional[1], s);
    if (check.structure[0]) fprintf(stderr, "qxdb: %s: %s\n", label.c_str(), check.structure);
    const uint32_t entries = check.entries;
    const bool beyond = check.beyond;
    const uint32_t faults = check.faults;
    if (beyond) {
        fprintf(stderr,
                "qxdb: %s: the tree has no fault (%u entries), but its key expression %s is beyond the key\n"
                "      expressions this program computes (another table, or functions it lacks), so its keys\n      were not compared with the records\n",
                file.c_str(), entries, ix.desc.key_expression.c_str());
        return kExitFailed;
    }
    if (faults > 10) fprintf(stderr, "qxdb: ... %u faults in all\n", faults);
    if (check.repeated_keys)
        fprintf(stderr,
                "qxdb: %s: note: %u entries repeat the key of the entry before, in a unique index (added while\n"
                "      duplicates were not refused); qxdb reindex keeps the first record of each key\n",
                file.c_str(), check.repeated_keys);
    const bool ok = faults == 0;
    printf("%s: %u entries, %u records, %s\n", label.c_str(), entries, count, ok ? "no fault" : "FAULTY");
    return ok ? kExitOk : kExitDamaged;
}

}  // namespace

int cli_index_check(const std::string& table, const std::string& file) {
    CliArgs args;
    args.positional = {"check", table, file};
    return check(args);
}

// Builds an index again from its table, with its own expression and key.
int cmd_reindex(int argc, char** argv) {
    const char* usage =
        "usage: qxdb reindex TABLE.dbf FILE [--tag NAME]\n"
        "Builds an index again from its table: a .cdx every tag, or the one --tag names.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"tag"}, {}, usage, &args); done >= 0) return done;
    if (args.positional.size() != 2) return cli_usage(usage);
    if (int refused = refuse_unsupported_index(args.positional[1])) return refused;
    if (!cli_start_engine()) return kExitFailed;
    const std::string& file = args.positional[1];
    const int32_t type = index_type_of_file(file.c_str());
    const bool whole_file = index_is_multitag(type) && !args.has("tag");
    OpenIndex ix;
    IndexDescription desc;
    if (!whole_file) {
        if (int done = open_index_file(file, XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &ix, -1, args.get("tag")); done >= 0)
            return done;
        desc = ix.desc;
        IndexClose(ix.type, ix.handle);
        ix.handle = -1;
    }
    OpenedTable t;
    XDSTATUS s;
    if ((s = cli_open_table(args.positional[0], -1, &t)) < 0) return cli_fail("cannot open " + args.positional[0], s);
    EngineProgress progress("rebuilding " + file);
    if (whole_file) {
        xdb_set_status(XD_OK);
        if ((s = IndexRebuild(type, t.handle, file.c_str(), "", 'C', 0, 0, nullptr)) < 0)
            return cli_fail("cannot rebuild " + file, s);
        return kExitOk;
    }
    // The expression's value tells what the keys are (the files do not always).
    IndexKeyShape k;
    read_first_record(t.handle);
    IndexShapeOf(t.handle, desc.key_expression.c_str(), &k);
    xdb_set_status(XD_OK);
    if (!k.type) k.type = (char)desc.key_type;
    uint16_t length = (uint16_t)(desc.key_type == 'C' ? desc.key_length - 1 : desc.key_length);
    xdb_set_status(XD_OK);
    if (index_is_multitag(type)) {
        IndexTagBuild b{file.c_str(), desc.name, desc.key_expression.c_str(), desc.for_expression.c_str(), k.type,
                        length, (desc.flags & 0x80) != 0, (desc.flags & 0x100) != 0};
        s = IndexBuildTag(type, t.handle, &b);
    } else {
        s = IndexRebuild(type, t.handle, file.c_str(), desc.key_expression.c_str(),
                         (uint8_t)(k.type | ((desc.flags & 128) ? 0x80 : 0)), length, (uint16_t)desc.decimals, nullptr);
    }
    if (s < 0) return cli_fail("cannot rebuild " + file, s);
    return kExitOk;
}

int cmd_index(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"table", "codepage", "expr", "tag", "for"}, {"reverse", "unique", "descending", "literal"},
                             kUsage, &args);
        done >= 0)
        return done;
    if (args.positional.size() < 2) return cli_usage(kUsage);
    // The index file is the last argument of check and create's second; the other
    // formats are named as such rather than failing as damaged NDX files.
    const std::string& file = args.positional[0] == "check" && args.positional.size() > 2 ? args.positional[2]
                              : args.positional[0] == "create" && args.positional.size() > 2 ? args.positional[2]
                                                                                              : args.positional[1];
    if (int refused = refuse_unsupported_index(file)) return refused;
    if (!cli_start_engine()) return kExitFailed;
    if (args.positional[0] == "keys" && args.positional.size() == 2) return keys(args);
    if (args.positional[0] == "seek") return seek(args);
    if (args.positional[0] == "create") return create(args);
    if (args.positional[0] == "check") return check(args);
    if (args.positional[0] == "tags") return tags(args);
    if (args.positional[0] == "drop") return drop(args);
    return cli_usage(kUsage);
}
