#pragma once

// What the control tool's commands share: the tool's name and exit
// statuses, its lines on stderr, process ids as the user writes them and
// the running instances as the registry lists them. The main thread only.

#include "SupportDefs.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

inline constexpr const char kTool[] = "gondavel_wubbix-ctl";

enum ExitCode {
    EXIT_OK = 0,
    EXIT_FAILED = 1, // a target is not a running instance, or a send failed
    EXIT_USAGE = 2,  // nothing was sent
};

// "gondavel_wubbix-ctl: <what>" on stderr.
void Complain(const std::string& what);
// Complain(), then where to find help; EXIT_USAGE.
int UsageError(const std::string& what);
std::string Quoted(const std::string& text);

// A process id written as the system writes it: a positive decimal number
// that fits pid_t, without leading zeros.
std::optional<pid_t> ParsePid(const std::string& text);
// Whether `argument` is written as an option rather than as a target: "-x"
// or "--x", but not "-5", which is a (bad) process id.
bool IsOption(const std::string& argument);
// What went wrong with a send, for the end of a line.
std::string Describe(status_t status);

// The running instances in increasing order of process id, or nullopt after
// saying why there are none to be had.
std::optional<std::vector<pid_t>> RunningInstances();
bool IsRunning(const std::vector<pid_t>& pids, pid_t pid);
