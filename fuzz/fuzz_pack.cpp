// libFuzzer target: a table with a memo field whose records (deletion flags, memo
// block numbers) and memo file come from the input; then a pack and a memo rebuild.
// Nothing may crash or hang, and a rebuild that succeeds must leave every live
// record's memo readable as it was before.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/memo/memo.h"
#include "fuzz/fuzz_scratch.h"

namespace {

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size) fwrite(data, 1, size, f);
    fclose(f);
}

// ID N(4), NOTE M: record i from 5 input bytes (flag, block as 4 digits of a byte).
std::string table_bytes(const uint8_t* data, size_t n_records) {
    std::string b(32, '\0');
    b[0] = (char)0x83;
    b[4] = (char)n_records;
    b[8] = (char)(32 + 64 + 1);
    b[10] = 1 + 4 + 10;
    std::string d1(32, '\0'), d2(32, '\0');
    memcpy(&d1[0], "ID", 2);
    d1[11] = 'N';
    d1[16] = 4;
    memcpy(&d2[0], "NOTE", 4);
    d2[11] = 'M';
    d2[16] = 10;
    b += d1 + d2 + "\r";
    for (size_t i = 0; i < n_records; i++) {
        const uint8_t* r = data + i * 2;
        char rec[16];
        snprintf(rec, sizeof rec, "%c%4u%10u", r[0] & 1 ? '*' : ' ', (unsigned)i, (unsigned)(r[1] % 40));
        b += std::string(rec, 15);
    }
    b += '\x1A';
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string table, memo, backup;
    if (table.empty()) {
        table = fuzz_scratch_path("T.DBF");
        memo = fuzz_scratch_path("T.DBT");
        backup = fuzz_scratch_path("T.BKT");
        xdbinit();
    }
    if (size < 2) return 0;
    size_t n_records = (size_t)(data[0] % 16);
    if (size < 1 + n_records * 2) return 0;
    std::string t = table_bytes(data + 1, n_records);
    write_file(table, (const uint8_t*)t.data(), t.size());
    const uint8_t* memo_data = data + 1 + n_records * 2;
    write_file(memo, memo_data, size - 1 - n_records * 2);
    remove(backup.c_str());

    int16_t d = -1, m = -1;
    xdb_set_status(XD_OK);
    if (dbf_open(&d, table.c_str(), 1) < 0) abort();  // the table is well formed
    xdb_set_status(XD_OK);
    if (dbt_open(&m, memo.c_str(), 1) < 0) {
        xdb_set_status(XD_OK);
        dbf_close(d);
        return 0;
    }
    // Record n: its ID, and its memo as it reads now ("\x01unreadable" when it does
    // not). False when the record is not live.
    auto memo_of = [&](uint32_t n, int* id, std::string* text) {
        xdb_set_status(XD_OK);
        if (dbf_read_record(d, n) != XD_OK) return false;
        double value = 0;
        uint32_t block = 0;
        dbf_get_field(d, 0, &value, nullptr);
        dbf_get_field(d, 1, &block, nullptr);
        *id = (int)value;
        const char* t;
        uint32_t length;
        xdb_set_status(XD_OK);
        if (!block) *text = "";
        else if (dbt_read(m, block, &t, &length) == XD_OK) *text = std::string(t, length);
        else *text = "\x01unreadable";
        return true;
    };
    std::map<int, std::string> before;
    uint32_t count = 0;
    dbf_record_count(d, &count);
    for (uint32_t n = 1; n <= count; n++) {
        int id;
        std::string text;
        if (memo_of(n, &id, &text)) before[id] = text;
    }
    xdb_set_status(XD_OK);
    XDSTATUS s = dbt_rebuild(d, &m);
    if (s == XD_OK) {
        xdb_set_status(XD_OK);
        if (dbf_pack(&d) != XD_OK) abort();
        dbf_record_count(d, &count);
        for (uint32_t n = 1; n <= count; n++) {
            int id;
            std::string text;
            if (!memo_of(n, &id, &text)) abort();  // the pack leaves live records only
            if (before[id] != text) abort();       // and each keeps its memo
        }
    }
    xdb_set_status(XD_OK);
    if (m >= 0) dbt_close(m);
    xdb_set_status(XD_OK);
    if (d >= 0) dbf_close(d);
    xdb_set_status(XD_OK);
    if (xdb_slots_in_use() != 0) abort();
    return 0;
}
