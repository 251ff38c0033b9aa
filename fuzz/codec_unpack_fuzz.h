// The body shared by the fuzz targets of the VP9, AV1 and H.264 depacketizers: a stream of
// arbitrary packets (fuzz::each_packet). Every delivered frame also goes through the codec's
// key-frame test and the header readers the Matroska writer uses, and every packet and frame
// through the key-frame gate with the codec's layer reader (VP9's payload descriptor; AV1's
// dependency descriptor under extension id 1, and each payload read as a descriptor too).
#pragma once

#include <cstddef>
#include <cstdint>

#include "av1_layers.h"
#include "fuzz_support.h"
#include "keyframe_gate.h"
#include "rtp_payload.h"
#include "video_codec.h"

namespace codec_fuzz {

struct Sink {
    VideoCodec codec;
    uint32_t digest = 0;
    bool (*size_of)(const uint8_t*, size_t, int*, int*);
    KeyframeGate* gate = nullptr;
};

inline void on_dropped(void* param, uint32_t timestamp) noexcept {
    static_cast<Sink*>(param)->gate->dropped(timestamp);
}

inline int on_frame(void* param, const void* data, int bytes, uint32_t timestamp,
                    int flags) noexcept {
    auto* sink = static_cast<Sink*>(param);
    fuzz::check_frame(data, bytes, flags);
    const auto* p = static_cast<const uint8_t*>(data);
    sink->digest = sink->digest * 31u + (codec_key_frame(sink->codec, p, bytes) ? 1u : 0u);
    sink->digest += sink->gate->admit(p, bytes, flags, timestamp) ? 1u : 0u;
    int w = 0, h = 0;
    if (sink->size_of && sink->size_of(p, static_cast<size_t>(bytes), &w, &h))
        FUZZ_CHECK(w > 0 && h > 0);
    return 0;
}

inline int run(VideoCodec codec, bool (*size_of)(const uint8_t*, size_t, int*, int*),
               const uint8_t* data, size_t size) {
    RepairStats stats;
    Av1LayersState av1;
    av1.extension_id = 1;
    KeyframeGate gate =
        codec == VideoCodec::av1
            ? KeyframeGate(true, &stats, LayersReader{av1_frame_layers, &av1},
                           codec_key_test(codec))
            : KeyframeGate(true, &stats, codec_layers_reader(codec), codec_key_test(codec));
    Sink sink{codec, 0, size_of, &gate};
    const rtp_payload_t handler = {on_frame, on_dropped};
    DdStructure structure;
    const rtp_unpacker_t* table = codec_unpacker(codec);
    void* u = table->create(&handler, &sink);
    FUZZ_CHECK(u != nullptr);
    CodecDetector detector;
    fuzz::each_packet(data, size, [&](const uint8_t* packet, size_t len) {
        gate.packet(packet, len);
        const int rc = table->decode(u, packet, static_cast<int>(len));
        FUZZ_CHECK(rc == 1 || rc == -22);
        if (len > 12) detector.see(packet + 12, len - 12);
        DdFrame f;
        if (codec == VideoCodec::av1 && len > 12 &&
            av1_dependency_descriptor(packet + 12, len - 12, &structure, &f))
            FUZZ_CHECK(f.fdiffs <= DdStructure::kMaxFdiffs && f.spatial_id < 64);
    });
    table->destroy(u);
    return 0;
}

}  // namespace codec_fuzz
