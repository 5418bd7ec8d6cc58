#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <regex>

#include "Engine/FFmpeg.h"
#include "Engine/OptionValues.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"
#include "Platform/MainThread.h"

#include "TestUtils.h"

using namespace qm;

namespace {

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
        GetLogger().SetLogLevel(llInfo);
        GetLogger().SetOnLog([this](const void*, uint32_t, TLogLevel, const std::string& line) {
            Lines.push_back(line);
        });
        Engine = std::make_unique<TCustomFFmpeg>();
        Engine->ResetEngine();
    }
    void TearDown() override { GetLogger().SetOnLog(nullptr); }

    // The message of whatever SetOption throws, or "" when it does not throw.
    std::string ErrorOf(const std::string& name, const std::string& value) {
        try {
            Engine->SetOption(name, value);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }
    bool Logged(const std::string& text) const {
        return std::find(Lines.begin(), Lines.end(), text) != Lines.end();
    }

    std::unique_ptr<TCustomFFmpeg> Engine;
    std::vector<std::string> Lines;
};

} // namespace

TEST_F(OptionsTest, ValueKindsConvertOrFailWithTheirMessages) {
    struct {
        const char* Name;
        const char* Value;
        const char* Error; // "" when the value is taken
        std::function<bool(const TOptionSet&)> Check;
    } cases[] = {
        // integers
        {"vdt", " 12", "", [](const TOptionSet& o) { return o.VideoDiscard == 12; }},
        {"vdt", "+5", "", [](const TOptionSet& o) { return o.VideoDiscard == 5; }},
        {"vdt", "-3", "", [](const TOptionSet& o) { return o.VideoDiscard == -3; }},
        {"vdt", "$1F", "", [](const TOptionSet& o) { return o.VideoDiscard == 31; }},
        {"vdt", "x10", "", [](const TOptionSet& o) { return o.VideoDiscard == 16; }},
        {"vdt", "0X10", "", [](const TOptionSet& o) { return o.VideoDiscard == 16; }},
        {"vdt", "12a", "'12a' is not a valid integer value", nullptr},
        {"vdt", "12 ", "'12 ' is not a valid integer value", nullptr},
        {"vdt", "", "'' is not a valid integer value", nullptr},
        {"vdt", "2147483648", "'2147483648' is not a valid integer value", nullptr},
        {"fs", "5000000000", "", [](const TOptionSet& o) { return o.LimitFileSize == 5000000000; }},
        {"fs", "1.5", "'1.5' is not a valid integer value", nullptr},
        // floats
        {"adrift_threshold", " 1.5 ", "",
         [](const TOptionSet& o) { return o.AudioDriftThreshold == 1.5f; }},
        {"dts_delta_threshold", "-2e1", "",
         [](const TOptionSet& o) { return o.DtsDeltaThreshold == -20.0f; }},
        {"muxdelay", "abc", "'abc' is not a valid floating point value", nullptr},
        {"muxdelay", "inf", "'inf' is not a valid floating point value", nullptr},
        {"muxdelay", "", "'' is not a valid floating point value", nullptr},
        // flags: only "0" is false; set-flags ignore the value
        {"shortest", "0", "", [](const TOptionSet& o) { return !o.Shortest; }},
        {"shortest", "", "", [](const TOptionSet& o) { return o.Shortest; }},
        {"deinterlace", "no", "", [](const TOptionSet& o) { return o.Deinterlace; }},
        {"copyts", "0", "", [](const TOptionSet& o) { return o.CopyTimestamps; }},
        {"xerror", "0", "", [](const TOptionSet& o) { return o.ExitOnError; }},
        // stores with their own rules
        {"ar", "0", "", [](const TOptionSet& o) { return o.AudioSampleRate == 44100; }},
        {"ac", "-1", "", [](const TOptionSet& o) { return o.AudioChannels == 2; }},
        {"ar", "48000", "", [](const TOptionSet& o) { return o.AudioSampleRate == 48000; }},
        {"vol", "-5", "", [](const TOptionSet& o) { return o.VolumeScale == -5; }},
        {"programid", "-7", "", [](const TOptionSet& o) { return o.ProgramId == -7; }},
        {"vframes", "10", "", [](const TOptionSet& o) { return o.MaxFrames[fsVideo] == 10; }},
        {"aframes", "3", "", [](const TOptionSet& o) { return o.MaxFrames[fsAudio] == 3; }},
        {"vfilters", "", "", [](const TOptionSet& o) { return o.VideoFilters.empty(); }},
        {"vfilters", "hflip", "", [](const TOptionSet& o) { return o.VideoFilters == "hflip"; }},
        {"tvstd", "PAL", "", [](const TOptionSet& o) { return o.VideoStandard == "PAL"; }},
        // durations and dates
        {"t", "1.5", "", [](const TOptionSet& o) { return o.RecordingTime == 1500000; }},
        {"ss", "-2", "", [](const TOptionSet& o) { return o.InputStartTime == -2000000; }},
        {"itsoffset", "00:01:02.5", "",
         [](const TOptionSet& o) { return o.InputTsOffset == 62500000; }},
        {"t", "abc", "Invalid duration specification for t: abc", nullptr},
        {"timestamp", "1970-01-02 00:00:00Z", "",
         [](const TOptionSet& o) { return o.RecordingTimestamp == 86400; }},
        {"timestamp", "never", "Invalid date specification for timestamp: never", nullptr},
        // frame rates: decimals, ratios and the library's names
        {"r", "29.97", "", [](const TOptionSet& o) { return o.FrameRate == TRational32{2997, 100}; }},
        {"r", "23.976", "", [](const TOptionSet& o) { return o.FrameRate == TRational32{2997, 125}; }},
        {"r", "24000:1001", "", [](const TOptionSet& o) { return o.FrameRate == TRational32{24000, 1001}; }},
        {"r", "ntsc", "", [](const TOptionSet& o) { return o.FrameRate == TRational32{30000, 1001}; }},
        {"r", "29,97", "Incorrect frame rate", nullptr},
        {"r", "0", "Incorrect frame rate", nullptr},
        {"r", "-25", "Incorrect frame rate", nullptr},
        {"r", "25/0", "Incorrect frame rate", nullptr},
        {"muxdelay", "0,7", "'0,7' is not a valid floating point value", nullptr},
    };
    // The same in a locale whose C library writes a decimal comma.
    for (const char* locale : {"C", test::CommaLocale}) {
        test::TScopedLocale scoped(locale);
        ASSERT_TRUE(scoped.Active()) << locale << " is not generated (scripts/install-deps.sh does it)";
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(locale) + ": " + c.Name + " = '" + c.Value + "'");
            Engine->ResetOptions();
            EXPECT_EQ(ErrorOf(c.Name, c.Value), c.Error);
            if (c.Check) {
                EXPECT_TRUE(c.Check(Engine->Options));
            }
        }
    }
}

