// The texts in which the application shows a file's duration and size.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

// "hh:mm:ss", with the day count and a blank in front from one day on: 3725 gives "01:02:05",
// 90061 gives "1 01:01:01". Negative counts (no duration) read as 0.
std::string DurationText(int64_t ASeconds);
// The text for a duration in microseconds, cut to whole seconds; -1 (none) gives "00:00:00".
std::string DurationTextUs(int64_t ADurationUs);

// Megabytes of 1048576 bytes, rounded half up to two decimals: 10485759 gives "10.00 MB".
// Negative counts (no size) read as 0.
std::string SizeText(int64_t ABytes);

} // namespace qm
