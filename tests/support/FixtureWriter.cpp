#include "FixtureWriter.h"
#include "FrameNumber.h"
#include "LibavPtr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace qm::fixtures {
namespace {

struct OutputFormatDeleter {
    void operator()(AVFormatContext* ctx) const {
        if (ctx->pb && !(ctx->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&ctx->pb);
        }
        avformat_free_context(ctx);
    }
};
struct SwrDeleter {
    void operator()(SwrContext* ctx) const { swr_free(&ctx); }
};
struct SubtitleDeleter {
    void operator()(AVSubtitle* sub) const {
        avsubtitle_free(sub);
        delete sub;
    }
};

using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using SubtitlePtr = std::unique_ptr<AVSubtitle, SubtitleDeleter>;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string AvErr(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

void Check(int ret, const std::string& what) {
    if (ret < 0) {
        throw Failure(what + ": " + AvErr(ret));
    }
}

template <typename T> T* CheckAlloc(T* p, const char* what) {
    if (!p) {
        throw Failure(std::string("out of memory allocating ") + what);
    }
    return p;
}

const AVCodec* FindEncoder(const std::string& name, AVMediaType type) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec) {
        throw Failure("encoder '" + name + "' is not available in this libavcodec");
    }
    if (codec->type != type) {
        throw Failure("encoder '" + name + "' is not a " + av_get_media_type_string(type) +
                      " encoder");
    }
    return codec;
}

CodecPtr NewEncoder(const AVCodec* codec, const AVFormatContext* oc) {
    CodecPtr enc(CheckAlloc(avcodec_alloc_context3(codec), "encoder context"));
    enc->thread_count = 1; // threaded encoders are not bit-exact from run to run
    enc->flags |= AV_CODEC_FLAG_BITEXACT;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    return enc;
}

AVStream* NewStream(AVFormatContext* oc, const AVCodecContext* enc) {
    AVStream* st = CheckAlloc(avformat_new_stream(oc, nullptr), "stream");
    st->time_base = enc->time_base;
    Check(avcodec_parameters_from_context(st->codecpar, enc), "copying encoder parameters");
    return st;
}

// Encoders read past the visible picture (and converters past the data); zeroed padding keeps
// the output the same from run to run.
void ZeroBuffers(AVFrame* frame) {
    for (AVBufferRef* buf : frame->buf) {
        if (buf) {
            std::memset(buf->data, 0, buf->size);
        }
    }
}

void AllocBuffers(AVFrame* frame, const char* what) {
    Check(av_frame_get_buffer(frame, 0), std::string("allocating ") + what);
    ZeroBuffers(frame);
}

// The encoder may still hold the previous frame; then it gets a fresh buffer to draw into.
void MakeWritable(AVFrame* frame) {
    if (!av_frame_is_writable(frame)) {
        Check(av_frame_make_writable(frame), "making a frame writable");
        ZeroBuffers(frame);
    }
}

// Sends one frame (or the flush request when frame is null) and writes every packet it yields.
// `shift` (in the encoder's time base) is added to every packet's timestamps.
void EncodeAndWrite(AVFormatContext* oc, AVCodecContext* enc, AVStream* st, AVPacket* pkt,
                    const AVFrame* frame, int64_t shift = 0) {
    const std::string name = enc->codec->name;
    Check(avcodec_send_frame(enc, frame), "encoding with " + name);
    for (;;) {
        int ret = avcodec_receive_packet(enc, pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return;
        }
        Check(ret, "encoding with " + name);
        if (pkt->pts != AV_NOPTS_VALUE) {
            pkt->pts += shift;
        }
        if (pkt->dts != AV_NOPTS_VALUE) {
            pkt->dts += shift;
        }
        av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
        pkt->stream_index = st->index;
        Check(av_interleaved_write_frame(oc, pkt), "writing a " + name + " packet");
    }
}

// ---- pictures -------------------------------------------------------------------------------

struct Rgb {
    uint8_t r, g, b;
};

