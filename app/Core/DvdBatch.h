// The DVD batch: every file of the input list converted, one after another, into an MPEG-2
// program stream with one of the eight presets, then the streams authored into a
// DVD-Video folder. A window or the command-line program drives it from the main thread.
//
// What a batch promises:
// - nothing of the user's is touched: the intermediate streams and the authoring files
//   live in a working folder of the batch's own inside the output folder, the disc is
//   authored there and moved into place only when the authoring succeeded, and an
//   existing VIDEO_TS (also one that appeared while the batch ran) or AUDIO_TS is replaced
//   only when Overwrite says so; a replaced disc comes back when the new one cannot go in;
// - a file that cannot be converted is reported with its name and the engine's message
//   and left off the disc; the batch goes on with the other files, and the result lists
//   exactly which files became which titles;
// - the checks that can fail up front (no files, more than 99, no video, the output folder,
//   an existing disc, free space) fail before any conversion starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Core/BatchEta.h"
#include "Core/DiscChapters.h"
#include "Core/BatchPlan.h"
#include "Core/DvdPresets.h"
#include "Core/InputList.h"
#include "Core/SoundTracks.h"

namespace qm {

class TFFmpeg;
class TFFmpegConverter;
struct TInputOptions;
struct TMenuLayout;
struct TOutputOptions;
struct TTaskSlot;

enum TBatchUiState { bsConverting = 0, bsIdle = 1, bsAuthoring = 2 };

struct TBatchProgress {
    int Position = 0;   // 0..100, as the progress bar shows it
    double Percent = 0; // the same with decimals
    std::string Label;  // "Progress: 12.34%"
    int FileIndex = -1; // the file being converted; -1 while authoring
    int FileCount = 0;
    int32_t FPS = 0;           // frames per second of the running conversion
    int64_t FileDoneMs = 0;    // output time of the running conversion
    double EtaSeconds = -1;    // time left, paused time not counted; negative while unknown
    std::string Stage;         // "title menu" while the menu is made; "" otherwise
};

struct TBatchFile {
    std::string FileName;
    int Title = 0;     // its title on the disc, from 1; 0 when it is not on the disc
    std::string Error; // why it is not on the disc
};

struct TBatchResult {
    bool Authored = false; // the disc is in OutPath + "VIDEO_TS/"
    bool Stopped = false;  // the user stopped the batch
    std::string Error;     // why the batch failed as a whole; "" when authored or stopped
    std::vector<TBatchFile> Files;
    std::vector<std::string> Notes; // what the batch cleared away or found on its way
    // Every file of the batch is on the disc.
    bool Complete() const;
};

// How a picture of shape ASourceAspect (width / height as shown) fills a frame of
// AWidth x AHeight shown at ADiscAspect: scaled to Width x Height and padded with black
// bars so that its shape is kept. Sizes and bars are even.
struct TPictureLayout {
    int Width = 0;
    int Height = 0;
    int PadTop = 0;
    int PadBottom = 0;
    int PadLeft = 0;
    int PadRight = 0;
};
TPictureLayout FitPicture(double ASourceAspect, int AWidth, int AHeight, double ADiscAspect);
// 16:9 unless every picture is narrower than about 1.55:1; the long-play frames are 4:3 only.
double ChooseDiscAspect(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset);
// What one conversion moves the bar by in the conversion phase (0..80): from Offset when it
// starts to Offset + Weight at its end.
struct TProgressShare {
    double Offset = 0;
    double Weight = 0;
};
// File AIndex of ACount converted one after another: equal shares in list order.
TProgressShare SequentialShare(int AIndex, int ACount);
// Where the bar is within AShare after ADoneMs of ALengthMs: at its start while the length
// is unknown, never past its end.
double SharePercent(const TProgressShare& AShare, double ADoneMs, double ALengthMs);
// Bytes the batch needs in the output folder: each file's converted length at the preset's
// rates, twice (stream and disc).
int64_t EstimateBatchBytes(const std::vector<rInputStreamInfo>& AItems, const TDvdPreset& APreset);

inline constexpr int MaxDvdTitles = 99;

class TDvdBatch {
public:
    // AProgramFolder: where Dll/ and Data/ lie (with a trailing '/').
    explicit TDvdBatch(std::string AProgramFolder);
    ~TDvdBatch();
    TDvdBatch(const TDvdBatch&) = delete;
    TDvdBatch& operator=(const TDvdBatch&) = delete;

