#include "keyframe_gate.h"

#include "rtp_payload.h"

bool KeyframeGate::admit(const uint8_t* frame, int size, int flags) {
    if (wait_after_loss_ && (flags & RTP_PAYLOAD_FLAG_PACKET_LOST) != 0) waiting_ = true;
    if (waiting_ && is_key_frame(frame, size)) waiting_ = false;
    if (waiting_ && stats_) ++stats_->frames_skipped_keyframe;
    return !waiting_;
}
