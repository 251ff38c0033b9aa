// Helpers for the audio tests: real Opus packets, RTP framing, an Ogg page reader, output capture
// and a decode through opusfile.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace audio_test {

using Bytes = std::vector<uint8_t>;

// Opus packets of real audio (a 440 Hz tone) from libopus at 48 kHz: `count` packets of
// `frame_ms` milliseconds (2.5, 5, 10, 20, 40 or 60) with `channels` channels.
std::vector<Bytes> encode_tone(int count, double frame_ms, int channels = 2);

// Joins Opus packets of equal duration into one multi-frame packet.
Bytes join_frames(const std::vector<Bytes>& packets);

// How the RTP header around a payload looks.
struct RtpShape {
    int csrc_count = 1;  // the usual capture has one CSRC: a 16-byte header
    int ext_words = -1;  // header extension length in 32-bit words; -1 for none
    int padding = 0;     // padding bytes at the end, the count byte included; 0 for none
};

Bytes make_rtp(uint16_t seq, const Bytes& payload, const RtpShape& shape = RtpShape());

// One Ogg page as it stands in a file.
struct OggPage {
    Bytes header;
    Bytes body;
    uint8_t flags = 0;
    int64_t granule = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    uint32_t crc = 0;
    std::vector<Bytes> packets;  // the packets that end on this page, whole
};

// Splits `bytes` into pages; an ill-formed file fails the current test and yields what was read.
std::vector<OggPage> parse_ogg_pages(const Bytes& bytes);
std::vector<OggPage> read_ogg_pages(const std::string& path);
// The CRC that libogg computes for the page.
uint32_t recomputed_crc(const OggPage& page);

Bytes read_bytes(const std::string& path);

struct DecodeResult {
    int open_error = 0;      // 0 when opusfile opened the file
    int64_t pcm_total = -1;  // op_pcm_total over the whole file
    int64_t decoded = 0;     // samples per channel that op_read delivered
    int read_error = 0;      // the first negative op_read result, 0 for none
};
DecodeResult decode_with_opusfile(const std::string& path);

// Redirects a standard stream (stdout or stderr) into a temporary file until take().
class StreamCapture {
public:
    explicit StreamCapture(FILE* stream);
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;
    std::string take();  // restores the stream and returns what was written

private:
    FILE* stream_;
    int saved_fd_ = -1;
    FILE* sink_ = nullptr;
};

// Makes `dir` the working directory for the object's lifetime.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;
    bool ok() const { return ok_; }

private:
    std::string saved_;
    bool ok_ = false;
};

}  // namespace audio_test
