// libFuzzer target: a table of keys from the input, indexed by a rebuild (in memory
// and through the work file of runs), then changed by adds and deletes. The index
// must walk in key order, hold one entry per record and check clean; nothing may
// crash or hang.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/key_sort.h"
#include "engine/index/ndx/ndx.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string table, index;
    if (table.empty()) {
        table = fuzz_scratch_path("K.DBF");
        index = fuzz_scratch_path("K.NDX");
        xdbinit();
    }
    if (size < 1) return 0;
    const size_t kl = 1 + data[0] % 12;
    size_t n = (size - 1) / kl;
    if (n > 2000) n = 2000;
    // The table: one C field of kl bytes (bytes 0x20..0x7E only).
    std::string b(32, '\0');
    b[0] = 3;
    b[4] = (char)(n & 0xFF);
    b[5] = (char)(n >> 8);
    b[8] = 32 + 32 + 1;
    b[10] = (char)(1 + kl);
    std::string desc(32, '\0');
    desc[0] = 'K';
    desc[11] = 'C';
    desc[16] = (char)kl;
    b += desc + "\r";
    std::vector<std::string> keys;
    for (size_t i = 0; i < n; i++) {
        std::string k;
        for (size_t j = 0; j < kl; j++) k += (char)(0x20 + data[1 + i * kl + j] % 95);
        keys.push_back(k);
        b += " " + k;
    }
    b += '\x1A';
    FILE* f = fopen(table.c_str(), "wb");
    if (!f) abort();
    fwrite(b.data(), 1, b.size(), f);
    fclose(f);

    int16_t d = -1, x = -1;
    xdb_set_status(XD_OK);
    if (dbf_open(&d, table.c_str(), 1) < 0) abort();
    key_sort_set_budget(size % 2 ? 4096 : 1 << 20);
    xdb_set_status(XD_OK);
    if (ndx_rebuild(d, index.c_str(), 'C', "K", (uint16_t)kl) != XD_OK) abort();
    xdb_set_status(XD_OK);
    if (ndx_open(&x, index.c_str(), 0) < 0) abort();
    // Deletes of every third record, adds of their keys under new numbers.
    for (size_t i = 0; i < n; i += 3) {
        xdb_set_status(XD_OK);
        if (ndx_delete_key(x, keys[i].data(), (uint16_t)kl, (uint32_t)i + 1) != XD_OK) abort();
        xdb_set_status(XD_OK);
        if (ndx_add_key(x, keys[i].data(), (uint16_t)kl, (uint32_t)(n + i + 1)) != XD_OK) abort();
    }
    char fault[200];
    uint32_t entries = 0;
    xdb_set_status(XD_OK);
    if (ndx_check(x, &entries, fault, sizeof fault) != XD_OK || entries != n) abort();
    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    char key[128];
    uint32_t recno = 0;
    size_t at = 0;
    xdb_set_status(XD_OK);
    for (XDSTATUS s = ndx_first(x, key, &recno); s == XD_OK; s = ndx_next(x, key, &recno)) {
        if (at >= n || std::string(key, kl) != sorted[at]) abort();
        at++;
        xdb_set_status(XD_OK);
    }
    if (at != n) abort();
    xdb_set_status(XD_OK);
    if (ndx_close(x) != XD_OK) abort();
    xdb_set_status(XD_OK);
    dbf_close(d);
    return 0;
}
