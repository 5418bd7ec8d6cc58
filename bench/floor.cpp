// bench-floor IN OUT.mpg key=value...
//
// The floor of the benchmark: the decode -> scale -> encode -> mux work of one DVD conversion as
// one straight loop over the media libraries, with the settings the engine's dvd target gives,
// and nothing else. What the engine takes above this is its own cost.
//
// keys: size=WxH (the picture inside the frame), pad=TOP:BOTTOM:LEFT:RIGHT, rate=N[/D],
//       vb=BITS, ab=BITS, aspect=N:D (of the whole frame), norm=pal|ntsc, threads=N
//       (0: one per processor, as the engine's "threads" option), decoder-threads=N (the
//       video decoder's; by default the engine's count for "threads": one less than threads
//       when that is more than one, since the engine then encodes on a thread of its own).
// Prints "frames=N audio_frames=M" at the end.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

// What the engine's dvd target sets besides the preset's rates (Src/Engine/Targets.cpp), and
// the engine's defaults for the rest.
constexpr int64_t MaxRate = 9000000;
constexpr int BufferSize = 1835008;
constexpr int PacketSize = 2048;
constexpr int64_t MuxRate = 10080000;
constexpr int64_t MuxPreloadUs = 500000;
constexpr int MuxMaxDelayUs = 700000;
constexpr int ScalerFlags = SWS_BICUBIC;
constexpr int SampleRate = 48000;

// One owner per library object, freed by the library's own function.
template <typename T, void (*Free)(T**)> struct FreeBy {
    void operator()(T* p) const { Free(&p); }
};
void CloseOutput(AVFormatContext** AContext) {
    if ((*AContext)->pb)
        avio_closep(&(*AContext)->pb);
    avformat_free_context(*AContext);
}
void FreeScaler(SwsContext** AContext) {
    sws_freeContext(*AContext);
}
void FreeFifo(AVAudioFifo** AFifo) {
    av_audio_fifo_free(*AFifo);
}
void FreeSamples(uint8_t** ABuffer) {
    av_freep(ABuffer);
}

using TInputPtr = std::unique_ptr<AVFormatContext, FreeBy<AVFormatContext, avformat_close_input>>;
using TOutputPtr = std::unique_ptr<AVFormatContext, FreeBy<AVFormatContext, CloseOutput>>;
using TCodecPtr = std::unique_ptr<AVCodecContext, FreeBy<AVCodecContext, avcodec_free_context>>;
using TFramePtr = std::unique_ptr<AVFrame, FreeBy<AVFrame, av_frame_free>>;
using TPacketPtr = std::unique_ptr<AVPacket, FreeBy<AVPacket, av_packet_free>>;
using TScalerPtr = std::unique_ptr<SwsContext, FreeBy<SwsContext, FreeScaler>>;
using TResamplerPtr = std::unique_ptr<SwrContext, FreeBy<SwrContext, swr_free>>;
using TFifoPtr = std::unique_ptr<AVAudioFifo, FreeBy<AVAudioFifo, FreeFifo>>;
using TSamplesPtr = std::unique_ptr<uint8_t, FreeBy<uint8_t, FreeSamples>>;

int Check(int ARet, const char* AWhat) {
    if (ARet < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(ARet, text, sizeof text);
        throw std::runtime_error(std::string(AWhat) + ": " + text);
    }
    return ARet;
}

template <typename T> T* Made(T* APointer, const char* AWhat) {
    if (!APointer)
        throw std::runtime_error(std::string("cannot allocate ") + AWhat);
    return APointer;
}

struct TSettings {
    int Width = 720, Height = 576;
    int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
    AVRational Rate{25, 1};
    int64_t VideoBitRate = 9000000;
    int64_t AudioBitRate = 256000;
    AVRational Aspect{16, 9};
    int Gop = 15;
    int Threads = 1;
    int DecoderThreads = -1; // -1: as the engine gives its video decoder for Threads
};

