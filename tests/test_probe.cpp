#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaPtr.h"
#include "Platform/MainThread.h"
#include "Probe/AVProbe.h"
#include "Probe/MediaText.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;
using qm::fixtures::FixturePath;

namespace {

// Descriptors the process holds, counted from /proc/self/fd (the count includes the one the
// listing itself uses, the same every time).
int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// The codec name a file written by encoder AEncoder reports.
std::string CodecNameOf(const std::string& AEncoder) {
    const AVCodec* codec = ff::avcodec_find_encoder_by_name(AEncoder.c_str());
    return codec ? ff::avcodec_get_name(codec->id) : "no encoder " + AEncoder;
}

void ExpectClosed(const TAVProbe& probe) {
    EXPECT_EQ(probe.FormatContext(), nullptr);
    EXPECT_TRUE(probe.FormatName().empty());
    for (int32_t n :
         {probe.StreamCount(), probe.ProgramCount(), probe.AudioStreamCount(),
          probe.VideoStreamCount(), probe.SubtitleStreamCount(), probe.FirstAudioStream(),
          probe.FirstVideoStream(), probe.FirstSubtitleStream()})
        EXPECT_EQ(n, -1);
}

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    }

    TAVProbe Probe;
    test::TTempDir Dir;
};

// A context built by hand, for the container facts no fixture has. The probe only looks at it.
class AttachedProbeTest : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        Context.reset(ff::avformat_alloc_context());
        ASSERT_TRUE(Context);
    }
    void TearDown() override { Probe.AttachContext(nullptr); }
    void AddStream(AVMediaType type) {
        AVStream* st = ff::avformat_new_stream(Context.get(), nullptr);
        ASSERT_NE(st, nullptr);
        st->codecpar->codec_type = type;
    }
    void Tag(const char* key, const char* value) {
        ff::av_dict_set(&Context->metadata, key, value, 0);
    }
    TFileStreamInfo Info() {
        Probe.AttachContext(Context.get());
        TFileStreamInfo info;
        Probe.GetFileStreamInfo(info);
        return info;
    }

    TFormatContextPtr Context;
};

} // namespace

