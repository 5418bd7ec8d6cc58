// The disc plan: sizes, the budget left for the titles, the estimate, the fitted rates and
// the half-size switch; the image writer's label, progress and clean failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Core/BatchPlan.h"
#include "Core/DiscImage.h"
#include "Core/DiscPlan.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

constexpr int64_t Hour = 3600 * 1000;

rInputStreamInfo Item(const std::string& AName, int64_t ALengthMs, double AAspect = 4.0 / 3, bool AAudio = true) {
    rInputStreamInfo item;
    item.FileName = AName;
    item.DurationUs = ALengthMs * 1000;
    item.Width = 640;
    item.Height = 480;
    item.DisplayAspect = AAspect;
    item.HasAudio = AAudio;
    return item;
}

TPlanTitle Title(int64_t ALengthMs, int64_t AVideo, int64_t AAudio, int64_t ASubtitles = 0,
                 int64_t APixels = 720 * 576) {
    TPlanTitle t;
    t.LengthMs = ALengthMs;
    t.Pixels = APixels;
    t.VideoRate = AVideo;
    t.AudioRate = AAudio;
    t.SubtitleRate = ASubtitles;
    return t;
}

const TDvdPreset& Preset(const char* AName) { return DvdPresets()[size_t(FindDvdPreset(AName))]; }

int64_t Sum(const std::vector<TPlanTitle>& ATitles, const std::vector<int64_t>& ARates) {
    int64_t bytes = 0;
    for (size_t i = 0; i < ATitles.size(); ++i) {
        TPlanTitle t = ATitles[i];
        t.VideoRate = ARates[i];
        bytes += TitleBytes(t);
    }
    return bytes;
}

} // namespace

TEST(DiscPlan, DiscSizesReadAsTheCommandLineAndTheSettingsWriteThem) {
    struct {
        const char* Text;
        bool Ok;
        int64_t Bytes;
    } cases[] = {
        {"dvd5", true, 2295104LL * 2048},  {"DVD-9", true, 4171712LL * 2048}, {"none", true, 0},
        {"700M", true, 700000000},         {"4.2G", true, 4200000000},        {"700mb", true, 700000000},
        {"4700000000", true, 4700000000},  {"", false, 0},                    {"4,2G", false, 0},
        {"-1G", false, 0},                 {"0.5M", false, 0},                {"12T", false, 0},
        {"G", false, 0},                   {"4.2 G", false, 0},
    };
    for (const auto& c : cases) {
        int64_t bytes = -7;
        EXPECT_EQ(ParseDiscSize(c.Text, bytes), c.Ok) << c.Text;
        if (!c.Ok)
            continue;
        EXPECT_EQ(bytes, c.Bytes) << c.Text;
        int64_t again = -7;
        EXPECT_TRUE(ParseDiscSize(DiscSizeName(bytes), again)) << DiscSizeName(bytes);
        EXPECT_EQ(again, bytes) << c.Text;
    }
    EXPECT_EQ(DiscSizeText(Dvd5Bytes), "4.70 GB");
    EXPECT_EQ(DiscSizeText(Dvd9Bytes), "8.54 GB");
    EXPECT_EQ(DiscSizeText(700000000), "700.0 MB");
    EXPECT_EQ(DiscSizeText(999999999), "1000.0 MB");
    EXPECT_EQ(MegabitsText(2500000), "2.50 Mbit/s");
}

TEST(DiscPlan, EstimateCountsEveryStreamTheOverheadTheAuthoringAndTheMenus) {
    struct {
        const char* What;
        std::vector<TPlanTitle> Titles;
        int64_t MenuBytes;
        int64_t Expected;
    } cases[] = {
        // 1,157,000 bytes a second, 1.5 % packing; 1 MiB of file systems and IFOs, 36 KiB a
        // title, 24 bytes a second of address maps.
        {"an hour at 9 Mbit/s", {Title(Hour, 9000000, 256000)}, 0, 4228849840},
        {"three hours at 9 Mbit/s", {Title(3 * Hour, 9000000, 256000)}, 0, 12684378640},
        {"two titles, one with two sound tracks, and menus",
         {Title(45 * 60000, 6000000, 224000), Title(45 * 60000, 6000000, 2 * 224000)},
         5000000,
         4347203904},
        {"a second with subtitles", {Title(1000, 4500000, 128000, 64000)}, 0, 595298 + 1085464},
        {"nothing", {}, 0, 1048576},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EstimateDiscBytes(c.Titles, c.MenuBytes), c.Expected) << c.What;
    }
    EXPECT_EQ(TitleBudget(1000, {Title(Hour, 1, 1)}), 0) << "a budget is never negative";
}

