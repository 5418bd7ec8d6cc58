#include "Core/InputList.h"

#include <QString>

#include <algorithm>
#include <functional>
#include <utility>

#include "Core/FileNames.h"
#include "Core/FileProblems.h"
#include "Core/InputFileKind.h"
#include "Core/Product.h"
#include "Probe/AVProbe.h"
#include "Probe/MediaText.h"

namespace qm {

int64_t rInputStreamInfo::ConvertedLengthMs() const {
    if (DurationUs < 0)
        return TrimLength > 0 ? TrimLength : -1;
    const int64_t rest = DurationUs / 1000 - (TrimStart > 0 ? TrimStart : 0);
    const int64_t length = rest < 0 ? 0 : rest;
    return TrimLength > 0 && TrimLength < length ? TrimLength : length;
}

std::string rInputStreamInfo::MenuTitle() const {
    if (!TitleName.empty())
        return TitleName;
    const size_t slash = FileName.rfind('/');
    std::string name = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
    const size_t dot = name.rfind('.');
    // ".hidden" keeps its name; "clip.part.mkv" loses only ".mkv".
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

namespace {

void ReadTracks(const TCustomAVProbe& AProbe, rInputStreamInfo& ARecord) {
    for (int32_t i = 0; i < AProbe.StreamCount(); ++i) {
        TStreamFacts facts;
        if (!AProbe.GetStreamFacts(i, facts))
            continue;
        if (facts.MediaType != AVMEDIA_TYPE_AUDIO && facts.MediaType != AVMEDIA_TYPE_SUBTITLE)
            continue;
        TTrackFacts t;
        t.Stream = i;
        t.Codec = facts.CodecName;
        t.Channels = facts.Channels;
        t.Language = facts.Language;
        t.Default = facts.Default;
        t.Forced = facts.Forced;
        (facts.MediaType == AVMEDIA_TYPE_AUDIO ? ARecord.AudioTracks : ARecord.SubtitleTracks).push_back(t);
    }
}

} // namespace

std::string TracksText(const rInputStreamInfo& AItem) {
    auto count = [](const std::vector<TTrackFacts>& ATracks, const char* AOne, const char* AMany) {
        std::string text = std::to_string(ATracks.size()) + " " + (ATracks.size() == 1 ? AOne : AMany);
        std::string languages;
        for (const auto& t : ATracks)
            languages += (languages.empty() ? "" : ", ") + (t.Language.empty() ? std::string("?") : t.Language);
        return ATracks.empty() ? text : text + " (" + languages + ")";
    };
    const std::string sound = AItem.AudioTracks.empty() ? "no sound (it gets a silent track)"
                                                        : count(AItem.AudioTracks, "sound track", "sound tracks");
    return sound + ", " + count(AItem.SubtitleTracks, "subtitle", "subtitles");
}

bool ReadInputFile(TCustomAVProbe& AProbe, const std::string& AFileName, rInputStreamInfo& ARecord,
                   std::string& AError) {
    AError = NotARegularFile(AFileName);
    if (!AError.empty())
        return false;
    if (!AProbe.LoadFile(AFileName)) {
        AError = AProbe.LastError();
        return false;
    }
    rInputStreamInfo r;
    r.FileName = AFileName;
    r.Comment = product::Comment;
    TFileStreamInfo info;
    AProbe.GetFileStreamInfo(info);
    r.DurationUs = info.Duration;
    r.FileSize = AProbe.FileSize();
    TStreamFacts video;
    if (AProbe.GetStreamFacts(AProbe.FirstVideoStream(), video) && video.Width > 0 &&
        video.Height > 0) {
        r.Width = video.Width;
        r.Height = video.Height;
        const double sar = video.SampleAspect.num > 0 && video.SampleAspect.den > 0
                               ? double(video.SampleAspect.num) / video.SampleAspect.den
                               : 1.0;
        r.DisplayAspect = video.Width * sar / video.Height;
    }
    r.HasAudio = AProbe.FirstAudioStream() >= 0;
    r.VideoStream = AProbe.FirstVideoStream();
    ReadTracks(AProbe, r);
    r.DurationText = DurationTextUs(r.DurationUs);
    r.SizeText = SizeText(r.FileSize);
    AProbe.Close();
    ARecord = std::move(r);
    return true;
}

std::vector<int> RowsToRemove(std::vector<int> ASelected, int ACount) {
    if (ACount <= 0)
        return {};
    if (ASelected.empty())
        return {ACount - 1};
    std::vector<int> rows;
    for (int r : ASelected)
        if (r >= 0 && r < ACount)
            rows.push_back(r);
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

int RowAfterRemove(int ALowestRemoved, int ACountLeft) {
    if (ACountLeft <= 0)
        return -1;
    return ALowestRemoved < ACountLeft ? ALowestRemoved : ACountLeft - 1;
}

const rInputStreamInfo* TInputList::Find(const std::string& AFileName) const {
    for (const auto& item : FItems)
        if (SameFileName(item.FileName, AFileName))
            return &item;
    return nullptr;
}

rInputStreamInfo* TInputList::Find(const std::string& AFileName) {
    return const_cast<rInputStreamInfo*>(std::as_const(*this).Find(AFileName));
}

std::string TInputList::Add(const std::vector<std::string>& ANames, TCustomAVProbe& AProbe,
                            std::vector<std::string>* ASkipped) {
    std::string unreadable;
    for (const auto& name : ANames) {
        if (Contains(name)) {
            if (ASkipped)
                ASkipped->push_back(name);
            continue;
        }
        rInputStreamInfo record;
        std::string error;
        if (!ReadInputFile(AProbe, name, record, error)) {
            unreadable += "\n" + name + ": " + UnreadableReason(name, error);
            continue;
        }
        FItems.push_back(std::move(record));
    }
    return unreadable.empty() ? std::string() : unreadable + "\n\n" + UnreadableFileSentence;
}

} // namespace qm
