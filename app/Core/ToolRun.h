// One run of an external tool of the disc (dvdauthor, spumux): its shell command line run
// through the redirector, its lines collected, and a wait on the main thread that serves
// hand-overs and can be cut short.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qm {

class TRedirector;

class TToolRun {
public:
    // Runs ACommandline (/bin/sh text) with AVariables ("NAME=value") added to the
    // environment and waits for its end. False with the reason — its exit status and last
    // lines, or that it was stopped — in AError.
    bool Run(const std::string& ACommandline, const std::vector<std::string>& AVariables, std::string& AError);
    // Main thread, while Run waits: ends the tool; Run then fails with "stopped".
    void Cancel();
    bool Cancelled() const { return FCancelled; }
    // After Run: whether the tool could be started, its exit status, and what went wrong
    // with the run itself ("" when nothing did).
    bool Started() const { return FStarted; }
    int ExitCode() const { return FExitCode; }
    const std::string& RunError() const { return FRunError; }

    // Every non-empty line the tool prints, on the main thread.
    std::function<void(const std::string& ALine)> OnLine;
    // Set instead of OnLine: what the tool prints, chunk by chunk as it comes.
    std::function<void(const char* ABuffer, uint32_t ASize)> OnData;

private:
    std::vector<std::string> FLastLines;
    TRedirector* FRunning = nullptr;
    bool FCancelled = false;
    bool FStarted = false;
    int FExitCode = 0;
    std::string FRunError;
};

} // namespace qm