// An RGB24 picture in a library frame, so that its rows are aligned and padded the way the
// converter's vector code expects.
class Canvas {
public:
    Canvas(int w, int h) : w_(w), h_(h), frame_(CheckAlloc(av_frame_alloc(), "picture")) {
        frame_->format = AV_PIX_FMT_RGB24;
        frame_->width = w;
        frame_->height = h;
        AllocBuffers(frame_.get(), "a picture");
    }

    void Fill(int x0, int y0, int x1, int y1, Rgb c) {
        x0 = std::clamp(x0, 0, w_);
        x1 = std::clamp(x1, 0, w_);
        y0 = std::clamp(y0, 0, h_);
        y1 = std::clamp(y1, 0, h_);
        for (int y = y0; y < y1; ++y) {
            uint8_t* p = frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0] + x0 * 3;
            for (int x = x0; x < x1; ++x, p += 3) {
                p[0] = c.r;
                p[1] = c.g;
                p[2] = c.b;
            }
        }
    }
    void FillAll(Rgb c) { Fill(0, 0, w_, h_, c); }
    uint8_t* Row(int y) { return frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0]; }
    const uint8_t* Row(int y) const { return frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0]; }
    void CopyFrom(const Canvas& other) {
        Check(av_frame_copy(frame_.get(), other.frame_.get()), "copying a picture");
    }

    const AVFrame* Frame() const { return frame_.get(); }

private:
    int w_, h_;
    FramePtr frame_;
};

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

class PictureSource {
public:
    PictureSource(const ClipSettings& settings)
        : settings_(settings), w_(settings.width), h_(settings.height), background_(w_, h_), canvas_(w_, h_) {
        switch (settings.videoPattern) {
        case VideoPattern::Moving: {
            static constexpr Rgb bars[] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                           {0, 191, 0},     {191, 0, 191}, {191, 0, 0},
                                           {0, 0, 191}};
            background_.FillAll({16, 16, 16});
            for (int k = 0; k < 7; ++k) {
                background_.Fill(k * w_ / 7, 0, (k + 1) * w_ / 7, BarsHeight(), bars[k]);
            }
            break;
        }
        case VideoPattern::KnownLayout: {
            const int b = KnownBorderWidth;
            const int s = KnownSquareSide(w_, h_);
            const int x = KnownSquareOriginX(w_);
            const int y = KnownSquareOriginY(h_);
            background_.FillAll({255, 0, 0});
            background_.Fill(b, b, w_ - b, h_ - b, {128, 128, 128});
            background_.Fill(x, y, x + s, y + s, kWhite);
            break;
        }
        case VideoPattern::FlashEverySecond:
        case VideoPattern::Numbered:
            break;
        case VideoPattern::Grain:
            DrawZonePlate();
            break;
        case VideoPattern::FieldLines:
            for (int y = 0; y < h_; ++y)
                background_.Fill(0, y, w_, y + 1, y % 2 ? kBlack : kWhite);
            break;
        }
    }

    const Canvas& Draw(int64_t index) {
        switch (settings_.videoPattern) {
        case VideoPattern::Moving:
            DrawMoving(index);
            return canvas_;
        case VideoPattern::KnownLayout:
            return background_;
        case VideoPattern::FlashEverySecond:
            canvas_.FillAll(IsFlash(index) ? kWhite : kBlack);
            return canvas_;
        case VideoPattern::Grain:
            DrawGrain(index);
            return canvas_;
        case VideoPattern::Numbered:
            for (int cell = 0; cell <= NumberBits; ++cell) {
                const TCell c = NumberCell(cell, w_, h_);
                canvas_.Fill(c.X0, c.Y0, c.X1, c.Y1, NumberCellOn(index, cell) ? kWhite : kBlack);
            }
            return canvas_;
        case VideoPattern::FieldLines:
            return background_;
        }
        return canvas_;
    }

