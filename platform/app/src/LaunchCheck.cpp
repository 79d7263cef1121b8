#include "LaunchCheck.h"

#include "WriteAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool Trusted(uid_t owner)
{
    return WriteAccess::Trusted(owner);
}

// Why others could replace what the level `path`, open as `fd` with `info`,
// holds, or "" when they can't.
std::string OpenToOthers(const std::string& path, int fd, const struct stat& info)
{
    std::string why = WriteAccess::OpenToOthers(fd, info);
    return why.empty() ? why : path + " " + why;
}

} // namespace

Result<> LaunchCheck::Check(const std::string& path)
{
    static constexpr const char kDeleted[] = " (deleted)";
    constexpr size_t deletedLength = sizeof(kDeleted) - 1;
    if (path.empty() || path[0] != '/')
        return Error { B_ENTRY_NOT_FOUND, "the program's path is unknown" };
    if (path.size() > deletedLength
        && path.compare(path.size() - deletedLength, deletedLength, kDeleted) == 0)
        return Error { B_ENTRY_NOT_FOUND, path.substr(0, path.size() - deletedLength) + " was deleted" };

    std::string level = "/";
    int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    Error refusal { B_OK, "" };
    if (fd < 0 || fstat(fd, &info) != 0)
        refusal = Error { B_NOT_ALLOWED, std::string("/: ") + strerror(errno) };
    else if (!Trusted(info.st_uid))
        refusal = Error { B_NOT_ALLOWED, "/ belongs to another user" };
    size_t start = 1;
    while (refusal.code == B_OK && start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        if (name == "." || name == "..") {
            refusal = Error { B_NOT_ALLOWED, path + " is not a plain path" };
            break;
        }
        // What a directory holds is only as safe as the directory.
        if (std::string why = OpenToOthers(level, fd, info); !why.empty()) {
            refusal = Error { B_NOT_ALLOWED, why };
            break;
        }
        level = (level == "/" ? "" : level) + "/" + name;
        int next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            refusal = errno == ENOENT
                ? Error { B_ENTRY_NOT_FOUND, level + " doesn't exist" }
                : Error::FromErrno(errno, level + ": ", B_ENTRY_NOT_FOUND);
            break;
        }
        close(fd);
        fd = next;
        if (fstat(fd, &info) != 0)
            refusal = Error { B_NOT_ALLOWED, level + ": " + strerror(errno) };
        else if (S_ISLNK(info.st_mode))
            refusal = Error { B_NOT_ALLOWED, level + " is a symbolic link" };
        else if (!Trusted(info.st_uid))
            refusal = Error { B_NOT_ALLOWED, level + " belongs to another user (uid " + std::to_string(info.st_uid) + ")" };
    }
    if (refusal.code == B_OK && !S_ISREG(info.st_mode))
        refusal = Error { B_LAUNCH_FAILED, path + " is not a regular file" };
    // Nor may anyone else rewrite the program.
    if (refusal.code == B_OK) {
        if (std::string why = OpenToOthers(path, fd, info); !why.empty())
            refusal = Error { B_NOT_ALLOWED, why };
    }
    if (fd >= 0)
        close(fd);
    if (refusal.code != B_OK)
        return refusal;
    if (access(path.c_str(), X_OK) != 0)
        return Error { B_PERMISSION_DENIED, path + ": " + strerror(errno) };
    return {};
}
