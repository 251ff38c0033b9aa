// VP9, AV1 and H.264 through the whole chain: capture_synth encodes with libvpx, libaom and
// libx264 and packetizes as browsers do; the converter (--repair) depacketizes into Matroska; the
// frames read back with libavformat must be the encoder's own, byte for byte, and FFmpeg must
// decode the file without a word.
extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::Kind;
using harness::TempDir;
using Bytes = std::vector<uint8_t>;

std::string run_tool(const std::string& tool, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/" + tool};
    argv.insert(argv.end(), args.begin(), args.end());
    const harness::ProcessResult p = harness::run_process(argv);
    return p.status == 0 ? p.err + p.out : "exit " + std::to_string(p.status) + ": " + p.err;
}

// The packets of the first stream of a Matroska file, with its codec name and the seconds from
// its first packet's time to its last's.
std::vector<Bytes> mkv_frames(const std::string& path, std::string* codec, double* span = nullptr) {
    std::vector<Bytes> out;
    int64_t first = AV_NOPTS_VALUE, last = AV_NOPTS_VALUE;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return out;
    if (avformat_find_stream_info(ctx, nullptr) >= 0 && ctx->nb_streams > 0)
        *codec = avcodec_get_name(ctx->streams[0]->codecpar->codec_id);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        if (pkt->stream_index == 0) {
            out.emplace_back(pkt->data, pkt->data + pkt->size);
            if (first == AV_NOPTS_VALUE) first = pkt->pts;
            last = pkt->pts;
        }
        av_packet_unref(pkt);
    }
    if (span && first != AV_NOPTS_VALUE && ctx->nb_streams > 0)
        *span = static_cast<double>(last - first) * av_q2d(ctx->streams[0]->time_base);
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return out;
}

// The NAL units of an Annex B buffer or of a Matroska H.264 block (4-byte lengths), each as a
// separate vector, so that start code lengths do not matter.
std::vector<Bytes> nal_units(const Bytes& b, bool length_prefixed) {
    std::vector<Bytes> out;
    if (length_prefixed) {
        for (size_t k = 0; k + 4 <= b.size();) {
            const size_t n = (size_t{b[k]} << 24) | (size_t{b[k + 1]} << 16) |
                             (size_t{b[k + 2]} << 8) | b[k + 3];
            k += 4;
            if (n > b.size() - k) break;
            out.emplace_back(b.begin() + static_cast<long>(k),
                             b.begin() + static_cast<long>(k + n));
            k += n;
        }
        return out;
    }
    size_t start = SIZE_MAX;
    for (size_t i = 0; i + 3 <= b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                if (end > start && b[end - 1] == 0) --end;
                out.emplace_back(b.begin() + static_cast<long>(start),
                                 b.begin() + static_cast<long>(end));
            }
            start = i + 3;
        }
    }
    if (start != SIZE_MAX) out.emplace_back(b.begin() + static_cast<long>(start), b.end());
    return out;
}

// What the encoder's frame looks like once in Matroska: AV1 without its temporal delimiter.
Bytes as_stored(const std::string& codec, Bytes frame) {
    if (codec == "av1" && frame.size() >= 2 && frame[0] == 0x12 && frame[1] == 0x00)
        frame.erase(frame.begin(), frame.begin() + 2);
    return frame;
}

struct CodecCase {
    const char* codec;    // capture_synth --codec
    const char* av_name;  // the name libavformat gives the track
    const char* report;   // the report's codec
    std::vector<std::string> impair;
    bool all_frames;  // nothing is lost: every frame comes back
};

void PrintTo(const CodecCase& c, std::ostream* os) {
    *os << c.codec << (c.all_frames ? "" : " with loss");
}

class CodecRoundTrip : public ::testing::TestWithParam<CodecCase> {};

