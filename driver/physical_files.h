#pragma once
// The shared record of a data file: every XbaseTable of the process that uses one
// data file shares one engine handle on it and counts its opens, so that two
// tables of one file neither open it twice nor close it under each other.

#include <cstdint>
#include <string>
#include <vector>

// A record lock the process holds: the record, the table that took it, the host's
// lock type.
struct RecordLock {
    uint32_t recno;
    const void* table;
    int type;
};

struct PhysicalFile {
    std::string key;        // the file as the system names it
    int16_t handle = -1;    // engine handle of the data file, -1 while closed
    int32_t open_count = 0; // opens of all its tables
    int32_t users = 0;      // tables holding the record
    bool writable = false;  // the handle was opened for writing
    uint32_t file_locks = 0;           // bit k: the engine holds a file lock of kind k
    std::vector<RecordLock> record_locks;  // the record locks of all its tables
};

// The record of the data file at `path`, taken for one more table.
PhysicalFile* physical_file_take(const std::string& path);
// Gives the record back; the last table's release forgets it.
void physical_file_give_back(PhysicalFile* file);
