// FEC recovery end to end: captures whose video carries ULPFEC inside RED or FlexFEC, with losses,
// converted with --repair against the same capture with nothing lost and against --no-fec; then the
// small wiring pieces (the ULPFEC body inside RED, the feed's lazy store, its size).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fec_feed.h"
#include "harness.h"

namespace {

using harness::Kind;
using harness::TempDir;
using nlohmann::json;

const std::vector<std::string> kShape = {
    "--users", "2",       "--duration",          "4", "--seed", "31", "--ext",
    "3",       "--quiet", "--keyframe-interval", "30"};

void synth(const TempDir& work, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--out", work.path()};
    args.insert(args.end(), kShape.begin(), kShape.end());
    args.insert(args.end(), extra.begin(), extra.end());
    const harness::ProcessResult s = harness::run_capture_synth(args);
    ASSERT_EQ(s.status, 0) << s.err;
}

struct Conversion {
    TempDir out;
    TempDir report_dir;
    harness::ConverterRun run;
    json report;
};

void convert(const TempDir& work, const std::vector<std::string>& options, Conversion* c) {
    std::vector<std::string> args = {"-v"};
    args.insert(args.end(), options.begin(), options.end());
    const std::string report = c->report_dir.file("report.json");
    args.insert(args.end(), {"--report", report});
    c->run = harness::run_converter(work.slash(), args, c->out.path());
    ASSERT_EQ(c->run.status, 0) << c->run.err;
    std::vector<uint8_t> text;
    ASSERT_TRUE(harness::read_file(report, &text, nullptr));
    c->report = json::parse(text.begin(), text.end());
}

uint64_t video_total(const json& report, const char* field, bool repair_counter) {
    uint64_t n = 0;
    for (const json& u : report["users"])
        if (u.contains("video"))
            n += (repair_counter ? u["video"]["repair"][field] : u["video"][field]).get<uint64_t>();
    return n;
}

std::vector<uint8_t> bytes_of(const std::string& path) {
    std::vector<uint8_t> b;
    EXPECT_TRUE(harness::read_file(path, &b, nullptr)) << path;
    return b;
}

size_t records(const TempDir& work) {
    harness::CaptureStream s;
    std::string err;
    EXPECT_TRUE(harness::read_capture_dir(work.path(), Kind::video, &s, &err)) << err;
    return s.records.size();
}

std::string run_ffmpeg(const std::string& path) {
    const harness::ProcessResult p = harness::run_process(
        {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
    return p.status == 0 ? p.err + p.out : "exit " + std::to_string(p.status) + ": " + p.err;
}

// ---- Each FEC form: exactly one loss per protected group, and random loss ----------------------

struct Form {
    const char* name;
    std::vector<std::string> wrap;
};

void PrintTo(const Form& f, std::ostream* os) {
    *os << f.name;
}

class FecRoundTrip : public ::testing::TestWithParam<Form> {};

void one_loss_per_group(const Form& form, const std::vector<std::string>& options = {}) {
    TempDir clean, lossy;
    synth(clean, form.wrap);
    std::vector<std::string> drop = form.wrap;
    drop.push_back("--drop-per-frame");
    synth(lossy, drop);
    Conversion want, got, without;
    auto with = [&](const char* option) {
        std::vector<std::string> all = {option};
        all.insert(all.end(), options.begin(), options.end());
        return all;
    };
    convert(clean, with("--repair"), &want);
    convert(lossy, with("--repair"), &got);
    convert(lossy, with("--no-fec"), &without);
    EXPECT_EQ(got.run.err, "");
    ASSERT_EQ(want.run.files.size(), 2u);
    ASSERT_EQ(got.run.files.size(), want.run.files.size());
    for (const auto& [key, path] : want.run.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(got.run.files.count(key));
        const std::vector<uint8_t> a = bytes_of(path), b = bytes_of(got.run.files.at(key));
        EXPECT_TRUE(a == b) << b.size() << " bytes, want " << a.size();
    }
    // Every packet lost was rebuilt, and none in the capture with nothing lost.
    const size_t lost = records(clean) - records(lossy);
    EXPECT_GT(lost, 100u);
    EXPECT_EQ(video_total(got.report, "fec_recovered", true), lost);
    EXPECT_EQ(video_total(got.report, "fec_unrecoverable", true), 0u);
    EXPECT_EQ(video_total(want.report, "fec_recovered", true), 0u);
    // Without the FEC the same capture loses nearly every frame.
    EXPECT_EQ(video_total(without.report, "fec_recovered", true), 0u);
    EXPECT_LT(video_total(without.report, "frames_written", false),
              video_total(want.report, "frames_written", false) / 10);
}

TEST_P(FecRoundTrip, OneLossPerGroupGivesTheOutputOfNothingLost) {
    one_loss_per_group(GetParam());
}

// One file of about 9 MB with a window of 4096 packets: the losses are given up when the file
// has been read, long after the read-ahead recalled the buffers that lent the packets around them.
// (Frames this large lose more than one packet each under random loss, more than one FEC packet a
// frame mends.)
TEST(FecRoundTripLarge, OneLossPerGroupPastSeveralReadBuffers) {
    one_loss_per_group(
        {"ulpfec_in_red_9mb",
         {"--red-pt", "118", "--ulpfec-pt", "120", "--width", "1280", "--height", "720",
          "--video-kbps", "40000", "--keyframe-interval", "1", "--files", "1"}},
        {"--reorder-window", "4096"});
}

TEST_P(FecRoundTrip, RandomLossMostFramesComeBackWhole) {
    TempDir clean, lossy;
    synth(clean, GetParam().wrap);
    std::vector<std::string> drop = GetParam().wrap;
    drop.insert(drop.end(), {"--drop", "0.03", "--impair", "video"});
    synth(lossy, drop);
    Conversion want, got, without;
    convert(clean, {"--repair"}, &want);
    convert(lossy, {"--repair"}, &got);
    convert(lossy, {"--no-fec"}, &without);
    EXPECT_EQ(got.run.err, "");
    const uint64_t all = video_total(want.report, "frames_written", false);
    const uint64_t with_fec = video_total(got.report, "frames_written", false);
    const uint64_t no_fec = video_total(without.report, "frames_written", false);
    ASSERT_GT(all, no_fec) << "the loss must cost frames without FEC";
    EXPECT_GE((with_fec - no_fec) * 10, (all - no_fec) * 9)
        << with_fec << " frames with FEC, " << no_fec << " without, " << all << " sent";
    EXPECT_GT(video_total(got.report, "fec_recovered", true), 0u);
    // Every frame written is the frame sent at that time.
    for (const auto& [key, path] : got.run.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(want.run.files.count(key));
        harness::IvfFile a, b;
        std::string err;
        ASSERT_TRUE(harness::read_ivf(want.run.files.at(key), &a, &err)) << err;
        ASSERT_TRUE(harness::read_ivf(path, &b, &err)) << err;
        std::map<uint64_t, const std::vector<uint8_t>*> sent;
        for (const harness::IvfFrame& f : a.frames) sent[f.timestamp] = &f.data;
        for (const harness::IvfFrame& f : b.frames) {
            ASSERT_TRUE(sent.count(f.timestamp)) << f.timestamp;
            EXPECT_TRUE(*sent[f.timestamp] == f.data) << "frame at " << f.timestamp;
        }
        EXPECT_EQ(run_ffmpeg(path), "");
    }
}

const Form kForms[] = {
    {"ulpfec_in_red", {"--red-pt", "118", "--ulpfec-pt", "120"}},
    {"flexfec", {"--flexfec-pt", "115"}},
};

INSTANTIATE_TEST_SUITE_P(Forms, FecRoundTrip, ::testing::ValuesIn(kForms),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A rebuilt packet that fails the checks is dropped and counted ----------------------------

// Sets the 0x40 bit of the length recovery's high byte in every ULPFEC body (RED block type
// `fec_pt`): every packet rebuilt from them claims 16,384 bytes more than the protection holds.
void spoil_ulpfec(const TempDir& work, uint8_t fec_pt) {
    for (const std::string& path : harness::list_capture_files(work.path(), Kind::video)) {
        std::vector<uint8_t> b = bytes_of(path);
        for (size_t pos = 0; pos + 8 <= b.size();) {
            const size_t len = b[pos] | (b[pos + 1] << 8) | (b[pos + 2] << 16) |
                               (static_cast<size_t>(b[pos + 3]) << 24);
            uint8_t* p = b.data() + pos + 8;
            pos += 8 + len;
            if (pos > b.size() || len < 12) break;
            size_t h = 12 + 4 * size_t{p[0] & 0x0Fu};
            if (p[0] & 0x10) h += 4 + 4 * size_t((p[h + 2] << 8) | p[h + 3]);
            if (len > h + 1 + 10 && (p[h] & 0x80) == 0 && (p[h] & 0x7F) == fec_pt)
                p[h + 1 + 8] ^= 0x40;
        }
        std::string err;
        ASSERT_TRUE(harness::write_file(path, b, &err)) << err;
    }
}

TEST(FecRoundTripChecks, RebuiltPacketsThatFailTheChecksAreDroppedAndCounted) {
    TempDir lossy;
    synth(lossy, {"--red-pt", "118", "--ulpfec-pt", "120", "--drop-per-frame"});
    spoil_ulpfec(lossy, 120);
    Conversion got, without;
    convert(lossy, {"--repair"}, &got);
    convert(lossy, {"--no-fec"}, &without);
    EXPECT_GT(video_total(got.report, "fec_unrecoverable", true), 100u);
    EXPECT_EQ(video_total(got.report, "fec_recovered", true), 0u);
    // Nothing rebuilt reaches the writer: the output of a receiver that ignores FEC.
    ASSERT_EQ(got.run.files.size(), without.run.files.size());
    for (const auto& [key, path] : without.run.files) {
        ASSERT_TRUE(got.run.files.count(key));
        EXPECT_TRUE(bytes_of(path) == bytes_of(got.run.files.at(key))) << path;
    }
}

// ---- Wiring pieces ---------------------------------------------------------------------------

std::vector<uint8_t> rtp(const std::vector<uint8_t>& payload, uint8_t pt = 118) {
    std::vector<uint8_t> p = {0x80, pt, 0, 7, 0, 0, 0, 9, 0, 0, 0, 5};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

TEST(FecFeedWiring, UlpfecBodyInsideRed) {
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        bool ok;
        size_t offset;  // of the body in the packet
        size_t size;
    };
    const Case cases[] = {
        {"primary only", rtp({120, 1, 2, 3}), true, 13, 3},
        // A redundant block of 2 bytes (offset 1, length 2) before the primary.
        {"redundant block first", rtp({0x80 | 120, 0, 4, 2, 120, 9, 9, 1, 2}), true, 19, 2},
        {"redundant block too long", rtp({0x80 | 120, 0, 4, 9, 120, 9, 9}), false, 0, 0},
        {"empty primary", rtp({120}), false, 0, 0},
        {"no payload", rtp({}), false, 0, 0},
        {"not RTP", {0x40, 118, 0, 7, 0, 0, 0, 9, 0, 0, 0, 5, 120, 1}, false, 0, 0},
        {"header cut short", {0x80, 118, 0, 7, 0}, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint8_t* body = nullptr;
        size_t size = 0;
        EXPECT_EQ(ulpfec_body_of(c.packet.data(), c.packet.size(), &body, &size), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(body - c.packet.data(), static_cast<ptrdiff_t>(c.offset));
        EXPECT_EQ(size, c.size);
    }
}

TEST(FecFeedWiring, StoreSizeFollowsTheWindow) {
    const std::pair<uint32_t, uint32_t> cases[] = {{1, 16},  {32, 16},   {33, 16},
                                                   {34, 17}, {512, 256}, {4096, 2048}};
    for (const auto& [window, fec] : cases) EXPECT_EQ(FecFeed::max_fec_for(window), fec) << window;
}

TEST(FecFeedWiring, StoreIsMadeAtTheFirstFecPacketAndBoundToTheStage) {
    ReorderWindow stage(8, nullptr);
    RepairStats stats;
    FecFeed feed(&stage, &stats);
    EXPECT_EQ(feed.recovery(), nullptr);  // a stream without FEC pays nothing
    // Three media packets (the middle one lost), then the ULPFEC packet over them inside RED.
    std::vector<std::vector<uint8_t>> media;
    for (uint8_t seq : {100, 101, 102}) {
        std::vector<uint8_t> p = {0x80, 96, 0, seq, 0, 0, 0, 50, 0, 0, 0, 5, 0x10, seq, 2, 3};
        p.resize(p.size() + seq - 100);  // lengths differ
        media.push_back(p);
    }
    std::vector<FecMedia> m;
    for (const std::vector<uint8_t>& p : media) m.push_back({p.data(), p.size()});
    std::vector<uint8_t> body;
    ASSERT_TRUE(ulpfec_encode(m.data(), m.size(), &body));
    std::vector<uint8_t> red = {120};
    red.insert(red.end(), body.begin(), body.end());
    std::vector<uint8_t> fec = rtp(red);
    fec[3] = 103;
    const streams::FecHook hook = feed.hook();
    hook.keep(hook.context, fec.data(), fec.size(), 5, false);
    ASSERT_NE(feed.recovery(), nullptr);
    EXPECT_EQ(feed.recovery()->fec_held(), 1u);
    // The stage now asks the store for the lost packet when it gives its number up.
    stage.push(media[0].data(), media[0].size());
    stage.push(media[2].data(), media[2].size());
    stage.flush();
    const uint8_t* p = nullptr;
    size_t n = 0;
    std::vector<std::vector<uint8_t>> out;
    while (stage.pop(&p, &n)) out.emplace_back(p, p + n);
    EXPECT_EQ(out, media);
    EXPECT_EQ(stats.fec_recovered, 1u);
}

}  // namespace
