// Audio output through SDL's callback, and the clocks.
#include <algorithm>
#include <cstring>

#include "Logger/FFmpegLogger.h"
#include "Player/PlayerEngine.h"

namespace qm {

namespace {

constexpr int SilenceBytes = 1024;
// Samples per channel in each device buffer.
constexpr int DeviceSamples = 1024;

// A channel layout that is released with its holder.
struct TLayout {
    AVChannelLayout Value{};
    ~TLayout() { ff::av_channel_layout_uninit(&Value); }
};

} // namespace

int TPlayerEngine::ConvertAudioFrame(TPlayback& APlayback, const AVFrame* AFrame) {
    TCustomPlayer& player = *APlayback.Owner;
    const int channels = APlayback.OutputChannels;
    TLayout in;
    if (AFrame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || AFrame->ch_layout.nb_channels <= 0)
        ff::av_channel_layout_default(&in.Value, AFrame->ch_layout.nb_channels > 0
                                                     ? AFrame->ch_layout.nb_channels
                                                     : channels);
    else if (ff::av_channel_layout_copy(&in.Value, &AFrame->ch_layout) < 0)
        return -1;

    if (AFrame->format == AV_SAMPLE_FMT_S16 && in.Value.nb_channels == channels &&
        AFrame->sample_rate == APlayback.OutputRate) {
        const size_t size = size_t(AFrame->nb_samples) * 2 * channels;
        if (APlayback.AudioBuffer1.size() < size)
            APlayback.AudioBuffer1.resize(size);
        std::memcpy(APlayback.AudioBuffer1.data(), AFrame->data[0], size);
        APlayback.AudioBuf = APlayback.AudioBuffer1.data();
        return static_cast<int>(size);
    }

    if (!APlayback.SampleConverter || APlayback.ConverterFormat != AFrame->format ||
        APlayback.ConverterRate != AFrame->sample_rate ||
        ff::av_channel_layout_compare(&APlayback.ConverterLayout, &in.Value) != 0) {
        APlayback.SampleConverter.reset();
        TLayout out;
        ff::av_channel_layout_default(&out.Value, channels);
        SwrContext* converter = nullptr;
        if (ff::swr_alloc_set_opts2(&converter, &out.Value, AV_SAMPLE_FMT_S16,
                                    APlayback.OutputRate, &in.Value,
                                    static_cast<AVSampleFormat>(AFrame->format),
                                    AFrame->sample_rate, 0, nullptr) < 0 ||
            ff::swr_init(converter) < 0) {
            ff::swr_free(&converter);
            const char* name = ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(AFrame->format));
            player.ReportError(Format("Cannot convert %s sample format to %s sample format",
                                      name ? name : "unknown",
                                      ff::av_get_sample_fmt_name(AV_SAMPLE_FMT_S16)),
                               false);
            return -1;
        }
        APlayback.SampleConverter.reset(converter);
        APlayback.ConverterFormat = AFrame->format;
        APlayback.ConverterRate = AFrame->sample_rate;
        ff::av_channel_layout_uninit(&APlayback.ConverterLayout);
        ff::av_channel_layout_copy(&APlayback.ConverterLayout, &in.Value);
    }
    SwrContext* converter = APlayback.SampleConverter.get();
    const int capacity = ff::swr_get_out_samples(converter, AFrame->nb_samples);
    if (capacity < 0)
        return -1;
    const size_t bytes = size_t(capacity) * 2 * channels;
    if (APlayback.AudioBuffer2.size() < bytes)
        APlayback.AudioBuffer2.resize(bytes);
    uint8_t* out[1] = {APlayback.AudioBuffer2.data()};
    const int converted =
        ff::swr_convert(converter, out, capacity, const_cast<const uint8_t**>(AFrame->extended_data),
                        AFrame->nb_samples);
    if (converted < 0) {
        player.ReportError("av_audio_convert() failed", false);
        return -1;
    }
    APlayback.AudioBuf = APlayback.AudioBuffer2.data();
    return converted * 2 * channels;
}

int TPlayerEngine::OpenAudioDevice(TPlayback& APlayback) {
    SDL_AudioSpec wanted{};
    wanted.freq = APlayback.OutputRate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<Uint8>(APlayback.OutputChannels);
    wanted.silence = 0;
    wanted.samples = DeviceSamples;
    wanted.callback = &AudioCallback;
    wanted.userdata = &APlayback;
    // Without an "obtained" record SDL delivers exactly this format, converting if it must.
    if (ff::SDL_OpenAudio(&wanted, nullptr) < 0) {
        APlayback.Owner->ReportError(std::string("SDL_OpenAudio() failed: ") + ff::SDL_GetError(),
                                     false);
        return -1;
    }
    return 0;
}

