// A file's header can claim any length: a damaged one says 49 days for two seconds of
// pictures. Whatever the batch plans by a file's length (the free space it needs) takes a
// length the file's size can hold.
#pragma once

#include <cstdint>

namespace qm {

struct rInputStreamInfo;

// Below this average rate, in bits per second over the whole file, no real film is stored:
// a header claiming a length that thin is not believed.
inline constexpr int64_t MinPlausibleBitsPerSecond = 4000;

// Whether AItem's duration is one its file's size can hold (unknown durations and sizes are).
bool DurationPlausible(const rInputStreamInfo& AItem);

// The milliseconds the batch converts of AItem, as rInputStreamInfo::ConvertedLengthMs, but
// at most what the file's size holds at MinPlausibleBitsPerSecond.
int64_t PlausibleConvertedLengthMs(const rInputStreamInfo& AItem);

} // namespace qm
