#include "vp8_layers.h"

#include "stream_classifier.h"

namespace {

//        0 1 2 3 4 5 6 7
//       |X|R|N|S|R| PID |
//  X:   |I|L|T|K| RSV   |
//  I:   |M| PictureID   |   (M: a second byte, 15 bits in all)
//  L:   |   TL0PICIDX   |
//  T/K: |TID|Y| KEYIDX  |
constexpr uint8_t kX = 0x80, kN = 0x20;
constexpr uint8_t kI = 0x80, kL = 0x40, kT = 0x20;
constexpr uint8_t kM = 0x80;
constexpr uint8_t kY = 0x20;

}  // namespace

bool vp8_frame_layers(const uint8_t* packet, size_t size, FrameLayers* out) {
    *out = FrameLayers{};
    streams::RtpSpan r;
    if (!packet || !streams::read_rtp(packet, size, &r) || r.payload == 0) return false;
    const uint8_t* p = packet + r.header;
    const uint8_t* const end = p + r.payload;
    out->seen = true;
    out->non_reference = (p[0] & kN) != 0;
    if (!(p[0] & kX)) return true;
    if (++p == end) return true;
    const uint8_t x = *p++;
    if (x & kI) {
        if (p == end) return true;
        if (*p & kM) {
            if (end - p < 2) return true;
            out->picture_id_bits = 15;
            out->picture_id = static_cast<uint16_t>(((p[0] & 0x7F) << 8) | p[1]);
            p += 2;
        } else {
            out->picture_id_bits = 7;
            out->picture_id = *p++ & 0x7F;
        }
    }
    if (x & kL) {
        if (p == end) return true;
        out->has_tl0 = true;
        out->tl0_pic_idx = *p++;
    }
    if ((x & kT) && p != end) {
        out->layered = true;
        out->temporal_id = static_cast<uint8_t>(*p >> 6);
        out->layer_sync = (*p & kY) != 0;
    }
    return true;
}
