#pragma once
// CDX compound indexes (FoxPro, Visual FoxPro): one file of many tags, each its
// own tree of the compact IDX layout, found by name through the tag directory
// (see cdx.cpp). The file is opened as a whole; a tag is opened by name or number
// into a tag handle, which the key operations take.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

// Search mode bit: compare the record number too.
const uint16_t CDX_EXACT = 2;

// A new, empty file: the directory's header and its empty root.
XDSTATUS cdx_create_file(const char* name);
XDSTATUS cdx_open(int16_t* handle, const char* name, uint16_t open_mode);
// Closes every tag still open, then the file.
XDSTATUS cdx_close(int16_t handle);

XDSTATUS cdx_tag_count(int16_t handle, int16_t* count);
// By name (1..10 characters; a name that begins a longer tag's opens it when none
// is equal), or by number from 0 in name order when `name` is null.
XDSTATUS cdx_tag_open(int16_t handle, const char* name, int16_t number, int32_t* tag);
XDSTATUS cdx_tag_close(int32_t tag);

struct CdxTagInfo {
    char name[11];
    uint16_t key_length;
    int key_type;   // 'C', 'D', 'L', 'N', 10, 11, 12; '?' when unknown
    uint16_t flags;  // 0x80 unique, 0x400 compact, 0x100 descending
    char expression[224];
    char condition[224];
    char collation[9];
    uint32_t header, root;
    const char* file_name;
};
XDSTATUS cdx_tag_info(int32_t tag, CdxTagInfo* info);
XDSTATUS cdx_set_key_type(int32_t tag, int key_type);

// A tag made (replacing one of the same name, whose blocks go to the free list) and,
// when `data_handle` >= 0, filled from every record of the table; it joins the
// directory in the last write, so that a stop before leaves the file as it was.
struct CdxTagRequest {
    const char* name;
    const char* expression;
    const char* condition;  // null or empty: none
    char key_type;          // 'C', 'D', 'L', 'N'
    uint16_t key_length;    // character keys
    bool unique, descending;
};
XDSTATUS cdx_create_tag(int16_t handle, const CdxTagRequest* request, int16_t data_handle);
// Removes a tag: out of the directory, its blocks to the free list. XD_OK when
// there is no such tag; XD_TAGINUSE when it is open.
XDSTATUS cdx_remove_tag(int16_t handle, const char* name);

// Key operations on a tag (see fox_tree.h).
XDSTATUS cdx_first(int16_t tag, void* key, uint32_t* recno);
XDSTATUS cdx_last(int16_t tag, void* key, uint32_t* recno);
XDSTATUS cdx_next(int16_t tag, void* key, uint32_t* recno);
XDSTATUS cdx_previous(int16_t tag, void* key, uint32_t* recno);
XDSTATUS cdx_resync(int16_t tag, void* key, uint32_t* recno);
// Modes 0 and 2 as every format (fox_seek); 1, 3 and 11 to 15 the CDX modes
// (fox_seek_mode).
XDSTATUS cdx_seek(int16_t tag, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode);
XDSTATUS cdx_add_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS cdx_delete_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS cdx_key_from_record(int16_t tag, int16_t data_handle, void* key);
XDSTATUS cdx_record_included(int16_t tag, int16_t data_handle, bool* included);
// The tag's tree; with the directory (a tag handle of 0 tags: `tag` < 0 and the
// file's handle in `file`), the directory's and the file's blocks as a whole.
XDSTATUS cdx_check(int16_t tag, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context);
XDSTATUS cdx_check_file(int16_t handle, char* fault, size_t cap);

// Builds every tag of the file again from the table, in a new file put in its
// place in one step.
XDSTATUS cdx_rebuild(int16_t data_handle, const char* name);
