#include "vp9_unpack.h"

#include <cstdlib>
#include <cstring>

#include "bit_reader.h"
#include "codec_unpack.h"

namespace {

using codec_unpack::kEinval;
using codec_unpack::kTaken;
using codec_unpack::put;
constexpr int kMaxLayerFrames = 8;

//  +-+-+-+-+-+-+-+-+
//  |I|P|L|F|B|E|V|Z| (REQUIRED)
//  +-+-+-+-+-+-+-+-+
//  |M| PICTURE ID  | (I; M: a second byte follows)
//  |TID|U| SID |D  | (L)
//  |   TL0PICIDX   | (L and F=0)
//  |  P_DIFF     |N| (F and P: up to 3)
//  |  SS ...       | (V)
struct Vp9Unpack {
    rtp_payload_helper_t* helper;
    int starts[kMaxLayerFrames];  // where each layer frame of the picture begins in the buffer
    int layers;
};

// Appends the superframe index (VP9 bitstream annex B) when the picture has more than one layer
// frame: a marker byte 0b110 SS FFF, the sizes in SS+1 little-endian bytes each, the marker again.
void close_superframe(Vp9Unpack* u) {
    rtp_payload_helper_t* h = u->helper;
    const int n = u->layers;
    u->layers = 0;
    if (n < 2 || h->size == 0 || h->lost) return;
    int sizes[kMaxLayerFrames];
    int largest = 0;
    for (int i = 0; i < n; ++i) {
        sizes[i] = (i + 1 < n ? u->starts[i + 1] : h->size) - u->starts[i];
        if (sizes[i] > largest) largest = sizes[i];
    }
    const int mag = largest < (1 << 8) ? 1 : largest < (1 << 16) ? 2 : largest < (1 << 24) ? 3 : 4;
    uint8_t index[2 + kMaxLayerFrames * 4];
    const uint8_t marker = static_cast<uint8_t>(0xC0 | ((mag - 1) << 3) | (n - 1));
    int k = 0;
    index[k++] = marker;
    for (int i = 0; i < n; ++i)
        for (int b = 0; b < mag; ++b) index[k++] = static_cast<uint8_t>(sizes[i] >> (8 * b));
    index[k++] = marker;
    put(h, index, static_cast<size_t>(k));
}

void end_picture(Vp9Unpack* u) {
    close_superframe(u);
    rtp_payload_onframe(u->helper);
}

int decode(void* instance, const void* packet, int bytes) {
    auto* u = static_cast<Vp9Unpack*>(instance);
    codec_unpack::Packet in;
    if (!u || !codec_unpack::read(u->helper, packet, bytes, &in)) return kEinval;
    rtp_payload_helper_t* h = u->helper;
    // A timestamp change ended the picture inside the helper; its layer count goes with it.
    if (in.new_timestamp) u->layers = 0;
    const uint8_t* p = in.payload;
    Vp9Descriptor d;
    if (!vp9_descriptor(p, in.size, &d)) {
        h->lost = 1;  // its data cannot be placed
        if (in.rtp.rtp.m) end_picture(u);
        return kTaken;
    }
    if (d.b) {
        if (h->size > 0 && u->layers == 0) {
            // A layer frame begins after data whose start was never seen: the picture cannot be
            // trusted (its first packet was lost), but this layer frame may be a new picture.
            rtp_payload_onframe(h);
        }
        if (u->layers < kMaxLayerFrames)
            u->starts[u->layers++] = h->size;
        else
            h->lost = 1;
    } else if (u->layers == 0) {
        h->lost = 1;  // the beginning of this layer frame was lost
    }
    put(h, p + d.size, in.size - d.size);
    if (in.rtp.rtp.m) end_picture(u);
    return kTaken;
}

}  // namespace

