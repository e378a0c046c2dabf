// Windows side of the platform seam: the Win32 calls themselves, whose rules the
// POSIX side imitates (byte-range locks that belong to the handle, never stack and
// unlock only exact ranges; share modes; the sharing violation).
//
// A platform file is a small index into this file's table of HANDLEs (a HANDLE
// does not fit the 32-bit slot of the system handle table on 64-bit Windows).
//
// Not here yet, known: whether another handle holds a file open has no cheap
// answer on Windows (plat_open_elsewhere answers false); the system itself then
// refuses the rename or replacement of a file open elsewhere, and the callers
// leave the files as they were when it does.

#include "engine/core/os_platform.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<HANDLE> g_handles;  // by platform file; INVALID_HANDLE_VALUE when free

HANDLE handle_of(PlatFile f) {
    if (f < 0 || (size_t)f >= g_handles.size()) return INVALID_HANDLE_VALUE;
    return g_handles[(size_t)f];
}

PlatFile keep(HANDLE h) {
    for (size_t i = 0; i < g_handles.size(); i++)
        if (g_handles[i] == INVALID_HANDLE_VALUE) {
            g_handles[i] = h;
            return (PlatFile)i;
        }
    g_handles.push_back(h);
    return (PlatFile)(g_handles.size() - 1);
}

bool fail(uint32_t* error, uint32_t code) {
    if (error) *error = code;
    return false;
}

bool last_error(uint32_t* error) { return fail(error, (uint32_t)GetLastError()); }

// Positioned transfers leave the file position where it was.
struct KeepPosition {
    HANDLE h;
    LARGE_INTEGER at;
    bool ok;
    explicit KeepPosition(HANDLE handle) : h(handle) {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        ok = SetFilePointerEx(h, zero, &at, FILE_CURRENT) != 0;
    }
    ~KeepPosition() {
        if (ok) SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
    }
};

OVERLAPPED at_offset(int64_t offset) {
    OVERLAPPED o;
    memset(&o, 0, sizeof o);
    o.Offset = (DWORD)(offset & 0xFFFFFFFF);
    o.OffsetHigh = (DWORD)((uint64_t)offset >> 32);
    return o;
}

}  // namespace

PlatFile plat_open(const char* name, uint32_t access_share, bool create, uint32_t* error) {
    DWORD access = 0, share = 0;
    if (access_share & kPlatRead) access |= GENERIC_READ;
    if (access_share & kPlatWrite) access |= GENERIC_WRITE;
    if (access_share & kPlatShareRead) share |= FILE_SHARE_READ;
    if (access_share & kPlatShareWrite) share |= FILE_SHARE_WRITE;
    UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS);
    if (create) {
        // CREATE_ALWAYS would empty a file that a handle sharing writes holds open:
        // a file anybody holds is not created anew.
        HANDLE probe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD probe_error = GetLastError();
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
        } else if (probe_error == ERROR_SHARING_VIOLATION || probe_error == ERROR_LOCK_VIOLATION) {
            SetErrorMode(old_mode);
            fail(error, (uint32_t)probe_error);
            return kPlatInvalidFile;
        }
    }
    HANDLE h = CreateFileA(name, access, share, nullptr, create ? CREATE_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    DWORD e = GetLastError();
    SetErrorMode(old_mode);
    if (h == INVALID_HANDLE_VALUE) {
        fail(error, (uint32_t)e);
        return kPlatInvalidFile;
    }
    // Only files on a disk are data, index or memo files (not devices or pipes).
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        fail(error, kErrAccessDenied);
        return kPlatInvalidFile;
    }
    return keep(h);
}

bool plat_close(PlatFile f, uint32_t* error) {
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    g_handles[(size_t)f] = INVALID_HANDLE_VALUE;
    if (!CloseHandle(h)) return last_error(error);
    return true;
}

bool plat_read(PlatFile f, void* buf, uint32_t count, uint32_t* got, uint32_t* error) {
    *got = 0;
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    DWORD n = 0;
    if (!ReadFile(h, buf, count, &n, nullptr)) return last_error(error);
    *got = n;
    return true;
}

bool plat_write(PlatFile f, const void* buf, uint32_t count, uint32_t* put, uint32_t* error) {
    *put = 0;
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    DWORD n = 0;
    if (!WriteFile(h, buf, count, &n, nullptr)) {
        *put = n;
        return last_error(error);
    }
    *put = n;
    return n == count ? true : fail(error, kErrDiskFull);
}

bool plat_read_at(PlatFile f, void* buf, uint32_t count, int64_t offset, uint32_t* got, uint32_t* error) {
    *got = 0;
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    KeepPosition keep_position(h);
    while (*got < count) {
        OVERLAPPED o = at_offset(offset + *got);
        DWORD n = 0;
        if (!ReadFile(h, (char*)buf + *got, count - *got, &n, &o)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return last_error(error);
        }
        if (n == 0) break;
        *got += n;
    }
    return true;
}

