#include "AVProbe.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "Engine/EngineUtils.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include <sys/stat.h>

namespace qm {

namespace {

constexpr char NotLoadedText[] = "file not loaded.";

int64_t NoValueAsMinusOne(int64_t AValue) {
    return AValue == AV_NOPTS_VALUE ? -1 : AValue;
}

// The leading decimal number of a tag ("2009-05-01" gives 2009, "3/12" gives 3), else 0.
int32_t LeadingNumber(const std::string& AText) {
    if (AText.empty())
        return 0;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(AText.c_str(), &end, 10);
    if (end == AText.c_str() || errno == ERANGE)
        return 0;
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

// Seconds since 1970 of a "creation_time" tag, else 0.
int64_t CreationSeconds(const std::string& AText) {
    int64_t us = 0;
    if (AText.empty() || ff::av_parse_time(&us, AText.c_str(), 0) < 0)
        return 0;
    // Whole seconds, rounded down also before 1970.
    return us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
}

} // namespace

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() {
    CloseContext();
}

bool TCustomAVProbe::CheckLibraries() {
    static constexpr struct {
        TLibraryKind Kind;
        const char* Message;
    } required[] = {{lkAVCodec, "LibAVCodec not loaded."},
                    {lkAVFormat, "LibAVFormat not loaded."},
                    {lkAVUtil, "LibAVUtil not loaded."},
                    {lkSwScale, "LibSwScale not loaded."}};
    for (const auto& r : required)
        if (!GlobalLoader.LibraryLoaded(r.Kind))
            throw std::runtime_error(r.Message);
    return true;
}

bool TCustomAVProbe::LoadFile(const std::string& AFileName, const std::string& AFormatName) {
    CheckLibraries();
    Close();

    const AVInputFormat* format = nullptr;
    if (!AFormatName.empty()) {
        format = ff::av_find_input_format(AFormatName.c_str());
        if (!format) {
            FLastError = Format("Unknown input format: %s", AFormatName.c_str());
            return false;
        }
    }

    TFormatInput input;
    const int opened = input.Open(AFileName, format);
    if (opened < 0) {
        FLastError = OpenErrorMessage(AFileName, opened, format != nullptr);
        return false;
    }
    int found;
    {
        // Finding the stream facts opens decoders.
        std::lock_guard lock(CodecLock());
        found = ff::avformat_find_stream_info(input.Get(), nullptr);
    }
    if (found < 0) {
        FLastError = Format("%s: could not find codec parameters", AFileName.c_str());
        return false; // input closes the file
    }

    FInput = std::move(input);
    FContext = FInput.Get();
    FOwnsContext = true;
    CountStreams();
    FFormatName = AFormatName;
    return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* AContext) {
    CheckLibraries();
    Close();
    FOwnsContext = false;
    FContext = AContext;
    CountStreams();
}

void TCustomAVProbe::Close() {
    CloseContext();
}

void TCustomAVProbe::CloseContext() {
    FFormatName.clear();
    FContext = nullptr;
    FOwnsContext = false;
    FInput.Close();
    CountStreams();
}

void TCustomAVProbe::CountStreams() {
    FStreamCount = FProgramCount = -1;
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
    FFirstAudioStream = FFirstVideoStream = FFirstSubtitleStream = -1;
    if (!FContext)
        return;
    FStreamCount = static_cast<int32_t>(FContext->nb_streams);
    FProgramCount = static_cast<int32_t>(FContext->nb_programs);
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
    for (int32_t i = 0; i < FStreamCount; ++i) {
        auto count = [i](int32_t& ACount, int32_t& AFirst) {
            ++ACount;
            if (AFirst < 0)
                AFirst = i;
        };
        switch (FContext->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            count(FVideoStreamCount, FFirstVideoStream);
            break;
        case AVMEDIA_TYPE_AUDIO:
            count(FAudioStreamCount, FFirstAudioStream);
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            count(FSubtitleStreamCount, FFirstSubtitleStream);
            break;
        default:
            break;
        }
    }
}

void TCustomAVProbe::NotLoaded() {
    ff::av_log(nullptr, AV_LOG_WARNING, "%s\n", NotLoadedText);
    FLastError = NotLoadedText;
}

void TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& AInfo) {
    AInfo = TFileStreamInfo{};
    if (!FContext) {
        NotLoaded();
        return;
    }
    AInfo.StartTime = NoValueAsMinusOne(FContext->start_time);
    AInfo.Duration = NoValueAsMinusOne(FContext->duration);
    AInfo.BitRate = static_cast<int32_t>(std::clamp<int64_t>(FContext->bit_rate, 0, INT32_MAX));
    AInfo.Timestamp = CreationSeconds(Metadata("creation_time"));
    AInfo.Year = LeadingNumber(Metadata("date"));
    AInfo.Track = LeadingNumber(Metadata("track"));
    AInfo.Title = Metadata("title");
    AInfo.Author = Metadata("author");
    if (AInfo.Author.empty())
        AInfo.Author = Metadata("artist");
    AInfo.Copyright = Metadata("copyright");
    AInfo.Comment = Metadata("comment");
    AInfo.Album = Metadata("album");
    AInfo.Genre = Metadata("genre");
}

bool TCustomAVProbe::GetStreamFacts(int32_t AIndex, TStreamFacts& AFacts) const {
    if (!FContext || AIndex < 0 || AIndex >= FStreamCount)
        return false;
    AVStream* st = FContext->streams[AIndex];
    const AVCodecParameters* par = st->codecpar;
    TStreamFacts facts;
    facts.Index = AIndex;
    facts.MediaType = par->codec_type;
    facts.CodecName = ff::avcodec_get_name(par->codec_id);
    facts.BitRate = std::max<int64_t>(par->bit_rate, 0);
    facts.Language = MetadataValue(st->metadata, "language", "");
    facts.Default = (st->disposition & AV_DISPOSITION_DEFAULT) != 0;
    facts.Forced = (st->disposition & AV_DISPOSITION_FORCED) != 0;
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        facts.Width = par->width;
        facts.Height = par->height;
        facts.FrameRate = ff::av_guess_frame_rate(FContext, st, nullptr);
        facts.SampleAspect =
            st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
        if (facts.FrameRate.den == 0)
            facts.FrameRate = {0, 1};
        if (facts.SampleAspect.num == 0 || facts.SampleAspect.den == 0)
            facts.SampleAspect = {0, 1};
        break;
    case AVMEDIA_TYPE_AUDIO:
        facts.SampleRate = par->sample_rate;
        facts.Channels = par->ch_layout.nb_channels;
        break;
    default:
        break;
    }
    AFacts = std::move(facts);
    return true;
}

int64_t TCustomAVProbe::FileSize() {
    if (!FContext) {
        NotLoaded();
        return -1;
    }
    // The player's context may have no byte stream of its own.
    const int64_t size = FContext->pb ? ff::avio_size(FContext->pb) : 0;
    if (size > 0)
        return size;
    const std::string path = DecodeFileName(FContext->url);
    struct stat st {};
    if (!path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        return static_cast<int64_t>(st.st_size);
    // avio_size answers an error code where the container knows no size.
    return 0;
}

std::string TCustomAVProbe::Metadata(const std::string& AKey) const {
    return FContext ? MetadataValue(FContext->metadata, AKey, "") : std::string();
}

std::string TCustomAVProbe::ContainerName() const {
    return FContext && FContext->iformat ? FContext->iformat->name : "";
}

std::string TCustomAVProbe::ContainerLongName() const {
    return FContext && FContext->iformat && FContext->iformat->long_name
               ? FContext->iformat->long_name
               : "";
}

} // namespace qm
