// NDX on a 1,000,000-record table: rebuild on a C(30) key and on an N(10,2) key,
// 100,000 random seeks, a full walk in key order, 100,000 incremental adds.
//
//   bench_ndx [records] [dir]

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/ndx/ndx.h"

int main(int argc, char** argv) {
    uint32_t records = argc > 1 ? (uint32_t)atol(argv[1]) : 1000000;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
    std::string table = dir + "/qxdb-bench-ndx.dbf", cidx = dir + "/qxdb-bench-c.ndx", nidx = dir + "/qxdb-bench-n.ndx";
    xdbinit();
    DbfCreateField fields[2] = {bench_field("NAME", 'C', 30), bench_field("AMOUNT", 'N', 10, 2)};
    bench_check(dbf_create(table.c_str(), 2, fields, DBF_DBASE3), "create");
    int16_t h;
    bench_check(dbf_open(&h, table.c_str(), DBF_DBASE3), "open");
    std::mt19937_64 rng(1);
    std::vector<std::string> names;
    for (uint32_t n = 1; n <= records; n++) {
        char name[32];
        snprintf(name, sizeof name, "CUSTOMER %010llu", (unsigned long long)(rng() % 10000000000ull));
        double amount = (double)(int64_t)(rng() % 20000000 - 10000000) / 100.0;
        xdb_set_status(XD_OK);
        dbf_put_field(h, 0, name);
        dbf_put_field(h, 1, &amount);
        uint32_t recno;
        bench_check(dbf_write_record(h, &recno, DBF_WRITE_APPEND), "append");
        if (n % 10 == 0) names.push_back(name);
    }

    double t0 = bench_now();
    xdb_set_status(XD_OK);
    bench_check(ndx_rebuild(h, cidx.c_str(), 'C', "NAME", 30), "rebuild C");
    double rebuild_c = bench_now() - t0;
    t0 = bench_now();
    bench_check(ndx_rebuild(h, nidx.c_str(), 'N', "AMOUNT", 8), "rebuild N");
    double rebuild_n = bench_now() - t0;

    // Seeks and a walk with the index shared (every operation reads the file
    // afresh, as the rules ask) and opened exclusively (its blocks stay cached).
    struct Pass {
        double seeks, walk;
        uint32_t found, walked;
    } pass[2];
    uint8_t key[64];
    uint32_t recno = 0;
    int16_t x = -1;
    for (int exclusive = 0; exclusive < 2; exclusive++) {
        if (x >= 0) ndx_close(x);
        xdb_set_status(XD_OK);
        bench_check(ndx_open(&x, cidx.c_str(), exclusive ? 0 : XDB_OPEN_SHORTHAND), "open index");
        Pass& p = pass[exclusive];
        std::mt19937_64 pick(7);
        t0 = bench_now();
        p.found = 0;
        for (int i = 0; i < 100000; i++) {
            const std::string& n = names[pick() % names.size()];
            memset(key, 0, sizeof key);
            memcpy(key, n.data(), n.size());
            xdb_set_status(XD_OK);
            if (ndx_seek(x, key, (uint16_t)n.size(), &recno, 0) == XD_OK) p.found++;
        }
        p.seeks = bench_now() - t0;
        t0 = bench_now();
        p.walked = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = ndx_first(x, key, &recno);
        while (s == XD_OK) {
            p.walked++;
            xdb_set_status(XD_OK);
            s = ndx_next(x, key, &recno);
        }
        p.walk = bench_now() - t0;
    }
    t0 = bench_now();
    for (uint32_t i = 0; i < 100000; i++) {
        char name[32];
        snprintf(name, sizeof name, "ADDED %024llu", (unsigned long long)(rng() % 100000000000ull));
        xdb_set_status(XD_OK);
        bench_check(ndx_add_key(x, name, 30, records + 1 + i), "add");
    }
    double adds = bench_now() - t0;
    xdb_set_status(XD_OK);
    ndx_close(x);
    dbf_close(h);
    xdbterm();
    unlink(table.c_str());
    unlink(cidx.c_str());
    unlink(nidx.c_str());
    printf("records               %u\n", records);
    printf("rebuild, C(30) key    %.3f s  (%.2f s per million keys)\n", rebuild_c, rebuild_c * 1e6 / records);
    printf("rebuild, N(10,2) key  %.3f s  (%.2f s per million keys)\n", rebuild_n, rebuild_n * 1e6 / records);
    const char* how[2] = {"shared", "exclusive"};
    for (int e = 0; e < 2; e++) {
        printf("100000 random seeks   %.3f s  (%.0f seeks/s, %u found; %s)\n", pass[e].seeks, 100000 / pass[e].seeks,
               pass[e].found, how[e]);
        printf("full walk             %.3f s  (%u keys, %.0f keys/s; %s)\n", pass[e].walk, pass[e].walked,
               pass[e].walked / pass[e].walk, how[e]);
    }
    printf("100000 adds           %.3f s  (%.0f adds/s)\n", adds, 100000 / adds);
    return 0;
}
