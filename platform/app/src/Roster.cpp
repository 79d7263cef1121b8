#include "Roster.h"

#include "LaunchCheck.h"
#include "LaunchMessage.h"
#include "List.h"
#include "Message.h"
#include "ProcessIdentity.h"
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
    if (ProcessIdentity::Signature() == signature)
        RegistryStartLock::Release();
    return status;
}

status_t BRoster::Launch(const char* signature, const BMessage* message) const
{
    if (signature == nullptr || signature[0] == '\0')
        return B_BAD_VALUE;
    std::vector<std::string> environment = ChildEnvironment();
    if (message != nullptr) {
        Result<std::string> variable = LaunchMessage::Encode(*message);
        if (!variable)
            return variable.code();
        environment.push_back(std::move(*variable));
    }

    std::string path;
    if (signature == ProcessIdentity::Signature()) {
        path = ProcessIdentity::ExecutablePath();
    } else {
        auto directory = RegistryDirectory::Open(signature);
        if (!directory)
            return directory.code();
        Result<std::string> registered = (*directory)->ReadExecutable();
        if (!registered)
            return registered.code();
        path = *registered;
    }
    // The alert a program shows can't say why; this line does.
    if (Result<> allowed = LaunchCheck::Check(path); !allowed) {
        ReportFailure("launch another instance", allowed.error());
        return allowed.code();
    }
    return ProcessLauncher::Start(path, environment).code();
}

namespace {
const BRoster kRoster;
}

const BRoster* be_roster = &kRoster;

Result<BMessage> BRoster::GetInstanceInfo(const char* signature, pid_t pid) const
{
    if (signature == nullptr || signature[0] == '\0' || pid <= 0)
        return Error { B_BAD_VALUE, "no signature or process id" };
    auto directory = RegistryDirectory::Open(signature);
    if (!directory)
        return directory.error();
    Result<std::vector<uint8>> bytes
        = RegistryEntry::ReadInfo(**directory, pid, BMessage::kMaxFlattenedSize);
    if (!bytes)
        return bytes.error();
    BMessage info;
    if (Result<> read = info.Unflatten(bytes->data(), bytes->size()); !read)
        return Error { B_BAD_DATA, "its description is malformed" };
    return info;
}
