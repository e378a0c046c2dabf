#include "engine/core/codepage.h"

#include "engine/core/oem_tables.h"

namespace {

// The fifteen pairs (ANSI 1252, OEM 850) of the engine's own conversion.
const unsigned char kPairs[15][2] = {
    {0xE0, 0x85}, {0xE2, 0x83}, {0xE4, 0x84}, {0xE7, 0x87}, {0xE8, 0x8A},
    {0xE9, 0x82}, {0xEA, 0x88}, {0xEB, 0x89}, {0xEE, 0x8C}, {0xEF, 0x8B},
    {0xF4, 0x93}, {0xF6, 0x94}, {0xF9, 0x97}, {0xFB, 0x96}, {0xFC, 0x81},
};

struct PairTables {
    unsigned char to_oem[256];
    unsigned char to_ansi[256];
    PairTables() {
        for (int i = 0; i < 256; i++) to_oem[i] = to_ansi[i] = (unsigned char)i;
        for (const auto& p : kPairs) {
            to_oem[p[0]] = p[1];
            to_ansi[p[1]] = p[0];
        }
    }
};

const PairTables kPairTables;

void convert(char* text, size_t length, int use_system, const unsigned char* pairs, const unsigned char* system) {
    if (!text) return;
    unsigned char* p = (unsigned char*)text;
    if (use_system) {
        for (size_t i = 0; i < length; i++) p[i] = system[p[i]];
        return;
    }
    for (size_t i = 0; i < length && p[i]; i++) p[i] = pairs[p[i]];
}

}  // namespace

void xdb_ansi_to_oem(char* text, size_t length, int use_system) {
    convert(text, length, use_system, kPairTables.to_oem, kAnsi1252ToOem850);
}

void xdb_oem_to_ansi(char* text, size_t length, int use_system) {
    convert(text, length, use_system, kPairTables.to_ansi, kOem850ToAnsi1252);
}
