// Chapters: where a title's chapter marks fall for an interval, the engine's key frames at
// given times, and a disc whose titles lsdvd reads with the chapters asked for, on closed
// groups of pictures (no authoring warning), that plays its titles in a row.
#include <gtest/gtest.h>

#include <regex>

#include "Core/DiscChapters.h"
#include "DiscNavigator.h"
#include "DiscTestSupport.h"
#include "Engine/FFmpegException.h"
#include "Engine/KeyFrameTimes.h"
#include "Loader/FFmpegLoader.h"

using namespace qm;

TEST(Chapters, StartsForLengthAndInterval) {
    struct {
        int64_t LengthMs;
        double Minutes;
        std::vector<int64_t> Starts;
    } cases[] = {
        {12 * 60000, 5, {0, 300000, 600000}},
        {10 * 60000, 5, {0, 300000}},           // a mark at the very end would show nothing
        {10 * 60000 + 999, 5, {0, 300000}},     // nor one in the last second
        {10 * 60000 + 1000, 5, {0, 300000, 600000}},
        {7 * 60000, 2.5, {0, 150000, 300000}},
        {14000, 0.1, {0, 6000, 12000}},
        {60 * 60000, 0, {0}},                   // none asked for
        {-1, 5, {0}},                           // length unknown
        {4 * 60000, 5, {0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChapterStartsMs(c.LengthMs, c.Minutes), c.Starts) << c.LengthMs << " ms every " << c.Minutes;
    // A long title with a short interval keeps to what one title can hold.
    EXPECT_EQ(ChapterStartsMs(int64_t(10) * 3600000, 1).size(), size_t(MaxChaptersPerTitle));
}

TEST(Chapters, TextsForAuthoringAndEngine) {
    EXPECT_EQ(ChapterAttribute({0, 300000, 3723500}), "0:00:00,0:05:00,1:02:03.500");
    EXPECT_EQ(ChapterKeyFrames({0, 300000, 3723500}), "299.400,300.000,3722.900,3723.500");
    EXPECT_EQ(ChapterKeyFrames({0}), "");

    struct {
        const char* Text;
        bool Ok;
        double Minutes;
    } cases[] = {{"5", true, 5},       {"2.5", true, 2.5}, {"0", true, 0},     {"0.1", true, 0.1},
                 {"0.05", false, 0},   {"2,5", false, 0},  {"", false, 0},     {"-1", false, 0},
                 {"601", false, 0},    {"5min", false, 0}, {"nan", false, 0},  {"1e1", false, 0}};
    for (const auto& c : cases) {
        double minutes = -7;
        EXPECT_EQ(ParseChapterMinutes(c.Text, minutes), c.Ok) << c.Text;
        if (c.Ok) {
            EXPECT_EQ(minutes, c.Minutes) << c.Text;
        }
    }
    EXPECT_EQ(ChapterMinutesText(5), "5");
    EXPECT_EQ(ChapterMinutesText(2.5), "2.5");
    EXPECT_EQ(ChapterMinutesText(0.125), "0.125");
    EXPECT_EQ(ChapterMinutesText(0), "0");
}

class KeyFrameTimes : public ::testing::Test {
protected:
    // Times are read by the format library.
    static void SetUpTestSuite() {
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    }
};

TEST_F(KeyFrameTimes, ParsedAndDueOnThePictureShownAtEachTime) {
    EXPECT_EQ(ParseKeyFrameTimes("300,6.5, 0:01:00"), (std::vector<int64_t>{6500000, 60000000, 300000000}));
    EXPECT_TRUE(ParseKeyFrameTimes("").empty());
    EXPECT_THROW(ParseKeyFrameTimes("5,,6"), FFmpegException);
    EXPECT_THROW(ParseKeyFrameTimes("five"), FFmpegException);

    // NTSC: 6 s falls between pictures 179 (5.9727 s) and 180 (6.006 s): 179 is on the screen.
    const std::vector<int64_t> times{6000000, 12000000};
    size_t next = 0;
    std::vector<int64_t> keys;
    for (int64_t pts = 0; pts < 400; ++pts)
        if (KeyFrameDue(times, next, pts, AVRational{1001, 30000}))
            keys.push_back(pts);
    EXPECT_EQ(keys, (std::vector<int64_t>{179, 359}));
    // PAL: exactly on pictures 150 and 300; a picture that skips past two times marks once.
    next = 0;
    keys.clear();
    for (int64_t pts : {0, 149, 150, 151, 400})
        if (KeyFrameDue(times, next, pts, AVRational{1, 25}))
            keys.push_back(pts);
    EXPECT_EQ(keys, (std::vector<int64_t>{150, 400}));
}

namespace {

struct TChapterTitle {
    int Chapters = 0;
    std::vector<double> Lengths;
};

// lsdvd -c: the chapters of each title with their lengths.
std::vector<TChapterTitle> ReadChapters(const std::string& AFolder) {
    const auto read = test::RunCommand("lsdvd -c " + test::ShellQuote(AFolder));
    std::vector<TChapterTitle> titles;
    static const std::regex title(R"(Title: \d+, Length: [\d:.]+ Chapters: (\d+))");
    static const std::regex chapter(R"(Chapter: \d+, Length: (\d+):(\d+):(\d+)\.(\d+))");
    std::istringstream lines(read.Output);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, title))
            titles.push_back({std::stoi(m[1]), {}});
        else if (std::regex_search(line, m, chapter) && !titles.empty())
            titles.back().Lengths.push_back(std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]) +
                                            std::stoi(m[4]) / 1000.0);
    }
    return titles;
}

} // namespace

// One disc without a menu serves every check: chapter counts, where they fall, no warning
// from the authoring, and a player plays 1, 2, 3 in a row.
TEST(ChapterDisc, ChaptersOnClosedGopsAndTitlesInARow) {
    REQUIRE_DISC_TOOLS();
    test::TTempDir dir;
    const auto clips = test::WriteClips(dir, {16.2, 9.2, 2}, 160, 120);
    const std::string out = dir / "out";
    // 7.5 s is no whole number of groups of pictures (0.6 s each): a mark lands there only
    // on a key frame made for it.
    const auto run = test::ConvertDisc("-p pal-lp --chapters 0.125", clips, out);
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_EQ(run.Output.find("GOP may not be closed"), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("WARN"), std::string::npos) << run.Output;

    const auto titles = ReadChapters(out);
    ASSERT_EQ(titles.size(), 3u);
    const int expected[] = {3, 2, 1};
    for (size_t t = 0; t < titles.size(); ++t) {
        EXPECT_EQ(titles[t].Chapters, expected[t]) << "title " << t + 1;
        // Each chapter but the last is as long as the interval, to the picture: the mark
        // fell on the key frame made for it, not on a group of pictures around it.
        for (size_t c = 0; c + 1 < titles[t].Lengths.size(); ++c)
            EXPECT_NEAR(titles[t].Lengths[c], 7.5, 0.05) << "title " << t + 1 << " chapter " << c + 1;
    }

    test::TDiscNavigator player(out);
    ASSERT_TRUE(player.Open());
    EXPECT_TRUE(player.PlayToStop());
    EXPECT_EQ(player.Played(), (std::vector<int>{1, 2, 3}));
}
