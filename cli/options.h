// Command-line options of tabulon-repair.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tabulon::cli {

struct Options {
    bool inPlace = false;
    bool overwrite = false;
    bool dryRun = false;
    bool json = false;
    bool quiet = false;
    bool check = false;                  // verify only, write nothing
    bool designRebuildOnly = false;      // --rebuild=design
    std::optional<std::string> outputDir;
    std::optional<std::string> exportCsvDir;  // --export-csv: the sheets as CSV files, into this folder
    std::string suffix = "_repaired";
    std::vector<std::string> workbooks;
};

enum class Request { Repair, Help, Version, BadUsage };

struct ParsedCommandLine {
    Request request = Request::Repair;
    Options options;
    std::string problem;  // what was wrong, for Request::BadUsage
};

// Parses the arguments after the program name (UTF-8).
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

extern const char* const kUsage;

}  // namespace tabulon::cli
