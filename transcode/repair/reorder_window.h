// Reorder stage of one user's RTP stream: holds up to N packets and releases them in sequence
// number order, dropping repeats and packets that come after their turn has passed.
//
// Use: push() one packet, then pop() until it returns false; at the end of the stream call
// flush() and pop() until false again. A packet returned by pop() stays valid until the next
// push() or pop(), and as long as the buffer given to the last push(): a packet that comes in order
// while nothing is held is handed back from there, without a copy.
//
// Memory follows the packets actually held, not the window: a held packet costs a copy of its
// bytes and one entry of a heap ordered by sequence number, and released copies are kept for the
// next packets, so nothing is allocated once as many packets have been held as are held at once.
// The window itself costs two bits per slot (which numbers near the window have come). Every step
// costs the same however far apart the numbers are: a run of missing numbers is given up at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "held_order.h"
#include "run_stats.h"

class ReorderWindow {
public:
    // What push() did with a packet. no_memory: the packet could not be stored and is dropped;
    // the stage goes on with the packets after it.
    enum class Verdict { held, passed, duplicate, late, no_memory };

    // `skip`, when set, names packets that take a sequence number but must not reach the writer
    // (e.g. ones the unpacker refuses): they are ordered like any other and then left out, and the
    // packets after them are renumbered down so that they leave no gap behind.
    using SkipTest = bool (*)(const uint8_t* packet, size_t size);

    // `stats` (may be null) receives reordered, duplicates, late and resets.
    ReorderWindow(uint32_t capacity, RepairStats* stats, SkipTest skip = nullptr);
    ~ReorderWindow();
    ReorderWindow(const ReorderWindow&) = delete;
    ReorderWindow& operator=(const ReorderWindow&) = delete;

    // A packet that is not RTP (under 12 bytes, or a version other than 2 and 1) takes no
    // sequence number: it is passed through at once, in its place in the arrival order.
    Verdict push(const uint8_t* packet, size_t size);
    bool pop(const uint8_t** packet, size_t* size);
    void flush();  // release everything held, in order, on the following pop() calls
    // push() and pop() in one step for the usual packet: the next number of a run that releases in
    // order, with nothing held, waiting or left out before it. True: the stage has taken it, and
    // the caller hands `packet` on itself. False, having changed nothing, for any other packet:
    // push() it then. The caller has read the packet as RTP version 2 (`seq` and `ssrc` are its
    // own) and knows `skip` keeps it. Only after pop() has returned false.
    bool pass_in_order(const uint8_t* packet, size_t size, uint16_t seq, uint32_t ssrc);

    uint32_t capacity() const { return capacity_; }
    // At most the window, plus up to kRecoverSpan packets FEC rebuilt before a run's first
    // arrival, which join a window that may already be full.
    size_t held() const { return held_.size(); }
    size_t bytes_reserved() const;  // bytes of the packet copies, held or kept for reuse

    // ---- FEC recovery hook (optional; fec_recovery.h binds it) ----------------------------------
    // `released` sees every packet the stage hands on (not those `skip` leaves out), before any
    // renumbering, with its extended sequence number. `recover` is asked for a number the stage is
    // about to give up, with the run's SSRC and a lookup of the packets the stage holds; it returns
    // a rebuilt packet (valid until its next call), which the stage releases in that place, or
    // null. It is never asked while the number can still arrive, so a late packet wins.
    using HeldLookup = const uint8_t* (*)(void* param, int64_t seq, size_t* size);
    struct RecoveryHook {
        void (*released)(void* param, int64_t seq, const uint8_t* packet, size_t size);
        const uint8_t* (*recover)(void* param, int64_t seq, uint32_t ssrc, HeldLookup held,
                                  void* held_param, size_t* size);
        void* param;
    };
    void set_recovery(const RecoveryHook& hook) {
        recovery_ = hook;
        in_order_ = false;
    }
    // ---- end of the FEC recovery hook -----------------------------------------------------------

    // A sequence number jump beyond the window by more than this many packets is a new stream
    // (RFC 3550, A.1 allows the same dropout before it calls a sender restarted).
    static constexpr int64_t kMaxDropout = 3000;
    // The longest RTP packet there can be: UDP and RFC 4571's 16-bit length both stop here. The
    // pass refuses longer records before they reach the stage, so that N held packets never take
    // more than N times this.
    static constexpr size_t kMaxPacketSize = 65535;
    // The numbers a give-up offers to the FEC hook: more than the widest FEC mask (109 packets).
    static constexpr int64_t kRecoverSpan = 128;

private:
    struct Buffer {
        std::vector<uint8_t> data;
        size_t size = 0;
        int64_t seq = -1;  // extended sequence number of the packet in it
        bool held = false;
    };
    static constexpr uint32_t kNoSlot = UINT32_MAX;

