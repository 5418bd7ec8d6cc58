// bench-quality OUT.mpg SOURCE
//
// How close a converted stream is to its source: both are decoded, the source is scaled
// (bicubic) to the stream's frame and both go through libavfilter's psnr and ssim filters,
// picture by picture in display order. Meant for conversions that keep the source's frame
// rate and fill the whole frame (no bars). Prints
//   psnr_y=DB ssim_y=S frames=N video_bytes=B
// where psnr_y is the PSNR of the mean squared error of the luma over all pictures, ssim_y the
// mean SSIM of the luma, and video_bytes the size of the stream's video packets.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

#include "LibavPtr.h"

namespace {

using qm::fixtures::CodecPtr;
using qm::fixtures::FramePtr;
using qm::fixtures::InputPtr;
using qm::fixtures::PacketPtr;

struct GraphDeleter {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};
struct InOutDeleter {
    void operator()(AVFilterInOut* io) const { avfilter_inout_free(&io); }
};
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphDeleter>;
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutDeleter>;

int Check(int ARet, const std::string& AWhat) {
    if (ARet < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(ARet, text, sizeof text);
        throw std::runtime_error(AWhat + ": " + text);
    }
    return ARet;
}

template <typename T> T* Made(T* APointer, const char* AWhat) {
    if (!APointer)
        throw std::runtime_error(std::string("cannot allocate ") + AWhat);
    return APointer;
}

// One file's video, decoded picture by picture.
class TVideoReader {
public:
    explicit TVideoReader(const char* AFile) : Name(AFile) {
        AVFormatContext* ic = nullptr;
        Check(avformat_open_input(&ic, AFile, nullptr, nullptr), std::string("opening ") + AFile);
        In.reset(ic);
        Check(avformat_find_stream_info(ic, nullptr), std::string("reading ") + AFile);
        const AVCodec* codec = nullptr;
        Index = Check(av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0),
                      std::string("no video in ") + AFile);
        Decoder.reset(Made(avcodec_alloc_context3(codec), "a decoder"));
        Check(avcodec_parameters_to_context(Decoder.get(), ic->streams[Index]->codecpar),
              "decoder parameters");
        Decoder->pkt_timebase = ic->streams[Index]->time_base;
        Decoder->thread_count = 0;
        Check(avcodec_open2(Decoder.get(), codec, nullptr), std::string("decoding ") + AFile);
    }

    // The next picture into AFrame; false at the end.
    bool Next(AVFrame* AFrame) {
        for (;;) {
            const int ret = avcodec_receive_frame(Decoder.get(), AFrame);
            if (ret >= 0)
                return true;
            if (ret == AVERROR_EOF)
                return false;
            if (ret != AVERROR(EAGAIN))
                Check(ret, "decoding " + Name);
            Feed();
        }
    }

    const AVCodecContext& Codec() const { return *Decoder; }
    int64_t VideoBytes = 0;

private:
    void Feed() {
        for (;;) {
            if (av_read_frame(In.get(), Packet.get()) < 0) {
                Check(avcodec_send_packet(Decoder.get(), nullptr), "flushing " + Name);
                return;
            }
            if (Packet->stream_index == Index) {
                VideoBytes += Packet->size;
                const int ret = avcodec_send_packet(Decoder.get(), Packet.get());
                av_packet_unref(Packet.get());
                Check(ret, "decoding " + Name);
                return;
            }
            av_packet_unref(Packet.get());
        }
    }

    std::string Name;
    InputPtr In;
    CodecPtr Decoder;
    PacketPtr Packet{Made(av_packet_alloc(), "a packet")};
    int Index = -1;
};

std::string BufferArgs(const AVCodecContext& ACodec) {
    return "video_size=" + std::to_string(ACodec.width) + "x" + std::to_string(ACodec.height) +
           ":pix_fmt=" + std::to_string(ACodec.pix_fmt) + ":time_base=1/25:pixel_aspect=1/1";
}

