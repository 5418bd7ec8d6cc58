// Reads back a converted title made from a numbered clip: the number of every picture, in
// presentation order, how long picture and sound last, and where the clicks are heard.
#pragma once

#include <string>
#include <vector>

namespace qm::fixtures {

struct TTitleContents {
    std::vector<int> Numbers;        // each picture's number (-1: unreadable), in order
    double FrameDuration = 0;        // seconds, from the stream's frame rate
    double PictureSeconds = 0;       // the pictures times FrameDuration
    double SoundSeconds = 0;         // the decoded samples over the sample rate
    double SoundStart = 0;           // seconds from the first picture to the first sample
    std::vector<double> ClickOnsets; // seconds from the first picture
};

// False with the reason when the file or a decoder cannot be opened.
bool ReadTitle(const std::string& APath, TTitleContents& AContents, std::string& AError);

// The numbers with repeats of the one before taken out: what a converted frame rate shows.
std::vector<int> DistinctNumbers(const std::vector<int>& ANumbers);

} // namespace qm::fixtures
