#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/Targets.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"
#include "TestUtils.h"
#include <sys/stat.h>
#include <unistd.h>

using namespace qm;
using qm::fixtures::FixturePath;

namespace {

class TargetsTest : public ::testing::Test {
public:
    void SetUp() override {
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
        GetLogger().SetLogLevel(llVerbose);
        GetLogger().SetOnLog([this](const void*, uint32_t, TLogLevel, const std::string& line) {
            Lines.push_back(line);
        });
        Engine = std::make_unique<TCustomFFmpeg>();
        Fresh();
    }
    void TearDown() override {
        GetLogger().SetOnLog(nullptr);
        GetLogger().SetLogLevel(llInfo);
    }

    void Fresh() {
        Engine->ResetEngine();
        Lines.clear();
    }
    // The message of whatever the call throws, or "" when it does not throw.
    static std::string ErrorOf(const std::function<void()>& call) {
        try {
            call();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }
    std::string OptionError(const std::string& name, const std::string& value) {
        return ErrorOf([&] { Engine->SetOption(name, value); });
    }
    bool Logged(const std::string& text) const {
        return std::find(Lines.begin(), Lines.end(), text) != Lines.end();
    }
    int64_t Video(const char* name) const {
        return Engine->OptionContexts->CodecOptionInt(AVMEDIA_TYPE_VIDEO, name);
    }
    int64_t Audio(const char* name) const {
        return Engine->OptionContexts->CodecOptionInt(AVMEDIA_TYPE_AUDIO, name);
    }
    static std::string Entry(const AVDictionary* dict, const char* key) {
        const AVDictionaryEntry* e = ff::av_dict_get(dict, key, nullptr, AV_DICT_MATCH_CASE);
        return e ? e->value : "";
    }
    std::string PrivateFormat(const char* key) const {
        return Entry(Engine->OptionContexts->PrivateFormatOptions(), key);
    }
    std::string PrivateVideo(const char* key) const {
        return Entry(Engine->OptionContexts->PrivateCodecOptions(AVMEDIA_TYPE_VIDEO), key);
    }
    // 576 lines mean PAL, 480 NTSC; with the frame rate film is told from NTSC.
    std::string NormOfDvdTarget() const {
        const auto& o = Engine->Options;
        if (o.FrameHeight == 576 && o.FrameRate == TRational32{25, 1})
            return "pal";
        if (o.FrameHeight == 480 && o.FrameRate == TRational32{30000, 1001})
            return "ntsc";
        if (o.FrameHeight == 480 && o.FrameRate == TRational32{24000, 1001})
            return "film";
        return "?";
    }

    std::unique_ptr<TCustomFFmpeg> Engine;
    std::vector<std::string> Lines;
    test::TTempDir Dir;
};

std::string WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

} // namespace

TEST_F(TargetsTest, EveryTargetAndNormSetsItsValues) {
    struct {
        const char* Value;
        int W, H;
        TRational32 Rate;
        const char* VideoCodec;
        const char* AudioCodec;
        const char* Format;
        int64_t Gop, Bitrate, MaxRate, MinRate, BufSize, AudioBitrate;
        int SampleRate;
        int PacketSize;
        const char* MuxRate; // "" when not set
        float Preload;
        float Aspect;
        const char* PixFmt; // nullptr when not set
        bool ScanOffset;
    } cases[] = {
        {"pal-vcd", 352,       288,     {25, 1},  "mpeg1video", "mp2",  "vcd",
         15,        1150000,   1150000, 1150000,  327680,       224000, 44100,
         2324,      "1411200", 0.44f,   4.0f / 3, nullptr,      false},
        {"ntsc-vcd", 352,       240,     {30000, 1001}, "mpeg1video", "mp2",  "vcd",
         18,         1150000,   1150000, 1150000,       327680,       224000, 44100,
         2324,       "1411200", 0.44f,   4.0f / 3,      nullptr,      false},
        {"film-vcd", 352,       240,     {24000, 1001}, "mpeg1video", "mp2",  "vcd",
         18,         1150000,   1150000, 1150000,       327680,       224000, 44100,
         2324,       "1411200", 0.44f,   4.0f / 3,      nullptr,      false},
        {"pal-svcd", 480,     576,     {25, 1},  "mpeg2video", "mp2",  "svcd",
         15,         2040000, 2516000, 0,        1835008,      224000, 44100,
         2324,       "",      0.5f,    4.0f / 3, nullptr,      true},
        {"ntsc-svcd", 480,      480,     {30000, 1001}, "mpeg2video", "mp2", "svcd", 18,
         2040000,     2516000,  0,       1835008,       224000,       44100, 2324,   "",
         0.5f,        4.0f / 3, nullptr, true},
        {"film-svcd", 480,      480,     {24000, 1001}, "mpeg2video", "mp2", "svcd", 18,
         2040000,     2516000,  0,       1835008,       224000,       44100, 2324,   "",
         0.5f,        4.0f / 3, nullptr, true},
        {"pal-dvd", 720,        576,     {25, 1},   "mpeg2video", "ac3",  "dvd",
         15,        6000000,    9000000, 0,         1835008,      448000, 48000,
         2048,      "10080000", 0.5f,    16.0f / 9, nullptr,      false},
        {"ntsc-dvd", 720,       480,     {30000, 1001}, "mpeg2video", "ac3", "dvd", 18,
         6000000,    9000000,   0,       1835008,       448000,       48000, 2048,  "10080000",
         0.5f,       16.0f / 9, nullptr, false},
        {"film-dvd", 720,       480,     {24000, 1001}, "mpeg2video", "ac3", "dvd", 18,
         6000000,    9000000,   0,       1835008,       448000,       48000, 2048,  "10080000",
         0.5f,       16.0f / 9, nullptr, false},
        {"pal-dv", 720, 576, {25, 1}, "", "", "dv", 0, 0,         0,
         0,        0,   0,   48000,   0,  "", 0.5f, 0, "yuv420p", false},
        {"ntsc-dv", 720, 480, {30000, 1001}, "", "", "dv", 0, 0,         0,
         0,         0,   0,   48000,         0,  "", 0.5f, 0, "yuv411p", false},
        {"film-dv", 720, 480, {24000, 1001}, "", "", "dv", 0, 0,         0,
         0,         0,   0,   48000,         0,  "", 0.5f, 0, "yuv411p", false},
        {"pal-dv50", 720, 576, {25, 1}, "", "", "dv", 0, 0,         0,
         0,          0,   0,   48000,   0,  "", 0.5f, 0, "yuv422p", false},
        {"ntsc-dv50", 720, 480, {30000, 1001}, "", "", "dv", 0, 0,         0,
         0,           0,   0,   48000,         0,  "", 0.5f, 0, "yuv422p", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value);
        Fresh();
        ASSERT_EQ(OptionError("target", c.Value), "");
        const auto& o = Engine->Options;
        EXPECT_EQ(o.FrameWidth, c.W);
        EXPECT_EQ(o.FrameHeight, c.H);
        EXPECT_EQ(o.FrameRate, c.Rate);
        EXPECT_EQ(o.VideoCodecName, c.VideoCodec);
        EXPECT_EQ(o.AudioCodecName, c.AudioCodec);
        ASSERT_NE(o.OutputFormat, nullptr);
        EXPECT_STREQ(o.OutputFormat->name, c.Format);
        EXPECT_EQ(o.AudioSampleRate, c.SampleRate);
        EXPECT_EQ(o.AudioChannels, 2);
        EXPECT_FLOAT_EQ(o.MuxPreload, c.Preload);
        EXPECT_FLOAT_EQ(o.FrameAspectRatio, c.Aspect);
        if (c.PixFmt) {
            ASSERT_GE(o.FramePixelFormat, 0);
            EXPECT_STREQ(ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(o.FramePixelFormat)),
                         c.PixFmt);
            // No codec is named and no library option is set: the dv muxer decides.
            EXPECT_TRUE(Engine->OptionContexts->OptionNames().empty());
            continue;
        }
        EXPECT_EQ(Video("g"), c.Gop);
        EXPECT_EQ(Video("b"), c.Bitrate);
        EXPECT_EQ(Video("maxrate"), c.MaxRate);
        EXPECT_EQ(Video("minrate"), c.MinRate);
        EXPECT_EQ(Video("bufsize"), c.BufSize);
        // "b" now reaches the audio options too; the later "ab" must win there.
        EXPECT_EQ(Audio("b"), c.AudioBitrate);
        EXPECT_EQ(Engine->OptionContexts->FormatOptions()->packet_size, c.PacketSize);
        EXPECT_EQ(PrivateFormat("muxrate"), c.MuxRate);
        EXPECT_EQ(PrivateVideo("scan_offset"), c.ScanOffset ? "1" : "");
        // The old "+scan_offset" flag would be refused; the plain flags stay as they are.
        EXPECT_EQ(Video("flags"), 0);
    }
}

