#include "recording_clock.h"

#include <algorithm>
#include <cmath>

#include "file_time.h"
#include "run_stats.h"

namespace {

constexpr int64_t kVideoRate = 90000;
constexpr int64_t kAudioRate = 48000;
// A leading field is a capture time only while it lies this close to its file's time value: from
// a little before (the recorder's clocks may differ by a little) to as long as a file may run.
constexpr int64_t kLeadBeforeFileUs = 2000000;
constexpr int64_t kLeadAfterFileUs = int64_t{6} * 3600 * 1000000;
// Fitted rates further off than this are no clock rate but a fault of the evidence.
constexpr double kMaxDriftPpm = 2000;
// Rounds of placing streams by their neighbours in the capture, each through one more neighbour.
constexpr int kNeighbourRounds = 4;

uint64_t key(bool video, uint32_t uid) {
    return (video ? uint64_t{1} << 32 : 0) | uid;
}
uint64_t report_key(uint32_t uid, bool video, uint32_t ssrc) {
    return (static_cast<uint64_t>(uid) << 33) | (video ? uint64_t{1} << 32 : 0) | ssrc;
}

uint32_t be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint64_t le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

// One stream's sender reports: runs of reports whose RTP and NTP times keep step (a stall or a
// restart of the RTP clock begins a new run).
struct RecordingClock::SrStream {
    struct Run {
        uint32_t rtp = 0;  // the first report's timestamp and its ticks
        int64_t ext = 0;
        ClockFit fit;
    };
    std::vector<Run> runs;
    uint32_t last_rtp = 0;
    int64_t last_ext = 0;
    double last_offset = 0;
    uint64_t count = 0;

    void add(const SenderReport& r, int64_t ntp_us, int64_t rate) {
        const double us_per_tick = 1e6 / static_cast<double>(rate);
        int64_t ext = 0;
        if (count > 0) ext = last_ext + static_cast<int32_t>(r.rtp - last_rtp);
        const double offset = static_cast<double>(ntp_us) - static_cast<double>(ext) * us_per_tick;
        if (count == 0 || std::fabs(offset - last_offset) > StreamTrack::kStallUs) {
            Run run;
            run.rtp = r.rtp;
            run.ext = ext;
            runs.push_back(run);
        }
        runs.back().fit.add(ext, ntp_us);
        last_rtp = r.rtp;
        last_ext = ext;
        last_offset = offset;
        ++count;
    }
    double at(const Run& run, uint32_t rtp, double nominal, int64_t min_span) const {
        const int64_t ext = run.ext + static_cast<int32_t>(rtp - run.rtp);
        return run.fit.at(ext, nominal, min_span);
    }
    const Run& longest() const {
        const Run* best = &runs.front();
        for (const Run& run : runs)
            if (run.fit.span() > best->fit.span()) best = &run;
        return *best;
    }
};

struct RecordingClock::Kind {
    bool video = false;
    std::vector<ClockFile> files;  // the pass's files in order
    ClockFile file;                // the current one
    // The leading field of the current file: whether it still behaves like a clock.
    bool lead_good = true;
    bool have_lead = false;
    int64_t lead_prev_us = 0;
    std::vector<uint32_t> touched;  // users with records in the current file
    bool have_last = false;
    uint32_t last_uid = 0;
    struct Stream {
        explicit Stream(int64_t rate) : track(rate) {}
        StreamTrack track;
        int64_t touched_file = -1;
        // The stream read just before this one's first record in the same file, and where it was.
        bool have_neighbour = false;
        uint32_t neighbour = 0;
        int64_t neighbour_tick = 0;
        // The SSRCs of its records, with their counts (the first few).
        std::vector<std::pair<uint32_t, uint64_t>> ssrcs;
    };
    std::map<uint32_t, Stream> streams;

