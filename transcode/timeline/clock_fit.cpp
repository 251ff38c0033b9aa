#include "clock_fit.h"

void ClockFit::add(int64_t x, int64_t y) {
    ++n;
    const double dx = static_cast<double>(x) - mean_x;
    mean_x += dx / static_cast<double>(n);
    const double dy = static_cast<double>(y) - mean_y;
    mean_y += dy / static_cast<double>(n);
    // Welford's update: the co-moments stay small numbers even for times near 2^51.
    co_xy += dx * (static_cast<double>(y) - mean_y);
    co_xx += dx * (static_cast<double>(x) - mean_x);
    if (n == 1 || x < min_x) min_x = x;
    if (n == 1 || x > max_x) max_x = x;
}

void ClockFit::merge(const ClockFit& other) {
    if (other.n == 0) return;
    if (n == 0) {
        *this = other;
        return;
    }
    const double na = static_cast<double>(n);
    const double nb = static_cast<double>(other.n);
    const double total = na + nb;
    const double dx = other.mean_x - mean_x;
    const double dy = other.mean_y - mean_y;
    co_xy += other.co_xy + dx * dy * na * nb / total;
    co_xx += other.co_xx + dx * dx * na * nb / total;
    mean_x += dx * nb / total;
    mean_y += dy * nb / total;
    n += other.n;
    if (other.min_x < min_x) min_x = other.min_x;
    if (other.max_x > max_x) max_x = other.max_x;
}

double ClockFit::slope(double nominal, int64_t min_span) const {
    if (n < 2 || span() < min_span || co_xx <= 0) return nominal;
    return co_xy / co_xx;
}

double ClockFit::at(int64_t x, double nominal, int64_t min_span) const {
    return mean_y + (static_cast<double>(x) - mean_x) * slope(nominal, min_span);
}

double drift_ppm(const ClockFit& fit, double nominal, int64_t min_span) {
    const double s = fit.slope(nominal, min_span);
    if (s <= 0) return 0;
    return (nominal / s - 1.0) * 1e6;
}
