// Sound tracks on the disc: the format chosen per disc, every sound track of a file with
// its language, the picture's rate giving way to the sound, a silent track for a silent
// file; discs read back with lsdvd and libavformat.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "Core/AppSettings.h"
#include "Core/DvdPresets.h"
#include "Core/InputList.h"
#include "Core/LanguageCodes.h"
#include "Core/SoundTracks.h"
#include "DiscTestSupport.h"
#include "Fixtures.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace qm;

namespace {

const TDvdPreset& Preset(const char* AName) { return DvdPresets()[size_t(FindDvdPreset(AName))]; }

TTrackFacts Track(int AStream, int AChannels, const char* ALanguage, bool ADefault = false) {
    TTrackFacts t;
    t.Stream = AStream;
    t.Channels = AChannels;
    t.Language = ALanguage;
    t.Default = ADefault;
    t.Codec = "aac";
    return t;
}

rInputStreamInfo FileWith(std::vector<TTrackFacts> ATracks) {
    rInputStreamInfo item;
    item.FileName = "film.mkv";
    item.AudioTracks = std::move(ATracks);
    item.HasAudio = !item.AudioTracks.empty();
    return item;
}

std::vector<int> Streams(const TSoundPlan& APlan) {
    std::vector<int> streams;
    for (const auto& t : APlan.Tracks)
        streams.push_back(t.Stream);
    return streams;
}

} // namespace

TEST(SoundPlan, FormatChannelsAndRatesPerDisc) {
    const std::vector<TTrackFacts> stereo{Track(1, 2, "eng")}, surround{Track(1, 6, "eng")};
    struct TCase {
        const char* Preset;
        const char* Format; // "" the preset's own
        std::vector<TTrackFacts> Tracks;
        const char* Encoder;
        int Channels, Bitrate, VideoBitrate, VideoMaxRate;
    } cases[] = {
        {"pal-hq", "", stereo, "mp2", 2, 256000, 9000000, 9000000},
        {"ntsc-hq", "", stereo, "ac3", 2, 256000, 9000000, 9000000},
        {"ntsc-good", "", surround, "ac3", 6, 448000, 6000000, 9000000},
        {"pal-good", "", surround, "mp2", 2, 224000, 6000000, 9000000},
        {"pal-std", "ac3", surround, "ac3", 6, 448000, 4500000, 9000000},
        {"ntsc-lp", "mp2", surround, "mp2", 2, 128000, 2150000, 9000000},
        // 16-bit stereo PCM takes 1.536 Mbit/s of the 9.93 the packing leaves of the 10.08, so
        // a full-rate picture gives way.
        {"pal-hq", "pcm", surround, "pcm_s16be", 2, 1536000, 8395034, 8395034},
        {"pal-std", "pcm", stereo, "pcm_s16be", 2, 1536000, 4500000, 8395034},
        // No sound: one silent track in the disc's format.
        {"ntsc-std", "", {}, "ac3", 2, 192000, 4500000, 9000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Preset) + " " + c.Format);
        TTrackChoices choices;
        choices.SoundFormat = c.Format;
        const TSoundPlan plan =
            PlanSound(FileWith(c.Tracks), Preset(c.Preset), ChosenSoundFormat(choices, Preset(c.Preset)), true);
        EXPECT_EQ(plan.Encoder, c.Encoder);
        ASSERT_EQ(plan.Tracks.size(), 1u);
        EXPECT_EQ(plan.Tracks[0].Stream, c.Tracks.empty() ? -1 : 1);
        EXPECT_EQ(plan.Tracks[0].Channels, c.Channels);
        EXPECT_EQ(plan.Tracks[0].Bitrate, c.Bitrate);
        EXPECT_EQ(plan.VideoBitrate, c.VideoBitrate);
        EXPECT_EQ(plan.VideoMaxRate, c.VideoMaxRate);
        // The log tells when the picture gave way.
        EXPECT_EQ(plan.Note.empty(), c.VideoMaxRate == DvdVideoMaxRate) << plan.Note;
    }
}

