// VP8 RTP unpacker (RFC 7741): strips the payload descriptor and joins the fragments into frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtp_payload.h"

// The VP8 unpacker table; every call returns the same static table.
const rtp_unpacker_t* rtp_vp8_decode();

// True for a packet that the unpacker refuses although it takes a sequence number of the stream:
// payload type 121, nothing left after its padding (a bandwidth probe), or a header that does not
// parse.
bool rtp_vp8_refused(const uint8_t* packet, size_t size);
// The test above for a packet of at most 64 KiB already read as RTP version 2 with a payload: no
// such header fails to parse, so only the payload type is left to tell.
constexpr unsigned kRtpVp8RefusedPayloadType = 121;
inline bool rtp_vp8_refused_type(unsigned pt) {
    return pt == kRtpVp8RefusedPayloadType;
}
