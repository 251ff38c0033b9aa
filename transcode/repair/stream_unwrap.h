// Unwrap stage of one user's stream of one kind (repair mode), in front of the reorder stage: turns
// what a WebRTC sender puts on the wire back into the plain media packets the writers read.
//
//  - RED: the primary block becomes the packet (payload type of the block, the rest of the header
//    kept). Audio: a redundant block whose own packet never arrived is put in its place first, with
//    its own timestamp (the primary's minus the block's offset) and sequence number.
//  - RTX: the original packet (sequence number = OSN, the media SSRC and payload type, marker and
//    timestamp kept) goes to the reorder stage like a late packet, which drops it when it is a
//    repeat.
//  - Padding-only probes and FEC packets on the media SSRC take a sequence number there: they go on
//    as packets without payload, which the reorder stage orders and leaves out without a gap.
//    Probes and FEC on other SSRCs go no further. FEC packets are offered to a hook first.
//
// Without an SDP a packet whose payload type is undecided waits, and every packet after it waits
// behind it to keep the order. A probe needs no decision: it keeps its place as a bare header and
// takes no place in the ring, so a burst of probes after a short RED key frame does not end the
// wait before the packets that decide it arrive.
//
// Use: take() one captured packet, then next() until false, pushing each packet into the reorder
// stage and telling pushed() the verdict. At the end call finish() and next() until false again.
// A packet from next() is valid until the following take() or next(), and, when it lies in the
// buffer given to take() (RED is unwrapped there, in place), as long as that buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "reorder_window.h"
#include "run_stats.h"
#include "stream_classifier.h"
#include "stream_count.h"

namespace streams {

// Receives every FEC packet as captured (ULPFEC inside RED on the media SSRC, or FlexFEC on its
// own SSRC), with the media SSRC it protects. Recovery of lost packets hooks in here.
struct FecHook {
    void (*keep)(void* context, const uint8_t* packet, size_t size, uint32_t media_ssrc,
                 bool flexfec) = nullptr;
    void* context = nullptr;
};

class StreamUnwrap {
public:
    // `stats` (may be null) receives the SSRC list, the media timestamps and the repair counters.
    StreamUnwrap(bool video, StreamStats* stats, const SdpKind* sdp = nullptr);
    ~StreamUnwrap();
    StreamUnwrap(const StreamUnwrap&) = delete;
    StreamUnwrap& operator=(const StreamUnwrap&) = delete;

    void set_fec_hook(FecHook hook) { fec_hook_ = hook; }
    // The packet's bytes may be rewritten in place (a RED header is unwrapped where it lies).
    void take(uint8_t* packet, size_t size);
    void finish();  // the stream ended: nothing is waiting for a decision any more
    bool next(const uint8_t** packet, size_t* size);
    // take() and next() in one step for the usual packet of a settled stream, plain media on the
    // media SSRC with nothing waiting before it: true, and its header in *span; the packet goes on
    // as it stands, with no credit to tell pushed(). False, having changed nothing but *span, for
    // any other packet: take() it then. Only after next() has returned false.
    bool take_plain(const uint8_t* packet, size_t size, RtpSpan* span) {
        // Longer than any datagram: take() passes it on unread.
        if (wait_count_ != 0 || size > kMaxRtpSize) return false;
        if (!classifier_.learn_plain(packet, size, span)) return false;
        fresh_ = nullptr;
        if (stats_) count_timing(*stats_, span->seq, span->timestamp);
        return true;
    }
    void pushed(ReorderWindow::Verdict verdict);  // what the reorder stage did with next()'s packet

