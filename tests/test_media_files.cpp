#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "EngineTest.h"
#include "Fixtures.h"

using namespace qm;
namespace fs = std::filesystem;
using qm::fixtures::FixturePath;

namespace {

class MediaFilesTest : public test::TEngineTest {
protected:
    void Set(const std::string& name, const std::string& value) { Engine->SetOption(name, value); }
    AVFormatContext* Output(int i = 0) { return Engine->OutputFiles[size_t(i)]->Output.Get(); }
    AVCodecContext* OutputCodec(int stream, int file = 0) {
        return Engine->OutputFiles[size_t(file)]->Streams[size_t(stream)].Codec.get();
    }
};

int CountStreams(AVFormatContext* ic, AVMediaType type) {
    int n = 0;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        n += ic->streams[i]->codecpar->codec_type == type;
    return n;
}

} // namespace

TEST_F(MediaFilesTest, EveryFixtureOpensAndHandsItsPropertiesToTheOptionSet) {
    for (const auto& f : qm::fixtures::StandardFixtures()) {
        SCOPED_TRACE(f.name);
        Engine->ResetEngine();
        ASSERT_TRUE(Engine->OpenInputFile(FixturePath(f.name))) << Engine->LastError();
        ASSERT_EQ(Engine->InputFileCount(), 1);
        AVFormatContext* ic = Engine->InputFiles[0]->Input.Get();
        const auto& settings = f.settings;
        const auto& o = Engine->Options;
        EXPECT_EQ(CountStreams(ic, AVMEDIA_TYPE_VIDEO), settings.videoCodec.empty() ? 0 : 1);
        EXPECT_EQ(CountStreams(ic, AVMEDIA_TYPE_AUDIO), settings.audioCodec.empty() ? 0 : 1);
        EXPECT_EQ(CountStreams(ic, AVMEDIA_TYPE_SUBTITLE), settings.subtitleCodec.empty() ? 0 : 1);
        if (!settings.videoCodec.empty()) {
            EXPECT_EQ(o.FrameWidth, settings.width);
            EXPECT_EQ(o.FrameHeight, settings.height);
            EXPECT_NEAR(double(o.FrameRate.Num) / o.FrameRate.Den, av_q2d(settings.frameRate), 0.01);
            const double display = double(settings.width) * av_q2d(settings.sampleAspect) / settings.height;
            EXPECT_NEAR(o.FrameAspectRatio, display, 1e-4);
        }
        if (!settings.audioCodec.empty()) {
            EXPECT_EQ(o.AudioSampleRate, settings.sampleRate);
            EXPECT_EQ(o.AudioChannels, settings.channels);
        }
        EXPECT_NEAR(Engine->TotalOutputDuration(), settings.duration * 1000, 700);
        // One forced-decoder slot per stream that is not data.
        EXPECT_EQ(Engine->InputCodecs.size(), size_t(CountStreams(ic, AVMEDIA_TYPE_VIDEO) +
                                                     CountStreams(ic, AVMEDIA_TYPE_AUDIO) +
                                                     CountStreams(ic, AVMEDIA_TYPE_SUBTITLE)));
    }
    // The 4:3 DVD frame: 720x480 with sample aspect 8/9.
    Engine->ResetEngine();
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("dvd_4x3.mpg")));
    EXPECT_NEAR(Engine->Options.FrameAspectRatio, 1.3333, 1e-4);
}

