#include "spreadsheet_judge.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tabulon::bench {
namespace fs = std::filesystem;

namespace {

std::string Digest(const Bytes& bytes)
{
    std::uint64_t fnv = 0xCBF2'9CE4'8422'2325ull;
    for (std::uint8_t byte : bytes)
        fnv = (fnv ^ byte) * 0x100'0000'01B3ull;
    const std::size_t other =
        std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return std::to_string(bytes.size()) + ":" + std::to_string(fnv) + ":" + std::to_string(other);
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text of XML character data, its entities replaced.
std::string Unescape(std::string_view text)
{
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            plain.push_back(text[i]);
            continue;
        }
        const std::size_t end = text.find(';', i);
        if (end == std::string_view::npos) {
            plain.append(text.substr(i));
            break;
        }
        const std::string_view entity = text.substr(i + 1, end - i - 1);
        if (entity == "amp") {
            plain.push_back('&');
        } else if (entity == "lt") {
            plain.push_back('<');
        } else if (entity == "gt") {
            plain.push_back('>');
        } else if (entity == "quot") {
            plain.push_back('"');
        } else if (entity == "apos") {
            plain.push_back('\'');
        } else if (!entity.empty() && entity[0] == '#') {
            const bool hex = entity.size() > 1 && (entity[1] == 'x' || entity[1] == 'X');
            const unsigned long code = std::strtoul(std::string(entity.substr(hex ? 2 : 1)).c_str(), nullptr, hex ? 16 : 10);
            // UTF-8 of the code point.
            if (code < 0x80) {
                plain.push_back(static_cast<char>(code));
            } else if (code < 0x800) {
                plain.push_back(static_cast<char>(0xC0 | (code >> 6)));
                plain.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            } else if (code < 0x10000) {
                plain.push_back(static_cast<char>(0xE0 | (code >> 12)));
                plain.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
                plain.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            } else {
                plain.push_back(static_cast<char>(0xF0 | (code >> 18)));
                plain.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
                plain.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
                plain.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            }
        } else {
            plain.append(text.substr(i, end - i + 1));
        }
        i = end;
    }
    return plain;
}

// The value of attribute `name` in a start tag, or nothing.
std::optional<std::string_view> Attribute(std::string_view tag, std::string_view name)
{
    std::string key(" ");
    key.append(name);
    key.append("=\"");
    const std::size_t at = tag.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::size_t from = at + key.size();
    const std::size_t to = tag.find('"', from);
    return to == std::string_view::npos ? std::nullopt : std::optional(tag.substr(from, to - from));
}

// Calls `each` with the start tag and the content of every element `<name ...>...</name>` (or
// `<name .../>`, with no content) of `xml`, in order; elements of that name are not nested.
template <typename Each>
void ForEachElement(std::string_view xml, std::string_view name, Each each)
{
    const std::string open = "<" + std::string(name), close = "</" + std::string(name) + ">";
    for (std::size_t at = xml.find(open); at != std::string_view::npos; at = xml.find(open, at + 1)) {
        const char after = at + open.size() < xml.size() ? xml[at + open.size()] : '>';
        if (after != ' ' && after != '>' && after != '/')
            continue;  // a longer name that starts alike
        const std::size_t tagEnd = xml.find('>', at);
        if (tagEnd == std::string_view::npos)
            return;
        const std::string_view tag = xml.substr(at, tagEnd - at + 1);
        if (tag.ends_with("/>")) {
            each(tag, std::string_view());
            continue;
        }
        const std::size_t end = xml.find(close, tagEnd);
        if (end == std::string_view::npos)
            return;
        each(tag, xml.substr(tagEnd + 1, end - tagEnd - 1));
        at = end;
    }
}

// The text of a string item (<si> or <is>): its <t> runs, the phonetic ones (<rPh>) left out.
std::string StringItemText(std::string_view item)
{
    std::string plain(item);
    for (std::size_t at = plain.find("<rPh"); at != std::string::npos; at = plain.find("<rPh", at)) {
        const std::size_t end = plain.find("</rPh>", at);
        plain.erase(at, end == std::string::npos ? std::string::npos : end + 6 - at);
    }
    std::string text;
    ForEachElement(plain, "t", [&](std::string_view, std::string_view run) { text += Unescape(run); });
    return text;
}

