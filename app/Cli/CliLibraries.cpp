#include <cstdio>

#include "Cli/CliCommands.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Platform/FileUtils.h"

namespace qm::cli {

namespace {

std::string VersionText(TLibraryKind kind) {
    unsigned v = 0;
    switch (kind) {
    case lkAVUtil:
        v = ff::avutil_version();
        break;
    case lkSwResample:
        v = ff::swresample_version();
        break;
    case lkSwScale:
        v = ff::swscale_version();
        break;
    case lkAVCodec:
        v = ff::avcodec_version();
        break;
    case lkAVFormat:
        v = ff::avformat_version();
        break;
    case lkAVFilter:
        v = ff::avfilter_version();
        break;
    case lkAVDevice:
        v = ff::avdevice_version();
        break;
    case lkSDL: {
        SDL_version sv{};
        ff::SDL_GetVersion(&sv);
        return std::to_string(sv.major) + "." + std::to_string(sv.minor) + "." +
               std::to_string(sv.patch);
    }
    }
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." +
           std::to_string(v & 0xff);
}

} // namespace

// Loads a set as the application does: from the program folder's Dll/ when the files are
// there, else from the system; the loader's message on failure.
bool LoadLibrarySet(TLibraryKinds AKinds) {
    GlobalLoader.SetLibraryPath(ProgramFolder() + "Dll/");
    if (GlobalLoader.LoadLibraries(AKinds))
        return true;
    std::fprintf(stderr, "%s\n", GlobalLoader.LastErrMsg().c_str());
    return false;
}

bool LoadConverterLibraries() { return LoadLibrarySet(ConverterLibraries); }

// Loads the converter's and the player's libraries and says where each came from.
int RunLibraries(const TArgs&) {
    for (TLibraryKinds set : {ConverterLibraries, PlayerLibraries})
        if (!LoadLibrarySet(set))
            return 1;
    for (int k = 0; k < LibraryKindCount; ++k) {
        auto kind = static_cast<TLibraryKind>(k);
        if (!GlobalLoader.LibraryLoaded(kind))
            continue;
        std::printf("%-10s %-10s %s\n", TFFmpegLoader::Item(kind).Name, VersionText(kind).c_str(),
                    GlobalLoader.LoadedFrom(kind).c_str());
    }
    return 0;
}

} // namespace qm::cli
