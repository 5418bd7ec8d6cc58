// Opening an input file: probe it, prepare its streams' decoders and copy the properties
// of its streams into the option set.
#include <cinttypes>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/SilenceInput.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

bool TCustomFFmpeg::FindCodec(const std::string& AName, AVMediaType AType, bool AEncoder,
                              AVCodecID& AId) {
    if (AName.empty()) {
        AId = AV_CODEC_ID_NONE;
        return true;
    }
    const AVCodec* codec = AEncoder ? ff::avcodec_find_encoder_by_name(AName.c_str())
                                    : ff::avcodec_find_decoder_by_name(AName.c_str());
    const char* kind = AEncoder ? "encoder" : "decoder";
    if (!codec) {
        FLastError = Format("Unknown %s '%s'", kind, AName.c_str());
        return false;
    }
    if (codec->type != AType) {
        FLastError = Format("Invalid %s type '%s'", kind, AName.c_str());
        return false;
    }
    AId = codec->id;
    return true;
}

void TCustomFFmpeg::ResetPerFileOptions() {
    Options.InputFormat = nullptr;
    Options.OutputFormat = nullptr;
    Options.SilenceInput = false;
    Options.VideoChannel = 0;
    Options.VideoCodecName.clear();
    Options.AudioCodecName.clear();
    Options.SubtitleCodecName.clear();
}

namespace {

const AVCodec* DecoderByName(const std::string& name) {
    return name.empty() ? nullptr : ff::avcodec_find_decoder_by_name(name.c_str());
}

// Input-side values of the option set for demuxers that cannot find them in the file
// (raw audio and video); a demuxer that has no such option leaves them unused.
TDictionaryPtr FormatParameters(const TOptionSet& o) {
    AVDictionary* dict = nullptr;
    ff::av_dict_set_int(&dict, "sample_rate", o.AudioSampleRate, 0);
    ff::av_dict_set_int(&dict, "channels", o.AudioChannels, 0);
    if (o.FrameRate.Num > 0 && o.FrameRate.Den > 0)
        ff::av_dict_set(&dict, "framerate",
                        Format("%d/%d", o.FrameRate.Num, o.FrameRate.Den).c_str(), 0);
    const int width = o.FrameWidth + o.PadLeft + o.PadRight;
    const int height = o.FrameHeight + o.PadTop + o.PadBottom;
    if (width > 0 && height > 0)
        ff::av_dict_set(&dict, "video_size", Format("%dx%d", width, height).c_str(), 0);
    if (o.FramePixelFormat >= 0) {
        if (const char* name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(o.FramePixelFormat)))
            ff::av_dict_set(&dict, "pixel_format", name, 0);
    }
    if (o.VideoChannel != 0)
        ff::av_dict_set_int(&dict, "channel", o.VideoChannel, 0);
    if (!o.VideoStandard.empty())
        ff::av_dict_set(&dict, "standard", o.VideoStandard.c_str(), 0);
    return TDictionaryPtr(dict);
}

} // namespace

