// The audio stage: resample, keep the sound in sync with its clock, wait in the FIFO for
// whole encoder frames, encode.
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

void TCustomFFmpeg::EnsureResampler(TOutputStreamState& AOutput, AVFrame& AFrame) {
    // One resampler converts format, rate and layout; a change of input rebuilds it.
    AVCodecContext* enc = AOutput.Encoder;
    if (AOutput.Resampler && AOutput.ResamplerInRate == AFrame.sample_rate &&
        AOutput.ResamplerInFormat == AFrame.format &&
        ff::av_channel_layout_compare(&AOutput.ResamplerInLayout, &AFrame.ch_layout) == 0)
        return;
    SwrContext* swr = nullptr;
    if (ff::swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                                &AFrame.ch_layout, static_cast<AVSampleFormat>(AFrame.format),
                                AFrame.sample_rate, 0, nullptr) < 0 ||
        ff::swr_init(swr) < 0) {
        ff::swr_free(&swr);
        throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                     AFrame.ch_layout.nb_channels, AFrame.sample_rate,
                                     enc->ch_layout.nb_channels, enc->sample_rate));
    }
    AOutput.Resampler.reset(swr);
    AOutput.ResamplerInRate = AFrame.sample_rate;
    AOutput.ResamplerInFormat = AFrame.format;
    ff::av_channel_layout_uninit(&AOutput.ResamplerInLayout);
    ff::av_channel_layout_copy(&AOutput.ResamplerInLayout, &AFrame.ch_layout);
}

TAudioSync TCustomFFmpeg::DecideAudioSync(TOutputStreamState& AOutput, TInputStreamState& AInput,
                                          const AVFrame& AFrame) {
    const int outRate = AOutput.Encoder->sample_rate;
    const int outChannels = AOutput.Encoder->ch_layout.nb_channels;
    const int fifoSamples = ff::av_audio_fifo_size(AOutput.Fifo.get());
    const double syncTime = (AOutput.SyncInput->Pts - Options.InputStartTime) / 1000000.0;
    TAudioSync sync;
    int64_t& silence = sync.Silence;
    int64_t& drop = sync.Drop;
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

    return sync;
}

AVFrame* TCustomFFmpeg::ConvertSamples(TOutputStreamState& AOutput, const AVFrame& AFrame) {
    AVCodecContext* enc = AOutput.Encoder;
    const int outRate = enc->sample_rate;
    if (!AOutput.AudioFrame)
        AOutput.AudioFrame.reset(ff::av_frame_alloc());
    AVFrame* converted = AOutput.AudioFrame.get();
    const int room = ff::swr_get_out_samples(AOutput.Resampler.get(), AFrame.nb_samples);
    if (room <= 0)
        return nullptr;
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
        return nullptr;
    }
    converted->nb_samples = made;
    return converted;
}

void TCustomFFmpeg::WriteSilence(TOutputStreamState& AOutput, int64_t ASamples) {
    AVCodecContext* enc = AOutput.Encoder;
    const int outChannels = enc->ch_layout.nb_channels;
    AVAudioFifo* fifo = AOutput.Fifo.get();
    TFramePtr zeros(ff::av_frame_alloc());
    if (!zeros)
        throw FFmpegException("av_malloc failed");
    zeros->format = enc->sample_fmt;
    zeros->nb_samples = static_cast<int>(ASamples);
    ff::av_channel_layout_copy(&zeros->ch_layout, &enc->ch_layout);
    if (ff::av_frame_get_buffer(zeros.get(), 0) < 0)
        throw FFmpegException("av_malloc failed");
    ff::av_samples_set_silence(zeros->extended_data, 0, zeros->nb_samples, outChannels,
                               enc->sample_fmt);
    if (ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(zeros->extended_data),
                                zeros->nb_samples) < zeros->nb_samples)
        throw FFmpegException("av_fifo_realloc2() failed");
}

void TCustomFFmpeg::WriteSamples(TOutputStreamState& AOutput, TInputStreamState& AInput,
                                 const AVFrame& ASamples, int64_t ADrop) {
    AVCodecContext* enc = AOutput.Encoder;
    const int outChannels = enc->ch_layout.nb_channels;
    AVAudioFifo* fifo = AOutput.Fifo.get();
    const int made = ASamples.nb_samples;
    const int64_t drop = ADrop;
    const AVFrame* converted = &ASamples;
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
}

void TCustomFFmpeg::AudioOut(TOutputStreamState& AOutput, TInputStreamState& AInput,
                             AVFrame& AFrame) {
    EnsureResampler(AOutput, AFrame);
    const TAudioSync sync = DecideAudioSync(AOutput, AInput, AFrame);
    AVFrame* converted = ConvertSamples(AOutput, AFrame);
    if (!converted)
        return;
    if (Options.VolumeScale != 256)
        ScaleVolume(*converted);
    if (sync.Silence > 0)
        WriteSilence(AOutput, sync.Silence);
    WriteSamples(AOutput, AInput, *converted, sync.Drop);
    EncodeAudioFifo(AOutput, false);
}

namespace {

// Samples per frame for an encoder that takes any count. Raw PCM goes in frames of 1/600 s,
// the DVD's own for linear PCM: a program stream stamps a time only on the packs where a
// frame begins, and players (and dvdauthor) want every pack of linear PCM to carry one.
int VariableFrameSamples(const AVCodecContext& AEncoder) {
    const AVCodecDescriptor* d = ff::avcodec_descriptor_get(AEncoder.codec_id);
    const bool pcm = d && d->name && std::strncmp(d->name, "pcm_", 4) == 0;
    return pcm && AEncoder.sample_rate >= 600 ? AEncoder.sample_rate / 600 : 1024;
}

} // namespace

void TCustomFFmpeg::EncodeAudioFifo(TOutputStreamState& AOutput, bool AFinal) {
    AVCodecContext* enc = AOutput.Encoder;
    AVAudioFifo* fifo = AOutput.Fifo.get();
    const bool variable = enc->frame_size <= 1 ||
                          (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    const int frameSize = enc->frame_size > 1 ? enc->frame_size : VariableFrameSamples(*enc);
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

} // namespace qm
