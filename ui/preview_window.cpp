#include "preview_window.h"

#include <QBrush>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "engine/export/cell_text.h"
#include "engine/export/csv_export.h"
#include "engine/io/file_moves.h"
#include "engine/io/os_file.h"
#include "engine/repair/pipeline/recovered_cells.h"
#include "words/report_text.h"
#include "prompter.h"

namespace tabulon::ui {
namespace {

namespace fs = std::filesystem;

constexpr int kLastRow = 65535;  // of a BIFF8 sheet

const QString kCopyUnreadable = QStringLiteral("The repaired copy cannot be read: %1");
const QString kEncrypted = QStringLiteral("This workbook is encrypted: its cells cannot be read without the password.");
const QString kNoCells = QStringLiteral("No cells can be read from the repaired copy.");
const QString kNoWorksheets = QStringLiteral("This workbook has no worksheets, only charts or modules.");
const QString kReplaceFiles = QStringLiteral("These files are in %1 already:\n%2\n\nReplace them?");
const QString kExported = QStringLiteral("%1 CSV file(s) written into %2");
const QString kExportFailed = QStringLiteral("The CSV files could not be written: %1\nNo file was written.");

const QColor kReplacedShade(255, 236, 179);
const QColor kLostShade(255, 205, 205);

QString Utf8(const std::string& text)
{
    return QString::fromStdString(text);
}

QString RowsText(const MendedRows& rows)
{
    return rows.firstRow == rows.lastRow ? QStringLiteral("Row %1").arg(rows.firstRow + 1)
                                         : QStringLiteral("Rows %1 to %2").arg(rows.firstRow + 1).arg(rows.lastRow + 1);
}

// What happened to a stretch, then its bytes and place: "data damaged and replaced (100 bytes at
// offset 4546 of the workbook stream)".
QString StretchText(const MendedRegion& region)
{
    return Utf8(DescribeMendedStretch(region));
}

QString MendedText(const MendedRows& rows)
{
    return RowsText(rows) + QStringLiteral(": ") + StretchText(rows.region) + QStringLiteral("; cells there may be missing.");
}

QString GlobalsText(const MendedRegion& region)
{
    return QStringLiteral("Workbook globals: ") + StretchText(region) + QStringLiteral("; texts the sheets share may be missing.");
}

// Rounded from 1000 bytes up: 8228 bytes are "8.2 kB".
QString BytesText(std::uint64_t bytes)
{
    return bytes == 1 ? QStringLiteral("1 byte") : QLocale::c().formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeSIFormat);
}

// How much of one place the salvage mended, by kind: a line however many stretches there are.
struct MendedTally {
    int replaced = 0, lost = 0;
    std::uint64_t replacedBytes = 0, lostBytes = 0;

    void Add(const MendedRegion& region)
    {
        const bool isLost = region.kind == MendedRegion::Kind::Lost;
        ++(isLost ? lost : replaced);
        (isLost ? lostBytes : replacedBytes) += region.length;
    }
    bool Empty() const { return replaced == 0 && lost == 0; }
    // "PLACE: 3 stretches replaced (1.2 kB), 1 lost (300 bytes); CONSEQUENCE"
    QString Text(const QString& place, const QString& consequence) const
    {
        QStringList parts;
        const auto stretches = [](int count) {
            return count == 1 ? QStringLiteral("1 stretch") : QStringLiteral("%1 stretches").arg(count);
        };
        if (replaced > 0)
            parts << QStringLiteral("%1 replaced (%2)").arg(stretches(replaced), BytesText(replacedBytes));
        if (lost > 0)
            parts << QStringLiteral("%1 lost (%2)").arg(parts.isEmpty() ? stretches(lost) : QString::number(lost), BytesText(lostBytes));
        return place + QStringLiteral(": ") + parts.join(QStringLiteral(", ")) + QStringLiteral("; ") + consequence;
    }
};

QString SheetTitle(const SheetCells& sheet, std::size_t index)
{
    return sheet.name.empty() ? QStringLiteral("Sheet %1").arg(index + 1) : Utf8(sheet.name);
}

}  // namespace