private:
    int BarsHeight() const { return h_ * 2 / 3; }
    int CounterHeight() const { return std::max(2, (h_ / 12) & ~1); }

    void DrawMoving(int64_t index) {
        canvas_.CopyFrom(background_);
        const int side = std::max(2, (h_ / 6) & ~1);
        const int stripTop = BarsHeight();
        const int stripBottom = h_ - CounterHeight();
        const int y = stripTop + std::max(0, (stripBottom - stripTop - side) / 2);
        const int x = static_cast<int>((index * 4) % std::max(1, w_ - side));
        canvas_.Fill(x, y, x + side, y + side, kWhite);
        for (int bit = 0; bit < 16; ++bit) {
            const bool on = (index >> (15 - bit)) & 1;
            canvas_.Fill(bit * w_ / 16, stripBottom, (bit + 1) * w_ / 16, h_, on ? kWhite : kBlack);
        }
    }

    void DrawZonePlate() {
        const double k = 0.35 * std::numbers::pi / std::hypot(w_ / 2.0, h_ / 2.0);
        for (int y = 0; y < h_; ++y) {
            uint8_t* p = background_.Row(y);
            for (int x = 0; x < w_; ++x, p += 3) {
                const double dx = x - w_ / 2.0, dy = y - h_ / 2.0;
                const double zone = std::sin(k * (dx * dx + dy * dy));
                const double texture = std::sin(0.9 * x) * std::sin(0.7 * y);
                p[0] = static_cast<uint8_t>(128 + 90 * zone);
                p[1] = static_cast<uint8_t>(128 - 70 * zone + 30 * texture);
                p[2] = static_cast<uint8_t>(128 + 60 * texture);
            }
        }
    }

    // An interlaced clip's second field shows the pan half a frame (1 px) further on.
    void DrawGrain(int64_t index) {
        uint32_t state = 0x9E3779B9u ^ static_cast<uint32_t>(index * 2654435761u);
        const bool interlaced = settings_.fieldOrder != FieldOrder::Progressive;
        const int firstParity = settings_.fieldOrder == FieldOrder::BottomFirst ? 1 : 0;
        for (int y = 0; y < h_; ++y) {
            const int later = interlaced && (y & 1) != firstParity ? 1 : 0;
            const int shift = static_cast<int>((index * 2 + later) % w_);
            const uint8_t* from = background_.Row(y);
            uint8_t* to = canvas_.Row(y);
            for (int x = 0; x < w_; ++x) {
                const uint8_t* p = from + ((x + shift) % w_) * 3;
                for (int c = 0; c < 3; ++c) {
                    state ^= state << 13;
                    state ^= state >> 17;
                    state ^= state << 5;
                    const int v = p[c] + static_cast<int>(state & 31) - 16;
                    to[x * 3 + c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
                }
            }
        }
    }

    // Frame i is the first at or after second n when (i-1)/fps < n <= i/fps.
    bool IsFlash(int64_t i) const {
        const int64_t num = settings_.frameRate.num;
        const int64_t den = settings_.frameRate.den;
        const int64_t n = i * den / num; // floor(i / fps)
        return i == 0 || (i - 1) * den < n * num;
    }

    const ClipSettings& settings_;
    int w_, h_;
    Canvas background_;
    Canvas canvas_;
};

// ---- sound ----------------------------------------------------------------------------------

// Sample value at absolute sample index s of the clip's time line.
float SoundAt(const ClipSettings& settings, int64_t s) {
    const int64_t rate = settings.sampleRate;
    if (s < 0 || static_cast<double>(s) >= settings.duration * static_cast<double>(rate)) {
        return 0.0f;
    }
    // Whole seconds hold whole cycles of both tones, so the phase needs only s mod rate.
    const double t = static_cast<double>(s % rate) / static_cast<double>(rate);
    constexpr double twoPi = 2.0 * std::numbers::pi;
    switch (settings.audioPattern) {
    case AudioPattern::Tone:
        return static_cast<float>(ToneAmplitude * std::sin(twoPi * ToneFrequency * t));
    case AudioPattern::ClickEverySecond:
        if (t < ClickSeconds) {
            return static_cast<float>(ClickAmplitude * std::sin(twoPi * ClickFrequency * t));
        }
        return 0.0f;
    case AudioPattern::Silence:
        return 0.0f;
    }
    return 0.0f;
}

