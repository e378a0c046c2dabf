#pragma once
// MDX multi-tag indexes (dBASE IV and later): one file per table, up to 47 tags,
// each a B-tree of the dBASE family (ndx/dbase_tree.h) with its own key
// expression. The file's operations work on an engine handle of kind MDX; a tag
// opened from it gets a handle of its own (kind MDX tag), on which the key
// operations work as on an NDX file.

#include <cstddef>
#include <cstdint>

#include "engine/core/status.h"

struct MdxFileInfo {
    int16_t tag_count;
    uint16_t blocks_per_page;
    uint32_t block_count, free_page, free_count;
    const char* file_name;  // as opened; valid while the file is open
};

struct MdxTagInfo {
    char name[11];
    char key_type;  // 'C', 'D' or 'N'
    uint16_t key_length;
    uint16_t flags;  // 128 unique, 256 descending
    uint16_t expression_length;
    char expression[221];
    char condition[221];  // the FOR condition, empty when none
    uint32_t header, root;
    const char* file_name;
};

// Key type letters for a new tag: 'C', 'D' or 'N', with these bits.
const uint16_t MDX_UNIQUE = 128;
const uint16_t MDX_DESCENDING = 256;

// A new file without tags for table file `name` (2,048 bytes).
XDSTATUS mdx_create_file(const char* name);
XDSTATUS mdx_open(int16_t* handle, const char* name, uint16_t open_mode);
// Closes the file and every tag still open on it.
XDSTATUS mdx_close(int16_t handle);
XDSTATUS mdx_file_info(int16_t handle, MdxFileInfo* info);
XDSTATUS mdx_tag_count(int16_t handle, int16_t* count);
// A tag by name (any case), or by its number from 1 when `name` is null.
XDSTATUS mdx_tag_open(int16_t handle, const char* name, int16_t number, int32_t* tag);
XDSTATUS mdx_tag_close(int32_t tag);
XDSTATUS mdx_tag_info(int32_t tag, MdxTagInfo* info);
// Adds a tag (one of the same name is replaced), empty, or filled from the table
// `data` (negative: empty). `condition` may be null.
XDSTATUS mdx_create_tag(int16_t handle, const char* name, uint16_t key_type, const char* expression,
                        const char* condition, uint16_t key_length, int16_t data);
// Removes a tag: its pages go to the file's free list. XD_TAGINUSE while it is open.
XDSTATUS mdx_remove_tag(int16_t handle, const char* name);

// Key operations on a tag, as NDX's.
XDSTATUS mdx_first(int16_t tag, void* key, uint32_t* recno);
XDSTATUS mdx_last(int16_t tag, void* key, uint32_t* recno);
XDSTATUS mdx_next(int16_t tag, void* key, uint32_t* recno);
XDSTATUS mdx_previous(int16_t tag, void* key, uint32_t* recno);
XDSTATUS mdx_resync(int16_t tag, void* key, uint32_t* recno);
XDSTATUS mdx_seek(int16_t tag, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode);
XDSTATUS mdx_add_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS mdx_delete_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS mdx_key_from_record(int16_t tag, int16_t data_handle, void* key);
XDSTATUS mdx_record_included(int16_t tag, int16_t data_handle, bool* included);
// Checks a tag's tree; and the whole file: every tag, and every block once (a
// tree's, a tag header, free, or unused space).
XDSTATUS mdx_check(int16_t tag, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context);
XDSTATUS mdx_check_file(int16_t handle, char* fault, size_t cap);
// Builds every tag of the file again from the table, in a new file put in its place.
XDSTATUS mdx_rebuild(int16_t data_handle, const char* name);

// Number keys: the value's decimal digits packed two a byte (12 bytes), and back.
void mdx_number_key(double value, uint8_t* key);
double mdx_key_number(const uint8_t* key);
// Date keys: the Julian day as a double; the blank date 1.0E100.
const double kMdxBlankDate = 1.0e100;
