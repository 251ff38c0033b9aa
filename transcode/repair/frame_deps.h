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
// - a switching-up point of layer t (VP9's U bit) that decodes makes the layers above t whole: the
//   frames above it refer to nothing older in those layers.
// Frames lost with every packet leave no record: the picture ids tell how many are missing, the
// TL0PICIDX whether one of them was in the base layer; the others are taken for the lowest upper
// layer. Without layer information, or without picture ids to count by, any loss waits for the next
// key frame, as a receiver that cannot tell must.
//
// A frame that lists its references exactly (VP9's flexible mode: the P_DIFFs; AV1's dependency
// descriptor: the frame diffs) follows them instead: it decodes when every frame it refers to was
// written, whatever its layer. A frame lost whole was never written, so what refers to it waits; a
// reference too old to be remembered counts as missing.
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
    uint8_t picture_id_bits = 0;  // 0: no picture id; 7 or 15 (VP8, VP9), 16 (AV1 frame number)
    uint16_t picture_id = 0;      // counts frames, wrapping at 2^picture_id_bits
    bool switch_up = false;       // VP9's U: the layers above refer to nothing before this frame
    // The layer frames of one picture say different things (spatial layers): the reader is given
    // every packet of the frame, to add what each says.
    bool per_packet = false;

    // Exact references, in the picture ids' count: the picture's own frames (one picture id for
    // VP9, a frame number per layer frame for AV1) and the frames outside it that it refers to.
    static constexpr int kMaxIds = 8, kMaxRefs = 24;
    bool exact = false;
    uint8_t ids = 0, refs = 0;
    uint16_t id[kMaxIds] = {};
    uint16_t ref[kMaxRefs] = {};

    // Adds an own frame id / a reference (one to the picture's own frames is no reference);
    // a list that overflows leaves the record inexact.
    void add_id(uint16_t v);
    void add_ref(uint16_t v);
};

// Reads the descriptor of one RTP packet of the codec into `out`: a fresh record for the first
// packet of a frame, or, when the reader set `per_packet`, the record the frame's earlier packets
// filled, to add to. False when the packet carries none.
using FrameLayersReader = bool (*)(const uint8_t* packet, size_t size, FrameLayers* out);

// The same for a reader that keeps state between packets (AV1's dependency descriptor: the
// template structure a key frame's packet carries, and the extension's id).
struct LayersReader {
    bool (*read)(void* state, const uint8_t* packet, size_t size, FrameLayers* out) = nullptr;
    void* state = nullptr;
};

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
    bool refs_written(const FrameLayers& f) const;
    void remember(const FrameLayers& f, bool written);

    // Which recent frames were written, by id (exact references): slot id % kRemembered.
    static constexpr int kRemembered = 256;
    struct Remembered {
        bool valid = false;
        bool written = false;
        uint16_t id = 0;
    };
    Remembered remembered_[kRemembered];

    bool broken_[kLayers] = {};
    bool need_key_ = false;       // a loss of unknown reach: only a key frame mends it
    bool dropped_since_ = false;  // lost() since the last whole frame
    // The last frame counted (whole or lost with a record): where picture ids count on from.
    uint8_t last_bits_ = 0;
    uint16_t last_id_ = 0;
    bool last_has_tl0_ = false;
    uint8_t last_tl0_ = 0;
};
