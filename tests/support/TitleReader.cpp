#include "TitleReader.h"

#include <cmath>
#include <memory>

#include "FrameNumber.h"
#include "LibavPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace qm::fixtures {

namespace {

std::string Reason(int ACode) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(ACode, text, sizeof text);
    return text;
}

CodecPtr OpenDecoder(const AVStream* AStream, std::string& AError) {
    const AVCodec* codec = avcodec_find_decoder(AStream->codecpar->codec_id);
    CodecPtr dec(avcodec_alloc_context3(codec));
    int ret = dec ? avcodec_parameters_to_context(dec.get(), AStream->codecpar) : AVERROR(ENOMEM);
    if (ret >= 0) {
        dec->pkt_timebase = AStream->time_base;
        dec->thread_count = 1;
        ret = avcodec_open2(dec.get(), codec, nullptr);
    }
    if (ret < 0) {
        AError = std::string("cannot open the decoder of ") + avcodec_get_name(AStream->codecpar->codec_id) +
                 ": " + Reason(ret);
        return nullptr;
    }
    return dec;
}

// Samples of the first channel above a quarter of full scale after 0.3 s of quiet.
class TClickFinder {
public:
    void Take(const AVFrame& AFrame, double AStart, std::vector<double>& AOnsets) {
        const int step = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(AFrame.format))
                             ? 1
                             : AFrame.ch_layout.nb_channels;
        for (int i = 0; i < AFrame.nb_samples; ++i) {
            if (std::fabs(Sample(AFrame, i * step)) > 0.25) {
                const double t = AStart + double(i) / AFrame.sample_rate;
                if (t - FLastLoud > 0.3)
                    AOnsets.push_back(t);
                FLastLoud = t;
            }
        }
    }

private:
    static double Sample(const AVFrame& AFrame, int AIndex) {
        switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(AFrame.format))) {
        case AV_SAMPLE_FMT_S16:
            return reinterpret_cast<const int16_t*>(AFrame.extended_data[0])[AIndex] / 32768.0;
        case AV_SAMPLE_FMT_FLT:
            return reinterpret_cast<const float*>(AFrame.extended_data[0])[AIndex];
        default:
            return 0;
        }
    }
    double FLastLoud = -1.0;
};

} // namespace

bool ReadTitle(const std::string& APath, TTitleContents& AContents, std::string& AError) {
    AVFormatContext* raw = nullptr;
    int ret = avformat_open_input(&raw, APath.c_str(), nullptr, nullptr);
    InputPtr in(raw);
    if (ret >= 0)
        ret = avformat_find_stream_info(in.get(), nullptr);
    if (ret < 0) {
        AError = "cannot read " + APath + ": " + Reason(ret);
        return false;
    }
    const int vi = av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int ai = av_find_best_stream(in.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (vi < 0) {
        AError = APath + " has no picture";
        return false;
    }
    CodecPtr video = OpenDecoder(in->streams[vi], AError);
    CodecPtr audio = ai >= 0 ? OpenDecoder(in->streams[ai], AError) : nullptr;
    if (!video || (ai >= 0 && !audio))
        return false;
    const AVRational rate = av_guess_frame_rate(in.get(), in->streams[vi], nullptr);
    AContents.FrameDuration = rate.num ? av_q2d(av_inv_q(rate)) : 0;

    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    double firstPicture = NAN, firstSample = NAN;
    int64_t samples = 0;
    int sampleRate = 0;
    std::vector<double> onsets; // from the start of the file's time line
    TClickFinder clicks;
    auto receive = [&](AVCodecContext* ADecoder, const AVStream* AStream) {
        while (avcodec_receive_frame(ADecoder, frame.get()) >= 0) {
            const double at = frame->best_effort_timestamp == AV_NOPTS_VALUE
                                  ? NAN
                                  : frame->best_effort_timestamp * av_q2d(AStream->time_base);
            if (ADecoder == video.get()) {
                if (std::isnan(firstPicture))
                    firstPicture = at;
                AContents.Numbers.push_back(
                    ReadFrameNumber(frame->data[0], frame->linesize[0], frame->width, frame->height));
            } else {
                if (std::isnan(firstSample))
                    firstSample = at;
                clicks.Take(*frame, firstSample + double(samples) / frame->sample_rate, onsets);
                samples += frame->nb_samples;
                sampleRate = frame->sample_rate;
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(in.get(), packet.get()) >= 0) {
        AVCodecContext* dec = packet->stream_index == vi   ? video.get()
                              : packet->stream_index == ai ? audio.get()
                                                           : nullptr;
        if (dec && avcodec_send_packet(dec, packet.get()) >= 0)
            receive(dec, in->streams[packet->stream_index]);
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(video.get(), nullptr);
    receive(video.get(), in->streams[vi]);
    if (audio) {
        avcodec_send_packet(audio.get(), nullptr);
        receive(audio.get(), in->streams[ai]);
    }
    AContents.PictureSeconds = double(AContents.Numbers.size()) * AContents.FrameDuration;
    AContents.SoundSeconds = sampleRate ? double(samples) / sampleRate : 0;
    AContents.SoundStart = std::isnan(firstSample) ? 0 : firstSample - firstPicture;
    for (double t : onsets)
        AContents.ClickOnsets.push_back(t - firstPicture);
    return true;
}

std::vector<int> DistinctNumbers(const std::vector<int>& ANumbers) {
    std::vector<int> distinct;
    for (int n : ANumbers)
        if (distinct.empty() || distinct.back() != n)
            distinct.push_back(n);
    return distinct;
}

} // namespace qm::fixtures
