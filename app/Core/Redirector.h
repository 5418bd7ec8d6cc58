// Runs one external program with its standard handles on pipes and hands what it writes,
// chunk by chunk, to the user-interface thread until it ends.
//
// The command line is /bin/sh text: Commandline alone runs as `sh -c Commandline`; with
// ApplicationName set, that program is run as named (taken literally, no quoting needed) with
// Commandline as its shell-parsed arguments. The child runs in a process group of its own, so
// that ending it also ends whatever it started (a script and the program it runs).
//
// All operations and events belong to the user-interface thread (TMainThread). Whoever waits
// there for the child to end must keep serving hand-overs: TMainThread::WaitFor does.
#pragma once


#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/FileUtils.h" // ShellQuote, for building command lines

namespace qm {

class TRedirector;

// The polling thread of one child: watches both output pipes and the child, and hands every
// chunk and the end of the child over to the user-interface thread, waiting each time.
// Starts at once; owned by its redirector, which stops it and waits for it safely.
class TRedirectorThread {
public:
    struct TShared;

    // Takes over the two pipe read ends and the pidfd (-1: none).
    TRedirectorThread(TRedirector* AOwner, int AStdoutFd, int AStderrFd, pid_t APid, int APidFd);
    ~TRedirectorThread(); // joins, or detaches when it must not wait (see Release)
    TRedirectorThread(const TRedirectorThread&) = delete;
    TRedirectorThread& operator=(const TRedirectorThread&) = delete;

    // Any thread: asks the loop to end; no further hand-over reaches the redirector.
    void Terminate();
    bool Terminated() const;
    // Main thread: stops the thread and waits for it while serving hand-overs, or lets it
    // run out on its own when waiting is impossible (called from inside its own hand-over).
    void Release(bool ACanWait);

private:
    static void Run(TShared& AShared);
    static void Execute(TShared& AShared);
    // Sleeps until a pipe has data or closes, the child ends or a stop is asked for.
    // Returns whether the child has ended.
    static bool WaitForChange(TShared& AShared, bool& AStdoutOpen, bool& AStderrOpen);

    std::shared_ptr<TShared> FShared;
    std::thread FThread;
    friend class TRedirector;
};

class TRedirector {
public:
    // sender, buffer (not zero-terminated), byte count
    using TDataEvent =
        std::function<void(TRedirector* ASender, const char* ABuffer, uint32_t ASize)>;
    using TNotifyEvent = std::function<void(TRedirector* ASender)>;

    TRedirector();
    // Kills a running child first when KillOnDestroy is set; otherwise the child goes on and is
    // reaped when it ends. Waits for the reader thread, serving hand-overs meanwhile.
    virtual ~TRedirector();
    TRedirector(const TRedirector&) = delete;
    TRedirector& operator=(const TRedirector&) = delete;

    const std::string& ApplicationName() const { return FApplicationName; }
    void SetApplicationName(const std::string& AValue) { FApplicationName = AValue; }
    const std::string& Commandline() const { return FCommandline; }
    // While a child runs only the same text (any letter case) is accepted.
    void SetCommandline(const std::string& AValue);
    bool DefaultErrorMode() const { return FDefaultErrorMode; }
    // True: the child starts with default signal dispositions and an empty signal mask
    // instead of inheriting the caller's (ignored SIGPIPE and the like).
    void SetDefaultErrorMode(bool AValue);
    uint8_t InitialPriority() const { return FInitialPriority; }
    void SetInitialPriority(uint8_t AValue); // stored only
    bool KillOnDestroy() const { return FKillOnDestroy; }
    void SetKillOnDestroy(bool AValue) { FKillOnDestroy = AValue; }
    const std::string& CurrentDirectory() const { return FCurrentDirectory; }
    void SetCurrentDirectory(const std::string& AValue) { FCurrentDirectory = AValue; }
    // "NAME=value" entries; none means the caller's environment.
    const std::optional<std::vector<std::string>>& Environment() const { return FEnvironment; }
    void SetEnvironment(std::optional<std::vector<std::string>> AValue) {
        FEnvironment = std::move(AValue);
    }
    uint16_t ShowWindow() const { return FShowWindow; }
    void SetShowWindow(uint16_t AValue) { FShowWindow = AValue; } // no windows here: stored only

    bool Running() const { return FPid != 0; }
    pid_t ProcessId() const { return FPid; }
    // The ended child's exit status: its exit code, the code given to Terminate when ended that
    // way, else 128 + the signal that ended it. Set before OnTerminated.
    uint32_t ExitCode() const { return FExitCode; }
    // Text of the last failure, including one met while reading the pipes or inside a handler
    // (those end the child; its end is still reported through OnTerminated).
    const std::string& LastError() const { return FLastError; }

    // Starts the child and waits until it ends or 5 s have passed, so that a short-lived
    // child is done on return; its output still arrives through the reader afterwards.
    // Throws std::runtime_error with the fixed messages.
    void Execute();
    // Ends the child; OnTerminated follows through the reader thread.
    void Terminate(uint32_t AExitCode);

    TDataEvent OnData;
    TDataEvent OnErrorData;
    TNotifyEvent OnTerminated;

protected:
    // The one read of a pipe, replaceable to test failures.
    virtual ssize_t ReadPipe(int AFd, char* ABuffer, size_t ACount);

private:
    friend class TRedirectorThread;

    std::string FullCommand() const;
    [[noreturn]] void Fail(const std::string& AMessage);
    [[noreturn]] void FailErrno(const std::string& AMessage, int AError);
    void KillChild(uint32_t AExitCode);
    void Reap();
    void ReleaseReader();
    void CloseHandles();
    // Hand-overs, run on the user-interface thread while the reader thread waits.
    void ReadOutput(TRedirectorThread::TShared& AShared, bool AErrorPipe);
    void ReadFailure(TRedirectorThread::TShared& AShared, const std::string& AMessage);
    void ProcessEnded(TRedirectorThread::TShared& AShared);

    std::string FApplicationName;
    std::string FCommandline;
    bool FDefaultErrorMode = false;
    bool FKillOnDestroy = false;
    std::string FCurrentDirectory;
    std::optional<std::vector<std::string>> FEnvironment;
    uint8_t FInitialPriority = 0;
    uint16_t FShowWindow = 0;

    // The running child; all of it belongs to the user-interface thread.
    pid_t FPid = 0;
    bool FReaped = false; // waited for: the pid may be reused, never signal it again
    bool FKilled = false; // ended by us, reported as FKillExitCode
    uint32_t FKillExitCode = 0;
    uint32_t FExitCode = 0;
    int FStdinWrite = -1; // kept open so the child's stdin stays connected
    std::unique_ptr<TRedirectorThread> FReaderThread;
    int FHandOverDepth = 0; // >0 while one of our hand-overs runs
    std::shared_ptr<int> FLifeToken = std::make_shared<int>(0); // lets hand-overs see a destroy
    std::string FLastError;
};

} // namespace qm
