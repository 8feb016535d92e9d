#include "wizard_view.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QStandardPaths>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLocale>
#include <QProgressBar>
#include <QShortcut>
#include <QTableWidget>
#include <QThread>

#include <system_error>

#include "bitmap_button.h"
#include "commands.h"
#include "engine/base/byte_order.h"
#include "engine/io/os_file.h"
#include "words/report_text.h"
#include "file_saved_dialog.h"
#include "jobs/job.h"
#include "painting.h"
#include "preview_window.h"
#include "prompter.h"
#include "res/artwork.h"
#include "ui/settings/settings_dialog.h"
#include "ui/settings/settings_store.h"
#include "view_job_host.h"

namespace tabulon::ui {
namespace {

constexpr int kListControlId = 1;

// The texts of the wizard, as the user reads them.
const QString kAddFilesFirst = QStringLiteral("Add file(s) in the list to repair");
const QString kSelectFilesFirst = QStringLiteral("Select file(s) in the list to repair");
const QString kSavedListEmpty = QStringLiteral("Saved List is empty ");
const QString kSaveOrGoBack =
    QStringLiteral("Please save the repaired file\nor press previous button to add \nmore files and the press repair");
const QString kPressFinish = QStringLiteral("Please press finish to start again");
const QString kJobInProgress = QStringLiteral("Repair or Save is in progress. Please wait for it to end");
const QString kCannotAddToRepaired = QStringLiteral("File(s) can not be added to repaired file(s) list");
const QString kCannotAddToSaved = QStringLiteral("File(s) can not be  added to Saved file(s) list ");
const QString kCannotRemoveFromRepaired = QStringLiteral("File(s) can not be  removed from repaired file(s) list ");
const QString kCannotRemoveFromSaved = QStringLiteral("File(s) can not be  removed from Saved file(s) list ");
const QString kCannotRemoveAll = QStringLiteral("You Cannot DeleteFile Form Save or Saved List");
const QString kAlreadyAdded = QStringLiteral("This file has already been added      ");
const QString kNothingToRemove = QStringLiteral("No file(s) in the list to remove");
const QString kSelectToRemove = QStringLiteral("Please select a file to remove");
const QString kConfirmRemove = QStringLiteral("Do you want to remove the selected\nfiles from the list");
const QString kNothingToDelete = QStringLiteral("There is no files in the list to delete");
const QString kRepairing = QStringLiteral("Reparing....    ");
const QString kRepairEnd = QStringLiteral("Finished Reparing Files....") + QString(146, QLatin1Char(' '));
const QString kSaving = QStringLiteral("Saving....    ");
const QString kSaveEnd = QStringLiteral("Finished Saving Files....") + QString(188, QLatin1Char(' '));
const QString kRepairCompleted = QStringLiteral("Tabulon process Completed !!!");
const QString kNoSuchSaveFolder =
    QStringLiteral("The folder for saving repaired files does not exist:\n%1\nChoose another one in Settings.");
const QString kCannotWriteSaveFolder =
    QStringLiteral("The folder for saving repaired files cannot be written into (%2):\n%1\nChoose another one in Settings.");

std::string Utf8(const QString& text)
{
    return text.toStdString();
}

std::vector<std::string> Utf8(const QStringList& texts)
{
    std::vector<std::string> converted;
    for (const QString& text : texts)
        converted.push_back(text.toStdString());
    return converted;
}

const QColor kTextBackground(240, 240, 70);
constexpr int kCaptionPixelSize = 17;  // the page instruction and "Select All "
constexpr int kSelectAllTop = 57;      // the label's room begins so far above the bottom edge

// A header field's value as people read it: numbers, hexadecimal bytes, or the leading
// entries of the allocation-table list.
QString PageInstruction(int page)
{
    switch (page) {
    case PageAdd: return QStringLiteral("Press \"Add file\" button to add file in list. Then press next to repair.");
    case PageRepaired:
        return QStringLiteral("Select file from repaired file list. Then press next to save repaired file.");
    case PageSaved: return QStringLiteral("Press Finish to start again ");
    default: return {};  // a job is running
    }
}

// The product name in green script, composed off screen. Drawn over the background as it is:
// merged with an inverting raster operation, the green letters would come out nearly white.
QImage ProductNameImage()
{
    QImage image(515, 65, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QFont font(QStringLiteral("Monotype Corsiva"));
    font.setPixelSize(65);
    font.setWeight(QFont::Normal);
    painter.setFont(font);
    painter.setPen(QColor(0, 128, 0));
    painter.drawText(QRect(0, 0, 515, 65), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Quorvex Tabulon"));
    return image;
}

// The folder a save into the folder text `folder` puts its files in, as people read it.
QString SavedFolderText(const QString& folder)
{
    return QDir::toNativeSeparators(QString::fromStdString(jobs::SavedFolder(Utf8(folder))));
}

// The Status of a repaired row, by what the repair came to. The Check column says why.
QString RepairedStatus(RepairOutcome outcome)
{
    switch (outcome) {
    case RepairOutcome::Kept: return QStringLiteral("Kept");
    case RepairOutcome::Rebuilt:
    case RepairOutcome::Realigned:
    case RepairOutcome::SalvagedComplete: return QStringLiteral("Repaired");
    case RepairOutcome::SalvagedPartial: return QStringLiteral("Partly recovered");
    case RepairOutcome::RebuiltDamageRemains:
    case RepairOutcome::RebuiltUnreadable:
    case RepairOutcome::RealignedDamageRemains:
    case RepairOutcome::Failed: return QStringLiteral("Still damaged");
    case RepairOutcome::Refused: break;  // no copy: the row failed
    }
    return QStringLiteral("Failed");
}

void SetStatus(QTableWidget& list, int row, const QString& status)
{
    if (QTableWidgetItem* item = list.item(row, 3))
        item->setText(status);
}

void Step(QProgressBar& bar)
{
    bar.setValue(bar.value() + 1);
}

QTableWidget* MakeList(QWidget* parent, const char* name, const QString& lastColumn, bool checkBoxes, bool visible,
                       bool checkColumn)
{
    auto* list = new QTableWidget(0, checkColumn ? 5 : 4, parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setProperty("controlId", kListControlId);
    list->setProperty("hasCheckBoxes", checkBoxes);
    list->setHorizontalHeaderLabels({QStringLiteral("File Name"), QStringLiteral("File Location"),
                                     QStringLiteral("File Size"), lastColumn, QStringLiteral("Check")});
    list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list->horizontalHeader()->setStretchLastSection(false);
    // Name, size, date and status are as wide as their texts; the location and the Check column
    // (whether the repaired workbook opens, or what is wrong) share the rest of the list's width,
    // so that nothing needs scrolling sideways. A text cut short is whole in its tool tip.
    for (int column = 0; column < list->columnCount(); ++column) {
        const bool shares = column == 1 || column == 4;
        list->horizontalHeader()->setSectionResizeMode(column, shares ? QHeaderView::Stretch : QHeaderView::ResizeToContents);
    }
    list->verticalHeader()->hide();
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setWordWrap(false);
    list->setAccessibleName(QString::fromLatin1(name));
    list->setVisible(visible);
    return list;
}

// Inserts a row at the top with the given texts; its check box, where the list has them, is set.
void InsertRowAtTop(QTableWidget& list, const QStringList& texts, bool checked)
{
    // The columns are narrower than many texts (long locations, repair findings): each cell's
    // tool tip is its whole text, whatever text the cell is given later, unless the cell has a
    // tip of its own that says more (where a row was saved).
    class TextTipItem final : public QTableWidgetItem {
    public:
        using QTableWidgetItem::QTableWidgetItem;
        QVariant data(int role) const override
        {
            if (role == Qt::ToolTipRole && !QTableWidgetItem::data(Qt::ToolTipRole).isValid())
                return QTableWidgetItem::data(Qt::DisplayRole);
            return QTableWidgetItem::data(role);
        }
        QTableWidgetItem* clone() const override { return new TextTipItem(*this); }
    };
    list.insertRow(0);
    for (int column = 0; column < list.columnCount(); ++column) {
        auto* item = new TextTipItem(column < texts.size() ? texts[column] : QString());
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        if (column == 0 && list.property("hasCheckBoxes").toBool()) {
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
        }
        list.setItem(0, column, item);
    }
}

bool RowChecked(const QTableWidget& list, int row)
{
    const QTableWidgetItem* item = list.item(row, 0);
    return item && item->checkState() == Qt::Checked;
}

QString Cell(const QTableWidget& list, int row, int column)
{
    const QTableWidgetItem* item = list.item(row, column);
    return item ? item->text() : QString();
}

}  // namespace

QString FileSizeText(qint64 length)
{
    return QString::number(length) + QStringLiteral("  bytes");
}

QString CreationTimeText(const QDateTime& time)
{
    return QLocale::c().toString(time.toLocalTime(), QStringLiteral("ddd, MMM dd, yyyy"));
}

CWizardView::CWizardView(Prompter& prompter, QWidget* parent) : QWidget(parent), prompter_(prompter)
{
    setObjectName(QStringLiteral("WizardView"));
    RepairList = MakeList(this, "RepairList", QStringLiteral("Creation Time"), true, true, false);
    RepairList->setAccessibleName(QStringLiteral("Workbooks to repair"));
    RepairedList = MakeList(this, "RepairedList", QStringLiteral("Status"), true, false, true);
    SavedList = MakeList(this, "SavedList", QStringLiteral("Status"), false, false, true);
    RepairedList->setAccessibleName(QStringLiteral("Repaired workbooks"));
    SavedList->setAccessibleName(QStringLiteral("Saved workbooks"));
    connect(RepairedList, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { ShowPreview(row); });
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* enter = new QShortcut(QKeySequence(key), RepairedList, nullptr, nullptr, Qt::WidgetShortcut);
        connect(enter, &QShortcut::activated, this, [this] { ShowPreview(RepairedList->currentRow()); });
    }
    RepairedList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(RepairedList, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = RepairedList->indexAt(at);
        const int row = index.isValid() ? index.row() : RepairedList->currentRow();
        if (row < 0)
            return;
        QMenu menu(RepairedList);
        menu.setAccessibleName(QStringLiteral("Repaired workbook"));
        const QAction* preview = menu.addAction(QStringLiteral("&Preview"));
        if (menu.exec(RepairedList->viewport()->mapToGlobal(at)) == preview)
            ShowPreview(row);
    });

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setProperty("controlId", kListControlId);
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 0);
    ProgressBar->setAccessibleName(QStringLiteral("Progress"));
    ProgressBar->hide();

