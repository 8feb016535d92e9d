#include "painting.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>

namespace tabulon::ui {

void PaintGradient(QPainter& target, int width, int height)
{
    constexpr int kStart = 240;
    constexpr int kBand = 4;
    if (width <= 0 || height <= 0)
        return;
    if (height < kBand) {
        target.fillRect(0, 0, width, height, QColor(kStart, kStart, kStart));
        return;
    }
    const int bands = height / kBand;
    const double greenStep = 43 / bands;
    const double blueStep = 240 / bands;
    int red = kStart;
    int green = kStart;
    int blue = kStart;

    QPixmap image(width, height);
    QPainter painter(&image);
    for (int y = 0; y < height; y += kBand) {
        green = static_cast<int>(green - greenStep);
        blue = static_cast<int>(blue - blueStep);
        painter.fillRect(0, y, width, kBand, QColor(red & 0xFF, green & 0xFF, blue & 0xFF));
    }
    painter.end();
    target.drawPixmap(0, 0, image);
}

void BeginCaptions(QPainter& painter, const QString& family, int pixelHeight)
{
    QFont font(family);
    font.setPixelSize(pixelHeight);
    font.setWeight(QFont::Normal);
    painter.setFont(font);
    painter.setPen(QColor(0, 0, 0));
    painter.setBackgroundMode(Qt::OpaqueMode);
}

void DrawCaption(QPainter& painter, int left, int top, int right, int bottom, const QColor& background,
                 const QString& text)
{
    // A substituted font can come out larger than the one the layout was made for; rather than
    // being cut at the edge of its room, the caption then steps down a pixel at a time, though
    // never below a size still easy to read.
    constexpr int kSmallestPixelSize = 8;
    constexpr int kFlags = Qt::AlignLeft | Qt::AlignTop;
    const QRect room(QPoint(left, top), QPoint(right - 1, bottom - 1));
    const QFont begun = painter.font();
    QFont font = begun;
    while (font.pixelSize() > kSmallestPixelSize) {
        const QFontMetrics metrics(font, painter.device());
        if (metrics.horizontalAdvance(text) <= room.width() && metrics.height() <= room.height())
            break;
        font.setPixelSize(font.pixelSize() - 1);
    }
    painter.setFont(font);
    painter.setBackground(background);
    painter.drawText(room, kFlags, text);
    painter.setFont(begun);
}

}  // namespace tabulon::ui
