#pragma once
// The uniform index operations: the driver holds one IndexAccess per open index (or
// open tag of a multi-tag file) and calls these; each finds the format's table of
// operations by the index type code (index_format.h) and keeps the rules every
// format shares. Formats: 1 NDX; 2 MDX; 3 IDX; 4, 8, 10 CDX; 5, 6 NTX; 7 and 9 have
// none. Every operation clears the last status first and returns an engine status.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/core/status.h"

struct IndexAccess {
    int32_t type;             // index type code
    uint16_t file_handle;     // engine handle of a single-key file (NDX, IDX, NTX)
    int32_t tag_handle;       // engine handle of the tag of a multi-tag file (MDX, CDX)
    uint32_t key_length;      // the caller's key buffer: the format's key length, + 1 for 'C'
    int16_t key_type;         // 'C', 'D', 'L', 'N'; for CDX also 10, 11, 12
    uint8_t key_host_type;    // host value type code of keys
    uint8_t value_host_type;  // host value type code of searched values
    uint32_t key_width;       // numeric keys: the field's width and decimals
    uint32_t key_decimals;
    uint32_t raw_character_key;  // non-zero: search values are not blank-padded
    // Key from record: the key is one field's value (set by the driver).
    int16_t single_field;        // field index, or -1
    char single_field_type;
};

struct IndexDescription {
    int16_t key_length;  // + 1 for 'C'
    int16_t key_type;
    int16_t flags;       // 128 unique (NTX: 256 descending)
    int16_t decimals;
    std::string key_expression;
    std::string for_expression;  // a conditional index's condition (NTX), else empty
    char name[25];
};

// Creation request (IndexCreate).
struct IndexCreateRequest {
    const char* file_name;
    const char* expression;
    char key_type;        // 'C', 'D', 'N', 'L'
    uint16_t key_length;  // character keys
    int unique;
    const char* tag_name;  // multi-tag formats
    // Numeric keys of formats that store them as text (NTX): width and decimals;
    // a width of 0 takes key_length.
    uint16_t key_width = 0, key_decimals = 0;
};

// The keys an index of `expression` over a table holds, decided here for every
// caller (creation, rebuilds, the command line): the type of the expression's value
// on the table's current record (a blank record when none was read), the length
// of a text key, and for formats that keep numbers as text (NTX) the width and
// decimals: the field's when the expression is one numeric field, else 10 and 0
// (the width a Clipper-family program gives a computed number).
struct IndexKeyShape {
    char type = 0;  // 'C', 'N', 'D', 'L', 'T', 'I', 'Y'; 0 when the value is of no key type
    uint16_t length = 0;  // text: its characters; numbers, dates, date-times, currency: 8; 'I' 4; 'L' 1
    uint16_t width = 0, decimals = 0;
};
XDSTATUS IndexShapeOf(int16_t data_handle, const char* expression, IndexKeyShape* out);

// ".ndx", ".mdx", ".idx", ".cdx", ".ntx" for the types that have a format, else "".
const char* index_extension(int32_t type);
// The index type of a file by its extension, in any case: ".ndx" 1, ".mdx" 2,
// ".ntx" 5, ".idx" 3, ".cdx" 10; anything else, or no name, 11 (not supported).
int32_t index_type_of_file(const char* name);
// Whether the engine has the format of this type code (the others are refused).
bool index_format_available(int32_t type);
bool index_is_multitag(int32_t type);

// The handle of the access's tree: its tag's in a multi-tag file, else the file's
// (for the calls that take a file's or a tag's handle: IndexDescribe, IndexCheck).
int16_t IndexTreeHandle(const IndexAccess* a);

// Key buffers of first and last are cleared over this many bytes first (the
// largest key of any format and its terminator): they must be at least this long.
// A CDX tag's keys reach 240 bytes (Visual FoxPro's files hold 120-byte ones).
const size_t kIndexKeyBuffer = 241;

