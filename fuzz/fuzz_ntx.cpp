// libFuzzer target: arbitrary bytes opened as an NTX index (Clipper), walked both ways,
// searched, changed and checked. Nothing may crash, hang or read out of bounds.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/engine.h"
#include "engine/index/ntx/ntx.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path;
    if (path.empty()) {
        path = fuzz_scratch_path("T.NTX");
        xdbinit();
    }
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    int16_t h = -1;
    xdb_set_status(XD_OK);
    if (ntx_open(&h, path.c_str(), XDB_OPEN_SHORTHAND) < 0) {
        if (h != -1 || xdb_slots_in_use() != 0) abort();
        return 0;
    }
    uint8_t key[128];
    uint32_t recno = 0;
    for (int reverse = 0; reverse < 2; reverse++) {
        memset(key, 0, sizeof key);
        xdb_set_status(XD_OK);
        XDSTATUS s = reverse ? ntx_last(h, key, &recno) : ntx_first(h, key, &recno);
        for (int steps = 0; s == XD_OK && steps < 2000; steps++) {
            xdb_set_status(XD_OK);
            s = reverse ? ntx_previous(h, key, &recno) : ntx_next(h, key, &recno);
        }
    }
    for (size_t at = 0; at + 8 <= size && at < 64; at += 8) {
        memset(key, 0, sizeof key);
        memcpy(key, data + at, 8);
        xdb_set_status(XD_OK);
        ntx_seek(h, key, 8, &recno, (uint16_t)(data[at] & 0x82));
        xdb_set_status(XD_OK);
        ntx_resync(h, key, &recno);
    }
    // Changes on whatever tree this is must fail cleanly or keep it whole.
    for (int i = 0; i < 3 && size >= 8; i++) {
        memset(key, 'A' + i, sizeof key);
        xdb_set_status(XD_OK);
        ntx_add_key(h, key, 8, 1000u + (uint32_t)i);
    }
    xdb_set_status(XD_OK);
    ntx_delete_key(h, key, 8, 1002);
    char fault[128];
    uint32_t entries;
    xdb_set_status(XD_OK);
    ntx_check(h, &entries, fault, sizeof fault);
    xdb_set_status(XD_OK);
    ntx_close(h);
    return 0;
}
