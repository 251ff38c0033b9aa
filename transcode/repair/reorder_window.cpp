#include "reorder_window.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "be_bytes.h"

namespace {

// Extended sequence numbers of a run start here, far enough from 0 that a packet older than the
// first one of the run still has a positive number (bits are found by its remainder).
constexpr int64_t kRunBase = int64_t{1} << 32;

uint16_t seq16(int64_t seq) {
    return static_cast<uint16_t>(seq & 0xFFFF);
}

}  // namespace

ReorderWindow::ReorderWindow(uint32_t capacity, RepairStats* stats, SkipTest skip)
    : capacity_(capacity == 0 ? 1 : capacity), stats_(stats), skip_(skip) {}

ReorderWindow::~ReorderWindow() = default;

size_t ReorderWindow::bytes_reserved() const {
    size_t total = incoming_.data.capacity() + passed_.data.capacity() + scratch_.data.capacity();
    for (const Buffer& b : slots_) total += b.data.capacity();
    return total;
}

// Clears the bits of `count` numbers from `from` on: at most the whole ring, a word at a time.
void ReorderWindow::clear_seen(int64_t from, int64_t count) {
    const uint64_t bits = seen_mask_ + 1;
    if (count <= 0) return;
    if (static_cast<uint64_t>(count) >= bits) {
        memset(seen_.get(), 0, bits / 8);
        return;
    }
    uint64_t bit = static_cast<uint64_t>(from) & seen_mask_;
    if (count == 1) {  // the in-order path: one number a packet
        seen_[bit >> 6] &= ~(uint64_t{1} << (bit & 63));
        return;
    }
    uint64_t left = static_cast<uint64_t>(count);
    while (left > 0) {
        const uint64_t in_word = std::min<uint64_t>(left, 64 - (bit & 63));
        const uint64_t mask =
            in_word == 64 ? ~uint64_t{0} : ((uint64_t{1} << in_word) - 1) << (bit & 63);
        seen_[bit >> 6] &= ~mask;
        left -= in_word;
        bit = (bit + in_word) & seen_mask_;
    }
}

// Moves the release point up to `seq`. The numbers that come into the window's reach at its top
// take the bits of numbers that leave it at its foot.
void ReorderWindow::advance_to(int64_t seq) {
    clear_seen(next_ + capacity_, seq - next_);
    next_ = seq;
}

void ReorderWindow::store(Buffer& buffer, const uint8_t* packet, size_t size, int64_t seq) {
    if (buffer.data.size() < size) {
        // Exactly as long and not zeroed first: a buffer keeps no more than its largest packet.
        buffer.data.assign(packet, packet + size);
    } else if (size > 0) {
        memcpy(buffer.data.data(), packet, size);
    }
    buffer.size = size;
    buffer.seq = seq;
    buffer.held = true;
}

// A slot for one more copy: a released one, whose bytes are reused, else a new one. make_room()
// has made room for it, so this never allocates.
uint32_t ReorderWindow::spare() {
    if (!free_.empty()) {
        const uint32_t slot = free_.back();
        free_.pop_back();
        return slot;
    }
    slots_.emplace_back();
    return static_cast<uint32_t>(slots_.size() - 1);
}

// A copy of `packet`, numbered `seq`, in a slot of its own; make_room() comes first.
uint32_t ReorderWindow::copy_in(const uint8_t* packet, size_t size, int64_t seq) {
    const uint32_t slot = spare();
    try {
        store(slots_[slot], packet, size, seq);
    } catch (const std::bad_alloc&) {
        free_.push_back(slot);
        throw;
    }
    return slot;
}

// A released slot keeps its bytes for the next packets: nothing is allocated once as many
// packets have been held as are held at once.
void ReorderWindow::recycle(uint32_t slot) {
    slots_[slot].held = false;
    free_.push_back(slot);
}

