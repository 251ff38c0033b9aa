// What the VP9, AV1 and H.264 depacketizers share: an instance record that begins with its
// reassembly helper, made and released the same way, and one RTP packet read and passed through
// the helper's sequence and timestamp check before the codec looks at its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "rtp_packet.h"
#include "rtp_payload.h"

namespace codec_unpack {

constexpr int kEinval = -22;
constexpr int kTaken = 1;

// A zeroed `U` (a plain record with a member `rtp_payload_helper_t* helper`) and its helper.
template <typename U>
void* create(const rtp_payload_t* handler, void* param) {
    static_assert(std::is_trivially_copyable<U>::value, "the record is made by calloc");
    auto* u = static_cast<U*>(calloc(1, sizeof(U)));
    if (!u) return nullptr;
    u->helper = static_cast<rtp_payload_helper_t*>(rtp_payload_helper_create(handler, param));
    if (!u->helper) {
        free(u);
        return nullptr;
    }
    return u;
}

template <typename U>
void owns_nothing_else(U*) {}

// Releases what `create` made; `Release` frees what the record owns besides.
template <typename U, void (*Release)(U*) = owns_nothing_else<U>>
void destroy(void* p) {
    auto* u = static_cast<U*>(p);
    if (!u) return;
    Release(u);
    rtp_payload_helper_destroy(u->helper);
    free(u);
}

// One packet as a depacketizer sees it, after the helper's check.
struct Packet {
    rtp_packet_t rtp;
    const uint8_t* payload;
    size_t size;
    bool new_timestamp;  // a new frame began: the helper ended the one before
    bool gap;            // the sequence number does not follow the last one
};

// Reads `packet`; false, with nothing done, when it is not RTP or carries no payload.
// `unfinished`: the frame being assembled ends inside a piece of the codec's own (an AV1 OBU
// written as it comes), so a new timestamp drops it rather than deliver it cut.
inline bool read(rtp_payload_helper_t* h, const void* packet, int bytes, Packet* out,
                 bool unfinished = false) {
    if (!packet || rtp_packet_deserialize(&out->rtp, packet, bytes) != 0 ||
        out->rtp.payloadlen <= 0)
        return false;
    const bool started = h->flags != -1;
    out->new_timestamp = started && out->rtp.rtp.timestamp != h->timestamp;
    out->gap = started && out->rtp.rtp.seq != static_cast<uint16_t>(h->seq + 1);
    if (out->new_timestamp && unfinished) h->lost = 1;
    rtp_payload_check(h, &out->rtp);
    out->payload = static_cast<const uint8_t*>(out->rtp.payload);
    out->size = static_cast<size_t>(out->rtp.payloadlen);
    return true;
}

// Appends bytes to the frame; a piece refused for size or memory loses the frame rather than
// leave a hole in it.
inline void put(rtp_payload_helper_t* h, const void* p, size_t n) {
    if (rtp_payload_append(h, p, n) != 0) h->lost = 1;
}

// Two pieces that follow each other (a start code and its NAL unit, an OBU's header and its
// payload), written with one claim on the frame's room.
inline void put2(rtp_payload_helper_t* h, const void* a, size_t na, const void* b, size_t nb) {
    uint8_t* at = nullptr;
    if (rtp_payload_claim(h, na + nb, &at) != 0) {
        h->lost = 1;
        return;
    }
    memcpy(at, a, na);
    if (nb) memcpy(at + na, b, nb);
}

}  // namespace codec_unpack
