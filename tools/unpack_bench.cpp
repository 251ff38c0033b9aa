// Times one codec's depacketizer alone: the video records of a work directory (as capture_synth
// writes them) are read into memory, then handed to the codec's unpacker again and again for at
// least a second; prints the bytes per second and nanoseconds per byte of packet.
//
//   unpack_bench vp8|vp9|av1|h264 [--rounds N] FILE.video...
//
// --rounds N: exactly N rounds instead of a second's worth, for instruction counts (callgrind)
// that do not depend on the machine's load.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rtp_payload.h"
#include "video_codec.h"

namespace {

int count_frame(void* param, const void*, int bytes, uint32_t, int) noexcept {
    *static_cast<uint64_t*>(param) += static_cast<uint64_t>(bytes);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: unpack_bench vp8|vp9|av1|h264 [--rounds N] FILE.video...\n");
        return 2;
    }
    const std::string name = argv[1];
    const VideoCodec codec = name == "vp9"    ? VideoCodec::vp9
                             : name == "av1"  ? VideoCodec::av1
                             : name == "h264" ? VideoCodec::h264
                                              : VideoCodec::vp8;
    int first_file = 2;
    long fixed_rounds = 0;
    if (argc > 4 && strcmp(argv[2], "--rounds") == 0) {
        fixed_rounds = strtol(argv[3], nullptr, 10);
        first_file = 4;
    }
    std::vector<std::vector<uint8_t>> packets;
    uint64_t bytes = 0;
    for (int i = first_file; i < argc; ++i) {
        FILE* f = fopen(argv[i], "rb");
        if (!f) {
            fprintf(stderr, "unpack_bench: cannot open %s\n", argv[i]);
            return 1;
        }
        uint8_t head[8];
        uint32_t first_uid = 0;
        bool have_uid = false;
        while (fread(head, 8, 1, f) == 1) {
            const uint32_t len =
                head[0] | (head[1] << 8) | (head[2] << 16) | (uint32_t{head[3]} << 24);
            const uint32_t uid =
                head[4] | (head[5] << 8) | (head[6] << 16) | (uint32_t{head[7]} << 24);
            std::vector<uint8_t> p(len);
            if (len == 0 || fread(p.data(), len, 1, f) != 1) break;
            if (!have_uid) first_uid = uid, have_uid = true;
            if (uid != first_uid) continue;  // one stream, as one unpacker sees it
            bytes += len;
            packets.push_back(std::move(p));
        }
        fclose(f);
    }
    uint64_t out = 0, rounds = 0;
    const rtp_payload_t handler = {count_frame};
    const rtp_unpacker_t* table = codec_unpacker(codec);
    const auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    do {
        void* u = table->create(&handler, &out);
        for (const auto& p : packets) table->decode(u, p.data(), static_cast<int>(p.size()));
        table->destroy(u);
        ++rounds;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (fixed_rounds > 0 ? rounds < static_cast<uint64_t>(fixed_rounds) : seconds < 1.0);
    const double total = static_cast<double>(bytes) * static_cast<double>(rounds);
    printf(
        "%s: %zu packets, %.1f MB (%llu bytes) per round, %llu rounds, %.0f MB/s, %.3f ns/byte, "
        "%llu frame "
        "bytes\n",
        name.c_str(), packets.size(), bytes / 1e6, static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(rounds), total / seconds / 1e6, seconds * 1e9 / total,
        static_cast<unsigned long long>(out / rounds));
    return 0;
}
