#include "sender_reports.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "file_time.h"

namespace {

// Seconds from 1900 (NTP's era 0) to 1970.
constexpr uint64_t kNtpToUnixSeconds = 2208988800ULL;
constexpr size_t kMaxLine = 256;

// A decimal number of at most `max` value; `negative_ok` allows one leading '-'.
bool field(const char*& p, const char* end, uint64_t max, bool negative_ok, bool* negative,
           uint64_t* value) {
    *negative = false;
    if (negative_ok && p < end && *p == '-') {
        *negative = true;
        ++p;
    }
    const char* start = p;
    uint64_t v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
        ++p;
    }
    if (p == start) return false;
    *value = v;
    return true;
}

bool space(const char*& p, const char* end) {
    if (p >= end || *p != ' ') return false;
    ++p;
    return true;
}

struct FileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};

}  // namespace

bool ntp_to_unix_us(uint64_t ntp, int64_t* us) {
    const uint64_t seconds = ntp >> 32;
    if (seconds < kNtpToUnixSeconds) return false;
    int64_t whole = 0;
    // Seconds, so a value that only reads as a time in ms or us is none.
    if (!plausible_time_us(seconds - kNtpToUnixSeconds, &whole) ||
        whole != static_cast<int64_t>(seconds - kNtpToUnixSeconds) * 1000000)
        return false;
    const uint64_t fraction = ((ntp & 0xffffffffULL) * 1000000ULL + (1ULL << 31)) >> 32;
    *us = whole + static_cast<int64_t>(fraction);
    return true;
}

bool parse_sender_report(const char* line, size_t length, SenderReport* out) {
    const char* p = line;
    const char* end = line + length;
    bool negative = false;
    uint64_t v = 0;
    SenderReport r;
    if (!field(p, end, UINT32_MAX, false, &negative, &v) || !space(p, end)) return false;
    r.uid = static_cast<uint32_t>(v);
    if (end - p >= 6 && memcmp(p, "video ", 6) == 0) {
        r.video = true;
    } else if (end - p >= 6 && memcmp(p, "audio ", 6) == 0) {
        r.video = false;
    } else {
        return false;
    }
    p += 6;
    if (!field(p, end, UINT32_MAX, false, &negative, &v) || !space(p, end)) return false;
    r.ssrc = static_cast<uint32_t>(v);
    if (!field(p, end, UINT64_MAX, false, &negative, &v) || !space(p, end)) return false;
    r.ntp = v;
    if (!field(p, end, UINT32_MAX, false, &negative, &v) || !space(p, end)) return false;
    r.rtp = static_cast<uint32_t>(v);
    if (!field(p, end, INT64_MAX, true, &negative, &v) || p != end) return false;
    r.capture_us = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    *out = r;
    return true;
}

bool read_sender_reports(const std::string& path, std::vector<SenderReport>* out, FILE* messages) {
    std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "rbe"));
    if (!f) {
        if (errno != ENOENT)
            fprintf(messages, "transcode: %s: cannot read: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    char line[kMaxLine + 2];
    uint64_t bytes = 0;
    uint64_t bad = 0;
    bool first = true;
    bool cut = false;
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        size_t n = strlen(line);
        bytes += n;
        const bool whole = n > 0 && line[n - 1] == '\n';
        if (whole) --n;
        if (!whole && !feof(f.get()) && !first) {
            // Longer than any report: skip the rest of it.
            int c;
            while ((c = fgetc(f.get())) != EOF && c != '\n') ++bytes;
            ++bytes;
            ++bad;
            first = false;
            continue;
        }
        if (first) {
            first = false;
            if (n != strlen(kSenderReportHeader) || memcmp(line, kSenderReportHeader, n) != 0) {
                fprintf(messages,
                        "transcode: %s: not a sender-report file (the first line is not \"%s\"): "
                        "not read\n",
                        path.c_str(), kSenderReportHeader);
                return false;
            }
            continue;
        }
        if (n == 0 || line[0] == '#') continue;
        if (out->size() >= kMaxSenderReports || bytes > kMaxSenderReportBytes) {
            cut = true;
            break;
        }
        SenderReport r;
        if (parse_sender_report(line, n, &r))
            out->push_back(r);
        else
            ++bad;
    }
    if (bad > 0)
        fprintf(messages, "transcode: %s: %" PRIu64 " lines that are no sender report skipped\n",
                path.c_str(), bad);
    if (cut)
        fprintf(messages,
                "transcode: %s: read up to %zu reports or %" PRIu64
                " bytes; the rest is left out\n",
                path.c_str(), kMaxSenderReports, kMaxSenderReportBytes);
    return !out->empty();
}
