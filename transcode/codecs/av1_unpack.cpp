#include "av1_unpack.h"

#include <cstdlib>
#include <cstring>

#include "bit_reader.h"
#include "codec_unpack.h"

namespace {

using codec_unpack::kEinval;
using codec_unpack::kTaken;
using codec_unpack::put;

constexpr uint8_t kObuSequenceHeader = 1, kObuTemporalDelimiter = 2, kObuFrameHeader = 3,
                  kObuFrame = 6, kObuTileList = 8;
constexpr uint8_t kTemporalDelimiter[2] = {0x12, 0x00};

struct Av1Unpack {
    rtp_payload_helper_t* helper;
    uint8_t* fragment;  // an OBU begun in an earlier packet (Y), owned
    size_t fragment_size, fragment_cap;
    bool fragment_open;
    bool tu_open;  // the temporal delimiter of the unit being assembled is written
    // The usual fragmented OBU (no size field of its own) goes straight into the frame instead of
    // `fragment`: its header first, then room for its size field, then each piece as it comes.
    // The room is the size field's length of the last such OBU, so that the payload rarely has to
    // move once the size is known.
    bool direct;
    int size_at, payload_at;
    uint8_t size_room;
};

// The minimal LEB128 form of `v` (what the OBU size field holds); its length.
size_t leb128_put(uint64_t v, uint8_t* out) {
    size_t k = 0;
    do {
        uint8_t byte = v & 0x7F;
        v >>= 7;
        if (v) byte |= 0x80;
        out[k++] = byte;
    } while (v);
    return k;
}

void open_tu(Av1Unpack* u) {
    if (u->tu_open) return;
    put(u->helper, kTemporalDelimiter, sizeof(kTemporalDelimiter));
    u->tu_open = true;
}

// One whole OBU as it came (header, optional extension, payload; a size field only when
// obu_has_size_field is set), written with its size field.
void put_obu(Av1Unpack* u, const uint8_t* p, size_t n) {
    if (n == 0) return;
    const uint8_t header = p[0];
    const uint8_t type = (header >> 3) & 0x0F;
    if ((header & 0x80) != 0) {
        u->helper->lost = 1;  // forbidden bit
        return;
    }
    if (type == kObuTemporalDelimiter || type == kObuTileList) return;
    const size_t head = (header & 0x04) ? 2 : 1;
    if (n < head) {
        u->helper->lost = 1;
        return;
    }
    size_t payload = n - head;
    const uint8_t* body = p + head;
    if (header & 0x02) {  // it has its size field already: keep what it says
        uint64_t size = 0;
        const size_t k = av1_leb128(body, payload, &size);
        if (k == 0 || size > payload - k) {
            u->helper->lost = 1;
            return;
        }
        body += k;
        payload = static_cast<size_t>(size);
    }
    open_tu(u);
    uint8_t out[2 + 10];
    out[0] = static_cast<uint8_t>(header | 0x02);
    size_t k = 1;
    if (head == 2) out[k++] = p[1];
    k += leb128_put(payload, out + k);
    codec_unpack::put2(u->helper, out, k, body, payload);
}

// The first piece of a fragmented OBU, written into the frame when it is the usual kind (a whole
// header, no size field of its own, one that is kept); false leaves it to `fragment`.
bool begin_direct(Av1Unpack* u, const uint8_t* p, size_t n) {
    if (n == 0) return false;
    const uint8_t header = p[0];
    const uint8_t type = (header >> 3) & 0x0F;
    const size_t head = (header & 0x04) ? 2 : 1;
    if ((header & 0x82) != 0 || type == kObuTemporalDelimiter || type == kObuTileList || n < head)
        return false;
    rtp_payload_helper_t* h = u->helper;
    open_tu(u);
    if (u->size_room == 0) u->size_room = 2;
    // The header with its size field flag, the room (written when the size is known), the piece.
    uint8_t out[2 + 8] = {static_cast<uint8_t>(header | 0x02), head == 2 ? p[1] : uint8_t{0}};
    u->size_at = h->size + static_cast<int>(head);
    u->payload_at = u->size_at + u->size_room;
    codec_unpack::put2(h, out, head + u->size_room, p + head, n - head);
    return true;
}

// The OBU begun by begin_direct is whole: its size field goes into the room left for it.
void end_direct(Av1Unpack* u) {
    rtp_payload_helper_t* h = u->helper;
    if (h->lost) return;  // the unit is not delivered; the buffer may lack a piece
    const size_t payload = static_cast<size_t>(h->size - u->payload_at);
    uint8_t field[10];
    const size_t k = leb128_put(payload, field);
    if (k != u->size_room) {
        if (k > u->size_room) {
            static const uint8_t kMore[8] = {};
            put(h, kMore, k - u->size_room);
            if (h->lost) return;
        }
        memmove(h->buffer + u->size_at + k, h->buffer + u->payload_at, payload);
        h->size = u->size_at + static_cast<int>(k + payload);
        u->size_room = static_cast<uint8_t>(k);
    }
    memcpy(h->buffer + u->size_at, field, k);
}

void close_fragment(Av1Unpack* u) {
    u->fragment_open = false;
    u->fragment_size = 0;
    u->direct = false;
}

void release(Av1Unpack* u) {
    free(u->fragment);
}

bool fragment_append(Av1Unpack* u, const uint8_t* p, size_t n) {
    // An empty piece adds nothing; before the first real one the buffer is not even allocated.
    if (n == 0) return true;
    if (u->fragment_size + n > static_cast<size_t>(RTP_PAYLOAD_MAX_SIZE)) return false;
    if (u->fragment_size + n > u->fragment_cap) {
        const size_t cap = (u->fragment_size + n) * 2;
        auto* grown = static_cast<uint8_t*>(realloc(u->fragment, cap));
        if (!grown) return false;
        u->fragment = grown;
        u->fragment_cap = cap;
    }
    memcpy(u->fragment + u->fragment_size, p, n);
    u->fragment_size += n;
    return true;
}

void end_tu(Av1Unpack* u) {
    rtp_payload_onframe(u->helper);
    u->tu_open = false;
}

int decode(void* instance, const void* packet, int bytes) {
    auto* u = static_cast<Av1Unpack*>(instance);
    codec_unpack::Packet in;
    if (!u || !codec_unpack::read(u->helper, packet, bytes, &in, u->fragment_open && u->direct))
        return kEinval;
    rtp_payload_helper_t* h = u->helper;
    const bool gap = in.gap;
    if (in.new_timestamp) u->tu_open = false;
    const uint8_t* p = in.payload;
    const size_t n = in.size;
    const bool z = p[0] & 0x80;
    const bool y = p[0] & 0x40;
    const unsigned w = (p[0] >> 4) & 0x03;
    // A fragment goes on only in the very next packet, which must say it continues one.
    // (Never across temporal units: the frame it was written into has ended.)
    const bool continues = z && u->fragment_open && !gap && !in.new_timestamp;
    if (!continues) {
        if (u->fragment_open || z) h->lost = 1;
        close_fragment(u);
    }
    size_t k = 1;
    for (unsigned i = 0; k < n; ++i) {
        size_t len = n - k;
        if (w == 0 || i + 1 < w) {
            uint64_t v = 0;
            const size_t taken = av1_leb128(p + k, n - k, &v);
            if (taken == 0 || v > n - k - taken) {
                h->lost = 1;
                break;
            }
            k += taken;
            len = static_cast<size_t>(v);
        }
        const bool first = i == 0, last = k + len >= n || (w != 0 && i + 1 == w);
        const uint8_t* element = p + k;
        k += len;
        if (first && z) {
            if (!continues) continue;  // the rest of an OBU whose start is lost
            if (u->direct)
                put(h, element, len);
            else if (!fragment_append(u, element, len))
                h->lost = 1;
            if (last && y) break;  // still not whole
            if (u->direct)
                end_direct(u);
            else
                put_obu(u, u->fragment, u->fragment_size);
            close_fragment(u);
            continue;
        }
        if (last && y) {
            u->fragment_size = 0;
            u->direct = begin_direct(u, element, len);
            u->fragment_open = u->direct || fragment_append(u, element, len);
            if (!u->fragment_open) h->lost = 1;
            break;
        }
        put_obu(u, element, len);
        if (w != 0 && i + 1 == w) break;
    }
    if (in.rtp.rtp.m) {
        if (u->fragment_open) h->lost = 1;  // a temporal unit cannot end inside an OBU
        close_fragment(u);
        end_tu(u);
    }
    return kTaken;
}

// Calls f(type, obu, obu_size, payload, payload_size) for each OBU of a temporal unit written by
// this unit (every OBU has its size field); false when one does not fit.
template <typename F>
bool each_obu(const uint8_t* p, size_t n, F f) {
    size_t k = 0;
    while (k < n) {
        const uint8_t header = p[k];
        const size_t head = (header & 0x04) ? 2 : 1;
        if (!(header & 0x02) || n - k < head) return false;
        uint64_t size = 0;
        const size_t taken = av1_leb128(p + k + head, n - k - head, &size);
        if (taken == 0 || size > n - k - head - taken) return false;
        const size_t total = head + taken + static_cast<size_t>(size);
        if (!f((header >> 3) & 0x0F, p + k, total, p + k + head + taken, static_cast<size_t>(size)))
            return true;
        k += total;
    }
    return true;
}

}  // namespace

