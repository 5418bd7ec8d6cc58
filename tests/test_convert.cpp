// quillmoor-cli convert end to end: files in, an authored DVD-Video folder out, read back by
// lsdvd; the failures a user must hear about; Ctrl-C; the shape of every title.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Loader/MediaPtr.h"
#include "Probe/AVProbe.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

std::string Cli() { return test::ShellQuote(test::BinDir() + "/quillmoor-cli"); }

std::string Fixture(const std::string& name) { return test::ShellQuote(fixtures::FixturePath(name)); }

bool DvdToolsMissing() {
    return test::RunCommand("command -v dvdauthor && command -v lsdvd").ExitCode != 0;
}

#define REQUIRE_DVD_TOOLS()                                                                        \
    if (DvdToolsMissing())                                                                         \
    GTEST_SKIP() << "dvdauthor or lsdvd is not installed (scripts/install-deps.sh installs both)"

struct TTitle {
    double Length = 0;
    std::string Format, Aspect;
    int Width = 0, Height = 0;
};

std::vector<TTitle> ReadTitles(const std::string& folder) {
    const auto read = test::RunCommand("lsdvd -v " + test::ShellQuote(folder));
    std::vector<TTitle> titles;
    static const std::regex title(R"(Title: \d+, Length: (\d+):(\d+):(\d+)\.(\d+))");
    static const std::regex video(
        R"(Format: (\w+), Aspect ratio: ([\d/]+), Width: (\d+), Height: (\d+))");
    std::smatch m;
    std::string rest = read.Output;
    while (std::regex_search(rest, m, title)) {
        TTitle t;
        t.Length = std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]) +
                   std::stoi(m[4]) / 1000.0;
        rest = m.suffix();
        std::smatch v;
        if (std::regex_search(rest, v, video)) {
            t.Format = v[1];
            t.Aspect = v[2];
            t.Width = std::stoi(v[3]);
            t.Height = std::stoi(v[4]);
        }
        titles.push_back(t);
    }
    return titles;
}

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The luma of the first picture of a file as rows of bytes.
struct TLuma {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Y;
    double SampleAspect = 0;
    int At(int x, int y) const { return Y[size_t(y) * Width + x]; }
    // The first column from the left whose pixels are not all black, and the same from
    // the right; the first row from the top.
    int LeftBar() const {
        for (int x = 0; x < Width; ++x)
            for (int y = 0; y < Height; ++y)
                if (At(x, y) > 40)
                    return x;
        return Width;
    }
    int RightBar() const {
        for (int x = Width - 1; x >= 0; --x)
            for (int y = 0; y < Height; ++y)
                if (At(x, y) > 40)
                    return Width - 1 - x;
        return Width;
    }
    int TopBar() const {
        for (int y = 0; y < Height; ++y)
            for (int x = 0; x < Width; ++x)
                if (At(x, y) > 40)
                    return y;
        return Height;
    }
};

TLuma FirstLuma(const std::string& path) {
    TLuma luma;
    AVFormatContext* raw = nullptr;
    if (ff::avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return luma;
    TInputContextPtr ic(raw);
    ff::avformat_find_stream_info(ic.get(), nullptr);
    int index = -1;
    for (unsigned i = 0; i < ic->nb_streams && index < 0; ++i)
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            index = int(i);
    if (index < 0)
        return luma;
    const AVCodecParameters* par = ic->streams[index]->codecpar;
    const AVCodec* decoder = ff::avcodec_find_decoder(par->codec_id);
    TCodecContextPtr dec(ff::avcodec_alloc_context3(decoder));
    ff::avcodec_parameters_to_context(dec.get(), par);
    if (ff::avcodec_open2(dec.get(), decoder, nullptr) < 0)
        return luma;
    TPacketPtr packet(ff::av_packet_alloc());
    TFramePtr frame(ff::av_frame_alloc());
    bool got = false;
    while (!got && ff::av_read_frame(ic.get(), packet.get()) >= 0) {
        if (packet->stream_index == index && ff::avcodec_send_packet(dec.get(), packet.get()) >= 0)
            got = ff::avcodec_receive_frame(dec.get(), frame.get()) >= 0;
        ff::av_packet_unref(packet.get());
    }
    if (!got)
        return luma;
    luma.Width = frame->width;
    luma.Height = frame->height;
    for (int y = 0; y < frame->height; ++y)
        luma.Y.insert(luma.Y.end(), frame->data[0] + y * frame->linesize[0],
                      frame->data[0] + y * frame->linesize[0] + frame->width);
    const AVRational sar = frame->sample_aspect_ratio;
    luma.SampleAspect = sar.den ? double(sar.num) / sar.den : 0;
    return luma;
}

class ConvertTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Keep the user's own settings out of it.
        ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
    }
    test::TTempDir Dir;
};

} // namespace

