#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "FixtureWriter.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"
#include "Platform/MainThread.h"
#include "EngineTest.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;
using qm::fixtures::FixturePath;
using namespace qm::test;

using TranscodeTest = TEngineTest;

TEST_F(TranscodeTest, RemuxKeepsStreamsPacketsAndDuration) {
    struct {
        const char* Input;
        std::vector<std::string> Options; // before the output
        const char* Output;
    } cases[] = {
        {"mkv_h264_vorbis_srt.mkv", {"-vcodec", "copy", "-acodec", "copy"}, "out.mp4"},
        {"mkv_h264_vorbis_srt.mkv", {"-vcodec", "copy", "-acodec", "copy", "-scodec", "copy"}, "out.mkv"},
        {"mp4_h264_aac.mp4", {"-vcodec", "copy", "-acodec", "copy"}, "out.mkv"},
        {"avi_mpeg4_mp3.avi", {"-vcodec", "copy", "-acodec", "copy"}, "out.mkv"},
        {"ts_mpeg2_mp2.ts", {"-vcodec", "copy", "-acodec", "copy"}, "out.mkv"},
        {"vob_mpeg2_ac3.vob", {"-vcodec", "copy", "-acodec", "copy", "-f", "vob"}, "out.vob"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Input) + " -> " + c.Output);
        SetUp();
        std::vector<std::string> args = {"-i", FixturePath(c.Input)};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.push_back(Dir / c.Output);
        Configure(args);
        ASSERT_EQ(Run(), "");
        EXPECT_TRUE(Engine->Finished());
        const auto in = ReadFacts(FixturePath(c.Input));
        const auto out = ReadFacts(Dir / c.Output);
        for (AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE}) {
            const TStreamFacts* i = FindType(in, type);
            const TStreamFacts* o = FindType(out, type);
            const bool wanted = type != AVMEDIA_TYPE_SUBTITLE || c.Options.size() > 4;
            if (!i || !wanted) {
                EXPECT_EQ(o, nullptr) << MediaTypeName(type);
                continue;
            }
            ASSERT_NE(o, nullptr) << MediaTypeName(type);
            EXPECT_EQ(o->Codec, i->Codec);
            EXPECT_EQ(o->Packets, i->Packets) << MediaTypeName(type);
            EXPECT_NEAR(o->EndTime - o->FirstTime, i->EndTime - i->FirstTime, 0.05)
                << MediaTypeName(type);
        }
    }
}