TEST_F(TargetsTest, ChannelsAspectAndLaterOptions) {
    struct {
        std::vector<std::pair<const char*, const char*>> Before;
        const char* Target;
        std::vector<std::pair<const char*, const char*>> After;
        int Channels;
        float Aspect;
        const char* AspectLine; // "" when none may be logged
    } cases[] = {
        {{{"ac", "1"}}, "pal-dvd", {}, 2, 16.0f / 9, "Assuming 16:9 for aspect ratio"},
        {{{"ac", "6"}}, "pal-dvd", {}, 6, 16.0f / 9, "Assuming 16:9 for aspect ratio"},
        {{{"ac", "1"}}, "ntsc-svcd", {}, 2, 4.0f / 3, "Assuming 4:3 for aspect ratio"},
        {{{"ac", "6"}}, "ntsc-svcd", {}, 6, 4.0f / 3, "Assuming 4:3 for aspect ratio"},
        {{{"ac", "6"}}, "pal-vcd", {}, 2, 4.0f / 3, "Assuming 4:3 for aspect ratio"},
        {{{"ac", "6"}}, "pal-dv", {}, 2, 0, ""},
        {{{"aspect", "4:3"}}, "pal-dvd", {}, 2, 4.0f / 3, ""},
        {{{"aspect", "16:9"}}, "ntsc-vcd", {}, 2, 16.0f / 9, ""},
        {{},
         "pal-dvd",
         {{"aspect", "4:3"}, {"ac", "1"}},
         1,
         4.0f / 3,
         "Assuming 16:9 for aspect ratio"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Target) + " with " + std::to_string(c.Before.size()) +
                     " options before and " + std::to_string(c.After.size()) + " after");
        Fresh();
        for (const auto& [name, value] : c.Before)
            Engine->SetOption(name, value);
        ASSERT_EQ(OptionError("target", c.Target), "");
        for (const auto& [name, value] : c.After)
            Engine->SetOption(name, value);
        EXPECT_EQ(Engine->Options.AudioChannels, c.Channels);
        EXPECT_FLOAT_EQ(Engine->Options.FrameAspectRatio, c.Aspect);
        const bool anyAspectLine =
            std::any_of(Lines.begin(), Lines.end(),
                        [](const std::string& l) { return l.find("for aspect ratio") != l.npos; });
        if (*c.AspectLine) {
            EXPECT_TRUE(Logged(c.AspectLine));
        } else {
            EXPECT_FALSE(anyAspectLine);
        }
    }

    // The application's way: its own values after the target's.
    Fresh();
    for (const auto& [name, value] :
         std::vector<std::pair<const char*, const char*>>{{"target", "pal-dvd"},
                                                          {"acodec", "mp2"},
                                                          {"ab", "224000"},
                                                          {"s", "352x288"},
                                                          {"vb", "2000000"}})
        Engine->SetOption(name, value);
    EXPECT_EQ(Engine->Options.AudioCodecName, "mp2");
    EXPECT_EQ(Engine->Options.FrameWidth, 352);
    EXPECT_EQ(Video("b"), 2000000);
    EXPECT_EQ(Audio("b"), 224000);
    EXPECT_EQ(Video("maxrate"), 9000000);
    EXPECT_STREQ(Engine->Options.OutputFormat->name, "dvd");
}

