// The engine's option set: every field that a named option fills, with its default.
//
// ResetOptions puts a fresh TOptionSet in place (keeping the pending metadata, which only
// output creation consumes); the input, output and transcode operations read the fields.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
struct AVInputFormat;
struct AVOutputFormat;
struct AVBitStreamFilter;
}

namespace qm {

constexpr int MaxStreamMaps = 400;
constexpr int MaxMetadataMaps = 20;

struct TStreamMap {
    int32_t FileIndex = 0;
    int32_t StreamIndex = 0;
    int32_t SyncFileIndex = 0;
    int32_t SyncStreamIndex = 0;
    bool operator==(const TStreamMap&) const = default;
};

struct TMetadataMap {
    int32_t OutFile = 0;
    int32_t InFile = 0;
    bool operator==(const TMetadataMap&) const = default;
};

struct TYUVColor {
    int32_t Y = 16;
    int32_t U = 128;
    int32_t V = 128;
    bool operator==(const TYUVColor&) const = default;
};

struct TRational32 {
    int32_t Num = 0;
    int32_t Den = 0;
    bool operator==(const TRational32&) const = default;
};

using TQuantMatrix = std::array<uint16_t, 64>;

// Media-type slots of MaxFrames.
enum TFrameSlot { fsVideo, fsAudio, fsData, fsSubtitle };

struct TOptionSet {
    // Container formats forced for the next input and output.
    const AVInputFormat* InputFormat = nullptr;
    const AVOutputFormat* OutputFormat = nullptr;
    int32_t PgmyuvCompat = 0;
    bool SilenceInput = false; // the next input is endless silence ("-f silence")

    // Picture.
    int32_t FrameWidth = 0;
    int32_t FrameHeight = 0;
    float FrameAspectRatio = 0.0f;
    int32_t FramePixelFormat = -1;
    int32_t PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
    TYUVColor PadColor;
    int32_t CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
    std::array<int32_t, 4> MaxFrames{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
    TRational32 FrameRate; // 0/0: unset
    float VideoQscale = 0.0f;
    std::unique_ptr<TQuantMatrix> IntraMatrix;
    std::unique_ptr<TQuantMatrix> InterMatrix;
    std::string RcOverride;
    bool HasRcOverride = false; // "rc_override" was given, even with an empty text

    // Video.
    bool VideoDisable = false;
    int32_t VideoDiscard = 0;
    std::string VideoCodecName; // empty: none
    int32_t VideoStreamCopy = 0;
    uint32_t VideoCodecTag = 0;
    bool Deinterlace = false;
    int32_t TopFieldFirst = -1;
    int32_t IntraDcPrecision = 8;
    bool IntraOnly = false;
    bool QpHistogram = false;
    bool ForceFps = false;
    int32_t VideoGlobalHeader = 0;
    int32_t Pass = 0;
    std::string PassLogFile;
    bool Psnr = false;
    std::string VideoFilters;
    std::vector<int64_t> ForcedKeyFrames; // "force_key_frames", microseconds
    bool LoopInput = false;
    int32_t LoopOutput = -1;

    // Audio.
    int32_t AudioSampleRate = 44100;
    int32_t AudioChannels = 2;
    int64_t ChannelLayout = 0;
    int32_t AudioSampleFormat = -1;
    float AudioQscale = -99999.0f;
    bool AudioDisable = false;
    std::string AudioCodecName;
    int32_t AudioStreamCopy = 0;
    uint32_t AudioCodecTag = 0;
    std::string AudioLanguage;
    int32_t VolumeScale = 256;
    int32_t AudioSyncMethod = 0;
    float AudioDriftThreshold = 0.1f;

    // Subtitles.
    bool SubtitleDisable = false;
    std::string SubtitleCodecName;
    int32_t SubtitleStreamCopy = 0;
    uint32_t SubtitleCodecTag = 0;
    std::string SubtitleLanguage;

    // Muxing, timing and general.
    float MuxPreload = 0.5f;
    float MuxMaxDelay = 0.7f;
    int64_t RecordingTime = std::numeric_limits<int64_t>::max(); // microseconds
    int64_t InputStartTime = 0;                                  // microseconds
    int64_t RecordingTimestamp = 0;                              // seconds since the epoch
    int64_t InputTsOffset = 0;                                   // microseconds
    int32_t VideoSyncMethod = -1;
    bool CopyTimestamps = false;
    bool Shortest = false;
    float DtsDeltaThreshold = 10.0f;
    bool InputSync = false;
    bool RateEmulation = false;
    int32_t CopyInitialNonKeyframes = 0;
    int64_t LimitFileSize = 0;
    int32_t ProgramId = 0;
    int32_t VideoChannel = 0;
    std::string VideoStandard;
    bool HexDump = false;
    bool PacketDump = false;
    std::string VstatsFileName;
    int32_t Verbosity = 1;
    bool ExitOnError = false;
    int32_t ThreadCount = 1;
    int32_t ScalerFlags = 4; // bicubic

    // Bitstream filters waiting for the next stream of their media type.
    std::vector<const AVBitStreamFilter*> VideoBitstreamFilters;
    std::vector<const AVBitStreamFilter*> AudioBitstreamFilters;
    std::vector<const AVBitStreamFilter*> SubtitleBitstreamFilters;

    bool UsingFrameHooks = false;

    // Tables that options append to.
    std::vector<TStreamMap> StreamMaps;
    std::vector<TMetadataMap> MetadataMaps;
    // Per input file and stream; 0.0 means no scaling. A row belongs to the input opened next.
    std::array<std::array<double, 20>, 20> InputTsScales{};

    // Pending container metadata: applied and emptied by the next output creation.
    // ResetOptions keeps it.
    std::vector<std::pair<std::string, std::string>> Metadata;
};

} // namespace qm
