#pragma once
// Runs a piece of a test in a forked process that cannot write files it does not
// own: as root (CI runs as root), the child becomes the user "nobody" first, since
// root may write any file whatever its mode.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// Makes `dir` and everything named usable by another user (the directory open to
// all, the files readable by all and writable by nobody).
inline void share_read_only(const std::string& dir, std::initializer_list<std::string> files) {
    chmod(dir.c_str(), 0777);
    for (const std::string& f : files) chmod(f.c_str(), 0444);
}

// Runs `body` (returning 0 on success, else a code naming the failed check) in a
// child process without the rights to write read-only files; returns its exit
// code, or -1 when the child could not drop its rights or died.
template <class F>
int run_without_write_rights(F body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(250);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
