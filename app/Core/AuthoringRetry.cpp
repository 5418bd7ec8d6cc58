// One stream that dvdauthor cannot author must not cost the other files their disc.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "Core/DvdBatch.h"

namespace qm {

namespace {

bool EndsWith(const std::string& AText, const std::string& AEnd) {
    return !AEnd.empty() && AText.size() >= AEnd.size() &&
           AText.compare(AText.size() - AEnd.size(), AEnd.size(), AEnd) == 0;
}

// dvdauthor's own words for why it stopped: its "ERR:" lines, else the whole message.
std::string AuthoringReason(const std::string& AError) {
    std::string reason;
    size_t start = 0;
    while (start < AError.size()) {
        const size_t end = std::min(AError.find('\n', start), AError.size());
        const std::string line = AError.substr(start, end - start);
        if (line.rfind("ERR:", 0) == 0)
            reason += (reason.empty() ? "" : " ") + line;
        start = end + 1;
    }
    return reason.empty() ? AError : reason;
}

} // namespace

bool TDvdBatch::AuthorLeavingOffBadStreams(std::vector<std::string> AStreams, TBatchResult& AResult) {
    for (;;) {
        FAuthoringStream.clear(); // set again only when dvdauthor itself fails
        if (Author(AStreams, AResult))
            return true;
        if (FStopped || AStreams.size() < 2)
            return false;
        // Named in dvd.xml as it lies, or relative to the working folder.
        const std::string failed = FAuthoringStream;
        const auto bad = std::find_if(AStreams.begin(), AStreams.end(),
                                      [&](const std::string& AStream) { return EndsWith(AStream, failed); });
        if (failed.empty() || bad == AStreams.end())
            return false;
        const int title = static_cast<int>(bad - AStreams.begin()) + 1;
        for (TBatchFile& file : AResult.Files) {
            if (file.Title == title) {
                file.Title = 0;
                file.Error = "dvdauthor could not put it on the disc: " + AuthoringReason(AResult.Error);
            } else if (file.Title > title) {
                --file.Title;
            }
        }
        std::remove(bad->c_str());
        AStreams.erase(bad);
        AResult.Error.clear();
        std::error_code ec;
        std::filesystem::remove_all(FWorkFolder + "disc", ec); // the failed attempt's half disc
    }
}

} // namespace qm
