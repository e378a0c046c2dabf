// The C interface's session with the library: started at the first call that
// needs it, as a host starts it (host/loader.h), and kept for the life of the
// process; the library serialises calls from several threads itself.

#include <mutex>

#include "host/api/api_table.h"
#include "host/host_platform.h"
#include "host/loader.h"

namespace {

std::mutex g_start;
HostSession* g_session = nullptr;  // kept to the end of the process, never unloaded under a table
std::string g_start_error;

// QXDB_LIBRARY / QXDB_HOST_MODULE when set; else beside this library, or in its
// qxdb/ directory (where an installation puts the host module).
std::string beside_this(const char* variable, const char* file) {
    if (const char* env = getenv(variable); env && *env) return env;
    const std::string dir = host_directory_of((const void*)&api_driver);
    for (const std::string& candidate : {dir + file, dir + "qxdb/" + file})
        if (host_may_read(candidate)) return candidate;
    return dir + file;
}

}  // namespace

IXbaseDriver* api_driver() {
    std::lock_guard<std::mutex> lock(g_start);
    if (!g_session) {
        auto* session = new HostSession();
        if (!session->Start(beside_this("QXDB_LIBRARY", kHostLibraryFile),
                            beside_this("QXDB_HOST_MODULE", kHostModuleFile))) {
            g_start_error = session->Error();
            delete session;
            api_fail(QXDB_NO_LIBRARY, g_start_error);
            return nullptr;
        }
        g_session = session;
    }
    return g_session->Driver();
}

void api_set_progress(qxdb_progress progress, void* context) {
    std::lock_guard<std::mutex> lock(g_start);
    if (!g_session) return;
    using Sink = void (*)(void (*)(void*, uint64_t, uint64_t), void*);
    if (auto set = (Sink)host_library_entry(g_session->HostModule(), "qxdbhost_set_progress_sink"))
        set(progress, context);
}
