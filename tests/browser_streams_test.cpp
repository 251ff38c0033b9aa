// Browser streams end to end: captures that wrap their media the way WebRTC senders do (RED, RTX
// with probes and repeats, ULPFEC inside RED, FlexFEC, audio RED) converted with --repair, against
// the same media sent plain and converted without options.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace {

using harness::Kind;
using harness::TempDir;
using nlohmann::json;

const std::vector<std::string> kShape = {
    "--users", "2",       "--duration",          "4", "--seed", "31", "--ext",
    "3",       "--quiet", "--keyframe-interval", "30"};

// Every payload type the synthesized captures use, as a browser would negotiate them.
const char kSdp[] =
    "v=0\r\n"
    "m=audio 9 UDP/TLS/RTP/SAVPF 111 63\r\n"
    "a=rtpmap:111 opus/48000/2\r\n"
    "a=rtpmap:63 red/48000/2\r\n"
    "a=fmtp:63 111/111\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 96 97 118 119 120 115\r\n"
    "a=rtpmap:96 VP8/90000\r\n"
    "a=rtpmap:97 rtx/90000\r\n"
    "a=fmtp:97 apt=96\r\n"
    "a=rtpmap:118 red/90000\r\n"
    "a=rtpmap:119 rtx/90000\r\n"
    "a=fmtp:119 apt=118\r\n"
    "a=rtpmap:120 ulpfec/90000\r\n"
    "a=rtpmap:115 flexfec-03/90000\r\n";

struct Capture {
    TempDir work;
    TempDir out;
    harness::ConverterRun run;
    json report;
};

void make(Capture* c, const std::vector<std::string>& wrap, const std::vector<std::string>& args) {
    std::vector<std::string> synth = {"--out", c->work.path()};
    synth.insert(synth.end(), kShape.begin(), kShape.end());
    synth.insert(synth.end(), wrap.begin(), wrap.end());
    const harness::ProcessResult s = harness::run_capture_synth(synth);
    ASSERT_EQ(s.status, 0) << s.err;
    std::vector<std::string> conv = args;
    const std::string report = c->work.file("report.json");
    conv.insert(conv.end(), {"--report", report});
    for (std::string& a : conv)
        if (a == "SDP") {
            std::string err;
            const std::string path = c->work.file("call.sdp");
            ASSERT_TRUE(
                harness::write_file(path, std::vector<uint8_t>(kSdp, kSdp + sizeof kSdp - 1), &err))
                << err;
            a = path;
        }
    c->run = harness::run_converter(c->work.slash(), conv, c->out.path());
    ASSERT_EQ(c->run.status, 0) << c->run.err;
    std::vector<uint8_t> text;
    ASSERT_TRUE(harness::read_file(report, &text, nullptr));
    c->report = json::parse(text.begin(), text.end());
}

// The users' streams of one kind in the report, by user id.
std::vector<const json*> streams_of(const json& report, const char* kind) {
    std::vector<const json*> out;
    for (const json& u : report["users"])
        if (u.contains(kind)) out.push_back(&u[kind]);
    return out;
}

uint64_t total(const json& report, const char* kind, const char* counter) {
    uint64_t n = 0;
    for (const json* s : streams_of(report, kind)) n += (*s)["repair"][counter].get<uint64_t>();
    return n;
}

void expect_same_output(const Capture& plain, const Capture& wrapped) {
    ASSERT_EQ(plain.run.files.size(), 4u);
    ASSERT_EQ(wrapped.run.files.size(), plain.run.files.size());
    for (const auto& [key, path] : plain.run.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(wrapped.run.files.count(key));
        ASSERT_NO_FATAL_FAILURE(
            harness::expect_same_media(key.second, path, wrapped.run.files.at(key)));
    }
}

// ---- Each wrapping, nothing lost or losses RTX repairs: the plain capture's output ----------

struct Wrapping {
    const char* name;
    std::vector<std::string> wrap;
    bool rtx_repairs;  // media losses that RTX must make good
    bool fec;
    uint64_t probes = 0;  // padding-only packets on the users' media SSRCs
};

void PrintTo(const Wrapping& w, std::ostream* os) {
    *os << w.name;
}

