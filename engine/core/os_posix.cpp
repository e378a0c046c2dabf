// POSIX side of the platform seam, keeping Win32 semantics:
//
// - Byte-range locks are open-file-description locks (F_OFD_SETLK), so they belong
//   to the handle: two handles of one process conflict, and closing one handle
//   drops only its own locks. As with LockFile, a handle cannot lock a byte it
//   already holds, and an unlock must name a region exactly as it was locked; the
//   regions each handle holds are kept here to give those answers.
// - Files are opened read-write underneath whenever the system allows it, so that a
//   handle opened for reading can still take exclusive byte locks as on Windows;
//   the access asked for is enforced here (a write on a read-only handle is denied).
// - Share modes are approximated with flock(): an open that lets others read (and
//   write, when it writes itself) takes a shared flock, any other open an exclusive
//   one; a conflict is a sharing violation.
// - Every handle also holds a read lock on one byte far beyond any 32-bit offset
//   (the presence byte), so that "is this file open through another handle?" has an
//   answer: deleting, renaming or re-creating a file that another handle holds open
//   is refused as Windows refuses it, and nothing is truncated before that check.
// - A handle on a file the system lets us only read cannot take a write lock; it
//   takes a read lock and then checks that no other handle holds any lock on the
//   range, giving the lock back when one does. Two handles can then never both
//   hold a byte, whatever their open modes.
// - Errors are translated to Win32 error numbers; a refused lock is error 33.

#include "engine/core/os_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct LockedRegion {
    uint32_t offset;
    uint32_t length;
};

struct FileState {
    bool open = false;
    uint32_t access = 0;    // kPlatRead / kPlatWrite as asked
    bool writable = false;  // the descriptor itself allows writing
    std::vector<LockedRegion> locks;
};

std::vector<FileState> g_files;  // indexed by descriptor

FileState* state_of(PlatFile f) {
    if (f < 0 || (size_t)f >= g_files.size() || !g_files[f].open) return nullptr;
    return &g_files[f];
}

uint32_t win32_error(int e) {
    switch (e) {
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG: return kErrPathNotFound;
    case EMFILE:
    case ENFILE: return kErrTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrAccessDenied;
    case EROFS: return kErrWriteProtect;
    case EBADF: return kErrInvalidHandle;
    case ENOMEM: return kErrNotEnoughMemory;
    case EEXIST: return kErrFileExists;
    case EINVAL:
    case EOVERFLOW: return kErrInvalidParameter;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    case EAGAIN:
    case EDEADLK: return kErrLockViolation;
    case ENOLCK: return kErrSharingBufferExceeded;
    case EIO: return kErrWriteFault;
    default: return 0x10000u | (uint32_t)e;  // no Win32 twin: keep the errno visible
    }
}

bool fail(uint32_t* error, uint32_t code) {
    if (error) *error = code;
    return false;
}

bool overlaps(const LockedRegion& r, uint32_t offset, uint32_t length) {
    uint64_t a0 = r.offset, a1 = (uint64_t)r.offset + r.length;
    uint64_t b0 = offset, b1 = (uint64_t)offset + length;
    return a0 < b1 && b0 < a1;
}

struct flock byte_range(short type, off_t offset, off_t length) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    return fl;
}

bool ofd_set(int fd, short type, off_t offset, off_t length, uint32_t* error) {
    struct flock fl = byte_range(type, offset, length);
    while (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno == EINTR) continue;
        // EACCES from F_SETLK means "held by someone else" too.
        return fail(error, errno == EACCES ? kErrLockViolation : win32_error(errno));
    }
    return true;
}

