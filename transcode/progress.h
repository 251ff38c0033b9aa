// A one-line progress display of a pass on standard error: the pass, the bytes read of the pass's
// total, percent, MB/s and the time left. Shown only when standard error is a terminal; otherwise
// every call does nothing at all, so logs, pipes and CI see exactly what they saw before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Starts the display of one pass over `total_bytes` of capture files.
void progress_begin(const char* pass, uint64_t total_bytes);
// Starts the display of a pass that writes `total_us` microseconds of media (the meeting
// composite); progress_advance then counts microseconds.
void progress_begin_media(const char* pass, uint64_t total_us);
// `bytes` more of the pass were read; the line is rewritten at most five times a second.
void progress_advance(uint64_t bytes);
// Erases the line; the terminal is left as it was before progress_begin.
void progress_end();

// The sum of the sizes of the regular files among `paths`; the others count as 0.
uint64_t files_size(const std::vector<std::string>& paths);

// The text of the line after `seconds` of the pass, `done` of `total` bytes read.
std::string progress_line(const char* pass, uint64_t done, uint64_t total, double seconds);
// The same for a media pass: seconds of media written and the speed against real time.
std::string progress_media_line(const char* pass, uint64_t done_us, uint64_t total_us,
                                double seconds);
