// quillmoor-cli play: one file in a window of the player's own, with its state changes and
// the position once a second on standard output.
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "Cli/CliCommands.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Platform/MainThread.h"
#include "Player/FFPlayer.h"
#include "Platform/Numbers.h"

namespace qm::cli {

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: quillmoor-cli play FILE [--seek SECONDS] [--volume 0-128] [--mute]\n"
                 "                         [--no-video] [--no-audio]\n"
                 "Plays FILE in a window; keys: space pause, left/right seek 10 s, q quit.\n");
}

const char* StateName(TPlayState AState) {
    switch (AState) {
    case psPlay:
        return "play";
    case psPause:
        return "pause";
    case psResume:
        return "resume";
    case psStep:
        return "step";
    case psStop:
        return "stop";
    case psEnd:
        return "end";
    }
    return "?";
}

std::mutex GPrintLock;

// State changes come from the player's threads, positions from this one.
void PrintLine(const std::string& ALine) {
    std::lock_guard lock(GPrintLock);
    std::printf("%s\n", ALine.c_str());
    std::fflush(stdout);
}

bool ParseNumber(const std::string& AText, double& AValue) { return ParseDecimal(AText, AValue); }

} // namespace

int RunPlay(const TArgs& args) {
    std::string file;
    double seek = -1, volume = 128;
    bool mute = false, noVideo = false, noAudio = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if ((a == "--seek" || a == "--volume") && i + 1 < args.size()) {
            double value;
            if (!ParseNumber(args[++i], value) || value < 0 || (a == "--volume" && value > 128)) {
                std::fprintf(stderr, "quillmoor-cli play: bad value for %s: %s\n", a.c_str(),
                             args[i].c_str());
                return 1;
            }
            (a == "--seek" ? seek : volume) = value;
        } else if (a == "--mute") {
            mute = true;
        } else if (a == "--no-video") {
            noVideo = true;
        } else if (a == "--no-audio") {
            noAudio = true;
        } else if (file.empty() && !a.empty() && a[0] != '-') {
            file = a;
        } else {
            PrintUsage(stderr);
            return 1;
        }
    }
    if (file.empty()) {
        PrintUsage(stderr);
        return 1;
    }
    if (!LoadLibrarySet(PlayerLibraries))
        return 1;

    TFFPlayer player;
    player.SetAudioVolume(static_cast<int32_t>(volume));
    player.SetMute(mute);
    player.SetDisableVideo(noVideo);
    player.SetDisableAudio(noAudio);

    std::atomic<bool> stopped{false}, ended{false};
    player.OnFileOpen = [](TCustomPlayer&, int64_t ADuration, int32_t AWidth, int32_t AHeight,
                           int32_t&, int32_t&) {
        std::lock_guard lock(GPrintLock);
        std::fputs(FormatC("opened: duration %.3f s", ADuration / 1e6).c_str(), stdout);
        if (AWidth > 0)
            std::printf(", picture %" PRId32 "x%" PRId32, AWidth, AHeight);
        std::printf("\n");
        std::fflush(stdout);
    };
    player.OnState = [&](TCustomPlayer&, TPlayState AState) {
        // The end is reported again on every refresh: once is enough here.
        if (AState == psEnd && ended.exchange(true))
            return;
        PrintLine(std::string("state: ") + StateName(AState));
        if (AState == psStop)
            stopped = true;
        TMainThread::Wake();
    };
    player.OnKeyDown = [](TCustomPlayer& APlayer, int32_t AKey) {
        auto& p = static_cast<TFFPlayer&>(APlayer);
        const int64_t position = p.CurrentPosition() < 0 ? 0 : p.CurrentPosition();
        if (AKey == SDLK_SPACE)
            p.TogglePause();
        else if (AKey == SDLK_LEFT)
            p.Seek(position > 10000000 ? position - 10000000 : 0);
        else if (AKey == SDLK_RIGHT)
            p.Seek(position + 10000000);
        else if (AKey == SDLK_q || AKey == SDLK_ESCAPE)
            p.Stop(false);
    };

    if (!player.Open(file, 0)) {
        std::fprintf(stderr, "quillmoor-cli play: %s\n", player.LastError().c_str());
        return 1;
    }
    if (seek >= 0)
        player.Seek(static_cast<int64_t>(seek * 1e6));

    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + std::chrono::seconds(1);
    bool stopAsked = false;
    while (!stopped) {
        TMainThread::WaitFor([&] { return stopped || (ended && !stopAsked) || Clock::now() >= next; },
                             next - Clock::now());
        if (ended && !stopAsked) {
            stopAsked = true;
            player.Stop(false);
        }
        if (Clock::now() >= next) {
            next += std::chrono::seconds(1);
            if (player.CurrentPosition() >= 0) {
                PrintLine(FormatC("position: %.3f s", player.CurrentPosition() / 1e6));
            }
        }
    }
    player.Stop(true);
    return 0;
}

} // namespace qm::cli
