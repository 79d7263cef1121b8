#include "Roster.h"

#include "InstanceInfo.h"
#include "LaunchCheck.h"
#include "LaunchMessage.h"
#include "List.h"
#include "Message.h"
#include "ProcessLauncher.h"
#include "RegistryDirectory.h"
#include "RegistryEntry.h"
#include "RegistryStartLock.h"
#include "Report.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

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
    // The alert a program shows can't say why; this line does.
    if (Result<> allowed = LaunchCheck::Check(path); !allowed) {
        ReportFailure("launch another instance", allowed.error());
        return allowed.code();
    }
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