    const StreamClassifier& classifier() const { return classifier_; }
    // Packets held while their payload type is undecided; with the largest RTP packet, the bound
    // on the stage's memory.
    static constexpr size_t kMaxWaiting = 16;
    static constexpr size_t kMaxRtpSize = 65535;
    // Probes held among them, each as its fixed header alone (nothing after the reorder stage
    // reads more of a packet without payload). Chromium's pacer puts bursts of up to about 16
    // between two frames, so the 16 media packets that end a wait come with a few hundred at most.
    static constexpr size_t kMaxWaitingProbes = 1024;
    static constexpr size_t kProbeHeader = 12;

private:
    enum class Credit : uint8_t { none, rtx, red };
    struct Out {
        const uint8_t* packet;
        size_t size;
        Credit credit;
    };
    struct Waiting {
        std::vector<uint8_t> bytes;
        size_t size = 0;
        size_t probes_after = 0;  // probes that came after it, before the next waiting packet
    };

    // `span`: the header as take() read it, or null to read it here.
    void unwrap(uint8_t* packet, size_t size, Role role, const RtpSpan* span = nullptr);
    void emit(const uint8_t* packet, size_t size, Credit credit = Credit::none);
    std::vector<uint8_t>& buffer();
    uint8_t* rebuild(const uint8_t* packet, const RtpSpan& r, size_t from, size_t length,
                     uint8_t pt, bool marker, size_t* size);
    void unwrap_red(uint8_t* packet, const RtpSpan& r, Credit credit);
    void header_only(const uint8_t* packet, const RtpSpan& r);
    void count_media(const uint8_t* packet, size_t size);
    void keep_probe(const RtpSpan& r);

    const bool video_;
    StreamStats* const stats_;
    StreamClassifier classifier_;
    FecHook fec_hook_;
    // Packets waiting for their payload type's decision, oldest first, in a ring.
    Waiting waiting_[kMaxWaiting];
    size_t wait_head_ = 0;
    size_t wait_count_ = 0;
    // Probes that came while packets wait, oldest first, in a ring of kMaxWaitingProbes fixed
    // headers (made at the first one), and those due before the next waiting packet.
    std::unique_ptr<uint8_t[]> probes_;
    size_t probe_head_ = 0;
    size_t probe_count_ = 0;
    size_t probes_due_ = 0;
    uint8_t probe_out_[kProbeHeader] = {};  // the probe next() handed out last
    uint8_t* fresh_ = nullptr;  // the packet given to take(), when it goes on without waiting
    size_t fresh_size_ = 0;
    Role fresh_role_ = Role::media;
    RtpSpan fresh_span_;
    // What the current packet yields, handed out by next() in order.
    static constexpr size_t kMaxOuts = kMaxRedBlocks + 1;
    Out outs_[kMaxOuts];
    size_t out_next_ = 0;
    size_t out_count_ = 0;
    Credit last_credit_ = Credit::none;
    // Rebuilt packets; each output of one input packet has a buffer of its own.
    std::vector<uint8_t> buffers_[kMaxOuts + 1];
    size_t buffers_used_ = 0;
    Waiting released_;  // the waiting packet being unwrapped, kept until the next call
};

// Default mode: classifies the packets the pass shows it, to say whether --repair would unwrap
// something. The pass keeps the cost down by showing it only the first kSample packets of a stream
// and packets that break its sequence (a retransmission, FEC or probe on another SSRC does).
class WrapSniffer {
public:
    explicit WrapSniffer(bool video);
    ~WrapSniffer();
    void see(const uint8_t* packet, size_t size);
    unsigned saw() const { return saw_; }
    static constexpr uint64_t kSample = 512;

private:
    const bool video_;
    std::unique_ptr<StreamClassifier> classifier_;
    unsigned saw_ = 0;
};

// The line said on stderr at the end of a default pass for a stream that `saw` wrapped packets in.
void print_wrap_hint(uint32_t uid, bool video, unsigned saw);

// Skip test of the audio reorder stage: a packet without payload (a probe, or what the unwrap stage
// leaves of a FEC packet) takes its sequence number and is left out.
bool rtp_without_payload(const uint8_t* packet, size_t size);

}  // namespace streams