    void end_file() {
        for (uint32_t uid : touched) {
            auto it = streams.find(uid);
            if (it != streams.end()) it->second.track.commit_file(lead_good && have_lead);
        }
        touched.clear();
        lead_good = true;
        have_lead = false;
        have_last = false;
    }
};

RecordingClock::RecordingClock() {
    reset();
}
RecordingClock::~RecordingClock() = default;

void RecordingClock::reset() {
    for (int i = 0; i < 2; ++i) {
        kinds_[i] = std::make_unique<Kind>();
        kinds_[i]->video = i == 1;
    }
    reports_.clear();
    sender_offset_us_.clear();
    places_.clear();
}

RecordingClock::Kind& RecordingClock::kind(bool video) {
    return *kinds_[video ? 1 : 0];
}
const RecordingClock::Kind& RecordingClock::kind(bool video) const {
    return *kinds_[video ? 1 : 0];
}

void RecordingClock::load_sender_reports(const std::string& work_path, FILE* messages) {
    std::vector<SenderReport> reports;
    read_sender_reports(work_path + kSenderReportFile, &reports, messages);
    set_sender_reports(std::move(reports));
}

void RecordingClock::set_sender_reports(std::vector<SenderReport> reports) {
    reports_.clear();
    sender_offset_us_.clear();
    for (const SenderReport& r : reports) {
        int64_t ntp_us = 0;
        if (!ntp_to_unix_us(r.ntp, &ntp_us)) continue;
        reports_[report_key(r.uid, r.video, r.ssrc)].add(r, ntp_us,
                                                         r.video ? kVideoRate : kAudioRate);
        if (r.capture_us > 0) {
            // The least delayed report tells the sender's clock against the recorder's best.
            const int64_t offset = r.capture_us - ntp_us;
            auto it = sender_offset_us_.find(r.uid);
            if (it == sender_offset_us_.end() || offset < it->second)
                sender_offset_us_[r.uid] = offset;
        }
    }
}

void RecordingClock::set_files(bool video, const std::vector<std::string>& paths) {
    Kind& k = kind(video);
    k.files.clear();
    for (const std::string& path : paths) {
        ClockFile f;
        f.index = static_cast<int64_t>(k.files.size());
        f.timed = file_time_us(path, &f.time_us);
        k.files.push_back(f);
    }
}

void RecordingClock::record(bool video, uint32_t uid, const uint8_t* packet, size_t length,
                            uint32_t file_index, const uint8_t* lead) {
    // RTP version 2 with room for the fixed header; RTCP (payload types 72 to 76 with the marker
    // bit) carries no media time.
    if (packet == nullptr || length < 12 || (packet[0] >> 6) != 2) return;
    if (packet[1] >= 200 && packet[1] <= 204) return;
    Kind& k = kind(video);
    if (static_cast<int64_t>(file_index) != k.file.index) {
        k.end_file();
        if (file_index < k.files.size()) {
            k.file = k.files[file_index];
        } else {
            k.file = ClockFile();
            k.file.index = file_index;
        }
    }
    auto it = k.streams.find(uid);
    if (it == k.streams.end()) {
        it = k.streams.emplace(uid, Kind::Stream(video ? kVideoRate : kAudioRate)).first;
        if (k.have_last && k.last_uid != uid) {
            auto n = k.streams.find(k.last_uid);
            if (n != k.streams.end()) {
                it->second.have_neighbour = true;
                it->second.neighbour = k.last_uid;
                it->second.neighbour_tick = n->second.track.last_tick();
            }
        }
    }
    Kind::Stream& s = it->second;
    if (s.touched_file != k.file.index) {
        s.touched_file = k.file.index;
        k.touched.push_back(uid);
    }
    const uint32_t ssrc = be32(packet + 8);
    bool counted = false;
    for (auto& entry : s.ssrcs) {
        if (entry.first == ssrc) {
            ++entry.second;
            counted = true;
            break;
        }
    }
    if (!counted && s.ssrcs.size() < 8) s.ssrcs.emplace_back(ssrc, 1);

    // The recorder appends records as they arrive: a capture time goes on rising through the
    // file and starts near its time value, or it is none.
    bool lead_ok = false;
    int64_t lead_us = 0;
    if (lead != nullptr && k.lead_good && k.file.timed) {
        lead_ok = plausible_time_us(le64(lead), &lead_us) &&
                  lead_us >= k.file.time_us - kLeadBeforeFileUs &&
                  lead_us <= k.file.time_us + kLeadAfterFileUs &&
                  (!k.have_lead || lead_us >= k.lead_prev_us);
        if (lead_ok) {
            k.have_lead = true;
            k.lead_prev_us = lead_us;
        } else {
            k.lead_good = false;
        }
    }
    s.track.record(be32(packet + 4), k.file, !k.have_last, lead_ok, lead_us);
    k.have_last = true;
    k.last_uid = uid;
}

void RecordingClock::written(bool video, uint32_t uid, uint32_t rtp) {
    Kind& k = kind(video);
    auto it = k.streams.find(uid);
    if (it != k.streams.end()) it->second.track.written(rtp);
}

void RecordingClock::pass_end(bool video) {
    kind(video).end_file();
}

int64_t RecordingClock::stall_before(uint32_t uid, uint32_t rtp) {
    Kind& k = kind(false);
    auto it = k.streams.find(uid);
    return it == k.streams.end() ? 0 : it->second.track.stall_before(rtp);
}

bool RecordingClock::place_by_reports(bool video, uint32_t uid, const StreamTrack& track,
                                      StreamPlace* out) const {
    const Kind::Stream& s = kind(video).streams.at(uid);
    // The SSRC the stream's records carry most among those the sender reported on.
    const SrStream* best = nullptr;
    uint64_t most = 0;
    for (const auto& entry : s.ssrcs) {
        auto it = reports_.find(report_key(uid, video, entry.first));
        if (it != reports_.end() && entry.second > most) {
            best = &it->second;
            most = entry.second;
        }
    }
    if (best == nullptr || best->runs.empty()) return false;
    const double nominal = track.nominal_us_per_tick();
    const int64_t span = track.min_drift_span();
    auto offset = sender_offset_us_.find(uid);
    const double to_recorder =
        offset == sender_offset_us_.end() ? 0.0 : static_cast<double>(offset->second);
    out->source = "rtcp";
    out->us_per_tick = best->longest().fit.slope(nominal, span);
    out->drift_ppm = drift_ppm(best->longest().fit, nominal, span);
    // The first packet belongs to the first run of reports and the last one to the last run: a
    // stall between them moves the end, not the start.
    out->start_us =
        best->at(best->runs.front(), track.first_written_rtp(), nominal, span) + to_recorder;
    out->end_us =
        best->at(best->runs.back(), track.last_written_rtp(), nominal, span) + to_recorder;
    return true;
}

void RecordingClock::settle(bool say_so, FILE* messages) {
    places_.clear();
    kind(true).end_file();
    kind(false).end_file();
    // Streams placed by their own evidence first.
    for (bool video : {true, false}) {
        for (const auto& entry : kind(video).streams) {
            const StreamTrack& track = entry.second.track;
            StreamPlace p;
            p.first_tick = track.first_written();
            if (!track.any_written()) {
                places_[key(video, entry.first)] = p;
                continue;
            }
            const double nominal = track.nominal_us_per_tick();
            const int64_t span = track.min_drift_span();
            const ClockFit* fit = nullptr;
            if (place_by_reports(video, entry.first, track, &p)) {
                p.placed = true;
            } else if (track.lead_fit().n > 0) {
                fit = &track.lead_fit();
                p.source = "leading_field";
            } else if (track.anchor_fit().n > 0) {
                fit = &track.anchor_fit();
                p.source = "file_names";
            }
            if (fit != nullptr) {
                p.placed = true;
                p.us_per_tick = fit->slope(nominal, span);
                p.drift_ppm = drift_ppm(*fit, nominal, span);
                p.start_us = fit->at(track.first_written(), nominal, span);
                p.end_us = fit->at(track.last_written(), nominal, span);
            }
            if (p.placed && std::fabs(p.drift_ppm) > kMaxDriftPpm) {
                // No clock runs that far off: keep the nominal rate through the start.
                p.end_us =
                    p.start_us +
                    static_cast<double>(track.last_written() - track.first_written()) * nominal;
                p.us_per_tick = nominal;
                p.drift_ppm = 0;
            }
            places_[key(video, entry.first)] = p;
        }
    }
    // Then streams that never crossed a file boundary, by the stream read just before their first
    // record: that record came right after the neighbour's.
    for (int round = 0; round < kNeighbourRounds; ++round) {
        bool any = false;
        for (bool video : {true, false}) {
            for (const auto& entry : kind(video).streams) {
                StreamPlace& p = places_[key(video, entry.first)];
                const Kind::Stream& s = entry.second;
                if (p.placed || !s.track.any_written() || !s.have_neighbour) continue;
                const StreamPlace& n = places_[key(video, s.neighbour)];
                if (!n.placed) continue;
                const double nominal = s.track.nominal_us_per_tick();
                const double arrived =
                    n.start_us +
                    static_cast<double>(s.neighbour_tick - n.first_tick) * n.us_per_tick;
                p.placed = true;
                p.source = "file_names";
                p.us_per_tick = nominal;
                p.start_us =
                    arrived +
                    static_cast<double>(s.track.first_written() - s.track.first_tick()) * nominal;
                p.end_us =
                    p.start_us +
                    static_cast<double>(s.track.last_written() - s.track.first_written()) * nominal;
                any = true;
            }
        }
        if (!any) break;
    }

    RunStats& stats = run_stats();
    stats.recording_placed = false;
    for (const auto& entry : places_) {
        const bool video = (entry.first >> 32) != 0;
        const uint32_t uid = static_cast<uint32_t>(entry.first);
        auto& map = video ? stats.video : stats.audio;
        auto it = map.find(uid);
        if (it == map.end()) continue;
        const StreamPlace& p = entry.second;
        StreamClock& c = it->second.clock;
        c = StreamClock();
        if (!p.placed) continue;
        c.source = p.source;
        c.placed = true;
        c.start_us = std::llround(p.start_us);
        c.end_us = std::llround(p.end_us);
        c.drift_ppm = p.drift_ppm;
        if (!stats.recording_placed || c.start_us < stats.recording_start_us)
            stats.recording_start_us = c.start_us;
        if (!stats.recording_placed || c.end_us > stats.recording_end_us)
            stats.recording_end_us = c.end_us;
        stats.recording_placed = true;
    }
    if (!stats.recording_placed && say_so && !places_.empty())
        fputs(
            "transcode: the capture holds no clock (no sender reports, no capture times in the "
            "audio records, no file time values to place the streams by): each stream starts "
            "at 0\n",
            messages);
}

StreamPlace RecordingClock::place(bool video, uint32_t uid) const {
    auto it = places_.find(key(video, uid));
    return it == places_.end() ? StreamPlace() : it->second;
}

RecordingClock& recording_clock() {
    static RecordingClock clock;
    return clock;
}
