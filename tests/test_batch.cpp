// The DVD batch's pieces without running a batch: presets, picture layout, progress shares,
// the space estimate, the option records of a file, the input list's add rules and the
// settings store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "Converter/FFmpegConverter.h"
#include "Converter/TaskOptions.h"
#include "Core/BatchEta.h"
#include "Core/AppSettings.h"
#include "Core/DurationCheck.h"
#include "Core/DvdBatch.h"
#include "Core/FileProblems.h"
#include "Core/InputList.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "Probe/AVProbe.h"
#include "TestUtils.h"

using namespace qm;

TEST(DvdPresets, ItemTextsNamesAndLookup) {
    const auto& p = DvdPresets();
    EXPECT_STREQ(p[0].ItemText,
                 "DVD NTSC High Quality  (MPEG2,  9Mbit,  29.97fps,  720x480,  Audio-256Kbit)");
    EXPECT_STREQ(p[3].ItemText,
                 "DVD NTSC Long Play  (MPEG2,  2.15Mbit,  29.97fps,  352x240,  Audio-128Kbit)");
    EXPECT_STREQ(p[7].ItemText,
                 "DVD PAL Long Play  (MPEG2,  2.15Mbit,  25fps,  352x288,  Audio-128Kbit)");
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_EQ(p[i].NormType, i < 4 ? 2 : 1);
        EXPECT_EQ(p[i].DefaultNorm, 1);
        EXPECT_EQ(p[i].AudioSampleRate, 48000);
        EXPECT_EQ(std::to_string(p[i].Width) + "x" + std::to_string(p[i].Height), p[i].FrameSize);
        EXPECT_EQ(FindDvdPreset(std::to_string(i)), int(i));
        EXPECT_EQ(FindDvdPreset(p[i].ShortName), int(i));
    }
    EXPECT_EQ(FindDvdPreset("PAL-HQ"), 4);
    EXPECT_EQ(FindDvdPreset("8"), -1);
    EXPECT_EQ(FindDvdPreset("pal"), -1);
    EXPECT_EQ(FindDvdPreset(""), -1);
    EXPECT_EQ(DefaultPresetIndex, 4);
}

TEST(DvdBatchLayout, PicturesKeepTheirShapeInsideTheDiscFrame) {
    const double wide = 16.0 / 9, standard = 4.0 / 3;
    struct TCase {
        double Source;
        int W, H;
        double Disc;
        TPictureLayout Expected;
    } cases[] = {
        {wide, 720, 576, wide, {720, 576, 0, 0, 0, 0}},          // same shape: the whole frame
        {1.78, 720, 480, wide, {720, 480, 0, 0, 0, 0}},          // near enough
        {standard, 720, 576, wide, {540, 576, 0, 0, 90, 90}},    // pillarbox
        {wide, 720, 576, standard, {720, 432, 72, 72, 0, 0}},    // letterbox
        {2.35, 720, 480, wide, {720, 364, 58, 58, 0, 0}},        // cinema on 16:9
        {480.0 / 854, 352, 288, standard, {148, 288, 0, 0, 102, 102}}, // portrait
        {0, 720, 576, wide, {720, 576, 0, 0, 0, 0}},             // unknown: fill
    };
    for (const auto& c : cases) {
        const TPictureLayout l = FitPicture(c.Source, c.W, c.H, c.Disc);
        SCOPED_TRACE(testing::Message() << c.Source << " in " << c.W << "x" << c.H);
        EXPECT_EQ(l.Width, c.Expected.Width);
        EXPECT_EQ(l.Height, c.Expected.Height);
        EXPECT_EQ(l.PadTop, c.Expected.PadTop);
        EXPECT_EQ(l.PadBottom, c.Expected.PadBottom);
        EXPECT_EQ(l.PadLeft, c.Expected.PadLeft);
        EXPECT_EQ(l.PadRight, c.Expected.PadRight);
        EXPECT_EQ(l.Width + l.PadLeft + l.PadRight, c.W);
        EXPECT_EQ(l.Height + l.PadTop + l.PadBottom, c.H);
        for (int v : {l.Width, l.Height, l.PadTop, l.PadBottom, l.PadLeft, l.PadRight})
            EXPECT_EQ(v % 2, 0);
    }
}

