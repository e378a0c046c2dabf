#pragma once
// Helpers every benchmark uses: a monotonic clock in seconds, a status check that
// stops the run, and a field description for dbf_create.

#include <chrono>
#include <cstdio>
#include <cstdlib>

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