TEST_P(CodecRoundTrip, FramesAreTheEncodersAndDecodeSilently) {
    const CodecCase& c = GetParam();
    TempDir work, out, src;
    std::vector<std::string> args = {
        "--out", work.path(),      "--quiet",  "--users",       "1",     "--duration",
        "3",     "--seed",         "7",        "--codec",       c.codec, "--keyframe-interval",
        "30",    "--save-sources", src.path(), "--audio-users", "0"};
    args.insert(args.end(), c.impair.begin(), c.impair.end());
    const harness::ProcessResult synth = harness::run_capture_synth(args);
    ASSERT_EQ(synth.status, 0) << synth.err;
    const harness::ConverterRun run = harness::run_converter(
        work.slash(),
        {"-v", "--repair", "--wait-keyframe", "--webm", "--report", src.file("r.json")},
        out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.files.size(), 1u) << run.err;
    const std::string path = run.files.begin()->second;
    EXPECT_EQ(run_tool("ffmpeg", {"-v", "error", "-i", path, "-f", "null", "-"}), "");

    std::string av_name;
    double span = 0;
    const std::vector<Bytes> got = mkv_frames(path, &av_name, &span);
    EXPECT_EQ(av_name, c.av_name);
    // The frames keep the times of a 3-second capture (RTP ticks rescaled to the file's clock);
    // with loss the frames up to the next key frame may be missing at either end.
    if (c.all_frames) {
        EXPECT_GT(span, 2.0);
    }
    EXPECT_LT(span, 3.1);
    // --webm: VP9 and AV1 in a WebM, H.264 in an MP4, with the same frames.
    ASSERT_EQ(run.other_files.size(), 1u);
    const std::string& muxed = run.other_files[0];
    const std::string ext = std::string(c.codec) == "h264" ? ".mp4" : ".webm";
    EXPECT_EQ(muxed.substr(muxed.size() - ext.size()), ext);
    EXPECT_EQ(run_tool("ffmpeg", {"-v", "error", "-i", out.file(muxed), "-f", "null", "-"}), "");
    std::string muxed_name;
    double muxed_span = 0;
    EXPECT_EQ(mkv_frames(out.file(muxed), &muxed_name, &muxed_span).size(), got.size());
    EXPECT_NEAR(muxed_span, span, 0.05);
    EXPECT_EQ(muxed_name, c.av_name);
    harness::IvfFile sent;
    std::string err;
    ASSERT_TRUE(harness::read_ivf(
        src.file("video_" + std::to_string(run.files.begin()->first.first) + ".ivf"), &sent, &err))
        << err;
    ASSERT_FALSE(got.empty());
    if (c.all_frames) {
        ASSERT_EQ(got.size(), sent.frames.size());
    }
    const bool h264 = std::string(c.codec) == "h264";
    auto same = [&](const Bytes& want, const Bytes& frame) {
        const Bytes stored = as_stored(c.codec, want);
        return h264 ? nal_units(stored, false) == nal_units(frame, true) : stored == frame;
    };
    // Every frame written is one the encoder made, in order; without loss, every one of them.
    size_t at = 0;
    for (size_t i = 0; i < got.size(); ++i, ++at) {
        while (!c.all_frames && at < sent.frames.size() && !same(sent.frames[at].data, got[i]))
            ++at;
        ASSERT_LT(at, sent.frames.size()) << "frame " << i << " is none of the encoder's";
        ASSERT_TRUE(same(sent.frames[at].data, got[i])) << "frame " << i;
    }
    std::vector<uint8_t> report;
    ASSERT_TRUE(harness::read_file(src.file("r.json"), &report, &err)) << err;
    const std::string text(report.begin(), report.end());
    EXPECT_NE(text.find(std::string("\"codec\": \"") + c.report + "\""), std::string::npos) << text;
}

const std::vector<std::string> kLossWithRtx = {"--drop", "0.03", "--rtx-pt", "97"};
const std::vector<std::string> kLoss = {"--drop", "0.03"};

INSTANTIATE_TEST_SUITE_P(Table, CodecRoundTrip,
                         ::testing::Values(CodecCase{"vp9", "vp9", "VP9", {}, true},
                                           CodecCase{"av1", "av1", "AV1", {}, true},
                                           CodecCase{"h264", "h264", "H264", {}, true},
                                           CodecCase{"vp9", "vp9", "VP9", kLossWithRtx, true},
                                           CodecCase{"av1", "av1", "AV1", kLossWithRtx, true},
                                           CodecCase{"h264", "h264", "H264", kLossWithRtx, true},
                                           CodecCase{"vp9", "vp9", "VP9", kLoss, false},
                                           CodecCase{"av1", "av1", "AV1", kLoss, false},
                                           CodecCase{"h264", "h264", "H264", kLoss, false}));

}  // namespace