TEST(DvdBatchLayout, DiscAspectIsWideUnlessEveryPictureIsNarrow) {
    auto item = [](int w, int h, double aspect) {
        rInputStreamInfo r;
        r.Width = w;
        r.Height = h;
        r.DisplayAspect = aspect;
        return r;
    };
    const TDvdPreset& hq = DvdPresets()[4];
    const TDvdPreset& lp = DvdPresets()[7];
    EXPECT_DOUBLE_EQ(ChooseDiscAspect({item(320, 240, 4.0 / 3)}, hq), 4.0 / 3);
    EXPECT_DOUBLE_EQ(ChooseDiscAspect({item(320, 240, 4.0 / 3), item(1280, 720, 16.0 / 9)}, hq),
                     16.0 / 9);
    EXPECT_DOUBLE_EQ(ChooseDiscAspect({item(480, 854, 0.56), item(0, 0, 0)}, hq), 4.0 / 3);
    EXPECT_DOUBLE_EQ(ChooseDiscAspect({item(1280, 720, 16.0 / 9)}, lp), 4.0 / 3);
}

TEST(DvdBatchProgress, SharesAreFractionalAndReachTheirEnd) {
    // Four files, the third half done: 50 %.
    EXPECT_DOUBLE_EQ(SharePercent(SequentialShare(2, 4), 500, 1000), 50);
    // Three files end the conversion phase at 80, not at 81.
    EXPECT_DOUBLE_EQ(SharePercent(SequentialShare(2, 3), 1000, 1000), 80);
    // 200 files still move the bar.
    EXPECT_DOUBLE_EQ(SharePercent(SequentialShare(0, 200), 1000, 1000), 0.4);
    EXPECT_DOUBLE_EQ(SharePercent(SequentialShare(199, 200), 1000, 1000), 80);
    // No known length, or a report past the end.
    EXPECT_DOUBLE_EQ(SharePercent(SequentialShare(1, 2), 700, -1), 40);
    EXPECT_DOUBLE_EQ(SharePercent(SequentialShare(1, 2), 1500, 1000), 80);
    // Side by side, a share by length: a quarter of the bar, half done.
    EXPECT_DOUBLE_EQ(SharePercent({0, 20}, 500, 1000), 10);
}

// The time left from the bar's pace while working: pauses do not count, and the authoring's
// fifth of the bar weighs what it costs (a twentieth of the converting time until measured).
TEST(DvdBatchEta, PausesDoNotCountAndTheAuthoringWeighsItsCost) {
    using TClock = TBatchEta::TClock;
    const TClock::time_point t0{};
    const auto at = [&](double ASeconds) { return t0 + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(ASeconds)); };
    TBatchEta eta;
    eta.Start(t0);
    EXPECT_LT(eta.Report(0, false, at(5)), 0) << "nothing done yet";
    EXPECT_LT(eta.Report(5, false, at(0.5)), 0) << "too soon to say";
    // Half the conversions in 10 s: 10 s more, then about 1 s of authoring.
    EXPECT_DOUBLE_EQ(eta.Report(40, false, at(10)), 11);

    // A pause of 100 s between 20 % and 40 %: the same figures as without it.
    eta.Start(t0);
    eta.Report(20, false, at(5));
    eta.Pause(at(5));
    EXPECT_DOUBLE_EQ(eta.SecondsLeft(at(60)), eta.SecondsLeft(at(5))) << "still while paused";
    eta.Resume(at(105));
    EXPECT_DOUBLE_EQ(eta.Report(40, false, at(110)), 11);

    // The authoring: first the estimate, then its own pace.
    eta.Report(80, false, at(120));
    EXPECT_DOUBLE_EQ(eta.Report(80, true, at(120)), 1);
    EXPECT_DOUBLE_EQ(eta.SecondsLeft(at(120.5)), 0.5);
    EXPECT_DOUBLE_EQ(eta.Report(90, true, at(122)), 2);
    EXPECT_DOUBLE_EQ(eta.Report(100, true, at(124)), 0);

    const struct {
        double Seconds;
        const char* Text;
    } texts[] = {{-1, ""}, {0, "0:00"}, {59.6, "1:00"}, {83, "1:23"}, {3725, "1:02:05"}};
    for (const auto& t : texts)
        EXPECT_EQ(EtaText(t.Seconds), t.Text) << t.Seconds;
}

