// The disc plan: how many bytes a disc holds, what is left of it for the titles once the
// authoring's own files and the menus are counted, how large a batch comes out at fixed
// rates, and which video rate fills the disc. Plain arithmetic on the titles' lengths and
// rates; the batch, the command line and the window's usage bar all ask it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

inline constexpr int64_t DvdSectorBytes = 2048;
// The smaller of the recordable sizes in each case (DVD+R, and DVD-R DL).
inline constexpr int64_t Dvd5Bytes = 2295104 * DvdSectorBytes;
inline constexpr int64_t Dvd9Bytes = 4171712 * DvdSectorBytes;

// What a DVD player takes: video at most 9.8 Mbit/s, every stream together as multiplexed
// at most 10.08 Mbit/s.
inline constexpr int64_t MaxVideoRate = 9800000;
inline constexpr int64_t MaxMuxRate = 10080000;
// The program stream's packing over its elementary streams (pack and packet headers,
// navigation packs), measured on the batch's own streams: 1.2 % at 9 Mbit/s, 1.6 % at
// 2 Mbit/s. A fitted batch measures it again on every title it has made.
inline constexpr double MuxOverhead = 0.015;
// The least video rate at which a full-width (720) picture still looks like one; below it a
// fitted disc uses the half-width picture (352), and below HalfSizeMinRate it refuses.
// Both for a whole frame of the norm's height.
inline constexpr int64_t FullSizeMinRate = 2500000;
inline constexpr int64_t HalfSizeMinRate = 1000000;

// "dvd5", "dvd9", "none" (0: no limit), or a size in decimal units: "700M", "4.2G", "700MB",
// "4700000000"; letter case ignored, '.' the decimal point whatever the locale. False when
// the text is none of these or the size is below one megabyte.
bool ParseDiscSize(const std::string& AText, int64_t& ABytes);
// The name ParseDiscSize reads back: "dvd5", "dvd9", "none", else "NNNM" or the byte count.
std::string DiscSizeName(int64_t ABytes);
// "4.70 GB" (10^9 bytes, two decimals) from a gigabyte on, else "700.0 MB" (10^6 bytes);
// '.' whatever the locale.
std::string DiscSizeText(int64_t ABytes);
// "4.35 Mbit/s" (10^6 bits a second).
std::string MegabitsText(int64_t ABitsPerSecond);

// One title of the disc as the plan sees it.
struct TPlanTitle {
    int64_t LengthMs = 0;     // converted length; <= 0 unknown
    int64_t Pixels = 0;       // picture area at full size (black bars excluded)
    int64_t VideoRate = 0;    // bits per second: the preset's, or the fitted one
    int64_t AudioRate = 0;    // bits per second of all its sound tracks
    int64_t SubtitleRate = 0; // bits per second of its subtitles
};

// Bytes of the authoring's own files: the disc's and the titleset's IFO and BUP with their
// per-title tables and VOBU address maps.
int64_t AuthoringBytes(const std::vector<TPlanTitle>& ATitles);
// Bytes of one title's program stream at its rates (elementary streams and AOverhead).
int64_t TitleBytes(const TPlanTitle& ATitle, double AOverhead = MuxOverhead);
// What the titles' streams may take: ADiscBytes less the authoring's files and AMenuBytes.
int64_t TitleBudget(int64_t ADiscBytes, const std::vector<TPlanTitle>& ATitles, int64_t AMenuBytes = 0);
// The whole disc at the titles' rates: their streams, the authoring's files and the menus.
int64_t EstimateDiscBytes(const std::vector<TPlanTitle>& ATitles, int64_t AMenuBytes = 0);

// The highest video rate a title may get: 9.8 Mbit/s, less what its sound and subtitles
// leave of the multiplex.
int64_t VideoRateCap(const TPlanTitle& ATitle, double AOverhead = MuxOverhead);
// One quality for all titles: each title's video rate is in proportion to its picture area
// (Pixels), capped, and together the titles' streams fill ABudgetBytes. What a capped title
// does not take goes to the others. Titles of unknown length get 0.
std::vector<int64_t> FitVideoRates(const std::vector<TPlanTitle>& ATitles, int64_t ABudgetBytes,
                                   double AOverhead = MuxOverhead);

// One picture size the titles may be made at.
struct TFitPicture {
    std::vector<TPlanTitle> Titles; // Pixels as at this size
    int64_t FramePixels = 0;        // a whole frame
    int64_t MinFrameRate = 0;       // the least video rate a whole frame needs
};
struct TDiscFit {
    bool Fits = false;
    int Picture = -1;                // the picture size chosen
    std::vector<int64_t> VideoRates; // by title
    int64_t FrameRate = 0;           // what a whole frame gets at the chosen size (bits/s)
    std::string Error;               // why it does not fit
};
// The rates that fill ABudgetBytes at the first of APictures (largest first) whose whole
// frame still gets its least rate.
TDiscFit FitToDisc(const std::vector<TFitPicture>& APictures, int64_t ABudgetBytes,
                   double AOverhead = MuxOverhead);

// The rate that takes AExcessBytes off a title of ALengthMs made at ARate, with a margin
// for the encoder's own error; never below HalfSizeMinRate / 2.
int64_t ReducedRate(int64_t ARate, int64_t ALengthMs, int64_t AExcessBytes);

} // namespace qm
