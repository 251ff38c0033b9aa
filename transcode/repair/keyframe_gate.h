// Decides which whole VP8 frames of one user are worth writing in repair mode: none before the
// first key frame (nothing can decode them), and, when asked, none after a lost frame until the
// next key frame (they refer to the picture that is missing).
#pragma once

#include <cstdint>

#include "run_stats.h"

class KeyframeGate {
public:
    // Whether a whole frame decodes on its own (the codec's key frame).
    using KeyTest = bool (*)(const uint8_t* frame, int size);
    // `stats` (may be null) receives frames_skipped_keyframe and frames_lost; `key` defaults to
    // VP8's key frame.
    KeyframeGate(bool wait_after_loss, RepairStats* stats, KeyTest key = nullptr)
        : wait_after_loss_(wait_after_loss), stats_(stats), key_(key ? key : is_key_frame) {}

    // `flags` are those of the reassembly's frame callback: RTP_PAYLOAD_FLAG_PACKET_LOST when a
    // frame was lost since the last one delivered. True: write the frame. A frame lost with all
    // its packets leaves only that flag; it is counted as one lost frame.
    bool admit(const uint8_t* frame, int size, int flags);
    // A frame was dropped for a lost packet (counted as frames_lost).
    void dropped() {
        dropped_since_ = true;
        if (stats_) ++stats_->frames_lost;
    }

    // A VP8 frame tag with the low bit clear is a key frame, and a key frame's tag is followed by
    // the start code 9d 01 2a and its size (RFC 6386, 9.1). The start code matters when a stream's
    // very first packet was lost: nothing shows the loss, and the frame then begins in the middle
    // of a partition, where the low bit is clear half the time.
    static bool is_key_frame(const uint8_t* frame, int size) {
        return frame != nullptr && size >= 10 && (frame[0] & 0x01) == 0 && frame[3] == 0x9d &&
               frame[4] == 0x01 && frame[5] == 0x2a;
    }

private:
    const bool wait_after_loss_;
    RepairStats* const stats_;
    const KeyTest key_;
    bool waiting_ = true;         // no key frame yet, or one is needed after a loss
    bool dropped_since_ = false;  // a dropped frame was counted since the last whole one
};
