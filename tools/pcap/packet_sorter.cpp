#include "packet_sorter.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "byte_order.h"

namespace pcapin {
namespace {

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// |                           timestamp                           |
// |           synchronization source (SSRC) identifier            |
constexpr size_t kRtpHeader = 12;
constexpr uint8_t kRtpPadding = 0x20;
constexpr uint8_t kRtpExtension = 0x10;
constexpr uint8_t kRtpCsrcMask = 0x0F;
constexpr uint8_t kRtpPtMask = 0x7F;

// First-byte ranges of RFC 7983's demultiplexing, and RTCP's packet types 192-223 in the second
// byte (RFC 5761).
bool is_stun(uint8_t b) {
    return b <= 3;
}
bool is_dtls(uint8_t b) {
    return b >= 20 && b <= 63;
}
bool is_rtp_or_rtcp(uint8_t b) {
    return b >= 128 && b <= 191;
}
bool is_rtcp_type(uint8_t b) {
    return b >= 192 && b <= 223;
}

// Checks the RTP header's own lengths. Sets `media` false for a packet that carries nothing but
// padding (a bandwidth probe).
bool rtp_header_valid(const uint8_t* p, size_t n, bool& media) {
    if (n < kRtpHeader || (p[0] >> 6) != 2) return false;
    size_t at = kRtpHeader + 4 * static_cast<size_t>(p[0] & kRtpCsrcMask);
    if (at > n) return false;
    if (p[0] & kRtpExtension) {
        if (n - at < 4) return false;
        const size_t words = be16(p + at + 2);
        at += 4;
        if (words * 4 > n - at) return false;
        at += words * 4;
    }
    size_t padding = 0;
    if (p[0] & kRtpPadding) {
        if (at == n) return false;
        padding = p[n - 1];
        if (padding == 0 || padding > n - at) return false;
    }
    media = n - at > padding;
    return true;
}

struct KnownClock {
    double hz;
    int kind;
};
constexpr KnownClock kKnownClocks[] = {
    {90000, kVideo}, {48000, kAudio}, {16000, kAudio}, {8000, kAudio}};
// With less than this much measured time, a clock is not measured at all.
constexpr uint64_t kMinGuessSpanUs = 200000;
// Steps between consecutive packets up to this long always count (jitter, a burst after a stall,
// a reordered packet), as long as their ticks are within a second of the fastest clock; longer
// ones only when their own rate is near a known clock (a pause in which both clocks ran on), so
// that a capture clock's jump, or an RTP clock stalled by a detached track, is left out.
constexpr int64_t kShortStepUs = 100000;
constexpr int64_t kShortStepMaxTicks = 90000;
constexpr double kStepTolerance = 0.2;

bool near_known_clock(double hz, double tolerance) {
    for (const KnownClock& c : kKnownClocks)
        if (std::fabs(hz - c.hz) <= c.hz * tolerance) return true;
    return false;
}

std::string address_text(bool ipv6, const uint8_t* a, uint16_t port) {
    char buf[INET6_ADDRSTRLEN] = "";
    inet_ntop(ipv6 ? AF_INET6 : AF_INET, a, buf, sizeof buf);
    return ipv6 ? "[" + std::string(buf) + "]:" + std::to_string(port)
                : std::string(buf) + ":" + std::to_string(port);
}

std::string flow_key(const FrameInfo& info) {
    std::string key(38, '\0');
    key[0] = static_cast<char>(info.protocol);
    key[1] = info.ipv6 ? 1 : 0;
    memcpy(&key[2], info.src, 16);
    memcpy(&key[18], info.dst, 16);
    key[34] = static_cast<char>(info.src_port >> 8);
    key[35] = static_cast<char>(info.src_port);
    key[36] = static_cast<char>(info.dst_port >> 8);
    key[37] = static_cast<char>(info.dst_port);
    return key;
}

}  // namespace

const char* kind_name(int kind) {
    return kind == kVideo ? "video" : kind == kAudio ? "audio" : "unknown";
}

const char* kind_from_name(KindFrom from) {
    switch (from) {
        case KindFrom::sdp:
            return "sdp";
        case KindFrom::clock:
            return "clock";
        default:
            return "guess";
    }
}

std::string Sender::describe() const {
    return std::string(protocol == kProtoTcp ? "tcp " : "udp ") +
           address_text(ipv6, src, src_port) + " -> " + address_text(ipv6, dst, dst_port);
}

bool parse_sdp(const std::string& text, SdpKinds& out, std::string& error) {
    constexpr int kConflict = -2;
    std::istringstream in(text);
    std::string line;
    int kind = kKindUnknown;
    bool any_media = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("m=", 0) == 0) {
            kind = line.rfind("m=video", 0) == 0   ? kVideo
                   : line.rfind("m=audio", 0) == 0 ? kAudio
                                                   : kKindUnknown;
            any_media = any_media || kind != kKindUnknown;
            continue;
        }
        if (kind == kKindUnknown) continue;
        if (line.rfind("a=rtpmap:", 0) == 0) {
            const int pt = atoi(line.c_str() + 9);
            auto it = out.payload_type.find(pt);
            if (it == out.payload_type.end())
                out.payload_type[pt] = kind;
            else if (it->second != kind)
                it->second = kConflict;
        } else if (line.rfind("a=ssrc:", 0) == 0) {
            out.ssrc[static_cast<uint32_t>(strtoul(line.c_str() + 7, nullptr, 10))] = kind;
        } else if (line.rfind("a=ssrc-group:", 0) == 0) {
            std::istringstream words(line.substr(13));
            std::string word;
            words >> word;  // the semantics: FID, FEC-FR, SIM
            while (words >> word)
                out.ssrc[static_cast<uint32_t>(strtoul(word.c_str(), nullptr, 10))] = kind;
        }
    }
    for (auto it = out.payload_type.begin(); it != out.payload_type.end();)
        it = it->second == kConflict ? out.payload_type.erase(it) : std::next(it);
    if (!any_media) {
        error = "no m=video or m=audio section";
        return false;
    }
    return true;
}

