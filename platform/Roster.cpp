#include "platform/Roster.h"

#include "platform/InstanceInfo.h"
#include "platform/LaunchMessage.h"
#include "platform/List.h"
#include "platform/Message.h"
#include "platform/ProcessLauncher.h"
#include "platform/RegistryDirectory.h"
#include "platform/RegistryEntry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Whether `path` names a program that can still be started.
status_t CheckExecutable(const std::string& path)
{
    static constexpr const char kDeleted[] = " (deleted)";
    constexpr size_t deletedLength = sizeof(kDeleted) - 1;
    if (path.empty() || path[0] != '/')
        return B_ENTRY_NOT_FOUND;
    if (path.size() > deletedLength
        && path.compare(path.size() - deletedLength, deletedLength, kDeleted) == 0)
        return B_ENTRY_NOT_FOUND;
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno == EACCES ? B_PERMISSION_DENIED : B_ENTRY_NOT_FOUND;
    if (!S_ISREG(info.st_mode))
        return B_LAUNCH_FAILED;
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
    status_t error = B_OK;
    std::unique_ptr<RegistryDirectory> directory
        = RegistryDirectory::Open(signature, false, &error, nullptr);
    if (directory == nullptr)
        return error == B_ENTRY_NOT_FOUND ? B_OK : error; // nobody has registered yet
    for (pid_t pid : RegistryEntry::ListRunning(*directory))
        teamList->AddItem(reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
    return B_OK;
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
        status_t error = B_OK;
        std::unique_ptr<RegistryDirectory> directory
            = RegistryDirectory::Open(signature, false, &error, nullptr);
        if (directory == nullptr)
            return error;
        error = directory->ReadExecutable(&path);
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
