#include "compose.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "canvas.h"
#include "layout.h"
#include "mixer.h"
#include "progress.h"
#include "streams.h"
#include "utils.h"
#include "writer.h"

namespace {

constexpr int64_t kAudioRate = 48000;

Placement placement_of(const StreamClock& clock, const ComposeSpan& span) {
    Placement p;
    if (span.placed && clock.placed) {
        p.offset_us = clock.start_us - span.start_us;
        p.rate = 1.0 + clock.drift_ppm / 1e6;
        if (!(p.rate > 0.5 && p.rate < 2.0)) p.rate = 1.0;  // a fit that cannot be a clock
    }
    return p;
}

struct VideoUser {
    uint32_t uid;
    std::unique_ptr<VideoStream> stream;
    bool shown = false;  // has had a tile
};

struct AudioUser {
    uint32_t uid;
    std::unique_ptr<AudioStream> stream;
};

// The encoders and the muxer run on a thread of their own, fed in order through a short queue:
// decoding and drawing the users' pictures and encoding the composite then take a core each.
// (libvpx's own threads spin while they wait for each other and collapse on a busy machine.)
// A job holds a new reference to the canvas or to the mixed frame: the canvas makes itself
// writable, a copy, before it draws over a picture still queued.
class EncodeThread {
public:
    explicit EncodeThread(CompositeWriter* writer) : writer_(writer), thread_([this] { run(); }) {}
    ~EncodeThread() { finish(); }
    EncodeThread(const EncodeThread&) = delete;
    EncodeThread& operator=(const EncodeThread&) = delete;

    // False once the writer has failed (what is pushed then is dropped).
    bool push(const AVFrame* frame, bool video, int64_t index) {
        std::unique_ptr<AVFrame, FrameDeleter> ref(av.av_frame_clone(frame));
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ref) failed_ = true;
        room_.wait(lock, [this] { return queue_.size() < kDepth || failed_; });
        if (failed_) return false;
        queue_.push_back(Job{std::move(ref), video, index});
        ready_.notify_one();
        return true;
    }
    // Waits for the queue to empty and the thread to end; false when a write failed.
    bool finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
            ready_.notify_one();
        }
        if (thread_.joinable()) thread_.join();
        return !failed_;
    }

private:
    static constexpr size_t kDepth = 8;
    struct Job {
        std::unique_ptr<AVFrame, FrameDeleter> frame;
        bool video;
        int64_t index;
    };
    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty() || closed_; });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
                room_.notify_one();
                if (failed_) continue;
            }
            const bool ok = job.video ? writer_->add_video(job.frame.get(), job.index)
                                      : writer_->add_audio(job.frame.get());
            if (!ok) {
                std::lock_guard<std::mutex> lock(mutex_);
                failed_ = true;
                room_.notify_one();
            }
        }
    }

    CompositeWriter* writer_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Job> queue_;
    bool closed_ = false;
    bool failed_ = false;
    std::thread thread_;  // last: started once everything above exists
};

}  // namespace