// Makes room for one more held packet, so that spare(), hold() and recycle() never allocate:
// every allocation comes before a packet is counted anywhere. Slots in use are the held ones, the
// one handed out and one on its way in, so two more than the heap can hold never run out.
void ReorderWindow::make_room() {
    if (held_.size() == held_.capacity())
        held_.reserve(std::max(held_.size() + 1, std::min<size_t>(held_.size() * 2, capacity_)));
    const size_t slots = held_.capacity() + 2;
    if (slots_.capacity() < slots) slots_.reserve(slots);
    if (free_.capacity() < slots) free_.reserve(slots);
}

void ReorderWindow::hold(uint32_t slot) {
    const int64_t seq = slots_[slot].seq;
    mark_seen(seq);
    held_.push({seq, slot});
}

void ReorderWindow::start(int64_t seq) {
    if (!seen_) {
        uint64_t bits = 64;
        while (bits < 2 * uint64_t{capacity_}) bits *= 2;
        seen_.reset(new uint64_t[bits / 64]);
        seen_mask_ = bits - 1;
    }
    memset(seen_.get(), 0, (seen_mask_ + 1) / 8);
    running_ = true;
    releasing_ = false;
    next_ = highest_ = force_to_ = seq;
}

ReorderWindow::Verdict ReorderWindow::push(const uint8_t* packet, size_t size) {
    // Storing a packet may allocate, and a failed allocation must not end the run. Every step that
    // allocates comes before the packet is counted anywhere, so the stage stays consistent without
    // it.
    in_order_ = false;
    recycle_out();
    try {
        return push_packet(packet, size);
    } catch (const std::bad_alloc&) {
        return Verdict::no_memory;
    }
}

ReorderWindow::Verdict ReorderWindow::push_packet(const uint8_t* packet, size_t size) {
    // Only the fixed header is read: the rest of the packet is the writer's business.
    const unsigned version = packet && size >= 12 ? packet[0] >> 6 : 0;
    if (version != 1 && version != 2) {
        store(passed_, packet, packet ? size : 0, -1);
        have_passed_ = true;
        return Verdict::passed;
    }
    const uint16_t seq16_in = be16(packet + 2);
    const uint32_t ssrc = be32(packet + 8);
    draining_ = false;
    if (!running_) {
        make_room();
        const uint32_t slot = copy_in(packet, size, 0);
        ssrc_ = ssrc;
        start(kRunBase + seq16_in);
        slots_[slot].seq = next_;
        hold(slot);
        return Verdict::held;
    }

    // RFC 3550, A.1: the 16-bit number is taken as the extended number nearest the highest one.
    const int64_t delta = static_cast<int16_t>(static_cast<uint16_t>(seq16_in - seq16(highest_)));
    const int64_t seq = highest_ + delta;
    const int64_t far = static_cast<int64_t>(capacity_) + kMaxDropout;
    if (ssrc != ssrc_ || delta > far || -delta > far) {
        // A new sender, or the same one restarted: what is held goes out first, then a new run.
        make_room();  // for the time it is placed
        store(incoming_, packet, size, seq16_in);
        if (stats_) ++stats_->resets;
        incoming_new_run_ = true;
        incoming_ssrc_ = ssrc;
        return Verdict::held;
    }

    if (seen(seq)) {
        if (stats_) ++stats_->duplicates;
        return Verdict::duplicate;
    }
    if (seq < next_) {
        // Before the first release the run may still begin earlier than its first arrival, as long
        // as the span from it to the highest number fits the window.
        if (releasing_ || highest_ - seq >= capacity_) {
            if (stats_) ++stats_->late;
            return Verdict::late;
        }
    }
    if (releasing_ && !draining_ && held_.empty() && seq == next_ && !incoming_.held) {
        // In order with nothing held, the usual case: released at once, without a copy.
        const bool skip = skip_ && skip_(packet, size);
        if (skipped_ != 0 && !skip) {
            store(scratch_, packet, size, seq);  // renumbered in a buffer of its own
            renumber(scratch_.data.data());
        }
        if (seq < highest_ && stats_) ++stats_->reordered;
        if (seq > highest_) highest_ = seq;
        mark_seen(seq);
        advance_to(next_ + 1);
        if (skip) {
            ++skipped_;
            return Verdict::held;
        }
        if (recovery_.released) recovery_.released(recovery_.param, seq, packet, size);  // FEC hook
        direct_ = skipped_ == 0 ? packet : scratch_.data.data();
        direct_size_ = size;
        return Verdict::held;
    }
    if (seq >= next_ + capacity_) {
        // No room until the oldest numbers are released or given up.
        make_room();  // for the time it is placed
        store(incoming_, packet, size, seq);
        if (seq < highest_ && stats_) ++stats_->reordered;
        highest_ = std::max(highest_, seq);
        incoming_new_run_ = false;
        force_to_ = seq - capacity_ + 1;
        return Verdict::held;
    }
    make_room();
    const uint32_t slot = copy_in(packet, size, seq);
    // Nothing below allocates: the packet is taken.
    if (seq < next_) next_ = seq;
    if (seq < highest_ && stats_) ++stats_->reordered;
    if (seq > highest_) highest_ = seq;
    hold(slot);
    return Verdict::held;
}

