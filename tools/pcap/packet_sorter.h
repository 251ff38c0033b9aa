// Sorts the packets of a network capture into the converter's capture records.
//
// Each UDP datagram (or, with `tcp`, each RFC 4571 frame of a TCP stream) is looked at the way a
// demultiplexing receiver does (RFC 7983): STUN, DTLS and RTCP are counted and dropped, RTP is
// kept. A sender is one transport 5-tuple in one direction; its SSRCs are the streams. The kind of
// an SSRC (video or audio) comes from the SDP when the user gives one, else from its RTP clock:
// how far its timestamps advance against the capture clock (90 kHz video, 48 kHz audio). Until an
// SSRC's kind is known its packets wait in one queue in capture order, so the records come out in
// the order the packets were captured; the queue is bounded in time and bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pcap_frame.h"
#include "sender_report_file.h"

namespace pcapin {

constexpr size_t kNoSender = static_cast<size_t>(-1);

enum Kind : int { kVideo = 0, kAudio = 1, kKindUnknown = -1 };
const char* kind_name(int kind);

// What the SDP says: the kind of each SSRC it names, and of each payload type that only one kind
// of media section uses.
struct SdpKinds {
    std::map<uint32_t, int> ssrc;
    std::map<int, int> payload_type;
};
// Reads `a=rtpmap`, `a=ssrc` and `a=ssrc-group` lines under their `m=` sections. Several SDPs
// (an offer and its answer) may follow each other. Returns false with `error` set when the text
// names no media section.
bool parse_sdp(const std::string& text, SdpKinds& out, std::string& error);
// Reads the SDP file at `path` with the converter's bounds (at most 1 MiB; a directory cannot be
// read; a FIFO is not waited on for ever) and parses it. False with `error` set, in the converter's
// words ("cannot read it").
bool load_sdp(const std::string& path, SdpKinds& out, std::string& error);

struct SortOptions {
    uint32_t split_seconds = 60;
    bool tcp = false;                    // RTP over TCP, RFC 4571 framing
    std::map<uint32_t, uint32_t> users;  // --user SSRC=UID
    uint32_t first_auto_uid = 1;         // automatic user ids count from here
    const SdpKinds* sdp = nullptr;
    // An SSRC's kind is taken from its clock once its packets span this long...
    uint64_t clock_span_us = 2000000;
    // ...and with whatever it has once its oldest waiting packet is this old (in capture time that
    // only moves forward), or the queue holds this many bytes (what its packets really cost).
    uint64_t max_wait_us = 5000000;
    size_t max_queue_bytes = 64u << 20;
    // SSRCs (and senders, and TCP flows) tracked; packets of further ones are counted and dropped.
    size_t max_streams = 65536;
    // RTCP sender reports kept until the end (a report costs 24 bytes); further ones are counted.
    size_t max_sender_reports = 1u << 22;
};

// Where the sorted records go. `time_us` is the capture time of the packet.
struct RecordSink {
    void* ctx;
    void (*put)(void* ctx, int kind, uint64_t time_us, uint32_t uid, const uint8_t* packet,
                size_t len);
};

struct SortCounts {
    uint64_t frames = 0;
    uint64_t not_ip = 0;
    uint64_t other_ip = 0;     // neither UDP nor TCP
    uint64_t tcp_ignored = 0;  // TCP segments without --tcp
    uint64_t cut = 0;          // cut short by the snapshot length
    uint64_t fragments = 0;
    uint64_t malformed = 0;  // broken IP/UDP/TCP lengths
    uint64_t stun = 0;
    uint64_t dtls = 0;
    uint64_t rtcp = 0;
    uint64_t not_rtp = 0;   // neither of the above nor a valid RTP header
    uint64_t rtp = 0;       // RTP packets written
    uint64_t tcp_gaps = 0;  // TCP bytes missing from the capture: framing started afresh
    uint64_t too_many_streams = 0;
    uint64_t sender_reports = 0;           // RTCP sender reports seen
    uint64_t sender_reports_left_out = 0;  // of SSRCs no stream was written for, or past the bound
};

enum class KindFrom { sdp, clock, guess };
const char* kind_from_name(KindFrom from);

struct Sender {
    uint8_t protocol;
    bool ipv6;
    uint8_t src[16], dst[16];
    uint16_t src_port, dst_port;
    uint32_t uid = 0;
    bool named = false;                             // uid set by its first stream
    uint32_t video_streams = 0, audio_streams = 0;  // of its streams whose kind is known
    std::string describe() const;                   // "udp 10.0.0.1:5000 -> 10.0.0.2:6000"
};

struct Stream {
    uint32_t ssrc;
    size_t sender;  // index into senders()
    uint32_t uid;
    int kind = kKindUnknown;
    KindFrom kind_from = KindFrom::guess;
    size_t index = 0;            // in streams()
    double clock_hz = 0;         // measured; 0 when it could not be
    bool clock_unknown = false;  // measured, but near no known clock: the kind was guessed
    bool uid_named = false;      // its uid came from --user
    uint64_t packets = 0;
    // Packets per RTP payload type, in order of first use: a stream uses one to a few, and a
    // table of all 128 would cost a KiB for each of up to max_streams streams.
    std::vector<std::pair<uint8_t, uint64_t>> payload_types;
    void count_payload_type(int pt);
    uint64_t packets_of(int pt) const;
    // The clock is measured over the spacing of consecutive packets with media (padding-only
    // probes carry timestamps of their own choosing): the capture time and RTP ticks of each
    // step that looks like time passing on a known clock are summed, so a capture clock that
    // steps back or jumps, or an RTP clock that stalls, leaves out one step and nothing else.
    bool sampled = false;
    uint64_t last_us = 0;
    uint32_t last_ts = 0;
    uint64_t clock_us = 0;
    int64_t clock_ticks = 0;
    uint64_t clock_steps_left_out = 0;
};

// The RTP clocks a kind is told by: 90 kHz video; 48 kHz Opus, 16 and 8 kHz audio. A measured
// rate within kClockTolerance of one of them is that clock; else kKindUnknown.
int kind_of_clock(double hz);
constexpr double kClockTolerance = 0.15;

// One --user id given to SSRCs of senders that share none of them: two participants whose packets
// are mixed in one user (the SSRCs of one participant share a transport, or move together when ICE
// moves the call to another candidate pair).
struct UserConflict {
    uint32_t uid;
    uint32_t ssrc_a, ssrc_b;
    size_t sender_a, sender_b;
};

class PacketSorter {
public:
    PacketSorter(const SortOptions& options, RecordSink sink);
    ~PacketSorter();
    PacketSorter(const PacketSorter&) = delete;
    PacketSorter& operator=(const PacketSorter&) = delete;

