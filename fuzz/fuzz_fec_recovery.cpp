// FEC recovery on arbitrary inputs, in two parts.
//
// Round trip: media packets with every header field the FEC carries (CSRCs, extension, padding,
// marker, payload type, timestamp, lengths from 0 up), near the 16-bit wrap, protected by one
// ULPFEC or FlexFEC packet; one is lost. Checked: the store gives it back byte for byte.
//
// Through the reorder stage: packets made from their sequence number (so a number always names
// the same bytes, header extension elements included) are pushed or lost, FEC packets over recent
// numbers (or raw bytes taken as an FEC packet) are added, and the stage with the hook releases
// them. Checked: everything released parses as RTP of the stream; while no raw FEC packet was
// added, a released packet is exactly the one made with its number; memory stays within the store's
// bound.
//
// Input: byte 0: bit 0 FlexFEC (else ULPFEC) for the round trip, bits 1-4 window - 1, bits 5-7
// FEC store size - 1; byte 1: packets in the round trip - 1 (mod 24); byte 2: first number's
// distance from 65530. Then 3 bytes per round-trip packet (flags, marker and PT, payload length);
// the last of them also picks the lost packet. Then 4-byte steps for the stage:
//   op bits 0-1: 0 push, 1 FEC packet, 2 lose, 3 flush; push and lose take the number
//         last + int8(b2); FEC: bit 3 FlexFEC, bit 2 raw (the next b3 bytes of input are the body),
//         else b1 b2 mask the last 16 numbers made (bit 0 the newest).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "fec_recovery.h"
#include "fuzz_support.h"
#include "reorder_window.h"
#include "rtp_packet.h"

