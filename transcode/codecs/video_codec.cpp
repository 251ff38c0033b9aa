#include "video_codec.h"

#include <strings.h>

#include "av1_unpack.h"
#include "h264_unpack.h"
#include "keyframe_gate.h"
#include "vp8_layers.h"
#include "vp8_unpack.h"
#include "vp9_layers.h"
#include "vp9_unpack.h"

const char* codec_name(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::vp8:
            return "VP8";
        case VideoCodec::vp9:
            return "VP9";
        case VideoCodec::av1:
            return "AV1";
        case VideoCodec::h264:
            return "H264";
        default:
            return "unknown";
    }
}

VideoCodec codec_of_sdp_name(const char* name) {
    if (!name) return VideoCodec::unknown;
    if (strcasecmp(name, "VP8") == 0) return VideoCodec::vp8;
    if (strcasecmp(name, "VP9") == 0) return VideoCodec::vp9;
    if (strcasecmp(name, "AV1") == 0 || strcasecmp(name, "AV1X") == 0) return VideoCodec::av1;
    if (strcasecmp(name, "H264") == 0) return VideoCodec::h264;
    return VideoCodec::unknown;
}

const rtp_unpacker_t* codec_unpacker(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::vp8:
            return rtp_vp8_decode();
        case VideoCodec::vp9:
            return rtp_vp9_decode();
        case VideoCodec::av1:
            return rtp_av1_decode();
        case VideoCodec::h264:
            return rtp_h264_decode();
        default:
            return nullptr;
    }
}

bool codec_key_frame(VideoCodec codec, const uint8_t* frame, int size) {
    if (!frame || size <= 0) return false;
    const size_t n = static_cast<size_t>(size);
    switch (codec) {
        case VideoCodec::vp8:
            return KeyframeGate::is_key_frame(frame, size);
        case VideoCodec::vp9:
            return vp9_key_frame(frame, n);
        case VideoCodec::av1:
            return av1_key_frame(frame, n);
        case VideoCodec::h264:
            return h264_key_frame(frame, n);
        default:
            return false;
    }
}

namespace {
template <VideoCodec C>
bool key_of(const uint8_t* frame, int size) {
    return codec_key_frame(C, frame, size);
}
}  // namespace

bool (*codec_key_test(VideoCodec codec))(const uint8_t* frame, int size) {
    switch (codec) {
        case VideoCodec::vp9:
            return key_of<VideoCodec::vp9>;
        case VideoCodec::av1:
            return key_of<VideoCodec::av1>;
        case VideoCodec::h264:
            return key_of<VideoCodec::h264>;
        default:
            return key_of<VideoCodec::vp8>;
    }
}

FrameLayersReader codec_layers_reader(VideoCodec codec) {
    if (codec == VideoCodec::vp8) return vp8_frame_layers;
    if (codec == VideoCodec::vp9) return vp9_frame_layers;
    return nullptr;
}

