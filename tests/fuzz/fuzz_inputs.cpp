// fuzz-inputs: damaged copies of the fixture clips through the probe and the whole batch.
//
//   fuzz-inputs [--count N] [--seconds S] [--seed N] [--keep DIR] [--work DIR] FILE...
//   fuzz-inputs --replay DIR|FILE... [--keep DIR] [--work DIR]
//   fuzz-inputs --minimise FILE [--seconds S] [--keep DIR] [--work DIR]
//
// Each input is a copy of one FILE with a few mutations (bytes flipped, runs overwritten with
// noise or with the extreme values a header field can take, cut short, a piece cut out or
// doubled). It goes through "quillmoor-cli probe", then through "quillmoor-cli convert"
// together with a good clip. What counts as a finding: a program that ends on a signal, a
// sanitizer report, a run past its time, an exit status other than 0 or 1, no disc although
// the good clip can always go onto one, or a working folder left in the output folder. The
// findings are copied into --keep (default: the work folder) under a name that says what
// happened. --replay runs files as they are (a committed corpus, say); --minimise cuts a
// finding down to the smallest piece that still shows the same finding.
//
// Exit status 0 no finding, 1 findings, 2 bad arguments, 77 dvdauthor is not installed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "Fixtures.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using TBytes = std::string;
using TClock = std::chrono::steady_clock;

constexpr int ProbeSeconds = 60;
constexpr int ConvertSeconds = 300;
constexpr int SanitizerExit = 86;

struct TSettings {
    int Count = 20;
    double Seconds = 600;
    unsigned Seed = 1;
    std::string Keep, Work;
    std::string Mode = "fuzz"; // fuzz, replay, minimise
    std::vector<std::string> Files;
};

TBytes ReadFile(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& APath, const TBytes& AData) {
    std::ofstream(APath, std::ios::binary | std::ios::trunc) << AData;
}

std::string ProgramFolder() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}

struct TRun {
    int Status = -1; // the exit status; 128 + the signal when it ended on one
    std::string Output;
};

// Runs AArgs (no shell) under "timeout", the output of both streams collected.
TRun Run(const std::vector<std::string>& AArgs, int ASeconds, const std::string& AOutputFile) {
    std::vector<std::string> args = {"timeout", "-s", "KILL", std::to_string(ASeconds)};
    args.insert(args.end(), AArgs.begin(), AArgs.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, AOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    TRun run;
    const int spawned = posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return run;
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid)
        run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.Output = ReadFile(AOutputFile);
    return run;
}

// What went wrong with one program's run; "" when nothing did.
std::string Verdict(const std::string& AWhat, const TRun& ARun) {
    if (ARun.Status == 137)
        return AWhat + "-timeout";
    if (ARun.Status == SanitizerExit)
        return AWhat + "-sanitizer";
    if (ARun.Status >= 128)
        return AWhat + "-signal-" + std::to_string(ARun.Status - 128);
    if (ARun.Status != 0 && ARun.Status != 1)
        return AWhat + "-exit-" + std::to_string(ARun.Status);
    return {};
}

class TChecker {
public:
    explicit TChecker(std::string AWork)
        : FWork(std::move(AWork)), FCli(ProgramFolder() + "/quillmoor-cli"),
          FGood(qm::fixtures::FixturePath("mp4_no_audio.mp4")) {
        // A sanitizer's report is a finding of its own, not an ordinary failure.
        ::setenv("ASAN_OPTIONS", ("exitcode=" + std::to_string(SanitizerExit)).c_str(), 1);
        ::setenv("UBSAN_OPTIONS", ("halt_on_error=1:exitcode=" + std::to_string(SanitizerExit)).c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (FWork + "/config").c_str(), 1);
    }

    // The finding for the input file AInput (named as the batch sees it); "" when none.
    std::string Check(const std::string& AInput, std::string& AOutput) {
        const std::string log = FWork + "/run.log";
        const TRun probe = Run({FCli, "probe", AInput}, ProbeSeconds, log);
        AOutput = probe.Output;
        if (std::string v = Verdict("probe", probe); !v.empty())
            return v;
        const std::string out = FWork + "/out";
        std::error_code ec;
        fs::remove_all(out, ec);
        const TRun convert = Run({FCli, "convert", "-p", "pal-lp", "-o", out, FGood, AInput}, ConvertSeconds, log);
        AOutput += convert.Output;
        if (std::string v = Verdict("convert", convert); !v.empty())
            return v;
        for (const auto& e : fs::directory_iterator(out, ec))
            if (e.path().filename().string().rfind(".quillmoor-", 0) == 0)
                return "convert-left-working-folder";
        if (convert.Output.find("DVD folder: ") == std::string::npos)
            return "convert-no-disc";
        return {};
    }

private:
    std::string FWork, FCli, FGood;
};

