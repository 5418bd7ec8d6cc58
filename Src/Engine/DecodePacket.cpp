// The packet decoder: decode or pass on one packet, keep the stream's clock, and hand the
// result to every output stream it feeds; the packet writer; subtitle output.
#include <chrono>
#include <algorithm>
#include <cmath>
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
                AVFrame* picture = type == AVMEDIA_TYPE_VIDEO ? PreProcessVideo(AInput, *frame) : frame;
                if (PassesStartTime(AInput))
                    DistributeFrame(AInput, AInputIndex, *picture);
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
            if (ost->FilterSource)
                FilterVideo(*ost, AInput, &AFrame);
            else
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

void TCustomFFmpeg::EncodeAndWrite(TOutputStreamState& AOutput, AVFrame* AFrame) {
    AVCodecContext* enc = AOutput.Encoder;
    const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
    const char* failure = video ? "Video encoding failed" : "Audio encoding failed";
    int ret = ff::avcodec_send_frame(enc, AFrame);
    if (ret < 0 && ret != AVERROR_EOF)
        throw FFmpegException(failure);
    AVPacket* packet = AOutput.WorkPacket();
    for (;;) {
        ret = ff::avcodec_receive_packet(enc, packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return;
        if (ret < 0)
            throw FFmpegException(failure);
        AOutput.LastCodedPts = packet->pts;
        // Quality and picture type travel with the packet.
        size_t size = 0;
        if (const uint8_t* stats =
                ff::av_packet_get_side_data(packet, AV_PKT_DATA_QUALITY_STATS, &size);
            stats && size >= 4) {
            // u32 quality, u8 picture type, u8 error count, u16 reserved, u64 errors[]
            AOutput.Setup->Quality = static_cast<float>(stats[0] | stats[1] << 8 |
                                                        stats[2] << 16 | uint32_t(stats[3]) << 24);
            if (size >= 5)
                AOutput.LastPictureType = stats[4];
            const size_t errors = std::min<size_t>({stats[5], 3, size >= 8 ? (size - 8) / 8 : 0});
            for (size_t p = 0; p < errors; ++p) {
                uint64_t error = 0;
                std::memcpy(&error, stats + 8 + 8 * p, sizeof error);
                AOutput.LastErrors[p] = static_cast<double>(error);
                AOutput.SummedErrors[p] += static_cast<double>(error);
            }
        }
        if (video)
            FVideoBytes += packet->size;
        else
            FAudioBytes += packet->size;
        AOutput.LastFrameSize = packet->size;
        if (AOutput.LogFile && enc->stats_out)
            std::fprintf(AOutput.LogFile.get(), "%s", enc->stats_out);
        packet->stream_index = AOutput.Index;
        ff::av_packet_rescale_ts(packet, enc->time_base, AOutput.Stream->time_base);
        KeepDtsRising(AOutput, *packet); // a joined file's fresh encoder starts anew
        WritePacket(AOutput, *packet);
        ff::av_packet_unref(packet);
    }
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
    if (AOutput.VideoResample) {
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

void TCustomFFmpeg::VideoOut(TOutputStreamState& AOutput, TInputStreamState& AInput,
                             AVFrame& AFrame) {
    AVCodecContext* enc = AOutput.Encoder;
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
        frame->interlaced_frame = AFrame.interlaced_frame;
        frame->top_field_first =
            Options.TopFieldFirst != -1 ? Options.TopFieldFirst : AFrame.top_field_first;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        frame->pts = AOutput.SyncOpts;
        frame->sample_aspect_ratio = enc->sample_aspect_ratio;
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
    std::fprintf(f, "frame= %5d q= %2.1f ", AOutput.FrameNumber, AOutput.Setup->Quality / FF_QP2LAMBDA);
    if ((enc->flags & AV_CODEC_FLAG_PSNR) && AOutput.LastErrors[0] > 0)
        std::fprintf(f, "PSNR= %6.2f ",
                     Psnr(AOutput.LastErrors[0], double(enc->width) * enc->height * 255.0 * 255.0));
    std::fprintf(f, "f_size= %6d ", AFrameSize);
    const double tb = av_q2d(enc->time_base);
    const double t = std::max(AOutput.SyncOpts * tb, 0.01);
    std::fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                 FVideoBytes / 1024.0, t, AFrameSize * 8 / tb / 1000, FVideoBytes * 8 / t / 1000);
    std::fprintf(f, "type= %c\n", ff::av_get_picture_type_char(
                                       static_cast<AVPictureType>(AOutput.LastPictureType)));
}

void TCustomFFmpeg::ScaleVolume(AVFrame& AFrame) const {
    const int vol = Options.VolumeScale;
    const int channels = AFrame.ch_layout.nb_channels;
    const bool planar = ff::av_sample_fmt_is_planar(static_cast<AVSampleFormat>(AFrame.format));
    const int planes = planar ? channels : 1;
    const int count = AFrame.nb_samples * (planar ? 1 : channels);
    for (int p = 0; p < planes; ++p) {
        switch (ff::av_get_packed_sample_fmt(static_cast<AVSampleFormat>(AFrame.format))) {
        case AV_SAMPLE_FMT_S16: {
            auto* s = reinterpret_cast<int16_t*>(AFrame.extended_data[p]);
            for (int i = 0; i < count; ++i)
                s[i] = static_cast<int16_t>(std::clamp((s[i] * vol + 128) >> 8, -32768, 32767));
            break;
        }
        case AV_SAMPLE_FMT_FLT: {
            auto* s = reinterpret_cast<float*>(AFrame.extended_data[p]);
            for (int i = 0; i < count; ++i)
                s[i] = std::clamp(s[i] * vol / 256.0f, -1.0f, 1.0f);
            break;
        }
        default:
            return; // other encoder formats keep their level
        }
    }
}

void TCustomFFmpeg::AudioOut(TOutputStreamState& AOutput, TInputStreamState& AInput,
                             AVFrame& AFrame) {
    AVCodecContext* enc = AOutput.Encoder;
    const int outRate = enc->sample_rate;
    const int outChannels = enc->ch_layout.nb_channels;
    // One resampler converts format, rate and layout; a change of input rebuilds it.
    if (!AOutput.Resampler || AOutput.ResamplerInRate != AFrame.sample_rate ||
        AOutput.ResamplerInFormat != AFrame.format ||
        ff::av_channel_layout_compare(&AOutput.ResamplerInLayout, &AFrame.ch_layout) != 0) {
        SwrContext* swr = nullptr;
        if (ff::swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, outRate,
                                    &AFrame.ch_layout, static_cast<AVSampleFormat>(AFrame.format),
                                    AFrame.sample_rate, 0, nullptr) < 0 ||
            ff::swr_init(swr) < 0) {
            ff::swr_free(&swr);
            throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                         AFrame.ch_layout.nb_channels, AFrame.sample_rate,
                                         outChannels, outRate));
        }
        AOutput.Resampler.reset(swr);
        AOutput.ResamplerInRate = AFrame.sample_rate;
        AOutput.ResamplerInFormat = AFrame.format;
        ff::av_channel_layout_uninit(&AOutput.ResamplerInLayout);
        ff::av_channel_layout_copy(&AOutput.ResamplerInLayout, &AFrame.ch_layout);
    }

    const int fifoSamples = ff::av_audio_fifo_size(AOutput.Fifo.get());
    const double syncTime = (AOutput.SyncInput->Pts - Options.InputStartTime) / 1000000.0;
    int64_t silence = 0, drop = 0;
    if (Options.AudioSyncMethod != 0) {
        const double delta = syncTime * outRate - static_cast<double>(AOutput.SyncOpts) - fifoSamples;
        if (std::fabs(delta) > 50) {
            if (AInput.IsStart || std::fabs(delta) > outRate * Options.AudioDriftThreshold) {
                if (delta < 0) {
                    drop = static_cast<int64_t>(-delta);
                    if (Options.Verbosity > 2)
                        LogF(this, llVerbose, "discarding %lld audio samples",
                             static_cast<long long>(drop));
                } else {
                    silence = static_cast<int64_t>(delta);
                    // At most 131072 bytes of 16-bit samples of silence and block together.
                    const int64_t cap = 131072 / (2 * std::max(outChannels, 1)) -
                                        ff::swr_get_out_samples(AOutput.Resampler.get(), AFrame.nb_samples);
                    if (silence > cap)
                        silence = std::max<int64_t>(cap, 0);
                    else
                        AInput.IsStart = 0;
                    if (Options.Verbosity > 2)
                        LogF(this, llVerbose, "adding %lld audio samples of silence",
                             static_cast<long long>(silence));
                }
            } else if (Options.AudioSyncMethod > 1) {
                const int comp = static_cast<int>(std::clamp<double>(
                    std::trunc(delta), -Options.AudioSyncMethod, Options.AudioSyncMethod));
                if (Options.Verbosity > 2)
                    LogF(this, llVerbose, "compensating audio timestamp drift:%f compensation:%d in:%d",
                         delta, comp, outRate);
                ff::swr_set_compensation(AOutput.Resampler.get(), comp, outRate);
            }
        }
    } else {
        AOutput.SyncOpts = std::llrint(syncTime * outRate) - fifoSamples;
    }

    if (!AOutput.AudioFrame)
        AOutput.AudioFrame.reset(ff::av_frame_alloc());
    AVFrame* converted = AOutput.AudioFrame.get();
    const int room = ff::swr_get_out_samples(AOutput.Resampler.get(), AFrame.nb_samples);
    if (room <= 0)
        return;
    // The buffer only goes into the FIFO, so it is kept and grown, never shared.
    if (!converted->buf[0] || AOutput.AudioFrameRoom < room) {
        ff::av_frame_unref(converted);
        converted->format = enc->sample_fmt;
        converted->sample_rate = outRate;
        ff::av_channel_layout_copy(&converted->ch_layout, &enc->ch_layout);
        converted->nb_samples = room;
        if (ff::av_frame_get_buffer(converted, 0) < 0)
            throw FFmpegException("av_malloc failed");
        AOutput.AudioFrameRoom = room;
    }
    converted->nb_samples = room;
    const int made = ff::swr_convert(AOutput.Resampler.get(), converted->extended_data,
                                     converted->nb_samples,
                                     const_cast<const uint8_t**>(AFrame.extended_data),
                                     AFrame.nb_samples);
    if (made < 0) {
        if (Options.ExitOnError)
            throw FFmpegException("swr_convert() failed");
        Log(this, llError, "swr_convert() failed");
        return;
    }
    converted->nb_samples = made;
    if (Options.VolumeScale != 256)
        ScaleVolume(*converted);
    AVAudioFifo* fifo = AOutput.Fifo.get();
    if (silence > 0) {
        TFramePtr zeros(ff::av_frame_alloc());
        if (!zeros)
            throw FFmpegException("av_malloc failed");
        zeros->format = enc->sample_fmt;
        zeros->nb_samples = static_cast<int>(silence);
        ff::av_channel_layout_copy(&zeros->ch_layout, &enc->ch_layout);
        if (ff::av_frame_get_buffer(zeros.get(), 0) < 0)
            throw FFmpegException("av_malloc failed");
        ff::av_samples_set_silence(zeros->extended_data, 0, zeros->nb_samples, outChannels,
                                   enc->sample_fmt);
        if (ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(zeros->extended_data),
                                    zeros->nb_samples) < zeros->nb_samples)
            throw FFmpegException("av_fifo_realloc2() failed");
    }
    if (drop >= made)
        return;
    if (drop > 0) {
        const int bytesPerSample = ff::av_get_bytes_per_sample(enc->sample_fmt);
        const bool planar = ff::av_sample_fmt_is_planar(enc->sample_fmt);
        const int planes = planar ? outChannels : 1;
        const int step = bytesPerSample * (planar ? 1 : outChannels);
        uint8_t* moved[AV_NUM_DATA_POINTERS] = {};
        for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p)
            moved[p] = converted->extended_data[p] + drop * step;
        if (ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(moved), made - static_cast<int>(drop)) <
            made - static_cast<int>(drop))
            throw FFmpegException("av_fifo_realloc2() failed");
        AInput.IsStart = 0;
    } else if (ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(converted->extended_data),
                                       made) < made) {
        throw FFmpegException("av_fifo_realloc2() failed");
    }
    EncodeAudioFifo(AOutput, false);
}

