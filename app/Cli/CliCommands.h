// The sub-commands of quillmoor-cli. Each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

namespace qm::cli {

using TArgs = std::vector<std::string>;

int RunLibraries(const TArgs& args);

} // namespace qm::cli
