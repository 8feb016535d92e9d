#include "multi_file_dialog.h"

#include <QDir>
#include <QLineEdit>

namespace tabulon::ui {

CMultiFileDialog::CMultiFileDialog(bool openDialog, const QString& defaultExtension, const QString& fileName,
                                   const QString& filter, QWidget* parent)
    : QFileDialog(parent)
{
    // Qt's own dialog on every platform, so that its selection text can be read.
    setOption(QFileDialog::DontUseNativeDialog);
    setAcceptMode(openDialog ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    setFileMode(openDialog ? QFileDialog::ExistingFiles : QFileDialog::AnyFile);
    setDefaultSuffix(defaultExtension);
    setNameFilter(filter);
    if (!fileName.isEmpty())
        selectFile(fileName);
    if (auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        connect(nameEdit, &QLineEdit::textChanged, this, [this] { OnFileNameChange(); });
}

void CMultiFileDialog::OnFileNameChange()
{
    const auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    const QString selection = nameEdit ? nameEdit->text() : QString();
    // Only a list of quoted names needs our own reading; a single name is the dialog's.
    buffersExist_ = selection.trimmed().startsWith(QLatin1Char('"'));
    SpecParsed = false;
    SpecBuffer = buffersExist_ ? selection : QString();
    FolderBuffer = buffersExist_ ? directory().absolutePath() : QString();
}

int CMultiFileDialog::DoModal()
{
    buffersExist_ = false;
    SpecBuffer.clear();
    FolderBuffer.clear();
    const int result = exec();
    if (result == QDialog::Accepted && buffersExist_)
        FolderBuffer = directory().absolutePath();
    return result == QDialog::Accepted ? IDOK : IDCANCEL;
}

qsizetype CMultiFileDialog::GetStartPosition()
{
    if (buffersExist_) {
        if (!SpecParsed) {
            names_ = ParseSelectionSpec(SpecBuffer);
            SpecParsed = true;
        }
    } else {
        names_ = selectedFiles();
    }
    return names_.isEmpty() ? -1 : 0;
}

QString CMultiFileDialog::GetNextPathName(qsizetype& position)
{
    const QString& name = names_.at(position);
    const QString path = buffersExist_ ? QDir(FolderBuffer).filePath(name) : name;
    ++position;
    if (position >= names_.size())
        position = -1;
    return path;
}

QStringList CMultiFileDialog::ParseSelectionSpec(const QString& selection)
{
    QStringList names;
    qsizetype open = selection.indexOf(QLatin1Char('"'));
    while (open >= 0) {
        const qsizetype close = selection.indexOf(QLatin1Char('"'), open + 1);
        if (close < 0)
            break;
        if (close > open + 1)
            names << selection.mid(open + 1, close - open - 1);
        open = selection.indexOf(QLatin1Char('"'), close + 1);
    }
    return names;
}

}  // namespace tabulon::ui
