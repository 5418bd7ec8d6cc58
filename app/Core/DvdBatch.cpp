#include "Core/DvdBatch.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Converter/FFmpegConverter.h"
#include "Core/DvdAuthoring.h"
#include "Core/DvdEncoderSettings.h"
#include "Core/DurationCheck.h"
#include "Core/FileProblems.h"
#include "Core/InputFileKind.h"
#include "Core/MenuLayout.h"
#include "Core/TrimCheck.h"
#include "Core/WorkFolders.h"
#include "Platform/FileUtils.h"
#include "Platform/MainThread.h"
#include "Platform/Numbers.h"
#include "Probe/DvdStreamCheck.h"

namespace qm {

// One conversion task of a run and what its threads report about it.
struct TTaskSlot {
    int File = -1;
    TProgressShare Share;
    std::atomic<int64_t> LengthMs{-1};
    std::atomic<int64_t> DoneMs{0};
    std::string SetupError; // the task could not be set up; main thread only
    // Guarded by TRunState::Lock.
    bool Finished = false;
    bool Exception = false;
    std::string Message;
};

// What the converter's threads and the queued progress hand-overs share with the batch.
struct TDvdBatch::TRunState {
    TDvdBatch* Batch = nullptr; // main thread only; null once the batch is gone
    std::atomic<int> FileCount{0};
    std::atomic<bool> AllDone{false};
    // By task index; changed only while no task runs.
    std::vector<std::unique_ptr<TTaskSlot>> Slots;
    std::mutex Lock;