TEST_F(ConvertTest, ThreeFilesBecomeThreeTitlesInOrder) {
    REQUIRE_DVD_TOOLS();
    const std::string out = Dir / "out";
    auto run = test::RunCommand(Cli() + " convert -p pal-hq -o " + test::ShellQuote(out) + " " +
                                Fixture("avi_mpeg4_mp3.avi") + " " + Fixture("mkv_h264_vorbis_srt.mkv") +
                                " " + Fixture("av_sync.mp4"));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_NE(run.Output.find("DVD folder: " + out + "/VIDEO_TS"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("title 3: " + fixtures::FixturePath("av_sync.mp4")), std::string::npos);
    // Short files end before a rate can be measured: none is shown rather than a zero.
    EXPECT_EQ(run.Output.find(" 0 fps"), std::string::npos) << run.Output;
    const auto titles = ReadTitles(out);
    ASSERT_EQ(titles.size(), 3u) << run.Output;
    const double lengths[] = {2, 2, 4};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(titles[i].Format, "PAL");
        EXPECT_EQ(titles[i].Width, 720);
        EXPECT_EQ(titles[i].Height, 576);
        EXPECT_NEAR(titles[i].Length, lengths[i], 0.5) << i;
    }
    EXPECT_TRUE(fs::exists(out + "/VIDEO_TS/VIDEO_TS.IFO"));
    EXPECT_TRUE(fs::exists(out + "/VIDEO_TS/VTS_01_1.VOB"));
    // Nothing but the DVD folders is left.
    for (const auto& name : Entries(out))
        EXPECT_TRUE(name == "VIDEO_TS" || name == "AUDIO_TS") << name;
}

TEST_F(ConvertTest, FilesConvertedSideBySideStayInListOrder) {
    REQUIRE_DVD_TOOLS();
    // The long file first: the short ones end before it.
    const std::string out = Dir / "out";
    auto run = test::RunCommand(Cli() + " convert --jobs 2 --threads 1 -p pal-lp -o " + test::ShellQuote(out) +
                                " " + Fixture("av_sync.mp4") + " " + Fixture("mp4_h264_aac.mp4") + " " +
                                Fixture("audio_only.mp3") + " " + Fixture("flv_flv1_mp3.flv"));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + fixtures::FixturePath("av_sync.mp4")), std::string::npos)
        << run.Output;
    EXPECT_NE(run.Output.find("title 3: " + fixtures::FixturePath("flv_flv1_mp3.flv")), std::string::npos);
    EXPECT_NE(run.Output.find("100.0%"), std::string::npos);
    const auto titles = ReadTitles(out);
    ASSERT_EQ(titles.size(), 3u) << run.Output;
    const double lengths[] = {4, 2, 2};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(titles[i].Length, lengths[i], 0.5) << i;
}

TEST_F(ConvertTest, LongPlayNtscWithATrimmedFile) {
    REQUIRE_DVD_TOOLS();
    const std::string out = Dir / "out";
    auto run = test::RunCommand(Cli() + " convert -p ntsc-lp -o " + test::ShellQuote(out) +
                                " --trim " + test::ShellQuote(fixtures::FixturePath("av_sync.mp4") + "=1-3") +
                                " --trim " + Fixture("mp4_h264_aac.mp4") + "=0:00:00.5- " +
                                Fixture("av_sync.mp4") + " " + Fixture("mp4_h264_aac.mp4"));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    const auto titles = ReadTitles(out);
    ASSERT_EQ(titles.size(), 2u) << run.Output;
    EXPECT_EQ(titles[0].Format, "NTSC");
    EXPECT_EQ(titles[0].Width, 352);
    EXPECT_NEAR(titles[0].Length, 2.0, 0.5);
    EXPECT_NEAR(titles[1].Length, 1.5, 0.5);
}

