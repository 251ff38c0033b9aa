#include "stream_classifier.h"

#include <cstring>

#include "be_bytes.h"
#include "sdp_map.h"

namespace streams {

namespace {

constexpr uint8_t kRedFollowBit = 0x80;  // F: another block header follows
constexpr size_t kRedHeader = 4;         // F=1 header: F, PT, 14-bit offset, 10-bit length
constexpr uint8_t kNoPt = 0x80;
// An ULPFEC packet follows the packets it protects; 64 reaches past the 48-bit mask.
constexpr uint16_t kFecReach = 64;
// RTX of a packet whose own timestamp is not remembered is checked against neighbours this near.
constexpr uint16_t kBracket = 16;
// A retransmission that overtakes the media is at most this many ticks on from the highest packet:
// a second of video, two of audio. A restarted sender's random timestamp lands here about once in
// 48,000 starts, and its OSN-to-be would also have to fall within kBracket of the media's.
constexpr int32_t kAheadTicks = 90000;

const char* ssrc_role_name(int role) {
    static const char* const names[] = {"probe", "media", "rtx", "fec"};
    return names[role];
}

}  // namespace

bool read_rtp(const uint8_t* packet, size_t size, RtpSpan* out) {
    // Cleared only when it fails: the usual packet's fields are written once.
    if (!read_rtp_header(packet, size, out)) {
        *out = RtpSpan();
        return false;
    }
    return true;
}

//    0                   1                    2                   3
//    0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |F|   block PT  |  timestamp offset         |   block length    |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   ... then |0| block PT | for the primary, then the blocks in header order.
bool read_red(const uint8_t* payload, size_t size, RedPayload* out) {
    // Only `count` says which blocks are filled: clearing all of them on every packet would cost
    // more than reading the headers.
    out->count = 0;
    size_t pos = 0;
    int n = 0;
    for (;;) {
        if (pos >= size || n == kMaxRedBlocks) return false;
        const uint8_t b = payload[pos];
        RedBlock& block = out->blocks[n++];
        block = RedBlock();
        block.pt = b & 0x7F;
        if (!(b & kRedFollowBit)) {
            ++pos;
            break;
        }
        if (size - pos < kRedHeader) return false;
        block.ts_offset = static_cast<uint16_t>((payload[pos + 1] << 6) | (payload[pos + 2] >> 2));
        block.length = static_cast<size_t>(((payload[pos + 2] & 0x03) << 8) | payload[pos + 3]);
        pos += kRedHeader;
    }
    RedBlock& primary = out->blocks[n - 1];
    for (int i = 0; i + 1 < n; ++i) {
        RedBlock& block = out->blocks[i];
        if (block.length > size - pos || block.ts_offset == 0 || block.pt != primary.pt)
            return false;
        block.offset = pos;
        pos += block.length;
    }
    primary.offset = pos;
    primary.length = size - pos;
    out->count = n;
    return true;
}

//    0                   1                   2                   3
//   |E|L|P|X|  CC   |M| PT recovery |            SN base            |
//   |                          TS recovery                          |
//   |        length recovery        |   protection length (level 0) |
//   |           mask (16 bits, or 48 with L)   ...
bool ulpfec_points_into(const uint8_t* fec, size_t size, uint16_t seq) {
    if (fec == nullptr || size < 14 || (fec[0] & 0x80)) return false;
    const bool long_mask = (fec[0] & 0x40) != 0;
    if (long_mask && size < 18) return false;
    const uint16_t back = static_cast<uint16_t>(seq - be16(fec + 2));
    if (back == 0 || back > kFecReach) return false;
    bool any = false;
    for (size_t i = 12; i < (long_mask ? 18u : 14u); ++i) any = any || fec[i] != 0;
    return any;
}

//    0                   1                   2                   3
//  0 |R|F|P|X|  CC   |M| PT recovery |        length recovery        |
//  4 |                          TS recovery                          |
//  8 |   SSRCCount   |                    reserved                   |
// 12 |                             SSRC_i                            |
// 16 |           SN base_i           |k|          Mask [0-14]        |
// 20 |k|                   Mask [15-45] (when the first k is 0)      |
// 24 |                   Mask [46-108] (when the second k is 0)      |
bool flexfec_protects(const uint8_t* fec, size_t size, uint32_t media_ssrc, uint16_t* base) {
    if (fec == nullptr || size < 20 || (fec[0] & 0xC0) != 0 || fec[8] == 0) return false;
    if (be32(fec + 12) != media_ssrc) return false;
    if (!(fec[18] & 0x80) && (size < 24 || (!(fec[20] & 0x80) && size < 32))) return false;
    *base = be16(fec + 16);
    return true;
}

StreamClassifier::StreamClassifier(bool video, std::vector<SsrcStats>* ssrcs, const SdpKind* sdp)
    : video_(video), report_(ssrcs), sdp_(sdp && sdp->present ? sdp : nullptr) {
    memset(apt_, kNoPt, sizeof apt_);
    memset(red_block_, kNoPt, sizeof red_block_);
}

StreamClassifier::~StreamClassifier() = default;

StreamClassifier::SsrcEntry* StreamClassifier::find(uint32_t ssrc) {
    for (SsrcEntry& e : ssrcs_)
        if (e.ssrc == ssrc) return &e;
    return nullptr;
}

const StreamClassifier::SsrcEntry* StreamClassifier::find(uint32_t ssrc) const {
    for (const SsrcEntry& e : ssrcs_)
        if (e.ssrc == ssrc) return &e;
    return nullptr;
}

void StreamClassifier::add(uint32_t ssrc, Ssrc role, uint32_t media) {
    if (SsrcEntry* e = find(ssrc)) {
        e->role = role;
        e->media = media;
        return;
    }
    // A sender that changes SSRC again and again: the oldest entry makes room.
    if (ssrcs_.size() >= kMaxSsrcs) ssrcs_.erase(ssrcs_.begin());
    ssrcs_.push_back({ssrc, role, media});
}

void StreamClassifier::count(uint32_t ssrc, Ssrc role) {
    if (!report_) return;
    if (last_report_ < report_->size() && (*report_)[last_report_].ssrc == ssrc &&
        role == Ssrc::media) {
        ++(*report_)[last_report_].packets;  // the usual case: another media packet
        return;
    }
    for (SsrcStats& s : *report_) {
        if (s.ssrc != ssrc) continue;
        last_report_ = static_cast<size_t>(&s - report_->data());
        // An SSRC that showed only padding so far takes the role its first real packet shows.
        if (role != Ssrc::probe) s.role = ssrc_role_name(static_cast<int>(role));
        ++s.packets;
        return;
    }
    if (report_->size() >= kMaxSsrcs) return;
    last_report_ = report_->size();
    report_->push_back({ssrc, ssrc_role_name(static_cast<int>(role)), 1});
}

uint8_t StreamClassifier::original_pt(uint8_t rtx_pt) const {
    rtx_pt &= 0x7F;
    if (sdp_ && sdp_->pt[rtx_pt] == SdpPt::rtx) return sdp_->apt[rtx_pt] & 0x7F;
    return apt_[rtx_pt] != kNoPt ? apt_[rtx_pt] : last_media_pt_;
}

bool StreamClassifier::seen(uint16_t seq) const {
    if (!seen_) return false;
    const Seen& s = seen_[seq % kSeqMemory];
    return s.valid && s.seq == seq;
}

void StreamClassifier::start_media(uint32_t ssrc) {
    have_media_ = true;
    media_ssrc_ = ssrc;
    if (!seen_) seen_.reset(new Seen[kSeqMemory]);
    for (uint32_t i = 0; i < kSeqMemory; ++i) seen_[i] = Seen{0, false, 0, 0};
    highest_ = 0;
    have_seq_ = false;
    add(ssrc, Ssrc::media, ssrc);
}

void StreamClassifier::decide_all() {
    for (Pt& p : pt_)
        if (p == Pt::red_candidate || p == Pt::unknown) p = Pt::plain;
}

void StreamClassifier::learn(const uint8_t* packet, size_t size) {
    RtpSpan r;
    if (read_rtp(packet, size, &r)) learn_span(packet, r);
}

Role StreamClassifier::learn_role(const uint8_t* packet, size_t size, RtpSpan* span) {
    if (!read_rtp(packet, size, span)) return Role::media;  // the writers decide what it is worth
    if (settled_plain(*span)) {
        learn_plain_media(*span);
        return Role::media;
    }
    learn_span(packet, *span);
    return role_for(packet, *span);
}

void StreamClassifier::learn_span(const uint8_t* packet, const RtpSpan& r) {
    const bool probe = r.payload == 0;
    if (have_media_ && r.ssrc == media_ssrc_) {
        count(r.ssrc, probe ? Ssrc::probe : Ssrc::media);
        if (!probe) learn_media(packet, r);
        return;
    }
    const SsrcEntry* e = find(r.ssrc);
    if (probe) {
        if (!e) add(r.ssrc, Ssrc::probe, media_ssrc_);
        count(r.ssrc, e ? e->role : Ssrc::probe);
        return;
    }
    if (e && (e->role == Ssrc::rtx || e->role == Ssrc::fec)) {
        if (e->role == Ssrc::rtx && r.payload >= 2 && e->media == media_ssrc_) {
            const uint16_t osn = be16(packet + r.header);
            if (seen(osn)) apt_[r.pt] = seen_[osn % kSeqMemory].pt;
        }
        count(r.ssrc, e->role);
        return;
    }
    // A payload type the SDP does not name on another SSRC is no sender restarting: it is left
    // out, and the media SSRC stays.
    if (sdp_ && have_media_ && sdp_->pt[r.pt] == SdpPt::none) return;
    Ssrc role = Ssrc::media;
    if (sdp_) {
        const SdpPt p = sdp_->pt[r.pt];
        role = p == SdpPt::rtx ? Ssrc::rtx : p == SdpPt::flexfec ? Ssrc::fec : Ssrc::media;
    } else if (have_media_) {
        uint16_t base = 0;
        if (rtx_matches(packet, r))
            role = Ssrc::rtx;
        else if (flexfec_protects(packet + r.header, r.payload, media_ssrc_, &base))
            role = Ssrc::fec;
    }
    if (role == Ssrc::media) {
        start_media(r.ssrc);
        count(r.ssrc, Ssrc::media);
        learn_media(packet, r);
        return;
    }
    if (!have_media_) return;  // a retransmission or FEC before any media: nothing to attach it to
    add(r.ssrc, role, media_ssrc_);
    saw_ |= role == Ssrc::rtx ? kSawRtx : kSawFec;
    // Only a payload of two bytes or more holds the original sequence number.
    if (role == Ssrc::rtx && r.payload >= 2) {
        const uint16_t osn = be16(packet + r.header);
        if (seen(osn)) apt_[r.pt] = seen_[osn % kSeqMemory].pt;
    }
    count(r.ssrc, role);
}

// A retransmission names a media packet within the remembered window by its OSN and carries that
// packet's timestamp: the one remembered for it, or one between its neighbours' when it was lost.
bool StreamClassifier::rtx_matches(const uint8_t* packet, const RtpSpan& r) const {
    if (r.payload < 3 || !seen_) return false;
    const uint16_t osn = be16(packet + r.header);
    const uint16_t ahead = static_cast<uint16_t>(osn - highest_);
    if (ahead != 0 && ahead <= kBracket) {
        // A retransmission may overtake the media after the packet it repeats: Chromium resends
        // the lost last packet of a key frame before the next frame goes out. Its timestamp is
        // then the highest packet's or a little later.
        if (!seen(highest_)) return false;
        const int32_t step =
            static_cast<int32_t>(r.timestamp - seen_[highest_ % kSeqMemory].timestamp);
        return step >= 0 && step <= kAheadTicks;
    }
    const uint16_t behind = static_cast<uint16_t>(highest_ - osn);
    if (behind >= kSeqMemory) return false;
    if (seen(osn)) return seen_[osn % kSeqMemory].timestamp == r.timestamp;
    bool below = false, above = false;
    for (uint16_t k = 1; k <= kBracket && !below; ++k) {
        const uint16_t s = static_cast<uint16_t>(osn - k);
        if (!seen(s)) continue;
        below = true;
        if (static_cast<int32_t>(r.timestamp - seen_[s % kSeqMemory].timestamp) < 0) return false;
    }
    for (uint16_t k = 1; k <= kBracket && k <= behind && !above; ++k) {
        const uint16_t s = static_cast<uint16_t>(osn + k);
        if (!seen(s)) continue;
        above = true;
        if (static_cast<int32_t>(seen_[s % kSeqMemory].timestamp - r.timestamp) < 0) return false;
    }
    return below && above;
}

void StreamClassifier::learn_media(const uint8_t* packet, const RtpSpan& r) {
    if (!have_seq_ || static_cast<int16_t>(static_cast<uint16_t>(r.seq - highest_)) > 0)
        highest_ = r.seq;
    have_seq_ = true;
    mark(r.seq, r.timestamp, r.pt);
    const uint8_t* payload = packet + r.header;
    if (sdp_) {
        if (sdp_->pt[r.pt] != SdpPt::red) {
            last_media_pt_ = r.pt;
            return;
        }
        RedPayload red;
        if (!read_red(payload, r.payload, &red)) return;
        last_media_pt_ = r.pt;
        const uint8_t b = red.blocks[red.count - 1].pt;
        block_[b] = sdp_->pt[b] == SdpPt::ulpfec ? Block::fec : Block::media;
        if (block_[b] == Block::fec) saw_ |= kSawFec;
        saw_ |= kSawRed;
        return;
    }
    switch (pt_[r.pt]) {
        case Pt::plain:
            last_media_pt_ = r.pt;
            return;
        case Pt::red: {
            RedPayload red;
            if (read_red(payload, r.payload, &red)) learn_block(payload, red, r);
            last_media_pt_ = r.pt;
            return;
        }
        default:
            learn_red_pt(payload, r);
            if (pt_[r.pt] != Pt::red_candidate) last_media_pt_ = r.pt;
    }
}

// A payload type is RED when its payloads read as RED block headers that add up, with the same
// primary block type every time (a FEC block aside). Video: the first byte must also be impossible
// as a VP8 descriptor (its reserved bit set), and kVideoRedEvidence packets must agree. Audio: an
// Opus TOC byte can look like a primary header, so only a packet with a redundant block whose type
// matches decides; kAudioRedWait packets without one make the type plain.
void StreamClassifier::learn_red_pt(const uint8_t* payload, const RtpSpan& r) {
    RedPayload red;
    bool ok = read_red(payload, r.payload, &red) && red.blocks[red.count - 1].pt != r.pt;
    const RedBlock& primary = red.blocks[red.count > 0 ? red.count - 1 : 0];
    if (ok && video_) {
        const uint8_t inner = primary.length > 0 ? payload[primary.offset] : 0xFF;
        // A VP8 descriptor has its reserved bits 0x48 clear; a FEC header its E bit.
        ok = (payload[0] & 0x40) && ((inner & 0x48) == 0 || (inner & 0x80) == 0);
    }
    if (!ok) {
        pt_[r.pt] = Pt::plain;
        return;
    }
    learn_block(payload, red, r);
    if (block_[primary.pt] != Block::fec) {
        uint8_t& first = red_block_[r.pt];
        if (first == kNoPt) first = primary.pt;
        if (first != primary.pt) {
            pt_[r.pt] = Pt::plain;
            return;
        }
    }
    ++evidence_[r.pt];
    if (red.count > 1 || (video_ && evidence_[r.pt] >= kVideoRedEvidence)) {
        pt_[r.pt] = Pt::red;
        saw_ |= kSawRed;
    } else if (!video_ && evidence_[r.pt] >= kAudioRedWait) {
        pt_[r.pt] = Pt::plain;
    } else {
        pt_[r.pt] = Pt::red_candidate;
    }
}

// The first primary block of each type decides it: ULPFEC when its header points into the media
// sequence just behind the packet, media otherwise.
void StreamClassifier::learn_block(const uint8_t* payload, const RedPayload& red,
                                   const RtpSpan& r) {
    const RedBlock& primary = red.blocks[red.count - 1];
    Block& b = block_[primary.pt];
    if (b != Block::unknown) return;
    b = ulpfec_points_into(payload + primary.offset, primary.length, r.seq) ? Block::fec
                                                                            : Block::media;
    if (b == Block::fec) saw_ |= kSawFec;
}

Role StreamClassifier::role_on_media(const uint8_t* packet, const RtpSpan& r) const {
    if (r.payload == 0) return Role::probe;
    bool red = false;
    if (sdp_) {
        const SdpPt p = sdp_->pt[r.pt];
        if (p == SdpPt::none || p == SdpPt::rtx || p == SdpPt::flexfec) return Role::unnamed;
        red = p == SdpPt::red;
    } else {
        if (pt_[r.pt] == Pt::unknown || pt_[r.pt] == Pt::red_candidate) return Role::undecided;
        red = pt_[r.pt] == Pt::red;
    }
    if (!red) return Role::media;
    RedPayload blocks;
    if (!read_red(packet + r.header, r.payload, &blocks)) return Role::media;
    return block_[blocks.blocks[blocks.count - 1].pt] == Block::fec ? Role::fec : Role::red;
}

Role StreamClassifier::role_of(const uint8_t* packet, size_t size) const {
    RtpSpan r;
    if (!read_rtp(packet, size, &r)) return Role::media;  // the writers decide what it is worth
    return role_for(packet, r);
}

Role StreamClassifier::role_for(const uint8_t* packet, const RtpSpan& r) const {
    if (have_media_ && r.ssrc == media_ssrc_) return role_on_media(packet, r);
    if (r.payload == 0) return Role::probe;
    if (sdp_ && have_media_ && sdp_->pt[r.pt] == SdpPt::none) return Role::unnamed;
    const SsrcEntry* e = find(r.ssrc);
    if (!e) return Role::other;
    switch (e->role) {
        case Ssrc::probe:
            return Role::other;
        case Ssrc::rtx:
            if (r.payload <= 2) return Role::probe;  // an OSN and nothing to restore
            return e->media == media_ssrc_ ? Role::rtx : Role::stale;
        case Ssrc::fec:
            return e->media == media_ssrc_ ? Role::fec : Role::stale;
        case Ssrc::media:
            return Role::other;
    }
    return Role::other;
}

}  // namespace streams
