// The command line as a user meets it: the built binary run in temporary directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "main.h"

namespace {

using harness::run_process;
using harness::TempDir;

void touch(const std::string& path) {
    ASSERT_TRUE(harness::write_file(path, {}, nullptr));
}

const char kHelp[] =
    "-p, --path: work direct \n-v, --video: transcode video files.\n-a, --audio transcode audio "
    "files.\n-h, --help: Get list of available commands.\n\nversion, 0.0.1\n";
const char kUsage[] =
    "-p, --path: work direct.\n-v, --video: transcode video files.\n-a, --audio transcode audio "
    "files.\n-h, --help: Get list of available commands.\n\nversion, 0.0.1\n";

struct CliCase {
    const char* name;
    std::vector<std::string>
        args;         // "{dir}" stands for an existing directory with a '/' at the end
    std::string out;  // "{dir}" replaced likewise
    int status;
    std::string err = "";
};

// Usage errors of the options that take a value: one line on stderr, status 1, nothing run.
const char kNeedsDir[] = "transcode: -o needs a directory\n";
const char kNeedsReport[] = "transcode: --report needs a file name\n";
const char kBadWindow[] = "transcode: --reorder-window takes a number of packets from 1 to 4096\n";
const char kBadSize[] = "transcode: --compose-size takes WIDTHxHEIGHT, even, 64 to 4096 each\n";
const char kBadRate[] =
    "transcode: --compose-rate takes a number of frames per second from 1 to 60\n";

std::string expand(std::string s, const std::string& dir) {
    for (size_t at; (at = s.find("{dir}")) != std::string::npos;) s.replace(at, 5, dir);
    return s;
}

class CliTable : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliTable, StdoutAndStatus) {
    const CliCase& c = GetParam();
    TempDir work;
    TempDir cwd;
    const std::string dir = work.path() + "/";
    std::vector<std::string> argv{TRANSCODE_BIN};
    for (const std::string& a : c.args) argv.push_back(expand(a, dir));
    const harness::ProcessResult r = run_process(argv, cwd.path());
    EXPECT_EQ(r.out, expand(c.out, dir));
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(harness::list_names(cwd.path()).empty()) << "nothing converted, nothing written";
}