// [main] and [ref] scaled to main's frame, compared by psnr then ssim: the pictures that come
// out carry both filters' figures in their metadata.
class TComparison {
public:
    TComparison(const AVCodecContext& AMain, const AVCodecContext& ARef) {
        Graph.reset(Made(avfilter_graph_alloc(), "a filter graph"));
        Check(avfilter_graph_create_filter(&Main, avfilter_get_by_name("buffer"), "main",
                                           BufferArgs(AMain).c_str(), nullptr, Graph.get()),
              "the stream's buffer");
        Check(avfilter_graph_create_filter(&Ref, avfilter_get_by_name("buffer"), "ref",
                                           BufferArgs(ARef).c_str(), nullptr, Graph.get()),
              "the source's buffer");
        Check(avfilter_graph_create_filter(&Sink, avfilter_get_by_name("buffersink"), "out",
                                           nullptr, nullptr, Graph.get()),
              "the sink");
        const std::string size = std::to_string(AMain.width) + ":" + std::to_string(AMain.height);
        const std::string format = av_get_pix_fmt_name(AMain.pix_fmt);
        // psnr passes its first input on; ssim compares that with the second copy of the source.
        const std::string chain =
            "[main]format=" + format + "[m];[ref]scale=" + size + ":flags=bicubic,format=" + format +
            ",split[r1][r2];[m][r1]psnr[p];[p][r2]ssim[out]";
        AVFilterInOut* outputs = Made(avfilter_inout_alloc(), "graph ends");
        AVFilterInOut* second = Made(avfilter_inout_alloc(), "graph ends");
        AVFilterInOut* inputs = Made(avfilter_inout_alloc(), "graph ends");
        outputs->name = av_strdup("main");
        outputs->filter_ctx = Main;
        outputs->next = second;
        second->name = av_strdup("ref");
        second->filter_ctx = Ref;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = Sink;
        InOutPtr ownOutputs(outputs), ownInputs(inputs);
        AVFilterInOut* in = ownInputs.release();
        AVFilterInOut* out = ownOutputs.release();
        const int ret = avfilter_graph_parse_ptr(Graph.get(), chain.c_str(), &in, &out, nullptr);
        ownInputs.reset(in);
        ownOutputs.reset(out);
        Check(ret, "the comparison graph");
        Check(avfilter_graph_config(Graph.get(), nullptr), "configuring the comparison graph");
    }

    // Adds a pair (or ends both inputs with null frames) and takes what comes out.
    void Add(AVFrame* AMain, AVFrame* ARef) {
        Check(av_buffersrc_add_frame(Main, AMain), "comparing");
        Check(av_buffersrc_add_frame(Ref, ARef), "comparing");
        for (;;) {
            const int ret = av_buffersink_get_frame(Sink, Result.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
                return;
            Check(ret, "comparing");
            SumMse += Value("lavfi.psnr.mse.y");
            SumSsim += Value("lavfi.ssim.Y");
            ++Frames;
            av_frame_unref(Result.get());
        }
    }

    double SumMse = 0, SumSsim = 0;
    long long Frames = 0;

private:
    double Value(const char* AKey) const {
        const AVDictionaryEntry* e = av_dict_get(Result->metadata, AKey, nullptr, 0);
        if (!e)
            throw std::runtime_error(std::string("no ") + AKey + " in the compared picture");
        return std::strtod(e->value, nullptr);
    }

    GraphPtr Graph;
    AVFilterContext* Main = nullptr;
    AVFilterContext* Ref = nullptr;
    AVFilterContext* Sink = nullptr;
    FramePtr Result{Made(av_frame_alloc(), "a frame")};
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: bench-quality OUT.mpg SOURCE\n", stderr);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    try {
        TVideoReader stream(argv[1]), source(argv[2]);
        FramePtr a(Made(av_frame_alloc(), "a frame")), b(Made(av_frame_alloc(), "a frame"));
        if (!stream.Next(a.get()) || !source.Next(b.get()))
            throw std::runtime_error("no picture to compare");
        TComparison compare(stream.Codec(), source.Codec());
        // Pictures are paired by their place in display order: the conversion keeps the rate.
        for (int64_t n = 0;; ++n) {
            a->pts = b->pts = n;
            compare.Add(a.get(), b.get());
            if (!stream.Next(a.get()) || !source.Next(b.get()))
                break;
        }
        compare.Add(nullptr, nullptr);
        while (stream.Next(a.get()))
            av_frame_unref(a.get());
        if (compare.Frames == 0)
            throw std::runtime_error("no picture compared");
        const double mse = compare.SumMse / compare.Frames;
        std::printf("psnr_y=%.2f ssim_y=%.4f frames=%lld video_bytes=%lld\n",
                    mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99.0,
                    compare.SumSsim / compare.Frames, compare.Frames,
                    static_cast<long long>(stream.VideoBytes));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-quality: %s\n", e.what());
        return 1;
    }
    return 0;
}