// What a waiting packet costs: its queue entry, and its copy in a heap block (a header of 8 bytes,
// rounded up to 16, at least 32).
size_t PacketSorter::waiting_cost(size_t n) {
    return sizeof(Waiting) + std::max<size_t>(32, (n + 8 + 15) & ~size_t{15});
}

int kind_of_clock(double hz) {
    for (const KnownClock& c : kKnownClocks)
        if (std::fabs(hz - c.hz) <= c.hz * kClockTolerance) return c.kind;
    return kKindUnknown;
}

PacketSorter::PacketSorter(const SortOptions& options, RecordSink sink)
    : options_(options), sink_(sink) {
    for (const auto& u : options_.users) taken_uids_.insert(u.second);
    auto_uid_ = options_.first_auto_uid ? options_.first_auto_uid - 1 : 0;
}

PacketSorter::~PacketSorter() = default;

void PacketSorter::frame(int link_type, uint64_t time_us, const uint8_t* data, size_t caplen,
                         size_t wirelen) {
    ++counts_.frames;
    const FrameInfo info = parse_frame(link_type, data, caplen, wirelen);
    switch (info.status) {
        case FrameStatus::ok:
            break;
        case FrameStatus::not_ip:
            ++counts_.not_ip;
            return;
        case FrameStatus::other_ip:
            ++counts_.other_ip;
            return;
        case FrameStatus::cut:
            ++counts_.cut;
            return;
        case FrameStatus::fragment:
            ++counts_.fragments;
            return;
        case FrameStatus::malformed:
            ++counts_.malformed;
            return;
    }
    if (info.protocol == kProtoTcp) {
        if (options_.tcp)
            tcp_segment(info, time_us);
        else
            ++counts_.tcp_ignored;
        return;
    }
    datagram(info, time_us);
}

