#include "settings_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "ui/dialog_units.h"
#include "ui/painting.h"

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
    ui::BeginCaptions(painter, QStringLiteral("Verdana"), 13);
    ui::DrawCaption(painter, 20, 25, 300, 50, QColor(240, 240, 204), QStringLiteral("Set \"Suffix \" for repaired files."));
    ui::DrawCaption(painter, 20, 65, 300, 80, QColor(240, 240, 164), QStringLiteral("Path for saving repaired file(s)"));
}

}  // namespace tabulon::settings
