// Creating an output file and its streams from the output side of the option set.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/KeyFrameTimes.h"
#include "Engine/TranscodeTime.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

// True when the filter description names a filter that changes the frame size.
bool NamesResizingFilter(const std::string& filters) {
    std::string lower = filters;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t start = 0;
    while (start <= lower.size() && !lower.empty()) {
        size_t comma = lower.find(',', start);
        std::string piece = lower.substr(start, comma == std::string::npos ? std::string::npos
                                                                           : comma - start);
        std::string name = piece.substr(0, piece.find('='));
        if (name == "crop" || name == "rotate" || name == "scale" || name == "transpose")
            return true;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return false;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

AVRational AspectToSampleAspect(float aspect, int width, int height) {
    const double sar =
        width * height != 0 ? double(aspect) * height / width : double(aspect) * 3.0 / 4.0;
    return DoubleToRational(sar, 255);
}

template <typename T, typename End> bool InList(const T* list, T value, End end) {
    for (; list && *list != end; ++list)
        if (*list == value)
            return true;
    return false;
}

} // namespace

void TCustomFFmpeg::CheckInputMediaTypes(bool AFirstOnly, bool& AHasVideo, bool& AHasAudio,
                                         bool& AHasSubtitle) {
    AHasVideo = AHasAudio = AHasSubtitle = false;
    const size_t count = AFirstOnly ? std::min<size_t>(1, InputFiles.size()) : InputFiles.size();
    for (size_t f = 0; f < count; ++f) {
        AVFormatContext* ic = InputFiles[f]->Input.Get();
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            switch (ic->streams[i]->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                AHasVideo = true;
                break;
            case AVMEDIA_TYPE_AUDIO:
                AHasAudio = true;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                AHasSubtitle = true;
                break;
            case AVMEDIA_TYPE_DATA:
            case AVMEDIA_TYPE_ATTACHMENT:
            case AVMEDIA_TYPE_UNKNOWN:
                break;
            default:
                throw FFmpegException("invalid codec_type of input file");
            }
        }
    }
}

