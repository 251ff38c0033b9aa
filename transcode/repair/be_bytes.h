// Big-endian fields of RTP, RED and FEC headers, read and written byte by byte (never by laying
// a struct over the buffer); the caller has checked the length.
#pragma once

#include <cstdint>

inline uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void put_be32(uint8_t* p, uint32_t v) {
    put_be16(p, static_cast<uint16_t>(v >> 16));
    put_be16(p + 2, static_cast<uint16_t>(v));
}
