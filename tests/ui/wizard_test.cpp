// The main window driven as a user drives it, headless: pages and their guards, the file
// lists, the commands by page, layout, and the frame around the wizard.
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QSettings>
#include <QStandardPaths>
#include <QToolBar>
#include <QtTest>

#include <memory>
#include <optional>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "engine/io/sector_file.h"
#include "engine/repair/workbook/workbook.h"
#include "modal_answer.h"
#include "ui/settings/settings_dialog.h"
#include "ui/settings/settings_store.h"
#include "ui/bitmap_button.h"
#include "ui/commands.h"
#include "ui/main_frame.h"
#include "ui/multi_file_dialog.h"
#include "ui/preview_window.h"
#include "ui/repair_app.h"
#include "ui/wizard_view.h"

using namespace tabulon::ui;

namespace {

struct ProgramRun {
    bool normalExit = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The ids of this process's threads that carry its name: those not started by Qt, which
// names the threads it starts.
QSet<QString> Threads()
{
    const QString tasks = QStringLiteral("/proc/self/task/");
    QSet<QString> threads;
    for (const QString& id : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (ReadAll(tasks + id + QStringLiteral("/comm")) == ReadAll(QStringLiteral("/proc/self/comm")))
            threads << id;
    return threads;
}

// Runs the built program to its end; with no platform, as where there is no display at all.
ProgramRun RunProgram(const QStringList& arguments, const QString& platform)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    if (!platform.isEmpty())
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    QProcess program;  // killed by its destructor if it outlives the wait
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(TABULON_PROGRAM), arguments);
    if (!program.waitForFinished(20000))
        return {};
    QByteArray out = program.readAllStandardOutput();
    QByteArray err = program.readAllStandardError();
#ifdef Q_OS_WIN
    // Text written on Windows ends its lines with CR LF.
    out.replace("\r\n", "\n");
    err.replace("\r\n", "\n");
#endif
    return {program.exitStatus() == QProcess::NormalExit, program.exitCode(), out, err};
}

bool CanCreateFileIn(const QString& folder)
{
    QFile probe(folder + QStringLiteral("/probe"));
    const bool created = probe.open(QIODevice::WriteOnly);
    if (created)
        probe.remove();
    return created;
}

// A folder that cannot be written into while this lives: read-only to its owner, and where
// that does not stop root, immutable (which the file system may not offer: then WhyNot says so).
class UnwritableFolder {
public:
    explicit UnwritableFolder(const QString& path) : path_(path)
    {
        QDir().mkpath(path_);
        QFile::setPermissions(path_, QFile::ReadOwner | QFile::ExeOwner);
        if (!CanCreateFileIn(path_))
            return;
        immutable_ = SetImmutable(true);
        if (!immutable_)
            why_ = QStringLiteral("running as root, and this file system cannot make a folder immutable");
        else if (CanCreateFileIn(path_))
            why_ = QStringLiteral("running as root, and an immutable folder can still be written into here");
    }
    ~UnwritableFolder()
    {
        if (immutable_)
            SetImmutable(false);
        QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString& WhyNot() const { return why_; }

private:
    bool SetImmutable(bool on)
    {
#ifndef Q_OS_LINUX
        Q_UNUSED(on);
        return false;  // only Linux file systems have the flag
#else
        const int fd = ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return done;
#endif
    }

    QString path_;
    QString why_;
    bool immutable_ = false;
};

}  // namespace

class WizardTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakePrompter> prompter_;
    std::unique_ptr<CRepairApp> app_;
    std::unique_ptr<QTemporaryDir> folder_;
    CMainFrame* frame_ = nullptr;
    CWizardView* view_ = nullptr;

    // The window opened, with the settings stored now.
    void StartApp()
    {
        app_ = std::make_unique<CRepairApp>();
        QVERIFY(app_->InitInstance(prompter_.get()));
        frame_ = app_->MainFrame();
        view_ = frame_->WizardView;
        view_->JobPause = std::chrono::milliseconds(0);
    }

    QString Workbook(const QString& name, qint64 size = -1)
    {
        const QString path = folder_->filePath(name);
        if (size < 0) {
            QFile::copy(QStringLiteral(TABULON_TEST_DATA "/readxl__mtcars.xls"), path);
        } else {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.resize(size);
        }
        return path;
    }

