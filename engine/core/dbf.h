#pragma once
// DBF data files: open, describe, read records, convert field contents.
//
// File layout (all integers little-endian):
//   header        32 bytes
//     0          version byte (checked against the dialect)
//     1..3       date of last update: year - 1900, month, day
//     4..7       record count (unsigned)
//     8..9       header length: offset of record 1
//     10..11     record length, deletion flag byte included
//     12..27     reserved, kept as read
//     28         production index flag (dBASE IV / FoxPro 2.0: 0 or 1)
//     29         code page byte
//     30..31     reserved
//   descriptors   32 bytes per field, in record order
//     0..10      name, NUL-padded, at most 10 characters
//     11         type letter
//     12..15     FoxPro displacement / reserved
//     16         length
//     17         decimals (C fields of FoxPro and Clipper: high byte of the length)
//     18         Visual FoxPro flags: 0x01 system field, 0x02 may hold null
//     19..31     reserved / autoincrement data
//   0x0D          terminator (inside the last descriptor in the Omnis layout)
//   263 bytes     Visual FoxPro only: the database container back link
//   records       record length bytes each; byte 0 is ' ' (live) or '*' (deleted)
//   0x1A          end of file
//
// In memory the descriptors are rewritten: bytes 12..13 hold the field's offset in
// the record, 14..15 its length (16-bit), 20..27 the largest value of an N or F
// field as a double.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

struct XdbSwitchStep;  // file_switch.h

// DBF dialect codes (the low byte of the open-mode word); also the index type.
enum : uint8_t {
    DBF_DIALECT_DEFAULT = 0,  // opened as dBASE III
    DBF_DBASE3 = 1,
    DBF_DBASE4 = 2,
    DBF_FOXBASE = 3,
    DBF_FOXPRO1 = 4,
    DBF_CLIPPER = 5,
    DBF_CLIPPER5 = 6,
    DBF_DBXL = 7,
    DBF_FOXPRO2 = 8,
    DBF_OMNIS = 9,
    DBF_VFP = 10,
};
const uint8_t DBF_MEMO_FLAG = 0x80;

// Field description for callers.
struct DbfFieldInfo {
    char name[11];
    char type;
    uint16_t length;
    uint8_t decimals;
    uint16_t flags;  // descriptor bytes 18..19
};

// Date-time value of T fields.
struct DbfDateTime {
    int16_t year, month, day;
    int16_t hour, minute, second, millisecond;
};

size_t dbf_control_block_size();
// The name the driver shows for a dialect code.
const char* dbf_dialect_name(uint8_t dialect);

XDSTATUS dbf_open(int16_t* handle, const char* name, uint16_t open_mode);
// A failed open leaves its reason in words in xdb_fault_text (status.h).
XDSTATUS dbf_close(int16_t handle);

// `fields` receives one entry per field (room for dbf_field_count entries).
XDSTATUS dbf_describe_fields(int16_t handle, uint16_t* largest_length, DbfFieldInfo* fields);
XDSTATUS dbf_field_count(int16_t handle, uint16_t* count);
XDSTATUS dbf_find_field(int16_t handle, int16_t* index, const char* name);
XDSTATUS dbf_check_field_index(int16_t handle, int16_t index);
XDSTATUS dbf_record_layout(int16_t handle, char** record, uint16_t* record_length, uint16_t* field_count);
XDSTATUS dbf_current_record(int16_t handle, uint32_t* recno);
XDSTATUS dbf_record_count(int16_t handle, uint32_t* count);
// The record count as the file holds it now: a shared file's count is read again
// from the header (another process may have appended); an exclusive file's is
// the one in memory.
XDSTATUS dbf_refresh_count(int16_t handle, uint32_t* count);
// Header facts for display: version byte, update date, header length, code page
// byte, production index flag, dialect as opened (with the memo flag).
struct DbfHeaderInfo {
    uint8_t version;
    uint8_t year, month, day;
    uint32_t record_count;
    uint16_t header_length;
    uint16_t record_length;
    uint8_t mdx_flag;
    uint8_t code_page;
    uint8_t dialect;
    uint16_t file_mode;
};
XDSTATUS dbf_header_info(int16_t handle, DbfHeaderInfo* info);

