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