    // One captured frame.
    void frame(int link_type, uint64_t time_us, const uint8_t* data, size_t caplen, size_t wirelen);
    // A transport payload already taken out of its frame (tests and the TCP path use it).
    void datagram(const FrameInfo& info, uint64_t time_us);
    // Decides every waiting stream and writes what waits. Call once at the end.
    void finish();

    const SortCounts& counts() const { return counts_; }
    // After finish(): each sender report of an SSRC that was written, with its user and kind, in
    // capture order.
    const std::vector<SenderReportLine>& sender_reports() const { return report_lines_; }
    // After finish(): the --user ids that mixed senders.
    std::vector<UserConflict> user_conflicts() const;
    const std::vector<Sender>& senders() const { return senders_; }
    // In order of first packet.
    const std::vector<std::unique_ptr<Stream>>& streams() const { return streams_; }
    // What a waiting packet of `n` bytes counts against max_queue_bytes.
    static size_t waiting_cost(size_t n);

private:
    struct Waiting {
        Stream* stream;
        uint64_t time_us;
        uint64_t queued_us;  // on the forward-only clock
        std::vector<uint8_t> bytes;
    };
    struct TcpFlow {
        bool synced = false;
        uint32_t next_seq = 0;
        std::vector<uint8_t> buffer;
    };

    void rtp(const FrameInfo& info, const uint8_t* p, size_t n, uint64_t time_us);
    void tcp_segment(const FrameInfo& info, uint64_t time_us);
    size_t sender_index(const FrameInfo& info);
    Stream* stream_for(size_t sender, uint32_t ssrc);
    Stream* find_stream(size_t sender, uint32_t ssrc);
    void set_kind(Stream& s, int kind, KindFrom from);
    void decide_by_clock(Stream& s);
    void decide_anyway(Stream& s);
    void guess_kind(Stream& s);
    void advance_clock(uint64_t time_us);
    void drain(uint64_t now_us);
    void emit(const Stream& s, uint64_t time_us, const uint8_t* p, size_t n);
    uint32_t next_auto_uid();

    SortOptions options_;
    RecordSink sink_;
    SortCounts counts_;
    std::vector<Sender> senders_;
    std::unordered_map<std::string, size_t> sender_index_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::map<std::pair<size_t, uint32_t>, Stream*> stream_index_;
    std::map<std::string, TcpFlow> tcp_flows_;
    std::vector<SenderReport> reports_;
    std::vector<SenderReportLine> report_lines_;
    std::deque<Waiting> waiting_;
    size_t waiting_bytes_ = 0;
    uint32_t auto_uid_ = 0;
    std::unordered_set<uint32_t> taken_uids_;  // by --user
    // Per SSRC, its first stream (in streams() order) whose kind is known.
    std::unordered_map<uint32_t, Stream*> known_by_ssrc_;
    // Capture time that only moves forward: a clock stepped back adds nothing.
    bool have_time_ = false;
    uint64_t last_time_us_ = 0, forward_us_ = 0;
    size_t last_sender_ = kNoSender;
    Stream* last_stream_ = nullptr;
};

}  // namespace pcapin
