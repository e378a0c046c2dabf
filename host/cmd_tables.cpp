// The commands that go through the library as the host does:
//   qxdb tables DIR [--details]     qxdb version

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/codepage.h"
#include "host/cli.h"
#include "host/error_words.h"
#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "host/host_values.h"
#include "host/library_cli.h"
#include "host/loader.h"

namespace {

std::vector<std::u16string> split_lines(const std::u16string& text) {
    std::vector<std::u16string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

}  // namespace


int cli_fail_holder(IXErrorHolder* holder, const std::string& what) {
    if (!holder || holder->CurrentErrorId() == 0) {
        fprintf(stderr, "qxdb: %s\n", what.c_str());
        return kExitFailed;
    }
    const uint32_t id = holder->CurrentErrorId();
    const std::string dump = wide_to_utf8(holder->DumpText());
    const char16_t* message = holder->CurrentMessage();
    int status = 0;
    const bool has_status = holder_engine_status(holder, &status);
    // What failed and why in English, then the library's message as the host shows
    // it, and the whole dump only when asked for.
    std::string line = "qxdb: " + what + ": " + holder_english(holder);
    std::string codes = "error " + std::to_string(id);
    if (has_status) {  // "XD_OPENERR (-46)"
        const std::string engine = cli_status_engine_text(status);
        codes += ", " + engine.substr(0, engine.find(':'));
    }
    fprintf(stderr, "%s\n    %s [%s]\n", line.c_str(), message ? wide_to_utf8(message).c_str() : "", codes.c_str());
    if (g_verbose) fprintf(stderr, "%s\n", dump.c_str());
    if (id == 1041 || id == 1054) return kExitLocked;
    if (id == 1031 || id == 1032) return kExitNotFound;
    return has_status ? cli_exit_for(status, false) : kExitFailed;
}

bool cli_start_session(HostSession* session) {
    if (session->Start(default_library_path(), default_host_module_path())) return true;
    fprintf(stderr, "qxdb: %s\n", session->Error().c_str());
    return false;
}

int cmd_tables(int argc, char** argv) {
    const char* usage =
        "usage: qxdb tables DIR [--details]\n"
        "Lists the tables of a directory through the library, as a host connection does.\n"
        "--details adds, sorted by name, each table's dialect, record count and path.\n"
        "A directory that does not exist is an error (exit 1); one without tables is not.\n"
        "example: qxdb tables examples/data --details\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {}, {"details"}, usage, &args); done >= 0) return done;
    if (args.positional.size() != 1) return cli_usage(usage);
    std::error_code ec;
    if (!std::filesystem::is_directory(args.positional[0], ec)) {
        fprintf(stderr, "qxdb: %s is not a directory\n", args.positional[0].c_str());
        return kExitFailed;
    }
    HostSession session;
    if (!cli_start_session(&session)) return kExitFailed;
    IXbaseDriver* driver = session.Driver();
    std::u16string source = utf8_to_wide(args.positional[0]);
    HostConnectionDescription description{u"qxdb", source.c_str(), u""};
    IXbaseConnection* connection = driver->CreateConnection(&description);
    if (!connection->Open()) {
        int code = cli_fail_holder(connection->GetErrorHolder(), "cannot open the connection");
        connection->Release();
        return code;
    }
    HostTextResult result(0x0500);
    bool details = args.has("details");
    int found = driver->ListTables(&result, connection, (uint32_t)kListNames | (details ? (uint32_t)kListDetails : 0u));
    std::vector<std::u16string> lines = split_lines(result.text);
    if (!details) {
        for (const auto& l : lines) printf("%s\n", wide_to_utf8(l).c_str());
    } else {
        printf("%-20s  %-18s  %9s  %s\n", "Table", "Dialect", "Records", "Path");
        std::sort(lines.begin(), lines.end());
        for (const auto& l : lines) {
            // "<name>\t<name>\t\t<path>"
            size_t tab = l.find(u'\t');
            size_t path_at = l.find(u"\t\t");
            std::u16string name = l.substr(0, tab), path = path_at == std::u16string::npos ? u"" : l.substr(path_at + 2);
            // The dialect is the file tools' business: the command's own engine
            // opens the file as the listing's probe does, the variants in order.
            std::string dialect = "(does not open)", records = "-";
            OpenedTable t;
            if (cli_start_engine() && cli_open_table(wide_to_utf8(path), -1, &t) >= 0) {
                dialect = kXbaseVariants[t.variant_row].name;
                uint32_t count = 0;
                xdb_set_status(XD_OK);
                dbf_record_count(t.handle, &count);
                records = std::to_string(count);
                xdb_set_status(XD_OK);
                dbf_close(t.handle);
            }
            printf("%-20s  %-18s  %9s  %s\n", wide_to_utf8(name).c_str(), dialect.c_str(), records.c_str(),
                   wide_to_utf8(path).c_str());
        }
    }
    connection->Release();
    if (!found) fprintf(stderr, "qxdb: no table in %s\n", args.positional[0].c_str());
    return kExitOk;
}

int cmd_version(int argc, char** argv) {
    const char* usage = "usage: qxdb version\nShows the version of the library, loaded as the host loads it.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {}, {}, usage, &args); done >= 0) return done;
    if (!args.positional.empty()) return cli_usage(usage);
    HostSession session;
    if (!cli_start_session(&session)) return kExitFailed;
    printf("QXDB library %s: interface version %d, module version 23.0.2.0\n", default_library_path().c_str(),
           session.Version());
    return kExitOk;
}
