// The readers of the per-user files that the steps after both passes share (the WebM step and the
// meeting composite): each user's IVF (VP8) frames and Ogg Opus packets in time order, one at a
// time, and the output descriptor that libavformat writes through. Nothing holds a whole file.
#pragma once

extern "C" {
#include <libavformat/version.h>
}
#include <ogg/ogg.h>
#include <opus/opus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "utils.h"
#include "webm_mux.h"

namespace webm_read {

// The video timeline follows the RTP timestamps, except where they cannot be time that passed: a
// step back, or a step forward of more than five minutes (a sender that restarted with a new
// random timestamp base). There a new segment of the timeline begins, one frame interval after
// the previous frame. Five minutes is also the longest audio gap that --repair fills.
constexpr int64_t kMaxVideoStep = int64_t{90000} * 300;
// The frame interval is the last step between two frames of at most one second (a longer one is
// a pause); 1/30 s until one is seen.
constexpr int64_t kMaxFrameInterval = 90000;
constexpr int64_t kDefaultFrameInterval = 3000;
constexpr size_t kIvfHeaderSize = 32;
constexpr size_t kIvfFrameHeadSize = 12;
constexpr size_t kOpusHeadMinSize = 19;
constexpr size_t kOggReadSize = 64 * 1024;

uint32_t le16(const uint8_t* p);
uint32_t le32(const uint8_t* p);
uint64_t le64(const uint8_t* p);

// so a symlink is never followed and a file of this run must still be the one the pass created:
// anything else planted under its name would end up in the user's WebM.
// Reads go through a large stdio buffer: with the default one, every frame head and frame cost a
// system call of their own. `buffer` must outlive the stream.
FilePtr open_input(const WebmInput& in, uint64_t* size, std::unique_ptr<char[]>& buffer);

struct SourcePacket {
    std::vector<uint8_t> data;
    int64_t pts = 0;
    int64_t duration = 0;
    bool key = false;
};

// ---- video: IVF frames ---------------------------------------------------------------------

// VP8 key frames: bit 0 of the frame tag is 0, and the start code 9d 01 2a follows the 3-byte tag;
// then the 14-bit width and height (the top 2 bits of each are the scaling mode).
bool vp8_key_frame(const uint8_t* data, size_t size);
bool vp8_key_frame_size(const uint8_t* data, size_t size, int* width, int* height);

class IvfSource {
public:
    // False when the file is missing, unreadable, not an IVF file or holds no frame.
    bool open(const WebmInput& in) {
        file_ = open_input(in, &size_, buffer_);
        if (!file_) return false;
        uint8_t header[kIvfHeaderSize];
        if (fread(header, sizeof(header), 1, file_.get()) != 1 || memcmp(header, "DKIF", 4) != 0)
            return false;
        // The picture size is what the first key frame says; the header's is a fixed guess. A
        // stream without a key frame cannot be decoded anyway and keeps the header's.
        width_ = static_cast<int>(le16(header + 12));
        height_ = static_cast<int>(le16(header + 14));
        bool any = false;
        uint8_t start[10];  // frame tag, start code, width and height
        uint32_t frame_size = 0;
        while (next_head(&frame_size)) {
            any = true;
            const size_t want = std::min<size_t>(frame_size, sizeof(start));
            if (fread(start, 1, want, file_.get()) != want) break;
            if (vp8_key_frame_size(start, want, &width_, &height_)) break;
            if (fseeko(file_.get(), static_cast<off_t>(pos_ + frame_size), SEEK_SET) != 0) break;
            pos_ += frame_size;
        }
        pos_ = kIvfHeaderSize;
        if (!any || fseeko(file_.get(), static_cast<off_t>(pos_), SEEK_SET) != 0) return false;
        return advance();
    }

