// Only regular files are converted: a named pipe blocks whoever opens it until a writer
// comes (and gives its bytes only once, while the batch opens every file twice), and a
// device or a socket is no film.
#pragma once

#include <string>

namespace qm {

// "" when AFileName names a regular file (or a link to one) or does not exist; else the
// sentence that names the file and what it is.
std::string NotARegularFile(const std::string& AFileName);

} // namespace qm
