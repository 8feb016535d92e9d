#include "options.h"

#include <string_view>

namespace tabulon::cli {

// The text is made from docs/command-line.md, the one source of the manual page too.
const char* const kUsage =
#include "usage_text.inc"
    ;

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
