#pragma once
// The engine frame: the process-wide context, the handle table shared by every file
// kind, the status convention, and the memory and file primitives the file formats
// are built on.
//
// Status convention: every engine operation first looks at the last status; while
// it is negative (an error nobody has reset), the operation does nothing and returns
// it. An operation records a status only when it has something to report and ends
// by returning the last status, so callers set the status to 0 before each call.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

// File kinds of the handle table.
enum : uint8_t {
    XDB_KIND_FREE = 0,
    XDB_KIND_DBF = 1,
    XDB_KIND_NDX = 2,
    XDB_KIND_DBT = 3,
    XDB_KIND_FPT = 4,
    XDB_KIND_MDX = 5,
    XDB_KIND_IDX = 6,
    XDB_KIND_NTX = 7,
    XDB_KIND_CDX = 8,
    XDB_KIND_INDEX_TAG = 9,  // an open tag of a CDX file
    XDB_KIND_MDX_TAG = 10,   // an open tag of an MDX file
};

const int XDB_HANDLE_SLOTS = 1019;

// Open-mode word of the engine's opens (the low byte carries a DBF dialect).
enum : uint16_t {
    XDB_OPEN_READONLY = 0x0100,
    XDB_OPEN_DENYNONE = 0x0200,
    XDB_OPEN_SHARED = 0x0400,
    XDB_OPEN_SHORTHAND = 0x0800,  // adds 0x0200 | 0x0400
};

// File-mode word kept in control blocks.
enum : uint16_t {
    XDB_FILE_READONLY = 0x0001,
    XDB_FILE_SHARED = 0x0004,
};

// ---- Frame ----

XDSTATUS xdbinit();
XDSTATUS xdbterm();
bool xdb_started();

XDSTATUS xdb_get_status();
XDSTATUS xdb_set_status(XDSTATUS status);

// Start of an operation: XD_NOTASK without a context, the pending error when the
// last status is negative, else XD_OK.
XDSTATUS xdb_pending();
// Records `status` as the last status and returns it.
XDSTATUS xdb_report(XDSTATUS status);
// The last status (what an operation returns at its end).
XDSTATUS xdb_status();

// The collation flag read at initialisation ("asciisort").
int xdb_collation_flag();
void xdb_set_collation_flag(int flag);

// Long work (an index build's scan of the table, a pack's copy of the records)
// tells how far it is, in records done of the total, every 1024 records, to the
// hook set here for the process (none by default; null removes it).
typedef void (*XdbProgressFn)(void* context, uint32_t done, uint32_t total);
void xdb_set_progress(XdbProgressFn hook, void* context);
void xdb_report_progress(uint32_t done, uint32_t total);

// Current date format code (1..15).
int16_t xdb_date_format();
// Sets the date format for a moment (no status rules); gives the old one back.
int16_t xdb_swap_date_format(int16_t code);
XDSTATUS xdb_set_date_format(int16_t code);
// Code and a copy of its name into `name` (capacity `cap`, at least 1).
XDSTATUS xdb_get_date_format(int16_t* code, char* name, size_t cap);

// The close operation of a kind, called for its open handles at termination.
typedef XDSTATUS (*XdbCloseFn)(int16_t handle);
void xdb_register_closer(uint8_t kind, XdbCloseFn close);

XDSTATUS xdb_alloc_slot(uint8_t kind, int16_t* handle, void** block);
// Frees the slot's control block and marks the slot free.
void xdb_release_slot(int16_t handle);
// Checks that `handle` is an open slot of `kind`; gives its control block, which
// becomes the current one of that kind. Otherwise XD_BADHANDLE (recorded).
XDSTATUS xdb_select(int16_t handle, uint8_t kind, void** block);
// The kind in a slot (0 when free or out of range).
uint8_t xdb_slot_kind(int16_t handle);
int xdb_slots_in_use();

// Copies text into a buffer of `cap` bytes, cut to fit and ended by a zero
// (a name or expression handed out often: a formatted print costs far more).
inline void xdb_copy_text(char* to, size_t cap, const char* from) {
    if (cap == 0) return;
    size_t n = 0;
    if (from)
        while (n + 1 < cap && from[n]) n++;
    for (size_t i = 0; i < n; i++) to[i] = from[i];
    to[n] = 0;
}

