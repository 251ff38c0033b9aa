// The output directory, the per-user counters and the JSON run report: the report of a run over
// impaired captures agrees with the files written and with the synthesizer's manifest.
#include "run_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <numeric>
#include <string>
#include <vector>

#include "harness.h"
#include "output_dir.h"
#include "stream_count.h"

namespace {

using harness::Kind;
using harness::StreamKey;
using harness::TempDir;
using nlohmann::json;

// Output files in `dir` by user and kind, named "<date>_<time>_<uid>.mkv|ogg".
std::map<StreamKey, std::string> outputs_in(const std::string& dir) {
    std::map<StreamKey, std::string> files;
    for (const std::string& name : harness::list_names(dir)) {
        const size_t us = name.rfind('_');
        const size_t dot = name.rfind('.');
        if (us == std::string::npos || dot == std::string::npos || dot < us) continue;
        const Kind kind = name.substr(dot) == ".mkv" ? Kind::video : Kind::audio;
        files[{static_cast<uint32_t>(std::stoul(name.substr(us + 1, dot - us - 1))), kind}] =
            dir + "/" + name;
    }
    return files;
}

json read_json(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string err;
    EXPECT_TRUE(harness::read_file(path, &bytes, &err)) << err;
    return json::parse(bytes.begin(), bytes.end(), nullptr, false);
}

uint64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

TEST(RunReport, AgreesWithFilesAndManifestOfImpairedCapture) {
    TempDir work;
    TempDir cwd;
    const harness::ProcessResult synth = harness::run_capture_synth(
        {"--out",   work.path(),   "--quiet", "--users", "3",    "--files",
         "3",       "--duration",  "2",       "--drop",  "0.04", "--dup",
         "0.03",    "--reorder",   "0.03",    "--pt121", "2",    "--cut-short",
         "video:1", "--cut-short", "audio",   "--seed",  "21"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    harness::Manifest manifest;
    std::string err;
    ASSERT_TRUE(harness::read_manifest(work.file("manifest.txt"), &manifest, &err)) << err;

    const std::string out_dir = cwd.file("new/nested");
    const harness::ConverterRun run = harness::run_converter(
        work.slash(), {"-v", "-a", "-o", out_dir, "--report", "run.json"}, cwd.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    EXPECT_EQ(run.err, "");
    const std::map<StreamKey, std::string> files = outputs_in(out_dir);
    ASSERT_EQ(files.size(), manifest.streams.size());
    const json report = read_json(cwd.file("run.json"));
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["version"], 1);
    EXPECT_EQ(report["exit_status"], 0);
    EXPECT_EQ(report["kinds"], json({"video", "audio"}));
    EXPECT_EQ(report["work_directory"], work.slash());

    // Run totals against an independent reading of the capture files.
    uint64_t files_total = 0, bytes_total = 0, records_total = 0, cut_total = 0;
    std::map<StreamKey, std::pair<uint64_t, uint64_t>> per_user;  // packets, bytes
    for (Kind kind : {Kind::video, Kind::audio}) {
        harness::CaptureStream stream;
        ASSERT_TRUE(harness::read_capture_dir(work.path(), kind, &stream, &err)) << err;
        files_total += stream.files.size();
        for (const std::string& f : stream.files) bytes_total += file_size(f);
        records_total += stream.records.size();
        cut_total += static_cast<uint64_t>(stream.cut_files);
        for (const harness::CaptureRecord& r : stream.records) {
            ++per_user[{r.uid, kind}].first;
            per_user[{r.uid, kind}].second += r.packet.size();
        }
    }
    EXPECT_EQ(report["files_read"], files_total);
    EXPECT_EQ(report["bytes_read"], bytes_total);
    EXPECT_EQ(report["records_read"], records_total);
    EXPECT_EQ(report["records_dropped"]["cut_short"], 2u);
    EXPECT_EQ(cut_total, 2u);

    // Per user: ascending ids, each stream against its file and its manifest entry.
    ASSERT_TRUE(report["users"].is_array());
    uint32_t last_uid = 0;
    size_t streams_seen = 0;
    uint64_t dropped_total = 0, gaps_total = 0, repeats_total = 0;
    for (const json& user : report["users"]) {
        const uint32_t uid = user["user_id"];
        EXPECT_TRUE(streams_seen == 0 || uid > last_uid) << "users out of order at " << uid;
        last_uid = uid;
        for (Kind kind : {Kind::video, Kind::audio}) {
            const json& s = user[harness::kind_name(kind)];
            const StreamKey key{uid, kind};
            SCOPED_TRACE(std::to_string(uid) + " " + harness::kind_name(kind));
            ASSERT_TRUE(manifest.streams.count(key));
            ASSERT_TRUE(files.count(key));
            ++streams_seen;
            EXPECT_EQ(s["output_file"], files.at(key));
            EXPECT_EQ(s["output_ok"], true);
            EXPECT_EQ(s["packets"], per_user[key].first);
            EXPECT_EQ(s["bytes"], per_user[key].second);
            gaps_total += s["seq_gaps"].get<uint64_t>();
            repeats_total += s["seq_repeats"].get<uint64_t>();
            EXPECT_FALSE(s.contains("repair"));
            const harness::ManifestStream& want = manifest.streams.at(key);
            if (kind == Kind::video) {
                harness::IvfFile ivf;
                ASSERT_TRUE(harness::read_ivf(files.at(key), &ivf, &err)) << err;
                EXPECT_EQ(s["frames_written"], ivf.frames.size());
                EXPECT_EQ(s["frames_written"], want.frames.size());
                dropped_total += s["frames_dropped"].get<uint64_t>();
                const uint32_t span = s["last_rtp_timestamp"].get<uint32_t>() -
                                      s["first_rtp_timestamp"].get<uint32_t>();
                EXPECT_DOUBLE_EQ(s["duration_seconds"].get<double>(), span / 90000.0);
            } else {
                harness::OggFile ogg;
                ASSERT_TRUE(harness::read_ogg(files.at(key), &ogg, &err)) << err;
                const int64_t samples = std::accumulate(
                    want.packets.begin(), want.packets.end(), int64_t{0},
                    [](int64_t sum, const harness::ManifestPacket& p) { return sum + p.samples; });
                EXPECT_EQ(s["packets_written"], ogg.packets.size() - 2);
                EXPECT_EQ(s["packets_written"], want.packets.size());
                EXPECT_EQ(
                    s["packets_written"].get<uint64_t>() + s["packets_refused"].get<uint64_t>(),
                    per_user[key].first);
                EXPECT_EQ(s["last_granule"], ogg.pages.back().granulepos);
                EXPECT_EQ(s["last_granule"], samples);
                EXPECT_DOUBLE_EQ(s["duration_seconds"].get<double>(), samples / 48000.0);
            }
        }
    }
    EXPECT_EQ(streams_seen, manifest.streams.size());
    // The impairments show: losses drop frames and leave gaps, duplicates repeat numbers.
    EXPECT_GT(dropped_total, 0u);
    EXPECT_GT(gaps_total, 0u);
    EXPECT_GT(repeats_total, 0u);
}

// With --repair the writers also write filler packets and hold frames back; the report still
// counts what the files hold, and carries the stage's counters.
TEST(RunReport, RepairRunAgreesWithItsFiles) {
    TempDir work;
    TempDir cwd;
    const harness::ProcessResult synth =
        harness::run_capture_synth({"--out", work.path(), "--quiet", "--users", "2", "--files", "2",
                                    "--duration", "4", "--drop", "0.03", "--dup", "0.03",
                                    "--reorder", "0.03", "--silence", "1:1", "--seed", "5"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    const harness::ConverterRun run = harness::run_converter(
        work.slash(), {"-v", "-a", "--repair", "-o", "out", "--report", "run.json"}, cwd.path());
    ASSERT_EQ(run.status, 0) << run.err;
    const std::map<StreamKey, std::string> files = outputs_in(cwd.file("out"));
    const json report = read_json(cwd.file("run.json"));
    ASSERT_TRUE(report.is_object());
    uint64_t filled = 0, duplicates = 0;
    std::string err;
    for (const json& user : report["users"]) {
        const uint32_t uid = user["user_id"];
        for (Kind kind : {Kind::video, Kind::audio}) {
            const json& s = user[harness::kind_name(kind)];
            SCOPED_TRACE(std::to_string(uid) + " " + harness::kind_name(kind));
            ASSERT_TRUE(files.count({uid, kind}));
            ASSERT_TRUE(s["repair"].is_object());
            filled += s["repair"]["gaps_filled"].get<uint64_t>();
            duplicates += s["repair"]["duplicates"].get<uint64_t>();
            if (kind == Kind::video) {
                harness::IvfFile ivf;
                ASSERT_TRUE(harness::read_ivf(files.at({uid, kind}), &ivf, &err)) << err;
                EXPECT_EQ(s["frames_written"], ivf.frames.size());
            } else {
                harness::OggFile ogg;
                ASSERT_TRUE(harness::read_ogg(files.at({uid, kind}), &ogg, &err)) << err;
                EXPECT_EQ(s["packets_written"], ogg.packets.size() - 2);
                EXPECT_EQ(s["last_granule"], ogg.pages.back().granulepos);
            }
        }
    }
    EXPECT_GT(filled, 0u);
    EXPECT_GT(duplicates, 0u);
}

// ---- output directory and report failures, through the binary ----

struct FailureCase {
    const char* name;
    std::vector<std::string> args;  // "{cwd}" stands for the current directory of the run
    std::string out;                // expected stdout
    const char* err_names;          // stderr names this
    bool outputs_in_cwd_out;        // the six sample outputs land in {cwd}/out
    bool report_expected;           // {cwd}/run.json exists, with exit_status 2
};

class OutputFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(OutputFailures, NamedOnStderrWithStatus2) {
    const FailureCase& c = GetParam();
    TempDir cwd;
    ASSERT_TRUE(harness::write_file(cwd.file("plain"), {}, nullptr));
    std::vector<std::string> args{"-v", "-a"};
    for (std::string a : c.args) {
        for (size_t at; (at = a.find("{cwd}")) != std::string::npos;) a.replace(at, 5, cwd.path());
        args.push_back(a);
    }
    const harness::ConverterRun run =
        harness::run_converter(std::string(SOURCE_DIR) + "/samples/", args, cwd.path());
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, c.out);
    EXPECT_NE(run.err.find(c.err_names), std::string::npos) << run.err;
    EXPECT_EQ(outputs_in(cwd.file("out")).size(), c.outputs_in_cwd_out ? 6u : 0u);
    EXPECT_TRUE(run.files.empty()) << "nothing lands in the current directory";
    if (c.report_expected) {
        const json report = read_json(cwd.file("run.json"));
        EXPECT_EQ(report["exit_status"], 2);
        EXPECT_EQ(report["users"], json::array());
    }
}

const char kFourLines[] =
    "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n";

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputFailures,
    ::testing::Values(FailureCase{"output_dir_under_a_file",
                                  {"-o", "{cwd}/plain/sub", "--report", "{cwd}/run.json"},
                                  "",
                                  "plain/sub: cannot create the output directory: Not a directory",
                                  false,
                                  true},
                      FailureCase{"output_dir_is_a_file",
                                  {"--output", "{cwd}/plain"},
                                  "",
                                  "plain: cannot create the output directory",
                                  false,
                                  false},
                      FailureCase{"report_in_missing_directory",
                                  {"-o", "{cwd}/out", "--report", "{cwd}/none/run.json"},
                                  kFourLines,
                                  "none/run.json: cannot write the report",
                                  true,
                                  false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---- units ----

TEST(RunReport, AtomicWriteReplacesAndLeavesNoTemporaryFile) {
    TempDir dir;
    std::string err;
    const std::string path = dir.file("r.json");
    ASSERT_TRUE(write_file_atomically(path, "first\n", &err)) << err;
    ASSERT_TRUE(write_file_atomically(path, "second\n", &err)) << err;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(harness::read_file(path, &bytes, &err));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "second\n");
    EXPECT_EQ(harness::list_names(dir.path()), std::vector<std::string>{"r.json"});
    EXPECT_FALSE(write_file_atomically(dir.file("none/r.json"), "x", &err));
    EXPECT_NE(err.find("temporary"), std::string::npos) << err;
    EXPECT_FALSE(write_file_atomically(dir.path() + "/", "x", &err));
    // A rename that fails (a file cannot replace a directory) leaves no temporary file behind.
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_TRUE(harness::write_file(dir.file("sub/keep"), {}, nullptr));
    EXPECT_FALSE(write_file_atomically(dir.file("sub"), "x", &err));
    EXPECT_NE(err.find("cannot rename"), std::string::npos) << err;
    EXPECT_EQ(harness::list_names(dir.path()), (std::vector<std::string>{"r.json", "sub"}));
}

struct UmaskCase {
    mode_t mask;
    mode_t dir_mode;     // each directory make_directories creates
    mode_t report_mode;  // the report write_file_atomically writes
};

// Both follow the umask like any file the shell would create; 002 tells 0777 from a fixed 0755.
TEST(RunReport, ModesFollowTheUmask) {
    const UmaskCase cases[] = {{022, 0755, 0644}, {027, 0750, 0640}, {002, 0775, 0664}};
    for (const UmaskCase& c : cases) {
        SCOPED_TRACE(c.mask);
        TempDir dir;
        const mode_t old = umask(c.mask);
        int e = 0;
        const bool made = make_directories(dir.file("a/b"), &e);
        std::string err;
        const bool written = write_file_atomically(dir.file("a/b/r.json"), "{}\n", &err);
        umask(old);
        ASSERT_TRUE(made) << e;
        ASSERT_TRUE(written) << err;
        struct stat st;
        for (const char* d : {"a", "a/b"}) {
            ASSERT_EQ(stat(dir.file(d).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.dir_mode) << d;
        }
        ASSERT_EQ(stat(dir.file("a/b/r.json").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.report_mode);
    }
}

TEST(RunReport, TextOfASmallRun) {
    RunStats stats;
    stats.files_read = 2;
    stats.audio[9].packets_written = 3;
    stats.audio[9].last_granule = 2880;
    stats.video[4].frames_written = 2;
    stats.video[4].have_timestamps = true;
    stats.video[4].first_rtp_timestamp = 0xFFFFFF00u;  // wraps: the span is 256 + 8744
    stats.video[4].last_rtp_timestamp = 9000 - 256;
    stats.video[4].repair.late = 5;
    RunInfo info;
    info.work_path = "w/";
    info.audio = true;
    info.repair = true;
    info.start_ms = 1700000000123;
    info.end_ms = 1700000001000;
    info.exit_status = 2;
    const json j = json::parse(run_report_text(info, stats));
    EXPECT_EQ(j["start_time"], "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(j["end_time"], "2023-11-14T22:13:21.000Z");
    EXPECT_EQ(j["output_directory"], ".");
    EXPECT_EQ(j["kinds"], json({"audio"}));
    EXPECT_EQ(j["exit_status"], 2);
    ASSERT_EQ(j["users"].size(), 2u);
    EXPECT_EQ(j["users"][0]["user_id"], 4);
    EXPECT_FALSE(j["users"][0].contains("audio"));
    EXPECT_DOUBLE_EQ(j["users"][0]["video"]["duration_seconds"].get<double>(), 0.1);
    EXPECT_EQ(j["users"][0]["video"]["repair"]["late"], 5);
    EXPECT_EQ(j["users"][1]["audio"]["first_rtp_timestamp"], nullptr);
    EXPECT_DOUBLE_EQ(j["users"][1]["audio"]["duration_seconds"].get<double>(), 0.06);
}

struct CountStep {
    std::vector<uint8_t> packet;
    uint64_t gaps, repeats;  // totals after this packet
};

std::vector<uint8_t> rtp(uint16_t seq, uint32_t ts) {
    return {0x80,
            96,
            uint8_t(seq >> 8),
            uint8_t(seq),
            uint8_t(ts >> 24),
            uint8_t(ts >> 16),
            uint8_t(ts >> 8),
            uint8_t(ts),
            0,
            0,
            0,
            1,
            0xAA};
}

TEST(StreamCount, SequenceStepsAcrossTheWrap) {
    const CountStep steps[] = {
        {rtp(65534, 10), 0, 0},
        {rtp(65535, 20), 0, 0},
        {rtp(0, 30), 0, 0},                                 // the wrap is one step forward
        {rtp(3, 40), 1, 0},                                 // two missing: one gap
        {rtp(3, 40), 1, 1},                                 // repeated
        {rtp(2, 35), 1, 2},                                 // backwards
        {{0x80, 96, 0, 9}, 1, 2},                           // too short for a header: bytes only
        {{0x40, 96, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 2},   // version 1
        {rtp(3, 45), 1, 2},                                 // one past the last one seen
        {{0x80, 96, 0, 4, 0, 0, 0, 48, 0, 0, 0, 1}, 1, 2},  // header only, no payload: counted
        {rtp(5, 50), 1, 2},                                 // one past the header-only packet
    };
    StreamStats s;
    uint64_t bytes = 0;
    for (const CountStep& step : steps) {
        count_record(s, step.packet.data(), step.packet.size());
        bytes += step.packet.size();
        EXPECT_EQ(s.seq_gaps, step.gaps) << s.packets;
        EXPECT_EQ(s.seq_repeats, step.repeats) << s.packets;
    }
    EXPECT_EQ(s.packets, 11u);
    EXPECT_EQ(s.bytes, bytes);
    EXPECT_EQ(s.first_rtp_timestamp, 10u);
    EXPECT_EQ(s.last_rtp_timestamp, 50u);
}

}  // namespace