    auto makeButton = [this](const QString& text, WizardButtonImage image, int id, bool visible) {
        auto* button = new CBitmapButton(text, WizardButtonPixmap(image, false), WizardButtonPixmap(image, true), this);
        button->setObjectName(text + QStringLiteral("Button"));
        button->setProperty("controlId", id);
        button->setVisible(visible);
        connect(button, &QAbstractButton::clicked, this, [this, id] { OnWizardButton(id); });
        return button;
    };
    NextButton = makeButton(QStringLiteral("Next"), WizardButtonImage::Next, kIdNextButton, true);
    PreviousButton = makeButton(QStringLiteral("Previous"), WizardButtonImage::Previous, kIdPreviousButton, false);
    FinishedButton = makeButton(QStringLiteral("Finished"), WizardButtonImage::Finish, kIdFinishedButton, false);

    SelectAllCheck = new QCheckBox(this);
    SelectAllCheck->setObjectName(QStringLiteral("SelectAllCheck"));
    SelectAllCheck->setProperty("controlId", int{kIdSelectAllCheck});
    SelectAllCheck->setAccessibleName(QStringLiteral("Select All"));
    connect(SelectAllCheck, &QCheckBox::clicked, this, [this] { OnWizardButton(kIdSelectAllCheck); });
    for (QTableWidget* list : {RepairList, RepairedList}) {
        const QAbstractItemModel* model = list->model();
        connect(model, &QAbstractItemModel::dataChanged, this, &CWizardView::UpdateSelectAll);
        connect(model, &QAbstractItemModel::rowsInserted, this, &CWizardView::UpdateSelectAll);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &CWizardView::UpdateSelectAll);
    }

