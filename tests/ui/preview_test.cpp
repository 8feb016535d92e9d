// The preview window: its grid against xlrd's reading of the same workbooks, value for value
// and date for date; what it shows of a real workbook; the export into a folder the user
// chooses; and copies it cannot show.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QHeaderView>
#include <QListWidget>
#include <QScreen>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <optional>
#include <tuple>

#include "engine/export/cell_text.h"
#include "modal_answer.h"
#include "tests/support/biff_builder.h"
#include "ui/preview_window.h"

using namespace tabulon;
using namespace tabulon::ui;

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs a program to its end within a minute: its standard output, or nothing when it did not
// end in time or ended with another status than `expected`.
std::optional<QByteArray> Output(const QString& program, const QStringList& arguments, int* status = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return std::nullopt;
    if (status)
        *status = process.exitCode();
    return process.readAllStandardOutput();
}

// A Python with xlrd: $TABULON_PYTHON, python3 or the system's own.
QString PythonWithXlrd()
{
    QStringList candidates{QStringLiteral("python3"), QStringLiteral("/usr/bin/python3")};
    if (qEnvironmentVariableIsSet("TABULON_PYTHON"))
        candidates.prepend(qEnvironmentVariable("TABULON_PYTHON"));
    for (const QString& python : candidates) {
        int status = -1;
        if (Output(python, {QStringLiteral("-c"), QStringLiteral("import xlrd")}, &status) && status == 0)
            return python;
    }
    return {};
}

struct Comparison {
    QStringList differences;
    bool unreadable = false;  // by xlrd
    bool shown = false;       // the preview shows cells
};

// xlrd's reading of `path` (tests/tools/read_cells.py --dates) against the preview of it,
// every worksheet's every place.
Comparison CompareWithXlrd(const QString& python, const QString& path)
{
    Comparison result;
    int status = -1;
    const std::optional<QByteArray> output =
        Output(python, {QStringLiteral(TABULON_TEST_DATA "/../tools/read_cells.py"), QStringLiteral("--dates"), path}, &status);
    if (!output || (status != 0 && status != 4)) {
        result.differences << QStringLiteral("read_cells.py failed or took too long");
        return result;
    }
    result.unreadable = status == 4;

    FakePrompter prompter;
    CPreviewWindow preview(prompter, {QFileInfo(path).fileName(), path, {}, {}, {}}, nullptr);
    result.shown = preview.ExportButton->isEnabled();
    if (result.unreadable)
        return result;

    QStringList theirNames, ourNames;
    std::map<std::tuple<int, int, int>, QStringList> theirs;
    for (const QByteArray& line : output->split('\n')) {
        const QStringList f = QString::fromUtf8(line).split(QLatin1Char('\t'));
        const auto json = [](const QString& text) { return QJsonDocument::fromJson(("[" + text + "]").toUtf8()).array().at(0); };
        if (f.size() == 3 && f[0] == QLatin1String("sheet"))
            theirNames << json(f[2]).toString();
        else if (f.size() == 7 && f[0] == QLatin1String("cell"))
            theirs[{f[1].toInt(), f[2].toInt(), f[3].toInt()}] = {f[4], f[4] == QLatin1String("text") ? json(f[5]).toString() : f[5]};
    }
    for (int tab = 0; tab < preview.SheetTabs->count(); ++tab) {
        preview.SheetTabs->setCurrentIndex(tab);
        const CSheetModel* model = preview.CurrentModel();
        if (!model || model->Sheet().kind != 0)
            continue;  // xlrd leaves out macro sheets
        const int sheet = static_cast<int>(ourNames.size());
        ourNames << preview.SheetTabs->tabText(tab);
        for (int row = 0; row < model->rowCount(); ++row) {
            for (int column = 0; column < model->columnCount(); ++column) {
                const QModelIndex index = model->index(row, column);
                const QVariant value = index.data(CSheetModel::ValueRole);
                const auto found = theirs.find({sheet, row, column});
                const QString where = QStringLiteral("sheet %1 %2%3").arg(sheet).arg(QString::fromStdString(ColumnName(column))).arg(row + 1);
                if (found == theirs.end()) {
                    if (value.isValid())
                        result.differences << where + QStringLiteral(": ") + index.data().toString() + QStringLiteral(", xlrd has nothing");
                    continue;
                }
                const QString kind = found->second[0], theirValue = found->second[1];
                theirs.erase(found);
                bool same = false;
                if (kind == QLatin1String("number") || kind == QLatin1String("date"))
                    same = value.typeId() == QMetaType::Double && value.toDouble() == theirValue.toDouble() &&
                           index.data(CSheetModel::DateRole).toBool() == (kind == QLatin1String("date"));
                else if (kind == QLatin1String("text"))
                    same = value.typeId() == QMetaType::QString && value.toString() == theirValue;
                else if (kind == QLatin1String("boolean"))
                    same = value.typeId() == QMetaType::Bool && value.toBool() == (theirValue == QLatin1String("1"));
                else
                    same = value.typeId() == QMetaType::Int && value.toInt() == theirValue.toInt();
                if (!same)
                    result.differences << where + QStringLiteral(": ") + index.data().toString() +
                                              (index.data(CSheetModel::DateRole).toBool() ? QStringLiteral(" (date)") : QString()) +
                                              QStringLiteral(", xlrd has ") + kind + QLatin1Char(' ') + theirValue;
            }
        }
    }
    if (ourNames != theirNames)
        result.differences << QStringLiteral("sheets: ") + ourNames.join(QLatin1Char('|')) + QStringLiteral(", xlrd has ") +
                                   theirNames.join(QLatin1Char('|'));
    for (const auto& [place, cell] : theirs)
        result.differences << QStringLiteral("sheet %1 row %2 column %3: missing, xlrd has %4 %5")
                                  .arg(std::get<0>(place)).arg(std::get<1>(place)).arg(std::get<2>(place)).arg(cell[0], cell[1]);
    return result;
}

