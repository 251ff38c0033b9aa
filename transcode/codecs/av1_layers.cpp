#include "av1_layers.h"

#include "bit_reader.h"
#include "header_extensions.h"
#include "stream_classifier.h"

namespace {

// ns(n): a value below n in the fewest bits that can tell them apart (the descriptor's own
// non-symmetric code).
uint32_t ns(BitReader* r, uint32_t n) {
    int w = 0;
    for (uint32_t x = n; x != 0; x >>= 1) ++w;
    if (w == 0) return 0;
    const uint32_t m = (1u << w) - n;
    const uint32_t v = r->bits(w - 1);
    if (v < m) return v;
    return (v << 1) - m + r->bit();
}

void skip(BitReader* r, size_t bits) {
    for (; bits >= 32; bits -= 32) r->bits(32);
    r->bits(static_cast<int>(bits));
}

bool read_structure(BitReader* r, DdStructure* s) {
    *s = DdStructure{};
    s->template_id_offset = static_cast<uint8_t>(r->bits(6));
    s->decode_targets = static_cast<uint8_t>(r->bits(5) + 1);
    // template_layers: each template's layers, by steps from the one before.
    uint8_t spatial = 0, temporal = 0, max_spatial = 0;
    for (;;) {
        if (s->templates == DdStructure::kMaxTemplates) return false;
        s->spatial_id[s->templates] = spatial;
        s->temporal_id[s->templates] = temporal;
        ++s->templates;
        const uint32_t next = r->bits(2);
        if (!r->ok()) return false;
        if (next == 3) break;
        if (next == 1) ++temporal;
        if (next == 2) {
            temporal = 0;
            max_spatial = ++spatial;
        }
    }
    // template_dtis: two bits per template and decode target.
    skip(r, 2u * s->templates * s->decode_targets);
    // template_fdiffs
    for (int t = 0; t < s->templates; ++t) {
        while (r->bit()) {
            if (s->fdiffs[t] == DdStructure::kMaxFdiffs) return false;
            s->fdiff[t][s->fdiffs[t]++] = static_cast<uint8_t>(r->bits(4) + 1);
        }
    }
    // template_chains
    s->chains = static_cast<uint8_t>(ns(r, s->decode_targets + 1u));
    if (s->chains > 0) {
        for (int dt = 0; dt < s->decode_targets; ++dt) ns(r, s->chains);  // protected by
        skip(r, 4u * s->chains * s->templates);  // each template's chain diffs
    }
    if (r->bit()) skip(r, 32u * (max_spatial + 1u));  // render sizes, 16 + 16 bits per layer
    s->valid = r->ok();
    return s->valid;
}

}  // namespace

bool av1_dependency_descriptor(const uint8_t* p, size_t n, DdStructure* structure, DdFrame* out) {
    *out = DdFrame{};
    if (n < 3) return false;
    BitReader r(p, n);
    out->start_of_frame = r.bit();
    out->end_of_frame = r.bit();
    out->template_id = static_cast<uint8_t>(r.bits(6));
    out->frame_number = static_cast<uint16_t>(r.bits(16));
    bool custom_dtis = false, custom_fdiffs = false, custom_chains = false;
    if (n > 3) {
        out->structure_present = r.bit();
        const bool active_present = r.bit();
        custom_dtis = r.bit();
        custom_fdiffs = r.bit();
        custom_chains = r.bit();
        if (out->structure_present && !read_structure(&r, structure)) return false;
        if (active_present) {
            if (!structure->valid) return false;
            r.bits(structure->decode_targets);
        }
    }
    if (!structure->valid) return false;
    const DdStructure& s = *structure;
    const int index = (out->template_id + 64 - s.template_id_offset) % 64;
    if (index >= s.templates) return false;
    out->spatial_id = s.spatial_id[index];
    out->temporal_id = s.temporal_id[index];
    if (custom_dtis) skip(&r, 2u * s.decode_targets);
    if (custom_fdiffs) {
        for (uint32_t size = r.bits(2); size != 0 && r.ok(); size = r.bits(2)) {
            if (out->fdiffs == DdStructure::kMaxFdiffs) return false;
            out->fdiff[out->fdiffs++] =
                static_cast<uint16_t>(r.bits(4 * static_cast<int>(size)) + 1);
        }
    } else {
        out->fdiffs = s.fdiffs[index];
        for (int i = 0; i < out->fdiffs; ++i) out->fdiff[i] = s.fdiff[index][i];
    }
    if (custom_chains) skip(&r, 8u * s.chains);
    return r.ok();
}

bool av1_frame_layers(void* state, const uint8_t* packet, size_t size, FrameLayers* out) {
    auto* st = static_cast<Av1LayersState*>(state);
    if (!st || st->extension_id == 0 || !packet) return false;
    const uint8_t* dd = nullptr;
    size_t dd_size = 0;
    streams::for_each_extension(packet, size, [&](size_t id, size_t from, size_t to) {
        if (id == st->extension_id && !dd) {
            dd = packet + from;
            dd_size = to - from;
        }
    });
    if (!dd) return false;
    DdFrame f;
    const bool read = av1_dependency_descriptor(dd, dd_size, &st->structure, &f);
    if (!out->seen) {
        if (!read) return false;
        out->seen = true;
        out->per_packet = true;  // the layer frames of a temporal unit have their own numbers
        out->picture_id_bits = 16;
        out->picture_id = f.frame_number;
        out->layered = true;
        out->temporal_id = f.temporal_id;
        out->exact = true;
    } else if (!read) {
        out->exact = false;  // a frame of the unit that cannot be placed
        return true;
    }
    out->add_id(f.frame_number);
    for (int i = 0; i < f.fdiffs; ++i)
        out->add_ref(static_cast<uint16_t>(f.frame_number - f.fdiff[i]));
    return true;
}
