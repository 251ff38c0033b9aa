#include "stream_unwrap.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "be_bytes.h"
#include "stream_count.h"

namespace streams {

StreamUnwrap::StreamUnwrap(bool video, StreamStats* stats, const SdpKind* sdp)
    : video_(video), stats_(stats), classifier_(video, stats ? &stats->ssrcs : nullptr, sdp) {}

StreamUnwrap::~StreamUnwrap() = default;

void StreamUnwrap::take(uint8_t* packet, size_t size) {
    out_next_ = out_count_ = 0;
    fresh_ = nullptr;
    if (size > kMaxRtpSize) {
        // No datagram is this long: not RTP of any sender, so it is judged downstream as it
        // stands. It never waits, so nothing of this size is ever copied into the waiting ring;
        // while packets wait it goes on ahead of them (nothing downstream takes it anyway).
        if (wait_count_ > 0) {
            emit(packet, size);
            return;
        }
        fresh_ = packet;
        fresh_size_ = size;
        fresh_role_ = Role::other;
        fresh_span_ = RtpSpan();  // not read: passed on as it stands
        return;
    }
    const Role role = classifier_.learn_role(packet, size, &fresh_span_);
    if (wait_count_ == 0) {
        fresh_role_ = role;
        if (fresh_role_ != Role::undecided) {
            fresh_ = packet;  // the usual case: on at once, without a copy
            fresh_size_ = size;
            return;
        }
    }
    // Something waits (a probe or a decided packet alone never starts a wait). A probe needs no
    // decision and takes no place in the ring: only media can end the wait by filling it.
    const bool probe = role == Role::probe;
    if (probe ? probe_count_ == kMaxWaitingProbes : wait_count_ == kMaxWaiting) {
        // Too long undecided: take the types for plain media and let everything go.
        classifier_.decide_all();
        fresh_ = packet;
        fresh_size_ = size;
        fresh_role_ = classifier_.role_of(packet, size);
        return;
    }
    if (probe) {
        keep_probe(fresh_span_);
        return;
    }
    Waiting& w = waiting_[(wait_head_ + wait_count_) % kMaxWaiting];
    w.bytes.assign(packet, packet + size);
    w.size = size;
    w.probes_after = 0;
    ++wait_count_;
}

// A probe behind a waiting packet: its fixed header is all the reorder stage needs to give it its
// place in the sequence and leave it out (a header alone is a packet without payload).
void StreamUnwrap::keep_probe(const RtpSpan& r) {
    if (!probes_) probes_.reset(new uint8_t[kMaxWaitingProbes * kProbeHeader]);
    uint8_t* h = &probes_[(probe_head_ + probe_count_) % kMaxWaitingProbes * kProbeHeader];
    h[0] = 0x80;  // version 2, no padding, extension or CSRC
    h[1] = static_cast<uint8_t>((r.marker ? 0x80 : 0) | r.pt);
    put_be16(h + 2, r.seq);
    put_be32(h + 4, r.timestamp);
    put_be32(h + 8, r.ssrc);
    ++probe_count_;
    ++waiting_[(wait_head_ + wait_count_ - 1) % kMaxWaiting].probes_after;
}

void StreamUnwrap::finish() {
    classifier_.decide_all();
}

bool StreamUnwrap::next(const uint8_t** packet, size_t* size) {
    for (;;) {
        if (out_next_ < out_count_) {
            const Out& o = outs_[out_next_++];
            *packet = o.packet;
            *size = o.size;
            last_credit_ = o.credit;
            return true;
        }
        out_next_ = out_count_ = 0;
        buffers_used_ = 0;
        last_credit_ = Credit::none;
        if (probes_due_ > 0) {
            // The probes that came after the packet released last, in their places.
            memcpy(probe_out_, &probes_[probe_head_ * kProbeHeader], kProbeHeader);
            probe_head_ = (probe_head_ + 1) % kMaxWaitingProbes;
            --probe_count_;
            --probes_due_;
            unwrap(probe_out_, kProbeHeader, Role::probe);
            continue;
        }
        if (wait_count_ > 0) {
            Waiting& w = waiting_[wait_head_];
            const Role role = classifier_.role_of(w.bytes.data(), w.size);
            if (role == Role::undecided) return false;
            std::swap(released_.bytes, w.bytes);
            released_.size = w.size;
            probes_due_ = w.probes_after;
            wait_head_ = (wait_head_ + 1) % kMaxWaiting;
            --wait_count_;
            unwrap(released_.bytes.data(), released_.size, role);
            continue;
        }
        if (fresh_ == nullptr) return false;
        uint8_t* p = fresh_;
        fresh_ = nullptr;
        // Its role as take() found it: nothing has been learned since.
        unwrap(p, fresh_size_, fresh_role_, &fresh_span_);
    }
}

void StreamUnwrap::pushed(ReorderWindow::Verdict verdict) {
    if (!stats_ || verdict != ReorderWindow::Verdict::held) return;
    if (last_credit_ == Credit::rtx) ++stats_->repair.rtx_recovered;
    if (last_credit_ == Credit::red) ++stats_->repair.red_recovered;
}

void StreamUnwrap::emit(const uint8_t* packet, size_t size, Credit credit) {
    if (out_count_ < kMaxOuts) outs_[out_count_++] = {packet, size, credit};
}

std::vector<uint8_t>& StreamUnwrap::buffer() {
    return buffers_[buffers_used_ < kMaxOuts ? buffers_used_++ : kMaxOuts];
}

// A copy of `packet`'s header (CSRC list and extension included, padding dropped) with `length`
// payload bytes from offset `from`, payload type `pt` and the marker given.
uint8_t* StreamUnwrap::rebuild(const uint8_t* packet, const RtpSpan& r, size_t from, size_t length,
                               uint8_t pt, bool marker, size_t* size) {
    std::vector<uint8_t>& b = buffer();
    *size = r.header + length;
    if (b.size() < *size) b.resize(*size);
    memcpy(b.data(), packet, r.header);
    if (length > 0) memcpy(b.data() + r.header, packet + from, length);
    b[0] = static_cast<uint8_t>(b[0] & ~0x20);
    b[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (pt & 0x7F));
    return b.data();
}

void StreamUnwrap::header_only(const uint8_t* packet, const RtpSpan& r) {
    size_t size = 0;
    const uint8_t* p = rebuild(packet, r, 0, 0, r.pt, false, &size);
    emit(p, size);
}

void StreamUnwrap::count_media(const uint8_t* packet, size_t size) {
    if (stats_) count_timing(*stats_, packet, size);
}

void StreamUnwrap::unwrap_red(uint8_t* packet, const RtpSpan& r, Credit credit) {
    const uint8_t* payload = packet + r.header;
    RedPayload red;
    if (!read_red(payload, r.payload, &red)) {
        emit(packet, r.header + r.payload, credit);
        return;
    }
    if (!video_) {
        // Redundant blocks, oldest first, each for the packet that many places before this one;
        // only one whose own packet has not come is put in.
        for (int i = 0; i + 1 < red.count; ++i) {
            const RedBlock& b = red.blocks[i];
            const uint16_t seq = static_cast<uint16_t>(r.seq - (red.count - 1 - i));
            if (classifier_.seen(seq)) continue;
            const uint32_t ts = r.timestamp - b.ts_offset;
            size_t size = 0;
            uint8_t* p = rebuild(packet, r, r.header + b.offset, b.length, b.pt, false, &size);
            put_be16(p + 2, seq);
            put_be32(p + 4, ts);
            classifier_.mark(seq, ts, r.pt);
            emit(p, size, Credit::red);
        }
    }
    // The primary block already follows the header but for the RED headers (and redundant blocks,
    // copied above): the header moves up to meet it, so the payload is not copied.
    const RedBlock& primary = red.blocks[red.count - 1];
    uint8_t* p = packet + primary.offset;
    memmove(p, packet, r.header);
    p[0] = static_cast<uint8_t>(p[0] & ~0x20);
    p[1] = static_cast<uint8_t>((r.marker ? 0x80 : 0) | (primary.pt & 0x7F));
    emit(p, r.header + primary.length, credit);
}

void StreamUnwrap::unwrap(uint8_t* packet, size_t size, Role role, const RtpSpan* span) {
    RtpSpan r;
    if (span)
        r = *span;
    else
        read_rtp(packet, size, &r);
    if (!r.rtp) {
        emit(packet, size);
        return;
    }
    const bool on_media = classifier_.have_media() && r.ssrc == classifier_.media_ssrc();
    switch (role) {
        case Role::media:
        case Role::undecided:
            count_media(packet, size);
            emit(packet, size);
            return;
        case Role::other:
            emit(packet, size);
            return;
        case Role::stale:
            // Its media SSRC has been replaced by a restarted sender's: pushed on, its SSRC would
            // restart the ordering for nothing.
            return;
        case Role::unnamed:
            // Refused like any packet the writers cannot read, without leaving a gap behind. On
            // another SSRC it took no number of the media's and goes no further.
            if (stats_) ++stats_->repair.sdp_unnamed;
            if (on_media) header_only(packet, r);
            return;
        case Role::probe:
            if (stats_) ++stats_->repair.probes;
            if (on_media) emit(packet, size);  // it took a sequence number: ordered, then left out
            return;
        case Role::red:
            count_media(packet, size);
            unwrap_red(packet, r, Credit::none);
            return;
        case Role::fec:
            if (stats_) ++stats_->repair.fec_packets;
            if (fec_hook_.keep)
                fec_hook_.keep(fec_hook_.context, packet, size, classifier_.media_ssrc(),
                               !on_media);
            if (on_media) header_only(packet, r);
            return;
        case Role::rtx:
            break;
    }
    // A retransmission: the original packet behind the OSN.
    const uint16_t osn = be16(packet + r.header);
    const Credit credit = classifier_.seen(osn) ? Credit::none : Credit::rtx;
    const uint8_t pt = classifier_.original_pt(r.pt);
    size_t rsize = 0;
    uint8_t* p = rebuild(packet, r, r.header + 2, r.payload - 2, pt, r.marker, &rsize);
    put_be16(p + 2, osn);
    put_be32(p + 8, classifier_.media_ssrc());
    classifier_.mark(osn, r.timestamp, pt);
    RtpSpan inner;
    read_rtp(p, rsize, &inner);
    switch (classifier_.role_of(p, rsize)) {
        case Role::red:
            unwrap_red(p, inner, credit);
            return;
        case Role::fec:
            header_only(p, inner);
            return;
        default:
            emit(p, rsize, credit);
    }
}

WrapSniffer::WrapSniffer(bool video) : video_(video) {}
WrapSniffer::~WrapSniffer() = default;

void WrapSniffer::see(const uint8_t* packet, size_t size) {
    if (!classifier_) classifier_ = std::make_unique<StreamClassifier>(video_, nullptr);
    classifier_->learn(packet, size);
    saw_ |= classifier_->saw();
}

void print_wrap_hint(uint32_t uid, bool video, unsigned saw) {
    if (saw == 0) return;
    std::string what;
    const char* names[] = {"RED", "RTX", "FEC"};
    int n = 0;
    for (int bit = 0; bit < 3; ++bit) {
        if (!(saw & (1u << bit))) continue;
        const bool last = (saw >> (bit + 1)) == 0;
        if (n > 0) what += last ? " and " : ", ";
        what += names[bit];
        ++n;
    }
    fprintf(stderr,
            "transcode: user %" PRIu32
            ": the %s stream holds %s packets; "
            "--repair unwraps them\n",
            uid, video ? "video" : "audio", what.c_str());
}

bool rtp_without_payload(const uint8_t* packet, size_t size) {
    RtpSpan r;
    return read_rtp(packet, size, &r) && r.payload == 0;
}

}  // namespace streams
