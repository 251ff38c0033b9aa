#include "align_outputs.h"

#include <fcntl.h>
#include <ogg/ogg.h>
#include <opus/opus.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "audio_timeline.h"
#include "run_options.h"
#include "run_stats.h"
#include "utils.h"
#include "webm_mux.h"

namespace {

constexpr size_t kIvfHeaderSize = 32;
constexpr size_t kIvfFrameHeadSize = 12;
constexpr size_t kReadSize = 64 * 1024;
// As the WebM step reads IVF timestamps: a step back or on by more than five minutes is a new
// segment one frame interval on; the interval is the last step of at most a second.
constexpr int64_t kMaxVideoStep = int64_t{90000} * 300;
constexpr int64_t kMaxFrameInterval = 90000;
constexpr int64_t kDefaultFrameInterval = 3000;

struct FdCloser {
    int fd = -1;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

bool read_all(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

// Reads the packets of the first logical stream of an Ogg file, one at a time.
class OggReader {
public:
    explicit OggReader(int fd) : fd_(fd) { ogg_sync_init(&sync_); }
    ~OggReader() {
        ogg_sync_clear(&sync_);
        if (have_stream_) ogg_stream_clear(&stream_);
    }
    int serial() const { return serial_; }
    bool next(ogg_packet* op) {
        for (;;) {
            if (have_stream_) {
                const int rc = ogg_stream_packetout(&stream_, op);
                if (rc > 0) return true;
                if (rc < 0) continue;
            }
            ogg_page page;
            const int prc = ogg_sync_pageout(&sync_, &page);
            if (prc < 0) continue;
            if (prc == 0) {
                char* buffer = ogg_sync_buffer(&sync_, static_cast<long>(kReadSize));
                if (buffer == nullptr) return false;
                const ssize_t got = read(fd_, buffer, kReadSize);
                if (got <= 0) return false;
                ogg_sync_wrote(&sync_, static_cast<long>(got));
                continue;
            }
            if (!have_stream_) {
                if (!ogg_page_bos(&page)) continue;
                serial_ = ogg_page_serialno(&page);
                ogg_stream_init(&stream_, serial_);
                have_stream_ = true;
            }
            ogg_stream_pagein(&stream_, &page);
        }
    }

private:
    int fd_;
    ogg_sync_state sync_;
    ogg_stream_state stream_;
    bool have_stream_ = false;
    int serial_ = 0;
};

bool put_pages(int fd, ogg_stream_state* os, bool flush) {
    ogg_page page;
    while (flush ? ogg_stream_flush(os, &page) : ogg_stream_pageout(os, &page)) {
        if (!write_all(fd, page.header, static_cast<size_t>(page.header_len)) ||
            !write_all(fd, page.body, static_cast<size_t>(page.body_len)))
            return false;
    }
    return true;
}

// What the fillers of a file may still cover, as repair mode counts it: kFillMultiple times what
// the packets cover, each counted for at most 20 ms, plus one five-minute allowance, less what
// gaps took already.
int64_t filler_budget(int fd, int64_t filled, uint8_t* stereo) {
    OggReader reader(fd);
    ogg_packet op;
    int64_t covered = 0;
    int index = 0;
    while (reader.next(&op)) {
        if (index++ < 2 || op.bytes < 1) continue;
        if (index == 3) *stereo = op.packet[0] & 0x04;
        const int samples =
            opus_packet_get_nb_samples(op.packet, static_cast<opus_int32>(op.bytes), 48000);
        if (samples > 0)
            covered += samples < AudioTimeline::kMaxCreditSamples
                           ? samples
                           : AudioTimeline::kMaxCreditSamples;
    }
    return AudioTimeline::kFillMultiple * covered + AudioTimeline::kMaxGapSamples - filled;
}

}  // namespace

bool prepend_silence(const std::string& path, int64_t lead, std::string* error) {
    FdCloser in;
    in.fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (in.fd < 0) {
        *error = strerror(errno);
        return false;
    }
    // The new file goes to a temporary file first, then over the old one's bytes: the file stays
    // the one the pass created, which the WebM step checks.
    char temp[] = "/tmp/transcode-align-XXXXXX";
    FdCloser out;
    out.fd = mkstemp(temp);
    if (out.fd < 0) {
        *error = strerror(errno);
        return false;
    }
    unlink(temp);
    OggReader reader(in.fd);
    ogg_stream_state os;
    bool ok = true;
    bool started = false;
    ogg_packet op;
    int index = 0;
    int64_t granule = 0;
    uint8_t stereo = 0;
    while (ok && reader.next(&op)) {
        if (!started) {
            ogg_stream_init(&os, reader.serial());
            started = true;
        }
        ogg_packet copy = op;
        copy.packetno = index;
        if (index < 2) {
            // OpusHead and OpusTags, each on a page of its own.
            copy.granulepos = 0;
            ogg_stream_packetin(&os, &copy);
            ok = put_pages(out.fd, &os, true);
        } else {
            if (index == 2) {
                if (op.bytes > 0) stereo = op.packet[0] & 0x04;
                int64_t pending = lead;
                FillerPacket filler;
                while (ok && AudioTimeline::take_filler(&pending, stereo, &filler)) {
                    granule += filler.samples;
                    ogg_packet gap = {};
                    gap.packet = filler.bytes;
                    gap.bytes = filler.size;
                    gap.granulepos = granule;
                    gap.packetno = index;
                    ogg_stream_packetin(&os, &gap);
                    ok = put_pages(out.fd, &os, false);
                }
            }
            const int samples =
                opus_packet_get_nb_samples(op.packet, static_cast<opus_int32>(op.bytes), 48000);
            granule += samples > 0 ? samples : 0;
            copy.granulepos = granule;
            copy.e_o_s = 0;
            copy.b_o_s = 0;
            ogg_stream_packetin(&os, &copy);
            ok = ok && put_pages(out.fd, &os, false);
        }
        ++index;
    }
    if (started) {
        ok = ok && put_pages(out.fd, &os, true);
        ogg_stream_clear(&os);
    }
    if (!ok || index < 3) {
        *error = ok ? "no audio packet" : strerror(errno);
        return false;
    }
    // Over the old bytes: from here on a failure leaves the file spoilt, so it is reported.
    struct stat st;
    if (fstat(out.fd, &st) != 0 || lseek(out.fd, 0, SEEK_SET) != 0 ||
        lseek(in.fd, 0, SEEK_SET) != 0 || ftruncate(in.fd, 0) != 0) {
        *error = strerror(errno);
        return false;
    }
    std::vector<uint8_t> block(kReadSize);
    for (off_t left = st.st_size; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(kReadSize)));
        if (!read_all(out.fd, block.data(), n) || !write_all(in.fd, block.data(), n)) {
            output_failure(path, "cannot rewrite for --align", errno);
            *error = "cannot rewrite";
            return false;
        }
        left -= static_cast<off_t>(n);
    }
    return true;
}