    int width() const { return width_; }
    int height() const { return height_; }
    uint64_t frames() const { return frames_; }
    bool have() const { return have_current_; }
    // The frame to write next; its duration is the step to the frame after it.
    SourcePacket& current() { return current_; }
    bool advance() {
        have_current_ = false;
        if (!have_next_) have_next_ = read_frame(&next_);
        if (!have_next_) return false;
        std::swap(current_, next_);
        have_current_ = true;
        ++frames_;
        have_next_ = read_frame(&next_);
        // The last picture stays for one frame interval.
        current_.duration = have_next_ ? next_.pts - current_.pts : interval_;
        return true;
    }

private:
    // Reads a frame head; false at the end of the file or a record cut short.
    bool next_head(uint32_t* frame_size) {
        uint8_t head[kIvfFrameHeadSize];
        if (pos_ + kIvfFrameHeadSize > size_) return false;
        if (fread(head, sizeof(head), 1, file_.get()) != 1) return false;
        pos_ += kIvfFrameHeadSize;
        *frame_size = le32(head);
        timestamp_ = le64(head + 4);
        return *frame_size <= size_ - pos_;
    }

    bool read_frame(SourcePacket* out) {
        uint32_t frame_size = 0;
        if (!next_head(&frame_size)) return false;
        out->data.resize(frame_size);
        if (frame_size > 0 && fread(out->data.data(), frame_size, 1, file_.get()) != 1)
            return false;
        pos_ += frame_size;
        // RTP timestamps wrap at 2^32: each step is the signed 32-bit difference. The muxer takes
        // only rising times, and a restarted sender's new base says nothing of the time between.
        const uint32_t rtp = static_cast<uint32_t>(timestamp_);
        if (started_) {
            const int64_t step = static_cast<int32_t>(rtp - last_rtp_);
            if (step < 0 || step > kMaxVideoStep) {
                last_pts_ += interval_;
            } else {
                last_pts_ += step;
                if (step > 0 && step <= kMaxFrameInterval) interval_ = step;
            }
        }
        started_ = true;
        last_rtp_ = rtp;
        out->pts = last_pts_;
        out->key = vp8_key_frame(out->data.data(), out->data.size());
        return true;
    }

    std::unique_ptr<char[]> buffer_;  // stdio buffer of file_, so declared before it
    FilePtr file_;
    uint64_t size_ = 0;
    uint64_t pos_ = kIvfHeaderSize;
    uint64_t timestamp_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool started_ = false;
    uint32_t last_rtp_ = 0;
    int64_t last_pts_ = 0;  // of the frame read last
    int64_t interval_ = kDefaultFrameInterval;
    uint64_t frames_ = 0;
    SourcePacket current_;
    SourcePacket next_;
    bool have_current_ = false;
    bool have_next_ = false;
};

// ---- audio: Ogg Opus packets ---------------------------------------------------------------

struct OggSyncDeleter {
    void operator()(ogg_sync_state* s) const noexcept {
        ogg_sync_clear(s);
        delete s;
    }
};
struct OggStreamDeleter {
    void operator()(ogg_stream_state* s) const noexcept {
        ogg_stream_clear(s);
        delete s;
    }
};

class OggOpusSource {
public:
    // False when the file is missing, unreadable, starts with no OpusHead or holds no audio
    // packet.
    bool open(const WebmInput& in) {
        uint64_t size = 0;
        file_ = open_input(in, &size, buffer_);
        if (!file_) return false;
        sync_.reset(new ogg_sync_state);
        ogg_sync_init(sync_.get());
        std::vector<uint8_t> packet;
        int64_t granule = -1;
        if (!next_packet(&packet, &granule) || packet.size() < kOpusHeadMinSize ||
            memcmp(packet.data(), "OpusHead", 8) != 0)
            return false;
        head_ = packet;
        channels_ = packet[9];
        pre_skip_ = static_cast<int>(le16(packet.data() + 10));
        if (channels_ < 1) return false;
        // The comment header carries nothing a player needs.
        if (!next_packet(&packet, &granule)) return false;
        if (packet.size() < 8 || memcmp(packet.data(), "OpusTags", 8) != 0)
            queue(std::move(packet), granule);
        return advance();
    }

    const std::vector<uint8_t>& opus_head() const { return head_; }
    int channels() const { return channels_; }
    int pre_skip() const { return pre_skip_; }
    uint64_t packets() const { return packets_; }
    bool have() const { return !ready_.empty(); }
    SourcePacket& current() { return ready_.front(); }