TEST(SoundPlan, TracksInFileOrderDefaultFirstAtMostEight) {
    const TDvdPreset& pal = Preset("pal-hq");
    const auto three = FileWith({Track(1, 2, "eng"), Track(2, 2, "fre", true), Track(3, 2, "")});
    EXPECT_EQ(Streams(PlanSound(three, pal, sfMp2, true)), (std::vector<int>{2, 1, 3}));
    EXPECT_EQ(Streams(PlanSound(three, pal, sfMp2, false)), (std::vector<int>{2}));
    const TSoundPlan plan = PlanSound(three, pal, sfMp2, true);
    EXPECT_EQ(plan.Tracks[0].Language, "fr");
    EXPECT_EQ(plan.Tracks[1].Language, "en");
    EXPECT_EQ(plan.Tracks[2].Language, "");
    // Streams the probe could not read stay off.
    auto unread = three;
    unread.AudioTracks[0].Codec = "none";
    unread.AudioTracks[2].Channels = 0;
    EXPECT_EQ(Streams(PlanSound(unread, pal, sfMp2, true)), (std::vector<int>{2}));

    std::vector<TTrackFacts> ten;
    for (int i = 1; i <= 10; ++i)
        ten.push_back(Track(i, 2, "eng"));
    EXPECT_EQ(Streams(PlanSound(FileWith(ten), pal, sfAc3, true)), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    // 2.048 Mbit/s of sound leave the picture 7.88 of the 9.93 Mbit/s the packing leaves of 10.08.
    EXPECT_EQ(PlanSound(FileWith(ten), pal, sfAc3, true).VideoMaxRate, 9931034 - 8 * 256000);

    // PCM tracks are left off where the picture would keep less than 2 Mbit/s.
    const TSoundPlan pcm = PlanSound(FileWith(ten), pal, sfPcm, true);
    EXPECT_EQ(pcm.Tracks.size(), 5u);
    EXPECT_GE(pcm.VideoBitrate, 2000000);
    EXPECT_NE(pcm.Note.find("Only 5 of the 8 sound tracks of film.mkv"), std::string::npos) << pcm.Note;
}

TEST(Languages, TwoLetterCodesForTheDisc) {
    const std::pair<const char*, const char*> cases[] = {
        {"eng", "en"}, {"fre", "fr"}, {"fra", "fr"}, {"ger", "de"}, {"DEU", "de"}, {"spa", "es"},
        {"chi", "zh"}, {"zho", "zh"}, {"en", "en"}, {"de", "de"}, {"en-US", "en"}, {"pt_BR", "pt"},
        {"und", ""},   {"mis", ""},   {"", ""},     {"xx", ""},    {"e1g", ""},   {"english", ""},
    };
    for (const auto& [tag, code] : cases)
        EXPECT_EQ(TwoLetterLanguage(tag), code) << tag;
}

TEST(TrackOptions, WordsOfTheCommandLine) {
    TTrackChoices c;
    std::string error;
    EXPECT_TRUE(ParseTrackOption("--audio", "AC3", c, error));
    EXPECT_EQ(c.SoundFormat, "ac3");
    EXPECT_TRUE(ParseTrackOption("--audio-tracks", "first", c, error));
    EXPECT_FALSE(c.AllSoundTracks);
    const std::pair<const char*, const char*> wrong[] = {{"--audio", "dts"}, {"--audio", ""}, {"--audio-tracks", "2"}};
    for (const auto& [option, value] : wrong) {
        const TTrackChoices before = c;
        EXPECT_FALSE(ParseTrackOption(option, value, c, error)) << option << " " << value;
        EXPECT_NE(error.find(option), std::string::npos) << error;
        EXPECT_NE(error.find(std::string("\"") + value + "\""), std::string::npos) << error;
        EXPECT_EQ(c.SoundFormat, before.SoundFormat);
    }
    // The preset decides while nothing is chosen.
    EXPECT_EQ(ChosenSoundFormat({}, Preset("pal-std")), sfMp2);
    EXPECT_EQ(ChosenSoundFormat({}, Preset("ntsc-std")), sfAc3);
}

TEST(SoundSettings, StoredAsTheCommandLineWords) {
    test::TTempDir dir;
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    ::setenv("HOME", dir.Path().c_str(), 1);
    TAppSettings s = LoadSettings();
    EXPECT_EQ(s.Tracks.SoundFormat, "");
    EXPECT_TRUE(s.Tracks.AllSoundTracks);
    s.Tracks = {"pcm", false};
    SaveSettings(s);
    const std::string file = dir / "config/Tarnwick/Tarnwick Quillmoor.conf";
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("SoundFormat=pcm"), std::string::npos) << text;
    EXPECT_NE(text.find("SoundTracks=first"), std::string::npos) << text;
    TAppSettings back = LoadSettings();
    EXPECT_EQ(back.Tracks.SoundFormat, "pcm");
    EXPECT_FALSE(back.Tracks.AllSoundTracks);
    // Words the command line would refuse keep the defaults.
    std::ofstream(file) << "[Configuration]\nSoundFormat=dts\nSoundTracks=2\n";
    back = LoadSettings();
    EXPECT_EQ(back.Tracks.SoundFormat, "");
    EXPECT_TRUE(back.Tracks.AllSoundTracks);
}

