// Stream classifier of one user's packets of one kind: tells, without an SDP, which SSRC carries
// the media and which carry its retransmissions (RTX, RFC 4588) or FlexFEC, which payload types
// wrap the media in RED (RFC 2198), which RED blocks hold ULPFEC (RFC 5109), and which packets are
// padding-only bandwidth probes. docs/design.md lists the rules and how they can fail.
//
// Use: learn() each packet once, in arrival order; then role_of() tells what it is. role_of() reads
// only what learn() has decided, so a packet held back while its payload type is undecided can be
// asked again later and gets the final answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "be_bytes.h"
#include "run_stats.h"
#include "sdp_map.h"

namespace streams {

// The RTP header of a packet, read in place.
struct RtpSpan {
    bool rtp = false;  // read_rtp() succeeded
    uint8_t pt = 0;
    bool marker = false;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    size_t header = 0;   // fixed header, CSRC list and extension
    size_t payload = 0;  // bytes after the header, padding excluded
};

// False for a packet that is not RTP version 2 or whose lengths do not add up.
bool read_rtp(const uint8_t* packet, size_t size, RtpSpan* out);

// read_rtp() but for a packet that does not read, whose *out it leaves as it was. Inline: the
// usual packet of a settled stream is read here and nowhere else.
inline bool read_rtp_header(const uint8_t* packet, size_t size, RtpSpan* out) {
    constexpr size_t kFixedHeader = 12;
    constexpr uint8_t kPaddingBit = 0x20, kExtensionBit = 0x10;
    if (packet == nullptr || size < kFixedHeader || (packet[0] >> 6) != 2) return false;
    size_t header = kFixedHeader + 4 * size_t{packet[0] & 0x0Fu};
    if (header > size) return false;
    if (packet[0] & kExtensionBit) {
        if (size - header < 4) return false;
        const size_t ext = 4 * size_t{be16(packet + header + 2)};
        if (size - header - 4 < ext) return false;
        header += 4 + ext;
    }
    size_t payload = size - header;
    if (packet[0] & kPaddingBit) {
        const size_t pad = packet[size - 1];
        if (payload == 0 || pad == 0 || pad > payload) return false;
        payload -= pad;
    }
    out->pt = packet[1] & 0x7F;
    out->marker = (packet[1] & 0x80) != 0;
    out->seq = be16(packet + 2);
    out->timestamp = be32(packet + 4);
    out->ssrc = be32(packet + 8);
    out->header = header;
    out->payload = payload;
    out->rtp = true;
    return true;
}

// RFC 2198 payload: up to kMaxRedBlocks blocks, the last one the primary.
constexpr int kMaxRedBlocks = 8;
struct RedBlock {
    uint8_t pt = 0;
    uint16_t ts_offset = 0;  // 0 for the primary
    size_t offset = 0;       // from the start of the RED payload
    size_t length = 0;
};
struct RedPayload {
    int count = 0;
    RedBlock blocks[kMaxRedBlocks];
};

// Parses the block headers; true when they add up to the payload (the redundant lengths fit and
// the primary takes the rest) and every redundant block has the primary's payload type. Only the
// first `count` blocks are set (count is 0 on failure).
bool read_red(const uint8_t* payload, size_t size, RedPayload* out);

// RFC 5109 header whose base sequence number lies within 64 packets before `seq` (the FEC packet
// follows the packets it protects) with a non-empty mask.
bool ulpfec_points_into(const uint8_t* fec, size_t size, uint16_t seq);

// FlexFEC header of libwebrtc's form (R=0, F=0, an SSRC count, then SSRC and base sequence
// number): true when it names `media_ssrc`; the base number in *base.
bool flexfec_protects(const uint8_t* fec, size_t size, uint32_t media_ssrc, uint16_t* base);

enum class Role : uint8_t {
    media,      // a plain packet of the media stream
    red,        // RED on the media SSRC whose primary block is media
    fec,        // RED on the media SSRC whose primary block is ULPFEC, or FlexFEC on its SSRC
    rtx,        // a retransmission on the RTX SSRC
    probe,      // padding only, on any SSRC
    undecided,  // its payload type needs more packets before it is known
    other,      // an SSRC that is neither (a stream the sender left)
    stale,      // RTX or FEC of a media SSRC that is no longer the stream's: set aside
    unnamed,    // on the media SSRC, a payload type the SDP does not name
};

class StreamClassifier {
public:
    // `ssrcs` (may be null) receives the SSRCs seen with their role and packet counts.
    StreamClassifier(bool video, std::vector<SsrcStats>* ssrcs, const SdpKind* sdp = nullptr);
    ~StreamClassifier();
    StreamClassifier(const StreamClassifier&) = delete;
    StreamClassifier& operator=(const StreamClassifier&) = delete;