TEST_F(TargetsTest, NormFromTheFrameRate) {
    struct {
        TRational32 Rate;
        const char* Norm;
        const char* DefaultNorm;
        const char* Expected; // "pal", "ntsc", "film" or the error
        const char* Assumed;  // the norm logged, "" when nothing is logged
    } cases[] = {
        {{0, 0}, "auto", "ntsc", "frame_rate is invalid.", ""},
        {{25, 0}, "", "pal", "frame_rate is invalid.", ""},
        {{0, 0}, "pal", "ntsc", "pal", ""},
        {{0, 0}, "ntsc", "pal", "ntsc", ""},
        {{0, 0}, "film", "pal", "film", ""},
        {{0, 0}, "PAL", "ntsc", "frame_rate is invalid.", ""}, // exact comparison
        {{25, 1}, "auto", "ntsc", "pal", "PAL"},
        {{30000, 1001}, "auto", "pal", "ntsc", "NTSC"},
        {{2997, 100}, "auto", "pal", "ntsc", "NTSC"},
        {{24000, 1001}, "auto", "pal", "ntsc", "NTSC"}, // a film rate still gives NTSC
        {{23976, 1000}, "auto", "pal", "ntsc", "NTSC"},
        {{50001, 2000}, "auto", "ntsc", "pal", "PAL"},   // 25000.5 rounds to even
        {{59941, 2000}, "auto", "pal", "ntsc", "NTSC"},  // 29970.5
        {{50003, 2000}, "auto", "ntsc", "ntsc", "NTSC"}, // 25001.5 rounds up: undecided
        {{30, 1}, "auto", "ntsc", "ntsc", "NTSC"},
        {{30, 1}, "auto", "film", "film", "NTSC"},
        {{30, 1}, "auto", "pal", "pal", "PAL"},
        {{30, 1}, "auto", "anything", "pal", "PAL"},
        {{0, 1}, "auto", "ntsc", "ntsc", "NTSC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Rate.Num) + "/" + std::to_string(c.Rate.Den) + " norm '" +
                     c.Norm + "' default '" + c.DefaultNorm + "'");
        Fresh();
        Engine->Options.FrameRate = c.Rate;
        const std::string error = ErrorOf([&] { Engine->SetTarget("dvd", c.Norm, c.DefaultNorm); });
        const std::string expected = c.Expected;
        if (expected == "pal" || expected == "ntsc" || expected == "film") {
            EXPECT_EQ(error, "");
            EXPECT_EQ(NormOfDvdTarget(), expected);
        } else {
            EXPECT_EQ(error, expected);
        }
        if (*c.Assumed) {
            EXPECT_TRUE(Logged(std::string("Assuming ") + c.Assumed + " for target."));
        } else {
            EXPECT_TRUE(std::none_of(Lines.begin(), Lines.end(), [](const std::string& l) {
                return l.find("for target.") != l.npos;
            }));
        }
    }

    // The line needs a verbosity above 0; the decision does not.
    Fresh();
    Engine->SetOption("v", "0");
    Engine->SetOption("r", "25");
    ASSERT_EQ(OptionError("target", "dvd"), "");
    EXPECT_EQ(NormOfDvdTarget(), "pal");
    EXPECT_FALSE(Logged("Assuming PAL for target."));
    // The norm is decided before the type is looked at.
    Fresh();
    EXPECT_EQ(OptionError("target", "cd"), "frame_rate is invalid.");
    Engine->SetOption("r", "25");
    EXPECT_EQ(OptionError("target", "cd"), "Unknown target type");
}

