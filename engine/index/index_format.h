#pragma once
// A format's operations, as the uniform index layer (index.h) reaches them: one
// table per format, so that the layer keeps only what every format shares (host
// keys, prefixes and padding, the choice of key maker) and each format file only
// its bytes and rules; MDX and CDX add the tag operations of the multi-tag files.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"
#include "engine/index/index.h"

struct IndexFormat {
    const char* extension;
    // Numbers and dates as keys: text as wide as the key (true), or 8-byte
    // doubles (false).
    bool text_keys;
    XDSTATUS (*create)(const IndexCreateRequest* request);
    XDSTATUS (*open)(int16_t* handle, const char* name, uint16_t open_mode);
    XDSTATUS (*close)(int16_t handle);
    XDSTATUS (*describe)(int16_t handle, IndexDescription* out);
    // Positioning: keys come back in the caller's buffer (key length + 1 bytes).
    XDSTATUS (*first)(int16_t handle, void* key, uint32_t* recno);
    XDSTATUS (*last)(int16_t handle, void* key, uint32_t* recno);
    XDSTATUS (*next)(int16_t handle, void* key, uint32_t* recno);
    XDSTATUS (*previous)(int16_t handle, void* key, uint32_t* recno);
    XDSTATUS (*resync)(int16_t handle, void* key, uint32_t* recno);
    // `size`: the bytes of `key` that count (a shorter character key is a prefix).
    XDSTATUS (*seek)(int16_t handle, void* key, uint16_t size, uint32_t* recno, uint16_t mode);
    XDSTATUS (*add)(int16_t handle, const void* key, uint16_t size, uint32_t recno);
    XDSTATUS (*remove)(int16_t handle, const void* key, uint16_t size, uint32_t recno);
    // The key of the table's current record, as the file holds it.
    XDSTATUS (*key_from_record)(int16_t handle, int16_t data_handle, void* key);
    // Whether the current record belongs in the index (a condition can leave it out).
    XDSTATUS (*record_included)(int16_t handle, int16_t data_handle, bool* included);
    // The index's order over `length` bytes (`text`: character keys).
    int (*compare)(int16_t handle, bool text, const void* left, const void* right, uint16_t length);
    XDSTATUS (*rebuild)(int16_t data_handle, const char* name, uint8_t key_type, const char* expression,
                        uint16_t key_length, uint16_t decimals);
    XDSTATUS (*check)(int16_t handle, uint32_t* entries, char* fault, size_t cap, IndexEntryFn entry, void* context);
    // Key forms: a number into `size` bytes, a date (year 0: the blank date), and back.
    XDSTATUS (*number_key)(int16_t handle, double value, uint16_t size, uint8_t* key);
    void (*date_key)(int year, int month, int day, uint8_t* key);
    double (*key_number)(const uint8_t* key, uint16_t size);
    bool (*key_date)(const uint8_t* key, int* year, int* month, int* day);
    // The byte a prefix is padded with to make the greatest key beginning with it,
    // or -1 for the national order's heaviest byte when the collation asks for it.
    int (*last_byte)(int16_t handle);

    // Multi-tag files (MDX, CDX): the key operations above then take a tag handle,
    // which these give out; null for the single-key formats, whose file is its
    // one tag. A tag is opened by name (the format's own rule for matching it), or
    // by number from 0 when the name is null.
    // The count of tags and, when `stamp` is given, a digest of the tag list (each
    // tag's name and place, in order) that changes when a tag is made or removed.
    XDSTATUS (*tag_list)(int16_t file_handle, int16_t* count, uint64_t* stamp) = nullptr;
    XDSTATUS (*tag_open)(int16_t file_handle, const char* name, int16_t number, int32_t* tag_handle) = nullptr;
    XDSTATUS (*tag_close)(int32_t tag_handle) = nullptr;
    // Formats whose files do not say what kind of keys they hold (IDX): the key
    // type letter of the access, set before each key operation.
    XDSTATUS (*set_key_type)(int16_t handle, char letter) = nullptr;
    // Multi-tag files: a tag made and filled from a table, and a tag removed.
    XDSTATUS (*build_tag)(int16_t data_handle, const IndexTagBuild* build) = nullptr;
    XDSTATUS (*remove_tag)(int16_t file_handle, const char* name) = nullptr;
    // A new multi-tag file without tags.
    XDSTATUS (*create_empty)(const char* name) = nullptr;
    // The file held for its table's whole lock (index_file_hold); null: the format
    // reads a shared file afresh whatever the table's locks.
    XDSTATUS (*hold)(int16_t file_handle, int16_t data_handle) = nullptr;
    // One write of several tags of a shared file under one update lock
    // (IndexWriteBegin); null: each change locks for itself.
    XDSTATUS (*write_begin)(int16_t file_handle) = nullptr;
    void (*write_end)(int16_t file_handle) = nullptr;
};

// Multi-tag files: a tag made by `make` in the file `b->file_name` (made first,
// without tags, when it is not there), filled from the table `data`, or empty for
// a negative handle. The formats' build_tag.
typedef XDSTATUS (*IndexMakeTag)(int16_t file_handle, int16_t data, const IndexTagBuild* b);
XDSTATUS index_build_tag_in_file(const IndexFormat& f, int16_t data, const IndexTagBuild* b, IndexMakeTag make);
// Multi-tag files: the uniform create, an empty tag `r->tag_name`.
XDSTATUS index_create_tag_request(const IndexFormat& f, const IndexCreateRequest* r);

// A key expression as index headers hold it: without blanks, upper case (at most
// cap - 1 characters; `out` may be `in`).
void index_normal_expression(const char* in, char* out, size_t cap);
// A tag name a multi-tag file takes: 1 to 10 letters, digits or underscores.
bool index_valid_tag_name(const char* name);

// The time of day of a date-time key (Visual FoxPro's), the four bytes behind the
// date key's first four: a day is 2^31 units, big-endian.
void index_time_of_day_key(int hour, int minute, int second, uint8_t* four);

// The table of index type `type`, or null for a format not read yet.
const IndexFormat* index_format(int32_t type);

// The display name of an index described by a format: a plain field name as it
// stands, else the file's base name.
void index_describe_name(IndexDescription* out, const char* file_name);
// A description from what a format's file says: the key's type and length as
// the file holds it (a character key counts its terminator too), flags, decimals,
// expression and condition; named by the tag's name, or without one
// (`tag_name` null) by index_describe_name.
void index_describe(IndexDescription* out, int key_type, uint16_t key_length, uint16_t flags, uint16_t decimals,
                    const char* expression, const char* condition, const char* tag_name, const char* file_name);

extern const IndexFormat kNdxFormat;
extern const IndexFormat kNtxFormat;
extern const IndexFormat kMdxFormat;
extern const IndexFormat kIdxFormat;
extern const IndexFormat kCdxFormat;
