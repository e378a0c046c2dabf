// Changing DBF files: create, append, rewrite, delete and recall, pack. Every change
// goes straight to the file; close stamps the update date of a changed file.

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/dates.h"
#include "engine/core/dbf_internal.h"
#include "engine/core/file_switch.h"
#include "engine/core/os.h"

namespace {

struct CreateLimits {
    int max_fields;
    uint8_t memo_version;
    int max_c;
    int max_n;
    bool f_allowed;
    bool decimals_to_15;  // decimal counts are also limited to 15
    int max_record;
};

const CreateLimits kLimits[10] = {
    {},
    {128, 0x83, 254, 19, false, true, 4000},   // 1 dBASE III
    {255, 0x8B, 254, 20, true, false, 4000},   // 2 dBASE IV
    {128, 0x83, 254, 19, false, true, 4000},   // 3 FoxBASE
    {128, 0xF5, 254, 20, true, false, 4000},   // 4 FoxPro 1.0
    {1023, 0x83, 254, 19, false, true, 4000},  // 5 Clipper
    {1023, 0x83, 2048, 19, false, true, 8192}, // 6 Clipper 5.0
    {512, 0x83, 254, 19, false, true, 4000},   // 7 dBXL/Quicksilver
    {255, 0xF5, 254, 20, true, false, 4000},   // 8 FoxPro 2.0
    {128, 0x83, 254, 19, false, true, 4000},   // 9 Omnis
};

XDSTATUS write_at(DbfBlock* b, uint32_t offset, const void* data, uint32_t length) {
    return xdb_fwrite_at(b->sh, offset, data, length, b->commit);
}

bool record_position(const DbfBlock* b, uint32_t recno, uint32_t* offset) {
    uint64_t off = dbf_header_length(b) + (uint64_t)(recno - 1) * dbf_record_length(b);
    if (recno < 1 || off + dbf_record_length(b) > 0xFFFFFFFFull) return false;
    *offset = (uint32_t)off;
    return true;
}

// An append goes right after the records the header counts: a file shorter than
// that has a damaged count, and appending would leave the new records behind
// phantom ones (zeros, or whatever lies there later).
XDSTATUS check_append_place(DbfBlock* b, uint32_t offset) {
    if (offset <= b->size_floor) return XD_OK;
    uint32_t size = 0;
    XDSTATUS s = xdb_fsize(b->sh, &size);
    if (s) return s;
    b->size_floor = size;
    if (size >= offset) return XD_OK;
    const uint32_t held = size > dbf_header_length(b) && dbf_record_length(b)
                              ? (size - dbf_header_length(b)) / dbf_record_length(b)
                              : 0;
    xdb_fault(XD_CORRUPT, true, "the header counts %u records, the file holds %u: not appending to a damaged table",
              dbf_count(b), held);
    return xdb_report(XD_CORRUPT);
}

XDSTATUS write_current(DbfBlock* b, uint32_t recno) {
    uint32_t offset;
    if (!record_position(b, recno, &offset)) return xdb_report(XD_SEEKERR);
    return write_at(b, offset, b->record, dbf_record_length(b));
}

// The mark alone is written (one byte): the record's other bytes stay as the file
// has them, whatever the buffer holds. A record other than the current one is
// read first, and becomes current, as a read would make it.
XDSTATUS set_flag(int16_t handle, uint32_t recno, char mark) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (b->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if (b->current != recno || recno == 0) {
        XDSTATUS before = xdb_status();
        s = dbf_load_record(b, recno);
        if (s < 0) return s;
        xdb_set_status(before);  // the deleted-record warning of the read is not passed on
    }
    uint32_t offset;
    if (dbf_record_length(b) == 0 || !record_position(b, recno, &offset)) return xdb_report(XD_SEEKERR);
    if ((s = write_at(b, offset, &mark, 1))) return s;
    b->record[0] = mark;
    b->header_modified = 1;
    return xdb_status();
}

// Splits a path after its last ':', '\' or '/'.
void split_path(const char* path, std::string* dir, std::string* base) {
    const char* cut = path;
    for (const char* p = path; *p; p++)
        if (*p == ':' || *p == '\\' || *p == '/') cut = p + 1;
    dir->assign(path, (size_t)(cut - path));
    base->assign(cut);
}

}  // namespace