    setAttribute(Qt::WA_OpaquePaintEvent);  // the gradient covers every pixel
    setAcceptDrops(true);

    RepairList->setAccessibleDescription(QStringLiteral("Workbooks to repair; tick the ones to repair"));
    RepairedList->setAccessibleDescription(QStringLiteral("Repaired workbooks; tick the ones to save"));
    SavedList->setAccessibleDescription(QStringLiteral("Saved workbooks and how saving went"));
    NextButton->setAccessibleDescription(QStringLiteral("Go on to the next step"));
    PreviousButton->setAccessibleDescription(QStringLiteral("Go back one step"));
    FinishedButton->setAccessibleDescription(QStringLiteral("Empty the list and start again"));
    SelectAllCheck->setAccessibleDescription(QStringLiteral("Tick or clear every workbook in the list"));
    ProgressBar->setAccessibleDescription(QStringLiteral("Progress of the running repair or save"));
    for (QWidget* control : std::initializer_list<QWidget*>{RepairList, RepairedList, SavedList, SelectAllCheck,
                                                            PreviousButton, NextButton, FinishedButton})
        control->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(RepairList, RepairedList);
    setTabOrder(RepairedList, SavedList);
    setTabOrder(SavedList, SelectAllCheck);
    setTabOrder(SelectAllCheck, PreviousButton);
    setTabOrder(PreviousButton, NextButton);
    setTabOrder(NextButton, FinishedButton);

    const settings::Settings stored = settings::LoadSettings();
    SaveFolder = stored.saveFolder;
    Suffix = stored.suffix;
}

CWizardView::~CWizardView()
{
    job_.reset();  // nothing of the view may go while a worker can still call it
    settings::StoreSettings({SaveFolder, Suffix});
    RemoveRepairFolder();
}

