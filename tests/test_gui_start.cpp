// The installed program: `cmake --install` lays out the program folder, the links, the
// desktop entry and the icon; the installed quillmoor, started through its link with a
// broken library in its Dll/ folder, shows the loader's message, and ends on SIGTERM the way
// a closed window does, with its settings written.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "TestUtils.h"

extern char** environ;

using namespace qm;
namespace fs = std::filesystem;

namespace {

// Reads AFd until ANeedle has arrived, the other end is closed or 60 s pass.
std::string ReadUntil(int AFd, const std::string& ANeedle) {
    std::string text;
    char buf[4096];
    while (text.find(ANeedle) == std::string::npos) {
        pollfd p{AFd, POLLIN, 0};
        if (::poll(&p, 1, 60000) <= 0)
            break;
        const ssize_t n = ::read(AFd, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

TEST(InstalledProgram, FindsItsFolderThroughItsLinkAndEndsAfterTheLoadersMessageWithItsSettingsKept) {
    test::TTempDir dir;
    const fs::path prefix = dir.Path() / "prefix";
    const auto install = test::RunCommand(std::string(QM_CMAKE_COMMAND) + " --install " +
                                          test::ShellQuote(QM_BUILD_DIR) + " --prefix " +
                                          test::ShellQuote(prefix.string()));
    ASSERT_EQ(install.ExitCode, 0) << install.Output;

    const fs::path program = prefix / QM_INSTALL_PROGRAM_DIR;
    for (const char* file : {"quillmoor", "quillmoor-cli", "README.md", "Data/click_22.wav", "Data/quillmoor.png",
                             "Data/Quillmoor/dvd.xml"})
        EXPECT_TRUE(fs::is_regular_file(program / file)) << file;
    EXPECT_FALSE(fs::exists(program / "Data/quillmoor.desktop"));
    for (const char* link : {"quillmoor", "quillmoor-cli"}) {
        ASSERT_TRUE(fs::is_symlink(prefix / "bin" / link)) << link;
        EXPECT_TRUE(fs::read_symlink(prefix / "bin" / link).is_relative());
        EXPECT_TRUE(fs::equivalent(prefix / "bin" / link, program / link));
    }
    const std::string entry = test::ReadFile(prefix / "share/applications/quillmoor.desktop");
    EXPECT_NE(entry.find("Exec=quillmoor %F\n"), std::string::npos);
    EXPECT_NE(entry.find("Icon=quillmoor\n"), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(prefix / "share/icons/hicolor/256x256/apps/quillmoor.png"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "share/icons/hicolor/48x48/apps/quillmoor.png"));
    const auto version = test::RunCommand(test::ShellQuote((prefix / "bin/quillmoor-cli").string()) + " --version");
    EXPECT_EQ(version.ExitCode, 0) << version.Output;

    // A library in Dll/ that is none: the loader refuses it before anything else loads.
    fs::create_directories(program / "Dll");
    const fs::path broken = program / "Dll/libavutil.so.57";
    std::ofstream(broken) << "not a library";
    const fs::path config = dir.Path() / "config";
    const fs::path settings = config / "Tarnwick/Tarnwick Quillmoor.conf";

    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> env = {"HOME=" + dir.Path().string(), "XDG_CONFIG_HOME=" + config.string(),
                                    "QT_QPA_PLATFORM=offscreen", "PATH=/usr/bin:/bin"};
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
        env.push_back(std::string("ASAN_OPTIONS=") + asan);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = (prefix / "bin/quillmoor").string();
    char* argv[] = {exe.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err[1]);

    const std::string message = "Load library " + broken.string() + " error: ";
    const std::string said = ReadUntil(err[0], message);
    EXPECT_NE(said.find(message), std::string::npos) << said;
    // The message box is up; the end of the session closes it and the window.
    EXPECT_FALSE(fs::exists(settings));
    ::kill(pid, SIGTERM);
    const std::string rest = ReadUntil(err[0], "\x01never");
    ::close(err[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << said << rest;
    EXPECT_EQ(WEXITSTATUS(status), 0) << said << rest;
    const std::string stored = test::ReadFile(settings);
    EXPECT_NE(stored.find("OutPath=" + dir.Path().string() + "/Desktop/Tarnwick Quillmoor/"), std::string::npos)
        << stored;
    EXPECT_NE(stored.find("OpenFolder=1"), std::string::npos) << stored;
    EXPECT_NE(stored.find("MusicPlay=1"), std::string::npos) << stored;
}
