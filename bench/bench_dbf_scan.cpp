// Full scan of a 1,000,000-record table (C(30), N(10,2), N(3,0), D, L): every
// record read and every field got, beside reading the same file's bytes raw. Both
// run from the page cache (the file is read once before timing), best of 5.
//
//   bench_dbf_scan [records] [dir]

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"

namespace {

// Writes the table's bytes directly: header, 5 descriptors, records, 0x1A.
void make_table(const std::string& path, uint32_t records) {
    const int fields = 5;
    const char* names[fields] = {"NAME", "AMOUNT", "QTY", "BORN", "ACTIVE"};
    const char types[fields] = {'C', 'N', 'N', 'D', 'L'};
    const uint8_t lengths[fields] = {30, 10, 3, 8, 1};
    const uint8_t decimals[fields] = {0, 2, 0, 0, 0};
    uint16_t record_length = 1 + 30 + 10 + 3 + 8 + 1;
    uint16_t header_length = 32 + 32 * fields + 1;
    std::vector<uint8_t> header(header_length, 0);
    header[0] = 0x03;
    header[1] = 126;
    header[2] = 12;
    header[3] = 5;
    memcpy(&header[4], &records, 4);
    memcpy(&header[8], &header_length, 2);
    memcpy(&header[10], &record_length, 2);
    for (int i = 0; i < fields; i++) {
        uint8_t* d = &header[32 + 32 * i];
        memcpy(d, names[i], strlen(names[i]));
        d[11] = (uint8_t)types[i];
        d[16] = lengths[i];
        d[17] = decimals[i];
    }
    header[header_length - 1] = 0x0D;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str());
        exit(1);
    }
    fwrite(header.data(), 1, header.size(), f);
    std::vector<char> rec(record_length + 1);
    uint64_t x = 88172645463325252ull;
    for (uint32_t n = 1; n <= records; n++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        snprintf(rec.data(), rec.size(), "%c%-30.30s%10.2f%3u%04u%02u%02u%c", n % 10 == 0 ? '*' : ' ',
                 ("CUSTOMER " + std::to_string(x % 1000000)).c_str(), (double)(x % 10000000) / 100.0,
                 (unsigned)(x % 1000), (unsigned)(1950 + x % 70), (unsigned)(1 + x % 12), (unsigned)(1 + x % 28),
                 x % 3 == 0 ? 'F' : 'T');
        fwrite(rec.data(), 1, record_length, f);
    }
    fputc(0x1A, f);
    fclose(f);
}

double raw_read(const std::string& path, uint64_t* bytes) {
    std::vector<char> buf(256 * 1024);
    int fd = open(path.c_str(), O_RDONLY);
    double t0 = bench_now();
    ssize_t n;
    *bytes = 0;
    while ((n = read(fd, buf.data(), buf.size())) > 0) *bytes += (uint64_t)n;
    double t = bench_now() - t0;
    close(fd);
    return t;
}

double scan(const std::string& path, double* checksum) {
    int16_t h;
    xdb_set_status(XD_OK);
    if (dbf_open(&h, path.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND | DBF_DBASE3) < 0) {
        fprintf(stderr, "open failed\n");
        exit(1);
    }
    uint32_t count = 0;
    dbf_record_count(h, &count);
    char name[32], date[16];
    double amount, qty, sum = 0;
    uint8_t active;
    double t0 = bench_now();
    for (uint32_t n = 1; n <= count; n++) {
        xdb_set_status(XD_OK);
        if (dbf_read_ahead(h, n) < 0) break;
        dbf_get_field(h, 0, name, nullptr);
        dbf_get_field(h, 1, &amount, nullptr);
        dbf_get_field(h, 2, &qty, nullptr);
        dbf_get_field(h, 3, date, nullptr);
        dbf_get_field(h, 4, &active, nullptr);
        sum += amount + qty + active + date[7] + name[10];
    }
    double t = bench_now() - t0;
    dbf_close(h);
    *checksum = sum;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t records = argc > 1 ? (uint32_t)atol(argv[1]) : 1000000;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
    std::string path = dir + "/qxdb-bench-scan.dbf";
    make_table(path, records);
    xdbinit();
    uint64_t bytes = 0;
    raw_read(path, &bytes);  // into the page cache
    double best_raw = 1e9, best_scan = 1e9, checksum = 0;
    for (int i = 0; i < 5; i++) {
        double r = raw_read(path, &bytes);
        if (r < best_raw) best_raw = r;
        double s = scan(path, &checksum);
        if (s < best_scan) best_scan = s;
    }
    xdbterm();
    if (!getenv("QXDB_BENCH_KEEP")) unlink(path.c_str());
    printf("records           %u (%.1f MB)\n", records, bytes / 1e6);
    printf("raw read          %.4f s  (%.0f MB/s)\n", best_raw, bytes / 1e6 / best_raw);
    printf("scan, all fields  %.4f s  (%.0f records/s)\n", best_scan, records / best_scan);
    printf("scan / raw read   %.2fx\n", best_scan / best_raw);
    printf("checksum          %.2f\n", checksum);
    return 0;
}