// One to three mutations of AData.
TBytes Mutate(TBytes AData, std::mt19937& ARandom) {
    auto below = [&](size_t AN) { return AN ? std::uniform_int_distribution<size_t>(0, AN - 1)(ARandom) : 0; };
    const int count = 1 + static_cast<int>(below(3));
    for (int m = 0; m < count && AData.size() > 64; ++m) {
        const size_t at = below(AData.size());
        const size_t run = std::min<size_t>(1 + below(64), AData.size() - at);
        switch (below(7)) {
        case 0: // flip bits
            for (size_t i = 0, n = 1 + below(16); i < n; ++i)
                AData[below(AData.size())] ^= static_cast<char>(1 << below(8));
            break;
        case 1: // noise
            for (size_t i = 0; i < run; ++i)
                AData[at + i] = static_cast<char>(below(256));
            break;
        case 2: { // a header field at its extremes, near the start where the headers are
            static const char* const values[] = {"\x00\x00\x00\x00", "\xff\xff\xff\xff", "\x7f\xff\xff\xff",
                                                 "\x80\x00\x00\x00", "\x00\x00\x00\x01"};
            const size_t field = below(std::min<size_t>(AData.size(), 4096) - 4);
            AData.replace(field, 4, values[below(5)], 4);
            break;
        }
        case 3: // cut short
            AData.resize(std::max<size_t>(64, at));
            break;
        case 4: // a piece cut out
            AData.erase(at, run * 16);
            break;
        case 5: // a piece twice
            AData.insert(at, AData.substr(at, run * 16));
            break;
        default: // zeros
            AData.replace(at, run, run, '\0');
            break;
        }
    }
    return AData;
}

std::string Extension(const std::string& APath) { return fs::path(APath).extension().string(); }

// Keeps AInput's bytes in the keep folder under a name that says what happened.
void KeepFinding(const TSettings& ASettings, const std::string& AFinding, const TBytes& AData,
                 const std::string& AFrom, int AIndex) {
    const std::string name = ASettings.Keep + "/" + AFinding + "-" + fs::path(AFrom).stem().string() + "-" +
                             std::to_string(AIndex) + Extension(AFrom);
    WriteFile(name, AData);
    std::printf("finding %s: kept as %s\n", AFinding.c_str(), name.c_str());
}

int Fuzz(const TSettings& ASettings, TChecker& AChecker) {
    std::mt19937 random(ASettings.Seed);
    const auto end = TClock::now() + std::chrono::duration<double>(ASettings.Seconds);
    int inputs = 0, findings = 0;
    for (int i = 0; i < ASettings.Count && TClock::now() < end; ++i) {
        const std::string& from = ASettings.Files[i % ASettings.Files.size()];
        const TBytes data = Mutate(ReadFile(from), random);
        const std::string input = ASettings.Work + "/input" + Extension(from);
        WriteFile(input, data);
        std::string output;
        const std::string finding = AChecker.Check(input, output);
        ++inputs;
        std::printf("%d %s: %s\n", i, fs::path(from).filename().c_str(), finding.empty() ? "ok" : finding.c_str());
        std::fflush(stdout);
        if (!finding.empty()) {
            ++findings;
            KeepFinding(ASettings, finding, data, from, i);
        }
    }
    std::printf("%d inputs (seed %u), %d findings\n", inputs, ASettings.Seed, findings);
    return findings ? 1 : 0;
}

