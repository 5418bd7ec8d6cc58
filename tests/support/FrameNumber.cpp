#include "FrameNumber.h"

namespace qm::fixtures {

TCell NumberCell(int ACell, int AWidth, int AHeight) {
    const int column = ACell % NumberColumns;
    const int row = ACell / NumberColumns;
    return {column * AWidth / NumberColumns, row * AHeight / NumberRows,
            (column + 1) * AWidth / NumberColumns, (row + 1) * AHeight / NumberRows};
}

bool NumberCellOn(int64_t ANumber, int ACell) {
    if (ACell < NumberBits)
        return (ANumber >> ACell) & 1;
    int ones = 0;
    for (int bit = 0; bit < NumberBits; ++bit)
        ones += (ANumber >> bit) & 1;
    return ones & 1;
}

int ReadFrameNumber(const uint8_t* ALuma, int AStride, int AWidth, int AHeight) {
    int number = 0;
    int ones = 0;
    for (int cell = 0; cell <= NumberBits; ++cell) {
        // The middle half of the cell: its edges blur in scaling and coding.
        const TCell c = NumberCell(cell, AWidth, AHeight);
        const int x0 = c.X0 + (c.X1 - c.X0) / 4, x1 = c.X1 - (c.X1 - c.X0) / 4;
        const int y0 = c.Y0 + (c.Y1 - c.Y0) / 4, y1 = c.Y1 - (c.Y1 - c.Y0) / 4;
        int64_t sum = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                sum += ALuma[static_cast<int64_t>(y) * AStride + x];
        const int64_t area = static_cast<int64_t>(x1 - x0) * (y1 - y0);
        const int64_t mean = area > 0 ? sum / area : 0;
        if (mean > 80 && mean < 170)
            return -1;
        const bool on = mean >= 170;
        ones += on;
        if (on && cell < NumberBits)
            number |= 1 << cell;
    }
    return ones % 2 == 0 ? number : -1;
}

} // namespace qm::fixtures
