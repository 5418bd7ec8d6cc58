// The built-in option presets that "apre", "vpre" and "spre" look up before preset files.
#pragma once

#include <span>
#include <string>

namespace qm {

struct TOptionsPreset {
    const char* Name;
    const char* Content; // key=value lines, each ending in a line feed
};

// The built-in presets, in table order.
std::span<const TOptionsPreset> BuiltInPresets();

// The content of the built-in preset AName (letter case ignored), or "" when there is none.
std::string BuiltInPresetContent(const std::string& AName);

} // namespace qm
