// A spreadsheet program as an outside judge of what a workbook holds: LibreOffice, converting
// headless, or Gnumeric's ssconvert writes each file as .xlsx (unpacked with unzip), whose cells
// give their row and column, their values as stored (a formula's as the program works it out)
// and, for numbers, the number format they are shown in. Cells are keyed by the sheet's place
// among the sheets the program writes, the row and the column.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "recovery_cells.h"

namespace tabulon::bench {

struct Conversion {
    bool timedOut = false;  // killed at the time limit: no cells
    CellTable cells;        // empty when the program could not load the file
};

enum class JudgeProgram { LibreOffice, Gnumeric };

class SpreadsheetJudge {
public:
    // Nothing when the program (`soffice` or `ssconvert`, and `unzip`) is not on PATH (or on this system the
    // judge cannot run at all).
    static std::optional<SpreadsheetJudge> Find(JudgeProgram program, int workers, int secondsPerFile);
    SpreadsheetJudge(SpreadsheetJudge&& other) noexcept;
    SpreadsheetJudge& operator=(SpreadsheetJudge&&) = delete;
    ~SpreadsheetJudge();  // removes its scratch folder and profiles

    // "LibreOffice 7.4.7.2 ...", "Gnumeric 1.12.55", as the program's --version says it.
    const std::string& Version() const { return version_; }
    // Converts the files, `workers` at a time, each LibreOffice conversion in its own profile,
    // with the time limit per file. The same bytes are converted once per judge.
    std::vector<Conversion> Convert(const std::vector<const Bytes*>& files);

    int Conversions() const { return conversions_; }
    int TimedOut() const { return timedOut_; }
    double Seconds() const { return seconds_; }

private:
    SpreadsheetJudge() = default;
    Conversion ConvertOne(const Bytes& file, int worker, int job);

    JudgeProgram kind_ = JudgeProgram::LibreOffice;
    std::filesystem::path program_, scratch_;
    std::string version_;
    int workers_ = 1, secondsPerFile_ = 60;
    int conversions_ = 0, timedOut_ = 0;
    double seconds_ = 0;
    std::unordered_map<std::string, Conversion> done_;  // by a digest of the bytes
};

}  // namespace tabulon::bench
