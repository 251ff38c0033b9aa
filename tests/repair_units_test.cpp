// The repair mode's units on literal packets: the reorder window, the audio timeline and the key
// frame gate, each as one table of cases grouped by behaviour.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audio_timeline.h"
#include "keyframe_gate.h"
#include "reorder_window.h"
#include "rtp_payload.h"
#include "rtp_support.h"
#include "vp8_layers.h"
#include "vp8_unpack.h"

namespace {

using rtptest::rtp_bytes;

// ---- Reorder window ------------------------------------------------------------------------

constexpr int kNotRtp = -1;  // a 5-byte record that is no RTP packet
constexpr int kFlush = -2;   // flush() here
constexpr uint8_t kPt121 = 121;

struct In {
    int seq;
    uint32_t ssrc = 1;
    uint8_t pt = 96;
};

struct ReorderCase {
    const char* name;
    uint32_t window;
    std::vector<In> in;
    std::vector<int> out;  // sequence numbers as released (kNotRtp for the passed record)
    RepairStats stats;     // reordered, duplicates, late, resets are compared
};

// `lane`: an RTP packet the skip test keeps is offered to pass_in_order() first, as the pass
// offers the usual packet, and pushed only when that refuses it.
std::vector<int> run_window(ReorderWindow& w, const std::vector<In>& in, bool lane = false) {
    std::vector<int> out;
    auto drain = [&] {
        const uint8_t* p = nullptr;
        size_t n = 0;
        while (w.pop(&p, &n)) out.push_back(n < 12 ? kNotRtp : (p[2] << 8) | p[3]);
    };
    std::vector<uint8_t> b;  // the packet pushed last: an in-order one is released from it
    for (const In& i : in) {
        if (i.seq == kFlush) {
            w.flush();
        } else if (i.seq == kNotRtp) {
            b = {1, 2, 3, 4, 5};
            w.push(b.data(), b.size());
        } else {
            b = rtp_bytes(static_cast<uint16_t>(i.seq), 0, false, {0x10, 0xAA}, i.pt, i.ssrc);
            if (lane && !rtp_vp8_refused(b.data(), b.size()) &&
                w.pass_in_order(b.data(), b.size(), static_cast<uint16_t>(i.seq), i.ssrc)) {
                out.push_back(i.seq);
                continue;
            }
            w.push(b.data(), b.size());
        }
        drain();
    }
    w.flush();
    drain();
    return out;
}

// Packets first..last in order, then `then`.
std::vector<In> in_order(int first, int last, std::vector<In> then = {}) {
    std::vector<In> v;
    for (int s = first; s <= last; ++s) v.push_back({s});
    v.insert(v.end(), then.begin(), then.end());
    return v;
}

std::vector<int> numbers(int first, int last) {
    std::vector<int> v;
    for (int s = first; s <= last; ++s) v.push_back(s);
    return v;
}

RepairStats counts(uint64_t reordered, uint64_t duplicates, uint64_t late, uint64_t resets) {
    RepairStats s;
    s.reordered = reordered;
    s.duplicates = duplicates;
    s.late = late;
    s.resets = resets;
    return s;
}

void PrintTo(const ReorderCase& c, std::ostream* os) {
    *os << c.name;
}

class ReorderWindowCases : public ::testing::TestWithParam<ReorderCase> {};

// Every row holds whether each packet is pushed or first offered to the in-order lane.
TEST_P(ReorderWindowCases, ReleasesInOrder) {
    const ReorderCase& c = GetParam();
    for (const bool lane : {false, true}) {
        SCOPED_TRACE(lane ? "in-order lane" : "push and pop");
        RepairStats stats;
        ReorderWindow w(c.window, &stats, rtp_vp8_refused);
        EXPECT_EQ(run_window(w, c.in, lane), c.out);
        EXPECT_EQ(stats.reordered, c.stats.reordered);
        EXPECT_EQ(stats.duplicates, c.stats.duplicates);
        EXPECT_EQ(stats.late, c.stats.late);
        EXPECT_EQ(stats.resets, c.stats.resets);
        EXPECT_EQ(w.held(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReorderWindowCases,
    ::testing::Values(
        ReorderCase{"in_order", 4, {{1}, {2}, {3}, {4}, {5}, {6}}, {1, 2, 3, 4, 5, 6}, {}},
        ReorderCase{"neighbours_swapped",
                    4,
                    {{1}, {3}, {2}, {4}, {6}, {5}},
                    {1, 2, 3, 4, 5, 6},
                    counts(2, 0, 0, 0)},
        ReorderCase{"repeat_dropped_first_kept",
                    4,
                    {{1}, {2}, {2}, {3}, {1}, {4}},
                    {1, 2, 3, 4},
                    counts(0, 2, 0, 0)},
        ReorderCase{"first_arrival_not_first",
                    8,
                    {{5}, {4}, {6}, {3}, {7}},
                    {3, 4, 5, 6, 7},
                    counts(2, 0, 0, 0)},
        // 2 is given up when 6 needs its place; when it comes it is too late.
        ReorderCase{"late_beyond_window",
                    4,
                    {{1}, {3}, {4}, {5}, {6}, {7}, {2}},
                    {1, 3, 4, 5, 6, 7},
                    counts(0, 0, 1, 0)},
        ReorderCase{"late_within_window_recovered",
                    4,
                    {{1}, {3}, {4}, {2}, {5}},
                    {1, 2, 3, 4, 5},
                    counts(1, 0, 0, 0)},
        ReorderCase{"sequence_wrap",
                    4,
                    {{65534}, {65535}, {1}, {0}, {2}},
                    {65534, 65535, 0, 1, 2},
                    counts(1, 0, 0, 0)},
        ReorderCase{"far_jump_starts_afresh",
                    4,
                    {{1}, {2}, {3}, {30000}, {30001}},
                    {1, 2, 3, 30000, 30001},
                    counts(0, 0, 0, 1)},
        ReorderCase{"ssrc_change_starts_afresh",
                    4,
                    {{10}, {11}, {5, 2}, {6, 2}},
                    {10, 11, 5, 6},
                    counts(0, 0, 0, 1)},
        ReorderCase{"flush_with_holes", 8, {{1}, {5}, {3}}, {1, 3, 5}, counts(1, 0, 0, 0)},
        ReorderCase{"not_rtp_passes_at_once", 8, {{1}, {kNotRtp}, {2}}, {kNotRtp, 1, 2}, {}},
        ReorderCase{"after_flush_a_new_run", 4, {{7}, {kFlush}, {3}, {4}}, {7, 3, 4}, {}},
        // The refused packet takes number 3; the later ones close the gap it leaves.
        ReorderCase{"refused_packet_renumbered_away",
                    4,
                    {{1}, {2}, {3, 1, kPt121}, {5}, {4}, {6}},
                    {1, 2, 3, 4, 5},
                    counts(1, 0, 0, 0)},
        ReorderCase{"window_of_one", 1, {{1}, {3}, {2}, {4}}, {1, 3, 4}, counts(0, 0, 1, 0)},
        // Edges of the window before the first release: one whole window older than the first
        // arrival is late; one whole window ahead waits outside until the oldest has gone (the
        // repeat finds it in its place).
        ReorderCase{"one_window_older_than_first_arrival_is_late",
                    4,
                    {{5}, {1}, {6}},
                    {5, 6},
                    counts(0, 0, 1, 0)},
        ReorderCase{
            "one_window_ahead_waits_for_room", 4, {{1}, {5}, {5}}, {1, 5}, counts(0, 1, 0, 0)},
        ReorderCase{"far_backward_jump_starts_afresh",
                    4,
                    {{30000}, {30001}, {10}, {11}},
                    {30000, 30001, 10, 11},
                    counts(0, 0, 0, 1)},
        ReorderCase{"after_flush_the_same_numbers_again",
                    4,
                    {{1}, {2}, {3}, {kFlush}, {1}, {2}, {3}},
                    {1, 2, 3, 1, 2, 3},
                    {}},
        // Every packet lands one short of a window ahead: the numbers between are given up.
        ReorderCase{"stride_of_window_minus_one", 4, {{1}, {4}, {7}, {10}}, {1, 4, 7, 10}, {}},
        // Long after the ring of seen numbers has gone round, a repeat of a released packet is
        // still known as one.
        ReorderCase{"repeat_after_the_ring_turned", 64, in_order(1, 200, {{199}}), numbers(1, 200),
                    counts(0, 1, 0, 0)}),
    [](const ::testing::TestParamInfo<ReorderCase>& info) { return std::string(info.param.name); });

// Packets displaced by less than the window all come out, in order, and the store never grows
// beyond one buffer per slot.
TEST(ReorderWindow, DisplacedWithinTheWindowNothingIsLost) {
    constexpr uint32_t kWindow = 64;
    constexpr size_t kBlock = 32;
    std::mt19937 rng(7);
    std::vector<int> order(5000);
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>((i + 63000) % 65536);
    // Shuffled within blocks: no packet moves by a whole block, let alone the window.
    for (size_t i = 0; i < order.size(); i += kBlock)
        std::shuffle(order.begin() + static_cast<long>(i),
                     order.begin() + static_cast<long>(std::min(order.size(), i + kBlock)), rng);
    std::vector<In> in;
    for (int s : order) in.push_back({s});
    RepairStats stats;
    ReorderWindow w(kWindow, &stats);
    const std::vector<int> out = run_window(w, in);
    ASSERT_EQ(out.size(), order.size());
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], static_cast<int>((i + 63000) % 65536)) << i;
    EXPECT_EQ(stats.late + stats.duplicates + stats.resets, 0u);
    const size_t packet = rtp_bytes(0, 0, false, {0x10, 0xAA}).size();
    EXPECT_LE(w.bytes_reserved(), (kWindow + 3) * packet);
}

// The in-order lane changes the cost and nothing else: on a stream with every impairment at once,
// what is released, the counters and what the FEC hook is told are what push() and pop() alone
// give.
TEST(ReorderWindow, InOrderLaneReleasesWhatPushAndPopRelease) {
    std::mt19937 rng(11);
    std::vector<In> in;
    int seq = 65000;
    uint32_t ssrc = 1;
    auto add = [&](int s, uint8_t pt = 96) { in.push_back({s & 0xFFFF, ssrc, pt}); };
    for (int i = 0; i < 30000; ++i) {
        const unsigned r = rng() % 2000;
        if (r < 40) {
            seq += 1 + static_cast<int>(rng() % 5);  // lost
        } else if (r < 60) {
            add(seq - 1 - static_cast<int>(rng() % 40));  // a repeat, or late within the window
        } else if (r < 80) {
            add(seq + 1);  // neighbours swapped
            add(seq);
            seq += 2;
            continue;
        } else if (r < 90) {
            add(seq - 32 - static_cast<int>(rng() % 96));  // late, often beyond the window
        } else if (r < 94) {
            add(seq++, kPt121);  // takes a number, then is left out
            continue;
        } else if (r < 95) {
            in.push_back({kFlush});
        } else if (r < 96) {
            ssrc = ssrc == 1 ? 2 : 1;  // another sender
        } else if (r < 97) {
            seq += 20000;  // a restart far away
        } else if (r < 99) {
            in.push_back({kNotRtp});
        }
        add(seq++);
    }
    struct Told {
        std::vector<int64_t> released;
        static void released_one(void* self, int64_t s, const uint8_t*, size_t) {
            static_cast<Told*>(self)->released.push_back(s);
        }
    };
    std::vector<int> out[2];
    RepairStats stats[2];
    Told told[2];
    for (int lane = 0; lane < 2; ++lane) {
        ReorderWindow w(64, &stats[lane], rtp_vp8_refused);
        w.set_recovery({&Told::released_one, nullptr, &told[lane]});
        out[lane] = run_window(w, in, lane == 1);
    }
    EXPECT_GT(out[0].size(), 25000u);
    EXPECT_EQ(out[1], out[0]);
    EXPECT_EQ(told[1].released, told[0].released);
    EXPECT_EQ(stats[1].reordered, stats[0].reordered);
    EXPECT_EQ(stats[1].duplicates, stats[0].duplicates);
    EXPECT_EQ(stats[1].late, stats[0].late);
    EXPECT_EQ(stats[1].resets, stats[0].resets);
    EXPECT_GT(stats[0].late * stats[0].duplicates * stats[0].reordered * stats[0].resets, 0u);
}

// A packet whose slot cannot be grown is dropped and said to be: the stage goes on with the next.
// (The sanitizer reports an impossible allocation instead of failing it.)
#if !defined(__SANITIZE_ADDRESS__)
TEST(ReorderWindow, PacketThatCannotBeStoredIsDroppedAndTheStageGoesOn) {
    ReorderWindow w(4, nullptr);
    const std::vector<uint8_t> first = rtp_bytes(10, 0, false, {0x10, 0xAA});
    const std::vector<uint8_t> second = rtp_bytes(11, 0, false, {0x10, 0xBB});
    // Only the header is read before the store: no byte beyond the buffer is touched.
    EXPECT_EQ(w.push(first.data(), size_t{1} << 46), ReorderWindow::Verdict::no_memory);
    EXPECT_EQ(w.push(second.data(), second.size()), ReorderWindow::Verdict::held);
    w.flush();
    const uint8_t* p = nullptr;
    size_t n = 0;
    ASSERT_TRUE(w.pop(&p, &n));
    EXPECT_EQ(std::vector<uint8_t>(p, p + n), second);
    EXPECT_FALSE(w.pop(&p, &n));
}
#endif

// Memory follows the packets held, not the window: many users with one packet each cost little
// more than their packets. (mallinfo2 does not see the sanitizer's allocator.)
#if !defined(__SANITIZE_ADDRESS__)
TEST(ReorderWindow, MemoryFollowsThePacketsHeld) {
    constexpr int kStages = 256;
    constexpr uint32_t kWindow = 4096;
    const std::vector<uint8_t> packet = rtp_bytes(10, 0, false, {0x10, 0xAA});
    std::vector<std::unique_ptr<ReorderWindow>> stages;
    stages.reserve(kStages);
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kStages; ++i) {
        stages.push_back(std::make_unique<ReorderWindow>(kWindow, nullptr));
        ASSERT_EQ(stages.back()->push(packet.data(), packet.size()), ReorderWindow::Verdict::held);
        EXPECT_EQ(stages.back()->held(), 1u);
    }
    const size_t per_stage = (mallinfo2().uordblks - before) / kStages;
    // The stage's own fields, two bits per slot, and the packet with its heap entry.
    EXPECT_LE(per_stage, 1024 + kWindow / 4 + packet.size() + 64);
}
#endif

// ---- Audio timeline ------------------------------------------------------------------------

struct Timed {
    uint32_t ts;
    int samples;
    uint8_t toc = 0xF8;  // CELT fullband 20 ms, mono
    uint32_t ssrc = 1;
};

struct TimelineCase {
    const char* name;
    std::vector<Timed> in;
    // The filler written before each packet, as "bytes/samples" joined by spaces.
    std::vector<std::string> fillers;
    uint64_t gaps_filled, gap_ms, gaps_not_filled;
};

void PrintTo(const TimelineCase& c, std::ostream* os) {
    *os << c.name;
}

class AudioTimelineCases : public ::testing::TestWithParam<TimelineCase> {};

TEST_P(AudioTimelineCases, CoversTheGaps) {
    const TimelineCase& c = GetParam();
    RepairStats stats;
    AudioTimeline t(&stats);
    std::vector<std::string> got;
    for (const Timed& p : c.in) {
        t.before(p.ts, p.ssrc, p.toc, p.samples);
        std::string text;
        FillerPacket f;
        char buf[32];
        while (t.next(&f)) {
            if (f.size == 1)
                snprintf(buf, sizeof(buf), "%02X/%d", f.bytes[0], f.samples);
            else
                snprintf(buf, sizeof(buf), "%02X%02X/%d", f.bytes[0], f.bytes[1], f.samples);
            text += (text.empty() ? "" : " ") + std::string(buf);
        }
        got.push_back(text);
    }
    EXPECT_EQ(got, c.fillers);
    EXPECT_EQ(stats.gaps_filled, c.gaps_filled);
    EXPECT_EQ(stats.gap_ms, c.gap_ms);
    EXPECT_EQ(stats.gaps_not_filled, c.gaps_not_filled);
}

const char k120ms[] = "FB06/5760";

// `filler` n times, joined by spaces.
std::string repeated(const char* filler, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? " " : "") + std::string(filler);
    return s;
}

