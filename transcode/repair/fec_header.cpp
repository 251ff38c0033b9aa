#include "fec_header.h"

#include <algorithm>

#include "be_bytes.h"

namespace {

constexpr size_t kRtpHeader = kFecRtpHeader;
constexpr uint8_t kRecoveredBits0 = kFecRecoveredBits0;

// ULPFEC: FEC header, then the level-0 header with a 16-bit or (L=1) 48-bit mask.
constexpr size_t kUlpfecHeader = 10;
constexpr size_t kUlpfecLevel0Short = 4;
constexpr size_t kUlpfecLevel0Long = 8;
constexpr uint8_t kUlpfecE = 0x80;
constexpr uint8_t kUlpfecL = 0x40;
constexpr uint32_t kUlpfecShortBits = 16;
constexpr uint32_t kUlpfecLongBits = 48;

// FlexFEC: 12 bytes, one protected SSRC with its base, then a mask of 15, 46 or 109 bits in
// 2, 6 or 14 bytes, each part led by a k bit that is set on the last one.
constexpr uint8_t kFlexfecR = 0x80;
constexpr uint8_t kFlexfecF = 0x40;
constexpr uint8_t kFlexfecK = 0x80;
constexpr size_t kFlexfecSsrcCount = 8;
constexpr size_t kFlexfecSsrc = 12;
constexpr size_t kFlexfecBase = 16;
constexpr size_t kFlexfecMask = 18;
constexpr uint32_t kFlexfecBits[3] = {15, 46, 109};
constexpr size_t kFlexfecHeader[3] = {20, 24, 32};

void set_bit(FecHeader* h, uint32_t i) {
    h->mask[i / 64] |= uint64_t{1} << (63 - i % 64);
}

// Takes `bits` bits of `value` (most significant first) as mask bits from `first` on.
void set_bits(FecHeader* h, uint32_t first, uint64_t value, uint32_t bits) {
    // mask[0] then mask[1] read as one 128-bit number has bit i at position 127 - i, so the value
    // goes in shifted up by 128 - first - bits.
    if (bits < 64) value &= (uint64_t{1} << bits) - 1;
    const uint32_t shift = 128 - first - bits;
    if (shift >= 64) {
        h->mask[0] |= value << (shift - 64);
    } else if (shift == 0) {
        h->mask[1] |= value;
    } else {
        h->mask[1] |= value << shift;
        h->mask[0] |= value >> (64 - shift);
    }
}

// `bits` mask bits from `first` on, most significant first.
uint64_t get_bits(const FecHeader& h, uint32_t first, uint32_t bits) {
    uint64_t v = 0;
    for (uint32_t j = 0; j < bits; ++j) v = (v << 1) | (h.protects(first + j) ? 1 : 0);
    return v;
}

// What both encoders share: the recovery fields and protection bytes over `media`, and the mask.
// Fails unless the packets are RTP of one SSRC with distinct numbers within `max_bits`.
bool protect(const FecMedia* media, size_t count, uint32_t max_bits, FecHeader* h,
             std::vector<uint8_t>* bytes) {
    if (count == 0) return false;
    for (size_t i = 0; i < count; ++i)
        if (!media[i].data || media[i].size < kRtpHeader || media[i].size > kFecMaxPacket)
            return false;
    h->ssrc = be32(media[0].data + 8);
    const uint16_t first = be16(media[0].data + 2);
    int lowest = 0;
    for (size_t i = 0; i < count; ++i)
        lowest = std::min<int>(lowest, static_cast<int16_t>(be16(media[i].data + 2) - first));
    h->seq_base = static_cast<uint16_t>(first + lowest);
    size_t longest = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = media[i].data;
        const uint32_t offset = static_cast<uint16_t>(be16(p + 2) - h->seq_base);
        if (be32(p + 8) != h->ssrc || offset >= max_bits) return false;
        h->mask_bits = static_cast<uint16_t>(std::max<uint32_t>(h->mask_bits, offset + 1));
        if (h->protects(offset)) return false;  // the same number twice
        set_bit(h, offset);
        longest = std::max(longest, media[i].size - kRtpHeader);
    }
    bytes->assign(longest, 0);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = media[i].data;
        h->recovery0 ^= p[0] & kRecoveredBits0;
        h->recovery1 ^= p[1];
        h->ts_recovery ^= be32(p + 4);
        h->length_recovery ^= static_cast<uint16_t>(media[i].size - kRtpHeader);
        fec_xor_into(bytes->data(), p, kRtpHeader, media[i].size);
    }
    return true;
}

}  // namespace

// ---- Parsers ------------------------------------------------------------------------------------

bool ulpfec_parse(const uint8_t* body, size_t size, uint32_t media_ssrc, FecHeader* out) {
    *out = FecHeader{};
    if (!body || size < kUlpfecHeader + kUlpfecLevel0Short || (body[0] & kUlpfecE)) return false;
    const bool long_mask = (body[0] & kUlpfecL) != 0;
    const size_t header = kUlpfecHeader + (long_mask ? kUlpfecLevel0Long : kUlpfecLevel0Short);
    if (size < header) return false;
    const size_t protection = be16(body + kUlpfecHeader);
    if (protection > size - header) return false;
    FecHeader h;
    h.ssrc = media_ssrc;
    h.recovery0 = body[0] & kRecoveredBits0;
    h.recovery1 = body[1];
    h.seq_base = be16(body + 2);
    h.ts_recovery = be32(body + 4);
    h.length_recovery = be16(body + 8);
    const uint8_t* mask = body + kUlpfecHeader + 2;
    if (long_mask) {
        h.mask_bits = kUlpfecLongBits;
        set_bits(&h, 0, (uint64_t{be16(mask)} << 32) | be32(mask + 2), kUlpfecLongBits);
    } else {
        h.mask_bits = kUlpfecShortBits;
        set_bits(&h, 0, be16(mask), kUlpfecShortBits);
    }
    if (h.mask[0] == 0) return false;
    h.payload = body + header;
    h.payload_size = protection;
    *out = h;
    return true;
}