MendedRows RowsOfRegion(const SheetCells& sheet, const MendedRegion& region)
{
    const std::uint64_t end = region.offset + region.length;
    const CellValue* before = nullptr;
    const CellValue* after = nullptr;
    int lastRow = -1;
    for (const CellValue& cell : sheet.cells) {
        lastRow = std::max<int>(lastRow, cell.row);
        if (cell.offset < region.offset) {
            if (!before || cell.offset >= before->offset)
                before = &cell;
        } else if (cell.offset >= end && (!after || cell.offset < after->offset)) {
            after = &cell;
        }
    }
    MendedRows rows{region, before ? before->row : 0, after ? after->row : std::min(lastRow + 1, kLastRow)};
    if (rows.lastRow < rows.firstRow)
        std::swap(rows.firstRow, rows.lastRow);
    return rows;
}

// ---------------------------------------------------------------------------------------

CSheetModel::CSheetModel(std::shared_ptr<const WorkbookCells> workbook, std::size_t sheet, std::vector<MendedRows> mended,
                         QObject* parent)
    : QAbstractTableModel(parent), workbook_(std::move(workbook)), sheet_(workbook_->sheets.at(sheet)),
      order_(CellsInReadingOrder(sheet_)), mended_(std::move(mended))
{
    for (const std::uint32_t i : order_)
        columns_ = std::max(columns_, sheet_.cells[i].column + 1);
    if (!order_.empty())
        rows_ = sheet_.cells[order_.back()].row + 1;
    for (const MendedRows& rows : mended_)
        rows_ = std::max(rows_, rows.lastRow + 1);
    if (rows_ > 0)
        columns_ = std::max(columns_, 1);
}

int CSheetModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rows_;
}

int CSheetModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : columns_;
}

const CellValue* CSheetModel::CellAt(int row, int column) const
{
    const auto place = std::pair{row, column};
    const auto found = std::lower_bound(order_.begin(), order_.end(), place, [this](std::uint32_t i, const std::pair<int, int>& p) {
        return std::pair<int, int>{sheet_.cells[i].row, sheet_.cells[i].column} < p;
    });
    if (found == order_.end() || sheet_.cells[*found].row != row || sheet_.cells[*found].column != column)
        return nullptr;
    return &sheet_.cells[*found];
}

const MendedRows* CSheetModel::MendedAt(int row) const
{
    for (const MendedRows& rows : mended_) {
        if (row >= rows.firstRow && row <= rows.lastRow)
            return &rows;
    }
    return nullptr;
}

QVariant CSheetModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const MendedRows* mended = MendedAt(index.row());
    switch (role) {
    case Qt::BackgroundRole:
        if (mended)
            return QBrush(mended->region.kind == MendedRegion::Kind::Lost ? kLostShade : kReplacedShade);
        return {};
    case Qt::ToolTipRole:
        return mended ? MendedText(*mended) : QVariant();
    case MendedRole:
        return mended != nullptr;
    default: break;
    }

    const CellValue* cell = CellAt(index.row(), index.column());
    if (!cell)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return Utf8(CellText(*workbook_, *cell));
    case Qt::TextAlignmentRole:
        // As spreadsheets align them: numbers and dates right, truth values and errors centred.
        switch (cell->kind) {
        case CellKind::Number: return int{Qt::AlignRight | Qt::AlignVCenter};
        case CellKind::Text: return int{Qt::AlignLeft | Qt::AlignVCenter};
        case CellKind::Boolean:
        case CellKind::Error: return int{Qt::AlignHCenter | Qt::AlignVCenter};
        }
        return {};
    case ValueRole:
        switch (cell->kind) {
        case CellKind::Number: return cell->number;
        case CellKind::Text: return Utf8(cell->text);
        case CellKind::Boolean: return cell->code != 0;
        case CellKind::Error: return int{cell->code};
        }
        return {};
    case DateRole:
        return IsDate(*workbook_, *cell);
    default:
        return {};
    }
}

QVariant CSheetModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal)
        return role == Qt::DisplayRole ? Utf8(ColumnName(section)) : QVariant();
    const MendedRows* mended = MendedAt(section);
    switch (role) {
    case Qt::DisplayRole: return section + 1;
    case Qt::BackgroundRole:
        return mended ? QBrush(mended->region.kind == MendedRegion::Kind::Lost ? kLostShade : kReplacedShade) : QVariant();
    case Qt::ToolTipRole: return mended ? MendedText(*mended) : QVariant();
    default: return {};
    }
}

// ---------------------------------------------------------------------------------------