namespace {

// A capture of one H.265 video user (5) and one PCMU audio user (6), records as the recorder
// writes them.
void write_unconvertible(const TempDir& work, int packets) {
    Bytes video, audio;
    auto le32 = [](Bytes& b, uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    for (int i = 0; i < packets; ++i) {
        const bool first = i % 2 == 0;
        Bytes h265 = {0x80,
                      static_cast<uint8_t>(100 | (first ? 0 : 0x80)),
                      0,
                      static_cast<uint8_t>(i),
                      0,
                      0,
                      static_cast<uint8_t>(i / 2),
                      0,
                      0,
                      0,
                      0,
                      5};
        const Bytes nal =
            first ? Bytes{0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF} : Bytes{0x62, 0x01, 0x93, 0xAF, 0x11};
        h265.insert(h265.end(), nal.begin(), nal.end());
        le32(video, static_cast<uint32_t>(h265.size()));
        le32(video, 5);
        video.insert(video.end(), h265.begin(), h265.end());
        Bytes pcmu = {
            0x80, 0x00, 0, static_cast<uint8_t>(i), 0, 0, static_cast<uint8_t>(i), 0xA0, 0,
            0,    0,    6};
        pcmu.insert(pcmu.end(), 160, 0xFF);
        le32(audio, 0);
        le32(audio, 0);
        le32(audio, 6);
        le32(audio, static_cast<uint32_t>(pcmu.size()));
        audio.insert(audio.end(), pcmu.begin(), pcmu.end());
    }
    std::string err;
    ASSERT_TRUE(harness::write_file(work.file("cap_1.video"), video, &err)) << err;
    ASSERT_TRUE(harness::write_file(work.file("cap_1.audio"), audio, &err)) << err;
}

struct UnknownCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> said;  // lines on standard error, in part
};

void PrintTo(const UnknownCase& c, std::ostream* os) {
    *os << c.name;
}

class UnknownCodec : public ::testing::TestWithParam<UnknownCase> {};

TEST_P(UnknownCodec, IsSaidCountedAndReflectedInTheStatus) {
    const UnknownCase& c = GetParam();
    TempDir work, out;
    write_unconvertible(work, 40);
    std::string err;
    ASSERT_TRUE(harness::write_file(
        work.file("call.sdp"),
        [] {
            const std::string s =
                "v=0\r\nm=audio 9 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"
                "m=video 9 RTP/AVP 100\r\na=rtpmap:100 H265/90000\r\n";
            return Bytes(s.begin(), s.end());
        }(),
        &err))
        << err;
    std::vector<std::string> args = c.args;
    for (std::string& a : args)
        if (a == "SDP") a = work.file("call.sdp");
    args.insert(args.end(), {"--report", out.file("r.json")});
    const harness::ConverterRun run = harness::run_converter(work.slash(), args, out.path());
    EXPECT_EQ(run.status, c.status) << run.err;
    for (const std::string& line : c.said)
        EXPECT_NE(run.err.find(line), std::string::npos) << run.err;
    if (c.status != 3) return;
    Bytes report;
    ASSERT_TRUE(harness::read_file(out.file("r.json"), &report, &err)) << err;
    const std::string text(report.begin(), report.end());
    EXPECT_NE(text.find("\"codec\": \"unknown\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"unconverted_packets\": 40"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnknownCodec,
    ::testing::Values(
        UnknownCase{"structure",
                    {"-v", "-a", "--repair"},
                    3,
                    {"user 5: video stream of payload type 100 not converted (40 packets): its "
                     "packets read as none of VP8, VP9, AV1 and H.264",
                     "user 6: audio stream of payload type 0 not converted (40 packets): PCMU"}},
        UnknownCase{"sdp",
                    {"-v", "-a", "--sdp", "SDP"},
                    3,
                    {"user 5: video stream of payload type 100 not converted (40 packets): the "
                     "SDP names it H265",
                     "user 6: audio stream of payload type 0 not converted (40 packets): the SDP "
                     "names it PCMU"}},
        UnknownCase{"default_mode_unchanged", {"-v", "-a"}, 0, {}}));

}  // namespace

#include "align_outputs.h"

namespace {

// --align retimes IVF frame heads in place; the Matroska file of another codec must come out of
// it untouched.
TEST(AlignOutputs, LeavesAMatroskaFileAlone) {
    TempDir dir;
    Bytes mkv = {0x1A, 0x45, 0xDF, 0xA3};
    for (int i = 0; i < 200; ++i) mkv.push_back(static_cast<uint8_t>(i * 7));
    std::string err;
    ASSERT_TRUE(harness::write_file(dir.file("x.mkv"), mkv, &err)) << err;
    EXPECT_FALSE(retime_ivf(dir.file("x.mkv"), 1e6, 1.001, &err));
    Bytes after;
    ASSERT_TRUE(harness::read_file(dir.file("x.mkv"), &after, &err)) << err;
    EXPECT_EQ(after, mkv);
}

}  // namespace
