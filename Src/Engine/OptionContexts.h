// Library option contexts: where every option that the engine's own table does not know
// is recorded, and from where it is copied into the codec and format contexts the engine
// later opens.
//
// Codec options live in five codec contexts, one per media type (video, audio, data,
// subtitle, attachment); container options in a format context, except the private
// options of muxers and demuxers ("muxrate", "preload"), which a plain format context
// cannot hold and which are kept in a dictionary instead; scaler options in a 16x16
// scaler context. Private options of codecs ("scan_offset" of the MPEG video encoders)
// are kept in one dictionary per media type. SetContextOption and SetPrivateCodecOption
// record, ApplyContextOptions copies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct SwsContext;

namespace qm {

class TOptionContexts {
    struct TKey {
        explicit TKey() = default;
    };

public:
    // Number of codec option contexts: AVMEDIA_TYPE_VIDEO .. AVMEDIA_TYPE_ATTACHMENT.
    static constexpr int CodecContextCount = 5;

    // Null when a context cannot be made: out of memory, or scaler flags that name more
    // than one scaling algorithm. Needs the converter libraries to be loaded.
    static std::unique_ptr<TOptionContexts> Create(int AScalerFlags);
    explicit TOptionContexts(TKey) {} // through Create only
    ~TOptionContexts();
    TOptionContexts(const TOptionContexts&) = delete;
    TOptionContexts& operator=(const TOptionContexts&) = delete;

    // The library name of every option set successfully, in order; a name set twice is
    // listed twice.
    const std::vector<std::string>& OptionNames() const { return FOptionNames; }

    // The option context of a media type; null outside video .. attachment.
    AVCodecContext* CodecOptions(AVMediaType AType) const;
    AVFormatContext* FormatOptions() const { return FFormatOptions.get(); }
    // Private muxer and demuxer options, by name.
    const AVDictionary* PrivateFormatOptions() const { return FPrivateFormatOptions.get(); }
    // Private codec options of a media type, by name; null outside video .. attachment.
    const AVDictionary* PrivateCodecOptions(AVMediaType AType) const;
    SwsContext* ScalerOptions() const { return FScalerOptions.get(); }

    // A recorded integer option of a codec context (the bit-rate check reads "b"); 0 when
    // the media type or the name is unknown.
    int64_t CodecOptionInt(AVMediaType AType, const char* AName) const;
    // A recorded integer option of the scaler context ("sws_flags"); 0 when unknown.
    int64_t ScalerOptionInt(const char* AName) const;

private:
    struct TCodecFree {
        void operator()(AVCodecContext* p) const;
    };
    struct TFormatFree {
        void operator()(AVFormatContext* p) const;
    };
    struct TDictFree {
        void operator()(AVDictionary* p) const;
    };
    struct TScalerFree {
        void operator()(SwsContext* p) const;
    };

    friend bool SetContextOption(TOptionContexts* AContexts, const std::string& AName,
                                 const std::string& AValue);
    friend void ApplyContextOptions(const TOptionContexts* AContexts, AVFormatContext* ATarget,
                                    AVDictionary** APrivateOptions, int AFlags);
    friend bool SetPrivateCodecOption(TOptionContexts* AContexts, AVMediaType AType,
                                      const std::string& AName, const std::string& AValue);

    std::unique_ptr<AVCodecContext, TCodecFree> FCodecOptions[CodecContextCount];
    std::unique_ptr<AVFormatContext, TFormatFree> FFormatOptions;
    std::unique_ptr<AVDictionary, TDictFree> FPrivateFormatOptions;
    std::unique_ptr<AVDictionary, TDictFree> FPrivateCodecOptions[CodecContextCount];
    std::unique_ptr<SwsContext, TScalerFree> FScalerOptions;
    std::vector<std::string> FOptionNames;
};

// Records the option AName = AValue in the first table that knows the name: the codec
// options (each media type whose options include it; "b", the video bit rate, only the
// video options), then the container options, then
// the scaler options; a name none of them knows that begins with "a", "v" or "s" is tried
// once more without that letter in the audio, video or subtitle codec options. A value
// the library rejects is logged as "Invalid value ..." at the library's error level.
// False for null contexts, a blank name or value, an unknown name or a rejected value.
bool SetContextOption(TOptionContexts* AContexts, const std::string& AName,
                      const std::string& AValue);

// Records AName = AValue as a private option of the codecs of AType. Only some codecs
// have it, so it is checked against them: false for null contexts, a blank name or value,
// a media type outside video .. attachment, a name that no codec of the type has, or a
// value that none of them takes.
bool SetPrivateCodecOption(TOptionContexts* AContexts, AVMediaType AType, const std::string& AName,
                           const std::string& AValue);

// Copies the recorded codec options of AType into ATarget, before it is opened: every
// recorded name that the codec options know and whose library flags hold all bits of
// AFlags, then the private codec options of AType that ATarget's codec has with those
// flags. AFlags combines the media type and the direction, as AV_OPT_FLAG_VIDEO_PARAM |
// AV_OPT_FLAG_ENCODING_PARAM (17) for a video encoder, audio decoder 10, subtitle encoder
// 33. Values the target rejects are skipped. Null contexts or target: nothing happens.
void ApplyContextOptions(const TOptionContexts* AContexts, AVCodecContext* ATarget,
                         AVMediaType AType, int AFlags);

// Copies the recorded container options whose library flags hold all bits of AFlags
// (AV_OPT_FLAG_ENCODING_PARAM for an output, AV_OPT_FLAG_DECODING_PARAM for an input):
// the generic ones into ATarget, the private muxer and demuxer options into
// *APrivateOptions, the dictionary to hand to avformat_write_header or
// avformat_open_input. Either destination may be null and is then skipped.
void ApplyContextOptions(const TOptionContexts* AContexts, AVFormatContext* ATarget,
                         AVDictionary** APrivateOptions, int AFlags);

} // namespace qm
