// The sub-commands of quillmoor-cli. Each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

namespace qm {
struct TLibraryKinds;
}

namespace qm::cli {

using TArgs = std::vector<std::string>;

int RunLibraries(const TArgs& args);
int RunEngine(const TArgs& args);
int RunProbe(const TArgs& args);
int RunConvert(const TArgs& args);
int RunPlay(const TArgs& args);

// Loads the converter's libraries from the program folder's Dll/ or the system; prints
// the loader's message on failure.
bool LoadConverterLibraries();
// Loads a set of libraries the same way.
bool LoadLibrarySet(TLibraryKinds AKinds);

} // namespace qm::cli
