// What the command line needs to draw pictures with QtGui (the title menu): the GUI
// application object on the offscreen platform, without a display, and numbers kept in the
// C locale that the application object would otherwise take from the environment.
#pragma once

#include <memory>

class QGuiApplication;

namespace qm::cli {

class TOffscreenDrawing {
public:
    TOffscreenDrawing();
    ~TOffscreenDrawing();
    TOffscreenDrawing(const TOffscreenDrawing&) = delete;
    TOffscreenDrawing& operator=(const TOffscreenDrawing&) = delete;

private:
    std::unique_ptr<QGuiApplication> FApplication;
};

} // namespace qm::cli
