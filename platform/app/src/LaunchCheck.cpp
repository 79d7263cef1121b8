#include "LaunchCheck.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// Whether a level owned by `owner`, or writable by `owner` through a group,
// is ours to trust: our own, or the system's.
bool Trusted(uid_t owner)
{
    return owner == geteuid() || owner == 0;
}

// The account database is read in turn: its enumeration has one position
// per process.
std::mutex gAccountsLock;

// Whether a user we don't trust belongs to the group `gid`: as a member, or
// through an account whose primary group it is. `name` gets the group's name.
bool GroupHoldsOthers(gid_t gid, std::string* name)
{
    std::vector<char> buffer(4096);
    group entry;
    group* found = nullptr;
    while (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE
        && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    *name = found != nullptr ? found->gr_name : std::to_string(gid);
    std::vector<char> accountBuffer(4096);
    passwd account;
    passwd* user = nullptr;
    for (char** member = found != nullptr ? found->gr_mem : nullptr;
         member != nullptr && *member != nullptr; ++member) {
        // A member with no account is not known to be harmless.
        if (getpwnam_r(*member, &account, accountBuffer.data(), accountBuffer.size(), &user) != 0
            || user == nullptr || !Trusted(user->pw_uid))
            return true;
    }
    std::lock_guard<std::mutex> guard(gAccountsLock);
    bool others = false;
    setpwent();
    while (!others
        && getpwent_r(&account, accountBuffer.data(), accountBuffer.size(), &user) == 0)
        others = user->pw_gid == gid && !Trusted(user->pw_uid);
    endpwent();
    return others;
}

// Why others could replace what the level `path` with `info` holds, or ""
// when they can't.
std::string OpenToOthers(const std::string& path, const struct stat& info)
{
    bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & S_IWOTH) != 0 && !sticky)
        return path + " is writable by every user";
    std::string group;
    if ((info.st_mode & S_IWGRP) != 0 && !sticky && GroupHoldsOthers(info.st_gid, &group))
        return path + " is writable by group " + group + ", which holds other users";
    return "";
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
        return Error { B_ENTRY_NOT_FOUND, path.substr(0, path.size() - deletedLength)
                + " was deleted" };

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
        if (std::string why = OpenToOthers(level, info); !why.empty()) {
            refusal = Error { B_NOT_ALLOWED, why };
            break;
        }
        level = (level == "/" ? "" : level) + "/" + name;
        int next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            if (errno == EACCES)
                refusal = Error { B_PERMISSION_DENIED, level + ": " + strerror(errno) };
            else if (errno == ENOENT)
                refusal = Error { B_ENTRY_NOT_FOUND, level + " doesn't exist" };
            else
                refusal = Error { B_ENTRY_NOT_FOUND, level + ": " + strerror(errno) };
            break;
        }
        close(fd);
        fd = next;
        if (fstat(fd, &info) != 0)
            refusal = Error { B_NOT_ALLOWED, level + ": " + strerror(errno) };
        else if (S_ISLNK(info.st_mode))
            refusal = Error { B_NOT_ALLOWED, level + " is a symbolic link" };
        else if (!Trusted(info.st_uid))
            refusal = Error { B_NOT_ALLOWED, level + " belongs to another user (uid "
                    + std::to_string(info.st_uid) + ")" };
    }
    if (fd >= 0)
        close(fd);
    if (refusal.code != B_OK)
        return refusal;
    if (!S_ISREG(info.st_mode))
        return Error { B_LAUNCH_FAILED, path + " is not a regular file" };
    // Nor may anyone else rewrite the program.
    if (std::string why = OpenToOthers(path, info); !why.empty())
        return Error { B_NOT_ALLOWED, why };
    if (access(path.c_str(), X_OK) != 0)
        return Error { B_PERMISSION_DENIED, path + ": " + strerror(errno) };
    return {};
}
