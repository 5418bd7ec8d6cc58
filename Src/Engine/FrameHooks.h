// Frame-hook plug-ins: libraries that change every decoded picture before it is encoded.
// The interface the plug-ins implement is plugins/FrameHook.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FrameHook.h"

namespace qm {

// The argument strings handed to a plug-in's Configure. A plug-in may keep the pointers
// (and write into the texts), so they stay where they are for as long as its entry lives.
struct THookArguments {
    explicit THookArguments(const std::vector<std::string>& AArgs);
    int Count() const { return static_cast<int>(Texts.size()); }
    char** Vector() { return Pointers.data(); }

private:
    std::vector<std::string> Texts;
    std::vector<char*> Pointers; // into Texts, with a closing null
};

// One added plug-in: its entry points (Configure and Release may be missing), the context
// its Configure made and the arguments it was given.
struct THookEntry {
    QmHookConfigure Configure = nullptr;
    QmHookProcess Process = nullptr;
    QmHookRelease Release = nullptr;
    void* Context = nullptr;
    std::unique_ptr<THookArguments> Arguments;
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
