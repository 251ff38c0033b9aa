// The meeting composite (--compose FILE.webm): after both passes, every user's written files are
// read back in composite time; the pictures are laid out in a grid that follows who sends video
// (layout.h) and drawn on one canvas (canvas.h), the voices are mixed (mixer.h), and both are
// encoded into one WebM (writer.h). Composite time runs from the recording's first packet; each
// stream is placed there by its clock (streams.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_stats.h"
#include "webm_mux.h"

struct ComposeOptions {
    std::string path;
    int width = 1280;
    int height = 720;
    int rate = 30;
    bool vp9 = false;
    // A camera that sends nothing for longer than this loses its tile; until then its last
    // picture stays.
    int64_t hold_us = 2000000;
    // Encoder threads. libvpx's VP8 threads wait for each other by spinning: on a machine whose
    // cores are busy with anything else, two threads ran eight times slower than one.
    int threads = 1;
};

// One user's inputs: the written files and where they lie on the recording clock.
struct ComposeUser {
    uint32_t uid = 0;
    WebmInput video;
    WebmInput audio;
    StreamClock video_clock;
    StreamClock audio_clock;
};

// The recording's span on its clock; `placed` false: every stream starts at 0 and the composite
// lasts as long as the longest stream.
struct ComposeSpan {
    bool placed = false;
    int64_t start_us = 0;
    int64_t end_us = 0;
};

// Called now and then with the composite time done and (0 when unknown) the time to do.
using ComposeProgress = void (*)(int64_t done_us, int64_t total_us);

// Writes the composite of `users` to options.path. The result's `written` is false when the
// file could not be made; `error` and `error_errno` then say why, and nothing is left under the
// name.
struct ComposeOutcome {
    ComposeStats stats;
    std::string error;
    int error_errno = 0;
};
ComposeOutcome compose_meeting(const std::vector<ComposeUser>& users, const ComposeSpan& span,
                               const ComposeOptions& options, ComposeProgress progress = nullptr);

// The run's composite from the run record: the files the passes wrote whole, placed by the
// clocks found. Fills run_stats().compose; a file that cannot be written is an output failure
// (named on standard error; the run ends with status 2).
void compose_run(const ComposeOptions& options);
