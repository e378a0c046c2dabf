#pragma once
// What the two memo formats share: the descriptor's common part, the read buffer,
// names, and the rebuild skeleton.

#include <string>

#include "engine/core/engine.h"

struct MemoFile {
    uint16_t sh;         // system handle
    uint16_t file_mode;  // XDB_FILE_READONLY / XDB_FILE_SHARED
    uint8_t commit;
    uint8_t dialect;
    uint32_t block_size;
    uint32_t next_free;  // header word 0, host order
    uint32_t file_size;  // at the last refresh
    char* name;
    uint8_t header[28];
};

// The engine's buffer for texts read (grows as needed; freed at termination).
char* memo_read_buffer(size_t size);

// The open both formats share: a slot of `kind`, the file opened by the mode word,
// then the format's checks of its header (`check`, which also sets the block size
// and the next free block). On failure nothing stays open and *handle is -1.
typedef XDSTATUS (*MemoHeaderCheck)(MemoFile* m);
XDSTATUS memo_open(int16_t* handle, const char* name, uint16_t open_mode, uint8_t kind, XdbCloseFn closer,
                   MemoHeaderCheck check);
XDSTATUS memo_close(int16_t handle, uint8_t kind);
XDSTATUS memo_block_size(int16_t handle, uint8_t kind, uint32_t* size);

// Directory (up to its last ':', '\' or '/') and base name of a path.
void memo_split_path(const char* path, std::string* dir, std::string* base);

// The rebuild skeleton: copies the memos of the live records of `data_handle` from
// the open memo file to a new one and swaps the files. The format gives its steps.
struct MemoFormat {
    const char* temp_extension;  // ".DBT" / ".FPT"
    uint8_t kind;
    XDSTATUS (*create_like)(const MemoFile* old, const char* name);
    XDSTATUS (*open)(int16_t* handle, const char* name, uint16_t mode);
    XDSTATUS (*read)(int16_t handle, uint32_t block, const char** text, uint32_t* length);
    XDSTATUS (*append)(int16_t handle, const char* text, uint32_t length, uint32_t* block);
    XDSTATUS (*close)(int16_t handle);
};
XDSTATUS memo_rebuild(int16_t data_handle, int16_t* memo_handle, const MemoFormat& format);
// The middle of it: the new memo file `temp`, holding the memos of the live
// records of `table` (a copy of the table, whose memo fields are rewritten in
// place to name them). Nothing takes another name; a failure deletes `temp`.
XDSTATUS memo_rebuild_into(int16_t table, int16_t memo_handle, const MemoFormat& format, const char* temp);

// Selects a memo handle of `kind` after the pending-status check.
inline XDSTATUS memo_enter(int16_t handle, uint8_t kind, MemoFile** m) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, kind, &block))) return s;
    *m = (MemoFile*)block;
    return XD_OK;
}
