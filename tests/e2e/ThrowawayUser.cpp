#include "ThrowawayUser.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// The account tools live in sbin, which a test's PATH may lack.
const std::string kAdminPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin ";

} // namespace

ThrowawayUser::ThrowawayUser() : fName("gwtest" + std::to_string(getpid()))
{
    std::string add = kAdminPath + "useradd --system --no-create-home --shell /usr/sbin/nologin "
        + fName;
    if (system(add.c_str()) == 0) {
        if (passwd* entry = getpwnam(fName.c_str())) {
            fUid = entry->pw_uid;
            fGid = entry->pw_gid;
        }
    }
}

ThrowawayUser::~ThrowawayUser()
{
    if (fUid != 0)
        [[maybe_unused]]
        int ignored = system((kAdminPath + "userdel " + fName).c_str());
}
