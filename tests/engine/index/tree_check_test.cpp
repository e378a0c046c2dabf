// The shared tree check over a tree of separators (NDX): each kind of damage a
// reader would trip over is named, on a file that checked clean before.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "tests/support/engine_test.h"

namespace {

class TreeCheckTest : public EngineTest {
protected:
    // An NDX of 4-byte text keys over 300 records: a root over several leaves.
    std::string build() {
        const std::string path = dir_ + "/t.ndx";
        IndexCreateRequest r{path.c_str(), "K", 'C', 4, 0, nullptr};
        EXPECT_EQ(IndexCreate(&r), XD_OK);
        int16_t h = -1;
        EXPECT_EQ(IndexOpen(1, path.c_str(), 0, &h), XD_OK);
        IndexAccess a{};
        a.type = 1;
        a.file_handle = (uint16_t)h;
        a.key_length = 5;
        a.key_type = 'C';
        a.single_field = -1;
        for (uint32_t n = 1; n <= 300; n++) {
            char key[8];
            snprintf(key, sizeof key, "%04u", n);
            EXPECT_EQ(IndexAddKey(&a, key, n), XD_OK);
        }
        EXPECT_EQ(IndexClose(1, h), XD_OK);
        return path;
    }
    std::string check(const std::string& path) {
        int16_t h = -1;
        EXPECT_EQ(IndexOpen(1, path.c_str(), 0, &h), XD_OK);
        char fault[200] = {0};
        uint32_t entries = 0;
        XDSTATUS s = IndexCheck(1, h, &entries, fault, sizeof fault);
        IndexClose(1, h);
        xdb_set_status(XD_OK);
        return s == XD_OK ? std::string("clean") + fault : fault;
    }
    // Changes the file through `edit` (the stream, the root block, an entry's size).
    void damage(const std::string& path, const std::function<void(std::fstream&, uint32_t, int)>& edit) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        unsigned char head[24];
        f.read((char*)head, sizeof head);
        const uint32_t root = head[0] | head[1] << 8 | head[2] << 16 | (uint32_t)head[3] << 24;
        edit(f, root, head[18] | head[19] << 8);
    }
    static uint32_t word_at(std::fstream& f, std::streamoff at) {
        unsigned char w[4];
        f.seekg(at);
        f.read((char*)w, 4);
        return w[0] | w[1] << 8 | w[2] << 16 | (uint32_t)w[3] << 24;
    }
    static void put(std::fstream& f, std::streamoff at, const std::string& bytes) {
        f.seekp(at);
        f.write(bytes.data(), (std::streamsize)bytes.size());
    }
};

TEST_F(TreeCheckTest, EachKindOfDamageIsNamed) {
    const std::string path = build();
    ASSERT_EQ(check(path), "clean");
    const std::string pristine = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    auto restore = [&] { std::ofstream(path, std::ios::binary | std::ios::trunc) << pristine; };
    // A root separator that is not the greatest key below it.
    damage(path, [](std::fstream& f, uint32_t root, int) { put(f, root * 512 + 4 + 8, "0000"); });
    EXPECT_NE(check(path).find("separator differs"), std::string::npos) << check(path);
    restore();
    // Two root entries leading to one leaf.
    damage(path, [](std::fstream& f, uint32_t root, int size) {
        const uint32_t first = word_at(f, root * 512 + 4);
        unsigned char w[4] = {(unsigned char)first, (unsigned char)(first >> 8), 0, 0};
        put(f, root * 512 + 4 + size, std::string((char*)w, 4));
    });
    EXPECT_NE(check(path).find("reached twice"), std::string::npos) << check(path);
    restore();
    // Two keys of the first leaf swapped.
    damage(path, [](std::fstream& f, uint32_t root, int size) {
        const uint32_t leaf = word_at(f, root * 512 + 4);
        put(f, leaf * 512 + 4 + 8, "0002");
        put(f, leaf * 512 + 4 + size + 8, "0001");
    });
    EXPECT_NE(check(path).find("keys out of order"), std::string::npos) << check(path);
    restore();
    // A child beyond the file.
    damage(path, [](std::fstream& f, uint32_t root, int) { put(f, root * 512 + 4, std::string("\xff\xff\x00\x00", 4)); });
    EXPECT_NE(check(path).find("outside the file"), std::string::npos) << check(path);
    restore();
    EXPECT_EQ(check(path), "clean");
}

}  // namespace
