// Running this benchmark program once more, in a fresh process, for a measurement that must be
// the process's own (its max RSS). Where there is no fork, nothing runs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/wait.h>
#include <unistd.h>
#define TABULON_BENCH_FORK 1
#endif

namespace tabulon::bench {

// argv[0], set by main: the program to run where /proc/self/exe is not there.
inline const char* gProgram = nullptr;

struct RanAgain {
    std::string output;  // all it wrote to its standard output
    bool succeeded = false;  // it exited, with status 0
    int status = -1;         // its exit status, -1 when it did not exit
};

// This program run with `arguments` (argv[1] on), its standard output caught whole. Nothing
// where processes cannot be forked or the pipe or the fork failed.
inline std::optional<RanAgain> RunAgain(const std::vector<std::string>& arguments)
{
#if defined(TABULON_BENCH_FORK)
#if defined(__linux__)
    const char* program = "/proc/self/exe";
#else
    const char* program = gProgram;
#endif
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int ends[2];
    if (pipe(ends) != 0)
        return std::nullopt;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return std::nullopt;
    }
    if (child == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        execv(program, argv.data());
        _exit(127);
    }
    close(ends[1]);
    RanAgain ran;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(ends[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        ran.output.append(buffer, static_cast<std::size_t>(got));
    }
    close(ends[0]);
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        ran.status = WEXITSTATUS(status);
        ran.succeeded = ran.status == 0;
    }
    return ran;
#else
    (void)arguments;
    return std::nullopt;
#endif
}

}  // namespace tabulon::bench