// ---- streams --------------------------------------------------------------------------------

class VideoOut {
public:
    VideoOut(const ClipSettings& settings, AVFormatContext* oc) : settings_(settings), pictures_(settings) {
        const AVCodec* codec = FindEncoder(settings.videoCodec, AVMEDIA_TYPE_VIDEO);
        const AVPixelFormat pixFmt = ChoosePixelFormat(codec);
        // libx264 refuses odd sizes in subsampled formats, and leaks when it does: say so first.
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pixFmt);
        if (settings.videoCodec == "libx264" && desc &&
            (((settings.width & 1) && desc->log2_chroma_w) ||
             ((settings.height & 1) && desc->log2_chroma_h))) {
            throw Failure("encoder 'libx264' does not take the odd size " +
                          std::to_string(settings.width) + "x" + std::to_string(settings.height) + " in " +
                          av_get_pix_fmt_name(pixFmt));
        }
        enc_ = NewEncoder(codec, oc);
        enc_->width = settings.width;
        enc_->height = settings.height;
        // A variable rate needs times finer than the frames.
        enc_->time_base = settings.oddFrameShift != 0 ? AVRational{1, 1000} : av_inv_q(settings.frameRate);
        enc_->framerate = settings.frameRate;
        enc_->sample_aspect_ratio = settings.sampleAspect;
        enc_->pix_fmt = pixFmt;
        enc_->gop_size = settings.keyFrameInterval > 0
                             ? settings.keyFrameInterval
                             : std::max(1, static_cast<int>(std::lround(av_q2d(settings.frameRate))));
        if (settings.videoBitRate > 0) {
            enc_->bit_rate = settings.videoBitRate;
        }
        if (settings.fieldOrder != FieldOrder::Progressive) {
            enc_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
            enc_->field_order = settings.fieldOrder == FieldOrder::TopFirst ? AV_FIELD_TT : AV_FIELD_BB;
        }
        if (settings.videoCodec == "libx264") {
            av_opt_set(enc_->priv_data, "preset", "veryfast", 0);
            // Its macroblock-tree pass reads stale memory on some CPUs: the bytes written would
            // vary from one encoder instance to the next.
            av_opt_set(enc_->priv_data, "mbtree", "0", 0);
            // Key frames only where the interval says, not at every change of picture.
            if (settings.keyFrameInterval > 0)
                av_opt_set(enc_->priv_data, "x264-params", "scenecut=0", 0);
        }
        Check(avcodec_open2(enc_.get(), codec, nullptr),
              "opening video encoder '" + settings.videoCodec + "' for " + std::to_string(settings.width) +
                  "x" + std::to_string(settings.height) + " " + av_get_pix_fmt_name(pixFmt));
        st_ = NewStream(oc, enc_.get());
        st_->avg_frame_rate = settings.frameRate;
        st_->sample_aspect_ratio = settings.sampleAspect;

        frame_.reset(CheckAlloc(av_frame_alloc(), "video frame"));
        frame_->format = pixFmt;
        frame_->width = settings.width;
        frame_->height = settings.height;
        frame_->sample_aspect_ratio = settings.sampleAspect;
        frame_->interlaced_frame = settings.fieldOrder != FieldOrder::Progressive;
        frame_->top_field_first = settings.fieldOrder == FieldOrder::TopFirst;
        AllocBuffers(frame_.get(), "a video frame");
        sws_.reset(sws_getContext(settings.width, settings.height, AV_PIX_FMT_RGB24, settings.width,
                                  settings.height, pixFmt, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr,
                                  nullptr, nullptr));
        if (!sws_) {
            throw Failure(std::string("no RGB to ") + av_get_pix_fmt_name(pixFmt) + " converter");
        }
        frameCount_ = std::max<int64_t>(1, std::llround(settings.duration * av_q2d(settings.frameRate)));
    }

    bool Done() const { return next_ >= frameCount_; }
    int64_t NextPts() const { return PtsOf(next_); }
    AVRational TimeBase() const { return enc_->time_base; }

    void EncodeNext(AVFormatContext* oc, AVPacket* pkt) {
        const AVFrame* pic = pictures_.Draw(next_).Frame();
        MakeWritable(frame_.get());
        sws_scale(sws_.get(), pic->data, pic->linesize, 0, settings_.height, frame_->data,
                  frame_->linesize);
        frame_->pts = PtsOf(next_++);
        EncodeAndWrite(oc, enc_.get(), st_, pkt, frame_.get());
    }

    void Flush(AVFormatContext* oc, AVPacket* pkt) {
        EncodeAndWrite(oc, enc_.get(), st_, pkt, nullptr);
    }

