#include "about_dialog.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "dialog_units.h"
#include "painting.h"
#include "res/artwork.h"

namespace tabulon::ui {

const char* const kAboutLines[7] = {
    "Quorvex Tabulon Version " TABULON_VERSION,
    "Copyright (C) 2008-2026 Quorvex. All rights reserved.",
    "Quorvex",
    "This program is protected by copyright law.",
    "Copying or distributing it without permission",
    "is prohibited. https://www.quorvex.example",
    "Contact: support@quorvex.example",
};

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("About Tabulon"));
    setFixedSize(DialogUnits(0, 0, 316, 138).size());

    auto* icon = new QLabel(this);
    icon->setPixmap(ApplicationIcon().pixmap(32, 32));
    icon->setGeometry(DialogUnits(11, 17, 21, 20));
    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setDefault(true);
    OkButton->setGeometry(DialogUnits(133, 117, 50, 14));
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
}

void CAboutDlg::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    PaintGradient(painter, frameGeometry().width(), frameGeometry().height());
    BeginCaptions(painter, QStringLiteral("Verdana"), 13);
    // Each line on its own box, the blue falling by 15 per line: a stepped column.
    for (int line = 0; line < 7; ++line) {
        DrawCaption(painter, 80, 30 + 20 * line, 500, 50 + 20 * line, QColor(240, 240, 210 - 15 * line),
                    QString::fromUtf8(kAboutLines[line]));
    }
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setPen(QPen(Qt::black, 1));
    painter.drawPolyline(QPolygon({QPoint(60, 20), QPoint(455, 20), QPoint(455, 180), QPoint(60, 180), QPoint(60, 20)}));
}

}  // namespace tabulon::ui