// True when a handle other than `fd` holds any lock overlapping the range.
bool locked_by_others(int fd, off_t offset, off_t length) {
    struct flock fl = byte_range(F_WRLCK, offset, length);
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

bool ofd_lock(int fd, short type, uint32_t offset, uint32_t length, bool writable, uint32_t* error) {
    if (type == F_UNLCK || writable) return ofd_set(fd, type == F_UNLCK ? F_UNLCK : F_WRLCK, offset, length, error);
    // Read-only descriptor: a read lock, then make sure nobody else shares it. When
    // two handles race, each sees the other and both give up: never both win.
    if (!ofd_set(fd, F_RDLCK, offset, length, error)) return false;
    if (locked_by_others(fd, offset, length)) {
        uint32_t ignored;
        ofd_set(fd, F_UNLCK, offset, length, &ignored);
        return fail(error, kErrLockViolation);
    }
    return true;
}

// The presence byte: beyond every offset of the 32-bit file formats, so it never
// meets their lock schemes.
const off_t kPresenceByte = (off_t)1 << 40;

bool open_elsewhere(int fd) { return locked_by_others(fd, kPresenceByte, 1); }

// Whether the file `name` is open through any handle (ours included).
bool held_open(const char* name) {
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool held = open_elsewhere(fd);
    close(fd);
    return held;
}

bool is_regular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

PlatFile plat_open(const char* name, uint32_t access_share, bool create, uint32_t* error) {
    uint32_t access = access_share & (kPlatRead | kPlatWrite);
    // Never O_TRUNC here: a file is emptied only once the share checks allowed the
    // open. O_NONBLOCK keeps a FIFO from stalling the open; it is cleared after.
    int flags = O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT : 0);
    int fd = -1;
    bool writable = true;
    if (!create && !(access & kPlatWrite)) {
        // Read-write underneath when allowed (see the top of this file), else read-only.
        fd = open(name, flags | O_RDWR, 0666);
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY)) {
            fd = open(name, flags | O_RDONLY);
            writable = false;
        }
    } else {
        fd = open(name, flags | O_RDWR, 0666);
    }
    if (fd < 0) {
        fail(error, errno == ENXIO ? kErrAccessDenied : win32_error(errno));
        return kPlatInvalidFile;
    }
    // Only regular files are data, index or memo files: a directory, a FIFO or a
    // device is refused as Windows refuses to open them as files.
    if (!is_regular(fd)) {
        close(fd);
        fail(error, kErrAccessDenied);
        return kPlatInvalidFile;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    bool lets_others_read = access_share & kPlatShareRead;
    bool lets_others_write = access_share & kPlatShareWrite;
    bool shared = lets_others_read && (lets_others_write || !(access & kPlatWrite));
    if (flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        fail(error, e == EWOULDBLOCK ? kErrSharingViolation : win32_error(e));
        return kPlatInvalidFile;
    }
    // Re-creating a file that another handle holds open would pull the data from
    // under it: refused, and the file left as it was.
    if (create && open_elsewhere(fd)) {
        close(fd);
        fail(error, kErrSharingViolation);
        return kPlatInvalidFile;
    }
    uint32_t ignored;
    ofd_set(fd, F_RDLCK, kPresenceByte, 1, &ignored);  // best effort: not every file system locks
    if (create) {
        while (ftruncate(fd, 0) != 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            fail(error, win32_error(e));
            return kPlatInvalidFile;
        }
    }
    if ((size_t)fd >= g_files.size()) g_files.resize((size_t)fd + 16);
    FileState& s = g_files[fd];
    s.open = true;
    s.access = access;
    s.writable = writable;
    s.locks.clear();
    return fd;
}

bool plat_open_elsewhere(PlatFile f) { return state_of(f) && open_elsewhere(f); }

bool plat_file_identity(PlatFile f, uint64_t* volume, uint64_t* index) {
    struct stat st;
    if (!state_of(f) || fstat(f, &st) != 0) return false;
    *volume = (uint64_t)st.st_dev;
    *index = (uint64_t)st.st_ino;
    return true;
}

bool plat_close(PlatFile f, uint32_t* error) {
    FileState* s = state_of(f);
    if (!s) return fail(error, kErrInvalidHandle);
    s->open = false;
    s->locks.clear();
    s->locks.shrink_to_fit();
    if (close(f) != 0) return fail(error, win32_error(errno));
    return true;
}

bool plat_read(PlatFile f, void* buf, uint32_t count, uint32_t* got, uint32_t* error) {
    FileState* s = state_of(f);
    *got = 0;
    if (!s) return fail(error, kErrInvalidHandle);
    if (!(s->access & kPlatRead)) return fail(error, kErrAccessDenied);
    ssize_t n;
    do n = read(f, buf, count);
    while (n < 0 && errno == EINTR);
    if (n < 0) return fail(error, errno == EIO ? kErrReadFault : win32_error(errno));
    *got = (uint32_t)n;
    return true;
}

