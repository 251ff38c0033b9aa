// The progress line: its text, and that it reaches a terminal and nothing else.
#include "progress.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::TempDir;

struct LineCase {
    const char* pass;
    uint64_t done, total;
    double seconds;
    const char* text;
};

TEST(Progress, LineText) {
    const LineCase cases[] = {
        {"video", 0, 5000000, 0, "video pass: 0.0 of 5.0 MB,   0%, 0.0 MB/s, --:-- left"},
        {"video", 2500000, 5000000, 1, "video pass: 2.5 of 5.0 MB,  50%, 2.5 MB/s, 0:01 left"},
        {"audio", 1000000, 1000000, 0.5, "audio pass: 1.0 of 1.0 MB, 100%, 2.0 MB/s, 0:00 left"},
        {"audio", 0, 0, 0, "audio pass: 0.0 of 0.0 MB, 100%, 0.0 MB/s, --:-- left"},
        // A file that grew while it was read: the total follows what was read.
        {"audio", 3000000, 2000000, 1, "audio pass: 3.0 of 3.0 MB, 100%, 3.0 MB/s, 0:00 left"},
        {"video", 1000000, 3601000000, 1,
         "video pass: 1.0 of 3601.0 MB,   0%, 1.0 MB/s, 1:00:00 left"},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(progress_line(c.pass, c.done, c.total, c.seconds), c.text) << c.text;
}

TEST(Progress, MediaLineText) {
    const LineCase cases[] = {
        {"compose", 0, 60000000, 0,
         "compose pass: 0.0 of 60.0 s,   0%, 0.0x real time, --:-- left"},
        {"compose", 30000000, 60000000, 5,
         "compose pass: 30.0 of 60.0 s,  50%, 6.0x real time, 0:05 left"},
        // Without a clock the total is an estimate; it follows what was written.
        {"compose", 2000000, 1000000, 1,
         "compose pass: 2.0 of 2.0 s, 100%, 2.0x real time, 0:00 left"},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(progress_media_line(c.pass, c.done, c.total, c.seconds), c.text) << c.text;
}

const char kFourLines[] =
    "start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess \n";

// Under a pseudo-terminal (util-linux `script`) the line is drawn and erased on the terminal,
// while standard output, redirected to a file, holds exactly the usual lines.
TEST(Progress, DrawnOnATerminalAndErased) {
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "util-linux script is missing";
    TempDir cwd;
    const std::string command =
        std::string(TRANSCODE_BIN) + " -p " + SOURCE_DIR + "/samples/ -v -a -o out > stdout.txt";
    const harness::ProcessResult r =
        harness::run_process({"/usr/bin/script", "-qec", command, "/dev/null"}, cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* pass : {"\rvideo pass: 0.0 of 0.1 MB,", "\raudio pass: 0.0 of 0.0 MB,"})
        EXPECT_NE(r.out.find(pass), std::string::npos) << r.out;
    // Each pass ends by erasing its line, and the terminal sees nothing else.
    const std::string erase = "\r\033[K";
    ASSERT_GE(r.out.size(), erase.size());
    EXPECT_EQ(r.out.substr(r.out.size() - erase.size()), erase);
    EXPECT_EQ(r.out.find('\n'), std::string::npos);
    std::vector<uint8_t> out;
    ASSERT_TRUE(harness::read_file(cwd.file("stdout.txt"), &out, nullptr));
    EXPECT_EQ(std::string(out.begin(), out.end()), kFourLines);
    EXPECT_EQ(harness::list_names(cwd.file("out")).size(), 6u);
}

TEST(Progress, NothingWhenStderrIsNotATerminal) {
    TempDir cwd;
    const harness::ConverterRun run = harness::run_converter(std::string(SOURCE_DIR) + "/samples/",
                                                             {"-v", "-a", "-o", "out"}, cwd.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kFourLines);
    EXPECT_EQ(run.err, "");
}

}  // namespace