bool retime_ivf(const std::string& path, double start_us, double scale, std::string* error) {
    FdCloser f;
    f.fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) != 0) {
        *error = strerror(errno);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    // Only an IVF file has frame heads to retime: the Matroska file of a VP9, AV1 or H.264 stream
    // would be overwritten where its bytes happened to fall.
    uint8_t signature[4] = {};
    if (pread(f.fd, signature, sizeof signature, 0) != static_cast<ssize_t>(sizeof signature) ||
        memcmp(signature, "DKIF", 4) != 0) {
        *error = "not an IVF file (only VP8 video is retimed)";
        return false;
    }
    uint64_t pos = kIvfHeaderSize;
    bool started = false;
    uint32_t last = 0;
    int64_t media = 0;  // 90 kHz ticks from the first frame
    int64_t interval = kDefaultFrameInterval;
    int64_t previous = -1;
    while (pos + kIvfFrameHeadSize <= size) {
        uint8_t head[kIvfFrameHeadSize];
        if (pread(f.fd, head, sizeof head, static_cast<off_t>(pos)) !=
            static_cast<ssize_t>(sizeof head)) {
            *error = strerror(errno);
            return false;
        }
        uint32_t frame_size = 0;
        uint32_t rtp = 0;
        for (int i = 3; i >= 0; --i) {
            frame_size = (frame_size << 8) | head[i];
            rtp = (rtp << 8) | head[4 + i];
        }
        if (started) {
            const int64_t step = static_cast<int32_t>(rtp - last);
            if (step < 0 || step > kMaxVideoStep) {
                media += interval;
            } else {
                media += step;
                if (step > 0 && step <= kMaxFrameInterval) interval = step;
            }
        }
        started = true;
        last = rtp;
        int64_t ticks = static_cast<int64_t>(
            std::llround((start_us + static_cast<double>(media) / 0.09 * scale) * 0.09));
        if (ticks <= previous) ticks = previous + 1;
        if (ticks < 0) ticks = 0;
        previous = ticks;
        for (int i = 0; i < 8; ++i)
            head[4 + i] = static_cast<uint8_t>(static_cast<uint64_t>(ticks) >> (8 * i));
        if (pwrite(f.fd, head + 4, 8, static_cast<off_t>(pos + 4)) != 8) {
            output_failure(path, "cannot rewrite for --align", errno);
            *error = "cannot rewrite";
            return false;
        }
        pos += kIvfFrameHeadSize + frame_size;
    }
    return true;
}