class BrowserStreams : public ::testing::TestWithParam<std::tuple<Wrapping, bool>> {};

TEST_P(BrowserStreams, RepairWritesThePlainCapturesOutput) {
    const Wrapping& w = std::get<0>(GetParam());
    const bool sdp = std::get<1>(GetParam());
    Capture plain, wrapped;
    make(&plain, {}, {"-v", "-a"});
    std::vector<std::string> args = {"-v", "-a", "--repair"};
    if (sdp) args.insert(args.end(), {"--sdp", "SDP"});
    make(&wrapped, w.wrap, args);
    EXPECT_EQ(wrapped.run.err, "");
    expect_same_output(plain, wrapped);
    for (const char* kind : {"video", "audio"}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(total(wrapped.report, kind, "resets"), 0u);
        // The span comes from media packets alone: probes with timestamp 0 do not stretch it.
        const auto p = streams_of(plain.report, kind), q = streams_of(wrapped.report, kind);
        ASSERT_EQ(p.size(), q.size());
        for (size_t i = 0; i < p.size(); ++i)
            EXPECT_EQ((*q[i])["duration_seconds"], (*p[i])["duration_seconds"]);
    }
    // The wrapped capture's manifest describes what --repair writes.
    harness::Manifest manifest;
    std::string err;
    ASSERT_TRUE(harness::read_manifest(wrapped.work.file("manifest.txt"), &manifest, &err)) << err;
    for (const auto& [key, path] : wrapped.run.files) {
        if (key.second != Kind::video) continue;
        harness::IvfFile ivf;
        ASSERT_TRUE(harness::read_ivf(path, &ivf, &err)) << err;
        const std::vector<harness::ManifestFrame>& want = manifest.streams.at(key).frames;
        ASSERT_EQ(ivf.frames.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_EQ(harness::fnv1a64(ivf.frames[i].data), want[i].hash) << "frame " << i;
    }
    EXPECT_EQ(total(wrapped.report, "video", "rtx_recovered") > 0, w.rtx_repairs);
    EXPECT_EQ(total(wrapped.report, "video", "fec_packets") > 0, w.fec);
    const bool rtx = std::find(w.wrap.begin(), w.wrap.end(), "--rtx-pt") != w.wrap.end();
    EXPECT_EQ(total(wrapped.report, "video", "probes"),
              (rtx ? 12u : 0u) + w.probes);  // RTX: 6 a user
    for (const json* s : streams_of(wrapped.report, "video")) {
        std::vector<std::string> roles;
        for (const json& e : (*s)["ssrcs"]) roles.push_back(e["role"]);
        EXPECT_EQ(std::count(roles.begin(), roles.end(), "media"), 1) << s->dump();
        EXPECT_EQ(std::count(roles.begin(), roles.end(), "rtx"), rtx ? 1 : 0) << s->dump();
    }
}

const Wrapping kWrappings[] = {
    {"red", {"--red-pt", "118"}, false, false},
    {"rtx", {"--rtx-pt", "97"}, false, false},
    {"red_ulpfec", {"--red-pt", "118", "--ulpfec-pt", "120"}, false, true},
    {"flexfec", {"--flexfec-pt", "115"}, false, true},
    {"audio_red", {"--audio-red-pt", "63"}, false, false},
    // Chromium without RTX: a burst of probes on the media SSRC after two RED packets, before the
    // third can show the payload type is RED.
    {"red_probe_burst", {"--red-pt", "118", "--probe-burst", "1:20"}, false, false, 40},
    {"rtx_loss", {"--rtx-pt", "97", "--drop", "0.03", "--impair", "video"}, true, false},
    {"red_rtx_fec_loss",
     {"--red-pt", "118", "--rtx-pt", "119", "--flexfec-pt", "115", "--audio-red-pt", "63", "--drop",
      "0.03", "--impair", "video"},
     true,
     true},
};

INSTANTIATE_TEST_SUITE_P(Captures, BrowserStreams,
                         ::testing::Combine(::testing::ValuesIn(kWrappings), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_sdp" : "_classified");
                         });

// ---- The synthesizer's FEC: each FEC packet XORed with the packets it names gives zeros -------

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
size_t header_size(const std::vector<uint8_t>& p) {
    size_t h = 12 + 4 * size_t{p[0] & 0x0Fu};
    if (p[0] & 0x10) h += 4 + 4 * size_t{be16(&p[h + 2])};
    return h;
}

// XORs the recovery fields and payload of `fec` (bytes 0-1, length, timestamp, then data) with
// the protected packets; all zero when the FEC packet is right.
void expect_xor_zero(const std::vector<uint8_t>& first2, uint16_t length, uint32_t ts,
                     const uint8_t* data, size_t data_size,
                     const std::vector<const std::vector<uint8_t>*>& prot) {
    uint8_t b0 = first2[0], b1 = first2[1];
    std::vector<uint8_t> x(data, data + data_size);
    for (const std::vector<uint8_t>* p : prot) {
        b0 ^= (*p)[0];
        b1 ^= (*p)[1];
        length ^= static_cast<uint16_t>(p->size() - 12);
        ts ^= (uint32_t{(*p)[4]} << 24) | (uint32_t{(*p)[5]} << 16) | ((*p)[6] << 8) | (*p)[7];
        ASSERT_LE(p->size() - 12, x.size());
        for (size_t i = 12; i < p->size(); ++i) x[i - 12] ^= (*p)[i];
    }
    EXPECT_EQ(b0 & 0x3F, 0);
    EXPECT_EQ(b1, 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(ts, 0u);
    EXPECT_EQ(x, std::vector<uint8_t>(x.size(), 0));
}

TEST(BrowserStreamsSynth, FecPacketsHoldTheXorOfWhatTheyProtect) {
    TempDir work;
    const harness::ProcessResult s = harness::run_capture_synth(
        {"--out", work.path(), "--quiet", "--users", "1", "--audio-users", "0", "--duration", "2",
         "--red-pt", "118", "--ulpfec-pt", "120", "--flexfec-pt", "115", "--padding", "3",
         "--video-kbps", "900"});
    ASSERT_EQ(s.status, 0) << s.err;
    harness::CaptureStream capture;
    std::string err;
    ASSERT_TRUE(harness::read_capture_dir(work.path(), Kind::video, &capture, &err)) << err;
    // Media packets as a receiver unwraps them (RED header out, padding out), by sequence number.
    std::map<uint16_t, std::vector<uint8_t>> media;
    std::vector<std::vector<uint8_t>> ulpfec, flexfec;
    for (const harness::CaptureRecord& r : capture.records) {
        const std::vector<uint8_t>& p = r.packet;
        const size_t h = header_size(p);
        const size_t end = p.size() - ((p[0] & 0x20) ? p.back() : 0);
        if ((p[1] & 0x7F) == 115) {
            flexfec.emplace_back(p.begin() + static_cast<long>(h),
                                 p.begin() + static_cast<long>(end));
        } else if (p[h] == 120) {
            ulpfec.emplace_back(p.begin() + static_cast<long>(h) + 1,
                                p.begin() + static_cast<long>(end));
        } else {
            std::vector<uint8_t> m(p.begin(), p.begin() + static_cast<long>(h));
            m[0] &= static_cast<uint8_t>(~0x20);
            m[1] = static_cast<uint8_t>((p[1] & 0x80) | p[h]);
            m.insert(m.end(), p.begin() + static_cast<long>(h) + 1,
                     p.begin() + static_cast<long>(end));
            media[be16(&p[2])] = std::move(m);
        }
    }
    ASSERT_EQ(ulpfec.size(), 60u);  // one per frame
    ASSERT_EQ(flexfec.size(), 60u);
    size_t protected_total = 0;
    for (const std::vector<uint8_t>& f : ulpfec) {
        const bool long_mask = f[0] & 0x40;
        const uint16_t base = be16(&f[2]);
        std::vector<const std::vector<uint8_t>*> prot;
        for (int bit = 0; bit < (long_mask ? 48 : 16); ++bit)
            if (f[12 + bit / 8] & (0x80 >> (bit % 8)))
                prot.push_back(&media.at(static_cast<uint16_t>(base + bit)));
        const size_t level = 12 + (long_mask ? 6 : 2);
        EXPECT_EQ(be16(&f[10]), f.size() - level);  // protection length
        protected_total += prot.size();
        expect_xor_zero({f[0], f[1]}, be16(&f[8]),
                        (uint32_t{f[4]} << 24) | (uint32_t{f[5]} << 16) | (f[6] << 8) | f[7],
                        f.data() + level, f.size() - level, prot);
    }
    EXPECT_EQ(protected_total, media.size());
    for (const std::vector<uint8_t>& f : flexfec) {
        ASSERT_GE(f.size(), 20u);
        EXPECT_EQ(f[8], 1);  // one SSRC
        const uint16_t base = be16(&f[16]);
        // Mask bits 0-14 after the k bit; the synthesizer's frames need no more here.
        ASSERT_TRUE(f[18] & 0x80);
        std::vector<const std::vector<uint8_t>*> prot;
        const uint16_t mask = be16(&f[18]) & 0x7FFF;
        for (int bit = 0; bit < 15; ++bit)
            if (mask & (0x4000 >> bit))
                prot.push_back(&media.at(static_cast<uint16_t>(base + bit)));
        expect_xor_zero({f[0], f[1]}, be16(&f[2]),
                        (uint32_t{f[4]} << 24) | (uint32_t{f[5]} << 16) | (f[6] << 8) | f[7],
                        f.data() + 20, f.size() - 20, prot);
    }
}

// The RTX SSRC the way a browser fills it: padding probes first (the first with timestamp 0), then
// copies of the first packet, then the retransmission of a lost one.
TEST(BrowserStreamsSynth, RtxProbesCopiesAndRetransmissions) {
    TempDir work;
    const harness::ProcessResult s = harness::run_capture_synth(
        {"--out", work.path(), "--quiet", "--users", "1", "--audio-users", "0", "--duration", "1",
         "--csrc", "0", "--ext", "3", "--rtx-pt", "97", "--drop-at", "video:0:20"});
    ASSERT_EQ(s.status, 0) << s.err;
    harness::CaptureStream capture;
    std::string err;
    ASSERT_TRUE(harness::read_capture_dir(work.path(), Kind::video, &capture, &err)) << err;
    std::vector<std::vector<uint8_t>> media, rtx;
    for (const harness::CaptureRecord& r : capture.records)
        ((r.packet[1] & 0x7F) == 97 ? rtx : media).push_back(r.packet);
    ASSERT_EQ(rtx.size(), 6u + 8 + 3 + 1 + 1);
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rtx[i].size(), 283u);  // a 28-byte header and 255 bytes of padding
        EXPECT_EQ(rtx[i].back(), 255);
        const uint32_t ts = (uint32_t{rtx[i][4]} << 24) | (uint32_t{rtx[i][5]} << 16) |
                            (rtx[i][6] << 8) | rtx[i][7];
        EXPECT_EQ(ts == 0, i == 0);
    }
    const uint16_t first = be16(&media[0][2]);
    for (size_t i = 6; i < 6 + 8; ++i) EXPECT_EQ(be16(&rtx[i][header_size(rtx[i])]), first);
    // The packet dropped at index 20 of the stream is sent again last, and is not in the media.
    const uint16_t lost = static_cast<uint16_t>(first + 20);
    EXPECT_EQ(be16(&rtx.back()[header_size(rtx.back())]), lost);
    for (const std::vector<uint8_t>& m : media) EXPECT_NE(be16(&m[2]), lost);
}

