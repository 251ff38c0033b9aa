#include "frame_deps.h"

namespace {

uint8_t layer_of(const FrameLayers& f) {
    return f.temporal_id < FrameDeps::kLayers ? f.temporal_id : FrameDeps::kLayers - 1;
}

}  // namespace

void FrameLayers::add_id(uint16_t v) {
    for (uint8_t i = 0; i < ids; ++i)
        if (id[i] == v) return;
    if (ids == kMaxIds) {
        exact = false;
        return;
    }
    id[ids++] = v;
}

void FrameLayers::add_ref(uint16_t v) {
    for (uint8_t i = 0; i < ids; ++i)
        if (id[i] == v) return;
    for (uint8_t i = 0; i < refs; ++i)
        if (ref[i] == v) return;
    if (refs == kMaxRefs) {
        exact = false;
        return;
    }
    ref[refs++] = v;
}

bool FrameDeps::refs_written(const FrameLayers& f) const {
    for (uint8_t i = 0; i < f.refs; ++i) {
        const Remembered& r = remembered_[f.ref[i] % kRemembered];
        if (!r.valid || r.id != f.ref[i] || !r.written) return false;
    }
    return true;
}

void FrameDeps::remember(const FrameLayers& f, bool written) {
    for (uint8_t i = 0; i < f.ids; ++i)
        remembered_[f.id[i] % kRemembered] = {true, written, f.id[i]};
}

// What a frame that is missing, or held back, breaks for the frames after it.
void FrameDeps::broken_by(const FrameLayers* f) {
    if (f && f->seen && f->non_reference) return;  // nothing refers to it
    if (f && f->seen && f->layered && !f->key && layer_of(*f) > 0) {
        broken_[layer_of(*f)] = true;
        return;
    }
    // The base layer, or a frame of unknown place: nothing after it decodes before a key frame.
    need_key_ = true;
}

void FrameDeps::count_from(const FrameLayers& f) {
    if (f.picture_id_bits != 0) {
        last_bits_ = f.picture_id_bits;
        // A picture of several frames (AV1's spatial layers) counts on from its last one.
        last_id_ = f.ids > 1 ? f.id[f.ids - 1] : f.picture_id;
    }
    if (f.has_tl0) {
        last_has_tl0_ = true;
        last_tl0_ = f.tl0_pic_idx;
    }
}

void FrameDeps::lost(const FrameLayers* seen) {
    dropped_since_ = true;
    if (seen && seen->seen && seen->exact)
        remember(*seen, false);  // what refers to it waits; nothing else does
    else
        broken_by(seen);
    if (seen) count_from(*seen);
}

FrameDeps::Decision FrameDeps::whole(const FrameLayers& f, bool key, bool gap_before) {
    Decision d{true, 0};
    const bool exact = f.seen && f.exact;
    if (gap_before) {
        // How many frames went missing with every packet, by the picture ids on either side.
        int64_t missing = -1;  // unknown
        if (f.picture_id_bits != 0 && f.picture_id_bits == last_bits_) {
            const uint32_t mask = (uint32_t{1} << f.picture_id_bits) - 1;
            const uint32_t step = (uint32_t{f.picture_id} - last_id_) & mask;
            if (step >= 1 && step - 1 <= kMaxCounted) missing = step - 1;
        }
        if (missing < 0) {
            // A receiver that cannot count: one frame, unless a dropped frame explains the gap.
            d.lost_before = dropped_since_ ? 0 : 1;
            need_key_ = true;
        } else if (missing > 0) {
            d.lost_before = static_cast<uint32_t>(missing);
            // Which layer they were in: a base-layer frame is missing when the TL0PICIDX moved on
            // by more than this frame accounts for. Exact references find the missing frames by
            // their absence instead.
            bool base_lost = !exact;
            if (!exact && f.layered && f.has_tl0 && last_has_tl0_) {
                const uint8_t moved = static_cast<uint8_t>(f.tl0_pic_idx - last_tl0_);
                base_lost = moved > (layer_of(f) == 0 ? 1 : 0);
            }
            if (base_lost) {
                need_key_ = true;
            } else if (!exact) {
                broken_[1] = true;  // an upper layer, the lowest for all we know
            }
        }
        // missing == 0: the gap held no frame (an FEC packet or a probe that was lost).
    }
    dropped_since_ = false;
    count_from(f);
    if (key || f.key) {
        need_key_ = false;
        for (bool& b : broken_) b = false;
        remember(f, true);
        return d;
    }
    bool decodes = !need_key_;
    if (exact) {
        decodes = decodes && refs_written(f);
        remember(f, decodes);
        d.write = decodes;
        return d;
    }
    if (decodes && f.seen && f.layered) {
        const uint8_t t = layer_of(f);
        bool whole_below = true;
        for (uint8_t l = 0; l <= t; ++l) whole_below &= !broken_[l];
        decodes = whole_below || (f.layer_sync && !broken_[0]);
        if (decodes && f.layer_sync) broken_[t] = false;
        if (decodes && f.switch_up)
            for (uint8_t l = t + 1; l < kLayers; ++l) broken_[l] = false;
    } else if (decodes) {
        for (bool b : broken_) decodes &= !b;
    }
    if (!decodes) broken_by(&f);
    remember(f, decodes);
    d.write = decodes;
    return d;
}
