#include "clock_watch.h"

#include "recording_clock.h"

namespace {

// The context says the kind: non-null for video.
void on_record(void* video, uint32_t uid, const StreamRecord& r) {
    recording_clock().record(video != nullptr, uid, r.packet, r.size, r.file_index, r.leading);
}

void on_written(void* video, uint32_t uid, const StreamWritten& w) {
    recording_clock().written(video != nullptr, uid, w.rtp_timestamp);
}

void on_made(void*, uint32_t, bool video, StreamObservers& observers) {
    static int video_tag = 0;
    StreamObserver o;
    o.record = on_record;
    o.written = on_written;
    o.context = video ? &video_tag : nullptr;
    observers.add(o);
}

}  // namespace

StreamWatch clock_watch() {
    StreamWatch watch;
    watch.made = on_made;
    return watch;
}