namespace {

struct TAudioTrack {
    std::string Language, Format;
    int Channels = 0;
};

// lsdvd -a: the sound tracks of title 1.
std::vector<TAudioTrack> ReadAudioTracks(const std::string& AFolder) {
    const auto read = test::RunCommand("lsdvd -a -t 1 " + test::ShellQuote(AFolder));
    static const std::regex audio(R"(Audio: \d+, Language: (\S*) .*?Format: (\w+) ?,.*?Channels: (\d+))");
    std::vector<TAudioTrack> tracks;
    for (auto it = std::sregex_iterator(read.Output.begin(), read.Output.end(), audio); it != std::sregex_iterator(); ++it)
        tracks.push_back({(*it)[1], (*it)[2], std::stoi((*it)[3])});
    return tracks;
}

// Seconds of picture and of each sound stream in the disc's first title set.
struct TStreamLengths {
    double Video = 0;
    std::vector<double> Audio;
};

TStreamLengths ReadStreamLengths(const std::string& AVob) {
    TStreamLengths lengths;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, AVob.c_str(), nullptr, nullptr) < 0)
        return lengths;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> ic(raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    avformat_find_stream_info(ic.get(), nullptr);
    std::vector<double> first(ic->nb_streams, -1), end(ic->nb_streams, 0);
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    while (av_read_frame(ic.get(), pkt.get()) >= 0) {
        const AVStream* st = ic->streams[pkt->stream_index];
        // Pictures in a program stream may carry only their decoding time.
        const int64_t stamp = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (stamp != AV_NOPTS_VALUE) {
            const double at = stamp * av_q2d(st->time_base);
            double& f = first[size_t(pkt->stream_index)];
            f = f < 0 ? at : std::min(f, at);
            end[size_t(pkt->stream_index)] = std::max(end[size_t(pkt->stream_index)], at + pkt->duration * av_q2d(st->time_base));
        }
        av_packet_unref(pkt.get());
    }
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const double length = first[i] < 0 ? 0 : end[i] - first[i];
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            lengths.Video = length;
        else if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            lengths.Audio.push_back(length);
    }
    return lengths;
}

// dvdauthor's complaints among the batch's -v lines.
std::string AuthoringWarnings(const std::string& AOutput) {
    std::string warnings;
    std::istringstream lines(AOutput);
    for (std::string line; std::getline(lines, line);)
        if (line.find("dvdauthor:") != std::string::npos &&
            (line.find("WARN") != std::string::npos || line.find("ERR") != std::string::npos))
            warnings += line + "\n";
    return warnings;
}

} // namespace

