#include "run_stats.h"

RunStats& run_stats() {
    static RunStats stats;
    return stats;
}