TEST_F(TargetsTest, NormFromTheOpenedInputs) {
    struct {
        std::vector<const char*> Inputs;
        const char* Rate; // "r" given after opening, nullptr for none
        const char* DefaultNorm;
        const char* Expected;
    } cases[] = {
        // The input's frame rate decides first.
        {{"mpeg1_mp2.mpg"}, nullptr, "ntsc", "pal"},
        {{"vob_mpeg2_ac3.vob"}, nullptr, "pal", "ntsc"},
        {{"portrait_480x854.mp4"}, nullptr, "ntsc", "ntsc"}, // 30 fps: neither
        {{"portrait_480x854.mp4"}, nullptr, "pal", "pal"},
        {{"rate_12fps.avi"}, nullptr, "film", "film"},
        // Only an audio stream: no frame rate at all.
        {{"audio_only.mp3"}, nullptr, "ntsc", "frame_rate is invalid."},
        // A rate that decides nothing sends the search to the streams: the codec time base
        // (1/25 for MPEG-1), else the stream's frame rate (MPEG-2 and H.264 count fields).
        {{"mpeg1_mp2.mpg"}, "30", "ntsc", "pal"},
        {{"ts_mpeg2_mp2.ts"}, "30", "ntsc", "pal"},
        {{"mp4_h264_aac.mp4"}, "30", "ntsc", "pal"},
        {{"vob_mpeg2_ac3.vob"}, "30", "pal", "ntsc"},
        {{"rate_60fps.mp4"}, "30", "pal", "pal"},
        {{"rate_60fps.mp4"}, "30", "ntsc", "ntsc"},
        {{"audio_only.mp3"}, "30", "pal", "pal"},
        // File by file: the first one that tells a norm.
        {{"rate_60fps.mp4", "vob_mpeg2_ac3.vob", "mpeg1_mp2.mpg"}, "30", "pal", "ntsc"},
        {{"audio_only.mp3", "avi_mpeg4_mp3.avi"}, "30", "ntsc", "pal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Inputs.front()) + (c.Rate ? " r " : "") +
                     (c.Rate ? c.Rate : "") + " default " + c.DefaultNorm);
        Fresh();
        for (const char* input : c.Inputs)
            ASSERT_TRUE(Engine->OpenInputFile(FixturePath(input))) << Engine->LastError();
        if (c.Rate)
            Engine->SetOption("r", c.Rate);
        const std::string error = ErrorOf([&] { Engine->SetTarget("dvd", "auto", c.DefaultNorm); });
        const std::string expected = c.Expected;
        if (expected == "pal" || expected == "ntsc" || expected == "film") {
            EXPECT_EQ(error, "");
            EXPECT_EQ(NormOfDvdTarget(), expected);
        } else {
            EXPECT_EQ(error, expected);
        }
    }
}

