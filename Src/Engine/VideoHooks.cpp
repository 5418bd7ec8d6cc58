// What happens to decoded pictures between decoding and encoding besides the output path:
// deinterlacing, the owner's custom hook, the frame-hook plug-ins and their gate, and the
// previews of encoded pictures.
#include <algorithm>
#include <cstring>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/TranscodeState.h"
#include "Logger/FFmpegLogger.h"
#include "Preview/Previewer.h"

namespace qm {

namespace {

// A same-picture deinterlacer: every line becomes the [-1 4 2 4 -1] / 8 blend of itself
// and its neighbours above and below, so the two fields merge without a frame of delay.
// Only 8-bit planar YUV without alpha and grey pictures; false for any other format.
bool Deinterlace(AVFrame& ATarget, const AVFrame& ASource) {
    const auto* desc = ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(ASource.format));
    if (!desc || ASource.format != ATarget.format || ASource.width != ATarget.width ||
        ASource.height != ATarget.height ||
        (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                        AV_PIX_FMT_FLAG_BITSTREAM)) ||
        (desc->nb_components > 1 && !(desc->flags & AV_PIX_FMT_FLAG_PLANAR)) ||
        desc->comp[0].depth != 8 || desc->nb_components > 3 || ASource.height < 3)
        return false;
    const int planes = desc->nb_components >= 3 ? 3 : 1;
    // Each component a plane of its own with one byte a sample (not NV12 and the like).
    for (int p = 0; p < planes; ++p)
        if (desc->comp[p].plane != p || desc->comp[p].step != 1)
            return false;
    for (int p = 0; p < planes; ++p) {
        const int w = p ? AV_CEIL_RSHIFT(ASource.width, desc->log2_chroma_w) : ASource.width;
        const int h = p ? AV_CEIL_RSHIFT(ASource.height, desc->log2_chroma_h) : ASource.height;
        auto row = [&](int y) {
            return ASource.data[p] + static_cast<ptrdiff_t>(std::clamp(y, 0, h - 1)) * ASource.linesize[p];
        };
        for (int y = 0; y < h; ++y) {
            const uint8_t *a = row(y - 2), *b = row(y - 1), *c = row(y), *d = row(y + 1), *e = row(y + 2);
            uint8_t* out = ATarget.data[p] + static_cast<ptrdiff_t>(y) * ATarget.linesize[p];
            for (int x = 0; x < w; ++x)
                out[x] = static_cast<uint8_t>(
                    std::clamp((-a[x] + 4 * b[x] + 2 * c[x] + 4 * d[x] - e[x] + 4) >> 3, 0, 255));
        }
    }
    return true;
}

TPicture PictureOf(const AVFrame& AFrame) {
    TPicture picture;
    std::copy_n(AFrame.data, 4, picture.Data);
    std::copy_n(AFrame.linesize, 4, picture.LineSize);
    return picture;
}

} // namespace

void TCustomFFmpeg::SetHookTimeRanges(std::vector<THookTimeRange> ARanges) {
    std::stable_sort(ARanges.begin(), ARanges.end(),
                     [](const THookTimeRange& a, const THookTimeRange& b) { return a.End < b.End; });
    HookTimeRanges = std::move(ARanges);
    HookTimeRangeIndex = 0;
}

void TCustomFFmpeg::ResetHooks() {
    FrameHooks.ReleaseFrameHooks();
    FHookFrame.reset();
    FHookSpares.clear();
    FHookConversion.Reset();
    FHookFrameCounter = 0;
    FHookAction = haContinue;
    HookTimeRanges.clear();
    HookTimeRangeIndex = 0;
    std::shared_ptr<TPreviewer> previewer;
    {
        std::lock_guard lock(EngineLock());
        FPreviewConversion.Reset();
        previewer = std::move(FPreviewer);
        FLastPreviewTime = 0;
    }
    // Dropped outside the lock: the previewer frees its window on the main thread.
}

