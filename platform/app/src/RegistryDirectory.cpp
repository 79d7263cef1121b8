#include "RegistryDirectory.h"

#include "RegistryEntry.h"
#include "RegistryStartLock.h"
#include "WriteAccess.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr const char* kRootName = "gw-roster";
constexpr const char* kExecutableName = "executable";

// The file a writer with process id `pid` writes the executable's path to.
std::string NewExecutableName(pid_t pid)
{
    return std::string(kExecutableName) + "." + std::to_string(pid);
}

std::string Octal(mode_t mode)
{
    char text[8];
    snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Opens `name` in `parentFd` as a directory private to this user, creating
// it first when `create` is set, and returns its descriptor.
Result<int> OpenPrivateLevel(int parentFd, const char* name, bool create)
{
    if (create && mkdirat(parentFd, name, 0700) != 0 && errno != EEXIST) {
        return Error::FromErrno(errno, "can't create it: ");
    }
    int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int openError = errno;
        struct stat info;
        if (fstatat(parentFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
            return Error { B_NOT_ALLOWED, "is a symbolic link" };
        if (openError == ENOENT)
            return Error { B_ENTRY_NOT_FOUND, "doesn't exist" };
        if (openError == ENOTDIR)
            return Error { B_NOT_ALLOWED, "is not a directory" };
        return Error::FromErrno(openError);
    }
    struct stat info;
    Error error { B_NOT_ALLOWED, "" };
    if (fstat(fd, &info) != 0)
        error = Error::FromErrno(errno);
    else if (!S_ISDIR(info.st_mode))
        error.reason = "is not a directory";
    else if (info.st_uid != geteuid())
        error.reason = "is owned by uid " + std::to_string(info.st_uid) + ", not "
            + std::to_string(geteuid());
    else if ((info.st_mode & 077) != 0)
        error.reason = "is open to other users (mode " + Octal(info.st_mode) + ")";
    else
        return fd;
    close(fd);
    return error;
}

// The variable's value, or "" when it is unset.
std::string Variable(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// The user's cache directory, created (private) when missing and `create`
// is set; B_ENTRY_NOT_FOUND when there is no home to put it in.
Result<std::string> CacheDirectory(bool create)
{
    std::string cache = Variable("XDG_CACHE_HOME");
    if (cache.empty() || cache[0] != '/') {
        std::string home = Variable("HOME");
        if (home.empty() || home[0] != '/') {
            passwd entry;
            passwd* found = nullptr;
            char buffer[4096];
            getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found);
            home = found != nullptr && found->pw_dir != nullptr ? found->pw_dir : "";
        }
        if (home.empty() || home[0] != '/')
            return Error { B_ENTRY_NOT_FOUND, "registry: no home directory to fall back on" };
        cache = home + "/.cache";
    }
    if (create && mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) {
        return Error::FromErrno(errno, "registry " + cache + ": can't create it: ");
    }
    return cache;
}

// The root's name in the cache directory: per machine, by its machine id,
// which unlike the host name stays put while instances run; the plain name
// where there is no machine id.
std::string CacheRootName()
{
    constexpr size_t kIdLength = 32;
    char id[kIdLength + 2] = {};
    int fd = open("/etc/machine-id", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ssize_t size = fd >= 0 ? read(fd, id, sizeof(id) - 1) : -1;
    if (fd >= 0)
        close(fd);
    bool valid = size == kIdLength || (size == kIdLength + 1 && id[kIdLength] == '\n');
    for (size_t i = 0; valid && i < kIdLength; ++i)
        valid = (id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f');
    if (!valid)
        return kRootName;
    return std::string(kRootName) + "-" + std::string(id, kIdLength);
}

// $XDG_RUNTIME_DIR, open when it is a directory of the effective user's
// that nobody else can write to; otherwise why not, unless it is unset.
struct RuntimeDirectory {
    std::string path;
    int fd = -1;
    std::string refusal;

    RuntimeDirectory() : path(Variable("XDG_RUNTIME_DIR"))
    {
        if (path.empty())
            return;
        std::string why;
        struct stat info;
        if (path[0] != '/')
            why = "is not an absolute path";
        else if ((fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0
            || fstat(fd, &info) != 0)
            why = strerror(errno);
        else if (info.st_uid != geteuid())
            why = "is owned by uid " + std::to_string(info.st_uid) + ", not "
                + std::to_string(geteuid());
        else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            why = "is writable by other users (mode " + Octal(info.st_mode) + ")";
        if (why.empty())
            return;
        refusal = "XDG_RUNTIME_DIR " + path + ": " + why;
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    ~RuntimeDirectory()
    {
        if (fd >= 0)
            close(fd);
    }
};

std::string Joined(const std::vector<std::string>& reasons, const std::string& last)
{
    std::string text;
    for (const std::string& reason : reasons)
        text += reason + "; ";
    return text + last;
}

} // namespace

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::Open(const char* signature)
{
    return Choose(signature, false, nullptr);
}

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::OpenToRegister(
    const char* signature, std::string* notice)
{
    return Choose(signature, true, notice);
}

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::Choose(const char* signature,
    bool registering, std::string* notice)
{
    RuntimeDirectory runtime;
    std::string temporary = Variable("TMPDIR");
    if (temporary.empty())
        temporary = "/tmp";
    const std::string temporaryRoot = std::string(kRootName) + "-" + std::to_string(geteuid());
    const std::string cacheRoot = CacheRootName();
    Result<std::string> cache = CacheDirectory(false);
    auto say = [&](const std::vector<std::string>& reasons, const std::string& where) {
        if (notice != nullptr)
            *notice = Joined(reasons, where);
    };
    std::vector<std::string> passed;
    if (!runtime.refusal.empty())
        passed.push_back(runtime.refusal);

    // A fallback where instances run already keeps them together. A starting
    // instance looks under the place's start lock, so that no other can
    // register or leave the place unseen meanwhile.
    std::vector<std::pair<std::string, std::string>> fallbacks;
    if (cache)
        fallbacks.emplace_back(*cache, cacheRoot);
    fallbacks.emplace_back(temporary, temporaryRoot);
    for (const auto& [base, rootName] : fallbacks) {
        auto directory = OpenUnder(base, rootName, signature, false);
        if (!directory)
            continue;
        if (Result<> turn = registering ? RegistryStartLock::Take(**directory) : Result<>(); !turn)
            return turn.error();
        if (RegistryEntry::AnyRunning(**directory)) {
            if (base != temporary || !runtime.path.empty())
                say(passed, "using " + base + "/" + rootName + ", where instances run already");
            return directory;
        }
        if (registering)
            RegistryStartLock::Release();
    }

    // The ordinary places, in order. Tools take a missing level as nobody
    // having registered there; an instance would have created it.
    auto taken = [registering](const Result<std::unique_ptr<RegistryDirectory>>& directory) {
        return directory || (!registering && directory.code() == B_ENTRY_NOT_FOUND);
    };
    auto chosen = [&](Result<std::unique_ptr<RegistryDirectory>> directory,
                      const std::string& root) -> Result<std::unique_ptr<RegistryDirectory>> {
        if (directory && registering) {
            if (Result<> turn = RegistryStartLock::Take(**directory); !turn)
                return turn.error();
        }
        if (directory && !passed.empty())
            say(passed, "using " + root + " instead");
        return directory;
    };
    if (runtime.fd >= 0) {
        auto directory = OpenBelow(runtime.fd, runtime.path, kRootName, signature, registering);
        if (taken(directory))
            return chosen(std::move(directory), runtime.path + "/" + kRootName);
        passed.push_back(directory.reason());
    }
    auto directory = OpenUnder(temporary, temporaryRoot, signature, registering);
    if (taken(directory))
        return chosen(std::move(directory), temporary + "/" + temporaryRoot);
    passed.push_back(directory.reason());
    if (registering)
        cache = CacheDirectory(true);
    if (!cache)
        return Error { cache.code(), Joined(passed, cache.reason()) };
    directory = OpenUnder(*cache, cacheRoot, signature, registering);
    if (!directory)
        return Error { directory.code(), Joined(passed, directory.reason()) };
    return chosen(std::move(directory), *cache + "/" + cacheRoot);
}

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::OpenUnder(const std::string& base,
    const std::string& rootName, const char* signature, bool create)
{
    // The base itself is the user's choice (or /tmp): only it may be reached
    // through a symbolic link. Another user who could rename what it holds
    // could hide instances from one another; so it must be ours or root's,
    // open to nobody else unless it is sticky, as /tmp is. A relative one
    // would be another place for each working directory.
    if (base.empty() || base[0] != '/')
        return Error { B_NOT_ALLOWED, "registry " + base + ": is not an absolute path" };
    int baseFd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0)
        return Error::FromErrno(errno, "registry " + base + ": ");
    struct stat info;
    std::string why;
    if (fstat(baseFd, &info) != 0)
        why = strerror(errno);
    else if (!WriteAccess::Trusted(info.st_uid))
        why = "is owned by uid " + std::to_string(info.st_uid) + ", not "
            + std::to_string(geteuid());
    else
        why = WriteAccess::OpenToOthers(baseFd, info);
    if (!why.empty()) {
        close(baseFd);
        return Error { B_NOT_ALLOWED, "registry " + base + ": " + why };
    }
    auto directory = OpenBelow(baseFd, base, rootName, signature, create);
    close(baseFd);
    return directory;
}

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::OpenBelow(int baseFd,
    const std::string& base, const std::string& rootName, const char* signature, bool create)
{
    std::string path = base + "/" + rootName;
    auto fail = [&path](const Error& error) {
        return Error { error.code, "registry " + path + ": " + error.reason };
    };
    Result<int> rootFd = OpenPrivateLevel(baseFd, rootName.c_str(), create);
    if (!rootFd)
        return fail(rootFd.error());
    char name[17];
    snprintf(name, sizeof(name), "%016llx", static_cast<unsigned long long>(Hash(signature)));
    path += "/";
    path += name;
    Result<int> fd = OpenPrivateLevel(*rootFd, name, create);
    close(*rootFd);
    if (!fd)
        return fail(fd.error());
    return std::unique_ptr<RegistryDirectory>(new RegistryDirectory(*fd, std::move(path)));
}

RegistryDirectory::~RegistryDirectory()
{
    close(fFd);
}

void RegistryDirectory::SocketAddress(const std::string& name, sockaddr_un* address,
    socklen_t* length) const
{
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    // At most 14 + 10 + 1 + 15 characters for "<pid>.sock": always fits.
    int written = snprintf(address->sun_path, sizeof(address->sun_path), "/proc/self/fd/%d/%s",
        fFd, name.c_str());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + written + 1);
}

Result<> RegistryDirectory::WriteExecutable(const std::string& path) const
{
    // Written aside and renamed into place, so a reader never sees half.
    std::string temporary = NewExecutableName(getpid());
    int fd = openat(fFd, temporary.c_str(),
        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return Error::FromErrno(errno, "registry " + fPath + ": can't create " + temporary + ": ");
    ssize_t written = write(fd, path.data(), path.size());
    // A write cut short found the disk full.
    int error = written < 0 ? errno : ENOSPC;
    close(fd);
    if (written == static_cast<ssize_t>(path.size())) {
        if (renameat(fFd, temporary.c_str(), fFd, kExecutableName) == 0)
            return {};
        error = errno;
    }
    unlinkat(fFd, temporary.c_str(), 0);
    return Error::FromErrno(error, "registry " + fPath + ": can't write " + temporary + ": ");
}

Result<std::string> RegistryDirectory::ReadExecutable() const
{
    // Non-blocking, so a FIFO in its place can't stall the reader.
    int fd = openat(fFd, kExecutableName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Error::FromErrno(errno, "registry " + fPath + ": " + kExecutableName + ": ");
    struct stat info;
    char buffer[PATH_MAX + 1];
    ssize_t size = fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
        ? read(fd, buffer, sizeof(buffer))
        : -1;
    close(fd);
    if (size <= 0 || size > PATH_MAX)
        return Error { B_BAD_DATA, "registry " + fPath + ": " + kExecutableName + " holds no path" };
    return std::string(buffer, static_cast<size_t>(size));
}

void RegistryDirectory::RemoveExecutableLeftover(pid_t pid) const
{
    unlinkat(fFd, NewExecutableName(pid).c_str(), 0);
}

uint64 RegistryDirectory::Hash(const char* signature)
{
    uint64 hash = 14695981039346656037ull;
    for (const char* c = signature; *c != '\0'; ++c) {
        hash ^= static_cast<uint8>(*c);
        hash *= 1099511628211ull;
    }
    return hash;
}