XDSTATUS dbf_create(const char* name, int16_t field_count, DbfCreateField* fields, uint16_t mode) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name || !fields) return xdb_report(XD_NULLPARAM);
    if (field_count <= 0) return xdb_report(XD_BADFIELDCOUNT);
    bool production = mode & DBF_CREATE_PRODUCTION_INDEX;
    mode &= (uint16_t)~DBF_CREATE_PRODUCTION_INDEX;
    if (mode < 1 || mode > 9) return xdb_report(XD_BADVERSION);
    uint8_t dialect = (uint8_t)mode;
    const CreateLimits& L = kLimits[dialect];
    if (field_count > L.max_fields) return xdb_report(XD_BADFIELDCOUNT);

    uint8_t version = 0x03;
    uint32_t record_length = 1;
    for (int i = 0; i < field_count; i++) {
        DbfCreateField& f = fields[i];
        size_t n = strnlen(f.name, sizeof f.name);
        if (n == 0 || n >= 11) return xdb_report(XD_BADFIELDNAME);
        for (size_t k = 0; k < n; k++) f.name[k] = (char)toupper((unsigned char)f.name[k]);
        f.type = (uint16_t)toupper(f.type & 0xFF);
        switch (f.type) {
        case 'C':
            if (f.length < 1 || f.length > L.max_c) return xdb_report(XD_BADFIELDSIZE);
            f.decimals = 0;
            break;
        case 'D': f.length = 8; f.decimals = 0; break;
        case 'L': f.length = 1; f.decimals = 0; break;
        case 'M':
            f.length = 10;
            f.decimals = 0;
            if (L.memo_version == 0xF5) version = 0xF5;
            else version |= L.memo_version == 0x8B ? 0x88 : 0x80;
            break;
        case 'F':
            if (!L.f_allowed) return xdb_report(XD_BADFIELDTYPE);
            [[fallthrough]];
        case 'N':
            if (f.length < 1 || f.length > L.max_n) return xdb_report(XD_BADFIELDSIZE);
            // A field without decimals fits any length; decimals need room for
            // the point and a digit in front of it.
            if (f.decimals > 0 && (f.decimals > f.length - 2 || (L.decimals_to_15 && f.decimals > 15)))
                return xdb_report(XD_BADDECIMALS);
            break;
        default:
            return xdb_report(XD_BADFIELDTYPE);
        }
        record_length += f.length;
        if (record_length > (uint32_t)L.max_record) return xdb_report(XD_BADRECSIZE);
    }

    uint32_t header_length = dialect == DBF_OMNIS ? 32u * (uint32_t)(field_count + 2) : 32u * (uint32_t)field_count + 33;
    uint8_t header[32] = {0};
    int year, month, day;
    xdb_today(&year, &month, &day, nullptr);
    header[0] = version;
    header[1] = (uint8_t)(year - 1900);
    header[2] = (uint8_t)month;
    header[3] = (uint8_t)day;
    put_le16(header + 8, (uint16_t)header_length);
    put_le16(header + 10, (uint16_t)record_length);
    header[28] = production ? 1 : 0;

    uint16_t sh;
    if ((s = xdb_fcreate(&sh, name))) return s;
    s = xdb_fwrite(sh, header, 32, 1);
    for (int i = 0; s == XD_OK && i < field_count; i++) {
        const DbfCreateField& f = fields[i];
        uint8_t d[32] = {0};
        memcpy(d, f.name, strnlen(f.name, 10));
        d[11] = (uint8_t)f.type;
        d[16] = (uint8_t)(f.length & 0xFF);
        d[17] = f.type == 'C' ? (uint8_t)(f.length >> 8) : (uint8_t)f.decimals;
        s = xdb_fwrite(sh, d, 32, 1);
    }
    if (s == XD_OK) {
        if (dialect == DBF_OMNIS) {
            uint8_t tail[33] = {0x0D};
            tail[32] = 0x1A;
            s = xdb_fwrite(sh, tail, 33, 1);
        } else {
            s = xdb_fwrite(sh, "\x0D\x1A", 2, 1);
        }
    }
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

