#include "rtp_payload.h"

#include <cassert>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vp8_unpack.h"

namespace {

constexpr int kEinval = -22;
constexpr int kEnomem = -12;

// Small frames get a fixed 16,000-byte head start; large ones a quarter on top, so a stream of
// similar frames stops reallocating after its first few frames.
constexpr int64_t kMinGrowth = 16000;

}  // namespace

void* rtp_payload_helper_create(const rtp_payload_t* handler, void* param) {
    auto* helper = static_cast<rtp_payload_helper_t*>(calloc(1, sizeof(rtp_payload_helper_t)));
    if (!helper) return nullptr;
    if (handler) helper->handler = *handler;
    helper->param = param;
    helper->maxsize = RTP_PAYLOAD_MAX_SIZE;
    helper->flags = -1;
    return helper;
}

void rtp_payload_helper_destroy(void* p) {
    auto* helper = static_cast<rtp_payload_helper_t*>(p);
    if (!helper) return;
    free(helper->buffer);
    free(helper);
}

int rtp_payload_check(rtp_payload_helper_t* helper, const rtp_packet_t* pkt) {
    if (helper->flags == -1) {
        // Seed the state so the first packet neither shows a gap nor belongs to a "previous" frame.
        helper->flags = 0;
        helper->seq = static_cast<uint16_t>(pkt->rtp.seq - 1);
        helper->timestamp = pkt->rtp.timestamp + 1;
    }

    // Anything but the next sequence number -- a gap, a repeat, a packet out of order -- means the
    // frame being assembled cannot be trusted.
    const bool gap = pkt->rtp.seq != static_cast<uint16_t>(helper->seq + 1);
    if (gap) helper->lost = 1;
    helper->seq = pkt->rtp.seq;

    if (pkt->rtp.timestamp != helper->timestamp) {
        // The pending frame still carries its own timestamp when it is ended here.
        rtp_payload_onframe(helper);
        // The missing packet may just as well have been the start of the frame beginning now.
        if (gap) helper->lost = 1;
    }
    helper->timestamp = pkt->rtp.timestamp;
    return 0;
}

int rtp_payload_write(rtp_payload_helper_t* helper, const rtp_packet_t* pkt) {
    if (pkt->payloadlen < 0) return kEinval;
    return rtp_payload_append(helper, pkt->payload, static_cast<size_t>(pkt->payloadlen));
}

int rtp_payload_append(rtp_payload_helper_t* helper, const void* data, size_t bytes) {
    if (bytes == 0) return 0;
    uint8_t* at = nullptr;
    const int rc = rtp_payload_claim(helper, bytes, &at);
    if (rc == 0) memcpy(at, data, bytes);
    return rc;
}

int rtp_payload_claim(rtp_payload_helper_t* helper, size_t bytes, uint8_t** at) {
    // Summed in 64 bits: the 32-bit sum of a large fragment could overflow.
    if (bytes > static_cast<size_t>(helper->maxsize)) return kEinval;
    const int64_t needed = static_cast<int64_t>(helper->size) + static_cast<int64_t>(bytes);
    if (needed > helper->maxsize) return kEinval;

    if (needed > helper->capacity) {
        int64_t capacity = needed + (needed / 4 > kMinGrowth ? needed / 4 : kMinGrowth);
        if (capacity > INT_MAX) capacity = INT_MAX;
        void* grown = realloc(helper->buffer, static_cast<size_t>(capacity));
        if (!grown) {
            // The fragment is missing from the frame, so the frame must not be delivered.
            helper->lost = 1;
            return kEnomem;
        }
        helper->buffer = static_cast<uint8_t*>(grown);
        helper->capacity = static_cast<int>(capacity);
    }

    assert(helper->capacity >= needed);
    *at = helper->buffer + helper->size;
    helper->size = static_cast<int>(needed);
    return 0;
}

int rtp_payload_onframe(rtp_payload_helper_t* helper) {
    int result = 0;
    if (helper->size > 0 && !helper->lost) {
        if (helper->handler.packet)
            result = helper->handler.packet(helper->param, helper->buffer, helper->size,
                                            helper->timestamp, helper->flags);
        helper->flags &= ~RTP_PAYLOAD_FLAG_PACKET_LOST;
    } else if (helper->size > 0 && helper->handler.dropped) {
        helper->handler.dropped(helper->param, helper->timestamp);
    }
    // A dropped frame, even an empty one, tells the next delivered frame that something is missing
    // before it.
    if (helper->lost) helper->flags |= RTP_PAYLOAD_FLAG_PACKET_LOST;
    helper->lost = 0;
    helper->size = 0;
    return result;
}

void* rtp_payload_decode_create(const rtp_payload_t* handler, void* param) {
    return rtp_payload_decode_create_with(rtp_vp8_decode(), handler, param);
}

void* rtp_payload_decode_create_with(const rtp_unpacker_t* table, const rtp_payload_t* handler,
                                     void* param) {
    if (!table) return nullptr;
    auto* decoder = static_cast<rtp_payload_decoder_t*>(calloc(1, sizeof(rtp_payload_decoder_t)));
    if (!decoder) return nullptr;
    decoder->table = table;
    decoder->instance = decoder->table->create(handler, param);
    if (!decoder->instance) {
        free(decoder);
        return nullptr;
    }
    return decoder;
}

int rtp_payload_decode_input(void* p, const void* packet, int bytes) {
    auto* decoder = static_cast<rtp_payload_decoder_t*>(p);
    if (!decoder) return kEinval;
    return decoder->table->decode(decoder->instance, packet, bytes);
}

void rtp_payload_decode_destroy(void* p) {
    auto* decoder = static_cast<rtp_payload_decoder_t*>(p);
    if (!decoder) return;
    decoder->table->destroy(decoder->instance);
    free(decoder);
}
