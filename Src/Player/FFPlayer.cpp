#include "FFPlayer.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>

#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"
#include "Player/PlayerEngine.h"

namespace qm {

namespace {

// SDL, its event queue and its audio device are process-wide: one player at a time.
std::atomic<TCustomPlayer*> GActivePlayer{nullptr};

using namespace std::chrono_literals;

} // namespace

// A thread of the component that the main thread can wait for while it keeps serving
// hand-overs (the playback's threads may be delivering a position or a log line meanwhile).
class TComponentThread {
public:
    explicit TComponentThread(std::function<void()> ABody)
        : FBody(std::move(ABody)), FThread([this] {
              FBody();
              FFinished = true;
              TMainThread::Wake();
          }) {}
    ~TComponentThread() {
        if (FThread.joinable())
            FThread.join();
    }
    bool Finished() const { return FFinished.load(); }
    void Wait() {
        TMainThread::WaitFor([this] { return Finished(); });
    }

private:
    std::function<void()> FBody;
    std::atomic<bool> FFinished{false};
    std::thread FThread; // last: starts once the rest exists
};

// Runs the event loop of one playback; psPlay before it, psStop after it.
class TCustomPlayer::TPlayThread : public TComponentThread {
public:
    explicit TPlayThread(TCustomPlayer& APlayer)
        : TComponentThread([&APlayer] {
              APlayer.DoState(psPlay);
              APlayer.EventLoop();
              GActivePlayer = nullptr;
              APlayer.DoState(psStop);
          }) {}
};

// Asks the event loop to quit until the play thread has ended (psStop included), for about a
// second at most (a fifth of it when the read thread hangs in a read).
class TCustomPlayer::TStopThread : public TComponentThread {
public:
    explicit TStopThread(TCustomPlayer& APlayer) : TComponentThread([&APlayer] { Run(APlayer); }) {}

private:
    static void Run(TCustomPlayer& APlayer) {
        APlayer.PushPlayerEvent(peQuit);
        auto ended = [&APlayer] { return !APlayer.FPlayThread || APlayer.FPlayThread->Finished(); };
        for (int pass = 0; !ended();) {
            auto playback = APlayer.CurrentPlayback();
            if (playback && playback->Reading && pass > 20)
                break;
            TMainThread::WaitFor(ended, 10ms);
            ++pass;
            if (pass > 100)
                break;
            if (pass % 20 == 0)
                APlayer.PushPlayerEvent(peQuit);
        }
    }
};

// Waits while a seek is pending, so that a pause does not catch the read thread in the
// middle of it: at most about a second, a fifth of it when the read thread hangs in a read.
class TCustomPlayer::TPauseThread : public TComponentThread {
public:
    explicit TPauseThread(std::shared_ptr<TPlayback> APlayback)
        : TComponentThread([playback = std::move(APlayback)] {
              auto settled = [&] { return !playback->SeekRequest || playback->AbortRequest; };
              for (int pass = 0; !settled();) {
                  if (playback->Reading && pass > 20)
                      break;
                  TMainThread::WaitFor(settled, 10ms);
                  if (++pass > 100)
                      break;
              }
          }) {}
};

TCustomPlayer::TCustomPlayer()
    : FProbe(std::make_unique<TAVProbe>()), FLastReportedPosition(AV_NOPTS_VALUE),
      FAlive(std::make_shared<TCustomPlayer*>(this)) {}

TCustomPlayer::~TCustomPlayer() {
    // The owner is going: nothing may reach its handlers any more, not even psStop.
    FDestroying = true;
    Stop(true);
    JoinPlayThread(true);
    FAlive.reset();
    FHookPicture.reset();
}

bool TCustomPlayer::LoadLibraries(const std::string& AFolder) {
    GlobalLoader.SetLibraryPath(AFolder);
    if (GlobalLoader.LoadLibraries(PlayerLibraries))
        return true;
    FLastError = GlobalLoader.LastErrMsg();
    return false;
}

bool TCustomPlayer::LibrariesLoaded() const { return GlobalLoader.LibrariesLoaded(PlayerLibraries); }

bool TCustomPlayer::Active() const { return CurrentPlayback() != nullptr; }

std::shared_ptr<TPlayback> TCustomPlayer::CurrentPlayback() const {
    std::lock_guard lock(FPlaybackLock);
    return FPlayback;
}

void TCustomPlayer::PushPlayerEvent(int32_t AEvent) {
    // Under the lock: the playback's end takes it before SDL goes away.
    std::lock_guard lock(FPlaybackLock);
    if (FPlayback)
        TPlayerEngine::PushEvent(static_cast<TPlayerEvent>(AEvent), FPlayback.get());
}

void TCustomPlayer::ReportError(const std::string& AMessage, bool AKeep) {
    Log(this, llError, AMessage);
    if (AKeep)
        FLastError = AMessage;
}

void TCustomPlayer::DoState(TPlayState AState) {
    if (OnState && !FDestroying)
        OnState(*this, AState);
}

void TCustomPlayer::QueueToMain(std::function<void(TCustomPlayer&)> AFn) {
    std::weak_ptr<TCustomPlayer*> alive = FAlive;
    TMainThread::Queue([alive, fn = std::move(AFn)] {
        if (auto player = alive.lock(); player && !(*player)->FDestroying)
            fn(**player);
    });
}

void TCustomPlayer::ResetPlaybackState() {
    FLastReportedPosition = AV_NOPTS_VALUE;
    FCurrentPosition = -1;
}

void TCustomPlayer::JoinPlayThread(bool AWait) {
    if (!FPlayThread || (!AWait && !FPlayThread->Finished()))
        return;
    TMainThread::WaitFor([this] { return FPlayThread->Finished(); });
    FPlayThread.reset();
}

bool TCustomPlayer::Open(const std::string& AFileName, uintptr_t AWindowHandle) {
    if (!LibrariesLoaded()) {
        ReportError("libav or libsdl not loaded.", true);
        return false;
    }
    Stop(true);
    // A play thread that outlived Stop's wait still owns SDL: it has to be gone first.
    JoinPlayThread(true);

    TCustomPlayer* idle = nullptr;
    if (!GActivePlayer.compare_exchange_strong(idle, this)) {
        ReportError("Another player is playing.", true);
        return false;
    }
    auto fail = [this] {
        CloseDisplay();
        TPlayerEngine::QuitSdl();
        GActivePlayer = nullptr;
        return false;
    };

    if (ff::SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) != 0) {
        ReportError(std::string("Could not initialize SDL: ") + ff::SDL_GetError(), true);
        return fail();
    }
    FOwnWindow = false;
    if (AWindowHandle != 0) {
        // Drawn into the host's X11 window; made here, before the play thread exists.
        FWindow = ff::SDL_CreateWindowFrom(reinterpret_cast<const void*>(AWindowHandle));
        if (!FWindow) {
            ReportError(std::string("Could not initialize SDL: ") + ff::SDL_GetError(), true);
            return fail();
        }
        TPlayerEngine::SelectHostWindowEvents(FWindow);
    }
    if (DisableDisplay())
        SetDisableVideo(true);
    ff::SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);
    ff::SDL_EventState(SDL_SYSWMEVENT, SDL_IGNORE);
    if (TPlayerEngine::EventBase() == 0) {
        ReportError(std::string("Could not initialize SDL: ") + ff::SDL_GetError(), true);
        return fail();
    }

    if (!StartPlayback(AFileName))
        return fail();

    auto playback = CurrentPlayback();
    FFileName = AFileName;
    FHostWindow = AWindowHandle;
    FProbe->AttachContext(playback->FormatContext);
    DoFileOpen(*playback);
    FPlayThread = std::make_unique<TPlayThread>(*this);
    // The read thread waited so that the facts above were read from a quiet context.
    playback->ReadGo = true;
    TMainThread::Wake();
    return true;
}