void PacketSorter::datagram(const FrameInfo& info, uint64_t time_us) {
    const uint8_t* p = info.payload;
    const size_t n = info.payload_len;
    if (n == 0) {
        ++counts_.not_rtp;
    } else if (is_stun(p[0])) {
        ++counts_.stun;
    } else if (is_dtls(p[0])) {
        ++counts_.dtls;
    } else if (is_rtp_or_rtcp(p[0]) && n >= 2 && is_rtcp_type(p[1])) {
        ++counts_.rtcp;
    } else if (is_rtp_or_rtcp(p[0])) {
        rtp(info, p, n, time_us);
    } else {
        ++counts_.not_rtp;
    }
}

// RFC 4571: each packet is preceded by its length, 16 bits big-endian. Segments are joined in
// sequence order; a segment the capture missed leaves the framing unknown, so the stream starts
// afresh at the next segment (senders start a segment with a frame far more often than not).
void PacketSorter::tcp_segment(const FrameInfo& info, uint64_t time_us) {
    const std::string key = flow_key(info);
    auto found = tcp_flows_.find(key);
    if (found == tcp_flows_.end()) {
        if (tcp_flows_.size() >= options_.max_streams) {
            ++counts_.too_many_streams;
            return;
        }
        found = tcp_flows_.emplace(key, TcpFlow{}).first;
    }
    TcpFlow& flow = found->second;
    uint32_t seq = info.tcp_seq;
    if (info.tcp_flags & kTcpSyn) {
        flow.synced = true;
        flow.next_seq = seq + 1;
        flow.buffer.clear();
        ++seq;
    }
    const uint8_t* p = info.payload;
    size_t n = info.payload_len;
    if (n == 0) return;
    if (!flow.synced) {
        flow.synced = true;
        flow.next_seq = seq;
    }
    const int32_t ahead = static_cast<int32_t>(seq - flow.next_seq);
    if (ahead > 0) {
        ++counts_.tcp_gaps;
        flow.buffer.clear();
    } else if (ahead < 0) {
        // A retransmission: only what lies beyond the bytes already taken is new.
        const size_t old = static_cast<size_t>(-static_cast<int64_t>(ahead));
        if (old >= n) return;
        p += old;
        n -= old;
    }
    flow.buffer.insert(flow.buffer.end(), p, p + n);
    if (ahead > 0) flow.next_seq = seq;
    flow.next_seq += static_cast<uint32_t>(n);
    size_t at = 0;
    FrameInfo framed = info;
    while (flow.buffer.size() - at >= 2) {
        const size_t len = be16(&flow.buffer[at]);
        if (flow.buffer.size() - at - 2 < len) break;
        framed.payload = &flow.buffer[at + 2];
        framed.payload_len = len;
        datagram(framed, time_us);
        at += 2 + len;
    }
    flow.buffer.erase(flow.buffer.begin(), flow.buffer.begin() + static_cast<ptrdiff_t>(at));
}

size_t PacketSorter::sender_index(const FrameInfo& info) {
    // Packets come in runs from one sender: the last one found is asked first, without building
    // the key.
    if (last_sender_ != kNoSender) {
        const Sender& l = senders_[last_sender_];
        if (l.src_port == info.src_port && l.dst_port == info.dst_port &&
            l.protocol == info.protocol && l.ipv6 == info.ipv6 && !memcmp(l.src, info.src, 16) &&
            !memcmp(l.dst, info.dst, 16))
            return last_sender_;
    }
    const std::string key = flow_key(info);
    auto it = sender_index_.find(key);
    if (it != sender_index_.end()) return last_sender_ = it->second;
    // A sender is made with its first stream, so the bound on streams bounds senders too.
    if (streams_.size() >= options_.max_streams) return kNoSender;
    Sender s;
    s.protocol = info.protocol;
    s.ipv6 = info.ipv6;
    memcpy(s.src, info.src, 16);
    memcpy(s.dst, info.dst, 16);
    s.src_port = info.src_port;
    s.dst_port = info.dst_port;
    senders_.push_back(s);
    sender_index_.emplace(key, senders_.size() - 1);
    return last_sender_ = senders_.size() - 1;
}

uint32_t PacketSorter::next_auto_uid() {
    do ++auto_uid_;
    while (taken_uids_.count(auto_uid_));
    return auto_uid_;
}

