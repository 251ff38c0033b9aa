// The order in which the reorder stage releases the packets it holds: lowest sequence number
// first. A binary heap in general; but while numbers come in ascending order, as a run's first
// packets do while the stage holds them until its window fills, they form a sorted run that is
// taken from its front, without the heap's sifting. An ascending run is already a valid heap, so
// the first number out of order turns it into one at the cost of closing the gap at its front.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

class HeldOrder {
public:
    struct Entry {
        int64_t seq;    // extended sequence number; no two entries share one
        uint32_t slot;  // where the stage keeps the packet's copy
    };

    bool empty() const { return head_ == v_.size(); }
    size_t size() const { return v_.size() - head_; }
    size_t capacity() const { return v_.capacity(); }
    // Makes push() of `size() + 1`-th entry safe from allocating: room for `n` entries at least.
    void reserve(size_t n) {
        if (n > v_.capacity()) v_.reserve(n);
    }
    const Entry& top() const { return v_[head_]; }  // a sorted run's front is a heap's top too
    const Entry* begin() const { return v_.data() + head_; }
    const Entry* end() const { return v_.data() + v_.size(); }

    // Does not allocate while size() < capacity().
    void push(Entry e) {
        if (sorted_) {
            if (empty() || e.seq > v_.back().seq) {
                if (v_.size() == v_.capacity()) close_gap();
                v_.push_back(e);
                return;
            }
            close_gap();
            sorted_ = false;
        }
        v_.push_back(e);
        std::push_heap(v_.begin(), v_.end(), Later());
    }

    Entry pop() {
        if (sorted_) {
            const Entry e = v_[head_++];
            if (head_ == v_.size()) clear();
            return e;
        }
        std::pop_heap(v_.begin(), v_.end(), Later());
        const Entry e = v_.back();
        v_.pop_back();
        if (v_.empty()) sorted_ = true;
        return e;
    }

private:
    struct Later {  // heap order: the lowest sequence number on top
        bool operator()(const Entry& a, const Entry& b) const { return a.seq > b.seq; }
    };
    void close_gap() {
        v_.erase(v_.begin(), v_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    void clear() {
        v_.clear();
        head_ = 0;
    }

    std::vector<Entry> v_;
    size_t head_ = 0;     // sorted run: the entries before it are out
    bool sorted_ = true;  // v_[head_..] ascends (and head_ is 0 once it is a heap)
};
