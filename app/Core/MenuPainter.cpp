#include "Core/MenuPainter.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <cmath>

#include "Core/MenuLayout.h"

namespace qm {

namespace {

QRect ToQRect(const TMenuRect& r) { return QRect(r.X0, r.Y0, r.Width(), r.Height()); }

QFont MenuFont(int APixelSize, bool ABold) {
    QFont font("DejaVu Sans");
    font.setPixelSize(APixelSize);
    font.setBold(ABold);
    return font;
}

const char* BarText(TMenuButtonKind AKind) {
    switch (AKind) {
    case mbPrevious:
        return "Previous";
    case mbPlayAll:
        return "Play all";
    case mbNext:
        return "Next";
    case mbTitle:
        break;
    }
    return "";
}

// The stored frame shows DisplayWidth pixels squeezed into FrameWidth.
QTransform DisplayToStored(const TMenuLayout& ALayout) {
    return QTransform::fromScale(static_cast<double>(ALayout.FrameWidth) / ALayout.DisplayWidth, 1.0);
}

// Everything of a page in display pixels.
void DrawPage(QPainter& APainter, const TMenuLayout& ALayout, int APage, const std::vector<TMenuTitle>& ATitles) {
    const int w = ALayout.DisplayWidth, h = ALayout.FrameHeight;
    QLinearGradient gradient(0, 0, w * 0.3, h);
    gradient.setColorAt(0, QColor(22, 38, 84));
    gradient.setColorAt(1, QColor(58, 18, 66));
    APainter.fillRect(QRect(0, 0, w, h), gradient);
    APainter.setRenderHint(QPainter::Antialiasing, true);
    APainter.setRenderHint(QPainter::TextAntialiasing, true);
    APainter.setRenderHint(QPainter::SmoothPixmapTransform, true);

    const TMenuPage& page = ALayout.Pages.at(static_cast<size_t>(APage));
    const QColor text(240, 240, 240);
    if (ALayout.Pages.size() > 1) {
        APainter.setFont(MenuFont(h / 26, false));
        APainter.setPen(QColor(200, 200, 215));
        APainter.drawText(ToQRect(ALayout.Heading), Qt::AlignRight | Qt::AlignVCenter,
                          QString("Page %1 of %2").arg(APage + 1).arg(ALayout.Pages.size()));
    }
    for (const TMenuButton& b : page.Buttons) {
        if (b.Kind != mbTitle) {
            APainter.setPen(Qt::NoPen);
            APainter.setBrush(QColor(255, 255, 255, 40));
            APainter.drawRoundedRect(ToQRect(b.Label), 6, 6);
            APainter.setFont(MenuFont(h / 20, true));
            APainter.setPen(text);
            APainter.drawText(ToQRect(b.Label), Qt::AlignCenter, BarText(b.Kind));
            continue;
        }
        const QRect picture = ToQRect(b.Picture);
        const TMenuTitle* title =
            b.Title - 1 < static_cast<int>(ATitles.size()) ? &ATitles[static_cast<size_t>(b.Title - 1)] : nullptr;
        if (title && !title->Picture.isNull())
            APainter.drawImage(picture, title->Picture);
        else
            APainter.fillRect(picture, QColor(10, 10, 20));
        APainter.setPen(QPen(QColor(255, 255, 255, 120), 1));
        APainter.setBrush(Qt::NoBrush);
        APainter.drawRect(picture.adjusted(0, 0, -1, -1));
        APainter.setFont(MenuFont(h / 24, false));
        APainter.setPen(text);
        const QRect label = ToQRect(b.Label);
        const QString name = title ? title->Name : QString();
        const QString shown = QFontMetrics(APainter.font()).elidedText(name, Qt::ElideRight, label.width());
        APainter.drawText(label, Qt::AlignHCenter | Qt::AlignVCenter, shown);
    }
}

// Frames around the buttons, thick enough to see, in display pixels.
void DrawFrames(QPainter& APainter, const TMenuLayout& ALayout, int APage, QColor AColour, int AOnly = 0) {
    const int thickness = std::max(4, ALayout.FrameHeight / 120);
    const auto& buttons = ALayout.Pages.at(static_cast<size_t>(APage)).Buttons;
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (AOnly > 0 && static_cast<int>(i) + 1 != AOnly)
            continue;
        const QRect r = ToQRect(buttons[i].Frame);
        APainter.fillRect(QRect(r.left(), r.top(), r.width(), thickness), AColour);
        APainter.fillRect(QRect(r.left(), r.bottom() - thickness + 1, r.width(), thickness), AColour);
        APainter.fillRect(QRect(r.left(), r.top(), thickness, r.height()), AColour);
        APainter.fillRect(QRect(r.right() - thickness + 1, r.top(), thickness, r.height()), AColour);
    }
}

} // namespace

QImage PaintMenuPage(const TMenuLayout& ALayout, int APage, const std::vector<TMenuTitle>& ATitles) {
    QImage image(ALayout.FrameWidth, ALayout.FrameHeight, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setTransform(DisplayToStored(ALayout));
    DrawPage(painter, ALayout, APage, ATitles);
    return image;
}

QImage PaintButtonMask(const TMenuLayout& ALayout, int APage, unsigned AColour, bool ALetterbox) {
    QImage drawn(ALayout.FrameWidth, ALayout.FrameHeight, QImage::Format_ARGB32);
    drawn.fill(Qt::transparent);
    {
        QPainter painter(&drawn);
        painter.setRenderHint(QPainter::Antialiasing, false);
        QTransform t = DisplayToStored(ALayout);
        // Letterboxed, the picture keeps its width and takes three quarters of the height.
        if (ALetterbox)
            t = DisplayToStored(ALayout) * QTransform::fromScale(1.0, 0.75) *
                QTransform::fromTranslate(0, ALayout.FrameHeight / 8.0);
        painter.setTransform(t);
        DrawFrames(painter, ALayout, APage, QColor::fromRgba(AColour));
    }
    // Two colours exactly: transparent and the frame's.
    QImage mask(drawn.size(), QImage::Format_Indexed8);
    mask.setColorTable({qRgba(0, 0, 0, 0), AColour});
    for (int y = 0; y < drawn.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
        uchar* out = mask.scanLine(y);
        for (int x = 0; x < drawn.width(); ++x)
            out[x] = qAlpha(in[x]) >= 128 ? 1 : 0;
    }
    return mask;
}

QImage PreviewMenuPage(const TMenuLayout& ALayout, int APage, const std::vector<TMenuTitle>& ATitles) {
    QImage image(ALayout.DisplayWidth, ALayout.FrameHeight, QImage::Format_RGB32);
    QPainter painter(&image);
    DrawPage(painter, ALayout, APage, ATitles);
    painter.setRenderHint(QPainter::Antialiasing, false);
    DrawFrames(painter, ALayout, APage, QColor::fromRgba(MenuHighlightColour), 1);
    return image;
}

} // namespace qm
