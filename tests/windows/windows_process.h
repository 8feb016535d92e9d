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

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/io/os_file.h"
#include "tests/support/scratch.h"
#include "tests/support/workbooks.h"

namespace tabulon::test {

// A file kept open with the given access and sharing for as long as this lives, as another
// program holds it; a file that cannot be held fails the test.
struct HeldFile {
    HeldFile(const std::filesystem::path& path, DWORD access, DWORD share)
        : handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                 &CloseHandle)
    {
        EXPECT_NE(handle.get(), INVALID_HANDLE_VALUE) << "error " << GetLastError() << " holding " << path.string();
    }
    std::unique_ptr<void, decltype(&CloseHandle)> handle;
};

struct ProgramRun {
    DWORD exitCode = ~DWORD{0};
    std::string out;  // standard output and error, as the program wrote them (UTF-8)
    std::string err;
};

// Runs `program` with `arguments` in `folder`; its output goes through files in a scratch
// folder of its own. A program that does not start, or still runs after `limit` and is ended,
// fails the test.
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

    // Each argument in quotes, which the C run-time's parsing takes off again as long as the
    // argument holds no quote and does not end in a backslash.
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    for (const std::wstring& argument : arguments) {
        EXPECT_TRUE(argument.find(L'"') == std::wstring::npos && !argument.ends_with(L'\\')) << "cannot quote it";
        commandLine += L" \"" + argument + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    std::tie(startup.hStdInput, startup.hStdOutput, startup.hStdError) = std::tie(input, out, err);
    PROCESS_INFORMATION process{};
    ProgramRun run;
    const bool started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, folder.c_str(), &startup, &process) != 0;
    EXPECT_TRUE(started) << "error " << GetLastError() << " starting " << program.string();
    for (HANDLE handle : {input, out, err})
        CloseHandle(handle);
    if (!started)
        return run;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        ADD_FAILURE() << program.string() << " did not end in time";
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (auto [name, text] : {std::pair{"out", &run.out}, {"err", &run.err}}) {
        const Bytes bytes = ReadWholeFile(outputs.Path() / name);
        text->assign(bytes.begin(), bytes.end());
    }
    return run;
}

}  // namespace tabulon::test
