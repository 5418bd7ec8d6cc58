// The player: plays one media file at a time into a host window (or a window of its own)
// through SDL 2, and reports the file's size and duration, the position and its state.
//
// Operations and property setters belong to the main thread. A playing player runs a play
// thread (SDL's event loop: display, refresh timer, positions), a read thread, a video
// decoding thread, SDL's audio and timer threads. Events:
//   OnFileOpen  main thread, inside Open;
//   OnPosition  main thread, while the play thread waits;
//   OnState     the thread that causes it: psPlay, psStop, psEnd on the play thread, psPause
//               and psResume on the caller's;
//   OnHook      the video thread;
//   OnHostFocus, OnKeyDown  main thread, queued.
// Only one player plays at a time in a process: SDL is process-wide.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/Bitmap.h"
#include "Probe/AVProbe.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_WindowEvent;
struct AVFrame;

namespace qm {

struct TPlayback;
struct TPictureEntry;

enum TPlayState : uint8_t { psPlay, psPause, psResume, psStep, psStop, psEnd };

class TCustomPlayer;

using TFileOpenEvent =
    std::function<void(TCustomPlayer& ASender, int64_t ADuration, int32_t AFrameWidth,
                       int32_t AFrameHeight, int32_t& AScreenWidth, int32_t& AScreenHeight)>;
using TPositionEvent = std::function<void(TCustomPlayer& ASender, int64_t APTS)>;
using TPlayStateEvent = std::function<void(TCustomPlayer& ASender, TPlayState AState)>;
using THookEvent = std::function<void(TCustomPlayer& ASender, TBitmap& ABitmap, int64_t APTS)>;
// A mouse press on the picture: the host gives its window the keyboard focus.
using THostFocusEvent = std::function<void(TCustomPlayer& ASender)>;
// A key pressed in the player's own window; AKey is SDL's key code.
using TKeyDownEvent = std::function<void(TCustomPlayer& ASender, int32_t AKey)>;

// The seek flag bits, as the format library's seek takes them.
enum TSeekFlag : int32_t {
    sfBackward = 1,
    sfByte = 2,
    sfAny = 4,
    sfFrame = 8,
};

class TCustomPlayer {
public:
    TCustomPlayer();
    // Clears the position, state and hook events, then stops and waits.
    virtual ~TCustomPlayer();
    TCustomPlayer(const TCustomPlayer&) = delete;
    TCustomPlayer& operator=(const TCustomPlayer&) = delete;

    // AFolder: where private copies of the libraries lie.
    bool LoadLibraries(const std::string& AFolder);
    bool LibrariesLoaded() const;
    // Stops what plays, then opens AFileName and starts playing it into the X11 window
    // AWindowHandle (0: a window of the player's own). False with LastError on failure.
    // A host window must outlive the playback: Stop(true) before it goes.
    bool Open(const std::string& AFileName, uintptr_t AWindowHandle = 0);
    // AWait false only asks the playback to end; true also waits, at most about a second.
    void Stop(bool AWait);
    void Pause();
    void Resume();
    void TogglePause();
    // APosition: microseconds from the file's start; beyond the duration means the duration.
    // Ignored while an earlier seek is still pending.
    void Seek(int64_t APosition);

