#pragma once
// IDX indexes (FoxBASE and FoxPro): one tree of 512-byte nodes named by their
// byte offset, in the standard layout or the compact one (see idx.cpp). The file
// does not say what kind of keys it holds: the caller says before each operation
// (idx_set_key_type), and a key made from a record says by its value's type.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

// Search mode bit: compare the record number too.
const uint16_t IDX_EXACT = 2;

// The type word of idx_create: the key type letter in the low byte, and these.
const uint16_t IDX_UNIQUE = 0x80;
const uint16_t IDX_DESCENDING = 0x100;
const uint16_t IDX_COMPACT = 0x400;

struct IdxInfo {
    uint16_t key_length;
    char key_type;      // 'C', 'D', 'L', 'N'
    uint16_t flags;     // 0x80 unique, 0x100 descending, 0x400 compact
    char expression[224];
    char condition[224];  // the FOR condition, empty when none
    char collation[9];    // a collation sequence other than byte order (read only), else empty
    uint32_t root, free_head, next_block;
    const char* file_name;  // as opened; valid while the index is open
};

XDSTATUS idx_create(const char* name, uint16_t type_word, const char* expression, uint16_t key_length);
XDSTATUS idx_open(int16_t* handle, const char* name, uint16_t open_mode);
XDSTATUS idx_close(int16_t handle);
XDSTATUS idx_info(int16_t handle, IdxInfo* info);
// 'C', 'D', 'L' or 'N' (either case): how keys pad and compare.
XDSTATUS idx_set_key_type(int16_t handle, char letter);

// Keys come back in the caller's buffer (key length + 1 bytes, character keys
// terminated).
XDSTATUS idx_first(int16_t handle, void* key, uint32_t* recno);
XDSTATUS idx_last(int16_t handle, void* key, uint32_t* recno);
XDSTATUS idx_next(int16_t handle, void* key, uint32_t* recno);
XDSTATUS idx_previous(int16_t handle, void* key, uint32_t* recno);
XDSTATUS idx_resync(int16_t handle, void* key, uint32_t* recno);
// A character key shorter than the key length finds the first key beginning with it.
XDSTATUS idx_seek(int16_t handle, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode);
XDSTATUS idx_add_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS idx_delete_key(int16_t handle, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS idx_key_from_record(int16_t handle, int16_t data_handle, void* key);
XDSTATUS idx_record_included(int16_t handle, int16_t data_handle, bool* included);
XDSTATUS idx_rebuild(int16_t data_handle, const char* name, uint8_t key_type, const char* expression,
                     uint16_t key_length, uint16_t decimals);
XDSTATUS idx_check(int16_t handle, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context);

// Key forms of numbers and dates: 8 bytes that sort as unsigned bytes. A number is
// its IEEE double big-endian, the sign bit set when clear, every bit inverted when
// set; a date is its day number in that form, the blank date 80 00 .. 00.
void idx_number_key(double value, uint8_t* out);
double idx_key_number(const uint8_t* key);
void idx_date_key(int year, int month, int day, uint8_t* out);
bool idx_key_date(const uint8_t* key, int* year, int* month, int* day);
