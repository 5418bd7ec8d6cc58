// The batch's working folders: ".quillmoor-XXXXXX" inside the output folder, each marked
// with the process that owns it, so that a batch that was killed (SIGKILL, a crash, a power
// cut) leaves nothing that a later batch into the same folder does not clear away.
#pragma once

#include <string>
#include <vector>

namespace qm {

inline constexpr const char* WorkFolderPrefix = ".quillmoor-";
// The mark inside each working folder: the owner's process id, its start time and host.
inline constexpr const char* WorkFolderOwnerFile = ".owner";

// Makes a fresh working folder in AOutFolder (with a trailing '/') owned by this process.
// AFolder gets its name with a trailing '/'; false with the reason in AError.
bool MakeWorkFolder(const std::string& AOutFolder, std::string& AFolder, std::string& AError);

// Removes the working folders in AOutFolder whose owner ran on this machine and is gone.
// One sentence for each folder removed, or left because its owner cannot be told.
std::vector<std::string> RemoveStaleWorkFolders(const std::string& AOutFolder);

} // namespace qm