QString FirstOf(const QStringList& differences)
{
    return differences.mid(0, 12).join(QStringLiteral("\n  "));
}

QByteArray ToQByteArray(const test::Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

class PreviewTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> folder_;
    QString python_;

    QString WriteFile(const QString& name, const QByteArray& bytes)
    {
        QFile file(folder_->filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName() : QString();
    }

    // A workbook of two sheets, the first with a name beyond ASCII.
    QString UnicodeWorkbook()
    {
        using namespace test;
        const Bytes first = Record(biff::kNumber, Cell(0, 0) + Double(1.5)) + Record(biff::kLabel, Cell(0, 1) + Le16(4) + Bytes{0} + Ascii("a\"b,"));
        const Bytes second = Record(biff::kBoolErr, Cell(1, 1) + Bytes{1, 0});
        return WriteFile(QStringLiteral("book.xls"), ToQByteArray(WorkbookFile(Workbook(8, {}, {{"Ümsatz €", first}, {"Data", second}}))));
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        python_ = PythonWithXlrd();
    }
    void init() { folder_ = std::make_unique<QTemporaryDir>(); }
    void cleanup()
    {
        folder_.reset();
        for (QWidget* window : QApplication::topLevelWidgets())
            QVERIFY2(!window->isVisible(), qPrintable(window->objectName() + QStringLiteral(" was left open")));
    }

    // The test data, which xlrd must read, and a further folder of workbooks named by
    // $TABULON_CELLS_CORPUS: those xlrd cannot read (encrypted ones) the preview must not show either.
    void sameCellsAsXlrd_data()
    {
        QTest::addColumn<QString>("workbook");
        QTest::addColumn<bool>("xlrdReadsIt");
        const auto rows = [](const QString& folder, bool xlrdReadsIt) {
            const QStringList names = QDir(folder).entryList({QStringLiteral("*.xls")}, QDir::Files, QDir::Name);
            for (const QString& name : names)
                QTest::newRow(qPrintable(name)) << QDir(folder).filePath(name) << xlrdReadsIt;
            return !names.isEmpty();
        };
        QVERIFY(rows(QStringLiteral(TABULON_TEST_DATA), true));
        if (qEnvironmentVariableIsSet("TABULON_CELLS_CORPUS"))
            QVERIFY2(rows(qEnvironmentVariable("TABULON_CELLS_CORPUS"), false), "no workbooks in $TABULON_CELLS_CORPUS");
    }

    void sameCellsAsXlrd()
    {
        QFETCH(QString, workbook);
        QFETCH(bool, xlrdReadsIt);
        if (python_.isEmpty())
            QSKIP("no python3 with the xlrd module (Debian: python3-xlrd)");
        const Comparison comparison = CompareWithXlrd(python_, workbook);
        if (comparison.unreadable) {
            QVERIFY2(!xlrdReadsIt, "xlrd cannot read it");
            QVERIFY2(!comparison.shown, "xlrd cannot read it, the preview shows cells");
            return;
        }
        QVERIFY(comparison.shown);
        QVERIFY2(comparison.differences.isEmpty(), qPrintable(QString::number(comparison.differences.size()) +
                                                               QStringLiteral(" differences:\n  ") + FirstOf(comparison.differences)));
    }

    // What a user sees of a real workbook: the sheet's size, values where they stand, the
    // headings, and the report on its own page. (The wizard's test of the preview checks the
    // pages, the rows and A1 of the same workbook.)
    void showsARealWorkbook()
    {
        FakePrompter prompter;
        const QString path = QStringLiteral(TABULON_TEST_DATA "/readxl__mtcars.xls");
        CPreviewWindow preview(prompter, {QStringLiteral("mtcars.xls"), path, QStringLiteral("the report"), {}, {}}, nullptr);
        QCOMPARE(preview.Pages->widget(1), preview.Report);
        QVERIFY(preview.Report->isReadOnly());
        QCOMPARE(preview.SheetTabs->count(), 1);
        QCOMPARE(preview.SheetTabs->tabText(0), QStringLiteral("head(mtcars)"));
        QCOMPARE(preview.Grid->accessibleName(), QStringLiteral("Cells of sheet head(mtcars)"));
        QVERIFY(!preview.MendedList->isVisibleTo(&preview));

        const CSheetModel* model = preview.CurrentModel();
        QVERIFY(model);
        QCOMPARE(preview.Grid->model(), model);
        QCOMPARE(model->columnCount(), 11);
        QCOMPARE(model->index(2, 5).data().toString(), QStringLiteral("2.875"));
        QCOMPARE(model->index(2, 5).data(CSheetModel::ValueRole), QVariant(2.875));
        QCOMPARE(model->index(2, 5).data(Qt::TextAlignmentRole).toInt(), int{Qt::AlignRight | Qt::AlignVCenter});
        QCOMPARE(model->index(0, 0).data(Qt::TextAlignmentRole).toInt(), int{Qt::AlignLeft | Qt::AlignVCenter});
        QCOMPARE(model->headerData(10, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("K"));
        QCOMPARE(model->headerData(6, Qt::Vertical, Qt::DisplayRole).toInt(), 7);
        QVERIFY(!model->index(3, 3).data(CSheetModel::MendedRole).toBool());

        // Dates read as dates, in ISO form.
        CPreviewWindow dates(prompter, {QStringLiteral("r.xls"), QStringLiteral(TABULON_TEST_DATA "/sheetjs__number_format_russian.xls"), {}, {}, {}},
                             nullptr);
        const QModelIndex date = dates.CurrentModel()->index(11, 1);
        QCOMPARE(date.data().toString(), QStringLiteral("1933-10-18T16:17:37"));
        QVERIFY(date.data(CSheetModel::DateRole).toBool());
        QCOMPARE(dates.CurrentModel()->index(1, 1).data().toString(), QStringLiteral("12345.6789"));
        QVERIFY(prompter.shown.isEmpty());
    }

    // The sheet tabs stand above the grid, tall enough to read, each named, the first ones in
    // view; many of them scroll, and the current one is scrolled into view.
    void theSheetTabsShow_data()
    {
        QTest::addColumn<QString>("workbook");
        QTest::addColumn<QStringList>("firstNames");
        QTest::addColumn<int>("sheets");
        QTest::newRow("three sheets") << QString() << QStringList{"One", "Two", "Three"} << 3;
        QTest::newRow("300 sheets") << QStringLiteral(TABULON_TEST_DATA "/lotest__300-worksheets.xls")
                                    << QStringList{" 1", " 2", " 3"} << 300;
    }

    void theSheetTabsShow()
    {
        QFETCH(QString, workbook);
        QFETCH(QStringList, firstNames);
        QFETCH(int, sheets);
        if (workbook.isEmpty()) {
            using namespace test;
            const Bytes cells = Record(biff::kNumber, Cell(0, 0) + Double(1));
            workbook = WriteFile(QStringLiteral("three.xls"),
                                 ToQByteArray(WorkbookFile(Workbook(8, {}, {{"One", cells}, {"Two", cells}, {"Three", cells}}))));
        }
        FakePrompter prompter;
        CPreviewWindow preview(prompter, {QStringLiteral("w.xls"), workbook, {}, {}, {}}, nullptr);
        preview.show();
        QVERIFY(QTest::qWaitForWindowExposed(&preview, 10000));
        QTabBar* tabs = preview.SheetTabs;
        QCOMPARE(tabs->count(), sheets);
        QVERIFY(tabs->isVisible());
        QVERIFY2(tabs->height() >= tabs->fontMetrics().height(), qPrintable(QString::number(tabs->height())));
        QVERIFY2(tabs->geometry().bottom() < preview.Grid->geometry().top(), "the bar stands above the grid");

        // Each of the first tabs is named and drawn within the bar: its name in ink on the grab.
        const QImage image = preview.grab().toImage();
        for (int tab = 0; tab < firstNames.size(); ++tab) {
            QCOMPARE(tabs->tabText(tab), firstNames[tab]);
            const QRect rect = tabs->tabRect(tab);
            QVERIFY2(tabs->rect().contains(rect), qPrintable(firstNames[tab]));
            const QRect inWindow(tabs->mapTo(&preview, rect.topLeft()), rect.size());
            int ink = 0;
            for (int y = inWindow.top(); y <= inWindow.bottom(); ++y)
                for (int x = inWindow.left(); x <= inWindow.right(); ++x)
                    ink += qGray(image.pixel(x, y)) < 100 ? 1 : 0;
            QVERIFY2(ink > 10, qPrintable(firstNames[tab] + QStringLiteral(": no name drawn")));
        }

        // More tabs than the bar holds: it scrolls to the one chosen.
        if (sheets > 20) {
            QVERIFY(tabs->tabRect(sheets - 1).right() > tabs->width());
            QVERIFY(tabs->usesScrollButtons());
            tabs->setCurrentIndex(sheets - 1);
            QTRY_VERIFY_WITH_TIMEOUT(tabs->rect().intersects(tabs->tabRect(sheets - 1)), 5000);
            QCOMPARE(preview.Grid->accessibleName(), QStringLiteral("Cells of sheet ") + tabs->tabText(sheets - 1));
        }
        preview.close();
    }

    // Keys: Ctrl+Page Down and Up change the sheet, Escape closes; every control is named and
    // reached by Tab (the grid lets Tab go on).
    void theKeyboardReachesEverything()
    {
        FakePrompter prompter;
        CPreviewWindow preview(prompter, {QStringLiteral("book.xls"), UnicodeWorkbook(), {}, {}, {}}, nullptr);
        preview.show();
        QVERIFY(QTest::qWaitForWindowActive(&preview, 10000));
        QCOMPARE(preview.SheetTabs->tabText(0), QStringLiteral("Ümsatz €"));
        preview.Grid->setFocus();
        QTest::keyClick(&preview, Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(preview.SheetTabs->currentIndex(), 1);
        QCOMPARE(preview.CurrentModel()->index(1, 1).data().toString(), QStringLiteral("TRUE"));
        QCOMPARE(preview.Grid->accessibleName(), QStringLiteral("Cells of sheet Data"));
        QTest::keyClick(&preview, Qt::Key_PageUp, Qt::ControlModifier);
        QCOMPARE(preview.SheetTabs->currentIndex(), 0);
        QVERIFY(!preview.Grid->tabKeyNavigation());
        for (QWidget* control : std::initializer_list<QWidget*>{preview.Pages, preview.SheetTabs, preview.MendedList, preview.Grid,
                                                                preview.Report, preview.ExportButton}) {
            QVERIFY2(!control->accessibleName().isEmpty(), control->metaObject()->className());
            QVERIFY2(control->focusPolicy() & Qt::TabFocus, control->metaObject()->className());
        }
        QTest::keyClick(&preview, Qt::Key_Escape);
        QVERIFY(!preview.isVisible());
    }

    // Each sheet into WORKBOOK-SHEET.csv in the folder chosen; files there already are replaced
    // only when the user says so.
    void exportWritesEverySheetAndAsksBeforeReplacing()
    {
        FakePrompter prompter;
        CPreviewWindow preview(prompter, {QStringLiteral("Umsätze.xls"), UnicodeWorkbook(), {}, {}, QStringLiteral("/start")}, nullptr);
        QVERIFY(preview.ExportButton->isEnabled());
        const QString out = folder_->filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        QStringList asked;
        QString answer;
        preview.ChooseFolder = [&](QWidget*, const QString& start) {
            asked << start;
            return answer;
        };

        preview.ExportButton->click();  // cancelled
        QCOMPARE(asked, QStringList{QStringLiteral("/start")});
        QVERIFY(prompter.shown.isEmpty());
        QVERIFY(QDir(out).isEmpty());

        answer = out;
        preview.ExportButton->click();
        QCOMPARE(prompter.shown.size(), 1);
        QVERIFY2(prompter.shown.takeFirst().text.startsWith(QStringLiteral("2 CSV file(s) written into")), "tells what it did");
        const QString first = out + QStringLiteral("/Umsätze-Ümsatz €.csv");
        const QString second = out + QStringLiteral("/Umsätze-Data.csv");
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 2);
        QCOMPARE(ReadAll(first), QByteArray("1.5,\"a\"\"b,\"\r\n"));
        QCOMPARE(ReadAll(second), QByteArray(",\r\n,TRUE\r\n"));

        QFile::remove(second);
        QVERIFY(WriteFile(QStringLiteral("out/Umsätze-Ümsatz €.csv"), "mine") == first);
        prompter.answers = {MessageAnswer::No};
        preview.ExportButton->click();
        QCOMPARE(prompter.shown.size(), 1);
        QVERIFY(prompter.shown.takeFirst().text.contains(QStringLiteral("Umsätze-Ümsatz €.csv")));
        QCOMPARE(ReadAll(first), QByteArray("mine"));
        QVERIFY2(!QFile::exists(second), "nothing written when the user says no");

        prompter.answers = {MessageAnswer::Yes};
        preview.ExportButton->click();
        QCOMPARE(prompter.shown.size(), 2);  // the question, then what was done
        QCOMPARE(ReadAll(first), QByteArray("1.5,\"a\"\"b,\"\r\n"));
        QVERIFY(QFile::exists(second));
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // A salvage that mended hundreds of stretches: they are counted in two lines above the grid
    // and listed one by one behind Show details, and the window, with its grid and Close, stays
    // within the free part of the screen, the details shown or not.
    void manyMendedStretchesFitTheScreen()
    {
        std::vector<MendedRegion> regions;
        for (std::uint64_t i = 0; i < 790; ++i)
            regions.push_back({MendedRegion::Kind::Replaced, 100000 + 8228 * i, 8228, -1});
        for (std::uint64_t i = 0; i < 300; ++i)
            regions.push_back({i % 3 == 0 ? MendedRegion::Kind::Lost : MendedRegion::Kind::Replaced, 600 + i, 1, 0});
        FakePrompter prompter;
        CPreviewWindow preview(prompter, {QStringLiteral("big.xls"), QStringLiteral(TABULON_TEST_DATA "/readxl__mtcars.xls"),
                                          QStringLiteral("report"), regions, {}},
                               nullptr);
        preview.show();
        QVERIFY(QTest::qWaitForWindowExposed(&preview, 10000));
        QVERIFY(preview.screen());
        const QRect free = preview.screen()->availableGeometry();
        QCOMPARE(preview.MendedList->text(),
                 QStringLiteral("head(mtcars): 200 stretches replaced (200 bytes), 100 lost (100 bytes); cells there may be missing.\n"
                                "Workbook globals: 790 stretches replaced (6.5 MB); texts the sheets share may be missing."));
        QVERIFY(!preview.MendedDetails->isVisible());
        for (const bool details : {false, true}) {
            if (details)
                preview.MendedDetailsButton->click();
            QCOMPARE(preview.MendedDetails->isVisible(), details);
            QTRY_VERIFY2_WITH_TIMEOUT(free.contains(preview.frameGeometry()),
                                      qPrintable(QStringLiteral("details %1: window %2x%3 at %4,%5, screen %6x%7")
                                                     .arg(details).arg(preview.frameGeometry().width()).arg(preview.frameGeometry().height())
                                                     .arg(preview.frameGeometry().x()).arg(preview.frameGeometry().y())
                                                     .arg(free.width()).arg(free.height())), 5000);
            for (QWidget* control : std::initializer_list<QWidget*>{preview.Grid, preview.CloseButton}) {
                QVERIFY(control->isVisible());
                const QRect inWindow(control->mapTo(&preview, QPoint(0, 0)), control->size());
                QVERIFY2(preview.rect().contains(inWindow), control->metaObject()->className());
            }
            QVERIFY2(preview.Grid->viewport()->height() >= 5 * preview.Grid->verticalHeader()->defaultSectionSize(),
                     "the grid keeps room for rows");
        }
        QCOMPARE(preview.MendedDetails->count(), 1090);
        QVERIFY2(preview.MendedDetails->item(1089)->text().startsWith(QStringLiteral("Workbook globals: data damaged and replaced (8228 bytes at offset ")),
                 qPrintable(preview.MendedDetails->item(1089)->text()));
        preview.MendedDetailsButton->click();
        QVERIFY(!preview.MendedDetails->isVisible());
        preview.close();
    }

    // A copy the preview cannot show cells of says why, and offers no export.
    void aCopyWithoutCellsSaysWhy()
    {
        using namespace test;
        const QString encrypted = WriteFile(
            QStringLiteral("locked.xls"),
            ToQByteArray(WorkbookFile(Workbook(8, Record(biff::kFilePass, Bytes(6, 0)), {{"One", Record(biff::kNumber, Cell(0, 0) + Double(1))}}))));
        const QString zip = WriteFile(QStringLiteral("zip.xls"), QByteArray("PK\x03\x04", 4) + QByteArray(4092, '\0'));
        const struct {
            QString copy;
            QString notice;
        } cases[] = {
            {encrypted, QStringLiteral("This workbook is encrypted: its cells cannot be read without the password.")},
            {zip, QStringLiteral("No cells can be read from the repaired copy.")},
            {folder_->filePath(QStringLiteral("gone.xls")), QStringLiteral("The repaired copy cannot be read: ")},
        };
        FakePrompter prompter;
        for (const auto& c : cases) {
            CPreviewWindow preview(prompter, {QStringLiteral("w.xls"), c.copy, QStringLiteral("report"), {}, {}}, nullptr);
            QVERIFY2(preview.Notice->text().startsWith(c.notice), qPrintable(preview.Notice->text()));
            QVERIFY(preview.Notice->isVisibleTo(&preview));
            QVERIFY(!preview.Grid->isVisibleTo(&preview));
            QVERIFY(!preview.ExportButton->isEnabled());
            QCOMPARE(preview.CurrentModel(), nullptr);
            QCOMPARE(preview.Pages->count(), 2);
        }
    }
};

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
