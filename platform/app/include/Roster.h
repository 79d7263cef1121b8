#pragma once

// The roster: which instances of an application are running, and starting
// new ones. Every instance registers itself (BApplication does it) in a
// registry private to the user; GetAppList() reads that registry, and
// Launch() starts the executable registered for a signature. Both are safe
// from any thread.

#include "Message.h"
#include "Result.h"
#include "SupportDefs.h"

#include <sys/types.h>

class BList;

class BRoster {
public:
    // Appends one item per running instance of `signature`, the caller
    // included, in increasing order of process id: the instance's process
    // id, stored in the pointer itself
    // (read it back with static_cast<pid_t>(reinterpret_cast<intptr_t>(item))).
    // Entries left behind by dead processes are removed on the way. The
    // first call with the caller's own signature ends its turn to start
    // (see BApplication): the next instance may register.
    status_t GetAppList(const char* signature, BList* teamList) const;

    // Starts a new, detached instance of the executable registered for
    // `signature` (for this process's own signature, its own executable) and
    // hands it `message`, if any; the new instance's application receives it
    // once its message loop runs. Returns B_OK once the executable has been
    // started, or an error code when it can't be (no registered or missing
    // executable, no permission, message too large); where the program may
    // not be started from where it lies, one line on stderr says why. Never
    // waits for the new instance to start up.
    status_t Launch(const char* signature, const BMessage* message = nullptr) const;

    // The description the instance with process id `pid` registered under
    // `signature` published (see BApplication::SetInstanceInfo), as
    // untrusted data. B_ENTRY_NOT_FOUND when no such instance runs,
    // B_NAME_NOT_FOUND when it published nothing, B_BAD_DATA when what it
    // left is not a well-formed message.
    Result<BMessage> GetInstanceInfo(const char* signature, pid_t pid) const;
};

extern const BRoster* be_roster;
