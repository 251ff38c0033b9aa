#include "user_stream.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "rtp_packet.h"
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
    // Repair mode makes the video writer once the codec is known; the default mode writes VP8.
    if (video && !run_options.repair) video_writer_ = std::make_unique<userVideo>(uid);
    if (!video) audio_writer_ = std::make_unique<muopus::user_audio>(uid);
    if (video_writer_) video_writer_->observers = &observers_;
    if (audio_writer_) audio_writer_->observers = &observers_;
    if (!run_options.repair) {
        sniffer_.emplace(video);
        if (video) sniff_codec_ = std::make_unique<CodecDetector>();
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
        write_video(packet, size);
        return;
    }
    if (run_options.repair && !audio_converted(packet, size)) return;
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

namespace {

// The RTP payload of a packet; false when it does not parse.
bool payload_of(const uint8_t* packet, size_t size, rtp_packet_t* pkt) {
    return packet && size <= 0x7FFFFFFF &&
           rtp_packet_deserialize(pkt, packet, static_cast<int>(size)) == 0;
}

// The audio codecs of RFC 3551's static payload types (0-34); none is Opus.
const char* static_audio_name(unsigned pt) {
    static const char* const names[35] = {"PCMU", "1016", "G721", "GSM",  "G723", "DVI4",  "DVI4",
                                          "LPC",  "PCMA", "G722", "L16",  "L16",  "QCELP", "CN",
                                          "MPA",  "G728", "DVI4", "DVI4", "G729", "",      "",
                                          "",     "",     "",     "",     "",     "",      "",
                                          "",     "",     "",     "",     "",     "",      ""};
    return pt < 35 ? names[pt] : nullptr;
}

}  // namespace

// Repair mode: whether the audio stream is Opus. The SDP's encoding name of the payload type
// decides, else a static payload type (RFC 3551) says it is another codec. Comfort noise and
// telephone events ride beside Opus and decide nothing.
bool UserStream::audio_converted(const uint8_t* packet, size_t size) {
    if (decided_) {
        if (unconverted_) ++stats_.unconverted;
        return !unconverted_;
    }
    if (!packet || size < 12) return true;
    const unsigned pt = packet[1] & 0x7F;
    const streams::SdpMap* sdp = streams::run_sdp();
    std::string name;
    if (sdp && sdp->audio.present)
        name = sdp->audio.name[pt];
    else if (const char* s = static_audio_name(pt))
        name = *s ? s : "a static payload type";
    else
        name = "opus";
    if (strcasecmp(name.c_str(), "telephone-event") == 0 || strcasecmp(name.c_str(), "CN") == 0)
        return true;
    decided_ = true;
    if (name.empty() || strcasecmp(name.c_str(), "opus") == 0) {
        stats_.codec = "Opus";
        return true;
    }
    unconverted_ = true;
    unconverted_pt_ = static_cast<uint8_t>(pt);
    stats_.codec = "unknown";
    stats_.codec_seen = name;
    stats_.unconverted = 1;
    ++run_stats().streams_not_converted;
    return false;
}

// Repair mode, video: the codec is told first (the SDP's a=rtpmap, else the packets' structure);
// the packets until then are held and go to the writer made for that codec.
void UserStream::write_video(const uint8_t* packet, size_t size) {
    if (video_writer_) {
        video_writer_->put_rtp_data(packet, size);
        return;
    }
    if (unconverted_) {
        ++stats_.unconverted;
        return;
    }
    rtp_packet_t pkt;
    if (!payload_of(packet, size, &pkt)) return;  // the depacketizers refuse it too
    if (held_.empty()) unconverted_pt_ = static_cast<uint8_t>(pkt.rtp.pt);
    const streams::SdpMap* sdp = streams::run_sdp();
    if (sdp && sdp->video.present) {
        const std::string& name = sdp->video.name[pkt.rtp.pt];
        const VideoCodec codec = codec_of_sdp_name(name.c_str());
        if (codec != VideoCodec::unknown || !name.empty()) {
            held_.emplace_back(packet, packet + size);
            decide(codec, name.c_str());
            return;
        }
    }
    const bool done = detector_.see(static_cast<const uint8_t*>(pkt.payload),
                                    pkt.payloadlen > 0 ? static_cast<size_t>(pkt.payloadlen) : 0);
    held_.emplace_back(packet, packet + size);
    held_bytes_ += size;
    if (done)
        decide(detector_.codec(), nullptr);
    else if (held_bytes_ > kMaxHeldBytes)
        decide(detector_.settle(), nullptr);
}

void UserStream::decide(VideoCodec codec, const char* seen) {
    decided_ = true;
    stats_.codec = codec_name(codec);
    if (codec == VideoCodec::unknown) {
        unconverted_ = true;
        stats_.unconverted = held_.size();
        if (seen) stats_.codec_seen = seen;
        ++run_stats().streams_not_converted;
    } else {
        video_writer_ = std::make_unique<userVideo>(uid_, codec);
        video_writer_->observers = &observers_;
        for (const std::vector<uint8_t>& p : held_) video_writer_->put_rtp_data(p.data(), p.size());
    }
    held_.clear();
    held_.shrink_to_fit();
    held_bytes_ = 0;
}

