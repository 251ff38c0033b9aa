#include "keyframe_gate.h"

#include "be_bytes.h"
#include "rtp_payload.h"

void KeyframeGate::packet(const uint8_t* data, size_t size) {
    if ((!reader_ && !stateful_.read) || !data || size < 12) return;
    const uint32_t timestamp = be32(data + 4);
    Seen& cur = seen_[current_];
    if (cur.valid && cur.timestamp == timestamp) {
        // Every packet of a frame says the same, but for the layer frames of a picture.
        if (cur.layers.per_packet) read(data, size, &cur.layers);
        return;
    }
    FrameLayers layers;
    if (!read(data, size, &layers)) return;
    current_ ^= 1;
    seen_[current_] = {true, timestamp, layers};
}

const FrameLayers* KeyframeGate::layers_of(uint32_t timestamp) const {
    for (const Seen& s : seen_)
        if (s.valid && s.timestamp == timestamp) return &s.layers;
    return nullptr;
}

bool KeyframeGate::admit(const uint8_t* frame, int size, int flags, uint32_t timestamp) {
    const bool gap = (flags & RTP_PAYLOAD_FLAG_PACKET_LOST) != 0;
    const FrameLayers* seen = layers_of(timestamp);
    const bool key = key_(frame, size);
    const FrameDeps::Decision d = deps_.whole(seen ? *seen : FrameLayers{}, key, gap);
    if (stats_) stats_->frames_lost += d.lost_before;
    if (waiting_ && key) waiting_ = false;
    const bool write = !waiting_ && (d.write || !wait_after_loss_);
    if (!write && stats_) ++stats_->frames_skipped_keyframe;
    return write;
}

void KeyframeGate::dropped(uint32_t timestamp) {
    deps_.lost(layers_of(timestamp));
    if (stats_) ++stats_->frames_lost;
}
