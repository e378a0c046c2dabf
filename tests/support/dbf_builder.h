#pragma once
// Builds DBF files byte by byte for tests, including malformed ones: every header
// and descriptor byte can be set by hand before the file is written.

#include <cstdint>

#include "engine/core/dbf.h"
#include <string>
#include <vector>

struct FieldSpec {
    std::string name;
    char type;
    uint8_t length;
    uint8_t decimals = 0;
    uint8_t flags = 0;
};

struct DbfImage {
    std::vector<uint8_t> bytes;
    // Descriptor i starts at 32 + 32 * i.
    uint8_t* descriptor(int i) { return bytes.data() + 32 + 32 * i; }
    void set16(size_t at, uint16_t v) { bytes[at] = (uint8_t)v; bytes[at + 1] = (uint8_t)(v >> 8); }
    void set32(size_t at, uint32_t v) { for (int k = 0; k < 4; k++) bytes[at + k] = (uint8_t)(v >> (8 * k)); }
    void write(const std::string& path) const;
};

// A well-formed file: header, descriptors, terminator (plus the 263-byte area for
// version bytes 0x30..0x32), the records as given (each without the deletion flag,
// padded or cut to the record length), and the end-of-file byte. Records whose
// text starts with '*' are written deleted.
DbfImage build_dbf(uint8_t version, const std::vector<FieldSpec>& fields,
                   const std::vector<std::string>& records = {}, bool vfp_area = false);

// One entry of a field list for dbf_create.
DbfCreateField create_field(const char* name, char type, uint16_t length = 0, uint16_t decimals = 0);

// A fresh empty directory under the system's temporary directory.
std::string make_temp_dir(const std::string& tag);

// Sets (or, with an empty value, removes) an environment variable, on both platforms.
void set_test_env(const char* name, const std::string& value);

// A file's bytes ("" when it cannot be read).
std::string file_bytes(const std::string& path);
std::vector<uint8_t> file_byte_vector(const std::string& path);

// Removes a directory made by make_temp_dir with everything in it.
void remove_temp_dir(const std::string& dir);