TEST_F(OptionsTest, RecordingTimeSetsTheExpectedDurationOnlyWhenPositive) {
    EXPECT_EQ(ErrorOf("t", "0"), "");
    EXPECT_EQ(ErrorOf("t", "-3"), "");
    EXPECT_EQ(Engine->Options.RecordingTime, INT64_MAX);
    EXPECT_EQ(Engine->TotalOutputDuration(), -1);
    Engine->SetOption("t", "2.25");
    EXPECT_EQ(Engine->TotalOutputDuration(), 2250);
    Engine->SetRecordingTimeMs(0);
    EXPECT_EQ(Engine->TotalOutputDuration(), 2250);
    Engine->SetRecordingTimeMs(4000);
    EXPECT_EQ(Engine->Options.RecordingTime, 4000000);
}

TEST_F(OptionsTest, IgnoredRefusedAndHookNames) {
    for (const char* name : {"i", "y", "L", "benchmark"}) {
        EXPECT_EQ(ErrorOf(name, "whatever"), "");
        EXPECT_TRUE(Logged(std::string("Do nothing: option - ") + name)) << name;
    }
    EXPECT_EQ(Engine->Options.ThreadCount, 1);
    EXPECT_EQ(ErrorOf("threads", "2"), "");
    EXPECT_EQ(Engine->Options.ThreadCount, 2);
    EXPECT_EQ(ErrorOf("threads", "0"), "");
    EXPECT_EQ(Engine->Options.ThreadCount, std::max(1, int(std::thread::hardware_concurrency())));
    EXPECT_EQ(ErrorOf("threads", "-1"), "Incorrect thread count: -1");
    EXPECT_EQ(ErrorOf("vhook", "no-such-hook.so"), "Failed to add video hook function: no-such-hook.so");
    EXPECT_FALSE(Engine->Options.UsingFrameHooks);
    EXPECT_EQ(ErrorOf("vhook", "libinvert.so"), ""); // a bare name is found beside the program
    EXPECT_TRUE(Engine->Options.UsingFrameHooks);
    for (const char* name : {"newvideo", "newaudio", "newsubtitle"})
        EXPECT_EQ(ErrorOf(name, ""), "At least one output file must be specified");
    // Settings the media libraries no longer have are refused when turned on, instead of
    // encoding some other way ("sameq" gave quantiser 0).
    for (const char* name : {"sameq", "me_threshold"}) {
        EXPECT_EQ(ErrorOf(name, "1"),
                  std::string("Option ") + name + " is not available: the media libraries have no such setting");
        EXPECT_EQ(ErrorOf(name, "0"), "");
    }

    // Neither the table nor a library knows it: nothing happens, nothing is said.
    Lines.clear();
    EXPECT_EQ(ErrorOf("no_such_option_anywhere", "12"), "");
    EXPECT_TRUE(Lines.empty());
    EXPECT_FALSE(TCustomFFmpeg::IsTableOption("no_such_option_anywhere"));
    EXPECT_TRUE(TCustomFFmpeg::IsTableOption("spre"));
}

