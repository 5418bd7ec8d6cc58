// Discs made by quillmoor-cli convert from short clips written for the test, for the tests
// that read them back as a player and lsdvd do.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FixtureWriter.h"
#include "TestUtils.h"

namespace qm::test {

inline bool DiscToolsMissing() {
    return RunCommand("command -v dvdauthor && command -v spumux && command -v lsdvd").ExitCode != 0;
}

#define REQUIRE_DISC_TOOLS()                                                                       \
    if (qm::test::DiscToolsMissing())                                                              \
    GTEST_SKIP() << "dvdauthor, spumux or lsdvd is not installed (scripts/install-deps.sh installs them)"

// Video-only clips of the given lengths (seconds) and size in ADir, named clip1.mkv …
inline std::vector<std::string> WriteClips(const TTempDir& ADir, const std::vector<double>& ASeconds, int AWidth,
                                           int AHeight) {
    std::vector<std::string> names;
    for (size_t i = 0; i < ASeconds.size(); ++i) {
        const std::string name = ADir / ("clip" + std::to_string(i + 1) + ".mkv");
        std::string error;
        EXPECT_TRUE(fixtures::WriteClip(fixtures::VideoOnlyClip(AWidth, AHeight, ASeconds[i]), name, error)) << error;
        names.push_back(name);
    }
    return names;
}

// Runs quillmoor-cli convert with AOptions on AFiles into AOut; the whole output in the result.
inline TRunResult ConvertDisc(const std::string& AOptions, const std::vector<std::string>& AFiles,
                              const std::string& AOut) {
    std::string command = ShellQuote(BinDir() + "/quillmoor-cli") + " convert -v " + AOptions + " -o " + ShellQuote(AOut);
    for (const auto& f : AFiles)
        command += " " + ShellQuote(f);
    return RunCommand(command);
}

} // namespace qm::test
