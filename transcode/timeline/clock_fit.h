// A straight line through (media ticks, recording microseconds) pairs, fitted by least squares one
// pair at a time: a stream's clock rate and offset in constant memory, never every pair.
#pragma once

#include <cstdint>

struct ClockFit {
    uint64_t n = 0;
    double mean_x = 0;
    double mean_y = 0;
    double co_xy = 0;  // sum of (x - mean_x)(y - mean_y)
    double co_xx = 0;  // sum of (x - mean_x)^2
    int64_t min_x = 0;
    int64_t max_x = 0;

    void add(int64_t x, int64_t y);
    // Adds every pair `other` holds, as if they had been added here.
    void merge(const ClockFit& other);
    int64_t span() const { return n == 0 ? 0 : max_x - min_x; }
    // Microseconds per tick: the fitted slope once the pairs span at least `min_span` ticks,
    // `nominal` before.
    double slope(double nominal, int64_t min_span) const;
    // The recording time of tick `x` with the slope above.
    double at(int64_t x, double nominal, int64_t min_span) const;
};

// The fitted rate against the nominal one in parts per million; 0 for a fit too short to tell.
double drift_ppm(const ClockFit& fit, double nominal, int64_t min_span);