void align_outputs(FILE* messages) {
    RunStats& stats = run_stats();
    if (!stats.recording_placed) return;  // said once already: nothing has a place
    std::set<uint32_t> uids;
    for (const auto& entry : stats.video) uids.insert(entry.first);
    for (const auto& entry : stats.audio) uids.insert(entry.first);
    const double base = static_cast<double>(stats.recording_start_us);
    for (uint32_t uid : uids) {
        auto v = stats.video.find(uid);
        auto a = stats.audio.find(uid);
        const StreamStats* video =
            v != stats.video.end() && v->second.output_ok ? &v->second : nullptr;
        const StreamStats* audio =
            a != stats.audio.end() && a->second.output_ok ? &a->second : nullptr;
        if (video == nullptr && audio == nullptr) continue;
        if ((video && !video->clock.placed) || (audio && !audio->clock.placed)) {
            fprintf(messages,
                    "transcode: user %" PRIu32
                    ": not every stream has a place on the recording clock: its files are not "
                    "aligned\n",
                    uid);
            continue;
        }
        const WebmTiming timing = webm_timing(video, audio, base);
        std::string error;
        if (audio) {
            int64_t lead = static_cast<int64_t>(std::llround(timing.audio_start_us * 0.048));
            lead -= lead % AudioTimeline::kFrameSamples;
            FdCloser fd;
            fd.fd = open(audio->output_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            uint8_t stereo = 0;
            const int64_t budget =
                fd.fd < 0 ? 0
                          : filler_budget(fd.fd, static_cast<int64_t>(audio->repair.gap_ms) * 48,
                                          &stereo);
            if (lead > budget) {
                fprintf(messages,
                        "transcode: user %" PRIu32
                        ": %.3f s of silence before the audio would outgrow what the packets "
                        "account for: its files are not aligned\n",
                        uid, static_cast<double>(lead) / 48000);
                continue;
            }
            if (lead > 0 && !prepend_silence(audio->output_file, lead, &error)) {
                fprintf(messages, "transcode: %s: cannot align: %s\n", audio->output_file.c_str(),
                        error.c_str());
                continue;
            }
        }
        if (video &&
            !retime_ivf(video->output_file, timing.video_start_us, timing.video_scale, &error)) {
            fprintf(messages, "transcode: %s: cannot align: %s\n", video->output_file.c_str(),
                    error.c_str());
            continue;
        }
    }
}
