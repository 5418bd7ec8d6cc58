// SetOption: the engine's named options, in the manner of a command-line transcoder.
#include <cmath>
#include <thread>
#include <unordered_map>

#include "Engine/FFmpeg.h"
#include "Engine/KeyFrameTimes.h"
#include "Engine/OptionContexts.h"
#include "Engine/OptionValues.h"
#include "Engine/SilenceInput.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

using THandler = void (*)(TCustomFFmpeg& e, const std::string& name, const std::string& value);

struct TOptionRow {
    const char* Name;
    THandler Handler;
};

// "vhook": a plug-in's file name and its arguments, separated by "|" when the text has
// one, else by blanks.
void VhookOption(TCustomFFmpeg& e, const std::string&, const std::string& value) {
    const char separator = value.find('|') != std::string::npos ? '|' : ' ';
    std::vector<std::string> args;
    size_t pos = 0;
    while (pos < value.size() && args.size() < 64) {
        const size_t end = std::min(value.find(separator, pos), value.size());
        if (end > pos)
            args.push_back(value.substr(pos, end - pos));
        pos = end + 1;
    }
    if (e.FrameHooks.AddFrameHook(args) != 0)
        throw FFmpegException("Failed to add video hook function: " + value);
    e.Options.UsingFrameHooks = true;
}

void DoNothing(TCustomFFmpeg& e, const std::string& name, const std::string&) {
    Log(&e, llInfo, "Do nothing: option - " + name);
}

// Reads the "map" number syntax: numbers as far as digits go, one character skipped after
// each while the text goes on.
int32_t ReadMapNumber(const std::string& text, size_t& pos) {
    const long value = ReadPrefixedInt(text, pos);
    if (pos < text.size())
        ++pos;
    return static_cast<int32_t>(value);
}

void MapOption(TCustomFFmpeg& e, const std::string&, const std::string& value) {
    auto& maps = e.Options.StreamMaps;
    if (static_cast<int>(maps.size()) >= MaxStreamMaps)
        throw FFmpegException("Too many stream mappings: at most " +
                              std::to_string(MaxStreamMaps) + " are possible");
    TStreamMap m;
    size_t pos = 0;
    m.FileIndex = ReadMapNumber(value, pos);
    m.StreamIndex = ReadMapNumber(value, pos);
    if (pos >= value.size()) {
        m.SyncFileIndex = m.FileIndex;
        m.SyncStreamIndex = m.StreamIndex;
    } else {
        m.SyncFileIndex = ReadMapNumber(value, pos);
        m.SyncStreamIndex = ReadMapNumber(value, pos);
    }
    maps.push_back(m);
}

void MapMetaDataOption(TCustomFFmpeg& e, const std::string&, const std::string& value) {
    auto& maps = e.Options.MetadataMaps;
    if (static_cast<int>(maps.size()) >= MaxMetadataMaps)
        throw FFmpegException("Too many metadata mappings: at most " +
                              std::to_string(MaxMetadataMaps) + " are possible");
    TMetadataMap m;
    size_t pos = 0;
    m.OutFile = ReadMapNumber(value, pos);
    m.InFile = ReadMapNumber(value, pos);
    maps.push_back(m);
}

void BitRateOption(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
    if (name.empty() || value.empty())
        return;
    if (!SetContextOption(e.OptionContexts.get(), name, value))
        return;
    const AVMediaType type = name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    if (e.OptionContexts->CodecOptionInt(type, "b") < 1000)
        Log(&e, llWarning,
            "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not "
            "kbits/s");
}

