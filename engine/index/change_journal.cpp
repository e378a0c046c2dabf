// The journal of index changes no one write can switch (see change_journal.h).

#include "engine/index/change_journal.h"

#include <cstring>
#include <memory>

#include "engine/core/engine.h"
#include "engine/core/os.h"

namespace {

const char kMagic[8] = {'Q', 'X', 'D', 'B', 'J', 'N', 'L', '1'};
const uint32_t kHead = 20;

uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back((uint8_t)(v >> (8 * i)));
}

uint32_t checksum(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 16777619u;
    return h;
}

std::vector<uint8_t> encode(const std::vector<FileWrite>& writes) {
    std::vector<uint8_t> out(kMagic, kMagic + 8);
    out.resize(kHead);
    for (const FileWrite& w : writes) {
        put32(out, w.offset);
        put32(out, (uint32_t)w.bytes.size());
        out.insert(out.end(), w.bytes.begin(), w.bytes.end());
    }
    const uint32_t body = (uint32_t)(out.size() - kHead), sum = checksum(out.data() + kHead, body);
    for (int i = 0; i < 4; i++) {
        out[8 + i] = (uint8_t)(writes.size() >> (8 * i));
        out[12 + i] = (uint8_t)(body >> (8 * i));
        out[16 + i] = (uint8_t)(sum >> (8 * i));
    }
    return out;
}

// The writes of a whole journal read through `jh`; false when it is not whole.
bool decode(uint16_t jh, std::vector<FileWrite>* writes) {
    uint32_t size = 0;
    if (xdb_fsize(jh, &size) || size < kHead) return false;
    std::vector<uint8_t> bytes(size);
    uint32_t got = 0;
    if (xdb_fread_some_at(jh, 0, bytes.data(), size, &got) || got != size) return false;
    if (memcmp(bytes.data(), kMagic, 8) != 0) return false;
    const uint32_t count = get32(&bytes[8]), body = get32(&bytes[12]);
    if (body != size - kHead || get32(&bytes[16]) != checksum(bytes.data() + kHead, body)) return false;
    size_t at = kHead;
    for (uint32_t i = 0; i < count; i++) {
        if (size - at < 8) return false;
        const uint32_t offset = get32(&bytes[at]), length = get32(&bytes[at + 4]);
        at += 8;
        if (size - at < length) return false;
        writes->push_back(FileWrite{offset, std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + length)});
        at += length;
    }
    return at == size;
}

XDSTATUS apply_writes(uint16_t sh, const std::vector<FileWrite>& writes) {
    for (const FileWrite& w : writes) {
        XDSTATUS s = xdb_fwrite_at(sh, w.offset, w.bytes.data(), (uint32_t)w.bytes.size(), 1);
        if (s) return s;
    }
    return XD_OK;
}

// The journal open and locked: XD_OK with *jh; XD_NOFILE when there is none.
XDSTATUS hold(const std::string& name, bool create, uint16_t* jh) {
    XDSTATUS s;
    if (xdb_fexists(name.c_str())) {
        uint16_t mode = 0;
        s = xdb_fopen(jh, name.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode);
        if (s == XD_OK && (mode & XDB_FILE_READONLY)) {
            xdb_fclose(*jh);
            s = XD_OPENERR;
        }
    } else if (create) {
        s = xdb_fcreate(jh, name.c_str());
    } else {
        return XD_NOFILE;
    }
    if (s) {
        xdb_set_status(XD_OK);
        // Gone meanwhile: another program finished with it.
        return !create && !xdb_fexists(name.c_str()) ? XD_NOFILE : xdb_report(XD_OPENERR);
    }
    if (xdb_flock(*jh, 0, 0, 1)) {
        xdb_fclose(*jh);
        xdb_set_status(XD_OK);
        xdb_fault(XD_LOCKVIOLATION, false, "another program is writing a change of this index (%s)", name.c_str());
        return xdb_report(XD_LOCKVIOLATION);
    }
    return XD_OK;
}

// Done with the journal: made unreadable, let go and removed. The index writes
// are in: a failure here leaves at worst a journal of bytes already written.
void drop(const std::string& name, uint16_t jh) {
    static const uint8_t zero[8] = {0};
    xdb_fwrite_at(jh, 0, zero, 8, 1);
    xdb_flock(jh, 1, 0, 1);
    xdb_fclose_discarded(jh);
    xdb_fdelete(name.c_str());
    xdb_set_status(XD_OK);
}

// A whole journal held as `jh` written to the index through `sh`; one cut short
// dropped. The journal stays (with the status) when its writes fail.
XDSTATUS finish_left(const std::string& name, uint16_t jh, uint16_t sh) {
    std::vector<FileWrite> left;
    if (decode(jh, &left)) {
        XDSTATUS s = apply_writes(sh, left);
        if (s) {
            xdb_flock(jh, 1, 0, 1);
            xdb_fclose(jh);
            return s;
        }
    }
    xdb_set_status(XD_OK);
    drop(name, jh);
    return XD_OK;
}

// A change another program left whole in a journal this handle keeps open (it
// stopped before its end), written to the index and made unreadable.
XDSTATUS finish_left_kept(uint16_t jh, uint16_t sh) {
    uint8_t magic[8] = {0};
    uint32_t got = 0;
    if (xdb_fread_some_at(jh, 0, magic, 8, &got) || got != 8 || memcmp(magic, kMagic, 8) != 0) {
        xdb_set_status(XD_OK);
        return XD_OK;
    }
    std::vector<FileWrite> left;
    if (decode(jh, &left)) {
        if (XDSTATUS s = apply_writes(sh, left)) return s;
    }
    static const uint8_t zero[8] = {0};
    xdb_set_status(XD_OK);
    return xdb_fwrite_at(jh, 0, zero, 8, 1);
}