bool TCustomFFmpeg::PrepareHookFrame(const AVFrame& AFrame) {
    auto make = [&AFrame] {
        TFramePtr picture(ff::av_frame_alloc());
        if (picture) {
            picture->format = AFrame.format;
            picture->width = AFrame.width;
            picture->height = AFrame.height;
            if (ff::av_frame_get_buffer(picture.get(), 0) < 0)
                picture.reset();
        }
        return picture;
    };
    const AVFrame* last = FHookFrame.get();
    if (!last || last->format != AFrame.format || last->width != AFrame.width ||
        last->height != AFrame.height) {
        FHookSpares.clear();
        FHookFrame = make();
    } else if (!TakeFreePicture(FHookFrame, FHookSpares, make)) {
        return false;
    }
    AVFrame* work = FHookFrame.get();
    if (!work)
        return false;
    // The picture is written anew; of the last one's properties, side data and metadata
    // would pile up, since copying the properties adds to them.
    while (work->nb_side_data > 0)
        ff::av_frame_remove_side_data(work, work->side_data[0]->type);
    ff::av_dict_free(&work->metadata);
    return ff::av_frame_copy_props(work, &AFrame) >= 0;
}

AVFrame* TCustomFFmpeg::PreProcessVideo(TInputStreamState& AInput, AVFrame& AFrame) {
    ++FHookFrameCounter;
    const int64_t pts = AInput.Pts;
    if (!CustomHookNotify && Options.UsingFrameHooks) {
        if (BeforeHookNotify) {
            try {
                BeforeHookNotify(this, pts, FHookAction);
            } catch (const std::exception& e) {
                Log(this, llError, std::string("Error occurs OnBeforeHook: ") + e.what());
                FHookAction = haStop;
            }
            if (FHookAction == haStop)
                Options.UsingFrameHooks = false;
        } else if (!HookTimeRanges.empty()) {
            FHookAction = haIgnore;
            for (size_t i = HookTimeRangeIndex; i < HookTimeRanges.size(); ++i) {
                const THookTimeRange& range = HookTimeRanges[i];
                if (range.Start <= pts && pts <= range.End) {
                    HookTimeRangeIndex = i;
                    FHookAction = haContinue;
                    break;
                }
                if (i + 1 == HookTimeRanges.size() && pts > range.End) {
                    FHookAction = haStop;
                    Options.UsingFrameHooks = false;
                }
            }
        }
    }
    const bool plugins = Options.UsingFrameHooks && FHookAction == haContinue;
    if (!Options.Deinterlace && !CustomHookNotify && !plugins)
        return &AFrame;

    // Decoded pictures may be the decoder's references: the work is done on a copy.
    if (!PrepareHookFrame(AFrame)) {
        Log(this, llError, "hook buf malloc error.");
        return &AFrame;
    }
    AVFrame& work = *FHookFrame;
    const auto format = static_cast<AVPixelFormat>(AFrame.format);
    bool copy = !Options.Deinterlace;
    if (Options.Deinterlace && !Deinterlace(work, AFrame)) {
        Log(this, llError, "Deinterlacing failed.");
        copy = true;
    }
    if (copy)
        ff::av_image_copy(work.data, work.linesize, const_cast<const uint8_t**>(AFrame.data),
                          AFrame.linesize, format, AFrame.width, AFrame.height);
    if (CustomHookNotify) {
        RunCustomHook(PictureOf(work), format, work.width, work.height, pts);
    } else if (plugins) {
        QmHookPicture picture;
        std::copy_n(work.data, 4, picture.data);
        std::copy_n(work.linesize, 4, picture.linesize);
        FrameHooks.ProcessFrameHooks(picture, AFrame.format, work.width, work.height, pts);
    }
    return &work;
}

