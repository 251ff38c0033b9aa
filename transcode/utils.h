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

// The stdio buffer of one output file. Large buffers keep the number of writes down, but
// thousands of users each holding one would cost gigabytes, so they are drawn from a process-wide
// budget; past it a file keeps stdio's default buffer. Must outlive the stream it is attached to.
class OutputBuffer {
public:
    OutputBuffer() = default;
    ~OutputBuffer();
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    // Call right after the stream is opened, before any I/O on it.
    void attach(FILE* f);

private:
    std::unique_ptr<char[]> data_;
};

// Opens the output file `path` for writing, creating it (mode 0666 before the umask) or truncating
// it: the one way every output file is opened. A symlink at `path` is not followed: the open
// fails (ELOOP). Returns the descriptor, or -1 with errno set.
int open_output_fd(const std::string& path);

// The device and inode of a file.
struct FileIdentity {
    uint64_t dev = 0;
    uint64_t ino = 0;
};

// Whether this run created the output file `name` through create_output; if so, *id is the file
// it created. Later steps that read an output back check that they opened that very file.
bool output_created(const std::string& name, FileIdentity* id);

// Creates (or truncates) the output file `name` in the current directory with `buffer` as its
// stdio buffer; when it cannot be created, reports it as an output failure and returns null.
FilePtr create_output(const std::string& name, OutputBuffer& buffer);

// The same for a file written through its descriptor (libavformat's output): -1 when it cannot
// be created, which is reported.
int create_output_fd(const std::string& name);

// Closes `f`, reporting a failed close (data that never reached the disk) as an output failure.
void close_output(FilePtr& f, const std::string& name);
// Closes `f` after a failed write without writing what its buffer still holds, and says nothing:
// the failure was reported when it happened.
void discard_output(FilePtr& f);

// An output file could not be created or fully written: names it on standard error with the
// reason and marks the run, which then exits with status 2. `err` is an errno value, 0 for none.
void output_failure(const std::string& name, const char* what, int err);
bool output_failure_seen();
// Whether output_failure was reported for the file `name` in this run.
bool output_failed(const std::string& name);
// Forgets the failures and the files created (for tests that run several conversions).
void output_failure_reset();