bool flexfec_parse(const uint8_t* payload, size_t size, FecHeader* out) {
    *out = FecHeader{};
    if (!payload || size < kFlexfecHeader[0]) return false;
    if ((payload[0] & (kFlexfecR | kFlexfecF)) || payload[kFlexfecSsrcCount] != 1) return false;
    FecHeader h;
    h.recovery0 = payload[0] & kRecoveredBits0;
    h.recovery1 = payload[1];
    h.length_recovery = be16(payload + 2);
    h.ts_recovery = be32(payload + 4);
    h.ssrc = be32(payload + kFlexfecSsrc);
    h.seq_base = be16(payload + kFlexfecBase);
    const uint8_t* m = payload + kFlexfecMask;
    set_bits(&h, 0, be16(m) & 0x7FFF, 15);
    int part = 0;
    if (!(m[0] & kFlexfecK)) {
        part = 1;
        if (size < kFlexfecHeader[1]) return false;
        set_bits(&h, 15, be32(m + 2) & 0x7FFFFFFF, 31);
        if (!(m[2] & kFlexfecK)) {
            part = 2;
            if (size < kFlexfecHeader[2] || !(m[6] & kFlexfecK)) return false;
            const uint64_t rest = (uint64_t{be32(m + 6)} << 32) | be32(m + 10);
            set_bits(&h, 46, rest & 0x7FFFFFFFFFFFFFFF, 63);
        }
    }
    h.mask_bits = static_cast<uint16_t>(kFlexfecBits[part]);
    if (h.mask[0] == 0 && h.mask[1] == 0) return false;
    h.payload = payload + kFlexfecHeader[part];
    h.payload_size = size - kFlexfecHeader[part];
    *out = h;
    return true;
}

// ---- Encoders -----------------------------------------------------------------------------------

bool ulpfec_encode(const FecMedia* media, size_t count, std::vector<uint8_t>* out) {
    out->clear();
    FecHeader h;
    std::vector<uint8_t> bytes;
    if (!protect(media, count, kUlpfecLongBits, &h, &bytes) || bytes.size() > 0xFFFF) return false;
    const bool long_mask = h.mask_bits > kUlpfecShortBits;
    const size_t header = kUlpfecHeader + (long_mask ? kUlpfecLevel0Long : kUlpfecLevel0Short);
    out->assign(header, 0);
    uint8_t* p = out->data();
    p[0] = static_cast<uint8_t>((long_mask ? kUlpfecL : 0) | h.recovery0);
    p[1] = h.recovery1;
    put_be16(p + 2, h.seq_base);
    put_be32(p + 4, h.ts_recovery);
    put_be16(p + 8, h.length_recovery);
    put_be16(p + 10, static_cast<uint16_t>(bytes.size()));
    if (long_mask) {
        const uint64_t m = get_bits(h, 0, kUlpfecLongBits);
        put_be16(p + 12, static_cast<uint16_t>(m >> 32));
        put_be32(p + 14, static_cast<uint32_t>(m));
    } else {
        put_be16(p + 12, static_cast<uint16_t>(get_bits(h, 0, kUlpfecShortBits)));
    }
    out->insert(out->end(), bytes.begin(), bytes.end());
    return true;
}

bool flexfec_encode(const FecMedia* media, size_t count, std::vector<uint8_t>* out) {
    out->clear();
    FecHeader h;
    std::vector<uint8_t> bytes;
    if (!protect(media, count, kFlexfecBits[2], &h, &bytes)) return false;
    const int part = h.mask_bits <= kFlexfecBits[0] ? 0 : h.mask_bits <= kFlexfecBits[1] ? 1 : 2;
    out->assign(kFlexfecHeader[part], 0);
    uint8_t* p = out->data();
    p[0] = h.recovery0;  // R = F = 0
    p[1] = h.recovery1;
    put_be16(p + 2, h.length_recovery);
    put_be32(p + 4, h.ts_recovery);
    p[kFlexfecSsrcCount] = 1;
    put_be32(p + kFlexfecSsrc, h.ssrc);
    put_be16(p + kFlexfecBase, h.seq_base);
    uint8_t* m = p + kFlexfecMask;
    put_be16(m, static_cast<uint16_t>(get_bits(h, 0, 15)));
    if (part == 0) m[0] |= kFlexfecK;
    if (part >= 1) {
        put_be32(m + 2, static_cast<uint32_t>(get_bits(h, 15, 31)));
        if (part == 1) m[2] |= kFlexfecK;
    }
    if (part == 2) {
        const uint64_t rest = get_bits(h, 46, 63);
        put_be32(m + 6, static_cast<uint32_t>(rest >> 32));
        put_be32(m + 10, static_cast<uint32_t>(rest));
        m[6] |= kFlexfecK;
    }
    out->insert(out->end(), bytes.begin(), bytes.end());
    return true;
}