Stream* PacketSorter::stream_for(size_t sender, uint32_t ssrc) {
    if (last_stream_ && last_stream_->sender == sender && last_stream_->ssrc == ssrc)
        return last_stream_;
    last_stream_ = find_stream(sender, ssrc);
    return last_stream_;
}

Stream* PacketSorter::find_stream(size_t sender, uint32_t ssrc) {
    auto it = stream_index_.find({sender, ssrc});
    if (it != stream_index_.end()) return it->second;
    if (streams_.size() >= options_.max_streams) return nullptr;
    Sender& from = senders_[sender];
    auto mapped = options_.users.find(ssrc);
    // A sender's first stream names its user; the streams that join it later (RTX, FEC, the
    // other kind of a bundle) are the same user unless --user says otherwise.
    if (!from.named) {
        from.named = true;
        from.uid = mapped != options_.users.end() ? mapped->second : next_auto_uid();
    }
    auto s = std::make_unique<Stream>();
    s->index = streams_.size();
    s->ssrc = ssrc;
    s->sender = sender;
    s->uid = mapped != options_.users.end() ? mapped->second : from.uid;
    s->uid_named = mapped != options_.users.end();
    if (options_.sdp) {
        auto k = options_.sdp->ssrc.find(ssrc);
        if (k != options_.sdp->ssrc.end()) set_kind(*s, k->second, KindFrom::sdp);
    }
    Stream* raw = s.get();
    streams_.push_back(std::move(s));
    stream_index_.emplace(std::make_pair(sender, ssrc), raw);
    return raw;
}

void PacketSorter::rtp(const FrameInfo& info, const uint8_t* p, size_t n, uint64_t time_us) {
    bool media = false;
    if (!rtp_header_valid(p, n, media)) {
        ++counts_.not_rtp;
        return;
    }
    const size_t sender = sender_index(info);
    Stream* s = sender == kNoSender ? nullptr : stream_for(sender, be32(p + 8));
    if (s == nullptr) {
        ++counts_.too_many_streams;
        return;
    }
    advance_clock(time_us);
    const int pt = p[1] & kRtpPtMask;
    ++s->packets;
    ++s->payload_types[pt];  // pt < 128
    const uint32_t ts = be32(p + 4);
    if (media) {
        if (s->sampled) {
            const int64_t dt = static_cast<int64_t>(time_us - s->last_us);
            const int64_t ticks = static_cast<int32_t>(ts - s->last_ts);
            const bool counts =
                dt >= 0 &&
                (dt <= kShortStepUs
                     ? std::llabs(ticks) <= kShortStepMaxTicks
                     : near_known_clock(static_cast<double>(ticks) * 1e6 / static_cast<double>(dt),
                                        kStepTolerance));
            if (counts) {
                s->clock_us += static_cast<uint64_t>(dt);
                s->clock_ticks += ticks;
            } else {
                ++s->clock_steps_left_out;
            }
        }
        s->sampled = true;
        s->last_us = time_us;
        s->last_ts = ts;
    }
    if (s->kind == kKindUnknown && options_.sdp) {
        auto k = options_.sdp->payload_type.find(pt);
        if (k != options_.sdp->payload_type.end()) set_kind(*s, k->second, KindFrom::sdp);
    }
    // A clock that matches none is measured on until the stream has to be decided anyway.
    if (s->kind == kKindUnknown && s->clock_us >= options_.clock_span_us) decide_by_clock(*s);
    if (waiting_.empty() && s->kind != kKindUnknown) {
        emit(*s, time_us, p, n);
        return;
    }
    waiting_.push_back(Waiting{s, time_us, forward_us_, std::vector<uint8_t>(p, p + n)});
    waiting_bytes_ += waiting_cost(n);
    drain(forward_us_);
}

void PacketSorter::advance_clock(uint64_t time_us) {
    if (have_time_ && time_us > last_time_us_) forward_us_ += time_us - last_time_us_;
    have_time_ = true;
    last_time_us_ = time_us;
}

void PacketSorter::set_kind(Stream& s, int kind, KindFrom from) {
    s.kind = kind;
    s.kind_from = from;
    Sender& sender = senders_[s.sender];
    ++(kind == kVideo ? sender.video_streams : sender.audio_streams);
    Stream*& first = known_by_ssrc_[s.ssrc];
    if (first == nullptr || first->index > s.index) first = &s;
}

