// Why a file or a folder cannot be used, in words that tell the user what to do about it.
#pragma once

#include <string>

namespace qm {

// Why the input AName cannot be read: that it does not exist, is a folder, a link that leads
// nowhere or in a circle, not a regular file, or not readable for this user; otherwise that
// it is no video file we can read, with AProbeError (the probe's message, "NAME: " left off).
std::string UnreadableReason(const std::string& AName, const std::string& AProbeError);

// Why the folder AFolder could not be created, from the system's answer for the first of
// its parts that is missing: "Permission denied (in /srv)". Empty when nothing is wrong.
std::string CreateFolderProblem(const std::string& AFolder);

} // namespace qm
