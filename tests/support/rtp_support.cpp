#include "rtp_support.h"

namespace rtptest {

namespace {

int record_frame(void* param, const void* data, int bytes, uint32_t timestamp, int flags) {
    const auto* p = static_cast<const uint8_t*>(data);
    static_cast<std::vector<Frame>*>(param)->push_back({{p, p + bytes}, timestamp, flags});
    return 0;
}

}  // namespace

const rtp_payload_t kFrameRecorder = {record_frame};

std::ostream& operator<<(std::ostream& os, const Frame& f) {
    os << "{" << f.data.size() << " bytes:";
    for (uint8_t b : f.data) os << " " << static_cast<int>(b);
    return os << ", ts " << f.timestamp << ", flags 0x" << std::hex << f.flags << std::dec << "}";
}

std::vector<uint8_t> rtp_bytes(uint16_t seq, uint32_t ts, bool marker,
                               const std::vector<uint8_t>& payload, uint8_t pt, uint32_t ssrc) {
    std::vector<uint8_t> b = {0x80,
                              static_cast<uint8_t>((marker ? 0x80 : 0) | pt),
                              static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq),
                              static_cast<uint8_t>(ts >> 24),
                              static_cast<uint8_t>(ts >> 16),
                              static_cast<uint8_t>(ts >> 8),
                              static_cast<uint8_t>(ts),
                              static_cast<uint8_t>(ssrc >> 24),
                              static_cast<uint8_t>(ssrc >> 16),
                              static_cast<uint8_t>(ssrc >> 8),
                              static_cast<uint8_t>(ssrc)};
    for (uint8_t byte : payload) b.push_back(byte);  // (GCC 12 misreads insert here)
    return b;
}

}  // namespace rtptest