    Verdict push_packet(const uint8_t* packet, size_t size);
    void start(int64_t seq);
    void advance_to(int64_t seq);
    void store(Buffer& buffer, const uint8_t* packet, size_t size, int64_t seq);
    void make_room();
    void hold(uint32_t slot);
    void recycle(uint32_t slot);
    void recycle_out();
    uint32_t spare();
    uint32_t copy_in(const uint8_t* packet, size_t size, int64_t seq);
    bool place_incoming();
    bool pop_held(const uint8_t** packet, size_t* size);  // pop() past its short paths
    bool release(const uint8_t** packet, size_t* size);
    void renumber(uint8_t* packet) const;
    // Which sequence numbers in [next_ - capacity_, next_ + capacity_) have come in this run.
    bool seen(int64_t seq) const;
    void mark_seen(int64_t seq);
    void clear_seen(int64_t from, int64_t count);
    static const uint8_t* held_packet(void* self, int64_t seq, size_t* size);  // FEC hook
    bool recover_next();                                                       // FEC hook
    bool recover_edge(int step);                                               // FEC hook

    const uint32_t capacity_;
    RepairStats* const stats_;
    const SkipTest skip_;
    std::vector<Buffer> slots_;   // copies of the held packets, and released ones kept for reuse
    std::vector<uint32_t> free_;  // the slots that hold no packet
    HeldOrder held_;              // the held packets' numbers and slots: the copies never move
    uint32_t out_ = kNoSlot;      // the slot of the packet pop() handed out last
    std::unique_ptr<uint64_t[]> seen_;
    uint64_t seen_mask_ = 0;  // bits in seen_ minus one (a power of two, at least 2 x capacity_)
    Buffer incoming_;         // a packet that waits for room (beyond the window, or a new run)
    bool incoming_new_run_ = false;
    uint32_t incoming_ssrc_ = 0;
    Buffer passed_;  // a non-RTP packet handed straight through
    bool have_passed_ = false;
    // A packet released as it came (in order, nothing held): the caller's bytes, or a renumbered
    // copy in `scratch_`.
    const uint8_t* direct_ = nullptr;
    size_t direct_size_ = 0;
    Buffer scratch_;

    bool in_order_ = false;   // pass_in_order() took the last packet, and nothing came since
    bool running_ = false;    // a run of the ordering has begun
    bool releasing_ = false;  // the run's start is settled: released in order from next_
    bool draining_ = false;
    uint32_t ssrc_ = 0;
    int64_t next_ = 0;      // the next sequence number to release
    int64_t highest_ = 0;   // the highest sequence number taken in this run
    int64_t force_to_ = 0;  // missing numbers below this are given up
    uint16_t skipped_ = 0;  // packets left out by `skip` so far; later ones are renumbered
    RecoveryHook recovery_{nullptr, nullptr, nullptr};  // FEC hook
    int64_t edge_from_ = 0;  // the run's highest arrival when it ended: rebuilt ones count from it
};

// Inline: the usual packet of a settled stream passes here.
inline bool ReorderWindow::seen(int64_t seq) const {
    if (seq < next_ - static_cast<int64_t>(capacity_) || seq >= next_ + capacity_) return false;
    const uint64_t bit = static_cast<uint64_t>(seq) & seen_mask_;
    return (seen_[bit >> 6] >> (bit & 63)) & 1;
}

inline void ReorderWindow::mark_seen(int64_t seq) {
    const uint64_t bit = static_cast<uint64_t>(seq) & seen_mask_;
    seen_[bit >> 6] |= uint64_t{1} << (bit & 63);
}

inline void ReorderWindow::recycle_out() {
    if (out_ == kNoSlot) return;
    recycle(out_);
    out_ = kNoSlot;
}

inline bool ReorderWindow::pass_in_order(const uint8_t* packet, size_t size, uint16_t seq,
                                         uint32_t ssrc) {
    // Each condition is one push_packet() checks on its way to releasing a packet as it came;
    // next_ just above the highest number means the packet is no repeat and reorders nothing.
    // Taking a packet here keeps them all, so after one that was taken they hold until another
    // call.
    if (!in_order_ && (!running_ || !releasing_ || draining_ || !held_.empty() || incoming_.held ||
                       skipped_ != 0 || next_ != highest_ + 1 || seen(next_)))
        return false;
    if (ssrc != ssrc_ || seq != static_cast<uint16_t>(next_ & 0xFFFF)) {
        in_order_ = false;
        return false;
    }
    in_order_ = true;
    recycle_out();
    highest_ = next_;
    mark_seen(next_);
    // advance_to() by one: the number coming into reach at the top takes the bit of the one
    // leaving at the foot.
    const uint64_t top = static_cast<uint64_t>(next_ + capacity_) & seen_mask_;
    seen_[top >> 6] &= ~(uint64_t{1} << (top & 63));
    ++next_;
    if (recovery_.released) recovery_.released(recovery_.param, highest_, packet, size);  // FEC
    return true;
}
