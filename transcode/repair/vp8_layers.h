// Reads what a VP8 payload descriptor (RFC 7741, section 4.2) says about the frame a packet belongs
// to, for the dependency rule (frame_deps.h): the N bit, the picture id, TL0PICIDX, and the
// temporal layer id with its Y bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame_deps.h"

// False when the packet is not RTP or has no descriptor byte. `out` is filled from scratch.
bool vp8_frame_layers(const uint8_t* packet, size_t size, FrameLayers* out);