ComposeOutcome compose_meeting(const std::vector<ComposeUser>& users, const ComposeSpan& span,
                               const ComposeOptions& options, ComposeProgress progress) {
    const auto started = std::chrono::steady_clock::now();
    ComposeOutcome outcome;
    ComposeStats& stats = outcome.stats;
    stats.requested = true;
    stats.file = options.path;
    stats.placed = span.placed;
    stats.width = options.width;
    stats.height = options.height;
    stats.rate = options.rate;
    stats.codec = options.vp9 ? "vp9" : "vp8";

    std::vector<VideoUser> video;
    std::vector<AudioUser> audio;
    for (const ComposeUser& u : users) {
        auto v = std::make_unique<VideoStream>();
        std::string why;
        const VideoStream::Open opened = v->open(u.video, placement_of(u.video_clock, span), &why);
        if (opened == VideoStream::Open::ok)
            video.push_back(VideoUser{u.uid, std::move(v), false});
        else if (opened != VideoStream::Open::none)
            stats.video_left_out.push_back(ComposeLeftOut{u.uid, why});
        auto a = std::make_unique<AudioStream>();
        if (a->open(u.audio, placement_of(u.audio_clock, span))) {
            audio.push_back(AudioUser{u.uid, std::move(a)});
            stats.audio_users.push_back(u.uid);
        }
    }

    CompositeWriter writer;
    Canvas canvas;
    Mixer mixer;
    WriterOptions wo;
    wo.width = options.width;
    wo.height = options.height;
    wo.rate = options.rate;
    wo.vp9 = options.vp9;
    wo.audio = !audio.empty();
    wo.threads = options.threads;
    bool ok = writer.open(options.path, wo);
    if (ok && !canvas.open(options.width, options.height)) ok = false;
    const int block = writer.audio_frame_size() > 0 ? writer.audio_frame_size() : 960;
    if (ok && wo.audio && !mixer.open(static_cast<int>(audio.size()), block)) ok = false;
    if (!ok) {
        outcome.error = writer.error().empty() ? "cannot start the composite" : writer.error();
        outcome.error_errno = writer.error_errno();
        writer.abandon();
        return outcome;
    }

    const int64_t total_us = span.placed ? std::max<int64_t>(span.end_us - span.start_us, 0) : 0;
    // Placed: the frames up to and including the one showing the last packet. Otherwise: until
    // every stream has ended.
    const int64_t frame_limit = span.placed ? total_us * options.rate / 1000000 + 1 : INT64_MAX;

    std::vector<float> mix_in(audio.size() * static_cast<size_t>(block) * AudioStream::kChannels);
    std::vector<const float*> voices(audio.size());
    for (size_t i = 0; i < audio.size(); ++i)
        voices[i] = mix_in.data() + i * static_cast<size_t>(block) * AudioStream::kChannels;
    int64_t audio_pos = 0;  // composite samples mixed so far

    auto encoder = std::make_unique<EncodeThread>(&writer);
    auto pull_mix = [&] {
        while (AVFrame* f = mixer.next())
            if (!encoder->push(f, false, 0)) return false;
        return true;
    };
    auto mix_until = [&](int64_t end_sample) {
        while (audio_pos < end_sample) {
            for (size_t i = 0; i < audio.size(); ++i)
                audio[i].stream->read(audio_pos, block, const_cast<float*>(voices[i]));
            if (!mixer.add(voices, block) || !pull_mix()) return false;
            audio_pos += block;
        }
        return true;
    };

    std::vector<size_t> shown;  // indexes into `video` of the current tiles
    std::vector<size_t> present;
    int64_t frame = 0;
    for (; ok && frame < frame_limit; ++frame) {
        const int64_t t = frame * 1000000 / options.rate;
        bool any_left = false;
        present.clear();
        for (size_t i = 0; i < video.size(); ++i) {
            VideoStream& s = *video[i].stream;
            const AVFrame* pic = s.picture_at(t);
            if (!s.ended()) any_left = true;
            if (pic != nullptr && t - s.last_us() <= options.hold_us) present.push_back(i);
        }
        for (const AudioUser& a : audio)
            if (!a.stream->ended()) any_left = true;
        if (!span.placed && !any_left && frame > 0) break;
        // Tiles in the order users first appeared.
        std::sort(present.begin(), present.end(), [&](size_t a, size_t b) {
            const int64_t fa = video[a].stream->first_us();
            const int64_t fb = video[b].stream->first_us();
            return fa != fb ? fa < fb : a < b;
        });
        if (present != shown || frame == 0) {
            shown = present;
            canvas.set_layout(
                grid_cells(options.width, options.height, static_cast<int>(shown.size())));
            ComposeLayout change;
            change.time = static_cast<double>(t) / 1e6;
            change.frame = static_cast<uint64_t>(frame);
            for (size_t i : shown) {
                change.users.push_back(video[i].uid);
                video[i].shown = true;
            }
            stats.layouts.push_back(std::move(change));
        }
        for (size_t tile = 0; ok && tile < shown.size(); ++tile) {
            VideoStream& s = *video[shown[tile]].stream;
            ok = canvas.draw(tile, s.picture_at(t), s.serial());
        }
        ok = ok && encoder->push(canvas.frame(), true, frame);
        ok = ok && (!wo.audio || mix_until((frame + 1) * kAudioRate / options.rate));
        if (progress != nullptr && frame % options.rate == 0) progress(t, total_us);
    }
    if (ok && wo.audio) ok = mixer.finish() && pull_mix();
    ok = encoder->finish() && ok;
    encoder.reset();
    ok = ok && writer.finish();

    stats.frames_written = static_cast<uint64_t>(frame);
    stats.duration = static_cast<double>(frame) / options.rate;
    for (const VideoUser& v : video) {
        if (v.shown) stats.video_users.push_back(v.uid);
        if (!v.stream->any_picture() && v.stream->frames_read() > 0)
            stats.video_left_out.push_back(ComposeLeftOut{
                v.uid,
                std::string("no frame of its ") + v.stream->codec_name() + " video decodes"});
    }
    for (uint32_t uid : stats.audio_users)
        if (std::find(stats.video_users.begin(), stats.video_users.end(), uid) ==
            stats.video_users.end())
            stats.audio_only_users.push_back(uid);
    stats.encode_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!ok) {
        outcome.error = writer.error().empty() ? "cannot write" : writer.error();
        outcome.error_errno = writer.error_errno();
        writer.abandon();
        return outcome;
    }
    stats.written = true;
    return outcome;
}

