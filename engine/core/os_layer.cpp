// The portable half of the operating-system layer: the system handle table and
// the last-error rule. The platform calls themselves are in os_<platform>.cpp.
//
// System handle table: 1026 entries of 8 bytes, {next, previous, platform file}.
//   entry 0      header: next = first free entry, previous = last free entry,
//                file = capacity (1024)
//   entry 1      head of the circular list of entries in use
//   entries 2..  the handles given out; free ones carry the file value all ones and
//                sit on the free list (0 ends it in both directions)
// Taking and giving back a handle are constant time; a freed handle is the next one
// given out.
//
// Beside the table, each handle knows which file it is on (the platform's file
// identity) and shares with every other handle on that file a write generation:
// a count raised by every write, size change or flush-less truncation through any
// of them. Caches of file contents (read-ahead, index pages) remember the
// generation they were filled at and are valid only while it has not moved.

#include "engine/core/os.h"

#include "engine/core/os_platform.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

struct Entry {
    uint16_t next;
    uint16_t prev;
    uint32_t file;
};
static_assert(sizeof(Entry) == 8, "system handle entries are 8 bytes");

const uint16_t kCapacity = 1024;
const uint32_t kFreeMark = 0xFFFFFFFFu;

Entry* g_table = nullptr;

struct SharedFile {
    uint64_t volume = 0, index = 0;
    uint32_t handles = 0;  // 0: the record is free
    uint32_t generation = 0;
};
std::vector<SharedFile> g_shared;
int32_t g_file_of[kCapacity + 2];  // index into g_shared per handle, -1 when unknown
uint32_t g_own_generation[kCapacity + 2];  // for handles whose file has no identity
uint32_t g_generation_seed = 0;     // new records start past every earlier generation
int g_use_count = 0;
uint32_t g_last_error = 0;

uint32_t g_fault_nth = 0, g_fault_seen = 0;
int g_fault_action = 0;
int g_runtime_error = 0;

// Counts a change to the file system; true when the armed fault strikes it.
bool fault_strikes() {
    g_fault_seen++;
    if (g_fault_nth == 0 || g_fault_seen < g_fault_nth) return false;
    if (g_fault_action == OSL_FAULT_FREEZE) return true;  // that change and every later one
    if (g_fault_seen != g_fault_nth) return false;
    if (g_fault_action == OSL_FAULT_EXIT) _Exit(OSL_FAULT_EXIT_CODE);
    return true;
}

int ok() {
    g_last_error = 0;
    return 1;
}

int failed(uint32_t error) {
    // A sharing violation is reported as a missing file, as callers expect of it.
    g_last_error = error == kErrSharingViolation ? kErrFileNotFound : error;
    return 0;
}

void build_table() {
    g_table = (Entry*)calloc(kCapacity + 2, sizeof(Entry));
    if (!g_table) return;
    g_table[0].next = 2;
    g_table[0].prev = kCapacity + 1;
    g_table[0].file = kCapacity;
    g_table[1].next = 1;
    g_table[1].prev = 1;
    for (uint16_t i = 2; i < kCapacity + 2; i++) {
        g_table[i].prev = i == 2 ? 0 : (uint16_t)(i - 1);
        g_table[i].next = i == kCapacity + 1 ? 0 : (uint16_t)(i + 1);
        g_table[i].file = kFreeMark;
    }
}

uint16_t take_handle(PlatFile file) {
    if (!g_table || g_table[0].next == 0) return OSL_NO_HANDLE;
    uint16_t h = g_table[0].next;
    Entry& e = g_table[h];
    g_table[0].next = e.next;
    if (e.next) g_table[e.next].prev = 0;
    else g_table[0].prev = 0;
    e.next = g_table[1].next;
    e.prev = 1;
    g_table[g_table[1].next].prev = h;
    g_table[1].next = h;
    e.file = (uint32_t)file;
    return h;
}

bool in_use(uint16_t h) {
    return g_table && h >= 2 && h < kCapacity + 2 && g_table[h].file != kFreeMark;
}

bool give_back(uint16_t h) {
    if (!in_use(h)) return false;
    Entry& e = g_table[h];
    g_table[e.prev].next = e.next;
    g_table[e.next].prev = e.prev;
    e.prev = 0;
    e.next = g_table[0].next;
    if (e.next) g_table[e.next].prev = h;
    else g_table[0].prev = h;
    g_table[0].next = h;
    e.file = kFreeMark;
    return true;
}

PlatFile lookup(uint16_t h) { return in_use(h) ? (PlatFile)g_table[h].file : kPlatInvalidFile; }

