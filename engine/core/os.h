#pragma once
// The operating-system layer: the engine's own small-integer file handles over the
// platform's files, and the last system error. Every call answers 1 for success and
// 0 for failure, leaving the Win32 error number in osl_last_error() (0 after any
// call that succeeded).

#include <cstddef>
#include <cstdint>

// System open flags.
enum : uint16_t {
    OSL_READ = 0x0001,
    OSL_WRITE = 0x0002,
    OSL_SHARE_READ = 0x0004,
    OSL_SHARE_WRITE = 0x0008,
    OSL_SHARE_ALL = 0x0020,
    OSL_OPEN_EXISTING = 0x8000,
};

const uint16_t OSL_NO_HANDLE = 0xFFFF;

// Counted: the first call builds the handle table, later ones only count.
int osl_init();
int osl_term();

int osl_create(const char* name, uint16_t* handle);
int osl_open(const char* name, uint16_t flags, uint16_t* handle);
int osl_close(uint16_t handle);
int osl_delete(const char* name);
// Renames without replacing (the error is a C runtime error number, see
// osl_last_runtime_error); and puts `source` in the place of `target` in one step,
// keeping the old target as `backup` when one is named (see plat_replace).
int osl_rename(const char* old_name, const char* new_name);
int osl_replace(const char* source, const char* target, const char* backup);
int osl_last_runtime_error();
int osl_read(uint16_t handle, void* buf, uint32_t count, uint32_t* got);
int osl_write(uint16_t handle, const void* buf, uint32_t count);
// Positioned transfers (the file position is left alone). A read may come back
// short at the end of the file; *got says how much.
int osl_read_at(uint16_t handle, void* buf, uint32_t count, uint32_t offset, uint32_t* got);
int osl_write_at(uint16_t handle, const void* buf, uint32_t count, uint32_t offset);
// origin 0 begin, 1 current, 2 end; any other origin fails.
int osl_seek(uint16_t handle, int32_t offset, int origin, uint32_t* new_pos);
int osl_set_eof(uint16_t handle, uint32_t size);
// The file's size in one call (the position unmoved); a size past 32-bit
// positions fails with the invalid-parameter error.
int osl_size(uint16_t handle, uint32_t* size);
int osl_flush(uint16_t handle);
int osl_lock(uint16_t handle, uint32_t offset, uint32_t length);
int osl_unlock(uint16_t handle, uint32_t offset, uint32_t length);
uint32_t osl_last_error();
// Large work buffers (see plat_large_alloc): zeroed, freed with their size.
void* osl_large_alloc(size_t bytes);
void osl_large_free(void* memory, size_t bytes);

// The write generation of the file behind a handle: it moves with every write or
// size change through any handle of this process on that file, and is never the
// same for two opens of a file. When the system gives no identity for the file,
// only the handle's own writes move it.
uint32_t osl_write_generation(uint16_t handle);
// 1 when another handle, of this process or another, holds the file open.
int osl_open_elsewhere(uint16_t handle);

// Test switch: faults at the operating-system seam, the way the best embedded
// databases test themselves. Every change to the file system is counted (writes,
// size changes, flushes, creates, deletes, renames); the `nth` one after arming
// (1-based) fails as a full disk would, or ends the process at once, before it
// happens, as a kill between two writes would; or fails it and every change after
// it, which leaves the files as that kill would while the process goes on (for
// systems where a test cannot fork). 0 disarms.
enum : int { OSL_FAULT_FAIL = 1, OSL_FAULT_EXIT = 2, OSL_FAULT_FREEZE = 3 };
const int OSL_FAULT_EXIT_CODE = 86;
void osl_fault_arm(uint32_t nth, int action);
// Changes counted since the last arming.
uint32_t osl_fault_changes();

// Number of system handles in use (for tests and diagnostics).
int osl_handles_in_use();
