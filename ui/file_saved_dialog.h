// The dialog that ends a save: where the files went, and whether to show them.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace tabulon::ui {

class CFileSavedDlg : public QDialog {
    Q_OBJECT
public:
    explicit CFileSavedDlg(QWidget* parent);

    void SetFolder(const QString& folder);

    // Read back by OK; Escape and the close box keep the values as they were.
    bool ViewSavedFiles = true;
    QString Folder;

    QPushButton* OkButton;
    QCheckBox* ViewSavedFilesCheck;  // control 1003
    QLineEdit* FolderEdit;           // control 1000

    void accept() override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tabulon::ui
