// The one logger of the media layer.
//
// The program's own components call Log; the media libraries' messages arrive through
// LogCallback, are assembled into whole lines per thread and prefixed "[class @ address]"
// once per line. Every line reaches OnLog on the main thread while the logging thread
// waits. Without an OnLog handler everything is discarded.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

namespace qm {

enum TLogLevel : int {
    llQuiet,
    llPanic,
    llFatal,
    llError,
    llWarning,
    llInfo,
    llVerbose,
    llDebug,
};

int LogLevelToMediaLevel(TLogLevel level);
TLogLevel MediaLevelToLogLevel(int level);

class TFFLogger {
public:
    using TLogEvent = std::function<void(const void* ASender, uint32_t AThreadID,
                                         TLogLevel ALogLevel, const std::string& ALogMsg)>;

    // Only one logger may exist; a second construction throws std::logic_error.
    TFFLogger();
    ~TFFLogger();
    TFFLogger(const TFFLogger&) = delete;
    TFFLogger& operator=(const TFFLogger&) = delete;

    TLogLevel LogLevel() const { return FLogLevel.load(); }
    // Also sets the media libraries' level and threshold, once avutil is bound.
    void SetLogLevel(TLogLevel level);
    // For the option "loglevel": a level name or a decimal media-library level.
    // Throws std::invalid_argument for any other text.
    void SetLogLevelByName(const std::string& text);

    // Set on the main thread while no other thread logs.
    void SetOnLog(TLogEvent handler) { FOnLog = std::move(handler); }
    bool HasOnLog() const { return static_cast<bool>(FOnLog); }

    void Log(const void* sender, TLogLevel level, const std::string& text);

    static void InstallLogCallback();
    static void LogCallback(void* context, int level, const char* format, va_list args);

    // The media libraries' threshold: messages above it are dropped at once.
    static int LogThreshold();

private:
    void Deliver(const void* sender, TLogLevel level, const std::string& text);

    std::atomic<TLogLevel> FLogLevel{llInfo};
    TLogEvent FOnLog;
};

// The process's logger, created on first use.
TFFLogger& GetLogger();
// The logger if one exists, else null. Used where creating one would be pointless.
TFFLogger* FindLogger();

// The last error line the media libraries logged on the calling thread, whatever the log
// level lets through ("moov atom not found"); "" when none since ForgetLibraryError.
std::string LastLibraryError();
void ForgetLibraryError();

// Shorthand for GetLogger().Log(...) with printf-style formatting.
void Log(const void* sender, TLogLevel level, const std::string& text);
void LogF(const void* sender, TLogLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// printf into a std::string of whatever length the text needs, numbers as in the C locale.
std::string VFormat(const char* format, va_list args);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace qm
