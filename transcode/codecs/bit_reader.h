// Reads a codec header bit by bit, most significant bit first; past the end it reads zeros and
// says so through ok().
#pragma once

#include <cstddef>
#include <cstdint>

class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    uint32_t bit() {
        if (pos_ >= size_ * 8) {
            ok_ = false;
            return 0;
        }
        const uint32_t b = (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u;
        ++pos_;
        return b;
    }
    // Exp-Golomb ue(v) (H.264 7.2); more than 31 leading zeros is no valid code.
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (!ok_ || ++zeros > 31) {
                ok_ = false;
                return 0;
            }
        }
        return zeros == 0 ? 0 : ((1u << zeros) - 1) + bits(zeros);
    }
    int32_t se() {
        const uint32_t k = ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
    bool ok() const { return ok_; }
    size_t position() const { return pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};
