// The trimmed part reaching the outputs: each decoded picture and block of samples goes on as
// far as it lies in [start, end) of the input stream (StreamCut.h decides), at the time it
// takes in the part.
#include <algorithm>
#include <limits>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/TranscodeState.h"

namespace qm {

namespace {

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

// The stream's times while one picture or block is delivered: the outputs read them from the
// input's state, the timestamp checks of the next packet want them back as they were.
class TDeliveryTime {
public:
    TDeliveryTime(TInputStreamState& AInput, int64_t APts, int64_t ANextPts)
        : FInput(AInput), FPts(AInput.Pts), FNextPts(AInput.NextPts) {
        AInput.Pts = APts;
        AInput.NextPts = ANextPts;
    }
    ~TDeliveryTime() {
        FInput.Pts = FPts;
        FInput.NextPts = FNextPts;
    }
    TDeliveryTime(const TDeliveryTime&) = delete;
    TDeliveryTime& operator=(const TDeliveryTime&) = delete;

private:
    TInputStreamState& FInput;
    int64_t FPts, FNextPts;
};

} // namespace

TStreamCut TCustomFFmpeg::CutFor(const TInputStreamState& AInput) const {
    const size_t file = static_cast<size_t>(AInput.FileIndex);
    const int64_t seekTime = InputFiles[file]->SeekTime;
    const bool seeked = seekTime != AV_NOPTS_VALUE;
    const bool trimmed = seeked || Options.InputStartTime != 0 ||
                         Options.RecordingTime != std::numeric_limits<int64_t>::max();
    const AVMediaType type = AInput.Stream->codecpar->codec_type;
    if (!trimmed || !AInput.DecodingNeeded || (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO))
        return TStreamCut();
    // The part starts where the input was opened (0 on its time line, unless time stamps
    // are kept or offset) or at the output's "ss"; "t" counts on the output's time line.
    TCutWindow window;
    window.Start = seeked ? std::max(seekTime + InputTsOffsets[file], Options.InputStartTime)
                          : Options.InputStartTime;
    if (Options.RecordingTime < std::numeric_limits<int64_t>::max() - Options.InputStartTime)
        window.End = Options.InputStartTime + Options.RecordingTime;
    return TStreamCut(window);
}

void TCustomFFmpeg::DeliverCut(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame) {
    if (AInput.Stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        DeliverCutSamples(AInput, AInputIndex, AFrame);
        return;
    }
    // The picture's own presentation time: the decoding times the stream keeps run a
    // reordered picture or two apart from it.
    const int64_t duration = AInput.NextPts - AInput.Pts;
    int64_t time = AInput.Pts;
    if (AFrame.best_effort_timestamp != AV_NOPTS_VALUE)
        time = ff::av_rescale_q(AFrame.best_effort_timestamp, AInput.Stream->time_base,
                                MicrosecondBase);
    const TPictureVerdict verdict = AInput.Cut.OfferPicture(time);
    if (verdict.EmitHeld && AInput.HeldPicture)
        DeliverCutPicture(AInput, AInputIndex, *AInput.HeldPicture, AInput.HeldTime,
                          AInput.HeldDuration);
    if ((verdict.EmitHeld || verdict.Hold) && AInput.HeldPicture)
        ff::av_frame_unref(AInput.HeldPicture.get());
    if (verdict.Emit)
        DeliverCutPicture(AInput, AInputIndex, AFrame, time, duration);
    if (verdict.Hold) {
        if (!AInput.HeldPicture)
            AInput.HeldPicture.reset(ff::av_frame_alloc());
        if (!AInput.HeldPicture || ff::av_frame_ref(AInput.HeldPicture.get(), &AFrame) < 0)
            throw FFmpegException("Could not keep a decoded picture");
        AInput.HeldTime = time;
        AInput.HeldDuration = duration;
    }
}

void TCustomFFmpeg::DeliverCutPicture(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame,
                                      int64_t ATime, int64_t ADuration) {
    const int64_t shown = AInput.Cut.ShownTime(ATime);
    AInput.Cut.Delivered(ATime + ADuration);
    TDeliveryTime at(AInput, shown, ATime + ADuration);
    AVFrame* picture = PreProcessVideo(AInput, AFrame);
    DistributeFrame(AInput, AInputIndex, *picture);
}

void TCustomFFmpeg::DeliverCutSamples(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame) {
    const TSampleVerdict verdict =
        AInput.Cut.OfferSamples(AInput.Pts, AFrame.nb_samples, AFrame.sample_rate);
    if (verdict.Keep <= 0)
        return;
    if (verdict.Skip > 0) {
        // The kept samples as a view into the decoded buffers.
        const auto format = static_cast<AVSampleFormat>(AFrame.format);
        const bool planar = ff::av_sample_fmt_is_planar(format);
        const int channels = AFrame.ch_layout.nb_channels;
        const int step = ff::av_get_bytes_per_sample(format) * (planar ? 1 : channels);
        for (int p = 0; p < (planar ? channels : 1); ++p) {
            AFrame.extended_data[p] += static_cast<ptrdiff_t>(verdict.Skip) * step;
            if (p < AV_NUM_DATA_POINTERS && AFrame.extended_data != AFrame.data)
                AFrame.data[p] = AFrame.extended_data[p];
        }
    }
    AFrame.nb_samples = verdict.Keep;
    TDeliveryTime at(AInput, verdict.Time,
                     verdict.Time + int64_t(verdict.Keep) * AV_TIME_BASE / AFrame.sample_rate);
    DistributeFrame(AInput, AInputIndex, AFrame);
}

void TCustomFFmpeg::FlushCut(TInputStreamState& AInput, int AInputIndex) {
    if (!AInput.HeldPicture || !AInput.HeldPicture->buf[0])
        return;
    if (AInput.Cut.FlushHeld(AInput.HeldTime + AInput.HeldDuration))
        DeliverCutPicture(AInput, AInputIndex, *AInput.HeldPicture, AInput.HeldTime,
                          AInput.HeldDuration);
    ff::av_frame_unref(AInput.HeldPicture.get());
}

} // namespace qm