void CWizardView::RemoveRepairFolder()
{
    if (repairFolder_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(repairFolder_, ignored);
    repairFolder_.clear();
}

bool CWizardView::OnCmdMsg(int id)
{
    switch (id) {
    case kIdAddFile: OnAddFile(); return true;
    case kIdRemoveSelected: OnRemoveSelected(); return true;
    case kIdRemoveAll: OnRemoveAll(); return true;
    case kIdRepairFile: OnRepairFile(); return true;
    case kIdSaveFile: OnSaveFile(); return true;
    case kIdSettings: OnSettings(); return true;
    default: break;
    }
    if (id >= kIdWizardFirst && id <= kIdSelectAllCheck) {
        OnWizardButton(id);
        return true;
    }
    return false;
}

void CWizardView::LayoutControls(int, int cx, int cy)
{
    for (QTableWidget* list : {RepairList, RepairedList, SavedList})
        list->setGeometry(50, 100, cx - 100, cy - 280);
    NextButton->setGeometry(cx - 134, cy - 145, 82, 39);
    FinishedButton->setGeometry(cx - 134, cy - 145, 82, 39);
    PreviousButton->setGeometry(cx - 243, cy - 145, 84, 39);
    PlaceSelectAllCheck();
    ProgressBar->setGeometry(100, cy - 130, cx - 200, 20);
    StatusTextRect = QRect(100, cy - 150, cx - 200, 20);
}

void CWizardView::resizeEvent(QResizeEvent*)
{
    PlaceSelectAllCheck();
}

void CWizardView::PlaceSelectAllCheck()
{
    // The label is painted from the top of its room (kSelectAllTop above the bottom edge) in
    // the captions' font; the box stands level with the middle of its line.
    constexpr int kBoxSize = 13;
    QFont font(QStringLiteral("Times New Roman"));
    font.setPixelSize(kCaptionPixelSize);
    const int middle = height() - kSelectAllTop + QFontMetrics(font).height() / 2;
    SelectAllCheck->setGeometry(70, middle - kBoxSize / 2, kBoxSize, kBoxSize);
}

void CWizardView::UpdateSelectAll()
{
    const QTableWidget* list = Page == PageAdd ? RepairList : Page == PageRepaired ? RepairedList : nullptr;
    if (!list)
        return;
    bool all = list->rowCount() > 0;
    for (int row = 0; all && row < list->rowCount(); ++row)
        all = RowChecked(*list, row);
    SelectAllCheck->setChecked(all);
}

void CWizardView::ShowPage(int page)
{
    if (page == PageRepairing) {
        if (RepairList->rowCount() == 0) {
            prompter_.ShowMessage(kAddFilesFirst, MessageIcon::None, MessageButtons::Ok);
            return;
        }
        if (!AnyRowChecked(*RepairList)) {
            prompter_.ShowMessage(kSelectFilesFirst, MessageIcon::None, MessageButtons::Ok);
            return;
        }
    } else if (page == PageSaving) {
        if (RepairedList->rowCount() == 0) {
            prompter_.ShowMessage(kSavedListEmpty, MessageIcon::None, MessageButtons::Ok);
            return;
        }
        if (!AnyRowChecked(*RepairedList)) {
            prompter_.ShowMessage(kSelectFilesFirst, MessageIcon::None, MessageButtons::Ok);
            return;
        }
        // Said once, before anything is tried, rather than as a failure of every file; the
        // folder is not created behind the user's back. (No folder at all means the current one.)
        // Rows saved already are not written again: they need no folder.
        bool writes = false;
        for (int row = 0; row < RepairedList->rowCount() && !writes; ++row)
            writes = RowChecked(*RepairedList, row) && savedAs_.value(row).isEmpty();
        if (const std::optional<std::error_code> problem = writes ? jobs::CheckSaveFolder(Utf8(SaveFolder)) : std::nullopt) {
            const bool missing = *problem == std::errc::no_such_file_or_directory || *problem == std::errc::not_a_directory;
            const QString folder = SavedFolderText(SaveFolder);
            prompter_.ShowMessage(missing ? kNoSuchSaveFolder.arg(folder)
                                          : kCannotWriteSaveFolder.arg(folder, QString::fromStdString(problem->message())),
                                  MessageIcon::Warning, MessageButtons::Ok);
            return;
        }
    }

    HideAllControls();
    switch (page) {
    case PageAdd:
        RepairList->show();
        NextButton->show();
        SelectAllCheck->show();
        break;
    case PageRepairing:
        RepairedList->show();
        ProgressBar->show();
        StartRepairJob();
        break;
    case PageRepaired:
        RepairedList->show();
        NextButton->show();
        PreviousButton->show();
        SelectAllCheck->show();
        break;
    case PageSaving:
        SavedList->show();
        ProgressBar->show();
        StartSaveJob();
        break;
    case PageSaved:
        SavedList->show();
        PreviousButton->show();
        FinishedButton->show();
        break;
    default:
        break;
    }
    Page = page;
    UpdateSelectAll();
    repaint();
    emit PageChanged(Page);
}

void CWizardView::HideAllControls()
{
    for (QWidget* control : std::initializer_list<QWidget*>{RepairList, RepairedList, SavedList, SelectAllCheck,
                                                            NextButton, PreviousButton, FinishedButton, ProgressBar})
        control->hide();
}

bool CWizardView::AnyRowChecked(const QTableWidget& list)
{
    for (int row = 0; row < list.rowCount(); ++row) {
        if (RowChecked(list, row))
            return true;
    }
    return false;
}

void CWizardView::SetAllChecks(QTableWidget& list, bool checked)
{
    const int count = list.rowCount();
    for (int row = 0; row < count; ++row) {
        if (QTableWidgetItem* item = list.item(row, 0))
            item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
}

void CWizardView::OnWizardButton(int id)
{
    // The check box has already toggled itself when its click arrives here.
    const bool selectAll = SelectAllCheck->isChecked();
    switch (id) {
    case kIdNextButton:
        if (Page == PageAdd)
            ShowPage(PageRepairing);
        else if (Page == PageRepaired)
            ShowPage(PageSaving);
        break;
    case kIdPreviousButton:
        if (Page == PageRepaired)
            ShowPage(PageAdd);
        else if (Page == PageSaved)
            ShowPage(PageRepaired);
        break;
    case kIdFinishedButton:
        RepairList->setRowCount(0);
        RemoveRepairFolder();
        ShowPage(PageAdd);
        break;
    case kIdSelectAllCheck: {
        QTableWidget* list = Page == PageAdd ? RepairList : Page == PageRepaired ? RepairedList : nullptr;
        if (!list)
            break;
        if (list->rowCount() > 0)
            SetAllChecks(*list, selectAll);
        else
            SelectAllCheck->setChecked(false);
        break;
    }
    default:
        break;
    }
}

void CWizardView::OnRepairFile()
{
    switch (Page) {
    case PageAdd: ShowPage(PageRepairing); break;
    case PageRepaired: prompter_.ShowMessage(kSaveOrGoBack, MessageIcon::Warning, MessageButtons::Ok); break;
    case PageSaved: prompter_.ShowMessage(kPressFinish, MessageIcon::Warning, MessageButtons::Ok); break;
    default: prompter_.ShowMessage(kJobInProgress, MessageIcon::Warning, MessageButtons::Ok); break;
    }
}

void CWizardView::OnSaveFile()
{
    if (Page == PageRepaired)
        ShowPage(PageSaving);
    else if (Page == PageRepairing || Page == PageSaving)
        prompter_.ShowMessage(kJobInProgress, MessageIcon::Warning, MessageButtons::Ok);
}

void CWizardView::OnSettings()
{
    // Available on every page: a running save job keeps the values it started with.
    settings::CSettingsDlg dialog(window());
    dialog.SetSuffix(Suffix);
    dialog.SetFolder(SaveFolder);
    dialog.ShowRefusal = [this](const QString& reason) {
        prompter_.ShowMessage(reason, MessageIcon::Warning, MessageButtons::Ok);
    };
    dialog.ConfirmEmptySuffix = [this](const QString& question) {
        return prompter_.ShowMessage(question, MessageIcon::Warning, MessageButtons::YesNo) == MessageAnswer::Yes;
    };
    if (prompter_.RunDialog(dialog) != QDialog::Accepted)
        return;
    Suffix = dialog.GetSuffix();
    SaveFolder = dialog.GetFolder();
    // Written at once, not only when the window goes: a crash would lose them.
    settings::StoreSettings({SaveFolder, Suffix});
}

void CWizardView::OnAddFile()
{
    switch (Page) {
    case PageAdd: break;
    case PageRepaired: prompter_.ShowMessage(kCannotAddToRepaired, MessageIcon::Warning, MessageButtons::Ok); return;
    case PageSaved: prompter_.ShowMessage(kCannotAddToSaved, MessageIcon::Warning, MessageButtons::Ok); return;
    default: return;
    }
    const QStringList paths = prompter_.ChooseWorkbooks();
    if (!paths.isEmpty())
        AddWorkbooks(paths);
}

void CWizardView::AddFilesFromOutside(const QStringList& paths)
{
    switch (Page) {
    case PageAdd: break;
    case PageRepaired: prompter_.ShowMessage(kCannotAddToRepaired, MessageIcon::Warning, MessageButtons::Ok); return;
    case PageSaved: prompter_.ShowMessage(kCannotAddToSaved, MessageIcon::Warning, MessageButtons::Ok); return;
    default: return;
    }
    QStringList files;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            files << path;
            continue;
        }
        const QFileInfoList workbooks =
            QDir(path).entryInfoList({QStringLiteral("*.xls"), QStringLiteral("*.XLS")}, QDir::Files, QDir::Name);
        for (const QFileInfo& workbook : workbooks)
            files << workbook.filePath();
    }
    if (!files.isEmpty())
        AddWorkbooks(files);
}

