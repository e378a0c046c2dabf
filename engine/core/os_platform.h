#pragma once
// The platform seam under the operating-system layer: raw files, byte-range locks
// and private-profile reads, one small implementation file per platform
// (os_posix.cpp here). Every call keeps Win32 semantics: errors are Win32 error
// numbers, byte-range locks belong to the file handle and never stack, a handle
// opened without sharing keeps other opens out.

#include <cstddef>
#include <cstdint>

// A platform file: a file descriptor on POSIX, a HANDLE on Windows. Fits in the
// 32-bit slot of the system handle table.
typedef int32_t PlatFile;
const PlatFile kPlatInvalidFile = -1;

// Win32 error numbers that the layers above look at.
enum : uint32_t {
    kErrInvalidFunction = 1,
    kErrFileNotFound = 2,
    kErrPathNotFound = 3,
    kErrTooManyOpenFiles = 4,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrNotEnoughMemory = 8,
    kErrWriteProtect = 19,
    kErrWriteFault = 29,
    kErrReadFault = 30,
    kErrSharingViolation = 32,
    kErrLockViolation = 33,
    kErrSharingBufferExceeded = 36,
    kErrHandleEof = 38,
    kErrFileExists = 80,
    kErrInvalidParameter = 87,
    kErrDiskFull = 112,
    kErrNegativeSeek = 131,
    kErrNotLocked = 158,
    kErrSignalPending = 162,
    kErrAlreadyExists = 183,
    kErrIoPending = 997,
};

// Access and sharing of an open, in the layer's own flag values.
enum : uint32_t {
    kPlatRead = 0x0001,
    kPlatWrite = 0x0002,
    kPlatShareRead = 0x0004,
    kPlatShareWrite = 0x0008,
};

// Opens or creates `name`. `create` replaces any old file. Returns kPlatInvalidFile
// and sets *error on failure.
PlatFile plat_open(const char* name, uint32_t access_share, bool create, uint32_t* error);
bool plat_close(PlatFile f, uint32_t* error);
// Reads up to `count` bytes; *got receives what was read (0 at end of file).
bool plat_read(PlatFile f, void* buf, uint32_t count, uint32_t* got, uint32_t* error);
bool plat_write(PlatFile f, const void* buf, uint32_t count, uint32_t* put, uint32_t* error);
// origin 0 begin, 1 current, 2 end.
// Positioned transfers: at `offset`, without moving the file position.
bool plat_read_at(PlatFile f, void* buf, uint32_t count, int64_t offset, uint32_t* got, uint32_t* error);
bool plat_write_at(PlatFile f, const void* buf, uint32_t count, int64_t offset, uint32_t* put, uint32_t* error);
bool plat_seek(PlatFile f, int64_t offset, int origin, int64_t* pos, uint32_t* error);
bool plat_set_size(PlatFile f, int64_t size, uint32_t* error);
// The file's size, the file position left where it is.
bool plat_size(PlatFile f, int64_t* size, uint32_t* error);
bool plat_flush(PlatFile f, uint32_t* error);
bool plat_lock(PlatFile f, uint32_t offset, uint32_t length, uint32_t* error);
bool plat_unlock(PlatFile f, uint32_t offset, uint32_t length, uint32_t* error);
// Refused with a sharing violation while any handle holds the file open.
bool plat_delete(const char* name, uint32_t* error);
// Whether another handle (of this process or another) holds the file of `f` open.
bool plat_open_elsewhere(PlatFile f);
// Identifies the file behind a handle (device and inode, or volume and file index),
// so that handles on one file can be recognised whatever names they were opened by.
bool plat_file_identity(PlatFile f, uint64_t* volume, uint64_t* index);
bool plat_exists(const char* name);
// Memory for large work buffers (sorts), zeroed, in the largest pages the system
// offers: first touches of fresh memory then cost a fault per large page instead
// of one per 4 KiB. Null when the memory is not there.
void* plat_large_alloc(size_t bytes);
void plat_large_free(void* memory, size_t bytes);
// Renames without replacing an existing target; refused (EACCES) while any handle
// holds the old file open. The error is a C runtime error
// number (ENOENT, EACCES, EEXIST ...), as the runtime's rename reports it.
bool plat_rename(const char* old_name, const char* new_name, int* runtime_error);
// Puts `source` in the place of `target` in one step, so that `target` always
// names a whole file, the old one or the new one (ReplaceFile on Windows). When
// `backup` is given, the old target stays reachable under that name (an existing
// file of that name is replaced). Refused (sharing violation) while any handle
// holds `target` or `source` open. Errors are Win32 error numbers.
bool plat_replace(const char* source, const char* target, const char* backup, uint32_t* error);
// Ask the system for room for `count` open files (a hint; never fails).
void plat_reserve_handles(int count);
// Today in local time: year, month 1..12, day, weekday 0 (Sunday) .. 6.
void plat_local_date(int* year, int* month, int* day, int* weekday);
// A value identifying the current process.
uintptr_t plat_process_tag();

// Private-profile files: where a bare file name is looked for. Writes the full path
// into `out` (size `cap`) and returns it.
const char* plat_profile_path(const char* file, char* out, unsigned cap);
