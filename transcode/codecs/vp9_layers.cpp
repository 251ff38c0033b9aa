#include "vp9_layers.h"

#include "stream_classifier.h"
#include "vp9_unpack.h"

bool vp9_frame_layers(const uint8_t* packet, size_t size, FrameLayers* out) {
    streams::RtpSpan r;
    if (!packet || !streams::read_rtp(packet, size, &r) || r.payload == 0) return false;
    Vp9Descriptor d;
    if (!vp9_descriptor(packet + r.header, r.payload, &d)) return false;
    const bool flexible = d.f && d.picture_id >= 0;
    if (!out->seen) {
        out->seen = true;
        out->picture_id_bits = static_cast<uint8_t>(d.picture_id_bits);
        out->picture_id = static_cast<uint16_t>(d.picture_id >= 0 ? d.picture_id : 0);
        out->layered = d.l;
        out->temporal_id = static_cast<uint8_t>(d.tid);
        out->switch_up = d.u;
        out->has_tl0 = d.tl0picidx >= 0;
        out->tl0_pic_idx = static_cast<uint8_t>(d.tl0picidx >= 0 ? d.tl0picidx : 0);
        out->exact = flexible;
        out->per_packet = flexible;
        if (flexible) out->add_id(out->picture_id);
    } else if (!flexible || d.picture_id != out->picture_id) {
        out->exact = false;  // a packet that does not fit the picture's first: take no chances
        return true;
    }
    if (out->exact && d.p) {
        const int mask = (1 << d.picture_id_bits) - 1;
        for (int i = 0; i < d.p_diffs; ++i) {
            if (d.p_diff[i] == 0) out->exact = false;  // a picture cannot refer to itself
            out->add_ref(static_cast<uint16_t>((d.picture_id - d.p_diff[i]) & mask));
        }
    }
    return true;
}
