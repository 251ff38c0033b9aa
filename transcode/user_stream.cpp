#include "user_stream.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "run_options.h"
#include "sdp_map.h"
#include "stream_count.h"
#include "vp8_unpack.h"

namespace {

// A packet that does not reach the writer: dropped, said on stderr and counted.
void drop_packet(uint32_t uid, size_t size, const char* why) {
    fprintf(stderr, "transcode: user %" PRIu32 ": packet of %zu bytes skipped: %s\n", uid, size,
            why);
    ++run_stats().records_refused;
}

}  // namespace

UserStream::UserStream(uint32_t uid, bool video, InputLoans* loans)
    : uid_(uid), video_(video), stats_((video ? run_stats().video : run_stats().audio)[uid]) {
    if (video)
        video_writer_ = std::make_unique<userVideo>(uid);
    else
        audio_writer_ = std::make_unique<muopus::user_audio>(uid);
    if (video_writer_) video_writer_->observers = &observers_;
    if (audio_writer_) audio_writer_->observers = &observers_;
    if (!run_options.repair) {
        sniffer_.emplace(video);
        return;
    }
    reorder_ =
        std::make_unique<ReorderWindow>(run_options.reorder_window, &stats_.repair,
                                        video ? rtp_vp8_refused : streams::rtp_without_payload);
    const streams::SdpMap* sdp = streams::run_sdp();
    unwrap_ = std::make_unique<streams::StreamUnwrap>(
        video, &stats_, sdp ? (video ? &sdp->video : &sdp->audio) : nullptr);
    if (video && run_options.fec) {
        // The first FEC packet that comes binds a FecRecovery to the reorder stage, so a stream
        // without FEC pays nothing.
        fec_ = std::make_unique<FecFeed>(reorder_.get(), &stats_.repair, loans);
        if (sdp && sdp->video.present) fec_->set_extensions(sdp->video.ext);
        unwrap_->set_fec_hook(fec_->hook());
    }
}

UserStream::~UserStream() {
    // The stages first, then FEC recovery they call into, then the writer.
    reorder_.reset();
    unwrap_.reset();
    fec_.reset();
}

void UserStream::write(const uint8_t* packet, size_t size) {
    if (video_) {
        video_writer_->put_rtp_data(packet, size);
        return;
    }
    // A packet released as it came lies in the record itself (unwrapped in place, perhaps a few
    // bytes in): the writer takes the record over.
    uint8_t* record = record_.get();
    if (packet != nullptr && record != nullptr && packet >= record &&
        packet < record + record_size_) {
        if (packet != record) memmove(record, packet, size);
        audio_writer_->put_rtp_data(std::move(record_), size);
    } else {
        put_audio_copy(packet, size);
    }
}

void UserStream::put_audio_copy(const uint8_t* packet, size_t size) {
    std::unique_ptr<uint8_t[]> copy;
    if (size > 0) {
        copy.reset(new (std::nothrow) uint8_t[size]);
        if (!copy) {
            drop_packet(uid_, size, "out of memory");
            return;
        }
        memcpy(copy.get(), packet, size);
    }
    audio_writer_->put_rtp_data(std::move(copy), size);
}

void UserStream::drain_reorder() {
    const uint8_t* packet = nullptr;
    size_t size = 0;
    while (reorder_->pop(&packet, &size)) write(packet, size);
}

// Pushes what the unwrap stage yields into the reorder stage, handing on what that releases. No
// RTP packet is longer than 65,535 bytes: a longer one is refused here, so that the stage never
// holds more than that per packet.
void UserStream::unwrap_into_writer() {
    const uint8_t* packet = nullptr;
    size_t size = 0;
    while (unwrap_->next(&packet, &size)) {
        ReorderWindow::Verdict verdict = ReorderWindow::Verdict::no_memory;
        if (size > ReorderWindow::kMaxPacketSize) {
            drop_packet(uid_, size, "longer than 65535 bytes");
        } else {
            verdict = reorder_->push(packet, size);
            if (verdict == ReorderWindow::Verdict::no_memory)
                drop_packet(uid_, size, "out of memory");
        }
        unwrap_->pushed(verdict);
        drain_reorder();
    }
}

void UserStream::put_video(uint8_t* data, size_t length, const StreamRecord& seen) {
    observers_.record(uid_, seen);
    if (sniffer_) {
        const uint16_t next_seq = static_cast<uint16_t>(stats_.last_seq + 1);
        count_record(stats_, data, length);
        if (stats_.packets <= streams::WrapSniffer::kSample || stats_.last_seq != next_seq)
            sniffer_->see(data, length);
        video_writer_->put_rtp_data(data, length);
        return;
    }
    ++stats_.packets;
    stats_.bytes += length;
    unwrap_->take(data, length);
    unwrap_into_writer();
}

void UserStream::put_audio(std::unique_ptr<uint8_t[]> data, size_t length,
                           const StreamRecord& seen) {
    observers_.record(uid_, seen);
    if (sniffer_) {
        const uint16_t next_seq = static_cast<uint16_t>(stats_.last_seq + 1);
        count_record(stats_, data.get(), length);
        if (stats_.packets <= streams::WrapSniffer::kSample || stats_.last_seq != next_seq)
            sniffer_->see(data.get(), length);
        audio_writer_->put_rtp_data(std::move(data), length);
        return;
    }
    ++stats_.packets;
    stats_.bytes += length;
    record_ = std::move(data);
    record_size_ = length;
    unwrap_->take(record_.get(), length);
    unwrap_into_writer();
    record_.reset();
}

void UserStream::print_hint() const {
    if (sniffer_) streams::print_wrap_hint(uid_, video_, sniffer_->saw());
}

void UserStream::end_stages() {
    if (!unwrap_) return;
    unwrap_->finish();
    unwrap_into_writer();
    reorder_->flush();
    drain_reorder();
    reorder_.reset();
    unwrap_.reset();
    fec_.reset();
}

void UserStream::close() {
    if (video_writer_) {
        userVideo& w = *video_writer_;
        w.flush_all();
        stats_.output_file = w.name;
        stats_.output_ok = !w.name.empty() && !output_failed(w.name);
        stats_.frames_written = w.frame_count;
        stats_.frames_dropped = w.frames_dropped;
        video_writer_.reset();
        return;
    }
    muopus::user_audio& w = *audio_writer_;
    w.flush_all();
    stats_.output_file = w.name;
    stats_.output_ok = !w.name.empty() && !output_failed(w.name);
    stats_.packets_written = w.packets_written;
    stats_.packets_refused = w.packets_refused;
    stats_.last_granule = w.granule;
    audio_writer_.reset();
}
