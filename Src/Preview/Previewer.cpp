#include "Preview/Previewer.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "Platform/MainThread.h"

namespace qm {

namespace {

std::mutex GFactoryLock;
TPreviewWindowFactory GFactory; // guarded by GFactoryLock

// Main thread only.
std::vector<TOffscreenPreviewWindow*> GOffscreenWindows;

} // namespace

std::string FormatPreviewTime(int64_t AMicroseconds) {
    if (AMicroseconds == INT64_MIN)
        return "N/A";
    const int64_t seconds = AMicroseconds / 1000000;
    char text[64];
    std::snprintf(text, sizeof text, "%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64,
                  seconds / 60 / 60, (seconds / 60) % 60, seconds % 60,
                  (AMicroseconds % 1000000) * 1000 / 1000000);
    return text;
}

void SetPreviewWindowFactory(TPreviewWindowFactory AFactory) {
    std::lock_guard lock(GFactoryLock);
    GFactory = std::move(AFactory);
}

TPreviewer::TPreviewer() = default;

TPreviewer::~TPreviewer() {
    if (FWindow)
        TMainThread::Synchronize([this] { FWindow.reset(); });
}

bool TPreviewer::PreviewFrame(const TBitmap& ABitmap, [[maybe_unused]] int32_t AFrameNumber,
                              int64_t ATime) {
    if (FClosed)
        return false;
    TMainThread::Synchronize([&] { ShowPreview(ABitmap, ATime); });
    return !FClosed;
}

void TPreviewer::ShowPreview(const TBitmap& ABitmap, int64_t ATime) {
    if (FClosed)
        return;
    if (!FWindow) {
        TPreviewWindowFactory factory;
        {
            std::lock_guard lock(GFactoryLock);
            factory = GFactory;
        }
        FWindow = factory ? factory(*this) : std::make_unique<TOffscreenPreviewWindow>(*this);
        if (!FWindow)
            return;
    }
    FWindow->ShowFrame(ABitmap, FormatPreviewTime(ATime));
}

TOffscreenPreviewWindow::~TOffscreenPreviewWindow() {
    std::erase(GOffscreenWindows, this);
}

void TOffscreenPreviewWindow::ShowFrame(const TBitmap& ABitmap, const std::string& ACaption) {
    if (FFramesShown++ == 0) {
        FClientWidth = ABitmap.Width();
        FClientHeight = ABitmap.Height();
        GOffscreenWindows.push_back(this);
    }
    FCaption = ACaption;
    FPicture = ABitmap;
}

int TOffscreenPreviewWindow::LiveCount() {
    return static_cast<int>(GOffscreenWindows.size());
}

TOffscreenPreviewWindow* TOffscreenPreviewWindow::Latest() {
    return GOffscreenWindows.empty() ? nullptr : GOffscreenWindows.back();
}

} // namespace qm