void TCustomFFmpeg::EncodeAudioFifo(TOutputStreamState& AOutput, bool AFinal) {
    AVCodecContext* enc = AOutput.Encoder;
    AVAudioFifo* fifo = AOutput.Fifo.get();
    const bool variable = enc->frame_size <= 1 ||
                          (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    const int frameSize = enc->frame_size > 1 ? enc->frame_size : 1024;
    for (;;) {
        const int available = ff::av_audio_fifo_size(fifo);
        // Whole encoder frames; the rest waits unless the encoder takes any size or the
        // input has ended.
        if (available <= 0 || (available < frameSize && !variable && !AFinal))
            return;
        const int take = std::min(available, frameSize);
        if (!AOutput.FifoFrame)
            AOutput.FifoFrame.reset(ff::av_frame_alloc());
        AVFrame* frame = AOutput.FifoFrame.get();
        if (!frame)
            throw FFmpegException("frame_bytes invalid.");
        // Fixed-size encoders get their last frame padded with silence.
        const bool pad = take < frameSize && !variable &&
                         !(enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
        const int samples = pad ? frameSize : take;
        // The buffer is reused while the encoder holds no reference to it.
        if (!frame->buf[0] || frame->nb_samples != samples || !ff::av_frame_is_writable(frame)) {
            ff::av_frame_unref(frame);
            frame->format = enc->sample_fmt;
            frame->sample_rate = enc->sample_rate;
            ff::av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
            frame->nb_samples = samples;
            if (ff::av_frame_get_buffer(frame, 0) < 0)
                throw FFmpegException("frame_bytes invalid.");
        }
        if (pad)
            ff::av_samples_set_silence(frame->extended_data, 0, frameSize,
                                       enc->ch_layout.nb_channels, enc->sample_fmt);
        if (ff::av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), take) < take)
            throw FFmpegException("Audio encoding failed");
        frame->pts = AOutput.SyncOpts;
        EncodeAndWrite(AOutput, frame);
        AOutput.SyncOpts += frame->nb_samples;
        ++AOutput.FrameNumber;
    }
}