TEST(SoundOnDisc, FormatsAsChosen) {
    REQUIRE_DISC_TOOLS();
    struct TCase {
        const char* Fixture;
        const char* Options;
        const char* Format; // as lsdvd names it: "mpeg1" for MP2
        int Channels;
    } cases[] = {
        {"mp4_h264_aac.mp4", "-p ntsc-lp", "ac3", 2},
        {"mp4_h264_aac_5_1.mp4", "-p ntsc-lp", "ac3", 6},
        {"mp4_h264_aac_5_1.mp4", "-p pal-lp", "mpeg1", 2},
        {"mp4_h264_aac.mp4", "-p ntsc-lp --audio mp2", "mpeg1", 2},
        {"mp4_h264_aac_5_1.mp4", "-p pal-lp --audio pcm", "lpcm", 2},
        // A silent file gets a track of silence in the disc's format.
        {"mp4_no_audio.mp4", "-p pal-lp", "mpeg1", 2},
        {"mp4_no_audio.mp4", "-p ntsc-lp --audio pcm", "lpcm", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Fixture) + " " + c.Options);
        test::TTempDir dir;
        const std::string out = dir / "out";
        const auto run = test::ConvertDisc(std::string(c.Options) + " --chapters 0", {fixtures::FixturePath(c.Fixture)}, out);
        ASSERT_EQ(run.ExitCode, 0) << run.Output;
        // The library's DVD muxer says every pack of linear PCM holds seven frames, so
        // dvdauthor's time for a pack's end runs ahead of the next pack's stamp.
        if (std::string(c.Format) != "lpcm") {
            EXPECT_EQ(AuthoringWarnings(run.Output), "");
        }
        const auto tracks = ReadAudioTracks(out);
        ASSERT_EQ(tracks.size(), 1u) << test::RunCommand("lsdvd -a " + test::ShellQuote(out)).Output;
        EXPECT_EQ(tracks[0].Format, c.Format);
        EXPECT_EQ(tracks[0].Channels, c.Channels);
        // The sound lasts as long as the picture.
        const TStreamLengths lengths = ReadStreamLengths(out + "/VIDEO_TS/VTS_01_1.VOB");
        ASSERT_EQ(lengths.Audio.size(), 1u);
        EXPECT_GT(lengths.Video, 1.5);
        EXPECT_NEAR(lengths.Audio[0], lengths.Video, 0.15);
    }
}

TEST(SoundOnDisc, EveryTrackWithItsLanguage) {
    REQUIRE_DISC_TOOLS();
    test::TTempDir dir;
    fixtures::ClipSettings clip = fixtures::VideoOnlyClip(160, 120, 2);
    clip.audioCodec = "aac";
    clip.audioLanguages = {"eng", "fre"};
    const std::string film = dir / "film.mkv";
    std::string error;
    ASSERT_TRUE(fixtures::WriteClip(clip, film, error)) << error;

    struct TCase {
        const char* Options;
        std::vector<std::string> Languages;
    } cases[] = {
        {"-p pal-lp", {"en", "fr"}},
        {"-p pal-lp --audio-tracks first", {"en"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Options);
        const std::string out = dir / "out";
        const auto run = test::ConvertDisc(std::string(c.Options) + " --overwrite --chapters 0", {film}, out);
        ASSERT_EQ(run.ExitCode, 0) << run.Output;
        EXPECT_EQ(AuthoringWarnings(run.Output), "");
        std::vector<std::string> languages;
        for (const auto& t : ReadAudioTracks(out))
            languages.push_back(t.Language);
        EXPECT_EQ(languages, c.Languages) << test::RunCommand("lsdvd -a " + test::ShellQuote(out)).Output;
        const TStreamLengths lengths = ReadStreamLengths(out + "/VIDEO_TS/VTS_01_1.VOB");
        ASSERT_EQ(lengths.Audio.size(), c.Languages.size());
        for (double a : lengths.Audio)
            EXPECT_NEAR(a, lengths.Video, 0.15);
    }
}
