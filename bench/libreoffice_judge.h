// LibreOffice as an outside judge of what a workbook holds: each file is converted headless to
// one CSV file per sheet, and the non-empty fields become the cells, keyed by the sheet's
// place among the sheets LibreOffice writes, the row and the column.
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
    CellTable cells;        // empty when LibreOffice could not load the file
};

class LibreOfficeJudge {
public:
    // Nothing when no `soffice` is on PATH (or on this system the judge cannot run at all).
    static std::optional<LibreOfficeJudge> Find(int workers, int secondsPerFile);
    LibreOfficeJudge(LibreOfficeJudge&& other) noexcept;
    LibreOfficeJudge& operator=(LibreOfficeJudge&&) = delete;
    ~LibreOfficeJudge();  // removes its scratch folder and profiles

    // "LibreOffice 7.4.7.2 ...", as `soffice --version` says it.
    const std::string& Version() const { return version_; }
    // Converts the files, `workers` at a time, each in its own LibreOffice profile and with
    // the time limit per file. The same bytes are converted once per judge.
    std::vector<Conversion> Convert(const std::vector<const Bytes*>& files);

    int Conversions() const { return conversions_; }
    int TimedOut() const { return timedOut_; }
    double Seconds() const { return seconds_; }

private:
    LibreOfficeJudge() = default;
    Conversion ConvertOne(const Bytes& file, int worker, int job);

    std::filesystem::path program_, scratch_;
    std::string version_;
    int workers_ = 1, secondsPerFile_ = 60;
    int conversions_ = 0, timedOut_ = 0;
    double seconds_ = 0;
    std::unordered_map<std::string, Conversion> done_;  // by a digest of the bytes
};

}  // namespace tabulon::bench
