// The per-user IVF writer, byte for byte: file header, frame records, the length field, failures of
// the output file, the file name, and a round trip through libvpx.
#include "user_video.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <unistd.h>
#include <vpx/vp8cx.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>
#include <vpx/vpx_encoder.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "rtp_support.h"
#include "utils.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const Bytes kHeader = {'D',  'K',  'I',  'F',  0x00, 0x00, 0x20, 0x00, 'V',  'P',  '8',
                       '0',  0x80, 0x02, 0xE0, 0x01, 0x90, 0x5F, 0x01, 0x00, 0x01, 0x00,
                       0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Runs the test body in a fresh directory, the writer's current working directory.
class ScopedDir {
public:
    explicit ScopedDir(const fs::path& dir = {}) : old_(fs::current_path()) {
        if (dir.empty()) {
            char tmpl[] = "/tmp/user_video_test_XXXXXX";
            const char* made = mkdtemp(tmpl);
            EXPECT_NE(made, nullptr);
            temp_ = made ? made : "/tmp";
            fs::current_path(temp_);
        } else {
            fs::current_path(dir);
        }
    }
    ~ScopedDir() {
        fs::current_path(old_);
        if (!temp_.empty()) fs::remove_all(temp_);
    }

    // The one *.mkv file the writer made here.
    Bytes only_mkv() const {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(fs::current_path()))
            if (e.path().extension() == ".mkv") found.push_back(e.path());
        EXPECT_EQ(found.size(), 1u);
        if (found.size() != 1) return {};
        std::ifstream in(found[0], std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

private:
    fs::path old_;
    fs::path temp_;
};

std::vector<uint8_t> rtp(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload) {
    return rtptest::rtp_bytes(seq, ts, marker, payload, 96, 0xCAFE0001);
}

// One single-packet frame (S and marker set) per entry.
void feed_frames(userVideo& writer, const std::vector<std::pair<uint32_t, Bytes>>& frames) {
    uint16_t seq = 100;
    for (const auto& [ts, data] : frames) {
        Bytes payload = {0x10};
        payload.insert(payload.end(), data.begin(), data.end());
        const Bytes packet = rtp(seq++, ts, true, payload);
        writer.put_rtp_data(packet.data(), packet.size());
    }
}

Bytes write_ivf(const std::vector<std::pair<uint32_t, Bytes>>& frames) {
    ScopedDir dir;
    {
        userVideo writer(42);
        feed_frames(writer, frames);
        writer.flush_all();
    }
    return dir.only_mkv();
}

Bytes slice(const Bytes& b, size_t from, size_t n) {
    if (from + n > b.size()) return {};
    return Bytes(b.begin() + from, b.begin() + from + n);
}

TEST(UserVideo, HeaderAloneWhenNoFrameCompletes) {
    ScopedDir dir;
    {
        userVideo writer(42);
        const Bytes packet = rtp(1, 1000, false, {0x10, 1, 2, 3});
        writer.put_rtp_data(packet.data(), packet.size());
        writer.flush_all();
    }
    EXPECT_EQ(dir.only_mkv(), kHeader);
}

TEST(UserVideo, FrameRecordIsTwelveBytesPlusTheFrame) {
    const Bytes file = write_ivf({{0x01020304, {0xAA, 0xBB, 0xCC}}});
    Bytes golden = kHeader;
    const Bytes record = {0x03, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01,
                          0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC};
    golden.insert(golden.end(), record.begin(), record.end());
    EXPECT_EQ(file, golden);

    for (size_t n : {size_t{1}, size_t{1000}, size_t{70000}}) {
        const Bytes big = write_ivf({{5, Bytes(n, 0x61)}, {3005, Bytes(n, 0x62)}});
        EXPECT_EQ(big.size(), 32 + 2 * (12 + n));
        EXPECT_EQ(slice(big, 32, 4), (Bytes{static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                            static_cast<uint8_t>(n >> 16), 0}));
        EXPECT_EQ(big.back(), 0x62);
    }
}

TEST(UserVideo, LengthField) {
    const auto spaced = [](uint32_t first, int count, uint32_t step) {
        std::vector<std::pair<uint32_t, Bytes>> frames;
        for (int i = 0; i < count; ++i) frames.push_back({first + i * step, {0x9D}});
        return frames;
    };
    const Bytes unknown(8, 0xFF);
    const struct {
        const char* name;
        std::vector<std::pair<uint32_t, Bytes>> frames;
        Bytes field;
    } cases[] = {
        {"one frame", spaced(1000, 1, 0), unknown},
        {"two frames 3000 apart", spaced(1000, 2, 3000), {0x70, 0x17, 0, 0, 0, 0, 0, 0}},
        {"three frames 3000 apart", spaced(1000, 3, 3000), {0x28, 0x23, 0, 0, 0, 0, 0, 0}},
        {"ten frames 3000 apart", spaced(1000, 10, 3000), {0x30, 0x75, 0, 0, 0, 0, 0, 0}},
        {"backwards 100 then 40", {{100, {1}}, {40, {2}}}, {0x88, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) EXPECT_EQ(slice(write_ivf(c.frames), 24, 8), c.field) << c.name;
}

TEST(UserVideo, TimestampsAreRawRtpTimestamps) {
    const Bytes file = write_ivf({{0xFFFFFFF0u, {1}}, {0x00000BB0u, {2}}});
    ASSERT_EQ(file.size(), 32u + 2 * 13);
    EXPECT_EQ(slice(file, 32 + 4, 8), (Bytes{0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    EXPECT_EQ(slice(file, 32 + 13 + 4, 8), (Bytes{0xB0, 0x0B, 0, 0, 0, 0, 0, 0}));
}

TEST(UserVideo, OutputThatCannotBeCreatedSkipsTheUser) {
    output_failure_reset();
    {
        ScopedDir proc("/proc");
        userVideo writer(9);
        testing::internal::CaptureStderr();
        feed_frames(writer, {{1000, {1}}, {4000, {2}}});
        writer.flush_all();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find("_9.mkv"), std::string::npos) << err;
        EXPECT_NE(err.find("cannot create"), std::string::npos) << err;
        EXPECT_EQ(writer.decoder, nullptr);
        EXPECT_EQ(writer.frame_count, 0u);
    }
    EXPECT_TRUE(output_failure_seen());
    output_failure_reset();
}

// Once the file is made, the writer's stream is swapped for one on /dev/full, which takes no byte.
TEST(UserVideo, FullDiskIsReportedOncePerFile) {
    const struct {
        const char* name;
        int frames;
        size_t frame_size;
        const char* message;
    } cases[] = {
        {"lost at close", 1, 10, "cannot finish writing"},
        {"lost when the length is patched", 3, 10, "cannot write"},
        {"lost at the first frame", 3, 300 * 1024, "cannot write"},
    };
    for (const auto& c : cases) {
        ScopedDir dir;
        output_failure_reset();
        std::string err;
        std::string name;
        {
            userVideo writer(77);
            writer.put_rtp_data(nullptr, 0);  // makes the file and writes its header
            ASSERT_TRUE(writer.file) << c.name;
            name = writer.name;
            writer.file.reset(fopen("/dev/full", "wb"));
            ASSERT_TRUE(writer.file) << c.name;
            testing::internal::CaptureStderr();
            std::vector<std::pair<uint32_t, Bytes>> frames;
            for (int i = 0; i < c.frames; ++i)
                frames.push_back({3000u * i, Bytes(c.frame_size, 0x11)});
            feed_frames(writer, frames);
            writer.flush_all();
            err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(writer.frame_count, static_cast<uint64_t>(c.frames)) << c.name;
        }
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.name << ": " << err;
        EXPECT_NE(err.find(name), std::string::npos) << c.name << ": " << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
        EXPECT_TRUE(output_failure_seen()) << c.name;
    }
    output_failure_reset();
}

// Writes that fail for a moment (a transient error), during one frame: the stream's descriptor
// is pointed at /dev/full for that frame only. Nothing is written to the file after the failure,
// the length is not patched, and the failure is reported once.
TEST(UserVideo, NothingIsWrittenAfterAFailedWrite) {
    for (const size_t failing_frame : {0, 1, 3}) {
        SCOPED_TRACE("frame " + std::to_string(failing_frame) + " fails");
        ScopedDir dir;
        output_failure_reset();
        const int disk = open("records", O_RDWR | O_CREAT | O_TRUNC, 0644);
        const int full = open("/dev/full", O_WRONLY);
        ASSERT_GE(disk, 0);
        ASSERT_GE(full, 0);
        std::string err;
        {
            userVideo writer(78);
            writer.put_rtp_data(nullptr, 0);  // makes the file and writes its header
            writer.file.reset(fdopen(dup(disk), "wb"));
            ASSERT_TRUE(writer.file);
            setvbuf(writer.file.get(), nullptr, _IONBF, 0);
            const int fd = fileno(writer.file.get());
            testing::internal::CaptureStderr();
            for (size_t i = 0; i < 5; ++i) {
                ASSERT_GE(dup2(i == failing_frame ? full : disk, fd), 0);
                feed_frames(writer, {{static_cast<uint32_t>(3000 * i), {1, 2}}});
            }
            ASSERT_GE(dup2(disk, fd), 0);
            writer.flush_all();
            err = testing::internal::GetCapturedStderr();
        }
        close(full);
        close(disk);
        std::ifstream in("records", std::ios::binary);
        const Bytes written((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(written.size(), failing_frame * 14);  // the whole records before it, unpatched
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find("_78.mkv: cannot write"), std::string::npos) << err;
        EXPECT_TRUE(output_failure_seen());
    }
    output_failure_reset();
}

class ScopedUtc {
public:
    ScopedUtc() {
        if (const char* tz = getenv("TZ")) old_ = tz, had_ = true;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~ScopedUtc() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

std::string utc_stamp(time_t t) {
    struct tm tm_utc = {};
    gmtime_r(&t, &tm_utc);
    char buf[64];
    strftime(buf, sizeof(buf), "%Y-%m-%d_%H-%M-%S", &tm_utc);
    return buf;
}

TEST(TimeFilename, LocalTimeThenUnsignedUserIdThenExtension) {
    ScopedUtc utc;
    const struct {
        uint32_t uid;
        const char* ext;
        const char* tail;
    } cases[] = {
        {0, "mkv", "_0.mkv"}, {4294967295u, "ogg", "_4294967295.ogg"}, {42, "mkv", "_42.mkv"}};
    // POSIX regex: GCC 12's <regex> trips -Werror under the sanitizer build.
    regex_t shape;
    ASSERT_EQ(
        regcomp(&shape, "^[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}_[0-9]+\\.[a-z]+$",
                REG_EXTENDED | REG_NOSUB),
        0);
    for (const auto& c : cases) {
        const time_t before = time(nullptr);
        const std::string name = timeFilename(c.ext, c.uid);
        const time_t after = time(nullptr);
        EXPECT_EQ(regexec(&shape, name.c_str(), 0, nullptr, 0), 0) << name;
        EXPECT_TRUE(name == utc_stamp(before) + c.tail || name == utc_stamp(after) + c.tail)
            << name;
    }
    regfree(&shape);
}

// Real VP8 from libvpx, cut into small RTP packets with full descriptors, through the writer and
// back through the decoder.
TEST(UserVideo, RoundTripThroughLibvpx) {
    constexpr unsigned kW = 64, kH = 48;
    constexpr int kFrames = 6;
    vpx_codec_enc_cfg_t cfg;
    ASSERT_EQ(vpx_codec_enc_config_default(vpx_codec_vp8_cx(), &cfg, 0), VPX_CODEC_OK);
    cfg.g_w = kW;
    cfg.g_h = kH;
    cfg.g_timebase = {1, 30};
    cfg.rc_target_bitrate = 300;
    cfg.g_lag_in_frames = 0;
    vpx_codec_ctx_t enc;
    ASSERT_EQ(vpx_codec_enc_init(&enc, vpx_codec_vp8_cx(), &cfg, 0), VPX_CODEC_OK);
    vpx_image_t img;
    ASSERT_NE(vpx_img_alloc(&img, VPX_IMG_FMT_I420, kW, kH, 1), nullptr);

    std::vector<Bytes> encoded;
    for (int f = 0; f < kFrames; ++f) {
        for (unsigned y = 0; y < kH; ++y)
            for (unsigned x = 0; x < kW; ++x)
                img.planes[0][y * img.stride[0] + x] = static_cast<uint8_t>(x * 4 + y + f * 9);
        for (int p = 1; p < 3; ++p)
            for (unsigned y = 0; y < kH / 2; ++y)
                for (unsigned x = 0; x < kW / 2; ++x)
                    img.planes[p][y * img.stride[p] + x] = static_cast<uint8_t>(128 + p * x);
        ASSERT_EQ(vpx_codec_encode(&enc, &img, f, 1, 0, VPX_DL_GOOD_QUALITY), VPX_CODEC_OK);
        vpx_codec_iter_t it = nullptr;
        while (const vpx_codec_cx_pkt_t* pkt = vpx_codec_get_cx_data(&enc, &it)) {
            if (pkt->kind != VPX_CODEC_CX_FRAME_PKT) continue;
            const auto* d = static_cast<const uint8_t*>(pkt->data.frame.buf);
            encoded.emplace_back(d, d + pkt->data.frame.sz);
        }
    }
    vpx_img_free(&img);
    vpx_codec_destroy(&enc);
    ASSERT_EQ(encoded.size(), static_cast<size_t>(kFrames));

    // Sequence numbers and timestamps both wrap during the stream.
    constexpr size_t kMtuData = 100;
    uint16_t seq = 65530;
    const uint32_t ts0 = 0xFFFFF000u;
    ScopedDir dir;
    {
        userVideo writer(5);
        for (int f = 0; f < kFrames; ++f) {
            const Bytes& frame = encoded[f];
            const uint16_t picture_id = static_cast<uint16_t>(32760 + f) & 0x7FFF;
            for (size_t off = 0; off < frame.size(); off += kMtuData) {
                const size_t n = std::min(kMtuData, frame.size() - off);
                Bytes payload = {static_cast<uint8_t>(off == 0 ? 0x90 : 0x80), 0x80,
                                 static_cast<uint8_t>(0x80 | (picture_id >> 8)),
                                 static_cast<uint8_t>(picture_id)};
                payload.insert(payload.end(), frame.begin() + off, frame.begin() + off + n);
                const Bytes packet = rtp(seq++, ts0 + 3000u * f, off + n == frame.size(), payload);
                writer.put_rtp_data(packet.data(), packet.size());
            }
        }
        writer.flush_all();
    }
    const Bytes file = dir.only_mkv();
    ASSERT_GE(file.size(), 32u);
    EXPECT_EQ(slice(file, 0, 24), slice(kHeader, 0, 24));

    vpx_codec_ctx_t dec;
    ASSERT_EQ(vpx_codec_dec_init(&dec, vpx_codec_vp8_dx(), nullptr, 0), VPX_CODEC_OK);
    size_t pos = 32;
    for (int f = 0; f < kFrames; ++f) {
        ASSERT_LE(pos + 12, file.size());
        const uint32_t size = file[pos] | file[pos + 1] << 8 | file[pos + 2] << 16 |
                              static_cast<uint32_t>(file[pos + 3]) << 24;
        uint64_t ts = 0;
        for (int i = 7; i >= 0; --i) ts = ts << 8 | file[pos + 4 + i];
        EXPECT_EQ(ts, static_cast<uint32_t>(ts0 + 3000u * f));
        ASSERT_LE(pos + 12 + size, file.size());
        const Bytes frame(file.begin() + pos + 12, file.begin() + pos + 12 + size);
        EXPECT_EQ(frame, encoded[f]) << "frame " << f;
        ASSERT_EQ(vpx_codec_decode(&dec, frame.data(), size, nullptr, 0), VPX_CODEC_OK);
        vpx_codec_iter_t it = nullptr;
        const vpx_image_t* out = vpx_codec_get_frame(&dec, &it);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->d_w, kW);
        EXPECT_EQ(out->d_h, kH);
        pos += 12 + size;
    }
    EXPECT_EQ(pos, file.size());
    vpx_codec_destroy(&dec);
}

}  // namespace
