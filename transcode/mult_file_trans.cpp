#include "mult_file_trans.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <new>
#include <tuple>

#include "progress.h"
#include "run_options.h"
#include "run_stats.h"
#include "sdp_map.h"
#include "stream_count.h"
#include "vp8_unpack.h"

namespace {

// Capture files are read strictly sequentially, in large blocks.
constexpr size_t kInputBufferSize = 1 << 20;
// While FEC recovery borrows from the read-ahead, each buffer is larger: a packet it still keeps
// when its buffer is recalled is copied, and it keeps each user's last 128 packets, so with eight
// users sending 1,200-byte packets 1 MiB would see a third of them copied and 2 MiB none.
constexpr size_t kLentBufferSize = 2 << 20;
constexpr size_t kVideoHeadSize = 8;
constexpr size_t kAudioHeadSize = 16;
// No frame may exceed the reassembly's 10,485,760 bytes, so no real record comes near this; a
// longer Length is refused before anything is allocated for it.
constexpr uint64_t kMaxRecordLength = 16777216;

uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Opens a capture file for reading. Only regular files are read: a FIFO would block the run until
// a writer appears, and a device could deliver bytes for ever.
FILE* open_capture(const std::string& path, uint64_t* size) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    // O_NONBLOCK only guards the open; a file system that honoured it on a regular file could
    // turn a would-block into a silent end of file.
    const int flags = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return nullptr;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return f;
}

// The user's reorder stage, made at their first packet with its counters in `stats[uid]`.
ReorderWindow& reorder_stage(std::map<uint32_t, std::unique_ptr<ReorderWindow>>& stages,
                             uint32_t uid, std::map<uint32_t, StreamStats>& stats,
                             ReorderWindow::SkipTest skip) {
    std::unique_ptr<ReorderWindow>& stage = stages[uid];
    if (!stage)
        stage =
            std::make_unique<ReorderWindow>(run_options.reorder_window, &stats[uid].repair, skip);
    return *stage;
}

// Hands every packet the stage releases to `put`.
template <typename Put>
void drain(ReorderWindow& stage, Put put) {
    const uint8_t* packet = nullptr;
    size_t size = 0;
    while (stage.pop(&packet, &size)) put(packet, size);
}

// A packet that does not reach the writer: dropped, said on stderr and counted.
void drop_packet(uint32_t uid, size_t size, const char* why) {
    fprintf(stderr, "transcode: user %" PRIu32 ": packet of %zu bytes skipped: %s\n", uid, size,
            why);
    ++run_stats().records_refused;
}

void drop_for_memory(uint32_t uid, size_t size) {
    drop_packet(uid, size, "out of memory");
}

// Hands a packet to the user's reorder stage. No RTP packet is longer than 65,535 bytes: a longer
// record is refused here, so that the stage never holds more than that per packet.
ReorderWindow::Verdict push_to_stage(ReorderWindow& stage, uint32_t uid, const uint8_t* data,
                                     uint64_t length) {
    if (length > ReorderWindow::kMaxPacketSize) {
        drop_packet(uid, static_cast<size_t>(length), "longer than 65535 bytes");
        return ReorderWindow::Verdict::no_memory;
    }
    const ReorderWindow::Verdict verdict = stage.push(data, static_cast<size_t>(length));
    if (verdict == ReorderWindow::Verdict::no_memory)
        drop_for_memory(uid, static_cast<size_t>(length));
    return verdict;
}

// ---- The unwrap stage in front of the reorder stage (repair mode) ----------------------------

// `made`, when given, is set when the stage was made just now.
streams::StreamUnwrap& unwrap_stage(
    std::map<uint32_t, std::unique_ptr<streams::StreamUnwrap>>& stages, uint32_t uid,
    StreamStats& stats, bool video, bool* made = nullptr) {
    std::unique_ptr<streams::StreamUnwrap>& stage = stages[uid];
    if (!stage) {
        const streams::SdpMap* sdp = streams::run_sdp();
        stage = std::make_unique<streams::StreamUnwrap>(
            video, &stats, sdp ? (video ? &sdp->video : &sdp->audio) : nullptr);
        if (made) *made = true;
    }
    return *stage;
}