namespace codec_structure {

// VP8 (RFC 7741 4.2): the two R bits of the first byte and the RSV bits of the X byte are zero;
// a key frame's first packet (S, partition 0) holds a frame tag with the key bit clear and the
// start code 9d 01 2a.
size_t vp8_descriptor_size(const uint8_t* p, size_t n, bool* ok) {
    *ok = n >= 1 && (p[0] & 0x48) == 0;
    if (!*ok) return 0;
    size_t k = 1;
    if (p[0] & 0x80) {
        if (k >= n || (p[k] & 0x0F) != 0) return *ok = false, 0;
        const uint8_t x = p[k++];
        if (x & 0x80) {
            if (k >= n) return *ok = false, 0;
            k += (p[k] & 0x80) ? 2 : 1;
        }
        if (x & 0x40) ++k;
        if (x & 0x30) ++k;
    }
    if (k > n) *ok = false;
    return k;
}

bool vp8_fits(const uint8_t* p, size_t n) {
    bool ok = false;
    vp8_descriptor_size(p, n, &ok);
    return ok;
}

bool vp8_key_start(const uint8_t* p, size_t n) {
    bool ok = false;
    const size_t k = vp8_descriptor_size(p, n, &ok);
    return ok && (p[0] & 0x17) == 0x10 &&
           KeyframeGate::is_key_frame(p + k, static_cast<int>(n - k));
}

// VP9 (RFC 9628): the descriptor parses, some data follows it, and a packet that begins a layer
// frame (B) begins with the frame marker 0b10 of an uncompressed header.
bool vp9_fits(const uint8_t* p, size_t n) {
    Vp9Descriptor d;
    if (!vp9_descriptor(p, n, &d) || d.size >= n) return false;
    if (d.v && !d.b) return false;  // the scalability structure rides on a layer frame's start
    return !d.b || (p[d.size] & 0xC0) == 0x80;
}

bool vp9_key_start(const uint8_t* p, size_t n) {
    Vp9Descriptor d;
    return vp9_fits(p, n) && vp9_descriptor(p, n, &d) && d.b && !d.p &&
           vp9_key_frame(p + d.size, n - d.size);
}

// AV1: the aggregation header's three reserved bits are zero, the element lengths add up, and an
// element that starts an OBU has a valid OBU header (forbidden and reserved bits zero).
bool av1_elements(const uint8_t* p, size_t n, bool* seq_first) {
    if (n < 2 || (p[0] & 0x07) != 0) return false;
    const bool z = p[0] & 0x80;
    const unsigned w = (p[0] >> 4) & 0x03;
    size_t k = 1;
    for (unsigned i = 0; k < n; ++i) {
        size_t len = n - k;
        if (w == 0 || i + 1 < w) {
            uint64_t v = 0;
            const size_t t = av1_leb128(p + k, n - k, &v);
            if (t == 0 || v > n - k - t || v == 0) return false;
            k += t;
            len = static_cast<size_t>(v);
        }
        if (!(i == 0 && z)) {
            const uint8_t h = p[k];
            const uint8_t type = (h >> 3) & 0x0F;
            if ((h & 0x81) != 0 || type == 0 || (type > 8 && type != 15)) return false;
            if (i == 0 && seq_first) *seq_first = type == 1;
        }
        k += len;
        if (w != 0 && i + 1 == w) break;
    }
    return k == n;
}

bool av1_fits(const uint8_t* p, size_t n) {
    return av1_elements(p, n, nullptr);
}

bool av1_key_start(const uint8_t* p, size_t n) {
    bool seq = false;
    // N: the first packet of a coded video sequence, which opens with its sequence header.
    return n >= 1 && (p[0] & 0x88) == 0x08 && av1_elements(p, n, &seq) && seq;
}

// H.264 (RFC 6184): forbidden bit zero and a NAL unit type of modes 0 and 1 (1-23, STAP-A,
// FU-A), STAP-A sizes that add up, an FU header with R clear and not both S and E.
bool h264_fits(const uint8_t* p, size_t n) {
    if (n < 2 || (p[0] & 0x80)) return false;
    const uint8_t type = p[0] & 0x1F;
    if (type >= 1 && type <= 23) return true;
    if (type == 24) {
        size_t k = 1;
        while (k + 2 <= n) {
            const size_t len = (size_t{p[k]} << 8) | p[k + 1];
            if (len == 0 || len > n - k - 2 || (p[k + 2] & 0x80)) return false;
            k += 2 + len;
        }
        return k == n;
    }
    if (type == 28)
        return (p[1] & 0x20) == 0 && (p[1] & 0xC0) != 0xC0 && (p[1] & 0x1F) >= 1 &&
               (p[1] & 0x1F) <= 23;
    return false;
}

bool h264_sps(const uint8_t* p, size_t n) {
    if (n < 4 || (p[0] & 0x9F) != 7) return false;
    switch (p[1]) {  // profile_idc
        case 66:
        case 77:
        case 88:
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            return true;
        default:
            return false;
    }
}

bool h264_key_start(const uint8_t* p, size_t n) {
    if (!h264_fits(p, n)) return false;
    if ((p[0] & 0x1F) == 24) return n > 3 && h264_sps(p + 3, n - 3);
    return h264_sps(p, n);
}

}  // namespace codec_structure

bool CodecDetector::see(const uint8_t* p, size_t n) {
    using namespace codec_structure;
    if (decided_) return true;
    if (!p || n == 0) return false;  // a probe or FEC placeholder says nothing
    ++seen_;
    bool (*const fits[5])(const uint8_t*, size_t) = {nullptr, vp8_fits, vp9_fits, av1_fits,
                                                     h264_fits};
    bool (*const key[5])(const uint8_t*, size_t) = {nullptr, vp8_key_start, vp9_key_start,
                                                    av1_key_start, h264_key_start};
    int keys = 0, which = 0, left = 0;
    for (int c = 1; c < 5; ++c) {
        if (fits_[c] && !fits[c](p, n)) fits_[c] = false;
        if (!fits_[c]) continue;
        ++left;
        if (key[c](p, n)) {
            ++keys;
            which = c;
        }
    }
    if (keys == 1) {
        codec_ = static_cast<VideoCodec>(which);
        decided_ = keyed_ = true;
    } else if (left == 0) {
        decided_ = true;  // unknown
    } else if (seen_ >= kEnough) {
        settle();
    }
    return decided_;
}

VideoCodec CodecDetector::settle() {
    if (decided_) return codec_;
    decided_ = true;
    if (fits_[1]) return codec_ = VideoCodec::vp8;
    int left = 0, which = 0;
    for (int c = 2; c < 5; ++c)
        if (fits_[c]) ++left, which = c;
    codec_ = left == 1 ? static_cast<VideoCodec>(which) : VideoCodec::unknown;
    return codec_;
}
