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
};

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
    EXPECT_EQ(r.err, "");
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
        CliCase{"empty_dir_runs_no_pass", {"-p", "{dir}", "-v", "-a"}, "", 0}),
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

TEST(ArgTest, ExactWholeArgumentMatches) {
    EXPECT_TRUE(arg_test("-p", "--path", "-p"));
    EXPECT_TRUE(arg_test("--path", "--path", "-p"));
    EXPECT_FALSE(arg_test("--path=x", "--path", "-p"));
    EXPECT_FALSE(arg_test("-P", "--path", "-p"));
    EXPECT_FALSE(arg_test("-p", nullptr, nullptr));
    EXPECT_TRUE(arg_test("-p", nullptr, "-p"));
}

}  // namespace