void attach_identity(uint16_t h, PlatFile f) {
    g_file_of[h] = -1;
    g_own_generation[h] = ++g_generation_seed;
    uint64_t volume, index;
    if (!plat_file_identity(f, &volume, &index)) return;
    size_t free_slot = g_shared.size();
    for (size_t i = 0; i < g_shared.size(); i++) {
        SharedFile& r = g_shared[i];
        if (r.handles && r.volume == volume && r.index == index) {
            r.handles++;
            g_file_of[h] = (int32_t)i;
            return;
        }
        if (!r.handles && free_slot == g_shared.size()) free_slot = i;
    }
    if (free_slot == g_shared.size()) g_shared.emplace_back();
    SharedFile& r = g_shared[free_slot];
    r.volume = volume;
    r.index = index;
    r.handles = 1;
    // A file closed and opened again must not look unchanged to a cache that
    // outlived the first handle: start beyond every generation given so far.
    r.generation = ++g_generation_seed;
    g_file_of[h] = (int32_t)free_slot;
}

void detach_identity(uint16_t h) {
    int32_t i = g_file_of[h];
    g_file_of[h] = -1;
    if (i >= 0 && g_shared[(size_t)i].handles) g_shared[(size_t)i].handles--;
}

void note_write(uint16_t h) {
    int32_t i = g_file_of[h];
    if (i >= 0) g_shared[(size_t)i].generation = ++g_generation_seed;
    else g_own_generation[h] = ++g_generation_seed;
}

int open_file(const char* name, uint16_t flags, bool create, uint16_t* handle) {
    *handle = OSL_NO_HANDLE;
    uint32_t access_share = flags & (OSL_READ | OSL_WRITE);
    if (flags & OSL_SHARE_ALL) access_share |= kPlatShareRead | kPlatShareWrite;
    if (flags & OSL_SHARE_READ) access_share |= kPlatShareRead;
    if (flags & OSL_SHARE_WRITE) access_share |= kPlatShareWrite;
    uint32_t error = 0;
    if (create && fault_strikes()) return failed(kErrDiskFull);
    PlatFile f = plat_open(name, access_share, create, &error);
    if (f == kPlatInvalidFile) return failed(error);
    uint16_t h = take_handle(f);
    if (h == OSL_NO_HANDLE) {
        plat_close(f, &error);
        return failed(kErrTooManyOpenFiles);
    }
    attach_identity(h, f);
    *handle = h;
    return ok();
}

}  // namespace

int osl_init() {
    if (g_use_count == 0) {
        build_table();
        if (!g_table) return failed(kErrNotEnoughMemory);
        for (int32_t& i : g_file_of) i = -1;
        g_shared.clear();
        plat_reserve_handles(kCapacity);
    }
    g_use_count++;
    return ok();
}

int osl_term() {
    if (g_use_count == 0) return ok();
    if (--g_use_count > 0) return ok();
    // Nothing may outlive the layer: close whatever the engine left open.
    uint32_t error;
    for (uint16_t h = 2; g_table && h < kCapacity + 2; h++)
        if (g_table[h].file != kFreeMark) plat_close((PlatFile)g_table[h].file, &error);
    free(g_table);
    g_table = nullptr;
    return ok();
}

int osl_create(const char* name, uint16_t* handle) {
    return open_file(name, OSL_READ | OSL_WRITE | OSL_SHARE_ALL, true, handle);
}

int osl_open(const char* name, uint16_t flags, uint16_t* handle) {
    return open_file(name, flags | OSL_OPEN_EXISTING, false, handle);
}

int osl_close(uint16_t handle) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    detach_identity(handle);
    give_back(handle);
    uint32_t error = 0;
    if (!plat_close(f, &error)) return failed(error);
    return ok();
}

int osl_delete(const char* name) {
    uint32_t error = 0;
    if (fault_strikes()) return failed(kErrWriteFault);
    if (!plat_delete(name, &error)) return failed(error);
    return ok();
}

int osl_read(uint16_t handle, void* buf, uint32_t count, uint32_t* got) {
    PlatFile f = lookup(handle);
    if (got) *got = 0;
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    uint32_t total = 0, error = 0;
    // A read may come back short while the system still has the rest pending.
    while (total < count) {
        uint32_t n = 0;
        if (!plat_read(f, (char*)buf + total, count - total, &n, &error)) {
            if (error == kErrIoPending || error == kErrSignalPending) continue;
            if (got) *got = total;
            return failed(error);
        }
        if (n == 0) break;
        total += n;
    }
    if (got) *got = total;
    if (!got && total != count) return failed(kErrHandleEof);
    return ok();
}

int osl_write(uint16_t handle, const void* buf, uint32_t count) {
    if (buf && count == 0) return ok();
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    uint32_t put = 0, error = 0;
    if (fault_strikes()) return failed(kErrDiskFull);
    note_write(handle);  // even a failed write may have changed some bytes
    if (!plat_write(f, buf, count, &put, &error)) return failed(error);
    if (put != count) return failed(kErrDiskFull);
    return ok();
}

