// FEC recovery end to end: captures whose video carries ULPFEC inside RED or FlexFEC, with losses,
// converted with --repair against the same capture with nothing lost and against --no-fec; then the
// small wiring pieces (the ULPFEC body inside RED, the feed's lazy store, its size, the SDP's
// extension map reaching the store the pass makes).
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

// ---- Chromium's density: groups spanning frames, losses given up a window later -----------------

// An ideal receiver, written from RFC 5109 (ULPFEC level 0 inside an RFC 2198 RED block) and the
// FlexFEC -03 draft, not from the converter: per user, the FEC packets that arrived are read for
// the numbers their masks name, and every group with exactly one media packet missing gives it
// back, over and over until nothing changes. Numbers before the first media packet that arrived or
// after the last are not counted: no receiver can tell they were sent.
struct Ideal {
    uint64_t rebuilt = 0;
    uint64_t media = 0;  // media packets that arrived
    uint64_t fec = 0;    // FEC packets that arrived
};

std::map<uint32_t, Ideal> oracle_rebuilds(const TempDir& work, uint8_t red_pt, uint8_t ulpfec_pt,
                                          uint8_t flexfec_pt) {
    harness::CaptureStream s;
    std::string err;
    EXPECT_TRUE(harness::read_capture_dir(work.path(), Kind::video, &s, &err)) << err;
    struct User {
        std::map<int64_t, bool> present;  // media numbers, unwrapped
        std::vector<std::vector<int64_t>> groups;
        int64_t last = -1;
    };
    std::map<uint32_t, User> users;
    const auto unwrap = [](User& u, uint16_t seq) {
        if (u.last < 0) return u.last = (int64_t{1} << 20) + seq;
        const int64_t e = u.last + static_cast<int16_t>(static_cast<uint16_t>(seq - u.last));
        u.last = std::max(u.last, e);
        return e;
    };
    for (const harness::CaptureRecord& r : s.records) {
        const std::vector<uint8_t>& p = r.packet;
        if (p.size() < 12) continue;
        size_t h = 12 + 4 * size_t{p[0] & 0x0Fu};
        if ((p[0] & 0x10) && p.size() >= h + 4) h += 4 + 4 * size_t((p[h + 2] << 8) | p[h + 3]);
        const size_t pad = (p[0] & 0x20) ? p.back() : 0;
        if (p.size() < h + pad) continue;
        const uint8_t* b = p.data() + h;
        const size_t n = p.size() - h - pad;
        const uint8_t pt = p[1] & 0x7F;
        User& u = users[r.uid];
        const uint16_t seq = static_cast<uint16_t>((p[2] << 8) | p[3]);
        std::vector<int64_t> group;
        if (pt == flexfec_pt && n >= 20) {
            // 8: SSRC count, 12: the SSRC, 16: SN base, 18: k + 15 bits [, k + 31 [, k + 63]].
            const uint16_t base = static_cast<uint16_t>((b[16] << 8) | b[17]);
            const int bits = (b[18] & 0x80) ? 15 : (n >= 24 && (b[20] & 0x80)) ? 46 : 109;
            // The k bits stand at mask bits 0, 16 and 48: skip them by position.
            for (int i = 0, bit = 0; bit < bits; ++i) {
                if (i == 0 || i == 16 || i == 48) continue;
                if (b[18 + i / 8] & (0x80 >> (i % 8))) group.push_back(base + bit);
                ++bit;
            }
        } else if (pt == red_pt && n >= 1 && (b[0] & 0x7F) == ulpfec_pt) {
            const uint8_t* f = b + 1;  // one RED block: its 1-byte header, then the FEC
            const uint16_t base = static_cast<uint16_t>((f[2] << 8) | f[3]);
            const int bits = (f[0] & 0x40) ? 48 : 16;  // L: the long mask
            for (int i = 0; i < bits; ++i)
                if (f[12 + i / 8] & (0x80 >> (i % 8))) group.push_back(base + i);
            unwrap(u, seq);  // the FEC packet takes a media number, but is no media
        } else {
            u.present[unwrap(u, seq)] = true;
            continue;
        }
        // Group numbers are 16-bit: unwrapped next to the highest number seen.
        for (int64_t& g : group) {
            const int64_t ref = u.last < 0 ? (int64_t{1} << 20) : u.last;
            g = ref + static_cast<int16_t>(static_cast<uint16_t>(g - ref));
        }
        u.groups.push_back(group);
    }
    std::map<uint32_t, Ideal> rebuilt;
    for (auto& [uid, u] : users) {
        if (u.present.empty()) continue;
        rebuilt[uid].media = u.present.size();
        rebuilt[uid].fec = u.groups.size();
        const int64_t first = u.present.begin()->first, last = u.present.rbegin()->first;
        uint64_t count = 0;
        for (bool changed = true; changed;) {
            changed = false;
            for (const std::vector<int64_t>& g : u.groups) {
                int64_t missing = -1;
                int n = 0;
                for (int64_t m : g)
                    if (!u.present.count(m)) missing = m, ++n;
                if (n != 1 || missing < first || missing > last) continue;
                u.present[missing] = true;
                ++count;
                changed = true;
            }
        }
        rebuilt[uid].rebuilt = count;
    }
    return rebuilt;
}

