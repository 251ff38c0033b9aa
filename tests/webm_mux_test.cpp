// The WebM step: converter runs with --webm over captures of every kind, each WebM read back with
// libavformat's demuxer and checked against the IVF and Ogg files of the same run, and mkvinfo's
// and ffmpeg's verdicts; then the mux called directly on missing, unwritable and hand-made inputs
// (timestamps of restarted senders among them); then the step over a run's files that were
// replaced or failed.
#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <opus/opus.h>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <numeric>

#include "harness.h"
#include "run_options.h"
#include "run_stats.h"
#include "user_video.h"
#include "utils.h"
#include "webm_mux.h"

namespace {

using harness::Kind;
using harness::TempDir;

struct Packet {
    int64_t pts = 0;  // in the stream's time base
    int64_t duration = 0;
    bool key = false;
    std::vector<uint8_t> data;
};
struct Track {
    bool present = false;
    AVRational time_base = {0, 1};
    std::vector<Packet> packets;
};
struct WebmFile {
    std::string format;
    double duration = 0;  // seconds, from the segment
    Track video, audio;
    int width = 0, height = 0;
    std::vector<uint8_t> opus_head;
    int initial_padding = 0;
    int channels = 0;
};

struct InputCloser {
    void operator()(AVFormatContext* c) const noexcept { avformat_close_input(&c); }
};

bool demux(const std::string& path, WebmFile* out, std::string* error) {
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        *error = "cannot open " + path;
        return false;
    }
    std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0) {
        *error = "no stream info";
        return false;
    }
    out->format = ctx->iformat->name;
    out->duration = static_cast<double>(ctx->duration) / AV_TIME_BASE;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        Track& t = st->codecpar->codec_id == AV_CODEC_ID_VP8 ? out->video : out->audio;
        if ((st->codecpar->codec_id != AV_CODEC_ID_VP8 &&
             st->codecpar->codec_id != AV_CODEC_ID_OPUS) ||
            t.present) {
            *error = "unexpected stream " + std::to_string(i);
            return false;
        }
        t.present = true;
        t.time_base = st->time_base;
        if (st->codecpar->codec_id == AV_CODEC_ID_VP8) {
            out->width = st->codecpar->width;
            out->height = st->codecpar->height;
        } else {
            out->opus_head.assign(st->codecpar->extradata,
                                  st->codecpar->extradata + st->codecpar->extradata_size);
            out->initial_padding = st->codecpar->initial_padding;
            out->channels = st->codecpar->ch_layout.nb_channels;
        }
    }
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                       [](AVPacket* p) { av_packet_free(&p); });
    while (av_read_frame(ctx.get(), pkt.get()) >= 0) {
        const bool video = ctx->streams[pkt->stream_index]->codecpar->codec_id == AV_CODEC_ID_VP8;
        Packet p;
        p.pts = pkt->pts;
        p.duration = pkt->duration;
        p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        p.data.assign(pkt->data, pkt->data + pkt->size);
        (video ? out->video : out->audio).packets.push_back(std::move(p));
        av_packet_unref(pkt.get());
    }
    return true;
}

