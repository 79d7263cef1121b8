#pragma once

// Whether a program may be started from its path: it is still there, and no
// user but this one (and root) could have put it there or could change it.
// The program and every directory above it must be ours or root's, with no
// symbolic link on the way. A level that others may write to is allowed
// only where they can't replace what it holds: a directory with the sticky
// bit, or a level writable by a group that holds nobody but us and root (a
// user's private group, as directories made with umask 002 have). Each level
// is opened relative to the one above it, so the path can't change under the
// check. Safe from any thread.

#include "Result.h"

#include <string>

class LaunchCheck {
public:
    // Fails with a status (B_ENTRY_NOT_FOUND, B_NOT_ALLOWED,
    // B_PERMISSION_DENIED or B_LAUNCH_FAILED) and a reason that names the
    // level refused: "/opt/x is writable by group staff, which holds other
    // users".
    static Result<> Check(const std::string& path);
};
