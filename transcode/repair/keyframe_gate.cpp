#include "keyframe_gate.h"

#include "rtp_payload.h"

bool KeyframeGate::admit(const uint8_t* frame, int size, int flags) {
    const bool lost = (flags & RTP_PAYLOAD_FLAG_PACKET_LOST) != 0;
    if (lost && !dropped_since_ && stats_) ++stats_->frames_lost;
    dropped_since_ = false;
    if (wait_after_loss_ && lost) waiting_ = true;
    if (waiting_ && key_(frame, size)) waiting_ = false;
    if (waiting_ && stats_) ++stats_->frames_skipped_keyframe;
    return !waiting_;
}