    const std::string& LastError() const { return FLastError; }
    TAVProbe& Probe() { return *FProbe; }
    // The position last computed (microseconds from the start), -1 before the first one.
    int64_t CurrentPosition() const { return FCurrentPosition.load(); }
    // The time of the picture on screen (microseconds from the start); -1 before the first and
    // after a seek until the first picture after it, whose time the clock shows meanwhile.
    int64_t PictureTime() const;
    // Shows the picture on screen at APosition, decoded from the key frame before it; a
    // paused player stays paused on it. Ignored while an earlier seek is still pending.
    void SeekToPicture(int64_t APosition);
    // Paused: shows the picture after the one on screen (AForward) or the one before it.
    void StepPicture(bool AForward);
    // A playback exists (opened and not yet ended).
    bool Active() const;

protected:
    // Properties, published by TFFPlayer.
    static const char* Version() { return "1.3"; }
    float AspectRatio() const { return FAspectRatio.load(); }
    // > 0 forces that width-to-height ratio, 0 takes the stream's, < 0 fills the display.
    // A change while a file is open redraws.
    void SetAspectRatio(float AValue);
    int32_t AudioVolume() const { return FAudioVolume.load(); }
    // 0..128; other values are clamped.
    void SetAudioVolume(int32_t AValue);
    bool Mute() const { return FMute.load(); }
    void SetMute(bool AValue) { FMute = AValue; }
    bool DisableAudio() const { return FDisableAudio.load(); }
    void SetDisableAudio(bool AValue) { FDisableAudio = AValue; }
    bool DisableVideo() const { return FDisableVideo.load(); }
    void SetDisableVideo(bool AValue) { FDisableVideo = AValue; }
    bool DisableDisplay() const { return FDisableDisplay.load(); }
    void SetDisableDisplay(bool AValue) { FDisableDisplay = AValue; }
    int32_t FrameWidth() const { return FFrameWidth.load(); }
    void SetFrameWidth(int32_t AValue) { FFrameWidth = AValue; }
    int32_t FrameHeight() const { return FFrameHeight.load(); }
    void SetFrameHeight(int32_t AValue) { FFrameHeight = AValue; }
    int32_t ScreenWidth() const { return FScreenWidth.load(); }
    void SetScreenWidth(int32_t AValue) { FScreenWidth = AValue; }
    int32_t ScreenHeight() const { return FScreenHeight.load(); }
    void SetScreenHeight(int32_t AValue) { FScreenHeight = AValue; }
    bool Hook() const { return FHook.load(); }
    void SetHook(bool AValue) { FHook = AValue; }
    int32_t SeekFlags() const { return FSeekFlags; }
    void SetSeekFlags(int32_t AValue) { FSeekFlags = AValue; }
    bool SeekBackware() const { return FSeekFlags & sfBackward; }
    void SetSeekBackware(bool AValue) { SetSeekFlag(sfBackward, AValue); }
    bool SeekByByte() const { return FSeekFlags & sfByte; }
    void SetSeekByByte(bool AValue) { SetSeekFlag(sfByte, AValue); }
    bool SeekToAny() const { return FSeekFlags & sfAny; }
    void SetSeekToAny(bool AValue) { SetSeekFlag(sfAny, AValue); }
    bool SeekByFrame() const { return FSeekFlags & sfFrame; }
    void SetSeekByFrame(bool AValue) { SetSeekFlag(sfFrame, AValue); }

    // Set while no file plays.
    TFileOpenEvent OnFileOpen;
    TPositionEvent OnPosition;
    TPlayStateEvent OnState;
    THookEvent OnHook;
    THostFocusEvent OnHostFocus;
    TKeyDownEvent OnKeyDown;

private:
    friend struct TPlayerEngine;
    class TPlayThread;
    class TStopThread;
    class TPauseThread;

    void SetSeekFlag(int32_t AFlag, bool AOn) {
        FSeekFlags = AOn ? (FSeekFlags | AFlag) : (FSeekFlags & ~AFlag);
    }
    void ReportError(const std::string& AMessage, bool AKeep);
    void DoState(TPlayState AState);
    void DoFileOpen(TPlayback& APlayback);
    void UpdatePosition(TPlayback& APlayback);
    std::shared_ptr<TPlayback> CurrentPlayback() const;
    // Pushes one of the player's SDL events while a playback exists.
    void PushPlayerEvent(int32_t AEvent);
    // Joins a play thread that has ended; with AWait, waits for it to end first.
    void JoinPlayThread(bool AWait);
    void ResetPlaybackState();
    // Runs AFn on the main thread later, unless the player is gone by then.
    void QueueToMain(std::function<void(TCustomPlayer&)> AFn);

    // Playback start and end, pause toggle (ReadThread.cpp).
    bool StartPlayback(const std::string& AFileName);
    void EndPlayback();
    // APlayback: the caller's hold on the playback, which the pause's wait shares.
    void TogglePlaybackPause(const std::shared_ptr<TPlayback>& APlayback);

