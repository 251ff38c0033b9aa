// AV1 RTP depacketizer (the AOM "RTP Payload Format for AV1"): reads the aggregation header
// (Z: the first element continues an OBU; Y: the last one goes on in the next packet; W: the
// element count, the last element without a length; N: a new coded video sequence), joins OBU
// fragments, gives every OBU its size field back and starts each temporal unit with a temporal
// delimiter, as the low-overhead bitstream format (AV1 section 5.2) wants. Temporal delimiters and
// tile list OBUs in the payload are dropped, as the payload format says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtp_payload.h"

const rtp_unpacker_t* rtp_av1_decode();

// True for a temporal unit that holds a sequence header and whose first frame is a key frame.
bool av1_key_frame(const uint8_t* frame, size_t size);
// The first sequence header OBU of a temporal unit (with its size field), for the container.
bool av1_sequence_header(const uint8_t* frame, size_t size, const uint8_t** obu, size_t* obu_size);
// The largest picture size a temporal unit's sequence header allows (max_frame_width/height).
bool av1_frame_size(const uint8_t* frame, size_t size, int* width, int* height);
// Reads a LEB128 value (at most 8 bytes); the bytes it took, or 0 when it does not fit.
size_t av1_leb128(const uint8_t* p, size_t n, uint64_t* value);