// FEC recovery of a user's video stream: the unwrap stage hands FEC packets to the feed, which
// binds a FecRecovery to the reorder stage at the first one (so a stream without FEC pays nothing).
void feed_fec(std::map<uint32_t, std::unique_ptr<FecFeed>>& feeds, uint32_t uid,
              streams::StreamUnwrap& unwrap, ReorderWindow& stage, RepairStats& stats,
              InputLoans* loans) {
    std::unique_ptr<FecFeed>& feed = feeds[uid];
    feed = std::make_unique<FecFeed>(&stage, &stats, loans);
    const streams::SdpMap* sdp = streams::run_sdp();
    if (sdp && sdp->video.present) feed->set_extensions(sdp->video.ext);
    unwrap.set_fec_hook(feed->hook());
}

// Pushes what the unwrap stage yields into the reorder stage, handing on what that releases.
template <typename Put>
void unwrap_into(streams::StreamUnwrap& unwrap, ReorderWindow& stage, uint32_t uid, Put put) {
    const uint8_t* packet = nullptr;
    size_t size = 0;
    while (unwrap.next(&packet, &size)) {
        unwrap.pushed(push_to_stage(stage, uid, packet, size));
        drain(stage, put);
    }
}

void sniff(std::map<uint32_t, streams::WrapSniffer>& sniffers, uint32_t uid, bool video,
           const uint8_t* packet, size_t size) {
    auto it = sniffers.find(uid);
    if (it == sniffers.end())
        it = sniffers
                 .emplace(std::piecewise_construct, std::forward_as_tuple(uid),
                          std::forward_as_tuple(video))
                 .first;
    it->second.see(packet, size);
}

void print_hints(const std::map<uint32_t, streams::WrapSniffer>& sniffers, bool video) {
    for (const auto& entry : sniffers)
        streams::print_wrap_hint(entry.first, video, entry.second.saw());
}

// --sdp: says once per user and kind how many packets the SDP's payload types left out, since an
// SDP of another call would otherwise leave the files empty without a word.
void print_unnamed(const std::map<uint32_t, StreamStats>& streams, bool video) {
    for (const auto& entry : streams) {
        const uint64_t n = entry.second.repair.sdp_unnamed;
        if (n == 0) continue;
        fprintf(stderr,
                "transcode: user %" PRIu32 ": %" PRIu64
                " %s packets of payload types the SDP does not name were left out\n",
                entry.first, n, video ? "video" : "audio");
    }
}

void put_audio_copy(muopus::user_audio& writer, const uint8_t* packet, size_t size) {
    std::unique_ptr<uint8_t[]> copy;
    if (size > 0) {
        copy.reset(new (std::nothrow) uint8_t[size]);
        if (!copy) {
            drop_for_memory(writer.uid, size);
            return;
        }
        memcpy(copy.get(), packet, size);
    }
    writer.put_rtp_data(std::move(copy), size);
}

}  // namespace

MultFileTrans::MultFileTrans() = default;

MultFileTrans::~MultFileTrans() {
    // The stages first, then FEC recovery, then the read-ahead it may borrow from.
    video_reorder.clear();
    video_unwrap.clear();
    video_fec.clear();
    cur_file.reset();
    audio_writers.clear();
    video_writers.clear();
}

void MultFileTrans::set_all_files(const std::vector<std::string>& files) {
    file_queue.insert(file_queue.end(), files.begin(), files.end());
}

void MultFileTrans::start_trans_code(bool video) {
    if (video)
        start_trans_video();
    else
        start_trans_audio();
}

bool MultFileTrans::get_next_file() {
    if (file_queue.empty()) return false;
    const std::string path = std::move(file_queue.front());
    file_queue.pop_front();
    cur_file.reset();
    cur_pos_ = 0;
    cur_size_ = 0;
    in_begin_ = in_end_ = 0;
    cur_path_ = path;
    cur_file.reset(open_capture(path, &cur_size_));
    if (cur_file) ++run_stats().files_read;
    // The read-ahead buffer is the only buffer: stdio's would copy every byte once more.
    if (cur_file) setvbuf(cur_file.get(), nullptr, _IONBF, 0);
    return true;
}

