#include "DvdAuthoring.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDomDocument>
#include <QFile>
#include <QTextStream>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Core/FileNames.h"
#include "Core/MenuAuthoring.h"
#include "Core/Redirector.h"
#include "Core/ToolRun.h"
#include "Platform/MainThread.h"
#include "Platform/Numbers.h"

namespace qm {

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int64_t SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

constexpr size_t KeptLines = 12;

// XML holds only UTF-8, and a folder's name need not be. dvdauthor then runs inside AFolder
// (see WriteBatchFile) and gets the names of what lies there relative to it.
std::string AuthoringName(const std::string& APath, const std::string& AFolder) {
    if (IsValidUtf8(AFolder) || APath.rfind(AFolder, 0) != 0)
        return APath;
    const std::string rest = APath.substr(AFolder.size());
    return rest.empty() ? "./" : rest;
}

} // namespace

std::string ProgressLabel(double APercent) {
    return FormatC("Progress: %.2f%%", APercent);
}

TDvdAuthoring::TDvdAuthoring(std::string AProgramFolder) : FProgramFolder(std::move(AProgramFolder)) {}

std::string TDvdAuthoring::TemplatePath() const { return FProgramFolder + "Data/Quillmoor/dvd.xml"; }

std::string TDvdAuthoring::AuthoringProgram() const { return ToolProgram("dvdauthor"); }

std::string TDvdAuthoring::ToolProgram(const std::string& AName) const {
    const std::string own = FProgramFolder + "Data/Quillmoor/" + AName;
    return ::access(own.c_str(), X_OK) == 0 ? own : AName;
}

bool TDvdAuthoring::WriteAuthoringFile(const std::string& AOutPath,
                                       const std::vector<std::string>& AStreams,
                                       std::string& AError, const std::string& ADest) {
    QFile source(QString::fromStdString(TemplatePath()));
    if (!source.open(QIODevice::ReadOnly)) {
        AError = "Cannot read the authoring template " + TemplatePath();
        return false;
    }
    QDomDocument doc;
    if (!doc.setContent(&source)) {
        AError = "The authoring template " + TemplatePath() + " is not valid XML";
        return false;
    }
    QDomElement root = doc.documentElement();
    QDomElement titles = root.firstChildElement("titleset").firstChildElement("titles");
    if (root.isNull() || titles.isNull()) {
        AError = "The authoring template " + TemplatePath() + " has no titleset/titles";
        return false;
    }
    root.setAttribute("dest", QString::fromStdString(AuthoringName(ADest.empty() ? AOutPath : ADest, AOutPath)));
    const int before = titles.childNodes().count();
    for (size_t i = 0; i < AStreams.size(); ++i) {
        titles.appendChild(doc.createElement("pgc"));
        QDomElement pgc = titles.childNodes().at(before + static_cast<int>(i)).toElement();
        QDomElement vob = doc.createElement("vob");
        QDomElement post = doc.createElement("post");
        pgc.appendChild(vob);
        pgc.appendChild(post);
        vob.setAttribute("file", QString::fromStdString(AuthoringName(AStreams[i], AOutPath)));
        if (i < Chapters.size() && !Chapters[i].empty())
            vob.setAttribute("chapters", QString::fromStdString(Chapters[i]));
        const QString text =
            i + 1 < AStreams.size() ? QString("jump title %1;").arg(i + 2) : QString("exit;");
        post.appendChild(doc.createTextNode(text));
    }
    DeclareTitleStreams(doc, Streams);
    std::vector<std::string> pages;
    for (const auto& page : MenuPages)
        pages.push_back(AuthoringName(page, AOutPath));
    if (Menu && !AddTitleMenu(doc, *Menu, pages, MenuNorm, AError))
        return false;
    const std::string target = AOutPath + "dvd.xml";
    QByteArray bytes = doc.toByteArray(2);
    if (!bytes.startsWith("<?xml"))
        bytes.prepend("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    FILE* out = std::fopen(target.c_str(), "wb"); // the name's bytes as they are
    const bool written = out && std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out) == size_t(bytes.size());
    if (!out || std::fclose(out) != 0 || !written) {
        AError = "Cannot write " + target + ": " + std::strerror(errno);
        return false;
    }
    TotalSize = 0;
    for (const auto& s : AStreams)
        TotalSize += SizeOf(s);
    return true;
}

