// qxdb: the command-line program. File tools work on the engine directly; the
// commands that go through the host path load the library like the host does.

#include <cstdio>
#include <cstring>

#include "host/cli.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
    // How the command names its table (both forms are taken, see cli.h).
    CliTableStyle table = kTableNone;
};

const Command kCommands[] = {
    {"info", cmd_info, "show a table's dialect, header and fields", kTableFile},
    {"dump", cmd_dump, "print a table's records (jsonl, csv or table)", kTableFile},
    {"create", cmd_create, "create an empty table", kTableFile},
    {"append", cmd_append, "append records (JSON lines or CSV) from standard input", kTableFile},
    {"import", cmd_import, "make a new table from a CSV or JSON lines file, its fields read off the data"},
    {"delete", cmd_delete, "mark records deleted", kTableDir},
    {"recall", cmd_recall, "mark deleted records live again", kTableFile},
    {"pack", cmd_pack, "remove the deleted records", kTableFile},
    {"index", cmd_index, "create, walk, search or check an index"},
    {"check", cmd_check, "check every table of a directory with its memo and index files"},
    {"reindex", cmd_reindex, "build an index again from its table"},
    {"eval", cmd_eval, "evaluate a key expression against a record", kTableFile},
    {"tables", cmd_tables, "list the tables of a directory through the library"},
    {"describe", cmd_describe, "describe a table as the host sees it, with its keys (through the library)", kTableDir},
    {"create-table", cmd_create_table, "create a table's files from a host description (through the library)"},
    {"open", cmd_open, "declare a table and its index files as HDBOuvre and HDBIndex do (through the library)", kTableDir},
    {"browse", cmd_browse, "read a table in physical or key order, within bounds (through the library)", kTableDir},
    {"seek", cmd_seek, "search a key value and print the record found (through the library)", kTableDir},
    {"add", cmd_add, "add records (JSON lines or CSV) through the library, indexes kept in step", kTableDir},
    {"modify", cmd_modify, "change items of a record through the library, indexes kept in step", kTableDir},
    {"compact", cmd_compact, "remove deleted records and build every index again (through the library)", kTableDir},
    {"lock", cmd_lock, "take file and record locks through the library and hold them a while", kTableDir},
    {"count", cmd_count, "count a table's records, deleted records or keys in a range (through the library)", kTableDir},
    {"version", cmd_version, "show the library's version (loads it as the host does)"},
    {"message", cmd_message, "print a message of the library's table with its inserts"},
    {"status", cmd_status, "explain an engine status code"},
};

void usage(FILE* out) {
    fputs("usage: qxdb COMMAND [ARGS...]   (qxdb help COMMAND, or qxdb COMMAND --help, for more)\n\ncommands:\n",
          out);
    for (const Command& c : kCommands) fprintf(out, "  %-8s %s\n", c.name, c.summary);
    fputs("\nexit codes: 0 done, 1 failed, 2 usage, 3 not found (a file, a record, a key),\n"
          "            4 locked or in use by another program, 5 damaged file\n"
          "failures: a line saying what failed and why, the library's or engine's own message\n"
          "          under it; --verbose (any command) adds the library's whole error dump\n",
          out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return kExitUsage;
    }
    if (!strcmp(argv[1], "help") && argc > 2) {
        // qxdb help COMMAND: that command's own help.
        for (const Command& c : kCommands)
            if (!strcmp(argv[2], c.name)) {
                char help[] = "--help";
                char* args[] = {help, nullptr};
                return c.run(1, args);
            }
        fprintf(stderr, "qxdb: unknown command '%s'\n", argv[2]);
        usage(stderr);
        return kExitUsage;
    }
    if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help")) {
        usage(stdout);
        return kExitOk;
    }
    for (const Command& c : kCommands)
        if (!strcmp(argv[1], c.name)) {
            g_table_style = c.table;
            return c.run(argc - 2, argv + 2);
        }
    fprintf(stderr, "qxdb: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return kExitUsage;
}