void TCustomPlayer::DoFileOpen(TPlayback& APlayback) {
    FHookPicture.reset();
    const AVFormatContext* ctx = APlayback.FormatContext;
    APlayback.StartOffset = ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0;
    APlayback.FileDuration = ctx->duration != AV_NOPTS_VALUE ? ctx->duration : -1;
    if (OnFileOpen) {
        int32_t width = -1, height = -1;
        if (APlayback.VideoDecoder && APlayback.VideoDecoder->width > 0) {
            width = APlayback.VideoDecoder->width;
            height = APlayback.VideoDecoder->height;
        }
        int32_t screenWidth = ScreenWidth(), screenHeight = ScreenHeight();
        OnFileOpen(*this, APlayback.IsImageSequence ? 0 : APlayback.FileDuration, width, height,
                   screenWidth, screenHeight);
        SetScreenWidth(screenWidth);
        SetScreenHeight(screenHeight);
    }
    if (FWindow && (ScreenWidth() == 0 || ScreenHeight() == 0)) {
        int w = 0, h = 0;
        ff::SDL_GetWindowSize(FWindow, &w, &h);
        SetScreenWidth(w);
        SetScreenHeight(h);
    }
}

void TCustomPlayer::Stop(bool AWait) {
    if (!CurrentPlayback()) {
        JoinPlayThread(false);
        return;
    }
    PushPlayerEvent(peQuit);
    if (!AWait)
        return;
    TStopThread stopper(*this);
    stopper.Wait();
    JoinPlayThread(false);
}

void TCustomPlayer::TogglePlaybackPause(const std::shared_ptr<TPlayback>& APlayback) {
    TPlayback& playback = *APlayback;
    if (!playback.Paused) {
        TPauseThread waiter(APlayback);
        waiter.Wait();
        // Freeze the video clock where it stands.
        playback.CurrentPicturePts = TPlayerEngine::GetVideoClock(playback);
        playback.CurrentPictureTime = ff::av_gettime();
        playback.Paused = true;
    } else {
        // Go on from the frozen clock: the pictures' schedule moves by the time spent paused.
        const int64_t now = ff::av_gettime();
        playback.FrameTimer.fetch_add((now - playback.CurrentPictureTime) / 1e6);
        playback.CurrentPictureTime = now;
        playback.Paused = false;
    }
}

