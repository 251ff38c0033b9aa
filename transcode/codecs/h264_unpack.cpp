#include "h264_unpack.h"

#include <cstdlib>
#include <cstring>

#include "bit_reader.h"
#include "codec_unpack.h"

namespace {

using codec_unpack::kEinval;
using codec_unpack::kTaken;
using codec_unpack::put;
using codec_unpack::put2;

constexpr uint8_t kIdr = 5, kSps = 7, kPps = 8, kStapA = 24, kFuA = 28;
// Parameter sets longer than this are not kept for repeating (real ones are tens of bytes).
constexpr size_t kMaxParamSet = 256;
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

struct ParamSet {
    uint8_t bytes[kMaxParamSet];
    size_t size;
};

struct H264Unpack {
    rtp_payload_helper_t* helper;
    ParamSet sps, pps;
    bool au_sps, au_pps, au_idr_done;  // what the access unit being assembled holds already
    bool in_fu;                        // a FU-A NAL unit is open
};

void end_au(H264Unpack* u) {
    rtp_payload_onframe(u->helper);
    u->au_sps = u->au_pps = u->au_idr_done = u->in_fu = false;
}

// The start of one NAL unit whose first bytes are `p`: before the first IDR slice of an access
// unit that lacks them, the kept SPS and PPS; then its start code and those bytes.
void begin_nal(H264Unpack* u, const uint8_t* p, size_t n) {
    const uint8_t header = p[0];
    const uint8_t type = header & 0x1F;
    if (type == kSps) u->au_sps = true;
    if (type == kPps) u->au_pps = true;
    if (type == kIdr && !u->au_idr_done) {
        u->au_idr_done = true;
        if (!u->au_sps && u->sps.size > 0)
            put2(u->helper, kStartCode, 4, u->sps.bytes, u->sps.size);
        if (!u->au_pps && u->pps.size > 0)
            put2(u->helper, kStartCode, 4, u->pps.bytes, u->pps.size);
    }
    put2(u->helper, kStartCode, 4, p, n);
}

void keep(ParamSet* set, const uint8_t* p, size_t n) {
    if (n > kMaxParamSet) return;
    memcpy(set->bytes, p, n);
    set->size = n;
}

// One whole NAL unit (a single NAL unit packet or an aggregation unit).
void whole_nal(H264Unpack* u, const uint8_t* p, size_t n) {
    if (n == 0) return;
    const uint8_t type = p[0] & 0x1F;
    if (type == kSps) keep(&u->sps, p, n);
    if (type == kPps) keep(&u->pps, p, n);
    begin_nal(u, p, n);
}

int decode(void* instance, const void* packet, int bytes) {
    auto* u = static_cast<H264Unpack*>(instance);
    codec_unpack::Packet in;
    if (!u || !codec_unpack::read(u->helper, packet, bytes, &in)) return kEinval;
    rtp_payload_helper_t* h = u->helper;
    if (in.new_timestamp) u->au_sps = u->au_pps = u->au_idr_done = u->in_fu = false;
    const uint8_t* p = in.payload;
    const size_t n = in.size;
    const uint8_t type = p[0] & 0x1F;
    if (p[0] & 0x80) {
        h->lost = 1;  // the forbidden bit: the sender says the unit is damaged
    } else if (type >= 1 && type <= 23) {
        u->in_fu = false;
        whole_nal(u, p, n);
    } else if (type == kStapA) {
        u->in_fu = false;
        size_t k = 1;
        while (k + 2 <= n) {
            const size_t len = (size_t{p[k]} << 8) | p[k + 1];
            k += 2;
            if (len > n - k) {
                h->lost = 1;
                break;
            }
            whole_nal(u, p + k, len);
            k += len;
        }
    } else if (type == kFuA && n >= 2) {
        const bool start = p[1] & 0x80;
        const bool end = p[1] & 0x40;
        if (start) {
            const uint8_t header = static_cast<uint8_t>((p[0] & 0xE0) | (p[1] & 0x1F));
            begin_nal(u, &header, 1);
            u->in_fu = true;
        } else if (!u->in_fu) {
            h->lost = 1;  // its start was lost
        }
        if (u->in_fu) put(u->helper, p + 2, n - 2);
        if (end) u->in_fu = false;
    } else {
        h->lost = 1;  // STAP-B, MTAP, FU-B and reserved types belong to modes we do not read
    }
    if (in.rtp.rtp.m) end_au(u);
    return kTaken;
}

bool has_nal_types(const uint8_t* frame, size_t size, bool* idr, bool* sps, bool* pps) {
    *idr = *sps = *pps = false;
    h264_each_nal(frame, size, [&](const uint8_t* nal, size_t n) {
        if (n == 0) return;
        const uint8_t type = nal[0] & 0x1F;
        *idr |= type == kIdr;
        *sps |= type == kSps;
        *pps |= type == kPps;
    });
    return *idr && *sps && *pps;
}

// An SPS's payload with its emulation prevention bytes removed (at most `cap` bytes).
size_t unescape(const uint8_t* p, size_t n, uint8_t* out, size_t cap) {
    size_t k = 0, zeros = 0;
    for (size_t i = 0; i < n && k < cap; ++i) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out[k++] = p[i];
    }
    return k;
}