XDSTATUS dbf_write_record(int16_t handle, uint32_t* recno, uint16_t mode) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!recno) return xdb_report(XD_NULLPARAM);
    if (mode != DBF_WRITE_APPEND && mode != DBF_WRITE_REWRITE && mode != DBF_WRITE_APPEND_DELETED &&
        mode != DBF_WRITE_REWRITE_DELETED)
        return xdb_report(XD_BADCOMMAND);
    if (b->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    uint16_t length = dbf_record_length(b);
    if (mode == DBF_WRITE_REWRITE || mode == DBF_WRITE_REWRITE_DELETED) {
        uint32_t n = *recno;
        if (n == 0) return xdb_report(XD_SEEKERR);
        // Only records that exist are rewritten: a number beyond the end would
        // leave a hole of garbage in the file.
        if (n > dbf_count(b) && ((s = dbf_reread_count(b)) || n > dbf_count(b))) return s ? s : xdb_report(XD_SEEKERR);
        b->current = n;
        b->record[0] = mode == DBF_WRITE_REWRITE_DELETED ? '*' : ' ';
        if ((s = write_current(b, n))) return s;
        b->header_modified = 1;
        return xdb_status();
    }
    // Append: the count in memory is the caller's (a lock has re-read it).
    uint32_t n = dbf_count(b) + 1;
    uint32_t offset;
    if (n == 0 || !record_position(b, n, &offset)) return xdb_report(XD_SEEKERR);
    if ((s = check_append_place(b, offset))) return s;
    put_le32(b->header + 4, n);
    b->record[0] = mode == DBF_WRITE_APPEND_DELETED ? '*' : ' ';
    // The record and the end-of-file byte in one write; dBXL fills a whole record
    // with end-of-file bytes.
    uint32_t tail = dbf_code(b) == DBF_DBXL && length >= 2 ? length : 1;
    char* out = b->scratch;
    char* big = nullptr;
    if (tail > 1) {
        if ((s = xdb_alloc((void**)&big, (size_t)length + tail))) return s;
        out = big;
    }
    memcpy(out, b->record, length);
    memset(out + length, 0x1A, tail);
    s = write_at(b, offset, out, length + tail);
    xdb_free(big);
    if (s) {
        // The record is not there: no count, now or later, may take it in.
        put_le32(b->header + 4, n - 1);
        return s;
    }
    if (offset + length + tail > b->size_floor) b->size_floor = offset + length + tail;
    // The count follows the record, so that a stop between the two leaves the
    // record uncounted rather than a count without its record; it is written
    // before the append is reported, so that a record reported written stays in
    // the table whatever stops the program next (many records at a time:
    // dbf_append_records). A count that cannot be written leaves the record out.
    if ((s = write_at(b, 4, b->header + 4, 4))) {
        put_le32(b->header + 4, n - 1);
        return s;
    }
    b->header_modified = 1;
    b->current = n;
    *recno = n;
    return xdb_status();
}

XDSTATUS dbf_append_records(int16_t handle, const void* records, uint32_t count, uint32_t* first) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!first || (!records && count)) return xdb_report(XD_NULLPARAM);
    if (b->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    if (count == 0) return xdb_status();
    const uint16_t length = dbf_record_length(b);
    const char* in = (const char*)records;
    // Every record is stored as given: a deletion byte that is neither mark would
    // be read as something else.
    for (uint32_t i = 0; i < count; i++) {
        char mark = length ? in[(size_t)i * length] : ' ';
        if (mark != ' ' && mark != '*') return xdb_report(XD_BADDATA);
    }
    uint32_t n = dbf_count(b) + 1;
    uint32_t offset;
    if (n == 0 || n + count - 1 < n || !record_position(b, n + count - 1, &offset) || !record_position(b, n, &offset))
        return xdb_report(XD_SEEKERR);
    if ((s = check_append_place(b, offset))) return s;
    uint32_t tail = dbf_code(b) == DBF_DBXL && length >= 2 ? length : 1;
    uint64_t size = (uint64_t)count * length + tail;
    if ((uint64_t)offset + size > 0xFFFFFFFFull) return xdb_report(XD_SEEKERR);
    char* out = nullptr;
    if ((s = xdb_alloc((void**)&out, (size_t)size))) return s;
    memcpy(out, in, (size_t)count * length);
    memset(out + (size_t)count * length, 0x1A, tail);
    s = write_at(b, offset, out, (uint32_t)size);
    xdb_free(out);
    if (s) return s;  // nothing counted: the records are not there for anybody
    if (offset + size > b->size_floor) b->size_floor = (uint32_t)(offset + size);
    // The count follows the records and is written before they are reported, as
    // for single appends.
    uint32_t last = n + count - 1;
    put_le32(b->header + 4, last);
    if ((s = write_at(b, 4, b->header + 4, 4))) {
        put_le32(b->header + 4, n - 1);
        return s;
    }
    b->header_modified = 1;
    if (length) memcpy(b->record, in + (size_t)(count - 1) * length, length);
    b->current = last;
    *first = n;
    return xdb_status();
}

