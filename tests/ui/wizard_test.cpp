// The main window driven as a user drives it, headless: pages and their guards, the file
// lists, the commands by page, layout, and the frame around the wizard.
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QSettings>
#include <QStandardPaths>
#include <QToolBar>
#include <QtTest>

#include <memory>

#include "engine/cfb/compound_reader.h"
#include "engine/io/os_file.h"
#include "engine/repair/workbook_file.h"
#include "modal_answer.h"
#include "ui/settings/settings_dialog.h"
#include "ui/bitmap_button.h"
#include "ui/commands.h"
#include "ui/main_frame.h"
#include "ui/multi_file_dialog.h"
#include "ui/preview_window.h"
#include "ui/prompter.h"
#include "ui/repair_app.h"
#include "ui/wizard_view.h"

using namespace tabulon::ui;

namespace {

struct Shown {
    QString text;
    MessageIcon icon;
    MessageButtons buttons;
};

class RecordingPrompter final : public Prompter {
public:
    MessageAnswer ShowMessage(const QString& text, MessageIcon icon, MessageButtons buttons) override
    {
        shown.append({text, icon, buttons});
        if (buttons == MessageButtons::Ok)
            return MessageAnswer::Ok;
        return answers.isEmpty() ? MessageAnswer::No : answers.takeFirst();
    }
    QStringList ChooseWorkbooks() override
    {
        ++dialogsShown;
        return choice;
    }
    void OpenUrl(const QUrl& url) override { opened.append(url); }
    QString ChooseSaveAs(const QString&) override { return {}; }
    bool ShowFileSaved(const QString& folder) override
    {
        fileSavedFolders << folder;
        return true;  // show the saved files
    }
    int RunDialog(QDialog& dialog) override { return answerDialog ? answerDialog(dialog) : int{QDialog::Rejected}; }

    std::function<int(QDialog&)> answerDialog;
    QStringList fileSavedFolders;
    QList<Shown> shown;
    QList<MessageAnswer> answers;
    QStringList choice;
    int dialogsShown = 0;
    QList<QUrl> opened;
};

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
    return {program.exitStatus() == QProcess::NormalExit, program.exitCode(), program.readAllStandardOutput(),
            program.readAllStandardError()};
}

}  // namespace

class WizardTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<CRepairApp> app_;
    std::unique_ptr<QTemporaryDir> folder_;
    CMainFrame* frame_ = nullptr;
    CWizardView* view_ = nullptr;

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
        prompter_ = std::make_unique<RecordingPrompter>();
        app_ = std::make_unique<CRepairApp>();
        QVERIFY(app_->InitInstance(prompter_.get()));
        frame_ = app_->MainFrame();
        view_ = frame_->WizardView;
        view_->JobPause = std::chrono::milliseconds(0);
    }

    void cleanup()
    {
        app_.reset();
    }

    void startsOnTheAddPage()
    {
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Quorvex Tabulon Version " TABULON_VERSION));
        QCOMPARE(view_->Page, int{PageAdd});
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->RepairList, view_->SelectAllCheck, view_->NextButton}));
        QVERIFY(!frame_->Action(kIdSaveFile)->isEnabled());
    }

    void nextIsGuardedOnTheAddPage()
    {
        frame_->OnCmdMsg(kIdNextButton);
        Shown shown = TakeMessage();
        QCOMPARE(shown.text, QStringLiteral("Add file(s) in the list to repair"));
        QCOMPARE(shown.icon, MessageIcon::None);
        QCOMPARE(view_->Page, int{PageAdd});

        Add({Workbook("a.xls")});
        view_->RepairList->item(0, 0)->setCheckState(Qt::Unchecked);
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QCOMPARE(TakeMessage().text, QStringLiteral("Select file(s) in the list to repair"));
        QCOMPARE(view_->Page, int{PageAdd});

        // Repair File on the add page behaves exactly like Next.
        frame_->OnCmdMsg(kIdRepairFile);
        QCOMPARE(TakeMessage().text, QStringLiteral("Select file(s) in the list to repair"));
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
        QCOMPARE(view_->RepairedList->rowCount(), 2);
        QCOMPARE(Cell(view_->RepairedList, 0, 1), c);
        QCOMPARE(Cell(view_->RepairedList, 1, 1), a);
        QCOMPARE(Cell(view_->RepairedList, 0, 3), QString());
        QCOMPARE(view_->RepairPaths, (QStringList{c, a}));

        // While the job's page is up, the commands that could start another job refuse.
        for (const int id : {kIdRepairFile, kIdSaveFile}) {
            frame_->OnCmdMsg(id);
            Shown shown = TakeMessage();
            QCOMPARE(shown.text, QStringLiteral("Repair or Save is in progress. Please wait for it to end"));
            QCOMPARE(shown.icon, MessageIcon::Warning);
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
        QCOMPARE(TakeMessage().text, QStringLiteral("Repair or Save is in progress. Please wait for it to end"));
        QVERIFY(prompter_->opened.isEmpty());
        QVERIFY(frame_->isVisible());
    }

    // The window destroyed while a repair job runs (as when the program ends): the worker's calls
    // from then on reach nothing, and the worker has ended before the view is gone. The calls it
    // makes meanwhile are handled, or neither side could go on.
    void destroyingTheWindowEndsTheWorkerFirst()
    {
        if (!QDir(QStringLiteral("/proc/self/task")).exists())
            QSKIP("The worker thread is looked for in /proc/self/task, which this system does not have");
        view_->JobPause = std::chrono::milliseconds(100);
        Add({Workbook("a.xls"), Workbook("b.xls"), Workbook("c.xls")});
        const QSet<QString> before = Threads();
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        // Mid-way: the first workbook is repaired, the worker pauses before the next.
        QTRY_COMPARE_WITH_TIMEOUT(Cell(view_->RepairedList, 0, 3), QStringLiteral("Repaired"), 20000);
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
        Add({Workbook("a.xls"), Workbook("b.xls")});
        frame_->OnCmdMsg(kIdNextButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        prompter_->shown.clear();
        const QString copy = folder_->filePath(QStringLiteral("copy-b.xls"));  // not there: its save fails
        view_->RepairPaths = {copy, QStringLiteral("FAIL")};
        QVERIFY(Checked(view_->RepairedList, 0) && Checked(view_->RepairedList, 1));
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->RepairedList, view_->SelectAllCheck, view_->NextButton,
                                                     view_->PreviousButton}));
        QVERIFY(frame_->Action(kIdSaveFile)->isEnabled());

        // Select All acts on the state the click has just given the check box.
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(view_->SelectAllCheck->isChecked());
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(!view_->SelectAllCheck->isChecked());
        QVERIFY(!Checked(view_->RepairedList, 0) && !Checked(view_->RepairedList, 1));
        frame_->OnCmdMsg(kIdNextButton);
        QCOMPARE(TakeMessage().text, QStringLiteral("Select file(s) in the list to repair"));

        frame_->OnCmdMsg(kIdRepairFile);
        Shown shown = TakeMessage();
        QCOMPARE(shown.text, QStringLiteral("Please save the repaired file\nor press previous button to add \nmore "
                                            "files and the press repair"));
        QCOMPARE(shown.icon, MessageIcon::Warning);
        frame_->OnCmdMsg(kIdAddFile);
        QCOMPARE(TakeMessage().text, QStringLiteral("File(s) can not be added to repaired file(s) list"));
        frame_->OnCmdMsg(kIdRemoveSelected);
        QCOMPARE(TakeMessage().text, QStringLiteral("File(s) can not be  removed from repaired file(s) list "));

        view_->RepairedList->item(0, 0)->setCheckState(Qt::Checked);
        view_->SaveFolder = folder_->path() + QLatin1Char('/');
        frame_->Action(kIdSaveFile)->trigger();  // Save File does what Next does here
        QVERIFY(prompter_->shown.isEmpty());
        QCOMPARE(view_->Page, int{PageSaving});
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->SavedList, view_->ProgressBar}));
        QCOMPARE(view_->SavedList->rowCount(), 1);
        QCOMPARE(view_->SavePaths, QStringList{copy});
    }

    void savedListGuardAndTheWayBack()
    {
        view_->ShowPage(PageRepaired);
        frame_->OnCmdMsg(kIdNextButton);
        QCOMPARE(TakeMessage().text, QStringLiteral("Saved List is empty "));
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY2(!view_->SelectAllCheck->isChecked(), "an empty list clears the check box again");

        view_->ShowPage(PageSaved);
        QCOMPARE(VisibleControls(), (QList<QWidget*>{view_->SavedList, view_->PreviousButton, view_->FinishedButton}));
        QVERIFY(!frame_->Action(kIdSaveFile)->isEnabled());
        frame_->OnCmdMsg(kIdRepairFile);
        QCOMPARE(TakeMessage().text, QStringLiteral("Please press finish to start again"));
        frame_->OnCmdMsg(kIdAddFile);
        QCOMPARE(TakeMessage().text, QStringLiteral("File(s) can not be  added to Saved file(s) list "));
        frame_->OnCmdMsg(kIdRemoveSelected);
        QCOMPARE(TakeMessage().text, QStringLiteral("File(s) can not be  removed from Saved file(s) list "));
        frame_->OnCmdMsg(kIdRemoveAll);
        QCOMPARE(TakeMessage().text, QStringLiteral("You Cannot DeleteFile Form Save or Saved List"));

        QTest::mouseClick(view_->PreviousButton, Qt::LeftButton);
        QCOMPARE(view_->Page, int{PageRepaired});
        QTest::mouseClick(view_->PreviousButton, Qt::LeftButton);
        QCOMPARE(view_->Page, int{PageAdd});
    }

    // Select All on the add page; Finished empties the list, and neither page change touches the box.
    void selectAllAndFinished()
    {
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(!view_->SelectAllCheck->isChecked());
        Add({Workbook("a.xls"), Workbook("b.xls")});
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(Checked(view_->RepairList, 0) && Checked(view_->RepairList, 1));
        QTest::mouseClick(view_->SelectAllCheck, Qt::LeftButton);
        QVERIFY(!Checked(view_->RepairList, 0) && !Checked(view_->RepairList, 1));

        view_->SelectAllCheck->setChecked(true);
        view_->ShowPage(PageSaved);
        QTest::mouseClick(view_->FinishedButton, Qt::LeftButton);
        QCOMPARE(view_->Page, int{PageAdd});
        QCOMPARE(view_->RepairList->rowCount(), 0);
        QVERIFY(view_->SelectAllCheck->isChecked());
    }

    void addingWorkbooks()
    {
        const QString big = Workbook("big.xls");
        const QString small = Workbook("small.xls", 512);
        Add({big, small});
        QCOMPARE(view_->RepairList->rowCount(), 2);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("small.xls"));
        QCOMPARE(Cell(view_->RepairList, 0, 1), QFileInfo(small).absoluteFilePath());
        QCOMPARE(Cell(view_->RepairList, 0, 2), QStringLiteral("512  bytes"));
        QCOMPARE(Cell(view_->RepairList, 1, 2), QStringLiteral("5632  bytes"));
        QVERIFY(Checked(view_->RepairList, 0) && Checked(view_->RepairList, 1));
        const QRegularExpression dateForm(QStringLiteral("^[A-Z][a-z]{2}, [A-Z][a-z]{2} \\d{2}, \\d{4}$"));
        QVERIFY(dateForm.match(Cell(view_->RepairList, 0, 3)).hasMatch());
        QCOMPARE(CreationTimeText(QDateTime(QDate(2008, 3, 4), QTime(12, 0))), QStringLiteral("Tue, Mar 04, 2008"));
        QVERIFY(prompter_->shown.isEmpty());

        // The same workbook again: told, skipped, and the rest of the batch still added.
        const QString more = Workbook("more.xls");
        Add({small, more});
        Shown shown = TakeMessage();
        QCOMPARE(shown.text, QStringLiteral("This file has already been added      "));
        QCOMPARE(shown.icon, MessageIcon::Information);
        QCOMPARE(view_->RepairList->rowCount(), 3);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("more.xls"));

        // What cannot be opened is reported once, in one warning, and the rest is added.
        Add({folder_->filePath("gone.xls"), folder_->path(), Workbook("huge.xls", (qint64{1} << 31) + 5)});
        QCOMPARE(view_->RepairList->rowCount(), 4);
        QCOMPARE(Cell(view_->RepairList, 0, 2), QStringLiteral("2147483653  bytes"));
        shown = TakeMessage();
        QCOMPARE(shown.icon, MessageIcon::Warning);
        QVERIFY2(shown.text.contains(folder_->filePath("gone.xls")), qPrintable(shown.text));
        QVERIFY2(shown.text.contains(folder_->path() + QStringLiteral(": this is a folder")), qPrintable(shown.text));
    }

    void removingRows()
    {
        frame_->OnCmdMsg(kIdRemoveSelected);
        QCOMPARE(TakeMessage().text, QStringLiteral("No file(s) in the list to remove"));
        frame_->OnCmdMsg(kIdRemoveAll);
        QCOMPARE(TakeMessage().text, QStringLiteral("There is no files in the list to delete"));

        Add({Workbook("a.xls"), Workbook("b.xls"), Workbook("c.xls")});
        CWizardView::SetAllChecks(*view_->RepairList, false);
        frame_->OnCmdMsg(kIdRemoveSelected);
        QCOMPARE(TakeMessage().text, QStringLiteral("Please select a file to remove"));

        view_->RepairList->item(0, 0)->setCheckState(Qt::Checked);
        view_->RepairList->item(2, 0)->setCheckState(Qt::Checked);
        prompter_->answers = {MessageAnswer::No};
        frame_->OnCmdMsg(kIdRemoveSelected);
        Shown question = TakeMessage();
        QCOMPARE(question.text, QStringLiteral("Do you want to remove the selected\nfiles from the list"));
        QCOMPARE(question.buttons, MessageButtons::YesNo);
        QCOMPARE(question.icon, MessageIcon::Warning);
        QCOMPARE(view_->RepairList->rowCount(), 3);

        prompter_->answers = {MessageAnswer::Yes};
        frame_->OnCmdMsg(kIdRemoveSelected);
        TakeMessage();
        QCOMPARE(view_->RepairList->rowCount(), 1);
        QCOMPARE(Cell(view_->RepairList, 0, 0), QStringLiteral("b.xls"));

        frame_->OnCmdMsg(kIdRemoveAll);
        QVERIFY2(prompter_->shown.isEmpty(), "Remove All does not ask");
        QCOMPARE(view_->RepairList->rowCount(), 0);
    }

    // The lists stretch with the frame; the controls below them keep their distance from its
    // bottom edge, the buttons also from its right edge; nothing leaves the view or overlaps.
    void layoutFollowsTheFrame()
    {
        const QList<QWidget*> lists{view_->RepairList, view_->RepairedList, view_->SavedList};
        const QList<QWidget*> buttons{view_->NextButton, view_->PreviousButton, view_->FinishedButton};
        const QList<QWidget*> below{view_->SelectAllCheck, view_->ProgressBar};
        QHash<QWidget*, QRect> before;
        for (QWidget* control : lists + buttons + below)
            before[control] = control->geometry();
        frame_->resize(frame_->width() + 100, frame_->height() + 50);
        for (QWidget* list : lists)
            QCOMPARE(list->geometry(), before[list].adjusted(0, 0, 100, 50));
        for (QWidget* button : buttons)
            QCOMPARE(button->geometry(), before[button].translated(100, 50));
        QCOMPARE(view_->SelectAllCheck->geometry(), before[view_->SelectAllCheck].translated(0, 50));
        QCOMPARE(view_->ProgressBar->geometry(), before[view_->ProgressBar].adjusted(0, 50, 100, 50));
        for (QWidget* control : lists + buttons + below)
            QVERIFY2(view_->rect().contains(control->geometry()), qPrintable(control->objectName()));
        const QRect list = view_->RepairList->geometry();
        for (QWidget* control : buttons + below)
            QVERIFY2(control->geometry().top() > list.bottom(), qPrintable(control->objectName()));
        QVERIFY(view_->PreviousButton->geometry().right() < view_->NextButton->geometry().left());
    }

    void menuAndToolbarReachTheSameHandler()
    {
        QAction* add = frame_->Action(kIdAddFile);
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

        auto* toolButton = frame_->ToolBar->widgetForAction(add);
        QVERIFY(toolButton);
        QTest::mouseClick(toolButton, Qt::LeftButton);
        QCOMPARE(prompter_->dialogsShown, 1);
        frame_->menuBar()->actions().at(0)->menu()->actions().at(0)->trigger();
        QCOMPARE(prompter_->dialogsShown, 2);
    }

    void helpAndClose()
    {
        frame_->OnCmdMsg(kIdHelp);
        QCOMPARE(prompter_->opened.size(), 1);
        QVERIFY(prompter_->opened.at(0).isLocalFile());
        QVERIFY(prompter_->opened.at(0).toLocalFile().endsWith(QStringLiteral("help.html")));

        frame_->Action(kIdAppExit)->trigger();
        QCOMPARE(prompter_->opened.size(), 2);
        QCOMPARE(prompter_->opened.at(1), QUrl(QStringLiteral("https://www.quorvex.example/tabulon")));
        QVERIFY(!frame_->isVisible());
    }

    void selectionTextParse_data()
    {
        QTest::addColumn<QString>("selection");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("two names, trailing blank") << "\"b.xls\" \"a.xls\" " << QStringList{"b.xls", "a.xls"};
        QTest::newRow("two names, no trailing blank") << "\"b.xls\" \"a.xls\"" << QStringList{"b.xls", "a.xls"};
        QTest::newRow("one quoted name") << "\"only.xls\"" << QStringList{"only.xls"};
        QTest::newRow("blanks inside a name") << "\"my book.xls\" \"x.xls\" " << QStringList{"my book.xls", "x.xls"};
        QTest::newRow("empty text") << "" << QStringList{};
        QTest::newRow("a lone quote") << "\"" << QStringList{};
        QTest::newRow("unterminated name") << "\"a.xls" << QStringList{};
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

    // Three damaged workbooks, one of which disappears before it is repaired, through both jobs.
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
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        QCOMPARE(Cell(view_->RepairedList, 0, 3), QStringLiteral("Repaired"));
        QCOMPARE(Cell(view_->RepairedList, 1, 3), QStringLiteral("Failed"));
        QCOMPARE(Cell(view_->RepairedList, 2, 3), QStringLiteral("Repaired"));
        for (int row = 0; row < 3; ++row)
            QVERIFY(Checked(view_->RepairedList, row));
        QCOMPARE(prompter_->shown.size(), 2);
        QCOMPARE(prompter_->shown.at(0).text, QStringLiteral("Uable to Open File "));
        QCOMPARE(prompter_->shown.at(0).icon, MessageIcon::Information);
        QCOMPARE(prompter_->shown.at(1).text, QStringLiteral("Tabulon process Completed !!!"));
        QCOMPARE(prompter_->shown.at(1).icon, MessageIcon::Warning);
        QCOMPARE(view_->RepairPaths.value(1), QStringLiteral("FAIL"));
        QCOMPARE(Cell(view_->RepairedList, 0, 4), QStringLiteral("Opens"));
        QCOMPARE(Cell(view_->RepairedList, 1, 4), QString());
        QCOMPARE(Cell(view_->RepairedList, 2, 4), QStringLiteral("Opens"));
        const QString report = view_->RepairReportText(0);
        QVERIFY(report.contains(QStringLiteral("The deep rebuild from the file's own structure stood.")));
        QVERIFY2(report.contains(QStringLiteral("Header Signature: 0000000000000000 -> d0cf11e0a1b11ae1")), qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("DIFAT: 0, 0, 0, 0, 0, 0 -> 0, 116, 245, 374, 503, 632")), qPrintable(report));
        QCOMPARE(view_->ProgressBar->value(), view_->ProgressBar->maximum());  // full, the failure counted too
        QVERIFY(view_->ProgressBar->maximum() > 0);
        prompter_->shown.clear();

        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
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
        QCOMPARE(Cell(view_->SavedList, 0, 3), QStringLiteral("Saved"));
        QCOMPARE(Cell(view_->SavedList, 1, 3), QStringLiteral("Failed"));
        QCOMPARE(Cell(view_->SavedList, 2, 3), QStringLiteral("Saved"));
        QCOMPARE(TakeMessage().text,
                 QStringLiteral("Uable to Save File, Either the file already exit,\nor it is used by some other program"));
        QCOMPARE(prompter_->fileSavedFolders, QStringList{startedWith});
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
        QTest::mouseClick(view_->FinishedButton, Qt::LeftButton);
        QVERIFY(!std::filesystem::exists(copies));
    }

    // A workbook that opens as it is keeps its header: its copy is the workbook, byte for byte.
    void aWorkbookThatOpensKeepsItsHeader()
    {
        const QString a = Workbook("a.xls");
        Add({a});
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        QCOMPARE(Cell(view_->RepairedList, 0, 3), QStringLiteral("Repaired"));
        QCOMPARE(Cell(view_->RepairedList, 0, 4), QStringLiteral("Opens"));
        const QString report = view_->RepairReportText(0);
        QVERIFY2(report.contains(QStringLiteral("The header was kept: the workbook opens as it is, so nothing changed.")),
                 qPrintable(report));
        QCOMPARE(report.count(QStringLiteral(" -> ")), 1);  // the heading's alone: every field kept
        const QString copy = view_->RepairPaths.value(0);
        QVERIFY(copy != a);
        const QByteArray bytes = ReadAll(a);
        QVERIFY(!bytes.isEmpty() && ReadAll(copy) == bytes);
    }

    // A zip archive named .xls is no workbook: it fails, says what it is, and nothing is kept.
    // The columns cut such findings short: every cell's tool tip is its whole text, also once
    // the repair has rewritten it.
    void aFileThatIsNoWorkbookIsRefused()
    {
        const QString zip = WriteFile(QStringLiteral("new.xls"), QByteArray("PK\x03\x04", 4) + QByteArray(4092, '\0'));
        QVERIFY(!zip.isEmpty());
        Add({Workbook("a.xls"), zip});  // the zip on top
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        const QString refusal = QStringLiteral("This is a zip archive (perhaps a newer .xlsx workbook), not a legacy .xls workbook");
        QCOMPARE(prompter_->shown.size(), 2);  // the refusal, then the end of the job
        QCOMPARE(prompter_->shown.at(0).text, zip + QLatin1Char('\n') + refusal);
        QCOMPARE(prompter_->shown.at(0).icon, MessageIcon::Information);
        QCOMPARE(Cell(view_->RepairedList, 0, 3), QStringLiteral("Failed"));
        QCOMPARE(Cell(view_->RepairedList, 0, 4), refusal);
        QCOMPARE(Cell(view_->RepairedList, 1, 3), QStringLiteral("Repaired"));
        QCOMPARE(view_->RepairPaths.value(0), QStringLiteral("FAIL"));
        prompter_->shown.clear();
        const QPoint cell = view_->RepairedList->visualItemRect(view_->RepairedList->item(0, 1)).center();
        QTest::mouseClick(view_->RepairedList->viewport(), Qt::LeftButton, {}, cell);
        QTest::mouseDClick(view_->RepairedList->viewport(), Qt::LeftButton, {}, cell);
        QVERIFY(TakeMessage().text.contains(QStringLiteral("nothing was written")));

        QVERIFY2(QFontMetrics(view_->RepairedList->font()).horizontalAdvance(refusal) > view_->RepairedList->columnWidth(4),
                 "the finding fits its column");
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
        Add(workbooks);
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        prompter_->shown.clear();

        const QString gone = folder_->filePath(QStringLiteral("gone/"));
        QVERIFY(QDir().mkpath(gone));
        view_->SaveFolder = gone;
        QVERIFY(QDir(gone).removeRecursively());
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        const Shown refusal = TakeMessage();
        QVERIFY2(refusal.text.contains(gone) && refusal.text.contains(QStringLiteral("does not exist")), qPrintable(refusal.text));
        QCOMPARE(view_->Page, int{PageRepaired});
        QVERIFY(!QDir(gone).exists());
        QVERIFY(prompter_->fileSavedFolders.isEmpty());

        view_->SaveFolder = folder_->path() + QLatin1Char('/');
        view_->Suffix.clear();
        prompter_->answers = {MessageAnswer::Yes, MessageAnswer::Yes};
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageSaved}, 20000);
        QCOMPARE(Cell(view_->SavedList, 0, 3), QStringLiteral("Failed"));
        QCOMPARE(Cell(view_->SavedList, 1, 3), QStringLiteral("Failed"));
        QCOMPARE(prompter_->shown.size(), 2);
        for (const Shown& shown : prompter_->shown) {
            QCOMPARE(shown.text, QStringLiteral("Uable to Save File, Either the file already exit,\nor it is used by some other program"));
            QCOMPARE(shown.buttons, MessageButtons::Ok);  // no question about replacing
        }
        QVERIFY(prompter_->fileSavedFolders.isEmpty());
        QVERIFY(prompter_->opened.isEmpty());
        for (const QString& workbook : workbooks)
            QVERIFY2(ReadAll(workbook) == damaged, qPrintable(workbook));
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

    // The whole wizard with the keyboard alone: Enter and Space on the focused buttons.
    void keyboardOnly()
    {
        QDir().mkpath(folder_->filePath(QStringLiteral("out")));
        view_->SaveFolder = folder_->filePath(QStringLiteral("out/"));
        view_->Suffix = QStringLiteral("_repaired");
        view_->AddFilesFromOutside({Workbook("a.xls")});
        for (QWidget* control : view_->findChildren<QWidget*>()) {
            if (control->parentWidget() == view_ && control->focusPolicy() != Qt::NoFocus)
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
        }

        view_->NextButton->setFocus();
        QTest::keyClick(view_->NextButton, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        view_->NextButton->setFocus();
        QTest::keyClick(view_->NextButton, Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageSaved}, 20000);
        QVERIFY(QFile::exists(folder_->filePath(QStringLiteral("out/a_repaired.xls"))));
        view_->FinishedButton->setFocus();
        QTest::keyClick(view_->FinishedButton, Qt::Key_Enter);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageAdd}, 5000);
        QCOMPARE(view_->RepairList->rowCount(), 0);
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

        QString title;
        int icon = -1;
        ModalAnswer yes([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box)
                return;
            title = box->windowTitle();
            icon = box->icon();
            if (QAbstractButton* button = box->button(QMessageBox::Yes))
                button->click();
        });
        const MessageAnswer answer = real.ShowMessage(QStringLiteral("Remove?"), MessageIcon::Warning, MessageButtons::YesNo);
        QCOMPARE(title, QStringLiteral("Quorvex Tabulon"));
        QCOMPARE(icon, int{QMessageBox::Warning});
        QCOMPARE(answer, MessageAnswer::Yes);
    }

    // Help and the version are answered where there is no display; a near miss or an unknown
    // option is refused with the usage.
    void commandLineHelpAndVersion()
    {
        const ProgramRun help = RunProgram({QStringLiteral("--help")}, QString());
        QVERIFY2(help.normalExit && help.exitCode == 0, help.err.constData());  // not so when it did not end in time
        QVERIFY(help.out.startsWith("Usage: tabulon [WORKBOOK...]\n"));
        QVERIFY(help.out.contains("--version"));
        for (const QStringList& arguments : {QStringList{"-h"}, QStringList{"--version", "a.xls", "--help"}}) {
            const ProgramRun run = RunProgram(arguments, QString());
            QVERIFY(run.normalExit);
            QCOMPARE(run.exitCode, 0);
            QCOMPARE(run.out, help.out);
        }

        const ProgramRun version = RunProgram({QStringLiteral("--version")}, QString());
        QVERIFY2(version.normalExit && version.exitCode == 0, version.err.constData());
        QCOMPARE(version.out, QByteArray("tabulon " TABULON_VERSION "\n"));

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
    void aRepairedRowOpensItsPreview()
    {
        Add({Workbook("a.xls")});
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        prompter_->shown.clear();
        QStringList seen;
        prompter_->answerDialog = [&](QDialog& dialog) {
            auto* preview = qobject_cast<CPreviewWindow*>(&dialog);
            if (!preview)
                return int{QDialog::Rejected};
            const CSheetModel* model = preview->CurrentModel();
            seen << QStringLiteral("%1 pages, %2 rows, A1 %3, report %4")
                        .arg(preview->Pages->count())
                        .arg(model ? model->rowCount() : -1)
                        .arg(model ? model->index(0, 0).data().toString() : QString())
                        .arg(preview->Report->toPlainText() == view_->RepairReportText(0));
            return int{QDialog::Rejected};
        };
        const QString expected = QStringLiteral("2 pages, 7 rows, A1 mpg, report 1");

        QWidget* viewport = view_->RepairedList->viewport();
        const QPoint cell = view_->RepairedList->visualItemRect(view_->RepairedList->item(0, 1)).center();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, cell);
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, cell);
        QCOMPARE(seen, QStringList{expected});

        frame_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame_, 10000));
        view_->RepairedList->setFocus();
        view_->RepairedList->setCurrentCell(0, 1);
        QTest::keyClick(view_->RepairedList, Qt::Key_Return);
        QCOMPARE(seen, QStringList(2, expected));

        // The menu is answered from inside its own loop, by the keys a user would press, and
        // closed whatever happens.
        QStringList items;
        QTimer answer;
        bool answered = false;
        connect(&answer, &QTimer::timeout, this, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return;
            if (answered) {
                menu->close();
                return;
            }
            answered = true;
            for (const QAction* action : menu->actions())
                items << action->text();
            QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, Qt::Key_Return);
        });
        answer.start(10);
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, cell, viewport->mapToGlobal(cell));
        QApplication::sendEvent(viewport, &menuEvent);
        answer.stop();
        QCOMPARE(items, QStringList{QStringLiteral("&Preview")});
        QCOMPARE(seen, QStringList(3, expected));
        QVERIFY(prompter_->shown.isEmpty());
    }

    // What the salvage mended is shaded in the grid, from the last cell before it to the first
    // after it, and listed above the grid; a stretch of the globals is listed on every sheet.
    void thePreviewMarksWhatTheSalvageMended()
    {
        Add({Workbook("a.xls")});
        QTest::mouseClick(view_->NextButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(view_->Page, int{PageRepaired}, 20000);
        QVERIFY(view_->RepairReports.at(0));

        // The cells of the copy and where their records are. The first stretch begins inside
        // J2's record (row 1, column 9) and ends where E3's (row 2, column 4) begins.
        const QByteArray bytes = ReadAll(view_->RepairPaths.value(0));
        tabulon::MemorySectorFile copy(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        const std::optional<std::vector<std::uint8_t>> stream = tabulon::ReadWorkbookStream(copy);
        QVERIFY(stream);
        const tabulon::WorkbookCells cells = tabulon::ReadWorkbookCells(*stream);
        const auto offsetOf = [&](int row, int column) -> std::uint64_t {
            for (const tabulon::CellValue& cell : cells.sheets.at(0).cells)
                if (cell.row == row && cell.column == column)
                    return cell.offset;
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

        QStringList mended;
        int rows = 0;
        QString listed, tip;
        bool shaded = false, plain = true;
        prompter_->answerDialog = [&](QDialog& dialog) {
            auto* preview = qobject_cast<CPreviewWindow*>(&dialog);
            const CSheetModel* model = preview ? preview->CurrentModel() : nullptr;
            if (!model)
                return int{QDialog::Rejected};
            rows = model->rowCount();
            for (int row = 0; row < rows; ++row)
                if (model->index(row, 0).data(CSheetModel::MendedRole).toBool())
                    mended << QString::number(row + 1);
            listed = preview->MendedList->isVisibleTo(preview) ? preview->MendedList->text() : QString();
            tip = model->headerData(2, Qt::Vertical, Qt::ToolTipRole).toString();
            shaded = model->index(1, 3).data(Qt::BackgroundRole).isValid();
            plain = !model->index(3, 3).data(Qt::BackgroundRole).isValid();
            return int{QDialog::Rejected};
        };
        const QPoint cell = view_->RepairedList->visualItemRect(view_->RepairedList->item(0, 1)).center();
        QTest::mouseClick(view_->RepairedList->viewport(), Qt::LeftButton, {}, cell);
        QTest::mouseDClick(view_->RepairedList->viewport(), Qt::LeftButton, {}, cell);
        QCOMPARE(rows, 8);  // one row past the last cell: what was lost at the end
        QCOMPARE(mended, (QStringList{"2", "3", "7", "8"}));
        QVERIFY(shaded && plain);
        QVERIFY2(listed.contains(QStringLiteral("Rows 2 to 3: ")) && listed.contains(QStringLiteral("Rows 7 to 8: ")) &&
                     listed.contains(QStringLiteral("Workbook globals: 20 bytes at offset 100")),
                 qPrintable(listed));
        QVERIFY2(tip.startsWith(QStringLiteral("Rows 2 to 3: ")) && tip.contains(QStringLiteral("damaged and replaced")), qPrintable(tip));
    }
};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
