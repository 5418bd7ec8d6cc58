// The number that every frame of a numbered clip carries, and its reader: twelve cells of a
// 4 x 3 grid over the whole picture, white for 1 and black for 0. Cells 0 to 10 hold the
// frame's index (cell 0 the lowest bit), cell 11 makes the count of white cells even, so a
// picture that is not a clean numbered frame (a blend, a smear, another clip) reads as -1.
// The cells are a quarter of the picture wide and a third high: the number survives scaling
// to any DVD size and lossy coding.
#pragma once

#include <cstdint>

namespace qm::fixtures {

constexpr int NumberColumns = 4;
constexpr int NumberRows = 3;
constexpr int NumberBits = 11;               // value bits; the last cell is the parity
constexpr int64_t LargestFrameNumber = 2047; // 81 s at 25 frames a second

struct TCell {
    int X0, Y0, X1, Y1; // [X0, X1) x [Y0, Y1)
};

// Where cell ACell (0 to 11) lies in a picture of AWidth x AHeight.
TCell NumberCell(int ACell, int AWidth, int AHeight);

// Whether cell ACell of frame ANumber is white.
bool NumberCellOn(int64_t ANumber, int ACell);

// The number a picture's luma plane carries, or -1 when a cell is neither clearly white nor
// clearly black or the parity does not hold.
int ReadFrameNumber(const uint8_t* ALuma, int AStride, int AWidth, int AHeight);

} // namespace qm::fixtures
