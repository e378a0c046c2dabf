// The ordered commit over a tree of its own: a change whose blocks hang from one
// top is written through copies and ends whole, its header words around the
// switch; a change of two separate subtrees is refused before its first write (a
// format with a journal writes it through that: change_journal_test.cpp). (The
// formats' own changes always form one subtree: every model and stop-point test
// of NDX and NTX would fail on a refusal.)

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/core/engine.h"
#include "engine/index/ordered_commit.h"
#include "tests/support/engine_test.h"

namespace {

// Blocks of 8 bytes: two child numbers, one a word (0: none). Block 1 is the root
// over the leaves 2 and 3.
struct Tree {
    std::map<uint32_t, std::vector<uint8_t>> blocks;
    uint32_t root = 1, end = 4;
    int writes = 0;
    std::vector<std::string> log;  // what was written, in order
    static std::vector<uint8_t> node(uint8_t a, uint8_t b) { return {a, 0, 0, 0, b, 0, 0, 0}; }
    TreeShape shape() {
        TreeShape t{};
        t.context = this;
        t.children = [](void*, const uint8_t* b) {
            std::vector<uint32_t> out;
            for (int i = 0; i < 2; i++)
                if (b[i * 4]) out.push_back(b[i * 4]);
            return out;
        };
        t.set_child = [](void*, uint8_t* b, size_t i, uint32_t n) { b[i * 4] = (uint8_t)n; };
        t.write_block = [](void* c, uint32_t n, const uint8_t* bytes) {
            Tree* tree = (Tree*)c;
            tree->writes++;
            tree->log.push_back("block " + std::to_string(n));
            tree->blocks[n].assign(bytes, bytes + 8);
            return XDSTATUS(XD_OK);
        };
        t.write_root = [](void* c, uint32_t r) {
            ((Tree*)c)->root = r;
            ((Tree*)c)->writes++;
            return XDSTATUS(XD_OK);
        };
        t.write_bytes = [](void* c, const FileWrite& w) {
            ((Tree*)c)->log.push_back("header " + std::to_string(w.offset));
            return XDSTATUS(XD_OK);
        };
        t.append_block = [](void* c, uint32_t* n) {
            *n = ((Tree*)c)->end++;
            return XDSTATUS(XD_OK);
        };
        t.drop_last_blocks = [](void* c, uint32_t count) {
            ((Tree*)c)->end -= count;
            return XDSTATUS(XD_OK);
        };
        return t;
    }
};

class OrderedCommitTest : public EngineTest {};

TEST_F(OrderedCommitTest, TwoSeparateSubtreesAreRefusedBeforeTheirFirstWrite) {
    Tree tree;
    tree.blocks = {{1, Tree::node(2, 3)}, {2, Tree::node(0, 0)}, {3, Tree::node(0, 0)}};
    const auto before = tree.blocks;
    std::vector<uint8_t> one = Tree::node(2, 3), two = Tree::node(0, 0), three = Tree::node(0, 0);
    two[1] = 7;
    three[1] = 9;
    one[2] = 1;
    // The two leaves changed, their parent not: two tops.
    BlockChanges c;
    c.begin();
    c.put(2, two.data(), 8);
    c.put(3, three.data(), 8);
    xdb_set_status(XD_OK);
    EXPECT_EQ(commit_block_changes(c, tree.shape()), XD_CORRUPT);
    EXPECT_EQ(tree.writes, 0);
    EXPECT_EQ(tree.blocks, before);
    xdb_set_status(XD_OK);
    // With their parent in the change, one top: written, and whole at the end;
    // the allocating header word before every block, the releasing one after.
    c.begin();
    c.put(2, two.data(), 8);
    c.put(3, three.data(), 8);
    c.put(1, one.data(), 8);
    c.before_switch.push_back(FileWrite{4, {1}});
    c.after_switch.push_back(FileWrite{8, {2}});
    EXPECT_EQ(commit_block_changes(c, tree.shape()), XD_OK);
    ASSERT_GE(tree.log.size(), 5u);
    EXPECT_EQ(tree.log.front(), "header 4");
    EXPECT_EQ(tree.log.back(), "header 8");
    EXPECT_EQ(tree.blocks[1], one);
    EXPECT_EQ(tree.blocks[2], two);
    EXPECT_EQ(tree.blocks[3], three);
    EXPECT_EQ(tree.end, 4u);  // the copies are cut off again
}

}  // namespace
