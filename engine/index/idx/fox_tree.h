#pragma once
// The trees of the FoxPro family's index files: an IDX file's one tree, and in a
// CDX file the tag directory and each tag. Nodes are 512 bytes, named by their
// byte offset (see fox_node.h); every tree has a header whose first word is its
// root; the file's free list and end are shared by all of its trees.
//
// What a format file (idx.cpp, cdx.cpp) brings: the headers' other bytes, opening
// and creating, and its rules where the two differ (which side of a split the new
// node takes). Everything else is here: the search, the walk through the shared
// frame (tree_walk.h), adds and deletes committed through the journal (nodes point
// to their neighbours, so a change of several nodes is written whole or not at
// all: change_journal.h), the free list, the check, the build from a table, and
// keys made from records.
//
// Key types: 'C', 'D', 'L', 'N' and, in CDX files, 10 (currency), 11 (integer),
// 12 (date-time). The files do not say which: the caller sets it (fox_set_key_type)
// or a key made from a record tells. Keys compare as unsigned bytes; character
// keys are padded with blanks, the others with zeros. A descending tree keeps its
// keys in ascending order and is walked and searched the other way round.

#include <cstddef>
#include <cstdint>

#include "engine/core/keyexpr.h"
#include "engine/core/status.h"
#include "engine/index/idx/fox_node.h"
#include "engine/index/index_file.h"
#include "engine/index/tree_cursor.h"

// The file every tree of it shares.
struct FoxFile {
    IndexFile file;
    bool end_in_header;   // a standard IDX keeps its end in header word 8; the others end at the file's size
    uint32_t free_head;   // 0: none
    uint32_t next_block;  // where the next appended block goes
    uint32_t words_bracket;  // the write bracket in which those two were read last
    uint32_t first_node;  // the lowest offset a node may have
    uint32_t empty_head;  // the word an empty free list is written as (0 or -1)
    bool one_tree;        // the file holds one tree (IDX): blocks outside it and the free list are unused
    // The byte a shared file's updates lock while they run (CDX: 0x7FFFFFFE), 0:
    // none; held, whether by this handle.
    uint32_t update_lock;
    bool update_locked;
    // Within fox_write_begin/end: the update lock stays held between the changes
    // of several trees, and a stopped change was looked for once, at the begin.
    bool write_bracket = false;
    // The file's first bytes as the bracket `head_bracket` began (0: none): the
    // file's words and the root words of trees whose headers lie there (a CDX's
    // tags made with the file) are taken from them, one read for all.
    uint8_t* head;
    uint32_t head_bytes, head_bracket;
};

// Takes a shared file's update lock (nothing to do otherwise): XD_LOCKVIOLATION
// while another program's update runs. Let go by fox_update_unlock, which leaves
// it held within a write bracket.
XDSTATUS fox_update_lock(FoxFile* f);
void fox_update_unlock(FoxFile* f);
// One write of several trees of the file (a record's keys in every tag of a CDX):
// the update lock taken once and a change another program's stop left finished
// once, for all of them; each tree's change still commits on its own. On a failed
// begin nothing is held, and each change takes the lock itself as before.
XDSTATUS fox_write_begin(FoxFile* f);
void fox_write_end(FoxFile* f);

struct FoxTree {
    TreeCursor tree;  // first: the frame's callbacks turn a cursor back into its tree
    FoxFile* fox;
    uint32_t header;  // offset of the tree's header, whose first word is the root
    FoxKeys keys;
    int key_type;  // 'C', 'D', 'L', 'N', 10, 11, 12
    uint8_t options;
    bool unique, descending;
    // A full node splits into itself and a new right neighbour (CDX), or a new left
    // neighbour (IDX).
    bool split_right;
    // A unique tree refuses a key it holds for another record (CDX: XD_EXISTS, the
    // entry not added, as FoxPro keeps a unique index's first record of a key);
    // else the repeated key goes before its equals (IDX).
    bool unique_refuses;
    uint32_t root;
    char name[11];        // a CDX tag's name
    char expression[224];
    char condition[224];  // the FOR condition, empty when none
    // A collation sequence other than the machine's (FoxPro's SET COLLATE): the keys
    // are that sequence's weights, zero-padded, which this engine does not compute;
    // such a tree is read, never written.
    char collation[9];
    // The header words when the entry handed out last was (see tree_walk.h).
    uint32_t saved_root, saved_free, saved_next;
    // The file's write bracket in which this tree last read its header words.
    uint32_t bracket_seen;
};

// The frame's view of FoxPro trees, for tree_cursor_init.
extern const TreeFormat kFoxTreeFormat;

// Opens the file (open_mode already expanded), its nodes set up; its size in
// *size. fox_tree_init makes a tree's cursor over it, fox_tree_free gives it back.
XDSTATUS fox_file_open(FoxFile* f, const char* name, uint16_t open_mode, uint32_t* size);
// Closes the file and gives back what the handle kept of it; the status of closing.
XDSTATUS fox_file_close(FoxFile* f);
XDSTATUS fox_tree_init(FoxTree* t, FoxFile* f);
void fox_tree_free(FoxTree* t);

