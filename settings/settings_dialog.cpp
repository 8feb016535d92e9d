#include "settings_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "ui/dialog_units.h"
#include "ui/paint_gradient.h"

namespace tabulon::settings {

using ui::DialogUnits;

CSettingsDlg::CSettingsDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("SettingsDialog"));
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(DialogUnits(0, 0, 226, 105).size());

    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setDefault(true);
    OkButton->setGeometry(DialogUnits(46, 81, 50, 14));
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setGeometry(DialogUnits(116, 81, 50, 14));
    SuffixEdit = new QLineEdit(this);
    SuffixEdit->setObjectName(QStringLiteral("SuffixEdit"));
    SuffixEdit->setAccessibleName(QStringLiteral("Suffix"));
    SuffixEdit->setGeometry(DialogUnits(133, 13, 85, 13));
    FolderEdit = new QLineEdit(this);
    FolderEdit->setObjectName(QStringLiteral("FolderEdit"));
    FolderEdit->setAccessibleName(QStringLiteral("Path for saving repaired file(s)"));
    FolderEdit->setGeometry(DialogUnits(15, 54, 141, 13));
    BrowseButton = new QPushButton(QStringLiteral("Browse"), this);
    BrowseButton->setGeometry(DialogUnits(165, 51, 53, 18));

    setTabOrder(OkButton, CancelButton);
    setTabOrder(CancelButton, SuffixEdit);
    setTabOrder(SuffixEdit, FolderEdit);
    setTabOrder(FolderEdit, BrowseButton);

    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(BrowseButton, &QPushButton::clicked, this, &CSettingsDlg::OnBrowse);
    ChooseFolder = [](QWidget* owner) {
        return QFileDialog::getExistingDirectory(owner, QStringLiteral("Select Folder"));
    };
}

void CSettingsDlg::SetFolder(const QString& folder)
{
    const qsizetype last = folder.lastIndexOf(QDir::separator());
    folderText_ = last < 0 ? QString() : folder.left(last);
    FolderEdit->setText(folderText_);
}

void CSettingsDlg::SetSuffix(const QString& suffix)
{
    suffixText_ = suffix;
    SuffixEdit->setText(suffixText_);
}

QString CSettingsDlg::GetFolder() const
{
    return folderText_ + QDir::separator();
}

QString CSettingsDlg::GetSuffix() const
{
    return suffixText_;
}

void CSettingsDlg::accept()
{
    folderText_ = FolderEdit->text();
    suffixText_ = SuffixEdit->text();
    QDialog::accept();
}

void CSettingsDlg::OnBrowse()
{
    const QString chosen = ChooseFolder(this);
    if (!chosen.isEmpty())
        FolderEdit->setText(QDir::toNativeSeparators(chosen));
}

void CSettingsDlg::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    ui::PaintGradient(painter, frameGeometry().width(), frameGeometry().height());
    QFont font(QStringLiteral("Verdana"));
    font.setPixelSize(13);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBackground(QColor(240, 240, 204));
    painter.drawText(QRect(QPoint(20, 25), QPoint(299, 49)), Qt::AlignLeft | Qt::AlignTop,
                     QStringLiteral("Set \"Suffix \" for repaired files."));
    painter.setBackground(QColor(240, 240, 164));
    painter.drawText(QRect(QPoint(20, 65), QPoint(299, 79)), Qt::AlignLeft | Qt::AlignTop,
                     QStringLiteral("Path for saving repaired file(s)"));
}

}  // namespace tabulon::settings
