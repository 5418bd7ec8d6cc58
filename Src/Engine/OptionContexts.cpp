#include "OptionContexts.h"

#include <algorithm>

#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

// Option flags of the media types, by codec context index. Data and attachment use 0,
// which matches every codec option.
constexpr int MediaTypeFlags[TOptionContexts::CodecContextCount] = {
    AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};

bool IsBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c <= ' '; });
}

struct TLibFree {
    void operator()(void* p) const { ff::av_free(p); }
};

struct TFormatContextFree {
    void operator()(AVFormatContext* p) const { ff::avformat_free_context(p); }
};

// Copies one option by name. Doubles travel as numbers: their text form has only six
// decimals.
void CopyOption(void* ASource, void* ATarget, const AVOption* AOption) {
    if (AOption->type == AV_OPT_TYPE_DOUBLE || AOption->type == AV_OPT_TYPE_FLOAT) {
        double value = 0;
        if (ff::av_opt_get_double(ASource, AOption->name, 0, &value) >= 0)
            ff::av_opt_set_double(ATarget, AOption->name, value, 0);
        return;
    }
    uint8_t* text = nullptr;
    if (ff::av_opt_get(ASource, AOption->name, 0, &text) < 0 || !text)
        return;
    std::unique_ptr<uint8_t, TLibFree> owned(text);
    ff::av_opt_set(ATarget, AOption->name, reinterpret_cast<const char*>(text), 0);
}