int TCustomFFmpeg::OpenOutputFile(const std::string& AFileName, bool AJoin) {
    auto failure = [this](const std::string& message) {
        FLastError = message;
        Options.OutputFormat = nullptr;
        Options.InputFormat = nullptr;
        return -1;
    };
    const auto& o = Options;
    if (FJoinMode)
        return failure("Cannot join more than one output file.");
    if (!o.VideoFilters.empty() && o.CropLeft + o.CropRight + o.CropTop + o.CropBottom != 0)
        return failure("Cannot enable crop options and filters at the same time.");
    if (o.PadLeft + o.PadRight + o.PadTop + o.PadBottom != 0 && NamesResizingFilter(o.VideoFilters))
        return failure("Cannot enable pad options and the filters which resize frame at the same "
                       "time. (crop, rotate, scale, transpose, etc.)");
    FFiltersActive = !o.VideoFilters.empty();
    if (FOutputFileCount >= MaxFiles)
        return failure(Format("%s: no more than %d output files can be created",
                              AFileName.c_str(), MaxFiles));
    // Writing over one of our own inputs would destroy it before it is read.
    for (const auto& input : InputFiles)
        if (SameFile(AFileName, input->FileName))
            return failure(Format("'%s' is also an input file; choose another name for the output",
                                  AFileName.c_str()));

    const std::string encoded = EncodeFileName(AFileName);
    if (!Options.OutputFormat)
        Options.OutputFormat = ff::av_guess_format(nullptr, encoded.c_str(), nullptr);
    if (!Options.OutputFormat)
        return failure(
            Format("Unable to find a suitable output format for '%s'", AFileName.c_str()));
    const AVOutputFormat* format = Options.OutputFormat;

    auto file = std::make_shared<TOutputFile>();
    file->FileName = AFileName;
    if (file->Output.Create(AFileName, format->name) < 0)
        throw FFmpegException("avformat_alloc_context failed");
    AVFormatContext* oc = file->Output.Get();
    oc->oformat = format;

    bool useVideo = format->video_codec != AV_CODEC_ID_NONE || o.VideoStreamCopy ||
                    !o.VideoCodecName.empty();
    bool useAudio = format->audio_codec != AV_CODEC_ID_NONE || o.AudioStreamCopy ||
                    !o.AudioCodecName.empty();
    bool useSubtitle = format->subtitle_codec != AV_CODEC_ID_NONE || o.SubtitleStreamCopy ||
                       !o.SubtitleCodecName.empty();
    if (FInputFileCount > 0) {
        bool hasVideo, hasAudio, hasSubtitle;
        try {
            CheckInputMediaTypes(AJoin, hasVideo, hasAudio, hasSubtitle);
        } catch (const std::exception& e) {
            return failure(Format("check_audio_video_sub_inputs fail: %s", e.what()));
        }
        useVideo = useVideo && hasVideo;
        useAudio = useAudio && hasAudio;
        useSubtitle = useSubtitle && hasSubtitle;
    }
    useAudio = useAudio && !o.AudioDisable;
    useVideo = useVideo && !o.VideoDisable;
    useSubtitle = useSubtitle && !o.SubtitleDisable;
    // The disable flags belong to this output, also where they kept a stream out.
    Options.VideoDisable = Options.AudioDisable = Options.SubtitleDisable = false;

    struct {
        bool Use;
        void (TCustomFFmpeg::*Create)(TOutputFile&);
        const char* Message;
    } kinds[] = {{useVideo, &TCustomFFmpeg::NewVideoStream, "new_video_stream fail: %s"},
                 {useAudio, &TCustomFFmpeg::NewAudioStream, "new_audio_stream fail: %s"},
                 {useSubtitle, &TCustomFFmpeg::NewSubtitleStream, "new_subtitle_stream fail: %s"}};
    for (const auto& k : kinds) {
        if (!k.Use)
            continue;
        try {
            (this->*k.Create)(*file);
        } catch (const std::exception& e) {
            return failure(Format(k.Message, e.what()));
        }
    }

    if (o.RecordingTimestamp != 0) {
        const std::time_t t = static_cast<std::time_t>(o.RecordingTimestamp);
        std::tm utc{};
        gmtime_r(&t, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
        ff::av_dict_set(&oc->metadata, "creation_time", text, 0);
    }
    // The pairs are applied from the last one added to the first.
    while (!Options.Metadata.empty()) {
        const auto& [key, value] = Options.Metadata.back();
        ff::av_dict_set(&oc->metadata, key.c_str(), value.c_str(), 0);
        Options.Metadata.pop_back();
    }

    if ((format->flags & AVFMT_NEEDNUMBER) && !ff::av_filename_number_test(oc->url))
        return failure(OpenErrorMessage(AFileName, AVERROR(EDOM)));
    if (!(format->flags & AVFMT_NOFILE) && file->Output.OpenIO() < 0)
        return failure(Format("Could not open '%s'", AFileName.c_str()));

    oc->max_delay = static_cast<int>(o.MuxMaxDelay * 1000000);
    oc->flags |= AVFMT_FLAG_NONBLOCK;
    AVDictionary* muxer = nullptr;
    // The preload is a private option of the MPEG muxers; others ignore it.
    ff::av_dict_set_int(&muxer, "preload", static_cast<int64_t>(o.MuxPreload * 1000000), 0);
    ApplyContextOptions(OptionContexts.get(), oc, &muxer, AV_OPT_FLAG_ENCODING_PARAM);
    file->MuxerOptions.reset(muxer);

    OutputFiles.push_back(file);
    FOutputFileCount = static_cast<int>(OutputFiles.size());

    if (AJoin && FInputFileCount > 1) {
        FJoinMode = true;
        int64_t total = 0;
        for (const auto& input : InputFiles)
            if (input->Input->duration != AV_NOPTS_VALUE)
                total += input->Input->duration / 1000;
        FTotalOutputDuration = total == 0 ? -1 : static_cast<int32_t>(total);
        for (int i = 1; i < FInputFileCount && FOutputFileCount < MaxFiles; ++i)
            OutputFiles.push_back(file);
        FOutputFileCount = static_cast<int>(OutputFiles.size());
    }
    Options.OutputFormat = nullptr;
    Options.InputFormat = nullptr;
    return FOutputFileCount;
}

TOutputStreamSetup& TCustomFFmpeg::AddOutputStream(TOutputFile& AFile, const AVCodec* AEncoder) {
    AVStream* st = ff::avformat_new_stream(AFile.Output.Get(), nullptr);
    if (!st)
        throw FFmpegException("Could not alloc stream");
    st->id = static_cast<int>(AFile.Output->nb_streams) - 1;
    TOutputStreamSetup setup;
    setup.Codec.reset(ff::avcodec_alloc_context3(AEncoder));
    if (!setup.Codec)
        throw FFmpegException("Could not alloc stream");
    setup.Encoder = AEncoder;
    AFile.Streams.push_back(std::move(setup));
    return AFile.Streams.back();
}

const AVCodec* TCustomFFmpeg::ChooseEncoder(TOutputFile& AFile, const std::string& AName,
                                            AVMediaType AType, bool AGuess) {
    if (!AName.empty()) {
        AVCodecID id;
        if (!FindCodec(AName, AType, true, id))
            throw FFmpegException(FLastError);
        return ff::avcodec_find_encoder_by_name(AName.c_str());
    }
    if (!AGuess)
        return nullptr;
    const AVCodecID id = ff::av_guess_codec(AFile.Output->oformat, nullptr, AFile.Output->url,
                                            nullptr, AType);
    return ff::avcodec_find_encoder(id);
}

void TCustomFFmpeg::NewVideoStream(TOutputFile& AFile) {
    auto& o = Options;
    // Whatever happens, this stream's per-stream options are used up.
    struct TConsume {
        TOptionSet& O;
        ~TConsume() {
            O.VideoDisable = false;
            O.VideoCodecName.clear();
            O.VideoStreamCopy = 0;
            O.VideoBitstreamFilters.clear();
        }
    } consume{o};

    const AVCodec* encoder =
        o.VideoStreamCopy ? nullptr : ChooseEncoder(AFile, o.VideoCodecName, AVMEDIA_TYPE_VIDEO, true);
    TOutputStreamSetup& s = AddOutputStream(AFile, encoder);
    AVStream* st = AFile.Output->streams[AFile.Output->nb_streams - 1];
    AVCodecContext* c = s.Codec.get();
    c->codec_type = AVMEDIA_TYPE_VIDEO;
    s.BitstreamFilters = o.VideoBitstreamFilters;
    c->thread_count = o.ThreadCount;
    if (o.VideoCodecTag)
        c->codec_tag = o.VideoCodecTag;
    AVCodecContext* videoOptions =
        OptionContexts ? OptionContexts->CodecOptions(AVMEDIA_TYPE_VIDEO) : nullptr;
    if ((o.VideoGlobalHeader & 1) ||
        (o.VideoGlobalHeader == 0 && (AFile.Output->oformat->flags & AVFMT_GLOBALHEADER))) {
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (videoOptions)
            videoOptions->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (o.VideoGlobalHeader & 2) {
        c->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
        if (videoOptions)
            videoOptions->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    }

    if (o.VideoStreamCopy) {
        s.StreamCopy = true;
        const AVRational sar = AspectToSampleAspect(o.FrameAspectRatio, o.FrameWidth, o.FrameHeight);
        st->sample_aspect_ratio = c->sample_aspect_ratio = sar;
    } else {
        AVRational rate = o.FrameRate.Num ? AVRational{o.FrameRate.Num, o.FrameRate.Den}
                                          : AVRational{25, 1};
        c->codec_id = encoder ? encoder->id : AV_CODEC_ID_NONE;
        ApplyContextOptions(OptionContexts.get(), c, AVMEDIA_TYPE_VIDEO,
                            AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        if (encoder && encoder->supported_framerates && !o.ForceFps)
            rate = encoder->supported_framerates[ff::av_find_nearest_q_idx(
                rate, encoder->supported_framerates)];
        c->time_base = AVRational{rate.den, rate.num};
        c->framerate = rate;
        st->time_base = c->time_base;
        c->width = o.FrameWidth + o.PadRight + o.PadLeft;
        c->height = o.FrameHeight + o.PadTop + o.PadBottom;
        const AVRational sar = AspectToSampleAspect(o.FrameAspectRatio, c->width, c->height);
        st->sample_aspect_ratio = c->sample_aspect_ratio = sar;
        c->pix_fmt = static_cast<AVPixelFormat>(o.FramePixelFormat);
        if (encoder && encoder->pix_fmts && !InList(encoder->pix_fmts, c->pix_fmt, AV_PIX_FMT_NONE))
            c->pix_fmt = encoder->pix_fmts[0];
        if (o.IntraOnly)
            c->gop_size = 0;
        if (!o.ForcedKeyFrames.empty()) {
            s.KeyFrameTimes = o.ForcedKeyFrames;
            CloseGroupsOfPictures(c);
        }
        if (o.VideoQscale != 0) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            s.Quality = FF_QP2LAMBDA * o.VideoQscale;
            c->global_quality = static_cast<int>(s.Quality);
        }
        // The codec context frees its matrices and overrides with av_free.
        auto libraryCopy = [](const TQuantMatrix& m) {
            auto* copy = static_cast<uint16_t*>(ff::av_malloc(sizeof(uint16_t) * 64));
            if (!copy)
                throw FFmpegException("Could not allocate the quantiser matrix");
            std::copy(m.begin(), m.end(), copy);
            return copy;
        };
        if (o.IntraMatrix)
            c->intra_matrix = libraryCopy(*o.IntraMatrix);
        if (o.InterMatrix)
            c->inter_matrix = libraryCopy(*o.InterMatrix);
        if (o.HasRcOverride) {
            const auto entries = ParseRcOverride(o.RcOverride);
            c->rc_override = static_cast<RcOverride*>(
                ff::av_mallocz(sizeof(RcOverride) * entries.size()));
            if (!c->rc_override)
                throw FFmpegException("Could not allocate the rate-control overrides");
            for (size_t i = 0; i < entries.size(); ++i) {
                c->rc_override[i].start_frame = entries[i].StartFrame;
                c->rc_override[i].end_frame = entries[i].EndFrame;
                c->rc_override[i].qscale = entries[i].Qscale;
                c->rc_override[i].quality_factor = entries[i].QualityFactor;
            }
            c->rc_override_count = static_cast<int>(entries.size());
        }
        if (c->rc_initial_buffer_occupancy == 0)
            c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
        c->intra_dc_precision = o.IntraDcPrecision - 8;
        if (o.Psnr)
            c->flags |= AV_CODEC_FLAG_PSNR;
        if (o.Pass == 1)
            c->flags |= AV_CODEC_FLAG_PASS1;
        else if (o.Pass != 0)
            c->flags |= AV_CODEC_FLAG_PASS2;
    }
    OutputCodecs.push_back(o.VideoCodecName.empty() ? nullptr : encoder);
    ff::avcodec_parameters_from_context(st->codecpar, c);
}

void TCustomFFmpeg::TakeNearestLayout(const AVCodec& AEncoder, AVChannelLayout& ALayout) {
    const AVChannelLayout* layouts = AEncoder.ch_layouts;
    if (!layouts)
        return; // the encoder takes any layout
    // The most channels up to those asked for (a downmix), else the fewest there are.
    const int wanted = ALayout.nb_channels;
    auto nearer = [wanted](const AVChannelLayout& a, const AVChannelLayout& b) {
        const bool aFits = a.nb_channels <= wanted, bFits = b.nb_channels <= wanted;
        if (aFits != bFits)
            return aFits;
        return aFits ? a.nb_channels > b.nb_channels : a.nb_channels < b.nb_channels;
    };
    const AVChannelLayout* nearest = nullptr;
    for (const AVChannelLayout* l = layouts; l->nb_channels != 0; ++l) {
        if (ff::av_channel_layout_compare(l, &ALayout) == 0)
            return;
        if (!nearest || nearer(*l, *nearest))
            nearest = l;
    }
    if (!nearest)
        return;
    char asked[64] = "", taken[64] = "";
    ff::av_channel_layout_describe(&ALayout, asked, sizeof asked);
    ff::av_channel_layout_describe(nearest, taken, sizeof taken);
    LogF(this, llWarning, "Encoder %s does not take the channel layout %s; using %s", AEncoder.name,
         asked, taken);
    ff::av_channel_layout_uninit(&ALayout);
    ff::av_channel_layout_copy(&ALayout, nearest);
}

void TCustomFFmpeg::NewAudioStream(TOutputFile& AFile) {
    auto& o = Options;
    struct TConsume {
        TOptionSet& O;
        ~TConsume() {
            O.AudioDisable = false;
            O.AudioCodecName.clear();
            O.AudioStreamCopy = 0;
            O.AudioLanguage.clear();
            O.AudioBitstreamFilters.clear();
        }
    } consume{o};

    const AVCodec* encoder =
        o.AudioStreamCopy ? nullptr : ChooseEncoder(AFile, o.AudioCodecName, AVMEDIA_TYPE_AUDIO, true);
    TOutputStreamSetup& s = AddOutputStream(AFile, encoder);
    AVStream* st = AFile.Output->streams[AFile.Output->nb_streams - 1];
    AVCodecContext* c = s.Codec.get();
    s.BitstreamFilters = o.AudioBitstreamFilters;
    c->thread_count = o.ThreadCount;
    c->codec_type = AVMEDIA_TYPE_AUDIO;
    if (o.AudioCodecTag)
        c->codec_tag = o.AudioCodecTag;
    if (AFile.Output->oformat->flags & AVFMT_GLOBALHEADER) {
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (OptionContexts)
            OptionContexts->CodecOptions(AVMEDIA_TYPE_AUDIO)->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    // An explicit layout: several encoders refuse an unspecified one.
    AVChannelLayout layout{};
    if (o.ChannelLayout != 0 &&
        ff::av_channel_layout_from_mask(&layout, static_cast<uint64_t>(o.ChannelLayout)) == 0 &&
        layout.nb_channels == o.AudioChannels) {
    } else {
        ff::av_channel_layout_uninit(&layout);
        ff::av_channel_layout_default(&layout, o.AudioChannels);
    }
    if (!o.AudioStreamCopy && encoder)
        TakeNearestLayout(*encoder, layout);
    ff::av_channel_layout_uninit(&c->ch_layout);
    c->ch_layout = layout;

    if (o.AudioStreamCopy) {
        s.StreamCopy = true;
    } else {
        ApplyContextOptions(OptionContexts.get(), c, AVMEDIA_TYPE_AUDIO,
                            AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        c->codec_id = encoder ? encoder->id : AV_CODEC_ID_NONE;
        if (o.AudioQscale > -99999.0f) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            s.Quality = FF_QP2LAMBDA * o.AudioQscale;
            c->global_quality = static_cast<int>(s.Quality);
        }
        c->sample_fmt = static_cast<AVSampleFormat>(o.AudioSampleFormat);
        if (encoder && encoder->sample_fmts &&
            !InList(encoder->sample_fmts, c->sample_fmt, AV_SAMPLE_FMT_NONE))
            c->sample_fmt = encoder->sample_fmts[0];
    }
    OutputCodecs.push_back(o.AudioCodecName.empty() ? nullptr : encoder);
    c->sample_rate = o.AudioSampleRate;
    c->time_base = AVRational{1, o.AudioSampleRate > 0 ? o.AudioSampleRate : 1};
    st->time_base = c->time_base;
    if (!o.AudioLanguage.empty())
        ff::av_dict_set(&st->metadata, "language", o.AudioLanguage.c_str(), 0);
    ff::avcodec_parameters_from_context(st->codecpar, c);
}

void TCustomFFmpeg::NewSubtitleStream(TOutputFile& AFile) {
    auto& o = Options;
    struct TConsume {
        TOptionSet& O;
        ~TConsume() {
            O.SubtitleDisable = false;
            O.SubtitleCodecName.clear();
            O.SubtitleStreamCopy = 0;
            O.SubtitleLanguage.clear();
            O.SubtitleBitstreamFilters.clear();
        }
    } consume{o};

    // Without a named encoder the subtitles are copied: a text subtitle cannot become a
    // picture one or the other way round, and the container's default encoder may not
    // take what the input holds.
    const bool copy = o.SubtitleStreamCopy || o.SubtitleCodecName.empty();
    const AVCodec* encoder =
        copy ? nullptr : ChooseEncoder(AFile, o.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false);
    TOutputStreamSetup& s = AddOutputStream(AFile, encoder);
    AVStream* st = AFile.Output->streams[AFile.Output->nb_streams - 1];
    AVCodecContext* c = s.Codec.get();
    s.BitstreamFilters = o.SubtitleBitstreamFilters;
    c->codec_type = AVMEDIA_TYPE_SUBTITLE;
    if (o.SubtitleCodecTag)
        c->codec_tag = o.SubtitleCodecTag;
    if (copy) {
        s.StreamCopy = true;
    } else {
        ApplyContextOptions(OptionContexts.get(), c, AVMEDIA_TYPE_SUBTITLE,
                            AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        c->codec_id = encoder ? encoder->id : AV_CODEC_ID_NONE;
        // The subtitle stage writes its times in microseconds.
        c->time_base = MicrosecondBase;
        st->time_base = c->time_base;
    }
    OutputCodecs.push_back(encoder);
    if (!o.SubtitleLanguage.empty())
        ff::av_dict_set(&st->metadata, "language", o.SubtitleLanguage.c_str(), 0);
    ff::avcodec_parameters_from_context(st->codecpar, c);
}

void TCustomFFmpeg::NewStreamInLastOutput(AVMediaType AType) {
    if (FOutputFileCount < 1)
        throw FFmpegException("At least one output file must be specified");
    TOutputFile& file = *OutputFiles.back();
    switch (AType) {
    case AVMEDIA_TYPE_VIDEO:
        NewVideoStream(file);
        break;
    case AVMEDIA_TYPE_AUDIO:
        NewAudioStream(file);
        break;
    default:
        NewSubtitleStream(file);
        break;
    }
}

} // namespace qm
