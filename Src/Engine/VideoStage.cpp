// The video stage: its setup, the frame-rate decision per decoded picture, the encoder
// calls (here or on the encode thread), the fill up to the input's end and the statistics file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/FieldScan.h"
#include "Engine/KeyFrameTimes.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/TranscodeState.h"
#include "Engine/TranscodeTime.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

void TCustomFFmpeg::SetupVideoEncoding(TOutputStreamState& AOutput, TInputStreamState& AInput) {
    AVCodecContext* enc = AOutput.Encoder;
    const AVCodecParameters* dec = AInput.Stream->codecpar;
    if (enc->pix_fmt == AV_PIX_FMT_NONE)
        throw FFmpegException("Video pixel format is unknown, stream cannot be decoded");
    const auto& o = Options;
    auto& out = AOutput;
    ChooseScan(*this, FFiltersActive, out, AInput);
    if (FFiltersActive || out.DeinterlaceFirst) {
        // The graph crops and scales; the output path only pads.
        FLastError.clear();
        if (ConfigureFilters(AInput, out) < 0)
            throw FFmpegException(FLastError.empty() ? "Error opening filters!"
                                                     : "Error opening filters: " + FLastError);
        out.VideoPad = (o.PadTop | o.PadBottom | o.PadLeft | o.PadRight) != 0;
        out.StreamPadTop = o.PadTop;
        out.StreamPadBottom = o.PadBottom;
        out.StreamPadLeft = o.PadLeft;
        out.StreamPadRight = o.PadRight;
        out.ResampleHeight = dec->height;
        if (out.VideoPad)
            AllocateTempPicture(out);
        out.EncodingNeeded = 1;
        AInput.DecodingNeeded = 1;
        return;
    }
    out.VideoCrop = (o.CropTop | o.CropBottom | o.CropLeft | o.CropRight) != 0;
    out.VideoPad = (o.PadTop | o.PadBottom | o.PadLeft | o.PadRight) != 0;
    out.TopBand = out.OriginalTopBand = o.CropTop;
    out.BottomBand = out.OriginalBottomBand = o.CropBottom;
    out.LeftBand = out.OriginalLeftBand = o.CropLeft;
    out.RightBand = out.OriginalRightBand = o.CropRight;
    out.StreamPadTop = o.PadTop;
    out.StreamPadBottom = o.PadBottom;
    out.StreamPadLeft = o.PadLeft;
    out.StreamPadRight = o.PadRight;
    out.VideoResample =
        !(enc->width == dec->width - (o.CropLeft + o.CropRight) + (o.PadLeft + o.PadRight) &&
          enc->height == dec->height - (o.CropTop + o.CropBottom) + (o.PadTop + o.PadBottom) &&
          enc->pix_fmt == dec->format);
    if (out.VideoResample || out.VideoPad || out.VideoCrop)
        AllocateTempPicture(out);
    out.OriginalWidth = dec->width;
    out.OriginalHeight = dec->height;
    out.ResampleWidth = dec->width - (out.LeftBand + out.RightBand);
    out.ResampleHeight = dec->height - (out.TopBand + out.BottomBand);
    out.ResamplePixFmt = dec->format;
    out.FieldScaling = out.VideoResample && ScalesByField(out, enc->height - (o.PadTop + o.PadBottom));
    if (out.VideoResample) {
        BuildScaler(out);
        enc->bits_per_raw_sample = 0;
    }
    out.EncodingNeeded = 1;
    AInput.DecodingNeeded = 1;
}

int64_t TCustomFFmpeg::DecideVideoCopies(TOutputStreamState& AOutput) {
    const AVCodecContext* enc = AOutput.Encoder;
    const double tb = av_q2d(enc->time_base);
    const double syncTime =
        (AOutput.SyncInput->Pts - Options.InputStartTime) / 1000000.0;
    const int vsync = Options.VideoSyncMethod;
    int64_t copies = 1;
    if (vsync > 0 || (vsync != 0 && tb > 0.001)) {
        const double delta = syncTime / tb - static_cast<double>(AOutput.SyncOpts);
        const bool variable = AOutput.File->Output->oformat->flags & AVFMT_VARIABLE_FPS;
        if (delta < -1.1)
            copies = 0;
        else if (vsync == 2 || (vsync < 0 && variable)) {
            if (delta <= -0.6)
                copies = 0;
            else if (delta > 0.6)
                AOutput.SyncOpts = std::llrint(syncTime / tb);
        } else if (delta > 1.1)
            copies = std::llrint(delta);
        if (copies == 0) {
            ++FDroppedFrames;
            if (Options.Verbosity > 2)
                Log(this, llVerbose, "*** drop!");
        } else if (copies > 1) {
            FDuplicatedFrames += static_cast<int32_t>(copies - 1);
            if (Options.Verbosity > 2)
                LogF(this, llVerbose, "*** %d dup!", static_cast<int>(copies - 1));
        }
    } else {
        AOutput.SyncOpts = std::llrint(syncTime / tb);
    }
    copies = std::min<int64_t>(copies, int64_t(Options.MaxFrames[fsVideo]) - AOutput.FrameNumber);
    return copies;
}