// A tree's header as both formats lay it out (`head`: its `bytes`, 1024 for a
// compact one): the root word, key length (1..max_key), options (0x20 and up:
// compact), and where the expressions lie: a standard header's at 16 (the FOR
// condition at 236 with option 0x08); a compact one's at 512, the condition right
// after it (the words at 504 and 506 are their lengths + 1), the order at 502, the
// collation's name at 494. Sets the tree's fields; a fault names `what`. A CDX
// directory's expression is empty.
XDSTATUS fox_parse_header(FoxTree* t, const uint8_t* head, uint32_t bytes, uint16_t max_key, const char* what,
                          bool directory = false);
// Lays out a compact header: false when the expressions do not fit its block.
bool fox_compact_header(uint8_t* head, uint32_t root, uint16_t key_length, uint8_t options, bool descending,
                        const char* expression, const char* condition);

// Whether `offset` can be a node of the file.
bool fox_node_in_file(const FoxFile* f, uint32_t offset);
// Notes the header words as the tree starts out (after its header was read).
void fox_tree_opened(FoxTree* t);
// Sets the key type (see above); a collated tree keeps its zero padding.
XDSTATUS fox_set_key_type(FoxTree* t, int key_type);
// The pad byte a tree's keys show, for a tree opened without its key type: a
// separator's last byte, or binary bytes in a root leaf's first key (zero), else
// a blank. Leaves the pad set.
void fox_guess_pad(FoxTree* t);

// Positioning: keys come back in the caller's buffer (key length + 1 bytes).
XDSTATUS fox_first(FoxTree* t, void* key, uint32_t* recno, bool last);
XDSTATUS fox_step(FoxTree* t, void* key, uint32_t* recno, bool forward);
XDSTATUS fox_resync(FoxTree* t, void* key, uint32_t* recno);
// Mode 0: a character key shorter than the key length finds the first key
// beginning with it; not found, XD_KEYNOTFOUND on the entry before its place in
// the walk's order, or XD_KEYNOTFOUNDEND on the first entry when none is before
// it. Mode 2 (exact): the record number too.
XDSTATUS fox_seek(FoxTree* t, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode);
// The CDX seek modes, in key order: 1 the key (as found), 3 past the key (as found),
// 11 the greatest key below it, 12 the greatest not above it, 13 as 1 with no
// XD_NOMOREKEYS, 14 the least key not below it, 15 the least key above it; other
// modes as fox_seek.
XDSTATUS fox_seek_mode(FoxTree* t, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode);
// Byte order of keys over `length` bytes, turned round in a descending tree.
int fox_compare(const FoxTree* t, const void* left, const void* right, uint16_t length);

// Adds and removes (key, record): XD_EXISTS for an entry there already, XD_READONLY
// on a file opened read-only or a collated tree.
XDSTATUS fox_add(FoxTree* t, const void* key, uint16_t key_size, uint32_t recno);
XDSTATUS fox_delete(FoxTree* t, const void* key, uint16_t key_size, uint32_t recno);

// The structural check (tree_check.h) and the sibling links of every level.
XDSTATUS fox_check(FoxTree* t, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context);

// Keys from the table's current record: the expression's value in the tree's key
// form (its type becomes the tree's key type), and the FOR condition.
XDSTATUS fox_key_from_record(FoxTree* t, int16_t data_handle, uint8_t* key);
XDSTATUS fox_record_included(FoxTree* t, int16_t data_handle, bool* included);

// Fills the empty tree `t` from every record of the table (deleted ones too, as
// FoxPro does), sorted; its nodes go at the file's end, and its header's root word
// is written. The file is new (a rebuild) or held by this handle alone.
XDSTATUS fox_build(FoxTree* t, int16_t data_handle);

// The start and end of an operation on a tree outside the calls above (a CDX tag's
// creation): the header words read again, and what was read kept or forgotten.
XDSTATUS fox_refresh(FoxTree* t);
void fox_end(FoxTree* t, XDSTATUS s);

// A word of the file, written at once.
XDSTATUS fox_write_word(FoxFile* f, uint32_t offset, uint32_t value);
// Blocks for a new tree's header and nodes, and back to the free list, written as
// one change with the tree's directory entry (CDX tag creation and removal): the
// change is begun, collected, and committed as one journal.
void fox_change_begin();
XDSTATUS fox_take_block(FoxTree* through, uint32_t* block);
XDSTATUS fox_free_block(FoxTree* through, uint32_t block);
// `count` blocks together at the file's end.
XDSTATUS fox_append_blocks(FoxTree* through, uint32_t count, uint32_t* first);
XDSTATUS fox_put_block(FoxTree* through, uint32_t offset, const uint8_t* bytes);
XDSTATUS fox_change_commit(FoxTree* through, uint32_t free_before, bool ok);
// The change's add and delete, inside a change begun by fox_change_begin.
XDSTATUS fox_add_in_change(FoxTree* t, const uint8_t* key, uint32_t recno);
XDSTATUS fox_delete_in_change(FoxTree* t, const uint8_t* key, uint32_t recno);
// Every node of the tree, children before parents.
XDSTATUS fox_tree_blocks(FoxTree* t, uint32_t offset, int depth, void (*visit)(void* context, uint32_t block), void* context);