CPreviewWindow::CPreviewWindow(Prompter& prompter, PreviewSource source, QWidget* parent)
    : QDialog(parent), prompter_(prompter), source_(std::move(source))
{
    setObjectName(QStringLiteral("PreviewWindow"));
    setWindowTitle(source_.workbookName + QStringLiteral(" - Preview - ") + kCaption);
    setAccessibleName(QStringLiteral("Preview of ") + source_.workbookName);
    setSizeGripEnabled(true);
    resize(960, 640);

    Pages = new QTabWidget(this);
    Pages->setAccessibleName(QStringLiteral("Preview pages"));
    Report = new QPlainTextEdit(source_.reportText);
    Report->setReadOnly(true);
    Report->setLineWrapMode(QPlainTextEdit::NoWrap);
    Report->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    Report->setAccessibleName(QStringLiteral("Repair report"));

    ExportButton = new QPushButton(QStringLiteral("&Export CSV..."), this);
    ExportButton->setAccessibleName(QStringLiteral("Export CSV"));
    ExportButton->setAccessibleDescription(QStringLiteral("Write each sheet as a CSV file into a folder you choose"));
    ExportButton->setAutoDefault(false);
    ExportButton->setEnabled(false);
    CloseButton = new QPushButton(QStringLiteral("Close"), this);
    CloseButton->setDefault(true);
    connect(ExportButton, &QPushButton::clicked, this, &CPreviewWindow::ExportCsv);
    connect(CloseButton, &QPushButton::clicked, this, &QDialog::accept);

    SheetsPage = new QWidget;
    auto* sheetsLayout = new QVBoxLayout(SheetsPage);
    SheetTabs = new QTabBar;
    SheetTabs->setAccessibleName(QStringLiteral("Sheets"));
    SheetTabs->setExpanding(false);
    SheetTabs->setUsesScrollButtons(true);
    SheetTabs->setDocumentMode(true);
    MakeMendedParts();
    Grid = new QTableView;
    Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid->setWordWrap(false);
    Grid->setTabKeyNavigation(false);  // Tab leaves the grid, as in the rest of the window
    Grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    Notice = new QLabel;
    Notice->setWordWrap(true);
    Notice->setAlignment(Qt::AlignCenter);
    Notice->hide();
    sheetsLayout->addWidget(SheetTabs);
    auto* mendedLayout = new QHBoxLayout;
    mendedLayout->addWidget(MendedList, 1);
    mendedLayout->addWidget(MendedDetailsButton, 0, Qt::AlignTop);
    sheetsLayout->addLayout(mendedLayout);
    sheetsLayout->addWidget(MendedDetails);
    sheetsLayout->addWidget(Grid, 1);
    sheetsLayout->addWidget(Notice, 1);
    Pages->addTab(SheetsPage, QStringLiteral("&Sheets"));

    QString notice;
    try {
        OsFile file = OsFile::Open(PathFromUtf8(source_.copy.toStdString()), OsFile::Access::Read);
        RecoveredCells recovered = RecoverCells(file);
        if (recovered.cells.encrypted)
            notice = kEncrypted;
        else if (recovered.from == CellsFrom::Nothing)
            notice = kNoCells;
        else
            cells_ = std::make_shared<const WorkbookCells>(std::move(recovered.cells));
    } catch (const std::system_error& error) {
        notice = kCopyUnreadable.arg(Utf8(error.code().message()));
    }
    if (cells_) {
        for (std::size_t i = 0; i < cells_->sheets.size(); ++i) {
            if (SheetHoldsCells(cells_->sheets[i]))
                sheets_.push_back(i);
        }
        if (sheets_.empty())
            notice = kNoWorksheets;
    }
    models_.resize(sheets_.size());
    for (const std::size_t sheet : sheets_) {
        const int tab = SheetTabs->addTab(SheetTitle(cells_->sheets[sheet], sheet));
        const bool mended = std::any_of(source_.regions.begin(), source_.regions.end(), [sheet](const MendedRegion& r) {
            return r.sheet == static_cast<int>(sheet);
        });
        if (mended) {
            SheetTabs->setTabTextColor(tab, QColor(176, 0, 0));
            SheetTabs->setTabToolTip(tab, QStringLiteral("The salvage mended part of this sheet"));
        }
    }
    // The bar measured itself while it had no tabs, before the window was shown: told that
    // it has them now, it takes the height they need rather than none.
    SheetTabs->updateGeometry();
    if (!notice.isEmpty()) {
        Notice->setText(notice);
        Notice->show();
        Grid->hide();
        SheetTabs->hide();
    } else {
        ExportButton->setEnabled(true);
        connect(SheetTabs, &QTabBar::currentChanged, this, &CPreviewWindow::ShowSheet);
        ShowSheet(0);
    }

    // Spreadsheet keys for the next and the previous sheet.
    auto* next = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageDown), this);
    connect(next, &QShortcut::activated, this, [this] { SheetTabs->setCurrentIndex(SheetTabs->currentIndex() + 1); });
    auto* previous = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageUp), this);
    connect(previous, &QShortcut::activated, this,
            [this] { SheetTabs->setCurrentIndex(std::max(0, SheetTabs->currentIndex() - 1)); });
    Pages->addTab(Report, QStringLiteral("&Report"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ExportButton);
    buttons->addStretch(1);
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Pages, 1);
    layout->addLayout(buttons);
    setTabOrder(Pages, SheetTabs);
    setTabOrder(SheetTabs, MendedList);
    setTabOrder(MendedList, MendedDetailsButton);
    setTabOrder(MendedDetailsButton, MendedDetails);
    setTabOrder(MendedDetails, Grid);
    setTabOrder(Grid, Report);
    setTabOrder(Report, ExportButton);
    setTabOrder(ExportButton, CloseButton);

    ChooseFolder = [](QWidget* owner, const QString& startFolder) {
        return QFileDialog::getExistingDirectory(owner, QStringLiteral("Export CSV into"), startFolder);
    };
    FitScreen();  // the screen of its parent, or the main one; again once shown, where it opened
}

