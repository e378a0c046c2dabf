// The stand-in host's platform seam on Windows (see host_platform.h).

#include <io.h>
#include <windows.h>

#include "host/host_platform.h"

const char* const kHostLibraryFile = "qxdb.dll";
const char* const kHostModuleFile = "qxdbhost.dll";

void* host_load_library(const std::string& path, std::string* error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (!library && error) *error = "LoadLibraryA failed, system error " + std::to_string(GetLastError());
    return (void*)library;
}

void* host_library_entry(void* library, const char* name) {
    return (void*)GetProcAddress((HMODULE)library, name);
}

void host_unload_library(void* library) {
    if (library) FreeLibrary((HMODULE)library);
}

namespace {

// The directory of a module's file (null: the program), with its separator.
std::string directory_of_module(HMODULE module) {
    char buf[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(module, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "";
    std::string dir(buf, n);
    size_t cut = dir.find_last_of("\\/");
    return cut == std::string::npos ? "" : dir.substr(0, cut + 1);
}

}  // namespace

std::string host_program_directory() { return directory_of_module(nullptr); }

std::string host_directory_of(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)address, &module))
        return "";
    return directory_of_module(module);
}

bool host_stderr_is_terminal() { return _isatty(2) != 0; }

bool host_may_read(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return true;
}

bool host_may_write(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY);
}
