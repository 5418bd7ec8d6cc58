// The packet decoder: decode or pass on one packet, keep the stream's clock, and hand the
// result to every output stream it feeds; the packet writer; subtitle output.
#include <chrono>
#include <cstring>
#include <thread>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/TranscodeState.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

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
    AVFormatContext* ic = InputFiles[static_cast<size_t>(AInput.FileIndex)]->Input.Get();
    const AVMediaType type = st->codecpar->codec_type;
    if (AInput.NextPts == AV_NOPTS_VALUE)
        AInput.NextPts = AInput.Pts;
    if (APacket && APacket->dts != AV_NOPTS_VALUE)
        AInput.Pts = AInput.NextPts = ff::av_rescale_q(APacket->dts, st->time_base, MicrosecondBase);

    if (AInput.DecodingNeeded) {
        if (type == AVMEDIA_TYPE_SUBTITLE) {
            if (APacket) {
                AVSubtitle subtitle{};
                int got = 0;
                if (ff::avcodec_decode_subtitle2(AInput.Decoder, &subtitle, &got, APacket) < 0)
                    return -1;
                if (got) {
                    AInput.Pts = AInput.NextPts;
                    // Freed whatever the distribution does.
                    struct TFree {
                        AVSubtitle* S;
                        ~TFree() { ff::avsubtitle_free(S); }
                    } freeSubtitle{&subtitle};
                    if (PassesStartTime(AInput))
                        DistributeSubtitle(AInput, AInputIndex, subtitle, APacket->pts);
                }
            }
        } else if (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO) {
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
                if (PassesStartTime(AInput))
                    DistributeFrame(AInput, AInputIndex, *frame);
                ff::av_frame_unref(frame);
            }
        } else {
            return -1;
        }
    } else if (APacket) {
        AInput.Pts = AInput.NextPts;
        if (type == AVMEDIA_TYPE_AUDIO && st->codecpar->sample_rate > 0 &&
            st->codecpar->frame_size > 0)
            AInput.NextPts += int64_t(1000000) * st->codecpar->frame_size /
                              st->codecpar->sample_rate;
        else if (APacket->duration > 0)
            AInput.NextPts += ff::av_rescale_q(APacket->duration, st->time_base, MicrosecondBase);
        else if (type == AVMEDIA_TYPE_VIDEO)
            AInput.NextPts += FrameDurationUs(st, ic);
        EmulateRate(AInput);
        if (PassesStartTime(AInput)) {
            for (auto& ost : FState->OutputStreams)
                if (ost->SourceIndex == AInputIndex && !ost->EncodingNeeded)
                    StreamCopy(*ost, AInput, *APacket);
        }
    }
    if (!APacket)
        DrainEncoders(AInputIndex);
    return 0;
}

bool TCustomFFmpeg::PassesStartTime(const TInputStreamState& AInput) const {
    return Options.InputStartTime == 0 || AInput.Pts >= Options.InputStartTime;
}

void TCustomFFmpeg::EmulateRate(const TInputStreamState& AInput) {
    if (!Options.RateEmulation)
        return;
    const int64_t ahead = AInput.Pts - (ff::av_gettime() - AInput.StartTime);
    if (ahead > 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
}

void TCustomFFmpeg::DistributeFrame(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame) {
    for (auto& ost : FState->OutputStreams) {
        if (ost->SourceIndex != AInputIndex || !ost->EncodingNeeded)
            continue;
        switch (ost->Encoder->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            AudioOut(*ost, AInput, AFrame);
            break;
        case AVMEDIA_TYPE_VIDEO:
            VideoOut(*ost, AInput, AFrame);
            break;
        default:
            throw FFmpegException("invalid codec_type");
        }
    }
}

void TCustomFFmpeg::DistributeSubtitle(TInputStreamState& AInput, int AInputIndex,
                                       AVSubtitle& ASubtitle, int64_t APacketPts) {
    for (auto& ost : FState->OutputStreams) {
        if (ost->SourceIndex != AInputIndex || !ost->EncodingNeeded)
            continue;
        if (ost->Encoder->codec_type != AVMEDIA_TYPE_SUBTITLE)
            throw FFmpegException("invalid codec_type");
        SubtitleOut(*ost, AInput, ASubtitle, APacketPts);
    }
}

void TCustomFFmpeg::AudioOut(TOutputStreamState&, TInputStreamState&, AVFrame&) {
    throw FFmpegException("Re-encoding not available yet");
}

void TCustomFFmpeg::VideoOut(TOutputStreamState&, TInputStreamState&, AVFrame&) {
    throw FFmpegException("Re-encoding not available yet");
}

void TCustomFFmpeg::DrainEncoders(int AInputIndex) {
    // Subtitle encoders hold nothing back; audio and video encoders are drained by their
    // output paths.
    (void)AInputIndex;
}

void TCustomFFmpeg::StreamCopy(TOutputStreamState& AOutput, const TInputStreamState& AInput,
                               const AVPacket& APacket) {
    if (AOutput.FrameNumber == 0 && !(APacket.flags & AV_PKT_FLAG_KEY) &&
        !Options.CopyInitialNonKeyframes)
        return;
    const AVRational inBase = AInput.Stream->time_base;
    const AVRational outBase = AOutput.Stream->time_base;
    // "t" holds for every stream: none runs past the recording time because another lags.
    if (APacket.pts != AV_NOPTS_VALUE &&
        ff::av_rescale_q(APacket.pts, inBase, MicrosecondBase) - Options.InputStartTime >=
            Options.RecordingTime)
        return;
    const int64_t start = ff::av_rescale_q(Options.InputStartTime, MicrosecondBase, outBase);
    const AVMediaType type = AOutput.Stream->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO)
        FAudioBytes += APacket.size;
    else if (type == AVMEDIA_TYPE_VIDEO) {
        FVideoBytes += APacket.size;
        ++AOutput.SyncOpts;
    }
    TPacketPtr out(ff::av_packet_alloc());
    if (!out || ff::av_packet_ref(out.get(), &APacket) < 0)
        throw FFmpegException("Could not copy a packet");
    out->stream_index = AOutput.Index;
    out->pts = APacket.pts != AV_NOPTS_VALUE ? ff::av_rescale_q(APacket.pts, inBase, outBase) - start
                                             : AV_NOPTS_VALUE;
    if (APacket.dts != AV_NOPTS_VALUE)
        out->dts = ff::av_rescale_q(APacket.dts, inBase, outBase) - start;
    else if (APacket.pts != AV_NOPTS_VALUE)
        out->dts = AV_NOPTS_VALUE; // the muxer derives it from the stream's reorder delay
    else
        out->dts = ff::av_rescale_q(AInput.Pts, MicrosecondBase, outBase) - start;
    // Muxers refuse decoding times that do not grow; nudge the rare stray one.
    if (out->dts != AV_NOPTS_VALUE && AOutput.LastDts != AV_NOPTS_VALUE &&
        out->dts <= AOutput.LastDts) {
        out->dts = AOutput.LastDts + 1;
        if (out->pts != AV_NOPTS_VALUE && out->pts < out->dts)
            out->pts = out->dts;
    }
    if (out->dts != AV_NOPTS_VALUE)
        AOutput.LastDts = out->dts;
    out->duration = ff::av_rescale_q(APacket.duration, inBase, outBase);
    out->time_base = outBase;
    WritePacket(AOutput, *out);
    ++AOutput.FrameNumber;
}

