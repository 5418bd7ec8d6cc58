#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include "Core/Redirector.h"
#include "Platform/MainThread.h"
#include "TestUtils.h"

using namespace qm;

namespace {

// A child that never ends by itself: the redirector keeps its stdin open and never writes.
// Execute waits its full start-up time for such a child.
const std::string NeverEnding = "read x";

// One redirector and everything it reported.
struct TRun {
    std::unique_ptr<TRedirector> R = std::make_unique<TRedirector>();
    std::string Out, Err;
    int OutChunks = 0;
    int Terminations = 0;
    bool OffMainThread = false;
    bool DataAfterEnd = false;
    bool RunningAtEnd = false;

    explicit TRun(const std::string& command) {
        R->SetCommandline(command);
        R->OnData = [this](TRedirector* sender, const char* buffer, uint32_t size) {
            Note(sender);
            ++OutChunks;
            Out.append(buffer, size);
        };
        R->OnErrorData = [this](TRedirector* sender, const char* buffer, uint32_t size) {
            Note(sender);
            Err.append(buffer, size);
        };
        R->OnTerminated = [this](TRedirector* sender) {
            Note(sender);
            ++Terminations;
            RunningAtEnd = sender->Running();
            TMainThread::Wake();
        };
    }
    void Note(TRedirector* sender) {
        EXPECT_EQ(sender, R.get());
        if (!TMainThread::IsMainThread())
            OffMainThread = true;
        if (Terminations > 0)
            DataAfterEnd = true;
    }
    void WaitEnd() {
        TRedirector* r = R.get();
        TMainThread::WaitFor([r] { return !r->Running(); });
    }
};

std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// No child of ours is left, running or as a zombie.
bool NoChildLeft() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::set<std::string> OpenFds(pid_t pid) {
    std::set<std::string> fds;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        fds.insert(entry.path().filename().string());
    return fds;
}

// n lines "%09d\n": 10 n bytes that show any loss or reordering.
std::string Numbered(int lines) {
    std::string text;
    char line[16];
    for (int i = 0; i < lines; ++i) {
        std::snprintf(line, sizeof line, "%09d\n", i);
        text += line;
    }
    return text;
}

// The same lines, built by the shell and written with one printf.
std::string NumberedCommand(int lines) {
    return "s=$(i=0; while [ $i -lt " + std::to_string(lines) +
           " ]; do printf '%09d\\n' $i; i=$((i+1)); done); printf '%s\\n' \"$s\"";
}

class RedirectorTest : public ::testing::Test {
protected:
    void SetUp() override { TMainThread::Install(); }
    void TearDown() override { EXPECT_TRUE(NoChildLeft()); }
};

} // namespace

