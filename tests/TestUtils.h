// Helpers shared by the test programs.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Platform/FileUtils.h"

extern char** environ;

namespace qm::test {

// A fresh, empty folder that is removed again with this object.
class TTempDir {
public:
    TTempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qmtest-XXXXXX").string();
        char* made = ::mkdtemp(tmpl.data());
        if (made)
            FPath = made;
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    const std::filesystem::path& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

// Folder of the built programs (build/bin).
// The whole of a file as text; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& APath) {
    std::ifstream in(APath);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string BinDir() {
    const char* dir = std::getenv("QM_BIN_DIR");
    return dir ? dir : ".";
}

struct TRunResult {
    int ExitCode = -1;
    std::string Output; // stdout and stderr together
};

// Runs a shell command line and collects what it prints.
inline TRunResult RunCommand(const std::string& command) {
    TRunResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        result.Output.append(buf.data(), n);
    int status = ::pclose(pipe);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Runs AArgs (the program first, no shell) and sends ASignal once its output (stdout and
// stderr together) holds AWhen. ASignalled tells whether it was sent; the exit code is -1
// when the program did not exit by itself.
inline TRunResult RunSignalledWhen(std::vector<std::string> AArgs, const std::string& AWhen, int ASignal,
                                   bool& ASignalled) {
    TRunResult result;
    ASignalled = false;
    std::vector<char*> argv;
    for (auto& a : AArgs)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe(fds) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return result;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        result.Output.append(buffer, size_t(n));
        if (!ASignalled && result.Output.find(AWhen) != std::string::npos) {
            ::kill(pid, ASignal);
            ASignalled = true;
        }
    }
    ::close(fds[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.ExitCode = WEXITSTATUS(status);
    return result;
}

// The comma-decimal locale of the number tests (scripts/install-deps.sh generates it).
inline constexpr const char* CommaLocale = "de_DE.UTF-8";

// The C library's locale switched for this object's life, as a desktop toolkit switches it
// to the user's; Active() is false when the locale is not on this machine.
class TScopedLocale {
public:
    explicit TScopedLocale(const char* AName) : FOld(std::setlocale(LC_ALL, nullptr)) {
        FActive = std::setlocale(LC_ALL, AName) != nullptr;
    }
    ~TScopedLocale() { std::setlocale(LC_ALL, FOld.c_str()); }
    TScopedLocale(const TScopedLocale&) = delete;
    TScopedLocale& operator=(const TScopedLocale&) = delete;
    bool Active() const { return FActive; }

private:
    std::string FOld;
    bool FActive = false;
};

using qm::ShellQuote;

} // namespace qm::test
