#pragma once
// Changes of an index file that no one write can switch go through a journal.
//
// The ordered commit (ordered_commit.h) makes a change whole by writing copies and
// then one switching write. That needs every block that points to a changed block
// to be changed too; when blocks point to their neighbours on the same level
// (CDX and IDX sibling links), the unchanged neighbours keep pointing to the old
// blocks, and no one write switches them all. Such a change is written whole to a
// journal beside the index first; only then do its writes reach the index, and
// the journal goes once they all have. A stop before the journal is whole leaves
// the index untouched; a stop after leaves a journal that the index's next open,
// or the next program to write it, writes again (its writes are final bytes, so
// writing them twice is writing them once).
//
// The journal is "<index file name>.QXJ". Whoever works through it holds it open
// and its first byte locked; a journal found locked is another program's change
// in progress. It is made unreadable before it is let go (or kept for the next
// change, see below), so a journal found whole and unlocked is always one a stop
// left.
//
// Layout (numbers little-endian):
//   0   8  "QXDBJNL1"
//   8   4  number of writes
//  12   4  bytes after the 20-byte head
//  16   4  FNV-1a checksum of those bytes
//  20      each write: offset (4), length (4), its bytes
// A journal that is shorter, or whose checksum differs, was cut short: dropped.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/status.h"

struct FileWrite {
    uint32_t offset;
    std::vector<uint8_t> bytes;
};

std::string index_journal_name(const char* index_name);

// Writes `writes`, in order, to the index open as `sh` (named `index_name`) by way
// of the journal. A journal a stop left is written first. XD_LOCKVIOLATION when
// another program holds the journal; a failure before the journal is whole leaves
// the index untouched; one after leaves the journal for the next open.
//
// A handle passes `kept` to keep the journal open and unreadable between its
// changes instead of making and removing it for each one (*kept: the open
// journal, 0 for none yet); index_journal_release() removes it when the handle
// closes. A handle that has the index to itself keeps the journal locked too. One
// that shares it (`shared`) lets go of the lock between changes, so that other
// programs can write theirs through the same file: each change then takes the
// lock again and first writes a change that another program left whole in it.
// (The open journal cannot be removed by others meanwhile: a file a handle holds
// open is not deleted.) Null `kept`: the journal goes with each change.
XDSTATUS index_journal_write(uint16_t sh, const char* index_name, const std::vector<FileWrite>& writes,
                             uint16_t* kept = nullptr, bool shared = false);
void index_journal_release(const char* index_name, uint16_t* kept);

// Handles of a shared index held for its table's whole lock (index_file.h) keep
// the journal the same way, one journal per index for every handle of this
// process under that lock (they take turns, and the others cannot write): the
// `kept` slot of the index's journal under lock `lock`. The journals kept under a
// lock are removed as it ends (index_journals_let_go), before others can write.
uint16_t* index_journal_held(const char* index_name, uint32_t lock);
void index_journals_let_go(uint32_t lock);

// Writes the journal a stop left to the index and removes it: through `sh` when
// given (non-zero), else through a handle opened for it (when the index cannot be
// opened for writing, the journal waits for a program that can). XD_OK when there
// is none; XD_LOCKVIOLATION when another program is working through it. A handle
// that keeps the journal open while sharing the index (`kept`, non-zero) looks
// through that handle, under the index's update lock: no file is opened.
XDSTATUS index_journal_recover(const char* index_name, uint16_t sh, uint16_t kept = 0);