size_t av1_leb128(const uint8_t* p, size_t n, uint64_t* value) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8 && i < n; ++i) {
        v |= uint64_t{p[i] & 0x7Fu} << (7 * i);
        if (!(p[i] & 0x80)) {
            *value = v;
            return i + 1;
        }
    }
    return 0;
}

const rtp_unpacker_t* rtp_av1_decode() {
    static const rtp_unpacker_t unpacker = {codec_unpack::create<Av1Unpack>,
                                            codec_unpack::destroy<Av1Unpack, release>, decode};
    return &unpacker;
}

bool av1_key_frame(const uint8_t* frame, size_t size) {
    if (!frame) return false;
    bool seq = false, key = false, frame_seen = false;
    each_obu(frame, size, [&](uint8_t type, const uint8_t*, size_t, const uint8_t* body, size_t n) {
        if (type == kObuSequenceHeader) {
            seq = true;
            // reduced_still_picture_header: every frame is a key frame
            if (n >= 1 && (body[0] & 0x08)) key = frame_seen = true;
        }
        if ((type == kObuFrame || type == kObuFrameHeader) && !frame_seen) {
            frame_seen = true;
            // show_existing_frame (1 bit) = 0, frame_type (2 bits) = KEY_FRAME (0)
            key = n >= 1 && (body[0] & 0xE0) == 0;
        }
        return !frame_seen || !seq;
    });
    return seq && key;
}

