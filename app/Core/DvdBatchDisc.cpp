// The batch's disc: its plan checked before any conversion, the fitted files converted in
// two passes at the rate that fills the disc, the total kept within it, and the image.
#include <algorithm>
#include <cstdio>

#include "Core/DiscImage.h"
#include "Core/DvdAuthoring.h"
#include "Core/DvdBatch.h"
#include "Core/MenuLayout.h"
#include "Platform/FileUtils.h"

namespace qm {

const TDvdPreset& TDvdBatch::Picture() const {
    return FFit.Active ? FFit.Picture : DvdPresets().at(static_cast<size_t>(PresetIndex));
}

bool TDvdBatch::PlanDisc(const std::vector<rInputStreamInfo>& AItems, TBatchResult& AResult) {
    const TDvdPreset& preset = DvdPresets()[static_cast<size_t>(PresetIndex)];
    Disc.MenuBytes = TitleMenu ? TitleMenuBytes(AItems.size()) : 0;
    const TDiscUsage usage = EstimateUsage(AItems, preset, Disc);
    AResult.Error = DiscPlanError(usage, preset);
    if (!AResult.Error.empty())
        return false;
    if (!usage.Fitted)
        return true;
    const std::vector<TFitPicture> pictures = FitPictures(AItems, preset);
    const TFitPicture& chosen = pictures.at(static_cast<size_t>(usage.Fit.Picture));
    FFit.Active = true;
    FFit.Picture = usage.Fit.Picture > 0 ? HalfSizePicture(preset) : preset;
    FFit.Titles = chosen.Titles;
    FFit.Budget = TitleBudget(Disc.DiscBytes, chosen.Titles, Disc.MenuBytes);
    FFit.Rates.assign(AItems.size(), 0);
    FFit.Bytes.assign(AItems.size(), 0);
    return true;
}

int64_t TDvdBatch::NextFittedRate(int AIndex) const {
    // What the titles made so far took against what their rates alone would: the
    // multiplex's share measured on this disc's own streams. A title that failed gives its
    // share back to the others.
    const auto index = static_cast<size_t>(AIndex);
    int64_t made = 0;
    double nominal = 0;
    for (size_t j = 0; j < index; ++j) {
        if (FFit.Bytes[j] <= 0)
            continue;
        TPlanTitle t = FFit.Titles[j];
        t.VideoRate = FFit.Rates[j];
        made += FFit.Bytes[j];
        nominal += static_cast<double>(TitleBytes(t, 0));
    }
    const double overhead = nominal > 0 ? std::clamp(static_cast<double>(made) / nominal - 1, 0.0, 0.25) : MuxOverhead;
    const std::vector<TPlanTitle> rest(FFit.Titles.begin() + AIndex, FFit.Titles.end());
    const std::vector<int64_t> rates = FitVideoRates(rest, std::max<int64_t>(0, FFit.Budget - made), overhead);
    return std::max<int64_t>(rates.empty() ? 0 : rates[0], HalfSizeMinRate / 2);
}

bool TDvdBatch::RunPass(int AIndex, int APass, int64_t ARate, double ADiscAspect, const TProgressShare& AShare,
                        std::string& AError) {
    FFit.Pass = APass;
    FFit.Rate = ARate;
    FFit.Log = FWorkFolder + "pass-" + std::to_string(AIndex);
    std::remove(StreamName(AIndex).c_str());
    const bool ok = RunFile(AIndex, ADiscAspect, AShare, AError);
    if (APass == 1)
        std::remove(StreamName(AIndex).c_str());
    FFit.Pass = 0;
    return ok;
}

bool TDvdBatch::ConvertTwoPasses(int AIndex, double ADiscAspect, std::string& AError) {
    // Each pass takes half of the file's share of the bar.
    const TProgressShare share = SequentialShare(AIndex, static_cast<int>(FItems->size()));
    const TProgressShare first{share.Offset, share.Weight / 2};
    const TProgressShare second{share.Offset + share.Weight / 2, share.Weight / 2};
    const int64_t rate = NextFittedRate(AIndex);
    if (!RunPass(AIndex, 1, rate, ADiscAspect, first, AError) || FStopped ||
        !RunPass(AIndex, 2, rate, ADiscAspect, second, AError))
        return false;
    FFit.Rates[static_cast<size_t>(AIndex)] = rate;
    FFit.Bytes[static_cast<size_t>(AIndex)] = std::max<int64_t>(0, FileSize(StreamName(AIndex)));
    return true;
}

bool TDvdBatch::KeepWithinDisc(double ADiscAspect, TBatchResult& AResult) {
    auto total = [this] {
        int64_t bytes = 0;
        for (const int64_t b : FFit.Bytes)
            bytes += b;
        return bytes;
    };
    const int64_t excess = total() - FFit.Budget;
    if (excess <= 0)
        return true;
    // Once: the largest title again, its rate reduced by the excess; its first pass's log
    // serves again.
    const auto largest = static_cast<size_t>(std::max_element(FFit.Bytes.begin(), FFit.Bytes.end()) - FFit.Bytes.begin());
    const int index = static_cast<int>(largest);
    const std::string& file = (*FItems)[largest].FileName;
    const int64_t rate = ReducedRate(FFit.Rates[largest], FFit.Titles[largest].LengthMs, excess);
    std::string error;
    if (!RunPass(index, 2, rate, ADiscAspect, {80, 0}, error)) {
        if (!FStopped)
            AResult.Error = "Converting " + file + " once more to fit the disc failed: " + error;
        return false;
    }
    FFit.Rates[largest] = rate;
    FFit.Bytes[largest] = std::max<int64_t>(0, FileSize(StreamName(index)));
    if (total() <= FFit.Budget)
        return true;
    AResult.Error = "The titles came out at " + DiscSizeText(total()) + ", more than the " +
                    DiscSizeText(FFit.Budget) + " the disc has for them, also after converting " + file +
                    " once more at a lower rate.";
    return false;
}

bool TDvdBatch::WriteImage(const std::string& ADisc, TBatchResult& AResult) {
    TDiscImageWriter writer(FProgramFolder);
    writer.OnProgress = [this](double APercent) {
        TBatchProgress p;
        p.Percent = 90 + APercent / 10;
        p.Position = static_cast<int>(p.Percent);
        p.Label = ProgressLabel(p.Percent);
        p.FileCount = FItems ? static_cast<int>(FItems->size()) : 0;
        if (OnProgress)
            OnProgress(p);
    };
    writer.OnLine = OnAuthoringLine;
    // Stop while genisoimage runs ends it.
    FCancelAuthoring = [&writer] { writer.Cancel(); };
    std::string error;
    const bool ok = writer.Write(ADisc, Disc.ImageFile, Disc.VolumeLabel, Overwrite, error);
    FCancelAuthoring = nullptr;
    if (!ok && !FStopped)
        AResult.Error = error;
    return ok;
}

} // namespace qm