bool vp9_descriptor(const uint8_t* p, size_t n, Vp9Descriptor* d) {
    if (n < 1) return false;
    const uint8_t b0 = p[0];
    d->i = b0 & 0x80;
    d->p = b0 & 0x40;
    d->l = b0 & 0x20;
    d->f = b0 & 0x10;
    d->b = b0 & 0x08;
    d->e = b0 & 0x04;
    d->v = b0 & 0x02;
    d->z = b0 & 0x01;
    size_t k = 1;
    if (d->i) {
        if (k >= n) return false;
        if (p[k] & 0x80) {
            if (k + 1 >= n) return false;
            d->picture_id = ((p[k] & 0x7F) << 8) | p[k + 1];
            d->picture_id_bits = 15;
            k += 2;
        } else {
            d->picture_id = p[k++];
            d->picture_id_bits = 7;
        }
    }
    if (d->l) {
        if (k >= n) return false;
        d->tid = p[k] >> 5;
        d->u = p[k] & 0x10;
        d->sid = (p[k] >> 1) & 0x07;
        d->d = p[k] & 0x01;
        ++k;
        if (!d->f) {
            if (k >= n) return false;
            d->tl0picidx = p[k++];
        }
    }
    if (d->f && d->p) {
        bool more = true;
        while (more) {
            if (k >= n || d->p_diffs == 3) return false;
            d->p_diff[d->p_diffs++] = p[k] >> 1;
            more = p[k] & 0x01;
            ++k;
        }
    }
    if (d->v) {
        //  |N_S|Y|G|-|-|-|, Y: N_S+1 x (WIDTH, HEIGHT), G: N_G, N_G x (|TID|U| R |-|-|, R P_DIFFs)
        if (k >= n) return false;
        const int layers = (p[k] >> 5) + 1;
        const bool y = p[k] & 0x10;
        const bool g = p[k] & 0x08;
        ++k;
        if (y) {
            if (n - k < static_cast<size_t>(4 * layers)) return false;
            for (int s = 0; s < layers; ++s, k += 4) {
                d->width = (p[k] << 8) | p[k + 1];
                d->height = (p[k + 2] << 8) | p[k + 3];
            }
        }
        if (g) {
            if (k >= n) return false;
            const int groups = p[k++];
            for (int i = 0; i < groups; ++i) {
                if (k >= n) return false;
                const size_t r = (p[k] >> 2) & 0x03;
                ++k;
                if (n - k < r) return false;
                k += r;
            }
        }
    }
    d->size = k;
    return k <= n;
}

const rtp_unpacker_t* rtp_vp9_decode() {
    static const rtp_unpacker_t unpacker = {codec_unpack::create<Vp9Unpack>,
                                            codec_unpack::destroy<Vp9Unpack>, decode};
    return &unpacker;
}

namespace {

// The uncompressed header up to the frame size (VP9 bitstream 6.2); false when it is no key frame.
bool read_key_header(const uint8_t* frame, size_t size, int* width, int* height) {
    if (!frame || size < 4) return false;
    BitReader r(frame, size);
    if (r.bits(2) != 2) return false;  // frame_marker
    const uint32_t low = r.bit();
    const uint32_t profile = (r.bit() << 1) | low;
    if (profile == 3 && r.bit() != 0) return false;
    if (r.bit() != 0) return false;  // show_existing_frame
    if (r.bit() != 0) return false;  // frame_type: KEY_FRAME is 0
    r.bits(2);                       // show_frame, error_resilient_mode
    if (r.bits(24) != 0x498342) return false;
    if (profile >= 2) r.bit();  // ten_or_twelve_bit
    const uint32_t color_space = r.bits(3);
    if (color_space != 7) {  // not CS_RGB
        r.bit();             // color_range
        if (profile == 1 || profile == 3) r.bits(3);
    } else if (profile == 1 || profile == 3) {
        r.bit();
    }
    const int w = static_cast<int>(r.bits(16)) + 1;
    const int h = static_cast<int>(r.bits(16)) + 1;
    if (!r.ok()) return false;
    if (width) *width = w;
    if (height) *height = h;
    return true;
}

}  // namespace

bool vp9_key_frame(const uint8_t* frame, size_t size) {
    return read_key_header(frame, size, nullptr, nullptr);
}

bool vp9_frame_size(const uint8_t* frame, size_t size, int* width, int* height) {
    return read_key_header(frame, size, width, height);
}
