// The batch's files as the disc plan sees them: each file's length, picture area and rates
// under a preset, the disc's estimated usage, the fitted rates, and why a batch cannot start
// on a disc of that size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Core/DiscPlan.h"
#include "Core/DvdPresets.h"
#include "Core/InputList.h"

namespace qm {

// What the disc is to be: its size, whether the video is fitted to it, folder or image.
struct TDiscSettings {
    int64_t DiscBytes = Dvd5Bytes; // 0: no limit
    bool Fit = false;              // the video rate that fills the disc, in two passes
    std::string ImageFile;         // an ISO image instead of the folder; "" the folder
    std::string VolumeLabel;       // the image's volume label; "" from the image's name
    int64_t MenuBytes = 0;         // what menus take on the disc
};

// The preset's picture at half width (352) at the norm's full height.
TDvdPreset HalfSizePicture(const TDvdPreset& APreset);
// The norm's full frame height: 576 PAL, 480 NTSC.
int NormHeight(const TDvdPreset& APreset);

// The files of AItems as titles at APicture's size and rates on a disc of ADiscAspect
// (black bars are not counted as picture), one for each file; a file without a picture,
// which is not put on the disc, as an empty one.
std::vector<TPlanTitle> PlanTitles(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APicture,
                                   double ADiscAspect);
// The picture sizes a fitted disc may use, largest first: the preset's, and for a full-width
// preset the half-width one.
std::vector<TFitPicture> FitPictures(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset);

struct TDiscUsage {
    int64_t Bytes = 0;       // the disc's estimated size
    int64_t DiscBytes = 0;   // 0: no limit
    bool Over = false;       // Bytes passes DiscBytes
    std::string UnknownFile; // a file whose length is not known (counted as nothing)
    bool Fitted = false;     // Fit: the rates below fill the disc
    TDiscFit Fit;
    double Percent() const;
    // "1.23 GB of 4.70 GB (26 %)", "1.23 GB (no limit)", with the fitted rate when fitted.
    std::string Text() const;
};
// What the files of AItems make of a disc at APreset with ASettings.
TDiscUsage EstimateUsage(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset,
                         const TDiscSettings& ASettings);
// Why a batch of these files cannot start on that disc, "" when it can: at fixed rates the
// estimate passes the disc; fitted, the rate would be too low or a file's length is unknown.
std::string DiscPlanError(const TDiscUsage& AUsage, const TDvdPreset& APreset);

} // namespace qm
