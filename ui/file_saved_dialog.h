// The dialog that ends a save: where the files went, and whether to show them.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace tabulon::ui {

// "Finished Saving Files..", and when any file failed how many of them were saved and failed.
QString FinishedSavingText(int saved, int failed);

class CFileSavedDlg : public QDialog {
    Q_OBJECT
public:
    explicit CFileSavedDlg(QWidget* parent);

    void SetFolder(const QString& folder);
    // How the save went when some files failed: told after "Finished Saving Files..".
    void SetOutcome(int saved, int failed);
    // The first line as drawn.
    QString FinishedText() const;

    // Read back by OK; Escape and the close box keep the values as they were.
    bool ViewSavedFiles = true;
    QString Folder;

    QPushButton* OkButton;
    QCheckBox* ViewSavedFilesCheck;  // control 1003
    QLineEdit* FolderEdit;           // control 1000

    void accept() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString outcome_;  // empty when every file was saved
};

}  // namespace tabulon::ui
