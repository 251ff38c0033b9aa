// The recording clock: one table per signal (file time values, sender-report lines, the leading
// field, file boundaries) with its boundaries, and the fits and stalls built on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "file_time.h"
#include "harness.h"
#include "recording_clock.h"
#include "run_stats.h"
#include "sender_reports.h"

namespace {

constexpr int64_t kT0 = 1650598869000000;  // 2022-04-22 03:41:09 UTC, in us

// ---- time values in file names ---------------------------------------------------------------

struct NameRow {
    const char* path;
    bool ok;
    int64_t us;
};

TEST(Timeline, FileNameTimeValues) {
    const NameRow rows[] = {
        {"/w/a_1650598869249.audio", true, 1650598869249000},     // ms
        {"/w/v_1650598869.video", true, 1650598869000000},        // s
        {"/w/a_1650598869249123.audio", true, 1650598869249123},  // us
        {"/w/a_946684800.audio", true, 946684800000000},          // the first second of 2000
        {"/w/a_946684799.audio", false, 0},                       // 1999
        {"/w/a_4102444799.audio", true, 4102444799000000},        // the last second of 2099
        {"/w/a_4102444800.audio", false, 0},                      // 2100
        {"/w/a_946684799999.audio", false, 0},                    // ms of 1999
        {"/w/a_946684800000.audio", true, 946684800000000},       // ms of 2000
        {"/w/a_4102444800000000.audio", false, 0},                // us of 2100
        {"/w/a_99999999999.audio", false, 0},                     // between s and ms
        {"/w/cap_9.audio", false, 0},                             // a file key, no time
        {"/w/a_.audio", false, 0},
        {"/w/a_1650598869249x.audio", false, 0},
        {"/w/a_-1650598869249.audio", false, 0},
        {"/w/a_12345678901234567890.audio", false, 0},           // 20 digits
        {"/w_1650598869249/a.audio", false, 0},                  // '_' only in the directory
        {"/w/x_1_1650598869249.audio", true, 1650598869249000},  // the last '_' counts
        {"a_1650598869249", true, 1650598869249000},             // no extension
    };
    for (const NameRow& row : rows) {
        int64_t us = 0;
        EXPECT_EQ(file_time_us(row.path, &us), row.ok) << row.path;
        if (row.ok) {
            EXPECT_EQ(us, row.us) << row.path;
        }
    }
}

// ---- sender-report lines ---------------------------------------------------------------------

struct LineRow {
    const char* line;
    bool ok;
};

TEST(Timeline, SenderReportLines) {
    const LineRow rows[] = {
        {"7 video 3735928559 15945180386811457536 90000 1650598869500000", true},
        {"4294967295 audio 4294967295 18446744073709551615 4294967295 -1", true},
        {"0 audio 0 0 0 0", true},
        {"4294967296 audio 1 2 3 4", false},  // user id past 32 bits
        {"1 audio 4294967296 2 3 4", false},  // SSRC past 32 bits
        {"1 audio 1 18446744073709551616 3 4", false},
        {"1 audio 1 2 4294967296 4", false},
        {"1 Audio 1 2 3 4", false},
        {"1 data 1 2 3 4", false},
        {"1  audio 1 2 3 4", false},  // two spaces
        {"1\taudio 1 2 3 4", false},
        {"1 audio 1 2 3 4 ", false},  // trailing space
        {"1 audio 1 2 3", false},
        {"1 audio 1 2 3 4 5", false},
        {"1 audio +1 2 3 4", false},
        {"1 audio 1 2 3 --4", false},
        {"1 audio 1 2 3 9223372036854775808", false},
    };
    for (const LineRow& row : rows) {
        SenderReport r;
        EXPECT_EQ(parse_sender_report(row.line, strlen(row.line), &r), row.ok) << row.line;
    }
    SenderReport r;
    const char* line = "7 video 3735928559 15945180386811457536 90000 -5";
    ASSERT_TRUE(parse_sender_report(line, strlen(line), &r));
    EXPECT_EQ(r.uid, 7u);
    EXPECT_TRUE(r.video);
    EXPECT_EQ(r.ssrc, 3735928559u);
    EXPECT_EQ(r.ntp, 15945180386811457536ull);
    EXPECT_EQ(r.rtp, 90000u);
    EXPECT_EQ(r.capture_us, -5);
}

TEST(Timeline, NtpTimes) {
    // RFC 3550: seconds since 1900 in the upper 32 bits, the fraction in the lower 32.
    const uint64_t seconds_1970 = 2208988800ULL;
    int64_t us = 0;
    ASSERT_TRUE(ntp_to_unix_us(((seconds_1970 + 1650598869) << 32) | 0x80000000u, &us));
    EXPECT_EQ(us, 1650598869500000);
    ASSERT_TRUE(ntp_to_unix_us(((seconds_1970 + 946684800) << 32) | 0x00418937u, &us));
    EXPECT_EQ(us, 946684800001000);  // 1 ms
    EXPECT_FALSE(ntp_to_unix_us((seconds_1970 + 946684799) << 32, &us));
    EXPECT_FALSE(ntp_to_unix_us(0, &us));
    EXPECT_FALSE(ntp_to_unix_us((seconds_1970 + 4102444800) << 32, &us));
}

TEST(Timeline, SenderReportFileIsReadBounded) {
    harness::TempDir dir;
    const std::string path = dir.file("sender_reports.txt");
    const std::string long_line(300, '1');
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f,
            "# transcode sender reports 1\n# a comment\n\n1 audio 2 3 4 5\nnot a report\n%s\n"
            "1 video 2 3 4 0\n",
            long_line.c_str());
    fclose(f);
    std::vector<SenderReport> reports;
    char* text = nullptr;
    size_t size = 0;
    FILE* messages = open_memstream(&text, &size);
    EXPECT_TRUE(read_sender_reports(path, &reports, messages));
    fclose(messages);
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_EQ(std::string(text),
              "transcode: " + path + ": 2 lines that are no sender report skipped\n");
    free(text);