TEST_F(ProbeTest, EveryFixtureGivesItsDurationBitRateAndStreams) {
    for (const auto& f : qm::fixtures::StandardFixtures()) {
        SCOPED_TRACE(f.name);
        const auto& settings = f.settings;
        ASSERT_TRUE(Probe.LoadFile(FixturePath(f.name))) << Probe.LastError();
        EXPECT_TRUE(Probe.OwnsContext());
        EXPECT_TRUE(Probe.FormatName().empty());

        TFileStreamInfo info;
        Probe.GetFileStreamInfo(info);
        // Containers round to their own time bases and add the encoders' priming.
        EXPECT_NEAR(info.Duration / 1e6, settings.duration, 0.2) << info.Duration;
        EXPECT_GE(info.StartTime, 0);
        EXPECT_GT(info.BitRate, 0);
        EXPECT_EQ(Probe.FileSize(), int64_t(fs::file_size(FixturePath(f.name))));

        const int videos = settings.videoCodec.empty() ? 0 : 1;
        const int audios = settings.audioCodec.empty() ? 0 : 1;
        const int subtitles = settings.subtitleCodec.empty() ? 0 : 1;
        EXPECT_EQ(Probe.VideoStreamCount(), videos);
        EXPECT_EQ(Probe.AudioStreamCount(), audios);
        EXPECT_EQ(Probe.SubtitleStreamCount(), subtitles);
        EXPECT_EQ(Probe.StreamCount(), videos + audios + subtitles);
        EXPECT_GE(Probe.ProgramCount(), 0);

        int seen[AVMEDIA_TYPE_NB] = {};
        for (int32_t i = 0; i < Probe.StreamCount(); ++i) {
            SCOPED_TRACE("stream " + std::to_string(i));
            TStreamFacts s;
            ASSERT_TRUE(Probe.GetStreamFacts(i, s));
            EXPECT_EQ(s.Index, i);
            ASSERT_GE(s.MediaType, 0);
            if (seen[s.MediaType]++ == 0) {
                const int32_t first = s.MediaType == AVMEDIA_TYPE_VIDEO ? Probe.FirstVideoStream()
                                      : s.MediaType == AVMEDIA_TYPE_AUDIO
                                          ? Probe.FirstAudioStream()
                                          : Probe.FirstSubtitleStream();
                EXPECT_EQ(first, i);
            }
            switch (s.MediaType) {
            case AVMEDIA_TYPE_VIDEO:
                EXPECT_EQ(s.CodecName, CodecNameOf(settings.videoCodec));
                EXPECT_EQ(s.Width, settings.width);
                EXPECT_EQ(s.Height, settings.height);
                EXPECT_NEAR(av_q2d(s.FrameRate), av_q2d(settings.frameRate), 0.01);
                if (settings.sampleAspect.num != settings.sampleAspect.den) {
                    EXPECT_EQ(av_cmp_q(s.SampleAspect, settings.sampleAspect), 0)
                        << s.SampleAspect.num << "/" << s.SampleAspect.den;
                }
                EXPECT_EQ(s.SampleRate, 0);
                EXPECT_EQ(s.Channels, 0);
                break;
            case AVMEDIA_TYPE_AUDIO:
                EXPECT_EQ(s.CodecName, CodecNameOf(settings.audioCodec));
                EXPECT_EQ(s.SampleRate, settings.sampleRate);
                EXPECT_EQ(s.Channels, settings.channels);
                EXPECT_EQ(s.Width, 0);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                EXPECT_EQ(s.CodecName, CodecNameOf(settings.subtitleCodec));
                break;
            default:
                ADD_FAILURE() << "unexpected stream type " << s.MediaType;
            }
        }
        TStreamFacts none;
        EXPECT_FALSE(Probe.GetStreamFacts(Probe.StreamCount(), none));
        EXPECT_FALSE(Probe.GetStreamFacts(-1, none));
        Probe.Close();
        ExpectClosed(Probe);
    }
}

