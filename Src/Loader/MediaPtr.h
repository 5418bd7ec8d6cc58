// Owners for the media libraries' objects: each unique_ptr frees with the library's own
// function, so every object has exactly one owner and no error path leaks it.
#pragma once

#include <memory>

#include "Loader/MediaEntries.h"

namespace qm {

struct TCodecContextDeleter {
    void operator()(AVCodecContext* c) const { ff::avcodec_free_context(&c); }
};
struct TFrameDeleter {
    void operator()(AVFrame* f) const { ff::av_frame_free(&f); }
};
struct TPacketDeleter {
    void operator()(AVPacket* p) const { ff::av_packet_free(&p); }
};
struct TSwsDeleter {
    void operator()(SwsContext* s) const { ff::sws_freeContext(s); }
};
struct TSwrDeleter {
    void operator()(SwrContext* s) const { ff::swr_free(&s); }
};
struct TDictionaryDeleter {
    void operator()(AVDictionary* d) const { ff::av_dict_free(&d); }
};
struct TAvFreeDeleter {
    void operator()(void* p) const { ff::av_free(p); }
};
struct TFilterGraphDeleter {
    void operator()(AVFilterGraph* g) const { ff::avfilter_graph_free(&g); }
};
struct TBsfDeleter {
    void operator()(AVBSFContext* b) const { ff::av_bsf_free(&b); }
};
struct TAudioFifoDeleter {
    void operator()(AVAudioFifo* f) const { ff::av_audio_fifo_free(f); }
};
// An opened input: avformat_close_input frees the context and its own byte stream.
struct TInputContextDeleter {
    void operator()(AVFormatContext* c) const { ff::avformat_close_input(&c); }
};
// A context that was only allocated (or an output): the byte stream is its owner's business.
struct TFormatContextDeleter {
    void operator()(AVFormatContext* c) const { ff::avformat_free_context(c); }
};

using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TSwsPtr = std::unique_ptr<SwsContext, TSwsDeleter>;
using TSwrPtr = std::unique_ptr<SwrContext, TSwrDeleter>;
using TDictionaryPtr = std::unique_ptr<AVDictionary, TDictionaryDeleter>;
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphDeleter>;
using TBsfPtr = std::unique_ptr<AVBSFContext, TBsfDeleter>;
using TAudioFifoPtr = std::unique_ptr<AVAudioFifo, TAudioFifoDeleter>;
using TInputContextPtr = std::unique_ptr<AVFormatContext, TInputContextDeleter>;
using TFormatContextPtr = std::unique_ptr<AVFormatContext, TFormatContextDeleter>;

} // namespace qm
