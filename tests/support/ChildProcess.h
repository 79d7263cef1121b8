#pragma once

// A helper program run by a test or a benchmark: started in a process group
// of its own with exactly the environment it is given, its output sent to a
// file. The object ends the whole group and reaps the program when it goes
// away, and the kernel kills the program if its starter dies first, so
// nothing outlives a test however it ends.

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

class ChildProcess {
public:
    struct Result {
        bool exited = false; // false when the deadline passed first
        int exitCode = -1;   // -1 unless it exited normally
        std::string output;  // stdout and stderr together
    };

    // Starts argv[0], looked up in this process's PATH, with `environment`
    // ("NAME=value") as its whole environment and /dev/null as stdin. Stdout
    // and stderr go to `outputPath` (truncated), or to /dev/null if empty.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
        const std::string& outputPath = {});
    // The same, with stdout and stderr going to `outputFd`, which stays the
    // caller's (a pipe, say).
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
        int outputFd);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return fPid; }
    bool IsRunning();
    // Waits up to `timeout` for the program to exit; true once it has.
    bool WaitForExit(std::chrono::milliseconds timeout);
    // The exit code once the program has exited normally, else -1.
    int ExitCode() const;
    // Sends `signal` to the group, gives the program `grace` to exit, then
    // kills whatever is left of the group. Safe to call again.
    void Stop(int signal = SIGTERM, std::chrono::milliseconds grace = std::chrono::seconds(5));

    // Runs a program to completion, killing it after `timeout`.
    static Result Run(const std::vector<std::string>& argv,
        const std::vector<std::string>& environment, std::chrono::milliseconds timeout);

private:
    void Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
        int outputFd);

    pid_t fPid = -1;
    bool fReaped = false;
    bool fStopped = false;
    int fStatus = 0;
};
