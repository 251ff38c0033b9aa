// The recording clock end to end: captures from the synthesizer whose senders' reports give the
// true capture time of every packet, converted with --webm, --align and --repair; the WebM's
// track times, the report's times and the files' lengths are held against that truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::TempDir;
using nlohmann::json;

// The senders' reports, set aside so the converter does not see them unless a row wants it:
// each maps an RTP time of a stream to its true capture time.
struct Truth {
    struct Report {
        uint32_t uid;
        std::string kind;
        uint64_t ntp;
        uint32_t rtp;
    };
    std::vector<Report> reports;
    double audio_ppm = 0;

    bool load(const std::string& path) {
        FILE* f = fopen(path.c_str(), "r");
        if (f == nullptr) return false;
        char line[256];
        while (fgets(line, sizeof line, f) != nullptr) {
            if (line[0] == '#') continue;
            Report r;
            char kind[8];
            unsigned long long ntp = 0;
            unsigned ssrc = 0;
            long long capture = 0;
            if (sscanf(line, "%u %7s %u %llu %u %lld", &r.uid, kind, &ssrc, &ntp, &r.rtp,
                       &capture) != 6)
                continue;
            r.kind = kind;
            r.ntp = ntp;
            reports.push_back(r);
        }
        fclose(f);
        return !reports.empty();
    }
    // Seconds since 1970 of the instant the stream's clock read `rtp`.
    double at(uint32_t uid, const std::string& kind, uint32_t rtp) const {
        const Report* best = nullptr;
        int64_t best_d = 0;
        for (const Report& r : reports) {
            if (r.uid != uid || r.kind != kind) continue;
            const int64_t d = static_cast<int32_t>(rtp - r.rtp);
            if (best == nullptr || std::llabs(d) < std::llabs(best_d)) {
                best = &r;
                best_d = d;
            }
        }
        if (best == nullptr) return NAN;
        const double rate = kind == "video" ? 90000.0 : 48000.0 * (1 + audio_ppm / 1e6);
        const double ntp = static_cast<double>(best->ntp >> 32) - 2208988800.0 +
                           static_cast<double>(best->ntp & 0xffffffffu) / 4294967296.0;
        return ntp + static_cast<double>(best_d) / rate;
    }
};

struct Converted {
    harness::ProcessResult run;
    json report;
    std::string out;
};

// Packet times of a WebM file in seconds, by track, as ffprobe reads them.
bool webm_times(const std::string& path, std::vector<double>* video, std::vector<double>* audio) {
    const harness::ProcessResult r =
        harness::run_process({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                              "packet=codec_type,pts_time", "-of", "csv=p=0", path});
    if (r.status != 0) return false;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        const double t = std::stod(line.substr(comma + 1));
        (line.compare(0, comma, "video") == 0 ? video : audio)->push_back(t);
    }
    return true;
}

std::string file_with(const std::string& dir, const std::string& suffix, uint32_t uid) {
    for (const std::string& name : harness::list_names(dir))
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            name.find("_" + std::to_string(uid) + ".") != std::string::npos)
            return dir + "/" + name;
    return "";
}

// Synthesizes a capture (always with sender reports, moved aside unless `keep_reports`), converts
// it and reads the report.
void make_and_convert(const TempDir& dir, std::vector<std::string> synth,
                      const std::vector<std::string>& options, bool keep_reports, Truth* truth,
                      Converted* c) {
    const std::string work = dir.subdir("work");
    synth.insert(synth.begin(), {"--out", work, "--quiet", "--sender-reports"});
    const harness::ProcessResult s = harness::run_capture_synth(synth);
    ASSERT_EQ(s.status, 0) << s.err;
    ASSERT_TRUE(truth->load(work + "/sender_reports.txt"));
    if (!keep_reports) {
        ASSERT_EQ(rename((work + "/sender_reports.txt").c_str(), dir.file("reports.txt").c_str()),
                  0);
    }
    c->out = dir.subdir("out");
    std::vector<std::string> argv = {TRANSCODE_BIN, "-p",       work + "/",
                                     "-v",          "-a",       "-o",
                                     c->out,        "--report", c->out + "/report.json"};
    argv.insert(argv.end(), options.begin(), options.end());
    c->run = harness::run_process(argv);
    ASSERT_EQ(c->run.status, 0) << c->run.err;
    std::vector<uint8_t> bytes;
    std::string err;
    ASSERT_TRUE(harness::read_file(c->out + "/report.json", &bytes, &err)) << err;
    c->report = json::parse(bytes.begin(), bytes.end());
}

