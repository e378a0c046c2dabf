// Records chosen by a condition (see where_filter.h).

#include "host/where_filter.h"

#include <cstdio>

#include "engine/core/condexpr.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"

WhereFilter::~WhereFilter() {
    if (own_ && handle_ >= 0) {
        xdb_set_status(XD_OK);
        dbf_close(handle_);
        xdb_set_status(XD_OK);
    }
}

int WhereFilter::Open(const CliArgs& args, int16_t handle, const std::string& table_path) {
    if (!args.has("where")) return 0;
    condition_ = args.get("where");
    if (handle < 0) {
        if (!cli_start_engine()) return kExitFailed;
        OpenedTable t;
        XDSTATUS s = cli_open_table(table_path, -1, &t);
        if (s < 0) return cli_fail("cannot open " + table_path + " to evaluate --where", s);
        handle = t.handle;
        own_ = true;
    }
    handle_ = handle;
    // The condition's texts compare with the file's bytes: typed in UTF-8, they go
    // to the table's code page, which must hold them.
    const int page = cli_table_code_page(handle_, args);
    std::string converted;
    if (size_t missing = codepage_from_utf8_counted(page, condition_, &converted)) {
        fprintf(stderr, "qxdb: --where '%s' has %zu character%s that the table's code page (%d) cannot hold\n",
                condition_.c_str(), missing, missing == 1 ? "" : "s", page);
        return kExitUsage;
    }
    shown_ = condition_;
    condition_ = converted;
    char why[200] = "";
    xdb_set_status(XD_OK);
    XDSTATUS s = xdb_check_condition(handle_, condition_.c_str(), why, sizeof why);
    xdb_set_status(XD_OK);
    if (s < 0) {
        fprintf(stderr,
                "qxdb: --where '%s': %s\n"
                "      a condition is an xBase logical expression on the table's fields, for example\n"
                "      --where 'CITY = \"Lyon\" .AND. AMOUNT > 1000' or --where '!DELETED() .AND. EMPTY(BORN)'\n",
                shown_.c_str(), why[0] ? why : "it cannot be evaluated");
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
        fprintf(stderr, "qxdb: --where '%s': %s\n", shown_.c_str(), why[0] ? why : "it cannot be evaluated");
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
        cli_fail("reading record " + std::to_string(recno) + " for --where", s);
        return -1;
    }
    if (deleted) *deleted = s == XD_DELETEDREC;
    return Takes();
}