void TCustomFFmpeg::PrepareEncodeFrame(const TOutputStreamState& AOutput, const AVFrame& ADecoded,
                                       AVFrame& AFrame) const {
    // An interlaced stream flags every picture, also those of a source that flags only its
    // stream.
    const bool ownOrder = ADecoded.interlaced_frame || !AOutput.Interlaced;
    AFrame.interlaced_frame = ADecoded.interlaced_frame || AOutput.Interlaced;
    AFrame.top_field_first = Options.TopFieldFirst != -1 ? Options.TopFieldFirst
                             : ownOrder                  ? ADecoded.top_field_first
                                                         : AOutput.TopFieldFirst;
    AFrame.pict_type = AV_PICTURE_TYPE_NONE; // the encoder decides
    AFrame.pts = AOutput.SyncOpts;
    AFrame.sample_aspect_ratio = AOutput.Encoder->sample_aspect_ratio;
}

void TCustomFFmpeg::VideoOut(TOutputStreamState& AOutput, TInputStreamState& AInput,
                             AVFrame& AFrame) {
    const int64_t copies = DecideVideoCopies(AOutput);
    if (copies <= 0)
        return;

    const AVFrame* picture = &AFrame;
    // Scaling is the largest work between decoding and encoding: when the encode thread has
    // nothing queued, it scales the picture itself (with a scaler of its own, so the result
    // is the same), and the two threads share the work whichever of them is behind.
    const AVFrame* fillThere = nullptr;
    if (AOutput.TempPicture) {
        PreparePicture(AOutput, AInput, AFrame);
        picture = AOutput.TempPicture.get();
        if (FPipeline && FPipeline->Queued() == 0)
            fillThere = &AFrame;
        else
            FillPicture(AOutput, AFrame, *AOutput.TempPicture, AOutput.Scaler.get());
    }
    if (!AOutput.EncodeFrame)
        AOutput.EncodeFrame.reset(ff::av_frame_alloc());
    AVFrame* frame = AOutput.EncodeFrame.get();
    for (int64_t i = 0; i < copies && !FStopRequested; ++i) {
        ff::av_frame_unref(frame);
        if (ff::av_frame_ref(frame, picture) < 0)
            throw FFmpegException("Video encoding failed");
        PrepareEncodeFrame(AOutput, AFrame, *frame);
        // A forced key frame ("force_key_frames") starts a chapter.
        if (KeyFrameDue(AOutput.Setup->KeyFrameTimes, AOutput.NextKeyFrame, frame->pts, AOutput.Encoder->time_base))
            frame->pict_type = AV_PICTURE_TYPE_I;
        TEncodeJob job;
        job.Output = &AOutput;
        job.SetQuality = job.Preview = true;
        job.KeepAsLast = i == 0;
        job.HookFrameCounter = FHookFrameCounter;
        EncodeVideo(job, frame, i == 0 ? fillThere : nullptr);
        ++AOutput.SyncOpts;
        ++AOutput.FrameNumber;
        if (!Options.VstatsFileName.empty() && AOutput.LastFrameSize != 0)
            VideoStats(AOutput, AOutput.LastFrameSize);
    }
}

void TCustomFFmpeg::EncodeVideo(const TEncodeJob& AJob, AVFrame* AFrame, const AVFrame* ASource) {
    if (FPipeline) {
        FPipeline->Encode(AJob, AFrame, ASource);
        return;
    }
    TEncodeJob job = AJob;
    job.Frame = AFrame;
    RunEncodeJob(job);
    if (AFrame)
        ff::av_frame_unref(AFrame);
}