    // The converter's libraries from the program folder's Dll/ or the system.
    bool LoadLibraries();
    const std::string& LastError() const { return FLastError; }
    TFFmpegConverter& Converter() { return *FConverter; }

    // Fills the option records of file AIndex as the batch converts it.
    void FillOptions(const rInputStreamInfo& AItem, double ADiscAspect, TOutputOptions& AOutput) const;

    // Settings of the next Convert.
    std::string OutPath; // with or without a trailing '/'
    int PresetIndex = DefaultPresetIndex;
    bool Overwrite = false; // replace an existing VIDEO_TS in OutPath
    std::string ExtraOptions; // name=value lines for every file's output
    int Threads = 0;          // codec threads per conversion; 0 one per processor
    // Files converted at the same time. 1: one after another, each as its own run of the
    // converter; more: every file a task of one run, the bar's share of each by its length.
    // A fitted disc converts one after another.
    int Jobs = 1;
    // A chapter mark every this many minutes of each title; 0 for none.
    double ChapterMinutes = DefaultChapterMinutes;
    // A title menu: a button per title, "Play all", and back to the menu after a title.
    bool TitleMenu = false;
    // The disc's size, fitting the video to it, folder or image. A batch that does not fit
    // at fixed rates, or whose fitted rate is too low, fails before any conversion starts.
    TDiscSettings Disc;
    // The sound format and which sound tracks of each file go onto the disc.
    TTrackChoices Tracks;

    // Runs the whole batch on the calling (main) thread, serving its hand-overs; Stop,
    // Pause and Resume are called from handlers run meanwhile.
    TBatchResult Convert(const std::vector<rInputStreamInfo>& AItems);
    void Stop();
    void Pause();
    void Resume();
    bool Paused() const { return FPaused; }
    TBatchUiState UiState() const { return FUiState; }
    // The Pause button's caption: "Pause" while running, "Resume" while paused.
    const char* PauseCaption() const { return FPaused ? "Resume" : "Pause"; }

