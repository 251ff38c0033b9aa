// The sender-report file: each RTCP sender report a recorder saw, one line each, in
// `sender_reports.txt` of the work directory. A sender report pairs an NTP time with the RTP
// timestamp of the same instant (RFC 3550, 6.4.1); audio and video of one sender share the NTP
// clock, which is how a receiver puts them side by side.
//
//   # transcode sender reports 1
//   <user id> <video|audio> <ssrc> <ntp> <rtp> <capture_us>
//
// Lines starting with '#' are comments and blank lines are ignored; fields are separated by one
// space; ntp is the 64-bit NTP timestamp, capture_us the recorder's time of the report in
// microseconds since 1970 (0 when unknown).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct SenderReport {
    uint32_t uid = 0;
    bool video = false;
    uint32_t ssrc = 0;
    uint64_t ntp = 0;
    uint32_t rtp = 0;
    int64_t capture_us = 0;
};

constexpr char kSenderReportHeader[] = "# transcode sender reports 1";
constexpr char kSenderReportFile[] = "sender_reports.txt";
// A file past either bound is read up to it, and the rest is left out with a word on stderr: a
// report a second per stream of a hundred streams for an hour is 360,000 lines.
constexpr size_t kMaxSenderReports = 1000000;
constexpr uint64_t kMaxSenderReportBytes = 64 << 20;

// One line, without its '\n'; false for a line that is no report (comments and blank lines too).
bool parse_sender_report(const char* line, size_t length, SenderReport* out);

// NTP time in microseconds since 1970; false for a time before 2000 or from 2100 on.
bool ntp_to_unix_us(uint64_t ntp, int64_t* us);

// Reads the file at `path` into `out` (in the file's order). A missing file is no error and says
// nothing. A file that does not start with the header is not read; bad lines are skipped and
// counted, and one line on `messages` says how many; so does a file cut at the bounds.
// False when nothing could be read.
bool read_sender_reports(const std::string& path, std::vector<SenderReport>* out, FILE* messages);
