#include "ThrowawayUser.h"

#include "ChildProcess.h"

#include <pwd.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Runs one of the account tools, by its full path (a test's PATH may lack
// sbin) and with no shell; whether it succeeded.
bool RunAdminTool(const std::string& tool, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "/usr/sbin/" + tool);
    return ChildProcess::Run(arguments, { "PATH=/usr/sbin:/usr/bin:/sbin:/bin" }, 30s).exitCode == 0;
}

} // namespace

ThrowawayUser::ThrowawayUser() : fName("gwtest" + std::to_string(getpid()))
{
    if (RunAdminTool("useradd", { "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", fName })) {
        if (passwd* entry = getpwnam(fName.c_str())) {
            fUid = entry->pw_uid;
            fGid = entry->pw_gid;
        }
    }
}

ThrowawayUser::~ThrowawayUser()
{
    if (fUid != 0)
        RunAdminTool("userdel", { fName });
}
