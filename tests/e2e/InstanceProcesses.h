#pragma once

// The processes of a test's instances, read from /proc. Instances launched
// by one another are detached processes, not the test's children; they are
// found by the private runtime directory the test gave them.

#include <string>
#include <vector>

#include <sys/types.h>

// Every process id in /proc.
std::vector<pid_t> AllProcesses();

// The process state letter ('R', 'S', 'Z', ...), or 0 when there is no such process.
char State(pid_t pid);

// Whether `pid` runs: it exists and is not a zombie left for its parent.
bool Alive(pid_t pid);

// The parent of `pid`, from /proc/<pid>/stat; 0 when it can't be read.
pid_t Parent(pid_t pid);

// Every process but this one with `variable` ("NAME=value") in its
// environment.
std::vector<pid_t> ProcessesWith(const std::string& variable);

// Every process but this one with XDG_RUNTIME_DIR=`runtimeDirectory` in its
// environment: the instances, started by the test or launched by one another.
std::vector<pid_t> OurProcesses(const std::string& runtimeDirectory);

// Kills every process with `variable` in its environment that still runs,
// and waits up to 10 seconds until they are gone; whether they are.
bool KillProcessesWith(const std::string& variable);
// The same for XDG_RUNTIME_DIR=`runtimeDirectory`.
bool KillLaunched(const std::string& runtimeDirectory);
