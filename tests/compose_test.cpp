// The meeting composite: the grid as a table of pictures shown against rectangles, the mixer at
// its limits (silence, one voice, voices that would clip), and whole composites of synthesized
// per-user files (made by libvpx and libopus) decoded back with libavcodec: the layout at the
// right frames, whose picture is in which tile, the audio's place and peak, and failures that
// leave nothing under the final name.
#include "compose.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "harness.h"
#include "layout.h"
#include "meeting_support.h"
#include "mixer.h"

// Readable failures: a rectangle prints as x,y wxh.
void PrintTo(const Rect& r, std::ostream* os) {
    *os << r.x << "," << r.y << " " << r.w << "x" << r.h;
}

namespace {

using harness::TempDir;
using meeting_test::AudioPiece;
using meeting_test::VideoPiece;

// ---- layout ---------------------------------------------------------------------------------

struct GridCase {
    const char* name;
    int width, height, count;
    std::vector<Rect> cells;
};

class GridTable : public ::testing::TestWithParam<GridCase> {};

TEST_P(GridTable, PicturesShownGiveTheseCells) {
    const GridCase& c = GetParam();
    EXPECT_EQ(grid_cells(c.width, c.height, c.count), c.cells);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, GridTable,
    ::testing::Values(
        GridCase{"none", 1280, 720, 0, {}},
        GridCase{"one_fills_the_frame", 1280, 720, 1, {{0, 0, 1280, 720}}},
        GridCase{"two_side_by_side", 1280, 720, 2, {{0, 0, 640, 720}, {640, 0, 640, 720}}},
        GridCase{"three_in_2x2_last_row_centred",
                 1280,
                 720,
                 3,
                 {{0, 0, 640, 360}, {640, 0, 640, 360}, {320, 360, 640, 360}}},
        GridCase{"four_in_2x2",
                 1280,
                 720,
                 4,
                 {{0, 0, 640, 360}, {640, 0, 640, 360}, {0, 360, 640, 360}, {640, 360, 640, 360}}},
        GridCase{"five_in_3x2",
                 1280,
                 720,
                 5,
                 {{0, 0, 426, 360},
                  {426, 0, 426, 360},
                  {852, 0, 426, 360},
                  {214, 360, 426, 360},
                  {640, 360, 426, 360}}},
        GridCase{"nine_in_3x3",
                 1280,
                 720,
                 9,
                 {{0, 0, 426, 240},
                  {426, 0, 426, 240},
                  {852, 0, 426, 240},
                  {0, 240, 426, 240},
                  {426, 240, 426, 240},
                  {852, 240, 426, 240},
                  {0, 480, 426, 240},
                  {426, 480, 426, 240},
                  {852, 480, 426, 240}}},
        GridCase{"ten_in_4x3",
                 1280,
                 720,
                 10,
                 {{0, 0, 320, 240},
                  {320, 0, 320, 240},
                  {640, 0, 320, 240},
                  {960, 0, 320, 240},
                  {0, 240, 320, 240},
                  {320, 240, 320, 240},
                  {640, 240, 320, 240},
                  {960, 240, 320, 240},
                  {320, 480, 320, 240},
                  {640, 480, 320, 240}}},
        GridCase{
            "odd_canvas_keeps_even_edges", 641, 361, 2, {{0, 0, 320, 360}, {320, 0, 320, 360}}}),
    [](const ::testing::TestParamInfo<GridCase>& i) { return std::string(i.param.name); });

struct FitCase {
    const char* name;
    Rect cell;
    int width, height;
    Rect expected;
};

class FitTable : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitTable, PictureKeepsItsAspectInsideTheCell) {
    const FitCase& c = GetParam();
    EXPECT_EQ(fit_in_cell(c.cell, c.width, c.height), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, FitTable,
    ::testing::Values(
        FitCase{"4_3_in_16_9_bars_at_sides", {0, 0, 1280, 720}, 640, 480, {160, 0, 960, 720}},
        FitCase{"4_3_in_tall_cell_bars_above", {0, 0, 640, 720}, 640, 480, {0, 120, 640, 480}},
        FitCase{"same_aspect_fills", {640, 360, 640, 360}, 1280, 720, {640, 360, 640, 360}},
        FitCase{"portrait", {0, 0, 1280, 720}, 480, 640, {370, 0, 540, 720}},
        FitCase{"offset_cell", {426, 0, 426, 240}, 320, 240, {478, 0, 320, 240}},
        FitCase{"unknown_size_fills", {10, 20, 100, 50}, 0, 0, {10, 20, 100, 50}}),
    [](const ::testing::TestParamInfo<FitCase>& i) { return std::string(i.param.name); });

// ---- mixer ----------------------------------------------------------------------------------

struct MixCase {
    const char* name;
    std::vector<double> amplitudes;  // one 440 Hz tone per voice, in phase
    double min_peak;
    double max_peak;
};

class MixerLimits : public ::testing::TestWithParam<MixCase> {};

TEST_P(MixerLimits, SumsVoicesAndNeverExceedsTheCeiling) {
    const MixCase& c = GetParam();
    Mixer mixer;
    ASSERT_TRUE(mixer.open(static_cast<int>(c.amplitudes.size()), 960));
    constexpr int kBlock = 960;
    constexpr int kBlocks = 50;  // one second
    std::vector<std::vector<float>> voices(c.amplitudes.size(), std::vector<float>(kBlock * 2));
    std::vector<const float*> ptrs;
    for (auto& v : voices) ptrs.push_back(v.data());
    double peak = 0;
    int64_t out_samples = 0;
    auto pull = [&] {
        while (AVFrame* f = mixer.next()) {
            const float* s = reinterpret_cast<const float*>(f->data[0]);
            for (int i = 0; i < f->nb_samples * 2; ++i)
                peak = std::max(peak, std::fabs(double{s[i]}));
            out_samples += f->nb_samples;
        }
    };
    for (int b = 0; b < kBlocks; ++b) {
        for (size_t v = 0; v < voices.size(); ++v)
            for (int i = 0; i < kBlock; ++i) {
                const float x = static_cast<float>(
                    c.amplitudes[v] * std::sin(2 * M_PI * 440 * (b * kBlock + i) / 48000.0));
                voices[v][2 * i] = voices[v][2 * i + 1] = x;
            }
        ASSERT_TRUE(mixer.add(ptrs, kBlock));
        pull();
    }
    ASSERT_TRUE(mixer.finish());
    pull();
    EXPECT_EQ(out_samples, kBlock * kBlocks) << "the limiter's delay is compensated";
    EXPECT_GE(peak, c.min_peak);
    EXPECT_LE(peak, c.max_peak);
}

INSTANTIATE_TEST_SUITE_P(
    Mixer, MixerLimits,
    ::testing::Values(MixCase{"silence", {0, 0, 0}, 0, 0},
                      MixCase{"one_voice_unchanged", {0.25}, 0.245, 0.255},
                      MixCase{"two_voices_add_without_normalising", {0.2, 0.2}, 0.39, 0.41},
                      MixCase{"clipping_voices_held_at_the_ceiling",
                              {0.9, 0.9, 0.9},
                              kMixCeiling - 0.05,
                              kMixCeiling + 1e-3}),
    [](const ::testing::TestParamInfo<MixCase>& i) { return std::string(i.param.name); });

}  // namespace

