#pragma once

// One signature's directory in the per-user registry of running instances,
// opened and verified. The registry lives in one place per user, which
// instances and tools choose alike, the first of:
//  1. a fallback (4, then 3) that holds live entries of the signature
//     already: once instances run there, later ones join them, whatever has
//     become of the places above meanwhile;
//  2. $XDG_RUNTIME_DIR/gw-roster, when the variable names a directory owned
//     by the effective user that nobody else can write to;
//  3. gw-roster-<euid> in $TMPDIR (by default /tmp), unless another user has
//     taken the name there first;
//  4. gw-roster-<machine id> in the user's cache directory ($XDG_CACHE_HOME,
//     by default ~/.cache): per machine, since a home may be shared between
//     machines and process ids with it, but not per host name, which may
//     change while instances run.
// The directory a root goes in ($TMPDIR, the cache directory) must be an
// absolute path, owned by the effective user or root, that nobody else could
// rename things in (see WriteAccess); otherwise that place is passed.
// Under the root each signature has a directory named by a 64-bit hash of
// the signature, so any signature length fits. Every level below the base
// must be a real directory (never a symbolic link), owned by the effective
// user, with no group or other permission bits; anything else is refused
// with a reason, and the next place is tried.
//
// Everything after opening works relative to the open directory, so the
// paths can't be swapped underneath. Any thread may open one; an object is
// used by one thread at a time.

#include "Result.h"
#include "SupportDefs.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <memory>
#include <string>

class RegistryDirectory {
public:
    // The directory of `signature` as tools find it; creates nothing.
    // B_ENTRY_NOT_FOUND when nobody has registered in the place chosen.
    static Result<std::unique_ptr<RegistryDirectory>> Open(const char* signature);
    // The directory a starting instance of `signature` registers in,
    // created where missing, with its start lock taken (RegistryStartLock):
    // the choice of a place with live entries is made under that place's
    // lock. When the place is not the ordinary one (2, or 3 without
    // XDG_RUNTIME_DIR), `notice` says why and where, for the instance to say
    // once. B_INTERRUPTED when a quit signal came while it waited its turn.
    static Result<std::unique_ptr<RegistryDirectory>> OpenToRegister(const char* signature,
        std::string* notice);
    // The directory of `signature` under the root `rootName` in `base`,
    // creating missing levels below `base` when `create` is set. Fails with
    // B_ENTRY_NOT_FOUND when a level is missing and `create` is not set, and
    // with the reason "registry <path>: <why>".
    static Result<std::unique_ptr<RegistryDirectory>> OpenUnder(const std::string& base,
        const std::string& rootName, const char* signature, bool create);

    ~RegistryDirectory();
    RegistryDirectory(const RegistryDirectory&) = delete;
    RegistryDirectory& operator=(const RegistryDirectory&) = delete;

    int Fd() const { return fFd; }
    const std::string& Path() const { return fPath; }

    // An address for the socket `name` in this directory. It goes through
    // /proc/self/fd, so it fits sun_path however long Path() is.
    void SocketAddress(const std::string& name, sockaddr_un* address, socklen_t* length) const;

    // The absolute path of the executable registered for the signature.
    // It is written to a file of the writer's own, named by its pid, and
    // renamed into place. Reading it fails with B_ENTRY_NOT_FOUND when no
    // instance has written it.
    Result<> WriteExecutable(const std::string& path) const;
    Result<std::string> ReadExecutable() const;
    // Removes what a writer with process id `pid` that died while writing
    // the executable's path left behind. Call it only while holding that
    // process's entry lock, so that no live process writes under its name.
    void RemoveExecutableLeftover(pid_t pid) const;

    // FNV-1a, 64 bits.
    static uint64 Hash(const char* signature);

private:
    RegistryDirectory(int fd, std::string path) : fFd(fd), fPath(std::move(path)) {}
    static Result<std::unique_ptr<RegistryDirectory>> Choose(const char* signature,
        bool registering, std::string* notice);
    // As OpenUnder(), below the open base `baseFd` at `base`.
    static Result<std::unique_ptr<RegistryDirectory>> OpenBelow(int baseFd,
        const std::string& base, const std::string& rootName, const char* signature, bool create);

    int fFd;
    std::string fPath;
};