bool plat_write(PlatFile f, const void* buf, uint32_t count, uint32_t* put, uint32_t* error) {
    FileState* s = state_of(f);
    *put = 0;
    if (!s) return fail(error, kErrInvalidHandle);
    if (!(s->access & kPlatWrite) || !s->writable) return fail(error, kErrAccessDenied);
    const char* p = (const char*)buf;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = write(f, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            *put = done;
            return fail(error, win32_error(errno));
        }
        if (n == 0) {
            *put = done;
            return fail(error, kErrDiskFull);
        }
        done += (uint32_t)n;
    }
    *put = done;
    return true;
}

bool plat_read_at(PlatFile f, void* buf, uint32_t count, int64_t offset, uint32_t* got, uint32_t* error) {
    FileState* s = state_of(f);
    *got = 0;
    if (!s) return fail(error, kErrInvalidHandle);
    if (!(s->access & kPlatRead)) return fail(error, kErrAccessDenied);
    while (*got < count) {
        ssize_t n = pread(f, (char*)buf + *got, count - *got, (off_t)(offset + *got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, errno == EIO ? kErrReadFault : win32_error(errno));
        }
        if (n == 0) break;
        *got += (uint32_t)n;
    }
    return true;
}

bool plat_write_at(PlatFile f, const void* buf, uint32_t count, int64_t offset, uint32_t* put, uint32_t* error) {
    FileState* s = state_of(f);
    *put = 0;
    if (!s) return fail(error, kErrInvalidHandle);
    if (!(s->access & kPlatWrite) || !s->writable) return fail(error, kErrAccessDenied);
    while (*put < count) {
        ssize_t n = pwrite(f, (const char*)buf + *put, count - *put, (off_t)(offset + *put));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(error, win32_error(errno));
        }
        if (n == 0) return fail(error, kErrDiskFull);
        *put += (uint32_t)n;
    }
    return true;
}

bool plat_seek(PlatFile f, int64_t offset, int origin, int64_t* pos, uint32_t* error) {
    if (!state_of(f)) return fail(error, kErrInvalidHandle);
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    off_t r = lseek(f, (off_t)offset, whence);
    if (r < 0) return fail(error, errno == EINVAL ? kErrNegativeSeek : win32_error(errno));
    if (pos) *pos = (int64_t)r;
    return true;
}

bool plat_size(PlatFile f, int64_t* size, uint32_t* error) {
    if (!state_of(f)) return fail(error, kErrInvalidHandle);
    struct stat st;
    if (fstat(f, &st) != 0) return fail(error, win32_error(errno));
    *size = (int64_t)st.st_size;
    return true;
}

bool plat_set_size(PlatFile f, int64_t size, uint32_t* error) {
    FileState* s = state_of(f);
    if (!s) return fail(error, kErrInvalidHandle);
    if (!(s->access & kPlatWrite) || !s->writable) return fail(error, kErrAccessDenied);
    while (ftruncate(f, (off_t)size) != 0) {
        if (errno == EINTR) continue;
        return fail(error, win32_error(errno));
    }
    return true;
}

bool plat_flush(PlatFile f, uint32_t* error) {
    if (!state_of(f)) return fail(error, kErrInvalidHandle);
    if (fdatasync(f) != 0 && errno != EINVAL && errno != EROFS) return fail(error, win32_error(errno));
    return true;
}

bool plat_lock(PlatFile f, uint32_t offset, uint32_t length, uint32_t* error) {
    FileState* s = state_of(f);
    if (!s) return fail(error, kErrInvalidHandle);
    if (length == 0) return fail(error, kErrInvalidParameter);
    for (const LockedRegion& r : s->locks)
        if (overlaps(r, offset, length)) return fail(error, kErrLockViolation);
    if (!ofd_lock(f, F_WRLCK, offset, length, s->writable, error)) return false;
    s->locks.push_back({offset, length});
    return true;
}

bool plat_unlock(PlatFile f, uint32_t offset, uint32_t length, uint32_t* error) {
    FileState* s = state_of(f);
    if (!s) return fail(error, kErrInvalidHandle);
    for (size_t i = 0; i < s->locks.size(); i++) {
        if (s->locks[i].offset == offset && s->locks[i].length == length) {
            if (!ofd_lock(f, F_UNLCK, offset, length, s->writable, error)) return false;
            s->locks.erase(s->locks.begin() + (long)i);
            return true;
        }
    }
    return fail(error, kErrNotLocked);
}

