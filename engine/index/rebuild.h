#pragma once
// What every format's rebuild shares: the new file written beside the old one and
// put in its place in one step, where each record's key comes from, and the scan
// of the table that feeds the keys to the sort.

#include <cstdint>
#include <vector>

#include "engine/core/status.h"
#include "engine/index/key_sort.h"

// Builds the index under a temporary name beside `name` (the first free
// "<n><extension>" of its directory) by `build`, then puts it in the place of
// `name` in one step: a stop at any moment leaves the old index or the new one,
// whole, under the name. A failed build leaves no temporary file.
typedef XDSTATUS (*IndexBuildFn)(void* context, const char* temporary_name);
XDSTATUS rebuild_beside(const char* name, const char* extension, IndexBuildFn build, void* context);

// While a table's files are built again together (table_compact.h), a rebuild
// leaves its new file beside the old one and adds the switch to `steps` instead of
// making it: the caller switches every file at once. nullptr ends that.
struct XdbSwitchStep;
void rebuild_defer_switches(std::vector<XdbSwitchStep>* steps);

// The end of a build: the new index `name` (open as `handle`) closed by `close`;
// when the build (`build_status`) or the close failed, the file is deleted and
// that failure is the status.
typedef XDSTATUS (*IndexCloseFn)(int16_t handle);
XDSTATUS close_built_index(int16_t handle, IndexCloseFn close, const char* name, XDSTATUS build_status);

// Where a rebuild takes each record's key from: the bytes of one field, when the
// expression is the name of a C, D, N or F field, else the expression.
struct RecordKeySource {
    int16_t field = -1;      // -1: the expression
    char field_type = 0;     // 'C', 'D' or 'N' (an F field counts as N)
    uint16_t offset = 0;     // of the field in the record, the deleted flag at 0
    uint16_t length = 0;
    const char* record = nullptr;  // the table's record buffer
};
RecordKeySource record_key_source(int16_t data, const char* expression);

// Reads the table from its first record to `count` and gives each record's key to
// the sorter. `key` makes the key of the record read; *has_key false leaves the
// record out (a conditional index).
typedef XDSTATUS (*RecordKeyFn)(void* context, int16_t data, uint32_t recno, uint8_t* key, bool* has_key);
XDSTATUS sort_record_keys(int16_t data, uint32_t count, KeySorter* sorter, RecordKeyFn key, void* context);