TEST_F(OptionsTest, FormatsAndPgmyuv) {
    Engine->SetOption("f", "dvd");
    EXPECT_NE(Engine->Options.OutputFormat, nullptr);
    EXPECT_STREQ(Engine->Options.OutputFormat->name, "dvd");
    Engine->SetOption("f", "matroska");
    EXPECT_NE(Engine->Options.InputFormat, nullptr);
    EXPECT_EQ(ErrorOf("f", "nosuch"), "Unknown input or output format: nosuch");

    Engine->SetOption("f", "pgmyuv");
    EXPECT_TRUE(Logged("pgmyuv format is deprecated, use image2"));
    EXPECT_EQ(Engine->Options.PgmyuvCompat, 1);
    EXPECT_STREQ(Engine->Options.InputFormat->name, "image2");
    EXPECT_STREQ(Engine->Options.OutputFormat->name, "image2");

    EXPECT_THROW(Engine->SetInputFormat("nosuch"), FFmpegException);
    try {
        Engine->SetOutputFormat("nosuch");
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Unknown output format: nosuch");
    }
}

TEST_F(OptionsTest, StreamAndMetadataMaps) {
    struct {
        const char* Value;
        TStreamMap Expected;
    } maps[] = {{"0:1", {0, 1, 0, 1}},     {"1:0:0:2", {1, 0, 0, 2}}, {"2", {2, 0, 2, 0}},
                {"", {0, 0, 0, 0}},        {"0x1:010", {1, 8, 1, 8}}, {"3.2,1.0", {3, 2, 1, 0}}};
    for (const auto& m : maps) {
        Engine->SetOption("map", m.Value);
        EXPECT_EQ(Engine->Options.StreamMaps.back(), m.Expected) << m.Value;
    }
    Engine->SetOption("map_meta_data", "1:0");
    EXPECT_EQ(Engine->Options.MetadataMaps.back(), (TMetadataMap{1, 0}));

    // The tables have fixed capacities: the next entry is refused instead of written past.
    while (Engine->Options.StreamMaps.size() < MaxStreamMaps)
        Engine->SetOption("map", "0:0");
    EXPECT_EQ(ErrorOf("map", "0:0"), "Too many stream mappings: at most 400 are possible");
    while (Engine->Options.MetadataMaps.size() < MaxMetadataMaps)
        Engine->SetOption("map_meta_data", "0:0");
    EXPECT_EQ(ErrorOf("map_meta_data", "0:0"),
              "Too many metadata mappings: at most 20 are possible");
}

