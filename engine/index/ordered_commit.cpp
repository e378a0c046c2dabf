// The ordered commit of index changes (see ordered_commit.h).

#include "engine/index/ordered_commit.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "engine/core/engine.h"

ChangedBlock* BlockChanges::find(uint32_t number) {
    auto at = where.find(number);
    return at == where.end() ? nullptr : &blocks[at->second];
}

void BlockChanges::put(uint32_t number, const uint8_t* bytes, size_t size) {
    ChangedBlock* b = find(number);
    if (!b) {
        where[number] = blocks.size();
        blocks.push_back(ChangedBlock{number, is_fresh(number), {}});
        b = &blocks.back();
    }
    b->bytes.assign(bytes, bytes + size);
}

namespace {

XDSTATUS write_headers(const std::vector<FileWrite>& words, const TreeShape& t) {
    for (const FileWrite& w : words) {
        if (!t.write_bytes) return xdb_report(XD_CORRUPT);
        XDSTATUS s = t.write_bytes(t.context, w);
        if (s) return s;
    }
    return XD_OK;
}

// The blocks a change freed, once no tree uses them: their order is free. Many of
// them (a tag or tree dropped whole) go sorted, each run of blocks that lie one
// after another in the file in one write, and the handle's cache forgets what it
// held (they would have been put in it one by one, for nothing).
XDSTATUS write_freed(std::vector<const ChangedBlock*>& freed, const TreeShape& t) {
    XDSTATUS s;
    bool whole = freed.size() >= 16 && t.offset_of && t.write_bytes && t.forget_cached && t.block_size;
    for (size_t i = 0; whole && i < freed.size(); i++) whole = freed[i]->bytes.size() == t.block_size;
    if (!whole) {
        for (const ChangedBlock* b : freed)
            if ((s = t.write_block(t.context, b->number, b->bytes.data()))) return s;
        return XD_OK;
    }
    std::sort(freed.begin(), freed.end(), [&](const ChangedBlock* a, const ChangedBlock* b) {
        return t.offset_of(t.context, a->number) < t.offset_of(t.context, b->number);
    });
    t.forget_cached(t.context);
    FileWrite run{0, {}};
    const size_t most = (size_t)1 << 20;
    for (size_t i = 0; i <= freed.size(); i++) {
        const uint32_t at = i < freed.size() ? t.offset_of(t.context, freed[i]->number) : 0;
        const bool joins = i < freed.size() && !run.bytes.empty() && at == run.offset + run.bytes.size() &&
                           run.bytes.size() < most;
        if (!joins && !run.bytes.empty()) {
            if ((s = t.write_bytes(t.context, run))) return s;
            run.bytes.clear();
        }
        if (i == freed.size()) break;
        if (run.bytes.empty()) run.offset = at;
        run.bytes.insert(run.bytes.end(), freed[i]->bytes.begin(), freed[i]->bytes.begin() + t.block_size);
    }
    return XD_OK;
}

// Writes every block directly: a change whose one used block is its switch. New
// blocks go first (no tree uses them yet), then the switch, then the blocks it
// freed (no tree uses them any more).
XDSTATUS write_directly(BlockChanges& c, const TreeShape& t) {
    XDSTATUS s = write_headers(c.before_switch, t);
    if (s) return s;
    auto kind = [&](const ChangedBlock& b) {
        if (c.is_freed(b.number) || (t.is_freed && t.is_freed(t.context, b.bytes.data()))) return 2;
        return b.fresh ? 0 : 1;
    };
    for (int pass = 0; pass < 2; pass++)
        for (auto it = c.blocks.rbegin(); it != c.blocks.rend(); ++it)
            if (kind(*it) == pass && (s = t.write_block(t.context, it->number, it->bytes.data()))) return s;
    std::vector<const ChangedBlock*> freed;
    for (auto it = c.blocks.rbegin(); it != c.blocks.rend(); ++it)
        if (kind(*it) == 2) freed.push_back(&*it);
    if ((s = write_freed(freed, t))) return s;
    if (c.root_changed && (s = t.write_root(t.context, c.new_root))) return s;
    return write_headers(c.after_switch, t);
}

// The whole change as writes of final bytes, in the order a direct write takes:
// allocations, the blocks, the root word, releases.
XDSTATUS write_through_journal(BlockChanges& c, const TreeShape& t) {
    std::vector<FileWrite> writes = c.before_switch;
    for (auto it = c.blocks.rbegin(); it != c.blocks.rend(); ++it)
        writes.push_back(FileWrite{t.offset_of(t.context, it->number), it->bytes});
    if (c.root_changed) writes.push_back(t.root_bytes(t.context, c.new_root));
    writes.insert(writes.end(), c.after_switch.begin(), c.after_switch.end());
    XDSTATUS s = index_journal_write(t.file, t.journal_for, writes, t.kept_journal, t.journal_shared);
    if (s == XD_OK && t.keep_written) {
        for (const ChangedBlock& b : c.blocks) t.keep_written(t.context, b.number, b.bytes.data());
    } else if (t.forget_cached) {
        t.forget_cached(t.context);
    }
    return s;
}

// A change no one write switches: through the journal, or refused.
XDSTATUS unswitchable(BlockChanges& c, const TreeShape& t, size_t tops) {
    if (t.journal_for && t.offset_of && t.root_bytes) return write_through_journal(c, t);
    if (t.sibling_links)
        xdb_fault(XD_CORRUPT, false, "a change of %u blocks joined by sibling links needs a journal", (unsigned)tops);
    else
        xdb_fault(XD_CORRUPT, false, "a change of %u separate subtrees cannot be written in a safe order", (unsigned)tops);
    return xdb_report(XD_CORRUPT);
}

}  // namespace

