// Decides which whole VP8 frames of one user are worth writing in repair mode: none before the
// first key frame (nothing can decode them), and, when asked, none after a lost frame that depend
// on it (frame_deps.h: until the next key frame, or for a stream that names its temporal layers,
// only the frames that refer to the missing one). It also counts the frames lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame_deps.h"
#include "run_stats.h"

class KeyframeGate {
public:
    // Whether a whole frame decodes on its own (the codec's key frame).
    using KeyTest = bool (*)(const uint8_t* frame, int size);
    // `stats` (may be null) receives frames_skipped_keyframe and frames_lost. `reader` reads the
    // codec's payload descriptor of each packet (null: no layer information). `key` is the codec's
    // key-frame test (null: VP8's).
    KeyframeGate(bool wait_after_loss, RepairStats* stats, FrameLayersReader reader = nullptr,
                 KeyTest key = nullptr)
        : wait_after_loss_(wait_after_loss),
          stats_(stats),
          reader_(reader),
          key_(key ? key : is_key_frame) {}
    // The same with a reader that keeps state (AV1's dependency descriptor).
    KeyframeGate(bool wait_after_loss, RepairStats* stats, LayersReader reader, KeyTest key)
        : wait_after_loss_(wait_after_loss),
          stats_(stats),
          reader_(nullptr),
          stateful_(reader),
          key_(key ? key : is_key_frame) {}

    // Every RTP packet, before the depacketizer takes it: its descriptor is kept for its frame.
    void packet(const uint8_t* data, size_t size);

    // `flags` are those of the reassembly's frame callback: RTP_PAYLOAD_FLAG_PACKET_LOST when the
    // packet sequence had a gap since the last frame delivered. True: write the frame. Frames lost
    // with all their packets are counted from the picture ids, or as one when there are none.
    bool admit(const uint8_t* frame, int size, int flags, uint32_t timestamp = 0);
    // A frame was dropped for a lost packet (counted as frames_lost).
    void dropped(uint32_t timestamp = 0);

    // A VP8 frame tag with the low bit clear is a key frame, and a key frame's tag is followed by
    // the start code 9d 01 2a and its size (RFC 6386, 9.1). The start code matters when a stream's
    // very first packet was lost: nothing shows the loss, and the frame then begins in the middle
    // of a partition, where the low bit is clear half the time.
    static bool is_key_frame(const uint8_t* frame, int size) {
        return frame != nullptr && size >= 10 && (frame[0] & 0x01) == 0 && frame[3] == 0x9d &&
               frame[4] == 0x01 && frame[5] == 0x2a;
    }

private:
    // The descriptor of the frame with `timestamp`, when one of its packets was read.
    const FrameLayers* layers_of(uint32_t timestamp) const;

    const bool wait_after_loss_;
    RepairStats* const stats_;
    bool read(const uint8_t* data, size_t size, FrameLayers* out) const {
        return reader_ ? reader_(data, size, out)
                       : stateful_.read(stateful_.state, data, size, out);
    }

    const FrameLayersReader reader_;
    const LayersReader stateful_;
    const KeyTest key_;
    FrameDeps deps_;
    bool waiting_ = true;  // no key frame yet
    // The frames being assembled: a frame is delivered at the latest when the next one begins,
    // so the last two are enough.
    struct Seen {
        bool valid = false;
        uint32_t timestamp = 0;
        FrameLayers layers;
    };
    Seen seen_[2];
    int current_ = 0;
};
