#include "sender_report_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "byte_order.h"
#include "packet_sorter.h"

namespace pcapin {
namespace {

constexpr uint8_t kRtcpSenderReport = 200;
// Header (4), sender SSRC (4), NTP (8), RTP timestamp (4), packet and octet counts (8).
constexpr size_t kSenderReportMin = 28;

}  // namespace

size_t parse_sender_reports(const uint8_t* p, size_t n, uint64_t capture_us,
                            std::vector<SenderReport>& out) {
    size_t added = 0, at = 0;
    while (n - at >= 4) {
        const uint8_t* q = p + at;
        if ((q[0] >> 6) != 2) break;
        const size_t len = (static_cast<size_t>(be16(q + 2)) + 1) * 4;
        if (len > n - at) break;
        if (q[1] == kRtcpSenderReport && len >= kSenderReportMin) {
            out.push_back(SenderReport{be32(q + 4),
                                       static_cast<uint64_t>(be32(q + 8)) << 32 | be32(q + 12),
                                       be32(q + 16), capture_us});
            ++added;
        }
        at += len;
    }
    return added;
}

bool write_sender_reports(const std::string& dir, const std::vector<SenderReportLine>& lines,
                          bool append, std::string& error) {
    const std::string path =
        (dir.empty() || dir.back() == '/' ? dir : dir + "/") + kSenderReportsFile;
    FILE* f = fopen(path.c_str(), append ? "ab" : "wbx");
    if (f == nullptr) {
        error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = true;
    if (ftell(f) == 0) ok = fprintf(f, "%s\n", kSenderReportsHeader) > 0;
    for (const SenderReportLine& l : lines) {
        if (!ok) break;
        ok = fprintf(f, "%" PRIu32 " %s %" PRIu32 " %" PRIu64 " %" PRIu32 " %" PRId64 "\n", l.uid,
                     kind_name(l.kind), l.report.ssrc, l.report.ntp, l.report.rtp,
                     static_cast<int64_t>(l.report.capture_us)) > 0;
    }
    const int write_errno = errno;
    if (fclose(f) != 0) ok = false;
    if (!ok) {
        error = "cannot write " + path + ": " + strerror(write_errno);
        return false;
    }
    return true;
}

}  // namespace pcapin
