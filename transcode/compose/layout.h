// Where each camera goes in the composite picture. The grid follows the number of pictures shown:
// one fills the frame, two sit side by side, three and four make 2x2, up to nine make 3x3, and
// beyond in the same way (columns: the square root rounded up; rows: as many as needed). An
// incomplete last row is centred. Each picture keeps its aspect ratio inside its cell
// (letterboxed). Every edge is even, as 4:2:0 chroma needs.
#pragma once

#include <vector>

struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool operator==(const Rect& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

// The cells of `count` pictures on a canvas of `width` x `height`, in the order of the pictures.
std::vector<Rect> grid_cells(int width, int height, int count);

// The largest rectangle of the picture's aspect ratio centred in `cell`; the whole cell when the
// picture size is unknown (0).
Rect fit_in_cell(const Rect& cell, int picture_width, int picture_height);