TEST_F(ConvertTest, PresetsListAndBadArguments) {
    auto list = test::RunCommand(Cli() + " convert -p list");
    EXPECT_EQ(list.ExitCode, 0);
    EXPECT_NE(list.Output.find(
                  "4  pal-hq     DVD PAL High Quality  (MPEG2,  9Mbit,  25fps,  720x576,  Audio-256Kbit)"),
              std::string::npos)
        << list.Output;
    struct TCase {
        std::string Args, Says;
    } cases[] = {
        {"-p pal-xx a.avi", "Unknown preset \"pal-xx\""},
        {"--trim a.avi=3-1 a.avi", "not a valid START-END range"},
        {"--trim a.avi a.avi", "--trim wants FILE=START-END"},
        {"-o", "Option -o needs a value"},
        {"--disc 4,2G a.avi", "--disc wants dvd5, dvd9, none or a size"},
        {"--fit --disc none a.avi", "--fit needs a disc size"},
        {"-o x --iso x.iso a.avi", "Give either -o FOLDER or --iso FILE"},
        {"", "no files given"},
        {"-p '' a.avi", "Unknown preset \"\""},
        {"-o '' a.avi", "-o wants a folder"},
        {"-- -p", "-p: it does not exist"},
    };
    for (const auto& c : cases) {
        auto r = test::RunCommand(Cli() + " convert " + c.Args);
        EXPECT_EQ(r.ExitCode, 1) << c.Args;
        EXPECT_NE(r.Output.find(c.Says), std::string::npos) << c.Args << ": " << r.Output;
    }
}

// Without dvdauthor the message says which package to install; nothing is left behind.
TEST_F(ConvertTest, WithoutTheAuthoringProgramTheMessageNamesThePackage) {
    const std::string out = Dir / "out";
    std::filesystem::create_directories(Dir / "empty");
    auto run = test::RunCommand("PATH=" + test::ShellQuote(Dir / "empty") + " " + Cli() + " convert -p pal-lp -o " +
                                test::ShellQuote(out) + " " + Fixture("mp4_h264_aac.mp4"));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("dvdauthor is not installed"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("sudo apt install dvdauthor"), std::string::npos) << run.Output;
    EXPECT_TRUE(fs::is_empty(out)) << run.Output;
}

TEST_F(ConvertTest, ANameGivenTwiceIsNamedAndATrimReachesTheFileKept) {
    REQUIRE_DVD_TOOLS();
    // Two files whose names differ in letter case only, and one of them again: the list keeps
    // the first, whose trim is given by the other's name.
    const std::string out = Dir / "out", upper = Dir / "Clip.mp4", lower = Dir / "clip.mp4";
    fs::copy_file(fixtures::FixturePath("mp4_h264_aac.mp4"), upper);
    fs::copy_file(fixtures::FixturePath("mp4_h264_aac.mp4"), lower);
    auto run = test::RunCommand(Cli() + " convert -p pal-lp -o " + test::ShellQuote(out) + " " +
                                test::ShellQuote(upper) + " " + test::ShellQuote(lower) + " " +
                                test::ShellQuote(upper) + " --trim " + test::ShellQuote(lower + "=0-1"));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    for (const std::string& name : {lower, upper})
        EXPECT_NE(run.Output.find(name + ": already in the list"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + upper), std::string::npos) << run.Output;
    const auto titles = ReadTitles(out);
    ASSERT_EQ(titles.size(), 1u) << run.Output;
    EXPECT_NEAR(titles[0].Length, 1.0, 0.4);
}

TEST_F(ConvertTest, UnreadableAndPictureLessFilesAreNamedAndLeftOff) {
    REQUIRE_DVD_TOOLS();
    const std::string out = Dir / "out", bad = Dir / "broken.avi";
    std::ofstream(bad) << "not a video at all";
    auto run = test::RunCommand(Cli() + " convert -o " + test::ShellQuote(out) + " " +
                                Fixture("mp4_h264_aac.mp4") + " " + test::ShellQuote(bad) + " " +
                                Fixture("audio_only.mp3"));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find(bad + ": it is not a valid video file or its format is not supported"), std::string::npos)
        << run.Output;
    EXPECT_NE(run.Output.find("\n\nWe cannot read this file. This is"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("not on the disc: " + fixtures::FixturePath("audio_only.mp3") +
                              " (It has no video stream"),
              std::string::npos)
        << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + fixtures::FixturePath("mp4_h264_aac.mp4")), std::string::npos);
    EXPECT_EQ(ReadTitles(out).size(), 1u);
}

