// tabulon-repair: rebuilds the headers of damaged workbooks from the command line.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "engine/base/text.h"
#include "engine/io/freed_memory.h"
#include "engine/io/os_file.h"
#include "export.h"
#include "options.h"
#include "repair_workbook.h"
#include "report.h"

namespace {

using namespace tabulon;
using namespace tabulon::cli;

constexpr int kExitAllRepaired = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitBadUsage = 2;
constexpr int kExitDataLost = 3;

// A progress line on a terminal, cleared before anything else is printed: which workbook of
// several, and how far a salvage that takes more than a second has come.
class ProgressLine {
public:
    ProgressLine(bool enabled, std::size_t total) : enabled_(enabled), total_(total) {}
    void Show(std::size_t done, const std::string& name)
    {
        done_ = done;
        name_ = name;
        started_ = std::chrono::steady_clock::now();
        if (!enabled_ || total_ < 2)
            return;
        Draw("");
    }
    void Salvaging(int percent)
    {
        if (!enabled_ || std::chrono::steady_clock::now() - started_ < std::chrono::seconds(1))
            return;
        Draw(": salvaging, " + std::to_string(percent) + " %");
    }
    void Clear()
    {
        if (shown_)
            std::cerr << "\r\x1b[K" << std::flush;
        shown_ = false;
    }

private:
    void Draw(const std::string& state)
    {
        std::cerr << "\r\x1b[K";
        if (total_ > 1)
            std::cerr << "[" << done_ + 1 << "/" << total_ << "] ";
        std::cerr << name_ << state << std::flush;
        shown_ = true;
    }

    bool enabled_;
    std::size_t total_;
    bool shown_ = false;
    std::size_t done_ = 0;
    std::string name_;
    std::chrono::steady_clock::time_point started_;
};

int Run(const std::vector<std::string>& arguments)
{
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    switch (parsed.request) {
    case Request::Help:
        std::cout << kUsage;
        return kExitAllRepaired;
    case Request::Version:
        std::cout << "tabulon-repair " TABULON_VERSION "\n";
        return kExitAllRepaired;
    case Request::BadUsage:
        std::cerr << "tabulon-repair: " << parsed.problem << "\n"
                  << "Try 'tabulon-repair --help' for more information.\n";
        return kExitBadUsage;
    case Request::Repair:
        break;
    }

    const Options& options = parsed.options;
    KeepFreedMemory();
    if (options.exportCsvDir)
        return ExportWorkbooks(options) ? kExitAllRepaired : kExitSomeFailed;
    const std::size_t total = options.workbooks.size();
    ProgressLine progress(!options.quiet && StandardErrorIsTerminal(), total);
    int status = kExitAllRepaired;
    RunCopies copies;
    for (std::size_t i = 0; i < total; ++i) {
        const std::filesystem::path workbook = PathFromUtf8(options.workbooks[i]);
        const std::string name = PathToUtf8(workbook);  // with the system's separators
        progress.Show(i, name);
        const WorkbookResult result =
            RepairWorkbook(workbook, options, copies, [&progress](int percent) { progress.Salvaging(percent); });
        progress.Clear();
        GiveBackFreedMemory();
        if (result.outcome == Outcome::Failed) {
            status = kExitSomeFailed;
            std::cerr << "tabulon-repair: " << name << ": " << result.error << "\n" << std::flush;
        } else if (result.DataLost()) {
            if (status != kExitSomeFailed)
                status = kExitDataLost;  // written, but with less than the workbook held
        } else if (!result.Opens() && (options.check || !options.designRebuildOnly)) {
            status = kExitSomeFailed;  // repaired as far as it goes, but still not readable
        }
        if (options.json)
            std::cout << ResultToJson(result) << "\n" << std::flush;
        else if (!options.quiet && result.outcome != Outcome::Failed)
            std::cout << DescribeResult(result) << "\n" << std::flush;
    }
    return status;
}

}  // namespace

#ifdef _WIN32
#ifdef __MINGW32__
// No Windows shell expands *.xls: the C run-time expands wmain's arguments itself when asked
// (MSVC builds link wsetargv.obj for it).
extern "C" {
int _dowildcard = -1;
}
#endif

// The arguments arrive as UTF-16, whatever the code page, and are worked with as UTF-8. What
// is printed is UTF-8: a console is switched to that code page while the program runs, and
// files and pipes get the bytes as they are.
int wmain(int argc, wchar_t** argv)
{
    struct ConsoleUtf8 {
        UINT before = GetConsoleOutputCP();
        ConsoleUtf8()
        {
            if (before != 0)
                SetConsoleOutputCP(CP_UTF8);
        }
        ~ConsoleUtf8()
        {
            if (before != 0)
                SetConsoleOutputCP(before);
        }
    } console;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(Utf8FromUtf16(std::wstring_view(argv[i])));
    return Run(arguments);
}
#else
int main(int argc, char** argv)
{
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
