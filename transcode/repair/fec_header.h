// The two forward error correction headers browsers send, each with its parser and its encoder
// (the XOR recovery over them is fec_recovery.h):
//
// - ULPFEC (RFC 5109, level 0 only) inside a RED block on the media SSRC. What follows the RED
//   block header (the "body" below) is
//
//     0                   1                   2                   3
//     0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//    +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  0 |E|L|P|X|  CC   |M| PT recovery |            SN base            |
//  4 |                          TS recovery                          |
//  8 |        length recovery        |       protection length       |
// 12 |  mask (16 bits; 48 with L=1)  :  mask cont. (L=1)             :
//    |                 protection bytes (protection length) ...      |
//
// - FlexFEC as libwebrtc sends it (the -03 draft of the flexible FEC scheme), on its own SSRC.
//   The RTP payload is
//
//  0 |R|F|P|X|  CC   |M| PT recovery |        length recovery        |
//  4 |                          TS recovery                          |
//  8 |  SSRC count   |                   reserved                    |
// 12 |                       protected SSRC                          |
// 16 |            SN base            |k|       mask bits 0-14        |
// 20 |k|                mask bits 15-45 (when the first k is 0)      |
// 24 |k|   mask bits 46-108 (8 bytes, when the first two k are 0)    |
//    |                 protection bytes (to the end) ...             |
//
// In both, mask bit i (counted from the most significant) protects SN base + i, and the fields
// marked "recovery" and the protection bytes are the XOR over the protected packets of their
// first two bytes, their timestamp, their length minus the 12-byte fixed header, and their bytes
// after the fixed header, zero-padded. With one protected packet missing and every other one at
// hand, the same XOR gives the missing one back (RFC 5109, section 10).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The longest packet either form protects or is: UDP and RFC 4571's 16-bit length stop here.
constexpr size_t kFecMaxPacket = 65535;
constexpr size_t kFecRtpHeader = 12;
// The low 6 bits of an RTP header's first byte: P, X and CC; the version is rebuilt, not XORed.
constexpr uint8_t kFecRecoveredBits0 = 0x3F;

// XORs the bytes [from, to) of packet `m` into `out`, which holds the bytes that follow a fixed
// RTP header (nothing when `from` is not below `to`).
inline void fec_xor_into(uint8_t* out, const uint8_t* m, size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) out[k - kFecRtpHeader] ^= m[k];
}

// An RTP packet given to the encoders: the caller's bytes.
struct FecMedia {
    const uint8_t* data;
    size_t size;
};

// One FEC packet, parsed. `payload` points into the parsed buffer.
struct FecHeader {
    uint32_t ssrc = 0;  // the protected media stream
    uint16_t seq_base = 0;
    uint16_t mask_bits = 0;     // 16 or 48 (ULPFEC); 15, 46 or 109 (FlexFEC)
    uint64_t mask[2] = {0, 0};  // bit i from the most significant bit of mask[0] on
    uint8_t recovery0 = 0;      // P, X and CC recovery, in the low 6 bits as in an RTP header
    uint8_t recovery1 = 0;      // M and PT recovery
    uint16_t length_recovery = 0;
    uint32_t ts_recovery = 0;
    const uint8_t* payload = nullptr;
    size_t payload_size = 0;  // the protection length

    bool protects(uint32_t i) const {
        return i < mask_bits && ((mask[i / 64] >> (63 - i % 64)) & 1) != 0;
    }
};

// Parsers: false for anything they cannot use (too short, a mask of no bits, E set, FlexFEC
// with R or F set or more than one protected SSRC, a protection length beyond the body).
// `media_ssrc` is the SSRC of the RTP packet that carried the RED block.
bool ulpfec_parse(const uint8_t* body, size_t size, uint32_t media_ssrc, FecHeader* out);
bool flexfec_parse(const uint8_t* payload, size_t size, FecHeader* out);

// Encoders, for the tests and the capture synthesizer: the ULPFEC body (to follow a RED block
// header) or the FlexFEC RTP payload that protects `media`, RTP packets of one SSRC whose
// sequence numbers lie within the mask (48 or 109 numbers from the lowest). The mask is the
// shortest that covers them; the protection length is the longest packet's. False, with `out`
// cleared, when the packets do not fit that.
bool ulpfec_encode(const FecMedia* media, size_t count, std::vector<uint8_t>* out);
bool flexfec_encode(const FecMedia* media, size_t count, std::vector<uint8_t>* out);
