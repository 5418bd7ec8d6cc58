// The batch's title menu: a still of every title, the pages drawn, encoded by the engine as
// short MPEG-2 stills with silence, and the buttons laid over them with spumux.
#include <QDomDocument>
#include <QFile>
#include <QImage>

#include <cstdio>
#include <cstring>

#include "Converter/FFmpegConverter.h"
#include "Core/DvdAuthoring.h"
#include "Core/DvdBatch.h"
#include "Core/MenuLayout.h"
#include "Core/MenuPainter.h"
#include "Core/ToolRun.h"
#include "Platform/FileUtils.h"
#include "Platform/MainThread.h"

namespace qm {

namespace {

void PutLE(std::string& AOut, uint32_t AValue, int ABytes) {
    for (int i = 0; i < ABytes; ++i)
        AOut += static_cast<char>((AValue >> (8 * i)) & 0xFF);
}

// AMs of silence as 48 kHz 16-bit stereo WAV: the sound a menu page plays.
bool WriteSilence(const std::string& APath, int AMs, std::string& AError) {
    const uint32_t data = static_cast<uint32_t>(48 * AMs) * 4;
    std::string head = "RIFF";
    PutLE(head, 36 + data, 4);
    head += "WAVEfmt ";
    PutLE(head, 16, 4);
    PutLE(head, 1, 2);          // PCM
    PutLE(head, 2, 2);          // channels
    PutLE(head, 48000, 4);      // samples per second
    PutLE(head, 48000 * 4, 4);  // bytes per second
    PutLE(head, 4, 2);          // bytes per sample frame
    PutLE(head, 16, 2);         // bits
    head += "data";
    PutLE(head, data, 4);
    QFile f(QString::fromStdString(APath));
    const std::string silence(data, '\0');
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(head.data(), qint64(head.size())) != qint64(head.size()) ||
        f.write(silence.data(), qint64(silence.size())) != qint64(silence.size()) || !f.flush()) {
        AError = "Cannot write " + APath + ": " + f.errorString().toStdString();
        return false;
    }
    return true;
}

bool SaveImage(const QImage& AImage, const std::string& APath, std::string& AError) {
    if (AImage.save(QString::fromStdString(APath), "PNG"))
        return true;
    AError = "Cannot write the menu picture " + APath;
    return false;
}

// The button description spumux reads for one page.
std::string SpumuxDescription(const TMenuLayout& ALayout, int APage, const std::string& AHighlight,
                              const std::string& ASelect, bool ALetterbox) {
    QDomDocument doc;
    QDomElement root = doc.createElement("subpictures");
    root.setAttribute("format", ALayout.FrameHeight == 576 ? "PAL" : "NTSC");
    doc.appendChild(root);
    QDomElement stream = doc.createElement("stream");
    root.appendChild(stream);
    QDomElement spu = doc.createElement("spu");
    stream.appendChild(spu);
    spu.setAttribute("start", "00:00:00.00");
    spu.setAttribute("force", "yes");
    spu.setAttribute("highlight", QString::fromStdString(AHighlight));
    spu.setAttribute("select", QString::fromStdString(ASelect));
    const auto& buttons = ALayout.Pages.at(size_t(APage)).Buttons;
    auto name = [](int ANumber) { return QString("b%1").arg(ANumber); };
    for (size_t i = 0; i < buttons.size(); ++i) {
        const TMenuButton& b = buttons[i];
        TMenuRect r = b.Stored;
        if (ALetterbox) {
            // The wide picture shown letterboxed: three quarters high, centred.
            const int bar = ALayout.FrameHeight / 8;
            r.Y0 = (bar + r.Y0 * 3 / 4) & ~1;
            r.Y1 = std::min(ALayout.FrameHeight, (bar + (r.Y1 * 3 + 3) / 4 + 1) & ~1);
        }
        QDomElement e = doc.createElement("button");
        e.setAttribute("name", name(int(i) + 1));
        e.setAttribute("x0", r.X0);
        e.setAttribute("y0", r.Y0);
        e.setAttribute("x1", r.X1 - 1);
        e.setAttribute("y1", r.Y1 - 1);
        e.setAttribute("up", name(b.Up));
        e.setAttribute("down", name(b.Down));
        e.setAttribute("left", name(b.Left));
        e.setAttribute("right", name(b.Right));
        spu.appendChild(e);
    }
    return doc.toString(2).toStdString();
}

bool WriteText(const std::string& APath, const std::string& AText, std::string& AError) {
    QFile f(QString::fromStdString(APath));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        f.write(AText.data(), qint64(AText.size())) == qint64(AText.size()) && f.flush())
        return true;
    AError = "Cannot write " + APath + ": " + f.errorString().toStdString();
    return false;
}

} // namespace

bool TDvdBatch::TakeStill(const std::string& AStream, int64_t ALengthMs, const std::string& APicture,
                          std::string& AError) {
    TInputOptions in;
    InitInputOptions(in);
    // About a tenth into the title: past a black or faded-in start.
    in.StartTimeMs = static_cast<int32_t>(ALengthMs > 0 ? ALengthMs / 10 : 0);
    TOutputOptions out;
    InitOutputOptions(out);
    out.FileFormat = "image2";
    out.VideoCodec = "png";
    out.NoAudio = true;
    out.NoSubtitle = true;
    out.ExtraOptions = "vframes=1\nupdate=1"; // one picture, not a numbered sequence
    return RunHelperTask(AStream, in, "", APicture, out, AError);
}