void TCustomFFmpeg::WritePacket(TOutputStreamState& AOutput, AVPacket& APacket) {
    for (auto& bsf : AOutput.BitstreamFilters) {
        int ret = ff::av_bsf_send_packet(bsf.get(), &APacket);
        if (ret >= 0)
            ret = ff::av_bsf_receive_packet(bsf.get(), &APacket);
        if (ret < 0) {
            const char* codec = AOutput.EncodingNeeded && AOutput.Encoder->codec
                                    ? AOutput.Encoder->codec->name
                                    : "copy";
            const std::string text = OpenErrorMessage(
                Format("%s failed for stream %d, codec %s", bsf->filter->name,
                       APacket.stream_index, codec),
                ret);
            if (Options.ExitOnError)
                throw FFmpegException(text);
            Log(this, llError, text);
            ff::av_packet_unref(&APacket);
            return;
        }
    }
    const int64_t at = APacket.pts != AV_NOPTS_VALUE ? APacket.pts : APacket.dts;
    if (at != AV_NOPTS_VALUE)
        AOutput.WrittenEnd = std::max(AOutput.WrittenEnd, at + APacket.duration);
    const int ret = ff::av_interleaved_write_frame(AOutput.File->Output.Get(), &APacket);
    if (ret < 0)
        throw FFmpegException(OpenErrorMessage("av_interleaved_write_frame()", ret));
}

void TCustomFFmpeg::SubtitleOut(TOutputStreamState& AOutput, TInputStreamState& AInput,
                                AVSubtitle& ASubtitle, int64_t APacketPts) {
    if (APacketPts == AV_NOPTS_VALUE) {
        if (Options.ExitOnError)
            throw FFmpegException("Subtitle packets must have a pts");
        Log(this, llError, "Subtitle packets must have a pts");
        return;
    }
    constexpr int BufferSize = 1048576;
    if (FSubtitleBuffer.empty())
        FSubtitleBuffer.resize(BufferSize);
    const bool dvb = AOutput.Encoder->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
    const int count = dvb ? 2 : 1;
    const uint32_t start = ASubtitle.start_display_time;
    for (int i = 0; i < count; ++i) {
        const int64_t pts =
            ff::av_rescale_q(APacketPts, AInput.Stream->time_base, MicrosecondBase) +
            int64_t(start) * 1000;
        AVSubtitle sub = ASubtitle;
        sub.pts = pts;
        sub.end_display_time -= sub.start_display_time;
        sub.start_display_time = 0;
        if (dvb && i == 1)
            sub.num_rects = 0; // the second packet clears the picture
        const int size = ff::avcodec_encode_subtitle(AOutput.Encoder, FSubtitleBuffer.data(),
                                                     BufferSize, &sub);
        if (size < 0)
            throw FFmpegException("Subtitle encoding failed");
        TPacketPtr packet(ff::av_packet_alloc());
        if (!packet || ff::av_new_packet(packet.get(), size) < 0)
            throw FFmpegException("Subtitle encoding failed");
        std::memcpy(packet->data, FSubtitleBuffer.data(), static_cast<size_t>(size));
        packet->stream_index = AOutput.Index;
        packet->pts = ff::av_rescale_q(pts, MicrosecondBase, AOutput.Stream->time_base);
        if (dvb)
            packet->pts += 90 * (i == 0 ? sub.start_display_time : sub.end_display_time);
        packet->dts = packet->pts;
        packet->duration =
            ff::av_rescale_q(sub.end_display_time, AVRational{1, 1000}, AOutput.Stream->time_base);
        WritePacket(AOutput, *packet);
        ++AOutput.FrameNumber;
    }
}

} // namespace qm
