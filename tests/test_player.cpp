// The player through its public face, on SDL's dummy video driver and its disk audio driver:
// the mixed sound lands in a file that the tests read back.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DiskSound.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "Player/FFPlayer.h"
#include "Player/PlayerEngine.h"
#include "TestUtils.h"

using namespace qm;
using qm::fixtures::FixturePath;
using namespace std::chrono_literals;

namespace {

std::string DiskAudioFile() {
    return (std::filesystem::temp_directory_path() /
            ("qm-player-audio-" + std::to_string(::getpid()) + ".raw"))
        .string();
}

using qm::test::FileSize;
using qm::test::ReadSamples;

double Rms(const std::vector<int16_t>& ASamples, size_t AFrom, size_t ATo) {
    ATo = std::min(ATo, ASamples.size());
    if (ATo <= AFrom)
        return 0;
    double sum = 0;
    for (size_t i = AFrom; i < ATo; ++i)
        sum += double(ASamples[i]) * ASamples[i];
    return std::sqrt(sum / double(ATo - AFrom));
}

// What a player reported, and waits for it. States come from the play thread, the rest on
// the main thread.
struct TRecorder {
    std::mutex Lock;
    std::vector<TPlayState> States;
    std::vector<int64_t> Positions;
    int64_t Duration = -2;
    int32_t FrameWidth = 0, FrameHeight = 0;
    int FileOpens = 0;

    void Attach(TFFPlayer& APlayer) {
        APlayer.OnFileOpen = [this](TCustomPlayer&, int64_t ADuration, int32_t AWidth,
                                    int32_t AHeight, int32_t&, int32_t&) {
            std::lock_guard lock(Lock);
            Duration = ADuration;
            FrameWidth = AWidth;
            FrameHeight = AHeight;
            ++FileOpens;
        };
        APlayer.OnPosition = [this](TCustomPlayer&, int64_t APTS) {
            EXPECT_TRUE(TMainThread::IsMainThread());
            std::lock_guard lock(Lock);
            Positions.push_back(APTS);
        };
        APlayer.OnState = [this](TCustomPlayer&, TPlayState AState) {
            {
                std::lock_guard lock(Lock);
                States.push_back(AState);
            }
            TMainThread::Wake();
        };
    }
    size_t Count(TPlayState AState) {
        std::lock_guard lock(Lock);
        return std::count(States.begin(), States.end(), AState);
    }
    int64_t LastPosition() {
        std::lock_guard lock(Lock);
        return Positions.empty() ? -1 : Positions.back();
    }
    // The states without the repeated end reports.
    std::vector<TPlayState> Changes() {
        std::lock_guard lock(Lock);
        std::vector<TPlayState> out;
        for (auto s : States)
            if (out.empty() || !(s == psEnd && out.back() == psEnd))
                out.push_back(s);
        return out;
    }
};

bool WaitUntil(const std::function<bool()>& ADone, std::chrono::milliseconds ATimeout = 8000ms) {
    return TMainThread::WaitFor(ADone, ATimeout);
}

// Conditions nobody signals (the disk audio file growing): tested every few milliseconds.
bool PollUntil(const std::function<bool()>& ADone, std::chrono::milliseconds ATimeout = 8000ms) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    while (!ADone()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        TMainThread::WaitFor([] { return false; }, 5ms);
    }
    return true;
}

class PlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("SDL_VIDEODRIVER", "dummy", 0);
        ::setenv("SDL_AUDIODRIVER", "disk", 1);
        ::setenv("SDL_DISKAUDIOFILE", DiskAudioFile().c_str(), 1);
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(PlayerLibraries)) << GlobalLoader.LastErrMsg();
    }
    static void TearDownTestSuite() { std::remove(DiskAudioFile().c_str()); }

    void Open(const std::string& AFixture) {
        ASSERT_TRUE(Player.Open(FixturePath(AFixture))) << Player.LastError();
        ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psPlay) > 0; }));
    }
    // Waits until the disk driver has written ASeconds more sound.
    bool WaitForAudio(double ASeconds, int ARate = 44100, int AChannels = 2) {
        const int64_t target =
            std::max<int64_t>(FileSize(DiskAudioFile()), 0) + int64_t(ASeconds * ARate) * 2 * AChannels;
        return PollUntil([&] { return FileSize(DiskAudioFile()) >= target; });
    }
    void StopAndWait() {
        Player.Stop(true);
        EXPECT_FALSE(Player.Active());
    }

    TRecorder Rec; // first: outlives the player, whose threads report into it
    TFFPlayer Player;

    void SetUp() override { Rec.Attach(Player); }
};