TEST_F(TargetsTest, TargetPrefixes) {
    struct {
        const char* Value;
        const char* Rate;     // "r" before the target, nullptr for none
        const char* Expected; // "WxH@num/den" or the error
    } cases[] = {
        {"pal-dvd", nullptr, "720x576@25/1"},
        {"  ntsc-svcd\t", nullptr, "480x480@30000/1001"},
        {"film-vcd", nullptr, "352x240@24000/1001"},
        {"ntsc-dv50", nullptr, "720x480@30000/1001"},
        {"dvd", "25", "720x576@25/1"},
        {"dvd", "29.97", "720x480@30000/1001"},
        {"vcd", "30", "352x240@30000/1001"}, // undecided: the option's default is NTSC
        {"dvd", nullptr, "frame_rate is invalid."},
        {"pal-", nullptr, "Unknown target type"},
        {"film-", nullptr, "Unknown target type"},
        {"pal-DVD", nullptr, "Unknown target type"},
        {"pal-dvd-x", nullptr, "Unknown target type"},
        {"pal- dvd", nullptr, "Unknown target type"},
        {"", nullptr, "frame_rate is invalid."},
        // Prefixes are matched with their letter case.
        {"PAL-dvd", nullptr, "frame_rate is invalid."},
        {"PAL-dvd", "25", "Unknown target type"},
        {"pal_dvd", "25", "Unknown target type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.Value + "'");
        Fresh();
        if (c.Rate)
            Engine->SetOption("r", c.Rate);
        const std::string error = OptionError("target", c.Value);
        const auto& o = Engine->Options;
        const std::string got =
            error.empty()
                ? std::to_string(o.FrameWidth) + "x" + std::to_string(o.FrameHeight) + "@" +
                      std::to_string(o.FrameRate.Num) + "/" + std::to_string(o.FrameRate.Den)
                : error;
        EXPECT_EQ(got, c.Expected);
    }
}

TEST_F(TargetsTest, BuiltInPresetTable) {
    const auto presets = BuiltInPresets();
    ASSERT_EQ(presets.size(), 16u);
    EXPECT_STREQ(presets.front().Name, "libx264-baseline");
    EXPECT_STREQ(presets.back().Name, "libx264-slowfirstpass");
    for (const auto& p : presets) {
        SCOPED_TRACE(p.Name);
        const std::string content = p.Content;
        ASSERT_FALSE(content.empty());
        EXPECT_EQ(content.back(), '\n');
        EXPECT_EQ(content.find('\r'), std::string::npos);
        // Every line is an option.
        size_t start = 0;
        while (start < content.size()) {
            const size_t end = content.find('\n', start);
            const std::string line = content.substr(start, end - start);
            const size_t eq = line.find('=');
            EXPECT_NE(eq, std::string::npos) << line;
            EXPECT_GT(eq, 0u) << line;
            EXPECT_LT(eq + 1, line.size()) << line;
            start = end + 1;
        }
    }
    EXPECT_EQ(BuiltInPresetContent("libx264-main"), "flags2=-dct8x8\n");
    EXPECT_EQ(BuiltInPresetContent("LIBX264-Main"), "flags2=-dct8x8\n");
    EXPECT_EQ(BuiltInPresetContent("libx264-ipod320"),
              "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\nbufsize=3000000\n");
    EXPECT_EQ(BuiltInPresetContent("main"), "");
    EXPECT_EQ(BuiltInPresetContent(""), "");
}

TEST_F(TargetsTest, PresetLookup) {
    struct {
        std::vector<std::pair<const char*, const char*>> Codecs;
        const char* Option;
        const char* Value;
        const char* Error;
    } cases[] = {
        // Found under the codec's name, in any letter case. The first line shows it was
        // found; these generic options no longer exist in this library.
        {{{"vcodec", "libx264"}},
         "vpre",
         "hq",
         "libx264-hq: Invalid option or argument: \"coder=1\", parsed as \"coder\" = \"1\""},
        {{{"vcodec", "libx264"}},
         "vpre",
         "HQ",
         "libx264-HQ: Invalid option or argument: \"coder=1\", parsed as \"coder\" = \"1\""},
        {{},
         "vpre",
         "libx264-main",
         "libx264-main: Invalid option or argument: \"flags2=-dct8x8\", parsed as \"flags2\" = "
         "\"-dct8x8\""},
        // Not found: the message names the last name looked up.
        {{}, "vpre", "hq", "Preset \"hq\" not found"},
        {{{"vcodec", "mpeg2video"}}, "vpre", "hq", "Preset \"mpeg2video-hq\" not found"},
        {{{"acodec", "mp2"}}, "apre", "hq", "Preset \"mp2-hq\" not found"},
        {{{"acodec", "mp2"}}, "spre", "hq", "Preset \"hq\" not found"},
        {{{"scodec", "dvdsub"}}, "spre", "hq", "Preset \"dvdsub-hq\" not found"},
        // Without a codec of its own type a name takes the subtitle codec's.
        {{{"scodec", "dvdsub"}}, "vpre", "hq", "Preset \"dvdsub-hq\" not found"},
        {{{"vcodec", "copy"}}, "vpre", "hq", "Preset \"hq\" not found"},
        // Empty texts do nothing.
        {{}, "vpre", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Option) + " " + c.Value);
        Fresh();
        for (const auto& [name, value] : c.Codecs)
            Engine->SetOption(name, value);
        EXPECT_EQ(OptionError(c.Option, c.Value), c.Error);
    }
    Fresh();
    EXPECT_EQ(ErrorOf([&] { Engine->ApplyPreset("", "libx264-hq"); }), "");
}

