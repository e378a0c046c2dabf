// The commands that make and declare tables through the library, as a host does:
//   qxdb create-table DIR TABLE --format N ITEM:TYPE[:SIZE]... [--key NAME:EXPR:FILE]...
//                     [--memo NAME] [--strict-names] [--logicals]
//   qxdb open DIR TABLE [--index FILE [--key NAME]]...

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "framework/codepage.h"
#include "host/cli.h"
#include "host/host_values.h"
#include "host/library_cli.h"
#include "host/loader.h"

namespace {

const char kCreateUsage[] =
    "usage: qxdb create-table DIR TABLE --format N ITEM:TYPE[:SIZE]... [--key NAME:EXPR:FILE]...\n"
    "                         [--memo NAME] [--strict-names] [--logicals]\n"
    "Creates TABLE's data, index and memo files through the library from a host description.\n"
    "--format is the host format code: 1 or 2 dBASE III, 3 dBASE IV, 4 FoxBASE, 5 Clipper 5,\n"
    "6 Clipper. TYPE is a host item type by number or name (text, int8, int16, int32, int64,\n"
    "real8, currency, decimal, date, datetime, boolean, text memo, binary memo, binary); SIZE\n"
    "is a text's length, or a number's digits and decimals as D.K (both unknown if absent).\n"
    "--key NAME:EXPR:FILE declares a key: EXPR a field's name (that field is the key) or an\n"
    "expression (a composite key); FILE its index file. A field name over 10 characters is\n"
    "cut unless --strict-names; --logicals makes host type 26 a logical field.\n"
    "example: qxdb create-table /tmp/d PEOPLE --format 2 NAME:text:30 AGE:int16:3 BORN:date \\\n"
    "           --key NAME:NAME:PNAME.NDX --key CB:UPPER(NAME)+DTOS(BORN):PCB.NDX\n";

const char kOpenUsage[] =
    "usage: qxdb open DIR TABLE [--index FILE [--key NAME]]... [--write] [--exclusive]\n"
    "Declares TABLE as a host program does with HDBOuvre, then each index file with HDBIndex\n"
    "(an index file of one key needs its key's name), and prints the description the host\n"
    "then sees, or the error the library answered. --write opens it for writing,\n"
    "--exclusive locks the whole file while it is declared.\n"
    "example: qxdb open tests/data/peers/xbase64/dbase3 PEOPLE --index PEOPLE_NAME.NDX --key NAME\n";

// "NAME:TYPE[:SIZE]" into its parts.
bool parse_item(const std::string& text, std::u16string* name, int* type, int* size, int* digits, int* decimals) {
    size_t a = text.find(':');
    if (a == std::string::npos || a == 0) return false;
    size_t b = text.find(':', a + 1);
    *name = utf8_to_wide(text.substr(0, a));
    *type = host_type_from_name(text.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1));
    if (*type < 0) return false;
    *size = 0;
    *digits = *decimals = -1;
    if (b == std::string::npos) return true;
    std::string rest = text.substr(b + 1);
    size_t dot = rest.find('.');
    long long n = 0, k = 0;
    if (!cli_parse_number(rest.substr(0, dot), 0, 65535, &n)) return false;
    if (dot != std::string::npos && !cli_parse_number(rest.substr(dot + 1), 0, 255, &k)) return false;
    *size = (int)n;
    *digits = (int)n;
    *decimals = dot == std::string::npos ? 0 : (int)k;
    return true;
}

IXbaseConnection* connect(IXbaseDriver* driver, const std::string& dir) {
    std::u16string source = utf8_to_wide(dir);
    HostConnectionDescription cd{u"qxdb", source.c_str(), u""};
    return driver->CreateConnection(&cd);
}

}  // namespace