TEST(DiscPlan, FittedRatesFillTheBudgetInProportionToThePicture) {
    auto title = [](int64_t ALengthMs, int64_t APixels, int64_t AAudio) { return Title(ALengthMs, 0, AAudio, 0, APixels); };
    // A full frame and a pillarboxed one of the same length: three quarters of the rate.
    const std::vector<TPlanTitle> mixed = {title(Hour, 720 * 576, 256000), title(Hour, 540 * 576, 256000)};
    std::vector<int64_t> rates = FitVideoRates(mixed, Dvd5Bytes);
    EXPECT_NEAR(double(rates[1]) / double(rates[0]), 0.75, 1e-6);
    EXPECT_NEAR(double(Sum(mixed, rates)), double(Dvd5Bytes), 1e-5 * double(Dvd5Bytes));

    // The full frame reaches the cap; what it leaves goes to the small picture.
    const std::vector<TPlanTitle> capped = {title(Hour, 720 * 576, 256000), title(Hour, 352 * 288, 256000)};
    rates = FitVideoRates(capped, Dvd9Bytes);
    EXPECT_EQ(rates[0], VideoRateCap(capped[0]));
    EXPECT_GT(rates[1], 0);
    EXPECT_LE(rates[1], VideoRateCap(capped[1]));
    EXPECT_NEAR(double(Sum(capped, rates)), double(Dvd9Bytes), 1e-5 * double(Dvd9Bytes));

    // Everything capped: the disc is not filled, and no title passes the cap.
    rates = FitVideoRates({title(60000, 720 * 576, 448000)}, Dvd5Bytes);
    EXPECT_EQ(rates[0], VideoRateCap(title(60000, 720 * 576, 448000)));
    EXPECT_LE(rates[0] + 448000, int64_t(MaxMuxRate / (1 + MuxOverhead)));
    EXPECT_LE(rates[0], MaxVideoRate);

    // A title of unknown length or without a picture gets nothing; the others are fitted.
    rates = FitVideoRates({title(-1, 720 * 576, 256000), title(Hour, 0, 0), title(2 * Hour, 720 * 576, 0)}, Dvd5Bytes);
    EXPECT_EQ(rates[0], 0);
    EXPECT_EQ(rates[1], 0);
    EXPECT_GT(rates[2], 4000000);
}

TEST(DiscPlan, LongBatchesGoToHalfSizeAndTooLongOnesAreRefused) {
    struct {
        const char* Preset;
        int64_t LengthMs;
        double Aspect;
        bool Fits;
        int Picture;
        const char* FrameSize;
    } cases[] = {
        {"pal-hq", Hour, 4.0 / 3, true, 0, "720x576"},      // capped at the DVD maximum
        {"pal-hq", 3 * Hour, 4.0 / 3, true, 0, "720x576"},  // about 3.2 Mbit/s
        {"pal-hq", 5 * Hour, 4.0 / 3, true, 1, "352x576"},  // about 1.8 Mbit/s
        {"pal-hq", 5 * Hour, 16.0 / 9, true, 1, "352x576"}, // letterboxed at half size
        {"ntsc-hq", 5 * Hour, 4.0 / 3, true, 1, "352x480"},
        {"pal-hq", 12 * Hour, 4.0 / 3, false, 1, ""}, // about 0.6 Mbit/s
        {"pal-lp", 12 * Hour, 4.0 / 3, true, 0, "352x288"}, // a small picture needs less
        {"pal-lp", 30 * Hour, 4.0 / 3, false, 0, ""},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.Preset) + " " + std::to_string(c.LengthMs / Hour) + " h";
        const std::vector<rInputStreamInfo> items = {Item("a.mkv", c.LengthMs / 2, c.Aspect),
                                                     Item("b.mkv", c.LengthMs / 2, c.Aspect)};
        const TDvdPreset& preset = Preset(c.Preset);
        const std::vector<TFitPicture> pictures = FitPictures(items, preset);
        const TDiscFit fit = FitToDisc(pictures, TitleBudget(Dvd5Bytes, pictures[0].Titles));
        EXPECT_EQ(fit.Fits, c.Fits) << what;
        EXPECT_EQ(fit.Picture, c.Picture) << what;
        if (!c.Fits) {
            EXPECT_NE(fit.Error.find("Too much video for this disc"), std::string::npos) << fit.Error;
            continue;
        }
        const TDvdPreset picture = c.Picture == 1 ? HalfSizePicture(preset) : preset;
        EXPECT_EQ(std::string(picture.FrameSize), c.FrameSize) << what;
        const auto& titles = pictures[size_t(fit.Picture)].Titles;
        EXPECT_EQ(fit.VideoRates[0], fit.VideoRates[1]) << what;
        EXPECT_LE(Sum(titles, fit.VideoRates) + AuthoringBytes(titles), Dvd5Bytes) << what;
        if (fit.VideoRates[0] < VideoRateCap(titles[0])) {
            EXPECT_GT(double(Sum(titles, fit.VideoRates)), 0.9999 * double(TitleBudget(Dvd5Bytes, titles))) << what;
        }
    }
}

