// What reaches each output stream of an engine run: a stream copied and encoded at once,
// subtitles, bit rates that belong to one media type, layouts the encoder cannot take.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "EngineTest.h"
#include "Fixtures.h"

using namespace qm;
using namespace qm::test;
using qm::fixtures::FixturePath;

namespace {

using EngineStreamsTest = TEngineTest;

TEST_F(EngineStreamsTest, AStreamCopiedIntoOneOutputAndEncodedIntoAnotherReachesBoth) {
    const std::string input = FixturePath("avi_mpeg4_mp3.avi");
    const int inputPackets = VideoPacketCount(input);
    ASSERT_GT(inputPackets, 0);
    // In either order: the copy first, or the encoded output first.
    const std::vector<std::vector<std::string>> orders = {
        {"-vcodec", "copy", "-an", "1", Dir / "copy.mkv", "-vcodec", "mpeg4", "-an", "1",
         Dir / "encoded.mkv"},
        {"-vcodec", "mpeg4", "-an", "1", Dir / "encoded.mkv", "-vcodec", "copy", "-an", "1",
         Dir / "copy.mkv"},
    };
    for (const auto& order : orders) {
        SCOPED_TRACE(order[1]);
        SetUp();
        std::vector<std::string> args = {"-i", input};
        args.insert(args.end(), order.begin(), order.end());
        Configure(args);
        ASSERT_EQ(Run(), "");
        EXPECT_EQ(VideoPacketCount(Dir / "copy.mkv"), inputPackets);
        EXPECT_EQ(VideoPacketCount(Dir / "encoded.mkv"), inputPackets);
        const auto facts = ReadFacts(Dir / "copy.mkv");
        ASSERT_NE(FindType(facts, AVMEDIA_TYPE_VIDEO), nullptr);
        EXPECT_EQ(FindType(facts, AVMEDIA_TYPE_VIDEO)->Codec, AV_CODEC_ID_MPEG4);
    }
}

TEST_F(EngineStreamsTest, SubtitlesAreCopiedUnlessAnEncoderIsNamedAndThenEncoded) {
    const std::string input = FixturePath("mkv_h264_vorbis_srt.mkv"); // two SubRip cues
    const struct {
        std::vector<std::string> Options;
        const char* Output;
        AVCodecID Codec;
    } cases[] = {
        // The container's default subtitle encoder is not needed for a copy.
        {{"-vcodec", "copy", "-acodec", "copy"}, "remux.mkv", AV_CODEC_ID_SUBRIP},
        {{"-vcodec", "copy", "-acodec", "copy", "-scodec", "ass"}, "ass.mkv", AV_CODEC_ID_ASS},
        {{"-vn", "1", "-an", "1", "-scodec", "subrip"}, "text.srt", AV_CODEC_ID_SUBRIP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Output);
        SetUp();
        std::vector<std::string> args = {"-i", input};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.push_back(Dir / c.Output);
        Configure(args);
        ASSERT_EQ(Run(), "");
        const auto facts = ReadFacts(Dir / c.Output);
        const TStreamFacts* subtitles = FindType(facts, AVMEDIA_TYPE_SUBTITLE);
        ASSERT_NE(subtitles, nullptr);
        EXPECT_EQ(subtitles->Codec, c.Codec);
        EXPECT_EQ(subtitles->Packets, 2);
        EXPECT_NEAR(subtitles->FirstTime, 0.25, 0.01);
        EXPECT_NEAR(subtitles->EndTime, 1.75, 0.01);
    }
}

TEST_F(EngineStreamsTest, TheVideoBitRateLeavesTheAudioEncoderAlone) {
    // A DVD video rate would be refused by the MP2 encoder ("bitrate 6000 is not allowed").
    Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob", "-vcodec", "mpeg2video", "-b",
               "6000000", "-acodec", "mp2", "-ar", "48000", Dir / "out.mpg"});
    ASSERT_EQ(Run(), "");
    EXPECT_GT(Engine->AudioBytes(), 0);
    // 2 s of MP2 at its default rate, far below what 6 Mbit/s would make.
    EXPECT_LT(Engine->AudioBytes(), 200000);
}

