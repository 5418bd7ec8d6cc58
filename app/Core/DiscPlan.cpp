#include "Core/DiscPlan.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "Platform/Numbers.h"

namespace qm {

namespace {

// The file systems of a disc or image (ISO 9660 and UDF descriptors, directories, the
// anchors at the end) and the disc's own IFO and BUP: a fixed allowance.
constexpr int64_t FixedAuthoringBytes = 1024 * 1024;
// A title's program chain, cell tables and its share of the titleset's IFO and BUP.
constexpr int64_t TitleAuthoringBytes = 36 * 1024;
// VOBU address map and time map, in IFO and BUP: about two VOBUs a second, 4 bytes each,
// and one time map entry a second.
constexpr int64_t AuthoringBytesPerSecond = 24;
// What the re-encode of a title that overflowed takes off beyond the excess: the encoder
// lands within a few tenths of a percent of its rate in two passes.
constexpr double ReduceMargin = 0.02;

std::string Lower(std::string AText) {
    for (char& c : AText)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return AText;
}

double Seconds(int64_t AMs) { return AMs > 0 ? static_cast<double>(AMs) / 1000.0 : 0.0; }

} // namespace

bool ParseDiscSize(const std::string& AText, int64_t& ABytes) {
    const std::string text = Lower(AText);
    if (text == "dvd5" || text == "dvd-5") {
        ABytes = Dvd5Bytes;
        return true;
    }
    if (text == "dvd9" || text == "dvd-9") {
        ABytes = Dvd9Bytes;
        return true;
    }
    if (text == "none" || text == "no limit") {
        ABytes = 0;
        return true;
    }
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (error != std::errc() || rest == text.data() || !(value > 0))
        return false;
    const std::string unit(rest, end);
    double scale = 1;
    if (unit == "k" || unit == "kb")
        scale = 1e3;
    else if (unit == "m" || unit == "mb")
        scale = 1e6;
    else if (unit == "g" || unit == "gb")
        scale = 1e9;
    else if (!unit.empty())
        return false;
    const double bytes = value * scale;
    if (bytes < 1e6 || bytes > 1e13)
        return false;
    ABytes = std::llround(bytes);
    return true;
}

std::string DiscSizeName(int64_t ABytes) {
    if (ABytes <= 0)
        return "none";
    if (ABytes == Dvd5Bytes)
        return "dvd5";
    if (ABytes == Dvd9Bytes)
        return "dvd9";
    if (ABytes % 1000000 == 0)
        return std::to_string(ABytes / 1000000) + "M";
    return std::to_string(ABytes);
}

std::string MegabitsText(int64_t ABitsPerSecond) {
    return FormatC("%.2f", static_cast<double>(ABitsPerSecond) / 1e6) + " Mbit/s";
}

std::string DiscSizeText(int64_t ABytes) {
    const auto bytes = static_cast<double>(ABytes);
    return bytes >= 1e9 ? FormatC("%.2f", bytes / 1e9) + " GB" : FormatC("%.1f", bytes / 1e6) + " MB";
}

int64_t AuthoringBytes(const std::vector<TPlanTitle>& ATitles) {
    double seconds = 0;
    for (const auto& t : ATitles)
        seconds += Seconds(t.LengthMs);
    return FixedAuthoringBytes + TitleAuthoringBytes * static_cast<int64_t>(ATitles.size()) +
           static_cast<int64_t>(std::ceil(seconds * AuthoringBytesPerSecond));
}

int64_t TitleBytes(const TPlanTitle& ATitle, double AOverhead) {
    const double rate = static_cast<double>(ATitle.VideoRate + ATitle.AudioRate + ATitle.SubtitleRate);
    return static_cast<int64_t>(std::ceil(rate / 8 * Seconds(ATitle.LengthMs) * (1 + AOverhead)));
}

int64_t TitleBudget(int64_t ADiscBytes, const std::vector<TPlanTitle>& ATitles, int64_t AMenuBytes) {
    return std::max<int64_t>(0, ADiscBytes - AuthoringBytes(ATitles) - AMenuBytes);
}

int64_t EstimateDiscBytes(const std::vector<TPlanTitle>& ATitles, int64_t AMenuBytes) {
    int64_t bytes = AuthoringBytes(ATitles) + AMenuBytes;
    for (const auto& t : ATitles)
        bytes += TitleBytes(t);
    return bytes;
}

int64_t VideoRateCap(const TPlanTitle& ATitle, double AOverhead) {
    const auto mux = static_cast<int64_t>(static_cast<double>(MaxMuxRate) / (1 + AOverhead));
    return std::max<int64_t>(0, std::min(MaxVideoRate, mux - ATitle.AudioRate - ATitle.SubtitleRate));
}

std::vector<int64_t> FitVideoRates(const std::vector<TPlanTitle>& ATitles, int64_t ABudgetBytes,
                                   double AOverhead) {
    const size_t n = ATitles.size();
    std::vector<int64_t> rates(n, 0);
    // Bits the pictures may take once every title's sound and subtitles are in.
    double videoBits = static_cast<double>(ABudgetBytes) * 8 / (1 + AOverhead);
    std::vector<size_t> open;
    for (size_t i = 0; i < n; ++i) {
        const TPlanTitle& t = ATitles[i];
        videoBits -= static_cast<double>(t.AudioRate + t.SubtitleRate) * Seconds(t.LengthMs);
        if (t.LengthMs > 0 && t.Pixels > 0)
            open.push_back(i);
    }
    // Bits per pixel-second; the titles that would pass their cap get the cap, and the
    // others share what is left, until no title passes it.
    while (!open.empty() && videoBits > 0) {
        double weight = 0;
        for (size_t i : open)
            weight += static_cast<double>(ATitles[i].Pixels) * Seconds(ATitles[i].LengthMs);
        const double perPixel = videoBits / weight;
        std::vector<size_t> capped;
        for (size_t i : open)
            if (perPixel * static_cast<double>(ATitles[i].Pixels) >=
                static_cast<double>(VideoRateCap(ATitles[i], AOverhead)))
                capped.push_back(i);
        if (capped.empty()) {
            for (size_t i : open)
                rates[i] = static_cast<int64_t>(perPixel * static_cast<double>(ATitles[i].Pixels));
            break;
        }
        for (size_t i : capped) {
            rates[i] = VideoRateCap(ATitles[i], AOverhead);
            videoBits -= static_cast<double>(rates[i]) * Seconds(ATitles[i].LengthMs);
            open.erase(std::find(open.begin(), open.end(), i));
        }
    }
    return rates;
}

TDiscFit FitToDisc(const std::vector<TFitPicture>& APictures, int64_t ABudgetBytes, double AOverhead) {
    TDiscFit fit;
    for (size_t p = 0; p < APictures.size(); ++p) {
        const TFitPicture& picture = APictures[p];
        fit.Picture = static_cast<int>(p);
        fit.VideoRates = FitVideoRates(picture.Titles, ABudgetBytes, AOverhead);
        // What a whole frame gets at the titles' rate per pixel (capped titles aside).
        double perPixel = 0;
        for (size_t i = 0; i < picture.Titles.size(); ++i)
            if (picture.Titles[i].Pixels > 0)
                perPixel = std::max(perPixel, static_cast<double>(fit.VideoRates[i]) /
                                                  static_cast<double>(picture.Titles[i].Pixels));
        fit.FrameRate = static_cast<int64_t>(perPixel * static_cast<double>(picture.FramePixels));
        if (fit.FrameRate >= picture.MinFrameRate) {
            fit.Fits = true;
            return fit;
        }
    }
    if (APictures.empty()) {
        fit.Fits = true;
        return fit;
    }
    fit.Error = "Too much video for this disc: fitted, a picture would get about " + MegabitsText(fit.FrameRate) +
                " even at the smallest size, and it needs at least " +
                MegabitsText(APictures.back().MinFrameRate) + ".";
    return fit;
}

int64_t ReducedRate(int64_t ARate, int64_t ALengthMs, int64_t AExcessBytes) {
    const double seconds = Seconds(ALengthMs);
    if (seconds <= 0)
        return ARate;
    const double titleBits = static_cast<double>(ARate) * seconds;
    const double cut = static_cast<double>(AExcessBytes) * 8 + titleBits * ReduceMargin;
    return std::max<int64_t>(HalfSizeMinRate / 2, static_cast<int64_t>((titleBits - cut) / seconds));
}

} // namespace qm
