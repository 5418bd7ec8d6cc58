// The previewer: shows the frames that a running conversion produces in a small floating
// window, and tells the engine when the user has closed it.
//
// How the pieces meet:
//  - The engine (its worker thread) owns one TPreviewer while previewing is switched on and
//    calls PreviewFrame for every frame to show. PreviewFrame hands the frame to the main
//    thread (TMainThread::Synchronize) and waits until it has been drawn; the bitmap only
//    has to live until PreviewFrame returns. The engine never holds a lock that the main
//    thread might wait for while it does so.
//  - The window itself is an IPreviewWindow, made by the factory that the front end
//    installs with SetPreviewWindowFactory. Every member of the window is called on the
//    main thread: the factory on the first frame, ShowFrame for each frame, the
//    destructor when the previewer goes. Without an installed factory the previewer keeps
//    its frames in a TOffscreenPreviewWindow (the command-line program and the tests).
//  - When the user closes the window, the window calls TPreviewer::WindowClosed (main
//    thread). From then on PreviewFrame returns false at once without touching the main
//    thread; the engine then switches previewing off and frees the previewer. A closed
//    previewer never shows a window again.
//
// A window of the desktop front end: a stay-on-top tool window without owner, centred on
// the screen, whose client area takes the first frame's size and keeps it (later frames
// of another size are drawn at (0, 0) without resizing), which the user drags by its
// client area, and whose caption is the caption passed with each frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Bitmap.h"

namespace qm {

// "%.2d:%.2d:%.2d.%.3d" of hours, minutes, seconds and milliseconds of a time in
// microseconds (hours may take more digits); "N/A" for the no-value marker
// 0x8000000000000000.
std::string FormatPreviewTime(int64_t AMicroseconds);

class TPreviewer;

// The window of a previewer. All members run on the main thread.
class IPreviewWindow {
public:
    // Frees the window.
    virtual ~IPreviewWindow() = default;
    // The first call shows the window with a client area of the bitmap's size; every call
    // sets the caption and draws the bitmap at (0, 0). The bitmap is valid during the call.
    virtual void ShowFrame(const TBitmap& ABitmap, const std::string& ACaption) = 0;
};

// Makes the window of APreviewer on its first frame (main thread). A window calls
// APreviewer.WindowClosed() when the user closes it.
using TPreviewWindowFactory = std::function<std::unique_ptr<IPreviewWindow>(TPreviewer& APreviewer)>;

// Installs the factory of the front end's windows; an empty one restores the window-less
// default. Set at start-up, before any conversion runs.
void SetPreviewWindowFactory(TPreviewWindowFactory AFactory);

class TPreviewer {
public:
    TPreviewer();
    // Frees the window on the main thread (and waits for that).
    ~TPreviewer();
    TPreviewer(const TPreviewer&) = delete;
    TPreviewer& operator=(const TPreviewer&) = delete;

    // Worker thread: shows the frame, captioned with its time, and waits until it is drawn.
    // False once the user has closed the window.
    bool PreviewFrame(const TBitmap& ABitmap, int32_t AFrameNumber, int64_t ATime);
    // Main thread: the user has closed the window.
    void WindowClosed() { FClosed = true; }
    bool Closed() const { return FClosed; }
    // The window, once the first frame has made it (main thread).
    IPreviewWindow* Window() const { return FWindow.get(); }

private:
    void ShowPreview(const TBitmap& ABitmap, int64_t ATime);

    std::atomic<bool> FClosed{false};
    std::unique_ptr<IPreviewWindow> FWindow; // main thread
};

// The window-less window: keeps what a window would show. What the command-line program
// and the tests get.
class TOffscreenPreviewWindow : public IPreviewWindow {
public:
    explicit TOffscreenPreviewWindow(TPreviewer& APreviewer) : FPreviewer(APreviewer) {}
    ~TOffscreenPreviewWindow() override;
    void ShowFrame(const TBitmap& ABitmap, const std::string& ACaption) override;

    // What the window holds; read on the main thread.
    int ClientWidth() const { return FClientWidth; }
    int ClientHeight() const { return FClientHeight; }
    const std::string& Caption() const { return FCaption; }
    const TBitmap& Picture() const { return FPicture; }
    int FramesShown() const { return FFramesShown; }
    // As if the user closed the window.
    void Close() { FPreviewer.WindowClosed(); }

    // Windows alive in the process and their frames so far, for tests.
    static int LiveCount();
    static TOffscreenPreviewWindow* Latest();

private:
    TPreviewer& FPreviewer;
    int FClientWidth = 0, FClientHeight = 0;
    std::string FCaption;
    TBitmap FPicture;
    int FFramesShown = 0;
};

} // namespace qm