// A cell reference ("BC12") as its zero-based row and column.
std::optional<std::pair<std::uint32_t, std::uint32_t>> CellPlace(std::string_view reference)
{
    std::uint32_t column = 0, row = 0;
    std::size_t i = 0;
    for (; i < reference.size() && reference[i] >= 'A' && reference[i] <= 'Z'; ++i)
        column = column * 26 + static_cast<std::uint32_t>(reference[i] - 'A' + 1);
    if (i == 0 || i == reference.size() || column > 0x10000)
        return std::nullopt;
    for (; i < reference.size() && reference[i] >= '0' && reference[i] <= '9' && row < 0x1000000; ++i)
        row = row * 10 + static_cast<std::uint32_t>(reference[i] - '0');
    if (i != reference.size() || row == 0)
        return std::nullopt;
    return std::pair(row - 1, column - 1);
}

// The number format of each cell style of an .xlsx's styles part: its code where the part
// defines one, else the built-in format's number.
std::vector<std::string> StyleFormats(std::string_view styles)
{
    std::unordered_map<std::string, std::string> codes;
    ForEachElement(styles, "numFmt", [&](std::string_view tag, std::string_view) {
        const auto id = Attribute(tag, "numFmtId");
        const auto code = Attribute(tag, "formatCode");
        if (id && code)
            codes[std::string(*id)] = Unescape(*code);
    });
    std::vector<std::string> formats;
    ForEachElement(styles, "cellXfs", [&](std::string_view, std::string_view xfs) {
        ForEachElement(xfs, "xf", [&](std::string_view tag, std::string_view) {
            const std::string id(Attribute(tag, "numFmtId").value_or("0"));
            const auto code = codes.find(id);
            formats.push_back(code != codes.end() ? code->second : "#" + id);
        });
    });
    return formats;
}

// The cells of one sheet part of an .xlsx as sheet `sheet`: each value as stored (a date is its
// serial number, shown in a date format), a number with the format it is shown in.
void AddXlsxSheet(std::string_view part, std::size_t sheet, const std::vector<std::string>& strings,
                  const std::vector<std::string>& formats, std::string_view folder, CellTable& table)
{
    ForEachElement(part, "c", [&](std::string_view tag, std::string_view content) {
        const auto place = CellPlace(Attribute(tag, "r").value_or(""));
        if (!place || content.empty())
            return;
        const std::string_view type = Attribute(tag, "t").value_or("n");
        std::string value;
        if (type == "inlineStr") {
            value = StringItemText(content);
        } else {
            std::string stored;
            ForEachElement(content, "v", [&](std::string_view, std::string_view v) { stored = Unescape(v); });
            if (type == "s") {
                const std::size_t index = std::strtoul(stored.c_str(), nullptr, 10);
                value = !stored.empty() && index < strings.size() ? strings[index] : std::string();
            } else if (type == "b") {
                value = stored.empty() ? std::string() : stored == "1" ? "TRUE" : "FALSE";
            } else {
                value = stored;
            }
            if (type == "n" && !value.empty()) {
                const std::size_t style = std::strtoul(std::string(Attribute(tag, "s").value_or("0")).c_str(), nullptr, 10);
                value += CellTable::kFormatMark;
                value += style < formats.size() ? formats[style] : "#0";
            }
        }
        // A formula that shows the workbook's own file name shows where the judge put it:
        // another folder for every file judged.
        for (std::size_t at = value.find(folder); !folder.empty() && at != std::string::npos; at = value.find(folder, at))
            value.replace(at, folder.size(), "...");
        if (!value.empty())
            table.Add(sheet, place->first, place->second, "c" + value);
    });
}

