#pragma once
// The shared record of a data file: every XbaseTable of the process that uses one
// data file shares one engine handle on it and counts its opens, so that two
// tables of one file neither open it twice nor close it under each other.

#include <cstdint>
#include <string>

struct PhysicalFile {
    std::string key;        // the file as the system names it
    int16_t handle = -1;    // engine handle of the data file, -1 while closed
    int32_t open_count = 0; // opens of all its tables
    int32_t users = 0;      // tables holding the record
};

// The record of the data file at `path`, taken for one more table.
PhysicalFile* physical_file_take(const std::string& path);
// Gives the record back; the last table's release forgets it.
void physical_file_give_back(PhysicalFile* file);