    f = fopen(path.c_str(), "w");
    fprintf(f, "# transcode sender reports 2\n1 audio 2 3 4 5\n");
    fclose(f);
    reports.clear();
    messages = open_memstream(&text, &size);
    EXPECT_FALSE(read_sender_reports(path, &reports, messages));
    EXPECT_FALSE(read_sender_reports(dir.file("none.txt"), &reports, messages));
    fclose(messages);
    EXPECT_TRUE(reports.empty());
    EXPECT_NE(std::string(text).find("not a sender-report file"), std::string::npos);
    EXPECT_EQ(std::string(text).find("none.txt"), std::string::npos);  // missing: no word
    free(text);
}

// ---- a synthetic recording fed through the clock -----------------------------------------------

std::vector<uint8_t> rtp(uint32_t ts, uint32_t ssrc) {
    std::vector<uint8_t> p(20, 0);
    p[0] = 0x80;
    p[1] = 96;
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
        p[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
    return p;
}

// One stream's packets: every `step_us` of true time from `start_us` to `end_us`, RTP timestamps
// from `rtp0` on a clock running `ppm` fast, and a pause of the RTP clock (it stands still while
// time goes on) of `stall_us` at `stall_at_us`.
struct Source {
    bool video = false;
    uint32_t uid = 1;
    uint32_t ssrc = 0x1234;
    int64_t start_us = 0;
    int64_t end_us = 0;
    int64_t step_us = 20000;
    uint32_t rtp0 = 1000;
    double ppm = 0;
    int64_t stall_at_us = -1;
    int64_t stall_us = 0;
    // A network freeze: the packets sent during it arrive in a burst at its end, 1 ms apart, and
    // those after them queue behind until it has drained.
    int64_t freeze_at_us = -1;
    int64_t freeze_us = 0;
};

struct Event {
    int64_t t;
    size_t source;
    uint32_t ts;
};

enum class Lead { capture_us, zeros, junk, ms };

struct Recording {
    std::vector<Source> sources;
    int64_t file_us = 10000000;  // a new file of each kind every 10 s of recorder time
    bool timed_names = true;
    Lead lead = Lead::capture_us;
    std::vector<SenderReport> reports;  // given to the clock
};

std::vector<Event> events_of(const Recording& rec, bool video) {
    std::vector<Event> events;
    for (size_t i = 0; i < rec.sources.size(); ++i) {
        const Source& s = rec.sources[i];
        if (s.video != video) continue;
        const double rate = (s.video ? 90000.0 : 48000.0) * (1 + s.ppm / 1e6);
        int64_t previous_arrival = -1;
        for (int64_t t = s.start_us; t < s.end_us; t += s.step_us) {
            int64_t media = t - s.start_us;
            if (s.stall_at_us >= 0 && t >= s.stall_at_us + s.stall_us)
                media -= s.stall_us;
            else if (s.stall_at_us >= 0 && t >= s.stall_at_us)
                continue;  // nothing sent while the track is detached
            const uint32_t ts =
                s.rtp0 + static_cast<uint32_t>(static_cast<double>(media) * rate / 1e6 + 0.5);
            int64_t arrival = t;
            if (s.freeze_at_us >= 0 && t >= s.freeze_at_us) {
                arrival = std::max(t, previous_arrival + 1000);
                if (t < s.freeze_at_us + s.freeze_us)
                    arrival = std::max(arrival, s.freeze_at_us + s.freeze_us);
            }
            previous_arrival = arrival;
            events.push_back({arrival, i, ts});
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.t < b.t; });
    return events;
}

// Runs the recording through the clock as the two passes would, every frame written.
void feed(RecordingClock& clock, const Recording& rec) {
    clock.reset();
    run_stats() = RunStats();
    clock.set_sender_reports(rec.reports);
    uint64_t junk = 0x9e3779b97f4a7c15ULL;
    for (bool video : {true, false}) {
        const std::vector<Event> events = events_of(rec, video);
        int64_t file_start = -1;
        std::vector<std::string> files;
        std::vector<uint32_t> file_of;
        for (const Event& e : events) {
            if (file_start < 0 || e.t - file_start >= rec.file_us) {
                file_start = e.t;
                const std::string name =
                    rec.timed_names ? std::to_string((kT0 + e.t) / 1000) : std::to_string(e.t);
                files.push_back("/w/a_" + name + (video ? ".video" : ".audio"));
            }
            file_of.push_back(static_cast<uint32_t>(files.size() - 1));
        }
        clock.set_files(video, files);
        for (size_t i = 0; i < events.size(); ++i) {
            const Event& e = events[i];
            const Source& s = rec.sources[e.source];
            const std::vector<uint8_t> p = rtp(e.ts, s.ssrc);
            uint8_t lead[8] = {};
            uint64_t value = 0;
            switch (rec.lead) {
                case Lead::capture_us:
                    value = static_cast<uint64_t>(kT0 + e.t);
                    break;
                case Lead::ms:
                    value = static_cast<uint64_t>((kT0 + e.t) / 1000);
                    break;
                case Lead::zeros:
                    value = 0;
                    break;
                case Lead::junk:
                    junk = junk * 6364136223846793005ULL + 1;
                    value = junk;
                    break;
            }
            for (int i = 0; i < 8; ++i) lead[i] = static_cast<uint8_t>(value >> (8 * i));
            (video ? run_stats().video : run_stats().audio)[s.uid];
            clock.record(video, s.uid, p.data(), p.size(), file_of[i], video ? nullptr : lead);
            clock.written(video, s.uid, e.ts);
        }
        clock.pass_end(video);
    }
    clock.settle(false, stderr);
}

// ---- the leading field -------------------------------------------------------------------------

struct LeadRow {
    Lead lead;
    bool timed_names;
    const char* source;
};

TEST(Timeline, LeadingFieldIsAClockOnlyWhenItBehavesLikeOne) {
    const LeadRow rows[] = {
        {Lead::capture_us, true, "leading_field"},
        {Lead::ms, true, "leading_field"},  // ms since 1970 reads as time too
        {Lead::zeros, true, "file_names"},  // no time: the names place the stream
        {Lead::junk, true, "file_names"},
        {Lead::capture_us, false, "none"},  // nothing to check the field against
    };
    for (const LeadRow& row : rows) {
        Recording rec;
        rec.lead = row.lead;
        rec.timed_names = row.timed_names;
        Source a;
        a.start_us = 1300000;
        a.end_us = 35000000;
        rec.sources.push_back(a);
        RecordingClock clock;
        feed(clock, rec);
        const StreamPlace p = clock.place(false, 1);
        EXPECT_STREQ(p.source, row.source) << static_cast<int>(row.lead);
        if (p.placed) {
            EXPECT_NEAR(p.start_us, static_cast<double>(kT0 + a.start_us), 20000);
        }
    }
}

TEST(Timeline, LeadingFieldGoingBackIsNoClockForItsFile) {
    // Two users whose fields disagree by a second: the file's field runs backwards.
    Recording rec;
    Source a, b;
    a.end_us = b.end_us = 8000000;  // one file
    b.uid = 2;
    b.start_us = 5000;
    rec.sources.push_back(a);
    rec.sources.push_back(b);
    RecordingClock clock;
    clock.reset();
    run_stats() = RunStats();
    clock.set_files(false, {"/w/a_" + std::to_string(kT0 / 1000) + ".audio"});
    run_stats().audio[1];
    const std::vector<uint8_t> p = rtp(1000, 1);
    uint8_t lead[8];
    for (int i = 0; i < 8; ++i) lead[i] = static_cast<uint8_t>((kT0 + 1000000) >> (8 * i));
    clock.record(false, 1, p.data(), p.size(), 0, lead);
    for (int i = 0; i < 8; ++i) lead[i] = static_cast<uint8_t>(kT0 >> (8 * i));
    clock.record(false, 1, p.data(), p.size(), 0, lead);
    clock.written(false, 1, 1000);
    clock.pass_end(false);
    clock.settle(false, stderr);
    EXPECT_STREQ(clock.place(false, 1).source, "none");
}

// ---- file boundaries ---------------------------------------------------------------------------

struct BoundaryRow {
    const char* what;
    int64_t start_us;  // of the stream, true time
    int64_t end_us;
    bool placed;
};

TEST(Timeline, FileBoundariesPlaceStreamsThatCrossThem) {
    const BoundaryRow rows[] = {
        {"from the start across two boundaries", 0, 25000000, true},
        {"starting 4 s into a slot", 4000000, 25000000, true},
        {"ending right after a boundary", 4000000, 10100000, true},
        {"ending right before a boundary", 4000000, 9990000, false},
        {"within one file", 1000000, 9000000, false},
    };
    for (const BoundaryRow& row : rows) {
        Recording rec;
        rec.lead = Lead::zeros;
        Source clock_src;  // another user's audio opens every file at its time
        clock_src.uid = 9;
        clock_src.start_us = 0;
        clock_src.end_us = 30000000;
        clock_src.step_us = 1000000000;  // a single packet: it opens the first file only
        Source a;
        a.start_us = row.start_us;
        a.end_us = row.end_us;
        a.step_us = 20000;
        rec.sources.push_back(clock_src);
        rec.sources.push_back(a);
        RecordingClock clock;
        feed(clock, rec);
        const StreamPlace p = clock.place(false, 1);
        EXPECT_EQ(p.placed, row.placed) << row.what;
        if (p.placed) {
            EXPECT_STREQ(p.source, "file_names") << row.what;
            EXPECT_NEAR(p.start_us, static_cast<double>(kT0 + row.start_us), 20000) << row.what;
        }
    }
}

TEST(Timeline, InterleavingPlacesAStreamWithinOneFile) {
    // User 2 talks for 3 s inside one file; user 1 runs across the files and places it.
    Recording rec;
    rec.lead = Lead::zeros;
    Source a, b;
    a.end_us = 25000000;
    b.uid = 2;
    b.ssrc = 0x5678;
    b.start_us = 12345000;
    b.end_us = 15345000;
    rec.sources.push_back(a);
    rec.sources.push_back(b);
    RecordingClock clock;
    feed(clock, rec);
    const StreamPlace p = clock.place(false, 2);
    ASSERT_TRUE(p.placed);
    EXPECT_STREQ(p.source, "file_names");
    EXPECT_NEAR(p.start_us, static_cast<double>(kT0 + b.start_us), 25000);
    EXPECT_NEAR(p.end_us, static_cast<double>(kT0 + b.end_us - b.step_us), 25000);
}

TEST(Timeline, CameraStartingLateIsPlacedAgainstTheMicrophone) {
    Recording rec;
    rec.lead = Lead::zeros;
    Source a, v;
    a.end_us = 40000000;
    v.video = true;
    v.start_us = 4090000;
    v.end_us = 40000000;
    v.step_us = 33333;
    v.rtp0 = 77;
    rec.sources.push_back(a);
    rec.sources.push_back(v);
    RecordingClock clock;
    feed(clock, rec);
    const StreamPlace pa = clock.place(false, 1);
    const StreamPlace pv = clock.place(true, 1);
    ASSERT_TRUE(pa.placed && pv.placed);
    EXPECT_NEAR(pv.start_us - pa.start_us, 4090000, 40000);
    EXPECT_EQ(run_stats().video[1].clock.start_us - run_stats().audio[1].clock.start_us,
              static_cast<int64_t>(std::llround(pv.start_us)) -
                  static_cast<int64_t>(std::llround(pa.start_us)));
    EXPECT_TRUE(run_stats().recording_placed);
    EXPECT_EQ(run_stats().recording_start_us, run_stats().audio[1].clock.start_us);
}

TEST(Timeline, NoClockSaysSoOnce) {
    Recording rec;
    rec.timed_names = false;
    rec.lead = Lead::zeros;
    Source a, v;
    a.end_us = 25000000;
    v.video = true;
    v.end_us = 25000000;
    v.step_us = 33333;
    rec.sources.push_back(a);
    rec.sources.push_back(v);
    RecordingClock clock;
    feed(clock, rec);
    char* text = nullptr;
    size_t size = 0;
    FILE* messages = open_memstream(&text, &size);
    clock.settle(true, messages);
    fclose(messages);
    const std::string said(text);
    free(text);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
    EXPECT_NE(said.find("each stream starts at 0"), std::string::npos);
    EXPECT_FALSE(run_stats().recording_placed);
    EXPECT_STREQ(run_stats().audio[1].clock.source, "none");
}

// ---- drift -------------------------------------------------------------------------------------

struct DriftRow {
    Lead lead;
    double ppm;
    double tolerance_ppm;
};

TEST(Timeline, DriftIsFittedOverTheWholeRecording) {
    const DriftRow rows[] = {
        {Lead::capture_us, 100, 1},
        {Lead::capture_us, -150, 1},
        {Lead::zeros, 100, 10},  // file boundaries only: one anchor every 10 s
        {Lead::zeros, 0, 10},
    };
    for (const DriftRow& row : rows) {
        Recording rec;
        rec.lead = row.lead;
        Source a;
        a.end_us = 1200000000;  // 20 minutes
        a.step_us = 60000;
        a.ppm = row.ppm;
        rec.sources.push_back(a);
        RecordingClock clock;
        feed(clock, rec);
        const StreamPlace p = clock.place(false, 1);
        ASSERT_TRUE(p.placed);
        EXPECT_NEAR(p.drift_ppm, row.ppm, row.tolerance_ppm) << row.ppm;
        EXPECT_NEAR(p.end_us, static_cast<double>(kT0 + a.end_us - a.step_us), 20000);
    }
}

// ---- stalls ------------------------------------------------------------------------------------

struct StallRow {
    int64_t stall_us;
    int64_t freeze_us;
    bool stall;
};

TEST(Timeline, StallsOfTheRtpClockAreFoundByTheLeadingField) {
    const StallRow rows[] = {
        {3000000, 0, true},
        {StreamTrack::kStallUs + 40000, 0, true},  // just past what jitter explains
        {StreamTrack::kStallUs - 40000, 0, false},
        {0, 1000000, false},  // the network held packets back for a second: no stall
        {0, 3000000, false},
    };
    for (const StallRow& row : rows) {
        Recording rec;
        Source a;
        a.end_us = 30000000;
        if (row.stall_us > 0) {
            a.stall_at_us = 12000000;
            a.stall_us = row.stall_us;
        }
        a.freeze_at_us = row.freeze_us > 0 ? 12000000 : -1;
        a.freeze_us = row.freeze_us;
        rec.sources.push_back(a);
        RecordingClock clock;
        feed(clock, rec);
        const StreamPlace p = clock.place(false, 1);
        ASSERT_TRUE(p.placed);
        // The end lies where it is in time, the pause counted and the freeze not.
        if (row.stall || row.freeze_us > 0) {
            EXPECT_NEAR(p.end_us, static_cast<double>(kT0 + a.end_us - a.step_us), 20000);
        }
        // The writer is told once, within the confirmation's time after the pause.
        int64_t told = 0;
        int times = 0;
        for (const Event& e : events_of(rec, false)) {
            const int64_t ticks = clock.stall_before(1, e.ts);
            if (ticks == 0) continue;
            ++times;
            told += ticks;
            EXPECT_LE(e.t, 12000000 + row.stall_us + StreamTrack::kConfirmUs + 20000);
        }
        if (row.stall) {
            EXPECT_EQ(times, 1);
            EXPECT_NEAR(told, row.stall_us * 48 / 1000, 48);
        } else {
            EXPECT_EQ(times, 0);
        }
    }
}

// ---- sender reports ----------------------------------------------------------------------------

SenderReport report(uint32_t uid, bool video, uint32_t ssrc, int64_t unix_us, uint32_t ts,
                    int64_t capture_us) {
    SenderReport r;
    r.uid = uid;
    r.video = video;
    r.ssrc = ssrc;
    const uint64_t seconds = static_cast<uint64_t>(unix_us / 1000000) + 2208988800ULL;
    const uint64_t fraction = (static_cast<uint64_t>(unix_us % 1000000) << 32) / 1000000;
    r.ntp = (seconds << 32) | fraction;
    r.rtp = ts;
    r.capture_us = capture_us;
    return r;
}

TEST(Timeline, SenderReportsWinOverEverythingElse) {
    Recording rec;
    Source a, v;
    a.end_us = 30000000;
    v.video = true;
    v.ssrc = 0x4321;
    v.start_us = 91000;
    v.end_us = 30000000;
    v.step_us = 33333;
    v.rtp0 = 500;
    rec.sources.push_back(a);
    rec.sources.push_back(v);
    // The sender's NTP clock is 2 s behind the recorder's; reports arrive 3 ms after they leave.
    const int64_t sender = kT0 - 2000000;
    for (int64_t t = 1000000; t < 30000000; t += 1000000) {
        rec.reports.push_back(report(1, false, a.ssrc, sender + t,
                                     a.rtp0 + static_cast<uint32_t>(t * 48 / 1000),
                                     kT0 + t + 3000));
        rec.reports.push_back(report(1, true, v.ssrc, sender + t,
                                     v.rtp0 + static_cast<uint32_t>((t - v.start_us) * 9 / 100),
                                     kT0 + t + 3000));
    }
    RecordingClock clock;
    feed(clock, rec);
    const StreamPlace pa = clock.place(false, 1);
    const StreamPlace pv = clock.place(true, 1);
    ASSERT_STREQ(pa.source, "rtcp");
    ASSERT_STREQ(pv.source, "rtcp");
    EXPECT_NEAR(pv.start_us - pa.start_us, 91000, 1000);
    EXPECT_NEAR(pa.start_us, static_cast<double>(kT0 + 3000), 1000);
    EXPECT_STREQ(run_stats().video[1].clock.source, "rtcp");
}

}  // namespace
