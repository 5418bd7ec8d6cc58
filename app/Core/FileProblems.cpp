#include "Core/FileProblems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Core/InputFileKind.h"

namespace qm {

namespace {

std::string WithoutName(const std::string& AName, const std::string& AMessage) {
    const std::string prefix = AName + ": ";
    return AMessage.compare(0, prefix.size(), prefix) == 0 ? AMessage.substr(prefix.size()) : AMessage;
}

std::string Parent(const std::string& APath) {
    std::string p = APath;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

} // namespace

std::string UnreadableReason(const std::string& AName, const std::string& AProbeError) {
    struct stat link {};
    if (::lstat(AName.c_str(), &link) != 0)
        return errno == ENOENT ? "it does not exist" : std::string("it cannot be examined: ") + std::strerror(errno);
    struct stat st {};
    if (::stat(AName.c_str(), &st) != 0) {
        if (errno == ELOOP)
            return "it is a link that leads round in a circle";
        if (errno == ENOENT)
            return "it is a link to a file that does not exist";
        return std::string("it cannot be examined: ") + std::strerror(errno);
    }
    // "NAME is a folder, not a file that can be converted." as "it is a folder, ..."
    if (const std::string kind = NotARegularFile(AName); !kind.empty() && kind.size() > AName.size() + 1)
        return "it" + kind.substr(AName.size(), kind.size() - AName.size() - 1);
    if (::access(AName.c_str(), R_OK) != 0)
        return "you have no permission to read it; ask its owner, or copy it somewhere you may read";
    std::string reason = "it is not a valid video file or its format is not supported";
    const std::string probe = WithoutName(AName, AProbeError);
    if (!probe.empty())
        reason += " (" + probe + ")";
    return reason;
}

std::string CreateFolderProblem(const std::string& AFolder) {
    // The deepest part that exists, and the system's answer for the one under it.
    std::string missing = AFolder;
    while (missing.size() > 1 && missing.back() == '/')
        missing.pop_back();
    struct stat st {};
    for (std::string up = Parent(missing); ::stat(up.c_str(), &st) != 0 && up != missing; up = Parent(up))
        missing = up;
    if (::mkdir(missing.c_str(), 0777) == 0) {
        ::rmdir(missing.c_str());
        return {};
    }
    if (errno == EEXIST && ::stat(missing.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        return missing + " is a file, not a folder";
    return std::string(std::strerror(errno)) + " (in " + Parent(missing) + ")";
}

} // namespace qm
