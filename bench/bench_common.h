#pragma once
// What every benchmark shares: a monotonic clock, a status check that stops the
// run, the best of several runs, the generated data and the table of results.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/core/dbf.h"

inline double bench_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A failing step makes every later figure meaningless, so the run stops there.
inline void bench_check(XDSTATUS s, const char* what) {
    if (s < 0) {
        fprintf(stderr, "%s failed: %d\n", what, s);
        exit(1);
    }
}

inline DbfCreateField bench_field(const char* name, char type, uint16_t length, uint16_t decimals = 0) {
    DbfCreateField f{};
    snprintf(f.name, sizeof f.name, "%s", name);
    f.type = (uint16_t)type;
    f.length = length;
    f.decimals = decimals;
    return f;
}

// The smallest time of `runs` calls of `run` (each returns the seconds it measured).
template <class Run>
double best_of(int runs, Run run) {
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        double t = run();
        if (t < best) best = t;
    }
    return best;
}

// The records every benchmark uses, generated once from a fixed seed: NAME C(30)
// of 8 to 30 random letters, AMOUNT N(10,2), QTY N(3,0), BORN D, ACTIVE L.
struct BenchRecord {
    char name[31];
    char born[9];
    double amount, qty;
    uint8_t active;
};

struct BenchSetup {
    uint32_t records = 1000000;
    std::string dir = "/tmp";
    std::string only;  // run only the operations whose name holds this
    bool keep = false;   // leave the table for the next run (profiling)
    bool reuse = false;  // use the table a kept run left
    std::vector<BenchRecord> data;
    std::string table;        // the table of `data`, written by the append benchmark
    double raw_read = 0;      // reading the table's bytes, for the ratios
    bool wanted(const std::string& operation) const {
        return only.empty() || operation.find(only) != std::string::npos;
    }
};

// One line of the results: what ran, in which format, over how many items, the
// best time, and (when there is one) the time of reading the same bytes raw.
void bench_report(const std::string& operation, const std::string& format, uint64_t items, double seconds,
                  double raw = 0);

void bench_table_operations(BenchSetup& setup);
void bench_index_operations(BenchSetup& setup);
void bench_driver_operations(BenchSetup& setup);
void bench_api_operations(BenchSetup& setup);