bool TDvdBatch::EncodeMenuPage(const std::string& APicture, const std::string& ASilence, const std::string& AStream,
                               bool AWide, std::string& AError) {
    const TDvdPreset& preset = DvdPresets()[static_cast<size_t>(PresetIndex)];
    TInputOptions in;
    InitInputOptions(in);
    in.ExtraOptions = "loop=1";
    TOutputOptions o;
    InitOutputOptions(o);
    o.TargetType = 3;
    o.NormType = preset.NormType;
    o.DefaultNorm = preset.DefaultNorm;
    o.VideoCodec = "mpeg2video";
    o.AudioCodec = "mp2";
    o.AudioChannels = 2;
    o.AudioSampleRate = 48000;
    o.AudioBitrate = 192000;
    o.NoSubtitle = true;
    o.FrameRate = preset.FrameRate;
    o.FrameSize = preset.NormType == 1 ? "720x576" : "720x480";
    o.FrameAspectRatio = AWide ? "16:9" : "4:3";
    o.DurationMs = MenuStillMs;
    return RunHelperTask(APicture, in, ASilence, AStream, o, AError);
}

bool TDvdBatch::MakeTitleMenu(const std::vector<std::string>& AStreams, const std::vector<size_t>& ATitleFiles,
                              TMenuLayout& ALayout, std::vector<std::string>& APageStreams, std::string& AError) {
    const TDvdPreset& preset = DvdPresets()[static_cast<size_t>(PresetIndex)];
    const int count = static_cast<int>(AStreams.size());
    ALayout = LayoutMenu(count, preset.NormType == 1 ? 576 : 480, FDiscAspect > 1.5);
    const int pages = static_cast<int>(ALayout.Pages.size());
    const int steps = count + 2 * pages;
    int done = 0;
    ReportMenuStep(done, steps);
    TToolRun spumux;
    // Stop ends whichever of the engine and spumux is at work.
    FCancelAuthoring = [this, &spumux] {
        spumux.Cancel();
        FConverter->StopTasks(false);
    };
    struct TClear {
        std::function<void()>& Cancel;
        ~TClear() { Cancel = nullptr; }
    } clear{FCancelAuthoring};

    std::vector<TMenuTitle> titles;
    for (int t = 0; t < count && !FStopped; ++t) {
        const rInputStreamInfo& item = (*FItems)[ATitleFiles[size_t(t)]];
        TMenuTitle title;
        title.Name = QString::fromStdString(item.MenuTitle());
        const std::string still = FWorkFolder + "still" + std::to_string(t) + ".png";
        std::string error;
        // A title without a still gets a dark picture; the menu is still made.
        if (TakeStill(AStreams[size_t(t)], item.ConvertedLengthMs(), still, error))
            title.Picture = QImage(QString::fromStdString(still));
        titles.push_back(title);
        ReportMenuStep(++done, steps);
    }
    const std::string silence = FWorkFolder + "silence.wav";
    if (FStopped || !WriteSilence(silence, MenuStillMs, AError))
        return false;

    const std::string norm = preset.NormType == 1 ? "PAL" : "NTSC";
    for (int p = 0; p < pages && !FStopped; ++p) {
        const std::string base = FWorkFolder + "menu" + std::to_string(p);
        std::string error;
        if (!SaveImage(PaintMenuPage(ALayout, p, titles), base + ".png", AError))
            return false;
        if (!EncodeMenuPage(base + ".png", silence, base + "-still.mpg", ALayout.Wide, error)) {
            AError = FStopped ? "" : "The title menu's page " + std::to_string(p + 1) + " could not be encoded: " + error;
            return false;
        }
        ReportMenuStep(++done, steps);
        // The buttons: one subpicture stream, and for a wide menu a second one placed for a
        // 4:3 set that shows it letterboxed.
        std::string input = base + "-still.mpg";
        for (int stream = 0; stream < (ALayout.Wide ? 2 : 1); ++stream) {
            const bool letterbox = stream == 1;
            // spumux runs inside the working folder and reads its files by their plain names:
            // its description is UTF-8, and the folder's name need not be.
            const std::string name = "menu" + std::to_string(p) + "-" + std::to_string(stream);
            const std::string tag = FWorkFolder + name;
            const std::string output = tag + ".mpg";
            if (!SaveImage(PaintButtonMask(ALayout, p, MenuHighlightColour, letterbox), tag + "-highlight.png", AError) ||
                !SaveImage(PaintButtonMask(ALayout, p, MenuSelectColour, letterbox), tag + "-select.png", AError) ||
                !WriteText(tag + ".xml",
                           SpumuxDescription(ALayout, p, name + "-highlight.png", name + "-select.png", letterbox),
                           AError))
                return false;
            const std::string command = "cd " + ShellQuote(FWorkFolder) + " && " +
                                        ShellQuote(TDvdAuthoring(FProgramFolder).ToolProgram("spumux")) +
                                        " -m dvd -s " + std::to_string(stream) + " " + ShellQuote(name + ".xml") +
                                        " < " + ShellQuote(input) + " > " + ShellQuote(output);
            if (!spumux.Run(command, {"VIDEO_FORMAT=" + norm}, error)) {
                AError = FStopped ? "" : "spumux could not lay the buttons over the title menu's page " +
                                             std::to_string(p + 1) + ": " + error;
                return false;
            }
            std::remove(input.c_str());
            input = output;
        }
        APageStreams.push_back(input);
        ReportMenuStep(++done, steps);
    }
    return !FStopped;
}

} // namespace qm
