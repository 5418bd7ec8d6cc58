// The Debian package: cpack writes quillmoor_<version>_amd64.deb whose dependencies are the
// runtime packages; unpacked into a scratch root (dpkg -x) it holds the programs, the menu
// entry that takes files, and the manual page, and quillmoor-cli converts a file from there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Fixtures.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

TEST(DebianPackage, InstallsIntoAScratchRootAndConvertsFromThere) {
    if (test::RunCommand("command -v dpkg-deb").ExitCode != 0)
        GTEST_SKIP() << "dpkg-deb is not installed";
    test::TTempDir dir;
    const auto pack = test::RunCommand("cd " + test::ShellQuote(QM_BUILD_DIR) + " && " +
                                       test::ShellQuote(QM_CPACK_COMMAND) + " -G DEB -B " +
                                       test::ShellQuote(dir.Path().string()));
    ASSERT_EQ(pack.ExitCode, 0) << pack.Output;
    const std::string deb = dir / ("quillmoor_" + std::string(QM_VERSION) + "_amd64.deb");
    ASSERT_TRUE(fs::is_regular_file(deb)) << pack.Output;

    const auto depends = test::RunCommand("dpkg-deb -f " + test::ShellQuote(deb) + " Depends");
    for (const char* p : {"libavcodec59", "libavformat59", "libavfilter8", "libavutil57", "libswscale6",
                          "libswresample4", "libsdl2-2.0-0", "libqt6widgets6", "libqt6xml6", "dvdauthor", "genisoimage"})
        EXPECT_NE(depends.Output.find(p), std::string::npos) << p << " in " << depends.Output;

    const fs::path root = dir.Path() / "root";
    const auto unpack = test::RunCommand("dpkg -x " + test::ShellQuote(deb) + " " + test::ShellQuote(root.string()));
    ASSERT_EQ(unpack.ExitCode, 0) << unpack.Output;
    for (const char* file : {"usr/bin/quillmoor", "usr/bin/quillmoor-cli", "usr/lib/quillmoor/Data/Quillmoor/dvd.xml",
                             "usr/share/icons/hicolor/48x48/apps/quillmoor.png"})
        EXPECT_TRUE(fs::exists(root / file)) << file;

    // In the menu, taking the files a file manager hands it, for the video types it reads.
    const std::string entry = test::ReadFile(root / "usr/share/applications/quillmoor.desktop");
    EXPECT_NE(entry.find("\nExec=quillmoor %F\n"), std::string::npos) << entry;
    for (const char* type : {"video/mp4;", "video/x-msvideo;", "video/x-matroska;", "video/mpeg;", "video/quicktime;"})
        EXPECT_NE(entry.find(type), std::string::npos) << type;

    // man quillmoor-cli
    const fs::path page = root / "usr/share/man/man1/quillmoor-cli.1.gz";
    ASSERT_TRUE(fs::exists(page));
    if (test::RunCommand("command -v man").ExitCode == 0) {
        const auto man = test::RunCommand("MANWIDTH=100 man -P cat -l " + test::ShellQuote(page.string()));
        EXPECT_EQ(man.ExitCode, 0) << man.Output;
        EXPECT_NE(man.Output.find("quillmoor-cli - turn video files into a DVD-Video folder"), std::string::npos)
            << man.Output;
    }

    const std::string cli = (root / "usr/bin/quillmoor-cli").string();
    const auto version = test::RunCommand(test::ShellQuote(cli) + " --version");
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_EQ(version.Output, "quillmoor-cli " + std::string(QM_VERSION) + "\n");
    if (test::RunCommand("command -v dvdauthor").ExitCode != 0)
        GTEST_SKIP() << "dvdauthor is not installed (scripts/install-deps.sh installs it)";
    const std::string out = dir / "disc";
    const auto convert = test::RunCommand("XDG_CONFIG_HOME=" + test::ShellQuote(dir / "config") + " " +
                                          test::ShellQuote(cli) + " convert -p pal-lp -o " + test::ShellQuote(out) +
                                          " " + test::ShellQuote(fixtures::FixturePath("mp4_h264_aac.mp4")));
    EXPECT_EQ(convert.ExitCode, 0) << convert.Output;
    EXPECT_TRUE(fs::exists(out + "/VIDEO_TS/VIDEO_TS.IFO")) << convert.Output;
}
