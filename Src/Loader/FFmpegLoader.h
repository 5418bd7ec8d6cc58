// Run-time loading of the media libraries.
//
// The libraries are mapped with dlopen in dependency order, from the private folder
// LibraryPath when the file is there and by soname from the system otherwise; every
// entry point of MediaEntries.h is bound by name. A failure names the library or the
// entry and unloads what that load had mapped; libraries loaded before it stay.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace qm {

// In load order: each library's dependencies come before it.
enum TLibraryKind : uint8_t {
    lkAVUtil,
    lkSwResample,
    lkSwScale,
    lkAVCodec,
    lkAVFormat,
    lkAVFilter,
    lkAVDevice,
    lkSDL,
};
constexpr int LibraryKindCount = lkSDL + 1;

// A set of libraries, bit n for the kind with ordinal n.
struct TLibraryKinds {
    uint16_t Bits = 0;
    constexpr TLibraryKinds() = default;
    constexpr TLibraryKinds(std::initializer_list<TLibraryKind> kinds) {
        for (auto k : kinds)
            Bits |= static_cast<uint16_t>(1u << k);
    }
    constexpr bool Contains(TLibraryKind k) const { return (Bits >> k) & 1u; }
    constexpr bool Empty() const { return Bits == 0; }
};

inline constexpr TLibraryKinds ConverterLibraries{lkAVUtil,   lkSwResample, lkSwScale,
                                                  lkAVCodec,  lkAVFormat,   lkAVFilter};
inline constexpr TLibraryKinds PlayerLibraries{lkAVUtil,  lkSwResample, lkSwScale,
                                               lkAVCodec, lkAVFormat,   lkSDL};

struct TLibraryItem {
    TLibraryKind Kind;
    const char* Name;  // base name: "avcodec" gives "libavcodec.so.<major>"
    int MajorVersion;  // -1: no version suffix
    void (*BindProc)(const std::string& fileName, void* handle);
    void (*UnbindProc)();
};

struct TLibraryStatus {
    void* Handle = nullptr; // dlopen handle; null while not mapped
    bool Bound = false;
    std::string LoadedFrom; // the path or soname that was mapped
};

class TFFmpegLoader {
public:
    // Folder to load private copies from; with or without a trailing '/'.
    void SetLibraryPath(const std::string& folder) { FLibraryPath = folder; }
    const std::string& LibraryPath() const { return FLibraryPath; }
    // Text of the most recent failure; a later success does not clear it.
    const std::string& LastErrMsg() const { return FLastErrMsg; }

    // False on the first failure, after unloading the libraries of the set that this call
    // mapped; those that were loaded before it stay loaded.
    bool LoadLibraries(TLibraryKinds kinds);
    void UnloadLibraries(TLibraryKinds kinds);
    bool LibrariesLoaded(TLibraryKinds kinds) const;
    bool LibraryLoaded(TLibraryKind kind) const;
    static std::string LibraryFileName(TLibraryKind kind);
    static const TLibraryItem& Item(TLibraryKind kind);
    // Where a loaded library was mapped from (empty while not loaded).
    const std::string& LoadedFrom(TLibraryKind kind) const { return FStatus[kind].LoadedFrom; }

private:
    bool LoadOne(TLibraryKind kind);
    void UnloadOne(TLibraryKind kind);

    std::string FLibraryPath;
    std::string FLastErrMsg;
    TLibraryStatus FStatus[LibraryKindCount];
};

// The process's one loader. All loader operations run on the main thread.
extern TFFmpegLoader GlobalLoader;

// Held around every codec open and close, by the engine, the probe and the player.
std::mutex& CodecLock();

} // namespace qm
