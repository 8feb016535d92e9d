// Programs run from Windows tests, each within a time limit and with its output kept, and files
// held open the way another program would hold them. Windows only.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/io/os_file.h"
#include "tests/support/scratch.h"
#include "tests/support/workbooks.h"

namespace tabulon::test {

// A file kept open with the given access and sharing for as long as this lives.
class HeldFile {
public:
    HeldFile(const std::filesystem::path& path, DWORD access, DWORD share)
        : handle_(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~HeldFile()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// One argument as the C run-time's command-line parsing takes it back apart.
inline std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        for (; i < argument.size() && argument[i] == L'\\'; ++i)
            ++backslashes;
        if (i == argument.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        quoted.append(argument[i] == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted.push_back(argument[i]);
    }
    return quoted + L"\"";
}

struct ProgramRun {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    std::string out;  // standard output and error, as the program wrote them (UTF-8)
    std::string err;
};

// Runs `program` with `arguments` in `folder`; its output goes through files in a scratch
// folder of its own. A program still running after `limit` is ended and reported so.
inline ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                             const std::filesystem::path& folder,
                             std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    const ScratchFolder outputs;
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto open = [&](const std::filesystem::path& path, DWORD access, DWORD disposition) {
        return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE input = open(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = open(outputs.Path() / "out", GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = open(outputs.Path() / "err", GENERIC_WRITE, CREATE_ALWAYS);

    std::wstring commandLine = QuoteArgument(program.wstring());
    for (const std::wstring& argument : arguments)
        commandLine += L" " + QuoteArgument(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    ProgramRun run;
    run.started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                 nullptr, folder.c_str(), &startup, &process) != 0;
    for (HANDLE handle : {input, out, err})
        CloseHandle(handle);
    if (!run.started)
        return run;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        run.timedOut = true;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const auto text = [](const std::filesystem::path& path) {
        const Bytes bytes = ReadWholeFile(path);
        return std::string(bytes.begin(), bytes.end());
    };
    run.out = text(outputs.Path() / "out");
    run.err = text(outputs.Path() / "err");
    return run;
}

}  // namespace tabulon::test