TEST_F(TranscodeTest, RecordingTimeStartTimeAndFrameLimits) {
    const std::string input = FixturePath("mp4_h264_aac.mp4"); // 2 s, 25 fps
    Configure({"-i", input, "-vcodec", "copy", "-acodec", "copy", "-t", "1.5", Dir / "t.mkv"});
    ASSERT_EQ(Run(), "");
    auto facts = ReadFacts(Dir / "t.mkv");
    const TStreamFacts* video = FindType(facts, AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_NEAR(video->EndTime - video->FirstTime, 1.5, 0.041);

    // "ss" given for the output: frames before it are read but not written, and the
    // copy starts at the first key frame at or after it.
    SetUp();
    const std::string gops = FixturePath("avi_mpeg4_mp3.avi"); // a key frame every 12 frames
    Configure({"-i", gops, "-vcodec", "copy", "-an", "1", "-ss", "1", Dir / "ss.mkv"});
    ASSERT_EQ(Run(), "");
    facts = ReadFacts(Dir / "ss.mkv");
    video = FindType(facts, AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    const auto whole = ReadFacts(gops);
    EXPECT_LE(video->Packets, FindType(whole, AVMEDIA_TYPE_VIDEO)->Packets - 25);
    EXPECT_GE(video->Packets, 1);
    EXPECT_GE(video->FirstTime, -0.001); // the key frame at or after 1 s becomes the start
    EXPECT_LT(video->FirstTime, 12 / 25.0);

    SetUp();
    Configure({"-i", input, "-vcodec", "copy", "-acodec", "copy", "-vframes", "10", Dir / "v.mkv"});
    ASSERT_EQ(Run(), "");
    EXPECT_EQ(FindType(ReadFacts(Dir / "v.mkv"), AVMEDIA_TYPE_VIDEO)->Packets, 10);
}

TEST_F(TranscodeTest, SizeLimitEndsTheLoopAndStillWritesTheTrailer) {
    const std::string longer = Dir / "long.mkv";
    fixtures::ClipSettings settings = fixtures::VideoOnlyClip(160, 120, 6);
    settings.videoBitRate = 2000000;
    std::string error;
    ASSERT_TRUE(fixtures::WriteClip(settings, longer, error)) << error;
    Configure({"-i", longer, "-vcodec", "copy", "-fs", "20000", Dir / "fs.mkv"});
    ASSERT_EQ(Run(), "");
    const auto size = fs::file_size(Dir / "fs.mkv");
    EXPECT_GT(size, 20000u);
    EXPECT_LT(size, fs::file_size(longer) * 3 / 4);
    const auto facts = ReadFacts(Dir / "fs.mkv"); // opens: the trailer is there
    EXPECT_GT(FindType(facts, AVMEDIA_TYPE_VIDEO)->Packets, 0);
}

TEST_F(TranscodeTest, StreamMapsPickTheStreamsAndBadMapsAreRefused) {
    Configure({"-i", FixturePath("mp4_no_audio.mp4"), "-i", FixturePath("audio_only.mp3"),
               "-map", "0:0", "-map", "1:0", "-vcodec", "copy", "-acodec", "copy",
               Dir / "two.mkv"});
    ASSERT_EQ(Run(), "");
    const auto facts = ReadFacts(Dir / "two.mkv");
    ASSERT_NE(FindType(facts, AVMEDIA_TYPE_VIDEO), nullptr);
    ASSERT_NE(FindType(facts, AVMEDIA_TYPE_AUDIO), nullptr);
    EXPECT_EQ(FindType(facts, AVMEDIA_TYPE_AUDIO)->Codec, AV_CODEC_ID_MP3);

    struct {
        std::vector<std::string> Maps;
        const char* Message;
    } bad[] = {
        {{"0:1", "0:0"}, "Codec type mismatch for mapping #0.1 (Audio) -> #0.0 (Video)"},
        {{"0:5", "0:0"}, "Could not find input stream #0.5"},
        {{"0:0"}, "Number of stream maps must match number of output streams"},
        {{"0:0:3:0", "0:1"}, "Could not find sync stream #3.0"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.Message);
        SetUp();
        std::vector<std::string> args = {"-i", FixturePath("mp4_h264_aac.mp4")};
        for (const auto& m : c.Maps) {
            args.push_back("-map");
            args.push_back(m);
        }
        args.insert(args.end(), {"-vcodec", "copy", "-acodec", "copy", Dir / "bad.mkv"});
        Configure(args);
        EXPECT_EQ(Run(), c.Message);
        EXPECT_FALSE(Engine->Finished());
        Engine->ReleaseResources();
        EXPECT_FALSE(fs::exists(Dir / "bad.mkv")); // nothing was written: removed
    }
}

TEST_F(TranscodeTest, FrameRateConversionDuplicatesAndDropsPictures) {
    struct {
        const char* Input;
        const char* Rate;
        bool Duplicates;
    } cases[] = {{"rate_12fps.avi", "25", true}, {"rate_60fps.mp4", "30000/1001", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Input);
        SetUp();
        const std::string out = Dir / (std::string(c.Input) + ".mpg");
        Configure({"-i", FixturePath(c.Input), "-f", "vob", "-vcodec", "mpeg2video", "-r", c.Rate,
                   "-an", "1", out});
        ASSERT_EQ(Run(), "");
        const auto in = ReadFacts(FixturePath(c.Input));
        const auto written = ReadFacts(out);
        const TStreamFacts* vi = FindType(in, AVMEDIA_TYPE_VIDEO);
        const TStreamFacts* vo = FindType(written, AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(vo, nullptr);
        if (c.Duplicates) {
            EXPECT_NEAR(vo->Packets, vi->Packets * 25 / 12, 3);
            EXPECT_NEAR(Engine->DuplicatedFrames(), vo->Packets - vi->Packets, 1);
        } else {
            EXPECT_NEAR(vo->Packets, vi->Packets / 2, 3);
            EXPECT_NEAR(Engine->DroppedFrames(), vi->Packets - vo->Packets, 1);
        }
        EXPECT_NEAR(vo->EndTime - vo->FirstTime, vi->EndTime - vi->FirstTime, 0.041);
    }
}

TEST_F(TranscodeTest, AudioIsResampledToTheEncodersRateAndLayout) {
    for (const char* input : {"mp4_h264_aac_5_1.mp4", "mono_8khz.avi"}) {
        SCOPED_TRACE(input);
        SetUp();
        const std::string out = Dir / (std::string(input) + ".mpg");
        Configure({"-i", FixturePath(input), "-f", "dvd", "-vcodec", "mpeg2video", "-s",
                   "352x288", "-r", "25", "-acodec", "mp2", "-ar", "48000", "-ac", "2", "-ab",
                   "192000", out});
        ASSERT_EQ(Run(), "");
        TCustomFFmpeg reader;
        reader.ResetEngine();
        ASSERT_TRUE(reader.OpenInputFile(out));
        EXPECT_EQ(reader.Options.AudioSampleRate, 48000);
        EXPECT_EQ(reader.Options.AudioChannels, 2);
        const auto facts = ReadFacts(out);
        const TStreamFacts* a = FindType(facts, AVMEDIA_TYPE_AUDIO);
        const TStreamFacts* v = FindType(facts, AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(a->Codec, AV_CODEC_ID_MP2);
        const auto inputFacts = ReadFacts(FixturePath(input));
        const TStreamFacts* ai = FindType(inputFacts, AVMEDIA_TYPE_AUDIO);
        // One MP2 frame (24 ms) of padding at most, plus the resampler's delay.
        EXPECT_NEAR(a->EndTime - a->FirstTime, ai->EndTime - ai->FirstTime, 0.05);
    }
}

TEST_F(TranscodeTest, PauseResumeAndStopOfARealConversion) {
    // Rate emulation makes the 2-second fixture take about 2 seconds.
    Configure({"-re", "1", "-i", FixturePath("mp4_h264_aac.mp4"), "-vcodec", "copy", "-acodec",
               "copy", Dir / "paused.mkv"});
    std::atomic<int> reports{0};
    CountReports(reports);
    TConvertThread* worker = Engine->StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    TMainThread::WaitFor([&] { return reports > 5; });
    Engine->Pause();
    const int atPause = reports;
    // At most the pass in flight reports after the pause; then nothing moves.
    TMainThread::WaitFor([&] { return false; }, std::chrono::milliseconds(300));
    const int held = reports;
    EXPECT_LE(held, atPause + 1);
    TMainThread::WaitFor([&] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(reports, held);
    Engine->Resume();
    TMainThread::WaitFor([&] { return reports > held + 3; });

    // Stopping a paused run resumes it and ends it; the file is complete up to there.
    Engine->Pause();
    Engine->StopConvert(true);
    EXPECT_EQ(Terminations, 1);
    EXPECT_FALSE(Engine->Finished());
    EXPECT_FALSE(Engine->ExceptionRaised());
    const int packets = VideoPacketCount(Dir / "paused.mkv");
    EXPECT_GT(packets, 0);
    EXPECT_LT(packets, 50);
}

TEST_F(TranscodeTest, DestroyingARunningConversionWaitsForItsEnd) {
    Configure({"-re", "1", "-i", FixturePath("mp4_h264_aac.mp4"), "-vcodec", "copy", "-acodec",
               "copy", Dir / "destroyed.mkv"});
    std::atomic<int> reports{0};
    CountReports(reports);
    Engine->StartConvert(true)->Resume();
    TMainThread::WaitFor([&] { return reports > 2; });
    Engine.reset();
    EXPECT_EQ(Terminations, 1);
    EXPECT_GT(ReadFacts(Dir / "destroyed.mkv").size(), 0u);
}

TEST_F(TranscodeTest, DecodingErrorsAreSkippedOrEndTheRunWithXerror) {
    // Garble a stretch in the middle of an MPEG program stream, the same way every time.
    const std::string source = FixturePath("mpeg1_mp2.mpg");
    const std::string corrupt = Dir / "corrupt.mpg";
    {
        std::ifstream in(source, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        uint32_t seed = 5;
        for (size_t i = data.size() / 3; i < data.size() / 3 + data.size() / 5; ++i) {
            seed = seed * 1103515245u + 12345u;
            if ((seed >> 16) % 10 < 3)
                data[i] = static_cast<char>(seed >> 8);
        }
        std::ofstream(corrupt, std::ios::binary) << data;
    }
    const std::vector<std::string> args = {"-i", corrupt, "-f", "vob", "-vcodec", "mpeg2video",
                                           "-acodec", "mp2", "-ar", "48000", Dir / "c.mpg"};
    Configure(args);
    EXPECT_EQ(Run(), "");
    EXPECT_TRUE(Engine->Finished());

    SetUp();
    std::vector<std::string> strict = {"-xerror", "1"};
    strict.insert(strict.end(), args.begin(), args.end());
    Configure(strict);
    EXPECT_EQ(Run().rfind("Error while decoding stream #0.", 0), 0u);
    EXPECT_FALSE(Engine->Finished());
}

TEST_F(TranscodeTest, TwoPassEncodingWritesAndReadsItsLog) {
    const std::string log = Dir / "passlog";
    for (const char* pass : {"1", "2"}) {
        SCOPED_TRACE(pass);
        SetUp();
        Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob", "-vcodec", "mpeg2video",
                   "-b", "800000", "-an", "1", "-pass", pass, "-passlogfile", log,
                   Dir / (std::string("pass") + pass + ".mpg")});
        ASSERT_EQ(Run(), "");
        ASSERT_TRUE(fs::exists(log + "-0.log"));
        EXPECT_GT(fs::file_size(log + "-0.log"), 0u);
    }
    SetUp();
    Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob", "-vcodec", "mpeg2video", "-an",
               "1", "-pass", "2", "-passlogfile", Dir / "missing", Dir / "p.mpg"});
    EXPECT_EQ(Run(), "Cannot read log file " + (Dir / "missing") + "-0.log for pass-2 encoding");

    // Joined files: each file's second pass reads its own log, a long file first included.
    const std::string longer = Dir / "three.mkv", shorter = Dir / "one.mkv";
    std::string error;
    ASSERT_TRUE(fixtures::WriteClip(fixtures::VideoOnlyClip(160, 120, 3), longer, error)) << error;
    ASSERT_TRUE(fixtures::WriteClip(fixtures::VideoOnlyClip(160, 120, 1), shorter, error)) << error;
    for (const char* pass : {"1", "2"}) {
        SCOPED_TRACE(std::string("joined, pass ") + pass);
        SetUp();
        Configure({"-i", longer, "-i", shorter, "-f", "vob", "-vcodec", "mpeg2video", "-b",
                   "800000", "-pass", pass, "-passlogfile", Dir / "joinlog"});
        const std::string out = Dir / (std::string("joined") + pass + ".mpg");
        ASSERT_EQ(Engine->OpenOutputFile(out, true), 2) << Engine->LastError();
        ASSERT_EQ(Run(), "");
        EXPECT_EQ(VideoPacketCount(out), 100);
    }
}

TEST_F(TranscodeTest, VideoStatisticsFileHasALinePerEncodedFrame) {
    const std::string stats = Dir / "vstats.log";
    Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob", "-vcodec", "mpeg2video", "-an",
               "1", "-psnr", "1", "-vstats_file", stats, Dir / "s.mpg"});
    ASSERT_EQ(Run(), "");
    std::ifstream in(stats);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_NE(line.find("f_size="), std::string::npos);
        EXPECT_NE(line.find("PSNR="), std::string::npos);
        EXPECT_NE(line.find(" type= "), std::string::npos);
    }
    EXPECT_GE(lines, 45); // 50 pictures, less the encoder's delay at the end
}


