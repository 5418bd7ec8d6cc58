#include "Core/Redirector.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <stdexcept>

#include "Platform/MainThread.h"

namespace qm {

namespace {

// The pipes are asked for this much room; Linux rounds it up to one page.
constexpr int PipeBufferSize = 1024;
// How long Execute waits for a short-lived child before the reader takes over.
constexpr int StartWaitMs = 5000;
// The reader's poll interval where the kernel cannot tell it of the child's end.
constexpr int FallbackPollMs = 100;

// Blanks and control characters at either end do not count.
std::string Trim(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
        --last;
    return text.substr(first, last - first);
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Keeps our pipe ends off 0, 1 and 2, so that placing them there in the child cannot
// overwrite one with another when the caller runs with a standard handle closed.
int MoveAboveStandardFds(int fd) {
    if (fd > 2)
        return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// 0 or the errno of the failure.
int MakePipe(int (&fds)[2]) {
    fds[0] = fds[1] = -1;
    int made[2];
    if (::pipe2(made, O_CLOEXEC) != 0)
        return errno;
    for (int i = 0; i < 2; ++i) {
        fds[i] = MoveAboveStandardFds(made[i]);
        if (fds[i] < 0) {
            int error = errno;
            CloseFd(fds[0]);
            if (i == 0)
                ::close(made[1]);
            CloseFd(fds[1]);
            return error;
        }
    }
    ::fcntl(fds[0], F_SETPIPE_SZ, PipeBufferSize); // a request only
    return 0;
}

void SetNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Through the system call: this C library's header lacks C++ linkage for it.
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

pid_t WaitPid(pid_t pid, int* status) {
    pid_t r;
    do {
        r = ::waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

// What the reader thread, its hand-overs and the redirector share. It outlives whichever
// of them ends last, so a hand-over still queued after a destroy finds Owner empty.
struct TRedirectorThread::TShared {
    ~TShared() {
        CloseFd(StdoutFd);
        CloseFd(StderrFd);
        CloseFd(PidFd);
        CloseFd(WakeFd);
    }

    TRedirector* Owner = nullptr; // user-interface thread only
    // The reader's descriptors; the hand-overs use the pipes while the reader waits for them.
    int StdoutFd = -1;
    int StderrFd = -1;
    int PidFd = -1;  // readable once the child has ended; -1 where the kernel lacks it
    int WakeFd = -1; // wakes the reader's poll on a stop request
    pid_t Pid = 0;
    std::atomic<bool> Stop{false};
    std::atomic<bool> ReadFailed{false}; // no more reading: only the child's end is awaited
    // Written by the reader, read by the hand-over while the reader waits for it.
    uint32_t BytesAvailable = 0;
    std::mutex Lock;
    bool Finished = false; // guarded by Lock
};

TRedirectorThread::TRedirectorThread(TRedirector* AOwner, int AStdoutFd, int AStderrFd, pid_t APid,
                                     int APidFd)
    : FShared(std::make_shared<TShared>()) {
    FShared->Owner = AOwner;
    FShared->StdoutFd = AStdoutFd;
    FShared->StderrFd = AStderrFd;
    FShared->Pid = APid;
    FShared->PidFd = APidFd;
    FShared->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    try {
        FThread = std::thread([shared = FShared] { Run(*shared); });
    } catch (...) {
        // The caller keeps its descriptors when there is no thread to own them.
        FShared->StdoutFd = FShared->StderrFd = FShared->PidFd = -1;
        throw;
    }
}

void TRedirectorThread::Run(TShared& shared) {
    try {
        Execute(shared);
    } catch (...) {
        // Nothing is left to tell: the redirector learns of the end through Release.
    }
    CloseFd(shared.StdoutFd);
    CloseFd(shared.StderrFd);
    CloseFd(shared.PidFd);
    {
        std::lock_guard lock(shared.Lock);
        shared.Finished = true;
    }
    TMainThread::Wake();
}

TRedirectorThread::~TRedirectorThread() { Release(true); }

void TRedirectorThread::Terminate() {
    FShared->Stop = true;
    if (FShared->WakeFd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(FShared->WakeFd, &one, sizeof one);
    }
}

bool TRedirectorThread::Terminated() const { return FShared->Stop; }

void TRedirectorThread::Release(bool ACanWait) {
    Terminate();
    FShared->Owner = nullptr;
    if (!FThread.joinable())
        return;
    if (!ACanWait) {
        // Called from inside one of its hand-overs: it ends once that returns.
        FThread.detach();
        return;
    }
    auto shared = FShared;
    TMainThread::WaitFor([shared] {
        std::lock_guard lock(shared->Lock);
        return shared->Finished;
    });
    FThread.join();
}

namespace {

bool PeekPipe(TRedirectorThread::TShared& shared, int fd) {
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)
        return false;
    shared.BytesAvailable = static_cast<uint32_t>(waiting);
    return true;
}

} // namespace

void TRedirectorThread::Execute(TShared& shared) {
    bool stdoutOpen = true, stderrOpen = true;
    bool ended = false;
    auto handOverOutput = [&shared](bool errorPipe) {
        TMainThread::Synchronize([&shared, errorPipe] {
            if (shared.Owner)
                shared.Owner->ReadOutput(shared, errorPipe);
        });
    };
    while (!shared.Stop) {
        bool hadData = false;
        if (!shared.ReadFailed && stdoutOpen && PeekPipe(shared, shared.StdoutFd)) {
            hadData = true;
            handOverOutput(false);
            if (shared.Stop)
                break;
        }
        if (!shared.ReadFailed && stderrOpen && PeekPipe(shared, shared.StderrFd)) {
            hadData = true;
            handOverOutput(true);
            if (shared.Stop)
                break;
        }
        if (hadData)
            continue;
        if (ended) {
            // Only a pass that found the pipes empty after the child's end may report it,
            // so that nothing the child wrote just before it ended is lost.
            TMainThread::Synchronize([&shared] {
                if (shared.Owner && !shared.Stop)
                    shared.Owner->ProcessEnded(shared);
            });
            break;
        }
        ended = WaitForChange(shared, stdoutOpen, stderrOpen);
    }
}

bool TRedirectorThread::WaitForChange(TShared& shared, bool& stdoutOpen, bool& stderrOpen) {
    pollfd fds[4];
    nfds_t count = 0;
    int stdoutIndex = -1, stderrIndex = -1, pidIndex = -1;
    auto add = [&](int fd, int& index) {
        index = static_cast<int>(count);
        fds[count++] = pollfd{fd, POLLIN, 0};
    };
    if (!shared.ReadFailed && stdoutOpen)
        add(shared.StdoutFd, stdoutIndex);
    if (!shared.ReadFailed && stderrOpen)
        add(shared.StderrFd, stderrIndex);
    if (shared.PidFd >= 0)
        add(shared.PidFd, pidIndex);
    int wakeIndex = -1;
    if (shared.WakeFd >= 0)
        add(shared.WakeFd, wakeIndex);
    const int timeout = (shared.PidFd >= 0 && shared.WakeFd >= 0) ? -1 : FallbackPollMs;
    if (::poll(fds, count, timeout) < 0)
        return false;

    // A pipe whose writers are all gone stays "ready" for ever: stop watching it.
    auto closed = [&](int index) {
        return index >= 0 && (fds[index].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
               !(fds[index].revents & POLLIN);
    };
    if (closed(stdoutIndex))
        stdoutOpen = false;
    if (closed(stderrIndex))
        stderrOpen = false;
    if (wakeIndex >= 0 && (fds[wakeIndex].revents & POLLIN)) {
        uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(shared.WakeFd, &value, sizeof value);
    }
    if (pidIndex >= 0)
        return (fds[pidIndex].revents & POLLIN) != 0;
    // Look without reaping: only the user-interface thread reaps, so that it never signals
    // a process id that has been handed to someone else.
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(shared.Pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
               0 &&
           info.si_pid != 0;
}

// --- TRedirector ---

TRedirector::TRedirector() = default;

TRedirector::~TRedirector() {
    if (Running() && FKillOnDestroy) {
        OnTerminated = nullptr;
        KillChild(0);
    }
    ReleaseReader();
    if (Running() && !FReaped) {
        if (FKilled) {
            Reap(); // killed: it ends at once
        } else {
            // The child goes on without us; somebody still has to collect it when it ends.
            const pid_t pid = FPid;
            try {
                std::thread([pid] {
                    int status;
                    WaitPid(pid, &status);
                }).detach();
            } catch (...) {
            }
        }
    }
    CloseHandles();
}

std::string TRedirector::FullCommand() const {
    return FApplicationName.empty() ? FCommandline : FApplicationName + " " + FCommandline;
}

void TRedirector::Fail(const std::string& AMessage) {
    KillChild(0);
    FLastError = AMessage;
    throw std::runtime_error(AMessage);
}

void TRedirector::FailErrno(const std::string& AMessage, int AError) {
    Fail(AMessage + std::to_string(AError));
}

void TRedirector::SetCommandline(const std::string& AValue) {
    // Compared with the running command line itself: with ApplicationName set, the full
    // command would never equal the same text.
    if (!Running() || SameTextIgnoringCase(AValue, FCommandline)) {
        FCommandline = AValue;
        return;
    }
    Fail("Cannot change Commandline while process is active");
}

void TRedirector::SetDefaultErrorMode(bool AValue) {
    if (Running() && AValue != FDefaultErrorMode)
        Fail("Cannot change DefaultErrorMode while process is active");
    FDefaultErrorMode = AValue;
}

void TRedirector::SetInitialPriority(uint8_t AValue) {
    if (Running() && AValue != FInitialPriority)
        Fail("Cannot change InititalPriority while process is active");
    FInitialPriority = AValue;
}

void TRedirector::KillChild(uint32_t AExitCode) {
    if (!Running() || FReaped)
        return;
    if (!FKilled) {
        FKilled = true;
        FKillExitCode = AExitCode;
    }
    // The whole group: a shell's own children go with it.
    if (::kill(-FPid, SIGKILL) != 0)
        ::kill(FPid, SIGKILL);
}

void TRedirector::Reap() {
    if (!Running() || FReaped)
        return;
    int status = 0;
    const pid_t r = WaitPid(FPid, &status);
    FReaped = true;
    if (r != FPid)
        return; // collected elsewhere (SIGCHLD ignored): nothing to tell
    if (FKilled && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        FExitCode = FKillExitCode;
    else if (WIFEXITED(status))
        FExitCode = static_cast<uint32_t>(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        FExitCode = 128u + static_cast<uint32_t>(WTERMSIG(status));
}

void TRedirector::Terminate(uint32_t AExitCode) {
    if (!Running())
        Fail("Cannot Terminate an inactive process");
    KillChild(AExitCode);
}

void TRedirector::ReleaseReader() {
    if (!FReaderThread)
        return;
    FReaderThread->Release(FHandOverDepth == 0);
    FReaderThread.reset();
}

void TRedirector::CloseHandles() { CloseFd(FStdinWrite); }

ssize_t TRedirector::ReadPipe(int AFd, char* ABuffer, size_t ACount) {
    ssize_t n;
    do {
        n = ::read(AFd, ABuffer, ACount);
    } while (n < 0 && errno == EINTR);
    return n;
}

void TRedirector::Execute() {
    FLastError.clear();
    if (Running())
        Fail("Process is already active");
    if (Trim(FullCommand()).empty())
        Fail("No commandline to run");

    // The previous child's reader has made its last hand-over: collect it.
    ReleaseReader();
    FReaped = false;
    FKilled = false;
    FKillExitCode = 0;
    FExitCode = 0;

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    int pidFd = -1;
    pid_t pid = 0;
    auto cleanUp = [&] {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1], &pidFd})
            CloseFd(*fd);
        if (pid > 0) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            int status;
            WaitPid(pid, &status);
        }
        FPid = 0;
    };

    if (int e = MakePipe(in))
        FailErrno("Error on STDIN pipe creation : ", e);
    if (int e = MakePipe(out)) {
        cleanUp();
        FailErrno("Error on STDOUT pipe creation : ", e);
    }
    if (int e = MakePipe(err)) {
        cleanUp();
        FailErrno("Error on STDERR pipe creation : ", e);
    }
    SetNonBlocking(out[0]);
    SetNonBlocking(err[0]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Whatever another thread opened without close-on-exec stays out of the child too.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!Trim(FCurrentDirectory).empty())
        posix_spawn_file_actions_addchdir_np(&actions, FCurrentDirectory.c_str());
    short flags = POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
    if (FDefaultErrorMode) {
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    }
    posix_spawnattr_setflags(&attr, flags);

    std::string shell = "sh", dashC = "-c", script = FCommandline;
    std::string program = FApplicationName;
    std::vector<char*> argv = {shell.data(), dashC.data()};
    if (!Trim(FApplicationName).empty()) {
        // The program comes in as $0, so its name needs no quoting.
        script = "exec \"$0\" " + FCommandline;
        argv.push_back(script.data());
        argv.push_back(program.data());
    } else {
        argv.push_back(script.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (FEnvironment) {
        for (auto& entry : *FEnvironment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
    }

    int spawnError = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv.data(),
                                   FEnvironment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawnError != 0) {
        pid = 0;
        cleanUp();
        FailErrno("Error creating process : ", spawnError);
    }
    FPid = pid;
    // The child has its copies; ours would keep the pipes open after it ends.
    CloseFd(in[0]);
    CloseFd(out[1]);
    CloseFd(err[1]);

    pidFd = OpenPidFd(pid);
    if (pidFd >= 0) {
        // A short-lived child is done before Execute returns.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(StartWaitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                break;
            pollfd p{pidFd, POLLIN, 0};
            int rc = ::poll(&p, 1, static_cast<int>(left));
            if (rc >= 0 || errno != EINTR)
                break;
        }
    }

    try {
        FReaderThread = std::make_unique<TRedirectorThread>(this, out[0], err[0], pid, pidFd);
    } catch (...) {
        cleanUp();
        throw;
    }
    // The reader owns these now.
    out[0] = err[0] = pidFd = -1;
    FStdinWrite = in[1];
}

void TRedirector::ReadFailure(TRedirectorThread::TShared& AShared, const std::string& AMessage) {
    FLastError = AMessage;
    AShared.ReadFailed = true;
    KillChild(0);
}

void TRedirector::ReadOutput(TRedirectorThread::TShared& AShared, bool AErrorPipe) {
    std::weak_ptr<int> alive = FLifeToken;
    ++FHandOverDepth;
    try {
        std::vector<char> buffer(AShared.BytesAvailable);
        const ssize_t got = ReadPipe(AErrorPipe ? AShared.StderrFd : AShared.StdoutFd,
                                     buffer.data(), buffer.size());
        if (got < 0) {
            if (errno != EAGAIN)
                ReadFailure(AShared, std::string(AErrorPipe ? "Error reading STDERR pipe : "
                                                            : "Error reading STDOUT pipe : ") +
                                         std::to_string(errno));
        } else if (got > 0) {
            TDataEvent handler = AErrorPipe ? OnErrorData : OnData;
            if (handler)
                handler(this, buffer.data(), static_cast<uint32_t>(got));
        }
    } catch (const std::exception& e) {
        // A handler that throws ends the child like a failed read: better than a reader
        // that dies silently and a caller that waits for ever.
        if (!alive.expired())
            ReadFailure(AShared, e.what());
    } catch (...) {
        if (!alive.expired())
            ReadFailure(AShared, "Unknown error in output handler");
    }
    if (!alive.expired())
        --FHandOverDepth;
}

void TRedirector::ProcessEnded(TRedirectorThread::TShared& AShared) {
    if (!FReaderThread || FReaderThread->FShared.get() != &AShared)
        return;
    FReaderThread->Terminate();
    Reap();
    std::weak_ptr<int> alive = FLifeToken;
    ++FHandOverDepth;
    TNotifyEvent handler = OnTerminated;
    if (handler) {
        try {
            handler(this);
        } catch (const std::exception& e) {
            if (!alive.expired())
                FLastError = e.what();
        } catch (...) {
            if (!alive.expired())
                FLastError = "Unknown error in termination handler";
        }
    }
    if (alive.expired())
        return; // destroyed by its own handler
    --FHandOverDepth;
    CloseHandles();
    FPid = 0;
    TMainThread::Wake();
}

} // namespace qm
