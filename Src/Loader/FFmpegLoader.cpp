#include "FFmpegLoader.h"

#include <dlfcn.h>

#include <cassert>
#include <stdexcept>

#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"
#include "Unicode/UnicodeProtocol.h"

namespace qm {

TFFmpegLoader GlobalLoader;

std::mutex& CodecLock() {
    static std::mutex lock;
    return lock;
}

namespace {

// Raised by a binding routine on the first entry that cannot be found.
class TBindError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Format(const char* fmt, const std::string& a, const std::string& b) {
    int n = std::snprintf(nullptr, 0, fmt, a.c_str(), b.c_str());
    std::string out(static_cast<size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, fmt, a.c_str(), b.c_str());
    return out;
}

template <typename T>
void BindEntry(const std::string& fileName, void* handle, const char* name, T& entry) {
    dlerror();
    void* sym = dlsym(handle, name);
    if (!sym) {
        const char* why = dlerror();
        std::string text = "Load function ";
        text += name;
        text += "@" + fileName + " error: " + (why ? why : "symbol not found");
        throw TBindError(text);
    }
    entry = reinterpret_cast<T>(sym);
}

#define QM_BIND_ENTRY(name) BindEntry(fileName, handle, #name, ff::name);
#define QM_UNBIND_ENTRY(name) ff::name = nullptr;
#define QM_BINDING(lib, LIST)                                                                      \
    void Bind_##lib(const std::string& fileName, void* handle) { LIST(QM_BIND_ENTRY) }             \
    void Unbind_##lib() { LIST(QM_UNBIND_ENTRY) }

QM_BINDING(avutil, QM_AVUTIL_ENTRIES)
QM_BINDING(swresample, QM_SWRESAMPLE_ENTRIES)
QM_BINDING(swscale, QM_SWSCALE_ENTRIES)
QM_BINDING(avcodec, QM_AVCODEC_ENTRIES)
QM_BINDING(avformat, QM_AVFORMAT_ENTRIES)
QM_BINDING(avfilter, QM_AVFILTER_ENTRIES)
QM_BINDING(avdevice, QM_AVDEVICE_ENTRIES)
QM_BINDING(sdl, QM_SDL_ENTRIES)

// The libraries of Debian 12: FFmpeg 5.1 and SDL 2. The old registration calls are gone
// from these versions; nothing needs calling after binding.
const TLibraryItem LibraryItems[LibraryKindCount] = {
    {lkAVUtil, "avutil", LIBAVUTIL_VERSION_MAJOR, Bind_avutil, Unbind_avutil},
    {lkSwResample, "swresample", LIBSWRESAMPLE_VERSION_MAJOR, Bind_swresample, Unbind_swresample},
    {lkSwScale, "swscale", LIBSWSCALE_VERSION_MAJOR, Bind_swscale, Unbind_swscale},
    {lkAVCodec, "avcodec", LIBAVCODEC_VERSION_MAJOR, Bind_avcodec, Unbind_avcodec},
    {lkAVFormat, "avformat", LIBAVFORMAT_VERSION_MAJOR, Bind_avformat, Unbind_avformat},
    {lkAVFilter, "avfilter", LIBAVFILTER_VERSION_MAJOR, Bind_avfilter, Unbind_avfilter},
    {lkAVDevice, "avdevice", LIBAVDEVICE_VERSION_MAJOR, Bind_avdevice, Unbind_avdevice},
    {lkSDL, "SDL2-2.0", 0, Bind_sdl, Unbind_sdl},
};

// Maps folder+name when that file exists, else name through the system's search order.
void* LoadLibraryInFolder(const std::string& folder, const std::string& name, std::string& tried,
                          std::string& error) {
    tried = name;
    if (!folder.empty()) {
        std::string full = IncludeTrailingSlash(folder) + name;
        if (IsRegularFile(full))
            tried = full;
    }
    dlerror();
    void* handle = dlopen(tried.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = why ? why : "unknown error";
    }
    return handle;
}

} // namespace

const TLibraryItem& TFFmpegLoader::Item(TLibraryKind kind) { return LibraryItems[kind]; }

std::string TFFmpegLoader::LibraryFileName(TLibraryKind kind) {
    const auto& item = LibraryItems[kind];
    std::string name = std::string("lib") + item.Name + ".so";
    if (item.MajorVersion >= 0)
        name += "." + std::to_string(item.MajorVersion);
    return name;
}

bool TFFmpegLoader::LoadOne(TLibraryKind kind) {
    auto& st = FStatus[kind];
    if (!st.Handle) {
        std::string tried, error;
        void* handle = LoadLibraryInFolder(FLibraryPath, LibraryFileName(kind), tried, error);
        if (!handle) {
            FLastErrMsg = Format("Load library %s error: %s", tried, error);
            return false;
        }
        st.Handle = handle;
        st.LoadedFrom = tried;
    }
    if (!st.Bound) {
        try {
            LibraryItems[kind].BindProc(st.LoadedFrom, st.Handle);
            st.Bound = true;
        } catch (const std::runtime_error& e) {
            FLastErrMsg = e.what();
        }
    }
    if (!st.Bound) {
        UnloadOne(kind);
        return false;
    }
    if (kind == lkAVUtil) {
        GetLogger();
        TFFLogger::InstallLogCallback();
    }
    if (kind == lkAVFormat)
        EnsureUnicodeProtocol();
    return true;
}

void TFFmpegLoader::UnloadOne(TLibraryKind kind) {
    auto& st = FStatus[kind];
    if (st.Bound) {
        LibraryItems[kind].UnbindProc();
        st.Bound = false;
    }
    if (st.Handle) {
        dlclose(st.Handle);
        st.Handle = nullptr;
        st.LoadedFrom.clear();
    }
}

bool TFFmpegLoader::LoadLibraries(TLibraryKinds kinds) {
    assert(!kinds.Empty());
    // A failed set gives back only what this call mapped: libraries that were loaded
    // before it (by the converter, say, when the player's set fails) are in use.
    TLibraryKinds mappedHere;
    for (int k = 0; k < LibraryKindCount; ++k) {
        auto kind = static_cast<TLibraryKind>(k);
        if (!kinds.Contains(kind))
            continue;
        if (!LibraryLoaded(kind))
            mappedHere.Bits |= static_cast<uint16_t>(1u << kind);
        if (!LoadOne(kind)) {
            if (!mappedHere.Empty())
                UnloadLibraries(mappedHere);
            return false;
        }
    }
    return true;
}

void TFFmpegLoader::UnloadLibraries(TLibraryKinds kinds) {
    assert(!kinds.Empty());
    // Dependents go first so that dlclose can really let go of their dependencies.
    for (int k = LibraryKindCount - 1; k >= 0; --k) {
        auto kind = static_cast<TLibraryKind>(k);
        if (kinds.Contains(kind))
            UnloadOne(kind);
    }
}

bool TFFmpegLoader::LibrariesLoaded(TLibraryKinds kinds) const {
    assert(!kinds.Empty());
    for (int k = 0; k < LibraryKindCount; ++k) {
        auto kind = static_cast<TLibraryKind>(k);
        if (kinds.Contains(kind) && !LibraryLoaded(kind))
            return false;
    }
    return true;
}

bool TFFmpegLoader::LibraryLoaded(TLibraryKind kind) const {
    return FStatus[kind].Handle != nullptr && FStatus[kind].Bound;
}

} // namespace qm
