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

// A hash of the key's bytes, eight at a time (a multiply and a shift mix each).
uint64_t key_hash(const uint8_t* key, uint32_t length) {
    uint64_t h = 1469598103934665603ull ^ length;
    uint32_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        memcpy(&w, key + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    memcpy(&tail, key + i, length - i);
    h = (h ^ tail) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
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
    check->entries = check->faults = check->repeated_keys = 0;
    check->records = count;
    check->beyond = false;
    Run run{a, data_handle, check, a->key_type == 'C' ? a->key_length - 1 : a->key_length};
    uint8_t key[kIndexKeyBuffer + 27] = {0}, want[kIndexKeyBuffer + 27];
    // First the records in file order (read ahead, not at random): whether the
    // condition takes each in, and a hash of its key (0: not taken in), for tables
    // small enough to keep 9 bytes a record.
    const bool hashed = count <= kHashedRecords;
    std::vector<uint64_t> hashes(hashed ? (size_t)count + 1 : 0, 0);
    for (uint32_t n = 1; hashed && n <= count && !check->beyond; n++) {
        xdb_set_status(XD_OK);
        const XDSTATUS read = dbf_read_ahead(data_handle, n);
        if (read < 0) return read;
        bool included = true;
        if ((s = IndexRecordIncluded(a, data_handle, &included)) < 0) return s;
        if (!included) continue;
        if (!run.record_key(n, want)) continue;  // told, or beyond the engine
        hashes[n] = key_hash(want, run.length) | 1;  // never 0: taken in
    }
    // Entries to records, handed out by the structural check's walk of the tree
    // (each page read once).
    struct Entries {
        Run* run;
        IndexAccess* a;
        int16_t data;
        uint32_t count;
        bool hashed;
        const std::vector<uint64_t>* hashes;
        std::vector<uint8_t> named;
        bool unique;
        std::vector<uint8_t> last_key;  // a unique index's previous key
        XDSTATUS failure = XD_OK;  // the table could not be read: the rest is not looked at
        static void entry(void* context, const uint8_t* bytes, uint32_t recno) {
            Entries* e = (Entries*)context;
            Run& run = *e->run;
            if (e->failure < 0 || run.c->beyond) return;
            run.c->entries++;
            run.step();
            if (e->unique) {
                if (!e->last_key.empty() && IndexCompareKeys(e->a, e->last_key.data(), bytes, run.length) == 0)
                    run.c->repeated_keys++;
                e->last_key.assign(bytes, bytes + run.length);
            }
            if (recno < 1 || recno > e->count) {
                run.fault("an entry names record " + std::to_string(recno) + ", which the table does not hold");
                return;
            }
            if (e->named[recno]++) {
                run.fault("record " + std::to_string(recno) + " is named by two entries");
                return;
            }
            uint8_t key[kIndexKeyBuffer + 27] = {0}, want[kIndexKeyBuffer + 27];
            memcpy(key, bytes, run.length);
            // The same bytes are the same key; other bytes may still compare equal
            // (the national order): those, and large tables, read the record.
            if (e->hashed && (*e->hashes)[recno] == (key_hash(key, run.length) | 1)) return;
            xdb_set_status(XD_OK);
            XDSTATUS s = dbf_read_record(e->data, recno);
            bool included = true;
            if (s >= 0) s = IndexRecordIncluded(e->a, e->data, &included);
            if (s < 0) {
                e->failure = s;
                return;
            }
            if (!included) run.fault("record " + std::to_string(recno) + " has an entry, but the condition leaves it out");
            else if (run.record_key(recno, want) && IndexCompareKeys(e->a, key, want, run.length) != 0)
                run.fault("the entry of record " + std::to_string(recno) + " does not hold the record's key");
        }
    } walk{&run, a, data_handle, count, hashed, &hashes, std::vector<uint8_t>((size_t)count + 1, 0), unique, {}};
    uint32_t entries = 0;
    check->structure[0] = 0;
    xdb_set_status(XD_OK);
    s = IndexCheckEntries(a->type, IndexTreeHandle(a), &entries, check->structure, sizeof check->structure, Entries::entry,
                          &walk);
    if (s < 0) return s;
    if (walk.failure < 0) return walk.failure;
    std::vector<uint8_t>& named = walk.named;
    xdb_set_status(XD_OK);
    // Records to entries. A unique index holds one record of each key, and its
    // writers (this engine's and the others') let a key go with the entry of the
    // record that held it, though other records have it too, until the index is
    // built again: its records are not held to have entries.
    for (uint32_t n = 1; n <= count && !check->beyond && !unique; n++) {
        run.step();
        if (named[n]) continue;
        if (hashed && !hashes[n]) continue;  // left out by the condition, or its key told already
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
