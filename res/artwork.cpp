#include "artwork.h"

#include <QPainter>
#include <QPainterPath>

namespace tabulon::ui {
namespace {

const QColor kYellowGround(255, 255, 0);
const QColor kOrange(255, 140, 0);
const QColor kOrangePressed(214, 110, 0);

QPixmap Canvas(int width, int height, const QColor& ground)
{
    QPixmap pixmap(width, height);
    pixmap.fill(ground);
    return pixmap;
}

void DrawTriangle(QPainter& painter, QPointF tip, bool pointsRight)
{
    const qreal direction = pointsRight ? -1 : 1;
    QPainterPath triangle;
    triangle.moveTo(tip);
    triangle.lineTo(tip.x() + direction * 9, tip.y() - 6);
    triangle.lineTo(tip.x() + direction * 9, tip.y() + 6);
    triangle.closeSubpath();
    painter.fillPath(triangle, Qt::white);
}

}  // namespace

QPixmap WizardButtonPixmap(WizardButtonImage image, bool pressed)
{
    const bool large = image != WizardButtonImage::Finish && !pressed;
    QPixmap pixmap = Canvas(large ? 85 : 82, large ? 40 : 39, kYellowGround);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // Pressed: the pill sits one pixel lower and right, a shade darker.
    const QRectF pill = QRectF(3, 3, 77, 33).translated(pressed ? 1 : 0, pressed ? 1 : 0);
    painter.setPen(QPen(QColor(150, 80, 0), 1));
    painter.setBrush(pressed ? kOrangePressed : kOrange);
    painter.drawRoundedRect(pill, pill.height() / 2, pill.height() / 2);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(15);
    font.setBold(true);
    font.setItalic(image == WizardButtonImage::Finish);
    painter.setFont(font);
    painter.setPen(Qt::white);
    const QPointF centre = pill.center();
    switch (image) {
    case WizardButtonImage::Next:
        painter.drawText(pill.adjusted(8, 0, -18, 0), Qt::AlignCenter, QStringLiteral("Next"));
        DrawTriangle(painter, QPointF(pill.right() - 9, centre.y()), true);
        break;
    case WizardButtonImage::Previous:
        DrawTriangle(painter, QPointF(pill.left() + 9, centre.y()), false);
        painter.drawText(pill.adjusted(18, 0, -8, 0), Qt::AlignCenter, QStringLiteral("Prev"));
        break;
    case WizardButtonImage::Finish:
        painter.drawText(pill, Qt::AlignCenter, QStringLiteral("Finish"));
        break;
    }
    return pixmap;
}

QPixmap ToolbarPixmap(int index, bool hot)
{
    QPixmap pixmap(50, 50);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink = hot ? QColor(0, 110, 200) : QColor(70, 70, 70);
    const QColor paper = hot ? QColor(235, 245, 255) : Qt::white;
    painter.setPen(QPen(ink, 2));

    auto sheet = [&] {
        // A workbook page with a folded corner and grid lines.
        QPainterPath page;
        page.moveTo(10, 5);
        page.lineTo(32, 5);
        page.lineTo(40, 13);
        page.lineTo(40, 45);
        page.lineTo(10, 45);
        page.closeSubpath();
        painter.setBrush(paper);
        painter.drawPath(page);
        painter.setPen(QPen(ink.lighter(150), 1));
        for (int y = 17; y <= 41; y += 6)
            painter.drawLine(13, y, 37, y);
        painter.drawLine(22, 14, 22, 42);
        painter.setPen(QPen(ink, 2));
    };
    auto badge = [&](const QColor& colour) {
        painter.setBrush(colour);
        painter.setPen(QPen(colour.darker(130), 1));
        painter.drawEllipse(QRectF(27, 27, 20, 20));
        painter.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
    };

    switch (index) {
    case 0:  // Add File
        sheet();
        badge(hot ? QColor(40, 170, 60) : QColor(30, 140, 50));
        painter.drawLine(QPointF(37, 31), QPointF(37, 43));
        painter.drawLine(QPointF(31, 37), QPointF(43, 37));
        break;
    case 1:  // Remove
        sheet();
        badge(hot ? QColor(220, 50, 50) : QColor(180, 40, 40));
        painter.drawLine(QPointF(31, 37), QPointF(43, 37));
        break;
    case 2: {  // Repair File: a sheet with a plaster across it
        sheet();
        painter.save();
        painter.translate(25, 27);
        painter.rotate(-35);
        painter.setBrush(hot ? QColor(120, 200, 90) : QColor(90, 170, 70));
        painter.setPen(QPen(QColor(50, 110, 40), 1));
        painter.drawRoundedRect(QRectF(-20, -6, 40, 12), 6, 6);
        painter.setBrush(QColor(240, 230, 200));
        painter.drawRect(QRectF(-6, -6, 12, 12));
        painter.restore();
        break;
    }
    case 3: {  // Save File: a diskette
        painter.setBrush(hot ? QColor(60, 120, 210) : QColor(50, 90, 160));
        painter.drawRoundedRect(QRectF(8, 8, 34, 34), 3, 3);
        painter.setBrush(paper);
        painter.drawRect(QRectF(14, 8, 22, 12));
        painter.setBrush(QColor(200, 200, 200));
        painter.drawRect(QRectF(14, 28, 22, 14));
        break;
    }
    case 4: {  // Setting: a cog
        painter.translate(25, 25);
        painter.setBrush(hot ? QColor(160, 160, 170) : QColor(130, 130, 140));
        for (int tooth = 0; tooth < 8; ++tooth) {
            painter.drawRect(QRectF(-4, -20, 8, 8));
            painter.rotate(45);
        }
        painter.drawEllipse(QPointF(0, 0), 14, 14);
        painter.setBrush(paper);
        painter.drawEllipse(QPointF(0, 0), 5, 5);
        break;
    }
    default: {  // Help: a question mark in a circle
        painter.setBrush(hot ? QColor(0, 120, 215) : QColor(0, 90, 170));
        painter.drawEllipse(QRectF(7, 7, 36, 36));
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(26);
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRectF(7, 7, 36, 36), Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
    return pixmap;
}

// The program's mark: a workbook grid with a green plaster across it, in a size x size square.
void PaintProgramMark(QPainter& painter, int size)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 16.0;
    painter.setPen(QPen(QColor(0, 100, 0), unit));
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(1.5 * unit, 1.5 * unit, 13 * unit, 13 * unit));
    painter.setPen(QPen(QColor(120, 160, 120), unit / 2));
    for (int line = 1; line < 4; ++line) {
        const qreal at = (1.5 + 3.25 * line) * unit;
        painter.drawLine(QPointF(1.5 * unit, at), QPointF(14.5 * unit, at));
        painter.drawLine(QPointF(at, 1.5 * unit), QPointF(at, 14.5 * unit));
    }
    painter.translate(8 * unit, 8 * unit);
    painter.rotate(-45);
    painter.setPen(QPen(QColor(0, 90, 0), unit / 2));
    painter.setBrush(QColor(0, 160, 0));
    painter.drawRoundedRect(QRectF(-7 * unit, -2.5 * unit, 14 * unit, 5 * unit), 2.5 * unit, 2.5 * unit);
    painter.setBrush(QColor(240, 230, 200));
    painter.drawRect(QRectF(-2 * unit, -2.5 * unit, 4 * unit, 5 * unit));
    painter.restore();
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        PaintProgramMark(painter, size);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QPixmap LogoPixmap()
{
    QPixmap logo(76, 76);
    logo.fill(QColor(255, 255, 240));
    QPainter painter(&logo);
    painter.setPen(QPen(QColor(0, 100, 0), 1));
    painter.drawRect(0, 0, 75, 75);
    painter.translate(6, 6);
    PaintProgramMark(painter, 64);
    return logo;
}

}  // namespace tabulon::ui
