// libFuzzer target: arbitrary bytes opened as a DBT (both layouts) and as an FPT,
// every block read, and a memo written and read back. Nothing may crash, hang or
// read out of bounds.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/core/engine.h"
#include "engine/memo/memo.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path;
    if (path.empty()) {
        path = fuzz_scratch_path("T.MEM");
        xdbinit();
    }
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    for (int kind = 0; kind < 3; kind++) {
        int16_t h = -1;
        xdb_set_status(XD_OK);
        XDSTATUS s = kind == 2 ? fpt_open(&h, path.c_str(), 0) : dbt_open(&h, path.c_str(), (uint16_t)(kind == 0 ? 1 : 2));
        if (s < 0) {
            if (h != -1 || xdb_slots_in_use() != 0) abort();
            continue;
        }
        for (uint32_t block = 0; block < 64; block++) {
            const char* text;
            uint32_t length;
            xdb_set_status(XD_OK);
            if (kind == 2) fpt_read(h, block, &text, &length);
            else dbt_read(h, block, &text, &length);
        }
        // A write must leave a memo that reads back.
        uint32_t block = size > 0 ? data[0] : 1;
        xdb_set_status(XD_OK);
        s = kind == 2 ? fpt_write(h, "fuzz", 4, &block) : dbt_write(h, "fuzz", 4, &block, DBT_REPLACE);
        if (s == XD_OK) {
            const char* text = nullptr;
            uint32_t length = 0;
            xdb_set_status(XD_OK);
            s = kind == 2 ? fpt_read(h, block, &text, &length) : dbt_read(h, block, &text, &length);
            if (s == XD_OK && (length != 4 || std::string(text, 4) != "fuzz")) abort();
        }
        xdb_set_status(XD_OK);
        if (kind == 2) fpt_close(h);
        else dbt_close(h);
    }
    return 0;
}
