// Table operations: create and append every record, read the file raw, scan it
// converting every field, copy it, and pack it with 10% of its records deleted.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "bench/bench_common.h"
#include "engine/core/engine.h"

namespace {

double raw_read(const std::string& path) {
    std::vector<char> buf(256 * 1024);
    int fd = open(path.c_str(), O_RDONLY);
    double t0 = bench_now();
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    double t = bench_now() - t0;
    close(fd);
    return t;
}

std::string read_file(const std::string& path) {
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
    return bytes;
}

double copy_file(const std::string& from, const std::string& to) {
    std::vector<char> buf(1 << 20);
    double t0 = bench_now();
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t n;
    while ((n = read(in, buf.data(), buf.size())) > 0)
        if (write(out, buf.data(), (size_t)n) != n) break;
    close(in);
    close(out);
    return bench_now() - t0;
}

// Appends one record at a time (batch 1) or `batch` records per call.
double append_all(const BenchSetup& setup, const std::string& path, uint32_t batch = 1) {
    unlink(path.c_str());
    double t0 = bench_now();
    DbfCreateField fields[5] = {bench_field("NAME", 'C', 30), bench_field("AMOUNT", 'N', 10, 2),
                                bench_field("QTY", 'N', 3), bench_field("BORN", 'D', 8), bench_field("ACTIVE", 'L', 1)};
    xdb_set_status(XD_OK);
    bench_check(dbf_create(path.c_str(), 5, fields, DBF_DBASE3), "create");
    int16_t h;
    bench_check(dbf_open(&h, path.c_str(), DBF_DBASE3), "open");
    char* record;
    uint16_t length, fields_count;
    dbf_record_layout(h, &record, &length, &fields_count);
    std::vector<char> staged((size_t)batch * length);
    uint32_t held = 0;
    for (const BenchRecord& r : setup.data) {
        xdb_set_status(XD_OK);
        dbf_put_field(h, 0, r.name);
        dbf_put_field(h, 1, &r.amount);
        dbf_put_field(h, 2, &r.qty);
        dbf_put_field(h, 3, r.born);
        dbf_put_field(h, 4, &r.active);
        uint32_t recno = 0;
        if (batch == 1) {
            bench_check(dbf_write_record(h, &recno, DBF_WRITE_APPEND), "append");
            continue;
        }
        record[0] = ' ';
        memcpy(&staged[(size_t)held * length], record, length);
        if (++held == batch) {
            bench_check(dbf_append_records(h, staged.data(), held, &recno), "append records");
            held = 0;
        }
    }
    uint32_t first = 0;
    if (held) bench_check(dbf_append_records(h, staged.data(), held, &first), "append records");
    xdb_set_status(XD_OK);
    bench_check(dbf_close(h), "close");
    return bench_now() - t0;
}

// Every record read and its fields converted by `convert`, which adds them to the
// checksum; the time of the scan alone.
template <class Convert>
double scan(const std::string& path, double* checksum, Convert convert) {
    int16_t h;
    xdb_set_status(XD_OK);
    bench_check(dbf_open(&h, path.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | DBF_DBASE3), "open");
    uint32_t count = 0;
    dbf_record_count(h, &count);
    double sum = 0;
    double t0 = bench_now();
    for (uint32_t n = 1; n <= count; n++) {
        xdb_set_status(XD_OK);
        if (dbf_read_ahead(h, n) < 0) break;
        sum += convert(h);
    }
    double t = bench_now() - t0;
    dbf_close(h);
    *checksum = sum;
    return t;
}

// One call per field.
double scan_fields(const std::string& path, double* checksum) {
    return scan(path, checksum, [](int16_t h) {
        char name[32], date[16];
        double amount, qty;
        uint8_t active;
        dbf_get_field(h, 0, name, nullptr);
        dbf_get_field(h, 1, &amount, nullptr);
        dbf_get_field(h, 2, &qty, nullptr);
        dbf_get_field(h, 3, date, nullptr);
        dbf_get_field(h, 4, &active, nullptr);
        return amount + qty + active + date[7] + name[7];
    });
}

// The whole-record path: one call converts every field.
double scan_records(const std::string& path, double* checksum) {
    return scan(path, checksum, [](int16_t h) {
        DbfValue values[5];
        dbf_get_record(h, values, 5);
        return values[1].number + values[2].number + values[4].logical + values[3].text[7] + values[0].text[7];
    });
}

}  // namespace

void bench_table_operations(BenchSetup& setup) {
    setup.table = setup.dir + "/qxdb-bench.dbf";
    const std::string work = setup.dir + "/qxdb-bench-work.dbf";
    const uint32_t n = setup.records;
    // The table itself is the append benchmark's product: it always runs once.
    if (!setup.reuse || access(setup.table.c_str(), R_OK) != 0) {
        double append = best_of(setup.wanted("append") ? 3 : 1, [&] { return append_all(setup, setup.table); });
        if (setup.wanted("append")) bench_report("create + append, one record per call", "dbf", n, append);
    }
    if (setup.wanted("append")) {
        const std::string batched = setup.dir + "/qxdb-bench-batched.dbf";
        double append = best_of(3, [&] { return append_all(setup, batched, 256); });
        bench_report("create + append, 256 records per call", "dbf", n, append);
        // Both ways must write the same file (bytes 1..3, the date of the last
        // change, aside).
        std::string one = read_file(setup.table), other = read_file(batched);
        unlink(batched.c_str());
        bool same = one.size() == other.size() && one.size() > 4 && one.compare(4, std::string::npos, other, 4) == 0;
        if (!same) {
            fprintf(stderr, "the batched appends wrote another file\n");
            exit(1);
        }
    }
    raw_read(setup.table);  // into the page cache
    setup.raw_read = best_of(5, [&] { return raw_read(setup.table); });
    bench_report("read the table's bytes raw", "dbf", n, setup.raw_read, setup.raw_read);
    double sum1 = 0, sum2 = 0;
    if (setup.wanted("scan")) {
        bench_report("scan, every field converted (field calls)", "dbf", n,
                     best_of(5, [&] { return scan_fields(setup.table, &sum1); }), setup.raw_read);
        bench_report("scan, every field converted (record call)", "dbf", n,
                     best_of(5, [&] { return scan_records(setup.table, &sum2); }), setup.raw_read);
        if (sum1 != sum2) {
            fprintf(stderr, "the two scans disagree: %.2f and %.2f\n", sum1, sum2);
            exit(1);
        }
    }
    if (setup.wanted("pack")) {
        double copy = best_of(3, [&] { return copy_file(setup.table, work); });
        bench_report("copy of the file (1 MiB reads and writes)", "dbf", n, copy, setup.raw_read);
        double pack = best_of(3, [&] {
            copy_file(setup.table, work);
            int16_t h;
            xdb_set_status(XD_OK);
            bench_check(dbf_open(&h, work.c_str(), DBF_DBASE3), "open");
            for (uint32_t r = 7; r <= n; r += 10) {
                xdb_set_status(XD_OK);
                bench_check(dbf_delete_record(h, r), "delete");
            }
            xdb_set_status(XD_OK);
            double t0 = bench_now();
            bench_check(dbf_pack(&h), "pack");
            double t = bench_now() - t0;
            xdb_set_status(XD_OK);
            dbf_close(h);
            return t;
        });
        bench_report("pack, 10% deleted", "dbf", n, pack, setup.raw_read);
        unlink(work.c_str());
    }
}
