#pragma once
// NDX indexes (dBASE III): one B-tree of fixed-size entries in 512-byte blocks.
// The operations work on an engine index handle of kind NDX; every positioning
// operation re-reads the root and block count first, so changes by other
// processes are seen.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

// Search mode bits.
const uint16_t NDX_EXACT = 2;       // compare the record number too
const uint16_t NDX_WILDCARD = 128;  // '?' in a character search key matches any byte

struct NdxInfo {
    char type;  // 'C' or 'N' (numeric and date keys)
    uint16_t key_length;
    uint16_t unique;  // 128 or 0
    uint16_t expression_length;
    char expression[221];
    uint16_t keys_per_block;
    uint32_t root, block_count;
    const char* file_name;  // as opened; valid while the index is open
};

// Creates an empty index: key type letter 'C', 'D' or 'N' (bit 128: unique).
XDSTATUS ndx_create(const char* name, uint8_t key_type, const char* expression, uint16_t key_length);
XDSTATUS ndx_open(int16_t* handle, const char* name, uint16_t open_mode);
XDSTATUS ndx_close(int16_t handle);
XDSTATUS ndx_info(int16_t handle, NdxInfo* info);

// Keys are key-length bytes (a terminator is added after character keys, so the
// buffer needs key length + 1 bytes).
XDSTATUS ndx_first(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ndx_last(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ndx_next(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ndx_previous(int16_t handle, void* key, uint32_t* recno);
XDSTATUS ndx_resync(int16_t handle, void* key, uint32_t* recno);
// `key_size` is the length of the search key (character keys may be shorter than
// the index's keys: a prefix search).
XDSTATUS ndx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode);
// Compares two keys as the tree orders them: character keys over `length` bytes
// by the collation flag, numeric and date keys (doubles) by value.
int ndx_compare_keys(int character, const void* a, const void* b, uint16_t length);

// Inserts and removes an entry (character keys shorter than the key length are
// padded with blanks).
XDSTATUS ndx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS ndx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno);
// The key of the current record of `data_handle` (a C key of key length bytes, or a
// double), into `key`.
XDSTATUS ndx_key_from_record(int16_t handle, int16_t data_handle, void* key);
// Creates the index and fills it from every record of the table.
XDSTATUS ndx_rebuild(int16_t data_handle, const char* name, uint8_t key_type, const char* expression,
                     uint16_t key_length);

// Walks the whole tree and checks it: block numbers in range and each block met
// once, all leaves at one depth, keys in order within blocks and within the ranges
// their separators give, every separator equal to the greatest key below it, no
// empty block below the root, the entry count. XD_OK, or XD_CORRUPT with the first fault
// described in `fault` (capacity `cap`).
XDSTATUS ndx_check(int16_t handle, uint32_t* entries, char* fault, size_t cap);
// The same, handing each entry in key order to `entry` (may be null).
XDSTATUS ndx_check_entries(int16_t handle, uint32_t* entries, char* fault, size_t cap,
                          void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context);

// The date key of NDX files: the Julian day number as a double (2451545 for
// 2000-01-01, 2415021 for 1900-01-01). And back (false for a blank date or no date).
double ndx_date_key(int year, int month, int day);
bool ndx_date_from_key(double key, int* year, int* month, int* day);
// The blank date. Keys are written in the form of the dBASE-family files we have
// (xbase64 writes 21474835648, and a reader of that family seeks that value); the
// form 1.0E100 of older files is read as blank too, and a seek of either form
// finds the other.
const double kNdxBlankDate = 21474835648.0;
const double kNdxBlankDateOld = 1.0e100;
bool ndx_is_blank_date_key(double key);
