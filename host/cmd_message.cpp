// qxdb message ID [INSERTS...]   and   qxdb status CODE

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/core/status.h"
#include "framework/codepage.h"
#include "framework/error.h"
#include "host/cli.h"
#include "resources/messages.h"

namespace {

}  // namespace

int cmd_message(int argc, char** argv) {
    const char* usage =
        "usage: qxdb message ID [INSERTS...]\n"
        "Prints message ID of the library's message table with its inserts (%1, %2, ...).\n"
        "An insert that reads as an integer also serves the numeric forms (%1!d!).\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {}, {}, usage, &args); done >= 0) return done;
    long long id = 0;
    if (args.positional.empty() || !cli_parse_number(args.positional[0], 0, 0xFFFFFFFFll, &id, 0)) return cli_usage(usage);
    if (!qxdb_message_text((unsigned)id)) {
        fprintf(stderr, "qxdb: no message %lld in the table\n", id);
        return kExitFailed;
    }
    std::vector<MessageArg> inserts;
    for (size_t i = 1; i < args.positional.size(); i++) inserts.emplace_back(args.positional[i]);
    printf("%s\n", wide_to_utf8(load_message((uint32_t)id, inserts)).c_str());
    return kExitOk;
}

int cmd_status(int argc, char** argv) {
    const char* usage =
        "usage: qxdb status CODE\n"
        "Prints an engine status's name, short message and explanation.\n";
    CliArgs args;
    if (int done = cli_begin(argc, argv, {}, {}, usage, &args); done >= 0) return done;
    long long code = 0;
    if (args.positional.size() != 1 || !cli_parse_number(args.positional[0], -32768, 65535, &code, 0)) return cli_usage(usage);
    XDSTATUS status = (XDSTATUS)(int16_t)(uint16_t)code;
    const XdbStatusInfo* info = xdb_status_info(status);
    if (!info) {
        if ((uint16_t)status >= 0xC000)
            printf("%d: system error %u (no message)\n", status, (unsigned)(uint16_t)status & 0x3FFFu);
        else
            printf("%d: not an engine status\n", status);
        return info ? kExitOk : kExitFailed;
    }
    printf("%s (%d)\n", info->name, status);
    printf("%s\n", qxdb_message_text(info->message_id));
    if (info->explanation_id)
        printf("%s%s\n", qxdb_message_text(info->explanation_id), info->explanation_is_debug ? "  [debug information]" : "");
    return kExitOk;
}
