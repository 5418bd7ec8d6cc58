// Decoded pictures as 24-bit bitmaps, for the custom frame hook and the preview, and the
// hook's edited bitmap back into the picture.
//
// A TBitmapConversion keeps its bitmap, its buffer and its scalers between frames: a
// steady stream of frames of one size and format allocates nothing after the first.
// Each one is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "Platform/Bitmap.h"

struct AVFrame;
struct SwsContext;

namespace qm {

// A picture of the codec library: four plane pointers and four line sizes, laid out as
// the frame-hook plug-ins receive it. It does not own its planes.
struct TPicture {
    uint8_t* Data[4] = {};
    int LineSize[4] = {};
};

// A new bitmap of that size and format.
std::unique_ptr<TBitmap> CreateFrameBitmap(int AWidth, int AHeight,
                                           TBitmapPixelFormat APixelFormat);

class TBitmapConversion {
public:
    TBitmapConversion();
    ~TBitmapConversion();
    TBitmapConversion(const TBitmapConversion&) = delete;
    TBitmapConversion& operator=(const TBitmapConversion&) = delete;

    // The bitmap's pixel layout in the codec library's terms, and the bitmap's own; the
    // two must describe the same bytes (packed BGR24 with bpf24bit, BGR0 with bpf32bit).
    AVPixelFormat TargetPixelFormat = AV_PIX_FMT_BGR24;
    TBitmapPixelFormat BitmapPixelFormat = bpf24bit;
    // True: a picture already in TargetPixelFormat is copied into the conversion's own
    // buffer too, so that BitmapToPicture writes only the picture it is given, never the
    // source (a decoder's frame that the caller does not own).
    bool KeepSource = false;

    // Frees the bitmap, the buffer and both scalers and restores the defaults above.
    void Reset();

    // Makes Bitmap() show the picture. A picture already in TargetPixelFormat is copied
    // as it is (unless KeepSource); any other is converted into the conversion's own
    // buffer first. False for an empty size or a missing first plane, and when no scaler
    // can be made for the format and size: the bitmap then has the new size but not the
    // picture.
    bool FrameToBitmap(const TPicture& APicture, AVPixelFormat ASourcePixelFormat, int AWidth,
                       int AHeight);
    // The same for a decoded frame (its planes, format and size).
    bool FrameToBitmap(const AVFrame& AFrame);

    // After a hook edited Bitmap(): copies its rows back into CurrentPicture() and, when
    // APixelFormat is not TargetPixelFormat, converts that into APicture (the picture of
    // the last FrameToBitmap, or another one of its size in APixelFormat). False when no
    // scaler can be made or the sizes differ from the last FrameToBitmap.
    bool BitmapToPicture(const TPicture& APicture, AVPixelFormat APixelFormat, int AWidth,
                         int AHeight);

    // Null until the first FrameToBitmap. Handed to event handlers without a copy.
    TBitmap* Bitmap() const { return FBitmap.get(); }
    // The picture whose first plane was copied last: the caller's own picture when it
    // was in TargetPixelFormat, else the conversion's buffer.
    const TPicture& CurrentPicture() const { return FCurrentPicture; }
    int BufferSize() const { return FBufferSize; }

private:
    struct TBufferFree {
        void operator()(uint8_t* p) const;
    };
    struct TScalerFree {
        void operator()(SwsContext* p) const;
    };

    std::unique_ptr<TBitmap> FBitmap;
    std::unique_ptr<uint8_t, TBufferFree> FBuffer;
    int FBufferSize = 0;
    TPicture FPicture;        // laid over FBuffer
    TPicture FCurrentPicture; // FPicture or the caller's picture
    int FWidth = 0;           // size of the last FrameToBitmap
    int FHeight = 0;
    std::unique_ptr<SwsContext, TScalerFree> FToBitmapScaler;
    std::unique_ptr<SwsContext, TScalerFree> FFromBitmapScaler;
};

} // namespace qm
