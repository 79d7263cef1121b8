#pragma once

// A system user that exists for one test, to act as another local user:
// created with useradd, removed with userdel when the object goes away.
// Needs root; Uid() is 0 when the user couldn't be made.

#include <sys/types.h>

#include <string>

class ThrowawayUser {
public:
    ThrowawayUser();
    ~ThrowawayUser();

    ThrowawayUser(const ThrowawayUser&) = delete;
    ThrowawayUser& operator=(const ThrowawayUser&) = delete;

    // Its name, also that of its own group.
    const std::string& Name() const { return fName; }
    uid_t Uid() const { return fUid; }
    gid_t Gid() const { return fGid; }

private:
    std::string fName;
    uid_t fUid = 0;
    gid_t fGid = 0;
};
