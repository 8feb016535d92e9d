#include "ui/settings/settings_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

#include "ui/dialog_units.h"
#include "ui/painting.h"

namespace tabulon::settings {

using ui::DialogUnits;

namespace {

const QString kSuffixHasSeparator =
    QStringLiteral("The suffix cannot contain / or \\, because it goes into the name of each repaired file.");
const QString kKeepSuffixEmpty =
    QStringLiteral("With no suffix, each repaired copy is saved under its workbook's own name (Book1.xls as Book1.xls), "
                   "so it cannot be saved into the workbook's own folder.\n\nKeep the suffix empty?");

// Where Browse opens: the folder in the box, or the nearest folder above it that exists, or the
// home folder when the box holds no absolute path.
QString StartFolder(const QString& typed)
{
    QString folder = QDir::cleanPath(QDir::fromNativeSeparators(typed));
    if (typed.isEmpty() || !QDir::isAbsolutePath(folder))
        return QDir::toNativeSeparators(QDir::homePath());
    while (!QFileInfo(folder).isDir()) {
        const QString parent = QFileInfo(folder).path();
        if (parent == folder)
            return QDir::toNativeSeparators(QDir::homePath());
        folder = parent;
    }
    return QDir::toNativeSeparators(folder);
}

}  // namespace

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
    ChooseFolder = [](QWidget* owner, const QString& startFolder) {
        return QFileDialog::getExistingDirectory(owner, QStringLiteral("Select Folder"), startFolder);
    };
    ShowRefusal = [this](const QString& reason) {
        QMessageBox::warning(this, QStringLiteral("Quorvex Tabulon"), reason);
    };
    ConfirmEmptySuffix = [this](const QString& question) {
        return QMessageBox::warning(this, QStringLiteral("Quorvex Tabulon"), question, QMessageBox::Yes | QMessageBox::No,
                                    QMessageBox::No) == QMessageBox::Yes;
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
    // A saved name is the base name, the suffix and ".xls", so only a separator can take it out
    // of the folder (it can never come out as "." or ".."); the command line refuses the same.
    const QString suffix = SuffixEdit->text();
    if (suffix.contains(QLatin1Char('/')) || suffix.contains(QLatin1Char('\\'))) {
        SuffixEdit->setText(suffixText_);
        ShowRefusal(kSuffixHasSeparator);
        SuffixEdit->setFocus();
        return;
    }
    // An empty suffix names each copy as its workbook: allowed, once the user has been told.
    if (suffix.isEmpty() && !suffixText_.isEmpty() && !ConfirmEmptySuffix(kKeepSuffixEmpty)) {
        SuffixEdit->setText(suffixText_);
        SuffixEdit->setFocus();
        return;
    }
    folderText_ = FolderEdit->text();
    suffixText_ = SuffixEdit->text();
    QDialog::accept();
}

void CSettingsDlg::OnBrowse()
{
    const QString chosen = ChooseFolder(this, StartFolder(FolderEdit->text()));
    if (!chosen.isEmpty())
        FolderEdit->setText(QDir::toNativeSeparators(chosen));
}

void CSettingsDlg::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    ui::PaintGradient(painter, frameGeometry().width(), frameGeometry().height());
    ui::BeginCaptions(painter, QStringLiteral("Verdana"), 13);
    // The suffix box stands on the first caption's line: the caption ends a little before it.
    constexpr int kGap = 4;
    const int suffixRight = std::min(300, SuffixEdit->geometry().left() - kGap);
    ui::DrawCaption(painter, 20, 25, suffixRight, 50, QColor(240, 240, 204), QStringLiteral("Set \"Suffix \" for repaired files."));
    ui::DrawCaption(painter, 20, 65, 300, 80, QColor(240, 240, 164), QStringLiteral("Path for saving repaired file(s)"));
}

}  // namespace tabulon::settings
