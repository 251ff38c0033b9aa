// How output files are opened: a symlink planted under an output name is refused, not followed;
// an existing regular file is truncated; a new file gets mode 0666 less the umask.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "audio_support.h"
#include "harness.h"
#include "utils.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_or_empty(const std::string& path) {
    Bytes b;
    harness::read_file(path, &b, nullptr);
    return b;
}

TEST(OutputFile, SymlinksAreRefusedRegularFilesTruncated) {
    struct Case {
        const char* name;
        const char* link_to;  // null: no symlink
        bool regular_file;    // a regular file with old bytes stands at the name
        bool created;
    };
    const std::vector<Case> cases = {
        {"new file", nullptr, false, true},
        {"regular file", nullptr, true, true},
        {"symlink to a file", "target", false, false},
        {"dangling symlink", "missing", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        harness::TempDir dir;
        const std::string out = dir.file("2026-01-01_00-00-00_5.ogg");
        const Bytes old = {'o', 'l', 'd'};
        ASSERT_TRUE(harness::write_file(dir.file("target"), old, nullptr));
        if (c.link_to != nullptr) {
            ASSERT_EQ(symlink(dir.file(c.link_to).c_str(), out.c_str()), 0);
        }
        if (c.regular_file) {
            ASSERT_TRUE(harness::write_file(out, Bytes(100, 'x'), nullptr));
        }
        output_failure_reset();
        const mode_t mask = umask(022);
        OutputBuffer buffer;
        audio_test::StreamCapture err(stderr);
        FilePtr f = create_output(out, buffer);
        const std::string text = err.take();
        umask(mask);
        EXPECT_EQ(static_cast<bool>(f), c.created);
        EXPECT_EQ(output_failure_seen(), !c.created);
        output_failure_reset();
        struct stat st;
        if (c.created) {
            EXPECT_EQ(text, "");
            ASSERT_EQ(fputs("new", f.get()), 1);
            close_output(f, out);
            EXPECT_EQ(read_or_empty(out), (Bytes{'n', 'e', 'w'}));
            ASSERT_EQ(lstat(out.c_str(), &st), 0);
            if (!c.regular_file) {
                EXPECT_EQ(st.st_mode & 0777, 0644u);
            }
        } else {
            EXPECT_NE(text.find(out + ": cannot create"), std::string::npos) << text;
            ASSERT_EQ(lstat(out.c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode));
        }
        EXPECT_EQ(read_or_empty(dir.file("target")), old);
        EXPECT_NE(access(dir.file("missing").c_str(), F_OK), 0);
    }
}

}  // namespace
