#pragma once
// The data control block and helpers shared by the DBF source files.

#include <cstdint>
#include <cstring>

#include "engine/core/byteorder.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"

struct DbfBlock {
    uint32_t current;       // current record number, 0 when none
    char* record;           // record buffer (record length bytes)
    char* scratch;          // a read lands here first, so a failed read keeps the record
    uint8_t header[32];     // header as read; its record count is the one in use
    uint8_t* fields;        // field_count descriptors of 32 bytes, rewritten in memory
    uint16_t field_count;
    uint16_t largest_field;
    uint16_t file_mode;
    uint8_t dialect;        // code, plus DBF_MEMO_FLAG
    uint8_t header_modified;
    uint8_t commit;
    uint16_t sh;            // system handle
    char* name;
    int16_t null_flags;     // index of _NullFlags, -1 when none
    // Lock state.
    uint32_t lock_offset, lock_length;
    uint32_t whole_lock;    // the serial of the mode 2 lock held now (0: none), see dbf_whole_lock()
    uint16_t reader;
    uint32_t lock_count, lock_capacity;
    uint32_t* locks;
    // Read-ahead.
    char* ra_buffer;
    uint32_t ra_per_buffer;
    uint32_t ra_first;
    uint32_t ra_held;
    uint32_t* ra_offsets;
    uint32_t ra_generation;  // the file's write generation when the buffer was filled
    // Pages of records of a file opened exclusively (dbf_record_cache.cpp).
    struct DbfRecordCache* record_cache;
    // Bytes the file holds at least, as this handle last measured or wrote it
    // (0: not known). A file does not shrink under an open handle but by a pack or
    // a zap, which take the table alone: an append within it needs no measure.
    uint32_t size_floor;
};

// Forgets what the read-ahead buffer holds: the next read-ahead reads the file.
void dbf_record_cache_drop(struct DbfBlock* b);
inline void dbf_drop_read_ahead(DbfBlock* b) {
    b->ra_held = 0;
    dbf_record_cache_drop(b);
}

inline uint8_t dbf_code(const DbfBlock* b) { return b->dialect & 0x7F; }
inline uint32_t dbf_count(const DbfBlock* b) { return get_le32(b->header + 4); }
inline uint16_t dbf_header_length(const DbfBlock* b) { return get_le16(b->header + 8); }
inline uint16_t dbf_record_length(const DbfBlock* b) { return get_le16(b->header + 10); }

inline uint8_t* dbf_desc(const DbfBlock* b, int i) { return b->fields + 32 * i; }
inline char dbf_ftype(const uint8_t* d) { return (char)d[11]; }
inline uint16_t dbf_foffset(const uint8_t* d) { return get_le16(d + 12); }
inline uint16_t dbf_flength(const uint8_t* d) { return get_le16(d + 14); }
inline uint8_t dbf_fdecimals(const uint8_t* d) { return d[17]; }
inline uint8_t dbf_fflags(const uint8_t* d) { return d[18]; }
inline double dbf_flargest(const uint8_t* d) {
    double v;
    memcpy(&v, d + 20, 8);
    return v;
}

// Selects a data handle after the pending-status check: XD_OK and the block, or
// the status to return.
// The handle's whole lock ends (see dbf_on_whole_lock_end); nothing when it has none.
void dbf_end_whole_lock(DbfBlock* b);

inline XDSTATUS dbf_enter(int16_t handle, DbfBlock** b) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    s = xdb_select(handle, XDB_KIND_DBF, &block);
    if (s) return s;
    *b = (DbfBlock*)block;
    return XD_OK;
}

// The record cache of exclusive handles (dbf_record_cache.cpp).
bool dbf_record_from_cache(DbfBlock* b, uint32_t recno);
void dbf_record_cache_drop(DbfBlock* b);
void dbf_record_cache_free(DbfBlock* b);

// Frees a handle whose file is already closed (its parts and its slot).
void dbf_forget(int16_t handle);
// Re-reads the record count from header bytes 4..7 (another process may have
// appended).
XDSTATUS dbf_reread_count(DbfBlock* b);
// Reads record `recno` into the record buffer.
XDSTATUS dbf_load_record(DbfBlock* b, uint32_t recno);
// Bit `bit` of the _NullFlags field of the current record, and its setter.
bool dbf_null_bit(const DbfBlock* b, int bit);
void dbf_set_null_bit(DbfBlock* b, int bit, bool on);
// Which _NullFlags bits a field owns (-1 when none).
void dbf_field_null_bits(const DbfBlock* b, int index, int* length_bit, int* null_bit);