TEST_F(TranscodeTest, CroppingPaddingAndScalingPutThePictureWhereItBelongs) {
    // 320x240: a red 16-pixel border, grey inside, a white 60x60 square at (80, 60).
    const std::string input = FixturePath("known_layout.mp4");
    const int red = 82, white = 235, grey = 126; // BT.601 limited-range luma, loosely
    auto near = [](int value, int expected) { return std::abs(value - expected) <= 12; };

    Configure({"-i", input, "-f", "vob", "-vcodec", "mpeg2video", "-qscale", "2", "-an", "1",
               "-s", "352x288", Dir / "scaled.mpg"});
    ASSERT_EQ(Run(), "");
    TDecodedPicture p = FirstPicture(Dir / "scaled.mpg");
    ASSERT_EQ(p.Width, 352);
    ASSERT_EQ(p.Height, 288);
    EXPECT_TRUE(near(p.LumaAt(4, 4), red)) << p.LumaAt(4, 4);
    EXPECT_TRUE(near(p.LumaAt(88 + 33, 72 + 36), white)) << p.LumaAt(121, 108);
    EXPECT_TRUE(near(p.LumaAt(250, 200), grey)) << p.LumaAt(250, 200);

    SetUp();
    Configure({"-i", input, "-croptop", "16", "-cropleft", "16", "-f", "vob", "-vcodec",
               "mpeg2video", "-qscale", "2", "-an", "1", Dir / "cropped.mpg"});
    ASSERT_EQ(Run(), "");
    p = FirstPicture(Dir / "cropped.mpg");
    ASSERT_EQ(p.Width, 304);
    ASSERT_EQ(p.Height, 224);
    EXPECT_TRUE(near(p.LumaAt(3, 3), grey)) << p.LumaAt(3, 3); // the border is gone
    EXPECT_TRUE(near(p.LumaAt(64 + 30, 44 + 30), white)) << p.LumaAt(94, 74);

    SetUp();
    // Pure blue padding: Y 29, U 255, V 107.
    Configure({"-i", input, "-padtop", "16", "-padbottom", "16", "-padcolor", "16711680", "-f",
               "vob", "-vcodec", "mpeg2video", "-qscale", "2", "-an", "1", Dir / "padded.mpg"});
    ASSERT_EQ(Run(), "");
    p = FirstPicture(Dir / "padded.mpg");
    ASSERT_EQ(p.Width, 320);
    ASSERT_EQ(p.Height, 272);
    for (int y : {2, 268}) {
        EXPECT_TRUE(near(p.LumaAt(160, y), 29)) << y << " " << p.LumaAt(160, y);
        EXPECT_TRUE(near(p.UAt(160, y), 255)) << y << " " << p.UAt(160, y);
        EXPECT_TRUE(near(p.VAt(160, y), 107)) << y << " " << p.VAt(160, y);
    }
    EXPECT_TRUE(near(p.LumaAt(160, 16 + 4), red)) << p.LumaAt(160, 20);
}