// Makes `n` bytes of the current file available at in_begin_; false when the file ends first.
bool MultFileTrans::fill(uint64_t n) {
    const size_t have = in_end_ - in_begin_;
    if (have >= n) return true;
    if (n > in_cap_) {
        // Only a record that the file really holds and that is within the record limit gets
        // here, so the buffer never outgrows the largest record present.
        const size_t cap = n > kInputBufferSize ? static_cast<size_t>(n) : kInputBufferSize;
        std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[cap]);
        if (!grown) return false;
        if (have > 0) memcpy(grown.get(), in_buf_.get() + in_begin_, have);
        if (loans_.active()) {
            // The outgrown buffer may still be lent: it becomes the spare one.
            loans_.recall_previous();
            spare_buf_ = std::move(in_buf_);
            spare_cap_ = in_cap_;
        }
        in_buf_ = std::move(grown);
        in_cap_ = cap;
        in_begin_ = 0;
        in_end_ = in_high_ = have;
        loans_.lend(in_buf_.get(), in_cap_);
    } else if (loans_.active() && (in_begin_ + n > in_cap_ || in_end_ < in_high_)) {
        // Bytes handed out from this buffer are about to be overwritten: read into the other one.
        move_to_spare_buffer(have);
    } else if (in_begin_ + n > in_cap_) {
        memmove(in_buf_.get(), in_buf_.get() + in_begin_, have);
        in_begin_ = 0;
        in_end_ = in_high_ = have;
    }
    while (in_end_ - in_begin_ < n) {
        // At most a block at a time into a larger buffer, so that what is read is still in the
        // cache when it is parsed.
        const size_t want = std::max<size_t>(n - (in_end_ - in_begin_), kInputBufferSize);
        const size_t got =
            fread(in_buf_.get() + in_end_, 1, std::min(want, in_cap_ - in_end_), cur_file.get());
        if (got == 0) return false;
        in_end_ += got;
        if (in_end_ > in_high_) in_high_ = in_end_;
        run_stats().bytes_read += got;
        progress_advance(got);
    }
    return true;
}

// Goes on in the spare buffer with the `have` bytes not yet consumed, leaving the current one as
// it is for its borrowers; the spare one is recalled first. Without the memory for a spare buffer
// the current one is recalled and reused.
void MultFileTrans::move_to_spare_buffer(size_t have) {
    loans_.recall_previous();
    const size_t cap = std::max(in_cap_, kLentBufferSize);
    if (spare_cap_ < cap) {
        spare_buf_.reset(new (std::nothrow) uint8_t[cap]);
        spare_cap_ = spare_buf_ ? cap : 0;
    }
    if (spare_buf_ && spare_cap_ >= have) {
        if (have > 0) memcpy(spare_buf_.get(), in_buf_.get() + in_begin_, have);
        std::swap(in_buf_, spare_buf_);
        std::swap(in_cap_, spare_cap_);
    } else {
        loans_.lend(in_buf_.get(), in_cap_);  // the same buffer afresh: its borrowers copy now
        loans_.recall_previous();
        memmove(in_buf_.get(), in_buf_.get() + in_begin_, have);
    }
    in_begin_ = 0;
    in_end_ = in_high_ = have;
    loans_.lend(in_buf_.get(), in_cap_);
}

// The stages that borrowed from the read-ahead are done with it.
void MultFileTrans::end_loans() {
    loans_.close();
    spare_buf_.reset();
    spare_cap_ = 0;
}

const uint8_t* MultFileTrans::take(uint64_t n) {
    const uint8_t* p = in_buf_.get() + in_begin_;
    in_begin_ += n;
    cur_pos_ += n;
    return p;
}

// Consumes `n` bytes of the current file without reading them; false when the seek fails.
bool MultFileTrans::skip(uint64_t n) {
    const size_t have = in_end_ - in_begin_;
    if (n <= have) {
        take(n);
        return true;
    }
    in_begin_ = in_end_ = 0;
    cur_pos_ += n;
    return fseeko(cur_file.get(), static_cast<off_t>(n - have), SEEK_CUR) == 0;
}

// Says on stderr why the record whose head is at byte `at` is not converted and counts it.
void MultFileTrans::refuse(uint64_t at, uint64_t len, const char* why) {
    fprintf(stderr, "transcode: %s: record at byte %" PRIu64 " (%" PRIu64 " bytes) skipped: %s\n",
            cur_path_.c_str(), at, len, why);
    ++run_stats().records_refused;
}

// Reads the `len` bytes of the record whose head is at `at` into the read-ahead. A record over
// the limit, or one the memory cannot hold, is refused and skipped, and the file goes on after
// it. False when the record is not there to take; the current file is closed when it ends.
bool MultFileTrans::fill_record(uint64_t at, uint64_t len) {
    if (len <= kMaxRecordLength) {
        if (fill(len)) return true;
        if (in_cap_ >= len) {  // there was room: the file ended first
            ++run_stats().records_cut_short;
            cur_file.reset();
            return false;
        }
    }
    refuse(at, len, len > kMaxRecordLength ? "longer than 16777216 bytes" : "out of memory");
    if (!skip(len)) cur_file.reset();
    return false;
}

