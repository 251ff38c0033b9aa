#include "fec_recovery.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "be_bytes.h"
#include "header_extensions.h"
#include "rtp_packet.h"
#include "stream_classifier.h"

namespace {

constexpr size_t kRtpHeader = kFecRtpHeader;
using streams::for_each_extension;

constexpr uint8_t kRecoveredBits0 = kFecRecoveredBits0;
constexpr uint8_t kVersion2 = 0x80;

// Where the bytes a sender rewrites after making its FEC begin, in a header extension element whose
// data begins at `from`: video-timing keeps its first seven bytes.
size_t rewritten_from(streams::SdpExt way, size_t from) {
    return way == streams::SdpExt::rewritten_from_7 ? from + 7 : from;
}

}  // namespace

// ---- Store and recovery -------------------------------------------------------------------------

FecRecovery::FecRecovery(uint32_t max_fec, RepairStats* stats, InputLoans* loans)
    : max_fec_(max_fec == 0 ? 1 : max_fec),
      stats_(stats),
      loans_(loans),
      borrower_{&FecRecovery::recall, this},
      kept_(new Kept[kHistory]) {}

FecRecovery::~FecRecovery() {
    if (loans_) loans_->forget(&borrower_);
}

namespace {

// Copies `size` bytes at `p` into `data`; null when the memory is not there.
const uint8_t* copy_into(std::vector<uint8_t>& data, const uint8_t* p, size_t size) {
    try {
        if (data.size() < size) {
            data.reserve(size);  // exactly: a slot keeps no more than the largest it held
            data.resize(size);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (size > 0) memcpy(data.data(), p, size);
    return data.data();
}

}  // namespace

const uint8_t* FecRecovery::hold(std::vector<uint8_t>& data, const uint8_t* p, size_t size) {
    if (loans_ && loans_->borrow(p, size, &borrower_)) return p;
    return copy_into(data, p, size);
}

// The read-ahead is about to overwrite [begin, end): what is still kept from there is copied.
void FecRecovery::recall(void* self, const uint8_t* begin, const uint8_t* end) {
    FecRecovery& r = *static_cast<FecRecovery*>(self);
    const auto lent = [&](const uint8_t* p) { return p && p >= begin && p < end; };
    for (uint32_t i = 0; i < kHistory; ++i) {
        Kept& k = r.kept_[i];
        if (k.seq < 0 || !lent(k.bytes)) continue;
        k.bytes = copy_into(k.data, k.bytes, k.size);
        if (!k.bytes) k.seq = -1;  // forgotten, as if never released
    }
    for (Fec& fec : r.fec_) {
        if (!fec.live || !lent(fec.bytes)) continue;
        const uint8_t* moved =
            r.released_all(fec.header) ? nullptr : copy_into(fec.data, fec.bytes, fec.size);
        if (!moved) {
            r.kill(fec);
            continue;
        }
        fec.header.payload = moved + (fec.header.payload - fec.bytes);
        fec.bytes = moved;
    }
}

size_t FecRecovery::fec_held() const {
    return live_;
}

size_t FecRecovery::bytes_reserved() const {
    size_t total = out_.capacity() + spare_.capacity();
    for (const Fec& fec : fec_) total += fec.data.capacity();
    for (uint32_t i = 0; i < kHistory; ++i) total += kept_[i].data.capacity();
    return total;
}

bool FecRecovery::add_ulpfec(uint32_t media_ssrc, const uint8_t* body, size_t size) {
    return add(media_ssrc, body, size, false);
}

bool FecRecovery::add_flexfec(const uint8_t* packet, size_t size) {
    streams::RtpSpan rtp;
    if (size > kMaxPacket || !streams::read_rtp(packet, size, &rtp)) return false;
    return add(0, packet + rtp.header, rtp.payload, true);
}

bool FecRecovery::add(uint32_t ssrc, const uint8_t* body, size_t size, bool flexfec) {
    FecHeader h;
    if (!body || size > kMaxPacket) return false;
    if (flexfec ? !flexfec_parse(body, size, &h) : !ulpfec_parse(body, size, ssrc, &h))
        return false;
    budget_ = std::min(kWorkCap, budget_ + kWorkPerPacket);
    // The usual case when nothing is lost: the packets it protects have all gone on already.
    if (released_all(h)) return false;
    Fec* slot = free_slot();
    if (!slot) return false;
    const uint8_t* bytes = hold(slot->data, body, size);
    if (!bytes) return false;
    slot->bytes = bytes;
    slot->size = size;
    slot->header = h;
    slot->header.payload = bytes + (h.payload - body);
    slot->added_at = released_;
    slot->order = added_++;
    slot->live = true;
    ++live_;
    free_.pop_back();
    return true;
}

// Whether the FEC packet can still rebuild anything: a number it protects has not been passed, and
// it is not so old that its numbers may have wrapped.
bool FecRecovery::usable(const Fec& fec) const {
    return fec.live && !released_all(fec.header) && released_ - fec.added_at <= kMaxFecAge;
}

// A slot for one more FEC packet, left at the back of free_ (null without memory). What can no
// longer be used is swept out before the store grows, so it holds about what the stage may still
// give up; the sweep runs when the store has doubled since the last one found it in use, so its
// cost per packet stays constant. Full of usable packets, the oldest goes.
FecRecovery::Fec* FecRecovery::free_slot() {
    if (free_.empty() && fec_.size() >= std::min<size_t>(sweep_at_, max_fec_)) {
        for (Fec& fec : fec_)
            if (fec.live && !usable(fec)) kill(fec);
        sweep_at_ = std::max<size_t>(kFirstSweep, 2 * size_t{live_});
    }
    if (free_.empty() && fec_.size() < max_fec_) {
        try {
            // free_ can always list every slot, so that kill() never allocates.
            if (free_.capacity() < fec_.size() + 1)
                free_.reserve(std::min<size_t>(max_fec_, std::max(2 * fec_.size(), kFirstSweep)));
            fec_.emplace_back();
            free_.push_back(static_cast<uint32_t>(fec_.size() - 1));
        } catch (const std::bad_alloc&) {
            // no new slot: the oldest makes room, as when full
        }
    }
    if (free_.empty()) {
        Fec* oldest = nullptr;
        for (Fec& fec : fec_)
            if (fec.live && (!oldest || fec.order < oldest->order)) oldest = &fec;
        if (!oldest) return nullptr;
        kill(*oldest);
    }
    return &fec_[free_.back()];
}

// Without the sender's extension map, which header extensions it rewrote after making its FEC
// shows in a group whose packets have all been released, when their headers differ in length
// (with equal lengths a rewritten byte only ever lands on another header, where it does no harm):
// the XOR of the FEC packet with the packets as captured leaves exactly the rewritten bytes over.
// Each id not yet known is tried as kept, rewritten, or rewritten from its seventh byte (the
// three ways a WebRTC sender treats an extension); an id takes the way every assignment that
// leaves nothing over agrees on. Only a few groups are looked at: learning stops once
// kLearnAttempts groups have been tried.
bool FecRecovery::learn(const FecHeader& h, const Source& src, int64_t base) {
    if (ext_ || learn_left_ == 0 || h.payload_size == 0 || h.ssrc != src.ssrc) return false;
    using streams::SdpExt;
    struct Packet {
        const uint8_t* p;
        size_t n;
    };
    Packet group[128];
    size_t count = 0, first_header = 0;
    bool differ = false;
    for (uint32_t i = 0; i < h.mask_bits; ++i) {
        if (!h.protects(i)) continue;
        size_t n = 0;
        const uint8_t* m = find(src, base + i, &n);
        streams::RtpSpan r;
        if (!m || !streams::read_rtp(m, n, &r)) return false;
        if (count == 0) first_header = r.header;
        differ |= r.header != first_header;
        group[count++] = {m, n};
    }
    if (!differ) return false;

    struct Element {
        const uint8_t* p;
        size_t from, to, upto;
        uint8_t id;
    };
    std::vector<Element> elements, rewritten;
    uint8_t undecided[5];
    size_t undecided_count = 0;
    bool long_element[256] = {};
    const size_t protection = h.payload_size;
    for (size_t g = 0; g < count; ++g) {
        const uint8_t* m = group[g].p;
        const size_t n = group[g].n, upto = std::min(n, kRtpHeader + protection);
        bool too_many = false;
        for_each_extension(m, n, [&](size_t id, size_t from, size_t to) {
            if (learned_[id]) {
                if (modes_[id] != SdpExt::kept)
                    rewritten.push_back(
                        {m, rewritten_from(modes_[id], from), to, upto, static_cast<uint8_t>(id)});
                return;
            }
            if (std::find(undecided, undecided + undecided_count, id) ==
                undecided + undecided_count) {
                if (undecided_count == sizeof undecided) {
                    too_many = true;
                    return;
                }
                undecided[undecided_count++] = static_cast<uint8_t>(id);
            }
            long_element[id] |= to - from > 7;
            elements.push_back({m, from, to, upto, static_cast<uint8_t>(id)});
        });
        if (too_many) return false;
    }
    if (undecided_count == 0) return false;
    // What the XOR of the group leaves over, with what is already known to be rewritten taken out.
    std::vector<uint8_t> rest(h.payload, h.payload + protection);
    uint16_t length = h.length_recovery;
    for (size_t g = 0; g < count; ++g) {
        const uint8_t* m = group[g].p;
        const size_t n = group[g].n, upto = std::min(n, kRtpHeader + protection);
        length ^= static_cast<uint16_t>(n - kRtpHeader);
        fec_xor_into(rest.data(), m, kRtpHeader, upto);
    }
    for (const Element& e : rewritten)
        fec_xor_into(rest.data(), e.p, e.from, std::min(e.to, e.upto));
    if (length != 0) return false;  // the group is not what the sender protected
    --learn_left_;

    // Every assignment of a way to each undecided id; those that leave nothing over must agree.
    static const SdpExt kWay[3] = {SdpExt::kept, SdpExt::rewritten, SdpExt::rewritten_from_7};
    size_t combos = 1;
    for (size_t u = 0; u < undecided_count; ++u) combos *= 3;
    int agreed[5] = {-1, -1, -1, -1, -1};  // -1: no fit yet; 3: fits that disagree
    std::vector<uint8_t> left;
    for (size_t c = 0; c < combos; ++c) {
        int way[5];
        size_t code = c;
        bool possible = true;
        for (size_t u = 0; u < undecided_count; ++u) {
            way[u] = static_cast<int>(code % 3);
            code /= 3;
            possible &= way[u] != 2 || long_element[undecided[u]];
        }
        if (!possible) continue;
        left = rest;
        for (const Element& e : elements) {
            const size_t u = static_cast<size_t>(
                std::find(undecided, undecided + undecided_count, e.id) - undecided);
            if (way[u] == 0) continue;
            fec_xor_into(left.data(), e.p, rewritten_from(kWay[way[u]], e.from),
                         std::min(e.to, e.upto));
        }
        if (std::any_of(left.begin(), left.end(), [](uint8_t b) { return b != 0; })) continue;
        for (size_t u = 0; u < undecided_count; ++u)
            agreed[u] = agreed[u] == -1 || agreed[u] == way[u] ? way[u] : 3;
    }
    bool learnt = false;
    for (size_t u = 0; u < undecided_count; ++u) {
        if (agreed[u] < 0 || agreed[u] > 2) continue;
        modes_[undecided[u]] = kWay[agreed[u]];
        learned_[undecided[u]] = true;
        learnt = true;
    }
    return learnt;
}

// Learns from every FEC packet held whose group is complete, the packets looked up around `seq`;
// true when an extension id was learnt.
bool FecRecovery::learn_from_store(const Source& src, int64_t seq) {
    bool learnt = false;
    for (size_t f = 0; f < fec_.size() && learn_left_ > 0 && budget_ > 0; ++f, --budget_) {
        const Fec& fec = fec_[f];
        if (!fec.live) continue;
        const uint16_t from_seq =
            static_cast<uint16_t>(fec.header.seq_base - static_cast<uint16_t>(seq));
        learnt |= learn(fec.header, src, seq + static_cast<int16_t>(from_seq));
    }
    return learnt;
}

// Whether every number the FEC packet protects lies at or below the last one released: those
// were either released or given up, and a number given up is not asked for again.
bool FecRecovery::released_all(const FecHeader& h) const {
    if (last_kept_ < 0 || (h.mask[0] == 0 && h.mask[1] == 0)) return false;
    const uint32_t last = h.mask[1] != 0 ? 127 - static_cast<uint32_t>(__builtin_ctzll(h.mask[1]))
                                         : 63 - static_cast<uint32_t>(__builtin_ctzll(h.mask[0]));
    const uint16_t highest = static_cast<uint16_t>(h.seq_base + last);
    return static_cast<int16_t>(
               static_cast<uint16_t>(highest - static_cast<uint16_t>(last_kept_))) <= 0;
}

void FecRecovery::keep(int64_t seq, const uint8_t* packet, size_t size) {
    if (seq <= last_kept_) {  // a new run: its numbers say nothing about the old packets
        for (uint32_t i = 0; i < kHistory; ++i) kept_[i].seq = -1;
        spare_seq_ = -1;
    }
    last_kept_ = seq;
    ++released_;
    budget_ = budget_ + kWorkPerPacket > kWorkCap ? kWorkCap : budget_ + kWorkPerPacket;
    if (!packet || size < kRtpHeader || size > kMaxPacket || seq < 0) return;
    Kept& k = kept_[static_cast<uint64_t>(seq) % kHistory];
    k.bytes = hold(k.data, packet, size);
    k.size = size;
    k.seq = k.bytes ? seq : -1;
}

const uint8_t* FecRecovery::find(const Source& src, int64_t seq, size_t* size) const {
    size_t n = 0;
    const uint8_t* p = src.lookup ? src.lookup(src.param, seq, &n) : nullptr;
    if (!p && seq >= 0) {
        const Kept& k = kept_[static_cast<size_t>(seq % kHistory)];
        if (k.seq == seq) {
            p = k.bytes;
            n = k.size;
        }
    }
    if (!p && spare_seq_ == seq && spare_ssrc_ == src.ssrc) {
        p = spare_.data();
        n = spare_.size();
    }
    // Only packets of the stream, with the number asked for, take part.
    if (!p || n < kRtpHeader || n > kMaxPacket || be32(p + 8) != src.ssrc ||
        be16(p + 2) != static_cast<uint16_t>(seq))
        return nullptr;
    *size = n;
    return p;
}

// XORs the FEC packet with every other packet it protects into `out`, the packet at `offset`
// from the base, numbered `seq`; false when what comes out cannot be that packet.
bool FecRecovery::xor_packet(const FecHeader& h, const Source& src, int64_t seq, uint32_t offset,
                             std::vector<uint8_t>* out, bool* unknown) const {
    *unknown = false;
    const size_t protection = h.payload_size;
    if (out->capacity() < kRtpHeader + protection)
        out->reserve(kRtpHeader + protection);  // exactly
    out->resize(kRtpHeader + protection);
    uint8_t* p = out->data();
    if (protection > 0) memcpy(p + kRtpHeader, h.payload, protection);
    uint8_t b0 = h.recovery0, b1 = h.recovery1;
    uint32_t ts = h.ts_recovery;
    uint16_t length = h.length_recovery;
    size_t foreign_end = 0;  // end of the header extension bytes of the other packets
    for (uint32_t i = 0; i < h.mask_bits; ++i) {
        if (i == offset || !h.protects(i)) continue;
        size_t n = 0;
        const uint8_t* m = find(src, seq + static_cast<int64_t>(i) - offset, &n);
        if (!m) return false;  // checked by the caller; a lookup may not change its mind
        b0 ^= m[0];
        b1 ^= m[1];
        ts ^= be32(m + 4);
        length ^= static_cast<uint16_t>(n - kRtpHeader);
        const size_t upto = std::min(n, kRtpHeader + protection);
        fec_xor_into(p + kRtpHeader, m, kRtpHeader, upto);
        // Header extension bytes the sender rewrote after making the FEC count as zero, as they
        // did when it XORed: their XOR is undone. Unknown, where they end is kept for the check.
        for_each_extension(m, n, [&](size_t id, size_t from, size_t to) {
            const streams::SdpExt* mode = ext_ ? &ext_[id] : learned_[id] ? &modes_[id] : nullptr;
            if (!mode) {
                foreign_end = std::max(foreign_end, to);
                return;
            }
            if (*mode == streams::SdpExt::kept) return;
            fec_xor_into(p + kRtpHeader, m, rewritten_from(*mode, from), std::min(to, upto));
        });
    }
    // The length must fit the protection bytes, and past it every packet was zero-padded, so
    // anything but zeros there means a packet or the FEC packet is not what the sender XORed.
    if (length > protection) return false;
    for (size_t k = kRtpHeader + length; k < kRtpHeader + protection; ++k)
        if (p[k] != 0) return false;
    out->resize(kRtpHeader + length);
    p = out->data();
    p[0] = static_cast<uint8_t>(kVersion2 | (b0 & kRecoveredBits0));
    p[1] = b1;
    put_be16(p + 2, static_cast<uint16_t>(seq));
    put_be32(p + 4, ts);
    put_be32(p + 8, src.ssrc);
    rtp_packet_t rtp;
    if (rtp_packet_deserialize(&rtp, p, static_cast<int>(out->size())) != 0 ||
        rtp.rtp.ssrc != src.ssrc)
        return false;
    // Without the sender's extension map, another packet's extension bytes must not reach into
    // this one's payload: some of them may have been rewritten after the FEC was made. Within
    // this packet's own header they do no harm, as nothing reads the values there.
    if (foreign_end == 0) return true;
    streams::RtpSpan r;
    *unknown = !streams::read_rtp(p, out->size(), &r) || foreign_end > r.header;
    return !*unknown;
}

FecRecovery::Rebuilt FecRecovery::rebuild(const Source& src, int64_t seq, int depth,
                                          std::vector<uint8_t>* out) {
    Rebuilt result = Rebuilt::none;
    for (size_t f = 0; f < fec_.size() && live_ > 0 && budget_ > 0; ++f) {
        --budget_;
        Fec& fec = fec_[f];
        if (!fec.live) continue;
        if (released_ - fec.added_at > kMaxFecAge) {
            kill(fec);
            continue;
        }
        const FecHeader& h = fec.header;
        const uint32_t offset = static_cast<uint16_t>(static_cast<uint16_t>(seq) - h.seq_base);
        if (h.ssrc != src.ssrc || !h.protects(offset)) continue;
        int64_t absent = -1;
        int absent_count = 0;
        for (uint32_t i = 0; i < h.mask_bits && absent_count < 2; ++i) {
            if (i == offset || !h.protects(i)) continue;
            size_t n = 0;
            const int64_t other = seq + static_cast<int64_t>(i) - offset;
            if (budget_ == 0) {
                absent_count = 2;  // out of work for now: as if it could not be rebuilt
                break;
            }
            --budget_;
            if (!find(src, other, &n)) {
                absent = other;
                ++absent_count;
            }
        }
        // One other packet missing too: another FEC packet may give it first (one step deep).
        if (absent_count == 1 && depth == 0) {
            std::vector<uint8_t> chained;
            if (rebuild(src, absent, 1, &chained) == Rebuilt::ok) {
                spare_.swap(chained);
                spare_seq_ = absent;
                spare_ssrc_ = src.ssrc;
                absent_count = 0;
            }
        }
        if (absent_count != 0) continue;
        try {
            bool unknown = false;
            bool ok = xor_packet(h, src, seq, offset, out, &unknown);
            // Extension bytes of unknown fate in the way: learn from the complete groups at hand.
            if (!ok && unknown && learn_from_store(src, seq))
                ok = xor_packet(h, src, seq, offset, out, &unknown);
            // Either way it is done: every packet it protects is now at hand, or what it gave
            // does not agree with the packets at hand, and would not for another number either.
            kill(fec);
            if (ok) return Rebuilt::ok;
        } catch (const std::bad_alloc&) {
            continue;
        }
        result = Rebuilt::bad;
    }
    return result;
}

const uint8_t* FecRecovery::recover(int64_t seq, uint32_t ssrc, FecLookup lookup, void* param,
                                    size_t* size) {
    *size = 0;
    if (spare_seq_ == seq && spare_ssrc_ == ssrc) {  // rebuilt on the way to another one
        out_.swap(spare_);
        spare_seq_ = -1;
    } else {
        const Source src{lookup, param, ssrc};
        const Rebuilt r = rebuild(src, seq, 0, &out_);
        if (r != Rebuilt::ok) {
            if (r == Rebuilt::bad && stats_) ++stats_->fec_unrecoverable;
            return nullptr;
        }
    }
    if (stats_) ++stats_->fec_recovered;
    *size = out_.size();
    return out_.data();
}

void FecRecovery::kill(Fec& fec) {
    if (!fec.live) return;
    fec.live = false;
    --live_;
    free_.push_back(static_cast<uint32_t>(&fec - fec_.data()));  // reserved: never allocates
}

// ---- The reorder stage's hook -------------------------------------------------------------------

namespace {

void hook_released(void* self, int64_t seq, const uint8_t* packet, size_t size) {
    static_cast<FecRecovery*>(self)->keep(seq, packet, size);
}

const uint8_t* hook_recover(void* self, int64_t seq, uint32_t ssrc, ReorderWindow::HeldLookup held,
                            void* held_param, size_t* size) {
    return static_cast<FecRecovery*>(self)->recover(seq, ssrc, held, held_param, size);
}

}  // namespace

ReorderWindow::RecoveryHook FecRecovery::hook() {
    return ReorderWindow::RecoveryHook{&hook_released, &hook_recover, this};
}
