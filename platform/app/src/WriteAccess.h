#pragma once

// Whether users we don't trust could change what a place holds: the test
// the launch check makes of the program and every directory above it, and
// the registry of the directory its root goes in. Trusted are this user and
// root. Others may write to a place through its mode bits or through the
// entries of its access ACL; a directory with the sticky bit is safe all
// the same, for there they can't replace what is ours, and so is a place
// writable only by a group that holds nobody but trusted users (a user's
// private group, as umask 002 leaves it). Safe from any thread.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

class WriteAccess {
public:
    static bool Trusted(uid_t user);
    // Why others could change what the place open as `fd` (O_PATH will do),
    // with `info`, holds: "is writable by every user", "is writable by group
    // staff, which holds other users", "gives user eve write access in its
    // ACL"; empty when they can't.
    static std::string OpenToOthers(int fd, const struct stat& info);
};
