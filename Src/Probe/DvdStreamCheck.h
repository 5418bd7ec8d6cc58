// A converted stream is read back before it goes to the authoring program: one title whose
// stream has no picture at its start makes dvdauthor stop for the whole disc ("Cannot infer
// pts for VOBU"), so such a stream is left off instead, with its reason.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

// A converted stream may start with sound this much before its first picture.
inline constexpr int64_t MaxPictureDelayUs = 1000000;

// "" when the program stream at APath can be authored: it opens, holds a picture stream whose
// first picture comes at its start, and it is not far longer than AExpectedMs (-1: unknown)
// of conversion should make it; else why not.
std::string DvdStreamProblem(const std::string& APath, int64_t AExpectedMs);

} // namespace qm