bool av1_sequence_header(const uint8_t* frame, size_t size, const uint8_t** obu, size_t* obu_size) {
    bool found = false;
    if (!frame) return false;
    each_obu(frame, size, [&](uint8_t type, const uint8_t* o, size_t n, const uint8_t*, size_t) {
        if (type != kObuSequenceHeader) return true;
        *obu = o;
        *obu_size = n;
        found = true;
        return false;
    });
    return found;
}

bool av1_frame_size(const uint8_t* frame, size_t size, int* width, int* height) {
    const uint8_t* obu = nullptr;
    size_t n = 0;
    if (!av1_sequence_header(frame, size, &obu, &n)) return false;
    // The payload after the header, the extension byte and the size field.
    const size_t head = (obu[0] & 0x04) ? 2 : 1;
    uint64_t len = 0;
    const size_t taken = av1_leb128(obu + head, n - head, &len);
    if (taken == 0) return false;
    BitReader r(obu + head + taken, static_cast<size_t>(len));
    r.bits(3);  // seq_profile
    r.bit();    // still_picture
    if (r.bit()) {
        r.bits(5);  // reduced_still_picture_header: seq_level_idx[0]
    } else {
        bool decoder_model = false;
        uint32_t delay_length = 0;
        if (r.bit()) {  // timing_info_present_flag
            r.bits(32);
            r.bits(32);
            if (r.bit()) {  // equal_picture_interval: num_ticks_per_picture_minus_1 as uvlc
                int zeros = 0;
                while (r.ok() && r.bit() == 0 && zeros < 32) ++zeros;
                if (zeros < 32) r.bits(zeros);
            }
            decoder_model = r.bit();
            if (decoder_model) {
                delay_length = r.bits(5) + 1;
                r.bits(32);
                r.bits(10);  // buffer_removal_time_length_minus_1, frame_presentation_...
            }
        }
        const bool display_delay = r.bit();
        const uint32_t points = r.bits(5) + 1;
        for (uint32_t i = 0; i < points && r.ok(); ++i) {
            r.bits(12);
            if (r.bits(5) > 7) r.bit();
            if (decoder_model && r.bit()) {
                r.bits(static_cast<int>(delay_length));
                r.bits(static_cast<int>(delay_length));
                r.bit();
            }
            if (display_delay && r.bit()) r.bits(4);
        }
    }
    const int wbits = static_cast<int>(r.bits(4)) + 1;
    const int hbits = static_cast<int>(r.bits(4)) + 1;
    const int w = static_cast<int>(r.bits(wbits)) + 1;
    const int h = static_cast<int>(r.bits(hbits)) + 1;
    if (!r.ok()) return false;
    *width = w;
    *height = h;
    return true;
}
