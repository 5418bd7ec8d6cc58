// Scaling an interlaced picture one field at a time, so that no line of one field is
// blended into the other's.
#pragma once

#include <cstdint>

struct SwsContext;

namespace qm {

class TCustomFFmpeg;
struct TInputStreamState;
struct TOutputStreamState;

// How an interlaced source is encoded: interlaced with its field order (AOutput.Interlaced,
// the encoder's flags) when the frame rate stays, else deinterlaced first by the filters
// (AOutput.DeinterlaceFirst). Progressive sources, the engine's own "deinterlace" and a chain
// of the user's filters leave everything as it is.
void ChooseScan(const TCustomFFmpeg& AEngine, bool AFiltersActive, TOutputStreamState& AOutput,
                const TInputStreamState& AInput);
// Whether an interlaced output's scaler works field by field (whole chroma lines in each).
bool ScalesByField(const TOutputStreamState& AOutput, int AOutputHeight);

// Scales the AHeight lines of ASource into ATarget as two pictures of every other line; the
// scaler is made for half the heights.
void ScaleFields(SwsContext* AScaler, const uint8_t* const ASource[4], const int ASourceStride[4],
                 int AHeight, uint8_t* const ATarget[4], const int ATargetStride[4]);

} // namespace qm