void UserStream::say_unconverted() const {
    if (!unconverted_) return;
    const char* kind = video_ ? "video" : "audio";
    std::string why;
    if (!stats_.codec_seen.empty())
        why = streams::run_sdp() ? "the SDP names it " + stats_.codec_seen : stats_.codec_seen;
    else
        why = "its packets read as none of VP8, VP9, AV1 and H.264";
    fprintf(stderr,
            "transcode: user %" PRIu32 ": %s stream of payload type %u not converted (%" PRIu64
            " packets): %s\n",
            uid_, kind, unsigned{unconverted_pt_}, stats_.unconverted, why.c_str());
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

// Pushes what the unwrap stage yields into the reorder stage, handing on what that releases.
void UserStream::unwrap_into_writer() {
    const uint8_t* packet = nullptr;
    size_t size = 0;
    while (unwrap_->next(&packet, &size)) push_one(packet, size);
}

// No RTP packet is longer than 65,535 bytes: a longer one is refused here, so that the reorder
// stage never holds more than that per packet.
void UserStream::push_one(const uint8_t* packet, size_t size) {
    ReorderWindow::Verdict verdict = ReorderWindow::Verdict::no_memory;
    if (size > ReorderWindow::kMaxPacketSize) {
        drop_packet(uid_, size, "longer than 65535 bytes");
    } else {
        verdict = reorder_->push(packet, size);
        if (verdict == ReorderWindow::Verdict::no_memory) drop_packet(uid_, size, "out of memory");
    }
    unwrap_->pushed(verdict);
    drain_reorder();
}

// Once a stream has settled, nearly every packet is plain media in its turn: it goes from the
// read buffer to the writer on one reading of its header, each stage taking it in one step. False
// for any other packet, which takes the stages' full path.
bool UserStream::pass_plain(uint8_t* packet, size_t size) {
    streams::RtpSpan r;
    if (!unwrap_->take_plain(packet, size, &r)) return false;
    // The reorder stage's skip test, answered from this reading: the packet has a payload, so
    // only the payload type the VP8 unpacker refuses is left out.
    const bool skipped = video_ && rtp_vp8_refused_type(r.pt);
    if (skipped || !reorder_->pass_in_order(packet, size, r.seq, r.ssrc))
        push_one(packet, size);
    else if (video_writer_)
        video_writer_->put_rtp_data(packet, size);  // what write() comes to once the codec is known
    else
        write(packet, size);
    return true;
}

void UserStream::put_video(uint8_t* data, size_t length, const StreamRecord& seen) {
    observers_.record(uid_, seen);
    if (sniffer_) {
        const uint16_t next_seq = static_cast<uint16_t>(stats_.last_seq + 1);
        count_record(stats_, data, length);
        if (stats_.packets <= streams::WrapSniffer::kSample || stats_.last_seq != next_seq) {
            sniffer_->see(data, length);
            rtp_packet_t pkt;
            if (!sniff_codec_->decided() && payload_of(data, length, &pkt) && pkt.payloadlen > 0)
                sniff_codec_->see(static_cast<const uint8_t*>(pkt.payload),
                                  static_cast<size_t>(pkt.payloadlen));
        }
        video_writer_->put_rtp_data(data, length);
        return;
    }
    ++stats_.packets;
    stats_.bytes += length;
    if (pass_plain(data, length)) return;
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
    if (!pass_plain(record_.get(), length)) {
        unwrap_->take(record_.get(), length);
        unwrap_into_writer();
    }
    record_.reset();
}

void UserStream::print_hint() const {
    if (!sniffer_) return;
    streams::print_wrap_hint(uid_, video_, sniffer_->saw());
    // Only a key frame's start names a codec here: the sniffer also sees retransmissions and
    // FEC, which fit no codec.
    if (!sniff_codec_ || !sniff_codec_->keyed() || sniff_codec_->codec() == VideoCodec::vp8) return;
    fprintf(stderr,
            "transcode: user %" PRIu32 ": the video stream is %s, not VP8; --repair converts it\n",
            uid_, codec_name(sniff_codec_->codec()));
}

void UserStream::end_stages() {
    if (!unwrap_) return;
    unwrap_->finish();
    unwrap_into_writer();
    reorder_->flush();
    drain_reorder();
    if (video_ && !decided_ && !held_.empty()) decide(detector_.settle(), nullptr);
    say_unconverted();
    reorder_.reset();
    unwrap_.reset();
    fec_.reset();
}

void UserStream::close() {
    if (video_ && !video_writer_) {
        stats_.output_file.clear();
        stats_.output_ok = false;
        return;
    }
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
