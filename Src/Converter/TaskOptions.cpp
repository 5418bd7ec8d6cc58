#include "Converter/TaskOptions.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "Engine/FFmpeg.h"
#include "Engine/OptionValues.h"

namespace qm {

namespace {

// Days from 30 December 1899 to 1 January 1970.
constexpr double UnixEpochDateTime = 25569.0;

std::string Number(int64_t AValue) {
    return std::to_string(AValue);
}

int64_t MsToUs(int64_t AMs) {
    constexpr int64_t limit = std::numeric_limits<int64_t>::max() / 1000;
    return std::clamp(AMs, -limit, limit) * 1000;
}

// The integer of a hook range bound, -1 for anything that is not one.
int64_t RangeBound(const std::string& AText) {
    try {
        return ParseInt64(AText);
    } catch (const EConvertError&) {
        return -1;
    }
}

} // namespace

void InitInputOptions(TInputOptions& AOptions) {
    AOptions = TInputOptions{};
}

void InitOutputOptions(TOutputOptions& AOptions) {
    AOptions = TOutputOptions{};
}

void ApplyInputFields(TCustomFFmpeg& AEngine, const TInputOptions& AOptions) {
    if (!AOptions.FileFormat.empty())
        AEngine.SetInputFormat(AOptions.FileFormat);
    if (AOptions.StartTimeMs > 0)
        AEngine.SetInputStartTime(MsToUs(AOptions.StartTimeMs));
    if (AOptions.StartTimeUs > 0)
        AEngine.SetInputStartTime(AOptions.StartTimeUs);
    if (AOptions.ProgramID >= 0)
        AEngine.SetProgramId(AOptions.ProgramID);
}

void ApplyOutputTarget(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions) {
    static const char* const targets[] = {"vcd", "svcd", "dvd"};
    if (AOptions.TargetType < 1 || AOptions.TargetType > 3)
        return;
    const char* norm = AOptions.NormType == 1 ? "pal" : AOptions.NormType == 2 ? "ntsc" : "auto";
    const char* fallback = AOptions.DefaultNorm == 1 ? "pal" : "ntsc";
    AEngine.SetTarget(targets[AOptions.TargetType - 1], norm, fallback);
}

void ApplyOutputFields(TCustomFFmpeg& e, const TOutputOptions& o) {
    TOptionSet& set = e.Options;
    if (!o.FileFormat.empty())
        e.SetOutputFormat(o.FileFormat);
    if (o.PacketSize > 0)
        e.SetIntOption("packetsize", o.PacketSize);
    if (o.MuxRate > 0)
        e.SetIntOption("muxrate", o.MuxRate);
    if (o.MuxDelay > 0)
        e.SetMuxMaxDelay(o.MuxDelay);
    if (o.MuxPreload > 0)
        e.SetMuxPreload(o.MuxPreload);

    if (!o.AudioCodec.empty())
        e.CodecOption("acodec", o.AudioCodec);
    if (!o.AudioPreset.empty())
        e.ApplyPreset("apre", o.AudioPreset);
    set.AudioDisable = o.NoAudio;
    if (o.Volume >= 0)
        e.SetVolumeScale(o.Volume);
    if (o.AudioChannels > 0)
        set.AudioChannels = o.AudioChannels;
    if (o.AudioSampleRate > 0)
        set.AudioSampleRate = o.AudioSampleRate;
    if (o.AudioBitrate > 0)
        e.SetIntOption("ab", o.AudioBitrate);
    if (o.AudioBitrateTolerance > 0)
        e.SetIntOption("abt", o.AudioBitrateTolerance);
    set.AudioLanguage = o.AudioLanguage;
    e.SetAudioSyncMethod(o.AudioSync);
    if (!o.AudioTag.empty())
        e.SetOption("atag", o.AudioTag);

    if (!o.VideoCodec.empty())
        e.CodecOption("vcodec", o.VideoCodec);
    if (!o.VideoPreset.empty())
        e.ApplyPreset("vpre", o.VideoPreset);
    set.VideoDisable = o.NoVideo;
    if (!o.FrameRate.empty())
        e.FrameRateOption("r", o.FrameRate);
    if (!o.FrameSize.empty())
        e.FrameSizeOption("s", o.FrameSize);
    if (!o.FrameAspectRatio.empty())
        e.AspectOption("aspect", o.FrameAspectRatio);
    // Crops are checked against the frame size just set, so they come after it.
    const std::pair<const char*, int32_t> edges[] = {{"croptop", o.CropTop},
                                                     {"cropbottom", o.CropBottom},
                                                     {"cropleft", o.CropLeft},
                                                     {"cropright", o.CropRight}};
    for (const auto& [name, value] : edges)
        if (value >= 0)
            e.CropOption(name, Number(value));
    const std::pair<const char*, int32_t> pads[] = {{"padtop", o.PadTop},
                                                    {"padbottom", o.PadBottom},
                                                    {"padleft", o.PadLeft},
                                                    {"padright", o.PadRight}};
    for (const auto& [name, value] : pads)
        if (value >= 0)
            e.PadOption(name, Number(value));
    // The record's black is the engine's black: full-range RGB 0 would give luma 0, below
    // the video black level of 16 that the engine pads with by default.
    const uint32_t rgb = ResolvePadColor(o.PadColor);
    if (rgb == 0)
        set.PadColor = TYUVColor{};
    else
        e.PadColorOption("padcolor", Number(rgb));
    // The library calls the group-of-pictures size "g".
    if (o.GroupOfPictures > 0)
        e.SetIntOption("g", o.GroupOfPictures);
    if (o.VideoBitrate > 0)
        e.SetIntOption("vb", o.VideoBitrate);
    if (o.VideoMaxRate > 0)
        e.SetIntOption("maxrate", o.VideoMaxRate);
    if (o.VideoMinRate > 0)
        e.SetIntOption("minrate", o.VideoMinRate);
    if (o.VideoBitrateTolerance > 0)
        e.SetIntOption("bt", o.VideoBitrateTolerance);
    if (o.VideoBufSize > 0)
        e.SetIntOption("bufsize", o.VideoBufSize);
    e.SetVideoSyncMethod(o.VideoSync);
    if (!o.VideoTag.empty())
        e.SetOption("vtag", o.VideoTag);
    if (!o.Filters.empty())
        set.VideoFilters = o.Filters;

    if (!o.SubtitleCodec.empty())
        e.CodecOption("scodec", o.SubtitleCodec);
    if (!o.SubtitlePreset.empty())
        e.ApplyPreset("spre", o.SubtitlePreset);
    set.SubtitleDisable = o.NoSubtitle;
    set.SubtitleLanguage = o.SubtitleLanguage;
    set.CopyTimestamps = o.CopyTimestamp;

    if (o.StartTimeMs > 0)
        e.SetInputStartTime(MsToUs(o.StartTimeMs));
    if (o.StartTimeUs > 0)
        e.SetInputStartTime(o.StartTimeUs);
    if (o.DurationMs > 0)
        e.SetRecordingTimeMs(o.DurationMs);
    if (o.DurationUs > 0)
        e.SetRecordingTimeUs(o.DurationUs);

    const TStreamInfo& info = o.Info;
    if (info.Timestamp == 0)
        set.RecordingTimestamp = static_cast<int64_t>(std::time(nullptr));
    else if (info.Timestamp > 0)
        set.RecordingTimestamp = DateTimeToUnixSeconds(info.Timestamp, TimeZoneBaseOffsetMinutes());
    if (info.Year > 0)
        e.AddMetadata("year", Number(info.Year));
    if (info.Track > 0)
        e.AddMetadata("track", Number(info.Track));
    const std::pair<const char*, const std::string*> texts[] = {
        {"title", &info.Title},     {"author", &info.Author}, {"copyright", &info.Copyright},
        {"comment", &info.Comment}, {"album", &info.Album},   {"genre", &info.Genre}};
    for (const auto& [key, value] : texts)
        if (!value->empty())
            e.AddMetadata(key, *value);
}

uint32_t ResolvePadColor(uint32_t AColor) {
    // There are no window-system colours here: such a value is taken by its RGB bytes.
    return AColor & 0x00FFFFFFu;
}

int32_t TimeZoneBaseOffsetMinutes() {
    // The offset of a date without daylight saving: January in the north, July in the south.
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    long offset = 0;
    bool found = false;
    for (int month : {0, 6}) {
        std::tm probe{};
        probe.tm_year = today.tm_year;
        probe.tm_mon = month;
        probe.tm_mday = 15;
        probe.tm_hour = 12;
        probe.tm_isdst = -1;
        const std::time_t t = std::mktime(&probe);
        std::tm local{};
        if (t == static_cast<std::time_t>(-1) || !localtime_r(&t, &local))
            continue;
        if (!found || local.tm_isdst == 0) {
            offset = local.tm_gmtoff;
            found = true;
        }
        if (local.tm_isdst == 0)
            break;
    }
    return static_cast<int32_t>(-offset / 60);
}

int64_t DateTimeToUnixSeconds(double ADateTime, int32_t ABiasMinutes) {
    const double seconds =
        std::nearbyint(((ADateTime - UnixEpochDateTime) + ABiasMinutes / 1440.0) * 86400.0);
    // Far outside any real date; keeps the conversion defined.
    constexpr double limit = 9.0e18;
    if (!(seconds > -limit))
        return static_cast<int64_t>(-limit);
    if (!(seconds < limit))
        return static_cast<int64_t>(limit);
    return static_cast<int64_t>(seconds);
}

std::vector<THookTimeRange> ParseHookTimeRanges(const std::string& AText) {
    std::vector<THookTimeRange> ranges;
    std::string rest = Trim(AText);
    ranges.reserve(static_cast<size_t>(std::count(rest.begin(), rest.end(), ',')) + 1);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string item = Trim(rest.substr(0, comma));
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        const size_t dash = item.find('-');
        const std::string start = Trim(item.substr(0, dash));
        const std::string end = dash == std::string::npos ? std::string() : item.substr(dash + 1);
        const THookTimeRange range{MsToUs(RangeBound(start)), MsToUs(RangeBound(end))};
        if (range.Start <= range.End && range.End >= 0)
            ranges.push_back(range);
    }
    std::stable_sort(
        ranges.begin(), ranges.end(),
        [](const THookTimeRange& a, const THookTimeRange& b) { return a.End < b.End; });
    return ranges;
}

} // namespace qm
