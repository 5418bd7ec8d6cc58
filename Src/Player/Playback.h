// One opened file of the player: its read thread, packet queues, decoders, picture queue,
// audio state and clocks.
//
// Who touches what:
//   - the read thread opens the file and the streams, feeds the queues and closes it all;
//   - the video thread decodes into the picture queue (guarded by PictureMutex);
//   - SDL's audio thread runs AudioCallback;
//   - the play thread runs the event loop: display, refresh timer, positions;
//   - the main thread requests seeks and pause toggles through the atomic flags.
// Flags and clocks that one thread writes and others poll are atomics. The record is shared
// (std::shared_ptr) so that a main-thread operation holding it stays valid while the play
// thread ends the playback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Loader/MediaPtr.h"
#include "Player/PacketQueue.h"
#include "Player/SdlSync.h"
#include "Unicode/UnicodeProtocol.h"

namespace qm {

class TCustomPlayer;

// The one-entry picture queue's entry. The video thread fills Planes while the queue is
// empty; the event loop uploads them into Texture, under PictureMutex, while it is full.
struct TPictureEntry {
    double Pts = 0;                 // guarded by PictureMutex
    SDL_Texture* Texture = nullptr; // event loop thread only; may stay null without a renderer
    int32_t Width = 0;              // guarded by PictureMutex
    int32_t Height = 0;             // guarded by PictureMutex
    double PixelAspect = 0;         // guarded by PictureMutex; 0: unknown
    bool Allocated = false;         // guarded by PictureMutex
    std::vector<uint8_t> Buffer;    // planar YUV 4:2:0 of Width x Height
    uint8_t* Planes[3] = {};
    int Pitches[3] = {};
    // What Texture shows: event loop thread only.
    int32_t ShownWidth = 0;
    int32_t ShownHeight = 0;
    double ShownPixelAspect = 0;
};

// Samples kept for the wave display.
inline constexpr int32_t SampleRingSize = 131072;

enum TReadStatus : int32_t {
    rsStarting = 0,
    rsRunning = 1,
    rsFailed = -1,
    rsCleanedUp = -2,
};

struct TPlayback {
    TCustomPlayer* Owner = nullptr;
    std::string FileName;

    std::atomic<int32_t> ReadStatus{rsStarting};
    SDL_Thread* ReadThread = nullptr;
    SDL_Thread* VideoThread = nullptr;
    TFormatInput Input; // read thread: opened and closed there
    AVFormatContext* FormatContext = nullptr;

    // Microseconds. StartOffset and FileDuration are taken on the main thread once the file
    // is open, before the play thread starts.
    int64_t StartOffset = 0;
    int64_t FileDuration = -1;
    std::atomic<int64_t> AudioDuration{-1};
    bool IsImageSequence = false;
    bool IsCaptureDevice = false;

    // Open sets it once it has read the file's facts; the read thread waits for it before
    // its first packet, so that nothing changes the context meanwhile.
    std::atomic<bool> ReadGo{false};
    std::atomic<bool> AbortRequest{false};
    std::atomic<bool> Paused{false};
    bool LastPaused = false; // read thread
    std::atomic<bool> SeekRequest{false};
    std::atomic<int32_t> SeekFlags{0};
    std::atomic<int64_t> SeekTarget{0}; // microseconds, the file's start time included
    // Where the last seek went (as SeekTarget): the decoders' clocks start there when they
    // take the flush marker, so the position follows a seek even before new data arrives.
    std::atomic<int64_t> SeekedTo{0};
    std::atomic<bool> Reading{false};   // the read thread is inside av_read_frame
    bool EndReported = false;           // read thread
    // av_read_frame has failed (end of file or an error) since the start or the last seek.
    std::atomic<bool> InputEnded{false};

