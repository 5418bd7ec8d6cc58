// The part of a file to convert, checked against the file before its times are narrowed to
// the converter's 32-bit millisecond fields: a start past the file's end (or past what those
// fields hold) would otherwise wrap and convert the whole file.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

struct rInputStreamInfo;

// Sets AItem's trim to AStartMs and ALengthMs (0: to the end). An end past the file's end
// is its end. False, AItem unchanged, with a message naming the file when the part starts
// at or after the file's end or its times do not fit.
bool SetTrim(rInputStreamInfo& AItem, int64_t AStartMs, int64_t ALengthMs, std::string& AError);

// "" when AItem's trim lies inside its file; else why not, naming the file.
std::string TrimProblem(const rInputStreamInfo& AItem);

} // namespace qm
