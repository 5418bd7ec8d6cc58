// The transcode's setup: input and output stream tables, the stream mapping, encoders,
// decoders, headers; and the teardown that closes what it opened.
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
    BuildInputStreams();
    BuildOutputStreams();
    for (size_t i = 0; i < FState->OutputStreams.size(); ++i) {
        auto& ost = *FState->OutputStreams[i];
        SetupCodecParameters(ost);
        if (ost.EncodingNeeded && (ost.Encoder->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
            PreparePassLog(ost, static_cast<int>(i));
    }
    // Decoders first: a text subtitle encoder starts from its decoder's style header.
    OpenInputDecoders();
    OpenStageEncoders();
    AllocateAudioFifos();
    for (auto& ist : FState->InputStreams) {
        ist->Pts = 0;
        ist->NextPts = AV_NOPTS_VALUE;
        ist->IsStart = 1;
        ist->Cut = CutFor(*ist);
    }
    ApplyMetadataMaps();
    WriteHeaders();
    InitBitstreamFilters();
    DumpAndLogMapping();
}

void TCustomFFmpeg::BuildInputStreams() {
    auto& st = *FState;
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
}

int TCustomFFmpeg::CountOutputStreams() {
    auto& st = *FState;
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
    return total;
}

void TCustomFFmpeg::CheckStreamMaps(int ATotal) {
    const auto& st = *FState;
    const auto& maps = Options.StreamMaps;
    if (!maps.empty() && static_cast<int>(maps.size()) != ATotal)
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
}

TInputStreamState* TCustomFFmpeg::InputStreamAt(int AFile, int AStream) const {
    const auto& st = *FState;
    return st.InputStreams[static_cast<size_t>(
                               st.InputFiles[static_cast<size_t>(AFile)].FirstStreamIndex + AStream)]
        .get();
}

TInputStreamState* TCustomFFmpeg::MappedSource(TOutputStreamState& AOutput, size_t APosition) {
    const auto& maps = Options.StreamMaps;
    const AVMediaType type = AOutput.Encoder->codec_type;
    if (maps.empty()) {
        TInputStreamState* source = FindSource(AOutput, type);
        if (!source) {
            DumpOutput(AOutput.FileIndex);
            throw FFmpegException(Format("Could not find input stream matching output stream #%d.%d (%s)",
                                         AOutput.FileIndex, AOutput.Index, MediaTypeName(type).c_str()));
        }
        AOutput.SyncInput = source;
        return source;
    }
    const auto& m = maps[APosition];
    TInputStreamState* source = InputStreamAt(m.FileIndex, m.StreamIndex);
    const AVMediaType inType = source->Stream->codecpar->codec_type;
    if (inType != type) {
        DumpOutput(AOutput.FileIndex);
        throw FFmpegException(Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)",
                                     m.FileIndex, m.StreamIndex, MediaTypeName(inType).c_str(),
                                     AOutput.FileIndex, AOutput.Index, MediaTypeName(type).c_str()));
    }
    AOutput.SyncInput = InputStreamAt(m.SyncFileIndex, m.SyncStreamIndex);
    return source;
}

void TCustomFFmpeg::BuildOutputStreams() {
    auto& st = *FState;
    CheckStreamMaps(CountOutputStreams());
    const int fileCount = FJoinMode ? FInputFileCount : FOutputFileCount;
    size_t n = 0;
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
            TInputStreamState* source = MappedSource(*ost, n);
            source->Discard = 0;
            ost->SourceIndex =
                st.InputFiles[static_cast<size_t>(source->FileIndex)].FirstStreamIndex +
                source->StreamIndex;
            st.OutputStreams.push_back(std::move(ost));
        }
    }
}

void TCustomFFmpeg::OpenStageEncoders() {
    auto& st = *FState;
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
        TakeSubtitleHeader(ost);
        if (FJoinMode)
            st.EncoderTemplates[i] = CopyEncoderSettings(*ost.Encoder);
        if (const int ret = OpenEncoder(ost, codec); ret < 0)
            RaiseSetupError(WithLibraryReason(
                Format("Error while opening encoder for output stream #%d.%d (%s) - maybe "
                       "incorrect parameters such as bit_rate, rate, width or height",
                       ost.FileIndex, ost.Index, MediaTypeName(type).c_str()),
                ret));
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
}