INSTANTIATE_TEST_SUITE_P(
    Options, CliTable,
    ::testing::Values(
        CliCase{"no_arguments", {}, kUsage, 1}, CliCase{"help_short", {"-h"}, kHelp, 0},
        CliCase{"help_long_after_path", {"-p", "{dir}", "-v", "--help"}, kHelp, 0},
        CliCase{"help_stops_reading", {"-h", "-p", "/nonexistent/"}, kHelp, 0},
        CliCase{"path_swallows_help", {"-p", "-h"}, "", 0},
        CliCase{"path_swallows_video", {"-p", "-v", "{dir}"}, "", 0},
        CliCase{"path_alone", {"-p"}, kUsage, 1},
        CliCase{"empty_path", {"-p", "", "-v"}, kUsage, 1},
        CliCase{"equals_form_ignored", {"--path={dir}"}, kUsage, 1},
        CliCase{"path_without_kind", {"-p", "{dir}"}, "", 0},
        CliCase{"unknown_options_ignored", {"-p", "/nonexistent/", "-va", "-P", "--Video"}, "", 0},
        CliCase{"last_path_wins",
                {"-v", "-p", "/nonexistent/a/", "-p", "/nonexistent/b/"},
                "can't open dir /nonexistent/b/\n",
                0},
        CliCase{"trailing_path_keeps_earlier",
                {"-v", "-p", "/nonexistent/x/", "-p"},
                "can't open dir /nonexistent/x/\n",
                0},
        CliCase{"missing_dir_both_kinds",
                {"-p", "/nonexistent/", "-v", "-a", "-v"},
                "can't open dir /nonexistent/\ncan't open dir /nonexistent/\n",
                0},
        CliCase{"long_forms",
                {"--path", "/nonexistent/", "--video", "--audio"},
                "can't open dir /nonexistent/\ncan't open dir /nonexistent/\n",
                0},
        CliCase{"empty_dir_runs_no_pass", {"-p", "{dir}", "-v", "-a"}, "", 0},
        CliCase{"report_last", {"-p", "{dir}", "-v", "--report"}, "", 1, kNeedsReport},
        CliCase{"report_empty", {"-p", "{dir}", "-v", "--report", ""}, "", 1, kNeedsReport},
        CliCase{"output_last", {"-p", "{dir}", "-v", "-o"}, "", 1, kNeedsDir},
        CliCase{"output_empty", {"-p", "{dir}", "-v", "-o", ""}, "", 1, kNeedsDir},
        CliCase{"output_long_empty",
                {"-p", "{dir}", "--output", "", "-v"},
                "",
                1,
                "transcode: --output needs a directory\n"},
        CliCase{"window_last", {"-p", "{dir}", "--reorder-window"}, "", 1, kBadWindow},
        CliCase{"window_empty", {"-p", "{dir}", "--reorder-window", ""}, "", 1, kBadWindow},
        CliCase{
            "window_leading_blank", {"-p", "{dir}", "--reorder-window", " 12"}, "", 1, kBadWindow},
        CliCase{"window_plus_sign", {"-p", "{dir}", "--reorder-window", "+12"}, "", 1, kBadWindow},
        CliCase{"window_minus_zero", {"-p", "{dir}", "--reorder-window", "-0"}, "", 1, kBadWindow},
        CliCase{
            "window_trailing_blank", {"-p", "{dir}", "--reorder-window", "12 "}, "", 1, kBadWindow},
        CliCase{"window_hex", {"-p", "{dir}", "--reorder-window", "0x10"}, "", 1, kBadWindow},
        CliCase{"window_zero", {"-p", "{dir}", "--reorder-window", "0"}, "", 1, kBadWindow},
        CliCase{"window_one", {"-p", "{dir}", "-v", "--reorder-window", "1"}, "", 0},
        CliCase{"window_leading_zeros", {"-p", "{dir}", "-v", "--reorder-window", "0012"}, "", 0},
        CliCase{"window_max", {"-p", "{dir}", "-v", "--reorder-window", "4096"}, "", 0},
        CliCase{"window_over_max", {"-p", "{dir}", "--reorder-window", "4097"}, "", 1, kBadWindow},
        CliCase{"compose_last",
                {"-p", "{dir}", "--compose"},
                "",
                1,
                "transcode: --compose needs a file name\n"},
        // Nothing was converted, so there is nothing to compose: the file asked for is missing.
        CliCase{"compose_nothing",
                {"-p", "{dir}", "-v", "--compose", "m.webm"},
                "",
                2,
                "transcode: m.webm: nothing to compose: no per-user file was written whole\n"},
        CliCase{"compose_size_odd", {"-p", "{dir}", "--compose-size", "1281x720"}, "", 1, kBadSize},
        CliCase{"compose_size_small", {"-p", "{dir}", "--compose-size", "62x64"}, "", 1, kBadSize},
        CliCase{
            "compose_size_large", {"-p", "{dir}", "--compose-size", "640x4098"}, "", 1, kBadSize},
        CliCase{"compose_size_no_x", {"-p", "{dir}", "--compose-size", "1280"}, "", 1, kBadSize},
        CliCase{
            "compose_size_sign", {"-p", "{dir}", "--compose-size", "+640x360"}, "", 1, kBadSize},
        CliCase{"compose_size_limits", {"-p", "{dir}", "--compose-size", "64x4096"}, "", 0},
        CliCase{"compose_rate_zero", {"-p", "{dir}", "--compose-rate", "0"}, "", 1, kBadRate},
        CliCase{"compose_rate_over", {"-p", "{dir}", "--compose-rate", "61"}, "", 1, kBadRate},
        CliCase{
            "compose_rate_max", {"-p", "{dir}", "--compose-rate", "60", "--compose-vp9"}, "", 0},
        CliCase{"window_overflow",
                {"-p", "{dir}", "--reorder-window", "99999999999999999999"},
                "",
                1,
                kBadWindow}),
    [](const ::testing::TestParamInfo<CliCase>& info) { return std::string(info.param.name); });

TEST(Cli, PassesRunVideoFirstWhenBothKindsArePresent) {
    TempDir work;
    TempDir cwd;
    touch(work.file("b_2.audio"));
    touch(work.file("a_1.video"));
    const harness::ProcessResult r =
        run_process({TRANSCODE_BIN, "-a", "-p", work.path() + "/", "-v"}, cwd.path());
    EXPECT_EQ(r.out,
              "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, OnlyAudioFilesRunsOnlyTheAudioPass) {
    TempDir work;
    TempDir cwd;
    touch(work.file("a_1.audio"));
    const harness::ProcessResult r =
        run_process({TRANSCODE_BIN, "-p", work.path() + "/", "-v", "-a"}, cwd.path());
    EXPECT_EQ(r.out, "start trans audio\ntrans audio sucess \n");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, ScanLinesComeBeforeAnyPass) {
    // Audio directory missing, video present: the audio scan's line precedes the video pass.
    TempDir cwd;
    TempDir work;
    touch(work.file("a_1.video"));
    const std::string dir = work.path() + "/";
    const harness::ProcessResult r =
        run_process({TRANSCODE_BIN, "-p", dir, "-v", "-a"}, cwd.path());
    EXPECT_EQ(r.out, "start trans video\ntrans video sucess\n");
    const harness::ProcessResult missing =
        run_process({TRANSCODE_BIN, "-p", dir + "nope/", "-a", "-v"}, cwd.path());
    EXPECT_EQ(missing.out, "can't open dir " + dir + "nope/\ncan't open dir " + dir + "nope/\n");
}

// ---- scan and ordering, in process ----

std::vector<std::string> sorted_scan(const std::string& path, const std::string& suffix) {
    std::vector<std::string> list;
    GetFileLists(list, path, suffix);
    std::sort(list.begin(), list.end(), compare);
    return list;
}

TEST(Scan, NumericNotTextualOrder) {
    TempDir work;
    for (const char* n : {"a_100.video", "a_20.video", "b_30.video"}) touch(work.file(n));
    const std::string dir = work.path() + "/";
    EXPECT_EQ(
        sorted_scan(dir, ".video"),
        (std::vector<std::string>{dir + "a_20.video", dir + "b_30.video", dir + "a_100.video"}));
}

TEST(Scan, SuffixMatchingRules) {
    TempDir work;
    for (const char* n : {"ab", "a.VIDEO", "a_1.video.bak", "a_1.audio", ".video", "a_2.video"})
        touch(work.file(n));
    ASSERT_EQ(system(("mkdir " + work.file("x_5.video")).c_str()), 0);
    const std::string dir = work.path() + "/";
    std::vector<std::string> list;
    GetFileLists(list, dir, ".video");
    std::sort(list.begin(), list.end());
    EXPECT_EQ(list,
              (std::vector<std::string>{dir + ".video", dir + "a_2.video", dir + "x_5.video"}));
}

TEST(Scan, WorkPathIsAPlainPrefix) {
    TempDir work;
    touch(work.file("a_1.video"));
    std::vector<std::string> list;
    GetFileLists(list, work.path(), ".video");
    EXPECT_EQ(list, std::vector<std::string>{work.path() + "a_1.video"});
}

TEST(Scan, MissingDirectoryPrintsAndLeavesListAlone) {
    std::vector<std::string> list{"keep"};
    testing::internal::CaptureStdout();
    GetFileLists(list, "/nonexistent/dir", ".audio");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "can't open dir /nonexistent/dir\n");
    EXPECT_EQ(list, std::vector<std::string>{"keep"});
}

