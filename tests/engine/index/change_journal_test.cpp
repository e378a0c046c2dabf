// Changes written through the journal: a change of blocks joined by sibling links
// (which no one write switches) leaves, after a kill or a failure at any of its
// writes and the next open's recovery, the file exactly as it was or exactly as
// the change makes it; an index's open finishes what a stop left; a journal
// another program holds is left alone.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/core/engine.h"
#include "engine/index/change_journal.h"
#include "engine/index/ntx/ntx.h"
#include "engine/index/ordered_commit.h"
#include "tests/support/stop_points.h"
#include "tests/support/dbf_builder.h"

namespace {

// Blocks of 16 bytes at number × 16: a key byte, then left and right sibling words.
const uint32_t kBlock = 16;

std::vector<uint8_t> block(uint8_t key, uint8_t left, uint8_t right) {
    std::vector<uint8_t> b(kBlock, 0);
    b[0] = key;
    b[4] = left;
    b[8] = right;
    return b;
}

std::string read_all(const std::string& name) { return file_bytes(name); }

void write_all(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(name, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
}

struct LinkedFile {
    uint16_t sh = 0;
    std::string name;
    TreeShape shape() {
        TreeShape t{};
        t.context = this;
        t.children = [](void*, const uint8_t*) { return std::vector<uint32_t>(); };
        t.set_child = [](void*, uint8_t*, size_t, uint32_t) {};
        t.write_block = [](void* c, uint32_t n, const uint8_t* bytes) {
            return xdb_fwrite_at(((LinkedFile*)c)->sh, n * kBlock, bytes, kBlock, 1);
        };
        t.write_root = [](void* c, uint32_t r) {
            uint8_t w[4] = {(uint8_t)r, 0, 0, 0};
            return xdb_fwrite_at(((LinkedFile*)c)->sh, 0, w, 4, 1);
        };
        t.write_bytes = [](void* c, const FileWrite& w) {
            return xdb_fwrite_at(((LinkedFile*)c)->sh, w.offset, w.bytes.data(), (uint32_t)w.bytes.size(), 1);
        };
        t.sibling_links = true;
        t.journal_for = name.c_str();
        t.file = sh;
        t.block_size = kBlock;
        t.offset_of = [](void*, uint32_t n) { return n * kBlock; };
        t.root_bytes = [](void*, uint32_t r) { return FileWrite{0, {(uint8_t)r, 0, 0, 0}}; };
        return t;
    }
};

// Block 0 the header (root word, free word at 8); leaves 1, 2, 3 linked 1 <-> 2 <-> 3.
std::vector<uint8_t> old_file() {
    std::vector<uint8_t> f = block(1, 0, 0);
    for (const auto& b : {block(10, 0, 2), block(20, 1, 3), block(30, 2, 0)}) f.insert(f.end(), b.begin(), b.end());
    return f;
}

// The change: leaf 2 splits into 2 and a new leaf 4 between 2 and 3; the free
// word moves after.
BlockChanges the_change() {
    BlockChanges c;
    c.begin();
    c.fresh.insert(4);
    for (auto& [n, b] : std::vector<std::pair<uint32_t, std::vector<uint8_t>>>{
             {2, block(20, 1, 4)}, {4, block(25, 2, 3)}, {3, block(30, 4, 0)}})
        c.put(n, b.data(), kBlock);
    c.after_switch.push_back(FileWrite{8, {7, 0, 0, 0}});
    return c;
}

std::string old_text() {
    std::vector<uint8_t> f = old_file();
    return std::string(f.begin(), f.end());
}

std::string new_file() {
    std::vector<uint8_t> f = old_file();
    f.resize(5 * kBlock);
    BlockChanges c = the_change();
    for (const ChangedBlock& b : c.blocks) std::copy(b.bytes.begin(), b.bytes.end(), f.begin() + b.number * kBlock);
    f[8] = 7;
    return std::string(f.begin(), f.end());
}

class ChangeJournalTest : public StopPointsTest {
protected:
    std::string index() { return work() + "/linked.idx"; }
    void commit() {
        LinkedFile f;
        f.name = index();
        uint16_t mode = 0;
        if (xdb_fopen(&f.sh, f.name.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode)) return;
        xdb_fset_size(f.sh, 5 * kBlock);  // the new block, as a format's allocation makes it
        BlockChanges c = the_change();
        commit_block_changes(c, f.shape());
        xdb_fclose(f.sh);
    }
};

TEST_F(ChangeJournalTest, ASiblingLinkedChangeIsWholeOldOrWholeNewAtEveryStop) {
    std::filesystem::create_directories(work());
    write_all(index(), old_file());
    save_pristine();
    const std::string before = read_all(index()), after = new_file();
    // Without a stop: the new file, no journal left.
    commit();
    ASSERT_EQ(read_all(index()), after);
    EXPECT_FALSE(std::filesystem::exists(index_journal_name(index().c_str())));
    Tally tally;
    int olds = 0, news = 0, finished = 0;
    at_every_stop([&] { commit(); },
                  [&](const std::string& where) {
                      const bool left = std::filesystem::exists(index_journal_name(index().c_str()));
                      ASSERT_EQ(index_journal_recover(index().c_str(), 0), XD_OK) << where;
                      std::string now = read_all(index());
                      // The new block's place may stay allocated: the old file is its
                      // first 64 bytes then.
                      if (now.size() > before.size() && now.compare(0, before.size(), before) == 0 &&
                          now.find_first_not_of('\0', before.size()) == std::string::npos)
                          now.resize(before.size());
                      EXPECT_TRUE(now == before || now == after) << where;
                      olds += now == before;
                      news += now == after;
                      finished += left && now == after;
                      EXPECT_FALSE(std::filesystem::exists(index_journal_name(index().c_str()))) << where;
                  },
                  &tally);
    EXPECT_GT(olds, 0);
    EXPECT_GT(news, 0);
    EXPECT_GT(finished, 0);  // stops after the journal was whole: the recovery finished the change
}

TEST_F(ChangeJournalTest, AJournalHeldByAnotherProgramIsLeftAlone) {
    std::filesystem::create_directories(work());
    write_all(index(), old_file());
    const std::string journal = index_journal_name(index().c_str());
    // A journal of a change in progress: its first byte locked by its writer.
    uint16_t held = 0;
    ASSERT_EQ(xdb_fcreate(&held, journal.c_str()), XD_OK);
    ASSERT_EQ(xdb_flock(held, 0, 0, 1), XD_OK);
    EXPECT_EQ(index_journal_recover(index().c_str(), 0), XD_LOCKVIOLATION);
    EXPECT_EQ(read_all(index()), old_text());
    EXPECT_TRUE(std::filesystem::exists(journal));
    // A change meeting it is refused before its first write.
    LinkedFile f;
    f.name = index();
    uint16_t mode = 0;
    ASSERT_EQ(xdb_fopen(&f.sh, f.name.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode), XD_OK);
    xdb_set_status(XD_OK);
    BlockChanges c = the_change();
    EXPECT_EQ(commit_block_changes(c, f.shape()), XD_LOCKVIOLATION);
    EXPECT_EQ(read_all(index()), old_text());
    xdb_flock(held, 1, 0, 1);
    xdb_fclose(held);
    xdb_fclose(f.sh);
    // Let go, cut short (empty): dropped by the next recovery, the file untouched.
    xdb_set_status(XD_OK);
    EXPECT_EQ(index_journal_recover(index().c_str(), 0), XD_OK);
    EXPECT_FALSE(std::filesystem::exists(journal));
    EXPECT_EQ(read_all(index()), old_text());
}

TEST_F(ChangeJournalTest, AnIndexOpenFinishesTheChangeAStopLeftInTheJournal) {
    std::filesystem::create_directories(work());
    const std::string name = work() + "/people.ntx";
    ASSERT_EQ(ntx_create(name.c_str(), 'C', "NAME", 10, 0), XD_OK);
    const std::string before = read_all(name);
    // A change whose first write to the index fails: the journal is whole, the
    // index untouched (the failure found by failing one write after another).
    const std::vector<FileWrite> change{FileWrite{2, {9, 0}}};
    bool left = false;
    for (uint32_t n = 1; n < 12 && !left; n++) {
        std::filesystem::remove(index_journal_name(name.c_str()));
        write_all(name, std::vector<uint8_t>(before.begin(), before.end()));
        uint16_t sh = 0, mode = 0;
        ASSERT_EQ(xdb_fopen(&sh, name.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode), XD_OK);
        osl_fault_arm(n, OSL_FAULT_FAIL);
        XDSTATUS s = index_journal_write(sh, name.c_str(), change);
        osl_fault_arm(0, 0);
        xdb_fclose(sh);
        xdb_set_status(XD_OK);
        left = s != XD_OK && read_all(name) == before && std::filesystem::exists(index_journal_name(name.c_str()));
    }
    ASSERT_TRUE(left);
    int16_t h = -1;
    ASSERT_EQ(ntx_open(&h, name.c_str(), 0), XD_OK);
    ntx_close(h);
    EXPECT_FALSE(std::filesystem::exists(index_journal_name(name.c_str())));
    std::string after = before;
    after[2] = 9;
    after[3] = 0;
    EXPECT_EQ(read_all(name), after);
}

// A handle sharing the index keeps its journal open between changes, unlocked:
// another program's change goes through the same file, and one that program left
// whole (it stopped) is written to the index before the keeper's next change.
TEST_F(ChangeJournalTest, AJournalKeptBySharingHandleServesOtherProgramsAndFinishesWhatTheyLeft) {
    std::filesystem::create_directories(work());
    const std::string name = work() + "/shared.ntx";
    ASSERT_EQ(ntx_create(name.c_str(), 'C', "NAME", 10, 0), XD_OK);
    const std::string journal = index_journal_name(name.c_str());
    std::string expected = read_all(name);
    uint16_t keeper = 0, kept = 0, mode = 0;
    ASSERT_EQ(xdb_fopen(&keeper, name.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode), XD_OK);
    ASSERT_EQ(index_journal_write(keeper, name.c_str(), {FileWrite{2, {1, 0}}}, &kept, true), XD_OK);
    ASSERT_NE(kept, 0);
    expected[2] = 1;
    expected[3] = 0;
    EXPECT_EQ(read_all(name), expected);
    EXPECT_TRUE(std::filesystem::exists(journal));
    // Let go between changes: another program takes its lock; it reads as empty.
    uint16_t other = 0;
    ASSERT_EQ(xdb_fopen(&other, journal.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode), XD_OK);
    EXPECT_EQ(xdb_flock(other, 0, 0, 1), XD_OK);
    xdb_flock(other, 1, 0, 1);
    xdb_fclose(other);
    EXPECT_EQ(index_journal_recover(name.c_str(), keeper, kept), XD_OK);
    EXPECT_EQ(read_all(name), expected);

    // Another program's change that stops after its journal is whole: its first
    // write to the index failing (found by failing one write after another).
    bool left = false;
    for (uint32_t n = 1; n < 16 && !left; n++) {
        uint16_t sh = 0;
        ASSERT_EQ(xdb_fopen(&sh, name.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode), XD_OK);
        osl_fault_arm(n, OSL_FAULT_FAIL);
        XDSTATUS s = index_journal_write(sh, name.c_str(), {FileWrite{4, {2, 0}}});
        osl_fault_arm(0, 0);
        xdb_fclose(sh);
        xdb_set_status(XD_OK);
        left = s != XD_OK && read_all(name) == expected && read_all(journal).rfind("QXDBJNL1", 0) == 0;
        if (s == XD_OK) {  // went through whole: undone for the next attempt
            uint16_t undo = 0;
            ASSERT_EQ(xdb_fopen(&undo, name.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &mode), XD_OK);
            ASSERT_EQ(xdb_fwrite_at(undo, 4, &expected[4], 2, 1), XD_OK);
            xdb_fclose(undo);
        }
    }
    ASSERT_TRUE(left);
    EXPECT_TRUE(std::filesystem::exists(journal));
    // The keeper's next change writes what was left first, then its own.
    ASSERT_EQ(index_journal_write(keeper, name.c_str(), {FileWrite{6, {3, 0}}}, &kept, true), XD_OK);
    expected[4] = 2;
    expected[5] = 0;
    expected[6] = 3;
    expected[7] = 0;
    EXPECT_EQ(read_all(name), expected);
    // Closing removes it.
    index_journal_release(name.c_str(), &kept);
    xdb_fclose(keeper);
    EXPECT_FALSE(std::filesystem::exists(journal));
}

}  // namespace