int cmd_create_table(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"format", "key", "memo"}, {"strict-names", "logicals"}, kCreateUsage, &args);
        done >= 0)
        return done;
    long long format = 0;
    if (args.positional.size() < 3 || !args.has("format") || !cli_parse_number(args.get("format"), 1, 6, &format))
        return cli_usage(kCreateUsage);
    HostSession session;
    if (!cli_start_session(&session)) return kExitFailed;
    IXbaseDriver* driver = session.Driver();
    IXbaseConnection* connection = connect(driver, args.positional[0]);
    int code = kExitOk;
    IXbaseTableDescription* d = driver->CreateTableDescription();
    IXbaseTable* table = nullptr;
    std::vector<char16_t> path(1024);
    std::u16string name = utf8_to_wide(args.positional[1]);
    if (!connection->Open() || !connection->ResolveTablePath(name.c_str(), u".dbf", path.data(), (uint32_t)path.size(),
                                                             connection->GetErrorHolder())) {
        code = cli_fail_holder(connection->GetErrorHolder(), "cannot place " + args.positional[1]);
    } else {
        d->SetPhysicalPath(path.data());
        d->SetHostFormatCode((int)format);
        d->SetCreationOptions((args.has("strict-names") ? kCreateStrictNames : 0) |
                              (args.has("logicals") ? kCreateBooleansAsLogicals : 0));
        for (size_t i = 2; i < args.positional.size() && code == kExitOk; i++) {
            std::u16string item;
            int type, size, digits, decimals;
            if (!parse_item(args.positional[i], &item, &type, &size, &digits, &decimals)) {
                fprintf(stderr, "qxdb: %s is not ITEM:TYPE[:SIZE]\n", args.positional[i].c_str());
                code = kExitUsage;
            } else if (!d->AddField(item.c_str(), type, size, digits, decimals)) {
                code = cli_fail_holder(d->GetErrorHolder(), "cannot add " + args.positional[i]);
            }
        }
        for (const std::string& key : args.all("key")) {
            if (code != kExitOk) break;
            size_t a = key.find(':'), b = key.rfind(':');
            if (a == std::string::npos || b == a) {
                fprintf(stderr, "qxdb: --key %s is not NAME:EXPR:FILE\n", key.c_str());
                code = kExitUsage;
                break;
            }
            std::u16string kn = utf8_to_wide(key.substr(0, a)), expr = utf8_to_wide(key.substr(a + 1, b - a - 1)),
                           file = utf8_to_wide(key.substr(b + 1));
            if (!d->AddKey(kn.c_str(), expr.c_str(), file.c_str(), 0x0800 | 0x2000))
                code = cli_fail_holder(d->GetErrorHolder(), "cannot declare key " + key);
        }
        if (code == kExitOk && args.has("memo")) d->SetMemoName(utf8_to_wide(args.get("memo")).c_str());
        if (code == kExitOk) {
            table = driver->CreateTable();
            if (!table->SetTableDescription(d) || !table->CreateFiles())
                code = cli_fail_holder(table->GetErrorHolder(), "cannot create " + args.positional[1]);
            else
                printf("created %s\n", wide_to_utf8(path.data()).c_str());
        }
    }
    if (table) table->Release();
    d->Release();
    connection->Release();
    return code;
}

namespace {

// True when a key of the description comes from `file` (named as given to HDBIndex:
// compared by its last part, since the driver completes the path and extension).
bool attached_a_key(IXbaseTableDescription* d, const std::string& file) {
    std::string wanted = file.substr(file.find_last_of("/\\") == std::string::npos ? 0 : file.find_last_of("/\\") + 1);
    for (char& c : wanted) c = (char)tolower((unsigned char)c);
    for (int i = 1; i <= d->GetItemCount(); i++) {
        IXbaseItemDescription* item = d->GetItem(i);
        if (!item || item->GetKeyNumber() <= 0 || !item->GetIndexPath()) continue;
        std::string path = wide_to_utf8(item->GetIndexPath());
        path = path.substr(path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1);
        for (char& c : path) c = (char)tolower((unsigned char)c);
        if (path == wanted || path.rfind(wanted + ".", 0) == 0) return true;
    }
    return false;
}

}  // namespace

int cmd_open(int argc, char** argv) {
    CliArgs args;
    if (int done = cli_begin(argc, argv, {"index", "key", "format"}, {"write", "exclusive"}, kOpenUsage, &args);
        done >= 0)
        return done;
    RecordFormat format = RecordFormat::kTable;
    if (args.positional.size() != 2 || !cli_record_format(args, "table", &format))
        return cli_usage(kOpenUsage);
    // --key belongs to the --index before it.
    std::vector<std::pair<std::string, std::string>> indexes;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--index" && i + 1 < argc) indexes.push_back({argv[++i], ""});
        else if (a == "--key" && i + 1 < argc && !indexes.empty()) indexes.back().second = argv[++i];
        else if (a == "--key") return cli_usage(kOpenUsage);
    }
    HostSession session;
    if (!cli_start_session(&session)) return kExitFailed;
    IXbaseDriver* driver = session.Driver();
    IXbaseConnection* connection = connect(driver, args.positional[0]);
    IXDriverProxy* proxy = session.Exports().query_proxy(191);
    std::u16string table = utf8_to_wide(args.positional[1]);
    int code = kExitOk;
    if (!proxy->OpenTable(u"qxdb", table.c_str(), u"",
                          (args.has("write") ? kDeclareWrite : 0) | (args.has("exclusive") ? kDeclareExclusive : 0))) {
        code = cli_fail_holder(proxy->GetDriverErrorHolder(), "HDBOuvre failed for " + args.positional[1]);
    } else {
        for (const auto& index : indexes) {
            std::u16string file = utf8_to_wide(index.first), key = utf8_to_wide(index.second);
            if (!proxy->AssociateIndex(u"qxdb", table.c_str(), file.c_str(), key.c_str())) {
                code = cli_fail_holder(proxy->GetDriverErrorHolder(), "HDBIndex failed for " + index.first);
                break;
            }
            // The association drops a tag whose expression the table cannot give
            // (and answers 1): say so, since the file then keys nothing.
            if (!attached_a_key(driver->RegisteredTable(table.c_str())->GetDescription(), index.first)) {
                IXErrorHolder* h = proxy->GetDriverErrorHolder();
                if (h && h->CurrentErrorId() != 0)
                    code = cli_fail_holder(h, "HDBIndex attached no key of " + index.first);
                else
                    code = cli_fail("HDBIndex attached no key of " + index.first + ": no tag's expression fits the table",
                                    XD_BADKEYEXPR);
                break;
            }
        }
        if (code == kExitOk) print_description(driver->RegisteredTable(table.c_str())->GetDescription(), format);
    }
    proxy->Release();
    connection->Release();
    return code;
}
