// Forked children for tests, each waited for within a time limit: to run checks as an
// ordinary user or with small file systems of their own, and to run programs. What the machine
// may not allow is tried out in a child first, so that a test can skip up front and say why.
// Linux only: on Windows the tests that need a child say why they skip.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/support/scratch.h"
#endif

namespace tabulon::test {

struct ChildSetup {
    // tmpfs file systems of so many bytes on these folders, in a mount namespace of the
    // child's own: the host never sees them, and they end with the child.
    std::vector<std::pair<std::filesystem::path, std::size_t>> smallFileSystems = {};
    bool ordinaryUser = false;  // root becomes user nobody; anyone else stays as is
};

#ifdef _WIN32

inline std::optional<std::string> WhyNoOrdinaryUser(const std::filesystem::path& = {})
{
    return "on Windows a test cannot give up its rights for a child of its own (no fork, no setuid)";
}

inline std::optional<std::string> WhyNoSmallFileSystems()
{
    return "on Windows a test cannot mount small file systems of its own";
}

inline ::testing::AssertionResult RunChecksInChild(const ChildSetup&, const std::function<void()>&)
{
    return ::testing::AssertionFailure() << "no child processes for checks on Windows; ask WhyNoSmallFileSystems first";
}

inline ::testing::AssertionResult RunAsOrdinaryUser(const std::function<void()>&)
{
    return ::testing::AssertionFailure() << "no child processes for checks on Windows; ask WhyNoOrdinaryUser first";
}

#else

using namespace std::chrono_literals;

inline constexpr int kChildSetupFailed = 120;  // the exit status of a child that could not set up

struct ChildExit {
    int status = 0;  // as waitpid gives it
    bool timedOut = false;
    std::string error;

