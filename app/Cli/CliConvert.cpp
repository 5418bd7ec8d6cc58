// quillmoor-cli convert: the DVD batch without a window.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "Cli/CliCommands.h"
#include "Cli/Interrupt.h"
#include "Cli/OffscreenDrawing.h"
#include "Converter/FFmpegConverter.h"
#include "Core/AppSettings.h"
#include "Core/BatchEta.h"
#include "Core/DvdBatch.h"
#include "Core/FileNames.h"
#include "Core/InputList.h"
#include "Core/MenuLayout.h"
#include "Core/TrimCheck.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"
#include "Platform/Numbers.h"

namespace qm::cli {

namespace {

void PrintConvertHelp() {
    std::printf(
        "Usage: quillmoor-cli convert [-p PRESET] [-o FOLDER] [--trim FILE=START-END]...\n"
        "                             [--disc SIZE] [--fit] [--iso FILE [--label TEXT]]\n"
        "                             [--overwrite] [--threads N] [--jobs N] [--chapters MINUTES]\n"
        "                             [--menu] [--title FILE=NAME]... [--audio mp2|ac3|pcm]\n"
        "                             [--audio-tracks all|first] [-v] [--] FILE...\n"
        "\n"
        "Converts the files, in order, into one DVD-Video folder (FOLDER/VIDEO_TS), one title\n"
        "per file.\n"
        "  -p PRESET     the preset by index 0-7 or short name (default 4, pal-hq); -p list\n"
        "                shows them\n"
        "  -o FOLDER     the output folder (default: the one the window uses)\n"
        "  --trim FILE=START-END\n"
        "                converts only that part of FILE; START and END in seconds (decimals\n"
        "                allowed) or hh:mm:ss[.mmm]; an empty END means to the end\n"
        "  --disc SIZE   the disc: dvd5 (4.7 GB, the default), dvd9 (8.5 GB), a size such as\n"
        "                700M or 4.2G (decimal units), or none for no limit. A batch whose\n"
        "                estimate passes the disc is refused before it starts\n"
        "  --fit         choose the video rate that fills the disc (two passes per file)\n"
        "  --iso FILE    write a DVD-Video image (UDF and ISO 9660) instead of the folder\n"
        "  --label TEXT  the image's volume label (default: from the image's name)\n"
        "  --overwrite   replace a DVD that FOLDER already holds, or the image FILE\n"
        "  --threads N   codec threads per conversion (default 0: one per processor)\n"
        "  --jobs N      files converted at the same time (default 1)\n"
        "  --chapters MINUTES\n"
        "                a chapter mark every MINUTES of each title (default 5, decimals\n"
        "                allowed, 0 for none)\n"
        "  --menu        give the disc a title menu: a button per title, \"Play all\", pages of\n"
        "                six titles; after a title the player comes back to the menu\n"
        "  --title FILE=NAME\n"
        "                the name FILE's button shows (default: the file name without\n"
        "                its extension)\n"
        "  --audio mp2|ac3|pcm\n"
        "                the sound format of the disc (default: mp2 for PAL presets, ac3 for\n"
        "                NTSC); ac3 keeps 5.1 sound, mp2 and pcm are stereo\n"
        "  --audio-tracks all|first\n"
        "                every sound track of a file (at most 8; default) or its first only;\n"
        "                a file without sound gets a silent track\n"
        "  -v            show the messages of the conversion engine and of dvdauthor\n"
        "  --            the end of the options: every word after it is a file\n"
        "A file that cannot be read or converted is named with the reason and left off the\n"
        "disc; the others are still converted. A file named twice (letter case ignored) is\n"
        "named and skipped. Ctrl-C stops the batch and removes what it wrote.\n"
        "Exit status: 0 every file is on the authored disc, 1 an error, 2 stopped.\n");
}

void PrintPresets() {
    const auto& presets = DvdPresets();
    for (size_t i = 0; i < presets.size(); ++i)
        std::printf("%zu  %-10s %s%s\n", i, presets[i].ShortName, presets[i].ItemText,
                    static_cast<int>(i) == DefaultPresetIndex ? "  [default]" : "");
}

// Seconds ("12", "1.5") or hh:mm:ss[.mmm] ("1:02:03.5", "02:03") as milliseconds; -1 when
// the text is neither.
int64_t ParseTime(const std::string& AText) {
    if (AText.empty())
        return -1;
    double total = 0;
    size_t start = 0;
    int parts = 0;
    while (true) {
        const size_t colon = AText.find(':', start);
        const std::string part = AText.substr(start, colon == std::string::npos ? colon : colon - start);
        if (part.empty() || part.find_first_not_of("0123456789.") != std::string::npos ||
            std::count(part.begin(), part.end(), '.') > (colon == std::string::npos ? 1 : 0))
            return -1;
        double value = 0;
        if (!ParseDecimal(part, value))
            return -1;
        total = total * 60 + value;
        if (++parts > 3)
            return -1;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return std::llround(total * 1000);
}

struct TTrim {
    int64_t StartMs = 0;
    int64_t LengthMs = 0; // 0: to the end
};

// "FILE=START-END"; false with a message.
bool ParseTrim(const std::string& AText, std::string& AFile, TTrim& ATrim, std::string& AError) {
    const size_t eq = AText.rfind('=');
    const size_t dash = eq == std::string::npos ? eq : AText.find('-', eq);
    if (eq == std::string::npos || eq == 0 || dash == std::string::npos) {
        AError = "--trim wants FILE=START-END, not \"" + AText + "\"";
        return false;
    }
    AFile = AText.substr(0, eq);
    const std::string start = AText.substr(eq + 1, dash - eq - 1), end = AText.substr(dash + 1);
    const int64_t s = start.empty() ? 0 : ParseTime(start);
    const int64_t e = end.empty() ? 0 : ParseTime(end);
    if (s < 0 || e < 0 || (!end.empty() && e <= s)) {
        AError = "--trim " + AText + ": the times are not a valid START-END range";
        return false;
    }
    ATrim.StartMs = s;
    ATrim.LengthMs = end.empty() ? 0 : e - s;
    return true;
}

std::string BaseName(const std::string& APath) {
    const size_t slash = APath.rfind('/');
    return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

// The progress display: one line rewritten in place on a terminal, plain lines otherwise.
class TProgressDisplay {
public:
    // ASideBySide: files are converted at the same time (--jobs).
    TProgressDisplay(std::vector<rInputStreamInfo>& AItems, bool ASideBySide)
        : FItems(AItems), FTerminal(::isatty(STDERR_FILENO) == 1), FSideBySide(ASideBySide),
          FFileStarts(AItems.size()) {}

    void FileStart(int AIndex) {
        // One after another a file is announced as it starts; side by side only with its
        // first report, which is then where its speed is measured from.
        if (!FSideBySide)
            FFileStarts[static_cast<size_t>(AIndex)] = {std::chrono::steady_clock::now(), 0};
        if (!FTerminal)
            Line("converting " + std::to_string(AIndex + 1) + "/" + std::to_string(FItems.size()) + " " +
                 FItems[static_cast<size_t>(AIndex)].FileName);
    }
    void FileEnd(int AIndex, const TBatchFile& AFile) {
        if (!AFile.Error.empty())
            Line("failed: " + FItems[static_cast<size_t>(AIndex)].FileName + ": " + AFile.Error);
    }
    void Authoring(bool AMenu) {
        if (!FTerminal)
            Line(AMenu ? "making the title menu and authoring the DVD folder" : "authoring the DVD folder");
    }
    void Progress(const TBatchProgress& AProgress) {
        std::string text = FormatC("%5.1f%%", AProgress.Percent);
        if (AProgress.FileIndex >= 0) {
            text += "  file " + std::to_string(AProgress.FileIndex + 1) + "/" +
                    std::to_string(AProgress.FileCount) + " " +
                    BaseName(FItems[static_cast<size_t>(AProgress.FileIndex)].FileName);
            TFileStart& start = FFileStarts[static_cast<size_t>(AProgress.FileIndex)];
            if (start.DoneMs < 0)
                start = {std::chrono::steady_clock::now(), AProgress.FileDoneMs};
            const double fileElapsed = Seconds(start.At);
            // A rate only once there is something to measure it by.
            std::string rate;
            if (AProgress.FPS > 0)
                rate = FormatC("%d fps", AProgress.FPS);
            if (fileElapsed >= 1 && AProgress.FileDoneMs > start.DoneMs)
                rate += (rate.empty() ? "" : ", ") +
                        FormatC("%.1fx", double(AProgress.FileDoneMs - start.DoneMs) / 1000.0 / fileElapsed);
            if (!rate.empty())
                text += "  " + rate;
        } else {
            text += AProgress.Stage.empty() ? "  authoring" : "  " + AProgress.Stage;
        }
        if (AProgress.EtaSeconds >= 0)
            text += "  ETA " + EtaText(AProgress.EtaSeconds);
        if (FTerminal) {
            if (text.size() < FWidth)
                text.append(FWidth - text.size(), ' ');
            FWidth = text.size();
            std::fprintf(stderr, "\r%s", text.c_str());
            std::fflush(stderr);
            FOpenLine = true;
        } else if (AProgress.Percent >= FNextPlain) {
            Line(text);
            FNextPlain = std::floor(AProgress.Percent / 10) * 10 + 10;
        }
    }
    void Line(const std::string& AText) {
        EndLine();
        std::fprintf(stderr, "%s\n", AText.c_str());
    }
    void EndLine() {
        if (FOpenLine)
            std::fprintf(stderr, "\n");
        FOpenLine = false;
        FWidth = 0;
    }

private:
    static double Seconds(std::chrono::steady_clock::time_point AFrom) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - AFrom).count();
    }
    std::vector<rInputStreamInfo>& FItems;
    bool FTerminal;
    bool FSideBySide;
    bool FOpenLine = false;
    size_t FWidth = 0;
    double FNextPlain = 10;
    struct TFileStart {
        std::chrono::steady_clock::time_point At;
        int64_t DoneMs = -1; // output time by then; -1 not yet started
    };
    std::vector<TFileStart> FFileStarts; // by file index
};

} // namespace

int RunConvert(const TArgs& args) {
    std::string preset, outPath;
    bool overwrite = false, verbose = false;
    TDiscSettings disc;
    int threads = 0, jobs = 1;
    double chapterMinutes = DefaultChapterMinutes;
    bool menu = false;
    TTrackChoices trackChoices;
    std::vector<std::pair<std::string, std::string>> titles;
    std::vector<std::string> files;
    std::vector<std::pair<std::string, TTrim>> trims;
    bool presetGiven = false, optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded) {
            files.push_back(a);
            continue;
        }
        auto value = [&](std::string& AInto) {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "Option %s needs a value\n", a.c_str());
                return false;
            }
            AInto = args[++i];
            return true;
        };
        if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            PrintConvertHelp();
            return 0;
        } else if (a == "-p" || a == "--preset") {
            if (!value(preset))
                return 1;
            presetGiven = true;
        } else if (a == "-o" || a == "--output") {
            if (!value(outPath))
                return 1;
            if (outPath.empty()) {
                std::fprintf(stderr, "-o wants a folder, not an empty name\n");
                return 1;
            }
        } else if (a == "--trim") {
            std::string text, file, error;
            TTrim trim;
            if (!value(text))
                return 1;
            if (!ParseTrim(text, file, trim, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            trims.emplace_back(AbsoluteFileName(file), trim);
        } else if (a == "--threads" || a == "--jobs") {
            std::string text;
            if (!value(text))
                return 1;
            char* end = nullptr;
            const long n = std::strtol(text.c_str(), &end, 10);
            const long least = a == "--jobs" ? 1 : 0;
            if (text.empty() || *end != '\0' || n < least || n > 64) {
                std::fprintf(stderr, "%s wants a count from %ld to 64, not \"%s\"\n", a.c_str(), least,
                             text.c_str());
                return 1;
            }
            (a == "--jobs" ? jobs : threads) = static_cast<int>(n);
        } else if (a == "--chapters") {
            std::string text;
            if (!value(text))
                return 1;
            if (!ParseChapterMinutes(text, chapterMinutes)) {
                std::fprintf(stderr, "--chapters wants minutes, 0 or from %s to %s, not \"%s\"\n",
                             ChapterMinutesText(MinChapterMinutes).c_str(),
                             ChapterMinutesText(MaxChapterMinutes).c_str(), text.c_str());
                return 1;
            }
        } else if (a == "--audio" || a == "--audio-tracks") {
            std::string text, error;
            if (!value(text))
                return 1;
            if (!ParseTrackOption(a, text, trackChoices, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        } else if (a == "--menu") {
            menu = true;
        } else if (a == "--title") {
            std::string text;
            if (!value(text))
                return 1;
            const size_t eq = text.rfind('=');
            if (eq == std::string::npos || eq == 0) {
                std::fprintf(stderr, "--title wants FILE=NAME, not \"%s\"\n", text.c_str());
                return 1;
            }
            titles.emplace_back(AbsoluteFileName(text.substr(0, eq)), text.substr(eq + 1));
        } else if (a == "--disc") {
            std::string text;
            if (!value(text))
                return 1;
            if (!ParseDiscSize(text, disc.DiscBytes)) {
                std::fprintf(stderr, "--disc wants dvd5, dvd9, none or a size such as 700M or 4.2G, not \"%s\"\n",
                             text.c_str());
                return 1;
            }
        } else if (a == "--fit") {
            disc.Fit = true;
        } else if (a == "--iso") {
            if (!value(disc.ImageFile))
                return 1;
        } else if (a == "--label") {
            if (!value(disc.VolumeLabel))
                return 1;
        } else if (a == "--overwrite") {
            overwrite = true;
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "quillmoor-cli convert: unknown option %s (see --help)\n", a.c_str());
            return 1;
        } else {
            files.push_back(a);
        }
    }
    if (preset == "list") {
        PrintPresets();
        return 0;
    }
    const int presetIndex = !presetGiven ? DefaultPresetIndex : preset.empty() ? -1 : FindDvdPreset(preset);
    if (presetIndex < 0) {
        std::fprintf(stderr, "Unknown preset \"%s\"; quillmoor-cli convert -p list shows them.\n",
                     preset.c_str());
        return 1;
    }
    if (files.empty()) {
        std::fprintf(stderr, "quillmoor-cli convert: no files given (see --help)\n");
        return 1;
    }
    if (!disc.ImageFile.empty()) {
        if (!outPath.empty()) {
            std::fprintf(stderr, "Give either -o FOLDER or --iso FILE: the image is made beside its file.\n");
            return 1;
        }
        disc.ImageFile = AbsoluteFileName(disc.ImageFile);
        outPath = disc.ImageFile.substr(0, disc.ImageFile.rfind('/') + 1);
    }
    if (disc.Fit && disc.DiscBytes <= 0) {
        std::fprintf(stderr, "--fit needs a disc size (--disc), not none.\n");
        return 1;
    }
    if (outPath.empty()) {
        outPath = LoadSettings().OutPath;
        if (outPath.empty())
            outPath = DefaultOutPath();
        if (!HasHomeFolder())
            std::fprintf(stderr, "There is no home folder (HOME), so the disc goes into %s\n", outPath.c_str());
    }

    // The menu's pictures are drawn with QtGui, which needs its application object; no
    // window is opened.
    std::unique_ptr<TOffscreenDrawing> drawing;
    if (menu)
        drawing = std::make_unique<TOffscreenDrawing>();

    TDvdBatch batch(ProgramFolder());
    if (!batch.LoadLibraries()) {
        std::fprintf(stderr, "%s\n", batch.LastError().c_str());
        return 1;
    }
    GetLogger().SetOnLog([verbose](const void*, uint32_t, TLogLevel ALevel, const std::string& ALine) {
        if (verbose || ALevel <= llError)
            std::fprintf(stderr, "%s\n", ALine.c_str());
    });
    if (!verbose)
        GetLogger().SetLogLevel(llError);

    TInputList list;
    std::vector<std::string> absolute;
    for (const auto& f : files)
        absolute.push_back(AbsoluteFileName(f));
    std::vector<std::string> skipped;
    const std::string unreadable = list.Add(absolute, batch.Converter().Probe(), &skipped);
    for (const auto& name : skipped)
        std::fprintf(stderr,
                     "%s: already in the list (names are compared without letter case), skipped\n",
                     name.c_str());
    if (!unreadable.empty())
        std::fprintf(stderr, "%s\n", unreadable.substr(1).c_str());
    for (const auto& [file, trim] : trims) {
        // Found as the list finds its names, so a trim reaches the file it kept.
        rInputStreamInfo* item = list.Find(file);
        if (!item) {
            std::fprintf(stderr, "--trim names %s, which is not among the files\n", file.c_str());
            return 1;
        }
        std::string error;
        if (!SetTrim(*item, trim.StartMs, trim.LengthMs, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    for (const auto& [file, name] : titles) {
        rInputStreamInfo* item = list.Find(file);
        if (!item) {
            std::fprintf(stderr, "--title names %s, which is not among the files\n", file.c_str());
            return 1;
        }
        item->TitleName = name;
    }
    if (list.Items().empty()) {
        std::fprintf(stderr, "None of the files can be converted.\n");
        return 1;
    }

    batch.OutPath = outPath;
    batch.PresetIndex = presetIndex;
    batch.Overwrite = overwrite;
    batch.Threads = threads;
    batch.Jobs = jobs;
    batch.ChapterMinutes = chapterMinutes;
    batch.TitleMenu = menu;
    batch.Disc = disc;
    batch.Tracks = trackChoices;
    TProgressDisplay display(list.Items(), jobs > 1 && !disc.Fit); // a fitted disc: one after another
    batch.OnFileStart = [&display](int AIndex, const rInputStreamInfo&) { display.FileStart(AIndex); };
    batch.OnFileEnd = [&display](int AIndex, const TBatchFile& AFile) { display.FileEnd(AIndex, AFile); };
    batch.OnUiState = [&display, menu](TBatchUiState AState) {
        if (AState == bsAuthoring)
            display.Authoring(menu);
    };
    batch.OnProgress = [&display](const TBatchProgress& AProgress) { display.Progress(AProgress); };
    if (verbose)
        batch.OnAuthoringLine = [&display](const std::string& ALine) { display.Line("dvdauthor: " + ALine); };

    disc.MenuBytes = menu ? TitleMenuBytes(list.Items().size()) : 0;
    display.Line("Disc: " + EstimateUsage(list.Items(), DvdPresets()[size_t(presetIndex)], disc).Text());
    TBatchResult result;
    {
        TInterruptToMainThread interrupt([&batch] { batch.Stop(); });
        result = batch.Convert(list.Items());
    }
    display.EndLine();
    for (const auto& note : result.Notes)
        std::fprintf(stderr, "%s\n", note.c_str());
    if (result.Stopped) {
        std::fprintf(stderr, "Stopped; nothing was written to %s.\n",
                     disc.ImageFile.empty() ? outPath.c_str() : disc.ImageFile.c_str());
        return 2;
    }
    if (!result.Authored) {
        std::fprintf(stderr, "%s\n", result.Error.c_str());
        return 1;
    }
    const std::string out = IncludeTrailingSlash(outPath);
    if (disc.ImageFile.empty())
        std::printf("DVD folder: %sVIDEO_TS\n", out.c_str());
    else
        std::printf("DVD image: %s\n", disc.ImageFile.c_str());
    for (const auto& f : result.Files) {
        if (f.Title > 0)
            std::printf("  title %d: %s\n", f.Title, f.FileName.c_str());
        else
            std::printf("  not on the disc: %s (%s)\n", f.FileName.c_str(), f.Error.c_str());
    }
    return result.Complete() && unreadable.empty() && skipped.empty() ? 0 : 1;
}

} // namespace qm::cli