TEST(DiscPlan, UsageAndTheReasonABatchCannotStart) {
    const TDvdPreset& hq = Preset("pal-hq");
    const std::vector<rInputStreamInfo> threeHours = {Item("/v/a.mkv", Hour), Item("/v/b.mkv", 2 * Hour)};

    TDiscSettings disc;
    TDiscUsage usage = EstimateUsage(threeHours, hq, disc);
    EXPECT_TRUE(usage.Over);
    EXPECT_EQ(usage.Text(), "12.68 GB of 4.70 GB (270 %)");
    const std::string refused = DiscPlanError(usage, hq);
    for (const char* part : {"12.68 GB", "4.70 GB", "DVD PAL High Quality", "lower preset", "fit the video"})
        EXPECT_NE(refused.find(part), std::string::npos) << part << " in: " << refused;

    disc.DiscBytes = 0; // no limit
    usage = EstimateUsage(threeHours, hq, disc);
    EXPECT_FALSE(usage.Over);
    EXPECT_EQ(usage.Text(), "12.68 GB (no limit)");
    EXPECT_EQ(DiscPlanError(usage, hq), "");

    disc.DiscBytes = Dvd5Bytes;
    disc.Fit = true;
    usage = EstimateUsage(threeHours, hq, disc);
    EXPECT_FALSE(usage.Over);
    EXPECT_EQ(DiscPlanError(usage, hq), "");
    EXPECT_GT(usage.Percent(), 99.9);
    EXPECT_NE(usage.Text().find("fitted: 3."), std::string::npos) << usage.Text();

    // Menus take their share of a fitted disc.
    disc.MenuBytes = 100000000;
    EXPECT_LT(EstimateUsage(threeHours, hq, disc).Fit.VideoRates[0], usage.Fit.VideoRates[0]);

    std::vector<rInputStreamInfo> unknown = threeHours;
    unknown[1].DurationUs = -1;
    const std::string error = DiscPlanError(EstimateUsage(unknown, hq, disc), hq);
    EXPECT_NE(error.find("/v/b.mkv"), std::string::npos) << error;

    // A trimmed file counts its kept part only; a file without a picture counts nothing.
    std::vector<rInputStreamInfo> trimmed = {Item("a", 3 * Hour), Item("b", Hour)};
    trimmed[0].TrimLength = int32_t(Hour / 2);
    trimmed[1].Width = trimmed[1].Height = 0;
    disc = {};
    EXPECT_EQ(EstimateUsage(trimmed, hq, disc).Bytes,
              EstimateDiscBytes({PlanTitles({trimmed[0]}, hq, 4.0 / 3)[0], TPlanTitle{}}));
}

TEST(DiscPlan, ReducedRateTakesTheExcessAndAMarginOff) {
    EXPECT_EQ(ReducedRate(5000000, 100000, 1000000), 5000000 - 80000 - 100000);
    EXPECT_EQ(ReducedRate(5000000, 100000, 0), 4900000);
    EXPECT_EQ(ReducedRate(2000000, 10000, 100000000), HalfSizeMinRate / 2) << "never below a floor";
    EXPECT_EQ(ReducedRate(2000000, 0, 1000), 2000000) << "unknown length: unchanged";
}

