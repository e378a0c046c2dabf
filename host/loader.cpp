#include "host/loader.h"

#include <cstdlib>

#include "host/host_platform.h"

namespace {

#ifndef QXDB_LIBDIR_FROM_BINDIR
#define QXDB_LIBDIR_FROM_BINDIR "../lib/"
#endif

// Beside the program (a build), else where an installation puts it: the library in
// the library directory, the host module in its qxdb/ directory.
std::string beside_program(const char* file, const char* installed_in) {
    const std::string dir = host_program_directory();
    const std::string installed = dir + QXDB_LIBDIR_FROM_BINDIR + installed_in + file;
    if (!host_may_read(dir + file) && host_may_read(installed)) return installed;
    return dir + file;
}

template <class F>
bool find(void* lib, const char* name, F* out) {
    *out = (F)host_library_entry(lib, name);
    return *out != nullptr;
}

}  // namespace

std::string default_library_path() {
    const char* env = getenv("QXDB_LIBRARY");
    return env && *env ? env : beside_program(kHostLibraryFile, "");
}

std::string default_host_module_path() {
    const char* env = getenv("QXDB_HOST_MODULE");
    return env && *env ? env : beside_program(kHostModuleFile, "qxdb/");
}

bool HostSession::fail(const std::string& why) {
    error_ = why;
    Stop();
    return false;
}

bool HostSession::Start(const std::string& library_path, const std::string& host_module_path) {
    std::string why;
    library_ = host_load_library(library_path, &why);
    if (!library_)
        return fail("cannot load the library " + library_path + ": " + why +
                    " (QXDB_LIBRARY names it when it is not beside the program)");
    LibraryExports& e = exports_;
    if (!find(library_, "CheckVersion", &e.check_version) || !find(library_, "bExternalInitLibrary", &e.init) ||
        !find(library_, "ExternalTermLibrary", &e.term) || !find(library_, "piQueryInterface", &e.query_interface) ||
        !find(library_, "pQueryProxy", &e.query_proxy) || !find(library_, "DeclareProxy", &e.declare_proxy) ||
        !find(library_, "Execution", &e.execution) || !find(library_, "CommandeComposante", &e.command) ||
        !find(library_, "bDLLCompatible", &e.compatible) || !find(library_, "bInitVLCalcFromVM", &e.init_calc) ||
        !find(library_, "bInitVLConvFromVM", &e.init_conv))
        return fail("the library lacks an export");
    version_ = e.check_version();
    if (version_ != 23) return fail("the library answers version " + std::to_string(version_) + ", not 23");
    e.init();
    started_ = true;
    int32_t wanted = 0;
    if (!e.compatible(28, 36, &wanted)) return fail("the library is not compatible with this host");
    module_ = host_load_library(host_module_path, &why);
    if (!module_)
        return fail("cannot load the host module " + host_module_path + ": " + why +
                    " (QXDB_HOST_MODULE names it when it is not beside the program)");
    if (!e.init_calc(module_, 2, 2)) return fail("the library did not take the host's calculation routines");
    if (!e.init_conv(module_, 2, 2)) return fail("the library did not take the host's conversion routines");
    driver_ = e.query_interface(0);
    if (!driver_) return fail("the library gave no driver object");
    return true;
}

void HostSession::Stop() {
    if (driver_) {
        driver_->Release();
        driver_ = nullptr;
    }
    if (started_ && exports_.term) exports_.term();
    started_ = false;
    host_unload_library(library_);
    library_ = nullptr;
    host_unload_library(module_);
    module_ = nullptr;
}
