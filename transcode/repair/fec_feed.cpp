#include "fec_feed.h"

#include <new>

#include "stream_classifier.h"

namespace {

void feed_keep(void* context, const uint8_t* packet, size_t size, uint32_t media_ssrc,
               bool flexfec) {
    static_cast<FecFeed*>(context)->take(packet, size, media_ssrc, flexfec);
}

}  // namespace

bool ulpfec_body_of(const uint8_t* packet, size_t size, const uint8_t** body, size_t* body_size) {
    streams::RtpSpan r;
    streams::RedPayload red;
    if (!streams::read_rtp(packet, size, &r) ||
        !streams::read_red(packet + r.header, r.payload, &red))
        return false;
    const streams::RedBlock& primary = red.blocks[red.count - 1];
    if (primary.length == 0) return false;
    *body = packet + r.header + primary.offset;
    *body_size = primary.length;
    return true;
}

FecFeed::FecFeed(ReorderWindow* stage, RepairStats* stats, InputLoans* loans)
    : stage_(stage), stats_(stats), loans_(loans) {}

FecFeed::~FecFeed() = default;

streams::FecHook FecFeed::hook() {
    streams::FecHook h;
    h.keep = &feed_keep;
    h.context = this;
    return h;
}

void FecFeed::take(const uint8_t* packet, size_t size, uint32_t media_ssrc, bool flexfec) {
    if (!fec_) {
        // Made at the first FEC packet: the store's slots and copies cost nothing until then.
        try {
            fec_ = std::make_unique<FecRecovery>(max_fec_for(stage_->capacity()), stats_, loans_);
        } catch (const std::bad_alloc&) {
            return;  // no recovery, as without FEC; tried again at the next one
        }
        fec_->set_extensions(ext_);
        stage_->set_recovery(fec_->hook());
    }
    if (flexfec) {
        fec_->add_flexfec(packet, size);
        return;
    }
    const uint8_t* body = nullptr;
    size_t body_size = 0;
    if (ulpfec_body_of(packet, size, &body, &body_size))
        fec_->add_ulpfec(media_ssrc, body, body_size);
}