// At Chromium's density (0.65 FEC packets per media packet, groups over three frames), a loss is
// given up a window of 512 packets after it, while about 330 more FEC packets arrive: the store
// still has the one that rebuilds it.
TEST_P(FecRoundTrip, DenseFecRebuildsWhatAnIdealReceiverRebuilds) {
    TempDir lossy;
    std::vector<std::string> args = GetParam().wrap;
    args.insert(args.end(), {"--fec-rate", "0.65", "--duration", "20", "--keyframe-interval", "300",
                             "--drop", "0.03", "--impair", "video"});
    synth(lossy, args);
    Conversion got;
    convert(lossy, {"--repair"}, &got);
    EXPECT_EQ(got.run.err, "");
    const std::map<uint32_t, Ideal> want = oracle_rebuilds(lossy, 118, 120, 115);
    ASSERT_EQ(want.size(), 2u);
    for (const json& u : got.report["users"]) {
        const uint32_t uid = u["user_id"].get<uint32_t>();
        ASSERT_TRUE(want.count(uid));
        const json& r = u["video"]["repair"];
        const Ideal& ideal = want.at(uid);
        EXPECT_GE(ideal.fec * 10, ideal.media * 6) << "at least 0.6 FEC packets per media packet";
        EXPECT_GT(ideal.rebuilt, 10u);
        EXPECT_EQ(r["fec_recovered"].get<uint64_t>(), ideal.rebuilt) << uid;
        EXPECT_EQ(r["fec_unrecoverable"].get<uint64_t>(), 0u);
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

// ---- A lost FEC packet is no lost frame ---------------------------------------------------------

// Removes every other ULPFEC packet (RED block type `fec_pt`) from the video capture files: the
// gaps they leave in the media sequence fall between whole frames.
void lose_ulpfec(const TempDir& work, uint8_t fec_pt) {
    bool lose = true;
    for (const std::string& path : harness::list_capture_files(work.path(), Kind::video)) {
        const std::vector<uint8_t> b = bytes_of(path);
        std::vector<uint8_t> kept;
        for (size_t pos = 0; pos + 8 <= b.size();) {
            const size_t len = b[pos] | (b[pos + 1] << 8) | (b[pos + 2] << 16) |
                               (static_cast<size_t>(b[pos + 3]) << 24);
            const uint8_t* p = b.data() + pos + 8;
            const size_t end = pos + 8 + len;
            ASSERT_LE(end, b.size());
            size_t h = 12 + 4 * size_t{p[0] & 0x0Fu};
            if (p[0] & 0x10) h += 4 + 4 * size_t((p[h + 2] << 8) | p[h + 3]);
            const bool fec = len > h + 1 && (p[h] & 0x7F) == fec_pt;
            if (!fec || !(lose = !lose)) kept.insert(kept.end(), b.begin() + pos, b.begin() + end);
            pos = end;
        }
        std::string err;
        ASSERT_TRUE(harness::write_file(path, kept, &err)) << err;
    }
}

TEST(FecLostPacket, IsNoLostFrameAndTheGateDoesNotWait) {
    TempDir clean, lossy;
    synth(clean, {"--red-pt", "118", "--ulpfec-pt", "120"});
    synth(lossy, {"--red-pt", "118", "--ulpfec-pt", "120"});
    lose_ulpfec(lossy, 120);
    ASSERT_LT(records(lossy) + 50, records(clean));
    Conversion want, got;
    convert(clean, {"--repair"}, &want);
    convert(lossy, {"--repair", "--wait-keyframe"}, &got);
    EXPECT_EQ(video_total(got.report, "frames_lost", true), 0u);
    EXPECT_EQ(video_total(got.report, "frames_skipped_keyframe", true), 0u);
    ASSERT_EQ(got.run.files.size(), want.run.files.size());
    for (const auto& [key, path] : want.run.files) {
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
    // Twice the window and the widest group: what a dense sender has in flight while the stage
    // waits to give a number up.
    const std::pair<uint32_t, uint32_t> cases[] = {{1, 130}, {512, 1152}, {4096, 8320}};
    for (const auto& [window, fec] : cases) EXPECT_EQ(FecFeed::max_fec_for(window), fec) << window;
}

// Three media packets (the middle one lost), then the ULPFEC packet over them inside RED. With
// `extensions` the packets carry header extensions of different lengths whose abs-send-time and
// video-timing bytes the sender rewrote after its FEC, and the lost one has the shortest header:
// only the call's extension map (`sdp`) lets it be rebuilt, as there is no group to learn from.
struct WiringCase {
    const char* name;
    bool extensions;
    bool sdp;
    uint64_t recovered, unrecoverable;
};

void PrintTo(const WiringCase& c, std::ostream* os) {
    *os << c.name;
}

class FecFeedStore : public ::testing::TestWithParam<WiringCase> {};

// One media packet 100 + `i`, as sent or as its FEC saw it (rewritten extension bytes zero).
std::vector<uint8_t> wired_media(uint8_t i, bool extensions, bool at_fec) {
    const uint8_t seq = static_cast<uint8_t>(100 + i);
    std::vector<uint8_t> p = {0x80, 96, 0, seq, 0, 0, 0, 50, 0, 0, 0, 5};
    if (extensions) {
        const uint8_t r = at_fec ? 0 : 0x5A;
        // abs-send-time (id 2) in every packet; mid (id 4) and video-timing (id 7, rewritten from
        // its 7th byte on) in the first; mid alone in the third.
        std::vector<uint8_t> block = {0x22, r, r, r};
        if (i == 0)
            block.insert(block.end(),
                         {0x42, 'a', 'b', 'c', 0x7C, 1, 2, 3, 4, 5, 6, 7, r, r, r, r, r, r});
        if (i == 2) block.insert(block.end(), {0x42, 'a', 'b', 'c'});
        while (block.size() % 4) block.push_back(0);
        p[0] |= 0x10;
        p.insert(p.end(), {0xBE, 0xDE, 0, static_cast<uint8_t>(block.size() / 4)});
        p.insert(p.end(), block.begin(), block.end());
    }
    p.insert(p.end(), {0x10, seq, 2, 3});
    p.resize(p.size() + i + 20, static_cast<uint8_t>(seq * 3));  // lengths differ
    return p;
}

// The ULPFEC packet, inside RED and numbered 103, over `at_fec` as the FEC saw them.
std::vector<uint8_t> wired_fec(const std::vector<std::vector<uint8_t>>& at_fec) {
    std::vector<FecMedia> m;
    for (const std::vector<uint8_t>& p : at_fec) m.push_back({p.data(), p.size()});
    std::vector<uint8_t> body;
    EXPECT_TRUE(ulpfec_encode(m.data(), m.size(), &body));
    std::vector<uint8_t> red = {120};
    red.insert(red.end(), body.begin(), body.end());
    std::vector<uint8_t> fec = rtp(red);
    fec[3] = 103;
    return fec;
}

TEST_P(FecFeedStore, IsMadeAtTheFirstFecPacketAndBoundToTheStage) {
    const WiringCase& c = GetParam();
    ReorderWindow stage(8, nullptr);
    RepairStats stats;
    FecFeed feed(&stage, &stats);
    streams::SdpMap sdp;
    sdp.video.ext[2] = streams::SdpExt::rewritten;
    sdp.video.ext[7] = streams::SdpExt::rewritten_from_7;
    if (c.sdp) feed.set_extensions(sdp.video.ext);
    EXPECT_EQ(feed.recovery(), nullptr);  // a stream without FEC pays nothing
    std::vector<std::vector<uint8_t>> sent, at_fec;
    for (uint8_t i = 0; i < 3; ++i) {
        sent.push_back(wired_media(i, c.extensions, false));
        at_fec.push_back(wired_media(i, c.extensions, true));
    }
    const std::vector<uint8_t> fec = wired_fec(at_fec);
    const streams::FecHook hook = feed.hook();
    hook.keep(hook.context, fec.data(), fec.size(), 5, false);
    ASSERT_NE(feed.recovery(), nullptr);
    EXPECT_EQ(feed.recovery()->fec_held(), 1u);
    // The stage now asks the store for the lost packet when it gives its number up.
    stage.push(sent[0].data(), sent[0].size());
    stage.push(sent[2].data(), sent[2].size());
    stage.flush();
    const uint8_t* p = nullptr;
    size_t n = 0;
    std::vector<std::vector<uint8_t>> out;
    while (stage.pop(&p, &n)) out.emplace_back(p, p + n);
    std::vector<std::vector<uint8_t>> want = {sent[0], sent[2]};
    if (c.recovered) want.insert(want.begin() + 1, at_fec[1]);  // rebuilt as the FEC saw it
    EXPECT_EQ(out, want);
    EXPECT_EQ(stats.fec_recovered, c.recovered);
    EXPECT_EQ(stats.fec_unrecoverable, c.unrecoverable);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FecFeedStore,
    ::testing::Values(WiringCase{"no_extensions", false, false, 1, 0},
                      WiringCase{"rewritten_extensions_map_reaches_the_store", true, true, 1, 0},
                      WiringCase{"rewritten_extensions_no_map", true, false, 0, 1}),
    [](const ::testing::TestParamInfo<WiringCase>& info) { return std::string(info.param.name); });

// wired_media's packets as one VP8 key frame (packet 0 starts it, packet 2 ends it) of one user's
// capture, written to `dir`: all three, or the first and last with the ULPFEC packet over them.
void wired_capture(const TempDir& dir, bool lossy) {
    std::vector<std::vector<uint8_t>> sent, at_fec;
    for (uint8_t i = 0; i < 3; ++i) {
        for (const bool fec_view : {false, true}) {
            std::vector<uint8_t> p = wired_media(i, true, fec_view);
            const size_t payload = p.size() - 4 - (i + 20u);
            p[payload] = i == 0 ? 0x10 : 0x00;  // S: the frame starts in packet 0
            if (i == 0) {
                const uint8_t key[] = {0x10, 0x02, 0x00, 0x9d, 0x01, 0x2a, 0x40, 0x01, 0xf0, 0x00};
                std::copy(std::begin(key), std::end(key), p.begin() + payload + 1);
            }
            if (i == 2) p[1] |= 0x80;  // marker
            (fec_view ? at_fec : sent).push_back(p);
        }
    }
    std::vector<std::vector<uint8_t>> records = sent;
    if (lossy) records = {sent[0], sent[2], wired_fec(at_fec)};
    std::vector<uint8_t> capture;
    for (const std::vector<uint8_t>& p : records) {
        const uint32_t head[2] = {static_cast<uint32_t>(p.size()), 42};  // Length, User id
        capture.insert(capture.end(), reinterpret_cast<const uint8_t*>(head),
                       reinterpret_cast<const uint8_t*>(head) + sizeof(head));
        capture.insert(capture.end(), p.begin(), p.end());
    }
    ASSERT_TRUE(harness::write_file(dir.file("cap_1.video"), capture, nullptr));
}

// The pass hands the --sdp file's extension map to the store it makes for a user: the lost packet
// comes back as sent only when the SDP names the extensions the sender rewrote.
TEST(FecFeedWiring, TheSdpsExtensionMapReachesThePassStore) {
    TempDir clean, lossy, sdp_dir;
    wired_capture(clean, false);
    wired_capture(lossy, true);
    const std::string media =
        "m=video 9 RTP/AVPF 96 118 120\na=rtpmap:96 VP8/90000\na=rtpmap:118 red/90000\n"
        "a=rtpmap:120 ulpfec/90000\n";
    const std::string extmap =
        "a=extmap:2 http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time\n"
        "a=extmap:7 http://www.webrtc.org/experiments/rtp-hdrext/video-timing\n";
    auto sdp_file = [&](const char* name, const std::string& text) {
        const std::string path = sdp_dir.file(name);
        EXPECT_TRUE(
            harness::write_file(path, std::vector<uint8_t>(text.begin(), text.end()), nullptr));
        return path;
    };
    const std::string named = sdp_file("named.sdp", media + extmap);
    const std::string unnamed = sdp_file("unnamed.sdp", media);
    Conversion want, got, blind;
    convert(clean, {"--repair", "--sdp", named}, &want);
    convert(lossy, {"--repair", "--sdp", named}, &got);
    convert(lossy, {"--repair", "--sdp", unnamed}, &blind);
    ASSERT_EQ(want.run.files.size(), 1u);
    const std::vector<uint8_t> frame = bytes_of(want.run.files.begin()->second);
    ASSERT_GT(frame.size(), 32u + 12u);  // the IVF header and one frame
    EXPECT_EQ(video_total(got.report, "fec_recovered", true), 1u);
    EXPECT_TRUE(bytes_of(got.run.files.begin()->second) == frame);
    // Taken for unchanged, the rewritten bytes of the other packets land in the rebuilt one.
    EXPECT_FALSE(bytes_of(blind.run.files.begin()->second) == frame);
}

}  // namespace