XDSTATUS commit_block_changes(BlockChanges& c, const TreeShape& t) {
    c.active = false;
    XDSTATUS s;
    std::vector<ChangedBlock*> used, fresh, freed;  // used: blocks the old tree uses
    for (ChangedBlock& b : c.blocks) {
        if (c.is_freed(b.number) || (t.is_freed && t.is_freed(t.context, b.bytes.data()))) freed.push_back(&b);
        else if (b.fresh) fresh.push_back(&b);
        else used.push_back(&b);
    }
    if (!c.root_changed && fresh.empty() && freed.empty() && used.size() <= 1) return write_directly(c, t);
    // Neighbours point to the blocks: only a change whose one used block is its
    // switch (new blocks written first, pointing to it) is written without a
    // journal.
    // A block the change freed and took again holds the old tree's page until the
    // switch and the new tree's after it: no one order of writes serves both.
    bool reused = false;
    for (uint32_t n : c.fresh) reused = reused || c.is_freed(n);
    if (t.sibling_links || reused) {
        if (c.root_changed || used.size() > 1 || reused)
            return unswitchable(c, t, used.size());
        return write_directly(c, t);
    }

    // The topmost changed block: the one no other changed block points to.
    std::set<uint32_t> pointed;
    for (ChangedBlock* b : used)
        for (uint32_t child : t.children(t.context, b->bytes.data())) pointed.insert(child);
    for (ChangedBlock* b : fresh)
        for (uint32_t child : t.children(t.context, b->bytes.data())) pointed.insert(child);
    ChangedBlock* top = nullptr;
    if (!c.root_changed) {
        size_t tops = 0;
        for (ChangedBlock* b : used)
            if (!pointed.count(b->number)) top = b, tops++;
        // Blocks in separate subtrees (an ancestor between them left out of the
        // change) cannot be switched by one write.
        if (tops != 1) return unswitchable(c, t, tops);
    }
    if ((s = write_headers(c.before_switch, t))) return s;

    // 1. Copies of the used blocks (but the top), then the new blocks, pointing to
    //    the copies.
    std::map<uint32_t, uint32_t> copy_of;
    for (ChangedBlock* b : used) {
        if (b == top) continue;
        uint32_t n;
        if ((s = t.append_block(t.context, &n))) return s;
        copy_of[b->number] = n;
    }
    auto mapped = [&](const ChangedBlock* b) {
        std::vector<uint8_t> m = b->bytes;
        std::vector<uint32_t> kids = t.children(t.context, m.data());
        for (size_t i = 0; i < kids.size(); i++) {
            auto it = copy_of.find(kids[i]);
            if (it != copy_of.end()) t.set_child(t.context, m.data(), i, it->second);
        }
        return m;
    };
    for (ChangedBlock* b : used)
        if (b != top && (s = t.write_block(t.context, copy_of[b->number], mapped(b).data()))) return s;
    for (ChangedBlock* b : fresh)
        if ((s = t.write_block(t.context, b->number, mapped(b).data()))) return s;

    // 2. The switch.
    uint32_t root_copy = 0;
    if (c.root_changed) {
        auto it = copy_of.find(c.new_root);
        root_copy = it != copy_of.end() ? it->second : c.new_root;
        if ((s = t.write_root(t.context, root_copy))) return s;
    } else if ((s = t.write_block(t.context, top->number, mapped(top).data()))) {
        return s;
    }

    // 3. Final contents where nothing points any more.
    for (ChangedBlock* b : used)
        if (b != top && (s = t.write_block(t.context, b->number, b->bytes.data()))) return s;
    for (ChangedBlock* b : freed)
        if ((s = t.write_block(t.context, b->number, b->bytes.data()))) return s;

    // 4. From the copies back to the final blocks.
    if (!copy_of.empty()) {
        for (ChangedBlock* b : fresh)
            if (mapped(b) != b->bytes && (s = t.write_block(t.context, b->number, b->bytes.data()))) return s;
        if (top && mapped(top) != top->bytes && (s = t.write_block(t.context, top->number, top->bytes.data())))
            return s;
        if (c.root_changed && root_copy != c.new_root && (s = t.write_root(t.context, c.new_root))) return s;
        // 5. The copies go.
        if ((s = t.drop_last_blocks(t.context, (uint32_t)copy_of.size()))) return s;
    }
    return write_headers(c.after_switch, t);
}
