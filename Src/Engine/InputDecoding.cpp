// The input side: each packet decoded, or passed on as it is, with the stream's clock kept;
// what comes out goes to the stages that take it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/TranscodeState.h"
#include "Engine/TranscodeTime.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

// The duration of one picture of a stream whose packets or frames do not say.
int64_t FrameDurationUs(AVStream* st, AVFormatContext* ic) {
    const AVRational rate = ff::av_guess_frame_rate(ic, st, nullptr);
    if (rate.num > 0 && rate.den > 0)
        return ff::av_rescale_q(1, av_inv_q(rate), MicrosecondBase);
    return 0;
}

} // namespace

int TCustomFFmpeg::DecodePacket(TInputStreamState& AInput, int AInputIndex, AVPacket* APacket) {
    AVStream* st = AInput.Stream;
    const AVMediaType type = st->codecpar->codec_type;
    if (AInput.NextPts == AV_NOPTS_VALUE)
        AInput.NextPts = AInput.Pts;
    if (APacket && APacket->dts != AV_NOPTS_VALUE)
        AInput.Pts = AInput.NextPts = ff::av_rescale_q(APacket->dts, st->time_base, MicrosecondBase);

    if (AInput.DecodingNeeded) {
        // A stream may be copied into one output while it is decoded for another.
        if (APacket)
            CopyToStages(AInput, AInputIndex, *APacket);
        int ret = -1;
        if (type == AVMEDIA_TYPE_SUBTITLE)
            ret = APacket ? DecodeSubtitle(AInput, AInputIndex, *APacket) : 0;
        else if (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO)
            ret = DecodeFrames(AInput, AInputIndex, APacket);
        if (ret < 0)
            return ret;
    } else if (APacket) {
        PassPacketOn(AInput, AInputIndex, *APacket);
    }
    if (!APacket) {
        FlushCut(AInput, AInputIndex);
        DrainEncoders(AInputIndex);
    }
    return 0;
}

int TCustomFFmpeg::DecodeSubtitle(TInputStreamState& AInput, int AInputIndex, AVPacket& APacket) {
    AVSubtitle subtitle{};
    int got = 0;
    if (ff::avcodec_decode_subtitle2(AInput.Decoder, &subtitle, &got, &APacket) < 0)
        return -1;
    if (got) {
        AInput.Pts = AInput.NextPts;
        // Freed whatever the distribution does.
        struct TFree {
            AVSubtitle* S;
            ~TFree() { ff::avsubtitle_free(S); }
        } freeSubtitle{&subtitle};
        if (PassesStartTime(AInput))
            DistributeSubtitle(AInput, AInputIndex, subtitle, APacket.pts);
    }
    return 0;
}

int TCustomFFmpeg::DecodeFrames(TInputStreamState& AInput, int AInputIndex, AVPacket* APacket) {
    AVStream* st = AInput.Stream;
    AVFormatContext* ic = InputFiles[static_cast<size_t>(AInput.FileIndex)]->Input.Get();
    const AVMediaType type = st->codecpar->codec_type;
    int ret = ff::avcodec_send_packet(AInput.Decoder, APacket);
    if (ret < 0 && ret != AVERROR_EOF)
        return -1;
    if (!AInput.Frame)
        AInput.Frame.reset(ff::av_frame_alloc());
    AVFrame* frame = AInput.Frame.get();
    for (;;) {
        ret = ff::avcodec_receive_frame(AInput.Decoder, frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            break;
        if (ret < 0)
            return -1;
        // Under send/receive the frame carries its own time, not the packet just sent.
        int64_t ts = frame->pkt_dts != AV_NOPTS_VALUE ? frame->pkt_dts
                                                      : frame->best_effort_timestamp;
        AInput.Pts = ts != AV_NOPTS_VALUE
                         ? ff::av_rescale_q(ts, st->time_base, MicrosecondBase)
                         : AInput.NextPts;
        if (type == AVMEDIA_TYPE_AUDIO && frame->sample_rate > 0)
            AInput.NextPts = AInput.Pts + int64_t(1000000) * frame->nb_samples /
                                              frame->sample_rate;
        else if (frame->pkt_duration > 0)
            AInput.NextPts =
                AInput.Pts + ff::av_rescale_q(frame->pkt_duration, st->time_base,
                                              MicrosecondBase);
        else
            AInput.NextPts = AInput.Pts + FrameDurationUs(st, ic);
        EmulateRate(AInput);
        if (AInput.Cut.Active()) {
            DeliverCut(AInput, AInputIndex, *frame);
        } else {
            AVFrame* picture = type == AVMEDIA_TYPE_VIDEO ? PreProcessVideo(AInput, *frame) : frame;
            if (PassesStartTime(AInput))
                DistributeFrame(AInput, AInputIndex, *picture);
        }
        ff::av_frame_unref(frame);
    }
    return 0;
}

void TCustomFFmpeg::PassPacketOn(TInputStreamState& AInput, int AInputIndex, const AVPacket& APacket) {
    AVStream* st = AInput.Stream;
    AVFormatContext* ic = InputFiles[static_cast<size_t>(AInput.FileIndex)]->Input.Get();
    const AVMediaType type = st->codecpar->codec_type;
    AInput.Pts = AInput.NextPts;
    if (type == AVMEDIA_TYPE_AUDIO && st->codecpar->sample_rate > 0 &&
        st->codecpar->frame_size > 0)
        AInput.NextPts += int64_t(1000000) * st->codecpar->frame_size /
                          st->codecpar->sample_rate;
    else if (APacket.duration > 0)
        AInput.NextPts += ff::av_rescale_q(APacket.duration, st->time_base, MicrosecondBase);
    else if (type == AVMEDIA_TYPE_VIDEO)
        AInput.NextPts += FrameDurationUs(st, ic);
    EmulateRate(AInput);
    CopyToStages(AInput, AInputIndex, APacket);
}

bool TCustomFFmpeg::PassesStartTime(const TInputStreamState& AInput) const {
    // A seek lands on the key frame before the start time: what lies between is decoded
    // (the pictures after it need it) but not output.
    const size_t file = static_cast<size_t>(AInput.FileIndex);
    const int64_t seekTime = InputFiles[file]->SeekTime;
    if (seekTime != AV_NOPTS_VALUE && AInput.Pts < seekTime + InputTsOffsets[file])
        return false;
    return Options.InputStartTime == 0 || AInput.Pts >= Options.InputStartTime;
}

void TCustomFFmpeg::EmulateRate(const TInputStreamState& AInput) {
    if (!Options.RateEmulation)
        return;
    const int64_t ahead = AInput.Pts - (ff::av_gettime() - AInput.StartTime);
    if (ahead > 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
}

} // namespace qm
