#include "MediaText.h"

#include <cinttypes>
#include <cstdio>

namespace qm {

std::string DurationText(int64_t ASeconds) {
    const int64_t s = ASeconds < 0 ? 0 : ASeconds;
    const int64_t days = s / 86400;
    char text[48];
    if (days > 0)
        std::snprintf(text, sizeof text, "%" PRId64 " %02d:%02d:%02d", days,
                      static_cast<int>(s / 3600 % 24), static_cast<int>(s / 60 % 60),
                      static_cast<int>(s % 60));
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(s / 3600 % 24),
                      static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
    return text;
}

std::string DurationTextUs(int64_t ADurationUs) {
    return DurationText(ADurationUs / 1000000);
}

std::string SizeText(int64_t ABytes) {
    constexpr int64_t MB = 1048576;
    const int64_t bytes = ABytes < 0 ? 0 : ABytes;
    // In integers: printf's binary rounding would turn exact halves such as 0.125 MB down.
    const int64_t hundredths = bytes / MB * 100 + (bytes % MB * 100 + MB / 2) / MB;
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ".%02d MB", hundredths / 100,
                  static_cast<int>(hundredths % 100));
    return text;
}

} // namespace qm