    // Event loop and display, play thread only (VideoDisplay.cpp).
    void EventLoop();
    int OpenDisplay(TPlayback& APlayback);
    void CloseDisplay();
    void DrawDisplay(TPlayback& APlayback);
    void DrawPicture(TPlayback& APlayback);
    void DrawWave(TPlayback& APlayback);
    void AllocatePicture(TPlayback& APlayback);
    void RefreshDisplay(TPlayback& APlayback);
    void HandleWindowEvent(TPlayback& APlayback, const SDL_WindowEvent& AEvent);
    double ComputeFrameDelay(TPlayback& APlayback, double APts);
    // Video thread: the picture through OnHook into AEntry's planes; false when the hook
    // did not produce it.
    bool HookFrame(TPlayback& APlayback, const AVFrame* AFrame, TPictureEntry& AEntry,
                   double APts);

    std::unique_ptr<TAVProbe> FProbe;
    std::string FLastError;

    std::atomic<float> FAspectRatio{0};
    std::atomic<int32_t> FAudioVolume{128};
    std::atomic<bool> FMute{false};
    std::atomic<bool> FDisableAudio{false};
    std::atomic<bool> FDisableVideo{false};
    std::atomic<bool> FDisableDisplay{false};
    std::atomic<int32_t> FFrameWidth{0};
    std::atomic<int32_t> FFrameHeight{0};
    std::atomic<int32_t> FScreenWidth{0};
    std::atomic<int32_t> FScreenHeight{0};
    std::atomic<bool> FHook{false};
    int32_t FSeekFlags = sfAny; // main thread

    // The current playback; the pointer is guarded by FPlaybackLock, the record by its own
    // rules (Playback.h).
    mutable std::mutex FPlaybackLock;
    std::shared_ptr<TPlayback> FPlayback;
    std::unique_ptr<TPlayThread> FPlayThread; // main thread
    uintptr_t FHostWindow = 0;
    std::string FFileName;

    // Play thread, except that Open makes the host's SDL window before the thread starts.
    SDL_Window* FWindow = nullptr;
    SDL_Renderer* FRenderer = nullptr;
    bool FOwnWindow = false;

    // Play thread; read by the main thread.
    std::atomic<int64_t> FLastReportedPosition;
    std::atomic<int64_t> FCurrentPosition{-1};
    // Set first by the destructor: no event reaches the owner any more.
    std::atomic<bool> FDestroying{false};
    // Lets a queued call find out that the player is gone (main thread).
    std::shared_ptr<TCustomPlayer*> FAlive;

    // The hook conversion record: video thread, reset by Open and destruction.
    struct THookPicture;
    std::unique_ptr<THookPicture> FHookPicture;
};

// The player with its properties and events published.
class TFFPlayer : public TCustomPlayer {
public:
    using TCustomPlayer::AspectRatio;
    using TCustomPlayer::AudioVolume;
    using TCustomPlayer::DisableAudio;
    using TCustomPlayer::DisableDisplay;
    using TCustomPlayer::DisableVideo;
    using TCustomPlayer::FrameHeight;
    using TCustomPlayer::FrameWidth;
    using TCustomPlayer::Hook;
    using TCustomPlayer::Mute;
    using TCustomPlayer::OnFileOpen;
    using TCustomPlayer::OnHook;
    using TCustomPlayer::OnHostFocus;
    using TCustomPlayer::OnKeyDown;
    using TCustomPlayer::OnPosition;
    using TCustomPlayer::OnState;
    using TCustomPlayer::ScreenHeight;
    using TCustomPlayer::ScreenWidth;
    using TCustomPlayer::SeekBackware;
    using TCustomPlayer::SeekByByte;
    using TCustomPlayer::SeekByFrame;
    using TCustomPlayer::SeekFlags;
    using TCustomPlayer::SeekToAny;
    using TCustomPlayer::SetAspectRatio;
    using TCustomPlayer::SetAudioVolume;
    using TCustomPlayer::SetDisableAudio;
    using TCustomPlayer::SetDisableDisplay;
    using TCustomPlayer::SetDisableVideo;
    using TCustomPlayer::SetFrameHeight;
    using TCustomPlayer::SetFrameWidth;
    using TCustomPlayer::SetHook;
    using TCustomPlayer::SetMute;
    using TCustomPlayer::SetScreenHeight;
    using TCustomPlayer::SetScreenWidth;
    using TCustomPlayer::SetSeekBackware;
    using TCustomPlayer::SetSeekByByte;
    using TCustomPlayer::SetSeekByFrame;
    using TCustomPlayer::SetSeekFlags;
    using TCustomPlayer::SetSeekToAny;
    using TCustomPlayer::Version;
};

} // namespace qm
