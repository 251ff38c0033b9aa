#include "stream_track.h"

#include <cmath>

namespace {

int64_t to_ticks(double us, int64_t rate) {
    return static_cast<int64_t>(std::llround(us * static_cast<double>(rate) / 1e6));
}

}  // namespace

StreamTrack::StreamTrack(int64_t rate) : rate_(rate) {}

void StreamTrack::record(uint32_t rtp, const ClockFile& file, bool opens_file, bool lead_ok,
                         int64_t lead_us) {
    if (have_) {
        int64_t step = static_cast<int32_t>(rtp - last_rtp_);
        // A restarted sender's new base says nothing of the time between: the stream goes on
        // where it was, and the arrival times (if any) say how much time passed.
        if (step < -kStallUs * rate_ / 1000000 || step > kRestartUs / 1000000 * rate_) step = 0;
        raw_ += step;
    } else {
        have_ = true;
        first_x_ = 0;
        first_file_ = file.index;
    }
    last_rtp_ = rtp;
    const double us_per_tick = nominal_us_per_tick();

    if (lead_ok) {
        // Arrival minus media time: it steps up where the RTP clock stood while time went on, and
        // down where the clock ran ahead of time.
        const double late = static_cast<double>(lead_us) - static_cast<double>(raw_) * us_per_tick;
        if (pending_) {
            if (std::fabs(late - pending_base_) < std::fabs(pending_apart_) / 2) {
                // The packets caught up: the network held them back, the clock never stood.
                pending_ = false;
            } else if (lead_us - pending_since_us_ >= kConfirmUs) {
                add_stall(raw_, rtp, to_ticks(pending_apart_, rate_), true);
                pending_ = false;
            }
        } else if (have_lead_) {
            const int64_t arrived = lead_us - lead_prev_us_;
            const double media = static_cast<double>(raw_ - lead_prev_raw_) * us_per_tick;
            if (arrived >= 0 && media >= 0) {
                const double apart = static_cast<double>(arrived) - media;
                // The RTP clock stood (a step of about a packet over a long wait), or ran ahead.
                if ((media <= kStallStepUs && apart > kStallUs) || -apart > kStallUs) {
                    pending_ = true;
                    pending_apart_ = apart;
                    pending_base_ = static_cast<double>(lead_prev_us_) -
                                    static_cast<double>(lead_prev_raw_) * us_per_tick;
                    pending_since_us_ = lead_us;
                }
            }
        }
        have_lead_ = true;
        lead_prev_us_ = lead_us;
        lead_prev_raw_ = raw_;
        // The fit takes readings near the least delayed ones: those held back by the network
        // (or while a stall is not yet told from a delay) would pull it off. The floor may rise
        // by a millisecond a second, far more than any clock drifts.
        const double floor_late =
            static_cast<double>(lead_us) - static_cast<double>(raw_ + corr_) * us_per_tick;
        if (!have_floor_ || floor_late < floor_) {
            floor_ = floor_late;
        } else {
            floor_ =
                std::min(floor_late, floor_ + static_cast<double>(lead_us - floor_at_us_) * 1e-3);
        }
        have_floor_ = true;
        floor_at_us_ = lead_us;
        if (!pending_ && floor_late <= floor_ + kStallUs / 2) lead_file_.add(raw_ + corr_, lead_us);
    }

    if (file.index != file_) {
        // The stream ran across the boundary into this file: the file's time lies between its
        // last record in the previous file and its first one here, which arrived just after it
        // (right at it, when it opened the file).
        const int64_t x = raw_ + corr_;
        if (file_ >= 0 && file.index == file_ + 1 && file.timed && x >= file_x_ &&
            x - file_x_ <= rate_ && !pending_) {
            int64_t anchor = opens_file ? x : file_x_ + (x - file_x_) / 2;
            if (have_anchor_) {
                const double apart = static_cast<double>(file.time_us - anchor_us_) -
                                     static_cast<double>(anchor - anchor_x_) * us_per_tick;
                if (std::fabs(apart) > kStallUs) {
                    // Somewhere in the file before, the RTP clock and time parted.
                    const int64_t ticks = to_ticks(apart, rate_);
                    add_stall(raw_, rtp, ticks, false);
                    anchor += ticks;
                }
            }
            anchors_.add(anchor, file.time_us);
            have_anchor_ = true;
            anchor_x_ = anchor;
            anchor_us_ = file.time_us;
        }
        file_ = file.index;
    }
    file_x_ = raw_ + corr_;
}

void StreamTrack::add_stall(int64_t raw, uint32_t rtp, int64_t ticks, bool for_writer) {
    if (ticks == 0) return;
    corr_ += ticks;
    ++stall_count_;
    if (stalls_.size() < kMaxStalls) stalls_.push_back({raw, ticks, rtp, for_writer});
}

void StreamTrack::commit_file(bool lead_kept) {
    if (lead_kept) lead_.merge(lead_file_);
    lead_file_ = ClockFit();
}

int64_t StreamTrack::correction_at(int64_t raw) const {
    if (stalls_.empty() || raw >= stalls_.back().raw) return corr_;
    int64_t sum = corr_;
    for (auto it = stalls_.rbegin(); it != stalls_.rend() && it->raw > raw; ++it) sum -= it->ticks;
    return sum;
}

int64_t StreamTrack::tick_of(uint32_t rtp) const {
    int64_t step = static_cast<int32_t>(rtp - last_rtp_);
    if (step < -kRestartUs / 1000000 * rate_ || step > kRestartUs / 1000000 * rate_) step = 0;
    const int64_t raw = raw_ + step;
    return raw + correction_at(raw);
}

void StreamTrack::written(uint32_t rtp) {
    const int64_t x = tick_of(rtp);
    if (!have_written_) {
        have_written_ = true;
        first_written_ = x;
        first_written_rtp_ = rtp;
    }
    last_written_ = x;
    last_written_rtp_ = rtp;
}

int64_t StreamTrack::stall_before(uint32_t rtp) {
    if (writer_next_ >= stalls_.size()) return 0;
    int64_t step = static_cast<int32_t>(rtp - last_rtp_);
    const int64_t raw = raw_ + step;
    while (writer_next_ < stalls_.size() &&
           (!stalls_[writer_next_].for_writer || stalls_[writer_next_].raw < raw))
        ++writer_next_;
    if (writer_next_ < stalls_.size() && stalls_[writer_next_].raw == raw &&
        stalls_[writer_next_].rtp == rtp)
        return stalls_[writer_next_++].ticks;
    return 0;
}