namespace {

// Without a recording clock the composite's length is known only at its end; the progress line
// then counts against the longest stream the passes wrote.
int64_t g_estimated_us = 0;
int64_t g_shown_us = 0;
bool g_progress_begun = false;

void show_progress(int64_t done_us, int64_t total_us) {
    if (!g_progress_begun) {
        progress_begin_media("compose",
                             static_cast<uint64_t>(total_us > 0 ? total_us : g_estimated_us));
        g_progress_begun = true;
    }
    if (done_us > g_shown_us) {
        progress_advance(static_cast<uint64_t>(done_us - g_shown_us));
        g_shown_us = done_us;
    }
}

int64_t stream_length_us(const StreamStats& s, bool video) {
    if (!s.have_timestamps) return 0;
    if (video) return static_cast<int64_t>(s.last_rtp_timestamp - s.first_rtp_timestamp) * 100 / 9;
    return s.last_granule * 1000 / 48;
}

}  // namespace

void compose_run(const ComposeOptions& options) {
    RunStats& run = run_stats();
    std::map<uint32_t, ComposeUser> by_uid;
    for (const auto& e : run.video) {
        ComposeUser& u = by_uid[e.first];
        u.uid = e.first;
        u.video = webm_input_of(e.second);
        u.video_clock = e.second.clock;
    }
    for (const auto& e : run.audio) {
        ComposeUser& u = by_uid[e.first];
        u.uid = e.first;
        u.audio = webm_input_of(e.second);
        u.audio_clock = e.second.clock;
    }
    g_estimated_us = 0;
    for (const auto& e : run.video)
        g_estimated_us = std::max(g_estimated_us, stream_length_us(e.second, true));
    for (const auto& e : run.audio)
        g_estimated_us = std::max(g_estimated_us, stream_length_us(e.second, false));
    g_shown_us = 0;
    g_progress_begun = false;
    std::vector<ComposeUser> users;
    bool unplaced = !run.recording_placed;
    for (auto& e : by_uid) {
        if (!e.second.video.path.empty() && !e.second.video_clock.placed) unplaced = true;
        if (!e.second.audio.path.empty() && !e.second.audio_clock.placed) unplaced = true;
        users.push_back(e.second);
    }
    const bool any_file = std::any_of(users.begin(), users.end(), [](const ComposeUser& u) {
        return !u.video.path.empty() || !u.audio.path.empty();
    });
    if (!any_file) {
        run.compose.requested = true;
        run.compose.file = options.path;
        output_failure(options.path, "nothing to compose: no per-user file was written whole", 0);
        return;
    }
    if (unplaced)
        fprintf(stderr,
                "--compose: no recording clock for some streams; they start at the beginning "
                "of the composite\n");
    ComposeSpan span;
    span.placed = run.recording_placed;
    span.start_us = run.recording_start_us;
    span.end_us = run.recording_end_us;
    ComposeOutcome outcome;
    try {
        outcome = compose_meeting(users, span, options, show_progress);
    } catch (const std::bad_alloc&) {
        outcome.error = "cannot write";
        outcome.error_errno = ENOMEM;
    }
    progress_end();
    run.compose = outcome.stats;
    // A picture the composite cannot show is said, never dropped unsaid.
    for (const ComposeLeftOut& l : run.compose.video_left_out)
        fprintf(stderr, "--compose: user %u's video is left out of the composite: %s\n", l.uid,
                l.why.c_str());
    if (!outcome.stats.written)
        output_failure(options.path, outcome.error.c_str(), outcome.error_errno);
}
