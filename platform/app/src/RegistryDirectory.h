#pragma once

// One signature's directory in the per-user registry of running instances,
// opened and verified. The registry root is $XDG_RUNTIME_DIR/gw-roster, or
// gw-roster-<euid> in $TMPDIR (by default /tmp) where XDG_RUNTIME_DIR is unset
// or empty. Another user can take that name in a shared directory first; then
// the root is gw-roster-<host name> in the user's own cache directory
// ($XDG_CACHE_HOME, by default ~/.cache), which nobody else can. Under it
// each signature has a directory named by a 64-bit hash of the signature, so
// any signature length fits. Every level must be a real directory (never a
// symbolic link), owned by the effective user, with no group or other
// permission bits; anything else is refused with a reason.
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
    // Opens the directory of `signature`, creating missing levels when
    // `create` is set. Fails with B_ENTRY_NOT_FOUND when a level is missing
    // and `create` is not set, and with the reason "registry <path>: <why>".
    // When the registry had to move to the user's cache directory, `notice`
    // says why and where.
    static Result<std::unique_ptr<RegistryDirectory>> Open(const char* signature, bool create,
        std::string* notice = nullptr);
    // The same with the root's parent directory and the root's name given,
    // rather than taken from the environment.
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
    // renamed into place.
    status_t WriteExecutable(const std::string& path) const;
    status_t ReadExecutable(std::string* path) const;
    // Removes what a writer with process id `pid` that died while writing
    // the executable's path left behind. Call it only while holding that
    // process's entry lock, so that no live process writes under its name.
    void RemoveExecutableLeftover(pid_t pid) const;

    // FNV-1a, 64 bits.
    static uint64 Hash(const char* signature);

private:
    RegistryDirectory(int fd, std::string path) : fFd(fd), fPath(std::move(path)) {}
    // The directory in the user's cache directory; `root` gets the root's
    // path.
    static Result<std::unique_ptr<RegistryDirectory>> OpenInCache(const char* signature,
        bool create, std::string* root);

    int fFd;
    std::string fPath;
};
