// RTP header parser on arbitrary bytes: on success every view must lie inside the packet and the
// parts must add up to it; on failure the record must be left as the parser's contract says.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "rtp_packet.h"

namespace {

uint32_t be16(const uint8_t* p) {
    return (uint32_t{p[0]} << 8) | p[1];
}
uint32_t be32(const uint8_t* p) {
    return (be16(p) << 16) | be16(p + 2);
}

void check_fixed_header(const rtp_packet_t& pkt, const uint8_t* data) {
    FUZZ_CHECK(pkt.rtp.v == (data[0] >> 6));
    FUZZ_CHECK(pkt.rtp.p == ((data[0] >> 5) & 1));
    FUZZ_CHECK(pkt.rtp.x == ((data[0] >> 4) & 1));
    FUZZ_CHECK(pkt.rtp.cc == (data[0] & 0x0F));
    FUZZ_CHECK(pkt.rtp.m == (data[1] >> 7));
    FUZZ_CHECK(pkt.rtp.pt == (data[1] & 0x7F));
    FUZZ_CHECK(pkt.rtp.seq == be16(data + 2));
    FUZZ_CHECK(pkt.rtp.timestamp == be32(data + 4));
    FUZZ_CHECK(pkt.rtp.ssrc == be32(data + 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int bytes = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    rtp_packet_t pkt;
    memset(&pkt, 0xA5, sizeof(pkt));
    rtp_packet_t before;
    memcpy(&before, &pkt, sizeof(pkt));

    const int rc = rtp_packet_deserialize(&pkt, data, bytes);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (bytes < 12) {
        FUZZ_CHECK(rc == -1);
        FUZZ_CHECK(memcmp(&pkt, &before, sizeof(pkt)) == 0);
        return 0;
    }
    // Callers that ignore the result still read the sequence number, so the fixed header has to
    // be right whatever the outcome.
    check_fixed_header(pkt, data);
    if (rc != 0) return 0;

    FUZZ_CHECK(pkt.rtp.v == 1 || pkt.rtp.v == 2);
    const uint8_t* begin = data;
    const uint8_t* end = data + bytes;
    const size_t hdrlen = 12 + 4 * size_t{pkt.rtp.cc};
    FUZZ_CHECK(hdrlen <= static_cast<size_t>(bytes));
    for (unsigned i = 0; i < 16; ++i)
        FUZZ_CHECK(pkt.csrc[i] == (i < pkt.rtp.cc ? be32(data + 12 + 4 * i) : 0));

    const uint8_t* payload = static_cast<const uint8_t*>(pkt.payload);
    FUZZ_CHECK(pkt.payloadlen >= 0);
    FUZZ_CHECK(payload >= begin + hdrlen && payload <= end);
    FUZZ_CHECK(pkt.payloadlen <= end - payload);

    if (pkt.rtp.x) {
        const uint8_t* ext = static_cast<const uint8_t*>(pkt.extension);
        FUZZ_CHECK(ext == begin + hdrlen + 4);
        FUZZ_CHECK(pkt.extprofile == be16(begin + hdrlen));
        FUZZ_CHECK(pkt.extlen == 4 * be16(begin + hdrlen + 2));
        FUZZ_CHECK(ext + pkt.extlen == payload);
    } else {
        FUZZ_CHECK(pkt.extension == nullptr && pkt.extlen == 0 && pkt.extprofile == 0);
        FUZZ_CHECK(payload == begin + hdrlen);
    }

    // Whatever is not payload after it is the padding, whose count is the packet's last byte.
    const ptrdiff_t tail = end - (payload + pkt.payloadlen);
    FUZZ_CHECK(tail == (pkt.rtp.p ? data[bytes - 1] : 0));

    // Touch every payload byte so that a view past the input is caught.
    volatile uint8_t sink = 0;
    for (int i = 0; i < pkt.payloadlen; ++i) sink = sink ^ payload[i];
    (void)sink;
    return 0;
}
