#include "prompter.h"

#include <QDesktopServices>
#include <QMessageBox>

#include "file_saved_dialog.h"
#include "multi_file_dialog.h"

namespace tabulon::ui {

MessageAnswer WidgetPrompter::ShowMessage(const QString& text, MessageIcon icon, MessageButtons buttons)
{
    const QMessageBox::Icon boxIcon = icon == MessageIcon::Information ? QMessageBox::Information
                                      : icon == MessageIcon::Warning   ? QMessageBox::Warning
                                                                       : QMessageBox::NoIcon;
    QMessageBox box(boxIcon, kCaption, text,
                    buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner_);
    if (icon == MessageIcon::Information) {
        box.raise();
        box.activateWindow();
    }
    const int answer = box.exec();
    if (buttons == MessageButtons::Ok)
        return MessageAnswer::Ok;
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

QStringList WidgetPrompter::ChooseWorkbooks()
{
    CMultiFileDialog dialog(true, QStringLiteral("xls"), QString(), QStringLiteral("Excel Files (*.xls)"), nullptr);
    if (dialog.DoModal() != CMultiFileDialog::IDOK)
        return {};
    QStringList paths;
    for (qsizetype position = dialog.GetStartPosition(); position >= 0;)
        paths << dialog.GetNextPathName(position);
    return paths;
}

void WidgetPrompter::OpenUrl(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

QString WidgetPrompter::ChooseSaveAs(const QString& proposed)
{
    QFileDialog dialog(nullptr, QString(), proposed, QStringLiteral("Excel Files (*.xls)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("xls"));
    dialog.selectFile(proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

bool WidgetPrompter::ShowFileSaved(const QString& folder, int saved, int failed)
{
    CFileSavedDlg dialog(owner_);
    dialog.SetFolder(folder);
    dialog.SetOutcome(saved, failed);
    dialog.exec();
    return dialog.ViewSavedFiles;
}

int WidgetPrompter::RunDialog(QDialog& dialog)
{
    return dialog.exec();
}

}  // namespace tabulon::ui
