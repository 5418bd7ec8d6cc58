// Writing an authored DVD-Video folder into an ISO image (UDF bridge and ISO 9660, the
// VIDEO_TS files first) with the external genisoimage, run as the disc's other tools are.
#pragma once

#include <functional>
#include <string>

namespace qm {

class TToolRun;

// A volume label from a name: its letters upper case, A-Z, 0-9 and '_' only, at most 32
// characters, without the extension ("My holiday 2024.iso" gives "MY_HOLIDAY_2024"); "DVD"
// when nothing is left.
std::string VolumeLabelOf(const std::string& AName);
// The percentage of a genisoimage progress line (" 12.34% done, estimate finish ..."), read
// with '.' whatever the locale; -1 when the line is not one.
double ImageProgressOf(const std::string& ALine);

class TDiscImageWriter {
public:
    // AProgramFolder: where Data/Quillmoor/ lies (with a trailing '/').
    explicit TDiscImageWriter(std::string AProgramFolder);

    // Data/Quillmoor/genisoimage when the program brings its own, else genisoimage on PATH.
    std::string ImageProgram() const;
    // Writes the image of ADiscFolder (which holds VIDEO_TS) to AImageFile, under a
    // temporary name beside it that is renamed when the image is complete. An existing
    // AImageFile is replaced only when AReplace. False with the reason (genisoimage's last
    // lines among it); nothing is left behind then, also after Cancel.
    bool Write(const std::string& ADiscFolder, const std::string& AImageFile, const std::string& ALabel,
               bool AReplace, std::string& AError);
    // Main thread, while Write waits: ends genisoimage; Write then fails with "stopped".
    void Cancel();

    // 0..100 of the image, on the main thread.
    std::function<void(double APercent)> OnProgress;
    // Every line genisoimage prints, on the main thread.
    std::function<void(const std::string& ALine)> OnLine;

private:
    bool Run(const std::string& ACommand, std::string& AError);
    void TakeLine(const std::string& ALine);

    std::string FProgramFolder;
    std::string FLastLines;
    TToolRun* FRunning = nullptr;
    bool FCancelled = false;
};

} // namespace qm
