// Reading records: one at a time, or through the read-ahead buffer for scans.

#include "engine/core/dbf_internal.h"
#include "engine/core/os.h"

namespace {

// The read-ahead buffer holds this many bytes of records (at least one record).
// Larger than the 8-record default of old: a scan then costs a system call per
// 256 KiB instead of one per few records, and the records seen are the same.
const uint32_t kReadAheadBytes = 256 * 1024;

bool record_offset(const DbfBlock* b, uint32_t recno, uint32_t* offset) {
    uint64_t off = dbf_header_length(b) + (uint64_t)(recno - 1) * dbf_record_length(b);
    if (off > 0xFFFFFFFFull) return false;
    *offset = (uint32_t)off;
    return true;
}

// Checks a record number against the count, re-reading the count when it lies
// beyond what we know.
XDSTATUS check_recno(DbfBlock* b, uint32_t recno) {
    if (recno < 1) return XD_SEEKERR;
    if (recno > dbf_count(b)) {
        XDSTATUS s = dbf_reread_count(b);
        if (s) return s;
        if (recno > dbf_count(b)) return XD_SEEKERR;
    }
    return XD_OK;
}

}  // namespace

XDSTATUS dbf_reread_count(DbfBlock* b) {
    uint8_t count[4];
    XDSTATUS s = xdb_fread_at(b->sh, 4, count, 4);
    if (s) return s;
    memcpy(b->header + 4, count, 4);
    return XD_OK;
}

XDSTATUS dbf_load_record(DbfBlock* b, uint32_t recno) {
    XDSTATUS s = check_recno(b, recno);
    if (s) return xdb_report(s);
    uint32_t offset;
    if (!record_offset(b, recno, &offset)) return xdb_report(XD_SEEKERR);
    uint16_t length = dbf_record_length(b);
    if (!dbf_record_from_cache(b, recno)) {
        if ((s = xdb_fread_at(b->sh, offset, b->scratch, length))) return s;
        memcpy(b->record, b->scratch, length);
    }
    b->current = recno;
    if (length > 0 && b->record[0] != ' ') return xdb_report(XD_DELETEDREC);
    return xdb_status();
}

XDSTATUS dbf_read_record(int16_t handle, uint32_t recno) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    return dbf_load_record(b, recno);
}

XDSTATUS dbf_is_deleted(int16_t handle) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (dbf_record_length(b) > 0 && b->record[0] == '*') return xdb_report(XD_DELETEDREC);
    return xdb_status();
}

XDSTATUS dbf_read_ahead_setup(int16_t handle) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    // A scan starts from the file: what an earlier scan left in the buffer may
    // have changed since (another process writes without telling us).
    dbf_drop_read_ahead(b);
    if (b->ra_buffer) return xdb_status();
    uint32_t length = dbf_record_length(b) ? dbf_record_length(b) : 1;
    uint32_t per = kReadAheadBytes / length;
    if (per < 1) per = 1;
    if ((s = xdb_alloc((void**)&b->ra_buffer, (size_t)per * length))) return s;
    if ((s = xdb_alloc((void**)&b->ra_offsets, (size_t)per * sizeof(uint32_t)))) {
        xdb_free(b->ra_buffer);
        b->ra_buffer = nullptr;
        return s;
    }
    for (uint32_t i = 0; i < per; i++) b->ra_offsets[i] = i * length;
    b->ra_per_buffer = per;
    b->ra_first = 0;
    b->ra_held = 0;
    return xdb_status();
}

XDSTATUS dbf_read_ahead_release(int16_t handle) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    xdb_free(b->ra_buffer);
    xdb_free(b->ra_offsets);
    b->ra_buffer = nullptr;
    b->ra_offsets = nullptr;
    b->ra_per_buffer = b->ra_first = b->ra_held = 0;
    return xdb_status();
}

XDSTATUS dbf_read_ahead(int16_t handle, uint32_t recno) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!b->ra_buffer && (s = dbf_read_ahead_setup(handle))) return s;
    // The buffer serves a read only while no write through any handle of this
    // process has touched the file since it was filled.
    uint32_t generation = osl_write_generation(b->sh);
    if (!(b->ra_held && recno >= b->ra_first && recno - b->ra_first < b->ra_held && generation == b->ra_generation)) {
        if ((s = check_recno(b, recno))) return xdb_report(s);
        uint32_t offset;
        if (!record_offset(b, recno, &offset)) return xdb_report(XD_SEEKERR);
        uint32_t want = dbf_count(b) - recno + 1;
        if (want > b->ra_per_buffer) want = b->ra_per_buffer;
        uint16_t length = dbf_record_length(b);
        b->ra_held = 0;
        uint32_t got = 0;
        if ((s = xdb_fread_some_at(b->sh, offset, b->ra_buffer, want * length, &got))) return s;
        // A file cut short keeps the whole records that are there.
        uint32_t whole = length ? got / length : want;
        if (whole == 0) return xdb_report(XD_READERR);
        b->ra_first = recno;
        b->ra_held = whole;
        b->ra_generation = generation;
    }
    uint16_t length = dbf_record_length(b);
    memcpy(b->record, b->ra_buffer + b->ra_offsets[recno - b->ra_first], length);
    b->current = recno;
    if (length > 0 && b->record[0] != ' ') return xdb_report(XD_DELETEDREC);
    return xdb_status();
}