void TPlayerEngine::AudioCallback(void* AData, Uint8* AStream, int ALength) {
    TPlayback& pb = *static_cast<TPlayback*>(AData);
    const TCustomPlayer& player = *pb.Owner;
    pb.AudioCallbackTime = ff::av_gettime();
    // SDL 2 hands over the buffer as the last callback left it.
    std::memset(AStream, 0, static_cast<size_t>(ALength));
    while (ALength > 0) {
        if (pb.AudioBufIndex >= pb.AudioBufSize) {
            const int size = DecodeAudioFrame(pb);
            if (pb.AudioQueue.Aborted())
                return;
            if (size < 0) {
                std::memset(pb.AudioBuffer1.data(), 0, SilenceBytes);
                pb.AudioBuf = pb.AudioBuffer1.data();
                pb.AudioBufSilent = true;
                pb.AudioBufSize = SilenceBytes;
            } else {
                if (pb.ShowWave)
                    UpdateSampleRing(pb, pb.AudioBuf, size);
                pb.AudioBufSilent = false;
                pb.AudioBufSize = size;
            }
            pb.AudioBufIndex = 0;
        }
        const int index = pb.AudioBufIndex;
        const int n = std::min(pb.AudioBufSize - index, ALength);
        if (!player.Mute())
            ff::SDL_MixAudioFormat(AStream, pb.AudioBuf + index, AUDIO_S16SYS,
                                   static_cast<Uint32>(n), player.AudioVolume());
        ALength -= n;
        AStream += n;
        pb.AudioBufIndex = index + n;
    }
}

int TPlayerEngine::DecodeAudioFrame(TPlayback& APlayback) {
    TCustomPlayer& player = *APlayback.Owner;
    AVCodecContext* decoder = APlayback.AudioDecoder.get();
    AVFrame* frame = APlayback.AudioFrame.get();
    AVPacket* packet = APlayback.AudioPacket.get();
    const double timeBase = av_q2d(APlayback.AudioStream->time_base);
    for (;;) {
        const int received = ff::avcodec_receive_frame(decoder, frame);
        if (received == 0) {
            // The frame's own time; the decoder may have dropped priming samples before it.
            if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
                APlayback.AudioClock = frame->best_effort_timestamp * timeBase;
            const int size = ConvertAudioFrame(APlayback, frame);
            ff::av_frame_unref(frame);
            if (size <= 0)
                continue;
            const double bytesPerSecond =
                2.0 * APlayback.OutputChannels * APlayback.OutputRate;
            APlayback.AudioClock = APlayback.AudioClock + size / bytesPerSecond;
            return size;
        }
        if (received != AVERROR(EAGAIN) && received != AVERROR_EOF)
            Log(&player, llInfo, "avcodec_decode_audio2() failed");

        if (APlayback.Paused || APlayback.AudioQueue.Aborted())
            return -1;
        if (APlayback.AudioQueue.Get(packet, false) <= 0)
            return -1;
        if (IsFlushPacket(packet)) {
            ff::avcodec_flush_buffers(decoder);
            APlayback.AudioClock = APlayback.SeekedTo / 1e6;
            ff::av_packet_unref(packet);
            continue;
        }
        if (packet->pts != AV_NOPTS_VALUE)
            APlayback.AudioClock = packet->pts * timeBase;
        if (ff::avcodec_send_packet(decoder, packet) < 0)
            Log(&player, llInfo, "avcodec_decode_audio2() failed");
        ff::av_packet_unref(packet);
    }
}

void TPlayerEngine::UpdateSampleRing(TPlayback& APlayback, const uint8_t* AChunk, int ASize) {
    auto* ring = APlayback.SampleRing.get();
    if (!ring)
        return;
    int32_t index = APlayback.SampleRingIndex;
    const int count = ASize / 2;
    for (int i = 0; i < count; ++i) {
        int16_t sample;
        std::memcpy(&sample, AChunk + 2 * i, 2);
        ring[index].store(sample, std::memory_order_relaxed);
        if (++index == SampleRingSize)
            index = 0;
    }
    APlayback.SampleRingIndex = index;
}

double TPlayerEngine::GetAudioClock(const TPlayback& APlayback) {
    double pts = APlayback.AudioClock;
    if (APlayback.AudioStream && !APlayback.AudioBufSilent && APlayback.OutputRate > 0) {
        const int bytesPerSecond = APlayback.OutputRate * 2 * APlayback.OutputChannels;
        const int pending = APlayback.AudioBufSize - APlayback.AudioBufIndex;
        if (pending > 0)
            pts -= double(pending) / bytesPerSecond;
    }
    return pts;
}

double TPlayerEngine::GetVideoClock(const TPlayback& APlayback) {
    double pts = APlayback.CurrentPicturePts;
    if (!APlayback.Paused)
        pts += (ff::av_gettime() - APlayback.CurrentPictureTime) / 1e6;
    return pts;
}

double TPlayerEngine::GetMasterClock(const TPlayback& APlayback) {
    return APlayback.AudioStream ? GetAudioClock(APlayback) : GetVideoClock(APlayback);
}

} // namespace qm
