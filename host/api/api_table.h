#pragma once
// What a qxdb_table of the C interface holds: the library's objects for one open
// table (connection, table, cursor), the host record bound to its fields, the
// walk in progress, the values set for the next write and the locks the caller
// took. Shared by the files of host/api/.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/interfaces.h"
#include "host/host_record.h"
#include "host/where_filter.h"
#include "include/qxdb.h"

struct ApiField {
    std::string name;
    qxdb_type type = QXDB_TEXT;
    char letter = 'C';
    int size = 0;
    int decimals = 0;
};

struct ApiKey {
    std::string name, expression, file;
    std::u16string wide_name;
    int unique = 0, descending = 0;
};

struct qxdb_table {
    IXbaseConnection* connection = nullptr;
    IXbaseTable* table = nullptr;
    IXbaseCursor* cursor = nullptr;
    HostRecordObject* record = nullptr;
    int text_page = 0;  // 0: text as the host gets it
    std::string path;
    std::vector<ApiField> fields;  // in the order of the record's items
    std::vector<ApiKey> keys;
    // The walk: by key (its name) or in record order; whether a record is read.
    const ApiKey* walk_key = nullptr;
    bool have_record = false;
    // Values set for the next append or update (nullopt: not set).
    std::vector<std::optional<std::string>> pending;
    std::vector<bool> pending_blank;
    // The condition walks keep to (qxdb_filter), evaluated on a reader of its own.
    std::unique_ptr<WhereFilter> filter;
    // Record locks the caller took (an update leaves them held).
    std::set<int64_t> caller_locks;
    // What was handed out: each field's text (valid until the next read), the JSON.
    std::vector<std::string> texts;
    std::string json;
};

// ---- Errors (api_errors.cpp) ----
// Records a failure of this thread: the English `what`, and the library's error
// of `holder` when it has one. Answers the status for the library's error (locked,
// not found, refused) or `status` when the holder has none.
qxdb_status api_fail(qxdb_status status, const std::string& what, IXErrorHolder* holder = nullptr);
qxdb_status api_fail_holder(const std::string& what, IXErrorHolder* holder);

// ---- The process's session with the library (api_session.cpp) ----
// The driver, the library started on the first call; null after api_fail.
IXbaseDriver* api_driver();
// Makes the host module forward the engine's progress to `progress` while an
// operation runs (null: to nobody).
void api_set_progress(qxdb_progress progress, void* context);

// ---- Shared by reading and writing (api_read.cpp) ----
// The key named `name` (case-insensitive), or null after a failure.
const ApiKey* api_find_key(qxdb_table* t, const char* name);
// The host value of text for a field or key item; false after a failure.
bool api_value(qxdb_table* t, const std::string& item, const char* text, std::string* storage, HostItemValue* out);
// After a read: OK with the record taken, or END at the end of data.
qxdb_status api_after_read(qxdb_table* t, int ok, const std::string& what);