TEST_F(TargetsTest, PresetFiles) {
    struct {
        const char* Content;
        const char* Error; // with "%F" for the file name; "" when it applies
        std::function<bool(TargetsTest&)> Check;
    } cases[] = {
        {"g=12\r\nbf=2\r\n", "",
         [](TargetsTest& t) { return t.Video("g") == 12 && t.Video("bf") == 2; }},
        {"g=12\rbf=2", "", [](TargetsTest& t) { return t.Video("g") == 12 && t.Video("bf") == 2; }},
        {"\n\n  g=7  \n\n\t\n bf=1\n  ", "",
         [](TargetsTest& t) { return t.Video("g") == 7 && t.Video("bf") == 1; }},
        {"vcodec=mpeg2video\nACODEC=mp2\nsCodec=dvdsub\n", "",
         [](TargetsTest& t) {
             const auto& o = t.Engine->Options;
             return o.VideoCodecName == "mpeg2video" && o.AudioCodecName == "mp2" &&
                    o.SubtitleCodecName == "dvdsub";
         }},
        {"acodec=copy\n", "",
         [](TargetsTest& t) { return t.Engine->Options.AudioStreamCopy == 1; }},
        {"muxrate=10080000\npacketsize=2048\n", "",
         [](TargetsTest& t) {
             return t.PrivateFormat("muxrate") == "10080000" &&
                    t.Engine->OptionContexts->FormatOptions()->packet_size == 2048;
         }},
        {"flags=+qscale+psnr\n", "",
         [](TargetsTest& t) {
             return t.Video("flags") == (AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_PSNR);
         }},
        {"# a comment\ng=5\n", "%F: Invalid syntax: \"# a comment\"", nullptr},
        {"g=9\nbf\n", "%F: Invalid syntax: \"bf\"",
         [](TargetsTest& t) { return t.Video("g") == 9; }}, // earlier lines stay set
        {"=5\n", "%F: Invalid syntax: \"=5\"", nullptr},
        {"g=\n", "%F: Invalid syntax: \"g=\"", nullptr},
        {"nosuchoption=1\n",
         "%F: Invalid option or argument: \"nosuchoption=1\", parsed as \"nosuchoption\" = \"1\"",
         nullptr},
        {"g=many\n", "%F: Invalid option or argument: \"g=many\", parsed as \"g\" = \"many\"",
         nullptr},
        // Key and value are not trimmed.
        {"g = 5\n", "%F: Invalid option or argument: \"g = 5\", parsed as \"g \" = \" 5\"",
         nullptr},
        {"", "Preset \"%F\" not found", nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.Content)));
        Fresh();
        const std::string path =
            WriteFile(Dir / ("preset" + std::to_string(n++) + ".txt"), c.Content);
        std::string expected = c.Error;
        if (const size_t at = expected.find("%F"); at != std::string::npos)
            expected.replace(at, 2, path);
        EXPECT_EQ(OptionError("vpre", path), expected);
        if (c.Check) {
            EXPECT_TRUE(c.Check(*this));
        }
    }

    // Neither a folder nor a missing file is a preset file.
    Fresh();
    EXPECT_EQ(OptionError("vpre", Dir.Path().string()),
              "Preset \"" + Dir.Path().string() + "\" not found");
    EXPECT_EQ(OptionError("vpre", Dir / "missing.txt"),
              "Preset \"" + (Dir / "missing.txt") + "\" not found");
    // A preset file that exists but cannot be read (root reads everything).
    if (::geteuid() != 0) {
        const std::string locked = WriteFile(Dir / "locked.txt", "g=3\n");
        ::chmod(locked.c_str(), 0);
        EXPECT_EQ(OptionError("vpre", locked),
                  "Cannot open file \"" + locked + "\". Permission denied");
    }
}

