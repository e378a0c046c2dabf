#pragma once
// Memo files: DBT (dBASE and Clipper families) and FPT (FoxPro family). A memo
// field of a record holds the number of the block where its memo starts; these
// operations read and write memos by block number and rebuild a memo file from the
// memos of the records that are not deleted.
//
// Texts are passed with their length, so binary memos and texts longer than the
// 16-bit primitives' pieces go through whole. A text read belongs to the engine
// until the next read on any memo file (it is also NUL-terminated).

#include <cstdint>
#include <string>

#include "engine/core/status.h"

// ---- DBT ----

// Dialects with a DBT layout: 2 is the dBASE IV layout; 1, 3, 5, 6, 7 and 66 the
// dBASE III layout (0 counts as 1).
XDSTATUS dbt_create(const char* name, int16_t block_factor, uint8_t dialect);
XDSTATUS dbt_open(int16_t* handle, const char* name, uint16_t open_mode);
XDSTATUS dbt_close(int16_t handle);
XDSTATUS dbt_read(int16_t handle, uint32_t block, const char** text, uint32_t* length);
// options: low byte the line width (0, or 10..132; dBASE III layout only), 0x100
// replace the memo at *block (else append). *block receives where the memo is.
const uint16_t DBT_REPLACE = 0x0100;
XDSTATUS dbt_write(int16_t handle, const char* text, uint32_t length, uint32_t* block, uint16_t options);
// Gives back the blocks of the memo at `block` (a write that did not stand): the
// dBASE IV layout puts them on its free chain; the dBASE III layout, which has no
// free list, only when it is the last memo of the file.
XDSTATUS dbt_free(int16_t handle, uint32_t block);
// Packs the DBT of the open table `data_handle` and reopens it into *memo_handle.
XDSTATUS dbt_rebuild(int16_t data_handle, int16_t* memo_handle);
// A compaction's part (table_compact.h): the new memo file `temp` holding the
// memos of the live records of `table`, a new copy of the table whose memo fields
// are rewritten to name them. Nothing is switched; a failure leaves no `temp`.
XDSTATUS dbt_rebuild_into(int16_t table, int16_t memo_handle, const char* temp);
XDSTATUS dbt_block_size(int16_t handle, uint32_t* size);

// ---- FPT ----

XDSTATUS fpt_create(const char* name, int16_t block_factor);
XDSTATUS fpt_open(int16_t* handle, const char* name, uint16_t open_mode);
XDSTATUS fpt_close(int16_t handle);
XDSTATUS fpt_read(int16_t handle, uint32_t block, const char** text, uint32_t* length);
// Always appends; *block receives where the memo starts.
XDSTATUS fpt_write(int16_t handle, const char* text, uint32_t length, uint32_t* block);
// Gives back the blocks of the memo at `block` when it is the last of the file.
XDSTATUS fpt_free(int16_t handle, uint32_t block);
XDSTATUS fpt_rebuild(int16_t data_handle, int16_t* memo_handle);
XDSTATUS fpt_rebuild_into(int16_t table, int16_t memo_handle, const char* temp);

// ---- Either layout ----

// The name and dialect an open memo file (DBT or FPT) was opened with.
XDSTATUS memo_describe(int16_t handle, const char** name, uint8_t* dialect);
// The backup a rebuild keeps of the old memo file: its name with ".BKT".
std::string memo_backup_name(const char* memo_path);
XDSTATUS fpt_block_size(int16_t handle, uint32_t* size);