uint32_t FourCC(const std::string& value, const char* kind) {
    if (value.size() != 4)
        throw EAssertionFailed(std::string(kind) + " tag parameter must be 4 chars (" +
                               __FILE_NAME__ + ", line " + std::to_string(__LINE__) + ")");
    return static_cast<uint32_t>(static_cast<unsigned char>(value[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(value[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(value[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(value[3])) << 24;
}

void TagOption(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
    if (value.empty())
        return;
    switch (name[0]) {
    case 'v':
        e.Options.VideoCodecTag = FourCC(value, "video");
        break;
    case 'a':
        e.Options.AudioCodecTag = FourCC(value, "audio");
        break;
    default:
        e.Options.SubtitleCodecTag = FourCC(value, "subtitle");
        break;
    }
}

void BitstreamFilterOption(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
    if (name.empty() || value.empty() || value[0] == '=')
        return;
    const size_t eq = value.find('=');
    const std::string filterName = eq == std::string::npos ? value : value.substr(0, eq);
    const AVBitStreamFilter* filter = ff::av_bsf_get_by_name(filterName.c_str());
    if (!filter)
        throw FFmpegException("Unknown bitstream filter " + Trim(value));
    auto& chain = name[0] == 'v'   ? e.Options.VideoBitstreamFilters
                  : name[0] == 'a' ? e.Options.AudioBitstreamFilters
                                   : e.Options.SubtitleBitstreamFilters;
    chain.push_back(filter);
}

void NewStreamOption(TCustomFFmpeg& e, const std::string& name, const std::string&) {
    e.NewStreamInLastOutput(name == "newvideo"   ? AVMEDIA_TYPE_VIDEO
                            : name == "newaudio" ? AVMEDIA_TYPE_AUDIO
                                                 : AVMEDIA_TYPE_SUBTITLE);
}

// A setting the media libraries no longer have in any form: refused when it is turned on,
// rather than doing something else ("sameq" would encode at quantiser 0).
void UnavailableOption(TCustomFFmpeg&, const std::string& name, const std::string& value) {
    if (ParseInt32(value) != 0)
        throw FFmpegException("Option " + name + " is not available: the media libraries have no such setting");
}

void DurationT(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
    const int64_t us = ParseTime(name, value, true);
    if (us > 0)
        e.SetRecordingTimeUs(us);
}

// Plain stores: one converted value into one field.
#define QM_FLAG(field) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.Options.field = ParseFlag(v); }
#define QM_SETFLAG(field) [](TCustomFFmpeg& e, const std::string&, const std::string&) { e.Options.field = true; }
#define QM_INT(field) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.Options.field = ParseInt32(v); }
#define QM_FLOAT(field) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.Options.field = static_cast<float>(ParseFloat(v)); }
#define QM_TEXT(field) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.Options.field = v; }
#define QM_POSITIVE_INT(field)                                                                     \
    [](TCustomFFmpeg& e, const std::string&, const std::string& v) {                               \
        const int32_t n = ParseInt32(v);                                                           \
        if (n > 0)                                                                                 \
            e.Options.field = n;                                                                   \
    }
#define QM_MAX_FRAMES(slot) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.Options.MaxFrames[slot] = ParseInt32(v); }
#define QM_METHOD(method) [](TCustomFFmpeg& e, const std::string& n, const std::string& v) { e.method(n, v); }

// clang-format off
// In the order in which the names are documented; lookup goes through a hash of them.
const TOptionRow OptionRows[] = {
    {"L", DoNothing},
    {"h", DoNothing},
    {"version", DoNothing},
    {"formats", DoNothing},
    {"f", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.SetFormat(v); }},
    {"i", DoNothing},
    {"y", DoNothing},
    {"map", MapOption},
    {"map_meta_data", MapMetaDataOption},
    {"t", DurationT},
    {"fs", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.Options.LimitFileSize = ParseInt64(v); }},
    {"ss", [](TCustomFFmpeg& e, const std::string& n, const std::string& v) { e.Options.InputStartTime = ParseTime(n, v, true); }},
    {"itsoffset", [](TCustomFFmpeg& e, const std::string& n, const std::string& v) { e.Options.InputTsOffset = ParseTime(n, v, true); }},
    {"itsscale", QM_METHOD(ItsScaleOption)},
    {"timestamp", [](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
         e.Options.RecordingTimestamp = static_cast<int64_t>(std::nearbyint(ParseTime(n, v, false) / 1e6));
     }},
    {"metadata", QM_METHOD(MetadataOption)},
    {"dframes", QM_MAX_FRAMES(fsData)},
    {"benchmark", DoNothing},
    {"dump", QM_FLAG(PacketDump)},
    {"hex", QM_FLAG(HexDump)},
    {"re", QM_FLAG(RateEmulation)},
    {"loop_input", QM_FLAG(LoopInput)},
    {"loop_output", QM_INT(LoopOutput)},
    {"v", QM_INT(Verbosity)},
    {"loglevel", [](TCustomFFmpeg&, const std::string&, const std::string& v) { GetLogger().SetLogLevelByName(v); }},
    {"target", QM_METHOD(TargetOption)},
    {"threads", [](TCustomFFmpeg& e, const std::string&, const std::string& v) {
         // 0: one thread per available processor.
         const int32_t n = ParseInt32(v);
         if (n < 0)
             throw FFmpegException("Incorrect thread count: " + v);
         const unsigned cores = std::thread::hardware_concurrency();
         e.Options.ThreadCount = n > 0 ? n : static_cast<int32_t>(cores > 0 ? cores : 1);
     }},
    {"vsync", QM_INT(VideoSyncMethod)},
    {"async", QM_INT(AudioSyncMethod)},
    {"adrift_threshold", QM_FLOAT(AudioDriftThreshold)},
    {"vglobal", QM_INT(VideoGlobalHeader)},
    {"copyts", QM_SETFLAG(CopyTimestamps)},
    {"shortest", QM_FLAG(Shortest)},
    {"dts_delta_threshold", QM_FLOAT(DtsDeltaThreshold)},
    {"programid", QM_INT(ProgramId)},
    {"xerror", QM_SETFLAG(ExitOnError)},
    {"copyinkf", QM_INT(CopyInitialNonKeyframes)},
    {"b", BitRateOption},
    {"vb", BitRateOption},
    {"vframes", QM_MAX_FRAMES(fsVideo)},
    {"r", QM_METHOD(FrameRateOption)},
    {"s", QM_METHOD(FrameSizeOption)},
    {"aspect", QM_METHOD(AspectOption)},
    {"pix_fmt", QM_METHOD(PixelFormatOption)},
    {"croptop", QM_METHOD(CropOption)},
    {"cropbottom", QM_METHOD(CropOption)},
    {"cropleft", QM_METHOD(CropOption)},
    {"cropright", QM_METHOD(CropOption)},
    {"padtop", QM_METHOD(PadOption)},
    {"padbottom", QM_METHOD(PadOption)},
    {"padleft", QM_METHOD(PadOption)},
    {"padright", QM_METHOD(PadOption)},
    {"padcolor", QM_METHOD(PadColorOption)},
    {"intra", QM_FLAG(IntraOnly)},
    {"vn", QM_FLAG(VideoDisable)},
    {"vdt", QM_INT(VideoDiscard)},
    {"qscale", QM_METHOD(QscaleOption)},
    {"rc_override", [](TCustomFFmpeg& e, const std::string&, const std::string& v) {
         e.Options.RcOverride = v;
         e.Options.HasRcOverride = true;
     }},
    {"vcodec", QM_METHOD(CodecOption)},
    {"me_threshold", UnavailableOption},
    {"sameq", UnavailableOption},
    {"pass", QM_METHOD(PassOption)},
    {"passlogfile", QM_TEXT(PassLogFile)},
    {"deinterlace", QM_FLAG(Deinterlace)},
    {"psnr", QM_FLAG(Psnr)},
    {"vstats", QM_METHOD(VstatsOption)},
    {"vstats_file", QM_TEXT(VstatsFileName)},
    {"vhook", VhookOption},
    {"vfilters", [](TCustomFFmpeg& e, const std::string&, const std::string& v) {
         if (!v.empty())
             e.Options.VideoFilters = v;
     }},
    {"force_key_frames", [](TCustomFFmpeg& e, const std::string&, const std::string& v) {
         e.Options.ForcedKeyFrames = ParseKeyFrameTimes(v);
     }},
    {"intra_matrix", QM_METHOD(MatrixOption)},
    {"inter_matrix", QM_METHOD(MatrixOption)},
    {"top", QM_INT(TopFieldFirst)},
    {"dc", QM_INT(IntraDcPrecision)},
    {"vtag", TagOption},
    {"newvideo", NewStreamOption},
    {"qphist", QM_FLAG(QpHistogram)},
    {"force_fps", QM_FLAG(ForceFps)},
    {"ab", BitRateOption},
    {"aframes", QM_MAX_FRAMES(fsAudio)},
    {"aq", QM_FLOAT(AudioQscale)},
    {"ar", QM_POSITIVE_INT(AudioSampleRate)},
    {"ac", QM_POSITIVE_INT(AudioChannels)},
    {"an", QM_FLAG(AudioDisable)},
    {"acodec", QM_METHOD(CodecOption)},
    {"atag", TagOption},
    {"vol", QM_INT(VolumeScale)},
    {"newaudio", NewStreamOption},
    {"alang", QM_TEXT(AudioLanguage)},
    {"sample_fmt", QM_METHOD(SampleFormatOption)},
    {"sn", QM_FLAG(SubtitleDisable)},
    {"scodec", QM_METHOD(CodecOption)},
    {"newsubtitle", NewStreamOption},
    {"slang", QM_TEXT(SubtitleLanguage)},
    {"stag", TagOption},
    {"vc", QM_INT(VideoChannel)},
    {"tvstd", QM_TEXT(VideoStandard)},
    {"isync", QM_FLAG(InputSync)},
    {"muxdelay", QM_FLOAT(MuxMaxDelay)},
    {"muxpreload", QM_FLOAT(MuxPreload)},
    {"absf", BitstreamFilterOption},
    {"vbsf", BitstreamFilterOption},
    {"sbsf", BitstreamFilterOption},
    {"apre", QM_METHOD(ApplyPreset)},
    {"vpre", QM_METHOD(ApplyPreset)},
    {"spre", QM_METHOD(ApplyPreset)},
};
// clang-format on

static_assert(std::size(OptionRows) == 106);

const std::unordered_map<std::string, THandler>& OptionIndex() {
    static const auto index = [] {
        std::unordered_map<std::string, THandler> map;
        for (const auto& row : OptionRows)
            map.emplace(row.Name, row.Handler);
        return map;
    }();
    return index;
}

} // namespace

bool TCustomFFmpeg::IsTableOption(const std::string& AName) {
    return OptionIndex().count(AName) != 0;
}

namespace {

// Options that an encoder keeps in a context of its own ("intra_vlc", "non_linear_quant" of the
// MPEG video encoders) reach the video or audio encoder chosen so far, when it has them.
bool SetEncoderPrivateOption(TCustomFFmpeg& AEngine, const std::string& AName,
                             const std::string& AValue) {
    const std::pair<AVMediaType, const std::string*> chosen[] = {
        {AVMEDIA_TYPE_VIDEO, &AEngine.Options.VideoCodecName},
        {AVMEDIA_TYPE_AUDIO, &AEngine.Options.AudioCodecName}};
    for (const auto& [type, name] : chosen) {
        const AVCodec* codec = name->empty() ? nullptr : ff::avcodec_find_encoder_by_name(name->c_str());
        if (!codec || !codec->priv_class ||
            !ff::av_opt_find(const_cast<const AVClass**>(&codec->priv_class), AName.c_str(), nullptr,
                             0, AV_OPT_SEARCH_FAKE_OBJ))
            continue;
        if (SetPrivateCodecOption(AEngine.OptionContexts.get(), type, AName, AValue))
            return true;
        Log(&AEngine, llError, "Invalid value \"" + AValue + "\" for option \"" + AName + "\"");
        return false;
    }
    return false;
}

} // namespace

void TCustomFFmpeg::SetOption(const std::string& AName, const std::string& AValue) {
    const auto& index = OptionIndex();
    auto it = index.find(AName);
    if (it != index.end()) {
        it->second(*this, AName, AValue);
        return;
    }
    if (!SetContextOption(OptionContexts.get(), AName, AValue))
        SetEncoderPrivateOption(*this, AName, AValue);
}

void TCustomFFmpeg::SetFormat(const std::string& AValue) {
    if (AValue.empty())
        return;
    if (AValue == SilenceFormatName) {
        Options.SilenceInput = true;
        Options.InputFormat = SilenceDemuxer();
        Options.OutputFormat = nullptr;
        return;
    }
    const std::string name = PgmyuvRewrite(AValue);
    Options.InputFormat = ff::av_find_input_format(name.c_str());
    Options.OutputFormat = ff::av_guess_format(name.c_str(), nullptr, nullptr);
    if (!Options.InputFormat && !Options.OutputFormat)
        throw FFmpegException("Unknown input or output format: " + name);
}

std::string TCustomFFmpeg::PgmyuvRewrite(const std::string& AName) {
    if (AName != "pgmyuv")
        return AName;
    Options.PgmyuvCompat = 1;
    Log(this, llInfo, "pgmyuv format is deprecated, use image2");
    return "image2";
}

void TCustomFFmpeg::SetInputFormat(const std::string& AName) {
    if (AName.empty())
        return;
    const std::string name = PgmyuvRewrite(AName);
    Options.InputFormat = ff::av_find_input_format(name.c_str());
    if (!Options.InputFormat)
        throw FFmpegException("Unknown input format: " + name);
}

void TCustomFFmpeg::SetOutputFormat(const std::string& AName) {
    if (AName.empty())
        return;
    const std::string name = PgmyuvRewrite(AName);
    Options.OutputFormat = ff::av_guess_format(name.c_str(), nullptr, nullptr);
    if (!Options.OutputFormat)
        throw FFmpegException("Unknown output format: " + name);
}

bool TCustomFFmpeg::SetIntOption(const std::string& AName, int32_t AValue) {
    return SetContextOption(OptionContexts.get(), AName, std::to_string(AValue));
}

void TCustomFFmpeg::AddMetadata(const std::string& AKey, const std::string& AValue) {
    Options.Metadata.emplace_back(AKey, AValue);
}

void TCustomFFmpeg::SetRecordingTimeUs(int64_t AUs) {
    Options.RecordingTime = AUs;
    FTotalOutputDuration = static_cast<int32_t>(AUs / 1000);
}

void TCustomFFmpeg::SetRecordingTimeMs(int32_t AMs) {
    if (AMs > 0)
        SetRecordingTimeUs(static_cast<int64_t>(AMs) * 1000);
}

void TCustomFFmpeg::SetInputStartTime(int64_t AUs) {
    if (AUs > 0)
        Options.InputStartTime = AUs;
}

void TCustomFFmpeg::SetProgramId(int32_t AId) {
    if (AId >= 0)
        Options.ProgramId = AId;
}

void TCustomFFmpeg::SetVolumeScale(int32_t AVolume) {
    if (AVolume >= 0)
        Options.VolumeScale = AVolume;
}

void TCustomFFmpeg::SetMuxMaxDelay(float ASeconds) {
    if (ASeconds > 0)
        Options.MuxMaxDelay = ASeconds;
}

void TCustomFFmpeg::SetMuxPreload(float ASeconds) {
    if (ASeconds > 0)
        Options.MuxPreload = ASeconds;
}

void TCustomFFmpeg::CodecOption(const std::string& AName, const std::string& AValue) {
    if (AValue.empty())
        return;
    std::string* codecName;
    int32_t* streamCopy;
    switch (AName[0]) {
    case 'v':
        codecName = &Options.VideoCodecName;
        streamCopy = &Options.VideoStreamCopy;
        break;
    case 'a':
        codecName = &Options.AudioCodecName;
        streamCopy = &Options.AudioStreamCopy;
        break;
    default:
        codecName = &Options.SubtitleCodecName;
        streamCopy = &Options.SubtitleStreamCopy;
        break;
    }
    codecName->clear();
    if (AValue == "copy")
        *streamCopy = 1;
    else
        *codecName = AValue;
}

} // namespace qm
