// Helpers shared by the test programs.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Platform/FileUtils.h"

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

using qm::ShellQuote;

} // namespace qm::test
