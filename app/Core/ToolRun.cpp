#include "Core/ToolRun.h"

#include <cstring>

#include "Core/Redirector.h"
#include "Platform/MainThread.h"

extern char** environ;

namespace qm {

namespace {

constexpr size_t KeptLines = 8;

std::string NameOf(const std::string& AVariable) { return AVariable.substr(0, AVariable.find('=') + 1); }

} // namespace

void TToolRun::Cancel() {
    FCancelled = true;
    if (FRunning && FRunning->Running())
        FRunning->Terminate(1);
}

bool TToolRun::Run(const std::string& ACommandline, const std::vector<std::string>& AVariables,
                   std::string& AError) {
    FLastLines.clear();
    if (FCancelled) {
        AError = "stopped";
        return false;
    }
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        bool replaced = false;
        for (const auto& v : AVariables)
            replaced = replaced || std::strncmp(*e, NameOf(v).c_str(), NameOf(v).size()) == 0;
        if (!replaced)
            env.emplace_back(*e);
    }
    env.insert(env.end(), AVariables.begin(), AVariables.end());

    TRedirector redirector;
    bool ended = false;
    std::string pending;
    auto lines = [this, &pending](TRedirector*, const char* ABuffer, uint32_t ASize) {
        if (OnData)
            return OnData(ABuffer, ASize);
        pending.append(ABuffer, ASize);
        size_t end;
        while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.empty())
                continue;
            if (OnLine)
                OnLine(line);
            FLastLines.push_back(line);
            if (FLastLines.size() > KeptLines)
                FLastLines.erase(FLastLines.begin());
        }
    };
    FStarted = false;
    FExitCode = 0;
    FRunError.clear();
    redirector.SetInitialPriority(2);
    redirector.SetDefaultErrorMode(true);
    redirector.SetKillOnDestroy(true);
    redirector.SetEnvironment(env);
    redirector.OnData = lines;
    redirector.OnErrorData = lines;
    redirector.OnTerminated = [&ended](TRedirector*) {
        ended = true;
        TMainThread::Wake();
    };
    redirector.SetCommandline(ACommandline);
    try {
        redirector.Execute();
    } catch (const std::exception& e) {
        AError = std::string("cannot be started: ") + e.what();
        return false;
    }
    FStarted = true;
    FRunning = &redirector;
    TMainThread::WaitFor([&] { return ended; });
    FRunning = nullptr;
    if (!pending.empty())
        FLastLines.push_back(pending);
    FExitCode = redirector.ExitCode();
    FRunError = redirector.LastError();
    if (FCancelled) {
        AError = "stopped";
        return false;
    }
    if (FExitCode == 0 && FRunError.empty())
        return true;
    AError = "exit status " + std::to_string(FExitCode);
    if (!FRunError.empty())
        AError += ": " + FRunError;
    for (const auto& l : FLastLines)
        AError += "\n" + l;
    return false;
}

} // namespace qm
