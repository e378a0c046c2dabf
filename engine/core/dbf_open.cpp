// Opening a DBF file with its header and descriptor checks, describing its fields,
// closing it.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "engine/core/dates.h"
#include "engine/core/dbf_internal.h"
#include "engine/core/file_switch.h"

namespace {

const uint16_t kVfpBackLink = 263;  // Visual FoxPro database container area

bool version_accepted(uint8_t dialect, uint8_t version) {
    switch (dialect) {
    case DBF_DBASE4: return version == 0x03 || version == 0x83 || version == 0x8B;
    case DBF_FOXPRO1:
    case DBF_FOXPRO2: return version == 0x03 || version == 0xF5;
    case DBF_VFP: return version == 0x30 || version == 0x31 || version == 0x32 || version == 0xF5;
    default: return version == 0x03 || version == 0x83;
    }
}

bool c_length_extended(uint8_t dialect) {
    return dialect == DBF_FOXPRO1 || dialect == DBF_CLIPPER || dialect == DBF_CLIPPER5 || dialect == DBF_FOXPRO2;
}

int largest_numeric_length(uint8_t dialect) {
    return dialect == DBF_DBASE4 || dialect == DBF_FOXPRO1 || dialect == DBF_FOXPRO2 ? 20 : 19;
}

// Largest value of an N or F field: length nines with the decimal point in place.
double largest_value(int length, int decimals) {
    char text[32];
    if (length > 30) length = 30;
    memset(text, '9', (size_t)length);
    text[length] = 0;
    int dot = length - decimals - 1;
    if (decimals != 0 && dot >= 0 && dot < length) text[dot] = '.';
    return strtod(text, nullptr);
}

// Checks and rewrites the descriptors in memory; the status of the first bad one.
XDSTATUS parse_descriptors(DbfBlock* b, uint32_t* record_sum) {
    uint32_t offset = 1;
    uint8_t version = b->header[0];
    b->null_flags = -1;
    for (int i = 0; i < b->field_count; i++) {
        uint8_t* d = dbf_desc(b, i);
        size_t name_len = strnlen((const char*)d, 11);
        if (name_len >= 11) return xdb_fault(XD_BADFIELDNAME, true, "field %d: its name does not end within 11 bytes", i + 1);
        for (size_t k = 0; k < name_len; k++) d[k] = (uint8_t)toupper(d[k]);
        if (!(d[11] >= 'A' && d[11] <= 'Z')) d[11] = (uint8_t)toupper(d[11]);
        char type = (char)d[11];
        uint32_t length = d[16];
        uint8_t code = dbf_code(b);
        double largest = 0;
        switch (type) {
        case 'B': case 'G': case 'I': case 'P': case 'Q': case 'T': case 'V': case 'W': case 'Y':
            if (code != DBF_VFP)
                return xdb_fault(XD_BADVERSION, true, "field %s: type %c belongs to Visual FoxPro tables only, not to %s",
                             (const char*)d, type, dbf_dialect_name(code));
            break;
        case 'C':
            if (c_length_extended(code)) length += 256u * d[17];
            break;
        case 'D':
        case 'L':
            break;
        case 'N':
        case 'F':
            if ((int)length > largest_numeric_length(code))
                return xdb_fault(XD_BADFIELDSIZE, true, "field %s: %c(%u) is wider than the %d digits %s allows", (const char*)d,
                             type, length, largest_numeric_length(code), dbf_dialect_name(code));
            largest = largest_value((int)length, d[17]);
            break;
        case 'M':
            if ((code == DBF_FOXPRO1 || code == DBF_FOXPRO2) ? version != 0xF5 : code != DBF_VFP && !(version & 0x80))
                return xdb_fault(XD_BADVERSION, true, "field %s: a memo field, but version byte 0x%02X says %s has no memo file",
                             (const char*)d, version, "the table");
            if (code != DBF_VFP) b->dialect |= DBF_MEMO_FLAG;
            break;
        default:
            if (code != DBF_VFP || !(d[18] & 0x01))
                return xdb_fault(XD_BADFIELDTYPE, true, "field %s: type '%c' (byte 0x%02X) is no field type of %s",
                             (const char*)d, isprint((unsigned char)type) ? type : '?', (uint8_t)type,
                             dbf_dialect_name(code));
            break;
        }
        put_le16(d + 12, (uint16_t)offset);
        put_le16(d + 14, (uint16_t)length);
        memcpy(d + 20, &largest, 8);
        offset += length;
        if (length > b->largest_field) b->largest_field = (uint16_t)(length > 0xFFFF ? 0xFFFF : length);
        if (strcasecmp((const char*)d, "_NullFlags") == 0) b->null_flags = (int16_t)i;
    }
    *record_sum = offset;
    return XD_OK;
}

void free_block_parts(DbfBlock* b) {
    xdb_free(b->fields);
    xdb_free(b->record);
    xdb_free(b->scratch);
    xdb_free(b->locks);
    xdb_free(b->name);
    xdb_free(b->ra_buffer);
    xdb_free(b->ra_offsets);
    dbf_record_cache_free(b);
}

// The checks of an open, in their order; the file is open on b->sh.
XDSTATUS check_and_load(DbfBlock* b, uint8_t dialect) {
    XDSTATUS s = xdb_fread(b->sh, b->header, 32);
    if (s) return s;
    if (dialect > DBF_VFP) return XD_BADCOMMAND;
    if (dialect == DBF_DIALECT_DEFAULT) dialect = DBF_DBASE3;
    b->dialect = dialect;
    uint16_t header_length = dbf_header_length(b);
    if (!version_accepted(dialect, b->header[0]))
        return xdb_fault(XD_BADVERSION, false, "version byte 0x%02X is not one of %s", b->header[0], dbf_dialect_name(dialect));
    if (dialect == DBF_VFP && header_length < 264)
        return xdb_fault(XD_BADVERSION, false, "a Visual FoxPro header has at least 264 bytes; this one says %u",
                     header_length);
    int h = dialect == DBF_VFP ? header_length - kVfpBackLink : header_length;
    if (h < 32 || h % 32 > 2)
        return xdb_fault(XD_BADHEADERSIZE, true, "the header length %u is not 32 bytes and 32 per field (and 1 or 2 more)",
                     header_length);
    if ((dialect == DBF_DBASE4 || dialect == DBF_FOXPRO2) && (int8_t)b->header[28] != 0 &&
        (int8_t)b->header[28] != 1)
        return xdb_fault(XD_BADMDXFLAG, true, "byte 28 (the production index flag) is %d, not 0 or 1", (int8_t)b->header[28]);
    int count = (h - 32) >> 5;
    if ((s = xdb_alloc((void**)&b->fields, (size_t)count * 32 + 1))) return s;
    if ((s = xdb_fread_big(b->sh, b->fields, (uint32_t)count * 32))) return s;
    uint16_t record_length = dbf_record_length(b);
    if ((s = xdb_alloc((void**)&b->locks, 64 * sizeof(uint32_t)))) return s;
    b->lock_capacity = 64;
    if ((s = xdb_alloc((void**)&b->record, (size_t)record_length + 1))) return s;
    if ((s = xdb_alloc((void**)&b->scratch, (size_t)record_length + 1))) return s;
    memset(b->record, ' ', record_length);
    // The Omnis layout ends the header inside the last descriptor.
    if (count > 0 && b->fields[32 * (count - 1)] == 0x0D) {
        count--;
        b->dialect = dialect = DBF_OMNIS;
    }
    b->field_count = (uint16_t)count;
    uint32_t sum = 0;
    if ((s = parse_descriptors(b, &sum))) return s;
    if (sum != record_length)
        return xdb_fault(XD_BADRECSIZE, true, "the fields add up to %u bytes a record, the header says %u", sum, record_length);
    return XD_OK;
}

}  // namespace

