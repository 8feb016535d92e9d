// What the window and its dialogs look like, rendered headless, and the settings they keep.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QScopeGuard>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "modal_answer.h"

#include "ui/settings/settings_dialog.h"
#include "ui/settings/settings_store.h"
#include "ui/about_dialog.h"
#include "ui/commands.h"
#include "ui/file_saved_dialog.h"
#include "ui/main_frame.h"
#include "ui/painting.h"
#include "ui/repair_app.h"
#include "ui/wizard_view.h"

using namespace tabulon::ui;
using tabulon::settings::CSettingsDlg;

namespace {

QImage Gradient(int width, int height)
{
    QImage image(width, std::max(height, 1), QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    PaintGradient(painter, width, height);
    return image;
}

// The bounding box of the pixels in `area` that `match` accepts; empty when there are none.
QRect Extent(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& match)
{
    QRect extent;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.rect().contains(x, y) && match(image.pixel(x, y)))
                extent |= QRect(x, y, 1, 1);
    return extent;
}

auto Is(QRgb colour)
{
    return [colour](QRgb pixel) { return pixel == colour; };
}
const auto IsInk = [](QRgb pixel) { return qGray(pixel) < 128; };

#ifndef Q_OS_WIN  // there, the registry key holds the settings
QString SettingsFile()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvex"), QStringLiteral("Tabulonix"));
    return store.fileName();
}
#endif

}  // namespace

class LookTest : public QObject {
    Q_OBJECT

    FakePrompter prompter_;
    std::unique_ptr<CRepairApp> app_;
    CWizardView* view_ = nullptr;