void TCustomFFmpeg::RunCustomHook(const TPicture& APicture, AVPixelFormat AFormat, int AWidth,
                                  int AHeight, int64_t APts) {
    bool stop = false;
    if (!FHookConversion.FrameToBitmap(APicture, AFormat, AWidth, AHeight)) {
        Log(this, llError, "Cannot initialize the toRGB conversion context");
        stop = true;
    } else {
        bool update = true;
        try {
            CustomHookNotify(this, *FHookConversion.Bitmap(), FHookFrameCounter, APts, update, stop);
        } catch (const std::exception& e) {
            Log(this, llError, std::string("Error occurs OnCustomHook: ") + e.what());
            update = false;
        }
        if (update && !FHookConversion.BitmapToPicture(APicture, AFormat, AWidth, AHeight)) {
            Log(this, llError, "Cannot initialize the fromRGB conversion context");
            stop = true;
        }
    }
    if (stop) {
        // Later pictures pass unhooked, until the engine is reset.
        CustomHookNotify = nullptr;
        FHookAction = haStop;
        Options.UsingFrameHooks = false;
    }
}

void TCustomFFmpeg::PreviewPicture(const AVFrame& APicture, const TOutputStreamState& AOutput,
                                   int32_t AFrameCounter) {
    const int64_t now = ff::av_gettime();
    const int64_t time = AOutput.LastCodedPts == AV_NOPTS_VALUE
                             ? AV_NOPTS_VALUE
                             : ff::av_rescale_q(AOutput.LastCodedPts, AOutput.Encoder->time_base,
                                                AVRational{1, AV_TIME_BASE});
    TPreviewFlag shown;
    std::shared_ptr<TPreviewer> previewer;
    bool converted;
    // The lock covers the flags and the conversion; the owner's handler and the previewer's
    // window are reached without it, so that a flag setter on the main thread never waits
    // for a hand-over that waits for the main thread.
    {
        std::lock_guard lock(EngineLock());
        const TPreviewFlags flags = FPreviewFlags;
        if ((flags & pfPreviewBitmap) && PreviewBitmapNotify)
            shown = pfPreviewBitmap;
        else if (flags & pfPreview)
            shown = pfPreview;
        else
            return;
        if (now - FLastPreviewTime <= PreviewIntervalUs)
            return;
        FLastPreviewTime = now;
        converted = FPreviewConversion.FrameToBitmap(APicture);
        if (converted && shown == pfPreview) {
            if (!FPreviewer)
                FPreviewer = std::make_shared<TPreviewer>();
            previewer = FPreviewer;
        }
    }
    bool keep = converted;
    if (!converted)
        Log(this, llError, "Cannot initialize the toRGB conversion context");
    else if (shown == pfPreviewBitmap)
        PreviewBitmapNotify(this, *FPreviewConversion.Bitmap(), AFrameCounter, time);
    else
        keep = previewer->PreviewFrame(*FPreviewConversion.Bitmap(), AFrameCounter, time);
    previewer.reset();
    if (!keep)
        ChangePreviewFlags([shown](TPreviewFlags AFlags) {
            return static_cast<TPreviewFlags>(AFlags & ~shown);
        });
}

void TCustomFFmpeg::SetPreviewFlags(TPreviewFlags AFlags) {
    ChangePreviewFlags([AFlags](TPreviewFlags) { return AFlags; });
}

void TCustomFFmpeg::ChangePreviewFlags(const std::function<TPreviewFlags(TPreviewFlags)>& AChange) {
    std::shared_ptr<TPreviewer> released;
    {
        std::lock_guard lock(EngineLock());
        const TPreviewFlags flags = AChange(FPreviewFlags);
        if (flags == FPreviewFlags)
            return;
        if ((FPreviewFlags & pfPreview) && !(flags & pfPreview))
            released = std::move(FPreviewer);
        FPreviewFlags = flags;
    }
    // The previewer goes outside the lock: it frees its window on the main thread.
}

} // namespace qm