TEST_F(ProbeTest, UnreadableFilesGiveTheProbesMessageAndLeaveNothingOpen) {
    const std::string missing = Dir / "missing.avi";
    const std::string empty = Dir / "empty.mp4";
    const std::string text = Dir / "notes.avi";
    const std::string truncated = Dir / "truncated.mp4";
    const std::string good = FixturePath("mp4_h264_aac.mp4");
    std::ofstream(empty).close();
    std::ofstream(text) << "This is a shopping list, not a film.\n";
    fs::copy_file(good, truncated);
    fs::resize_file(truncated, fs::file_size(good) * 3 / 10);

    struct {
        std::string Name, Format, Message; // an empty Message: any text naming the file
    } cases[] = {
        {missing, "", missing + ": no such file or directory"},
        // What the demuxer said comes with the refusal.
        {empty, "", empty + ": Unknown format (moov atom not found)"},
        {text, "", text + ": Unknown format"},
        {truncated, "", truncated + ": Unknown format (moov atom not found)"},
        {good, "no-such-format", "Unknown input format: no-such-format"},
        {text, "mp3", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name + " " + c.Format);
        const int before = OpenDescriptors();
        EXPECT_FALSE(Probe.LoadFile(c.Name, c.Format));
        if (c.Message.empty())
            EXPECT_EQ(Probe.LastError().rfind(c.Name + ": ", 0), 0u) << Probe.LastError();
        else
            EXPECT_EQ(Probe.LastError(), c.Message);
        ExpectClosed(Probe);
        EXPECT_EQ(OpenDescriptors(), before);
    }

    // The count sees the probe's file while it is open, and loading again replaces it.
    const int before = OpenDescriptors();
    ASSERT_TRUE(Probe.LoadFile(good));
    EXPECT_EQ(OpenDescriptors(), before + 1);
    ASSERT_TRUE(Probe.LoadFile(FixturePath("mpeg1_mp2.mpg")));
    EXPECT_EQ(OpenDescriptors(), before + 1);
    Probe.Close();
    EXPECT_EQ(OpenDescriptors(), before);
    {
        TAVProbe scoped;
        ASSERT_TRUE(scoped.LoadFile(good));
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(ProbeTest, WithoutAFileEverythingIsUnsetAndTheCallerIsTold) {
    ExpectClosed(Probe);
    EXPECT_TRUE(Probe.LastError().empty());
    ASSERT_TRUE(Probe.LoadFile(FixturePath("mp4_h264_aac.mp4")));
    Probe.Close();

    TFileStreamInfo info;
    info.Title = "stale";
    Probe.GetFileStreamInfo(info);
    EXPECT_EQ(Probe.LastError(), "file not loaded.");
    for (int64_t n : {info.StartTime, info.Duration, int64_t(info.BitRate), info.Timestamp,
                      int64_t(info.Year), int64_t(info.Track)})
        EXPECT_EQ(n, -1);
    for (const auto* s :
         {&info.Title, &info.Author, &info.Copyright, &info.Comment, &info.Album, &info.Genre})
        EXPECT_TRUE(s->empty());

    TAVProbe other;
    EXPECT_EQ(other.FileSize(), -1);
    EXPECT_EQ(other.LastError(), "file not loaded.");
    TStreamFacts facts;
    EXPECT_FALSE(other.GetStreamFacts(0, facts));
    EXPECT_TRUE(other.Metadata("title").empty());
    EXPECT_TRUE(other.ContainerName().empty());
}

TEST_F(ProbeTest, AFailureTextOutlivesLaterSuccessesAndCloses) {
    const std::string missing = Dir / "gone.mp4";
    EXPECT_FALSE(Probe.LoadFile(missing));
    ASSERT_TRUE(Probe.LoadFile(FixturePath("mpeg1_mp2.mpg"), "mpeg"));
    EXPECT_EQ(Probe.FormatName(), "mpeg");
    EXPECT_EQ(Probe.ContainerName(), "mpeg");
    Probe.Close();
    EXPECT_EQ(Probe.LastError(), missing + ": no such file or directory");
    EXPECT_TRUE(Probe.FormatName().empty());
}

TEST_F(ProbeTest, AudioBeforeVideoIsCountedInFileOrder) {
    // The FLV muxer writes the audio stream first.
    ASSERT_TRUE(Probe.LoadFile(FixturePath("flv_flv1_mp3.flv")));
    EXPECT_EQ(Probe.FirstAudioStream(), 0);
    EXPECT_EQ(Probe.FirstVideoStream(), 1);
    EXPECT_EQ(Probe.AudioStreamCount(), 1);
    EXPECT_EQ(Probe.VideoStreamCount(), 1);
    EXPECT_EQ(Probe.SubtitleStreamCount(), 0);
    EXPECT_EQ(Probe.FirstSubtitleStream(), -1);
}

TEST_F(ProbeTest, NamesTheFormatLibraryWouldMisreadOpenAndFindTheirSizeOnDisk) {
    for (std::string name : {"Été vidéo – 東京.mp4", "clip:1.mp4", "a b.mp4"}) {
        SCOPED_TRACE(name);
        const std::string path = Dir / name;
        fs::copy_file(FixturePath("mp4_h264_aac.mp4"), path);
        const int before = OpenDescriptors();
        ASSERT_TRUE(Probe.LoadFile(path)) << Probe.LastError();
        EXPECT_EQ(Probe.FileSize(), int64_t(fs::file_size(path)));
        EXPECT_EQ(Probe.VideoStreamCount(), 1);
        Probe.Close();
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST_F(ProbeTest, EachLibraryTheProbeNeedsIsCheckedInTurn) {
    struct {
        TLibraryKinds Loaded;
        const char* Message;
    } cases[] = {
        {{}, "LibAVCodec not loaded."},
        {{lkAVUtil, lkSwResample, lkAVCodec}, "LibAVFormat not loaded."},
        {{lkAVUtil, lkSwResample, lkAVCodec, lkAVFormat}, "LibSwScale not loaded."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Message);
        GlobalLoader.UnloadLibraries(ConverterLibraries);
        if (!c.Loaded.Empty()) {
            ASSERT_TRUE(GlobalLoader.LoadLibraries(c.Loaded)) << GlobalLoader.LastErrMsg();
        }
        for (auto call : {+[](TAVProbe& p) { p.LoadFile("x.mp4"); },
                          +[](TAVProbe& p) { p.AttachContext(nullptr); }}) {
            try {
                call(Probe);
                ADD_FAILURE() << "no exception";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), c.Message);
            }
        }
        ExpectClosed(Probe);
    }
    ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries));
    EXPECT_TRUE(TAVProbe::CheckLibraries());
}