// A kept journal that other programs share, taken again for a change: its lock,
// then what another program left in it. XD_LOCKVIOLATION while another program's
// change is under way.
XDSTATUS take_kept(const std::string& name, uint16_t jh, uint16_t sh) {
    // Another program opening the index looks into the journal under its lock for
    // a moment (a stop's change to finish): that look is waited out. A change of
    // its own would be under the index's update lock, which this writer holds.
    bool taken = false;
    for (int attempt = 0; attempt < 20000 && !taken; attempt++) {
        taken = xdb_flock(jh, 0, 0, 1) == XD_OK;
        if (!taken) xdb_set_status(XD_OK);
    }
    if (!taken) {
        xdb_set_status(XD_OK);
        xdb_fault(XD_LOCKVIOLATION, false, "another program is writing a change of this index (%s)", name.c_str());
        return xdb_report(XD_LOCKVIOLATION);
    }
    return finish_left_kept(jh, sh);
}

// The journals kept for handles held for a table's whole lock.
struct HeldJournal {
    std::string name;
    uint32_t lock;
    uint16_t handle;  // 0: none open
};
std::vector<std::unique_ptr<HeldJournal>> g_held;

// Whether this process keeps `name` open as a held journal: its own, whole only
// while one of its changes is being written.
bool held_here(const std::string& name) {
    for (const auto& h : g_held)
        if (h->handle && h->name == name) return true;
    return false;
}

}  // namespace

uint16_t* index_journal_held(const char* index_name, uint32_t lock) {
    const std::string name = index_journal_name(index_name);
    for (const auto& h : g_held)
        if (h->lock == lock && h->name == name) return &h->handle;
    g_held.push_back(std::unique_ptr<HeldJournal>(new HeldJournal{name, lock, 0}));
    return &g_held.back()->handle;
}

void index_journals_let_go(uint32_t lock) {
    for (size_t i = 0; i < g_held.size();) {
        if (g_held[i]->lock != lock) {
            i++;
            continue;
        }
        if (g_held[i]->handle) drop(g_held[i]->name, g_held[i]->handle);
        g_held.erase(g_held.begin() + (long)i);
    }
}

std::string index_journal_name(const char* index_name) { return std::string(index_name ? index_name : "") + ".QXJ"; }

XDSTATUS index_journal_write(uint16_t sh, const char* index_name, const std::vector<FileWrite>& writes, uint16_t* kept,
                             bool shared) {
    const std::string name = index_journal_name(index_name);
    uint16_t jh = kept ? *kept : 0;
    XDSTATUS s;
    if (jh && shared && (s = take_kept(name, jh, sh))) {
        if (s != XD_LOCKVIOLATION) {  // let go of: the next change starts afresh
            *kept = 0;
            xdb_flock(jh, 1, 0, 1);
            xdb_fclose(jh);
        }
        return s;
    }
    if (!jh) {
        if (xdb_fexists(name.c_str())) {  // a stop's journal goes in before this change
            if ((s = hold(name, false, &jh)) == XD_OK) s = finish_left(name, jh, sh);
            if (s && s != XD_NOFILE) return s;
        }
        if ((s = hold(name, true, &jh))) return s;
    }
    if (kept) *kept = 0;  // kept again below only when all went well
    const std::vector<uint8_t> journal = encode(writes);
    if ((s = xdb_fwrite_at(jh, 0, journal.data(), (uint32_t)journal.size(), 1)) == XD_OK) xdb_fset_size(jh, (uint32_t)journal.size());
    if (s) {  // not whole: nothing of the change has reached the index
        xdb_set_status(XD_OK);
        drop(name, jh);
        return xdb_report(s);
    }
    if ((s = apply_writes(sh, writes))) {
        xdb_flock(jh, 1, 0, 1);
        xdb_fclose(jh);
        return s;
    }
    if (!kept) {
        drop(name, jh);
        return XD_OK;
    }
    // Made unreadable and kept open for the handle's next change (locked still
    // when no other program shares the index).
    static const uint8_t zero[8] = {0};
    if (xdb_fwrite_at(jh, 0, zero, 8, 1) == XD_OK) {
        *kept = jh;
        if (shared) xdb_flock(jh, 1, 0, 1);
    } else {
        xdb_set_status(XD_OK);
        drop(name, jh);
    }
    return XD_OK;
}

void index_journal_release(const char* index_name, uint16_t* kept) {
    if (!*kept) return;
    drop(index_journal_name(index_name), *kept);
    *kept = 0;
}

XDSTATUS index_journal_recover(const char* index_name, uint16_t sh, uint16_t kept) {
    const std::string name = index_journal_name(index_name);
    if (kept && sh) return finish_left_kept(kept, sh);
    if (held_here(name) || !xdb_fexists(name.c_str())) return XD_OK;
    uint16_t jh = 0;
    XDSTATUS s = hold(name, false, &jh);
    if (s == XD_NOFILE) return XD_OK;
    if (s) return s;
    uint16_t own = 0, mode = 0;
    bool opened = false;
    if (!sh) {
        opened = xdb_fopen(&own, index_name, XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode) == XD_OK;
        if (!opened || (mode & XDB_FILE_READONLY)) {
            if (opened) xdb_fclose(own);
            xdb_flock(jh, 1, 0, 1);
            xdb_fclose(jh);
            xdb_set_status(XD_OK);
            return XD_OK;  // not writable here: left for a program that can
        }
        sh = own;
    }
    s = finish_left(name, jh, sh);
    if (opened) xdb_fclose(own);
    return s;
}