TEST_F(PlayerTest, PlaysToTheEndWithRisingPositions) {
    Open("mp4_h264_aac.mp4");
    {
        std::lock_guard lock(Rec.Lock);
        EXPECT_EQ(Rec.Duration, 2000000);
        EXPECT_EQ(Rec.FrameWidth, 320);
        EXPECT_EQ(Rec.FrameHeight, 240);
    }
    // The end is seen once the packets are used up; the last pictures follow it.
    ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psEnd) > 0 && Rec.LastPosition() == 2000000; }));
    EXPECT_TRUE(Player.Active()) << "the file stays open at its end";
    Player.Stop(false);
    ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psStop) > 0; }));
    EXPECT_EQ(Rec.Changes(), (std::vector<TPlayState>{psPlay, psEnd, psStop}));
    std::lock_guard lock(Rec.Lock);
    ASSERT_GE(Rec.Positions.size(), 20u);
    // Reports are more than 10 ms apart, but for the end, which is always reported. Between
    // pictures the clock runs on with the wall clock, so a picture that comes late may take
    // it back a little.
    for (size_t i = 1; i < Rec.Positions.size(); ++i) {
        const int64_t step = Rec.Positions[i] - Rec.Positions[i - 1];
        if (Rec.Positions[i] != 2000000) {
            EXPECT_GT(std::llabs(step), 10000) << "report " << i;
        }
        EXPECT_GT(step, -100000) << "report " << i;
    }
    EXPECT_LT(Rec.Positions.front(), 100000);
    EXPECT_EQ(Rec.Positions.back(), 2000000) << "the end is reported as the duration";
}

TEST_F(PlayerTest, OpenWhilePlayingStopsTheFirstFile) {
    Open("mp4_h264_aac.mp4");
    ASSERT_TRUE(Player.Open(FixturePath("mp4_no_audio.mp4"))) << Player.LastError();
    ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psPlay) == 2; }));
    EXPECT_EQ(Rec.Changes(), (std::vector<TPlayState>{psPlay, psStop, psPlay}));
    {
        std::lock_guard lock(Rec.Lock);
        EXPECT_EQ(Rec.FileOpens, 2);
        EXPECT_EQ(Rec.FrameWidth, 160);
    }
    StopAndWait();
}

TEST_F(PlayerTest, PauseHoldsPositionAndSoundResumeGoesOn) {
    Open("mp4_h264_aac.mp4");
    ASSERT_TRUE(WaitUntil([&] { return Rec.LastPosition() > 300000; }));
    Player.Pause();
    Player.Pause(); // already paused: nothing
    EXPECT_EQ(Rec.Count(psPause), 1u);
    // Whatever was already handed to the device, then silence only.
    ASSERT_TRUE(WaitForAudio(0.1));
    const int64_t held = Player.CurrentPosition();
    const int64_t quietFrom = FileSize(DiskAudioFile()) / 2;
    ASSERT_TRUE(WaitForAudio(0.3));
    const auto samples = ReadSamples(DiskAudioFile());
    EXPECT_EQ(Rms(samples, size_t(quietFrom), samples.size()), 0.0);
    EXPECT_NEAR(double(Player.CurrentPosition()), double(held), 10000.0);
    const size_t reports = Rec.Positions.size();

    Player.Resume();
    Player.Resume(); // playing: nothing
    EXPECT_EQ(Rec.Count(psResume), 1u);
    ASSERT_TRUE(WaitUntil([&] { return Rec.LastPosition() > held + 200000; }));
    std::lock_guard lock(Rec.Lock);
    // Going on from where it stood, not from where the wall clock went meanwhile.
    EXPECT_LT(Rec.Positions[reports], held + 100000);
    Player.Stop(true);
}

