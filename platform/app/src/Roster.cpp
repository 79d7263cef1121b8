#include "Roster.h"

#include "InstanceInfo.h"
#include "LaunchMessage.h"
#include "List.h"
#include "Message.h"
#include "ProcessLauncher.h"
#include "RegistryDirectory.h"
#include "RegistryEntry.h"
#include "RegistryStartLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Whether a file or directory owned by `owner` is ours to trust: our own,
// or the system's.
bool TrustedOwner(uid_t owner)
{
    return owner == geteuid() || owner == 0;
}

// Whether `path` names a program that can still be started, and that no
// other user could have put there: the program itself and every directory
// above it are ours or root's, and none of those directories lets another
// user replace what it holds (writable by others only with the sticky bit,
// which keeps them from renaming or removing entries they don't own). No
// symbolic links on the way. Each level is opened relative to the one above
// it, so the path can't change under the check; what only we or root can
// change is what we then run.
status_t CheckExecutable(const std::string& path)
{
    static constexpr const char kDeleted[] = " (deleted)";
    constexpr size_t deletedLength = sizeof(kDeleted) - 1;
    if (path.empty() || path[0] != '/')
        return B_ENTRY_NOT_FOUND;
    if (path.size() > deletedLength
        && path.compare(path.size() - deletedLength, deletedLength, kDeleted) == 0)
        return B_ENTRY_NOT_FOUND;

    int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !TrustedOwner(info.st_uid)) {
        if (fd >= 0)
            close(fd);
        return B_NOT_ALLOWED;
    }
    status_t status = B_OK;
    size_t start = 1;
    while (status == B_OK && start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        if (name == "." || name == "..") {
            status = B_NOT_ALLOWED;
            break;
        }
        // Others may write to the directory: only the sticky bit keeps them
        // from swapping what it holds, and then only for what isn't theirs.
        bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (othersWrite && (info.st_mode & S_ISVTX) == 0) {
            status = B_NOT_ALLOWED;
            break;
        }
        int next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            status = errno == EACCES ? B_PERMISSION_DENIED : B_ENTRY_NOT_FOUND;
            break;
        }
        close(fd);
        fd = next;
        if (fstat(fd, &info) != 0 || S_ISLNK(info.st_mode) || !TrustedOwner(info.st_uid))
            status = B_NOT_ALLOWED;
    }
    close(fd);
    if (status != B_OK)
        return status;
    if (!S_ISREG(info.st_mode))
        return B_LAUNCH_FAILED;
    // Nor may anyone else rewrite the program.
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return B_NOT_ALLOWED;
    if (access(path.c_str(), X_OK) != 0)
        return B_PERMISSION_DENIED;
    return B_OK;
}

// This process's environment, less any launch message of its own.
std::vector<std::string> ChildEnvironment()
{
    std::string prefix = std::string(LaunchMessage::kVariable) + "=";
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (strncmp(*variable, prefix.c_str(), prefix.size()) != 0)
            environment.emplace_back(*variable);
    }
    return environment;
}

} // namespace

status_t BRoster::GetAppList(const char* signature, BList* teamList) const
{
    if (signature == nullptr || signature[0] == '\0' || teamList == nullptr)
        return B_BAD_VALUE;
    status_t status = B_OK;
    auto directory = RegistryDirectory::Open(signature);
    if (directory) {
        for (pid_t pid : RegistryEntry::ListRunning(**directory))
            teamList->AddItem(reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
    } else if (directory.code() != B_ENTRY_NOT_FOUND) { // not found: nobody has registered
        status = directory.code();
    }
    // A starting instance has counted those registered before it: the next
    // may register.
    if (InstanceInfo::Signature() == signature)
        RegistryStartLock::Release();
    return status;
}

status_t BRoster::Launch(const char* signature, const BMessage* message) const
{
    if (signature == nullptr || signature[0] == '\0')
        return B_BAD_VALUE;
    std::vector<std::string> environment = ChildEnvironment();
    if (message != nullptr) {
        std::string variable = LaunchMessage::Encode(*message);
        if (variable.empty())
            return B_BAD_VALUE;
        environment.push_back(std::move(variable));
    }

    std::string path;
    if (signature == InstanceInfo::Signature()) {
        path = InstanceInfo::ExecutablePath();
    } else {
        auto directory = RegistryDirectory::Open(signature);
        if (!directory)
            return directory.code();
        status_t error = (*directory)->ReadExecutable(&path);
        if (error != B_OK)
            return error;
    }
    status_t status = CheckExecutable(path);
    if (status != B_OK)
        return status;
    return ProcessLauncher::Start(path, environment);
}

namespace {
const BRoster kRoster;
}

const BRoster* be_roster = &kRoster;

status_t BRoster::GetInstanceInfo(const char* signature, pid_t pid, BMessage* info) const
{
    if (info == nullptr)
        return B_BAD_VALUE;
    info->MakeEmpty();
    if (signature == nullptr || signature[0] == '\0' || pid <= 0)
        return B_BAD_VALUE;
    auto directory = RegistryDirectory::Open(signature);
    if (!directory)
        return directory.code();
    std::vector<uint8> bytes;
    status_t status
        = RegistryEntry::ReadInfo(**directory, pid, BMessage::kMaxFlattenedSize, &bytes);
    if (status != B_OK)
        return status;
    return info->Unflatten(bytes.data(), bytes.size()) == B_OK ? B_OK : B_BAD_DATA;
}