size_t dbf_control_block_size() { return sizeof(DbfBlock); }

const char* dbf_dialect_name(uint8_t dialect) {
    static const char* const kNames[11] = {
        "dBASE III", "dBASE III", "dBASE IV", "FoxBASE", "FoxPro 1.0", "Clipper",
        "Clipper 5.0", "dBXL/Quicksilver", "FoxPro 2.0", "Omnis", "Visual FoxPro",
    };
    dialect &= 0x7F;
    return dialect <= DBF_VFP ? kNames[dialect] : "";
}

XDSTATUS dbf_open(int16_t* handle, const char* name, uint16_t open_mode) {
    xdb_clear_fault();
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    // A rebuild stopped while switching the table and its memo file left a mark:
    // the pair is made whole (both old or both new) before the table is read.
    if ((s = xdb_finish_switch(xdb_switch_mark_name(name))) < 0) {
        *handle = -1;
        return s;
    }
    void* block = nullptr;
    if ((s = xdb_alloc_slot(XDB_KIND_DBF, handle, &block))) return s;
    DbfBlock* b = (DbfBlock*)block;
    open_mode = xdb_expand_open_mode(open_mode);
    b->dialect = (uint8_t)(open_mode & 0xFF);
    if ((s = xdb_fopen(&b->sh, name, open_mode, &b->file_mode))) {
        xdb_release_slot(*handle);
        *handle = -1;
        return s;
    }
    b->commit = 1;
    s = check_and_load(b, (uint8_t)(open_mode & 0xFF));
    if (s == XD_OK) {
        size_t n = strlen(name);
        s = xdb_alloc((void**)&b->name, n + 1);
        if (s == XD_OK) memcpy(b->name, name, n + 1);
    }
    if (s != XD_OK) {
        xdb_report(s);
        xdb_fclose(b->sh);
        xdb_set_status(s);
        free_block_parts(b);
        xdb_release_slot(*handle);
        *handle = -1;
        return s;
    }
    b->current = 0;
    b->header_modified = 0;
    uint32_t size = 0;
    if ((s = xdb_fsize(b->sh, &size))) {
        dbf_close(*handle);
        xdb_set_status(s);
        *handle = -1;
        return s;
    }
    uint64_t expected = (uint64_t)dbf_record_length(b) * dbf_count(b) + dbf_header_length(b);
    if (size != expected && size != expected + 1 && size != expected + dbf_record_length(b))
        xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

void dbf_forget(int16_t handle) {
    void* block;
    if (xdb_select(handle, XDB_KIND_DBF, &block) != XD_OK) return;
    free_block_parts((DbfBlock*)block);
    xdb_release_slot(handle);
}

XDSTATUS dbf_close(int16_t handle) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (b->header_modified) {
        b->header_modified = 0;
        int year, month, day;
        xdb_today(&year, &month, &day, nullptr);
        uint8_t stamp[3] = {(uint8_t)(year - 1900), (uint8_t)month, (uint8_t)day};
        if ((s = xdb_fseek(b->sh, 1)) || (s = xdb_fwrite(b->sh, stamp, 3, b->commit))) {
            b->header_modified = 1;
            return s;
        }
        memcpy(b->header + 1, stamp, 3);
    }
    dbf_end_whole_lock(b);  // the handle's locks go with its file
    s = xdb_fclose(b->sh);
    free_block_parts(b);
    xdb_release_slot(handle);
    return s ? s : xdb_status();
}

