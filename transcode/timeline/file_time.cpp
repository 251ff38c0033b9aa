#include "file_time.h"

namespace {

// 2000-01-01 and 2100-01-01, in seconds since 1970.
constexpr uint64_t kFirstSecond = 946684800;
constexpr uint64_t kEndSecond = 4102444800;
// Past 19 digits a number no longer fits, and no time value is that long.
constexpr size_t kMaxDigits = 19;

}  // namespace

bool plausible_time_us(uint64_t value, int64_t* us) {
    for (uint64_t unit : {uint64_t{1}, uint64_t{1000}, uint64_t{1000000}}) {
        if (value >= kFirstSecond * unit && value < kEndSecond * unit) {
            *us = static_cast<int64_t>(value * (1000000 / unit));
            return true;
        }
    }
    return false;
}

bool file_time_us(const std::string& path, int64_t* us) {
    const size_t slash = path.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t underscore = path.rfind('_');
    if (underscore == std::string::npos || underscore < base) return false;
    size_t end = path.find('.', underscore + 1);
    if (end == std::string::npos) end = path.size();
    const size_t digits = end - underscore - 1;
    if (digits == 0 || digits > kMaxDigits) return false;
    uint64_t value = 0;
    for (size_t i = underscore + 1; i < end; ++i) {
        const char c = path[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return plausible_time_us(value, us);
}
