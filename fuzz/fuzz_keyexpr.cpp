// libFuzzer target: arbitrary text evaluated as a key expression against a small
// table with fields of several types. Nothing may crash or read out of bounds.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "fuzz/fuzz_scratch.h"

namespace {

int16_t g_handle = -1;

void setup() {
    std::string path = fuzz_scratch_path("T.DBF");
    xdbinit();
    DbfCreateField f[5] = {};
    const char* names[5] = {"NAME", "BIRTH", "AMOUNT", "OK", "CODE"};
    const char types[5] = {'C', 'D', 'N', 'L', 'C'};
    const uint16_t lengths[5] = {10, 8, 8, 1, 5};
    for (int i = 0; i < 5; i++) {
        snprintf(f[i].name, sizeof f[i].name, "%s", names[i]);
        f[i].type = (uint16_t)types[i];
        f[i].length = lengths[i];
        f[i].decimals = i == 2 ? 2 : 0;
    }
    dbf_create(path.c_str(), 5, f, DBF_DBASE3);
    dbf_open(&g_handle, path.c_str(), DBF_DBASE3);
    double amount = 123.45;
    uint8_t ok = 1;
    xdb_set_status(XD_OK);
    dbf_put_field(g_handle, 0, "Smith");
    dbf_put_field(g_handle, 1, "19690420");
    dbf_put_field(g_handle, 2, &amount);
    dbf_put_field(g_handle, 3, &ok);
    dbf_put_field(g_handle, 4, "ABCDE");
    uint32_t recno = 0;
    dbf_write_record(g_handle, &recno, DBF_WRITE_APPEND);
    unlink(path.c_str());  // the open handle keeps the file
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_handle < 0) setup();
    std::string text((const char*)data, size);
    text = text.substr(0, text.find('\0'));
    for (int limit : {0, 1, 2}) {
        std::string expr = text;
        XdbKeyValue v{};
        xdb_set_status(XD_OK);
        if (xdb_eval_key(g_handle, &expr[0], limit, &v) >= 0 && v.length) {
            // Touch every byte of the result: it must all be readable.
            unsigned sum = 0;
            for (uint16_t i = 0; i < v.length; i++) sum += ((const unsigned char*)v.value)[i];
            if (sum == 0xFFFFFFFFu) abort();
        }
    }
    return 0;
}