TEST(DvdBatchSpace, EstimateCountsTheTrimmedLengthTwice) {
    rInputStreamInfo a, b, unknown;
    a.DurationUs = 60'000'000;
    b.DurationUs = 100'000'000;
    b.TrimStart = 20'000;
    b.TrimLength = 30'000;
    const TDvdPreset& hq = DvdPresets()[4]; // 9 Mbit/s + 256 kbit/s
    const double perSecond = (9'000'000 + 256'000) / 8.0;
    EXPECT_EQ(a.ConvertedLengthMs(), 60'000);
    EXPECT_EQ(b.ConvertedLengthMs(), 30'000);
    EXPECT_EQ(unknown.ConvertedLengthMs(), -1);
    EXPECT_NEAR(double(EstimateBatchBytes({a, b, unknown}, hq)), 2 * 90 * perSecond, 1);
    b.TrimLength = 0; // to the end: 80 s
    EXPECT_EQ(b.ConvertedLengthMs(), 80'000);

    // A header's length is believed only as far as the file's size can hold it.
    struct TCase {
        const char* Name;
        int64_t DurationUs, FileSize;
        bool Plausible;
        int64_t LengthMs;
    } cases[] = {
        {"49 days in 100 kB: 200 s at 4 kbit/s", int64_t(4'233'600) * 1'000'000, 100'000, false, 200'000},
        {"a minute in 100 kB", 60'000'000, 100'000, true, 60'000},
        {"size unknown", int64_t(4'233'600) * 1'000'000, -1, true, 4'233'600'000},
        {"duration unknown", -1, 100'000, true, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        rInputStreamInfo item;
        item.DurationUs = c.DurationUs;
        item.FileSize = c.FileSize;
        EXPECT_EQ(DurationPlausible(item), c.Plausible);
        EXPECT_EQ(PlausibleConvertedLengthMs(item), c.LengthMs);
        if (c.LengthMs > 0) {
            EXPECT_NEAR(double(EstimateBatchBytes({item}, hq)), 2 * perSecond * double(c.LengthMs) / 1000, 1);
        }
    }
}

TEST(DvdBatchRecords, TheDvdRecordOfAFile) {
    TDvdBatch batch("/nonexistent/");
    rInputStreamInfo item;
    item.FileName = "/videos/a.avi";
    item.Width = 320;
    item.Height = 240;
    item.DisplayAspect = 4.0 / 3;
    item.TrimLength = 60000;
    item.Comment = "note";
    TOutputOptions o;
    batch.FillOptions(item, 4.0 / 3, o);
    EXPECT_EQ(o.TargetType, 3);
    EXPECT_EQ(o.NormType, 1);
    EXPECT_EQ(o.DefaultNorm, 1);
    EXPECT_EQ(o.VideoCodec, "mpeg2video");
    EXPECT_EQ(o.AudioCodec, "mp2");
    EXPECT_EQ(o.AudioChannels, 2);
    EXPECT_TRUE(o.NoSubtitle);
    EXPECT_EQ(o.VideoBitrate, 9000000);
    EXPECT_EQ(o.FrameRate, "25");
    EXPECT_EQ(o.FrameSize, "720x576");
    EXPECT_EQ(o.FrameAspectRatio, "4:3");
    EXPECT_EQ(o.AudioSampleRate, 48000);
    EXPECT_EQ(o.AudioBitrate, 256000);
    EXPECT_EQ(o.FileExt, ".mpg");
    EXPECT_EQ(o.DurationMs, 60000);
    EXPECT_EQ(o.Info.Comment, "note");
    EXPECT_EQ(o.AudioSync, 1);
    EXPECT_EQ(o.PadLeft, -1);

    batch.PresetIndex = 3; // NTSC long play, a 4:3 picture on a wide disc
    batch.FillOptions(item, 16.0 / 9, o);
    EXPECT_EQ(o.NormType, 2);
    EXPECT_EQ(o.FrameRate, "29.97");
    EXPECT_EQ(o.FrameSize, "264x240");
    EXPECT_EQ(o.PadLeft, 44);
    EXPECT_EQ(o.PadRight, 44);
    EXPECT_EQ(o.FrameAspectRatio, "16:9");
    EXPECT_EQ(o.VideoBitrate, 2150000);
    EXPECT_EQ(o.AudioBitrate, 128000);
    // NTSC players need not play MP2.
    EXPECT_EQ(o.AudioCodec, "ac3");
}

TEST(DvdBatchChecks, RefusedBeforeAnyConversion) {
    TMainThread::Install();
    test::TTempDir dir;
    TDvdBatch batch("/nonexistent/");
    std::vector<rInputStreamInfo> one(1);
    one[0].FileName = dir / "a.avi";
    one[0].Width = 320;
    one[0].Height = 240;
    one[0].DurationUs = 1'000'000;
    std::ofstream(dir / "file") << "x";
    std::filesystem::create_directories(dir.Path() / "disc" / "VIDEO_TS");

    struct TCase {
        std::string OutPath;
        size_t Files;
        int Preset;
        std::string Starts;
    } cases[] = {
        {dir / "out", 0, 4, "There are no files to convert."},
        {dir / "out", 100, 4, "A DVD holds at most 99 titles, and the list has 100 files."},
        {"", 1, 4, "No output folder is set."},
        {dir / "file/sub", 1, 4, "Cannot create the output folder " + dir / "file/sub/"},
        {dir / "disc", 1, 4, "The output folder " + dir / "disc/" + " already holds a DVD"},
        {dir / "out", 1, 8, "There is no preset 8."},
    };
    for (const auto& c : cases) {
        batch.OutPath = c.OutPath;
        batch.PresetIndex = c.Preset;
        std::vector<rInputStreamInfo> items(c.Files, one[0]);
        std::vector<TBatchUiState> states;
        batch.OnUiState = [&](TBatchUiState s) { states.push_back(s); };
        const TBatchResult r = batch.Convert(items);
        EXPECT_EQ(r.Error.rfind(c.Starts, 0), 0u) << r.Error;
        EXPECT_FALSE(r.Authored);
        EXPECT_TRUE(states.empty()) << "nothing started";
    }
    // A day of 9 Mbit/s video does not fit a small disk; the check names both amounts. (On
    // a disc without a size limit: a DVD would refuse it before.)
    one[0].DurationUs = int64_t(1) << 50;
    batch.OutPath = dir / "out";
    batch.PresetIndex = 4;
    batch.Disc.DiscBytes = 0;
    const TBatchResult r = batch.Convert(one);
    EXPECT_EQ(r.Error.rfind("Not enough free space in " + dir / "out/", 0), 0u) << r.Error;
    EXPECT_NE(r.Error.find("It is all for " + dir / "a.avi."), std::string::npos) << r.Error;
    // Nothing of the batch's own is left behind.
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path() / "out"));
}

namespace {

class InputListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    }
    TAVProbe Probe;
};

} // namespace

TEST_F(InputListTest, DuplicatesAreSkippedAndUnreadableFilesCollected) {
    test::TTempDir dir;
    const std::string good = fixtures::FixturePath("mp4_h264_aac.mp4");
    const std::string copy = dir / "Clip.MP4";
    std::filesystem::copy_file(good, copy);
    const std::string text = dir / "notes.txt", missing = dir / "missing.avi";
    std::ofstream(text) << "not a video";

    TInputList list;
    EXPECT_EQ(list.Add({copy}, Probe), "");
    std::vector<std::string> skipped;
    EXPECT_EQ(list.Add({dir / "clip.mp4", copy}, Probe, &skipped), "") << "the same name in another case";
    ASSERT_EQ(list.Items().size(), 1u);
    EXPECT_EQ(skipped, (std::vector<std::string>{dir / "clip.mp4", copy}));
    EXPECT_EQ(list.Find(dir / "CLIP.mp4"), &list.Items()[0]) << "found as it is skipped";
    EXPECT_EQ(list.Find(dir / "other.mp4"), nullptr);

    const std::string message = list.Add({text, good, missing}, Probe);
    EXPECT_EQ(message, "\n" + text + ": it is not a valid video file or its format is not supported (Unknown format)\n" +
                           missing + ": it does not exist\n\n" + UnreadableFileSentence);
    ASSERT_EQ(list.Items().size(), 2u);

    const rInputStreamInfo& r = list.Items()[1];
    EXPECT_EQ(r.FileName, good);
    EXPECT_EQ(r.TrimStart, 0);
    EXPECT_EQ(r.TrimLength, 0);
    EXPECT_FALSE(r.Comment.empty());
    EXPECT_EQ(r.DurationText, "00:00:02");
    EXPECT_EQ(r.SizeText.substr(r.SizeText.size() - 3), " MB");
    EXPECT_EQ(r.Width, 320);
    EXPECT_EQ(r.Height, 240);
    EXPECT_NEAR(r.DisplayAspect, 4.0 / 3, 1e-9);
    EXPECT_TRUE(r.HasAudio);
    EXPECT_EQ(Probe.FormatContext(), nullptr) << "the probe is closed again";
}

// Each file that cannot be added is named with what is wrong with it.
TEST_F(InputListTest, TheMessageSaysWhyEachFileCannotBeRead) {
    test::TTempDir dir;
    namespace fs = std::filesystem;
    fs::create_directory(dir / "folder.mp4");
    fs::create_symlink(dir / "gone.mp4", dir / "dangling.mp4");
    fs::create_symlink(dir / "loop-b.mp4", dir / "loop-a.mp4");
    fs::create_symlink(dir / "loop-a.mp4", dir / "loop-b.mp4");
    std::ofstream(dir / "locked.mp4") << "x";
    fs::permissions(dir / "locked.mp4", fs::perms::none);
    const struct {
        std::string Name;
        const char* Reason;
    } cases[] = {
        {dir / "missing.mp4", "it does not exist"},
        {dir / "folder.mp4", "it is a folder, not a file that can be converted"},
        {dir / "dangling.mp4", "it is a link to a file that does not exist"},
        {dir / "loop-a.mp4", "it is a link that leads round in a circle"},
        {"/dev/null", "it is a device, not a file that can be converted"},
        {dir / "locked.mp4", ::geteuid() == 0 ? nullptr : "you have no permission to read it; ask its owner, or copy it somewhere you may read"},
    };
    for (const auto& c : cases) {
        if (!c.Reason)
            continue; // root reads anything
        TInputList list;
        EXPECT_EQ(list.Add({c.Name}, Probe), "\n" + c.Name + ": " + c.Reason + "\n\n" + UnreadableFileSentence);
    }
}

TEST(FileProblems, AFolderThatCannotBeCreatedSaysWhy) {
    test::TTempDir dir;
    std::ofstream(dir / "file") << "x";
    EXPECT_EQ(CreateFolderProblem(dir / "file/sub/disc/"), "Not a directory (in " + dir / "file" + ")");
    EXPECT_EQ(CreateFolderProblem(dir / "file"), dir / "file" + " is a file, not a folder");
    EXPECT_EQ(CreateFolderProblem(dir / "new/disc"), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "new"));
}

TEST_F(InputListTest, ShapeOfAnamorphicAndAudioOnlyFiles) {
    TInputList list;
    EXPECT_EQ(list.Add({fixtures::FixturePath("anamorphic_16x9.mpg"),
                        fixtures::FixturePath("audio_only.mp3")},
                       Probe),
              "");
    ASSERT_EQ(list.Items().size(), 2u);
    EXPECT_NEAR(list.Items()[0].DisplayAspect, 16.0 / 9, 0.01);
    EXPECT_FALSE(list.Items()[1].HasVideo());
    EXPECT_TRUE(list.Items()[1].HasAudio);
}

TEST(AppSettingsStore, DefaultsReadRulesAndRoundTrip) {
    test::TTempDir dir;
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    ::setenv("HOME", dir.Path().c_str(), 1);

    // First run: the desktop (or home) folder + the product's folder, both switches on.
    TAppSettings s = LoadSettings();
    EXPECT_EQ(s.OutPath, DefaultOutPath());
    EXPECT_EQ(s.OutPath.rfind(dir.Path().string() + "/", 0), 0u) << s.OutPath;
    EXPECT_EQ(s.OutPath.substr(s.OutPath.size() - 20), "/Tarnwick Quillmoor/");
    EXPECT_TRUE(s.OpenFolder);
    EXPECT_TRUE(s.MusicPlay);

    s.OutPath = "/discs/mine/";
    s.OpenFolder = false;
    SaveSettings(s);
    const std::string file = dir / "config/Tarnwick/Tarnwick Quillmoor.conf";
    ASSERT_TRUE(std::filesystem::exists(file));
    TAppSettings back = LoadSettings();
    EXPECT_EQ(back.OutPath, "/discs/mine/");
    EXPECT_FALSE(back.OpenFolder);
    EXPECT_TRUE(back.MusicPlay);

    // Only "0" switches off; "no" reads as on.
    std::ofstream(file) << "[Configuration]\nOutPath=\nOpenFolder=no\nMusicPlay=0\n";
    back = LoadSettings();
    EXPECT_EQ(back.OutPath, DefaultOutPath());
    EXPECT_TRUE(back.OpenFolder);
    EXPECT_FALSE(back.MusicPlay);

    // No home (cron, a service): the current folder, never /Desktop at the root.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    for (const char* home : std::initializer_list<const char*>{"", "/", nullptr}) {
        SCOPED_TRACE(home ? home : "unset");
        if (home)
            ::setenv("HOME", home, 1);
        else
            ::unsetenv("HOME");
        EXPECT_FALSE(HasHomeFolder());
        EXPECT_EQ(DefaultOutPath(), std::filesystem::canonical(dir.Path()).string() + "/Tarnwick Quillmoor/");
    }
    std::filesystem::current_path(cwd);
    ::setenv("HOME", dir.Path().c_str(), 1);
}