TEST_F(TranscodeTest, AudioSyncPutsSilenceBeforeLateAudioAndVolumeScales) {
    // The audio of this clip starts 0.5 s after its video.
    Configure({"-i", FixturePath("audio_late_500ms.mkv"), "-f", "vob", "-vcodec", "mpeg2video",
               "-acodec", "mp2", "-ar", "48000", "-async", "1", Dir / "sync.mpg"});
    ASSERT_EQ(Run(), "");
    const auto facts = ReadFacts(Dir / "sync.mpg");
    const TStreamFacts* a = FindType(facts, AVMEDIA_TYPE_AUDIO);
    const TStreamFacts* v = FindType(facts, AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(v, nullptr);
    // The audio starts with the video: the half second is silence, not a gap.
    EXPECT_NEAR(a->FirstTime, v->FirstTime, 0.05);
    EXPECT_NEAR(a->EndTime - a->FirstTime, v->EndTime - v->FirstTime, 0.06);
}

TEST_F(TranscodeTest, VolumeScalesTheSamplesAndClips) {
    auto peak = [](const std::string& wav) {
        std::ifstream in(wav, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int max = 0;
        const size_t chunk = data.find("data");
        for (size_t i = chunk + 8; chunk != std::string::npos && i + 1 < data.size(); i += 2) {
            const int16_t s = int16_t(uint8_t(data[i]) | uint8_t(data[i + 1]) << 8);
            max = std::max(max, std::abs(int(s)));
        }
        return max;
    };
    const std::string input = FixturePath("mkv_h264_vorbis_srt.mkv"); // a tone at half scale
    for (const char* vol : {"256", "512", "128"}) {
        SetUp();
        Configure({"-i", input, "-vn", "1", "-sn", "1", "-acodec", "pcm_s16le", "-vol", vol,
                   Dir / (std::string("v") + vol + ".wav")});
        ASSERT_EQ(Run(), "") << vol;
    }
    const int normal = peak(Dir / "v256.wav");
    EXPECT_NEAR(normal, 16384, 1500);
    EXPECT_GE(peak(Dir / "v512.wav"), 32000); // doubled, at full scale
    EXPECT_NEAR(peak(Dir / "v128.wav"), normal / 2, 300);
}

TEST_F(TranscodeTest, ProgressReportsRiseAndEndWithOneFinalReport) {
    struct TReport {
        int32_t Frame, TimeMs, Total;
        int64_t Size;
    };
    std::vector<TReport> reports;
    Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob", "-vcodec", "mpeg2video",
               "-acodec", "mp2", "-ar", "48000", Dir / "p.mpg"});
    Engine->ProgressIntervalUs = 0; // a report after every packet
    Engine->ProgressNotify = [&](TCustomFFmpeg*, int32_t frame, int32_t, int32_t timeMs, float,
                                 float, int64_t size, int32_t total) {
        reports.push_back({frame, timeMs, total, size});
    };
    ASSERT_EQ(Run(), "");
    ASSERT_GT(reports.size(), 5u);
    EXPECT_GE(reports.front().Frame, 1); // never before the first picture
    // Once every stream has begun, the output time only grows.
    for (size_t i = 1; i < reports.size(); ++i) {
        if (reports[i - 1].TimeMs < 200)
            continue;
        EXPECT_GE(reports[i].TimeMs, reports[i - 1].TimeMs);
        EXPECT_GE(reports[i].Frame, reports[i - 1].Frame);
    }
    EXPECT_NEAR(reports.back().TimeMs, 2000, 100);
    EXPECT_EQ(reports.back().Total, 2000);
    EXPECT_EQ(reports.back().Size, int64_t(fs::file_size(Dir / "p.mpg")));
}