TSettings ParseSettings(int argc, char** argv) {
    std::map<std::string, std::string> kv;
    for (int i = 3; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (!eq)
            throw std::runtime_error(std::string("expected key=value, got ") + argv[i]);
        kv[std::string(argv[i], static_cast<size_t>(eq - argv[i]))] = eq + 1;
    }
    TSettings s;
    auto take = [&kv](const char* AKey) {
        auto it = kv.find(AKey);
        std::string v = it == kv.end() ? std::string() : it->second;
        if (it != kv.end())
            kv.erase(it);
        return v;
    };
    auto bad = [](const char* AKey, const std::string& AValue) {
        return std::runtime_error(std::string(AKey) + "=" + AValue + " is not valid");
    };
    if (std::string v = take("size");
        !v.empty() && av_parse_video_size(&s.Width, &s.Height, v.c_str()) < 0)
        throw bad("size", v);
    if (std::string v = take("pad");
        !v.empty() && std::sscanf(v.c_str(), "%d:%d:%d:%d", &s.PadTop, &s.PadBottom, &s.PadLeft,
                                  &s.PadRight) != 4)
        throw bad("pad", v);
    if (std::string v = take("rate"); !v.empty() && av_parse_video_rate(&s.Rate, v.c_str()) < 0)
        throw bad("rate", v);
    if (std::string v = take("vb"); !v.empty())
        s.VideoBitRate = std::stoll(v);
    if (std::string v = take("ab"); !v.empty())
        s.AudioBitRate = std::stoll(v);
    if (std::string v = take("aspect");
        !v.empty() && std::sscanf(v.c_str(), "%d:%d", &s.Aspect.num, &s.Aspect.den) != 2)
        throw bad("aspect", v);
    if (std::string v = take("norm"); !v.empty()) {
        if (v != "pal" && v != "ntsc")
            throw bad("norm", v);
        s.Gop = v == "pal" ? 15 : 18;
    }
    const auto threads = [](const std::string& AValue) {
        const int n = std::stoi(AValue);
        return n > 0 ? n : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    };
    if (std::string v = take("threads"); !v.empty())
        s.Threads = threads(v);
    if (std::string v = take("decoder-threads"); !v.empty())
        s.DecoderThreads = threads(v);
    if (s.DecoderThreads < 0)
        s.DecoderThreads = s.Threads > 1 ? s.Threads - 1 : 1;
    if (!kv.empty())
        throw std::runtime_error("unknown key " + kv.begin()->first);
    return s;
}

TCodecPtr OpenDecoder(AVStream* AStream, int AThreads) {
    const AVCodec* codec = Made(avcodec_find_decoder(AStream->codecpar->codec_id), "a decoder");
    TCodecPtr c(Made(avcodec_alloc_context3(codec), "a decoder"));
    Check(avcodec_parameters_to_context(c.get(), AStream->codecpar), "decoder parameters");
    c->pkt_timebase = AStream->time_base;
    c->thread_count = AThreads;
    Check(avcodec_open2(c.get(), codec, nullptr), "opening the decoder");
    return c;
}

class TFloor {
public:
    TFloor(const char* AIn, const char* AOut, const TSettings& ASettings) : S(ASettings) {
        OpenInput(AIn);
        OpenOutput(AOut);
    }

