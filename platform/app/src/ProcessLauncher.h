#pragma once

// Starts a program detached from the caller: in a session of its own, with
// default signal handling, stdin from /dev/null, stdout and stderr shared
// with the caller and no other file descriptor. The caller is left with no
// child to reap. Safe from any thread of a multithreaded process. Private to
// the platform layer.

#include "Result.h"

#include <string>
#include <vector>

class ProcessLauncher {
public:
    // Runs `path` with argv { path } and `environment` ("NAME=value") as its
    // whole environment. Succeeds once the program has been executed (it is
    // not waited for beyond that), or fails when it can't be:
    // B_ENTRY_NOT_FOUND, B_PERMISSION_DENIED or B_LAUNCH_FAILED.
    static Result<> Start(const std::string& path, const std::vector<std::string>& environment);
};