// What was mended above the grid: the counts, and behind Show details each stretch on a line
// of its own, in a list a few lines high.
void CPreviewWindow::MakeMendedParts()
{
    MendedList = new QLabel;
    MendedList->setWordWrap(true);
    MendedList->setTextFormat(Qt::PlainText);
    MendedList->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    MendedList->setFocusPolicy(Qt::StrongFocus);  // read by Tab, as the grid is
    MendedList->setAccessibleName(QStringLiteral("Mended parts of the sheet"));
    MendedList->hide();
    MendedDetailsButton = new QPushButton(QStringLiteral("Show &details"));
    MendedDetailsButton->setCheckable(true);
    MendedDetailsButton->setAutoDefault(false);
    MendedDetailsButton->setAccessibleName(QStringLiteral("Details of the mended parts"));
    MendedDetailsButton->setAccessibleDescription(QStringLiteral("List each mended stretch on a line of its own"));
    MendedDetailsButton->hide();
    MendedDetails = new QListWidget;
    MendedDetails->setAccessibleName(QStringLiteral("Each mended stretch"));
    MendedDetails->setUniformItemSizes(true);  // hundreds of lines are measured once
    MendedDetails->setSelectionMode(QAbstractItemView::SingleSelection);
    // A few lines high whatever it holds: it scrolls, and the grid keeps the room.
    MendedDetails->setFixedHeight(MendedDetails->fontMetrics().height() * 8 + 2 * MendedDetails->frameWidth() + 4);
    MendedDetails->hide();
    connect(MendedDetailsButton, &QPushButton::toggled, this, [this](bool shown) {
        MendedDetailsButton->setText(shown ? QStringLiteral("Hide &details") : QStringLiteral("Show &details"));
        MendedDetails->setVisible(shown && MendedDetails->count() > 0);
    });
}

CPreviewWindow::~CPreviewWindow()
{
    Grid->setModel(nullptr);  // the models go before the view
}

CSheetModel* CPreviewWindow::CurrentModel() const
{
    if (SheetTabs->currentIndex() < 0)
        return nullptr;
    return models_.at(static_cast<std::size_t>(SheetTabs->currentIndex())).get();
}

void CPreviewWindow::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FitScreen();
}

void CPreviewWindow::FitScreen()
{
    const QWidget* owner = isVisible() || !parentWidget() ? this : parentWidget()->window();
    const QScreen* on = owner->screen();
    if (!on)
        return;
    const QRect free = on->availableGeometry();
    // The frame (title bar, borders) is known once the window is shown; until then it counts as none.
    const QSize frame = isVisible() ? frameGeometry().size() - size() : QSize(0, 0);
    const QSize most = (free.size() - frame).expandedTo(minimumSize());
    if (width() > most.width() || height() > most.height())
        resize(size().boundedTo(most));
    if (!isVisible())
        return;
    const QRect outer = frameGeometry();
    const int left = std::clamp(outer.left(), free.left(), std::max(free.left(), free.right() + 1 - outer.width()));
    const int top = std::clamp(outer.top(), free.top(), std::max(free.top(), free.bottom() + 1 - outer.height()));
    if (left != outer.left() || top != outer.top())
        move(left, top);
}

