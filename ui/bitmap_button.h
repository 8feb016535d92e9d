// A push button drawn as two images: normal, and pressed while the mouse holds it down.
#pragma once

#include <QAbstractButton>
#include <QPixmap>

namespace tabulon::ui {

class CBitmapButton : public QAbstractButton {
    Q_OBJECT
public:
    CBitmapButton(const QString& text, QPixmap normal, QPixmap pressed, QWidget* parent);
    QSize sizeHint() const override { return normal_.size(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPixmap normal_;
    QPixmap pressed_;
};

}  // namespace tabulon::ui
