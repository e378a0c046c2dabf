// The C interface's errors: the last failure of each thread, in English and as
// the library said it.

#include <string>

#include "framework/codepage.h"
#include "host/api/api_table.h"
#include "host/error_words.h"

namespace {

struct LastError {
    std::string message;
    std::string library_message;
    int library_error = 0;
};

thread_local LastError g_last;

}  // namespace

qxdb_status api_fail(qxdb_status status, const std::string& what, IXErrorHolder* holder) {
    g_last = LastError{};
    if (!holder || holder->CurrentErrorId() == 0) {
        g_last.message = what;
        return status;
    }
    const uint32_t id = holder->CurrentErrorId();
    g_last.message = what + ": " + holder_english(holder);
    const char16_t* message = holder->CurrentMessage();
    g_last.library_message = message ? wide_to_utf8(message) : "";
    g_last.library_error = (int)id;
    if (id == 1041 || id == 1054) return QXDB_LOCKED;
    if (id == 1031 || id == 1032) return QXDB_NOT_FOUND;
    return status;
}

qxdb_status api_fail_holder(const std::string& what, IXErrorHolder* holder) {
    return api_fail(QXDB_REFUSED, what, holder);
}

extern "C" {

QXDB_API const char* qxdb_message(void) { return g_last.message.c_str(); }
QXDB_API const char* qxdb_library_message(void) { return g_last.library_message.c_str(); }
QXDB_API int qxdb_library_error(void) { return g_last.library_error; }
QXDB_API const char* qxdb_version(void) { return "1.0"; }

QXDB_API const char* qxdb_status_name(qxdb_status status) {
    switch (status) {
    case QXDB_OK: return "ok";
    case QXDB_END: return "end of data";
    case QXDB_NOT_FOUND: return "not found";
    case QXDB_LOCKED: return "locked by another program";
    case QXDB_INVALID: return "invalid argument";
    case QXDB_REFUSED: return "refused by the library";
    case QXDB_NO_LIBRARY: return "library not loaded";
    }
    return "unknown status";
}

}  // extern "C"