TEST_F(AttachedProbeTest, StreamsAreCountedByKindAndTheContextStaysTheCallers) {
    for (auto type : {AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_DATA,
                      AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_ATTACHMENT})
        AddStream(type);
    Probe.AttachContext(Context.get());
    EXPECT_FALSE(Probe.OwnsContext());
    EXPECT_EQ(Probe.FormatContext(), Context.get());
    EXPECT_EQ(Probe.StreamCount(), 6);
    EXPECT_EQ(Probe.ProgramCount(), 0);
    EXPECT_EQ(Probe.AudioStreamCount(), 1);
    EXPECT_EQ(Probe.VideoStreamCount(), 2);
    EXPECT_EQ(Probe.SubtitleStreamCount(), 1);
    EXPECT_EQ(Probe.FirstAudioStream(), 0);
    EXPECT_EQ(Probe.FirstVideoStream(), 1);
    EXPECT_EQ(Probe.FirstSubtitleStream(), 3);
    TStreamFacts data;
    ASSERT_TRUE(Probe.GetStreamFacts(2, data));
    EXPECT_EQ(data.MediaType, AVMEDIA_TYPE_DATA);
    EXPECT_EQ(data.CodecName, "none");

    // Detaching leaves the context alone (it is freed by its owner after this test).
    Probe.AttachContext(nullptr);
    ExpectClosed(Probe);
    EXPECT_EQ(Context->nb_streams, 6u);
    Probe.AttachContext(Context.get());
    Probe.Close();
    EXPECT_EQ(Context->nb_streams, 6u);
    EXPECT_TRUE(Probe.LastError().empty());
}

TEST_F(AttachedProbeTest, TimesWithoutAValueAndOversizedBitRatesAreMapped) {
    struct {
        int64_t Start, Duration, BitRate;
        int64_t ExpectStart, ExpectDuration;
        int32_t ExpectBitRate;
    } cases[] = {
        {AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0, -1, -1, 0},
        {0, 0, 1411200, 0, 0, 1411200},
        {533333, 2500000, int64_t(INT32_MAX) + 1, 533333, 2500000, INT32_MAX},
        {-20000, 5000000000, 5000000000, -20000, 5000000000, INT32_MAX},
        {0, 1, -8, 0, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Duration);
        Context->start_time = c.Start;
        Context->duration = c.Duration;
        Context->bit_rate = c.BitRate;
        const TFileStreamInfo info = Info();
        EXPECT_EQ(info.StartTime, c.ExpectStart);
        EXPECT_EQ(info.Duration, c.ExpectDuration);
        EXPECT_EQ(info.BitRate, c.ExpectBitRate);
    }
}