// Sets the kind when the measured clock is a known one; leaves it unknown otherwise.
void PacketSorter::decide_by_clock(Stream& s) {
    s.clock_hz =
        std::fabs(static_cast<double>(s.clock_ticks)) * 1e6 / static_cast<double>(s.clock_us);
    const int kind = kind_of_clock(s.clock_hz);
    if (kind != kKindUnknown) set_kind(s, kind, KindFrom::clock);
}

// Too few packets, or too short a span, to measure a clock: the kind the same SSRC has on another
// sender (ICE checked the call on one candidate pair and moved it to another: the first few
// packets of each stream went out on a flow of their own); else the kind of the sender's other
// streams, video first (retransmission and FEC streams of short life are video's in practice);
// with nothing to go by, video.
// A clock measured but near no known one is said (clock_unknown) and guessed the same way.
void PacketSorter::decide_anyway(Stream& s) {
    if (s.kind != kKindUnknown) return;
    if (s.clock_us >= kMinGuessSpanUs) {
        decide_by_clock(s);
        if (s.kind != kKindUnknown) return;
        s.clock_unknown = true;
    }
    guess_kind(s);
}

void PacketSorter::guess_kind(Stream& s) {
    auto other = known_by_ssrc_.find(s.ssrc);
    if (other != known_by_ssrc_.end()) {
        set_kind(s, other->second->kind, KindFrom::guess);
        return;
    }
    const Sender& sender = senders_[s.sender];
    set_kind(s, sender.audio_streams > 0 && sender.video_streams == 0 ? kAudio : kVideo,
             KindFrom::guess);
}

void PacketSorter::drain(uint64_t now_us) {
    while (!waiting_.empty()) {
        Waiting& w = waiting_.front();
        if (w.stream->kind == kKindUnknown) {
            const uint64_t age = now_us - w.queued_us;
            if (age < options_.max_wait_us && waiting_bytes_ <= options_.max_queue_bytes) return;
            decide_anyway(*w.stream);
        }
        emit(*w.stream, w.time_us, w.bytes.data(), w.bytes.size());
        waiting_bytes_ -= waiting_cost(w.bytes.size());
        waiting_.pop_front();
    }
}

void PacketSorter::finish() {
    while (!waiting_.empty()) {
        decide_anyway(*waiting_.front().stream);
        drain(waiting_.front().queued_us);
    }
}

std::vector<UserConflict> PacketSorter::user_conflicts() const {
    // SSRCs named with one id are joined when a sender carries both; more than one group per id
    // is a conflict.
    std::unordered_map<uint32_t, uint32_t> parent;
    std::function<uint32_t(uint32_t)> root = [&](uint32_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    std::map<std::pair<size_t, uint32_t>, uint32_t> on_sender;  // (sender, uid) -> an SSRC
    for (const auto& s : streams_) {
        if (!s->uid_named) continue;
        parent.emplace(s->ssrc, s->ssrc);
        auto first = on_sender.emplace(std::make_pair(s->sender, s->uid), s->ssrc).first;
        const uint32_t a = root(first->second), b = root(s->ssrc);
        if (a != b) parent[b] = a;
    }
    std::vector<UserConflict> out;
    std::map<uint32_t, const Stream*> group_of_uid;  // uid -> a stream of its first group
    std::set<uint32_t> reported;
    for (const auto& s : streams_) {
        if (!s->uid_named) continue;
        auto g = group_of_uid.emplace(s->uid, s.get()).first;
        if (root(g->second->ssrc) != root(s->ssrc) && reported.insert(s->uid).second)
            out.push_back(
                UserConflict{s->uid, g->second->ssrc, s->ssrc, g->second->sender, s->sender});
    }
    return out;
}

void PacketSorter::emit(const Stream& s, uint64_t time_us, const uint8_t* p, size_t n) {
    ++counts_.rtp;
    sink_.put(sink_.ctx, s.kind, time_us, s.uid, p, n);
}

}  // namespace pcapin
