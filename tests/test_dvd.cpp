// DVD acceptance: every fixture with video, converted with the engine's dvd target and the
// application's quality rows, is taken by dvdauthor and read back by lsdvd as one title of
// the right length, norm and frame size.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "Fixtures.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

struct TQualityRow {
    const char* Norm; // "pal" or "ntsc"
    const char* VideoRate;
    const char* FrameRate;
    const char* Size;
    const char* AudioRate;
    int Width;
};

// The batch's eight presets: NTSC rows 0-3, PAL rows 4-7.
const TQualityRow Rows[] = {
    {"ntsc", "9000000", "29.97", "720x480", "256000", 720},
    {"ntsc", "6000000", "29.97", "720x480", "224000", 720},
    {"ntsc", "4500000", "29.97", "720x480", "192000", 720},
    {"ntsc", "2150000", "29.97", "352x240", "128000", 352},
    {"pal", "9000000", "25", "720x576", "256000", 720},
    {"pal", "6000000", "25", "720x576", "224000", 720},
    {"pal", "4500000", "25", "720x576", "192000", 720},
    {"pal", "2150000", "25", "352x288", "128000", 352},
};

struct TCase {
    std::string Fixture;
    int Row;
    const char* Threads; // codec threads and the encode thread with "0", as the batch runs
};

std::vector<TCase> Cases() {
    std::vector<TCase> cases;
    int i = 0;
    for (const auto& f : qm::fixtures::StandardFixtures()) {
        if (f.settings.videoCodec.empty())
            continue;
        cases.push_back({f.name, i % 4, i % 2 ? "0" : "1"});     // an NTSC row
        cases.push_back({f.name, 4 + i % 4, i % 2 ? "1" : "0"}); // a PAL row
        ++i;
    }
    return cases;
}

double ParseLength(const std::string& text) {
    std::smatch m;
    static const std::regex length(R"(Title: 01, Length: (\d+):(\d+):(\d+)\.(\d+))");
    if (!std::regex_search(text, m, length))
        return -1;
    return std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]) +
           std::stoi(m[4]) / 1000.0;
}

class DvdAcceptance : public ::testing::TestWithParam<TCase> {};

} // namespace

TEST_P(DvdAcceptance, AuthoredAndReadBack) {
    if (test::RunCommand("command -v dvdauthor && command -v lsdvd").ExitCode != 0)
        GTEST_SKIP() << "dvdauthor or lsdvd is not installed (scripts/install-deps.sh installs both)";
    const auto& c = GetParam();
    const TQualityRow& row = Rows[c.Row];
    const auto* fixture = qm::fixtures::FindFixture(c.Fixture);
    ASSERT_NE(fixture, nullptr);
    test::TTempDir dir;
    const std::string stream = dir / "Movies0.mpg";
    const std::string cli = test::ShellQuote(test::BinDir() + "/quillmoor-cli");
    auto convert = test::RunCommand(
        cli + " engine -threads " + c.Threads + " -i " +
        test::ShellQuote(qm::fixtures::FixturePath(c.Fixture)) +
        " -target " + row.Norm + "-dvd -acodec mp2 -b " + row.VideoRate + " -r " +
        row.FrameRate + " -s " + row.Size + " -ar 48000 -ac 2 -ab " + row.AudioRate +
        " -async 1 " + test::ShellQuote(stream));
    ASSERT_EQ(convert.ExitCode, 0) << convert.Output;

    const std::string format = std::string("VIDEO_FORMAT=") + (c.Row < 4 ? "NTSC" : "PAL");
    const std::string out = test::ShellQuote(dir / "dvd");
    auto titles = test::RunCommand(format + " dvdauthor -o " + out + " -t " + test::ShellQuote(stream));
    EXPECT_EQ(titles.ExitCode, 0) << titles.Output;
    EXPECT_EQ(titles.Output.find("ERR:"), std::string::npos) << titles.Output;
    auto toc = test::RunCommand(format + " dvdauthor -o " + out + " -T");
    EXPECT_EQ(toc.ExitCode, 0) << toc.Output;
    EXPECT_EQ(toc.Output.find("ERR:"), std::string::npos) << toc.Output;

    auto read = test::RunCommand("lsdvd -x " + out);
    EXPECT_NE(read.Output.find("Title: 01"), std::string::npos) << read.Output;
    EXPECT_EQ(read.Output.find("Title: 02"), std::string::npos) << read.Output;
    EXPECT_NE(read.Output.find(std::string("Format: ") + (c.Row < 4 ? "NTSC" : "PAL")),
              std::string::npos)
        << read.Output;
    // The IFO tells the width; its height is the norm's full height even for 352x240/288.
    const int ifoHeight = c.Row < 4 ? 480 : 576;
    EXPECT_NE(read.Output.find("Width: " + std::to_string(row.Width) +
                               ", Height: " + std::to_string(ifoHeight)),
              std::string::npos)
        << read.Output;
    EXPECT_NEAR(ParseLength(read.Output), fixture->settings.duration, 0.3) << read.Output;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DvdAcceptance, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TCase>& info) {
                             std::string name = info.param.Fixture + "_row" +
                                                std::to_string(info.param.Row);
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });
