// An index against its table (see table_check.h).

#include "engine/index/table_check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"

namespace {

// Tables up to this many records are checked with a hash of every record's key
// kept in memory (9 bytes a record); larger ones read each entry's record.
const uint32_t kHashedRecords = 16u << 20;

// FNV-1a over the key's bytes.
uint64_t key_hash(const uint8_t* key, uint32_t length) {
    uint64_t h = 1469598103934665603ull;
    for (uint32_t i = 0; i < length; i++) h = (h ^ key[i]) * 1099511628211ull;
    return h;
}

struct Run {
    IndexAccess* a;
    int16_t data;
    IndexTableCheck* c;
    uint32_t length;  // compared bytes of a key
    uint64_t done = 0;

    void fault(const std::string& what) {
        c->faults++;
        if (c->fault) c->fault(c->context, what.c_str());
    }
    void step() {
        if (c->progress) c->progress(c->context, ++done);
    }
    // The key of the record read last, blank-padded: the entry itself, not a
    // prefix. False when it cannot be made (`beyond` when the expression is past
    // what the engine computes).
    bool record_key(uint32_t n, uint8_t* key) {
        memset(key, 0, kIndexKeyBuffer + 27);
        XDSTATUS k = IndexKeyFromRecord(a, data, key);
        if (k == XD_BADKEYEXPR) c->beyond = true;
        if (k < 0) {
            if (!c->beyond) fault("the key of record " + std::to_string(n) + " cannot be made (status " + std::to_string(k) + ")");
            xdb_set_status(XD_OK);
            return false;
        }
        if (a->key_type == 'C') {
            const size_t have = strnlen((const char*)key, length);
            memset(key + have, ' ', length - have);
        }
        return true;
    }
};

}  // namespace

XDSTATUS IndexCheckAgainstTable(IndexAccess* a, int16_t data_handle, bool unique, IndexTableCheck* check) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!a || !check) return xdb_report(XD_NULLPARAM);
    uint32_t count = 0;
    if ((s = dbf_record_count(data_handle, &count)) < 0) return s;
    check->entries = check->faults = 0;
    check->records = count;
    check->beyond = false;
    Run run{a, data_handle, check, a->key_type == 'C' ? a->key_length - 1 : a->key_length};
    uint8_t key[kIndexKeyBuffer + 27] = {0}, want[kIndexKeyBuffer + 27];
    // First the records in file order (read ahead, not at random): whether the
    // condition takes each in, and a hash of its key, for tables small enough to
    // keep 9 bytes a record.
    const bool hashed = count <= kHashedRecords;
    std::vector<uint64_t> hashes(hashed ? (size_t)count + 1 : 0, 0);
    std::vector<uint8_t> taken_in(hashed ? (size_t)count + 1 : 0, 0);
    for (uint32_t n = 1; hashed && n <= count && !check->beyond; n++) {
        xdb_set_status(XD_OK);
        const XDSTATUS read = dbf_read_ahead(data_handle, n);
        if (read < 0) return read;
        bool included = true;
        if ((s = IndexRecordIncluded(a, data_handle, &included)) < 0) return s;
        if (!included) continue;
        if (!run.record_key(n, want)) continue;  // told, or beyond the engine
        taken_in[n] = 1;
        hashes[n] = key_hash(want, run.length);
    }
    // Entries to records.
    std::vector<uint8_t> named((size_t)count + 1, 0);
    uint32_t recno = 0;
    xdb_set_status(XD_OK);
    XDSTATUS w = IndexFirst(a, key, &recno);
    for (; w == XD_OK && !check->beyond; w = IndexNext(a, key, &recno)) {
        check->entries++;
        run.step();
        if (recno < 1 || recno > count) {
            run.fault("an entry names record " + std::to_string(recno) + ", which the table does not hold");
            continue;
        }
        if (named[recno]++) {
            run.fault("record " + std::to_string(recno) + " is named by two entries");
            continue;
        }
        // The same bytes are the same key; other bytes may still compare equal
        // (the national order): those, and large tables, read the record.
        if (hashed && taken_in[recno] && hashes[recno] == key_hash(key, run.length)) continue;
        xdb_set_status(XD_OK);
        if ((s = dbf_read_record(data_handle, recno)) < 0) return s;
        bool included = true;
        if ((s = IndexRecordIncluded(a, data_handle, &included)) < 0) return s;
        if (!included) run.fault("record " + std::to_string(recno) + " has an entry, but the condition leaves it out");
        else if (run.record_key(recno, want) && IndexCompareKeys(a, key, want, run.length) != 0)
            run.fault("the entry of record " + std::to_string(recno) + " does not hold the record's key");
    }
    if (w < 0 && w != XD_EMPTYFILE) return w;
    xdb_set_status(XD_OK);
    // Records to entries. A unique index holds one record of each key, and its
    // writers (this engine's and the others') let a key go with the entry of the
    // record that held it, though other records have it too, until the index is
    // built again: its records are not held to have entries.
    for (uint32_t n = 1; n <= count && !check->beyond && !unique; n++) {
        run.step();
        if (named[n]) continue;
        if (hashed && !taken_in[n]) continue;  // left out by the condition, or its key told already
        xdb_set_status(XD_OK);
        const XDSTATUS read = dbf_read_ahead(data_handle, n);
        if (read < 0) return read;
        if (read == XD_DELETEDREC) continue;
        bool included = true;
        if ((s = IndexRecordIncluded(a, data_handle, &included)) < 0) return s;
        if (!included || !run.record_key(n, key)) continue;
        run.fault("the key of record " + std::to_string(n) + " is not in the index");
    }
    xdb_set_status(XD_OK);
    return XD_OK;
}