bool MultFileTrans::remaining_at_least(uint64_t n) const {
    if (cur_pos_ <= cur_size_ && cur_size_ - cur_pos_ >= n) return true;
    // The file may have grown since it was opened; look again before calling the record cut short.
    struct stat st;
    if (fstat(fileno(cur_file.get()), &st) != 0) return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    return cur_pos_ <= size && size - cur_pos_ >= n;
}

const uint8_t* MultFileTrans::read_next_video_data(uint64_t* length, uint32_t* uid) {
    *length = 0;
    *uid = 0;
    for (;;) {
        if (!cur_file) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill(kVideoHeadSize)) {
            if (in_end_ > in_begin_) ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        const uint64_t at = cur_pos_;
        const uint8_t* head = take(kVideoHeadSize);
        const uint32_t len = load_le32(head);
        const uint32_t id = load_le32(head + 4);
        // A Length beyond the end of the file is a cut-short record: drop it without allocating
        // what a corrupt head announces.
        if (!remaining_at_least(len)) {
            ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill_record(at, len)) continue;
        if (len > 0) ++run_stats().records_read;
        *length = len;
        *uid = id;
        return take(len);
    }
}

int MultFileTrans::read_audio_info(uint64_t* length, uint32_t* uid) {
    *uid = 0;
    if (!fill(kAudioHeadSize)) return -1;
    // 8 leading bytes that are not interpreted, then the user id and the length.
    const uint8_t* head = take(kAudioHeadSize);
    *length = load_le32(head + 12);
    *uid = load_le32(head + 8);
    return 0;
}

std::unique_ptr<uint8_t[]> MultFileTrans::read_next_audio_data(uint64_t* length, uint32_t* uid) {
    *length = 0;
    *uid = 0;
    for (;;) {
        if (!cur_file) {
            if (!get_next_file()) return nullptr;
            continue;
        }
        uint64_t len = 0;
        uint32_t id = 0;
        const uint64_t at = cur_pos_;
        if (read_audio_info(&len, &id) != 0) {
            if (in_end_ > in_begin_) ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!remaining_at_least(len)) {
            ++run_stats().records_cut_short;
            if (!get_next_file()) return nullptr;
            continue;
        }
        if (!fill_record(at, len)) continue;
        // The writer takes ownership of the packet, so it gets a block of its own.
        std::unique_ptr<uint8_t[]> data;
        if (len > 0) {
            data.reset(new (std::nothrow) uint8_t[len]);
            const uint8_t* bytes = take(len);
            if (!data) {
                refuse(at, len, "out of memory");
                continue;
            }
            memcpy(data.get(), bytes, len);
            ++run_stats().records_read;
        }
        *length = len;
        *uid = id;
        return data;
    }
}

