// Reads AV1's dependency descriptor, the RTP header extension of the AV1 payload format's appendix
// A, for the dependency rule (frame_deps.h). Each packet's descriptor names its frame (a 16-bit
// frame number) and a frame dependency template; the template dependency structure, carried now and
// then (with key frames), gives each template its spatial and temporal layer and its frame diffs:
// the frame refers to the frames whose numbers are its own less each diff. A descriptor may also
// give its own diffs (custom fdiffs). Decode target indications and chains are read past; the rule
// needs only the references.
//
// The extension's id comes from the SDP (a=extmap with the descriptor's URI); without it, or before
// a structure has been read, packets say nothing and a loss waits for the next key frame, as it
// always did.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame_deps.h"

// The template dependency structure in force.
struct DdStructure {
    static constexpr int kMaxTemplates = 64, kMaxFdiffs = 16;
    bool valid = false;
    uint8_t template_id_offset = 0;
    uint8_t decode_targets = 0;  // DtCnt
    uint8_t chains = 0;
    uint8_t templates = 0;
    uint8_t spatial_id[kMaxTemplates] = {};
    uint8_t temporal_id[kMaxTemplates] = {};
    uint8_t fdiffs[kMaxTemplates] = {};
    uint8_t fdiff[kMaxTemplates][kMaxFdiffs] = {};
};

// What one descriptor says about its frame.
struct DdFrame {
    bool start_of_frame = false, end_of_frame = false;
    bool structure_present = false;
    uint8_t template_id = 0;
    uint16_t frame_number = 0;
    uint8_t spatial_id = 0, temporal_id = 0;
    uint8_t fdiffs = 0;
    uint16_t fdiff[DdStructure::kMaxFdiffs] = {};
};

// Reads one descriptor of `n` bytes with `structure` the one in force; a structure it carries
// replaces that one (and a malformed one leaves none). False when it is malformed or names a
// template the structure does not have.
bool av1_dependency_descriptor(const uint8_t* p, size_t n, DdStructure* structure, DdFrame* out);

// The reader's state, one per stream: the extension id (0: none) and the structure in force.
struct Av1LayersState {
    uint8_t extension_id = 0;
    DdStructure structure;
};

// A FrameLayersReader with state: `state` is an Av1LayersState.
bool av1_frame_layers(void* state, const uint8_t* packet, size_t size, FrameLayers* out);