double truth_of(const Truth& t, const json& user, const char* kind, const char* which) {
    return t.at(user["user_id"].get<uint32_t>(), kind, user[kind][which].get<uint32_t>());
}

// "2022-04-22T03:41:09.009Z" in seconds since 1970.
double report_time(const json& value) {
    const std::string text = value.get<std::string>();
    struct tm tm = {};
    strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    return static_cast<double>(timegm(&tm)) + std::stod(text.substr(19, 4));
}

// ---- placement by each signal ----------------------------------------------------------------

struct PlaceRow {
    const char* name;
    std::vector<std::string> synth;
    bool keep_reports;
    const char* audio_source;
    const char* video_source;
    double tolerance_ms;
};

class ClockPlacement : public ::testing::TestWithParam<PlaceRow> {};

TEST_P(ClockPlacement, WebmTracksAndReportTimesMatchTheSendersClock) {
    const PlaceRow& row = GetParam();
    TempDir dir;
    Truth truth;
    Converted c;
    std::vector<std::string> synth = {"--duration", "8", "--users", "2", "--files", "4"};
    synth.insert(synth.end(), row.synth.begin(), row.synth.end());
    make_and_convert(dir, synth, {"--webm"}, row.keep_reports, &truth, &c);
    if (HasFatalFailure()) return;
    const json& users = c.report["users"];
    ASSERT_EQ(users.size(), 2u);
    for (const json& u : users) {
        EXPECT_EQ(u["audio"]["clock_source"], row.audio_source) << row.name;
        EXPECT_EQ(u["video"]["clock_source"], row.video_source) << row.name;
        std::vector<double> v, a;
        ASSERT_TRUE(webm_times(file_with(c.out, ".webm", u["user_id"]), &v, &a));
        ASSERT_FALSE(v.empty() || a.empty());
        const double want = truth_of(truth, u, "video", "first_rtp_timestamp") -
                            truth_of(truth, u, "audio", "first_rtp_timestamp");
        EXPECT_NEAR((v.front() - a.front()) * 1000, want * 1000, row.tolerance_ms) << row.name;
    }
    // The two users' start times differ as their senders' clocks say.
    const double want = truth_of(truth, users[1], "audio", "first_rtp_timestamp") -
                        truth_of(truth, users[0], "audio", "first_rtp_timestamp");
    const double got =
        report_time(users[1]["audio"]["start_time"]) - report_time(users[0]["audio"]["start_time"]);
    EXPECT_NEAR(got * 1000, want * 1000, std::max(row.tolerance_ms, 2.0)) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClockPlacement,
    ::testing::Values(PlaceRow{"names_ms_camera_late",
                               {"--time-names", "ms", "--lead", "zeros", "--camera-delay", "3"},
                               false,
                               "file_names",
                               "file_names",
                               40},
                      PlaceRow{"names_us_late_joiner",
                               {"--time-names", "us", "--lead", "junk", "--join", "1:2.5"},
                               false,
                               "file_names",
                               "file_names",
                               40},
                      PlaceRow{"leading_field",
                               {"--time-names", "ms", "--lead", "capture", "--camera-delay", "1.2",
                                "--join", "1:2"},
                               false,
                               "leading_field",
                               "file_names",
                               40},
                      PlaceRow{"sender_reports",
                               {"--time-names", "ms", "--lead", "zeros", "--camera-delay", "1.5",
                                "--join", "0:0.7"},
                               true,
                               "rtcp",
                               "rtcp",
                               10},
                      PlaceRow{"names_in_seconds",  // a file's time is known to the second only
                               {"--time-names", "s", "--lead", "zeros", "--camera-delay", "2"},
                               false,
                               "file_names",
                               "file_names",
                               1000}),
    [](const ::testing::TestParamInfo<PlaceRow>& info) { return std::string(info.param.name); });

