// Codec-neutral RTP payload reassembly and the decoder binding that pairs an unpacker table with
// its instance.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtp_packet.h"

// Frame callback. `data` points into the reassembly buffer and is valid only during the call; the
// consumer copies or writes it out before returning. No exception may leave it.
// `dropped`, when set, is told of every frame dropped because a packet of it went missing, with the
// timestamp the frame carried; counters and key-frame waiting hang on it.
struct rtp_payload_t {
    int (*packet)(void* param, const void* data, int bytes, uint32_t timestamp, int flags);
    void (*dropped)(void* param, uint32_t timestamp) = nullptr;
};

// Reassembly state of one RTP stream.
struct rtp_payload_helper_t {
    rtp_payload_t handler;
    void* param;
    int lost;  // a packet of the frame being assembled is missing (or a fragment was not stored)
    uint16_t seq;
    uint32_t timestamp;
    uint8_t* buffer;  // owned, grows and is reused for every frame
    int size;
    int capacity;
    int maxsize;
    int flags;  // -1 before the first packet; 0x100 once a frame was dropped until next delivery
};

// A codec unpacker: `create` makes an instance reporting frames to `handler` (null on failure),
// `destroy` releases it, `decode` takes one whole RTP packet.
struct rtp_unpacker_t {
    void* (*create)(const rtp_payload_t* handler, void* param);
    void (*destroy)(void* instance);
    int (*decode)(void* instance, const void* packet, int bytes);
};

// The record behind a decoder handle; owns `instance`, not the static `table`.
struct rtp_payload_decoder_t {
    const rtp_unpacker_t* table;
    void* instance;
};

constexpr int RTP_PAYLOAD_MAX_SIZE = 10 * 1024 * 1024;
constexpr int RTP_PAYLOAD_FLAG_PACKET_LOST = 0x100;

void* rtp_payload_helper_create(const rtp_payload_t* handler, void* param);
void rtp_payload_helper_destroy(void* helper);  // a pending frame is discarded, not delivered
int rtp_payload_check(rtp_payload_helper_t* helper, const rtp_packet_t* pkt);  // always 0
int rtp_payload_write(rtp_payload_helper_t* helper, const rtp_packet_t* pkt);  // 0, -22, -12
// The same for bytes that are no packet's payload (a start code, a size field the codec restores).
int rtp_payload_append(rtp_payload_helper_t* helper, const void* data, size_t bytes);
// Makes room for `bytes` more at the end of the frame and points `*at` at it (0), for a codec that
// writes several pieces at once; -22 or -12 as rtp_payload_write, nothing claimed.
int rtp_payload_claim(rtp_payload_helper_t* helper, size_t bytes, uint8_t** at);
int rtp_payload_onframe(rtp_payload_helper_t* helper);  // callback's result, or 0

void* rtp_payload_decode_create(const rtp_payload_t* handler, void* param);  // null on failure
// The same with another codec's unpacker than VP8's.
void* rtp_payload_decode_create_with(const rtp_unpacker_t* table, const rtp_payload_t* handler,
                                     void* param);
int rtp_payload_decode_input(void* decoder, const void* packet, int bytes);
void rtp_payload_decode_destroy(void* decoder);