void ReorderWindow::flush() {
    in_order_ = false;
    draining_ = true;
    edge_from_ = highest_;
}

// Moves the waiting packet into the heap once there is room for it; false while it must wait.
bool ReorderWindow::place_incoming() {
    if (incoming_new_run_) {
        if (!held_.empty()) return false;
        ssrc_ = incoming_ssrc_;
        start(kRunBase + incoming_.seq);
        incoming_.seq = next_;
    } else if (incoming_.seq >= next_ + capacity_) {
        return false;
    }
    // The copy moves into a slot (made room for when it came) and takes the slot's bytes in turn.
    const uint32_t slot = spare();
    Buffer& b = slots_[slot];
    std::swap(b.data, incoming_.data);
    b.size = incoming_.size;
    b.seq = incoming_.seq;
    b.held = true;
    incoming_.held = false;
    hold(slot);
    return true;
}

void ReorderWindow::renumber(uint8_t* packet) const {
    put_be16(packet + 2, static_cast<uint16_t>(be16(packet + 2) - skipped_));
}

// Takes the lowest held packet (numbered next_) off the heap; false when `skip` leaves it out.
bool ReorderWindow::release(const uint8_t** packet, size_t* size) {
    recycle_out();
    out_ = held_.pop().slot;
    Buffer& b = slots_[out_];
    b.held = false;
    advance_to(next_ + 1);
    if (skip_ && skip_(b.data.data(), b.size)) {
        ++skipped_;
        return false;
    }
    if (recovery_.released)  // FEC hook
        recovery_.released(recovery_.param, b.seq, b.data.data(), b.size);
    if (skipped_ != 0) renumber(b.data.data());
    *packet = b.data.data();
    *size = b.size;
    return true;
}

bool ReorderWindow::pop(const uint8_t** packet, size_t* size) {
    in_order_ = false;
    *packet = nullptr;
    *size = 0;
    if (have_passed_) {
        have_passed_ = false;
        *packet = passed_.data.data();
        *size = passed_.size;
        return true;
    }
    if (direct_) {
        *packet = direct_;
        *size = direct_size_;
        direct_ = nullptr;
        return true;
    }
    // The usual second call after an in-order packet: nothing held or waiting in a run that is
    // releasing. The loop below would come to the same answer.
    if (releasing_ && running_ && !draining_ && !incoming_.held && held_.empty() && out_ == kNoSlot)
        return false;
    return pop_held(packet, size);
}

