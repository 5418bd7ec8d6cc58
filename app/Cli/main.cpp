// quillmoor-cli: the DVD batch and the conversion engine without a window.
#include <cstdio>
#include <cstring>

#include "Cli/CliCommands.h"
#include "Platform/MainThread.h"

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: quillmoor-cli COMMAND [ARGS...]\n"
                 "\n"
                 "Commands:\n"
                 "  convert FILE... convert the files into a DVD-Video folder (convert --help)\n"
                 "  engine ARGS   drive one conversion engine with named options (engine --help)\n"
                 "  libraries     load the media libraries and show which files were used\n"
                 "  play FILE     play a file in a window (play --help)\n"
                 "  probe FILE... show each file's container, duration, size and streams\n"
                 "  --version     print the program's version\n"
                 "  --help        show this text\n");
}

} // namespace

int main(int argc, char** argv) {
    qm::TMainThread::Install();
    if (argc < 2) {
        PrintUsage(stderr);
        return 1;
    }
    const std::string command = argv[1];
    qm::cli::TArgs args(argv + 2, argv + argc);
    if (command == "--version" || command == "version") {
        std::printf("quillmoor-cli %s\n", QM_VERSION);
        return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        PrintUsage(stdout);
        return 0;
    }
    if (command == "convert")
        return qm::cli::RunConvert(args);
    if (command == "engine")
        return qm::cli::RunEngine(args);
    if (command == "libraries")
        return qm::cli::RunLibraries(args);
    if (command == "play")
        return qm::cli::RunPlay(args);
    if (command == "probe")
        return qm::cli::RunProbe(args);
    std::fprintf(stderr, "quillmoor-cli: unknown command '%s'\n\n", command.c_str());
    PrintUsage(stderr);
    return 1;
}
