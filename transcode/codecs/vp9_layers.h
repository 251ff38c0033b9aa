// Reads what a VP9 payload descriptor (RFC 9628, section 4.2) says about the picture a packet
// belongs to, for the dependency rule (frame_deps.h):
// - flexible mode (F=1 with a picture id): the picture's references exactly, its picture id less
//   each P_DIFF, gathered over the packets of all its spatial layer frames (the depacketizer writes
//   a picture's layers together, so the picture refers to what any of them refers to; a layer's
//   dependency on the layer below it in the same picture (D) stays inside the picture). A picture
//   without inter-picture prediction (P=0) refers to nothing;
// - non-flexible mode: the temporal layer id (TID), the switching-up point (U) and TL0PICIDX, for
//   the layer rule; the picture id counts the pictures lost whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame_deps.h"

// False when the packet is not RTP or its descriptor does not fit in the payload.
bool vp9_frame_layers(const uint8_t* packet, size_t size, FrameLayers* out);
