// The settings kept between runs, in the user's configuration store
// (~/.config/Tarnwick/Tarnwick Quillmoor.conf, group "Configuration"); the window and the
// command-line program share them.
#pragma once

#include <string>

#include "Core/DiscChapters.h"
#include "Core/SoundTracks.h"

namespace qm {

struct TAppSettings {
    std::string OutPath;     // with a trailing '/'
    bool OpenFolder = false; // open the output folder after a successful batch
    bool MusicPlay = false;  // play the notification sound after a successful batch
    bool ShowPreview = false; // show the frames of each conversion in a floating window
    double ChapterMinutes = DefaultChapterMinutes; // a chapter mark every so many minutes; 0 none
    bool TitleMenu = false;   // give the disc a title menu
    // The disc: "dvd5", "dvd9", "none" or a size such as "700M" (ParseDiscSize reads it).
    std::string DiscSize = "dvd5";
    bool FitToDisc = false;  // the video rate that fills the disc
    bool DiscImage = false;  // an ISO image instead of the folder
    std::string VolumeLabel{}; // the image's; "" from the output folder's name
    TTrackChoices Tracks{};   // "SoundFormat", "SoundTracks"
};

// Whether HOME names a home folder (not unset, empty or the root, as under cron or a service).
bool HasHomeFolder();
// The desktop folder + "Tarnwick Quillmoor/"; without a home folder the current folder +
// "Tarnwick Quillmoor/". Not created here.
std::string DefaultOutPath();
// The stored values: an empty "OutPath" gives DefaultOutPath(), "OpenFolder" and
// "MusicPlay" are on unless they read exactly "0", "ShowPreview", "FitToDisc" and an ISO
// image only when switched on; a disc size that does not read gives "dvd5". The chapter
// interval gives the default unless it is a valid number of minutes; the title menu is off
// unless "TitleMenu" reads "1"; a sound setting that is not one of the command line's words
// keeps its default. A store that cannot be read leaves OutPath empty and the switches off.
TAppSettings LoadSettings();
// Failures are silent.
void SaveSettings(const TAppSettings& ASettings);

} // namespace qm