// Gaps at the edges: exactly 5 minutes is filled; after it, the fillers may cover at most
// kFillMultiple times the packets' own 60 ms (69,120 samples), and one 2.5 ms frame more is not.
constexpr uint32_t kFiveMinutes = 48000u * 300;
constexpr uint32_t kAfterFive = 960 + kFiveMinutes + 960;

std::string sixteen_times(const char* filler) {
    std::string s;
    for (int i = 0; i < 16; ++i) s += std::string(filler) + " ";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AudioTimelineCases,
    ::testing::Values(
        TimelineCase{"contiguous", {{1000, 960}, {1960, 960}, {2920, 960}}, {"", "", ""}, 0, 0, 0},
        TimelineCase{"one_20ms_packet_lost", {{1000, 960}, {2920, 960}}, {"", "F8/960"}, 1, 20, 0},
        TimelineCase{
            "two_lost_one_code3_packet", {{0, 960}, {2880, 960}}, {"", "FB02/1920"}, 1, 40, 0},
        TimelineCase{"stereo_bit_follows_the_packet",
                     {{0, 960}, {1920, 960, 0xFC}},
                     {"", "FC/960"},
                     1,
                     20,
                     0},
        TimelineCase{
            "gap_of_22_5ms_in_2_5ms_frames", {{0, 960}, {2040, 960}}, {"", "E309/1080"}, 1, 22, 0},
        TimelineCase{"gap_of_10ms", {{0, 480}, {960, 480}}, {"", "F0/480"}, 1, 10, 0},
        TimelineCase{"two_seconds_of_silence",
                     {{0, 960}, {96960, 960}},
                     {"", sixteen_times(k120ms) + "FB04/3840"},
                     1,
                     2000,
                     0},
        // Less than a 2.5 ms frame waits for the next gap.
        TimelineCase{
            "remainder_carried", {{0, 960}, {1060, 960}, {2120, 960}}, {"", "", "E0/120"}, 1, 2, 0},
        TimelineCase{
            "timestamp_wraps", {{4294966816u, 960}, {1440, 960}}, {"", "F8/960"}, 1, 20, 0},
        TimelineCase{"backwards_not_filled",
                     {{10000, 960}, {5000, 960}, {5960, 960}},
                     {"", "", ""},
                     0,
                     0,
                     1},
        TimelineCase{"restart_beyond_limit_not_filled",
                     {{0, 960}, {960 + 48000u * 301, 960}, {960 + 48000u * 301 + 960, 960}},
                     {"", "", ""},
                     0,
                     0,
                     1},
        TimelineCase{"gap_of_exactly_5_minutes_filled",
                     {{0, 960}, {960 + kFiveMinutes, 960}},
                     {"", repeated(k120ms, 2500)},
                     1,
                     300000,
                     0},
        TimelineCase{"fill_up_to_the_budget",
                     {{0, 960}, {960 + kFiveMinutes, 960}, {kAfterFive + 69120, 960}},
                     {"", repeated(k120ms, 2500), repeated(k120ms, 12)},
                     2,
                     301440,
                     0},
        TimelineCase{"fill_beyond_the_budget_not_filled",
                     {{0, 960}, {960 + kFiveMinutes, 960}, {kAfterFive + 69240, 960}},
                     {"", repeated(k120ms, 2500), ""},
                     1,
                     300000,
                     1},
        // A 120 ms packet earns only 20 ms of budget: the same gap as above is not filled.
        TimelineCase{"long_packets_count_20ms_each",
                     {{0, 5760, 0xFB},
                      {5760 + kFiveMinutes, 5760, 0xFB},
                      {5760 + kFiveMinutes + 5760 + 69240, 5760, 0xFB}},
                     {"", repeated(k120ms, 2500), ""},
                     1,
                     300000,
                     1},
        TimelineCase{"new_ssrc_not_filled",
                     {{0, 960}, {5000, 960, 0xF8, 2}, {5960, 960, 0xF8, 2}},
                     {"", "", ""},
                     0,
                     0,
                     1}),
    [](const ::testing::TestParamInfo<TimelineCase>& info) {
        return std::string(info.param.name);
    });