XDSTATUS dbf_blank_record(int16_t handle) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    memset(b->record, ' ', dbf_record_length(b));
    // Visual FoxPro keeps numbers, date-times, memo references and the null flags
    // in binary: empty is zeros there.
    if (dbf_code(b) == DBF_VFP) {
        for (int i = 0; i < b->field_count; i++) {
            const uint8_t* d = dbf_desc(b, i);
            const char t = dbf_ftype(d);
            if (strchr("IBYTMGPWQ0", t) || (dbf_fflags(d) & 0x01))
                memset(b->record + dbf_foffset(d), 0, (size_t)dbf_flength(d));
        }
        // A field that may hold null and is given no value is null; a value put
        // into it clears its bit.
        for (int i = 0; i < b->field_count && b->null_flags >= 0; i++) {
            int length_bit = -1, null_bit = -1;
            dbf_field_null_bits(b, i, &length_bit, &null_bit);
            if (null_bit >= 0) dbf_set_null_bit(b, null_bit, true);
        }
    }
    return xdb_status();
}

XDSTATUS dbf_mark_changed(int16_t handle) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    b->header_modified = 1;
    return xdb_status();
}

XDSTATUS dbf_delete_record(int16_t handle, uint32_t recno) { return set_flag(handle, recno, '*'); }

XDSTATUS dbf_recall_record(int16_t handle, uint32_t recno) { return set_flag(handle, recno, ' '); }

XDSTATUS dbf_set_buffer_mark(int16_t handle, int deleted) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    b->record[0] = deleted ? '*' : ' ';
    return xdb_status();
}