// The cells of an .xlsx unpacked into `folder`, its sheets in the workbook's order; `book`, the
// folder the workbook was converted from, is left out of every value.
void AddXlsx(const fs::path& folder, const std::string& book, CellTable& table)
{
    const std::string workbook = ReadText(folder / "xl" / "workbook.xml");
    const std::string relations = ReadText(folder / "xl" / "_rels" / "workbook.xml.rels");
    std::unordered_map<std::string, std::string> targets;
    ForEachElement(relations, "Relationship", [&](std::string_view tag, std::string_view) {
        const auto id = Attribute(tag, "Id");
        const auto target = Attribute(tag, "Target");
        if (id && target)
            targets[std::string(*id)] = std::string(target->starts_with("/xl/") ? target->substr(4) : *target);
    });
    std::vector<std::string> strings;
    const std::string shared = ReadText(folder / "xl" / "sharedStrings.xml");
    ForEachElement(shared, "si", [&](std::string_view, std::string_view item) { strings.push_back(StringItemText(item)); });
    const std::vector<std::string> formats = StyleFormats(ReadText(folder / "xl" / "styles.xml"));
    std::size_t sheet = 0;
    ForEachElement(workbook, "sheet", [&](std::string_view tag, std::string_view) {
        const auto id = Attribute(tag, "r:id");
        const auto target = id ? targets.find(std::string(*id)) : targets.end();
        if (target != targets.end())
            AddXlsxSheet(ReadText(folder / "xl" / target->second), sheet, strings, formats, book, table);
        ++sheet;
    });
}

#ifndef _WIN32

