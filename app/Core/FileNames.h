// File names are bytes on Linux, and an old archive's names need not be UTF-8 (a Latin-1
// "café.mp4"). The batch keeps every name as the bytes it was given; only what is shown on
// screen turns bytes that are not UTF-8 into a replacement character. Qt's texts cannot
// carry such bytes, so a name that went through one is found again on disk.
#pragma once

#include <string>

class QString;

namespace qm {

bool IsValidUtf8(const std::string& AText);

// AName made absolute against the current folder, "." and ".." taken out, byte for byte.
std::string AbsoluteFileName(const std::string& AName);

// The two names are the same file name, letter case ignored as the input list ignores it.
// Names that are not UTF-8 are compared byte for byte, only ASCII letters without case.
bool SameFileName(const std::string& A, const std::string& B);

// The bytes on disk of a name that came as a Qt text (the file dialog, a drop): the text in
// UTF-8 when that names something; else, folder by folder, the entry whose name shows as
// that text (only when one does). The text in UTF-8 when nothing matches.
std::string FileNameOnDisk(const QString& AName);

} // namespace qm
