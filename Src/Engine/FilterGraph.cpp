// The video filter graph of "vfilters": a buffer source fed with the decoded pictures, a
// scaler when the sizes differ, the user's chain and a sink that takes the encoder's pixel
// format. One graph per re-encoded video output.
#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/OptionContexts.h"
#include "Engine/PictureCheck.h"
#include "Engine/TranscodeState.h"
#include "Engine/TranscodeTime.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

struct TInOutDeleter {
    void operator()(AVFilterInOut* p) const { ff::avfilter_inout_free(&p); }
};
using TInOutPtr = std::unique_ptr<AVFilterInOut, TInOutDeleter>;

TInOutPtr Endpoint(const char* AName, AVFilterContext* AFilter) {
    TInOutPtr io(ff::avfilter_inout_alloc());
    if (io) {
        io->name = ff::av_strdup(AName);
        io->filter_ctx = AFilter;
        io->pad_idx = 0;
        io->next = nullptr;
    }
    return io;
}

} // namespace

int TCustomFFmpeg::ConfigureFilters(TInputStreamState& AInput, TOutputStreamState& AOutput) {
    const TOptionSet& o = Options;
    AVCodecContext* enc = AOutput.Encoder;
    const AVCodecParameters* dec = AInput.Stream->codecpar;
    if (o.CropTop || o.CropBottom || o.CropLeft || o.CropRight) {
        FLastError = "Cannot enable crop options and filters at the same time.";
        return -1;
    }
    CheckPicture(dec->format, dec->width, dec->height, puFilterInput, "Cannot filter the video");
    AOutput.FilterGraph.reset(ff::avfilter_graph_alloc());
    AVFilterGraph* graph = AOutput.FilterGraph.get();
    const AVFilter* buffer = ff::avfilter_get_by_name("buffer");
    const AVFilter* buffersink = ff::avfilter_get_by_name("buffersink");
    if (!graph || !buffer || !buffersink)
        return -1;
    // The source's time base is the engine's own microseconds, so pictures keep their Pts.
    const AVRational sar = dec->sample_aspect_ratio.num > 0 ? dec->sample_aspect_ratio
                                                              : AVRational{0, 1};
    const std::string source = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d",
                                      dec->width, dec->height, dec->format, AV_TIME_BASE,
                                      sar.num, sar.den);
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    if (ff::avfilter_graph_create_filter(&src, buffer, "src", source.c_str(), nullptr, graph) < 0 ||
        ff::avfilter_graph_create_filter(&sink, buffersink, "out", nullptr, nullptr, graph) < 0)
        return -1;
    const int formats[] = {enc->pix_fmt};
    if (ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                           sizeof formats, AV_OPT_SEARCH_CHILDREN) < 0)
        return -1;

    if (OptionContexts)
        if (const int64_t flags = OptionContexts->ScalerOptionInt("sws_flags"))
            Options.ScalerFlags = static_cast<int32_t>(flags);
    const int padWidth = o.PadLeft + o.PadRight;
    const int padHeight = o.PadTop + o.PadBottom;
    AVFilterContext* last = src;
    // Fields of one instant are made whole before the scaler and the frame-rate conversion.
    if (AOutput.DeinterlaceFirst) {
        AVFilterContext* deinterlace = nullptr;
        const std::string args =
            std::string("mode=send_frame:deint=all:parity=") + (AOutput.TopFieldFirst ? "tff" : "bff");
        if (ff::avfilter_graph_create_filter(&deinterlace, ff::avfilter_get_by_name("bwdif"),
                                             "deinterlace", args.c_str(), nullptr, graph) < 0 ||
            ff::avfilter_link(last, 0, deinterlace, 0) < 0) {
            FLastError = "Cannot deinterlace with the bwdif filter";
            return -1;
        }
        last = deinterlace;
    }
    if (dec->width + padWidth != enc->width || dec->height + padHeight != enc->height) {
        AVFilterContext* scale = nullptr;
        const std::string args = Format("%d:%d:sws_flags=%d", enc->width - padWidth,
                                        enc->height - padHeight, Options.ScalerFlags);
        if (ff::avfilter_graph_create_filter(&scale, ff::avfilter_get_by_name("scale"), "scale",
                                             args.c_str(), nullptr, graph) < 0 ||
            ff::avfilter_link(last, 0, scale, 0) < 0)
            return -1;
        last = scale;
    }
    if (!o.VideoFilters.empty()) {
        // "in" is where the user's chain takes the pictures, "out" where it gives them back.
        TInOutPtr outputs = Endpoint("in", last);
        TInOutPtr inputs = Endpoint("out", sink);
        if (!outputs || !inputs)
            return -1;
        AVFilterInOut* in = inputs.release();
        AVFilterInOut* out = outputs.release();
        const int ret = ff::avfilter_graph_parse_ptr(graph, o.VideoFilters.c_str(), &in, &out, nullptr);
        ff::avfilter_inout_free(&in);
        ff::avfilter_inout_free(&out);
        if (ret < 0)
            return -1;
    } else if (ff::avfilter_link(last, 0, sink, 0) < 0) {
        return -1;
    }
    graph->scale_sws_opts = ff::av_strdup(Format("sws_flags=%d", Options.ScalerFlags).c_str());
    if (ff::avfilter_graph_config(graph, nullptr) < 0)
        return -1;

    const int w = ff::av_buffersink_get_w(sink);
    const int h = ff::av_buffersink_get_h(sink);
    if ((padWidth || padHeight) && (w != o.FrameWidth || h != o.FrameHeight)) {
        FLastError = "Cannot enable pad options and the filters which resize frame at the same "
                     "time. (crop, rotate, scale, transpose, etc.)";
        return -1;
    }
    enc->width = w + padWidth;
    enc->height = h + padHeight;
    // The scaler keeps the display aspect by changing the sample aspect; so does the encoder.
    const AVRational outSar = ff::av_buffersink_get_sample_aspect_ratio(sink);
    if (outSar.num > 0)
        enc->sample_aspect_ratio = AOutput.Stream->sample_aspect_ratio = outSar;
    AOutput.FilterSource = src;
    AOutput.FilterSink = sink;
    return 0;
}