TEST_F(AttachedProbeTest, MetadataTagsFillTheInfoRecord) {
    TFileStreamInfo info = Info();
    EXPECT_EQ(info.Timestamp, 0);
    EXPECT_EQ(info.Year, 0);
    EXPECT_EQ(info.Track, 0);
    EXPECT_TRUE(info.Title.empty());
    EXPECT_TRUE(info.Author.empty());

    for (auto [key, value] : {std::pair{"TITLE", "A Walk"},
                              {"artist", "Somebody"},
                              {"copyright", "(c) nobody"},
                              {"comment", "made for a test"},
                              {"album", "Tests"},
                              {"genre", "Noise"}})
        Tag(key, value);
    info = Info();
    EXPECT_EQ(info.Title, "A Walk"); // tag keys are matched without regard to case
    EXPECT_EQ(info.Author, "Somebody");
    EXPECT_EQ(info.Copyright, "(c) nobody");
    EXPECT_EQ(info.Comment, "made for a test");
    EXPECT_EQ(info.Album, "Tests");
    EXPECT_EQ(info.Genre, "Noise");
    EXPECT_EQ(Probe.Metadata("Genre"), "Noise");
    Tag("author", "The Author");
    EXPECT_EQ(Info().Author, "The Author");

    struct {
        const char *Key, *Value;
        int64_t TFileStreamInfo::*Wide;
        int32_t TFileStreamInfo::*Narrow;
        int64_t Expect;
    } numbers[] = {
        {"creation_time", "2009-02-13T23:31:30.000000Z", &TFileStreamInfo::Timestamp, nullptr,
         1234567890},
        {"creation_time", "1970-01-01T00:00:00Z", &TFileStreamInfo::Timestamp, nullptr, 0},
        {"creation_time", "1969-12-31T23:59:59.500000Z", &TFileStreamInfo::Timestamp, nullptr, -1},
        {"creation_time", "last tuesday", &TFileStreamInfo::Timestamp, nullptr, 0},
        {"date", "2009", nullptr, &TFileStreamInfo::Year, 2009},
        {"date", "2009-05-01", nullptr, &TFileStreamInfo::Year, 2009},
        {"date", "unknown", nullptr, &TFileStreamInfo::Year, 0},
        {"date", "99999999999999999999", nullptr, &TFileStreamInfo::Year, 0},
        {"track", "3/12", nullptr, &TFileStreamInfo::Track, 3},
        {"track", "07", nullptr, &TFileStreamInfo::Track, 7},
        {"track", "/12", nullptr, &TFileStreamInfo::Track, 0},
    };
    for (const auto& n : numbers) {
        SCOPED_TRACE(std::string(n.Key) + "=" + n.Value);
        Tag(n.Key, n.Value);
        info = Info();
        EXPECT_EQ(n.Wide ? info.*n.Wide : int64_t(info.*n.Narrow), n.Expect);
    }
}

TEST_F(AttachedProbeTest, FileSizeFallsBackToTheFileOnDiskElseTheContainersValue) {
    const std::string path = FixturePath("mpeg1_mp2.mpg");
    const std::string clip = Dir / "clip:2.mpg";
    fs::copy_file(path, clip);
    struct {
        std::string Url;
        int64_t Expect;
    } cases[] = {
        {path, int64_t(fs::file_size(path))},
        {EncodeFileName(clip), int64_t(fs::file_size(clip))},
        {"http://example.invalid/film.mp4", 0},
        {Dir.Path().string(), 0}, // a folder is no file
        {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Url);
        ff::av_freep(&Context->url);
        Context->url = ff::av_strdup(c.Url.c_str());
        Probe.AttachContext(Context.get());
        EXPECT_EQ(Probe.FileSize(), c.Expect);
    }
}