void MultFileTrans::start_trans_video() {
    for (;;) {
        uint64_t length = 0;
        uint32_t uid = 0;
        const uint8_t* data = read_next_video_data(&length, &uid);
        if (length == 0) break;
        std::unique_ptr<userVideo>& writer = video_writers[uid];
        if (!writer) writer = std::make_unique<userVideo>(uid);
        StreamStats& stats = run_stats().video[uid];
        if (!run_options.repair) {
            const uint16_t next_seq = static_cast<uint16_t>(stats.last_seq + 1);
            count_record(stats, data, length);
            if (stats.packets <= streams::WrapSniffer::kSample || stats.last_seq != next_seq)
                sniff(video_sniff, uid, true, data, length);
            writer->put_rtp_data(data, length);
            continue;
        }
        ++stats.packets;
        stats.bytes += length;
        ReorderWindow& stage =
            reorder_stage(video_reorder, uid, run_stats().video, rtp_vp8_refused);
        bool made = false;
        streams::StreamUnwrap& unwrap = unwrap_stage(video_unwrap, uid, stats, true, &made);
        if (made && run_options.fec) feed_fec(video_fec, uid, unwrap, stage, stats.repair, &loans_);
        // The record lies in this pass's own read-ahead buffer and is read once: the unwrap stage
        // may rewrite it in place.
        unwrap.take(const_cast<uint8_t*>(data), length);
        unwrap_into(unwrap, stage, uid,
                    [&](const uint8_t* p, size_t n) { writer->put_rtp_data(p, n); });
    }
    cur_file.reset();
    progress_end();
    print_hints(video_sniff, true);
    for (auto& entry : video_reorder) {
        userVideo& writer = *video_writers[entry.first];
        streams::StreamUnwrap& unwrap = *video_unwrap[entry.first];
        unwrap.finish();
        unwrap_into(unwrap, *entry.second, entry.first,
                    [&](const uint8_t* p, size_t n) { writer.put_rtp_data(p, n); });
        entry.second->flush();
        drain(*entry.second, [&](const uint8_t* p, size_t n) { writer.put_rtp_data(p, n); });
    }
    video_reorder.clear();
    video_unwrap.clear();
    end_loans();        // nothing is recovered any more: what FEC recovery borrowed is not needed
    video_fec.clear();  // after the stages that call into it
    print_unnamed(run_stats().video, true);
    for (auto& entry : video_writers) {
        entry.second->flush_all();
        StreamStats& stats = run_stats().video[entry.first];
        stats.output_file = entry.second->name;
        stats.output_ok = !entry.second->name.empty() && !output_failed(entry.second->name);
        stats.frames_written = entry.second->frame_count;
        stats.frames_dropped = entry.second->frames_dropped;
    }
    fputs("trans video sucess\n", stdout);
    fflush(stdout);
    video_writers.clear();
}

void MultFileTrans::start_trans_audio() {
    for (;;) {
        uint64_t length = 0;
        uint32_t uid = 0;
        std::unique_ptr<uint8_t[]> data = read_next_audio_data(&length, &uid);
        if (length == 0) break;
        std::unique_ptr<muopus::user_audio>& writer = audio_writers[uid];
        if (!writer) writer = std::make_unique<muopus::user_audio>(uid);
        StreamStats& stats = run_stats().audio[uid];
        if (!run_options.repair) {
            const uint16_t next_seq = static_cast<uint16_t>(stats.last_seq + 1);
            count_record(stats, data.get(), length);
            if (stats.packets <= streams::WrapSniffer::kSample || stats.last_seq != next_seq)
                sniff(audio_sniff, uid, false, data.get(), length);
            writer->put_rtp_data(std::move(data), length);
            continue;
        }
        ++stats.packets;
        stats.bytes += length;
        ReorderWindow& stage =
            reorder_stage(audio_reorder, uid, run_stats().audio, streams::rtp_without_payload);
        streams::StreamUnwrap& unwrap = unwrap_stage(audio_unwrap, uid, stats, false);
        unwrap.take(data.get(), length);
        unwrap_into(unwrap, stage, uid, [&](const uint8_t* p, size_t n) {
            // A packet released as it came lies in the record itself (unwrapped in place, perhaps
            // a few bytes in): the writer takes the record over.
            uint8_t* record = data.get();
            if (p != nullptr && record != nullptr && p >= record && p < record + length) {
                if (p != record) memmove(record, p, n);
                writer->put_rtp_data(std::move(data), n);
            } else {
                put_audio_copy(*writer, p, n);
            }
        });
    }
    cur_file.reset();
    progress_end();
    print_hints(audio_sniff, false);
    for (auto& entry : audio_reorder) {
        muopus::user_audio& writer = *audio_writers[entry.first];
        streams::StreamUnwrap& unwrap = *audio_unwrap[entry.first];
        unwrap.finish();
        unwrap_into(unwrap, *entry.second, entry.first,
                    [&](const uint8_t* p, size_t n) { put_audio_copy(writer, p, n); });
        entry.second->flush();
        drain(*entry.second, [&](const uint8_t* p, size_t n) { put_audio_copy(writer, p, n); });
    }
    audio_reorder.clear();
    audio_unwrap.clear();
    print_unnamed(run_stats().audio, false);
    for (auto& entry : audio_writers) {
        entry.second->flush_all();
        StreamStats& stats = run_stats().audio[entry.first];
        stats.output_file = entry.second->name;
        stats.output_ok = !entry.second->name.empty() && !output_failed(entry.second->name);
        stats.packets_written = entry.second->packets_written;
        stats.packets_refused = entry.second->packets_refused;
        stats.last_granule = entry.second->granule;
    }
    fputs("trans audio sucess \n", stdout);
    fflush(stdout);
    audio_writers.clear();
}
