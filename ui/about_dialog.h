// The About box: the product, its version and the maker's notices.
#pragma once

#include <QDialog>

class QPushButton;

namespace tabulon::ui {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent);

    QPushButton* OkButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The seven painted lines, top to bottom.
extern const char* const kAboutLines[7];

}  // namespace tabulon::ui
