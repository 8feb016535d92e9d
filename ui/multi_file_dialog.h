// The Add File dialog: an open dialog for any number of workbooks.
#pragma once

#include <QFileDialog>
#include <QStringList>

namespace tabulon::ui {

class CMultiFileDialog : public QFileDialog {
    Q_OBJECT
public:
    enum Result { IDOK = 1, IDCANCEL = 2 };

    CMultiFileDialog(bool openDialog, const QString& defaultExtension, const QString& fileName,
                     const QString& filter, QWidget* parent);

    int DoModal();
    // Iteration over the chosen paths: a position is an index, -1 after the last path.
    qsizetype GetStartPosition();
    QString GetNextPathName(qsizetype& position);

    // The names in a selection text such as "b.xls" "a.xls": each name between a pair of
    // double quotes, in order. Text outside quotes and an unterminated quote at the end are
    // ignored, so an empty or malformed text gives no names.
    static QStringList ParseSelectionSpec(const QString& selection);

protected:
    // Keeps the selection text and its folder at every change of the selection.
    void OnFileNameChange();

private:
    bool SpecParsed = false;
    bool buffersExist_ = false;
    QString FolderBuffer;
    QString SpecBuffer;
    QStringList names_;
};

}  // namespace tabulon::ui