struct KeyCase {
    const char* path;
    int64_t key;
};

TEST(Scan, OrderingKeys) {
    const KeyCase cases[] = {
        {"dump/a_100.video", 100},
        {"dump/a_-5.video", -5},
        {"dump/a_0.video", 0},
        {"dump/x.video", 0},
        {"dump/a_12_34.video", 12},
        {"dump/a_ 7x.video", 7},
        {"dump/a_+8.audio", 8},
        {"/data/rec_7/a_3.video", 7},
        {"dumpa_1.video", 1},
        {"dump/a_.video", 0},
        {"dump/a_x1.video", 0},
        {"/tmp/my_dir/a_5.video", 0},
        {"dump/a_99999999999999999999.video", INT64_MAX},
        {"dump/a_-99999999999999999999.video", INT64_MIN},
        {"no_dot_here", 0},
        {"dir.x/a_42", 42},  // last '.' before the first '_': the key runs to the end
        {"a_1650598869249.audio", 1650598869249},
    };
    for (const KeyCase& c : cases) EXPECT_EQ(get_file_time(c.path), c.key) << c.path;
}

TEST(Scan, CompareIsSignedAndStrict) {
    EXPECT_TRUE(compare("d/a_-5.video", "d/a_0.video"));
    EXPECT_TRUE(compare("d/x.video", "d/a_1.video"));
    EXPECT_FALSE(compare("d/a_1.video", "d/b_1.video"));
    EXPECT_FALSE(compare("d/b_1.video", "d/a_1.video"));
    EXPECT_TRUE(compare("d/a_9.video", "d/a_10.video"));
}

struct ListedOrderCase {
    const char* work;
    const char* a;
    const char* b;
    bool a_first;  // compare_listed(work, a, b); the reverse is checked to be its opposite
};

TEST(Scan, ListedOrderIsTotal) {
    const ListedOrderCase cases[] = {
        {"w/", "w/a_1.video", "w/b_1.video", true},               // equal keys: the names decide
        {"w/", "w/b_2.video", "w/a_10.video", true},              // keys first, before the names
        {"rec_7/", "rec_7/b_9.video", "rec_7/a_10.video", true},  // every path key 7: entry keys
        {"rec_7/", "rec_7/a_3.video", "rec_7/b_3.video", true},   // ... then the entry names
        {"w/", "w/x.video", "w/a_0.video", false},  // both key 0: "a_0.video" < "x.video"
    };
    for (const ListedOrderCase& c : cases) {
        EXPECT_EQ(compare_listed(c.work, c.a, c.b), c.a_first) << c.a << " " << c.b;
        EXPECT_EQ(compare_listed(c.work, c.b, c.a), !c.a_first) << c.b << " " << c.a;
    }
    EXPECT_FALSE(compare_listed("w/", "w/a_1.video", "w/a_1.video"));
}

TEST(ArgTest, ExactWholeArgumentMatches) {
    EXPECT_TRUE(arg_test("-p", "--path", "-p"));
    EXPECT_TRUE(arg_test("--path", "--path", "-p"));
    EXPECT_FALSE(arg_test("--path=x", "--path", "-p"));
    EXPECT_FALSE(arg_test("-P", "--path", "-p"));
    EXPECT_FALSE(arg_test("-p", nullptr, nullptr));
    EXPECT_TRUE(arg_test("-p", nullptr, "-p"));
}

}  // namespace
