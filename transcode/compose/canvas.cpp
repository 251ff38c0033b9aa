#include "canvas.h"

#include <cstring>

namespace {

// Black in limited-range BT.601 YUV, as VP8 and VP9 streams are coded.
constexpr uint8_t kBlackLuma = 16;
constexpr uint8_t kBlackChroma = 128;

}  // namespace

bool Canvas::open(int width, int height) {
    if (!load_libav_compose()) return false;
    frame_.reset(av.av_frame_alloc());
    if (!frame_) return false;
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width;
    frame_->height = height;
    if (av.av_frame_get_buffer(frame_.get(), 0) < 0) return false;
    fill_black(Rect{0, 0, width, height});
    return true;
}

void Canvas::fill_black(const Rect& r) {
    for (int y = r.y; y < r.y + r.h; ++y)
        memset(frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0] + r.x, kBlackLuma,
               static_cast<size_t>(r.w));
    for (int plane = 1; plane <= 2; ++plane)
        for (int y = r.y / 2; y < (r.y + r.h) / 2; ++y)
            memset(
                frame_->data[plane] + static_cast<ptrdiff_t>(y) * frame_->linesize[plane] + r.x / 2,
                kBlackChroma, static_cast<size_t>(r.w / 2));
}

void Canvas::set_layout(const std::vector<Rect>& cells) {
    av.av_frame_make_writable(frame_.get());
    fill_black(Rect{0, 0, frame_->width, frame_->height});
    tiles_.resize(cells.size());
    for (size_t i = 0; i < cells.size(); ++i) {
        tiles_[i].cell = cells[i];
        tiles_[i].valid = false;
    }
}

Rect Canvas::tile_rect(size_t index) const {
    return index < tiles_.size() ? tiles_[index].drawn : Rect{};
}

bool Canvas::draw(size_t index, const AVFrame* picture, uint64_t serial) {
    if (index >= tiles_.size() || picture == nullptr) return true;
    Tile& tile = tiles_[index];
    if (tile.valid && tile.serial == serial) return true;
    av.av_frame_make_writable(frame_.get());
    // A picture of another size (the sender changed resolution) is fitted anew; the bars of the
    // old fit go black first.
    if (!tile.valid || picture->width != tile.src_width || picture->height != tile.src_height) {
        fill_black(tile.cell);
        tile.drawn = fit_in_cell(tile.cell, picture->width, picture->height);
        tile.src_width = picture->width;
        tile.src_height = picture->height;
    }
    const Rect& r = tile.drawn;
    tile.scaler.reset(
        av.sws_getCachedContext(tile.scaler.release(), picture->width, picture->height,
                                static_cast<AVPixelFormat>(picture->format), r.w, r.h,
                                AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!tile.scaler) return false;
    // The scaler writes into a frame of the tile's own, then the rows are copied into place:
    // libswscale's vector code may write past the width it is given, which on the canvas would be
    // the neighbouring tile.
    if (!tile.scaled || tile.scaled->width != r.w || tile.scaled->height != r.h) {
        tile.scaled.reset(av.av_frame_alloc());
        if (!tile.scaled) return false;
        tile.scaled->format = AV_PIX_FMT_YUV420P;
        tile.scaled->width = r.w;
        tile.scaled->height = r.h;
        if (av.av_frame_get_buffer(tile.scaled.get(), 0) < 0) {
            tile.scaled.reset();
            return false;
        }
    }
    AVFrame* scaled = tile.scaled.get();
    av.sws_scale(tile.scaler.get(), picture->data, picture->linesize, 0, picture->height,
                 scaled->data, scaled->linesize);
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        const int w = r.w >> shift;
        for (int y = 0; y < (r.h >> shift); ++y)
            memcpy(frame_->data[plane] +
                       static_cast<ptrdiff_t>((r.y >> shift) + y) * frame_->linesize[plane] +
                       (r.x >> shift),
                   scaled->data[plane] + static_cast<ptrdiff_t>(y) * scaled->linesize[plane],
                   static_cast<size_t>(w));
    }
    tile.serial = serial;
    tile.valid = true;
    return true;
}
