// Bytes of the pass's read-ahead lent to stages that keep packets after their record has gone by.
//
// The pass parses each record where it lies in its read-ahead buffer, and a stage sees pointers
// into it. FEC recovery must keep the packets released last and the FEC packets until a loss
// shows, and copying each one costs as much as the rest of the stage put together on a stream
// where nothing is lost. So it borrows them instead: while anyone borrows, the read-ahead keeps
// two buffers, fills one while the other stays as it was, and recalls the other before it
// overwrites or frees it. A recall tells every borrower that borrowed from that buffer, which then
// copies what it still needs. A packet is copied only if it is still kept by then, that is when
// the stream around it is sparser than a buffer of input.
//
// Only the current buffer lends; borrowing from the previous one, or from anywhere else, is
// refused (the borrower copies). The lender must outlive every use its borrowers make of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class InputLoans {
public:
    struct Borrower {
        // The bytes in [begin, end) are about to change: copy what is still needed from there.
        void (*recall)(void* param, const uint8_t* begin, const uint8_t* end);
        void* param;
        // The lender's mark that this borrower is on the current buffer's list (starts at 0).
        uint64_t listed = 0;
    };

    InputLoans();
    ~InputLoans();
    InputLoans(const InputLoans&) = delete;
    InputLoans& operator=(const InputLoans&) = delete;

    // ---- The lender (the pass's read-ahead) -----------------------------------------------------
    // Whether any borrower may hold bytes: only then must buffers be kept and recalled.
    bool active() const { return active_; }
    // From now on [begin, begin + size) lends, and the buffer that lent until now is the previous
    // one: it must stay as it is until recall_previous().
    void lend(const uint8_t* begin, size_t size);
    // Before the previous buffer changes: every borrower of it copies what it needs.
    void recall_previous();
    // The end of the pass: nothing is lent any more, and no borrower is told again.
    void close();

    // ---- The borrower --------------------------------------------------------------------------
    // True when [p, p + n) lies in the current buffer: the borrower may keep the pointer and is
    // recalled before the bytes change. `b` must stay where it is while it borrows.
    bool borrow(const uint8_t* p, size_t n, Borrower* b) {
        // Asked for every packet FEC recovery keeps: inline, and the list is touched once a buffer.
        if (p < current_.begin || p >= current_.end || n > static_cast<size_t>(current_.end - p))
            return false;
        if (b->listed != generation_) list(b);
        return true;
    }
    // The borrower goes away: it is not told again.
    void forget(const Borrower* b);

private:
    void list(Borrower* b);

    struct Lent {
        const uint8_t* begin = nullptr;
        const uint8_t* end = nullptr;
        std::vector<Borrower*> borrowers;
    };
    Lent current_, previous_;
    uint64_t generation_ = 1;  // of the current buffer: a borrower with this mark is listed
    bool active_ = false;
};
