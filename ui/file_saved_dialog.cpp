#include "file_saved_dialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "dialog_units.h"
#include "painting.h"

namespace tabulon::ui {

CFileSavedDlg::CFileSavedDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FileSavedDialog"));
    setWindowTitle(QStringLiteral("File Saved"));
    setFixedSize(DialogUnits(0, 0, 187, 97).size());

    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setDefault(true);
    OkButton->setGeometry(DialogUnits(68, 81, 50, 14));
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);

    ViewSavedFilesCheck = new QCheckBox(this);
    ViewSavedFilesCheck->setAccessibleName(QStringLiteral("View saved files"));
    ViewSavedFilesCheck->setGeometry(DialogUnits(15, 58, 9, 10));
    ViewSavedFilesCheck->setChecked(ViewSavedFiles);

    FolderEdit = new QLineEdit(this);
    FolderEdit->setAccessibleName(QStringLiteral("The Files have been saved in"));
    FolderEdit->setGeometry(DialogUnits(16, 36, 149, 15));

    setTabOrder(OkButton, ViewSavedFilesCheck);
    setTabOrder(ViewSavedFilesCheck, FolderEdit);
    OkButton->setFocus();
}

void CFileSavedDlg::SetFolder(const QString& folder)
{
    Folder = folder;
    FolderEdit->setText(folder);
}

QString FinishedSavingText(int saved, int failed)
{
    const QString finished = QStringLiteral("Finished Saving Files..");
    if (failed <= 0)
        return finished;
    return finished + QStringLiteral(" %1 of %2 saved, %3 failed").arg(saved).arg(saved + failed).arg(failed);
}

void CFileSavedDlg::SetOutcome(int saved, int failed)
{
    outcome_ = failed > 0 ? FinishedSavingText(saved, failed) : QString();
    setAccessibleDescription(FinishedText());
    update();
}

QString CFileSavedDlg::FinishedText() const
{
    return outcome_.isEmpty() ? FinishedSavingText(0, 0) : outcome_;
}

void CFileSavedDlg::accept()
{
    ViewSavedFiles = ViewSavedFilesCheck->isChecked();
    Folder = FolderEdit->text();
    QDialog::accept();
}

void CFileSavedDlg::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    PaintGradient(painter, frameGeometry().width(), frameGeometry().height());
    BeginCaptions(painter, QStringLiteral("Times New Roman"), 17);
    // With the failures told after it, the line is kept inside the dialog (smaller if it must be).
    DrawCaption(painter, 10, 10, outcome_.isEmpty() ? 300 : width() - 10, 30, QColor(240, 240, 210), FinishedText());
    DrawCaption(painter, 10, 35, 300, 55, QColor(240, 240, 180), QStringLiteral("The Files have been saved in "));
    DrawCaption(painter, 45, 95, 200, 120, QColor(240, 240, 105), QStringLiteral("View saved files"));
}

}  // namespace tabulon::ui
