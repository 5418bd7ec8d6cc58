// The sound tracks of a title: which of a file's audio streams go onto the disc, in which
// format, and how much of the disc's multiplex rate the picture keeps beside them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

class TFFmpeg;
struct TDvdPreset;
struct rInputStreamInfo;

enum TSoundFormat { sfMp2, sfAc3, sfPcm };

inline constexpr int MaxSoundTracks = 8;
// What the dvd target allows the picture at its peaks.
inline constexpr int DvdVideoMaxRate = 9000000;

// "mp2", "ac3", "pcm": the names of the command line, the settings and dvdauthor.
const char* SoundFormatName(TSoundFormat AFormat);
// A name as SoundFormatName gives it, letter case ignored; false for anything else.
bool ParseSoundFormat(const std::string& AText, TSoundFormat& AFormat);
// MP2 on PAL discs; NTSC players need only play AC-3 and PCM, so AC-3 there.
TSoundFormat DefaultSoundFormat(const TDvdPreset& APreset);

// The disc's sound settings, as the window, the command line and the settings hold them.
struct TTrackChoices {
    std::string SoundFormat;    // "mp2", "ac3", "pcm"; "" for the preset's own
    bool AllSoundTracks = true; // every sound track of a file, or its first only
};
// The command line's "--audio mp2|ac3|pcm" and "--audio-tracks all|first" (the stored
// settings use the same words). False with the message when AOption is neither or AValue
// is not one of its words.
bool ParseTrackOption(const std::string& AOption, const std::string& AValue, TTrackChoices& AChoices,
                      std::string& AError);
// The format of the sound of a disc of APreset.
TSoundFormat ChosenSoundFormat(const TTrackChoices& AChoices, const TDvdPreset& APreset);

struct TSoundTrack {
    int32_t Stream = -1; // the file's audio stream; -1 for silence
    int32_t Channels = 2;
    int32_t Bitrate = 0;  // bits per second
    std::string Language; // two letters; "" when the file does not say
};

struct TSoundPlan {
    std::string Encoder; // "mp2", "ac3", "pcm_s16be"
    std::vector<TSoundTrack> Tracks; // never empty: silence for a file without sound
    int32_t VideoBitrate = 0; // the preset's, or less where the sound needs the room
    int32_t VideoMaxRate = DvdVideoMaxRate;
    std::string Note; // what gave way, for the log; "" when nothing did
};

// The tracks of AItem on a disc of APreset in AFormat: every audio stream of the file (all
// of them, or the first only), at most eight, in the file's order with the one flagged
// default first. AC-3 keeps six channels of a 5.1 source (at 448 kbit/s) and is stereo at
// the preset's rate otherwise; MP2 is stereo at that rate, PCM 16-bit stereo. When video
// and sound together would pass the multiplex rate the picture gets less, and when even
// that is not enough tracks are left off.
TSoundPlan PlanSound(const rInputStreamInfo& AItem, const TDvdPreset& APreset, TSoundFormat AFormat,
                     bool AAllTracks);

// Bits per second of all its tracks together.
int64_t SoundBitrate(const TSoundPlan& APlan);

// Opens endless silence as a further input of ATask, for a file without sound; false with
// the engine's reason.
bool AddSilenceInput(TFFmpeg& ATask, std::string& AError);
// The second and later tracks of APlan as new streams of ATask's output, and every stream
// of it mapped to its source: AVideoStream and the planned tracks of input 0.
void AddSoundStreams(TFFmpeg& ATask, const TSoundPlan& APlan, int32_t AVideoStream);

} // namespace qm
