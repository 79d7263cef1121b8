#include "RegistryDirectory.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
        return Error { errno == EACCES || errno == EPERM ? B_PERMISSION_DENIED : B_ERROR,
            std::string("can't create it: ") + strerror(errno) };
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
        return Error { openError == EACCES ? B_PERMISSION_DENIED : B_ERROR, strerror(openError) };
    }
    struct stat info;
    Error error { B_NOT_ALLOWED, "" };
    if (fstat(fd, &info) != 0)
        error = Error { B_ERROR, strerror(errno) };
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
// is set; "" when there is no home to put it in.
std::string CacheDirectory(bool create)
{
    std::string cache = Variable("XDG_CACHE_HOME");
    if (cache.empty() || cache[0] != '/') {
        std::string home = Variable("HOME");
        if (home.empty() || home[0] != '/') {
            passwd* entry = getpwuid(geteuid());
            home = entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
        }
        if (home.empty() || home[0] != '/')
            return "";
        cache = home + "/.cache";
    }
    if (create)
        mkdir(cache.c_str(), 0700);
    return cache;
}

// The root's name in the cache directory: per machine, since a home may be
// shared between machines, and process ids with it.
std::string CacheRootName()
{
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0')
        snprintf(host, sizeof(host), "localhost");
    for (char* c = host; *c != '\0'; ++c) {
        if (*c == '/')
            *c = '_';
    }
    return std::string(kRootName) + "-" + host;
}

} // namespace

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::Open(const char* signature,
    bool create, std::string* notice)
{
    std::string runtime = Variable("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return OpenUnder(runtime, kRootName, signature, create);

    std::string temporary = Variable("TMPDIR");
    if (temporary.empty())
        temporary = "/tmp";
    auto directory = OpenUnder(temporary, std::string(kRootName) + "-" + std::to_string(geteuid()),
        signature, create);
    if (directory)
        return directory;
    if (directory.code() == B_ENTRY_NOT_FOUND && !create) {
        // Not there; but the registry may have moved to the cache directory
        // while another user held its name.
        if (auto moved = OpenInCache(signature, false, nullptr))
            return moved;
        return directory;
    }
    // The shared directory's name is taken, or can't be made: a place of
    // the user's own.
    std::string root;
    auto moved = OpenInCache(signature, create, &root);
    if (moved && notice != nullptr)
        *notice = directory.reason() + "; using " + root + " instead";
    return moved;
}

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::OpenInCache(const char* signature,
    bool create, std::string* root)
{
    std::string cache = CacheDirectory(create);
    if (cache.empty())
        return Error { B_ENTRY_NOT_FOUND, "registry: no home directory to fall back on" };
    std::string rootName = CacheRootName();
    if (root != nullptr)
        *root = cache + "/" + rootName;
    return OpenUnder(cache, rootName, signature, create);
}

Result<std::unique_ptr<RegistryDirectory>> RegistryDirectory::OpenUnder(const std::string& base,
    const std::string& rootName, const char* signature, bool create)
{
    std::string path = base;
    auto fail = [&path](const Error& error) {
        return Error { error.code, "registry " + path + ": " + error.reason };
    };
    // The base itself is the user's choice (or /tmp): only it may be reached
    // through a symbolic link.
    int baseFd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0)
        return fail(Error { errno == ENOENT ? B_ENTRY_NOT_FOUND : B_ERROR, strerror(errno) });
    path += "/" + rootName;
    Result<int> rootFd = OpenPrivateLevel(baseFd, rootName.c_str(), create);
    close(baseFd);
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

status_t RegistryDirectory::WriteExecutable(const std::string& path) const
{
    // Written aside and renamed into place, so a reader never sees half.
    std::string temporary = NewExecutableName(getpid());
    int fd = openat(fFd, temporary.c_str(),
        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return B_ERROR;
    bool written = write(fd, path.data(), path.size()) == static_cast<ssize_t>(path.size());
    close(fd);
    if (!written || renameat(fFd, temporary.c_str(), fFd, kExecutableName) != 0) {
        unlinkat(fFd, temporary.c_str(), 0);
        return B_ERROR;
    }
    return B_OK;
}

status_t RegistryDirectory::ReadExecutable(std::string* path) const
{
    int fd = openat(fFd, kExecutableName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? B_ENTRY_NOT_FOUND : B_ERROR;
    char buffer[PATH_MAX + 1];
    ssize_t size = read(fd, buffer, sizeof(buffer));
    close(fd);
    if (size <= 0 || size > PATH_MAX)
        return B_BAD_DATA;
    path->assign(buffer, static_cast<size_t>(size));
    return B_OK;
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
