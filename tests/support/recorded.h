#pragma once
// What other programs recorded beside their files: one JSON object a line (the
// seeks Harbour made), read without a JSON library.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "framework/codepage.h"

// The fixtures gathered from real applications.
inline const std::string kReal = std::string(QXDB_TEST_DATA) + "/real/";

// The value of a "key" in a recorded line: text, or a number, or a date.
inline std::string field(const std::string& json, const std::string& name) {
    size_t at = json.find("\"" + name + "\":");
    if (at == std::string::npos) return "";
    at += name.size() + 3;
    if (json[at] != '"') return json.substr(at, json.find_first_of(",}", at) - at);
    std::string out;
    for (size_t i = at + 1; i < json.size() && json[i] != '"'; i++) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        char c = json[++i];
        if (c != 'u') {
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            continue;
        }
        unsigned code = (unsigned)std::stoul(json.substr(i + 1, 4), nullptr, 16);
        i += 4;
        if (code < 0x80) {
            out += (char)code;
        } else if (code < 0x800) {
            out += (char)(0xC0 | code >> 6);
            out += (char)(0x80 | (code & 0x3F));
        } else {
            out += (char)(0xE0 | code >> 12);
            out += (char)(0x80 | ((code >> 6) & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        }
    }
    return out;
}


// Answers the seeks Harbour recorded for an index (one JSON line each: the type
// and value sought, soft seek, the last entry of the key wanted, and the record it
// landed on, `end_of_file` at the end): a key not found lands on the next key with
// soft seek, and "last" asks for the last entry of a key. Returns the seeks made.
inline int answer_recorded_seeks(IndexAccess& a, const std::string& path, uint32_t end_of_file, int code_page) {
    std::ifstream in(path);
    int seeks = 0;
    std::string line;
    while (std::getline(in, line)) {
        const std::string type = field(line, "type"), value = field(line, "value");
        const bool soft = field(line, "soft") == "true", last = field(line, "last") == "true";
        const bool want_found = field(line, "found") == "true";
        const uint32_t want_recno = (uint32_t)std::stoul(field(line, "recno"));
        uint8_t key[kIndexKeyBuffer + 8] = {0};
        if (type == "N") {
            EXPECT_EQ(MakeNumericKey(&a, std::stod(value), key), XD_OK) << line;
        } else if (type == "D") {
            std::string digits;
            for (char c : value)
                if (c != '-') digits += c;
            int16_t old = xdb_swap_date_format(4);
            EXPECT_EQ(MakeDateKey(&a, digits.empty() ? "        " : digits.c_str(), key), XD_OK) << value;
            xdb_swap_date_format(old);
        } else if (type == "L") {
            key[0] = value == "true" ? 'T' : 'F';
        } else {
            std::string bytes = codepage_from_utf8(code_page, value);
            EXPECT_EQ(MakeCharacterKey(&a, bytes.c_str(), key), XD_OK) << line;
        }
        // Character keys compare over the text sought, the others whole.
        const std::string sought = a.key_type == 'C' ? std::string((const char*)key)
                                                     : std::string((const char*)key, IndexKeySize(&a));
        uint32_t recno = 0;
        XDSTATUS s = IndexSeek(&a, key, 0, &recno, 0);
        EXPECT_GE(s, 0) << line;
        if (s < 0) continue;
        bool found = s == XD_OK;
        uint32_t at = end_of_file;
        if (found) {
            at = recno;
            // The last entry of the key: on while the key goes on.
            for (uint8_t next[kIndexKeyBuffer + 8]; last;) {
                memcpy(next, key, sizeof next);
                uint32_t r = recno;
                if (IndexNext(&a, next, &r) != XD_OK ||
                    IndexCompareKeys(&a, next, sought.data(), (uint32_t)sought.size()) != 0)
                    break;
                memcpy(key, next, sizeof next);
                recno = at = r;
            }
        } else if (soft && !last) {
            if (s == XD_KEYNOTFOUNDEND) at = recno;
            else if (IndexNext(&a, key, &recno) == XD_OK) at = recno;
        } else if (soft && last) {
            if (s == XD_KEYNOTFOUND && recno != 0xFFFFFFFFu) at = recno;
        }
        EXPECT_EQ(found, want_found) << line;
        EXPECT_EQ(at, want_recno) << line;
        seeks++;
    }
    return seeks;
}
