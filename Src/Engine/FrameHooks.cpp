#include "Engine/FrameHooks.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

#include "Loader/MediaEntries.h"
#include "Platform/FileUtils.h"

namespace qm {

namespace {

// Every plug-in library loaded so far, by the name it was given; never unloaded.
std::mutex GPluginLock;
std::map<std::string, void*>& LoadedPlugins() {
    static std::map<std::string, void*> plugins;
    return plugins;
}

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Makes AFolder the current directory for its lifetime.
class TFolderScope {
public:
    explicit TFolderScope(const std::string& AFolder) {
        if (AFolder.empty())
            return;
        char buf[4096];
        if (::getcwd(buf, sizeof buf) && ::chdir(AFolder.c_str()) == 0)
            FPrevious = buf;
    }
    ~TFolderScope() {
        if (!FPrevious.empty() && ::chdir(FPrevious.c_str()) != 0)
            ff::av_log(nullptr, AV_LOG_ERROR, "Cannot return to the folder %s\n", FPrevious.c_str());
    }
    TFolderScope(const TFolderScope&) = delete;
    TFolderScope& operator=(const TFolderScope&) = delete;

private:
    std::string FPrevious;
};

std::string LoadError() {
    const char* error = ::dlerror();
    return error ? error : "cannot load the library";
}

void* OpenPlugin(const std::string& APath) {
    void* handle = ::dlopen(APath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle)
        return handle;
    std::string error = LoadError();
    // A bare name is also looked for beside the program.
    if (APath.find('/') == std::string::npos) {
        handle = ::dlopen((ProgramFolder() + APath).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle)
            return handle;
    }
    ff::av_log(nullptr, AV_LOG_ERROR, "%s\n", error.c_str());
    return nullptr;
}

} // namespace

THookArguments::THookArguments(const std::vector<std::string>& AArgs) : Texts(AArgs) {
    for (auto& text : Texts)
        Pointers.push_back(text.data());
    Pointers.push_back(nullptr);
}

bool PluginLoaded(const std::string& AFileName) {
    std::lock_guard lock(GPluginLock);
    return LoadedPlugins().count(AFileName) != 0;
}

int TFrameHookList::AddFrameHook(const std::vector<std::string>& AArgs) {
    if (AArgs.empty())
        return -2;
    const std::string& name = AArgs[0];
    std::lock_guard lock(GPluginLock);
    const size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    if (!folder.empty()) {
        const char* path = std::getenv("PATH");
        const std::string old = path ? path : "";
        if (Upper(old).find(Upper(folder)) == std::string::npos)
            ::setenv("PATH", (folder + ":" + old).c_str(), 1);
    }
    // The name is read before the folder becomes the current one.
    std::string path = name;
    if (!folder.empty() && name[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd))
            path = std::string(cwd) + "/" + name;
    }
    TFolderScope scope(folder);
    auto& plugins = LoadedPlugins();
    void* handle;
    if (auto it = plugins.find(name); it != plugins.end()) {
        handle = it->second;
    } else {
        handle = OpenPlugin(path);
        if (!handle)
            return -1;
        plugins.emplace(name, handle);
    }
    THookEntry entry;
    entry.Configure = reinterpret_cast<QmHookConfigure>(::dlsym(handle, "Configure"));
    entry.Process = reinterpret_cast<QmHookProcess>(::dlsym(handle, "Process"));
    entry.Release = reinterpret_cast<QmHookRelease>(::dlsym(handle, "Release"));
    if (!entry.Process) {
        ff::av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", name.c_str());
        return -2;
    }
    if (!entry.Configure && AArgs.size() > 1) {
        ff::av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", name.c_str());
        return -2;
    }
    if (entry.Configure) {
        entry.Arguments = std::make_unique<THookArguments>(AArgs);
        if (entry.Configure(&entry.Context, entry.Arguments->Count(), entry.Arguments->Vector()) != 0) {
            ff::av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", name.c_str());
            return -22;
        }
    }
    FEntries.push_back(std::move(entry));
    return 0;
}

void TFrameHookList::ProcessFrameHooks(QmHookPicture& APicture, int APixelFormat, int AWidth,
                                       int AHeight, int64_t APts) const {
    for (const auto& entry : FEntries)
        entry.Process(entry.Context, &APicture, APixelFormat, AWidth, AHeight, APts);
}

void TFrameHookList::ReleaseFrameHooks() {
    for (const auto& entry : FEntries)
        if (entry.Release)
            entry.Release(entry.Context);
    FEntries.clear();
}

} // namespace qm
