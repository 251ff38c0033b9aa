// Literal RTP packets and a frame recorder for the tests of the VP8 road.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "rtp_payload.h"

namespace rtptest {

// One frame as the decoder's callback received it.
struct Frame {
    std::vector<uint8_t> data;
    uint32_t timestamp;
    int flags;
    bool operator==(const Frame& o) const {
        return data == o.data && timestamp == o.timestamp && flags == o.flags;
    }
};
std::ostream& operator<<(std::ostream& os, const Frame& f);

// A frame callback that appends every frame to the std::vector<Frame> given as its parameter.
extern const rtp_payload_t kFrameRecorder;

// A 12-byte RTP header (version 2, no CSRC, SSRC `ssrc`) followed by `payload`.
std::vector<uint8_t> rtp_bytes(uint16_t seq, uint32_t ts, bool marker,
                               const std::vector<uint8_t>& payload, uint8_t pt = 96,
                               uint32_t ssrc = 0x11223344);

}  // namespace rtptest
