#pragma once

// The processes of a test's instances, read from /proc: their state, their
// family and the descriptors they hold. Instances launched by one another
// are detached processes, not the test's children; they are found by a
// variable their session gave them.

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
// The session `pid` belongs to (setsid), likewise.
pid_t SessionOf(pid_t pid);
// The processes whose parent is `pid`, zombies included.
std::vector<pid_t> ChildrenOf(pid_t pid);

// How many descriptors `pid` has open; -1 if they can't be read. Font files
// don't count: text drawing opens the face when it needs it and closes it
// when it has been idle, so that one comes and goes without leaking.
int CountDescriptors(pid_t pid);
// The count once start-up has settled: the same in two readings a second
// apart (the text libraries let go of their files a second after the first
// draw), or -1 if it doesn't settle within 10 seconds.
int SettledDescriptorCount(pid_t pid);
// What each descriptor of `pid` refers to, one per line, for messages.
std::string Descriptors(pid_t pid);
// Whether `pid` holds a regular file in `directory` open, named or not,
// with something written in it.
bool WritesIn(pid_t pid, const std::string& directory);
// How many threads `pid` runs; 0 when there is no such process.
int CountThreads(pid_t pid);

// Every process but this one with `variable` ("NAME=value") in its
// environment.
std::vector<pid_t> ProcessesWith(const std::string& variable);

// Kills every process with `variable` in its environment that still runs,
// and waits up to 10 seconds until they are gone; whether they are.
bool KillProcessesWith(const std::string& variable);
