// RTCP sender reports (RFC 3550 section 6.4.1) taken out of a capture, and the file that keeps them
// beside the capture files: each report ties a sender's RTP timestamp to its NTP wall clock, which
// places the sender's streams on one clock.
//
// sender_reports.txt, ASCII with '\n' line ends:
//   # transcode sender reports 1
//   <user id> <video|audio> <ssrc> <ntp> <rtp> <capture_us>
// one line per report in capture order: decimal user id (u32) and SSRC (u32), the 64-bit NTP
// timestamp (u64, seconds since 1900 in the upper 32 bits), the RTP timestamp (u32) and the
// capture time of the RTCP packet in microseconds since 1970 (i64, 0 if unknown), one space
// between fields. Later lines starting with '#' are comments; blank lines are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcapin {

struct SenderReport {
    uint32_t ssrc;
    uint64_t ntp;
    uint32_t rtp;
    uint64_t capture_us;
};

// Appends the sender reports of one (compound) RTCP packet to `out`; stops at the first packet
// whose header or length does not fit. Returns how many were added.
size_t parse_sender_reports(const uint8_t* p, size_t n, uint64_t capture_us,
                            std::vector<SenderReport>& out);

struct SenderReportLine {
    uint32_t uid;
    int kind;  // kVideo or kAudio
    SenderReport report;
};

constexpr const char* kSenderReportsFile = "sender_reports.txt";
constexpr const char* kSenderReportsHeader = "# transcode sender reports 1";

// Writes `lines` into DIR/sender_reports.txt. With `append`, adds to an existing file (the header
// only when the file is new or empty); without, a file already there is an error, as for capture
// files. False with `error` set when it cannot be written.
bool write_sender_reports(const std::string& dir, const std::vector<SenderReportLine>& lines,
                          bool append, std::string& error);

}  // namespace pcapin