// A 64-bit digest of bytes (FNV-1a), continued from `h` (start with
// kXdbDigestStart): tells whether something kept still matches the file.
const uint64_t kXdbDigestStart = 14695981039346656037ull;
inline uint64_t xdb_digest(uint64_t h, const void* bytes, size_t n) {
    const uint8_t* p = (const uint8_t*)bytes;
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// ---- Memory (zero-filled) ----

XDSTATUS xdb_alloc(void** p, size_t size);
XDSTATUS xdb_realloc(void** p, size_t size);
void xdb_free(void* p);

// ---- Files ----

// Expands the shorthand bit of an open-mode word.
uint16_t xdb_expand_open_mode(uint16_t mode);

XDSTATUS xdb_fcreate(uint16_t* sh, const char* name);
// Opens per the open-mode word; falls back to read-only shared when the open as
// asked fails. *file_mode receives XDB_FILE_READONLY / XDB_FILE_SHARED.
XDSTATUS xdb_fopen(uint16_t* sh, const char* name, uint16_t open_mode, uint16_t* file_mode);
XDSTATUS xdb_fclose(uint16_t sh);
// Closes a work file that is removed next (a finished journal): its bytes are
// not forced to the disk first.
XDSTATUS xdb_fclose_discarded(uint16_t sh);
XDSTATUS xdb_fdelete(const char* name);
XDSTATUS xdb_frename(const char* old_name, const char* new_name);
// Puts the finished file `source` in the place of `target` in one step (the name
// never lacks a whole file), keeping the old one as `backup` when named (null: no
// backup). A file held open elsewhere is refused and reported missing (XD_NOFILE),
// as this layer reports a sharing violation; callers check for other handles first.
XDSTATUS xdb_freplace(const char* source, const char* target, const char* backup);
int xdb_fexists(const char* name);
XDSTATUS xdb_fsize(uint16_t sh, uint32_t* size);
XDSTATUS xdb_fpos(uint16_t sh, uint32_t* pos);
XDSTATUS xdb_fseek(uint16_t sh, uint32_t offset);
// All of count bytes, or XD_READERR.
XDSTATUS xdb_fread(uint16_t sh, void* buf, int16_t count);
// All of count bytes, or XD_WRITEERR; the commit step follows when asked.
XDSTATUS xdb_fwrite(uint16_t sh, const void* buf, int16_t count, int commit);
// Reads or writes a larger block in pieces the 16-bit primitives accept.
XDSTATUS xdb_fread_big(uint16_t sh, void* buf, uint32_t count);
XDSTATUS xdb_fwrite_big(uint16_t sh, const void* buf, uint32_t count, int commit);
// Positioned forms: one system call instead of a seek and a transfer, with the
// same statuses (all of count bytes, else XD_READERR / XD_WRITEERR). Counts are
// not limited to the 16-bit primitives' pieces.
XDSTATUS xdb_fread_at(uint16_t sh, uint32_t offset, void* buf, uint32_t count);
XDSTATUS xdb_fwrite_at(uint16_t sh, uint32_t offset, const void* buf, uint32_t count, int commit);
// Reads what is there at `offset`, up to `count` bytes; never an error at the end.
XDSTATUS xdb_fread_some_at(uint16_t sh, uint32_t offset, void* buf, uint32_t count, uint32_t* got);
// Reads what is there, up to `count` bytes; never an error at end of file.
XDSTATUS xdb_fread_some(uint16_t sh, void* buf, uint32_t count, uint32_t* got);
void xdb_fset_size(uint16_t sh, uint32_t size);
XDSTATUS xdb_fat_end(uint16_t sh, int* at_end);
XDSTATUS xdb_flock(uint16_t sh, int unlock, uint32_t offset, uint32_t length);

// Maps a failed byte-range lock's system error to a status.
XDSTATUS xdb_lock_status(uint32_t system_error);
