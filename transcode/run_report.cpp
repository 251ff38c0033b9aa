#include "run_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>

namespace {

// Keys in the order written here, so "version" leads and each object reads top-down.
using json = nlohmann::ordered_json;

constexpr double kVideoClockRate = 90000;
constexpr double kOpusSampleRate = 48000;

json repair_json(const RepairStats& r) {
    return json{{"reordered", r.reordered},
                {"duplicates", r.duplicates},
                {"late", r.late},
                {"resets", r.resets},
                {"gaps_filled", r.gaps_filled},
                {"gap_ms", r.gap_ms},
                {"gaps_not_filled", r.gaps_not_filled},
                {"frames_lost", r.frames_lost},
                {"frames_skipped_keyframe", r.frames_skipped_keyframe},
                {"fec_recovered", r.fec_recovered},
                {"fec_unrecoverable", r.fec_unrecoverable},
                {"rtx_recovered", r.rtx_recovered},
                {"red_recovered", r.red_recovered},
                {"probes", r.probes},
                {"fec_packets", r.fec_packets},
                {"sdp_unnamed", r.sdp_unnamed}};
}

// Repair mode: each SSRC of the stream with the role the classifier gave it.
json ssrcs_json(const std::vector<SsrcStats>& ssrcs) {
    json list = json::array();
    for (const SsrcStats& s : ssrcs)
        list.push_back(json{{"ssrc", s.ssrc}, {"role", s.role}, {"packets", s.packets}});
    return list;
}

// The fields both kinds share.
json stream_json(const StreamStats& s, bool repair) {
    json j{{"output_file", s.output_file},   {"output_ok", s.output_ok},
           {"packets", s.packets},           {"bytes", s.bytes},
           {"first_rtp_timestamp", nullptr}, {"last_rtp_timestamp", nullptr},
           {"seq_gaps", s.seq_gaps},         {"seq_repeats", s.seq_repeats}};
    if (s.have_timestamps) {
        j["first_rtp_timestamp"] = s.first_rtp_timestamp;
        j["last_rtp_timestamp"] = s.last_rtp_timestamp;
    }
    // Where the stream lies on the recording clock: its first and last written frame or packet.
    j["clock_source"] = s.clock.source;
    j["start_time"] = nullptr;
    j["end_time"] = nullptr;
    j["drift_ppm"] = nullptr;
    if (s.clock.placed) {
        j["start_time"] = utc_time_text(s.clock.start_us / 1000);
        j["end_time"] = utc_time_text(s.clock.end_us / 1000);
        j["drift_ppm"] = std::round(s.clock.drift_ppm * 10) / 10;
    }
    if (repair) {
        j["repair"] = repair_json(s.repair);
        j["ssrcs"] = ssrcs_json(s.ssrcs);
    }
    if (s.codec) {
        j["codec"] = s.codec;
        if (s.unconverted > 0 || !s.codec_seen.empty()) {
            j["unconverted_packets"] = s.unconverted;
            if (!s.codec_seen.empty()) j["codec_seen"] = s.codec_seen;
        }
    }
    return j;
}

json video_json(const StreamStats& s, bool repair) {
    json j = stream_json(s, repair);
    j["frames_written"] = s.frames_written;
    j["frames_dropped"] = s.frames_dropped;
    // The span of the RTP clock, modulo 2^32 as the clock itself wraps.
    const uint32_t span = s.last_rtp_timestamp - s.first_rtp_timestamp;
    j["duration_seconds"] = s.have_timestamps ? span / kVideoClockRate : 0.0;
    return j;
}

json audio_json(const StreamStats& s, bool repair) {
    json j = stream_json(s, repair);
    j["packets_written"] = s.packets_written;
    j["packets_refused"] = s.packets_refused;
    j["last_granule"] = s.last_granule;
    j["duration_seconds"] = static_cast<double>(s.last_granule) / kOpusSampleRate;
    return j;
}

std::string errno_text(const char* what, int err) {
    return std::string(what) + ": " + strerror(err);
}

// The permissions every output file gets: 0666 less the umask, which can only be read by setting
// it.
mode_t file_mode() {
    const mode_t mask = umask(022);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::string utc_time_text(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc = {};
    gmtime_r(&seconds, &utc);
    char text[96];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
             static_cast<int>(ms % 1000));
    return text;
}

namespace {

json compose_json(const ComposeStats& c) {
    json layouts = json::array();
    for (const ComposeLayout& l : c.layouts)
        layouts.push_back({{"time_seconds", l.time}, {"frame", l.frame}, {"users", l.users}});
    json left_out = json::array();
    for (const ComposeLeftOut& l : c.video_left_out)
        left_out.push_back({{"user_id", l.uid}, {"reason", l.why}});
    return json{{"file", c.file},
                {"written", c.written},
                {"placed_on_recording_clock", c.placed},
                {"width", c.width},
                {"height", c.height},
                {"frame_rate", c.rate},
                {"video_codec", c.codec},
                {"frames_written", c.frames_written},
                {"duration_seconds", c.duration},
                {"encode_seconds", c.encode_seconds},
                {"encode_speed", c.encode_seconds > 0 ? c.duration / c.encode_seconds : 0.0},
                {"layout_changes", layouts},
                {"video_users", c.video_users},
                {"audio_users", c.audio_users},
                {"audio_only_users", c.audio_only_users},
                {"video_left_out", left_out}};
}

}  // namespace

std::string run_report_text(const RunInfo& info, const RunStats& stats) {
    json kinds = json::array();
    if (info.video) kinds.push_back("video");
    if (info.audio) kinds.push_back("audio");

    std::set<uint32_t> uids;
    for (const auto& entry : stats.video) uids.insert(entry.first);
    for (const auto& entry : stats.audio) uids.insert(entry.first);
    json users = json::array();
    for (uint32_t uid : uids) {
        json user{{"user_id", uid}};
        auto v = stats.video.find(uid);
        if (v != stats.video.end()) user["video"] = video_json(v->second, info.repair);
        auto a = stats.audio.find(uid);
        if (a != stats.audio.end()) user["audio"] = audio_json(a->second, info.repair);
        auto w = stats.webm.find(uid);
        if (w != stats.webm.end()) user["webm_file"] = w->second;
        users.push_back(std::move(user));
    }

    json report{{"version", kRunReportVersion},
                {"work_directory", info.work_path},
                {"output_directory", info.output_dir.empty() ? "." : info.output_dir},
                {"kinds", kinds},
                {"start_time", utc_time_text(info.start_ms)},
                {"end_time", utc_time_text(info.end_ms)},
                {"wall_seconds", info.wall_seconds},
                {"files_read", stats.files_read},
                {"bytes_read", stats.bytes_read},
                {"records_read", stats.records_read},
                {"records_dropped",
                 {{"cut_short", stats.records_cut_short}, {"refused", stats.records_refused}}},
                {"exit_status", info.exit_status},
                {"recording_start_time", nullptr},
                {"recording_end_time", nullptr},
                {"users", users}};
    if (stats.recording_placed) {
        report["recording_start_time"] = utc_time_text(stats.recording_start_us / 1000);
        report["recording_end_time"] = utc_time_text(stats.recording_end_us / 1000);
    }
    if (stats.compose.requested) report["compose"] = compose_json(stats.compose);
    // Names and paths are bytes, not necessarily UTF-8: replace what is not, rather than throw.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool write_file_atomically(const std::string& path, const std::string& text, std::string* error) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) {
        *error = "not a file name";
        return false;
    }
    std::string temp = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        *error = errno_text("cannot create a temporary file", errno);
        return false;
    }
    const char* p = text.data();
    size_t left = text.size();
    int err = 0;
    const char* what = nullptr;
    if (fchmod(fd, file_mode()) != 0) {
        err = errno;
        what = "cannot set the permissions";
    }
    while (what == nullptr && left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            what = "cannot write";
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // The rename may reach the disk before the data does; fsync first, or a crash could leave an
    // empty report under the final name.
    if (what == nullptr && fsync(fd) != 0) {
        err = errno;
        what = "cannot sync";
    }
    if (close(fd) != 0 && what == nullptr) {
        err = errno;
        what = "cannot finish writing";
    }
    if (what == nullptr && rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        what = "cannot rename the temporary file into place";
    }
    if (what != nullptr) {
        unlink(temp.c_str());
        *error = errno_text(what, err);
        return false;
    }
    // The new directory entry itself, so the report survives a crash right after the run.
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

bool write_run_report(const std::string& path, const RunInfo& info) {
    std::string error;
    if (write_file_atomically(path, run_report_text(info, run_stats()), &error)) return true;
    fprintf(stderr, "transcode: %s: cannot write the report: %s\n", path.c_str(), error.c_str());
    return false;
}
