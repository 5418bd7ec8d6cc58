// The transcode: setup of the working records, the main loop, and the final steps.
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

} // namespace

void TCustomFFmpeg::RaiseSetupError(const std::string& AMessage) {
    DumpAndLogMapping();
    Log(this, llError, AMessage);
    throw FFmpegException(AMessage);
}

void TCustomFFmpeg::DumpOutput(int AIndex) {
    const auto& file = *OutputFiles[static_cast<size_t>(AIndex)];
    ff::av_dump_format(file.Output.Get(), AIndex, file.Output->url, 1);
}

void TCustomFFmpeg::DumpAndLogMapping() {
    const int count = FJoinMode ? std::min(1, FOutputFileCount) : FOutputFileCount;
    for (int i = 0; i < count; ++i)
        DumpOutput(i);
    if (Options.Verbosity < 0 || !FState)
        return;
    Log(this, llVerbose, "Stream mapping:");
    for (const auto& ost : FState->OutputStreams) {
        if (!ost->Stream)
            continue;
        const auto& ist = *FState->InputStreams[static_cast<size_t>(ost->SourceIndex)];
        const AVMediaType type = ost->Stream->codecpar->codec_type;
        std::string line = Format("  Stream #%d.%d -> #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
                                  FJoinMode ? 0 : ost->FileIndex, ost->Index, MediaTypeName(type).c_str());
        if (ost->SyncInput && ost->SyncInput != &ist)
            line += Format(" [sync #%d.%d (%s)]", ost->SyncInput->FileIndex,
                           ost->SyncInput->StreamIndex, MediaTypeName(type).c_str());
        Log(this, llVerbose, line);
    }
}

TInputStreamState* TCustomFFmpeg::FindSource(TOutputStreamState& AOutput, AVMediaType AType) {
    auto& streams = FState->InputStreams;
    auto usable = [&](const TInputStreamState& ist) {
        return ist.Discard && ist.Stream->codecpar->codec_type == AType &&
               (!FJoinMode || ist.FileIndex == AOutput.FileIndex);
    };
    if (Options.ProgramId != 0) {
        for (size_t f = 0; f < InputFiles.size(); ++f) {
            AVFormatContext* ic = InputFiles[f]->Input.Get();
            for (unsigned p = 0; p < ic->nb_programs; ++p) {
                if (ic->programs[p]->id != Options.ProgramId)
                    continue;
                for (unsigned s = 0; s < ic->programs[p]->nb_stream_indexes; ++s) {
                    const size_t at = static_cast<size_t>(FState->InputFiles[f].FirstStreamIndex) +
                                      ic->programs[p]->stream_index[s];
                    if (at < streams.size() && usable(*streams[at]))
                        return streams[at].get();
                }
            }
        }
    } else {
        for (auto& ist : streams)
            if (usable(*ist))
                return ist.get();
    }
    if (Options.ProgramId == 0 && !FJoinMode) {
        for (auto it = streams.rbegin(); it != streams.rend(); ++it)
            if ((*it)->Stream->codecpar->codec_type == AType)
                return it->get();
    }
    return nullptr;
}

