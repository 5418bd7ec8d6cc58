#include <gtest/gtest.h>

#include "TestUtils.h"

using namespace qm;

namespace {

test::TRunResult Cli(const std::string& args) {
    return test::RunCommand(test::ShellQuote(test::BinDir() + "/quillmoor-cli") + " " + args);
}

} // namespace

TEST(CliEngine, OptionFailuresPrintTheEnginesMessageAndExitWithOne) {
    struct {
        const char* Args;
        const char* Message; // the start of what is printed
    } cases[] = {
        {"-s 719x480 x.mpg", "Frame size must be a multiple of 2"},
        {"-threads -1", "Incorrect thread count: -1"},
        {"-vtag abc", "video tag parameter must be 4 chars"},
        {"-qscale 0", "qscale must be > 0.0 and <= 255"},
        {"-aspect 4:0", "Incorrect aspect ratio specification."},
        {"-vb", "Option -vb needs a value"},
        {"-r 25", "At least one output file must be specified"},
    };
    for (const auto& c : cases) {
        auto r = Cli(std::string("engine ") + c.Args);
        EXPECT_EQ(r.ExitCode, 1) << c.Args;
        EXPECT_EQ(r.Output.rfind(c.Message, 0), 0u) << c.Args << "\n" << r.Output;
    }
    auto help = Cli("engine --help");
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_NE(help.Output.find("every option takes exactly one value"), std::string::npos);
}

TEST(CliEngine, AnOutputThatCannotBeWrittenToTheEndIsAFailure) {
    test::TTempDir dir;
    // A file-size limit makes the writes fail part way (the signal is ignored so that the
    // writes report an error instead of ending the process).
    const std::string command =
        "sh -c " + test::ShellQuote("trap '' XFSZ; ulimit -f 40; " +
                                    test::ShellQuote(test::BinDir() + "/quillmoor-cli") +
                                    " engine -i " +
                                    test::ShellQuote(std::string(QM_FIXTURE_DIR) + "/mp4_h264_aac.mp4") +
                                    " -f vob -vcodec mpeg2video -acodec mp2 -ar 48000 " +
                                    test::ShellQuote(dir / "full.mpg"));
    auto r = test::RunCommand(command);
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
}

TEST(CliEngine, TheStatisticsLineStartsALineOfItsOwnAfterTheProgressLine) {
    test::TTempDir dir;
    auto r = Cli("engine -i " + test::ShellQuote(std::string(QM_FIXTURE_DIR) + "/mp4_h264_aac.mp4") +
                 " -f vob -vcodec mpeg2video -acodec mp2 -ar 48000 " +
                 test::ShellQuote(dir / "out.mpg"));
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    const size_t progress = r.Output.rfind("\rframe=");
    ASSERT_NE(progress, std::string::npos) << r.Output;
    const size_t statistics = r.Output.find("video:", progress);
    ASSERT_NE(statistics, std::string::npos) << r.Output;
    EXPECT_EQ(r.Output[statistics - 1], '\n') << r.Output.substr(progress);
}
