// VP8 depacketizer and frame reassembly on a stream of arbitrary packets. The input is a sequence
// of packets, each a 2-byte little-endian length and that many bytes (a length beyond the input
// takes what is left). Each packet is copied into a block of its exact size, so that a read past
// one packet is caught rather than landing in the next one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "rtp_payload.h"

namespace {

struct FrameSink {
    uint64_t input_bytes = 0;      // all packet bytes fed so far
    uint64_t delivered_bytes = 0;  // all frame bytes handed to the callback
    uint32_t digest = 0;
};

int on_frame(void* param, const void* data, int bytes, uint32_t timestamp, int flags) noexcept {
    (void)timestamp;
    auto* sink = static_cast<FrameSink*>(param);
    FUZZ_CHECK(data != nullptr);
    FUZZ_CHECK(bytes > 0 && bytes <= RTP_PAYLOAD_MAX_SIZE);
    FUZZ_CHECK(flags == 0 || flags == RTP_PAYLOAD_FLAG_PACKET_LOST);
    // Every frame byte comes from some packet's payload and is delivered at most once.
    sink->delivered_bytes += static_cast<uint64_t>(bytes);
    FUZZ_CHECK(sink->delivered_bytes <= sink->input_bytes);
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t h = sink->digest;
    for (int i = 0; i < bytes; ++i) h = h * 31u + p[i];
    sink->digest = h;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameSink sink;
    const rtp_payload_t handler = {on_frame};
    void* decoder = rtp_payload_decode_create(&handler, &sink);
    FUZZ_CHECK(decoder != nullptr);

    size_t pos = 0;
    while (size - pos >= 2) {
        size_t len = size_t{data[pos]} | (size_t{data[pos + 1]} << 8);
        pos += 2;
        if (len > size - pos) len = size - pos;
        std::unique_ptr<uint8_t[]> packet(new uint8_t[len ? len : 1]);
        if (len) memcpy(packet.get(), data + pos, len);
        pos += len;
        sink.input_bytes += len;
        const int rc = rtp_payload_decode_input(decoder, packet.get(), static_cast<int>(len));
        FUZZ_CHECK(rc == 1 || rc == -22);
    }
    // A frame still pending here is discarded without a callback.
    rtp_payload_decode_destroy(decoder);
    return 0;
}