TEST_F(PlayerTest, TogglePauseReportsBothWays) {
    Open("mp4_no_audio.mp4");
    Player.TogglePause();
    Player.TogglePause();
    EXPECT_EQ(Rec.Changes(), (std::vector<TPlayState>{psPlay, psPause, psResume}));
    StopAndWait();
}

TEST_F(PlayerTest, SeekLandsNearTheTargetAndBeyondTheEndAtTheEnd) {
    Open("av_sync.mp4"); // 4 s, a key frame every second
    ASSERT_TRUE(WaitUntil([&] { return Rec.LastPosition() > 100000; }));
    Player.Seek(3000000);
    ASSERT_TRUE(WaitUntil([&] { return Rec.LastPosition() >= 2000000; }));
    EXPECT_LT(std::llabs(Rec.LastPosition() - 3000000), 1000000);
    // Once the position is there, the picture from before the seek no longer counts as the
    // one on screen: no time until the first picture after the seek.
    const int64_t ahead = Player.PictureTime();
    EXPECT_TRUE(ahead == -1 || ahead >= 2000000) << ahead;

    Player.Seek(1000000); // backwards: reported at once
    ASSERT_TRUE(WaitUntil([&] {
        const int64_t p = Rec.LastPosition();
        return p >= 0 && p < 2000000;
    }));
    const int64_t back = Player.PictureTime();
    EXPECT_TRUE(back == -1 || back < 2000000) << back;
    // The position follows the seek at once, also where no picture is left to show: it does
    // not creep there from the old place.
    const size_t before = Rec.Positions.size();
    Player.Seek(60000000);
    ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psEnd) > 0 && Rec.LastPosition() == 4000000; }));
    EXPECT_LT(Rec.Positions.size() - before, 5u);
    StopAndWait();
}

TEST_F(PlayerTest, ASecondSeekRequestWhilePendingIsIgnored) {
    TPlayback playback;
    TPlayerEngine::RequestSeek(playback, 1000, sfAny);
    TPlayerEngine::RequestSeek(playback, 2000, sfBackward);
    EXPECT_TRUE(playback.SeekRequest);
    EXPECT_EQ(playback.SeekTarget, 1000);
    EXPECT_EQ(playback.SeekFlags, sfAny);
}

TEST_F(PlayerTest, SeekFlagsAreViewsOfOneField) {
    EXPECT_EQ(Player.SeekFlags(), sfAny);
    EXPECT_TRUE(Player.SeekToAny());
    Player.SetSeekBackware(true);
    Player.SetSeekToAny(false);
    Player.SetSeekByFrame(true);
    EXPECT_EQ(Player.SeekFlags(), sfBackward | sfFrame);
    EXPECT_FALSE(Player.SeekByByte());
    EXPECT_STREQ(Player.Version(), "1.3");
}

// Volume 128 is the fixture's tone as it is (0.5 of full scale), 64 about half of it, and
// mute or volume 0 silence.
TEST_F(PlayerTest, VolumeAndMuteScaleTheSound) {
    const double full = 0.5 * 32767 / std::sqrt(2.0);
    const struct {
        int32_t Volume;
        bool Mute;
        double Expected;
    } cases[] = {{128, false, full}, {64, false, full / 2}, {128, true, 0}, {0, false, 0}};
    Player.SetDisableVideo(true);
    for (const auto& c : cases) {
        SCOPED_TRACE("volume " + std::to_string(c.Volume) + (c.Mute ? " muted" : ""));
        Player.SetAudioVolume(c.Volume);
        Player.SetMute(c.Mute);
        ASSERT_TRUE(Player.Open(FixturePath("mp4_h264_aac.mp4"))) << Player.LastError();
        // Past the start (silence until the first packets), then half a second of tone.
        ASSERT_TRUE(WaitUntil([&] { return Player.CurrentPosition() > 200000; }));
        const size_t from = size_t(FileSize(DiskAudioFile()) / 2);
        ASSERT_TRUE(WaitForAudio(0.5));
        Player.Stop(true);
        const auto samples = ReadSamples(DiskAudioFile());
        const double rms = Rms(samples, from, from + 44100);
        if (c.Expected == 0)
            EXPECT_EQ(rms, 0.0);
        else
            EXPECT_NEAR(rms, c.Expected, c.Expected * 0.05);
    }
}

