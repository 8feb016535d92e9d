// The preview of a repaired workbook: its sheets' cells as read back from the repaired or
// salvaged copy, what the salvage mended marked in them, the repair report, and export to CSV.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

#include "engine/biff/biff_cells.h"
#include "engine/repair/salvage/salvage.h"

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabBar;
class QTabWidget;
class QTableView;

namespace tabulon::ui {

class Prompter;

// The rows a mended stretch of the workbook stream reaches in its sheet: from the row of the
// last cell whose record lies before the stretch to the row of the first cell whose record lies
// after it (from the first row when no cell comes before; one row past the last cell when none
// comes after, for what was lost at the end).
struct MendedRows {
    MendedRegion region;
    int firstRow = 0, lastRow = 0;
};
MendedRows RowsOfRegion(const SheetCells& sheet, const MendedRegion& region);

// One sheet's cells as a read-only table with spreadsheet headings (A, B, ... and 1, 2, ...).
// A sparse lookup: the cells in reading order, searched by halves, so that a sheet of 65,536
// rows costs no more than the cells it has.
class CSheetModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Role {
        ValueRole = Qt::UserRole,  // as stored: double, QString, bool, or the error code as int
        DateRole,                  // bool: a number its format shows as a date or time
        MendedRole,                // bool: the row lies in a stretch the salvage mended
    };

    CSheetModel(std::shared_ptr<const WorkbookCells> workbook, std::size_t sheet, std::vector<MendedRows> mended,
                QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The cell at a place, or null for an empty one.
    const CellValue* CellAt(int row, int column) const;
    const SheetCells& Sheet() const { return sheet_; }
    const std::vector<MendedRows>& Mended() const { return mended_; }

private:
    const MendedRows* MendedAt(int row) const;

    std::shared_ptr<const WorkbookCells> workbook_;
    const SheetCells& sheet_;
    std::vector<std::uint32_t> order_;  // of sheet_.cells, by row and column
    std::vector<MendedRows> mended_;
    int rows_ = 0, columns_ = 0;
};

// What the preview shows for one row of the repaired list.
struct PreviewSource {
    QString workbookName;  // the workbook's file name: the caption, and the CSV files' names
    QString copy;          // the repaired or salvaged copy
    QString reportText;    // the repair report, for its page
    std::vector<MendedRegion> regions;  // what the salvage mended in the copy's workbook stream
    QString exportFolder;  // where choosing the folder for CSV files begins
};

// A modal window of two pages: Sheets (a tab for each sheet, the mended stretches counted above
// the grid, listed one by one a click away, and shaded in the grid) and Report. When no cells
// can be read from the copy, the Sheets page says why. Export CSV... writes each sheet as
// WORKBOOK-SHEET.csv into a folder the user chooses, asking before it replaces files. The
// window opens no larger than the screen it opens on leaves free, however much was mended.
class CPreviewWindow final : public QDialog {
    Q_OBJECT
public:
    CPreviewWindow(Prompter& prompter, PreviewSource source, QWidget* parent);
    ~CPreviewWindow() override;

    // The sheet tab showing in the grid: its model (made when the tab is first shown).
    CSheetModel* CurrentModel() const;
    // Writes the CSV files into a folder chosen with ChooseFolder; tells the outcome.
    void ExportCsv();

    // Asks for the folder to export into; tests answer in its place. Empty: cancelled.
    std::function<QString(QWidget* owner, const QString& startFolder)> ChooseFolder;

    QTabWidget* Pages;
    QWidget* SheetsPage;
    QTabBar* SheetTabs;
    QLabel* MendedList;       // how much the salvage mended in the sheet showing, and in the globals
    QPushButton* MendedDetailsButton;  // shows or hides MendedDetails
    QListWidget* MendedDetails;        // each of those stretches, on a line of its own
    QTableView* Grid;
    QLabel* Notice;           // why there are no cells to show
    QPlainTextEdit* Report;
    QPushButton* ExportButton;
    QPushButton* CloseButton;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowSheet(int tab);
    void MakeMendedParts();
    // Shrinks the window, and moves it, so that it lies within the free part of its screen.
    void FitScreen();

    Prompter& prompter_;
    PreviewSource source_;
    std::shared_ptr<const WorkbookCells> cells_;
    std::vector<std::size_t> sheets_;                 // for each tab, its sheet
    std::vector<std::unique_ptr<CSheetModel>> models_;  // for each tab, once shown
};

}  // namespace tabulon::ui
