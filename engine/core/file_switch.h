#pragma once
// Switching several finished files into their places as one step. A rename puts
// one file in place at once, but a memo rebuild must put two (the memo file and the
// table whose block numbers point into it), and a stop between the two renames
// would pair each with the other's wrong age. So the switch writes a mark beside
// the table first, naming every file; the table's next open, by any program of
// ours, reads the mark and finishes the switch or undoes it.
//
// The mark is a text file "<table base name>.SWT" in the table's directory:
//   QXDB file switch
//   <source> TAB <target> TAB <backup or empty> TAB <1: backup discarded after>
// one line a step, in order.
// Names without a directory are taken in the mark's directory.
//
// How a step's state is told from the files (backups are removed before the mark
// is written, and an undo renames the backup back over the target):
//   pending  the source is still there;
//   done     the source is gone and its backup is there (or it keeps none);
//   undone   the source is gone and so is its backup.
// After a stop: a step undone means the switch was being undone: every done step
// is undone too. Otherwise, when the first step is done, the rest are finished
// (their sources are complete: they were on the disk before the mark). Otherwise
// nothing was switched and the sources go.

#include <string>

#include "engine/core/status.h"

struct XdbSwitchStep {
    std::string source, target, backup;  // backup empty: the old target is not kept
    // The backup only serves an undo: it goes once the switch is whole.
    bool discard_backup = false;
};

// A name for a new file in `dir` (which ends with its separator, or is empty):
// the smallest number from 0 that names no file, with `extension`.
std::string xdb_free_temp_name(const std::string& dir, const char* extension);

// The mark's name for a table.
std::string xdb_switch_mark_name(const char* table_name);

// Switches `steps` in order under the mark. On a failure the steps already done
// are undone and the failure returned; if even the undo fails, the mark stays for
// the next open.
XDSTATUS xdb_switch_files(const std::string& mark, const XdbSwitchStep* steps, int count);

// Finishes or undoes a switch a stop interrupted; XD_OK when there is no mark.
XDSTATUS xdb_finish_switch(const std::string& mark);