private:
    int64_t PtsOf(int64_t index) const {
        return std::llround(FrameTime(settings_, index) / av_q2d(enc_->time_base));
    }

    AVPixelFormat ChoosePixelFormat(const AVCodec* codec) const {
        if (settings_.pixelFormat.empty()) {
            return codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
        }
        const AVPixelFormat want = av_get_pix_fmt(settings_.pixelFormat.c_str());
        if (want == AV_PIX_FMT_NONE) {
            throw Failure("unknown pixel format '" + settings_.pixelFormat + "'");
        }
        if (codec->pix_fmts) {
            for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
                if (*p == want) {
                    return want;
                }
            }
            throw Failure("encoder '" + settings_.videoCodec + "' does not take pixel format " +
                          settings_.pixelFormat);
        }
        return want;
    }

    const ClipSettings& settings_;
    PictureSource pictures_;
    CodecPtr enc_;
    AVStream* st_ = nullptr;
    FramePtr frame_;
    SwsPtr sws_;
    int64_t next_ = 0;
    int64_t frameCount_ = 0;
};

void TagStream(AVStream* st, const std::string& language, bool flagged) {
    if (!language.empty())
        av_dict_set(&st->metadata, "language", language.c_str(), 0);
    if (flagged)
        st->disposition |= AV_DISPOSITION_DEFAULT;
}

class AudioOut {
public:
    AudioOut(const ClipSettings& settings, AVFormatContext* oc, const std::string& language, bool flagged)
        : settings_(settings) {
        const AVCodec* codec = FindEncoder(settings.audioCodec, AVMEDIA_TYPE_AUDIO);
        if (settings.sampleRate <= 0 || settings.channels <= 0) {
            throw Failure("bad sample rate or channel count");
        }
        if (settings.audioStartOffset < 0 || settings.audioStartOffset >= settings.duration) {
            throw Failure("audio start offset must lie within the clip");
        }
        if (codec->supported_samplerates &&
            !Contains(codec->supported_samplerates, settings.sampleRate)) {
            throw Failure("encoder '" + settings.audioCodec + "' does not take " +
                          std::to_string(settings.sampleRate) + " Hz");
        }
        enc_ = NewEncoder(codec, oc);
        enc_->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
        enc_->sample_rate = settings.sampleRate;
        enc_->time_base = {1, settings.sampleRate};
        ChooseLayout(codec, &enc_->ch_layout);
        if (settings.audioBitRate > 0) {
            enc_->bit_rate = settings.audioBitRate;
        }
        Check(avcodec_open2(enc_.get(), codec, nullptr),
              "opening audio encoder '" + settings.audioCodec + "' for " +
                  std::to_string(settings.sampleRate) + " Hz, " + std::to_string(settings.channels) +
                  " channels");
        st_ = NewStream(oc, enc_.get());
        TagStream(st_, language, flagged);
        // AVI counts frames rather than storing times: the muxer's shift of every stream to make
        // room for the encoder's priming samples would leave a hole after the first video frame.
        // Priming starts at time zero instead, as in ordinary AVI files.
        if (std::strcmp(oc->oformat->name, "avi") == 0) {
            shift_ = enc_->initial_padding;
        }

        const bool variable = codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE;
        frameSize_ = (variable || enc_->frame_size <= 0) ? 1024 : enc_->frame_size;
        smallLastFrame_ = variable || (codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);

        frame_.reset(CheckAlloc(av_frame_alloc(), "audio frame"));
        frame_->format = enc_->sample_fmt;
        frame_->sample_rate = enc_->sample_rate;
        frame_->nb_samples = frameSize_;
        Check(av_channel_layout_copy(&frame_->ch_layout, &enc_->ch_layout), "copying layout");
        AllocBuffers(frame_.get(), "an audio frame");

        SwrContext* swr = nullptr;
        Check(swr_alloc_set_opts2(&swr, &enc_->ch_layout, enc_->sample_fmt, enc_->sample_rate,
                                  &enc_->ch_layout, AV_SAMPLE_FMT_FLT, enc_->sample_rate, 0,
                                  nullptr),
              "setting up the resampler");
        swr_.reset(swr);
        Check(swr_init(swr_.get()), "setting up the resampler");

        signal_.resize(static_cast<size_t>(frameSize_) * settings.channels);
        next_ = std::llround(settings.audioStartOffset * settings.sampleRate);
        end_ = std::llround(settings.duration * settings.sampleRate);
    }

