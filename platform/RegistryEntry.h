#pragma once

// This process's entry in a signature's registry directory: the file
// "<pid>.lock", locked with flock for as long as the object lives. The kernel
// drops the lock when the process dies however it dies, so a lock that can
// be taken marks the entry of a dead process. The socket "<pid>.sock" sits
// beside it and goes away with it.
//
// ListRunning() may be called from any thread; an entry object belongs to
// one thread at a time. Private to the platform layer.

#include "platform/SupportDefs.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

class RegistryDirectory;

class RegistryEntry {
public:
    // Creates and locks this process's entry. On failure returns nullptr
    // and sets `error` and `why`.
    static std::unique_ptr<RegistryEntry> Create(const RegistryDirectory& directory,
        status_t* error, std::string* why);
    // Removes the lock file, then releases the lock.
    ~RegistryEntry();
    RegistryEntry(const RegistryEntry&) = delete;
    RegistryEntry& operator=(const RegistryEntry&) = delete;

    // The process ids of the live entries in `directory`, in increasing
    // order. The files of dead entries are removed on the way; a locked
    // entry is never touched.
    static std::vector<pid_t> ListRunning(const RegistryDirectory& directory);

    static std::string LockName(pid_t pid) { return std::to_string(pid) + ".lock"; }
    static std::string SocketName(pid_t pid) { return std::to_string(pid) + ".sock"; }

private:
    RegistryEntry(int directoryFd, int lockFd) : fDirectoryFd(directoryFd), fLockFd(lockFd) {}

    int fDirectoryFd;
    int fLockFd;
};
