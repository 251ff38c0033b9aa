#include "audio_support.h"

#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <opus/opus.h>
#include <opusfile.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace audio_test {

std::vector<Bytes> encode_tone(int count, double frame_ms, int channels) {
    std::vector<Bytes> packets;
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(48000, channels, OPUS_APPLICATION_AUDIO, &err);
    if (enc == nullptr || err != OPUS_OK) {
        ADD_FAILURE() << "opus_encoder_create: " << err;
        return packets;
    }
    const int frame = static_cast<int>(48 * frame_ms);
    std::vector<opus_int16> pcm(static_cast<size_t>(frame * channels));
    long t = 0;
    for (int i = 0; i < count; ++i) {
        for (int s = 0; s < frame; ++s, ++t) {
            const auto v = static_cast<opus_int16>(8000 * std::sin(2 * M_PI * 440 * t / 48000.0));
            for (int c = 0; c < channels; ++c) pcm[static_cast<size_t>(s * channels + c)] = v;
        }
        unsigned char out[4000];
        const int n = opus_encode(enc, pcm.data(), frame, out, sizeof(out));
        if (n <= 0) {
            ADD_FAILURE() << "opus_encode: " << n;
            break;
        }
        packets.emplace_back(out, out + n);
    }
    opus_encoder_destroy(enc);
    return packets;
}

Bytes join_frames(const std::vector<Bytes>& packets) {
    OpusRepacketizer* rp = opus_repacketizer_create();
    for (const Bytes& p : packets) {
        const int rc = opus_repacketizer_cat(rp, p.data(), static_cast<opus_int32>(p.size()));
        if (rc != OPUS_OK) ADD_FAILURE() << "opus_repacketizer_cat: " << rc;
    }
    unsigned char out[8000];
    const int n = opus_repacketizer_out(rp, out, sizeof(out));
    opus_repacketizer_destroy(rp);
    if (n <= 0) {
        ADD_FAILURE() << "opus_repacketizer_out: " << n;
        return Bytes();
    }
    return Bytes(out, out + n);
}

Bytes make_rtp(uint16_t seq, const Bytes& payload, const RtpShape& shape) {
    Bytes p;
    const uint32_t timestamp = 960u * seq;
    p.push_back(static_cast<uint8_t>(0x80 | (shape.padding > 0 ? 0x20 : 0) |
                                     (shape.ext_words >= 0 ? 0x10 : 0) |
                                     (shape.csrc_count & 0x0F)));
    p.push_back(111);  // a dynamic payload type, as Opus uses
    p.push_back(static_cast<uint8_t>(seq >> 8));
    p.push_back(static_cast<uint8_t>(seq));
    for (int shift = 24; shift >= 0; shift -= 8)
        p.push_back(static_cast<uint8_t>(timestamp >> shift));
    for (uint8_t b : {0x11, 0x22, 0x33, 0x44}) p.push_back(b);  // SSRC
    for (int i = 0; i < shape.csrc_count; ++i)
        for (uint8_t b : {0xC0, 0x00, 0x00, static_cast<int>(i)}) p.push_back(b);
    if (shape.ext_words >= 0) {
        for (uint8_t b : {0xBE, 0xDE}) p.push_back(b);
        p.push_back(static_cast<uint8_t>(shape.ext_words >> 8));
        p.push_back(static_cast<uint8_t>(shape.ext_words));
        p.insert(p.end(), static_cast<size_t>(shape.ext_words) * 4, 0xEE);
    }
    p.insert(p.end(), payload.begin(), payload.end());
    if (shape.padding > 0) {
        p.insert(p.end(), static_cast<size_t>(shape.padding - 1), 0x00);
        p.push_back(static_cast<uint8_t>(shape.padding));
    }
    return p;
}

