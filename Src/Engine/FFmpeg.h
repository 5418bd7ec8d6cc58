// The conversion engine: one transcode job, configured by named options, run on the
// caller's thread or on a worker thread, reporting through notification slots.
#pragma once

#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <array>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "Engine/BitmapConversion.h"
#include "Engine/EncodePipeline.h"
#include "Engine/EngineThreads.h"
#include "Engine/FFmpegException.h"
#include "Engine/FrameHooks.h"
#include "Engine/OptionSet.h"
#include "Engine/StreamCut.h"
#include "Loader/MediaEntries.h"
#include "Loader/MediaPtr.h"
#include "Platform/Bitmap.h"

namespace qm {

constexpr int MaxFiles = 20;
constexpr int MaxStreams = 20;

struct TFileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

enum THookAction : uint8_t { haContinue, haIgnore, haStop };

// Bit 0 shows frames in the previewer, bit 1 delivers them as bitmaps.
enum TPreviewFlag : uint8_t { pfPreview = 1, pfPreviewBitmap = 2 };
using TPreviewFlags = uint8_t;

struct TInputStreamState;
struct TOutputStreamState;
struct TInputFile;
struct TOutputFile;
struct TOutputStreamSetup;
struct TTranscodeState;
struct TInputFileState;
class TCustomFFmpeg;
class TOptionContexts;
class TPreviewer;

// What the audio stage does with a frame's samples to keep them on their clock.
struct TAudioSync {
    int64_t Silence = 0; // samples of silence before them
    int64_t Drop = 0;    // samples dropped from their start
};

// One span of frame times in which the frame-hook plug-ins apply, in microseconds.
struct THookTimeRange {
    int64_t Start = 0;
    int64_t End = 0;
    bool operator==(const THookTimeRange&) const = default;
};

// One entry of a rate-control override ("rc_override"): frames start..end get a fixed
// quantiser, or a quality factor when the quantiser is 0.
struct TRcOverrideEntry {
    int32_t StartFrame = 0;
    int32_t EndFrame = 0;
    int32_t Qscale = 0;
    float QualityFactor = 0.0f;
    bool operator==(const TRcOverrideEntry&) const = default;
};
// "start,end,q/start,end,q…"; FFmpegException "error parsing rc_override".
std::vector<TRcOverrideEntry> ParseRcOverride(const std::string& AText);
// "padcolor": an RGB value (red in the low byte) as the Y, U, V of the padding.
TYUVColor RgbToPadColor(int32_t ARgb);

using TProgressNotify = std::function<void(
    TCustomFFmpeg* ASender, int32_t AFrameNumber, int32_t AFPS, int32_t ACurrentDuration,
    float AQuality, float ABitRate, int64_t ASize, int32_t ATotalDuration)>;
using TTerminateNotify = std::function<void(TCustomFFmpeg* ASender)>;
using TPreviewBitmapNotify = std::function<void(TCustomFFmpeg* ASender, const TBitmap& ABitmap,
                                                int32_t AFrameNumber, int64_t APTS)>;
using TBeforeHookNotify =
    std::function<void(TCustomFFmpeg* ASender, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookNotify =
    std::function<void(TCustomFFmpeg* ASender, TBitmap& ABitmap, int32_t AFrameNumber,
                       int64_t APTS, bool& AUpdate, bool& AStopHook)>;

// The engine module's lock: serialises preview-flag changes against the preview
// conversion. It is held while a frame is converted for a preview, never while the frame
// is handed to the owner or the previewer's window.
std::mutex& EngineLock();

class TCustomFFmpeg {
public:
    TCustomFFmpeg();
    // Stops a running conversion and waits for its end before anything is freed.
    virtual ~TCustomFFmpeg();
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // Prepares the engine for a new task (nothing happens unless the libraries are loaded).
    void ResetEngine();
    // Frees everything the task opened (nothing happens unless the libraries are loaded).
    void ReleaseResources();
    void ResetOptions();

    // Returns the worker thread, suspended (the caller resumes it), or null: when the run
    // could not start, ran on the caller's thread, or the engine is running or terminated.
    TConvertThread* StartConvert(bool AUseThread, TThreadPriority APriority = tpNormal);
    void RequestStop(bool AWait);
    void StopConvert(bool AWait);
    void Pause();
    void Resume();
    void SetPreviewFlags(TPreviewFlags AFlags);

    // Run state.
    bool Running() const { return FRunning; }
    bool StopRequested() const { return FStopRequested; }
    bool Finished() const { return FFinished; }
    bool Terminated() const { return FTerminated; }
    bool ExceptionRaised() const { return FExceptionRaised; }
    std::string ExceptionMessage() const;
    const std::string& LastError() const { return FLastError; }
    TConvertThread* WorkerThread() const;
    bool Paused() const;
    int64_t VideoBytes() const { return FVideoBytes; }
    int64_t AudioBytes() const { return FAudioBytes; }
    int32_t DuplicatedFrames() const { return FDuplicatedFrames; }
    int32_t DroppedFrames() const { return FDroppedFrames; }
    TPreviewFlags PreviewFlags() const { return FPreviewFlags; }

    // Named options. Every failure is an exception (FFmpegException, EConvertError or
    // EAssertionFailed); a name that neither the table nor a library knows is ignored.
    void SetOption(const std::string& AName, const std::string& AValue);
    static bool IsTableOption(const std::string& AName);
    // Typed setters for callers that hold typed values.
    void SetInputFormat(const std::string& AName);
    void SetOutputFormat(const std::string& AName);
    bool SetIntOption(const std::string& AName, int32_t AValue);
    void AddMetadata(const std::string& AKey, const std::string& AValue);
    void SetRecordingTimeMs(int32_t AMs);
    void SetInputStartTime(int64_t AUs);
    void SetProgramId(int32_t AId);
    void SetVolumeScale(int32_t AVolume);
    void SetAudioSyncMethod(int32_t AMethod) { Options.AudioSyncMethod = AMethod; }
    void SetVideoSyncMethod(int32_t AMethod) { Options.VideoSyncMethod = AMethod; }
    void SetMuxMaxDelay(float ASeconds);
    void SetMuxPreload(float ASeconds);
    void SetVerbosity(int32_t AValue) { Options.Verbosity = AValue; }

    // Handlers of the option table that do more than store a value.
    void SetFormat(const std::string& AValue);
    void SetRecordingTimeUs(int64_t AUs);
    void CodecOption(const std::string& AName, const std::string& AValue);
    void FrameRateOption(const std::string& AName, const std::string& AValue);
    void FrameSizeOption(const std::string& AName, const std::string& AValue);
    void AspectOption(const std::string& AName, const std::string& AValue);
    void PixelFormatOption(const std::string& AName, const std::string& AValue);
    void CropOption(const std::string& AName, const std::string& AValue);
    void PadOption(const std::string& AName, const std::string& AValue);
    void PadColorOption(const std::string& AName, const std::string& AValue);
    void QscaleOption(const std::string& AName, const std::string& AValue);
    void PassOption(const std::string& AName, const std::string& AValue);
    void MatrixOption(const std::string& AName, const std::string& AValue);
    void SampleFormatOption(const std::string& AName, const std::string& AValue);
    void MetadataOption(const std::string& AName, const std::string& AValue);
    void ItsScaleOption(const std::string& AName, const std::string& AValue);
    void VstatsOption(const std::string& AName, const std::string& AValue);

    // Targets and presets.
    // Sets what an output of ATarget ("vcd", "svcd", "dvd", "dv", "dv50") needs. ANorm is
    // "pal", "ntsc", "film" or anything else to take it from the frame rate or the opened
    // inputs; ADefaultNorm ("film", "ntsc", else PAL) when neither decides.
    void SetTarget(const std::string& ATarget, const std::string& ANorm,
                   const std::string& ADefaultNorm);
    // "target": the type, optionally after "pal-", "ntsc-" or "film-".
    void TargetOption(const std::string& AName, const std::string& AValue);
    // "apre", "vpre", "spre": the key=value lines of a built-in preset (also tried with the
    // codec name of the option's media type before it) or of the preset file AValue.
    void ApplyPreset(const std::string& AOptionName, const std::string& AValue);

    // Opens an input; false with the reason in LastError. Names are as the user gives them.
    bool OpenInputFile(const std::string& AFileName);
    // Creates an output; the new output count, or -1 with the reason in LastError.
    int OpenOutputFile(const std::string& AFileName, bool AJoin = false);
    bool FindCodec(const std::string& AName, AVMediaType AType, bool AEncoder, AVCodecID& AId);
    void NewVideoStream(TOutputFile& AFile);
    void NewAudioStream(TOutputFile& AFile);
    // ALayout, or the encoder's layout nearest to it where the encoder cannot take it.
    void TakeNearestLayout(const AVCodec& AEncoder, AVChannelLayout& ALayout);
    void NewSubtitleStream(TOutputFile& AFile);
    // "newvideo", "newaudio", "newsubtitle": a stream more in the last output.
    void NewStreamInLastOutput(AVMediaType AType);
    void CheckInputMediaTypes(bool AFirstOnly, bool& AHasVideo, bool& AHasAudio,
                              bool& AHasSubtitle);

    // Opened inputs and created outputs (joined outputs share one file object).
    std::vector<std::unique_ptr<TInputFile>> InputFiles;
    std::array<int64_t, MaxFiles> InputTsOffsets{};
    std::vector<const AVCodec*> InputCodecs;  // forced decoders, one slot per stream
    std::vector<std::shared_ptr<TOutputFile>> OutputFiles;
    std::vector<const AVCodec*> OutputCodecs; // forced encoders, one slot per stream
    bool FiltersActive() const { return FFiltersActive; }

    // The option set that named options fill, and the library options they record.
    TOptionSet Options;
    std::unique_ptr<TOptionContexts> OptionContexts;

    int InputFileCount() const { return FInputFileCount; }
    int OutputFileCount() const { return FOutputFileCount; }
    bool JoinMode() const { return FJoinMode; }
    int32_t TotalOutputDuration() const { return FTotalOutputDuration; }

    // Frame hooks: the plug-ins that "vhook" adds, applied while Options.UsingFrameHooks is
    // set; without a before-hook slot only inside the time ranges (sorted by end), and
    // never again after the last one.
    TFrameHookList FrameHooks;
    std::vector<THookTimeRange> HookTimeRanges;
    size_t HookTimeRangeIndex = 0;
    // Replaces the ranges (sorting them by end) and rewinds to the first.
    void SetHookTimeRanges(std::vector<THookTimeRange> ARanges);

    int64_t ProgressIntervalUs = 500000;
    // Video encoding on a thread of its own, overlapping decoding: -1 when the codecs have
    // more than one thread ("threads"), 0 never, 1 always. The output is the same either way.
    int32_t EncodeThread = -1;
    int64_t PreviewIntervalUs = 100000;

    // Notification slots; called on the thread that runs the transcode (or DoTerminate).
    TProgressNotify ProgressNotify;
    TTerminateNotify TerminateNotify;
    TPreviewBitmapNotify PreviewBitmapNotify;
    TBeforeHookNotify BeforeHookNotify;
    TCustomHookNotify CustomHookNotify;

    // Codecs left open by a run, so that an aborted run can close them afterwards.
    std::list<TOutputStreamState*> OpenEncoders;
    std::list<TInputStreamState*> OpenDecoders;

protected:
    friend class TConvertThread;
    friend class TDoTerminateThread;
    friend class TWaitThread;

    // The body of a run; the worker runs it.
    void DoConvert();
    // The transcode of the run's files (the main loop).
    virtual void Transcode();
    void DoTerminate();
    // The main loop's packet boundary: a paused run waits here.
    void CheckPause();
    // Blocks until the current run has ended, i.e. its termination notification returned.
    void WaitRunEnded();
    // Empties the lists of open codecs (the transcode's teardown has closed them).
    void ForgetOpenCodecs();
    void JoinFinishedThreads();
    void RecordException(const std::string& message);
    std::string PgmyuvRewrite(const std::string& AName);
    void ResetPerFileOptions();
    TOutputStreamSetup& AddOutputStream(TOutputFile& AFile, const AVCodec* AEncoder);
    const AVCodec* ChooseEncoder(TOutputFile& AFile, const std::string& AName, AVMediaType AType,
                                 bool AGuess);
    void CloseFiles();

    // Transcode setup, main loop and teardown.
    void SetupTranscode();
    void BuildInputStreams();
    // Checks the output files; the number of output streams.
    int CountOutputStreams();
    void CheckStreamMaps(int ATotal);
    TInputStreamState* InputStreamAt(int AFile, int AStream) const;
    // The input stream that feeds AOutput (the APosition-th output stream); sets its sync input.
    TInputStreamState* MappedSource(TOutputStreamState& AOutput, size_t APosition);
    void BuildOutputStreams();
    void OpenStageEncoders();
    void AllocateAudioFifos();
    // A text subtitle encoder takes the style header of the decoder of its source.
    void TakeSubtitleHeader(TOutputStreamState& AOutput);
    void OpenInputDecoders();
    void ApplyMetadataMaps();
    void WriteHeaders();
    void InitBitstreamFilters();
    void SetupCodecParameters(TOutputStreamState& AOutput);
    void SetupVideoEncoding(TOutputStreamState& AOutput, TInputStreamState& AInput);
    void BuildScaler(TOutputStreamState& AOutput);
    TSwsPtr NewScaler(const TOutputStreamState& AOutput) const;
    void AllocateTempPicture(TOutputStreamState& AOutput);
    // A free TempPicture, and the scaler and bands for AFrame's size.
    void PreparePicture(TOutputStreamState& AOutput, const TInputStreamState& AInput,
                        const AVFrame& AFrame);
    // Crops, scales or copies, and pads AFrame into ATarget (on either thread).
    void FillPicture(const TOutputStreamState& AOutput, const AVFrame& AFrame, AVFrame& ATarget,
                     SwsContext* AScaler) const;
    void EncodeAndWrite(TOutputStreamState& AOutput, AVFrame* AFrame);
    // One video encoder call: run now, or queued for the encode thread (AFrame's reference
    // is taken either way).
    void EncodeVideo(const TEncodeJob& AJob, AVFrame* AFrame, const AVFrame* ASource = nullptr);
    void RunEncodeJob(TEncodeJob& AJob);
    bool UsesEncodeThread() const;
    TFramePtr NewTempPicture(const TOutputStreamState& AOutput);
    // Makes ACurrent a picture nobody else holds, to be written whole: kept when writable,
    // else swapped with a free one of ASpares or a new one from AMake (the encoder, or the
    // queue before it, may still hold the last picture). False when AMake gives none.
    static bool TakeFreePicture(TFramePtr& ACurrent, std::vector<TFramePtr>& ASpares,
                                const std::function<TFramePtr()>& AMake);
    TInputStreamState* FindSource(TOutputStreamState& AOutput, AVMediaType AType);
    void RaiseSetupError(const std::string& AMessage);
    void DumpOutput(int AIndex);
    void DumpAndLogMapping();
    void RunMainLoop();
    void StartEncodeThread();
    // The input file to read next, -1 for none; ASmallestOut becomes the earliest output time.
    int PickInputFile(double& ASmallestOut) const;
    int PickJoinedFile(int AFile, double& ASmallestOut) const;
    // Every input that can end has ended; what is left are generators.
    bool OnlyEndlessInputsLeft() const;
    bool OutputLimitReached(double ASmallestOut) const;
    // A packet read from input AFile to its input stream, when that stream is used.
    void RoutePacket(int AFile, AVPacket& APacket);
    // Drains the decoders and encoders and writes the trailers.
    void FinishOutputs();
    void CorrectTimestamps(TInputStreamState& AInput, AVPacket& APacket, int AFile);
    bool JoinStep(int AFile);
    // The encoder of output-table position APosition: forced, or found by codec id.
    const AVCodec* EncoderAt(size_t APosition) const;
    // Opens AOutput's encoder under the codec lock and lists it; the library's error code
    // when it fails, else 0.
    int OpenEncoder(TOutputStreamState& AOutput, const AVCodec* ACodec);
    // JoinMode: fresh encoders for the entries of the file after AFile.
    void ReopenEncoders(int AFile);
    void CloseTranscodeCodecs();
    void FreeTranscodeState();
    double OutputTime(const TOutputStreamState& AOutput) const;
    int MaxFramesOf(const TOutputStreamState& AOutput) const;
    void ProgressReport(bool ALast);
    // The bytes the first output's muxer has written so far.
    int64_t MuxedBytes() const;
    std::string PsnrText(const TOutputStreamState& AOutput, bool ALast) const;

    // Packet decoding and writing.
    int DecodePacket(TInputStreamState& AInput, int AInputIndex, AVPacket* APacket);
    int DecodeSubtitle(TInputStreamState& AInput, int AInputIndex, AVPacket& APacket);
    // Decodes APacket (null: the end of the input) and routes every frame that comes out.
    int DecodeFrames(TInputStreamState& AInput, int AInputIndex, AVPacket* APacket);
    // A packet of a stream that is not decoded: its clock kept, to the stream-copy stages.
    void PassPacketOn(TInputStreamState& AInput, int AInputIndex, const AVPacket& APacket);
    void PreparePassLog(TOutputStreamState& AOutput, int APosition);
    bool PassesStartTime(const TInputStreamState& AInput) const;
    void EmulateRate(const TInputStreamState& AInput);
    void DistributeFrame(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame);
    // A packet to every stream-copy stage of its input stream.
    void CopyToStages(TInputStreamState& AInput, int AInputIndex, const AVPacket& APacket);
    // The trimmed part: the cut of an input stream from "ss" and "t"; a decoded picture or
    // block of samples delivered as far as it lies in the part; the held picture at the end.
    TStreamCut CutFor(const TInputStreamState& AInput) const;
    void DeliverCut(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame);
    void DeliverCutPicture(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame,
                           int64_t ATime, int64_t ADuration);
    void DeliverCutSamples(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame);
    void FlushCut(TInputStreamState& AInput, int AInputIndex);
    void DistributeSubtitle(TInputStreamState& AInput, int AInputIndex, AVSubtitle& ASubtitle,
                            int64_t APacketPts);
    // The audio stage: a decoded frame resampled, kept in sync, queued and encoded.
    void AudioOut(TOutputStreamState& AOutput, TInputStreamState& AInput, AVFrame& AFrame);
    void EnsureResampler(TOutputStreamState& AOutput, AVFrame& AFrame);
    // Where the stage accepts a frame's samples: how many to drop from its start, or how much
    // silence goes before it, to keep the sound on its clock (or drift compensation).
    TAudioSync DecideAudioSync(TOutputStreamState& AOutput, TInputStreamState& AInput,
                               const AVFrame& AFrame);
    // AFrame in the encoder's format, rate and layout (the stage's reused frame); null when
    // nothing came out.
    AVFrame* ConvertSamples(TOutputStreamState& AOutput, const AVFrame& AFrame);
    void WriteSilence(TOutputStreamState& AOutput, int64_t ASamples);
    void WriteSamples(TOutputStreamState& AOutput, TInputStreamState& AInput,
                      const AVFrame& ASamples, int64_t ADrop);
    // The video stage: a decoded (and hooked or filtered) picture, output as often as the
    // frame-rate decision says.
    void VideoOut(TOutputStreamState& AOutput, TInputStreamState& AInput, AVFrame& AFrame);
    // Where the stage accepts a picture: how often it is output at the output's frame rate,
    // 0 when it is dropped.
    int64_t DecideVideoCopies(TOutputStreamState& AOutput);
    // The encoder's decisions for one copy of ADecoded: its time, fields, aspect and picture
    // type.
    void PrepareEncodeFrame(const TOutputStreamState& AOutput, const AVFrame& ADecoded,
                            AVFrame& AFrame) const;
    void DrainEncoders(int AInputIndex);
    void EncodeAudioFifo(TOutputStreamState& AOutput, bool AFinal);
    void FillToInputEnd(TOutputStreamState& AOutput);
    void VideoStats(TOutputStreamState& AOutput, int AFrameSize);
    void ScaleVolume(AVFrame& AFrame) const;
    void StreamCopy(TOutputStreamState& AOutput, const TInputStreamState& AInput,
                    const AVPacket& APacket);
    void WritePacket(TOutputStreamState& AOutput, AVPacket& APacket);
    void MuxPacket(TOutputStreamState& AOutput, AVPacket& APacket);
    void KeepDtsRising(TOutputStreamState& AOutput, AVPacket& APacket);
    void SubtitleOut(TOutputStreamState& AOutput, TInputStreamState& AInput,
                     AVSubtitle& ASubtitle, int64_t APacketPts);

    // Filters: 0 when the output's graph is ready (the encoder takes its size), -1 with
    // the reason, if any, in LastError.
    int ConfigureFilters(TInputStreamState& AInput, TOutputStreamState& AOutput);
    // A decoded picture into the output's graph (none: the input has ended), and whatever
    // comes out into the video output path.
    void FilterVideo(TOutputStreamState& AOutput, TInputStreamState& AInput, AVFrame* AFrame);

    // Hooks and previews. PreProcessVideo gives the picture to go on with: AFrame, or the
    // engine's work picture when it deinterlaced or hooked it.
    AVFrame* PreProcessVideo(TInputStreamState& AInput, AVFrame& AFrame);
    bool PrepareHookFrame(const AVFrame& AFrame);
    void RunCustomHook(const TPicture& APicture, AVPixelFormat AFormat, int AWidth, int AHeight,
                       int64_t APts);
    void PreviewPicture(const AVFrame& APicture, const TOutputStreamState& AOutput,
                        int32_t AFrameCounter);
    void ChangePreviewFlags(const std::function<TPreviewFlags(TPreviewFlags)>& AChange);
    void ResetHooks();

    // Run state. The flags are read from other threads, hence atomic.
    std::atomic<bool> FRunning{false};
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FExceptionRaised{false};
    std::string FExceptionMessage; // guarded by FRunLock
    std::string FLastError;        // owner's thread
    bool FJoinMode = false;
    bool FFiltersActive = false;
    int32_t FTotalOutputDuration = -1;
    std::atomic<TPreviewFlags> FPreviewFlags{0};

    int FInputFileCount = 0;
    int FOutputFileCount = 0;

    // FRunLock guards the worker reference, the run-ended flag and the exception text.
    mutable std::mutex FRunLock;
    std::condition_variable FRunEndedSignal;
    TConvertThread* FWorkerRef = nullptr; // "WorkerThread": cleared by DoTerminate
    bool FRunEnded = true;                // the last run's termination notification returned
    bool FTerminatePending = false;       // a TDoTerminateThread has been made for this run

    // The thread objects, kept until joined (at the next start, a reset or destruction).
    std::unique_ptr<TConvertThread> FWorker;
    std::unique_ptr<TDoTerminateThread> FTerminateThread;

    // The working records of the running transcode.
    std::unique_ptr<TTranscodeState> FState;
    // The encode thread of the running transcode, when it has one; gone before the codecs
    // are closed.
    std::unique_ptr<TEncodePipeline> FPipeline;
    std::vector<uint8_t> FSubtitleBuffer;
    std::unique_ptr<FILE, TFileCloser> FVstatsFile; // open until ReleaseResources

    // Statistics.
    std::atomic<int64_t> FVideoBytes{0}; // grown by the encode thread too
    int64_t FAudioBytes = 0;
    int64_t FGlobalHeaderBytes = 0;
    int64_t FTranscodeStartTime = 0;
    int32_t FDuplicatedFrames = 0;
    int32_t FDroppedFrames = 0;
    // "qphist": how often each quantiser was seen by the reports; kept per engine, so that
    // engines running side by side do not share counters.
    std::array<int64_t, 52> FQpHistogram{};

    // Hooks (run thread only while a run lasts).
    THookAction FHookAction = haContinue;
    int32_t FHookFrameCounter = 0;
    TFramePtr FHookFrame; // the work picture that hooks change
    std::vector<TFramePtr> FHookSpares; // taken when the encoder still holds FHookFrame
    TBitmapConversion FHookConversion;
    // Previews: guarded by EngineLock(), like the flags.
    TBitmapConversion FPreviewConversion;
    std::shared_ptr<TPreviewer> FPreviewer;
    int64_t FLastPreviewTime = 0;
};

} // namespace qm