int Replay(const TSettings& ASettings, TChecker& AChecker) {
    std::vector<std::string> files;
    for (const auto& f : ASettings.Files) {
        if (fs::is_directory(f)) {
            for (const auto& e : fs::directory_iterator(f))
                if (e.is_regular_file() && e.path().extension() != ".md")
                    files.push_back(e.path().string());
        } else {
            files.push_back(f);
        }
    }
    std::sort(files.begin(), files.end());
    int findings = 0;
    for (const auto& file : files) {
        // A copy, so that the batch's messages name a file of the work folder only.
        const std::string input = ASettings.Work + "/input" + Extension(file);
        fs::copy_file(file, input, fs::copy_options::overwrite_existing);
        std::string output;
        const std::string finding = AChecker.Check(input, output);
        std::printf("%s: %s\n", fs::path(file).filename().c_str(), finding.empty() ? "ok" : finding.c_str());
        if (!finding.empty()) {
            ++findings;
            std::printf("%s\n", output.c_str());
        }
    }
    std::printf("%zu inputs, %d findings\n", files.size(), findings);
    return findings ? 1 : 0;
}

// Cuts pieces out of the file, halves first, while the same finding shows.
int Minimise(const TSettings& ASettings, TChecker& AChecker) {
    const std::string& from = ASettings.Files.front();
    TBytes data = ReadFile(from);
    const std::string input = ASettings.Work + "/input" + Extension(from);
    std::string output;
    WriteFile(input, data);
    const std::string finding = AChecker.Check(input, output);
    if (finding.empty()) {
        std::printf("%s shows no finding\n", from.c_str());
        return 1;
    }
    const auto end = TClock::now() + std::chrono::duration<double>(ASettings.Seconds);
    for (size_t piece = data.size() / 2; piece >= 16 && TClock::now() < end; piece /= 2) {
        for (size_t at = 0; at + piece <= data.size() && TClock::now() < end;) {
            TBytes smaller = data;
            smaller.erase(at, piece);
            WriteFile(input, smaller);
            if (AChecker.Check(input, output) == finding) {
                data = std::move(smaller);
                std::printf("%s: %zu bytes\n", finding.c_str(), data.size());
                std::fflush(stdout);
            } else {
                at += piece;
            }
        }
    }
    KeepFinding(ASettings, finding + "-minimised", data, from, 0);
    return 0;
}

bool ParseArguments(int argc, char** argv, TSettings& ASettings) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--count" && (v = value()))
            ASettings.Count = std::atoi(v);
        else if (a == "--seconds" && (v = value()))
            ASettings.Seconds = std::strtod(v, nullptr);
        else if (a == "--seed" && (v = value()))
            ASettings.Seed = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
        else if (a == "--keep" && (v = value()))
            ASettings.Keep = v;
        else if (a == "--work" && (v = value()))
            ASettings.Work = v;
        else if (a == "--replay")
            ASettings.Mode = "replay";
        else if (a == "--minimise")
            ASettings.Mode = "minimise";
        else if (a.rfind("--", 0) == 0)
            return false;
        else
            ASettings.Files.push_back(a);
    }
    return !ASettings.Files.empty() && ASettings.Count >= 0 && ASettings.Seconds > 0;
}

} // namespace

int main(int argc, char** argv) {
    TSettings settings;
    if (!ParseArguments(argc, argv, settings)) {
        std::fprintf(stderr, "usage: fuzz-inputs [--count N] [--seconds S] [--seed N] [--keep DIR] [--work DIR] FILE...\n"
                             "       fuzz-inputs --replay DIR|FILE... [--keep DIR] [--work DIR]\n"
                             "       fuzz-inputs --minimise FILE [--seconds S] [--keep DIR] [--work DIR]\n");
        return 2;
    }
    if (std::system("command -v dvdauthor >/dev/null 2>&1") != 0) {
        std::printf("fuzz-inputs: dvdauthor is not installed (scripts/install-deps.sh installs it)\n");
        return 77;
    }
    std::error_code ec;
    bool ownWork = false;
    if (settings.Work.empty()) {
        std::string tmpl = (fs::temp_directory_path() / "fuzz-inputs-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) {
            std::perror("fuzz-inputs: work folder");
            return 2;
        }
        settings.Work = tmpl;
        ownWork = true;
    }
    fs::create_directories(settings.Work, ec);
    if (settings.Keep.empty())
        settings.Keep = settings.Work + "/findings";
    fs::create_directories(settings.Keep, ec);
    TChecker checker(settings.Work);
    const int result = settings.Mode == "replay"     ? Replay(settings, checker)
                       : settings.Mode == "minimise" ? Minimise(settings, checker)
                                                     : Fuzz(settings, checker);
    // A work folder of our own goes unless it holds findings.
    if (ownWork && fs::is_empty(settings.Keep, ec))
        fs::remove_all(settings.Work, ec);
    return result;
}
