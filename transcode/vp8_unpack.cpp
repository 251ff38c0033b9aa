#include "vp8_unpack.h"

#include <cstdint>

#include "rtp_packet.h"
#include "rtp_payload.h"

namespace {

constexpr int kEinval = -22;
constexpr int kTaken = 1;

// Some senders mark a packet type of their own with 121 in the video stream; it carries no VP8.

// VP8 payload descriptor (RFC 7741, section 4.2):
//
//        0 1 2 3 4 5 6 7
//       +-+-+-+-+-+-+-+-+
//       |X|R|N|S|R| PID | (REQUIRED)
//       +-+-+-+-+-+-+-+-+
//  X:   |I|L|T|K| RSV   | (OPTIONAL)
//       +-+-+-+-+-+-+-+-+
//  I:   |M| PictureID   | (OPTIONAL)
//       +-+-+-+-+-+-+-+-+
//  M:   | PictureID     | (OPTIONAL, second byte of a 15-bit id)
//       +-+-+-+-+-+-+-+-+
//  L:   |   TL0PICIDX   | (OPTIONAL)
//       +-+-+-+-+-+-+-+-+
//  T/K: |TID|Y| KEYIDX  | (OPTIONAL, one byte for either or both)
//       +-+-+-+-+-+-+-+-+
constexpr uint8_t kExtendedBit = 0x80;       // X
constexpr uint8_t kStartBit = 0x10;          // S
constexpr uint8_t kPictureIdBit = 0x80;      // I
constexpr uint8_t kTl0PicIdxBit = 0x40;      // L
constexpr uint8_t kTidBit = 0x20;            // T
constexpr uint8_t kKeyIdxBit = 0x10;         // K
constexpr uint8_t kLongPictureIdBit = 0x80;  // M

int rtp_decode_vp8(void* instance, const void* packet, int bytes) {
    auto* helper = static_cast<rtp_payload_helper_t*>(instance);
    if (!helper || !packet) return kEinval;

    rtp_packet_t pkt;
    if (rtp_packet_deserialize(&pkt, packet, bytes) != 0) return kEinval;
    if (pkt.payloadlen <= 0) return kEinval;
    if (pkt.rtp.pt == kRtpVp8RefusedPayloadType) return kEinval;

    rtp_payload_check(helper, &pkt);

    // Every optional byte is read only after checking that it lies inside the payload; a
    // descriptor cut short simply leaves no VP8 data.
    const uint8_t* pos = static_cast<const uint8_t*>(pkt.payload);
    const uint8_t* const end = pos + pkt.payloadlen;

    const bool extended = (*pos & kExtendedBit) != 0;
    const bool start = (*pos & kStartBit) != 0;
    ++pos;
    if (extended && pos < end) {
        const uint8_t ext = *pos++;
        if ((ext & kPictureIdBit) && pos < end) {
            if ((*pos & kLongPictureIdBit) && end - pos >= 2)
                pos += 2;
            else
                pos += 1;
        }
        if ((ext & kTl0PicIdxBit) && pos < end) ++pos;
        if ((ext & (kTidBit | kKeyIdxBit)) && pos < end) ++pos;
    }

    // A partition start ends whatever was collected before it. When a sequence gap coincided with
    // the timestamp change, the helper has marked the new frame lost although nothing of it is
    // stored yet; ending that empty frame here clears the mark, so a gap costs only the frame it
    // really hit. A packet that holds only a descriptor still acts through its S and marker bits,
    // so a frame whose last packet carries no data is still delivered at its marker.
    if (start) rtp_payload_onframe(helper);

    pkt.payload = pos;
    pkt.payloadlen = static_cast<int>(end - pos);
    // A fragment refused for size or memory is accounted for by the helper (the frame goes out
    // without it, or is dropped); the packet itself was taken.
    rtp_payload_write(helper, &pkt);

    if (pkt.rtp.m) rtp_payload_onframe(helper);
    return kTaken;
}

}  // namespace

const rtp_unpacker_t* rtp_vp8_decode() {
    static const rtp_unpacker_t unpacker = {
        rtp_payload_helper_create,
        rtp_payload_helper_destroy,
        rtp_decode_vp8,
    };
    return &unpacker;
}

bool rtp_vp8_refused(const uint8_t* packet, size_t size) {
    if (!packet || size < 12 || size > 0x7FFFFFFF) return true;
    if (rtp_vp8_refused_type(packet[1] & 0x7F)) return true;
    const uint8_t first = packet[0];
    const unsigned version = first >> 6;
    if ((first & 0x30) == 0 && (version == 1 || version == 2)) {
        // No padding, no extension: the payload is what follows the CSRC list.
        return size <= 12 + 4 * size_t{first & 0x0Fu};
    }
    rtp_packet_t pkt;
    if (rtp_packet_deserialize(&pkt, packet, static_cast<int>(size)) != 0) return true;
    return pkt.payloadlen <= 0;
}
