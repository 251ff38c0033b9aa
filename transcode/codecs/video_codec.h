// The video codecs the converter knows: their names, depacketizers and key-frame rules, and how a
// stream's codec is told (from the SDP, else from the packets' structure).
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame_deps.h"
#include "rtp_payload.h"

enum class VideoCodec : uint8_t { unknown, vp8, vp9, av1, h264 };

// "VP8", "VP9", "AV1", "H264" or "unknown": the report's words.
const char* codec_name(VideoCodec codec);
// The codec an SDP a=rtpmap encoding name stands for (case-insensitive); unknown for any other.
VideoCodec codec_of_sdp_name(const char* name);
// The codec's depacketizer table; null for unknown.
const rtp_unpacker_t* codec_unpacker(VideoCodec codec);
// Whether a whole frame of the codec, as its depacketizer delivers it, decodes on its own.
bool codec_key_frame(VideoCodec codec, const uint8_t* frame, int size);
// The same as a plain function of one codec, for the key-frame gate.
bool (*codec_key_test(VideoCodec codec))(const uint8_t* frame, int size);
// The reader of the codec's layer information in each packet's payload descriptor, for the
// key-frame gate (VP8, VP9); null for the others (AV1's is in a header extension: av1_layers.h).
FrameLayersReader codec_layers_reader(VideoCodec codec);

// Tells a stream's codec from its RTP payloads, one packet at a time, without payload type
// numbers: every payload is checked against each codec's structure, and a codec stays a
// candidate while every payload fits it. A payload that can only be the start of a key frame of
// one remaining candidate decides; so does a single candidate after kEnough payloads.
class CodecDetector {
public:
    static constexpr unsigned kEnough = 512;
    // One RTP payload (after RED and RTX are undone); true once decided.
    bool see(const uint8_t* payload, size_t size);
    bool decided() const { return decided_; }
    VideoCodec codec() const { return codec_; }
    // The stream ended or enough was seen: VP8 when its structure still fits (what the converter
    // always assumed), else the single candidate left, else unknown.
    VideoCodec settle();
    unsigned seen() const { return seen_; }
    // Decided by a key frame's start (the strongest evidence), not by elimination.
    bool keyed() const { return keyed_; }

private:
    bool fits_[5] = {false, true, true, true, true};
    bool decided_ = false;
    VideoCodec codec_ = VideoCodec::unknown;
    unsigned seen_ = 0;
    bool keyed_ = false;
};

// Per-codec structure checks, used by the detector and the tests.
namespace codec_structure {
bool vp8_fits(const uint8_t* p, size_t n);
bool vp8_key_start(const uint8_t* p, size_t n);
bool vp9_fits(const uint8_t* p, size_t n);
bool vp9_key_start(const uint8_t* p, size_t n);
bool av1_fits(const uint8_t* p, size_t n);
bool av1_key_start(const uint8_t* p, size_t n);
bool h264_fits(const uint8_t* p, size_t n);
bool h264_key_start(const uint8_t* p, size_t n);
}  // namespace codec_structure
