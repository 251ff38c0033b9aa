// VP9 RTP depacketizer (RFC 9628): strips the payload descriptor in flexible and non-flexible
// mode and joins the packets of one picture into one frame for the decoder.
//
// Spatial layers: a picture's layer frames (same timestamp, each begun by B and ended by E) are
// written together as one VP9 superframe, with the superframe index that libvpx's own encoder
// appends, so the file holds exactly what the encoder produced and every decoder (libvpx, FFmpeg,
// browsers) shows the highest layer of the picture. A picture that lost any of its packets is
// dropped whole: a higher layer that refers to a missing lower one cannot be decoded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtp_payload.h"

// The payload descriptor's fields (section 4.2).
struct Vp9Descriptor {
    bool i, p, l, f, b, e, v, z;
    int picture_id = -1;  // 7 or 15 bits; -1 without I
    int picture_id_bits = 0;
    int tid = 0, sid = 0;
    bool u = false, d = false;
    int tl0picidx = -1;
    int p_diff[3] = {0, 0, 0};
    int p_diffs = 0;
    int width = 0, height = 0;  // of the highest spatial layer, from the scalability structure
    size_t size = 0;            // bytes of descriptor before the VP9 data
};

// Reads the descriptor at the start of a payload; false when it does not fit in `n` bytes.
bool vp9_descriptor(const uint8_t* p, size_t n, Vp9Descriptor* d);

const rtp_unpacker_t* rtp_vp9_decode();

// True for a frame that starts with a key frame's uncompressed header (frame marker, profile,
// show_existing_frame 0, frame_type KEY_FRAME, sync code 0x49 0x83 0x42).
bool vp9_key_frame(const uint8_t* frame, size_t size);
// The picture size a key frame's uncompressed header gives; false when it is no key frame.
bool vp9_frame_size(const uint8_t* frame, size_t size, int* width, int* height);