// Whatever the timestamps, the fillers cover at most kFillMultiple times what the packets cover
// plus one 5-minute allowance; real silences within that are filled whole.
struct Burst {
    int packets;
    int samples;    // each packet's
    uint32_t step;  // from one packet's timestamp to the next one's
};

struct BudgetCase {
    const char* name;
    std::vector<Burst> bursts;
    bool all_filled;
};

void PrintTo(const BudgetCase& c, std::ostream* os) {
    *os << c.name;
}

class AudioTimelineBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(AudioTimelineBudget, FillIsBoundedByWhatThePacketsCover) {
    const BudgetCase& c = GetParam();
    RepairStats stats;
    AudioTimeline t(&stats);
    uint32_t ts = 0;
    int64_t covered = 0, filled = 0, gaps = 0;
    bool first = true;
    for (const Burst& b : c.bursts) {
        for (int i = 0; i < b.packets; ++i) {
            if (!first) {
                ts += b.step;
                gaps += b.step - static_cast<uint32_t>(b.samples);
            }
            first = false;
            const uint8_t toc = b.samples == 5760 ? 0xFB : 0xF8;
            t.before(ts, 1, toc, b.samples);
            covered += b.samples;
            FillerPacket f;
            while (t.next(&f)) filled += f.samples;
        }
    }
    EXPECT_LE(filled, AudioTimeline::kFillMultiple * covered + AudioTimeline::kMaxGapSamples);
    if (c.all_filled) {
        EXPECT_EQ(filled, gaps);
        EXPECT_EQ(stats.gaps_not_filled, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AudioTimelineBudget,
    ::testing::Values(
        // 10 s of talk, a 4-minute mute, 10 s of talk.
        BudgetCase{"muted_participant",
                   {{500, 960, 960}, {1, 960, 960 + 48000 * 240}, {499, 960, 960}},
                   true},
        // DTX: one 20 ms packet per 400 ms of silence, for an hour.
        BudgetCase{"dtx_for_an_hour", {{9000, 960, 19200}}, true},
        BudgetCase{"every_gap_just_under_5_minutes", {{10000, 960, kFiveMinutes}}, false},
        BudgetCase{
            "120ms_packets_gaps_just_under_5_minutes", {{10000, 5760, kFiveMinutes}}, false}),
    [](const ::testing::TestParamInfo<BudgetCase>& info) { return std::string(info.param.name); });

// ---- Key frame gate ------------------------------------------------------------------------

struct GateCase {
    const char* name;
    bool wait_after_loss;
    // K key frame, d delta frame, X/x: the same after a loss, p: a partial frame dropped,
    // h/s: a key frame's tag on a frame without the start code / one byte short of the header
    std::string frames;
    std::string admitted;  // '1' written, '0' held back
    uint64_t skipped;
    uint64_t lost;
};

void PrintTo(const GateCase& c, std::ostream* os) {
    *os << c.name;
}

class KeyframeGateCases : public ::testing::TestWithParam<GateCase> {};

TEST_P(KeyframeGateCases, WritesOnlyDecodableFrames) {
    const GateCase& c = GetParam();
    RepairStats stats;
    KeyframeGate gate(c.wait_after_loss, &stats);
    std::string got;
    for (char f : c.frames) {
        if (f == 'p') {
            gate.dropped();
            continue;
        }
        const bool key = f == 'K' || f == 'X';
        const bool lost = f == 'x' || f == 'X';
        // 'h' and 's': a key frame's tag without its start code, or the whole header but one
        // byte (the frame of a stream whose first packet was lost, begun mid-partition).
        uint8_t frame[10] = {0x10, 0, 0, 0x9d, 0x01, 0x2a, 0x40, 0x01, 0xf0, 0x00};
        int size = 10;
        if (!key) frame[0] = f == 'h' || f == 's' ? 0x10 : 0x11;
        if (f == 'h') frame[4] = 0x00;
        if (f == 's') size = 9;
        got += gate.admit(frame, size, lost ? RTP_PAYLOAD_FLAG_PACKET_LOST : 0) ? '1' : '0';
    }
    EXPECT_EQ(got, c.admitted);
    EXPECT_EQ(stats.frames_skipped_keyframe, c.skipped);
    EXPECT_EQ(stats.frames_lost, c.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KeyframeGateCases,
    ::testing::Values(GateCase{"starts_at_first_key", false, "ddKdd", "00111", 2, 0},
                      GateCase{"loss_ignored_without_wait", false, "Kdxdd", "11111", 0, 1},
                      GateCase{"loss_waits_for_next_key", true, "KdxddKd", "1100011", 3, 1},
                      GateCase{"key_after_loss_is_written", true, "KdXd", "1111", 0, 1},
                      GateCase{"loss_before_first_key", true, "dxKd", "0011", 2, 1},
                      // The partial frame is the lost one: the flag after it is not counted again.
                      GateCase{"partial_frame_counted_once", true, "KdpxdKpXd", "1100111", 2, 2},
                      GateCase{"key_tag_without_start_code_waits", false, "hdKd", "0011", 2, 0},
                      GateCase{"key_header_cut_short_waits", false, "sKd", "011", 1, 0}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

// ---- The dependency rule after a loss, read from VP8 descriptors ---------------------------

struct DepsCase {
    const char* name;
    // Space-separated frames, picture ids counting on by one from `first_id`:
    //   K key frame, w whole frame, g whole frame after a sequence gap, p frame dropped for a lost
    //   packet (its descriptor seen), - frame lost with every packet (nothing of it seen);
    //   then the temporal layer id (none: no T field), n for the N bit, y for the Y bit.
    std::string frames;
    std::string admitted;  // one '1' (written) or '0' (held back) per K, w and g
    uint64_t lost;
    int id_bits = 15;  // 0: no picture id, 7 or 15
    uint16_t first_id = 1000;
    bool tl0 = true;  // TL0PICIDX sent with the layer id
};

void PrintTo(const DepsCase& c, std::ostream* os) {
    *os << c.name;
}

// One RTP packet of a frame: the VP8 descriptor as RFC 7741 lays it out, then a byte of payload.
std::vector<uint8_t> vp8_packet(uint32_t ts, uint16_t seq, int id_bits, uint16_t id, int tid,
                                bool n, bool y, bool tl0, uint8_t tl0_idx) {
    std::vector<uint8_t> p;
    const bool x = id_bits != 0 || tid >= 0;
    p.push_back(static_cast<uint8_t>((x ? 0x80 : 0) | (n ? 0x20 : 0) | 0x10));
    if (x)
        p.push_back(static_cast<uint8_t>((id_bits ? 0x80 : 0) | (tid >= 0 && tl0 ? 0x40 : 0) |
                                         (tid >= 0 ? 0x20 : 0)));
    if (id_bits == 15) {
        p.push_back(static_cast<uint8_t>(0x80 | (id >> 8)));
        p.push_back(static_cast<uint8_t>(id));
    } else if (id_bits == 7) {
        p.push_back(static_cast<uint8_t>(id & 0x7F));
    }
    if (tid >= 0 && tl0) p.push_back(tl0_idx);
    if (tid >= 0) p.push_back(static_cast<uint8_t>((tid << 6) | (y ? 0x20 : 0)));
    p.push_back(0x11);
    return rtp_bytes(seq, ts, false, p, 96, 0x01020304);
}

std::string lost_whole(int frames) {
    std::string s;
    for (int i = 0; i < frames; ++i) s += "- ";
    return s;
}

class FrameDepsCases : public ::testing::TestWithParam<DepsCase> {};

TEST_P(FrameDepsCases, HoldsBackOnlyWhatDependsOnALoss) {
    const DepsCase& c = GetParam();
    RepairStats stats;
    KeyframeGate gate(true, &stats, &vp8_frame_layers);
    std::istringstream in(c.frames);
    std::string f, got;
    uint16_t id = c.first_id;
    uint8_t tl0 = 7;
    uint32_t ts = 90000;
    for (uint16_t seq = 1; in >> f; ++seq, ts += 3000) {
        const int tid = f.size() > 1 && isdigit(static_cast<unsigned char>(f[1])) ? f[1] - '0' : -1;
        const bool n = f.find('n') != std::string::npos, y = f.find('y') != std::string::npos;
        if (tid <= 0) tl0 = static_cast<uint8_t>(tl0 + 1);  // a base-layer frame counts on
        const uint16_t this_id = id;
        id = static_cast<uint16_t>((id + 1) & ((1u << (c.id_bits ? c.id_bits : 15)) - 1));
        if (f[0] == '-') continue;  // nothing of it arrives
        const std::vector<uint8_t> packet =
            vp8_packet(ts, seq, c.id_bits, this_id, tid, n, y, c.tl0, tl0);
        gate.packet(packet.data(), packet.size());
        if (f[0] == 'p') {
            gate.dropped(ts);
            continue;
        }
        // A key frame's tag and start code (RFC 6386, 9.1), or a delta frame's tag.
        uint8_t frame[10] = {0x10, 0, 0, 0x9d, 0x01, 0x2a, 0x40, 0x01, 0xf0, 0x00};
        if (f[0] != 'K') frame[0] = 0x11;
        got +=
            gate.admit(frame, 10, f[0] == 'g' ? RTP_PAYLOAD_FLAG_PACKET_LOST : 0, ts) ? '1' : '0';
    }
    EXPECT_EQ(got, c.admitted);
    EXPECT_EQ(stats.frames_lost, c.lost);
}

// L1T3 as conferencing senders send it: layers 0 2 1 2, the upper ones non-reference or sync.
INSTANTIATE_TEST_SUITE_P(
    Table, FrameDepsCases,
    ::testing::Values(
        DepsCase{"l1t3_lost_non_reference_costs_itself", "K0 w2n w1y w2n w0 p2n g1y w2n w0",
                 "11111111", 1},
        DepsCase{"l1t3_lost_layer_1_waits_for_a_layer_1_sync",
                 "K0 w2n w1y w2n w0 w2n p1 g2n w0 w2n w1 w2n w0 w2n w1y w2n", "111111010001011", 1},
        DepsCase{"l1t3_lost_base_layer_waits_for_a_key_frame", "K0 w2n w1y w2n p0 g2n w1y w2n K0",
                 "11110001", 1},
        // A reference frame of layer 2 held back breaks layer 2 after layer 1 mends.
        DepsCase{"held_reference_frame_breaks_its_layer", "K0 w1y p1 w2 w0 w1y w2 w2y w2",
                 "11011011", 1},
        DepsCase{"sync_frame_needs_the_base_layer", "K0 w1y p0 g1y w0 K0", "11001", 1},
        // Lost with every packet: the picture ids count them, the TL0PICIDX tells the base layer.
        DepsCase{"upper_frame_lost_whole", "K0 w2n w1y w2n w0 -2n g1y w2n w0", "11111111", 1},
        DepsCase{"base_frame_lost_whole", "K0 w2n w1y w2n -0 g2n w1y w2n w0 K0", "111100001", 1},
        DepsCase{"base_frame_lost_whole_before_a_base_frame", "K0 w1y -0 g0 w1y K0", "11001", 1},
        DepsCase{"upper_frame_lost_whole_without_tl0", "K0 w2n w1y w2n w0 -2n g1y", "111110", 1, 15,
                 1000, false},
        // A lost FEC packet or probe between two whole frames: the picture id follows on.
        DepsCase{"gap_without_a_frame", "K w g w", "1111", 0},
        DepsCase{"gap_without_a_frame_7_bit_wrap", "K w g w", "1111", 0, 7, 126},
        DepsCase{"gap_without_a_frame_15_bit_wrap", "K w g w", "1111", 0, 15, 32766},
        DepsCase{"frames_lost_whole_counted", "K w - - g w K", "11001", 2},
        DepsCase{"frames_lost_whole_7_bit_wrap", "K w - g w", "1100", 1, 7, 126},
        DepsCase{"without_picture_ids_any_gap_waits", "K w g w K", "11001", 1, 0},
        DepsCase{"dropped_frame_then_gap_counted_once", "K w p g w K", "11001", 1},
        DepsCase{"dropped_non_reference_frame", "K w pn g w", "1111", 1},
        // 64 frames lost are counted; 65 are a jump (a restarted sender), counted as one.
        DepsCase{"frames_lost_whole_up_to_the_count", "K w " + lost_whole(64) + "g w K", "11001",
                 64},
        DepsCase{"picture_id_jump_is_not_a_count", "K w " + lost_whole(65) + "g w K", "11001", 1}),
    [](const ::testing::TestParamInfo<DepsCase>& info) { return std::string(info.param.name); });

}  // namespace
