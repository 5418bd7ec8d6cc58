// Authoring the converted streams into a DVD-Video folder with the external dvdauthor.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Core/TrackAuthoring.h"

namespace qm {

class TRedirector;
class TToolRun;
struct TMenuLayout;

class TDvdAuthoring {
public:
    // AProgramFolder: where Data/Quillmoor/ lies (with a trailing '/').
    explicit TDvdAuthoring(std::string AProgramFolder);

    std::string TemplatePath() const;
    // Data/Quillmoor/dvdauthor when the program brings its own, else dvdauthor on PATH.
    std::string AuthoringProgram() const;
    // The same for another tool of the disc ("spumux").
    std::string ToolProgram(const std::string& AName) const;

    // Writes AOutPath + "dvd.xml" from the template for the streams, in order, for a disc
    // in ADest (AOutPath when empty); false with the reason in AError when the template
    // cannot be read or the file not written.
    bool WriteAuthoringFile(const std::string& AOutPath, const std::vector<std::string>& AStreams,
                            std::string& AError, const std::string& ADest = {});
    // Writes the one-line AOutPath + "dvd.sh" that runs the authoring program on dvd.xml.
    bool WriteBatchFile(const std::string& AOutPath, std::string& AError);
    // Runs the script and waits for its end, serving hand-overs meanwhile. ANorm ("PAL" or
    // "NTSC") is the disc's video format. False with dvdauthor's last error lines when it
    // exits non-zero, reports an error or leaves no VIDEO_TS/VIDEO_TS.IFO behind.
    bool RunAuthoring(const std::string& AScriptPath, const std::string& AOutPath,
                      const std::string& ANorm, std::string& AError);
    // Main thread, while RunAuthoring waits: ends the authoring program; RunAuthoring then
    // fails with "DVD authoring was stopped".
    void Cancel();
    // The handler of the redirector's output: status lines become 80..100 % of the progress.
    void ParseAuthoringOutput(TRedirector* ASender, const char* ABuffer, uint32_t ASize);

    // By stream: the "chapters" of its title ("0:00:00,0:05:00"); none or "" for one chapter.
    std::vector<std::string> Chapters;
    // The titles' sound and subpicture streams, declared with their languages.
    TDiscStreams Streams;
    // A title menu for the disc (with its page streams, in a "pal" or "ntsc" menu domain).
    const TMenuLayout* Menu = nullptr;
    std::vector<std::string> MenuPages;
    std::string MenuNorm;
    int64_t TotalSize = 0; // bytes of the streams: the 100 % mark of the authoring
    // The percentage behind the last OnProgress call (80..100).
    double LastPercent() const { return FLastPercent; }
    std::function<void(int APosition, const std::string& ALabel)> OnProgress;
    // Every non-empty line the authoring program prints, on the main thread.
    std::function<void(const std::string& ALine)> OnLine;
    // The last lines dvdauthor printed (for the failure message).
    const std::vector<std::string>& LastLines() const { return FLastLines; }
    // The stream dvdauthor read last ("STAT: Processing NAME..."), as named in dvd.xml; the
    // one it stopped on when it failed. Empty before it read any.
    const std::string& LastStream() const { return FLastStream; }

private:
    void KeepLine(const std::string& ALine);

    std::string FProgramFolder;
    std::vector<std::string> FLastLines;
    std::string FLastStream;
    bool FSawError = false;
    double FLastPercent = 0;
    TToolRun* FRunning = nullptr; // while RunAuthoring waits
};

// "Progress: %.2f%" as the batch shows it.
std::string ProgressLabel(double APercent);

} // namespace qm
