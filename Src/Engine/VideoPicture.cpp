// The video stage's picture work: crop, scale and pad a decoded picture into a picture
// the encoder may keep, on the run thread or the encode thread.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/FieldScan.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/PictureCheck.h"
#include "Engine/TranscodeState.h"
#include "Engine/TranscodeTime.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

TFramePtr TCustomFFmpeg::NewTempPicture(const TOutputStreamState& AOutput) {
    const AVCodecContext* enc = AOutput.Encoder;
    TFramePtr picture(ff::av_frame_alloc());
    if (!picture)
        throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    picture->format = enc->pix_fmt;
    picture->width = enc->width;
    picture->height = enc->height;
    // Rows of a multiple of 64 bytes are what the MPEG-2 encoder's own pictures have at the
    // disc sizes (720 and 352 wide): it then keeps a reference instead of copying each one.
    if (ff::av_frame_get_buffer(picture.get(), 64) < 0)
        throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    return picture;
}

bool TCustomFFmpeg::TakeFreePicture(TFramePtr& ACurrent, std::vector<TFramePtr>& ASpares,
                                    const std::function<TFramePtr()>& AMake) {
    if (ACurrent && ff::av_frame_is_writable(ACurrent.get()))
        return true;
    auto free = std::find_if(ASpares.begin(), ASpares.end(), [](const TFramePtr& APicture) {
        return ff::av_frame_is_writable(APicture.get());
    });
    if (free == ASpares.end()) {
        TFramePtr made = AMake();
        if (!made)
            return false;
        free = ASpares.insert(ASpares.end(), std::move(made));
    }
    std::swap(*free, ACurrent);
    return true;
}

void TCustomFFmpeg::AllocateTempPicture(TOutputStreamState& AOutput) {
    AOutput.TempPicture = NewTempPicture(AOutput);
}

void TCustomFFmpeg::BuildScaler(TOutputStreamState& AOutput) {
    if (OptionContexts)
        if (const int64_t flags = OptionContexts->ScalerOptionInt("sws_flags"))
            Options.ScalerFlags = static_cast<int32_t>(flags);
    AOutput.Scaler = NewScaler(AOutput);
    if (FPipeline)
        AOutput.EncodeScaler = NewScaler(AOutput);
}

TSwsPtr TCustomFFmpeg::NewScaler(const TOutputStreamState& AOutput) const {
    const AVCodecContext* enc = AOutput.Encoder;
    const int width = enc->width - (AOutput.StreamPadLeft + AOutput.StreamPadRight);
    const int height = enc->height - (AOutput.StreamPadTop + AOutput.StreamPadBottom);
    CheckPicture(AOutput.ResamplePixFmt, AOutput.ResampleWidth, AOutput.ResampleHeight,
                 puScalerInput, "Cannot scale the video");
    CheckPicture(enc->pix_fmt, width, height, puScalerOutput, "Cannot scale the video");
    // Field by field: one field's lines in, one field's lines out.
    const int fields = AOutput.FieldScaling ? 2 : 1;
    TSwsPtr scaler(ff::sws_getContext(
        AOutput.ResampleWidth, AOutput.ResampleHeight / fields,
        static_cast<AVPixelFormat>(AOutput.ResamplePixFmt), width, height / fields, enc->pix_fmt,
        Options.ScalerFlags, nullptr, nullptr, nullptr));
    if (!scaler)
        throw FFmpegException("Cannot get resampling context");
    return scaler;
}

void TCustomFFmpeg::PreparePicture(TOutputStreamState& AOutput, const TInputStreamState& AInput,
                                   const AVFrame& AFrame) {
    // Written whole, so a busy picture is replaced, not copied.
    TakeFreePicture(AOutput.TempPicture, AOutput.SparePictures,
                    [&] { return NewTempPicture(AOutput); });
    AVFrame* temp = AOutput.TempPicture.get();
    const AVPixFmtDescriptor* in = ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(AFrame.format));
    const AVPixFmtDescriptor* out = ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(temp->format));
    if (!in || !out || (in->flags & AV_PIX_FMT_FLAG_HWACCEL))
        throw FFmpegException("error cropping picture");

    if (AOutput.VideoResample) {
        const int width = AFrame.width - (AOutput.LeftBand + AOutput.RightBand);
        const int height = AFrame.height - (AOutput.TopBand + AOutput.BottomBand);
        if (width != AOutput.ResampleWidth || height != AOutput.ResampleHeight ||
            AFrame.format != AOutput.ResamplePixFmt) {
            LogF(this, llQuiet, "Input Stream #%d.%d frame size changed to %dx%d, %s",
                 AInput.FileIndex, AInput.StreamIndex, AFrame.width, AFrame.height,
                 in->name);
            // The encode thread may be scaling with the old bands and scaler.
            if (FPipeline)
                FPipeline->Sync();
            auto scaleBand = [](int size, int band, int original) {
                return static_cast<int32_t>((int64_t(size) * band / (original ? original : 1)) & ~1);
            };
            AOutput.TopBand = scaleBand(AFrame.height, AOutput.OriginalTopBand, AOutput.OriginalHeight);
            AOutput.BottomBand = scaleBand(AFrame.height, AOutput.OriginalBottomBand, AOutput.OriginalHeight);
            AOutput.LeftBand = scaleBand(AFrame.width, AOutput.OriginalLeftBand, AOutput.OriginalWidth);
            AOutput.RightBand = scaleBand(AFrame.width, AOutput.OriginalRightBand, AOutput.OriginalWidth);
            AOutput.ResampleWidth = AFrame.width - (AOutput.LeftBand + AOutput.RightBand);
            AOutput.ResampleHeight = AFrame.height - (AOutput.TopBand + AOutput.BottomBand);
            AOutput.ResamplePixFmt = AFrame.format;
            AOutput.FieldScaling = ScalesByField(
                AOutput, temp->height - (AOutput.StreamPadTop + AOutput.StreamPadBottom));
            BuildScaler(AOutput);
        }
    }
}

