// 1,000,000 appends to a table with records of 60 bytes, then a pack of that file
// with 10% of its records deleted, beside a plain copy of the same file (read and
// written in 1 MiB pieces).
//
//   bench_dbf_write [records] [dir]

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"

namespace {

double copy_file(const std::string& from, const std::string& to, bool sync = false) {
    std::vector<char> buf(1 << 20);
    double t0 = bench_now();
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t n;
    while ((n = read(in, buf.data(), buf.size())) > 0)
        if (write(out, buf.data(), (size_t)n) != n) break;
    if (sync) fdatasync(out);  // as the engine's close does (FlushFileBuffers)
    close(in);
    close(out);
    return bench_now() - t0;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t records = argc > 1 ? (uint32_t)atol(argv[1]) : 1000000;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
    std::string path = dir + "/qxdb-bench-write.dbf", copy = dir + "/qxdb-bench-copy.dbf";
    xdbinit();
    std::vector<DbfCreateField> fields = {bench_field("NAME", 'C', 30), bench_field("CODE", 'C', 7), bench_field("AMOUNT", 'N', 10, 2),
                                          bench_field("QTY", 'N', 3), bench_field("BORN", 'D', 8), bench_field("ACTIVE", 'L', 1)};
    bench_check(dbf_create(path.c_str(), (int16_t)fields.size(), fields.data(), DBF_DBASE3), "create");
    int16_t h;
    bench_check(dbf_open(&h, path.c_str(), DBF_DBASE3), "open");
    uint64_t x = 88172645463325252ull;
    char name[32], date[16];
    double t0 = bench_now();
    for (uint32_t n = 1; n <= records; n++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        snprintf(name, sizeof name, "CUSTOMER %u", (unsigned)(x % 1000000));
        snprintf(date, sizeof date, "%04u%02u%02u", (unsigned)(1950 + x % 70), (unsigned)(1 + x % 12), (unsigned)(1 + x % 28));
        double amount = (double)(x % 10000000) / 100.0, qty = (double)(x % 1000);
        uint8_t active = x % 3 != 0;
        xdb_set_status(XD_OK);
        dbf_put_field(h, 0, name);
        dbf_put_field(h, 1, "ABC");
        dbf_put_field(h, 2, &amount);
        dbf_put_field(h, 3, &qty);
        dbf_put_field(h, 4, date);
        dbf_put_field(h, 5, &active);
        uint32_t recno = 0;
        bench_check(dbf_write_record(h, &recno, DBF_WRITE_APPEND), "append");
    }
    double appends = bench_now() - t0;
    for (uint32_t n = 7; n <= records; n += 10) {
        xdb_set_status(XD_OK);
        bench_check(dbf_delete_record(h, n), "delete");
    }
    xdb_set_status(XD_OK);
    bench_check(dbf_close(h), "close");

    double best_copy = 1e9, best_synced = 1e9, best_pack = 1e9;
    for (int i = 0; i < 3; i++) {
        double c = copy_file(path, copy);
        if (c < best_copy) best_copy = c;
        c = copy_file(path, copy, true);
        if (c < best_synced) best_synced = c;
        // Pack a fresh copy each time, so every round removes the same records.
        std::string work = dir + "/qxdb-bench-pack.dbf";
        copy_file(path, work);
        bench_check(dbf_open(&h, work.c_str(), DBF_DBASE3), "open");
        xdb_set_status(XD_OK);
        double p0 = bench_now();
        bench_check(dbf_pack(&h), "pack");
        double p = bench_now() - p0;
        if (p < best_pack) best_pack = p;
        uint32_t kept = 0;
        dbf_record_count(h, &kept);
        if (i == 0) printf("pack kept         %u of %u records\n", kept, records);
        xdb_set_status(XD_OK);
        dbf_close(h);
        unlink(work.c_str());
    }
    xdbterm();
    unlink(path.c_str());
    unlink(copy.c_str());
    printf("appends           %u in %.3f s  (%.0f records/s)\n", records, appends, records / appends);
    printf("copy of the file  %.4f s  (%.4f s with the data flushed to disk)\n", best_copy, best_synced);
    printf("pack              %.4f s  (%.2fx the copy, %.2fx the flushed copy)\n", best_pack, best_pack / best_copy,
           best_pack / best_synced);
    return 0;
}
