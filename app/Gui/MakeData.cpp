// Writes the program's generated data files into a folder: the notification sound
// click_22.wav, the program's icon quillmoor.png (256 px) with a 48-px copy, and the pictures
// of the trim page's Set Start and Set End buttons (trim_start.png, trim_end.png).
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

void Put16(std::ofstream& AOut, uint16_t AValue) {
    const char b[2] = {char(AValue & 0xff), char(AValue >> 8)};
    AOut.write(b, 2);
}

void Put32(std::ofstream& AOut, uint32_t AValue) {
    Put16(AOut, uint16_t(AValue & 0xffff));
    Put16(AOut, uint16_t(AValue >> 16));
}

// A short wooden click: two damped tones over a quickly fading burst, 22050 Hz mono, 16 bit.
bool WriteClick(const std::string& APath) {
    constexpr int Rate = 22050;
    constexpr double Seconds = 0.09;
    const int count = int(Rate * Seconds);
    std::vector<int16_t> samples(static_cast<size_t>(count));
    uint32_t noise = 12345;
    for (int i = 0; i < count; ++i) {
        const double t = double(i) / Rate;
        noise = noise * 1664525u + 1013904223u;
        const double burst = (double(noise >> 8) / double(1u << 24) * 2 - 1) * std::exp(-t / 0.002);
        const double tone = 0.55 * std::sin(2 * M_PI * 1900 * t) * std::exp(-t / 0.012) +
                            0.25 * std::sin(2 * M_PI * 3700 * t) * std::exp(-t / 0.006);
        const double attack = std::min(1.0, t / 0.0004);
        const double fade = i > count - 200 ? double(count - i) / 200 : 1.0;
        samples[size_t(i)] = int16_t(std::lround(26000 * attack * fade * (0.35 * burst + tone)));
    }
    std::ofstream out(APath, std::ios::binary);
    const uint32_t data = uint32_t(samples.size() * 2);
    out.write("RIFF", 4);
    Put32(out, 36 + data);
    out.write("WAVEfmt ", 8);
    Put32(out, 16);
    Put16(out, 1); // PCM
    Put16(out, 1); // mono
    Put32(out, Rate);
    Put32(out, Rate * 2);
    Put16(out, 2);
    Put16(out, 16);
    out.write("data", 4);
    Put32(out, data);
    for (int16_t s : samples)
        Put16(out, uint16_t(s));
    return bool(out);
}

// A disc with a quill laid across it.
QImage PaintIcon(int ASize) {
    QImage image(ASize, ASize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(ASize / 256.0, ASize / 256.0);

    QRadialGradient disc(QPointF(128, 128), 118);
    disc.setColorAt(0.0, QColor(250, 250, 252));
    disc.setColorAt(0.45, QColor(196, 208, 226));
    disc.setColorAt(0.7, QColor(228, 214, 240));
    disc.setColorAt(1.0, QColor(150, 164, 190));
    p.setPen(QPen(QColor(90, 100, 120), 4));
    p.setBrush(disc);
    p.drawEllipse(QPointF(128, 128), 116, 116);
    p.setPen(QPen(QColor(120, 130, 150), 2));
    p.setBrush(QColor(235, 238, 244));
    p.drawEllipse(QPointF(128, 128), 34, 34);
    p.setBrush(Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawEllipse(QPointF(128, 128), 14, 14);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);

    // The quill: a curved vane from the top right down to a nib at the bottom left.
    QPainterPath vane;
    vane.moveTo(70, 200);
    vane.cubicTo(110, 120, 170, 60, 236, 20);
    vane.cubicTo(220, 80, 170, 150, 84, 204);
    vane.closeSubpath();
    QLinearGradient feather(QPointF(80, 200), QPointF(236, 20));
    feather.setColorAt(0, QColor(40, 70, 130));
    feather.setColorAt(1, QColor(90, 140, 210));
    p.setPen(QPen(QColor(20, 40, 80), 3));
    p.setBrush(feather);
    p.drawPath(vane);
    p.setPen(QPen(QColor(230, 236, 248), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(78, 200), QPointF(228, 30));
    QPainterPath nib;
    nib.moveTo(70, 200);
    nib.lineTo(84, 204);
    nib.lineTo(52, 240);
    nib.closeSubpath();
    p.setPen(QPen(QColor(20, 20, 30), 2));
    p.setBrush(QColor(40, 40, 50));
    p.drawPath(nib);
    p.end();
    return image;
}

// A bracket on a bar with a flag beside it: the start (green, opening to the right) or the
// end (red, opening to the left) of the part to convert.
QImage PaintTrimMark(int ASize, bool AEnd) {
    QImage image(ASize, ASize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(ASize / 24.0, ASize / 24.0);
    if (AEnd) {
        // The end is the start's mirror picture.
        p.translate(24, 0);
        p.scale(-1, 1);
    }
    // The time line.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(110, 110, 120));
    p.drawRoundedRect(QRectF(2, 17, 20, 3), 1.5, 1.5);
    // The kept part of it.
    const QColor mark = AEnd ? QColor(196, 48, 40) : QColor(36, 150, 60);
    p.setBrush(mark);
    p.drawRoundedRect(QRectF(7, 17, 15, 3), 1.5, 1.5);
    // The bracket.
    p.setPen(QPen(mark.darker(130), 2.2, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath bracket;
    bracket.moveTo(10, 3);
    bracket.lineTo(7, 3);
    bracket.lineTo(7, 22);
    bracket.lineTo(10, 22);
    p.drawPath(bracket);
    // The flag.
    QPainterPath flag;
    flag.moveTo(8, 4);
    flag.lineTo(20, 8.5);
    flag.lineTo(8, 13);
    flag.closeSubpath();
    p.setPen(QPen(mark.darker(150), 1));
    p.setBrush(mark);
    p.drawPath(flag);
    p.end();
    return image;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s OUTDIR\n", argv[0]);
        return 1;
    }
    const std::string dir = std::string(argv[1]) + "/";
    bool ok = WriteClick(dir + "click_22.wav");
    const QImage icon = PaintIcon(256);
    ok = icon.save(QString::fromStdString(dir + "quillmoor.png")) && ok;
    ok = PaintIcon(48).save(QString::fromStdString(dir + "quillmoor-48.png")) && ok;
    ok = PaintTrimMark(24, false).save(QString::fromStdString(dir + "trim_start.png")) && ok;
    ok = PaintTrimMark(24, true).save(QString::fromStdString(dir + "trim_end.png")) && ok;
    if (!ok)
        std::fprintf(stderr, "Cannot write the data files into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