XDSTATUS dbf_read_record(int16_t handle, uint32_t recno);
XDSTATUS dbf_is_deleted(int16_t handle);

// Sequential reads through a buffer of many records. Set-up is optional (the
// first read-ahead sets it up); release frees the buffer.
XDSTATUS dbf_read_ahead_setup(int16_t handle);
XDSTATUS dbf_read_ahead(int16_t handle, uint32_t recno);
XDSTATUS dbf_read_ahead_release(int16_t handle);

// Caller's value forms: C, V text (length + 1 bytes); N, F, B, Y double; D text in
// the current date format (11 bytes); L one byte; M, P uint32 block; I int32;
// T DbfDateTime; Q uint16 length then the bytes. `undefined` (may be null)
// receives 1 for a logical that holds no truth value, else 0.
XDSTATUS dbf_get_field(int16_t handle, int16_t index, void* value, int* undefined);
XDSTATUS dbf_put_field(int16_t handle, int16_t index, const void* value);

// Every field of the current record converted in one call (scans, dumps, the
// driver's record reads, keys). Text points into the handle's record buffer (dates
// into `date`, in the current date format) and is valid until the handle's next
// read or write; it is not terminated: `length` bytes.
enum : uint8_t {
    DBF_VALUE_EMPTY = 0x01,      // blank, as dbf_field_empty says (nulls aside)
    DBF_VALUE_NULL = 0x02,       // Visual FoxPro null flag set
    DBF_VALUE_UNDEFINED = 0x04,  // a logical that holds no truth value
};
struct DbfValue {
    char type;         // the field's type letter
    uint8_t state;     // DBF_VALUE_* bits
    uint16_t length;   // bytes at text (C, V, Q, D and unknown types)
    const char* text;  // C, V, Q: the stored bytes (V, Q: the value's own length)
    double number;     // N, F, Y: the value; B: the stored double
    int32_t integer;   // I
    uint32_t block;    // G, M, P, W: the memo block number (0: none)
    uint8_t logical;   // L: 1 true, else 0
    DbfDateTime datetime;  // T (all zero when empty)
    char date[11];         // D, in the current date format (blanks when empty)
    int64_t currency;      // Y: the amount in ten-thousandths, exact
    // Every type: the field's characters as the record holds them (the text form
    // of C, D, V and unknown types; the digits of N and F), field length bytes.
    const char* field_text;
    uint16_t field_length;
};
// `count` values (at most the field count) are filled, in field order. A field
// that does not convert (a malformed date) is reported after the others are given.
XDSTATUS dbf_get_record(int16_t handle, DbfValue* values, uint16_t count);
// The same for a reader that takes numbers and dates from their stored text
// (field_text): N and F fields are not parsed (number 0), D fields not formatted
// (text and length are the stored characters, date empty).
XDSTATUS dbf_get_record_forms(int16_t handle, DbfValue* values, uint16_t count);
// ---- Writing (the record buffer, filled by put_field, is what gets written) ----

// One field of a create: the name, type letter (upper-cased in place), length and
// decimal count (set by create for D, L and M), flags (descriptor bytes 18..19,
// carried by pack but not written by create).
struct DbfCreateField {
    char name[11];
    uint16_t type;
    uint16_t length;
    uint16_t decimals;
    uint16_t flags;
};
// Create mode: the dialect (1..9) in the low byte; this bit asks for the
// production index flag.
const uint16_t DBF_CREATE_PRODUCTION_INDEX = 0x0200;