TEST(DiscImage, LabelsAndProgressLines) {
    struct {
        const char* Name;
        const char* Label;
    } labels[] = {
        {"/home/u/My holiday 2024.iso", "MY_HOLIDAY_2024"},
        {"film", "FILM"},
        {"a.b.c.iso", "A_B_C"},
        {"Ünïcode–name.iso", "N_CODE_NAME"},
        {"___.iso", "DVD"},
        {"", "DVD"},
        {"abcdefghijklmnopqrstuvwxyz0123456789.iso", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
    };
    for (const auto& l : labels)
        EXPECT_EQ(VolumeLabelOf(l.Name), l.Label) << l.Name;
    struct {
        const char* Line;
        double Percent;
    } lines[] = {
        {" 10.06% done, estimate finish Fri Dec 11 13:10:00 2026", 10.06},
        {"100.00% done, estimate finish Fri Dec 11 13:10:00 2026", 100},
        {"Total translation table size: 0", -1},
        {"% done", -1},
        {"12,50% done", 50}, // the digits before the sign only
    };
    for (const auto& l : lines)
        EXPECT_DOUBLE_EQ(ImageProgressOf(l.Line), l.Percent) << l.Line;
}

namespace {

// A program folder whose Data/Quillmoor/genisoimage is a script: it writes some of the image
// into the file after -o, prints its progress and then AEnd.
struct TFakeImageProgram {
    test::TTempDir Folder;
    explicit TFakeImageProgram(const std::string& AEnd) {
        fs::create_directories(Folder.Path() / "Data/Quillmoor");
        const std::string path = Folder / "Data/Quillmoor/genisoimage";
        std::ofstream(path) << "#!/bin/sh\n"
                               "while [ \"$1\" != -o ]; do shift; done\n"
                               "echo partial > \"$2\"\n"
                               "echo ' 42.00% done, estimate finish soon' >&2\n"
                            << AEnd << "\n";
        fs::permissions(path, fs::perms::owner_all);
    }
    std::string ProgramFolder() const { return Folder.Path().string() + "/"; }
};

std::vector<std::string> Entries(const fs::path& AFolder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(AFolder))
        names.push_back(e.path().filename().string());
    return names;
}

} // namespace

TEST(DiscImage, AFailedOrStoppedImageLeavesNothingBehind) {
    struct {
        const char* What;
        const char* End;
        bool Stop;
        const char* Error;
    } cases[] = {
        {"genisoimage fails", "echo 'genisoimage: Unable to make a DVD-Video image.' >&2; exit 3", false,
         "genisoimage failed (exit status 3)\ngenisoimage: Unable to make a DVD-Video image."},
        {"stopped", "exec sleep 60", true, "Writing the disc image was stopped"},
    };
    for (const auto& c : cases) {
        TFakeImageProgram program(c.End);
        test::TTempDir out;
        fs::create_directories(out.Path() / "disc/VIDEO_TS");
        TDiscImageWriter writer(program.ProgramFolder());
        double seen = -1;
        writer.OnProgress = [&](double APercent) {
            seen = APercent;
            if (c.Stop)
                writer.Cancel();
        };
        std::string error;
        EXPECT_FALSE(writer.Write(out / "disc", out / "film.iso", "", false, error)) << c.What;
        EXPECT_EQ(error, c.Error) << c.What;
        EXPECT_DOUBLE_EQ(seen, 42) << c.What;
        EXPECT_EQ(Entries(out.Path()), std::vector<std::string>{"disc"}) << c.What;
    }
}

TEST(DiscImage, AnExistingImageIsReplacedOnlyWhenAllowed) {
    TFakeImageProgram program("exit 0");
    test::TTempDir out;
    fs::create_directories(out.Path() / "disc/VIDEO_TS");
    std::ofstream(out / "film.iso") << "the user's";
    TDiscImageWriter writer(program.ProgramFolder());
    std::string error;
    EXPECT_FALSE(writer.Write(out / "disc", out / "film.iso", "", false, error));
    EXPECT_NE(error.find("exists already"), std::string::npos) << error;
    std::ifstream kept(out / "film.iso");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the user's");
    EXPECT_TRUE(writer.Write(out / "disc", out / "film.iso", "", true, error)) << error;
    std::ifstream made(out / "film.iso");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(made), {}), "partial\n");
    EXPECT_EQ(Entries(out.Path()).size(), 2u);
}