XDSTATUS IndexFirst(IndexAccess* a, void* key, uint32_t* recno);
XDSTATUS IndexLast(IndexAccess* a, void* key, uint32_t* recno);
XDSTATUS IndexNext(IndexAccess* a, void* key, uint32_t* recno);
XDSTATUS IndexPrevious(IndexAccess* a, void* key, uint32_t* recno);
XDSTATUS IndexResync(IndexAccess* a, void* key, uint32_t* recno);
XDSTATUS IndexSeek(IndexAccess* a, void* key, int pad, uint32_t* recno, uint16_t mode);
XDSTATUS IndexAddKey(IndexAccess* a, const void* key, uint32_t recno);
XDSTATUS IndexDeleteKey(IndexAccess* a, const void* key, uint32_t recno);
// The key of the current record of the table `data_handle`.
XDSTATUS IndexKeyFromRecord(IndexAccess* a, int16_t data_handle, void* key);
XDSTATUS IndexOpen(int32_t type, const char* file_name, uint16_t open_mode, int16_t* handle);
XDSTATUS IndexClose(int32_t type, int16_t handle);
// The index's table is locked whole (file lock mode 2) through `data_handle`:
// while that lock lasts no other program changes the index, and a shared index
// keeps what it reads across operations as an exclusive one does, instead of
// reading it again at each. Given again after each new lock; -1 ends the hold
// (so does letting the lock go). A format that cannot hold answers XD_OK.
XDSTATUS IndexHold(int32_t type, int16_t file_handle, int16_t data_handle);
// One write of a record's keys in several tags of one file: on a shared file the
// file's update lock is taken once for all of them (and a change another
// program's stop left is finished once) until IndexWriteEnd, which every begin
// that answered XD_OK must be paired with. Each tag's change still commits on its
// own. A failed begin holds nothing: the changes then lock one by one.
XDSTATUS IndexWriteBegin(int32_t type, int16_t file_handle);
void IndexWriteEnd(int32_t type, int16_t file_handle);
XDSTATUS IndexCreate(const IndexCreateRequest* request);
// Builds the index again from its table. A multi-tag file (CDX) is built again
// whole, every tag from its own expression, unless `tag_name` names one tag, which
// is then made (or replaced) and filled from the table as IndexBuildTag does.
XDSTATUS IndexRebuild(int32_t type, int16_t data_handle, const char* file_name, const char* expression,
                      uint8_t key_type, uint16_t key_length, uint16_t decimals, const char* tag_name);
// A tag of a multi-tag file made (replacing one of that name) and filled from the
// table; the file is made when it does not exist.
struct IndexTagBuild {
    const char* file_name;
    const char* tag_name;
    const char* expression;
    const char* condition;  // null or empty: every record
    char key_type;          // 'C', 'D', 'L', 'N'
    uint16_t key_length;    // character keys
    bool unique, descending;
};
XDSTATUS IndexBuildTag(int32_t type, int16_t data_handle, const IndexTagBuild* build);
// A new multi-tag file without tags (replacing a file of that name): a table's
// structural index before its first tag.
XDSTATUS IndexCreateEmpty(int32_t type, const char* file_name);
// Removes a tag from a multi-tag file open as `file_handle` (no such tag: XD_OK).
XDSTATUS IndexRemoveTag(int32_t type, int16_t file_handle, const char* tag_name);
// Walks the whole index and checks its structure and key order; the number of
// entries in *entries. XD_CORRUPT with the first fault in `fault`.
XDSTATUS IndexCheck(int32_t type, int16_t handle, uint32_t* entries, char* fault, size_t cap);
// The same walk handing every entry, in key order, to `entry` (the key's bytes as
// the file holds them, and its record): the entries of an index in one read of
// each page, where a walk by IndexFirst and IndexNext checks a shared file for
// changes at every step.
typedef void (*IndexEntryFn)(void* context, const uint8_t* key, uint32_t recno);
XDSTATUS IndexCheckEntries(int32_t type, int16_t handle, uint32_t* entries, char* fault, size_t cap, IndexEntryFn entry,
                           void* context);