TEST_F(ConvertTest, TheUsersFilesAreNeverTouched) {
    REQUIRE_DVD_TOOLS();
    const std::string out = Dir / "out";
    fs::create_directories(out);
    std::ofstream(out + "/Movies0.mpg") << "my own file";
    std::ofstream(out + "/dvd.xml") << "mine too";
    const std::string args = " convert -o " + test::ShellQuote(out) + " " + Fixture("mp4_h264_aac.mp4");
    auto first = test::RunCommand(Cli() + args);
    ASSERT_EQ(first.ExitCode, 0) << first.Output;
    std::ifstream mine(out + "/Movies0.mpg");
    std::string text;
    std::getline(mine, text);
    EXPECT_EQ(text, "my own file");
    EXPECT_TRUE(fs::exists(out + "/dvd.xml"));

    // A disc that is there already is not replaced without --overwrite.
    const auto before = fs::last_write_time(out + "/VIDEO_TS/VIDEO_TS.IFO");
    auto again = test::RunCommand(Cli() + args);
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_NE(again.Output.find("already holds a DVD (VIDEO_TS)"), std::string::npos) << again.Output;
    EXPECT_EQ(fs::last_write_time(out + "/VIDEO_TS/VIDEO_TS.IFO"), before);
    auto replace = test::RunCommand(Cli() + args + " " + Fixture("avi_mpeg4_mp3.avi") + " --overwrite");
    ASSERT_EQ(replace.ExitCode, 0) << replace.Output;
    EXPECT_EQ(ReadTitles(out).size(), 2u);

    // An output folder that cannot be made.
    auto blocked = test::RunCommand(Cli() + " convert -o " + test::ShellQuote(out + "/Movies0.mpg/x") +
                                    " " + Fixture("mp4_h264_aac.mp4"));
    EXPECT_EQ(blocked.ExitCode, 1);
    EXPECT_NE(blocked.Output.find("Cannot create the output folder"), std::string::npos) << blocked.Output;
}

TEST_F(ConvertTest, AFailingAuthoringProgramIsAFailure) {
    // A program folder of its own whose dvdauthor reports an error.
    const fs::path program = Dir.Path() / "program";
    fs::create_directories(program / "Data/Quillmoor");
    fs::create_hard_link(test::BinDir() + "/quillmoor-cli", program / "quillmoor-cli");
    fs::copy_file(test::BinDir() + "/Data/Quillmoor/dvd.xml", program / "Data/Quillmoor/dvd.xml");
    const fs::path fake = program / "Data/Quillmoor/dvdauthor";
    std::ofstream(fake) << "#!/bin/sh\necho 'ERR: no space left for the menus'\nexit 1\n";
    fs::permissions(fake, fs::perms::owner_all);

    const std::string out = Dir / "out";
    auto run = test::RunCommand(test::ShellQuote((program / "quillmoor-cli").string()) + " convert -o " +
                                test::ShellQuote(out) + " " + Fixture("mp4_h264_aac.mp4"));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("DVD authoring failed"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("ERR: no space left for the menus"), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("DVD folder:"), std::string::npos) << run.Output;
    EXPECT_TRUE(fs::is_empty(out)) << "no half disc, no intermediate files";
}

TEST_F(ConvertTest, CtrlCStopsCleanly) {
    const std::string out = Dir / "out", clip = Dir / "long.mp4";
    auto made = test::RunCommand(test::ShellQuote(test::BinDir() + "/make-fixtures") + " --clip " +
                                 test::ShellQuote(clip) + " duration=8");
    ASSERT_EQ(made.ExitCode, 0) << made.Output;
    const std::string cli = test::BinDir() + "/quillmoor-cli";
    // The second file has started: stop the batch in the middle of it.
    bool signalled = false;
    const auto run = test::RunSignalledWhen({cli, "convert", "-o", out, fixtures::FixturePath("mp4_h264_aac.mp4"),
                                             clip, fixtures::FixturePath("avi_mpeg4_mp3.avi")},
                                            "converting 2/3", SIGINT, signalled);
    const std::string& output = run.Output;
    ASSERT_TRUE(signalled) << output;
    EXPECT_EQ(run.ExitCode, 2) << output;
    EXPECT_EQ(output.find("converting 3/3"), std::string::npos) << output;
    EXPECT_TRUE(fs::is_empty(out)) << "the batch's files are gone";
}

