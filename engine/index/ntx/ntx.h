#pragma once
// NTX indexes (the Clipper family): one B-tree of text keys in 1024-byte pages
// addressed by their byte offset; inner entries are index entries too. Every
// operation re-reads the header words other processes change (update count,
// root, free page) and the file size, unless the handle alone can change them.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

// Search mode bits (the same as the other single-key formats).
const uint16_t NTX_EXACT = 2;       // compare the record number too
const uint16_t NTX_WILDCARD = 128;  // '?' in the search key matches any byte

struct NtxInfo {
    uint16_t key_length;
    uint16_t decimals;
    uint16_t max_items, half_page;
    uint16_t update_count;
    uint16_t flags;  // 128 unique, 256 descending
    uint16_t expression_length;
    char expression[256];
    // The condition of a conditional index (empty when none): records for which
    // it is false have no key.
    char for_expression[256];
    uint32_t root, free_page, file_size;
    const char* file_name;  // as opened; valid while the index is open
};

// Creates an empty index: key type letter 'C', 'D' or 'N' (bit 128: unique).
XDSTATUS ntx_create(const char* name, uint8_t key_type, const char* expression, uint16_t key_length,
                    uint16_t decimals);
XDSTATUS ntx_open(int16_t* handle, const char* name, uint16_t open_mode);
XDSTATUS ntx_close(int16_t handle);
XDSTATUS ntx_info(int16_t handle, NtxInfo* info);

// Keys are key-length bytes of text; a terminator is added, so buffers need key
// length + 1 bytes.
XDSTATUS ntx_first(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ntx_last(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ntx_next(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ntx_previous(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ntx_resync(int16_t handle, void* key, uint32_t* recno);
// `key_size` is the length of the search key: a shorter key finds the first key
// that begins with it.
XDSTATUS ntx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode);
// Compares two keys as the index orders them (byte order; reversed in a
// descending index), over `length` bytes.
int ntx_compare_keys(int16_t handle, const void* a, const void* b, uint16_t length);

// Inserts and removes an entry (keys shorter than the key length are padded with
// blanks).
XDSTATUS ntx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS ntx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno);
// The key of the current record of `data_handle` (key length bytes of text).
XDSTATUS ntx_key_from_record(int16_t handle, int16_t data_handle, void* key);
// Whether the current record belongs in a conditional index (always, without a
// condition).
XDSTATUS ntx_record_included(int16_t handle, int16_t data_handle, bool* included);
// Creates the index and fills it from every record of the table.
XDSTATUS ntx_rebuild(int16_t data_handle, const char* name, uint8_t key_type, const char* expression,
                     uint16_t key_length, uint16_t decimals);

// Walks the whole tree and checks it: pages in range and each met once, leaves at
// one depth, slot offsets inside their page, keys in order across the whole walk,
// the free chain. XD_OK, or XD_CORRUPT with the first fault in `fault`.
XDSTATUS ntx_check(int16_t handle, uint32_t* entries, char* fault, size_t cap);
// The same, handing each entry in key order to `entry` (may be null).
XDSTATUS ntx_check_entries(int16_t handle, uint32_t* entries, char* fault, size_t cap,
                          void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context);

// The key forms. Numbers: |value| with `decimals` decimals, zero-padded to
// `key_length` characters; a negative value has every character but the point
// turned into 92 - c, so that it sorts below every non-negative one and a greater
// magnitude sorts lower (the form of the NTX files of other Clipper-family
// programs). A value too wide for the key is all asterisks, below every number.
void ntx_numeric_key(double value, uint16_t key_length, uint16_t decimals, uint8_t* out);
// Dates: YYYYMMDD, or 8 blanks for the blank date.
void ntx_date_key(int year, int month, int day, uint8_t* out);
