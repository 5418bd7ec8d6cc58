// quillmoor-cli engine: one conversion engine driven by named options, left to right.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "Cli/CliCommands.h"
#include "Cli/Interrupt.h"
#include "Engine/FFmpeg.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"
#include "Platform/MainThread.h"
#include "Platform/Numbers.h"

namespace qm::cli {

namespace {

void PrintEngineHelp() {
    std::printf(
        "Usage: quillmoor-cli engine [-NAME VALUE]... [-i INPUT]... [-NAME VALUE]... OUTPUT...\n"
        "\n"
        "Drives one conversion engine the way a command-line transcoder is driven.\n"
        "Arguments are read from left to right:\n"
        "  -i FILE       opens FILE as an input (the options before it apply to it)\n"
        "  -NAME VALUE   sets the engine option NAME; every option takes exactly one value,\n"
        "                flags included (\"-vn 1\", \"-an 1\", \"-copyts 1\")\n"
        "  OUTPUT        creates an output file (the options before it apply to it)\n"
        "Then the conversion runs with its progress on one line; Ctrl-C stops it.\n"
        "Exit status: 0 finished, 1 an error (its message on stderr), 2 stopped.\n");
}

// The progress line ends without a line break, so that the next report overwrites it;
// whatever else is printed starts on a line of its own.
std::atomic<bool> OnProgressLine{false};

void EndProgressLine() {
    if (OnProgressLine.exchange(false))
        std::fputc('\n', stderr);
}

} // namespace

int RunEngine(const TArgs& args) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            PrintEngineHelp();
            return 0;
        }
    }
    if (!LoadConverterLibraries())
        return 1;
    GetLogger().SetOnLog([](const void*, uint32_t, TLogLevel, const std::string& line) {
        EndProgressLine();
        std::fprintf(stderr, "%s\n", line.c_str());
    });

    TCustomFFmpeg engine;
    engine.ResetEngine();
    try {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.size() > 1 && a[0] == '-') {
                if (i + 1 >= args.size()) {
                    std::fprintf(stderr, "Option %s needs a value\n", a.c_str());
                    return 1;
                }
                const std::string name = a.substr(1), value = args[++i];
                if (name == "i") {
                    if (!engine.OpenInputFile(value)) {
                        std::fprintf(stderr, "%s\n", engine.LastError().c_str());
                        return 1;
                    }
                } else {
                    engine.SetOption(name, value);
                }
            } else if (engine.OpenOutputFile(a) < 0) {
                std::fprintf(stderr, "%s\n", engine.LastError().c_str());
                return 1;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    std::atomic<bool> ended{false};
    engine.ProgressNotify = [](TCustomFFmpeg*, int32_t frame, int32_t fps, int32_t timeMs, float q,
                               float kbps, int64_t size, int32_t) {
        std::fputs(FormatC("\rframe=%5d fps=%3d q=%4.1f size=%8lldkB time=%02d:%02d:%02d.%02d "
                           "bitrate=%7.1fkbits/s",
                           frame, fps, q, static_cast<long long>(size / 1024), timeMs / 3600000,
                           timeMs / 60000 % 60, timeMs / 1000 % 60, timeMs / 10 % 100, kbps)
                       .c_str(),
                   stderr);
        OnProgressLine = true;
    };
    engine.TerminateNotify = [&](TCustomFFmpeg*) {
        ended = true;
        TMainThread::Wake();
    };
    TInterruptToMainThread interrupt([&engine] { engine.StopConvert(false); });
    if (TConvertThread* worker = engine.StartConvert(true))
        worker->Resume();
    TMainThread::WaitFor([&] { return ended.load(); });
    EndProgressLine();
    // The engine has logged the message of an exception already.
    if (engine.ExceptionRaised())
        return 1;
    return engine.Finished() ? 0 : 2;
}

} // namespace qm::cli
