// The option records that describe a converter task's input and output, and how each of
// their fields becomes an engine option.
//
// Numeric fields use -1 (a few 0) for "not set" and are skipped then, so a record filled by
// its initialiser and given only a few values leaves every other engine option at the
// engine's own default. Text fields are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Engine/FFmpeg.h" // THookTimeRange

namespace qm {

class TCustomFFmpeg;

struct TInputOptions {
    std::string FileName; // AddTask fills it when empty; never used to open the file
    std::string FileFormat;
    int32_t StartTimeMs = -1;
    int64_t StartTimeUs = -1; // wins over StartTimeMs
    int32_t ProgramID = -1;
    std::string ExtraOptions; // name=value lines, general kind only
};

// Container metadata of an output.
struct TStreamInfo {
    // Days since 30 December 1899, local time: 0 means now, below 0 not set.
    double Timestamp = -1.0;
    int32_t Year = -1;
    int32_t Track = -1;
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

struct TOutputOptions {
    std::string FileName; // SetTaskOutput fills it when empty; never used to create the file
    std::string FileExt;  // the caller's own; not read here
    std::string FileFormat;
    int32_t PacketSize = -1;
    int32_t MuxRate = -1; // bits per second
    float MuxDelay = -1.0f;
    float MuxPreload = -1.0f;
    std::string AudioCodec;
    std::string AudioPreset;
    bool NoAudio = false;
    int32_t Volume = -1; // 256 = unchanged
    int32_t AudioChannels = -1;
    int32_t AudioSampleRate = -1;
    int32_t AudioBitrate = -1;
    int32_t AudioBitrateTolerance = -1;
    std::string AudioLanguage;
    int32_t AudioSync = 0;
    std::string AudioTag; // exactly four characters
    std::string VideoCodec;
    std::string VideoPreset;
    bool NoVideo = false;
    std::string FrameRate;
    std::string FrameSize;
    std::string FrameAspectRatio;
    int32_t CropTop = -1;
    int32_t CropBottom = -1;
    int32_t CropLeft = -1;
    int32_t CropRight = -1;
    int32_t PadTop = -1;
    int32_t PadBottom = -1;
    int32_t PadLeft = -1;
    int32_t PadRight = -1;
    uint32_t PadColor = 0; // 00BBGGRRh; a high byte of FFh is read as its low three bytes
    int32_t GroupOfPictures = -1;
    int32_t VideoBitrate = -1;
    int32_t VideoMaxRate = -1;
    int32_t VideoMinRate = -1;
    int32_t VideoBitrateTolerance = -1;
    int32_t VideoBufSize = -1;
    int32_t VideoSync = -1;
    std::string VideoTag; // exactly four characters
    std::string Filters;
    std::string SubtitleCodec;
    std::string SubtitlePreset;
    bool NoSubtitle = false;
    std::string SubtitleLanguage;
    bool CopyTimestamp = false;
    int32_t StartTimeMs = -1;
    int64_t StartTimeUs = -1; // wins over StartTimeMs
    int32_t DurationMs = -1;
    int64_t DurationUs = -1; // wins over DurationMs
    TStreamInfo Info;
    int32_t TargetType = 0;  // 1 vcd, 2 svcd, 3 dvd; anything else: no target
    int32_t NormType = 0;    // 0 auto, 1 pal, 2 ntsc
    int32_t DefaultNorm = 1; // when auto cannot decide: 1 pal, else ntsc
    bool CustomHook = false;
    bool BeforeHook = false;   // only when CustomHook is off
    std::string HookTimeRange; // "start-end, …" in milliseconds; when neither hook is on
    bool Join = false;
    std::string ExtraOptions; // name=value lines of all three kinds
};

void InitInputOptions(TInputOptions& AOptions);
void InitOutputOptions(TOutputOptions& AOptions);

// The fields of an input record, in their order (extra lines excluded).
void ApplyInputFields(TCustomFFmpeg& AEngine, const TInputOptions& AOptions);
// The record's target, if it names one; it comes before everything else so that every
// field overrides it.
void ApplyOutputTarget(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions);
// The fields of an output record, in their order (target, extra lines, hooks excluded).
// An option's error ends the application at that field.
void ApplyOutputFields(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions);

// The red, green and blue bytes (red lowest) that "padcolor" gets for a record colour.
uint32_t ResolvePadColor(uint32_t AColor);

// Minutes to add to local standard time to get UTC (east of Greenwich negative).
int32_t TimeZoneBaseOffsetMinutes();
// A date-time (days since 30 December 1899, local) as seconds since 1970 UTC, rounded
// to the nearest second (halves to even); ABiasMinutes as TimeZoneBaseOffsetMinutes.
int64_t DateTimeToUnixSeconds(double ADateTime, int32_t ABiasMinutes);

// "1000-2000, 500-800": comma-separated millisecond ranges. Ranges whose start lies after
// their end, or whose end is negative or missing, are dropped; the rest are sorted by end.
std::vector<THookTimeRange> ParseHookTimeRanges(const std::string& AText);

} // namespace qm