    // Set while the streams open (before ReadStatus becomes running) and cleared while they
    // close (after their threads are gone).
    int32_t AudioStreamIndex = -1;
    int32_t VideoStreamIndex = -1;
    AVStream* AudioStream = nullptr;
    AVStream* VideoStream = nullptr;
    TCodecContextPtr AudioDecoder;
    TCodecContextPtr VideoDecoder;
    TPacketQueue AudioQueue;
    TPacketQueue VideoQueue;

    // Audio (SDL's audio thread, except where noted).
    std::atomic<double> AudioClock{0}; // seconds at the end of the audio decoded so far
    std::vector<uint8_t> AudioBuffer1;
    std::vector<uint8_t> AudioBuffer2;
    const uint8_t* AudioBuf = nullptr;
    std::atomic<int32_t> AudioBufSize{0};
    std::atomic<int32_t> AudioBufIndex{0};
    std::atomic<bool> AudioBufSilent{false}; // the chunk is filler, not part of AudioClock
    TPacketPtr AudioPacket;
    TFramePtr AudioFrame;
    TSwrPtr SampleConverter;
    // What SampleConverter was made for.
    int32_t ConverterFormat = AV_SAMPLE_FMT_S16;
    int32_t ConverterRate = 0;
    AVChannelLayout ConverterLayout{};
    // What goes to SDL: signed 16-bit, this rate and channel count (read thread sets them
    // before the device opens).
    int32_t OutputRate = 0;
    int32_t OutputChannels = 0;
    std::atomic<int64_t> AudioCallbackTime{0}; // av_gettime at the start of the last callback
    // The last samples played, for the wave display (ShowWave only): SampleRingSize entries.
    std::unique_ptr<std::atomic<int16_t>[]> SampleRing;
    std::atomic<int32_t> SampleRingIndex{0};

    // Video timing (seconds). FrameTimer and the current picture's values are also moved by
    // a pause toggle on the main thread.
    std::atomic<double> FrameTimer{0};
    double LastFramePts = 0;   // play thread
    double LastFrameDelay = 0; // play thread
    double VideoClock = 0;     // video thread
    // How long a picture lasts by the stream's frame rate: set before the video thread starts.
    double FrameDuration = 0.04;
    std::atomic<double> CurrentPicturePts{0};
    std::atomic<int64_t> CurrentPictureTime{0}; // av_gettime when it was shown
    // The picture on screen: its own time in microseconds, the file's start time included
    // (the clocks above run on while it stays); none from a seek until the first picture after
    // it. Play thread writes it, the read thread clears it.
    std::atomic<int64_t> ShownPictureTime{AV_NOPTS_VALUE};
    // A seek to a picture: the read thread seeks to the key frame at or before the target
    // (ExactSeek, set with the request) and hands the target to the video thread with the
    // flush marker (ExactTarget); the video thread decodes up to the picture on screen at the
    // target and queues it first. ExactPending lets it do so while paused, until then.
    std::atomic<bool> ExactSeek{false};
    std::atomic<int64_t> ExactTarget{AV_NOPTS_VALUE};
    std::atomic<bool> ExactPending{false};
    // While paused the display takes one more picture from the queue: a step, or the picture
    // of a seek to a picture.
    std::atomic<bool> StepPending{false};
    // Seeks the read thread has done, and those whose flush marker the video thread has taken:
    // while they differ, what it decoded before the seek is dropped instead of waiting for
    // room in the queue (a paused display would never make it).
    std::atomic<int64_t> SeekCount{0};
    int64_t FlushedSeekCount = 0; // video thread

    TPictureEntry Picture;
    int32_t PictureQueueSize = 0; // guarded by PictureMutex
    TSdlMutexPtr PictureMutex;
    TSdlCondPtr PictureCond;
    TSwsPtr ScaleContext;  // video thread
    TFramePtr VideoFrame;  // video thread

    // Play thread.
    int32_t DisplayWidth = 0;
    int32_t DisplayHeight = 0;
    bool ShowWave = false; // set by the read thread before it runs
    int32_t WaveStart = 0;

    ~TPlayback() { ff::av_channel_layout_uninit(&ConverterLayout); }
};

} // namespace qm
