#include "progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "utils.h"

namespace {

constexpr int64_t kRedrawInterval = 200000000;  // ns: five lines a second at most
constexpr double kMegabyte = 1e6;
constexpr char kEraseToEnd[] = "\033[K";

struct Display {
    bool active = false;
    const char* pass = "";
    bool media = false;  // counts microseconds of media written, not bytes read
    uint64_t total = 0;
    uint64_t done = 0;
    int64_t start_ns = 0;
    int64_t drawn_ns = 0;
};

Display g_display;

void write_stderr(const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(STDERR_FILENO, p, left);
        if (n <= 0) return;  // a display is not worth failing or retrying for
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void draw(int64_t now) {
    g_display.drawn_ns = now;
    const double seconds = static_cast<double>(now - g_display.start_ns) / 1e9;
    const std::string line =
        g_display.media
            ? progress_media_line(g_display.pass, g_display.done, g_display.total, seconds)
            : progress_line(g_display.pass, g_display.done, g_display.total, seconds);
    write_stderr("\r" + line + kEraseToEnd);
}

std::string clock_text(double seconds) {
    const uint64_t s = static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                 static_cast<unsigned long long>(s / 60 % 60),
                 static_cast<unsigned long long>(s % 60));
    else
        snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                 static_cast<unsigned long long>(s % 60));
    return text;
}

}  // namespace

std::string progress_line(const char* pass, uint64_t done, uint64_t total, double seconds) {
    if (done > total) total = done;  // a file that grew while it was read
    const double percent = total > 0 ? 100.0 * static_cast<double>(done) / total : 100.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const std::string left =
        rate > 0 ? clock_text(static_cast<double>(total - done) / rate) : std::string("--:--");
    char text[160];
    snprintf(text, sizeof text, "%s pass: %.1f of %.1f MB, %3.0f%%, %.1f MB/s, %s left", pass,
             done / kMegabyte, total / kMegabyte, percent, rate / kMegabyte, left.c_str());
    return text;
}

std::string progress_media_line(const char* pass, uint64_t done_us, uint64_t total_us,
                                double seconds) {
    if (done_us > total_us) total_us = done_us;
    const double done = static_cast<double>(done_us) / 1e6;
    const double total = static_cast<double>(total_us) / 1e6;
    const double percent = total > 0 ? 100.0 * done / total : 100.0;
    const double speed = seconds > 0 ? done / seconds : 0;
    const std::string left = speed > 0 ? clock_text((total - done) / speed) : std::string("--:--");
    char text[160];
    snprintf(text, sizeof text, "%s pass: %.1f of %.1f s, %3.0f%%, %.1fx real time, %s left", pass,
             done, total, percent, speed, left.c_str());
    return text;
}

uint64_t files_size(const std::vector<std::string>& paths) {
    uint64_t total = 0;
    struct stat st;
    for (const std::string& path : paths)
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            total += static_cast<uint64_t>(st.st_size);
    return total;
}

void progress_begin(const char* pass, uint64_t total_bytes) {
    g_display = Display{};
    if (!isatty(STDERR_FILENO)) return;
    g_display.active = true;
    g_display.pass = pass;
    g_display.total = total_bytes;
    g_display.start_ns = get_time_ns();
    draw(g_display.start_ns);
}

void progress_begin_media(const char* pass, uint64_t total_us) {
    progress_begin(pass, total_us);
    g_display.media = g_display.active;
    if (g_display.active) draw(g_display.start_ns);
}

void progress_advance(uint64_t bytes) {
    if (!g_display.active) return;
    g_display.done += bytes;
    const int64_t now = get_time_ns();
    if (now - g_display.drawn_ns >= kRedrawInterval) draw(now);
}

void progress_end() {
    if (!g_display.active) return;
    g_display.active = false;
    write_stderr(std::string("\r") + kEraseToEnd);
}
