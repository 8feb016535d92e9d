#include "options.h"

#include <string_view>

namespace tabulon::cli {

const char* const kUsage =
    "Usage: tabulon-repair [options] WORKBOOK...\n"
    "Repair damaged legacy spreadsheet workbooks (*.xls): rebuild a damaged header from the\n"
    "workbook's own sectors, or salvage its sheets into a new copy when no header opens it.\n"
    "\n"
    "  --in-place           rebuild each workbook's header in place: only its first 512 bytes\n"
    "                       are written (a shorter file grows to 512 bytes), and with\n"
    "                       --rebuild=auto only when the result opens with no damage left\n"
    "  -o, --output-dir DIR write a repaired copy of each workbook into DIR (default: the\n"
    "                       workbook's own folder) and never write the workbook itself\n"
    "  -s, --suffix TEXT    name of a copy: base name (up to the last \".\") + TEXT + \".xls\"\n"
    "                       (default \"_repaired\")\n"
    "  --overwrite          replace an existing copy of that name (default: refuse that file),\n"
    "                       or a link of that name itself; never a copy from the same run\n"
    "  -n, --dry-run        write nothing; report what the rebuild would change\n"
    "  --json               one JSON object per workbook on stdout: path, outcome, error text,\n"
    "                       and every header field before and after, by its format name\n"
    "  -q, --quiet          errors only\n"
    "  --rebuild=MODE       auto (default): a workbook that opens as it is keeps its header and\n"
    "                       nothing is written; otherwise the plain rebuild, and a deeper one from\n"
    "                       the file's own structure when the plain result does not open; a file\n"
    "                       that is clearly no workbook is refused; design: the plain rebuild\n"
    "                       alone, exactly, written even when its result does not open\n"
    "  --check              verify each workbook as it is and report; write nothing\n"
    "  --export-csv DIR     write each sheet of each workbook, as the repair brings it back (in\n"
    "                       memory: no repaired copy is written), into DIR as WORKBOOK-SHEET.csv\n"
    "                       (UTF-8, RFC 4180); an unreadable workbook writes nothing; with\n"
    "                       --overwrite replaces CSV files of those names, with -n names the files\n"
    "                       it would write; takes none of --in-place, --check, -o, -s,\n"
    "                       --rebuild=design\n"
    "  -h, --help           show this help\n"
    "      --version        show the program's version\n"
    "\n"
    "Exit status: 0 every workbook repaired or kept (and, with --rebuild=auto, opening; with\n"
    "--check, opening), 1 at least one failed, 2 bad usage, 3 none failed but at least one\n"
    "was written (or, with -n, would be) holding less than it held: a salvaged copy that lost\n"
    "sheets, records, sheet names or streams, or a header rebuilt in place with damage beyond\n"
    "it remaining.\n"
    "With --export-csv: 0 every workbook exported, 1 at least one failed (it writes nothing),\n"
    "2 bad usage.\n";

namespace {

ParsedCommandLine BadUsage(std::string problem)
{
    ParsedCommandLine parsed;
    parsed.request = Request::BadUsage;
    parsed.problem = std::move(problem);
    return parsed;
}

bool HasPathSeparator(std::string_view text)
{
    return text.find('/') != std::string_view::npos || text.find('\\') != std::string_view::npos;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    ParsedCommandLine parsed;
    Options& options = parsed.options;
    bool suffixGiven = false;
    bool optionsEnded = false;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
            options.workbooks.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }

        // Options with a value take it as "--name=VALUE", "--name VALUE", "-xVALUE" or "-x VALUE".
        std::string name = argument;
        std::optional<std::string> attached;
        if (argument.starts_with("--")) {
            if (const auto equals = argument.find('='); equals != std::string::npos) {
                name = argument.substr(0, equals);
                attached = argument.substr(equals + 1);
            }
        } else if (argument.size() > 2) {
            name = argument.substr(0, 2);
            attached = argument.substr(2);
        }
        auto takeValue = [&]() -> std::optional<std::string> {
            if (attached)
                return attached;
            if (i + 1 < arguments.size())
                return arguments[++i];
            return std::nullopt;
        };
        auto noValue = [&]() { return !attached.has_value(); };

        if (name == "-h" || name == "--help") {
            if (!noValue())
                return BadUsage("option '" + name + "' takes no value");
            parsed.request = Request::Help;
        } else if (name == "--version") {
            if (!noValue())
                return BadUsage("option '--version' takes no value");
            if (parsed.request != Request::Help)
                parsed.request = Request::Version;
        } else if (name == "--in-place" && noValue()) {
            options.inPlace = true;
        } else if (name == "--overwrite" && noValue()) {
            options.overwrite = true;
        } else if ((name == "-n" || name == "--dry-run") && noValue()) {
            options.dryRun = true;
        } else if (name == "--json" && noValue()) {
            options.json = true;
        } else if ((name == "-q" || name == "--quiet") && noValue()) {
            options.quiet = true;
        } else if (name == "--check" && noValue()) {
            options.check = true;
        } else if (name == "--rebuild") {
            const auto value = takeValue();
            if (value == "auto")
                options.designRebuildOnly = false;
            else if (value == "design")
                options.designRebuildOnly = true;
            else
                return BadUsage("option '--rebuild' takes auto or design");
        } else if (name == "-o" || name == "--output-dir") {
            const auto value = takeValue();
            if (!value || value->empty())
                return BadUsage("option '" + name + "' needs a folder");
            options.outputDir = *value;
        } else if (name == "--export-csv") {
            const auto value = takeValue();
            if (!value || value->empty())
                return BadUsage("option '--export-csv' needs a folder");
            options.exportCsvDir = *value;
        } else if (name == "-s" || name == "--suffix") {
            const auto value = takeValue();
            if (!value)
                return BadUsage("option '" + name + "' needs a text");
            if (HasPathSeparator(*value))
                return BadUsage("the suffix must not contain a path separator");
            options.suffix = *value;
            suffixGiven = true;
        } else if (attached && name.starts_with("--")) {
            return BadUsage("option '" + name + "' takes no value");
        } else {
            return BadUsage("unknown option '" + argument + "'");
        }
    }

    if (parsed.request != Request::Repair)
        return parsed;
    if (options.exportCsvDir && (options.inPlace || options.check || options.outputDir || suffixGiven || options.designRebuildOnly))
        return BadUsage("--export-csv writes CSV files only and takes none of --in-place, --check, --output-dir, --suffix, --rebuild=design");
    if (options.check && (options.inPlace || options.outputDir || options.overwrite || suffixGiven || options.dryRun))
        return BadUsage("--check writes nothing and takes none of --in-place, --output-dir, --overwrite, --suffix, --dry-run");
    if (options.inPlace && (options.outputDir || options.overwrite || suffixGiven))
        return BadUsage("--in-place cannot be combined with --output-dir, --overwrite or --suffix");
    if (options.workbooks.empty())
        return BadUsage("no workbook given");
    return parsed;
}

}  // namespace tabulon::cli