TEST_F(ConvertTest, EveryTitleKeepsItsShape) {
    REQUIRE_DVD_TOOLS();
    ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    // A 4:3 picture with a bright border first, then a 16:9 one: the disc is 16:9.
    const std::string out = Dir / "out";
    auto run = test::RunCommand(Cli() + " convert -v -p pal-good -o " + test::ShellQuote(out) + " " +
                                Fixture("known_layout.mp4") + " " + Fixture("anamorphic_16x9.mpg"));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    const auto titles = ReadTitles(out);
    ASSERT_EQ(titles.size(), 2u);
    for (const auto& t : titles)
        EXPECT_EQ(t.Aspect, "16/9");
    const TLuma first = FirstLuma(out + "/VIDEO_TS/VTS_01_1.VOB");
    ASSERT_EQ(first.Width, 720);
    ASSERT_EQ(first.Height, 576);
    // The stream says 16:9 too, and the 4:3 picture (540 of 720 columns) sits between bars.
    EXPECT_NEAR(first.SampleAspect * 720 / 576, 16.0 / 9, 0.01);
    EXPECT_NEAR(first.LeftBar(), 90, 4);
    EXPECT_NEAR(first.RightBar(), 90, 4);
    EXPECT_LE(first.TopBar(), 2);

    // A portrait picture alone makes a 4:3 disc, pillarboxed.
    const std::string tall = Dir / "tall.mp4", portrait = Dir / "portrait";
    auto made = test::RunCommand(test::ShellQuote(test::BinDir() + "/make-fixtures") + " --clip " +
                                 test::ShellQuote(tall) + " size=240x424 pattern=layout duration=1");
    ASSERT_EQ(made.ExitCode, 0) << made.Output;
    run = test::RunCommand(Cli() + " convert -p pal-hq -o " + test::ShellQuote(portrait) + " " +
                           test::ShellQuote(tall));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    ASSERT_EQ(ReadTitles(portrait).size(), 1u);
    EXPECT_EQ(ReadTitles(portrait)[0].Aspect, "4/3");
    const TLuma picture = FirstLuma(portrait + "/VIDEO_TS/VTS_01_1.VOB");
    // 240x424 shown at 4:3 in 720x576: 720 * (240/424) / (4/3) = 306 columns.
    EXPECT_NEAR(picture.LeftBar(), (720 - 306) / 2, 4);
    EXPECT_NEAR(picture.RightBar(), (720 - 306) / 2, 4);
}

TEST_F(ConvertTest, NoAudioWarningsForAnyFixture) {
    REQUIRE_DVD_TOOLS();
    std::string files;
    for (const auto& f : fixtures::StandardFixtures())
        if (!f.settings.videoCodec.empty())
            files += " " + Fixture(f.name);
    const std::string out = Dir / "out";
    auto run = test::RunCommand(Cli() + " convert -v -p ntsc-std -o " + test::ShellQuote(out) + files);
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_NE(run.Output.find("dvdauthor: "), std::string::npos);
    for (const char* warning : {"moves backwards", "Discontinuity", "discontinuity", "WARN:"})
        EXPECT_EQ(run.Output.find(warning), std::string::npos) << warning << "\n" << run.Output;
}

