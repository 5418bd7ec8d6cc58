// The batch under faults and hostile input, through quillmoor-cli convert and the batch
// itself: damaged files, names that are no files, signals and what killed batches leave,
// lengths and trims that do not fit, no home folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <QString>

#include "Core/DvdBatch.h"
#include "Core/FileNames.h"
#include "Core/InputList.h"
#include "Core/WorkFolders.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "Probe/AVProbe.h"
#include "Probe/DvdStreamCheck.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

std::string Cli() { return test::BinDir() + "/quillmoor-cli"; }

std::string Quoted(const std::string& APath) { return test::ShellQuote(APath); }

bool DvdauthorMissing() { return test::RunCommand("command -v dvdauthor").ExitCode != 0; }

#define REQUIRE_DVDAUTHOR()                                                                        \
    if (DvdauthorMissing())                                                                        \
    GTEST_SKIP() << "dvdauthor is not installed (scripts/install-deps.sh installs it)"

std::string ReadAll(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A copy of fixture AName at APath with ABytes written over the bytes AOffset after the
// first box of type ABox (its four letters); "" when there is no such box.
std::string PatchedCopy(const std::string& AName, const std::string& APath, const char* ABox, size_t AOffset,
                        const std::string& ABytes) {
    std::string data = ReadAll(fixtures::FixturePath(AName));
    const size_t box = data.find(ABox);
    if (box == std::string::npos || box + AOffset + ABytes.size() > data.size())
        return {};
    data.replace(box + AOffset, ABytes.size(), ABytes);
    std::ofstream(APath, std::ios::binary) << data;
    return APath;
}

// An MP4 whose picture parameters (the H.264 sequence header in "avcC") are garbage: its
// pixel format cannot be known.
std::string UnknownPixelFormatMp4(const std::string& APath) {
    const std::string data = ReadAll(fixtures::FixturePath("mp4_h264_aac.mp4"));
    const size_t avcc = data.find("avcC");
    if (avcc == std::string::npos)
        return {};
    const size_t spsLength = (uint8_t(data[avcc + 10]) << 8) | uint8_t(data[avcc + 11]);
    // The NAL unit's header, profile and level stay; from the header's number on it is zeros,
    // which no sequence header can be.
    return PatchedCopy("mp4_h264_aac.mp4", APath, "avcC", 16, std::string(spsLength - 4, '\0'));
}

class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1); }
    // quillmoor-cli convert with AArgs (shell words, quoted by the caller) into Out.
    test::TRunResult Convert(const std::string& AArgs) {
        return test::RunCommand("timeout -s KILL 300 " + Quoted(Cli()) + " convert -p pal-lp -o " + Quoted(Out) +
                                " " + AArgs);
    }
    // The names in Out, the batch's working folders among them.
    std::vector<std::string> Left() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(Out, ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    test::TTempDir Dir;
    const std::string Out = Dir / "out";
};

} // namespace

TEST_F(ReliabilityTest, ADamagedFileIsLeftOffAndTheOthersReachTheDisc) {
    REQUIRE_DVDAUTHOR();
    const std::string good = fixtures::FixturePath("avi_mpeg4_mp3.avi");
    const std::string damaged = UnknownPixelFormatMp4(Dir / "damaged.mp4");
    ASSERT_FALSE(damaged.empty());
    const std::string other = fixtures::FixturePath("mp4_no_audio.mp4");
    const auto run = Convert(Quoted(good) + " " + Quoted(damaged) + " " + Quoted(other));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + good), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("title 2: " + other), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("not on the disc: " + damaged + " ("), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("pixel format is unknown"), std::string::npos) << run.Output;
    EXPECT_EQ(Left(), (std::vector<std::string>{"AUDIO_TS", "VIDEO_TS"})) << run.Output;
}