bool TCustomFFmpeg::OpenInputFile(const std::string& AFileName) {
    if (FInputFileCount >= MaxFiles) {
        FLastError = Format("%s: no more than %d input files can be opened", AFileName.c_str(),
                            MaxFiles);
        ResetPerFileOptions();
        return false;
    }
    TFormatContextPtr prepared(ff::avformat_alloc_context());
    if (!prepared)
        throw FFmpegException("avformat_alloc_context failed");

    auto failure = [this] {
        ResetPerFileOptions();
        return false;
    };

    // Forced decoders: they must exist and be of the right kind.
    AVCodecID videoId, audioId, subtitleId;
    if (!FindCodec(Options.VideoCodecName, AVMEDIA_TYPE_VIDEO, false, videoId) ||
        !FindCodec(Options.AudioCodecName, AVMEDIA_TYPE_AUDIO, false, audioId) ||
        !FindCodec(Options.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitleId))
        return failure();
    if (Options.PgmyuvCompat)
        videoId = AV_CODEC_ID_PGMYUV;

    TDictionaryPtr parameters = FormatParameters(Options);
    AVDictionary* dict = parameters.release();
    ApplyContextOptions(OptionContexts.get(), prepared.get(), &dict, AV_OPT_FLAG_DECODING_PARAM);
    prepared->video_codec_id = videoId;
    prepared->audio_codec_id = audioId;
    prepared->subtitle_codec_id = subtitleId;
    prepared->video_codec = DecoderByName(Options.VideoCodecName);
    prepared->audio_codec = DecoderByName(Options.AudioCodecName);
    prepared->subtitle_codec = DecoderByName(Options.SubtitleCodecName);
    prepared->flags |= AVFMT_FLAG_NONBLOCK;

    auto file = std::make_unique<TInputFile>();
    file->FileName = AFileName;
    if (Options.SilenceInput) {
        file->GeneratorIO = NewSilenceIO();
        if (!file->GeneratorIO)
            throw FFmpegException("avio_alloc_context failed");
        file->Endless = true;
        prepared->pb = file->GeneratorIO.get();
        SetSilenceParameters(&dict);
    }
    const int opened = file->Input.Open(AFileName, Options.InputFormat, &dict, prepared.release());
    ff::av_dict_free(&dict);
    if (opened < 0) {
        FLastError = OpenErrorMessage(AFileName, opened, Options.InputFormat != nullptr);
        return failure();
    }
    AVFormatContext* ic = file->Input.Get();

    if (Options.ProgramId != 0) {
        for (unsigned i = 0; i < ic->nb_programs; ++i)
            if (ic->programs[i]->id != Options.ProgramId)
                ic->programs[i]->discard = AVDISCARD_ALL;
    }

    int infoResult;
    {
        std::lock_guard lock(CodecLock());
        infoResult = ff::avformat_find_stream_info(ic, nullptr);
    }
    if (infoResult < 0 && Options.Verbosity >= 0) {
        FLastError = Format("%s: could not find codec parameters", AFileName.c_str());
        Log(this, llVerbose, FLastError);
        return failure();
    }

    int64_t timestamp = Options.InputStartTime;
    if (ic->start_time != AV_NOPTS_VALUE)
        timestamp += ic->start_time;
    if (Options.InputStartTime != 0) {
        ff::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
        Options.InputStartTime = 0;
        file->SeekTime = timestamp;
    }

    file->Decoders.resize(ic->nb_streams);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        const AVCodecParameters* par = st->codecpar;
        auto makeDecoder = [&](const AVCodec* forced) {
            const AVCodec* codec = forced ? forced : ff::avcodec_find_decoder(par->codec_id);
            TCodecContextPtr ctx(ff::avcodec_alloc_context3(codec));
            if (!ctx || ff::avcodec_parameters_to_context(ctx.get(), par) < 0)
                throw FFmpegException("Could not allocate a decoder for stream #" +
                                      std::to_string(InputFiles.size()) + "." +
                                      std::to_string(i));
            ctx->pkt_timebase = st->time_base;
            ctx->thread_count = Options.ThreadCount;
            return ctx;
        };
        switch (par->codec_type) {
        case AVMEDIA_TYPE_AUDIO: {
            const AVCodec* forced = DecoderByName(Options.AudioCodecName);
            file->Decoders[i] = makeDecoder(forced);
            ApplyContextOptions(OptionContexts.get(), file->Decoders[i].get(), AVMEDIA_TYPE_AUDIO,
                                AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
            Options.ChannelLayout = par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE
                                        ? static_cast<int64_t>(par->ch_layout.u.mask)
                                        : 0;
            Options.AudioChannels = par->ch_layout.nb_channels;
            Options.AudioSampleRate = par->sample_rate;
            Options.AudioSampleFormat = par->format;
            InputCodecs.push_back(forced);
            if (Options.AudioDisable)
                st->discard = AVDISCARD_ALL;
            break;
        }
        case AVMEDIA_TYPE_VIDEO: {
            const AVCodec* forced = DecoderByName(Options.VideoCodecName);
            file->Decoders[i] = makeDecoder(forced);
            ApplyContextOptions(OptionContexts.get(), file->Decoders[i].get(), AVMEDIA_TYPE_VIDEO,
                                AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
            Options.FrameHeight = par->height;
            Options.FrameWidth = par->width;
            const AVRational sar =
                st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
            double aspect = sar.den ? RationalToDouble(sar) : 0.0;
            if (par->width * par->height != 0)
                aspect = aspect == 0 ? double(par->width) / par->height
                                     : par->width * aspect / par->height;
            else if (aspect == 0)
                aspect = 4.0 / 3.0;
            Options.FrameAspectRatio = static_cast<float>(aspect);
            Options.FramePixelFormat = par->format < 0 ? 0 : par->format;
            const AVRational rate = st->r_frame_rate;
            const AVRational codecBase = ff::av_stream_get_codec_timebase(st);
            if ((codecBase.den != rate.num || codecBase.num != rate.den) &&
                Options.Verbosity >= 0 && codecBase.num != 0 && rate.den != 0)
                LogF(this, llInfo,
                     "Seems stream %u codec frame rate differs from container frame rate: "
                     "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                     i, double(codecBase.den) / codecBase.num, codecBase.den, codecBase.num,
                     RationalToDouble(rate), rate.num, rate.den);
            Options.FrameRate = {rate.num, rate.den};
            InputCodecs.push_back(forced);
            if (Options.VideoDisable)
                st->discard = AVDISCARD_ALL;
            else if (Options.VideoDiscard != 0)
                st->discard = static_cast<AVDiscard>(Options.VideoDiscard);
            break;
        }
        case AVMEDIA_TYPE_DATA:
            break;
        case AVMEDIA_TYPE_SUBTITLE: {
            const AVCodec* forced = DecoderByName(Options.SubtitleCodecName);
            file->Decoders[i] = makeDecoder(forced);
            InputCodecs.push_back(forced);
            if (Options.SubtitleDisable)
                st->discard = AVDISCARD_ALL;
            break;
        }
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN:
            InputCodecs.push_back(nullptr);
            break;
        default:
            throw FFmpegException("invalid codec_type");
        }
    }

    if (ic->duration != AV_NOPTS_VALUE && ic->duration / 1000 > FTotalOutputDuration)
        FTotalOutputDuration = static_cast<int32_t>(ic->duration / 1000);

    InputTsOffsets[static_cast<size_t>(FInputFileCount)] =
        Options.CopyTimestamps ? Options.InputTsOffset : Options.InputTsOffset - timestamp;
    if (Options.Verbosity >= 0)
        ff::av_dump_format(ic, FInputFileCount, EncodeFileName(AFileName).c_str(), 0);
    InputFiles.push_back(std::move(file));
    FInputFileCount = static_cast<int>(InputFiles.size());
    ResetPerFileOptions();
    return true;
}

} // namespace qm