TEST_F(RedirectorTest, OutputArrivesWholeAndInOrderBeforeOneTermination) {
    struct {
        const char* Name;
        std::string Command;
        std::string Expected;
    } cases[] = {
        {"nothing", "true", ""},
        {"one byte", "printf x", "x"},
        {"3000 bytes at once", NumberedCommand(300), Numbered(300)},
        // More than a pipe holds: the child blocks until the reader drains it.
        {"100000 bytes in lines",
         "i=0; while [ $i -lt 10000 ]; do printf '%09d\\n' $i; i=$((i+1)); done", Numbered(10000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRun run(c.Command);
        run.R->Execute();
        // Chunks and the end reach the caller only through its own message processing.
        EXPECT_TRUE(run.R->Running());
        EXPECT_EQ(run.Out, "");
        EXPECT_EQ(run.Terminations, 0);
        run.WaitEnd();
        EXPECT_EQ(run.Out.size(), c.Expected.size());
        EXPECT_TRUE(run.Out == c.Expected);
        EXPECT_EQ(run.Err, "");
        EXPECT_EQ(run.Terminations, 1);
        EXPECT_TRUE(run.RunningAtEnd);
        EXPECT_FALSE(run.DataAfterEnd);
        EXPECT_FALSE(run.OffMainThread);
        EXPECT_EQ(run.R->ExitCode(), 0u);
        EXPECT_EQ(run.R->LastError(), "");
        EXPECT_EQ(run.R->ProcessId(), 0);
        EXPECT_TRUE(NoChildLeft());
    }
}

TEST_F(RedirectorTest, StandardErrorArrivesSeparately) {
    TRun run("printf out; printf err >&2; printf more; printf again >&2");
    run.R->Execute();
    run.WaitEnd();
    EXPECT_EQ(run.Out, "outmore");
    EXPECT_EQ(run.Err, "erragain");
    EXPECT_EQ(run.Terminations, 1);
    EXPECT_FALSE(run.DataAfterEnd);
}

TEST_F(RedirectorTest, ExitStatusIsReported) {
    struct {
        const char* Command;
        uint32_t Expected;
    } cases[] = {{"exit 0", 0},
                 {"exit 3", 3},
                 {"exit 255", 255},
                 {"kill -TERM $$", 128 + SIGTERM},
                 {"kill -KILL $$", 128 + SIGKILL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Command);
        TRun run(c.Command);
        run.R->Execute();
        run.WaitEnd();
        EXPECT_EQ(run.Terminations, 1);
        EXPECT_EQ(run.R->ExitCode(), c.Expected);
    }
}

TEST_F(RedirectorTest, OneRedirectorRunsOneChildAfterAnother) {
    TRun run("printf first");
    run.R->Execute();
    run.WaitEnd();
    run.R->SetCommandline("printf second; exit 4");
    run.R->Execute();
    run.WaitEnd();
    EXPECT_EQ(run.Out, "firstsecond");
    EXPECT_EQ(run.Terminations, 2);
    EXPECT_EQ(run.R->ExitCode(), 4u);
}

TEST_F(RedirectorTest, IdleRedirectorRefusesWithTheFixedMessages) {
    struct {
        const char* Name;
        std::function<void(TRedirector&)> Action;
        const char* Message;
    } cases[] = {
        {"empty command", [](TRedirector& r) { r.Execute(); }, "No commandline to run"},
        {"blank command",
         [](TRedirector& r) {
             r.SetCommandline(" \t ");
             r.Execute();
         },
         "No commandline to run"},
        {"terminate", [](TRedirector& r) { r.Terminate(1); },
         "Cannot Terminate an inactive process"},
        {"missing folder",
         [](TRedirector& r) {
             r.SetCommandline("true");
             r.SetCurrentDirectory("/nonexistent-qm-folder");
             r.Execute();
         },
         "Error creating process : 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRun run("");
        EXPECT_EQ(ErrorOf([&] { c.Action(*run.R); }), c.Message);
        EXPECT_EQ(run.R->LastError(), c.Message);
        EXPECT_FALSE(run.R->Running());
        EXPECT_TRUE(NoChildLeft());
        TMainThread::ProcessMessages();
        EXPECT_EQ(run.Terminations, 0);
    }
}

TEST_F(RedirectorTest, SettingsChangeFreelyWhileIdle) {
    TRedirector r;
    EXPECT_FALSE(r.Running());
    EXPECT_FALSE(r.KillOnDestroy());
    EXPECT_EQ(r.ShowWindow(), 0);
    r.SetCommandline("a");
    r.SetCommandline("b");
    r.SetDefaultErrorMode(true);
    r.SetDefaultErrorMode(false);
    r.SetInitialPriority(2);
    r.SetInitialPriority(3);
    EXPECT_EQ(r.Commandline(), "b");
    EXPECT_FALSE(r.DefaultErrorMode());
    EXPECT_EQ(r.InitialPriority(), 3);
}

TEST_F(RedirectorTest, RunningChildIsEndedByTerminateOrAFaultyCall) {
    struct {
        const char* Name;
        std::function<void(TRedirector&)> Action;
        const char* Message; // "" when the action itself does not fail
        uint32_t ExitCode;
    } cases[] = {
        {"terminate", [](TRedirector& r) { r.Terminate(7); }, "", 7},
        {"execute again", [](TRedirector& r) { r.Execute(); }, "Process is already active", 0},
        {"other command line", [](TRedirector& r) { r.SetCommandline("true"); },
         "Cannot change Commandline while process is active", 0},
        {"other error mode", [](TRedirector& r) { r.SetDefaultErrorMode(true); },
         "Cannot change DefaultErrorMode while process is active", 0},
        {"other priority", [](TRedirector& r) { r.SetInitialPriority(5); },
         "Cannot change InititalPriority while process is active", 0},
    };
    // Open without close-on-exec, as careless code elsewhere in the process might.
    const int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRun run(NeverEnding);
        run.R->SetInitialPriority(2);
        run.R->Execute();
        ASSERT_TRUE(run.R->Running());
        const pid_t pid = run.R->ProcessId();
        EXPECT_EQ(OpenFds(pid), (std::set<std::string>{"0", "1", "2"}));

        // Unchanged values are accepted while the child runs.
        run.R->SetCommandline("READ X");
        run.R->SetDefaultErrorMode(false);
        run.R->SetInitialPriority(2);
        EXPECT_TRUE(run.R->Running());

        EXPECT_EQ(ErrorOf([&] { c.Action(*run.R); }), c.Message);
        run.WaitEnd();
        EXPECT_EQ(run.Terminations, 1);
        EXPECT_EQ(run.R->ExitCode(), c.ExitCode);
        EXPECT_EQ(run.R->LastError(), c.Message);
        EXPECT_EQ(::kill(pid, 0), -1);
        EXPECT_TRUE(NoChildLeft());
    }
    ::close(stray);
}

TEST_F(RedirectorTest, TerminateEndsWhatTheChildStarted) {
    // Orphans come to us, so that the grandchild's end can be waited for.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    // The grandchild reads the same stdin: left alive, it would end normally on its EOF.
    TRun run("exec 3<&0; sh -c 'read x' <&3 & echo $!; exec 3<&-; read y");
    run.R->Execute();
    ASSERT_TRUE(run.R->Running());
    TRedirector* r = run.R.get();
    TMainThread::WaitFor([&] { return run.Out.find('\n') != std::string::npos || !r->Running(); });
    const pid_t grandchild = std::stoi(run.Out);
    run.R->Terminate(9);
    run.WaitEnd();
    EXPECT_EQ(run.R->ExitCode(), 9u);
    int status = 0;
    ASSERT_EQ(::waitpid(grandchild, &status, 0), grandchild);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(RedirectorTest, DestroyKillsARunningChildWhenAsked) {
    TRun run(NeverEnding);
    run.R->SetKillOnDestroy(true);
    run.R->Execute();
    const pid_t pid = run.R->ProcessId();
    ASSERT_GT(pid, 0);
    run.R.reset();
    // Killed and collected before the destructor returned.
    EXPECT_TRUE(NoChildLeft());
    EXPECT_EQ(::kill(pid, 0), -1);
    TMainThread::ProcessMessages();
    EXPECT_EQ(run.Terminations, 0);
}

TEST_F(RedirectorTest, HandlerMayDestroyItsRedirector) {
    for (bool inData : {true, false}) {
        SCOPED_TRACE(inData ? "in OnData" : "in OnTerminated");
        TRun run("printf x");
        run.R->SetKillOnDestroy(true);
        bool destroyed = false;
        auto destroy = [&] {
            run.R.reset();
            destroyed = true;
            TMainThread::Wake();
        };
        if (inData)
            run.R->OnData = [&](TRedirector*, const char*, uint32_t) { destroy(); };
        else
            run.R->OnTerminated = [&](TRedirector*) { destroy(); };
        run.R->Execute();
        TMainThread::WaitFor([&] { return destroyed; });
        EXPECT_TRUE(NoChildLeft());
    }
}

TEST_F(RedirectorTest, FailedReadOrHandlerEndsTheChildAndStillReportsItsEnd) {
    // A pipe that cannot be read.
    class TBrokenPipe : public TRedirector {
    protected:
        ssize_t ReadPipe(int, char*, size_t) override {
            errno = EIO;
            return -1;
        }
    };
    struct {
        const char* Name;
        bool BrokenPipe;
        const char* Message;
        const char* Delivered;
    } cases[] = {{"read fails", true, "Error reading STDOUT pipe : 5", ""},
                 {"handler throws", false, "handler broke", "x"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRun run("printf x; " + NeverEnding);
        if (c.BrokenPipe) {
            run.R = std::make_unique<TBrokenPipe>();
            run.R->SetCommandline("printf x; " + NeverEnding);
            run.R->OnTerminated = [&](TRedirector*) {
                ++run.Terminations;
                TMainThread::Wake();
            };
        } else {
            run.R->OnData = [&](TRedirector*, const char* buffer, uint32_t size) {
                run.Out.append(buffer, size);
                throw std::runtime_error("handler broke");
            };
        }
        run.R->Execute();
        run.WaitEnd();
        EXPECT_EQ(run.Out, c.Delivered);
        EXPECT_EQ(run.R->LastError(), c.Message);
        EXPECT_EQ(run.Terminations, 1);
        EXPECT_EQ(run.R->ExitCode(), 0u);
    }
}

TEST_F(RedirectorTest, ChildGetsItsFolderEnvironmentAndProgram) {
    test::TTempDir dir;
    const std::string folder = dir / "a folder";
    std::filesystem::create_directory(folder);
    const std::string program = folder + "/show args";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nprintf '[%s]' \"$@\"\n";
    }
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);

    struct {
        const char* Name;
        std::function<void(TRedirector&)> Setup;
        std::string Expected;
    } cases[] = {
        {"folder",
         [&](TRedirector& r) {
             r.SetCurrentDirectory(folder);
             r.SetCommandline("pwd");
         },
         folder + "\n"},
        {"environment",
         [](TRedirector& r) {
             r.SetEnvironment(std::vector<std::string>{"QM_ONE=1", "QM_TWO=two words"});
             r.SetCommandline("printf '%s|%s|%s' \"$QM_ONE\" \"$QM_TWO\" \"${HOME-unset}\"");
         },
         "1|two words|unset"},
        {"program named literally",
         [&](TRedirector& r) {
             r.SetApplicationName(program);
             r.SetCommandline("a 'b c' \"$((1+1))\"");
         },
         "[a][b c][2]"},
        {"program alone",
         [&](TRedirector& r) {
             r.SetApplicationName(program);
             r.SetCommandline("");
         },
         "[]"},
        {"quoted path",
         [&](TRedirector& r) { r.SetCommandline(ShellQuote(program) + " \"it's\""); }, "[it's]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRun run("");
        c.Setup(*run.R);
        run.R->Execute();
        run.WaitEnd();
        EXPECT_EQ(run.Out, c.Expected);
        EXPECT_EQ(run.Err, "");
        EXPECT_EQ(run.R->ExitCode(), 0u);
    }
}

TEST_F(RedirectorTest, DefaultErrorModeGivesTheChildDefaultSignalHandling) {
    // The shell reports its own ignored signals; SIGUSR1 is bit 10 of the mask.
    const std::string command =
        "while read k v; do [ \"$k\" = SigIgn: ] && echo $v; done < /proc/$$/status";
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &saved), 0);
    for (bool defaultMode : {false, true}) {
        SCOPED_TRACE(defaultMode);
        TRun run(command);
        run.R->SetDefaultErrorMode(defaultMode);
        run.R->Execute();
        run.WaitEnd();
        const unsigned long long mask = std::stoull(run.Out, nullptr, 16);
        EXPECT_EQ((mask >> (SIGUSR1 - 1)) & 1, defaultMode ? 0u : 1u) << run.Out;
    }
    ::sigaction(SIGUSR1, &saved, nullptr);
}