void CWizardView::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); }))
        event->acceptProposedAction();
}

void CWizardView::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    const bool accepted = Page == PageAdd;
    AddFilesFromOutside(paths);
    if (accepted)
        event->acceptProposedAction();
    else
        event->ignore();
}

void CWizardView::AddWorkbooks(const QStringList& paths)
{
    QStringList notAdded;
    for (const QString& path : paths) {
        QThread::msleep(20);
        QFile file(path);
        const QFileInfo info(path);
        // QFile opens folders without complaint; they are no workbooks.
        if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
            notAdded << path + QStringLiteral(": ") +
                            (info.isDir() ? QStringLiteral("this is a folder") : file.errorString());
            continue;
        }
        const qint64 length = file.size();
        file.close();
        const QString fullPath = QDir::toNativeSeparators(info.absoluteFilePath());
        QDateTime created = info.birthTime();
        if (!created.isValid())
            created = info.lastModified();
        if (IsAlreadyInList(fullPath)) {
            prompter_.ShowMessage(kAlreadyAdded, MessageIcon::Information, MessageButtons::Ok);
            continue;
        }
        InsertRowAtTop(*RepairList, {info.fileName(), fullPath, FileSizeText(length), CreationTimeText(created)}, true);
    }
    if (!notAdded.isEmpty()) {
        prompter_.ShowMessage(QStringLiteral("These files could not be added:\n") + notAdded.join(QLatin1Char('\n')),
                              MessageIcon::Warning, MessageButtons::Ok);
    }
}

