// The elements of an RTP packet's header extension (RFC 8285, one-byte or two-byte form), for the
// stages that read one (FEC recovery zeroes those a sender rewrote; AV1's dependency descriptor).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "be_bytes.h"

namespace streams {

// Calls f(id, from, to) for the bytes [from, to) of each element of the packet's header extension;
// nothing for another profile or past a malformed element.
template <typename F>
void for_each_extension(const uint8_t* m, size_t n, F f) {
    constexpr size_t kFixedHeader = 12;
    if (n < kFixedHeader || !(m[0] & 0x10)) return;
    size_t at = kFixedHeader + 4 * size_t{m[0] & 0x0Fu};
    if (at + 4 > n) return;
    const uint16_t profile = be16(m + at);
    const bool one_byte = profile == 0xBEDE;
    if (!one_byte && (profile & 0xFFF0) != 0x1000) return;
    const size_t end = std::min(n, at + 4 + 4 * size_t{be16(m + at + 2)});
    at += 4;
    while (at < end) {
        if (m[at] == 0) {  // padding
            ++at;
            continue;
        }
        size_t id = 0, length = 0;
        if (one_byte) {
            id = m[at] >> 4;
            length = (m[at] & 0x0Fu) + 1;
            if (id == 0 || id == 15) return;  // id 0 with a length, or reserved: not read on
            at += 1;
        } else {
            if (at + 2 > end) return;
            id = m[at];
            length = m[at + 1];
            at += 2;
        }
        if (length > end - at) return;
        f(id, at, at + length);
        at += length;
    }
}

}  // namespace streams
