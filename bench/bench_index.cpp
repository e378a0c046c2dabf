// Index operations, in every index format the engine has (a multi-tag file's tag
// NAME), through the uniform
// index layer the driver uses: build an index on NAME and on AMOUNT, 100,000 random seeks of
// existing names, a full walk in NAME order (keys only, and reading NAME from each
// record), 100,000 added keys. Seeks and walks run with the index shared (every
// operation checks the file for other programs' changes) and opened exclusively.

#include <unistd.h>

#include <cstring>
#include <random>

#include "bench/bench_common.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/table_check.h"

namespace {

struct Format {
    int32_t type;
    const char* name;
};
const Format kFormats[] = {{1, "ndx"}, {5, "ntx"}, {2, "mdx"}, {3, "idx"}, {4, "cdx"}};

// The NAME key of an open index file: a multi-tag file's tag NAME.
IndexAccess name_access(int32_t type, int16_t handle) {
    IndexAccess a{};
    a.type = type;
    a.file_handle = (uint16_t)handle;
    if (index_is_multitag(type)) bench_check(TagOpen(type, "NAME", handle, &a.tag_handle), "open tag");
    a.key_length = 31;
    a.key_type = 'C';
    a.single_field = -1;
    return a;
}

void name_key(const char* name, char* key) {
    memset(key, ' ', 30);
    memcpy(key, name, strlen(name));
    key[30] = 0;
}

void bench_format(BenchSetup& setup, const Format& format) {
    // An MDX file's name is the table's, 8 characters at most.
    const std::string base = format.type == 2 ? "/qxbench" : "/qxdb-bench";
    const std::string file = setup.dir + base + index_extension(format.type);
    const std::string fmt = format.name;
    const uint32_t n = setup.records;
    // --only picks operations by a word of their name, or a format by its name.
    auto want = [&](const char* operation) { return setup.wanted(operation) || setup.wanted(fmt); };
    if (!want("build") && !want("seek") && !want("walk") && !want("added") && !want("check")) return;
    int16_t data;
    xdb_set_status(XD_OK);
    bench_check(dbf_open(&data, setup.table.c_str(), DBF_DBASE3), "open table");
    double build = best_of(3, [&] {
        double t0 = bench_now();
        bench_check(IndexRebuild(format.type, data, file.c_str(), "NAME", 'C', 30, 0, "NAME"), "build");
        return bench_now() - t0;
    });
    if (want("build")) bench_report("build an index on NAME", fmt, n, build, setup.raw_read);
    if (want("build")) {
        const std::string numeric = setup.dir + (format.type == 2 ? "/qxamount" : "/qxdb-bench-amount") + index_extension(format.type);
        double build_numbers = best_of(3, [&] {
            double t0 = bench_now();
            bench_check(IndexRebuild(format.type, data, numeric.c_str(), "AMOUNT", 'N', 10, 2, "AMOUNT"), "build");
            return bench_now() - t0;
        });
        bench_report("build an index on AMOUNT, N(10,2)", fmt, n, build_numbers, setup.raw_read);
        unlink(numeric.c_str());
    }
    if (want("check")) {
        // The tree and every entry against the table, as `qxdb index check` does.
        double checking = best_of(3, [&] {
            int16_t h;
            bench_check(IndexOpen(format.type, file.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND, &h), "open index");
            IndexAccess a = name_access(format.type, h);
            IndexTableCheck check;
            double t0 = bench_now();
            bench_check(IndexCheckAgainstTable(&a, data, false, &check), "check");
            double t = bench_now() - t0;
            if (check.faults || check.entries != n) bench_check(-1, "check found faults");
            IndexClose(format.type, h);
            return t;
        });
        char label[96];
        snprintf(label, sizeof label, "check against the table (%.1fx the build)", checking / build);
        bench_report(label, fmt, n, checking, setup.raw_read);
    }

    std::vector<uint32_t> picks(100000);
    std::mt19937_64 rng(7);
    for (uint32_t& p : picks) p = (uint32_t)(rng() % n);
    char key[kIndexKeyBuffer];
    for (int exclusive = 0; exclusive < 2; exclusive++) {
        const char* how = exclusive ? ", exclusive" : ", shared";
        int16_t h;
        bench_check(IndexOpen(format.type, file.c_str(), exclusive ? 0 : XDB_OPEN_SHORTHAND, &h), "open index");
        IndexAccess a = name_access(format.type, h);
        uint32_t found = 0;
        if (want("seek")) {
            double seeks = best_of(3, [&] {
                found = 0;
                double t0 = bench_now();
                for (uint32_t p : picks) {
                    name_key(setup.data[p].name, key);
                    uint32_t recno = 0;
                    if (IndexSeek(&a, key, 0, &recno, 0) == XD_OK) found++;
                }
                return bench_now() - t0;
            });
            if (found != picks.size()) {
                fprintf(stderr, "%s: %u of %zu seeks found their name\n", format.name, found, picks.size());
                exit(1);
            }
            bench_report(std::string("100,000 random seeks of existing names") + how, fmt, picks.size(), seeks);
        }
        uint32_t walked = 0;
        if (want("walk")) {
            double walk = best_of(3, [&] {
                walked = 0;
                uint32_t recno;
                double t0 = bench_now();
                for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK; s = IndexNext(&a, key, &recno)) walked++;
                return bench_now() - t0;
            });
            if (walked != n) {
                fprintf(stderr, "%s: the walk met %u keys of %u\n", format.name, walked, n);
                exit(1);
            }
            bench_report(std::string("full walk in NAME order, keys only") + how, fmt, n, walk, setup.raw_read);
        }
        if (exclusive && want("walk")) {
            double with_records = best_of(3, [&] {
                uint32_t recno;
                char name[32];
                double t0 = bench_now();
                for (XDSTATUS s = IndexFirst(&a, key, &recno); s == XD_OK; s = IndexNext(&a, key, &recno)) {
                    xdb_set_status(XD_OK);
                    bench_check(dbf_read_record(data, recno), "read record");
                    dbf_get_field(data, 0, name, nullptr);
                }
                return bench_now() - t0;
            });
            bench_report("full walk in NAME order, reading NAME", fmt, n, with_records, setup.raw_read);
        }
        if (exclusive && want("added")) {
            double t0 = bench_now();
            for (uint32_t i = 0; i < 100000; i++) {
                char added[32];
                snprintf(added, sizeof added, "ADDED%08u", (unsigned)(rng() % 100000000));
                bench_check(IndexAddKey(&a, added, n + 1 + i), "add key");
            }
            bench_report("100,000 added keys", fmt, 100000, bench_now() - t0);
        }
        IndexClose(format.type, h);
    }
    xdb_set_status(XD_OK);
    dbf_close(data);
    unlink(file.c_str());
}

}  // namespace

void bench_index_operations(BenchSetup& setup) {
    for (const Format& format : kFormats)
        if (index_format_available(format.type)) bench_format(setup, format);
}