void TCustomPlayer::Pause() {
    auto playback = CurrentPlayback();
    if (!playback || playback->Paused)
        return;
    TogglePlaybackPause(playback);
    DoState(psPause);
}

void TCustomPlayer::Resume() {
    auto playback = CurrentPlayback();
    if (!playback || !playback->Paused)
        return;
    TogglePlaybackPause(playback);
    DoState(psResume);
}

void TCustomPlayer::TogglePause() {
    auto playback = CurrentPlayback();
    if (!playback)
        return;
    TogglePlaybackPause(playback);
    DoState(playback->Paused ? psPause : psResume);
}

void TCustomPlayer::Seek(int64_t APosition) {
    std::lock_guard lock(FPlaybackLock);
    if (!FPlayback)
        return;
    TPlayback& playback = *FPlayback;
    // Without a known duration there is nothing to limit the target to.
    if (playback.FileDuration >= 0 && APosition > playback.FileDuration)
        APosition = playback.FileDuration;
    TPlayerEngine::RequestSeek(playback, APosition + playback.StartOffset, FSeekFlags);
}

int64_t TCustomPlayer::PictureTime() const {
    auto playback = CurrentPlayback();
    if (!playback || playback->ShownPictureTime == AV_NOPTS_VALUE)
        return -1;
    return std::max<int64_t>(0, playback->ShownPictureTime - playback->StartOffset);
}

void TCustomPlayer::SeekToPicture(int64_t APosition) {
    std::lock_guard lock(FPlaybackLock);
    if (!FPlayback)
        return;
    TPlayback& playback = *FPlayback;
    if (playback.SeekRequest)
        return;
    if (playback.FileDuration >= 0 && APosition > playback.FileDuration)
        APosition = playback.FileDuration;
    // Set first: a paused video thread must be free to decode once the flush marker comes.
    const bool video = playback.VideoStream != nullptr;
    if (video)
        playback.ExactPending = true;
    if (!TPlayerEngine::RequestSeek(playback, APosition + playback.StartOffset, FSeekFlags, video))
        playback.ExactPending = false;
}

void TCustomPlayer::StepPicture(bool AForward) {
    auto playback = CurrentPlayback();
    if (!playback || !playback->Paused || !playback->VideoStream)
        return;
    if (AForward) {
        playback->StepPending = true; // the next picture waits in the queue
        return;
    }
    const int64_t shown = PictureTime();
    if (shown > 0)
        SeekToPicture(shown - 1);
}

void TCustomPlayer::SetAspectRatio(float AValue) {
    if (AValue == FAspectRatio.load())
        return;
    FAspectRatio = AValue;
    PushPlayerEvent(peReopenDisplay);
}

void TCustomPlayer::SetAudioVolume(int32_t AValue) {
    FAudioVolume = AValue < 0 ? 0 : AValue > SDL_MIX_MAXVOLUME ? SDL_MIX_MAXVOLUME : AValue;
}

void TCustomPlayer::UpdatePosition(TPlayback& APlayback) {
    if (APlayback.IsImageSequence)
        return;
    double clock;
    if (APlayback.VideoStream)
        clock = TPlayerEngine::GetVideoClock(APlayback);
    else if (APlayback.AudioStream)
        clock = TPlayerEngine::GetAudioClock(APlayback);
    else
        return;
    int64_t position = std::llround(clock * 1e6) - APlayback.StartOffset;
    const int64_t duration = APlayback.FileDuration;
    const int64_t audioDuration = APlayback.AudioDuration;
    // Audio that ends before the container does: the end is the container's.
    if (audioDuration > 0 && position >= audioDuration && position < duration)
        position = duration;
    FCurrentPosition = position;
    if (duration > 0 && position >= duration) {
        position = duration;
        if (FLastReportedPosition != duration)
            FLastReportedPosition = 0;
    }
    const int64_t last = FLastReportedPosition;
    if (last == AV_NOPTS_VALUE || std::llabs(last - position) > 10000) {
        FLastReportedPosition = position;
        if (OnPosition && !FDestroying)
            TMainThread::Synchronize([&] {
                // The owner may have begun to go while the hand-over waited.
                if (OnPosition && !FDestroying)
                    OnPosition(*this, position);
            });
    }
    // Empty queues alone are no end: at the start the reader may not have read yet.
    if (APlayback.VideoQueue.PacketCount() == 0 && APlayback.AudioQueue.PacketCount() == 0 &&
        !APlayback.IsCaptureDevice && (APlayback.InputEnded || position == duration))
        DoState(psEnd);
}

} // namespace qm