    // Packet times come from the granule positions, which only the last packet completed on a
    // page carries: packets wait for it, then each starts where the next one's samples begin.
    // Times count from the first packet's start.
    bool advance() {
        if (!ready_.empty()) ready_.pop_front();
        while (ready_.empty()) {
            std::vector<uint8_t> data;
            int64_t granule = -1;
            if (!next_packet(&data, &granule)) {
                release(-1);
                if (ready_.empty()) return false;
                break;
            }
            queue(std::move(data), granule);
        }
        ++packets_;
        return true;
    }

private:
    void queue(std::vector<uint8_t>&& data, int64_t granule) {
        SourcePacket p;
        p.data = std::move(data);
        const int samples = opus_packet_get_nb_samples(
            p.data.data(), static_cast<opus_int32>(p.data.size()), 48000);
        p.duration = samples > 0 ? samples : 0;
        p.key = true;
        waiting_.push_back(std::move(p));
        if (granule >= 0) release(granule);
    }

    void release(int64_t end_granule) {
        if (waiting_.empty()) return;
        if (end_granule >= 0) {
            int64_t end = end_granule;
            for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it) {
                end -= it->duration;
                it->pts = end;
            }
        } else {
            // No granule after these packets (a last page cut short): they follow on.
            int64_t start = started_ ? next_start_ : 0;
            for (auto& p : waiting_) {
                p.pts = start;
                start += p.duration;
            }
        }
        if (!started_) {
            started_ = true;
            origin_ = waiting_.front().pts;
        }
        for (auto& p : waiting_) {
            p.pts = std::max(p.pts - origin_, last_pts_);
            last_pts_ = p.pts;
            next_start_ = p.pts + p.duration + origin_;
            ready_.push_back(std::move(p));
        }
        waiting_.clear();
    }

    // The next packet of the first logical stream; false at the end of the file.
    bool next_packet(std::vector<uint8_t>* data, int64_t* granule) {
        for (;;) {
            if (stream_) {
                ogg_packet op;
                const int rc = ogg_stream_packetout(stream_.get(), &op);
                if (rc > 0) {
                    data->assign(op.packet, op.packet + op.bytes);
                    *granule = op.granulepos;
                    return true;
                }
                // rc < 0: a gap in the page sequence; the packets after it are still good.
                if (rc < 0) continue;
            }
            ogg_page page;
            const int prc = ogg_sync_pageout(sync_.get(), &page);
            if (prc < 0) continue;  // bytes skipped to the next page
            if (prc == 0) {
                char* buffer = ogg_sync_buffer(sync_.get(), static_cast<long>(kOggReadSize));
                if (buffer == nullptr) return false;
                const size_t got = fread(buffer, 1, kOggReadSize, file_.get());
                if (got == 0) return false;
                ogg_sync_wrote(sync_.get(), static_cast<long>(got));
                continue;
            }
            if (!stream_) {
                if (!ogg_page_bos(&page)) continue;
                stream_.reset(new ogg_stream_state);
                ogg_stream_init(stream_.get(), ogg_page_serialno(&page));
            }
            // Pages of other logical streams are refused here.
            ogg_stream_pagein(stream_.get(), &page);
        }
    }

    std::unique_ptr<char[]> buffer_;  // stdio buffer of file_, so declared before it
    FilePtr file_;
    std::unique_ptr<ogg_sync_state, OggSyncDeleter> sync_;
    std::unique_ptr<ogg_stream_state, OggStreamDeleter> stream_;
    std::vector<uint8_t> head_;
    int channels_ = 0;
    int pre_skip_ = 0;
    uint64_t packets_ = 0;
    bool started_ = false;
    int64_t origin_ = 0;
    int64_t next_start_ = 0;  // granule position where the last released packet ends
    int64_t last_pts_ = 0;
    std::deque<SourcePacket> waiting_;
    std::deque<SourcePacket> ready_;
};

// The output descriptor as libavformat's I/O: writes go straight to it, and seeks let the muxer
// go back for the Cues, the duration and the sizes.
struct OutputFd {
    int fd = -1;
    int error = 0;  // errno of the first failed write or seek
    ~OutputFd() {
        if (fd >= 0) close(fd);
    }
};

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int write_fd(void* opaque, const uint8_t* buf, int size);
#else
int write_fd(void* opaque, uint8_t* buf, int size);
#endif
int64_t seek_fd(void* opaque, int64_t offset, int whence);

}  // namespace webm_read