TEST_F(EngineStreamsTest, ProgressSizeGrowsWithWhatTheMuxerWrote) {
    std::vector<int64_t> sizes;
    // AVI writes every packet as it comes; the file on disk grows by the output buffer.
    Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-vcodec", "mpeg4", "-acodec", "mp2", "-ar",
               "48000", Dir / "out.avi"});
    Engine->ProgressIntervalUs = 0;
    Engine->ProgressNotify = [&sizes](TCustomFFmpeg*, int32_t, int32_t, int32_t, float, float,
                                      int64_t ASize, int32_t) { sizes.push_back(ASize); };
    ASSERT_EQ(Run(), "");
    ASSERT_GT(sizes.size(), 20u);
    // Not 0 until the first buffer reaches the disk, then in the buffer's steps.
    EXPECT_GT(sizes.front(), 0);
    EXPECT_TRUE(std::is_sorted(sizes.begin(), sizes.end()));
    const auto distinct = std::set<int64_t>(sizes.begin(), sizes.end()).size();
    EXPECT_GT(distinct, sizes.size() / 2);
}

TEST_F(EngineStreamsTest, AnEncoderThatCannotTakeTheLayoutGetsTheNearestItTakes) {
    // 5.1 into MP2, which takes mono and stereo: a downmix to stereo.
    Configure({"-i", FixturePath("mp4_h264_aac_5_1.mp4"), "-vn", "1", "-acodec", "mp2", "-ar",
               "48000", Dir / "out.mp2"});
    ASSERT_EQ(Run(), "");
    TCustomFFmpeg reader;
    reader.ResetEngine();
    ASSERT_TRUE(reader.OpenInputFile(Dir / "out.mp2")) << reader.LastError();
    const AVCodecParameters* par = reader.InputFiles[0]->Input.Get()->streams[0]->codecpar;
    EXPECT_EQ(par->ch_layout.nb_channels, 2);
    EXPECT_GT(FindType(ReadFacts(Dir / "out.mp2"), AVMEDIA_TYPE_AUDIO)->Packets, 50);
}

TEST_F(EngineStreamsTest, NothingBeforeAStartTimeGivenForTheInputReachesAnOutput) {
    // A key frame every second: the seek to 1.5 s lands on the one at 1 s, and what lies
    // between is decoded but not written, in every stream.
    const std::string input = FixturePath("mp4_h264_aac.mp4"); // 2 s
    const struct {
        const char* Name;
        std::vector<std::string> Options;
        double VideoLength; // seconds of video written
    } cases[] = {
        {"encoded", {"-vcodec", "mpeg4", "-acodec", "mp2", "-ar", "48000"}, 0.5},
        {"audio copied", {"-vcodec", "mpeg4", "-acodec", "copy"}, 0.5},
        // A copy starts at a key frame: the one at 1 s is before the start, so none is left.
        {"video copied", {"-vcodec", "copy", "-acodec", "mp2", "-ar", "48000"}, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        std::vector<std::string> args = {"-ss", "1.5", "-i", input};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.push_back(Dir / "out.mkv");
        Configure(args);
        ASSERT_EQ(Run(), "");
        const auto facts = ReadFacts(Dir / "out.mkv");
        const TStreamFacts* audio = FindType(facts, AVMEDIA_TYPE_AUDIO);
        ASSERT_NE(audio, nullptr);
        EXPECT_NEAR(audio->EndTime - audio->FirstTime, 0.5, 0.1);
        EXPECT_GE(audio->FirstTime, -0.001);
        const TStreamFacts* video = FindType(facts, AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(video, nullptr);
        if (c.VideoLength > 0)
            EXPECT_NEAR(video->EndTime - video->FirstTime, c.VideoLength, 0.05);
        else
            EXPECT_EQ(video->Packets, 0);
    }
}

} // namespace