namespace {

class DvdBatchRun : public InputListTest {
protected:
    void SetUp() override {
        InputListTest::SetUp();
        TMainThread::Install();
        ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
        Batch.OutPath = Dir / "out";
        Batch.PresetIndex = 7;
        Batch.OnUiState = [this](TBatchUiState s) { States.push_back(s); };
        Batch.OnProgress = [this](const TBatchProgress& p) { Percents.push_back(p.Percent); };
        ASSERT_EQ(List.Add({fixtures::FixturePath("mp4_h264_aac.mp4"),
                            fixtures::FixturePath("avi_mpeg4_mp3.avi"),
                            fixtures::FixturePath("flv_flv1_mp3.flv")},
                           Probe),
                  "");
    }
    test::TTempDir Dir;
    TDvdBatch Batch{test::BinDir() + "/"};
    TInputList List;
    std::vector<TBatchUiState> States;
    std::vector<double> Percents;
};

} // namespace

TEST_F(DvdBatchRun, PauseAndResumeInsideTheWaitThenTheStatesOfAWholeBatch) {
    if (test::RunCommand("command -v dvdauthor").ExitCode != 0)
        GTEST_SKIP() << "dvdauthor is not installed (scripts/install-deps.sh installs it)";
    std::vector<std::string> captions;
    Batch.OnFileStart = [&](int AIndex, const rInputStreamInfo&) {
        captions.push_back(Batch.PauseCaption());
        if (AIndex != 1)
            return;
        // As the window's buttons do: handled inside the batch's wait.
        TMainThread::Queue([&] {
            Batch.Pause();
            captions.push_back(Batch.PauseCaption());
            TMainThread::Queue([&] {
                Batch.Resume();
                captions.push_back(Batch.PauseCaption());
            });
        });
    };
    const TBatchResult r = Batch.Convert(List.Items());
    ASSERT_TRUE(r.Authored) << r.Error;
    EXPECT_TRUE(r.Complete());
    EXPECT_EQ(captions, (std::vector<std::string>{"Pause", "Pause", "Resume", "Pause", "Pause"}));
    EXPECT_EQ(States, (std::vector<TBatchUiState>{bsConverting, bsConverting, bsConverting,
                                                  bsAuthoring, bsIdle}));
    ASSERT_FALSE(Percents.empty());
    EXPECT_TRUE(std::is_sorted(Percents.begin(), Percents.end()));
    EXPECT_DOUBLE_EQ(Percents.back(), 100);
    EXPECT_EQ(r.Files[2].Title, 3);
}