// Whether the current record of the table belongs in the index: false only for
// records a conditional index leaves out.
XDSTATUS IndexRecordIncluded(const IndexAccess* a, int16_t data_handle, bool* included);
// Tags. A single-key file (NDX, IDX, NTX) is its one tag, open with the file:
// TagCount 1, TagOpen and TagClose do nothing. Multi-tag files (MDX, CDX) count
// their tags and open them by name into a tag handle, which the key operations of
// an IndexAccess then take. Types without a format: count 0, opens and closes
// that do nothing.
XDSTATUS TagCount(int32_t type, int16_t file_handle, int16_t* count);
// The count and a stamp of a file's tag list: a multi-tag file's stamp changes
// when another program removes a tag and makes another, though the count stays
// (tag numbers then name other tags). A single-key file's stamp is 0.
XDSTATUS TagListStamp(int32_t type, int16_t file_handle, int16_t* count, uint64_t* stamp);
XDSTATUS TagOpen(int32_t type, const char* tag_name, int16_t file_handle, int32_t* tag_handle);
XDSTATUS TagClose(int32_t type, int32_t tag_handle);
// Opens tag `number` (from 0, in the file's order) of a multi-tag file; for a
// single-key file, number 0 is the file itself (no handle given: -1).
XDSTATUS TagOpenNumber(int32_t type, int16_t file_handle, int16_t number, int32_t* tag_handle);
// Formats whose files do not say what kind of keys they hold (IDX): the open
// index learns it from its expression's value on the table's current record (a
// blank record when none was read), and describes it so from then on. Nothing to
// do for the other formats.
XDSTATUS IndexLearnKeyType(int32_t type, int16_t handle, int16_t data_handle);
// Describes the file's one key, or an open tag of a multi-tag file by its handle.
XDSTATUS IndexDescribe(int32_t type, int16_t handle, IndexDescription* out);
// Describes tag `number` (from 0) of an open file: the file's one key for a
// single-key file (number 0); a multi-tag file's tag opened by number, described
// and closed again.
XDSTATUS IndexDescribeTag(int32_t type, int16_t file_handle, int16_t number, IndexDescription* out);

// Compares two keys of the index the way its tree orders them: < 0, 0 or > 0.
// Character keys compare over their first `length` bytes (a shorter length
// compares a prefix); the other key types over the whole key.
int IndexCompareKeys(const IndexAccess* a, const void* left, const void* right, uint32_t length);

// The number of bytes a whole key of the index compares over: the text of an NTX
// key (numbers and dates are text there too), a character key's bytes, or the 8
// bytes of an NDX number or date.
uint32_t IndexKeySize(const IndexAccess* a);

// The key that sorts last in the index's order among those that begin with
// `prefix` (`length` bytes): the rest of the key (IndexKeySize bytes in all) is
// filled with the byte that sorts last (the highest, the lowest in a descending
// index, or the heaviest of the national order), then terminated. Seeking it lands
// on the last key with that prefix.
XDSTATUS MakeLastKeyWithPrefix(const IndexAccess* a, const void* prefix, uint32_t length, void* key);

// The value of a key of a numeric or date expression, whatever form the format
// stores it in: a number, or a date (false for the blank date).
XDSTATUS IndexKeyNumber(const IndexAccess* a, const void* key, double* value);
bool IndexKeyDate(const IndexAccess* a, const void* key, int* year, int* month, int* day);

// Key makers: into a key buffer of a->key_length bytes.
XDSTATUS MakeCharacterKey(const IndexAccess* a, const char* text, void* key);
XDSTATUS MakeNumericKey(const IndexAccess* a, double value, void* key);
XDSTATUS MakeDateKey(const IndexAccess* a, const char* date_text, void* key);
XDSTATUS MakeIntegerKey(const IndexAccess* a, int32_t value, void* key);
XDSTATUS MakeCurrencyKey(const IndexAccess* a, double value, void* key);
XDSTATUS MakeDateTimeKey(const IndexAccess* a, const char* text, void* key);
// By a DBF field type letter (B, F, N numeric; C, L, V character; D date; I integer;
// T date-time; Y currency); `value` is text for the text forms, else a double or
// an int32 as the type needs.
XDSTATUS MakeKeyFromField(const IndexAccess* a, char field_type, const void* value, void* key);
