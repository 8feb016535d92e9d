#include "bitmap_button.h"

#include <QKeyEvent>
#include <QPainter>

namespace tabulon::ui {

CBitmapButton::CBitmapButton(const QString& text, QPixmap normal, QPixmap pressed, QWidget* parent)
    : QAbstractButton(parent), normal_(std::move(normal)), pressed_(std::move(pressed))
{
    setText(text);
    setAccessibleName(text);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

void CBitmapButton::paintEvent(QPaintEvent*)
{
    // Images are drawn at their own size from the top left, clipped by the button.
    QPainter painter(this);
    painter.drawPixmap(0, 0, isDown() ? pressed_ : normal_);
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

}  // namespace tabulon::ui

namespace tabulon::ui {

void CBitmapButton::keyPressEvent(QKeyEvent* event)
{
    // Enter presses the button as Space does.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        animateClick();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

}  // namespace tabulon::ui
