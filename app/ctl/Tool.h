#pragma once

// What the control tool's commands share: the tool's name and exit
// statuses, usage errors, process ids as the user writes them and the
// running instances as the registry lists them. The main thread only.

#include "Result.h"
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

// What RunningInstances() failing to be had is said as: "couldn't <this>".
inline constexpr const char kReadRegistry[] = "read the registry of running instances";

// Says `what` on stderr, then where to find help; EXIT_USAGE.
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

// The running instances in increasing order of process id; when there are
// none to be had, why, in the tool's words.
Result<std::vector<pid_t>> RunningInstances();
bool IsRunning(const std::vector<pid_t>& pids, pid_t pid);
