// The main window's working surface: a three-step wizard over three file lists.
#pragma once

#include <QRect>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "engine/repair/pipeline/repair.h"

class QCheckBox;
class QProgressBar;
class QTableWidget;

namespace tabulon::ui {

class CBitmapButton;
class Prompter;
class WindowJob;

enum Page : int {
    PageAdd = 0,
    PageRepairing = 1,  // the repair job runs
    PageRepaired = 2,
    PageSaving = 3,     // the save job runs
    PageSaved = 4,
};

class CWizardView : public QWidget {
    Q_OBJECT
public:
    CWizardView(Prompter& prompter, QWidget* parent);
    ~CWizardView() override;

    // Handles the commands routed to the view first; false for those it does not handle.
    bool OnCmdMsg(int id);

    void LayoutControls(int sizeType, int cx, int cy);
    void ShowPage(int page);
    void HideAllControls();
    static bool AnyRowChecked(const QTableWidget& list);
    static void SetAllChecks(QTableWidget& list, bool checked);
    void OnWizardButton(int id);
    void OnRepairFile();
    void OnSaveFile();
    void OnAddFile();
    void OnRemoveSelected();
    void OnRemoveAll();
    void OnSettings();
    bool IsAlreadyInList(const QString& path) const;
    // Workbooks given from outside the Add File dialog (the command line, a drop): added as Add
    // File adds them on the first page, folders giving their .xls files; refused elsewhere as
    // Add File refuses.
    void AddFilesFromOutside(const QStringList& paths);

    void StartRepairJob();
    void StartSaveJob();
    void CollectRepairFiles();
    void CollectSaveFiles();
    // What the repair of row `index` of RepairedList found; shown in its Check column.
    void SetRepairReport(int index, const RepairReport& report);
    // Row `index` of SavedList was saved as `path`.
    void SetSavedFile(int index, const QString& path);
    // Where a save put the copy of each row of RepairedList (empty: not saved). A row saved
    // already is not saved again when the user goes back and saves once more: it keeps "Saved".
    const QStringList& SavedFiles() const { return savedAs_; }
    // The repair report of a row of RepairedList, for people.
    QString RepairReportText(int row) const;
    // The preview of a row of RepairedList: its copy's sheets and its repair report (double
    // click, Enter, or Preview in the row's context menu).
    void ShowPreview(int row);
    void OnRepairProgress(int code, int index);
    // A salvage of repair row `index` that takes a while: its Status says how far it has come.
    void OnSalvaging(int index, int percent);
    void OnSaveProgress(int code, int index);
    // Shows a text above the progress bar at once; the next repaint of that area removes it.
    void DrawStatusText(const QString& text);

    Prompter& Prompts() { return prompter_; }
    // The pause a job makes twice per file; tests set it to zero.
    std::chrono::milliseconds JobPause{300};
    // Where the current repair job keeps its copies (empty when there is none).
    const std::filesystem::path& RepairFolder() const { return repairFolder_; }

    // Whether a repair or save job runs (its pages are the busy states): the window does not
    // close under its worker. (Were the view destroyed anyway, it would first wait for the worker,
    // whose calls from then on do nothing.)
    bool JobRunning() const { return Page == PageRepairing || Page == PageSaving; }

    // Members in their given order.
    QTableWidget* RepairList;
    QTableWidget* RepairedList;
    QTableWidget* SavedList;
    QStringList RepairPaths;
    QStringList SavePaths;
    std::vector<std::optional<RepairReport>> RepairReports;  // by row of RepairedList
    CBitmapButton* NextButton;
    CBitmapButton* PreviousButton;
    CBitmapButton* FinishedButton;
    QCheckBox* SelectAllCheck;
    QRect StatusTextRect;
    QProgressBar* ProgressBar;
    int Page = PageAdd;
    QString Suffix;
    QString SaveFolder;

signals:
    void PageChanged(int page);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct FileProgressTexts {
        int startCode;
        QString started;       // Status while the file is handled
        QString done;          // Status once it succeeded
        QString progressText;  // drawn above the bar, before the file's location
    };
    // A job's per-file codes: the Status column, the progress text and the bar.
    void ShowFileProgress(QTableWidget& list, int code, int index, const FileProgressTexts& texts);
    void AddWorkbooks(const QStringList& paths);
    // Drops the copies of the last repair job once nothing of them can be saved any more.
    void RemoveRepairFolder();
    // Ticks Select All when every row of the list on the page is ticked, clears it otherwise.
    void UpdateSelectAll();
    // Where the check box stands: level with its painted label, which moves with the bottom edge.
    void PlaceSelectAllCheck();
    // The save job's closing words: the File Saved dialog, or that nothing was saved.
    void TellSaveOutcome();

    Prompter& prompter_;
    std::filesystem::path repairFolder_;
    QString saveJobFolder_;  // where the running or last save job puts its files (jobs::SavedFolder)
    int savedCount_ = 0;  // files the running or last save job saved
    QStringList savedAs_;          // by row of RepairedList
    std::vector<int> saveRows_;    // by row of SavedList: its row of RepairedList
    std::vector<bool> savedEarlier_;  // by row of SavedList: saved before this save job
    QString pendingStatusText_;
    std::unique_ptr<WindowJob> job_;  // the running or last job; ends its worker when it goes
};

// What the File Size and Creation Time columns show.
QString FileSizeText(qint64 length);
QString CreationTimeText(const QDateTime& time);

}  // namespace tabulon::ui
