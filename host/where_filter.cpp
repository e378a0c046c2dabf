// Records chosen by a condition (see where_filter.h).

#include "host/where_filter.h"

#include <cstdio>

#include "engine/core/condexpr.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"
#include "host/item_values.h"

namespace {
// The filters that started this program's engine: the last one stops it (a start
// would close the handles of the others).
int g_engine_users = 0;
}  // namespace

WhereFilter::~WhereFilter() {
    if (own_ && handle_ >= 0) {
        xdb_set_status(XD_OK);
        dbf_close(handle_);
        xdb_set_status(XD_OK);
    }
    if (engine_started_ && --g_engine_users == 0) xdbterm();
}

int WhereFilter::Open(const CliArgs& args, int16_t handle, const std::string& table_path) {
    if (!args.has("where")) return 0;
    long long page = 0;
    if (args.has("codepage")) page = atoll(args.get("codepage").c_str());
    std::string why;
    const int code = Start(args.get("where"), handle, table_path, (int)page, &why);
    quiet_ = false;
    if (code) fprintf(stderr, "qxdb: %s\n", why.c_str());
    return code;
}

void WhereFilter::fail(const std::string& why) {
    error_ = why;
    if (!quiet_) fprintf(stderr, "qxdb: %s\n", why.c_str());
}

int WhereFilter::Start(const std::string& condition, int16_t handle, const std::string& table_path, int code_page,
                       std::string* why) {
    quiet_ = true;
    condition_ = condition;
    if (condition.empty()) return 0;
    if (handle < 0) {
        if (g_engine_users == 0) {
            if (XDSTATUS s = xdbinit(); s != XD_OK) {
                *why = "the engine cannot start to evaluate the condition: " + cli_status_text(s);
                condition_.clear();
                return kExitFailed;
            }
        }
        g_engine_users++;
        engine_started_ = true;
        OpenedTable t;
        XDSTATUS s = cli_open_table(table_path, -1, &t);
        if (s < 0) {
            *why = "cannot open " + table_path + " to evaluate the condition: " + cli_status_text(s);
            condition_.clear();
            return kExitFailed;
        }
        handle = t.handle;
        own_ = true;
    }
    handle_ = handle;
    // The condition's texts compare with the file's bytes: typed in UTF-8, they go
    // to the table's code page, which must hold them.
    if (!code_page) {
        DbfHeaderInfo hi;
        xdb_set_status(XD_OK);
        dbf_header_info(handle_, &hi);
        code_page = code_page_of_header(hi.version, hi.code_page);
    }
    std::string converted;
    if (size_t missing = codepage_from_utf8_counted(code_page, condition_, &converted)) {
        *why = "the condition '" + condition_ + "' has " + std::to_string(missing) + " character" +
               (missing == 1 ? "" : "s") + " that the table's code page (" + std::to_string(code_page) +
               ") cannot hold";
        condition_.clear();
        return kExitUsage;
    }
    shown_ = condition_;
    condition_ = converted;
    char reason[200] = "";
    xdb_set_status(XD_OK);
    XDSTATUS s = xdb_check_condition(handle_, condition_.c_str(), reason, sizeof reason);
    xdb_set_status(XD_OK);
    if (s < 0) {
        *why = "the condition '" + shown_ + "': " + (reason[0] ? reason : "it cannot be evaluated") +
               "\n      a condition is an xBase logical expression on the table's fields, for example\n"
               "      CITY = \"Lyon\" .AND. AMOUNT > 1000, or !DELETED() .AND. EMPTY(BORN)";
        condition_.clear();
        return kExitUsage;
    }
    return 0;
}

int WhereFilter::Takes() {
    if (!Active()) return 1;
    bool result = false;
    char why[200] = "";
    xdb_set_status(XD_OK);
    XDSTATUS s = xdb_eval_condition(handle_, condition_.c_str(), &result, why, sizeof why);
    xdb_set_status(XD_OK);
    if (s < 0) {
        fail("the condition '" + shown_ + "': " + (why[0] ? why : "it cannot be evaluated"));
        return -1;
    }
    return result ? 1 : 0;
}

int WhereFilter::TakesRecord(uint32_t recno, bool* deleted) {
    if (!Active()) return 1;
    xdb_set_status(XD_OK);
    XDSTATUS s = dbf_read_record(handle_, recno);
    xdb_set_status(XD_OK);
    if (s < 0) {
        fail("reading record " + std::to_string(recno) + " for the condition: " + cli_status_text(s));
        return -1;
    }
    if (deleted) *deleted = s == XD_DELETEDREC;
    return Takes();
}
