// run-bench [--runs N] [--only TEXT] [--work DIR] [--candidates]
//
// Times the DVD conversion: the engine through quillmoor-cli, the same work as a plain loop
// (bench-floor), the whole batch through quillmoor-cli convert, and dvdauthor alone. Every case
// runs as a child process; wait4 gives its CPU seconds and peak resident memory. Prints a
// Markdown table of the medians, with the picture quality of the conversions of hard footage
// against their source (bench-quality). --candidates instead measures encoder settings one by
// one on the hard 720p clip at two rates.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Core/DvdBatch.h"
#include "Core/DvdEncoderSettings.h"
#include "Core/DvdPresets.h"
#include "Core/InputList.h"
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using qm::TDvdPreset;

namespace {

constexpr double ClipSeconds = 60; // of the easy clips
constexpr int PalHighQuality = 4;
constexpr int PalStandardQuality = 6;
constexpr int NtscLongPlay = 3;

struct TClip {
    const char* Name;
    const char* File;
    std::vector<std::string> WriterKeys;
    qm::rInputStreamInfo Info; // what the input list would read of it
    double Seconds;
};

qm::rInputStreamInfo Picture(int AWidth, int AHeight) {
    qm::rInputStreamInfo info;
    info.Width = AWidth;
    info.Height = AHeight;
    info.DisplayAspect = double(AWidth) / AHeight;
    info.HasAudio = true;
    return info;
}

// The easy test pattern, timed with every preset kind and thread count.
const std::vector<TClip>& Clips() {
    static const std::vector<TClip> clips = {
        {"720p", "clip_720p.mp4", {"size=1280x720", "ar=48000", "duration=60"}, Picture(1280, 720), 60},
        {"480p", "clip_480p.avi", {"size=640x480", "ar=44100", "duration=60"}, Picture(640, 480), 60},
    };
    return clips;
}

qm::rInputStreamInfo Wide(int AWidth, int AHeight) {
    qm::rInputStreamInfo info = Picture(AWidth, AHeight);
    info.DisplayAspect = 16.0 / 9.0;
    return info;
}

// Hard footage: fine detail panned under new grain in every frame, at rates that make the
// decoder work as it does on camera footage; all 16:9 at 25 fps, so the DVD frame is filled
// without bars and the quality is measured picture against picture.
const std::vector<TClip>& HardClips() {
    static const std::vector<TClip> clips = {
        {"grain720p", "clip_grain_720p.mp4",
         {"size=1280x720", "ar=48000", "duration=8", "pattern=grain", "vb=40M"}, Wide(1280, 720), 8},
        {"grain1080p", "clip_grain_1080p.mp4",
         {"size=1920x1080", "ar=48000", "duration=5", "pattern=grain", "vb=60M"}, Wide(1920, 1080), 5},
        {"grain576i", "clip_grain_576i.ts",
         {"size=720x576", "sar=64:45", "fields=tff", "vcodec=mpeg2video", "acodec=mp2", "ar=48000",
          "duration=5", "pattern=grain", "vb=15M"},
         Wide(720, 576), 5},
    };
    return clips;
}

using TOptionList = std::vector<std::pair<std::string, std::string>>;

struct TRun {
    bool Ok = false;
    double Wall = 0, Cpu = 0, PeakMb = 0;
    long long Frames = -1; // from the program's own report, -1 when it gives none
};

struct TCase {
    std::string Name;
    std::vector<std::string> Argv;
    std::vector<std::string> Env; // NAME=value added for the child
    // Before every run; a text says why the case cannot run.
    std::function<std::string()> Prepare;
    long long Frames = 0;    // expected output frames, when the program does not say
    double MediaSeconds = 0; // of output, for "× real time"
    int Floor = -1;          // index of the floor case this one is compared with
    fs::path Output;         // the stream it writes, for the comparison with the floor's
    fs::path QualitySource;  // when set, the stream's quality is measured against it
    std::string Skip;        // why it does not run
    std::vector<TRun> Runs;
};

TCase MakeCase(std::string AName, std::vector<std::string> AArgv, long long AFrames = 0,
               double AMediaSeconds = 0) {
    TCase c;
    c.Name = std::move(AName);
    c.Argv = std::move(AArgv);
    c.Frames = AFrames;
    c.MediaSeconds = AMediaSeconds;
    return c;
}

std::string ProgramFolder() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

std::string ReadFile(const fs::path& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the case's program with stdout and stderr into ALog; CPU and memory are the child's and
// those of the children it waited for (dvdauthor under convert).
TRun RunOnce(const TCase& ACase, const fs::path& ALog) {
    TRun run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return run;
    if (pid == 0) {
        const int log = ::open(ALog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log < 0 || nothing < 0 || dup2(nothing, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0)
            _exit(127);
        for (const std::string& e : ACase.Env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        for (const std::string& a : ACase.Argv)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    run.Cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.PeakMb = usage.ru_maxrss / 1024.0;
    run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    // The engine's progress line says "frame=  123", the floor "frames=123": the last one.
    static const std::regex frames(R"(\bframes?= *(\d+))");
    const std::string text = ReadFile(ALog);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), frames);
         it != std::sregex_iterator(); ++it)
        run.Frames = std::stoll((*it)[1]);
    return run;
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    const size_t n = AValues.size();
    return n == 0 ? 0 : n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
}

struct TFigures {
    bool Ok = false;
    double Wall = 0, Cpu = 0, PeakMb = 0;
    long long Frames = 0;
};

TFigures Figures(const TCase& ACase) {
    TFigures f;
    std::vector<double> wall, cpu, peak;
    for (const TRun& r : ACase.Runs) {
        if (!r.Ok)
            return f;
        wall.push_back(r.Wall);
        cpu.push_back(r.Cpu);
        peak.push_back(r.PeakMb);
    }
    f.Ok = !ACase.Runs.empty();
    f.Wall = Median(wall);
    f.Cpu = Median(cpu);
    f.PeakMb = Median(peak);
    f.Frames = ACase.Runs.empty() || ACase.Runs.back().Frames < 0 ? ACase.Frames
                                                                  : ACase.Runs.back().Frames;
    return f;
}

std::string Fixed(double AValue, int ADigits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", ADigits, AValue);
    return text;
}

long long FramesOf(const TDvdPreset& APreset, int AFiles, double ASeconds = ClipSeconds) {
    return AFiles * std::llround(ASeconds * std::stod(APreset.FrameRate));
}

// The engine options the batch gives one file (TDvdBatch::ConvertFile and FillOptions); the
// encoder's settings are the batch's unless others are given.
std::vector<std::string> EngineArgs(const std::string& ACli, const fs::path& AIn,
                                    const TDvdPreset& APreset, const qm::TPictureLayout& ALayout,
                                    double ADiscAspect, int AThreads, const fs::path& AOut,
                                    const TOptionList* AEncoder = nullptr) {
    std::vector<std::string> a = {
        ACli,       "engine",
        "-threads", std::to_string(AThreads),
        "-i",       AIn.string(),
        "-target",  APreset.NormType == 1 ? "pal-dvd" : "ntsc-dvd",
        "-acodec",  "mp2",
        "-ac",      "2",
        "-ar",      std::to_string(APreset.AudioSampleRate),
        "-ab",      std::to_string(APreset.AudioBitrate),
        "-async",   "1",
        "-vcodec",  "mpeg2video",
        "-r",       APreset.FrameRate,
        "-s",       std::to_string(ALayout.Width) + "x" + std::to_string(ALayout.Height),
        "-aspect",  ADiscAspect > 1.5 ? "16:9" : "4:3"};
    const std::pair<const char*, int> pads[] = {{"-padtop", ALayout.PadTop},
                                                {"-padbottom", ALayout.PadBottom},
                                                {"-padleft", ALayout.PadLeft},
                                                {"-padright", ALayout.PadRight}};
    for (const auto& [name, value] : pads)
        if (value > 0)
            a.insert(a.end(), {name, std::to_string(value)});
    a.insert(a.end(), {"-vb", std::to_string(APreset.VideoBitrate), "-sn", "1"});
    for (const auto& [name, value] : AEncoder ? *AEncoder : qm::DvdEncoderOptions(APreset))
        a.insert(a.end(), {"-" + name, value});
    a.push_back(AOut.string());
    return a;
}

struct TQuality {
    bool Ok = false;
    double PsnrY = 0, SsimY = 0, VideoMb = 0;
};

// bench-quality's figures of AStream against ASource.
TQuality MeasureQuality(const std::string& AProgram, const fs::path& AStream,
                        const fs::path& ASource, const fs::path& ALog) {
    TCase measure;
    measure.Argv = {AProgram, AStream.string(), ASource.string()};
    TQuality q;
    if (!RunOnce(measure, ALog).Ok)
        return q;
    long long bytes = 0, frames = 0;
    const std::string text = ReadFile(ALog);
    const size_t at = text.find("psnr_y=");
    q.Ok = at != std::string::npos &&
           std::sscanf(text.c_str() + at, "psnr_y=%lf ssim_y=%lf frames=%lld video_bytes=%lld",
                       &q.PsnrY, &q.SsimY, &frames, &bytes) == 4;
    q.VideoMb = bytes / 1e6;
    return q;
}

std::vector<std::string> FloorArgs(const std::string& AFloor, const fs::path& AIn,
                                   const TDvdPreset& APreset, const qm::TPictureLayout& ALayout,
                                   double ADiscAspect, int AThreads, const fs::path& AOut,
                                   int ADecoderThreads = -1) {
    std::vector<std::string> a = {
        AFloor,
        AIn.string(),
        AOut.string(),
        "size=" + std::to_string(ALayout.Width) + "x" + std::to_string(ALayout.Height),
        "pad=" + std::to_string(ALayout.PadTop) + ":" + std::to_string(ALayout.PadBottom) + ":" +
            std::to_string(ALayout.PadLeft) + ":" + std::to_string(ALayout.PadRight),
        std::string("rate=") + APreset.FrameRate,
        "vb=" + std::to_string(APreset.VideoBitrate),
        "ab=" + std::to_string(APreset.AudioBitrate),
        ADiscAspect > 1.5 ? "aspect=16:9" : "aspect=4:3",
        APreset.NormType == 1 ? "norm=pal" : "norm=ntsc",
        "threads=" + std::to_string(AThreads)};
    if (ADecoderThreads >= 0)
        a.push_back("decoder-threads=" + std::to_string(ADecoderThreads));
    return a;
}

// The conventional loop: the video decoder with as many threads as the encoders.
std::string ConventionalName(const std::string& AClip, const char* APreset, int ACores) {
    return "floor " + AClip + " " + APreset + " threads 0 (decoder threads " +
           std::to_string(ACores) + ")";
}

std::string FirstLine(const fs::path& AFile, const char* AStart) {
    std::ifstream in(AFile);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(AStart, 0) == 0)
            return line.substr(line.find_first_not_of(" \t", line.find(':') + 1));
    return {};
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

int Usage() {
    std::fputs("usage: run-bench [--runs N] [--only TEXT] [--work DIR] [--candidates]\n"
               "  --runs N       runs of every case, the median is reported (default 3)\n"
               "  --only TEXT    only the cases whose name holds TEXT\n"
               "  --work DIR     clips, outputs and logs (default: bench/ in the build folder)\n"
               "  --candidates   the encoder settings one by one on the hard 720p clip, once each\n"
               "                 (with --only, those whose name holds TEXT, and the old settings)\n",
               stderr);
    return 2;
}

// Encoder settings to weigh against each other: each line adds to or changes the one before
// it, so that every step's gain shows; the last lines try what was said to cost quality.
std::vector<std::pair<std::string, TOptionList>> Candidates() {
    const TOptionList rd = {{"bf", "2"}, {"trellis", "1"}, {"mbd", "rd"}};
    TOptionList nonLinear = rd;
    nonLinear.insert(nonLinear.end(), {{"non_linear_quant", "1"}, {"intra_vlc", "1"}, {"qmax", "28"}});
    auto with = [](TOptionList AList, TOptionList AMore) {
        AList.insert(AList.end(), AMore.begin(), AMore.end());
        return AList;
    };
    return {
        {"the dvd target alone (old)", {}},
        {"trellis", {{"trellis", "1"}}},
        {"bf=2", {{"bf", "2"}}},
        {"bf=2 trellis", {{"bf", "2"}, {"trellis", "1"}}},
        {"bf=2 mbd=rd", {{"bf", "2"}, {"mbd", "rd"}}},
        {"bf=2 trellis mbd=rd", rd},
        {"+ non-linear quantiser, intra VLC, qmax=28", nonLinear},
        {"+ non-linear, intra VLC, qmax=28, cmp/subcmp=satd", with(nonLinear, {{"cmp", "satd"}, {"subcmp", "satd"}})},
        {"+ non-linear, intra VLC, qmax=28, mpv_flags=+qp_rd", with(nonLinear, {{"mpv_flags", "+qp_rd"}})},
        {"+ non-linear, intra VLC, qmax=28, b_strategy=1", with(nonLinear, {{"b_strategy", "1"}})},
        {"+ non-linear, intra VLC, qmax=28, dc=10", with(nonLinear, {{"dc", "10"}})},
        {"+ non-linear, intra VLC, qmax=28, g=12", with(nonLinear, {{"g", "12"}})},
        {"+ non-linear, intra VLC, qmax=28, qmin=1", with(nonLinear, {{"qmin", "1"}})},
    };
}

// Every candidate once at two rates (PSNR does not depend on the machine's load; the CPU
// seconds do, a little).
int RunCandidates(const std::string& ACli, const std::string& AQuality, const fs::path& AClips,
                  const fs::path& AOut, const fs::path& ALogs, const std::string& AOnly) {
    const TClip& clip = HardClips().front();
    std::printf("Encoder settings on %s (%s, %.0f s), engine threads 0, one run each\n\n", clip.Name,
                clip.File, clip.Seconds);
    std::printf("| preset | settings | CPU s | wall s | PSNR-Y dB | SSIM-Y | video MB | ΔPSNR-Y | size |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (int presetIndex : {PalStandardQuality, PalHighQuality}) {
        const TDvdPreset& preset = qm::DvdPresets()[presetIndex];
        const double disc = 16.0 / 9.0;
        const qm::TPictureLayout layout =
            qm::FitPicture(clip.Info.DisplayAspect, preset.Width, preset.Height, disc);
        TQuality base;
        int n = 0;
        for (const auto& [name, options] : Candidates()) {
            // The first line is the reference of the others.
            if (n > 0 && !AOnly.empty() && name.find(AOnly) == std::string::npos) {
                ++n;
                continue;
            }
            const fs::path out = AOut / ("candidate_" + std::string(preset.ShortName) + "_" +
                                         std::to_string(n++) + ".mpg");
            const TCase c = MakeCase(name, EngineArgs(ACli, AClips / clip.File, preset, layout, disc,
                                                      0, out, &options));
            std::fprintf(stderr, "%s: %s ... ", preset.ShortName, name.c_str());
            const TRun r = RunOnce(c, ALogs / "candidate.log");
            const TQuality q = r.Ok ? MeasureQuality(AQuality, out, AClips / clip.File,
                                                     ALogs / "candidate-quality.log")
                                    : TQuality{};
            std::fprintf(stderr, "%s\n", q.Ok ? Fixed(q.PsnrY, 2).c_str() : "FAILED");
            if (!q.Ok) {
                std::printf("| %s | %s | failed | | | | | | |\n", preset.ShortName, name.c_str());
                continue;
            }
            if (!base.Ok)
                base = q;
            std::printf("| %s | %s | %s | %s | %s | %s | %s | %+.2f | %s |\n", preset.ShortName,
                        name.c_str(), Fixed(r.Cpu, 1).c_str(), Fixed(r.Wall, 1).c_str(),
                        Fixed(q.PsnrY, 2).c_str(), Fixed(q.SsimY, 4).c_str(),
                        Fixed(q.VideoMb, 2).c_str(), q.PsnrY - base.PsnrY,
                        Fixed(q.VideoMb / base.VideoMb, 3).c_str());
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string bin = ProgramFolder();
    int runs = 3;
    std::string only;
    bool candidates = false;
    fs::path work = fs::path(bin).parent_path() / "bench";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--candidates") {
            candidates = true;
        } else if ((a == "--runs" || a == "--only" || a == "--work") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "--runs")
                runs = std::max(1, std::atoi(v.c_str()));
            else if (a == "--only")
                only = v;
            else
                work = v;
        } else {
            return Usage();
        }
    }
    const std::string cli = bin + "/quillmoor-cli", floor = bin + "/bench-floor",
                      writer = bin + "/make-fixtures", quality = bin + "/bench-quality";
    const fs::path clips = work / "clips", out = work / "out", logs = work / "logs";
    for (const fs::path& p : {clips, out, logs})
        fs::create_directories(p);

    // The clips, once: the build folder keeps them.
    std::vector<TClip> allClips = Clips();
    allClips.insert(allClips.end(), HardClips().begin(), HardClips().end());
    for (const TClip& clip : allClips) {
        const fs::path file = clips / clip.File;
        if (fs::exists(file))
            continue;
        std::fprintf(stderr, "writing %s ...\n", file.c_str());
        TCase write = MakeCase("clip", {writer, "--clip", file.string()});
        write.Argv.insert(write.Argv.end(), clip.WriterKeys.begin(), clip.WriterKeys.end());
        if (!RunOnce(write, logs / "clip.log").Ok) {
            std::fprintf(stderr, "run-bench: cannot write %s, see %s\n", file.c_str(),
                         (logs / "clip.log").c_str());
            return 1;
        }
    }
    if (candidates)
        return RunCandidates(cli, quality, clips, out, logs, only);

    // The batch's four files: two of each clip, under names of their own.
    std::vector<qm::rInputStreamInfo> batchItems;
    std::vector<fs::path> batchFiles;
    for (int copy = 0; copy < 2; ++copy)
        for (const TClip& clip : Clips()) {
            const fs::path link = clips / (std::to_string(copy + 1) + "_" + clip.File);
            if (!fs::exists(link))
                fs::create_hard_link(clips / clip.File, link);
            batchFiles.push_back(link);
            batchItems.push_back(clip.Info);
        }

    // What the programs cost before any conversion: loading, the option table, the libraries.
    std::vector<TCase> cases = {MakeCase("start-up: quillmoor-cli libraries", {cli, "libraries"}),
                                MakeCase("start-up: bench-floor --help", {floor, "--help"})};
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (int presetIndex : {PalHighQuality, NtscLongPlay}) {
        const TDvdPreset& preset = qm::DvdPresets()[presetIndex];
        const double disc = qm::ChooseDiscAspect(batchItems, preset);
        for (const TClip& clip : Clips()) {
            const qm::TPictureLayout layout =
                qm::FitPicture(clip.Info.DisplayAspect, preset.Width, preset.Height, disc);
            for (int threads : {1, 0}) {
                const std::string tail = std::string(clip.Name) + " " + preset.ShortName +
                                         " threads " + std::to_string(threads);
                const std::string file = std::string(clip.Name) + "_" + preset.ShortName + "_t" +
                                         std::to_string(threads);
                TCase engine = MakeCase("engine " + tail,
                                        EngineArgs(cli, clips / clip.File, preset, layout, disc,
                                                   threads, out / ("engine_" + file + ".mpg")),
                                        FramesOf(preset, 1, ClipSeconds), ClipSeconds);
                TCase plain = MakeCase("floor " + tail,
                                       FloorArgs(floor, clips / clip.File, preset, layout, disc,
                                                 threads, out / ("floor_" + file + ".mpg")),
                                       FramesOf(preset, 1, ClipSeconds), ClipSeconds);
                engine.Floor = static_cast<int>(cases.size()) + 1;
                engine.Output = engine.Argv.back();
                plain.Output = plain.Argv[2];
                cases.push_back(std::move(engine));
                cases.push_back(std::move(plain));
                if (threads == 0 && cores > 1) {
                    TCase conventional =
                        MakeCase(ConventionalName(clip.Name, preset.ShortName, cores),
                                 FloorArgs(floor, clips / clip.File, preset, layout, disc, 0,
                                           out / ("loop_" + file + ".mpg"), cores),
                                 FramesOf(preset, 1, ClipSeconds), ClipSeconds);
                    conventional.Output = conventional.Argv[2];
                    cases.push_back(std::move(conventional));
                }
            }
        }
    }

    // Hard footage at "DVD PAL Standard Quality": the engine with the batch's settings, the
    // floor with the old ones, and the conventional loop with every codec threaded.
    {
        const TDvdPreset& standard = qm::DvdPresets()[PalStandardQuality];
        for (const TClip& clip : HardClips()) {
            const double disc = 16.0 / 9.0;
            const qm::TPictureLayout layout =
                qm::FitPicture(clip.Info.DisplayAspect, standard.Width, standard.Height, disc);
            const std::string tail = std::string(clip.Name) + " " + standard.ShortName + " threads 0";
            const std::string file = std::string(clip.Name) + "_" + standard.ShortName + "_t0.mpg";
            const long long frames = FramesOf(standard, 1, clip.Seconds);
            TCase engine = MakeCase("engine " + tail,
                                    EngineArgs(cli, clips / clip.File, standard, layout, disc, 0,
                                               out / ("engine_" + file)),
                                    frames, clip.Seconds);
            TCase plain = MakeCase("floor " + tail,
                                   FloorArgs(floor, clips / clip.File, standard, layout, disc, 0,
                                             out / ("floor_" + file)),
                                   frames, clip.Seconds);
            engine.Floor = static_cast<int>(cases.size()) + 2;
            engine.Output = engine.Argv.back();
            plain.Output = plain.Argv[2];
            engine.QualitySource = plain.QualitySource = clips / clip.File;
            cases.push_back(std::move(engine));
            if (cores > 1) {
                TCase conventional = MakeCase(ConventionalName(clip.Name, standard.ShortName, cores),
                                              FloorArgs(floor, clips / clip.File, standard, layout, disc,
                                                        0, out / ("loop_" + file), cores),
                                              frames, clip.Seconds);
                conventional.Output = conventional.Argv[2];
                cases.push_back(std::move(conventional));
            } else {
                --cases.back().Floor;
            }
            cases.push_back(std::move(plain));
        }
    }

    // The whole batch; --jobs only where this build's convert has it.
    const TDvdPreset& hq = qm::DvdPresets()[PalHighQuality];
    const TCase help = MakeCase("help", {cli, "convert", "--help"});
    RunOnce(help, logs / "convert-help.log");
    const bool hasJobs = ReadFile(logs / "convert-help.log").find("--jobs") != std::string::npos;
    const std::pair<const char*, std::vector<std::string>> batches[] = {
        {"batch pal-hq (threads 0)", {}},
        {"batch pal-hq threads 1", {"--threads", "1"}},
        {"batch pal-hq threads 1 jobs 2", {"--threads", "1", "--jobs", "2"}},
    };
    for (const auto& [name, flags] : batches) {
        const fs::path folder = work / "batch";
        TCase batch = MakeCase(
            name, {cli, "convert", "-p", hq.ShortName, "-o", folder.string(), "--overwrite"},
            FramesOf(hq, 4, ClipSeconds), 4 * ClipSeconds);
        batch.Prepare = [folder] {
            fs::remove_all(folder);
            return std::string();
        };
        batch.Argv.insert(batch.Argv.end(), flags.begin(), flags.end());
        for (const fs::path& f : batchFiles)
            batch.Argv.push_back(f.string());
        if (std::find(flags.begin(), flags.end(), "--jobs") != flags.end() && !hasJobs)
            batch.Skip = "quillmoor-cli convert has no --jobs yet";
        cases.push_back(std::move(batch));
    }

    // dvdauthor alone, over the engine's pal-hq streams in the batch's order. Each title is a
    // file of its own: dvdauthor writes a file that two titles name only once.
    {
        const fs::path disc = work / "disc", xml = work / "dvd.xml";
        std::vector<fs::path> sources, streams;
        for (int copy = 0; copy < 2; ++copy)
            for (const TClip& clip : Clips()) {
                sources.push_back(
                    out / ("engine_" + std::string(clip.Name) + "_" + hq.ShortName + "_t0.mpg"));
                streams.push_back(out / ("title" + std::to_string(streams.size() + 1) + ".mpg"));
            }
        std::ofstream x(xml);
        x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dvdauthor dest=\"" << disc.string()
          << "\">\n  <vmgm/>\n  <titleset>\n    <titles>\n";
        for (size_t i = 0; i < streams.size(); ++i)
            x << "      <pgc>\n        <vob file=\"" << streams[i].string()
              << "\"/>\n        <post>"
              << (i + 1 < streams.size() ? "jump title " + std::to_string(i + 2) + ";" : "exit;")
              << "</post>\n      </pgc>\n";
        x << "    </titles>\n  </titleset>\n</dvdauthor>\n";
        const std::string own = bin + "/Data/Quillmoor/dvdauthor";
        TCase author =
            MakeCase("authoring (dvdauthor, 4 pal-hq streams)",
                     {::access(own.c_str(), X_OK) == 0 ? own : "dvdauthor", "-x", xml.string()},
                     FramesOf(hq, 4, ClipSeconds), 4 * ClipSeconds);
        author.Env = {"VIDEO_FORMAT=PAL"};
        author.Prepare = [disc, sources, streams] {
            fs::remove_all(disc);
            for (size_t i = 0; i < sources.size(); ++i) {
                if (!fs::exists(sources[i]))
                    return "needs " + sources[i].filename().string() + " (its engine case)";
                fs::remove(streams[i]);
                fs::create_hard_link(sources[i], streams[i]);
            }
            return std::string();
        };
        cases.push_back(std::move(author));
    }

    // Fitting a disc: two minutes of hard footage (grain and fine detail in every frame), a
    // wide and a 4:3 picture, fitted in two passes to a disc they fill at about 4 Mbit/s,
    // and the same files in one pass at the preset with the nearest rate, for the time.
    const fs::path fitImage = work / "fit.iso";
    constexpr double FitDiscBytes = 66e6;
    {
        const std::pair<const char*, std::vector<std::string>> grain[] = {
            {"grain_wide.mkv", {"size=1024x576", "vb=20M"}}, {"grain_4x3.mkv", {"size=720x576", "vb=20M"}}};
        std::vector<std::string> files;
        for (const auto& [name, keys] : grain) {
            const fs::path file = clips / name;
            files.push_back(file.string());
            if (fs::exists(file) || (!only.empty() && std::string("fit").find(only) == std::string::npos))
                continue;
            std::fprintf(stderr, "writing %s ...\n", file.c_str());
            TCase write = MakeCase("clip", {writer, "--clip", file.string(), "pattern=grain", "vcodec=mpeg4",
                                            "duration=60"});
            write.Argv.insert(write.Argv.end(), keys.begin(), keys.end());
            if (!RunOnce(write, logs / "clip.log").Ok) {
                std::fprintf(stderr, "run-bench: cannot write %s, see %s\n", file.c_str(),
                             (logs / "clip.log").c_str());
                return 1;
            }
        }
        TCase fitted = MakeCase("fit: grain 2 x 60 s, pal-hq --fit --disc 66M --iso (two passes)",
                                {cli, "convert", "-p", "pal-hq", "--fit", "--disc", "66M", "--iso",
                                 fitImage.string(), "--overwrite"},
                                FramesOf(hq, 2), 2 * ClipSeconds);
        fitted.Argv.insert(fitted.Argv.end(), files.begin(), files.end());
        fitted.Prepare = [fitImage] {
            fs::remove(fitImage);
            return std::string();
        };
        const fs::path folder = work / "fit-one-pass";
        TCase onePass = MakeCase("fit: grain 2 x 60 s, pal-std one pass",
                                 {cli, "convert", "-p", "pal-std", "-o", folder.string(), "--overwrite"},
                                 FramesOf(hq, 2), 2 * ClipSeconds);
        onePass.Argv.insert(onePass.Argv.end(), files.begin(), files.end());
        onePass.Prepare = [folder] {
            fs::remove_all(folder);
            return std::string();
        };
        cases.push_back(std::move(fitted));
        cases.push_back(std::move(onePass));
    }

    const std::string loadBefore = LoadAverage();
    // Every case once per round: a change of the machine's load meets all cases alike.
    for (int round = 0; round < runs; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            TCase& c = cases[i];
            if (!c.Skip.empty() || (!only.empty() && c.Name.find(only) == std::string::npos))
                continue;
            if (c.Prepare)
                c.Skip = c.Prepare();
            if (!c.Skip.empty())
                continue;
            const fs::path log = logs / (std::to_string(i) + ".log");
            std::fprintf(stderr, "[%d/%d] %s ... ", round + 1, runs, c.Name.c_str());
            c.Runs.push_back(RunOnce(c, log));
            const TRun& r = c.Runs.back();
            if (r.Ok)
                std::fprintf(stderr, "%.1f s\n", r.Wall);
            else
                std::fprintf(stderr, "FAILED, see %s\n", log.c_str());
        }
    }

    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
    std::printf(
        "%s, %d cores (%s), %d run%s per case, median; load average before %s, after %s\n\n", date,
        cores, FirstLine("/proc/cpuinfo", "model name").c_str(), runs, runs == 1 ? "" : "s",
        loadBefore.c_str(), LoadAverage().c_str());
    std::printf("| case | wall s | CPU s | CPU %% | fps | × real time | peak MB | ÷ floor CPU | ÷ "
                "floor wall | stream vs floor's | PSNR-Y dB | SSIM-Y | video MB |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|\n");
    for (size_t i = 0; i < cases.size(); ++i) {
        const TCase& c = cases[i];
        if (!c.Skip.empty()) {
            std::printf("| %s | skipped: %s | | | | | | | | | | | |\n", c.Name.c_str(),
                        c.Skip.c_str());
            continue;
        }
        if (c.Runs.empty())
            continue;
        const TFigures f = Figures(c);
        if (!f.Ok) {
            std::printf("| %s | failed | | | | | | | | | | | |\n", c.Name.c_str());
            continue;
        }
        std::string psnr, ssim, videoMb;
        if (!c.QualitySource.empty()) {
            const TQuality q = MeasureQuality(quality, c.Output, c.QualitySource,
                                              logs / (std::to_string(i) + "-quality.log"));
            if (q.Ok) {
                psnr = Fixed(q.PsnrY, 2);
                ssim = Fixed(q.SsimY, 4);
                videoMb = Fixed(q.VideoMb, 2);
            } else {
                psnr = "failed";
            }
        }
        std::string cpuRatio, wallRatio, same;
        if (c.Floor >= 0) {
            const TCase& floorCase = cases[static_cast<size_t>(c.Floor)];
            const TFigures g = Figures(floorCase);
            if (g.Ok && g.Cpu > 0 && g.Wall > 0) {
                cpuRatio = Fixed(f.Cpu / g.Cpu, 2);
                wallRatio = Fixed(f.Wall / g.Wall, 2);
                same = ReadFile(c.Output) == ReadFile(floorCase.Output) ? "same" : "differs";
            }
        }
        const int digits = f.Wall < 1 ? 2 : 1;
        const bool media = c.MediaSeconds > 0;
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
                    c.Name.c_str(),
                    Fixed(f.Wall, digits).c_str(), Fixed(f.Cpu, digits).c_str(),
                    Fixed(100 * f.Cpu / f.Wall, 0).c_str(),
                    media ? Fixed(f.Frames / f.Wall, 0).c_str() : "",
                    media ? Fixed(c.MediaSeconds / f.Wall, 1).c_str() : "",
                    Fixed(f.PeakMb, 0).c_str(), cpuRatio.c_str(), wallRatio.c_str(), same.c_str(),
                    psnr.c_str(), ssim.c_str(), videoMb.c_str());
    }

    // The speed-ups that threads and jobs give, where both sides ran.
    auto find = [&cases](const std::string& AName) -> const TCase* {
        for (const TCase& c : cases)
            if (c.Name == AName && c.Skip.empty())
                return &c;
        return nullptr;
    };
    auto speedUp = [&](const std::string& ASlow, const std::string& AFast) {
        const TCase* slow = find(ASlow);
        const TCase* fast = find(AFast);
        if (!slow || !fast)
            return;
        const TFigures s = Figures(*slow), f = Figures(*fast);
        if (s.Ok && f.Ok && f.Wall > 0)
            std::printf("- %s vs %s: %s× as fast\n", AFast.c_str(), ASlow.c_str(),
                        Fixed(s.Wall / f.Wall, 2).c_str());
    };
    std::printf("\n");
    for (const char* kind : {"engine", "floor"})
        for (const TClip& clip : Clips())
            for (int presetIndex : {PalHighQuality, NtscLongPlay}) {
                const std::string base = std::string(kind) + " " + clip.Name + " " +
                                         qm::DvdPresets()[presetIndex].ShortName + " threads ";
                speedUp(base + "1", base + "0");
            }
    for (const TClip& clip : Clips())
        for (int presetIndex : {PalHighQuality, NtscLongPlay}) {
            const char* preset = qm::DvdPresets()[presetIndex].ShortName;
            speedUp(ConventionalName(clip.Name, preset, cores),
                    std::string("engine ") + clip.Name + " " + preset + " threads 0");
        }
    for (const TClip& clip : HardClips()) {
        const char* preset = qm::DvdPresets()[PalStandardQuality].ShortName;
        speedUp(ConventionalName(clip.Name, preset, cores),
                std::string("engine ") + clip.Name + " " + preset + " threads 0");
    }
    speedUp("batch pal-hq threads 1", "batch pal-hq threads 1 jobs 2");
    if (fs::exists(fitImage)) {
        const TCase* fitted = find("fit: grain 2 x 60 s, pal-hq --fit --disc 66M --iso (two passes)");
        const TCase* onePass = find("fit: grain 2 x 60 s, pal-std one pass");
        std::printf("- fit: the image takes %s of the 66 MB disc (%lld bytes)", 
                    (Fixed(100 * double(fs::file_size(fitImage)) / FitDiscBytes, 2) + " %").c_str(),
                    static_cast<long long>(fs::file_size(fitImage)));
        if (fitted && onePass && Figures(*fitted).Ok && Figures(*onePass).Ok)
            std::printf("; two passes take %s× the one-pass batch's time",
                        Fixed(Figures(*fitted).Wall / Figures(*onePass).Wall, 2).c_str());
        std::printf("\n");
    }
    return 0;
}
