// What the batch asks of the MPEG-2 video encoder beyond the disc's rates: the settings that
// buy picture quality per bit (bench/README.md has the figures behind each).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qm {

struct TDvdPreset;

// Engine option names and values, in the order they are given.
std::vector<std::pair<std::string, std::string>> DvdEncoderOptions(const TDvdPreset& APreset);

} // namespace qm