TEST_F(TargetsTest, PrivateCodecOptionsReachOnlyTheCodecsThatHaveThem) {
    struct {
        AVMediaType Type;
        const char* Name;
        const char* Value;
        bool Taken;
    } cases[] = {
        {AVMEDIA_TYPE_VIDEO, "scan_offset", "1", true},
        {AVMEDIA_TYPE_VIDEO, "scan_offset", "maybe", false},
        {AVMEDIA_TYPE_AUDIO, "scan_offset", "1", false},
        {AVMEDIA_TYPE_VIDEO, "no_such_private_option", "1", false},
        {AVMEDIA_TYPE_VIDEO, "scan_offset", " ", false},
        {AVMEDIA_TYPE_NB, "scan_offset", "1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Name) + " = '" + c.Value + "'");
        Fresh();
        EXPECT_EQ(SetPrivateCodecOption(Engine->OptionContexts.get(), c.Type, c.Name, c.Value),
                  c.Taken);
    }
    EXPECT_FALSE(SetPrivateCodecOption(nullptr, AVMEDIA_TYPE_VIDEO, "scan_offset", "1"));
}

// A name that only an encoder's own options know reaches the encoder chosen for its media
// type, and only one that has it.
TEST_F(TargetsTest, NamedOptionsReachTheChosenEncodersOwnOptions) {
    struct {
        const char* VideoCodec; // "" for none chosen
        const char* AudioCodec;
        const char* Name;
        const char* Value;
        const char* Video; // what the video encoders' own options hold afterwards
        const char* Audio;
    } cases[] = {
        {"mpeg2video", "", "intra_vlc", "1", "1", ""},
        {"mpeg2video", "", "non_linear_quant", "1", "1", ""},
        {"mpeg2video", "", "intra_vlc", "maybe", "", ""},
        {"mpeg2video", "", "no_such_private_option", "1", "", ""},
        {"mpeg4", "", "intra_vlc", "1", "", ""},
        {"", "", "intra_vlc", "1", "", ""},
        {"mpeg2video", "ac3", "dialnorm", "-20", "", "-20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.VideoCodec) + "/" + c.AudioCodec + ": " + c.Name + " = " + c.Value);
        Fresh();
        if (*c.VideoCodec)
            Engine->SetOption("vcodec", c.VideoCodec);
        if (*c.AudioCodec)
            Engine->SetOption("acodec", c.AudioCodec);
        Engine->SetOption(c.Name, c.Value);
        EXPECT_EQ(PrivateVideo(c.Name), c.Video);
        EXPECT_EQ(Entry(Engine->OptionContexts->PrivateCodecOptions(AVMEDIA_TYPE_AUDIO), c.Name),
                  c.Audio);
    }
}

TEST_F(TargetsTest, OutputsAfterATargetGetItsMuxerAndStreams) {
    struct {
        const char* Target;
        std::vector<std::pair<const char*, const char*>> After;
        const char* Muxer;
        AVCodecID VideoCodec;
        int W, H;
        AVRational Rate;
        int Gop;
        int64_t Bitrate, MaxRate;
        int BufSize;
        AVRational Sar;
        AVCodecID AudioCodec;
        int SampleRate;
        int64_t AudioBitrate;
        int PacketSize;
        const char* MuxRate;
        const char* Preload;
        int ScanOffset; // -1: the encoder has no such option
    } cases[] = {
        // The input's 4:3 stays: 16:9 is only assumed when nothing is known.
        {"pal-dvd",
         {},
         "dvd",
         AV_CODEC_ID_MPEG2VIDEO,
         720,
         576,
         {25, 1},
         15,
         6000000,
         9000000,
         1835008,
         {16, 15},
         AV_CODEC_ID_AC3,
         48000,
         448000,
         2048,
         "10080000",
         "500000",
         0},
        // The DVD application's way: its own audio codec and bit rate after the target's.
        {"pal-dvd",
         {{"acodec", "mp2"}, {"ab", "224000"}, {"aspect", "16:9"}},
         "dvd",
         AV_CODEC_ID_MPEG2VIDEO,
         720,
         576,
         {25, 1},
         15,
         6000000,
         9000000,
         1835008,
         {64, 45},
         AV_CODEC_ID_MP2,
         48000,
         224000,
         2048,
         "10080000",
         "500000",
         0},
        {"ntsc-dvd",
         {{"acodec", "mp2"}, {"ab", "192000"}},
         "dvd",
         AV_CODEC_ID_MPEG2VIDEO,
         720,
         480,
         {30000, 1001},
         18,
         6000000,
         9000000,
         1835008,
         {8, 9},
         AV_CODEC_ID_MP2,
         48000,
         192000,
         2048,
         "10080000",
         "500000",
         0},
        {"ntsc-vcd",
         {},
         "vcd",
         AV_CODEC_ID_MPEG1VIDEO,
         352,
         240,
         {30000, 1001},
         18,
         1150000,
         1150000,
         327680,
         {10, 11},
         AV_CODEC_ID_MP2,
         44100,
         224000,
         2324,
         "1411200",
         "440000",
         0},
        {"pal-svcd",
         {},
         "svcd",
         AV_CODEC_ID_MPEG2VIDEO,
         480,
         576,
         {25, 1},
         15,
         2040000,
         2516000,
         1835008,
         {8, 5},
         AV_CODEC_ID_MP2,
         44100,
         224000,
         2324,
         "",
         "500000",
         1},
        {"pal-svcd",
         {{"vcodec", "mpeg4"}},
         "svcd",
         AV_CODEC_ID_MPEG4,
         480,
         576,
         {25, 1},
         15,
         2040000,
         2516000,
         1835008,
         {8, 5},
         AV_CODEC_ID_MP2,
         44100,
         224000,
         2324,
         "",
         "500000",
         -1},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Target) + " + " + std::to_string(c.After.size()));
        Fresh();
        ASSERT_TRUE(Engine->OpenInputFile(FixturePath("mpeg1_mp2.mpg"))) << Engine->LastError();
        Engine->SetOption("target", c.Target);
        for (const auto& [name, value] : c.After)
            Engine->SetOption(name, value);
        ASSERT_EQ(Engine->OpenOutputFile(Dir / ("out" + std::to_string(n++) + ".mpg")), 1)
            << Engine->LastError();
        const TOutputFile& file = *Engine->OutputFiles[0];
        AVFormatContext* oc = file.Output.Get();
        EXPECT_STREQ(oc->oformat->name, c.Muxer);
        EXPECT_EQ(oc->packet_size, c.PacketSize);
        EXPECT_EQ(Entry(file.MuxerOptions.get(), "muxrate"), c.MuxRate);
        EXPECT_EQ(Entry(file.MuxerOptions.get(), "preload"), c.Preload);
        ASSERT_EQ(file.Streams.size(), 2u);

        const AVCodecContext* v = file.Streams[0].Codec.get();
        EXPECT_EQ(v->codec_type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(v->codec_id, c.VideoCodec);
        EXPECT_EQ(v->width, c.W);
        EXPECT_EQ(v->height, c.H);
        EXPECT_EQ(av_cmp_q(v->framerate, c.Rate), 0);
        EXPECT_EQ(av_cmp_q(v->time_base, av_inv_q(c.Rate)), 0);
        EXPECT_EQ(v->gop_size, c.Gop);
        EXPECT_EQ(v->bit_rate, c.Bitrate);
        EXPECT_EQ(v->rc_max_rate, c.MaxRate);
        EXPECT_EQ(v->rc_buffer_size, c.BufSize);
        EXPECT_EQ(av_cmp_q(v->sample_aspect_ratio, c.Sar), 0)
            << v->sample_aspect_ratio.num << "/" << v->sample_aspect_ratio.den;
        EXPECT_EQ(v->pix_fmt, AV_PIX_FMT_YUV420P);
        int64_t scanOffset = -1;
        if (v->priv_data && ff::av_opt_get_int(v->priv_data, "scan_offset", 0, &scanOffset) < 0)
            scanOffset = -1;
        EXPECT_EQ(scanOffset, c.ScanOffset);

        const AVCodecContext* a = file.Streams[1].Codec.get();
        EXPECT_EQ(a->codec_type, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(a->codec_id, c.AudioCodec);
        EXPECT_EQ(a->sample_rate, c.SampleRate);
        EXPECT_EQ(a->ch_layout.nb_channels, 2);
        EXPECT_EQ(a->bit_rate, c.AudioBitrate);
    }
}
