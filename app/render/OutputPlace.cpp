#include "OutputPlace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

// A path's directory part and its last name; "." when it has no directory.
std::pair<std::string, std::string> Split(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return { ".", path };
    return { slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1) };
}

bool IsShared(const struct stat& directory)
{
    return (directory.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

// The append-only and immutable attributes of `name` in `directory`, or of
// the directory itself for "": what not even root may remove or replace.
uint64_t Attributes(int directory, const char* name)
{
    struct statx status;
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    if (statx(directory, name, flags, 0, &status) != 0)
        return 0;
    return status.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
}

// The access ACL of `name` in `directory`; empty if it has none, or it
// can't be read, as without /proc.
std::string AccessAcl(int directory, const std::string& name)
{
    std::string path = "/proc/self/fd/" + std::to_string(directory) + "/" + name;
    const char* const key = "system.posix_acl_access";
    std::string acl(std::max<ssize_t>(lgetxattr(path.c_str(), key, nullptr, 0), 0), '\0');
    ssize_t length = lgetxattr(path.c_str(), key, acl.data(), acl.size());
    acl.resize(std::max<ssize_t>(length, 0));
    return acl;
}

// The target of the link `name` in `directory`, whose status is `link`, if
// the kernel's protected-links rule follows it; `links` counts the links
// followed so far.
Result<std::string> Follow(int directory, const std::string& name, const struct stat& link,
    int* links)
{
    struct stat holder;
    if (fstat(directory, &holder) != 0)
        return Error::FromErrno(errno);
    if (IsShared(holder) && link.st_uid != geteuid() && link.st_uid != holder.st_uid)
        return Error { B_BAD_VALUE, "'" + name + "' is another user's link in a shared directory" };
    if (++*links > kMaxLinks)
        return Error::FromErrno(ELOOP);
    char target[PATH_MAX];
    ssize_t length = readlinkat(directory, name.c_str(), target, sizeof target);
    if (length < 0)
        return Error::FromErrno(errno);
    if (length == sizeof target)
        return Error::FromErrno(ENAMETOOLONG);
    return std::string(target, static_cast<size_t>(length));
}

// The directory `path`, from `start` if it is relative, opened with O_PATH
// one name at a time, so that each link on the way is followed only as
// Follow() allows.
Result<int> OpenDirectory(int start, const std::string& path, int* links)
{
    int fd = openat(start, path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t at = 0; fd >= 0 && at < path.size();) {
        size_t slash = std::min(path.find('/', at), path.size());
        std::string name = path.substr(at, slash - at);
        at = slash + 1;
        if (name.empty() || name == ".")
            continue;
        struct stat entry;
        Result<int> next = Error::FromErrno(ENOENT);
        if (fstatat(fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(entry.st_mode)) {
            Result<std::string> target = Follow(fd, name, entry, links);
            next = target ? OpenDirectory(fd, *target, links) : target.error();
        } else {
            // Anything put there since is no directory to O_NOFOLLOW.
            int opened = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            next = opened >= 0 ? Result<int>(opened) : Error::FromErrno(errno);
        }
        close(fd);
        if (!next)
            return next.error();
        fd = *next;
    }
    if (fd < 0)
        return Error::FromErrno(errno);
    return fd;
}

} // namespace

OutputPlace::OutputPlace(int directory, std::string name)
    : fDirectory(directory),
      fName(std::move(name))
{
}

OutputPlace::OutputPlace(OutputPlace&& other) noexcept
    : fDirectory(other.fDirectory),
      fName(std::move(other.fName)),
      fReplacedMode(other.fReplacedMode),
      fReplacedAcl(std::move(other.fReplacedAcl)),
      fAppendOnly(other.fAppendOnly)
{
    other.fDirectory = -1;
}

OutputPlace::~OutputPlace()
{
    if (fDirectory >= 0)
        close(fDirectory);
}

Result<OutputPlace> OutputPlace::Find(const std::string& path)
{
    int links = 0;
    auto [directoryPath, name] = Split(path);
    Result<int> directory = OpenDirectory(AT_FDCWD, directoryPath, &links);
    if (!directory)
        return CantWrite(path, directory.reason());
    OutputPlace place(*directory, name);

    for (;;) {
        if (place.fName.empty() || place.fName == "." || place.fName == "..")
            return CantWrite(path, "not a regular file");
        struct stat entry;
        if (fstatat(place.fDirectory, place.fName.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return CantWrite(path, strerror(errno));
            break;
        }
        if (S_ISLNK(entry.st_mode)) {
            Result<std::string> target = Follow(place.fDirectory, place.fName, entry, &links);
            if (!target)
                return CantWrite(path, target.reason());
            auto [nextPath, nextName] = Split(*target);
            Result<int> next = OpenDirectory(place.fDirectory, nextPath, &links);
            if (!next)
                return CantWrite(path, next.reason());
            close(place.fDirectory);
            place.fDirectory = *next;
            place.fName = nextName;
            continue;
        }
        if (!S_ISREG(entry.st_mode))
            return CantWrite(path, "not a regular file");
        // Replacing another user's file in a sticky directory is what that
        // bit forbids; root could, but no more than the kernel lets root
        // open such a file for writing.
        struct stat holder;
        if (fstat(place.fDirectory, &holder) != 0)
            return CantWrite(path, strerror(errno));
        if ((holder.st_mode & S_ISVTX) != 0 && entry.st_uid != geteuid()
            && entry.st_uid != holder.st_uid)
            return CantWrite(path, "it is another user's file in a shared directory");
        uint64_t attributes = Attributes(place.fDirectory, place.fName.c_str());
        if (attributes != 0) {
            return CantWrite(path,
                (attributes & STATX_ATTR_IMMUTABLE) != 0 ? "it is immutable" : "it is append-only");
        }
        if (faccessat(place.fDirectory, place.fName.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW)
            != 0)
            return CantWrite(path, strerror(errno));
        place.fReplacedMode = entry.st_mode & 0777;
        place.fReplacedAcl = AccessAcl(place.fDirectory, place.fName);
        break;
    }
    // The take is made in the directory and renamed into place there.
    if (faccessat(place.fDirectory, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return CantWrite(path, strerror(errno));
    place.fAppendOnly = (Attributes(place.fDirectory, "") & STATX_ATTR_APPEND) != 0;
    if (place.fAppendOnly && place.fReplacedMode)
        return CantWrite(path, "its directory is append-only");
    return place;
}

Error CantWrite(const std::string& path, const std::string& why)
{
    return Error { B_BAD_VALUE, "can't write '" + path + "': " + why };
}