int osl_read_at(uint16_t handle, void* buf, uint32_t count, uint32_t offset, uint32_t* got) {
    PlatFile f = lookup(handle);
    *got = 0;
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    uint32_t error = 0;
    if (!plat_read_at(f, buf, count, offset, got, &error)) return failed(error);
    return ok();
}

int osl_write_at(uint16_t handle, const void* buf, uint32_t count, uint32_t offset) {
    if (buf && count == 0) return ok();
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    if ((uint64_t)offset + count > 0xFFFFFFFFull) return failed(kErrInvalidParameter);  // 32-bit files
    uint32_t put = 0, error = 0;
    if (fault_strikes()) return failed(kErrDiskFull);
    note_write(handle);
    if (!plat_write_at(f, buf, count, offset, &put, &error)) return failed(error);
    return ok();
}

int osl_seek(uint16_t handle, int32_t offset, int origin, uint32_t* new_pos) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    if (origin < 0 || origin > 2) return failed(kErrInvalidParameter);
    int64_t pos = 0;
    uint32_t error = 0;
    // Offsets from the start are unsigned 32-bit file positions.
    int64_t off = origin == 0 ? (int64_t)(uint32_t)offset : (int64_t)offset;
    if (!plat_seek(f, off, origin, &pos, &error)) return failed(error);
    if (pos > 0xFFFFFFFFll) return failed(kErrInvalidParameter);
    if (new_pos) *new_pos = (uint32_t)pos;
    return ok();
}

int osl_size(uint16_t handle, uint32_t* size) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    int64_t bytes = 0;
    uint32_t error = 0;
    if (!plat_size(f, &bytes, &error)) return failed(error);
    if (bytes > 0xFFFFFFFFll) return failed(kErrInvalidParameter);
    *size = (uint32_t)bytes;
    return ok();
}

int osl_set_eof(uint16_t handle, uint32_t size) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    uint32_t error = 0;
    if (fault_strikes()) return failed(kErrDiskFull);
    note_write(handle);
    if (!plat_set_size(f, size, &error)) return failed(error);
    return ok();
}

int osl_flush(uint16_t handle) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    uint32_t error = 0;
    if (fault_strikes()) return failed(kErrWriteFault);
    if (!plat_flush(f, &error)) return failed(error);
    return ok();
}

int osl_lock(uint16_t handle, uint32_t offset, uint32_t length) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    uint32_t error = 0;
    if (!plat_lock(f, offset, length, &error)) return failed(error);
    return ok();
}

int osl_unlock(uint16_t handle, uint32_t offset, uint32_t length) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return failed(kErrInvalidHandle);
    uint32_t error = 0;
    if (!plat_unlock(f, offset, length, &error)) return failed(error);
    return ok();
}

uint32_t osl_last_error() { return g_last_error; }

void* osl_large_alloc(size_t bytes) { return plat_large_alloc(bytes); }
void osl_large_free(void* memory, size_t bytes) { plat_large_free(memory, bytes); }

int osl_handles_in_use() {
    if (!g_table) return 0;
    int n = 0;
    for (uint16_t h = g_table[1].next; h != 1; h = g_table[h].next) n++;
    return n;
}

uint32_t osl_write_generation(uint16_t handle) {
    if (!in_use(handle)) return 0;
    if (g_file_of[handle] < 0) return g_own_generation[handle];
    return g_shared[(size_t)g_file_of[handle]].generation;
}

int osl_open_elsewhere(uint16_t handle) {
    PlatFile f = lookup(handle);
    if (f == kPlatInvalidFile) return 0;
    // Another handle of this process on the same file is known here on every
    // platform; other processes are the platform's to tell.
    const int32_t i = g_file_of[handle];
    if (i >= 0 && g_shared[(size_t)i].handles > 1) return 1;
    return plat_open_elsewhere(f) ? 1 : 0;
}

int osl_rename(const char* old_name, const char* new_name) {
    g_runtime_error = 0;
    if (fault_strikes()) {
        g_runtime_error = EIO;
        return failed(kErrWriteFault);
    }
    int e = 0;
    if (plat_rename(old_name, new_name, &e)) return ok();
    g_runtime_error = e;
    return failed(e == ENOENT ? kErrFileNotFound : e == EACCES ? kErrAccessDenied : kErrWriteFault);
}

int osl_replace(const char* source, const char* target, const char* backup) {
    if (fault_strikes()) return failed(kErrWriteFault);
    uint32_t error = 0;
    if (!plat_replace(source, target, backup, &error)) return failed(error);
    return ok();
}

int osl_last_runtime_error() { return g_runtime_error; }

void osl_fault_arm(uint32_t nth, int action) {
    g_fault_nth = nth;
    g_fault_action = action;
    g_fault_seen = 0;
}

uint32_t osl_fault_changes() { return g_fault_seen; }
