// The composite picture: a 4:2:0 frame the size of the output on which the users' pictures are
// scaled (libswscale) into their rectangles. Only what changed is drawn again: a tile whose
// picture is new, or every tile after a change of layout.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "layout.h"
#include "libav_loader.h"

class Canvas {
public:
    // False when the frame cannot be allocated.
    bool open(int width, int height);
    // A new layout of `tiles` cells: everything goes black and every tile is drawn anew.
    void set_layout(const std::vector<Rect>& cells);
    // Draws `picture` in tile `index` (its aspect kept inside the cell) unless that picture is
    // the one drawn there last (`serial`). False when the scaler cannot be set up.
    bool draw(size_t index, const AVFrame* picture, uint64_t serial);
    // The frame to encode; it stays the canvas's, and is made writable again before drawing if
    // the encoder kept a reference to it.
    AVFrame* frame() { return frame_.get(); }
    // The rectangle tile `index` was last drawn in (for the report and tests).
    Rect tile_rect(size_t index) const;

private:
    struct Tile {
        Rect cell;
        Rect drawn;
        uint64_t serial = 0;
        bool valid = false;  // drawn since the last layout
        int src_width = 0;
        int src_height = 0;
        std::unique_ptr<SwsContext, SwsDeleter> scaler;
        std::unique_ptr<AVFrame, FrameDeleter> scaled;  // the picture at the tile's size
    };
    void fill_black(const Rect& r);

    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::vector<Tile> tiles_;
};
