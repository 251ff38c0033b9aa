#include "utils.h"

#include <cerrno>
#include <cstring>
#include <ctime>

int64_t get_time_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {
bool g_output_failed = false;
}

void output_failure(const std::string& name, const char* what, int err) {
    g_output_failed = true;
    if (err != 0)
        fprintf(stderr, "transcode: %s: %s: %s\n", name.c_str(), what, strerror(err));
    else
        fprintf(stderr, "transcode: %s: %s\n", name.c_str(), what);
}

bool output_failure_seen() { return g_output_failed; }

void output_failure_reset() { g_output_failed = false; }

void close_output(FilePtr& f, const std::string& name) {
    if (!f) return;
    // fclose flushes what stdio still holds: a full disk often shows up only here.
    errno = 0;
    int rc = fclose(f.release());
    if (rc != 0) output_failure(name, "cannot finish writing", errno);
}