    bool Done() const { return next_ >= end_; }
    int64_t NextPts() const { return next_; }
    AVRational TimeBase() const { return enc_->time_base; }

    void EncodeNext(AVFormatContext* oc, AVPacket* pkt) {
        int n = frameSize_;
        if (smallLastFrame_) {
            n = static_cast<int>(std::min<int64_t>(frameSize_, end_ - next_));
        }
        const int channels = settings_.channels;
        for (int i = 0; i < n; ++i) {
            const float v = SoundAt(settings_, next_ + i);
            std::fill_n(&signal_[static_cast<size_t>(i) * channels], channels, v);
        }
        frame_->nb_samples = frameSize_; // the buffer's size, should it need reallocating
        MakeWritable(frame_.get());
        const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(signal_.data())};
        const int got = swr_convert(swr_.get(), frame_->data, n, in, n);
        Check(got, "converting samples");
        if (got != n) {
            throw Failure("sample conversion lost samples");
        }
        frame_->nb_samples = n;
        frame_->pts = next_;
        next_ += n;
        EncodeAndWrite(oc, enc_.get(), st_, pkt, frame_.get(), shift_);
    }

    void Flush(AVFormatContext* oc, AVPacket* pkt) {
        EncodeAndWrite(oc, enc_.get(), st_, pkt, nullptr, shift_);
    }

private:
    template <typename T> static bool Contains(const T* list, T value) {
        for (; *list; ++list) {
            if (*list == value) {
                return true;
            }
        }
        return false;
    }

    // The default layout for the channel count, or the encoder's first one with that count.
    void ChooseLayout(const AVCodec* codec, AVChannelLayout* out) const {
        av_channel_layout_default(out, settings_.channels);
        if (!codec->ch_layouts) {
            return;
        }
        for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l) {
            if (!av_channel_layout_compare(l, out)) {
                return;
            }
        }
        for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l) {
            if (l->nb_channels == settings_.channels) {
                av_channel_layout_uninit(out);
                Check(av_channel_layout_copy(out, l), "copying layout");
                return;
            }
        }
        throw Failure("encoder '" + settings_.audioCodec + "' does not take " +
                      std::to_string(settings_.channels) + " channels");
    }

    const ClipSettings& settings_;
    CodecPtr enc_;
    AVStream* st_ = nullptr;
    FramePtr frame_;
    SwrPtr swr_;
    std::vector<float> signal_;
    int frameSize_ = 0;
    int64_t shift_ = 0;
    bool smallLastFrame_ = false;
    int64_t next_ = 0;
    int64_t end_ = 0;
};

constexpr char kAssHeader[] = "[Script Info]\r\n"
                              "ScriptType: v4.00+\r\n"
                              "PlayResX: 384\r\n"
                              "PlayResY: 288\r\n"
                              "\r\n"
                              "[V4+ Styles]\r\n"
                              "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, "
                              "OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, "
                              "ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, "
                              "Alignment, MarginL, MarginR, MarginV, Encoding\r\n"
                              "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,"
                              "0,0,1,1,0,2,10,10,10,0\r\n"
                              "\r\n"
                              "[Events]\r\n"
                              "Format: Layer, Start, End, Style, Name, MarginL, MarginR, "
                              "MarginV, Effect, Text\r\n";