namespace {

// Whether the image holds an ISO 9660 and a UDF file system: their descriptors ("CD001", and
// "NSR02" in the volume recognition sequence) in the sectors from 16 on.
std::pair<bool, bool> ImageFileSystems(const std::string& AImage) {
    std::ifstream in(AImage, std::ios::binary);
    std::string head(64 * 2048, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    bool iso = false, udf = false;
    for (size_t sector = 16; sector < 64; ++sector) {
        const std::string id = head.substr(sector * 2048 + 1, 5);
        iso = iso || id == "CD001";
        udf = udf || id == "NSR02" || id == "NSR03";
    }
    return {iso, udf};
}

} // namespace

TEST_F(ConvertTest, AFittedBatchFillsItsDiscAndBecomesAnImage) {
    REQUIRE_DVD_TOOLS();
    if (test::RunCommand("command -v genisoimage").ExitCode != 0)
        GTEST_SKIP() << "genisoimage is not installed (scripts/install-deps.sh installs it)";
    // Hard footage (fine detail and grain in every frame), a wide and a 4:3 picture.
    const std::string wide = Dir / "grain-wide.mkv", narrow = Dir / "grain-4x3.mp4";
    for (const auto& [clip, settings] : {std::pair{wide, "size=1024x576 duration=12 vcodec=mpeg4 vb=20M"},
                                         std::pair{narrow, "size=640x480 duration=10 vcodec=mpeg4 vb=15M"}}) {
        auto made = test::RunCommand(test::ShellQuote(test::BinDir() + "/make-fixtures") + " --clip " +
                                     test::ShellQuote(clip) + " pattern=grain " + settings);
        ASSERT_EQ(made.ExitCode, 0) << made.Output;
    }
    const std::string out = Dir / "out", image = out + "/Grain test.iso";
    fs::create_directories(out);
    constexpr double DiscBytes = 15e6;
    auto run = test::RunCommand(Cli() + " convert -p pal-hq --fit --disc 15M --iso " + test::ShellQuote(image) +
                                " " + test::ShellQuote(wide) + " " + test::ShellQuote(narrow));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_NE(run.Output.find(" of 15.0 MB (100 %), fitted: "), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("DVD image: " + image), std::string::npos) << run.Output;
    const double used = double(fs::file_size(image)) / DiscBytes;
    RecordProperty("disc_used_percent", std::to_string(used * 100));
    EXPECT_GE(used, 0.92) << run.Output;
    EXPECT_LE(used, 1.0) << run.Output;

    const auto titles = ReadTitles(image);
    ASSERT_EQ(titles.size(), 2u) << run.Output;
    EXPECT_NEAR(titles[0].Length, 12, 0.5);
    EXPECT_NEAR(titles[1].Length, 10, 0.5);
    EXPECT_EQ(titles[0].Width, 720);
    EXPECT_EQ(titles[0].Aspect, "16/9");
    const auto [iso, udf] = ImageFileSystems(image);
    EXPECT_TRUE(iso);
    EXPECT_TRUE(udf);
    auto info = test::RunCommand("isoinfo -d -i " + test::ShellQuote(image));
    EXPECT_NE(info.Output.find("Volume id: GRAIN_TEST"), std::string::npos) << info.Output;
    auto files = test::RunCommand("isoinfo -l -i " + test::ShellQuote(image));
    EXPECT_NE(files.Output.find("VIDEO_TS.IFO"), std::string::npos) << files.Output;
    EXPECT_EQ(Entries(out), std::vector<std::string>{"Grain test.iso"}) << "no folder, no part of an image";
}

TEST_F(ConvertTest, ADiscThatCannotHoldTheFilesIsRefusedUpFront) {
    // Twenty minutes that are quick to write: the refusals come before any conversion.
    const std::string clip = Dir / "long.mkv", out = Dir / "out";
    auto made = test::RunCommand(test::ShellQuote(test::BinDir() + "/make-fixtures") + " --clip " +
                                 test::ShellQuote(clip) + " size=64x48 rate=1 duration=1200 vcodec=mpeg4 acodec=none");
    ASSERT_EQ(made.ExitCode, 0) << made.Output;
    struct {
        const char* Args;
        const char* Says;
    } cases[] = {
        {"-p pal-hq --disc 100M", "The files need about 1.37 GB at \"DVD PAL High Quality"},
        {"-p pal-hq --disc 100M", "and the disc holds 100.0 MB. Choose a lower preset, or fit the video"},
        {"-p pal-hq --disc 100M --fit", "Too much video for this disc"},
        {"-p pal-lp --disc 50M --fit", "Too much video for this disc"},
    };
    for (const auto& c : cases) {
        auto run = test::RunCommand(Cli() + " convert -o " + test::ShellQuote(out) + " " + c.Args + " " +
                                    test::ShellQuote(clip));
        EXPECT_EQ(run.ExitCode, 1) << c.Args << ": " << run.Output;
        EXPECT_NE(run.Output.find(c.Says), std::string::npos) << c.Args << ": " << run.Output;
        EXPECT_EQ(run.Output.find("converting"), std::string::npos) << c.Args << ": " << run.Output;
        EXPECT_FALSE(fs::exists(out)) << c.Args;
    }
}

TEST_F(ConvertTest, WithoutADiscLimitAnythingConverts) {
    REQUIRE_DVD_TOOLS();
    const std::string out = Dir / "out";
    // Two seconds at the highest rates take more than a 2 MB disc.
    auto refused = test::RunCommand(Cli() + " convert -p pal-hq --disc 2M -o " + test::ShellQuote(out) + " " +
                                    Fixture("mp4_h264_aac.mp4"));
    EXPECT_EQ(refused.ExitCode, 1) << refused.Output;
    EXPECT_NE(refused.Output.find("and the disc holds 2.0 MB"), std::string::npos) << refused.Output;
    auto run = test::RunCommand(Cli() + " convert -p pal-hq --disc none -o " + test::ShellQuote(out) + " " +
                                Fixture("mp4_h264_aac.mp4"));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_NE(run.Output.find("Disc: 3.4 MB (no limit)"), std::string::npos) << run.Output;
    EXPECT_EQ(ReadTitles(out).size(), 1u);
}