void TCustomFFmpeg::FillPicture(const TOutputStreamState& AOutput, const AVFrame& AFrame,
                                AVFrame& ATarget, SwsContext* AScaler) const {
    const AVPixFmtDescriptor* in = ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(AFrame.format));
    const AVPixFmtDescriptor* out = ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(ATarget.format));
    AVFrame* temp = &ATarget;
    // Cropping and the padding offset are views: pointers moved within the planes.
    const uint8_t* src[4] = {};
    int srcStride[4] = {};
    uint8_t* dst[4] = {};
    int dstStride[4] = {};
    for (int p = 0; p < 4 && AFrame.data[p]; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int dx = chroma ? AOutput.LeftBand >> in->log2_chroma_w : AOutput.LeftBand;
        const int dy = chroma ? AOutput.TopBand >> in->log2_chroma_h : AOutput.TopBand;
        const int step = in->comp[0].step > 0 && in->nb_components && !(in->flags & AV_PIX_FMT_FLAG_PLANAR)
                             ? in->comp[0].step
                             : 1;
        src[p] = AFrame.data[p] + static_cast<ptrdiff_t>(dy) * AFrame.linesize[p] + dx * step;
        srcStride[p] = AFrame.linesize[p];
    }
    for (int p = 0; p < 4 && temp->data[p]; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int dx = chroma ? AOutput.StreamPadLeft >> out->log2_chroma_w : AOutput.StreamPadLeft;
        const int dy = chroma ? AOutput.StreamPadTop >> out->log2_chroma_h : AOutput.StreamPadTop;
        dst[p] = temp->data[p] + static_cast<ptrdiff_t>(dy) * temp->linesize[p] + dx;
        dstStride[p] = temp->linesize[p];
    }
    if (AOutput.FieldScaling) {
        ScaleFields(AScaler, src, srcStride, AOutput.ResampleHeight, dst, dstStride);
    } else if (AOutput.VideoResample) {
        ff::sws_scale(AScaler, src, srcStride, 0, AOutput.ResampleHeight, dst, dstStride);
    } else {
        const int w = AFrame.width - (AOutput.LeftBand + AOutput.RightBand);
        const int h = AFrame.height - (AOutput.TopBand + AOutput.BottomBand);
        ff::av_image_copy(dst, dstStride, src, srcStride, static_cast<AVPixelFormat>(temp->format),
                          w, h);
    }
    if (AOutput.VideoPad) {
        // The border planes take the padding colour; only planar YUV is padded.
        const uint8_t colour[3] = {static_cast<uint8_t>(Options.PadColor.Y),
                                   static_cast<uint8_t>(Options.PadColor.U),
                                   static_cast<uint8_t>(Options.PadColor.V)};
        for (int p = 0; p < 3 && temp->data[p]; ++p) {
            const int sx = p ? out->log2_chroma_w : 0, sy = p ? out->log2_chroma_h : 0;
            const int w = AV_CEIL_RSHIFT(temp->width, sx), h = AV_CEIL_RSHIFT(temp->height, sy);
            const int top = AOutput.StreamPadTop >> sy, bottom = AOutput.StreamPadBottom >> sy;
            const int left = AOutput.StreamPadLeft >> sx, right = AOutput.StreamPadRight >> sx;
            for (int y = 0; y < h; ++y) {
                uint8_t* row = temp->data[p] + static_cast<ptrdiff_t>(y) * temp->linesize[p];
                if (y < top || y >= h - bottom) {
                    std::memset(row, colour[p], static_cast<size_t>(w));
                } else {
                    std::memset(row, colour[p], static_cast<size_t>(left));
                    std::memset(row + w - right, colour[p], static_cast<size_t>(right));
                }
            }
        }
    }
}

} // namespace qm
