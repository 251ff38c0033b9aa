#include "reorder_window.h"

#include <cstring>
#include <new>
#include <utility>

namespace {

// Extended sequence numbers of a run start here, far enough from 0 that a packet older than the
// first one of the run still has a positive number (slots are found by its remainder).
constexpr int64_t kRunBase = int64_t{1} << 32;

uint16_t seq16(int64_t seq) {
    return static_cast<uint16_t>(seq & 0xFFFF);
}

}  // namespace

ReorderWindow::ReorderWindow(uint32_t capacity, RepairStats* stats, SkipTest skip)
    : capacity_(capacity == 0 ? 1 : capacity),
      stats_(stats),
      skip_(skip),
      slots_(new Slot[capacity_]) {}

ReorderWindow::~ReorderWindow() = default;

size_t ReorderWindow::bytes_reserved() const {
    size_t total = incoming_.data.capacity() + passed_.data.capacity() + scratch_.data.capacity();
    for (uint32_t i = 0; i < capacity_; ++i) total += slots_[i].data.capacity();
    return total;
}

void ReorderWindow::store(Slot& slot, const uint8_t* packet, size_t size, int64_t seq) {
    if (slot.data.size() < size) {
        slot.data.reserve(size);  // exactly: a slot keeps no more than the largest packet it held
        slot.data.resize(size);
    }
    if (size > 0) memcpy(slot.data.data(), packet, size);
    slot.size = size;
    slot.seq = seq;
    slot.epoch = epoch_;
    slot.held = true;
}

void ReorderWindow::start(int64_t seq) {
    running_ = true;
    releasing_ = false;
    ++epoch_;
    next_ = highest_ = force_to_ = seq;
}

ReorderWindow::Verdict ReorderWindow::push(const uint8_t* packet, size_t size) {
    // Storing a packet may grow its slot, and a failed allocation must not end the run. store()
    // throws before it marks anything held, so the stage stays consistent without the packet.
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
    const uint16_t seq16_in = static_cast<uint16_t>((packet[2] << 8) | packet[3]);
    const uint32_t ssrc = (uint32_t{packet[8]} << 24) | (uint32_t{packet[9]} << 16) |
                          (uint32_t{packet[10]} << 8) | packet[11];
    draining_ = false;
    if (!running_) {
        ssrc_ = ssrc;
        start(kRunBase + seq16_in);
        store(slot_of(next_), packet, size, next_);
        ++held_;
        return Verdict::held;
    }

    // RFC 3550, A.1: the 16-bit number is taken as the extended number nearest the highest one.
    const int64_t delta = static_cast<int16_t>(static_cast<uint16_t>(seq16_in - seq16(highest_)));
    const int64_t seq = highest_ + delta;
    const int64_t far = static_cast<int64_t>(capacity_) + kMaxDropout;
    if (ssrc != ssrc_ || delta > far || -delta > far) {
        // A new sender, or the same one restarted: what is held goes out first, then a new run.
        if (stats_) ++stats_->resets;
        store(incoming_, packet, size, seq16_in);
        incoming_new_run_ = true;
        incoming_ssrc_ = ssrc;
        return Verdict::held;
    }

    const Slot& same = slot_of(seq);
    if (same.epoch == epoch_ && same.seq == seq) {
        if (stats_) ++stats_->duplicates;
        return Verdict::duplicate;
    }
    if (seq < next_) {
        // Before the first release the run may still begin earlier than its first arrival.
        if (releasing_ || highest_ - seq >= capacity_) {
            if (stats_) ++stats_->late;
            return Verdict::late;
        }
        next_ = seq;
    }
    if (seq < highest_ && stats_) ++stats_->reordered;
    if (seq > highest_) highest_ = seq;
    if (releasing_ && !draining_ && held_ == 0 && seq == next_ && !incoming_.held) {
        // In order with nothing held, the usual case: released at once, without a trip through
        // the ring (whose slots are cold by the time they come round again).
        Slot& slot = slot_of(seq);
        slot.size = 0;
        slot.seq = seq;
        slot.epoch = epoch_;
        slot.held = false;
        ++next_;
        if (skip_ && skip_(packet, size)) {
            ++skipped_;
            return Verdict::held;
        }
        if (recovery_.released) recovery_.released(recovery_.param, seq, packet, size);  // FEC hook
        if (skipped_ == 0) {
            direct_ = packet;
            direct_size_ = size;
        } else {
            store(scratch_, packet, size, seq);  // renumbered in a buffer of its own
            renumber(scratch_.data.data());
            direct_ = scratch_.data.data();
            direct_size_ = size;
        }
        return Verdict::held;
    }
    if (seq >= next_ + capacity_) {
        // No room until the oldest numbers are released or given up.
        store(incoming_, packet, size, seq);
        incoming_new_run_ = false;
        force_to_ = seq - capacity_ + 1;
        return Verdict::held;
    }
    store(slot_of(seq), packet, size, seq);
    ++held_;
    return Verdict::held;
}