TEST_F(PlayerTest, AudioOnlyFileShowsNoPictureAndPlays) {
    Open("audio_only.mp3");
    {
        std::lock_guard lock(Rec.Lock);
        EXPECT_EQ(Rec.FrameWidth, -1);
        EXPECT_EQ(Rec.FrameHeight, -1);
        EXPECT_GT(Rec.Duration, 2900000);
    }
    ASSERT_TRUE(WaitUntil([&] { return Rec.LastPosition() > 500000; }));
    const size_t from = size_t(FileSize(DiskAudioFile()) / 2);
    ASSERT_TRUE(WaitForAudio(0.2));
    const auto samples = ReadSamples(DiskAudioFile());
    EXPECT_GT(Rms(samples, from, samples.size()), 5000.0);
    StopAndWait();
}

TEST_F(PlayerTest, VideoOnlyFilePlaysToTheEnd) {
    Open("mp4_no_audio.mp4");
    ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psEnd) > 0 && Rec.LastPosition() == 2000000; }));
    StopAndWait();
    EXPECT_EQ(Rec.Changes(), (std::vector<TPlayState>{psPlay, psEnd, psStop}));
}

// A handler that swaps in a bitmap of another size: its rows cannot go back into the
// picture, which plays on unhooked, and so do the file's later pictures.
TEST_F(PlayerTest, AHookThatResizesTheBitmapStopsHooking) {
    std::atomic<int> calls{0}, width{0}, height{0};
    Player.SetHook(true);
    Player.OnHook = [&](TCustomPlayer&, TBitmap& ABitmap, int64_t) {
        if (calls++ == 0) {
            width = ABitmap.Width();
            height = ABitmap.Height();
        }
        ABitmap = TBitmap();
        ABitmap.SetSize(8, 8);
    };
    Open("mp4_no_audio.mp4");
    ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psEnd) > 0 && Rec.LastPosition() == 2000000; }));
    StopAndWait();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 120);
}

TEST_F(PlayerTest, FailuresKeepTheirMessages) {
    const std::string clip = FixturePath("mp4_h264_aac.mp4");
    Player.SetDisableAudio(true);
    Player.SetDisableVideo(true);
    EXPECT_FALSE(Player.Open(clip));
    EXPECT_EQ(Player.LastError(), clip + ": could not open codecs, no stream to play.");
    EXPECT_FALSE(Player.Active());

    Player.SetDisableAudio(false);
    Player.SetDisableVideo(false);
    EXPECT_FALSE(Player.Open("/nonexistent/clip.mp4"));
    EXPECT_EQ(Player.LastError(), "/nonexistent/clip.mp4: no such file or directory");

    // A failed open leaves SDL ready for the next one.
    Open("mp4_no_audio.mp4");
    StopAndWait();

    GlobalLoader.UnloadLibraries({lkSDL});
    EXPECT_FALSE(Player.Open(clip));
    EXPECT_EQ(Player.LastError(), "libav or libsdl not loaded.");
    ASSERT_TRUE(GlobalLoader.LoadLibraries(PlayerLibraries));
    EXPECT_EQ(Rec.Count(psPlay), 1u);
}

TEST_F(PlayerTest, OnlyOnePlayerPlaysAtATime) {
    Open("mp4_no_audio.mp4");
    TFFPlayer second;
    EXPECT_FALSE(second.Open(FixturePath("mp4_no_audio.mp4")));
    EXPECT_EQ(second.LastError(), "Another player is playing.");
    EXPECT_TRUE(Player.Active());
    StopAndWait();
}

// Stop(true) from every state ends the playback with its psStop, and nothing keeps running:
// the next open starts cleanly (ThreadSanitizer watches these cycles too).
TEST_F(PlayerTest, StopFromEveryStateEndsThePlayback) {
    const std::function<void()> states[] = {
        [] {},
        [&] { Player.Pause(); },
        [&] {
            Player.Seek(1500000);
            Player.Pause();
        },
        [&] { Player.Seek(60000000); },
    };
    for (size_t i = 0; i < std::size(states); ++i) {
        SCOPED_TRACE("state " + std::to_string(i));
        const size_t stops = Rec.Count(psStop);
        ASSERT_TRUE(Player.Open(FixturePath("mp4_h264_aac.mp4"))) << Player.LastError();
        ASSERT_TRUE(WaitUntil([&] { return Rec.LastPosition() > 0; }));
        states[i]();
        Player.Stop(true);
        EXPECT_FALSE(Player.Active());
        EXPECT_EQ(Rec.Count(psStop), stops + 1);
        std::lock_guard lock(Rec.Lock);
        Rec.Positions.clear();
    }
}

