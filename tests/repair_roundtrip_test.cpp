// Repair mode end to end: an impaired capture converted with --repair against the same capture
// sent without impairments and converted without options.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "harness.h"
#include "mult_file_trans.h"
#include "rtp_support.h"
#include "run_options.h"
#include "run_stats.h"

namespace {

using harness::Kind;
using harness::StreamKey;
using harness::TempDir;

// One capture made with `synth_args` (plus a seed and the common size) and converted with
// `converter_args`.
struct Converted {
    TempDir work;
    TempDir out;
    harness::ConverterRun run;
};

void make_and_convert(Converted* c, const std::vector<std::string>& synth_args,
                      const std::vector<std::string>& converter_args) {
    std::vector<std::string> args = {"--out", c->work.path(), "--quiet"};
    args.insert(args.end(), synth_args.begin(), synth_args.end());
    const harness::ProcessResult synth = harness::run_capture_synth(args);
    ASSERT_EQ(synth.status, 0) << synth.err;
    c->run = harness::run_converter(c->work.slash(), converter_args, c->out.path());
    ASSERT_EQ(c->run.status, 0) << c->run.err;
    EXPECT_EQ(c->run.err, "");
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

harness::IvfFile ivf_of(const std::string& path) {
    harness::IvfFile ivf;
    std::string err;
    EXPECT_TRUE(harness::read_ivf(path, &ivf, &err)) << err;
    return ivf;
}

harness::OggFile ogg_of(const std::string& path) {
    harness::OggFile ogg;
    std::string err;
    EXPECT_TRUE(harness::read_ogg(path, &ogg, &err)) << err;
    return ogg;
}

// Runs a tool found on the PATH of the test run's machine; its stderr and stdout joined.
std::string run_tool(const std::string& tool, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/" + tool};
    argv.insert(argv.end(), args.begin(), args.end());
    const harness::ProcessResult p = harness::run_process(argv);
    return p.status == 0 ? p.err + p.out : "exit " + std::to_string(p.status) + ": " + p.err;
}

const std::vector<std::string> kBase = {"--users", "3", "--duration", "4", "--seed", "21"};

// ---- Swaps, repeats, late packets and refused packets with nothing lost ---------------------

struct NothingLost {
    const char* name;
    std::vector<std::string> shape;  // given to both captures
    std::vector<std::string> impairments;
    std::vector<std::string> converter_args;
};

void PrintTo(const NothingLost& p, std::ostream* os) {
    *os << p.name;
}

class RepairNothingLost : public ::testing::TestWithParam<NothingLost> {};

TEST_P(RepairNothingLost, OutputEqualsTheCleanCapture) {
    const NothingLost& p = GetParam();
    Converted clean, impaired;
    make_and_convert(&clean, with(kBase, p.shape), {"-v", "-a"});
    make_and_convert(&impaired, with(with(kBase, p.shape), p.impairments), p.converter_args);
    ASSERT_EQ(clean.run.files.size(), 6u);
    ASSERT_EQ(impaired.run.files.size(), clean.run.files.size());
    for (const auto& [key, path] : clean.run.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(impaired.run.files.count(key));
        const std::string& got = impaired.run.files.at(key);
        ASSERT_NO_FATAL_FAILURE(harness::expect_same_media(key.second, path, got));
        if (key.second == Kind::video) {
            EXPECT_GT(ivf_of(got).frames.size(), 100u);
            continue;
        }
        // The pages too: the same packets on the same pages.
        const harness::OggFile want_ogg = ogg_of(path), got_ogg = ogg_of(got);
        ASSERT_EQ(got_ogg.pages.size(), want_ogg.pages.size());
        for (size_t i = 0; i < want_ogg.pages.size(); ++i)
            EXPECT_EQ(got_ogg.pages[i].granulepos, want_ogg.pages[i].granulepos) << "page " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Captures, RepairNothingLost,
    ::testing::Values(NothingLost{"swaps_and_duplicates",
                                  {},
                                  {"--reorder", "0.05", "--dup", "0.05"},
                                  {"-v", "-a", "--repair"}},
                      // Retransmissions 60 packets late, refused packets and a sequence wrap; a
                      // window of 80 is enough for them.
                      NothingLost{"late_refused_and_wrap",
                                  {"--near-wrap"},
                                  {"--reorder", "0.03", "--dup", "0.03", "--late", "0.01:60",
                                   "--pt121", "4", "--probe", "4"},
                                  {"-v", "-a", "--reorder-window", "80"}}),
    [](const ::testing::TestParamInfo<NothingLost>& info) { return std::string(info.param.name); });

// ---- Loss: every frame written is whole, and with --wait-keyframe every frame decodes ---------

struct WithLoss {
    const char* name;
    std::vector<std::string> converter_args;
    bool all_decode;
};

void PrintTo(const WithLoss& p, std::ostream* os) {
    *os << p.name;
}

class RepairWithLoss : public ::testing::TestWithParam<WithLoss> {};

TEST_P(RepairWithLoss, WrittenFramesAreCleanFrames) {
    const WithLoss& p = GetParam();
    const std::vector<std::string> base = with(kBase, {"--keyframe-interval", "20"});
    Converted clean, lossy;
    make_and_convert(&clean, base, {"-v"});
    make_and_convert(&lossy, with(base, {"--drop", "0.03", "--reorder", "0.03", "--dup", "0.03"}),
                     p.converter_args);
    ASSERT_EQ(lossy.run.files.size(), clean.run.files.size());
    for (const auto& [key, path] : clean.run.files) {
        SCOPED_TRACE(path);
        std::map<uint64_t, std::vector<uint8_t>> want;
        for (harness::IvfFrame& f : ivf_of(path).frames) want[f.timestamp] = std::move(f.data);
        const std::string& got_path = lossy.run.files.at(key);
        const harness::IvfFile got = ivf_of(got_path);
        EXPECT_GT(got.frames.size(), 10u);
        EXPECT_LT(got.frames.size(), want.size());
        ASSERT_FALSE(got.frames.empty());
        EXPECT_EQ(got.frames[0].data[0] & 1, 0) << "the first frame written is a key frame";
        for (const harness::IvfFrame& f : got.frames) {
            ASSERT_TRUE(want.count(f.timestamp)) << f.timestamp;
            EXPECT_EQ(f.data, want.at(f.timestamp)) << "partial frame at " << f.timestamp;
        }
        if (p.all_decode) {
            const harness::VpxCheck vpx = harness::vpx_decode_all(got.frames);
            EXPECT_TRUE(vpx.ok) << vpx.decoded << ": " << vpx.error;
            EXPECT_EQ(run_tool("ffmpeg", {"-v", "error", "-i", got_path, "-f", "null", "-"}), "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Captures, RepairWithLoss,
    ::testing::Values(WithLoss{"repair", {"-v", "--repair"}, false},
                      WithLoss{"wait_keyframe", {"-v", "--repair", "--wait-keyframe"}, true}),
    [](const ::testing::TestParamInfo<WithLoss>& info) { return std::string(info.param.name); });

// ---- Audio: a silence gap and loss, the granules still follow the RTP clock -----------------

TEST(RepairAudio, SilenceGapAndLossKeepTheRtpTimeline) {
    Converted c;
    make_and_convert(&c,
                     {"--users", "2", "--duration", "6", "--seed", "22", "--silence", "2:2",
                      "--drop", "0.05", "--impair", "audio", "--audio-frame-ms", "20"},
                     {"-a", "--repair"});
    harness::CaptureStream capture;
    std::string err;
    ASSERT_TRUE(harness::read_capture_dir(c.work.path(), Kind::audio, &capture, &err)) << err;
    // Per user: first timestamp, last timestamp and the last packet's 20 ms.
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> span;
    for (const harness::CaptureRecord& r : capture.records) {
        const uint8_t* d = r.packet.data();
        const uint32_t ts = (uint32_t{d[4]} << 24) | (uint32_t{d[5]} << 16) | (d[6] << 8) | d[7];
        auto it = span.find(r.uid);
        if (it == span.end())
            span[r.uid] = {ts, ts};
        else
            it->second.second = ts;
    }
    ASSERT_EQ(c.run.files.size(), 2u);
    for (const auto& [key, path] : c.run.files) {
        SCOPED_TRACE(path);
        const int64_t rtp_span = static_cast<int64_t>(
            static_cast<uint32_t>(span.at(key.first).second - span.at(key.first).first) + 960);
        const harness::OggFile ogg = ogg_of(path);
        EXPECT_LE(std::llabs(ogg.pages.back().granulepos - rtp_span), 120) << rtp_span;
        const harness::OpusCheck opus = harness::opusfile_decode(path);
        EXPECT_TRUE(opus.ok) << opus.error;
        EXPECT_EQ(opus.samples, ogg.pages.back().granulepos);
        const std::string duration = run_tool(
            "ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
        EXPECT_LE(std::fabs(std::atof(duration.c_str()) - rtp_span / 48000.0), 0.020) << duration;
    }
}

// ---- Counters: the passes fill the run record's repair counters --------------------------

TEST(RepairCounters, PassesFillTheRunRecord) {
    TempDir work, out;
    const harness::ProcessResult synth =
        harness::run_capture_synth({"--out",   work.path(),
                                    "--quiet", "--users",
                                    "1",       "--duration",
                                    "4",       "--seed",
                                    "23",      "--keyframe-interval",
                                    "20",      "--video-kbps",
                                    "1000",    "--drop",
                                    "0.03",    "--dup",
                                    "0.05",    "--reorder",
                                    "0.05",    "--late",
                                    "0.03:20", "--silence",
                                    "1:1"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    const RunOptions saved = run_options;
    run_options.repair = true;
    run_options.wait_keyframe = true;
    run_options.reorder_window = 8;  // smaller than the lateness: late packets are dropped
    run_options.output_dir = out.path();
    run_stats() = RunStats();
    for (Kind kind : {Kind::video, Kind::audio}) {
        MultFileTrans pass;
        pass.set_all_files(harness::list_capture_files(work.path(), kind));
        pass.start_trans_code(kind == Kind::video);
    }
    run_options = saved;
    ASSERT_EQ(run_stats().video.size(), 1u);
    ASSERT_EQ(run_stats().audio.size(), 1u);
    const RepairStats& v = run_stats().video.begin()->second.repair;
    const RepairStats& a = run_stats().audio.begin()->second.repair;
    for (const RepairStats* r : {&v, &a}) {
        EXPECT_GT(r->reordered, 0u);
        EXPECT_GT(r->duplicates, 0u);
        EXPECT_GT(r->late, 0u);
        EXPECT_EQ(r->resets, 0u);
    }
    EXPECT_GT(v.frames_lost, 0u);
    EXPECT_GT(v.frames_skipped_keyframe, 0u);
    EXPECT_EQ(v.gaps_filled + v.gap_ms + v.gaps_not_filled, 0u);
    EXPECT_GT(a.gaps_filled, 0u);
    EXPECT_GE(a.gap_ms, 1000u);  // the silence, and the lost packets
    EXPECT_EQ(a.gaps_not_filled, 0u);
    EXPECT_EQ(a.frames_lost + a.frames_skipped_keyframe, 0u);
    run_stats() = RunStats();
}

// ---- Observers: what a unit watching the streams is shown ----------------------------------

struct Watched {
    uint64_t records = 0, written = 0;
    uint32_t last_file = 0;
    bool files_in_order = true, lead_as_kind = true;
    std::vector<uint8_t> first_lead;
    uint32_t first_written_ts = 0, last_written_ts = 0;
};

void watch_record(void* context, uint32_t, const StreamRecord& r) {
    Watched& w = *static_cast<Watched*>(context);
    if (r.file_index < w.last_file) w.files_in_order = false;
    w.last_file = r.file_index;
    if (w.records++ == 0 && r.leading) w.first_lead.assign(r.leading, r.leading + 8);
}

void watch_written(void* context, uint32_t, const StreamWritten& x) {
    Watched& w = *static_cast<Watched*>(context);
    if (w.written++ == 0) w.first_written_ts = x.rtp_timestamp;
    w.last_written_ts = x.rtp_timestamp;
}

TEST(StreamObservers, SeeEveryRecordWithItsFileAndEveryFrameWritten) {
    TempDir work;
    const harness::ProcessResult synth =
        harness::run_capture_synth({"--out", work.path(), "--quiet", "--users", "1", "--duration",
                                    "3", "--seed", "5", "--files", "3"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    const RunOptions saved = run_options;
    for (bool repair : {false, true}) {
        SCOPED_TRACE(repair ? "repair" : "default");
        TempDir out;
        run_options.repair = repair;
        run_options.output_dir = out.path();
        run_stats() = RunStats();
        for (Kind kind : {Kind::video, Kind::audio}) {
            const bool video = kind == Kind::video;
            const std::vector<std::string> files = harness::list_capture_files(work.path(), kind);
            ASSERT_GE(files.size(), 2u);
            Watched w;
            MultFileTrans pass;
            pass.watch.context = &w;
            pass.watch.made = [](void* context, uint32_t, bool, StreamObservers& observers) {
                StreamObserver o;
                o.record = watch_record;
                o.written = watch_written;
                o.context = context;
                observers.add(o);
            };
            pass.set_all_files(files);
            pass.start_trans_code(video);
            const StreamStats& s = (video ? run_stats().video : run_stats().audio).begin()->second;
            EXPECT_EQ(w.records, s.packets);
            EXPECT_EQ(w.written, video ? s.frames_written : s.packets_written);
            EXPECT_TRUE(w.files_in_order);
            EXPECT_EQ(w.last_file, files.size() - 1);
            EXPECT_EQ(w.first_written_ts, s.first_rtp_timestamp);
            EXPECT_EQ(w.last_written_ts, s.last_rtp_timestamp);
            if (video) {
                EXPECT_TRUE(w.first_lead.empty());
            } else {
                std::vector<uint8_t> bytes;
                std::string err;
                ASSERT_TRUE(harness::read_file(files[0], &bytes, &err)) << err;
                EXPECT_EQ(w.first_lead, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8));
            }
        }
    }
    run_options = saved;
    run_stats() = RunStats();
}

// ---- Hostile captures: what timestamps and lengths alone can cost ---------------------------

constexpr uint32_t kUid = 7;

// An audio RTP packet of user kUid: sequence number, timestamp and the Opus payload.
std::vector<uint8_t> audio_packet(uint16_t seq, uint32_t ts, const std::vector<uint8_t>& opus) {
    return rtptest::rtp_bytes(seq, ts, false, opus, 111, 0x1234);
}

// Writes `count` audio records of user kUid, the i-th packet made by `make(i)`, as one capture
// file in `dir`; its size in bytes.
size_t write_audio_capture(const std::string& dir, int count,
                           const std::function<std::vector<uint8_t>(int)>& make) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t> packet = make(i);
        const uint32_t head[4] = {0, 0, kUid, static_cast<uint32_t>(packet.size())};
        for (uint32_t word : head)
            for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(word >> (8 * b)));
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    std::string err;
    EXPECT_TRUE(harness::write_file(dir + "/cap_1.audio", bytes, &err)) << err;
    return bytes.size();
}

// 20,000 packets of 120 ms in two bytes (six empty 20 ms frames: the most time a byte can claim)
// whose timestamps each step just under the 5 minutes a gap may be filled across.
TEST(RepairLimits, TimestampsAloneCannotMultiplyTheOutput) {
    TempDir work, out;
    const size_t in = write_audio_capture(work.path(), 20000, [](int i) {
        return audio_packet(static_cast<uint16_t>(i), static_cast<uint32_t>(i) * 48000u * 300,
                            {0xFB, 0x06});
    });
    const harness::ConverterRun run =
        harness::run_converter(work.slash(), {"-a", "--repair"}, out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.files.size(), 1u);
    std::vector<uint8_t> ogg;
    std::string err;
    ASSERT_TRUE(harness::read_file(run.files.begin()->second, &ogg, &err)) << err;
    EXPECT_LE(ogg.size(), 4 * in + (1u << 20)) << in;
}

// In repair mode a record longer than any RTP packet is refused before the reorder stage, which
// would otherwise hold it; without --repair it goes to the writer as before.
struct LongRecord {
    const char* name;
    std::vector<std::string> args;
    const char* err;
    int refused;
};

void PrintTo(const LongRecord& c, std::ostream* os) {
    *os << c.name;
}

class RepairLongRecords : public ::testing::TestWithParam<LongRecord> {};

TEST_P(RepairLongRecords, LongerThan65535BytesRefused) {
    const LongRecord& c = GetParam();
    TempDir work, out;
    // 65,535 bytes, the longest RTP packet, then one byte more, then a 20 ms packet.
    write_audio_capture(work.path(), 3, [](int i) {
        std::vector<uint8_t> opus = {0xF8, 0xFF, 0xFE};
        if (i < 2) opus.resize(65535 - 12 + static_cast<size_t>(i));
        return audio_packet(static_cast<uint16_t>(i), static_cast<uint32_t>(i) * 960, opus);
    });
    const std::string report = out.path() + "/report.json";
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--report", report});
    const harness::ConverterRun run = harness::run_converter(work.slash(), args, out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, c.err);
    std::vector<uint8_t> text;
    std::string err;
    ASSERT_TRUE(harness::read_file(report, &text, &err)) << err;
    const nlohmann::json j = nlohmann::json::parse(text.begin(), text.end());
    EXPECT_EQ(j["records_dropped"]["refused"], c.refused);
    EXPECT_EQ(j["records_read"], 3);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RepairLongRecords,
    ::testing::Values(
        LongRecord{"repair",
                   {"-a", "--repair"},
                   "transcode: user 7: packet of 65536 bytes skipped: longer than 65535 bytes\n",
                   1},
        LongRecord{"plain", {"-a"}, "", 0}),
    [](const ::testing::TestParamInfo<LongRecord>& info) { return std::string(info.param.name); });

}  // namespace