class SubtitleOut {
public:
    SubtitleOut(const ClipSettings& settings, AVFormatContext* oc, const std::string& encoder,
                const std::string& language)
        : settings_(settings), encoder_(encoder) {
        const AVCodec* codec = FindEncoder(encoder, AVMEDIA_TYPE_SUBTITLE);
        enc_ = NewEncoder(codec, oc);
        enc_->time_base = {1, 1000};
        // Text encoders take the style header; the codec context frees it.
        enc_->subtitle_header =
            reinterpret_cast<uint8_t*>(CheckAlloc(av_strdup(kAssHeader), "subtitle header"));
        enc_->subtitle_header_size = static_cast<int>(std::strlen(kAssHeader));
        Check(avcodec_open2(enc_.get(), codec, nullptr), "opening subtitle encoder '" + encoder + "'");
        st_ = NewStream(oc, enc_.get());
        TagStream(st_, language, false);
        for (const SubtitleCue& cue : StandardCues) {
            if (cue.end <= settings.duration) {
                ++cueCount_;
            }
        }
    }

    // Writes the cues that start no later than `seconds`.
    void WriteUpTo(AVFormatContext* oc, AVPacket* pkt, double seconds) {
        while (next_ < cueCount_ && StandardCues[next_].start <= seconds) {
            Write(oc, pkt, StandardCues[next_], static_cast<int>(next_));
            ++next_;
        }
    }

private:
    void Write(AVFormatContext* oc, AVPacket* pkt, const SubtitleCue& cue, int readOrder) {
        const int64_t startMs = std::llround(cue.start * 1000);
        const int64_t durationMs = std::llround((cue.end - cue.start) * 1000);
        SubtitlePtr sub(new AVSubtitle{});
        sub->format = 1; // text
        sub->end_display_time = static_cast<uint32_t>(durationMs);
        sub->pts = av_rescale_q(startMs, enc_->time_base, AV_TIME_BASE_Q);
        sub->rects = static_cast<AVSubtitleRect**>(
            CheckAlloc(av_mallocz(sizeof(AVSubtitleRect*)), "subtitle"));
        sub->rects[0] =
            static_cast<AVSubtitleRect*>(CheckAlloc(av_mallocz(sizeof(AVSubtitleRect)), "cue"));
        sub->num_rects = 1;
        sub->rects[0]->type = SUBTITLE_ASS;
        sub->rects[0]->ass =
            CheckAlloc(av_asprintf("%d,0,Default,,0,0,0,,%s", readOrder, cue.text), "cue text");

        av_packet_unref(pkt);
        Check(av_new_packet(pkt, 1024), "allocating a subtitle packet");
        const int size = avcodec_encode_subtitle(enc_.get(), pkt->data, pkt->size, sub.get());
        Check(size, "encoding with " + encoder_);
        av_shrink_packet(pkt, size);
        pkt->pts = pkt->dts = startMs;
        pkt->duration = durationMs;
        pkt->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(pkt, enc_->time_base, st_->time_base);
        pkt->stream_index = st_->index;
        Check(av_interleaved_write_frame(oc, pkt), "writing a subtitle packet");
    }

    const ClipSettings& settings_;
    std::string encoder_;
    CodecPtr enc_;
    AVStream* st_ = nullptr;
    size_t cueCount_ = 0;
    size_t next_ = 0;
};

