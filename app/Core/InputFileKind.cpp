#include "Core/InputFileKind.h"

#include <sys/stat.h>

namespace qm {

namespace {

const char* KindOf(mode_t AMode) {
    if (S_ISFIFO(AMode))
        return "a named pipe (FIFO)";
    if (S_ISDIR(AMode))
        return "a folder";
    if (S_ISCHR(AMode) || S_ISBLK(AMode))
        return "a device";
    if (S_ISSOCK(AMode))
        return "a socket";
    return "not a regular file";
}

} // namespace

std::string NotARegularFile(const std::string& AFileName) {
    struct stat st {};
    if (::stat(AFileName.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return {};
    return AFileName + " is " + KindOf(st.st_mode) + ", not a file that can be converted.";
}

} // namespace qm