void CPreviewWindow::ShowSheet(int tab)
{
    if (tab < 0 || static_cast<std::size_t>(tab) >= sheets_.size())
        return;
    const std::size_t sheet = sheets_[static_cast<std::size_t>(tab)];
    std::unique_ptr<CSheetModel>& model = models_[static_cast<std::size_t>(tab)];
    if (!model) {
        std::vector<MendedRows> mended;
        for (const MendedRegion& region : source_.regions) {
            if (region.sheet == static_cast<int>(sheet))
                mended.push_back(RowsOfRegion(cells_->sheets[sheet], region));
        }
        model = std::make_unique<CSheetModel>(cells_, sheet, std::move(mended));
    }
    // Counted above the grid, a line for the sheet and one for the globals, whose stretches touch
    // every sheet (the texts they share may be gone); each stretch is in the details.
    QStringList details;
    MendedTally inSheet, inGlobals;
    for (const MendedRows& rows : model->Mended()) {
        inSheet.Add(rows.region);
        details << MendedText(rows);
    }
    for (const MendedRegion& region : source_.regions) {
        if (region.sheet < 0 || static_cast<std::size_t>(region.sheet) >= cells_->sheets.size()) {
            inGlobals.Add(region);
            details << GlobalsText(region);
        }
    }
    QStringList summary;
    if (!inSheet.Empty())
        summary << inSheet.Text(SheetTabs->tabText(tab), QStringLiteral("cells there may be missing."));
    if (!inGlobals.Empty())
        summary << inGlobals.Text(QStringLiteral("Workbook globals"), QStringLiteral("texts the sheets share may be missing."));
    MendedList->setText(summary.join(QLatin1Char('\n')));
    MendedList->setVisible(!summary.isEmpty());
    MendedDetails->clear();
    MendedDetails->addItems(details);
    MendedDetailsButton->setVisible(!details.isEmpty());
    MendedDetails->setVisible(MendedDetailsButton->isChecked() && !details.isEmpty());

    QItemSelectionModel* old = Grid->selectionModel();
    Grid->setModel(model.get());
    delete old;
    Grid->setAccessibleName(QStringLiteral("Cells of sheet ") + SheetTabs->tabText(tab));
}

void CPreviewWindow::ExportCsv()
{
    if (!cells_)
        return;
    const QString folder = ChooseFolder(this, source_.exportFolder);
    if (folder.isEmpty())
        return;
    const fs::path directory = PathFromUtf8(folder.toStdString());
    const std::vector<CsvFile> names = CsvFileNames(*cells_, source_.workbookName.toStdString());
    QStringList existing;
    for (const CsvFile& name : names) {
        std::error_code error;
        if (fs::exists(fs::symlink_status(directory / PathFromUtf8(name.name), error)))
            existing << Utf8(name.name);
    }
    if (!existing.isEmpty() &&
        prompter_.ShowMessage(kReplaceFiles.arg(folder, existing.join(QLatin1Char('\n'))), MessageIcon::Warning,
                              MessageButtons::YesNo) != MessageAnswer::Yes)
        return;

    // Every file is written in full beside its name before the first takes its name; when one
    // cannot take its name, those named before it are removed again.
    std::vector<std::unique_ptr<FileBeside>> files;
    std::size_t named = 0;
    try {
        OsFile copy = OsFile::Open(PathFromUtf8(source_.copy.toStdString()), OsFile::Access::Read);
        for (const CsvFile& name : names) {
            files.push_back(std::make_unique<FileBeside>(directory / PathFromUtf8(name.name)));
            files.back()->File().CopyPermissionsFrom(copy);  // the cells are as private as the workbook
            const std::string csv = SheetCsv(*cells_, cells_->sheets[name.sheet]);
            files.back()->File().WriteAll(std::span(reinterpret_cast<const std::uint8_t*>(csv.data()), csv.size()));
        }
        for (; named < files.size(); ++named)
            files[named]->Name(!existing.isEmpty());
    } catch (const std::system_error& error) {
        std::error_code ignored;
        for (std::size_t k = 0; k < named; ++k)
            fs::remove(directory / PathFromUtf8(names[k].name), ignored);
        prompter_.ShowMessage(kExportFailed.arg(Utf8(error.code().message())), MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    prompter_.ShowMessage(kExported.arg(names.size()).arg(folder), MessageIcon::Information, MessageButtons::Ok);
}

}  // namespace tabulon::ui