// A private option of a muxer, a demuxer or the I/O layer, with all bits of AFlags.
const AVOption* FindPrivateFormatOption(const char* AName, int AFlags) {
    const AVClass* cls = ff::avformat_get_class();
    return ff::av_opt_find(&cls, AName, nullptr, AFlags,
                           AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
}

// A private option has no object to hold it here, so the value is tried on a real
// context of each muxer that defines the option (the mpeg family shares one definition,
// the transport stream has its own); one that takes it is enough. Options that only
// demuxers or the I/O layer know are checked by avformat_open_input instead.
int CheckPrivateFormatValue(const char* AName, const char* AValue) {
    std::vector<const AVOption*> tried;
    int result = 0;
    void* iter = nullptr;
    while (const AVOutputFormat* format = ff::av_muxer_iterate(&iter)) {
        if (!format->priv_class)
            continue;
        const AVOption* option = ff::av_opt_find(const_cast<const AVClass**>(&format->priv_class),
                                                 AName, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
        if (!option || std::find(tried.begin(), tried.end(), option) != tried.end())
            continue;
        tried.push_back(option);
        AVFormatContext* raw = nullptr;
        result = ff::avformat_alloc_output_context2(&raw, format, nullptr, nullptr);
        std::unique_ptr<AVFormatContext, TFormatContextFree> context(raw);
        if (result < 0 || !context->priv_data)
            continue;
        result = ff::av_opt_set(context->priv_data, AName, AValue, 0);
        if (result >= 0)
            return result;
    }
    return result;
}

struct TCodecContextFree {
    void operator()(AVCodecContext* p) const { ff::avcodec_free_context(&p); }
};

// Like the private format options: the value is tried on a context of each codec of the
// media type that defines the option (a family of codecs shares one definition).
bool CheckPrivateCodecValue(AVMediaType AType, const char* AName, const char* AValue) {
    std::vector<const AVOption*> tried;
    void* iter = nullptr;
    while (const AVCodec* codec = ff::av_codec_iterate(&iter)) {
        if (codec->type != AType || !codec->priv_class)
            continue;
        const AVOption* option = ff::av_opt_find(const_cast<const AVClass**>(&codec->priv_class),
                                                 AName, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
        if (!option || std::find(tried.begin(), tried.end(), option) != tried.end())
            continue;
        tried.push_back(option);
        std::unique_ptr<AVCodecContext, TCodecContextFree> context(
            ff::avcodec_alloc_context3(codec));
        if (context && context->priv_data &&
            ff::av_opt_set(context->priv_data, AName, AValue, 0) >= 0)
            return true;
    }
    return false;
}

} // namespace

void TOptionContexts::TCodecFree::operator()(AVCodecContext* p) const {
    ff::avcodec_free_context(&p);
}
void TOptionContexts::TFormatFree::operator()(AVFormatContext* p) const {
    ff::avformat_free_context(p);
}
void TOptionContexts::TDictFree::operator()(AVDictionary* p) const {
    ff::av_dict_free(&p);
}
void TOptionContexts::TScalerFree::operator()(SwsContext* p) const {
    ff::sws_freeContext(p);
}

TOptionContexts::~TOptionContexts() = default;

std::unique_ptr<TOptionContexts> TOptionContexts::Create(int AScalerFlags) {
    auto contexts = std::make_unique<TOptionContexts>(TKey{});
    for (auto& codec : contexts->FCodecOptions) {
        codec.reset(ff::avcodec_alloc_context3(nullptr));
        if (!codec)
            return nullptr;
    }
    contexts->FFormatOptions.reset(ff::avformat_alloc_context());
    contexts->FScalerOptions.reset(ff::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16,
                                                      AV_PIX_FMT_YUV420P, AScalerFlags, nullptr,
                                                      nullptr, nullptr));
    if (!contexts->FFormatOptions || !contexts->FScalerOptions)
        return nullptr;
    return contexts;
}

AVCodecContext* TOptionContexts::CodecOptions(AVMediaType AType) const {
    if (AType < 0 || AType >= CodecContextCount)
        return nullptr;
    return FCodecOptions[AType].get();
}

const AVDictionary* TOptionContexts::PrivateCodecOptions(AVMediaType AType) const {
    if (AType < 0 || AType >= CodecContextCount)
        return nullptr;
    return FPrivateCodecOptions[AType].get();
}

int64_t TOptionContexts::CodecOptionInt(AVMediaType AType, const char* AName) const {
    int64_t value = 0;
    AVCodecContext* context = CodecOptions(AType);
    if (!context || ff::av_opt_get_int(context, AName, 0, &value) < 0)
        return 0;
    return value;
}

int64_t TOptionContexts::ScalerOptionInt(const char* AName) const {
    int64_t value = 0;
    if (ff::av_opt_get_int(FScalerOptions.get(), AName, 0, &value) < 0)
        return 0;
    return value;
}

bool SetContextOption(TOptionContexts* AContexts, const std::string& AName,
                      const std::string& AValue) {
    if (!AContexts || IsBlank(AName) || IsBlank(AValue))
        return false;
    const char* name = AName.c_str();
    const char* value = AValue.c_str();
    AVCodecContext* videoOptions = AContexts->FCodecOptions[AVMEDIA_TYPE_VIDEO].get();
    AVFormatContext* formatOptions = AContexts->FFormatOptions.get();
    const AVOption* found = nullptr;
    int result = 0;

    // Every media type whose options include the name gets the value; "b" is the video
    // bit rate only ("ab" is the audio one), although the library lists it for audio too.
    const bool videoOnly = AName == "b";
    for (int i = 0; i < TOptionContexts::CodecContextCount && result >= 0; ++i) {
        if (videoOnly && i != AVMEDIA_TYPE_VIDEO)
            continue;
        if (const AVOption* o =
                ff::av_opt_find(videoOptions, name, nullptr, MediaTypeFlags[i], 0)) {
            found = o;
            result = ff::av_opt_set(AContexts->FCodecOptions[i].get(), name, value, 0);
        }
    }
    if (!found && (found = ff::av_opt_find(formatOptions, name, nullptr, 0, 0)))
        result = ff::av_opt_set(formatOptions, name, value, 0);
    bool privateFormatOption = false;
    if (!found && (found = FindPrivateFormatOption(name, 0))) {
        privateFormatOption = true;
        result = CheckPrivateFormatValue(name, value);
    }
    SwsContext* scalerOptions = AContexts->FScalerOptions.get();
    if (!found && (found = ff::av_opt_find(scalerOptions, name, nullptr, 0, 0)))
        result = ff::av_opt_set(scalerOptions, name, value, 0);
    if (!found && AName.size() > 1) {
        // "vb", "ag": the letter names the media type of a codec option.
        AVCodecContext* context = nullptr;
        switch (AName[0]) {
        case 'a':
            context = AContexts->FCodecOptions[AVMEDIA_TYPE_AUDIO].get();
            break;
        case 'v':
            context = videoOptions;
            break;
        case 's':
            context = AContexts->FCodecOptions[AVMEDIA_TYPE_SUBTITLE].get();
            break;
        }
        if (context && (found = ff::av_opt_find(context, name + 1, nullptr, 0, 0)))
            result = ff::av_opt_set(context, name + 1, value, 0);
    }

    if (!found)
        return false;
    if (result < 0) {
        ff::av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value, name);
        return false;
    }
    if (privateFormatOption) {
        AVDictionary* options = AContexts->FPrivateFormatOptions.release();
        result = ff::av_dict_set(&options, name, value, 0);
        AContexts->FPrivateFormatOptions.reset(options);
        if (result < 0)
            return false;
    }
    AContexts->FOptionNames.emplace_back(found->name);
    if (videoOptions->debug != 0 || formatOptions->debug != 0)
        GetLogger().SetLogLevel(llDebug);
    return true;
}

