#include "Core/BatchPlan.h"

#include <cmath>

#include "Core/DurationCheck.h"
#include "Core/DvdBatch.h"
#include "Platform/Numbers.h"

namespace qm {

namespace {

constexpr int HalfWidth = 352;

} // namespace

int NormHeight(const TDvdPreset& APreset) { return APreset.NormType == 1 ? 576 : 480; }

TDvdPreset HalfSizePicture(const TDvdPreset& APreset) {
    TDvdPreset half = APreset;
    half.Width = HalfWidth;
    half.Height = NormHeight(APreset);
    half.FrameSize = APreset.NormType == 1 ? "352x576" : "352x480";
    return half;
}

std::vector<TPlanTitle> PlanTitles(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APicture,
                                   double ADiscAspect) {
    std::vector<TPlanTitle> titles;
    for (const auto& item : AItems) {
        if (!item.HasVideo()) {
            titles.push_back({}); // not on the disc
            continue;
        }
        const TPictureLayout l = FitPicture(item.DisplayAspect, APicture.Width, APicture.Height, ADiscAspect);
        TPlanTitle t;
        // Not the header's word for it when the file cannot hold that much.
        t.LengthMs = PlausibleConvertedLengthMs(item);
        t.Pixels = static_cast<int64_t>(l.Width) * l.Height;
        t.VideoRate = APicture.VideoBitrate;
        t.AudioRate = item.HasAudio ? APicture.AudioBitrate : 0;
        titles.push_back(t);
    }
    return titles;
}

std::vector<TFitPicture> FitPictures(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset) {
    auto picture = [&AItems](const TDvdPreset& ASize, int64_t AMinRate) {
        TFitPicture p;
        p.Titles = PlanTitles(AItems, ASize, ChooseDiscAspect(AItems, ASize));
        p.FramePixels = static_cast<int64_t>(ASize.Width) * ASize.Height;
        p.MinFrameRate = AMinRate;
        return p;
    };
    const int64_t halfFrame = static_cast<int64_t>(HalfWidth) * NormHeight(APreset);
    if (APreset.Width <= HalfWidth) {
        // Already a small picture: the least rate of the half-width one, by area.
        const double area = static_cast<double>(APreset.Width) * APreset.Height / static_cast<double>(halfFrame);
        return {picture(APreset, std::llround(static_cast<double>(HalfSizeMinRate) * area))};
    }
    return {picture(APreset, FullSizeMinRate), picture(HalfSizePicture(APreset), HalfSizeMinRate)};
}

double TDiscUsage::Percent() const {
    return DiscBytes > 0 ? 100.0 * static_cast<double>(Bytes) / static_cast<double>(DiscBytes) : 0;
}

std::string TDiscUsage::Text() const {
    std::string text = DiscSizeText(Bytes);
    if (DiscBytes > 0)
        text += " of " + DiscSizeText(DiscBytes) + " (" + FormatC("%.0f", Percent()) + " %)";
    else
        text += " (no limit)";
    if (Fitted && Fit.Fits && !Fit.VideoRates.empty()) {
        text += ", fitted: " + MegabitsText(Fit.FrameRate) + " video";
        if (Fit.Picture > 0)
            text += " at half size";
    } else if (Fitted && !Fit.Fits) {
        text += ", too much video to fit";
    }
    return text;
}

TDiscUsage EstimateUsage(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset,
                         const TDiscSettings& ASettings) {
    TDiscUsage usage;
    usage.DiscBytes = ASettings.DiscBytes;
    for (const auto& item : AItems)
        if (item.HasVideo() && PlausibleConvertedLengthMs(item) <= 0 && usage.UnknownFile.empty())
            usage.UnknownFile = item.FileName;
    std::vector<TPlanTitle> titles = PlanTitles(AItems, APreset, ChooseDiscAspect(AItems, APreset));
    if (ASettings.Fit && ASettings.DiscBytes > 0) {
        usage.Fitted = true;
        const std::vector<TFitPicture> pictures = FitPictures(AItems, APreset);
        usage.Fit = FitToDisc(pictures, TitleBudget(ASettings.DiscBytes, titles, ASettings.MenuBytes));
        if (usage.Fit.Fits) {
            titles = pictures[static_cast<size_t>(usage.Fit.Picture)].Titles;
            for (size_t i = 0; i < titles.size(); ++i)
                titles[i].VideoRate = usage.Fit.VideoRates[i];
        }
    }
    usage.Bytes = EstimateDiscBytes(titles, ASettings.MenuBytes);
    usage.Over = usage.DiscBytes > 0 && usage.Bytes > usage.DiscBytes;
    return usage;
}

std::string DiscPlanError(const TDiscUsage& AUsage, const TDvdPreset& APreset) {
    if (AUsage.Fitted) {
        if (!AUsage.UnknownFile.empty())
            return "The length of " + AUsage.UnknownFile + " is not known, so the video cannot be fitted to the disc.";
        return AUsage.Fit.Fits ? std::string() : AUsage.Fit.Error;
    }
    if (!AUsage.Over)
        return {};
    return "The files need about " + DiscSizeText(AUsage.Bytes) + " at \"" + APreset.ItemText +
           "\", and the disc holds " + DiscSizeText(AUsage.DiscBytes) +
           ". Choose a lower preset, or fit the video to the disc (it is then encoded in two passes).";
}

} // namespace qm
