// The Settings dialog: the destination folder and the suffix of saved workbooks.
#pragma once

#include <QDialog>
#include <functional>

class QLineEdit;
class QPushButton;

namespace tabulon::settings {

class CSettingsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSettingsDlg(QWidget* parent);

    // The folder is shown without its trailing separator: everything up to the last one.
    void SetFolder(const QString& folder);
    void SetSuffix(const QString& suffix);
    // The folder as edited, with one separator appended.
    QString GetFolder() const;
    QString GetSuffix() const;

    void OnBrowse();
    // The folder chooser behind Browse, opened at `startFolder`; empty when cancelled.
    std::function<QString(QWidget* owner, const QString& startFolder)> ChooseFolder;
    // Tells why OK was refused; a warning message box unless the owner shows it its own way.
    std::function<void(const QString& reason)> ShowRefusal;
    // Asks whether to keep a suffix emptied in the box; a warning with Yes and No unless the
    // owner asks its own way. True: keep it empty.
    std::function<bool(const QString& question)> ConfirmEmptySuffix;

    QPushButton* OkButton;
    QPushButton* CancelButton;
    QLineEdit* SuffixEdit;   // control 1000
    QLineEdit* FolderEdit;   // control 1001
    QPushButton* BrowseButton;

    // Takes the edits, unless the suffix could not go into a file name, or was emptied and the
    // user would rather not: then the suffix box gets back the last suffix taken (the one the
    // dialog was given) and the dialog stays open.
    void accept() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString folderText_;
    QString suffixText_;
};

}  // namespace tabulon::settings
