#include "rtp_packet.h"

#include <cassert>
#include <cstring>

namespace {

constexpr int kFixedHeaderSize = 12;
constexpr int kCsrcSize = 4;
constexpr int kExtensionHeaderSize = 4;
// An extension of 16,384 words or more is 64 KiB of data, which no UDP-carried packet holds and the
// 16-bit `extlen` cannot describe.
constexpr uint32_t kMaxExtensionWords = 16383;

uint16_t rtp_read_uint16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t rtp_read_uint32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

int rtp_packet_deserialize(rtp_packet_t* pkt, const void* data, int bytes) {
    if (bytes < kFixedHeaderSize) return -1;
    const uint8_t* ptr = static_cast<const uint8_t*>(data);

    memset(pkt, 0, sizeof(*pkt));
    const uint32_t word = rtp_read_uint32(ptr);
    pkt->rtp.v = (word >> 30) & 0x03;
    pkt->rtp.p = (word >> 29) & 0x01;
    pkt->rtp.x = (word >> 28) & 0x01;
    pkt->rtp.cc = (word >> 24) & 0x0F;
    pkt->rtp.m = (word >> 23) & 0x01;
    pkt->rtp.pt = (word >> 16) & 0x7F;
    pkt->rtp.seq = word & 0xFFFF;
    pkt->rtp.timestamp = rtp_read_uint32(ptr + 4);
    pkt->rtp.ssrc = rtp_read_uint32(ptr + 8);

    const int hdrlen = kFixedHeaderSize + kCsrcSize * pkt->rtp.cc;
    // Version 1 packets are taken like version 2: some recorders stamp it.
    if (pkt->rtp.v != RTP_VERSION && pkt->rtp.v != 1) return -1;
    if (bytes < hdrlen + (pkt->rtp.x ? kExtensionHeaderSize : 0) + (pkt->rtp.p ? 1 : 0)) return -1;

    for (int i = 0; i < pkt->rtp.cc; ++i) pkt->csrc[i] = rtp_read_uint32(ptr + 12 + kCsrcSize * i);

    assert(bytes >= hdrlen);
    pkt->payload = ptr + hdrlen;
    pkt->payloadlen = bytes - hdrlen;

    if (pkt->rtp.x) {
        assert(pkt->payloadlen >= kExtensionHeaderSize);
        const uint8_t* ext = ptr + hdrlen;
        const uint32_t words = rtp_read_uint16(ext + 2);
        if (words > kMaxExtensionWords) return -1;
        pkt->extension = ext + kExtensionHeaderSize;
        pkt->extprofile = rtp_read_uint16(ext);
        pkt->extlen = static_cast<uint16_t>(words * 4);
        if (pkt->extlen + kExtensionHeaderSize > pkt->payloadlen) return -1;
        pkt->payload = ext + kExtensionHeaderSize + pkt->extlen;
        pkt->payloadlen -= pkt->extlen + kExtensionHeaderSize;
    }

    if (pkt->rtp.p) {
        // The padding count is the packet's last byte and counts itself.
        const int padding = ptr[bytes - 1];
        if (pkt->payloadlen < padding) return -1;
        pkt->payloadlen -= padding;
    }
    return 0;
}