bool ReorderWindow::pop_held(const uint8_t** packet, size_t* size) {
    recycle_out();
    for (;;) {
        if (incoming_.held && place_incoming()) continue;
        if (!running_) return false;
        const bool waiting = incoming_.held;
        // A run's first packets are held until the window is full, so that a packet older than
        // the first arrival still finds its place.
        if (!releasing_ && !draining_ && !waiting && highest_ - next_ + 1 < capacity_) return false;
        // The run's first packets may have been lost: what FEC rebuilds before the first arrival
        // goes out first (FEC hook).
        if (!releasing_ && recovery_.recover) recover_edge(-1);
        releasing_ = true;
        const int64_t lowest = held_.empty() ? 0 : held_.top().seq;
        if (!held_.empty() && lowest == next_) {
            if (release(packet, size)) return true;
            continue;
        }
        // next_ is missing. It waits while more may come; it is given up when the stream ends,
        // when a packet beyond the window needs its place, or when a new run waits for the held
        // packets to go.
        int64_t give_up_to;
        if (waiting && !incoming_new_run_) {
            give_up_to = held_.empty() ? force_to_ : std::min(lowest, force_to_);
        } else if (!held_.empty() && (draining_ || waiting)) {
            give_up_to = lowest;
        } else {
            if (held_.empty() && draining_ && !waiting) {
                // The run's last packets may have been lost: FEC that came after them rebuilds
                // them, one number at a time (FEC hook).
                if (recovery_.recover && recover_edge(+1)) continue;
                running_ = false;  // the stream ended; a later packet begins a new run
                draining_ = false;
            }
            return false;
        }
        // GIVE-UP POINT: the numbers next_ .. give_up_to - 1 never came in time. This is the one
        // place where numbers are abandoned, a whole run of them in one step. With FEC, the first
        // of them are offered to the recovery hook first; a rebuilt one is released in its place.
        // Only the first kRecoverSpan are tried: no FEC packet spans more numbers than that, so
        // the cost of a step stays independent of how far the numbers jump.
        if (recovery_.recover) {
            const int64_t try_to = std::min(give_up_to, next_ + kRecoverSpan);
            bool rebuilt = false;
            while (next_ < try_to && !(rebuilt = recover_next())) advance_to(next_ + 1);
            if (rebuilt) continue;
        }
        advance_to(give_up_to);
    }
}

// ---- FEC recovery hook ----------------------------------------------------------------------

const uint8_t* ReorderWindow::held_packet(void* self, int64_t seq, size_t* size) {
    const ReorderWindow& w = *static_cast<const ReorderWindow*>(self);
    // A number that has not come is not held; one that has come is on the heap or waiting.
    if (seq < w.next_ || !w.seen(seq)) {
        if (w.incoming_.held && !w.incoming_new_run_ && w.incoming_.seq == seq) {
            *size = w.incoming_.size;
            return w.incoming_.data.data();
        }
        return nullptr;
    }
    for (const HeldOrder::Entry& h : w.held_) {
        if (h.seq == seq) {
            const Buffer& b = w.slots_[h.slot];
            *size = b.size;
            return b.data.data();
        }
    }
    return nullptr;
}

// Beyond the numbers that came (`step` -1: before the first arrival, +1: after the last, with
// nothing held): asks the hook for the next number outward, and holds what it rebuilds; false
// when it rebuilds nothing. At most kRecoverSpan numbers either way: no FEC packet reaches further.
bool ReorderWindow::recover_edge(int step) {
    if (step < 0) {
        for (int64_t i = 0; i < kRecoverSpan; ++i) {
            --next_;
            if (!recover_next()) {
                ++next_;
                return i > 0;
            }
        }
        return true;
    }
    if (next_ != highest_ + 1 || next_ - edge_from_ >= kRecoverSpan) return false;
    if (!recover_next()) return false;
    highest_ = next_;
    return true;
}

// Asks the hook for next_, about to be given up; a rebuilt packet is held like one that came, to
// be released next.
bool ReorderWindow::recover_next() {
    size_t n = 0;
    const uint8_t* rebuilt =
        recovery_.recover(recovery_.param, next_, ssrc_, &ReorderWindow::held_packet, this, &n);
    if (!rebuilt || n > kMaxPacketSize) return false;
    try {
        make_room();
        hold(copy_in(rebuilt, n, next_));
    } catch (const std::bad_alloc&) {
        return false;  // given up as without the hook
    }
    return true;
}
