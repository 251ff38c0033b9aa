// Which frames after a loss still decode: the dependency rule of the key-frame gate, codec-neutral.
// A codec's descriptor reader (vp8_layers.h for VP8) fills one FrameLayers record per frame from
// what its payload descriptor says; the rule takes the records of the frames that arrived whole and
// of those that did not, and decides for each whole frame: write it, or hold it back because it
// refers, directly or through frames held back, to a picture that is missing.
//
// The rule, for a stream that names its temporal layers (VP8's T bit, VP9's and AV1's layer ids):
// - a lost non-reference frame costs only itself;
// - a lost reference frame of layer k breaks layer k and, through it, every layer above;
// - a frame of layer t decodes while layers 0..t are whole; a layer-sync frame refers only to the
//   base layer, so it decodes while layer 0 is whole, and makes its own layer whole again;
// - a frame held back that others refer to breaks its layer in turn;
// - a lost base-layer frame breaks everything until the next key frame.
// Frames lost with every packet leave no record: the picture ids tell how many are missing, the
// TL0PICIDX whether one of them was in the base layer; the others are taken for the lowest upper
// layer. Without layer information, or without picture ids to count by, any loss waits for the next
// key frame, as a receiver that cannot tell must.
#pragma once

#include <cstddef>
#include <cstdint>

// What a codec's payload descriptor says about one frame.
struct FrameLayers {
    bool seen = false;           // a record was read at all (false: "no layer information")
    bool key = false;            // the descriptor marks a key frame (the gate also reads the frame)
    bool non_reference = false;  // nothing refers to this frame (VP8's N bit)
    bool layered = false;        // temporal_id and layer_sync are given
    uint8_t temporal_id = 0;     // 0: the base layer
    bool layer_sync = false;     // refers to the base layer only (VP8's Y bit)
    bool has_tl0 = false;        // tl0_pic_idx is given
    uint8_t tl0_pic_idx = 0;     // counts base-layer frames, wrapping at 256
    uint8_t picture_id_bits = 0;  // 0: no picture id; 7 or 15 for VP8, 15 for VP9
    uint16_t picture_id = 0;      // counts frames, wrapping at 2^picture_id_bits
};

// Reads the descriptor of one RTP packet of the codec into `out` (left as it is for what the
// descriptor does not say); false when the packet carries none.
using FrameLayersReader = bool (*)(const uint8_t* packet, size_t size, FrameLayers* out);

class FrameDeps {
public:
    static constexpr int kLayers = 4;
    // The most frames a picture id gap counts as lost; a longer one is a jump (a restarted
    // sender), counted as one loss of unknown reach.
    static constexpr uint32_t kMaxCounted = 64;

    // A frame that did not arrive whole; `seen` is what its packets that came said (may be null).
    void lost(const FrameLayers* seen);

    struct Decision {
        bool write;
        uint32_t lost_before;  // frames lost with every packet before this one (counted here)
    };
    // A frame that arrived whole. `key`: it is a key frame; `gap_before`: the packet sequence had a
    // gap since the last frame. A gap that held no frame (a lost FEC packet or probe) is no loss.
    Decision whole(const FrameLayers& f, bool key, bool gap_before);

private:
    void broken_by(const FrameLayers* f);
    void count_from(const FrameLayers& f);

    bool broken_[kLayers] = {};
    bool need_key_ = false;       // a loss of unknown reach: only a key frame mends it
    bool dropped_since_ = false;  // lost() since the last whole frame
    // The last frame counted (whole or lost with a record): where picture ids count on from.
    uint8_t last_bits_ = 0;
    uint16_t last_id_ = 0;
    bool last_has_tl0_ = false;
    uint8_t last_tl0_ = 0;
};
