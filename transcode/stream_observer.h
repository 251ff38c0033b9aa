// A place for units that watch one user's stream without changing it (the recording clock, the
// meeting composite): they see every record the pass hands the stream and every frame or packet
// its writer writes. Observers only look; nothing they do changes what is written.
#pragma once

#include <cstddef>
#include <cstdint>

// One capture record as the pass read it, before any stage touched it.
struct StreamRecord {
    const uint8_t* packet;  // the RTP packet; valid only during the call
    size_t size;
    uint32_t file_index;     // the capture file it came from, counted from 0 in the pass's order
    const uint8_t* leading;  // audio: the record's 8 leading bytes; null for video
};

// One frame (video) or audio packet as the writer wrote it.
struct StreamWritten {
    uint32_t rtp_timestamp;  // the RTP timestamp it carried (a filler for a gap: the gap's start)
    int64_t granule;         // audio: the granule position after it; video: 0
    const uint8_t* data;     // the frame or Opus packet; valid only during the call
    size_t size;
};

struct StreamObserver {
    void (*record)(void* context, uint32_t uid, const StreamRecord& record) = nullptr;
    void (*written)(void* context, uint32_t uid, const StreamWritten& written) = nullptr;
    void* context = nullptr;
};

// The observers of one stream: a handful at most, called in the order they were added.
class StreamObservers {
public:
    static constexpr size_t kMax = 4;
    bool add(const StreamObserver& observer) {
        if (count_ == kMax) return false;
        list_[count_++] = observer;
        return true;
    }
    bool empty() const { return count_ == 0; }
    void record(uint32_t uid, const StreamRecord& r) const {
        for (size_t i = 0; i < count_; ++i)
            if (list_[i].record) list_[i].record(list_[i].context, uid, r);
    }
    void written(uint32_t uid, const StreamWritten& w) const {
        for (size_t i = 0; i < count_; ++i)
            if (list_[i].written) list_[i].written(list_[i].context, uid, w);
    }

private:
    StreamObserver list_[kMax];
    size_t count_ = 0;
};