TEST_F(MediaFilesTest, BadInputsGiveTheirMessagesAndAddNothing) {
    const std::string missing = Dir / "missing.avi";
    const std::string empty = Dir / "empty.mp4";
    const std::string text = Dir / "notes.avi";
    const std::string truncated = Dir / "truncated.mp4";
    std::ofstream(empty).close();
    std::ofstream(text) << "This is a shopping list, not a film.\n";
    const auto source = FixturePath("mp4_h264_aac.mp4");
    fs::copy_file(source, truncated);
    fs::resize_file(truncated, fs::file_size(source) * 3 / 10);

    struct {
        std::string Name;
        std::string Message;
    } cases[] = {{missing, missing + ": no such file or directory"},
                 {empty, empty + ": Unknown format (moov atom not found)"},
                 {text, text + ": Unknown format"},
                 {truncated, truncated + ": Unknown format (moov atom not found)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Set("vcodec", "h264");
        EXPECT_FALSE(Engine->OpenInputFile(c.Name));
        EXPECT_EQ(Engine->LastError(), c.Message);
        EXPECT_EQ(Engine->InputFileCount(), 0);
        EXPECT_TRUE(Engine->Options.VideoCodecName.empty()); // per-file options reset anyway
    }

    // A forced decoder must exist and be of the right kind.
    Set("vcodec", "libx264"); // an encoder only
    EXPECT_FALSE(Engine->OpenInputFile(source));
    EXPECT_EQ(Engine->LastError(), "Unknown decoder 'libx264'");
    Set("acodec", "h264");
    EXPECT_FALSE(Engine->OpenInputFile(source));
    EXPECT_EQ(Engine->LastError(), "Invalid decoder type 'h264'");
    EXPECT_EQ(Engine->InputFileCount(), 0);
}

TEST_F(MediaFilesTest, StartTimeSeeksAndBecomesTheNegativeOffset) {
    Set("ss", "1");
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    EXPECT_EQ(Engine->Options.InputStartTime, 0);
    EXPECT_EQ(Engine->InputTsOffsets[0], -1000000);
    Set("ss", "1");
    Set("copyts", "1");
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    EXPECT_EQ(Engine->InputTsOffsets[1], 0);

    // A longer expected duration stays; a shorter one is raised to the file's.
    Engine->ResetEngine();
    Set("t", "60");
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    EXPECT_EQ(Engine->TotalOutputDuration(), 60000);
}

TEST_F(MediaFilesTest, NamesTheFormatLibraryWouldMisreadOpenAndCanBeWritten) {
    fs::create_directory(Dir.Path() / "with blanks here");
    for (std::string name : {"Été vidéo – 東京.mp4", "clip:1.mp4", "with blanks here/a b.mp4"}) {
        SCOPED_TRACE(name);
        const std::string path = Dir / name;
        fs::copy_file(FixturePath("mp4_h264_aac.mp4"), path);
        Engine->ResetEngine();
        ASSERT_TRUE(Engine->OpenInputFile(path)) << Engine->LastError();
        const std::string out = Dir / ("out " + name.substr(name.rfind('/') + 1));
        EXPECT_EQ(Engine->OpenOutputFile(out + ".mkv"), 1) << Engine->LastError();
        EXPECT_TRUE(fs::exists(out + ".mkv"));
        Engine->ReleaseResources(); // nothing was written: the empty file goes
        EXPECT_FALSE(fs::exists(out + ".mkv"));
    }
}

TEST_F(MediaFilesTest, ADvdOutputHasTheStreamsAndMuxingValuesAskedFor) {
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    for (auto [n, v] : {std::pair{"f", "dvd"}, {"vcodec", "mpeg2video"}, {"s", "720x576"},
                        {"r", "25"}, {"b", "6000000"}, {"maxrate", "9000000"},
                        {"bufsize", "1835008"}, {"g", "15"}, {"packetsize", "2048"},
                        {"muxrate", "10080000"}, {"acodec", "mp2"}, {"ar", "48000"},
                        {"ac", "2"}, {"ab", "224000"}, {"aspect", "4:3"}})
        Set(n, v);
    const std::string out = Dir / "Movies0.mpg";
    ASSERT_EQ(Engine->OpenOutputFile(out), 1) << Engine->LastError();
    AVFormatContext* oc = Output();
    EXPECT_STREQ(oc->oformat->name, "dvd");
    ASSERT_EQ(oc->nb_streams, 2u);
    AVCodecContext* v = OutputCodec(0);
    AVCodecContext* a = OutputCodec(1);
    EXPECT_EQ(v->codec_id, AV_CODEC_ID_MPEG2VIDEO);
    EXPECT_EQ(v->width, 720);
    EXPECT_EQ(v->height, 576);
    EXPECT_EQ(v->time_base.num, 1);
    EXPECT_EQ(v->time_base.den, 25);
    EXPECT_EQ(v->bit_rate, 6000000);
    EXPECT_EQ(v->rc_max_rate, 9000000);
    EXPECT_EQ(v->rc_buffer_size, 1835008);
    EXPECT_EQ(v->rc_initial_buffer_occupancy, 1835008 * 3 / 4);
    EXPECT_EQ(v->gop_size, 15);
    EXPECT_EQ(v->pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(v->sample_aspect_ratio.num, 16);
    EXPECT_EQ(v->sample_aspect_ratio.den, 15);
    EXPECT_EQ(a->codec_id, AV_CODEC_ID_MP2);
    EXPECT_EQ(a->sample_rate, 48000);
    EXPECT_EQ(a->ch_layout.nb_channels, 2);
    EXPECT_EQ(a->sample_fmt, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(a->bit_rate, 224000);
    EXPECT_EQ(oc->packet_size, 2048u);
    EXPECT_EQ(oc->max_delay, 700000);
    // The MPEG muxers' own options wait for the header.
    AVDictionary* muxer = Engine->OutputFiles[0]->MuxerOptions.get();
    ASSERT_NE(ff::av_dict_get(muxer, "muxrate", nullptr, 0), nullptr);
    EXPECT_STREQ(ff::av_dict_get(muxer, "muxrate", nullptr, 0)->value, "10080000");
    EXPECT_STREQ(ff::av_dict_get(muxer, "preload", nullptr, 0)->value, "500000");
    // The per-output options were used up.
    EXPECT_TRUE(Engine->Options.VideoCodecName.empty());
    EXPECT_EQ(Engine->Options.OutputFormat, nullptr);
}

TEST_F(MediaFilesTest, StreamChoiceFollowsTheInputsAndTheDisableFlags) {
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_no_audio.mp4")));
    ASSERT_EQ(Engine->OpenOutputFile(Dir / "a.mpg"), 1) << Engine->LastError();
    EXPECT_EQ(Output()->nb_streams, 1u); // the format's default audio codec finds no audio

    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    Set("an", "1");
    ASSERT_EQ(Engine->OpenOutputFile(Dir / "b.mpg"), 2) << Engine->LastError();
    EXPECT_EQ(CountStreams(Output(1), AVMEDIA_TYPE_AUDIO), 0);
    EXPECT_FALSE(Engine->Options.AudioDisable);

    Set("vcodec", "nosuchencoder");
    EXPECT_EQ(Engine->OpenOutputFile(Dir / "c.mpg"), -1);
    EXPECT_EQ(Engine->LastError(), "new_video_stream fail: Unknown encoder 'nosuchencoder'");
    EXPECT_EQ(Engine->OpenOutputFile(Dir / "d.qqq"), -1);
    EXPECT_EQ(Engine->LastError(),
              "Unable to find a suitable output format for '" + (Dir / "d.qqq") + "'");
    EXPECT_EQ(Engine->OutputFileCount(), 2);
}

TEST_F(MediaFilesTest, AspectMetadataAndHeaderFlags) {
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    struct {
        const char* Aspect;
        AVRational Sar;
    } aspects[] = {{"16:9", {32, 27}}, {"4:3", {8, 9}}};
    for (const auto& c : aspects) {
        Set("vcodec", "mpeg2video");
        Set("s", "720x480");
        Set("aspect", c.Aspect);
        ASSERT_GT(Engine->OpenOutputFile(Dir / (std::string("sar") + c.Aspect[0] + ".mpg")), 0);
        const AVRational sar = OutputCodec(0, Engine->OutputFileCount() - 1)->sample_aspect_ratio;
        EXPECT_EQ(sar.num, c.Sar.num) << c.Aspect;
        EXPECT_EQ(sar.den, c.Sar.den) << c.Aspect;
    }

    Set("metadata", "title=first");
    Set("metadata", "title=second");
    Set("metadata", "comment=kept");
    ASSERT_GT(Engine->OpenOutputFile(Dir / "meta.mkv"), 0);
    AVFormatContext* oc = Output(Engine->OutputFileCount() - 1);
    // Applied from the last pair to the first: the first one given wins.
    EXPECT_STREQ(ff::av_dict_get(oc->metadata, "title", nullptr, 0)->value, "first");
    EXPECT_STREQ(ff::av_dict_get(oc->metadata, "comment", nullptr, 0)->value, "kept");
    EXPECT_TRUE(Engine->Options.Metadata.empty());

    Set("vcodec", "mpeg4");
    ASSERT_GT(Engine->OpenOutputFile(Dir / "global.mp4"), 0); // mp4 wants global headers
    EXPECT_TRUE(OutputCodec(0, Engine->OutputFileCount() - 1)->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    Set("vcodec", "mpeg4");
    Set("vglobal", "2");
    ASSERT_GT(Engine->OpenOutputFile(Dir / "local.mp4"), 0);
    AVCodecContext* local = OutputCodec(0, Engine->OutputFileCount() - 1);
    EXPECT_TRUE(local->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER);
    EXPECT_FALSE(local->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
}

TEST_F(MediaFilesTest, FilterAndGeometryConflictsAreRefused) {
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    const std::string pad = "Cannot enable pad options and the filters which resize frame at the "
                            "same time. (crop, rotate, scale, transpose, etc.)";
    Set("vfilters", "scale=320:240,hflip");
    Set("padtop", "8");
    EXPECT_EQ(Engine->OpenOutputFile(Dir / "p.mpg"), -1);
    EXPECT_EQ(Engine->LastError(), pad);
    Set("vfilters", "hflip");
    EXPECT_GT(Engine->OpenOutputFile(Dir / "q.mpg"), 0) << Engine->LastError();
    EXPECT_TRUE(Engine->FiltersActive());
    Set("croptop", "8");
    EXPECT_EQ(Engine->OpenOutputFile(Dir / "r.mpg"), -1);
    EXPECT_EQ(Engine->LastError(), "Cannot enable crop options and filters at the same time.");
}

TEST_F(MediaFilesTest, OutputsThatCannotBeWrittenOrWouldDestroyAnInput) {
    const std::string input = Dir / "in.mp4";
    fs::copy_file(FixturePath("mp4_h264_aac.mp4"), input);
    const auto size = fs::file_size(input);
    ASSERT_TRUE(Engine->OpenInputFile(input));

    const std::string noFolder = Dir / "no/such/folder/out.mpg";
    EXPECT_EQ(Engine->OpenOutputFile(noFolder), -1);
    EXPECT_EQ(Engine->LastError(), "Could not open '" + noFolder + "'");
    const std::string underAFile = input + "/out.mpg";
    EXPECT_EQ(Engine->OpenOutputFile(underAFile), -1);
    EXPECT_EQ(Engine->LastError(), "Could not open '" + underAFile + "'");

    Set("f", "mp4");
    EXPECT_EQ(Engine->OpenOutputFile(input), -1);
    EXPECT_NE(Engine->LastError().find("is also an input file"), std::string::npos);
    EXPECT_EQ(fs::file_size(input), size); // not truncated
    EXPECT_EQ(Engine->OutputFileCount(), 0);
}

TEST_F(MediaFilesTest, JoiningThreeInputsSharesOneOutput) {
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    ASSERT_EQ(Engine->OpenOutputFile(Dir / "joined.mkv", true), 3) << Engine->LastError();
    EXPECT_TRUE(Engine->JoinMode());
    EXPECT_EQ(Engine->OutputFiles[0], Engine->OutputFiles[1]);
    EXPECT_EQ(Engine->OutputFiles[1], Engine->OutputFiles[2]);
    EXPECT_NEAR(Engine->TotalOutputDuration(), 6000, 100);
    EXPECT_EQ(Engine->OpenOutputFile(Dir / "second.mkv"), -1);
    EXPECT_EQ(Engine->LastError(), "Cannot join more than one output file.");
    Engine->ReleaseResources();
    EXPECT_FALSE(fs::exists(Dir / "joined.mkv"));
}

TEST_F(MediaFilesTest, NewStreamOptionsAddToTheLastOutput) {
    ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mp4_h264_aac.mp4")));
    ASSERT_EQ(Engine->OpenOutputFile(Dir / "n.mkv"), 1);
    const unsigned before = Output()->nb_streams;
    Set("acodec", "libvorbis");
    Set("alang", "deu");
    Set("newaudio", "");
    ASSERT_EQ(Output()->nb_streams, before + 1);
    AVStream* st = Output()->streams[before];
    EXPECT_STREQ(ff::av_dict_get(st->metadata, "language", nullptr, 0)->value, "deu");
    EXPECT_TRUE(Engine->Options.AudioLanguage.empty());
}
