#include "Core/DiscImage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "Core/ToolRun.h"
#include "Platform/FileUtils.h"

namespace qm {

namespace {

constexpr size_t MaxLabelLength = 32;
constexpr size_t KeptLineBytes = 2000;

std::string FileNameOf(const std::string& APath) {
    const size_t slash = APath.rfind('/');
    return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

} // namespace

std::string VolumeLabelOf(const std::string& AName) {
    std::string name = FileNameOf(AName);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    std::string label;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) && u < 128)
            label += static_cast<char>(std::toupper(u));
        else if (!label.empty() && label.back() != '_')
            label += '_';
    }
    while (!label.empty() && label.back() == '_')
        label.pop_back();
    if (label.size() > MaxLabelLength)
        label.resize(MaxLabelLength);
    return label.empty() ? "DVD" : label;
}

double ImageProgressOf(const std::string& ALine) {
    const size_t done = ALine.find("% done");
    if (done == std::string::npos)
        return -1;
    size_t start = done;
    while (start > 0 && (std::isdigit(static_cast<unsigned char>(ALine[start - 1])) || ALine[start - 1] == '.'))
        --start;
    double percent = -1;
    const auto [end, error] = std::from_chars(ALine.data() + start, ALine.data() + done, percent);
    return error == std::errc() && end == ALine.data() + done ? percent : -1;
}

TDiscImageWriter::TDiscImageWriter(std::string AProgramFolder) : FProgramFolder(std::move(AProgramFolder)) {}

std::string TDiscImageWriter::ImageProgram() const {
    const std::string own = FProgramFolder + "Data/Quillmoor/genisoimage";
    return ::access(own.c_str(), X_OK) == 0 ? own : "genisoimage";
}

void TDiscImageWriter::TakeLine(const std::string& ALine) {
    if (ALine.empty())
        return;
    if (OnLine)
        OnLine(ALine);
    const double percent = ImageProgressOf(ALine);
    if (percent >= 0) {
        if (OnProgress)
            OnProgress(percent > 100 ? 100 : percent);
        return;
    }
    FLastLines += "\n" + ALine;
    if (FLastLines.size() > KeptLineBytes)
        FLastLines.erase(0, FLastLines.size() - KeptLineBytes);
}

bool TDiscImageWriter::Run(const std::string& ACommand, std::string& AError) {
    TToolRun tool;
    tool.OnLine = [this](const std::string& ALine) { TakeLine(ALine); };
    FRunning = &tool;
    std::string failed;
    const bool ok = tool.Run(ACommand, {}, failed);
    FRunning = nullptr;
    if (FCancelled) {
        AError = "Writing the disc image was stopped";
        return false;
    }
    if (ok)
        return true;
    if (!tool.Started()) {
        AError = "genisoimage " + failed;
        return false;
    }
    AError = "genisoimage failed";
    if (tool.ExitCode() == 127)
        AError += " (it is not installed: scripts/install-deps.sh installs it)";
    else if (tool.ExitCode() != 0)
        AError += " (exit status " + std::to_string(tool.ExitCode()) + ")";
    if (!tool.RunError().empty())
        AError += ": " + tool.RunError();
    AError += FLastLines;
    return false;
}

bool TDiscImageWriter::Write(const std::string& ADiscFolder, const std::string& AImageFile,
                             const std::string& ALabel, bool AReplace, std::string& AError) {
    FCancelled = false;
    FLastLines.clear();
    struct stat st {};
    if (!AReplace && ::lstat(AImageFile.c_str(), &st) == 0) {
        AError = "The image " + AImageFile + " exists already. Choose another name, or allow it to be replaced.";
        return false;
    }
    // Beside the image, so that the rename stays on one file system.
    std::string temporary = AImageFile + ".part-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        AError = "Cannot write the image " + AImageFile + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    const std::string label = VolumeLabelOf(ALabel.empty() ? AImageFile : ALabel);
    const std::string command = ShellQuote(ImageProgram()) + " -dvd-video -udf -input-charset utf-8 -V " +
                                ShellQuote(label) + " -o " + ShellQuote(temporary) + " " + ShellQuote(ADiscFolder);
    if (!Run(command, AError)) {
        std::remove(temporary.c_str());
        return false;
    }
    const bool placed = AReplace ? std::rename(temporary.c_str(), AImageFile.c_str()) == 0
                                 : MoveNoReplace(temporary, AImageFile);
    const int error = errno;
    if (!placed) {
        std::remove(temporary.c_str());
        AError = error == EEXIST ? "The image " + AImageFile + " appeared while it was being written; it was left as it is."
                                 : "Cannot move the image into " + AImageFile + ": " + std::strerror(error);
        return false;
    }
    if (OnProgress)
        OnProgress(100);
    return true;
}

void TDiscImageWriter::Cancel() {
    if (!FRunning)
        return;
    FCancelled = true;
    FRunning->Cancel();
}

} // namespace qm