    void StartApp()
    {
        app_ = std::make_unique<CRepairApp>();
        QVERIFY(app_->InitInstance(&prompter_));
        view_ = app_->MainFrame()->WizardView;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init()
    {
#ifdef Q_OS_WIN
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvex"), QStringLiteral("Tabulonix")).clear();
#else
        QFile::remove(SettingsFile());
#endif
    }
    void cleanup() { app_.reset(); }

    // The background never lightens downward, darkens from top to bottom up to 240 bands of 4
    // pixels (past that its steps round to nothing), and a view of no height draws nothing.
    void gradientDarkensDownward()
    {
        for (int height = 1; height <= 1000; ++height) {
            const QImage image = Gradient(1, height);
            for (int y = 1; y < height / 4 * 4; ++y) {
                const QRgb pixel = image.pixel(0, y), above = image.pixel(0, y - 1);
                if (qGray(pixel) > qGray(above))
                    QFAIL(qPrintable(QStringLiteral("height %1, row %2: lighter than the row above").arg(height).arg(y)));
            }
            if (height >= 8 && height / 4 <= 240)
                QVERIFY2(qGray(image.pixel(0, height / 4 * 4 - 1)) < qGray(image.pixel(0, 0)), qPrintable(QString::number(height)));
        }
        QCOMPARE(Gradient(10, 0).pixel(5, 0), qRgb(0, 0, 0));
    }

    void fileSavedDialog()
    {
        CFileSavedDlg dialog(nullptr);
        dialog.SetFolder(QStringLiteral("/srv/out/"));
        QVERIFY(dialog.ViewSavedFilesCheck->isChecked());
        dialog.ViewSavedFilesCheck->setChecked(false);
        dialog.reject();
        QVERIFY2(dialog.ViewSavedFiles, "Escape keeps the box's first state");
        dialog.accept();
        QVERIFY(!dialog.ViewSavedFiles);
    }

    // When some files failed, the first line says after "Finished Saving Files.." how many were
    // saved and how many failed, drawn whole inside the dialog.
    void fileSavedDialogCountsFailures()
    {
        RegisterFontSubstitutes();
        CFileSavedDlg dialog(nullptr);
        const QRgb firstLine = qRgb(240, 240, 210);
        const QImage all = dialog.grab().toImage();
        QCOMPARE(dialog.FinishedText(), QStringLiteral("Finished Saving Files.."));
        dialog.SetOutcome(2, 1);
        QCOMPARE(dialog.FinishedText(), QStringLiteral("Finished Saving Files.. 2 of 3 saved, 1 failed"));
        QCOMPARE(dialog.accessibleDescription(), dialog.FinishedText());
        const QImage some = dialog.grab().toImage();
        const QRect before = Extent(all, all.rect(), Is(firstLine));
        const QRect after = Extent(some, some.rect(), Is(firstLine));
        QVERIFY2(after.width() > before.width() + 40, qPrintable(QStringLiteral("%1 -> %2").arg(before.width()).arg(after.width())));
        QVERIFY(after.right() < some.width() - 1);
    }

    void settingsDialogFolders()
    {
        CSettingsDlg dialog(nullptr);
        const QString sep = QDir::separator();
        const struct {
            QString stored;
            QString shown;
        } cases[] = {
            {sep + "srv" + sep + "out" + sep, sep + "srv" + sep + "out"},
            {"no-separator", ""},
            {sep, ""},
        };
        for (const auto& c : cases) {
            dialog.SetFolder(c.stored);
            QCOMPARE(dialog.FolderEdit->text(), c.shown);
            QCOMPARE(dialog.GetFolder(), c.shown + sep);
        }
        dialog.FolderEdit->setText(sep + "typed" + sep);
        dialog.SuffixEdit->setText(QStringLiteral("_ok"));
        dialog.accept();
        QCOMPARE(dialog.GetFolder(), sep + "typed" + sep + sep);
        QCOMPARE(dialog.GetSuffix(), QStringLiteral("_ok"));
        dialog.FolderEdit->clear();
        dialog.accept();
        QCOMPARE(dialog.GetFolder(), sep);
    }

    void settingsStoredAndKept()
    {
        // A fresh store gives the defaults.
        StartApp();
        QCOMPARE(view_->Suffix, QStringLiteral("_repaired"));
        QVERIFY(view_->SaveFolder.endsWith(QDir::separator()));
        QCOMPARE(view_->SaveFolder, tabulon::settings::DefaultSaveFolder());

        // The dialog gets a suffix typed and a folder chosen with Browse, then Cancel or OK.
        QString title, suffix = QStringLiteral("_x"), chosen = QStringLiteral("/elsewhere");
        bool ok = false;
        prompter_.answerDialog = [&](QDialog& dialog) {
            auto& settings = static_cast<CSettingsDlg&>(dialog);
            title = settings.windowTitle();
            settings.SuffixEdit->setText(suffix);
            settings.ChooseFolder = [&chosen](QWidget*, const QString&) { return chosen; };
            settings.OnBrowse();
            if (ok)
                settings.accept();
            return settings.result();
        };
        // Cancel changes nothing.
        const QString folder = view_->SaveFolder;
        app_->MainFrame()->OnCmdMsg(kIdSettings);
        QCOMPARE(view_->Suffix, QStringLiteral("_repaired"));
        QCOMPARE(view_->SaveFolder, folder);

        // OK takes both, on any page, and stores them at once.
        view_->ShowPage(PageSaved);
        suffix = QStringLiteral("_fixed");
        chosen = QStringLiteral("/srv/fixed");
        ok = true;
        app_->MainFrame()->OnCmdMsg(kIdSettings);
        QCOMPARE(title, QStringLiteral("Settings"));
        QCOMPARE(view_->Suffix, QStringLiteral("_fixed"));
        QCOMPARE(view_->SaveFolder, QDir::toNativeSeparators(QStringLiteral("/srv/fixed/")));
#ifdef Q_OS_WIN
        // The registry key itself, as another run reads it, with a string value (REG_SZ).
        QSettings written(QStringLiteral("HKEY_CURRENT_USER\\Software\\Quorvex\\Tabulonix"), QSettings::NativeFormat);
        QVERIFY2(written.contains(QStringLiteral("Suffix")), "stored when OK was pressed");
        QCOMPARE(written.value(QStringLiteral("Suffix")).metaType().id(), int{QMetaType::QString});
#else
        QVERIFY2(QFile::exists(SettingsFile()), "stored when OK was pressed");
        QSettings written(SettingsFile(), QSettings::IniFormat);  // the file itself, as another run reads it
#endif
        QCOMPARE(written.value(QStringLiteral("Suffix")).toString(), QStringLiteral("_fixed"));
        app_.reset();
        const auto stored = tabulon::settings::LoadSettings();
        QCOMPARE(stored.suffix, QStringLiteral("_fixed"));
        QCOMPARE(stored.saveFolder, QDir::toNativeSeparators(QStringLiteral("/srv/fixed/")));

        // Read back whole, however long.
        const QString longSuffix(2000, QLatin1Char('s'));
        tabulon::settings::StoreSettings({stored.saveFolder, longSuffix});
        StartApp();
        QCOMPARE(view_->Suffix, longSuffix);
    }

    // A first run offers a folder that exists: Documents where there is one, else the home folder.
    void defaultSaveFolderExists()
    {
#ifndef Q_OS_UNIX
        QSKIP("The home and its Documents folder are moved through HOME and XDG_CONFIG_HOME, which only Unix reads");
#endif
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QByteArray realHome = qgetenv("HOME");
        const QByteArray realConfig = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", realHome);
            realConfig.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", realConfig);
        });
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral(".config"))));  // no user-dirs.dirs
        const QString folder = QDir::toNativeSeparators(home.path()) + QDir::separator();
        QCOMPARE(tabulon::settings::DefaultSaveFolder(), folder);
        QCOMPARE(tabulon::settings::LoadSettings().saveFolder, folder);  // nothing stored
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Documents")));
        QCOMPARE(tabulon::settings::DefaultSaveFolder(), folder + QStringLiteral("Documents") + QDir::separator());
    }

    // A suffix with a separator would send saved files elsewhere: OK refuses it and says why, the
    // box gets back the last suffix taken, and the dialog stays open. An emptied suffix is taken
    // only once the user has been told that copies then take their workbooks' own names.
    void settingsRefuseASuffixWithASeparator()
    {
        StartApp();
        view_->Suffix = QStringLiteral("_mine");
        QStringList boxAfterRefusal;
        prompter_.answers = {MessageAnswer::No};
        prompter_.answerDialog = [&](QDialog& dialog) {
            auto& settings = static_cast<CSettingsDlg&>(dialog);
            for (const char* suffix : {"sub/_x", "_x\\", "", "..", "a/b"}) {  // dots alone stay in the folder
                settings.SuffixEdit->setText(QString::fromLatin1(suffix));
                settings.accept();
                boxAfterRefusal << settings.SuffixEdit->text();
                if (settings.result() == QDialog::Accepted)
                    break;
            }
            return dialog.result();
        };
        app_->MainFrame()->OnCmdMsg(kIdSettings);
        QCOMPARE(boxAfterRefusal, (QStringList{"_mine", "_mine", "_mine", ".."}));
        QCOMPARE(view_->Suffix, QStringLiteral(".."));
        QCOMPARE(prompter_.shown.size(), 3);
        const Shown question = prompter_.shown.takeAt(2);
        QVERIFY2(question.buttons == MessageButtons::YesNo && question.icon == MessageIcon::Warning &&
                     question.text.contains(QStringLiteral("workbook's own name")),
                 qPrintable(question.text));
        for (const Shown& message : prompter_.shown)
            QVERIFY2(message.icon == MessageIcon::Warning && message.text.contains(QStringLiteral("suffix"))
                         && message.text.contains(QStringLiteral("/ or \\")),
                     qPrintable(message.text));

        // Yes keeps it empty, and stores it; an empty suffix is not asked about again.
        prompter_.shown.clear();
        prompter_.answers = {MessageAnswer::Yes};
        prompter_.answerDialog = [](QDialog& dialog) {
            static_cast<CSettingsDlg&>(dialog).SuffixEdit->clear();
            dialog.accept();
            return dialog.result();
        };
        app_->MainFrame()->OnCmdMsg(kIdSettings);
        QCOMPARE(view_->Suffix, QString());
        QCOMPARE(prompter_.shown.size(), 1);
        QCOMPARE(tabulon::settings::LoadSettings().suffix, QString());
        prompter_.shown.clear();
        prompter_.answerDialog = [](QDialog& dialog) {
            dialog.accept();
            return dialog.result();
        };
        app_->MainFrame()->OnCmdMsg(kIdSettings);
        QVERIFY(prompter_.shown.isEmpty());

        // On its own, the dialog says it in a warning box with the program's caption.
        CSettingsDlg dialog(nullptr);
        dialog.SetSuffix(QStringLiteral("_old"));
        dialog.SuffixEdit->setText(QStringLiteral("a/b"));
        QString box;  // its caption and icon
        ModalAnswer answer([&](QWidget* modal) {
            if (auto* message = qobject_cast<QMessageBox*>(modal)) {
                box = QStringLiteral("%1, icon %2").arg(message->windowTitle()).arg(message->icon());
                message->done(QMessageBox::Ok);
            }
        });
        dialog.accept();
        QCOMPARE(box, QStringLiteral("Quorvex Tabulon, icon %1").arg(int{QMessageBox::Warning}));
        QCOMPARE(dialog.GetSuffix(), QStringLiteral("_old"));
    }

    // Browse opens at the folder in the box, or the nearest folder above it that exists.
    void browseStartsAtTheFolderInTheBox()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        CSettingsDlg dialog(nullptr);
        QString start;
        dialog.ChooseFolder = [&start](QWidget*, const QString& folder) {
            start = folder;
            return QString();  // cancelled: the box keeps its text
        };
        const QString cases[][2] = {
            {root.path(), root.path()},
            {root.filePath(QStringLiteral("gone/deeper")), root.path()},
            {QString(), QDir::homePath()},
            {QStringLiteral("relative"), QDir::homePath()},
        };
        for (const auto& [typed, expected] : cases) {
            dialog.FolderEdit->setText(QDir::toNativeSeparators(typed));
            dialog.OnBrowse();
            QCOMPARE(QDir::fromNativeSeparators(start), expected);
            QCOMPARE(dialog.FolderEdit->text(), QDir::toNativeSeparators(typed));
        }
    }

    // The substituted font is wider than the layout's: the first caption ends before the suffix
    // box (hidden here to see what it would cover).
    void settingsCaptionsFit()
    {
        RegisterFontSubstitutes();
        CSettingsDlg dialog(nullptr);
        const QRect suffixBox = dialog.SuffixEdit->geometry();
        dialog.SuffixEdit->hide();
        const QImage image = dialog.grab().toImage();
        const QRect first = Extent(image, image.rect(), Is(qRgb(240, 240, 204)));
        QVERIFY(!Extent(image, first, IsInk).isEmpty());
        QVERIFY2(first.right() < suffixBox.left() - 1, qPrintable(QString::number(first.right())));
    }

    // A caption becomes smaller only when its room is too small for it, and then is drawn whole.
    void captionsShrinkOnlyToFit()
    {
        const QRgb background = qRgb(240, 240, 164);
        int sizeAfter = 0;
        auto draw = [&](int right, int bottom) {
            QImage image(420, 60, QImage::Format_RGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            BeginCaptions(painter, QStringLiteral("Verdana"), 13);
            DrawCaption(painter, 10, 10, right, bottom, QColor(background), QStringLiteral("Path for saving repaired file(s)"));
            sizeAfter = painter.font().pixelSize();
            return image;
        };
        const QImage roomy = draw(420, 60);
        const QRect natural = Extent(roomy, roomy.rect(), Is(background));
        QVERIFY(natural.width() > 20 && natural.height() > 8);
        QVERIFY2(draw(natural.right() + 1, natural.bottom() + 1) == roomy, "a room just as large");
        for (const QRect& room : {QRect(10, 10, natural.width() * 3 / 4, 50), QRect(10, 10, 400, natural.height() - 3)}) {
            const QImage image = draw(room.right() + 1, room.bottom() + 1);
            const QRect band = Extent(image, image.rect(), Is(background));
            // Smaller both ways: drawn smaller, not cut at the room's edge.
            QVERIFY(room.contains(band) && band.width() < natural.width() && band.height() < natural.height());
            QVERIFY(!Extent(image, band, IsInk).isEmpty());
            QCOMPARE(sizeAfter, 13);  // the next caption starts from the size begun with
        }
        // Too little room even for the smallest size: still drawn, and the stepping ends.
        const QImage tiny = draw(40, 18);
        QVERIFY(!Extent(tiny, tiny.rect(), IsInk).isEmpty());
    }

    // The Select All box stands level with its painted label, beside it, in the window as it
    // opens and after a resize.
    void selectAllStandsBesideItsLabel()
    {
        RegisterFontSubstitutes();
        StartApp();
        for (const QSize size : {QSize(900, 650), QSize(1100, 500)}) {
            app_->MainFrame()->resize(size);
            QTRY_COMPARE_WITH_TIMEOUT(view_->SelectAllCheck->geometry().bottom() < view_->height(), true, 5000);
            const QImage image = view_->grab().toImage();
            const int height = view_->height();
            const QRect label = Extent(image, QRect(90, height - 57, 110, 27), Is(qRgb(240, 240, 70)));
            QVERIFY(!label.isEmpty() && !Extent(image, label, IsInk).isEmpty());
            QStyleOptionButton option;
            option.initFrom(view_->SelectAllCheck);
            const QRect indicator =
                view_->SelectAllCheck->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, view_->SelectAllCheck)
                    .translated(view_->SelectAllCheck->pos());
            QVERIFY2(std::abs(indicator.center().y() - label.center().y()) <= 1,
                     qPrintable(QStringLiteral("box at %1, label at %2").arg(indicator.center().y()).arg(label.center().y())));
            QVERIFY(indicator.right() < label.left() && label.left() - indicator.right() < 20);
            if (qEnvironmentVariableIsSet("TABULON_LOOK_GRABS"))
                image.save(qEnvironmentVariable("TABULON_LOOK_GRABS") + QStringLiteral("/select-all-%1.png").arg(size.width()));
        }
    }

    void aboutBoxFromTheMenu()
    {
        StartApp();
        QString shown;
        prompter_.answerDialog = [&shown](QDialog& dialog) {
            shown = dialog.windowTitle();
            return int{QDialog::Accepted};
        };
        app_->MainFrame()->OnCmdMsg(kIdAppAbout);
        QCOMPARE(shown, QStringLiteral("About Tabulon"));
        QCOMPARE(QString::fromLatin1(kAboutLines[0]), QStringLiteral("Quorvex Tabulon Version " TABULON_VERSION));
    }
};

QTEST_MAIN(LookTest)
#include "look_test.moc"
