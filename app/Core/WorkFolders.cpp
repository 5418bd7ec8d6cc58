#include "Core/WorkFolders.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qm {

namespace fs = std::filesystem;

namespace {

// The process's start time in clock ticks since boot (field 22 of /proc/PID/stat): with
// the id it tells the process from a later one that got the same id. "" when there is none.
std::string ProcessStart(pid_t APid) {
    std::ifstream stat("/proc/" + std::to_string(APid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return {};
    const size_t close = text.rfind(')'); // the command name may hold blanks and brackets
    if (close == std::string::npos)
        return {};
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22)
            return field;
    return {};
}

std::string HostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

struct TOwner {
    long Pid = 0;
    std::string Start, Host;
};

bool ReadOwner(const fs::path& AFolder, TOwner& AOwner) {
    std::ifstream in(AFolder / WorkFolderOwnerFile);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (key == "pid")
            AOwner.Pid = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "start")
            AOwner.Start = value;
        else if (key == "host")
            AOwner.Host = value;
    }
    return AOwner.Pid > 0;
}

bool OwnerAlive(const TOwner& AOwner) {
    const auto pid = static_cast<pid_t>(AOwner.Pid);
    if (!AOwner.Start.empty() && !ProcessStart(::getpid()).empty())
        return ProcessStart(pid) == AOwner.Start;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

bool MakeWorkFolder(const std::string& AOutFolder, std::string& AFolder, std::string& AError) {
    std::string work = AOutFolder + WorkFolderPrefix + "XXXXXX";
    if (!::mkdtemp(work.data())) {
        AError = "Cannot write into the output folder " + AOutFolder + ": " + std::strerror(errno);
        return false;
    }
    std::ofstream owner(work + "/" + WorkFolderOwnerFile);
    owner << "pid=" << ::getpid() << "\nstart=" << ProcessStart(::getpid()) << "\nhost=" << HostName() << "\n";
    owner.close();
    if (!owner) {
        AError = "Cannot write into the output folder " + AOutFolder + ": " + std::strerror(errno);
        std::error_code ec;
        fs::remove_all(work, ec);
        return false;
    }
    AFolder = work + "/";
    return true;
}

std::vector<std::string> RemoveStaleWorkFolders(const std::string& AOutFolder) {
    std::vector<std::string> notes;
    std::error_code ec;
    const std::string host = HostName();
    for (const auto& entry : fs::directory_iterator(AOutFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(WorkFolderPrefix, 0) != 0 || !entry.is_directory(ec) || entry.is_symlink(ec))
            continue;
        TOwner owner;
        if (!ReadOwner(entry.path(), owner)) {
            notes.push_back("The folder " + entry.path().string() +
                            " was left by an earlier batch that cannot be told; remove it once no "
                            "batch is writing into " + AOutFolder + ".");
            continue;
        }
        if (owner.Host != host || OwnerAlive(owner))
            continue; // another machine's, or a batch that still runs
        std::error_code removed;
        fs::remove_all(entry.path(), removed);
        notes.push_back(removed ? "Cannot remove the folder " + entry.path().string() +
                                      " left by an earlier batch that did not end: " + removed.message() + "."
                                : "Removed the folder " + entry.path().string() + " left by an earlier batch (process " +
                                      std::to_string(owner.Pid) + ") that did not end.");
    }
    return notes;
}

} // namespace qm
