// Small file-system helpers of the media layer.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

// Folder of the running executable, with a trailing '/'.
std::string ProgramFolder();
// True when path names an existing regular file (or a link to one).
bool IsRegularFile(const std::string& path);
// Size in bytes, or -1 when the file cannot be examined.
int64_t FileSize(const std::string& path);
// Appends '/' unless the text is empty or already ends with one.
std::string IncludeTrailingSlash(const std::string& folder);
// The text as one literal /bin/sh word, whatever characters it holds.
std::string ShellQuote(const std::string& text);
// Renames from to to unless something is there already, also when it appears between a
// check and the rename; false with errno (EEXIST when taken).
bool MoveNoReplace(const std::string& from, const std::string& to);

} // namespace qm