TEST_F(OptionsTest, CodecsTagsBitRatesAndBitstreamFilters) {
    auto& o = Engine->Options;
    Engine->SetOption("vcodec", "copy");
    EXPECT_TRUE(o.VideoCodecName.empty());
    EXPECT_EQ(o.VideoStreamCopy, 1);
    Engine->SetOption("vcodec", "mpeg2video");
    EXPECT_EQ(o.VideoCodecName, "mpeg2video");
    EXPECT_EQ(o.VideoStreamCopy, 1);
    Engine->SetOption("acodec", "mp2");
    Engine->SetOption("scodec", "copy");
    EXPECT_EQ(o.AudioCodecName, "mp2");
    EXPECT_EQ(o.SubtitleStreamCopy, 1);
    Engine->SetOption("acodec", "");
    EXPECT_EQ(o.AudioCodecName, "mp2");

    Engine->SetOption("vtag", "DX50");
    EXPECT_EQ(o.VideoCodecTag, 0x30355844u);
    Engine->SetOption("stag", "abcd");
    EXPECT_EQ(o.SubtitleCodecTag, 0x64636261u);
    for (auto [name, kind] : {std::pair{"vtag", "video"}, {"atag", "audio"}, {"stag", "subtitle"}})
        EXPECT_EQ(ErrorOf(name, "abc").rfind(std::string(kind) + " tag parameter must be 4 chars", 0),
                  0u)
            << name;
    EXPECT_THROW(Engine->SetOption("vtag", "abcde"), EAssertionFailed);

    const std::string lowRate =
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
    Engine->SetOption("b", "800000");
    EXPECT_FALSE(Logged(lowRate));
    Engine->SetOption("b", "800");
    EXPECT_TRUE(Logged(lowRate));
    Lines.clear();
    Engine->SetOption("ab", "500");
    EXPECT_TRUE(Logged(lowRate));

    Engine->SetOption("vbsf", "=dump_extra");
    EXPECT_TRUE(o.VideoBitstreamFilters.empty());
    Engine->SetOption("vbsf", "dump_extra=freq=k");
    Engine->SetOption("vbsf", "null");
    ASSERT_EQ(o.VideoBitstreamFilters.size(), 2u);
    EXPECT_STREQ(o.VideoBitstreamFilters[0]->name, "dump_extra");
    Engine->SetOption("absf", "null");
    Engine->SetOption("sbsf", "null");
    EXPECT_EQ(o.AudioBitstreamFilters.size(), 1u);
    EXPECT_EQ(o.SubtitleBitstreamFilters.size(), 1u);
    EXPECT_EQ(ErrorOf("vbsf", " nosuch "), "Unknown bitstream filter nosuch");
}

TEST_F(OptionsTest, PictureOptions) {
    auto& o = Engine->Options;
    Engine->SetOption("s", "720x576");
    EXPECT_EQ(o.FrameWidth, 720);
    EXPECT_EQ(o.FrameHeight, 576);
    EXPECT_EQ(ErrorOf("s", "719x480"), "Frame size must be a multiple of 2");
    EXPECT_EQ(o.FrameWidth, 719);
    EXPECT_EQ(ErrorOf("s", "huge"), "Incorrect frame size");
    Engine->SetOption("s", "pal");
    EXPECT_EQ(o.FrameWidth, 720);

    Engine->SetOption("r", "25");
    EXPECT_EQ(o.FrameRate, (TRational32{25, 1}));
    Engine->SetOption("r", "30000/1001");
    EXPECT_EQ(o.FrameRate, (TRational32{30000, 1001}));
    EXPECT_EQ(ErrorOf("r", "fast"), "Incorrect frame rate");

    Engine->SetOption("aspect", "16:9");
    EXPECT_EQ(o.FrameAspectRatio, 16.0f / 9.0f);
    Engine->SetOption("aspect", "1.5");
    EXPECT_EQ(o.FrameAspectRatio, 1.5f);
    Engine->SetOption("aspect", "-4:3");
    EXPECT_EQ(o.FrameAspectRatio, -4.0f / 3.0f);
    for (const char* bad : {"4:0", "0", "x:y", "wide"})
        EXPECT_EQ(ErrorOf("aspect", bad), "Incorrect aspect ratio specification.") << bad;

    Engine->SetOption("pix_fmt", "yuv422p");
    EXPECT_EQ(o.FramePixelFormat, AV_PIX_FMT_YUV422P);
    EXPECT_EQ(ErrorOf("pix_fmt", ""), "Unknown pixel format requested: ");
    EXPECT_EQ(o.FramePixelFormat, -1);
    Lines.clear();
    Engine->SetOption("pix_fmt", "list");
    EXPECT_GT(Lines.size(), 60u);
    EXPECT_EQ(o.FramePixelFormat, -1);

    Engine->SetOption("qscale", "255");
    Engine->SetOption("qscale", "0.5");
    EXPECT_EQ(o.VideoQscale, 0.5f);
    for (const char* bad : {"0", "256", "-1"})
        EXPECT_EQ(ErrorOf("qscale", bad), "qscale must be > 0.0 and <= 255") << bad;
    Engine->SetOption("pass", "2");
    EXPECT_EQ(o.Pass, 2);
    EXPECT_EQ(ErrorOf("pass", "3"), "pass number can be only 1 or 2");
}

