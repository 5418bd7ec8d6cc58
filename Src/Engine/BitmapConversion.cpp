#include "BitmapConversion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Loader/MediaEntries.h"

namespace qm {

namespace {

// Line alignment of the conversion buffer: unaligned lines cost the scaler its fast paths.
constexpr int BufferAlign = 32;

// Copies AHeight rows of AWidthBytes each, never more than a source or target line holds.
void CopyRows(uint8_t* ATarget, int ATargetStep, const uint8_t* ASource, int ASourceStep,
              int AWidthBytes, int AHeight) {
    const size_t n = std::min({AWidthBytes, std::abs(ATargetStep), std::abs(ASourceStep)});
    for (int y = 0; y < AHeight; ++y, ATarget += ATargetStep, ASource += ASourceStep)
        std::memcpy(ATarget, ASource, n);
}

// The scaler aborts the process on a pixel format it does not know (AV_PIX_FMT_NONE
// among them), so such formats never reach it.
bool ScalerTakes(AVPixelFormat AFrom, AVPixelFormat ATo) {
    return ff::sws_isSupportedInput(AFrom) > 0 && ff::sws_isSupportedOutput(ATo) > 0;
}

} // namespace

std::unique_ptr<TBitmap> CreateFrameBitmap(int AWidth, int AHeight,
                                           TBitmapPixelFormat APixelFormat) {
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetSize(AWidth, AHeight, APixelFormat);
    return bitmap;
}

void TBitmapConversion::TBufferFree::operator()(uint8_t* p) const {
    ff::av_free(p);
}
void TBitmapConversion::TScalerFree::operator()(SwsContext* p) const {
    ff::sws_freeContext(p);
}

TBitmapConversion::TBitmapConversion() = default;
TBitmapConversion::~TBitmapConversion() = default;

void TBitmapConversion::Reset() {
    FBitmap.reset();
    FBuffer.reset();
    FToBitmapScaler.reset();
    FFromBitmapScaler.reset();
    TargetPixelFormat = AV_PIX_FMT_BGR24;
    BitmapPixelFormat = bpf24bit;
    KeepSource = false;
    FBufferSize = 0;
    FPicture = {};
    FCurrentPicture = {};
    FWidth = 0;
    FHeight = 0;
}

bool TBitmapConversion::FrameToBitmap(const TPicture& APicture, AVPixelFormat ASourcePixelFormat,
                                      int AWidth, int AHeight) {
    // Also refuses sizes whose byte count would not fit the library's arithmetic.
    const int size = ff::av_image_get_buffer_size(TargetPixelFormat, AWidth, AHeight, BufferAlign);
    if (size <= 0 || !APicture.Data[0])
        return false;
    if (!FBitmap)
        FBitmap = CreateFrameBitmap(AWidth, AHeight, BitmapPixelFormat);
    FBitmap->SetSize(AWidth, AHeight, BitmapPixelFormat);
    FWidth = AWidth;
    FHeight = AHeight;

    if (ASourcePixelFormat == TargetPixelFormat && !KeepSource) {
        FCurrentPicture = APicture;
    } else {
        if (!FBuffer || size > FBufferSize) {
            FBuffer.reset();
            FBufferSize = 0;
            FBuffer.reset(static_cast<uint8_t*>(ff::av_malloc(size)));
            if (!FBuffer)
                return false;
            FBufferSize = size;
        }
        ff::av_image_fill_arrays(FPicture.Data, FPicture.LineSize, FBuffer.get(), TargetPixelFormat,
                                 AWidth, AHeight, BufferAlign);
        FCurrentPicture = {};
        if (!ScalerTakes(ASourcePixelFormat, TargetPixelFormat))
            return false;
        // sws_getCachedContext frees the context it is given when it cannot reuse it.
        FToBitmapScaler.reset(ff::sws_getCachedContext(
            FToBitmapScaler.release(), AWidth, AHeight, ASourcePixelFormat, AWidth, AHeight,
            TargetPixelFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!FToBitmapScaler)
            return false;
        if (ff::sws_scale(FToBitmapScaler.get(), APicture.Data, APicture.LineSize, 0, AHeight,
                          FPicture.Data, FPicture.LineSize) < 0)
            return false;
        FCurrentPicture = FPicture;
    }
    CopyRows(FBitmap->ScanLine(0), FBitmap->Stride(), FCurrentPicture.Data[0],
             FCurrentPicture.LineSize[0], AWidth * FBitmap->BytesPerPixel(), AHeight);
    return true;
}

bool TBitmapConversion::FrameToBitmap(const AVFrame& AFrame) {
    TPicture picture;
    std::copy_n(AFrame.data, 4, picture.Data);
    std::copy_n(AFrame.linesize, 4, picture.LineSize);
    return FrameToBitmap(picture, static_cast<AVPixelFormat>(AFrame.format), AFrame.width,
                         AFrame.height);
}

bool TBitmapConversion::BitmapToPicture(const TPicture& APicture, AVPixelFormat APixelFormat,
                                        int AWidth, int AHeight) {
    // A hook may have resized the bitmap; rows are only copied into the picture they
    // came from.
    if (!FBitmap || !FCurrentPicture.Data[0] || AWidth != FWidth || AHeight != FHeight ||
        FBitmap->Width() != AWidth || FBitmap->Height() != AHeight ||
        FBitmap->PixelFormat() != BitmapPixelFormat)
        return false;
    // The picture must be the one FrameToBitmap showed: converted into the buffer
    // exactly when its format is not the bitmap's.
    const bool converted = FCurrentPicture.Data[0] == FPicture.Data[0];
    if (converted != (APixelFormat != TargetPixelFormat) || !APicture.Data[0])
        return false;
    CopyRows(FCurrentPicture.Data[0], FCurrentPicture.LineSize[0], FBitmap->ScanLine(0),
             FBitmap->Stride(), AWidth * FBitmap->BytesPerPixel(), AHeight);
    if (APixelFormat == TargetPixelFormat)
        return true;
    if (!ScalerTakes(TargetPixelFormat, APixelFormat))
        return false;
    FFromBitmapScaler.reset(ff::sws_getCachedContext(
        FFromBitmapScaler.release(), AWidth, AHeight, TargetPixelFormat, AWidth, AHeight,
        APixelFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!FFromBitmapScaler)
        return false;
    return ff::sws_scale(FFromBitmapScaler.get(), FPicture.Data, FPicture.LineSize, 0, AHeight,
                         APicture.Data, APicture.LineSize) >= 0;
}

} // namespace qm