namespace {

// ---- whole composites -----------------------------------------------------------------------

constexpr int64_t kStartUs = 1700000000000000;  // the recording's first packet on its clock

struct MeetingUser {
    uint32_t uid;
    std::vector<VideoPiece> video;  // empty: no camera
    std::vector<AudioPiece> audio;  // empty: no microphone
    int luma;
    bool lossy;  // 3% of frames and packets lost
};

// Writes each user's files into `dir` and places them on the recording clock where their first
// frame or packet lies.
std::vector<ComposeUser> make_meeting(const TempDir& dir, const std::vector<MeetingUser>& users) {
    std::vector<ComposeUser> out;
    for (const MeetingUser& m : users) {
        ComposeUser u;
        u.uid = m.uid;
        if (!m.video.empty()) {
            u.video.path = dir.file("v" + std::to_string(m.uid) + ".ivf");
            meeting_test::write_ivf(
                u.video.path, m.video, m.luma,
                m.lossy ? meeting_test::every_nth(100000, 33, 7) : std::vector<int>{});
            u.video_clock.placed = true;
            u.video_clock.source = "rtcp";
            u.video_clock.start_us = kStartUs + m.video[0].start_ms * 1000;
        }
        if (!m.audio.empty()) {
            u.audio.path = dir.file("a" + std::to_string(m.uid) + ".ogg");
            meeting_test::write_ogg_opus(
                u.audio.path, m.audio,
                m.lossy ? meeting_test::every_nth(100000, 33, 5) : std::vector<int>{});
            u.audio_clock.placed = true;
            u.audio_clock.source = "rtcp";
            u.audio_clock.start_us = kStartUs + m.audio[0].start_ms * 1000;
        }
        out.push_back(u);
    }
    return out;
}

ComposeSpan span_ms(int64_t ms) {
    ComposeSpan span;
    span.placed = true;
    span.start_us = kStartUs;
    span.end_us = kStartUs + ms * 1000;
    return span;
}

ComposeOptions small_options(const std::string& path) {
    ComposeOptions o;
    o.path = path;
    o.width = 640;
    o.height = 360;
    o.rate = 10;
    o.hold_us = 500000;
    return o;
}

std::vector<VideoPiece> camera(int64_t from_ms, int64_t to_ms, int w = 320, int h = 240) {
    return {VideoPiece{from_ms, to_ms - from_ms, w, h, 15}};
}
std::vector<AudioPiece> voice(int64_t from_ms, int64_t to_ms, double amplitude = 0.25) {
    return {AudioPiece{from_ms, to_ms - from_ms, 440, amplitude}};
}

// ffmpeg decodes the file without a line on standard error.
void expect_ffmpeg_silent(const std::string& path) {
    const harness::ProcessResult f = harness::run_process(
        {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.out + f.err, "");
}

std::vector<std::vector<uint32_t>> layout_users(const ComposeStats& s) {
    std::vector<std::vector<uint32_t>> out;
    for (const ComposeLayout& l : s.layouts) out.push_back(l.users);
    return out;
}
std::vector<uint64_t> layout_frames(const ComposeStats& s) {
    std::vector<uint64_t> out;
    for (const ComposeLayout& l : s.layouts) out.push_back(l.frame);
    return out;
}

// Nine users join and leave; one changes resolution, one loses 3% of frames and packets, one has
// only a microphone. Every voice is loud enough that their sum would clip.
TEST(ComposeMeeting, NineUsersJoinLeaveAndTheLayoutFollows) {
    TempDir dir;
    std::vector<VideoPiece> resized = {VideoPiece{0, 4000, 320, 240, 15},
                                       VideoPiece{4000, 4000, 480, 270, 15}};
    const std::vector<MeetingUser> meeting = {
        {1, resized, voice(0, 8000, 0.3), 40, false},
        {2, camera(1000, 8000), voice(1000, 8000, 0.3), 70, true},
        {3, camera(2000, 6000), voice(2000, 6000, 0.3), 100, false},
        {4, camera(2000, 8000), voice(2000, 8000, 0.3), 130, false},
        {5, camera(3000, 8000), voice(3000, 8000, 0.3), 160, false},
        {6, camera(3000, 5000), voice(3000, 5000, 0.3), 190, false},
        {7, camera(3000, 8000), {}, 220, false},
        {8, camera(3000, 8000), {}, 235, false},
        {9, {}, voice(0, 8000, 0.3), 0, false},
    };
    const std::vector<ComposeUser> users = make_meeting(dir, meeting);
    const std::string out = dir.file("meeting.webm");
    const ComposeOutcome r = compose_meeting(users, span_ms(8000), small_options(out));
    ASSERT_TRUE(r.stats.written) << r.error;

    // Frames at 10 fps: a camera counts from its first frame and goes 0.5 s after its last
    // (user 6's is at 4.933 s, user 3's at 5.933 s).
    EXPECT_EQ(layout_frames(r.stats), (std::vector<uint64_t>{0, 10, 20, 30, 55, 65}));
    EXPECT_EQ(layout_users(r.stats), (std::vector<std::vector<uint32_t>>{{1},
                                                                         {1, 2},
                                                                         {1, 2, 3, 4},
                                                                         {1, 2, 3, 4, 5, 6, 7, 8},
                                                                         {1, 2, 3, 4, 5, 7, 8},
                                                                         {1, 2, 4, 5, 7, 8}}));
    EXPECT_EQ(r.stats.audio_only_users, std::vector<uint32_t>{9});
    EXPECT_EQ(r.stats.frames_written, 81u);

    // Each tile shows its user's grey, the letterbox bars are black.
    const std::vector<int> frames = {5, 15, 25, 35, 45, 60, 70};
    const meeting_test::DecodedComposite d = meeting_test::decode_composite(out, frames);
    ASSERT_EQ(d.error, "");
    EXPECT_EQ(d.format, "matroska,webm");
    EXPECT_EQ(d.video_codec, "vp8");
    EXPECT_EQ(d.width, 640);
    EXPECT_EQ(d.height, 360);
    EXPECT_EQ(d.video_frames, 81);
    for (int f : frames) {
        const ComposeLayout* layout = nullptr;
        for (const ComposeLayout& l : r.stats.layouts)
            if (static_cast<int>(l.frame) <= f) layout = &l;
        ASSERT_NE(layout, nullptr);
        const std::vector<Rect> cells =
            grid_cells(640, 360, static_cast<int>(layout->users.size()));
        for (size_t i = 0; i < cells.size(); ++i) {
            const MeetingUser& m = meeting[layout->users[i] - 1];
            const bool second_size = m.uid == 1 && f >= 40;
            const Rect tile =
                fit_in_cell(cells[i], second_size ? 480 : 320, second_size ? 270 : 240);
            EXPECT_NEAR(meeting_test::mean_luma(d, f, tile.x + tile.w / 4, tile.y + tile.h / 4,
                                                tile.w / 2, tile.h / 2),
                        m.luma, 4)
                << "frame " << f << " user " << m.uid;
            if (tile.x > cells[i].x + 4) {
                EXPECT_NEAR(meeting_test::mean_luma(d, f, cells[i].x, tile.y + 2, 2, tile.h - 4),
                            16, 2)
                    << "bar left of user " << m.uid << " in frame " << f;
            }
        }
    }
    // Six voices of 0.3 would reach 1.8; the mix stays at or below full scale.
    ASSERT_TRUE(d.have_audio);
    EXPECT_LE(d.audio_peak, 1.0);
    EXPECT_GT(d.audio_peak, 0.3);
    EXPECT_NEAR(d.audio_samples / 48000.0, 8.1, 0.03);
    expect_ffmpeg_silent(out);
}

// One voice placed at 1.5 s of the recording and its camera at 1.0 s: the sound starts where the
// clock puts it, within 40 ms; before any camera the picture is black.
TEST(ComposeMeeting, VoiceAndPictureStandWhereTheClockPutsThem) {
    TempDir dir;
    std::vector<ComposeUser> users =
        make_meeting(dir, {{5, camera(1000, 3000), voice(1500, 3000), 200, false}});
    const std::string out = dir.file("m.webm");
    const ComposeOutcome r = compose_meeting(users, span_ms(3000), small_options(out));
    ASSERT_TRUE(r.stats.written) << r.error;
    const meeting_test::DecodedComposite d = meeting_test::decode_composite(out, {5, 15});
    ASSERT_EQ(d.error, "");
    EXPECT_NEAR(d.audio_onset, 1.5, 0.04);
    EXPECT_NEAR(meeting_test::mean_luma(d, 5, 0, 0, 640, 360), 16, 1) << "no camera yet";
    EXPECT_NEAR(meeting_test::mean_luma(d, 15, 200, 100, 200, 100), 200, 4);
    EXPECT_EQ(layout_frames(r.stats), (std::vector<uint64_t>{0, 10}));
}

// A stream's media time is divided by 1 + drift_ppm / 1e6: a voice that starts 5 s into its
// file (after 1 s of silence coded as such, then a pause) sounds that much earlier or later.
struct DriftCase {
    const char* name;
    double drift_ppm;
    double onset;
};

class ComposeDrift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(ComposeDrift, MediaTimeRunsAtTheFittedRate) {
    TempDir dir;
    std::vector<ComposeUser> users = make_meeting(
        dir,
        {{3, {}, {AudioPiece{0, 1000, 440, 0.0}, AudioPiece{5000, 1000, 440, 0.25}}, 0, false}});
    users[0].audio_clock.drift_ppm = GetParam().drift_ppm;
    const std::string out = dir.file("d.webm");
    const ComposeOutcome r = compose_meeting(users, span_ms(6500), small_options(out));
    ASSERT_TRUE(r.stats.written) << r.error;
    const meeting_test::DecodedComposite d = meeting_test::decode_composite(out, {});
    EXPECT_NEAR(d.audio_onset, GetParam().onset, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Compose, ComposeDrift,
                         ::testing::Values(DriftCase{"none", 0, 5.0},
                                           DriftCase{"fast_sender", 10000, 5.0 / 1.01},
                                           DriftCase{"slow_sender", -10000, 5.0 / 0.99}),
                         [](const ::testing::TestParamInfo<DriftCase>& i) {
                             return std::string(i.param.name);
                         });

// Without a clock every stream starts at the composite's start and the composite lasts as long
// as the longest stream; VP9 on request.
TEST(ComposeMeeting, UnplacedStreamsStartTogetherAndVp9OnRequest) {
    TempDir dir;
    std::vector<ComposeUser> users = make_meeting(
        dir,
        {{1, camera(0, 2000), voice(0, 1000), 90, false}, {2, {}, voice(500, 3000), 0, false}});
    for (ComposeUser& u : users) u.video_clock.placed = u.audio_clock.placed = false;
    const std::string out = dir.file("u.webm");
    ComposeOptions o = small_options(out);
    o.vp9 = true;
    const ComposeOutcome r = compose_meeting(users, ComposeSpan{}, o);
    ASSERT_TRUE(r.stats.written) << r.error;
    const meeting_test::DecodedComposite d = meeting_test::decode_composite(out, {});
    ASSERT_EQ(d.error, "");
    EXPECT_EQ(d.video_codec, "vp9");
    EXPECT_NEAR(d.audio_onset, 0.0, 0.04);
    EXPECT_NEAR(r.stats.duration, 2.5, 0.15);
    EXPECT_EQ(r.stats.audio_only_users, std::vector<uint32_t>{2});
}

bool only_file_is(const std::string& dir, const std::string& name) {
    DIR* d = opendir(dir.c_str());
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(d);
    return names == std::vector<std::string>{name};
}

// A file that cannot be written leaves nothing: no temporary file, and an earlier file under the
// final name stays as it was.
TEST(ComposeMeeting, FailedWriteLeavesNothingHalfWritten) {
    TempDir dir;
    std::vector<ComposeUser> users =
        make_meeting(dir, {{1, camera(0, 3000), voice(0, 3000), 90, false}});
    const std::string outdir = dir.subdir("out");
    const std::string out = outdir + "/m.webm";
    std::ofstream(out) << "earlier";

    // Writes past 8 KiB fail with EFBIG (SIGXFSZ ignored) in the middle of the composite.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    struct rlimit small = saved;
    small.rlim_cur = 8 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    ComposeOptions o = small_options(out);
    o.width = 1280;
    o.height = 720;
    const ComposeOutcome r = compose_meeting(users, span_ms(3000), o);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_FALSE(r.stats.written);
    EXPECT_EQ(r.error, "cannot write");
    EXPECT_EQ(r.error_errno, EFBIG);
    EXPECT_TRUE(only_file_is(outdir, "m.webm"));
    std::ifstream in(out);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "earlier");

    // A directory that does not exist: nothing is created.
    const ComposeOutcome missing =
        compose_meeting(users, span_ms(3000), small_options(dir.file("nowhere/m.webm")));
    EXPECT_FALSE(missing.stats.written);
    EXPECT_EQ(missing.error, "cannot create");
    EXPECT_EQ(missing.error_errno, ENOENT);
}

}  // namespace

namespace {

// ---- users of every codec -------------------------------------------------------------------

// A user's video of another codec (the converter writes it as Matroska) sits beside a VP8 user's:
// both tiles show capture_synth's picture, never black, and the composite lasts as long as the
// streams (2 s). A Matroska file that cannot be read back is named, never dropped unsaid.
struct CodecUserCase {
    const char* name;
    const char* codec;  // capture_synth --codec of the second user
    bool damaged;       // its Matroska file is cut to its first bytes before the composite
};

class ComposeCodecs : public ::testing::TestWithParam<CodecUserCase> {};

TEST_P(ComposeCodecs, EveryCodecGetsItsTile) {
    const CodecUserCase& c = GetParam();
    TempDir work, out;
    for (const char* codec : {"vp8", c.codec}) {
        const bool first = std::string(codec) == "vp8";
        const harness::ProcessResult synth = harness::run_capture_synth(
            {"--out", work.path(), "--quiet", "--users", "1", "--uids", first ? "11" : "22",
             "--prefix", first ? "a" : "b", "--duration", "2", "--codec", codec, "--audio-users",
             "0", "--seed", first ? "1" : "2"});
        ASSERT_EQ(synth.status, 0) << synth.err;
    }
    const harness::ConverterRun run =
        harness::run_converter(work.slash(), {"-v", "--repair"}, out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.files.size(), 2u) << run.err;
    std::vector<ComposeUser> users;
    std::string codec_upper = c.codec;
    for (char& ch : codec_upper) ch = static_cast<char>(toupper(ch));
    for (const auto& f : run.files) {
        ComposeUser u;
        u.uid = f.first.first;
        u.video.path = f.second;
        u.video.written_by_run = true;
        struct stat st;
        ASSERT_EQ(stat(f.second.c_str(), &st), 0);
        u.video.identity = FileIdentity{static_cast<uint64_t>(st.st_dev), st.st_ino};
        u.video.codec = u.uid == 22 ? codec_upper.c_str() : "VP8";
        if (u.uid == 22 && c.damaged) {
            ASSERT_EQ(truncate(f.second.c_str(), 40), 0);
        }
        users.push_back(u);
    }
    const std::string path = out.file("m.webm");
    const ComposeOutcome r = compose_meeting(users, ComposeSpan{}, small_options(path));
    ASSERT_TRUE(r.stats.written) << r.error;
    EXPECT_NEAR(r.stats.duration, 2.0, 0.15);
    const meeting_test::DecodedComposite d = meeting_test::decode_composite(path, {10});
    ASSERT_EQ(d.error, "");
    if (c.damaged) {
        ASSERT_EQ(r.stats.video_left_out.size(), 1u);
        EXPECT_EQ(r.stats.video_left_out[0].uid, 22u);
        EXPECT_EQ(r.stats.video_left_out[0].why, "cannot read its video file");
        EXPECT_EQ(layout_users(r.stats), (std::vector<std::vector<uint32_t>>{{11}}));
        return;
    }
    EXPECT_TRUE(r.stats.video_left_out.empty());
    ASSERT_EQ(layout_users(r.stats), (std::vector<std::vector<uint32_t>>{{11, 22}}));
    const std::vector<Rect> cells = grid_cells(640, 360, 2);
    for (const Rect& cell : cells) {
        const Rect tile = fit_in_cell(cell, 320, 240);
        EXPECT_GT(meeting_test::mean_luma(d, 10, tile.x, tile.y, tile.w, tile.h), 40)
            << "tile at x " << tile.x << " is black";
    }
}

INSTANTIATE_TEST_SUITE_P(Compose, ComposeCodecs,
                         ::testing::Values(CodecUserCase{"vp9", "vp9", false},
                                           CodecUserCase{"av1", "av1", false},
                                           CodecUserCase{"h264", "h264", false},
                                           CodecUserCase{"h264_unreadable", "h264", true}),
                         [](const ::testing::TestParamInfo<CodecUserCase>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace

namespace {

// Through the converter: the per-user files as always, and the composite with its report.
TEST(ComposeRun, ConverterWritesTheCompositeAndReportsIt) {
    TempDir cwd;
    const harness::ProcessResult r =
        harness::run_process({TRANSCODE_BIN, "-p", std::string(SOURCE_DIR) + "/samples/", "-v",
                              "-a", "-o", "out", "--compose", "meeting.webm", "--compose-size",
                              "640x360", "--compose-rate", "15", "--report", "report.json"},
                             cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    EXPECT_EQ(r.err,
              "--compose: no recording clock for some streams; they start at the beginning of "
              "the composite\n");
    std::vector<uint8_t> text;
    ASSERT_TRUE(harness::read_file(cwd.file("report.json"), &text, nullptr));
    const nlohmann::json c = nlohmann::json::parse(text.begin(), text.end())["compose"];
    EXPECT_EQ(c["file"], "meeting.webm");
    EXPECT_EQ(c["written"], true);
    EXPECT_EQ(c["width"], 640);
    EXPECT_EQ(c["frame_rate"], 15);
    EXPECT_EQ(c["video_users"].size(), 3u);
    EXPECT_EQ(c["layout_changes"].size(), 1u);
    EXPECT_EQ(c["layout_changes"][0]["users"].size(), 3u);
    EXPECT_GT(c["encode_speed"].get<double>(), 0);
    const meeting_test::DecodedComposite d =
        meeting_test::decode_composite(cwd.file("meeting.webm"), {});
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(static_cast<uint64_t>(d.video_frames), c["frames_written"].get<uint64_t>());
    EXPECT_NEAR(d.video_frames / 15.0, c["duration_seconds"].get<double>(), 1e-9);
    EXPECT_TRUE(d.have_audio);
    expect_ffmpeg_silent(cwd.file("meeting.webm"));
}

}  // namespace

namespace {

// Through the converter, a user's video that does not decode (H.264 written without --repair,
// which the video pass names) is named by the composite too: once on standard error and in the
// report, beside the user that it shows.
TEST(ComposeRun, AVideoThatDoesNotDecodeIsNamed) {
    TempDir work, out;
    for (const char* codec : {"vp8", "h264"}) {
        const bool first = std::string(codec) == "vp8";
        const harness::ProcessResult synth =
            harness::run_capture_synth({"--out", work.path(), "--quiet", "--users", "1", "--uids",
                                        first ? "11" : "22", "--prefix", first ? "a" : "b",
                                        "--duration", "1", "--codec", codec, "--audio-users", "0"});
        ASSERT_EQ(synth.status, 0) << synth.err;
    }
    const harness::ProcessResult r = harness::run_process(
        {TRANSCODE_BIN, "-p", work.slash(), "-v", "-o", out.path(), "--compose", out.file("m.webm"),
         "--compose-size", "320x180", "--report", out.file("r.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string line =
        "--compose: user 22's video is left out of the composite: no frame of its vp8 video "
        "decodes\n";
    const size_t at = r.err.find(line);
    EXPECT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(line, at + 1), std::string::npos) << "said once";
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(harness::read_file(out.file("r.json"), &bytes, nullptr));
    const nlohmann::json c = nlohmann::json::parse(bytes.begin(), bytes.end())["compose"];
    EXPECT_EQ(c["video_users"], nlohmann::json({11}));
    ASSERT_EQ(c["video_left_out"].size(), 1u);
    EXPECT_EQ(c["video_left_out"][0]["user_id"], 22);
}

// ---- on the recording clock, end to end ------------------------------------------------------

// A stream's RTP time as the true capture time (seconds since 1970), from its sender's report
// nearest to it (sender_reports.txt: uid kind ssrc ntp rtp capture_us).
double true_time(const std::string& reports, uint32_t uid, const std::string& kind, uint32_t rtp) {
    std::istringstream in(reports);
    std::string line;
    double best = 0;
    int64_t best_d = INT64_MAX;
    while (std::getline(in, line)) {
        unsigned u = 0, ssrc = 0, r = 0;
        unsigned long long ntp = 0;
        long long capture = 0;
        char k[8] = {};
        if (line.empty() || line[0] == '#' ||
            sscanf(line.c_str(), "%u %7s %u %llu %u %lld", &u, k, &ssrc, &ntp, &r, &capture) != 6)
            continue;
        if (u != uid || kind != k) continue;
        const int64_t d = static_cast<int32_t>(rtp - r);
        if (std::llabs(d) >= best_d) continue;
        best_d = std::llabs(d);
        const double rate = kind == "video" ? 90000.0 : 48000.0;
        best = static_cast<double>(ntp >> 32) - 2208988800.0 +
               static_cast<double>(ntp & 0xffffffffu) / 4294967296.0 +
               static_cast<double>(d) / rate;
    }
    return best;
}

// "2022-04-22T03:41:09.009Z" in seconds since 1970.
double utc_seconds(const std::string& text) {
    struct tm tm = {};
    strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    return static_cast<double>(timegm(&tm)) + std::stod(text.substr(19, 4));
}

// A meeting from the synthesizer, placed by its senders' reports: user 22 sends only video and
// its camera starts 1.5 s in; user 11 joins 2.5 s in, its microphone first and its camera 1.5 s
// later. The tile of each camera comes at the frame its first picture's true capture time falls
// on (within one frame), and goes the hold (2 s) after its last; the voice sounds where its true
// time puts it (within 40 ms), so voice and picture agree; the file lasts the recording.
TEST(ComposeRun, LateCameraAndLateJoinerLandWhereTheClockPutsThem) {
    TempDir work, out;
    const harness::ProcessResult synth = harness::run_capture_synth(
        {"--out", work.path(), "--quiet", "--users", "2", "--audio-users", "1", "--uids", "11,22",
         "--duration", "6", "--camera-delay", "1.5", "--join", "0:2.5", "--sender-reports"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(harness::read_file(work.file("sender_reports.txt"), &bytes, nullptr));
    const std::string reports(bytes.begin(), bytes.end());
    const int rate = 30;
    const harness::ProcessResult r = harness::run_process(
        {TRANSCODE_BIN, "-p", work.slash(), "-v", "-a", "-o", out.path(), "--compose",
         out.file("m.webm"), "--compose-size", "640x360", "--report", out.file("r.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(harness::read_file(out.file("r.json"), &bytes, nullptr));
    const nlohmann::json report = nlohmann::json::parse(bytes.begin(), bytes.end());
    const nlohmann::json& c = report["compose"];
    ASSERT_EQ(c["placed_on_recording_clock"], true);

    std::map<uint32_t, nlohmann::json> users;
    for (const nlohmann::json& u : report["users"]) users[u["user_id"].get<uint32_t>()] = u;
    ASSERT_EQ(users.size(), 2u);
    auto truth = [&](uint32_t uid, const char* kind, const char* which) {
        return true_time(reports, uid, kind, users[uid][kind][which].get<uint32_t>());
    };
    const double start = truth(22, "video", "first_rtp_timestamp");
    EXPECT_NEAR(utc_seconds(report["recording_start_time"]), start, 0.002);
    const double span = utc_seconds(report["recording_end_time"]) - start;

    // Frame k shows t = k / rate: a camera's tile comes with the first frame at or after its
    // first picture and goes with the first frame more than the hold after its last.
    auto frame_at = [&](double t) { return static_cast<int>(std::ceil((t - start) * rate)); };
    const int joins = frame_at(truth(11, "video", "first_rtp_timestamp"));
    const int leaves = frame_at(truth(22, "video", "last_rtp_timestamp") + 2.0);
    const nlohmann::json& layouts = c["layout_changes"];
    ASSERT_EQ(layouts.size(), 3u) << layouts.dump();
    EXPECT_EQ(layouts[0]["frame"], 0);
    EXPECT_EQ(layouts[0]["users"], nlohmann::json({22}));
    EXPECT_NEAR(layouts[1]["frame"].get<int>(), joins, 1);
    EXPECT_EQ(layouts[1]["users"], nlohmann::json({22, 11}));
    EXPECT_NEAR(layouts[2]["frame"].get<int>(), leaves, 1);
    EXPECT_EQ(layouts[2]["users"], nlohmann::json({11}));

    const int before = layouts[1]["frame"].get<int>() - 1;
    const int after = layouts[1]["frame"].get<int>();
    const meeting_test::DecodedComposite d =
        meeting_test::decode_composite(out.file("m.webm"), {before, after});
    ASSERT_EQ(d.error, "");
    EXPECT_NEAR(d.video_end, span, 0.1);
    EXPECT_NEAR(static_cast<double>(d.audio_samples) / 48000, span, 0.1);
    // The voice: where its first packet's true time puts it.
    EXPECT_NEAR(d.audio_onset, truth(11, "audio", "first_rtp_timestamp") - start, 0.04);
    // The picture: one tile filling the frame, then two side by side, user 11's on the right.
    const std::vector<Rect> two = grid_cells(640, 360, 2);
    const Rect right = fit_in_cell(two[1], 320, 240);
    const Rect single = fit_in_cell(grid_cells(640, 360, 1)[0], 320, 240);
    const int bar = single.x + single.w;
    EXPECT_NEAR(meeting_test::mean_luma(d, before, bar, 0, 640 - bar, 360), 16, 2)
        << "right of the single tile: its letterbox";
    EXPECT_GT(meeting_test::mean_luma(d, before, single.x, single.y, single.w, single.h), 40);
    EXPECT_GT(meeting_test::mean_luma(d, after, right.x, right.y, right.w, right.h), 40);
}

}  // namespace
