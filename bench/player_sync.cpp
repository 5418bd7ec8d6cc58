// bench-player-sync: how closely the player keeps picture and sound together, in figures the
// tests do not assert (a loaded machine moves them). The clip flashes white at each whole
// second and clicks at the same moments; the player runs on SDL's dummy video driver and its
// disk audio driver, which takes the sound in real time, one device buffer at a time. For each
// flash shown, the moment its click went out is read off the growth of the sound file.
//
//   bench-player-sync [--runs N] [CLIP]     (default: av_sync.mp4 of the test fixtures)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "DiskSound.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "Platform/Numbers.h"
#include "Player/FFPlayer.h"

using namespace qm;

namespace {

using TClock = std::chrono::steady_clock;

const std::string SoundFile =
    (std::filesystem::temp_directory_path() / ("qm-bench-sync-" + std::to_string(::getpid()) + ".raw")).string();

using qm::test::FileSize;
using qm::test::ReadSamples;

struct TRun {
    double FramesPerSecond = 0;   // of the sound driver, fitted over the run
    std::vector<double> OffsetsMs; // each flash shown after its click went out (negative: before)
};

// One playback of AClip; false with a message when it could not be measured.
bool PlayOnce(const std::string& AClip, TRun& ARun) {
    std::remove(SoundFile.c_str());
    const auto start = TClock::now();
    auto seconds = [&] { return std::chrono::duration<double>(TClock::now() - start).count(); };
    std::mutex lock;
    std::vector<int64_t> flashes;
    std::vector<double> shownAt;
    std::vector<std::pair<double, double>> sound; // (when, stereo frames written)
    bool ended = false;
    TFFPlayer player;
    player.SetHook(true);
    player.OnHook = [&](TCustomPlayer&, TBitmap& ABitmap, int64_t APTS) {
        const uint8_t* row = ABitmap.ScanLine(ABitmap.Height() / 2);
        if (row[3 * (ABitmap.Width() / 2)] > 200) {
            std::lock_guard guard(lock);
            flashes.push_back(APTS);
        }
    };
    player.OnPosition = [&](TCustomPlayer&, int64_t APTS) {
        const double now = seconds();
        const double written = double(FileSize(SoundFile)) / 4;
        std::lock_guard guard(lock);
        sound.emplace_back(now, written);
        for (int64_t f : flashes)
            if (std::llabs(APTS - f) < 5000)
                shownAt.push_back(now);
    };
    player.OnState = [&](TCustomPlayer&, TPlayState AState) {
        if (AState == psEnd) {
            std::lock_guard guard(lock);
            ended = true;
            TMainThread::Wake();
        }
    };
    if (!player.Open(AClip)) {
        std::fprintf(stderr, "%s: %s\n", AClip.c_str(), player.LastError().c_str());
        return false;
    }
    TMainThread::WaitFor([&] {
        std::lock_guard guard(lock);
        return ended;
    }, std::chrono::seconds(60));
    player.Stop(true);

    const auto samples = ReadSamples(SoundFile);
    std::vector<double> clicks;
    for (size_t i = 0; i + 1 < samples.size(); i += 2)
        if (std::abs(samples[i]) > 8000 && (clicks.empty() || i / 2 > clicks.back() + 22050))
            clicks.push_back(double(i / 2));
    std::lock_guard guard(lock);
    double n = 0, st = 0, sw = 0, stt = 0, stw = 0;
    for (const auto& [t, w] : sound)
        if (t > sound.front().first + 0.3)
            n += 1, st += t, sw += w, stt += t * t, stw += t * w;
    if (n < 20 || clicks.empty() || shownAt.empty()) {
        std::fprintf(stderr, "too little to measure: %zu reports, %zu clicks, %zu flashes shown\n", sound.size(),
                     clicks.size(), shownAt.size());
        return false;
    }
    const double slope = (n * stw - st * sw) / (n * stt - st * st);
    const double offset = (sw - slope * st) / n;
    ARun.FramesPerSecond = slope;
    // The latest flashes against the latest clicks: the first flash may come before the
    // first report.
    for (size_t k = shownAt.size(), c = clicks.size(); k-- > 0 && c-- > 0;) {
        const double heard = (clicks[c] - offset) / slope - 512.0 / 44100;
        ARun.OffsetsMs.insert(ARun.OffsetsMs.begin(), (shownAt[k] - heard) * 1000);
    }
    return true;
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues.empty() ? 0 : AValues[AValues.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int runs = 3;
    std::string clip;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("Usage: bench-player-sync [--runs N] [CLIP]\n");
            return 0;
        } else
            clip = argv[i];
    }
    if (clip.empty())
        clip = fixtures::FixturePath("av_sync.mp4");
    ::setenv("SDL_VIDEODRIVER", "dummy", 0);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", SoundFile.c_str(), 1);
    TMainThread::Install();
    if (!GlobalLoader.LoadLibraries(PlayerLibraries)) {
        std::fprintf(stderr, "%s\n", GlobalLoader.LastErrMsg().c_str());
        return 1;
    }
    std::printf("| run | sound frames/s | flash after its click, ms (each second) | worst ms |\n|---:|---:|---|---:|\n");
    std::vector<double> worst, rates;
    for (int r = 1; r <= runs; ++r) {
        TRun run;
        if (!PlayOnce(clip, run))
            return 1;
        double w = 0;
        std::string list;
        for (double ms : run.OffsetsMs) {
            list += (list.empty() ? "" : " ") + std::to_string(std::lround(ms));
            w = std::max(w, std::fabs(ms));
        }
        worst.push_back(w);
        rates.push_back(run.FramesPerSecond);
        std::fputs(FormatC("| %d | %.0f | %s | %.0f |\n", r, run.FramesPerSecond, list.c_str(), w).c_str(), stdout);
        std::fflush(stdout);
    }
    std::fputs(FormatC("\nmedian: %.0f sound frames/s, worst offset %.0f ms\n", Median(rates), Median(worst)).c_str(),
               stdout);
    std::remove(SoundFile.c_str());
    return 0;
}
