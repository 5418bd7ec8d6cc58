#include "Core/DiscChapters.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace qm {

std::vector<int64_t> ChapterStartsMs(int64_t ALengthMs, double AMinutes) {
    std::vector<int64_t> starts{0};
    if (!(AMinutes > 0) || ALengthMs <= 0)
        return starts;
    const double step = AMinutes * 60000;
    for (int k = 1; static_cast<int>(starts.size()) < MaxChaptersPerTitle; ++k) {
        const auto at = static_cast<int64_t>(std::llround(k * step));
        // A chapter in the title's last second would show next to nothing.
        if (at + 1000 > ALengthMs)
            break;
        starts.push_back(at);
    }
    return starts;
}

std::string ChapterAttribute(const std::vector<int64_t>& AStartsMs) {
    std::string text;
    for (const int64_t ms : AStartsMs) {
        char item[48];
        const long long s = ms / 1000;
        if (ms % 1000 == 0)
            std::snprintf(item, sizeof item, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
        else
            std::snprintf(item, sizeof item, "%lld:%02lld:%02lld.%03lld", s / 3600, s / 60 % 60, s % 60,
                          static_cast<long long>(ms % 1000));
        text += (text.empty() ? "" : ",") + std::string(item);
    }
    return text;
}

std::string ChapterKeyFrames(const std::vector<int64_t>& AStartsMs) {
    std::string text;
    auto add = [&text](int64_t AMs) {
        char item[32];
        std::snprintf(item, sizeof item, "%lld.%03lld", static_cast<long long>(AMs / 1000),
                      static_cast<long long>(AMs % 1000));
        text += (text.empty() ? "" : ",") + std::string(item);
    };
    for (const int64_t ms : AStartsMs) {
        if (ms <= 0)
            continue;
        // dvdauthor folds a short group of pictures into the navigation unit before it, and
        // a chapter can only begin a unit: a key frame one full group ahead keeps the group
        // before the chapter's long enough for its own unit.
        if (ms - ChapterLeadInMs > 0)
            add(ms - ChapterLeadInMs);
        add(ms);
    }
    return text;
}

bool ParseChapterMinutes(const std::string& AText, double& AMinutes) {
    double value = 0;
    const char* end = AText.data() + AText.size();
    const auto [ptr, ec] = std::from_chars(AText.data(), end, value, std::chars_format::fixed);
    if (AText.empty() || ec != std::errc() || ptr != end || !std::isfinite(value))
        return false;
    if (value != 0 && (value < MinChapterMinutes || value > MaxChapterMinutes))
        return false;
    AMinutes = value;
    return true;
}

std::string ChapterMinutesText(double AMinutes) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, AMinutes, std::chars_format::fixed, 3);
    std::string s(text, ec == std::errc() ? end : text);
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s.empty() ? "0" : s;
}

} // namespace qm