    // A file of the test's folder holding `bytes`; its path, or nothing when it could not be written.
    QString WriteFile(const QString& name, const QByteArray& bytes)
    {
        QFile file(folder_->filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName() : QString();
    }

    void Add(const QStringList& paths)
    {
        prompter_->choice = paths;
        frame_->OnCmdMsg(kIdAddFile);
    }

    // A missing cell compares unequal to every text rather than crashing the test.
    QString Cell(QTableWidget* list, int row, int column)
    {
        const QTableWidgetItem* item = list->item(row, column);
        return item ? item->text() : QStringLiteral("<no cell %1,%2>").arg(row).arg(column);
    }
    bool Checked(QTableWidget* list, int row) { return list->item(row, 0) && list->item(row, 0)->checkState() == Qt::Checked; }
    QStringList Column(QTableWidget* list, int column)
    {
        QStringList cells;
        for (int row = 0; row < list->rowCount(); ++row)
            cells << Cell(list, row, column);
        return cells;
    }

    // Next clicked, and the job it starts run to `page`; false when it did not get there in time.
    bool NextReaches(int page)
    {
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        return QTest::qWaitFor([this, page] { return view_->Page == page; }, 20000);
    }
    bool Repaired(const QStringList& paths)
    {
        Add(paths);
        return NextReaches(PageRepaired);
    }

    // A click and a double click on a repaired row's path, as a user opens it.
    QPoint OpenRepairedRow(int row)
    {
        const QPoint cell = view_->RepairedList->visualItemRect(view_->RepairedList->item(row, 1)).center();
        QTest::mouseClick(view_->RepairedList->viewport(), Qt::LeftButton, {}, cell);
        QTest::mouseDClick(view_->RepairedList->viewport(), Qt::LeftButton, {}, cell);
        return cell;
    }

    // The one message shown since the last call, or a failure.
    Shown TakeMessage()
    {
        if (prompter_->shown.size() != 1) {
            QTest::qFail(qPrintable(QStringLiteral("expected one message, got %1").arg(prompter_->shown.size())), __FILE__, __LINE__);
            return {};
        }
        return prompter_->shown.takeFirst();
    }

    QList<QWidget*> VisibleControls()
    {
        QList<QWidget*> visible;
        for (QWidget* control : std::initializer_list<QWidget*>{view_->RepairList, view_->RepairedList, view_->SavedList,
                                                                view_->SelectAllCheck, view_->NextButton,
                                                                view_->PreviousButton, view_->FinishedButton,
                                                                view_->ProgressBar}) {
            if (control->isVisibleTo(view_))
                visible << control;
        }
        return visible;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvex"), QStringLiteral("Tabulonix")).clear();
        folder_ = std::make_unique<QTemporaryDir>();
        prompter_ = std::make_unique<FakePrompter>();
        StartApp();
    }

    void cleanup()
    {
        app_.reset();
    }

    // The first page, and a name for every control the keyboard reaches.
    void startsOnTheAddPage()
    {
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Quorvex Tabulon Version " TABULON_VERSION));
        QCOMPARE(view_->Page, int{PageAdd});
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->RepairList, view_->SelectAllCheck, view_->NextButton}));
        QVERIFY(!frame_->Action(kIdSaveFile)->isEnabled());
        for (QWidget* control : view_->findChildren<QWidget*>()) {
            if (control->parentWidget() == view_ && control->focusPolicy() != Qt::NoFocus)
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
        }
    }

    // A command its page refuses: the message, its icon, the page and the list kept, and no
    // file dialog. `workbook`: one unchecked workbook in the list first.
    void commandsRefusedByPage_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<bool>("workbook");
        QTest::addColumn<int>("command");
        QTest::addColumn<Shown>("shown");
        const auto row = [](const char* name, int page, bool workbook, int command, const char* text, MessageIcon icon) {
            QTest::newRow(name) << page << workbook << command << Shown{QString::fromLatin1(text), icon};
        };
        using enum MessageIcon;
        row("add: Next, empty list", PageAdd, false, kIdNextButton, "Add file(s) in the list to repair", None);
        row("add: Next, none checked", PageAdd, true, kIdNextButton, "Select file(s) in the list to repair", None);
        row("add: Repair File as Next", PageAdd, true, kIdRepairFile, "Select file(s) in the list to repair", None);
        row("add: Remove, empty list", PageAdd, false, kIdRemoveSelected, "No file(s) in the list to remove", Warning);
        row("add: Remove, none checked", PageAdd, true, kIdRemoveSelected, "Please select a file to remove", Warning);
        row("add: Remove All, empty list", PageAdd, false, kIdRemoveAll, "There is no files in the list to delete", Warning);
        row("repaired: Next, empty list", PageRepaired, false, kIdNextButton, "Saved List is empty ", None);
        row("repaired: Repair File", PageRepaired, false, kIdRepairFile,
            "Please save the repaired file\nor press previous button to add \nmore files and the press repair", Warning);
        row("repaired: Add File", PageRepaired, false, kIdAddFile, "File(s) can not be added to repaired file(s) list", Warning);
        row("repaired: Remove", PageRepaired, false, kIdRemoveSelected,
            "File(s) can not be  removed from repaired file(s) list ", Warning);
        row("repaired: Remove All", PageRepaired, false, kIdRemoveAll, "You Cannot DeleteFile Form Save or Saved List", Warning);
        row("saved: Repair File", PageSaved, false, kIdRepairFile, "Please press finish to start again", Warning);
        row("saved: Add File", PageSaved, false, kIdAddFile, "File(s) can not be  added to Saved file(s) list ", Warning);
        row("saved: Remove", PageSaved, false, kIdRemoveSelected, "File(s) can not be  removed from Saved file(s) list ", Warning);
        row("saved: Remove All", PageSaved, false, kIdRemoveAll, "You Cannot DeleteFile Form Save or Saved List", Warning);
    }

    void commandsRefusedByPage()
    {
        QFETCH(int, page);
        QFETCH(bool, workbook);
        QFETCH(int, command);
        if (workbook) {
            Add({Workbook("a.xls")});
            view_->RepairList->item(0, 0)->setCheckState(Qt::Unchecked);
        }
        view_->ShowPage(page);
        frame_->OnCmdMsg(command);
        QTEST(TakeMessage(), "shown");
        QCOMPARE(view_->Page, page);
        QCOMPARE(view_->RepairList->rowCount(), int{workbook});
        QCOMPARE(prompter_->dialogsShown, int{workbook});
    }

    void nextStartsTheRepairWithTheCheckedRows()
    {
        const QString a = Workbook("a.xls");
        const QString b = Workbook("b.xls");
        const QString c = Workbook("c.xls");
        Add({a, b, c});  // c on top
        view_->RepairList->item(1, 0)->setCheckState(Qt::Unchecked);  // b
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QVERIFY(prompter_->shown.isEmpty());
        QCOMPARE(view_->Page, int{PageRepairing});
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->RepairedList, view_->ProgressBar}));
        QCOMPARE(Column(view_->RepairedList, 1), (QStringList{QDir::toNativeSeparators(c), QDir::toNativeSeparators(a)}));
        QCOMPARE(Cell(view_->RepairedList, 0, 3), QString());
        QCOMPARE(view_->RepairPaths, (QStringList{QDir::toNativeSeparators(c), QDir::toNativeSeparators(a)}));

        // While the job's page is up, the commands that could start another job refuse.
        const Shown inProgress{QStringLiteral("Repair or Save is in progress. Please wait for it to end"), MessageIcon::Warning};
        for (const int id : {kIdRepairFile, kIdSaveFile}) {
            frame_->OnCmdMsg(id);
            QCOMPARE(TakeMessage(), inProgress);
        }
        for (const int id : {kIdAddFile, kIdRemoveSelected, kIdNextButton, kIdPreviousButton}) {
            frame_->OnCmdMsg(id);
            QVERIFY(prompter_->shown.isEmpty());
        }
        QCOMPARE(prompter_->dialogsShown, 1);
        frame_->OnCmdMsg(kIdRemoveAll);
        QCOMPARE(TakeMessage().text, QStringLiteral("You Cannot DeleteFile Form Save or Saved List"));
        QCOMPARE(view_->Page, int{PageRepairing});

        // Nor does the window close under a running job.
        QVERIFY(!frame_->close());
        QCOMPARE(TakeMessage(), inProgress);
        QVERIFY(prompter_->opened.isEmpty());
        QVERIFY(frame_->isVisible());
    }

    // The window destroyed while a repair job runs (as when the program ends): the worker's calls
    // from then on reach nothing, and the worker has ended before the view is gone. The calls it
    // makes meanwhile are handled, or neither side could go on.
    void destroyingTheWindowEndsTheWorkerFirst()
    {
#ifndef Q_OS_LINUX
        QSKIP("The worker thread is looked for in /proc/self/task, which only Linux has");
#endif
        if (!QDir(QStringLiteral("/proc/self/task")).exists())
            QSKIP("The worker thread is looked for in /proc/self/task, which this system does not have");
        view_->JobPause = std::chrono::milliseconds(100);
        Add({Workbook("a.xls"), Workbook("b.xls"), Workbook("c.xls")});
        const QSet<QString> before = Threads();
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        // Mid-way: the first workbook is repaired, the worker pauses before the next.
        QTRY_COMPARE_WITH_TIMEOUT(Cell(view_->RepairedList, 0, 3), QStringLiteral("Kept"), 20000);  // it opens as it is
        const QSet<QString> worker = Threads() - before;
        QVERIFY2(!worker.isEmpty(), "no worker thread found");
        const std::filesystem::path copies = view_->RepairFolder();
        QVERIFY(std::filesystem::exists(copies));
        QCOMPARE(view_->Page, int{PageRepairing});

        app_.reset();
        QVERIFY2((Threads() & worker).isEmpty(), "the worker outlived the window");
        QVERIFY2(prompter_->shown.isEmpty(), qPrintable(prompter_->shown.value(0).text));  // not even the job's end
        QVERIFY(!std::filesystem::exists(copies));
    }

    void repairedPageSavesTheCheckedRows()
    {
        QVERIFY(Repaired({Workbook("a.xls"), Workbook("b.xls")}));
        prompter_->shown.clear();
        const QString copy = folder_->filePath(QStringLiteral("copy-b.xls"));  // not there: its save fails
        view_->RepairPaths = {copy, QStringLiteral("FAIL")};
        QVERIFY(Checked(view_->RepairedList, 0) && Checked(view_->RepairedList, 1));
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->RepairedList, view_->SelectAllCheck, view_->NextButton,
                                                     view_->PreviousButton}));
        QVERIFY(frame_->Action(kIdSaveFile)->isEnabled());

        // Select All shows that every row is ticked, and acts on the state its click gives it.
        QVERIFY(view_->SelectAllCheck->isChecked());
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(!view_->SelectAllCheck->isChecked());
        QVERIFY(!Checked(view_->RepairedList, 0) && !Checked(view_->RepairedList, 1));
        frame_->OnCmdMsg(kIdNextButton);
        QCOMPARE(TakeMessage().text, QStringLiteral("Select file(s) in the list to repair"));

        view_->RepairedList->item(0, 0)->setCheckState(Qt::Checked);
        view_->SaveFolder = folder_->path() + QLatin1Char('/');
        frame_->Action(kIdSaveFile)->trigger();  // Save File does what Next does here
        QVERIFY(prompter_->shown.isEmpty());
        QCOMPARE(view_->Page, int{PageSaving});
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->SavedList, view_->ProgressBar}));
        QCOMPARE(view_->SavedList->rowCount(), 1);
        QCOMPARE(view_->SavePaths, QStringList{copy});
    }

    // Select All on the add page and on an empty list: ticked exactly when every row of the
    // page's list is, whichever way the rows got their ticks; the saved page, Previous back to the
    // first page and Finished emptying its list.
    void selectAllAndTheWayBack()
    {
        Add({Workbook("a.xls"), Workbook("b.xls")});
        QVERIFY2(view_->SelectAllCheck->isChecked(), "added rows are ticked");
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(!Checked(view_->RepairList, 0) && !Checked(view_->RepairList, 1));
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(Checked(view_->RepairList, 0) && Checked(view_->RepairList, 1));
        view_->RepairList->item(1, 0)->setCheckState(Qt::Unchecked);
        QVERIFY(!view_->SelectAllCheck->isChecked());
        view_->RepairList->item(1, 0)->setCheckState(Qt::Checked);
        QVERIFY(view_->SelectAllCheck->isChecked());
        Add({Workbook("c.xls")});
        QVERIFY(view_->SelectAllCheck->isChecked());
        view_->RepairList->item(0, 0)->setCheckState(Qt::Unchecked);
        view_->ShowPage(PageRepaired);
        QVERIFY2(!view_->SelectAllCheck->isChecked(), "an empty list");
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY2(!view_->SelectAllCheck->isChecked(), "an empty list clears the check box again");
        view_->ShowPage(PageAdd);
        QVERIFY(!view_->SelectAllCheck->isChecked());
        view_->RepairList->item(0, 0)->setCheckState(Qt::Checked);
        QVERIFY(view_->SelectAllCheck->isChecked());

        view_->ShowPage(PageSaved);
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->SavedList, view_->PreviousButton, view_->FinishedButton}));
        QVERIFY(!frame_->Action(kIdSaveFile)->isEnabled());
        QTest::mouseClick(view_->PreviousButton, Qt::LeftButton);
        QCOMPARE(view_->Page, int{PageRepaired});
        QTest::mouseClick(view_->PreviousButton, Qt::LeftButton);
        QCOMPARE(view_->Page, int{PageAdd});
        QCOMPARE(view_->RepairList->rowCount(), 3);
        QVERIFY(view_->SelectAllCheck->isChecked());
        view_->ShowPage(PageSaved);
        QTest::mouseClick(view_->FinishedButton, Qt::LeftButton);
        QCOMPARE(view_->Page, int{PageAdd});
        QCOMPARE(view_->RepairList->rowCount(), 0);
        QVERIFY(!view_->SelectAllCheck->isChecked());
    }

    void addingWorkbooks()
    {
        const QString big = Workbook("big.xls");
        const QString small = Workbook("small.xls", 512);
        Add({big, small});
        QCOMPARE(view_->RepairList->rowCount(), 2);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("small.xls"));
        QCOMPARE(Cell(view_->RepairList, 0, 1), QDir::toNativeSeparators(QFileInfo(small).absoluteFilePath()));
        QCOMPARE(Column(view_->RepairList, 2), (QStringList{"512  bytes", "5632  bytes"}));
        QVERIFY(Checked(view_->RepairList, 0) && Checked(view_->RepairList, 1));
        const QRegularExpression dateForm(QStringLiteral("^[A-Z][a-z]{2}, [A-Z][a-z]{2} \\d{2}, \\d{4}$"));
        QVERIFY(dateForm.match(Cell(view_->RepairList, 0, 3)).hasMatch());
        QCOMPARE(CreationTimeText(QDateTime(QDate(2008, 3, 4), QTime(12, 0))), QStringLiteral("Tue, Mar 04, 2008"));
        QVERIFY(prompter_->shown.isEmpty());

        // The same workbook again: told, skipped, and the rest of the batch still added.
        const QString more = Workbook("more.xls");
        Add({small, more});
        QCOMPARE(TakeMessage(), (Shown{QStringLiteral("This file has already been added      "), MessageIcon::Information}));
        QCOMPARE(view_->RepairList->rowCount(), 3);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("more.xls"));

        // What cannot be opened is reported once, in one warning, and the rest is added.
        Add({folder_->filePath("gone.xls"), folder_->path(), Workbook("huge.xls", (qint64{1} << 31) + 5)});
        QCOMPARE(view_->RepairList->rowCount(), 4);
        QCOMPARE(Cell(view_->RepairList, 0, 2), QStringLiteral("2147483653  bytes"));
        const Shown shown = TakeMessage();
        QCOMPARE(shown.icon, MessageIcon::Warning);
        QVERIFY2(shown.text.contains(folder_->filePath("gone.xls")), qPrintable(shown.text));
        QVERIFY2(shown.text.contains(folder_->path() + QStringLiteral(": this is a folder")), qPrintable(shown.text));
    }

    void removingRows()
    {
        Add({Workbook("a.xls"), Workbook("b.xls"), Workbook("c.xls")});
        view_->RepairList->item(1, 0)->setCheckState(Qt::Unchecked);
        prompter_->answers = {MessageAnswer::No};
        frame_->OnCmdMsg(kIdRemoveSelected);
        const Shown question{QStringLiteral("Do you want to remove the selected\nfiles from the list"), MessageIcon::Warning,
                             MessageButtons::YesNo};
        QCOMPARE(TakeMessage(), question);
        QCOMPARE(view_->RepairList->rowCount(), 3);

        prompter_->answers = {MessageAnswer::Yes};
        frame_->OnCmdMsg(kIdRemoveSelected);
        QCOMPARE(TakeMessage(), question);
        QCOMPARE(view_->RepairList->rowCount(), 1);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("b.xls"));

        frame_->OnCmdMsg(kIdRemoveAll);
        QVERIFY2(prompter_->shown.isEmpty(), "Remove All does not ask");
        QCOMPARE(view_->RepairList->rowCount(), 0);
    }

    // The lists stretch with the frame, the buttons keep their distance from its bottom right
    // corner; nothing below the lists leaves the view or overlaps them.
    void layoutFollowsTheFrame()
    {
        const QList<QWidget*> buttons{view_->NextButton, view_->PreviousButton, view_->FinishedButton};
        const QRect list = view_->RepairList->geometry();
        QHash<QWidget*, QRect> before;
        for (QWidget* button : buttons)
            before[button] = button->geometry();
        frame_->resize(frame_->width() + 100, frame_->height() + 50);
        for (QWidget* each : {view_->RepairList, view_->RepairedList, view_->SavedList})
            QCOMPARE(each->geometry(), list.adjusted(0, 0, 100, 50));
        for (QWidget* button : buttons)
            QCOMPARE(button->geometry(), before[button].translated(100, 50));
        for (QWidget* control : buttons + QList<QWidget*>{view_->SelectAllCheck, view_->ProgressBar})
            QVERIFY2(view_->rect().contains(control->geometry()) && control->geometry().top() > view_->RepairList->geometry().bottom(),
                     qPrintable(control->objectName()));
        QVERIFY(view_->PreviousButton->geometry().right() < view_->NextButton->geometry().left());
    }

    void menuToolbarHelpAndExit()
    {
        QStringList buttons;
        for (QAction* action : frame_->ToolBar->actions()) {
            buttons << action->iconText();
            // Each command's text holds its status-bar prompt and its tool tip, a line apart.
            const QString tips = action->statusTip() + QLatin1Char('|') + action->toolTip();
            QVERIFY2(!tips.startsWith(QLatin1Char('|')) && !tips.endsWith(QLatin1Char('|')) &&
                         !tips.contains(QLatin1Char('\n')),
                     qPrintable(tips));
        }
        QCOMPARE(buttons, (QStringList{"Add File", "Remove", "Repair File", "Save File", "Setting", "Help"}));
        QStringList menus;
        for (QAction* menu : frame_->menuBar()->actions())
            menus << menu->text();
        QCOMPARE(menus, (QStringList{"&File", "&Tool", "&Help"}));

        auto* toolButton = frame_->ToolBar->widgetForAction(frame_->Action(kIdAddFile));
        QVERIFY(toolButton);
        QTest::mouseClick(toolButton, Qt::LeftButton);
        QCOMPARE(prompter_->dialogsShown, 1);
        frame_->menuBar()->actions().at(0)->menu()->actions().at(0)->trigger();
        QCOMPARE(prompter_->dialogsShown, 2);

        // Help opens the help file; Exit closes the window and opens the product's page.
        frame_->OnCmdMsg(kIdHelp);
        QCOMPARE(prompter_->opened.size(), 1);
        QVERIFY(prompter_->opened.at(0).isLocalFile() && prompter_->opened.at(0).toLocalFile().endsWith(QStringLiteral("help.html")));
        frame_->Action(kIdAppExit)->trigger();
        QCOMPARE(prompter_->opened.mid(1), QList<QUrl>{QUrl(QStringLiteral("https://www.quorvex.example/tabulon"))});
        QVERIFY(!frame_->isVisible());
    }

    void selectionTextParse_data()
    {
        QTest::addColumn<QString>("selection");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("two names, trailing blank") << "\"b.xls\" \"a.xls\" " << QStringList{"b.xls", "a.xls"};
        QTest::newRow("blanks inside a name") << "\"my book.xls\" \"x.xls\" " << QStringList{"my book.xls", "x.xls"};
        QTest::newRow("empty text") << "" << QStringList{};
        QTest::newRow("unterminated last name") << "\"a.xls\" \"b" << QStringList{"a.xls"};
        QTest::newRow("no quotes") << "a.xls" << QStringList{};
        QTest::newRow("empty quotes") << "\"\" \"a.xls\"" << QStringList{"a.xls"};
    }

    void selectionTextParse()
    {
        QFETCH(QString, selection);
        QFETCH(QStringList, names);
        QCOMPARE(CMultiFileDialog::ParseSelectionSpec(selection), names);
    }

    // Three damaged workbooks, one of which disappears before it is repaired, through both jobs
    // with the keyboard alone: Return and Space on the focused Next, Enter on Finished.
    void repairAndSaveEndToEnd()
    {
        const QByteArray intact = ReadAll(QStringLiteral(TABULON_TEST_DATA "/npoi__59858.xls"));
        QVERIFY(intact.size() > 512);
        const QByteArray damaged = QByteArray(512, '\0') + intact.mid(512);
        const QString a = WriteFile(QStringLiteral("alpha.xls"), damaged);
        const QString b = WriteFile(QStringLiteral("beta.xls"), damaged);
        const QString c = WriteFile(QStringLiteral("gamma.xls"), damaged);
        QVERIFY(!a.isEmpty() && !b.isEmpty() && !c.isEmpty());
        QVERIFY(QDir().mkpath(folder_->filePath(QStringLiteral("out"))));
        view_->SaveFolder = folder_->filePath(QStringLiteral("out/"));
        view_->Suffix = QStringLiteral("_fixed");

        Add({a, b, c});  // rows: gamma, beta, alpha
        QFile::remove(b);
        view_->NextButton->setFocus();
        QTest::keyClick(view_->NextButton, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        QCOMPARE(Column(view_->RepairedList, 3), (QStringList{"Repaired", "Failed", "Repaired"}));
        QCOMPARE(Column(view_->RepairedList, 4), (QStringList{"Opens", "", "Opens"}));
        // Ticked for saving: the repaired rows, not the one with nothing to save.
        QVERIFY(Checked(view_->RepairedList, 0) && !Checked(view_->RepairedList, 1) && Checked(view_->RepairedList, 2));
        QVERIFY(!view_->SelectAllCheck->isChecked());
        QCOMPARE(prompter_->shown, (QList<Shown>{{"Uable to Open File ", MessageIcon::Information},
                                                 {"Tabulon process Completed !!!", MessageIcon::Warning}}));
        QCOMPARE(view_->RepairPaths.value(1), QStringLiteral("FAIL"));
        const QString report = view_->RepairReportText(0);
        QVERIFY(report.contains(QStringLiteral("The deep rebuild from the file's own structure stood.")));
        QVERIFY2(report.contains(QStringLiteral("Header Signature: 0000000000000000 -> d0cf11e0a1b11ae1")), qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("DIFAT: 0, 0, 0, 0, 0, 0 -> 0, 116, 245, 374, 503, 632")), qPrintable(report));
        QCOMPARE(view_->ProgressBar->value(), view_->ProgressBar->maximum());  // full, the failure counted too
        QVERIFY(view_->ProgressBar->maximum() > 0);
        prompter_->shown.clear();

        view_->NextButton->setFocus();
        QTest::keyClick(view_->NextButton, Qt::Key_Space);
        // Settings changed while the save runs apply to the next save, not to this one.
        const QString startedWith = view_->SaveFolder;
        prompter_->answerDialog = [this](QDialog& dialog) {
            auto& settings = static_cast<tabulon::settings::CSettingsDlg&>(dialog);
            settings.FolderEdit->setText(folder_->filePath(QStringLiteral("elsewhere")));
            settings.accept();
            return int{QDialog::Accepted};
        };
        frame_->OnCmdMsg(kIdSettings);
        QVERIFY(view_->SaveFolder != startedWith);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageSaved}, 20000);
        QCOMPARE(Column(view_->SavedList, 3), (QStringList{"Saved", "Saved"}));
        QVERIFY(prompter_->shown.isEmpty());
        QCOMPARE(prompter_->fileSavedFolders, QStringList{startedWith});
        QCOMPARE(prompter_->fileSavedCounts, (QList<std::pair<int, int>>{{2, 0}}));
        QCOMPARE(prompter_->opened, QList<QUrl>{QUrl::fromLocalFile(startedWith)});
        QVERIFY(!QDir(folder_->filePath(QStringLiteral("elsewhere"))).exists());

        // The header the workbook had before the damage is back from its sector counts on;
        // nothing after the header has changed.
        for (const char* name : {"out/alpha_fixed.xls", "out/gamma_fixed.xls"}) {
            const QByteArray bytes = ReadAll(folder_->filePath(QString::fromLatin1(name)));
            QVERIFY2(bytes.startsWith(QByteArray::fromHex("d0cf11e0a1b11ae1")), name);
            QVERIFY2(bytes.mid(44) == intact.mid(44), name);
            QVERIFY2(bytes.mid(512) == damaged.mid(512), name);
        }

        // The job's private folder goes once nothing in it can be saved any more.
        const std::filesystem::path copies = view_->RepairFolder();
        QVERIFY(std::filesystem::exists(copies));
        view_->FinishedButton->setFocus();
        QTest::keyClick(view_->FinishedButton, Qt::Key_Enter);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageAdd}, 5000);
        QCOMPARE(view_->RepairList->rowCount(), 0);
        QVERIFY(!std::filesystem::exists(copies));
    }

    // Three workbooks, each damaged in its own way, repaired and saved: the copies every build
    // of the window saves must be the same, byte for byte. scripts/compare-windows-window runs
    // this on Linux and under Wine with TABULON_WIZARD_COPIES naming a folder for the copies.
    void threeDamagedWorkbooksRepairedAndSaved()
    {
        struct Damage {
            const char* workbook;
            int from, to;
            char fill;
        };
        const Damage damages[] = {{"npoi__59858.xls", 0, 512, '\0'},        // the header wiped
                                  {"readxl__mtcars.xls", 44, 76, '\x5a'},     // its counts garbled
                                  {"xlrd__issue20.xls", 76, 512, '\0'}};     // its allocation list wiped
        QStringList paths;
        for (const Damage& damage : damages) {
            QByteArray bytes = ReadAll(QStringLiteral(TABULON_TEST_DATA "/") + QString::fromLatin1(damage.workbook));
            QVERIFY2(bytes.size() > 512, damage.workbook);
            bytes.replace(damage.from, damage.to - damage.from, QByteArray(damage.to - damage.from, damage.fill));
            paths << WriteFile(QString::fromLatin1(damage.workbook), bytes);
            QVERIFY(!paths.last().isEmpty());
        }
        QVERIFY(QDir().mkpath(folder_->filePath(QStringLiteral("out"))));
        view_->SaveFolder = QDir::toNativeSeparators(folder_->filePath(QStringLiteral("out"))) + QDir::separator();

        QVERIFY(Repaired(paths));
        QCOMPARE(Column(view_->RepairedList, 3), (QStringList{"Repaired", "Repaired", "Repaired"}));
        QCOMPARE(Column(view_->RepairedList, 4), (QStringList{"Opens", "Opens", "Opens"}));
        QVERIFY(NextReaches(PageSaved));
        QCOMPARE(Column(view_->SavedList, 3), (QStringList{"Saved", "Saved", "Saved"}));
        QCOMPARE(prompter_->fileSavedCounts, (QList<std::pair<int, int>>{{3, 0}}));

        const QDir out(folder_->filePath(QStringLiteral("out")));
        const QStringList saved = out.entryList(QDir::Files, QDir::Name);
        QCOMPARE(saved, (QStringList{"npoi__59858_repaired.xls", "readxl__mtcars_repaired.xls", "xlrd__issue20_repaired.xls"}));
        const QString keep = qEnvironmentVariable("TABULON_WIZARD_COPIES");
        if (!keep.isEmpty()) {
            QVERIFY(QDir().mkpath(keep));
            for (const QString& name : saved) {
                QFile::remove(QDir(keep).filePath(name));
                QVERIFY(QFile::copy(out.filePath(name), QDir(keep).filePath(name)));
            }
        }
    }

    // A workbook that opens as it is keeps its header: its copy is the workbook, byte for byte.
    // A zip archive named .xls is no workbook: it fails, says what it is, and nothing is kept.
    // The columns cut such findings short: every cell's tool tip is its whole text, also once
    // the repair has rewritten it.
    void aWorkbookIsCopiedAsItIsAndAZipRefused()
    {
        const QString a = Workbook("a.xls");
        const QString zip = WriteFile(QStringLiteral("new.xls"), QByteArray("PK\x03\x04", 4) + QByteArray(4092, '\0'));
        QVERIFY(!zip.isEmpty());
        QVERIFY(Repaired({a, zip}));  // the zip on top
        const QString refusal = QStringLiteral("This is a zip archive (perhaps a newer .xlsx workbook), not a legacy .xls workbook");
        QCOMPARE(prompter_->shown.value(0), (Shown{QDir::toNativeSeparators(zip) + QLatin1Char('\n') + refusal, MessageIcon::Information}));
        QCOMPARE(prompter_->shown.size(), 2);  // then the end of the job
        prompter_->shown.clear();
        QCOMPARE(Column(view_->RepairedList, 3), (QStringList{"Failed", "Kept"}));
        QCOMPARE(Column(view_->RepairedList, 4), (QStringList{refusal, "Kept: opens as it is; nothing changed"}));
        QCOMPARE(view_->RepairPaths.value(0), QStringLiteral("FAIL"));
        OpenRepairedRow(0);
        QVERIFY(TakeMessage().text.contains(QStringLiteral("nothing was written")));

        const QString report = view_->RepairReportText(1);
        QVERIFY2(report.contains(QStringLiteral("The header was kept: the workbook opens as it is, so nothing changed.")),
                 qPrintable(report));
        QCOMPARE(report.count(QStringLiteral(" -> ")), 1);  // the heading's alone: every field kept
        const QString copy = view_->RepairPaths.value(1);
        const QByteArray bytes = ReadAll(a);
        QVERIFY(copy != a && !bytes.isEmpty() && ReadAll(copy) == bytes);

        QVERIFY2(QFontMetrics(view_->RepairedList->font()).horizontalAdvance(refusal) > view_->RepairedList->columnWidth(4),
                 "the finding fits its column");
        // The columns keep within the list: nothing to scroll sideways, the short columns whole,
        // in the window as it opens and narrower.
        const auto fitsItsList = [](QTableWidget* list) {
            int total = 0;
            for (int column = 0; column < list->columnCount(); ++column)
                total += list->columnWidth(column);
            bool whole = true;
            const QFontMetrics metrics(list->font());
            for (const int column : {0, 2, 3}) {
                whole = whole && list->columnWidth(column) >= list->horizontalHeader()->sectionSizeHint(column);
                for (int row = 0; row < list->rowCount(); ++row)
                    whole = whole && metrics.horizontalAdvance(list->item(row, column)->text()) < list->columnWidth(column);
            }
            return total <= list->viewport()->width() && list->horizontalScrollBar()->maximum() == 0 && whole;
        };
        QTRY_VERIFY_WITH_TIMEOUT(fitsItsList(view_->RepairedList), 5000);
        frame_->resize(800, frame_->height());
        QTRY_VERIFY_WITH_TIMEOUT(fitsItsList(view_->RepairedList), 5000);
        QTest::mouseClick(view_->PreviousButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(fitsItsList(view_->RepairList), 5000);
        for (QTableWidget* list : {view_->RepairList, view_->RepairedList}) {
            const QAbstractItemModel* model = list->model();
            for (int row = 0; row < list->rowCount(); ++row)
                for (int column = 0; column < list->columnCount(); ++column)
                    QCOMPARE(model->index(row, column).data(Qt::ToolTipRole).toString(), Cell(list, row, column));
        }
    }

    // A save into a folder that has gone is refused once, before any file; a save whose every
    // target is the workbook itself saves nothing and claims nothing.
    void savingWithoutSurprises()
    {
        const QByteArray damaged = QByteArray(512, '\0') + ReadAll(QStringLiteral(TABULON_TEST_DATA "/readxl__mtcars.xls")).mid(512);
        const QStringList workbooks{WriteFile(QStringLiteral("a.xls"), damaged), WriteFile(QStringLiteral("b.xls"), damaged)};
        QVERIFY(damaged.size() > 512 && !workbooks.contains(QString()));
        QVERIFY(Repaired(workbooks));
        prompter_->shown.clear();

        const QString gone = folder_->filePath(QStringLiteral("gone/"));
        view_->SaveFolder = gone;
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        const Shown refusal = TakeMessage();
        QVERIFY2(refusal.text.contains(gone) && refusal.text.contains(QStringLiteral("does not exist")), qPrintable(refusal.text));
        QCOMPARE(view_->Page, int{PageRepaired});
        QVERIFY(!QDir(gone).exists());
        QVERIFY(prompter_->fileSavedFolders.isEmpty());

        view_->SaveFolder = folder_->path() + QLatin1Char('/');
        view_->Suffix.clear();
        prompter_->answers = {MessageAnswer::Yes, MessageAnswer::Yes};
        QVERIFY(NextReaches(PageSaved));
        QCOMPARE(Column(view_->SavedList, 3), (QStringList{"Failed", "Failed"}));
        QList<Shown> expected;  // and no question about replacing
        for (const QString& workbook : {workbooks[1], workbooks[0]})  // b on top
            expected << Shown{QStringLiteral("Uable to Save File, Either the file already exit,\nor it is used by some other program"
                                             "\n\nSaving it as %1 would replace the workbook itself, which is never written. "
                                             "Choose another suffix or folder in Settings.").arg(QDir::toNativeSeparators(workbook)),
                              MessageIcon::Information};
        expected << Shown{QStringLiteral("Finished Saving Files.. 0 of 2 saved, 2 failed"), MessageIcon::Warning};
        QCOMPARE(prompter_->shown, expected);
        QVERIFY(prompter_->fileSavedFolders.isEmpty());
        QVERIFY(prompter_->opened.isEmpty());
        for (const QString& workbook : workbooks)
            QVERIFY2(ReadAll(workbook) == damaged, qPrintable(workbook));
    }

    // A save in which one file fails says so after it: how many were saved and how many failed,
    // and each failure why (here a Save As cancelled). Back to the repaired list and saving
    // again, the rows saved already stay "Saved" and are not saved again; the one whose copy
    // was kept is tried again in full.
    void aSaveTellsWhatHappened()
    {
        const QByteArray damaged = QByteArray(512, '\0') + ReadAll(QStringLiteral(TABULON_TEST_DATA "/readxl__mtcars.xls")).mid(512);
        const QStringList workbooks{WriteFile(QStringLiteral("a.xls"), damaged), WriteFile(QStringLiteral("b.xls"), damaged),
                                    WriteFile(QStringLiteral("c.xls"), damaged)};
        QVERIFY(!workbooks.contains(QString()));
        const QString out = folder_->filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        const QString inTheWay = WriteFile(QStringLiteral("out/b_rep.xls"), "mine");
        view_->SaveFolder = out + QLatin1Char('/');
        view_->Suffix = QStringLiteral("_rep");
        QVERIFY(Repaired(workbooks));  // rows c, b, a
        prompter_->shown.clear();

        const QString failure = QStringLiteral("Uable to Save File, Either the file already exit,\nor it is used by some other program");
        const Shown overwrite{QStringLiteral("A file with the same name already exist \nOverwrite existing file"),
                              MessageIcon::Information, MessageButtons::YesNo};
        const Shown cancelled{failure + QStringLiteral("\n\nSave As was cancelled; the repaired copy is kept for another try."),
                              MessageIcon::Information};
        for (int round = 0; round < 2; ++round) {
            prompter_->answers = {MessageAnswer::No};  // then Save As, cancelled
            QVERIFY(NextReaches(PageSaved));
            QCOMPARE(Column(view_->SavedList, 3), (QStringList{"Saved", "Failed", "Saved"}));
            QCOMPARE(prompter_->shown, (QList<Shown>{overwrite, cancelled}));
            QCOMPARE(prompter_->fileSavedCounts, (QList<std::pair<int, int>>{{2, 1}}));
            const QString tip = view_->SavedList->item(0, 3)->toolTip();
            QVERIFY2(tip.contains(QDir::toNativeSeparators(out + QStringLiteral("/c_rep.xls"))) && tip.contains(QStringLiteral("already")) == (round == 1),
                     qPrintable(tip));
            QCOMPARE(view_->SavedFiles(), (QStringList{QDir::toNativeSeparators(out + QStringLiteral("/c_rep.xls")), QString(),
                                                       QDir::toNativeSeparators(out + QStringLiteral("/a_rep.xls"))}));
            prompter_->shown.clear();
            prompter_->fileSavedCounts.clear();
            QTest::mouseClick(view_->PreviousButton, Qt::LeftButton);
            QCOMPARE(view_->Page, int{PageRepaired});
        }
        QCOMPARE(ReadAll(inTheWay), QByteArray("mine"));
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 3);
        const QByteArray saved = ReadAll(out + QStringLiteral("/a_rep.xls"));
        QVERIFY(saved.startsWith(QByteArray::fromHex("d0cf11e0a1b11ae1")) && saved.mid(512) == damaged.mid(512));

        // The saved rows alone, into a folder that has gone since: nothing is written, so
        // nothing stands in the way, and the dialog tells of no failure.
        view_->RepairedList->item(1, 0)->setCheckState(Qt::Unchecked);
        view_->SaveFolder = folder_->filePath(QStringLiteral("gone/"));
        QVERIFY(NextReaches(PageSaved));
        QCOMPARE(Column(view_->SavedList, 3), (QStringList{"Saved", "Saved"}));
        QVERIFY(prompter_->shown.isEmpty());
        QCOMPARE(prompter_->fileSavedCounts, (QList<std::pair<int, int>>{{2, 0}}));
    }

    // A folder that cannot be written into is found before the save starts, as a missing one is.
    void aSaveFolderThatCannotBeWrittenIsRefusedFirst()
    {
        QVERIFY(Repaired({Workbook("a.xls")}));
        prompter_->shown.clear();
        const QString locked = folder_->filePath(QStringLiteral("locked"));
        const UnwritableFolder unwritable(locked);
        if (!unwritable.WhyNot().isEmpty())
            QSKIP(qPrintable(unwritable.WhyNot()));
        view_->SaveFolder = locked + QLatin1Char('/');
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        const Shown refusal = TakeMessage();
        QVERIFY2(refusal.text.contains(locked) && refusal.text.contains(QStringLiteral("cannot be written into")) &&
                     refusal.icon == MessageIcon::Warning,
                 qPrintable(refusal.text));
        QCOMPARE(view_->Page, int{PageRepaired});
        QVERIFY(prompter_->fileSavedFolders.isEmpty());
        QVERIFY(QDir(locked).isEmpty());
    }

    // Workbooks given on the command line or dropped on the window: added as Add File adds
    // them on the first page, folders giving their .xls files; refused elsewhere.
    void filesFromOutsideAndDrops()
    {
        const QString a = Workbook("a.xls");
        QDir(folder_->path()).mkdir(QStringLiteral("folder"));
        QFile::copy(a, folder_->filePath(QStringLiteral("folder/b.xls")));
        QFile::copy(a, folder_->filePath(QStringLiteral("folder/notes.txt")));
        view_->AddFilesFromOutside({a, folder_->filePath(QStringLiteral("folder")), folder_->filePath(QStringLiteral("gone.xls"))});
        QCOMPARE(view_->RepairList->rowCount(), 2);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("b.xls"));
        QVERIFY(TakeMessage().text.contains(QStringLiteral("gone.xls")));

        // A drop of the same workbook and a new one.
        const QString c = Workbook("c.xls");
        auto drop = [this](const QStringList& paths) {
            QMimeData data;
            QList<QUrl> urls;
            for (const QString& path : paths)
                urls << QUrl::fromLocalFile(path);
            data.setUrls(urls);
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view_, &enter);
            QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view_, &dropped);
            return enter.isAccepted() && dropped.isAccepted();
        };
        QVERIFY(drop({a, c}));
        QCOMPARE(TakeMessage().text, QStringLiteral("This file has already been added      "));
        QCOMPARE(view_->RepairList->rowCount(), 3);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("c.xls"));

        view_->ShowPage(PageSaved);
        QVERIFY(!drop({Workbook("d.xls")}));
        QCOMPARE(TakeMessage().text, QStringLiteral("File(s) can not be  added to Saved file(s) list "));
        view_->Page = PageRepairing;
        QVERIFY(!drop({folder_->filePath(QStringLiteral("d.xls"))}));
        QVERIFY(prompter_->shown.isEmpty());
        QCOMPARE(view_->RepairList->rowCount(), 3);
        view_->Page = PageSaved;
    }

    // The real dialog and a real message box, answered the way a user would.
    void realDialogsAreWired()
    {
        const QString a = Workbook("a.xls");
        const QString b = Workbook("b.xls");
        WidgetPrompter real(frame_);
        {
            ModalAnswer choose([&](QWidget* modal) {
                auto* dialog = qobject_cast<CMultiFileDialog*>(modal);
                auto* nameEdit = dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
                if (!nameEdit)
                    return;  // closed unanswered: nothing is chosen
                dialog->setDirectory(folder_->path());
                nameEdit->setText(QStringLiteral("\"b.xls\" \"a.xls\""));
                QMetaObject::invokeMethod(dialog, "accept");  // protected in QFileDialog
            });
            QCOMPARE(real.ChooseWorkbooks(), (QStringList{b, a}));
        }

        QString box;  // its caption and icon
        ModalAnswer yes([&](QWidget* modal) {
            if (auto* message = qobject_cast<QMessageBox*>(modal)) {
                box = QStringLiteral("%1, icon %2").arg(message->windowTitle()).arg(message->icon());
                if (QAbstractButton* button = message->button(QMessageBox::Yes))
                    button->click();
            }
        });
        QCOMPARE(real.ShowMessage(QStringLiteral("Remove?"), MessageIcon::Warning, MessageButtons::YesNo), MessageAnswer::Yes);
        QCOMPARE(box, QStringLiteral("Quorvex Tabulon, icon %1").arg(int{QMessageBox::Warning}));
    }

    // Help and the version are answered where there is no display; a near miss or an unknown
    // option is refused with the usage.
    void commandLineHelpAndVersion()
    {
        const ProgramRun help = RunProgram({QStringLiteral("--help")}, QString());
        QVERIFY2(help.normalExit && help.exitCode == 0, help.err.constData());  // not so when it did not end in time
        QVERIFY(help.out.startsWith("Usage: tabulon [WORKBOOK...]\n") && help.out.contains("--version"));
        const std::pair<QStringList, QByteArray> runs[] = {
            {{"-h"}, help.out}, {{"--version", "a.xls", "--help"}, help.out}, {{"--version"}, "tabulon " TABULON_VERSION "\n"}};
        for (const auto& [arguments, out] : runs) {
            const ProgramRun run = RunProgram(arguments, QString());
            QVERIFY2(run.normalExit && run.exitCode == 0, run.err.constData());
            QCOMPARE(run.out, out);
        }

        for (const QString& option : {QStringLiteral("-help"), QStringLiteral("--bogus")}) {
            const ProgramRun refused = RunProgram({option, Workbook("a.xls")}, QStringLiteral("offscreen"));
            QVERIFY2(refused.normalExit, "did not end in time, or crashed");
            QCOMPARE(refused.exitCode, 2);
            QVERIFY2(refused.err.contains("'" + option.toLatin1() + "'") && refused.err.contains("Usage: tabulon [WORKBOOK...]"),
                     refused.err.constData());
            QVERIFY(refused.out.isEmpty());
        }
    }

    // A repaired row's preview opens on a double click, on Enter, and from Preview in the row's
    // context menu: the copy's cells on the first page, the repair report on the second.
    // What the salvage mended is shaded in the grid, from the last cell before it to the first
    // after it, and counted above the grid; a stretch of the globals is counted on every sheet.
    void aRepairedRowOpensItsPreview()
    {
        QVERIFY(Repaired({Workbook("a.xls")}));
        prompter_->shown.clear();
        QStringList seen;  // what each preview opened showed
        QString listed, tip;
        QStringList details;  // the stretches one by one
        prompter_->answerDialog = [&](QDialog& dialog) {
            auto* preview = qobject_cast<CPreviewWindow*>(&dialog);
            const CSheetModel* model = preview ? preview->CurrentModel() : nullptr;
            if (!model)
                return int{QDialog::Rejected};
            QStringList mended;
            for (int row = 0; row < model->rowCount(); ++row)
                if (model->index(row, 0).data(CSheetModel::MendedRole).toBool())
                    mended << QString::number(row + 1);
            seen << QStringLiteral("%1 pages, %2 rows, A1 %3, report %4, mended rows {%5}, D2 shaded %6, D4 shaded %7")
                        .arg(preview->Pages->count())
                        .arg(model->rowCount())
                        .arg(model->index(0, 0).data().toString())
                        .arg(preview->Report->toPlainText() == view_->RepairReportText(0))
                        .arg(mended.join(QLatin1Char(' ')))
                        .arg(model->index(1, 3).data(Qt::BackgroundRole).isValid())
                        .arg(model->index(3, 3).data(Qt::BackgroundRole).isValid());
            listed = preview->MendedList->isVisibleTo(preview) ? preview->MendedList->text() : QString();
            details.clear();
            for (int line = 0; line < preview->MendedDetails->count(); ++line)
                details << preview->MendedDetails->item(line)->text();
            tip = model->headerData(2, Qt::Vertical, Qt::ToolTipRole).toString();
            return int{QDialog::Rejected};
        };
        const QString expected = QStringLiteral("2 pages, 7 rows, A1 mpg, report 1, mended rows {}, D2 shaded 0, D4 shaded 0");

        QWidget* viewport = view_->RepairedList->viewport();
        const QPoint cell = OpenRepairedRow(0);
        QCOMPARE(seen, QStringList{expected});

        frame_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame_, 10000));
        view_->RepairedList->setFocus();
        view_->RepairedList->setCurrentCell(0, 1);
        QTest::keyClick(view_->RepairedList, Qt::Key_Return);
        QCOMPARE(seen, QStringList(2, expected));

        // The menu is answered by the keys a user would press.
        QStringList items;
        {
            ModalAnswer pick([&](QWidget* popup) {
                if (auto* menu = qobject_cast<QMenu*>(popup)) {
                    for (const QAction* action : menu->actions())
                        items << action->text();
                    QTest::keyClick(menu, Qt::Key_Down);
                    QTest::keyClick(menu, Qt::Key_Return);
                }
            });
            QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, cell, viewport->mapToGlobal(cell));
            QApplication::sendEvent(viewport, &menuEvent);
        }
        QCOMPARE(items, QStringList{QStringLiteral("&Preview")});
        QCOMPARE(seen, QStringList(3, expected));
        QVERIFY(prompter_->shown.isEmpty() && listed.isEmpty());
        QVERIFY(view_->RepairReports.at(0));

        // The cells of the copy and where their records are. The first stretch begins inside
        // J2's record (row 1, column 9) and ends where E3's (row 2, column 4) begins.
        const QByteArray bytes = ReadAll(view_->RepairPaths.value(0));
        tabulon::MemorySectorFile copy(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        const std::optional<std::vector<std::uint8_t>> stream = tabulon::ReadWorkbookStream(copy);
        QVERIFY(stream);
        const tabulon::WorkbookCells cells = tabulon::ReadWorkbookCells(*stream);
        const auto offsetOf = [&](int row, int column) -> std::uint64_t {
            for (const tabulon::CellValue& value : cells.sheets.at(0).cells)
                if (value.row == row && value.column == column)
                    return value.offset;
            return 0;
        };
        QVERIFY(offsetOf(1, 9) > 0 && offsetOf(2, 4) > offsetOf(1, 9) && offsetOf(6, 10) > 0);
        tabulon::RepairReport report = *view_->RepairReports.at(0);
        report.used = tabulon::RebuildUsed::Salvaged;
        report.salvage.emplace();
        using Region = tabulon::MendedRegion;
        report.salvage->regions = {
            {Region::Kind::Replaced, offsetOf(1, 9) + 8, offsetOf(2, 4) - offsetOf(1, 9) - 8, 0},
            {Region::Kind::Lost, offsetOf(6, 10) + 40, 300, 0},
            {Region::Kind::Replaced, 100, 20, -1},
        };
        view_->SetRepairReport(0, report);
        OpenRepairedRow(0);
        // One row more than the cells': what was lost at the end.
        QCOMPARE(seen.value(3), QStringLiteral("2 pages, 8 rows, A1 mpg, report 1, mended rows {2 3 7 8}, D2 shaded 1, D4 shaded 0"));
        // Counted above the grid, by place and kind; each stretch in the details.
        QCOMPARE(listed, QStringLiteral("head(mtcars): 1 stretch replaced (%1 bytes), 1 lost (300 bytes); cells there may be missing.\n"
                                        "Workbook globals: 1 stretch replaced (20 bytes); texts the sheets share may be missing.")
                             .arg(offsetOf(2, 4) - offsetOf(1, 9) - 8));
        QCOMPARE(details.size(), 3);
        QVERIFY2(details.value(0).startsWith(QStringLiteral("Rows 2 to 3: data damaged and replaced (")) &&
                     details.value(1).startsWith(QStringLiteral("Rows 7 to 8: data lost (300 bytes at offset ")) &&
                     details.value(2) == QStringLiteral("Workbook globals: data damaged and replaced (20 bytes at offset 100 of the "
                                                        "workbook stream); texts the sheets share may be missing."),
                 qPrintable(details.join(QLatin1Char('|'))));
        QVERIFY2(tip.startsWith(QStringLiteral("Rows 2 to 3: ")) && tip.contains(QStringLiteral("damaged and replaced")), qPrintable(tip));
    }

    // The save folder as a settings file holds it, with its separator at the end or without
    // (written by hand, or by an older version): the copy is saved into that folder, never beside
    // it, the File Saved dialog names the folder the copy is in and View saved files opens it,
    // and the setting is stored again as it was.
    void theSaveFolderAsStored_data()
    {
        QTest::addColumn<bool>("separator");
        QTest::newRow("ending with a separator") << true;
        QTest::newRow("without one") << false;
    }

    void theSaveFolderAsStored()
    {
        QFETCH(bool, separator);
        const QString out = QDir::toNativeSeparators(folder_->filePath(QStringLiteral("out")));
        QVERIFY(QDir().mkpath(out));
        const QString stored = separator ? out + QDir::separator() : out;
        app_.reset();
        tabulon::settings::StoreSettings({stored, QStringLiteral("_rep")});
        StartApp();
        QCOMPARE(view_->SaveFolder, stored);

        QVERIFY(Repaired({WriteFile(QStringLiteral("a.xls"), QByteArray(512, '\0') + ReadAll(QStringLiteral(TABULON_TEST_DATA "/readxl__mtcars.xls")).mid(512))}));
        QVERIFY(NextReaches(PageSaved));
        QCOMPARE(Column(view_->SavedList, 3), QStringList{QStringLiteral("Saved")});
        QVERIFY(QFile::exists(QDir(out).filePath(QStringLiteral("a_rep.xls"))));
        QCOMPARE(QDir(folder_->path()).entryList({QStringLiteral("*_rep.xls")}, QDir::Files), QStringList());
        const QString told = out + QDir::separator();
        QCOMPARE(prompter_->fileSavedFolders, QStringList{told});
        QCOMPARE(prompter_->opened, QList<QUrl>{QUrl::fromLocalFile(told)});
        QCOMPARE(QDir(prompter_->opened.value(0).toLocalFile()), QDir(out));

        app_.reset();
        QCOMPARE(tabulon::settings::LoadSettings().saveFolder, stored);
    }

    // The Status column tells, from what the repair came to, a workbook kept as it was and a
    // salvage that lost a sheet from a repair that brought the workbook back whole.
    void theStatusTellsWhatTheRepairCameTo()
    {
        const QByteArray mtcars = ReadAll(QStringLiteral(TABULON_TEST_DATA "/readxl__mtcars.xls"));
        // Of three sheets, the sector holding the last one's first record zeroed: its cells are lost.
        QByteArray threeSheets = ReadAll(QStringLiteral(TABULON_TEST_DATA "/xlrd__issue20.xls"));
        const qsizetype lastSheet = threeSheets.lastIndexOf(QByteArray::fromHex("0908100000061000"));
        QVERIFY(mtcars.size() > 512 && lastSheet > 512);
        threeSheets.replace(lastSheet / 512 * 512, 512, QByteArray(512, '\0'));
        const QStringList workbooks{WriteFile(QStringLiteral("kept.xls"), mtcars),
                                    WriteFile(QStringLiteral("wiped.xls"), QByteArray(512, '\0') + mtcars.mid(512)),
                                    WriteFile(QStringLiteral("partial.xls"), threeSheets),
                                    WriteFile(QStringLiteral("zip.xls"), QByteArray("PK\x03\x04", 4) + QByteArray(4092, '\0'))};
        QVERIFY(!workbooks.contains(QString()));
        QVERIFY(Repaired(workbooks));  // the last on top
        QCOMPARE(Column(view_->RepairedList, 3), (QStringList{"Failed", "Partly recovered", "Repaired", "Kept"}));
        const QStringList check = Column(view_->RepairedList, 4);
        QVERIFY2(check.value(1).startsWith(QStringLiteral("Salvaged: 1 of 3 sheets complete")) && check.value(1).contains(QStringLiteral("lost")),
                 qPrintable(check.value(1)));
        QCOMPARE(check.mid(2), (QStringList{"Opens", "Kept: opens as it is; nothing changed"}));
        // Every row with a copy is ticked for saving, whatever it came to.
        QVERIFY(!Checked(view_->RepairedList, 0) && Checked(view_->RepairedList, 1) && Checked(view_->RepairedList, 2) &&
                Checked(view_->RepairedList, 3));
    }

    // Settings opens from the toolbar's button and from the Tool menu on every page, the last
    // one and those of a running job included.
    void settingsOpenOnEveryPage()
    {
        int dialogs = 0;
        prompter_->answerDialog = [&dialogs](QDialog& dialog) {
            dialogs += qobject_cast<tabulon::settings::CSettingsDlg*>(&dialog) ? 1 : 0;
            return int{QDialog::Rejected};
        };
        QAction* fromMenu = nullptr;
        for (QAction* menu : frame_->menuBar()->actions())
            if (menu->text() == QStringLiteral("&Tool"))
                for (QAction* item : menu->menu()->actions())
                    fromMenu = item->text() == QStringLiteral("&Settings") ? item : fromMenu;
        QVERIFY(fromMenu);
        QWidget* button = frame_->ToolBar->widgetForAction(frame_->Action(kIdSettings));
        QVERIFY(button);
        QStringList refused;
        const auto openBoth = [&](int page) {
            QCOMPARE(view_->Page, page);
            dialogs = 0;
            QTest::mouseClick(button, Qt::LeftButton);
            fromMenu->trigger();
            if (dialogs != 2)
                refused << QStringLiteral("page %1: %2 of 2").arg(page).arg(dialogs);
        };

        openBoth(PageAdd);
        view_->JobPause = std::chrono::milliseconds(200);  // time to use them while each job runs
        Add({Workbook("a.xls")});
        view_->SaveFolder = folder_->path() + QLatin1Char('/');
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        openBoth(PageRepairing);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        openBoth(PageRepaired);
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        openBoth(PageSaving);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageSaved}, 20000);
        openBoth(PageSaved);
        QVERIFY2(refused.isEmpty(), qPrintable(refused.join(QStringLiteral(", "))));
        QVERIFY2(prompter_->shown.size() == 1, "only the end of the repair is told");
    }

};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