TEST_F(TranscodeTest, QuantiserHistogramCountsTheReportsInTheStatusLine) {
    const auto lines =
        RunForStatusLines({"-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob", "-vcodec",
                           "mpeg2video", "-qscale", "5", "-an", "1", "-qphist", "1", Dir / "q.mpg"});
    ASSERT_GT(lines.size(), 3u);
    // After "q=5.0 " (and the last report's "L") come 32 digits, log2(count + 1) each:
    // only the counter of quantiser 5 has grown, once per report.
    auto digits = [](const std::string& line) {
        size_t at = line.find("q=5.0 ");
        if (at == std::string::npos)
            return std::string();
        at += 6;
        if (line[at] == 'L')
            ++at;
        return line.substr(at, 32);
    };
    const size_t reports = lines.size();
    std::string expected(32, '0');
    expected[5] = "0123456789ABCDEF"[std::lrint(std::log2(double(reports) + 1))];
    EXPECT_EQ(digits(lines.back()), expected) << lines.back();
    EXPECT_NE(lines.back().find(" L"), std::string::npos);
    EXPECT_EQ(digits(lines.front()), "00000100000000000000000000000000") << lines.front();
}

TEST_F(TranscodeTest, StatusLineCarriesThePsnrOfEachPlane) {
    const auto lines = RunForStatusLines({"-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob",
                                          "-vcodec", "mpeg2video", "-an", "1", "-psnr", "1",
                                          Dir / "psnr.mpg"});
    ASSERT_GT(lines.size(), 3u);
    // A report of one coded frame, and the last one over the whole stream (the first
    // reports may come before the encoder's delay has given out a frame).
    static const std::regex psnr(R"(PSNR=Y:([0-9.]+) U:([0-9.]+) V:([0-9.]+) \*:([0-9.]+) )");
    for (const std::string& line : {lines[lines.size() / 2], lines.back()}) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, psnr)) << line;
        double planes[4];
        for (int i = 0; i < 4; ++i) {
            planes[i] = std::stod(m[i + 1]);
            EXPECT_GT(planes[i], 20) << line;
            EXPECT_LT(planes[i], 99) << line;
        }
        // The total lies between the planes it sums.
        EXPECT_GE(planes[3], std::min({planes[0], planes[1], planes[2]}) - 0.01) << line;
        EXPECT_LE(planes[3], std::max({planes[0], planes[1], planes[2]}) + 0.01) << line;
    }
    EXPECT_NE(lines.back().find(" L"), std::string::npos);
}

