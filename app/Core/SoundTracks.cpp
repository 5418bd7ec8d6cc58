#include "Core/SoundTracks.h"

#include <algorithm>
#include <exception>

#include "Converter/FFmpegConverter.h"
#include "Core/DiscPlan.h"
#include "Core/DvdPresets.h"
#include "Core/InputList.h"
#include "Core/LanguageCodes.h"
#include "Engine/SilenceInput.h"
#include "Platform/Numbers.h"

namespace qm {

namespace {

constexpr int Ac3SurroundBitrate = 448000;
constexpr int PcmBitrate = 48000 * 16 * 2;
// Below this the picture is no longer worth watching; sound tracks are left off instead.
constexpr int MinVideoBitrate = 2000000;

std::vector<TTrackFacts> TracksInDiscOrder(const rInputStreamInfo& AItem, bool AAllTracks) {
    std::vector<TTrackFacts> tracks;
    // A stream the probe could not read would fail the whole title.
    for (const auto& t : AItem.AudioTracks)
        if (t.Channels > 0 && t.Codec != "none")
            tracks.push_back(t);
    const auto flagged = std::find_if(tracks.begin(), tracks.end(), [](const TTrackFacts& t) { return t.Default; });
    if (flagged != tracks.end())
        std::rotate(tracks.begin(), flagged, flagged + 1);
    const size_t keep = AAllTracks ? size_t(MaxSoundTracks) : 1;
    if (tracks.size() > keep)
        tracks.resize(keep);
    return tracks;
}

TSoundTrack PlanTrack(const TTrackFacts* AFacts, const TDvdPreset& APreset, TSoundFormat AFormat) {
    TSoundTrack t;
    if (AFacts) {
        t.Stream = AFacts->Stream;
        t.Language = TwoLetterLanguage(AFacts->Language);
    }
    t.Bitrate = APreset.AudioBitrate;
    if (AFormat == sfPcm) {
        t.Bitrate = PcmBitrate;
    } else if (AFormat == sfAc3 && AFacts && AFacts->Channels >= 6) {
        t.Channels = 6;
        t.Bitrate = Ac3SurroundBitrate;
    }
    return t;
}

int64_t VideoRoom(const std::vector<TSoundTrack>& ATracks) {
    TPlanTitle title;
    for (const auto& t : ATracks)
        title.AudioRate += t.Bitrate;
    return VideoRateCap(title);
}

} // namespace

const char* SoundFormatName(TSoundFormat AFormat) {
    switch (AFormat) {
    case sfAc3:
        return "ac3";
    case sfPcm:
        return "pcm";
    default:
        return "mp2";
    }
}

bool ParseSoundFormat(const std::string& AText, TSoundFormat& AFormat) {
    std::string lower;
    for (char c : AText)
        lower += c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    for (TSoundFormat f : {sfMp2, sfAc3, sfPcm})
        if (lower == SoundFormatName(f)) {
            AFormat = f;
            return true;
        }
    return false;
}

TSoundFormat DefaultSoundFormat(const TDvdPreset& APreset) { return APreset.NormType == 1 ? sfMp2 : sfAc3; }

bool ParseTrackOption(const std::string& AOption, const std::string& AValue, TTrackChoices& AChoices,
                      std::string& AError) {
    TSoundFormat format;
    if (AOption == "--audio" && ParseSoundFormat(AValue, format)) {
        AChoices.SoundFormat = SoundFormatName(format);
        return true;
    }
    if (AOption == "--audio-tracks" && (AValue == "all" || AValue == "first")) {
        AChoices.AllSoundTracks = AValue == "all";
        return true;
    }
    const char* words = AOption == "--audio"          ? "mp2, ac3 or pcm"
                        : AOption == "--audio-tracks" ? "all or first"
                                                      : nullptr;
    AError = words ? AOption + " wants " + words + ", not \"" + AValue + "\"" : "Unknown option " + AOption;
    return false;
}

TSoundFormat ChosenSoundFormat(const TTrackChoices& AChoices, const TDvdPreset& APreset) {
    TSoundFormat format = DefaultSoundFormat(APreset);
    ParseSoundFormat(AChoices.SoundFormat, format);
    return format;
}

TSoundPlan PlanSound(const rInputStreamInfo& AItem, const TDvdPreset& APreset, TSoundFormat AFormat,
                     bool AAllTracks) {
    TSoundPlan plan;
    plan.Encoder = AFormat == sfPcm ? "pcm_s16be" : SoundFormatName(AFormat);
    for (const auto& facts : TracksInDiscOrder(AItem, AAllTracks))
        plan.Tracks.push_back(PlanTrack(&facts, APreset, AFormat));
    if (plan.Tracks.empty())
        plan.Tracks.push_back(PlanTrack(nullptr, APreset, AFormat));

    const size_t planned = plan.Tracks.size();
    while (plan.Tracks.size() > 1 && VideoRoom(plan.Tracks) < MinVideoBitrate)
        plan.Tracks.pop_back();
    const int video = static_cast<int>(VideoRoom(plan.Tracks));
    plan.VideoBitrate = std::min(APreset.VideoBitrate, video);
    plan.VideoMaxRate = std::min(DvdVideoMaxRate, video);
    if (plan.Tracks.size() < planned)
        plan.Note = FormatC("Only %zu of the %zu sound tracks of %s fit on a DVD as %s; the others are left off.",
                            plan.Tracks.size(), planned, AItem.FileName.c_str(), SoundFormatName(AFormat));
    if (plan.VideoBitrate < APreset.VideoBitrate || plan.VideoMaxRate < DvdVideoMaxRate)
        plan.Note += std::string(plan.Note.empty() ? "" : " ") + "The sound of " + AItem.FileName + " takes " +
                     MegabitsText(SoundBitrate(plan)) + ", so its picture gets " + MegabitsText(plan.VideoBitrate) +
                     " (at most " + MegabitsText(plan.VideoMaxRate) + ") to stay within the DVD's " +
                     MegabitsText(MaxMuxRate) + ".";
    return plan;
}

int64_t SoundBitrate(const TSoundPlan& APlan) {
    int64_t sum = 0;
    for (const auto& t : APlan.Tracks)
        sum += t.Bitrate;
    return sum;
}

bool AddSilenceInput(TFFmpeg& ATask, std::string& AError) {
    try {
        ATask.SetOption("f", SilenceFormatName);
    } catch (const std::exception& e) {
        AError = e.what();
        return false;
    }
    if (ATask.OpenInputFile(SilenceFormatName))
        return true;
    AError = ATask.LastError();
    return false;
}

void AddSoundStreams(TFFmpeg& ATask, const TSoundPlan& APlan, int32_t AVideoStream) {
    if (APlan.Tracks.empty() || APlan.Tracks.front().Stream < 0)
        return; // silence: the engine finds its only sound source itself
    ATask.SetOption("map", "0:" + std::to_string(AVideoStream));
    for (const auto& t : APlan.Tracks)
        ATask.SetOption("map", "0:" + std::to_string(t.Stream));
    for (size_t i = 1; i < APlan.Tracks.size(); ++i) {
        const TSoundTrack& t = APlan.Tracks[i];
        ATask.SetOption("acodec", APlan.Encoder);
        ATask.SetOption("ac", std::to_string(t.Channels));
        ATask.SetOption("ar", "48000");
        ATask.SetOption("ab", std::to_string(t.Bitrate));
        ATask.SetOption("newaudio", "1");
    }
}

} // namespace qm