bool plat_delete(const char* name, uint32_t* error) {
    struct stat st;
    if (stat(name, &st) != 0) {
        if (errno != EACCES) return fail(error, win32_error(errno));
    } else if (S_ISDIR(st.st_mode)) {
        return fail(error, kErrAccessDenied);
    }
    // A handle that holds the file open keeps it, as on Windows.
    if (held_open(name)) return fail(error, kErrSharingViolation);
    if (unlink(name) != 0) return fail(error, win32_error(errno));
    return true;
}

bool plat_exists(const char* name) {
    struct stat st;
    return stat(name, &st) == 0 && !S_ISDIR(st.st_mode);
}

bool plat_rename(const char* old_name, const char* new_name, int* runtime_error) {
    // A file open through some handle cannot be renamed on Windows (the runtime
    // reports the sharing violation as EACCES); keep that rule here, or that
    // handle's later writes would land in a file that no longer has the name.
    if (held_open(old_name)) {
        *runtime_error = EACCES;
        return false;
    }
    if (renameat2(AT_FDCWD, old_name, AT_FDCWD, new_name, RENAME_NOREPLACE) == 0) return true;
    int e = errno;
    if (e == EINVAL || e == ENOSYS) {
        // File systems without RENAME_NOREPLACE: check the target, then rename.
        if (plat_exists(new_name)) {
            *runtime_error = EEXIST;
            return false;
        }
        if (rename(old_name, new_name) == 0) return true;
        e = errno;
    }
    *runtime_error = e == EPERM ? EACCES : e;
    return false;
}

namespace {

// Makes a finished rename survive a power loss: the directory entry is flushed.
void flush_directory_of(const char* path) {
    std::string dir(path);
    size_t cut = dir.find_last_of('/');
    dir = cut == std::string::npos ? "." : cut == 0 ? "/" : dir.substr(0, cut);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// A copy of `from` as `to` (for file systems without hard links), flushed.
bool copy_file(const char* from, const char* to, uint32_t* error) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail(error, win32_error(errno));
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        int e = errno;
        close(in);
        return fail(error, win32_error(e));
    }
    char buf[1 << 16];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(out, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) ok = false;
            else done += w;
        }
        if (!ok) break;
    }
    int e = errno;
    if (ok && fdatasync(out) != 0) ok = false;
    close(in);
    close(out);
    if (!ok) {
        unlink(to);
        return fail(error, win32_error(e ? e : EIO));
    }
    return true;
}

}  // namespace

bool plat_replace(const char* source, const char* target, const char* backup, uint32_t* error) {
    if (held_open(source) || held_open(target)) return fail(error, kErrSharingViolation);
    struct stat st;
    if (stat(source, &st) != 0) return fail(error, win32_error(errno));
    if (backup) {
        if (unlink(backup) != 0 && errno != ENOENT) return fail(error, win32_error(errno));
        if (link(target, backup) != 0) {
            if (errno == ENOENT) return fail(error, kErrFileNotFound);
            if (!copy_file(target, backup, error)) return false;  // no hard links here
        }
    }
    if (rename(source, target) != 0) return fail(error, win32_error(errno));
    flush_directory_of(target);
    return true;
}

void plat_reserve_handles(int count) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    rlim_t want = (rlim_t)count + 64;
    if (rl.rlim_cur >= want) return;
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= want ? want : rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

uintptr_t plat_process_tag() { return (uintptr_t)getpid(); }

void plat_local_date(int* year, int* month, int* day, int* weekday) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    *year = tm.tm_year + 1900;
    *month = tm.tm_mon + 1;
    *day = tm.tm_mday;
    *weekday = tm.tm_wday;
}

const char* plat_profile_path(const char* file, char* out, unsigned cap) {
    // A bare name is looked for in $QXDB_INI_DIR when it is set, else in the current
    // directory (Windows would look in its own directory; there is none here).
    if (strchr(file, '/') || strchr(file, '\\')) {
        snprintf(out, cap, "%s", file);
        return out;
    }
    const char* dir = getenv("QXDB_INI_DIR");
    if (dir && *dir)
        snprintf(out, cap, "%s/%s", dir, file);
    else
        snprintf(out, cap, "%s", file);
    return out;
}

// Anonymous mappings come zeroed; transparent huge pages are asked for where the
// system leaves them to the program.
void* plat_large_alloc(size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return p;
}

void plat_large_free(void* memory, size_t bytes) {
    if (memory) munmap(memory, bytes ? bytes : 1);
}