void TCustomFFmpeg::FilterVideo(TOutputStreamState& AOutput, TInputStreamState& AInput,
                                AVFrame* AFrame) {
    if (!AOutput.FilterFrame)
        AOutput.FilterFrame.reset(ff::av_frame_alloc());
    AVFrame* frame = AOutput.FilterFrame.get();
    if (!frame)
        throw FFmpegException("av_frame_alloc failed");
    if (AFrame) {
        if (ff::av_frame_ref(frame, AFrame) < 0)
            throw FFmpegException("av_frame_ref failed");
        frame->pts = AInput.Pts;
        frame->sample_aspect_ratio = AInput.Stream->codecpar->sample_aspect_ratio;
    }
    // Without a frame the source ends, and the chain gives up what it holds back.
    const int pushed = ff::av_buffersrc_add_frame_flags(AOutput.FilterSource, AFrame ? frame : nullptr, 0);
    ff::av_frame_unref(frame);
    if (pushed < 0)
        throw FFmpegException(OpenErrorMessage("Error while feeding the filters", pushed));
    const int64_t inputPts = AInput.Pts;
    for (;;) {
        const int ret = ff::av_buffersink_get_frame(AOutput.FilterSink, frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            break;
        if (ret < 0)
            throw FFmpegException(OpenErrorMessage("Error while filtering", ret));
        // The filtered picture's own time drives the output's frame-rate sync.
        if (frame->pts != AV_NOPTS_VALUE)
            AInput.Pts = ff::av_rescale_q(frame->pts, ff::av_buffersink_get_time_base(AOutput.FilterSink),
                                          MicrosecondBase);
        VideoOut(AOutput, AInput, *frame);
        ff::av_frame_unref(frame);
        AInput.Pts = inputPts;
    }
}

} // namespace qm