TEST_F(OptionsTest, CroppingWorksOnTheCurrentSizeAndPaddingIgnoresNegatives) {
    auto& o = Engine->Options;
    const std::string vertical = "Vertical crop dimensions are outside the range of the original "
                                 "image.\nRemember to crop first and scale second.";
    const std::string horizontal = "Horizontal crop dimensions are outside the range of the "
                                   "original image.\nRemember to crop first and scale second.";
    EXPECT_EQ(ErrorOf("croptop", "1"), vertical); // no size known yet
    Engine->SetOption("s", "720x576");
    EXPECT_EQ(ErrorOf("croptop", "576"), vertical);
    Engine->SetOption("croptop", "16");
    EXPECT_EQ(o.CropTop, 16);
    EXPECT_EQ(o.FrameHeight, 560);
    Engine->SetOption("croptop", "-4");
    EXPECT_EQ(o.FrameHeight, 560);
    Engine->SetOption("croptop", "8"); // replaces the amount, subtracts again
    EXPECT_EQ(o.CropTop, 8);
    EXPECT_EQ(o.FrameHeight, 552);
    EXPECT_EQ(ErrorOf("cropright", "720"), horizontal);
    Engine->SetOption("cropleft", "20");
    EXPECT_EQ(o.FrameWidth, 700);

    Engine->SetOption("padtop", "10");
    Engine->SetOption("padtop", "-1");
    Engine->SetOption("padright", "6");
    EXPECT_EQ(o.PadTop, 10);
    EXPECT_EQ(o.PadRight, 6);

    struct {
        const char* Value;
        TYUVColor Expected;
    } colours[] = {{"0", {0, 128, 128}},
                   {"16777215", {255, 128, 128}},
                   {"16711680", {29, 255, 107}},
                   {"$FF", {76, 85, 255}},
                   {"-16777216", {0, 128, 128}}};
    for (const auto& c : colours) {
        Engine->SetOption("padcolor", c.Value);
        EXPECT_EQ(o.PadColor, c.Expected) << c.Value;
    }
}

TEST_F(OptionsTest, QuantiserMatricesAndRateControlOverrides) {
    std::string values;
    for (int i = 0; i < 64; ++i)
        values += (i ? "," : "") + std::to_string(i + 1);
    Engine->SetOption("intra_matrix", values);
    ASSERT_TRUE(Engine->Options.IntraMatrix);
    EXPECT_EQ((*Engine->Options.IntraMatrix)[0], 1);
    EXPECT_EQ((*Engine->Options.IntraMatrix)[63], 64);

    const std::string short63 = values.substr(0, values.rfind(','));
    EXPECT_EQ(ErrorOf("inter_matrix", short63),
              "Syntax error in matrix \"" + short63 + "\" at coeff 62");
    EXPECT_EQ((*Engine->Options.InterMatrix)[62], 63);
    EXPECT_EQ((*Engine->Options.InterMatrix)[63], 0);
    Engine->SetOption("inter_matrix", " 70000, -1" + values.substr(values.find(',', 3)));
    EXPECT_EQ((*Engine->Options.InterMatrix)[0], 70000 & 0xffff);
    EXPECT_EQ((*Engine->Options.InterMatrix)[1], 0xffff);

    EXPECT_EQ(ParseRcOverride("0,100,2/101,200,-50"),
              (std::vector<TRcOverrideEntry>{{0, 100, 2, 1.0f}, {101, 200, 0, 0.5f}}));
    EXPECT_EQ(ParseRcOverride("0,100,-50/101,200,2")[0], (TRcOverrideEntry{0, 100, 0, 0.5f}));
    for (const char* bad : {"10", "", "1,2", "a,2,3"}) {
        try {
            ParseRcOverride(bad);
            ADD_FAILURE() << bad;
        } catch (const FFmpegException& e) {
            EXPECT_STREQ(e.what(), "error parsing rc_override");
        }
    }
    Engine->SetOption("rc_override", "");
    EXPECT_TRUE(Engine->Options.HasRcOverride);
}

