#pragma once
// Byte order helpers. File headers are little-endian; record numbers and child
// offsets inside some index entries are big-endian.

#include <cstdint>
#include <cstring>

inline uint16_t get_le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
inline uint32_t get_le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline void put_le16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
inline uint64_t get_le64(const uint8_t* p) { return (uint64_t)get_le32(p) | (uint64_t)get_le32(p + 4) << 32; }
inline void put_le64(uint8_t* p, uint64_t v) {
    put_le32(p, (uint32_t)v);
    put_le32(p + 4, (uint32_t)(v >> 32));
}

// Reverses the four bytes of a value: little-endian to big-endian and back.
inline uint32_t xdb_swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
// Writes the eight bytes of a value most significant first.
inline void xdb_put_be64(uint8_t out[8], uint64_t v) {
    for (int i = 0; i < 8; i++) out[i] = (uint8_t)(v >> (56 - 8 * i));
}
inline uint64_t xdb_get_be64(const uint8_t in[8]) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | in[i];
    return v;
}