void Write(const ClipSettings& settings, const std::string& path, bool& created) {
    if (settings.videoCodec.empty() && settings.audioCodec.empty()) {
        throw Failure("a clip needs a video or an audio codec");
    }
    if (!(settings.duration > 0)) {
        throw Failure("duration must be positive");
    }
    if (!settings.videoCodec.empty() && (settings.width <= 0 || settings.height <= 0 ||
                                     settings.frameRate.num <= 0 || settings.frameRate.den <= 0)) {
        throw Failure("bad video size or frame rate");
    }
    AVFormatContext* raw = nullptr;
    avformat_alloc_output_context2(&raw, nullptr, settings.format.c_str(), path.c_str());
    if (!raw) {
        throw Failure("muxer '" + settings.format + "' is not available in this libavformat");
    }
    OutputFormatPtr oc(raw);
    oc->flags |= AVFMT_FLAG_BITEXACT; // no dates or random ids: same input, same bytes

    std::unique_ptr<VideoOut> video;
    std::vector<std::unique_ptr<AudioOut>> audios;
    std::vector<std::unique_ptr<SubtitleOut>> subtitles;
    if (!settings.videoCodec.empty()) {
        video = std::make_unique<VideoOut>(settings, oc.get());
    }
    if (!settings.audioCodec.empty()) {
        const std::vector<std::string> languages =
            settings.audioLanguages.empty() ? std::vector<std::string>{""} : settings.audioLanguages;
        for (size_t i = 0; i < languages.size(); ++i)
            audios.push_back(std::make_unique<AudioOut>(settings, oc.get(), languages[i],
                                                        i == 0 && languages.size() > 1));
    }
    auto subtitleTracks = settings.subtitleTracks;
    if (subtitleTracks.empty() && !settings.subtitleCodec.empty())
        subtitleTracks.push_back({settings.subtitleCodec, ""});
    for (const auto& [encoder, language] : subtitleTracks)
        subtitles.push_back(std::make_unique<SubtitleOut>(settings, oc.get(), encoder, language));

    if (!(oc->oformat->flags & AVFMT_NOFILE)) {
        Check(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), "creating " + path);
        created = true;
    }
    Check(avformat_write_header(oc.get(), nullptr), "writing the " + settings.format + " header");

    PacketPtr pkt(CheckAlloc(av_packet_alloc(), "packet"));
    // Produce frames in presentation order across streams so the muxer interleaves evenly.
    for (;;) {
        const bool videoNext = video && !video->Done();
        AudioOut* audio = nullptr; // the sound track furthest behind
        for (const auto& a : audios)
            if (!a->Done() && (!audio || av_compare_ts(a->NextPts(), a->TimeBase(), audio->NextPts(),
                                                      audio->TimeBase()) < 0))
                audio = a.get();
        if (!videoNext && !audio) {
            break;
        }
        bool pickVideo = videoNext;
        if (videoNext && audio) {
            pickVideo = av_compare_ts(video->NextPts(), video->TimeBase(), audio->NextPts(),
                                      audio->TimeBase()) <= 0;
        }
        const double now = pickVideo ? video->NextPts() * av_q2d(video->TimeBase())
                                     : audio->NextPts() * av_q2d(audio->TimeBase());
        for (const auto& s : subtitles) {
            s->WriteUpTo(oc.get(), pkt.get(), now);
        }
        if (pickVideo) {
            video->EncodeNext(oc.get(), pkt.get());
        } else {
            audio->EncodeNext(oc.get(), pkt.get());
        }
    }
    if (video) {
        video->Flush(oc.get(), pkt.get());
    }
    for (const auto& a : audios) {
        a->Flush(oc.get(), pkt.get());
    }
    for (const auto& s : subtitles) {
        s->WriteUpTo(oc.get(), pkt.get(), settings.duration);
    }
    Check(av_write_trailer(oc.get()), "writing the " + settings.format + " trailer");
    if (oc->pb) {
        Check(avio_closep(&oc->pb), "closing " + path);
    }
}

} // namespace

double FrameTime(const ClipSettings& settings, int64_t AIndex) {
    const double regular = static_cast<double>(AIndex) / av_q2d(settings.frameRate);
    return AIndex % 2 ? regular - settings.oddFrameShift : regular;
}

bool WriteClip(const ClipSettings& settings, const std::string& path, std::string& error) {
    bool created = false;
    try {
        Write(settings, path, created);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (created) {
        std::remove(path.c_str());
    }
    return false;
}

} // namespace qm::fixtures