XDSTATUS dbf_field_count(int16_t handle, uint16_t* count) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!count) return xdb_report(XD_NULLPARAM);
    *count = b->field_count;
    return xdb_status();
}

XDSTATUS dbf_describe_fields(int16_t handle, uint16_t* largest_length, DbfFieldInfo* fields) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!largest_length || (!fields && b->field_count)) return xdb_report(XD_NULLPARAM);
    *largest_length = b->largest_field;
    for (int i = 0; i < b->field_count; i++) {
        const uint8_t* d = dbf_desc(b, i);
        DbfFieldInfo& f = fields[i];
        memset(f.name, 0, sizeof f.name);
        memcpy(f.name, d, strnlen((const char*)d, 10));
        f.type = dbf_ftype(d);
        f.length = dbf_flength(d);
        // The decimals byte of a C field is the high byte of its length in the
        // dialects that extend it.
        f.decimals = f.type == 'C' && c_length_extended(dbf_code(b)) ? 0 : dbf_fdecimals(d);
        f.flags = get_le16(d + 18);
    }
    return xdb_status();
}

XDSTATUS dbf_find_field(int16_t handle, int16_t* index, const char* name) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!index || !name) return xdb_report(XD_NULLPARAM);
    for (int i = 0; i < b->field_count; i++) {
        if (strncmp((const char*)dbf_desc(b, i), name, 11) == 0) {
            *index = (int16_t)i;
            return xdb_status();
        }
    }
    *index = (int16_t)b->field_count;
    return xdb_report(XD_BADFIELDNAME);
}

XDSTATUS dbf_check_field_index(int16_t handle, int16_t index) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (index < 0 || index >= b->field_count) return xdb_report(XD_BADFIELDCOUNT);
    return xdb_status();
}

XDSTATUS dbf_record_layout(int16_t handle, char** record, uint16_t* record_length, uint16_t* field_count) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!record || !record_length || !field_count) return xdb_report(XD_NULLPARAM);
    *record = b->record;
    *record_length = dbf_record_length(b);
    *field_count = b->field_count;
    return xdb_status();
}

XDSTATUS dbf_current_record(int16_t handle, uint32_t* recno) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!recno) return xdb_report(XD_NULLPARAM);
    *recno = b->current;
    return xdb_status();
}

XDSTATUS dbf_record_count(int16_t handle, uint32_t* count) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!count) return xdb_report(XD_NULLPARAM);
    *count = dbf_count(b);
    return xdb_status();
}

XDSTATUS dbf_refresh_count(int16_t handle, uint32_t* count) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!count) return xdb_report(XD_NULLPARAM);
    if ((b->file_mode & XDB_FILE_SHARED) && (s = dbf_reread_count(b))) return s;
    *count = dbf_count(b);
    return xdb_status();
}

XDSTATUS dbf_header_info(int16_t handle, DbfHeaderInfo* info) {
    DbfBlock* b;
    XDSTATUS s = dbf_enter(handle, &b);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    info->version = b->header[0];
    info->year = b->header[1];
    info->month = b->header[2];
    info->day = b->header[3];
    info->record_count = dbf_count(b);
    info->header_length = dbf_header_length(b);
    info->record_length = dbf_record_length(b);
    info->mdx_flag = b->header[28];
    info->code_page = b->header[29];
    info->dialect = b->dialect;
    info->file_mode = b->file_mode;
    return xdb_status();
}
