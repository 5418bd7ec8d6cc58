// A picture in memory with scan-line access: what the media layer hands to its owners
// for hooks and previews. The front end may wrap it without copying (QImage).
#pragma once

#include <cstdint>
#include <vector>

namespace qm {

enum TBitmapPixelFormat : uint8_t {
    bpf24bit, // B, G, R per pixel
    bpf32bit, // B, G, R, X per pixel
};

class TBitmap {
public:
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    TBitmapPixelFormat PixelFormat() const { return FFormat; }
    int BytesPerPixel() const { return FFormat == bpf24bit ? 3 : 4; }
    // Bytes from one row to the next (rows are 4-byte aligned).
    int Stride() const { return FStride; }

    // Changes the geometry; the contents are undefined afterwards.
    void SetSize(int width, int height, TBitmapPixelFormat format = bpf24bit) {
        FWidth = width > 0 ? width : 0;
        FHeight = height > 0 ? height : 0;
        FFormat = format;
        FStride = (FWidth * BytesPerPixel() + 3) & ~3;
        FPixels.resize(static_cast<size_t>(FStride) * static_cast<size_t>(FHeight));
    }

    uint8_t* ScanLine(int y) { return FPixels.data() + static_cast<size_t>(y) * FStride; }
    const uint8_t* ScanLine(int y) const {
        return FPixels.data() + static_cast<size_t>(y) * FStride;
    }
    uint8_t* Bits() { return FPixels.data(); }
    const uint8_t* Bits() const { return FPixels.data(); }
    bool Empty() const { return FWidth == 0 || FHeight == 0; }

private:
    int FWidth = 0;
    int FHeight = 0;
    int FStride = 0;
    TBitmapPixelFormat FFormat = bpf24bit;
    std::vector<uint8_t> FPixels;
};

} // namespace qm
