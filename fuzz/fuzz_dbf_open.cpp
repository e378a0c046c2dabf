// libFuzzer target: arbitrary bytes opened as a DBF file in every dialect, then
// every record read (one by one and through the read-ahead buffer) and every field
// got and put back. Nothing may crash, hang or read out of bounds.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "fuzz/fuzz_scratch.h"

namespace {

std::string g_path;

void exercise(int16_t h) {
    uint16_t count = 0, largest = 0;
    xdb_set_status(XD_OK);
    if (dbf_field_count(h, &count) < 0) return;
    std::vector<DbfFieldInfo> fields(count);
    dbf_describe_fields(h, &largest, fields.data());
    std::vector<char> value((size_t)largest + 64);
    uint32_t records = 0;
    dbf_record_count(h, &records);
    for (uint32_t n = 1; n <= records && n <= 2000; n++) {
        xdb_set_status(XD_OK);
        XDSTATUS s = (n % 2) ? dbf_read_ahead(h, n) : dbf_read_record(h, n);
        if (s < 0) break;
        for (int16_t i = 0; i < (int16_t)count; i++) {
            xdb_set_status(XD_OK);
            int undefined = 0;
            dbf_get_field(h, i, value.data(), &undefined);
            dbf_field_empty(h, i);
            xdb_set_status(XD_OK);
            // Put back what was read (text forms are NUL-terminated by the get).
            dbf_put_field(h, i, value.data());
        }
    }
    xdb_set_status(XD_OK);
    dbf_read_record(h, records + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_path.empty()) {
        g_path = fuzz_scratch_path("T.DBF");
        xdbinit();
    }
    FILE* f = fopen(g_path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    for (uint16_t dialect = 0; dialect <= 11; dialect++) {
        xdb_set_status(XD_OK);
        int16_t h = -1;
        XDSTATUS s = dbf_open(&h, g_path.c_str(), (uint16_t)(XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | dialect));
        if (s < 0) {
            if (h != -1 || xdb_slots_in_use() != 0) abort();  // a failed open leaves nothing
            continue;
        }
        exercise(h);
        xdb_set_status(XD_OK);
        if (dbf_close(h) != XD_OK) abort();
    }
    return 0;
}