// ---- Audio RED with loss: the redundancy restores the timeline ------------------------------

TEST(BrowserStreamsAudio, RedRestoresLostPackets) {
    Capture plain, lossy;
    make(&plain, {}, {"-a"});
    make(&lossy, {"--audio-red-pt", "63", "--drop", "0.03", "--impair", "audio"},
         {"-a", "--repair"});
    ASSERT_EQ(lossy.run.files.size(), 2u);
    EXPECT_GT(total(lossy.report, "audio", "red_recovered"), 0u);
    for (const auto& [key, path] : plain.run.files) {
        SCOPED_TRACE(path);
        harness::OggFile want, got;
        std::string err;
        ASSERT_TRUE(harness::read_ogg(path, &want, &err)) << err;
        ASSERT_TRUE(harness::read_ogg(lossy.run.files.at(key), &got, &err)) << err;
        // Within 20 ms (960 samples) of the plain stream's duration.
        EXPECT_LE(std::llabs(got.pages.back().granulepos - want.pages.back().granulepos), 960);
    }
}

// ---- --sdp that cannot serve: refused before anything is converted -------------------------

TEST(BrowserStreamsSdp, UnusableFilesAreRefused) {
    TempDir work, out;
    std::string err;
    ASSERT_TRUE(harness::write_file(work.file("none.sdp"), {'v', '=', '0', '\n'}, &err)) << err;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } const cases[] = {
        {{"--sdp", work.file("missing.sdp")},
         "transcode: --sdp " + work.file("missing.sdp") + ": No such file or directory\n"},
        {{"--sdp", work.file("none.sdp")},
         "transcode: --sdp " + work.file("none.sdp") +
             ": no audio or video section (m=audio, m=video)\n"},
        {{"--sdp"}, "transcode: --sdp : missing file name\n"},
        // Bounded, never waiting for ever: the reader transcode-pcap shares.
        {{"--sdp", "/dev/zero"}, "transcode: --sdp /dev/zero: larger than 1 MiB: not an SDP\n"},
        {{"--sdp", work.path()}, "transcode: --sdp " + work.path() + ": cannot read it\n"},
        {{"--sdp", work.file("fifo")},
         "transcode: --sdp " + work.file("fifo") +
             ": no audio or video section (m=audio, m=video)\n"},
    };
    ASSERT_EQ(mkfifo(work.file("fifo").c_str(), 0600), 0);
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-v"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const harness::ConverterRun run = harness::run_converter(work.slash(), args, out.path());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.message);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.files.empty());
    }
}

