#pragma once

// The start lock of a signature's registry directory. A starting instance
// takes it before it registers and holds it until it has counted the
// instances registered before it, so that registering and counting are one
// step: instances started at the same moment take turns, and each counts
// those that started before it. It is an flock on the directory itself,
// which the kernel drops when the process dies; tools that only read the
// registry never take it. A process holds at most one; any thread may call
// these.

#include "Result.h"

class RegistryDirectory;

class RegistryStartLock {
public:
    // Takes the lock of `directory`, first giving up the one held, if any.
    // Waits while other instances hold it, for as long as they make progress
    // (the directory changes as they register) and at most kLongestWait in
    // all. An instance stopped while holding it makes no progress: after
    // kPatience the wait ends, with one line (once per process), and the
    // caller goes on without the lock. Fails, with B_INTERRUPTED, only when
    // a quit signal (QuitSignals) comes meanwhile: then the lock isn't taken
    // and the instance is to end at once.
    static Result<> Take(const RegistryDirectory& directory);
    // Gives the lock up; nothing when it isn't held.
    static void Release();
    static bool Held();
};