XDSTATUS dbf_pack_copy(int16_t handle, const char* temp, int caller_holds_lock) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!temp) return xdb_report(XD_NULLPARAM);
    DbfBlock* b;
    if ((s = dbf_enter(handle, &b))) return s;
    if (!caller_holds_lock && (s = dbf_lock_file(handle, 2))) return s;
    auto unlock = [&]() {
        if (!caller_holds_lock) dbf_unlock_file(handle, 2);
    };
    uint8_t dialect = dbf_code(b);
    DbfCreateField* list = nullptr;
    if ((s = xdb_alloc((void**)&list, sizeof(DbfCreateField) * (b->field_count ? b->field_count : 1)))) {
        unlock();
        return xdb_report(s);
    }
    for (int i = 0; i < b->field_count; i++) {
        const uint8_t* d = dbf_desc(b, i);
        memcpy(list[i].name, d, strnlen((const char*)d, 10));
        list[i].type = (uint16_t)dbf_ftype(d);
        list[i].length = dbf_flength(d);
        list[i].decimals = dbf_fdecimals(d);
        list[i].flags = get_le16(d + 18);
    }
    s = dbf_create(temp, (int16_t)b->field_count, list, dialect);
    xdb_free(list);
    int16_t th = -1;
    if (s == XD_OK) s = dbf_open(&th, temp, dialect);
    if (s < 0) {
        XDSTATUS failure = s;
        xdb_set_status(XD_OK);
        if (th >= 0) dbf_close(th);
        xdb_set_status(XD_OK);
        xdb_fdelete(temp);
        xdb_set_status(XD_OK);
        unlock();
        return xdb_report(failure);
    }
    void* tblock;
    xdb_select(th, XDB_KIND_DBF, &tblock);
    DbfBlock* t = (DbfBlock*)tblock;
    // The code page byte says how the text of the records is to be read; the
    // records move to the new file unchanged, so the byte moves with them. (The
    // other header bytes describe the file itself: its date, count, lengths, the
    // production index beside it, transaction and network state.)
    t->header[29] = b->header[29];

    // Copy the live records in large writes: the file is the same as record-by-record
    // appends would make, once the trailing end-of-file byte is cut below.
    uint16_t length = dbf_record_length(b);
    uint32_t per_write = length ? (1u << 20) / length : 1;
    if (per_write == 0) per_write = 1;
    char* out = nullptr;
    s = xdb_alloc((void**)&out, (size_t)per_write * length + 1);
    uint32_t count = dbf_count(b), kept = 0, pending = 0;
    uint32_t position = dbf_header_length(t);
    // The copy reads the file afresh: the lock above keeps other writers out from
    // here on, but what an earlier scan left in the read-ahead may be stale.
    if (s >= 0) s = dbf_read_ahead_setup(handle);
    for (uint32_t n = 1; s >= 0 && n <= count; n++) {
        XDSTATUS r = dbf_read_ahead(handle, n);
        if (r < 0) {
            s = r;
            break;
        }
        xdb_set_status(XD_OK);
        if ((n & 1023) == 0) xdb_report_progress(n, count);
        if (r == XD_DELETEDREC) continue;
        memcpy(out + (size_t)pending * length, b->record, length);
        out[(size_t)pending * length] = ' ';
        pending++;
        kept++;
        if (pending == per_write) {
            s = write_at(t, position, out, pending * length);
            position += pending * length;
            pending = 0;
        }
    }
    if (s >= 0 && pending) s = write_at(t, position, out, pending * length);
    xdb_free(out);
    if (s >= 0) {
        put_le32(t->header + 4, kept);
        s = write_at(t, 4, t->header + 4, 4);
        if (s >= 0 && t->header[29]) s = write_at(t, 29, t->header + 29, 1);
    }
    XDSTATUS copy = s;
    xdb_set_status(XD_OK);
    unlock();
    xdb_set_status(XD_OK);
    if (copy < 0) {
        dbf_close(th);
        xdb_set_status(XD_OK);
        xdb_fdelete(temp);
        return xdb_report(copy);
    }
    xdb_fset_size(t->sh, dbf_header_length(t) + kept * (uint32_t)length);
    t->size_floor = 0;
    t->header_modified = 1;
    if ((s = dbf_close(th)) < 0) {
        xdb_set_status(XD_OK);
        xdb_fdelete(temp);
        return xdb_report(s);
    }
    return xdb_status();
}

XDSTATUS dbf_pack(int16_t* handle) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle) return xdb_report(XD_NULLPARAM);
    DbfBlock* b;
    if ((s = dbf_enter(*handle, &b))) return s;
    if (b->file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    // The file is replaced under its name: a handle elsewhere would go on writing
    // into the old file, now the backup, and lose what it writes. Windows refuses
    // the rename then; refuse before any work instead, leaving everything as it is.
    if (osl_open_elsewhere(b->sh)) return xdb_report(XD_ACCESSDENIED);

    std::string dir, base, path = b->name;
    split_path(b->name, &dir, &base);
    size_t dot = base.rfind('.');
    std::string backup = dir + (dot == std::string::npos ? base : base.substr(0, dot)) + ".BAK";
    std::string temp = xdb_free_temp_name(dir, ".DBF");
    uint8_t dialect = dbf_code(b);
    if ((s = dbf_pack_copy(*handle, temp.c_str(), 0)) < 0) return s;
    if ((s = dbf_close(*handle)) < 0) return s;
    *handle = -1;
    // The new file takes the table's name in one step, the old one kept as the
    // backup until then: at no moment is the table missing from its name.
    s = xdb_freplace(temp.c_str(), path.c_str(), backup.c_str());
    XDSTATUS replaced = s;
    xdb_set_status(XD_OK);
    if (replaced == XD_OK) {
        xdb_fdelete(backup.c_str());
        xdb_set_status(XD_OK);
    } else {
        xdb_fdelete(temp.c_str());  // the table stays as it was
        xdb_set_status(XD_OK);
    }
    int16_t reopened = -1;
    s = dbf_open(&reopened, path.c_str(), (uint16_t)(dialect | XDB_OPEN_DENYNONE | XDB_OPEN_SHARED));
    *handle = reopened;
    if (replaced < 0) return xdb_report(replaced);
    return s;
}