TEST_F(TranscodeTest, JoiningReencodedInputsContinuesOneOutput) {
    // Two 2-second clips of different sizes and codecs, re-encoded into one stream.
    Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-i", FixturePath("avi_mpeg4_mp3.avi"),
               "-f", "vob", "-vcodec", "mpeg2video", "-s", "320x240", "-r", "25", "-acodec",
               "mp2", "-ar", "48000", "-ac", "2"});
    const std::string out = Dir / "joined.mpg";
    ASSERT_EQ(Engine->OpenOutputFile(out, true), 2) << Engine->LastError();
    ASSERT_EQ(Run(), "");
    EXPECT_TRUE(Engine->Finished());
    EXPECT_NEAR(Engine->TotalOutputDuration(), 4000, 60); // the sum of both inputs
    std::map<int, std::vector<int64_t>> dts;
    TCustomFFmpeg reader;
    reader.ResetEngine();
    ASSERT_TRUE(reader.OpenInputFile(out)) << reader.LastError();
    AVFormatContext* ic = reader.InputFiles[0]->Input.Get();
    TPacketPtr packet(ff::av_packet_alloc());
    while (ff::av_read_frame(ic, packet.get()) >= 0) {
        if (packet->dts != AV_NOPTS_VALUE)
            dts[packet->stream_index].push_back(packet->dts);
        ff::av_packet_unref(packet.get());
    }
    for (const auto& [index, times] : dts) {
        SCOPED_TRACE(index);
        for (size_t i = 1; i < times.size(); ++i)
            ASSERT_GT(times[i], times[i - 1]) << "packet " << i;
    }
    const auto facts = ReadFacts(out);
    const TStreamFacts* v = FindType(facts, AVMEDIA_TYPE_VIDEO);
    const TStreamFacts* a = FindType(facts, AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(v, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(v->Packets, 100, 1);
    EXPECT_NEAR(v->EndTime - v->FirstTime, 4.0, 0.041);
    // Each file's sound ends in a padded MP2 frame (24 ms at most).
    double audio = 0;
    for (const char* input : {"mp4_h264_aac.mp4", "avi_mpeg4_mp3.avi"}) {
        const auto in = ReadFacts(FixturePath(input));
        audio += FindType(in, AVMEDIA_TYPE_AUDIO)->EndTime - FindType(in, AVMEDIA_TYPE_AUDIO)->FirstTime;
    }
    EXPECT_NEAR(a->EndTime - a->FirstTime, audio, 0.05);
}