void TCustomFFmpeg::DrainEncoders(int AInputIndex) {
    for (auto& ost : FState->OutputStreams) {
        if (ost->SourceIndex != AInputIndex || !ost->EncodingNeeded || !ost->EncoderOpen)
            continue;
        switch (ost->Encoder->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            EncodeAudioFifo(*ost, true);
            EncodeAndWrite(*ost, nullptr);
            break;
        case AVMEDIA_TYPE_VIDEO:
            if (ost->FilterSource)
                FilterVideo(*ost, *FState->InputStreams[static_cast<size_t>(AInputIndex)], nullptr);
            FillToInputEnd(*ost);
            EncodeVideo(TEncodeJob{ost.get()}, nullptr);
            break;
        default:
            break;
        }
    }
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
    const double end = (AOutput.SyncInput->NextPts - Options.InputStartTime) / 1000000.0;
    if (end > static_cast<double>(Options.RecordingTime) / 1000000.0)
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
    AVPacket* out = AOutput.WorkPacket();
    if (ff::av_packet_ref(out, &APacket) < 0)
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
    KeepDtsRising(AOutput, *out);
    out->duration = ff::av_rescale_q(APacket.duration, inBase, outBase);
    out->time_base = outBase;
    WritePacket(AOutput, *out);
    ++AOutput.FrameNumber;
}

void TCustomFFmpeg::KeepDtsRising(TOutputStreamState& AOutput, AVPacket& APacket) {
    // Muxers refuse decoding times that do not grow; nudge the rare stray one.
    if (APacket.dts != AV_NOPTS_VALUE && AOutput.LastDts != AV_NOPTS_VALUE &&
        APacket.dts <= AOutput.LastDts) {
        APacket.dts = AOutput.LastDts + 1;
        if (APacket.pts != AV_NOPTS_VALUE && APacket.pts < APacket.dts)
            APacket.pts = APacket.dts;
    }
    if (APacket.dts != AV_NOPTS_VALUE)
        AOutput.LastDts = APacket.dts;
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
    if (FPipeline)
        FPipeline->Write(AOutput, APacket); // in the order of the calls, whatever encodes first
    else
        MuxPacket(AOutput, APacket);
}

void TCustomFFmpeg::MuxPacket(TOutputStreamState& AOutput, AVPacket& APacket) {
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
