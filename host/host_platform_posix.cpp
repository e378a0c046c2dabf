// The stand-in host's platform seam on POSIX systems (see host_platform.h).

#include <dlfcn.h>
#include <unistd.h>

#include "host/host_platform.h"

const char* const kHostLibraryFile = "libqxdb.so";
const char* const kHostModuleFile = "libqxdbhost.so";

void* host_load_library(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && error) *error = dlerror();
    return library;
}

void* host_library_entry(void* library, const char* name) { return dlsym(library, name); }

void host_unload_library(void* library) {
    if (library) dlclose(library);
}

std::string host_program_directory() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    std::string dir(buf);
    return dir.substr(0, dir.rfind('/') + 1);
}

std::string host_directory_of(const void* address) {
    Dl_info info;
    if (!dladdr(address, &info) || !info.dli_fname) return "";
    std::string path(info.dli_fname);
    const size_t cut = path.rfind('/');
    return cut == std::string::npos ? "" : path.substr(0, cut + 1);
}

bool host_stderr_is_terminal() { return isatty(2) != 0; }
bool host_may_read(const std::string& path) { return access(path.c_str(), R_OK) == 0; }
bool host_may_write(const std::string& path) { return access(path.c_str(), W_OK) == 0; }
