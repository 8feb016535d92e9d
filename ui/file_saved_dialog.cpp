#include "file_saved_dialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "dialog_units.h"
#include "paint_gradient.h"

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
    QFont font(QStringLiteral("Times New Roman"));
    font.setPixelSize(17);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.setBackgroundMode(Qt::OpaqueMode);
    const struct {
        QColor background;
        QRect box;
        const char* text;
    } captions[] = {
        {QColor(240, 240, 210), QRect(QPoint(10, 10), QPoint(299, 29)), "Finished Saving Files.."},
        {QColor(240, 240, 180), QRect(QPoint(10, 35), QPoint(299, 54)), "The Files have been saved in "},
        {QColor(240, 240, 105), QRect(QPoint(45, 95), QPoint(199, 119)), "View saved files"},
    };
    for (const auto& caption : captions) {
        painter.setBackground(caption.background);
        painter.drawText(caption.box, Qt::AlignLeft | Qt::AlignTop, QString::fromLatin1(caption.text));
    }
}

}  // namespace tabulon::ui