    TTaskSlot* Slot(int32_t AIndex) {
        return AIndex >= 0 && static_cast<size_t>(AIndex) < Slots.size() ? Slots[size_t(AIndex)].get()
                                                                         : nullptr;
    }
    double Percent() const;
};

namespace {

int Even(double AValue) { return 2 * static_cast<int>(std::lround(AValue / 2)); }

// Names are bytes: a folder whose name is not UTF-8 is found as it is.
bool RemoveTree(const std::string& APath) {
    std::error_code ec;
    std::filesystem::remove_all(APath, ec);
    return !ec;
}

bool IsFolder(const std::string& APath) {
    std::error_code ec;
    return std::filesystem::is_directory(APath, ec);
}

bool MakeFolder(const std::string& APath) {
    std::error_code ec;
    std::filesystem::create_directories(APath, ec);
    return IsFolder(APath);
}

// Anything by that name, also a dangling link.
bool Exists(const std::string& APath) {
    struct stat st {};
    return ::lstat(APath.c_str(), &st) == 0;
}

} // namespace

bool TBatchResult::Complete() const {
    if (!Authored)
        return false;
    for (const auto& f : Files)
        if (f.Title == 0)
            return false;
    return true;
}

TPictureLayout FitPicture(double ASourceAspect, int AWidth, int AHeight, double ADiscAspect) {
    TPictureLayout l;
    l.Width = AWidth;
    l.Height = AHeight;
    if (ASourceAspect <= 0 || std::fabs(ASourceAspect / ADiscAspect - 1) < 0.02)
        return l;
    if (ASourceAspect > ADiscAspect) {
        l.Height = std::max(2, Even(AHeight * ADiscAspect / ASourceAspect));
        const int bars = AHeight - l.Height;
        l.PadTop = bars / 2 & ~1;
        l.PadBottom = bars - l.PadTop;
    } else {
        l.Width = std::max(2, Even(AWidth * ASourceAspect / ADiscAspect));
        const int bars = AWidth - l.Width;
        l.PadLeft = bars / 2 & ~1;
        l.PadRight = bars - l.PadLeft;
    }
    return l;
}

double ChooseDiscAspect(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset) {
    constexpr double Wide = 16.0 / 9.0, Standard = 4.0 / 3.0;
    // A DVD allows the wide shape for full-width frames only.
    if (APreset.Width < 704)
        return Standard;
    for (const auto& item : AItems)
        if (item.HasVideo() && item.DisplayAspect >= 1.55)
            return Wide;
    return Standard;
}

TProgressShare SequentialShare(int AIndex, int ACount) {
    if (ACount <= 0)
        return {};
    const double share = 80.0 / ACount;
    return {AIndex * share, share};
}

double SharePercent(const TProgressShare& AShare, double ADoneMs, double ALengthMs) {
    const double x = ALengthMs > 0 ? ADoneMs / ALengthMs : 0;
    return AShare.Offset + AShare.Weight * (x < 0 ? 0 : x > 1 ? 1 : x);
}

double TDvdBatch::TRunState::Percent() const {
    double percent = 0;
    for (const auto& slot : Slots)
        percent += SharePercent(slot->Share, static_cast<double>(slot->DoneMs),
                                static_cast<double>(slot->LengthMs));
    return percent;
}

int64_t EstimateBatchBytes(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset) {
    const double bytesPerMs = (APreset.VideoBitrate + APreset.AudioBitrate) / 8.0 / 1000.0;
    double total = 0;
    for (const auto& item : AItems) {
        const int64_t ms = PlausibleConvertedLengthMs(item);
        if (ms > 0)
            total += ms * bytesPerMs;
    }
    return static_cast<int64_t>(total * 2);
}

// " The most is for FILE (about N MB)." — the file to look at when the space is short.
static std::string LargestFileSentence(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset) {
    const rInputStreamInfo* largest = nullptr;
    int64_t most = 0;
    for (const auto& item : AItems) {
        const int64_t bytes = EstimateBatchBytes({item}, APreset);
        if (bytes > most) {
            most = bytes;
            largest = &item;
        }
    }
    if (!largest || AItems.size() < 2)
        return largest ? " It is all for " + largest->FileName + "." : "";
    return " The most is for " + largest->FileName + " (about " + std::to_string(most / 1048576) + " MB).";
}

TDvdBatch::TDvdBatch(std::string AProgramFolder)
    : FProgramFolder(std::move(AProgramFolder)), FConverter(std::make_unique<TFFmpegConverter>()),
      FRun(std::make_shared<TRunState>()) {
    FRun->Batch = this;
    std::shared_ptr<TRunState> run = FRun;
    FConverter->OnProgress = [run](int32_t AIndex, int32_t, int32_t AFPS, int32_t ACurrentDuration,
                                   float, float, int64_t, int32_t ATotalOutputDuration) {
        // A worker thread: compute here, show on the main thread without waiting for it.
        TTaskSlot* slot = run->Slot(AIndex);
        if (!slot)
            return;
        slot->DoneMs = ACurrentDuration;
        if (slot->LengthMs <= 0 && ATotalOutputDuration > 0)
            slot->LengthMs = ATotalOutputDuration;
        TBatchProgress p;
        p.FileIndex = slot->File;
        p.FileCount = run->FileCount;
        p.FPS = AFPS;
        p.FileDoneMs = ACurrentDuration;
        p.Percent = run->Percent();
        p.Position = static_cast<int>(p.Percent);
        p.Label = ProgressLabel(p.Percent);
        TMainThread::Queue([run, p] {
            if (run->Batch)
                run->Batch->Report(p);
        });
    };
    FConverter->OnTerminate = [run](int32_t AIndex, bool AFinished, bool AException,
                                    const std::string& AMessage) {
        if (AIndex == -1) {
            run->AllDone = true;
            TMainThread::Wake();
            return;
        }
        std::lock_guard<std::mutex> guard(run->Lock);
        if (TTaskSlot* slot = run->Slot(AIndex)) {
            slot->Finished = AFinished;
            slot->Exception = AException;
            slot->Message = AMessage;
        }
    };
}

TDvdBatch::~TDvdBatch() { FRun->Batch = nullptr; }

bool TDvdBatch::LoadLibraries() {
    if (FConverter->LoadLibraries(FProgramFolder + "Dll/"))
        return true;
    FLastError = FConverter->LastError();
    return false;
}

double TDvdBatch::ConversionSpan() const { return TitleMenu ? 75 : 80; }

void TDvdBatch::SetUiState(TBatchUiState AState) {
    FUiState = AState;
    if (AState != bsConverting)
        FPaused = false;
    if (OnUiState)
        OnUiState(AState);
}

void TDvdBatch::Report(const TBatchProgress& AProgress) {
    // A late report of a file that has ended would move the bar back.
    if (FUiState != bsConverting || (FCurrentFile >= 0 && AProgress.FileIndex != FCurrentFile))
        return;
    // Files converted side by side are announced with their first report.
    if (FCurrentFile < 0 && static_cast<size_t>(AProgress.FileIndex) < FAnnounced.size() &&
        !FAnnounced[size_t(AProgress.FileIndex)]) {
        FAnnounced[size_t(AProgress.FileIndex)] = true;
        if (OnFileStart)
            OnFileStart(AProgress.FileIndex, (*FItems)[size_t(AProgress.FileIndex)]);
    }
    if (!OnProgress)
        return;
    TBatchProgress p = AProgress;
    p.EtaSeconds = FEta.Report(p.Percent, false, TBatchEta::TClock::now());
    OnProgress(p);
}

void TDvdBatch::FillOptions(const rInputStreamInfo& AItem, double ADiscAspect,
                            TOutputOptions& AOutput) const {
    const TDvdPreset& preset = Picture();
    TOutputOptions& o = AOutput;
    InitOutputOptions(o);
    o.DurationMs = AItem.TrimLength;
    o.Info.Comment = AItem.Comment;
    o.FileExt = ".mpg";
    o.TargetType = 3;
    o.VideoCodec = "mpeg2video";
    o.NoSubtitle = true;
    o.NormType = preset.NormType;
    o.DefaultNorm = preset.DefaultNorm;
    o.FrameRate = preset.FrameRate;
    o.AudioSampleRate = preset.AudioSampleRate;
    // The first sound track; AddSoundStreams adds the others.
    const TSoundPlan sound = SoundPlan(AItem);
    o.AudioCodec = sound.Encoder;
    o.AudioChannels = sound.Tracks.front().Channels;
    o.AudioBitrate = sound.Tracks.front().Bitrate;
    o.VideoBitrate = sound.VideoBitrate;
    if (sound.VideoMaxRate < DvdVideoMaxRate)
        o.VideoMaxRate = sound.VideoMaxRate;
    // Every title in the disc's shape, each picture in its own inside it.
    const TPictureLayout l = FitPicture(AItem.DisplayAspect, preset.Width, preset.Height, ADiscAspect);
    o.FrameSize = std::to_string(l.Width) + "x" + std::to_string(l.Height);
    o.FrameAspectRatio = ADiscAspect > 1.5 ? "16:9" : "4:3";
    auto pad = [](int32_t& AField, int AValue) {
        if (AValue > 0)
            AField = AValue;
    };
    pad(o.PadTop, l.PadTop);
    pad(o.PadBottom, l.PadBottom);
    pad(o.PadLeft, l.PadLeft);
    pad(o.PadRight, l.PadRight);
    // Audio follows the picture's clock: sources whose audio starts late, has gaps or
    // drifts get silence or lose samples so that the stream has neither gaps nor backward
    // steps (dvdauthor warns about both).
    o.AudioSync = 1;
    o.ExtraOptions = "threads=" + std::to_string(Threads) + "\n";
    for (const auto& [name, value] : DvdEncoderOptions(preset))
        o.ExtraOptions += name + "=" + value + "\n";
    o.ExtraOptions += ExtraOptions;
    // Each chapter starts on a key frame of a closed group of pictures.
    const std::string keyFrames = ChapterKeyFrames(ChapterStartsMs(AItem.ConvertedLengthMs(), ChapterMinutes));
    if (!keyFrames.empty())
        o.ExtraOptions += "\nforce_key_frames=" + keyFrames;
    if (FFit.Pass > 0) {
        // A fitted disc: the rate that fills it, in two passes with the first's log.
        o.VideoMaxRate = static_cast<int32_t>(VideoRateCap({0, 0, 0, SoundBitrate(sound), 0}));
        o.VideoBitrate = static_cast<int32_t>(std::min<int64_t>(FFit.Rate, o.VideoMaxRate));
        o.ExtraOptions += "\npass=" + std::to_string(FFit.Pass) + "\npasslogfile=" + FFit.Log;
    }
}

bool TDvdBatch::CheckBeforeStart(const std::vector<rInputStreamInfo>& AItems, TBatchResult& AResult) {
    if (PresetIndex < 0 || PresetIndex >= static_cast<int>(DvdPresets().size())) {
        AResult.Error = FormatC("There is no preset %d.", PresetIndex);
        return false;
    }
    const TDvdPreset& preset = DvdPresets()[static_cast<size_t>(PresetIndex)];
    if (AItems.empty()) {
        AResult.Error = "There are no files to convert.";
        return false;
    }
    if (AItems.size() > static_cast<size_t>(MaxDvdTitles)) {
        AResult.Error = FormatC("A DVD holds at most %d titles, and the list has %zu files. Remove "
                               "some and put them on another disc.",
                               MaxDvdTitles, AItems.size());
        return false;
    }
    if (OutPath.empty()) {
        AResult.Error = "No output folder is set.";
        return false;
    }
    if (!PlanDisc(AItems, AResult))
        return false;
    const std::string out = IncludeTrailingSlash(OutPath);
    if (!MakeFolder(out)) {
        AResult.Error = "Cannot create the output folder " + out + ": " + CreateFolderProblem(out) +
                        ". Choose another output folder.";
        return false;
    }
    if (IsFolder(out + "VIDEO_TS") && !Overwrite && Disc.ImageFile.empty()) {
        AResult.Error = "The output folder " + out +
                        " already holds a DVD (VIDEO_TS). Choose another folder, or allow the "
                        "existing disc to be replaced.";
        return false;
    }
    // What killed batches left here goes before the space is counted.
    AResult.Notes = RemoveStaleWorkFolders(out);
    struct statvfs fs {};
    if (::statvfs(out.c_str(), &fs) == 0) {
        const double freeBytes = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
        const double needed = static_cast<double>(EstimateBatchBytes(AItems, preset));
        if (needed > freeBytes) {
            AResult.Error = FormatC("Not enough free space in %s: the disc needs about %.0f MB while "
                                   "it is being made, and %.0f MB are free.",
                                   out.c_str(), needed / 1048576, freeBytes / 1048576) +
                            LargestFileSentence(AItems, preset);
            return false;
        }
    }
    return MakeWorkFolder(out, FWorkFolder, AResult.Error);
}

int32_t TDvdBatch::AddFileTask(int AIndex, double ADiscAspect, const TProgressShare& AShare) {
    TFFmpegConverter& c = *FConverter;
    const rInputStreamInfo& item = (*FItems)[size_t(AIndex)];
    auto slot = std::make_unique<TTaskSlot>();
    slot->File = AIndex;
    slot->Share = AShare;
    slot->LengthMs = item.ConvertedLengthMs();
    // The file may have been replaced since it was added; the trim is checked before its
    // start is narrowed to 32 bits.
    for (const std::string& problem : {NotARegularFile(item.FileName), TrimProblem(item)})
        if (!problem.empty()) {
            FAddError = problem;
            return -1;
        }
    TInputOptions input;
    InitInputOptions(input);
    input.StartTimeMs = static_cast<int32_t>(item.TrimStart);
    input.ExtraOptions = "threads=" + std::to_string(Threads);
    const int32_t task = c.AddTask(item.FileName, &input);
    if (task < 0) {
        FAddError = c.LastError();
        return -1;
    }
    // Some players and authoring checks refuse a title without sound: a silent file gets
    // a track of silence as long as its picture.
    if (!item.HasAudio && !AddSilenceInput(c.Tasks().Items(task), slot->SetupError))
        slot->SetupError = "Cannot add a silent sound track: " + slot->SetupError;
    TOutputOptions output;
    FillOptions(item, ADiscAspect, output);
    c.SetThreadPriority(tpNormal);
    // A task without an output still runs, and fails at once.
    if (slot->SetupError.empty() && !c.SetTaskOutput(task, StreamName(AIndex), &output))
        slot->SetupError = c.LastError();
    if (slot->SetupError.empty())
        AddTitleStreams(c.Tasks().Items(task), item, slot->SetupError);
    if (static_cast<size_t>(task) != FRun->Slots.size())
        throw std::logic_error("task list and batch out of step");
    FRun->Slots.push_back(std::move(slot));
    return task;
}

TSoundPlan TDvdBatch::SoundPlan(const rInputStreamInfo& AItem) const {
    const TDvdPreset& preset = Picture();
    return PlanSound(AItem, preset, ChosenSoundFormat(Tracks, preset), Tracks.AllSoundTracks);
}

void TDvdBatch::AddTitleStreams(TFFmpeg& ATask, const rInputStreamInfo& AItem, std::string& AError) const {
    const TSoundPlan sound = SoundPlan(AItem);
    try {
        AddSoundStreams(ATask, sound, AItem.VideoStream);
    } catch (const std::exception& e) {
        AError = AItem.FileName + ": " + e.what();
    }
}

std::string TDvdBatch::StreamName(int AIndex) const {
    // A first pass only writes its log; its stream is thrown away.
    return FWorkFolder + (FFit.Pass == 1 ? "Pass1-" : "Movies") + std::to_string(AIndex) + ".mpg";
}

void TDvdBatch::RunTasks(int32_t AThreadCount) {
    // A Stop or Pause served while the last run was cleared away (or a file that ended
    // while paused) found no task to reach; every run starts here, so it holds for all.
    if (FStopped)
        return;
    FRun->AllDone = false;
    if (FPaused)
        FConverter->PauseTasks(); // the run's tasks start paused
    FConverter->StartTasks(AThreadCount);
    TMainThread::WaitFor([this] { return FRun->AllDone.load(); });
}

bool TDvdBatch::TaskSucceeded(const TTaskSlot& ASlot, std::string& AError) {
    {
        std::lock_guard<std::mutex> guard(FRun->Lock);
        if (!ASlot.SetupError.empty()) {
            AError = ASlot.SetupError;
            return false;
        }
        if (!ASlot.Finished || ASlot.Exception) {
            AError = !ASlot.Message.empty() ? ASlot.Message : "The conversion did not finish.";
            return false;
        }
    }
    // Read back: a stream without pictures from its start would stop the authoring of all.
    if (FileSize(StreamName(ASlot.File)) <= 0) {
        AError = "The conversion wrote no stream.";
        return false;
    }
    AError = DvdStreamProblem(StreamName(ASlot.File), PlausibleConvertedLengthMs((*FItems)[size_t(ASlot.File)]));
    return AError.empty();
}

void TDvdBatch::PrepareRun() {
    FConverter->ClearTasks();
    FRun->Slots.clear();
}

bool TDvdBatch::ConvertFile(int AIndex, double ADiscAspect, std::string& AError) {
    if (FFit.Active)
        return ConvertTwoPasses(AIndex, ADiscAspect, AError);
    return RunFile(AIndex, ADiscAspect, SequentialShare(AIndex, FRun->FileCount), AError);
}

bool TDvdBatch::RunFile(int AIndex, double ADiscAspect, const TProgressShare& AShare, std::string& AError) {
    PrepareRun();
    TProgressShare share = AShare;
    share.Offset *= ConversionSpan() / 80;
    share.Weight *= ConversionSpan() / 80;
    if (AddFileTask(AIndex, ADiscAspect, share) < 0) {
        AError = FAddError;
        return false;
    }
    FCurrentFile = AIndex;
    RunTasks(1);
    return !FStopped && TaskSucceeded(*FRun->Slots[0], AError);
}

void TDvdBatch::ReportMenuStep(int ADone, int ATotal) {
    TBatchProgress p;
    p.Percent = ConversionSpan() + (80 - ConversionSpan()) * (ATotal > 0 ? double(ADone) / ATotal : 1);
    p.Position = static_cast<int>(p.Percent);
    p.Label = ProgressLabel(p.Percent);
    p.FileCount = FRun->FileCount;
    p.Stage = "title menu";
    if (OnProgress)
        OnProgress(p);
}

bool TDvdBatch::RunHelperTask(const std::string& AInput, TInputOptions& AIn, const std::string& ASecondInput,
                              const std::string& AOutput, TOutputOptions& AOut, std::string& AError) {
    PrepareRun();
    TFFmpegConverter& c = *FConverter;
    const int32_t task = c.AddTask(AInput, &AIn);
    if (task < 0) {
        AError = c.LastError();
        return false;
    }
    FRun->Slots.push_back(std::make_unique<TTaskSlot>());
    TTaskSlot& s = *FRun->Slots.back();
    if (!ASecondInput.empty() && !c.Tasks().Items(task).OpenInputFile(ASecondInput)) {
        AError = c.Tasks().Items(task).LastError();
        return false;
    }
    if (!c.SetTaskOutput(task, AOutput, &AOut)) {
        AError = c.LastError();
        return false;
    }
    FCurrentFile = -1;
    RunTasks(1);
    if (FStopped)
        return false;
    std::lock_guard<std::mutex> guard(FRun->Lock);
    if (!s.Finished || s.Exception || FileSize(AOutput) <= 0) {
        AError = !s.Message.empty() ? s.Message : "the engine wrote nothing";
        return false;
    }
    return true;
}

void TDvdBatch::ConvertTogether(double ADiscAspect, TBatchResult& AResult) {
    PrepareRun();
    const auto& items = *FItems;
    double total = 0;
    for (const auto& item : items)
        if (item.HasVideo())
            total += static_cast<double>(std::max<int64_t>(item.ConvertedLengthMs(), 1));
    FCurrentFile = -1;
    FAnnounced.assign(items.size(), false);
    for (size_t i = 0; i < items.size(); ++i) {
        if (!items[i].HasVideo())
            continue;
        // Each file's share of the bar follows its length.
        const double weight =
            ConversionSpan() * static_cast<double>(std::max<int64_t>(items[i].ConvertedLengthMs(), 1)) / total;
        if (AddFileTask(static_cast<int>(i), ADiscAspect, {0, weight}) < 0)
            AResult.Files[i].Error = FAddError;
    }
    if (!FRun->Slots.empty())
        RunTasks(Jobs);
}

bool TDvdBatch::PlaceDisc(const std::string& ADisc, std::string& AError) {
    const std::string out = IncludeTrailingSlash(OutPath);
    const std::string taken = "While the batch ran, a DVD (VIDEO_TS) appeared in the output folder " +
                              out + ". It was left as it is, and the new disc was not moved in. "
                              "Choose another folder, or allow the existing disc to be replaced.";
    if (!Overwrite && Exists(out + "VIDEO_TS")) {
        AError = taken;
        return false;
    }
    struct TMove {
        std::string Folder, New, To, Old;
        bool Aside = false; // the old one is in Old
        bool In = false;    // the new one is in To
    };
    std::vector<TMove> moves;
    for (const char* folder : {"VIDEO_TS", "AUDIO_TS"})
        if (IsFolder(ADisc + folder))
            moves.push_back({folder, ADisc + folder, out + folder, FWorkFolder + "old-" + folder});
    // Back to how the output folder was; what cannot go back is named and kept.
    auto undo = [&] {
        bool kept = false;
        for (auto m = moves.rbegin(); m != moves.rend(); ++m) {
            const bool free = !m->In || std::rename(m->To.c_str(), m->New.c_str()) == 0;
            if (m->Aside && (!free || !MoveNoReplace(m->Old, m->To))) {
                AError += " The old " + m->Folder + " is kept in " + m->Old + ".";
                kept = true;
            }
        }
        if (kept)
            FWorkFolder.clear(); // the working folder now holds the user's disc: not removed
    };
    for (TMove& m : moves) {
        if (Exists(m.To)) {
            // dvdauthor's AUDIO_TS is empty: a user's one is kept unless the old disc goes.
            if (!Overwrite)
                continue;
            if (std::rename(m.To.c_str(), m.Old.c_str()) != 0) {
                AError = "Cannot move the old " + m.To + " aside: " + std::strerror(errno) + ".";
                undo();
                return false;
            }
            m.Aside = true;
        }
        if (!MoveNoReplace(m.New, m.To)) {
            const int error = errno;
            if ((error == EEXIST || error == ENOTEMPTY) && !Overwrite && m.Folder == "AUDIO_TS")
                continue; // one appeared just now: kept as well
            AError = (error == EEXIST || error == ENOTEMPTY) && !Overwrite
                         ? taken
                         : "Cannot move the authored " + m.Folder + " into " + out + ": " +
                               std::strerror(error) + ".";
            undo();
            return false;
        }
        m.In = true;
    }
    return true;
}

bool TDvdBatch::Author(const std::vector<std::string>& AStreams, TBatchResult& AResult) {
    const TDvdPreset& preset = DvdPresets()[static_cast<size_t>(PresetIndex)];
    const std::string disc = FWorkFolder + "disc/";
    TDvdAuthoring authoring(FProgramFolder);
    // By title: the file it comes from.
    std::vector<size_t> titleFiles(AStreams.size(), 0);
    for (size_t i = 0; i < AResult.Files.size(); ++i)
        if (AResult.Files[i].Title > 0 && size_t(AResult.Files[i].Title) <= titleFiles.size())
            titleFiles[size_t(AResult.Files[i].Title - 1)] = i;
    TMenuLayout menu;
    if (TitleMenu) {
        std::string error;
        if (!MakeTitleMenu(AStreams, titleFiles, menu, authoring.MenuPages, error)) {
            if (!FStopped)
                AResult.Error = error;
            return false;
        }
        authoring.Menu = &menu;
        authoring.MenuNorm = preset.NormType == 1 ? "pal" : "ntsc";
    }
    authoring.OnProgress = [this, &authoring](int, const std::string&) {
        TBatchProgress p;
        p.Percent = authoring.LastPercent() > 100 ? 100 : authoring.LastPercent();
        // An image takes the last tenth.
        if (!Disc.ImageFile.empty())
            p.Percent = 80 + (p.Percent - 80) / 2;
        p.Position = static_cast<int>(p.Percent);
        p.Label = ProgressLabel(p.Percent);
        p.FileCount = FRun->FileCount;
        p.EtaSeconds = FEta.Report(p.Percent, true, TBatchEta::TClock::now());
        if (OnProgress)
            OnProgress(p);
    };
    authoring.OnLine = OnAuthoringLine;
    std::vector<TSoundPlan> sound;
    for (const size_t file : titleFiles)
        sound.push_back(SoundPlan((*FItems)[file]));
    authoring.Streams = DiscStreams(sound, SoundFormatName(ChosenSoundFormat(Tracks, preset)));
    for (const size_t file : titleFiles)
        authoring.Chapters.push_back(
            ChapterAttribute(ChapterStartsMs((*FItems)[file].ConvertedLengthMs(), ChapterMinutes)));
    std::string error;
    bool ok = authoring.WriteAuthoringFile(FWorkFolder, AStreams, error, disc) &&
              authoring.WriteBatchFile(FWorkFolder, error);
    if (ok) {
        // Ctrl-C or Stop while dvdauthor runs ends it.
        FCancelAuthoring = [&authoring] { authoring.Cancel(); };
        ok = authoring.RunAuthoring(FWorkFolder + "dvd.sh", disc, preset.NormType == 1 ? "PAL" : "NTSC",
                                    error);
        FCancelAuthoring = nullptr;
        FAuthoringStream = ok ? std::string() : authoring.LastStream();
    }
    if (!ok) {
        if (FStopped)
            return false;
        AResult.Error = error;
        return false;
    }
    if (!Disc.ImageFile.empty() ? !WriteImage(disc, AResult) : !PlaceDisc(disc, AResult.Error))
        return false;
    TBatchProgress done;
    done.Position = 100;
    done.Percent = 100;
    done.Label = ProgressLabel(100);
    done.FileCount = FRun->FileCount;
    done.EtaSeconds = 0;
    if (OnProgress)
        OnProgress(done);
    return true;
}

TBatchResult TDvdBatch::Convert(const std::vector<rInputStreamInfo>& AItems) {
    TBatchResult result;
    FStopped = false;
    FPaused = false;
    FWorkFolder.clear();
    FFit = {};
    for (const auto& item : AItems)
        result.Files.push_back({item.FileName, 0, {}});
    if (!CheckBeforeStart(AItems, result))
        return result;
    FEta.Start(TBatchEta::TClock::now());

    FRun->FileCount = static_cast<int>(AItems.size());
    FItems = &AItems;
    const double aspect = ChooseDiscAspect(AItems, Picture());
    FDiscAspect = aspect;
    // What the sound of a file takes from its picture, or leaves off, the user hears.
    for (const auto& item : AItems) {
        const TSoundPlan sound = SoundPlan(item);
        if (item.HasVideo() && !sound.Note.empty())
            result.Notes.push_back(sound.Note);
    }
    std::vector<std::string> produced;
    const char* const noPicture = "It has no video stream, and a DVD title needs a picture.";
    auto fileEnded = [&](size_t AIndex, bool AOk, const std::string& AError) {
        TBatchFile& file = result.Files[AIndex];
        if (AOk) {
            produced.push_back(StreamName(static_cast<int>(AIndex)));
            file.Title = static_cast<int>(produced.size());
        } else {
            std::remove(StreamName(static_cast<int>(AIndex)).c_str());
            file.Error = AError;
        }
        if (OnFileEnd)
            OnFileEnd(static_cast<int>(AIndex), file);
    };
    try {
        if (Jobs > 1 && !FFit.Active) {
            SetUiState(bsConverting);
            ConvertTogether(aspect, result);
            // The streams go onto the disc in list order, whatever order they ended in.
            size_t slot = 0;
            for (size_t i = 0; i < AItems.size() && !FStopped; ++i) {
                std::string error = !AItems[i].HasVideo() ? noPicture : result.Files[i].Error;
                bool ok = false;
                if (slot < FRun->Slots.size() && FRun->Slots[slot]->File == static_cast<int>(i))
                    ok = TaskSucceeded(*FRun->Slots[slot++], error);
                fileEnded(i, ok, error);
            }
        } else {
            for (size_t i = 0; i < AItems.size() && !FStopped; ++i) {
                const int index = static_cast<int>(i);
                SetUiState(bsConverting);
                if (OnFileStart)
                    OnFileStart(index, AItems[i]);
                std::string error;
                bool ok = false;
                if (!AItems[i].HasVideo())
                    error = noPicture;
                else
                    ok = ConvertFile(index, aspect, error);
                if (FStopped)
                    break;
                fileEnded(i, ok, error);
            }
        }
        FCurrentFile = -1;
        if (!FStopped && produced.empty()) {
            result.Error = "No file could be converted, so there is nothing to put on a disc.";
        } else if (!FStopped && (!FFit.Active || KeepWithinDisc(aspect, result))) {
            SetUiState(bsAuthoring);
            result.Authored = AuthorLeavingOffBadStreams(produced, result);
        }
    } catch (const std::exception& e) {
        result.Error = e.what();
    }
    PrepareRun();
    FCurrentFile = -1;
    // Late progress hand-overs find no running file and are dropped.
    TMainThread::ProcessMessages();
    FItems = nullptr;
    FFit = {};
    result.Stopped = FStopped;
    if (!result.Authored)
        for (auto& f : result.Files)
            f.Title = 0;
    if (!FWorkFolder.empty())
        RemoveTree(FWorkFolder);
    FWorkFolder.clear();
    SetUiState(bsIdle);
    return result;
}

void TDvdBatch::Stop() {
    if (FStopped)
        return;
    if (FUiState == bsConverting) {
        FStopped = true;
        FConverter->StopTasks(true);
        SetUiState(bsIdle);
    } else if (FUiState == bsAuthoring && FCancelAuthoring) {
        FStopped = true;
        FCancelAuthoring();
    }
}

void TDvdBatch::Pause() {
    if (FUiState != bsConverting || FPaused)
        return;
    FConverter->PauseTasks();
    FPaused = true;
    FEta.Pause(TBatchEta::TClock::now());
}

void TDvdBatch::Resume() {
    if (!FPaused)
        return;
    FConverter->ResumeTasks();
    FPaused = false;
    FEta.Resume(TBatchEta::TClock::now());
}

} // namespace qm
