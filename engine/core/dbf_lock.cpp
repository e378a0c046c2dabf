// The byte-range lock scheme of data files. Every lock lies far beyond any real
// data, at offsets other xBase programs use too, so the offsets are part of the
// file format:
//
//   0x5FFFFFC0 .. 0x7FFFFFBE   record area: record n is the byte 0x7FFFFFBF - n
//   0x7FFFFFBF .. 0x7FFFFFFC   reader bytes of shared file locks (62 readers,
//                               reader r at 0x7FFFFFFF - r, r from 3 upward)
//   0x7FFFFFFE                  the file lock byte of mode 1
//
// File lock modes: 1 the byte 0x7FFFFFFE; 2 the whole area 0x5FFFFFC0..0x7FFFFFFE;
// 3 the same but the byte 0x7FFFFFFE; 4 shared: the record area is tested (locked
// and released at once), then a free reader byte is taken; 5 a test of the reader
// bytes and the byte above them (locked and released at once). After a lock of
// modes 1 to 4 the record count is read again and the read-ahead dropped, since
// another process may have appended or rewritten records.

#include "engine/core/dbf_internal.h"

namespace {

const uint32_t kAreaStart = 0x5FFFFFC0u;
const uint32_t kModeOneByte = 0x7FFFFFFEu;
const uint32_t kRecordBase = 0x7FFFFFBFu;
const uint32_t kLastRecord = 0x1FFFFFFFu;  // records 1..kLastRecord have bytes in the area
const uint16_t kFirstReader = 3;
const uint16_t kLastReader = 64;           // byte 0x7FFFFFBF
const uint32_t kLockListStep = 100;
const uint32_t kLockListMax = 16384;

struct Region {
    uint32_t offset, length;
};

bool file_region(int16_t mode, Region* r) {
    switch (mode) {
    case 1: *r = {kModeOneByte, 1}; return true;
    case 2: *r = {kAreaStart, 0x2000003Fu}; return true;
    case 3: *r = {kAreaStart, 0x2000003Eu}; return true;
    default: return false;
    }
}

XDSTATUS lock_and_release(uint16_t sh, uint32_t offset, uint32_t length) {
    XDSTATUS s = xdb_flock(sh, 0, offset, length);
    if (s) return s;
    return xdb_flock(sh, 1, offset, length);
}

int find_locked(const DbfBlock* b, uint32_t recno) {
    for (uint32_t i = 0; i < b->lock_count; i++)
        if (b->locks[i] == recno) return (int)i;
    return -1;
}

}  // namespace

XDSTATUS dbf_lock_file(int16_t handle, int16_t mode) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    Region r;
    if (file_region(mode, &r)) {
        if ((s = xdb_flock(b->sh, 0, r.offset, r.length))) return s;
        b->lock_offset = r.offset;
        b->lock_length = r.length;
        static uint32_t serial = 0;
        if (mode == 2 && ++serial == 0) serial = 1;
        b->whole_lock = mode == 2 ? serial : 0;
    } else if (mode == 4) {
        if ((s = lock_and_release(b->sh, kAreaStart, 0x1FFFFFFFu))) return s;
        uint16_t reader = kFirstReader;
        for (;;) {
            s = xdb_flock(b->sh, 0, 0x7FFFFFFFu - reader, 1);
            if (s == XD_OK) break;
            if (reader == kLastReader) return s;
            xdb_set_status(XD_OK);
            reader++;
        }
        b->reader = reader;
        b->lock_offset = 0x7FFFFFFFu - reader;
        b->lock_length = 1;
    } else if (mode == 5) {
        lock_and_release(b->sh, kRecordBase, 63);
        return xdb_status();
    } else {
        return xdb_report(XD_BADCOMMAND);
    }
    // Other processes may have written before the lock was ours: what the
    // read-ahead holds is no longer to be trusted.
    dbf_drop_read_ahead(b);
    if ((s = dbf_reread_count(b))) return s;
    return xdb_status();
}

