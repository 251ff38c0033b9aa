#include "input_loans.h"

#include <algorithm>
#include <utility>

InputLoans::InputLoans() = default;
InputLoans::~InputLoans() = default;

void InputLoans::lend(const uint8_t* begin, size_t size) {
    // The previous buffer must have been recalled before it is given up; recall it here if not,
    // so that no borrower is left holding bytes nobody keeps.
    if (!previous_.borrowers.empty()) recall_previous();
    previous_.begin = current_.begin;
    previous_.end = current_.end;
    previous_.borrowers.swap(current_.borrowers);
    current_.begin = begin;
    current_.end = begin + size;
    ++generation_;
}

void InputLoans::recall_previous() {
    // Taken out first: a borrower's recall may not borrow again, but may forget itself.
    std::vector<Borrower*> borrowers;
    borrowers.swap(previous_.borrowers);
    for (Borrower* b : borrowers)
        if (b) b->recall(b->param, previous_.begin, previous_.end);
    borrowers.clear();
    if (previous_.borrowers.empty()) previous_.borrowers.swap(borrowers);  // keeps the capacity
    previous_.begin = previous_.end = nullptr;
}

void InputLoans::close() {
    current_ = Lent();
    previous_ = Lent();
    ++generation_;
    active_ = false;
}

void InputLoans::list(Borrower* b) {
    current_.borrowers.push_back(b);
    b->listed = generation_;
    active_ = true;
}

void InputLoans::forget(const Borrower* b) {
    for (Lent* lent : {&current_, &previous_})
        std::replace(lent->borrowers.begin(), lent->borrowers.end(), const_cast<Borrower*>(b),
                     static_cast<Borrower*>(nullptr));
}