// mkvinfo must read the file to its end and say nothing of warnings or errors, and ffmpeg must
// decode it without a message (non-increasing timestamps, for one, are reported there).
void expect_mkvinfo_clean(const std::string& path) {
    const harness::ProcessResult r = harness::run_process({"/usr/bin/mkvinfo", path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string all = r.out + r.err;
    std::transform(all.begin(), all.end(), all.begin(), ::tolower);
    EXPECT_EQ(all.find("warning"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(all.find("error"), std::string::npos) << r.out << r.err;
    const harness::ProcessResult f = harness::run_process(
        {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.out + f.err, "");
}

int64_t ms_from(int64_t ticks, AVRational clock, AVRational tb) {
    return av_rescale_q(ticks, clock, tb);
}

// The WebM against the IVF and Ogg files it was made from (either may be empty: no track).
// `video_times` holds each frame's time in 90 kHz ticks from the first frame, then where the last
// frame ends; without it, the times are the RTP timestamps unwrapped across 2^32 and the last frame
// lasts as long as the step before it.
void check_webm(const std::string& webm, const std::string& ivf, const std::string& ogg,
                const std::vector<int64_t>& video_times = {}) {
    SCOPED_TRACE(webm);
    WebmFile w;
    std::string err;
    ASSERT_TRUE(demux(webm, &w, &err)) << err;
    EXPECT_TRUE(w.format.find("webm") != std::string::npos) << w.format;
    expect_mkvinfo_clean(webm);

    double expected_end = 0;
    harness::IvfFile in;
    ASSERT_EQ(w.video.present, !ivf.empty());
    if (!ivf.empty()) {
        ASSERT_TRUE(harness::read_ivf(ivf, &in, &err)) << err;
        ASSERT_EQ(w.video.packets.size(), in.frames.size());
        const harness::VpxCheck decoded = harness::vpx_decode_all(in.frames);
        EXPECT_EQ(w.width, static_cast<int>(decoded.width));
        EXPECT_EQ(w.height, static_cast<int>(decoded.height));
        std::vector<int64_t> times = video_times;
        if (times.empty()) {
            const uint32_t first = static_cast<uint32_t>(in.frames[0].timestamp);
            for (const harness::IvfFrame& f : in.frames)
                times.push_back(static_cast<uint32_t>(static_cast<uint32_t>(f.timestamp) - first));
            // The last step: steady captures have no pause to mistake for a frame interval.
            times.push_back(2 * times.back() - (times.size() > 1 ? times[times.size() - 2] : 0));
        }
        ASSERT_EQ(times.size(), in.frames.size() + 1);
        for (size_t i = 0; i < in.frames.size(); ++i) {
            const Packet& p = w.video.packets[i];
            ASSERT_EQ(p.data, in.frames[i].data) << "frame " << i;
            EXPECT_EQ(p.key, (in.frames[i].data[0] & 1) == 0) << "frame " << i;
            EXPECT_EQ(p.pts, ms_from(times[i], {1, 90000}, w.video.time_base)) << "frame " << i;
        }
        // The last frame lasts one frame interval: the segment ends there.
        expected_end = times.back() / 90000.0;
    }

    ASSERT_EQ(w.audio.present, !ogg.empty());
    if (!ogg.empty()) {
        harness::OggFile o;
        ASSERT_TRUE(harness::read_ogg(ogg, &o, &err)) << err;
        ASSERT_GE(o.packets.size(), 2u);
        EXPECT_EQ(w.opus_head, o.packets[0].data);
        EXPECT_EQ(w.channels, o.packets[0].data[9]);
        ASSERT_EQ(w.audio.packets.size(), o.packets.size() - 2);
        int64_t samples = 0;
        for (size_t i = 2; i < o.packets.size(); ++i) {
            const Packet& p = w.audio.packets[i - 2];
            ASSERT_EQ(p.data, o.packets[i].data) << "packet " << i;
            // Each packet starts where the samples before it end; the demuxer moves them back
            // by the CodecDelay that players drop.
            EXPECT_EQ(p.pts, ms_from(samples, {1, 48000}, w.audio.time_base) -
                                 ms_from(w.initial_padding, {1, 48000}, w.audio.time_base))
                << "packet " << i;
            const std::vector<uint8_t>& op = o.packets[i].data;
            const int n =
                opus_packet_get_nb_samples(op.data(), static_cast<opus_int32>(op.size()), 48000);
            samples += n;
        }
        expected_end = std::max(expected_end, samples / 48000.0);
    }
    EXPECT_NEAR(w.duration, expected_end, 0.001);
}

struct CaptureKind {
    const char* name;
    std::vector<std::string> synth_args;  // empty: the samples directory
    bool video, audio;
    bool wraps;  // the video timestamps pass 2^32
    // The sender restarts with a new timestamp base: the video times go on evenly, at 30 frames
    // a second, across the restart.
    bool restart = false;
    bool repair = false;  // the converter runs with --repair
};

class WebmCaptures : public ::testing::TestWithParam<CaptureKind> {};

TEST_P(WebmCaptures, EachUserGetsOneFileMatchingItsIvfAndOgg) {
    const CaptureKind& kind = GetParam();
    TempDir dir;
    std::string work = std::string(SOURCE_DIR) + "/samples/";
    if (!kind.synth_args.empty()) {
        work = dir.subdir("cap") + "/";
        std::vector<std::string> args = {"--out",   work,  "--quiet",  "--duration", "2",
                                         "--width", "176", "--height", "144"};
        args.insert(args.end(), kind.synth_args.begin(), kind.synth_args.end());
        const harness::ProcessResult synth = harness::run_capture_synth(args);
        ASSERT_EQ(synth.status, 0) << synth.err;
    }
    const std::string out = dir.subdir("out");
    const std::string report = dir.file("run.json");
    std::vector<std::string> args = {"-v", "-a", "--webm", "--report", report};
    if (kind.repair) args.push_back("--repair");
    const harness::ConverterRun run = harness::run_converter(work, args, out);
    EXPECT_EQ(run.status, 0) << run.err;
    // These captures hold no clock (file keys, not times): the tracks start at 0, and one line
    // says so.
    EXPECT_EQ(run.err,
              "transcode: the capture holds no clock (no sender reports, no capture times in the "
              "audio records, no file time values to place the streams by): each stream starts "
              "at 0\n");
    // stdout is the passes' status lines alone.
    EXPECT_EQ(run.out, std::string(kind.video ? "start trans video\ntrans video sucess\n" : "") +
                           (kind.audio ? "start trans audio\ntrans audio sucess \n" : ""));

    std::map<uint32_t, std::string> webm;
    for (const std::string& name : run.other_files) {
        ASSERT_GT(name.size(), 5u);
        ASSERT_EQ(name.substr(name.size() - 5), ".webm") << name;
        const size_t underscore = name.rfind('_');
        webm[static_cast<uint32_t>(std::stoul(name.substr(underscore + 1)))] = out + "/" + name;
    }
    std::map<uint32_t, std::pair<std::string, std::string>> users;
    for (const auto& [key, path] : run.files)
        (key.second == Kind::video ? users[key.first].first : users[key.first].second) = path;
    ASSERT_FALSE(users.empty());
    ASSERT_EQ(webm.size(), users.size());
    bool wrapped = false;
    for (const auto& [uid, inputs] : users) {
        ASSERT_TRUE(webm.count(uid)) << "no WebM for user " << uid;
        EXPECT_EQ(!inputs.first.empty(), kind.video);
        EXPECT_EQ(!inputs.second.empty(), kind.audio);
        harness::IvfFile ivf;
        std::string err;
        if (!inputs.first.empty() && harness::read_ivf(inputs.first, &ivf, &err))
            for (size_t i = 1; i < ivf.frames.size(); ++i)
                wrapped |= ivf.frames[i].timestamp < ivf.frames[i - 1].timestamp;
        std::vector<int64_t> times;
        if (kind.restart) {
            times.resize(ivf.frames.size() + 1);
            std::iota(times.begin(), times.end(), 0);
            for (int64_t& t : times) t *= 3000;
        }
        check_webm(webm[uid], inputs.first, inputs.second, times);
    }
    EXPECT_EQ(wrapped, kind.wraps);
    // The report names each user's WebM, as the other outputs: relative to the run's directory.
    std::ifstream in(report);
    const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(j.is_object());
    for (const nlohmann::json& user : j["users"])
        EXPECT_EQ(out + "/" + user["webm_file"].get<std::string>(),
                  webm[user["user_id"].get<uint32_t>()]);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, WebmCaptures,
    ::testing::Values(
        CaptureKind{"audio_and_video", {"--users", "2", "--seed", "5"}, true, true, false},
        CaptureKind{"audio_only", {"--users", "1", "--video-users", "0"}, false, true, false},
        CaptureKind{"video_only", {"--users", "1", "--audio-users", "0"}, true, false, false},
        CaptureKind{"wrapped_timestamps",
                    {"--users", "1", "--near-wrap", "--audio-frame-ms", "60"},
                    true,
                    true,
                    true},
        CaptureKind{"samples", {}, true, true, false},
        // A restarted sender: its timestamp base 100 s lower, or nearly half the clock higher.
        CaptureKind{"restart_back",
                    {"--users", "1", "--near-wrap", "--restart", "1:-100"},
                    true,
                    true,
                    true,
                    true},
        CaptureKind{"restart_forward",
                    {"--users", "1", "--near-wrap", "--restart", "1:23860"},
                    true,
                    true,
                    true,
                    true},
        // 16 packets (320 ms) not sent: --repair fills the gap with packets of 120, 120 and 80 ms
        // among the 20 ms ones, so each packet's start must be summed from the durations before.
        CaptureKind{"repair_fillers",
                    {"--users", "1", "--silence", "0.5:0.31"},
                    true,
                    true,
                    false,
                    false,
                    true}),
    [](const ::testing::TestParamInfo<CaptureKind>& info) { return info.param.name; });

// ---- the mux on its own ---------------------------------------------------------------------

// An Ogg Opus file with the packets of `ogg` and a pre-skip of `pre_skip` (granules moved by it).
void write_with_pre_skip(const std::string& ogg, const std::string& path, int pre_skip) {
    harness::OggFile in;
    std::string err;
    ASSERT_TRUE(harness::read_ogg(ogg, &in, &err)) << err;
    ogg_stream_state os;
    ogg_stream_init(&os, 1234);
    std::vector<uint8_t> bytes;
    auto drain = [&](int (*next)(ogg_stream_state*, ogg_page*)) {
        ogg_page page;
        while (next(&os, &page)) {
            bytes.insert(bytes.end(), page.header, page.header + page.header_len);
            bytes.insert(bytes.end(), page.body, page.body + page.body_len);
        }
    };
    int64_t granule = pre_skip;
    for (size_t i = 0; i < in.packets.size(); ++i) {
        std::vector<uint8_t> data = in.packets[i].data;
        if (i == 0) {
            data[10] = static_cast<uint8_t>(pre_skip);
            data[11] = static_cast<uint8_t>(pre_skip >> 8);
        } else if (i >= 2) {
            granule += opus_packet_get_nb_samples(data.data(), static_cast<opus_int32>(data.size()),
                                                  48000);
        }
        ogg_packet op = {};
        op.packet = data.data();
        op.bytes = static_cast<long>(data.size());
        op.b_o_s = i == 0;
        op.e_o_s = i + 1 == in.packets.size();
        op.granulepos = i < 2 ? 0 : granule;
        op.packetno = static_cast<ogg_int64_t>(i);
        ogg_stream_packetin(&os, &op);
        drain(i < 2 ? ogg_stream_flush : ogg_stream_pageout);
    }
    drain(ogg_stream_flush);
    ogg_stream_clear(&os);
    ASSERT_TRUE(harness::write_file(path, bytes, &err)) << err;
}

// An IVF file of the first frames of `ivf`, given the RTP timestamps `timestamps`.
void write_with_timestamps(const std::string& ivf, const std::string& path,
                           const std::vector<uint32_t>& timestamps) {
    std::vector<uint8_t> bytes;
    std::string err;
    ASSERT_TRUE(harness::read_file(ivf, &bytes, &err)) << err;
    harness::IvfFile in;
    ASSERT_TRUE(harness::read_ivf(ivf, &in, &err)) << err;
    ASSERT_GE(in.frames.size(), timestamps.size());
    bytes.resize(32);
    for (size_t i = 0; i < timestamps.size(); ++i) {
        const std::vector<uint8_t>& data = in.frames[i].data;
        const uint64_t head[2] = {data.size(), timestamps[i]};
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(head[0] >> (8 * b)));
        for (int b = 0; b < 8; ++b) bytes.push_back(static_cast<uint8_t>(head[1] >> (8 * b)));
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    ASSERT_TRUE(harness::write_file(path, bytes, &err)) << err;
}

enum class Input { real, missing, none };

struct DirectCase {
    const char* name;
    Input video, audio;
    bool unwritable;  // the output's directory does not exist
    int pre_skip;     // > 0: the Ogg is rewritten with this pre-skip
    bool written;
    // Not empty: the IVF is cut to this many frames with these RTP timestamps, and the WebM must
    // give them the times `times` (90 kHz ticks; the last is where the last frame ends).
    std::vector<uint32_t> timestamps = {};
    std::vector<int64_t> times = {};
};

// A video-only case of the timeline: these RTP timestamps must give these times.
DirectCase timeline(const char* name, std::vector<uint32_t> timestamps,
                    std::vector<int64_t> times) {
    return {name, Input::real, Input::none,           false,
            0,    true,        std::move(timestamps), std::move(times)};
}

// One user's second of small video and audio made in `dir`/cap and converted without options
// into `dir`/conv: the IVF file and the Ogg file.
void convert_small_call(const TempDir& dir, std::string* ivf, std::string* ogg) {
    const std::string cap = dir.subdir("cap") + "/";
    ASSERT_EQ(harness::run_capture_synth({"--out", cap, "--quiet", "--users", "1", "--duration",
                                          "1", "--width", "96", "--height", "64"})
                  .status,
              0);
    const harness::ConverterRun run = harness::run_converter(cap, {"-v", "-a"}, dir.subdir("conv"));
    ASSERT_EQ(run.files.size(), 2u);
    *ivf = run.files.begin()->second;
    *ogg = std::next(run.files.begin())->second;
}

class WebmDirect : public ::testing::TestWithParam<DirectCase> {};

TEST_P(WebmDirect, TracksFollowTheInputsThatCanBeRead) {
    const DirectCase& c = GetParam();
    TempDir dir;
    std::string ivf, ogg;
    ASSERT_NO_FATAL_FAILURE(convert_small_call(dir, &ivf, &ogg));
    if (c.pre_skip > 0) {
        write_with_pre_skip(ogg, dir.file("skip.ogg"), c.pre_skip);
        ogg = dir.file("skip.ogg");
    }
    if (!c.timestamps.empty()) {
        write_with_timestamps(ivf, dir.file("times.ivf"), c.timestamps);
        ivf = dir.file("times.ivf");
    }
    auto pick = [&](Input in, const std::string& real) {
        WebmInput w;
        w.path = in == Input::real ? real : in == Input::missing ? dir.file("gone") : "";
        return w;
    };
    const std::string out = c.unwritable ? dir.file("nodir/x.webm") : dir.file("x.webm");

    output_failure_reset();
    testing::internal::CaptureStderr();
    const WebmMuxResult r = mux_webm(pick(c.video, ivf), pick(c.audio, ogg), out);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.written, c.written);
    EXPECT_EQ(output_failure_seen(), c.unwritable);
    EXPECT_EQ(err.empty(), !c.unwritable) << err;
    if (c.unwritable) {
        EXPECT_NE(err.find(out), std::string::npos) << err;
    }
    output_failure_reset();
    EXPECT_EQ(r.have_video, c.video == Input::real);
    EXPECT_EQ(r.have_audio, c.audio == Input::real);

    std::vector<uint8_t> bytes;
    ASSERT_EQ(harness::read_file(out, &bytes, nullptr), c.written);
    if (!c.written) return;
    EXPECT_EQ(r.width, c.video == Input::real ? 96 : 0);
    EXPECT_EQ(r.height, c.video == Input::real ? 64 : 0);
    check_webm(out, c.video == Input::real ? ivf : "", c.audio == Input::real ? ogg : "", c.times);
    if (c.pre_skip > 0) {
        WebmFile w;
        std::string e;
        ASSERT_TRUE(demux(out, &w, &e)) << e;
        EXPECT_EQ(w.initial_padding, c.pre_skip);  // read back from CodecDelay
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, WebmDirect,
    ::testing::Values(
        DirectCase{"both", Input::real, Input::real, false, 0, true},
        DirectCase{"ivf_missing", Input::missing, Input::real, false, 0, true},
        DirectCase{"ogg_not_named", Input::real, Input::none, false, 0, true},
        DirectCase{"neither", Input::missing, Input::none, false, 0, false},
        DirectCase{"unwritable", Input::real, Input::real, true, 0, false},
        DirectCase{"pre_skip", Input::none, Input::real, false, 312, true},
        // The video timeline. A step back, or forward by more than five minutes, is a restarted
        // sender: the frame comes one frame interval (the last step of at most a second; 1/30 s
        // before one is seen) after the one before. The last frame lasts one frame interval.
        timeline("step_back_by_one_tick", {1000, 4000, 7000, 6999, 9999},
                 {0, 3000, 6000, 9000, 12000, 15000}),
        timeline("first_step_back", {3000, 0}, {0, 3000, 6000}),
        timeline("five_minutes_on_is_a_pause", {0, 3000, 27003000, 27006000},
                 {0, 3000, 27003000, 27006000, 27009000}),
        timeline("five_minutes_and_a_tick_on_restarts", {0, 3000, 27003001, 27006001},
                 {0, 3000, 6000, 9000, 12000}),
        timeline("half_the_clock_on_restarts", {0, 3000, 2147486647u, 2147489647u, 2147492647u},
                 {0, 3000, 6000, 9000, 12000, 15000}),
        timeline("wrap_is_time", {4294964296u, 0, 3000}, {0, 3000, 6000, 9000}),
        timeline("one_second_step_is_a_frame_interval", {0, 90000, 89999},
                 {0, 90000, 180000, 270000}),
        timeline("longer_step_is_a_pause", {0, 3000, 93001, 93000}, {0, 3000, 93001, 96001, 99001}),
        timeline("last_frame_lasts_one_interval", {0, 1500, 3000}, {0, 1500, 3000, 4500})),
    [](const ::testing::TestParamInfo<DirectCase>& info) { return info.param.name; });

// ---- what the run wrote, read back ---------------------------------------------------------

// What happens to one kind's file between its pass and the WebM step.
enum class Tamper {
    none,
    failed,       // the pass reported a failure on it
    not_created,  // named in the run record, but not a file this run created
    replaced,     // another file renamed over it
    symlink,      // replaced by a symlink to a copy of the same bytes
};

struct ReadBackCase {
    const char* name;
    Tamper video, audio;
};

class WebmReadBack : public ::testing::TestWithParam<ReadBackCase> {};

TEST_P(WebmReadBack, OnlyTheFilesThisRunWroteWholeGetATrack) {
    const ReadBackCase& c = GetParam();
    TempDir dir;
    std::string sources[2];  // the IVF and the Ogg file
    ASSERT_NO_FATAL_FAILURE(convert_small_call(dir, &sources[0], &sources[1]));

    // The pass's part, in this process: each file made by create_output and noted in the record.
    output_failure_reset();
    run_stats() = RunStats();
    const RunOptions saved = run_options;
    run_options.output_dir = dir.subdir("run");
    const uint32_t uid = 42;
    const Tamper tamper[2] = {c.video, c.audio};
    std::string paths[2];
    for (int k = 0; k < 2; ++k) {
        paths[k] = output_path(k == 0 ? "v.mkv" : "a.ogg");
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(harness::read_file(sources[k], &bytes, nullptr));
        if (tamper[k] == Tamper::not_created) {
            ASSERT_TRUE(harness::write_file(paths[k], bytes, nullptr));
        } else {
            OutputBuffer buffer;
            FilePtr f = create_output(paths[k], buffer);
            ASSERT_TRUE(f);
            ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f.get()), bytes.size());
            close_output(f, paths[k]);
        }
        StreamStats& stats = (k == 0 ? run_stats().video : run_stats().audio)[uid];
        stats.output_file = paths[k];
        stats.output_ok = tamper[k] != Tamper::failed;
        // The same bytes under another inode: only the check of the file's identity tells.
        const std::string copy = dir.file(k == 0 ? "copy.mkv" : "copy.ogg");
        ASSERT_TRUE(harness::write_file(copy, bytes, nullptr));
        if (tamper[k] == Tamper::replaced) {
            ASSERT_EQ(rename(copy.c_str(), paths[k].c_str()), 0);
        }
        if (tamper[k] == Tamper::symlink) {
            ASSERT_EQ(unlink(paths[k].c_str()), 0);
            ASSERT_EQ(symlink(copy.c_str(), paths[k].c_str()), 0);
        }
    }

    testing::internal::CaptureStderr();
    mux_all_webm();
    const std::string err = testing::internal::GetCapturedStderr();
    const bool seen = output_failure_seen();
    output_failure_reset();
    run_options = saved;
    // A file that the pass created but that is not there as it was is named; the others are
    // left out without a word (the pass has spoken of a failure already).
    std::string expected_err;
    for (int k = 0; k < 2; ++k) {
        if (tamper[k] == Tamper::replaced)
            expected_err +=
                "transcode: " + paths[k] + ": not the file this run wrote: left out of the WebM\n";
        if (tamper[k] == Tamper::symlink)
            expected_err += "transcode: " + paths[k] +
                            ": cannot read back for the WebM: " + strerror(ELOOP) + "\n";
    }
    EXPECT_EQ(err, expected_err);
    EXPECT_EQ(seen, !expected_err.empty());

    const bool video = c.video == Tamper::none, audio = c.audio == Tamper::none;
    const auto written = run_stats().webm.find(uid);
    ASSERT_EQ(written != run_stats().webm.end(), video || audio);
    if (video || audio)
        check_webm(written->second, video ? sources[0] : "", audio ? sources[1] : "");
    run_stats() = RunStats();
}

INSTANTIATE_TEST_SUITE_P(
    Tampering, WebmReadBack,
    ::testing::Values(ReadBackCase{"intact", Tamper::none, Tamper::none},
                      ReadBackCase{"audio_failed", Tamper::none, Tamper::failed},
                      ReadBackCase{"video_failed", Tamper::failed, Tamper::none},
                      ReadBackCase{"audio_not_created", Tamper::none, Tamper::not_created},
                      ReadBackCase{"audio_replaced", Tamper::none, Tamper::replaced},
                      ReadBackCase{"video_replaced", Tamper::replaced, Tamper::none},
                      ReadBackCase{"audio_symlink", Tamper::none, Tamper::symlink},
                      ReadBackCase{"both_failed", Tamper::failed, Tamper::failed}),
    [](const ::testing::TestParamInfo<ReadBackCase>& info) { return info.param.name; });

// The converter refuses to write through a symlink planted under a user's Ogg name; the WebM
// step must not then read that name and give the user someone else's audio.
TEST(WebmReadBackRun, SymlinkPlantedUnderTheOggNameGivesNoAudioTrack) {
    TempDir dir;
    const std::string cap = dir.subdir("cap") + "/";
    ASSERT_EQ(harness::run_capture_synth({"--out", cap, "--quiet", "--users", "1", "--uids", "42",
                                          "--duration", "1", "--width", "96", "--height", "64"})
                  .status,
              0);
    // Another user's audio, as a playable Ogg Opus file.
    const std::string other = dir.subdir("other");
    ASSERT_EQ(harness::run_capture_synth({"--out", dir.subdir("cap7") + "/", "--quiet", "--users",
                                          "1", "--uids", "7", "--video-users", "0", "--duration",
                                          "1", "--signal", "chirp", "--save-sources", other})
                  .status,
              0);
    const std::string secret = other + "/audio_7.opus";
    const std::string out = dir.subdir("out");
    // The name holds the local time of the pass, to the second: plant one for each of the next
    // minute's.
    const time_t now = time(nullptr);
    for (int i = 0; i < 60; ++i) {
        const time_t t = now + i;
        struct tm tm;
        localtime_r(&t, &tm);
        char name[64];
        strftime(name, sizeof(name), "%Y-%m-%d_%H-%M-%S_42.ogg", &tm);
        ASSERT_EQ(symlink(secret.c_str(), (out + "/" + name).c_str()), 0);
    }
    const harness::ConverterRun run = harness::run_converter(cap, {"-v", "-a", "--webm"}, out);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("_42.ogg: cannot create"), std::string::npos) << run.err;
    std::string webm;
    for (const std::string& name : run.other_files)
        if (name.size() > 5 && name.substr(name.size() - 5) == ".webm") webm = out + "/" + name;
    ASSERT_FALSE(webm.empty());
    check_webm(webm, run.files.at({42, Kind::video}), "");
}

}  // namespace