bool sps_size(const uint8_t* nal, size_t n, int* width, int* height) {
    uint8_t rbsp[kMaxParamSet];
    const size_t len = unescape(nal + 1, n - 1, rbsp, sizeof(rbsp));
    BitReader r(rbsp, len);
    const uint32_t profile = r.bits(8);
    r.bits(16);  // constraint flags, level
    r.ue();      // seq_parameter_set_id
    uint32_t chroma = 1;
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
        profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
        profile == 139 || profile == 134 || profile == 135) {
        chroma = r.ue();
        if (chroma == 3) r.bit();
        r.ue();
        r.ue();
        r.bit();
        if (r.bit()) {  // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i) {
                if (!r.bit()) continue;
                int last = 8, next = 8;
                for (int j = 0; j < (i < 6 ? 16 : 64) && next != 0; ++j) {
                    // delta_scale is -128..127 in a valid stream; a damaged one may hold
                    // anything, so the sum is taken in 64 bits.
                    next = static_cast<int>((int64_t{last} + r.se() + 256) % 256);
                    if (next != 0) last = next;
                }
            }
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    const uint32_t poc_type = r.ue();
    if (poc_type == 0) {
        r.ue();
    } else if (poc_type == 1) {
        r.bit();
        r.se();
        r.se();
        const uint32_t cycle = r.ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle; ++i) r.se();
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    const uint32_t mbs_w = r.ue() + 1;
    const uint32_t map_h = r.ue() + 1;
    const uint32_t frame_mbs_only = r.bit();
    if (!frame_mbs_only) r.bit();
    r.bit();  // direct_8x8_inference_flag
    uint32_t crop[4] = {0, 0, 0, 0};
    if (r.bit())
        for (uint32_t& c : crop) c = r.ue();
    if (!r.ok() || mbs_w > 1024 || map_h > 1024) return false;
    const uint32_t unit_x = chroma == 0 || chroma == 3 ? 1 : 2;
    const uint32_t unit_y = (chroma == 1 ? 2 : 1) * (2 - frame_mbs_only);
    const int64_t w = int64_t{mbs_w} * 16 - int64_t{unit_x} * (crop[0] + crop[1]);
    const int64_t hgt =
        int64_t{map_h} * 16 * (2 - frame_mbs_only) - int64_t{unit_y} * (crop[2] + crop[3]);
    if (w <= 0 || hgt <= 0) return false;
    *width = static_cast<int>(w);
    *height = static_cast<int>(hgt);
    return true;
}

}  // namespace

const rtp_unpacker_t* rtp_h264_decode() {
    static const rtp_unpacker_t unpacker = {codec_unpack::create<H264Unpack>,
                                            codec_unpack::destroy<H264Unpack>, decode};
    return &unpacker;
}

bool h264_key_frame(const uint8_t* frame, size_t size) {
    bool idr, sps, pps;
    return frame && has_nal_types(frame, size, &idr, &sps, &pps);
}

bool h264_frame_size(const uint8_t* frame, size_t size, int* width, int* height) {
    bool found = false;
    if (!frame) return false;
    h264_each_nal(frame, size, [&](const uint8_t* nal, size_t n) {
        if (!found && n > 4 && (nal[0] & 0x1F) == kSps) found = sps_size(nal, n, width, height);
    });
    return found;
}