    // All on the main thread.
    std::function<void(TBatchUiState)> OnUiState;
    std::function<void(const TBatchProgress&)> OnProgress;
    std::function<void(int AIndex, const rInputStreamInfo& AItem)> OnFileStart;
    std::function<void(int AIndex, const TBatchFile& AFile)> OnFileEnd;
    // What dvdauthor prints, line by line.
    std::function<void(const std::string& ALine)> OnAuthoringLine;

private:
    struct TRunState;
    void SetUiState(TBatchUiState AState);
    bool CheckBeforeStart(const std::vector<rInputStreamInfo>& AItems, TBatchResult& AResult);
    // The task of file AIndex into the converter's list (it still runs, to fail, when its
    // output could not be set); -1 with FAddError when the file cannot be opened.
    int32_t AddFileTask(int AIndex, double ADiscAspect, const TProgressShare& AShare);
    std::string StreamName(int AIndex) const;
    TSoundPlan SoundPlan(const rInputStreamInfo& AItem) const;
    // The title's further sound tracks (and its streams' sources) into ATask's output.
    void AddTitleStreams(TFFmpeg& ATask, const rInputStreamInfo& AItem, std::string& AError) const;
    void PrepareRun();
    void RunTasks(int32_t AThreadCount);
    bool TaskSucceeded(const TTaskSlot& ASlot, std::string& AError);
    bool ConvertFile(int AIndex, double ADiscAspect, std::string& AError);
    // One run of the converter over file AIndex, moving the bar within AShare.
    bool RunFile(int AIndex, double ADiscAspect, const TProgressShare& AShare, std::string& AError);
    void ConvertTogether(double ADiscAspect, TBatchResult& AResult);
    bool Author(const std::vector<std::string>& AStreams, TBatchResult& AResult);
    // Author, and when dvdauthor stops on one stream of several, that file is left off with
    // its message and the others are authored again without it.
    bool AuthorLeavingOffBadStreams(std::vector<std::string> AStreams, TBatchResult& AResult);
    // The share of the bar the conversions take: 0 to this; the menu takes the rest to 80.
    double ConversionSpan() const;
    // One engine task alone: AInput (with ASecondInput, when given) into AOutput; false
    // with the reason.
    bool RunHelperTask(const std::string& AInput, TInputOptions& AIn, const std::string& ASecondInput,
                       const std::string& AOutput, TOutputOptions& AOut, std::string& AError);
    // The title menu (DvdBatchMenu.cpp).
    bool MakeTitleMenu(const std::vector<std::string>& AStreams, const std::vector<size_t>& ATitleFiles,
                       TMenuLayout& ALayout, std::vector<std::string>& APageStreams, std::string& AError);
    bool TakeStill(const std::string& AStream, int64_t ALengthMs, const std::string& APicture, std::string& AError);
    bool EncodeMenuPage(const std::string& APicture, const std::string& ASilence, const std::string& AStream,
                        bool AWide, std::string& AError);
    void ReportMenuStep(int ADone, int ATotal);
    // Moves the authored VIDEO_TS and AUDIO_TS from ADisc into the output folder; false with
    // the reason, the output folder as it was.
    bool PlaceDisc(const std::string& ADisc, std::string& AError);
    void Report(const TBatchProgress& AProgress);
    // The disc (DvdBatchDisc.cpp): the plan checked up front, the fitted files converted in
    // two passes, the total kept within the disc, the image written.
    bool PlanDisc(const std::vector<rInputStreamInfo>& AItems, TBatchResult& AResult);
    const TDvdPreset& Picture() const;
    bool ConvertTwoPasses(int AIndex, double ADiscAspect, std::string& AError);
    bool RunPass(int AIndex, int APass, int64_t ARate, double ADiscAspect, const TProgressShare& AShare,
                 std::string& AError);
    int64_t NextFittedRate(int AIndex) const;
    bool KeepWithinDisc(double ADiscAspect, TBatchResult& AResult);
    bool WriteImage(const std::string& ADisc, TBatchResult& AResult);

    std::string FProgramFolder;
    std::string FLastError;
    std::unique_ptr<TFFmpegConverter> FConverter;
    TBatchUiState FUiState = bsIdle;
    bool FPaused = false;
    TBatchEta FEta;
    bool FStopped = false;
    std::string FWorkFolder;
    const std::vector<rInputStreamInfo>* FItems = nullptr; // during Convert
    int FCurrentFile = -1;        // one after another: the file converting; -1 side by side
    std::vector<bool> FAnnounced; // side by side: OnFileStart called
    double FDiscAspect = 4.0 / 3.0; // of the batch running
    std::string FAddError;
    std::function<void()> FCancelAuthoring; // while dvdauthor runs
    std::string FAuthoringStream;            // the stream dvdauthor failed on, as it named it
    // Shared with the converter's threads.
    std::shared_ptr<TRunState> FRun;
    // A fitted disc, by file index.
    struct TFitState {
        bool Active = false;
        TDvdPreset Picture{};          // the preset's, or at half size
        int64_t Budget = 0;            // bytes the titles' streams may take
        std::vector<TPlanTitle> Titles;
        std::vector<int64_t> Rates;    // the video rate each was made at
        std::vector<int64_t> Bytes;    // its stream's size; 0 until made
        int Pass = 0;                  // of the running conversion: 1, 2; 0 one pass
        int64_t Rate = 0;              // video rate of the running conversion
        std::string Log;               // the two passes' log, without "-N.log"
    } FFit;
};

} // namespace qm