void TCustomFFmpeg::TakeSubtitleHeader(TOutputStreamState& AOutput) {
    AVCodecContext* enc = AOutput.Encoder;
    const AVCodecContext* dec =
        FState->InputStreams[static_cast<size_t>(AOutput.SourceIndex)]->Decoder;
    if (enc->codec_type != AVMEDIA_TYPE_SUBTITLE || enc->subtitle_header || !dec ||
        !dec->subtitle_header || dec->subtitle_header_size <= 0)
        return;
    const size_t size = static_cast<size_t>(dec->subtitle_header_size);
    auto* header = static_cast<uint8_t*>(ff::av_mallocz(size + 1));
    if (!header)
        throw FFmpegException("Could not copy the subtitle header");
    std::memcpy(header, dec->subtitle_header, size);
    enc->subtitle_header = header; // the context frees it
    enc->subtitle_header_size = static_cast<int>(size);
}

void TCustomFFmpeg::AllocateAudioFifos() {
    // Audio waits in a FIFO for whole encoder frames; joined entries share their encoder.
    for (auto& ost : FState->OutputStreams) {
        if (!ost->EncodingNeeded || ost->Encoder->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        const int frameSize = ost->Encoder->frame_size > 1 ? ost->Encoder->frame_size : 1024;
        ost->Fifo.reset(ff::av_audio_fifo_alloc(ost->Encoder->sample_fmt,
                                                ost->Encoder->ch_layout.nb_channels, frameSize));
        if (!ost->Fifo)
            throw FFmpegException("av_fifo_alloc fail");
    }
}

void TCustomFFmpeg::OpenInputDecoders() {
    auto& st = *FState;
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
        if (const int ret = ff::avcodec_open2(ist.Decoder, codec, nullptr); ret < 0)
            RaiseSetupError(WithLibraryReason(
                Format("Error while opening decoder for input stream #%d.%d (%s)", ist.FileIndex,
                       ist.StreamIndex, MediaTypeName(type).c_str()),
                ret));
        ist.DecoderOpen = true;
        OpenDecoders.push_front(&ist);
    }
}

void TCustomFFmpeg::ApplyMetadataMaps() {
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
}

void TCustomFFmpeg::WriteHeaders() {
    const int headerCount = FJoinMode ? std::min(1, FOutputFileCount) : FOutputFileCount;
    for (int k = 0; k < headerCount; ++k) {
        TOutputFile& file = *OutputFiles[static_cast<size_t>(k)];
        AVDictionary* options = nullptr;
        ff::av_dict_copy(&options, file.MuxerOptions.get(), 0);
        const int ret = ff::avformat_write_header(file.Output.Get(), &options);
        ff::av_dict_free(&options);
        if (ret < 0)
            RaiseSetupError(WithLibraryReason(
                Format("Could not write header for output file #%d (incorrect codec parameters ?)", k),
                ret));
        file.HeaderWritten = true;
    }
}

void TCustomFFmpeg::InitBitstreamFilters() {
    // The muxer may have chosen other time bases: the bitstream filters work in those.
    for (auto& ost : FState->OutputStreams) {
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
}

const AVCodec* TCustomFFmpeg::EncoderAt(size_t APosition) const {
    if (OutputCodecs.size() > APosition && OutputCodecs[APosition])
        return OutputCodecs[APosition];
    return ff::avcodec_find_encoder(FState->OutputStreams[APosition]->Encoder->codec_id);
}

int TCustomFFmpeg::OpenEncoder(TOutputStreamState& AOutput, const AVCodec* ACodec) {
    if (AOutput.PassStats) {
        ff::av_freep(&AOutput.Encoder->stats_in);
        AOutput.Encoder->stats_in = AOutput.PassStats.release();
    }
    std::lock_guard lock(CodecLock());
    if (const int ret = ff::avcodec_open2(AOutput.Encoder, ACodec, nullptr); ret < 0) {
        ff::av_freep(&AOutput.Encoder->stats_in);
        return ret;
    }
    AOutput.EncoderOpen = true;
    OpenEncoders.push_front(&AOutput);
    return 0;
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

} // namespace qm
