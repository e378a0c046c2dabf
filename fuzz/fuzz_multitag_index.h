#pragma once
// The body of the multi-tag index targets (CDX, MDX): arbitrary bytes opened as
// such a file: its tags listed, each opened, walked both ways, searched, changed
// and checked, and the whole file checked, through the uniform index operations.
// Nothing may crash, hang or read out of bounds, and every handle goes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "fuzz/fuzz_scratch.h"

inline int fuzz_multitag_index(int32_t type, const char* scratch_name, const uint8_t* data, size_t size) {
    static std::string path;
    if (path.empty()) {
        path = fuzz_scratch_path(scratch_name);
        xdbinit();
    }
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    int16_t h = -1;
    if (IndexOpen(type, path.c_str(), XDB_OPEN_SHORTHAND, &h) < 0) {
        if (h != -1 || xdb_slots_in_use() != 0) abort();
        xdb_set_status(XD_OK);
        return 0;
    }
    char fault[128];
    uint32_t entries = 0;
    IndexCheck(type, h, &entries, fault, sizeof fault);
    int16_t tags = 0;
    xdb_set_status(XD_OK);
    TagCount(type, h, &tags);
    for (int16_t t = 0; t < tags && t < 8; t++) {
        IndexAccess a{};
        a.type = type;
        a.file_handle = (uint16_t)h;
        xdb_set_status(XD_OK);
        if (TagOpenNumber(type, h, t, &a.tag_handle) < 0) continue;
        IndexDescription d;
        if (IndexDescribe(type, (int16_t)a.tag_handle, &d) < 0) d.key_length = 9, d.key_type = 'C';
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
        }
        for (int i = 0; i < 3 && size >= 8; i++) {
            memset(key, 0, sizeof key);
            memset(key, 'A' + i, 8);
            IndexAddKey(&a, key, 1000u + (uint32_t)i);
        }
        IndexDeleteKey(&a, key, 1002);
        IndexCheck(type, (int16_t)a.tag_handle, &entries, fault, sizeof fault);
        xdb_set_status(XD_OK);
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
