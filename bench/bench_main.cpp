// The benchmarks, as one table: every table operation, then every index operation
// in every index format the engine has, then reading through the driver, over one
// generated table.
//
//   qxdb_bench [--records N] [--dir DIR] [--only WORD] [--keep] [--reuse]
//
// --keep leaves the generated table in DIR and --reuse starts from it, so that a
// profile of one operation holds nothing else.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bench/bench_common.h"
#include "engine/core/engine.h"

void bench_report(const std::string& operation, const std::string& format, uint64_t items, double seconds,
                  double raw) {
    char ratio[32] = "";
    if (raw > 0) snprintf(ratio, sizeof ratio, "%.1fx", seconds / raw);
    printf("%-52s %-6s %9llu %9.3f %12.0f %9s\n", operation.c_str(), format.c_str(), (unsigned long long)items, seconds,
           seconds > 0 ? items / seconds : 0.0, ratio);
    fflush(stdout);
}

namespace {

void generate(BenchSetup& setup) {
    std::mt19937_64 rng(20261206);
    setup.data.resize(setup.records);
    for (BenchRecord& r : setup.data) {
        size_t length = 8 + rng() % 23;
        for (size_t i = 0; i < length; i++) r.name[i] = (char)('A' + rng() % 26);
        r.name[length] = 0;
        r.amount = (double)((int64_t)(rng() % 20000000) - 10000000) / 100.0;
        r.qty = (double)(rng() % 1000);
        snprintf(r.born, sizeof r.born, "%04u%02u%02u", (unsigned)(1930 + rng() % 90), (unsigned)(1 + rng() % 12),
                 (unsigned)(1 + rng() % 28));
        r.active = rng() % 3 != 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    BenchSetup setup;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--records") && i + 1 < argc) setup.records = (uint32_t)atol(argv[++i]);
        else if (!strcmp(argv[i], "--dir") && i + 1 < argc) setup.dir = argv[++i];
        else if (!strcmp(argv[i], "--only") && i + 1 < argc) setup.only = argv[++i];
        else if (!strcmp(argv[i], "--keep")) setup.keep = true;
        else if (!strcmp(argv[i], "--reuse")) setup.reuse = setup.keep = true;
        else {
            fprintf(stderr, "usage: qxdb_bench [--records N] [--dir DIR] [--only WORD] [--keep] [--reuse]\n");
            return 2;
        }
    }
    if (setup.records < 1000) setup.records = 1000;
    generate(setup);
    xdbinit();
    // The date format of the stored form, so that dates pass through unchanged.
    xdb_set_date_format(4);
    printf("%-52s %-6s %9s %9s %12s %9s\n", "operation (best of several runs)", "format", "items", "seconds",
           "per second", "/raw read");
    bench_table_operations(setup);
    bench_index_operations(setup);
    bench_driver_operations(setup);
#ifndef _WIN32
    bench_api_operations(setup);
#endif
    xdbterm();
    if (!setup.keep) unlink(setup.table.c_str());
    return 0;
}
