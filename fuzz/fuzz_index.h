#pragma once
// The body of the index fuzz targets: arbitrary bytes opened as an index file of
// one format; each tree (the file's one, or each tag of a multi-tag file) walked
// both ways, searched, changed and checked, the whole file checked, through the
// uniform index operations. Nothing may crash, hang or read out of bounds, a
// refused open leaves no handle behind, and every handle goes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "fuzz/fuzz_scratch.h"

// The bytes written to the target's scratch file `file_name` and opened as an
// index of `type`: false (no handle left) when the open refuses them.
inline bool fuzz_open_index(int32_t type, const char* file_name, const uint8_t* data, size_t size, int16_t* h) {
    static std::string path;
    if (path.empty()) {
        path = fuzz_scratch_path(file_name);
        xdbinit();
    }
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    fwrite(data, 1, size, f);
    fclose(f);
    *h = -1;
    if (IndexOpen(type, path.c_str(), XDB_OPEN_SHORTHAND, h) < 0) {
        if (*h != -1 || xdb_slots_in_use() != 0) abort();
        xdb_set_status(XD_OK);
        return false;
    }
    return true;
}

// One tree (`tree`: the file, or a tag's handle): walked, searched with keys taken
// from the input, changed (which must fail cleanly or keep it whole), checked.
inline void fuzz_tree(int32_t type, int16_t file, int32_t tag, int16_t tree, const uint8_t* data, size_t size) {
    IndexDescription d;
    if (IndexDescribe(type, tree, &d) < 0) d.key_length = 9, d.key_type = 'C';
    IndexAccess a{};
    a.type = type;
    a.file_handle = (uint16_t)file;
    a.tag_handle = tag;
    a.key_length = d.key_length > 0 && d.key_length <= 101 ? (uint32_t)d.key_length : 9;
    a.key_type = d.key_type;
    a.single_field = -1;
    uint8_t key[kIndexKeyBuffer + 160];
    uint32_t recno = 0;
    for (int reverse = 0; reverse < 2; reverse++) {
        XDSTATUS s = reverse ? IndexLast(&a, key, &recno) : IndexFirst(&a, key, &recno);
        for (int steps = 0; s == XD_OK && steps < 2000; steps++)
            s = reverse ? IndexPrevious(&a, key, &recno) : IndexNext(&a, key, &recno);
    }
    for (size_t at = 0; at + 8 <= size && at < 64; at += 8) {
        memset(key, 0, sizeof key);
        memcpy(key, data + at, 8);
        IndexSeek(&a, key, 0, &recno, (uint16_t)(data[at] & 0x82));
        IndexResync(&a, key, &recno);
    }
    for (int i = 0; i < 3 && size >= 8; i++) {
        memset(key, 0, sizeof key);
        memset(key, 'A' + i, 8);
        IndexAddKey(&a, key, 1000u + (uint32_t)i);
    }
    IndexDeleteKey(&a, key, 1002);
    char fault[128];
    uint32_t entries = 0;
    IndexCheck(type, tree, &entries, fault, sizeof fault);
    xdb_set_status(XD_OK);
}

inline int fuzz_single_key_index(int32_t type, const char* file_name, const uint8_t* data, size_t size) {
    int16_t h = -1;
    if (!fuzz_open_index(type, file_name, data, size, &h)) return 0;
    fuzz_tree(type, h, -1, h, data, size);
    IndexClose(type, h);
    xdb_set_status(XD_OK);
    return 0;
}

inline int fuzz_multitag_index(int32_t type, const char* file_name, const uint8_t* data, size_t size) {
    int16_t h = -1;
    if (!fuzz_open_index(type, file_name, data, size, &h)) return 0;
    char fault[128];
    uint32_t entries = 0;
    IndexCheck(type, h, &entries, fault, sizeof fault);
    int16_t tags = 0;
    xdb_set_status(XD_OK);
    TagCount(type, h, &tags);
    for (int16_t t = 0; t < tags && t < 8; t++) {
        int32_t tag = -1;
        xdb_set_status(XD_OK);
        if (TagOpenNumber(type, h, t, &tag) < 0) continue;
        fuzz_tree(type, h, tag, (int16_t)tag, data, size);
    }
    if (tags > 0) {
        xdb_set_status(XD_OK);
        IndexRemoveTag(type, h, "A");
    }
    IndexClose(type, h);
    xdb_set_status(XD_OK);
    if (xdb_slots_in_use() != 0) abort();
    return 0;
}
