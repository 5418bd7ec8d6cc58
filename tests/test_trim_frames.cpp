// A trimmed title holds exactly the part the user marked: converted with --trim from clips
// whose every frame carries its number (one key frame, B-frames, a variable rate), the title
// shows the pictures on screen in [start, end), each once and in order, through both norms,
// and its sound is cut at the same instants.
#include <gtest/gtest.h>

#include <cmath>

#include "Fixtures.h"
#include "TestUtils.h"
#include "TitleReader.h"

using namespace qm;

namespace {

bool DvdToolsMissing() { return test::RunCommand("command -v dvdauthor").ExitCode != 0; }

std::vector<int> Range(int AFirst, int ALast) {
    std::vector<int> r;
    for (int i = AFirst; i <= ALast; ++i)
        r.push_back(i);
    return r;
}

class TrimFrames : public ::testing::Test {
protected:
    void SetUp() override {
        if (DvdToolsMissing())
            GTEST_SKIP() << "dvdauthor is not installed (scripts/install-deps.sh installs it)";
        ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
    }

    // Converts AFixture trimmed to ATrim with APreset and reads the title back.
    fixtures::TTitleContents Convert(const std::string& AFixture, const std::string& ATrim,
                                     const std::string& APreset) {
        const std::string out = Dir / ("out-" + std::to_string(++FRuns));
        const std::string file = fixtures::FixturePath(AFixture);
        const auto run = test::RunCommand(
            test::ShellQuote(test::BinDir() + "/quillmoor-cli") + " convert -p " + APreset + " -o " +
            test::ShellQuote(out) + " --trim " + test::ShellQuote(file + "=" + ATrim) + " " +
            test::ShellQuote(file));
        EXPECT_EQ(run.ExitCode, 0) << run.Output;
        fixtures::TTitleContents title;
        std::string error;
        EXPECT_TRUE(fixtures::ReadTitle(out + "/VIDEO_TS/VTS_01_1.VOB", title, error)) << error;
        return title;
    }

    test::TTempDir Dir;
    int FRuns = 0;
};

struct TTrimCase {
    const char* What;
    const char* Fixture;
    const char* Trim;
    const char* Preset;
    int First, Last; // the source frames the title must show
};

constexpr char Numbered[] = "numbered_h264_aac.mp4"; // 25 fps, 8 s, one key frame, B-frames
constexpr char Variable[] = "numbered_vfr.mkv";      // odd frames 12 ms early, 4 s

} // namespace

TEST_F(TrimFrames, TheTitleShowsExactlyThePicturesOfThePart) {
    const TTrimCase cases[] = {
        {"whole seconds", Numbered, "2-4", "pal-lp", 50, 99},
        {"on frame boundaries", Numbered, "3.52-7.2", "pal-lp", 88, 179},
        {"between frames: the ones showing then", Numbered, "3.53-7.21", "pal-lp", 88, 180},
        {"from the very start", Numbered, "0-1", "pal-lp", 0, 24},
        {"up to the very end", Numbered, "7.5-", "pal-lp", 187, 199},
        {"shorter than a second", Numbered, "0.5-0.9", "pal-lp", 12, 22},
        {"full size, encoded beside decoding", Numbered, "3.52-7.2", "pal-hq", 88, 179},
        // Frame 25 comes at 0.988 s, 26 at 1.04; 51 at 2.028, 52 at 2.08; 76 at 3.04, 77 at 3.068.
        {"variable rate, whole and between frames", Variable, "1-1.99", "pal-lp", 25, 49},
        {"variable rate, in the short and the long gaps", Variable, "2.035-3.05", "pal-lp", 51, 76},
    };
    for (const TTrimCase& c : cases) {
        SCOPED_TRACE(std::string(c.What) + ": " + c.Fixture + "=" + c.Trim + " " + c.Preset);
        const auto title = Convert(c.Fixture, c.Trim, c.Preset);
        EXPECT_EQ(title.Numbers, Range(c.First, c.Last));
        EXPECT_NEAR(title.SoundSeconds, title.PictureSeconds, title.FrameDuration);
    }
}

// 25 to 29.97 frames a second: every picture of the part is shown, repeated where the rate
// asks, and the title lasts end - start.
TEST_F(TrimFrames, AConvertedFrameRateCoversThePart) {
    const struct {
        const char* Trim;
        int First, Last;
        double Seconds;
    } cases[] = {{"2-4", 50, 99, 2.0}, {"3.53-7.21", 88, 180, 3.68}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Trim);
        const auto title = Convert(Numbered, c.Trim, "ntsc-lp");
        EXPECT_NEAR(title.FrameDuration, 1001.0 / 30000, 1e-6);
        EXPECT_EQ(fixtures::DistinctNumbers(title.Numbers), Range(c.First, c.Last));
        EXPECT_NEAR(title.PictureSeconds, c.Seconds, title.FrameDuration);
        EXPECT_NEAR(title.SoundSeconds, title.PictureSeconds, title.FrameDuration);
    }
}

// The sound is cut at the picture's instants: the clicks at the clip's whole seconds are
// heard at (second - start) into the title, the same few samples of coding delay in every cut.
TEST_F(TrimFrames, TheSoundIsCutAtTheSameInstants) {
    std::vector<double> offsets;
    const struct {
        const char* Trim;
        double Start;
    } cases[] = {{"0-3", 0.0}, {"0.52-3", 0.52}, {"1.731-4", 1.731}};
    for (const auto& [trim, start] : cases) {
        SCOPED_TRACE(trim);
        const auto title = Convert(Numbered, trim, "pal-lp");
        ASSERT_FALSE(title.ClickOnsets.empty());
        const double first = std::ceil(start);
        for (size_t k = 0; k < title.ClickOnsets.size(); ++k)
            offsets.push_back(title.ClickOnsets[k] - (first + double(k) - start));
    }
    for (double o : offsets)
        EXPECT_NEAR(o, offsets[0], 2.0 / 48000) << "every click lands the same samples late";
    EXPECT_NEAR(offsets[0], 0.0, 0.015) << "no more than the coder's delay";
}
