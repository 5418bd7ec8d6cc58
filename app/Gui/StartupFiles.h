// The files named on the command line (`quillmoor FILE...`, a file manager's "Open with", a
// drop on the launcher) go into the list once the window has its libraries.
#pragma once

#include <QStringList>

namespace qm {

class TMainWindow;

// The file arguments, without the program's name: local paths made absolute against the
// current folder, file:// addresses turned into paths.
QStringList StartupFiles(const QStringList& AArguments);

// Adds AFiles to AWindow's list as soon as it has loaded its libraries (once).
void AddStartupFiles(TMainWindow& AWindow, const QStringList& AFiles);

} // namespace qm