    void Run() {
        TPacketPtr packet(Made(av_packet_alloc(), "a packet"));
        while (av_read_frame(In.get(), packet.get()) >= 0) {
            if (packet->stream_index == VideoIndex)
                Decode(VideoDecoder.get(), packet.get(), &TFloor::VideoFrame);
            else if (packet->stream_index == AudioIndex)
                Decode(AudioDecoder.get(), packet.get(), &TFloor::Resample);
            av_packet_unref(packet.get());
        }
        Decode(VideoDecoder.get(), nullptr, &TFloor::VideoFrame);
        FillToInputEnd();
        if (AudioDecoder)
            Decode(AudioDecoder.get(), nullptr, &TFloor::Resample);
        if (AudioEncoder) {
            EncodeAudioFifo(true);
            Encode(AudioEncoder.get(), AudioStream, nullptr);
        }
        Encode(VideoEncoder.get(), VideoStream, nullptr);
        Check(av_write_trailer(Out.get()), "writing the trailer");
        std::printf("frames=%lld audio_frames=%lld\n", static_cast<long long>(VideoPts),
                    static_cast<long long>(AudioFrames));
    }

private:
    void OpenInput(const char* AIn) {
        AVFormatContext* ic = nullptr;
        Check(avformat_open_input(&ic, AIn, nullptr, nullptr), AIn);
        In.reset(ic);
        Check(avformat_find_stream_info(ic, nullptr), "reading the stream facts");
        VideoIndex =
            Check(av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0), "no video");
        AudioIndex = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        VideoDecoder = OpenDecoder(ic->streams[VideoIndex], S.DecoderThreads);
        if (AudioIndex >= 0)
            AudioDecoder = OpenDecoder(ic->streams[AudioIndex], S.Threads);
        StartSeconds = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time / double(AV_TIME_BASE);
    }

    void OpenOutput(const char* AOut) {
        AVFormatContext* oc = nullptr;
        Check(avformat_alloc_output_context2(&oc, nullptr, "dvd", AOut), "the dvd muxer");
        Out.reset(oc);

        const AVCodec* mpeg2 = Made(avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO), "mpeg2video");
        VideoEncoder.reset(Made(avcodec_alloc_context3(mpeg2), "the video encoder"));
        AVCodecContext* v = VideoEncoder.get();
        AVRational rate = S.Rate;
        if (mpeg2->supported_framerates)
            rate = mpeg2->supported_framerates[av_find_nearest_q_idx(rate,
                                                                     mpeg2->supported_framerates)];
        v->width = S.Width + S.PadLeft + S.PadRight;
        v->height = S.Height + S.PadTop + S.PadBottom;
        v->pix_fmt = AV_PIX_FMT_YUV420P;
        v->time_base = av_inv_q(rate);
        v->framerate = rate;
        v->sample_aspect_ratio = av_d2q(av_q2d(S.Aspect) * v->height / v->width, 255);
        v->bit_rate = S.VideoBitRate;
        v->rc_max_rate = MaxRate;
        v->rc_min_rate = 0;
        v->rc_buffer_size = BufferSize;
        v->rc_initial_buffer_occupancy = BufferSize * 3 / 4;
        v->gop_size = S.Gop;
        v->thread_count = S.Threads;
        Check(avcodec_open2(v, mpeg2, nullptr), "opening mpeg2video");
        VideoStream = AddStream(v);

        if (AudioDecoder) {
            const AVCodec* mp2 = Made(avcodec_find_encoder(AV_CODEC_ID_MP2), "mp2");
            AudioEncoder.reset(Made(avcodec_alloc_context3(mp2), "the audio encoder"));
            AVCodecContext* a = AudioEncoder.get();
            a->sample_fmt = AV_SAMPLE_FMT_S16;
            a->sample_rate = SampleRate;
            av_channel_layout_default(&a->ch_layout, 2);
            a->bit_rate = S.AudioBitRate;
            a->time_base = AVRational{1, SampleRate};
            a->thread_count = S.Threads;
            Check(avcodec_open2(a, mp2, nullptr), "opening mp2");
            AudioStream = AddStream(a);
            AudioFrame.reset(Made(av_frame_alloc(), "an audio frame"));
            AudioFrame->format = a->sample_fmt;
            AudioFrame->sample_rate = SampleRate;
            AudioFrame->nb_samples = a->frame_size;
            Check(av_channel_layout_copy(&AudioFrame->ch_layout, &a->ch_layout), "the layout");
            Check(av_frame_get_buffer(AudioFrame.get(), 0), "an audio frame");
            Fifo.reset(Made(av_audio_fifo_alloc(a->sample_fmt, 2, a->frame_size), "the FIFO"));
        }

        Check(avio_open(&oc->pb, AOut, AVIO_FLAG_WRITE), AOut);
        oc->packet_size = PacketSize;
        oc->max_delay = MuxMaxDelayUs;
        AVDictionary* options = nullptr;
        av_dict_set_int(&options, "muxrate", MuxRate, 0);
        av_dict_set_int(&options, "preload", MuxPreloadUs, 0);
        const int written = avformat_write_header(oc, &options);
        av_dict_free(&options);
        Check(written, "writing the header");

        Picture.reset(Made(av_frame_alloc(), "a picture"));
        Picture->format = v->pix_fmt;
        Picture->width = v->width;
        Picture->height = v->height;
        Check(av_frame_get_buffer(Picture.get(), 0), "a picture");
    }

    AVStream* AddStream(AVCodecContext* AEncoder) {
        AVStream* st = Made(avformat_new_stream(Out.get(), nullptr), "a stream");
        st->time_base = AEncoder->time_base;
        Check(avcodec_parameters_from_context(st->codecpar, AEncoder), "stream parameters");
        // The muxer sizes its buffers from the encoder's VBV facts, as with the engine.
        for (int i = 0; i < AEncoder->nb_coded_side_data; ++i) {
            const AVPacketSideData& sd = AEncoder->coded_side_data[i];
            if (uint8_t* dst = av_stream_new_side_data(st, sd.type, sd.size))
                std::memcpy(dst, sd.data, sd.size);
        }
        return st;
    }

    void Encode(AVCodecContext* AEncoder, AVStream* AStream, const AVFrame* AFrame) {
        Check(avcodec_send_frame(AEncoder, AFrame), "encoding");
        for (;;) {
            const int ret = avcodec_receive_packet(AEncoder, OutPacket.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
                return;
            Check(ret, "encoding");
            av_packet_rescale_ts(OutPacket.get(), AEncoder->time_base, AStream->time_base);
            OutPacket->stream_index = AStream->index;
            Check(av_interleaved_write_frame(Out.get(), OutPacket.get()), "writing a packet");
        }
    }

    // Sends APacket (null at the end) and hands each frame that comes out to AHandle.
    void Decode(AVCodecContext* ADecoder, const AVPacket* APacket,
                void (TFloor::*AHandle)(const AVFrame&)) {
        Check(avcodec_send_packet(ADecoder, APacket), "decoding");
        while (avcodec_receive_frame(ADecoder, Decoded.get()) >= 0) {
            (this->*AHandle)(*Decoded);
            av_frame_unref(Decoded.get());
        }
    }

    // Constant frame rate as the engine keeps it: a frame more than 1.1 frames late is
    // dropped, one more than 1.1 frames early is repeated.
    void VideoFrame(const AVFrame& AFrame) {
        const AVRational tb = In->streams[VideoIndex]->time_base;
        const int64_t ts = AFrame.best_effort_timestamp;
        const double seconds = ts == AV_NOPTS_VALUE ? VideoPts * av_q2d(VideoEncoder->time_base)
                                                    : ts * av_q2d(tb) - StartSeconds;
        const double duration =
            AFrame.pkt_duration > 0
                ? AFrame.pkt_duration * av_q2d(tb)
                : 1 / av_q2d(av_guess_frame_rate(In.get(), In->streams[VideoIndex], nullptr));
        InputEndSeconds = seconds + duration;
        const double delta = seconds / av_q2d(VideoEncoder->time_base) - double(VideoPts);
        int64_t copies = 1;
        if (delta < -1.1)
            copies = 0;
        else if (delta > 1.1)
            copies = std::llrint(delta);
        if (copies == 0)
            return;
        ScalePicture(AFrame);
        for (int64_t i = 0; i < copies; ++i) {
            Picture->pts = VideoPts++;
            Encode(VideoEncoder.get(), VideoStream, Picture.get());
        }
    }

    // The last picture lasts until the input's end, as in the engine: a converted frame rate
    // would otherwise lose the last picture's extra copies.
    void FillToInputEnd() {
        const int64_t end = std::llrint(InputEndSeconds / av_q2d(VideoEncoder->time_base));
        while (VideoPts > 0 && VideoPts + 1 <= end) {
            Picture->pts = VideoPts++;
            Encode(VideoEncoder.get(), VideoStream, Picture.get());
        }
    }

    void ScalePicture(const AVFrame& AFrame) {
        // The encoder may still hold the last picture.
        Check(av_frame_make_writable(Picture.get()), "a picture");
        Scaler.reset(sws_getCachedContext(Scaler.release(), AFrame.width, AFrame.height,
                                          static_cast<AVPixelFormat>(AFrame.format), S.Width,
                                          S.Height, AV_PIX_FMT_YUV420P, ScalerFlags, nullptr,
                                          nullptr, nullptr));
        Made(Scaler.get(), "the scaler");
        uint8_t* dst[4] = {};
        for (int p = 0; p < 3; ++p) {
            const int shift = p ? 1 : 0;
            dst[p] = Picture->data[p] + (S.PadTop >> shift) * Picture->linesize[p] +
                     (S.PadLeft >> shift);
        }
        sws_scale(Scaler.get(), AFrame.data, AFrame.linesize, 0, AFrame.height, dst,
                  Picture->linesize);
        // Video black in the bars.
        const uint8_t black[3] = {16, 128, 128};
        for (int p = 0; p < 3 && (S.PadTop | S.PadBottom | S.PadLeft | S.PadRight); ++p) {
            const int shift = p ? 1 : 0;
            const int w = Picture->width >> shift, h = Picture->height >> shift;
            const int top = S.PadTop >> shift, bottom = S.PadBottom >> shift;
            const int left = S.PadLeft >> shift, right = S.PadRight >> shift;
            for (int y = 0; y < h; ++y) {
                uint8_t* row = Picture->data[p] + y * Picture->linesize[p];
                if (y < top || y >= h - bottom) {
                    std::memset(row, black[p], w);
                } else {
                    std::memset(row, black[p], left);
                    std::memset(row + w - right, black[p], right);
                }
            }
        }
    }

    void Resample(const AVFrame& AFrame) {
        if (!Resampler) {
            SwrContext* swr = nullptr;
            Check(swr_alloc_set_opts2(&swr, &AudioEncoder->ch_layout, AudioEncoder->sample_fmt,
                                      SampleRate, const_cast<AVChannelLayout*>(&AFrame.ch_layout),
                                      static_cast<AVSampleFormat>(AFrame.format),
                                      AFrame.sample_rate, 0, nullptr),
                  "the resampler");
            Resampler.reset(swr);
            Check(swr_init(swr), "the resampler");
        }
        const int room = swr_get_out_samples(Resampler.get(), AFrame.nb_samples);
        if (room > SampleRoom) {
            uint8_t* buffer = nullptr;
            Check(av_samples_alloc(&buffer, nullptr, 2, room, AudioEncoder->sample_fmt, 0),
                  "samples");
            Samples.reset(buffer);
            SampleRoom = room;
        }
        uint8_t* out[1] = {Samples.get()};
        const int made =
            Check(swr_convert(Resampler.get(), out, room,
                              const_cast<const uint8_t**>(AFrame.extended_data), AFrame.nb_samples),
                  "resampling");
        Check(av_audio_fifo_write(Fifo.get(), reinterpret_cast<void**>(out), made), "the FIFO");
        EncodeAudioFifo(false);
    }

    // Whole encoder frames; the last one is filled up with silence.
    void EncodeAudioFifo(bool AFinal) {
        const int frameSize = AudioEncoder->frame_size;
        for (;;) {
            const int available = av_audio_fifo_size(Fifo.get());
            if (available <= 0 || (available < frameSize && !AFinal))
                return;
            Check(av_frame_make_writable(AudioFrame.get()), "an audio frame");
            const int take = std::min(available, frameSize);
            if (take < frameSize)
                av_samples_set_silence(AudioFrame->extended_data, take, frameSize - take, 2,
                                       AudioEncoder->sample_fmt);
            av_audio_fifo_read(Fifo.get(), reinterpret_cast<void**>(AudioFrame->extended_data),
                               take);
            AudioFrame->pts = AudioPts;
            AudioPts += frameSize;
            ++AudioFrames;
            Encode(AudioEncoder.get(), AudioStream, AudioFrame.get());
        }
    }

    const TSettings S;
    TInputPtr In;
    TOutputPtr Out;
    int VideoIndex = -1, AudioIndex = -1;
    double StartSeconds = 0, InputEndSeconds = 0;
    TCodecPtr VideoDecoder, AudioDecoder, VideoEncoder, AudioEncoder;
    AVStream* VideoStream = nullptr;
    AVStream* AudioStream = nullptr;
    TFramePtr Decoded{Made(av_frame_alloc(), "a frame")};
    TFramePtr Picture, AudioFrame;
    TPacketPtr OutPacket{Made(av_packet_alloc(), "a packet")};
    TScalerPtr Scaler;
    TResamplerPtr Resampler;
    TFifoPtr Fifo;
    TSamplesPtr Samples;
    int SampleRoom = 0;
    int64_t VideoPts = 0, AudioPts = 0, AudioFrames = 0;
};

} // namespace

int main(int argc, char** argv) {
    // "--help" also serves the benchmark as the program's start-up alone.
    const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
    if (argc < 3) {
        std::fputs("usage: bench-floor IN OUT.mpg [size=WxH pad=T:B:L:R rate=R vb=BITS ab=BITS "
                   "aspect=N:D norm=pal|ntsc threads=N decoder-threads=N]\n",
                   help ? stdout : stderr);
        return help ? 0 : 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    try {
        const TSettings settings = ParseSettings(argc, argv);
        TFloor floor(argv[1], argv[2], settings);
        floor.Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-floor: %s\n", e.what());
        return 1;
    }
    return 0;
}