// A desktop toolkit switches the C library to the user's locale; in German it writes
// "29,97". The presets, the engine's options and the progress texts read the same there.
TEST_F(DvdBatchRun, UnderACommaDecimalLocaleAnNtscAndAPalPresetEachMakeADisc) {
    if (test::RunCommand("command -v dvdauthor").ExitCode != 0)
        GTEST_SKIP() << "dvdauthor is not installed (scripts/install-deps.sh installs it)";
    test::TScopedLocale locale(test::CommaLocale);
    ASSERT_TRUE(locale.Active()) << test::CommaLocale << " is not generated (scripts/install-deps.sh does it)";
    const std::vector<rInputStreamInfo> one(List.Items().begin(), List.Items().begin() + 1);
    for (int preset : {3, 7}) {
        SCOPED_TRACE(DvdPresets()[preset].ItemText);
        Batch.PresetIndex = preset;
        Batch.OutPath = Dir / ("out" + std::to_string(preset));
        std::vector<std::string> labels;
        Batch.OnProgress = [&](const TBatchProgress& p) { labels.push_back(p.Label); };
        const TBatchResult r = Batch.Convert(one);
        ASSERT_TRUE(r.Authored) << r.Error << (r.Files.empty() ? "" : " " + r.Files[0].Error);
        ASSERT_FALSE(labels.empty());
        for (const auto& l : labels)
            EXPECT_EQ(l.find(','), std::string::npos) << l;
        EXPECT_EQ(labels.back(), "Progress: 100.00%");
    }
}

