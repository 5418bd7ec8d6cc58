// The batch's input list without its window: one record per file, the add rules and the
// texts the list's columns show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

class TCustomAVProbe;

// One sound or subtitle stream of a file, as the probe read it.
struct TTrackFacts {
    int32_t Stream = -1; // its index in the file
    std::string Codec;   // "aac", "subrip" ...
    int32_t Channels = 0;
    std::string Language; // the file's tag as it is ("eng", "de"); "" when none
    bool Default = false;
    bool Forced = false;
};

struct rInputStreamInfo {
    std::string FileName;
    int64_t TrimStart = 0;  // milliseconds
    int32_t TrimLength = 0; // milliseconds; 0 to the end
    std::string Comment;
    std::string TitleName; // the title menu's name for it; "" for the file name
    // What the probe read when the file was added (one opening serves every column).
    int64_t DurationUs = -1;
    int64_t FileSize = -1;
    int32_t Width = 0; // first video stream; 0 without video
    int32_t Height = 0;
    double DisplayAspect = 0; // the picture's shape as shown (width / height); 0 without video
    bool HasAudio = false;
    int32_t VideoStream = -1; // the first video stream's index
    std::vector<TTrackFacts> AudioTracks;    // in the file's order
    std::vector<TTrackFacts> SubtitleTracks; // in the file's order
    std::string DurationText; // "Total Time"
    std::string SizeText;     // "File Size"

    bool HasVideo() const { return Width > 0 && Height > 0; }
    // Milliseconds of the part that will be converted; -1 when the duration is unknown.
    int64_t ConvertedLengthMs() const;
    // TitleName, or the file name without folder and extension.
    std::string MenuTitle() const;
};

// What a row's file name tooltip says of its tracks: "2 sound tracks (eng, fra), 1
// subtitle (eng)"; a file without sound says it gets a silent track.
std::string TracksText(const rInputStreamInfo& AItem);

// Probes AFileName into a fresh record; false with the probe's message in AError.
bool ReadInputFile(TCustomAVProbe& AProbe, const std::string& AFileName, rInputStreamInfo& ARecord,
                   std::string& AError);

// The sentence after the names of the files that could not be added.
inline constexpr const char* UnreadableFileSentence =
    "We cannot read this file. This is not a valid file or its format is not currently supported.";

// Remove of the window's list. The rows it deletes, from the last to the first: the selected
// ones, or the last row when nothing is selected (rows outside 0..ACount-1 are dropped).
std::vector<int> RowsToRemove(std::vector<int> ASelected, int ACount);
// The row selected afterwards: the one that moved into the place of the lowest deleted row,
// or the new last row when that was the end; -1 when no row is left.
int RowAfterRemove(int ALowestRemoved, int ACountLeft);

class TInputList {
public:
    // Adds the files in order: a name already listed (letter case ignored) is skipped and
    // put into ASkipped when given, a file the probe cannot read is collected. Returns the
    // message for the collected files — a line break and the name for each, two line
    // breaks and the sentence — or "" when every file could be read.
    std::string Add(const std::vector<std::string>& ANames, TCustomAVProbe& AProbe,
                    std::vector<std::string>* ASkipped = nullptr);
    // The listed record by that name, letter case ignored as Add does; null when none.
    rInputStreamInfo* Find(const std::string& AFileName);
    const rInputStreamInfo* Find(const std::string& AFileName) const;
    bool Contains(const std::string& AFileName) const { return Find(AFileName) != nullptr; }
    std::vector<rInputStreamInfo>& Items() { return FItems; }
    const std::vector<rInputStreamInfo>& Items() const { return FItems; }

private:
    std::vector<rInputStreamInfo> FItems;
};

} // namespace qm
