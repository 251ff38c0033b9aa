// The JSON run report (--report FILE): what a run read, what it wrote per user and kind, and how it
// ended. Composed from run_stats() after the passes and written atomically, so a reader never sees
// half a report.
#pragma once

#include <cstdint>
#include <string>

#include "run_stats.h"

constexpr int kRunReportVersion = 1;

struct RunInfo {
    std::string work_path;
    std::string output_dir;  // empty: the current directory
    bool video = false;      // the kinds asked for on the command line
    bool audio = false;
    bool repair = false;   // print each stream's repair counters
    int64_t start_ms = 0;  // wall clock, milliseconds since the epoch
    int64_t end_ms = 0;
    double wall_seconds = 0;  // from the monotonic clock
    int exit_status = 0;
};

// "2024-03-05T07:08:09.123Z" for milliseconds since the epoch (UTC).
std::string utc_time_text(int64_t ms);

// The report as JSON text (two-space indentation, a final newline), users in ascending id order.
std::string run_report_text(const RunInfo& info, const RunStats& stats);

// Writes `text` to `path` through a temporary file in the same directory, synced to disk and
// then renamed over `path`. False, with the reason in *error, when any step fails; the temporary
// file is then removed.
bool write_file_atomically(const std::string& path, const std::string& text, std::string* error);

// Composes the report of `info` and run_stats() and writes it to `path`; a report that cannot be
// written is named on standard error, and false comes back.
bool write_run_report(const std::string& path, const RunInfo& info);