XDSTATUS dbf_unlock_file(int16_t handle, int16_t mode) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    Region r;
    if (file_region(mode, &r)) {
        if (mode == 2) dbf_end_whole_lock(b);  // even should the unlock fail: the lock is no longer counted on
        s = xdb_flock(b->sh, 1, r.offset, r.length);
    } else if (mode == 4) {
        s = xdb_flock(b->sh, 1, 0x7FFFFFFFu - b->reader, 1);
        if (s == XD_OK) b->reader = 0;
    } else {
        s = xdb_flock(b->sh, 1, b->lock_offset, b->lock_length);
    }
    return s ? s : xdb_status();
}

namespace {
void (*g_whole_lock_ending)(uint32_t lock) = nullptr;
}

void dbf_on_whole_lock_end(void (*ending)(uint32_t lock)) { g_whole_lock_ending = ending; }

void dbf_end_whole_lock(DbfBlock* b) {
    const uint32_t lock = b->whole_lock;
    b->whole_lock = 0;
    if (lock && g_whole_lock_ending) {
        const XDSTATUS pending = xdb_get_status();
        g_whole_lock_ending(lock);
        xdb_set_status(pending);
    }
}

uint32_t dbf_whole_lock(int16_t handle) {
    void* block;
    if (xdb_slot_kind(handle) != XDB_KIND_DBF || xdb_select(handle, XDB_KIND_DBF, &block) != XD_OK) return 0;
    return ((DbfBlock*)block)->whole_lock;
}

XDSTATUS dbf_lock_record(int16_t handle, int16_t mode, uint32_t recno) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (mode != DBF_RECORD_TEST && mode != DBF_RECORD_UNLOCK && mode != DBF_RECORD_LOCK)
        return xdb_report(XD_BADCOMMAND);
    if (mode == DBF_RECORD_UNLOCK && recno == 0) {
        while (b->lock_count > 0) {
            uint32_t n = b->locks[b->lock_count - 1];
            if ((s = xdb_flock(b->sh, 1, kRecordBase - n, 1))) return s;
            b->lock_count--;
        }
        return xdb_status();
    }
    // Records beyond the area have no byte of their own.
    if (recno < 1 || recno > kLastRecord) return xdb_report(XD_BADPARAM);
    int at = find_locked(b, recno);
    switch (mode) {
    case DBF_RECORD_LOCK:
        if (at >= 0) return xdb_status();
        if ((s = xdb_flock(b->sh, 0, kRecordBase - recno, 1))) return s;
        if (b->lock_count == b->lock_capacity && b->lock_capacity < kLockListMax) {
            uint32_t grown = b->lock_capacity + kLockListStep;
            if (grown > kLockListMax) grown = kLockListMax;
            void* p = b->locks;
            if (xdb_realloc(&p, grown * sizeof(uint32_t)) == XD_OK) {
                b->locks = (uint32_t*)p;
                b->lock_capacity = grown;
            } else {
                xdb_set_status(XD_OK);
            }
        }
        // A list that cannot grow leaves the lock held until the file is closed.
        if (b->lock_count < b->lock_capacity) b->locks[b->lock_count++] = recno;
        return xdb_status();
    case DBF_RECORD_UNLOCK:
        if (at < 0) return xdb_status();
        if ((s = xdb_flock(b->sh, 1, kRecordBase - recno, 1))) return s;
        memmove(b->locks + at, b->locks + at + 1, (b->lock_count - (uint32_t)at - 1) * sizeof(uint32_t));
        b->lock_count--;
        return xdb_status();
    default:  // test
        if (at >= 0) return xdb_status();
        if ((s = lock_and_release(b->sh, kRecordBase - recno, 1))) return s;
        return xdb_status();
    }
}

XDSTATUS dbf_locked_records(int16_t handle, const uint32_t** list, uint32_t* count) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!list || !count) return xdb_report(XD_NULLPARAM);
    *list = b->locks;
    *count = b->lock_count;
    return xdb_status();
}
