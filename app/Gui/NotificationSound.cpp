#include "Gui/NotificationSound.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>

#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Platform/MainThread.h"

namespace qm {

namespace {

// What the audio callback plays. Position belongs to the callback thread; Done is the
// hand-back to the waiting main thread.
struct TPlayback {
    const Uint8* Data = nullptr;
    Uint32 Length = 0;
    Uint32 Position = 0;
    Uint8 Silence = 0;
    int CallsAfterEnd = 0;
    std::atomic<bool> Done{false};
};

void SDLCALL FillAudio(void* AUser, Uint8* AStream, int ALength) {
    auto& p = *static_cast<TPlayback*>(AUser);
    const Uint32 wanted = static_cast<Uint32>(ALength);
    const Uint32 n = std::min(wanted, p.Length - p.Position);
    if (n > 0)
        std::memcpy(AStream, p.Data + p.Position, n);
    std::memset(AStream + n, p.Silence, wanted - n);
    p.Position += n;
    // The device asks for a buffer while it plays the one before: the second request after
    // the end comes once the last samples have been played.
    if (n == 0 && ++p.CallsAfterEnd == 2) {
        p.Done = true;
        TMainThread::Wake();
    }
}

struct TWaveDeleter {
    void operator()(Uint8* AData) const { ff::SDL_FreeWAV(AData); }
};

class TAudioSubsystem {
public:
    bool Start() { return FStarted = ff::SDL_InitSubSystem(SDL_INIT_AUDIO) == 0; }
    ~TAudioSubsystem() {
        if (FStarted)
            ff::SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

private:
    bool FStarted = false;
};

} // namespace

bool PlayNotificationSound(const std::string& AWaveFile, std::string& AError) {
    if (!GlobalLoader.LibraryLoaded(lkSDL) && !GlobalLoader.LoadLibraries({lkSDL})) {
        AError = GlobalLoader.LastErrMsg();
        return false;
    }
    TAudioSubsystem audio;
    if (!audio.Start()) {
        AError = std::string("No audio output: ") + ff::SDL_GetError();
        return false;
    }
    SDL_AudioSpec format{};
    Uint8* data = nullptr;
    Uint32 length = 0;
    SDL_RWops* file = ff::SDL_RWFromFile(AWaveFile.c_str(), "rb");
    if (!file || !ff::SDL_LoadWAV_RW(file, 1, &format, &data, &length)) {
        AError = "Cannot read " + AWaveFile + ": " + ff::SDL_GetError();
        return false;
    }
    std::unique_ptr<Uint8, TWaveDeleter> wave(data);

    TPlayback playback;
    playback.Data = wave.get();
    playback.Length = length;
    format.callback = FillAudio;
    format.userdata = &playback;
    format.samples = 512;
    SDL_AudioSpec obtained{};
    // No changes allowed: SDL converts the file's format to the device's.
    const SDL_AudioDeviceID device = ff::SDL_OpenAudioDevice(nullptr, 0, &format, &obtained, 0);
    if (device == 0) {
        AError = std::string("No audio output: ") + ff::SDL_GetError();
        return false;
    }
    playback.Silence = obtained.silence;
    const int frameBytes = SDL_AUDIO_BITSIZE(format.format) / 8 * std::max<int>(format.channels, 1);
    const auto seconds = static_cast<double>(length) / frameBytes / std::max(format.freq, 1);
    ff::SDL_PauseAudioDevice(device, 0);
    // A device that stops calling back must not hold the window for ever.
    const bool played = TMainThread::WaitFor(
        [&playback] { return playback.Done.load(); },
        std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000) + 2000));
    // Closing waits for the callback thread, which uses playback and the wave.
    ff::SDL_CloseAudioDevice(device);
    if (!played)
        AError = "The audio output did not play " + AWaveFile + ".";
    return played;
}

} // namespace qm
