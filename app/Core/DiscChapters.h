// Chapter marks of a title: one every N minutes of the part that is converted, each on a key
// frame that starts a closed group of pictures, so that a player's Next and Previous land on
// a clean picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

inline constexpr double DefaultChapterMinutes = 5;
// A title's chapters live in one program chain, which holds at most 99 programs.
inline constexpr int MaxChaptersPerTitle = 99;
// Intervals the window and the command line accept (0: no chapters beyond the title's start).
inline constexpr double MaxChapterMinutes = 600;
inline constexpr double MinChapterMinutes = 0.1;

// Where chapters start, in milliseconds: 0, then every AMinutes while more than a second of
// the title is left, at most MaxChaptersPerTitle. Just 0 when AMinutes is not positive or
// the length is unknown (negative).
std::vector<int64_t> ChapterStartsMs(int64_t ALengthMs, double AMinutes);

// The dvdauthor "chapters" attribute: "0:00:00,0:05:00,…" (milliseconds only where needed).
std::string ChapterAttribute(const std::vector<int64_t>& AStartsMs);
// A group of pictures on a disc: 15 pictures PAL, 18 NTSC.
inline constexpr int64_t ChapterLeadInMs = 600;
// The engine's "force_key_frames" value for the chapters after the first, in seconds: each
// chapter's start and one group of pictures before it ("299.400,300.000"); "" when there
// are none.
std::string ChapterKeyFrames(const std::vector<int64_t>& AStartsMs);

// "5", "2.5", "0" as minutes; false unless the text is 0 or from MinChapterMinutes to
// MaxChapterMinutes (a '.' as the decimal point, whatever the locale).
bool ParseChapterMinutes(const std::string& AText, double& AMinutes);
// The minutes as such a text, without trailing zeros.
std::string ChapterMinutesText(double AMinutes);

} // namespace qm
