// tabulon-preview-bench: how long the window's preview takes to open (read the copy, repair it
// in memory, parse its cells, make the first sheet's model and paint the window) and to scroll
// its grid, for each workbook of a folder and for a generated sheet of 65,536 rows.
//
//   tabulon-preview-bench [FOLDER] [--repeat K]     (FOLDER: default /work/shared/corpus)
//
// Runs headless unless a display is set (QT_QPA_PLATFORM=offscreen otherwise).

#include <QApplication>
#include <QDialog>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/biff_cells.h"
#include "engine/biff/records.h"
#include "engine/cfb/compound_writer.h"
#include "engine/io/os_file.h"
#include "ui/preview_window.h"
#include "ui/prompter.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

class SilentPrompter final : public tabulon::ui::Prompter {
public:
    tabulon::ui::MessageAnswer ShowMessage(const QString&, tabulon::ui::MessageIcon, tabulon::ui::MessageButtons) override
    {
        return tabulon::ui::MessageAnswer::No;
    }
    QStringList ChooseWorkbooks() override { return {}; }
    void OpenUrl(const QUrl&) override {}
    QString ChooseSaveAs(const QString&) override { return {}; }
    bool ShowFileSaved(const QString&, int, int) override { return false; }
    int RunDialog(QDialog&) override { return QDialog::Rejected; }
};

double Milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

void Append16(Bytes& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Append32(Bytes& out, std::uint32_t value)
{
    Append16(out, value & 0xFFFF);
    Append16(out, value >> 16);
}

void AppendRecord(Bytes& out, unsigned type, const Bytes& body)
{
    Append16(out, type);
    Append16(out, static_cast<unsigned>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
}

// A BIFF8 workbook of one sheet, "Big", with `rows` rows of `columns` numbers and a label at
// the head of each row.
Bytes BigWorkbook(unsigned rows, unsigned columns)
{
    const auto bof = [](unsigned substream) {
        Bytes body;
        Append16(body, 0x0600);
        Append16(body, substream);
        body.resize(16, 0);
        return body;
    };
    Bytes sheet;
    AppendRecord(sheet, tabulon::biff::kBof, bof(0x10));
    for (unsigned row = 0; row < rows; ++row) {
        const std::string text = "row " + std::to_string(row + 1);
        Bytes label;
        Append16(label, row), Append16(label, 0), Append16(label, 15);
        Append16(label, static_cast<unsigned>(text.size()));
        label.push_back(0);
        label.insert(label.end(), text.begin(), text.end());
        AppendRecord(sheet, tabulon::biff::kLabel, label);
        for (unsigned column = 1; column < columns; ++column) {
            Bytes number;
            Append16(number, row), Append16(number, column), Append16(number, 15);
            const auto bits = std::bit_cast<std::uint64_t>(row * 0.5 + column);
            Append32(number, static_cast<std::uint32_t>(bits));
            Append32(number, static_cast<std::uint32_t>(bits >> 32));
            AppendRecord(sheet, tabulon::biff::kNumber, number);
        }
    }
    AppendRecord(sheet, tabulon::biff::kEof, {});

    Bytes globals;
    AppendRecord(globals, tabulon::biff::kBof, bof(0x05));
    Bytes boundSheet = {0, 0, 0, 0, 0, 0, 3, 0, 'B', 'i', 'g'};  // the sheet's offset first
    const std::size_t sheetOffset = globals.size() + 4 + boundSheet.size() + 4;  // after BOUNDSHEET and EOF
    tabulon::StoreLe32(boundSheet.data(), static_cast<std::uint32_t>(sheetOffset));
    AppendRecord(globals, tabulon::biff::kBoundSheet, boundSheet);
    AppendRecord(globals, tabulon::biff::kEof, {});
    globals.insert(globals.end(), sheet.begin(), sheet.end());

    tabulon::MemorySectorFile file;
    tabulon::CompoundEntry workbook;
    workbook.name = u"Workbook";
    workbook.data = std::move(globals);
    tabulon::WriteCompoundFile(file, {}, {workbook});
    return file.Bytes();
}

struct Timing {
    double openMs = 0;    // the window made and painted
    double scrollMs = 0;  // the slowest of 40 page steps through the grid, each painted
    int rows = 0;
};

Timing TimePreview(const fs::path& workbook)
{
    SilentPrompter prompter;
    tabulon::ui::PreviewSource source;
    source.workbookName = QString::fromStdString(tabulon::PathToUtf8(workbook.filename()));
    source.copy = QString::fromStdString(tabulon::PathToUtf8(workbook));
    Timing timing;
    const Clock::time_point started = Clock::now();
    tabulon::ui::CPreviewWindow preview(prompter, std::move(source), nullptr);
    preview.show();
    preview.grab();  // paints the whole window now
    timing.openMs = Milliseconds(Clock::now() - started);
    if (tabulon::ui::CSheetModel* model = preview.CurrentModel()) {
        timing.rows = model->rowCount();
        QScrollBar* bar = preview.Grid->verticalScrollBar();
        for (int step = 1; step <= 40; ++step) {
            const Clock::time_point before = Clock::now();
            bar->setValue(bar->maximum() * step / 40);
            preview.Grid->grab();
            timing.scrollMs = std::max(timing.scrollMs, Milliseconds(Clock::now() - before));
        }
    }
    return timing;
}

}  // namespace

int main(int argc, char** argv)
{
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    fs::path folder = "/work/shared/corpus";
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (argument == "-h" || argument == "--help") {
            std::puts("usage: tabulon-preview-bench [FOLDER] [--repeat K]");
            return 0;
        } else
            folder = argument;
    }

    std::vector<fs::path> workbooks;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".xls")
            workbooks.push_back(entry.path());
    }
    std::sort(workbooks.begin(), workbooks.end());
    const fs::path scratch = tabulon::CreatePrivateFolder(fs::temp_directory_path());
    const fs::path big = scratch / "generated-65536-rows.xls";
    {
        tabulon::OsFile file = tabulon::OsFile::CreateNew(big);
        file.WriteAll(BigWorkbook(65536, 10));
        file.Close();
    }
    workbooks.push_back(big);

    std::printf("%-48s %10s %8s %12s %12s\n", "workbook", "bytes", "rows", "open ms", "scroll ms");
    double slowest = 0;
    for (const fs::path& workbook : workbooks) {
        Timing best{1e300, 1e300, 0};
        for (int run = 0; run < repeat; ++run) {
            const Timing timing = TimePreview(workbook);
            best = {std::min(best.openMs, timing.openMs), std::min(best.scrollMs, timing.scrollMs), timing.rows};
        }
        slowest = std::max(slowest, best.openMs);
        std::printf("%-48s %10ju %8d %12.1f %12.1f\n", workbook.filename().string().c_str(),
                    static_cast<std::uintmax_t>(fs::file_size(workbook, error)), best.rows, best.openMs, best.scrollMs);
    }
    std::printf("slowest opening: %.1f ms (best of %d runs each)\n", slowest, repeat);
    fs::remove_all(scratch, error);
    return 0;
}
