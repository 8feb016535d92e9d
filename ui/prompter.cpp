#include "prompter.h"

#include <QDesktopServices>
#include <QMessageBox>

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

}  // namespace tabulon::ui