// An SDP of another call: packets of payload types it does not name are left out, and said so.
TEST(BrowserStreamsSdp, PayloadTypesItDoesNotNameAreLeftOutAndSaid) {
    Capture c;
    make(&c, {"--video-pt", "100"}, {"-v", "-a", "--sdp", "SDP"});
    const std::vector<const json*> video = streams_of(c.report, "video");
    ASSERT_FALSE(video.empty());
    std::string want;
    for (const json& u : c.report["users"]) {
        if (!u.contains("video")) continue;
        const uint64_t left_out = u["video"]["repair"]["sdp_unnamed"].get<uint64_t>();
        EXPECT_EQ(left_out, u["video"]["packets"].get<uint64_t>());
        EXPECT_EQ(u["video"]["frames_written"].get<uint64_t>(), 0u);
        want += "transcode: user " + std::to_string(u["user_id"].get<uint64_t>()) + ": " +
                std::to_string(left_out) +
                " video packets of payload types the SDP does not name were left out\n";
    }
    EXPECT_EQ(total(c.report, "audio", "sdp_unnamed"), 0u);
    EXPECT_EQ(c.run.err, want);
}

// ---- Default mode: outputs untouched, one line per wrapped stream suggests --repair ----------

TEST(BrowserStreamsDefault, SuggestsRepairOncePerUserAndKind) {
    Capture plain, wrapped;
    make(&plain, {}, {"-v", "-a"});
    make(&wrapped,
         {"--red-pt", "118", "--rtx-pt", "119", "--ulpfec-pt", "120", "--audio-red-pt", "63"},
         {"-v", "-a"});
    EXPECT_EQ(plain.run.err, "");
    EXPECT_EQ(wrapped.run.out, plain.run.out);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < wrapped.run.err.size()) {
        const size_t eol = wrapped.run.err.find('\n', pos);
        lines.push_back(wrapped.run.err.substr(pos, eol - pos));
        pos = eol == std::string::npos ? wrapped.run.err.size() : eol + 1;
    }
    ASSERT_EQ(lines.size(), 4u) << wrapped.run.err;
    for (const json& u : wrapped.report["users"]) {
        const std::string uid = std::to_string(u["user_id"].get<uint32_t>());
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "transcode: user " + uid +
                                ": the video stream holds RED, RTX and FEC packets; --repair "
                                "unwraps them"),
                  lines.end())
            << wrapped.run.err;
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "transcode: user " + uid +
                                ": the audio stream holds RED packets; --repair unwraps them"),
                  lines.end())
            << wrapped.run.err;
    }
}

}  // namespace
