#pragma once
// Runs a piece of a test where files it does not own cannot be written. On Linux a
// forked process does it; as root (CI runs as root) the child becomes the user
// "nobody" first, since root may write any file whatever its mode. On Windows the
// read-only attribute keeps every program out, so the piece runs in place.

#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <string>

// Makes `dir` and everything named usable by another user (the directory open to
// all, the files readable by all and writable by nobody).
inline void share_read_only(const std::string& dir, std::initializer_list<std::string> files) {
    chmod(dir.c_str(), 0777);
    for (const std::string& f : files) chmod(f.c_str(), 0444);
}

// Whether this process could write the file.
inline bool file_is_writable(const std::string& path) {
#ifdef _WIN32
    return _access(path.c_str(), 2) == 0;
#else
    return access(path.c_str(), W_OK) == 0;
#endif
}

// Whether this process writes files marked read-only all the same: Wine run as
// root does (its files are Unix files, and root writes any), real Windows does not.
// Where it does, a test of read-only files proves nothing.
const char kWritesReadOnlyFiles[] = "this system writes read-only files for this process (Wine run as root)";
inline bool writes_read_only_files(const std::string& path) {
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
#else
    (void)path;  // the forked child gives up root's rights
    return false;
#endif
}

// Runs `body` (returning 0 on success, else a code naming the failed check) without
// the rights to write read-only files; returns its exit code, or -1 when the child
// could not drop its rights or died.
template <class F>
int run_without_write_rights(F body) {
#ifdef _WIN32
    return body();
#else
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(250);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}
