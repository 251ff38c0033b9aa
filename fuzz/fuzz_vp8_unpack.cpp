// VP8 depacketizer and frame reassembly on a stream of arbitrary packets (fuzz::each_packet).
#include <cstddef>
#include <cstdint>

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
    fuzz::check_frame(data, bytes, flags);
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

    fuzz::each_packet(data, size, [&](const uint8_t* packet, size_t len) {
        sink.input_bytes += len;
        const int rc = rtp_payload_decode_input(decoder, packet, static_cast<int>(len));
        FUZZ_CHECK(rc == 1 || rc == -22);
    });
    // A frame still pending here is discarded without a callback.
    rtp_payload_decode_destroy(decoder);
    return 0;
}
