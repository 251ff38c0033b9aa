// Stream classifier and unwrap stage on arbitrary packet sequences of a few SSRCs and payload
// types (RED, RTX, ULPFEC, FlexFEC and probe shapes arise from the payload bytes), with and without
// an SDP map, into a reorder stage. Checked: no packet comes out larger than the largest that went
// in, or as anything but RTP; one packet given yields a bounded number of packets; nothing waits
// once the stream is finished; the structural tests never read outside the bytes they are given.
//
// Input: one byte of settings (bit 0: video, bit 1: with the SDP map), then per packet:
//   op   bits 0-1: SSRC (media, second, third, or bytes 2-5 of the payload as SSRC);
//        bits 2-4: payload type from the list below; bit 5: marker; bit 6: padding; bit 7:
//        sequence number from the payload's first two bytes instead of the next one
//   len  payload bytes that follow
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reorder_window.h"
#include "sdp_map.h"
#include "stream_unwrap.h"
#include "vp8_unpack.h"

namespace {

const uint8_t kTypes[8] = {96, 97, 118, 119, 120, 115, 63, 111};
const uint32_t kSsrcs[3] = {0x1000, 0x2000, 0x3000};

const streams::SdpMap& sdp_map() {
    static streams::SdpMap map = [] {
        streams::SdpMap m;
        std::string err;
        streams::parse_sdp(
            "m=video 9 RTP/AVPF 96 97 118 119 120 115\na=rtpmap:96 VP8/90000\n"
            "a=rtpmap:97 rtx/90000\na=fmtp:97 apt=96\na=rtpmap:118 red/90000\n"
            "a=rtpmap:119 rtx/90000\na=fmtp:119 apt=118\na=rtpmap:120 ulpfec/90000\n"
            "a=rtpmap:115 flexfec-03/90000\nm=audio 9 RTP/AVPF 111 63\n"
            "a=rtpmap:111 opus/48000/2\na=rtpmap:63 red/48000/2\n",
            &m, &err);
        return m;
    }();
    return map;
}

void keep(void* context, const uint8_t* p, size_t n, uint32_t, bool) {
    auto* largest = static_cast<size_t*>(context);
    FUZZ_CHECK(p != nullptr && n <= *largest);
}

size_t drain_all(streams::StreamUnwrap& u, ReorderWindow& w, size_t largest) {
    size_t yielded = 0;
    const uint8_t* p = nullptr;
    size_t n = 0;
    while (u.next(&p, &n)) {
        ++yielded;
        FUZZ_CHECK(p != nullptr && n >= 12 && n <= largest);
        streams::RtpSpan r;
        FUZZ_CHECK(streams::read_rtp(p, n, &r));
        u.pushed(w.push(p, n));
        const uint8_t* q = nullptr;
        size_t m = 0;
        while (w.pop(&q, &m)) FUZZ_CHECK(m <= largest);
    }
    return yielded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool video = data[0] & 1;
    const streams::SdpMap& sdp = sdp_map();
    StreamStats stats;
    streams::StreamUnwrap u(video, &stats,
                            (data[0] & 2) ? (video ? &sdp.video : &sdp.audio) : nullptr);
    size_t largest = 0;
    u.set_fec_hook({keep, &largest});
    ReorderWindow w(64, &stats.repair, video ? rtp_vp8_refused : streams::rtp_without_payload);
    uint16_t seq = 1000;
    uint32_t ts = 90000;
    std::vector<uint8_t> pkt;
    size_t i = 1;
    while (i + 2 <= size) {
        const uint8_t op = data[i];
        const size_t len = std::min<size_t>(data[i + 1], size - i - 2);
        const uint8_t* payload = data + i + 2;
        i += 2 + len;
        uint32_t ssrc = (op & 3) < 3 ? kSsrcs[op & 3] : 0;
        if ((op & 3) == 3 && len >= 6) memcpy(&ssrc, payload + 2, 4);
        if ((op & 0x80) && len >= 2) seq = static_cast<uint16_t>((payload[0] << 8) | payload[1]);
        const uint8_t pad = (op & 0x40) ? static_cast<uint8_t>(1 + len % 8) : 0;
        pkt = fuzz::rtp_header(
            static_cast<uint8_t>(0x80 | (pad ? 0x20 : 0)),
            static_cast<uint8_t>(((op & 0x20) ? 0x80 : 0) | kTypes[(op >> 2) & 7]), seq, ts, ssrc);
        pkt.insert(pkt.end(), payload, payload + len);
        if (pad) {
            pkt.insert(pkt.end(), pad - 1, 0);
            pkt.push_back(pad);
        }
        ++seq;
        ts += (op & 0x20) ? 3000 : 0;
        if (pkt.size() > largest) largest = pkt.size();
        u.take(pkt.data(), pkt.size());
        // One packet releases at most the ones waiting and itself, each unwrapped into a few, and
        // the probes that wait among them.
        FUZZ_CHECK(drain_all(u, w, largest) <=
                   (streams::StreamUnwrap::kMaxWaiting + 1) * (streams::kMaxRedBlocks + 1) +
                       streams::StreamUnwrap::kMaxWaitingProbes);
    }
    u.finish();
    drain_all(u, w, largest);
    const uint8_t* p = nullptr;
    size_t n = 0;
    FUZZ_CHECK(!u.next(&p, &n));  // nothing waits after the end
    w.flush();
    while (w.pop(&p, &n)) {
    }
    FUZZ_CHECK(stats.ssrcs.size() <= streams::StreamClassifier::kMaxSsrcs);
    return 0;
}
