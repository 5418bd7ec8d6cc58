// Frame-hook plug-ins: libraries that change every decoded picture before it is encoded.
// The interface the plug-ins implement is plugins/FrameHook.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FrameHook.h"

namespace qm {

// One added plug-in: its entry points (Configure and Release may be missing) and the
// context its Configure made.
struct THookEntry {
    QmHookConfigure Configure = nullptr;
    QmHookProcess Process = nullptr;
    QmHookRelease Release = nullptr;
    void* Context = nullptr;
};

// The plug-ins of one engine, in the order they were added. Release (or destruction)
// calls each plug-in's Release.
class TFrameHookList {
public:
    TFrameHookList() = default;
    ~TFrameHookList() { ReleaseFrameHooks(); }
    TFrameHookList(const TFrameHookList&) = delete;
    TFrameHookList& operator=(const TFrameHookList&) = delete;

    // AArgs[0] names the plug-in's library. 0 when added; -1 the library cannot be loaded,
    // -2 no arguments or a missing entry point, -22 its Configure failed. Messages go to the
    // media libraries' log. A library is loaded once per process; while it loads, a folder
    // in its name is the current directory and joins PATH (for the libraries it needs).
    int AddFrameHook(const std::vector<std::string>& AArgs);
    void ProcessFrameHooks(QmHookPicture& APicture, int APixelFormat, int AWidth, int AHeight,
                           int64_t APts) const;
    void ReleaseFrameHooks();
    bool Empty() const { return FEntries.empty(); }
    size_t Count() const { return FEntries.size(); }

private:
    std::vector<THookEntry> FEntries;
};

// Whether a plug-in of that name (as given) has been loaded in this process.
bool PluginLoaded(const std::string& AFileName);

} // namespace qm