    void learn(const uint8_t* packet, size_t size);
    Role role_of(const uint8_t* packet, size_t size) const;
    // learn() and role_of() on one reading of the header, which is left in *span.
    Role learn_role(const uint8_t* packet, size_t size, RtpSpan* span);
    // learn_role() for the usual packet of a settled stream, plain media on the media SSRC: true,
    // and the header in *span. False, having learned nothing, for any other packet.
    bool learn_plain(const uint8_t* packet, size_t size, RtpSpan* span) {
        // On false the span is the caller's to discard.
        if (!read_rtp_header(packet, size, span) || !settled_plain(*span)) return false;
        learn_plain_media(*span);
        return true;
    }
    // Gives up waiting: every undecided payload type is taken for plain media.
    void decide_all();

    uint32_t media_ssrc() const { return media_ssrc_; }
    bool have_media() const { return have_media_; }
    // The payload type a retransmission of `rtx_pt` restores (its "apt").
    uint8_t original_pt(uint8_t rtx_pt) const;
    // The RED payload's primary block is ULPFEC.
    bool block_is_fec(uint8_t block_pt) const { return block_[block_pt] == Block::fec; }
    // The media packet `seq` of the media SSRC has been seen (or rebuilt); mark() records one.
    bool seen(uint16_t seq) const;
    void mark(uint16_t seq, uint32_t timestamp, uint8_t pt) {
        if (seen_) seen_[seq % kSeqMemory] = {seq, true, pt, timestamp};
    }
    // What the stream showed so far: bits of kSawRed, kSawRtx, kSawFec.
    unsigned saw() const { return saw_; }
    static constexpr unsigned kSawRed = 1, kSawRtx = 2, kSawFec = 4;

    // Packets of one payload type that must agree before a video PT is called RED, and packets an
    // audio PT may show only primary blocks before it is called plain.
    static constexpr int kVideoRedEvidence = 3;
    static constexpr int kAudioRedWait = 4;
    static constexpr uint32_t kMaxSsrcs = 16;
    static constexpr uint16_t kSeqMemory = 1024;  // media sequence numbers remembered

private:
    enum class Pt : uint8_t { unknown, plain, red_candidate, red };
    enum class Block : uint8_t { unknown, media, fec };
    enum class Ssrc : uint8_t { probe, media, rtx, fec };
    struct SsrcEntry {
        uint32_t ssrc;
        Ssrc role;
        uint32_t media;  // the media SSRC an rtx or fec SSRC belongs to
    };
    struct Seen {
        uint16_t seq;
        bool valid;
        uint8_t pt;
        uint32_t timestamp;
    };

    SsrcEntry* find(uint32_t ssrc);
    const SsrcEntry* find(uint32_t ssrc) const;
    void add(uint32_t ssrc, Ssrc role, uint32_t media);
    void count(uint32_t ssrc, Ssrc role);
    void learn_media(const uint8_t* packet, const RtpSpan& r);
    void learn_red_pt(const uint8_t* payload, const RtpSpan& r);
    void learn_block(const uint8_t* payload, const RedPayload& red, const RtpSpan& r);
    bool rtx_matches(const uint8_t* packet, const RtpSpan& r) const;
    void start_media(uint32_t ssrc);
    Role role_on_media(const uint8_t* packet, const RtpSpan& r) const;
    void learn_span(const uint8_t* packet, const RtpSpan& r);
    Role role_for(const uint8_t* packet, const RtpSpan& r) const;
    // The usual packet once the stream is settled: plain media on the media SSRC, of a payload
    // type the SDP names media or, without one, that the packets showed to be plain.
    bool settled_plain(const RtpSpan& r) const {
        return have_media_ && r.ssrc == media_ssrc_ && r.payload != 0 &&
               (sdp_ ? sdp_->pt[r.pt] == SdpPt::media : pt_[r.pt] == Pt::plain);
    }
    // What learn_span() does for a settled plain packet, without its branches.
    void learn_plain_media(const RtpSpan& r) {
        if (report_ && last_report_ < report_->size() && (*report_)[last_report_].ssrc == r.ssrc)
            ++(*report_)[last_report_].packets;  // what count() does first for a media packet
        else
            count(r.ssrc, Ssrc::media);
        if (static_cast<int16_t>(static_cast<uint16_t>(r.seq - highest_)) > 0 || !have_seq_)
            highest_ = r.seq;
        have_seq_ = true;
        mark(r.seq, r.timestamp, r.pt);
        last_media_pt_ = r.pt;
    }

    const bool video_;
    std::vector<SsrcStats>* const report_;
    const SdpKind* const sdp_;
    std::vector<SsrcEntry> ssrcs_;
    size_t last_report_ = 0;  // the report entry counted last: usually the next one's too
    bool have_media_ = false;
    uint32_t media_ssrc_ = 0;
    uint16_t highest_ = 0;  // the highest media sequence number seen
    bool have_seq_ = false;
    Pt pt_[128] = {};
    uint8_t red_block_[128] = {};  // first primary block PT of a RED candidate
    uint8_t evidence_[128] = {};
    Block block_[128] = {};
    uint8_t apt_[128] = {};  // 0x80: not known
    uint8_t last_media_pt_ = 0;
    std::unique_ptr<Seen[]> seen_;
    unsigned saw_ = 0;
};

}  // namespace streams