// The flash frames of the fixture, seen through the hook, against the clicks in the sound
// the disk driver wrote: each flash is shown while the sound around its own click is going
// out, not a second early or late. The driver takes the sound in real time; how many frames
// it had taken when a flash came up says where the sound was then. How close the two are in
// milliseconds is a figure of bench-player-sync, not of a test on a shared machine.
TEST_F(PlayerTest, FlashAndClickStayTogether) {
    std::mutex lock;
    std::vector<int64_t> flashes;      // hook times of the white pictures
    std::vector<double> writtenAtShow; // stereo frames of sound taken when a flash was shown
    Player.SetHook(true);
    Player.OnHook = [&](TCustomPlayer&, TBitmap& ABitmap, int64_t APTS) {
        const uint8_t* row = ABitmap.ScanLine(ABitmap.Height() / 2);
        if (row[3 * (ABitmap.Width() / 2)] > 200) {
            std::lock_guard guard(lock);
            flashes.push_back(APTS);
        }
    };
    Player.OnPosition = [&](TCustomPlayer&, int64_t APTS) {
        const double written = double(FileSize(DiskAudioFile())) / 4;
        std::lock_guard guard(lock);
        for (int64_t f : flashes)
            if (std::llabs(APTS - f) < 5000)
                writtenAtShow.push_back(written);
    };
    Open("av_sync.mp4");
    ASSERT_TRUE(WaitUntil([&] { return Rec.Count(psEnd) > 0; }));
    StopAndWait();

    const auto samples = ReadSamples(DiskAudioFile());
    std::vector<double> clicks; // stereo frame of each click's onset
    for (size_t i = 0; i + 1 < samples.size(); i += 2)
        if (std::abs(samples[i]) > 8000 && (clicks.empty() || i / 2 > clicks.back() + 22050))
            clicks.push_back(double(i / 2));
    std::lock_guard guard(lock);
    EXPECT_EQ(flashes.size(), 4u);
    ASSERT_EQ(clicks.size(), 4u);
    ASSERT_GE(writtenAtShow.size(), 3u) << "the first flash may come before the first report";
    // The latest flashes against the latest clicks; half a second either way is the next
    // flash's or the last one's sound, which a player out of step would be playing.
    for (size_t k = writtenAtShow.size(), c = clicks.size(); k-- > 0 && c-- > 0;)
        EXPECT_LT(std::fabs(writtenAtShow[k] - clicks[c]), 0.5 * 44100)
            << "flash " << c << " shown with the sound at frame " << writtenAtShow[k] << ", its click at " << clicks[c];
}

TEST_F(PlayerTest, CommandLinePlaysAFile) {
    const std::string cli = test::BinDir() + "/quillmoor-cli play ";
    const auto ok = test::RunCommand(cli + test::ShellQuote(FixturePath("mp4_no_audio.mp4")) +
                                     " --seek 1 --volume 64");
    EXPECT_EQ(ok.ExitCode, 0) << ok.Output;
    EXPECT_NE(ok.Output.find("opened: duration 2.000 s, picture 160x120\nstate: play\n"),
              std::string::npos)
        << ok.Output;
    EXPECT_NE(ok.Output.find("state: end\nstate: stop\n"), std::string::npos) << ok.Output;

    const auto bad = test::RunCommand(cli + "/nonexistent.mp4");
    EXPECT_EQ(bad.ExitCode, 1);
    EXPECT_NE(bad.Output.find("/nonexistent.mp4: no such file or directory"), std::string::npos)
        << bad.Output;
    EXPECT_EQ(test::RunCommand(cli + "x.mp4 --volume 200").ExitCode, 1);
}

} // namespace
