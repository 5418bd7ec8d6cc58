// The player's playback engine, shared by its modules: the read thread and stream opening
// (ReadThread.cpp), video decoding and display (VideoDisplay.cpp), audio output and clocks
// (AudioOutput.cpp). Not for use outside Src/Player.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Engine/BitmapConversion.h"
#include "Player/FFPlayer.h"
#include "Player/Playback.h"

namespace qm {

// The player's own SDL events, offsets from the base that SDL_RegisterEvents gave.
enum TPlayerEvent : int32_t {
    peAllocatePicture = 0,
    peRefresh = 1,
    peQuit = 2,
    peReopenDisplay = 3,
    PlayerEventCount = 4,
};

// The hook's picture as a 24-bit bitmap and back into the picture entry.
struct TCustomPlayer::THookPicture {
    TBitmapConversion Conversion;
    // A conversion failed or the handler changed the bitmap's size or format: the later
    // pictures of the file go unhooked.
    bool Stopped = false;
};

struct TPlayerEngine {
    // Registers the player's events with SDL once per process; 0 when SDL refused.
    static uint32_t EventBase();
    // Pushes the event with APlayback as its first data pointer; false when SDL refused.
    static bool PushEvent(TPlayerEvent AEvent, const TPlayback* APlayback);
    static void ScheduleRefresh(TPlayback& APlayback, int ADelayMs);
    // SDL_Quit, with the timers stopped first: a refresh timer that fires meanwhile would
    // push into an event queue that is being torn down.
    static void QuitSdl();

    // Read thread and streams.
    static int SDLCALL ReadThread(void* AData);
    static int OpenStreamComponent(TPlayback& APlayback, int32_t AIndex);
    static void CloseStreamComponent(TPlayback& APlayback, int32_t AIndex);
    // False when an earlier seek is still pending. AExact: to the picture on screen at ATarget.
    static bool RequestSeek(TPlayback& APlayback, int64_t ATarget, int32_t AFlags, bool AExact = false);

    // Video.
    static int SDLCALL VideoThread(void* AData);
    static int QueuePicture(TPlayback& APlayback, const AVFrame* AFrame, double APts);
    static double SynchronizeVideo(TPlayback& APlayback, const AVFrame* AFrame, double APts);

    // Audio.
    static int OpenAudioDevice(TPlayback& APlayback);
    static void SDLCALL AudioCallback(void* AData, Uint8* AStream, int ALength);
    static int DecodeAudioFrame(TPlayback& APlayback);
    // The frame's audio as signed 16-bit samples at the device's rate and channel count, in
    // one of the playback's buffers (AudioBuf): the chunk's size in bytes, or -1 (logged).
    static int ConvertAudioFrame(TPlayback& APlayback, const AVFrame* AFrame);
    static void UpdateSampleRing(TPlayback& APlayback, const uint8_t* AChunk, int ASize);

    // Clocks, seconds.
    static double GetAudioClock(const TPlayback& APlayback);
    static double GetVideoClock(const TPlayback& APlayback);
    static double GetMasterClock(const TPlayback& APlayback);

    // Host window: asks X11 for the window's resize and expose events (and mouse presses
    // when the host does not take them), so that SDL reports them.
    static void SelectHostWindowEvents(SDL_Window* AWindow);
};

} // namespace qm
