#include "FFmpegLogger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Loader/MediaEntries.h"
#include "Platform/MainThread.h"
#include "Platform/Numbers.h"

namespace qm {

namespace {

std::atomic<int> GLogThreshold{32};
std::atomic<TFFLogger*> GGlobalLogger{nullptr};
std::mutex GCreateLock;
std::unique_ptr<TFFLogger> GOwnedLogger; // the logger GetLogger made, guarded by GCreateLock

// The unterminated end of this thread's last media-library message.
thread_local std::string TPendingText;

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

} // namespace

std::string VFormat(const char* format, va_list args) { return VFormatC(format, args); }

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

int LogLevelToMediaLevel(TLogLevel level) { return (static_cast<int>(level) - 1) * 8; }

TLogLevel MediaLevelToLogLevel(int level) {
    int l = level / 8 + 1; // division truncates toward zero
    return static_cast<TLogLevel>(std::clamp(l, 0, 7));
}

TFFLogger::TFFLogger() {
    TFFLogger* expected = nullptr;
    if (!GGlobalLogger.compare_exchange_strong(expected, this))
        throw std::logic_error("Allow creating only one instance of TFFLogger.");
    FLogLevel = MediaLevelToLogLevel(GLogThreshold.load());
}

TFFLogger::~TFFLogger() {
    TFFLogger* self = this;
    GGlobalLogger.compare_exchange_strong(self, nullptr);
}

void TFFLogger::SetLogLevel(TLogLevel level) {
    FLogLevel = level;
    if (ff::av_log_set_level) {
        ff::av_log_set_level(LogLevelToMediaLevel(level));
        GLogThreshold = LogLevelToMediaLevel(level);
    }
}

void TFFLogger::SetLogLevelByName(const std::string& text) {
    static const struct {
        const char* Name;
        int Level;
    } names[] = {{"quiet", -8},   {"panic", 0}, {"fatal", 8},    {"error", 16},
                 {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48}};
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& n : names) {
        if (lower == n.Name) {
            SetLogLevel(MediaLevelToLogLevel(n.Level));
            return;
        }
    }
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size())
        throw std::invalid_argument("'" + text + "' is not a valid integer value");
    SetLogLevel(MediaLevelToLogLevel(value));
}

void TFFLogger::Deliver(const void* sender, TLogLevel level, const std::string& text) {
    const uint32_t thread = CurrentThreadId();
    // Each line travels with its own values, so two threads logging at once cannot
    // overwrite each other's line before the main thread delivers it.
    TMainThread::Synchronize([&] {
        if (FOnLog)
            FOnLog(sender, thread, level, text);
    });
}

void TFFLogger::Log(const void* sender, TLogLevel level, const std::string& text) {
    if (!FOnLog)
        return;
    const TLogLevel current = FLogLevel;
    if (!(level <= current || (level == llVerbose && current != llQuiet)))
        return;
    Deliver(sender, level, text);
}

void TFFLogger::InstallLogCallback() {
    if (!ff::av_log_set_callback)
        throw std::logic_error("av_log_set_callback is not bound");
    ff::av_log_set_callback(&TFFLogger::LogCallback);
}

int TFFLogger::LogThreshold() { return GLogThreshold; }

namespace {

thread_local std::string TLastLibraryError;

// Keeps an error line of the libraries as the thread's last, before any level drops it.
void KeepLibraryError(int ALevel, const char* AFormat, va_list AArgs) {
    if (ALevel > AV_LOG_ERROR)
        return;
    va_list copy;
    va_copy(copy, AArgs);
    std::string line = VFormat(AFormat, copy);
    va_end(copy);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '.'))
        line.pop_back();
    if (!line.empty())
        TLastLibraryError = std::move(line);
}

} // namespace

std::string LastLibraryError() { return TLastLibraryError; }

void ForgetLibraryError() { TLastLibraryError.clear(); }

void TFFLogger::LogCallback(void* context, int level, const char* format, va_list args) {
    KeepLibraryError(level, format, args);
    if (level > GLogThreshold)
        return;
    TFFLogger* logger = GGlobalLogger;
    std::string text;
    if (TPendingText.empty()) {
        const AVClass* cls = context ? *static_cast<const AVClass* const*>(context) : nullptr;
        if (cls) {
            const char* name = cls->item_name ? cls->item_name(context) : cls->class_name;
            text = Format("[%s @ %p]", name ? name : "", context);
        }
    } else {
        text.swap(TPendingText);
    }
    text += VFormat(format, args);

    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (!logger || !logger->FOnLog)
            continue;
        // Nothing may unwind through the media library's frames: it would be left in the
        // middle of whatever it was doing. A handler that throws loses only its line.
        try {
            logger->Deliver(logger, MediaLevelToLogLevel(level), text.substr(start, nl - start));
        } catch (...) {
        }
    }
    TPendingText = text.substr(start);
}

TFFLogger* FindLogger() { return GGlobalLogger; }

TFFLogger& GetLogger() {
    if (auto* logger = GGlobalLogger.load())
        return *logger;
    std::lock_guard lock(GCreateLock);
    if (auto* logger = GGlobalLogger.load())
        return *logger;
    GOwnedLogger = std::make_unique<TFFLogger>();
    return *GOwnedLogger;
}

void Log(const void* sender, TLogLevel level, const std::string& text) {
    GetLogger().Log(sender, level, text);
}

void LogF(const void* sender, TLogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    GetLogger().Log(sender, level, text);
}

} // namespace qm