XDSTATUS dbf_create(const char* name, int16_t field_count, DbfCreateField* fields, uint16_t mode);
// Mode 0 appends (the new number comes back in *recno); mode 0x0100 rewrites *recno.
const uint16_t DBF_WRITE_APPEND = 0x0000;
const uint16_t DBF_WRITE_REWRITE = 0x0100;
// Appends the record marked deleted: a record that becomes live only when its
// writer recalls it, once everything that goes with it is in place.
const uint16_t DBF_WRITE_APPEND_DELETED = 0x0400;
// Rewrites *recno marked deleted (a record that must not become live, such as an
// add that did not stand).
const uint16_t DBF_WRITE_REWRITE_DELETED = 0x0500;
XDSTATUS dbf_write_record(int16_t handle, uint32_t* recno, uint16_t mode);
// Appends `count` whole records (record length bytes each, the deletion byte ' '
// or '*' first) in one write and counts them once; *first receives the number of
// the first. The last becomes the current record. Either all are written and
// counted or none is counted.
XDSTATUS dbf_append_records(int16_t handle, const void* records, uint32_t count, uint32_t* first);
XDSTATUS dbf_delete_record(int16_t handle, uint32_t recno);
// Fills the record buffer as an empty record (blanks; zeros where Visual FoxPro
// stores binary values), for a record to be built field by field.
XDSTATUS dbf_blank_record(int16_t handle);
// Marks the header changed, so that close stamps the update date.
XDSTATUS dbf_mark_changed(int16_t handle);
XDSTATUS dbf_recall_record(int16_t handle, uint32_t recno);
// Marks the record buffer deleted or live without writing anything: what a
// condition on DELETED() sees of a record about to be made so. Put the mark back
// before the buffer is written or its record's mark changed.
XDSTATUS dbf_set_buffer_mark(int16_t handle, int deleted);
// Removes the deleted records; the file is replaced and opened again, so *handle
// may change.
XDSTATUS dbf_pack(int16_t* handle);

// ---- Replacing the file of an open table (memo rebuilds) ----

// The file name the table was opened by.
XDSTATUS dbf_file_name(int16_t handle, const char** name);
// *elsewhere = 1 when another handle (any process) holds the table's file open.
XDSTATUS dbf_open_elsewhere(int16_t handle, int* elsewhere);
// A byte-for-byte copy of the table's file as `target`.
XDSTATUS dbf_copy_file(int16_t handle, const char* target);
// Puts the finished file `source` in the place of the table's file in one step and
// goes on with it under the same handle (header read again; locks, position and
// read-ahead dropped). Refused while another handle holds the file. When the
// replacement fails, the handle goes on with the old file.
XDSTATUS dbf_replace_file(int16_t handle, const char* source);
// The live records of the table copied into a new file `temp` of the same layout
// (what a pack puts in the table's place), under file lock mode 2: taken and let
// go here unless the caller holds it already.
XDSTATUS dbf_pack_copy(int16_t handle, const char* temp, int caller_holds_lock);
// The same, with other files switched first as one step with the table's (see
// file_switch.h): after a stop, the table's next open finishes or undoes them all.
XDSTATUS dbf_switch_files(int16_t handle, const char* source, const XdbSwitchStep* before, int count);

// ---- Locks (byte ranges far beyond the data, shared with other programs) ----

// File lock modes: 1 the byte 0x7FFFFFFE, 2 the whole lock area, 3 all of it but
// byte 0x7FFFFFFE, 4 a shared lock (one of 62 reader bytes), 5 a test only.
XDSTATUS dbf_lock_file(int16_t handle, int16_t mode);
XDSTATUS dbf_unlock_file(int16_t handle, int16_t mode);
// The lock of mode 2 (the whole area) this handle holds now, as a number no other
// such lock of this process had (0: none). While it is held no other program
// changes the table's records, nor therefore its indexes.
uint32_t dbf_whole_lock(int16_t handle);
// `ending` is called with a whole lock's number as that lock ends (let go, its
// handle closed or its file replaced), before other programs can take the table:
// what was kept on the strength of that lock goes with it.
void dbf_on_whole_lock_end(void (*ending)(uint32_t lock));
// Record lock modes: 5 test, 6 unlock (record 0: every record this handle holds),
// 7 lock.
const int16_t DBF_RECORD_TEST = 5;
const int16_t DBF_RECORD_UNLOCK = 6;
const int16_t DBF_RECORD_LOCK = 7;
XDSTATUS dbf_lock_record(int16_t handle, int16_t mode, uint32_t recno);
// The record numbers this handle holds locked (for tests and diagnostics).
XDSTATUS dbf_locked_records(int16_t handle, const uint32_t** list, uint32_t* count);

// 1 when the field of the current record is empty (all blanks, or null in Visual
// FoxPro), else 0. Not a status: a bad handle or index answers 0.
int dbf_field_empty(int16_t handle, int16_t index);