bool plat_write_at(PlatFile f, const void* buf, uint32_t count, int64_t offset, uint32_t* put, uint32_t* error) {
    *put = 0;
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    KeepPosition keep_position(h);
    while (*put < count) {
        OVERLAPPED o = at_offset(offset + *put);
        DWORD n = 0;
        if (!WriteFile(h, (const char*)buf + *put, count - *put, &n, &o)) return last_error(error);
        if (n == 0) return fail(error, kErrDiskFull);
        *put += n;
    }
    return true;
}

bool plat_seek(PlatFile f, int64_t offset, int origin, int64_t* pos, uint32_t* error) {
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    LARGE_INTEGER to, now;
    to.QuadPart = offset;
    DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    if (!SetFilePointerEx(h, to, &now, method)) return last_error(error);
    if (pos) *pos = now.QuadPart;
    return true;
}

bool plat_size(PlatFile f, int64_t* size, uint32_t* error) {
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    LARGE_INTEGER bytes;
    if (!GetFileSizeEx(h, &bytes)) return last_error(error);
    *size = bytes.QuadPart;
    return true;
}

bool plat_set_size(PlatFile f, int64_t size, uint32_t* error) {
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    LARGE_INTEGER to;
    to.QuadPart = size;
    if (!SetFilePointerEx(h, to, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) return last_error(error);
    return true;
}

bool plat_flush(PlatFile f, uint32_t* error) {
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    // A handle opened for reading only cannot be flushed; there is nothing to flush.
    if (!FlushFileBuffers(h) && GetLastError() != ERROR_ACCESS_DENIED) return last_error(error);
    return true;
}

bool plat_lock(PlatFile f, uint32_t offset, uint32_t length, uint32_t* error) {
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    if (!LockFile(h, offset, 0, length, 0)) return last_error(error);
    return true;
}

bool plat_unlock(PlatFile f, uint32_t offset, uint32_t length, uint32_t* error) {
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE) return fail(error, kErrInvalidHandle);
    if (!UnlockFile(h, offset, 0, length, 0)) return last_error(error);
    return true;
}

bool plat_delete(const char* name, uint32_t* error) {
    if (!DeleteFileA(name)) return last_error(error);
    return true;
}

bool plat_open_elsewhere(PlatFile) { return false; }

bool plat_file_identity(PlatFile f, uint64_t* volume, uint64_t* index) {
    HANDLE h = handle_of(f);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return false;
    *volume = info.dwVolumeSerialNumber;
    *index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return true;
}

bool plat_exists(const char* name) {
    DWORD a = GetFileAttributesA(name);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool plat_rename(const char* old_name, const char* new_name, int* runtime_error) {
    if (MoveFileA(old_name, new_name)) return true;
    // As the C runtime reports it.
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: *runtime_error = ENOENT; break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: *runtime_error = EEXIST; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: *runtime_error = EACCES; break;
    default: *runtime_error = EIO; break;
    }
    return false;
}

bool plat_replace(const char* source, const char* target, const char* backup, uint32_t* error) {
    if (backup) {
        if (!DeleteFileA(backup) && GetLastError() != ERROR_FILE_NOT_FOUND) return last_error(error);
        // The target takes the source's place; the old target becomes the backup.
        if (!ReplaceFileA(target, source, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return last_error(error);
        return true;
    }
    if (!MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return last_error(error);
    return true;
}

void plat_reserve_handles(int) {}  // Win32 gives handles as needed

uintptr_t plat_process_tag() { return (uintptr_t)GetCurrentProcessId(); }

void plat_local_date(int* year, int* month, int* day, int* weekday) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    *year = t.wYear;
    *month = t.wMonth;
    *day = t.wDay;
    *weekday = t.wDayOfWeek;
}

const char* plat_profile_path(const char* file, char* out, unsigned cap) {
    // A bare name is looked for in %QXDB_INI_DIR% when it is set, else in the
    // current directory.
    if (strchr(file, '/') || strchr(file, '\\')) {
        snprintf(out, cap, "%s", file);
        return out;
    }
    const char* dir = getenv("QXDB_INI_DIR");
    if (dir && *dir) snprintf(out, cap, "%s\\%s", dir, file);
    else snprintf(out, cap, "%s", file);
    return out;
}

// VirtualAlloc memory comes zeroed (large pages would need a privilege the host's
// users rarely hold).
void* plat_large_alloc(size_t bytes) {
    return VirtualAlloc(nullptr, bytes ? bytes : 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void plat_large_free(void* memory, size_t bytes) {
    (void)bytes;
    if (memory) VirtualFree(memory, 0, MEM_RELEASE);
}
