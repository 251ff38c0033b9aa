#include "layout.h"

#include <cmath>

namespace {

int even(int v) {
    return v & ~1;
}

}  // namespace

std::vector<Rect> grid_cells(int width, int height, int count) {
    std::vector<Rect> cells;
    if (count <= 0 || width <= 0 || height <= 0) return cells;
    int cols = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    while (cols * cols < count) ++cols;  // guards the rounding of sqrt
    const int rows = (count + cols - 1) / cols;
    const int cell_w = even(width / cols);
    const int cell_h = even(height / rows);
    // The grid as a whole is centred: what the even cell sizes leave over goes to the margins.
    const int top = even((height - rows * cell_h) / 2);
    for (int i = 0; i < count; ++i) {
        const int row = i / cols;
        const int col = i % cols;
        const int in_row = row == rows - 1 ? count - row * cols : cols;
        const int left = even((width - in_row * cell_w) / 2);
        cells.push_back(Rect{left + col * cell_w, top + row * cell_h, cell_w, cell_h});
    }
    return cells;
}

Rect fit_in_cell(const Rect& cell, int picture_width, int picture_height) {
    if (picture_width <= 0 || picture_height <= 0) return cell;
    // Compare cross products rather than ratios: exact in integers.
    const long long pw = picture_width;
    const long long ph = picture_height;
    int w = cell.w;
    int h = cell.h;
    if (pw * cell.h > ph * cell.w) {
        h = even(static_cast<int>((cell.w * ph + pw / 2) / pw));  // wider: bars above and below
    } else {
        w = even(static_cast<int>((cell.h * pw + ph / 2) / ph));  // taller: bars at the sides
    }
    if (w < 2) w = 2;
    if (h < 2) h = 2;
    if (w > cell.w) w = cell.w;
    if (h > cell.h) h = cell.h;
    return Rect{cell.x + even((cell.w - w) / 2), cell.y + even((cell.h - h) / 2), w, h};
}