std::vector<OggPage> parse_ogg_pages(const Bytes& bytes) {
    std::vector<OggPage> pages;
    Bytes partial;
    size_t pos = 0;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 27 || memcmp(&bytes[pos], "OggS", 4) != 0) {
            ADD_FAILURE() << "no Ogg page at offset " << pos;
            return pages;
        }
        const uint8_t* h = &bytes[pos];
        const size_t segments = h[26];
        if (bytes.size() - pos < 27 + segments) {
            ADD_FAILURE() << "cut lacing table at offset " << pos;
            return pages;
        }
        size_t body_len = 0;
        for (size_t i = 0; i < segments; ++i) body_len += h[27 + i];
        const size_t header_len = 27 + segments;
        if (bytes.size() - pos < header_len + body_len) {
            ADD_FAILURE() << "cut page body at offset " << pos;
            return pages;
        }
        OggPage page;
        page.header.assign(h, h + header_len);
        page.body.assign(h + header_len, h + header_len + body_len);
        page.flags = h[5];
        uint64_t granule = 0;
        for (int i = 7; i >= 0; --i) granule = (granule << 8) | h[6 + i];
        page.granule = static_cast<int64_t>(granule);
        auto le32_at = [h](int off) {
            return static_cast<uint32_t>(h[off]) | (static_cast<uint32_t>(h[off + 1]) << 8) |
                   (static_cast<uint32_t>(h[off + 2]) << 16) |
                   (static_cast<uint32_t>(h[off + 3]) << 24);
        };
        page.serial = le32_at(14);
        page.sequence = le32_at(18);
        page.crc = le32_at(22);
        size_t off = 0;
        for (size_t i = 0; i < segments; ++i) {
            const uint8_t lace = h[27 + i];
            partial.insert(partial.end(), page.body.begin() + static_cast<long>(off),
                           page.body.begin() + static_cast<long>(off + lace));
            off += lace;
            if (lace < 255) {
                page.packets.push_back(partial);
                partial.clear();
            }
        }
        pages.push_back(std::move(page));
        pos += header_len + body_len;
    }
    return pages;
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Bytes();
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<OggPage> read_ogg_pages(const std::string& path) {
    return parse_ogg_pages(read_bytes(path));
}

uint32_t recomputed_crc(const OggPage& page) {
    Bytes header = page.header;
    Bytes body = page.body;
    ogg_page copy;
    copy.header = header.data();
    copy.header_len = static_cast<long>(header.size());
    copy.body = body.data();
    copy.body_len = static_cast<long>(body.size());
    ogg_page_checksum_set(&copy);
    return static_cast<uint32_t>(header[22]) | (static_cast<uint32_t>(header[23]) << 8) |
           (static_cast<uint32_t>(header[24]) << 16) | (static_cast<uint32_t>(header[25]) << 24);
}

DecodeResult decode_with_opusfile(const std::string& path) {
    DecodeResult result;
    OggOpusFile* of = op_open_file(path.c_str(), &result.open_error);
    if (of == nullptr) {
        if (result.open_error == 0) result.open_error = INT_MIN;
        return result;
    }
    result.pcm_total = op_pcm_total(of, -1);
    std::vector<opus_int16> pcm(5760 * 2);
    for (;;) {
        const int n = op_read(of, pcm.data(), static_cast<int>(pcm.size()), nullptr);
        if (n < 0) {
            result.read_error = n;
            break;
        }
        if (n == 0) break;
        result.decoded += n;
    }
    op_free(of);
    return result;
}

StreamCapture::StreamCapture(FILE* stream) : stream_(stream) {
    fflush(stream_);
    sink_ = tmpfile();
    saved_fd_ = dup(fileno(stream_));
    if (sink_ == nullptr || saved_fd_ < 0 || dup2(fileno(sink_), fileno(stream_)) < 0)
        ADD_FAILURE() << "cannot redirect a standard stream";
}

StreamCapture::~StreamCapture() {
    take();
}

std::string StreamCapture::take() {
    if (saved_fd_ < 0) return std::string();
    fflush(stream_);
    dup2(saved_fd_, fileno(stream_));
    close(saved_fd_);
    saved_fd_ = -1;
    std::string text;
    if (sink_ != nullptr) {
        rewind(sink_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), sink_)) > 0) text.append(buf, n);
        fclose(sink_);
        sink_ = nullptr;
    }
    return text;
}

ScopedChdir::ScopedChdir(const std::string& dir) {
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof(buf)) != nullptr) saved_ = buf;
    ok_ = !saved_.empty() && chdir(dir.c_str()) == 0;
    if (!ok_) ADD_FAILURE() << "cannot enter " << dir;
}

ScopedChdir::~ScopedChdir() {
    if (!saved_.empty() && chdir(saved_.c_str()) != 0)
        ADD_FAILURE() << "cannot return to " << saved_;
}

}  // namespace audio_test
