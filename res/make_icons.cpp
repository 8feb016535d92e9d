// Renders the program's mark as the PNG icons of the desktop's icon theme, at build time.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>

#include "res/artwork.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tabulon-make-icons OUTPUT-FOLDER\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    for (const int size : {16, 32, 48, 64, 128}) {
        QImage image(size, size, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        tabulon::ui::PaintProgramMark(painter, size);
        painter.end();
        const QString path = QStringLiteral("%1/tabulon-%2.png").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        if (!image.save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