std::optional<fs::path> OnPath(const char* name)
{
    const char* path = std::getenv("PATH");
    if (!path)
        return std::nullopt;
    std::istringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder.empty() ? "." : folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

// Runs `args` in a process group of its own, output to `log`; past `seconds` the whole group
// is killed. Whether it finished in time.
bool RunWithin(const std::vector<std::string>& args, const fs::path& log, int seconds)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string logPath = log.string();
    const pid_t child = ::fork();
    if (child < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        ::setpgid(0, 0);
        const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        if (nothing >= 0)
            ::dup2(nothing, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::setpgid(child, child);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool inTime = true;
    for (;;) {
        // Noticed without reaping it: while the child is not reaped, its process group's number
        // cannot be taken by anyone else.
        siginfo_t info{};
        const int waited = ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((waited == 0 && info.si_pid == child) || (waited < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            inTime = false;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Past the limit the whole conversion goes; in time, only what it left running in its group.
    ::kill(-child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return inTime;
}

#endif

}  // namespace

std::optional<SpreadsheetJudge> SpreadsheetJudge::Find(JudgeProgram kind, int workers, int secondsPerFile)
{
#ifdef _WIN32
    (void)kind;
    (void)workers;
    (void)secondsPerFile;
    return std::nullopt;
#else
    const auto program = OnPath(kind == JudgeProgram::LibreOffice ? "soffice" : "ssconvert");
    if (!program || !OnPath("unzip"))
        return std::nullopt;
    std::string scratch = (fs::temp_directory_path() / "tabulon-judge-XXXXXX").string();
    if (!::mkdtemp(scratch.data()))
        return std::nullopt;
    SpreadsheetJudge judge;
    judge.kind_ = kind;
    judge.program_ = *program;
    judge.scratch_ = scratch;
    judge.workers_ = std::max(1, workers);
    judge.secondsPerFile_ = std::max(1, secondsPerFile);
    const fs::path log = judge.scratch_ / "version.log";
    if (!RunWithin({program->string(), "--version"}, log, judge.secondsPerFile_))
        return std::nullopt;
    std::istringstream lines(ReadText(log));
    for (std::string line; std::getline(lines, line);) {
        if (kind == JudgeProgram::LibreOffice && line.rfind("LibreOffice", 0) == 0)
            judge.version_ = line;
        // "ssconvert version '1.12.55'"
        const std::size_t quote = line.find('\'');
        if (kind == JudgeProgram::Gnumeric && line.rfind("ssconvert version", 0) == 0 && quote != std::string::npos)
            judge.version_ = "Gnumeric " + line.substr(quote + 1, line.find('\'', quote + 1) - quote - 1);
    }
    if (judge.version_.empty())
        return std::nullopt;
    return judge;
#endif
}

SpreadsheetJudge::SpreadsheetJudge(SpreadsheetJudge&& other) noexcept
    : kind_(other.kind_), program_(std::move(other.program_)), scratch_(std::move(other.scratch_)), version_(std::move(other.version_)),
      workers_(other.workers_), secondsPerFile_(other.secondsPerFile_), conversions_(other.conversions_),
      timedOut_(other.timedOut_), seconds_(other.seconds_), done_(std::move(other.done_))
{
    other.scratch_.clear();
}

SpreadsheetJudge::~SpreadsheetJudge()
{
    if (scratch_.empty())
        return;
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
}

Conversion SpreadsheetJudge::ConvertOne(const Bytes& file, int worker, int job)
{
    Conversion conversion;
#ifdef _WIN32
    (void)file;
    (void)worker;
    (void)job;
#else
    const fs::path folder = scratch_ / ("job-" + std::to_string(job));
    const fs::path out = folder / "out";
    fs::create_directories(out);
    const fs::path book = folder / "book.xls";
    {
        std::ofstream stream(book, std::ios::binary | std::ios::trunc);
        stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    const fs::path log = folder / "log";
    bool inTime = false;
    // Both save .xlsx, whose cells say their row and column and keep each value as stored (a
    // formula's result among them) apart from the number format it is shown in, then unpacked.
    // (LibreOffice's CSV writes a date as a date; Gnumeric's starts each sheet at its first cell
    // in use, and its own file format keeps no formula's result.)
    if (kind_ == JudgeProgram::LibreOffice) {
        const fs::path profile = scratch_ / ("profile-" + std::to_string(worker));
        inTime = RunWithin({"/bin/sh", "-c",
                            "\"$0\" -env:UserInstallation=\"file://$1\" --headless --norestore --nolockcheck "
                            "--convert-to xlsx --outdir \"$2\" \"$3\" && unzip -q -o \"$2/book.xlsx\" -d \"$2/x\"",
                            program_.string(), profile.string(), out.string(), book.string()},
                           log, secondsPerFile_);
    } else {
        inTime = RunWithin({"/bin/sh", "-c",
                            "\"$0\" --export-type=Gnumeric_Excel:xlsx2 \"$1\" \"$2/book.xlsx\" && unzip -q -o \"$2/book.xlsx\" -d \"$2/x\"",
                            program_.string(), book.string(), out.string()},
                           log, secondsPerFile_);
    }
    if (!inTime)
        conversion.timedOut = true;
    else
        AddXlsx(out / "x", folder.string(), conversion.cells);
    conversion.cells.Finish();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
#endif
    return conversion;
}

std::vector<Conversion> SpreadsheetJudge::Convert(const std::vector<const Bytes*>& files)
{
    std::vector<std::string> digests;
    std::vector<std::size_t> todo;  // the first file of each digest not converted yet
    for (std::size_t i = 0; i < files.size(); ++i) {
        digests.push_back(Digest(*files[i]));
        if (!done_.count(digests[i]) &&
            std::none_of(todo.begin(), todo.end(), [&](std::size_t j) { return digests[j] == digests[i]; }))
            todo.push_back(i);
    }
    std::vector<Conversion> converted(todo.size());
    std::atomic<std::size_t> next{0};
    const int firstJob = conversions_;
    const auto start = std::chrono::steady_clock::now();
    auto work = [&](int worker) {
        for (std::size_t k = next++; k < todo.size(); k = next++) {
            try {
                converted[k] = ConvertOne(*files[todo[k]], worker, firstJob + static_cast<int>(k));
            } catch (const std::exception&) {
                converted[k] = Conversion{};  // no cells: a scratch file or a process that failed
                converted[k].cells.Finish();
            }
        }
    };
    std::vector<std::thread> threads;
    for (int w = 1; w < std::min<int>(workers_, static_cast<int>(todo.size())); ++w)
        threads.emplace_back(work, w);
    work(0);
    for (std::thread& thread : threads)
        thread.join();
    seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (std::size_t k = 0; k < todo.size(); ++k) {
        ++conversions_;
        timedOut_ += converted[k].timedOut ? 1 : 0;
        done_.emplace(digests[todo[k]], std::move(converted[k]));
    }
    std::vector<Conversion> results;
    for (const std::string& digest : digests)
        results.push_back(done_.at(digest));
    return results;
}

}  // namespace tabulon::bench