TEST_F(DvdBatchRun, StopDuringTheSecondFileAuthorsNothingAndCleansUp) {
    Batch.OnFileStart = [&](int AIndex, const rInputStreamInfo&) {
        if (AIndex == 1)
            TMainThread::Queue([&] { Batch.Stop(); });
    };
    const TBatchResult r = Batch.Convert(List.Items());
    EXPECT_TRUE(r.Stopped);
    EXPECT_FALSE(r.Authored);
    EXPECT_EQ(r.Error, "");
    for (const auto& f : r.Files)
        EXPECT_EQ(f.Title, 0);
    EXPECT_EQ(States, (std::vector<TBatchUiState>{bsConverting, bsConverting, bsIdle, bsIdle}));
    EXPECT_TRUE(std::filesystem::is_empty(Dir.Path() / "out"));
    for (double p : Percents)
        EXPECT_LE(p, 80);
}

TEST_F(DvdBatchRun, TheDiscGoesInWithoutTouchingADiscThatAppearedOrTheUsersAudioFolder) {
    if (test::RunCommand("command -v dvdauthor").ExitCode != 0)
        GTEST_SKIP() << "dvdauthor is not installed (scripts/install-deps.sh installs it)";
    namespace fs = std::filesystem;
    const fs::path out = Dir.Path() / "out";
    const std::vector<rInputStreamInfo> one{List.Items()[0]};
    auto names = [&](const fs::path& AFolder) {
        std::vector<std::string> n;
        for (const auto& e : fs::directory_iterator(AFolder))
            n.push_back(e.path().filename().string());
        std::sort(n.begin(), n.end());
        return n;
    };
    fs::create_directories(out / "AUDIO_TS");
    std::ofstream(out / "AUDIO_TS" / "mine.txt") << "the user's";

    // Another batch on the same folder finishes its disc while this one converts.
    Batch.OnFileStart = [&](int, const rInputStreamInfo&) {
        fs::create_directories(out / "VIDEO_TS");
        std::ofstream(out / "VIDEO_TS" / "theirs.txt") << "the other batch's";
    };
    TBatchResult r = Batch.Convert(one);
    EXPECT_FALSE(r.Authored);
    EXPECT_EQ(r.Error.rfind("While the batch ran, a DVD (VIDEO_TS) appeared in the output folder " +
                                out.string() + "/",
                            0),
              0u)
        << r.Error;
    EXPECT_EQ(names(out), (std::vector<std::string>{"AUDIO_TS", "VIDEO_TS"}));
    EXPECT_EQ(names(out / "VIDEO_TS"), std::vector<std::string>{"theirs.txt"});
    EXPECT_EQ(names(out / "AUDIO_TS"), std::vector<std::string>{"mine.txt"});

    // Without that disc the new one goes in next to the user's AUDIO_TS (dvdauthor's is empty).
    Batch.OnFileStart = nullptr;
    fs::remove_all(out / "VIDEO_TS");
    r = Batch.Convert(one);
    ASSERT_TRUE(r.Authored) << r.Error;
    EXPECT_TRUE(fs::exists(out / "VIDEO_TS" / "VIDEO_TS.IFO"));
    EXPECT_EQ(names(out / "AUDIO_TS"), std::vector<std::string>{"mine.txt"});

    // Allowed to replace, the old disc goes as a whole, and nothing of the batch is left.
    std::ofstream(out / "VIDEO_TS" / "old.txt") << "old";
    Batch.Overwrite = true;
    r = Batch.Convert(one);
    ASSERT_TRUE(r.Authored) << r.Error;
    EXPECT_TRUE(fs::exists(out / "VIDEO_TS" / "VIDEO_TS.IFO"));
    EXPECT_FALSE(fs::exists(out / "VIDEO_TS" / "old.txt"));
    EXPECT_TRUE(fs::is_empty(out / "AUDIO_TS"));
    EXPECT_EQ(names(out), (std::vector<std::string>{"AUDIO_TS", "VIDEO_TS"}));
}

TEST_F(DvdBatchRun, AStopServedWhileTheNextFileIsPreparedConvertsNothingMore) {
    std::mutex lock;
    int ended = 0; // guarded by lock: tasks the converter reported terminated
    auto inner = Batch.Converter().OnTerminate;
    Batch.Converter().OnTerminate = [&, inner](int32_t AIndex, bool AFinished, bool AException,
                                               const std::string& AMessage) {
        if (AIndex >= 0) {
            std::lock_guard guard(lock);
            ++ended;
        }
        inner(AIndex, AFinished, AException, AMessage);
    };
    // Ctrl-C while the first file's end is shown: served as the second file's run is set up.
    Batch.OnFileEnd = [&](int AIndex, const TBatchFile&) {
        if (AIndex == 0)
            TMainThread::Queue([&] { Batch.Stop(); });
    };
    const TBatchResult r = Batch.Convert(List.Items());
    EXPECT_TRUE(r.Stopped);
    EXPECT_FALSE(r.Authored);
    std::lock_guard guard(lock);
    EXPECT_EQ(ended, 1) << "the second file was converted after the stop";
    EXPECT_TRUE(std::filesystem::is_empty(Dir.Path() / "out"));
}