    int ExitCode() const { return error.empty() && !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    std::string Describe() const
    {
        if (!error.empty())
            return "could not be run: " + error;
        if (timedOut)
            return "did not end in time and was killed";
        if (WIFSIGNALED(status))
            return std::string("was killed by signal ") + strsignal(WTERMSIG(status));
        if (ExitCode() == kChildSetupFailed)
            return "could not set itself up (see above)";
        return "exited with status " + std::to_string(ExitCode());
    }
};

namespace detail {

inline std::string Failed(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

inline bool WriteTo(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY);
    const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        ::close(fd);
    return written;
}

// Empty when the child is set up as asked, else why not.
inline std::string SetUp(const ChildSetup& setup, uid_t nobodyUid, gid_t nobodyGid)
{
    if (!setup.smallFileSystems.empty()) {
        if (::geteuid() == 0) {
            if (::unshare(CLONE_NEWNS) != 0)
                return "root without CAP_SYS_ADMIN? " + Failed("unshare");
        } else {
            // An ordinary user may mount in a user namespace of its own, where it stays itself.
            const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                return "not root, and user namespaces are off: " + Failed("unshare");
            if (!WriteTo("/proc/self/setgroups", "deny") || !WriteTo("/proc/self/uid_map", uid + " " + uid + " 1") ||
                !WriteTo("/proc/self/gid_map", gid + " " + gid + " 1"))
                return Failed("mapping the user namespace");
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return Failed("making the mounts private");
        for (const auto& [where, bytes] : setup.smallFileSystems) {
            if (::mount("tabulon-test", where.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) != 0)
                return Failed("mounting a tmpfs on " + where.string());
        }
    }
    if (setup.ordinaryUser && ::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGid) != 0 || ::setuid(nobodyUid) != 0)
            return Failed("becoming user nobody");
        if (::setuid(0) == 0)
            return "could become root again";
    }
    return {};
}

// Forks a child that sets itself up (telling why it could not on `reasons`), runs `body` and
// exits with what it returns.
inline pid_t Start(const ChildSetup& setup, const std::function<int()>& body, int reasons)
{
    const passwd* nobody = ::getpwnam("nobody");  // looked up before the fork
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    std::fflush(nullptr);  // or the child would write the parent's buffered output again
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    if (const std::string why = SetUp(setup, uid, gid) + "\n"; why.size() > 1) {
        [[maybe_unused]] const ssize_t told = ::write(reasons, why.data(), why.size());
        ::_exit(kChildSetupFailed);
    }
    const int code = body();  // an exception ends the child with its message and SIGABRT
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace detail

// -1 when the fork fails. Every child is to be collected with WaitForChild.
inline pid_t StartChild(const ChildSetup& setup, const std::function<int()>& body)
{
    return detail::Start(setup, body, STDERR_FILENO);
}

// Collects the child, killing it once it runs past `limit`.
inline ChildExit WaitForChild(pid_t child, std::chrono::milliseconds limit = 20s)
{
    if (child <= 0)
        return {.error = "fork failed"};
    ChildExit exit;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (auto pause = 1ms;; pause = std::min(2 * pause, 20ms)) {
        const pid_t done = ::waitpid(child, &exit.status, WNOHANG);
        if (done == child)
            return exit;
        if (done < 0 && errno != EINTR)
            return {.error = detail::Failed("waitpid")};
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(pause);
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, &exit.status, 0) < 0 && errno == EINTR) {
    }
    exit.timedOut = true;
    return exit;
}

// Runs a test's checks in a child set up as asked. The child's failures are printed as they
// happen, and fail the result.
inline ::testing::AssertionResult RunChecksInChild(const ChildSetup& setup, const std::function<void()>& checks,
                                                   std::chrono::milliseconds limit = 30s)
{
    const auto body = [&] {  // 1 when the checks add a failure to the test's result
        const ::testing::TestResult& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
        const int before = result.total_part_count();
        checks();
        for (int i = before; i < result.total_part_count(); ++i) {
            if (result.GetTestPartResult(i).failed())
                return 1;
        }
        return 0;
    };
    const ChildExit exit = WaitForChild(StartChild(setup, body), limit);
    if (exit.ExitCode() == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the child running the checks "
                                         << (exit.ExitCode() == 1 ? "failed them (see above)" : exit.Describe());
}

// Runs the checks as an ordinary user: here unless this is root, else in a child that gave up
// root. Ask WhyNoOrdinaryUser first.
inline ::testing::AssertionResult RunAsOrdinaryUser(const std::function<void()>& checks)
{
    if (::geteuid() != 0) {
        checks();
        return ::testing::AssertionSuccess();
    }
    return RunChecksInChild({.ordinaryUser = true}, checks);
}

namespace detail {

// Sets up a child as asked and runs `check` in it: why either failed, or nothing.
inline std::optional<std::string> TryInChild(const ChildSetup& setup, const std::function<std::string()>& check)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return Failed("pipe");
    const pid_t child = Start(
        setup,
        [&] {
            const std::string why = check ? check() : std::string();
            [[maybe_unused]] const ssize_t told = ::write(ends[1], why.data(), why.size());
            return why.empty() ? 0 : 1;
        },
        ends[1]);
    ::close(ends[1]);
    const ChildExit exit = WaitForChild(child, 10s);
    std::string why;  // the child has ended, so the pipe holds all it wrote
    char buffer[256];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        why.append(buffer, static_cast<std::size_t>(got));
    ::close(ends[0]);
    if (exit.ExitCode() == 0)
        return std::nullopt;
    return why.empty() ? "a trial child " + exit.Describe() : why;
}

}  // namespace detail

// Why checks cannot run as an ordinary user here (root that cannot become user nobody, or
// whose temporary folder or `program` nobody cannot use), or nothing.
inline std::optional<std::string> WhyNoOrdinaryUser(const std::filesystem::path& program = {})
{
    if (::geteuid() != 0)
        return std::nullopt;
    const auto why = detail::TryInChild({.ordinaryUser = true}, [&]() -> std::string {
        try {
            const ScratchFolder folder;
        } catch (const std::exception& exception) {
            return std::string("no folder of its own in the temporary folder: ") + exception.what();
        }
        if (!program.empty() && ::access(program.c_str(), X_OK) != 0)
            return detail::Failed("running " + program.string());
        return {};
    });
    return why ? std::optional("running as root, and user nobody cannot be used here: " + *why) : std::nullopt;
}

// Why a child cannot mount small file systems of its own here, or nothing.
inline std::optional<std::string> WhyNoSmallFileSystems()
{
    const ScratchFolder folder;
    const auto why = detail::TryInChild({.smallFileSystems = {{folder.Path(), 64 << 10}}}, {});
    return why ? std::optional("no small file system of the test's own can be mounted here: " + *why) : std::nullopt;
}

#endif  // _WIN32

}  // namespace tabulon::test
