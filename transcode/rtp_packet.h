// RTP packet parser (RFC 3550).
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|X|  CC   |M|     PT      |       sequence number         |
//  |                           timestamp                           |
//  |           synchronization source (SSRC) identifier            |
//  |            contributing source (CSRC) identifiers             |
//  |                             ....                              |
//  |   defined by profile          |           length              |  (X)
//  |                        header extension                       |  (X)
//  |                            payload ...    | padding | count   |  (P)
#pragma once

#include <cstdint>

#define RTP_VERSION 2

struct rtp_header_t {
    uint16_t v : 2;
    uint16_t p : 1;
    uint16_t x : 1;
    uint16_t cc : 4;
    uint16_t m : 1;
    uint16_t pt : 7;
    uint16_t seq;
    uint32_t timestamp;
    uint32_t ssrc;
};

// One parsed packet. `extension` and `payload` point into the caller's buffer and are valid only
// while that buffer lives unchanged; nothing is allocated.
struct rtp_packet_t {
    rtp_header_t rtp;
    uint32_t csrc[16];
    const void* extension;  // extension data after its 4-byte header; null without X
    uint16_t extlen;        // bytes of extension data (4 x length word)
    uint16_t extprofile;
    const void* payload;
    int payloadlen;  // after the extension is skipped and the padding removed
};

// Parses exactly one packet of `bytes` bytes (the last byte is the padding count when P is set).
// Returns 0, or -1 for a malformed packet. Under 12 bytes `pkt` is not touched; on any other
// failure it is cleared and its fixed header `rtp` is filled in.
int rtp_packet_deserialize(rtp_packet_t* pkt, const void* data, int bytes);
