// The trim page's marks: Set Start and Set End take the playing position as the start or the
// end of the part to convert, and move the position bar's selection with it. Pure rules, so
// that the page only feeds them positions.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

struct TTrimMarks {
    int32_t StartMs = 0;  // start of the part to convert
    int32_t LengthMs = 0; // its length; 0 for the whole rest of the file
    // The position bar's selection, in bar units.
    int32_t SelStart = 0;
    int32_t SelEnd = 0;
};

// Set Start at APosition (microseconds) of a file of ADuration: a position inside the file
// starts the part there and runs it to the end; the selection starts at the bar's position
// ABarPosition in any case.
void TrimSetStart(TTrimMarks& AMarks, int64_t APosition, int64_t ADuration, int32_t ABarPosition);

// Set End at APosition: a position inside the file ends the part there. An end at or before
// the start moves the start back to the beginning of the file; a position outside the file
// only moves the selection's end to ABarPosition. ABarMax is the bar's maximum.
void TrimSetEnd(TTrimMarks& AMarks, int64_t APosition, int64_t ADuration, int32_t ABarPosition, int32_t ABarMax);

// The position Set Start hands on for a picture shown at APictureTime (microseconds): the
// start is kept in whole milliseconds, and the next one up still lies on that picture, where
// the one below may lie on the picture before it.
int64_t StartMarkPosition(int64_t APictureTime);

struct rInputStreamInfo;

// What the input list shows of a row's trim: "hh:mm:ss.mmm–hh:mm:ss.mmm" from the start to the end of
// the part that will be converted (the end left out when the file's duration is unknown); ""
// when the whole file is converted.
std::string TrimRangeText(const rInputStreamInfo& AItem);

} // namespace qm
