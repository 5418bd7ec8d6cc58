// Interlaced sources stay interlaced with their field order when the frame rate stays, their
// fields scaled apart; progressive sources stay progressive; an interlaced source whose frame
// rate changes is deinterlaced first. Read back from the output's sequence and picture headers.
#include <gtest/gtest.h>

#include "EngineTest.h"
#include "FixtureWriter.h"
#include "Mpeg2Headers.h"

namespace qm::test {
namespace {

using fixtures::FieldOrder;
using fixtures::VideoPattern;

std::string WriteSource(const std::filesystem::path& ADir, const char* AName, FieldOrder AOrder,
                        int AWidth, int AHeight, AVRational ARate, VideoPattern APattern) {
    fixtures::ClipSettings clip;
    clip.format = "mpegts";
    clip.videoCodec = "mpeg2video";
    clip.width = AWidth;
    clip.height = AHeight;
    clip.frameRate = ARate;
    clip.videoBitRate = 8000000;
    clip.duration = 0.5;
    clip.fieldOrder = AOrder;
    clip.videoPattern = APattern;
    const std::string path = (ADir / AName).string();
    std::string error;
    EXPECT_TRUE(fixtures::WriteClip(clip, path, error)) << error;
    return path;
}

struct TScanCase {
    const char* Name;
    FieldOrder Source;
    int Height;
    AVRational Rate;
    const char* Target;
    const char* Size;
    bool Interlaced;     // expected in the output
    bool TopFieldFirst;  // of every picture, when interlaced
};

class FieldOrderTest : public TEngineTest, public ::testing::WithParamInterface<TScanCase> {};

TEST_P(FieldOrderTest, OutputHeadersCarryTheScanAndFieldOrder) {
    const TScanCase& c = GetParam();
    const std::string in = WriteSource(Dir.Path(), "in.ts", c.Source, 720, c.Height, c.Rate,
                                       VideoPattern::Grain);
    const std::string out = (Dir.Path() / "out.mpg").string();
    Configure({"-i", in, "-target", c.Target, "-s", c.Size, "-an", "1", out});
    ASSERT_EQ(Run(), "");
    const TMpeg2Stream s = ReadMpeg2Headers(out);
    ASSERT_FALSE(s.Pictures.empty());
    EXPECT_EQ(s.ProgressiveSequence, c.Interlaced ? 0 : 1);
    for (size_t i = 0; i < s.Pictures.size(); ++i) {
        const TMpeg2Picture& p = s.Pictures[i];
        SCOPED_TRACE("picture " + std::to_string(i));
        EXPECT_EQ(p.Structure, 3) << "frame pictures";
        EXPECT_EQ(p.ProgressiveFrame, !c.Interlaced);
        EXPECT_EQ(p.AlternateScan, c.Interlaced);
        EXPECT_EQ(p.FramePredFrameDct, !c.Interlaced) << "interlaced DCT and prediction allowed";
        if (c.Interlaced) {
            EXPECT_EQ(p.TopFieldFirst, c.TopFieldFirst);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, FieldOrderTest,
    ::testing::Values(
        TScanCase{"TopFirstOnPal", FieldOrder::TopFirst, 576, {25, 1}, "pal-dvd", "720x576", true, true},
        TScanCase{"BottomFirstOnNtsc", FieldOrder::BottomFirst, 480, {30000, 1001}, "ntsc-dvd",
                  "720x480", true, false},
        TScanCase{"TopFirstScaledOnNtscRate", FieldOrder::TopFirst, 576, {25, 1}, "ntsc-dvd",
                  "720x480", false, false},
        TScanCase{"ProgressiveStays", FieldOrder::Progressive, 576, {25, 1}, "pal-dvd", "720x576",
                  false, false}),
    [](const ::testing::TestParamInfo<TScanCase>& AInfo) { return std::string(AInfo.param.Name); });

// A picture whose top field is white and bottom field black keeps them apart when scaled to
// another height: a scaler over the whole frame would make every line grey. Two codec
// threads: the encode thread scales some of the pictures with a scaler of its own.
TEST_F(TEngineTest, ScalingAnInterlacedPictureKeepsItsFieldsApart) {
    const std::string in = WriteSource(Dir.Path(), "lines.ts", FieldOrder::TopFirst, 720, 576,
                                       {25, 1}, VideoPattern::FieldLines);
    const std::string out = (Dir.Path() / "out.mpg").string();
    Configure({"-threads", "2", "-i", in, "-target", "pal-dvd", "-s", "720x432", "-padtop", "72", "-padbottom", "72",
               "-b", "9000000", "-an", "1", out});
    ASSERT_EQ(Run(), "");
    const auto pictures = DecodePictures(out, 3);
    ASSERT_FALSE(pictures.empty());
    const TDecodedPicture& p = pictures.back();
    int mixed = 0;
    for (int y = 72 + 8; y < 72 + 432 - 8; ++y) {
        const int luma = p.LumaAt(360, y);
        const bool top = (y % 2) == 0;
        if (top ? luma < 180 : luma > 60)
            ++mixed;
    }
    EXPECT_EQ(mixed, 0) << "lines whose field shows the other field's brightness";
}

} // namespace
} // namespace qm::test