bool SetPrivateCodecOption(TOptionContexts* AContexts, AVMediaType AType, const std::string& AName,
                           const std::string& AValue) {
    if (!AContexts || AType < 0 || AType >= TOptionContexts::CodecContextCount || IsBlank(AName) ||
        IsBlank(AValue))
        return false;
    if (!CheckPrivateCodecValue(AType, AName.c_str(), AValue.c_str()))
        return false;
    AVDictionary* options = AContexts->FPrivateCodecOptions[AType].release();
    const int result = ff::av_dict_set(&options, AName.c_str(), AValue.c_str(), 0);
    AContexts->FPrivateCodecOptions[AType].reset(options);
    return result >= 0;
}

void ApplyContextOptions(const TOptionContexts* AContexts, AVCodecContext* ATarget,
                         AVMediaType AType, int AFlags) {
    AVCodecContext* source = AContexts ? AContexts->CodecOptions(AType) : nullptr;
    if (!source || !ATarget)
        return;
    for (const std::string& name : AContexts->OptionNames()) {
        const AVOption* o = ff::av_opt_find(source, name.c_str(), nullptr, 0, 0);
        if (o && (o->flags & AFlags) == AFlags)
            CopyOption(source, ATarget, o);
    }
    // priv_data begins with an AVClass pointer only when the codec has a private class.
    if (!ATarget->codec || !ATarget->codec->priv_class || !ATarget->priv_data)
        return;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = ff::av_dict_get(AContexts->PrivateCodecOptions(AType), "", entry,
                                    AV_DICT_IGNORE_SUFFIX))) {
        const AVOption* o = ff::av_opt_find(ATarget->priv_data, entry->key, nullptr, 0, 0);
        if (o && (o->flags & AFlags) == AFlags)
            ff::av_opt_set(ATarget->priv_data, entry->key, entry->value, 0);
    }
}

void ApplyContextOptions(const TOptionContexts* AContexts, AVFormatContext* ATarget,
                         AVDictionary** APrivateOptions, int AFlags) {
    if (!AContexts)
        return;
    AVFormatContext* source = AContexts->FFormatOptions.get();
    const AVDictionary* privateOptions = AContexts->FPrivateFormatOptions.get();
    for (const std::string& name : AContexts->OptionNames()) {
        const char* n = name.c_str();
        if (const AVOption* o = ff::av_opt_find(source, n, nullptr, 0, 0)) {
            if (ATarget && (o->flags & AFlags) == AFlags)
                CopyOption(source, ATarget, o);
            continue;
        }
        const AVDictionaryEntry* entry =
            ff::av_dict_get(privateOptions, n, nullptr, AV_DICT_MATCH_CASE);
        if (entry && APrivateOptions && FindPrivateFormatOption(n, AFlags))
            ff::av_dict_set(APrivateOptions, n, entry->value, 0);
    }
}

} // namespace qm