void ReorderWindow::flush() {
    draining_ = true;
}

// Moves the waiting packet into the ring once there is room for it; false while it must wait.
bool ReorderWindow::place_incoming() {
    if (incoming_new_run_) {
        if (held_ > 0) return false;
        ssrc_ = incoming_ssrc_;
        start(kRunBase + incoming_.seq);
        incoming_.seq = next_;
    } else if (incoming_.seq >= next_ + capacity_) {
        return false;
    }
    Slot& slot = slot_of(incoming_.seq);
    std::swap(slot.data, incoming_.data);
    slot.size = incoming_.size;
    slot.seq = incoming_.seq;
    slot.epoch = epoch_;
    slot.held = true;
    incoming_.held = false;
    ++held_;
    return true;
}

void ReorderWindow::renumber(uint8_t* packet) const {
    const uint16_t renumbered = static_cast<uint16_t>(((packet[2] << 8) | packet[3]) - skipped_);
    packet[2] = static_cast<uint8_t>(renumbered >> 8);
    packet[3] = static_cast<uint8_t>(renumbered);
}

bool ReorderWindow::release(Slot& slot, const uint8_t** packet, size_t* size) {
    slot.held = false;
    --held_;
    ++next_;
    if (skip_ && skip_(slot.data.data(), slot.size)) {
        ++skipped_;
        return false;
    }
    if (recovery_.released)  // FEC hook
        recovery_.released(recovery_.param, slot.seq, slot.data.data(), slot.size);
    if (skipped_ != 0) renumber(slot.data.data());
    *packet = slot.data.data();
    *size = slot.size;
    return true;
}

bool ReorderWindow::pop(const uint8_t** packet, size_t* size) {
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
    for (;;) {
        if (incoming_.held && place_incoming()) continue;
        if (!running_) return false;
        const bool waiting = incoming_.held;
        // A run's first packets are held until the window is full, so that a packet older than
        // the first arrival still finds its place.
        if (!releasing_ && !draining_ && !waiting && highest_ - next_ + 1 < capacity_) return false;
        releasing_ = true;
        if (held_ == 0) {
            if (waiting && !incoming_new_run_) {
                next_ = force_to_;  // nothing held below the waiting packet: jump to its window
                continue;
            }
            if (draining_ && !waiting) {
                running_ = false;  // the stream ended; a later packet begins a new run
                draining_ = false;
            }
            return false;
        }
        Slot& slot = slot_of(next_);
        if (slot.held && slot.epoch == epoch_ && slot.seq == next_) {
            if (release(slot, packet, size)) return true;
            continue;
        }
        if (!draining_ && !waiting) return false;
        if (recovery_.recover && recover_next()) continue;  // FEC hook: rebuilt, released next
        ++next_;  // given up: the packet never came in time
    }
}

// ---- FEC recovery hook ----------------------------------------------------------------------

const uint8_t* ReorderWindow::held_packet(void* self, int64_t seq, size_t* size) {
    ReorderWindow& w = *static_cast<ReorderWindow*>(self);
    if (seq < 0) return nullptr;
    const Slot& slot = w.slot_of(seq);
    if (slot.held && slot.epoch == w.epoch_ && slot.seq == seq) {
        *size = slot.size;
        return slot.data.data();
    }
    if (w.incoming_.held && !w.incoming_new_run_ && w.incoming_.seq == seq) {
        *size = w.incoming_.size;
        return w.incoming_.data.data();
    }
    return nullptr;
}

// Asks the hook for the number about to be given up; a rebuilt packet is held in its slot, to be
// released like one that came.
bool ReorderWindow::recover_next() {
    size_t n = 0;
    const uint8_t* rebuilt =
        recovery_.recover(recovery_.param, next_, ssrc_, &ReorderWindow::held_packet, this, &n);
    if (!rebuilt) return false;
    try {
        store(slot_of(next_), rebuilt, n, next_);
    } catch (const std::bad_alloc&) {
        return false;  // given up as without the hook
    }
    ++held_;
    return true;
}