bool CWizardView::IsAlreadyInList(const QString& path) const
{
    const int count = RepairList->rowCount();
    for (int row = 0; row < count; ++row) {
        if (Cell(*RepairList, row, 1) == path)
            return true;
    }
    return false;
}

void CWizardView::OnRemoveSelected()
{
    switch (Page) {
    case PageAdd: break;
    case PageRepaired: prompter_.ShowMessage(kCannotRemoveFromRepaired, MessageIcon::Warning, MessageButtons::Ok); return;
    case PageSaved: prompter_.ShowMessage(kCannotRemoveFromSaved, MessageIcon::Warning, MessageButtons::Ok); return;
    default: return;
    }
    if (RepairList->rowCount() == 0) {
        prompter_.ShowMessage(kNothingToRemove, MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    if (!AnyRowChecked(*RepairList)) {
        prompter_.ShowMessage(kSelectToRemove, MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    if (prompter_.ShowMessage(kConfirmRemove, MessageIcon::Warning, MessageButtons::YesNo) != MessageAnswer::Yes)
        return;
    for (int row = RepairList->rowCount() - 1; row >= 0; --row) {
        if (RowChecked(*RepairList, row))
            RepairList->removeRow(row);
    }
}

void CWizardView::OnRemoveAll()
{
    if (Page != PageAdd) {
        prompter_.ShowMessage(kCannotRemoveAll, MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    if (RepairList->rowCount() == 0) {
        prompter_.ShowMessage(kNothingToDelete, MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    RepairList->setRowCount(0);
}

void CWizardView::CollectRepairFiles()
{
    RepairPaths.clear();
    RepairedList->setRowCount(0);
    RepairReports.clear();
    for (int row = RepairList->rowCount() - 1; row >= 0; --row) {
        if (!RowChecked(*RepairList, row))
            continue;
        InsertRowAtTop(*RepairedList, {Cell(*RepairList, row, 0), Cell(*RepairList, row, 1), Cell(*RepairList, row, 2)},
                       false);
        RepairPaths.prepend(Cell(*RepairList, row, 1));
    }
    RepairReports.resize(static_cast<std::size_t>(RepairPaths.size()));
    savedAs_ = QStringList(RepairPaths.size(), QString());
}

void CWizardView::CollectSaveFiles()
{
    SavePaths.clear();
    SavedList->setRowCount(0);
    saveRows_.clear();
    for (int row = RepairedList->rowCount() - 1; row >= 0; --row) {
        if (!RowChecked(*RepairedList, row) || row >= RepairPaths.size())
            continue;
        InsertRowAtTop(*SavedList,
                       {Cell(*RepairedList, row, 0), Cell(*RepairedList, row, 1), Cell(*RepairedList, row, 2),
                        QString(), Cell(*RepairedList, row, 4)},
                       false);
        SavePaths.prepend(RepairPaths.at(row));
        saveRows_.insert(saveRows_.begin(), row);
    }
}

void CWizardView::StartRepairJob()
{
    job_.reset();  // the last job has made its last call; its thread may not have ended yet
    CollectRepairFiles();
    ProgressBar->setRange(0, 2 * static_cast<int>(RepairPaths.size()));
    ProgressBar->setValue(0);

    // A private folder per job: copies never meet another job's files or anyone else's.
    RemoveRepairFolder();
    try {
        repairFolder_ = CreatePrivateFolder(PathFromUtf8(Utf8(QDir::tempPath())));
    } catch (const std::system_error&) {
        repairFolder_.clear();  // every copy then fails, and says so
    }
    auto job = std::make_unique<jobs::RepairJob>();
    job->paths = Utf8(RepairPaths);
    job->folder = PathToUtf8(repairFolder_);
    job->pause = JobPause;
    job_ = std::make_unique<WindowJob>(*this, jobs::WM_REPAIR_PROGRESS, &jobs::RepairWorker, std::move(job));
}

void CWizardView::StartSaveJob()
{
    job_.reset();
    CollectSaveFiles();
    ProgressBar->setRange(0, 2 * static_cast<int>(SavePaths.size()));
    ProgressBar->setValue(0);

    auto job = std::make_unique<jobs::SaveJob>();
    job->paths = Utf8(SavePaths);
    for (int row = 0; row < SavedList->rowCount(); ++row)
        job->sources.push_back(Utf8(Cell(*SavedList, row, 1)));
    for (int row = 0; row < RepairedList->rowCount(); ++row)
        job->originals.push_back(Utf8(Cell(*RepairedList, row, 1)));
    savedEarlier_.clear();
    for (const int row : saveRows_) {
        job->savedAs.push_back(Utf8(savedAs_.value(row)));
        savedEarlier_.push_back(!savedAs_.value(row).isEmpty());
    }
    savedCount_ = 0;
    job->suffix = Utf8(Suffix);
    job->folder = Utf8(SaveFolder);
    saveJobFolder_ = SavedFolderText(SaveFolder);
    job->pause = JobPause;
    job_ = std::make_unique<WindowJob>(*this, jobs::WM_SAVE_PROGRESS, &jobs::SaveWorker, std::move(job));
}

void CWizardView::ShowFileProgress(QTableWidget& list, int code, int index, const FileProgressTexts& texts)
{
    if (code == texts.startCode) {
        SetStatus(list, index, texts.started);
        DrawStatusText(texts.progressText + Cell(list, index, 1));
    } else if (code == jobs::kFileFailed) {
        SetStatus(list, index, QStringLiteral("Failed"));
    } else if (code == jobs::kFileDone) {
        SetStatus(list, index, texts.done);
    } else {
        return;  // not a code of this job
    }
    Step(*ProgressBar);
}

void CWizardView::SetSavedFile(int index, const QString& path)
{
    if (index < 0 || static_cast<std::size_t>(index) >= saveRows_.size())
        return;
    const int row = saveRows_[static_cast<std::size_t>(index)];
    if (row >= 0 && row < savedAs_.size())
        savedAs_[row] = path;
}

void CWizardView::SetRepairReport(int index, const RepairReport& report)
{
    if (index < 0 || static_cast<std::size_t>(index) >= RepairReports.size())
        return;
    RepairReports[static_cast<std::size_t>(index)] = report;
    const QString check = QString::fromStdString(DescribeVerdict(report));
    if (QTableWidgetItem* item = RepairedList->item(index, 4))
        item->setText(check);
}

QString CWizardView::RepairReportText(int row) const
{
    const QString name = Cell(*RepairedList, row, 0);
    if (row < 0 || static_cast<std::size_t>(row) >= RepairReports.size() || !RepairReports[static_cast<std::size_t>(row)])
        return name + QStringLiteral(": no repair report; the file could not be copied or opened.");
    return name + QLatin1Char('\n') + QString::fromStdString(DescribeRepair(*RepairReports[static_cast<std::size_t>(row)]));
}

void CWizardView::ShowPreview(int row)
{
    if (row < 0 || row >= RepairedList->rowCount())
        return;
    // Until the repair job is done with a row, its path is the workbook's own; only a copy in
    // the job's folder (FOLDER/INDEX/NAME) is previewed. Without one the report is all there is.
    const QString path = RepairPaths.value(row);
    if (repairFolder_.empty() || PathFromUtf8(Utf8(path)).parent_path().parent_path() != repairFolder_) {
        prompter_.ShowMessage(RepairReportText(row), MessageIcon::Information, MessageButtons::Ok);
        return;
    }
    PreviewSource source;
    source.workbookName = Cell(*RepairedList, row, 0);
    source.copy = path;
    source.reportText = RepairReportText(row);
    source.exportFolder = SaveFolder;
    if (static_cast<std::size_t>(row) < RepairReports.size()) {
        const std::optional<RepairReport>& report = RepairReports[static_cast<std::size_t>(row)];
        if (report && report->used == RebuildUsed::Salvaged && report->salvage)
            source.regions = report->salvage->regions;
    }
    CPreviewWindow preview(prompter_, std::move(source), this);
    prompter_.RunDialog(preview);
}

void CWizardView::OnSalvaging(int index, int percent)
{
    if (index >= 0 && index < RepairedList->rowCount())
        SetStatus(*RepairedList, index, QStringLiteral("Repairing %1 %").arg(percent));
}

void CWizardView::OnRepairProgress(int code, int index)
{
    if (code != jobs::kJobFinished) {
        const std::size_t at = static_cast<std::size_t>(index);
        const std::optional<RepairReport>* report = index >= 0 && at < RepairReports.size() ? &RepairReports[at] : nullptr;
        const QString done = report && *report ? RepairedStatus(RepairOutcomeOf(**report)) : QStringLiteral("Repaired");
        ShowFileProgress(*RepairedList, code, index, {jobs::kRepairStarted, QStringLiteral("Repairing"), done, kRepairing});
        return;
    }
    // Every repaired row is ticked for saving; a failed one has nothing to save.
    SetAllChecks(*RepairedList, true);
    for (int row = 0; row < RepairedList->rowCount(); ++row) {
        if (RepairPaths.value(row) == QString::fromStdString(jobs::kFailedPath))
            RepairedList->item(row, 0)->setCheckState(Qt::Unchecked);
    }
    DrawStatusText(kRepairEnd);
    prompter_.ShowMessage(kRepairCompleted, MessageIcon::Warning, MessageButtons::Ok);
    ShowPage(PageRepaired);
}

void CWizardView::OnSaveProgress(int code, int index)
{
    if (code != jobs::kJobFinished) {
        ShowFileProgress(*SavedList, code, index,
                         {jobs::kSaveStarted, QStringLiteral("Saving"), QStringLiteral("Saved"), kSaving});
        if (code == jobs::kFileDone) {
            ++savedCount_;
            const std::size_t at = static_cast<std::size_t>(index);
            const QString savedAs = at < saveRows_.size() ? savedAs_.value(saveRows_[at]) : QString();
            QTableWidgetItem* status = SavedList->item(index, 3);
            if (status && !savedAs.isEmpty())
                status->setToolTip(at < savedEarlier_.size() && savedEarlier_[at]
                                       ? QStringLiteral("Saved already, as %1; not saved again").arg(savedAs)
                                       : QStringLiteral("Saved as %1").arg(savedAs));
        }
        return;
    }
    DrawStatusText(kSaveEnd);
    TellSaveOutcome();
    ShowPage(PageSaved);
}

void CWizardView::TellSaveOutcome()
{
    // Each failure has been explained as it happened; this says how the whole save went. The
    // folder is the one this job saved into, even if the settings changed while it ran, and is
    // claimed only when something was saved.
    const int failed = SavedList->rowCount() - savedCount_;
    if (savedCount_ == 0) {
        prompter_.ShowMessage(FinishedSavingText(0, failed), MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    if (prompter_.ShowFileSaved(saveJobFolder_, savedCount_, failed))
        prompter_.OpenUrl(QUrl::fromLocalFile(saveJobFolder_));
}

void CWizardView::DrawStatusText(const QString& text)
{
    pendingStatusText_ = text;
    repaint(StatusTextRect);
    pendingStatusText_.clear();
}

void CWizardView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int height = this->height();
    PaintGradient(painter, width(), height);

    BeginCaptions(painter, QStringLiteral("Times New Roman"), kCaptionPixelSize);
    if (SelectAllCheck->isVisible())
        DrawCaption(painter, 90, height - kSelectAllTop, 200, height - 30, kTextBackground, QStringLiteral("Select All "));
    const QString instruction = PageInstruction(Page);
    if (!instruction.isEmpty())
        DrawCaption(painter, 50, height - 80, 600, height - 60, kTextBackground, instruction);

    painter.setBackgroundMode(Qt::TransparentMode);
    painter.drawPixmap(10, 10, LogoPixmap());
    painter.drawImage(150, 10, ProductNameImage());

    if (!pendingStatusText_.isEmpty()) {
        BeginCaptions(painter, QStringLiteral("Times New Roman"), 15);
        painter.setBackground(kTextBackground);
        painter.drawText(StatusTextRect, Qt::AlignLeft | Qt::AlignTop, pendingStatusText_);
    }
}

}  // namespace tabulon::ui
