#include "zel_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_support.h"

namespace {

struct Printed {
    std::string out;
    std::string err;
};

template <typename F>
Printed capture(F&& f) {
    audio_test::StreamCapture out(stdout);
    audio_test::StreamCapture err(stderr);
    f();
    Printed p;
    p.err = err.take();
    p.out = out.take();
    return p;
}

TEST(ZelLog, DefaultHandlerPrefixesAndStreams) {
    struct Case {
        int level;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {ZEL_LOG_ERROR, "", "error: disk 7 of 9\n"},
        {ZEL_LOG_WARNING, "warning: disk 7 of 9\n", ""},
        {ZEL_LOG_INFO, "info: disk 7 of 9\n", ""},
        {ZEL_LOG_DEBUG, "debug: disk 7 of 9\n", ""},
        {250, "", ""},  // between two levels
        {500, "", ""},  // above the output level
        {0, "", ""},
        {-100, "", ""},
    };
    ASSERT_EQ(log_output_level, 400);
    for (const Case& c : cases) {
        const Printed p = capture([&] { zel_l(c.level, "disk %d of %s", 7, "9"); });
        EXPECT_EQ(p.out, c.out) << "level " << c.level;
        EXPECT_EQ(p.err, c.err) << "level " << c.level;
    }
}

TEST(ZelLog, LongMessagesAreCut) {
    const std::string long_text(5000, 'x');
    const Printed p = capture([&] { zel_l(ZEL_LOG_INFO, "%s", long_text.c_str()); });
    EXPECT_EQ(p.out, "info: " + std::string(4095, 'x') + "\n");
}

struct Seen {
    int calls = 0;
    int level = 0;
    std::string text;
    void* param = nullptr;
};
Seen seen;

void recording_handler(int level, const char* format, va_list args, void* param) {
    char buf[256];
    vsnprintf(buf, sizeof(buf), format, args);
    ++seen.calls;
    seen.level = level;
    seen.text = buf;
    seen.param = param;
}

TEST(ZelLog, HandlerCanBeReplacedAndRestored) {
    int token = 0;
    seen = Seen();
    set_log_handler(recording_handler, &token);
    zel_l(ZEL_LOG_WARNING, "%s=%u", "uid", 42u);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.level, ZEL_LOG_WARNING);
    EXPECT_EQ(seen.text, "uid=42");
    EXPECT_EQ(seen.param, &token);

    zel_log_handler_t handler = nullptr;
    void* param = nullptr;
    get_log_handler(&handler, &param);
    EXPECT_EQ(handler, &recording_handler);
    EXPECT_EQ(param, &token);

    // A null handler brings the default back and still keeps the parameter.
    int other = 0;
    set_log_handler(nullptr, &other);
    param = nullptr;
    get_log_handler(nullptr, &param);
    EXPECT_EQ(param, &other);
    get_log_handler(&handler, nullptr);
    EXPECT_EQ(handler, &def_log_handler);
    get_log_handler(nullptr, nullptr);

    const Printed p = capture([] { zel_l(ZEL_LOG_DEBUG, "back"); });
    EXPECT_EQ(p.out, "debug: back\n");
    EXPECT_EQ(seen.calls, 1);
    set_log_handler(nullptr, nullptr);
}

TEST(ZelLog, HexDump) {
    struct Case {
        std::vector<unsigned char> bytes;
        int size;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{0x00, 0x7F, 0xFF}, 3, " 0x00 0x7F 0xFF"},
        {{0x05, 0xAB}, 2, " 0x05 0xAB"},
        {{0x05, 0xAB}, 1, " 0x05"},
        {{0x05}, 0, ""},
        {{0x05}, -1, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(to_hex(c.bytes.data(), c.size), c.text);
}

}  // namespace
