#pragma once
// The stand-in host's platform seam: loading a library and finding its entries,
// where the running program lies, whether standard error is a terminal, and
// whether a file may be read or written. One small file per platform.

#include <string>

// Null on failure, with the system's reason in *error.
void* host_load_library(const std::string& path, std::string* error);
void* host_library_entry(void* library, const char* name);
void host_unload_library(void* library);
// The directory of the running program, with its separator.
std::string host_program_directory();
// The directory of the program or library that holds `address`, with its separator.
std::string host_directory_of(const void* address);
bool host_stderr_is_terminal();
bool host_may_read(const std::string& path);
bool host_may_write(const std::string& path);
// The file names of the library and the host module beside the program.
extern const char* const kHostLibraryFile;
extern const char* const kHostModuleFile;
