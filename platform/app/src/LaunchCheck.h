#pragma once

// Whether a program may be started from its path: it is still there, and no
// user but this one (and root) could have put it there or could change it.
// The program and every directory above it must be ours or root's, with no
// symbolic link on the way, and none that others may write to, by its mode
// or its ACL, where they could replace what it holds (see WriteAccess).
// Each level is opened relative to the one above it, so the path can't
// change under the check. Safe from any thread.

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