void TCustomFFmpeg::SetupCodecParameters(TOutputStreamState& AOutput) {
    TInputStreamState& ist = *FState->InputStreams[static_cast<size_t>(AOutput.SourceIndex)];
    AVStream* ost = AOutput.Stream;
    AVCodecParameters* par = ost->codecpar;
    const AVCodecParameters* in = ist.Stream->codecpar;
    AVCodecContext* enc = AOutput.Encoder;

    if (const auto* lang = ff::av_dict_get(ist.Stream->metadata, "language", nullptr, 0))
        if (!ff::av_dict_get(ost->metadata, "language", nullptr, 0))
            ff::av_dict_set(&ost->metadata, "language", lang->value, 0);
    ost->disposition = ist.Stream->disposition;
    enc->bits_per_raw_sample = in->bits_per_raw_sample;
    enc->chroma_sample_location = in->chroma_location;

    if (AOutput.Setup->StreamCopy) {
        const uint32_t forcedTag = enc->codec_tag;
        const AVRational sar = ost->sample_aspect_ratio;
        if (ff::avcodec_parameters_copy(par, in) < 0)
            throw FFmpegException("Could not copy the codec parameters of stream #" +
                                  std::to_string(ist.FileIndex) + "." +
                                  std::to_string(ist.StreamIndex));
        par->codec_tag = 0;
        if (forcedTag) {
            par->codec_tag = forcedTag;
        } else {
            const AVOutputFormat* of = AOutput.File->Output->oformat;
            const AVCodecTag* const* tags = of->codec_tag;
            // The source's tag is kept only where it means the same codec in the target.
            if (!tags || ff::av_codec_get_id(tags, in->codec_tag) == in->codec_id ||
                ff::av_codec_get_tag(tags, in->codec_id) == 0)
                par->codec_tag = in->codec_tag;
        }
        ost->time_base = ist.Stream->time_base;
        switch (in->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            if (Options.VolumeScale != 256)
                throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
            if ((in->codec_id == AV_CODEC_ID_MP3 && in->block_align == 1) ||
                in->codec_id == AV_CODEC_ID_AC3)
                par->block_align = 0;
            break;
        case AVMEDIA_TYPE_VIDEO:
            if (CustomHookNotify)
                throw FFmpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
            if (Options.UsingFrameHooks)
                throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
            if (FPreviewFlags != 0)
                throw FFmpegException("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
            if (sar.num)
                ost->sample_aspect_ratio = par->sample_aspect_ratio = sar;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            break;
        default:
            throw FFmpegException("invalid codec_type of output stream");
        }
        return;
    }

    switch (enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        AOutput.EncodingNeeded = 1;
        ist.DecodingNeeded = 1;
        break;
    case AVMEDIA_TYPE_VIDEO:
        SetupVideoEncoding(AOutput, ist);
        break;    case AVMEDIA_TYPE_SUBTITLE:
        AOutput.EncodingNeeded = 1;
        ist.DecodingNeeded = 1;
        break;
    default:
        throw FFmpegException("invalid codec_type of output stream");
    }
}

void TCustomFFmpeg::SetupVideoEncoding(TOutputStreamState& AOutput, TInputStreamState& AInput) {
    AVCodecContext* enc = AOutput.Encoder;
    const AVCodecParameters* dec = AInput.Stream->codecpar;
    if (enc->pix_fmt == AV_PIX_FMT_NONE)
        throw FFmpegException("Video pixel format is unknown, stream cannot be decoded");
    const auto& o = Options;
    auto& out = AOutput;
    if (FFiltersActive) {
        // The graph crops and scales; the output path only pads.
        FLastError.clear();
        if (ConfigureFilters(AInput, out) < 0)
            throw FFmpegException(FLastError.empty() ? "Error opening filters!"
                                                     : "Error opening filters: " + FLastError);
        out.VideoPad = (o.PadTop | o.PadBottom | o.PadLeft | o.PadRight) != 0;
        out.StreamPadTop = o.PadTop;
        out.StreamPadBottom = o.PadBottom;
        out.StreamPadLeft = o.PadLeft;
        out.StreamPadRight = o.PadRight;
        out.ResampleHeight = dec->height;
        if (out.VideoPad)
            AllocateTempPicture(out);
        out.EncodingNeeded = 1;
        AInput.DecodingNeeded = 1;
        return;
    }
    out.VideoCrop = (o.CropTop | o.CropBottom | o.CropLeft | o.CropRight) != 0;
    out.VideoPad = (o.PadTop | o.PadBottom | o.PadLeft | o.PadRight) != 0;
    out.TopBand = out.OriginalTopBand = o.CropTop;
    out.BottomBand = out.OriginalBottomBand = o.CropBottom;
    out.LeftBand = out.OriginalLeftBand = o.CropLeft;
    out.RightBand = out.OriginalRightBand = o.CropRight;
    out.StreamPadTop = o.PadTop;
    out.StreamPadBottom = o.PadBottom;
    out.StreamPadLeft = o.PadLeft;
    out.StreamPadRight = o.PadRight;
    out.VideoResample =
        !(enc->width == dec->width - (o.CropLeft + o.CropRight) + (o.PadLeft + o.PadRight) &&
          enc->height == dec->height - (o.CropTop + o.CropBottom) + (o.PadTop + o.PadBottom) &&
          enc->pix_fmt == dec->format);
    if (out.VideoResample || out.VideoPad || out.VideoCrop)
        AllocateTempPicture(out);
    out.OriginalWidth = dec->width;
    out.OriginalHeight = dec->height;
    out.ResampleWidth = dec->width - (out.LeftBand + out.RightBand);
    out.ResampleHeight = dec->height - (out.TopBand + out.BottomBand);
    out.ResamplePixFmt = dec->format;
    if (out.VideoResample) {
        BuildScaler(out);
        enc->bits_per_raw_sample = 0;
    }
    out.EncodingNeeded = 1;
    AInput.DecodingNeeded = 1;
}

TFramePtr TCustomFFmpeg::NewTempPicture(const TOutputStreamState& AOutput) {
    const AVCodecContext* enc = AOutput.Encoder;
    TFramePtr picture(ff::av_frame_alloc());
    if (!picture)
        throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    picture->format = enc->pix_fmt;
    picture->width = enc->width;
    picture->height = enc->height;
    // Rows of a multiple of 64 bytes are what the MPEG-2 encoder's own pictures have at the
    // disc sizes (720 and 352 wide): it then keeps a reference instead of copying each one.
    if (ff::av_frame_get_buffer(picture.get(), 64) < 0)
        throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    return picture;
}

bool TCustomFFmpeg::TakeFreePicture(TFramePtr& ACurrent, std::vector<TFramePtr>& ASpares,
                                    const std::function<TFramePtr()>& AMake) {
    if (ACurrent && ff::av_frame_is_writable(ACurrent.get()))
        return true;
    auto free = std::find_if(ASpares.begin(), ASpares.end(), [](const TFramePtr& APicture) {
        return ff::av_frame_is_writable(APicture.get());
    });
    if (free == ASpares.end()) {
        TFramePtr made = AMake();
        if (!made)
            return false;
        free = ASpares.insert(ASpares.end(), std::move(made));
    }
    std::swap(*free, ACurrent);
    return true;
}

void TCustomFFmpeg::AllocateTempPicture(TOutputStreamState& AOutput) {
    AOutput.TempPicture = NewTempPicture(AOutput);
}

void TCustomFFmpeg::BuildScaler(TOutputStreamState& AOutput) {
    if (OptionContexts)
        if (const int64_t flags = OptionContexts->ScalerOptionInt("sws_flags"))
            Options.ScalerFlags = static_cast<int32_t>(flags);
    AOutput.Scaler = NewScaler(AOutput);
    if (FPipeline)
        AOutput.EncodeScaler = NewScaler(AOutput);
}

TSwsPtr TCustomFFmpeg::NewScaler(const TOutputStreamState& AOutput) const {
    const AVCodecContext* enc = AOutput.Encoder;
    TSwsPtr scaler(ff::sws_getContext(
        AOutput.ResampleWidth, AOutput.ResampleHeight,
        static_cast<AVPixelFormat>(AOutput.ResamplePixFmt),
        enc->width - (AOutput.StreamPadLeft + AOutput.StreamPadRight),
        enc->height - (AOutput.StreamPadTop + AOutput.StreamPadBottom), enc->pix_fmt,
        Options.ScalerFlags, nullptr, nullptr, nullptr));
    if (!scaler)
        throw FFmpegException("Cannot get resampling context");
    return scaler;
}

void TCustomFFmpeg::PreparePassLog(TOutputStreamState& AOutput, int APosition) {
    std::string name = (Options.PassLogFile.empty() ? std::string("ffmpeg2pass") : Options.PassLogFile) +
                       "-" + std::to_string(APosition) + ".log";
    if (name.size() > 1023)
        name.resize(1023);
    if (AOutput.Encoder->flags & AV_CODEC_FLAG_PASS1) {
        AOutput.LogFile.reset(std::fopen(name.c_str(), "w"));
        if (!AOutput.LogFile)
            throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
        return;
    }
    std::unique_ptr<FILE, TFileCloser> file(std::fopen(name.c_str(), "r"));
    if (!file)
        throw FFmpegException(Format("Cannot read log file %s for pass-2 encoding", name.c_str()));
    std::fseek(file.get(), 0, SEEK_END);
    const long size = std::ftell(file.get());
    std::fseek(file.get(), 0, SEEK_SET);
    auto* text = static_cast<char*>(ff::av_malloc(static_cast<size_t>(size > 0 ? size : 0) + 1));
    if (!text)
        throw FFmpegException("Could not allocate log buffer");
    const size_t read = std::fread(text, 1, static_cast<size_t>(size > 0 ? size : 0), file.get());
    text[read] = 0;
    // Joined files share one encoder context: each entry keeps its own file's statistics
    // until its encoder opens.
    AOutput.PassStats.reset(text);
}

void TCustomFFmpeg::SetupTranscode() {
    FState = std::make_unique<TTranscodeState>();
    auto& st = *FState;

    // 1. Input tables.
    int first = 0;
    for (size_t f = 0; f < InputFiles.size(); ++f) {
        AVFormatContext* ic = InputFiles[f]->Input.Get();
        TInputFileState file;
        file.FirstStreamIndex = first;
        file.StreamCount = static_cast<int32_t>(ic->nb_streams);
        st.InputFiles.push_back(file);
        for (unsigned s = 0; s < ic->nb_streams; ++s) {
            auto ist = std::make_unique<TInputStreamState>();
            ist->FileIndex = static_cast<int32_t>(f);
            ist->StreamIndex = static_cast<int32_t>(s);
            ist->Stream = ic->streams[s];
            ist->Decoder = InputFiles[f]->Decoders[s].get();
            if (Options.RateEmulation)
                ist->StartTime = ff::av_gettime();
            st.InputStreams.push_back(std::move(ist));
        }
        first += file.StreamCount;
    }

    // 2. Output streams.
    if (InputFiles.size() != static_cast<size_t>(FInputFileCount) ||
        OutputFiles.size() != static_cast<size_t>(FOutputFileCount))
        throw FFmpegException("The engine's file tables are inconsistent");
    const int fileCount = FJoinMode ? FInputFileCount : FOutputFileCount;
    int total = 0;
    for (int k = 0; k < fileCount; ++k) {
        AVFormatContext* oc = OutputFiles[static_cast<size_t>(k)]->Output.Get();
        if (oc->nb_streams == 0) {
            DumpOutput(k);
            throw FFmpegException(Format("Output file #%d does not contain any stream", k));
        }
        if (k == 0)
            st.StreamsPerOutputFile = static_cast<int32_t>(oc->nb_streams);
        total += static_cast<int>(oc->nb_streams);
    }
    const auto& maps = Options.StreamMaps;
    if (!maps.empty() && static_cast<int>(maps.size()) != total)
        throw FFmpegException("Number of stream maps must match number of output streams");
    auto validStream = [&](int file, int stream) {
        return file >= 0 && file < FInputFileCount && stream >= 0 &&
               stream < st.InputFiles[static_cast<size_t>(file)].StreamCount;
    };
    for (const auto& m : maps) {
        if (!validStream(m.FileIndex, m.StreamIndex))
            throw FFmpegException(
                Format("Could not find input stream #%d.%d", m.FileIndex, m.StreamIndex));
        if (!validStream(m.SyncFileIndex, m.SyncStreamIndex))
            throw FFmpegException(
                Format("Could not find sync stream #%d.%d", m.SyncFileIndex, m.SyncStreamIndex));
    }
    auto inputAt = [&](int file, int stream) {
        return st.InputStreams[static_cast<size_t>(
                                   st.InputFiles[static_cast<size_t>(file)].FirstStreamIndex +
                                   stream)]
            .get();
    };
    int n = 0;
    for (int k = 0; k < fileCount; ++k) {
        TOutputFile& file = *OutputFiles[static_cast<size_t>(k)];
        for (unsigned j = 0; j < file.Output->nb_streams; ++j, ++n) {
            auto ost = std::make_unique<TOutputStreamState>();
            ost->FileIndex = k;
            ost->Index = static_cast<int32_t>(j);
            ost->File = &file;
            ost->Setup = &file.Streams[j];
            ost->Stream = file.Output->streams[j];
            ost->Encoder = file.Streams[j].Codec.get();
            const AVMediaType type = ost->Encoder->codec_type;
            TInputStreamState* source;
            if (!maps.empty()) {
                const auto& m = maps[static_cast<size_t>(n)];
                source = inputAt(m.FileIndex, m.StreamIndex);
                const AVMediaType inType = source->Stream->codecpar->codec_type;
                if (inType != type) {
                    DumpOutput(k);
                    throw FFmpegException(Format(
                        "Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.FileIndex,
                        m.StreamIndex, MediaTypeName(inType).c_str(), k, ost->Index, MediaTypeName(type).c_str()));
                }
            } else {
                source = FindSource(*ost, type);
                if (!source) {
                    DumpOutput(k);
                    throw FFmpegException(
                        Format("Could not find input stream matching output stream #%d.%d (%s)", k,
                               ost->Index, MediaTypeName(type).c_str()));
                }
            }
            source->Discard = 0;
            ost->SourceIndex =
                st.InputFiles[static_cast<size_t>(source->FileIndex)].FirstStreamIndex +
                source->StreamIndex;
            ost->SyncInput = maps.empty() ? source
                                          : inputAt(maps[static_cast<size_t>(n)].SyncFileIndex,
                                                    maps[static_cast<size_t>(n)].SyncStreamIndex);
            st.OutputStreams.push_back(std::move(ost));
        }
    }
    for (size_t i = 0; i < st.OutputStreams.size(); ++i) {
        auto& ost = *st.OutputStreams[i];
        SetupCodecParameters(ost);
        if (ost.EncodingNeeded && (ost.Encoder->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
            PreparePassLog(ost, static_cast<int>(i));
    }

    // 3. Encoders.
    const size_t encoderCount = FJoinMode ? static_cast<size_t>(st.StreamsPerOutputFile)
                                          : st.OutputStreams.size();
    if (FJoinMode)
        st.EncoderTemplates.resize(encoderCount);
    for (size_t i = 0; i < encoderCount; ++i) {
        auto& ost = *st.OutputStreams[i];
        if (!ost.EncodingNeeded)
            continue;
        const AVMediaType type = ost.Encoder->codec_type;
        const AVCodec* codec = EncoderAt(i);
        if (!codec)
            RaiseSetupError(Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                   ost.Encoder->codec_id, ost.FileIndex, ost.Index,
                                   MediaTypeName(type).c_str()));
        if (FJoinMode)
            st.EncoderTemplates[i] = CopyEncoderSettings(*ost.Encoder);
        if (!OpenEncoder(ost, codec))
            RaiseSetupError(Format(
                "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect "
                "parameters such as bit_rate, rate, width or height",
                ost.FileIndex, ost.Index, MediaTypeName(type).c_str()));
        FGlobalHeaderBytes += ost.Encoder->extradata_size;
        ff::avcodec_parameters_from_context(ost.Stream->codecpar, ost.Encoder);
        // The muxer wants the encoder's buffer size (VBV) on the stream.
        for (int s = 0; s < ost.Encoder->nb_coded_side_data; ++s) {
            const AVPacketSideData& sd = ost.Encoder->coded_side_data[s];
            if (uint8_t* dst = ff::av_stream_new_side_data(ost.Stream, sd.type, sd.size))
                std::memcpy(dst, sd.data, sd.size);
        }
        ost.Stream->time_base = ost.Encoder->time_base;
    }
    // Audio waits in a FIFO for whole encoder frames; joined entries share their encoder.
    for (auto& ost : st.OutputStreams) {
        if (!ost->EncodingNeeded || ost->Encoder->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        const int frameSize = ost->Encoder->frame_size > 1 ? ost->Encoder->frame_size : 1024;
        ost->Fifo.reset(ff::av_audio_fifo_alloc(ost->Encoder->sample_fmt,
                                                ost->Encoder->ch_layout.nb_channels, frameSize));
        if (!ost->Fifo)
            throw FFmpegException("av_fifo_alloc fail");
    }

    // 4. Decoders.
    for (size_t i = 0; i < st.InputStreams.size(); ++i) {
        auto& ist = *st.InputStreams[i];
        if (!ist.DecodingNeeded)
            continue;
        const AVMediaType type = ist.Stream->codecpar->codec_type;
        const AVCodec* codec = InputCodecs.size() > i && InputCodecs[i]
                                   ? InputCodecs[i]
                                   : ff::avcodec_find_decoder(ist.Stream->codecpar->codec_id);
        if (!codec || !ist.Decoder)
            RaiseSetupError(Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                   ist.Stream->codecpar->codec_id, ist.FileIndex, ist.StreamIndex,
                                   MediaTypeName(type).c_str()));
        // With video encoding on a thread of its own, the run thread and the encode thread
        // already keep two processors busy: the video decoder gets one codec thread less
        // (on two processors its frame threads cost more than they win).
        if (type == AVMEDIA_TYPE_VIDEO && ist.Decoder->thread_count > 1 && UsesEncodeThread())
            --ist.Decoder->thread_count;
        std::lock_guard lock(CodecLock());
        if (ff::avcodec_open2(ist.Decoder, codec, nullptr) < 0)
            RaiseSetupError(Format("Error while opening decoder for input stream #%d.%d (%s)",
                                   ist.FileIndex, ist.StreamIndex, MediaTypeName(type).c_str()));
        ist.DecoderOpen = true;
        OpenDecoders.push_front(&ist);
    }

    // 5. Timestamps.
    for (auto& ist : st.InputStreams) {
        ist->Pts = 0;
        ist->NextPts = AV_NOPTS_VALUE;
        ist->IsStart = 1;
    }

    // 6. Metadata mappings.
    for (const auto& m : Options.MetadataMaps) {
        if (m.OutFile < 0 || m.OutFile >= FOutputFileCount)
            RaiseSetupError(Format("Invalid output file index %d map_meta_data(%d,%d)", m.OutFile,
                                   m.OutFile, m.InFile));
        if (m.InFile < 0 || m.InFile >= FInputFileCount)
            RaiseSetupError(Format("Invalid input file index %d map_meta_data(%d,%d)", m.InFile,
                                   m.OutFile, m.InFile));
        AVFormatContext* in = InputFiles[static_cast<size_t>(m.InFile)]->Input.Get();
        AVFormatContext* out = OutputFiles[static_cast<size_t>(m.OutFile)]->Output.Get();
        const AVDictionaryEntry* tag = nullptr;
        while ((tag = ff::av_dict_get(in->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)))
            ff::av_dict_set(&out->metadata, tag->key, tag->value, 0);
    }

    // 7. Headers.
    const int headerCount = FJoinMode ? std::min(1, FOutputFileCount) : FOutputFileCount;
    for (int k = 0; k < headerCount; ++k) {
        TOutputFile& file = *OutputFiles[static_cast<size_t>(k)];
        AVDictionary* options = nullptr;
        ff::av_dict_copy(&options, file.MuxerOptions.get(), 0);
        const int ret = ff::avformat_write_header(file.Output.Get(), &options);
        ff::av_dict_free(&options);
        if (ret < 0)
            RaiseSetupError(Format(
                "Could not write header for output file #%d (incorrect codec parameters ?)", k));
        file.HeaderWritten = true;
    }
    // The muxer may have chosen other time bases: the bitstream filters work in those.
    for (auto& ost : st.OutputStreams) {
        for (const AVBitStreamFilter* filter : ost->Setup->BitstreamFilters) {
            AVBSFContext* bsf = nullptr;
            if (ff::av_bsf_alloc(filter, &bsf) < 0)
                throw FFmpegException(Format("Could not allocate bitstream filter %s", filter->name));
            TBsfPtr owned(bsf);
            ff::avcodec_parameters_copy(bsf->par_in, ost->Stream->codecpar);
            bsf->time_base_in = ost->Stream->time_base;
            if (ff::av_bsf_init(bsf) < 0)
                throw FFmpegException(Format("Could not initialise bitstream filter %s", filter->name));
            ost->BitstreamFilters.push_back(std::move(owned));
        }
    }

    // 8. Dump and mapping log.
    DumpAndLogMapping();
}

void TCustomFFmpeg::CloseTranscodeCodecs() {
    if (!FState)
        return;
    std::lock_guard lock(CodecLock());
    for (auto& ost : FState->OutputStreams) {
        if (!ost->EncoderOpen)
            continue;
        ff::av_freep(&ost->Encoder->stats_in);
        ff::avcodec_close(ost->Encoder);
        ost->EncoderOpen = false;
        OpenEncoders.remove(ost.get());
    }
    for (auto& ist : FState->InputStreams) {
        if (!ist->DecoderOpen)
            continue;
        ff::avcodec_close(ist->Decoder);
        ist->DecoderOpen = false;
        OpenDecoders.remove(ist.get());
    }
}

void TCustomFFmpeg::FreeTranscodeState() {
    FPipeline.reset();
    CloseTranscodeCodecs();
    FState.reset();
}

double TCustomFFmpeg::OutputTime(const TOutputStreamState& AOutput) const {
    if (AOutput.EncodingNeeded && AOutput.Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        return AOutput.SyncOpts * av_q2d(AOutput.Encoder->time_base);
    return AOutput.WrittenEnd * av_q2d(AOutput.Stream->time_base);
}

bool TCustomFFmpeg::UsesEncodeThread() const {
    if (EncodeThread == 0 || (EncodeThread < 0 && Options.ThreadCount <= 1))
        return false;
    // Statistics lines are written between one encoder call and the next picture's, and
    // the size limit reads what the last call wrote before every packet: no overlap there.
    if (!Options.VstatsFileName.empty() || Options.LimitFileSize != 0)
        return false;
    for (const auto& ost : FState->OutputStreams)
        if (ost->EncodingNeeded && ost->Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
            return true;
    return false;
}

int TCustomFFmpeg::MaxFramesOf(const TOutputStreamState& AOutput) const {
    switch (AOutput.Encoder->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        return Options.MaxFrames[fsVideo];
    case AVMEDIA_TYPE_AUDIO:
        return Options.MaxFrames[fsAudio];
    case AVMEDIA_TYPE_DATA:
        return Options.MaxFrames[fsData];
    default:
        return Options.MaxFrames[fsSubtitle];
    }
}

void TCustomFFmpeg::Transcode() {
    try {
        SetupTranscode();
    } catch (...) {
        FreeTranscodeState();
        throw;
    }
    try {
        RunMainLoop();
    } catch (...) {
        FreeTranscodeState();
        throw;
    }
    FreeTranscodeState();
}

void TCustomFFmpeg::RunMainLoop() {
    auto& st = *FState;
    FTranscodeStartTime = ff::av_gettime();
    int64_t lastReport = FTranscodeStartTime;
    int file = 0;
    const int n = st.StreamsPerOutputFile;
    TPacketPtr packet(ff::av_packet_alloc());
    if (!packet)
        throw FFmpegException("av_packet_alloc failed");
    // A few pictures queue for the encode thread. Where the loop reads what encoding has
    // done (reports, the size limit, a pause, the join step, the end) it waits until the
    // queue is empty, so it sees what the single-threaded loop would see.
    if (UsesEncodeThread()) {
        FPipeline = std::make_unique<TEncodePipeline>(
            [this](TEncodeJob& AJob) { RunEncodeJob(AJob); },
            [this](TOutputStreamState& AOutput, AVPacket& APacket) { MuxPacket(AOutput, APacket); },
            3);
        // The encode thread scales some pictures, with a scaler of its own.
        for (auto& ost : st.OutputStreams)
            if (ost->Scaler)
                ost->EncodeScaler = NewScaler(*ost);
    }

    while (!FStopRequested) {
        CheckPause();
        if (FStopRequested)
            break;
        double smallestOut = 1e100;
        if (FJoinMode) {
            for (int i = file * n; i < (file + 1) * n && i < int(st.OutputStreams.size()); ++i) {
                const auto& ost = *st.OutputStreams[static_cast<size_t>(i)];
                smallestOut = std::min(smallestOut, OutputTime(ost));
                if (ost.FrameNumber >= MaxFramesOf(ost)) {
                    file = -1;
                    break;
                }
            }
        } else {
            double smallestIn = 1e100;
            file = -1;
            for (const auto& ost : st.OutputStreams) {
                const auto& ist = *st.InputStreams[static_cast<size_t>(ost->SourceIndex)];
                if (st.NoPacket[ist.FileIndex])
                    continue;
                const double inTime = static_cast<double>(ist.Pts);
                if (!st.InputFiles[static_cast<size_t>(ist.FileIndex)].EofReached &&
                    inTime < smallestIn) {
                    smallestIn = inTime;
                    if (Options.InputSync)
                        file = ist.FileIndex;
                }
                const double outTime = OutputTime(*ost);
                if (!st.InputFiles[static_cast<size_t>(ist.FileIndex)].EofReached &&
                    outTime < smallestOut) {
                    smallestOut = outTime;
                    if (!Options.InputSync)
                        file = ist.FileIndex;
                }
                if (ost->FrameNumber >= MaxFramesOf(*ost)) {
                    file = -1;
                    break;
                }
            }
        }
        if (file < 0) {
            if (FJoinMode || st.NoPacketCount == 0)
                break;
            std::fill(std::begin(st.NoPacket), std::end(st.NoPacket), false);
            st.NoPacketCount = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (static_cast<double>(Options.RecordingTime) / 1000000.0 <= smallestOut)
            break;
        if (Options.LimitFileSize != 0 && !OutputFiles.empty() && OutputFiles[0]->Output->pb &&
            ff::avio_seek(OutputFiles[0]->Output->pb, 0, SEEK_CUR) > Options.LimitFileSize)
            break;

        AVFormatContext* ic = InputFiles[static_cast<size_t>(file)]->Input.Get();
        const int ret = ff::av_read_frame(ic, packet.get());
        if (ret == AVERROR(EAGAIN)) {
            st.NoPacket[file] = true;
            ++st.NoPacketCount;
            continue;
        }
        if (ret < 0) {
            st.InputFiles[static_cast<size_t>(file)].EofReached = 1;
            if (!FJoinMode) {
                if (Options.Shortest)
                    break;
                continue;
            }
            if (!JoinStep(file))
                break;
            ++file;
            continue;
        }
        std::fill(std::begin(st.NoPacket), std::end(st.NoPacket), false);
        st.NoPacketCount = 0;
        if (Options.PacketDump)
            ff::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet.get(), Options.HexDump,
                                 ic->streams[packet->stream_index]);

        const auto& fileState = st.InputFiles[static_cast<size_t>(file)];
        TInputStreamState* ist = nullptr;
        if (packet->stream_index < fileState.StreamCount)
            ist = st.InputStreams[static_cast<size_t>(fileState.FirstStreamIndex +
                                                      packet->stream_index)]
                      .get();
        if (ist && !ist->Discard) {
            CorrectTimestamps(*ist, *packet, file);
            const int position = fileState.FirstStreamIndex + packet->stream_index;
            if (DecodePacket(*ist, position, packet.get()) < 0) {
                const std::string message =
                    Format("Error while decoding stream #%d.%d (%s)", ist->FileIndex,
                           ist->StreamIndex, MediaTypeName(ist->Stream->codecpar->codec_type).c_str());
                if (Options.ExitOnError)
                    throw FFmpegException(message);
                if (Options.Verbosity >= 0)
                    Log(this, llVerbose, message);
                ff::av_packet_unref(packet.get());
                continue;
            }
        }
        ff::av_packet_unref(packet.get());
        const int64_t now = ff::av_gettime();
        if (now - lastReport > ProgressIntervalUs) {
            lastReport = now;
            if (FPipeline)
                FPipeline->Sync();
            ProgressReport(false);
        }
    }

    for (size_t i = 0; i < st.InputStreams.size(); ++i) {
        auto& ist = *st.InputStreams[i];
        if (ist.DecodingNeeded && ist.Flushed != 1)
            DecodePacket(ist, static_cast<int>(i), nullptr);
    }
    if (FPipeline) {
        FPipeline->Sync();
        FPipeline.reset();
    }
    const int trailerCount = FJoinMode ? std::min(1, FOutputFileCount) : FOutputFileCount;
    for (int k = 0; k < trailerCount; ++k) {
        TOutputFile& out = *OutputFiles[static_cast<size_t>(k)];
        const int ret = ff::av_write_trailer(out.Output.Get());
        out.HeaderWritten = false;
        if (ret < 0)
            throw FFmpegException(OpenErrorMessage("av_write_trailer()", ret));
        // A file that could not be written to the end is a failed run, not a finished one.
        if (AVIOContext* pb = out.Output->pb) {
            ff::avio_flush(pb);
            if (pb->error < 0)
                throw FFmpegException(OpenErrorMessage(out.FileName, pb->error));
        }
    }
    ProgressReport(true);
    CloseTranscodeCodecs();
    FFinished = !FStopRequested;
}

void TCustomFFmpeg::CorrectTimestamps(TInputStreamState& AInput, AVPacket& APacket, int AFile) {
    const AVRational tb = AInput.Stream->time_base;
    const AVRational us{1, AV_TIME_BASE};
    int64_t& offset = InputTsOffsets[static_cast<size_t>(AFile)];
    const int64_t shift = ff::av_rescale_q(offset, us, tb);
    if (APacket.dts != AV_NOPTS_VALUE)
        APacket.dts += shift;
    if (APacket.pts != AV_NOPTS_VALUE)
        APacket.pts += shift;
    const double scale =
        Options.InputTsScales[static_cast<size_t>(AFile)][static_cast<size_t>(AInput.StreamIndex)];
    if (scale != 0) {
        if (APacket.pts != AV_NOPTS_VALUE)
            APacket.pts = std::llround(APacket.pts * scale);
        if (APacket.dts != AV_NOPTS_VALUE)
            APacket.dts = std::llround(APacket.dts * scale);
    }
    AVFormatContext* ic = InputFiles[static_cast<size_t>(AFile)]->Input.Get();
    if (APacket.dts != AV_NOPTS_VALUE && AInput.NextPts != AV_NOPTS_VALUE &&
        (ic->iformat->flags & AVFMT_TS_DISCONT) && !Options.CopyTimestamps) {
        const int64_t dtsUs = ff::av_rescale_q(APacket.dts, tb, us);
        const int64_t delta = dtsUs - AInput.NextPts;
        if (std::llabs(delta) > Options.DtsDeltaThreshold * 1000000.0 || dtsUs + 1 < AInput.Pts) {
            offset -= delta;
            if (Options.Verbosity > 2)
                LogF(this, llVerbose, "timestamp discontinuity %lld, new offset= %lld",
                     static_cast<long long>(delta), static_cast<long long>(offset));
            const int64_t deltaTb = ff::av_rescale_q(delta, us, tb);
            APacket.dts -= deltaTb;
            if (APacket.pts != AV_NOPTS_VALUE)
                APacket.pts -= deltaTb;
        }
    }
}

const AVCodec* TCustomFFmpeg::EncoderAt(size_t APosition) const {
    if (OutputCodecs.size() > APosition && OutputCodecs[APosition])
        return OutputCodecs[APosition];
    return ff::avcodec_find_encoder(FState->OutputStreams[APosition]->Encoder->codec_id);
}

bool TCustomFFmpeg::OpenEncoder(TOutputStreamState& AOutput, const AVCodec* ACodec) {
    if (AOutput.PassStats) {
        ff::av_freep(&AOutput.Encoder->stats_in);
        AOutput.Encoder->stats_in = AOutput.PassStats.release();
    }
    std::lock_guard lock(CodecLock());
    if (ff::avcodec_open2(AOutput.Encoder, ACodec, nullptr) < 0) {
        ff::av_freep(&AOutput.Encoder->stats_in);
        return false;
    }
    AOutput.EncoderOpen = true;
    OpenEncoders.push_front(&AOutput);
    return true;
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
        if (!OpenEncoder(next, codec))
            throw FFmpegException(Format(
                "Error while opening codec for output stream #%d.%d (%s) - maybe incorrect "
                "parameters such as bit_rate, rate, width or height",
                0, done.Index, MediaTypeName(type).c_str()));
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

std::string TCustomFFmpeg::PsnrText(const TOutputStreamState& AOutput, bool ALast) const {
    // The whole stream for the last report, else the last coded frame; chroma planes
    // have a quarter of the pixels.
    const AVCodecContext* enc = AOutput.Encoder;
    const double pixels = double(enc->width) * enc->height * 255.0 * 255.0 *
                          (ALast ? AOutput.FrameNumber : 1);
    const double* errors = ALast ? AOutput.SummedErrors : AOutput.LastErrors;
    std::string text = "PSNR=";
    double error = 0, scale = 0;
    for (int p = 0; p < 3; ++p) {
        const double planeScale = p == 0 ? pixels : pixels / 4;
        text += Format("%c:%2.2f ", "YUV"[p], Psnr(errors[p], planeScale));
        error += errors[p];
        scale += planeScale;
    }
    return text + Format("*:%2.2f ", Psnr(error, scale));
}

void TCustomFFmpeg::ProgressReport(bool ALast) {
    if (!FState || OutputFiles.empty())
        return;
    int32_t frameNumber = -1, fps = -1;
    float quality = -1.0f;
    std::string line;
    bool firstVideo = true;
    double t = 1e10;
    for (const auto& ost : FState->OutputStreams) {
        const AVCodecParameters* par = ost->Stream->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            const float q = ost->EncodingNeeded ? ost->Setup->Quality / FF_QP2LAMBDA : -1.0f;
            if (!firstVideo) {
                line += Format("q=%2.1f ", q);
            } else {
                firstVideo = false;
                const float elapsed =
                    static_cast<float>(ff::av_gettime() - FTranscodeStartTime) / 1000000.0f;
                // Nothing to say before the first picture is out.
                if (ost->FrameNumber < 1)
                    return;
                frameNumber = ost->FrameNumber;
                fps = elapsed > 1 ? static_cast<int32_t>(frameNumber / elapsed + 0.5f) : 0;
                quality = q;
                line += Format("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
                if (ALast)
                    line += "L";
                if (Options.QpHistogram && ost->EncodingNeeded) {
                    // The quantiser of the last coded frame counts once per report.
                    const long qp = std::lrint(ost->Setup->Quality / FF_QP2LAMBDA);
                    if (qp >= 0 && qp < static_cast<long>(FQpHistogram.size()))
                        ++FQpHistogram[static_cast<size_t>(qp)];
                    for (size_t j = 0; j < 32; ++j)
                        line += Format("%X", static_cast<unsigned>(std::lrint(
                                                 std::log2(double(FQpHistogram[j]) + 1))));
                }
                if (ost->EncodingNeeded && (ost->Encoder->flags & AV_CODEC_FLAG_PSNR))
                    line += PsnrText(*ost, ALast);
            }
        }
        const double ot = OutputTime(*ost);
        if (ot > 0 && ot < t)
            t = ot;
    }
    if (t < 0.01)
        t = 0.01;
    AVIOContext* pb = OutputFiles[0]->Output->pb;
    int64_t size = pb ? ff::avio_size(pb) : 0;
    if (size < 0 && pb)
        size = ff::avio_seek(pb, 0, SEEK_CUR);
    if (ProgressNotify || Options.Verbosity > 0 || ALast) {
        const double bitrate = size * 8 / t / 1000;
        line += Format("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", size / 1024.0, t, bitrate);
        if (Options.Verbosity > 1)
            line += Format(" dup=%d drop=%d", FDuplicatedFrames, FDroppedFrames);
        if (ProgressNotify)
            ProgressNotify(this, frameNumber, fps, static_cast<int32_t>(t * 1000), quality,
                           static_cast<float>(bitrate), size, FTotalOutputDuration);
        else if (Options.Verbosity >= 0)
            Log(this, llVerbose, line);
    }
    if (ALast && Options.Verbosity >= 0) {
        const double raw = static_cast<double>(FVideoBytes + FAudioBytes + FGlobalHeaderBytes);
        LogF(this, llVerbose,
             "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %.2f%%",
             FVideoBytes / 1024.0, FAudioBytes / 1024.0, FGlobalHeaderBytes / 1024.0,
             raw > 0 ? 100.0 * (size - raw) / raw : 0.0);
    }
}

} // namespace qm
