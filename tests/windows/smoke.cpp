// The engine on its real platform, run under Wine by `make test-windows`: a table
// created, appended to under file locks, records locked against a second handle
// (LockFile's own rules), deleted and packed (ReplaceFile), an NDX rebuilt, added
// to with splits and deleted from, and checked. The full suite under Wine comes
// next; this proves the Win32 seam end to end meanwhile.

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/ndx/ndx.h"
#include "engine/memo/memo.h"
// Stops at the first failure with the status.
#define CHECK(x)                             \
    do {                                     \
        XDSTATUS s_ = (x);                   \
        if (s_ < 0) {                        \
            printf("FAIL %s: %d\n", #x, s_); \
            return 1;                        \
        }                                    \
    } while (0)
int main() {
    CHECK(xdbinit());
    DbfCreateField f[2] = {};
    strcpy(f[0].name, "NAME");
    f[0].type = 'C';
    f[0].length = 10;
    strcpy(f[1].name, "N");
    f[1].type = 'N';
    f[1].length = 6;
    f[1].decimals = 2;
    CHECK(dbf_create("t.dbf", 2, f, 1));
    int16_t h;
    CHECK(dbf_open(&h, "t.dbf", 0x0800 | 1));
    for (int i = 0; i < 200; i++) {
        char name[16];
        snprintf(name, sizeof name, "N%05d", (i * 37) % 200);
        double v = i / 8.0;
        uint32_t r;
        xdb_set_status(0);
        dbf_put_field(h, 0, name);
        dbf_put_field(h, 1, &v);
        xdb_set_status(0);
        CHECK(dbf_lock_file(h, 1));
        CHECK(dbf_write_record(h, &r, 0));
        CHECK(dbf_unlock_file(h, 1));
    }
    for (uint32_t r = 1; r <= 200; r += 3) {
        xdb_set_status(0);
        CHECK(dbf_delete_record(h, r));
    }
    int16_t other = -1;
    xdb_set_status(0);
    XDSTATUS s = dbf_open(&other, "t.dbf", 0x0800 | 1);
    if (s < 0) {
        printf("FAIL second shared open: %d\n", s);
        return 1;
    }
    xdb_set_status(0);
    CHECK(dbf_lock_record(h, 7, 5));
    xdb_set_status(0);
    if (dbf_lock_record(other, 7, 5) != XD_LOCKVIOLATION) {
        printf("FAIL: a record locked by one handle was locked by another\n");
        return 1;
    }
    xdb_set_status(0);
    dbf_close(other);
    xdb_set_status(0);
    CHECK(dbf_lock_record(h, 6, 0));
    xdb_set_status(0);
    CHECK(dbf_pack(&h));
    uint32_t count;
    dbf_record_count(h, &count);
    if (count != 133) {
        printf("FAIL: %u records after the pack, 133 expected\n", count);
        return 1;
    }
    xdb_set_status(0);
    CHECK(ndx_rebuild(h, "t.ndx", 'C', "NAME", 10));
    int16_t x;
    xdb_set_status(0);
    CHECK(ndx_open(&x, "t.ndx", 0));
    for (int i = 0; i < 300; i++) {
        char k[16];
        snprintf(k, sizeof k, "A%05d    ", i);  // the whole 10-byte key, blank-padded
        xdb_set_status(0);
        CHECK(ndx_add_key(x, k, 10, 1000 + i));
    }
    for (int i = 0; i < 300; i += 2) {
        char k[16];
        snprintf(k, sizeof k, "A%05d    ", i);  // the whole 10-byte key, blank-padded
        xdb_set_status(0);
        CHECK(ndx_delete_key(x, k, 10, 1000 + i));
    }
    char fault[200];
    uint32_t entries;
    xdb_set_status(0);
    CHECK(ndx_check(x, &entries, fault, sizeof fault));
    if (entries != 133u + 150u) {
        printf("FAIL: %u index entries, 283 expected\n", entries);
        return 1;
    }
    xdb_set_status(0);
    CHECK(ndx_close(x));
    xdb_set_status(0);
    CHECK(dbf_close(h));
    printf("OK\n");
    return 0;
}
