#include <gtest/gtest.h>

#include "EngineTest.h"
#include "Fixtures.h"

using namespace qm;
using namespace qm::test;
using qm::fixtures::FixturePath;

using FiltersTest = TEngineTest;

// known_layout.mp4: 320x240, a red 16-pixel border, grey inside, a white 60x60 square at
// (80, 60).
TEST_F(FiltersTest, TheGraphChangesThePicturesAndTheEncoderTakesItsSize) {
    struct {
        const char* Name;
        std::vector<std::string> Options;
        int Width, Height;
        int WhiteX, WhiteY; // inside the square
        int GreyX, GreyY;   // where the square was before the filter
    } cases[] = {
        {"flip", {"-vfilters", "hflip"}, 320, 240, 210, 90, 110, 90},
        // The sizes differ: a scaler comes before the chain (square at 88..154 x 72..144).
        {"scaled flip", {"-s", "352x288", "-vfilters", "hflip"}, 352, 288, 231, 108, 121, 108},
        // Padding goes with a chain that keeps the size.
        {"padded flip", {"-vfilters", "hflip", "-padtop", "16", "-padbottom", "16"}, 320, 272, 210, 106, 110, 106},
        // Turned by a quarter: the encoder becomes 240 wide and 320 high.
        {"transposed", {"-vfilters", "transpose=1"}, 240, 320, 150, 110, 150, 210},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        std::vector<std::string> args = {"-i", FixturePath("known_layout.mp4")};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.insert(args.end(), {"-f", "vob", "-vcodec", "mpeg2video", "-qscale", "2", "-an", "1",
                                 Dir / "f.mpg"});
        Configure(args);
        ASSERT_EQ(Run(), "");
        const auto p = FirstPicture(Dir / "f.mpg");
        ASSERT_EQ(p.Width, c.Width);
        ASSERT_EQ(p.Height, c.Height);
        EXPECT_GT(p.LumaAt(c.WhiteX, c.WhiteY), 200);
        EXPECT_NEAR(p.LumaAt(c.GreyX, c.GreyY), 126, 12);
    }
}

TEST_F(FiltersTest, CropPadAndBadChainsRefuseTheSetup) {
    struct {
        std::vector<std::string> BeforeOutput, AfterOutput;
        const char* Message;
    } cases[] = {
        // The output creation refuses cropping with filters; set later, the setup does.
        {{"-vfilters", "hflip"}, {"-croptop", "8"},
         "Error opening filters: Cannot enable crop options and filters at the same time."},
        {{"-vfilters", "pad=352:240", "-padtop", "48", "-padbottom", "48"}, {},
         "Error opening filters: Cannot enable pad options and the filters which resize frame at "
         "the same time. (crop, rotate, scale, transpose, etc.)"},
        {{"-vfilters", "nosuchfilter"}, {}, "Error opening filters!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Message);
        SetUp();
        std::vector<std::string> args = {"-i", FixturePath("known_layout.mp4")};
        args.insert(args.end(), c.BeforeOutput.begin(), c.BeforeOutput.end());
        args.insert(args.end(), {"-f", "vob", "-vcodec", "mpeg2video", "-an", "1", Dir / "bad.mpg"});
        args.insert(args.end(), c.AfterOutput.begin(), c.AfterOutput.end());
        Configure(args);
        EXPECT_EQ(Run(), c.Message);
    }
}