XDSTATUS dbf_file_name(int16_t handle, const char** name) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    *name = b->name;
    return xdb_status();
}

XDSTATUS dbf_open_elsewhere(int16_t handle, int* elsewhere) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!elsewhere) return xdb_report(XD_NULLPARAM);
    *elsewhere = osl_open_elsewhere(b->sh);
    return xdb_status();
}

XDSTATUS dbf_copy_file(int16_t handle, const char* target) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!target) return xdb_report(XD_NULLPARAM);
    uint32_t size = 0;
    if ((s = xdb_fsize(b->sh, &size))) return s;
    uint16_t out;
    if ((s = xdb_fcreate(&out, target))) return s;
    const uint32_t piece = 1u << 20;
    char* buf = nullptr;
    s = xdb_alloc((void**)&buf, piece);
    for (uint32_t at = 0; s == XD_OK && at < size;) {
        uint32_t n = size - at < piece ? size - at : piece;
        if ((s = xdb_fread_at(b->sh, at, buf, n)) == XD_OK) s = xdb_fwrite_at(out, at, buf, n, 1);
        at += n;
    }
    xdb_free(buf);
    XDSTATUS c = xdb_fclose(out);
    if (s == XD_OK && c != XD_OK) s = c;
    if (s != XD_OK) {
        XDSTATUS failure = s;
        xdb_set_status(XD_OK);
        xdb_fdelete(target);
        return xdb_report(failure);
    }
    return xdb_status();
}

XDSTATUS dbf_replace_file(int16_t handle, const char* source) { return dbf_switch_files(handle, source, nullptr, 0); }

XDSTATUS dbf_switch_files(int16_t handle, const char* source, const XdbSwitchStep* before, int count) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!source) return xdb_report(XD_NULLPARAM);
    if (osl_open_elsewhere(b->sh)) return xdb_report(XD_ACCESSDENIED);
    uint16_t mode = (uint16_t)((b->file_mode & XDB_FILE_READONLY ? XDB_OPEN_READONLY : 0) |
                               (b->file_mode & XDB_FILE_SHARED ? XDB_OPEN_DENYNONE | XDB_OPEN_SHARED : 0));
    dbf_end_whole_lock(b);  // the handle's locks go with its file
    if ((s = xdb_fclose(b->sh))) return s;
    XDSTATUS replaced;
    if (count > 0) {
        std::vector<XdbSwitchStep> steps(before, before + count);
        steps.push_back(XdbSwitchStep{source, b->name, std::string()});
        replaced = xdb_switch_files(xdb_switch_mark_name(b->name), steps.data(), (int)steps.size());
    } else {
        replaced = xdb_freplace(source, b->name, nullptr);
    }
    xdb_set_status(XD_OK);
    // The handle goes on with whichever file now has the name (the new one, or the
    // old one when the replacement failed): same slot, header read again.
    uint16_t file_mode = b->file_mode;
    s = xdb_fopen(&b->sh, b->name, mode, &file_mode);
    if (s == XD_OK) s = xdb_fread_at(b->sh, 0, b->header, 32);
    if (s != XD_OK) {
        // Nothing to go on with: the slot is given up.
        XDSTATUS failure = s;
        xdb_set_status(XD_OK);
        xdb_fclose(b->sh);
        b->sh = 0;
        xdb_free(b->name);
        b->name = nullptr;
        dbf_forget(handle);
        return xdb_report(failure);
    }
    b->file_mode = file_mode;
    b->current = 0;
    b->size_floor = 0;
    b->lock_count = 0;
    b->lock_offset = b->lock_length = 0;
    b->reader = 0;
    dbf_drop_read_ahead(b);
    return replaced < 0 ? xdb_report(replaced) : xdb_status();
}
