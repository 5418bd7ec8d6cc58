// The media probe: what a file holds, read from its headers without decoding it.
//
// A probe either opens a file itself (LoadFile, which reads only what avformat_find_stream_info
// needs) or inspects a format context that someone else opened and keeps owning (AttachContext).
// Whatever it opened is closed again by Close, by a failed LoadFile and by destruction, so no
// descriptor outlives it. A probe belongs to the thread that uses it; it is not locked.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

#include "Unicode/UnicodeProtocol.h"

struct AVFormatContext;

namespace qm {

// Container-level facts of a probed file. Without a file every number is -1 and every text
// empty.
struct TFileStreamInfo {
    int64_t StartTime = -1; // microseconds; -1 when the container has none
    int64_t Duration = -1;  // microseconds; -1 when the container has none
    int32_t BitRate = -1;   // bits per second, 0 when unknown
    int64_t Timestamp = -1; // creation time, seconds since 1970 UTC; 0 when the file gives none
    int32_t Year = -1;      // from the "date" tag; 0 when absent
    int32_t Track = -1;     // from the "track" tag ("3/12" gives 3); 0 when absent
    std::string Title;
    std::string Author; // "author", else "artist", which most demuxers use instead
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

// What one stream of the file is. Numbers that do not apply to the stream's kind are 0.
struct TStreamFacts {
    int32_t Index = -1;
    AVMediaType MediaType = AVMEDIA_TYPE_UNKNOWN;
    std::string CodecName; // the codec's short name ("h264", "aac"), "none" when unknown
    int32_t Width = 0;
    int32_t Height = 0;
    AVRational FrameRate{0, 1};    // the library's best guess; 0/1 when it has none
    AVRational SampleAspect{0, 1}; // 0/1 when unknown
    int32_t SampleRate = 0;
    int32_t Channels = 0;
    int64_t BitRate = 0;  // bits per second, 0 when unknown
    std::string Language; // the stream's "language" tag, empty when it has none
    bool Default = false; // flagged as the one to play (or show) first
    bool Forced = false;  // a subtitle flagged to be shown even when subtitles are off
};

class TCustomAVProbe {
public:
    TCustomAVProbe();
    virtual ~TCustomAVProbe();
    TCustomAVProbe(const TCustomAVProbe&) = delete;
    TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

    // Throws std::runtime_error naming the first of avcodec, avformat, avutil and swscale that
    // is not loaded ("LibAVCodec not loaded." ...).
    static bool CheckLibraries();

    // Opens AFileName (any name the engine takes) and reads its stream headers. AFormatName
    // forces a demuxer; empty lets the library detect it. On failure the probe is closed, the
    // result is false and LastError says why. Throws as CheckLibraries.
    bool LoadFile(const std::string& AFileName, const std::string& AFormatName = {});
    // Inspects AContext, which stays its caller's: detach (nullptr) before closing it. Throws as
    // CheckLibraries.
    virtual void AttachContext(AVFormatContext* AContext);
    // Closes what LoadFile opened, or forgets an attached context.
    virtual void Close();

    // Without a file: all -1 and empty, a warning "file not loaded." to the log and LastError.
    void GetFileStreamInfo(TFileStreamInfo& AInfo);
    // False, with AFacts untouched, without a file or for an index out of range.
    bool GetStreamFacts(int32_t AIndex, TStreamFacts& AFacts) const;
    // Bytes: the byte stream's size, else the size on disk of the context's file, else 0.
    // -1 without a file, as GetFileStreamInfo.
    int64_t FileSize();
    // The context's metadata tag AKey (letter case ignored), empty when missing or no file.
    std::string Metadata(const std::string& AKey) const;

    AVFormatContext* FormatContext() const { return FContext; }
    bool OwnsContext() const { return FOwnsContext; }
    // The text of the last failure; a later success or Close leaves it.
    const std::string& LastError() const { return FLastError; }
    // The format name given to the last successful LoadFile; empty after Close.
    const std::string& FormatName() const { return FFormatName; }
    // The demuxer's short and descriptive names; empty without a file.
    std::string ContainerName() const;
    std::string ContainerLongName() const;

    // -1 without a file. Data and attachment streams count only in StreamCount.
    int32_t StreamCount() const { return FStreamCount; }
    int32_t ProgramCount() const { return FProgramCount; }
    int32_t AudioStreamCount() const { return FAudioStreamCount; }
    int32_t VideoStreamCount() const { return FVideoStreamCount; }
    int32_t SubtitleStreamCount() const { return FSubtitleStreamCount; }
    // The index of the first stream of the kind; -1 when there is none or no file.
    int32_t FirstAudioStream() const { return FFirstAudioStream; }
    int32_t FirstVideoStream() const { return FFirstVideoStream; }
    int32_t FirstSubtitleStream() const { return FFirstSubtitleStream; }

private:
    void CloseContext();
    void CountStreams();
    void NotLoaded();

    TFormatInput FInput; // what LoadFile opened; empty while attached
    AVFormatContext* FContext = nullptr;
    bool FOwnsContext = false;
    std::string FLastError;
    std::string FFormatName;
    int32_t FStreamCount = -1;
    int32_t FProgramCount = -1;
    int32_t FAudioStreamCount = -1;
    int32_t FVideoStreamCount = -1;
    int32_t FSubtitleStreamCount = -1;
    int32_t FFirstAudioStream = -1;
    int32_t FFirstVideoStream = -1;
    int32_t FFirstSubtitleStream = -1;
};

// The probe the components create.
class TAVProbe : public TCustomAVProbe {};

} // namespace qm
