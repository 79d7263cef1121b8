#pragma once

// This process's entry in a signature's registry directory: the file
// "<pid>.lock", locked with flock for as long as the object lives. The kernel
// drops the lock when the process dies however it dies, so a lock that can
// be taken marks the entry of a dead process. The socket "<pid>.sock" sits
// beside it and goes away with it, and so does "<pid>.info", the small
// description the instance may publish of itself for tools to read.
//
// ListRunning() and AnyRunning() may be called from any thread; an entry
// object belongs to one thread at a time.

#include "Result.h"
#include "SupportDefs.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

class RegistryDirectory;

class RegistryEntry {
public:
    // Creates and locks this process's entry.
    static Result<std::unique_ptr<RegistryEntry>> Create(const RegistryDirectory& directory);
    // Removes the lock file, then releases the lock.
    ~RegistryEntry();
    RegistryEntry(const RegistryEntry&) = delete;
    RegistryEntry& operator=(const RegistryEntry&) = delete;

    // Removes this process's entry files (socket, description, lock file)
    // now, for a process about to end with _exit() because it can't go on.
    // It makes no call but unlinkat() on names made when the entry was
    // created, takes no lock and allocates nothing, so any thread may call
    // it at any moment, also while others run; only the first call acts,
    // and only in the process that registered, not in a copy of it made
    // by fork(). The lock itself stays held until the process is gone. Does nothing
    // when the process has no entry.
    static void RemoveOwnNow();

    // The process ids of the live entries in `directory`, in increasing
    // order. The files of dead entries are removed on the way; a locked
    // entry is never touched.
    static std::vector<pid_t> ListRunning(const RegistryDirectory& directory);
    // Whether `directory` has a live entry; it stops at the first, so that
    // looking costs the same however many there are.
    static bool AnyRunning(const RegistryDirectory& directory);

    // Replaces this entry's published description with `size` bytes. They
    // go to a new file that is then renamed over "<pid>.info", so a reader
    // sees the old description or the new one, whole.
    Result<> WriteInfo(const void* bytes, size_t size);
    // The description published by the live entry of `pid`, as the
    // untrusted data it is. B_ENTRY_NOT_FOUND when `pid` has no live entry
    // (before or after the read), B_NAME_NOT_FOUND when it published
    // nothing, B_BAD_DATA when the file is not a regular file of at most
    // `limit` bytes.
    static Result<std::vector<uint8>> ReadInfo(const RegistryDirectory& directory, pid_t pid,
        size_t limit);

    static std::string LockName(pid_t pid) { return std::to_string(pid) + ".lock"; }
    static std::string SocketName(pid_t pid) { return std::to_string(pid) + ".sock"; }
    static std::string InfoName(pid_t pid) { return std::to_string(pid) + ".info"; }

private:
    RegistryEntry(int directoryFd, int lockFd) : fDirectoryFd(directoryFd), fLockFd(lockFd) {}
    // ListRunning(), or only the first live entry found when `firstOnly`.
    static std::vector<pid_t> Scan(const RegistryDirectory& directory, bool firstOnly);
    // Makes this entry the one RemoveOwnNow() removes, unless there is one.
    void PrepareRemoval();

    int fDirectoryFd;
    int fLockFd;
    // The directory descriptor RemoveOwnNow() would use, or -1 when this
    // entry is not the one it removes.
    int fRemovalFd = -1;
};