bool TDvdAuthoring::WriteBatchFile(const std::string& AOutPath, std::string& AError) {
    const std::string path = AOutPath + "dvd.sh";
    // Every path is one literal shell word, whatever the folder is called.
    const std::string line =
        IsValidUtf8(AOutPath)
            ? ShellQuote(AuthoringProgram()) + " -x " + ShellQuote(AOutPath + "dvd.xml") + "\n"
            : "cd " + ShellQuote(AOutPath) + " && " + ShellQuote(AuthoringProgram()) + " -x dvd.xml\n";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        AError = "Cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    if (std::fclose(f) != 0 || !written) {
        AError = "Cannot write " + path;
        return false;
    }
    return true;
}

void TDvdAuthoring::KeepLine(const std::string& ALine) {
    if (ALine.empty())
        return;
    if (ALine.rfind("ERR:", 0) == 0)
        FSawError = true;
    static const std::string processing = "STAT: Processing ";
    if (ALine.rfind(processing, 0) == 0) {
        FLastStream = ALine.substr(processing.size());
        if (FLastStream.size() > 3 && FLastStream.compare(FLastStream.size() - 3, 3, "...") == 0)
            FLastStream.resize(FLastStream.size() - 3);
    }
    if (OnLine)
        OnLine(ALine);
    FLastLines.push_back(ALine);
    if (FLastLines.size() > KeptLines)
        FLastLines.erase(FLastLines.begin());
}

void TDvdAuthoring::ParseAuthoringOutput(TRedirector*, const char* ABuffer, uint32_t ASize) {
    std::string text(ABuffer, strnlen(ABuffer, ASize));
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        KeepLine(line);
        if (line.find("STAT: VOBU") != std::string::npos) {
            const size_t at = line.find("at");
            const size_t mb = line.find("MB");
            // Positions count from 1 with 0 for "absent", as the status line's layout has it.
            const long p = at == std::string::npos ? 0 : static_cast<long>(at) + 1;
            const long q = mb == std::string::npos ? 0 : static_cast<long>(mb) + 1;
            const long count = q - p - 2;
            std::string number = count > 0 ? line.substr(static_cast<size_t>(p + 1), static_cast<size_t>(count)) : "";
            const size_t b = number.find_first_not_of(" \t");
            const size_t e = number.find_last_not_of(" \t");
            number = b == std::string::npos ? "" : number.substr(b, e - b + 1);
            bool digits = !number.empty();
            for (char c : number)
                digits = digits && c >= '0' && c <= '9';
            if (digits && TotalSize > 0) {
                const int64_t bytes = std::stoll(number) * 1048576LL;
                const double r = static_cast<double>(bytes) / static_cast<double>(TotalSize);
                FLastPercent = r * 20 + 80;
                if (OnProgress)
                    OnProgress(static_cast<int>(80 + r * 20), ProgressLabel(r * 20 + 80));
            }
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
}

void TDvdAuthoring::Cancel() {
    if (FRunning)
        FRunning->Cancel();
}

bool TDvdAuthoring::RunAuthoring(const std::string& AScriptPath, const std::string& AOutPath,
                                 const std::string& ANorm, std::string& AError) {
    FLastLines.clear();
    FLastStream.clear();
    FSawError = false;
    TToolRun tool;
    tool.OnData = [this](const char* ABuffer, uint32_t ASize) { ParseAuthoringOutput(nullptr, ABuffer, ASize); };
    std::string failure;
    FRunning = &tool;
    // dvdauthor will not guess the norm of a disc's menu domain.
    const bool ran = tool.Run("/bin/sh " + ShellQuote(AScriptPath), {"VIDEO_FORMAT=" + ANorm}, failure);
    FRunning = nullptr;
    if (tool.Cancelled()) {
        AError = "DVD authoring was stopped";
        return false;
    }
    if (!tool.Started()) {
        AError = "The authoring program " + failure;
        return false;
    }

    const bool complete = Exists(AOutPath + "VIDEO_TS/VIDEO_TS.IFO");
    if (ran && !FSawError && complete)
        return true;
    // The shell's answer when it finds no such program.
    if (tool.ExitCode() == 127) {
        AError = AuthoringProgram() + " is not installed, so the DVD folder cannot be made. Install the "
                 "package dvdauthor (sudo apt install dvdauthor) and convert again.";
        return false;
    }
    AError = "DVD authoring failed";
    if (tool.ExitCode() != 0)
        AError += " (dvdauthor exit status " + std::to_string(tool.ExitCode()) + ")";
    else if (!complete)
        AError += " (no VIDEO_TS/VIDEO_TS.IFO was written)";
    if (!tool.RunError().empty())
        AError += ": " + tool.RunError();
    for (const auto& l : FLastLines)
        AError += "\n" + l;
    return false;
}

} // namespace qm