TEST(ProbeText, DurationIsHoursMinutesSecondsWithDaysInFront) {
    struct {
        int64_t Seconds;
        const char* Text;
    } cases[] = {
        {0, "00:00:00"},
        {5, "00:00:05"},
        {59, "00:00:59"},
        {60, "00:01:00"},
        {3599, "00:59:59"},
        {3725, "01:02:05"},
        {86399, "23:59:59"},
        {86400, "1 00:00:00"},
        {90061, "1 01:01:01"},
        {-1, "00:00:00"},
        {12 * 86400 + 7, "12 00:00:07"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DurationText(c.Seconds), c.Text) << c.Seconds;

    struct {
        int64_t Microseconds;
        const char* Text;
    } us[] = {
        {5999999, "00:00:05"}, {-1, "00:00:00"}, {3725000000, "01:02:05"}, {999999, "00:00:00"}};
    for (const auto& c : us)
        EXPECT_EQ(DurationTextUs(c.Microseconds), c.Text) << c.Microseconds;
}

TEST(ProbeText, SizeIsMegabytesRoundedToTwoDecimals) {
    struct {
        int64_t Bytes;
        const char* Text;
    } cases[] = {
        {1572864, "1.50 MB"},  {10485760, "10.00 MB"},
        {10380902, "9.90 MB"}, {10432000, "9.95 MB"},
        {10480000, "9.99 MB"}, {10485759, "10.00 MB"},
        {0, "0.00 MB"},        {5242, "0.00 MB"}, // 0.004999 MB
        {5243, "0.01 MB"},                        // 0.005000 MB
        {131072, "0.13 MB"},                      // exactly 0.125 MB: halves go up
        {-1, "0.00 MB"},       {INT64_MAX, "8796093022208.00 MB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SizeText(c.Bytes), c.Text) << c.Bytes;
}

TEST_F(ProbeTest, CliPrintsOneBlockPerFileAndFailsForTheFileItCannotRead) {
    const std::string a = FixturePath("mp4_h264_aac.mp4");
    const std::string b = FixturePath("flv_flv1_mp3.flv");
    const std::string missing = Dir / "missing.mkv";
    const auto r = test::RunCommand(test::ShellQuote(test::BinDir() + "/quillmoor-cli") +
                                    " probe " + test::ShellQuote(a) + " " +
                                    test::ShellQuote(missing) + " " + test::ShellQuote(b));
    EXPECT_EQ(r.ExitCode, 1) << r.Output;

    // Every line of each block, in order: the blocks around the message of the missing file.
    std::vector<std::string> expected;
    for (const auto& file : {a, b}) {
        ASSERT_TRUE(Probe.LoadFile(file));
        TFileStreamInfo info;
        Probe.GetFileStreamInfo(info);
        expected.push_back(file + "\n  container: " + Probe.ContainerName());
        expected.push_back("\n  duration:  " + DurationTextUs(info.Duration) + " (");
        expected.push_back("\n  size:      " + SizeText(Probe.FileSize()) + "\n");
        expected.push_back("  bit rate:  " + std::to_string(info.BitRate) + " bit/s\n");
        if (file == a) {
            expected.push_back("  stream #0: video h264, 320x240, 25 fps, language und\n"
                               "  stream #1: audio aac, 44100 Hz, 2 channels, language und\n");
            expected.push_back(missing + ": no such file or directory\n");
        } else {
            expected.push_back("  stream #0: audio mp3, 44100 Hz, 2 channels\n"
                               "  stream #1: video flv1, 160x120, 25 fps\n");
        }
    }
    size_t at = 0;
    for (const auto& piece : expected) {
        const size_t found = r.Output.find(piece, at);
        ASSERT_NE(found, std::string::npos)
            << "missing after offset " << at << ": " << piece << "\n"
            << r.Output;
        at = found + piece.size();
    }

    const auto none =
        test::RunCommand(test::ShellQuote(test::BinDir() + "/quillmoor-cli") + " probe");
    EXPECT_EQ(none.ExitCode, 1);
    EXPECT_NE(none.Output.find("Usage: quillmoor-cli probe FILE..."), std::string::npos);
}