TEST_F(OptionsTest, AudioMetadataScalesAndStatisticsFile) {
    auto& o = Engine->Options;
    Engine->SetOption("metadata", "title=My film");
    Engine->SetOption("metadata", "a=b=c");
    Engine->SetOption("metadata", "=x");
    EXPECT_EQ(ErrorOf("metadata", "title"), "Missing =");
    using TPair = std::pair<std::string, std::string>;
    EXPECT_EQ(o.Metadata, (std::vector<TPair>{{"title", "My film"}, {"a", "b=c"}, {"", "x"}}));
    Engine->ResetOptions(); // pending metadata waits for the next output
    EXPECT_EQ(o.Metadata.size(), 3u);

    Engine->SetOption("itsscale", "1:0.5");
    EXPECT_EQ(o.InputTsScales[0][1], 0.5);
    Engine->SetOption("itsscale", "0x2:1e1");
    EXPECT_EQ(o.InputTsScales[0][2], 10.0);
    EXPECT_EQ(ErrorOf("itsscale", "20:2"), "stream index over MAX_STREAMS(20)");
    EXPECT_EQ(ErrorOf("itsscale", "-1:2"), "stream index over MAX_STREAMS(20)");

    Engine->SetOption("sample_fmt", "s16");
    EXPECT_EQ(o.AudioSampleFormat, AV_SAMPLE_FMT_S16);
    Lines.clear();
    Engine->SetOption("sample_fmt", "list");
    EXPECT_EQ(Lines.size(), size_t(AV_SAMPLE_FMT_NB) + 1); // heading + every format
    EXPECT_EQ(o.AudioSampleFormat, AV_SAMPLE_FMT_S16);
    Engine->SetOption("sample_fmt", "nosuch");
    EXPECT_EQ(o.AudioSampleFormat, AV_SAMPLE_FMT_NONE);

    Engine->SetOption("vstats", "ignored");
    EXPECT_TRUE(std::regex_match(o.VstatsFileName,
                                 std::regex(ProgramFolder() + "vstats_[0-2][0-9][0-5][0-9][0-6][0-9]\\.log")))
        << o.VstatsFileName;
    Engine->SetOption("vstats_file", "/tmp/v.log");
    EXPECT_EQ(o.VstatsFileName, "/tmp/v.log");

    Engine->SetOption("loglevel", "ERROR");
    EXPECT_EQ(GetLogger().LogLevel(), llError);
    Engine->SetOption("loglevel", "32");
    EXPECT_EQ(GetLogger().LogLevel(), llInfo);
    EXPECT_EQ(ErrorOf("loglevel", "loud"), "'loud' is not a valid integer value");
}

TEST_F(OptionsTest, TypedSettersAndResetToDefaults) {
    Engine->SetInputStartTime(0);
    Engine->SetProgramId(-1);
    Engine->SetVolumeScale(-1);
    Engine->SetMuxMaxDelay(0);
    Engine->SetMuxPreload(-1);
    const TOptionSet defaults;
    auto& o = Engine->Options;
    EXPECT_EQ(o.InputStartTime, defaults.InputStartTime);
    EXPECT_EQ(o.ProgramId, defaults.ProgramId);
    EXPECT_EQ(o.VolumeScale, 256);
    EXPECT_EQ(o.MuxMaxDelay, 0.7f);
    EXPECT_EQ(o.MuxPreload, 0.5f);
    Engine->SetInputStartTime(5);
    Engine->SetProgramId(3);
    Engine->SetVolumeScale(512);
    Engine->SetMuxMaxDelay(0.2f);
    Engine->SetMuxPreload(0.1f);
    EXPECT_EQ(o.InputStartTime, 5);
    EXPECT_EQ(o.VolumeScale, 512);
    EXPECT_TRUE(Engine->SetIntOption("g", 12));
    EXPECT_FALSE(Engine->SetIntOption("no_such_option_anywhere", 12));

    Engine->SetOption("s", "720x480");
    Engine->SetOption("vcodec", "copy");
    Engine->ResetOptions();
    EXPECT_EQ(o.FrameWidth, 0);
    EXPECT_EQ(o.VideoStreamCopy, 0);
    EXPECT_EQ(o.VolumeScale, 256);
    EXPECT_EQ(o.MuxPreload, 0.5f);
    EXPECT_EQ(o.MaxFrames[fsSubtitle], INT32_MAX);
    EXPECT_EQ(o.PadColor, (TYUVColor{16, 128, 128}));
    EXPECT_EQ(o.ScalerFlags, 4);
}