void TCustomFFmpeg::RunEncodeJob(TEncodeJob& AJob) {
    TOutputStreamState& out = *AJob.Output;
    AVFrame* frame = AJob.Frame;
    if (frame && AJob.Source)
        FillPicture(out, *AJob.Source, *frame, out.EncodeScaler.get());
    if (frame && AJob.SetQuality)
        frame->quality = static_cast<int>(std::lrint(out.Setup->Quality));
    if (frame && AJob.KeepAsLast) {
        if (!out.LastPicture)
            out.LastPicture.reset(ff::av_frame_alloc());
        ff::av_frame_unref(out.LastPicture.get());
        ff::av_frame_ref(out.LastPicture.get(), frame);
    }
    out.LastFrameSize = 0;
    EncodeAndWrite(out, frame);
    if (frame && AJob.Preview && FPreviewFlags != 0)
        PreviewPicture(*frame, out, AJob.HookFrameCounter);
}

void TCustomFFmpeg::FillToInputEnd(TOutputStreamState& AOutput) {
    // The last picture lasts until its input ends: without this a converted frame rate
    // would cut the output short by the last picture's extra copies.
    if (FPipeline)
        FPipeline->Sync(); // the last picture is the encode thread's until it is idle
    AVFrame* last = AOutput.LastPicture.get();
    const int vsync = Options.VideoSyncMethod;
    const double tb = av_q2d(AOutput.Encoder->time_base);
    if (!last || !last->buf[0] || vsync == 0 || vsync == 2 || tb <= 0.001 ||
        (vsync < 0 && (AOutput.File->Output->oformat->flags & AVFMT_VARIABLE_FPS)))
        return;
    // A trimmed part lasts to its end; otherwise the input's end, within the recording time.
    const TStreamCut& cut = AOutput.SyncInput->Cut;
    const int64_t inputEnd = cut.Active() ? cut.PicturesEnd() : AOutput.SyncInput->NextPts;
    const double end = (inputEnd - Options.InputStartTime) / 1000000.0;
    if (!cut.Active() && end > static_cast<double>(Options.RecordingTime) / 1000000.0)
        return;
    AVFrame* frame = AOutput.EncodeFrame.get();
    while (AOutput.SyncOpts + 1 <= std::llrint(end / tb) &&
           AOutput.FrameNumber < Options.MaxFrames[fsVideo] && !FStopRequested) {
        ff::av_frame_unref(frame);
        if (ff::av_frame_ref(frame, last) < 0)
            throw FFmpegException("Video encoding failed");
        frame->pts = AOutput.SyncOpts;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        EncodeVideo(TEncodeJob{&AOutput}, frame);
        ++FDuplicatedFrames;
        ++AOutput.SyncOpts;
        ++AOutput.FrameNumber;
    }
}

void TCustomFFmpeg::VideoStats(TOutputStreamState& AOutput, int AFrameSize) {
    if (!FVstatsFile) {
        FVstatsFile.reset(std::fopen(Options.VstatsFileName.c_str(), "w"));
        if (!FVstatsFile)
            throw FFmpegException("fopen fail: " + Options.VstatsFileName);
    }
    AVCodecContext* enc = AOutput.Encoder;
    if (enc->codec_type != AVMEDIA_TYPE_VIDEO)
        return;
    FILE* f = FVstatsFile.get();
    // Format: the file's numbers have a full stop in every locale.
    std::fputs(Format("frame= %5d q= %2.1f ", AOutput.FrameNumber, AOutput.Setup->Quality / FF_QP2LAMBDA).c_str(), f);
    if ((enc->flags & AV_CODEC_FLAG_PSNR) && AOutput.LastErrors[0] > 0)
        std::fputs(Format("PSNR= %6.2f ",
                          Psnr(AOutput.LastErrors[0], double(enc->width) * enc->height * 255.0 * 255.0)).c_str(), f);
    std::fprintf(f, "f_size= %6d ", AFrameSize);
    const double tb = av_q2d(enc->time_base);
    const double t = std::max(AOutput.SyncOpts * tb, 0.01);
    std::fputs(Format("s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                      FVideoBytes / 1024.0, t, AFrameSize * 8 / tb / 1000, FVideoBytes * 8 / t / 1000).c_str(), f);
    std::fprintf(f, "type= %c\n", ff::av_get_picture_type_char(
                                       static_cast<AVPictureType>(AOutput.LastPictureType)));
}

} // namespace qm
