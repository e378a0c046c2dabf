// The C interface and the Python package against what a user would otherwise run:
// every record read through qxdb_first/qxdb_next (each field's text, or the
// record as JSON) beside `qxdb dump` of the same table, and the package's
// iteration beside python3-dbfread's, over the benchmark table.

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench_common.h"
#include "include/qxdb.h"

namespace {

std::string beside_bench(const char* file) {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return file;
    buf[n] = 0;
    std::string dir(buf);
    return dir.substr(0, dir.rfind('/') + 1) + file;
}

// Seconds a shell command takes, or -1 when it fails.
double timed_command(const std::string& command) {
    const double start = bench_now();
    if (system(command.c_str()) != 0) return -1;
    return bench_now() - start;
}

double read_through_api(const std::string& path, bool as_json, uint64_t* bytes) {
    qxdb_table* t = nullptr;
    if (qxdb_open(path.c_str(), QXDB_READ, &t) != QXDB_OK) {
        fprintf(stderr, "qxdb_open: %s\n", qxdb_message());
        exit(1);
    }
    const int fields = qxdb_field_count(t);
    const double start = bench_now();
    uint64_t seen = 0;
    for (qxdb_status s = qxdb_first(t, nullptr); s == QXDB_OK; s = qxdb_next(t)) {
        if (as_json) {
            seen += strlen(qxdb_record_json(t));
            continue;
        }
        for (int f = 0; f < fields; f++)
            if (const char* v = qxdb_value(t, f)) seen += strlen(v);
    }
    const double seconds = bench_now() - start;
    qxdb_close(t);
    *bytes = seen;
    return seconds;
}

}  // namespace

void bench_api_operations(BenchSetup& setup) {
    if (!setup.wanted("C interface") && !setup.wanted("python")) return;
    const uint64_t n = setup.records;
    const std::string cli = beside_bench("qxdb"), library = beside_bench("libqxdbc.so");
    setenv("QXDB_LIBRARY", beside_bench("libqxdb.so").c_str(), 1);
    setenv("QXDB_HOST_MODULE", beside_bench("libqxdbhost.so").c_str(), 1);
    const double dump = best_of(3, [&] { return timed_command("'" + cli + "' dump '" + setup.table +
                                                               "' --format jsonl > /dev/null"); });
    if (setup.wanted("C interface")) {
        bench_report("qxdb dump --format jsonl (for the C interface)", "dbf", n, dump, setup.raw_read);
        uint64_t bytes = 0;
        const double values = best_of(3, [&] { return read_through_api(setup.table, false, &bytes); });
        bench_report("C interface: every record, each field's text", "dbf", n, values, setup.raw_read);
        const double json = best_of(3, [&] { return read_through_api(setup.table, true, &bytes); });
        bench_report("C interface: every record as JSON", "dbf", n, json, setup.raw_read);
        printf("    C interface / qxdb dump: %.2f (field texts), %.2f (JSON)\n", values / dump, json / dump);
    }
    if (setup.wanted("python")) {
        const std::string package = std::string(QXDB_SOURCE_DIR) + "/python";
        const double ours = best_of(2, [&] {
            return timed_command("QXDB_C_LIBRARY='" + library + "' PYTHONPATH='" + package +
                                 "' /usr/bin/python3 -c 'import qxdb,sys\nfor r in qxdb.open(sys.argv[1]): pass' '" +
                                 setup.table + "'");
        });
        const double theirs = best_of(2, [&] {
            return timed_command("/usr/bin/python3 -c 'import dbfread,sys\nfor r in dbfread.DBF(sys.argv[1]): pass' '" +
                                 setup.table + "' 2>/dev/null");
        });
        bench_report("python: for r in qxdb.open(table)", "dbf", n, ours, setup.raw_read);
        if (theirs > 0) {
            bench_report("python: for r in dbfread.DBF(table)", "dbf", n, theirs, setup.raw_read);
            printf("    qxdb / dbfread in Python: %.2f\n", ours / theirs);
        }
    }
}
