// Joined inputs: at the end of each file the decoders and encoders are drained, the
// encoders start again from their settings, and the next file's times follow on.
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

namespace {

template <typename T> T* CopyArray(const T* ASource, size_t ACount) {
    if (!ASource || ACount == 0)
        return nullptr;
    auto* copy = static_cast<T*>(ff::av_malloc(ACount * sizeof(T)));
    if (!copy)
        throw FFmpegException("av_malloc failed");
    std::memcpy(copy, ASource, ACount * sizeof(T));
    return copy;
}

} // namespace

// A new, unopened encoder context with the settings of ASource (its options, its
// encoder's private options and the fields that are no options). A context cannot be
// opened a second time, so this is how an encoder starts again after it was drained.
// The second-pass statistics are not copied: they belong to whichever context is open.
TCodecContextPtr CopyEncoderSettings(const AVCodecContext& ASource) {
    TCodecContextPtr copy(ff::avcodec_alloc_context3(ASource.codec));
    if (!copy || ff::av_opt_copy(copy.get(), &ASource) < 0)
        throw FFmpegException("Could not copy the settings of an encoder");
    AVCodecContext& c = *copy;
    // Private options exist only where the encoder has a class for them.
    if (ASource.codec && ASource.codec->priv_class && ASource.priv_data && c.priv_data &&
        ff::av_opt_copy(c.priv_data, ASource.priv_data) < 0)
        throw FFmpegException("Could not copy the settings of an encoder");
    c.codec_type = ASource.codec_type;
    c.codec_id = ASource.codec_id;
    c.codec_tag = ASource.codec_tag;
    c.width = ASource.width;
    c.height = ASource.height;
    c.pix_fmt = ASource.pix_fmt;
    c.sample_aspect_ratio = ASource.sample_aspect_ratio;
    c.framerate = ASource.framerate;
    c.time_base = ASource.time_base;
    c.ticks_per_frame = ASource.ticks_per_frame;
    c.field_order = ASource.field_order;
    c.bits_per_raw_sample = ASource.bits_per_raw_sample;
    c.chroma_sample_location = ASource.chroma_sample_location;
    c.sample_fmt = ASource.sample_fmt;
    c.sample_rate = ASource.sample_rate;
    if (ff::av_channel_layout_copy(&c.ch_layout, &ASource.ch_layout) < 0)
        throw FFmpegException("Could not copy the settings of an encoder");
    c.intra_matrix = CopyArray(ASource.intra_matrix, ASource.intra_matrix ? 64 : 0);
    c.inter_matrix = CopyArray(ASource.inter_matrix, ASource.inter_matrix ? 64 : 0);
    c.rc_override = CopyArray(ASource.rc_override, static_cast<size_t>(std::max(ASource.rc_override_count, 0)));
    c.rc_override_count = c.rc_override ? ASource.rc_override_count : 0;
    return copy;
}

void TCustomFFmpeg::ReopenEncoders(int AFile) {
    auto& st = *FState;
    const size_t n = static_cast<size_t>(st.StreamsPerOutputFile);
    const size_t from = static_cast<size_t>(AFile) * n;
    for (size_t j = 0; j < n && from + n + j < st.OutputStreams.size(); ++j) {
        TOutputStreamState& done = *st.OutputStreams[from + j];
        TOutputStreamState& next = *st.OutputStreams[from + n + j];
        if (!done.EncodingNeeded)
            continue;
        const AVMediaType type = done.Encoder->codec_type;
        const AVCodec* codec = EncoderAt(j);
        if (!codec)
            throw FFmpegException(Format("Unsupported codec for output stream #%d.%d (%s)", 0,
                                         done.Index, MediaTypeName(type).c_str()));
        TCodecContextPtr fresh = CopyEncoderSettings(*st.EncoderTemplates[j]);
        {
            std::lock_guard lock(CodecLock());
            ff::av_freep(&done.Encoder->stats_in); // the next file's entry has its own
            if (done.EncoderOpen) {
                done.EncoderOpen = false;
                OpenEncoders.remove(&done);
            }
            done.Setup->Codec = std::move(fresh); // frees the drained encoder
        }
        // Every entry of this position writes through the one encoder of the output stream;
        // the next file's entry is the one that holds it open.
        for (size_t i = j; i < st.OutputStreams.size(); i += n)
            st.OutputStreams[i]->Encoder = done.Setup->Codec.get();
        if (const int ret = OpenEncoder(next, codec); ret < 0)
            throw FFmpegException(WithLibraryReason(
                Format("Error while opening codec for output stream #%d.%d (%s) - maybe "
                       "incorrect parameters such as bit_rate, rate, width or height",
                       0, done.Index, MediaTypeName(type).c_str()),
                ret));
    }
}

bool TCustomFFmpeg::JoinStep(int AFile) {
    auto& st = *FState;
    const int n = st.StreamsPerOutputFile;
    // The decoders give up what they hold back and the encoders what they delay: a file's
    // pictures and samples are all written before the next file begins.
    for (size_t i = 0; i < st.InputStreams.size(); ++i) {
        auto& ist = *st.InputStreams[i];
        if (ist.FileIndex != AFile || !ist.DecodingNeeded)
            continue;
        DecodePacket(ist, static_cast<int>(i), nullptr);
        ff::avcodec_flush_buffers(ist.Decoder);
        ist.Flushed = 1;
    }
    if (FPipeline)
        FPipeline->Sync(); // the encoders are reopened and their counters carried over

    if (AFile < FInputFileCount - 1)
        ReopenEncoders(AFile);
    const int count = static_cast<int>(st.OutputStreams.size());
    for (int i = (AFile + 1) * n; i < count; ++i) {
        auto& ost = *st.OutputStreams[static_cast<size_t>(i)];
        const auto& before = *st.OutputStreams[static_cast<size_t>(i - n)];
        ost.SyncOpts = before.SyncOpts;
        ost.FrameNumber = before.FrameNumber;
        ost.WrittenEnd = before.WrittenEnd;
        ost.LastDts = before.LastDts;
    }
    double largest = 0.0;
    for (int i = AFile * n; i < (AFile + 1) * n && i + n < count; ++i)
        largest = std::max(largest, OutputTime(*st.OutputStreams[static_cast<size_t>(i)]));
    if (AFile >= FInputFileCount - 1)
        return false;
    InputTsOffsets[static_cast<size_t>(AFile + 1)] += std::llround(largest * 1000000.0);
    return true;
}

} // namespace qm