// ---- signals that are missing or meaningless -------------------------------------------------

struct MissingRow {
    const char* name;
    std::vector<std::string> synth;
};

class ClockMissing : public ::testing::TestWithParam<MissingRow> {};

TEST_P(ClockMissing, TodaysBehaviourAndOneLine) {
    const MissingRow& row = GetParam();
    TempDir dir;
    Truth truth;
    Converted c;
    std::vector<std::string> synth = {"--duration", "3", "--users", "2", "--camera-delay", "1"};
    synth.insert(synth.end(), row.synth.begin(), row.synth.end());
    make_and_convert(dir, synth, {"--webm"}, false, &truth, &c);
    if (HasFatalFailure()) return;
    EXPECT_EQ(c.run.err,
              "transcode: the capture holds no clock (no sender reports, no capture times in the "
              "audio records, no file time values to place the streams by): each stream starts "
              "at 0\n")
        << row.name;
    EXPECT_EQ(c.run.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    EXPECT_TRUE(c.report["recording_start_time"].is_null());
    for (const json& u : c.report["users"]) {
        EXPECT_EQ(u["audio"]["clock_source"], "none");
        EXPECT_TRUE(u["video"]["start_time"].is_null());
        std::vector<double> v, a;
        ASSERT_TRUE(webm_times(file_with(c.out, ".webm", u["user_id"]), &v, &a));
        ASSERT_FALSE(v.empty() || a.empty());
        EXPECT_EQ(v.front(), 0.0) << row.name;  // both tracks from 0, as ever
        EXPECT_EQ(a.front(), 0.0) << row.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClockMissing,
    ::testing::Values(
        MissingRow{"names_without_time", {"--files", "3"}},
        MissingRow{"zeros_single_file", {"--files", "1", "--time-names", "ms", "--lead", "zeros"}},
        MissingRow{"junk_single_file", {"--files", "1", "--time-names", "ms", "--lead", "junk"}},
        MissingRow{"capture_times_without_names", {"--files", "3", "--lead", "capture"}}),
    [](const ::testing::TestParamInfo<MissingRow>& info) { return std::string(info.param.name); });

// ---- drift over two hours ----------------------------------------------------------------------

TEST(ClockRoundTrip, TwoHoursOfAudioDriftStayInSync) {
    TempDir dir;
    Truth truth;
    truth.audio_ppm = 100;
    Converted c;
    // Small frames, cycled from a short clip: two hours in a few seconds.
    make_and_convert(dir, {"--duration",   "7200", "--users",      "1",     "--clip-frames", "20",
                           "--width",      "64",   "--height",     "48",    "--fps",         "10",
                           "--video-kbps", "30",   "--audio-kbps", "12",    "--files",       "72",
                           "--time-names", "ms",   "--lead",       "zeros", "--audio-drift", "100"},
                     {"--webm"}, false, &truth, &c);
    if (HasFatalFailure()) return;
    const json& u = c.report["users"][0];
    EXPECT_NEAR(u["audio"]["drift_ppm"].get<double>(), 100, 5);
    EXPECT_NEAR(u["video"]["drift_ppm"].get<double>(), 0, 5);
    std::vector<double> v, a;
    ASSERT_TRUE(webm_times(file_with(c.out, ".webm", u["user_id"]), &v, &a));
    ASSERT_FALSE(v.empty() || a.empty());
    const double want_end = truth_of(truth, u, "video", "last_rtp_timestamp") -
                            truth_of(truth, u, "audio", "last_rtp_timestamp");
    // At 100 ppm the two clocks part by 720 ms in two hours.
    EXPECT_NEAR(
        (*std::max_element(v.begin(), v.end()) - *std::max_element(a.begin(), a.end())) * 1000,
        want_end * 1000, 40);
}

// ---- a microphone detached for three seconds ---------------------------------------------------

TEST(ClockRoundTrip, StalledMicrophoneGetsTheTimeThatPassed) {
    TempDir dir;
    Truth truth;
    Converted c;
    make_and_convert(dir,
                     {"--duration", "12", "--users", "1", "--files", "3", "--time-names", "ms",
                      "--lead", "capture", "--mic-pause", "4:3"},
                     {"--repair", "--webm"}, false, &truth, &c);
    if (HasFatalFailure()) return;
    const json& u = c.report["users"][0];
    // The sender's reports after the pause carry the real time; the audio lasts the call.
    const double call = truth_of(truth, u, "audio", "last_rtp_timestamp") -
                        truth_of(truth, u, "audio", "first_rtp_timestamp") + 0.02;
    EXPECT_NEAR(u["audio"]["duration_seconds"].get<double>() * 1000, call * 1000, 40);
    EXPECT_NEAR(u["audio"]["repair"]["gap_ms"].get<double>(), 3000, 40);
    std::vector<double> v, a;
    ASSERT_TRUE(webm_times(file_with(c.out, ".webm", u["user_id"]), &v, &a));
    const double want_end = truth_of(truth, u, "video", "last_rtp_timestamp") -
                            truth_of(truth, u, "audio", "last_rtp_timestamp");
    EXPECT_NEAR((v.back() - a.back()) * 1000, want_end * 1000, 40);
}

// ---- --align -----------------------------------------------------------------------------------

TEST(ClockRoundTrip, AlignedFilesStartAtTheRecordingsFirstPacket) {
    TempDir dir;
    Truth truth;
    Converted c;
    make_and_convert(dir,
                     {"--duration", "6", "--users", "2", "--files", "4", "--time-names", "ms",
                      "--lead", "capture", "--camera-delay", "1", "--join", "1:2"},
                     {"--align"}, false, &truth, &c);
    if (HasFatalFailure()) return;
    double first = 1e18;
    for (const json& u : c.report["users"])
        for (const char* kind : {"video", "audio"})
            first = std::min(first, truth_of(truth, u, kind, "first_rtp_timestamp"));
    for (const json& u : c.report["users"]) {
        const uint32_t uid = u["user_id"];
        harness::IvfFile ivf;
        std::string err;
        ASSERT_TRUE(harness::read_ivf(file_with(c.out, ".mkv", uid), &ivf, &err)) << err;
        ASSERT_FALSE(ivf.frames.empty());
        EXPECT_NEAR(static_cast<double>(ivf.frames[0].timestamp) / 90,
                    (truth_of(truth, u, "video", "first_rtp_timestamp") - first) * 1000, 40);
        harness::OggFile ogg;
        ASSERT_TRUE(harness::read_ogg(file_with(c.out, ".ogg", uid), &ogg, &err)) << err;
        // The Ogg file runs from the recording's start to the user's last packet.
        int64_t granule = 0;
        for (const auto& p : ogg.packets) granule = std::max(granule, p.granulepos);
        EXPECT_NEAR(static_cast<double>(granule) / 48,
                    (truth_of(truth, u, "audio", "last_rtp_timestamp") - first + 0.02) * 1000, 40);
        const harness::OpusCheck check = harness::opusfile_decode(file_with(c.out, ".ogg", uid));
        EXPECT_TRUE(check.ok) << check.error;
    }
}

}  // namespace
