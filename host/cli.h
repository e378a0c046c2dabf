#pragma once
// Shared pieces of the qxdb command: argument handling, engine start, opening a
// table by trying the variants, status reports.

#include "host/record_writer.h"
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/core/status.h"

// The exit codes of every command (told by `qxdb help`): scripts can tell a
// missing file from a locked one from a damaged one.
enum CliExit { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitNotFound = 3, kExitLocked = 4, kExitDamaged = 5 };
// The exit code a failure with this engine status stands for (the system's reason
// tells a file that would not open; `file_fault`: an open found the file's own
// bytes wrong).
int cli_exit_for(XDSTATUS status, bool file_fault = false);

struct CliArgs {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // --name value / --flag ""
    bool has(const std::string& name) const;
    std::string get(const std::string& name, const std::string& def = "") const;
    // Every value of an option given more than once, in order.
    std::vector<std::string> all(const std::string& name) const;
};

// Splits argv into positional arguments and options. `with_value` lists the
// options that take a value. Returns false (after a message) on a bad option.
bool cli_parse(int argc, char** argv, const std::vector<std::string>& with_value,
               const std::vector<std::string>& flags, CliArgs* out);

// The start of every command: parses the arguments (--help is always known);
// prints `usage` and answers kExitOk for --help, kExitUsage for a bad option.
// Answers -1 when the command goes on.
int cli_begin(int argc, char** argv, const std::vector<std::string>& with_value,
              const std::vector<std::string>& flags, const char* usage, CliArgs* out);
// Prints `usage` to standard error and answers kExitUsage.
int cli_usage(const char* usage);

// A status in a line: "the version byte does not fit the dialect [XD_BADVERSION
// (-18): ERREUR - Version de dBase invalide.]".
std::string cli_status_text(XDSTATUS status);
// The engine's own words: "XD_BADVERSION (-18): ERREUR - Version de dBase invalide."
std::string cli_status_engine_text(XDSTATUS status);
// --verbose (every command takes it): a failure of the library shows its whole dump.
extern bool g_verbose;

// How a command names its table. Every command takes both forms: FILE.dbf where
// DIR TABLE is its own form, DIR TABLE where FILE.dbf is; cli_begin rewrites the
// other form into the command's own (delete --raw takes a file).
enum CliTableStyle { kTableNone, kTableFile, kTableDir };
extern CliTableStyle g_table_style;
// Prints the failure of `what` with its status to stderr and returns its exit
// code (cli_exit_for).
int cli_fail(const std::string& what, XDSTATUS status);

// Starts the engine for a file tool; stops it at exit.
bool cli_start_engine();

struct OpenedTable {
    int16_t handle = -1;
    int variant_row = -1;   // row of the variant table the file opened under
    XDSTATUS open_status = 0;  // XD_OK or the warning the open gave
};

// Opens `path` (read-only and shared unless `open_bits` say otherwise), trying the
// variants in order (or only row `forced_row` when it is 0..10). On failure returns
// the status that best explains why: the first that is not a version mismatch,
// else the version mismatch.
XDSTATUS cli_open_table(const std::string& path, int forced_row, OpenedTable* out,
                        uint16_t open_bits = 0x0100 | 0x0800);
// --wait SECONDS for the file tools: how long they retry what another program's
// lock refused (`default_seconds` without the option).
long long cli_wait_seconds(const CliArgs& args, long long default_seconds);
// Runs `operation` again every 50 ms while it answers XD_LOCKVIOLATION, for at
// most `seconds`; its last status.
XDSTATUS cli_retry_locked(long long seconds, const std::function<XDSTATUS()>& operation);
// cli_open_table for a tool that needs the file to itself (open_bits 0): retried
// while another program holds the file, for at most `seconds`.
XDSTATUS cli_open_table_waiting(long long seconds, const std::string& path, int forced_row, OpenedTable* out,
                                uint16_t open_bits);
// Reads a whole argument as an integer within [min, max]; false for anything else
// (empty, trailing text, out of range). Base 0 also takes 0x... hexadecimal.
bool cli_parse_number(const std::string& text, long long min, long long max, long long* out, int base = 10);
// A usage error naming the argument, what it takes and an example: "qxdb: --format
// xml: the formats are table, csv and jsonl (example: --format csv)". kExitUsage.
int cli_bad_argument(const std::string& argument, const std::string& accepted, const std::string& example);
// --format as a record format (`def` when not given); false after the message above.
bool cli_record_format(const CliArgs& args, const char* def, RecordFormat* out);
// The dialects by code and name, for messages.
extern const char kCliDialects[];
// A --dialect value: a code (1..10) or a name ("dbase3", "dBASE IV", "foxpro" for
// FoxPro 2.0, "foxpro1", "clipper", "clipper5", "dbxl", "omnis", "vfp", ...).
bool cli_dialect_code(const std::string& text, long long* code);
// The variant row for a --dialect value, or -2 when it names none.
int cli_row_for_dialect(const std::string& text);
// 0 when `expression` is a key expression on the fields of table `handle` (or
// --literal is given); else the usage status after a message saying why (a name
// that is no field, parentheses that do not pair, a function it lacks).
int cli_check_key_expression(int16_t handle, const std::string& expression, const CliArgs& args);
// A field name made from a column's name: ASCII letters upper-cased, digits and '_'
// kept, every other character '_', ten characters at most.
std::string cli_field_name_of(const std::string& column);
// The code page of a table's text from its header's version and language driver
// bytes: the driver's page, else 1252 for Visual FoxPro and 850 for the others.
int cli_code_page_of_header(uint8_t version, uint8_t language_driver);
// The code page of an open table for text conversion: --codepage when given, else
// as its header says (above).
int cli_table_code_page(int16_t handle, const CliArgs& args);

// qxdb index check TABLE FILE (every tag of a compound file): its exit status.
int cli_index_check(const std::string& table, const std::string& file);

int cmd_check(int argc, char** argv);
int cmd_import(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_dump(int argc, char** argv);
int cmd_message(int argc, char** argv);
int cmd_create(int argc, char** argv);
int cmd_append(int argc, char** argv);
int cmd_delete(int argc, char** argv);
int cmd_recall(int argc, char** argv);
int cmd_pack(int argc, char** argv);
int cmd_eval(int argc, char** argv);
int cmd_tables(int argc, char** argv);
int cmd_describe(int argc, char** argv);
int cmd_create_table(int argc, char** argv);
int cmd_open(int argc, char** argv);
int cmd_browse(int argc, char** argv);
int cmd_seek(int argc, char** argv);
int cmd_count(int argc, char** argv);
int cmd_add(int argc, char** argv);
int cmd_modify(int argc, char** argv);
int cmd_lock(int argc, char** argv);
int cmd_compact(int argc, char** argv);
int cmd_index(int argc, char** argv);
int cmd_reindex(int argc, char** argv);
int cmd_version(int argc, char** argv);
int cmd_status(int argc, char** argv);
