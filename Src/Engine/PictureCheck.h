// What the scaler, the encoders and the filters are given must be a picture they know: a
// damaged file can leave its pixel format or its size unknown, and the scaler ends the whole
// process on a format it has no description of. Each picture format is checked here first.
#pragma once

#include <string>

namespace qm {

enum TPictureUse { puScalerInput, puScalerOutput, puFilterInput };

// "" when a picture of AFormat (the media library's pixel format number) and AWidth x
// AHeight can go to AUse; else why not, naming the format.
std::string PictureProblem(int AFormat, int AWidth, int AHeight, TPictureUse AUse);

// The same as an FFmpegException, its message beginning with AWhat.
void CheckPicture(int AFormat, int AWidth, int AHeight, TPictureUse AUse, const std::string& AWhat);

} // namespace qm
