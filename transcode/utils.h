// Small shared helpers: the monotonic clock, owning handles for C resources and the run-wide record
// of output failures.
#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Monotonic clock in nanoseconds.
int64_t get_time_ns();

struct FileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct OggStreamDestroyer {
    void operator()(ogg_stream_state* s) const noexcept { ogg_stream_destroy(s); }
};
using OggStreamPtr = std::unique_ptr<ogg_stream_state, OggStreamDestroyer>;

// Closes `f`, reporting a failed close (data that never reached the disk) as an output failure.
void close_output(FilePtr& f, const std::string& name);

// An output file could not be created or fully written: names it on standard error with the
// reason and marks the run, which then exits with status 2. `err` is an errno value, 0 for none.
void output_failure(const std::string& name, const char* what, int err);
bool output_failure_seen();
void output_failure_reset();