namespace {

constexpr uint32_t kSsrc = 0x5EED0001;
using Bytes = std::vector<uint8_t>;

// `elements`: the extension holds one-byte elements (ids 1-14, lengths up to 16) rather than bytes
// that read as none, so that packets whose headers differ make the store learn which are rewritten.
Bytes packet(uint16_t seq, uint8_t flags, uint8_t mpt, uint8_t payload, bool elements = false) {
    const int cc = (flags >> 4) & 3;
    const int ext_words = (flags & 0x40) ? (mpt & 3) : -1;
    const int pad = (flags & 0x80) ? 1 + (payload & 7) : 0;
    // Timestamp bytes: M and PT, the flags, the payload length, the number's low byte.
    const uint32_t ts = static_cast<uint32_t>(mpt) << 24 | static_cast<uint32_t>(flags) << 16 |
                        static_cast<uint32_t>(payload) << 8 | static_cast<uint8_t>(seq);
    Bytes b = fuzz::rtp_header(
        static_cast<uint8_t>(0x80 | (pad ? 0x20 : 0) | (ext_words >= 0 ? 0x10 : 0) | cc), mpt, seq,
        ts, kSsrc);
    for (int i = 0; i < cc * 4; ++i) b.push_back(static_cast<uint8_t>(i));
    if (ext_words >= 0) {
        b.insert(b.end(), {0xBE, 0xDE, 0, static_cast<uint8_t>(ext_words)});
        const int bytes = ext_words * 4;
        for (int i = 0; i < bytes;) {
            if (!elements || bytes - i < 2) {
                b.push_back(elements ? 0 : static_cast<uint8_t>(i * 3));
                ++i;
                continue;
            }
            const int length = 1 + (seq * 7 + i) % std::min(bytes - i - 1, 16);
            b.push_back(static_cast<uint8_t>((1 + (seq + i) % 14) << 4 | (length - 1)));
            for (int k = 0; k < length; ++k) b.push_back(static_cast<uint8_t>(seq + i * 5 + k));
            i += 1 + length;
        }
    }
    for (int i = 0; i < payload; ++i) b.push_back(static_cast<uint8_t>(seq + i * 31));
    for (int i = 1; i < pad; ++i) b.push_back(0);
    if (pad) b.push_back(static_cast<uint8_t>(pad));
    return b;
}

Bytes packet_of(uint16_t seq) {
    return packet(seq, static_cast<uint8_t>(seq * 37), static_cast<uint8_t>(seq * 11),
                  static_cast<uint8_t>(seq % 61), true);
}

bool encode(bool flexfec, const std::vector<Bytes>& media, Bytes* out) {
    std::vector<FecMedia> refs;
    for (const Bytes& m : media) refs.push_back({m.data(), m.size()});
    if (!flexfec) return ulpfec_encode(refs.data(), refs.size(), out);
    Bytes payload;
    if (!flexfec_encode(refs.data(), refs.size(), &payload)) return false;
    *out = {0x80, 118, 0, 0, 0, 0, 0, 0, 0xFE, 0xC0, 0, 1};
    out->insert(out->end(), payload.begin(), payload.end());
    return true;
}

const uint8_t* lookup(void* param, int64_t seq, size_t* size) {
    const std::map<int64_t, Bytes>& held = *static_cast<std::map<int64_t, Bytes>*>(param);
    auto it = held.find(seq);
    if (it == held.end()) return nullptr;
    *size = it->second.size();
    return it->second.data();
}

void round_trip(const uint8_t* data, size_t size, size_t* pos) {
    const bool flexfec = data[0] & 1;
    const uint32_t count = 1 + data[1] % 24;
    uint16_t seq = static_cast<uint16_t>(65530 + (data[2] & 15));
    std::vector<Bytes> media;
    std::vector<int64_t> numbers;
    int64_t ext = (int64_t{1} << 32) + seq;
    size_t lost = 0;
    for (uint32_t i = 0; i < count && *pos + 3 <= size; ++i, *pos += 3) {
        const uint8_t* b = data + *pos;
        const int step = 1 + (b[0] & (flexfec ? 7 : 3));
        seq = static_cast<uint16_t>(seq + step);
        ext += step;
        media.push_back(packet(seq, b[0], b[1], b[2]));
        numbers.push_back(ext);
        lost = b[2] % media.size();
    }
    if (media.empty()) return;
    Bytes fec_packet;
    if (!encode(flexfec, media, &fec_packet)) return;
    RepairStats stats;
    FecRecovery fec(1, &stats);
    FUZZ_CHECK(flexfec ? fec.add_flexfec(fec_packet.data(), fec_packet.size())
                       : fec.add_ulpfec(kSsrc, fec_packet.data(), fec_packet.size()));
    std::map<int64_t, Bytes> held;
    for (size_t i = 0; i < media.size(); ++i)
        if (i != lost) held[numbers[i]] = media[i];
    size_t n = 0;
    const uint8_t* p = fec.recover(numbers[lost], kSsrc, lookup, &held, &n);
    FUZZ_CHECK(p != nullptr);
    FUZZ_CHECK(Bytes(p, p + n) == media[lost]);
    FUZZ_CHECK(stats.fec_recovered == 1 && stats.fec_unrecoverable == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t pos = 3;
    round_trip(data, size, &pos);

    const uint32_t window = 1 + ((data[0] >> 1) & 15);
    const uint32_t max_fec = 1 + (data[0] >> 5);
    RepairStats stats;
    FecRecovery fec(max_fec, &stats);
    ReorderWindow w(window, &stats);
    w.set_recovery(fec.hook());
    bool raw = false;
    size_t largest = 12;
    std::deque<uint16_t> made;
    Bytes pushed;
    uint16_t last = 1000;
    auto drain = [&] {
        const uint8_t* p = nullptr;
        size_t n = 0;
        while (w.pop(&p, &n)) {
            rtp_packet_t rtp;
            FUZZ_CHECK(rtp_packet_deserialize(&rtp, p, static_cast<int>(n)) == 0);
            FUZZ_CHECK(rtp.rtp.ssrc == kSsrc);
            if (!raw) FUZZ_CHECK(Bytes(p, p + n) == packet_of(rtp.rtp.seq));
        }
        // Packets rebuilt before a run's first arrival join a window that may be full.
        FUZZ_CHECK(w.held() <= window + static_cast<size_t>(ReorderWindow::kRecoverSpan));
        FUZZ_CHECK(fec.fec_held() <= max_fec);
        FUZZ_CHECK(fec.bytes_reserved() <=
                   (max_fec + FecRecovery::kHistory) * largest + 2 * (largest + 12));
    };
    for (; pos + 4 <= size; pos += 4) {
        const uint8_t op = data[pos], b1 = data[pos + 1], b2 = data[pos + 2], b3 = data[pos + 3];
        switch (op & 3) {
            case 0:
            case 2: {
                last = static_cast<uint16_t>(last + static_cast<int8_t>(b2));
                made.push_back(last);
                if (made.size() > 16) made.pop_front();
                if ((op & 3) == 2) break;
                pushed = packet_of(last);  // lives until the next push, as the stage needs
                largest = std::max(largest, pushed.size());
                w.push(pushed.data(), pushed.size());
                break;
            }
            case 1: {
                const bool flexfec = op & 8;
                Bytes body;
                if (op & 4) {
                    const size_t n = std::min<size_t>(b3, size - pos - 4);
                    body.assign(data + pos + 4, data + pos + 4 + n);
                    pos += n;
                    raw = true;
                } else {
                    const uint16_t mask = static_cast<uint16_t>((b1 << 8) | b2);
                    std::vector<Bytes> media;
                    std::vector<uint16_t> taken;
                    for (size_t i = 0; i < made.size(); ++i) {
                        const uint16_t s = made[made.size() - 1 - i];  // bit 0: the newest
                        if (!((mask >> i) & 1)) continue;
                        bool dup = false;
                        for (uint16_t t : taken) dup = dup || t == s;
                        if (dup) continue;
                        taken.push_back(s);
                        media.push_back(packet_of(s));
                    }
                    if (media.empty() || !encode(flexfec, media, &body)) break;
                }
                largest = std::max(largest, body.size());
                if (flexfec)
                    fec.add_flexfec(body.data(), body.size());
                else
                    fec.add_ulpfec(kSsrc, body.data(), body.size());
                break;
            }
            default:
                w.flush();
                break;
        }
        drain();
    }
    w.flush();
    drain();
    FUZZ_CHECK(w.held() == 0);
    return 0;
}
